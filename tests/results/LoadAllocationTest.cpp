// A size read from a file must be checked against the file before memory is asked for it. The
// replaced global operator new records the largest request made while a load runs.
#include "results/CVelmarFile4.h"

#include "TempDir.h"

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
