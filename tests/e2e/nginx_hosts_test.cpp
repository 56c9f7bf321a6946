// Several dravbridge processes behind nginx's round-robin upstream, sharing a
// session key: one logon through nginx serves calls that land on every host,
// and a host with another key refuses that session. Needs nginx (Debian
// nginx-light); ctest runs it in the entry e2e_nginx (DRAV_E2E_NGINX=1).
#ifdef DRAV_NGINX_SITE

#include "host_test_support.h"
#include "nginx_site.h"
#include "program_runner.h"
#include "temp_folder.h"

#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_request.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
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
