#pragma once
// The host's chromatogram file: a binary part with the raw signal of each detector channel and
// an XML part with the passport and each channel's peak table.
//
// Layout (little-endian): a 16-byte header ("STG", version byte, 4 reserved bytes, the 64-bit
// offset of the XML part), then per channel a 32-byte record header (number byte, 7 zero bytes,
// paramA, paramB, 64-bit sample count) followed by the 4-byte sample words, then the UTF-8 XML
// part to the end of the file.
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "results/Passport.h"

// Sample words as they come from a file. Growing the sequence leaves new words uninitialised
// (they are read over at once), so loading does not clear 64 MiB before reading it; otherwise it
// behaves as std::vector<std::uint32_t>.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        std::construct_at(p, std::forward<Args>(args)...);
    }
};
using SampleWords = std::vector<std::uint32_t, UninitializedAllocator<std::uint32_t>>;

struct PeakRecord {
    double front = 0;
    double back = 0;
    double time = 0;
    double area = 0;
    double height = 0;
    double concent = 0;
    std::u16string name;
    bool reference = false;
    std::int32_t left = -1;
    std::int32_t right = -1;
    std::uint32_t flags = 0;
    double front_base_height = 0;
    double back_base_height = 0;
    double index = 0;

    bool operator==(const PeakRecord&) const = default;
};

// One detector channel. lock guards samples against a concurrent save; copies and moves take
// the source's lock and give the new object a lock of its own.
struct ChannelData {
    std::int32_t number = 0;  // 0..255 in a file; key of the peak tables
    SampleWords samples;      // carried unchanged
    mutable std::mutex lock;
    double paramA = 0;  // carried unchanged
    double paramB = 0;  // carried unchanged
    std::vector<PeakRecord> peaks;

    ChannelData() = default;
    ChannelData(const ChannelData& other);
    ChannelData(ChannelData&& other) noexcept;
    ChannelData& operator=(const ChannelData& other);
    ChannelData& operator=(ChannelData&& other) noexcept;
    ~ChannelData() = default;

    // Equal in number, samples, parameters (bit for bit) and peaks.
    bool operator==(const ChannelData& other) const;
};

class CVelmarFile4 {
public:
    // Result codes of load and save.
    enum Result : std::int32_t {
        Ok = 0,
        CannotOpen = -1,        // load: cannot open for reading; save: for writing
        BadHeader = -2,         // load: fewer than 16 header bytes; save: header not written
        BadMagic = -3,          // load: the file does not start with "STG"
        BadVersion = -4,        // load: version byte above 1
        BadChannelHeader = -5,  // a 32-byte channel record header not read / not written in full
        BadSamples = -6,        // load: count with nonzero upper half, or more samples than the
                                // file holds; save: fewer samples written than counted
        BadXml = -7,            // load: XML part unreadable or unparsable; save: stream error
    };

    std::uint8_t version = 1;
    Passport passport;
    std::vector<ChannelData> channels;

    CVelmarFile4() = default;
    CVelmarFile4(const CVelmarFile4&) = default;
    CVelmarFile4(CVelmarFile4&&) = default;
    CVelmarFile4& operator=(const CVelmarFile4&) = default;
    CVelmarFile4& operator=(CVelmarFile4&&) = default;
    virtual ~CVelmarFile4() = default;

    // Reads path (UTF-16, converted to UTF-8 for the file system). Returns a Result.
    // Only a regular file is read: a directory, a FIFO or a device gives -1 without waiting,
    // however the path changes meanwhile. On 0: version, channels with their peak tables and the
    // passport hold the file, and passport.path is path. After a failure the object holds:
    //   -1 to -4: its previous content;
    //   -5, -6: the file's version and the channels read before the failing record (previous
    //           channels gone), passport unchanged;
    //   -7: the file's version and all its channels without peak tables, passport unchanged.
    // A sample count is checked against the bytes the file still holds before anything is
    // allocated. Running out of memory gives -6 while the samples are read and -7 afterwards;
    // nothing is thrown. The XML part is read as the wide text of a 16-bit wchar_t pugixml build
    // (bytes that are no UTF-8 are dropped; see withInvalidUtf8Dropped). Numbers are parsed with
    // "." whatever the process locale.
    virtual std::int32_t load(const std::u16string& path);

    // Writes the object to path (created or truncated) and sets passport.path to path. Returns
    // a Result; a failed save leaves its partial file behind. A channel's lock is held only while
    // its samples are copied. Numbers are written with "." whatever the process locale; data the
    // system cannot flush to the file (a full disk) gives -7.
    virtual std::int32_t save(const std::u16string& path);

    // Attaches the peak tables of the element "channels" to the loaded channels: per "channel"
    // child, the first channel whose number equals its "number" (negative or missing: skipped)
    // gets the items of its "table"; a later element replaces an earlier one's table.
    void readPeakTables(pugi::xml_node channelsElement);
    // Writes "version" = 1 and one "channel" per channel with its number and peak table.
    void writePeakTables(pugi::xml_node channelsElement) const;
};

// A short English text for a result code of load or save (for logs and tools).
const char* velmarResultText(std::int32_t code) noexcept;
