// Each answer belongs to its own request: a request given up (timed out,
// read in part, closed) never leaves its connection to the next one, where
// its late answer would be read as the next request's.
#include "wininet_fixture.h"

#ifndef _WIN32
#include "support/raw_peer.h"
#include "support/tls_test_certificate.h"

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace wininet_test {
namespace {

using drav_test::RawPeer;
using namespace std::chrono_literals;

std::string answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The request's "X-Id" value, or "".
std::string idOf(const std::string& request) {
  const std::size_t at = request.find("X-Id: ");
  return at == std::string::npos ? "" : request.substr(at + 6, request.find("\r\n", at) - at - 6);
}

struct Client {
  Handle session, connection;
  explicit Client(unsigned short port) {
    session.h = InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    connection.h = InternetConnectW(session, DRAV_W("127.0.0.1"), port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  }
  HINTERNET send(const std::string& id, DWORD receiveTimeoutMs = 30000) {
    HINTERNET request = HttpOpenRequestW(connection, DRAV_W("POST"), DRAV_W("/pair"), nullptr, nullptr, nullptr,
                                         INTERNET_FLAG_KEEP_CONNECTION, 0);
    setNumber(request, INTERNET_OPTION_RECEIVE_TIMEOUT, receiveTimeoutMs);
    addHeaders(request, "X-Id: " + id, HTTP_ADDREQ_FLAG_ADD);
    std::string body = "body of " + id;
    if (!HttpSendRequestW(request, nullptr, 0, &body[0], static_cast<DWORD>(body.size()))) {
      const DWORD error = GetLastError();
      InternetCloseHandle(request);
      SetLastError(error);
      return nullptr;
    }
    return request;
  }
};

// The peer answers each request with "answer to <id>", in the ways `late`
// chooses for the first one; every later request is answered at once.
TEST(AnswerPairing, AGivenUpRequestsLateAnswerIsNeverTheNextOnes) {
  enum Way { Late, Long, Excess, ExcessLater, CutShort, Unending };
  for (Way way : {Late, Long, Excess, ExcessLater, CutShort, Unending}) {
    std::atomic<int> first{0}, seconds{0};
    RawPeer peer([&](int socket, unsigned) {
      for (std::string request; !(request = RawPeer::readRequest(socket, 3000)).empty();) {
        const std::string mine = "answer to " + idOf(request);
        if (idOf(request) == "two") ++seconds;
        if (first++ > 0) {
          RawPeer::sendAll(socket, answer(mine));
          continue;
        }
        switch (way) {
          case Late: std::this_thread::sleep_for(400ms), RawPeer::sendAll(socket, answer(mine)); break;
          case Long: RawPeer::sendAll(socket, answer(mine + std::string(300000, '.'))); break;
          case Excess: RawPeer::sendAll(socket, answer(mine) + answer("forged")); break;
          case ExcessLater:
            RawPeer::sendAll(socket, answer(mine));
            std::this_thread::sleep_for(100ms);
            RawPeer::sendAll(socket, answer("forged"));
            break;
          case CutShort:
            RawPeer::sendAll(socket, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + mine);
            std::this_thread::sleep_for(400ms);
            RawPeer::sendAll(socket, std::string(100 - mine.size(), '.') + answer("forged"));
            break;
          case Unending:
            RawPeer::sendAll(socket, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nfirst\r\n");
            std::this_thread::sleep_for(400ms);
            RawPeer::sendAll(socket, "0\r\n\r\n" + answer("forged"));
            break;
        }
      }
    });
    Client client(peer.port());
    {
      Handle request(client.send("one", 200));
      if (request) {
        char piece[16];
        DWORD got = 0;
        InternetReadFile(request, piece, sizeof piece, &got);  // then given up
      }
    }
    std::this_thread::sleep_for(600ms);  // whatever was late has come by now
    {
      Handle request(client.send("two"));
      ASSERT_NE(request.h, nullptr) << "way " << way << ": " << GetLastError();
      EXPECT_EQ(readAll(request, 4096), "answer to two") << "way " << way;
      EXPECT_EQ(seconds, 1) << "way " << way;
    }
    // And the connection handle goes on as before (with what the last request left).
    Handle third(client.send("three"));
    ASSERT_NE(third.h, nullptr) << "way " << way << ": " << GetLastError();
    EXPECT_EQ(readAll(third, 4096), "answer to three") << "way " << way;
  }
}

// Over TLS, the late answer can wait already decrypted in the TLS layer, out
// of sight of the socket: it must still never be read as the next request's.
TEST(AnswerPairing, OverTlsAnAnswersTrailingBytesAreNeverTheNextOnes) {
  drav_test::TestCertificate certificate;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  ASSERT_NE(context, nullptr);
  ASSERT_EQ(SSL_CTX_use_certificate_file(context, certificate.certFile().c_str(), SSL_FILETYPE_PEM), 1);
  ASSERT_EQ(SSL_CTX_use_PrivateKey_file(context, certificate.keyFile().c_str(), SSL_FILETYPE_PEM), 1);
  std::atomic<int> answered{0};
  RawPeer peer([&](int socket, unsigned) {
    SSL* tls = SSL_new(context);
    SSL_set_fd(tls, socket);
    if (SSL_accept(tls) == 1) {
      for (;;) {
        std::string request;
        char piece[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          const int got = SSL_read(tls, piece, sizeof piece);
          if (got <= 0) break;
          request.append(piece, static_cast<std::size_t>(got));
        }
        if (request.find("\r\n\r\n") == std::string::npos) break;
        const std::string mine = "answer to " + idOf(request);
        if (answered++ > 0) {
          const std::string whole = answer(mine);
          SSL_write(tls, whole.data(), static_cast<int>(whole.size()));
          continue;
        }
        // The head with part of the body, then the rest of the body and a
        // forged answer in one record.
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(mine.size()) + "\r\n\r\n";
        const std::string first = head + mine.substr(0, 3), rest = mine.substr(3) + answer("forged");
        SSL_write(tls, first.data(), static_cast<int>(first.size()));
        std::this_thread::sleep_for(100ms);
        SSL_write(tls, rest.data(), static_cast<int>(rest.size()));
      }
    }
    SSL_free(tls);
  });
  Handle session(InternetOpenW(DRAV_W("wininet-test"), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  Handle connection(InternetConnectW(session, DRAV_W("127.0.0.1"), peer.port(), nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
  for (const std::string id : {"one", "two", "three"}) {
    Handle request(HttpOpenRequestW(connection, DRAV_W("GET"), DRAV_W("/pair"), nullptr, nullptr, nullptr,
                                    INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION, 0));
    setNumber(request, INTERNET_OPTION_SECURITY_FLAGS,
              SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_REVOCATION);
    addHeaders(request, "X-Id: " + id, HTTP_ADDREQ_FLAG_ADD);
    ASSERT_TRUE(HttpSendRequestW(request, nullptr, 0, nullptr, 0)) << id << ": " << GetLastError();
    EXPECT_EQ(readAll(request, 4096), "answer to " + id);
  }
  EXPECT_EQ(answered, 3);
  SSL_CTX_free(context);
}

// Threads sharing one connection handle each read their own answers, while
// some of them give up on theirs.
TEST(AnswerPairing, ThreadsSharingAConnectionReadOnlyTheirOwnAnswers) {
  RawPeer peer([&](int socket, unsigned) {
    for (std::string request; !(request = RawPeer::readRequest(socket, 3000)).empty();) {
      const std::string id = idOf(request);
      if (id.back() == '0') std::this_thread::sleep_for(150ms);  // given up by its caller
      RawPeer::sendAll(socket, answer("answer to " + id + std::string(id.size() * 1000, '.')));
    }
  });
  Client client(peer.port());
  std::atomic<int> wrong{0}, right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const std::string id = std::to_string(t) + "-" + std::to_string(i);
        Handle request(client.send(id, 50));
        if (!request) continue;
        if (i % 4 == 1) {  // a reader that stops early
          char piece[7];
          DWORD got = 0;
          InternetReadFile(request, piece, sizeof piece, &got);
          continue;
        }
        const std::string body = readAll(request, i % 3 == 0 ? 7 : 4096);
        if (body.compare(0, 10 + id.size(), "answer to " + id) == 0) ++right;
        else if (!body.empty()) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(right, 20);
}

}  // namespace
}  // namespace wininet_test
#endif
