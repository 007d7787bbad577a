#include <gtest/gtest.h>

#include <string_view>
#include <utility>

#include "results/FilterSettings.h"
#include "results/TextFolding.h"
#include "support/MemoryProfile.h"

using namespace tesmor;
using tesmor::test::MemoryProfile;

namespace {

struct VerdictCase {
    const char* name;
    std::set<std::u16string> methods, mixtures;
    std::int32_t chrmType;
    std::u16string method, mixture;
    std::int32_t iscalibration;
    FilterVerdict verdict;
    friend void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }
};

class Verdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(Verdicts, FirstFailingFilterDecides) {
    const auto& c = GetParam();
    FilterSettings filters;
    filters.methods = c.methods;
    filters.mixtures = c.mixtures;
    filters.chrmType = c.chrmType;
    AssayInfo assay;
    assay.method = c.method;
    assay.mixture = c.mixture;
    assay.iscalibration = c.iscalibration;
    EXPECT_EQ(filters.check(assay), c.verdict);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Verdicts,
    ::testing::Values(VerdictCase{"NoFilters", {}, {}, -1, u"M", u"X", 1, FilterVerdict::Passed},
                      VerdictCase{"MethodMatches", {u"M"}, {}, -1, u"M", u"X", 0, FilterVerdict::Passed},
                      VerdictCase{"MethodCaseDiffers", {u"A"}, {}, -1, u"a", u"", 0, FilterVerdict::Method},
                      VerdictCase{"EmptyMethod", {u"A"}, {}, -1, u"", u"", 0, FilterVerdict::Method},
                      VerdictCase{
                          "MethodBeforeMixture", {u"A"}, {u"B"}, 1, u"x", u"y", 0, FilterVerdict::Method},
                      VerdictCase{"MixtureBeforeType", {}, {u"B"}, 1, u"x", u"y", 0, FilterVerdict::Mixture},
                      VerdictCase{"CalibrationsOnly", {}, {}, 1, u"x", u"y", 0, FilterVerdict::Type},
                      VerdictCase{"AnalysesOnly", {}, {}, 0, u"x", u"y", 0, FilterVerdict::Passed},
                      VerdictCase{"OddTypeValue", {}, {}, 5, u"x", u"y", 1, FilterVerdict::Type}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FilterSettings, EmptyProfileMeansNoFilter) {
    MemoryProfile profile;
    FilterSettings filters;
    filters.methods = {u"old"};
    filters.load(profile);
    EXPECT_TRUE(filters.methods.empty());
    EXPECT_TRUE(filters.mixtures.empty());
    EXPECT_EQ(filters.chrmType, -1);
}

TEST(FilterSettings, LoadingStopsAtTheFirstGap) {
    MemoryProfile profile;
    profile.setString(u"Filters", u"method_0", u"A");
    profile.setString(u"Filters", u"method_2", u"C");
    profile.setString(u"Filters", u"mixture_0", u"");
    profile.setString(u"Filters", u"mixture_1", u"M");
    profile.setInt(u"Filters", u"chrmType", 1);
    FilterSettings filters;
    filters.load(profile);
    EXPECT_EQ(filters.methods, std::set<std::u16string>{u"A"});
    EXPECT_TRUE(filters.mixtures.empty());
    EXPECT_EQ(filters.chrmType, 1);
}

TEST(FilterSettings, SavingReplacesTheWholeSection) {
    MemoryProfile profile;
    FilterSettings::save(profile, {u"1", u"2", u"3", u"4", u"5"}, {u"m"}, 0);
    FilterSettings::save(profile, {u"b", u"a"}, {}, 1);
    const auto& section = profile.sections[u"Filters"];
    EXPECT_EQ(section.size(), 3u);
    EXPECT_EQ(std::get<std::u16string>(section.at(u"method_0")), u"a") << "saved in the set's order";
    EXPECT_EQ(std::get<std::u16string>(section.at(u"method_1")), u"b");
    EXPECT_EQ(std::get<std::int32_t>(section.at(u"chrmType")), 1);

    FilterSettings::save(profile, {}, {}, 7);
    EXPECT_FALSE(profile.sections[u"Filters"].count(u"chrmType")) << "only -1, 1 and 0 are written";
    FilterSettings filters;
    filters.load(profile);
    EXPECT_EQ(filters.chrmType, -1);
}

TEST(TextFolding, FoldsLatinAndCyrillicOnACopy) {
    const std::u16string original = u"МЕТАН Ёж Methane ÄÖ";
    EXPECT_EQ(foldCase(original), u"метан ёж methane äö");
    EXPECT_EQ(original, u"МЕТАН Ёж Methane ÄÖ");
    EXPECT_EQ(foldCase(u"\xD83D\xDE00"), u"\xD83D\xDE00");
}

// Expected values from polynomial division over GF(2): message times x^16 modulo 0x18005.
TEST(TextFolding, Crc16Umts) {
    const std::pair<std::string_view, std::uint16_t> cases[] = {
        {"123456789", 0xFEE8},  // the catalogue's check value
        {"", 0},
        {"A", 0x0186},
        {"\xFF", 0x0202},  // a byte above 0x7F must not be sign-extended
        {std::string_view("\x80\x00", 2), 0x8009},
        {"6f1c0e2a-0000-4000-8000-000000000001", 0xA816},
    };
    for (const auto& [bytes, crc] : cases) EXPECT_EQ(crc16(bytes), crc) << testing::PrintToString(bytes);
    EXPECT_NE(crc16("6f1c0e2a-0000-4000-8000-000000000001"), crc16("6f1c0e2a-0000-4000-8000-000000000002"));
}

}  // namespace
