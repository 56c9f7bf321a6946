#include "host/server/connection_registry.h"

#include <sys/socket.h>

#include <algorithm>

namespace DRAVHost {
namespace {

// Whether bytes the peer sent wait to be read on the socket.
bool bytesWaiting(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

}  // namespace

bool ConnectionRegistry::Entry::arm(Clock::time_point deadline, bool bothWays, bool idle, IdleClose onIdleClose) {
  bothWays_.store(bothWays);
  onIdleClose_.store(onIdleClose);
  if (idle && !idle_.load()) idleSince_.store(Clock::now().time_since_epoch().count());
  idle_.store(idle);
  deadline_.store(std::max<std::int64_t>(1, deadline.time_since_epoch().count()));
  // Stores before the check: a stop either sees this wait or is seen here.
  return !(registry_ && (registry_->stopping_.load() ||
                         (onIdleClose != IdleClose::Keep && registry_->closingIdle_.load())));
}

bool ConnectionRegistry::add(Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  const unsigned served = static_cast<unsigned>(entries_.size()) - refusing_ - givingWay_;
  if (stopping_.load() || (served >= max_ && !(idleGiveWay_ && cutAnIdleOne()))) {
    ++refused_;
    return false;
  }
  ++added_;
  entries_.insert(&entry);
  entry.registry_ = this;
  peak_ = std::max(peak_, served + 1);
  return true;
}

bool ConnectionRegistry::addRefusal(Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refusing_ >= maxRefusing_ || stopping_.load()) return false;
  ++refusing_;
  entries_.insert(&entry);
  entry.registry_ = this;
  entry.refusal_ = true;
  return true;
}

bool ConnectionRegistry::refusalsFull() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusing_ >= maxRefusing_;
}

void ConnectionRegistry::remove(Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.erase(&entry)) {
    if (entry.refusal_) --refusing_;
    if (entry.givingWay_) --givingWay_;
  }
  entry.registry_ = nullptr;
}

bool ConnectionRegistry::cutAnIdleOne() {
  // The one idle longest: a new connection's request is on its way, and a
  // flood of idle ones does not close it before it arrives.
  Entry* oldest = nullptr;
  for (Entry* entry : entries_) {
    if (entry->refusal_ || entry->givingWay_ || !entry->idle_.load() || entry->deadline_.load() <= 0) continue;
    if (!oldest || entry->idleSince_.load() < oldest->idleSince_.load()) oldest = entry;
  }
  if (!oldest) return false;
  // It may have moved on meanwhile: then it stays, and so does the refusal.
  std::int64_t deadline = oldest->deadline_.load();
  if (deadline <= 0 || !oldest->deadline_.compare_exchange_strong(deadline, Entry::kCut)) return false;
  oldest->givingWay_ = true;
  ++givingWay_;
  cut(*oldest, false);
  return true;
}

void ConnectionRegistry::cut(Entry& entry, bool bothWays) {
  ::shutdown(entry.fd_, bothWays ? SHUT_RDWR : SHUT_RD);
}

void ConnectionRegistry::sweep() {
  const std::int64_t now = Clock::now().time_since_epoch().count();
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry* entry : entries_) {
    std::int64_t deadline = entry->deadline_.load();
    if (deadline > 0 && deadline < now && entry->deadline_.compare_exchange_strong(deadline, Entry::kCut))
      cut(*entry, entry->bothWays_.load());
  }
}

void ConnectionRegistry::closeIdle() {
  closingIdle_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry* entry : entries_) {
    // Once cut, a connection reads what has arrived and then its end, where
    // the rest of a request begun would have come.
    const IdleClose how = entry->onIdleClose_.load();
    std::int64_t deadline = entry->deadline_.load();
    if (how == IdleClose::Keep || deadline <= 0) continue;
    if (how == IdleClose::CutUnlessSent && bytesWaiting(entry->fd_)) continue;
    if (entry->deadline_.compare_exchange_strong(deadline, Entry::kCut)) cut(*entry, false);
  }
}

void ConnectionRegistry::stop() {
  stopping_.store(true);
  std::lock_guard<std::mutex> lock(mutex_);
  for (Entry* entry : entries_) {
    entry->deadline_.store(Entry::kCut);
    cut(*entry, true);
  }
}

unsigned ConnectionRegistry::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<unsigned>(entries_.size()) - refusing_;
}

unsigned ConnectionRegistry::peak() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peak_;
}

}  // namespace DRAVHost
