#include "support/wine_host.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dravtest {

bool runningUnderWine() {
#ifdef _WIN32
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace dravtest
