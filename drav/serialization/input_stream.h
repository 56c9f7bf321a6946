// Input side of the wire encoding: the buffer reader with its typed readers,
// and the stream over one complete received buffer.
//
// Readers never go past the end of the data: readByte answers -1 there, and
// a multi-byte value, a length or a block the remaining data cannot hold is
// refused with DRAVException ("truncated data ..."), leaving the target as it was.
// A stream may carry a decode budget: copied text is charged to it (its block
// length) before it is allocated, and so is what the decoders above allocate.
#pragma once

#include <drav/export.h>
#include <drav/platform/glossa.h>
#include <drav/serialization/decode_budget.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Reads the wire encoding from a buffer: bytes, integers, texts and blocks, bounds-checked.
class DRAV_EXPORT DRAVInputStream {
public:
  DRAVInputStream(const DRAVInputStream&) = delete;
  DRAVInputStream& operator=(const DRAVInputStream&) = delete;
  virtual ~DRAVInputStream();

  virtual unsigned long size() const { return length_; }
  // Delivers the next `length` bytes (set by the caller) and moves past them.
  // The pointer belongs to the stream and stays valid while the stream's
  // buffer does; callers copy what they keep. `binary` is false for text.
  virtual void readBlock(const unsigned char*& data, unsigned long& length, bool binary);

  int readByte(unsigned char& value) {  // 1, or -1 at the end (value unchanged)
    if (position_ >= length_) return -1;
    value = data_[position_++];
    return 1;
  }
  int readChar(char& value);
  int readBool(bool& value);  // any non-zero byte reads as true
  void readShort(unsigned short& value) {
    const unsigned char* b = take(2, "a 16-bit value");
    value = static_cast<unsigned short>((b[0] << 8) | b[1]);
  }
  void readShort(short& value);
  void readLong(unsigned long& value) { value = read32("a 32-bit value"); }
  void readLong(long& value) { value = static_cast<std::int32_t>(read32("a 32-bit value")); }
  void readLong(unsigned int& value) { value = read32("a 32-bit value"); }
  void readLong(int& value) { value = static_cast<std::int32_t>(read32("a 32-bit value")); }
  void readFloat(float& value);
  void readDouble(double& value) {
    const unsigned char* b = take(8, "a double");
    const std::uint64_t bits = (std::uint64_t(loadBE32(b)) << 32) | loadBE32(b + 4);
    std::memcpy(&value, &bits, 8);
  }
  // A byte block: data is null when the length is 0 (readBlock not called).
  void readBytes(const unsigned char*& data, unsigned long& length, bool binary) {
    data = nullptr;
    unsigned long blockLength = read32("a block length");
    // Refuse before the block reader sees a length the data cannot hold.
    if (blockLength > size() - position_) refuseTruncated("a block", blockLength);
    length = blockLength;
    if (length != 0) readBlock(data, length, binary);
  }
  // Text ends at the first 0x00 of the block.
  void readString(std::string& value);
  void readUTF8String(zu_utf8string& value);
  // The next text as it lies in the stream (valid as readBlock's blocks are),
  // charged to the budget as readString charges it; null when empty.
  void readText(const char*& text, std::size_t& size);

  const unsigned char* data() const { return data_; }
  unsigned long position() const { return position_; }
  unsigned long remaining() const { return length_ - position_; }
  bool hostIsLittleEndian() const { return hostLittleEndian_; }

  // What decoding from this stream may allocate; null (the default) is
  // unbounded. Not owned: must outlive the reads. Copied by nothing.
  void setBudget(DRAVDecodeBudget* budget) { budget_ = budget; }
  DRAVDecodeBudget* budget() const { return budget_; }
  // Decoders call this before they allocate `bytes` for `what` (a short noun:
  // "a string"). Over budget: DRAVException "decode budget exceeded: <what>
  // needs N bytes, M of L left", and the budget says exceeded().
  void charge(std::uint64_t bytes, const char* what) {
    if (budget_ && !budget_->tryCharge(bytes)) refuseOverBudget(bytes, what);
  }

protected:
  // data: not owned; must outlive the stream. length must fit 32 bits.
  DRAVInputStream(const unsigned char* data, unsigned long length);

  const unsigned char* data_;
  unsigned long length_;
  unsigned long position_ = 0;
  bool hostLittleEndian_;
  DRAVDecodeBudget* budget_ = nullptr;

private:
  // A value reads its tag and a fixed-size payload straight from the buffer
  // after one check of what is left (data_, position_, take, loadBE32).
  friend class DRAVVar;

  const unsigned char* take(unsigned long count, const char* what) {
    if (count > length_ - position_) refuseTruncated(what, count);
    const unsigned char* at = data_ + position_;
    position_ += count;
    return at;
  }
  static std::uint32_t loadBE32(const unsigned char* b) {
    return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
  }
  std::uint32_t read32(const char* what) { return loadBE32(take(4, what)); }
  [[noreturn]] void refuseTruncated(const char* what, unsigned long wanted) const;
  [[noreturn]] void refuseOverBudget(std::uint64_t bytes, const char* what) const;
};

// Reads a whole buffer as a DRAVDataOutputStream produced it: the first byte
// (the byte-order marker) is skipped, values are read from the second on.
class DRAV_EXPORT DRAVDataInputStream : public DRAVInputStream {
public:
  // data: borrowed, must outlive the stream and the blocks it hands out.
  // A buffer longer than 4 GiB - 1 bytes is refused with DRAVException.
  DRAVDataInputStream(const unsigned char* data, unsigned long length);
};
