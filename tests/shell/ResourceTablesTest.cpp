// The Russian resources built into the plug-in and those of the English library hold the same
// entries: a string or control text missing from one of them reads as empty in that language.
// Both also hold a text for every string the id header names, and file dialog texts only under
// controls the header names for that dialog.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "BuiltInResources.h"
#include "platform/ResourceTable.h"
#include "platform/SharedLibrary.h"

namespace {

struct Entries {
    std::set<std::uint32_t> strings;
    std::set<std::pair<std::uint32_t, std::uint32_t>> dialogTexts;  // dialog, control (0: caption)
    std::set<std::u16string> versionNames;
};

// Also fails on an id listed twice, whose second text could never be read.
Entries entriesOf(const TesmorResourceTable& table, const char* which) {
    Entries e;
    for (std::uint32_t i = 0; i < table.stringCount; ++i)
        EXPECT_TRUE(e.strings.insert(table.strings[i].id).second)
            << which << ": string " << table.strings[i].id << " twice";
    for (std::uint32_t i = 0; i < table.dialogTextCount; ++i) {
        const auto& t = table.dialogTexts[i];
        EXPECT_TRUE(e.dialogTexts.insert({t.dialog, t.control}).second)
            << which << ": dialog " << t.dialog << " control " << t.control << " twice";
    }
    for (std::uint32_t i = 0; i < table.versionValueCount; ++i)
        e.versionNames.insert(table.versionValues[i].name);
    return e;
}

// The version block of a translation: language and code page as eight hexadecimal digits.
std::u16string blockOf(const TesmorTranslation& t) {
    char text[9];
    std::snprintf(text, sizeof text, "%04x%04x", t.language, t.codePage);
    return std::u16string(text, text + 8);
}

void expectVersionBlocksMatchTranslation(const TesmorResourceTable& table, const char* which) {
    ASSERT_EQ(table.translationCount, 1u) << which;
    const std::u16string block = blockOf(table.translations[0]);
    for (std::uint32_t i = 0; i < table.versionValueCount; ++i)
        EXPECT_EQ(table.versionValues[i].block, block) << which << ": version value " << i;
}

class ResourceTables : public ::testing::Test {
protected:
    void SetUp() override {
        library_ = tesmor::SharedLibrary(TESMOR_ENGLISH_PATH);
        ASSERT_TRUE(library_) << library_.error();
        english_ = tesmor::resourceTableOf(library_);
        ASSERT_NE(english_, nullptr);
    }

    tesmor::SharedLibrary library_;
    const TesmorResourceTable* english_ = nullptr;
    const TesmorResourceTable* russian_ = tesmor::builtInResourceTable();
};

TEST_F(ResourceTables, RussianAndEnglishHoldTheSameIds) {
    const TesmorResourceTable& englishTable = *english_;
    const TesmorResourceTable& russianTable = *russian_;

    const Entries russian = entriesOf(russianTable, "Russian");
    const Entries english = entriesOf(englishTable, "English");
    EXPECT_EQ(russian.strings, english.strings);
    EXPECT_EQ(russian.dialogTexts, english.dialogTexts);
    EXPECT_EQ(russian.versionNames, english.versionNames);
    expectVersionBlocksMatchTranslation(russianTable, "Russian");
    expectVersionBlocksMatchTranslation(englishTable, "English");
}

// The names of the id header, read from its text: enumerators are written "kName = number".
struct HeaderIds {
    std::map<std::uint32_t, std::string> strings;
    std::set<std::uint32_t> dialogs;
    std::set<std::uint32_t> commonControls;
    // Controls by dialog, from each control namespace whose comment names its dialog "(kName)".
    std::map<std::uint32_t, std::map<std::uint32_t, std::string>> controls;
};

std::map<std::string, std::uint32_t> enumerators(const std::string& body) {
    std::map<std::string, std::uint32_t> found;
    static const std::regex entry(R"((k\w+) = (\d+))");
    for (std::sregex_iterator i(body.begin(), body.end(), entry), end; i != end; ++i)
        found[(*i)[1]] = static_cast<std::uint32_t>(std::stoul((*i)[2]));
    return found;
}

std::string enumBody(const std::string& text, const std::string& name) {
    const std::size_t begin = text.find("enum " + name + " : unsigned {");
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find("};", begin) - begin);
}

HeaderIds readHeader() {
    std::ifstream file(TESMOR_RESOURCE_IDS_PATH);
    std::stringstream buffer;
    buffer << file.rdbuf();
    const std::string text = buffer.str();
    HeaderIds ids;
    const auto dialogNames = enumerators(enumBody(text, "Dialog"));
    for (const auto& [name, id] : dialogNames) ids.dialogs.insert(id);
    for (const auto& [name, id] : enumerators(enumBody(text, "Common"))) ids.commonControls.insert(id);
    for (const auto& [name, id] : enumerators(enumBody(text, "String")))
        EXPECT_TRUE(ids.strings.emplace(id, name).second) << "string " << id << " named twice";
    static const std::regex space(
        R"(// [^\n]*\((k\w+)\)[^\n]*\n(?://[^\n]*\n)*namespace (\w+) \{\nenum Control : unsigned \{([^}]*)\};)");
    for (std::sregex_iterator i(text.begin(), text.end(), space), end; i != end; ++i) {
        const auto dialog = dialogNames.find((*i)[1]);
        if (dialog == dialogNames.end()) continue;
        auto& controls = ids.controls[dialog->second];
        for (const auto& [name, id] : enumerators((*i)[3]))
            EXPECT_TRUE(controls.emplace(id, name).second)
                << (*i)[2] << "::" << name << ": control " << id << " named twice";
    }
    return ids;
}

TEST_F(ResourceTables, EveryNamedStringHasATextAndEveryTextANamedId) {
    const HeaderIds ids = readHeader();
    ASSERT_FALSE(ids.strings.empty()) << "no strings read from " << TESMOR_RESOURCE_IDS_PATH;
    ASSERT_FALSE(ids.dialogs.empty());
    ASSERT_EQ(ids.controls.size(), ids.dialogs.size()) << "a dialog without its control namespace";
    for (const auto& [table, which] : {std::pair{russian_, "Russian"}, std::pair{english_, "English"}}) {
        std::set<std::uint32_t> withText;
        for (std::uint32_t i = 0; i < table->stringCount; ++i) {
            const TesmorString& s = table->strings[i];
            EXPECT_TRUE(ids.strings.count(s.id)) << which << ": string " << s.id << " has no name";
            if (s.text && s.text[0]) withText.insert(s.id);
        }
        for (const auto& [id, name] : ids.strings)
            EXPECT_TRUE(withText.count(id)) << which << ": no text for " << name << " (" << id << ")";
        for (std::uint32_t i = 0; i < table->dialogTextCount; ++i) {
            const TesmorDialogText& t = table->dialogTexts[i];
            const auto dialog = ids.controls.find(t.dialog);
            ASSERT_NE(dialog, ids.controls.end()) << which << ": dialog " << t.dialog << " has no name";
            EXPECT_TRUE(ids.commonControls.count(t.control) || dialog->second.count(t.control))
                << which << ": dialog " << t.dialog << " has no control " << t.control;
        }
    }
}

}  // namespace
