#include "results/Passport.h"

#include <cstring>

#include "platform/Text.h"
#include "results/XmlValues.h"

using tesmor::results::appendValue;
using tesmor::results::setText;
using tesmor::results::textOf;
using tesmor::results::valueOf;

namespace {

PassportColumn readColumn(pugi::xml_node node) {
    PassportColumn c;
    c.channel = valueOf(node, "channel").as_int();
    c.name = textOf(valueOf(node, "name"));
    c.brand = textOf(valueOf(node, "brand"));
    c.type = valueOf(node, "type").as_int();
    c.diameter = valueOf(node, "diameter").as_double();
    c.length = valueOf(node, "length").as_double();
    c.carrier = textOf(valueOf(node, "carrier"));
    c.phase = textOf(valueOf(node, "phase"));
    c.percent = valueOf(node, "percent").as_double();
    c.unit = valueOf(node, "unit").as_int();
    c.fraction0 = valueOf(node, "fraction0").as_double();
    c.fraction1 = valueOf(node, "fraction1").as_double();
    c.film = valueOf(node, "film").as_double();
    c.part = textOf(valueOf(node, "part"));
    c.serial = textOf(valueOf(node, "serial"));
    return c;
}

void writeColumn(pugi::xml_node node, const PassportColumn& c) {
    appendValue(node, "channel").set_value(c.channel);
    setText(appendValue(node, "name"), c.name);
    setText(appendValue(node, "brand"), c.brand);
    appendValue(node, "type").set_value(c.type);
    appendValue(node, "diameter").set_value(c.diameter);
    appendValue(node, "length").set_value(c.length);
    setText(appendValue(node, "carrier"), c.carrier);
    setText(appendValue(node, "phase"), c.phase);
    appendValue(node, "percent").set_value(c.percent);
    appendValue(node, "unit").set_value(c.unit);
    appendValue(node, "fraction0").set_value(c.fraction0);
    appendValue(node, "fraction1").set_value(c.fraction1);
    appendValue(node, "film").set_value(c.film);
    setText(appendValue(node, "part"), c.part);
    setText(appendValue(node, "serial"), c.serial);
}

}  // namespace

void Passport::readPassport(pugi::xml_node element) {
    columns.clear();
    properties.clear();
    for (pugi::xml_node node = element.first_child(); node; node = node.next_sibling()) {
        const char* name = node.name();
        const pugi::xml_attribute value = node.attribute("value");
        auto is = [name](const char* fixed) { return std::strcmp(name, fixed) == 0; };
        if (is("assayid")) {
            assayid = textOf(value);
        } else if (is("series")) {
            series = textOf(value);
        } else if (is("sample")) {
            sample = textOf(value);
        } else if (is("method")) {
            method = textOf(value);
        } else if (is("mixture")) {
            mixture = textOf(value);
        } else if (is("andate")) {
            andate = value.as_llong();
        } else if (is("date")) {
            date = value.as_llong();
        } else if (is("duration")) {
            duration = value.as_double();
        } else if (is("graduation")) {
            graduation = value.as_bool();
        } else if (is("defect")) {
            defect = value.as_bool();
        } else if (is("column")) {
            columns.push_back(readColumn(node));
        } else {
            properties.push_back(
                {tesmor::toUtf16DroppingInvalid(name), textOf(node.attribute("title")), textOf(value)});
        }
    }
}

void Passport::writePassport(pugi::xml_node element) const {
    element.append_attribute("version").set_value(1);
    setText(appendValue(element, "assayid"), assayid);
    setText(appendValue(element, "series"), series);
    appendValue(element, "andate").set_value(static_cast<long long>(andate));
    appendValue(element, "duration").set_value(duration);
    setText(appendValue(element, "sample"), sample);
    setText(appendValue(element, "method"), method);
    appendValue(element, "graduation").set_value(graduation);
    appendValue(element, "date").set_value(static_cast<long long>(date));
    appendValue(element, "defect").set_value(defect);
    setText(appendValue(element, "mixture"), mixture);
    for (const PassportColumn& c : columns) writeColumn(element.append_child("column"), c);
    for (const PassportProperty& p : properties) {
        pugi::xml_node node = element.append_child(tesmor::toUtf8(p.name).c_str());
        setText(node.append_attribute("title"), p.title);
        setText(node.append_attribute("value"), p.value);
    }
}

std::optional<std::u16string> Passport::findProperty(std::u16string_view name) const {
    std::optional<std::u16string> found;
    for (const PassportProperty& p : properties) {
        if (p.name == name) found = p.value;
    }
    return found;
}
