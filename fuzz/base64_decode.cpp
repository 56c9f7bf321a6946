// Any text decodes without crashing into at most as many bytes as it has
// characters, and every byte string survives encode then decode.
#include <drav/config/base64.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const Base64::Codec codec;
  if (codec.decode(input).size() > input.size()) std::abort();
  if (codec.decode(codec.encode(input)) != input) std::abort();
  return 0;
}
