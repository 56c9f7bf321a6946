#include "support/proxy_test_tinyproxy.h"

#include "support/http_test_remote.h"
#include "support/local_programs.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace drav_test {

std::unique_ptr<TestProxy> TestProxy::open(std::string& why) {
  std::unique_ptr<TestProxy> proxy(new TestProxy());
  if (const char* remote = std::getenv("DRAV_TEST_PROXY")) {
    splitHostPort(remote, proxy->host_, proxy->port_);
    return proxy;
  }
#ifdef _WIN32
  why = "no HTTP proxy: set DRAV_TEST_PROXY";
  return nullptr;
#else
  std::string program;
  if (!executableOnPath("tinyproxy", program)) {
    why = "tinyproxy is not installed (scripts/install-deps.sh installs it)";
    return nullptr;
  }
  char folder[] = "/tmp/drav-proxy-XXXXXX";
  if (!::mkdtemp(folder)) {
    why = "cannot make a temporary folder for the proxy";
    return nullptr;
  }
  proxy->folder_ = folder;
  // A free port may be taken between our probe and the proxy's bind: try a few.
  for (int attempt = 0; attempt < 3 && proxy->pid_ == 0; ++attempt) {
    proxy->port_ = freePort();
    const std::string config = proxy->folder_ + "/tinyproxy.conf";
    std::ofstream(config) << "Port " << proxy->port_ << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 64\n"
                          << "Allow 127.0.0.1\nBasicAuth " << kProxyUser << " " << kProxyPassword << "\n"
                          << "LogLevel Critical\nDisableViaHeader Yes\n";
    std::vector<std::string> args = {program, "-d", "-c", config};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int started = ::posix_spawn(&pid, program.c_str(), &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (started != 0) continue;
    // Up to 5 s for the proxy to listen.
    for (int wait = 0; wait < 250; ++wait) {
      if (accepting(proxy->port_)) {
        proxy->pid_ = pid;
        break;
      }
      if (::waitpid(pid, nullptr, WNOHANG) == pid) break;  // it gave up (port taken?)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (proxy->pid_ == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  if (proxy->pid_ == 0) {
    why = "tinyproxy did not start";
    return nullptr;
  }
  return proxy;
#endif
}

TestProxy::~TestProxy() {
#ifndef _WIN32
  if (pid_ != 0) {
    ::kill(pid_, SIGTERM);
    bool ended = false;
    for (int wait = 0; wait < 100 && !ended; ++wait) {
      ended = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ended) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  if (!folder_.empty()) {
    std::remove((folder_ + "/tinyproxy.conf").c_str());
    ::rmdir(folder_.c_str());
  }
#endif
}

}  // namespace drav_test
