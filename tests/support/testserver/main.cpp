// drav_test_server: runs the scripted HTTP and HTTPS test servers (sharing
// one script) and, when asked, a tinyproxy with Basic authentication, for
// tests in another process. Prints the environment those tests need, one
// NAME=VALUE line each, then serves until SIGINT, SIGTERM or the end of
// standard input.
//
//   drav_test_server [--port N] [--tls-port N] [--proxy]
#include "support/http_test_server.h"
#include "support/proxy_test_tinyproxy.h"
#include "support/tls_test_certificate.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

unsigned short portArgument(const char* text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (!end || *end != '\0' || value > 65535) throw std::runtime_error(std::string("bad port: ") + text);
  return static_cast<unsigned short>(value);
}

// Serves until a signal or until standard input ends (the parent went away).
void serveUntilStopped() {
  bool watchInput = true;
  while (!stopRequested) {
    pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (!watchInput) {
      ::poll(nullptr, 0, 200);
      continue;
    }
    if (::poll(&input, 1, 200) > 0) {
      char byte;
      const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
      if (n == 0) return;
      if (n < 0) watchInput = false;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    drav_test::ServerOptions plain, secure;
    bool proxy = false;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--port" && i + 1 < argc) plain.port = portArgument(argv[++i]);
      else if (arg == "--tls-port" && i + 1 < argc) secure.port = portArgument(argv[++i]);
      else if (arg == "--proxy") proxy = true;
      else {
        std::fprintf(stderr, "usage: drav_test_server [--port N] [--tls-port N] [--proxy]\n");
        return 2;
      }
    }
    ::signal(SIGINT, onSignal);
    ::signal(SIGTERM, onSignal);
    ::signal(SIGPIPE, SIG_IGN);
    drav_test::TestCertificate certificate;
    secure.certFile = certificate.certFile();
    secure.keyFile = certificate.keyFile();
    drav_test::HttpTestServer http(plain);
    drav_test::HttpTestServer https(secure, http.state());
    std::unique_ptr<drav_test::TestProxy> tinyproxy;
    std::printf("DRAV_TEST_SERVER=%s\nDRAV_TEST_TLS_SERVER=%s\n", http.hostPort().c_str(), https.hostPort().c_str());
    if (proxy) {
      std::string why;
      tinyproxy = drav_test::TestProxy::open(why);
      if (!tinyproxy) throw std::runtime_error(why);
      std::printf("DRAV_TEST_PROXY=%s\n", tinyproxy->hostPort().c_str());
    }
    std::fflush(stdout);
    serveUntilStopped();
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "drav_test_server: %s\n", e.what());
    return 1;
  }
}
