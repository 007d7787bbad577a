#include "Console.h"

#include <cstdlib>
#include <iostream>

namespace tesmor::host {

void fail(const std::string& message, int status) {
    std::cerr << "tesmor-host: " << message << std::endl;
    std::_Exit(status);
}

void say(const std::string& line) { std::cout << "tesmor-host: " << line << std::endl; }

std::optional<long> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return *end ? std::nullopt : std::optional<long>(v);
}

}  // namespace tesmor::host
