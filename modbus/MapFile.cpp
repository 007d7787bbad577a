#include "modbus/MapFile.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <set>

#include "platform/ResourceIds.h"
#include "platform/Text.h"

namespace tesmor {

namespace {

std::u16string utf16(std::string_view s) { return toUtf16(s); }

// A message of the string table with "%1" and "%2" replaced.
std::u16string message(const StringSource& strings, unsigned id, std::u16string_view a = {},
                       std::u16string_view b = {}) {
    std::u16string text = strings.loadString(id);
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'%' && i + 1 < text.size() && (text[i + 1] == u'1' || text[i + 1] == u'2')) {
            out += text[i + 1] == u'1' ? a : b;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Why an entry is refused, and the file column that holds the fault.
struct Refusal {
    std::u16string reason;
    std::string_view column;
};

Refusal unknownValue(const StringSource& strings, std::u16string_view value, std::string_view column) {
    return {message(strings, res::kUnknownValue, value, utf16(column)), column};
}

// How the address column read; the editor's message for an empty address box differs from the
// one for a number out of range.
enum class AddressText { Read, Empty, Unreadable };

// `e` is `t` as read by the captions.
Refusal checkEntry(const EntryTexts& t, const RegisterInfo& e, const StringSource& strings,
                   AddressText addressText = AddressText::Read) {
    auto refuse = [&](std::string_view column, unsigned id, std::u16string_view a = {},
                      std::u16string_view b = {}) {
        return Refusal{message(strings, id, a, b), column};
    };
    if (t.source.empty()) return refuse("source", res::kNoSource);
    if (e.source == Source::None) return unknownValue(strings, t.source, "source");
    if (e.source == Source::Device && e.deviceName.empty()) return refuse("device", res::kNeedDevice);
    if (e.source == Source::Peak && e.component.empty()) return refuse("component", res::kNeedComponent);
    if (addressText == AddressText::Empty) return refuse("address", res::kNeedAddress);
    if (addressText == AddressText::Unreadable || e.address < 0 || e.address > 65535)
        return refuse("address", res::kAddressRange);
    if (t.registerType.empty()) return refuse("register_type", res::kNoRegisterType);
    if (e.table == Table::None) return unknownValue(strings, t.registerType, "register_type");
    if (t.dataType.empty()) return refuse("data_type", res::kNoDataType);
    if (e.dataType == DataType::None) return unknownValue(strings, t.dataType, "data_type");
    if (t.dataItem.empty()) return refuse("data_item", res::kNoDataItem);
    if (e.dataItem == DataItem::None) return unknownValue(strings, t.dataItem, "data_item");
    if (sourceOf(e.dataItem) != e.source)
        return refuse("data_item", res::kItemOfOtherSource, t.dataItem, t.source);
    const bool sampleTime = e.dataItem == DataItem::SampleTime;
    if (sampleTime && isBitTable(e.table)) return refuse("register_type", res::kSampleTime16Bit);
    if (isBitTable(e.table) && e.dataType != DataType::Bool)
        return refuse("data_type", res::kBitTypeBool, t.registerType);
    if (sampleTime && e.dataType != DataType::Int)
        return refuse("data_type", res::kSampleTimeInt, t.dataItem);
    if (e.dataType == DataType::Float) {
        if (t.byteOrder.empty()) return refuse("byte_order", res::kFloatNeedsOrder);
        if (e.byteOrder == ByteOrder::None) return unknownValue(strings, t.byteOrder, "byte_order");
    } else if (!t.byteOrder.empty()) {
        return refuse("byte_order", res::kOrderFloatOnly);
    }
    if (!e.deviceName.empty() && e.source != Source::Device)
        return refuse("device", res::kNotEmptyColumn, u"device", t.source);
    if (!e.component.empty() && e.source != Source::Peak)
        return refuse("component", res::kNotEmptyColumn, u"component", t.source);
    return {};
}

// ---- CSV ----

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr int kFieldCount = 8;
constexpr std::size_t kProfileTextLimit = 127;

std::string csvField(std::string_view text) {
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
    std::string out = "\"";
    for (char ch : text) {
        if (ch == '"') out += '"';
        out += ch;
    }
    return out + "\"";
}

void appendRow(std::string& out, const std::array<std::string, kFieldCount>& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i) out += ',';
        out += csvField(fields[i]);
    }
    out += "\r\n";
}

struct Record {
    int line = 0;
    std::vector<std::string> fields;
    bool brokenQuoting = false;
};

// RFC 4180 records over the bytes; a quoted field may hold separators, doubled quotes and line
// breaks. A record with broken quoting ends at the end of its physical line, so the next one is
// read as usual; an unclosed quote runs to the end of the file.
class CsvReader {
public:
    CsvReader(std::string_view text, char separator) : s_(text), sep_(separator) {}

    bool next(Record& r) {
        if (pos_ >= s_.size()) return false;
        r = Record{line_, {std::string()}, false};
        bool fieldStart = true;
        while (pos_ < s_.size()) {
            const char ch = s_[pos_];
            if (fieldStart && ch == '"') {
                ++pos_;
                if (!readQuoted(r.fields.back())) {
                    r.brokenQuoting = true;
                    return true;
                }
                if (pos_ >= s_.size()) return true;
                const char after = s_[pos_];
                if (after == sep_) {
                    ++pos_;
                    r.fields.emplace_back();
                    continue;
                }
                if (after == '\r' || after == '\n') {
                    endOfLine();
                    return true;
                }
                return broken(r);
            }
            if (ch == sep_) {
                ++pos_;
                r.fields.emplace_back();
                fieldStart = true;
                continue;
            }
            if (ch == '\r' || ch == '\n') {
                endOfLine();
                return true;
            }
            if (ch == '"') return broken(r);
            r.fields.back() += ch;
            fieldStart = false;
            ++pos_;
        }
        return true;
    }

private:
    // After the opening quote; false when the file ends inside the field.
    bool readQuoted(std::string& field) {
        while (pos_ < s_.size()) {
            const char ch = s_[pos_++];
            if (ch == '"') {
                if (pos_ < s_.size() && s_[pos_] == '"') {
                    field += '"';
                    ++pos_;
                    continue;
                }
                return true;
            }
            if (ch == '\n') ++line_;
            field += ch;
        }
        return false;
    }
    void endOfLine() {
        if (s_[pos_] == '\r' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '\n') ++pos_;
        ++pos_;
        ++line_;
    }
    bool broken(Record& r) {
        r.brokenQuoting = true;
        while (pos_ < s_.size() && s_[pos_] != '\r' && s_[pos_] != '\n') ++pos_;
        if (pos_ < s_.size()) endOfLine();
        return true;
    }

    std::string_view s_;
    char sep_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

bool allEmpty(const Record& r) {
    return std::all_of(r.fields.begin(), r.fields.end(), [](const std::string& f) { return f.empty(); });
}

// Line (from 1) of the first byte that is not part of well-formed UTF-8; 0 when all are.
int firstInvalidUtf8Line(std::string_view s) {
    int line = 1;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b == '\n') ++line;
        if (b < 0x80) {
            ++i;
            continue;
        }
        int extra;
        char32_t min;
        if ((b & 0xE0) == 0xC0)
            extra = 1, min = 0x80;
        else if ((b & 0xF0) == 0xE0)
            extra = 2, min = 0x800;
        else if ((b & 0xF8) == 0xF0)
            extra = 3, min = 0x10000;
        else
            return line;
        char32_t c = b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= s.size()) return line;
            const auto n = static_cast<unsigned char>(s[i + k]);
            if ((n & 0xC0) != 0x80) return line;
            c = (c << 6) | (n & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return line;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return 0;
}

bool isBlank(char ch) { return ch == ' ' || ch == '\t'; }

// The address column: decimal, or hexadecimal after "0x" as the editor reads it; blanks around
// it allowed. -1 for an empty text, -2 for anything that is not a whole number from 0 to 65535.
std::int32_t parseAddress(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
    if (text.empty()) return -1;
    int base = 10;
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::int64_t value = 0;
    for (char ch : text) {
        int d;
        if (ch >= '0' && ch <= '9')
            d = ch - '0';
        else if (base == 16 && ch >= 'a' && ch <= 'f')
            d = ch - 'a' + 10;
        else if (base == 16 && ch >= 'A' && ch <= 'F')
            d = ch - 'A' + 10;
        else
            return -2;
        value = value * base + d;
        if (value > 65535) return -2;
    }
    return static_cast<std::int32_t>(value);
}

// Who holds each register of the four tables, so that every entry is checked against all earlier
// ones in one pass: 0 free, > 0 a line of the file, < 0 -(index + 1) of an entry of the map
// appended to. Gives the same answer as entriesOverlap against each earlier entry.
class Occupancy {
public:
    static constexpr int kSlots = 65536 + 4;  // the last address plus the longest span

    // The holder of the first register of `e` already held, 0 when none is; then takes the
    // registers still free for `owner`.
    int take(const RegisterInfo& e, int owner) {
        if (e.table == Table::None) return 0;
        auto& slots = tables_[static_cast<int>(e.table) - 1];
        if (slots.empty()) slots.assign(kSlots, 0);
        const std::int64_t first = std::max<std::int64_t>(e.address, 0);
        const std::int64_t end =
            std::min<std::int64_t>(std::int64_t{e.address} + std::max(e.span(), 1), kSlots);
        int holder = 0;
        for (std::int64_t a = first; a < end; ++a) {
            int& slot = slots[static_cast<std::size_t>(a)];
            if (slot == 0)
                slot = owner;
            else if (holder == 0)
                holder = slot;
        }
        return holder;
    }

private:
    std::array<std::vector<int>, 4> tables_;
};

MapCaptions captionsOf(const MapLanguages& languages) {
    return MapCaptions(*languages.current, languages.others);
}

}  // namespace

std::u16string validateEntry(const EntryTexts& entry, const StringSource& strings) {
    return checkEntry(entry, MapCaptions(strings).parse(entry), strings).reason;
}

std::string writeMapFile(const RegisterMap& map, const MapLanguages& languages) {
    const MapCaptions captions = captionsOf(languages);
    std::string out(kBom);
    out += kMapFileHeader;
    out += "\r\n";
    for (const RegisterInfo& e : map) {
        const EntryTexts t = captions.texts(e);
        appendRow(out,
                  {toUtf8(t.source), toUtf8(t.deviceName), toUtf8(t.component), std::to_string(t.address),
                   toUtf8(t.registerType), toUtf8(t.dataType), toUtf8(t.byteOrder), toUtf8(t.dataItem)});
    }
    return out;
}

MapFileImport readMapFile(std::string_view bytes, const MapLanguages& languages,
                          const RegisterMap* appendTo) {
    const StringSource& strings = *languages.current;
    MapFileImport result;
    auto fail = [&](int line, std::u16string reason, std::string_view column = {}) {
        result.errors.push_back({line, std::move(reason), column});
    };

    if (bytes.substr(0, kBom.size()) == kBom) bytes.remove_prefix(kBom.size());
    if (const int line = firstInvalidUtf8Line(bytes)) {
        fail(line, message(strings, res::kNotUtf8));
        return result;
    }
    // Spreadsheets in Russian locales write ";": the header row tells which one the file uses.
    const std::string_view firstLine = bytes.substr(0, bytes.find('\n'));
    const char separator = std::count(firstLine.begin(), firstLine.end(), ';') >
                                   std::count(firstLine.begin(), firstLine.end(), ',')
                               ? ';'
                               : ',';
    CsvReader reader(bytes, separator);
    Record record;
    bool any = false;
    {
        // An empty file is one with no line that says anything.
        CsvReader probe(bytes, separator);
        Record r;
        while (!any && probe.next(r)) any = r.brokenQuoting || !allEmpty(r);
    }
    if (!any) {
        fail(1, message(strings, res::kFileEmpty));
        return result;
    }
    reader.next(record);
    std::string header;
    for (std::size_t i = 0; i < record.fields.size(); ++i) header += (i ? "," : "") + record.fields[i];
    if (record.brokenQuoting || record.line != 1 || header != kMapFileHeader) {
        fail(1, message(strings, res::kFileHeader, utf16(std::string(kMapFileHeader))));
        return result;
    }

    const MapCaptions captions = captionsOf(languages);
    Occupancy occupancy;
    if (appendTo)
        for (std::size_t i = 0; i < appendTo->size(); ++i)
            occupancy.take((*appendTo)[i], -static_cast<int>(i + 1));

    RegisterMap entries;
    while (reader.next(record)) {
        if (record.brokenQuoting) {
            fail(record.line, message(strings, res::kBrokenQuoting));
            continue;
        }
        if (allEmpty(record)) continue;
        if (record.fields.size() != kFieldCount) {
            fail(record.line,
                 message(strings, res::kFieldCount, utf16(std::to_string(record.fields.size()))));
            continue;
        }
        const auto& f = record.fields;
        const std::int32_t address = parseAddress(f[3]);
        const EntryTexts texts{utf16(f[0]), utf16(f[1]), utf16(f[2]), std::max(address, 0),
                               utf16(f[4]), utf16(f[5]), utf16(f[6]), utf16(f[7])};
        RegisterInfo e = captions.parse(texts);
        const AddressText addressText = address == -1   ? AddressText::Empty
                                        : address == -2 ? AddressText::Unreadable
                                                        : AddressText::Read;
        Refusal refusal = checkEntry(texts, e, strings, addressText);
        // The plug-in reads a profile text back cut at 127 characters: a longer name would never
        // match its device or peak.
        if (refusal.reason.empty() &&
            (e.deviceName.size() > kProfileTextLimit || e.component.size() > kProfileTextLimit)) {
            refusal.column = e.deviceName.size() > kProfileTextLimit ? "device" : "component";
            refusal.reason = message(strings, res::kTextTooLong, utf16(refusal.column));
        }
        if (!refusal.reason.empty()) {
            fail(record.line, std::move(refusal.reason), refusal.column);
            continue;
        }
        if (const int holder = occupancy.take(e, record.line)) {
            fail(record.line,
                 holder > 0 ? message(strings, res::kOverlapLine, utf16(std::to_string(holder)))
                            : message(strings, res::kOverlapEntry, utf16(std::to_string(-holder))),
                 "address");
            continue;
        }
        entries.push_back(std::move(e));
    }
    if (result.errors.empty()) result.entries = std::move(entries);
    return result;
}

std::string formatMapFileErrors(std::string_view fileName, const std::vector<MapFileError>& errors) {
    std::string out;
    for (const MapFileError& e : errors)
        out += std::string(fileName) + ":" + std::to_string(e.line) + ": " + toUtf8(e.reason) + "\n";
    return out;
}

// ---- tag list ----

namespace {

// Russian and Ukrainian letters in Latin (lower case; a capital gives a capitalised spelling).
std::string_view latinOf(char16_t lower) {
    static constexpr std::array<std::string_view, 32> kRussian{
        "a", "b", "v", "g", "d", "e",  "zh", "z",  "i",  "y",    "k", "l", "m", "n", "o",  "p",
        "r", "s", "t", "u", "f", "kh", "ts", "ch", "sh", "shch", "",  "y", "",  "e", "yu", "ya"};
    if (lower >= u'а' && lower <= u'я') return kRussian[lower - u'а'];
    switch (lower) {
        case u'ё':
            return "e";
        case u'є':
            return "ye";
        case u'і':
            return "i";
        case u'ї':
            return "yi";
        case u'ґ':
            return "g";
        default:
            return {};
    }
}

void appendTagText(std::string& out, std::u16string_view text) {
    for (char16_t ch : text) {
        if ((ch >= u'a' && ch <= u'z') || (ch >= u'A' && ch <= u'Z') || (ch >= u'0' && ch <= u'9')) {
            out += static_cast<char>(ch);
            continue;
        }
        char16_t lower = ch;
        if (ch >= u'А' && ch <= u'Я')
            lower = ch + (u'а' - u'А');
        else if (ch == u'Ё')
            lower = u'ё';
        else if (ch == u'Є' || ch == u'І' || ch == u'Ї')
            lower = ch + 0x50;
        else if (ch == u'Ґ')
            lower = u'ґ';
        std::string latin(latinOf(lower));
        if (!latin.empty()) {
            if (lower != ch) latin[0] = static_cast<char>(latin[0] - 'a' + 'A');
            out += latin;
        } else if (lower == u'ъ' || lower == u'ь') {
            // silent letters
        } else if (out.empty() || out.back() != '_') {
            out += '_';
        }
    }
}

std::string lowerAscii(std::string s) {
    for (char& ch : s)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return s;
}

}  // namespace

std::string tagName(const EntryTexts& e) {
    std::string raw;
    const std::u16string& name = !e.deviceName.empty()  ? e.deviceName
                                 : !e.component.empty() ? e.component
                                                        : e.source;
    appendTagText(raw, name);
    raw += '_';
    appendTagText(raw, e.dataItem);
    std::string tag;
    for (char ch : raw)
        if (ch != '_' || (!tag.empty() && tag.back() != '_')) tag += ch;
    while (!tag.empty() && tag.back() == '_') tag.pop_back();
    if (tag.empty()) return "Tag";
    if (tag[0] >= '0' && tag[0] <= '9') tag = "Tag_" + tag;
    return tag;
}

std::string modiconReference(Table table, std::int32_t address) {
    int prefix;
    switch (table) {
        case Table::Coils:
            prefix = 0;
            break;
        case Table::DiscreteInputs:
            prefix = 1;
            break;
        case Table::InputRegisters:
            prefix = 3;
            break;
        case Table::HoldingRegisters:
            prefix = 4;
            break;
        default:
            return {};
    }
    if (address < 0 || address > 65535) return {};
    char text[16];
    if (address <= 9998)
        std::snprintf(text, sizeof text, "%d%04d", prefix, address + 1);
    else
        std::snprintf(text, sizeof text, "%d%05d", prefix, address + 1);
    return text;
}

std::string writeTagList(const RegisterMap& map, const MapLanguages& languages) {
    const StringSource& strings = *languages.current;
    const MapCaptions captions = captionsOf(languages);
    std::string out(kBom);
    out += kTagListHeader;
    out += "\r\n";
    std::set<std::string> used;  // lower case: SCADA systems compare tag names without case
    for (const RegisterInfo& e : map) {
        const EntryTexts t = captions.texts(e);
        const std::string base = tagName(t);
        std::string tag = base;
        for (int n = 2; used.count(lowerAscii(tag)); ++n) tag = base + "_" + std::to_string(n);
        used.insert(lowerAscii(tag));

        std::string table;
        switch (e.table) {
            case Table::Coils:
                table = "Coils";
                break;
            case Table::DiscreteInputs:
                table = "Discrete inputs";
                break;
            case Table::InputRegisters:
                table = "Input registers";
                break;
            case Table::HoldingRegisters:
                table = "Holding registers";
                break;
            case Table::None:
                break;
        }
        std::u16string description = t.dataItem;
        const std::u16string& name = !e.deviceName.empty() ? e.deviceName : e.component;
        if (!name.empty()) description += u": " + name;
        if (e.dataItem == DataItem::SampleTime)
            description += u" (" + strings.loadString(res::kSampleTimeFields) + u")";
        appendRow(out,
                  {tag, modiconReference(e.table, e.address), std::to_string(e.address), table,
                   std::to_string(e.span()), toUtf8(t.dataType), toUtf8(t.byteOrder), toUtf8(description)});
    }
    return out;
}

}  // namespace tesmor
