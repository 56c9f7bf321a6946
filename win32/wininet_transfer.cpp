#include <win32/wininet_transfer.h>

#include <win32/ascii_case.h>
#include <win32/wininet.h>
#include <win32/wininet_cookies.h>
#include <win32/wininet_errors.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <string_view>

namespace drav_wininet {
namespace {

// libcurl's receive buffer. Reading a 256 MiB answer over loopback took
// about 55 ms of client CPU with 64 KiB against 150-170 ms with the 16 KiB
// default (bench/transport.cpp); it also bounds what a paused transfer holds.
constexpr long kReceiveBuffer = 64 * 1024;
// Answer bytes kept for the caller between reads; beyond this libcurl pauses.
constexpr std::size_t kSpillLimit = 2 * kReceiveBuffer;
// Whole bodies up to this size are copied into libcurl, which then sends
// them together with the request head; larger ones are read in place.
constexpr std::uint64_t kCopyBodyLimit = 64 * 1024;
constexpr long kServerAuth = 1, kProxyAuth = 2;
bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Whether a "Transfer-Encoding:" line names chunked and nothing else: the
// only coding a request offers (it sends no TE). libcurl would inflate
// others, however much they hold.
bool onlyChunked(std::string_view line) {
  line.remove_prefix(line.find(':') + 1);
  bool any = false;
  while (!line.empty()) {
    const std::size_t comma = line.find(',');
    std::string_view coding = line.substr(0, comma);
    while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) coding.remove_prefix(1);
    while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) coding.remove_suffix(1);
    if (!coding.empty() && !equalsNoCase(coding, "chunked")) return false;
    any = any || !coding.empty();
    line.remove_prefix(comma == std::string_view::npos ? line.size() : comma + 1);
  }
  return any;
}

// Room for the header lines of most answers, taken once.
constexpr std::size_t kUsualHeaderLines = 8;
// The most an answer's heads (interim ones and the tunnel's included) may
// take: far beyond any host's, below libcurl's own bound, which would end
// the exchange as if the connection had failed.
constexpr std::size_t kMaxAnswerHeads = 256 * 1024;

// The mark onSslContext is given to add the system's authorities: any
// address will do.
char kWithSystemAuthorities;

}  // namespace

long ResponseHead::offeredAuth(bool proxy) const {
  const char* name = proxy ? "proxy-authenticate:" : "www-authenticate:";
  long offered = 0;
  for (const std::string& line : lines) {
    if (!startsWithNoCase(line, name)) continue;
    std::string value = line.substr(std::strlen(name));
    value.erase(0, value.find_first_not_of(" \t"));
    if (startsWithNoCase(value, "basic")) offered |= CURLAUTH_BASIC;
    if (startsWithNoCase(value, "ntlm")) offered |= CURLAUTH_NTLM;
  }
  return offered;
}

thread_local Transfer* Transfer::driving_ = nullptr;

Transfer::~Transfer() { abandon(); }

void Transfer::abandon() {
  if (engine_ && !(finished_ && result_ == CURLE_OK && !sendPaused_ && !recvPaused_)) engine_->holdsSmallPost = false;
  if (engine_ && added_) curl_multi_remove_handle(engine_->multi(), engine_->easy());
  added_ = false;
  engine_ = nullptr;
  memoryBody_ = nullptr;
  piece_ = nullptr;
  reader_ = nullptr;
  std::vector<unsigned char>().swap(spill_);
  spillPos_ = 0;
}

void Transfer::cancel() {
  cancelled_ = true;
  // Paired with drive(): it marks itself waiting before it looks at
  // cancelled_ a last time, so either it sees the cancel or this sees it wait.
  if (!waiting_) return;
  if (CURLM* multi = wakeMulti_.load()) curl_multi_wakeup(multi);
}

void Transfer::configure(const TransferSetup& setup, bool smallPost) {
  CURL* e = engine_->easy();
  if (!(smallPost && engine_->holdsSmallPost)) {
    curl_easy_reset(e);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Transfer::onSslContext);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onWrite);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &Transfer::onPrereq);
  }
  engine_->holdsSmallPost = smallPost;
  url_ = setup.url;
  storeCookies_ = setup.storeCookies;
  timeouts_[0] = setup.sendTimeoutMs;
  timeouts_[1] = setup.receiveTimeoutMs;
  errorText_[0] = '\0';
  clientCertRequested_ = false;
  verifyError_ = 0;
  nulInName_ = false;
  tlsFault_.clear();
  authInFlight_ = 0;
  // What every exchange sets, so that none keeps the value of the one before.
  curl_easy_setopt(e, CURLOPT_URL, setup.url.c_str());
  curl_easy_setopt(e, CURLOPT_CURLU, engine_->parsedUrl(setup.url));
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText_);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, setup.http10 ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(e, CURLOPT_USERAGENT, setup.userAgent.empty() ? nullptr : setup.userAgent.c_str());
  static const HeaderFields noHeaders;
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, engine_->headerList(setup.headers ? *setup.headers : noHeaders, setup.cookie));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(setup.connectTimeoutMs));
  curl_easy_setopt(e, CURLOPT_PROXY, setup.proxy.c_str());
  curl_easy_setopt(e, CURLOPT_NOPROXY, setup.noProxy.empty() ? nullptr : setup.noProxy.c_str());
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, setup.verifyPeer ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, setup.verifyHost ? 2L : 0L);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, this);
  // Set only when wanted: an exchange that has them is not a small post,
  // so the next exchange starts from a reset handle.
  if (setup.httpAuth) {
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, setup.httpAuth);
    curl_easy_setopt(e, CURLOPT_USERNAME, setup.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, setup.password.c_str());
    authInFlight_ |= kServerAuth;
  }
  if (setup.proxyAuth && !setup.proxy.empty()) {
    curl_easy_setopt(e, CURLOPT_PROXYAUTH, setup.proxyAuth);
    curl_easy_setopt(e, CURLOPT_PROXYUSERNAME, setup.proxyUser.c_str());
    curl_easy_setopt(e, CURLOPT_PROXYPASSWORD, setup.proxyPassword.c_str());
    authInFlight_ |= kProxyAuth;
  }
  if (!setup.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, setup.caFile.c_str());
  if (!setup.caFolder.empty()) curl_easy_setopt(e, CURLOPT_CAPATH, setup.caFolder.c_str());
  // Either replaces libcurl's authorities; the caller's are meant beside the
  // system's, which onSslContext adds back.
  if (!setup.caFile.empty() || !setup.caFolder.empty())
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &kWithSystemAuthorities);
}

DWORD Transfer::start(Engine& engine, const TransferSetup& setup, const void* body, std::uint64_t bodySize,
                      bool streamed) {
  abandon();
  engine_ = &engine;
  wakeMulti_ = engine.multi();
  head_ = tunnelHead_ = ResponseHead();
  headReady_ = finished_ = connected_ = progressed_ = sendPaused_ = recvPaused_ = false;
  result_ = CURLE_OK;
  serverSeen_ = proxySeen_ = 0;
  attempts_ = 0;
  answeredSinceAttempt_ = resendRefused_ = answerRefused_ = staleConnection_ = false;
  headBytes_ = 0;
  streamed_ = streamed;
  bodySize_ = bodySize;
  bodyOffset_ = fed_ = accepted_ = 0;
  const bool copied = !streamed && bodySize <= kCopyBodyLimit;
  const bool post = setup.verb == "POST";
  configure(setup, post && copied && !setup.httpAuth && !(setup.proxyAuth && !setup.proxy.empty()) &&
                       setup.caFile.empty() && setup.caFolder.empty());
  CURL* e = engine.easy();
  const bool get = setup.verb == "GET" && !streamed && bodySize == 0;
  if (setup.verb == "HEAD") {
    curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
  } else if (get) {
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(e, CURLOPT_POST, 1L);
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize));
    if (copied) {
      curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, bodySize ? static_cast<const char*>(body) : "");
    } else {
      memoryBody_ = streamed ? nullptr : static_cast<const unsigned char*>(body);
      curl_easy_setopt(e, CURLOPT_READFUNCTION, &Transfer::onRead);
      curl_easy_setopt(e, CURLOPT_READDATA, this);
      curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
      curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
    }
    if (!post) curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, setup.verb.c_str());
  }
  if (curl_multi_add_handle(engine.multi(), e) != CURLM_OK) {
    abandon();
    return ERROR_INTERNET_INTERNAL_ERROR;
  }
  added_ = true;
  const auto exchange = [this, streamed] {
    return streamed ? drive([this] { return sendPaused_ || headReady_; }, ERROR_SUCCESS)
                    : drive([this] { return headReady_; }, ERROR_SUCCESS);
  };
  DWORD rc = exchange();
  if (staleConnection_ && finished_ && attempts_ == 0) {
    // The kept connection held bytes no request asked for (the late answer
    // of a request given up, say): it is closed, and the request goes out,
    // once, on a connection of its own.
    curl_multi_remove_handle(engine.multi(), e);
    added_ = false;
    finished_ = connected_ = staleConnection_ = false;
    result_ = CURLE_OK;
    engine.holdsSmallPost = false;  // the next exchange starts from a reset handle
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 0L);
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    if (curl_multi_add_handle(engine.multi(), e) != CURLM_OK) {
      abandon();
      return ERROR_INTERNET_INTERNAL_ERROR;
    }
    added_ = true;
    rc = exchange();
  }
  memoryBody_ = nullptr;  // the caller's buffer is theirs again
  return rc;
}

DWORD Transfer::write(const void* data, DWORD size) {
  if (!engine_ || !streamed_) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  // More than was declared would corrupt the next request on the connection.
  if (size > bodySize_ - accepted_) return ERROR_INVALID_PARAMETER;
  if (finished_ && !answeredEarly()) return failure();
  if (finished_ || size == 0) {
    // The server answered before taking the whole body: the rest is no
    // longer wanted, as when it is written into a socket nobody reads.
    accepted_ += size;
    return ERROR_SUCCESS;
  }
  piece_ = static_cast<const unsigned char*>(data);
  pieceSize_ = size;
  pieceTaken_ = 0;
  const std::uint64_t target = accepted_ + size;
  sendPaused_ = false;
  updatePause();
  const DWORD rc = drive([&] { return pieceTaken_ == pieceSize_ && uploaded() >= target; }, ERROR_SUCCESS);
  piece_ = nullptr;
  if (rc != ERROR_SUCCESS && !answeredEarly()) return rc;
  accepted_ = target;
  return ERROR_SUCCESS;
}

DWORD Transfer::finish() {
  if (!engine_ || !streamed_) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  if (accepted_ < bodySize_ && !finished_) {
    // The server still waits for the rest: this exchange cannot complete.
    abandon();
    return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  }
  return drive([this] { return headReady_; }, ERROR_SUCCESS);
}

DWORD Transfer::read(void* into, DWORD size, DWORD& got) {
  got = 0;
  if (!engine_ || !headReady_) return finished_ && result_ != CURLE_OK ? failure() : ERROR_INTERNET_INCORRECT_HANDLE_STATE;
  reader_ = static_cast<unsigned char*>(into);
  readerRoom_ = size;
  readerFilled_ = 0;
  const std::size_t fromSpill = std::min<std::size_t>(size, spill_.size() - spillPos_);
  if (fromSpill) std::memcpy(reader_, spill_.data() + spillPos_, fromSpill);
  readerFilled_ = fromSpill;
  spillPos_ += fromSpill;
  if (spillPos_ == spill_.size()) spill_.clear(), spillPos_ = 0;
  if (readerFilled_ < size && spill_.empty() && recvPaused_) {
    recvPaused_ = false;
    updatePause();  // libcurl hands over what it held, into reader_
  }
  DWORD rc = ERROR_SUCCESS;
  if (readerFilled_ == 0 && !finished_)
    rc = drive([this] { return readerFilled_ > 0; }, ERROR_SUCCESS);
  else if (readerFilled_ < size && !finished_)
    rc = drive([] { return true; }, ERROR_SUCCESS);  // take what else has arrived, without waiting
  got = static_cast<DWORD>(readerFilled_);
  reader_ = nullptr;
  if (got > 0) return ERROR_SUCCESS;  // a failure shows at the next read
  if (rc != ERROR_SUCCESS) return rc;
  return finished_ && result_ != CURLE_OK ? failure() : ERROR_SUCCESS;
}

std::uint64_t Transfer::uploaded() const {
  curl_off_t sent = 0;
  curl_easy_getinfo(engine_->easy(), CURLINFO_SIZE_UPLOAD_T, &sent);
  return static_cast<std::uint64_t>(sent);
}

void Transfer::updatePause() {
  const int mask = (sendPaused_ ? CURLPAUSE_SEND : 0) | (recvPaused_ ? CURLPAUSE_RECV : 0);
  curl_easy_pause(engine_->easy(), mask);
}

bool Transfer::tunnelRefused() const {
  long code = 0;
  curl_easy_getinfo(engine_->easy(), CURLINFO_HTTP_CONNECTCODE, &code);
  return attempts_ == 0 && code >= 300 && tunnelHead_.status == code;
}

void Transfer::collectResult() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(engine_->multi(), &left)) {
    if (message->msg != CURLMSG_DONE || message->easy_handle != engine_->easy()) continue;
    finished_ = true;
    result_ = message->data.result;
    engine_->noteKeptConnection(result_ == CURLE_OK);
    if (result_ != CURLE_OK && tunnelRefused()) {
      // The proxy refused the tunnel: its answer is the request's, as a
      // proxy's answer to a plain request is, and nothing reached the server.
      head_ = std::move(tunnelHead_);
      result_ = CURLE_OK;
    }
    // libcurl ends well an exchange whose connection closed inside the
    // answer's head, or after an interim head: no answer came.
    if (result_ == CURLE_OK && !(head_.ended && head_.status >= 200)) result_ = CURLE_PARTIAL_FILE;
    if (result_ == CURLE_OK) headReady_ = true;
  }
}

CURLcode Transfer::onSslContext(CURL*, void* sslContext, void* withSystemAuthorities) {
  auto* context = static_cast<SSL_CTX*>(sslContext);
  SSL_CTX_set_client_cert_cb(context, &Transfer::onClientCertificateRequest);
  // Keeps libcurl's verdict; only notes what the check met, to name it.
  SSL_CTX_set_verify(context, SSL_CTX_get_verify_mode(context), &Transfer::onVerify);
  if (withSystemAuthorities) {
    // The system's authorities as OpenSSL finds them (SSL_CERT_FILE and
    // SSL_CERT_DIR, else its own paths). A system without them leaves the
    // caller's alone, which is no reason to fail.
    SSL_CTX_set_default_verify_paths(context);
    ERR_clear_error();
  }
  return CURLE_OK;
}

int Transfer::onClientCertificateRequest(SSL*, X509**, EVP_PKEY**) {
  if (driving_) driving_->clientCertRequested_ = true;
  return 0;  // no certificate: the server decides whether to go on without one
}

namespace {
// Whether an ASN.1 text holds a NUL before its end.
bool holdsNul(const ASN1_STRING* text) {
  const int length = ASN1_STRING_length(text);
  const unsigned char* data = ASN1_STRING_get0_data(text);
  return data && std::memchr(data, 0, static_cast<std::size_t>(length)) != nullptr;
}

bool nameHoldsNul(X509* certificate) {
  bool found = false;
  if (auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr))) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && !found; ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
      found = name->type == GEN_DNS && holdsNul(name->d.dNSName);
    }
    GENERAL_NAMES_free(names);
  }
  X509_NAME* subject = X509_get_subject_name(certificate);
  for (int at = -1; !found && (at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) >= 0;)
    found = holdsNul(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  return found;
}
}  // namespace

int Transfer::onVerify(int ok, X509_STORE_CTX* store) {
  Transfer* t = driving_;
  if (!t) return ok;
  if (!ok && t->verifyError_ == 0) t->verifyError_ = X509_STORE_CTX_get_error(store);
  if (X509_STORE_CTX_get_error_depth(store) == 0) {
    if (X509* leaf = X509_STORE_CTX_get_current_cert(store)) t->nulInName_ = t->nulInName_ || nameHoldsNul(leaf);
  }
  return ok;
}

namespace {
// Failures that come before a request goes out on its connection.
bool beforeSending(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM: return true;
    default: return false;
  }
}
}  // namespace

DWORD Transfer::failure() {
  // Such a failure after the request went out, with no answer since, is
  // that of libcurl's resend on a new connection (see onPrereq): a host that
  // refuses it now may have taken the request before.
  const bool resendFailed = attempts_ > 0 && !answeredSinceAttempt_ && beforeSending(result_);
  if (resendRefused_ || resendFailed) return errorOfLostRequest(engine_ ? engine_->easy() : nullptr);
  if (staleConnection_) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  if (answerRefused_) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
  tlsFault_ = drav_wininet::tlsFault(result_, verifyError_, nulInName_, errorText_);
  return errorFromCurl(result_, engine_ ? engine_->easy() : nullptr, errorText_, clientCertRequested_);
}

template <class Done>
DWORD Transfer::drive(Done done, DWORD whenFinished) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastProgress = Clock::now();
  for (;;) {
    if (cancelled_) {
      abandon();
      return ERROR_INTERNET_OPERATION_CANCELLED;
    }
    int running = 0;
    driving_ = this;
    const CURLMcode performed = curl_multi_perform(engine_->multi(), &running);
    driving_ = nullptr;
    if (performed != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
    collectResult();
    if (done()) return ERROR_SUCCESS;
    if (finished_) return result_ != CURLE_OK ? failure() : whenFinished;
    const Clock::time_point now = Clock::now();
    if (progressed_) {
      progressed_ = false;
      lastProgress = now;
    }
    // Until the connection stands, libcurl's own connect time-out applies.
    long waitMs = 1000;
    if (connected_) {
      const bool sending = !headReady_ && uploaded() < bodySize_;
      const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastProgress).count();
      const long limit = static_cast<long>(timeouts_[sending ? 0 : 1]);
      if (idle >= limit) {
        finished_ = true;
        result_ = CURLE_OPERATION_TIMEDOUT;
        curl_multi_remove_handle(engine_->multi(), engine_->easy());  // drops the stalled connection
        added_ = false;
        return ERROR_INTERNET_TIMEOUT;
      }
      waitMs = std::min<long>(waitMs, limit - static_cast<long>(idle));
    }
    waiting_ = true;
    if (!cancelled_) curl_multi_poll(engine_->multi(), nullptr, 0, static_cast<int>(std::max(waitMs, 1L)), nullptr);
    waiting_ = false;
  }
}

size_t Transfer::onRead(char* buffer, size_t size, size_t count, void* self) {
  Transfer& t = *static_cast<Transfer*>(self);
  const std::size_t room = size * count;
  if (!t.streamed_) {
    if (!t.memoryBody_) return CURL_READFUNC_ABORT;  // the caller's buffer is gone
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, t.bodySize_ - t.bodyOffset_));
    std::memcpy(buffer, t.memoryBody_ + t.bodyOffset_, n);
    t.bodyOffset_ += n;
    t.progressed_ = true;
    return n;
  }
  if (t.piece_ && t.pieceTaken_ < t.pieceSize_) {
    const std::size_t n = std::min(room, t.pieceSize_ - t.pieceTaken_);
    std::memcpy(buffer, t.piece_ + t.pieceTaken_, n);
    t.pieceTaken_ += n;
    t.fed_ += n;
    t.progressed_ = true;
    return n;
  }
  t.sendPaused_ = true;
  return CURL_READFUNC_PAUSE;
}

int Transfer::onSeek(void* self, curl_off_t offset, int origin) {
  Transfer& t = *static_cast<Transfer*>(self);
  if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
  // libcurl starting the body over without an answer: its resend of a
  // request a kept connection lost (see onPrereq).
  if (t.attempts_ > 0 && !t.answeredSinceAttempt_) {
    t.resendRefused_ = true;
    return CURL_SEEKFUNC_CANTSEEK;
  }
  if (!t.streamed_ && t.memoryBody_ && static_cast<std::uint64_t>(offset) <= t.bodySize_) {
    t.bodyOffset_ = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
  }
  // A streamed body can only start over before any of it was sent.
  return t.streamed_ && offset == 0 && t.fed_ == 0 ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
}

size_t Transfer::onWrite(char* data, size_t size, size_t count, void* self) {
  Transfer& t = *static_cast<Transfer*>(self);
  const std::size_t n = size * count;
  t.progressed_ = true;
  if (t.head_.status >= 200) t.headReady_ = true;  // body bytes: this answer is the final one
  const std::size_t readerSpace = t.reader_ && t.spillPos_ == t.spill_.size() ? t.readerRoom_ - t.readerFilled_ : 0;
  const std::size_t spillSpace = kSpillLimit - (t.spill_.size() - t.spillPos_);
  if (readerSpace + spillSpace < n) {
    t.recvPaused_ = true;
    return CURL_WRITEFUNC_PAUSE;  // libcurl keeps these bytes until the caller reads
  }
  const std::size_t direct = std::min(n, readerSpace);
  if (direct) std::memcpy(t.reader_ + t.readerFilled_, data, direct);
  t.readerFilled_ += direct;
  if (direct < n) {
    if (t.spillPos_ > 0) t.spill_.erase(t.spill_.begin(), t.spill_.begin() + static_cast<long>(t.spillPos_));
    t.spillPos_ = 0;
    // As bytes, so that the copy is one block move, not a conversion of each char.
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    t.spill_.insert(t.spill_.end(), bytes + direct, bytes + n);
  }
  return n;
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* self) {
  Transfer& t = *static_cast<Transfer*>(self);
  const std::size_t n = size * count;
  t.progressed_ = true;
  // Trailers: the final answer's head has ended, and what comes after its
  // body changes nothing of it, nor of the cookies.
  if (t.headReady_) return n;
  t.headBytes_ += n;
  if (t.headBytes_ > kMaxAnswerHeads) {
    t.answerRefused_ = true;
    return 0;
  }
  // Before the first sending, heads are the proxy's answers to the opening
  // of a tunnel: kept apart, and none of their cookies is the server's.
  const bool tunnel = t.attempts_ == 0;
  ResponseHead& head = tunnel ? t.tunnelHead_ : t.head_;
  std::size_t length = n;
  while (length > 0 && (data[length - 1] == '\n' || data[length - 1] == '\r')) --length;
  std::string line(data, length);
  if (startsWith(line, "HTTP/")) {
    if (!tunnel) t.answeredSinceAttempt_ = true;
    head = ResponseHead();
    head.lines.reserve(kUsualHeaderLines);
    const std::size_t blank = line.find(' ');
    if (blank != std::string::npos) head.status = std::atoi(line.c_str() + blank + 1);
    head.statusLine = std::move(line);
  } else if (line.empty()) {
    head.ended = true;
    if (head.status == 407) t.proxySeen_ |= head.offeredAuth(true);
    if (tunnel) return n;
    // libcurl answers a 401/407 by itself when it holds credentials for
    // it; only its last answer (with a body, or at the end) is final.
    const bool mayRetry = (head.status == 401 && (t.authInFlight_ & kServerAuth)) ||
                          (head.status == 407 && (t.authInFlight_ & kProxyAuth));
    if (head.status >= 200 && !mayRetry) t.headReady_ = true;
    if (head.status == 401) t.serverSeen_ |= head.offeredAuth(false);
  } else {
    if (!tunnel && startsWithNoCase(line, "transfer-encoding:") && !onlyChunked(line)) {
      t.answerRefused_ = true;
      return 0;  // ends the exchange before libcurl decodes anything
    }
    if (!tunnel && t.storeCookies_ && startsWithNoCase(line, "set-cookie:")) {
      CookieUrl url;  // the store trims the blanks after the colon
      if (url.parse(t.url_)) CookieStore::instance().set(url, line.substr(11));
    }
    head.lines.push_back(std::move(line));
  }
  return n;
}

int Transfer::onPrereq(void* self, char*, char*, int, int localPort) {
  Transfer& t = *static_cast<Transfer*>(self);
  if (t.engine_->keptConnectionHoldsBytes(localPort)) {
    // Read now, they would be taken for the answer to this request. The
    // connection closes with this attempt, which sent nothing.
    curl_easy_setopt(t.engine_->easy(), CURLOPT_FORBID_REUSE, 1L);
    t.staleConnection_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  // A second sending after an answer is libcurl answering a challenge; one
  // without is its resend of a request a kept connection lost.
  if (t.attempts_++ > 0 && !t.answeredSinceAttempt_) {
    t.resendRefused_ = true;
    return CURL_PREREQFUNC_ABORT;
  }
  t.answeredSinceAttempt_ = false;
  t.connected_ = true;
  t.progressed_ = true;
  return CURL_PREREQFUNC_OK;
}

}  // namespace drav_wininet
