// Output side of the wire encoding: the abstract byte sink with its typed
// writers, and the memory stream that collects a message body.
//
// Every multi-byte number goes out most significant byte first, whatever the
// host. Lengths, counts and 32-bit integers are 32 bits on every host: a long
// or unsigned long that does not fit is refused with DRAVException.
#pragma once

#include <drav/common/wire_width.h>
#include <drav/export.h>
#include <drav/platform/glossa.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace DRAV {
// 0x01 when this host stores integers least significant byte first.
inline unsigned char hostByteOrderMarker() {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first;
}
}  // namespace DRAV

class DRAV_EXPORT DRAVOutputStream {
public:
  DRAVOutputStream() = default;
  DRAVOutputStream(const DRAVOutputStream&) = delete;
  DRAVOutputStream& operator=(const DRAVOutputStream&) = delete;
  virtual ~DRAVOutputStream();

  virtual unsigned long size() const = 0;                       // bytes held so far
  virtual void write(char byte) = 0;
  virtual void write(const char* data, unsigned long length) = 0;  // data: read only, not kept

  void writeByte(unsigned char value) { put8(value); }
  void writeChar(char value) { put8(static_cast<unsigned char>(value)); }
  void writeBool(bool value) { put8(value ? 1 : 0); }
  void writeShort(short value) { put16(static_cast<std::uint16_t>(value)); }
  void writeUShort(unsigned short value) { put16(value); }
  void writeLong(long value) {  // also for int
    put32(static_cast<std::uint32_t>(DRAV::detail::toWireLong(value, "long value")));
  }
  void writeULong(unsigned long value) {  // also for unsigned int, lengths and counts
    put32(DRAV::detail::toWireULong(value, "unsigned long value"));
  }
  void writeFloat(float value);
  void writeDouble(double value);
  // A byte block: the 32-bit length, then the bytes.
  void writeBytes(const char* data, unsigned long length) {
    // Room in the buffer also proves the length fits 32 bits (buffers do).
    if (length != 0 && hasRoom(4, length)) {
      storeBE32(next_, static_cast<std::uint32_t>(length));
      std::memcpy(next_ + 4, data, length);
      next_ += 4 + length;
    } else {
      writeBytesSlowly(data, length);
    }
  }
  // A string: a block of size + 1 bytes, the text and one 0x00.
  void writeString(const std::string& value) { writeText(value.data(), value.size()); }
  void writeUTF8String(const zu_utf8string& value) { writeText(value.str().data(), value.str().size()); }

protected:
  // Streams over contiguous memory publish their free space here so the
  // typed writers can store without a virtual call; the others leave it empty.
  // Such a stream holds its size() bytes just before next_.
  unsigned char* next_ = nullptr;
  unsigned char* limit_ = nullptr;

  // Where `data` lies within the bytes this stream holds, or -1 when outside
  // them: a stream may be asked to append its own bytes to itself.
  std::ptrdiff_t offsetInOwnBytes(const char* data) const;

private:
  // A value stores its tag and a fixed-size payload straight into the
  // buffer after one check of the room (storeBE16/32, hasRoom, next_).
  friend class DRAVVar;

  void put8(unsigned char byte) {
    if (next_ != limit_) *next_++ = byte;
    else write(static_cast<char>(byte));
  }
  // Numbers are stored byte by byte straight into the buffer: staging them in
  // a small array and copying that would reload bytes just stored one at a
  // time, which the processor cannot forward (it cost a third of encoding).
  static void storeBE16(unsigned char* at, std::uint16_t v) {
    at[0] = static_cast<unsigned char>(v >> 8);
    at[1] = static_cast<unsigned char>(v);
  }
  static void storeBE32(unsigned char* at, std::uint32_t v) {
    at[0] = static_cast<unsigned char>(v >> 24);
    at[1] = static_cast<unsigned char>(v >> 16);
    at[2] = static_cast<unsigned char>(v >> 8);
    at[3] = static_cast<unsigned char>(v);
  }
  bool hasRoom(std::size_t n) const { return static_cast<std::size_t>(limit_ - next_) >= n; }
  // Room for `head` bytes and then `n` more, without overflow for any n.
  bool hasRoom(std::size_t head, std::size_t n) const {
    return hasRoom(head) && n <= static_cast<std::size_t>(limit_ - next_) - head;
  }
  void put16(std::uint16_t v) {
    if (hasRoom(2)) {
      storeBE16(next_, v);
      next_ += 2;
    } else {
      unsigned char b[2];
      storeBE16(b, v);
      write(reinterpret_cast<const char*>(b), 2);
    }
  }
  void put32(std::uint32_t v) {
    if (hasRoom(4)) {
      storeBE32(next_, v);
      next_ += 4;
    } else {
      unsigned char b[4];
      storeBE32(b, v);
      write(reinterpret_cast<const char*>(b), 4);
    }
  }
  void writeText(const char* text, std::size_t size) {
    if (hasRoom(5, size)) {  // as for writeBytes: the length then fits 32 bits
      storeBE32(next_, static_cast<std::uint32_t>(size + 1));
      std::memcpy(next_ + 4, text, size);
      next_[4 + size] = 0;
      next_ += size + 5;
    } else {
      writeTextSlowly(text, size);
    }
  }
  void writeBytesSlowly(const char* data, unsigned long length);
  void writeTextSlowly(const char* text, std::size_t size);
};

// The memory output stream. Its first byte is the byte-order marker (0x01 on
// a host that stores integers least significant byte first, else 0x00),
// counted by size(); values follow from the second byte on.
class DRAV_EXPORT DRAVDataOutputStream : public DRAVOutputStream {
public:
  // growthHint > 0 reserves growthHint + 1 bytes up front; 0 is the usual value.
  explicit DRAVDataOutputStream(unsigned long growthHint = 0);
  ~DRAVDataOutputStream() override;

  unsigned long size() const override { return buffer_ ? static_cast<unsigned long>(next_ - buffer_.get()) : 0; }
  void write(char byte) override;
  void write(const char* data, unsigned long length) override;

  // Makes room for at least `capacity` bytes in all (not beyond the current size).
  void reserve(unsigned long capacity);
  // The byte at `offset`; valid until the next write. getBuffer(0) is the marker.
  unsigned char* getBuffer(unsigned long offset) { return buffer_.get() + offset; }
  const unsigned char* getBuffer(unsigned long offset) const { return buffer_.get() + offset; }
  // The whole content, marker included, as an array the caller frees with
  // delete[]; the stream is left empty (size() 0, no marker). Read size() first.
  unsigned char* detach();
  // Empties the stream for the next message, keeping its memory; the marker
  // is written again.
  void reset() {
    if (!buffer_) growFor(1);
    next_ = buffer_.get();
    *next_++ = DRAV::hostByteOrderMarker();
  }
  // Informational: the last capacity target chosen when the buffer grew.
  unsigned long growthHint() const { return growthHint_; }

private:
  // Counted in 64 bits, so that a request near 4 GiB cannot wrap to a small one.
  void growFor(std::uint64_t extra);

  unsigned long growthHint_;
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t capacity_ = 0;
};

// The second concrete stream role, used for nested objects: the same stream.
using DRAVObjectOutputStream = DRAVDataOutputStream;

