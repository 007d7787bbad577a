#pragma once
// The descriptive header of a chromatogram: the element "passport" of the file's XML part.
#include <cstdint>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

// One chromatographic column of the instrument. Missing values read as 0 or empty.
struct PassportColumn {
    std::int32_t channel = 0;
    std::u16string name;
    std::u16string brand;
    std::int32_t type = 0;
    double diameter = 0;
    double length = 0;
    std::u16string carrier;
    std::u16string phase;
    double percent = 0;
    std::int32_t unit = 0;
    double fraction0 = 0;
    double fraction1 = 0;
    double film = 0;
    std::u16string part;
    std::u16string serial;

    bool operator==(const PassportColumn&) const = default;
};

// Any passport entry that is not a fixed field: the element's name, "title" and "value".
struct PassportProperty {
    std::u16string name;
    std::u16string title;
    std::u16string value;

    bool operator==(const PassportProperty&) const = default;
};

struct Passport {
    std::u16string path;  // of the last successful load or save; never in the XML
    std::u16string assayid = u"00000000-0000-0000-0000-000000000000";
    std::u16string series;
    std::int64_t andate = 0;
    double duration = 0;
    std::u16string sample;
    std::u16string method;
    bool graduation = false;
    std::int64_t date = 0;
    bool defect = false;
    std::u16string mixture;
    std::vector<PassportColumn> columns;
    std::vector<PassportProperty> properties;

    // Empties columns and properties, then takes every child of element in document order: a
    // fixed field from its element's "value" (a missing "value" gives the empty text, 0 or false;
    // the last of repeated elements wins; a field without element keeps its value), "column" as a
    // column, any other node as a property (a node without name, such as text, gives a property
    // with empty name). A null element counts as one without children. Never fails.
    // Numbers are read with pugixml's conversions; the caller decides the number locale
    // (CVelmarFile4 reads under "C").
    void readPassport(pugi::xml_node element);

    // Writes "version" = 1, the fixed fields, the columns and the properties (each with "title"
    // then "value") into element. path is not written. Floating-point values are written with 17
    // significant digits; the caller decides the number locale (CVelmarFile4 writes under "C").
    void writePassport(pugi::xml_node element) const;

    // The value of the last property named exactly name (case-sensitive), or nothing.
    std::optional<std::u16string> findProperty(std::u16string_view name) const;

    bool operator==(const Passport&) const = default;
};
