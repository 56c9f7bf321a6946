#include "host/sso/logon_throttle.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace DRAVHost {

namespace {

constexpr std::chrono::milliseconds kLongestLockout = std::chrono::hours(24 * 365);

}  // namespace

LogonAttempt logonAttempt(const ClientKey& client, std::string_view realm, std::string_view user) {
  std::string credentials;
  credentials.reserve(realm.size() + 1 + user.size());
  credentials.append(realm).append(1, '\0').append(user);
  return LogonAttempt{client, std::hash<std::string>()(credentials)};
}

std::size_t LogonThrottle::KeyHash::operator()(const Key& key) const {
  return ClientKeyHash()(key.client) ^ (key.user * 31) ^ (key.wholeClient ? 0x9E3779B97F4A7C15ull : 0);
}

LogonThrottle::LogonThrottle(const AuthSettings& settings, AuthClock now)
    : settings_(settings), now_(std::move(now)) {}

LogonThrottle::Order::iterator LogonThrottle::find(const Key& key, std::chrono::steady_clock::time_point now) {
  const auto entry = byKey_.find(key);
  if (entry == byKey_.end()) return order_.end();
  // Compared in the setting's unit: any setting, however large, then fits.
  const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(now - entry->second->last);
  if (quiet < settings_.forgetFailuresAfter) return entry->second;
  order_.erase(entry->second);
  byKey_.erase(entry);
  tracked_ = order_.size();
  return order_.end();
}

std::chrono::milliseconds LogonThrottle::remaining(const Key& key, std::chrono::steady_clock::time_point now) {
  const auto entry = find(key, now);
  if (entry == order_.end() || entry->lockedUntil <= now) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(entry->lockedUntil - now);
}

std::chrono::milliseconds LogonThrottle::lockedFor(const LogonAttempt& attempt) {
  if (tracked_ == 0) return std::chrono::milliseconds(0);
  const auto now = now_();
  std::lock_guard<std::mutex> lock(mutex_);
  return std::max(remaining(Key{attempt.client, attempt.user, false}, now),
                  remaining(Key{attempt.client, 0, true}, now));
}

void LogonThrottle::failed(const LogonAttempt& attempt) {
  const auto now = now_();
  const unsigned free = settings_.freeFailures;
  const unsigned clientFree = free > std::numeric_limits<unsigned>::max() / kUserNamesPerClient
                                  ? std::numeric_limits<unsigned>::max()
                                  : free * kUserNamesPerClient;
  std::lock_guard<std::mutex> lock(mutex_);
  count(Key{attempt.client, attempt.user, false}, free, now);
  count(Key{attempt.client, 0, true}, clientFree, now);
}

void LogonThrottle::count(const Key& key, unsigned free, std::chrono::steady_clock::time_point now) {
  auto entry = find(key, now);
  if (entry == order_.end()) {
    if (settings_.trackedClients == 0) return;
    if (order_.size() >= settings_.trackedClients) {
      byKey_.erase(order_.back().key);
      order_.pop_back();
    }
    order_.push_front(Failures{key, 0, now, now});
    byKey_[key] = order_.begin();
    entry = order_.begin();
    tracked_ = order_.size();
  } else {
    order_.splice(order_.begin(), order_, entry);
  }
  entry->count = std::min(entry->count + 1, std::max(free, 1000u));
  entry->last = now;
  if (entry->count >= free) entry->lockedUntil = now + lockoutAfter(entry->count, free);
}

void LogonThrottle::succeeded(const LogonAttempt& attempt) {
  if (tracked_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const auto entry = byKey_.find(Key{attempt.client, attempt.user, false});
  if (entry == byKey_.end()) return;
  order_.erase(entry->second);
  byKey_.erase(entry);
  tracked_ = order_.size();
}

std::size_t LogonThrottle::trackedEntries() const { return tracked_; }

std::chrono::milliseconds LogonThrottle::lockoutAfter(unsigned failures, unsigned free) const {
  // The first lockout comes with the last free failure, then it doubles.
  // A year at most, so that deadlines stay within the clock's range.
  const std::chrono::milliseconds longest = std::min(settings_.longestLockout, kLongestLockout);
  std::chrono::milliseconds lockout = std::min(settings_.firstLockout, longest);
  for (unsigned i = free; i < failures && lockout < longest; ++i)
    lockout = lockout > longest / 2 ? longest : lockout * 2;  // no overflow, whatever the settings
  return lockout;
}

LockoutAnswer lockoutAnswer(std::chrono::milliseconds remaining) {
  const std::string seconds = std::to_string(std::chrono::ceil<std::chrono::seconds>(remaining).count());
  return {"too many failed logons from this address: try again in " + seconds + " s", seconds};
}

}  // namespace DRAVHost
