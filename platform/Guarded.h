#pragma once
// Calls that must not let an exception out (handlers called by the host, Qt slots reached from
// them): what escapes is logged with the place's name instead.
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/Log.h"

namespace tesmor {

namespace detail {
inline void logEscaped(const char* where, const char* what) noexcept {
    try {
        logLine(std::string(where) + ": " + what);
    } catch (...) {
    }
}
}  // namespace detail

// Runs `body`; returns its result, or `fallback` when it threw.
template <typename F, typename R = std::invoke_result_t<F&>>
requires(!std::is_void_v<R>) R guarded(const char* where, F&& body, R fallback)
noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        detail::logEscaped(where, e.what());
    } catch (...) {
        detail::logEscaped(where, "unknown failure");
    }
    return fallback;
}

// Runs `body`; false when it threw.
template <typename F>
requires std::is_void_v<std::invoke_result_t<F&>>
bool guarded(const char* where, F&& body) noexcept {
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        detail::logEscaped(where, e.what());
    } catch (...) {
        detail::logEscaped(where, "unknown failure");
    }
    return false;
}

}  // namespace tesmor
