#include "Resources.h"

#include "Text.h"

namespace tesmor {

namespace {
std::u16string_view view(const char16_t* text) { return {text ? text : u"", textLength(text)}; }
}  // namespace

std::u16string Resources::loadString(unsigned id) const {
    if (!table_) return {};
    for (uint32_t i = 0; i < table_->stringCount; ++i)
        if (table_->strings[i].id == id) return std::u16string(view(table_->strings[i].text));
    return {};
}

std::u16string Resources::dialogText(unsigned dialog, unsigned control) const {
    if (!table_) return {};
    for (uint32_t i = 0; i < table_->dialogTextCount; ++i) {
        const auto& d = table_->dialogTexts[i];
        if (d.dialog == dialog && d.control == control) return std::u16string(view(d.text));
    }
    return {};
}

std::vector<TesmorTranslation> Resources::translations() const {
    if (!table_) return {};
    return {table_->translations, table_->translations + table_->translationCount};
}

std::u16string Resources::versionValue(std::u16string_view block, std::u16string_view name) const {
    if (!table_) return {};
    for (uint32_t i = 0; i < table_->versionValueCount; ++i) {
        const auto& v = table_->versionValues[i];
        if (view(v.block) == block && view(v.name) == name) return std::u16string(view(v.value));
    }
    return {};
}

}  // namespace tesmor
