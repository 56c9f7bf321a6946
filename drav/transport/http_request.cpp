// Sending a call: the connection check, the header block, the choice
// between a direct and a chunked post, and the reactions to send failures.
#include <drav/transport/http_request.h>

#include <drav/common/exception.h>
#include <drav/common/log_field.h>
#include <drav/common/wire_width.h>
#include <drav/platform/annal.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/delivery.h>
#include <drav/transport/failure_text.h>
#include <drav/transport/http_event_sink.h>
#include <drav/transport/ssl_error_hook.h>
#include <drav/transport/sso_provider.h>
#include <drav/transport/wininet_text.h>

#include <algorithm>
#include <string_view>

namespace {

const Annal::AnnalInitExit annalInitExit;

// Attempts of one send on its request, for failures that prove the request
// never left (a refused connection, say). They follow each other at once:
// each may find another address of the name, or a kept connection gone; a
// pause would lengthen every call to a host that is down.
constexpr int kSendAttempts = 5;
// Calls repeated after an answer that asks for it (a refused login, a
// redirect, a forced retry), or after a lost answer of a repeatable call: a
// server answering the same way every time must not keep a call going for
// ever. Three repeats cover one credential prompt each for the server and
// the proxy, and a lost answer.
constexpr int kMaxCallRepeats = 3;
// Piece size for a blob when no chunk size was given at all.
constexpr std::uint32_t kDefaultBlobChunk = 64 * 1024;

using DRAV::detail::Delivery;
using DRAV::detail::toWireULong;
using DRAV::detail::WideText;

bool isCertificateError(DWORD code) {
  return code == ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED || code == ERROR_INTERNET_SEC_CERT_REV_FAILED ||
         DRAV::detail::isUntrustedCertificate(code);
}

// The send attempts on one request handle: after a failure, another only
// when the request provably never left, or once when the SSL hook accepted
// the certificate that failed (it may have changed what the next one checks).
class SendAttempts {
public:
  explicit SendAttempts(void* requestHandle) : handle_(requestHandle) {}
  // Traces the failure, consults the SSL hook; false when no attempt follows.
  bool failed() {
    code_ = GetLastError();
    Annal::Logger(Annal::Error) << "request send : unable to send data";
    const bool hookAccepted = isCertificateError(code_) && DRAV::detail::callSslErrorHook(handle_, code_);
    if (++made_ >= kSendAttempts) return false;
    if (DRAV::detail::deliveryOf(code_, false) == Delivery::NotSent) return true;
    if (!hookAccepted || hookRetried_) return false;
    hookRetried_ = true;
    return true;
  }
  DWORD code() const { return code_; }

private:
  void* handle_;
  DWORD code_ = 0;
  int made_ = 0;
  bool hookRetried_ = false;
};

// The trace line of a send failure that the call reacts to; null for the
// others ("unhandled WinInet error"). `repeat`: whether the call is made again.
const char* failureTrace(unsigned long code, bool repeat) {
  switch (code) {
    case ERROR_INTERNET_INVALID_CA: return "request failed : ERROR_INTERNET_INVALID_CA";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return "request failed : ERROR_INTERNET_SEC_CERT_CN_INVALID";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return "request failed : ERROR_INTERNET_SEC_CERT_DATE_INVALID";
    case ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED: return "request failed : ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED";
    case ERROR_INTERNET_CONNECTION_RESET:
      return repeat ? "request failed : ERROR_INTERNET_CONNECTION_RESET -> retry"
                    : "request failed : ERROR_INTERNET_CONNECTION_RESET -> not repeated: the call may have run";
    case ERROR_INTERNET_FORCE_RETRY:
      return repeat ? "request failed : ERROR_INTERNET_FORCE_RETRY -> retry"
                    : "request failed : ERROR_INTERNET_FORCE_RETRY without an answer -> not repeated: the call may have run";
    case HTTP_STATUS_DENIED: return "request failed : HTTP_STATUS_DENIED -> invalid HTTP user login/password";
    case HTTP_STATUS_PROXY_AUTH_REQ:
      return "request failed : HTTP_STATUS_PROXY_AUTH_REQ -> invalid HTTP proxy login/password";
    case HTTP_STATUS_MOVED: return "request failed : HTTP_STATUS_MOVED -> retry";
    default: return repeat ? "request failed : no answer -> retry (the call is repeatable)" : nullptr;
  }
}

// Whether a name can go into a header line: no control character (a CR or
// LF would end the line and start one of the sender's choosing).
void refuseControls(const char* what, const std::string& name) {
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F)
      throw DRAVException(std::string(what) + " \"" + DRAV::detail::escapeShownText(name, 256) +
                          "\" holds a control character, which no header may carry: the call is not sent");
  }
}

const char* streamingName(tag_StreamingMode mode) {
  switch (mode) {
    case StreamingNo: return "NO";
    case StreamingIn: return "IN";
    case StreamingOut: return "OUT";
    case StreamingInOut: return "INOUT";
    default: return nullptr;
  }
}

}  // namespace

DRAVHttpRequest::DRAVHttpRequest(DRAVBridgeProxy* proxy) : proxy_(proxy) {}

DRAVHttpRequest::~DRAVHttpRequest() { closeHandle(requestHandle_); }

bool DRAVHttpRequest::closeHandle(void* handle) { return !handle || InternetCloseHandle(handle) != FALSE; }

void DRAVHttpRequest::setWriteChunkSize(unsigned long size) {
  writeChunkSize_ = toWireULong(size, "write chunk size");
}

void DRAVHttpRequest::setReadChunkSize(unsigned long size) { readChunkSize_ = toWireULong(size, "read chunk size"); }

unsigned long DRAVHttpRequest::call(const std::string& methodName, char* args, unsigned long argsSize,
                                    unsigned long chunkSize, bool needSsoToken, tag_StreamingMode mode,
                                    unsigned char* extraBlob, unsigned long extraBlobSize) {
  refuseControls("the method name", methodName);
  refuseControls("the bridge name", proxy_->bridgeName());
  failure_.clear();
  failureCode_ = 0;
  try {
    DRAV::detail::refuseUnknownScheme(proxy_->url(), &failure_);
  } catch (const HttpPostDataException& e) {
    failureCode_ = static_cast<std::uint32_t>(e.getErrorCode());
    throw;
  }
  userRefused_ = proxyRefused_ = false;
  return callWithin(methodName, args, argsSize, chunkSize, needSsoToken, mode, extraBlob, extraBlobSize, 0, 0);
}

unsigned long DRAVHttpRequest::callWithin(const std::string& methodName, char* args, unsigned long argsSize,
                                          unsigned long chunkSize, bool needSsoToken, tag_StreamingMode mode,
                                          unsigned char* extraBlob, unsigned long extraBlobSize, int depth,
                                          unsigned long refusal) {
  toWireULong(argsSize, "argument size");
  toWireULong(extraBlobSize, "extra blob size");
  const unsigned long chunk = writeChunkSize_ ? writeChunkSize_ : toWireULong(chunkSize, "chunk size");
  if (!(proxy_->isConnected() && InternetAttemptConnect(0) == ERROR_SUCCESS)) {
    if (DRAVSsoProvider* sso = proxy_->getSsoProvider()) sso->initialize(proxy_);
    proxy_->openConnection();
  }
  proxy_->reapplyCookies();
  closeHandle(requestHandle_);  // a repeated call replaces the handle of the one before
  requestHandle_ = DRAV::detail::openRequest(proxy_->getConnectionHandle(), "POST", proxy_->url(),
                                             DRAV::detail::tlsPolicyOf(proxy_->authInfo()));
  if (!requestHandle_) Annal::Logger(Annal::Error) << "Failed to open request handle";
  // The sink answers a refusal on the handle that carries the repeated call
  // (the refused one went with its drained answer), before the headers are
  // built from credentials it may have changed. It answers again on each
  // later handle of the call: a repeat after a reset (a proxy closing the
  // connection it refused on, say) must not go out without them.
  userRefused_ = userRefused_ || refusal == HTTP_STATUS_DENIED;
  proxyRefused_ = proxyRefused_ || refusal == HTTP_STATUS_PROXY_AUTH_REQ;
  if (userRefused_) proxy_->getEventSink()->onHttpUserAuthRequest(*this);
  if (proxyRefused_) proxy_->getEventSink()->onHttpProxyAuthRequest(*this);
  const std::string headers = getCallHeaders(methodName, needSsoToken, mode, argsSize, extraBlobSize);
  const WideText wideHeaders(headers);
  HttpAddRequestHeadersW(requestHandle_, wideHeaders.c_str(), wideHeaders.length(),
                         HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
  Annal::Logger(Annal::M) << "headers\n" << headers;
  // A chunked post that the server asked for twice over gets one more run.
  try {
    return internalCall(methodName, args, argsSize, chunk, needSsoToken, mode, extraBlob, extraBlobSize, depth);
  } catch (const ChunkedPostDataException&) {
  }
  return internalCall(methodName, args, argsSize, chunk, needSsoToken, mode, extraBlob, extraBlobSize, depth);
}

std::string DRAVHttpRequest::getCallHeaders(const std::string& methodName, bool needSsoToken,
                                            tag_StreamingMode mode, unsigned long argsSize,
                                            unsigned long extraBlobSize) {
  const AuthInfo& a = proxy_->authInfo();
  std::string block;
  block.reserve(256);  // the usual block in one allocation
  // `start` is the header's name with its ": ".
  const auto line = [&block](std::string_view start, std::string_view value) {
    block.append(start).append(value).append("\r\n");
  };
  line("DRAVBridgeName: ", proxy_->bridgeName());
  line("DRAVMethodName: ", methodName);
  // Credentials that serve the sign-on alone go to the logon, not on calls.
  const bool callAuth = a.needAuth() && !a.signOnOnly();
  if (callAuth && a.mode() == AuthInfo::AuthBasic) line("Authorization: ", "Basic " + a.credentials());
  if (callAuth && a.mode() == AuthInfo::AuthNtlm) {
    DRAV::detail::setTextOption(requestHandle_, INTERNET_OPTION_USERNAME, a.user());
    DRAV::detail::setTextOption(requestHandle_, INTERNET_OPTION_PASSWORD, a.pass());
  }
  if (a.needProxyAuth()) {
    DRAV::detail::setTextOption(requestHandle_, INTERNET_OPTION_PROXY_USERNAME, a.proxyUser());
    DRAV::detail::setTextOption(requestHandle_, INTERNET_OPTION_PROXY_PASSWORD, a.proxyPass());
  }
  line("DRAVMethodNeedSsoToken: ", needSsoToken ? "yes" : "no");
  if (const char* streaming = streamingName(mode)) line("DRAVStreamingMode: ", streaming);
  // Sizes are below 2^32 (checked by call); written unsigned so that none
  // reads as negative.
  line("DRAVArgs-Size: ", std::to_string(argsSize));
  line("DRAVExtraBlob-Size: ", std::to_string(extraBlobSize));
  return block;
}

unsigned long DRAVHttpRequest::internalCall(const std::string& methodName, char* args, unsigned long argsSize,
                                            unsigned long chunk, bool needSsoToken, tag_StreamingMode mode,
                                            unsigned char* extraBlob, unsigned long extraBlobSize, int depth) {
  try {
    const unsigned long sent = send(args, argsSize, chunk, extraBlob, extraBlobSize);
    // WinINet reports refused credentials as an answer, not a failure: they
    // take the event-sink rows of the table below.
    const unsigned long status = getCallStatus().httpCode();
    if (status == HTTP_STATUS_DENIED || status == HTTP_STATUS_PROXY_AUTH_REQ) throw HttpPostDataException(status);
    failure_.clear();  // of a refusal this call was repeated after
    failureCode_ = 0;
    return sent;
  } catch (const HttpPostDataException& e) {
    const unsigned long code = e.getErrorCode();
    const Delivery delivery = DRAV::detail::deliveryOf(code, hasAnswer());
    const bool repeat = delivery == Delivery::Answered || (delivery == Delivery::MayHaveRun && repeatable_);
    const char* trace = failureTrace(code, repeat);
    Annal::Logger(Annal::Error) << (trace ? trace : "unhandled WinInet error");
    // Named before the drain, which may close the handle that holds the time-out.
    const TlsPolicy tls = DRAV::detail::tlsPolicyOf(proxy_->authInfo());
    failure_ = DRAV::detail::failureLine(proxy_->url(), code, requestHandle_, &tls);
    failureCode_ = static_cast<std::uint32_t>(code);
    dumpReceive();
    const bool ends = !repeat || depth >= kMaxCallRepeats;
    if (ends) Annal::Logger(Annal::Error) << "request failed : " << failure_;
    if (DRAV::detail::isUntrustedCertificate(code)) throw UnknownCertAuthException(failure_);
    if (code == ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED) throw UnknownClientCertAuthException();
    if (!ends)
      return callWithin(methodName, args, argsSize, chunk, needSsoToken, mode, extraBlob, extraBlobSize, depth + 1,
                        code);
    if (delivery == Delivery::MayHaveRun) throw CallMayHaveRunException(code, failure_);
    if (repeat) Annal::Logger(Annal::Error) << "unhandled WinInet error";
    return 0;
  }
}

bool DRAVHttpRequest::hasAnswer() const {
  DWORD code = 0, size = sizeof code;
  return HttpQueryInfoW(requestHandle_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr) &&
         code != 0;
}

unsigned long DRAVHttpRequest::send(char* args, unsigned long argsSize, unsigned long chunk, unsigned char* extraBlob,
                                    unsigned long extraBlobSize) {
  unsigned long sent;
  if (extraBlob && extraBlobSize > 0) {
    sent = chunkedPostData(args, argsSize, chunk, extraBlob, extraBlobSize);
    if (sent == 0) sent = chunkedPostData(args, argsSize, chunk, extraBlob, extraBlobSize);
  } else if (chunk == 0 || argsSize <= chunk) {
    return directPostData(args, argsSize);
  } else {
    sent = chunkedPostData(args, argsSize, chunk, nullptr, 0);
    if (sent == 0) sent = chunkedPostData(args, argsSize, chunk, nullptr, 0);
  }
  if (sent == 0) {
    Annal::Logger(Annal::Error) << "DRAVBridgeProxy::chunkedPostData second retry failed";
    throw ChunkedPostDataException(ERROR_INTERNET_FORCE_RETRY);
  }
  return sent;
}

unsigned long DRAVHttpRequest::directPostData(char* args, unsigned long argsSize) {
  SendAttempts attempts(requestHandle_);
  do {
    if (HttpSendRequestW(requestHandle_, nullptr, 0, args, static_cast<DWORD>(argsSize))) return argsSize;
  } while (attempts.failed());
  throw HttpPostDataException(attempts.code());
}

bool DRAVHttpRequest::writePieces(const unsigned char* data, std::uint32_t size, std::uint32_t chunk,
                                  std::uint32_t& total, bool blob) {
  const std::uint32_t count = size / chunk;
  if (blob) Annal::Logger(Annal::M) << "chunkCount=" << count;
  else Annal::Logger(Annal::M) << "chunk count : " << count;
  DWORD written = 0;
  std::uint32_t offset = 0;
  bool ok = true;
  for (std::uint32_t i = 0; i < count && ok; ++i) {
    const std::uint32_t piece = std::min(size - offset, chunk);
    if (blob)
      Annal::Logger(Annal::M) << "offset=" << offset << " cSize=" << piece << " - extraBlobSize=" << size
                              << " dwByteWritten=" << written;
    else
      Annal::Logger(Annal::M) << offset << " - " << piece << " - " << size << " - " << written << " - " << piece;
    ok = InternetWriteFile(requestHandle_, data + offset, piece, &written) != FALSE;
    if (ok) {
      offset += written;
      total += written;
      Annal::Logger(Annal::M) << "request send : " << total << " bytes sent";
    }
  }
  if (ok && offset < size) {
    if (blob) Annal::Logger(Annal::M) << "cSize=" << size - offset << " offset=" << offset;
    ok = InternetWriteFile(requestHandle_, data + offset, size - offset, &written) != FALSE;
    if (ok) {
      total += written;
      Annal::Logger(Annal::M) << "request send : " << total << " bytes sent";
    }
  }
  return ok;
}

unsigned long DRAVHttpRequest::chunkedPostData(char* args, unsigned long argsSize, unsigned long chunk,
                                               unsigned char* blob, unsigned long blobSize) {
  if (static_cast<unsigned long long>(argsSize) + blobSize > 0xFFFFFFFFull)
    throw DRAVException("call body does not fit 32 bits: " + std::to_string(argsSize) + " + " + std::to_string(blobSize));
  // With no chunk size at all a blob still goes out in pieces, instead of
  // dividing by zero.
  const std::uint32_t piece = chunk ? static_cast<std::uint32_t>(chunk) : kDefaultBlobChunk;
  DRAV::detail::setTransportTimeouts(requestHandle_);
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof buffers;
  buffers.dwBufferTotal = static_cast<DWORD>(argsSize + blobSize);
  SendAttempts attempts(requestHandle_);
  while (!HttpSendRequestExW(requestHandle_, &buffers, nullptr, HSR_INITIATE, 0)) {
    if (!attempts.failed()) throw HttpPostDataException(attempts.code());
  }
  DWORD code;
  std::uint32_t total = 0;
  bool ok = writePieces(reinterpret_cast<const unsigned char*>(args), static_cast<std::uint32_t>(argsSize), piece,
                        total, false);
  if (ok && blob && blobSize > 0) ok = writePieces(blob, static_cast<std::uint32_t>(blobSize), piece, total, true);
  if (!ok) {
    // A body cut short is a failed send, not a call that went through.
    code = GetLastError();
    Annal::Logger(Annal::Error) << "Error on InternetWriteFile " << static_cast<unsigned long>(code);
    throw HttpPostDataException(code);
  }
  if (!HttpEndRequestW(requestHandle_, nullptr, 0, 0)) {
    code = GetLastError();
    // Posted again only when the server answered and asked for it.
    if (code == ERROR_INTERNET_FORCE_RETRY && hasAnswer()) return 0;
    throw HttpPostDataException(code);
  }
  return total;
}
