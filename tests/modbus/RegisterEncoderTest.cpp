// The encoder against fixed register images; every row also proves that nothing outside the
// expected registers changed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/Handles.h"
#include "modbus/RegisterEncoder.h"
#include "platform/Text.h"

namespace tesmor {
namespace {

enum class Item { Mode, LastError, SampleTime, SampleNumber, Series, Concentration, Area, Retention, Other };

struct EncodeCase {
    const char* name;
    std::u16string_view registerType;
    std::u16string_view dataType;
    std::u16string_view byteOrder;
    Item item;
    double value;
    int address;
    std::vector<std::uint16_t> expected;  // empty: nothing may be written
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

constexpr std::u16string_view coil = u"Coil Status (0x)";
constexpr std::u16string_view input = u"Input Status (1x)";
constexpr std::u16string_view ireg = u"Input Registers (3x)";
constexpr std::u16string_view hreg = u"Holding Registers (4x)";
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

constexpr std::uint8_t kBitSentinel = 7;
constexpr std::uint16_t kRegSentinel = 0xA5A5;

// 2024-07-15 12:34:56 UTC is 14:34 summer time in Berlin; 2024-01-15 12:34:56 UTC is 13:34.
constexpr double kSummer = 1721046896;
constexpr double kWinter = 1705322096;
// The first second past 3000-12-31 23:59:59 UTC.
constexpr double kYear3001 = 32535216000.0;

class Encode : public ::testing::TestWithParam<EncodeCase> {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz) savedTz_ = tz;
        hadTz_ = tz != nullptr;
        // A POSIX rule rather than a zoneinfo name, so no time zone database is needed.
        ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        ::tzset();
    }
    void TearDown() override {
        if (hadTz_)
            ::setenv("TZ", savedTz_.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    std::string savedTz_;
    bool hadTz_ = false;
};

// The entry a profile with the case's texts and the Russian captions holds, with its value.
RegisterInfo makeEntry(const EncodeCase& c) {
    static const test::CaptionStrings russian;
    static const unsigned ids[] = {res::kItemMode,         res::kItemLastError,    res::kItemSampleTime,
                                   res::kItemSampleNumber, res::kItemSeriesNumber, res::kItemConcentration,
                                   res::kItemArea,         res::kItemRetentionTime};
    const std::u16string item = c.item == Item::Other ? u"Площадь" : russian.loadString(ids[int(c.item)]);
    RegisterInfo e = MapCaptions(russian).parse({{},
                                                 {},
                                                 {},
                                                 c.address,
                                                 std::u16string(c.registerType),
                                                 std::u16string(c.dataType),
                                                 std::u16string(c.byteOrder),
                                                 item});
    CurrentValues& v = e.values;
    switch (c.item) {
        case Item::Mode:
            v.mode = static_cast<std::int32_t>(c.value);
            break;
        case Item::LastError:
            v.lastError = static_cast<std::int32_t>(c.value);
            break;
        case Item::SampleTime:
            v.sampleTime = static_cast<std::int64_t>(c.value);
            break;
        case Item::SampleNumber:
            v.sampleNumber = static_cast<std::uint16_t>(c.value);
            break;
        case Item::Series:
            v.seriesNumber = static_cast<std::int32_t>(c.value);
            break;
        case Item::Concentration:
            v.concentration = static_cast<float>(c.value);
            break;
        case Item::Area:
        case Item::Other:
            v.area = static_cast<float>(c.value);
            break;
        case Item::Retention:
            v.retentionTime = static_cast<float>(c.value);
            break;
    }
    return e;
}

TEST_P(Encode, WritesExactlyTheExpectedRegisters) {
    const auto& c = GetParam();
    ModbusMapping store(modbus_mapping_new(500, 500, 500, 500));
    ASSERT_TRUE(store);
    std::fill_n(store->tab_bits, 500, kBitSentinel);
    std::fill_n(store->tab_input_bits, 500, kBitSentinel);
    std::fill_n(store->tab_registers, 500, kRegSentinel);
    std::fill_n(store->tab_input_registers, 500, kRegSentinel);

    writeRegister(makeEntry(c), *store);

    struct Table {
        std::u16string_view type;
        std::vector<std::uint16_t> values;
        std::uint16_t sentinel;
    };
    std::vector<Table> tables{
        {coil, {store->tab_bits, store->tab_bits + 500}, kBitSentinel},
        {input, {store->tab_input_bits, store->tab_input_bits + 500}, kBitSentinel},
        {ireg, {store->tab_input_registers, store->tab_input_registers + 500}, kRegSentinel},
        {hreg, {store->tab_registers, store->tab_registers + 500}, kRegSentinel},
    };
    for (const auto& t : tables) {
        std::vector<std::uint16_t> want(500, t.sentinel);
        if (t.type == c.registerType)
            for (std::size_t i = 0; i < c.expected.size(); ++i)
                want[static_cast<std::size_t>(c.address) + i] = c.expected[i];
        EXPECT_EQ(t.values, want) << "table " << std::string(t.type.begin(), t.type.end());
    }
}

const EncodeCase kCases[] = {
    // Bit tables: only the three peak items, 1 for anything not equal to 0.
    {"CoilConcentrationZero", coil, u"INT", u"", Item::Concentration, 0.0, 3, {0}},
    {"CoilConcentrationSmall", coil, u"anything", u"", Item::Concentration, 0.001, 3, {1}},
    {"CoilNaNCountsAsSet", coil, u"BOOL", u"", Item::Retention, nan, 0, {1}},
    {"DiscreteInputArea", input, u"BOOL", u"", Item::Area, -4.0, 499, {1}},
    {"CoilModeWritesNothing", coil, u"BOOL", u"", Item::Mode, 3, 3, {}},
    {"CoilAt500WritesNothing", coil, u"BOOL", u"", Item::Area, 1, 500, {}},
    // BOOL in register tables.
    {"HoldingBoolRetention", hreg, u"BOOL", u"", Item::Retention, 2.5, 10, {1}},
    {"InputBoolZero", ireg, u"BOOL", u"", Item::Concentration, 0.0, 10, {0}},
    {"HoldingBoolSampleNumberWritesNothing", hreg, u"BOOL", u"", Item::SampleNumber, 5, 10, {}},
    // FLOAT: the four byte orders of 1.0 and of 123456.0 (bits 0x47F12000).
    {"FloatOneBigEndian", hreg, u"FLOAT", u"Big-endian", Item::Area, 1.0, 20, {0x3F80, 0x0000}},
    {"FloatOneLittleEndian", hreg, u"FLOAT", u"Little-endian", Item::Area, 1.0, 20, {0x0000, 0x803F}},
    {"FloatOneBigEndianByteSwap",
     hreg,
     u"FLOAT",
     u"Big-endian byte swap",
     Item::Area,
     1.0,
     20,
     {0x803F, 0x0000}},
    {"FloatOneLittleEndianByteSwap",
     hreg,
     u"FLOAT",
     u"Little-endian byte swap",
     Item::Area,
     1.0,
     20,
     {0x0000, 0x3F80}},
    {"Float123456BigEndian",
     ireg,
     u"FLOAT",
     u"Big-endian",
     Item::Concentration,
     123456.0,
     30,
     {0x47F1, 0x2000}},
    {"Float123456LittleEndian",
     ireg,
     u"FLOAT",
     u"Little-endian",
     Item::Concentration,
     123456.0,
     30,
     {0x0020, 0xF147}},
    {"Float123456BigEndianByteSwap",
     ireg,
     u"FLOAT",
     u"Big-endian byte swap",
     Item::Concentration,
     123456.0,
     30,
     {0xF147, 0x0020}},
    {"Float123456LittleEndianByteSwap",
     ireg,
     u"FLOAT",
     u"Little-endian byte swap",
     Item::Retention,
     123456.0,
     30,
     {0x2000, 0x47F1}},
    {"FloatModeWritesNothing", hreg, u"FLOAT", u"Big-endian", Item::Mode, 1, 20, {}},
    {"FloatUnknownOrderWritesNothing", hreg, u"FLOAT", u"big-endian", Item::Area, 1.0, 20, {}},
    {"FloatAt498Fits", hreg, u"FLOAT", u"Big-endian", Item::Area, 1.0, 498, {0x3F80, 0x0000}},
    {"FloatAt499WritesNothing", hreg, u"FLOAT", u"Big-endian", Item::Area, 1.0, 499, {}},
    // INT: rounding halves away from zero, low 16 bits, NaN and overflow to 0.
    {"IntAreaHalfUp", hreg, u"INT", u"", Item::Area, 2.5, 40, {3}},
    {"IntAreaHalfDownNegative", hreg, u"INT", u"", Item::Area, -2.5, 40, {65533}},
    {"IntAreaLow16", hreg, u"INT", u"", Item::Area, 123456.7, 40, {57921}},
    {"IntConcentrationMinusHalf", ireg, u"INT", u"", Item::Concentration, -0.5, 40, {65535}},
    {"IntRetentionNaN", hreg, u"INT", u"", Item::Retention, nan, 40, {0}},
    {"IntAreaBeyondInt32", hreg, u"INT", u"", Item::Area, 3e9, 40, {0}},
    {"IntAreaBelowInt32", hreg, u"INT", u"", Item::Area, -3e9, 40, {0}},
    {"IntSeriesUnset", hreg, u"INT", u"", Item::Series, -1, 41, {65535}},
    {"IntSeriesTruncated", hreg, u"INT", u"", Item::Series, 70000, 41, {4464}},
    {"IntSampleNumberUnset", ireg, u"INT", u"", Item::SampleNumber, 65535, 42, {65535}},
    {"IntSampleNumber", ireg, u"INT", u"", Item::SampleNumber, 1234, 42, {1234}},
    {"IntModeNegative", hreg, u"INT", u"", Item::Mode, -1, 43, {65535}},
    {"IntLastErrorTruncated", hreg, u"INT", u"", Item::LastError, 70000, 44, {4464}},
    {"IntUnknownItemWritesNothing", hreg, u"INT", u"", Item::Other, 5, 44, {}},
    {"IntAt499Fits", hreg, u"INT", u"", Item::Mode, 9, 499, {9}},
    {"IntAtNegativeAddressWritesNothing", hreg, u"INT", u"", Item::Mode, 9, -5, {}},
    // Sample time: five registers in local time (Central European rules).
    {"SampleTimeSummer", hreg, u"INT", u"", Item::SampleTime, kSummer, 50, {15, 7, 2024, 14, 34}},
    {"SampleTimeWinter", ireg, u"INT", u"", Item::SampleTime, kWinter, 50, {15, 1, 2024, 13, 34}},
    {"SampleTimeUnset", hreg, u"INT", u"", Item::SampleTime, -1, 50, {0, 0, 0, 65535, 65535}},
    {"SampleTimePastYear3000", hreg, u"INT", u"", Item::SampleTime, kYear3001, 50, {0, 0, 0, 65535, 65535}},
    {"SampleTimeAt495Fits", hreg, u"INT", u"", Item::SampleTime, kSummer, 495, {15, 7, 2024, 14, 34}},
    {"SampleTimeAt496WritesNothing", hreg, u"INT", u"", Item::SampleTime, kSummer, 496, {}},
    {"SampleTimeAsFloatWritesNothing", hreg, u"FLOAT", u"Big-endian", Item::SampleTime, kSummer, 50, {}},
    {"SampleTimeInCoilWritesNothing", coil, u"BOOL", u"", Item::SampleTime, kSummer, 50, {}},
    // Texts are compared exactly.
    {"UnknownRegisterTypeWritesNothing", u"Holding Registers (4X)", u"INT", u"", Item::Mode, 1, 0, {}},
    {"UnknownDataTypeWritesNothing", hreg, u"DINT", u"", Item::Mode, 1, 0, {}},
};

INSTANTIATE_TEST_SUITE_P(Rows, Encode, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A master set to the entry's byte order reads the value back from the fixed register images.
TEST(DecodeFloat, FloatRowsReadBackInTheirByteOrder) {
    for (const EncodeCase& c : kCases) {
        if (c.dataType != u"FLOAT" || c.expected.size() != 2) continue;
        SCOPED_TRACE(c.name);
        float value = -1;
        ASSERT_TRUE(decodeFloat({c.expected[0], c.expected[1]}, byteOrderOf(c.byteOrder), value));
        EXPECT_EQ(value, static_cast<float>(c.value));
    }
    float untouched = 5;
    EXPECT_FALSE(decodeFloat({0x3F80, 0}, byteOrderOf(u"big-endian"), untouched));
    EXPECT_EQ(untouched, 5);
}

// A profile written under the Russian resources publishes the same under the English ones, which
// know the Russian captions as another language's.
TEST(EncodeCaptions, MapFromAnotherLanguageWritesTheSame) {
    const test::CaptionStrings russian;
    const test::CaptionStrings english = test::englishCaptionStrings();
    for (const std::u16string item : {u"Площадь пика", u"Peak area"}) {
        ModbusMapping store(modbus_mapping_new(500, 500, 500, 500));
        RegisterInfo e =
            MapCaptions(english, {&russian}).parse({{}, {}, {}, 0, std::u16string(hreg), u"INT", {}, item});
        e.values.area = 42;
        writeRegister(e, *store);
        EXPECT_EQ(store->tab_registers[0], 42) << toUtf8(item);
    }
}

struct OverlapCase {
    const char* name;
    std::u16string_view typeA, dataA;
    Item itemA;
    int addressA;
    std::u16string_view typeB, dataB;
    Item itemB;
    int addressB;
    bool overlap;
};

TEST(EntriesOverlap, SameTableAndIntersectingRegisters) {
    const OverlapCase cases[] = {
        {"int 3x:10 vs int 4x:10", ireg, u"INT", Item::Mode, 10, hreg, u"INT", Item::Mode, 10, false},
        {"float 4x:10 vs int 4x:11", hreg, u"FLOAT", Item::Area, 10, hreg, u"INT", Item::Mode, 11, true},
        {"float 4x:10 vs int 4x:12", hreg, u"FLOAT", Item::Area, 10, hreg, u"INT", Item::Mode, 12, false},
        {"int 4x:9 vs float 4x:10", hreg, u"INT", Item::Mode, 9, hreg, u"FLOAT", Item::Area, 10, false},
        {"time 4x:0 vs int 4x:4", hreg, u"INT", Item::SampleTime, 0, hreg, u"INT", Item::Mode, 4, true},
        {"time 4x:0 vs int 4x:5", hreg, u"INT", Item::SampleTime, 0, hreg, u"INT", Item::Mode, 5, false},
        {"coil 0x:3 vs coil 0x:3", coil, u"BOOL", Item::Area, 3, coil, u"BOOL", Item::Concentration, 3, true},
        {"coil 0x:3 vs input 1x:3", coil, u"BOOL", Item::Area, 3, input, u"BOOL", Item::Area, 3, false},
        {"unknown item still takes its address", hreg, u"INT", Item::Other, 7, hreg, u"INT", Item::Mode, 7,
         true},
    };
    for (const auto& c : cases) {
        const EncodeCase a{c.name, c.typeA, c.dataA, u"Big-endian", c.itemA, 0, c.addressA, {}};
        const EncodeCase b{c.name, c.typeB, c.dataB, u"Big-endian", c.itemB, 0, c.addressB, {}};
        EXPECT_EQ(entriesOverlap(makeEntry(a), makeEntry(b)), c.overlap) << c.name;
        EXPECT_EQ(entriesOverlap(makeEntry(b), makeEntry(a)), c.overlap) << c.name << " (swapped)";
    }
}

}  // namespace
}  // namespace tesmor
