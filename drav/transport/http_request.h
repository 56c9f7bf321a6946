// DRAVHttpRequest: one remote call to the bridge of a DRAVBridgeProxy (an
// HTTP POST with the call headers and the serialized arguments, sent whole
// or in chunks, retried and re-authenticated as the answer demands), then
// the reading of its answer piece by piece. Also fetches whole resources by
// GET. DRAVHttpRequestPtr owns a request.
//
// One thread at a time per request; several requests of one proxy may run
// on different threads.
#pragma once

#include <drav/export.h>
#include <drav/serialization/argument_list.h>
#include <drav/transport/transport_errors.h>

#include <cstdint>
#include <string>
#include <vector>

class DRAVBridgeProxy;

class DRAV_EXPORT DRAVHttpRequest {
public:
  // Bound to `proxy`, which must outlive the request.
  explicit DRAVHttpRequest(DRAVBridgeProxy* proxy);
  ~DRAVHttpRequest();  // closes a request handle still open
  DRAVHttpRequest(const DRAVHttpRequest&) = delete;
  DRAVHttpRequest& operator=(const DRAVHttpRequest&) = delete;

  // Sends one call: `args` (argsSize bytes) then `extraBlob` (may be null),
  // in chunks of the write chunk size (or `chunkSize` when that is 0) when
  // they do not fit one. Returns the body bytes sent, or 0 after a failure
  // that left the call unsent or refused (failureText() then says why).
  // A call is sent again on its own only when it never reached the server
  // (connection refused, name not resolved) or the server asked for it
  // again (credentials, redirect); a call that may have reached the bridge
  // without an answer coming back throws CallMayHaveRunException, unless it
  // is repeatable. Also throws UnknownCertAuthException (the certificate
  // of an https bridge did not verify; its message names the host, port
  // and reason), UnknownClientCertAuthException, ChunkedPostDataException
  // and, from a single-sign-on logon, HttpPostDataException. A method or
  // bridge name holding a control character (CR, LF, NUL, ...) is refused
  // with DRAVException before anything is sent, as are sizes that do not
  // fit 32 bits. The buffers are read during the call only.
  unsigned long call(const std::string& methodName, char* args, unsigned long argsSize, unsigned long chunkSize,
                     bool needSsoToken, tag_StreamingMode mode, unsigned char* extraBlob,
                     unsigned long extraBlobSize);

  // The next piece of the answer (at most readChunkSize, or `size` when that
  // is 0): its length, or 0 at the end (which closes the request) or on a
  // failure (the answer was cut off: failureCode() and failureText() then
  // say why, and the request stays open). The piece is allocated with
  // operator new, owned by the caller (operator delete); a non-null
  // `buffer` is released first and is null after a 0.
  unsigned long receive(char*& buffer, unsigned long size);
  // The same on another WinINet request handle, which the end closes.
  unsigned long receive(void* handle, char*& buffer, unsigned long size);

  // The HTTP status of the current answer; ask before its end.
  CallStatus getCallStatus() const;
  // Why the last call failed, or the reading of its answer, in one line:
  // the host, its port and the reason in plain words ("127.0.0.1:8080:
  // connection refused ..."). Empty while the last call and its answer went
  // through. Valid until the next call.
  const std::string& failureText() const { return failure_; }
  // The WinINet code (or HTTP status) of that failure; 0 while the last
  // call and its answer went through.
  unsigned long failureCode() const { return failureCode_; }
  // Whether a call that may have reached the bridge without an answer is
  // sent again (at most three times), as a call that never reached it is:
  // only for a method that may safely run twice. Off by default; kept for
  // the request's later calls.
  void setRepeatable(bool repeatable) { repeatable_ = repeatable; }
  bool isRepeatable() const { return repeatable_; }
  // Whether downloadResource hands the bridge's user name and password to
  // a resource outside the bridge's origin (scheme, host and port).
  enum class DownloadCredentials { BridgeOriginOnly, Always };
  // GETs `url` with a separate session and appends the body to `data`.
  // Throws HttpPostDataException (its message names the host, port and
  // reason) when no session or connection can be opened or the request
  // cannot be sent, and DRAVException when the body is cut off or longer
  // than the download limit; `data` then keeps what arrived (up to the
  // limit).
  void downloadResource(const std::string& url, std::vector<unsigned char>& data,
                        DownloadCredentials credentials = DownloadCredentials::BridgeOriginOnly);
  // The most bytes one download may bring (a server sending without end
  // must not exhaust the client's memory).
  static constexpr std::uint64_t kDefaultDownloadLimit = 256ull << 20;
  void setDownloadLimit(std::uint64_t bytes) { downloadLimit_ = bytes; }
  std::uint64_t getDownloadLimit() const { return downloadLimit_; }

  void setWriteChunkSize(unsigned long size);
  unsigned long getWriteChunkSize() const { return writeChunkSize_; }
  void setReadChunkSize(unsigned long size);
  unsigned long getReadChunkSize() const { return readChunkSize_; }

  DRAVBridgeProxy* getProxy() { return proxy_; }
  void* getRequestHandle() { return requestHandle_; }  // owned by the request; null between calls

private:
  // `depth` counts the repeats so far; `refusal` is the status (401 or 407)
  // that made this a repeat for the event sink to answer, else 0.
  unsigned long callWithin(const std::string& methodName, char* args, unsigned long argsSize,
                           unsigned long chunkSize, bool needSsoToken, tag_StreamingMode mode,
                           unsigned char* extraBlob, unsigned long extraBlobSize, int depth,
                           unsigned long refusal);
  unsigned long internalCall(const std::string& methodName, char* args, unsigned long argsSize,
                             unsigned long chunkSize, bool needSsoToken, tag_StreamingMode mode,
                             unsigned char* extraBlob, unsigned long extraBlobSize, int depth);
  unsigned long send(char* args, unsigned long argsSize, unsigned long chunkSize, unsigned char* extraBlob,
                     unsigned long extraBlobSize);
  std::string getCallHeaders(const std::string& methodName, bool needSsoToken, tag_StreamingMode mode,
                             unsigned long argsSize, unsigned long extraBlobSize);
  unsigned long directPostData(char* args, unsigned long argsSize);
  bool hasAnswer() const;
  unsigned long chunkedPostData(char* args, unsigned long argsSize, unsigned long chunk, unsigned char* blob,
                                unsigned long blobSize);
  bool writePieces(const unsigned char* data, std::uint32_t size, std::uint32_t chunk, std::uint32_t& total,
                   bool blob);
  void dumpReceive();
  static bool closeHandle(void* handle);

  DRAVBridgeProxy* proxy_;
  std::uint32_t readChunkSize_ = 0;
  std::uint32_t writeChunkSize_ = 0;
  void* requestHandle_ = nullptr;
  std::string failure_;
  std::uint32_t failureCode_ = 0;
  bool repeatable_ = false;
  // The refusals of the current call that the event sink has answered: its
  // answers go on every later handle of the call.
  bool userRefused_ = false;
  bool proxyRefused_ = false;
  std::uint64_t downloadLimit_ = kDefaultDownloadLimit;
};

// Owns a DRAVHttpRequest and deletes it; move-only.
class DRAV_EXPORT DRAVHttpRequestPtr {
public:
  DRAVHttpRequestPtr() = default;
  explicit DRAVHttpRequestPtr(DRAVHttpRequest* request) : request_(request) {}  // takes ownership
  ~DRAVHttpRequestPtr() { delete request_; }
  DRAVHttpRequestPtr(const DRAVHttpRequestPtr&) = delete;
  DRAVHttpRequestPtr& operator=(const DRAVHttpRequestPtr&) = delete;

  // Destroys the request held so far (unless it is `request`) and takes `request`.
  DRAVHttpRequestPtr& operator=(DRAVHttpRequest* request) {
    if (request != request_) {
      delete request_;
      request_ = request;
    }
    return *this;
  }
  DRAVHttpRequest* operator->() { return request_; }
  const DRAVHttpRequest* operator->() const { return request_; }
  DRAVHttpRequest* get() const { return request_; }  // still owned by this pointer

private:
  DRAVHttpRequest* request_ = nullptr;
};
