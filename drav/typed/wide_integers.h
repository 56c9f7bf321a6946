// 64-bit integers on a wire whose integers are 32 bits: DRAVInt64 and
// DRAVUInt64 travel as a String of decimal digits ("-5000000000"), which
// every tool shows and sends (dravcall string:5000000000). As parameters and
// results they take only such text, within their range: "12x", " 5", "+5"
// and 2^63 are no DRAVInt64, and a method is refused them before it runs.
//
//   method("add", [this](DRAVInt64 amount) { return DRAVInt64{total_ += amount.value}; });
//   DRAVInt64 total = client.call<DRAVInt64>("add", DRAVInt64{5000000000});
//
// long long and unsigned long long have no value kind and are refused at
// compile time, naming these.
#pragma once

#include <drav/serialization/argument_list.h>
#include <drav/serialization/typed_value.h>
#include <drav/typed/value_kinds.h>

#include <cstdint>
#include <limits>
#include <string>

// A signed 64-bit integer, carried as its decimal text.
struct DRAVInt64 {
  std::int64_t value = 0;
};
// An unsigned 64-bit integer, carried as its decimal text.
struct DRAVUInt64 {
  std::uint64_t value = 0;
};

namespace DRAVTyped {
namespace detail {

// The magnitude written in `text` from `at` on: decimal digits only, at
// least one, at most `most`. False for anything else.
inline bool readDecimalMagnitude(const std::string& text, std::size_t at, std::uint64_t most, std::uint64_t& value) {
  value = 0;
  if (at >= text.size()) return false;
  for (std::size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (most - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

inline bool readInt64(const std::string& text, std::int64_t& value) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::uint64_t most = negative ? std::uint64_t(1) << 63 : std::uint64_t(INT64_MAX);
  std::uint64_t magnitude = 0;
  if (!readDecimalMagnitude(text, negative ? 1 : 0, most, magnitude)) return false;
  value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

inline bool readUInt64(const std::string& text, std::uint64_t& value) {
  return readDecimalMagnitude(text, 0, UINT64_MAX, value);
}

}  // namespace detail

template <> struct ValueKind<DRAVInt64> {
  static constexpr DRAVVar::VarType kind = DRAVVar::String;
  static bool fits(const DRAVVar& v) {
    std::int64_t n;
    return v.getType() == DRAVVar::String && detail::readInt64(v.getString(), n);
  }
  static DRAVInt64 take(const DRAVVar& v) {
    DRAVInt64 n;
    detail::readInt64(v.getString(), n.value);
    return n;
  }
  static void add(DRAVArgs& args, DRAVInt64 n) { args.addArg(std::to_string(n.value)); }
};

template <> struct ValueKind<DRAVUInt64> {
  static constexpr DRAVVar::VarType kind = DRAVVar::String;
  static bool fits(const DRAVVar& v) {
    std::uint64_t n;
    return v.getType() == DRAVVar::String && detail::readUInt64(v.getString(), n);
  }
  static DRAVUInt64 take(const DRAVVar& v) {
    DRAVUInt64 n;
    detail::readUInt64(v.getString(), n.value);
    return n;
  }
  static void add(DRAVArgs& args, DRAVUInt64 n) { args.addArg(std::to_string(n.value)); }
};

}  // namespace DRAVTyped
