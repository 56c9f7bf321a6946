#include <drav/hosting/bstr_text.h>

#include <drav/common/exception.h>

#include <climits>
#include <new>

namespace DRAV {
namespace detail {

namespace {

// ASCII is the same in every ANSI code page and in UTF-8, and status texts and
// names nearly always are: such text is copied unit by unit, without the two
// conversion passes and their scratch strings.
bool isAscii(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i)
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  return true;
}

bool isAscii(const WCHAR* text, UINT units) {
  for (UINT i = 0; i < units; ++i)
    if (text[i] >= 0x80) return false;
  return true;
}

}  // namespace

BSTR ansiToBstr(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX))
    throw DRAVException("text too long for a BSTR: " + std::to_string(text.size()) + " bytes");
  const int length = static_cast<int>(text.size());
  if (isAscii(text.data(), text.size())) {
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!out) throw std::bad_alloc();
    for (int i = 0; i < length; ++i) out[i] = static_cast<WCHAR>(text[i]);
    return out;
  }
  const int units = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
  if (units <= 0) throw DRAVException("text cannot be converted to a BSTR");
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!out) throw std::bad_alloc();
  if (MultiByteToWideChar(CP_ACP, 0, text.data(), length, out, units) != units) {
    SysFreeString(out);
    throw DRAVException("text cannot be converted to a BSTR");
  }
  return out;
}

std::string bstrToAnsi(BSTR text) {
  const UINT units = SysStringLen(text);
  if (units == 0) return std::string();
  if (units > static_cast<UINT>(INT_MAX)) throw DRAVException("BSTR too long to convert");
  if (isAscii(text, units)) return std::string(text, text + units);
  const int count = static_cast<int>(units);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, count, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace detail
}  // namespace DRAV
