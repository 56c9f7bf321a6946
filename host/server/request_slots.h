// The bound on requests running at once, with a bounded line of requests
// waiting for a slot: a request that finds every slot taken waits in line,
// and one that finds the line full too is refused (503 at once). A slot
// that frees up passes straight to the first in line. When the host stops,
// the line is turned away: each request in it hears so, and none joins it
// any more. Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace DRAVHost {

class RequestSlots {
public:
  enum class Admission { Run, Waiting, Refused };
  // Called with true when the request holds a slot, false when it is turned away.
  using Job = std::function<void(bool admitted)>;

  RequestSlots(unsigned maxRunning, unsigned maxWaiting) : maxRunning_(maxRunning), maxWaiting_(maxWaiting) {}

  // Run: the caller holds a slot now. Waiting: `whenAdmitted` is kept and
  // handed out by a later release(), holding a slot. Refused: neither.
  Admission admit(Job whenAdmitted) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ < maxRunning_) {
      ++running_;
      return Admission::Run;
    }
    if (!turningAway_ && waiting_.size() < maxWaiting_) {
      waiting_.push_back(std::move(whenAdmitted));
      return Admission::Waiting;
    }
    ++refused_;
    return Admission::Refused;
  }
  // Gives a slot up: to the first request in line, whose job is returned
  // for the caller to start with true, or back to the free ones (an empty job).
  Job release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (waiting_.empty()) {
      --running_;
      return Job();
    }
    Job next = std::move(waiting_.front());
    waiting_.pop_front();
    return next;
  }
  // Turns the line away: calls the job of each request in it with false,
  // and refuses every later request that finds no free slot. How many waited.
  std::size_t turnAwayWaiting() {
    std::deque<Job> turnedAway;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      turningAway_ = true;
      turnedAway.swap(waiting_);
    }
    for (Job& job : turnedAway) job(false);
    return turnedAway.size();
  }

  unsigned running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
  }
  std::uint64_t refused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
  }

private:
  const unsigned maxRunning_;
  const unsigned maxWaiting_;
  mutable std::mutex mutex_;
  unsigned running_ = 0;
  std::deque<Job> waiting_;
  bool turningAway_ = false;
  std::uint64_t refused_ = 0;
};

}  // namespace DRAVHost
