#include "host/server/stuck_calls.h"

#include <drav/platform/annal.h>

namespace DRAVHost {
namespace {

const Annal::AnnalInitExit annalInitExit;

}  // namespace

void StuckCalls::sweep() {
  if (limit_.count() == 0 || most_ == 0) return;
  std::lock_guard<std::mutex> lock(sweeping_);
  running_.sweep(RunningCalls::Clock::now(), limit_, [this](CallWatch& watch, std::uint64_t seen,
                                                             const std::string& call) {
    // At the most stuck calls the call runs on in its slot, to be given up
    // when a place is free again.
    if (stuck_.load() >= most_ || !watch.giveUp(seen)) return;
    const unsigned stuck = ++stuck_;
    // Its thread is lost to the pool while the bridge holds it: a spare takes its place.
    if (stuck > threadsAdded_ && loops_.addSpareThread()) ++threadsAdded_;
    Annal::Logger(Annal::Error) << "host: " << call
                                << " without reading or writing: given up at the call time limit (" << stuck
                                << " of at most " << most_ << " stuck calls)";
    if (CallWatch::Owner* owner = watch.owner()) owner->answerGivenUp(watch.answerBegun());
    if (RequestSlots::Job next = slots_.release()) next(true);
  });
}

}  // namespace DRAVHost
