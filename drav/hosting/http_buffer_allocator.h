// The buffers the IIS request reader hands chunks out in: a replaceable
// allocator interface and the default one over array new. Not a general
// memory-pool facility.
#pragma once

#include <drav/export.h>

namespace DRAVHelpers {
namespace IIS {

// Hands out and takes back the buffers the request reader fills.
class DRAV_EXPORT HTTPBufferAllocator {
public:
  HTTPBufferAllocator() = default;
  HTTPBufferAllocator(const HTTPBufferAllocator&) = default;
  HTTPBufferAllocator& operator=(const HTTPBufferAllocator&) = default;

  // A buffer of at least `size` bytes; the caller gives it back through free
  // of the same allocator.
  virtual unsigned char* allocate(unsigned long size) = 0;
  // Releases a buffer from allocate and resets both arguments.
  virtual void free(unsigned char*& buffer, unsigned long& size) = 0;
  // Allocators are deleted through this type (the request wrapper owns one).
  virtual ~HTTPBufferAllocator();
};

// The allocator over array new and delete.
class DRAV_EXPORT DefaultHTTPBufferAllocator : public HTTPBufferAllocator {
public:
  // Array new: std::bad_alloc when memory runs out; a size beyond 32 bits is
  // refused with DRAVException.
  unsigned char* allocate(unsigned long size) override;
  // Array delete of a non-null buffer; buffer becomes null and size 0 either way.
  void free(unsigned char*& buffer, unsigned long& size) override;
};

}  // namespace IIS
}  // namespace DRAVHelpers
