#include "host/server/connection.h"

#include <drav/platform/annal.h>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>

#include <cerrno>

#include <array>
#include <memory>
#include <optional>
#include <type_traits>

namespace DRAVHost {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

const Annal::AnnalInitExit annalInitExit;

// How long, and for how many bytes, a closing connection still reads what
// the client sends, so that the answer is not cut off by a reset.
constexpr std::chrono::milliseconds kLinger(1000);
constexpr std::size_t kLingerBytes = 1024 * 1024;
constexpr std::size_t kLingerChunk = 4096;
// A plain connection drops a body it does not read in pieces of this size.
constexpr std::size_t kDiscardChunk = 64 * 1024;
// How long a TLS connection beyond the bound may take, from the accept, to
// complete its handshake and take its 503.
constexpr std::chrono::milliseconds kRefusalTime(2000);

// Collects what a response writes, for answers sent without a pool thread.
class TextCollector : public Channel {
public:
  std::string bytes;
  std::size_t readSome(void*, std::size_t, std::chrono::milliseconds) override { return 0; }
  void writeAll(const ConstPiece* pieces, std::size_t count, std::chrono::milliseconds) override {
    for (std::size_t i = 0; i < count; ++i) bytes.append(static_cast<const char*>(pieces[i].data), pieces[i].size);
  }
};

// The host's own answer as bytes, and whether the connection stays open after it.
std::pair<std::string, bool> hostAnswer(const HostSettings& settings, const RequestHead* head, unsigned status,
                                        const std::string& message,
                                        const std::vector<std::pair<std::string, std::string>>& headers,
                                        bool keepOpen) {
  TextCollector collector;
  ResponseStream out(collector, settings, head ? head->version : 11, keepOpen && head && head->keepAlive,
                     head && head->isHead());
  out.sendText(status, message, headers);
  return {std::move(collector.bytes), out.keepAlive()};
}

std::vector<std::pair<std::string, std::string>> retryAfter(const HostSettings& settings) {
  return {{"Retry-After", std::to_string(settings.retryAfterSeconds)}};
}

// A running request's waits on its client, taken outside its slot where the
// host has a client wait to spare, or the request one of its own.
class SlotWhileWaiting : public PeerWaits {
public:
  SlotWhileWaiting(RequestSlots& slots, bool ownWait) : slots_(slots), ownWait_(ownWait) {}

  bool begin() override {
    RequestSlots::Job next;
    aside_ = slots_.stepAside(next, ownWait_);
    if (next) next(true);
    return aside_;
  }
  void end() override {
    if (!aside_) return;
    aside_ = false;
    if (RequestSlots::Job next = slots_.stepBack(ownWait_)) next(true);
  }

private:
  RequestSlots& slots_;
  const bool ownWait_;
  bool aside_ = false;
};

template <typename Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>>, public CallWatch::Owner {
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

public:
  Connection(tcp::socket socket, EventLoop& loop, ConnectionShared& shared, const boost::asio::ip::address& peer)
      : stream_(makeStream(std::move(socket), shared.tls)),
        loop_(loop),
        shared_(shared),
        settings_(shared.routes.settings),
        entry_(lowest().native_handle()),
        channel_(makeChannel()),
        in_(*channel_, settings_, shared.buffers),
        peer_(peer),
        watch_(this) {}
  ~Connection() { shared_.registry.remove(entry_); }

  ConnectionRegistry::Entry& entry() { return entry_; }

  void start() {
    error_code ignored;
    lowest().set_option(tcp::no_delay(true), ignored);
    headDeadline_ = Clock::now() + settings_.headTimeout;  // the first head counts from the accept
    headClockRunning_ = true;
    if constexpr (kTls) {
      if (!entry_.arm(headDeadline_, true, false, ConnectionRegistry::IdleClose::Cut)) return finalClose();
      stream_.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](const error_code& e) {
        if (!self->entry_.disarm() || e) {
          Annal::Logger(Annal::XS) << "host: the TLS handshake failed: " << e.message();
          return self->finalClose();
        }
        self->awaitHead();
      });
    } else {
      awaitHead();
    }
  }

  // The host is full: a word of why (plain HTTP, if the socket takes it at once), then the end.
  void refuseAtOnce() {
    if constexpr (!kTls) {
      const auto answer = fullHostAnswer();
      ::send(lowest().native_handle(), answer.first.data(), answer.first.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    finalClose();
  }

  // The host is full and the client speaks TLS: the handshake, then the word
  // of why, all within kRefusalTime, then the end. The registry holds the
  // connection as a refusal meanwhile.
  void refuseAfterHandshake() {
    refusalDeadline_ = Clock::now() + kRefusalTime;
    if (!entry_.arm(*refusalDeadline_, true)) return finalClose();
    stream_.async_handshake(asio::ssl::stream_base::server, [self = this->shared_from_this()](const error_code& e) {
      if (!self->entry_.disarm() || e) return self->finalClose();
      auto answer = self->fullHostAnswer();
      self->send(std::move(answer.first), false);
    });
  }

private:
  static Stream makeStream(tcp::socket socket, asio::ssl::context* tls) {
    if constexpr (kTls) return Stream(std::move(socket), *tls);
    else return socket;
  }

  std::unique_ptr<Channel> makeChannel() {
    if constexpr (kTls) return tlsChannel(stream_);
    else return plainChannel(stream_.native_handle());
  }

  std::pair<std::string, bool> fullHostAnswer() const {
    return hostAnswer(settings_, nullptr, 503, "the host serves no more connections now", retryAfter(settings_),
                      false);
  }

  tcp::socket& lowest() {
    if constexpr (kTls) return stream_.next_layer();
    else return stream_;
  }

  void awaitHead() {
    if (served_ >= settings_.maxRequestsPerConnection) return close();
    // The wait for the next request counts from here: empty lines before its
    // request line do not start it again.
    idleDeadline_ = Clock::now() + settings_.idleTimeout;
    in_.beginHead();
    readHead();
  }

  void readHead() {
    try {
      if (in_.parseHead()) return onHead();
    } catch (const HttpError& e) {
      return answer(nullptr, e.status(), e.what(), {}, false);
    }
    if (in_.headBegun() && !headClockRunning_) {
      headDeadline_ = Clock::now() + settings_.headTimeout;
      headClockRunning_ = true;
    }
    // Where connections give way (the admin listener), a begun head does as
    // an idle connection does: heads begun a byte each would else hold every
    // place for the head timeout.
    const bool givesWay = !in_.headBegun() || shared_.registry.givesWay();
    if (!entry_.arm(headClockRunning_ ? headDeadline_ : idleDeadline_, false, givesWay,
                    in_.headBegun() ? ConnectionRegistry::IdleClose::Keep
                                    : ConnectionRegistry::IdleClose::CutUnlessSent))
      return finalClose();
    // An idle connection holds no buffer while it waits.
    in_.releaseInputIfEmpty();
    if (!kTls && in_.holdsInput()) {
      // The rest of a head begun: read into its buffer once the socket has more.
      lowest().async_wait(tcp::socket::wait_read, [self = this->shared_from_this()](const error_code& e) {
        if (e) return self->finalClose();
        self->readMoreHead();
      });
    } else {
      if (kTls && in_.holdsInput()) return readMoreHead();
      // A new head's first bytes are read into a few of our own: a read
      // (tried at once, then again when bytes come) leaves the socket's
      // registration in epoll as it is, where each wait for readiness
      // re-arms it with a system call of its own; and with TLS the socket's
      // readiness says nothing of bytes the TLS layer holds.
      stream_.async_read_some(asio::buffer(firstBytes_), [self = this->shared_from_this()](const error_code& e,
                                                                                           std::size_t bytes) {
        // Bytes read as idle connections close for a stop are a request its
        // client sent before it could see the close: it is served all the same.
        if (!self->entry_.disarm() && !(bytes > 0 && self->shared_.registry.closingIdle() &&
                                        !self->shared_.registry.stopping()))
          return self->headTimedOut();
        if (e || bytes == 0) return self->finalClose();
        self->in_.received(self->firstBytes_.data(), bytes);
        self->readHead();
      });
    }
  }

  void readMoreHead() {
    std::pair<char*, std::size_t> space;
    try {
      space = in_.inputSpace();
    } catch (const HttpError& e) {
      entry_.disarm();
      return answer(nullptr, e.status(), e.what(), {}, false);
    }
    if constexpr (!kTls) {
      // Read here, on the thread the wait woke: no second trip through the scheduler.
      const long got = receiveNow(space.first, space.second);
      if (got < 0) return readHead();  // woken with nothing to read: wait again
      return headBytes(got);
    } else {
      stream_.async_read_some(asio::buffer(space.first, space.second),
                              [self = this->shared_from_this()](const error_code& e, std::size_t bytes) {
                                self->headBytes(e ? 0 : static_cast<long>(bytes));
                              });
    }
  }

  // `got` bytes of the head arrived; 0: the peer ended, or the wait was cut.
  void headBytes(long got) {
    if (!entry_.disarm()) return headTimedOut();
    if (got == 0) return finalClose();
    in_.received(static_cast<std::size_t>(got));
    readHead();
  }

  // Plain TCP: what has arrived, read without waiting; 0 at the peer's end
  // (or a failure), -1 when nothing has.
  long receiveNow(char* data, std::size_t size) {
    while (true) {
      const ssize_t got = ::recv(lowest().native_handle(), data, size, MSG_DONTWAIT);
      if (got >= 0) return static_cast<long>(got);
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : 0;
    }
  }

  void headTimedOut() {
    if (!in_.headBegun()) return finalClose();  // an idle connection ends quietly
    answer(nullptr, 408, "the request head did not arrive in time", {}, false);
  }

  void onHead() {
    headClockRunning_ = false;
    // A small body is read here too, so that a slow one holds no pool thread.
    if (in_.bodyFitsInBuffer() && !in_.head().expectContinue) return readBodyAhead();
    run();
  }

  void readBodyAhead() {
    if (in_.bodyHeld()) return run();
    if (!entry_.arm(in_.nextBodyByteDeadline(), false)) return finalClose();
    const auto space = in_.inputSpace();  // a body that fits leaves room
    if constexpr (!kTls) {
      const long got = receiveNow(space.first, space.second);
      if (got >= 0) return bodyBytes(got);
      lowest().async_wait(tcp::socket::wait_read, [self = this->shared_from_this()](const error_code& e) {
        if (e) return self->finalClose();
        if (!self->entry_.disarm()) return self->bodyTimedOut();  // before arm() would hide the cut
        self->readBodyAhead();
      });
    } else {
      stream_.async_read_some(asio::buffer(space.first, space.second),
                              [self = this->shared_from_this()](const error_code& e, std::size_t bytes) {
                                self->bodyBytes(e ? 0 : static_cast<long>(bytes));
                              });
    }
  }

  // `got` bytes of the body arrived; 0: the peer ended, or the wait was cut.
  void bodyBytes(long got) {
    if (!entry_.disarm()) return bodyTimedOut();
    if (got == 0) return run();  // the request finds the body cut short
    in_.received(static_cast<std::size_t>(got));
    readBodyAhead();
  }

  void bodyTimedOut() {
    in_.abandonBody();  // too slow to be waited for again
    answer(&in_.head(), 408, "the request body did not arrive in time", {}, false);
  }

  void run() {
    if (in_.bodyHeld() && isHostAnswer(in_.head(), shared_.routes)) return answerAtOnce();
    // A body still to come is waited for outside any slot.
    ownWait_ = !in_.bodyHeld() && shared_.slots.ownsWaits();
    // A request admitted later runs on its own loop, whoever frees the slot.
    const auto later = [self = this->shared_from_this()](bool admitted) {
      asio::post(self->stream_.get_executor(), [self, admitted] {
        if (admitted) return self->runInSlot();
        self->overloaded();
      });
    };
    switch (shared_.slots.admit(later, ownWait_)) {
      case RequestSlots::Admission::Run: return runInSlot();
      case RequestSlots::Admission::Waiting: return;
      case RequestSlots::Admission::Refused: return overloaded();
    }
  }

  void runInSlot() {
    bool keepOpen = false;
    watch_.reset();
    try {
      // A TLS channel waits for the loop's handlers: another thread must run them.
      const EventLoop::Call call(loop_, kTls, *channel_);
      SlotWhileWaiting waits(shared_.slots, ownWait_);
      channel_->observeWaits(&waits);
      struct Unobserve {
        Channel& channel;
        ~Unobserve() { channel.observeWaits(nullptr); }
      } unobserve{*channel_};
      keepOpen = serveRequest(in_, *channel_, shared_.routes, peer_,
                              served_ + 1 == settings_.maxRequestsPerConnection, &watch_);
      // An answer cut short still delivers what it wrote.
      if (!keepOpen && !watch_.givenUp()) channel_->writeAll(nullptr, 0, settings_.transferGrace);
    } catch (const std::exception& e) {
      Annal::Logger(Annal::XS) << "host: request ended: " << e.what();
    }
    if (watch_.givenUp()) {
      // The bridge returned at last: its call was answered in its stead, its
      // slot and client wait handed on, and the connection is no longer this
      // thread's.
      if (shared_.stuck) shared_.stuck->returned();
      return;
    }
    if (RequestSlots::Job next = shared_.slots.release(ownWait_)) next(true);
    ++served_;
    if (channel_->answerEndsWithConnection()) return reset();
    if (!keepOpen) return close();
    if (!in_.holdsInput()) return awaitHead();
    // A request already held is taken up on a fresh stack.
    asio::post(stream_.get_executor(), [self = this->shared_from_this()] { self->awaitHead(); });
  }

  // The call was given up while its thread runs the bridge (stuck_calls.h):
  // answered here on the loop, the thread never touching the connection again.
  void answerGivenUp(bool answerBegun) override {
    // The thread the bridge holds never waits on the client again: a client
    // wait of its own goes back now, as its slot does, so that neither later
    // calls nor a stop wait for the bridge to return.
    if (ownWait_)
      if (RequestSlots::Job next = shared_.slots.releaseOwnWait()) next(true);
    asio::post(stream_.get_executor(), [self = this->shared_from_this(), answerBegun] {
      if (!answerBegun)
        return self->answer(&self->in_.head(), 504, "the bridge gave no answer within the call time limit", {},
                            false);
      // What went out cannot be completed: the client sees the answer cut.
      // The socket stays open while the bridge's thread holds its channel.
      ::shutdown(self->lowest().native_handle(), SHUT_RDWR);
      self->shared_.registry.remove(self->entry_);
    });
  }

  // The host's own answer, made here without a slot (it waits for nothing), then sent.
  void answerAtOnce() {
    TextCollector collector;
    bool keepOpen = false;
    try {
      keepOpen = serveRequest(in_, collector, shared_.routes, peer_,
                              served_ + 1 == settings_.maxRequestsPerConnection);
    } catch (const std::exception& e) {
      Annal::Logger(Annal::XS) << "host: request ended: " << e.what();
    }
    ++served_;
    send(std::move(collector.bytes), keepOpen);
  }


  // No slot for the request: every one is taken and so is the line, or the host is stopping.
  void overloaded() {
    ++served_;
    if (shared_.routes.stopping())
      return answer(&in_.head(), 503, "the host is stopping; try another or again shortly", retryAfter(settings_),
                    false);
    const bool bodyDropped = in_.bodyHeld() && in_.drainBody(settings_.drainLimit);
    answer(&in_.head(), 503, "the host is busy; try again shortly", retryAfter(settings_), bodyDropped);
  }

  // Sends the host's own answer, then serves on or closes.
  void answer(const RequestHead* head, unsigned status, const std::string& message,
              const std::vector<std::pair<std::string, std::string>>& headers, bool keepOpen) {
    auto bytes = hostAnswer(settings_, head, status, message, headers, keepOpen);
    send(std::move(bytes.first), bytes.second);
  }

  // Writes the host's own answer, then serves on or closes.
  void send(std::string bytes, bool keepOpen) {
    answer_ = std::move(bytes);
    if (!entry_.arm(refusalDeadline_.value_or(Clock::now() + settings_.transferGrace), true)) return finalClose();
    asio::async_write(stream_, asio::buffer(answer_),
                      [self = this->shared_from_this(), keepOpen](const error_code& e, std::size_t) {
                        if (!self->entry_.disarm() || e) return self->finalClose();
                        if (!keepOpen) return self->close();
                        self->awaitHead();
                      });
  }

  // Ends the connection politely: the rest of a body the answer left unread,
  // then TLS close, then the TCP send side, then a short linger, which gives
  // way as an idle connection does.
  void close() {
    if (in_.bodyUnfinished()) return discardBody();
    if (!entry_.arm(Clock::now() + kLinger, true, true)) return finalClose();
    if constexpr (kTls) {
      stream_.async_shutdown([self = this->shared_from_this()](const error_code&) { self->linger(); });
    } else {
      linger();
    }
  }

  void linger() {
    error_code ignored;
    lowest().shutdown(tcp::socket::shutdown_send, ignored);
    lingerBuffer_.reset(new char[kLingerChunk]);
    dropUntilEnd(0);
  }

  void dropUntilEnd(std::size_t dropped) {
    lowest().async_read_some(asio::buffer(lingerBuffer_.get(), kLingerChunk),
                             [self = this->shared_from_this(), dropped](const error_code& e, std::size_t bytes) {
                               if (e || bytes == 0 || dropped + bytes > kLingerBytes) return self->finalClose();
                               self->dropUntilEnd(dropped + bytes);
                             });
  }

  // Reads and drops the rest of the body, so that the client, or a proxy
  // still passing it on, gets the answer and a clean end rather than a
  // reset that would cost it the answer (a proxy would count a failure of
  // the host): up to the body's end (a chunked one's is not looked for:
  // until the client ends), for at most the transfer grace, on no thread
  // and with no input buffer. It gives way as an idle connection does.
  void discardBody() {
    discardLeft_ = in_.abandonBody();
    discardDeadline_ = Clock::now() + settings_.transferGrace;
    if constexpr (kTls) lingerBuffer_.reset(new char[kLingerChunk]);
    discardMore();
  }

  void discardMore() {
    if (discardLeft_ && *discardLeft_ == 0) return close();
    // No request is under way: a stopping host need not wait for this.
    if (!entry_.arm(discardDeadline_, true, true, ConnectionRegistry::IdleClose::Cut)) return finalClose();
    if constexpr (!kTls) {
      lowest().async_wait(tcp::socket::wait_read, [self = this->shared_from_this()](const error_code& e) {
        if (!self->entry_.disarm() || e) return self->finalClose();
        // Read here, into the thread's own scratch: nothing is held between
        // reads. Made on the thread's first drop: an array in thread storage
        // would be zeroed, and so take memory, in every thread the host starts.
        thread_local std::unique_ptr<char[]> scratch;
        if (!scratch) scratch.reset(new char[kDiscardChunk]);
        const long got = self->receiveNow(scratch.get(), self->discardRoom(kDiscardChunk));
        if (got == 0) return self->finalClose();  // the peer ended (or the connection failed)
        if (got > 0) self->dropped(static_cast<std::size_t>(got));
        self->discardMore();
      });
    } else {
      stream_.async_read_some(asio::buffer(lingerBuffer_.get(), discardRoom(kLingerChunk)),
                              [self = this->shared_from_this()](const error_code& e, std::size_t bytes) {
                                if (!self->entry_.disarm() || e || bytes == 0) return self->finalClose();
                                self->dropped(bytes);
                                self->discardMore();
                              });
    }
  }

  std::size_t discardRoom(std::size_t room) const {
    return discardLeft_ ? static_cast<std::size_t>(std::min<std::uint64_t>(room, *discardLeft_)) : room;
  }
  void dropped(std::size_t bytes) {
    if (discardLeft_) *discardLeft_ -= bytes;
  }

  // Ends the connection with a reset: its answer was cut short where only
  // the connection's end would have marked the end of its body.
  void reset() {
    error_code ignored;
    lowest().set_option(tcp::socket::linger(true, 0), ignored);
    finalClose();
  }

  void finalClose() {
    entry_.disarm();
    shared_.registry.remove(entry_);
    error_code ignored;
    lowest().close(ignored);
  }

  Stream stream_;
  EventLoop& loop_;
  ConnectionShared& shared_;
  const HostSettings& settings_;
  ConnectionRegistry::Entry entry_;
  std::unique_ptr<Channel> channel_;
  RequestStream in_;
  const boost::asio::ip::address peer_;
  CallWatch watch_;  // of the request running, if any
  std::string answer_;  // the host's own answer while it goes out
  std::unique_ptr<char[]> lingerBuffer_;  // also what a TLS connection reads a dropped body into
  std::optional<std::uint64_t> discardLeft_;  // of a body being dropped; nothing: until the client ends
  Clock::time_point discardDeadline_;
  // A head's first bytes, while the connection holds no input buffer: room
  // for a whole small call's head and arguments.
  std::array<char, 512> firstBytes_;
  std::optional<Clock::time_point> refusalDeadline_;  // set while refusing a TLS client
  Clock::time_point headDeadline_;
  Clock::time_point idleDeadline_;  // of the wait for the next request's first byte
  bool headClockRunning_ = false;
  bool ownWait_ = false;  // the running request holds a client wait of its own
  unsigned served_ = 0;
};

template <typename Stream>
void startOn(tcp::socket socket, EventLoop& loop, ConnectionShared& shared) {
  error_code unknown;
  const auto peer = socket.remote_endpoint(unknown).address();
  auto connection = std::make_shared<Connection<Stream>>(std::move(socket), loop, shared, peer);
  if (shared.registry.add(connection->entry())) return connection->start();
  if constexpr (std::is_same_v<Stream, TlsStream>) {
    if (shared.registry.addRefusal(connection->entry())) return connection->refuseAfterHandshake();
  }
  connection->refuseAtOnce();
}

}  // namespace

void startConnection(tcp::socket socket, EventLoop& loop, ConnectionShared& shared) {
  if (shared.tls) return startOn<TlsStream>(std::move(socket), loop, shared);
  return startOn<tcp::socket>(std::move(socket), loop, shared);
}

}  // namespace DRAVHost
