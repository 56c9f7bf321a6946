#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largest{0};
std::atomic<long> live{0};
std::atomic<long> untilFailure{-1};  // array allocations left before one fails; -1: none fails
}

namespace dravtest {

void resetLargestArrayAllocation() { largest.store(0); }
std::size_t largestArrayAllocation() { return largest.load(); }
long liveArrayAllocations() { return live.load(); }
void failArrayAllocationAfter(long succeeding) { untilFailure.store(succeeding); }

}  // namespace dravtest

// malloc/free underneath keep the sanitizers' checks: delete[] of memory that
// did not come from new[] is still reported as a mismatched or wild free.
void* operator new[](std::size_t size) {
  std::size_t seen = largest.load();
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
  const long left = untilFailure.load();
  if (left >= 0) {
    untilFailure.store(left - 1);
    if (left == 0) throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) {
    ++live;
    return p;
  }
  throw std::bad_alloc();
}

void operator delete[](void* p) noexcept {
  if (p) --live;
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept { operator delete[](p); }
