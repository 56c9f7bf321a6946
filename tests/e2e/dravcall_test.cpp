// dravcall as users run it, against the bridge host: what it prints, its
// exit status, files in and out, progress, single sign-on and a real HTTP
// proxy through the library's options.
#ifdef DRAVCALL_PROGRAM

#include "host_test_support.h"
#include "program_runner.h"
#include "temp_folder.h"

#include "support/http_test_server.h"
#include "support/raw_peer.h"
#include "support/proxy_test_tinyproxy.h"
#include "support/tls_test_certificate.h"

#include <drav/serialization/argument_list.h>
#include <drav/serialization/output_stream.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace e2e {
namespace {

using hosttest::kSamplePath;
using hosttest::SampleHost;
using hosttest::ssoTestSettings;
using hosttest::testSettings;

ProgramResult dravcall(std::vector<std::string> arguments) {
  return runProgram(DRAVCALL_PROGRAM, arguments, 60s);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Dravcall, PrintsEachResultAndThenTheStatus) {
  SampleHost host;
  const ProgramResult run = dravcall({host.url(), "sample", "echo", "int:5", "string:abc", "bool:true", "bin:0x0a0b"});
  EXPECT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ("0 Int 5\n1 String \"abc\"\n2 Bool true\n3 BinaryArray 2 bytes: 0A 0B\n"
            "status 0 \"no error detected\" (sample, echo)\n",
            run.out);
}

TEST(Dravcall, ItsExitStatusSaysHowTheCallEnded) {
  auto settings = testSettings();
  settings.user = "ann";
  settings.password = "pw";
  SampleHost host(settings);
  const std::vector<std::string> credentials = {"-DRAVhttp_auth_mode", "basic", "-DRAVhttp_auth_user", "ann",
                                                "-DRAVhttp_auth_pwd", "pw"};
  auto with = [&](std::vector<std::string> words) {
    words.insert(words.begin(), credentials.begin(), credentials.end());
    return words;
  };
  const struct {
    std::vector<std::string> arguments;
    int exitCode;
    const char* says;  // in standard output or standard error
  } cases[] = {
      {with({host.url(), "sample", "sum", "int:2", "double:0.5"}), 0, "0 Double 2.5"},
      {with({host.url(), "sample", "missing"}), 1, "status 1 \"unknown method 'missing'"},
      {with({host.url(), "sample", "echo", "int:x"}), 2, "bad value"},
      {{host.url(), "sample"}, 2, "needs a URL, a bridge name and a method name"},
      {{"--streaming", "SIDEWAYS", host.url(), "sample", "echo"}, 2, "NO, IN, OUT or INOUT"},
      {{host.url(), "sample", "echo"}, 3, ": the server refused the credentials (HTTP 401)"},
      {with({host.url("/elsewhere"), "sample", "echo"}), 3, "the host answered HTTP 404: no bridge at /elsewhere"},
      {with({host.url(), "smaple", "echo"}), 3,
       "the host answered HTTP 404: the bridge at /bridges/sample is sample, not smaple"},
      {with({"--extra-blob", "/nonexistent/blob", host.url(), "sample", "echo"}), 3, "cannot read /nonexistent/blob"},
      {{"--help"}, 0, "Usage: dravcall"},
  };
  for (const auto& c : cases) {
    const ProgramResult run = dravcall(c.arguments);
    EXPECT_EQ(c.exitCode, run.exitCode) << c.says << "\n" << run.out << run.err;
    EXPECT_NE(std::string::npos, (run.out + run.err).find(c.says)) << run.out << run.err;
  }
}

// Each failure a user can cause ends in one line of standard error that
// names the host, its port and the reason; the retries stay out of sight.
TEST(Dravcall, ATransportFailureEndsInOneLineNamingHostPortAndReason) {
  SampleHost plain;
  int closedPort = 0;
  {
    SampleHost closed;  // a port that was free a moment ago
    closedPort = closed.port();
  }
  const std::string closedUrl = "http://127.0.0.1:" + std::to_string(closedPort) + kSamplePath;
  const std::string httpsToPlain = "https://127.0.0.1:" + std::to_string(plain.port()) + kSamplePath;
  const struct {
    std::string url;
    std::string line;
  } cases[] = {
      {closedUrl, "127.0.0.1:" + std::to_string(closedPort) + ": connection refused (is the host listening on that port?)"},
      {"http://nothing.invalid:8080/x", "nothing.invalid:8080: name not resolved"},
      {httpsToPlain, "127.0.0.1:" + std::to_string(plain.port()) + ": TLS: the server does not speak TLS (https to a plain http port?)"},
  };
  for (const auto& c : cases) {
    const ProgramResult run = dravcall({c.url, "sample", "echo"});
    EXPECT_EQ(3, run.exitCode) << c.url;
    EXPECT_EQ(run.err, "dravcall: the call to " + c.url + " failed: " + c.line + "\n");
  }
  const ProgramResult traced = dravcall({"--trace", "error", closedUrl, "sample", "echo"});
  EXPECT_NE(std::string::npos, traced.err.find("[Error] request send : unable to send data")) << "asked for: shown";
}

// An answer whole by its own form whose HTTP body ends before its length:
// its reading failed, and so does the command.
TEST(Dravcall, AnAnswerCutOffFailsTheCommand) {
  using drav_test::RawPeer;
  DRAVDataOutputStream out;
  DRAVArgs().writeObject(out);
  for (const char* text : {"peer", "call", ""}) out.writeString(text);
  out.writeLong(0);
  const std::string answer(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
  RawPeer peer([&](int socket, unsigned) {
    if (RawPeer::readRequest(socket).empty()) return;
    RawPeer::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size() + 1) + "\r\n\r\n" +
                                 answer);
  });
  const ProgramResult run = dravcall({peer.url(kSamplePath), "sample", "echo"});
  EXPECT_EQ(3, run.exitCode) << run.out;
  EXPECT_NE(std::string::npos,
            run.err.find("the answer was cut off after " + std::to_string(answer.size()) + " bytes: 127.0.0.1:"))
      << run.err;
}

// A host that answers with an error page chooses its text: dravcall passes
// it on, but as one line a terminal prints as it is, without the host's
// escape sequences, bells or line breaks.
TEST(Dravcall, AHostileErrorPageReachesStandardErrorAsOnePrintableLine) {
  drav_test::HttpTestServer server{drav_test::ServerOptions()};
  drav_test::Reply page;
  page.status = 500;
  page.body = "\x1b]2;owned\x07\x1b[2J\rdravcall: the call went through\nstatus 0\x1b[8m";
  server.setDefaultReply(page);
  const ProgramResult run = dravcall({server.url("/bridge"), "sample", "echo"});
  EXPECT_EQ(3, run.exitCode);
  EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
  EXPECT_EQ(0, std::count_if(run.err.begin(), run.err.end(),
                             [](char c) { return c != '\n' && (static_cast<unsigned char>(c) < 0x20 || c == 0x7f); }))
      << run.err;
}

TEST(Dravcall, SavesAStreamedValueInAFileAndSendsAFileAsExtraBlob) {
  SampleHost host;
  TempFolder folder;
  const ProgramResult generated = dravcall({"--streaming", "OUT", "--output", folder.file("value.bin"), host.url(),
                                            "sample", "generateBinary", "ulong:300000", "int:2"});
  ASSERT_EQ(0, generated.exitCode) << generated.err;
  EXPECT_EQ("0 BinaryArray 300000 bytes saved in " + folder.file("value.bin") +
                "\nstatus 0 \"no error detected\" (sample, generateBinary)\n",
            generated.out);
  const std::string value = readFile(folder.file("value.bin"));
  ASSERT_EQ(300000u, value.size());
  for (std::size_t i = 0; i < value.size(); i += 997)
    ASSERT_EQ(DRAVHost::SampleBridge::patternByte(i, 2), static_cast<unsigned char>(value[i])) << i;

  const ProgramResult summed = dravcall({"--extra-blob", folder.file("value.bin"), "--chunk-size", "8192", host.url(),
                                         "sample", "checksumExtraBlob"});
  ASSERT_EQ(0, summed.exitCode) << summed.err;
  const uLong crc = crc32(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(value.data()), static_cast<uInt>(value.size()));
  EXPECT_EQ("0 ULong 300000\n1 ULong " + std::to_string(crc) + "\n", summed.out.substr(0, summed.out.find("status")));

  const ProgramResult listed = dravcall({"--output", folder.file("listed.bin"), host.url(), "sample", "generateBinary",
                                         "int:1000"});
  ASSERT_EQ(0, listed.exitCode) << listed.err;
  EXPECT_EQ("0 BinaryArray 1000 bytes saved in " + folder.file("listed.bin") +
                "\nstatus 0 \"no error detected\" (sample, generateBinary)\n",
            listed.out);
  std::string expected(1000, '\0');
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<char>(DRAVHost::SampleBridge::patternByte(i, 0));
  EXPECT_EQ(expected, readFile(folder.file("listed.bin"))) << "the first binary result of a list";
}

TEST(Dravcall, OutputSavesTheFirstBinaryResultInsteadOfPrintingIt) {
  SampleHost host;
  TempFolder folder;
  const ProgramResult mixed =
      dravcall({"--output", folder.file("first.bin"), host.url(), "sample", "echo", "int:7", "bin:0x0102", "bin:0x03"});
  ASSERT_EQ(0, mixed.exitCode) << mixed.err;
  EXPECT_EQ("0 Int 7\n1 BinaryArray 2 bytes saved in " + folder.file("first.bin") +
                "\n2 BinaryArray 1 bytes: 03\nstatus 0 \"no error detected\" (sample, echo)\n",
            mixed.out);
  EXPECT_EQ(std::string("\x01\x02"), readFile(folder.file("first.bin")));

  const ProgramResult none = dravcall({"--output", folder.file("none.bin"), host.url(), "sample", "echo", "int:1"});
  EXPECT_EQ(3, none.exitCode);
  EXPECT_EQ("0 Int 1\n", none.out);
  EXPECT_EQ("dravcall: no binary result to save in " + folder.file("none.bin") + "\n", none.err);
}

TEST(Dravcall, AnAnswerOverTheDecodeBudgetIsRefusedNamingTheOption) {
  SampleHost host;
  TempFolder folder;
  {
    std::ofstream value(folder.file("value.bin"), std::ios::binary);
    value << std::string(1000000, 'z');
  }
  const std::vector<std::string> call = {host.url(), "sample", "echo", "bin:@" + folder.file("value.bin")};
  std::vector<std::string> tight = {"--decode-budget", "999999"};
  tight.insert(tight.end(), call.begin(), call.end());
  const ProgramResult refused = dravcall(tight);
  EXPECT_EQ(3, refused.exitCode);
  EXPECT_EQ("", refused.out);
  EXPECT_EQ("dravcall: decoding the answer goes over the budget of 999999 bytes (--decode-budget to raise it)\n",
            refused.err);
  const ProgramResult defaults = dravcall(call);
  EXPECT_EQ(0, defaults.exitCode) << defaults.err;
  EXPECT_EQ(0u, defaults.out.find("0 BinaryArray 1000000 bytes: 7A")) << defaults.out;
}

// A hostile host's text reaches the terminal with its control characters
// escaped: the status record's fields, and the description --describe prints.
TEST(Dravcall, PrintsWhatAHostileHostSaysWithoutItsControlCharacters) {
  DRAVArgs text;
  text.addArg(std::string("greet(String) -> ()\n\x1b]0;owned\x07\n"));
  DRAVDataOutputStream status;
  status.writeString("\x1b[2Jbridge");
  status.writeString("method\x1b[1A");
  status.writeString("it said \x1b[31m\"no\"");
  status.writeLong(0);
  drav_test::HttpTestServer server;
  drav_test::Reply answer;
  answer.body = hosttest::encodeArgs(text) +
                std::string(reinterpret_cast<const char*>(status.getBuffer(1)), status.size() - 1);
  server.setDefaultReply(answer);

  for (const std::vector<std::string>& words :
       {std::vector<std::string>{server.url("/bridges/b"), "b", "m"}, {server.url("/bridges/b"), "--describe"}}) {
    const ProgramResult run = dravcall(words);
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(std::string::npos, run.out.find('\x1b')) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find('\x07')) << run.out;
  }
}

TEST(Dravcall, ShowsProgressOfLargeTransfersWhenAsked) {
  SampleHost host;
  TempFolder folder;
  {
    std::ofstream blob(folder.file("blob.bin"), std::ios::binary);
    blob << std::string(2 * 1024 * 1024, 'p');
  }
  const ProgramResult up = dravcall({"--progress", "--extra-blob", folder.file("blob.bin"), "--chunk-size", "65536",
                                     host.url(), "sample", "checksumExtraBlob"});
  EXPECT_EQ(0, up.exitCode) << up.err;
  EXPECT_NE(std::string::npos, up.err.find("upload   [####################] 100%")) << up.err;
  const ProgramResult down = dravcall({"--progress", "--streaming", "OUT", "--output", folder.file("out.bin"),
                                       host.url(), "sample", "generateBinary", "int:2000000"});
  EXPECT_EQ(0, down.exitCode) << down.err;
  EXPECT_NE(std::string::npos, down.err.find("download [####################] 100%")) << down.err;
  const ProgramResult quiet = dravcall({host.url(), "sample", "echo"});
  EXPECT_EQ("", quiet.err) << "no progress line when standard error is no terminal";
}

TEST(Dravcall, SignsOnAtTheHostsLogonWhenAsked) {
  const auto settings = ssoTestSettings();
  SampleHost host(settings);
  const ProgramResult refused = dravcall({host.url(), "sample", "echo"});
  EXPECT_EQ(3, refused.exitCode);
  EXPECT_NE(std::string::npos, refused.err.find("HTTP 403")) << refused.err;
  const ProgramResult signedOn = dravcall({"--sso", "--root-url", host.url("/logon"), "-DRAVhttp_auth_user", "sam",
                                           "-DRAVhttp_auth_pwd", "pw", host.url(), "sample", "echo", "int:1"});
  EXPECT_EQ(0, signedOn.exitCode) << signedOn.err;
  EXPECT_EQ(1u, host.host().ssoSessionCount());
}

TEST(Dravcall, AFailedSignOnEndsTheCommandWithoutMakingTheCall) {
  auto settings = ssoTestSettings();
  settings.sso.requiredForBridges = false;  // a call without the session would be served
  SampleHost host(settings);
  const ProgramResult run = dravcall({"--sso", "--root-url", host.url("/logon"), "-DRAVhttp_auth_user", "sam",
                                      "-DRAVhttp_auth_pwd", "wrong", host.url(), "sample", "echo", "int:1"});
  EXPECT_EQ(3, run.exitCode);
  EXPECT_EQ("", run.out) << "no call, no results";
  EXPECT_NE(std::string::npos, run.err.find("dravcall: single sign-on at " + host.url("/logon") +
                                            " failed, no call made: HTTP Request Send failed: 127.0.0.1:" +
                                            std::to_string(host.port()) + ": the sign-on at /logon answered HTTP 401"))
      << run.err;
  EXPECT_NE(std::string::npos, run.err.find("-DRAVhttp_auth_pwd")) << run.err;
  EXPECT_EQ(0u, host.host().ssoSessionCount());
  EXPECT_EQ(1u, host.host().statistics().requestsServed) << "the logon only";
}

// A dravbridge asking both: [basic_auth] of every call, [sso] of the logon
// (its session required). The sign-on's credentials go to the logon only;
// a call needs the Basic credentials as well, given beside the sign-on's.
TEST(Dravcall, SignOnAndBasicCredentialsEachGoWhereTheyBelong) {
  TempFolder folder;
  const std::string config = folder.file("both.toml");
  std::ofstream(config) << "[basic_auth]\nuser = \"caller\"\npassword = \"c\"\n"
                        << "[sso]\nuser = \"sam\"\npassword = \"pw\"\npath = \"/logon\"\nrequired = true\n";
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--port", "0", "--config", config});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port) << host.stop().err;
  const std::string base = "http://127.0.0.1:" + port;
  const std::vector<std::string> call = {base + "/bridges/sample", "sample", "echo", "int:7"};
  const auto run = [&](std::vector<std::string> options) {
    options.insert(options.end(), call.begin(), call.end());
    return dravcall(options);
  };
  const ProgramResult signOnOnly = run({"--sso", "--root-url", base + "/logon", "-DRAVhttp_auth_user", "sam",
                                        "-DRAVhttp_auth_pwd", "pw", "-DRAVhttp_auth_mode", "basic"});
  EXPECT_EQ(3, signOnOnly.exitCode) << signOnOnly.err;
  EXPECT_NE(std::string::npos, signOnOnly.err.find("401")) << signOnOnly.err;
  const ProgramResult both = run({"--sso-user", "sam", "--sso-password", "pw", "--root-url", base + "/logon",
                                  "-DRAVhttp_auth_user", "caller", "-DRAVhttp_auth_pwd", "c", "-DRAVhttp_auth_mode",
                                  "basic"});
  EXPECT_EQ(0, both.exitCode) << both.err;
  EXPECT_NE(std::string::npos, both.out.find("7")) << both.out;
  const ProgramResult wrong = run({"--sso-user", "sam", "--sso-password", "bad", "--root-url", base + "/logon",
                                   "-DRAVhttp_auth_user", "caller", "-DRAVhttp_auth_pwd", "c", "-DRAVhttp_auth_mode",
                                   "basic"});
  EXPECT_EQ(3, wrong.exitCode);
  EXPECT_NE(std::string::npos, wrong.err.find("the sign-on at /logon answered HTTP 401: ")) << wrong.err;
  EXPECT_NE(std::string::npos, wrong.err.find("--sso-password")) << wrong.err;
}

// Only a cookie named SMSESSION is a session: a refusing logon may well set
// another cookie whose name holds the word, and that is no sign-on.
TEST(Dravcall, AnotherCookieNamedLikeTheSessionIsNoSignOn) {
  drav_test::HttpTestServer logon;
  drav_test::Reply refusal;
  refusal.status = 401;
  refusal.header("Set-Cookie", "LAST_SMSESSION=expired; Path=/");
  logon.setDefaultReply(refusal);
  const ProgramResult run = dravcall({"--sso", "--root-url", logon.url("/logon"), "-DRAVhttp_auth_user", "sam",
                                      "-DRAVhttp_auth_pwd", "wrong", logon.url("/bridges/sample"), "sample", "echo",
                                      "int:1"});
  EXPECT_EQ(3, run.exitCode);
  EXPECT_NE(std::string::npos, run.err.find("failed, no call made: HTTP Request Send failed: ")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find("answered HTTP 401")) << run.err;
  EXPECT_EQ(1u, logon.requests().size()) << "the logon only";
}

// The DRAVArgs-Size the call's header block carried, from the progress trace.
unsigned long postedArgsSize(const std::string& trace) {
  const std::size_t at = trace.find("DRAVArgs-Size: ");
  return at == std::string::npos ? 0 : std::stoul(trace.substr(at + 15));
}

TEST(Dravcall, TheLibrarysOptionsSetTheCompressionThreshold) {
  SampleHost host;
  TempFolder folder;
  {
    std::ofstream value(folder.file("value.bin"), std::ios::binary);
    value << std::string(100000, 'z');
  }
  const std::string word = "bin:@" + folder.file("value.bin");
  const ProgramResult compressed = dravcall({"--trace", "progress", host.url(), "sample", "echo", word});
  const ProgramResult plain =
      dravcall({"-DRAVgzip_threshold", "200000", "--trace", "progress", host.url(), "sample", "echo", word});
  ASSERT_EQ(0, compressed.exitCode) << compressed.err;
  ASSERT_EQ(0, plain.exitCode) << plain.err;
  EXPECT_LT(postedArgsSize(compressed.err), 1000u) << "at the default threshold the value is compressed";
  EXPECT_GT(postedArgsSize(plain.err), 100000u) << "below a raised threshold it goes plain";
  EXPECT_EQ(compressed.out, plain.out);
  const ProgramResult forbidden =
      dravcall({"-DRAVgzip_mode", "never", "--trace", "progress", host.url(), "sample", "echo", word});
  ASSERT_EQ(0, forbidden.exitCode) << forbidden.err;
  EXPECT_GT(postedArgsSize(forbidden.err), 100000u) << "compression forbidden, the value goes plain";
}

TEST(Dravcall, ARequestTimeoutFromTheOptionsEndsACallNobodyAnswers) {
  // A socket that listens and never answers: connections complete, requests go unread.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(listener, 16));
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + kSamplePath;
  const auto start = std::chrono::steady_clock::now();
  const ProgramResult run = dravcall({"-DRAVreq_timeout", "300", url, "sample", "echo"});
  close(listener);
  EXPECT_EQ(3, run.exitCode) << run.err;
  // Sent, and no answer: it may have run, and is not sent again.
  EXPECT_NE(std::string::npos, run.err.find("Call may have run: 127.0.0.1:")) << run.err;
  EXPECT_NE(std::string::npos, run.err.find(": timed out after 0.3 s")) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "not the transport's five-minute default";
}

// Clears the proxy exceptions of the environment the programs inherit.
class NoProxyExceptions {
public:
  NoProxyExceptions() {
    for (const char* name : {"no_proxy", "NO_PROXY", "http_proxy", "HTTP_PROXY"}) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
      unsetenv(name);
    }
  }
  ~NoProxyExceptions() {
    for (const auto& s : saved_) setenv(s.first.c_str(), s.second.c_str(), 1);
  }

private:
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST(Dravcall, GoesThroughAnHttpProxyTheOptionsName) {
  std::string why;
  auto proxy = drav_test::TestProxy::open(why);
  if (!proxy) GTEST_SKIP() << why;
  NoProxyExceptions environment;
  SampleHost host;
  const std::vector<std::string> call = {"-DRAVproxy_host", proxy->host(), "-DRAVproxy_port",
                                         std::to_string(proxy->port()), host.url(), "sample", "echo", "int:3"};
  const ProgramResult withoutCredentials = dravcall(call);
  EXPECT_EQ(3, withoutCredentials.exitCode) << withoutCredentials.out;
  EXPECT_NE(std::string::npos, withoutCredentials.err.find(": the proxy refused the credentials (HTTP 407)\n"))
      << withoutCredentials.err;

  std::vector<std::string> accepted = {"-DRAVproxy_user", drav_test::kProxyUser, "-DRAVproxy_pwd",
                                       drav_test::kProxyPassword};
  accepted.insert(accepted.end(), call.begin(), call.end());
  const ProgramResult through = dravcall(accepted);
  EXPECT_EQ(0, through.exitCode) << through.err;
  EXPECT_EQ(0u, through.out.find("0 Int 3\n")) << through.out;
}

// https is verified: a host whose authority dravcall does not know is
// refused by name, and the library's options trust it (or, in a test setup,
// turn the check off).
TEST(Dravcall, AnHttpsHostIsVerifiedAndTheTlsOptionsTrustItsAuthority) {
  drav_test::TestAuthority authority;
  std::unique_ptr<drav_test::TestCertificate> certificate = authority.issue("IP:127.0.0.1");
  auto settings = testSettings();
  settings.certFile = certificate->certFile();
  settings.keyFile = certificate->keyFile();
  SampleHost host(settings);
  const std::string where = "127.0.0.1:" + std::to_string(host.port());
  const ProgramResult refused = dravcall({host.url(), "sample", "echo", "int:5"});
  EXPECT_EQ(3, refused.exitCode);
  EXPECT_EQ(refused.err, "dravcall: the call failed: Unknown Certificate Authority: " + where +
                             ": TLS: certificate not trusted (self-signed or from an unknown authority; trust its "
                             "authority with -DRAVssl_ca_file)\n");
  for (const std::vector<std::string>& trust :
       {std::vector<std::string>{"-DRAVssl_ca_file", authority.certFile()},
        std::vector<std::string>{"-DRAVssl_ca_folder", authority.hashedFolder()},
        std::vector<std::string>{"-DRAVssl_verify", "off"}}) {
    std::vector<std::string> words = trust;
    words.insert(words.end(), {host.url(), "sample", "echo", "int:5"});
    const ProgramResult run = dravcall(words);
    EXPECT_EQ(0, run.exitCode) << trust[0] << ": " << run.err;
    EXPECT_EQ("0 Int 5\n", run.out.substr(0, run.out.find("status"))) << trust[0];
  }
}

// The URL dravbridge prints for an IPv6 address is one dravcall calls.
TEST(Dravcall, CallsADravbridgeListeningOnIpv6Loopback) {
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--address", "::1", "--port", "0"});
  const std::string url = host.waitForLine("dravbridge: sample bridge at ");
  if (url.empty()) {
    const ProgramResult stopped = host.stop();
    if (stopped.err.find("::1") != std::string::npos) GTEST_SKIP() << "no IPv6 here: " << stopped.err;
    FAIL() << "dravbridge did not start: " << stopped.err;
  }
  ASSERT_EQ(0u, url.rfind("http://[::1]:", 0)) << url;
  const ProgramResult run = dravcall({url, "sample", "echo", "int:6", "string:v6"});
  EXPECT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ("0 Int 6\n1 String \"v6\"\nstatus 0 \"no error detected\" (sample, echo)\n", run.out);
  const std::string closed = "http://[::1]:1" + std::string(kSamplePath);
  const ProgramResult refused = dravcall({closed, "sample", "echo"});
  EXPECT_EQ("dravcall: the call to " + closed + " failed: [::1]:1: connection refused (is the host listening on that port?)\n",
            refused.err);
}

}  // namespace
}  // namespace e2e

#endif
