// The page objects a bridge gets from the host, over a channel in memory:
// COM identity and reference counting, BinaryRead reading only what is asked
// from the connection, and the IIS wrappers writing through IResponse.
#include "host_test_support.h"

#include "host/pages/page_request.h"
#include "host/pages/page_response.h"

#include <drav/hosting/http_buffer_allocator.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/invocation_status.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace hosttest {
namespace {

using DRAVHelpers::IIS::IID_IRequest;
using DRAVHelpers::IIS::IRequest;
using DRAVHelpers::IIS::IResponse;
using DRAVHelpers::IIS::IID_IResponse;
using DRAVHost::PageRequest;
using DRAVHost::PageResponse;
using DRAVHost::RequestStream;
using DRAVHost::ResponseStream;

// A request whose head has been read, its body still on the channel.
struct PostedBody {
  explicit PostedBody(const std::string& body, std::size_t pieceSize = std::string::npos, std::size_t declared = 0)
      : channel("POST /b HTTP/1.1\r\nHost: h\r\nContent-Length: " + std::to_string(declared ? declared : body.size()) +
                    "\r\n\r\n" + body,
                pieceSize),
        settings(testSettings()),
        in(channel, settings, testBuffers()) {
    readHead(in);
    request = PageRequest::create(in, static_cast<std::uint32_t>(declared ? declared : body.size()));
  }
  ~PostedBody() { request->Release(); }

  MemoryChannel channel;
  DRAVHost::HostSettings settings;
  RequestStream in;
  PageRequest* request;
};

std::string bytesOf(const VARIANT& result) {
  EXPECT_EQ(VT_ARRAY | VT_UI1, result.vt);
  return std::string(static_cast<const char*>(result.parray->pvData), result.parray->rgsabound[0].cElements);
}

TEST(PageObjects, AnswerQueryInterfaceByIidAndCountReferences) {
  PostedBody posted("x");
  IRequest* asked = nullptr;
  IDispatch* request = posted.request;
  ASSERT_EQ(S_OK, request->QueryInterface(IID_IRequest, reinterpret_cast<void**>(&asked)));
  EXPECT_EQ(static_cast<IDispatch*>(posted.request), asked);
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, request->QueryInterface(IID_IResponse, &other));
  EXPECT_EQ(nullptr, other);
  EXPECT_EQ(E_POINTER, request->QueryInterface(IID_IUnknown, nullptr));
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, request->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  EXPECT_EQ(4u, request->AddRef());
  EXPECT_EQ(3u, request->Release());
  EXPECT_EQ(2u, unknown->Release());
  EXPECT_EQ(1u, asked->Release());  // the fixture's reference frees it
  IDispatch* item = request;
  EXPECT_EQ(E_NOTIMPL, posted.request->get_Item(nullptr, &item));
  EXPECT_EQ(nullptr, item);

  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  PageResponse* response = PageResponse::create(out);
  IResponse* answered = nullptr;
  EXPECT_EQ(S_OK, response->QueryInterface(IID_IResponse, reinterpret_cast<void**>(&answered)));
  EXPECT_EQ(E_NOINTERFACE, response->QueryInterface(IID_IRequest, &other));
  answered->Release();
  EXPECT_EQ(0u, response->Release());
}

TEST(PageRequest, BinaryReadTakesOnlyWhatIsAskedFromTheConnection) {
  const std::string body(1024 * 1024, 'q');
  PostedBody posted(body, 4096);
  VARIANT count, result;
  VariantInit(&count);
  count.vt = VT_I4;
  count.lVal = 100;
  ASSERT_EQ(S_OK, posted.request->BinaryRead(&count, &result));
  EXPECT_EQ(100, count.lVal);
  EXPECT_EQ(std::string(100, 'q'), bytesOf(result));
  VariantClear(&result);
  // The head and at most one input buffer of the body have left the channel.
  EXPECT_LT(posted.channel.delivered(), 80u * 1024);
}

TEST(PageRequest, TheRequestWrapperReadsTheBodyInTheChunksItAsks) {
  std::string body;
  for (int i = 0; i < 10000; ++i) body += static_cast<char>(i * 13);
  for (const unsigned long chunk : {1ul, 7ul, 4096ul, 20000ul}) {
    PostedBody posted(body, 333);
    DRAVHelpers::IIS::RequestWrapper reader(posted.request, 0, new DRAVHelpers::IIS::DefaultHTTPBufferAllocator);
    EXPECT_EQ(body.size(), reader.GetTotalSize());
    std::string read;
    for (int guard = 0; guard < 20000 && read.size() < body.size(); ++guard) {
      unsigned char* piece = nullptr;
      unsigned long size = 0;
      ASSERT_TRUE(reader.ReadBufferChunk(piece, chunk, size));
      ASSERT_EQ(std::min<unsigned long>(chunk, body.size() - read.size()), size);
      read.append(reinterpret_cast<char*>(piece), size);
      delete[] piece;
    }
    EXPECT_EQ(body, read) << "chunk " << chunk;
  }
}

TEST(PageRequest, TakesACountOfEveryIntegerKindAndRefusesTheRest) {
  LONG byReference = 3;
  const struct {
    VARTYPE vt;
    LONGLONG value;
    HRESULT expected;
  } cases[] = {
      {VT_UI1, 3, S_OK},  {VT_I2, 3, S_OK},  {VT_UI2, 3, S_OK},        {VT_I4, 3, S_OK},
      {VT_UI4, 3, S_OK},  {VT_INT, 3, S_OK}, {VT_UINT, 3, S_OK},       {VT_I8, 3, S_OK},
      {VT_BYREF | VT_I4, 0, S_OK},           {VT_I4, -1, E_INVALIDARG}, {VT_R8, 3, DISP_E_TYPEMISMATCH},
      {VT_BSTR, 0, DISP_E_TYPEMISMATCH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("vt " + std::to_string(c.vt));
    PostedBody posted("abcdef");
    VARIANT count, result;
    VariantInit(&count);
    VariantInit(&result);
    count.vt = c.vt;
    count.llVal = c.value;
    if (c.vt == (VT_BYREF | VT_I4)) count.plVal = &byReference;
    if (c.vt == VT_R8) count.dblVal = 3.0;
    ASSERT_EQ(c.expected, posted.request->BinaryRead(&count, &result));
    if (c.expected != S_OK) continue;
    EXPECT_EQ("abc", bytesOf(result));
    VariantClear(&result);
  }
}

TEST(PageRequest, AskingBeyondTheBodyGivesTheRestThenNothing) {
  PostedBody posted("0123456789");
  VARIANT count, result;
  VariantInit(&count);
  count.vt = VT_UI4;
  count.ulVal = 0x7FFFFFFF;
  ASSERT_EQ(S_OK, posted.request->BinaryRead(&count, &result));
  EXPECT_EQ(10u, count.ulVal);
  EXPECT_EQ("0123456789", bytesOf(result));
  VariantClear(&result);
  count.ulVal = 5;
  ASSERT_EQ(S_OK, posted.request->BinaryRead(&count, &result));
  EXPECT_EQ(0u, count.ulVal);
  EXPECT_EQ("", bytesOf(result));
  VariantClear(&result);
}

TEST(PageRequest, ABodyCutShortFailsTheReadAndSaysWhy) {
  // The client declared 50 bytes, sent 20 and ended its side.
  PostedBody posted(std::string(20, 'c'), std::string::npos, 50);
  VARIANT count, result;
  VariantInit(&count);
  VariantInit(&result);
  count.vt = VT_I4;
  count.lVal = 50;
  EXPECT_EQ(E_FAIL, posted.request->BinaryRead(&count, &result));
  EXPECT_EQ(VT_EMPTY, result.vt);
  EXPECT_NE(std::string::npos, posted.request->lastError().find("ended after 20 bytes")) << posted.request->lastError();
}

TEST(PageObjects, DetachedObjectsRefuseEveryCall) {
  PostedBody posted("abc");
  posted.request->detach();
  LONG total = 0;
  VARIANT count, result;
  VariantInit(&count);
  count.vt = VT_I4;
  count.lVal = 1;
  EXPECT_EQ(E_UNEXPECTED, posted.request->get_TotalBytes(&total));
  EXPECT_EQ(E_UNEXPECTED, posted.request->BinaryRead(&count, &result));

  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  PageResponse* response = PageResponse::create(out);
  response->detach();
  VARIANT_BOOL flag = 0;
  EXPECT_EQ(E_UNEXPECTED, response->put_Buffer(VARIANT_FALSE));
  EXPECT_EQ(E_UNEXPECTED, response->IsClientConnected(&flag));
  BSTR name = SysAllocString(DRAV_W("X-Late"));
  EXPECT_EQ(E_UNEXPECTED, response->AddHeader(name, name));
  SysFreeString(name);
  DRAVHelpers::IIS::ResponseWrapper writer(response);
  unsigned char byte = 1;
  EXPECT_FALSE(writer.WriteBufferChunk(&byte, 1));
  response->Release();
  EXPECT_EQ("", channel.written());
}

TEST(PageResponse, TheResponseWrapperStreamsAValueHeadChunksAndTheStatus) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  PageResponse* response = PageResponse::create(out);
  {
    DRAVHelpers::IIS::ResponseWrapper writer(response);  // turns buffering off
    ASSERT_TRUE(writer.WriteBufferSize(26));
    unsigned char value[] = "abcdefghijklmnopqrstuvwxyz";
    ASSERT_TRUE(writer.WriteBufferChunk(value, 26));  // a size line with a hex letter
    DRAVInvocation::Bridge::Status status;
    ASSERT_TRUE(writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())));
  }
  response->Release();
  out.finish();
  const std::string status("\0\0\0\1\0\0\0\0\1\0\0\0\0\x12no error detected\0\0\0\0\0", 36);
  EXPECT_EQ("HTTP/1.1 200 OK\r\nServer: dravbridge\r\nContent-Type: application/octet-stream\r\n"
            "Transfer-Encoding: chunked\r\n\r\n" +
                std::string("7\r\n\x01\x00\x03\x00\x00\x00\x1a\r\n", 12) + "1a\r\nabcdefghijklmnopqrstuvwxyz\r\n24\r\n" +
                status +
                "\r\n0\r\n\r\n",
            channel.written());
}

// Writes `bytes` as one BinaryWrite, as the response wrapper does, from a
// block of exactly their size (so that a read past it shows under ASan).
void writeChunk(PageResponse* response, const std::string& bytes) {
  std::vector<unsigned char> block(bytes.begin(), bytes.end());
  DRAVHelpers::IIS::ResponseWrapper writer(response);
  ASSERT_TRUE(writer.WriteBufferChunk(block.data(), static_cast<unsigned long>(block.size())));
}

TEST(PageResponse, TellsTheStatusCodeTheBridgeWroteLast) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  PageResponse* response = PageResponse::create(out);
  EXPECT_EQ(std::nullopt, response->statusWritten());
  {
    DRAVHelpers::IIS::ResponseWrapper writer(response);
    DRAVInvocation::Bridge::Status failed("t1", "", "failed", -2);
    ASSERT_TRUE(writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(failed.getVariant())));
  }
  EXPECT_EQ(-2L, response->statusWritten());
  writeChunk(response, "");  // nothing written: the status still ends the answer
  EXPECT_EQ(-2L, response->statusWritten());
  // Exactly one record, and nothing else, counts.
  const std::string record("\0\0\0\1\0\0\0\0\2a\0\0\0\0\1\0\0\0\0\7", 20);
  writeChunk(response, record);
  EXPECT_EQ(7L, response->statusWritten());
  for (const std::string& other :
       {record + "x", record.substr(0, 19), std::string(record).replace(0, 4, std::string("\0\0\0\0", 4)),
        std::string(record).replace(8, 1, "z"), std::string(record).replace(10, 1, "\x7f"),
        std::string("\x01\0\0\0\0", 5), record.substr(0, 7), record.substr(0, 2)}) {
    writeChunk(response, other);
    EXPECT_EQ(std::nullopt, response->statusWritten()) << other.size();
    writeChunk(response, record);
  }
  response->Release();
}

TEST(PageResponse, StatusTypeAndHeadersChangeOnlyBeforeTheFirstByte) {
  MemoryChannel channel;
  const auto settings = testSettings();
  ResponseStream out(channel, settings, 11, true);
  PageResponse* response = PageResponse::create(out);
  BSTR status = SysAllocString(DRAV_W("404 Not Here"));
  BSTR bad = SysAllocString(DRAV_W("four oh four"));
  BSTR name = SysAllocString(DRAV_W("X-Bridge"));
  BSTR value = SysAllocString(DRAV_W("sample"));
  BSTR injected = SysAllocString(DRAV_W("a\r\nX-Injected: 1"));
  EXPECT_EQ(E_INVALIDARG, response->put_Status(bad));
  EXPECT_EQ(S_OK, response->put_Status(status));
  EXPECT_EQ(S_OK, response->AddHeader(name, value));
  EXPECT_EQ(E_INVALIDARG, response->AddHeader(name, injected));
  BSTR current = nullptr;
  ASSERT_EQ(S_OK, response->get_Status(&current));
  EXPECT_EQ(12u, SysStringLen(current));
  SysFreeString(current);

  EXPECT_EQ(S_OK, response->put_Buffer(VARIANT_FALSE));
  VARIANT data;
  VariantInit(&data);
  data.vt = VT_ARRAY | VT_UI1;
  SAFEARRAYBOUND bound = {2, 0};
  data.parray = SafeArrayCreate(VT_UI1, 1, &bound);
  EXPECT_EQ(S_OK, response->BinaryWrite(data));
  EXPECT_EQ(E_FAIL, response->put_Status(status));
  EXPECT_EQ(E_FAIL, response->AddHeader(name, value));
  EXPECT_EQ(E_FAIL, response->put_Buffer(VARIANT_TRUE));
  EXPECT_EQ(E_FAIL, response->Flush());  // buffering is off
  VariantClear(&data);
  for (BSTR text : {status, bad, name, value, injected}) SysFreeString(text);
  response->Release();
  EXPECT_EQ(0u, channel.written().find("HTTP/1.1 404 Not Here\r\n"));
  EXPECT_NE(std::string::npos, channel.written().find("X-Bridge: sample\r\n"));
  EXPECT_EQ(std::string::npos, channel.written().find("X-Injected"));
}

TEST(PageResponse, WritesThatCannotGoOutFailWithTheirReason) {
  VARIANT data;
  VariantInit(&data);
  data.vt = VT_ARRAY | VT_UI1;
  SAFEARRAYBOUND bound = {16, 0};
  data.parray = SafeArrayCreate(VT_UI1, 1, &bound);

  MemoryChannel broken;
  broken.failWrites = true;
  auto settings = testSettings();
  ResponseStream lost(broken, settings, 11, true);
  PageResponse* gone = PageResponse::create(lost);
  gone->put_Buffer(VARIANT_FALSE);
  EXPECT_EQ(HRESULT_FROM_WIN32(64), gone->BinaryWrite(data));
  VARIANT_BOOL connected = VARIANT_TRUE;
  EXPECT_EQ(S_OK, gone->IsClientConnected(&connected));
  EXPECT_EQ(VARIANT_FALSE, connected);
  gone->Release();

  MemoryChannel channel;
  settings.responseBufferLimit = 20;
  ResponseStream out(channel, settings, 11, true);
  PageResponse* buffered = PageResponse::create(out);
  EXPECT_EQ(S_OK, buffered->BinaryWrite(data));
  EXPECT_EQ(E_OUTOFMEMORY, buffered->BinaryWrite(data));
  VARIANT text;
  VariantInit(&text);
  text.vt = VT_BSTR;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, buffered->BinaryWrite(text));
  // Only a vector of single bytes is taken, whatever the variant claims.
  SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
  VARIANT grid = data, words = data;
  grid.parray = SafeArrayCreate(VT_UI1, 2, square);
  words.parray = SafeArrayCreate(VT_I4, 1, &bound);
  EXPECT_EQ(DISP_E_TYPEMISMATCH, buffered->BinaryWrite(grid));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, buffered->BinaryWrite(words));
  SafeArrayDestroy(grid.parray);
  SafeArrayDestroy(words.parray);
  EXPECT_EQ(S_OK, buffered->End());
  EXPECT_EQ(E_FAIL, buffered->BinaryWrite(data));
  buffered->Release();
  VariantClear(&data);
  EXPECT_NE(std::string::npos, channel.written().find("Content-Length: 16\r\n"));
}

}  // namespace
}  // namespace hosttest
