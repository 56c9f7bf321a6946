// DRAVBridgeProxy: the client's handle on one server-side bridge. It keeps
// what every call to that bridge needs (bridge name, URL, root URL for
// single sign-on, credentials, the session's cookie string, an event sink,
// an optional single-sign-on provider) and the WinINet session and
// connection, which it opens and closes under its own lock. Calls are made
// through the requests createRequest() hands out.
//
// Threads: several threads may call through one proxy at once; opening,
// closing and the cookie string are guarded. The event sink must not be
// replaced while calls run.
#pragma once

#include <drav/config/auth_info.h>
#include <drav/config/url.h>
#include <drav/export.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

class DRAVHttpRequest;
class DRAVSsoProvider;
class HttpEventSink;

class DRAV_EXPORT DRAVBridgeProxy {
public:
  // Copies the three values; opens nothing. Starts with a DefaultHttpEventSink.
  DRAVBridgeProxy(const std::string& bridgeName, const Url& url, const AuthInfo& authInfo);
  ~DRAVBridgeProxy();  // closes the connection, destroys the sink and the SSO provider
  DRAVBridgeProxy(const DRAVBridgeProxy&) = delete;
  DRAVBridgeProxy& operator=(const DRAVBridgeProxy&) = delete;

  // Creates the SSO provider named in the credentials (none for an empty
  // name); throws std::runtime_error for an unknown name.
  void init();

  // True when the session and connection stand (reused when still usable).
  // A session that cannot be opened is traced and reported as false.
  bool openConnection();
  bool closeConnection();
  bool isConnected() const { return connected_; }

  // Stores the cookie string and hands each cookie, then the whole string,
  // to WinINet's store for the bridge URL.
  void setCookies(const std::string& cookies);
  // Valid until the next setCookies; do not hold it while another thread
  // may change the string.
  const std::string& getCookies() const { return cookies_; }

  // A new request bound to this proxy; the caller owns it (usually through
  // DRAVHttpRequestPtr) and the proxy must outlive it.
  DRAVHttpRequest* createRequest();

  // Takes ownership of `sink` and destroys the one held so far.
  void setEventSink(HttpEventSink* sink);
  HttpEventSink* getEventSink() { return eventSink_; }  // owned by the proxy

  const Url& url() const { return url_; }
  Url& url() { return url_; }
  const Url& rootUrl() const { return rootUrl_; }
  Url& rootUrl() { return rootUrl_; }
  const AuthInfo& authInfo() const { return authInfo_; }
  AuthInfo& authInfo() { return authInfo_; }
  AuthInfo& getAuthInfo() { return authInfo_; }
  const std::string& bridgeName() const { return bridgeName_; }
  // The WinINet connection handle (null until opened); owned by the proxy.
  void* getConnectionHandle() const { return connectionHandle_; }
  DRAVSsoProvider* getSsoProvider() const { return ssoProvider_; }  // owned by the proxy

  // For requests: hands the cookie string of setCookies to WinINet again,
  // read under the proxy's cookie lock; an empty string hands over nothing.
  void reapplyCookies();

private:
  struct Lock;

  bool unsafeCloseConnection();
  static bool closeHandle(void* handle);
  void applyCookies(const std::string& cookies);

  std::atomic<void*> sessionHandle_{nullptr};
  std::atomic<void*> connectionHandle_{nullptr};
  std::atomic<bool> connected_{false};
  Url url_;
  Url rootUrl_;
  AuthInfo authInfo_;
  std::string bridgeName_;
  std::string cookies_;
  HttpEventSink* eventSink_;
  std::unique_ptr<Lock> lock_;     // guards opening and closing
  mutable std::mutex cookiesMutex_;
  DRAVSsoProvider* ssoProvider_ = nullptr;
};
