#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largest{0};
std::atomic<std::size_t> count{0};
std::atomic<long> liveArrays{0};
std::atomic<long> liveObjects{0};
std::atomic<long> untilArrayFailure{-1};   // array allocations left before one fails; -1: none fails
std::atomic<long> untilObjectFailure{-1};  // the same for single objects

// Counts one allocation against `left`: true when this is the one to fail.
bool failsNow(std::atomic<long>& left) {
  const long n = left.load();
  if (n < 0) return false;
  left.store(n - 1);
  return n == 0;
}

void* allocate(std::size_t size, std::atomic<long>& live, std::atomic<long>& untilFailure) {
  count.fetch_add(1, std::memory_order_relaxed);
  if (failsNow(untilFailure)) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) {
    ++live;
    return p;
  }
  throw std::bad_alloc();
}

void release(void* p, std::atomic<long>& live) noexcept {
  if (p) --live;
  std::free(p);
}
}  // namespace

namespace dravtest {

void resetLargestArrayAllocation() { largest.store(0); }
std::size_t largestArrayAllocation() { return largest.load(); }
void resetAllocationCount() { count.store(0); }
std::size_t allocationCount() { return count.load(); }
long liveArrayAllocations() { return liveArrays.load(); }
long liveObjectAllocations() { return liveObjects.load(); }
void failArrayAllocationAfter(long succeeding) { untilArrayFailure.store(succeeding); }
void failObjectAllocationAfter(long succeeding) { untilObjectFailure.store(succeeding); }

}  // namespace dravtest

// malloc/free underneath keep the sanitizers' checks: delete[] of memory that
// did not come from new[] is still reported as a mismatched or wild free.
void* operator new[](std::size_t size) {
  std::size_t seen = largest.load();
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
  return allocate(size, liveArrays, untilArrayFailure);
}

void* operator new(std::size_t size) { return allocate(size, liveObjects, untilObjectFailure); }

void operator delete[](void* p) noexcept { release(p, liveArrays); }
void operator delete[](void* p, std::size_t) noexcept { release(p, liveArrays); }
void operator delete(void* p) noexcept { release(p, liveObjects); }
void operator delete(void* p, std::size_t) noexcept { release(p, liveObjects); }
