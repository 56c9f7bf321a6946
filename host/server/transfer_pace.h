// The deadline of a transfer that must keep a minimum rate: n bytes may take
// the grace time plus n / rate from the transfer's start, so that a client
// trickling a byte now and then is cut off however patient each wait is.
// Not a timer: readers and writers ask it how long their next wait may last.
#pragma once

#include <drav/host/host_settings.h>

#include <chrono>
#include <cstdint>

namespace DRAVHost {

class TransferPace {
public:
  using Clock = std::chrono::steady_clock;

  explicit TransferPace(const HostSettings& settings)
      : grace_(settings.transferGrace), rate_(settings.minTransferRate) {}

  void start() { start_ = Clock::now(); }
  // When the first `bytes` of the transfer must have gone through. Without a
  // rate, the grace time from now: each wait gets that long.
  Clock::time_point deadline(std::uint64_t bytes) const {
    if (rate_ == 0) return Clock::now() + grace_;
    return start_ + grace_ + std::chrono::milliseconds(bytes * 1000 / rate_);
  }
  // How long a wait may last until `bytes` must be through; 0 once it is late.
  std::chrono::milliseconds timeLeft(std::uint64_t bytes) const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline(bytes) - Clock::now());
    return left.count() > 0 ? left : std::chrono::milliseconds(0);
  }

private:
  std::chrono::milliseconds grace_;
  std::uint32_t rate_;
  Clock::time_point start_ = Clock::now();
};

}  // namespace DRAVHost
