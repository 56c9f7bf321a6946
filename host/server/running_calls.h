// The requests running on the host's threads, so that a stop can name
// those still running after its grace and the cut: calls of a bridge that
// never returns, whose threads the host has to leave behind. A request is
// listed for the life of a Scope on its thread's stack (no allocation);
// its description is made only when asked for. Thread-safe.
#pragma once

#include "host/server/request_stream.h"

#include <boost/asio/ip/address.hpp>

#include <chrono>
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

  // Lists one request while it lives; `head` and `peer` must outlive it.
  class Scope {
  public:
    Scope(RunningCalls& calls, const RequestHead& head, const boost::asio::ip::address& peer);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    friend class RunningCalls;
    RunningCalls& calls_;
    const RequestHead& head_;
    const boost::asio::ip::address& peer_;
    const Clock::time_point since_;
    Scope* previous_ = nullptr;
    Scope* next_ = nullptr;
  };

  // One line per request running now, oldest first:
  // "/path" "method" from CLIENT, running for N s (path and method escaped as
  // the access log does).
  std::vector<std::string> describe() const;

private:
  const std::vector<boost::asio::ip::address>& trustedProxies_;
  mutable std::mutex mutex_;
  Scope* oldest_ = nullptr;
  Scope* newest_ = nullptr;
};

}  // namespace DRAVHost
