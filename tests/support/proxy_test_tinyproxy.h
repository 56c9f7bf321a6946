// A real HTTP proxy for tests: tinyproxy started on a free port of
// 127.0.0.1 with a generated configuration that demands Basic proxy
// authentication, stopped (and its files removed) when the object goes.
//
// DRAV_TEST_PROXY=127.0.0.1:PORT names a proxy already running elsewhere
// (the Windows tests under Wine); it must accept kProxyUser/kProxyPassword.
#pragma once

#include <memory>
#include <string>

namespace drav_test {

constexpr const char* kProxyUser = "proxyuser";
constexpr const char* kProxyPassword = "proxy-secret";

class TestProxy {
public:
  // The proxy for a test, or null with `why` set when none can be had
  // (tinyproxy missing): the test then skips with that message.
  static std::unique_ptr<TestProxy> open(std::string& why);
  ~TestProxy();  // stops the proxy it started (bounded wait, then SIGKILL)
  TestProxy(const TestProxy&) = delete;
  TestProxy& operator=(const TestProxy&) = delete;

  const std::string& host() const { return host_; }
  unsigned short port() const { return port_; }
  std::string hostPort() const { return host_ + ":" + std::to_string(port_); }

private:
  TestProxy() = default;

  std::string host_ = "127.0.0.1";
  unsigned short port_ = 0;
  int pid_ = 0;  // 0: not ours to stop
  std::string folder_;
};

}  // namespace drav_test
