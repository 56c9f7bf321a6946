#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> largest{0};
std::atomic<std::size_t> count{0};

void* allocate(std::size_t size) {
  count.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace dravtest {

void resetLargestArrayAllocation() { largest.store(0); }
std::size_t largestArrayAllocation() { return largest.load(); }
void resetAllocationCount() { count.store(0); }
std::size_t allocationCount() { return count.load(); }

}  // namespace dravtest

// malloc/free underneath keep the sanitizers' checks: delete[] of memory that
// did not come from new[] is still reported as a mismatched or wild free.
void* operator new[](std::size_t size) {
  std::size_t seen = largest.load();
  while (size > seen && !largest.compare_exchange_weak(seen, size)) {
  }
  return allocate(size);
}

void* operator new(std::size_t size) { return allocate(size); }

void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
