// Shared pieces of the WinINet tests: a fixture with a scripted server and
// an open session, wide-string helpers, and small wrappers that turn the
// API's out-parameters into values. The same tests run against the real
// WinINet when built for Windows (the server then runs in a Linux process).
#pragma once

#include <drav/platform/win32.h>

#include "support/http_test_remote.h"
#include "support/wine_host.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace wininet_test {

using Wide = std::basic_string<WCHAR>;

inline Wide wide(const std::string& text) {
  Wide out(text.size() + 1, 0);
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0],
                                    static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

inline std::string narrow(const WCHAR* text, std::size_t count) {
  std::string out(count * 3 + 1, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(count), &out[0], static_cast<int>(out.size()),
                                    nullptr, nullptr);
  out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return out;
}

// Closes a handle at scope end.
struct Handle {
  HINTERNET h = nullptr;
  Handle() = default;
  explicit Handle(HINTERNET handle) : h(handle) {}
  ~Handle() {
    if (h) InternetCloseHandle(h);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  operator HINTERNET() const { return h; }
  HINTERNET release() {
    HINTERNET out = h;
    h = nullptr;
    return out;
  }
};

// Status code of the answer, 0 when it cannot be read.
inline DWORD statusOf(HINTERNET request) {
  DWORD code = 0, size = sizeof code;
  return HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr) ? code : 0;
}

// Reads the body to its end with pieces of `piece` bytes; `ok` false on a failed read.
inline std::string readAll(HINTERNET request, DWORD piece, bool* ok = nullptr, DWORD* error = nullptr) {
  std::string body;
  std::vector<char> buffer(piece);
  for (int guard = 0; guard < 10000000; ++guard) {
    DWORD got = 0;
    if (!InternetReadFile(request, buffer.data(), piece, &got)) {
      if (ok) *ok = false;
      if (error) *error = GetLastError();
      return body;
    }
    if (got == 0) break;
    body.append(buffer.data(), got);
  }
  if (ok) *ok = true;
  return body;
}

inline bool addHeaders(HINTERNET request, const std::string& lines, DWORD modifiers) {
  const Wide w = wide(lines);
  return HttpAddRequestHeadersW(request, w.c_str(), static_cast<DWORD>(-1), modifiers) != FALSE;
}

inline bool setText(HINTERNET handle, DWORD option, const std::string& text) {
  Wide w = wide(text);
  return InternetSetOptionW(handle, option, &w[0], static_cast<DWORD>(w.size())) != FALSE;
}

inline bool setNumber(HINTERNET handle, DWORD option, DWORD value) {
  return InternetSetOptionW(handle, option, &value, sizeof value) != FALSE;
}

// A scripted server and a session with the agent "wininet-test".
class WininetTest : public ::testing::Test {
protected:
  void SetUp() override {
    server = drav_test::openTestServer();
    if (!server) GTEST_SKIP() << "no test server: set DRAV_TEST_SERVER";
    session.h = InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    ASSERT_NE(session.h, nullptr);
  }

  // A connection handle to the scripted server.
  HINTERNET connect() {
    return InternetConnectW(session, wide(server->host()).c_str(), server->port(), nullptr, nullptr,
                            INTERNET_SERVICE_HTTP, 0, 0);
  }

  HINTERNET open(HINTERNET connection, const char* verb, const std::string& path, DWORD flags = 0) {
    return HttpOpenRequestW(connection, wide(verb).c_str(), wide(path).c_str(), nullptr, nullptr, nullptr,
                            flags | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_KEEP_CONNECTION,
                            0);
  }

  // Starts a streamed POST of `total` bytes.
  static bool startStreamed(HINTERNET request, DWORD total) {
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof buffers;
    buffers.dwBufferTotal = total;
    return HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, 0) != FALSE;
  }

  static bool writeAll(HINTERNET request, const std::string& body, std::size_t piece) {
    for (std::size_t at = 0; at < body.size(); at += piece) {
      const DWORD n = static_cast<DWORD>(std::min(piece, body.size() - at));
      DWORD written = 0;
      if (!InternetWriteFile(request, body.data() + at, n, &written) || written != n) return false;
    }
    return true;
  }

  std::unique_ptr<drav_test::ScriptedServer> server;
  Handle session;
};

inline std::string patternText(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(drav_test::patternByte(i));
  return s;
}

}  // namespace wininet_test
