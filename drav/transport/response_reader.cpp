// Reading answers: receive, draining, the call status, and whole-resource
// downloads.
#include <drav/transport/http_request.h>

#include <drav/common/wire_width.h>
#include <drav/config/url.h>
#include <drav/platform/annal.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/wininet_text.h>

#include <cstring>
#include <new>

namespace {

const Annal::AnnalInitExit annalInitExit;

// Piece size when neither readChunkSize nor the caller gives one: a read
// of 0 bytes would look like the end and lose the answer.
constexpr std::uint32_t kDefaultPiece = 4000;
// Draining an unwanted answer stops here (then the connection is dropped):
// a server sending without end must not hold the call.
constexpr int kMaxDrainPieces = 4096;

// Reads one piece from `handle`; `ended` tells whether the end closed it.
unsigned long readPiece(void* handle, char*& buffer, std::uint32_t size, bool& ended, const Annal::Importance& closeLevel) {
  ended = false;
  if (buffer) {
    ::operator delete(buffer);
    buffer = nullptr;
  }
  char* scratch = static_cast<char*>(::operator new(size));
  DWORD read = 0;
  if (!InternetReadFile(handle, scratch, size, &read)) {
    Annal::Logger(Annal::Error) << "response reading has failed";
    ::operator delete(scratch);
    return 0;
  }
  if (read > 0) {
    Annal::Logger(Annal::M) << "receiving " << static_cast<unsigned long>(read) << " bytes";
    if (read == size) {
      buffer = scratch;  // already exactly the bytes received: no copy
    } else {
      buffer = static_cast<char*>(::operator new(read));
      std::memcpy(buffer, scratch, read);
      ::operator delete(scratch);
    }
    return read;
  }
  ::operator delete(scratch);
  Annal::Logger(Annal::M) << "receive : no more data in response buffer";
  if (!InternetCloseHandle(handle)) Annal::Logger(closeLevel) << "receive : Failed to close Request handle";
  ended = true;
  return 0;
}

}  // namespace

unsigned long DRAVHttpRequest::receive(char*& buffer, unsigned long size) {
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : DRAV::detail::toWireULong(size, "receive size");
  bool ended = false;
  const unsigned long read = readPiece(requestHandle_, buffer, n ? n : kDefaultPiece, ended, Annal::Error);
  if (ended) requestHandle_ = nullptr;
  return read;
}

unsigned long DRAVHttpRequest::receive(void* handle, char*& buffer, unsigned long size) {
  const std::uint32_t n = readChunkSize_ ? readChunkSize_ : DRAV::detail::toWireULong(size, "receive size");
  bool ended = false;
  return readPiece(handle, buffer, n ? n : kDefaultPiece, ended, Annal::M);
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
  for (unsigned long k; (k = readPiece(request, piece, n, ended, Annal::M)) > 0;)
    data.insert(data.end(), piece, piece + k);
  ::operator delete(piece);
  if (!ended) InternetCloseHandle(request);  // a failed read leaves it open
  InternetCloseHandle(connection);
  InternetCloseHandle(session);
}
