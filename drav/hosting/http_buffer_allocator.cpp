#include <drav/hosting/http_buffer_allocator.h>

#include <drav/common/wire_width.h>

namespace DRAVHelpers {
namespace IIS {

HTTPBufferAllocator::~HTTPBufferAllocator() = default;

unsigned char* DefaultHTTPBufferAllocator::allocate(unsigned long size) {
  return new unsigned char[DRAV::detail::toWireULong(size, "request chunk size")];
}

void DefaultHTTPBufferAllocator::free(unsigned char*& buffer, unsigned long& size) {
  delete[] buffer;
  buffer = nullptr;
  size = 0;
}

}  // namespace IIS
}  // namespace DRAVHelpers
