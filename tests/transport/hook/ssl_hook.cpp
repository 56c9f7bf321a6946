// A stand-in for the optional SSL error hook library: it records each call
// so that a test can check what the transport handed it, and accepts the
// certificate unless told to refuse.
#include <atomic>
#include <cstdint>

namespace {
std::atomic<int> calls{0};
std::atomic<void*> lastHandle{nullptr};
std::atomic<std::uint32_t> lastCode{0};
std::atomic<unsigned char> answer{1};  // accepts, unless a test says otherwise
}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned char handleSslError(void* requestHandle, std::uint32_t errorCode) {
  lastHandle = requestHandle;
  lastCode = errorCode;
  ++calls;
  return answer;
}

__attribute__((visibility("default"))) void sslHookSetAnswer(unsigned char accept) { answer = accept; }

__attribute__((visibility("default"))) int sslHookCalls() { return calls; }
__attribute__((visibility("default"))) void* sslHookLastHandle() { return lastHandle; }
__attribute__((visibility("default"))) std::uint32_t sslHookLastCode() { return lastCode; }
__attribute__((visibility("default"))) void sslHookReset() {
  calls = 0;
  lastHandle = nullptr;
  lastCode = 0;
}
}
