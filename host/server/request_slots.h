// The bound on requests running at once, with a bounded line of requests
// waiting for a slot: a request that finds every slot taken waits in line,
// and one that finds the line full too is refused (503 at once). A slot
// that frees up passes straight to the first in line. A running request
// that must wait on its client (bytes that do not come, an answer not
// taken) steps aside into one of a bounded number of client waits, giving
// its slot up meanwhile, and steps back into a slot before anything in
// line. When the host stops, the line is turned away: each request in it
// hears so, and none joins it any more. Thread-safe.
#pragma once

#include <condition_variable>
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

  RequestSlots(unsigned maxRunning, unsigned maxWaiting, unsigned maxClientWaits = 0)
      : maxRunning_(maxRunning), maxWaiting_(maxWaiting), maxClientWaits_(maxClientWaits) {}

  // Run: the caller holds a slot now. Waiting: `whenAdmitted` is kept and
  // handed out by a later release(), holding a slot. Refused: neither.
  Admission admit(Job whenAdmitted) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_ < maxRunning_ && returning_ == 0) {
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
    return passOn();
  }
  // The caller, which holds a slot, is to wait on its client: true when it
  // may do so outside its slot, which it has given up (to the first in
  // line, whose job is in `next` for the caller to start). False, changing
  // nothing, when every client wait is taken.
  bool stepAside(Job& next) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (clientWaits_ >= maxClientWaits_) return false;
    ++clientWaits_;
    next = passOn();
    return true;
  }
  // Back from a client wait: takes a slot again, as soon as one is free and
  // before anything in line (at once while the host stops, whose grace
  // bounds what runs then). Returns the job of the first in line when a
  // slot is left for it too (its start is the caller's), else an empty one.
  Job stepBack() {
    std::unique_lock<std::mutex> lock(mutex_);
    --clientWaits_;
    ++returning_;
    slotFree_.wait(lock, [this] { return running_ < maxRunning_ || turningAway_; });
    --returning_;
    ++running_;
    // Requests that came while this one was on its way back went in line.
    if (returning_ > 0 || running_ >= maxRunning_ || waiting_.empty()) return Job();
    ++running_;
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
    slotFree_.notify_all();
    for (Job& job : turnedAway) job(false);
    return turnedAway.size();
  }

  unsigned running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
  }
  unsigned clientWaits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clientWaits_;
  }
  std::uint64_t refused() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
  }

private:
  // A slot given up: to one stepping back (woken), else to the first in line
  // (whose job is returned), else to the free ones. Under the lock.
  Job passOn() {
    if (returning_ == 0 && !waiting_.empty()) {
      Job next = std::move(waiting_.front());
      waiting_.pop_front();
      return next;
    }
    --running_;
    if (returning_ > 0) slotFree_.notify_one();
    return Job();
  }

  const unsigned maxRunning_;
  const unsigned maxWaiting_;
  const unsigned maxClientWaits_;
  mutable std::mutex mutex_;
  std::condition_variable slotFree_;  // for those stepping back
  unsigned running_ = 0;
  unsigned clientWaits_ = 0;
  unsigned returning_ = 0;  // stepping back, waiting for a slot
  std::deque<Job> waiting_;
  bool turningAway_ = false;
  std::uint64_t refused_ = 0;
};

}  // namespace DRAVHost
