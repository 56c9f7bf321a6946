// Any text parses into a cookie set without crashing, and the set's text
// form parses back to the same set; so does a set built with addCookie from
// a name and value cut out of the input (refused cookies stay out).
#include <drav/config/cookies.h>
#include <drav/platform/annal.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void expectRoundTrip(const DRAVCookies& cookies) {
  if (DRAVCookies(cookies.toString()).getCookies() != cookies.getCookies()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = [] {
    Annal::setSink([](const Annal::Importance&, const std::string&) {});
    return true;
  }();
  (void)quiet;
  const std::string text(reinterpret_cast<const char*>(data), size);
  DRAVCookies parsed(text);
  expectRoundTrip(parsed);

  const std::size_t cut = size == 0 ? 0 : data[0] % size;
  parsed.addCookie(DRAVCookie(text.substr(0, cut), text.substr(cut)));
  expectRoundTrip(parsed);
  return 0;
}
