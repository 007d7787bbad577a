#include "results/XmlValues.h"

#include <locale.h>

#include <clocale>

#include "platform/Text.h"

namespace tesmor::results {

std::optional<std::string> withInvalidUtf8Dropped(std::string_view xml) {
    if (isWellFormedUtf8(xml)) return std::nullopt;
    return toUtf8KeepingSurrogates(toUtf16DroppingInvalid(xml));
}

std::u16string textOf(pugi::xml_attribute attribute) { return toUtf16DroppingInvalid(attribute.as_string()); }

pugi::xml_attribute appendValue(pugi::xml_node parent, const char* name) {
    return parent.append_child(name).append_attribute("value");
}

void setText(pugi::xml_attribute attribute, const std::u16string& text) {
    attribute.set_value(toUtf8(text).c_str());
}

namespace {
locale_t cLocale() noexcept {
    // Made once and kept for the life of the process; threads only select it.
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}
}  // namespace

CNumberLocale::CNumberLocale() noexcept {
    if (const locale_t c = cLocale()) previous_ = uselocale(c);
}

CNumberLocale::~CNumberLocale() {
    if (previous_) uselocale(previous_);
}

}  // namespace tesmor::results
