// The library inside a user's program: it writes nothing to the program's
// standard output, ever, and nothing to its standard error unless the
// program chose a trace level or a sink; why a call failed travels in the
// call's result and exception.
#include "host_test_support.h"

#include <drav/platform/annal.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_request.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace e2e {
namespace {

using hosttest::encodeArgs;
using hosttest::SampleHost;

// What a program typically runs into: calls posted in the smallest chunks,
// a sign-on, a host that is not there, a lost answer, a refused name.
void callsThatOnceTalked(SampleHost& host) {
  DRAVBridgeProxy proxy("sample", Url(host.url()), AuthInfo().user("sam").pass("pw").ssoProvider("siteminder"));
  proxy.init();
  proxy.rootUrl() = Url(host.url("/logon"));
  std::string body = encodeArgs(DRAVArgs());
  DRAVHttpRequestPtr request(proxy.createRequest());
  EXPECT_EQ(request->call("echo", &body[0], static_cast<unsigned long>(body.size()), 1, false, StreamingNo, nullptr, 0),
            body.size());
  EXPECT_EQ(request->getCallStatus().httpCode(), 200u);

  DRAVBridgeProxy nobody("sample", Url("http://127.0.0.1:1/bridges/sample"), AuthInfo());
  DRAVHttpRequestPtr refused(nobody.createRequest());
  EXPECT_EQ(refused->call("echo", &body[0], static_cast<unsigned long>(body.size()), 0, false, StreamingNo, nullptr, 0),
            0u);
  EXPECT_NE(refused->failureText().find("connection refused"), std::string::npos);
  EXPECT_THROW(refused->call("a\r\nb", &body[0], 1, 0, false, StreamingNo, nullptr, 0), DRAVException);
}

TEST(QuietLibrary, NothingReachesTheProgramsOutputUnlessItAsks) {
  SampleHost host(hosttest::ssoTestSettings());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  callsThatOnceTalked(host);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  // A level asked for: the failures' traces go to standard error, still
  // nothing to standard output.
  Annal::setLowestImportance(Annal::Error);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  callsThatOnceTalked(host);
  Annal::setLowestImportance(Annal::Off);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  const std::string traced = testing::internal::GetCapturedStderr();
  EXPECT_NE(traced.find("[Error] request failed : 127.0.0.1:1: connection refused"), std::string::npos) << traced;
}

}  // namespace
}  // namespace e2e
