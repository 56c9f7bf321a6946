// One HTTP exchange on libcurl, driven from the caller's thread through the
// multi interface: start it, stream the request body piece by piece, wait
// for the answer's head, read the answer's body piece by piece. Memory stays
// bounded by the piece sizes: libcurl is paused whenever the caller is not
// ready to give or take bytes. Internal to the WinINet layer.
#pragma once

#include <win32/windef.h>
#include <win32/wininet_engine.h>

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// OpenSSL's types, for the client-certificate callback.
struct ssl_st;
struct x509_st;
struct evp_pkey_st;
struct x509_store_ctx_st;

namespace drav_wininet {

// Everything an exchange needs, built by the request functions.
struct TransferSetup {
  std::string url;                       // scheme://host:port/object
  std::string verb = "GET";
  bool http10 = false;
  std::string userAgent;                 // empty: no User-Agent line
  const HeaderFields* headers = nullptr;  // the request's; null: none
  std::string cookie;                     // of the store for the URL; empty: none
  std::string proxy;                     // empty: direct
  std::string noProxy;
  long httpAuth = 0;                     // CURLAUTH_* bits; 0: no server authentication
  std::string user, password;
  long proxyAuth = 0;
  std::string proxyUser, proxyPassword;
  bool verifyPeer = true;
  bool verifyHost = true;
  std::string caFile, caFolder;          // trusted beside the system's authorities; empty: none
  bool storeCookies = true;              // Set-Cookie answers go to the process-wide store
  DWORD connectTimeoutMs = 60000;
  DWORD sendTimeoutMs = 30000;
  DWORD receiveTimeoutMs = 30000;
};

struct ResponseHead {
  int status = 0;
  std::string statusLine;          // "HTTP/1.1 200 OK"
  std::vector<std::string> lines;  // "Name: value", in order
  bool ended = false;              // its blank line came
  // The offered schemes of WWW-Authenticate (or Proxy-Authenticate when
  // `proxy`) as CURLAUTH_BASIC / CURLAUTH_NTLM bits.
  long offeredAuth(bool proxy) const;
};

class Transfer {
public:
  Transfer() = default;
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Starts an exchange on `engine` (which must outlive it or abandon()).
  // With `streamed`, the body of `bodySize` bytes follows through write();
  // otherwise `body` is the whole body (read until start returns, or copied)
  // and start waits for the answer's head. Returns 0 or a WinINet code.
  DWORD start(Engine& engine, const TransferSetup& setup, const void* body, std::uint64_t bodySize, bool streamed);
  // Sends one piece of a streamed body; on return it was handed to the socket.
  DWORD write(const void* data, DWORD size);
  // After the whole streamed body: waits for the answer's head.
  DWORD finish();
  // Up to `size` bytes of the answer's body, at least one unless it ended.
  DWORD read(void* into, DWORD size, DWORD& got);
  // Drops the exchange; an unfinished one closes its connection.
  void abandon();
  // From any thread: makes a blocked call return ERROR_INTERNET_OPERATION_CANCELLED.
  void cancel();

  bool active() const { return engine_ != nullptr; }
  bool headReady() const { return headReady_; }
  // Whether the server answered: the head is ready, or the exchange ended
  // after a status line (a challenge libcurl could not answer by itself
  // with a body it cannot send twice).
  const std::string& tlsFault() const { return tlsFault_; }
  bool answered() const { return headReady_ || (finished_ && head_.status >= 200); }
  const ResponseHead& head() const { return head_; }
  // Schemes offered by every 401 (or 407 when `proxy`) of this exchange,
  // including those libcurl answered by itself.
  long offeredAuthSeen(bool proxy) const { return proxy ? proxySeen_ : serverSeen_; }
  std::uint64_t declared() const { return bodySize_; }
  std::uint64_t accepted() const { return accepted_; }

private:
  static size_t onRead(char* buffer, size_t size, size_t count, void* self);
  static int onSeek(void* self, curl_off_t offset, int origin);
  static size_t onWrite(char* data, size_t size, size_t count, void* self);
  static size_t onHeader(char* data, size_t size, size_t count, void* self);
  static int onPrereq(void* self, char*, char*, int, int);
  static CURLcode onSslContext(CURL* easy, void* sslContext, void* withSystemAuthorities);
  static int onClientCertificateRequest(::ssl_st* ssl, ::x509_st** certificate, ::evp_pkey_st** key);
  static int onVerify(int ok, ::x509_store_ctx_st* store);

  // `smallPost`: a POST of a whole body copied into libcurl, without credentials.
  void configure(const TransferSetup& setup, bool smallPost);
  // Runs libcurl until done() holds; a transfer that ends first gives its
  // error, or `whenFinished` when it ended well. Bounded by the time-outs.
  template <class Done>
  DWORD drive(Done done, DWORD whenFinished);
  std::uint64_t uploaded() const;
  void collectResult();
  // Whether the exchange ended on the proxy's refusal to open a tunnel.
  bool tunnelRefused() const;
  void updatePause();
  DWORD failure();
  // The exchange ended while the body was still going out, after a final
  // answer head had come. A server or proxy that refuses a request (a 407,
  // say) often answers and closes at once, and the unread body turns the
  // close into a reset: the answer is what the caller must see, not the
  // reset that followed it. Its body reads up to the break, then fails.
  bool answeredEarly() const { return engine_ && finished_ && headReady_; }

  Engine* engine_ = nullptr;
  std::atomic<CURLM*> wakeMulti_{nullptr};  // for cancel() from another thread
  bool added_ = false;
  char errorText_[CURL_ERROR_SIZE] = {};
  // The server asked for a client certificate (we never have one to give).
  bool clientCertRequested_ = false;
  // What the certificate check met: its first error, a NUL in a name.
  long verifyError_ = 0;
  bool nulInName_ = false;
  std::string tlsFault_;  // of the last failure, for INTERNET_OPTION_DRAV_TLS_FAULT
  // The transfer libcurl is running on this thread: OpenSSL's certificate
  // request callback carries no pointer of its own.
  static thread_local Transfer* driving_;
  std::string url_;
  bool storeCookies_ = true;
  DWORD timeouts_[2] = {30000, 30000};  // send, receive

  // Request body.
  bool streamed_ = false;
  const unsigned char* memoryBody_ = nullptr;  // whole body, while start() runs
  std::uint64_t bodySize_ = 0;
  std::uint64_t bodyOffset_ = 0;  // next byte libcurl reads (memory body)
  const unsigned char* piece_ = nullptr;  // current write() piece
  std::size_t pieceSize_ = 0, pieceTaken_ = 0;
  std::uint64_t fed_ = 0;       // streamed bytes handed to libcurl
  std::uint64_t accepted_ = 0;  // streamed bytes of completed write() calls

  // Answer.
  ResponseHead head_;
  ResponseHead tunnelHead_;  // the proxy's last answer to opening a tunnel
  long authInFlight_ = 0;  // which of 401/407 libcurl may answer by itself
  long serverSeen_ = 0, proxySeen_ = 0;
  bool headReady_ = false;
  // The answer came in a transfer coding never offered, or its heads
  // outgrew kMaxAnswerHeads: it cannot be read.
  bool answerRefused_ = false;
  std::size_t headBytes_ = 0;  // of the answer's heads so far
  unsigned char* reader_ = nullptr;  // current read() buffer
  std::size_t readerRoom_ = 0, readerFilled_ = 0;
  std::vector<unsigned char> spill_;  // answer bytes that did not fit the reader
  std::size_t spillPos_ = 0;

  // libcurl sends a request again by itself, on a new connection, when a
  // kept connection ended before any answer came. The request may have
  // reached the server whole by then, so that second sending is refused
  // (resendRefused_) and the exchange fails as the lost one did.
  int attempts_ = 0;
  bool answeredSinceAttempt_ = false;
  bool resendRefused_ = false;
  // The kept connection held bytes before the request went out on it:
  // they answer no request of this exchange (see onPrereq).
  bool staleConnection_ = false;

  bool connected_ = false, progressed_ = false;
  bool sendPaused_ = false, recvPaused_ = false;
  bool finished_ = false;
  CURLcode result_ = CURLE_OK;
  std::atomic<bool> cancelled_{false};
  // Whether drive() is (about to be) waiting in curl_multi_poll: only then
  // does cancel() need to wake it. Closing a finished request, the usual
  // case, then costs no wake-up and no extra turn of the next wait.
  std::atomic<bool> waiting_{false};
};

}  // namespace drav_wininet
