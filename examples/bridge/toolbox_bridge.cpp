// The toolbox bridge: what a method table offers beyond one value in and
// one out. `dravbridge --bridge libtoolbox.so` serves it at /bridges/toolbox.
//
//   divide(Long dividend, Long divisor) -> (Long, Long)   several arguments and results;
//                                                         a failing status for divisor 0
//   repeat(String text, ULong times)                      streams its answer in pieces
//   checksum() -> (ULong, ULong)                          reads the extra blob in pieces
//   words(String text) -> (String...)                     answers with a list
#include <drav/host/bridge_plugin.h>
#include <drav/host/typed_bridge.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr long kDivisionByZero = 10;  // the status code this bridge answers a zero divisor with

std::tuple<long, long> divide(long dividend, long divisor) {
  if (divisor == 0) throw DRAVBridgeError(kDivisionByZero, "divide: the divisor is 0");
  return {dividend / divisor, dividend % divisor};
}

// The text `times` times over, one copy a piece: never held whole.
void repeat(const std::string& text, unsigned long times, DRAVStreamWriter& out) {
  if (text.empty() || times > 0x7FFFFFFF / text.size())
    throw DRAVBridgeError(11, "repeat: the text must not be empty and the answer must stay under 2 GiB");
  out.begin(static_cast<std::uint32_t>(text.size() * times));
  for (unsigned long i = 0; i < times; ++i) out.write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// The blob's length and the sum of its bytes.
std::tuple<unsigned long, unsigned long> checksum(DRAVBlobReader& blob) {
  unsigned long sum = 0;
  for (DRAVBytes piece; (piece = blob.next()).size > 0;)
    for (std::size_t i = 0; i < piece.size; ++i) sum += piece.data[i];
  return {blob.size(), sum};
}

// The text's words: a list, which the answer carries as one String each.
std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> found;
  for (std::string word; in >> word;) found.push_back(word);
  return found;
}

class ToolboxBridge : public DRAVHost::TypedBridge {
public:
  ToolboxBridge() : TypedBridge("toolbox") {
    method("divide", divide, {"dividend", "divisor"});
    method("repeat", repeat, {"text", "times"});
    method("checksum", checksum);
    method("words", words, {"text"});
  }
};

}  // namespace

DRAV_BRIDGE_PLUGIN(ToolboxBridge)
