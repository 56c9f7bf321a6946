// The greeter bridge: a bridge plugin with one method, greet, which answers
// a name with a greeting. It reads its arguments through the request wrapper
// and answers through the response wrapper, as bridge pages do on a web
// server, so the same code serves there too.
#include <drav/dravCommon.h>
#include <drav/host/bridge_plugin.h>

#include <vector>

using DRAVHelpers::IIS::DefaultHTTPBufferAllocator;
using DRAVHelpers::IIS::HTTPBufferAllocator;
using DRAVHelpers::IIS::RequestWrapper;
using DRAVHelpers::IIS::ResponseWrapper;
using DRAVHost::BridgeCall;
using DRAVHost::HttpError;

namespace {

// The call's arguments: the first argsSize bytes of the body, read in chunks.
DRAVArgs readArguments(const BridgeCall& call, IDispatch* request) {
  HTTPBufferAllocator* allocator = new DefaultHTTPBufferAllocator;  // owned by the reader
  RequestWrapper reader(request, call.extraBlobSize, allocator);
  std::vector<unsigned char> body;
  while (body.size() < call.argsSize) {
    unsigned char* chunk = nullptr;
    unsigned long size = 0;
    if (!reader.ReadBufferChunk(chunk, call.argsSize - body.size(), size) || size == 0)
      throw HttpError(400, "the body ends before the arguments do");
    body.insert(body.end(), chunk, chunk + size);
    allocator->free(chunk, size);
  }
  DRAVArgs args;
  if (body.empty()) return args;
  DRAVDataInputStream in(body.data(), body.size());
  in.setBudget(call.decodeBudget);
  try {
    args.readObject(in);
  } catch (const std::exception& e) {
    throw HttpError(400, std::string("malformed arguments: ") + e.what());
  }
  return args;
}

// The results, then the invocation status: code 0 is success.
void answer(const BridgeCall& call, IDispatch* response, const DRAVArgs& results, long code,
            const std::string& message) {
  ResponseWrapper writer(response);
  DRAVDataOutputStream out;
  results.writeObject(out);
  DRAVInvocation::Bridge::Status status("greeter", call.methodName, message, code);
  if (!writer.WriteBufferChunk(out.getBuffer(0), out.size()) ||
      !writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())))
    throw std::runtime_error("the answer could not be written");
}

class GreeterBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const BridgeCall& call, IDispatch* request, IDispatch* response) override {
    const DRAVArgs args = readArguments(call, request);
    DRAVArgs results;
    if (call.methodName != "greet")
      return answer(call, response, results, 1, "unknown method '" + call.methodName + "'; the greeter offers greet");
    if (args.size() != 1 || args.getArgs()[0]->getType() != DRAVVar::String)
      return answer(call, response, results, 2, "greet takes one String, a name");
    results.addArg("Hello, " + args.getString(0) + "!");
    answer(call, response, results, 0, "no error detected");
  }
};

}  // namespace

DRAV_BRIDGE_PLUGIN(GreeterBridge)
