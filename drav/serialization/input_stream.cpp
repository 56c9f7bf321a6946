#include <drav/serialization/input_stream.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/serialization/output_stream.h>

#include <cstring>

void DRAVInputStream::refuseTruncated(const char* what, unsigned long wanted) const {
  throw DRAVException(std::string("truncated data: ") + what + " needs " + std::to_string(wanted) +
                      " bytes, " + std::to_string(remaining()) + " left");
}

void DRAVInputStream::refuseOverBudget(std::uint64_t bytes, const char* what) const {
  throw DRAVException(std::string("decode budget exceeded: ") + what + " needs " + std::to_string(bytes) + " bytes, " +
                      std::to_string(budget_->limit() - budget_->used()) + " of " + std::to_string(budget_->limit()) +
                      " left");
}

DRAVInputStream::DRAVInputStream(const unsigned char* data, unsigned long length)
    : data_(data), length_(data ? length : 0), hostLittleEndian_(DRAV::hostByteOrderMarker() == 1) {
  if (DRAV::detail::exceedsUInt32(length_))
    throw DRAVException("input data longer than 4 GiB - 1 bytes");
}

DRAVInputStream::~DRAVInputStream() = default;

void DRAVInputStream::readBlock(const unsigned char*& data, unsigned long& length, bool) {
  data = take(length, "a block");
}

int DRAVInputStream::readChar(char& value) {
  unsigned char byte;
  if (readByte(byte) < 0) return -1;
  value = static_cast<char>(byte);
  return 1;
}

int DRAVInputStream::readBool(bool& value) {
  unsigned char byte;
  if (readByte(byte) < 0) return -1;
  value = byte != 0;
  return 1;
}

void DRAVInputStream::readShort(short& value) {
  unsigned short raw;
  readShort(raw);
  value = static_cast<short>(raw);
}


void DRAVInputStream::readFloat(float& value) {
  std::uint32_t bits = read32("a float");
  std::memcpy(&value, &bits, 4);
}


void DRAVInputStream::readText(const char*& text, std::size_t& size) {
  const unsigned char* block;
  unsigned long length;
  readBytes(block, length, false);
  text = nullptr;
  size = 0;
  if (length == 0 || !block) return;
  charge(length, "a string");
  // The block is the text and the NUL the writer ends it with; a block
  // without that NUL is all text. A NUL inside is the text's own: kept, as
  // the writer sent it, never the end of a shorter text.
  text = reinterpret_cast<const char*>(block);
  size = block[length - 1] == 0 ? length - 1 : length;
}

void DRAVInputStream::readString(std::string& value) {
  const char* text;
  std::size_t size;
  readText(text, size);
  if (size == 0) value.clear();
  else value = std::string(text, size);  // construct: cheaper than assign
}

void DRAVInputStream::readUTF8String(zu_utf8string& value) {
  std::string bytes;
  readString(bytes);
  value = zu_utf8string(std::move(bytes));
}

DRAVDataInputStream::DRAVDataInputStream(const unsigned char* data, unsigned long length)
    : DRAVInputStream(data, length) {
  if (length_ > 0) position_ = 1;  // past the byte-order marker
}
