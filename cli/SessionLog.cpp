#include "cli/SessionLog.h"

#include <cctype>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace hvr::cli {

namespace {

constexpr char MASK[] = "****";

std::tm localParts(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

std::string localDateTime(std::chrono::system_clock::time_point when) {
    const std::tm local = localParts(when);
    char text[48];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

std::string localDateTimeMillis(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const std::tm local = localParts(when);
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    char text[48];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

std::string sessionStartText(const SessionStart& s) {
    std::ostringstream text;
    text << "==== hvr-host " << s.version << " session started " << localDateTime(s.startedAt) << ", pid " << s.pid
         << ", " << s.systemUser << "@" << s.machine << "\n";
    text << "     server " << s.server << ", user " << (s.user.empty() ? "(none yet: login at the prompt or in the script)" : s.user)
         << "\n";
    text << "     command line: " << joined(s.arguments) << "\n";
    std::string settings;
    for (const auto& [key, value] : s.settings) settings += (settings.empty() ? "" : ", ") + key + " " + value;
    text << "     settings: " << settings << "\n";
    return text.str();
}

nlohmann::json sessionStartJson(const SessionStart& s) {
    nlohmann::json settings = nlohmann::json::object();
    for (const auto& [key, value] : s.settings) settings[key] = value;
    return {{"type", "session"},      {"event", "started"},    {"version", s.version},
            {"pid", s.pid},           {"systemUser", s.systemUser}, {"machine", s.machine},
            {"server", s.server},     {"user", s.user},        {"arguments", s.arguments},
            {"settings", settings}};
}

std::string sessionEndText(std::chrono::system_clock::time_point when, int exitStatus) {
    return "==== session ended " + localDateTime(when) + ", exit status " + std::to_string(exitStatus) + "\n";
}

nlohmann::json sessionEndJson(int exitStatus) {
    return {{"type", "session"}, {"event", "ended"}, {"exitStatus", exitStatus}};
}

std::vector<std::string> maskedArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> masked;
    bool valueNext = false;
    for (const std::string& argument : arguments) {
        if (valueNext) {
            masked.push_back(MASK);
            valueNext = false;
        } else if (argument == "--password") {
            masked.push_back(argument);
            valueNext = true;
        } else if (argument.rfind("--password=", 0) == 0) {
            masked.push_back(std::string("--password=") + MASK);
        } else {
            masked.push_back(argument);
        }
    }
    return masked;
}

std::string commandForLog(const std::string& line) {
    // Words as the parser splits them: blanks between, '#' starts a comment.
    std::vector<std::pair<std::size_t, std::size_t>> words;  // begin, end
    std::size_t at = 0;
    while (at < line.size() && line[at] != '#') {
        if (std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
            continue;
        }
        const std::size_t begin = at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at])) && line[at] != '#') ++at;
        words.emplace_back(begin, at);
    }
    if (words.size() < 3) return line;
    std::string first = line.substr(words[0].first, words[0].second - words[0].first);
    for (char& c : first) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (first != "login") return line;
    // Everything from the password on is the password's.
    return line.substr(0, words[2].first) + MASK;
}

}  // namespace hvr::cli
