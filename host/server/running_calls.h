// The requests running on the host's threads, so that a stop can name
// those still running after its grace and the cut (calls of a bridge that
// never returns, whose threads the host has to leave behind), and the sweep
// can find bridge calls that have run past the call time limit without
// reading or writing. A request is listed for the life of a Scope on its
// thread's stack (no allocation); its description is made only when asked
// for. Thread-safe.
#pragma once

#include "host/server/call_watch.h"
#include "host/server/request_stream.h"

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace DRAVHost {

class RunningCalls {
public:
  using Clock = std::chrono::steady_clock;

  // Clients are named as the access log names them, behind `trustedProxies`
  // (which must outlive this).
  explicit RunningCalls(const std::vector<boost::asio::ip::address>& trustedProxies)
      : trustedProxies_(trustedProxies) {}

  // Lists one request while it lives; `head`, `peer` and `watch` (null for
  // a request that runs no bridge) must outlive it.
  class Scope {
  public:
    Scope(RunningCalls& calls, const RequestHead& head, const boost::asio::ip::address& peer,
          CallWatch* watch = nullptr);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    friend class RunningCalls;
    RunningCalls& calls_;
    const RequestHead& head_;
    const boost::asio::ip::address& peer_;
    CallWatch* const watch_;
    const Clock::time_point since_;
    // The watch's state as a sweep last saw it, and since when it has been so.
    std::uint64_t seenState_ = 0;
    Clock::time_point seenSince_;
    Scope* previous_ = nullptr;
    Scope* next_ = nullptr;
  };

  // One line per request running now, oldest first:
  // "/path" "method" from CLIENT, running for N s (path and method escaped as
  // the access log does).
  std::vector<std::string> describe() const;
  // Hands each bridge call whose thread has been in its bridge's code,
  // neither reading nor writing, for `limit` or longer (as far as sweeps
  // every few milliseconds can tell) to `overdue` with the state seen and
  // its description, under the list's lock: the call stays listed
  // meanwhile, so `overdue` must not wait.
  void sweep(Clock::time_point now, Clock::duration limit,
             const std::function<void(CallWatch&, std::uint64_t seen, const std::string& call)>& overdue);

private:
  // "/path" "method" from CLIENT, running for N s. Under the lock.
  std::string describe(const Scope& call, Clock::time_point now) const;

  const std::vector<boost::asio::ip::address>& trustedProxies_;
  mutable std::mutex mutex_;
  Scope* oldest_ = nullptr;
  Scope* newest_ = nullptr;
};

}  // namespace DRAVHost
