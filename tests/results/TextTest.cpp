// UTF-8 at the edges: broken input costs one character, not the rest of the text; the XML part
// of a chromatogram file reads as a 16-bit wchar_t pugixml build reads it.
#include <gtest/gtest.h>

#include <string>

#include "platform/Text.h"

using namespace tesmor;

namespace {

struct DecodeCase {
    const char* name;
    std::string bytes;
    std::u16string text;
};
void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }
std::string caseName(const ::testing::TestParamInfo<DecodeCase>& info) { return info.param.name; }

// Expectations are what Python's and ICU's decoders give (one U+FFFD per maximal ill-formed part).
class Utf16FromBrokenUtf8 : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf16FromBrokenUtf8, CostsOneCharacterPerBrokenPart) {
    EXPECT_EQ(toUtf16(GetParam().bytes), GetParam().text);
    EXPECT_EQ(isWellFormedUtf8(GetParam().bytes), toUtf8(toUtf16(GetParam().bytes)) == GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Utf16FromBrokenUtf8,
    ::testing::Values(DecodeCase{"CutOffThreeByteSequenceInside",
                                 "ab\xE2"
                                 "5",
                                 u"ab\uFFFD5"},
                      DecodeCase{"TwoOfThreeBytesInside",
                                 "ab\xE2\x82"
                                 "5",
                                 u"ab\uFFFD5"},
                      DecodeCase{"ThreeOfFourBytesInside", "\xF0\x9F\x98x", u"\uFFFDx"},
                      DecodeCase{"CutOffAtTheEnd", "a\xD0", u"a\uFFFD"},
                      DecodeCase{"TwoCutOffSequencesInARow",
                                 "\xE2\x82\xE2\x82"
                                 "a",
                                 u"\uFFFD\uFFFDa"},
                      DecodeCase{"BetweenCyrillicLetters", "Ж\xE2Ж", u"Ж\uFFFDЖ"},
                      DecodeCase{"StrayContinuationBytes",
                                 "a\x80\x80"
                                 "b",
                                 u"a\uFFFD\uFFFDb"},
                      DecodeCase{"InvalidLeadByte",
                                 "a\xFF"
                                 "b",
                                 u"a\uFFFDb"},
                      DecodeCase{"OverlongTwoBytes", "\xC0\xAF", u"\uFFFD\uFFFD"},
                      DecodeCase{"OverlongThreeBytes", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"BeyondU10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      DecodeCase{"WellFormedAstral", "\xF0\x9F\x98\x80", u"\U0001F600"},
                      DecodeCase{"WrittenReplacementCharacter", "\xEF\xBF\xBD", u"\uFFFD"}),
    caseName);

// As pugixml's UTF-8 decoder with a 16-bit writer: invalid bytes vanish, overlong forms and
// encoded surrogates are taken, 4-byte sequences always make two units (wrapping past U+10FFFF).
class Utf16AsWideXml : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Utf16AsWideXml, DropsInvalidBytesAndRoundTrips) {
    const std::u16string text = toUtf16DroppingInvalid(GetParam().bytes);
    EXPECT_EQ(text, GetParam().text);
    EXPECT_EQ(toUtf16DroppingInvalid(toUtf8KeepingSurrogates(text)), text);
    if (isWellFormedUtf8(GetParam().bytes)) {
        EXPECT_EQ(text, toUtf16(GetParam().bytes));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Utf16AsWideXml,
    ::testing::Values(DecodeCase{"CutOffInsideANumber",
                                 "1\xE2"
                                 "5",
                                 u"15"},
                      DecodeCase{"TwoOfThreeBytes",
                                 "ab\xE2\x82"
                                 "5",
                                 u"ab5"},
                      DecodeCase{"CutOffAtTheEnd", "Цех\xE2\x82", u"Цех"},
                      DecodeCase{"StrayAndInvalidBytes",
                                 "a\x80\xFF\xF8"
                                 "b",
                                 u"ab"},
                      DecodeCase{"OverlongDigit",
                                 "\xC0\xB1"
                                 "7",
                                 u"17"},
                      DecodeCase{"OverlongZero",
                                 "a\xC0\x80"
                                 "b",
                                 std::u16string(u"a\0b", 3)},
                      DecodeCase{"EncodedSurrogate",
                                 "a\xED\xA0\x80"
                                 "b",
                                 u"a\xD800"
                                 "b"},
                      DecodeCase{"Astral", "\xF0\x9F\x98\x80", u"\U0001F600"},
                      DecodeCase{"JustPastU10FFFF", "\xF4\x90\x80\x80", u"\xDC00\xDC00"},
                      DecodeCase{"LargestFourByteValue", "\xF7\xBF\xBF\xBF", u"\xDFBF\xDFFF"},
                      DecodeCase{"OverlongFourByteZero", "\xF0\x80\x80\x80", u"\xD7C0\xDC00"},
                      DecodeCase{"FiveByteForm",
                                 "\xF8\x88\x80\x80\x80"
                                 "x",
                                 u"x"},
                      DecodeCase{"WellFormedCyrillic", "Метан", u"Метан"}),
    caseName);

TEST(Utf8KeepingSurrogates, WritesPairsWholeAndLoneSurrogatesInTheirOwnForm) {
    EXPECT_EQ(toUtf8KeepingSurrogates(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(toUtf8KeepingSurrogates(u"\xD800"
                                      "a\xDC00"),
              "\xED\xA0\x80"
              "a\xED\xB0\x80");
    EXPECT_EQ(toUtf8(u"\xD800"), "\xEF\xBF\xBD");
}

}  // namespace
