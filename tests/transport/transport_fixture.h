// Shared pieces of the transport tests: a scripted server with a bridge
// proxy pointing at it, helpers that serialize argument lists and read an
// answer back through receive().
#pragma once

#include <drav/dravCommon.h>

#include "support/capture_trace.h"
#include "support/http_test_remote.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace transport_test {

inline std::string serialize(const DRAVArgs& args) {
  DRAVDataOutputStream out;
  args.writeObject(out);
  return std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
}

inline DRAVArgs deserialize(const std::string& bytes) {
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
  DRAVArgs args;
  args.readObject(in);
  return args;
}

// Everything receive() hands back, piece by piece; pieces bigger than
// `limit` fail the test.
inline std::string receiveAll(DRAVHttpRequest& request, unsigned long size, unsigned long limit) {
  std::string body;
  char* piece = nullptr;
  for (int guard = 0; guard < 1000000; ++guard) {
    const unsigned long n = request.receive(piece, size);
    if (n == 0) break;
    EXPECT_LE(n, limit);
    body.append(piece, n);
  }
  EXPECT_EQ(piece, nullptr) << "the last receive leaves the buffer null";
  return body;
}

class TransportTest : public ::testing::Test {
protected:
  void SetUp() override {
    server = drav_test::openTestServer();
    if (!server) GTEST_SKIP() << "no test server: set DRAV_TEST_SERVER";
    makeProxy(AuthInfo());
  }

  void makeProxy(const AuthInfo& auth, const std::string& path = "/bridge/calls") {
    proxy.reset(new DRAVBridgeProxy("TestBridge", Url(server->url(path)), auth));
    proxy->init();
  }

  // Calls `method` with the bytes of `body`; returns what call returned.
  unsigned long callWith(DRAVHttpRequest& request, std::string body, unsigned long chunk = 0,
                         std::string blob = std::string(), tag_StreamingMode mode = StreamingNo) {
    return request.call("Echo", &body[0], static_cast<unsigned long>(body.size()), chunk, false, mode,
                        blob.empty() ? nullptr : reinterpret_cast<unsigned char*>(&blob[0]),
                        static_cast<unsigned long>(blob.size()));
  }

  std::unique_ptr<drav_test::ScriptedServer> server;
  std::unique_ptr<DRAVBridgeProxy> proxy;
};

}  // namespace transport_test
