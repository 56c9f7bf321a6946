#include "host/bridges/sample_bridge.h"

#include <drav/compression/compression.h>
#include <drav/hosting/http_buffer_allocator.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/invocation_status.h>
#include <drav/serialization/output_stream.h>

#include <zlib.h>

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace DRAVHost {

using DRAVHelpers::IIS::DefaultHTTPBufferAllocator;
using DRAVHelpers::IIS::HTTPBufferAllocator;
using DRAVHelpers::IIS::RequestWrapper;
using DRAVHelpers::IIS::ResponseWrapper;

namespace {

// The answer of a method that answers with a result list.
struct Outcome {
  DRAVArgs results;
  long code = SampleBridge::Ok;
  std::string message = "no error detected";

  static Outcome failure(long code, const std::string& message) {
    Outcome outcome;
    outcome.code = code;
    outcome.message = message;
    return outcome;
  }
};

// A chunk handed out by the request reader, given back to its allocator on every way out.
class Chunk {
public:
  explicit Chunk(HTTPBufferAllocator& allocator) : allocator_(allocator) {}
  ~Chunk() { allocator_.free(data, size); }
  Chunk(const Chunk&) = delete;
  Chunk& operator=(const Chunk&) = delete;
  unsigned char* data = nullptr;
  unsigned long size = 0;

private:
  HTTPBufferAllocator& allocator_;
};

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

std::string kindOf(const DRAVVar& value) {
  static const char* const kNames[] = {"Empty", "Int",  "String", "BinaryArray", "UTF8String", "Bool",
                                       "Short", "Long", "Double", "Float",       "UChar",      "Char",
                                       "UShort", "ULong", "UInt", "Object",      "TypedObject"};
  const unsigned long type = value.getType();
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : "Tag" + std::to_string(type);
}

// One call from its arguments to its status.
class SampleCall {
public:
  SampleCall(const BridgeCall& call, IDispatch* request, IDispatch* response, const SampleBridge::Limits& limits,
             const std::vector<unsigned char>& pattern)
      : call_(call),
        limits_(limits),
        pattern_(pattern),
        allocator_(new DefaultHTTPBufferAllocator),
        reader_(request, call.extraBlobSize, allocator_),
        writer_(response) {}

  void run() {
    DRAVArgs args = readArguments();
    const std::string& method = call_.methodName;
    if (method == "echo") return answer(echo(args));
    if (method == "sum") return answer(sum(args));
    if (method == "generateBinary") return generate(args);
    if (method == "checksumExtraBlob") return answer(checksumExtraBlob());
    answer(Outcome::failure(SampleBridge::UnknownMethod, "unknown method '" + method + "'; the sample bridge offers " +
                                                            SampleBridge::methodList()));
  }

private:
  DRAVArgs readArguments() {
    const std::uint32_t size = call_.argsSize;
    if (size > limits_.maxArgsSize)
      throw HttpError(413, "the arguments take " + std::to_string(size) + " bytes; this bridge reads at most " +
                               std::to_string(limits_.maxArgsSize));
    if (size == 0) return DRAVArgs();  // no body at all: no arguments
    // Arguments that come in one chunk (the usual small call) are decoded
    // where the reader put them; longer ones are gathered first.
    Chunk first(*allocator_);
    readArgumentChunk(first, size, 0);
    if (first.size >= size) return decode(first.data, first.size, call_.decodeBudget);
    std::vector<unsigned char> bytes(first.data, first.data + first.size);
    while (bytes.size() < size) {
      Chunk chunk(*allocator_);
      readArgumentChunk(chunk, size, bytes.size());
      bytes.insert(bytes.end(), chunk.data, chunk.data + chunk.size);
    }
    return decode(bytes.data(), static_cast<unsigned long>(bytes.size()), call_.decodeBudget);
  }

  // The next piece of the `size` argument bytes, `read` of which have come.
  void readArgumentChunk(Chunk& chunk, std::uint32_t size, std::size_t read) {
    const unsigned long wanted = std::min<unsigned long>(limits_.chunkSize, size - read);
    if (!reader_.ReadBufferChunk(chunk.data, wanted, chunk.size) || chunk.size == 0)
      throw HttpError(400, "the body ended after " + std::to_string(read) + " of " + std::to_string(size) +
                               " argument bytes");
  }

  static DRAVArgs decode(const unsigned char* bytes, unsigned long length, DRAVDecodeBudget* budget) {
    DRAVArgs args;
    DRAVDataInputStream in(bytes, length);
    in.setBudget(budget);
    try {
      args.readObject(in);
    } catch (const std::exception& e) {
      throw HttpError(400, std::string("malformed arguments: ") + e.what());
    }
    if (in.remaining())
      throw HttpError(400, "malformed arguments: " + std::to_string(in.remaining()) + " bytes follow the list");
    return args;
  }

  // Takes the values other than binary ones over: the call's list is not read after.
  Outcome echo(DRAVArgs& args) {
    Outcome outcome;
    const std::vector<DRAVVar*>& values = args.getArgs();
    for (unsigned long i = 0; i < args.size(); ++i) {
      DRAVVar& value = *values[i];
      if (value.getType() != DRAVVar::BinaryArray) {
        outcome.results.addArg(std::move(value));
        continue;
      }
      const auto& plain = args.getBinaryArray(i);
      unsigned char* data = const_cast<unsigned char*>(plain.getData());  // only read
      unsigned long length = plain.getLength();
      charge(length);  // the most its stored form keeps
      DRAVCompression::DRAVCompressedData stored(data, length, false);
      outcome.results.addArg(
          DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(stored.getData(), stored.getLength(), true)));
    }
    return outcome;
  }

  static Outcome sum(const DRAVArgs& args) {
    double total = 0;
    for (unsigned long i = 0; i < args.size(); ++i) {
      const auto number = numberOf(*args.getArgs()[i]);
      if (!number)
        return Outcome::failure(SampleBridge::BadArguments, "sum: value " + std::to_string(i) + " is a " +
                                                                kindOf(*args.getArgs()[i]) + ", not a number");
      total += *number;
    }
    Outcome outcome;
    outcome.results.addArg(total);
    return outcome;
  }

  void generate(const DRAVArgs& args) {
    const auto size = args.size() >= 1 ? countOf(*args.getArgs()[0]) : std::nullopt;
    const auto seed = args.size() >= 2 ? countOf(*args.getArgs()[1]) : std::optional<std::uint32_t>(0);
    if (!size || !seed || args.size() > 2)
      return answer(Outcome::failure(SampleBridge::BadArguments,
                                     "generateBinary takes a size from 0 to 2147483647 and an optional seed"));
    if (call_.streamsOut()) return stream(*size, *seed);
    if (*size > limits_.maxListedBinary)
      return answer(Outcome::failure(SampleBridge::TooLarge,
                                     "generateBinary: " + std::to_string(*size) +
                                         " bytes need streaming mode OUT or INOUT; the limit without is " +
                                         std::to_string(limits_.maxListedBinary)));
    // A list of the one value, written as it would serialize, its bytes cut
    // from the pattern: the value is never held, in any copy.
    DRAVDataOutputStream head;
    head.writeULong(1);
    head.writeShort(DRAVVar::BinaryArray);
    head.writeULong(*size);
    check(writer_.WriteBufferChunk(head.getBuffer(0), head.size()));
    writePattern(*size, *seed);
    writeStatus(SampleBridge::Ok, "no error detected");
  }

  // The value head, the bytes in chunks cut from the pattern, then the status.
  void stream(std::uint32_t size, std::uint32_t seed) {
    check(writer_.WriteBufferSize(size));
    writePattern(size, seed);
    writeStatus(SampleBridge::Ok, "no error detected");
  }

  void writePattern(std::uint32_t size, std::uint32_t seed) {
    for (std::uint32_t offset = 0; offset < size;) {
      const std::uint32_t piece = std::min(limits_.chunkSize, size - offset);
      unsigned char* slice = const_cast<unsigned char*>(pattern_.data()) + SampleBridge::patternByte(offset, seed);
      check(writer_.WriteBufferChunk(slice, piece));
      offset += piece;
    }
  }

  Outcome checksumExtraBlob() {
    const std::uint32_t size = reader_.GetExtraBlobSize();
    uLong crc = crc32(0, Z_NULL, 0);
    for (std::uint32_t read = 0; read < size;) {
      Chunk chunk(*allocator_);
      if (!reader_.ReadBufferChunk(chunk.data, std::min(limits_.chunkSize, size - read), chunk.size) || chunk.size == 0)
        throw HttpError(400, "the extra blob ended after " + std::to_string(read) + " of " + std::to_string(size) +
                                 " bytes");
      crc = crc32(crc, chunk.data, static_cast<uInt>(chunk.size));
      read += static_cast<std::uint32_t>(chunk.size);
    }
    Outcome outcome;
    outcome.results.addArg(static_cast<unsigned long>(size));
    outcome.results.addArg(static_cast<unsigned long>(crc));
    return outcome;
  }

  // The marker and the result list in chunks, then the status. A call that
  // streams out expects the streamed form whatever happens: an empty value,
  // then the status.
  void answer(const Outcome& outcome) {
    if (call_.streamsOut()) {
      check(writer_.WriteBufferSize(0));
      if (outcome.code != SampleBridge::Ok) return writeStatus(outcome.code, outcome.message);
      return writeStatus(SampleBridge::BadArguments,
                         call_.methodName + " answers with a list; call it without streaming out");
    }
    // The list serialized a value at a time, each copy charged while it lives.
    DRAVDataOutputStream head;
    head.writeULong(outcome.results.size());
    check(writer_.WriteBufferChunk(head.getBuffer(0), head.size()));
    for (const DRAVVar* value : outcome.results.getArgs()) {
      const unsigned long size = value->objectSize(nullptr);
      charge(size);
      {
        DRAVDataOutputStream out(size);
        value->writeObject(out);
        for (unsigned long offset = 1; offset < out.size();) {  // past the marker
          const unsigned long piece = std::min<unsigned long>(limits_.chunkSize, out.size() - offset);
          check(writer_.WriteBufferChunk(out.getBuffer(offset), piece));
          offset += piece;
        }
      }
      refund(size);
    }
    writeStatus(outcome.code, outcome.message);
  }

  // Counts `bytes` the call is to hold against its share, before they are allocated.
  void charge(std::uint64_t bytes) {
    if (call_.decodeBudget && !call_.decodeBudget->tryCharge(bytes))
      throw HttpError(413, "the answer takes more than the " +
                               std::to_string(call_.decodeBudget->limit() - call_.decodeBudget->used()) +
                               " bytes the call has left");
  }
  void refund(std::uint64_t bytes) {
    if (call_.decodeBudget) call_.decodeBudget->refund(bytes);
  }

  void writeStatus(long code, const std::string& message) {
    DRAVInvocation::Bridge::Status status("sample", call_.methodName, message, code);
    check(writer_.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())));
    if (call_.report) call_.report->invocationStatus = code;
  }

  static void check(bool written) {
    if (!written) throw std::runtime_error("the answer could not be written");
  }

  const BridgeCall& call_;
  const SampleBridge::Limits& limits_;
  const std::vector<unsigned char>& pattern_;
  HTTPBufferAllocator* allocator_;  // owned by reader_
  RequestWrapper reader_;
  ResponseWrapper writer_;
};

}  // namespace

SampleBridge::SampleBridge(Limits limits) : limits_(limits) {
  if (limits_.chunkSize == 0) limits_.chunkSize = 1;
  pattern_.resize(std::size_t(limits_.chunkSize) + kPatternPeriod);
  for (std::size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = patternByte(i, 0);
}

void SampleBridge::serve(const BridgeCall& call, IDispatch* request, IDispatch* response) {
  SampleCall(call, request, response, limits_, pattern_).run();
}

}  // namespace DRAVHost
