// Made with the openssl command of POSIX hosts; Windows test builds get
// their HTTPS server from a Linux process.
#ifndef _WIN32

#include "support/tls_test_certificate.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace drav_test {
namespace {

void run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int started = ::posix_spawnp(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (started != 0) throw std::runtime_error("cannot start openssl (is the openssl command installed?)");
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("openssl could not make a test certificate (is the openssl command installed?)");
}

}  // namespace

TestCertificate::TestCertificate(const std::string& commonName, bool forLoopback) {
  char folder[] = "/tmp/drav-tls-XXXXXX";
  if (!::mkdtemp(folder)) throw std::runtime_error("cannot make a temporary folder for a test certificate");
  folder_ = folder;
  certFile_ = folder_ + "/cert.pem";
  keyFile_ = folder_ + "/key.pem";
  std::vector<std::string> args = {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                   "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                                   "-keyout", keyFile_, "-out", certFile_, "-subj", "/CN=" + commonName};
  if (forLoopback) args.insert(args.end(), {"-addext", "subjectAltName=IP:127.0.0.1"});
  try {
    run(args);
  } catch (...) {
    std::remove(certFile_.c_str());
    std::remove(keyFile_.c_str());
    ::rmdir(folder_.c_str());
    throw;
  }
}

TestCertificate::~TestCertificate() {
  std::remove(certFile_.c_str());
  std::remove(keyFile_.c_str());
  ::rmdir(folder_.c_str());
}

}  // namespace drav_test

#endif  // _WIN32
