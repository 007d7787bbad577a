// The plug-in as a host meets it: loaded from its file, driven through host_api.h.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "HostCore.h"
#include "support/PluginLibrary.h"

using tesmor::host::HostCall;
using tesmor::host::HostCore;
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
    EXPECT_EQ(take(), (std::vector<std::string>{"subscribe System/ModulesLoaded", "subscribe System/DocumentUpdate"}));
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
        "hasService System/GetLanguage",    "callService System/GetLanguage",
        "registerCommand tesmor/MenuCommand", "callService MainMenu/CreateNewMenu",
        "hasService DB/GetConnectionUri",   "callService DB/GetConnectionUri",
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
        LanguageCase{"HighBitsIgnored", 0x50000 | 1033, true, false,
                     u"Data/Calculations/Velmar: Modbus"}),
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
    EXPECT_EQ(take(), (std::vector<std::string>{"unsubscribe System/ModulesLoaded", "unsubscribe System/DocumentUpdate"}));
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

TEST_F(Lifecycle, HandlersReturnZero) {
    auto plugin = loadPlugin();
    plugin->load(core().api());
    EXPECT_EQ(core().raise("System/ModulesLoaded", 0), 1);
    EXPECT_EQ(core().raise("System/DocumentUpdate", 42), 1);
    EXPECT_TRUE(core().runCommand("tesmor/MenuCommand", 0));
    plugin->unload();
}

}  // namespace
