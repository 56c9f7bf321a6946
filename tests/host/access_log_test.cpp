// The access log and the health route: the exact line, escaping of what a
// client sends, the client's address behind a trusted proxy only, and
// GET /healthz.
#include "host_test_support.h"

#include "host/server/access_log.h"
#include "host/server/forwarded_client.h"

#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/invocation_status.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace hosttest {
namespace {

TEST(AccessLog, ALineCarriesEveryFieldWithWhatTheClientSentEscaped) {
  DRAVHost::AccessEntry entry;
  entry.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796660598123));
  entry.client = "10.0.0.7";
  entry.path = "/bridges/sample";
  entry.methodName = "echo\n2026-12-07T00:00:00.000Z 1.2.3.4 \"x\\";
  entry.status = 200;
  entry.invocationStatus = 2;
  entry.bytesIn = 11;
  entry.bytesOut = 345;
  entry.duration = std::chrono::milliseconds(12);
  EXPECT_EQ("2026-12-07T16:23:18.123Z 10.0.0.7 \"/bridges/sample\" "
            "\"echo\\x0A2026-12-07T00:00:00.000Z 1.2.3.4 \\\"x\\\\\" 200 2 11 345 12\n",
            DRAVHost::accessLine(entry));

  entry.methodName.clear();
  entry.invocationStatus.reset();
  entry.path = "/a\rb\x7f\xc3";
  EXPECT_EQ("2026-12-07T16:23:18.123Z 10.0.0.7 \"/a\\x0Db\\x7F\\xC3\" - 200 - 11 345 12\n",
            DRAVHost::accessLine(entry));
}

TEST(AccessLog, AFieldIsCutAtItsLimitAfterAWholeCharacterAndSaysSo) {
  using DRAVHost::escapeLogField;
  using DRAVHost::kLogFieldLimit;
  // Up to the limit a field is whole; one character more and it ends in the mark.
  EXPECT_EQ(std::string(kLogFieldLimit, 'a'), escapeLogField(std::string(kLogFieldLimit, 'a')));
  EXPECT_EQ(std::string(kLogFieldLimit - 4, 'a') + "\\...", escapeLogField(std::string(kLogFieldLimit + 1, 'a')));
  const std::string wholeEscapes = std::string(kLogFieldLimit - 4, 'a') + "\\xFF";
  EXPECT_EQ(wholeEscapes, escapeLogField(std::string(kLogFieldLimit - 4, 'a') + "\xff"));
  // An escape is never split: \xFF that would reach past the room before the mark goes whole.
  const std::string cut = escapeLogField(std::string(kLogFieldLimit - 6, 'a') + std::string(100, '\xff'));
  EXPECT_EQ(std::string(kLogFieldLimit - 6, 'a') + "\\...", cut);
  const std::string quotes = escapeLogField(std::string(1000, '"'));
  EXPECT_EQ(kLogFieldLimit, quotes.size());
  EXPECT_EQ("\\\"\\...", quotes.substr(quotes.size() - 6));

  // Every field at its worst still makes a line within the bound.
  DRAVHost::AccessEntry entry;
  entry.client = std::string(16384, '\xff');
  entry.path = entry.client;
  entry.methodName = entry.client;
  entry.status = 200;
  entry.invocationStatus = std::numeric_limits<long>::min();
  entry.bytesIn = entry.bytesOut = std::numeric_limits<std::uint64_t>::max();
  entry.duration = std::chrono::milliseconds::max();
  EXPECT_LE(DRAVHost::accessLine(entry).size(), DRAVHost::kAccessLineLimit);
}

TEST(AccessLog, AnUnwritableDestinationIsRefusedByName) {
  DRAVHost::HostSettings settings = testSettings();
  settings.accessLog = "/nonexistent-folder/access.log";
  try {
    DRAVHost::BridgeHost host(settings);
    FAIL() << "the host started without its access log";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("cannot open the access log /nonexistent-folder/access.log: No such file or directory",
              std::string(e.what()));
  }
  settings.accessLog.clear();
  settings.trustedProxies = {"127.0.0.2", "proxy.example"};
  try {
    DRAVHost::BridgeHost host(settings);
    FAIL() << "the host took a proxy name for an address";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ("trusted proxy 'proxy.example' is not an IP address", std::string(e.what()));
  }
}

std::string fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits (at most 2 s) for the log to hold `count` lines: a line is written
// just after its answer went out.
std::vector<std::string> awaitLines(const std::string& path, std::size_t count) {
  std::vector<std::string> lines;
  for (int i = 0; i < 200 && (lines = linesOf(fileText(path))).size() < count; ++i)
    std::this_thread::sleep_for(10ms);
  return lines;
}

std::string oneIntArgs() {
  DRAVArgs args;
  args.addArg(42);
  return encodeArgs(args);
}

TEST(AccessLog, LogsEachRequestWithTheClientAProxyWeTrustNames) {
  const std::string path = "/tmp/drav_access_" + std::to_string(getpid()) + ".log";
  std::remove(path.c_str());
  DRAVHost::HostSettings settings = testSettings();
  settings.accessLog = path;
  settings.trustedProxies = {"127.0.0.2", "127.0.0.3"};
  const std::string args = oneIntArgs();
  {
    SampleHost host(settings);
    const struct {
      const char* from;
      std::string headers;
    } calls[] = {
        {"127.0.0.1", "X-Forwarded-For: 6.6.6.6\r\nX-Real-IP: 6.6.6.7\r\n"},     // not a proxy we trust
        {"127.0.0.2", "X-Forwarded-For: 6.6.6.6, 10.1.2.3\r\n"},                  // the last entry is the client
        {"127.0.0.2", "X-Forwarded-For: 10.1.2.3, 127.0.0.3\r\nX-Real-IP: 9.9.9.9\r\n"},  // a chain of proxies
        {"127.0.0.2", "X-Real-IP: 10.4.5.6\r\n"},
        {"127.0.0.2", "X-Forwarded-For: 10.1.2.3, <script>\r\n"},                 // garbage: the proxy itself
    };
    for (const auto& c : calls) {
      RawClient client(host.port(), c.from);
      client.send(callRequest("echo", args, 0, c.headers));
      ASSERT_EQ(200, client.readReply().status);
      awaitLines(path, &c - calls + 1);
    }
    RawClient client(host.port());
    client.send(callRequest("no\"such\xc3", args));
    ASSERT_EQ(200, client.readReply().status);
    client.send("GET /nowhere HTTP/1.1\r\nHost: h\r\n\r\n");
    ASSERT_EQ(404, client.readReply().status);
  }
  const std::vector<std::string> lines = awaitLines(path, 7);
  std::remove(path.c_str());
  ASSERT_EQ(7u, lines.size());
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";
  const std::string echo = R"( "/bridges/sample" "echo" 200 0 11 \d{3} \d+)";
  const char* const clients[] = {"127.0.0.1", "10.1.2.3", "10.1.2.3", "10.4.5.6", "127.0.0.2"};
  for (std::size_t i = 0; i < 5; ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(time + clients[i] + echo))) << lines[i];
  EXPECT_TRUE(std::regex_match(
      lines[5], std::regex(time + R"(127\.0\.0\.1 "/bridges/sample" "no\\"such\\xC3" 200 1 11 \d+ \d+)")))
      << lines[5];
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(time + R"(127\.0\.0\.1 "/nowhere" - 404 - 0 \d+ \d+)")))
      << lines[6];
}

// Writes status 0 with buffering on, then refuses the call: what goes out is
// the host's answer, not the status.
class StatusThenRefusal : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch* response) override {
    DRAVHelpers::IIS::ResponseWrapper writer(response);
    DRAVHelpers::IIS::IResponse* page = nullptr;
    ASSERT_EQ(S_OK, response->QueryInterface(DRAVHelpers::IIS::IID_IResponse, reinterpret_cast<void**>(&page)));
    page->put_Buffer(VARIANT_TRUE);
    page->Release();
    DRAVInvocation::Bridge::Status status;
    ASSERT_TRUE(writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())));
    throw DRAVHost::HttpError(409, "refused after all");
  }
};

TEST(AccessLog, NamesOnlyTheStatusOfAnAnswerTheBridgeCompleted) {
  const std::string path = "/tmp/drav_access_refused_" + std::to_string(getpid()) + ".log";
  std::remove(path.c_str());
  DRAVHost::HostSettings settings = testSettings();
  settings.accessLog = path;
  {
    DRAVHost::BridgeHost host(settings);
    host.addBridge("/refuse", std::make_shared<StatusThenRefusal>());
    host.start();
    RawClient client(host.port());
    client.send(callRequest("m", "", 0, "", "/refuse"));
    EXPECT_EQ(409, client.readReply().status);
    awaitLines(path, 1);
  }
  const std::vector<std::string> lines = linesOf(fileText(path));
  std::remove(path.c_str());
  ASSERT_EQ(1u, lines.size());
  EXPECT_TRUE(std::regex_search(lines[0], std::regex(R"( "/refuse" "m" 409 - 0 \d+ \d+$)"))) << lines[0];
}

// The first copy of a forwarding header is whatever the client wrote; the
// trusted proxies appended what follows it.
TEST(ForwardedClient, IsTheNearestAddressNoTrustedProxyWroteAcrossEveryLine) {
  const auto trusted = DRAVHost::parseTrustedProxies({"10.0.0.1", "10.0.0.2", "::1"});
  const auto address = [](const char* text) { return boost::asio::ip::make_address(text); };
  const struct {
    const char* peer;
    std::vector<std::pair<std::string, std::string>> fields;
    const char* client;
  } cases[] = {
      {"10.0.0.1", {{"X-Forwarded-For", "6.6.6.6"}, {"X-Forwarded-For", "192.0.2.7"}}, "192.0.2.7"},
      {"10.0.0.1", {{"x-forwarded-for", "6.6.6.6, 192.0.2.7"}, {"X-Forwarded-For", "10.0.0.2"}}, "192.0.2.7"},
      {"10.0.0.1", {{"X-Forwarded-For", "192.0.2.7"}, {"Via", "x"}, {"X-Forwarded-For", "10.0.0.2, ::1"}},
       "192.0.2.7"},
      {"10.0.0.1", {{"X-Forwarded-For", "10.0.0.2"}, {"X-Forwarded-For", "::1"}}, "10.0.0.2"},  // all trusted
      {"10.0.0.1", {{"X-Forwarded-For", "192.0.2.7, bogus"}, {"X-Forwarded-For", "10.0.0.2"}}, "10.0.0.2"},
      {"10.0.0.1", {{"X-Forwarded-For", "bogus"}, {"X-Real-IP", "6.6.6.6"}, {"X-Real-IP", "192.0.2.8"}}, "192.0.2.8"},
      {"10.0.0.1", {{"X-Real-IP", "192.0.2.8"}, {"X-Real-IP", "bogus"}}, "10.0.0.1"},
      {"::ffff:10.0.0.1", {{"X-Forwarded-For", "::ffff:192.0.2.9"}}, "192.0.2.9"},
      {"::ffff:192.0.2.1", {{"X-Forwarded-For", "6.6.6.6"}}, "192.0.2.1"},  // no proxy we trust
      {"::1", {{"X-Forwarded-For", " 2001:db8::5 "}}, "2001:db8::5"},
      // Some proxies write the port they were reached from.
      {"10.0.0.1", {{"X-Forwarded-For", "6.6.6.6:1, 192.0.2.7:5678, 10.0.0.2:443"}}, "192.0.2.7"},
      {"10.0.0.1", {{"X-Forwarded-For", "[2001:db8::5]:80, [::1]:8080, [::1]"}}, "2001:db8::5"},
      {"10.0.0.1", {{"X-Forwarded-For", "192.0.2.7, 10.0.0.2:x"}}, "10.0.0.1"},
      {"10.0.0.1", {{"X-Forwarded-For", "192.0.2.7, [10.0.0.2]:80:80"}}, "10.0.0.1"},
  };
  for (const auto& c : cases) {
    DRAVHost::RequestHead head;
    head.fields = c.fields;
    SCOPED_TRACE(c.peer + std::string(" ") + c.fields[0].second);
    EXPECT_EQ(c.client, DRAVHost::forwardedClient(address(c.peer), head, trusted).to_string());
  }
  DRAVHost::RequestHead head;
  head.fields = {{"X-Forwarded-For", "6.6.6.6"}};
  EXPECT_EQ("10.0.0.1", DRAVHost::forwardedClient(address("10.0.0.1"), head, {}).to_string());
  EXPECT_THROW(DRAVHost::parseTrustedProxies({"10.0.0.1", "proxy.example"}), std::invalid_argument);
}

TEST(AccessLog, AHugeHostileRequestMakesABoundedLineAndACutAnswerIsNoSuccess) {
  const std::string path = "/tmp/drav_access_cut_" + std::to_string(getpid()) + ".log";
  std::remove(path.c_str());
  DRAVHost::HostSettings settings = testSettings();
  settings.accessLog = path;
  settings.responseBufferLimit = 40 * 1024 * 1024;
  settings.transferGrace = 300ms;
  settings.minTransferRate = 16 * 1024 * 1024;
  {
    SampleHost host(settings);
    RawClient hostile(host.port());
    hostile.send(callRequest(std::string(12000, '\xff'), encodeArgs(DRAVArgs()), 0, std::string(),
                             "/" + std::string(3000, '\xff')));
    EXPECT_EQ(404, hostile.readReply().status);
    // An answer the client never reads is cut by the rate after its head may have gone out.
    DRAVArgs args;
    args.addArg(8 * 1024 * 1024);
    RawClient stuck(host.port(), "127.0.0.1", 4096);
    stuck.send(callRequest("generateBinary", encodeArgs(args)));
    // Up to 20 s: making the value takes a while under sanitizers.
    for (int i = 0; i < 10 && awaitLines(path, 2).size() < 2; ++i) {
    }
  }
  const std::vector<std::string> lines = awaitLines(path, 2);
  std::remove(path.c_str());
  ASSERT_EQ(2u, lines.size());
  EXPECT_LT(lines[0].size(), DRAVHost::kAccessLineLimit);
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )";
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(time + R"(127\.0\.0\.1 "/(\\xFF){62}\\\.\.\." )"
                                                           R"("(\\xFF){63}\\\.\.\." 404 - \d+ \d+ \d+)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(time + R"(127\.0\.0\.1 "/bridges/sample" "generateBinary" cut - \d+ \d+ \d+)")))
      << lines[1];
}

TEST(Healthz, AnswersOkToGetAndRefusesPostsAndOtherPaths) {
  SampleHost host;
  RawClient client(host.port());
  client.send("GET /healthz HTTP/1.1\r\nHost: h\r\n\r\n");
  HttpReply reply = client.readReply();
  EXPECT_EQ(200, reply.status);
  EXPECT_EQ("ok\n", reply.body);
  EXPECT_EQ("text/plain; charset=utf-8", reply.header("Content-Type"));
  client.send("POST /healthz HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n");
  reply = client.readReply();
  EXPECT_EQ(405, reply.status);
  EXPECT_EQ("GET, HEAD", reply.header("Allow"));
  client.send("GET /healthz/ HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(404, client.readReply().status);
}

}  // namespace
}  // namespace hosttest
