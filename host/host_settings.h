// Settings of the bridge host: where it listens, what it demands of clients
// (Basic credentials, TLS, a single-sign-on session), and the limits that
// keep one client from holding the host. A plain record with its defaults;
// not a configuration-file reader.
#pragma once

#include "host/auth_settings.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace DRAVHost {

// The logon route that plays the single-sign-on server's side: a GET with the
// challenge cookie and Basic credentials gets a session cookie.
struct SsoLogonSettings {
  bool enabled = false;             // serve the logon route at all
  std::string path = "/";           // where the GET logs on
  std::string user;                 // the credentials the logon accepts
  std::string password;
  bool requiredForBridges = false;  // bridge calls need a session cookie the logon issued
};

struct HostSettings {
  std::string address = "127.0.0.1";
  unsigned short port = 0;  // 0: a free port, see BridgeHost::port()

  // Both empty: no authentication. Otherwise every bridge call must carry
  // these Basic credentials.
  std::string user;
  std::string password;
  std::string realm = "dravbridge";

  // PEM files; both set: the host speaks HTTPS only.
  std::string certFile;
  std::string keyFile;

  // Connections served at once; one more is closed as soon as it is accepted.
  unsigned maxConnections = 64;
  // Requests served on one kept-alive connection before it is closed.
  unsigned maxRequestsPerConnection = 10000;
  // Longest wait for one read or write while a request is being served.
  std::chrono::milliseconds ioTimeout{30000};
  // Longest wait for the first byte of the next request on a kept-alive connection.
  std::chrono::milliseconds idleTimeout{15000};

  // The request line and headers together.
  std::uint32_t headerLimit = 16 * 1024;
  // The posted body; never more than 2^31 - 1 bytes, as IRequest reports
  // the length as a signed 32-bit count.
  std::uint32_t bodyLimit = 0x7FFFFFFF;
  // Output a bridge writes while response buffering is on.
  std::uint32_t responseBufferLimit = 4 * 1024 * 1024;
  // Unread request body the host still reads and drops after a response to
  // keep the connection; with more left, the connection is closed.
  std::uint32_t drainLimit = 64 * 1024;

  SsoLogonSettings sso;
  AuthSettings auth;
};

}  // namespace DRAVHost
