#pragma once
// Injected allocation failures for the tests of publish/. The replaced global operator new that
// honours it lives in AllocationFaults.cpp (one replacement per program).
#include <atomic>

namespace tesmor::test {

// -1: allocations never fail. n >= 0: after n more allocations the next one throws
// std::bad_alloc, once; the value is then -1 again. Arm it only around single-threaded code.
extern std::atomic<long> failAllocationAfter;

}  // namespace tesmor::test
