// Reading answers: receive, draining, the call status, and whole-resource
// downloads.
#include <drav/transport/http_request.h>

#include <drav/common/exception.h>
#include <drav/common/log_field.h>
#include <drav/common/wire_width.h>
#include <drav/config/url.h>
#include <drav/platform/annal.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/failure_text.h>
#include <drav/transport/wininet_text.h>

#include <win32/ascii_case.h>

#include <algorithm>
#include <new>

namespace {

const Annal::AnnalInitExit annalInitExit;

// Piece size when neither readChunkSize nor the caller gives one: a read
// of 0 bytes would look like the end and lose the answer.
constexpr std::uint32_t kDefaultPiece = 4000;
// Draining an unwanted answer stops here (then the connection is dropped):
// a server sending without end must not hold the call.
constexpr int kMaxDrainPieces = 4096;
// The start of a refused download's answer that its exception shows.
constexpr std::size_t kShownExcerpt = 256;

}  // namespace

unsigned long DRAVHttpRequest::receive(char*& buffer, unsigned long size) {
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : DRAV::detail::toWireULong(size, "receive size");
  bool ended = false;
  const unsigned long read = DRAV::detail::readPiece(requestHandle_, buffer, n ? n : kDefaultPiece, ended, Annal::Error);
  if (ended) requestHandle_ = nullptr;
  if (read == 0 && !ended) {
    // A failed read is no end: the answer was cut off.
    const DWORD code = GetLastError();
    const TlsPolicy tls = DRAV::detail::tlsPolicyOf(proxy_->authInfo());
    failure_ = DRAV::detail::failureLine(proxy_->url(), code, requestHandle_, &tls);
    failureCode_ = static_cast<std::uint32_t>(code ? code : ERROR_INTERNET_CONNECTION_ABORTED);
  }
  return read;
}

unsigned long DRAVHttpRequest::receive(void* handle, char*& buffer, unsigned long size) {
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : DRAV::detail::toWireULong(size, "receive size");
  bool ended = false;
  return DRAV::detail::readPiece(handle, buffer, n ? n : kDefaultPiece, ended, Annal::M);
}

void DRAVHttpRequest::dumpReceive() {
  // Read as receive() reads, but a failure here is no answer's: the call's
  // own failure stays the one named.
  const std::uint32_t size = readChunkSize_ ? readChunkSize_ : 4000;
  char* piece = nullptr;
  bool ended = false;
  int pieces = 0;
  while (DRAV::detail::readPiece(requestHandle_, piece, size, ended, Annal::Error) > 0) {
    if (++pieces == kMaxDrainPieces) {
      closeHandle(requestHandle_);
      requestHandle_ = nullptr;
      break;
    }
  }
  if (ended) requestHandle_ = nullptr;
  ::operator delete(piece);
}

CallStatus DRAVHttpRequest::getCallStatus() const {
  DWORD code = 0, size = sizeof code;
  if (!HttpQueryInfoW(requestHandle_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
    Annal::Logger(Annal::Error) << "unable to get the HTTP request code";
  if (code != 0) return CallStatus(code, "");
  return CallStatus(0, "the HTTP server is not started");
}

namespace {

// Same scheme, host and port: the bridge's own origin.
bool sameOrigin(const Url& a, const Url& b) {
  using drav_wininet::equalsNoCase;
  return equalsNoCase(a.scheme(), b.scheme()) && equalsNoCase(a.host(), b.host()) && a.port() == b.port();
}

// The handles of one download, closed on every way out.
struct DownloadHandles {
  HINTERNET session = nullptr, connection = nullptr, request = nullptr;
  DownloadHandles() = default;
  DownloadHandles(const DownloadHandles&) = delete;
  DownloadHandles& operator=(const DownloadHandles&) = delete;
  ~DownloadHandles() {
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    if (session) InternetCloseHandle(session);
  }
};

[[noreturn]] void downloadFailed(const char* what, const Url& target, DWORD code, HINTERNET handle,
                                 const TlsPolicy* tls = nullptr) {
  const std::string line = DRAV::detail::failureLine(target, code, handle, tls);
  Annal::Logger(Annal::Error) << what << " : " << line;
  throw HttpPostDataException(code, line);
}

}  // namespace

void DRAVHttpRequest::downloadResource(const std::string& url, std::vector<unsigned char>& data,
                                       DownloadCredentials credentials) {
  DRAV::detail::useHttp11();
  const Url target(url);
  DRAV::detail::refuseUnknownScheme(target);
  DownloadHandles h;
  h.session = InternetOpenW(DRAV::detail::WideText("DRAVDownloadResource").c_str(), INTERNET_OPEN_TYPE_PRECONFIG,
                            nullptr, nullptr, 0);
  if (!h.session) downloadFailed("Failed to open session", target, GetLastError(), nullptr);
  h.connection = DRAV::detail::connectTo(h.session, target);
  if (!h.connection) downloadFailed("Failed to connect", target, GetLastError(), nullptr);
  DRAV::detail::setTransportTimeouts(h.connection);
  Annal::Logger(Annal::M) << "GET to rootUrl : " << target.toString();
  const AuthInfo& a = proxy_->authInfo();
  const TlsPolicy tls = DRAV::detail::tlsPolicyOf(a);
  h.request = DRAV::detail::openRequest(h.connection, "GET", target, tls);
  if (!h.request) Annal::Logger(Annal::Error) << "Failed to open request handle";
  // The bridge's credentials go to the bridge's origin only: a resource
  // elsewhere that asks for them must not receive them.
  if (a.signOnOnly()) {
    Annal::Logger(Annal::M) << "no credentials for " << target.toString() << " : they are the sign-on's";
  } else if (credentials == DownloadCredentials::Always || sameOrigin(target, proxy_->url())) {
    DRAV::detail::setTextOption(h.request, INTERNET_OPTION_USERNAME, a.user());
    DRAV::detail::setTextOption(h.request, INTERNET_OPTION_PASSWORD, a.pass());
  } else {
    Annal::Logger(Annal::M) << "no credentials for " << target.toString() << " : not the bridge's origin";
  }
  if (a.needProxyAuth()) {
    DRAV::detail::setTextOption(h.request, INTERNET_OPTION_PROXY_USERNAME, a.proxyUser());
    DRAV::detail::setTextOption(h.request, INTERNET_OPTION_PROXY_PASSWORD, a.proxyPass());
  }
  if (!HttpSendRequestW(h.request, nullptr, 0, nullptr, 0)) {
    downloadFailed("unable to send data", target, GetLastError(), h.request, &tls);
  }
  DWORD status = 0, statusSize = sizeof status;
  HttpQueryInfoW(h.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr);
  if (status < 200 || status > 299) {
    // An error page or a redirect is not the resource: its start says why.
    std::string excerpt;
    char* piece = nullptr;
    bool ended = false;
    for (unsigned long k; excerpt.size() < kShownExcerpt &&
                          (k = DRAV::detail::readPiece(h.request, piece, kShownExcerpt, ended, Annal::M)) > 0;)
      excerpt.append(piece, std::min<std::size_t>(k, kShownExcerpt - excerpt.size()));
    ::operator delete(piece);
    if (ended) h.request = nullptr;
    const std::string text = "the resource " + DRAV::detail::escapeLogField(target.toString()) + " answered HTTP " +
                             std::to_string(status) +
                             (excerpt.empty() ? "" : ": " + DRAV::detail::escapeLogField(excerpt, kShownExcerpt));
    Annal::Logger(Annal::Error) << text;
    throw DRAVException(text);
  }
  // What the server announced, to tell a body that was cut off from one
  // that ended (a WinINet may report a dropped connection as the end).
  DWORD announced = 0, announcedSize = sizeof announced;
  const bool known = HttpQueryInfoW(h.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &announced,
                                    &announcedSize, nullptr) != FALSE;
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : 1000;
  char* piece = nullptr;
  bool ended = false;
  std::uint64_t got = 0;
  bool tooLong = false;
  for (unsigned long k; !tooLong && (k = DRAV::detail::readPiece(h.request, piece, n, ended, Annal::M)) > 0;) {
    tooLong = k > downloadLimit_ - got;
    const std::uint64_t kept = tooLong ? downloadLimit_ - got : k;
    const auto* bytes = reinterpret_cast<const unsigned char*>(piece);
    data.insert(data.end(), bytes, bytes + kept);
    got += kept;
  }
  const DWORD readError = ended ? static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED) : GetLastError();
  ::operator delete(piece);
  if (ended) h.request = nullptr;  // the end closed it; a failed read or the limit leaves it to DownloadHandles
  if (tooLong) {
    const std::string text = "the resource " + DRAV::detail::escapeLogField(target.toString()) + " is larger than the download limit of " +
                             std::to_string(downloadLimit_) + " bytes";
    Annal::Logger(Annal::Error) << text;
    throw DRAVException(text);
  }
  if (!ended || (known && got < announced)) {
    // A body cut short is not the resource: the caller keeps what came, and learns it is partial.
    const std::string text = "the resource " + DRAV::detail::escapeLogField(target.toString()) + " was cut off after " + std::to_string(got) +
                             " bytes: " + DRAV::detail::failureLine(target, readError, h.request);
    Annal::Logger(Annal::Error) << text;
    throw DRAVException(text);
  }
}
