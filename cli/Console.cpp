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

std::string jsonLine(const nlohmann::json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Console::print(const std::string& text) {
    if (json()) write(jsonLine({{"type", "note"}, {"time", localTimeNow()}, {"text", text}}) + "\n");
    else write(withNewline(text));
}

void Console::command(const std::string& line) {
    if (json()) write(jsonLine({{"type", "command"}, {"time", localTimeNow()}, {"line", line}}) + "\n");
    else write("> " + line + "\n");
}

void Console::error(const std::string& text) {
    if (json()) write(jsonLine({{"type", "error"}, {"time", localTimeNow()}, {"text", text}}) + "\n");
    else write(withNewline(text));
}

void Console::record(const std::string& text, std::vector<nlohmann::json> objects) {
    const std::string time = localTimeNow();
    if (!json()) {
        write(withNewline(time + " " + text));
        return;
    }
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

void Console::write(const std::string& whole) {
    std::lock_guard<std::mutex> guard(lock);
    if (writer) {
        writer(whole);
        return;
    }
    out << whole;
    out.flush();
}

}  // namespace hvr::cli
