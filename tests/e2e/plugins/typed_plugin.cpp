// The typed test bridge: a method table with a method for every value kind
// (each answers what it was given, changed so that a value that only passed
// through would show), several results, no results, a failing status, an
// exception, a streamed answer, an extra blob read in pieces (of the bridge's
// size or the caller's), the size of a binary value, a slow call and one
// that stalls in the middle of its answer.
#include "typed_objects.h"

#include <drav/host/bridge_plugin.h>
#include <drav/host/typed_bridge.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using typedtest::Label;
using typedtest::Point;

// Members bound as methods, in the parameter forms users write.
struct Counter {
  std::atomic<long> total{0};
  std::string prefix = "m:";
  std::string byReference(const std::string& text) const { return prefix + text; }
  std::string byValue(std::string text) { return prefix + text; }
  std::size_t viewed(std::string_view text) const noexcept { return text.size(); }
  // A total kept in a long: on a host whose long is 64 bits it outgrows its kind.
  long add(long amount) { return total += amount; }
};

class TypedTestBridge : public DRAVHost::TypedBridge {
public:
  TypedTestBridge() : TypedBridge("typed") {
    method("int", [](int v) { return v + 1; });
    method("uint", [](unsigned int v) { return v + 1; });
    method("short", [](short v) { return static_cast<short>(v + 1); });
    method("ushort", [](unsigned short v) { return static_cast<unsigned short>(v + 1); });
    method("long", [](long v) { return v + 1; });
    method("ulong", [](unsigned long v) { return v + 1; });
    method("bool", [](bool v) { return !v; });
    method("char", [](char v) { return static_cast<char>(v + 1); });
    method("uchar", [](unsigned char v) { return static_cast<unsigned char>(v + 1); });
    method("float", [](float v) { return v * 2; });
    method("double", [](double v) { return v * 2; });
    method("string", [](const std::string& v) { return v + "!"; });
    method("utf8", [](const zu_utf8string& v) { return zu_utf8string(v.str() + "!"); });
    method("bytes", [](const std::vector<unsigned char>& v) {
      std::vector<unsigned char> reversed(v.rbegin(), v.rend());
      return reversed;
    });
    method("point", [](const Point& p) {
      Point moved = p;
      moved.x += 1;
      return moved;
    });
    method("label", [](const Label& l) {
      Label longer = l;
      longer.text += "!";
      return longer;
    });
    method("kinds", [](const DRAVArgs& values) { return DRAVTyped::kindList(values.getArgs()); });
    method("split", [](const std::string& text, int at) {
      const std::size_t cut = static_cast<std::size_t>(at);
      return std::make_tuple(text.substr(0, cut), text.substr(cut), static_cast<long>(text.size()));
    }, {"text", "at"});
    method("nothing", [] {});
    method("fail", [](int code) -> int { throw DRAVBridgeError(code, "failed on purpose"); }, {"code"});
    method("throw", []() -> int { throw std::runtime_error("an internal detail"); });
    method("generate", [](unsigned long size, DRAVStreamWriter& out) {
      out.begin(static_cast<std::uint32_t>(size));
      std::vector<unsigned char> piece(4096);
      for (unsigned long offset = 0; offset < size; offset += piece.size()) {
        const std::size_t n = std::min<std::size_t>(piece.size(), size - offset);
        for (std::size_t i = 0; i < n; ++i) piece[i] = static_cast<unsigned char>((offset + i) % 251);
        out.write(piece.data(), n);
      }
    }, {"size"});
    method("blob", [](DRAVBlobReader& blob) {
      unsigned long sum = 0;
      unsigned long pieces = 0;
      for (DRAVBytes piece; (piece = blob.next(1000)).size > 0; ++pieces)
        for (std::size_t i = 0; i < piece.size; ++i) sum += piece.data[i];
      return std::make_tuple(static_cast<unsigned long>(blob.size()), sum, pieces);
    });
    method("byReference", &counter_, &Counter::byReference);
    method("byValue", &counter_, &Counter::byValue);
    method("viewed", &counter_, &Counter::viewed);
    method("add", &counter_, &Counter::add, {"amount"});
    method("add64", [](DRAVInt64 a, DRAVInt64 b) { return DRAVInt64{a.value + b.value}; }, {"a", "b"});
    method("names", [](const std::vector<int>& ids) {
      std::vector<std::string> names;
      for (int id : ids) names.push_back("n" + std::to_string(id));
      return names;
    }, {"ids"});
    method("blobInPieces", [](unsigned long most, DRAVBlobReader& blob) {
      unsigned long pieces = 0, largest = 0;
      for (DRAVBytes piece; (piece = blob.next(static_cast<std::uint32_t>(most))).size > 0; ++pieces)
        largest = std::max(largest, static_cast<unsigned long>(piece.size));
      return std::make_tuple(pieces, largest);
    }, {"most"});
    method("sizeOf", [](const std::vector<unsigned char>& v) { return static_cast<unsigned long>(v.size()); });
    method("stall", [](int ms, DRAVStreamWriter& out) {  // begins its answer, then sleeps
      const unsigned char bytes[4] = {1, 2, 3, 4};
      out.beginListedBinary(8);
      out.write(bytes, 4);
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      out.write(bytes, 4);
    }, {"ms"});
    method("sleep", [](int ms) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      return ms;
    }, {"ms"});
  }

private:
  Counter counter_;
};

}  // namespace

DRAV_BRIDGE_PLUGIN(TypedTestBridge)
