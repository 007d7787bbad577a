// Map files and tag lists against the real resource tables of both languages: round trips
// through the profile, every refusal with its exact line, and the tag list's references.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "modbus/MapFile.h"
#include "modbus/RegisterEncoder.h"
#include "platform/ResourceIds.h"
#include "platform/Text.h"
#include "shell/BuiltInResources.h"
#include "support/MemoryProfile.h"

extern "C" const TesmorResourceTable* tesmorResourceTable(void);  // shell/enu/EnglishResources.cpp

namespace tesmor {
namespace {

const Resources& russian() {
    static const Resources r{builtInResourceTable()};
    return r;
}
const Resources& english() {
    static const Resources r{tesmorResourceTable()};
    return r;
}
MapLanguages inRussian() { return {&russian(), {&english()}}; }
MapLanguages inEnglish() { return {&english(), {&russian()}}; }

namespace texts {
constexpr std::u16string_view coilStatus = u"Coil Status (0x)", inputStatus = u"Input Status (1x)",
                              inputRegisters = u"Input Registers (3x)",
                              holdingRegisters = u"Holding Registers (4x)";
constexpr std::u16string_view typeBool = u"BOOL", typeFloat = u"FLOAT", typeInt = u"INT";
constexpr std::u16string_view bigEndian = u"Big-endian", littleEndian = u"Little-endian",
                              bigEndianByteSwap = u"Big-endian byte swap",
                              littleEndianByteSwap = u"Little-endian byte swap";
}  // namespace texts

EntryTexts entry(std::u16string source, std::u16string device, std::u16string component, int address,
                 std::u16string_view type, std::u16string_view dataType, std::u16string_view order,
                 std::u16string item) {
    return {std::move(source),    std::move(device),        std::move(component),  address,
            std::u16string(type), std::u16string(dataType), std::u16string(order), std::move(item)};
}

MapCaptions captionsOf(const MapLanguages& languages) {
    return MapCaptions(*languages.current, languages.others);
}

// The entries as a profile in either language holds them.
RegisterMap mapOf(const std::vector<EntryTexts>& entries) {
    RegisterMap map;
    for (const EntryTexts& t : entries) map.push_back(captionsOf(inRussian()).parse(t));
    return map;
}

// Every source and data item, every table, data type and byte order, and texts that need quoting.
std::vector<EntryTexts> everyKindOfEntry(const StringSource& s) {
    auto c = [&](unsigned id) { return s.loadString(id); };
    using namespace texts;
    return {
        entry(c(res::kSourceChromatogram), u"", u"", 0, holdingRegisters, typeInt, u"",
              c(res::kItemSampleTime)),
        entry(c(res::kSourceChromatogram), u"", u"", 5, holdingRegisters, typeInt, u"",
              c(res::kItemSampleNumber)),
        entry(c(res::kSourceChromatogram), u"", u"", 6, inputRegisters, typeInt, u"",
              c(res::kItemSeriesNumber)),
        entry(c(res::kSourcePeak), u"", u"Метан", 10, holdingRegisters, typeFloat, bigEndian,
              c(res::kItemConcentration)),
        entry(c(res::kSourcePeak), u"", u"Methane, \"dry\"", 12, holdingRegisters, typeFloat, littleEndian,
              c(res::kItemArea)),
        entry(c(res::kSourcePeak), u"", u"line\r\nbreak", 14, holdingRegisters, typeFloat, bigEndianByteSwap,
              c(res::kItemRetentionTime)),
        entry(c(res::kSourcePeak), u"", u"Азот", 16, inputRegisters, typeFloat, littleEndianByteSwap,
              c(res::kItemConcentration)),
        entry(c(res::kSourcePeak), u"", u"Азот", 18, inputRegisters, typeBool, u"", c(res::kItemArea)),
        entry(c(res::kSourcePeak), u"", u"CO2", 0, coilStatus, typeBool, u"", c(res::kItemConcentration)),
        entry(c(res::kSourcePeak), u"", u"CO2", 0, inputStatus, typeBool, u"", c(res::kItemRetentionTime)),
        entry(c(res::kSourceDevice), u"Хроматограф-1", u"", 50, holdingRegisters, typeInt, u"",
              c(res::kItemMode)),
        entry(c(res::kSourceDevice), u"GC;2", u"", 65535, holdingRegisters, typeInt, u"",
              c(res::kItemLastError)),
    };
}

using Sections = std::map<std::u16string, test::MemoryProfile::Section>;

TEST(MapFile, ExportThenImportGivesTheProfileKeysBack) {
    for (const MapLanguages& languages : {inRussian(), inEnglish()}) {
        SCOPED_TRACE(toUtf8(languages.current->loadString(res::kSourceDevice)));
        test::MemoryProfile before;
        saveRegisterMap(before, mapOf(everyKindOfEntry(*languages.current)), captionsOf(languages));
        const std::string file = writeMapFile(loadRegisterMap(before, captionsOf(languages)), languages);

        const MapFileImport imported = readMapFile(file, languages);
        ASSERT_TRUE(imported.errors.empty()) << formatMapFileErrors("map.csv", imported.errors);
        test::MemoryProfile after;
        saveRegisterMap(after, imported.entries, captionsOf(languages));
        EXPECT_EQ(after.sections, before.sections);
    }
}

TEST(MapFile, WritesTheHeaderTheMarkAndRfc4180Quoting) {
    const RegisterMap map =
        mapOf({entry(u"Пик хроматограммы", u"", u"Methane, \"dry\"", 12, texts::holdingRegisters,
                     texts::typeFloat, texts::littleEndian, u"Площадь пика")});
    EXPECT_EQ(writeMapFile(map, inRussian()),
              "\xEF\xBB\xBF"
              "source,device,component,address,register_type,data_type,byte_order,data_item\r\n"
              "Пик хроматограммы,,\"Methane, \"\"dry\"\"\",12,Holding Registers (4x),FLOAT,Little-endian,"
              "Площадь пика\r\n");
    // Captions of another language are written in the language in use.
    EXPECT_EQ(writeMapFile(map, inEnglish()),
              "\xEF\xBB\xBF"
              "source,device,component,address,register_type,data_type,byte_order,data_item\r\n"
              "Chromatogram peak,,\"Methane, \"\"dry\"\"\",12,Holding Registers (4x),FLOAT,Little-endian,"
              "Peak area\r\n");
}

TEST(MapFile, EitherLanguagesCaptionsAreStoredInTheLanguageInUse) {
    const std::string file = writeMapFile(mapOf(everyKindOfEntry(russian())), inRussian());
    const MapFileImport imported = readMapFile(file, inEnglish());
    ASSERT_TRUE(imported.errors.empty()) << formatMapFileErrors("map.csv", imported.errors);
    const RegisterMap expected = mapOf(everyKindOfEntry(english()));
    ASSERT_EQ(imported.entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(imported.entries[i].sameConfiguration(expected[i])) << i;
    }
}

TEST(MapFile, ReadsARussianLocaleSpreadsheetWithSemicolons) {
    const std::string file =
        "\xEF\xBB\xBF"
        "source;device;component;address;register_type;data_type;byte_order;data_item\r\n"
        "Пик хроматограммы;;\"Метан; сухой\";10;Holding Registers (4x);FLOAT;Big-endian;Концентрация пика\r\n"
        "Хроматограмма;;;0x0C;Input Registers (3x);INT;;Время отбора пробы\r\n"
        "Устройство;Хроматограф-1;;20;Holding Registers (4x);INT;;Режим устройства\r\n"
        ";;;;;;;\r\n";
    const MapFileImport imported = readMapFile(file, inEnglish());
    ASSERT_TRUE(imported.errors.empty()) << formatMapFileErrors("map.csv", imported.errors);
    ASSERT_EQ(imported.entries.size(), 3u);
    EXPECT_EQ(imported.entries[0].component, u"Метан; сухой");
    EXPECT_EQ(imported.entries[0].dataItem, DataItem::Concentration);
    EXPECT_EQ(imported.entries[1].address, 12);
    EXPECT_EQ(imported.entries[1].dataItem, DataItem::SampleTime);
    EXPECT_EQ(imported.entries[2].source, Source::Device);
    EXPECT_EQ(imported.entries[2].deviceName, u"Хроматограф-1");
}

struct BadFile {
    const char* name;
    std::string body;                                                  // after the header row, unless `raw`
    std::vector<std::tuple<int, std::string, std::u16string>> errors;  // line, column (or none), reason
    bool raw = false;
};
void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

std::string times(std::string_view text, int n) {
    std::string out;
    while (n-- > 0) out += text;
    return out;
}

const std::string kHeader = "source,device,component,address,register_type,data_type,byte_order,data_item\n";
const std::string kGood =
    "Chromatogram,,,0,Holding Registers (4x),INT,,Sample number\n";  // line 2 when first

class BadFiles : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadFiles, AreRefusedWithEveryErrorItsLineAndItsColumn) {
    const BadFile& c = GetParam();
    const MapFileImport imported = readMapFile(c.raw ? c.body : kHeader + c.body, inEnglish());
    EXPECT_TRUE(imported.entries.empty());
    std::vector<std::tuple<int, std::string, std::u16string>> got;
    for (const auto& e : imported.errors) got.emplace_back(e.line, std::string(e.column), e.reason);
    EXPECT_EQ(got, c.errors) << formatMapFileErrors("map.csv", imported.errors);
}

const std::u16string kHeaderReason =
    u"The first line must be the header row: "
    u"source,device,component,address,register_type,data_type,byte_order,data_item";

INSTANTIATE_TEST_SUITE_P(
    Rows, BadFiles,
    ::testing::Values(
        BadFile{"EmptyFile", "", {{1, "", u"The file is empty."}}, true},
        BadFile{"OnlyTheMarkAndBlankLines", "\xEF\xBB\xBF\r\n\r\n", {{1, "", u"The file is empty."}}, true},
        BadFile{"NoHeader", kGood, {{1, "", kHeaderReason}}, true},
        BadFile{"HeaderInOtherCase",
                "Source,Device,Component,Address,Register_type,Data_type,Byte_order,Data_item\n",
                {{1, "", kHeaderReason}},
                true},
        BadFile{"HeaderAfterABlankLine", "\n" + kHeader, {{1, "", kHeaderReason}}, true},
        BadFile{"NotUtf8",
                kHeader + kGood + "\xD0\xE5\xE6\xE8\xEC,,,1,Holding Registers (4x),INT,,Sample number\n",
                {{3, "", u"The file is not UTF-8 text. Save it as \"CSV UTF-8\"."}},
                true},
        BadFile{"NoSource",
                ",,,1,Holding Registers (4x),INT,,Sample number\n",
                {{2, "source", u"No data source is given."}}},
        BadFile{"UnknownSource",
                "Chromatograms,,,1,Holding Registers (4x),INT,,Sample number\n",
                {{2, "source", u"Unknown value \"Chromatograms\" in column source."}}},
        BadFile{"DeviceSourceWithoutDevice",
                "Device,,,1,Holding Registers (4x),INT,,Device mode\n",
                {{2, "device", u"Select a device."}}},
        BadFile{"PeakWithoutComponent",
                "Chromatogram peak,,,,Holding Registers (4x),FLOAT,Big-endian,Peak area\n",
                {{2, "component", u"Enter the component name."}}},
        BadFile{"NoAddress",
                "Chromatogram,,,,Holding Registers (4x),INT,,Sample number\n",
                {{2, "address", u"Enter the register address."}}},
        BadFile{"AddressPastTheRange",
                "Chromatogram,,,65536,Holding Registers (4x),INT,,Sample number\n"
                "Chromatogram,,,0x10000,Holding Registers (4x),INT,,Sample number\n"
                "Chromatogram,,,-1,Holding Registers (4x),INT,,Sample number\n"
                "Chromatogram,,,12abc,Holding Registers (4x),INT,,Sample number\n",
                {{2, "address", u"The value must be from 0 to 65535!"},
                 {3, "address", u"The value must be from 0 to 65535!"},
                 {4, "address", u"The value must be from 0 to 65535!"},
                 {5, "address", u"The value must be from 0 to 65535!"}}},
        BadFile{"NoRegisterType",
                "Chromatogram,,,1,,INT,,Sample number\n",
                {{2, "register_type", u"No register type is selected."}}},
        BadFile{"UnknownRegisterType",
                "Chromatogram,,,1,Holding Registers,INT,,Sample number\n",
                {{2, "register_type", u"Unknown value \"Holding Registers\" in column register_type."}}},
        BadFile{"NoDataType",
                "Chromatogram,,,1,Holding Registers (4x),,,Sample number\n",
                {{2, "data_type", u"No register data type is selected."}}},
        BadFile{"UnknownDataType",
                "Chromatogram,,,1,Holding Registers (4x),int,,Sample number\n",
                {{2, "data_type", u"Unknown value \"int\" in column data_type."}}},
        BadFile{"NoDataItem",
                "Chromatogram,,,1,Holding Registers (4x),INT,,\n",
                {{2, "data_item", u"No register data is selected."}}},
        BadFile{"UnknownDataItem",
                "Chromatogram,,,1,Holding Registers (4x),INT,,Sample no.\n",
                {{2, "data_item", u"Unknown value \"Sample no.\" in column data_item."}}},
        BadFile{
            "ItemOfAnotherSource",
            "Chromatogram,,,1,Holding Registers (4x),INT,,Device mode\n",
            {{2, "data_item", u"The data \"Device mode\" does not belong to the source \"Chromatogram\"."}}},
        BadFile{"SampleTimeInABitTable",
                "Chromatogram,,,1,Coil Status (0x),BOOL,,Sampling time\n",
                {{2, "register_type", u"Sampling time data can only be stored in 16-bit registers."}}},
        BadFile{"BitTableNotBool",
                "Chromatogram peak,,CO2,1,Input Status (1x),FLOAT,Big-endian,Peak area\n",
                {{2, "data_type", u"Register type \"Input Status (1x)\" holds data type BOOL only."}}},
        BadFile{"SampleTimeAsFloat",
                "Chromatogram,,,1,Holding Registers (4x),FLOAT,Big-endian,Sampling time\n",
                {{2, "data_type", u"\"Sampling time\" is stored with data type INT only."}}},
        BadFile{"FloatWithoutByteOrder",
                "Chromatogram peak,,CO2,1,Holding Registers (4x),FLOAT,,Peak area\n",
                {{2, "byte_order", u"Data type FLOAT needs a byte order."}}},
        BadFile{"UnknownByteOrder",
                "Chromatogram peak,,CO2,1,Holding Registers (4x),FLOAT,ABCD,Peak area\n",
                {{2, "byte_order", u"Unknown value \"ABCD\" in column byte_order."}}},
        BadFile{"ByteOrderOfAnInt",
                "Chromatogram,,,1,Holding Registers (4x),INT,Big-endian,Sample number\n",
                {{2, "byte_order", u"A byte order is given for data type FLOAT only."}}},
        BadFile{"DeviceOfAPeak",
                "Chromatogram peak,GC-1,CO2,1,Holding Registers (4x),INT,,Peak area\n",
                {{2, "device", u"Column device must be empty for the source \"Chromatogram peak\"."}}},
        BadFile{"ComponentOfADevice",
                "Device,GC-1,CO2,1,Holding Registers (4x),INT,,Device mode\n",
                {{2, "component", u"Column component must be empty for the source \"Device\"."}}},
        BadFile{"NamesLongerThanTheProfileKeeps",
                "Chromatogram peak,," + std::string(128, 'C') +
                    ",1,Holding Registers (4x),INT,,Peak area\n"
                    "Chromatogram peak,,\"" +
                    std::string(127, 'C') +
                    "\",2,Holding Registers (4x),INT,,Peak area\n"
                    "Device," +
                    times("Ж", 127) + ",,3,Holding Registers (4x),INT,,Device mode\n",
                {{2, "component", u"The text in column component is longer than 127 characters."}}},
        BadFile{"Overlaps",
                "Chromatogram peak,,CO2,10,Holding Registers (4x),FLOAT,Big-endian,Peak area\n"  // 10-11
                "Chromatogram,,,10,Input Registers (3x),INT,,Sample number\n"       // other table
                "Chromatogram,,,11,Holding Registers (4x),INT,,Sample number\n"     // in the float
                "Chromatogram,,,6,Holding Registers (4x),INT,,Sampling time\n"      // 6-10
                "Chromatogram,,,12,Holding Registers (4x),INT,,Number in series\n"  // free
                "Chromatogram peak,,CO2,12,Coil Status (0x),BOOL,,Peak area\n"      // other table
                "Chromatogram peak,,N2,12,Coil Status (0x),BOOL,,Peak area\n",
                {{4, "address", u"The registers overlap those of line 2."},
                 {5, "address", u"The registers overlap those of line 2."},
                 {8, "address", u"The registers overlap those of line 7."}}},
        BadFile{"TextAfterAClosingQuote",
                "\"Chromatogram\"x,,,1,Holding Registers (4x),INT,,Sample number\n" + kGood,
                {{2, "", u"Broken quoting."}}},
        BadFile{"QuoteInsideAField",
                "Chrom\"atogram,,,1,Holding Registers (4x),INT,,Sample number\n",
                {{2, "", u"Broken quoting."}}},
        BadFile{"UnclosedQuote",
                kGood + "Chromatogram,,\"CO2,1,Holding Registers (4x),INT,,Sample number\n" + kGood,
                {{3, "", u"Broken quoting."}}},
        BadFile{"FieldCount",
                "Chromatogram,,,1,Holding Registers (4x),INT,Sample number\n"
                "Chromatogram,,,1,Holding Registers (4x),INT,,Sample number,\n",
                {{2, "", u"The line has 7 fields instead of 8."},
                 {3, "", u"The line has 9 fields instead of 8."}}},
        BadFile{"LinesCountedAcrossQuotedLineBreaks",
                "Chromatogram peak,,\"CO2\r\nwet\",1,Holding Registers (4x),INT,,Peak area\n"  // lines 2-3
                "Chromatogram,,,1,Holding Registers (4x),INT,,Sample numbers\n",               // line 4
                {{4, "data_item", u"Unknown value \"Sample numbers\" in column data_item."}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MapFile, ATenThousandLineFileIsReadWholeAndItsLastLineReported) {
    // 9,998 entries over three tables (4x FLOATs, 3x INTs, coils), then one that collides.
    std::string file = kHeader;
    int lines = 1;
    for (int i = 0; lines < 9999; ++i, ++lines) {
        const std::string n = std::to_string(i / 3), twice = std::to_string(i / 3 * 2);
        const char* const kinds[] = {",Holding Registers (4x),FLOAT,Big-endian,Peak area\n",
                                     ",Input Registers (3x),INT,,Peak area\n",
                                     ",Coil Status (0x),BOOL,,Peak area\n"};
        file += "Chromatogram peak,,C" + n + "," + (i % 3 == 2 ? n : twice) + kinds[i % 3];
    }
    const MapFileImport good = readMapFile(file, inEnglish());
    EXPECT_TRUE(good.errors.empty()) << formatMapFileErrors("map.csv", good.errors).substr(0, 500);
    EXPECT_EQ(good.entries.size(), 9998u);

    file += "Chromatogram,,,1,Holding Registers (4x),INT,,Sample number\n";  // inside line 2's float
    const MapFileImport bad = readMapFile(file, inEnglish());
    EXPECT_TRUE(bad.entries.empty());
    ASSERT_EQ(bad.errors.size(), 1u);
    EXPECT_EQ(bad.errors[0].line, 10000);
    EXPECT_EQ(bad.errors[0].reason, u"The registers overlap those of line 2.");
}

TEST(MapFile, AppendingChecksTheEntriesAlreadyInTheMap) {
    const RegisterMap map = mapOf({entry(u"Chromatogram", u"", u"", 0, texts::holdingRegisters,
                                         texts::typeInt, u"", u"Sampling time")});  // 0-4
    const std::string file = kHeader + "Chromatogram,,,5,Holding Registers (4x),INT,,Sample number\n" +
                             "Chromatogram,,,4,Holding Registers (4x),INT,,Number in series\n";
    const MapFileImport appended = readMapFile(file, inEnglish(), &map);
    EXPECT_TRUE(appended.entries.empty());
    ASSERT_EQ(appended.errors.size(), 1u);
    EXPECT_EQ(appended.errors[0].line, 3);
    EXPECT_EQ(appended.errors[0].reason, u"The registers overlap those of map row 1.");
    EXPECT_TRUE(readMapFile(file, inEnglish()).errors.empty());  // replacing: no collision
}

TEST(MapFile, OneLinePassOverlapsAgreeWithThePairRule) {
    const char* const kinds[] = {
        "Chromatogram,,,%d,Holding Registers (4x),INT,,Sampling time",
        "Chromatogram,,,%d,Holding Registers (4x),INT,,Sample number",
        "Chromatogram peak,,X,%d,Holding Registers (4x),FLOAT,Big-endian,Peak area",
        "Chromatogram peak,,X,%d,Input Registers (3x),FLOAT,Big-endian,Peak area",
        "Chromatogram peak,,X,%d,Coil Status (0x),BOOL,,Peak area",
        "Device,GC,,%d,Holding Registers (4x),FLOAT,Big-endian,Device mode",  // writes nothing, holds one
    };
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::string file = kHeader;
        RegisterMap entries;
        for (int i = 0; i < 60; ++i) {
            char line[160];
            std::snprintf(line, sizeof line, kinds[random() % std::size(kinds)], int(random() % 86) + 65450);
            file += std::string(line) + "\n";
            const MapFileImport one = readMapFile(kHeader + line + "\n", inEnglish());
            ASSERT_EQ(one.entries.size(), 1u) << line;
            entries.push_back(one.entries[0]);
        }
        std::vector<int> expected;
        for (std::size_t k = 0; k < entries.size(); ++k)
            for (std::size_t j = 0; j < k; ++j)
                if (entriesOverlap(entries[j], entries[k])) {
                    expected.push_back(int(k) + 2);
                    break;
                }
        std::vector<int> got;
        for (const auto& e : readMapFile(file, inEnglish()).errors) got.push_back(e.line);
        EXPECT_EQ(got, expected) << file;
    }
}

TEST(MapFile, ValidateEntrySpeaksTheLanguageOfItsStrings) {
    const EntryTexts noDevice =
        entry(u"Устройство", u"", u"", 1, texts::holdingRegisters, texts::typeInt, u"", u"Режим устройства");
    EXPECT_EQ(validateEntry(noDevice, russian()), u"Выберите устройство.");
    EntryTexts good = noDevice;
    good.deviceName = u"ГХ-1";
    EXPECT_EQ(validateEntry(good, russian()), u"");
    // A caption of the other language is no caption here.
    EXPECT_EQ(validateEntry(good, english()), u"Unknown value \"Устройство\" in column source.");
}

TEST(MapFile, FormatsErrorsAsFileLineReason) {
    EXPECT_EQ(formatMapFileErrors("/tmp/карта.csv", {{1, u"Файл пуст."}, {12, u"Broken quoting."}}),
              "/tmp/карта.csv:1: Файл пуст.\n/tmp/карта.csv:12: Broken quoting.\n");
}

TEST(TagList, NamesAreAsciiUniqueAndReferencesModicon) {
    using namespace texts;
    const RegisterMap map = mapOf({
        entry(u"Chromatogram peak", u"", u"Methane", 10, holdingRegisters, typeFloat, bigEndian,
              u"Peak concentration"),
        entry(u"Chromatogram peak", u"", u"Methane", 12, holdingRegisters, typeFloat, littleEndian,
              u"Peak concentration"),
        entry(u"Chromatogram peak", u"", u"n-Butane (C4)", 0, coilStatus, typeBool, u"", u"Peak area"),
        entry(u"Chromatogram peak", u"", u"Диоксид углерода", 9998, inputStatus, typeBool, u"", u"Peak area"),
        entry(u"Chromatogram", u"", u"", 9999, inputRegisters, typeInt, u"", u"Sampling time"),
        entry(u"Device", u"2nd GC", u"", 65535, holdingRegisters, typeInt, u"", u"Device mode"),
        entry(u"Chromatogram peak", u"", u"METHANE", 14, holdingRegisters, typeInt, u"",
              u"Peak concentration"),
    });
    EXPECT_EQ(
        writeTagList(map, inEnglish()),
        "\xEF\xBB\xBF"
        "tag,reference,address,table,registers,data_type,byte_order,description\r\n"
        "Methane_Peak_concentration,40011,10,Holding registers,2,FLOAT,Big-endian,"
        "Peak concentration: Methane\r\n"
        "Methane_Peak_concentration_2,40013,12,Holding registers,2,FLOAT,Little-endian,"
        "Peak concentration: Methane\r\n"
        "n_Butane_C4_Peak_area,00001,0,Coils,1,BOOL,,Peak area: n-Butane (C4)\r\n"
        "Dioksid_ugleroda_Peak_area,19999,9998,Discrete inputs,1,BOOL,,Peak area: Диоксид углерода\r\n"
        "Chromatogram_Sampling_time,310000,9999,Input registers,5,INT,,"
        "\"Sampling time (day, month, year, hour, minute)\"\r\n"
        "Tag_2nd_GC_Device_mode,465536,65535,Holding registers,1,INT,,Device mode: 2nd GC\r\n"
        "METHANE_Peak_concentration_3,40015,14,Holding registers,1,INT,,Peak concentration: METHANE\r\n");
    EXPECT_EQ(tagName(entry(u"Пик хроматограммы", u"", u"Метан", 0, holdingRegisters, typeFloat, bigEndian,
                            u"Концентрация пика")),
              "Metan_Kontsentratsiya_pika");
    EXPECT_EQ(tagName(entry(u"Устройство", u"Хроматограф «Ёлка»", u"", 0, holdingRegisters, typeInt, u"",
                            u"Код последней ошибки")),
              "Khromatograf_Elka_Kod_posledney_oshibki");
    EXPECT_EQ(tagName(entry(u"", u"", u"", 0, holdingRegisters, typeInt, u"", u"")), "Tag");
}

}  // namespace
}  // namespace tesmor
