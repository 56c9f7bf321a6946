// The host's HTTP rules, driven by a raw socket client: requests it refuses
// and how, bodies that lie about their length or stall, keep-alive, the
// interim answer to a client that waits for it, idle and stopped connections.
#include "host_test_support.h"

#include <drav/platform/asp.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace hosttest {
namespace {

std::string oneIntArgs() {
  DRAVArgs args;
  args.addArg(42);
  return encodeArgs(args);
}

// Replaces the first line that starts with `name` in a request text.
std::string withHeader(std::string request, const std::string& name, const std::string& line) {
  const std::size_t at = request.find(name);
  request.replace(at, request.find("\r\n", at) + 2 - at, line);
  return request;
}

TEST(HostHttp, RefusesRequestsItCannotServeWithAClearStatusAndServesOn) {
  SampleHost host;
  const std::string args = oneIntArgs();
  ASSERT_EQ(11u, args.size());
  const std::string call = callRequest("echo", args);
  const struct {
    std::string request;
    int status;
    const char* says;
  } cases[] = {
      {"GET /bridges/sample HTTP/1.1\r\nHost: h\r\n\r\n", 405, "called with POST"},
      {callRequest("echo", args, 0, "", "/bridges/other"), 404,
       "no bridge at /bridges/other; this host serves /bridges/sample"},
      {callRequest("echo", args, 0, "", "/bridges/smaple"), 404,
       "no bridge at /bridges/smaple (did you mean \"/bridges/sample\"?); this host serves /bridges/sample"},
      {callRequest("echo", args, 0, "", "/<script>"), 404, "no bridge at this path; this host serves /bridges/sample"},
      {withHeader(call, "DRAVMethodName", ""), 400, "carries the header DRAVMethodName"},
      {withHeader(call, "DRAVArgs-Size", "DRAVArgs-Size: -5\r\n"), 400, "DRAVArgs-Size is not a byte count"},
      {withHeader(call, "DRAVArgs-Size", "DRAVArgs-Size:\r\n"), 400, "DRAVArgs-Size is not a byte count"},
      // 2^64 + 11: a count that wrapped around would pass for the 11 bytes sent.
      {withHeader(call, "DRAVArgs-Size", "DRAVArgs-Size: 18446744073709551627\r\n"), 400,
       "DRAVArgs-Size is not a byte count"},
      {withHeader(call, "DRAVArgs-Size", "DRAVArgs-Size: 4\r\n"), 400, "is not DRAVArgs-Size + DRAVExtraBlob-Size"},
      {withHeader(call, "DRAVMethodNeedSsoToken", "DRAVMethodNeedSsoToken: maybe\r\n"), 400, "yes or no"},
      {callRequest("echo", args, 0, "DRAVStreamingMode: SIDEWAYS\r\n"), 400, "NO, IN, OUT or INOUT"},
      // A call header twice with different values: which one a proxy read is unknown.
      {callRequest("echo", args, 0, "DRAVArgs-Size: 0\r\n"), 400, "DRAVArgs-Size is sent twice with different values"},
      {callRequest("echo", args, 0, "DRAVExtraBlob-Size: 11\r\n"), 400, "DRAVExtraBlob-Size is sent twice"},
      {callRequest("echo", args, 0, "DRAVMethodName: sum\r\n"), 400, "DRAVMethodName is sent twice"},
      {callRequest("echo", args, 0, "dravbridgename: other\r\n"), 400, "DRAVBridgeName is sent twice"},
      {callRequest("echo", args, 0, "DRAVStreamingMode: NO\r\nDRAVStreamingMode: OUT\r\n"), 400,
       "DRAVStreamingMode is sent twice"},
      {callRequest("echo", args, 0, "DRAVMethodNeedSsoToken: no\r\nDRAVMethodNeedSsoToken: yes\r\n"), 400,
       "DRAVMethodNeedSsoToken is sent twice"},
      {withHeader(call, "DRAVBridgeName", "DRAVBridgeName: greeter\r\n"), 404,
       "the bridge at /bridges/sample is sample, not greeter"},
      {withHeader(call, "DRAVBridgeName", "DRAVBridgeName: <b>\r\n"), 404,
       "the bridge at /bridges/sample is sample, not the one named in DRAVBridgeName"},
      {withHeader(call, "DRAVBridgeName", "DRAVBridgeName:\r\n"), 404,
       "the bridge at /bridges/sample is sample, not the one named in DRAVBridgeName"},
      {"POST /bridges/sample HTTP/1.1\r\nHost: h\r\nDRAVBridgeName: sample\r\nDRAVMethodName: echo\r\n"
       "DRAVArgs-Size: 11\r\nDRAVExtraBlob-Size: 0\r\nTransfer-Encoding: chunked\r\n\r\nb\r\n" +
           args + "\r\n0\r\n\r\n",
       411, "Content-Length"},
  };
  RawClient client(host.port());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    client.send(c.request);
    const HttpReply reply = client.readReply();
    EXPECT_EQ(c.status, reply.status);
    EXPECT_NE(std::string::npos, reply.body.find(c.says)) << reply.body;
    EXPECT_EQ("", reply.header("Connection")) << "a small refused body keeps the connection";
  }
  client.send(call);
  const HttpReply reply = client.readReply();
  ASSERT_EQ(200, reply.status);
  EXPECT_EQ(42, decodeListAnswer(reply.body).results.getInt(0));
  // The same value twice is one value.
  client.send(callRequest("echo", args, 0, "DRAVArgs-Size: 11\r\nDRAVBridgeName: sample\r\n"));
  EXPECT_EQ(200, client.readReply().status);
  EXPECT_EQ(1u, host.host().statistics().connectionsAccepted);
}

// A host that does not describe its bridges names none in its 404s: not the
// paths it serves, nor the name of the bridge at a path a call reached with
// another.
TEST(HostHttp, KeepsWhatItServesToItselfWhenItDoesNotDescribe) {
  DRAVHost::HostSettings settings = testSettings();
  settings.listBridges = false;
  DRAVHost::BridgeHost host(settings);
  host.addBridge("/b", std::make_shared<HoldingBridge>(), "hidden");
  host.start();
  RawClient client(host.port());
  client.send(callRequest("m", oneIntArgs(), 0, "", "/b", "other"));
  HttpReply reply = client.readReply();
  EXPECT_EQ(404, reply.status);
  EXPECT_EQ("the bridge at /b is not other\n", reply.body);
  client.send(callRequest("m", oneIntArgs(), 0, "", "/c", "hidden"));
  reply = client.readReply();
  EXPECT_EQ(404, reply.status);
  EXPECT_EQ("no bridge at /c\n", reply.body);
}

TEST(HostHttp, TakesEveryRequestTargetFormAsTheStandardSays) {
  SampleHost host;
  const std::string call = callRequest("echo", oneIntArgs());
  const auto target = [&](const std::string& form) { return withHeader(call, "POST ", "POST " + form + " HTTP/1.1\r\n"); };
  RawClient client(host.port());
  // Absolute form: the path after the authority, whatever the Host says.
  for (const char* form : {"http://h/bridges/sample", "HTTP://other.example:8080/bridges/sample",
                           "https://[::1]/bridges/sample?x=1", "http://user@h/bridges/sample"}) {
    SCOPED_TRACE(form);
    client.send(target(form));
    const HttpReply reply = client.readReply();
    ASSERT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ(42, decodeListAnswer(reply.body).results.getInt(0));
  }
  client.send("GET http://h/healthz HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ("ok\n", client.readReply().body);
  for (const char* root : {"http://h", "http://h?q"}) {
    client.send(std::string("GET ") + root + " HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ("no bridge at /; this host serves /bridges/sample\n", client.readReply().body) << root;
  }
  client.send(target("ftp://h/bridges/sample"));
  EXPECT_EQ(404, client.readReply().status);

  // Asterisk form: OPTIONS of the whole host, and nothing else.
  client.send("OPTIONS * HTTP/1.1\r\nHost: h\r\n\r\n");
  HttpReply options = client.readReply();
  EXPECT_EQ(200, options.status);
  EXPECT_EQ("GET, HEAD, POST, OPTIONS", options.header("Allow"));
  EXPECT_EQ("", options.header("Connection"));
  client.send("GET * HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_EQ(400, client.readReply().status);
  client.send(call);
  EXPECT_EQ(200, client.readReply().status) << "the connection serves on";

  // CONNECT: no proxy here; the bytes after it are the tunnel's, never a request.
  RawClient tunnel(host.port());
  tunnel.send("CONNECT h:443 HTTP/1.1\r\nHost: h:443\r\n\r\n" + call);
  const HttpReply refused = tunnel.readReply();
  EXPECT_EQ(501, refused.status);
  EXPECT_EQ("close", refused.header("Connection"));
  EXPECT_TRUE(tunnel.closedByPeer(2s));
}

TEST(HostHttp, AnyFramingButContentLengthOrAFinalChunkedIsRefusedAndEndsTheConnection) {
  SampleHost host;
  const std::string args = oneIntArgs();
  // What follows the head would be taken for a second request if the host
  // read the body as empty.
  const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string head = "POST /bridges/sample HTTP/1.1\r\nHost: h\r\nDRAVBridgeName: sample\r\n"
                           "DRAVMethodName: echo\r\nDRAVArgs-Size: 0\r\nDRAVExtraBlob-Size: 0\r\n";
  const struct {
    std::string framing;
    const char* says;
  } cases[] = {
      {"Transfer-Encoding: identity\r\n", "the only transfer coding this host accepts is chunked"},
      {"Transfer-Encoding: gzip\r\n", "the only transfer coding this host accepts is chunked"},
      {"Transfer-Encoding: xchunked\r\n", "the only transfer coding this host accepts is chunked"},
      {"Transfer-Encoding: chunked, identity\r\n", "the only transfer coding this host accepts is chunked"},
      {"Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n", "the only transfer coding this host accepts is chunked"},
      {"Transfer-Encoding: identity\r\nContent-Length: 0\r\n", "a request carries Content-Length or Transfer-Encoding, not both"},
      {"Content-Length: 0\r\nTransfer-Encoding: chunked\r\n", "malformed request"},
      {"Transfer-Encoding: chunked\r\nContent-Length: 0\r\n", "malformed request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.framing);
    RawClient client(host.port());
    client.send(head + c.framing + "\r\n" + smuggled);
    const HttpReply reply = client.readReply();
    EXPECT_EQ(400, reply.status);
    EXPECT_EQ(0u, reply.body.find(c.says)) << reply.body;
    EXPECT_EQ("close", reply.header("Connection"));
    EXPECT_EQ("", client.readUntilQuiet(300ms)) << "nothing answers the smuggled request";
  }
  EXPECT_EQ(0u, host.host().statistics().requestsServed);
}

TEST(HostHttp, AnHttp11RequestNamesExactlyOneValidHost) {
  SampleHost host;
  const std::string call = callRequest("echo", oneIntArgs());
  const struct {
    std::string request;
    int status;
    const char* says;
  } cases[] = {
      {withHeader(call, "Host:", ""), 400, "an HTTP/1.1 request carries a Host field\n"},
      {withHeader(call, "Host:", "Host: a\r\nHost: b\r\n"), 400, "a request carries one Host field, not several\n"},
      {withHeader(call, "Host:", "Host: a b\r\n"), 400, "the Host field is not a valid host\n"},
      {withHeader(call, "Host:", "Host: h/path\r\n"), 400, "the Host field is not a valid host\n"},
      {withHeader(call, "Host:", "Host: h:80x\r\n"), 400, "the Host field is not a valid host\n"},
      {withHeader(call, "Host:", "Host: [::1\r\n"), 400, "the Host field is not a valid host\n"},
      {withHeader(call, "Host:", "Host: [::1]:8080\r\n"), 200, ""},
      {withHeader(call, "Host:", "Host: example.org:65535\r\n"), 200, ""},
      {withHeader(withHeader(call, "Host:", ""), "POST ", "POST /bridges/sample HTTP/1.0\r\n"), 200, ""},
      {"\r\n\r\n" + call, 200, ""},  // empty lines before a request line are ignored
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 80));
    RawClient client(host.port());
    client.send(c.request);
    const HttpReply reply = client.readReply();
    EXPECT_EQ(c.status, reply.status);
    if (c.status == 200) continue;
    EXPECT_EQ(c.says, reply.body);
    EXPECT_EQ("close", reply.header("Connection"));
  }
}

TEST(HostHttp, AnswersToHeadCarryNoBody) {
  auto settings = testSettings();
  settings.sso.enabled = true;
  settings.sso.path = "/logon";
  settings.sso.user = "sam";
  settings.sso.password = "pw";
  SampleHost host(settings);
  const std::string next = "GET /nowhere HTTP/1.1\r\nHost: h\r\n\r\n";
  for (const std::string& path : {std::string(kSamplePath), std::string("/nowhere"), std::string("/logon")}) {
    SCOPED_TRACE(path);
    RawClient client(host.port());
    // The HEAD and a GET behind it: what follows the first head must be the second answer.
    client.send("HEAD " + path + " HTTP/1.1\r\nHost: h\r\n\r\n" + next);
    const std::string bytes = client.readUntilQuiet(300ms);
    const std::size_t headEnd = bytes.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, headEnd) << bytes;
    EXPECT_NE(std::string::npos, bytes.find("Content-Length: ")) << bytes;
    EXPECT_EQ(0u, bytes.compare(headEnd + 4, 22, "HTTP/1.1 404 Not Found")) << bytes;
    std::size_t used = 0;
    EXPECT_EQ("no bridge at /nowhere; this host serves /bridges/sample\n", parseReply(bytes.substr(headEnd + 4), used).body);
  }
}

TEST(HostHttp, TheHostsOwnAnswersArePlainTextNeverSniffed) {
  SampleHost host;
  RawClient client(host.port());
  client.send("GET /nowhere HTTP/1.1\r\nHost: h\r\n\r\n");
  const HttpReply reply = client.readReply();
  EXPECT_EQ(404, reply.status);
  EXPECT_EQ("text/plain; charset=utf-8", reply.header("Content-Type"));
  EXPECT_EQ("nosniff", reply.header("X-Content-Type-Options"));
}

TEST(HostHttp, AHeadTooLargeGets431AndEndsTheConnection) {
  auto settings = testSettings();
  settings.headerLimit = 2048;
  SampleHost host(settings);
  RawClient client(host.port());
  client.send(callRequest("echo", oneIntArgs(), 0, "X-Padding: " + std::string(4000, 'p') + "\r\n"));
  const HttpReply reply = client.readReply();
  EXPECT_EQ(431, reply.status);
  EXPECT_EQ("close", reply.header("Connection"));
  EXPECT_TRUE(client.closedByPeer(3s));
}

TEST(HostHttp, ABodyFarLargerThanDeclaredIsServedAsDeclaredAndTheRestRefused) {
  SampleHost host;
  RawClient client(host.port());
  // The call is whole; what follows is no request at all.
  client.send(callRequest("echo", oneIntArgs()) + std::string(200000, '\x7f'));
  EXPECT_EQ(200, client.readReply().status);
  const HttpReply refused = client.readReply();
  EXPECT_EQ(400, refused.status);
  EXPECT_TRUE(client.closedByPeer(3s));

  RawClient next(host.port());
  next.send(callRequest("echo", oneIntArgs()));
  EXPECT_EQ(200, next.readReply().status) << "the host serves on";
}

TEST(HostHttp, ABodyCutShortGets400) {
  SampleHost host;
  RawClient client(host.port());
  const std::string call = callRequest("echo", std::string(100, 'a'));
  client.send(call.substr(0, call.size() - 60));
  client.shutdownSend();
  const HttpReply reply = client.readReply();
  EXPECT_EQ(400, reply.status);
  EXPECT_EQ("the request body ended after 40 bytes\n", reply.body);
}

TEST(HostHttp, AStalledBodyGets408AndFreesItsConnection) {
  auto settings = testSettings();
  settings.transferGrace = 300ms;
  SampleHost host(settings);
  // A body small enough to be read ahead, and one the bridge reads itself.
  for (const std::size_t size : {100u, 200000u}) {
    SCOPED_TRACE(size);
    RawClient client(host.port());
    const std::string call = callRequest("echo", std::string(size, 'a'));
    client.send(call.substr(0, call.find("\r\n\r\n") + 4 + 40));
    const auto start = std::chrono::steady_clock::now();
    const HttpReply reply = client.readReply(5s);
    EXPECT_EQ(408, reply.status);
    EXPECT_EQ("the request body did not arrive in time\n", reply.body);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(client.closedByPeer(3s));
  }
  for (int i = 0; i < 100 && host.host().statistics().activeConnections > 0; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(0u, host.host().statistics().activeConnections);
}

TEST(HostHttp, KeepsAConnectionAliveAcrossCalls) {
  SampleHost host;
  CurlClient client;
  const std::string body = oneIntArgs();
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(200, client.post(host.url(), callHeaders("echo", body.size()), body).status);
    EXPECT_EQ(i == 0 ? 1 : 0, client.lastConnects()) << "call " << i;
  }
  const auto statistics = host.host().statistics();
  EXPECT_EQ(1u, statistics.connectionsAccepted);
  EXPECT_EQ(5u, statistics.requestsServed);
}

// A kept-alive connection carries so many requests: the last one's answer
// says it closes, and it does, whether a bridge or the host answers it.
TEST(HostHttp, AConnectionEndsAfterItsLastAllowedRequestAndItsAnswerSaysSo) {
  auto settings = testSettings();
  settings.maxRequestsPerConnection = 3;
  SampleHost host(settings);
  for (const bool lastToTheHost : {false, true}) {
    SCOPED_TRACE(lastToTheHost);
    RawClient client(host.port());
    for (int i = 1; i <= 3; ++i) {
      const bool toTheHost = lastToTheHost && i == 3;
      client.send(toTheHost ? std::string("GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
                            : callRequest("echo", oneIntArgs()));
      const HttpReply reply = client.readReply();
      ASSERT_EQ(toTheHost ? 404 : 200, reply.status) << "request " << i;
      EXPECT_EQ(i == 3 ? "close" : "", reply.header("Connection")) << "request " << i;
    }
    EXPECT_TRUE(client.closedByPeer(3s));
  }
  EXPECT_EQ(2u, host.host().statistics().connectionsAccepted);
}

TEST(HostHttp, AClientWaitingForContinueGetsItBeforeSendingTheBody) {
  SampleHost host;
  RawClient client(host.port());
  const std::string call = callRequest("echo", oneIntArgs(), 0, "Expect: 100-continue\r\n");
  const std::size_t headEnd = call.find("\r\n\r\n") + 4;
  client.send(call.substr(0, headEnd));
  ASSERT_TRUE(client.receive("HTTP/1.1 100 Continue\r\n\r\n", 3s)) << "the interim answer comes first";
  client.send(call.substr(headEnd));
  EXPECT_EQ(200, client.readReply().status);

  // An HTTP/1.0 client knows no interim answers: it would read one as the answer.
  RawClient older(host.port());
  std::string head = call.substr(0, headEnd);
  head.replace(head.find("HTTP/1.1"), 8, "HTTP/1.0");
  older.send(head);
  EXPECT_EQ("", older.readUntilQuiet(300ms));
  older.send(call.substr(headEnd));
  EXPECT_EQ(200, older.readReply().status);
}

void write(DRAVHelpers::IIS::IResponse* page, const std::string& text) {
  VARIANT data;
  VariantInit(&data);
  data.vt = VT_ARRAY | VT_UI1;
  SAFEARRAYBOUND bound = {static_cast<ULONG>(text.size()), 0};
  data.parray = SafeArrayCreate(VT_UI1, 1, &bound);
  void* bytes = nullptr;
  SafeArrayAccessData(data.parray, &bytes);
  std::memcpy(bytes, text.data(), text.size());
  SafeArrayUnaccessData(data.parray);
  page->BinaryWrite(data);
  VariantClear(&data);
}

// The page of `response`, with buffering off; the caller releases it.
DRAVHelpers::IIS::IResponse* unbufferedPage(IDispatch* response) {
  DRAVHelpers::IIS::IResponse* page = nullptr;
  response->QueryInterface(DRAVHelpers::IIS::IID_IResponse, reinterpret_cast<void**>(&page));
  page->put_Buffer(VARIANT_FALSE);
  return page;
}

// Writes "first" with buffering off, then holds the call until released,
// then writes "second".
class PausingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch* response) override {
    DRAVHelpers::IIS::IResponse* page = unbufferedPage(response);
    write(page, "first");
    {
      std::unique_lock<std::mutex> lock(mutex_);
      released_.wait_for(lock, 5s, [this] { return release_; });
    }
    write(page, "second");
    page->Release();
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    release_ = true;
    released_.notify_all();
  }

private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool release_ = false;
};

TEST(HostHttp, UnbufferedOutputReachesTheClientWhileTheCallStillRuns) {
  DRAVHost::BridgeHost host(testSettings());
  auto pausing = std::make_shared<PausingBridge>();
  host.addBridge("/pause", pausing);
  host.start();
  RawClient client(host.port());
  client.send(callRequest("echo", oneIntArgs(), 0, "", "/pause"));
  const std::string early = client.readUntilQuiet(300ms);
  EXPECT_NE(std::string::npos, early.find("Transfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n")) << early;
  pausing->release();
  EXPECT_EQ("6\r\nsecond\r\n0\r\n\r\n", client.readUntilQuiet(300ms));
}

// Writes "first" with buffering off, then fails.
class FailingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch* response) override {
    DRAVHelpers::IIS::IResponse* page = unbufferedPage(response);
    write(page, "first");
    page->Release();
    throw std::runtime_error("the bridge broke down");
  }
};

// An HTTP/1.0 client (or a proxy that speaks it to the host) reads a streamed
// answer up to the connection's end: one cut short ends with a reset, as an
// orderly end would say it came whole; one finished ends in order.
TEST(HostHttp, AStreamedAnswerToHttp10EndsWithAResetOnlyWhenCutShort) {
  DRAVHost::BridgeHost host(testSettings());
  host.addBridge("/fail", std::make_shared<FailingBridge>());
  auto pausing = std::make_shared<PausingBridge>();
  pausing->release();
  host.addBridge("/whole", pausing);
  host.start();
  const auto http10Call = [](const std::string& path) {
    std::string call = callRequest("echo", oneIntArgs(), 0, "", path);
    return call.replace(call.find("HTTP/1.1"), 8, "HTTP/1.0");
  };
  RawClient cut(host.port());
  cut.send(http10Call("/fail"));
  EXPECT_TRUE(cut.resetByPeer(3s));
  RawClient whole(host.port());
  whole.send(http10Call("/whole"));
  EXPECT_FALSE(whole.resetByPeer(3s));
  EXPECT_TRUE(whole.closedByPeer(0ms)) << "it ended in order";
  // HTTP/1.1 answers are chunked: the missing last chunk tells the cut, and
  // the connection ends in order, leaving the client the bytes that came.
  RawClient cut11(host.port());
  cut11.send(callRequest("echo", oneIntArgs(), 0, "", "/fail"));
  EXPECT_FALSE(cut11.resetByPeer(3s));
  EXPECT_TRUE(cut11.closedByPeer(0ms)) << "it ended in order";
}

TEST(HostHttp, ClosesAConnectionLeftIdle) {
  auto settings = testSettings();
  settings.idleTimeout = 200ms;
  SampleHost host(settings);
  RawClient client(host.port());
  client.send(callRequest("echo", oneIntArgs()));
  ASSERT_EQ(200, client.readReply().status);
  EXPECT_TRUE(client.closedByPeer(3s));
}

// The head time-out counts from a head's first byte: on a connection kept
// alive longer than that, the next head arriving in parts is waited for.
TEST(HostHttp, EachHeadOnAKeptConnectionHasTheWholeHeadTimeout) {
  auto settings = testSettings();
  settings.headTimeout = 1s;
  settings.idleTimeout = 10s;
  SampleHost host(settings);
  RawClient client(host.port());
  client.send(callRequest("echo", oneIntArgs()));
  ASSERT_EQ(200, client.readReply().status);
  std::this_thread::sleep_for(1500ms);
  const std::string call = callRequest("echo", oneIntArgs());
  client.send(call.substr(0, 20));
  std::this_thread::sleep_for(100ms);
  client.send(call.substr(20));
  EXPECT_EQ(200, client.readReply().status);
}

// An idle connection may have a call on its way: the stop leaves it (and a
// head still arriving) to the client until the grace is over, then ends it.
TEST(HostHttp, StopEndsOpenConnectionsOnceTheGraceIsOver) {
  auto settings = testSettings();
  settings.idleTimeout = 20s;
  settings.headTimeout = 20s;
  settings.stopGrace = 1s;
  SampleHost host(settings);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<RawClient>(host.port()));
    clients.back()->send(callRequest("echo", oneIntArgs()));
    ASSERT_EQ(200, clients.back()->readReply().status);
  }
  clients.push_back(std::make_unique<RawClient>(host.port()));
  clients.back()->send("POST /bridges/sample HTTP/1.1\r\n");  // a head that never ends
  const auto start = std::chrono::steady_clock::now();
  host.host().stop();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  for (auto& client : clients) EXPECT_TRUE(client->closedByPeer(1s));
}

}  // namespace
}  // namespace hosttest
