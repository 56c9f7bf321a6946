// dravcall through nginx with the site the package ships: calls pass intact
// over one kept-alive connection to the host, the body limit is the host's,
// the host learns who called, and 256 MiB go each way without nginx or the
// host holding them (their peak memory is read and printed). Needs nginx
// (Debian nginx-light); ctest runs it as the entry e2e_nginx
// (DRAV_E2E_NGINX=1), the default entry skips it.
#ifdef DRAV_NGINX_SITE

#include "host_test_support.h"
#include "nginx_site.h"
#include "pattern_files.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

namespace e2e {
namespace {

using hosttest::HttpReply;
using hosttest::kSamplePath;
using hosttest::RawClient;

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint64_t kTransfer = 256 * kMiB;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The DRAVArgs-Size the call's header block carried, from the progress trace.
unsigned long postedArgsSize(const std::string& trace) {
  const std::size_t at = trace.find("DRAVArgs-Size: ");
  return at == std::string::npos ? 0 : std::stoul(trace.substr(at + 15));
}

class Nginx : public ::testing::Test {
protected:
  void SetUp() override {
    if (!std::getenv("DRAV_E2E_NGINX")) GTEST_SKIP() << "run by the ctest entry e2e_nginx (DRAV_E2E_NGINX=1)";
    program_ = NginxSite::program();
    if (program_.empty()) GTEST_SKIP() << "nginx is not installed (Debian nginx-light)";
    char folder[] = "/tmp/drav-e2e-nginx-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(folder));
    folder_ = folder;
  }
  void TearDown() override {
    nginx_.reset();
    host_.reset();
    if (!folder_.empty()) std::system(("rm -rf '" + folder_ + "'").c_str());
  }

  // `program` (dravbridge) on a free port with `options`, and nginx in front of it.
  void startHostBehindNginx(const std::string& program = DRAVBRIDGE_PROGRAM, std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"--port", "0"});
    host_ = std::make_unique<BackgroundProgram>(program, options);
    const std::string port = host_->waitForLine("dravbridge: listening on port ");
    ASSERT_FALSE(port.empty()) << "dravbridge did not start";
    startNginx(static_cast<unsigned short>(std::stoul(port)));
  }
  void startNginx(unsigned short upstreamPort) {
    ASSERT_NO_THROW(nginx_ = std::make_unique<NginxSite>(program_, DRAV_NGINX_SITE, upstreamPort));
  }
  // dravcall with `options`, to the sample bridge through nginx, then `call`
  // (the method and its values).
  ProgramResult dravcall(std::vector<std::string> options, const std::vector<std::string>& call) {
    options.push_back(nginx_->url(kSamplePath));
    options.push_back("sample");
    options.insert(options.end(), call.begin(), call.end());
    return runProgram(DRAVCALL_PROGRAM, options, 120s);
  }
  std::string file(const std::string& name) const { return folder_ + "/" + name; }

  std::string program_;
  std::string folder_;
  std::unique_ptr<BackgroundProgram> host_;
  std::unique_ptr<NginxSite> nginx_;
};

TEST_F(Nginx, CallsPassIntactOverOneKeptAliveConnectionToTheHost) {
  startHostBehindNginx();
  const ProgramResult small = dravcall({}, {"echo", "int:5", "string:abc", "bool:true", "bin:0x0a0b"});
  EXPECT_EQ(0, small.exitCode) << small.err;
  EXPECT_EQ("0 Int 5\n1 String \"abc\"\n2 Bool true\n3 BinaryArray 2 bytes: 0A 0B\n"
            "status 0 \"no error detected\" (sample, echo)\n",
            small.out);
  const ProgramResult unknown = dravcall({}, {"nosuch"});
  EXPECT_EQ(1, unknown.exitCode) << unknown.err;
  EXPECT_EQ("status 1 \"unknown method 'nosuch'; sample offers echo, sum, generateBinary, "
            "checksumExtraBlob\" (sample, nosuch)\n",
            unknown.out);

  // 100000 bytes that compress well: the protocol's compression goes through.
  {
    std::ofstream value(file("value.bin"), std::ios::binary);
    for (unsigned i = 0; i < 100000; ++i) value.put(static_cast<char>(i / 7 % 251));
  }
  const ProgramResult compressed =
      dravcall({"--trace", "progress", "--output", file("echoed.bin")}, {"echo", "bin:@" + file("value.bin")});
  ASSERT_EQ(0, compressed.exitCode) << compressed.err;
  EXPECT_LT(postedArgsSize(compressed.err), 10000u) << "the value went compressed";
  EXPECT_EQ("0 BinaryArray 100000 bytes saved in " + file("echoed.bin") + "\n",
            compressed.out.substr(0, compressed.out.find("status")));
  EXPECT_TRUE(readFile(file("value.bin")) == readFile(file("echoed.bin"))) << "the echoed value differs";

  // Three clients, each on a connection of its own to nginx, and one
  // connection from nginx to the host for them all.
  const ProgramResult host = host_->stop();
  EXPECT_NE(std::string::npos, host.out.find("dravbridge: stopped after 3 requests on 1 connections")) << host.out;
}

// An error answer says who gave it: the host's own text passes nginx as the
// host's; nginx's page when no host answers is named as nginx's, by its
// status line and title.
TEST_F(Nginx, AnErrorAnswerNamesWhetherTheHostOrNginxGaveIt) {
  startHostBehindNginx();
  const ProgramResult hosts = runProgram(DRAVCALL_PROGRAM, {nginx_->url("/elsewhere"), "sample", "echo"}, 60s);
  EXPECT_EQ("dravcall: the host answered HTTP 404: no bridge at /elsewhere; this host serves /bridges/sample\n",
            hosts.err);
  host_->stop();
  const ProgramResult nginxs = dravcall({}, {"echo", "int:1"});
  EXPECT_EQ(3, nginxs.exitCode);
  EXPECT_EQ("dravcall: the server at 127.0.0.1:" + std::to_string(nginx_->port()) +
                " answered \"HTTP/1.1 502 Bad Gateway\" with a page titled \"502 Bad Gateway\"\n",
            nginxs.err);
}

// The example bridge plugin built against the installed package and served
// by the installed dravbridge, which the test command names.
TEST_F(Nginx, ServesTheExampleBridgeOfTheInstalledPackage) {
  const char* bridge = std::getenv("DRAV_EXAMPLE_BRIDGE");
  const char* program = std::getenv("DRAV_INSTALLED_DRAVBRIDGE");
  if (!bridge || !program) GTEST_SKIP() << "run by scripts/test.sh (DRAV_EXAMPLE_BRIDGE, DRAV_INSTALLED_DRAVBRIDGE)";
  startHostBehindNginx(program, {"--bridge", bridge});
  const ProgramResult call =
      runProgram(DRAVCALL_PROGRAM, {nginx_->url("/bridges/greeter"), "greeter", "greet", "string:nginx"}, 60s);
  EXPECT_EQ(0, call.exitCode) << call.err;
  EXPECT_EQ("0 String \"Hello, nginx!\"\nstatus 0 \"no error detected\" (greeter, greet)\n", call.out);
}

TEST_F(Nginx, TakesBodiesUpToTheHostsLimitAndRefusesLarger) {
  startHostBehindNginx();
  const auto call = [](std::uint64_t size) {
    return "POST /bridges/sample HTTP/1.1\r\nHost: 127.0.0.1\r\nDRAVBridgeName: sample\r\nDRAVMethodName: echo\r\n"
           "DRAVMethodNeedSsoToken: no\r\nDRAVArgs-Size: " + std::to_string(size) +
           "\r\nDRAVExtraBlob-Size: 0\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  };
  RawClient over(nginx_->port());
  over.send(call(0x80000000ull));
  const HttpReply refused = over.readReply();
  EXPECT_EQ(413, refused.status);
  EXPECT_NE(std::string::npos, refused.body.find("<center>nginx")) << "nginx refused it: " << refused.body;

  // At the limit the call reaches the host, whose bridge answers for it.
  RawClient at(nginx_->port());
  at.send(call(0x7FFFFFFF));
  const HttpReply reached = at.readReply();
  EXPECT_EQ(413, reached.status);
  EXPECT_EQ("the arguments take more than the 67108864 bytes a call may hold; raise call_memory_budget in [limits] "
            "(--call-memory-budget)\n",
            reached.body);
}

// A listener standing in for the host, to see the request nginx sends it.
class UpstreamProbe {
public:
  UpstreamProbe() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener_, 4) == 0 &&
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~UpstreamProbe() {
    if (connection_ >= 0) close(connection_);
    close(listener_);
  }
  unsigned short port() const { return port_; }

  // The first request's head and `bodySize` body bytes, waiting at most 5 s;
  // then answers it with an empty 204.
  std::string takeRequest(std::size_t bodySize) {
    pollfd wait = {listener_, POLLIN, 0};
    if (poll(&wait, 1, 5000) != 1) return std::string();
    connection_ = accept(listener_, nullptr, nullptr);
    std::string request;
    char buffer[4096];
    for (int reads = 0; reads < 100; ++reads) {
      const std::size_t head = request.find("\r\n\r\n");
      if (head != std::string::npos && request.size() >= head + 4 + bodySize) break;
      pollfd ready = {connection_, POLLIN, 0};
      if (poll(&ready, 1, 5000) != 1) break;
      const ssize_t got = read(connection_, buffer, sizeof buffer);
      if (got <= 0) break;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string answer = "HTTP/1.1 204 No Content\r\n\r\n";
    (void)!write(connection_, answer.data(), answer.size());
    return request;
  }

private:
  int listener_ = -1;
  int connection_ = -1;
  unsigned short port_ = 0;
};

TEST_F(Nginx, TheHostIsToldWhoCalledOverKeptAliveHttp11) {
  UpstreamProbe probe;
  ASSERT_NE(0, probe.port());
  startNginx(probe.port());
  RawClient client(nginx_->port());
  client.send("POST /bridges/sample HTTP/1.1\r\nHost: bridges.example:8080\r\nX-Forwarded-For: 203.0.113.7\r\n"
              "Connection: close\r\nContent-Length: 5\r\n\r\nhello");
  const std::string request = probe.takeRequest(5);
  EXPECT_EQ(0u, request.find("POST /bridges/sample HTTP/1.1\r\n")) << request;
  for (const char* line : {"\r\nHost: bridges.example\r\n", "\r\nX-Real-IP: 127.0.0.1\r\n",
                           "\r\nX-Forwarded-For: 203.0.113.7, 127.0.0.1\r\n", "\r\nX-Forwarded-Proto: http\r\n",
                           "\r\nContent-Length: 5\r\n"})
    EXPECT_NE(std::string::npos, request.find(line)) << "no " << line << " in\n" << request;
  EXPECT_EQ(std::string::npos, request.find("\r\nConnection:")) << "the host's connection is kept alive:\n" << request;
  EXPECT_EQ(request.size() - 5, request.find("\r\n\r\nhello") + 4) << request;
  EXPECT_EQ(204, client.readReply().status);
}

// The client connects from 127.0.0.2 and claims another address of its own;
// nginx connects to the host from 127.0.0.1.
TEST_F(Nginx, TheAccessLogNamesTheRealClientOnlyWhenNginxIsATrustedProxy) {
  DRAVArgs args;
  args.addArg(5);
  const std::string call =
      hosttest::callRequest("echo", hosttest::encodeArgs(args), 0, "X-Forwarded-For: 203.0.113.9\r\n");
  for (const bool trusted : {true, false}) {
    SCOPED_TRACE(trusted ? "nginx trusted" : "nginx not trusted");
    const std::string log = file(trusted ? "trusted.log" : "untrusted.log");
    std::vector<std::string> options = {"--access-log", log, "--admin-port", "0"};
    if (trusted) options.insert(options.end(), {"--trusted-proxy", "127.0.0.1"});
    startHostBehindNginx(DRAVBRIDGE_PROGRAM, options);
    const std::string adminPort = host_->waitForLine("dravbridge: admin listening on port ");
    ASSERT_NE("", adminPort);
    RawClient client(nginx_->port(), "127.0.0.2");
    client.send(call);
    ASSERT_EQ(200, client.readReply().status);
    // The host counted the call, by the bridge's path and the method's name,
    // once its answer had left (which the client may see first).
    const std::string counted = "\ndrav_host_calls_total{bridge=\"/bridges/sample\",method=\"echo\",code=\"200\"} 1\n";
    HttpReply metrics = hosttest::CurlClient().get("http://127.0.0.1:" + adminPort + "/metrics");
    for (int i = 0; i < 200 && metrics.body.find(counted) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      metrics = hosttest::CurlClient().get("http://127.0.0.1:" + adminPort + "/metrics");
    }
    EXPECT_NE(std::string::npos, metrics.body.find(counted)) << metrics.body;
    nginx_.reset();
    host_->stop();
    const std::string line = readFile(log);
    const std::size_t address = line.find(' ') + 1;
    EXPECT_EQ(trusted ? "127.0.0.2" : "127.0.0.1", line.substr(address, line.find(' ', address) - address)) << line;
    EXPECT_EQ(1, std::count(line.begin(), line.end(), '\n')) << line;
  }
}

TEST_F(Nginx, StreamsA256MiBExtraBlobAndA256MiBAnswerWithoutHoldingThem) {
  startHostBehindNginx();
  const unsigned long crc = writePatternFile(file("blob.bin"), kTransfer);
  ASSERT_NE(0u, crc) << "cannot write " << file("blob.bin");
  // One small call first, so that the idle figures include a served call.
  ASSERT_EQ(0, dravcall({}, {"sum", "int:1", "double:2.5"}).exitCode);
  const long nginxIdle = peakResidentKiB(nginx_->pid());
  const long hostIdle = peakResidentKiB(host_->pid());

  const ProgramResult up = dravcall({"--chunk-size", "65536", "--extra-blob", file("blob.bin")}, {"checksumExtraBlob"});
  ASSERT_EQ(0, up.exitCode) << up.err;
  EXPECT_EQ("0 ULong 268435456\n1 ULong " + std::to_string(crc) + "\n", up.out.substr(0, up.out.find("status")));

  const ProgramResult down = dravcall({"--streaming", "OUT", "--read-size", "1048576", "--output", file("result.bin")},
                                      {"generateBinary", "ulong:268435456", "int:11"});
  ASSERT_EQ(0, down.exitCode) << down.err;
  EXPECT_EQ(kTransfer, patternBytesMatching(file("result.bin"), 11)) << "the bytes saved, as far as they are right";

  const long nginxPeak = peakResidentKiB(nginx_->pid());
  const long hostPeak = peakResidentKiB(host_->pid());
  std::printf("nginx: %ld MiB idle, %ld MiB at its peak\ndravbridge: %ld MiB idle, %ld MiB at its peak\n",
              nginxIdle / 1024, nginxPeak / 1024, hostIdle / 1024, hostPeak / 1024);
  ASSERT_GT(nginxIdle, 0);
  ASSERT_GT(hostIdle, 0);
  // nginx is not built with a sanitizer: its bound holds in every build.
  EXPECT_LT(static_cast<std::uint64_t>(nginxPeak - nginxIdle) * 1024, 64 * kMiB) << "nginx's memory";
  EXPECT_LT(static_cast<std::uint64_t>(hostPeak - hostIdle) * 1024, kMemoryBound) << "the host's memory";
  // Buffering would not show in memory: nginx spools to temporary files.
  const std::string log = nginx_->errorLog();
  EXPECT_EQ(std::string::npos, log.find("buffered to a temporary file")) << log;
}

#ifdef DRAV_TEST_PLUGINS
// Calls of a bridge that never returns are answered 504 at the call time
// limit, which nginx passes on without counting against the host: the calls
// of everyone else keep being answered, none with 502 ("no live upstreams").
TEST_F(Nginx, CallsGivenUpAtTheTimeLimitLeaveTheHostInTheUpstream) {
  startHostBehindNginx(DRAVBRIDGE_PROGRAM, {"--max-calls", "2", "--call-time-limit", "1s", "--path", kSamplePath,
                                            "--bridge", std::string(DRAV_TEST_PLUGINS) + "/libprobe.so"});
  std::vector<std::unique_ptr<RawClient>> stuck;
  for (int i = 0; i < 3; ++i) {
    stuck.push_back(std::make_unique<RawClient>(nginx_->port()));
    stuck.back()->send(hosttest::callRequest("hang", hosttest::encodeArgs(DRAVArgs()), 0, "", "/bridges/probe", "probe"));
  }
  for (auto& client : stuck) EXPECT_EQ(504, client->readReply(6s).status);
  for (int i = 0; i < 5; ++i) {
    const ProgramResult call = dravcall({}, {"echo", "int:" + std::to_string(i)});
    EXPECT_EQ(0, call.exitCode) << call.err;
  }
  EXPECT_EQ(std::string::npos, nginx_->errorLog().find("no live upstreams"));
}
#endif

}  // namespace
}  // namespace e2e

#endif
