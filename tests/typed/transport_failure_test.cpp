// A typed call that the transport could not complete: its exception names
// the call and carries the host, the port and the reason, and tells a call
// that never reached the bridge from one that may have run there; a call
// the caller declared repeatable is sent again.
#include <drav/typed/bridge_client.h>

#include <gtest/gtest.h>

#include "support/http_test_remote.h"
#include "support/wine_host.h"

#include <memory>
#include <string>

namespace {

using drav_test::Reply;

// The message of what `call` throws as E; fails the test when it throws
// nothing or something else.
template <typename E, typename Call>
std::string messageOf(Call call) {
  try {
    call();
  } catch (const E& e) {
    EXPECT_NE(nullptr, dynamic_cast<const DRAVCallTransportFailure<E>*>(&e)) << e.what();
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "another exception: " << e.what();
    return "";
  }
  ADD_FAILURE() << "no exception";
  return "";
}

TEST(TypedTransportFailures, NameTheCallTheHostThePortAndTheReason) {
  DRAVBridgeClient refused("typed", Url("http://127.0.0.1:1/bridges/typed"));
  EXPECT_EQ(messageOf<HttpPostDataException>([&] { refused.call<int>("int", 1); }),
            "typed.int: HTTP Request Send failed: 127.0.0.1:1: connection refused (is the host listening on that port?)");

  DRAVBridgeClient unresolved("typed", Url("http://nothing.invalid:8080/bridges/typed"));
  EXPECT_EQ(messageOf<HttpPostDataException>([&] { unresolved.call("reset"); }),
            "typed.reset: HTTP Request Send failed: nothing.invalid:8080: name not resolved");

  std::unique_ptr<drav_test::ScriptedServer> server = drav_test::openTestServer();
  if (!server) GTEST_SKIP() << "no test server: set DRAV_TEST_SERVER";
  server->requireAuth(drav_test::AuthScheme::Basic, "u", "right");
  DRAVBridgeClient denied("typed", Url(server->url("/bridges/typed")),
                          AuthInfo().user("u").pass("wrong").mode(AuthInfo::AuthBasic));
  EXPECT_EQ(messageOf<HttpPostDataException>([&] { denied.call("reset"); }),
            "typed.reset: HTTP Request Send failed: " + server->hostPort() +
                ": the server refused the credentials (HTTP 401)");

  std::unique_ptr<drav_test::ScriptedServer> tls = drav_test::openTlsTestServer();
  if (!tls) GTEST_SKIP() << "no HTTPS test server";
  TlsPolicy missing;
  missing.caFile = "/nonexistent/authorities.pem";
  DRAVBridgeClient untrusted("typed", Url(tls->url("/bridges/typed")), AuthInfo().tls(missing));
#ifdef _WIN32
  // WinINet keeps to the system's store and takes no CA file: the
  // certificate is checked against the system's authorities alone.
  const std::string untrustedText = messageOf<UnknownCertAuthException>([&] { untrusted.call("reset"); });
  EXPECT_NE(untrustedText.find(tls->hostPort() + ": TLS: certificate not trusted"), std::string::npos) << untrustedText;
#else
  const std::string unreadable = messageOf<HttpPostDataException>([&] { untrusted.call("reset"); });
  EXPECT_NE(unreadable.find(tls->hostPort() + ": TLS: the trusted authorities could not be read"), std::string::npos)
      << unreadable;
#endif
}

TEST(TypedTransportFailures, ALostAnswerMayHaveRunAndOnlyARepeatableCallIsSentAgain) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine's WinINet repeats a lost request by itself";
  std::unique_ptr<drav_test::ScriptedServer> server = drav_test::openTestServer();
  if (!server) GTEST_SKIP() << "no test server: set DRAV_TEST_SERVER";
  Reply reset;
  reset.resetBeforeReply = true;
  server->setDefaultReply(reset);
  DRAVClientSettings settings;
  settings.repeatableMethods = {"get"};
  DRAVBridgeClient client("typed", Url(server->url("/bridges/typed")), AuthInfo(), settings);
  const std::string lost = messageOf<CallMayHaveRunException>([&] { client.call("add", 1); });
  EXPECT_EQ(lost.find("typed.add: Call may have run: " + server->hostPort() + ": connection reset by the server"), 0u)
      << lost;
  EXPECT_EQ(server->requests().size(), 1u);

  // Repeatable per method and per call: the call and its three repeats.
  messageOf<CallMayHaveRunException>([&] { client.call("get"); });
  EXPECT_EQ(server->requests().size(), 5u);
  messageOf<CallMayHaveRunException>([&] { client.call(DRAVCallOptions().asRepeatable(), "add", 1); });
  EXPECT_EQ(server->requests().size(), 9u);
}

}  // namespace
