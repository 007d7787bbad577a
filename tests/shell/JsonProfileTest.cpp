// The stand-in host's profile file: typed values, atomic rewrites, and a corrupt file left alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "JsonProfile.h"
#include "support/PluginLibrary.h"

using tesmor::host::JsonProfile;

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Runs a command with its output and error joined; returns the exit status.
int run(const std::string& command, std::string& output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(JsonProfile, KeepsIntegersAndTextsApartAcrossAReopen) {
    TempDir dir;
    const auto path = (dir.path() / "profile.json").string();
    {
        auto profile = JsonProfile::open(path).value.value();
        ASSERT_TRUE(profile.setInt("plugins\\tesmor\\Settings/localPort", 1502));
        ASSERT_TRUE(profile.setString("plugins\\tesmor\\Settings/portName", "/dev/ttyUSB0"));
        ASSERT_TRUE(profile.setString("plugins\\tesmor\\Settings/TCPId", "12"));
    }
    const auto profile = JsonProfile::open(path).value.value();
    EXPECT_EQ(profile.getInt("plugins\\tesmor\\Settings/localPort"), 1502);
    EXPECT_EQ(profile.getString("plugins\\tesmor\\Settings/portName"), "/dev/ttyUSB0");
    EXPECT_EQ(profile.getString("plugins\\tesmor\\Settings/TCPId"), "12");
    EXPECT_EQ(profile.getString("plugins\\tesmor\\Settings/localPort"), std::nullopt);
    EXPECT_NE(readFile(path).find("\"localPort\": 1502"), std::string::npos);
    // Only the profile itself is left in the folder: no temporary files.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// A value of another type is never taken for a missing key: a number written as text reads as that
// number, as in the host's text profiles, and what no reader can take whole is handed out as text.
TEST(JsonProfile, ValuesOfOtherTypesReadAsTheHostsTextProfilesDo) {
    TempDir dir;
    const auto path = (dir.path() / "profile.json").string();
    {
        std::ofstream(path) << R"({"S": {"text2": "2", "blank": " 7 ", "word": "two", "big": "99999999999",
            "list": ["10.0.0.1"], "object": {"a": 1}, "yes": true, "half": 0.5, "nothing": null}})";
    }
    const auto profile = JsonProfile::open(path).value.value();
    struct Row {
        const char* key;
        std::optional<std::int32_t> asInt;
        std::optional<std::string> asText;
    };
    for (const Row& r : {Row{"text2", 2, "2"}, Row{"blank", 7, " 7 "}, Row{"word", std::nullopt, "two"},
                         Row{"big", std::nullopt, "99999999999"}, Row{"list", std::nullopt, "[\"10.0.0.1\"]"},
                         Row{"object", std::nullopt, "{\"a\":1}"}, Row{"yes", std::nullopt, "true"},
                         Row{"half", std::nullopt, "0.5"}, Row{"nothing", std::nullopt, std::nullopt}}) {
        EXPECT_EQ(profile.getInt(std::string("S/") + r.key), r.asInt) << r.key;
        EXPECT_EQ(profile.getString(std::string("S/") + r.key), r.asText) << r.key;
    }
}

TEST(JsonProfile, DeletingASectionLeavesItsNeighbours) {
    auto profile = JsonProfile();
    profile.setInt("plugins\\tesmor\\MapSettings/regAddress_0", 0);
    profile.setInt("plugins\\tesmor\\Settings/isTCP", 1);
    EXPECT_TRUE(profile.deleteSection("plugins\\tesmor\\MapSettings"));
    EXPECT_FALSE(profile.deleteSection("plugins\\tesmor\\MapSettings"));
    EXPECT_EQ(profile.getInt("plugins\\tesmor\\MapSettings/regAddress_0"), std::nullopt);
    EXPECT_EQ(profile.getInt("plugins\\tesmor\\Settings/isTCP"), 1);
}

TEST(JsonProfile, AnIntegerBeyond32BitsIsNotAnInteger) {
    TempDir dir;
    const auto path = dir.path() / "profile.json";
    writeFile(path, R"({"plugins": {"tesmor": {"Settings": {"localPort": 4294967297}}}})");
    EXPECT_EQ(JsonProfile::open(path.string()).value->getInt("plugins\\tesmor\\Settings/localPort"),
              std::nullopt);
}

struct CorruptCase {
    const char* name;
    std::string text;
    std::string where;  // ":line:column" expected in the message
    friend void PrintTo(const CorruptCase& c, std::ostream* os) { *os << c.name; }
};

class CorruptProfile : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptProfile, StopsTheHostAndLeavesTheFileAlone) {
    if (!*TESMOR_HOST_PATH) GTEST_SKIP() << "built without tesmor-host (TESMOR_BUILD_UI=OFF)";
    TempDir dir;
    const auto path = dir.path() / "profile.json";
    writeFile(path, GetParam().text);
    std::string output;
    const int status = run(std::string(TESMOR_HOST_PATH) + " --profile " + path.string() + " --data-dir " +
                               dir.path().string() + " </dev/null",
                           output);
    EXPECT_NE(status, 0);
    EXPECT_NE(output.find(path.string() + GetParam().where), std::string::npos) << output;
    EXPECT_EQ(readFile(path), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Rows, CorruptProfile,
                         ::testing::Values(CorruptCase{"MissingBrace",
                                                       "{\n  \"plugins\": {\n    \"tesmor\": 1\n", ":4:1"},
                                           CorruptCase{"TrailingComma", "{\"a\": 1,}", ":1:9"},
                                           CorruptCase{"NotAnObject", "[1, 2]", ":1:1"},
                                           CorruptCase{"Binary", std::string("\x00\x01\x02", 3), ":1:1"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StandInHost, RunsThePlugInAndQuitsCleanly) {
    if (!*TESMOR_HOST_PATH) GTEST_SKIP() << "built without tesmor-host (TESMOR_BUILD_UI=OFF)";
    TempDir dir;
    std::string output;
    const int status = run("printf 'update 7\\nprofile\\nquit\\n' | " + std::string(TESMOR_HOST_PATH) +
                               " --data-dir " + dir.path().string() + " --language 1033",
                           output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("menu item \"Data/Calculations/Velmar: Modbus\""), std::string::npos) << output;
    EXPECT_NE(output.find("document update 7 raised"), std::string::npos) << output;
    EXPECT_NE(output.find("plug-in unloaded"), std::string::npos) << output;
}

TEST(StandInHost, TraceShowsEveryCall) {
    if (!*TESMOR_HOST_PATH) GTEST_SKIP() << "built without tesmor-host (TESMOR_BUILD_UI=OFF)";
    TempDir dir;
    std::string output;
    run("echo quit | " + std::string(TESMOR_HOST_PATH) + " --trace --data-dir " + dir.path().string(),
        output);
    EXPECT_NE(output.find("trace: subscribe System/ModulesLoaded"), std::string::npos) << output;
    EXPECT_NE(output.find("trace: callService DB/GetConnectionUri"), std::string::npos) << output;
    EXPECT_NE(output.find("trace: unregisterCommand tesmor/MenuCommand"), std::string::npos) << output;
}

}  // namespace
