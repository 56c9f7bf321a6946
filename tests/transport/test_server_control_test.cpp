// The scripted test server's control path, which the Windows tests under
// Wine depend on: the transfer form of scripts and records, and a server
// scripted from "another process" (here: through its control requests).
#include <drav/platform/glossa.h>
#include <drav/platform/win32.h>

#include "support/http_test_remote.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

namespace {

using drav_test::decodeReply;
using drav_test::decodeRequests;
using drav_test::encodeReply;
using drav_test::encodeRequests;

TEST(TestServerScript, RepliesAndRecordsSurviveTheirTransferForm) {
  drav_test::Reply reply;
  reply.status = 407;
  reply.reason = "Who: are you";
  reply.header("Set-Cookie", "a=1; Path=/").header("X-Empty", "");
  reply.body = std::string("line\nwith: colon\0and nul", 24);
  reply.generatedBodySize = 1ull << 33;
  reply.chunked = reply.echoBody = reply.resetBeforeReply = reply.closeAfter = true;
  reply.resetAfterBodyBytes = 17;
  reply.delayMs = 250;
  const drav_test::Reply back = decodeReply(encodeReply(reply));
  EXPECT_EQ(encodeReply(back), encodeReply(reply));
  EXPECT_EQ(back.body, reply.body);
  EXPECT_EQ(back.headers.size(), 2u);

  drav_test::RecordedRequest r;
  r.method = "POST";
  r.target = "/a b";
  r.version = "HTTP/1.1";
  r.headers = {{"Host", "h"}, {"Cookie", "x=1; y=2"}};
  r.body = "body\n";
  r.bodySize = 5;
  r.bodyCrc = 123456789;
  r.connection = 3;
  const std::vector<drav_test::RecordedRequest> list = decodeRequests(encodeRequests({r, r}));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1].target, "/a b");
  EXPECT_EQ(list[1].headerLines(), r.headerLines());
  EXPECT_EQ(list[1].bodyCrc, r.bodyCrc);
  EXPECT_EQ(list[1].connection, 3u);
}

TEST(TestServerScript, MalformedTransferFormsAreRefused) {
  for (const char* text : {"status", "status 3:200", "status x:200\n", "status 99:200\n", "nosuch 1:x\n",
                           "status 3:2a0\n", "header 3:abc\n", "body 5:ab\n"})
    EXPECT_THROW(decodeReply(text), std::runtime_error) << text;
  EXPECT_THROW(decodeRequests("header 6:a: b c\n"), std::runtime_error);
  EXPECT_THROW(decodeRequests("request 3:GET\n"), std::runtime_error);
}

#ifndef _WIN32
// One GET through WinINet; the answer's body.
std::string get(const drav_test::ScriptedServer& server, const char* path) {
  HINTERNET session = InternetOpenW(DRAV_W("control-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET connection =
      InternetConnectW(session, DRAV_W("127.0.0.1"), server.port(), nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  const std::basic_string<unsigned short> object = Glossa::utf8ToUtf16(path, std::strlen(path));
  HINTERNET request = HttpOpenRequestW(connection, nullptr, object.c_str(), nullptr, nullptr, nullptr, 0, 0);
  std::string body;
  if (HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
    char piece[256];
    for (DWORD got = 1; got > 0 && InternetReadFile(request, piece, sizeof piece, &got);) body.append(piece, got);
  }
  InternetCloseHandle(request);
  InternetCloseHandle(connection);
  InternetCloseHandle(session);
  return body;
}

TEST(TestServerControl, ARemoteScriptDrivesTheServerAndControlConnectionsAreNotCounted) {
  drav_test::HttpTestServer local;
  drav_test::RemoteTestServer remote(local.hostPort(), local.hostPort(), false);
  drav_test::Reply reply;
  reply.body = "scripted";
  remote.enqueue(reply);
  EXPECT_EQ(get(remote, "/first"), "scripted");
  EXPECT_EQ(get(remote, "/second"), "") << "then the default reply";
  const std::vector<drav_test::RecordedRequest> seen = remote.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].target, "/first");
  EXPECT_EQ(seen[0].header("User-Agent"), "control-test");
  EXPECT_EQ(remote.connectionsAccepted(), 2u) << "two sessions, and no control connection";
  remote.requireAuth(drav_test::AuthScheme::Basic, "u", "p");
  EXPECT_EQ(get(remote, "/locked"), "unauthorized");
  remote.reset();
  EXPECT_TRUE(remote.requests().empty());
  EXPECT_EQ(get(remote, "/open"), "");
  EXPECT_THROW(drav_test::RemoteTestServer("127.0.0.1", "x", false), std::runtime_error);
}
#endif

}  // namespace
