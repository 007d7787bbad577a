// The plug-in as a host meets it: loaded from its file, driven through host_api.h.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HostCore.h"
#include "JsonProfile.h"
#include "LabDatabase.h"
#include "Plugin.h"
#include "modbus/ModbusTestSupport.h"
#include "support/PluginLibrary.h"

using tesmor::host::HostCall;
using tesmor::host::HostCore;
using tesmor::host::JsonProfile;
using tesmor::host::LabDatabase;
namespace test = tesmor::test;
using tesmor::test::PluginLibrary;

namespace {

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        core().reset();
        // The plug-in's own threads (the device monitor) call the host too.
        core().setCallObserver([this](const HostCall& call) {
            std::lock_guard lock(callsMutex);
            calls.push_back(call.function + " " + call.name);
        });
    }
    void TearDown() override { core().reset(); }

    static HostCore& core() { return HostCore::instance(); }

    std::unique_ptr<PluginLibrary> loadPlugin(const std::vector<std::filesystem::path>& companions = {}) {
        return std::make_unique<PluginLibrary>(TESMOR_PLUGIN_PATH, dir.path(), companions);
    }

    // The calls of the host's event thread recorded since the last take.
    std::vector<std::string> take() {
        std::lock_guard lock(callsMutex);
        std::vector<std::string> taken;
        for (auto& call : std::exchange(calls, {}))
            if (call.find(" Device/") == std::string::npos) taken.push_back(std::move(call));
        return taken;
    }

    TempDir dir;
    std::mutex callsMutex;
    std::vector<std::string> calls;
};

TEST_F(Lifecycle, InfoRecordIsStaticAndComplete) {
    auto plugin = loadPlugin();
    const PluginInfo* info = plugin->getPluginInfo();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info, plugin->getPluginInfo());
    EXPECT_EQ(info->size, sizeof(PluginInfo));
    EXPECT_EQ(std::u16string(info->name), u"Велмар: Modbus");
    EXPECT_EQ(info->version, 0x01010001u);
    EXPECT_EQ(std::u16string(info->description), u"Плагин для подключения к Modbus Master устройствам.");
    for (const char16_t* text : {info->company, info->contact, info->legal, info->web}) {
        ASSERT_NE(text, nullptr);
        EXPECT_NE(text[0], u'\0');
    }
    EXPECT_TRUE(take().empty()) << "GetPluginInfo must not call the host";
}

TEST_F(Lifecycle, LoadOnlySubscribesToTheTwoEvents) {
    auto plugin = loadPlugin();
    EXPECT_EQ(plugin->load(core().api()), 0);
    EXPECT_EQ(take(), (std::vector<std::string>{"subscribe System/ModulesLoaded",
                                                "subscribe System/DocumentUpdate"}));
    plugin->unload();
}

TEST_F(Lifecycle, ModulesLoadedCallsTheHostInOrder) {
    auto plugin = loadPlugin();
    core().setDatabaseUri(u"/data/lab.db");
    plugin->load(core().api());
    take();
    core().raise("System/ModulesLoaded", 0);
    const auto seen = take();
    const std::vector<std::string> start{
        "hasService System/GetLanguage",      "callService System/GetLanguage",
        "registerCommand tesmor/MenuCommand", "callService MainMenu/CreateNewMenu",
        "hasService DB/GetConnectionUri",     "callService DB/GetConnectionUri",
    };
    ASSERT_GE(seen.size(), start.size());
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + start.size()), start);
    EXPECT_EQ(core().commandCount(), 1u);
    plugin->unload();
}

TEST_F(Lifecycle, MissingOptionalServicesAreSkipped) {
    auto plugin = loadPlugin();
    core().withdrawService("System/GetLanguage");
    core().withdrawService("DB/GetConnectionUri");
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    for (const auto& call : take()) {
        EXPECT_NE(call, "callService System/GetLanguage");
        EXPECT_NE(call, "callService DB/GetConnectionUri");
    }
    EXPECT_EQ(core().menuPaths(), std::vector<std::u16string>{u"Данные/Расчёты/Велмар: Modbus"});
    plugin->unload();
}

struct LanguageCase {
    const char* name;
    std::optional<intptr_t> language;  // nullopt: the host offers no language service
    bool withEnglishLibrary;
    bool withLibraryNamedRus;  // a library that must never be looked for
    std::u16string menu;
    friend void PrintTo(const LanguageCase& c, std::ostream* os) { *os << c.name; }
};

class Language : public Lifecycle, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(Language, ChoosesTheMenuText) {
    const auto& c = GetParam();
    std::vector<std::filesystem::path> companions;
    if (c.withEnglishLibrary) companions.push_back(TESMOR_ENGLISH_PATH);
    if (c.withLibraryNamedRus) {
        std::filesystem::copy_file(TESMOR_ENGLISH_PATH, dir.path() / "tesmorRUS.so");
    }
    auto plugin = loadPlugin(companions);
    if (c.language) {
        core().setLanguage(*c.language);
    } else {
        core().withdrawService("System/GetLanguage");
    }
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    EXPECT_EQ(core().menuPaths(), std::vector<std::u16string>{c.menu});
    plugin->unload();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Language,
    ::testing::Values(
        LanguageCase{"Russian", 1049, true, true, u"Данные/Расчёты/Велмар: Modbus"},
        LanguageCase{"NoLanguageService", std::nullopt, true, true, u"Данные/Расчёты/Велмар: Modbus"},
        LanguageCase{"EnglishWithLibrary", 1033, true, false, u"Data/Calculations/Velmar: Modbus"},
        LanguageCase{"EnglishLibraryMissing", 1033, false, false, u"Данные/Расчёты/Велмар: Modbus"},
        LanguageCase{"LanguageWithoutAbbreviation", 0x7FFF, true, false, u"Данные/Расчёты/Велмар: Modbus"},
        LanguageCase{"GermanLibraryMissing", 1031, true, false, u"Данные/Расчёты/Велмар: Modbus"},
        // Only the low 16 bits carry the language.
        LanguageCase{"HighBitsIgnored", 0x50000 | 1033, true, false, u"Data/Calculations/Velmar: Modbus"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Lifecycle, ALibraryWithoutResourceTableLeavesTheBuiltInTexts) {
    // Any shared object under the expected name: the plug-in itself has no resource table.
    std::filesystem::copy_file(TESMOR_PLUGIN_PATH, dir.path() / "tesmorENU.so");
    auto plugin = loadPlugin();
    core().setLanguage(1033);
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    EXPECT_EQ(core().menuPaths(), std::vector<std::u16string>{u"Данные/Расчёты/Велмар: Modbus"});
    plugin->unload();
}

TEST_F(Lifecycle, UnloadWithoutModulesLoadedReturnsZero) {
    auto plugin = loadPlugin();
    plugin->load(core().api());
    take();
    EXPECT_EQ(plugin->unload(), 0);
    EXPECT_EQ(take(), (std::vector<std::string>{"unsubscribe System/ModulesLoaded",
                                                "unsubscribe System/DocumentUpdate"}));
    EXPECT_EQ(core().subscriptionCount(), 0u);
}

TEST_F(Lifecycle, UnloadWithoutLoadReturnsZero) {
    auto plugin = loadPlugin();
    EXPECT_EQ(plugin->unload(), 0);
    EXPECT_TRUE(take().empty());
}

TEST_F(Lifecycle, UnloadReleasesEverythingTheHostGave) {
    auto plugin = loadPlugin();
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    EXPECT_EQ(plugin->unload(), 0);
    EXPECT_EQ(core().subscriptionCount(), 0u);
    EXPECT_EQ(core().commandCount(), 0u);
}

// The core's table, but keeping the handlers the plug-in hands over so a test can call them and
// see what they return (the core's raise() only counts them).
struct HandlerSpy {
    static inline std::map<std::string, HostHandler> handlers;
    static uint32_t subscribe(const char* event, HostHandler handler) {
        handlers[event] = handler;
        return HostCore::instance().api()->subscribe(event, handler);
    }
    static uint32_t registerCommand(const char* name, HostHandler handler) {
        handlers[name] = handler;
        return HostCore::instance().api()->registerCommand(name, handler);
    }
    static HostApi table() {
        HostApi api = *HostCore::instance().api();
        api.subscribe = &subscribe;
        api.registerCommand = &registerCommand;
        return api;
    }
};

TEST_F(Lifecycle, HandlersReturnZero) {
    HandlerSpy::handlers.clear();
    static const HostApi api = HandlerSpy::table();  // the plug-in keeps the pointer
    auto plugin = loadPlugin();
    ASSERT_EQ(plugin->load(&api), 0);
    const auto handler = [](const char* name) {
        const auto it = HandlerSpy::handlers.find(name);
        return it == HandlerSpy::handlers.end() ? nullptr : it->second;
    };
    ASSERT_NE(handler(tesmor::kModulesLoadedEvent), nullptr);
    ASSERT_NE(handler(tesmor::kDocumentUpdateEvent), nullptr);
    EXPECT_EQ(handler(tesmor::kModulesLoadedEvent)(0), 0);
    ASSERT_NE(handler(tesmor::kMenuCommand), nullptr);
    // The first update restarts the server (no transport yet); the second is processed, and fails:
    // the host names no database.
    JsonProfile profile;
    profile.setInt("plugins\\tesmor\\Settings/isTCP", 1);
    profile.setInt("plugins\\tesmor\\Settings/localPort", test::freeTcpPort());
    core().setProfile(std::move(profile));
    for (intptr_t assay : {42, 43, -1}) EXPECT_EQ(handler(tesmor::kDocumentUpdateEvent)(assay), 0) << assay;
    EXPECT_EQ(handler(tesmor::kMenuCommand)(0), 0);
    EXPECT_EQ(plugin->unload(), 0);
}

std::optional<std::uint16_t> readHoldingRegister(int port, int address) {
    std::unique_ptr<modbus_t, decltype(&modbus_free)> master(modbus_new_tcp("127.0.0.1", port), &modbus_free);
    if (!master) return std::nullopt;
    modbus_set_slave(master.get(), 1);
    modbus_set_response_timeout(master.get(), 1, 0);
    if (modbus_connect(master.get()) != 0) return std::nullopt;
    std::uint16_t value = 0;
    const int read = modbus_read_registers(master.get(), address, 1, &value);
    modbus_close(master.get());
    return read == 1 ? std::optional<std::uint16_t>(value) : std::nullopt;
}

// The host unloads the plug-in and loads the same file again: the library stays mapped, yet the
// second plug-in must start as the first did, with nothing of the first one left.
TEST_F(Lifecycle, UnloadThenLoadOfTheSameFileStartsAFreshPlugin) {
    // First life: English texts, Modbus TCP, the mode of GC-1 in holding register 0.
    const int firstPort = test::freeTcpPort();
    JsonProfile first;
    const std::string settings = "plugins\\tesmor\\Settings/", map = "plugins\\tesmor\\MapSettings/";
    first.setInt(settings + "isTCP", 1);
    first.setInt(settings + "localPort", firstPort);
    first.setString(map + "regVelmarData_0", "Device");
    first.setString(map + "regDeviceName_0", "GC-1");
    first.setInt(map + "regAddress_0", 0);
    first.setString(map + "regType_0", "Holding Registers (4x)");
    first.setString(map + "regDataType_0", "INT");
    first.setString(map + "regData_0", "Device mode");
    core().setProfile(std::move(first));
    core().setLanguage(1033);
    core().setDevices({{u"GC-1", 0, 7}});
    auto plugin = loadPlugin({TESMOR_ENGLISH_PATH});
    const std::filesystem::path file = plugin->path();
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    ASSERT_EQ(core().menuPaths(), std::vector<std::u16string>{u"Data/Calculations/Velmar: Modbus"});
    ASSERT_TRUE(
        test::waitFor([&] { return readHoldingRegister(firstPort, 0) == 7; }, std::chrono::seconds(5)));
    ASSERT_EQ(plugin->unload(), 0);
    plugin.reset();

    // Second life from the same file: Russian host, nothing mapped, no transport enabled.
    core().reset();
    std::vector<std::string> settingsReads;
    core().setCallObserver([&](const HostCall& call) {
        std::lock_guard lock(callsMutex);
        if (call.name == "Profile/GetInt" && call.detail.find("Settings/isTCP") != std::string::npos)
            settingsReads.push_back(call.detail);
    });
    plugin = std::make_unique<PluginLibrary>(file);
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    EXPECT_EQ(core().menuPaths(), std::vector<std::u16string>{u"Данные/Расчёты/Велмар: Modbus"})
        << "the language is chosen anew";
    const auto reads = [&] {
        std::lock_guard lock(callsMutex);
        return settingsReads.size();
    };
    ASSERT_EQ(reads(), 1u) << "ModulesLoaded restarts the server";
    // No transport has started in this life: an update restarts instead of processing.
    core().raise("System/DocumentUpdate", 42);
    EXPECT_EQ(reads(), 2u) << "start is pending again";
    ASSERT_EQ(plugin->unload(), 0);
    plugin.reset();

    // Third life, serving at once: the register store starts at zero again.
    core().reset();
    const int thirdPort = test::freeTcpPort();
    JsonProfile third;
    third.setInt(settings + "isTCP", 1);
    third.setInt(settings + "localPort", thirdPort);
    core().setProfile(std::move(third));
    plugin = std::make_unique<PluginLibrary>(file);
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    std::optional<std::uint16_t> value;
    EXPECT_TRUE(test::waitFor([&] { return (value = readHoldingRegister(thirdPort, 0)).has_value(); },
                              std::chrono::seconds(5)));
    EXPECT_EQ(value, std::optional<std::uint16_t>(0));
    EXPECT_EQ(plugin->unload(), 0);
    EXPECT_EQ(core().subscriptionCount(), 0u);
    EXPECT_EQ(core().commandCount(), 0u);
}

// The host loads the plug-in again, after an Unload or without one: the second plug-in finds
// neither the database location nor the profile folder of the first, and the first has given
// back its port and everything it registered.
struct ReloadCase {
    const char* name;
    bool unloadFirst;
    friend void PrintTo(const ReloadCase& c, std::ostream* os) { *os << c.name; }
};

class Reload : public Lifecycle, public ::testing::WithParamInterface<ReloadCase> {};

TEST_P(Reload, TheSecondPluginKeepsNothingOfTheFirst) {
    LabDatabase lab(dir.file("lab.db").string());
    tesmor::host::LabAssay row;
    row.uuid = "1";
    const auto assay = static_cast<intptr_t>(lab.addAssay(row, {{"Метан", 1, 1.0, 5}}));
    const int port = test::freeTcpPort();
    JsonProfile profile;
    const std::string settings = "plugins\\tesmor\\Settings/", map = "plugins\\tesmor\\MapSettings/";
    profile.setInt(settings + "isTCP", 1);
    profile.setInt(settings + "localPort", port);
    profile.setString(map + "regVelmarData_0", "Пик хроматограммы");
    profile.setString(map + "regComponent_0", "Метан");
    profile.setInt(map + "regAddress_0", 0);
    profile.setString(map + "regType_0", "Holding Registers (4x)");
    profile.setString(map + "regDataType_0", "INT");
    profile.setString(map + "regData_0", "Площадь пика");
    core().setProfile(std::move(profile));
    core().setDatabaseUri(dir.file16("lab.db"));
    const auto served = [port](std::uint16_t value) {
        return test::waitFor([&] { return readHoldingRegister(port, 0) == value; }, std::chrono::seconds(5));
    };

    auto plugin = loadPlugin();
    plugin->load(core().api());
    core().raise("System/ModulesLoaded", 0);
    core().raise("System/DocumentUpdate", assay);
    ASSERT_TRUE(served(5)) << "the first plug-in publishes the assay";
    if (GetParam().unloadFirst) {
        ASSERT_EQ(plugin->unload(), 0);
    }

    // The second one: the host names no database now.
    core().withdrawService("DB/GetConnectionUri");
    std::vector<std::string> settingsReads;
    core().setCallObserver([&](const HostCall& call) {
        std::lock_guard lock(callsMutex);
        if (call.name == "Profile/GetInt" && call.detail.find("Settings/isTCP") != std::string::npos)
            settingsReads.push_back(call.detail);
    });
    plugin->load(core().api());
    EXPECT_EQ(core().subscriptionCount(), 2u);
    EXPECT_EQ(core().commandCount(), 0u);
    // An update before ModulesLoaded starts the server with the settings outside any folder.
    core().raise("System/DocumentUpdate", assay);
    {
        std::lock_guard lock(callsMutex);
        EXPECT_EQ(settingsReads, std::vector<std::string>{"\"Settings/isTCP\" -> not found"});
    }
    core().raise("System/ModulesLoaded", 0);
    ASSERT_TRUE(served(0)) << "the port is free again, the registers start at zero";
    core().raise("System/DocumentUpdate", assay);
    EXPECT_TRUE(served(0)) << "no database, nothing published";
    EXPECT_EQ(plugin->unload(), 0);
    EXPECT_EQ(core().subscriptionCount(), 0u);
    EXPECT_EQ(core().commandCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, Reload,
                         ::testing::Values(ReloadCase{"AfterUnload", true},
                                           ReloadCase{"WithoutUnload", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
