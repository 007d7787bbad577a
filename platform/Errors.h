#pragma once
// One shape for each kind of failure. A failed system call is reported as a std::error_code of the
// generic category (errno's value; lastSystemError), returned or set through a std::error_code&
// as std::filesystem does. A configuration load returns a Loaded<T>: the value, or none when it
// cannot be used, and the problems met, one line each, for the log or as the reason it failed.
#include <cerrno>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tesmor {

// The error the last failed system call left in errno.
inline std::error_code lastSystemError() noexcept { return {errno, std::generic_category()}; }

template <class T>
struct Loaded {
    std::optional<T> value;
    std::vector<std::string> problems;

    // Nothing usable, for the reason `problem`.
    static Loaded refused(std::string problem) {
        Loaded loaded;
        loaded.problems.push_back(std::move(problem));
        return loaded;
    }

    explicit operator bool() const noexcept { return value.has_value(); }
    // The problems in one line, "; " between them (empty when there are none).
    std::string problemText() const {
        std::string text;
        for (const auto& problem : problems) text += (text.empty() ? "" : "; ") + problem;
        return text;
    }
};

}  // namespace tesmor
