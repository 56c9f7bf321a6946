#include "host/server/event_loops.h"

#include <drav/platform/annal.h>

#include <boost/asio/post.hpp>

#include <algorithm>

namespace DRAVHost {
namespace {

const Annal::AnnalInitExit annalInitExit;

// Ticks without a call before the watcher sleeps: a host under steady load
// never lets it, and one that falls idle pays one wake-up when it wakes.
constexpr unsigned kIdleTicksBeforeSleep = 10;

}  // namespace

EventLoop::Call::Call(EventLoop& loop, bool needsLoop, Channel& channel) : loop_(loop), channel_(channel) {
  loop_.calls_.fetch_add(1);
  loop_.owner_.callBegins();
  if (loop_.free_.fetch_sub(1) == 1 && needsLoop) loop_.owner_.lend(loop_);
  std::lock_guard<std::mutex> lock(loop_.callsMutex_);
  loop_.callChannels_.push_back(&channel_);
}

EventLoop::Call::~Call() {
  {
    std::lock_guard<std::mutex> lock(loop_.callsMutex_);
    auto& channels = loop_.callChannels_;
    channels.erase(std::find(channels.begin(), channels.end(), &channel_));
  }
  loop_.free_.fetch_add(1);
}

EventLoops::EventLoops(unsigned loops, unsigned callThreads, std::chrono::milliseconds tick) : tick_(tick) {
  loops = std::max(1u, loops);
  for (unsigned i = 0; i < loops; ++i) loops_.emplace_back(new EventLoop(*this));
  for (auto& loop : loops_) {
    loop->free_ = 1;
    threads_.emplace_back([this, first = loop.get()] { serveThread(first); });
  }
  for (unsigned i = 0; i < callThreads; ++i) threads_.emplace_back([this] { serveThread(nullptr); });
  threads_.emplace_back([this] { watch(); });
}

EventLoops::~EventLoops() { stop(); }

bool EventLoops::endThreads() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return false;
    stopping_ = true;
  }
  lentOut_.notify_all();
  watcherWakes_.notify_all();
  for (auto& loop : loops_) {
    loop->work_.reset();
    loop->io_.stop();
  }
  return true;
}

void EventLoops::stop() {
  if (!endThreads()) return;
  for (std::thread& thread : threads_) thread.join();
}

void EventLoops::abandon() {
  if (!endThreads()) return;
  for (std::thread& thread : threads_) thread.detach();
}

bool EventLoops::addSpareThread() {
  std::lock_guard<std::mutex> lock(mutex_);  // stop() joins the threads once stopping_ is set
  if (stopping_) return false;
  threads_.emplace_back([this] { serveThread(nullptr); });
  return true;
}

void EventLoops::serveThread(EventLoop* first) {
  for (EventLoop* loop = first;;) {
    if (loop) serve(*loop);
    std::unique_lock<std::mutex> lock(mutex_);
    ++spares_;
    lentOut_.wait(lock, [this] { return stopping_ || !lent_.empty(); });
    if (stopping_) return;
    loop = lent_.front();
    lent_.pop_front();
  }
}

void EventLoops::serve(EventLoop& loop) {
  while (true) {
    // A handler that throws must not take its thread, and the host's capacity, with it.
    try {
      loop.io_.run_one();
    } catch (const std::exception& e) {
      Annal::Logger(Annal::Error) << "host: " << e.what();
    }
    if (loop.io_.stopped()) return;
    unsigned free = loop.free_.load();
    while (free > 1)
      if (loop.free_.compare_exchange_weak(free, free - 1)) return;  // another thread serves the loop
  }
}

void EventLoops::callBegins() {
  if (!watcherAsleep_.load()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    watcherAsleep_ = false;
  }
  watcherWakes_.notify_all();
}

bool EventLoops::idle() {
  for (auto& loop : loops_) {
    if (loop->free_.load() != 1 || loop->calls_.load() != loop->callsSeen_) return false;
    std::lock_guard<std::mutex> running(loop->callsMutex_);
    if (!loop->callChannels_.empty()) return false;
  }
  return true;
}

void EventLoops::watch() {
  unsigned idleTicks = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!watcherWakes_.wait_for(lock, tick_, [this] { return stopping_; })) {
    if (idleTicks >= kIdleTicksBeforeSleep) {
      // A call that begins after this store finds the watcher asleep and
      // wakes it; one that began before it is seen by idle().
      watcherAsleep_ = true;
      if (idle()) watcherWakes_.wait(lock, [this] { return stopping_ || !watcherAsleep_; });
      watcherAsleep_ = false;
      idleTicks = 0;
      if (stopping_) return;
    }
    lock.unlock();
    idleTicks = idle() ? idleTicks + 1 : 0;
    for (auto& loop : loops_) {
      const std::uint64_t calls = loop->calls_.load(std::memory_order_relaxed);
      if (loop->free_.load() == 0 && calls == loop->callsSeen_) lend(*loop);  // one call has held it a tick
      loop->callsSeen_ = calls;
      // A loop served twice over: the thread that runs this leaves it.
      if (loop->free_.load() > 1) boost::asio::post(loop->io_, [] {});
      std::lock_guard<std::mutex> running(loop->callsMutex_);
      for (Channel* channel : loop->callChannels_) channel->sendOverdue();
    }
    lock.lock();
  }
}

void EventLoops::lend(EventLoop& loop) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || spares_ == 0) return;
  --spares_;
  loop.free_.fetch_add(1);
  lent_.push_back(&loop);
  lentOut_.notify_one();
}

}  // namespace DRAVHost
