// The objects behind WinINet handles (session, connection, request), their
// options, and the process-wide table that turns an HINTERNET into one.
// Handle values are opaque numbers, never pointers, so a stale or foreign
// handle is refused with ERROR_INVALID_HANDLE instead of being followed.
// Internal to the WinINet layer.
#pragma once

#include <win32/kernel32.h>
#include <win32/windef.h>
#include <win32/wininet.h>
#include <win32/wininet_transfer.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace drav_wininet {

// Options a handle passes to the handles opened from it (copied at opening).
struct Options {
  DWORD connectTimeoutMs = 60000;
  DWORD sendTimeoutMs = 30000;
  DWORD receiveTimeoutMs = 30000;
  std::string user, password;
  std::string proxyUser, proxyPassword;
  DWORD securityFlags = 0;
  std::string caFile, caFolder;  // trusted beside the system's authorities; empty: none
};

enum class Kind { Session, Connection, Request };

class Object {
public:
  Object(Kind kind, const Options& options) : kind(kind), options_(options) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  Options options() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_;
  }
  template <class Change>
  void changeOptions(Change change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(options_);
  }
  // The handle was closed; called on the closing thread.
  virtual void closing() {}

  const Kind kind;

private:
  mutable std::mutex mutex_;
  Options options_;
};

struct Session : Object {
  explicit Session(const Options& options) : Object(Kind::Session, options) {}
  std::string agent;
  std::string httpProxy, httpsProxy;  // "host:port"; empty: direct
  std::string noProxy;                // libcurl's list form
  std::atomic<DWORD> httpMinorVersion{1};
};

class Connection : public Object {
public:
  Connection(const Options& options, std::shared_ptr<Session> session)
      : Object(Kind::Connection, options), session(std::move(session)) {}

  // An engine whose connection cache may hold a live connection to this
  // server; the caller gives it back when done.
  std::unique_ptr<Engine> takeEngine();
  void giveBack(std::unique_ptr<Engine> engine);
  // Schemes (CURLAUTH bits) the server or proxy asked for earlier, so that
  // streamed bodies can answer at once instead of being refused first.
  long learnedAuth(bool proxy) const { return proxy ? proxyAuth_.load() : serverAuth_.load(); }
  void learnAuth(bool proxy, long schemes) { (proxy ? proxyAuth_ : serverAuth_) = schemes; }

  const std::shared_ptr<Session> session;
  std::string host;
  INTERNET_PORT port = 0;  // 0: the scheme's default

private:
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Engine>> idle_;
  std::atomic<long> serverAuth_{0}, proxyAuth_{0};
};

struct Request : Object {
  Request(const Options& options, std::shared_ptr<Connection> connection)
      : Object(Kind::Request, options), connection(std::move(connection)) {}
  ~Request() override;
  void closing() override { transfer.cancel(); }

  const std::shared_ptr<Connection> connection;
  std::string verb = "GET";
  std::string object = "/";
  bool http10 = false;
  DWORD flags = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order they go out
  std::unique_ptr<Engine> engine;
  Transfer transfer;
  long authSent = 0;  // 1: server credentials went with the last send, 2: proxy credentials
};

HINTERNET registerObject(std::shared_ptr<Object> object);
// Null with ERROR_INVALID_HANDLE for a null, closed or unknown handle.
std::shared_ptr<Object> findObject(HINTERNET handle);
// As findObject, and ERROR_INTERNET_INCORRECT_HANDLE_TYPE for another kind.
template <class T>
std::shared_ptr<T> findAs(HINTERNET handle, Kind kind) {
  std::shared_ptr<Object> object = findObject(handle);
  if (object && object->kind != kind) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<T>(object);
}

// How many handles are open (not yet closed) in the process: lets tests
// see a handle that was never closed.
std::size_t openHandleCount();

// Text of a wide argument (UTF-16 to UTF-8); length (DWORD)-1 or 0 with a
// NUL-terminated text reads up to the NUL.
std::string narrow(LPCWSTR text, DWORD length = static_cast<DWORD>(-1));
// Process-wide defaults set on the NULL handle.
Options defaultOptions();

}  // namespace drav_wininet
