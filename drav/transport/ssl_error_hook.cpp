#include <drav/transport/ssl_error_hook.h>

#include <drav/platform/win32.h>

namespace DRAV {
namespace detail {

bool callSslErrorHook(void* requestHandle, unsigned long errorCode) {
  // Loaded on every failure and never kept: the hook may be installed or
  // replaced while the program runs.
  HMODULE hook = LoadLibraryA("dravSsl");
  if (!hook) return false;
  bool accepted = false;
  if (FARPROC found = GetProcAddress(hook, "handleSslError")) {
    SslErrorHandler handler = reinterpret_cast<SslErrorHandler>(reinterpret_cast<void (*)()>(found));
    accepted = handler(requestHandle, static_cast<std::uint32_t>(errorCode)) != 0;
  }
  FreeLibrary(hook);
  return accepted;
}

}  // namespace detail
}  // namespace DRAV
