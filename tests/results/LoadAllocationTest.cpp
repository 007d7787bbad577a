// A size read from a file must be checked against the file before memory is asked for it, and
// running out of memory while a file is loaded makes it an unreadable file, never an exception.
// The replaced global operator new records the largest request made while a load runs and can
// fail a chosen request or every request above a size.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>

#include "LabDatabase.h"
#include "results/AssayRecords.h"
#include "results/CVelmarFile4.h"
#include "results/SyntheticChromatogram.h"
#include "support/TempDir.h"

namespace {
std::atomic<bool> recording{false};
std::atomic<std::size_t> largest{0};
std::atomic<long> failCountdown{0};  // > 0: the request that brings it to 0 fails
std::atomic<std::size_t> failAbove{std::numeric_limits<std::size_t>::max()};
}  // namespace

void* operator new(std::size_t size) {
    if (recording.load(std::memory_order_relaxed)) {
        std::size_t seen = largest.load(std::memory_order_relaxed);
        while (size > seen && !largest.compare_exchange_weak(seen, size)) {
        }
    }
    if (size > failAbove.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (failCountdown.load(std::memory_order_relaxed) > 0 && failCountdown.fetch_sub(1) == 1)
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// GCC cannot see that the replaced operator new above allocates with malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

std::vector<unsigned char> fileClaiming(std::uint64_t count) {
    std::vector<unsigned char> b = {'S', 'T', 'G', 1, 0, 0, 0, 0};
    for (int i = 0; i < 8; ++i) b.push_back(i == 0 ? 48 : 0);  // xmlOffset 48: one record
    b.resize(16 + 24, 0);
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(count >> (8 * i)));
    b.resize(b.size() + 100, 0x41);  // far fewer bytes than claimed
    return b;
}

TEST(LoadAllocation, ACorruptSampleCountAllocatesNothingLarge) {
    TempDir dir;
    for (std::uint64_t count : {std::uint64_t{0xFFFFFFFF}, std::uint64_t{1} << 28, std::uint64_t{26}}) {
        writeBytes(dir.file("c.chr"), fileClaiming(count));
        CVelmarFile4 f;
        largest = 0;
        recording = true;
        const std::int32_t result = f.load(dir.file16("c.chr"));
        recording = false;
        EXPECT_EQ(result, -6) << count;
        EXPECT_LT(largest.load(), std::size_t{64 * 1024}) << count;
    }
}

}  // namespace

namespace {

// Fails the first, second, third ... request of a load until one runs through: every request
// that can fail is tried once.
TEST(LoadAllocation, RunningOutOfMemoryAnywhereGivesAResultCode) {
    TempDir dir;
    SyntheticOptions options;
    options.channels = 2;
    options.samples = 100;
    options.peaks = 3;
    ASSERT_EQ(makeSyntheticChromatogram(options).save(dir.file16("a.chr")), 0);
    CVelmarFile4 previous;
    previous.passport.sample = u"previous";
    previous.passport.properties = {{u"operator", u"", u"Петров"}};

    const std::u16string path = dir.file16("a.chr");
    bool ranThrough = false;
    for (long request = 1; !ranThrough && request < 100000; ++request) {
        CVelmarFile4 f = previous;
        std::int32_t result = 1;
        failCountdown = request;
        try {
            result = f.load(path);
        } catch (...) {
            failCountdown = 0;
            ADD_FAILURE() << "request " << request << ": exception out of load";
            continue;
        }
        ranThrough = failCountdown.exchange(0) > 0;
        if (ranThrough) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(f.passport.properties.size(), 3u);
            continue;
        }
        EXPECT_TRUE(result == CVelmarFile4::CannotOpen || result == CVelmarFile4::BadSamples ||
                    result == CVelmarFile4::BadXml)
            << "request " << request << ": " << result;
        EXPECT_EQ(f.passport, previous.passport) << "request " << request;
        for (const ChannelData& c : f.channels) EXPECT_TRUE(c.peaks.empty()) << "request " << request;
    }
    EXPECT_TRUE(ranThrough);
}

// What an assay takes from its file: all of it, or nothing as from an unreadable file.
TEST(LoadAllocation, RunningOutOfMemoryMakesTheFileUnreadableForTheAssay) {
    TempDir dir;
    SyntheticOptions options;
    options.numinseria = u"12";
    ASSERT_EQ(makeSyntheticChromatogram(options).save(dir.file16("a.chr")), 0);
    const std::u16string path = dir.file16("a.chr");
    bool ranThrough = false;
    for (long request = 1; !ranThrough && request < 100000; ++request) {
        failCountdown = request;
        const auto properties = tesmor::readChromatogramProperties(path);
        ranThrough = failCountdown.exchange(0) > 0;
        if (!ranThrough) {
            EXPECT_FALSE(properties) << "request " << request;
            continue;
        }
        ASSERT_TRUE(properties);
        EXPECT_EQ(properties->numinseria, 12);
        EXPECT_EQ(properties->operatorName, u"Иванова А.П.");
        EXPECT_EQ(properties->place, u"Лаборатория 1");
    }
    EXPECT_TRUE(ranThrough);
}

// A file whose passport text needs more memory than there is, read as the chromatogram of an
// assay in a real database: the assay counts as one without a readable file and keeps its peaks.
TEST(LoadAllocation, AnAssayWhoseFileNeedsTooMuchMemoryIsReadWithoutIt) {
    TempDir dir;
    const std::string big(3 << 20, 'x');  // 3 MiB of text, 6 MiB as UTF-16
    std::string bytes = std::string("STG\x01\0\0\0\0\x10", 9) + std::string(7, '\0');
    bytes += "<root><passport><operator value='" + big + "'/><numinseria value='12'/></passport></root>";
    writeBytes(dir.file("big.chr"), {bytes.begin(), bytes.end()});

    tesmor::host::LabDatabase lab(dir.file("host.db").string());
    tesmor::host::LabAssay row;
    row.filename = dir.file("big.chr").string();
    row.iscalibration = 1;
    const auto id = lab.addAssay(row, {{"Метан", 1, 1.0, 5}});
    DataBase::SqlDatabase db;
    db.open(dir.file16("host.db").c_str());

    failAbove = 4 << 20;
    std::optional<tesmor::AssayInfo> assay;
    try {
        assay = tesmor::readAssay(db, static_cast<std::int32_t>(id));
    } catch (const std::bad_alloc&) {
        ADD_FAILURE() << "out of memory escaped the reading of the assay";
    }
    failAbove = std::numeric_limits<std::size_t>::max();
    ASSERT_TRUE(assay);
    EXPECT_EQ(assay->numinseria, 0);
    EXPECT_EQ(assay->iscalibration, 0);
    EXPECT_TRUE(assay->operatorName.empty());
    EXPECT_EQ(assay->peaks.size(), 1u);
}

}  // namespace
