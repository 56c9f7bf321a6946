// The memory bridge calls may take: a budget for the whole host, from which
// each bridge call reserves its own share for as long as it runs, and the
// call's share itself, which bounds the argument bytes the bridge holds,
// what decoding them allocates (DRAVDecodeBudget) and the answer the host
// buffers. A call that would pass its share is answered 413; one that finds
// the host's budget spent, 503. Not an allocator: it counts what the host
// and the decoders ask for before they allocate.
#pragma once

#include <drav/serialization/decode_budget.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace DRAVHost {

// Thread-safe.
class MemoryBudget {
public:
  explicit MemoryBudget(std::uint64_t limitBytes) : limit_(limitBytes) {}

  bool tryReserve(std::uint64_t bytes) {
    std::uint64_t used = used_.load();
    while (bytes <= limit_ - used)
      if (used_.compare_exchange_weak(used, used + bytes)) return true;
    return false;
  }
  // Reserves `bytes`, waiting until they are free (at once once the host
  // stops, whose grace bounds what runs then).
  void reserveWhenFree(std::uint64_t bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [&] { return stopping_ || tryReserve(bytes); });
    if (stopping_) used_ += bytes;
  }
  void release(std::uint64_t bytes) {
    used_ -= bytes;
    std::lock_guard<std::mutex> lock(mutex_);  // a waiter either sees the release or is woken
    freed_.notify_all();
  }
  // Wakes every wait for room.
  void stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    freed_.notify_all();
  }
  std::uint64_t used() const { return used_.load(); }
  std::uint64_t limit() const { return limit_; }

private:
  const std::uint64_t limit_;
  std::atomic<std::uint64_t> used_{0};
  std::mutex mutex_;  // for waits for room
  std::condition_variable freed_;
  bool stopping_ = false;
};

// One call's share, reserved whole when the call starts; one thread.
class CallMemory {
public:
  // `heldBytes`: what the bridge holds from the start (its argument bytes).
  CallMemory(MemoryBudget& host, std::uint64_t share, std::uint64_t heldBytes)
      : host_(host),
        share_(share),
        reserved_(heldBytes <= share && host.tryReserve(share)),
        held_(std::min(heldBytes, share)),
        decode_(share - held_) {}
  ~CallMemory() {
    if (reserved_) host_.release(inHand_);
  }
  CallMemory(const CallMemory&) = delete;
  CallMemory& operator=(const CallMemory&) = delete;

  // False when the host's budget had too little left for the share, or the
  // held bytes alone pass it.
  bool reserved() const { return reserved_; }
  std::uint64_t share() const { return share_; }
  DRAVDecodeBudget& decodeBudget() { return decode_; }
  // What a buffered answer may still take.
  std::uint64_t answerAllowance() const { return share_ - held_ - std::min(decode_.used(), share_ - held_); }

  // While the call waits on its client it allocates nothing: the host gets
  // back the part of the share it does not hold, `holding` bytes of
  // arguments and answer besides what its decoding holds ...
  void shrinkWhileWaiting(std::uint64_t holding) {
    if (!reserved_) return;
    const std::uint64_t keep = std::min(share_, holding + decode_.used());
    host_.release(inHand_ - keep);
    inHand_ = keep;
  }
  // ... and it takes the whole share again before it runs on, waiting for room.
  void regrow() {
    if (!reserved_ || inHand_ == share_) return;
    host_.reserveWhenFree(share_ - inHand_);
    inHand_ = share_;
  }

private:
  MemoryBudget& host_;
  const std::uint64_t share_;
  const bool reserved_;
  const std::uint64_t held_;
  DRAVDecodeBudget decode_;
  std::uint64_t inHand_ = share_;  // of the share, reserved now
};

}  // namespace DRAVHost
