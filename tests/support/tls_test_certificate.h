// Certificates for HTTPS tests, made at test time with the `openssl`
// command into a private temporary folder that is removed afterwards.
// Not a certificate authority: one self-signed certificate per object.
#pragma once

#include <string>

namespace drav_test {

class TestCertificate {
public:
  // A self-signed certificate and its key for `commonName`, naming the IP
  // address 127.0.0.1 as subject alternative name when `forLoopback`.
  // Throws std::runtime_error when openssl is missing or fails.
  explicit TestCertificate(const std::string& commonName = "127.0.0.1", bool forLoopback = true);
  ~TestCertificate();  // removes the files and their folder
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  const std::string& certFile() const { return certFile_; }  // PEM; valid while this object lives
  const std::string& keyFile() const { return keyFile_; }

private:
  std::string folder_;
  std::string certFile_;
  std::string keyFile_;
};

}  // namespace drav_test
