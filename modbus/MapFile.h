#pragma once
// The register map as a file people edit in a spreadsheet, and the tag list for the SCADA side.
// Both are CSV: UTF-8 with a byte-order mark, RFC 4180 quoting, CRLF line ends. Works on bytes
// only; the caller reads and writes the files. No state: any thread may call.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "modbus/RegisterMap.h"
#include "platform/Resources.h"

namespace tesmor {

inline constexpr std::string_view kMapFileHeader =
    "source,device,component,address,register_type,data_type,byte_order,data_item";
inline constexpr std::string_view kTagListHeader =
    "tag,reference,address,table,registers,data_type,byte_order,description";

// The languages a map file may use: `current` gives the captions written and stored (and the
// texts of the messages); an import also accepts the captions of `others`.
// The sources must outlive the object.
struct MapLanguages {
    const StringSource* current = nullptr;
    std::vector<const StringSource*> others;
};

// Why an entry cannot go into the map, checked as the register editor checks it (source, device
// or component, address, register type, data type, data item and their couplings), with the
// captions of `strings`. Empty when the entry is accepted; otherwise the first reason, in the
// language of `strings`. The device need not be in the device list: a map file moves between
// machines.
std::u16string validateEntry(const EntryTexts& entry, const StringSource& strings);

// The map file of `map`: the header row and one line per entry, with the captions of the current
// language; texts the plug-in does not know as they were stored.
std::string writeMapFile(const RegisterMap& map, const MapLanguages& languages);

struct MapFileError {
    int line;  // from 1; the header is line 1
    std::u16string reason;
    // The header's name of the column at fault (static text); empty when the fault is the line's or the
    // file's (its encoding, quoting, number of fields, header).
    std::string_view column = {};
};

struct MapFileImport {
    RegisterMap entries;               // empty whenever there is an error
    std::vector<MapFileError> errors;  // in line order; empty when the file is accepted
};

// Reads a map file (with or without a byte-order mark; "," or, detected from the header row,
// ";" as separator), checks every line with validateEntry and the overlap rule, and reports all
// errors at once. An overlap is reported on the line of the later entry; with `appendTo` the
// entries must not overlap that map's entries either (named by their row, from 1). Lines whose
// fields are all empty are skipped. Captions of any of the languages are read; entries come with
// the initial current values.
MapFileImport readMapFile(std::string_view bytes, const MapLanguages& languages,
                          const RegisterMap* appendTo = nullptr);

// "FILE:LINE: reason" lines, UTF-8, each ending in "\n".
std::string formatMapFileErrors(std::string_view fileName, const std::vector<MapFileError>& errors);

// The tag list: one line per entry with a unique ASCII tag name, the Modicon reference, the
// 0-based address, the table, the number of registers, the data type, the byte order and a
// description in the current language.
std::string writeTagList(const RegisterMap& map, const MapLanguages& languages);

// The tag name of an entry before it is made unique: the device or component (the source for
// the chromatogram), "_" and the data item, in ASCII letters, digits and "_" (Cyrillic spelt in
// Latin letters); a name that would begin with a digit gets "Tag_" in front.
std::string tagName(const EntryTexts& entry);

// "00001" + address for coils, "10001" + for discrete inputs, "30001" + for input registers,
// "40001" + for holding registers; six digits ("400001" + ...) for an address past 9998, which
// five cannot hold. Empty for Table::None.
std::string modiconReference(Table table, std::int32_t address);

}  // namespace tesmor
