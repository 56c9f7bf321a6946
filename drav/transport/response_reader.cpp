// Reading answers: receive, draining, the call status, and whole-resource
// downloads.
#include <drav/transport/http_request.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/config/url.h>
#include <drav/platform/annal.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/wininet_text.h>

#include <new>

namespace {

const Annal::AnnalInitExit annalInitExit;

// Piece size when neither readChunkSize nor the caller gives one: a read
// of 0 bytes would look like the end and lose the answer.
constexpr std::uint32_t kDefaultPiece = 4000;
// Draining an unwanted answer stops here (then the connection is dropped):
// a server sending without end must not hold the call.
constexpr int kMaxDrainPieces = 4096;

}  // namespace

unsigned long DRAVHttpRequest::receive(char*& buffer, unsigned long size) {
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : DRAV::detail::toWireULong(size, "receive size");
  bool ended = false;
  const unsigned long read = DRAV::detail::readPiece(requestHandle_, buffer, n ? n : kDefaultPiece, ended, Annal::Error);
  if (ended) requestHandle_ = nullptr;
  return read;
}

unsigned long DRAVHttpRequest::receive(void* handle, char*& buffer, unsigned long size) {
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : DRAV::detail::toWireULong(size, "receive size");
  bool ended = false;
  return DRAV::detail::readPiece(handle, buffer, n ? n : kDefaultPiece, ended, Annal::M);
}

void DRAVHttpRequest::dumpReceive() {
  char* piece = nullptr;
  int pieces = 0;
  while (receive(piece, 4000) > 0) {
    if (++pieces == kMaxDrainPieces) {
      closeHandle(requestHandle_);
      requestHandle_ = nullptr;
      break;
    }
  }
  ::operator delete(piece);
}

CallStatus DRAVHttpRequest::getCallStatus() const {
  DWORD code = 0, size = sizeof code;
  if (!HttpQueryInfoW(requestHandle_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
    Annal::Logger(Annal::Error) << "unable to get the HTTP request code";
  if (code != 0) return CallStatus(code, "");
  return CallStatus(0, "the HTTP server is not started");
}

void DRAVHttpRequest::downloadResource(const std::string& url, std::vector<unsigned char>& data) {
  DRAV::detail::useHttp11();
  HINTERNET session = InternetOpenW(DRAV::detail::WideText("DRAVDownloadResource").c_str(),
                                    INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!session) {
    Annal::Logger(Annal::Error) << "Failed to open session";
    return;
  }
  const Url target(url);
  HINTERNET connection = DRAV::detail::connectTo(session, target);
  if (!connection) {
    Annal::Logger(Annal::Error) << "Failed to connect";
    InternetCloseHandle(session);
    return;
  }
  DRAV::detail::setTransportTimeouts(connection);
  Annal::Logger(Annal::M) << "GET to rootUrl : " << target.toString();
  HINTERNET request = DRAV::detail::openRequest(connection, "GET", target);
  if (!request) Annal::Logger(Annal::Error) << "Failed to open request handle";
  const AuthInfo& a = proxy_->authInfo();
  DRAV::detail::setTextOption(request, INTERNET_OPTION_USERNAME, a.user());
  DRAV::detail::setTextOption(request, INTERNET_OPTION_PASSWORD, a.pass());
  if (a.needProxyAuth()) {
    DRAV::detail::setTextOption(request, INTERNET_OPTION_PROXY_USERNAME, a.proxyUser());
    DRAV::detail::setTextOption(request, INTERNET_OPTION_PROXY_PASSWORD, a.proxyPass());
  }
  if (!HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
    const DWORD code = GetLastError();
    Annal::Logger(Annal::Error) << "unable to send data" << static_cast<unsigned long>(code);
    if (request) InternetCloseHandle(request);
    InternetCloseHandle(connection);
    InternetCloseHandle(session);
    throw HttpPostDataException(code);
  }
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : 1000;
  char* piece = nullptr;
  bool ended = false;
  std::uint64_t got = 0;
  bool tooLong = false;
  for (unsigned long k; !tooLong && (k = DRAV::detail::readPiece(request, piece, n, ended, Annal::M)) > 0;) {
    tooLong = k > downloadLimit_ - got;
    const std::uint64_t kept = tooLong ? downloadLimit_ - got : k;
    data.insert(data.end(), piece, piece + kept);
    got += kept;
  }
  ::operator delete(piece);
  if (!ended) InternetCloseHandle(request);  // a failed read or the limit leaves it open
  InternetCloseHandle(connection);
  InternetCloseHandle(session);
  if (tooLong) {
    const std::string text = "the resource " + target.toString() + " is larger than the download limit of " +
                             std::to_string(downloadLimit_) + " bytes";
    Annal::Logger(Annal::Error) << text;
    throw DRAVException(text);
  }
}
