#include <drav/serialization/output_stream.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>

#include <algorithm>
#include <cstdint>
#include <functional>

namespace {
constexpr std::size_t kMaxStreamSize = 0xFFFFFFFFu;  // sizes travel in 32 bits
}

DRAVOutputStream::~DRAVOutputStream() = default;

void DRAVOutputStream::writeFloat(float value) {
  static_assert(sizeof(float) == 4, "IEEE 754 single precision expected");
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  put32(bits);
}

void DRAVOutputStream::writeDouble(double value) {
  static_assert(sizeof(double) == 8, "IEEE 754 double precision expected");
  std::uint64_t bits;
  std::memcpy(&bits, &value, 8);
  put32(static_cast<std::uint32_t>(bits >> 32));
  put32(static_cast<std::uint32_t>(bits));
}

void DRAVOutputStream::writeBytesSlowly(const char* data, unsigned long length) {
  const std::uint32_t wireLength = DRAV::detail::toWireULong(length, "byte block length");
  // Writing the length may move the stream's memory; bytes taken from that
  // memory are found again at the same offset.
  const std::ptrdiff_t ownOffset = offsetInOwnBytes(data);
  put32(wireLength);
  if (ownOffset >= 0) data = reinterpret_cast<const char*>(next_) - size() + ownOffset;
  if (length) write(data, length);
}

// Streams over contiguous memory hold their size() bytes just before next_.
std::ptrdiff_t DRAVOutputStream::offsetInOwnBytes(const char* data) const {
  if (!next_ || !data) return -1;
  const char* end = reinterpret_cast<const char*>(next_);
  const char* begin = end - size();
  std::less<const char*> before;  // a total order for pointers into any object
  return !before(data, begin) && before(data, end) ? data - begin : -1;
}

void DRAVOutputStream::writeTextSlowly(const char* text, std::size_t size) {
  if (size >= kMaxStreamSize) throw DRAVException("string too long for the wire: " + std::to_string(size) + " bytes");
  put32(static_cast<std::uint32_t>(size + 1));
  write(text, static_cast<unsigned long>(size));
  put8(0);
}

DRAVDataOutputStream::DRAVDataOutputStream(unsigned long growthHint) : growthHint_(growthHint) {
  growFor(growthHint > 0 ? std::uint64_t{growthHint} + 1 : 1);  // the hint and the marker
  *next_++ = DRAV::hostByteOrderMarker();
}

DRAVDataOutputStream::~DRAVDataOutputStream() = default;

void DRAVDataOutputStream::write(char byte) {
  if (next_ == limit_) growFor(1);
  *next_++ = static_cast<unsigned char>(byte);
}

void DRAVDataOutputStream::write(const char* data, unsigned long length) {
  if (length == 0) return;
  if (static_cast<unsigned long>(limit_ - next_) < length) {
    // Growing frees the old buffer: bytes taken from it are found again at the same offset.
    const std::ptrdiff_t ownOffset = offsetInOwnBytes(data);
    growFor(length);
    if (ownOffset >= 0) data = reinterpret_cast<const char*>(buffer_.get()) + ownOffset;
  }
  std::memcpy(next_, data, length);
  next_ += length;
}

void DRAVDataOutputStream::reserve(unsigned long capacity) {
  std::size_t held = size();
  if (capacity > held) growFor(capacity - held);
}

// Grows geometrically so appending n bytes costs O(n) in all; a request for
// more than doubling gets exactly what it asks for.
void DRAVDataOutputStream::growFor(std::uint64_t extra) {
  std::size_t held = buffer_ ? static_cast<std::size_t>(next_ - buffer_.get()) : 0;
  if (capacity_ - held >= extra) return;
  if (extra > kMaxStreamSize - held)
    throw DRAVException("output stream would exceed 4 GiB - 1 bytes");
  std::size_t wanted = held + static_cast<std::size_t>(extra);
  std::size_t target = std::max<std::size_t>({wanted, capacity_ + capacity_ / 2, 256});
  target = std::min(target, kMaxStreamSize);
  std::unique_ptr<unsigned char[]> grown(new unsigned char[target]);
  if (held) std::memcpy(grown.get(), buffer_.get(), held);
  buffer_ = std::move(grown);
  capacity_ = target;
  growthHint_ = static_cast<unsigned long>(target);
  next_ = buffer_.get() + held;
  limit_ = buffer_.get() + capacity_;
}

// Hands over the buffer itself (allocated with new[]): no copy of a large body.
unsigned char* DRAVDataOutputStream::detach() {
  if (!buffer_) return new unsigned char[1];
  capacity_ = 0;
  next_ = limit_ = nullptr;
  return buffer_.release();
}
