#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>

#include "record/StateFile.h"

namespace tesmor {
namespace {

// Sets (or, with nullopt, removes) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct PathCase {
    const char* name;
    std::optional<std::string> xdgStateHome;
    std::string expected;
};
void PrintTo(const PathCase& row, std::ostream* out) { *out << row.name; }

class DefaultPath : public ::testing::TestWithParam<PathCase> {};

TEST_P(DefaultPath, FollowsTheXdgRules) {
    const ScopedEnv home("HOME", "/home/chemist");
    const ScopedEnv state("XDG_STATE_HOME", GetParam().xdgStateHome);
    EXPECT_EQ(defaultStateFilePath(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DefaultPath,
    ::testing::Values(PathCase{"XdgSet", "/var/lib/lab/state", "/var/lib/lab/state/tesmor/analyses.sqlite"},
                      PathCase{"XdgWithTrailingSlash", "/srv/state/", "/srv/state/tesmor/analyses.sqlite"},
                      PathCase{"XdgIsTheRoot", "/", "/tesmor/analyses.sqlite"},
                      PathCase{"XdgUnset", std::nullopt, "/home/chemist/.local/state/tesmor/analyses.sqlite"},
                      PathCase{"XdgEmpty", "", "/home/chemist/.local/state/tesmor/analyses.sqlite"},
                      PathCase{"XdgRelativeIsIgnored", "state",
                               "/home/chemist/.local/state/tesmor/analyses.sqlite"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DefaultPathWithoutHome, TakesTheHomeFolderOfTheUser) {
    const ScopedEnv home("HOME", std::nullopt);
    const ScopedEnv state("XDG_STATE_HOME", std::nullopt);
    const std::string path = defaultStateFilePath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_TRUE(path.ends_with("/.local/state/tesmor/analyses.sqlite")) << path;
}

}  // namespace
}  // namespace tesmor
