// Made with the openssl command of POSIX hosts; Windows test builds get
// their HTTPS server from a Linux process.
#ifndef _WIN32

#include "support/tls_test_certificate.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
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

std::string newFolder() {
  char folder[] = "/tmp/drav-tls-XXXXXX";
  if (!::mkdtemp(folder)) throw std::runtime_error("cannot make a temporary folder for a test certificate");
  return folder;
}

// Runs the openssl steps; on failure removes what they left in `folder`.
void runAll(const std::vector<std::vector<std::string>>& steps, const std::string& folder,
            const std::vector<std::string>& files) {
  try {
    for (const auto& step : steps) run(step);
  } catch (...) {
    for (const std::string& f : files) std::remove(f.c_str());
    ::rmdir(folder.c_str());
    throw;
  }
}

std::vector<std::string> selfSigned(const std::string& subject, const std::string& key, const std::string& cert) {
  return {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
          "-days", "2", "-keyout", key, "-out", cert, "-subj", subject};
}

}  // namespace

TestCertificate::TestCertificate(const std::string& commonName, bool forLoopback) {
  folder_ = newFolder();
  certFile_ = folder_ + "/cert.pem";
  keyFile_ = folder_ + "/key.pem";
  std::vector<std::string> args = selfSigned("/CN=" + commonName, keyFile_, certFile_);
  if (forLoopback) args.insert(args.end(), {"-addext", "subjectAltName=IP:127.0.0.1"});
  runAll({args}, folder_, {certFile_, keyFile_});
}

TestCertificate::~TestCertificate() {
  for (const char* extra : {"/request.csr", "/extensions.cnf", "/authority.srl"})
    std::remove((folder_ + extra).c_str());
  std::remove(certFile_.c_str());
  std::remove(keyFile_.c_str());
  ::rmdir(folder_.c_str());
}

TestAuthority::TestAuthority(const std::string& name) : own_(name, false), hashedFolder_(newFolder()) {
  {
    std::ifstream in(own_.certFile(), std::ios::binary);
    std::ofstream out(hashedFolder_ + "/authority.pem", std::ios::binary);
    out << in.rdbuf();
  }
  runAll({{"openssl", "rehash", hashedFolder_}}, hashedFolder_, {hashedFolder_ + "/authority.pem"});
}

TestAuthority::~TestAuthority() {
  if (DIR* folder = ::opendir(hashedFolder_.c_str())) {
    while (const dirent* entry = ::readdir(folder))
      if (entry->d_name[0] != '.') std::remove((hashedFolder_ + "/" + entry->d_name).c_str());
    ::closedir(folder);
  }
  ::rmdir(hashedFolder_.c_str());
}

std::unique_ptr<TestCertificate> TestAuthority::issue(const std::string& subjectAltName, bool expired) const {
  return issue(subjectAltName, Form(), expired);
}

std::unique_ptr<TestCertificate> TestAuthority::issue(const std::string& subjectAltName, const Form& form) const {
  return issue(subjectAltName, form, false);
}

std::unique_ptr<TestCertificate> TestAuthority::issue(const std::string& subjectAltName, const Form& form,
                                                      bool expired) const {
  const std::string folder = newFolder();
  const std::string cert = folder + "/cert.pem", key = folder + "/key.pem";
  const std::string request = folder + "/request.csr", extensions = folder + "/extensions.cnf";
  const std::string serial = folder + "/authority.srl";
  if (std::FILE* f = std::fopen(extensions.c_str(), "w")) {
    std::fprintf(f, "subjectAltName=%s\n%s\n", subjectAltName.c_str(), form.extensions.c_str());
    std::fclose(f);
  }
  std::vector<std::string> newKey = {"openssl", "req", "-new", "-newkey"};
  if (form.rsaBits) newKey.insert(newKey.end(), {"rsa:" + std::to_string(form.rsaBits)});
  else newKey.insert(newKey.end(), {"ec", "-pkeyopt", "ec_paramgen_curve:prime256v1"});
  newKey.insert(newKey.end(), {"-nodes", "-keyout", key, "-out", request, "-subj", "/CN=drav test server"});
  // -days -1: valid from now until a day ago, so expired.
  std::vector<std::string> sign = {"openssl", "x509", "-req", "-in", request, "-CA", own_.certFile(), "-CAkey",
                                   own_.keyFile(), "-CAserial", serial, "-CAcreateserial", "-days",
                                   expired ? "-1" : "2", "-extfile", extensions, "-out", cert};
  if (!form.digest.empty()) sign.push_back("-" + form.digest);
  runAll({newKey, sign}, folder, {cert, key, request, extensions, serial});
  return std::unique_ptr<TestCertificate>(new TestCertificate(folder, cert, key));
}

}  // namespace drav_test

#endif  // _WIN32
