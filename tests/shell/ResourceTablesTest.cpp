// The Russian resources built into the plug-in and those of the English library hold the same
// entries: a string or control text missing from one of them reads as empty in that language.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "BuiltInResources.h"
#include "platform/ResourceTable.h"

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

struct LibraryCloser {
    void operator()(void* handle) const { dlclose(handle); }
};

TEST(ResourceTables, RussianAndEnglishHoldTheSameIds) {
    const std::unique_ptr<void, LibraryCloser> library(dlopen(TESMOR_ENGLISH_PATH, RTLD_NOW | RTLD_LOCAL));
    ASSERT_TRUE(library) << dlerror();
    const auto tableOf =
        reinterpret_cast<TesmorResourceTableFunction>(dlsym(library.get(), TESMOR_RESOURCE_TABLE_SYMBOL));
    ASSERT_NE(tableOf, nullptr);
    const TesmorResourceTable& englishTable = *tableOf();
    const TesmorResourceTable& russianTable = *tesmor::builtInResourceTable();

    const Entries russian = entriesOf(russianTable, "Russian");
    const Entries english = entriesOf(englishTable, "English");
    EXPECT_EQ(russian.strings, english.strings);
    EXPECT_EQ(russian.dialogTexts, english.dialogTexts);
    EXPECT_EQ(russian.versionNames, english.versionNames);
    expectVersionBlocksMatchTranslation(russianTable, "Russian");
    expectVersionBlocksMatchTranslation(englishTable, "English");
}

}  // namespace
