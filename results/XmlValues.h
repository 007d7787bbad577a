#pragma once
// Value texts of the chromatogram file's XML part (internal to results/).
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace tesmor::results {

// The XML part as it is read where the files are written: there pugixml turns the whole part
// into 16-bit wide text before parsing, so bytes that are no UTF-8 vanish from names, texts and
// numbers alike ("1\xE2" "5" reads as 15). Gives the bytes of that wide text (tesmor::
// toUtf16DroppingInvalid, written back with toUtf8KeepingSurrogates) to parse instead, or
// nothing when the part is well-formed UTF-8 and reads the same either way.
std::optional<std::string> withInvalidUtf8Dropped(std::string_view xml);

// A UTF-16 text of an attribute, decoded as the wide text above; missing gives the empty text.
std::u16string textOf(pugi::xml_attribute attribute);
// The attribute "value" of the child named name of node (null when either is missing).
inline pugi::xml_attribute valueOf(pugi::xml_node node, const char* name) {
    return node.child(name).attribute("value");
}
// Appends <name value="..."/> to parent.
pugi::xml_attribute appendValue(pugi::xml_node parent, const char* name);
void setText(pugi::xml_attribute attribute, const std::u16string& text);

// Makes the C library's number conversions of this thread use "C" ("." as decimal separator)
// while it lives, whatever the process locale is; the previous thread locale comes back on
// destruction. pugixml's as_double and set_value(double) go through strtod and snprintf.
// Never touches the process locale.
class CNumberLocale {
public:
    CNumberLocale() noexcept;
    ~CNumberLocale();
    CNumberLocale(const CNumberLocale&) = delete;
    CNumberLocale& operator=(const CNumberLocale&) = delete;

private:
    locale_t previous_ = nullptr;
};

}  // namespace tesmor::results
