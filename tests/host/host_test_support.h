// Helpers of the host suite: a channel over bytes in memory, a raw HTTP
// client over a socket, a libcurl client, a running host with the sample
// bridge, and the sample bridge's answers decoded here, independently of
// the tools, so that the tests check the host rather than repeat it.
#pragma once

#include <drav/host/bridge_host.h>
#include "host/server/buffer_pool.h"
#include "host/server/channel.h"
#include "host/server/request_stream.h"
#include "host/bridges/sample_bridge.h"

#include <drav/serialization/argument_list.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace hosttest {

using namespace std::chrono_literals;

constexpr const char* kSamplePath = "/bridges/sample";

// A Channel over bytes in memory: reads hand out the queued input in pieces
// of at most `pieceSize`; once it is used up a read ends the input (0) or,
// with endAfterInput false, times out. Writes are recorded.
class MemoryChannel : public DRAVHost::Channel {
public:
  explicit MemoryChannel(std::string input = std::string(),
                         std::size_t pieceSize = std::numeric_limits<std::size_t>::max())
      : input_(std::move(input)), pieceSize_(pieceSize) {}

  bool endAfterInput = true;
  bool failWrites = false;

  void append(const std::string& bytes) { input_ += bytes; }
  const std::string& written() const { return written_; }
  std::size_t delivered() const { return delivered_; }  // input bytes read so far
  std::size_t writeCalls() const { return writeCalls_; }

  std::size_t readSome(void* data, std::size_t size, std::chrono::milliseconds timeout) override;
  void writeAll(const DRAVHost::ConstPiece* pieces, std::size_t count, std::chrono::milliseconds) override;

private:
  std::string input_;
  std::size_t pieceSize_;
  std::size_t delivered_ = 0;
  std::string written_;
  std::size_t writeCalls_ = 0;
};

// Input buffers as the host's, for streams over a MemoryChannel.
DRAVHost::BufferPool& testBuffers();
// Reads the next head from the stream's channel as the host does; false when
// the input ends or stays silent before a head begins.
bool readHead(DRAVHost::RequestStream& in);

struct HttpReply {
  int status = 0;                   // 0: no answer arrived
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool chunked = false;
  std::vector<std::size_t> chunkSizes;  // of a chunked body, in order

  // The first value of the header (any case); empty when absent.
  std::string header(const std::string& name) const;
};

// Parses one complete response at the start of `bytes`; `used` gets its length.
// status 0 when `bytes` holds no complete response.
HttpReply parseReply(const std::string& bytes, std::size_t& used, bool toEnd = false);

// A plain TCP connection to 127.0.0.1 from the loopback address `from`
// (another one stands for another client); every wait is bounded.
class RawClient {
public:
  // `receiveBuffer` > 0: the socket's receive buffer, for a client that reads slowly.
  explicit RawClient(unsigned short port, const char* from = "127.0.0.1", int receiveBuffer = 0);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // Throws std::runtime_error when the bytes cannot be sent.
  void send(const std::string& bytes);
  // Sends as much as the host takes within `timeout`; the count sent.
  std::size_t sendWhileAccepted(const std::string& bytes, std::chrono::milliseconds timeout);
  void shutdownSend();
  // The next response (a body without length runs to the connection's end).
  HttpReply readReply(std::chrono::milliseconds timeout = 5s);
  // True when the next bytes from the host are `text` (which are then used up).
  bool receive(const std::string& text, std::chrono::milliseconds timeout);
  // Every byte that arrives until the host sends nothing for `quiet`.
  std::string readUntilQuiet(std::chrono::milliseconds quiet);
  // True when the host ends the connection within `timeout` (bytes that
  // arrive first are dropped).
  bool closedByPeer(std::chrono::milliseconds timeout);
  // True when the host resets the connection within `timeout` (bytes that
  // arrive first are dropped); false at an orderly end.
  bool resetByPeer(std::chrono::milliseconds timeout);

private:
  enum class PeerEnd { None, Orderly, Reset, Failed };
  // How the host ends the connection within `timeout`, dropping what arrives first.
  PeerEnd awaitEnd(std::chrono::milliseconds timeout);

  int fd_ = -1;
  std::string pending_;
};

// A bridge call as raw request text: request line, call headers, body.
std::string callRequest(const std::string& method, const std::string& args, std::uint32_t blobSize = 0,
                        const std::string& extraHeaders = std::string(), const std::string& path = kSamplePath,
                        const std::string& bridgeName = "sample");

// libcurl, one handle reused across requests (so connections are kept alive).
class CurlClient {
public:
  CurlClient();
  ~CurlClient();
  CurlClient(const CurlClient&) = delete;
  CurlClient& operator=(const CurlClient&) = delete;

  void setBasic(const std::string& user, const std::string& password);
  void trust(const std::string& certFile);  // for HTTPS: the host's own certificate
  HttpReply post(const std::string& url, const std::vector<std::string>& headers, const std::string& body);
  HttpReply get(const std::string& url, const std::vector<std::string>& headers = {});
  // New connections the last request opened (0 when it reused one).
  long lastConnects() const { return connects_; }

private:
  HttpReply perform(const std::string& url, const std::vector<std::string>& headers);

  void* curl_;
  long connects_ = 0;
};

// The call headers for a body of `argsSize` bytes, as libcurl takes them.
std::vector<std::string> callHeaders(const std::string& method, std::size_t argsSize, std::uint32_t blobSize = 0,
                                     const char* streamingMode = nullptr);

std::string encodeArgs(const DRAVArgs& args);

// An answer of the sample bridge, decoded independently of the tools.
struct BridgeAnswer {
  DRAVArgs results;                // the list form
  std::uint32_t streamedSize = 0;  // the streamed form: the declared size ...
  std::string streamed;            // ... and the value's bytes
  std::string text1, text2, message;
  long code = -1;
};
BridgeAnswer decodeListAnswer(const std::string& body);
BridgeAnswer decodeStreamedAnswer(const std::string& body);

// The resident memory of this process, in KiB.
long residentKiB();

// Short waits, so that failures show quickly.
DRAVHost::HostSettings testSettings();
// testSettings() with the logon route at /logon for sam and pw, its session
// required for bridge calls.
DRAVHost::HostSettings ssoTestSettings();
// An Authorization header line (with its CR LF) carrying Basic credentials.
std::string basicAuthorization(const std::string& user, const std::string& password);

// Holds every call until released, so that a test can fill the host.
class HoldingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch*) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++held_;
    changed_.notify_all();
    changed_.wait_for(lock, 10s, [this] { return released_; });
  }
  bool waitForHeld(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 5s, [&] { return held_ >= count; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Calls served so far, held or not.
  int served() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int held_ = 0;
  bool released_ = false;
};

// A started host serving the sample bridge at kSamplePath, named "sample".
class SampleHost {
public:
  explicit SampleHost(DRAVHost::HostSettings settings = testSettings(),
                      DRAVHost::SampleBridgeLimits limits = DRAVHost::SampleBridgeLimits());
  DRAVHost::BridgeHost& host() { return host_; }
  unsigned short port() const { return host_.port(); }
  std::string url(const std::string& path = kSamplePath) const { return host_.url(path); }

private:
  DRAVHost::BridgeHost host_;
};

// A normal call on a connection of its own: true when it is answered in full.
bool normalCallServed(const SampleHost& host);

}  // namespace hosttest
