// DRAVVar: one value of a remote call (argument, result or list element).
//
// It holds exactly one value of one of sixteen kinds, or nothing, tagged by
// its wire number; converts on request between compatible kinds; and reads and
// writes itself as a 16-bit tag followed by the payload. Application objects
// are serialized into bytes when stored, so a value never refers to a live
// object. Not thread-safe: one thread at a time.
#pragma once

#include <drav/export.h>
#include <drav/platform/glossa.h>
#include <drav/platform/win32.h>
#include <drav/serialization/byte_array.h>
#include <drav/serialization/serializable.h>

#include <cstdint>
#include <string>

class DRAV_EXPORT DRAVVar : public DRAVSerializable {
public:
  // The wire numbers of the kinds.
  enum VarType : std::uint32_t {
    Empty = 0,
    Int = 1,
    String = 2,
    BinaryArray = 3,
    UTF8String = 4,
    Bool = 5,
    Short = 6,
    Long = 7,
    Double = 8,
    Float = 9,
    UChar = 10,
    Char = 11,
    UShort = 12,
    ULong = 13,
    UInt = 14,
    Object = 15,
    TypedObject = 16,
  };

  DRAVVar() = default;
  DRAVVar(int value);
  DRAVVar(const std::string& value);
  // A literal is text, not a pointer converted to bool.
  DRAVVar(const char* text);
  // Takes `array` over (allocated with new; the caller must not free it, even
  // when an array with a length but no data is refused with DRAVException).
  DRAVVar(DRAVTypes::DRAVArray<unsigned char>* array);
  DRAVVar(const zu_utf8string& value);
  DRAVVar(bool value);
  DRAVVar(short value);
  DRAVVar(long value);  // refused (DRAVException) when it does not fit 32 bits
  DRAVVar(double value);
  DRAVVar(float value);
  DRAVVar(unsigned char value);
  DRAVVar(char value);
  DRAVVar(unsigned short value);
  DRAVVar(unsigned long value);  // refused (DRAVException) when it does not fit 32 bits
  DRAVVar(unsigned int value);
  // Serializes `object` now (tag 16 with its typeId() when typed, else 15);
  // the object is neither kept nor freed. typed needs a DRAVTypedSerializable.
  DRAVVar(const DRAVSerializable* object, bool typed);

  // Copies are deep; moves take the owned object over and leave the source empty.
  DRAVVar(const DRAVVar& other);
  DRAVVar(DRAVVar&& other) noexcept;
  DRAVVar& operator=(const DRAVVar& other);
  DRAVVar& operator=(DRAVVar&& other) noexcept;
  ~DRAVVar() override;

  // Each assignment releases the current value first.
  DRAVVar& operator=(int value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(const std::string& value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(const char* text) { return *this = DRAVVar(text); }
  DRAVVar& operator=(DRAVTypes::DRAVArray<unsigned char>* array) { return *this = DRAVVar(array); }
  DRAVVar& operator=(const zu_utf8string& value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(bool value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(short value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(long value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(double value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(float value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(unsigned char value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(char value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(unsigned short value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(unsigned long value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(unsigned int value) { return *this = DRAVVar(value); }
  DRAVVar& operator=(const DRAVSerializable* object) { return *this = DRAVVar(object, false); }
  DRAVVar& operator=(const DRAVTypedSerializable* object) { return *this = DRAVVar(object, true); }

  // The tag: a VarType, or any number up to 255 read from the wire.
  unsigned long getType() const { return type_; }
  bool isEmpty() const { return type_ == Empty; }

  // Typed getters: a refused kind throws DRAVException and leaves the value as it is.
  const std::string& getString() const;
  const zu_utf8string& getUTF8String() const;
  // detach true: the caller owns the array (delete) and the value becomes empty.
  // detach false: the array stays owned by this value.
  DRAVTypes::DRAVArray<unsigned char>* getBinaryArray(bool detach);
  // The serialized bytes of a tag 15 or 16 value (marker first); owned by this value.
  const DRAVTypes::DRAVArray<unsigned char>& getObjectBytes() const;
  bool getBool() const;
  long getLong() const;
  int getInt() const;
  short getShort() const;
  unsigned long getULong() const;
  unsigned int getUInt() const;
  unsigned short getUShort() const;
  double getDouble() const;
  float getFloat() const;
  unsigned char getUChar() const;
  char getChar() const;

  // Releases the owned object; the value is then empty.
  void clear() {
    if (type_ == String || type_ == UTF8String || holdsBytes()) releaseOwned();
    type_ = Empty;
    value_.raw = 0;
  }

  // VARIANT mapping for COM components on the server side. toVariant
  // initialises `out` without releasing what it held, then fills it; the
  // caller owns what it holds (VariantClear). fromVariant replaces this value
  // by the content of `in`, which stays the caller's; other VARIANT types
  // throw DRAVException "unsupported VARIANT type" and leave the value as it was.
  void toVariant(VARIANT& out) const;
  void fromVariant(const VARIANT& in);

  void writeObject(DRAVOutputStream& out) const override;
  // Replaces the value by the next one on the stream; on a refused (truncated
  // or undecompressible) value it throws and the value is left empty. Text and
  // binary bytes are charged to the stream's budget before they are allocated
  // (a compressed value: the plain length its header announces).
  void readObject(DRAVInputStream& in) override;
  unsigned long objectSize(DRAVDataTypedStream* sizes) const override;

private:
  using ByteArray = DRAVTypes::DRAVArray<unsigned char>;
  // Strings and byte arrays live inside the value: no separate allocation
  // for the object that holds the bytes.
  union Storage {
    Storage() : raw(0) {}
    ~Storage() {}
    std::uint64_t raw;
    std::int8_t i8;
    std::uint8_t u8;
    std::int16_t i16;
    std::uint16_t u16;
    std::int32_t i32;
    std::uint32_t u32;
    float f;
    double d;
    std::string str;
    zu_utf8string utf8;
    ByteArray bytes;
  };

  bool holdsBytes() const { return type_ == BinaryArray || type_ == Object || type_ == TypedObject; }
  void releaseOwned() noexcept;
  void copyFrom(const DRAVVar& other);
  void moveFrom(DRAVVar& other) noexcept;

  std::uint32_t type_ = Empty;
  Storage value_;
};
