// Test-only probe: the largest array allocation since the last reset, so a
// test can show that hostile input never makes the library size a huge buffer;
// and how many arrays are allocated and not yet freed, so a test can show that
// what it released was freed.
// The test program replaces the global array new/delete to record it.
#pragma once

#include <cstddef>

namespace dravtest {

void resetLargestArrayAllocation();
std::size_t largestArrayAllocation();
long liveArrayAllocations();

}  // namespace dravtest
