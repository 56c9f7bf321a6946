// Arbitrary bytes as the body a host hands out through BinaryRead, in chunks
// of arbitrary sizes: the request wrapper must deliver exactly the body and
// give its reference back; the argument list must read it or refuse it
// cleanly, and what it read must go out through the response wrapper intact.
//
// Input: byte 0 picks the chunk size, byte 1 how much the host delivers per
// read at most (0: all it is asked for), the rest is the body.
#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

// The fake host objects, compiled into this target.
#include "support/fake_asp.cpp"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes readThroughWrapper(const Bytes& body, unsigned long chunk, std::size_t hostLimit) {
  dravtest::FakeRequest request(body);
  request.maxPerRead = hostLimit;
  Bytes got;
  {
    DRAVHelpers::IIS::RequestWrapper wrapper(&request, 0, new DRAVHelpers::IIS::DefaultHTTPBufferAllocator);
    DRAVHelpers::IIS::DefaultHTTPBufferAllocator freeing;
    // Every read before the end delivers at least one byte, so this bounds the loop.
    for (std::size_t calls = 0; calls <= body.size() && wrapper.GetBytesRead() < wrapper.GetTotalSize(); ++calls) {
      unsigned char* buffer = nullptr;
      unsigned long size = 0;
      if (!wrapper.ReadBufferChunk(buffer, chunk, size) || size == 0 || size > chunk) std::abort();
      got.insert(got.end(), buffer, buffer + size);
      freeing.free(buffer, size);
    }
  }
  if (request.refCount() != 1 || request.overReleased()) std::abort();
  return got;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned long chunk = 1 + data[0] % 97;
  const std::size_t hostLimit = data[1] % 5;
  const Bytes body(data + 2, data + size);

  const Bytes received = readThroughWrapper(body, chunk, hostLimit);
  if (received != body) std::abort();

  DRAVArgs args;
  try {
    DRAVDataInputStream in(received.data(), static_cast<unsigned long>(received.size()));
    args.readObject(in);
  } catch (const DRAVException&) {
    return 0;
  } catch (const DRAVCompression::DRAVCompressionException&) {
    return 0;
  }

  DRAVDataOutputStream out;
  try {
    args.writeObject(out);
  } catch (const DRAVException&) {
    return 0;  // a value the wire cannot carry back
  }
  dravtest::FakeResponse response;
  {
    DRAVHelpers::IIS::ResponseWrapper writer(&response);
    if (!writer.WriteBufferChunk(out.getBuffer(0), out.size())) std::abort();
  }
  if (response.sent() != Bytes(out.getBuffer(0), out.getBuffer(0) + out.size()) || response.refCount() != 1)
    std::abort();
  return 0;
}
