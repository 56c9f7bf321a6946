// Endpoint policy: the settings a generated client proxy fills in before it
// connects. DRAVEndPoint says where a service is described and builds its
// lookup URL; DRAVLookupPolicy holds the service URL, timeouts,
// authentication and proxy settings, starting from the client core's
// defaults. Plain values: nothing here resolves, fetches or throws (except
// the 32-bit refusal of the timeout setters).
#pragma once

#include <drav/config/auth_info.h>
#include <drav/config/auth_settings.h>
#include <drav/export.h>

#include <cstdint>
#include <string>

// The scheme of a service URL.
enum tag_HttpScheme { HTTP_SCHEME = 1, HTTPS_SCHEME = 2 };

// Where a service is described, and the lookup URL built from it.
struct DRAV_EXPORT DRAVEndPoint {
  enum Kind : std::int32_t { SERVICE_PORT_WSDL = 1, WSDL_FILE = 2, DIRECT_URL = 3 };

  std::string baseUrl;
  std::int32_t kind = DIRECT_URL;  // a Kind; other values add only the "/"
  std::string serviceName;

  // DIRECT_URL: baseUrl unchanged. Otherwise baseUrl, a "/" unless it is
  // empty or ends in one, then "services/" name "SoapPort?wsdl"
  // (SERVICE_PORT_WSDL), name ".wsdl" (WSDL_FILE) or nothing.
  std::string getLookupUrl() const;
};

// The service URL, timeouts, authentication and proxy settings a generated proxy connects with.
class DRAV_EXPORT DRAVLookupPolicy {
public:
  // Takes the timeouts, authentication and proxy settings from the client
  // core as they are now (creating the core if it does not exist yet).
  DRAVLookupPolicy();

  // Setters return the object (setCookies excepted); string getters return
  // references valid until the next change.
  DRAVLookupPolicy& setURL(const std::string& url);
  const std::string& getURL() const { return url_; }
  DRAVLookupPolicy& setRootURL(const std::string& url);
  const std::string& getRootURL() const { return rootUrl_; }
  DRAVLookupPolicy& setHTTPChunkMode(bool chunked);
  bool isChunked() const { return chunked_; }
  // Stored as given (0 included); a value beyond 32 bits is refused with DRAVException.
  DRAVLookupPolicy& setRequestTimeout(unsigned long ms);
  unsigned long getRequestTimeout() const { return requestTimeout_; }
  DRAVLookupPolicy& setConnectionTimeout(unsigned long ms);
  unsigned long getConnectionTimeout() const { return connectionTimeout_; }
  void setCookies(const std::string& cookies);  // kept for the caller, not parsed
  const std::string& getCookies() const { return cookies_; }

  DRAVAuthenticationInfo& getAuthenticationInfo() { return authenticationInfo_; }  // held by this object
  const DRAVAuthenticationInfo& getAuthenticationInfo() const { return authenticationInfo_; }
  DRAVHttpProxyInfo& getHttpProxyInfo() { return proxyInfo_; }
  const DRAVHttpProxyInfo& getHttpProxyInfo() const { return proxyInfo_; }

  // The credentials held here as a bridge proxy takes them: the HTTP user,
  // password and mode, and the proxy's user and password (sent as Basic
  // when a proxy user is set). Its TLS policy is left open: the
  // "-DRAVssl_..." options fill it in when the proxy connects.
  AuthInfo getAuthInfo() const;

  // Sets the URL to the endpoint's lookup URL.
  DRAVLookupPolicy& setEndPoint(const DRAVEndPoint& endPoint);
  // Whether the URL starts with "http"/"HTTP" (HTTP_SCHEME, so an https URL
  // also answers true) or "https"/"HTTPS" (HTTPS_SCHEME); mixed case never
  // matches; any other value is false.
  bool isScheme(tag_HttpScheme scheme) const;

private:
  std::string url_;
  std::string rootUrl_;
  bool chunked_ = false;
  std::uint32_t requestTimeout_;
  std::uint32_t connectionTimeout_;
  DRAVAuthenticationInfo authenticationInfo_;
  DRAVHttpProxyInfo proxyInfo_;
  std::string cookies_;
};
