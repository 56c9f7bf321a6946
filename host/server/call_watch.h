// Whether the thread of a running bridge call is in the bridge's own code or
// in the host's (reading the call's body, writing its answer, the host's
// work before and after), so that a bridge that runs on without doing
// either can be told from one that waits on its client, and its call given
// up: answered by the host in its stead while its thread stays with the
// bridge (stuck_calls.h). The call's thread and the host's sweep share it;
// the sweep gives a call up only while its thread is in the bridge's code,
// and from then on that thread never enters the host's code for the call
// again, so that the host may answer it on its connection. Not the bound on
// running calls (request_slots.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace DRAVHost {

class CallWatch {
public:
  // Answers a call given up, on its connection.
  class Owner {
  public:
    // From the sweep's thread, while the call is listed as running: the
    // answer begun (its head gone out) or not. Must not block.
    virtual void answerGivenUp(bool answerBegun) = 0;

  protected:
    ~Owner() = default;
  };

  explicit CallWatch(Owner* owner = nullptr) : owner_(owner) {}
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;

  // For the next request on the same connection: the host's code runs it.
  void reset() {
    state_.store(kHostStart, std::memory_order_relaxed);
    answerBegun_.store(false, std::memory_order_relaxed);
  }

  // From the call's thread. The bridge's code runs from here on ...
  void bridgeRuns() { state_.fetch_add(1, std::memory_order_release); }
  // ... and the host's again from here; false, changing nothing, once the
  // call was given up: the host's code must then leave the call alone.
  bool hostRuns() {
    std::uint64_t state = state_.load(std::memory_order_relaxed);
    while (state != kGivenUp)
      if (state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire)) return true;
    return false;
  }
  // The head of the answer has gone out (a later answer could not be told apart from it).
  void answerBegins() { answerBegun_.store(true, std::memory_order_relaxed); }

  // From the sweep. A count that changes whenever the call's thread passes
  // between the bridge's code and the host's.
  std::uint64_t state() const { return state_.load(std::memory_order_acquire); }
  static bool inBridge(std::uint64_t state) { return state % 2 == 0 && state != kGivenUp; }
  // Gives the call up if its state is still `seen` (in the bridge's code).
  bool giveUp(std::uint64_t seen) {
    return inBridge(seen) && state_.compare_exchange_strong(seen, kGivenUp, std::memory_order_acq_rel);
  }
  bool givenUp() const { return state_.load(std::memory_order_acquire) == kGivenUp; }
  bool answerBegun() const { return answerBegun_.load(std::memory_order_relaxed); }
  Owner* owner() const { return owner_; }

private:
  static constexpr std::uint64_t kHostStart = 1;  // odd: the host's code; even: the bridge's
  static constexpr std::uint64_t kGivenUp = ~std::uint64_t(0) - 1;  // even, never counted to

  Owner* const owner_;
  std::atomic<std::uint64_t> state_{kHostStart};
  std::atomic<bool> answerBegun_{false};
};

// The host's code for the scope's life, within a bridge's call (a page
// object's read or write): false when the call was given up, and the host
// must not touch it. Null watches nothing.
class HostCode {
public:
  explicit HostCode(CallWatch* watch) : watch_(watch), allowed_(!watch || watch->hostRuns()) {}
  ~HostCode() {
    if (watch_ && allowed_) watch_->bridgeRuns();
  }
  HostCode(const HostCode&) = delete;
  HostCode& operator=(const HostCode&) = delete;
  explicit operator bool() const { return allowed_; }

private:
  CallWatch* const watch_;
  const bool allowed_;
};

}  // namespace DRAVHost
