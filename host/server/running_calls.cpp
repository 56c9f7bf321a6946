#include "host/server/running_calls.h"

#include "host/server/access_log.h"
#include "host/server/forwarded_client.h"

namespace DRAVHost {

RunningCalls::Scope::Scope(RunningCalls& calls, const RequestHead& head, const boost::asio::ip::address& peer,
                           CallWatch* watch)
    : calls_(calls), head_(head), peer_(peer), watch_(watch), since_(Clock::now()), seenSince_(since_) {
  std::lock_guard<std::mutex> lock(calls_.mutex_);
  previous_ = calls_.newest_;
  if (previous_) previous_->next_ = this;
  else calls_.oldest_ = this;
  calls_.newest_ = this;
}

RunningCalls::Scope::~Scope() {
  std::lock_guard<std::mutex> lock(calls_.mutex_);
  (previous_ ? previous_->next_ : calls_.oldest_) = next_;
  (next_ ? next_->previous_ : calls_.newest_) = previous_;
}

std::vector<std::string> RunningCalls::describe() const {
  const auto now = Clock::now();
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Scope* call = oldest_; call; call = call->next_) lines.push_back(describe(*call, now));
  return lines;
}

void RunningCalls::sweep(Clock::time_point now, Clock::duration limit,
                         const std::function<void(CallWatch&, std::uint64_t, const std::string&)>& overdue) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Scope* call = oldest_; call; call = call->next_) {
    if (!call->watch_) continue;
    const std::uint64_t state = call->watch_->state();
    if (state != call->seenState_) {
      call->seenState_ = state;
      call->seenSince_ = now;
    } else if (CallWatch::inBridge(state) && now - call->seenSince_ >= limit) {
      overdue(*call->watch_, state, describe(*call, now));
    }
  }
}

std::string RunningCalls::describe(const Scope& call, Clock::time_point now) const {
  const std::string* method = call.head_.field("DRAVMethodName");
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - call.since_).count();
  return "\"" + escapeLogField(call.head_.path()) + "\" " +
         (method ? "\"" + escapeLogField(*method) + "\"" : std::string("-")) + " from " +
         forwardedClient(call.peer_, call.head_, trustedProxies_).to_string() + ", running for " +
         std::to_string(seconds) + " s";
}

}  // namespace DRAVHost
