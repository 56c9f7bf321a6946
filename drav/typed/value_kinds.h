// Which value kind a C++ type travels as, in both directions: how a typed
// call appends an argument of type T to a DRAVArgs, and whether (and how) a
// received DRAVVar becomes a T. The conversions are those of DRAVVar's typed
// getters (an Int reaches a long, a Float a double, any integer a bool), and
// a number is taken only when the parameter holds it: a Long of 70000 is no
// short. Not a serializer of its own: the values are DRAVVars.
//
//   int Int, unsigned int UInt, short Short, unsigned short UShort, long Long,
//   unsigned long ULong, bool Bool, char Char, unsigned char UChar, float
//   Float, double Double, std::string and std::string_view String,
//   zu_utf8string UTF8String, std::vector<unsigned char> and DRAVBytes
//   BinaryArray, a class derived from DRAVTypedSerializable TypedObject, from
//   DRAVSerializable Object (and DRAVInt64, DRAVUInt64: wide_integers.h).
//
// Any other type has no kind: the typed client and the method table refuse
// it at compile time with one line that says what to use (typed_forms.h,
// which also makes a std::vector of kinds a list).
#pragma once

#include <drav/common/exception.h>
#include <drav/common/log_field.h>
#include <drav/common/wire_width.h>
#include <drav/compression/compression.h>
#include <drav/platform/glossa.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/serializable.h>
#include <drav/serialization/typed_value.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

// A borrowed run of bytes sent as a BinaryArray without copying it into a
// vector first. As a bridge parameter it views the decoded value, valid
// while the method runs; as a bridge method's result it goes out from the
// bytes it views when they are one of the call's values, else from a copy.
// Not a result type of a client call (it would outlive the bytes it views).
struct DRAVBytes {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  // Whether the bytes go out compressed when sent (at or above the
  // compression threshold); Default: as the client, and then the process, says.
  DRAVCompression::DRAVCompressionChoice compression = DRAVCompression::DRAVCompressionChoice::Default;
};

namespace DRAVTyped {

// The name of a kind tag as messages give it: "Int", "String", ..., "Tag42".
inline std::string kindName(unsigned long tag) {
  static const char* const kNames[] = {"Empty", "Int",   "String", "BinaryArray", "UTF8String", "Bool",
                                       "Short", "Long",  "Double", "Float",       "UChar",      "Char",
                                       "UShort", "ULong", "UInt",  "Object",      "TypedObject"};
  return tag < sizeof kNames / sizeof kNames[0] ? kNames[tag] : "Tag" + std::to_string(tag);
}

// No kind: HasValueKind<T> is false, and the typed client and the method
// table refuse T at compile time (requireValueKind).
template <typename T, typename Enable = void>
struct ValueKind {};

namespace detail {

inline bool oneOf(unsigned long tag, std::initializer_list<unsigned long> accepted) {
  for (unsigned long a : accepted)
    if (tag == a) return true;
  return false;
}

// Signed integers: Int, Long and Short values, as getLong takes them.
template <typename T, DRAVVar::VarType Kind>
struct SignedKind {
  static constexpr DRAVVar::VarType kind = Kind;
  static bool fits(const DRAVVar& v) {
    if (!oneOf(v.getType(), {DRAVVar::Int, DRAVVar::Long, DRAVVar::Short})) return false;
    const long n = v.getLong();
    return n >= static_cast<long>(std::numeric_limits<T>::min()) && n <= static_cast<long>(std::numeric_limits<T>::max());
  }
  static T take(const DRAVVar& v) { return static_cast<T>(v.getLong()); }
  static void add(DRAVArgs& args, T value) { args.addArg(value); }
};

// Unsigned integers: UInt, ULong and UShort values, as getULong takes them.
template <typename T, DRAVVar::VarType Kind>
struct UnsignedKind {
  static constexpr DRAVVar::VarType kind = Kind;
  static bool fits(const DRAVVar& v) {
    return oneOf(v.getType(), {DRAVVar::UInt, DRAVVar::ULong, DRAVVar::UShort}) &&
           v.getULong() <= static_cast<unsigned long>(std::numeric_limits<T>::max());
  }
  static T take(const DRAVVar& v) { return static_cast<T>(v.getULong()); }
  static void add(DRAVArgs& args, T value) { args.addArg(value); }
};

// Exactly one kind, read with `get`.
template <typename T, DRAVVar::VarType Kind, T (DRAVVar::*Get)() const>
struct ExactKind {
  static constexpr DRAVVar::VarType kind = Kind;
  static bool fits(const DRAVVar& v) { return v.getType() == Kind; }
  static T take(const DRAVVar& v) { return (v.*Get)(); }
  static void add(DRAVArgs& args, T value) { args.addArg(value); }
};

using CompressionChoice = DRAVCompression::DRAVCompressionChoice;

// A value's own choice, else the one of the level above it.
inline CompressionChoice choiceFor(CompressionChoice own, CompressionChoice outer) {
  return own != CompressionChoice::Default ? own : outer;
}

// The stored form of bytes that go out compressed, owned by the list.
inline void addCompressed(DRAVArgs& args, const unsigned char* data, unsigned long length) {
  DRAVCompression::DRAVCompressedData stored(data, length, CompressionChoice::Always);
  const unsigned long storedLength = stored.getLength();
  args.addArg(DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(
      DRAVTypes::DRAVArray<unsigned char>::adopt(stored.detach(), storedLength))));
}

// A binary value as it goes out: compressed when `choice` says so
// (DRAVCompressedData::isValueToCompress), else the bytes themselves,
// borrowed: they must outlive the list.
inline void addBinary(DRAVArgs& args, const unsigned char* data, std::size_t size, CompressionChoice choice) {
  const unsigned long length = DRAV::detail::toWireULong(size, "a binary value's length");
  if (DRAVCompression::DRAVCompressedData::isValueToCompress(data, length, choice)) return addCompressed(args, data, length);
  args.addArg(const_cast<unsigned char*>(data), length, false);  // only read
}

// The same for bytes the list may keep: taken over when they go as they are.
inline void addBinary(DRAVArgs& args, std::vector<unsigned char>&& bytes, CompressionChoice choice) {
  const unsigned long length = DRAV::detail::toWireULong(bytes.size(), "a binary value's length");
  if (DRAVCompression::DRAVCompressedData::isValueToCompress(bytes.data(), length, choice))
    return addCompressed(args, bytes.data(), length);
  args.addArg(DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(DRAVTypes::DRAVArray<unsigned char>::adopt(std::move(bytes)))));
}

inline const DRAVTypes::DRAVArray<unsigned char>& binaryOf(const DRAVVar& v) {
  return *const_cast<DRAVVar&>(v).getBinaryArray(false);  // not detached: only read
}

}  // namespace detail

template <> struct ValueKind<int> : detail::SignedKind<int, DRAVVar::Int> {};
// long travels as Long (32 bits).
template <> struct ValueKind<long> : detail::SignedKind<long, DRAVVar::Long> {
  // A long beyond 32 bits has no wire form: refused, never truncated.
  static bool fits(const DRAVVar& v) { return detail::oneOf(v.getType(), {DRAVVar::Int, DRAVVar::Long, DRAVVar::Short}); }
};
template <> struct ValueKind<short> : detail::SignedKind<short, DRAVVar::Short> {};
template <> struct ValueKind<unsigned int> : detail::UnsignedKind<unsigned int, DRAVVar::UInt> {};
// unsigned long travels as ULong (32 bits).
template <> struct ValueKind<unsigned long> : detail::UnsignedKind<unsigned long, DRAVVar::ULong> {
  static bool fits(const DRAVVar& v) {
    return detail::oneOf(v.getType(), {DRAVVar::UInt, DRAVVar::ULong, DRAVVar::UShort});
  }
};
template <> struct ValueKind<unsigned short> : detail::UnsignedKind<unsigned short, DRAVVar::UShort> {};
template <> struct ValueKind<char> : detail::ExactKind<char, DRAVVar::Char, &DRAVVar::getChar> {};
template <> struct ValueKind<unsigned char> : detail::ExactKind<unsigned char, DRAVVar::UChar, &DRAVVar::getUChar> {};

// bool travels as Bool.
template <> struct ValueKind<bool> {
  static constexpr DRAVVar::VarType kind = DRAVVar::Bool;
  // As getBool: a Bool, or any integer kind but the 8-bit Char and UChar
  // taken as "not 0".
  static bool fits(const DRAVVar& v) {
    return detail::oneOf(v.getType(), {DRAVVar::Bool, DRAVVar::Int, DRAVVar::Short, DRAVVar::Long, DRAVVar::UChar,
                                       DRAVVar::Char, DRAVVar::UShort, DRAVVar::ULong, DRAVVar::UInt});
  }
  static bool take(const DRAVVar& v) { return v.getBool(); }
  static void add(DRAVArgs& args, bool value) { args.addArg(value); }
};

// double travels as Double; a Float is taken too.
template <> struct ValueKind<double> {
  static constexpr DRAVVar::VarType kind = DRAVVar::Double;
  static bool fits(const DRAVVar& v) { return detail::oneOf(v.getType(), {DRAVVar::Double, DRAVVar::Float}); }
  static double take(const DRAVVar& v) { return v.getDouble(); }
  static void add(DRAVArgs& args, double value) { args.addArg(value); }
};

// The one rule a Double meets to become a float, here and in the tools
// (dravdump's float:X): infinities and NaN stay what they are; a finite
// value must not become infinite (3.5e38) and one that is not 0 must not
// become 0 (1e-50). Magnitudes only a subnormal float holds (1e-40, down to
// 1.4e-45) are taken, rounded to it, as every value is rounded to the
// nearest float: a float holds them, and none of them is read as zero.
inline bool floatHolds(double value) {
  // Where rounding to the nearest float (ties to even) starts to give an
  // infinity: FLT_MAX plus half its unit in the last place; and up to where
  // it gives 0: half the smallest subnormal. Compared as doubles, so that no
  // x87 register's excess precision can make a 0 look otherwise.
  constexpr double kRoundsToInfinity = 3.4028235677973366e38;
  constexpr double kRoundsToZero = 0x1p-150;
  if (!std::isfinite(value) || value == 0) return true;
  const double magnitude = std::fabs(value);
  return magnitude > kRoundsToZero && magnitude < kRoundsToInfinity;
}

// float travels as Float; a Double that floatHolds is taken too.
template <> struct ValueKind<float> {
  static constexpr DRAVVar::VarType kind = DRAVVar::Float;
  static bool fits(const DRAVVar& v) {
    return detail::oneOf(v.getType(), {DRAVVar::Double, DRAVVar::Float}) && floatHolds(v.getDouble());
  }
  static float take(const DRAVVar& v) { return v.getFloat(); }
  static void add(DRAVArgs& args, float value) { args.addArg(value); }
};

// std::string travels as String.
template <> struct ValueKind<std::string> {
  static constexpr DRAVVar::VarType kind = DRAVVar::String;
  static bool fits(const DRAVVar& v) { return v.getType() == DRAVVar::String; }
  static const std::string& take(const DRAVVar& v) { return v.getString(); }
  static void add(DRAVArgs& args, const std::string& value) { args.addArg(value); }
};

// zu_utf8string travels as UTF8String.
template <> struct ValueKind<zu_utf8string> {
  static constexpr DRAVVar::VarType kind = DRAVVar::UTF8String;
  static bool fits(const DRAVVar& v) { return v.getType() == DRAVVar::UTF8String; }
  static const zu_utf8string& take(const DRAVVar& v) { return v.getUTF8String(); }
  static void add(DRAVArgs& args, const zu_utf8string& value) { args.addArg(value); }
};

// Bytes travel as BinaryArray.
template <> struct ValueKind<std::vector<unsigned char>> {
  static constexpr DRAVVar::VarType kind = DRAVVar::BinaryArray;
  static bool fits(const DRAVVar& v) { return v.getType() == DRAVVar::BinaryArray; }
  static std::vector<unsigned char> take(const DRAVVar& v) {
    const auto& bytes = detail::binaryOf(v);
    return std::vector<unsigned char>(bytes.getData(), bytes.getData() + bytes.getLength());
  }
  // The bytes moved out of `v` when it holds them in a vector (no copy), else
  // copied; `v` is left an empty BinaryArray.
  static std::vector<unsigned char> takeOver(DRAVVar& v) { return v.getBinaryArray(false)->takeVector(); }
  // Whether takeOver(v) copies nothing.
  static bool takesOverWhole(const DRAVVar& v) { return detail::binaryOf(v).holdsVector(); }
  // Borrows `value` (it must outlive the list) unless it goes out compressed.
  static void add(DRAVArgs& args, const std::vector<unsigned char>& value,
                  detail::CompressionChoice choice = detail::CompressionChoice::Default) {
    detail::addBinary(args, value.data(), value.size(), choice);
  }
  // Takes `value` over unless it goes out compressed.
  static void add(DRAVArgs& args, std::vector<unsigned char>&& value,
                  detail::CompressionChoice choice = detail::CompressionChoice::Default) {
    detail::addBinary(args, std::move(value), choice);
  }
};

// Borrowed bytes travel as BinaryArray; a result points into its value.
template <> struct ValueKind<DRAVBytes> {
  static constexpr DRAVVar::VarType kind = DRAVVar::BinaryArray;
  static bool fits(const DRAVVar& v) { return v.getType() == DRAVVar::BinaryArray; }
  static DRAVBytes take(const DRAVVar& v) {
    const auto& bytes = detail::binaryOf(v);
    return DRAVBytes{bytes.getData(), bytes.getLength()};
  }
  // Borrows the bytes (they must outlive the list) unless they go out compressed.
  static void add(DRAVArgs& args, const DRAVBytes& value,
                  detail::CompressionChoice choice = detail::CompressionChoice::Default) {
    detail::addBinary(args, value.data, value.size, detail::choiceFor(value.compression, choice));
  }
};

// Text viewed where it lies: a parameter of this type views the String
// value while the method runs; an argument is sent as a String. Not a
// result type of a client call (it would outlive the text it views).
template <> struct ValueKind<std::string_view> {
  static constexpr DRAVVar::VarType kind = DRAVVar::String;
  static bool fits(const DRAVVar& v) { return v.getType() == DRAVVar::String; }
  static std::string_view take(const DRAVVar& v) { return v.getString(); }
  static void add(DRAVArgs& args, std::string_view value) { args.addArg(std::string(value)); }
};

// Text literals as arguments and results ("Hello"): sent as String. Not a
// parameter type: a parameter takes const std::string& or std::string_view.
template <> struct ValueKind<const char*> {
  static constexpr DRAVVar::VarType kind = DRAVVar::String;
  static void add(DRAVArgs& args, const char* value) { args.addArg(value); }
};
template <> struct ValueKind<char*> : ValueKind<const char*> {};

// Application objects: serialized into the value when sent; received ones
// are read back into a default-constructed T from the value's bytes (the
// marker, for a typed object its identifier, then the object), which must
// be used up exactly. A typed object whose identifier is not T's does not fit.
template <typename T>
struct ValueKind<T, std::enable_if_t<std::is_base_of<DRAVSerializable, T>::value>> {
  static constexpr bool typed = std::is_base_of<DRAVTypedSerializable, T>::value;
  static constexpr DRAVVar::VarType kind = typed ? DRAVVar::TypedObject : DRAVVar::Object;
  static_assert(std::is_default_constructible<T>::value, "an object received as a value is default-constructed");

  static bool fits(const DRAVVar& v) {
    if (v.getType() != kind) return false;
    if constexpr (typed) {
      const auto& bytes = v.getObjectBytes();
      if (bytes.getLength() < 5) return false;
      const unsigned char* id = bytes.getData() + 1;
      const unsigned long received = (static_cast<unsigned long>(id[0]) << 24) | (id[1] << 16) | (id[2] << 8) | id[3];
      return received == T().typeId();
    }
    return true;
  }
  // What the object's reading copies out of the value is charged to
  // `budget` (null: to nothing).
  static T take(const DRAVVar& v, DRAVDecodeBudget* budget = nullptr) {
    const auto& bytes = v.getObjectBytes();
    DRAVDataInputStream in(bytes.getData(), bytes.getLength());
    in.setBudget(budget);
    if constexpr (typed) {
      unsigned long id = 0;
      in.readLong(id);
    }
    T object;
    object.readObject(in);
    if (in.remaining())
      throw DRAVException(std::to_string(in.remaining()) + " bytes of the " + kindName(kind) + " value were not read");
    return object;
  }
  static void add(DRAVArgs& args, const T& value) { args.addArg(value, typed); }
};

// Whether `value` fits a parameter of `kind` as that kind's C++ type takes
// it; for tools that know a method's kinds from its description only.
inline bool fitsKind(unsigned long kind, const DRAVVar& value) {
  switch (kind) {
    case DRAVVar::Int: return ValueKind<int>::fits(value);
    case DRAVVar::UInt: return ValueKind<unsigned int>::fits(value);
    case DRAVVar::Short: return ValueKind<short>::fits(value);
    case DRAVVar::UShort: return ValueKind<unsigned short>::fits(value);
    case DRAVVar::Long: return ValueKind<long>::fits(value);
    case DRAVVar::ULong: return ValueKind<unsigned long>::fits(value);
    case DRAVVar::Bool: return ValueKind<bool>::fits(value);
    case DRAVVar::Char: return ValueKind<char>::fits(value);
    case DRAVVar::UChar: return ValueKind<unsigned char>::fits(value);
    case DRAVVar::Float: return ValueKind<float>::fits(value);
    case DRAVVar::Double: return ValueKind<double>::fits(value);
    default: return value.getType() == kind;  // text, bytes and objects: their own kind only
  }
}

// The kind a parameter or result of type T travels as (references, const
// and array extents dropped).
template <typename T>
using KindOf = ValueKind<std::decay_t<T>>;

// Appends `value` as its kind. A binary value goes out as `choice` says
// (its own choice first, for a DRAVBytes); a byte vector given as an rvalue
// is taken over, others are borrowed and must outlive the list.
template <typename T>
void addValue(DRAVArgs& args, T&& value, DRAVCompression::DRAVCompressionChoice choice) {
  if constexpr (KindOf<T>::kind == DRAVVar::BinaryArray) KindOf<T>::add(args, std::forward<T>(value), choice);
  else KindOf<T>::add(args, value);
}

// "(String, Int)" for the kinds of Ts.
template <typename... Ts>
std::string kindList() {
  std::string list;
  ((list += (list.empty() ? "" : ", ") + kindName(KindOf<Ts>::kind)), ...);
  return "(" + list + ")";
}

// One received value as a message shows it: its kind and, for numbers and
// text, what it holds ("Int 70000", "String \"12x\"", "BinaryArray of 3
// bytes"). Text is escaped and cut: the peer chose it.
inline std::string valueText(const DRAVVar& v) {
  constexpr std::size_t kShownText = 64;
  const unsigned long tag = v.getType();
  const std::string kind = kindName(tag);
  switch (tag) {
    case DRAVVar::Int: case DRAVVar::Long: case DRAVVar::Short: return kind + " " + std::to_string(v.getLong());
    case DRAVVar::UInt: case DRAVVar::ULong: case DRAVVar::UShort: return kind + " " + std::to_string(v.getULong());
    case DRAVVar::UChar: return kind + " " + std::to_string(v.getUChar());
    case DRAVVar::Char: return kind + " " + std::to_string(static_cast<int>(v.getChar()));
    case DRAVVar::Bool: return kind + (v.getBool() ? " true" : " false");
    case DRAVVar::Float: case DRAVVar::Double: {
      // The fewest digits that read back as the value.
      char text[32];
      const double d = v.getDouble();
      for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, d);
        if (std::strtod(text, nullptr) == d) break;
      }
      return kind + " " + text;
    }
    case DRAVVar::String: return kind + " \"" + DRAV::detail::escapeShownText(v.getString(), kShownText) + "\"";
    case DRAVVar::UTF8String:
      return kind + " \"" + DRAV::detail::escapeShownText(v.getUTF8String().str(), kShownText) + "\"";
    case DRAVVar::BinaryArray: return kind + " of " + std::to_string(detail::binaryOf(v).getLength()) + " bytes";
    case DRAVVar::Object: case DRAVVar::TypedObject:
      return kind + " of " + std::to_string(v.getObjectBytes().getLength()) + " bytes";
    default: return kind;
  }
}

// "(Int, Int)" for received values: the first kMaxListedKinds, then how
// many more (a body of a million tiny values must not make a message of
// megabytes).
constexpr std::size_t kMaxListedKinds = 16;
inline std::string kindList(const std::vector<DRAVVar*>& values) {
  std::string list;
  for (std::size_t i = 0; i < values.size() && i < kMaxListedKinds; ++i)
    list += (i ? ", " : "") + kindName(values[i]->getType());
  if (values.size() > kMaxListedKinds) list += ", and " + std::to_string(values.size() - kMaxListedKinds) + " more";
  return "(" + list + ")";
}

}  // namespace DRAVTyped
