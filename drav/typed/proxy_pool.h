// The bridge proxies a typed client owns, one connection each, lent to one
// call at a time: at most `capacity` exist, so a client never holds more
// connections than its settings allow, and a call that finds them all busy
// waits for one to come back. Thread-safe.
#pragma once

#include <drav/config/auth_info.h>
#include <drav/config/url.h>
#include <drav/transport/bridge_proxy.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace DRAVTyped {

// Lends a client's proxies to one call each, making up to `capacity` of them.
class ProxyPool {
public:
  // Runs on each new proxy after init(): cookies, root URL, event sink.
  using Prepare = std::function<void(DRAVBridgeProxy&)>;

  ProxyPool(std::string bridge, Url url, AuthInfo auth, unsigned capacity, Prepare prepare)
      : bridge_(std::move(bridge)),
        url_(std::move(url)),
        auth_(std::move(auth)),
        capacity_(capacity == 0 ? 1 : capacity),
        prepare_(std::move(prepare)) {}
  ProxyPool(const ProxyPool&) = delete;
  ProxyPool& operator=(const ProxyPool&) = delete;

  // A proxy lent until the lease ends.
  class Lease {
  public:
    Lease(ProxyPool& pool, std::unique_ptr<DRAVBridgeProxy> proxy) : pool_(pool), proxy_(std::move(proxy)) {}
    ~Lease() { pool_.giveBack(std::move(proxy_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    DRAVBridgeProxy& proxy() { return *proxy_; }

  private:
    ProxyPool& pool_;
    std::unique_ptr<DRAVBridgeProxy> proxy_;
  };

  // An idle proxy, a new one while fewer than capacity exist, or else the
  // first one given back. What init() or Prepare throws passes through.
  Lease acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    returned_.wait(lock, [this] { return !idle_.empty() || made_ < capacity_; });
    if (!idle_.empty()) {
      std::unique_ptr<DRAVBridgeProxy> proxy = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(proxy));
    }
    ++made_;
    lock.unlock();
    try {
      auto proxy = std::make_unique<DRAVBridgeProxy>(bridge_, url_, auth_);
      proxy->init();
      if (prepare_) prepare_(*proxy);
      return Lease(*this, std::move(proxy));
    } catch (...) {
      giveBack(nullptr);
      throw;
    }
  }

  unsigned capacity() const { return capacity_; }
  // Proxies made so far (never more than capacity()).
  unsigned made() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return made_;
  }
  const std::string& bridge() const { return bridge_; }

private:
  // Null: a proxy that could not be made frees its place.
  void giveBack(std::unique_ptr<DRAVBridgeProxy> proxy) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (proxy) idle_.push_back(std::move(proxy));
      else --made_;
    }
    returned_.notify_one();
  }

  const std::string bridge_;
  const Url url_;
  const AuthInfo auth_;
  const unsigned capacity_;
  const Prepare prepare_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<DRAVBridgeProxy>> idle_;
  unsigned made_ = 0;
};

}  // namespace DRAVTyped
