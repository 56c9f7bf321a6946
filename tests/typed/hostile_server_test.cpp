// A typed client against a server that answers as it likes: error pages and
// answers too long to keep, and status messages of any size and content.
// Each call fails with its exception, and what the exception carries is
// bounded.
#include <drav/serialization/argument_list.h>
#include <drav/serialization/output_stream.h>
#include <drav/typed/bridge_client.h>

#include <gtest/gtest.h>

#include "support/http_test_remote.h"
#ifndef _WIN32
#include "support/raw_peer.h"
#endif

#include <memory>
#include <string>

namespace {

using drav_test::Reply;

// A list answer of no values and the status `code`, `message`.
std::string answerWithStatus(long code, const std::string& message) {
  DRAVDataOutputStream out;
  DRAVArgs().writeObject(out);
  out.writeString("hostile");
  out.writeString("call");
  out.writeString(message);
  out.writeLong(code);
  return std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
}

class HostileServer : public ::testing::Test {
protected:
  void SetUp() override {
    server_ = drav_test::openTestServer();
    if (!server_) GTEST_SKIP() << "no test server: set DRAV_TEST_SERVER";
  }

  std::unique_ptr<DRAVBridgeClient> client(DRAVClientSettings settings = DRAVClientSettings()) {
    return std::make_unique<DRAVBridgeClient>("hostile", Url(server_->url("/bridges/hostile")), AuthInfo(),
                                              std::move(settings));
  }

  std::unique_ptr<drav_test::ScriptedServer> server_;
};

// Reading stops inside a piece of the answer in both cases: the piece the
// transport handed over is given back as it was allocated, and the rest of
// the answer never reaches the next call on the connection.
TEST_F(HostileServer, AnswersCutShortByTheClientLeaveTheClientUsable) {
  Reply page;
  page.status = 500;
  page.body = std::string(20000, 'e');
  Reply large;
  large.body = std::string(20000, 'a');
  for (const Reply& reply : {page, large, page, large}) server_->enqueue(reply);
  Reply fine;
  DRAVArgs seven;
  seven.addArg(7);
  DRAVDataOutputStream out;
  seven.writeObject(out);
  fine.body = std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size()) +
              answerWithStatus(0, "").substr(5);  // the status behind the one value
  server_->setDefaultReply(fine);

  DRAVClientSettings settings;
  settings.maxConnections = 1;
  settings.maxAnswerBytes = 1000;
  auto one = client(settings);
  for (int round = 0; round < 2; ++round) {
    try {
      one->call("call");
      ADD_FAILURE() << "an HTTP 500 returned";
    } catch (const DRAVHttpStatusException& e) {
      EXPECT_EQ(500u, e.httpCode());
      EXPECT_EQ(settings.maxErrorText + DRAVErrorAnswer::kReadBeyondLimit, e.body().size());  // of 'e's
    }
    EXPECT_THROW(one->call("call"), DRAVException);
  }
  EXPECT_EQ(7, one->call<int>("call"));
}

// Who answered an error decides what the message says: the host's own text
// is its reason; a page from anything else on the way (a proxy's 502) is
// named by its server, status line and title, without its markup. Either
// reaches what() escaped and cut after a whole character.
TEST_F(HostileServer, AnErrorAnswerNamesWhoAnsweredAndShowsWhatItSaysEscaped) {
  Reply proxyPage;
  proxyPage.status = 502;
  proxyPage.reason = "Bad Gateway";
  proxyPage.header("Content-Type", "text/html");
  // A closing tag before the title (in a comment) is not its end; tags in any case.
  proxyPage.body = "<html>\r\n<!-- </TITLE> -->\r\n<head><TITLE>502 Bad\r\n  Gateway</title></head>\r\n<body>\r\n<center><h1>502 Bad "
                   "Gateway</h1></center>\r\n<hr><center>nginx</center>\r\n</body>\r\n</html>\r\n";
  Reply proxyText;
  proxyText.status = 400;
  proxyText.reason = "Bad Request";
  proxyText.header("Content-Type", "text/plain");
  proxyText.body = "bad request\r\n";
  // The host's text, hostile: escape sequences and line ends (31 characters
  // escaped), 28 more, then a two-byte character that would end past the
  // 60 a cut text keeps of 64.
  Reply hostText;
  hostText.status = 500;
  hostText.header("DRAVHost", "dravbridge");
  hostText.body = "\x1b]0;owned\x07\x1b[2J\r\n" + std::string(28, 'x') + "\xC3\xA9" + std::string(100, 'y');
  for (const Reply& reply : {proxyPage, proxyText, hostText}) server_->enqueue(reply);
  const std::string where = server_->host() + ":" + std::to_string(server_->port());
  const auto failure = [&](std::size_t shown) {
    DRAVClientSettings settings;
    settings.maxErrorText = shown;
    try {
      client(settings)->call("call");
    } catch (const DRAVHttpStatusException& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ("hostile.call: the server at " + where +
                " answered \"HTTP/1.1 502 Bad Gateway\" with a page titled \"502 Bad Gateway\"",
            failure(4096));
  EXPECT_EQ("hostile.call: the server at " + where +
                " answered \"HTTP/1.1 400 Bad Request\": bad request",
            failure(4096));
  EXPECT_EQ("hostile.call: the host answered HTTP 500: \\x1B]0;owned\\x07\\x1B[2J\\x0D\\x0A" + std::string(28, 'x') +
                "\\...",
            failure(64));
}

TEST_F(HostileServer, AStatusMessageOfAnySizeMakesAnExceptionOfBoundedText) {
  Reply answer;
  answer.body = answerWithStatus(9, "\x1b[2J" + std::string(1 << 20, 'm'));
  server_->enqueue(answer);
  try {
    client()->call("call");
    ADD_FAILURE() << "a failed call returned";
  } catch (const DRAVInvocationException& e) {
    EXPECT_EQ(9, e.code());
    EXPECT_EQ((std::size_t(1) << 20) + 4, e.bridgeMessage().size()) << "the message is kept whole";
    const std::string shown = e.what();
    EXPECT_LE(shown.size(), DRAVInvocationException::kShownMessageBytes + 256);
    EXPECT_EQ(std::string::npos, shown.find('\x1b')) << "escaped";
  }
}

#ifndef _WIN32
// An answer whole by its own form, whose HTTP body ends early (its length
// not reached, its last chunk never sent, a reset): the reading failed, and
// so does the call, for a list and a streamed value alike.
TEST(CutAnswers, AnAnswerWhoseReadingFailedFailsTheCall) {
  using drav_test::RawPeer;
  const std::string list = answerWithStatus(0, "");
  // The marker, a binary value's head (tag 3, two bytes) and bytes, then the status.
  const std::string streamed = list.substr(0, 1) + std::string("\0\3\0\0\0\2ok", 9) + list.substr(5);
  enum Cut { ShortOfItsLength, NoLastChunk, Reset };
  for (Cut cut : {ShortOfItsLength, NoLastChunk, Reset}) {
    for (const std::string* body : {&list, &streamed}) {
      RawPeer peer([&](int socket, unsigned) {
        if (RawPeer::readRequest(socket).empty()) return;
        if (cut == NoLastChunk) {
          char size[16];
          std::snprintf(size, sizeof size, "%zx", body->size());
          RawPeer::sendAll(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" +
                                       *body + "\r\n");
          return;
        }
        RawPeer::sendAll(socket,
                         "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body->size() + 1) + "\r\n\r\n" + *body);
        if (cut == Reset) RawPeer::resetOnClose(socket);
      });
      DRAVBridgeClient client("hostile", Url(peer.url("/bridges/hostile")), AuthInfo());
      try {
        if (body == &list) client.call("call");
        else client.stream("call", [](const unsigned char*, std::size_t) {});
        ADD_FAILURE() << "cut " << cut << ": a cut answer went through";
      } catch (const DRAVException& e) {
        EXPECT_NE(std::string(e.what()).find("cut off after " + std::to_string(body->size()) + " bytes: 127.0.0.1:"),
                  std::string::npos)
            << e.what();
      }
    }
  }
}
#endif

}  // namespace
