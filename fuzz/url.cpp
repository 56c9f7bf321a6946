// Any text parses into a Url without crashing; a parsed Url prints to text
// that parses back to the same fields, and its path is already normal.
#include <drav/config/url.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Url url(std::string(reinterpret_cast<const char*>(data), size));
  if (url.host().find_first_of(":/") == std::string::npos) {
    const Url again(url.toString());
    if (again.scheme() != url.scheme() || again.host() != url.host() || again.port() != url.port() ||
        again.uri() != url.uri())
      std::abort();
  }
  Url path;
  if (path.uri(url.uri()).uri() != url.uri()) std::abort();
  return 0;
}
