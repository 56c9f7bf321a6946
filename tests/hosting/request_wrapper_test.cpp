// Reading a posted body through a request object in chunks: sizes asked
// for, bytes handed out, reference counting, allocators and failing hosts.
#include <drav/common/exception.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "support/capture_trace.h"
#include "support/fake_asp.h"

using DRAVHelpers::IIS::DefaultHTTPBufferAllocator;
using DRAVHelpers::IIS::HTTPBufferAllocator;
using DRAVHelpers::IIS::RequestWrapper;
using dravtest::FakeRequest;

namespace {

using Bytes = std::vector<unsigned char>;

// Counts what it hands out and takes back, and notes its own destruction.
class CountingAllocator : public DefaultHTTPBufferAllocator {
public:
  explicit CountingAllocator(bool* destroyed) : destroyed_(destroyed) {}
  ~CountingAllocator() override { *destroyed_ = true; }
  unsigned char* allocate(unsigned long size) override {
    ++outstanding;
    return DefaultHTTPBufferAllocator::allocate(size);
  }
  void free(unsigned char*& buffer, unsigned long& size) override {
    --outstanding;
    DefaultHTTPBufferAllocator::free(buffer, size);
  }
  int outstanding = 0;

private:
  bool* destroyed_;
};

Bytes randomBody(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes body(size);
  for (auto& b : body) b = static_cast<unsigned char>(random());
  return body;
}

// Reads until the body is complete (bounded), returning the chunk sizes.
std::vector<unsigned long> readAll(RequestWrapper& wrapper, HTTPBufferAllocator& allocator, unsigned long maxSize,
                                   Bytes& out) {
  std::vector<unsigned long> sizes;
  for (int calls = 0; calls < 100000 && wrapper.GetBytesRead() < wrapper.GetTotalSize(); ++calls) {
    unsigned char* buffer = nullptr;
    unsigned long got = 0;
    if (!wrapper.ReadBufferChunk(buffer, maxSize, got)) break;
    out.insert(out.end(), buffer, buffer + got);
    sizes.push_back(got);
    allocator.free(buffer, got);
  }
  return sizes;
}

TEST(RequestWrapper, TenBytesInChunksOfFourAskForFourFourTwoThenZero) {
  FakeRequest request(randomBody(10, 1));
  DefaultHTTPBufferAllocator freeing;
  RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
  EXPECT_EQ(wrapper.GetTotalSize(), 10u);
  Bytes got;
  EXPECT_EQ(readAll(wrapper, freeing, 4, got), (std::vector<unsigned long>{4, 4, 2}));
  unsigned char* buffer = nullptr;
  unsigned long size = 99;
  EXPECT_TRUE(wrapper.ReadBufferChunk(buffer, 4, size));
  EXPECT_EQ(size, 0u);
  freeing.free(buffer, size);
  EXPECT_EQ(request.requestedCounts(), (std::vector<long>{4, 4, 2, 0}));
  EXPECT_EQ(got, randomBody(10, 1));
}

TEST(RequestWrapper, AChunkLargerThanTheBodyAsksForExactlyTheBody) {
  FakeRequest request(randomBody(7, 2));
  RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
  DefaultHTTPBufferAllocator freeing;
  Bytes got;
  readAll(wrapper, freeing, 4096, got);
  EXPECT_EQ(request.requestedCounts(), (std::vector<long>{7}));
  EXPECT_EQ(got, randomBody(7, 2));
}

TEST(RequestWrapper, EveryChunkSizeAndShortHostReadsReassembleTheBody) {
  const Bytes body = randomBody(1000, 3);
  for (std::size_t hostLimit : {0u, 3u, 600u}) {
    for (unsigned long chunk : {1ul, 2ul, 3ul, 5ul, 7ul, 13ul, 64ul, 999ul, 1000ul, 4096ul}) {
      SCOPED_TRACE(testing::Message() << "chunk " << chunk << ", host limit " << hostLimit);
      FakeRequest request(body);
      request.maxPerRead = hostLimit;
      RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
      DefaultHTTPBufferAllocator freeing;
      Bytes got;
      for (unsigned long size : readAll(wrapper, freeing, chunk, got)) EXPECT_LE(size, chunk);
      EXPECT_EQ(got, body);
      EXPECT_EQ(wrapper.GetBytesRead(), 1000u);
    }
  }
}

TEST(RequestWrapper, AChunkedBodyReadsBackAsTheArgumentsThatWereSent) {
  DRAVArgs sent;
  sent.addArg(5);
  sent.addArg(std::string("ab"));
  unsigned char blob[300];
  for (int i = 0; i < 300; ++i) blob[i] = static_cast<unsigned char>(i);
  sent.addArg(blob, 300, true);
  DRAVDataOutputStream out;
  sent.writeObject(out);
  FakeRequest request(Bytes(out.getBuffer(0), out.getBuffer(0) + out.size()));

  RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
  DefaultHTTPBufferAllocator freeing;
  Bytes body;
  readAll(wrapper, freeing, 17, body);
  DRAVDataInputStream in(body.data(), static_cast<unsigned long>(body.size()));
  DRAVArgs received;
  received.readObject(in);
  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received.getInt(0), 5);
  EXPECT_EQ(received.getString(1), "ab");
  EXPECT_EQ(received.getBinaryArray(2).getLength(), 300u);
  EXPECT_EQ(received.getBinaryArray(2).getData()[299], static_cast<unsigned char>(299 & 0xFF));
}

TEST(RequestWrapper, HoldsOneReferenceToTheRequestAndGivesItBack) {
  FakeRequest request(Bytes(3, 1));
  {
    RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
    EXPECT_EQ(request.refCount(), 2);
  }
  EXPECT_EQ(request.refCount(), 1);
  EXPECT_FALSE(request.overReleased());
}

// Refuses every interface yet leaves a pointer to itself behind, no reference added.
struct SloppyRefusal : dravtest::CountedDispatch {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = this;
    return E_NOINTERFACE;
  }
};

TEST(RequestWrapper, WithoutARequestInterfaceTheBodyIsEmptyAndNothingIsRead) {
  dravtest::CountedDispatch notARequest;
  dravtest::EmptyHandedDispatch liar;  // answers S_OK with a null pointer
  SloppyRefusal sloppy;
  for (dravtest::CountedDispatch* object : {&notARequest, static_cast<dravtest::CountedDispatch*>(&liar),
                                            static_cast<dravtest::CountedDispatch*>(&sloppy)}) {
    dravtest::CaptureTrace trace;
    {
      RequestWrapper wrapper(object, 0, new DefaultHTTPBufferAllocator);
      EXPECT_TRUE(trace.contains("RequestWrapper: the request object offers no IRequest; nothing will be read"));
      EXPECT_EQ(wrapper.GetTotalSize(), 0u);
      unsigned char* buffer = nullptr;
      unsigned long size = 5;
      EXPECT_FALSE(wrapper.ReadBufferChunk(buffer, 4, size));
      EXPECT_EQ(buffer, nullptr);
      EXPECT_EQ(size, 0u);
    }
    EXPECT_EQ(object->refCount(), 1);
    EXPECT_FALSE(object->overReleased());
  }

  RequestWrapper none(nullptr, 0, nullptr);
  EXPECT_EQ(none.GetTotalSize(), 0u);
}

// Eight bytes behind a host that states a length of its choosing, or
// answers S_OK and states none.
struct StatedLengthRequest : FakeRequest {
  explicit StatedLengthRequest(LONG stated, bool states = true)
      : FakeRequest(Bytes(8, 1)), stated(stated), states(states) {}
  HRESULT STDMETHODCALLTYPE get_TotalBytes(LONG* totalBytes) override {
    if (failTotalBytes) return FakeRequest::get_TotalBytes(totalBytes);
    if (states) *totalBytes = stated;
    return S_OK;
  }
  LONG stated;
  bool states;
};

TEST(RequestWrapper, AnUnreadableLengthGivesAnEmptyBody) {
  for (bool fails : {true, false}) {
    SCOPED_TRACE(fails ? "get_TotalBytes fails" : "get_TotalBytes answers -1");
    dravtest::CaptureTrace trace;
    StatedLengthRequest request(-1);
    request.failTotalBytes = fails;
    RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
    EXPECT_EQ(wrapper.GetTotalSize(), 0u);
    EXPECT_TRUE(trace.contains(fails ? "RequestWrapper: the body length cannot be read (0x80004005); nothing will be read"
                                     : "RequestWrapper: the body length cannot be read (0x00000000); nothing will be read"));
    DefaultHTTPBufferAllocator freeing;
    Bytes got;
    readAll(wrapper, freeing, 4, got);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(request.position(), 0u);
  }
}

TEST(RequestWrapper, AnEmptyBodyIsReadWithoutComplaint) {
  dravtest::CaptureTrace trace;
  FakeRequest request(Bytes{});
  RequestWrapper wrapper(&request, 0, new DefaultHTTPBufferAllocator);
  EXPECT_EQ(wrapper.GetTotalSize(), 0u);
  unsigned char* buffer = nullptr;
  unsigned long size = 9;
  EXPECT_TRUE(wrapper.ReadBufferChunk(buffer, 4, size));
  EXPECT_EQ(size, 0u);
  DefaultHTTPBufferAllocator().free(buffer, size);
  EXPECT_EQ(request.requestedCounts(), (std::vector<long>{0}));
  EXPECT_EQ(trace.lines(), std::vector<std::string>{});

  StatedLengthRequest silent(0, false);  // S_OK, length left as it was
  EXPECT_EQ(RequestWrapper(&silent, 0, new DefaultHTTPBufferAllocator).GetTotalSize(), 0u);
}

TEST(RequestWrapper, AFailedReadReturnsFalseAndHandsOutNothing) {
  struct EmptyHandedAllocator : DefaultHTTPBufferAllocator {
    unsigned char* allocate(unsigned long) override { return nullptr; }
  };
  const struct {
    const char* name;
    bool failRead, withoutArray, withoutBuffer;
    unsigned long counted;
    const char* traced;
  } cases[] = {
      {"read fails", true, false, false, 0, "RequestWrapper: BinaryRead delivered no byte array"},
      {"no array", false, true, false, 0, "RequestWrapper: BinaryRead delivered no byte array"},
      // The bytes have left the request: they count as read.
      {"no buffer", false, false, true, 4, "RequestWrapper: the allocator gave no buffer for 4 bytes; they are lost"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dravtest::CaptureTrace trace;
    FakeRequest request(Bytes(8, 1));
    request.failRead = c.failRead;
    request.readWithoutArray = c.withoutArray;
    RequestWrapper wrapper(&request, 0, c.withoutBuffer ? new EmptyHandedAllocator : new DefaultHTTPBufferAllocator);
    unsigned char sentinel = 0;
    unsigned char* buffer = &sentinel;
    unsigned long size = 7;
    EXPECT_FALSE(wrapper.ReadBufferChunk(buffer, 4, size));
    EXPECT_EQ(buffer, &sentinel);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(wrapper.GetBytesRead(), c.counted);
    EXPECT_TRUE(trace.contains(c.traced));
  }
}

TEST(RequestWrapper, OwnsItsAllocatorAndDeletesItThroughTheBase) {
  bool destroyed = false;
  auto* allocator = new CountingAllocator(&destroyed);
  {
    FakeRequest request(Bytes(6, 2));
    RequestWrapper wrapper(&request, 42, allocator);
    EXPECT_EQ(wrapper.GetExtraBlobSize(), 42u);
    Bytes got;
    readAll(wrapper, *allocator, 4, got);
    EXPECT_EQ(allocator->outstanding, 0);
  }
  EXPECT_TRUE(destroyed);
}

TEST(RequestWrapper, WithoutAnAllocatorNothingIsConsumed) {
  FakeRequest request(Bytes(6, 2));
  RequestWrapper wrapper(&request, 0, nullptr);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  EXPECT_FALSE(wrapper.ReadBufferChunk(buffer, 4, size));
  EXPECT_EQ(request.position(), 0u);
}

TEST(RequestWrapper, AnExtraBlobSizeBeyond32BitsIsRefusedWithoutLeaks) {
  if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long is 32 bits here";
  bool destroyed = false;
  FakeRequest request(Bytes(1, 0));
  EXPECT_THROW(RequestWrapper(&request, ULONG_MAX, new CountingAllocator(&destroyed)), DRAVException);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(request.refCount(), 1);
}

TEST(DefaultHTTPBufferAllocator, FreeResetsBothArgumentsEvenForNull) {
  DefaultHTTPBufferAllocator allocator;
  unsigned long size = 12;
  unsigned char* buffer = allocator.allocate(size);
  ASSERT_NE(buffer, nullptr);
  buffer[11] = 1;
  allocator.free(buffer, size);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(size, 0u);
  size = 3;
  allocator.free(buffer, size);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(size, 0u);
}

}  // namespace
