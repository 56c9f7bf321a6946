// Every open connection of a host with the deadline of what it waits for:
// a sweep cuts those past theirs, and stop() cuts them all. Beyond the
// bound it also holds a few connections that are only there to be refused
// (over TLS the refusal needs the handshake first), under the same
// deadlines, without counting them as served. Cutting shuts
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

  // What closeIdle() does to a wait.
  enum class IdleClose {
    Keep,  // nothing: a request is under way
    Cut,   // cuts it: a TLS handshake (its bytes are no request), a body being dropped
    // The wait for a request: cut, unless bytes the client sent wait to be
    // read, a request it sent before it could see the close.
    CutUnlessSent
  };

  // One connection's place; owned by the connection.
  class Entry {
  public:
    explicit Entry(int fd) : fd_(fd) {}
    // Starts a wait that must end by `deadline`; past it a sweep shuts the
    // socket down for reading (`bothWays`: for writing too). `idle`: the wait
    // for a request of which nothing has arrived, or the linger of a closing
    // connection, which may be cut early to make room (see the
    // constructor). `onIdleClose`: what closeIdle() does to the wait (one
    // for a request of which nothing has arrived: a new connection's first,
    // its TLS handshake included, or a kept-alive one's next). False when
    // the host is stopping (or, for a wait closeIdle() ends, closing idle
    // connections): the connection is to close instead.
    bool arm(Clock::time_point deadline, bool bothWays, bool idle = false, IdleClose onIdleClose = IdleClose::Keep);
    // Ends the wait; false when it was cut (or the host is stopping).
    bool disarm() { return deadline_.exchange(kNone) != kCut; }

  private:
    friend class ConnectionRegistry;
    static constexpr std::int64_t kNone = 0;
    static constexpr std::int64_t kCut = -1;

    const int fd_;
    ConnectionRegistry* registry_ = nullptr;
    bool refusal_ = false;
    bool givingWay_ = false;  // cut to make room for another
    std::atomic<std::int64_t> deadline_{kNone};  // Clock ticks; kNone while it runs a request
    std::atomic<bool> bothWays_{false};
    std::atomic<bool> idle_{false};
    std::atomic<IdleClose> onIdleClose_{IdleClose::Keep};
    std::atomic<std::int64_t> idleSince_{0};  // Clock ticks, while idle_
  };

  // `idleGiveWay`: with the most connections held, a new one is taken all
  // the same when an idle one can be cut to make room for it.
  ConnectionRegistry(unsigned maxConnections, unsigned maxRefusing, bool idleGiveWay = false)
      : max_(maxConnections), maxRefusing_(maxRefusing), idleGiveWay_(idleGiveWay) {}

  // False, changing nothing but the count of refusals, when the host holds
  // its most connections (none of them idle where idle ones give way) or is
  // stopping.
  bool add(Entry& entry);
  // For a connection add() refused that is to be answered before it closes:
  // false when maxRefusing are already, or the host is stopping.
  bool addRefusal(Entry& entry);
  bool refusalsFull() const;
  // Whether idle connections give way to new ones (see the constructor).
  bool givesWay() const { return idleGiveWay_; }
  void remove(Entry& entry);
  // Cuts every connection whose wait is past its deadline.
  void sweep();
  // From now on no connection waits for a request of which nothing has
  // come: cuts those that do (see IdleClose), so that a stop need not wait
  // for them.
  void closeIdle();
  // From now on every wait is refused; cuts every connection, those
  // running a request as well.
  void stop();

  // Connections served, without those only there to be refused.
  unsigned size() const;
  unsigned peak() const;
  std::uint64_t added() const { return added_.load(); }
  std::uint64_t refused() const { return refused_.load(); }
  bool stopping() const { return stopping_.load(); }
  // Whether closeIdle() was called.
  bool closingIdle() const { return closingIdle_.load(); }

private:
  static void cut(Entry& entry, bool bothWays);
  // Cuts an idle connection, if there is one, to make room; under the lock.
  bool cutAnIdleOne();

  const unsigned max_;
  const unsigned maxRefusing_;
  const bool idleGiveWay_;
  unsigned givingWay_ = 0;  // idle connections cut to make room, not yet gone
  mutable std::mutex mutex_;  // guards the set, the count of refusals and the peak
  std::unordered_set<Entry*> entries_;
  unsigned refusing_ = 0;  // entries only there to be refused
  unsigned peak_ = 0;
  std::atomic<bool> closingIdle_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> added_{0};
  std::atomic<std::uint64_t> refused_{0};

};

}  // namespace DRAVHost
