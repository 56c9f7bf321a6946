// Certificates for HTTPS tests, made at test time with the `openssl`
// command into a private temporary folder that is removed afterwards:
// self-signed ones (TestCertificate), and a small authority that signs
// server certificates for a name of its choice, valid or expired
// (TestAuthority).
#pragma once

#include <memory>
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
  friend class TestAuthority;
  TestCertificate(const std::string& folder, const std::string& certFile, const std::string& keyFile)
      : folder_(folder), certFile_(certFile), keyFile_(keyFile) {}

  std::string folder_;
  std::string certFile_;
  std::string keyFile_;
};

class TestAuthority {
public:
  // A self-signed authority of that name. Throws std::runtime_error when
  // openssl is missing or fails. Authorities one test trusts together need
  // names of their own: a verifier looks an issuer up by its name.
  explicit TestAuthority(const std::string& name = "drav test authority");
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  // A server certificate signed by this authority, naming `subjectAltName`
  // ("IP:127.0.0.1", "DNS:elsewhere.example"); `expired` makes one whose
  // validity ended a day ago. Throws std::runtime_error.
  std::unique_ptr<TestCertificate> issue(const std::string& subjectAltName, bool expired = false) const;
  // The same with a defect a client must name: a 1024-bit RSA key, a SHA-1
  // signature, or more extension lines ("extendedKeyUsage=clientAuth"); a
  // subjectAltName of "DER:<hex>" is written as those bytes.
  struct Form {
    int rsaBits = 0;          // 0: an EC P-256 key
    std::string digest;       // empty: openssl's default
    std::string extensions;   // more lines of the extension file
  };
  std::unique_ptr<TestCertificate> issue(const std::string& subjectAltName, const Form& form) const;

  const std::string& certFile() const { return own_.certFile(); }  // PEM: what a client trusts
  // A folder holding the authority's certificate under its hash name, as
  // `openssl rehash` makes it: a CA folder to trust.
  const std::string& hashedFolder() const { return hashedFolder_; }

private:
  std::unique_ptr<TestCertificate> issue(const std::string& subjectAltName, const Form& form, bool expired) const;

  TestCertificate own_;
  std::string hashedFolder_;
};

}  // namespace drav_test
