// Reading the posted call body of an IIS page in chunks, through the page's
// Request object: the RequestReader interface and RequestWrapper, its
// implementation over IRequest::BinaryRead. The body is never held whole:
// each chunk is copied once into a buffer of the caller's allocator.
// Not thread-safe: one request, one thread.
#pragma once

#include <drav/export.h>
#include <drav/hosting/http_buffer_allocator.h>
#include <drav/platform/asp.h>
#include <drav/platform/win32.h>

#include <cstdint>
#include <memory>

namespace DRAVHelpers {
namespace IIS {

// The posted body of one call, read in chunks; its size and the extra blob's.
class DRAV_EXPORT RequestReader {
public:
  virtual unsigned long GetTotalSize() const = 0;
  virtual unsigned long GetExtraBlobSize() const = 0;
  // The next piece of the body, at most maxSize bytes, in a buffer the caller
  // gives back through the reader's allocator. False when nothing could be
  // read (buffer untouched, readSize 0).
  virtual bool ReadBufferChunk(unsigned char*& buffer, unsigned long maxSize, unsigned long& readSize) = 0;
  virtual ~RequestReader();
};

// RequestReader over the page's Request object (IRequest::BinaryRead).
class DRAV_EXPORT RequestWrapper : public RequestReader {
public:
  // Queries IRequest on `request` (holding that reference until destruction)
  // and reads the body length once. Without IRequest, or when the length
  // cannot be read, the total size is 0 and nothing is read. Takes `allocator`
  // over (deleted with the wrapper; may be null, but then nothing is read).
  // An extraBlobSize beyond 32 bits is refused with DRAVException.
  RequestWrapper(IDispatch* request, unsigned long extraBlobSize, HTTPBufferAllocator* allocator);
  RequestWrapper(const RequestWrapper&) = delete;
  RequestWrapper& operator=(const RequestWrapper&) = delete;
  ~RequestWrapper() override;

  // The body length as the host reported it.
  unsigned long GetTotalSize() const override { return totalSize_; }
  // The extra blob size given at construction; no header is read here.
  unsigned long GetExtraBlobSize() const override { return extraBlobSize_; }
  // Asks the host for min(maxSize, what remains) bytes (0 after the end) and
  // hands out what it delivered. False when BinaryRead fails or delivers no
  // one-dimensional byte array, and when there is no request or allocator.
  // What the allocator throws passes through (the delivered array is released).
  bool ReadBufferChunk(unsigned char*& buffer, unsigned long maxSize, unsigned long& readSize) override;

  // Body bytes handed out so far.
  unsigned long GetBytesRead() const { return bytesRead_; }

private:
  IRequest* request_ = nullptr;
  std::unique_ptr<HTTPBufferAllocator> allocator_;
  std::uint32_t totalSize_ = 0;
  std::uint32_t bytesRead_ = 0;
  std::uint32_t extraBlobSize_;
};

}  // namespace IIS
}  // namespace DRAVHelpers
