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

std::string localTimeNow() { return localTime(std::chrono::system_clock::now()); }

std::string localTime(std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
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
    if (json()) jsonEntry({{{"type", "note"}, {"text", text}}});
    else entry(std::chrono::system_clock::now(), text);
}

void Console::command(const std::string& line) {
    if (json()) {
        const std::string masked = commandForLog(line);
        const std::string time = isoTimeNow();
        write(jsonLine({{"type", "command"}, {"time", time}, {"line", line}}) + "\n",
              jsonLine({{"type", "command"}, {"time", time}, {"line", masked}}) + "\n");
        return;
    }
    entry(std::chrono::system_clock::now(), "> " + line, "> " + commandForLog(line));
}

void Console::typed(const std::string& line) {
    if (json()) {
        jsonEntry({{{"type", "command"}, {"line", commandForLog(line)}, {"typed", true}}}, false);
        return;
    }
    const auto now = std::chrono::system_clock::now();
    write({}, localDateTimeMillis(now) + " > " + commandForLog(line) + "\n", false);
}

void Console::error(const std::string& text) {
    if (json()) jsonEntry({{{"type", "error"}, {"text", text}}});
    else entry(std::chrono::system_clock::now(), text);
}

void Console::record(const std::string& text, std::vector<nlohmann::json> objects) {
    if (json()) jsonEntry(std::move(objects));
    else entry(std::chrono::system_clock::now(), text);
}

void Console::entry(std::chrono::system_clock::time_point when, const std::string& body, const std::string& fileBody) {
    write(withNewline(localTime(when) + " " + body),
          withNewline(localDateTimeMillis(when) + " " + (fileBody.empty() ? body : fileBody)));
}

void Console::jsonEntry(std::vector<nlohmann::json> objects, bool toScreen, bool toFile) {
    const std::string time = isoTimeNow();
    std::string whole;
    for (auto& object : objects) {
        object["time"] = time;
        whole += jsonLine(object) + "\n";
    }
    write(whole, toFile ? whole : std::string(), toScreen);
}

void Console::setWriter(Writer newWriter) {
    std::lock_guard<std::mutex> guard(lock);
    writer = std::move(newWriter);
}

bool Console::openLogFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock);
    logFile.open(path, std::ios::app);
    if (!logFile.is_open()) return false;
    log = &logFile;
    return true;
}

void Console::setLogStream(std::ostream* stream) {
    std::lock_guard<std::mutex> guard(lock);
    log = stream;
}

void Console::logSessionStart(const SessionStart& start) {
    if (json()) {
        nlohmann::json object = sessionStartJson(start);
        object["time"] = isoTime(start.startedAt);
        write({}, jsonLine(object) + "\n", false);
    } else {
        write({}, sessionStartText(start), false);
    }
}

void Console::logSessionEnd(int exitStatus) {
    if (json()) jsonEntry({sessionEndJson(exitStatus)}, false);
    else write({}, sessionEndText(std::chrono::system_clock::now(), exitStatus), false);
}

void Console::write(const std::string& screen, const std::string& file, bool toScreen) {
    std::lock_guard<std::mutex> guard(lock);
    if (log != nullptr && !file.empty()) {
        *log << file;
        log->flush();
    }
    if (!toScreen) return;
    if (writer) {
        writer(screen);
        return;
    }
    out << screen;
    out.flush();
}

}  // namespace hvr::cli
