// Any text parses into a cookie set without crashing, and the set's text
// form parses back to the same set (unless a name that begins with a blank
// is not first); so does a set built with addCookie from a name and value
// cut out of the input (refused cookies stay out).
#include <drav/config/cookies.h>
#include <drav/platform/annal.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// A name that begins with a blank keeps it only as the first entry of a
// cookie string; anywhere else the blank reads as padding.
bool survivesTextForm(const DRAVCookies& cookies) {
  bool first = true;
  for (const auto& cookie : cookies.getCookies()) {
    if (!first && !cookie.first.empty() && cookie.first[0] == ' ') return false;
    first = false;
  }
  return true;
}

void expectRoundTrip(const DRAVCookies& cookies) {
  if (!survivesTextForm(cookies)) return;
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
