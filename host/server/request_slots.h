// The bound on requests running at once, with a bounded line of requests
// waiting for a slot: a request that finds every slot taken waits in line,
// and one that finds the line full too is refused (503 at once). A slot
// that frees up passes straight to the first in line. A running request
// that must wait on its client (bytes that do not come, an answer not
// taken) steps aside into one of a bounded number of client waits, giving
// its slot up meanwhile, and steps back into a slot before anything in
// line. A request whose body has still to come runs only with a client wait
// of its own, held while it runs, so that it waits on its client outside its
// slot whatever others hold and stalled bodies never keep a slot from
// requests that are all there; one that finds no client wait free waits in
// line for one, without a thread, while requests behind it that need none
// run as slots free up. When the host stops, the line is turned away: each
// request in it hears so, and none joins it any more. Thread-safe.
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

  // Run: the caller holds a slot now (and, with `ownWait`, a client wait of
  // its own). Waiting: `whenAdmitted` is kept and handed out by a later
  // release(), holding the same. Refused: neither. `ownWait` is for a request
  // whose body has still to come, where ownsWaits() holds.
  Admission admit(Job whenAdmitted, bool ownWait = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (returning_ == 0 && canRun(ownWait)) {
      take(ownWait);
      return Admission::Run;
    }
    if (!turningAway_ && waiting_.size() < maxWaiting_) {
      waiting_.push_back(InLine{std::move(whenAdmitted), ownWait});
      return Admission::Waiting;
    }
    ++refused_;
    return Admission::Refused;
  }
  // Whether requests may hold client waits of their own (any client waits at all).
  bool ownsWaits() const { return maxClientWaits_ > 0; }
  // Gives a slot up (and the client wait of its own it was admitted with):
  // to the first request in line that can run, whose job is returned for
  // the caller to start with true, or back to the free ones (an empty job).
  Job release(bool ownWait = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ownWait) --clientWaits_;
    return passOn();
  }
  // Gives a client wait of its own back apart from its slot (which was
  // handed on already, as for a call given up); the job of the first in line
  // that can run now, or an empty one.
  Job releaseOwnWait() {
    std::lock_guard<std::mutex> lock(mutex_);
    --clientWaits_;
    return returning_ > 0 ? Job() : takeFromLine();
  }
  // The caller, which holds a slot, is to wait on its client: true when it
  // may do so outside its slot, which it has given up (to the first in
  // line, whose job is in `next` for the caller to start). False, changing
  // nothing, when every client wait is taken. One that holds a client wait
  // of its own (`ownWait`) always may.
  bool stepAside(Job& next, bool ownWait = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ownWait && clientWaits_ >= maxClientWaits_) return false;
    if (!ownWait) ++clientWaits_;
    next = passOn();
    return true;
  }
  // Back from a client wait: takes a slot again, as soon as one is free and
  // before anything in line (at once while the host stops, whose grace
  // bounds what runs then). Returns the job of the first in line when a
  // slot is left for it too (its start is the caller's), else an empty one.
  Job stepBack(bool ownWait = false) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ownWait) --clientWaits_;
    ++returning_;
    slotFree_.wait(lock, [this] { return running_ < maxRunning_ || turningAway_; });
    --returning_;
    ++running_;
    // Requests that came while this one was on its way back went in line.
    if (returning_ > 0) return Job();
    return takeFromLine();
  }
  // Turns the line away: calls the job of each request in it with false,
  // and refuses every later request that finds no free slot. How many waited.
  std::size_t turnAwayWaiting() {
    std::deque<InLine> turnedAway;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      turningAway_ = true;
      turnedAway.swap(waiting_);
    }
    slotFree_.notify_all();
    for (InLine& request : turnedAway) request.job(false);
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
  struct InLine {
    Job job;
    bool ownWait;
  };

  // Under the lock, as every helper here.
  bool canRun(bool ownWait) const {
    return running_ < maxRunning_ && (!ownWait || clientWaits_ < maxClientWaits_);
  }
  void take(bool ownWait) {
    ++running_;
    if (ownWait) ++clientWaits_;
  }
  // The job of the first in line that can run, now holding what it needs;
  // empty when none can.
  Job takeFromLine() {
    if (running_ >= maxRunning_) return Job();
    for (auto request = waiting_.begin(); request != waiting_.end(); ++request) {
      if (!canRun(request->ownWait)) continue;  // it waits for a client wait: those behind it may run
      take(request->ownWait);
      Job next = std::move(request->job);
      waiting_.erase(request);
      return next;
    }
    return Job();
  }
  // A slot given up: to one stepping back (woken), else to the first in line
  // that can run (whose job is returned), else to the free ones.
  Job passOn() {
    --running_;
    if (returning_ > 0) {
      slotFree_.notify_one();
      return Job();
    }
    return takeFromLine();
  }

  const unsigned maxRunning_;
  const unsigned maxWaiting_;
  const unsigned maxClientWaits_;
  mutable std::mutex mutex_;
  std::condition_variable slotFree_;  // for those stepping back
  unsigned running_ = 0;
  unsigned clientWaits_ = 0;
  unsigned returning_ = 0;  // stepping back, waiting for a slot
  std::deque<InLine> waiting_;
  bool turningAway_ = false;
  std::uint64_t refused_ = 0;
};

}  // namespace DRAVHost
