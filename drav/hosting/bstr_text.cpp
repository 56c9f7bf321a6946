#include <drav/hosting/bstr_text.h>

#include <drav/common/exception.h>

#include <climits>
#include <new>

namespace DRAV {
namespace detail {

BSTR ansiToBstr(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX))
    throw DRAVException("text too long for a BSTR: " + std::to_string(text.size()) + " bytes");
  const int length = static_cast<int>(text.size());
  const int units = length ? MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0) : 0;
  if (length && units <= 0) throw DRAVException("text cannot be converted to a BSTR");
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(units));
  if (!out) throw std::bad_alloc();
  if (units && MultiByteToWideChar(CP_ACP, 0, text.data(), length, out, units) != units) {
    SysFreeString(out);
    throw DRAVException("text cannot be converted to a BSTR");
  }
  return out;
}

std::string bstrToAnsi(BSTR text) {
  const UINT units = SysStringLen(text);
  if (units == 0) return std::string();
  if (units > static_cast<UINT>(INT_MAX)) throw DRAVException("BSTR too long to convert");
  const int count = static_cast<int>(units);
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, count, &out[0], bytes, nullptr, nullptr);
  return out;
}

}  // namespace detail
}  // namespace DRAV
