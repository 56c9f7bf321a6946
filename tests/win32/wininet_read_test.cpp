// Reading answers and asking about them, and the handle and option rules,
// against a real server on 127.0.0.1.
#include "wininet_fixture.h"

#ifndef _WIN32
#include "support/raw_peer.h"

#include <zlib.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstring>

namespace wininet_test {
namespace {

using drav_test::Reply;

class Reading : public WininetTest {
protected:
  // Sends a GET for a scripted reply and returns the open request.
  HINTERNET get(HINTERNET connection, const Reply& reply) {
    server->enqueue(reply);
    HINTERNET request = open(connection, "GET", "/read");
    EXPECT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
    return request;
  }
};

TEST_F(Reading, ReadHandsBackWhatArrivedThenZeroAtTheEnd) {
  Handle connection(connect());
  Reply reply;
  reply.body = "twenty bytes of body";
  Handle request(get(connection, reply));
  std::string body;
  char piece[7];
  int reads = 0;
  for (DWORD got = 1; got != 0 && reads < 100; ++reads) {
    ASSERT_TRUE(InternetReadFile(request, piece, sizeof piece, &got));
    ASSERT_LE(got, sizeof piece);
    body.append(piece, got);
  }
  EXPECT_EQ(body, reply.body);
  EXPECT_GE(reads, 4);  // three full pieces, the rest, and the end
  DWORD got = 5;
  EXPECT_TRUE(InternetReadFile(request, piece, sizeof piece, &got));
  EXPECT_EQ(got, 0u) << "the end stays the end";
}

TEST_F(Reading, LargeBodiesArriveIntactInAnyPieceSize) {
  Handle connection(connect());
  for (bool chunked : {false, true}) {
    for (std::uint64_t size : {0ull, 1ull, 65537ull, 3ull << 20}) {
      for (DWORD piece : {13u, 4096u, 65536u}) {
        if (piece == 13 && size > 100000) continue;  // slow and adds nothing
        Reply reply;
        reply.generatedBodySize = size;
        reply.chunked = chunked;
        Handle request(get(connection, reply));
        bool ok = false;
        const std::string body = readAll(request, piece, &ok);
        ASSERT_TRUE(ok);
        ASSERT_EQ(body.size(), size) << chunked << " " << piece;
        EXPECT_EQ(drav_test::crcOf(body), drav_test::patternCrc(size)) << chunked << " " << piece;
      }
    }
  }
  // None when Windows' process-wide pool kept one from an earlier test.
  EXPECT_LE(server->connectionsAccepted(), 1u);
}

TEST_F(Reading, AResetInTheMiddleOfTheBodyFailsTheReadAfterTheBytesBeforeIt) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine ends the body at a reset as if it were complete";
  Handle connection(connect());
  Reply reply;
  reply.generatedBodySize = 100000;
  reply.resetAfterBodyBytes = 30000;
  Handle request(get(connection, reply));
  bool ok = true;
  DWORD error = 0;
  const std::string body = readAll(request, 4096, &ok, &error);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INTERNET_CONNECTION_RESET));
  EXPECT_LE(body.size(), 30000u);
  EXPECT_EQ(body, patternText(body.size()));
}

TEST_F(Reading, StatusAndHeadersAreReadWithTheDocumentedBufferRules) {
  Handle connection(connect());
  Reply reply;
  reply.status = 503;
  reply.reason = "Busy Now";
  reply.header("X-One", "1").header("Set-Cookie", "a=1; Path=/read-only").header("Set-Cookie", "b=2; Path=/read-only");
  Handle request(get(connection, reply));
  EXPECT_EQ(statusOf(request), 503u);
  // What Wine makes of a missing or short out-parameter is not checked.
  if (!dravtest::runningUnderWine()) {
    char byte = 0;
    EXPECT_FALSE(InternetReadFile(request, &byte, 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DWORD number = 0, small = 2;
    EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &number, &small, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small, static_cast<DWORD>(sizeof(DWORD))) << "the size a number needs";
  }

  WCHAR text[256];
  DWORD size = 4;
  EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const DWORD needed = size;
  size = sizeof text;
  ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, nullptr));
  EXPECT_EQ(size + sizeof(WCHAR), needed) << "the size without, then with the terminating NUL";
  const std::string raw = narrow(text, size / sizeof(WCHAR));
  EXPECT_EQ(raw.compare(0, 23, "HTTP/1.1 503 Busy Now\r\n"), 0) << raw;
  EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n");
  EXPECT_NE(raw.find("\r\nX-One: 1\r\n"), std::string::npos);

  size = sizeof text;
  ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_STATUS_TEXT, text, &size, nullptr));
  EXPECT_EQ(narrow(text, size / sizeof(WCHAR)), "Busy Now");
  size = sizeof text;
  ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_VERSION, text, &size, nullptr));
  EXPECT_EQ(narrow(text, size / sizeof(WCHAR)), "HTTP/1.1");

  DWORD index = 0;
  std::vector<std::string> cookies;
  for (int i = 0; i < 5; ++i) {
    size = sizeof text;
    if (!HttpQueryInfoW(request, HTTP_QUERY_SET_COOKIE, text, &size, &index)) break;
    cookies.push_back(narrow(text, size / sizeof(WCHAR)));
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
  EXPECT_EQ(cookies, (std::vector<std::string>{"a=1; Path=/read-only", "b=2; Path=/read-only"}));
  EXPECT_EQ(index, 2u);

  const Wide name = wide("x-one");
  std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  size = sizeof text;
  ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, text, &size, nullptr));
  EXPECT_EQ(narrow(text, size / sizeof(WCHAR)), "1");
}

TEST_F(Reading, NothingCanBeAskedOrReadBeforeTheRequestWasSent) {
  if (dravtest::runningUnderWine())
    GTEST_SKIP() << "Wine answers queries and reads on a request that was never sent";
  Handle connection(connect());
  Handle request(open(connection, "GET", "/"));
  DWORD code = 0, size = sizeof code;
  EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND));
  char piece[4];
  DWORD got = 9;
  EXPECT_FALSE(InternetReadFile(request, piece, sizeof piece, &got));
  EXPECT_EQ(got, 0u);
}

// --- Handles and options -------------------------------------------------------

class Handles : public WininetTest {};

TEST_F(Handles, NullClosedAndForeignHandlesAreRefused) {
  EXPECT_FALSE(InternetCloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HINTERNET connection = connect();
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(InternetCloseHandle(connection));
  EXPECT_FALSE(InternetCloseHandle(connection));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(open(connection, "GET", "/"), nullptr);
  // Wine says ERROR_INTERNET_INCORRECT_HANDLE_TYPE for a closed handle here.
  if (!dravtest::runningUnderWine()) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  // The calls on a request refuse what is not one.
  for (HINTERNET notARequest : {static_cast<HINTERNET>(nullptr), connection}) {
    char piece[4] = {};
    DWORD done = 0;
    EXPECT_FALSE(HttpSendRequestW(notARequest, nullptr, 0, nullptr, 0));
    EXPECT_FALSE(InternetWriteFile(notARequest, piece, sizeof piece, &done));
    EXPECT_FALSE(HttpEndRequestW(notARequest, nullptr, 0, 0));
    EXPECT_FALSE(InternetReadFile(notARequest, piece, sizeof piece, &done));
  }
}

TEST_F(Handles, AnUnknownAccessTypeOrAnAsynchronousSessionOpensNoSession) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine opens asynchronous sessions; unknown access types are not checked";
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(InternetOpenW(DRAV_W("wininet-test"), 77, nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Nothing here would ever call back: a session that promised to is refused.
  for (const DWORD flag : {DWORD(INTERNET_FLAG_ASYNC), DWORD(INTERNET_FLAG_OFFLINE)}) {
    EXPECT_EQ(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, flag), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED)) << flag;
  }
}

TEST_F(Handles, AHandleOfTheWrongKindIsRefused) {
  EXPECT_EQ(open(session, "GET", "/"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
  Handle connection(connect());
  EXPECT_FALSE(HttpSendRequestW(connection, nullptr, 0, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
}

TEST_F(Handles, ARequestOutlivesTheHandlesItWasOpenedFrom) {
  if (dravtest::runningUnderWine()) GTEST_SKIP() << "Wine closes the requests with their connection";
  HINTERNET connection = connect();
  Handle request(open(connection, "GET", "/"));
  ASSERT_TRUE(InternetCloseHandle(connection));
  ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
  EXPECT_EQ(statusOf(request), 200u);
}

TEST_F(Handles, OptionsAreCheckedForKindLengthAndName) {
  EXPECT_EQ(InternetAttemptConnect(0), static_cast<DWORD>(ERROR_SUCCESS));
  HTTP_VERSION_INFO version = {1, 1};
  EXPECT_TRUE(InternetSetOptionW(nullptr, INTERNET_OPTION_HTTP_VERSION, &version, sizeof version));
  DWORD value = 1000;
  // Wine accepts security flags on a session and a short length, and ignores both.
  if (!dravtest::runningUnderWine()) {
    EXPECT_FALSE(InternetSetOptionW(session, INTERNET_OPTION_SECURITY_FLAGS, &value, sizeof value));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
    EXPECT_FALSE(InternetSetOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &value, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_BAD_OPTION_LENGTH));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(setText(nullptr, INTERNET_OPTION_USERNAME, "u")) << "credentials belong to a handle";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INCORRECT_HANDLE_TYPE));
    // Missing buffers are refused before anything is read from or written to them.
    EXPECT_FALSE(InternetSetOptionW(nullptr, INTERNET_OPTION_HTTP_VERSION, nullptr, sizeof version));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(InternetQueryOptionW(session, INTERNET_OPTION_CONNECT_TIMEOUT, &value, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_FALSE(InternetSetOptionW(session, 0x7FFF, &value, sizeof value));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_INVALID_OPTION));
}


#ifndef _WIN32
// Trailers come after the body, when the answer's head is settled: they
// are neither headers to ask about nor cookies, and a line in them that
// looks like a status line starts no new answer.
TEST(HostileAnswers, TrailersChangeNothingOfTheAnswerAndSetNoCookie) {
  using drav_test::RawPeer;
  std::atomic<bool> cookieCameBack{false};
  std::atomic<int> answers{0};
  RawPeer peer([&](int socket, unsigned) {
    for (std::string request; !(request = RawPeer::readRequest(socket)).empty();) {
      cookieCameBack = cookieCameBack || request.find("planted") != std::string::npos;
      RawPeer::sendAll(socket, answers++ > 0 ? std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
                                             : "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Late\r\n\r\n"
                                               "3\r\none\r\n0\r\nX-Late: yes\r\nSet-Cookie: planted=1\r\n"
                                               "HTTP/1.1 500: Forged\r\n\r\n");
    }
  });
  Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
  for (int call = 0; call < 2; ++call) {
    Handle request(HttpOpenRequestW(connection, DRAV_W("GET"), DRAV_W("/trailers"), nullptr, nullptr, nullptr,
                                    INTERNET_FLAG_KEEP_CONNECTION, 0));
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << GetLastError();
    bool ok = false;
    const std::string body = readAll(request, 100, &ok);
    EXPECT_TRUE(ok);
    if (call == 1) break;
    EXPECT_EQ(body, "one");
    EXPECT_EQ(statusOf(request), 200u);
    WCHAR text[512];
    DWORD size = sizeof text;
    ASSERT_TRUE(HttpQueryInfoW(request, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, nullptr));
    EXPECT_EQ(narrow(text, size / sizeof(WCHAR)),
              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Late\r\n\r\n");
  }
  EXPECT_FALSE(cookieCameBack);
}

// A connection that closes before an answer's head has ended (after its
// status line, inside its lines) brought no answer: the send fails as a
// closed connection, not as an empty 200.
TEST(HostileAnswers, AHeadCutOffIsNoAnswer) {
  using drav_test::RawPeer;
  for (const std::string sent : {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n",
                                  "HTTP/1.1 200 OK\r\n\r\nuntil the end"}) {
    RawPeer peer([&](int socket, unsigned) {
      if (!RawPeer::readRequest(socket).empty()) RawPeer::sendAll(socket, sent);
    });
    Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(HttpOpenRequestW(connection, DRAV_W("POST"), DRAV_W("/cut"), nullptr, nullptr, nullptr, 0, 0));
    const bool whole = sent.find("\r\n\r\n") != std::string::npos;
    const BOOL ok = HttpSendRequestW(request, nullptr, 0, const_cast<char*>("x"), 1);
    EXPECT_EQ(whole, ok != FALSE) << sent;
    if (whole) EXPECT_EQ(readAll(request, 100), "until the end");
    else EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_CONNECTION_ABORTED)) << sent;
  }
}

// A request offers no transfer coding but chunked (it sends no TE): an
// answer coded otherwise is refused, not inflated (50 KiB of it would be
// 50 MiB to take in).
TEST(HostileAnswers, ATransferCodingNeverOfferedIsRefused) {
  using drav_test::RawPeer;
  const std::string plain(50u << 20, 'a');
  uLongf size = compressBound(static_cast<uLong>(plain.size()));
  std::string packed(size, '\0');
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(plain.data()),
                      static_cast<uLong>(plain.size()), 9),
            Z_OK);
  packed.resize(size);
  char chunk[32];
  std::snprintf(chunk, sizeof chunk, "%zx\r\n", packed.size());
  for (const char* coding : {"deflate, chunked", "chunked\r\nTransfer-Encoding: gzip"}) {
    RawPeer peer([&](int socket, unsigned) {
      if (RawPeer::readRequest(socket).empty()) return;
      RawPeer::sendAll(socket, std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: ") + coding + "\r\n\r\n" + chunk +
                                   packed + "\r\n0\r\n\r\n");
    });
    Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(HttpOpenRequestW(connection, DRAV_W("GET"), DRAV_W("/coded"), nullptr, nullptr, nullptr, 0, 0));
    DWORD error = 0;
    bool ok = HttpSendRequestW(request, nullptr, 0, nullptr, 0) != FALSE;
    if (!ok) error = GetLastError();
    std::string body;
    if (ok) body = readAll(request, 65536, &ok, &error);
    EXPECT_FALSE(ok) << coding;
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_HTTP_INVALID_SERVER_RESPONSE)) << coding;
    EXPECT_LE(body.size(), packed.size()) << coding;
    // The refusal was that answer's: the same request sent again where
    // nothing listens any more fails for that.
    peer.closeListener();
    EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << coding;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INTERNET_CANNOT_CONNECT)) << coding;
  }
  // chunked alone, however spaced and spelt, is read as it is.
  for (const char* coding : {"chunked \t", " \tCHUNKED", ", chunked"}) {
    RawPeer peer([&](int socket, unsigned) {
      if (RawPeer::readRequest(socket).empty()) return;
      RawPeer::sendAll(socket, std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: ") + coding +
                                   "\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
    });
    Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(HttpOpenRequestW(connection, DRAV_W("GET"), DRAV_W("/coded"), nullptr, nullptr, nullptr, 0, 0));
    bool ok = HttpSendRequestW(request, nullptr, 0, nullptr, 0) != FALSE;
    ASSERT_TRUE(ok) << coding << ": " << GetLastError();
    DWORD error = 0;
    EXPECT_EQ("hello", readAll(request, 65536, &ok, &error)) << coding;
    EXPECT_TRUE(ok) << coding << ": " << error;
  }
}

// An answer head beyond what any host sends is refused as an answer that
// cannot be read, its lines not held; one of a fair size is read whole, as
// often as the request is sent again.
TEST(HostileAnswers, AHeadTooLargeIsAnAnswerThatCannotBeRead) {
  using drav_test::RawPeer;
  for (const int lines : {1000, 5000}) {  // about 80 KiB and 400 KiB
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n";
    for (int i = 0; i < lines; ++i) head += "X-Filler-" + std::to_string(i) + ": " + std::string(64, 'f') + "\r\n";
    RawPeer peer([&](int socket, unsigned) {
      for (int served = 0; served < 4 && !RawPeer::readRequest(socket).empty(); ++served)
        RawPeer::sendAll(socket, head + "\r\nok");
    });
    Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0));
    Handle request(HttpOpenRequestW(connection, DRAV_W("GET"), DRAV_W("/big"), nullptr, nullptr, nullptr, 0, 0));
    if (lines == 1000) {
      for (int sent = 0; sent < 4; ++sent) {  // 320 KiB of heads in all
        ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << sent << ": " << GetLastError();
        bool read = false;
        DWORD error = 0;
        EXPECT_EQ("ok", readAll(request, 65536, &read, &error)) << sent;
      }
      continue;
    }
    EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_HTTP_INVALID_SERVER_RESPONSE), GetLastError());
  }
}

// A request sent again whose second send gets no answer has no status and
// no headers: what the first answer said is not the second's.
TEST(HostileAnswers, ASendThatGetsNoAnswerLeavesNothingOfTheAnswerBefore) {
  using drav_test::RawPeer;
  RawPeer peer([](int socket, unsigned connection) {
    if (RawPeer::readRequest(socket).empty() || connection > 1) return;  // later requests: closed unanswered
    RawPeer::sendAll(socket, "HTTP/1.1 200 OK\r\nX-First: yes\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
  });
  Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
  Handle request(HttpOpenRequestW(connection, DRAV_W("POST"), DRAV_W("/twice"), nullptr, nullptr, nullptr, 0, 0));
  char body[] = "call";
  ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, body, 4)) << GetLastError();
  bool read = false;
  DWORD error = 0;
  ASSERT_EQ("ok", readAll(request, 64, &read, &error));

  EXPECT_FALSE(HttpSendRequestW(request, nullptr, 0, body, 4));
  DWORD code = 0, size = sizeof code;
  EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr))
      << "status " << code;
  EXPECT_EQ(static_cast<DWORD>(ERROR_HTTP_HEADER_NOT_FOUND), GetLastError());
  WCHAR text[64];
  std::memcpy(text, DRAV_W("X-First"), 8 * sizeof(WCHAR));
  size = sizeof text;
  EXPECT_FALSE(HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, text, &size, nullptr));
}
#endif

}  // namespace
}  // namespace wininet_test
