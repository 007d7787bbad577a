#pragma once
// Value texts of the chromatogram file's XML part (internal to results/).
#include <pugixml.hpp>

#include <string>

namespace tesmor::results {

// A UTF-16 text of an attribute; missing gives the empty text.
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
