// Many clients at once, the bound on connections, and bridges that fail:
// none of it may take the host down or mix one call's answer into another's.
#include "host_test_support.h"

#include <drav/platform/asp.h>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <thread>

namespace hosttest {
namespace {

TEST(HostConcurrency, ServesManyClientsAtOnceEachItsOwnAnswer) {
  SampleHost host;
  constexpr int kClients = 8;
  constexpr int kCalls = 15;
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      CurlClient client;
      for (int i = 0; i < kCalls; ++i) {
        DRAVArgs args;
        args.addArg(c * 1000 + i);
        args.addArg(std::string(5000 + i, static_cast<char>('a' + c)));
        const std::string body = encodeArgs(args);
        const HttpReply reply = client.post(host.url(), callHeaders("echo", body.size()), body);
        if (reply.status != 200 || encodeArgs(decodeListAnswer(reply.body).results) != body) ++wrong;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(0, wrong.load());
  const auto statistics = host.host().statistics();
  EXPECT_EQ(unsigned(kClients * kCalls), statistics.requestsServed);
  EXPECT_GE(statistics.peakConnections, 2u);
}

TEST(HostConcurrency, AConnectionBeyondTheBoundIsRefusedAtOnce) {
  auto settings = testSettings();
  settings.maxConnections = 2;
  SampleHost host(settings);
  DRAVArgs none;
  const std::string call = callRequest("echo", encodeArgs(none));
  auto first = std::make_unique<RawClient>(host.port());
  RawClient second(host.port());
  first->send(call);
  second.send(call);
  ASSERT_EQ(200, first->readReply().status);
  ASSERT_EQ(200, second.readReply().status);

  RawClient third(host.port());
  const HttpReply refused = third.readReply();
  EXPECT_EQ(503, refused.status);
  EXPECT_EQ("1", refused.header("Retry-After"));
  EXPECT_EQ("the host serves no more connections now\n", refused.body);
  EXPECT_TRUE(third.closedByPeer(2s));
  EXPECT_EQ(1u, host.host().statistics().connectionsRefused);

  first.reset();  // frees a place
  for (int i = 0; i < 100 && host.host().statistics().activeConnections > 1; ++i) std::this_thread::sleep_for(20ms);
  RawClient fourth(host.port());
  fourth.send(call);
  EXPECT_EQ(200, fourth.readReply().status);
}

// Fails in the way a test asks for, before or after its answer began.
class FailingBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall& call, IDispatch*, IDispatch* response) override {
    if (call.methodName == "refuse") throw DRAVHost::HttpError(409, "refused as asked");
    if (call.methodName == "throw") throw std::runtime_error("thrown as asked");
    if (call.methodName == "hresult") throw static_cast<HRESULT>(E_FAIL);
    // "halfway": an answer begun, then an exception.
    DRAVHelpers::IIS::IResponse* page = nullptr;
    response->QueryInterface(DRAVHelpers::IIS::IID_IResponse, reinterpret_cast<void**>(&page));
    page->put_Buffer(VARIANT_FALSE);
    VARIANT data;
    VariantInit(&data);
    data.vt = VT_ARRAY | VT_UI1;
    SAFEARRAYBOUND bound = {4, 0};
    data.parray = SafeArrayCreate(VT_UI1, 1, &bound);
    page->BinaryWrite(data);
    VariantClear(&data);
    page->Release();
    throw std::runtime_error("failed halfway");
  }
};

TEST(HostConcurrency, ABridgeThatFailsNeverPassesForAWholeAnswer) {
  DRAVHost::BridgeHost host(testSettings());
  host.addBridge("/failing", std::make_shared<FailingBridge>());
  host.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>());
  host.start();
  const struct {
    const char* method;
    int status;
    const char* says;
  } cases[] = {
      {"refuse", 409, "refused as asked"},
      {"throw", 500, "the bridge failed\n"},
      {"hresult", 500, "the bridge failed"},
  };
  RawClient client(host.port());
  for (const auto& c : cases) {
    client.send(callRequest(c.method, "", 0, "", "/failing"));
    const HttpReply reply = client.readReply();
    EXPECT_EQ(c.status, reply.status) << c.method;
    EXPECT_NE(std::string::npos, reply.body.find(c.says)) << reply.body;
  }
  // Begun and then failed: the chunked answer never gets its last chunk.
  client.send(callRequest("halfway", "", 0, "", "/failing"));
  EXPECT_EQ(0, client.readReply(3s).status);
  EXPECT_TRUE(client.closedByPeer(1s));

  RawClient next(host.port());
  next.send(callRequest("echo", encodeArgs(DRAVArgs())));
  EXPECT_EQ(200, next.readReply().status) << "the host serves on";
}

TEST(BridgeHostSetup, BridgesAreRegisteredOnceAndBeforeTheStart) {
  auto settings = testSettings();
  settings.bodyLimit = 0xFFFFFFFF;
  DRAVHost::BridgeHost host(settings);
  auto bridge = std::make_shared<DRAVHost::SampleBridge>();
  EXPECT_THROW(host.addBridge("relative", bridge), std::logic_error);
  EXPECT_THROW(host.addBridge("/none", nullptr), std::logic_error);
  host.addBridge("/a", bridge);
  EXPECT_THROW(host.addBridge("/a", bridge), std::logic_error);
  host.start();
  // Unset, the bound on connections is what the descriptor limit leaves room for.
  rlimit limit{};
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
  EXPECT_EQ(std::min<rlim_t>(16384, limit.rlim_cur - 64), host.settings().maxConnections);
  EXPECT_THROW(host.addBridge("/b", bridge), std::logic_error);
  EXPECT_THROW(host.start(), std::logic_error);
  // IRequest reports a body's length as a signed 32-bit count.
  EXPECT_EQ(0x7FFFFFFFu, host.settings().bodyLimit);
  host.stop();
  host.stop();  // a second stop does nothing
}

}  // namespace
}  // namespace hosttest
