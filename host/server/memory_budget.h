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

// One call's share, reserved whole when the call starts; one thread. The
// argument bytes count against it from the start, in the decode budget,
// where a bridge that frees them gives them back.
class CallMemory {
public:
  // `argsSize`: the argument bytes the bridge may hold.
  CallMemory(MemoryBudget& host, std::uint64_t share, std::uint64_t argsSize)
      : host_(host),
        share_(share),
        reserved_(argsSize <= share && host.tryReserve(share)),
        argsSize_(std::min(argsSize, share)),
        decode_(share) {
    decode_.tryCharge(argsSize_);
  }
  ~CallMemory() {
    if (reserved_) host_.release(inHand_);
  }
  CallMemory(const CallMemory&) = delete;
  CallMemory& operator=(const CallMemory&) = delete;

  // False when the host's budget had too little left for the share, or the
  // argument bytes alone pass it.
  bool reserved() const { return reserved_; }
  std::uint64_t share() const { return share_; }
  // Charged with the argument bytes from the start (argumentsCharged()).
  DRAVDecodeBudget& decodeBudget() { return decode_; }
  std::uint64_t argumentsCharged() const { return argsSize_; }
  // What a buffered answer may still take.
  std::uint64_t answerAllowance() const { return share_ - std::min(decode_.used(), share_); }

  // While the call waits on its client it allocates nothing: the host gets
  // back the part of the share it does not hold: what its budget counts but
  // for argument bytes that have not arrived, and `buffered` bytes of answer ...
  void shrinkWhileWaiting(std::uint64_t argumentsArrived, std::uint64_t buffered) {
    if (!reserved_) return;
    const std::uint64_t notArrived = argsSize_ - std::min(argsSize_, argumentsArrived);
    const std::uint64_t holding = decode_.used() - std::min(decode_.used(), notArrived);
    const std::uint64_t keep = std::min(share_, holding + buffered);
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
  const std::uint64_t argsSize_;
  DRAVDecodeBudget decode_;
  std::uint64_t inHand_ = share_;  // of the share, reserved now
};

}  // namespace DRAVHost
