// Where a typed client's credentials come from: made without an AuthInfo,
// the process's -DRAVhttp_auth_... options, as a lookup policy takes them;
// made with one, exactly that one.
#include <drav/config/client_core.h>
#include <drav/config/initialization.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/output_stream.h>
#include <drav/typed/bridge_client.h>

#include <gtest/gtest.h>

#include "support/http_test_remote.h"

#include <string>
#include <vector>

namespace {

using drav_test::Reply;

// The answer of a call that succeeded with the one result 7.
Reply sevenAnswer() {
  DRAVArgs seven;
  seven.addArg(7);
  DRAVDataOutputStream out;
  seven.writeObject(out);
  out.writeString("bridge");
  out.writeString("call");
  out.writeString("no error detected");
  out.writeLong(0);
  Reply reply;
  reply.body = std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
  return reply;
}

TEST(TypedClientCredentials, ComeFromTheOptionsUnlessTheClientIsGivenItsOwn) {
  std::unique_ptr<drav_test::ScriptedServer> server = drav_test::openTestServer();
  if (!server) GTEST_SKIP() << "no test server: set DRAV_TEST_SERVER";
  server->setDefaultReply(sevenAnswer());
  server->requireAuth(drav_test::AuthScheme::Basic, "caller", "s3cret");
  const Url url(server->url("/bridges/typed"));
  std::vector<std::string> words = {"prog", "-DRAVhttp_auth_mode", "basic", "-DRAVhttp_auth_user", "caller",
                                    "-DRAVhttp_auth_pwd", "s3cret"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  {
    DRAVInitialize library(static_cast<int>(argv.size()), argv.data());
    DRAVBridgeClient fromOptions("typed", url);
    EXPECT_EQ(7, fromOptions.call<int>("call"));
    DRAVBridgeClient none("typed", url, AuthInfo());
    EXPECT_THROW(none.call<int>("call"), HttpPostDataException) << "refused: no credentials";
  }
  DRAVClientCore::instance().getAuthenticationInfo() = DRAVAuthenticationInfo();  // the next tests' defaults
  // Credentials in code, as docs/calling-bridges.md shows them.
  AuthInfo credentials;
  credentials.user("caller").pass("s3cret").mode(AuthInfo::AuthBasic);
  DRAVBridgeClient inCode("typed", url, credentials);
  EXPECT_EQ(7, inCode.call<int>("call"));
}

}  // namespace
