// Slows password guessing down per client: after a few wrong credentials in
// a row from one client its credentials are not even looked at for a while
// (the host answers 429 with Retry-After at once, holding no thread or
// connection), and every further failure doubles that while. The table of
// clients is bounded: when full, the client that failed least recently is
// forgotten, so many addresses cannot grow it. Safe to use from several
// threads. Not a general rate limiter: successes are never slowed.
#pragma once

#include <drav/host/auth_settings.h>
#include "host/server/client_key.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace DRAVHost {

// The time source of the host's authentication; tests put in their own.
using AuthClock = std::function<std::chrono::steady_clock::time_point()>;

class LogonThrottle {
public:
  explicit LogonThrottle(const AuthSettings& settings, AuthClock now = std::chrono::steady_clock::now);

  // How long `client` must still wait before its credentials are looked at;
  // zero when it may try now.
  std::chrono::milliseconds lockedFor(const ClientKey& client);
  void failed(const ClientKey& client);
  // The client proved itself: its failures are forgotten.
  void succeeded(const ClientKey& client);
  std::size_t trackedClients() const;

private:
  struct Failures {
    ClientKey client;
    unsigned count = 0;
    std::chrono::steady_clock::time_point last;
    std::chrono::steady_clock::time_point lockedUntil;
  };
  using Order = std::list<Failures>;  // most recent failure first

  // The client's entry, or end() when it has none or only a forgotten one.
  Order::iterator find(const ClientKey& client, std::chrono::steady_clock::time_point now);
  std::chrono::milliseconds lockoutAfter(unsigned failures) const;

  const AuthSettings settings_;
  const AuthClock now_;
  mutable std::mutex mutex_;
  Order order_;
  std::unordered_map<ClientKey, Order::iterator, ClientKeyHash> byClient_;
  // The table's size, read without the lock so that the calls of a host
  // nobody is guessing at cost no lock.
  std::atomic<std::size_t> tracked_{0};
};

// The 429 answer to a client locked out for `remaining`: its text and its
// Retry-After, in whole seconds rounded up.
struct LockoutAnswer {
  std::string message;
  std::string retryAfter;
};
LockoutAnswer lockoutAnswer(std::chrono::milliseconds remaining);

}  // namespace DRAVHost
