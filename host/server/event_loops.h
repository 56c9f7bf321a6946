// The host's event loops and the threads that run them. Each loop is an
// io_context that owns the connections accepted onto it, and normally one
// thread runs it: that thread reads a connection's request, runs its
// (blocking) call and writes the answer, with no hand-over between threads
// and no wake-up of another one. A call that blocks long must not starve
// the loop's other connections, so a watcher lends a spare thread to a loop
// whose last free thread has sat in one call for a whole tick (at once, for
// a call that needs the loop itself running while it waits, as a TLS one
// does); after its call, a thread that finds the loop served by another goes
// back to the spares. The pool holds as many threads as calls may run at
// once plus one per loop, so every held-up loop can have a spare: a loop
// served twice over is nudged to give one back. On the same tick the
// watcher sends what the channels of running calls hold back
// (Channel::writeSoon), which bounds how long that waits. With no call begun
// for a few ticks and none running, the watcher sleeps until the next call
// begins, so an idle host wakes no thread. Not the bound on running calls
// (request_slots.h) nor the connections (connection.h).
#pragma once

#include "host/server/channel.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace DRAVHost {

class EventLoops;

class EventLoop {
public:
  boost::asio::io_context& context() { return io_; }

  // Marks a blocking call on a thread of this loop for the scope's life.
  // `needsLoop`: the call waits for the loop's own handlers, so another
  // thread must serve the loop from the start. The call writes to
  // `channel`, which must outlive the scope.
  class Call {
  public:
    Call(EventLoop& loop, bool needsLoop, Channel& channel);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

  private:
    EventLoop& loop_;
    Channel& channel_;
  };

private:
  friend class EventLoops;
  explicit EventLoop(EventLoops& owner) : owner_(owner), work_(io_.get_executor()) {}

  EventLoops& owner_;
  boost::asio::io_context io_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::atomic<unsigned> free_{0};         // threads serving the loop outside a call
  std::atomic<std::uint64_t> calls_{0};   // calls begun, so the watcher sees one that lasts
  std::uint64_t callsSeen_ = 0;           // the watcher's own
  std::mutex callsMutex_;                 // guards the channels of running calls
  std::vector<Channel*> callChannels_;
};

class EventLoops {
public:
  // `loops` loops (at least 1) with `callThreads` threads beside theirs;
  // the watcher looks every `tick`. Starts every thread.
  EventLoops(unsigned loops, unsigned callThreads, std::chrono::milliseconds tick);
  ~EventLoops();  // stop()
  EventLoops(const EventLoops&) = delete;
  EventLoops& operator=(const EventLoops&) = delete;

  unsigned size() const { return static_cast<unsigned>(loops_.size()); }
  EventLoop& loop(unsigned index) { return *loops_[index]; }
  // The loops in turn, for the connections accepted one after another.
  EventLoop& next() { return *loops_[turn_++ % loops_.size()]; }

  // Ends every loop (their pending handlers stay until the loops go) and
  // joins the threads.
  void stop();
  // The same without waiting for the threads, for when one is stuck in a
  // call that never returns: they end as they can, so the loops must stay
  // (never be destroyed) from then on.
  void abandon();
  // One more spare thread, in place of one a call holds for good; false
  // once the loops are stopping.
  bool addSpareThread();

private:
  friend class EventLoop::Call;

  // Tells every thread to end; false when that was done before.
  bool endThreads();
  void serveThread(EventLoop* first);
  // Runs `loop` until another thread serves it too, or it stops.
  void serve(EventLoop& loop);
  void watch();
  // True when no loop has a call running or begun since the last tick, nor
  // a thread lent to it still serving it.
  bool idle();
  // From a call beginning: wakes the watcher if it sleeps.
  void callBegins();
  // Sends a spare thread to `loop` if there is one.
  void lend(EventLoop& loop);

  std::vector<std::unique_ptr<EventLoop>> loops_;
  std::atomic<unsigned> turn_{0};
  std::mutex mutex_;  // guards what follows
  std::condition_variable lentOut_;       // spares wait for a loop to serve
  std::condition_variable watcherWakes_;  // the watcher waits for the stop or a call
  std::atomic<bool> watcherAsleep_{false};
  unsigned spares_ = 0;
  std::deque<EventLoop*> lent_;  // loops a spare is to serve
  bool stopping_ = false;
  const std::chrono::milliseconds tick_;
  std::vector<std::thread> threads_;
};

}  // namespace DRAVHost
