#include "Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace tesmor {

namespace {
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
LogSink& currentSink() {
    static LogSink sink;
    return sink;
}
}  // namespace

void logLine(std::string_view line) {
    std::lock_guard lock(logMutex());
    if (auto& sink = currentSink()) {
        sink(line);
        return;
    }
    std::string text = "tesmor: ";
    text.append(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stderr);
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(logMutex());
    auto previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

void OnceLog::fail(std::string_view text) {
    if (!logged_) logLine(text);
    logged_ = true;
}

void MinuteLog::log(const std::string& text) {
    const auto now = std::chrono::steady_clock::now();
    if (logged_ && now - last_ < std::chrono::minutes(1)) {
        ++held_;
        return;
    }
    logLine(held_ == 0 ? text : text + " (" + std::to_string(held_) + " more since the last report)");
    logged_ = true;
    last_ = now;
    held_ = 0;
}

}  // namespace tesmor
