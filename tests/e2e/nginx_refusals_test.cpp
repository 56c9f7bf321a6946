// Refusals behind the shipped nginx site: unauthenticated 5 MiB uploads,
// which two hosts refuse before reading them, in bursts of 12, while a client
// with good credentials calls through the same nginx. Each refusal reaches
// its client, and none makes nginx count a failure of a host (its
// max_fails=1 would take the host out): every good call is answered 200.
// Needs nginx (Debian nginx-light); ctest runs it in the entry e2e_nginx
// (DRAV_E2E_NGINX=1).
#ifdef DRAV_NGINX_SITE

#include "host_test_support.h"
#include "nginx_site.h"
#include "program_runner.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace e2e {
namespace {

using hosttest::HttpReply;
using hosttest::RawClient;

constexpr std::size_t kUpload = 5 * 1024 * 1024;

unsigned short startHostWithCredentials(std::unique_ptr<BackgroundProgram>& host) {
  host = std::make_unique<BackgroundProgram>(
      DRAVBRIDGE_PROGRAM, std::vector<std::string>{"--port", "0", "--user", "caller", "--password", "pw"});
  const std::string port = host->waitForLine("dravbridge: listening on port ");
  return port.empty() ? 0 : static_cast<unsigned short>(std::stoul(port));
}

TEST(NginxRefusals, RefusedUploadsReachTheirClientsAndTakeNoHostOut) {
  if (!std::getenv("DRAV_E2E_NGINX")) GTEST_SKIP() << "run by the ctest entry e2e_nginx (DRAV_E2E_NGINX=1)";
  const std::string nginxProgram = NginxSite::program();
  if (nginxProgram.empty()) GTEST_SKIP() << "nginx is not installed (Debian nginx-light)";
  std::array<std::unique_ptr<BackgroundProgram>, 2> hosts;
  std::vector<unsigned short> ports;
  for (auto& host : hosts) {
    ports.push_back(startHostWithCredentials(host));
    ASSERT_NE(0, ports.back()) << "dravbridge did not start";
  }
  std::unique_ptr<NginxSite> nginx;
  ASSERT_NO_THROW(nginx = std::make_unique<NginxSite>(nginxProgram, DRAV_NGINX_SITE, ports));

  std::atomic<bool> attacking{true};
  std::mutex mutex;
  std::map<int, int> refusals;  // by status; 0: the client could not send or read
  std::thread attack([&] {
    const std::string call = hosttest::callRequest("echo", std::string(kUpload, 'u'));
    for (int burst = 0; burst < 12; ++burst) {
      std::vector<std::thread> uploads;
      for (int i = 0; i < 12; ++i)
        uploads.emplace_back([&] {
          RawClient client(nginx->port());
          int status = 0;
          try {
            client.send(call);
            status = client.readReply(5s).status;
          } catch (const std::exception&) {
          }
          std::lock_guard<std::mutex> lock(mutex);
          ++refusals[status];
        });
      for (std::thread& upload : uploads) upload.join();
    }
    attacking = false;
  });
  DRAVArgs args;
  args.addArg(7);
  const std::string good = hosttest::callRequest("echo", hosttest::encodeArgs(args), 0,
                                                 hosttest::basicAuthorization("caller", "pw"));
  std::map<int, int> calls;  // by status
  int made = 0;
  for (; made < 1000 && (made < 50 || attacking); ++made, std::this_thread::sleep_for(20ms)) {
    RawClient client(nginx->port());
    client.send(good);
    ++calls[client.readReply(5s).status];
  }
  attack.join();

  EXPECT_EQ(made, calls[200]) << calls.size() << " statuses; nginx: " << nginx->errorLog().substr(0, 2000);
  int uploads = 0;
  for (const auto& status : refusals) uploads += status.second;
  EXPECT_EQ(uploads, refusals[401]) << "every refused upload got its 401; " << refusals[0] << " got nothing, "
                                    << refusals[502] << " a 502";
  EXPECT_EQ(std::string::npos, nginx->errorLog().find("while sending request to upstream"))
      << nginx->errorLog().substr(0, 2000);
}

}  // namespace
}  // namespace e2e

#endif  // DRAV_NGINX_SITE
