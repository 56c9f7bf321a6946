#include <drav/transport/http_event_sink.h>

#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_request.h>
#include <drav/transport/wininet_text.h>

HttpEventSink::~HttpEventSink() = default;
DefaultHttpEventSink::~DefaultHttpEventSink() = default;

void DefaultHttpEventSink::onHttpUserAuthRequest(DRAVHttpRequest& request) {
  const AuthInfo& a = request.getProxy()->getAuthInfo();
  if (a.signOnOnly()) return;  // the sign-on's credentials answer no bridge's challenge
  DRAV::detail::setTextOption(request.getRequestHandle(), INTERNET_OPTION_USERNAME, a.user());
  DRAV::detail::setTextOption(request.getRequestHandle(), INTERNET_OPTION_PASSWORD, a.pass());
}

void DefaultHttpEventSink::onHttpProxyAuthRequest(DRAVHttpRequest& request) {
  const AuthInfo& a = request.getProxy()->getAuthInfo();
  DRAV::detail::setTextOption(request.getRequestHandle(), INTERNET_OPTION_PROXY_USERNAME, a.proxyUser());
  DRAV::detail::setTextOption(request.getRequestHandle(), INTERNET_OPTION_PROXY_PASSWORD, a.proxyPass());
}

void DefaultHttpEventSink::onSSLClientCertificate(DRAVHttpRequest&) {}
