// HttpEventSink: whom a call asks when the server (401) or an HTTP proxy
// (407) refuses its credentials, or wants a client certificate; and
// DefaultHttpEventSink, which every bridge proxy starts with. The call is
// then made again: the sink is asked once its new request handle is open
// (request.getRequestHandle()) and before its headers are built, so options
// set on that handle and credentials written into the proxy's AuthInfo
// (request.getProxy()->getAuthInfo()) both go with the repeated call.
#pragma once

#include <drav/export.h>

class DRAVHttpRequest;

class DRAV_EXPORT HttpEventSink {
public:
  HttpEventSink() = default;
  HttpEventSink(const HttpEventSink&) = default;
  HttpEventSink& operator=(const HttpEventSink&) = default;
  virtual ~HttpEventSink();

  virtual void onHttpUserAuthRequest(DRAVHttpRequest& request) = 0;
  virtual void onHttpProxyAuthRequest(DRAVHttpRequest& request) = 0;
  virtual void onSSLClientCertificate(DRAVHttpRequest& request) = 0;
};

// Hands the proxy's AuthInfo credentials to the request's WinINet handle.
// Keeps no state: may serve several calls at once.
class DRAV_EXPORT DefaultHttpEventSink : public HttpEventSink {
public:
  DefaultHttpEventSink() = default;
  ~DefaultHttpEventSink() override;

  void onHttpUserAuthRequest(DRAVHttpRequest& request) override;
  void onHttpProxyAuthRequest(DRAVHttpRequest& request) override;
  void onSSLClientCertificate(DRAVHttpRequest& request) override;  // does nothing
};
