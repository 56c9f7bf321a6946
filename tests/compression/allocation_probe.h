// Test-only probe: the largest array allocation since the last reset, so a
// test can show that hostile input never makes the library size a huge buffer,
// and the number of allocations of any kind, so a test can show what an
// operation allocates. The test program replaces the global new/delete to
// record them.
#pragma once

#include <cstddef>

namespace dravtest {

void resetLargestArrayAllocation();
std::size_t largestArrayAllocation();

void resetAllocationCount();
std::size_t allocationCount();  // operator new and new[] calls since the last reset

}  // namespace dravtest
