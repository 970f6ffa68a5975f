#include "cli/Console.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace hvr::cli {

namespace {

std::string withNewline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

}  // namespace

std::string localTimeNow() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

std::string isoTime(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(when);
    const auto millis = duration_cast<milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    char zone[8];
    std::strftime(zone, sizeof zone, "%z", &local);  // "+0800"
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d%.3s:%.2s", static_cast<int>(millis), zone, zone + 3);
    return stamp;
}

std::string isoTimeNow() { return isoTime(std::chrono::system_clock::now()); }

std::string jsonLine(const nlohmann::json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Console::print(const std::string& text) {
    if (json()) write(jsonLine({{"type", "note"}, {"time", isoTimeNow()}, {"text", text}}) + "\n");
    else write(withNewline(localTimeNow() + " " + text));
}

void Console::command(const std::string& line) {
    if (json()) write(jsonLine({{"type", "command"}, {"time", isoTimeNow()}, {"line", line}}) + "\n");
    else write(localTimeNow() + " > " + line + "\n");
}

void Console::error(const std::string& text) {
    if (json()) write(jsonLine({{"type", "error"}, {"time", isoTimeNow()}, {"text", text}}) + "\n");
    else write(withNewline(localTimeNow() + " " + text));
}

void Console::record(const std::string& text, std::vector<nlohmann::json> objects) {
    if (!json()) {
        write(withNewline(localTimeNow() + " " + text));
        return;
    }
    const std::string time = isoTimeNow();
    std::string whole;
    for (auto& object : objects) {
        object["time"] = time;
        whole += jsonLine(object) + "\n";
    }
    write(whole);
}

void Console::setWriter(Writer newWriter) {
    std::lock_guard<std::mutex> guard(lock);
    writer = std::move(newWriter);
}

bool Console::openLogFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock);
    logFile.open(path, std::ios::app);
    return logFile.is_open();
}

void Console::write(const std::string& whole) {
    std::lock_guard<std::mutex> guard(lock);
    if (logFile.is_open()) {
        logFile << whole;
        logFile.flush();
    }
    if (writer) {
        writer(whole);
        return;
    }
    out << whole;
    out.flush();
}

}  // namespace hvr::cli
