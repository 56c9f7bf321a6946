// Several dravbridge processes behind nginx's round-robin upstream, sharing a
// session key: one logon through nginx serves calls that land on every host,
// and a host with another key refuses that session; and the hosts restarted
// one after another under a steady stream of calls, none of which fails.
// Needs nginx (Debian nginx-light); ctest runs it in the entry e2e_nginx
// (DRAV_E2E_NGINX=1).
#ifdef DRAV_NGINX_SITE

#include "host_test_support.h"
#include "nginx_site.h"
#include "program_runner.h"
#include "temp_folder.h"

#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_request.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <memory>

namespace e2e {
namespace {

using hosttest::callRequest;
using hosttest::encodeArgs;
using hosttest::RawClient;

constexpr int kHosts = 3;
constexpr int kCalls = 30;

// Writes `content` to the file `name` of `folder`, for its owner only; its path.
std::string writeFile(const TempFolder& folder, const std::string& name, const std::string& content) {
  std::ofstream(folder.file(name), std::ios::binary) << content;
  chmod(folder.file(name).c_str(), 0600);
  return folder.file(name);
}

// dravbridge requiring single sign-on, with the key in `keyFile`; its port.
unsigned short startSignOnHost(std::unique_ptr<BackgroundProgram>& host, const std::string& keyFile) {
  host = std::make_unique<BackgroundProgram>(
      DRAVBRIDGE_PROGRAM, std::vector<std::string>{"--port", "0", "--sso-user", "sam", "--sso-password", "pw",
                                                   "--sso-path", "/logon", "--sso-required", "--session-key-file",
                                                   keyFile});
  const std::string port = host->waitForLine("dravbridge: listening on port ");
  return port.empty() ? 0 : static_cast<unsigned short>(std::stoul(port));
}

// Requests the host served, from its account when it stopped; -1 when none.
long requestsServed(BackgroundProgram& host) {
  const std::string out = host.stop().out;
  const std::string lead = "dravbridge: stopped after ";
  const std::size_t at = out.find(lead);
  return at == std::string::npos ? -1 : std::stol(out.substr(at + lead.size()));
}

TEST(NginxSeveralHosts, OneLogonServesCallsOnEveryHostSharingTheKey) {
  if (!std::getenv("DRAV_E2E_NGINX")) GTEST_SKIP() << "run by the ctest entry e2e_nginx (DRAV_E2E_NGINX=1)";
  const std::string nginxProgram = NginxSite::program();
  if (nginxProgram.empty()) GTEST_SKIP() << "nginx is not installed (Debian nginx-light)";
  TempFolder folder;
  const std::string sharedKey = writeFile(folder, "shared.key", "a key the three hosts share, 48 bytes long....\n");
  const std::string otherKey = writeFile(folder, "other.key", "another key, of another deployment, 48 bytes...\n");

  std::array<std::unique_ptr<BackgroundProgram>, kHosts> hosts;
  std::vector<unsigned short> ports;
  for (auto& host : hosts) {
    ports.push_back(startSignOnHost(host, sharedKey));
    ASSERT_NE(0, ports.back()) << "dravbridge did not start";
  }
  std::unique_ptr<BackgroundProgram> foreign;
  const unsigned short foreignPort = startSignOnHost(foreign, otherKey);
  ASSERT_NE(0, foreignPort) << "dravbridge did not start";
  std::unique_ptr<NginxSite> nginx;
  ASSERT_NO_THROW(nginx = std::make_unique<NginxSite>(nginxProgram, DRAV_NGINX_SITE, ports));

  DRAVBridgeProxy proxy("sample", Url(nginx->url(hosttest::kSamplePath)),
                        AuthInfo().user("sam").pass("pw").ssoProvider("siteminder"));
  proxy.init();
  proxy.rootUrl() = Url(nginx->url("/logon"));
  for (int i = 0; i < kCalls; ++i) {
    DRAVHttpRequestPtr request(proxy.createRequest());
    std::string args = encodeArgs(DRAVArgs());
    request->call("echo", &args[0], static_cast<unsigned long>(args.size()), 0, false, StreamingNo, nullptr, 0);
    ASSERT_EQ(200u, request->getCallStatus().httpCode()) << "call " << i;
    char* piece = nullptr;
    for (int guard = 0; guard < 100 && request->receive(piece, 16384) > 0; ++guard) {
    }
  }

  // The session the logon handed out, on a host of the deployment and on
  // one with another key.
  const std::string cookies = proxy.getCookies();
  const std::size_t at = cookies.find("SMSESSION=");
  ASSERT_NE(std::string::npos, at) << cookies;
  const std::string session = cookies.substr(at, cookies.find(';', at) - at);
  const std::string call = callRequest("echo", encodeArgs(DRAVArgs()), 0, "Cookie: " + session + "\r\n");
  RawClient throughNginx(nginx->port());
  throughNginx.send(call);
  EXPECT_EQ(200, throughNginx.readReply().status);
  RawClient stranger(foreignPort);
  stranger.send(call);
  const hosttest::HttpReply refused = stranger.readReply();
  EXPECT_EQ(403, refused.status);
  EXPECT_EQ("no valid SMSESSION cookie: log on at /logon first\n", refused.body);

  // One logon and 31 calls in all, every host serving some.
  nginx.reset();
  long total = 0;
  std::string counts;
  for (auto& host : hosts) {
    const long served = requestsServed(*host);
    EXPECT_GE(served, 1) << "a host got no request";
    total += served;
    counts += " " + std::to_string(served);
  }
  EXPECT_EQ(1 + kCalls + 1, total) << "requests per host:" << counts;
  std::printf("requests per host:%s\n", counts.c_str());
}

// dravbridge on `port` (0: a free one) with `options`; its port, 0 when it did not start.
unsigned short startHost(std::unique_ptr<BackgroundProgram>& host, unsigned short port,
                         const std::vector<std::string>& options) {
  std::vector<std::string> arguments{"--port", std::to_string(port)};
  arguments.insert(arguments.end(), options.begin(), options.end());
  host = std::make_unique<BackgroundProgram>(DRAVBRIDGE_PROGRAM, arguments);
  const std::string listening = host->waitForLine("dravbridge: listening on port ");
  return listening.empty() ? 0 : static_cast<unsigned short>(std::stoul(listening));
}

// The lines of nginx's error log other than a host's refused connection
// (which nginx passes on to the next host), at most 4000 bytes of them.
std::string errorsOtherThanRefusals(const std::string& log) {
  std::string kept;
  std::size_t start = 0;
  while (start < log.size() && kept.size() < 4000) {
    const std::size_t end = std::min(log.find('\n', start), log.size());
    const std::string line = log.substr(start, end - start);
    if (line.find("(111: Connection refused)") == std::string::npos &&
        line.find("temporarily disabled") == std::string::npos)
      kept += line + "\n";
    start = end + 1;
  }
  return kept.substr(0, 4000);
}

// One call through nginx: its path, headers and body, and what its answer holds.
struct CallShape {
  std::string path;
  std::vector<std::string> headers;
  std::string body;
  std::function<bool(const hosttest::HttpReply&)> answered;
};

// A rolling restart as docs/deploying.md tells it: each host (started with
// `options`) in turn gets SIGTERM, is down a moment as an upgrade takes, and
// comes back on its port, while `callers` clients call through nginx without
// a pause. Not one call may fail.
void expectARollingRestartFailsNoCall(const std::vector<std::string>& options, const CallShape& call, int callers,
                                      int leastCalls) {
  const std::string nginxProgram = NginxSite::program();
  if (nginxProgram.empty()) GTEST_SKIP() << "nginx is not installed (Debian nginx-light)";
  std::array<std::unique_ptr<BackgroundProgram>, kHosts> hosts;
  std::vector<unsigned short> ports;
  for (auto& host : hosts) {
    ports.push_back(startHost(host, 0, options));
    ASSERT_NE(0, ports.back()) << "dravbridge did not start";
  }
  std::unique_ptr<NginxSite> nginx;
  ASSERT_NO_THROW(nginx = std::make_unique<NginxSite>(nginxProgram, DRAV_NGINX_SITE, ports));

  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  std::mutex mutex;
  std::vector<std::string> failures;
  const auto caller = [&] {
    hosttest::CurlClient client;
    // Bounded: a stream of at most 20000 calls, one every 5 ms or so, ending with the restarts.
    for (int i = 0; i < 20000 && !done; ++i, std::this_thread::sleep_for(5ms)) {
      const hosttest::HttpReply reply = client.post(nginx->url(call.path), call.headers, call.body);
      ++calls;
      if (call.answered(reply)) continue;
      std::lock_guard<std::mutex> lock(mutex);
      failures.push_back("HTTP " + std::to_string(reply.status) + ": " + reply.body.substr(0, 200));
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < callers; ++i) threads.emplace_back(caller);

  const auto start = std::chrono::steady_clock::now();
  std::string stops;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    std::this_thread::sleep_for(500ms);
    const auto stopping = std::chrono::steady_clock::now();
    const ProgramResult stopped = hosts[i]->stop(20s);
    EXPECT_EQ(0, stopped.exitCode) << stopped.err;
    stops += " " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - stopping).count()) + " ms";
    std::this_thread::sleep_for(1500ms);  // the upgrade
    ASSERT_EQ(ports[i], startHost(hosts[i], ports[i], options)) << "host " << i << " did not come back on its port";
  }
  std::this_thread::sleep_for(500ms);
  done = true;
  for (std::thread& thread : threads) thread.join();
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_GT(calls.load(), leastCalls) << "a steady stream of calls";
  EXPECT_TRUE(failures.empty()) << failures.size() << " of " << calls.load() << " calls failed, the first "
                                << failures.front() << "\nnginx: " << errorsOtherThanRefusals(nginx->errorLog());
  EXPECT_LT(took, 60s);
  std::printf("rolling restart of %d hosts: %d calls, %zu failed, stops took%s\n", kHosts, calls.load(),
              failures.size(), stops.c_str());
}

TEST(NginxSeveralHosts, ARollingRestartFailsNoCall) {
  if (!std::getenv("DRAV_E2E_NGINX")) GTEST_SKIP() << "run by the ctest entry e2e_nginx (DRAV_E2E_NGINX=1)";
  DRAVArgs args;
  args.addArg(std::string(2000, 'r'));
  const std::string body = encodeArgs(args);
  const CallShape echo{hosttest::kSamplePath, hosttest::callHeaders("echo", body.size()), body,
                       [&body](const hosttest::HttpReply& reply) {
                         return reply.status == 200 && reply.body.size() > body.size();
                       }};
  expectARollingRestartFailsNoCall({}, echo, 3, 100);
}

#ifdef DRAV_TEST_PLUGINS
// The same with calls of 1.5 s, more of them than the hosts run at once: a
// stopping host has calls running and calls waiting for a slot, and serves
// them all within its grace.
TEST(NginxSeveralHosts, ARollingRestartWithLongCallsFailsNoCall) {
  if (!std::getenv("DRAV_E2E_NGINX")) GTEST_SKIP() << "run by the ctest entry e2e_nginx (DRAV_E2E_NGINX=1)";
  DRAVArgs args;
  args.addArg(1500);
  const std::string body = encodeArgs(args);
  std::vector<std::string> headers = hosttest::callHeaders("sleep", body.size());
  headers.front() = "DRAVBridgeName: typed";
  const CallShape sleep{"/bridges/typed", headers, body, [](const hosttest::HttpReply& reply) {
                          try {
                            return reply.status == 200 &&
                                   hosttest::decodeListAnswer(reply.body).results.getInt(0) == 1500;
                          } catch (const std::exception&) {
                            return false;
                          }
                        }};
  expectARollingRestartFailsNoCall(
      {"--max-calls", "2", "--bridge", std::string(DRAV_TEST_PLUGINS) + "/libtyped.so"}, sleep, 9, 40);
}
#endif

TEST(NginxSeveralHosts, DravbridgeRefusesAShortSessionKey) {
  TempFolder folder;
  const std::string shortKey = writeFile(folder, "short.key", std::string(31, 'k') + "\n");
  const ProgramResult refused = runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--session-key-file", shortKey});
  EXPECT_EQ(2, refused.exitCode);
  EXPECT_EQ("dravbridge: the session key in '" + shortKey + "' has 31 bytes; it needs at least 32\n", refused.err);
}

}  // namespace
}  // namespace e2e

#endif  // DRAV_NGINX_SITE
