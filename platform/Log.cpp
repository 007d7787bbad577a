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

}  // namespace tesmor
