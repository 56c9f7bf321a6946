#include <drav/config/cookies.h>

#include <drav/platform/annal.h>

#include <cstring>

namespace {

const Annal::AnnalInitExit annalInitExit;

bool isWritable(const DRAVCookie& cookie) {
  const std::string& name = cookie.name();
  return !name.empty() && name[0] != ' ' && name.find_first_of("=;") == std::string::npos &&
         cookie.value().find(';') == std::string::npos;
}

}  // namespace

DRAVCookies::DRAVCookies(const std::string& text) { parse(text); }

bool DRAVCookies::addCookie(const DRAVCookie& cookie) {
  if (!isWritable(cookie)) {
    Annal::Logger(Annal::Error) << "DRAVCookies: cookie \"" << cookie.name()
                                << "\" refused, it cannot be written in a cookie string";
    return false;
  }
  return cookies_.emplace(cookie.name(), cookie.value()).second;
}

std::string DRAVCookies::toString() const {
  std::size_t size = 0;
  for (const auto& entry : cookies_) size += entry.first.size() + entry.second.size() + 3;
  std::string text;
  text.reserve(size);
  for (const auto& entry : cookies_)
    text.append(entry.first).append(1, '=').append(entry.second).append("; ");
  return text;
}

void DRAVCookies::parse(const std::string& text) {
  const char* const end = text.data() + text.size();
  const char* entry = text.data();
  while (entry != end) {
    const void* found = std::memchr(entry, ';', static_cast<std::size_t>(end - entry));
    const char* entryEnd = found ? static_cast<const char*>(found) : end;
    insertCookie(entry, static_cast<std::size_t>(entryEnd - entry));
    if (entryEnd == end) break;
    // Blanks after a separator are padding; those at the very start of the text are part of the first name.
    entry = entryEnd + 1;
    while (entry != end && *entry == ' ') ++entry;
  }
}

void DRAVCookies::insertCookie(const char* entry, std::size_t length) {
  const void* found = std::memchr(entry, '=', length);
  const std::size_t nameLength =
      found ? static_cast<std::size_t>(static_cast<const char*>(found) - entry) : length;
  if (nameLength == 0) return;
  const std::size_t valueStart = found ? nameLength + 1 : length;
  cookies_.emplace(std::string(entry, nameLength), std::string(entry + valueStart, length - valueStart));
}
