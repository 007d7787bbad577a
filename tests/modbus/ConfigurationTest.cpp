// Connection settings and the register map in the profile.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ModbusTestSupport.h"
#include "modbus/AccessRules.h"
#include "modbus/ConnectionSettings.h"
#include "modbus/RegisterMap.h"
#include "platform/Text.h"
#include "support/MemoryProfile.h"

namespace tesmor {
namespace {

// Records the keys read, in order.
class ReadRecordingProfile : public test::MemoryProfile {
public:
    std::int32_t getInt(std::u16string_view s, std::u16string_view k, std::int32_t d) override {
        reads.emplace_back(k);
        return MemoryProfile::getInt(s, k, d);
    }
    std::u16string getString(std::u16string_view s, std::u16string_view k, std::u16string_view d) override {
        reads.emplace_back(k);
        return MemoryProfile::getString(s, k, d);
    }
    std::vector<std::u16string> reads;
};

TEST(ConnectionSettings, EmptyProfileGivesDefaultsInReadOrder) {
    ReadRecordingProfile profile;
    const auto s = loadConnectionSettings(profile);
    EXPECT_EQ(s.tcpUnitId, 1);
    EXPECT_EQ(s.tcpPort, 502);
    EXPECT_EQ(s.rtuUnitId, 1);
    EXPECT_EQ(s.portName, u"COM1");
    EXPECT_EQ(s.baudRate, 9600);
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.parity, u"None");
    EXPECT_EQ(s.stopBits, 1);
    EXPECT_EQ(s.tcpEnabled, 0);
    EXPECT_EQ(s.rtuEnabled, 0);
    EXPECT_EQ(s.maxMasters, 1);
    EXPECT_EQ(s.bindAddress, u"");
    EXPECT_EQ(s.allowedMasters, u"");
    EXPECT_EQ(s.writeAccess, 0);
    EXPECT_EQ(s.tls, ConnectionSettings::Tls{});
    EXPECT_EQ(s.tls.enabled, 0);
    EXPECT_EQ(s.tls.port, 802);
    const std::vector<std::u16string> order{
        u"TCPId",      u"localPort",      u"isRTU",          u"isTCP",       u"RTUId",
        u"portName",   u"baud",           u"dataBits",       u"parity",      u"stopBits",
        u"maxMasters", u"bindAddress",    u"allowedMasters", u"writeAccess", u"isTLS",
        u"tlsPort",    u"tlsCertificate", u"tlsKey",         u"tlsCA",       u"tlsWriteRoles"};
    // A security key is read again as the other type, to tell a missing key from one that is not
    // of its type; the order of the keys stays.
    auto firstReads = profile.reads;
    firstReads.erase(std::unique(firstReads.begin(), firstReads.end()), firstReads.end());
    EXPECT_EQ(firstReads, order);
}

// A security key stored as another type than its own locks down instead of reading as missing.
struct WrongTypeCase {
    const char* name;
    std::u16string_view key;
    std::variant<std::int32_t, std::u16string> stored;
    std::function<bool(const ConnectionSettings&)> locked;
};

TEST(ConnectionSettings, SecurityKeysOfTheWrongTypeLockDownAndAreNamed) {
    const auto noWrites = [](const ConnectionSettings& s) { return s.writeAccess == 2; };
    const auto tlsOff = [](const ConnectionSettings& s) { return s.tls.enabled == 0; };
    const auto noRoles = [](const ConnectionSettings& s) { return s.tls.writeRoles.empty(); };
    // What the server's own checks refuse: no address to listen on, no master admitted.
    const auto listensNowhere = [](const ConnectionSettings& s) { return !bindAddressOf(s.bindAddress); };
    const auto admitsNobody = [](const ConnectionSettings& s) {
        return !MasterList::parse(s.allowedMasters).list;
    };
    const std::vector<WrongTypeCase> cases{
        {"writeAccess as a word", u"writeAccess", u"none", noWrites},
        {"writeAccess as a list", u"writeAccess", u"[2]", noWrites},
        {"isTLS as a word", u"isTLS", u"yes", tlsOff},
        {"isTLS as an object", u"isTLS", u"{\"on\": 1}", tlsOff},
        {"tlsWriteRoles as a number", u"tlsWriteRoles", 5, noRoles},
        {"tlsWriteRoles as a list", u"tlsWriteRoles", u"[\"operator\"]", noRoles},
        {"tlsWriteRoles as an object", u"tlsWriteRoles", u" {\"operator\": 1}", noRoles},
        {"bindAddress as a number", u"bindAddress", 5, listensNowhere},
        {"bindAddress as a list", u"bindAddress", u"[\"127.0.0.1\"]", listensNowhere},
        {"allowedMasters as a number", u"allowedMasters", 5, admitsNobody},
        {"allowedMasters as a list", u"allowedMasters", u"[\"10.0.0.1\"]", admitsNobody},
        {"allowedMasters as an object", u"allowedMasters", u"{\"10.0.0.1\": 1}", admitsNobody},
    };
    for (const auto& c : cases) {
        test::MemoryProfile profile;
        profile.sections[u"Settings"][std::u16string(c.key)] = c.stored;
        const auto s = loadConnectionSettings(profile);
        EXPECT_TRUE(c.locked(s)) << c.name;
        const bool named = c.key == u"bindAddress" || c.key == u"allowedMasters"
                               ? s.unreadableKeys.empty()  // their own checks log them, naming them
                               : s.unreadableKeys == std::vector<std::u16string>{std::u16string(c.key)};
        EXPECT_TRUE(named) << c.name;
    }
}

TEST(ConnectionSettings, NumbersStoredAsTextAreThoseNumbers) {
    test::MemoryProfile profile;
    profile.setString(kSettingsSection, u"writeAccess", u"2");
    profile.setString(kSettingsSection, u"isTLS", u" 1 ");
    const auto s = loadConnectionSettings(profile);
    EXPECT_EQ(s.writeAccess, 2);
    EXPECT_EQ(s.tls.enabled, 1);
    EXPECT_TRUE(s.unreadableKeys.empty());
}

TEST(ConnectionSettings, SaveWritesTenKeysThenMaxMastersThenAccessThenTlsKeysAndLoadsBack) {
    test::MemoryProfile profile;
    ConnectionSettings s;
    s.tcpUnitId = 300;  // out of the dialog's range: taken as stored
    s.tcpPort = 1502;
    s.rtuUnitId = 7;
    s.portName = u"/dev/ttyUSB3";
    s.baudRate = 115200;
    s.dataBits = 7;
    s.parity = u"Even";
    s.stopBits = 2;
    s.tcpEnabled = 2;
    s.rtuEnabled = 1;
    s.maxMasters = 16;
    s.bindAddress = u"not checked here";
    s.allowedMasters = u"10.0.0.0/8, x";
    s.writeAccess = 7;
    s.tls = {2, 70000, u"/etc/tesmor/сервер.pem", u"server.key", u"", u"operator, engineer"};
    saveConnectionSettings(profile, s);
    EXPECT_EQ(profile.writes, test::kSettingsWriteOrder);
    EXPECT_EQ(loadConnectionSettings(profile), s);
}

TEST(ConnectionSettings, MaxMastersIsClampedToOneToSixteen) {
    const std::pair<int, int> cases[] = {{-5, 1}, {0, 1}, {1, 1}, {4, 4}, {16, 16}, {17, 16}, {100000, 16}};
    for (const auto& [stored, loaded] : cases) {
        test::MemoryProfile profile;
        profile.setInt(kSettingsSection, u"maxMasters", stored);
        EXPECT_EQ(loadConnectionSettings(profile).maxMasters, loaded) << "stored " << stored;
    }
}

TEST(ConnectionSettings, TlsKeysAreReadAsStoredAndWrittenBack) {
    test::MemoryProfile profile;
    profile.setInt(kSettingsSection, u"isTLS", 1);
    profile.setInt(kSettingsSection, u"tlsPort", 8802);
    profile.setString(kSettingsSection, u"tlsCertificate", u"/etc/tesmor/сервер.pem");
    profile.setString(kSettingsSection, u"tlsKey", u"/etc/tesmor/server.key");
    profile.setString(kSettingsSection, u"tlsCA", u"/etc/tesmor/ca.pem");
    profile.setString(kSettingsSection, u"tlsWriteRoles", u"operator, engineer");
    const ConnectionSettings::Tls expected{1,
                                           8802,
                                           u"/etc/tesmor/сервер.pem",
                                           u"/etc/tesmor/server.key",
                                           u"/etc/tesmor/ca.pem",
                                           u"operator, engineer"};
    EXPECT_EQ(loadConnectionSettings(profile).tls, expected);
    // Cleared settings overwrite the stored ones, so switching TLS off in the dialog sticks.
    saveConnectionSettings(profile, ConnectionSettings{});
    EXPECT_EQ(loadConnectionSettings(profile).tls, ConnectionSettings::Tls{});
}

TEST(ConnectionSettings, ParityIsTheFirstCharacter) {
    EXPECT_EQ(parityCharacter(u"None"), 'N');
    EXPECT_EQ(parityCharacter(u"Odd"), 'O');
    EXPECT_EQ(parityCharacter(u"Even"), 'E');
    EXPECT_EQ(parityCharacter(u""), '\0');
    EXPECT_EQ(parityCharacter(u"Нет"), '\0');
}

struct PortCase {
    const char* name;
    std::u16string_view stored;
    const char* device;
};
void PrintTo(const PortCase& c, std::ostream* os) { *os << c.name; }
class SerialDevice : public ::testing::TestWithParam<PortCase> {};
TEST_P(SerialDevice, MapsStoredName) { EXPECT_EQ(serialDevicePath(GetParam().stored), GetParam().device); }
INSTANTIATE_TEST_SUITE_P(Rows, SerialDevice,
                         ::testing::Values(PortCase{"Com1", u"COM1", "/dev/ttyS0"},
                                           PortCase{"Com10", u"COM10", "/dev/ttyS9"},
                                           PortCase{"Com0IsAPath", u"COM0", "COM0"},
                                           PortCase{"LowerCaseIsAPath", u"com2", "com2"},
                                           PortCase{"ComWithLetters", u"COM1a", "COM1a"},
                                           PortCase{"DevicePath", u"/dev/ttyUSB0", "/dev/ttyUSB0"},
                                           PortCase{"CyrillicPath", u"/tmp/порт", "/tmp/порт"}),
                         [](const auto& i) { return std::string(i.param.name); });

void storeEntry(test::MemoryProfile& p, int i, int address, std::u16string_view device = u"dev") {
    const auto idx = [&](const char16_t* k) {
        std::u16string key(k);
        for (char c : std::to_string(i)) key += static_cast<char16_t>(c);
        return key;
    };
    p.setString(kMapSection, idx(u"regVelmarData_"), u"Устройство");
    p.setString(kMapSection, idx(u"regDeviceName_"), device);
    p.setString(kMapSection, idx(u"regComponent_"), u"");
    p.setInt(kMapSection, idx(u"regAddress_"), address);
    p.setString(kMapSection, idx(u"regType_"), u"Holding Registers (4x)");
    p.setString(kMapSection, idx(u"regDataType_"), u"INT");
    p.setString(kMapSection, idx(u"regFloatOrder_"), u"");
    p.setString(kMapSection, idx(u"regData_"), u"Режим устройства");
}

const MapCaptions& russianCaptions() {
    static const test::CaptionStrings strings;
    static const MapCaptions captions(strings);
    return captions;
}

TEST(RegisterMap, EmptySectionGivesEmptyMap) {
    test::MemoryProfile p;
    EXPECT_TRUE(loadRegisterMap(p, russianCaptions()).empty());
}

TEST(RegisterMap, GapAtIndexTwoEndsTheMapAndSaveDropsTheRest) {
    test::MemoryProfile p;
    storeEntry(p, 0, 10, u"a");
    storeEntry(p, 1, 11, u"b");
    storeEntry(p, 3, 13, u"d");
    const auto map = loadRegisterMap(p, russianCaptions());
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].deviceName, u"a");
    EXPECT_EQ(map[1].address, 11);
    saveRegisterMap(p, map, russianCaptions());
    EXPECT_EQ(p.sections[std::u16string(kMapSection)].count(u"regAddress_3"), 0u);
    EXPECT_EQ(p.sections[std::u16string(kMapSection)].size(), 16u);
}

TEST(RegisterMap, AddressMinusOneEndsTheMap) {
    test::MemoryProfile p;
    storeEntry(p, 0, 10);
    storeEntry(p, 1, -1);
    storeEntry(p, 2, 12);
    EXPECT_EQ(loadRegisterMap(p, russianCaptions()).size(), 1u);
}

TEST(RegisterMap, RoundTripKeepsConfigurationAndResetsCurrentValues) {
    test::MemoryProfile p;
    RegisterInfo e = test::entryOf({u"Пик хроматограммы", u"", u"Метан", 65535, u"Input Registers (3x)",
                                    u"FLOAT", u"Little-endian byte swap", u"Площадь пика"});
    EXPECT_EQ(e.table, Table::InputRegisters);
    EXPECT_EQ(e.byteOrder, ByteOrder::LittleEndianByteSwap);
    EXPECT_EQ(e.dataItem, DataItem::Area);
    e.values.area = 5;
    e.values.mode = 3;
    e.values.sampleTime = 100;
    saveRegisterMap(p, {e}, russianCaptions());
    const std::vector<std::u16string> order{u"del MapSettings",
                                            u"MapSettings/regVelmarData_0",
                                            u"MapSettings/regDeviceName_0",
                                            u"MapSettings/regComponent_0",
                                            u"MapSettings/regAddress_0",
                                            u"MapSettings/regType_0",
                                            u"MapSettings/regDataType_0",
                                            u"MapSettings/regFloatOrder_0",
                                            u"MapSettings/regData_0"};
    EXPECT_EQ(p.writes, order);
    const auto map = loadRegisterMap(p, russianCaptions());
    ASSERT_EQ(map.size(), 1u);
    EXPECT_TRUE(map[0].sameConfiguration(e));
    const CurrentValues fresh;
    const CurrentValues& r = map[0].values;
    EXPECT_EQ(r.area, fresh.area);
    EXPECT_EQ(r.mode, fresh.mode);
    EXPECT_EQ(r.sampleTime, -1);
    EXPECT_EQ(r.sampleNumber, 65535);
    EXPECT_EQ(r.seriesNumber, -1);
}

TEST(RegisterMap, SaveAfterDeletingLastOfFiveLeavesNoIndexFour) {
    test::MemoryProfile p;
    for (int i = 0; i < 5; ++i) storeEntry(p, i, 10 + i);
    auto map = loadRegisterMap(p, russianCaptions());
    ASSERT_EQ(map.size(), 5u);
    map.pop_back();
    saveRegisterMap(p, map, russianCaptions());
    for (const auto& [key, value] : p.sections[std::u16string(kMapSection)])
        EXPECT_EQ(key.find(u"_4"), std::u16string::npos);
    EXPECT_EQ(loadRegisterMap(p, russianCaptions()).size(), 4u);
}

// Profiles already in plants hold every source and data item, empty byte orders for non-FLOAT
// entries, hand-edited texts no resources know and fields left empty: read and written back, the
// section must stay the same text for text, or a save would change what those plants rely on.
TEST(RegisterMap, AStoredMapRoundTripsTextForText) {
    const std::vector<EntryTexts> stored{
        {u"Устройство", u"Хроматограф-1", u"", 0, u"Holding Registers (4x)", u"INT", u"",
         u"Режим устройства"},
        {u"Устройство", u"Хроматограф-1", u"", 1, u"Input Registers (3x)", u"INT", u"",
         u"Код последней ошибки"},
        {u"Хроматограмма", u"", u"", 10, u"Holding Registers (4x)", u"INT", u"", u"Время отбора пробы"},
        {u"Хроматограмма", u"", u"", 15, u"Input Registers (3x)", u"INT", u"", u"Номер пробы"},
        {u"Хроматограмма", u"", u"", 16, u"Holding Registers (4x)", u"INT", u"", u"Номер в серии"},
        {u"Пик хроматограммы", u"", u"Метан", 20, u"Holding Registers (4x)", u"FLOAT", u"Big-endian",
         u"Концентрация пика"},
        {u"Пик хроматограммы", u"", u"Этан", 22, u"Input Registers (3x)", u"FLOAT", u"Little-endian",
         u"Площадь пика"},
        {u"Пик хроматограммы", u"", u"Этан", 24, u"Holding Registers (4x)", u"FLOAT", u"Big-endian byte swap",
         u"Время выхода пика"},
        {u"Пик хроматограммы", u"", u"Пропан", 26, u"Holding Registers (4x)", u"FLOAT",
         u"Little-endian byte swap", u"Площадь пика"},
        {u"Пик хроматограммы", u"", u"Метан", 3, u"Coil Status (0x)", u"BOOL", u"", u"Концентрация пика"},
        {u"Пик хроматограммы", u"", u"Метан", 4, u"Input Status (1x)", u"BOOL", u"", u"Площадь пика"},
        {u"Пик хроматограммы", u"", u"Метан", 30, u"Holding Registers (4x)", u"INT", u"", u"Площадь пика"},
        {u"Sensor", u"x", u"y", 40, u"Holding Registers (8x)", u"DOUBLE", u"Middle-endian", u"Temperature"},
        {u"", u"", u"", 41, u"", u"", u"", u""},
    };
    test::MemoryProfile p;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const EntryTexts& t = stored[i];
        auto key = [i](std::u16string_view name) { return indexedKey(name, i); };
        p.setString(kMapSection, key(u"regVelmarData_"), t.source);
        p.setString(kMapSection, key(u"regDeviceName_"), t.deviceName);
        p.setString(kMapSection, key(u"regComponent_"), t.component);
        p.setInt(kMapSection, key(u"regAddress_"), t.address);
        p.setString(kMapSection, key(u"regType_"), t.registerType);
        p.setString(kMapSection, key(u"regDataType_"), t.dataType);
        p.setString(kMapSection, key(u"regFloatOrder_"), t.byteOrder);
        p.setString(kMapSection, key(u"regData_"), t.dataItem);
    }
    const auto before = p.sections;
    const RegisterMap map = loadRegisterMap(p, russianCaptions());
    ASSERT_EQ(map.size(), stored.size());
    EXPECT_EQ(map[12].unknown.registerType, u"Holding Registers (8x)");
    EXPECT_EQ(map[12].span(), 0);
    saveRegisterMap(p, map, russianCaptions());
    EXPECT_EQ(p.sections, before);
}

// A map saved under the Russian resources is the same map under the English ones, which write it
// back in English; and the other way round.
TEST(RegisterMap, EitherLanguagesCaptionsReadTheSameAndTheLanguageInUseWrites) {
    const test::CaptionStrings russian;
    const test::CaptionStrings english = test::englishCaptionStrings();
    const MapCaptions inRussian(russian, {&english}), inEnglish(english, {&russian});
    const std::vector<std::pair<EntryTexts, EntryTexts>> pairs{
        {{u"Устройство", u"GC", u"", 0, u"Holding Registers (4x)", u"INT", u"", u"Код последней ошибки"},
         {u"Device", u"GC", u"", 0, u"Holding Registers (4x)", u"INT", u"", u"Last error code"}},
        {{u"Хроматограмма", u"", u"", 5, u"Input Registers (3x)", u"INT", u"", u"Время отбора пробы"},
         {u"Chromatogram", u"", u"", 5, u"Input Registers (3x)", u"INT", u"", u"Sampling time"}},
        {{u"Пик хроматограммы", u"", u"Метан", 20, u"Holding Registers (4x)", u"FLOAT", u"Big-endian",
          u"Время выхода пика"},
         {u"Chromatogram peak", u"", u"Метан", 20, u"Holding Registers (4x)", u"FLOAT", u"Big-endian",
          u"Peak retention time"}},
    };
    for (const auto& [ru, en] : pairs) {
        for (const MapCaptions* captions : {&inRussian, &inEnglish}) {
            const RegisterInfo a = captions->parse(ru), b = captions->parse(en);
            EXPECT_TRUE(a.sameConfiguration(b)) << toUtf8(ru.dataItem);
            EXPECT_GT(a.span(), 0);
            EXPECT_TRUE(a.unknown == UnknownTexts{});
        }
        const EntryTexts asRussian = inRussian.texts(inEnglish.parse(en));
        const EntryTexts asEnglish = inEnglish.texts(inRussian.parse(ru));
        EXPECT_EQ(asRussian.source, ru.source);
        EXPECT_EQ(asRussian.dataItem, ru.dataItem);
        EXPECT_EQ(asEnglish.source, en.source);
        EXPECT_EQ(asEnglish.dataItem, en.dataItem);
    }
    // Without the other language, its captions are texts like any unknown one.
    EXPECT_EQ(MapCaptions(english).parse(pairs[0].first).dataItem, DataItem::None);
}

}  // namespace
}  // namespace tesmor
