#include "host/bridges/sample_bridge.h"

#include <drav/compression/compression.h>
#include <drav/serialization/argument_list.h>

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <tuple>

namespace DRAVHost {

namespace {

std::optional<double> numberOf(const DRAVVar& value) {
  switch (value.getType()) {
    case DRAVVar::Int: return value.getInt();
    case DRAVVar::Short: return value.getShort();
    case DRAVVar::Long: return static_cast<double>(value.getLong());
    case DRAVVar::UChar: return value.getUChar();
    case DRAVVar::UShort: return value.getUShort();
    case DRAVVar::ULong: return static_cast<double>(value.getULong());
    case DRAVVar::UInt: return value.getUInt();
    case DRAVVar::Double: return value.getDouble();
    case DRAVVar::Float: return value.getFloat();
    default: return std::nullopt;
  }
}

// An integer-kind value as a count from 0 to 2^31 - 1.
std::optional<std::uint32_t> countOf(const DRAVVar& value) {
  const auto number = numberOf(value);
  const auto type = value.getType();
  if (!number || type == DRAVVar::Double || type == DRAVVar::Float) return std::nullopt;
  if (*number < 0 || *number > 0x7FFFFFFF) return std::nullopt;
  return static_cast<std::uint32_t>(*number);
}

// Takes the values other than binary ones over: the call's list is not read
// after. What the results hold counts against the call before they are made:
// a slot each, and at most its plain bytes for a binary value's stored copy.
DRAVArgs echo(DRAVArgs& args, const DRAVTableCall& call) {
  const std::vector<DRAVVar*>& values = args.getArgs();
  std::uint64_t held = values.size() * DRAVArgs::kValueCost;
  for (unsigned long i = 0; i < args.size(); ++i)
    if (values[i]->getType() == DRAVVar::BinaryArray) held += args.getBinaryArray(i).getLength();
  call.charge(held, "holding the results");
  DRAVArgs results;
  for (unsigned long i = 0; i < args.size(); ++i) {
    DRAVVar& value = *values[i];
    if (value.getType() != DRAVVar::BinaryArray) {
      results.addArg(std::move(value));
      continue;
    }
    const auto& plain = args.getBinaryArray(i);
    unsigned char* data = const_cast<unsigned char*>(plain.getData());  // only read
    unsigned long length = plain.getLength();
    DRAVCompression::DRAVCompressedData stored(data, length, false);
    results.addArg(DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(stored.getData(), stored.getLength(), true)));
  }
  return results;
}

double sum(const DRAVArgs& args) {
  double total = 0;
  for (unsigned long i = 0; i < args.size(); ++i) {
    const auto number = numberOf(*args.getArgs()[i]);
    if (!number)
      throw DRAVBridgeError(SampleBridge::BadArguments, "sum: value " + std::to_string(i) + " is a " +
                                                            DRAVTyped::kindName(args.getArgs()[i]->getType()) +
                                                            ", not a number");
    total += *number;
  }
  return total;
}

std::tuple<unsigned long, unsigned long> checksumExtraBlob(DRAVBlobReader& blob) {
  uLong crc = crc32(0, Z_NULL, 0);
  for (DRAVBytes piece; (piece = blob.next()).size > 0;) crc = crc32(crc, piece.data, static_cast<uInt>(piece.size));
  return {static_cast<unsigned long>(blob.size()), static_cast<unsigned long>(crc)};
}

}  // namespace

SampleBridge::SampleBridge(Limits limits)
    : TypedBridge("sample", DRAVMethodTableLimits{limits.maxArgsSize, limits.chunkSize}), limits_(limits) {
  if (limits_.chunkSize == 0) limits_.chunkSize = 1;
  pattern_.resize(std::size_t(limits_.chunkSize) + kPatternPeriod);
  for (std::size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = patternByte(i, 0);
  method("echo", echo);
  method("sum", sum);
  method("generateBinary", [this](const DRAVArgs& args, DRAVStreamWriter& out) { return generate(args, out); });
  method("checksumExtraBlob", [](const DRAVArgs&, DRAVBlobReader& blob) { return checksumExtraBlob(blob); });
}

// The value's head (streamed, or a list of the one value), then its bytes in
// chunks cut from the pattern.
DRAVArgs SampleBridge::generate(const DRAVArgs& args, DRAVStreamWriter& out) const {
  const auto size = args.size() >= 1 ? countOf(*args.getArgs()[0]) : std::nullopt;
  const auto seed = args.size() >= 2 ? countOf(*args.getArgs()[1]) : std::optional<std::uint32_t>(0);
  if (!size || !seed || args.size() > 2)
    throw DRAVBridgeError(BadArguments, "generateBinary takes a size from 0 to 2147483647 and an optional seed");
  if (out.streamed()) {
    out.begin(*size);
  } else {
    if (*size > limits_.maxListedBinary)
      throw DRAVBridgeError(TooLarge, "generateBinary: " + std::to_string(*size) +
                                          " bytes need streaming mode OUT or INOUT; the limit without is " +
                                          std::to_string(limits_.maxListedBinary));
    out.beginListedBinary(*size);  // the value is never held, in any copy
  }
  for (std::uint32_t offset = 0; offset < *size;) {
    const std::uint32_t piece = std::min(limits_.chunkSize, *size - offset);
    out.write(pattern_.data() + patternByte(offset, *seed), piece);
    offset += piece;
  }
  return DRAVArgs();
}

}  // namespace DRAVHost
