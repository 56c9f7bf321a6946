// Writing the answer of an IIS page through the page's Response object:
// raw chunks, the head of a streamed binary value, and the invocation status,
// each sent at once (the wrapper turns response buffering off). Not
// thread-safe: one response, one thread.
#pragma once

#include <drav/export.h>
#include <drav/platform/asp.h>
#include <drav/platform/win32.h>
#include <drav/serialization/invocation_status.h>

namespace DRAVHelpers {
namespace IIS {

// Writes a call's answer through the page's Response object, unbuffered.
class DRAV_EXPORT ResponseWrapper {
public:
  // Queries IResponse on `response` (holding that reference until
  // destruction) and turns buffering off. Without IResponse every write
  // returns false.
  explicit ResponseWrapper(IDispatch* response);
  ResponseWrapper(const ResponseWrapper&) = delete;
  ResponseWrapper& operator=(const ResponseWrapper&) = delete;
  ~ResponseWrapper();

  // Each returns true when IResponse::BinaryWrite succeeded.
  // `size` bytes of `data` as they are (data is only read), handed to
  // BinaryWrite in place, not copied. Null data with a size is refused
  // (false); a size beyond 32 bits throws DRAVException.
  bool WriteBufferChunk(unsigned char* data, unsigned long size);
  // The head of a binary value of `size` bytes: marker, tag 3, size (7 bytes);
  // the value's bytes follow in later WriteBufferChunk calls.
  bool WriteBufferSize(unsigned long size);
  // The status, serialized without a leading marker so that it continues the
  // body the results began. False, and nothing written, for a VARIANT that
  // holds no status.
  bool WriteStatus(const DRAVInvocation::Bridge::StatusWrapper& status);

private:
  IResponse* response_ = nullptr;
};

}  // namespace IIS
}  // namespace DRAVHelpers
