// Narrow library text to and from BSTRs through the ANSI code page (UTF-8 on
// hosts without Windows), for the invocation status and the VARIANT mapping.
//
// Internal to the library; not a general string conversion API.
#pragma once

#include <drav/platform/win32.h>

#include <string>

namespace DRAV {
namespace detail {

// A new BSTR holding `text` (an empty one for empty text), owned by the caller
// (SysFreeString). std::bad_alloc when no BSTR can be allocated; DRAVException
// for text too long to convert in one call.
BSTR ansiToBstr(const std::string& text);

// The BSTR's units (all SysStringLen of them) as narrow text; null gives "".
std::string bstrToAnsi(BSTR text);

}  // namespace detail
}  // namespace DRAV
