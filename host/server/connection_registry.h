// Every open connection of a host with the deadline of what it waits for:
// a sweep cuts those past theirs, and stop() cuts them all. Cutting shuts
// the socket down (reading, or both ways), which wakes whatever waits on it
// on whichever thread, so no thread ever touches another's socket object;
// a connection leaves the registry before it closes its socket, so a cut
// never reaches a descriptor that was reused. Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_set>

namespace DRAVHost {

class ConnectionRegistry {
public:
  using Clock = std::chrono::steady_clock;

  // One connection's place; owned by the connection.
  class Entry {
  public:
    explicit Entry(int fd) : fd_(fd) {}
    // Starts a wait that must end by `deadline`; past it a sweep shuts the
    // socket down for reading (`bothWays`: for writing too). False when the
    // host is stopping: the connection is to close instead.
    bool arm(Clock::time_point deadline, bool bothWays);
    // Ends the wait; false when it was cut (or the host is stopping).
    bool disarm() { return deadline_.exchange(kNone) != kCut; }

  private:
    friend class ConnectionRegistry;
    static constexpr std::int64_t kNone = 0;
    static constexpr std::int64_t kCut = -1;

    const int fd_;
    ConnectionRegistry* registry_ = nullptr;
    std::atomic<std::int64_t> deadline_{kNone};  // Clock ticks; kNone while it runs a request
    std::atomic<bool> bothWays_{false};
  };

  explicit ConnectionRegistry(unsigned maxConnections) : max_(maxConnections) {}

  // False, changing nothing but the count of refusals, when the host holds
  // its most connections or is stopping.
  bool add(Entry& entry);
  void remove(Entry& entry);
  // Cuts every connection whose wait is past its deadline.
  void sweep();
  // From now on every wait is refused; cuts every connection that waits,
  // and with `running`, those running a request as well.
  void stop(bool running);

  unsigned size() const;
  unsigned peak() const;
  std::uint64_t added() const { return added_.load(); }
  std::uint64_t refused() const { return refused_.load(); }
  bool stopping() const { return stopping_.load(); }

private:
  static void cut(Entry& entry, bool bothWays);

  const unsigned max_;
  mutable std::mutex mutex_;  // guards the set and the peak
  std::unordered_set<Entry*> entries_;
  unsigned peak_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> added_{0};
  std::atomic<std::uint64_t> refused_{0};

};

}  // namespace DRAVHost
