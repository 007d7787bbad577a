#pragma once
// Diagnostic log lines of the plug-in (never shown to the user as a box). By default they go
// to standard error prefixed "tesmor: "; a host or a test may redirect them. Thread-safe.
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace tesmor {

using LogSink = std::function<void(std::string_view line)>;

void logLine(std::string_view line);
// Replaces the sink; an empty function restores standard error. Returns the previous sink.
LogSink setLogSink(LogSink sink);

// Logs a failure once until the next success.
class OnceLog {
public:
    void fail(std::string_view text);
    void succeed() noexcept { logged_ = false; }

private:
    bool logged_ = false;
};

// Logs at most once a minute; the lines held back meanwhile are counted in the next one.
class MinuteLog {
public:
    void log(const std::string& text);

private:
    bool logged_ = false;
    std::chrono::steady_clock::time_point last_;
    unsigned long held_ = 0;
};

}  // namespace tesmor
