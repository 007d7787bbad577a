#pragma once
// Diagnostic log lines of the plug-in (never shown to the user as a box). By default they go
// to standard error prefixed "tesmor: "; a host or a test may redirect them. Thread-safe.
#include <functional>
#include <string_view>

namespace tesmor {

using LogSink = std::function<void(std::string_view line)>;

void logLine(std::string_view line);
// Replaces the sink; an empty function restores standard error. Returns the previous sink.
LogSink setLogSink(LogSink sink);

}  // namespace tesmor
