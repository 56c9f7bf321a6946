// dravbridge on SIGTERM: it stops accepting, lets the running call and those
// waiting for a slot finish within its grace, then exits 0, at once when
// nothing runs whatever idle connections it holds; on SIGHUP it reopens its
// access log, during the stop too, and a further SIGTERM hurries the stop
// on. And the event loops it serves with.
#ifdef DRAVBRIDGE_PROGRAM

#include "host_test_support.h"
#include "program_runner.h"
#include "support/tls_test_certificate.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;

// The port a started dravbridge listens on; 0 when it did not start.
unsigned short portOf(e2e::BackgroundProgram& bridge) {
  const std::string port = bridge.waitForLine("dravbridge: listening on port ");
  return port.empty() ? 0 : static_cast<unsigned short>(std::stoi(port));
}

#ifdef DRAV_TEST_PLUGINS
const std::string kTypedPlugin = std::string(DRAV_TEST_PLUGINS) + "/libtyped.so";

// A call of the typed test bridge's method "sleep", which takes `ms` milliseconds.
std::string sleepCall(int ms) {
  DRAVArgs args;
  args.addArg(ms);
  return callRequest("sleep", encodeArgs(args), 0, std::string(), "/bridges/typed", "typed");
}

// Calls the host had taken when SIGTERM came, two running and six waiting
// for one of the two slots, all run within the grace: none is turned away.
TEST(DravbridgeStop, CallsWaitingForASlotWhenTheStopComesRunWithinTheGrace) {
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM,
                                {"--port", "0", "--max-calls", "2", "--stop-grace", "15s", "--bridge", kTypedPlugin});
  const unsigned short port = portOf(bridge);
  ASSERT_NE(0, port);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 8; ++i) {
    clients.push_back(std::make_unique<RawClient>(port));
    clients.back()->send(sleepCall(1500));
  }
  std::this_thread::sleep_for(300ms);  // every head has arrived
  e2e::ProgramResult stopped;
  std::thread stopper([&] { stopped = bridge.stop(20s); });
  std::vector<int> statuses;
  for (auto& client : clients) {
    const HttpReply reply = client->readReply(12s);
    statuses.push_back(reply.status);
    if (reply.status == 200) {
      EXPECT_EQ(1500, decodeListAnswer(reply.body).results.getInt(0));
    }
  }
  stopper.join();
  EXPECT_EQ(std::vector<int>(8, 200), statuses);
  EXPECT_EQ(0, stopped.exitCode);
  EXPECT_NE(std::string::npos, stopped.out.find("dravbridge: stopped after 8 requests on 8 connections")) << stopped.out;
}
#endif

// A TLS connection that completes its handshake and then sends nothing.
class SilentTlsClient {
public:
  explicit SilentTlsClient(unsigned short port) : context_(SSL_CTX_new(TLS_client_method())), socket_(port) {
    tls_ = SSL_new(context_);
    SSL_set_fd(tls_, socket_.fd());
    handshakeDone_ = SSL_connect(tls_) == 1;
  }
  ~SilentTlsClient() {
    SSL_free(tls_);
    SSL_CTX_free(context_);
  }
  SilentTlsClient(const SilentTlsClient&) = delete;
  SilentTlsClient& operator=(const SilentTlsClient&) = delete;
  bool handshakeDone() const { return handshakeDone_; }

private:
  // A blocking TCP connection to 127.0.0.1 with a receive time-out, so that
  // the handshake cannot hang the test.
  struct Socket {
    explicit Socket(unsigned short port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
      const timeval limit{5, 0};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(port);
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~Socket() { ::close(fd_); }
    int fd() const { return fd_; }
    int fd_;
  };
  SSL_CTX* context_;
  Socket socket_;
  SSL* tls_ = nullptr;
  bool handshakeDone_ = false;
};

// With nothing running a stopping host ends at once: a connection that never
// sent a byte (or, over TLS, its hello), one that did its handshake and no
// more, and an idle kept-alive one hold it neither for the head time-out
// nor for the idle one.
TEST(DravbridgeStop, IdleConnectionsDoNotHoldAStopWithNothingRunning) {
  drav_test::TestCertificate certificate;
  for (const bool tls : {false, true}) {
    std::vector<std::string> options = {"--port", "0", "--timeout", "10s", "--stop-grace", "10s"};
    if (tls) options.insert(options.end(), {"--cert", certificate.certFile(), "--key", certificate.keyFile()});
    e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, options);
    const unsigned short port = portOf(bridge);
    ASSERT_NE(0, port);
    RawClient silent(port);
    std::unique_ptr<SilentTlsClient> handshakeOnly;
    CurlClient keptAlive;
    if (tls) {
      handshakeOnly = std::make_unique<SilentTlsClient>(port);
      ASSERT_TRUE(handshakeOnly->handshakeDone());
      keptAlive.trust(certificate.certFile());
    }
    ASSERT_EQ(200, keptAlive.get((tls ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port) +
                                 "/healthz")
                       .status);
    std::this_thread::sleep_for(100ms);
    const auto stopping = Clock::now();
    const e2e::ProgramResult stopped = bridge.stop(15s);
    const auto took = Clock::now() - stopping;
    EXPECT_EQ(0, stopped.exitCode) << (tls ? "TLS" : "plain");
    EXPECT_LT(took, 500ms) << (tls ? "TLS: " : "plain: ")
                           << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  }
}

#ifdef DRAV_TEST_PLUGINS
// Signals during the stop are handled as before it: SIGHUP in the drain
// reopens the access log, and a second SIGTERM is logged and ends the drain
// at once, the listener closing with it.
TEST(DravbridgeSignals, SighupReopensAndASecondSigtermEndsTheDrain) {
  const std::string log = "/tmp/drav_drain_" + std::to_string(getpid()) + ".log";
  std::remove(log.c_str());
  std::remove((log + ".1").c_str());
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM,
                                {"--port", "0", "--access-log", log, "--drain", "30s", "--stop-grace", "5s"});
  const unsigned short port = portOf(bridge);
  ASSERT_NE(0, port);
  const auto healthz = [port] {
    RawClient client(port);
    client.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    return client.readReply().status;
  };
  ASSERT_EQ(0, kill(bridge.pid(), SIGTERM));
  EXPECT_EQ("stopping after draining for 30 s; running calls get 5 s", bridge.waitForLine("dravbridge: SIGTERM: "));
  int draining = 0;  // served, and telling balancers
  for (int i = 0; i < 100 && draining != 503; ++i) draining = healthz();
  EXPECT_EQ(503, draining);
  ASSERT_EQ(0, std::rename(log.c_str(), (log + ".1").c_str()));
  ASSERT_EQ(0, kill(bridge.pid(), SIGHUP));
  EXPECT_EQ(log, bridge.waitForLine("dravbridge: SIGHUP: reopened the access log ", 2s));
  EXPECT_EQ(503, healthz());

  const auto second = Clock::now();
  ASSERT_EQ(0, kill(bridge.pid(), SIGTERM));
  EXPECT_EQ("ending the drain now", bridge.waitForLine("dravbridge: SIGTERM again: ", 2s));
  bool refused = false;
  for (int i = 0; i < 100 && !refused && Clock::now() - second < 2s; ++i) {
    try {
      RawClient late(port);
      std::this_thread::sleep_for(10ms);
    } catch (const std::runtime_error&) {
      refused = true;
    }
  }
  EXPECT_TRUE(refused) << "still listening after the second SIGTERM";
  EXPECT_LT(Clock::now() - second, 1s);
  const e2e::ProgramResult stopped = bridge.stop(5s);
  EXPECT_EQ(0, stopped.exitCode);
  std::ifstream before(log + ".1"), after(log);
  const std::string rotated((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());
  const std::string fresh((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>());
  std::remove(log.c_str());
  std::remove((log + ".1").c_str());
  EXPECT_NE(std::string::npos, rotated.find("\"/healthz\" - 503")) << rotated;
  EXPECT_EQ(1, std::count(fresh.begin(), fresh.end(), '\n')) << fresh;
}

// A SIGTERM during the grace ends it at once: the call still running is cut,
// named, and the program exits 1 without waiting out the grace.
TEST(DravbridgeSignals, ASigtermDuringTheGraceEndsIt) {
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, {"--port", "0", "--stop-grace", "60s", "--bridge", kTypedPlugin});
  const unsigned short port = portOf(bridge);
  ASSERT_NE(0, port);
  RawClient running(port);
  running.send(sleepCall(8000));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(0, kill(bridge.pid(), SIGTERM));
  EXPECT_EQ("stopping; running calls get 60 s", bridge.waitForLine("dravbridge: SIGTERM: "));
  bool closed = false;  // the grace has begun once the listener is closed
  for (int i = 0; i < 100 && !closed; ++i) {
    try {
      RawClient late(port);
      std::this_thread::sleep_for(10ms);
    } catch (const std::runtime_error&) {
      closed = true;
    }
  }
  ASSERT_TRUE(closed);
  const auto second = Clock::now();
  ASSERT_EQ(0, kill(bridge.pid(), SIGTERM));
  EXPECT_EQ("ending the stop grace now", bridge.waitForLine("dravbridge: SIGTERM again: ", 2s));
  EXPECT_TRUE(running.closedByPeer(2s));
  const e2e::ProgramResult stopped = bridge.stop(10s);
  EXPECT_LT(Clock::now() - second, 5s);
  EXPECT_EQ(1, stopped.exitCode);
  EXPECT_NE(std::string::npos, stopped.out.find("\"/bridges/typed\" \"sleep\" from 127.0.0.1")) << stopped.out;
}
#endif

TEST(DravbridgeStop, SigtermLetsARunningCallFinishThenExitsZero) {
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, {"--port", "0", "--stop-grace", "5s"});
  const std::string port = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_FALSE(port.empty());
  const auto portNumber = static_cast<unsigned short>(std::stoi(port));
  // The bridge reads the extra blob as it comes: the call runs while half of it is missing.
  const std::string blob(300000, 'q');
  const std::string call = callRequest("checksumExtraBlob", encodeArgs(DRAVArgs()), blob.size()) + blob;
  const std::size_t half = call.size() - blob.size() / 2;
  RawClient client(portNumber);
  client.send(call.substr(0, half));
  std::this_thread::sleep_for(300ms);

  e2e::ProgramResult stopped;
  std::thread stopper([&] { stopped = bridge.stop(10s); });
  std::this_thread::sleep_for(300ms);
  EXPECT_THROW(RawClient late(portNumber), std::runtime_error) << "no new connection once stopping";
  client.send(call.substr(half));
  const HttpReply reply = client.readReply(5s);
  stopper.join();

  ASSERT_EQ(200, reply.status);
  const BridgeAnswer answer = decodeListAnswer(reply.body);
  EXPECT_EQ(0, answer.code);
  EXPECT_EQ(300000ul, answer.results.getULong(0));
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(blob.data()), static_cast<uInt>(blob.size())),
            answer.results.getULong(1));
  EXPECT_EQ(0, stopped.exitCode);
  EXPECT_NE(std::string::npos, stopped.out.find("dravbridge: stopped after 1 requests on 1 connections"))
      << stopped.out;
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// logrotate moves the log away and sends SIGHUP: the host writes on in a new
// file, and the call running meanwhile neither ends nor notices.
TEST(DravbridgeSignals, SighupReopensTheAccessLogAndLeavesARunningCallAlone) {
  const std::string log = "/tmp/drav_sighup_" + std::to_string(getpid()) + ".log";
  std::remove(log.c_str());
  std::remove((log + ".1").c_str());
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, {"--port", "0", "--access-log", log, "--stop-grace", "5s"});
  const std::string port = bridge.waitForLine("dravbridge: listening on port ");
  ASSERT_FALSE(port.empty());
  const auto portNumber = static_cast<unsigned short>(std::stoi(port));
  const std::string echo = callRequest("echo", encodeArgs(DRAVArgs()));
  RawClient first(portNumber);
  first.send(echo);
  ASSERT_EQ(200, first.readReply().status);

  const std::string blob(300000, 'q');
  const std::string call = callRequest("checksumExtraBlob", encodeArgs(DRAVArgs()), blob.size()) + blob;
  const std::size_t half = call.size() - blob.size() / 2;
  RawClient running(portNumber);
  running.send(call.substr(0, half));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(0, std::rename(log.c_str(), (log + ".1").c_str()));
  ASSERT_EQ(0, kill(bridge.pid(), SIGHUP));
  EXPECT_EQ(log, bridge.waitForLine("dravbridge: SIGHUP: reopened the access log "));
  running.send(call.substr(half));
  EXPECT_EQ(200, running.readReply().status);
  first.send(echo);
  EXPECT_EQ(200, first.readReply().status);

  const e2e::ProgramResult stopped = bridge.stop();
  EXPECT_EQ(0, stopped.exitCode) << stopped.err;
  EXPECT_NE(std::string::npos, stopped.out.find("dravbridge: SIGTERM: stopping; running calls get 5 s\n"))
      << stopped.out;
  const std::string before = fileText(log + ".1"), after = fileText(log);
  std::remove(log.c_str());
  std::remove((log + ".1").c_str());
  EXPECT_EQ(1, std::count(before.begin(), before.end(), '\n')) << before;
  EXPECT_NE(std::string::npos, before.find("\"echo\" 200")) << before;
  EXPECT_EQ(2, std::count(after.begin(), after.end(), '\n')) << after;
  EXPECT_NE(std::string::npos, after.find("\"checksumExtraBlob\" 200")) << after;
}

// The event loops dravbridge says it serves with.
std::string loopsServing(const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"--port", "0"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  e2e::BackgroundProgram bridge(DRAVBRIDGE_PROGRAM, arguments);
  const std::string loops = bridge.waitForLine("dravbridge: serving with ");
  return loops.substr(0, loops.find(','));
}

TEST(DravbridgeLoops, OnePerProcessorButOneUnlessTold) {
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  const unsigned expected = std::max(1u, processors - 1);
  EXPECT_EQ(std::to_string(expected) + (expected == 1 ? " event loop" : " event loops"), loopsServing({}));
  EXPECT_EQ("3 event loops", loopsServing({"--event-loops", "3"}));
  // Never more loops than calls may run: each loop's thread runs calls.
  EXPECT_EQ("2 event loops", loopsServing({"--event-loops", "5", "--max-calls", "2"}));
}

}  // namespace
}  // namespace hosttest

#endif
