// Settings of the bridge host: where it listens, what it demands of clients
// (Basic credentials, TLS, a single-sign-on session), and the limits that
// keep one client from holding the host. A plain record with its defaults;
// not a configuration-file reader.
#pragma once

#include <drav/host/auth_settings.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

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

// The admin listener: GET /metrics (the host's counters in the Prometheus
// text format) and /healthz on an address and port of their own, served by
// threads of their own, so that monitoring neither waits behind bridge calls
// nor faces their clients. Plain HTTP without authentication: keep it on a
// private address. It keeps the host's deadlines and header limit.
struct AdminSettings {
  bool enabled = false;
  std::string address = "127.0.0.1";
  unsigned short port = 0;      // 0: a free port, see BridgeHost::adminPort()
  unsigned maxConnections = 4;  // one more closes an idle one, or is answered 503 and closed
};

// Everything a BridgeHost is started with; the defaults are dravbridge's.
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

  // Connections held open at once, idle ones included; one more is answered
  // 503 (over TLS after its handshake) and closed. 0: as many as the process's descriptor
  // limit leaves room for, at most 16384 (see BridgeHost::settings()).
  unsigned maxConnections = 0;
  // Requests running at once (bridge calls, the logon, the host's own
  // answers); each runs on a thread of the host's pool, which has one
  // thread more per event loop. Beyond them, up to maxWaitingCalls wait for a free thread;
  // one more is answered 503 with Retry-After.
  unsigned maxRunningCalls = 16;
  unsigned maxWaitingCalls = 1024;
  // Calls waiting on their client at once: for body bytes that have not
  // arrived, or for room to write an answer the client does not take. Such a
  // call gives its running slot up while it waits, so that slow clients
  // cannot hold every slot; it keeps a thread of the pool, which has one
  // per such wait beside the running calls'. A call whose body has still to
  // come runs only with one of its own, so that a stalled body never holds
  // a slot (with all taken it waits in line, on no thread); with all taken,
  // a call that waits for its client to take an answer waits in its slot.
  unsigned maxClientWaits = 64;
  // Threads that read and answer connections, each running the calls of
  // its own (a spare joins one that a long call holds). 0: one per
  // processor but one (at least one), leaving a processor to the kernel's
  // network work and whatever shares the machine; never more than
  // maxRunningCalls.
  unsigned eventLoops = 0;
  // What a 503 asks the client to wait, in seconds ("Retry-After").
  unsigned retryAfterSeconds = 1;
  // Requests served on one kept-alive connection before it is closed.
  unsigned maxRequestsPerConnection = 10000;
  // The whole request head must arrive within this, from its first byte
  // (from the accept, or the TLS handshake's start, for the first request).
  std::chrono::milliseconds headTimeout{10000};
  // Longest wait for the first byte of the next request on a kept-alive connection.
  std::chrono::milliseconds idleTimeout{15000};
  // A body read and an answer written must keep to this rate, in bytes per
  // second, once the grace time has passed: a transfer of n bytes may take
  // transferGrace + n / minTransferRate. 0: no rate, only the grace per wait.
  std::uint32_t minTransferRate = 16 * 1024;
  std::chrono::milliseconds transferGrace{10000};
  // How long stop() keeps serving with /healthz answering 503 before it
  // stops listening: at least what a balancer that checks /healthz takes to
  // notice. 0: a balancer that learns of a stopped host from refused
  // connections (nginx) needs no drain.
  std::chrono::milliseconds drainTime{0};
  // How long stop() then lets running calls, and those already taken and
  // waiting for a slot, finish before it cuts their connections.
  std::chrono::milliseconds stopGrace{10000};
  // A bridge call whose bridge runs this long without reading the call or
  // writing its answer is taken to be stuck and given up: the host answers
  // it 504 (or cuts it, when its answer has begun) and hands its slot on,
  // while the thread stays with the bridge and a spare takes its place.
  // Below the client library's five-minute wait for an answer and nginx's
  // proxy_read_timeout (300 s in the shipped site), so that the caller hears
  // 504 and the balancer counts no time-out against the host. 0: never.
  std::chrono::milliseconds callTimeLimit{240000};
  // Calls given up whose threads have not come back, at most: each keeps a
  // thread and its memory share until its bridge returns. Beyond them a
  // call past the time limit runs on in its slot. 0: none is given up.
  unsigned maxStuckCalls = 4;

  // The request line and headers together.
  std::uint32_t headerLimit = 16 * 1024;
  // The posted body; never more than 2^31 - 1 bytes, as IRequest reports
  // the length as a signed 32-bit count.
  std::uint32_t bodyLimit = 0x7FFFFFFF;
  // Output a bridge writes while response buffering is on.
  std::uint32_t responseBufferLimit = 4 * 1024 * 1024;
  // Memory one bridge call may take: the argument bytes, what decoding them
  // allocates and the buffered answer; a call that needs more gets 413.
  std::uint64_t callMemoryBudget = 64ull * 1024 * 1024;
  // Memory running bridge calls may take together: each reserves its
  // callMemoryBudget while it runs; one that finds too little left gets 503.
  std::uint64_t memoryBudget = 1024ull * 1024 * 1024;
  // Unread request body the host still reads and drops after a response to
  // keep the connection; with more left, the answer closes the connection
  // and the rest is read and dropped for at most transferGrace (on no
  // thread), so that the answer reaches the client rather than a reset.
  std::uint32_t drainLimit = 64 * 1024;

  // One line per request (see access_log.h): "" none, "-" standard error,
  // else the file at this path, appended to.
  std::string accessLog;
  // Reverse proxies whose "X-Forwarded-For" / "X-Real-IP" name the client in
  // the access log and for the logon lockout (IP addresses): the last address
  // no trusted proxy has over every X-Forwarded-For line, else the last
  // X-Real-IP. From any other peer those headers are ignored.
  std::vector<std::string> trustedProxies;

  // A 404 for a path no bridge is served at names the paths that are (and
  // the nearest, for a slip of the keyboard); false keeps them to those who
  // know them (dravbridge --no-describe).
  bool listBridges = true;

  SsoLogonSettings sso;
  AuthSettings auth;
  AdminSettings admin;
};

}  // namespace DRAVHost
