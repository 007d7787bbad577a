// A size read from a file must be checked against the file before memory is asked for it. The
// replaced global operator new records the largest request made while a load runs.
#include "results/CVelmarFile4.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> recording{false};
std::atomic<std::size_t> largest{0};
}  // namespace

void* operator new(std::size_t size) {
    if (recording.load(std::memory_order_relaxed)) {
        std::size_t seen = largest.load(std::memory_order_relaxed);
        while (size > seen && !largest.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
// GCC cannot see that the replaced operator new above allocates with malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
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
    for (std::uint64_t count :
         {std::uint64_t{0xFFFFFFFF}, std::uint64_t{1} << 28, std::uint64_t{26}}) {
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

#include <sys/stat.h>

#include <thread>

namespace {

// Through a pipe the size is unknown: the samples buffer grows only with the words that arrive,
// and the XML part, whose size cannot be determined, gives -7 with every channel read.
struct PipeCase {
    const char* name;
    std::uint64_t count;
    std::int32_t result;
    std::size_t channels;
};

class LoadFromPipe : public ::testing::TestWithParam<PipeCase> {};

TEST_P(LoadFromPipe, BoundsItsBuffersByWhatArrives) {
    TempDir dir;
    const auto fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<unsigned char> bytes = fileClaiming(GetParam().count);
    if (GetParam().count == 26) bytes.insert(bytes.end(), {'<', 'r', '/', '>'});
    std::thread writer([&] { writeBytes(fifo, bytes); });
    CVelmarFile4 f;
    largest = 0;
    recording = true;
    const std::int32_t result = f.load(dir.file16("pipe"));
    recording = false;
    writer.join();
    EXPECT_EQ(result, GetParam().result);
    EXPECT_EQ(f.channels.size(), GetParam().channels);
    EXPECT_LE(largest.load(), std::size_t{4} << 20);
}

INSTANTIATE_TEST_SUITE_P(Pipes, LoadFromPipe,
                         ::testing::Values(PipeCase{"CorruptCount", 0xFFFFFFFF, -6, 0},
                                           PipeCase{"WholeFile", 26, -7, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
