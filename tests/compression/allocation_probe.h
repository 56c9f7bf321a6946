// Test-only probe: the largest array allocation since the last reset, so a
// test can show that hostile input never makes the library size a huge buffer;
// the number of allocations of any kind, so a test can show what an operation
// allocates; how many are allocated and not yet freed, so a test can show that
// what it released was freed; and a failing allocation on request, for the
// paths that must recover from one. The test program replaces the global
// new/delete to record them.
#pragma once

#include <cstddef>

namespace dravtest {

void resetLargestArrayAllocation();
std::size_t largestArrayAllocation();

void resetAllocationCount();
std::size_t allocationCount();  // operator new and new[] calls since the last reset

long liveArrayAllocations();   // new[] not yet freed by delete[]
long liveObjectAllocations();  // the same for single objects (plain new)

// After `succeeding` more array allocations, the next one throws std::bad_alloc
// (once). For one thread at a time.
void failArrayAllocationAfter(long succeeding);
// The same for single objects (plain new).
void failObjectAllocationAfter(long succeeding);

}  // namespace dravtest
