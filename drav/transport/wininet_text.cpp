#include <drav/transport/wininet_text.h>

#include <drav/common/wire_width.h>
#include <drav/config/client_core.h>
#include <drav/platform/glossa.h>

#include <cstring>
#include <new>

namespace {
const Annal::AnnalInitExit annalInitExit;
// The largest piece one read asks for. A caller may ask for up to 4 GiB - 1
// bytes, which a 32-bit process cannot allocate at once; a read returns what
// has arrived anyway (callers read until 0), and a piece this large is still
// read in place without a copy.
constexpr std::uint32_t kLargestPiece = 16u << 20;
}  // namespace

namespace DRAV {
namespace detail {

WideText::WideText(const std::string& text) : units_(Glossa::utf8ToUtf16(text.data(), text.size())) {}

BOOL setTextOption(HINTERNET handle, DWORD option, const std::string& text) {
  const WideText wide(text);
  return InternetSetOptionW(handle, option, const_cast<WCHAR*>(wide.c_str()), wide.length());
}

BOOL setNumberOption(HINTERNET handle, DWORD option, DWORD value) {
  return InternetSetOptionW(handle, option, &value, sizeof value);
}

void useHttp11() {
  HTTP_VERSION_INFO version = {1, 1};
  InternetSetOptionW(nullptr, INTERNET_OPTION_HTTP_VERSION, &version, sizeof version);
}

void setTransportTimeouts(HINTERNET handle) {
  setNumberOption(handle, INTERNET_OPTION_CONNECT_TIMEOUT, kTransportTimeoutMs);
  setNumberOption(handle, INTERNET_OPTION_SEND_TIMEOUT, kTransportTimeoutMs);
  setNumberOption(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, kTransportTimeoutMs);
}

TlsPolicy tlsPolicyOf(const AuthInfo& auth) {
  return auth.tls().over(DRAVClientCore::instance().getAuthenticationInfo().getTlsPolicy());
}

namespace {

// Hands a CA file or folder to WinINet. Where WinINet cannot take one (it
// keeps to the system's store) the certificate is still verified, against
// the system's authorities only: never less checking than asked for.
void trustAuthorities(HINTERNET request, DWORD option, const std::string& path) {
  if (path.empty() || setTextOption(request, option, path)) return;
  Annal::Logger(Annal::Error) << "cannot trust the authorities in " << path
                              << " here: add them to the system's certificate store";
}

}  // namespace

HINTERNET openRequest(HINTERNET connection, const char* verb, const Url& url, const TlsPolicy& tls) {
  const DWORD flags = kRequestFlags | (url.useSsl() ? INTERNET_FLAG_SECURE : 0);
  HINTERNET request = HttpOpenRequestW(connection, WideText(verb).c_str(), WideText(url.uri()).c_str(), nullptr,
                                       nullptr, nullptr, flags, 0);
  if (!request || !url.useSsl()) return request;
  if (!tls.verify) {
    Annal::Logger(Annal::M) << "TLS certificates of " << url.host() << " are not verified: verification is turned off";
    setNumberOption(request, INTERNET_OPTION_SECURITY_FLAGS, kUnverifiedSecurityFlags);
    return request;
  }
  trustAuthorities(request, INTERNET_OPTION_DRAV_CA_FILE, tls.caFile);
  trustAuthorities(request, INTERNET_OPTION_DRAV_CA_FOLDER, tls.caFolder);
  return request;
}

HINTERNET connectTo(HINTERNET session, const Url& url) {
  // Url keeps any 32-bit value; a port outside 1..65535 cannot be connected to.
  const unsigned long port = url.port();
  if (port == 0 || port > 65535) {
    SetLastError(ERROR_INTERNET_INVALID_URL);
    return nullptr;
  }
  return InternetConnectW(session, WideText(url.host()).c_str(), static_cast<INTERNET_PORT>(port), nullptr, nullptr,
                          INTERNET_SERVICE_HTTP, 0, 0);
}

unsigned long readPiece(HINTERNET handle, char*& buffer, std::uint32_t size, bool& ended,
                        const Annal::Importance& closeLevel) {
  ended = false;
  if (buffer) {
    ::operator delete(buffer);
    buffer = nullptr;
  }
  // Small pieces are read on the stack and handed over at their real size
  // (an answer's end, a read of nothing, allocates nothing); large ones are
  // read in place, with no copy when they fill the piece.
  if (size > kLargestPiece) size = kLargestPiece;
  char small[4096];
  char* scratch = size <= sizeof small ? small : static_cast<char*>(::operator new(size));
  const auto dropScratch = [&] {
    if (scratch != small) ::operator delete(scratch);
  };
  DWORD read = 0;
  if (!InternetReadFile(handle, scratch, size, &read)) {
    const DWORD code = GetLastError();
    Annal::Logger(Annal::Error) << "response reading has failed";
    dropScratch();
    SetLastError(code);  // for the caller, whatever the trace did
    return 0;
  }
  if (read > 0) {
    Annal::Logger(Annal::M) << "receiving " << static_cast<unsigned long>(read) << " bytes";
    if (read == size && scratch != small) {
      buffer = scratch;  // already exactly the bytes received: no copy
    } else {
      buffer = static_cast<char*>(::operator new(read));
      std::memcpy(buffer, scratch, read);
      dropScratch();
    }
    return read;
  }
  dropScratch();
  Annal::Logger(Annal::M) << "receive : no more data in response buffer";
  if (!InternetCloseHandle(handle)) Annal::Logger(closeLevel) << "receive : Failed to close Request handle";
  ended = true;
  return 0;
}

}  // namespace detail
}  // namespace DRAV
