// The HTTP layer of the host over a channel in memory: request heads and
// bodies arriving in any pieces, refused heads, and the two ways an answer
// goes out (whole with its length, or chunk by chunk).
#include "host_test_support.h"

#include <drav/host/bridge_handler.h>
#include "host/server/request_stream.h"
#include "host/server/response_stream.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace hosttest {
namespace {

using DRAVHost::HttpError;
using DRAVHost::RequestStream;
using DRAVHost::ResponseStream;

const std::size_t kPieceSizes[] = {1, 2, 3, 7, 64, 4096, std::string::npos};

std::string sampleBody(std::size_t size) {
  std::string body(size, '\0');
  for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 7919) >> 3);
  return body;
}

std::string readWholeBody(RequestStream& in, std::size_t bufferSize) {
  std::string body;
  std::string buffer(bufferSize, '\0');
  for (int guard = 0; guard < 100000; ++guard) {
    const std::size_t n = in.readBody(&buffer[0], buffer.size());
    if (n == 0) break;
    body.append(buffer, 0, n);
  }
  return body;
}

std::string chunked(const std::string& body, std::size_t chunk, const std::string& trailer = "") {
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += chunk) {
    const std::string piece = body.substr(at, chunk);
    char size[16];
    std::snprintf(size, sizeof size, "%zx", piece.size());
    out += std::string(size) + ";ext=1\r\n" + piece + "\r\n";
  }
  return out + "0\r\n" + trailer + "\r\n";
}

TEST(RequestStream, ReadsHeadsAndBodiesArrivingInAnyPieces) {
  const std::string body = sampleBody(10000);
  const std::string bytes = "POST /a?x=1 HTTP/1.1\r\nHost: h\r\nX-Call: one\r\nContent-Length: 10000\r\n\r\n" + body +
                            "GET /next HTTP/1.1\r\nHost: h\r\n\r\n";
  for (std::size_t piece : kPieceSizes) {
    SCOPED_TRACE("piece size " + std::to_string(piece));
    MemoryChannel channel(bytes, piece);
    const auto settings = testSettings();
    RequestStream in(channel, settings, testBuffers());
    ASSERT_TRUE(readHead(in));
    EXPECT_EQ("POST", in.head().method);
    EXPECT_EQ("/a", in.head().path());
    ASSERT_NE(nullptr, in.head().field("x-call"));
    EXPECT_EQ("one", *in.head().field("X-CALL"));
    EXPECT_EQ(10000u, in.head().contentLength);
    EXPECT_EQ(body, readWholeBody(in, 333));
    EXPECT_TRUE(in.bodyComplete());
    ASSERT_TRUE(readHead(in));  // the next request was already in the buffer
    EXPECT_EQ("/next", in.head().target);
    EXPECT_EQ(0u, in.readBody(&piece, 1));
    EXPECT_FALSE(readHead(in));  // then the input ends
  }
}

// Trailer fields come after the body, where nothing checks them: the head's
// fields stay what the head carried.
TEST(RequestStream, ReadsChunkedBodiesInAnyPiecesAndDropsTheirTrailers) {
  const std::string body = sampleBody(5000);
  const std::string bytes = "POST /c HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n" +
                            chunked(body, 777, "Authorization: Basic c2FtOnB3\r\nX-Forwarded-For: 192.0.2.9\r\n");
  for (std::size_t piece : kPieceSizes) {
    SCOPED_TRACE("piece size " + std::to_string(piece));
    MemoryChannel channel(bytes, piece);
    const auto settings = testSettings();
    RequestStream in(channel, settings, testBuffers());
    ASSERT_TRUE(readHead(in));
    EXPECT_TRUE(in.head().chunked);
    EXPECT_FALSE(in.head().hasContentLength);
    EXPECT_EQ(body, readWholeBody(in, 1000));
    EXPECT_TRUE(in.bodyComplete());
    EXPECT_EQ(2u, in.head().fields.size());
    EXPECT_EQ(nullptr, in.head().field("Authorization"));
  }
}

TEST(RequestStream, RefusesHeadsItCannotServeWithTheirStatus) {
  auto settings = testSettings();
  settings.headerLimit = 1024;
  settings.bodyLimit = 1000;
  const struct {
    std::string bytes;
    unsigned status;
  } cases[] = {
      {"this is not HTTP\r\n\r\n", 400},
      {"POST / HTTP/2.0\r\nHost: h\r\n\r\n", 400},  // only HTTP/1.0 and 1.1 are spoken
      {"POST / HTTP/1.1\r\nHost: h\r\nX-Big: " + std::string(2000, 'a') + "\r\n\r\n", 431},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1001\r\n\r\n", 413},
      {"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
      {"POST / HTTP/1.1\r\nHost: h\r\n", 400},  // the input ends inside the head
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 40));
    MemoryChannel channel(c.bytes);
    RequestStream in(channel, settings, testBuffers());
    try {
      readHead(in);
      ADD_FAILURE() << "the head was accepted";
    } catch (const HttpError& e) {
      EXPECT_EQ(c.status, e.status()) << e.what();
    }
  }
}

TEST(RequestStream, ABodyThatEndsEarlyIsRefusedAndStaysRefused) {
  MemoryChannel channel("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 100\r\n\r\n" + sampleBody(60), 16);
  const auto settings = testSettings();
  RequestStream in(channel, settings, testBuffers());
  ASSERT_TRUE(readHead(in));
  char buffer[200];
  try {
    in.readBody(buffer, sizeof buffer);
    ADD_FAILURE() << "a cut body was read whole";
  } catch (const HttpError& e) {
    EXPECT_EQ(400u, e.status());
    EXPECT_NE(std::string::npos, std::string(e.what()).find("ended after 60 bytes")) << e.what();
  }
  EXPECT_THROW(in.readBody(buffer, sizeof buffer), HttpError);
  EXPECT_FALSE(in.drainBody(1000));
}

// An idle connection holds no buffer: the stream gives its input back once
// every byte in it is used, and not before.
TEST(RequestStream, GivesItsInputBufferBackOnlyWhenItIsEmpty) {
  DRAVHost::BufferPool pool(64 * 1024, 1);
  std::unique_ptr<char[]> seed = pool.take();
  char* const seeded = seed.get();
  pool.giveBack(std::move(seed));
  MemoryChannel channel("GET /a HTTP/1.1\r\nHost: h\r\n\r\nGET /b HTTP/1.1\r\nHost: h\r\n\r\n");
  channel.endAfterInput = false;
  const auto settings = testSettings();
  RequestStream in(channel, settings, pool);
  ASSERT_TRUE(readHead(in));
  ASSERT_TRUE(in.holdsInput());
  in.releaseInputIfEmpty();
  const std::unique_ptr<char[]> other = pool.take();
  EXPECT_NE(seeded, other.get()) << "given back while the next head was in it";
  ASSERT_TRUE(readHead(in));
  EXPECT_EQ("/b", in.head().path());
  in.releaseInputIfEmpty();
  EXPECT_EQ(seeded, pool.take().get());
}

TEST(RequestStream, AnIdleConnectionEndsQuietlyButAStalledHeadFails) {
  const auto settings = testSettings();
  MemoryChannel idle;
  idle.endAfterInput = false;
  RequestStream quiet(idle, settings, testBuffers());
  EXPECT_FALSE(readHead(quiet));

  MemoryChannel stalled("POST / HTTP/1.1\r\nHost:");
  stalled.endAfterInput = false;
  RequestStream cut(stalled, settings, testBuffers());
  try {
    readHead(cut);
    ADD_FAILURE() << "a stalled head was accepted";
  } catch (const DRAVHost::ChannelError& e) {
    EXPECT_TRUE(e.timedOut());
  }
}

TEST(RequestStream, DrainsOnlyARestWithinTheLimit) {
  const auto settings = testSettings();
  for (const std::size_t size : {100u, 70000u}) {
    MemoryChannel channel("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + sampleBody(size));
    RequestStream in(channel, settings, testBuffers());
    ASSERT_TRUE(readHead(in));
    EXPECT_EQ(size <= 65536, in.drainBody(65536)) << size;
  }
}

std::string okHead(const std::string& framing) {
  return "HTTP/1.1 200 OK\r\nServer: dravbridge\r\nContent-Type: application/octet-stream\r\n" + framing + "\r\n";
}

TEST(ResponseStream, BufferedOutputGoesOutWholeWithItsLength) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  out.write("hel", 3);
  out.write("lo", 2);
  EXPECT_EQ("", channel.written());
  out.finish();
  EXPECT_EQ(okHead("Content-Length: 5\r\n") + "hello", channel.written());
  EXPECT_THROW(out.write("x", 1), std::logic_error);
}

TEST(ResponseStream, UnbufferedWritesGoOutAsChunksAtOnce) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  ASSERT_TRUE(out.setBuffering(false));
  out.write("hello", 5);
  EXPECT_EQ(okHead("Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n", channel.written());
  out.write("", 0);  // an empty chunk would end the body: nothing goes out
  const std::string big(0x1000, 'b');
  out.write(big.data(), big.size());
  out.finish();
  EXPECT_EQ(okHead("Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\n1000\r\n" + big + "\r\n0\r\n\r\n",
            channel.written());
  EXPECT_FALSE(out.setBuffering(true));
}

// What arrived at `fd` by now, without waiting.
std::string arrived(int fd) {
  std::string bytes;
  char buffer[8192];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) bytes.append(buffer, n);
  return bytes;
}

TEST(PlainChannel, HoldsOutputWrittenSoonOnlyUntilTheNextWriteAWaitingReadOrTheWatcher) {
  int ends[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends));
  const auto channel = DRAVHost::plainChannel(ends[0]);
  const DRAVHost::ConstPiece a{"ab", 2}, c{"c", 1};
  channel->writeSoon(&a, 1, 1s);
  channel->writeSoon(&c, 1, 1s);
  EXPECT_EQ("", arrived(ends[1]));
  const DRAVHost::ConstPiece end{"|end", 4};
  channel->writeAll(&end, 1, 1s);
  EXPECT_EQ("abc|end", arrived(ends[1]));  // held bytes first, in order

  channel->writeSoon(&a, 1, 1s);
  channel->sendOverdue();  // the watcher, from another thread
  EXPECT_EQ("ab", arrived(ends[1]));
  channel->sendOverdue();  // nothing held: nothing sent

  channel->writeSoon(&c, 1, 1s);
  char byte;
  EXPECT_THROW(channel->readSome(&byte, 1, 50ms), DRAVHost::ChannelError);  // the read waited ...
  EXPECT_EQ("c", arrived(ends[1]));  // ... after sending what was held

  const std::string large(5000, 'x');  // more than is ever held
  const DRAVHost::ConstPiece big{large.data(), large.size()};
  channel->writeSoon(&c, 1, 1s);
  channel->writeSoon(&big, 1, 1s);
  EXPECT_EQ("c" + large, arrived(ends[1]));
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(ResponseStream, AnHttp10ClientGetsTheBodyUpToTheConnectionsEnd) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 10, true);
  out.setBuffering(false);
  out.write("abc", 3);
  out.finish();
  EXPECT_EQ(okHead("Connection: close\r\n") + "abc", channel.written());
  EXPECT_FALSE(out.keepAlive());
}

TEST(ResponseStream, HeadFieldsChangeUntilTheHeadIsOutAndNeverCarryLineBreaks) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, false);
  EXPECT_FALSE(out.addHeader("X-Evil", "a\r\nSet-Cookie: stolen=1"));
  EXPECT_FALSE(out.addHeader("X-Bad:Name", "v"));
  EXPECT_FALSE(out.setStatus(404, "Not\r\nFound"));
  EXPECT_TRUE(out.setStatus(404, "Nothing Here"));
  EXPECT_TRUE(out.addHeader("X-Note", "kept"));
  EXPECT_TRUE(out.setContentType("text/plain"));
  out.setBuffering(false);
  out.write("x", 1);
  EXPECT_FALSE(out.setStatus(200, "OK"));
  EXPECT_FALSE(out.addHeader("X-Late", "v"));
  EXPECT_EQ(0u, channel.written().find("HTTP/1.1 404 Nothing Here\r\nServer: dravbridge\r\nContent-Type: text/plain\r\n"
                                       "X-Note: kept\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"));
}

TEST(ResponseStream, BufferedOutputStopsAtTheLimitWithoutLosingWhatIsHeld) {
  MemoryChannel channel;
  auto settings = testSettings();
  settings.responseBufferLimit = 10;
  ResponseStream out(channel, settings, 11, true);
  out.write("12345678", 8);
  EXPECT_THROW(out.write("abc", 3), DRAVHost::ResponseTooLarge);
  out.finish();
  EXPECT_EQ(okHead("Content-Length: 8\r\n") + "12345678", channel.written());
}

}  // namespace
}  // namespace hosttest
