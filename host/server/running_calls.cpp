#include "host/server/running_calls.h"

#include "host/server/access_log.h"
#include "host/server/forwarded_client.h"

namespace DRAVHost {

RunningCalls::Scope::Scope(RunningCalls& calls, const RequestHead& head, const boost::asio::ip::address& peer)
    : calls_(calls), head_(head), peer_(peer), since_(Clock::now()) {
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
  for (const Scope* call = oldest_; call; call = call->next_) {
    const std::string* method = call->head_.field("DRAVMethodName");
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - call->since_).count();
    lines.push_back("\"" + escapeLogField(call->head_.path()) + "\" " +
                    (method ? "\"" + escapeLogField(*method) + "\"" : std::string("-")) + " from " +
                    forwardedClient(call->peer_, call->head_, trustedProxies_).to_string() + ", running for " +
                    std::to_string(seconds) + " s");
  }
  return lines;
}

}  // namespace DRAVHost
