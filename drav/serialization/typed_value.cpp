#include <drav/serialization/typed_value.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/compression/compression.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/size_calculator.h>
#include <drav/serialization/value_framing.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

using ByteArray = DRAVTypes::DRAVArray<unsigned char>;

[[noreturn]] void refuse(const char* expected) {
  throw DRAVException(std::string("wrong argument type : ") + expected + " expected");
}

// The bytes of a stored binary value: decompressed when the block carries the
// compression header, else copied. Either is charged to the stream's budget first.
ByteArray binaryFromBlock(DRAVInputStream& in, const unsigned char* data, unsigned long length) {
  if (data && DRAVCompression::DRAVUncompressedData::isDataCompressed(data, length)) {
    DRAVCompression::DRAVUncompressedData plain(data, length, true, in.budget());
    unsigned long plainLength = plain.getLength();
    return ByteArray::adopt(plain.detach(), plainLength);
  }
  in.charge(length, "a binary value");
  return ByteArray(const_cast<unsigned char*>(data), length, true);
}

// The payload of a fixed-size kind: its width in bytes, and the words that
// refuse a truncated one. Other kinds have width 0.
struct FixedPayload {
  unsigned long width;
  const char* what;
};

// By tag, up to the last kind; tags above it have no payload either.
constexpr FixedPayload kFixedPayloads[] = {
    {0, nullptr},               // Empty
    {4, "a 32-bit value"},      // Int
    {0, nullptr},               // String
    {0, nullptr},               // BinaryArray
    {0, nullptr},               // UTF8String
    {1, "a 1-byte value"},      // Bool
    {2, "a 16-bit value"},      // Short
    {4, "a 32-bit value"},      // Long
    {8, "a double"},            // Double
    {4, "a float"},             // Float
    {1, "a 1-byte value"},      // UChar
    {1, "a 1-byte value"},      // Char
    {2, "a 16-bit value"},      // UShort
    {4, "a 32-bit value"},      // ULong
    {4, "a 32-bit value"},      // UInt
    {0, nullptr},               // Object
    {0, nullptr},               // TypedObject
};
static_assert(sizeof kFixedPayloads / sizeof kFixedPayloads[0] == DRAVVar::TypedObject + 1, "one entry per kind");

FixedPayload fixedPayload(unsigned char tag) {
  return tag <= DRAVVar::TypedObject ? kFixedPayloads[tag] : FixedPayload{0, nullptr};
}

}  // namespace

unsigned long DRAV::detail::fixedPayloadWidth(unsigned long tag) {
  return tag <= DRAVVar::TypedObject ? kFixedPayloads[tag].width : 0;
}

bool DRAV::detail::carriesBlock(unsigned long tag) {
  switch (tag) {
    case DRAVVar::String:
    case DRAVVar::UTF8String:
    case DRAVVar::BinaryArray:
    case DRAVVar::Object:
    case DRAVVar::TypedObject: return true;
    default: return false;
  }
}

DRAVVar::DRAVVar(int value) : type_(Int) { value_.i32 = value; }
DRAVVar::DRAVVar(const std::string& value) { setText(String, value.data(), value.size()); }
DRAVVar::DRAVVar(const char* text) {
  if (text) setText(String, text, std::strlen(text));
  else setText(String, "", 0);
}
DRAVVar::DRAVVar(DRAVTypes::DRAVArray<unsigned char>* array) : type_(BinaryArray) {
  if (array && !array->getData() && array->getLength()) {
    const unsigned long length = array->getLength();
    delete array;  // taken over, even when refused
    throw DRAVException("binary value of " + std::to_string(length) + " bytes has no data");
  }
  if (array) {
    new (&value_.bytes) ByteArray(std::move(*array));
    delete array;
  } else {
    new (&value_.bytes) ByteArray(nullptr, 0, true);
  }
}
DRAVVar::DRAVVar(const zu_utf8string& value) { setText(UTF8String, value.str().data(), value.str().size()); }
DRAVVar::DRAVVar(bool value) : type_(Bool) { value_.u8 = value ? 1 : 0; }
DRAVVar::DRAVVar(short value) : type_(Short) { value_.i16 = value; }
DRAVVar::DRAVVar(long value) : type_(Long) { value_.i32 = DRAV::detail::toWireLong(value, "long value"); }
DRAVVar::DRAVVar(double value) : type_(Double) { value_.d = value; }
DRAVVar::DRAVVar(float value) : type_(Float) { value_.f = value; }
DRAVVar::DRAVVar(unsigned char value) : type_(UChar) { value_.u8 = value; }
DRAVVar::DRAVVar(char value) : type_(Char) { value_.i8 = static_cast<std::int8_t>(value); }
DRAVVar::DRAVVar(unsigned short value) : type_(UShort) { value_.u16 = value; }
DRAVVar::DRAVVar(unsigned long value) : type_(ULong) {
  value_.u32 = DRAV::detail::toWireULong(value, "unsigned long value");
}
DRAVVar::DRAVVar(unsigned int value) : type_(UInt) { value_.u32 = value; }

DRAVVar::DRAVVar(const DRAVSerializable* object, bool typed) {
  if (!object) throw DRAVException("cannot store a null object");
  const DRAVTypedSerializable* typedObject = nullptr;
  if (typed) {
    typedObject = dynamic_cast<const DRAVTypedSerializable*>(object);
    if (!typedObject) throw DRAVException("a typed object must be a DRAVTypedSerializable");
  }
  DRAVDataTypedStream sizes;
  DRAVDataOutputStream out(0);
  out.reserve(1 + (typed ? sizes.sizeOfTypedObject(typedObject) : sizes.sizeOfObject(object)));
  if (typed) out.writeULong(typedObject->typeId());
  object->writeObject(out);
  unsigned long length = out.size();
  new (&value_.bytes) ByteArray(ByteArray::adopt(out.detach(), length));
  type_ = typed ? TypedObject : Object;
}

DRAVVar::DRAVVar(const DRAVVar& other) : DRAVSerializable(other) { copyFrom(other); }

DRAVVar::DRAVVar(DRAVVar&& other) noexcept : DRAVSerializable(other) { moveFrom(other); }

DRAVVar& DRAVVar::operator=(const DRAVVar& other) {
  if (this != &other) {
    DRAVVar copy(other);
    clear();
    moveFrom(copy);
  }
  return *this;
}

DRAVVar& DRAVVar::operator=(DRAVVar&& other) noexcept {
  if (this != &other) {
    clear();
    moveFrom(other);
  }
  return *this;
}

void DRAVVar::copyFrom(const DRAVVar& other) {
  if (other.shortText_) copyShortText(other);
  else switch (other.type_) {
    case String: new (&value_.str) std::string(other.value_.str); break;
    case UTF8String: new (&value_.utf8) zu_utf8string(other.value_.utf8); break;
    case BinaryArray:
    case Object:
    case TypedObject: new (&value_.bytes) ByteArray(other.value_.bytes); break;
    default: value_.raw = other.value_.raw; break;
  }
  type_ = other.type_;
}

void DRAVVar::moveFrom(DRAVVar& other) noexcept {
  if (other.shortText_) copyShortText(other);
  else switch (other.type_) {
    case String: new (&value_.str) std::string(std::move(other.value_.str)); break;
    case UTF8String: new (&value_.utf8) zu_utf8string(std::move(other.value_.utf8)); break;
    case BinaryArray:
    case Object:
    case TypedObject: new (&value_.bytes) ByteArray(std::move(other.value_.bytes)); break;
    default: value_.raw = other.value_.raw; break;
  }
  type_ = other.type_;
  other.clear();
}

void DRAVVar::copyShortText(const DRAVVar& other) noexcept {
  std::memcpy(value_.shortText, other.value_.shortText, other.shortSize_);
  shortSize_ = other.shortSize_;
  shortText_ = true;
}

inline void DRAVVar::setText(std::uint32_t type, const char* text, std::size_t size) {
  if (size <= kShortText) {
    if (size) std::memcpy(value_.shortText, text, size);  // an empty text may have no bytes at all
    shortSize_ = static_cast<std::uint8_t>(size);
    shortText_ = true;
  } else if (type == String) {
    new (&value_.str) std::string(text, size);
  } else {
    new (&value_.utf8) zu_utf8string(text, size);
  }
  type_ = type;
}

inline const char* DRAVVar::textData() const {
  if (shortText_) return value_.shortText;
  return type_ == String ? value_.str.data() : value_.utf8.str().data();
}

inline std::size_t DRAVVar::textSize() const {
  if (shortText_) return shortSize_;
  return type_ == String ? value_.str.size() : value_.utf8.str().size();
}

// The object is built aside first: if that throws, the short text is intact.
void DRAVVar::makeTextObject() const {
  if (!shortText_) return;
  if (type_ == String) {
    std::string text(value_.shortText, shortSize_);
    new (&value_.str) std::string(std::move(text));
  } else {
    zu_utf8string text(value_.shortText, shortSize_);
    new (&value_.utf8) zu_utf8string(std::move(text));
  }
  shortText_ = false;
}

void DRAVVar::releaseOwned() noexcept {
  switch (type_) {
    case String: value_.str.~basic_string(); break;
    case UTF8String: value_.utf8.~zu_utf8string(); break;
    default: value_.bytes.~ByteArray(); break;
  }
}

const std::string& DRAVVar::getString() const {
  if (type_ != String) refuse("String");
  makeTextObject();
  return value_.str;
}

const zu_utf8string& DRAVVar::getUTF8String() const {
  if (type_ != UTF8String) refuse("String");
  makeTextObject();
  return value_.utf8;
}

DRAVTypes::DRAVArray<unsigned char>* DRAVVar::getBinaryArray(bool detach) {
  if (type_ != BinaryArray) refuse("BinaryArray");
  if (!detach) return &value_.bytes;
  ByteArray* array = new ByteArray(std::move(value_.bytes));
  clear();
  return array;
}

const DRAVTypes::DRAVArray<unsigned char>& DRAVVar::getObjectBytes() const {
  if (type_ != Object && type_ != TypedObject) refuse("Object");
  return value_.bytes;
}

bool DRAVVar::getBool() const {
  switch (type_) {
    case Int:
    case Long:
    case ULong:
    case UInt: return value_.u32 != 0;
    case Short:
    case UShort: return value_.u16 != 0;
    case Bool:
    case UChar:
    case Char: return value_.u8 != 0;
    default: refuse("Boolean");
  }
}

long DRAVVar::getLong() const {
  switch (type_) {
    case Int:
    case Long: return value_.i32;
    case Short: return value_.i16;
    default: refuse("Integer/Long/Short");
  }
}

int DRAVVar::getInt() const { return static_cast<int>(getLong()); }
short DRAVVar::getShort() const { return static_cast<short>(getLong()); }

unsigned long DRAVVar::getULong() const {
  switch (type_) {
    case ULong:
    case UInt: return value_.u32;
    case UShort: return value_.u16;
    default: refuse("UInt/ULong/UShort");
  }
}

unsigned int DRAVVar::getUInt() const { return static_cast<unsigned int>(getULong()); }
unsigned short DRAVVar::getUShort() const { return static_cast<unsigned short>(getULong()); }

double DRAVVar::getDouble() const {
  switch (type_) {
    case Double: return value_.d;
    case Float: return value_.f;
    default: refuse("Double/Float");
  }
}

float DRAVVar::getFloat() const { return static_cast<float>(getDouble()); }

unsigned char DRAVVar::getUChar() const {
  if (type_ != UChar) refuse("Byte");
  return value_.u8;
}

char DRAVVar::getChar() const {
  if (type_ != Char) refuse("Byte");
  return static_cast<char>(value_.i8);
}

unsigned long DRAVVar::objectSize(DRAVDataTypedStream*) const {
  constexpr unsigned long tag = 2;
  if (holdsText()) return tag + 4 + static_cast<unsigned long>(textSize()) + 1;
  if (holdsBytes()) return tag + 4 + value_.bytes.getLength();
  return tag + fixedPayload(static_cast<unsigned char>(type_)).width;  // empty or unknown: the tag alone
}

// One branch on the kind both sizes and stores the value. What is stored is
// read into locals first where it can be: a byte store may alias any member
// and would make it be read again.
inline unsigned char* DRAVVar::storeWithin(unsigned char* at, std::size_t room) const {
  if (room < kLargestFixedSize) return nullptr;
  const std::uint32_t type = type_;
  unsigned char* const payload = at + 2;
  unsigned char* end = payload;
  switch (type) {
    case Int:
    case Long:
    case ULong:
    case UInt:
      DRAVOutputStream::storeBE32(payload, value_.u32);
      end += 4;
      break;
    case Float: {
      std::uint32_t bits;
      std::memcpy(&bits, &value_.f, 4);
      DRAVOutputStream::storeBE32(payload, bits);
      end += 4;
      break;
    }
    case Short:
    case UShort:
      DRAVOutputStream::storeBE16(payload, value_.u16);
      end += 2;
      break;
    case Bool: *end++ = value_.u8 != 0; break;
    case UChar:
    case Char: *end++ = value_.u8; break;
    case Double: {
      std::uint64_t bits;
      std::memcpy(&bits, &value_.d, 8);
      DRAVOutputStream::storeBE32(payload, static_cast<std::uint32_t>(bits >> 32));
      DRAVOutputStream::storeBE32(payload + 4, static_cast<std::uint32_t>(bits));
      end += 8;
      break;
    }
    case String:
    case UTF8String: {
      const std::size_t size = textSize();
      if (size > room - 7) return nullptr;
      DRAVOutputStream::storeBE32(payload, static_cast<std::uint32_t>(size + 1));
      // Short text is copied as its whole buffer when there is room for it:
      // a copy of fixed size takes no call. What it copies past the text is
      // overwritten by the 0x00 and the values that follow, or lies past the
      // end of what the stream holds.
      if (shortText_ && room - 6 >= kShortText) std::memcpy(payload + 4, value_.shortText, kShortText);
      else std::memcpy(payload + 4, textData(), size);
      payload[4 + size] = 0;
      end += 4 + size + 1;
      break;
    }
    case BinaryArray:
    case Object:
    case TypedObject: {
      const unsigned char* bytes = value_.bytes.getData();
      const unsigned long length = value_.bytes.getLength();
      if (length > room - 6) return nullptr;
      DRAVOutputStream::storeBE32(payload, static_cast<std::uint32_t>(length));
      if (length) std::memcpy(payload + 4, bytes, length);
      end += 4 + length;
      break;
    }
    default: break;  // empty, or a tag this side does not know: the tag alone
  }
  DRAVOutputStream::storeBE16(at, static_cast<std::uint16_t>(type));
  return end;
}

// Without room for the whole value, through the stream's own writers: they
// grow the stream, or check each length against the wire's 32 bits.
void DRAVVar::writeSlowly(DRAVOutputStream& out) const {
  if (holdsText()) {
    out.writeUShort(static_cast<std::uint16_t>(type_));
    out.writeText(textData(), textSize());
  } else if (holdsBytes()) {
    out.writeUShort(static_cast<std::uint16_t>(type_));
    out.writeBytes(reinterpret_cast<const char*>(value_.bytes.getData()), value_.bytes.getLength());
  } else {
    unsigned char staged[kLargestFixedSize];
    const unsigned char* end = storeWithin(staged, sizeof staged);
    out.write(reinterpret_cast<const char*>(staged), static_cast<unsigned long>(end - staged));
  }
}

// A stream over contiguous memory with room for the whole value gets it
// stored in place after one check of that room. Room is never more than a buffer
// holds, and buffers never outgrow the wire's 32-bit lengths. The write
// position stays in locals between values: the stream sees it again only
// around a slow write and at the end.
void DRAVVar::writeValues(const DRAVVar* values, std::size_t count, DRAVOutputStream& out) {
  unsigned char* at = out.next_;
  unsigned char* limit = out.limit_;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* end = values[i].storeWithin(at, static_cast<std::size_t>(limit - at));
    if (end) {
      at = end;
    } else {
      out.next_ = at;
      values[i].writeSlowly(out);
      at = out.next_;
      limit = out.limit_;
    }
  }
  out.next_ = at;
}

void DRAVVar::writeObject(DRAVOutputStream& out) const { writeValues(this, 1, out); }

void DRAVVar::readObject(DRAVInputStream& in) {
  clear();
  readInto(in);
}

// Reads `count` values into values[from] onwards: values already there (kept
// by DRAVArgs::clear) are read over, the rest appended; the caller has
// reserved room for them. On a refusal every value is whole, the refused one
// holding what it held or nothing, for the caller to leave out of the list.
void DRAVVar::readValues(DRAVInputStream& in, std::vector<DRAVVar>& values, std::size_t from, unsigned long count) {
  const std::size_t kept = std::min<std::size_t>(values.size() - from, count);
  for (unsigned long i = 0; i < count; ++i) {
    if (in.remaining() < kSmallestWireSize)
      throw DRAVException("truncated data: value " + std::to_string(i) + " of " + std::to_string(count) +
                          " is missing");
    if (i < kept) {
      values[from + i].readInto(in);
    } else {
      values.emplace_back();
      values.back().readInto(in);
    }
  }
}

inline void DRAVVar::setFixed(unsigned char tag, const unsigned char* payload) {
  switch (tag) {
    case Int:
    case Long:
    case ULong:
    case UInt: value_.u32 = DRAVInputStream::loadBE32(payload); break;
    case Float: {
      const std::uint32_t bits = DRAVInputStream::loadBE32(payload);
      std::memcpy(&value_.f, &bits, 4);
      break;
    }
    case Double: {
      const std::uint64_t bits =
          (std::uint64_t(DRAVInputStream::loadBE32(payload)) << 32) | DRAVInputStream::loadBE32(payload + 4);
      std::memcpy(&value_.d, &bits, 8);
      break;
    }
    case Short:
    case UShort: value_.u16 = static_cast<std::uint16_t>((payload[0] << 8) | payload[1]); break;
    default: value_.u8 = payload[0]; break;  // Bool, UChar, Char
  }
  type_ = tag;
}

// Text goes into the string object of the same kind when the value has one.
inline void DRAVVar::readText(unsigned char tag, const char* text, std::size_t size) {
  if (type_ == tag && !shortText_) {
    std::string& str = tag == String ? value_.str : value_.utf8.bytes();
    if (size != str.size()) str.assign(text, size);
    else if (size) std::memcpy(str.data(), text, size);  // the usual case, without a call
    return;
  }
  clear();
  setText(tag, text, size);
}

// Bytes go into the buffer the value owns when they fit; a compressed block
// is decompressed into a buffer of its own.
inline void DRAVVar::readBinary(unsigned char tag, DRAVInputStream& in, const unsigned char* data,
                                unsigned long length) {
  if (holdsBytes() && !(data && DRAVCompression::DRAVUncompressedData::isDataCompressed(data, length))) {
    in.charge(length, "a binary value");
    value_.bytes.assign(data, length);
  } else {
    ByteArray bytes = binaryFromBlock(in, data, length);
    clear();
    new (&value_.bytes) ByteArray(std::move(bytes));
  }
  type_ = tag;
}

inline void DRAVVar::readInto(DRAVInputStream& in) {
  // The usual value first: no line break before it, and room for the
  // largest fixed-size kind. One check, and the position moves once.
  if (in.remaining() >= kLargestFixedSize) {
    const unsigned char* head = in.data_ + in.position_;
    const FixedPayload fixed = fixedPayload(head[1]);
    if (fixed.width && head[0] != 0x0D && head[0] != 0x0A) {
      clear();
      setFixed(head[1], head + 2);
      in.position_ += 2 + fixed.width;
      return;
    }
  }
  readTagged(in);
}

// Line breaks before a value are skipped; the first other byte is the tag's
// high byte, ignored whatever it holds. No tag: the value is empty.
void DRAVVar::readTagged(DRAVInputStream& in) {
  unsigned char byte = 0;
  unsigned char tag;
  do {
    if (in.readByte(byte) < 0) {
      clear();
      return;
    }
  } while (byte == 0x0D || byte == 0x0A);
  if (in.readByte(tag) < 0) {
    clear();
    return;
  }

  const FixedPayload fixed = fixedPayload(tag);
  if (fixed.width) {
    const unsigned char* payload = in.take(fixed.width, fixed.what);
    clear();
    setFixed(tag, payload);
    return;
  }
  switch (tag) {
    case String:
    case UTF8String: {
      const char* text;
      std::size_t size;
      in.readText(text, size);
      readText(tag, text, size);
      return;
    }
    case BinaryArray:
    case Object:
    case TypedObject: {
      const unsigned char* data;
      unsigned long length;
      in.readBytes(data, length, true);
      readBinary(tag, in, data, length);
      return;
    }
    default:  // 0, or a tag above 16: kept as it is, nothing more to read
      clear();
      type_ = tag;
  }
}
