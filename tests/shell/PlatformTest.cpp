#include <gtest/gtest.h>

#include "platform/Language.h"
#include "platform/ModulePath.h"
#include "platform/Text.h"

using namespace tesmor;

TEST(Text, RoundTripsLatinCyrillicAndAstralCharacters) {
    const std::u16string text = u"Метан CH4 µ 😀";
    EXPECT_EQ(toUtf16(toUtf8(text)), text);
    EXPECT_EQ(toUtf8(u"Ж"), "\xD0\x96");
}

TEST(Text, BrokenInputBecomesReplacementCharacters) {
    EXPECT_EQ(toUtf16("a\xFF"
                      "b"),
              u"a\uFFFDb");
    EXPECT_EQ(toUtf16("a\xD0"), u"a\uFFFD");          // cut off at the end
    EXPECT_EQ(toUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
    EXPECT_EQ(toUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

// The hexadecimal reading stops at the first non-digit and saturates instead of wrapping, so an
// overlong address never lands back in range.
TEST(Text, LeadingNumberReadsHexadecimalAndSaturates) {
    EXPECT_EQ(leadingNumber(u"1fG", 16), 31);
    EXPECT_EQ(leadingNumber(u" -Ff", 16), -255);
    EXPECT_EQ(leadingNumber(u"1f", 10), 1);
    EXPECT_EQ(leadingNumber(u"0x10", 16), 0);
    EXPECT_EQ(leadingNumber(u"100000000000000000000", 16), std::int64_t{1} << 40);
    EXPECT_EQ(leadingNumber(u"-99999999999999999999"), -(std::int64_t{1} << 40));
}

TEST(Language, KnowsTheWindowsAbbreviations) {
    EXPECT_EQ(languageAbbreviation(1033), "ENU");
    EXPECT_EQ(languageAbbreviation(1049), "RUS");
    EXPECT_EQ(languageAbbreviation(2057), "ENG");
    EXPECT_EQ(languageAbbreviation(3082), "ESN");
    EXPECT_EQ(languageAbbreviation(1058), "UKR");
    EXPECT_EQ(languageAbbreviation(0), std::nullopt);
    EXPECT_EQ(languageAbbreviation(0x7FFF), std::nullopt);
}

TEST(ModulePath, ResourceLibraryNameReplacesTheFinalSo) {
    EXPECT_EQ(languageLibraryPath("/opt/host/plugins/tesmor.so", "ENU"), "/opt/host/plugins/tesmorENU.so");
    EXPECT_EQ(languageLibraryPath("/a.so/tesmor.so", "DEU"), "/a.so/tesmorDEU.so");
    EXPECT_EQ(languageLibraryPath("/a.so/tesmor", "DEU"), "/a.so/tesmorDEU.so");
}
