// Uploads the host refuses before reading them (no credentials, a path served
// by nothing, arguments beyond a call's share): the client that sends its
// whole body first still reads the answer, the connection ends without a
// reset, and what the host spends on reading the rest is bounded by the
// transfer grace, on no slot. A client talking to the host directly is
// tried here; behind nginx, tests/e2e/nginx_refusals_test.cpp.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <thread>

namespace hosttest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kUpload = 5 * 1024 * 1024;

// A call with the host's credentials: true when it is answered 200.
bool callServed(const SampleHost& host) {
  CurlClient client;
  client.setBasic("caller", "pw");
  DRAVArgs args;
  args.addArg(7);
  const std::string body = encodeArgs(args);
  return client.post(host.url(), callHeaders("echo", body.size()), body).status == 200;
}

TEST(HostRefusedUpload, AClientThatSendsItsWholeBodyReadsTheRefusalAndAnOrderlyEnd) {
  auto settings = testSettings();
  settings.user = "caller";
  settings.password = "pw";
  settings.callMemoryBudget = 1024 * 1024;
  SampleHost host(settings);
  const std::string upload(kUpload, 'u');
  const struct {
    std::string head;
    int status;
  } cases[] = {
      {[&] {
         const std::string call = callRequest("echo", upload);
         return call.substr(0, call.size() - upload.size());
       }(),
       401},
      {"POST /nowhere HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(kUpload) + "\r\n\r\n", 404},
      {[&] {
         const std::string call = callRequest("echo", upload, 0, basicAuthorization("caller", "pw"));
         return call.substr(0, call.size() - upload.size());
       }(),
       413},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    RawClient client(host.port());
    EXPECT_NO_THROW(client.send(c.head + upload)) << "the host took the whole body";
    const HttpReply reply = client.readReply(2s);
    EXPECT_EQ(c.status, reply.status);
    EXPECT_EQ("close", reply.header("Connection"));
    EXPECT_TRUE(client.closedByPeer(2s));
  }
  EXPECT_TRUE(callServed(host));
}

// A body declared beyond body_limit is refused as its head arrives, and read
// on like any refused upload: a client that sends it whole gets the 413, not
// a reset once a megabyte has gone by.
TEST(HostRefusedUpload, ABodyBeyondTheBodyLimitIsReadOnAfterThe413) {
  auto settings = testSettings();
  settings.bodyLimit = 1000;
  SampleHost host(settings);
  RawClient client(host.port());
  const std::string head = "POST /bridges/sample HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(kUpload) +
                           "\r\n\r\n";
  EXPECT_NO_THROW(client.send(head + std::string(kUpload, 'u'))) << "the host took the whole body";
  const HttpReply reply = client.readReply(2s);
  EXPECT_EQ(413, reply.status);
  EXPECT_EQ("close", reply.header("Connection"));
  EXPECT_TRUE(client.closedByPeer(2s));
  EXPECT_TRUE(normalCallServed(host));
}

// A refused client that goes on sending, however fast, keeps its connection
// for the transfer grace at most, and no slot meanwhile: with the only slot
// free, another call is served at once.
TEST(HostRefusedUpload, ReadingTheRestEndsAtTheTransferGraceAndHoldsNoSlot) {
  auto settings = testSettings();
  settings.user = "caller";
  settings.password = "pw";
  settings.maxRunningCalls = 1;
  settings.transferGrace = 600ms;
  SampleHost host(settings);
  const std::string call = callRequest("echo", std::string(1, 'u'));
  std::string head = call.substr(0, call.size() - 1);
  head.replace(head.find("Content-Length: 1"), 17, "Content-Length: 1000000000");
  std::vector<std::unique_ptr<RawClient>> senders;
  for (int i = 0; i < 4; ++i) {
    senders.push_back(std::make_unique<RawClient>(host.port()));
    senders.back()->send(head);
  }
  for (auto& sender : senders) EXPECT_EQ(401, sender->readReply(1s).status);
  const auto start = Clock::now();
  EXPECT_TRUE(callServed(host));
  const std::string piece(64 * 1024, 'u');
  std::size_t open = senders.size();
  while (open > 0 && Clock::now() - start < 5s) {
    open = 0;
    for (auto& sender : senders) open += sender->sendWhileAccepted(piece, 20ms) > 0 ? 1 : 0;
  }
  const auto took = Clock::now() - start;
  EXPECT_EQ(0u, open);
  EXPECT_LT(took, 2s) << "the transfer grace (0.6 s) and a sweep bound it";
  EXPECT_GT(took, 400ms) << "the host read on meanwhile";
}

}  // namespace
}  // namespace hosttest
