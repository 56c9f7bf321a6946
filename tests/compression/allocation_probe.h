// Test-only probe: the largest array allocation since the last reset, so a
// test can show that hostile input never makes the library size a huge buffer;
// how many arrays are allocated and not yet freed, so a test can show that
// what it released was freed; and a failing allocation on request, for the
// paths that must recover from one.
// The test program replaces the global new/delete to record it.
#pragma once

#include <cstddef>

namespace dravtest {

void resetLargestArrayAllocation();
std::size_t largestArrayAllocation();
long liveArrayAllocations();
long liveObjectAllocations();  // the same for single objects (plain new)
// After `succeeding` more array allocations, the next one throws std::bad_alloc
// (once). For one thread at a time.
void failArrayAllocationAfter(long succeeding);
// The same for single objects (plain new).
void failObjectAllocationAfter(long succeeding);

}  // namespace dravtest
