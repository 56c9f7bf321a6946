// Calls given up at the call time limit: a bridge that has run that long
// without reading its call or writing its answer (call_watch.h) is taken to
// be stuck. Its call is answered by the host (504, or cut when the answer
// had begun), its running slot goes to the next call, and its thread is
// left to the bridge, with a spare thread added in its place so that the
// host serves as many calls at once as before. At most `most` calls are
// given up at once, which bounds the threads and the memory shares such
// calls keep; beyond them a call past the limit runs on in its slot until
// one of them returns. Thread-safe.
#pragma once

#include "host/server/event_loops.h"
#include "host/server/request_slots.h"
#include "host/server/running_calls.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace DRAVHost {

class StuckCalls {
public:
  // `limit` 0: no call is ever given up. All must outlive this.
  StuckCalls(RunningCalls& running, RequestSlots& slots, EventLoops& loops, std::chrono::milliseconds limit,
             unsigned most)
      : running_(running), slots_(slots), loops_(loops), limit_(limit), most_(most) {}

  // Gives up the calls past the limit, as long as fewer than `most` are;
  // called every few milliseconds (each call's time is counted from the
  // first sweep that sees it in its bridge's code).
  void sweep();
  // A given-up call's thread is back from its bridge: its place is free.
  void returned() { --stuck_; }
  // Calls given up whose threads have not come back.
  unsigned count() const { return stuck_.load(); }

private:
  RunningCalls& running_;
  RequestSlots& slots_;
  EventLoops& loops_;
  const std::chrono::milliseconds limit_;
  const unsigned most_;
  std::atomic<unsigned> stuck_{0};
  std::mutex sweeping_;        // one sweep at a time
  unsigned threadsAdded_ = 0;  // spares added for stuck calls, never more than `most`
};

}  // namespace DRAVHost
