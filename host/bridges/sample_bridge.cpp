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

// Room a value's compressed form never outgrows: deflate's stored blocks
// and the header.
std::uint64_t storedBound(std::uint64_t plainLength) { return plainLength + plainLength / 4096 + 64; }

// Takes the values over (the call's list is not read after), so that the
// answer goes out from their own bytes. A binary value the host's choice
// sends compressed goes back in its compressed form, its plain bytes given
// up. What the results hold beyond the values' bytes is charged before it is
// made: a slot each, and a compressed form.
DRAVArgs echo(DRAVArgs& args, const DRAVTableCall& call) {
  const std::vector<DRAVVar*>& values = args.getArgs();
  call.charge(values.size() * DRAVArgs::kValueCost, "holding the results");
  DRAVArgs results;
  for (DRAVVar* value : values) {
    if (value->getType() == DRAVVar::BinaryArray) {
      DRAVTypes::DRAVArray<unsigned char>& plain = *value->getBinaryArray(false);
      const unsigned long length = plain.getLength();
      if (DRAVCompression::DRAVCompressedData::isValueToCompress(plain.getData(), length,
                                                                 DRAVCompression::DRAVCompressionChoice::Default)) {
        call.charge(storedBound(length), "holding the results");
        DRAVCompression::DRAVCompressedData stored(plain.getData(), length,
                                                   DRAVCompression::DRAVCompressionChoice::Always);
        plain.clear();
        call.refund(length + storedBound(length) - stored.getLength());
        const unsigned long storedLength = stored.getLength();
        results.addArg(DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(
            DRAVTypes::DRAVArray<unsigned char>::adopt(stored.detach(), storedLength))));
        continue;
      }
    }
    results.addArg(std::move(*value));
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
