#include "host/sso/logon_throttle.h"

#include <algorithm>
#include <utility>

namespace DRAVHost {

namespace {

constexpr std::chrono::milliseconds kLongestLockout = std::chrono::hours(24 * 365);

}  // namespace

LogonThrottle::LogonThrottle(const AuthSettings& settings, AuthClock now)
    : settings_(settings), now_(std::move(now)) {}

LogonThrottle::Order::iterator LogonThrottle::find(const ClientKey& client, std::chrono::steady_clock::time_point now) {
  const auto entry = byClient_.find(client);
  if (entry == byClient_.end()) return order_.end();
  // Compared in the setting's unit: any setting, however large, then fits.
  const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(now - entry->second->last);
  if (quiet < settings_.forgetFailuresAfter) return entry->second;
  order_.erase(entry->second);
  byClient_.erase(entry);
  tracked_ = order_.size();
  return order_.end();
}

std::chrono::milliseconds LogonThrottle::lockedFor(const ClientKey& client) {
  if (tracked_ == 0) return std::chrono::milliseconds(0);
  const auto now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = find(client, now);
  if (entry == order_.end() || entry->lockedUntil <= now) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(entry->lockedUntil - now);
}

void LogonThrottle::failed(const ClientKey& client) {
  const auto now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  auto entry = find(client, now);
  if (entry == order_.end()) {
    if (settings_.trackedClients == 0) return;
    if (order_.size() >= settings_.trackedClients) {
      byClient_.erase(order_.back().client);
      order_.pop_back();
    }
    order_.push_front(Failures{client, 0, now, now});
    byClient_[client] = order_.begin();
    entry = order_.begin();
    tracked_ = order_.size();
  } else {
    order_.splice(order_.begin(), order_, entry);
  }
  entry->count = std::min(entry->count + 1, 1000u);
  entry->last = now;
  if (entry->count >= settings_.freeFailures) entry->lockedUntil = now + lockoutAfter(entry->count);
}

void LogonThrottle::succeeded(const ClientKey& client) {
  if (tracked_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = byClient_.find(client);
  if (entry == byClient_.end()) return;
  order_.erase(entry->second);
  byClient_.erase(entry);
  tracked_ = order_.size();
}

std::size_t LogonThrottle::trackedClients() const { return tracked_; }

std::chrono::milliseconds LogonThrottle::lockoutAfter(unsigned failures) const {
  // The first lockout comes with the last free failure, then it doubles.
  // A year at most, so that deadlines stay within the clock's range.
  const std::chrono::milliseconds longest = std::min(settings_.longestLockout, kLongestLockout);
  std::chrono::milliseconds lockout = std::min(settings_.firstLockout, longest);
  for (unsigned i = settings_.freeFailures; i < failures && lockout < longest; ++i)
    lockout = lockout > longest / 2 ? longest : lockout * 2;  // no overflow, whatever the settings
  return lockout;
}

LockoutAnswer lockoutAnswer(std::chrono::milliseconds remaining) {
  const std::string seconds = std::to_string(std::chrono::ceil<std::chrono::seconds>(remaining).count());
  return {"too many failed logons from this address: try again in " + seconds + " s", seconds};
}

}  // namespace DRAVHost
