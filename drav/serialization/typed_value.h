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

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class DRAV_EXPORT DRAVVar final : public DRAVSerializable {
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
  ~DRAVVar() override { clear(); }

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
  // A short text becomes a string object the first time it is asked for, which
  // may throw std::bad_alloc.
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
    if (holdsObject()) releaseOwned();
    type_ = Empty;
    shortText_ = false;
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
  // Text that fits in the space of a string object is kept as bare bytes in
  // value_.shortText (shortText_ true), so a short string costs no
  // allocation until a getter asks for the string object itself.
  static constexpr std::size_t kShortText = sizeof(std::string);

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
    char shortText[kShortText];
  };

  bool holdsText() const { return type_ == String || type_ == UTF8String; }
  bool holdsBytes() const { return type_ == BinaryArray || type_ == Object || type_ == TypedObject; }
  // Whether value_ holds a constructed object (string or byte array).
  bool holdsObject() const { return (holdsText() && !shortText_) || holdsBytes(); }
  void releaseOwned() noexcept;
  void copyFrom(const DRAVVar& other);
  void moveFrom(DRAVVar& other) noexcept;
  void copyShortText(const DRAVVar& other) noexcept;
  // Stores text of kind String or UTF8String, as short text when it fits.
  void setText(std::uint32_t type, const char* text, std::size_t size);
  const char* textData() const;
  std::size_t textSize() const;
  // Turns short text into the string object the getters hand out.
  void makeTextObject() const;

  // A list reads and writes all its values in one call each.
  friend class DRAVArgs;

  // Writing: stored straight into the stream's memory when it has room, else
  // written through the stream.
  static void writeValues(const DRAVVar* values, std::size_t count, DRAVOutputStream& out);
  static constexpr std::size_t kLargestFixedSize = 10;  // tag and double
  // Stores the value at `at` when the `room` bytes there hold it: the end of
  // what was stored, or null (nothing counts as stored) when they do not.
  unsigned char* storeWithin(unsigned char* at, std::size_t room) const;
  void writeSlowly(DRAVOutputStream& out) const;

  // Reading, for a whole list at once and for one value.
  static constexpr unsigned long kSmallestWireSize = 2;  // the tag
  static void readValues(DRAVInputStream& in, std::vector<DRAVVar>& values, std::size_t from, unsigned long count);
  // Replaces the value by the next one on the stream, reading text or bytes
  // into the storage the value holds when it is of the same kind.
  void readInto(DRAVInputStream& in);
  // The rest of readInto: any value, wherever it lies.
  void readTagged(DRAVInputStream& in);
  // Decodes the payload of a fixed-size kind into an empty value.
  void setFixed(unsigned char tag, const unsigned char* payload);
  void readText(unsigned char tag, const char* text, std::size_t size);
  void readBinary(unsigned char tag, DRAVInputStream& in, const unsigned char* data, unsigned long length);

  std::uint32_t type_ = Empty;
  // The getters turn short text into a string object in place; the text is the same.
  mutable bool shortText_ = false;
  mutable std::uint8_t shortSize_ = 0;
  mutable Storage value_;
};
