#include <drav/compression/compression.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/compression/deflate.h>
#include <drav/compression/inflate.h>
#include <drav/compression/payoff.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

namespace DRAVCompression {

namespace {

constexpr std::uint32_t kDefaultThreshold = 64000;

// Deflate cannot expand more than 1032:1 (one 258-byte match per two bits);
// a header announcing more than that is lying and must not size a buffer.
constexpr std::uint64_t kMaxInflateRatio = 1032;
constexpr std::uint64_t kInflateSlack = 64;

// Allocations the C library always maps as pages of their own.
constexpr std::size_t kMappedOnItsOwn = std::size_t(32) << 20;

[[noreturn]] void failCompression(int code) {
  throw DRAVCompressionException("ERROR during data compression : " + DRAVReturnCode(code).toString());
}

[[noreturn]] void failUncompression(int code) {
  throw DRAVCompressionException("ERROR during data uncompression : " + DRAVReturnCode(code).toString());
}

std::uint32_t checkedLength(const unsigned char* data, unsigned long length, const char* what) {
  std::uint32_t checked = DRAV::detail::toWireULong(length, what);
  if (!data && checked != 0)
    throw DRAVException(std::string(what) + " of " + std::to_string(checked) + " bytes has no data");
  return checked;
}

// A copy the object owns; empty payloads own no buffer.
unsigned char* copyOf(const unsigned char* data, std::uint32_t length) {
  if (length == 0) return nullptr;
  unsigned char* copy = new unsigned char[length];
  std::memcpy(copy, data, length);
  return copy;
}

// Negative when the stored form is the larger; 0 for an empty payload.
double rateOf(std::uint32_t plainLength, std::uint32_t storedLength) {
  if (plainLength == 0) return 0.0;
  return (static_cast<double>(plainLength) - static_cast<double>(storedLength)) / plainLength * 100.0;
}

// Asked before the buffer is allocated; null is no bound.
void charge(DRAVDecodeBudget* budget, std::uint32_t bytes, const char* what) {
  if (!budget || budget->tryCharge(bytes)) return;
  throw DRAVCompressionException("decode budget exceeded: " + std::string(what) + " " + std::to_string(bytes) +
                                 " bytes, " + std::to_string(budget->limit() - budget->used()) + " left");
}

bool isSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The announced length, read as atol would (blanks, one sign, digits up to the
// first non-digit) but without overflow: only 0 to 2^32 - 1 fits.
void parseAnnouncedLength(const unsigned char* text, std::size_t size, DRAVUncompressedData::HeaderInfo& info) {
  std::size_t i = 0;
  while (i < size && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t value = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 0xFFFFFFFFu) break;
  }
  info.plainLengthFits = value <= 0xFFFFFFFFu && !(negative && value != 0);
  info.plainLength = info.plainLengthFits ? static_cast<unsigned long>(value) : 0;
}

// A small payload that already looks compressed would be misread by the
// receiver; compressing it is the only stored form that reads back as itself.
bool storesCompressed(const unsigned char* data, unsigned long length) {
  return DRAVCompressedData::isDataToCompress(data, length) || DRAVUncompressedData::isDataCompressed(data, length);
}

}  // namespace

// ---- DRAVCompressionException, DRAVReturnCode ----

// Out of line so the class has one home for its vtable.
DRAVCompressionException::~DRAVCompressionException() = default;

std::string DRAVReturnCode::toString() const {
  switch (code_) {
    case Z_OK: return "Z_OK";
    case Z_STREAM_END: return "Z_STREAM_END";
    case Z_NEED_DICT: return "Z_NEED_DICT";
    case Z_ERRNO: return "Z_ERRNO";
    case Z_STREAM_ERROR: return "Z_STREAM_ERROR";
    case Z_DATA_ERROR: return "Z_DATA_ERROR";
    case Z_MEM_ERROR: return "Z_MEM_ERROR";
    case Z_BUF_ERROR: return "Z_BUF_ERROR";
    case Z_VERSION_ERROR: return "Z_VERSION_ERROR";
    default: return "unknown";
  }
}

bool parseCompressionChoice(const std::string& text, DRAVCompressionChoice& choice) {
  if (text == "auto") choice = DRAVCompressionChoice::WhenItPays;
  else if (text == "always") choice = DRAVCompressionChoice::Always;
  else if (text == "never") choice = DRAVCompressionChoice::Never;
  else return false;
  return true;
}

// ---- DRAVCompressedData ----

std::atomic<std::uint32_t> DRAVCompressedData::_compressionThreshold{kDefaultThreshold};
std::atomic<std::uint8_t> DRAVCompressedData::_compressionChoice{
    static_cast<std::uint8_t>(DRAVCompressionChoice::WhenItPays)};

DRAVCompressedData::DRAVCompressedData(unsigned char*& data, unsigned long& length, bool takeOver) {
  init(data, length, takeOver);
}

DRAVCompressedData::DRAVCompressedData(DRAVDataOutputStream& stream, bool takeOver) {
  unsigned long length = stream.size();
  unsigned char* data = stream.getBuffer(0);
  if (takeOver && !storesCompressed(data, length)) {
    data = stream.detach();
    init(data, length, true);
    return;
  }
  // Compress in place and empty the stream only once that succeeded.
  init(data, length, false);
  if (takeOver) delete[] stream.detach();
}

DRAVCompressedData::DRAVCompressedData(DRAVUncompressedData& plain, bool takeOver) {
  unsigned char* data = plain.getData();
  unsigned long length = plain.getLength();
  // Borrowed bytes belong to whoever lent them: read them, never adopt them.
  const bool adopt = takeOver && plain.ownsData();
  init(data, length, adopt);
  if (takeOver) plain.detach();
}

DRAVCompressedData::DRAVCompressedData(const unsigned char* data, unsigned long length,
                                       DRAVCompressionChoice choice) {
  const std::uint32_t size = checkedLength(data, length, "payload");
  if (isValueToCompress(data, size, choice)) {
    compress(data, size, true);
  } else {
    data_ = copyOf(data, size);
    length_ = size;
  }
}

DRAVCompressedData::DRAVCompressedData(DRAVCompressedData&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      rate_(std::exchange(other.rate_, 0.0)) {}

DRAVCompressedData& DRAVCompressedData::operator=(DRAVCompressedData&& other) noexcept {
  if (this != &other) {
    delete[] data_;
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    rate_ = std::exchange(other.rate_, 0.0);
  }
  return *this;
}

DRAVCompressedData::~DRAVCompressedData() { delete[] data_; }

unsigned char* DRAVCompressedData::detach() {
  length_ = 0;
  return std::exchange(data_, nullptr);
}

void DRAVCompressedData::setCompressionThreshold(unsigned long bytes) {
  std::uint32_t threshold = DRAV::detail::toWireULong(bytes, "compression threshold");
  _compressionThreshold.store(threshold == 0 ? kDefaultThreshold : threshold, std::memory_order_relaxed);
}

unsigned long DRAVCompressedData::getCompressionThreshold() {
  return _compressionThreshold.load(std::memory_order_relaxed);
}

bool DRAVCompressedData::isDataToCompress(const unsigned char*, unsigned long length) {
  return mustBeCompressed(length);
}

bool DRAVCompressedData::mustBeCompressed(unsigned long length) { return length >= getCompressionThreshold(); }

void DRAVCompressedData::setCompressionChoice(DRAVCompressionChoice choice) {
  if (choice == DRAVCompressionChoice::Default) choice = DRAVCompressionChoice::WhenItPays;
  _compressionChoice.store(static_cast<std::uint8_t>(choice), std::memory_order_relaxed);
}

DRAVCompressionChoice DRAVCompressedData::getCompressionChoice() {
  return static_cast<DRAVCompressionChoice>(_compressionChoice.load(std::memory_order_relaxed));
}

bool DRAVCompressedData::isValueToCompress(const unsigned char* data, unsigned long length,
                                           DRAVCompressionChoice choice) {
  if (DRAVUncompressedData::isDataCompressed(data, length)) return true;
  if (!mustBeCompressed(length)) return false;
  switch (choice == DRAVCompressionChoice::Default ? getCompressionChoice() : choice) {
    case DRAVCompressionChoice::Always: return true;
    case DRAVCompressionChoice::Never: return false;
    default: return detail::compressionPays(data, length);
  }
}

// On failure the caller's buffer stays the caller's, whatever takeOver says.
void DRAVCompressedData::init(unsigned char*& data, unsigned long& length, bool takeOver) {
  const std::uint32_t size = checkedLength(data, length, "payload");
  if (storesCompressed(data, size)) {
    compress(data, size);
    if (takeOver) delete[] data;
  } else if (takeOver) {
    data_ = data;
    length_ = size;
  } else {
    data_ = copyOf(data, size);
    length_ = size;
  }
  if (takeOver) {
    data = nullptr;
    length = 0;
  }
}

void DRAVCompressedData::compress(const unsigned char* data, unsigned long length, bool fast) {
  const std::string header = buildPrivateHeader(length);
  detail::Deflater deflater(fast ? detail::Effort::Fast : detail::Effort::Thorough);
  // Room for the worst case, so a stored form never fails for lack of space;
  // capped so that the whole stored form still counts in 32 bits.
  const std::uint64_t maxRoom = 0xFFFFFFFFu - header.size();
  const std::size_t room = static_cast<std::size_t>(std::min(deflater.bound(static_cast<std::uint32_t>(length)), maxRoom));
  const std::size_t capacity = header.size() + room;
  std::unique_ptr<unsigned char[]> out(new unsigned char[capacity]);
  std::memcpy(out.get(), header.data(), header.size());

  std::size_t produced = 0;
  int code = deflater.deflate(out.get() + header.size(), room, produced, data, static_cast<std::uint32_t>(length));
  if (code != Z_OK) failCompression(code);

  const std::size_t stored = header.size() + produced;
  // Worst-case room is mostly unused for compressible data; give it back
  // when more than half would sit idle (the copy costs far less than
  // deflate). Not from a buffer the allocator maps on its own (glibc does
  // from 32 MiB on at the latest): its untouched pages hold no memory, and a
  // copy would hold the stored form twice meanwhile.
  if (stored < capacity / 2 && capacity < kMappedOnItsOwn) {
    std::unique_ptr<unsigned char[]> fitted(new unsigned char[stored]);
    std::memcpy(fitted.get(), out.get(), stored);
    out = std::move(fitted);
  }
  data_ = out.release();
  length_ = static_cast<unsigned long>(stored);
  rate_ = rateOf(static_cast<std::uint32_t>(length), static_cast<std::uint32_t>(stored));
}

// Lengths of 2^31 and more are written without a sign, unlike a 32-bit "%ld".
std::string DRAVCompressedData::buildPrivateHeader(unsigned long length) {
  return detail::kHeaderMarker + std::to_string(length) + "]";
}

// ---- DRAVUncompressedData ----

DRAVUncompressedData::DRAVUncompressedData(const unsigned char* data, unsigned long length, bool copy) {
  init(data, length, copy, nullptr);
}

DRAVUncompressedData::DRAVUncompressedData(const unsigned char* data, unsigned long length, bool copy,
                                           DRAVDecodeBudget* budget) {
  init(data, length, copy, budget);
}

DRAVUncompressedData::DRAVUncompressedData(const DRAVDataInputStream& stream, bool copy) {
  init(stream.data(), stream.size(), copy, nullptr);
}

DRAVUncompressedData::DRAVUncompressedData(const DRAVCompressedData& stored, bool copy) {
  init(stored.getData(), stored.getLength(), copy, nullptr);
}

DRAVUncompressedData::DRAVUncompressedData(DRAVUncompressedData&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      rate_(std::exchange(other.rate_, 0.0)),
      owns_(std::exchange(other.owns_, false)) {}

DRAVUncompressedData& DRAVUncompressedData::operator=(DRAVUncompressedData&& other) noexcept {
  if (this != &other) {
    if (owns_) delete[] data_;
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
    rate_ = std::exchange(other.rate_, 0.0);
    owns_ = std::exchange(other.owns_, false);
  }
  return *this;
}

DRAVUncompressedData::~DRAVUncompressedData() {
  if (owns_) delete[] data_;
}

unsigned char* DRAVUncompressedData::detach() {
  length_ = 0;
  return std::exchange(data_, nullptr);
}

bool DRAVUncompressedData::isDataCompressed(const unsigned char* data, unsigned long length) {
  HeaderInfo info;
  retrieveHeaderInfo(data, length, info);
  return info.headerLength != 0;
}

void DRAVUncompressedData::init(const unsigned char* data, unsigned long length, bool copy,
                                DRAVDecodeBudget* budget) {
  const std::uint32_t size = checkedLength(data, length, "stored payload");
  HeaderInfo info;
  retrieveHeaderInfo(data, size, info);
  if (info.headerLength != 0) {
    uncompress(data, size, info, budget);
  } else {
    if (copy) charge(budget, size, "copying the payload takes");
    data_ = copy ? copyOf(data, size) : const_cast<unsigned char*>(data);
    length_ = size;
    owns_ = copy;
  }
}

// `info` is left as it was when there is no complete header.
void DRAVUncompressedData::retrieveHeaderInfo(const unsigned char* data, unsigned long length, HeaderInfo& info) {
  const unsigned long markerLength = detail::kHeaderMarkerLength;
  if (!data || length < markerLength || std::memcmp(data, detail::kHeaderMarker, markerLength) != 0) return;
  const unsigned char* digits = data + markerLength;
  const void* close = std::memchr(digits, ']', length - markerLength);
  if (!close) return;
  // The zlib stream starts right after "]", whatever the digits hold.
  const std::size_t digitCount = static_cast<const unsigned char*>(close) - digits;
  info.headerLength = static_cast<unsigned long>(markerLength + digitCount + 1);
  parseAnnouncedLength(digits, digitCount, info);
}

// The plain length a header announces, once it proved possible for the
// stream behind it and was charged to the budget.
std::uint32_t DRAVUncompressedData::plainLengthToInflate(unsigned long length, const HeaderInfo& info,
                                                         DRAVDecodeBudget* budget) {
  const std::uint64_t streamBytes = length - info.headerLength;
  if (!info.plainLengthFits || info.plainLength > streamBytes * kMaxInflateRatio + kInflateSlack)
    failUncompression(Z_DATA_ERROR);
  const std::uint32_t plainLength = static_cast<std::uint32_t>(info.plainLength);
  charge(budget, plainLength, "the payload announces");
  return plainLength;
}

void DRAVUncompressedData::uncompress(const unsigned char* data, unsigned long length, const HeaderInfo& info,
                                      DRAVDecodeBudget* budget) {
  const std::uint32_t plainLength = plainLengthToInflate(length, info, budget);
  std::unique_ptr<unsigned char[]> out(plainLength ? new unsigned char[plainLength] : nullptr);
  int code = detail::inflateExactly(out.get(), plainLength, data + info.headerLength, length - info.headerLength);
  if (code != Z_OK) failUncompression(code);

  data_ = out.release();
  length_ = plainLength;
  owns_ = true;
  rate_ = rateOf(plainLength, static_cast<std::uint32_t>(length));
}

std::vector<unsigned char> DRAVUncompressedData::toPlainVector(const unsigned char* data, unsigned long length,
                                                               DRAVDecodeBudget* budget) {
  const std::uint32_t size = checkedLength(data, length, "stored payload");
  HeaderInfo info;
  retrieveHeaderInfo(data, size, info);
  if (info.headerLength == 0) {
    charge(budget, size, "copying the payload takes");
    return std::vector<unsigned char>(data, data + size);
  }
  std::vector<unsigned char> plain(plainLengthToInflate(size, info, budget));
  int code = detail::inflateExactly(plain.data(), static_cast<std::uint32_t>(plain.size()), data + info.headerLength,
                                    size - info.headerLength);
  if (code != Z_OK) failUncompression(code);
  return plain;
}

}  // namespace DRAVCompression
