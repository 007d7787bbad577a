#include "results/CVelmarFile4.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "platform/Text.h"
#include "results/XmlValues.h"

using tesmor::results::appendValue;
using tesmor::results::CNumberLocale;
using tesmor::results::setText;
using tesmor::results::textOf;
using tesmor::results::valueOf;

// ---- ChannelData ----

ChannelData::ChannelData(const ChannelData& other) {
    const std::lock_guard guard(other.lock);
    number = other.number;
    samples = other.samples;
    paramA = other.paramA;
    paramB = other.paramB;
    peaks = other.peaks;
}

ChannelData::ChannelData(ChannelData&& other) noexcept {
    const std::lock_guard guard(other.lock);
    number = other.number;
    samples = std::move(other.samples);
    paramA = other.paramA;
    paramB = other.paramB;
    peaks = std::move(other.peaks);
}

ChannelData& ChannelData::operator=(const ChannelData& other) {
    if (this != &other) {
        const std::scoped_lock guard(lock, other.lock);
        number = other.number;
        samples = other.samples;
        paramA = other.paramA;
        paramB = other.paramB;
        peaks = other.peaks;
    }
    return *this;
}

ChannelData& ChannelData::operator=(ChannelData&& other) noexcept {
    if (this != &other) {
        const std::scoped_lock guard(lock, other.lock);
        number = other.number;
        samples = std::move(other.samples);
        paramA = other.paramA;
        paramB = other.paramB;
        peaks = std::move(other.peaks);
    }
    return *this;
}

bool ChannelData::operator==(const ChannelData& other) const {
    if (this == &other) return true;
    const std::scoped_lock guard(lock, other.lock);
    return number == other.number && samples == other.samples &&
           std::bit_cast<std::uint64_t>(paramA) == std::bit_cast<std::uint64_t>(other.paramA) &&
           std::bit_cast<std::uint64_t>(paramB) == std::bit_cast<std::uint64_t>(other.paramB) &&
           peaks == other.peaks;
}

// ---- file helpers ----

namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kRecordHeaderSize = 32;
constexpr std::uint64_t kSampleSize = sizeof(std::uint32_t);

struct FileClose {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

File openFile(const std::u16string& path, const char* mode) {
    // A path with an embedded zero would name another file.
    if (path.find(u'\0') != std::u16string::npos) return nullptr;
    return File(std::fopen(tesmor::toUtf8(path).c_str(), mode));
}

// A regular file opened for reading with its size, or nothing. The test is made on the open
// descriptor, and the open itself does not wait: a FIFO nobody writes (also one put in the
// file's place at the last moment) or a device must not hold up the host's event thread, and a
// directory is no file either.
File openRegularFile(const std::u16string& path, std::uint64_t& size) {
    if (path.find(u'\0') != std::u16string::npos) return nullptr;
    std::string name;
    try {
        name = tesmor::toUtf8(path);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    File file(fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return nullptr;
    size = static_cast<std::uint64_t>(st.st_size);
    return file;
}

std::uint64_t getU64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void putU64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

double getDouble(const unsigned char* p) { return std::bit_cast<double>(getU64(p)); }
void putDouble(unsigned char* p, double v) { putU64(p, std::bit_cast<std::uint64_t>(v)); }

// Sample words are little-endian in the file.
void swapToFileOrder(std::uint32_t* words, std::size_t count) {
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < count; ++i) words[i] = __builtin_bswap32(words[i]);
    } else {
        (void)words, (void)count;
    }
}

// Reads count words (checked against the file's size) into samples in one block.
bool readSamples(std::FILE* f, std::uint64_t count, SampleWords& samples) {
    samples.resize(static_cast<std::size_t>(count));
    if (count && std::fread(samples.data(), kSampleSize, samples.size(), f) != samples.size()) return false;
    swapToFileOrder(samples.data(), samples.size());
    return true;
}

// The fields of an item in file order.
enum PeakField {
    Front,
    Back,
    Time,
    Area,
    Height,
    Concent,
    Name,
    Reference,
    Left,
    Right,
    Flags,
    FrontBaseHeight,
    BackBaseHeight,
    Index,
    FieldCount
};
constexpr const char* kPeakFields[FieldCount] = {"front",
                                                 "back",
                                                 "time",
                                                 "area",
                                                 "height",
                                                 "concent",
                                                 "name",
                                                 "reference",
                                                 "left",
                                                 "right",
                                                 "flags",
                                                 "front_base_height",
                                                 "back_base_height",
                                                 "index"};

// One pass over the item's children instead of a search per field; as with a search by name,
// the first element of a name counts. Written files list the fields in order, so the expected
// name is tried first.
PeakRecord readPeak(pugi::xml_node item) {
    pugi::xml_attribute values[FieldCount];
    bool seen[FieldCount] = {};
    int expected = 0;
    for (pugi::xml_node child = item.first_child(); child; child = child.next_sibling()) {
        const char* name = child.name();
        int field = FieldCount;
        if (expected < FieldCount && std::strcmp(name, kPeakFields[expected]) == 0) {
            field = expected;
        } else {
            for (int i = 0; i < FieldCount; ++i) {
                if (std::strcmp(name, kPeakFields[i]) == 0) {
                    field = i;
                    break;
                }
            }
        }
        if (field == FieldCount) continue;
        expected = field + 1;
        if (!seen[field]) {
            seen[field] = true;
            values[field] = child.attribute("value");  // null when missing: the default
        }
    }
    PeakRecord p;
    p.front = values[Front].as_double();
    p.back = values[Back].as_double();
    p.time = values[Time].as_double();
    p.area = values[Area].as_double();
    p.height = values[Height].as_double();
    p.concent = values[Concent].as_double();
    p.name = textOf(values[Name]);
    p.reference = values[Reference].as_bool();
    p.left = values[Left].as_int(-1);
    p.right = values[Right].as_int(-1);
    p.flags = values[Flags].as_uint();
    p.front_base_height = values[FrontBaseHeight].as_double();
    p.back_base_height = values[BackBaseHeight].as_double();
    p.index = values[Index].as_double();
    return p;
}

void writePeak(pugi::xml_node item, const PeakRecord& p) {
    appendValue(item, "front").set_value(p.front);
    appendValue(item, "back").set_value(p.back);
    appendValue(item, "time").set_value(p.time);
    appendValue(item, "area").set_value(p.area);
    appendValue(item, "height").set_value(p.height);
    appendValue(item, "concent").set_value(p.concent);
    setText(appendValue(item, "name"), p.name);
    appendValue(item, "reference").set_value(p.reference);
    appendValue(item, "left").set_value(p.left);
    appendValue(item, "right").set_value(p.right);
    appendValue(item, "flags").set_value(p.flags);
    appendValue(item, "front_base_height").set_value(p.front_base_height);
    appendValue(item, "back_base_height").set_value(p.back_base_height);
    appendValue(item, "index").set_value(p.index);
}

}  // namespace

// ---- CVelmarFile4 ----

std::int32_t CVelmarFile4::load(const std::u16string& path) {
    std::uint64_t size = 0;
    const File file = openRegularFile(path, size);
    if (!file) return CannotOpen;
    std::FILE* f = file.get();

    unsigned char header[kHeaderSize];
    if (std::fread(header, 1, kHeaderSize, f) != kHeaderSize) return BadHeader;
    if (std::memcmp(header, "STG", 3) != 0) return BadMagic;
    if (header[3] > 1) return BadVersion;
    version = header[3];
    const std::uint64_t xmlOffset = getU64(header + 8);
    std::uint64_t position = kHeaderSize;

    channels.clear();
    while (position < xmlOffset) {
        unsigned char record[kRecordHeaderSize];
        if (std::fread(record, 1, kRecordHeaderSize, f) != kRecordHeaderSize) return BadChannelHeader;
        position += kRecordHeaderSize;
        const std::uint64_t count = getU64(record + 24);
        if (count >> 32) return BadSamples;
        // Checked before allocating: a corrupt count must not ask for gigabytes.
        if (position > size || count * kSampleSize > size - position) return BadSamples;
        try {
            ChannelData channel;
            if (!readSamples(f, count, channel.samples)) return BadSamples;
            channel.number = record[0];
            channel.paramA = getDouble(record + 8);
            channel.paramB = getDouble(record + 16);
            channels.push_back(std::move(channel));
        } catch (const std::bad_alloc&) {
            return BadSamples;
        }
        position += count * kSampleSize;
    }

    // The XML part starts where the last record ended, whatever xmlOffset says.
    if (position > size) return BadXml;
    try {
        const std::uint64_t xmlSize = size - position;
        const auto xml = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(xmlSize));
        if (std::fread(xml.get(), 1, xmlSize, f) != xmlSize) return BadXml;
        std::optional<std::string> readable =
            tesmor::results::withInvalidUtf8Dropped({xml.get(), static_cast<std::size_t>(xmlSize)});
        pugi::xml_document document;
        const bool parsed = readable ? document.load_buffer_inplace(readable->data(), readable->size(),
                                                                    pugi::parse_default, pugi::encoding_utf8)
                                     : document.load_buffer_inplace(xml.get(), xmlSize, pugi::parse_default,
                                                                    pugi::encoding_utf8);
        if (!parsed) return BadXml;

        // Read into a copy, so that running out of memory half-way leaves the passport as it was.
        const CNumberLocale cNumbers;
        const pugi::xml_node root = document.child("root");
        Passport read = passport;
        read.readPassport(root.child("passport"));
        readPeakTables(root.child("channels"));
        read.path = path;
        passport = std::move(read);
    } catch (const std::bad_alloc&) {
        for (ChannelData& channel : channels) channel.peaks.clear();
        return BadXml;
    }
    return Ok;
}

void CVelmarFile4::readPeakTables(pugi::xml_node channelsElement) {
    for (pugi::xml_node element = channelsElement.child("channel"); element;
         element = element.next_sibling("channel")) {
        const pugi::xml_attribute numberValue = valueOf(element, "number");
        if (!numberValue) continue;
        const int number = numberValue.as_int();
        if (number < 0) continue;
        const auto channel = std::find_if(channels.begin(), channels.end(),
                                          [number](const ChannelData& c) { return c.number == number; });
        if (channel == channels.end()) continue;
        channel->peaks.clear();
        const pugi::xml_node table = element.child("table");
        for (pugi::xml_node item = table.child("item"); item; item = item.next_sibling("item"))
            channel->peaks.push_back(readPeak(item));
    }
}

void CVelmarFile4::writePeakTables(pugi::xml_node channelsElement) const {
    channelsElement.append_attribute("version").set_value(1);
    for (const ChannelData& channel : channels) {
        pugi::xml_node element = channelsElement.append_child("channel");
        appendValue(element, "number").set_value(channel.number);
        pugi::xml_node table = element.append_child("table");
        for (const PeakRecord& peak : channel.peaks) writePeak(table.append_child("item"), peak);
    }
}

std::int32_t CVelmarFile4::save(const std::u16string& path) {
    File file = openFile(path, "wb");
    if (!file) return CannotOpen;
    std::FILE* f = file.get();

    // Counts are taken once, under each channel's lock, so that the header, the record headers
    // and the samples written agree even when a channel changes meanwhile.
    std::vector<std::uint64_t> counts;
    counts.reserve(channels.size());
    std::uint64_t xmlOffset = kHeaderSize;
    for (const ChannelData& channel : channels) {
        const std::lock_guard guard(channel.lock);
        counts.push_back(channel.samples.size());
        xmlOffset += kRecordHeaderSize + kSampleSize * counts.back();
    }

    unsigned char header[kHeaderSize] = {'S', 'T', 'G', version};
    putU64(header + 8, xmlOffset);
    if (std::fwrite(header, 1, kHeaderSize, f) != kHeaderSize) return BadHeader;

    for (std::size_t i = 0; i < channels.size(); ++i) {
        const ChannelData& channel = channels[i];
        const std::uint64_t n = counts[i];
        unsigned char record[kRecordHeaderSize] = {static_cast<unsigned char>(channel.number & 0xFF)};
        putDouble(record + 8, channel.paramA);
        putDouble(record + 16, channel.paramB);
        putU64(record + 24, n);
        if (std::fwrite(record, 1, kRecordHeaderSize, f) != kRecordHeaderSize) return BadChannelHeader;

        std::vector<std::uint32_t> buffer(static_cast<std::size_t>(n));
        {
            const std::lock_guard guard(channel.lock);
            const std::size_t copied = std::min<std::size_t>(buffer.size(), channel.samples.size());
            std::copy_n(channel.samples.begin(), copied, buffer.begin());
        }
        swapToFileOrder(buffer.data(), buffer.size());
        if (!buffer.empty() && std::fwrite(buffer.data(), kSampleSize, buffer.size(), f) != buffer.size())
            return BadSamples;
    }

    pugi::xml_document document;
    {
        const CNumberLocale cNumbers;
        pugi::xml_node declaration = document.append_child(pugi::node_declaration);
        declaration.append_attribute("version").set_value("1.0");
        declaration.append_attribute("encoding").set_value("utf-8");
        pugi::xml_node root = document.append_child("root");
        root.append_attribute("version").set_value(1);
        passport.path = path;
        passport.writePassport(root.append_child("passport"));
        writePeakTables(root.append_child("channels"));
    }
    pugi::xml_writer_file writer(f);
    document.save(writer, "", pugi::format_raw, pugi::encoding_utf8);
    // A flush or close that fails (a full disk) would otherwise lose the file's end silently.
    if (std::fflush(f) != 0 || std::ferror(f)) return BadXml;
    if (std::fclose(file.release()) != 0) return BadXml;
    return Ok;
}

const char* velmarResultText(std::int32_t code) noexcept {
    switch (code) {
        case CVelmarFile4::Ok:
            return "success";
        case CVelmarFile4::CannotOpen:
            return "the file cannot be opened";
        case CVelmarFile4::BadHeader:
            return "the 16-byte file header cannot be read or written in full";
        case CVelmarFile4::BadMagic:
            return "the file does not start with \"STG\"";
        case CVelmarFile4::BadVersion:
            return "the format version is above 1";
        case CVelmarFile4::BadChannelHeader:
            return "a 32-byte channel record header cannot be read or written in full";
        case CVelmarFile4::BadSamples:
            return "a channel's sample count is corrupt or its samples cannot be read or written "
                   "in full";
        case CVelmarFile4::BadXml:
            return "the XML part cannot be read, parsed or written";
        default:
            return "unknown result code";
    }
}
