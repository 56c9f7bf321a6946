#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largest{0};
std::atomic<long> live{0};
std::atomic<long> liveObjects{0};
std::atomic<long> untilFailure{-1};  // array allocations left before one fails; -1: none fails
std::atomic<long> untilObjectFailure{-1};  // the same for single objects

// Counts one allocation against `left`: true when this is the one to fail.
bool failsNow(std::atomic<long>& left) {
  const long n = left.load();
  if (n < 0) return false;
  left.store(n - 1);
  return n == 0;
}
}

namespace dravtest {

void resetLargestArrayAllocation() { largest.store(0); }
std::size_t largestArrayAllocation() { return largest.load(); }
long liveArrayAllocations() { return live.load(); }
long liveObjectAllocations() { return liveObjects.load(); }
void failArrayAllocationAfter(long succeeding) { untilFailure.store(succeeding); }
void failObjectAllocationAfter(long succeeding) { untilObjectFailure.store(succeeding); }

}  // namespace dravtest

// malloc/free underneath keep the sanitizers' checks: delete[] of memory that
// did not come from new[] is still reported as a mismatched or wild free.
void* operator new[](std::size_t size) {
  std::size_t seen = largest.load();
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
  if (failsNow(untilFailure)) throw std::bad_alloc();
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

void* operator new(std::size_t size) {
  if (failsNow(untilObjectFailure)) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) {
    ++liveObjects;
    return p;
  }
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  if (p) --liveObjects;
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
