// How many bytes each kind of value takes on the wire; stateless.
#pragma once

#include <drav/export.h>
#include <drav/platform/glossa.h>
#include <drav/serialization/serializable.h>

#include <string>

// The wire size of each kind of value.
class DRAV_EXPORT DRAVDataTypedStream {
public:
  static constexpr unsigned long sizeOfByte() { return 1; }
  static constexpr unsigned long sizeOfChar() { return 1; }
  static constexpr unsigned long sizeOfBool() { return 1; }
  static constexpr unsigned long sizeOfShort() { return 2; }
  static constexpr unsigned long sizeOfUShort() { return 2; }
  static constexpr unsigned long sizeOfLong() { return 4; }
  static constexpr unsigned long sizeOfInt() { return 4; }
  static constexpr unsigned long sizeOfULong() { return 4; }
  static constexpr unsigned long sizeOfUInt() { return 4; }
  static constexpr unsigned long sizeOfFloat() { return 4; }
  static constexpr unsigned long sizeOfDouble() { return 8; }
  static unsigned long sizeOfString(const std::string& s) { return 4 + static_cast<unsigned long>(s.size()) + 1; }
  static unsigned long sizeOfUTF8String(const zu_utf8string& s) { return 4 + static_cast<unsigned long>(s.size()) + 1; }
  static unsigned long sizeOfBytes(const unsigned char*, unsigned long length) { return 4 + length; }
  unsigned long sizeOfObject(const DRAVSerializable* object) { return object->objectSize(this); }
  unsigned long sizeOfTypedObject(const DRAVTypedSerializable* object) { return 4 + object->objectSize(this); }
};
