// Slows password guessing down: after a few wrong credentials in a row for
// one user name from one client, that client's credentials for that user
// name are not even looked at for a while (the host answers 429 with
// Retry-After at once, holding no thread or connection), and every further
// failure doubles that while. A client that fails under many user names is
// locked out as a whole, at kUserNamesPerClient times the free failures, so
// that new names buy it no more guesses. A success forgives only the
// failures of the client and user name that succeeded. The table is
// bounded: when full, the entry that failed least recently is forgotten, so
// many addresses cannot grow it. Safe to use from several threads. Not a
// general rate limiter: successes are never slowed.
#pragma once

#include <drav/host/auth_settings.h>
#include "host/server/client_key.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace DRAVHost {

// The time source of the host's authentication; tests put in their own.
using AuthClock = std::function<std::chrono::steady_clock::time_point()>;

// Who tries to log on: the client, and a digest of the credentials' realm and
// the user name it tried (a digest keeps every entry small, whatever the
// name's length; names that collide only lock out the client that sent them).
struct LogonAttempt {
  ClientKey client;
  std::uint64_t user = 0;
};

// `realm` tells the host's sets of credentials apart (the bridges' Basic
// credentials, the logon's), so that a success with one forgives nothing
// tried with the other.
LogonAttempt logonAttempt(const ClientKey& client, std::string_view realm, std::string_view user);

class LogonThrottle {
public:
  // A client's failures over all its user names lock it out as a whole once
  // they reach this many user names' free failures.
  static constexpr unsigned kUserNamesPerClient = 4;

  explicit LogonThrottle(const AuthSettings& settings, AuthClock now = std::chrono::steady_clock::now);

  // How long the attempt's client must still wait before its credentials
  // for that user name are looked at; zero when it may try now.
  std::chrono::milliseconds lockedFor(const LogonAttempt& attempt);
  void failed(const LogonAttempt& attempt);
  // The client proved itself for that user name: those failures are forgotten.
  void succeeded(const LogonAttempt& attempt);
  // Entries held: one per client that failed, one per client and user name.
  std::size_t trackedEntries() const;

private:
  struct Key {
    ClientKey client;
    std::uint64_t user;
    bool wholeClient;
    bool operator==(const Key& other) const {
      return client == other.client && user == other.user && wholeClient == other.wholeClient;
    }
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const;
  };
  struct Failures {
    Key key;
    unsigned count = 0;
    std::chrono::steady_clock::time_point last;
    std::chrono::steady_clock::time_point lockedUntil;
  };
  using Order = std::list<Failures>;  // most recent failure first

  // The key's entry, or end() when it has none or only a forgotten one.
  Order::iterator find(const Key& key, std::chrono::steady_clock::time_point now);
  std::chrono::milliseconds remaining(const Key& key, std::chrono::steady_clock::time_point now);
  // Counts one failure against `key`, which may fail `free` times before a lockout.
  void count(const Key& key, unsigned free, std::chrono::steady_clock::time_point now);
  std::chrono::milliseconds lockoutAfter(unsigned failures, unsigned free) const;

  const AuthSettings settings_;
  const AuthClock now_;
  mutable std::mutex mutex_;
  Order order_;
  std::unordered_map<Key, Order::iterator, KeyHash> byKey_;
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
