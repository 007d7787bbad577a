#pragma once
// What the options, the commands and the run loop of tesmor-host share: its lines on standard
// output and standard error, and the whole numbers a user types.
#include <optional>
#include <string>

namespace tesmor::host {

// "tesmor-host: `message`" on standard error, then the process ends with `status` at once.
[[noreturn]] void fail(const std::string& message, int status = 2);

// "tesmor-host: `line`" on standard output.
void say(const std::string& line);

// `text` as a decimal number; nothing when it is empty or has anything after the digits.
std::optional<long> number(const std::string& text);

}  // namespace tesmor::host
