#include "AllocationFaults.h"

#include <cstdlib>
#include <new>

std::atomic<long> tesmor::test::failAllocationAfter{-1};

void* operator new(std::size_t size) {
    using tesmor::test::failAllocationAfter;
    if (failAllocationAfter.load(std::memory_order_relaxed) >= 0 && failAllocationAfter.fetch_sub(1) == 0)
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
