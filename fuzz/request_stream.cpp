// Arbitrary bytes as what a client sends on one kept-alive connection,
// arriving in pieces of arbitrary size: the host's request reader must take
// each head or refuse it with an HTTP error, hand out each body exactly and
// within its limit, never write past the reader's buffer, and end.
//
// Input: byte 0 picks the size of the pieces the bytes arrive in, byte 1 the
// size of the buffer bodies are read into, the rest is the byte stream.
#include "host/server/buffer_pool.h"
#include "host/server/request_stream.h"

#include <drav/host/bridge_handler.h>
#include <drav/host/host_settings.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The client's bytes, at most `piece` of them per read; then the end.
class ScriptedChannel : public DRAVHost::Channel {
public:
  ScriptedChannel(const std::uint8_t* data, std::size_t size, std::size_t piece)
      : data_(data), left_(size), piece_(piece) {}

  std::size_t readSome(void* out, std::size_t size, std::chrono::milliseconds) override {
    const std::size_t n = std::min({size, piece_, left_});
    std::memcpy(out, data_, n);
    data_ += n;
    left_ -= n;
    return n;
  }
  void writeAll(const DRAVHost::ConstPiece*, std::size_t, std::chrono::milliseconds) override {}

private:
  const std::uint8_t* data_;
  std::size_t left_;
  const std::size_t piece_;
};

constexpr std::uint32_t kHeaderLimit = 1024;  // small, so that the limit is met often
constexpr std::uint32_t kBodyLimit = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[0] & 0x80 ? 4096 : data[0] + 1u;
  std::vector<char> body(data[1] + 1u);
  // One guard byte past the reader's buffer: a write there is a fault even
  // where the sanitizer would not see it (the buffer is part of a larger one).
  body.push_back('\x5a');
  const std::size_t room = body.size() - 1;
  ScriptedChannel channel(data + 2, size - 2, piece);
  DRAVHost::HostSettings settings;
  settings.headerLimit = kHeaderLimit;
  settings.bodyLimit = kBodyLimit;
  DRAVHost::BufferPool pool(kHeaderLimit + 4096, 2);
  DRAVHost::RequestStream stream(channel, settings, pool);
  try {
    // Each request takes at least one byte of the input, so this ends.
    for (std::size_t requests = 0; requests <= size; ++requests) {
      stream.beginHead();
      while (!stream.parseHead())
        if (!stream.fill(std::chrono::milliseconds(1))) return 0;
      const DRAVHost::RequestHead& head = stream.head();
      if (head.hasContentLength && head.contentLength > kBodyLimit) std::abort();  // refused with 413 instead
      std::uint64_t total = 0;
      for (std::size_t n; (n = stream.readBody(body.data(), room)) > 0;) {
        if (n > room || body[room] != '\x5a') std::abort();
        total += n;
      }
      if (!stream.bodyComplete() || total != stream.bodyBytesRead() || total > kBodyLimit) std::abort();
      if (head.hasContentLength && total != head.contentLength) std::abort();
      if (!stream.holdsInput() && !stream.fill(std::chrono::milliseconds(1))) return 0;
    }
    std::abort();  // a request that took no byte
  } catch (const DRAVHost::HttpError& e) {
    if (e.status() < 400 || e.status() > 499) std::abort();  // the client's fault, always
  }
  return 0;
}
