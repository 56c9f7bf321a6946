// Certificate checks of calls, downloads and their TLS policy, against real
// TLS servers on 127.0.0.1 whose certificates are made at test time.
#include "transport_fixture.h"

#include "support/http_test_server.h"
#include "support/tls_test_certificate.h"

#include <cstdlib>

#ifndef _WIN32

#include <openssl/ssl.h>

namespace transport_test {
namespace {

using drav_test::Reply;
using drav_test::TestCertificate;

std::unique_ptr<drav_test::HttpTestServer> serveWith(const TestCertificate& certificate) {
  drav_test::ServerOptions options;
  options.certFile = certificate.certFile();
  options.keyFile = certificate.keyFile();
  auto server = std::make_unique<drav_test::HttpTestServer>(options);
  Reply reply;
  reply.body = "over tls";
  server->setDefaultReply(reply);
  return server;
}

AuthInfo trusting(const std::string& caFile, AuthInfo auth = AuthInfo()) {
  TlsPolicy tls;
  tls.caFile = caFile;
  return auth.tls(tls);
}

// What a call over TLS came to: the answer's body, or the refusal's message.
// `scheme` replaces the server's own.
std::string callOver(drav_test::ScriptedServer& server, const AuthInfo& auth, const std::string& scheme = "") {
  Url url(server.url("/bridge"));
  if (!scheme.empty()) url.scheme(scheme);
  DRAVBridgeProxy proxy("secure", url, auth);
  DRAVHttpRequestPtr request(proxy.createRequest());
  try {
    if (request->call("M", const_cast<char*>("abc"), 3, 0, false, StreamingNo, nullptr, 0) != 3)
      return "failed: " + request->failureText();
    return receiveAll(*request.get(), 100, 100);
  } catch (const UnknownCertAuthException& e) {
    return e.what();
  }
}

// The test SSL hook library (when it is on the search path) refusing every
// certificate for the length of a test: one attempt per call.
class RefusingSslHook {
public:
  RefusingSslHook() : hook_(LoadLibraryA("dravSsl")) { answer(0); }
  ~RefusingSslHook() {
    answer(1);
    if (hook_) FreeLibrary(hook_);
  }
  RefusingSslHook(const RefusingSslHook&) = delete;
  RefusingSslHook& operator=(const RefusingSslHook&) = delete;

private:
  void answer(unsigned char accept) {
    if (!hook_) return;
    if (FARPROC set = GetProcAddress(hook_, "sslHookSetAnswer"))
      reinterpret_cast<void (*)(unsigned char)>(reinterpret_cast<void (*)()>(set))(accept);
  }
  HMODULE hook_;
};

// The program-wide policy ("-DRAVssl_..." options) for the length of a test.
class ProgramPolicy {
public:
  explicit ProgramPolicy(const TlsPolicy& policy) {
    DRAVClientCore::instance().getAuthenticationInfo().setTlsPolicy(policy);
  }
  ~ProgramPolicy() { DRAVClientCore::instance().getAuthenticationInfo().setTlsPolicy(TlsPolicy()); }
  ProgramPolicy(const ProgramPolicy&) = delete;
  ProgramPolicy& operator=(const ProgramPolicy&) = delete;
};

TEST(TlsPolicy, ASelfSignedServerIsRefusedBeforeTheCredentialsLeave) {
  TestCertificate certificate;
  auto server = serveWith(certificate);
  dravtest::CaptureTrace trace(Annal::Error);
  const AuthInfo basic = AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthBasic);
  EXPECT_EQ(callOver(*server, basic), "Unknown Certificate Authority: " + server->hostPort() +
                                          ": TLS: certificate not trusted (self-signed or from an unknown "
                                          "authority; trust its authority with -DRAVssl_ca_file)");
  EXPECT_TRUE(trace.contains("request failed : ERROR_INTERNET_INVALID_CA"));
  EXPECT_TRUE(server->requests().empty()) << "nothing was sent, credentials least of all";

  DRAVBridgeProxy proxy("secure", Url(server->url("/bridge")), basic);
  DRAVHttpRequestPtr request(proxy.createRequest());
  std::vector<unsigned char> data;
  try {
    request->downloadResource(server->url("/resource"), data);
    ADD_FAILURE() << "the download went through";
  } catch (const HttpPostDataException& e) {
    EXPECT_EQ(e.getErrorCode(), static_cast<unsigned long>(ERROR_INTERNET_INVALID_CA));
    EXPECT_NE(std::string(e.what()).find(server->hostPort() + ": TLS: certificate not trusted"), std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(server->requests().empty());
}

TEST(TlsPolicy, ASingleSignOnLogonToAnUntrustedServerSendsNoPassword) {
  TestCertificate certificate;
  auto server = serveWith(certificate);
  DRAVBridgeProxy proxy("secure", Url(server->url("/bridge")),
                        AuthInfo().user("alice").pass("secret").ssoProvider("siteminder"));
  proxy.init();
  proxy.rootUrl() = Url(server->url("/logon"));
  DRAVHttpRequestPtr request(proxy.createRequest());
  try {
    request->call("M", const_cast<char*>("abc"), 3, 0, false, StreamingNo, nullptr, 0);
    ADD_FAILURE() << "the logon went through";
  } catch (const HttpPostDataException& e) {
    EXPECT_EQ(e.getErrorCode(), static_cast<unsigned long>(ERROR_INTERNET_INVALID_CA));
    EXPECT_NE(std::string(e.what()).find(server->hostPort() + ": TLS: certificate not trusted"), std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(server->requests().empty());
}

TEST(TlsPolicy, EachCertificateFaultIsNamedWithTheHostAndItsPort) {
  drav_test::TestAuthority authority;
  const TestCertificate selfSigned;
  const struct {
    std::unique_ptr<TestCertificate> certificate;
    const char* outcome;
  } cases[] = {
      {authority.issue("IP:127.0.0.1"), "over tls"},
      {authority.issue("DNS:elsewhere.example"), ": TLS: certificate name mismatch (it is not for this host)"},
      {authority.issue("IP:127.0.0.1", true), ": TLS: certificate expired or not yet valid"},
  };
  for (const auto& c : cases) {
    auto server = serveWith(*c.certificate);
    const std::string outcome = callOver(*server, trusting(authority.certFile()));
    if (std::string(c.outcome) == "over tls") EXPECT_EQ(outcome, c.outcome);
    else EXPECT_EQ(outcome, "Unknown Certificate Authority: " + server->hostPort() + c.outcome);
  }
  auto stranger = serveWith(selfSigned);
  EXPECT_NE(callOver(*stranger, trusting(authority.certFile())).find("certificate not trusted"), std::string::npos)
      << "the authority vouches for its own certificates only";
}

// What the TLS library found wrong is named, with the host, in one
// handshake per call: certificates whose key, digest, purpose or name is
// unfit, servers offering only an old protocol or no cipher in common, and
// a plain HTTP port.
TEST(TlsPolicy, EachTlsDefectIsNamedAsTheTlsLibraryFindsItAfterOneHandshake) {
  const RefusingSslHook refusing;  // else the test hook accepts, and a second handshake follows
  drav_test::TestAuthority authority;
  const std::string nulName = "DER:301982173132372e302e302e31002e6576696c2e6578616d706c65";  // "127.0.0.1\0.evil.example"
  drav_test::TestAuthority::Form weakKey, weakDigest, clientOnly;
  weakKey.rsaBits = 1024;
  weakDigest.digest = "sha1";
  clientOnly.extensions = "extendedKeyUsage=clientAuth";
  const struct {
    std::unique_ptr<TestCertificate> certificate;
    int maxProtocol;
    const char* ciphers;
    const char* outcome;
  } cases[] = {
      {authority.issue("IP:127.0.0.1", weakKey), 0, "DEFAULT@SECLEVEL=0", "key is too weak (key too small)"},
      {authority.issue("IP:127.0.0.1", weakDigest), 0, "DEFAULT@SECLEVEL=0", "too weak a digest (digest too weak"},
      {authority.issue("IP:127.0.0.1", clientOnly), 0, "", "not for a server (unsuitable purpose)"},
      {authority.issue(nulName), 0, "", "holds a NUL byte"},
      {authority.issue("IP:127.0.0.1"), TLS1_VERSION, "", "protocol version: TLS 1.1 or older"},
      {authority.issue("IP:127.0.0.1"), TLS1_2_VERSION, "NULL-SHA256", "no cipher in common (no shared cipher)"},
  };
  for (const auto& c : cases) {
    drav_test::ServerOptions options;
    options.certFile = c.certificate->certFile();
    options.keyFile = c.certificate->keyFile();
    options.maxProtocolVersion = c.maxProtocol;
    options.ciphers = c.ciphers;
    drav_test::HttpTestServer server(options);
    const std::string outcome = callOver(server, trusting(authority.certFile()));
    EXPECT_NE(outcome.find(server.hostPort() + ": TLS: "), std::string::npos) << outcome;
    EXPECT_NE(outcome.find(c.outcome), std::string::npos) << outcome;
    EXPECT_EQ(server.connectionsOpened(), 1u) << outcome;
    EXPECT_TRUE(server.requests().empty());
  }
  drav_test::HttpTestServer plain;
  const std::string outcome = callOver(plain, AuthInfo(), "https");
  EXPECT_EQ(outcome.find("failed: " + plain.hostPort() + ": TLS: the server "), 0u) << outcome;
  EXPECT_NE(outcome.find("(https to a plain http port?)"), std::string::npos) << outcome;
}

TEST(TlsPolicy, TheProgramsAuthoritiesAreTrustedWhereTheProxyNamesNone) {
  drav_test::TestAuthority authority, other;
  auto server = serveWith(*authority.issue("IP:127.0.0.1"));
  TlsPolicy program;
  program.caFile = authority.certFile();
  ProgramPolicy options(program);
  EXPECT_EQ(callOver(*server, AuthInfo()), "over tls");
  EXPECT_NE(callOver(*server, trusting(other.certFile())).find("not trusted"), std::string::npos)
      << "the proxy's own authority file replaces the program's";
}

// The authorities a caller names are trusted beside the system's, never
// instead of them, whether a file, a folder or both are named. The system's
// store is stood in for by SSL_CERT_FILE, where OpenSSL looks first.
TEST(TlsPolicy, NamedAuthoritiesAreTrustedBesideTheSystemsNotInsteadOfThem) {
  drav_test::TestAuthority system("drav test system authority"), named;
  const char* const before = std::getenv("SSL_CERT_FILE");
  const std::string saved = before ? before : "";
  setenv("SSL_CERT_FILE", system.certFile().c_str(), 1);
  auto systemServer = serveWith(*system.issue("IP:127.0.0.1"));
  auto namedServer = serveWith(*named.issue("IP:127.0.0.1"));
  TlsPolicy file, folder, both;
  file.caFile = both.caFile = named.certFile();
  folder.caFolder = both.caFolder = named.hashedFolder();
  for (const TlsPolicy& policy : {file, folder, both}) {
    SCOPED_TRACE("file '" + policy.caFile + "', folder '" + policy.caFolder + "'");
    EXPECT_EQ(callOver(*systemServer, AuthInfo().tls(policy)), "over tls") << "the system's authorities were dropped";
    EXPECT_EQ(callOver(*namedServer, AuthInfo().tls(policy)), "over tls");
  }
  if (before) setenv("SSL_CERT_FILE", saved.c_str(), 1);
  else unsetenv("SSL_CERT_FILE");
}

TEST(TlsPolicy, VerificationTurnedOffByTheProxyOrTheProgramAcceptsAnyCertificate) {
  const TestCertificate elsewhere("elsewhere.example", false);
  auto server = serveWith(elsewhere);
  TlsPolicy off;
  off.verify = false;
  EXPECT_EQ(callOver(*server, AuthInfo().tls(off)), "over tls");
  ProgramPolicy options(off);
  EXPECT_EQ(callOver(*server, AuthInfo()), "over tls");
}

TEST(TlsPolicy, AnUnreadableAuthorityFileFailsTheCallAndSaysSo) {
  TestCertificate certificate;
  auto server = serveWith(certificate);
  EXPECT_EQ(callOver(*server, trusting("/nonexistent/ca.pem")),
            "failed: " + server->hostPort() +
                ": TLS: the trusted authorities could not be read from the file /nonexistent/ca.pem "
                "(-DRAVssl_ca_file, -DRAVssl_ca_folder)");
}

// A scheme is case-insensitive: "HTTPS://" names the bridge's https origin,
// so a download from it must go over TLS before the credentials answer a
// challenge. A plain http listener on that port must never see them.
TEST(TlsPolicy, AnUpperCaseHttpsDownloadNeverSendsTheBridgesCredentialsInClear) {
  drav_test::HttpTestServer plain{drav_test::ServerOptions()};
  plain.requireAuth(drav_test::AuthScheme::Basic, "alice", "secret");
  const std::string origin = "127.0.0.1:" + std::to_string(plain.port());
  DRAVBridgeProxy proxy("secure", Url("https://" + origin + "/bridge"),
                        AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthNtlm));
  DRAVHttpRequestPtr request(proxy.createRequest());
  std::vector<unsigned char> data;
  try {
    request->downloadResource("HTTPS://" + origin + "/resource", data);
  } catch (const std::exception&) {
    // Refusing the download is fine; leaking the password is not.
  }
  for (const drav_test::RecordedRequest& seen : plain.requests())
    EXPECT_FALSE(seen.hasHeader("Authorization")) << "the password crossed the wire in clear";
}

// A bridge URL whose scheme is spelled "HTTPS://" asks for TLS all the same:
// the call must not fall back to plain http and answer a challenge there.
TEST(TlsPolicy, AnUpperCaseHttpsBridgeIsNeverCalledInClear) {
  drav_test::HttpTestServer plain{drav_test::ServerOptions()};
  plain.requireAuth(drav_test::AuthScheme::Basic, "alice", "secret");
  DRAVBridgeProxy proxy("secure", Url("HTTPS://127.0.0.1:" + std::to_string(plain.port()) + "/bridge"),
                        AuthInfo().user("alice").pass("secret").mode(AuthInfo::AuthBasic));
  DRAVHttpRequestPtr request(proxy.createRequest());
  try {
    request->call("M", const_cast<char*>("abc"), 3, 0, false, StreamingNo, nullptr, 0);
  } catch (const std::exception&) {
    // Refusing the call is fine; leaking the password is not.
  }
  EXPECT_TRUE(plain.requests().empty()) << "the call went out in clear";
  for (const drav_test::RecordedRequest& seen : plain.requests())
    EXPECT_FALSE(seen.hasHeader("Authorization")) << "the password crossed the wire in clear";
}

}  // namespace
}  // namespace transport_test

#endif  // _WIN32
