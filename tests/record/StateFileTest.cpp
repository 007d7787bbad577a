#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "RecordTestSupport.h"
#include "record/StateFile.h"
#include "support/TempDir.h"

namespace tesmor {
namespace {

using test::analysisOf;

class StateFileTest : public ::testing::Test {
protected:
    std::string path() const { return dir_.file("state.sqlite").string(); }
    StateFile open() const {
        StateFile file = StateFile::open(path());
        EXPECT_TRUE(file.ok()) << file.failure();
        return file;
    }

    TempDir dir_;
};

TEST_F(StateFileTest, ANewFileStartsWithNothing) {
    const StateFile file = open();
    EXPECT_EQ(file.latestSequence(), 0u);
    EXPECT_EQ(file.held(), StateFile::Held{});
    EXPECT_FALSE(file.find(1));
    EXPECT_EQ(file.failure(), "");
}

TEST_F(StateFileTest, AnAnalysisComesBackAsItWasRecorded) {
    StateFile file = open();
    StoredAnalysis analysis = analysisOf(41);
    analysis.sequence = 777;  // the caller's number is not the one taken
    analysis.sampleTime = -1;
    analysis.uuid = "Проба №5 \x01 with a control character";
    ASSERT_EQ(file.record(analysis, 10), 1u) << file.failure();

    const auto found = file.find(1);
    ASSERT_TRUE(found) << file.failure();
    analysis.sequence = 1;
    EXPECT_EQ(*found, analysis);
    EXPECT_EQ(found->image.holdingRegisters.size(), 500u);
    EXPECT_EQ(file.held(), (StateFile::Held{1, 1}));
}

TEST_F(StateFileTest, ANonZeroBitReadsBackAsOne) {
    StateFile file = open();
    StoredAnalysis analysis;
    analysis.image.coils = {0, 1, 2, 255};
    analysis.image.discreteInputs = {7, 0};
    ASSERT_TRUE(file.record(analysis, 1));
    const auto found = file.find(1);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->image.coils, (std::vector<std::uint8_t>{0, 1, 1, 1}));
    EXPECT_EQ(found->image.discreteInputs, (std::vector<std::uint8_t>{1, 0}));
}

// Tables of any length and content, as the runs of zeros and values meet their limits.
struct ImageCase {
    const char* name;
    std::function<RegisterImage()> make;
};
void PrintTo(const ImageCase& row, std::ostream* out) { *out << row.name; }

class ImageRoundTrip : public StateFileTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageRoundTrip, KeepsEveryTableAsItWas) {
    StateFile file = open();
    StoredAnalysis analysis = analysisOf(3);
    analysis.image = GetParam().make();
    ASSERT_TRUE(file.record(analysis, 1)) << file.failure();
    const auto found = file.find(1);
    ASSERT_TRUE(found) << file.failure();
    EXPECT_EQ(found->image, analysis.image);
}

std::vector<std::uint16_t> registers(std::size_t size,
                                     const std::function<std::uint16_t(std::size_t)>& value) {
    std::vector<std::uint16_t> out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = value(i);
    return out;
}
std::vector<std::uint8_t> bits(std::size_t size, const std::function<bool(std::size_t)>& value) {
    std::vector<std::uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = value(i);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ImageRoundTrip,
    ::testing::Values(
        ImageCase{"AllEmpty", [] { return RegisterImage{}; }},
        ImageCase{"OneOfEach",
                  [] {
                      return RegisterImage{{1}, {0}, {0}, {0xFFFF}};
                  }},
        ImageCase{"BitsNotAMultipleOfEight",
                  [] {
                      return RegisterImage{bits(7, [](auto i) { return i % 2; }),
                                           bits(9, [](auto i) { return i == 8; }),
                                           {},
                                           {}};
                  }},
        ImageCase{"AllZeros500",
                  [] {
                      return RegisterImage{
                          bits(500, [](auto) { return false; }), bits(500, [](auto) { return false; }),
                          registers(500, [](auto) { return 0; }), registers(500, [](auto) { return 0; })};
                  }},
        ImageCase{"AllSet500",
                  [] {
                      return RegisterImage{
                          bits(500, [](auto) { return true; }), bits(500, [](auto) { return true; }),
                          registers(500, [](auto) { return 0xFFFF; }),
                          registers(500, [](auto i) { return static_cast<std::uint16_t>(i + 1); })};
                  }},
        ImageCase{"SingleAndDoubleZeroGaps",
                  [] {
                      return RegisterImage{{},
                                           {},
                                           registers(500, [](auto i) { return i % 2 ? 0 : 9; }),
                                           registers(500, [](auto i) { return i % 3 ? 0 : 9; })};
                  }},
        ImageCase{"TrailingZerosAfterValues",
                  [] {
                      return RegisterImage{{},
                                           {},
                                           registers(500, [](auto i) { return i < 10 ? 5 : 0; }),
                                           registers(12, [](auto i) { return i == 9 ? 5 : 0; })};
                  }},
        ImageCase{"RunsLongerThanSixteenBits",
                  [] {
                      return RegisterImage{
                          bits(70001, [](auto i) { return i == 70000; }),
                          {},
                          registers(140000, [](auto i) { return i == 139999 ? 1 : 0; }),
                          registers(140000, [](auto i) { return static_cast<std::uint16_t>(i | 1); })};
                  }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StateFileTest, TheNumberingSurvivesClosingAndReopening) {
    {
        StateFile file = open();
        for (int i = 1; i <= 3; ++i) ASSERT_EQ(file.record(analysisOf(i), 5), static_cast<std::uint32_t>(i));
    }
    StateFile file = open();
    EXPECT_EQ(file.latestSequence(), 3u);
    EXPECT_EQ(file.held(), (StateFile::Held{1, 3}));
    const auto second = file.find(2);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->assayId, 2);
    EXPECT_EQ(file.record(analysisOf(4), 5), 4u);
}

TEST_F(StateFileTest, AMovedFileKeepsItsConnection) {
    StateFile first = open();
    ASSERT_TRUE(first.record(analysisOf(1), 3));
    StateFile second = std::move(first);
    EXPECT_EQ(second.record(analysisOf(2), 3), 2u);
    EXPECT_FALSE(first.ok());  // NOLINT(bugprone-use-after-move): a moved-from file is closed
    EXPECT_FALSE(first.record(analysisOf(3), 3));
    EXPECT_NE(first.failure().find("not open"), std::string::npos) << first.failure();
}

// record() calls with these depths, one after the other, and what is held afterwards.
struct DepthCase {
    const char* name;
    std::vector<int> depths;
    StateFile::Held held;
};
void PrintTo(const DepthCase& row, std::ostream* out) { *out << row.name; }

class Depth : public StateFileTest, public ::testing::WithParamInterface<DepthCase> {};

TEST_P(Depth, KeepsTheNewestAnalysesOnly) {
    StateFile file = open();
    std::uint32_t latest = 0;
    for (const int depth : GetParam().depths) {
        const auto taken = file.record(analysisOf(static_cast<std::int32_t>(latest + 1)), depth);
        ASSERT_EQ(taken, latest + 1) << file.failure();
        latest = *taken;
    }
    const StateFile::Held held = GetParam().held;
    EXPECT_EQ(file.held(), held);
    EXPECT_EQ(file.latestSequence(), latest);
    for (std::uint32_t s = 1; s <= latest; ++s) {
        const bool kept = held.count > 0 && s >= held.oldest;
        const auto found = file.find(s);
        EXPECT_EQ(found.has_value(), kept) << "sequence " << s;
        if (found) {
            EXPECT_EQ(found->assayId, static_cast<std::int32_t>(s));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Depth,
                         ::testing::Values(DepthCase{"BelowTheDepthKeepsAll", {5, 5, 5}, {1, 3}},
                                           DepthCase{"AtTheDepthDropsTheOldest", {3, 3, 3, 3, 3}, {3, 3}},
                                           DepthCase{"ALowerDepthTrimsAtOnce", {5, 5, 5, 5, 5, 2}, {5, 2}},
                                           DepthCase{"AHigherDepthKeepsWhatIsLeft", {2, 2, 2, 5, 5}, {2, 4}},
                                           DepthCase{"DepthOneKeepsTheLatest", {4, 4, 1}, {3, 1}},
                                           DepthCase{"DepthZeroKeepsOnlyTheNumbering", {3, 3, 0}, {0, 0}},
                                           DepthCase{
                                               "AfterDepthZeroTheHistoryStartsAgain", {3, 3, 0, 2}, {4, 1}},
                                           DepthCase{"ANegativeDepthIsZero", {2, -1}, {0, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StateFileTest, TheSequenceWrapsToOneAndNeverGivesZero) {
    { open(); }
    test::setLatestSequence(path(), 0xFFFFFFFD);
    StateFile file = open();
    std::vector<std::uint32_t> taken;
    for (int i = 0; i < 4; ++i) taken.push_back(file.record(analysisOf(i), 5).value_or(0));
    EXPECT_EQ(taken, (std::vector<std::uint32_t>{0xFFFFFFFE, 0xFFFFFFFF, 1, 2}));
    // The oldest is the first number before the wrap, not the smallest number.
    EXPECT_EQ(file.held(), (StateFile::Held{0xFFFFFFFE, 4}));
    EXPECT_FALSE(file.find(0));

    // Trimming across the wrap drops the numbers at the top end first.
    ASSERT_EQ(file.record(analysisOf(9), 3), 3u);
    EXPECT_EQ(file.held(), (StateFile::Held{1, 3}));
    EXPECT_FALSE(file.find(0xFFFFFFFF));
    ASSERT_TRUE(file.find(1));
    EXPECT_EQ(file.find(1)->assayId, 2);
}

TEST_F(StateFileTest, TrimmingJustAfterTheWrapKeepsBothEnds) {
    { open(); }
    test::setLatestSequence(path(), 0xFFFFFFFE);
    StateFile file = open();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(file.record(analysisOf(i), 2));
    // 0xFFFFFFFF, 1 and 2 were taken; depth 2 keeps 1 and 2.
    EXPECT_EQ(file.held(), (StateFile::Held{1, 2}));
    ASSERT_TRUE(file.record(analysisOf(3), 4));
    EXPECT_EQ(file.held(), (StateFile::Held{1, 3}));
}

TEST_F(StateFileTest, MetaValuesAreKeptBesideTheNumbering) {
    {
        StateFile file = open();
        EXPECT_EQ(file.meta("mqtt.birth"), std::nullopt);
        EXPECT_TRUE(file.setMeta("mqtt.birth", "1"));
        EXPECT_TRUE(file.setMeta("mqtt.birth", "2"));
        EXPECT_TRUE(file.setMeta("empty", ""));
        EXPECT_TRUE(file.setMeta("имя", std::string("a\0b", 3)));
        ASSERT_TRUE(file.record(analysisOf(1), 0));
    }
    StateFile file = open();
    EXPECT_EQ(file.meta("mqtt.birth"), "2");
    EXPECT_EQ(file.meta("empty"), "");
    EXPECT_EQ(file.meta("имя"), std::string("a\0b", 3));
    EXPECT_EQ(file.meta("sequence"), "1");
    EXPECT_EQ(file.failure(), "");
}

TEST_F(StateFileTest, TheNumberingCannotBeSetAsAMetaValue) {
    StateFile file = open();
    ASSERT_TRUE(file.record(analysisOf(1), 1));
    EXPECT_FALSE(file.setMeta("sequence", "0"));
    EXPECT_EQ(file.failure().rfind("state file " + path() + ": cannot write: ", 0), 0u) << file.failure();
    EXPECT_EQ(file.record(analysisOf(2), 1), 2u);
}

TEST_F(StateFileTest, ADamagedImageFailsToReadAndTheRestStillWorks) {
    {
        StateFile file = open();
        for (int i = 1; i <= 3; ++i) ASSERT_TRUE(file.record(analysisOf(i), 5));
    }
    {
        test::RawDb raw(path());
        // Lengths that claim more than the blob holds; a run past the table; bytes left over.
        raw.exec("UPDATE history SET image = x'FFFFFFFF00000000000000000000000000' WHERE sequence = 1");
        raw.exec(
            "UPDATE history SET image = x'000000000000000002000000000000000100050006000700' WHERE sequence = "
            "2");
        raw.exec("UPDATE history SET image = image || x'00' WHERE sequence = 3");
    }
    StateFile file = open();
    for (std::uint32_t s = 1; s <= 3; ++s) {
        EXPECT_FALSE(file.find(s)) << s;
        EXPECT_EQ(file.failure(), "state file " + path() + ": cannot read: analysis " + std::to_string(s) +
                                      ": damaged register image");
    }
    EXPECT_EQ(file.record(analysisOf(4), 5), 4u);
    EXPECT_TRUE(file.find(4));
}

}  // namespace
}  // namespace tesmor
