#include "host/server/channel.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace DRAVHost {
namespace {

namespace asio = boost::asio;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

// At most this many pieces go to one sendmsg.
constexpr std::size_t kMaxPieces = 8;
// Output written soon is held up to this many bytes; more goes out at once.
constexpr std::size_t kHoldLimit = 4096;
// A channel that held more keeps no bigger room while idle.
constexpr std::size_t kIdleRoom = 1024;

// A TLS operation that has not completed within this waits on the peer.
constexpr std::chrono::milliseconds kQuickWait(2);

// Tells the observer, if any, of one wait for the peer for the scope's life.
class PeerWait {
public:
  explicit PeerWait(PeerWaits* waits) : waits_(waits) {
    if (waits_) waits_->begin();
  }
  ~PeerWait() {
    if (waits_) waits_->end();
  }
  PeerWait(const PeerWait&) = delete;
  PeerWait& operator=(const PeerWait&) = delete;

private:
  PeerWaits* waits_;
};

int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

class PlainChannel : public Channel {
public:
  explicit PlainChannel(int fd) : fd_(fd) {}

  std::size_t readSome(void* data, std::size_t size, std::chrono::milliseconds timeout) override {
    const auto deadline = Clock::now() + timeout;
    while (true) {
      const ssize_t got = ::recv(fd_, data, size, MSG_DONTWAIT);
      if (got >= 0) return static_cast<std::size_t>(got);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) throw ChannelError(std::string("reading failed: ") + std::strerror(errno), false);
      // The peer may wait for what is held before it sends more.
      if (holding_.load()) writeAll(nullptr, 0, msLeft(deadline));
      waitFor(POLLIN, deadline, "reading");
    }
  }

  void writeAll(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_.empty()) return send(pieces, count, timeout);
    // What is held leaves first, with the pieces in one write when they fit one.
    struct Forget {
      PlainChannel& channel;
      ~Forget() { channel.forgetHeld(); }
    } forget{*this};
    if (count >= kMaxPieces) {
      const ConstPiece held{held_.data(), held_.size()};
      send(&held, 1, timeout);
      return send(pieces, count, timeout);
    }
    ConstPiece all[kMaxPieces] = {{held_.data(), held_.size()}};
    std::copy(pieces, pieces + count, all + 1);
    send(all, count + 1, timeout);
  }

  void writeSoon(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) override {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count; ++i) size += pieces[i].size;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (size <= kHoldLimit - std::min(kHoldLimit, held_.size())) {
        for (std::size_t i = 0; i < count; ++i) held_.append(static_cast<const char*>(pieces[i].data), pieces[i].size);
        holding_.store(true);
        return;
      }
    }
    writeAll(pieces, count, timeout);
  }

  void sendOverdue() override {
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock() || held_.empty()) return;
    const ssize_t sent = ::send(fd_, held_.data(), held_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent <= 0) return;  // the channel's thread meets any failure on its next write
    held_.erase(0, static_cast<std::size_t>(sent));
    if (held_.empty()) forgetHeld();
  }

private:
  static std::chrono::milliseconds msLeft(Clock::time_point deadline) {
    return std::chrono::milliseconds(msUntil(deadline));
  }

  // Forgets what is held once it has gone out (or the channel failed).
  void forgetHeld() {
    holding_.store(false);
    if (held_.capacity() > kIdleRoom) std::string().swap(held_);
    else held_.clear();
  }

  void send(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    iovec vectors[kMaxPieces];
    std::size_t first = 0;  // pieces before it have gone out
    std::size_t offset = 0;  // bytes of pieces[first] that have
    while (first < count) {
      std::size_t n = 0;
      for (std::size_t i = first; i < count && n < kMaxPieces; ++i) {
        const std::size_t skip = i == first ? offset : 0;
        if (pieces[i].size == skip) continue;
        vectors[n].iov_base = const_cast<char*>(static_cast<const char*>(pieces[i].data) + skip);
        vectors[n].iov_len = pieces[i].size - skip;
        ++n;
      }
      if (n == 0) return;
      msghdr message{};
      message.msg_iov = vectors;
      message.msg_iovlen = n;
      const ssize_t sent = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) throw ChannelError(std::string("writing failed: ") + std::strerror(errno), false);
        waitFor(POLLOUT, deadline, "writing");
        continue;
      }
      std::size_t left = static_cast<std::size_t>(sent);
      while (first < count && left >= pieces[first].size - offset) {
        left -= pieces[first].size - offset;
        ++first;
        offset = 0;
      }
      offset += left;
    }
  }

  void waitFor(short events, Clock::time_point deadline, const char* what) {
    pollfd wait = {fd_, events, 0};
    int ready = 0;
    {
      const PeerWait peerWait(waits_);
      ready = ::poll(&wait, 1, msUntil(deadline));
    }
    if (ready == 0) throw ChannelError(std::string(what) + " timed out", true);
    if (ready < 0 && errno != EINTR) throw ChannelError(std::string(what) + " failed: " + std::strerror(errno), false);
  }

  int fd_;
  std::mutex mutex_;  // guards the held bytes; held by the writing thread while it writes
  std::string held_;  // written soon, not yet sent
  std::atomic<bool> holding_{false};
};

// Runs each operation on the stream's executor and waits for it here.
class TlsChannel : public Channel {
public:
  explicit TlsChannel(TlsStream& stream) : stream_(stream) {}

  std::size_t readSome(void* data, std::size_t size, std::chrono::milliseconds timeout) override {
    const Outcome outcome = await(
        [this, data, size](auto handler) { stream_.async_read_some(asio::buffer(data, size), handler); }, timeout,
        "reading");
    if (outcome.error == asio::error::eof || outcome.error == asio::ssl::error::stream_truncated) return 0;
    if (outcome.error) throw ChannelError("reading failed: " + outcome.error.message(), false);
    return outcome.bytes;
  }

  void writeAll(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds timeout) override {
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(count);
    for (std::size_t i = 0; i < count; ++i) buffers.emplace_back(pieces[i].data, pieces[i].size);
    const Outcome outcome =
        await([this, &buffers](auto handler) { asio::async_write(stream_, buffers, handler); }, timeout, "writing");
    if (outcome.error) throw ChannelError("writing failed: " + outcome.error.message(), false);
  }

private:
  struct Outcome {
    bool done = false;
    bool timedOut = false;
    error_code error;
    std::size_t bytes = 0;
  };
  // Shared with the handler, which may run after a time-out.
  struct Waiter {
    std::mutex mutex;
    std::condition_variable finished;
    Outcome outcome;
  };

  template <typename Start>
  Outcome await(Start start, std::chrono::milliseconds timeout, const char* what) {
    auto waiter = std::make_shared<Waiter>();
    start([waiter](const error_code& error, std::size_t bytes) {
      std::lock_guard<std::mutex> lock(waiter->mutex);
      waiter->outcome.done = true;
      waiter->outcome.error = error;
      waiter->outcome.bytes = bytes;
      waiter->finished.notify_one();
    });
    const auto deadline = Clock::now() + timeout;
    const auto done = [&] { return waiter->outcome.done; };
    std::unique_lock<std::mutex> lock(waiter->mutex);
    bool finished = waiter->finished.wait_for(lock, std::min(timeout, kQuickWait), done);
    if (!finished) {
      // Not at once: the peer is the one we wait for. The lock is left while
      // the observer is told, as the handler needs it to finish.
      lock.unlock();
      const PeerWait peerWait(waits_);
      lock.lock();
      finished = waiter->finished.wait_until(lock, deadline, done);
      lock.unlock();
    }
    if (!lock.owns_lock()) lock.lock();
    if (!finished) {
      // Ends the operation; it still completes (with an error) before the
      // buffers it uses go away.
      ::shutdown(stream_.next_layer().native_handle(), SHUT_RDWR);
      waiter->finished.wait(lock, [&] { return waiter->outcome.done; });
      throw ChannelError(std::string(what) + " timed out", true);
    }
    return waiter->outcome;
  }

  TlsStream& stream_;
};

}  // namespace

std::unique_ptr<Channel> plainChannel(int fd) { return std::make_unique<PlainChannel>(fd); }

std::unique_ptr<Channel> tlsChannel(TlsStream& stream) { return std::make_unique<TlsChannel>(stream); }

}  // namespace DRAVHost
