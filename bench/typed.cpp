// The typed layer against the code it replaces, on one bridge host in this
// process. Goals: a typed call costs at most 1.05x the hand-written call
// (the greeter's client before the typed layer: DRAVArgs, request, pieces,
// results and status decoded by hand), both calling the same typed greeter
// with the same name; 64 asynchronous calls in flight from one thread
// through one client reach at least 0.9x the calls per second of 64 threads
// each calling through a proxy of its own. Rates are per wall-clock second.
//
// The hand-written greeter bridge is here too, beside the typed one: the
// dispatch goal (the typed table's serve at most 1.05x the hand-written
// serve, in instructions per call in the host) is measured with callgrind on
// the HandWrittenBridge and TypedBridge rows, counting inside serve only:
//   valgrind --tool=callgrind --toggle-collect='*Bridge::serve*' bench_typed \
//     --benchmark_filter='^TypedBridge/iterations:60'
// and the same with 10 iterations: (Ir60 - Ir10) / 50 per call.
#include <drav/host/bridge_host.h>
#include <drav/host/typed_bridge.h>

#include <drav/hosting/http_buffer_allocator.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/invocation_status.h>
#include <drav/typed/bridge_client.h>

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using DRAVHelpers::IIS::DefaultHTTPBufferAllocator;
using DRAVHelpers::IIS::RequestWrapper;
using DRAVHelpers::IIS::ResponseWrapper;

class TypedGreeterBridge : public DRAVHost::TypedBridge {
public:
  TypedGreeterBridge() : TypedBridge("greeter") {
    method("greet", [](const std::string& name) { return "Hello, " + name + "!"; }, {"name"});
  }
};

// The greeter bridge as it was written before the typed layer.
class HandWrittenGreeterBridge : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall& call, IDispatch* request, IDispatch* response) override {
    const DRAVArgs args = readArguments(call, request);
    DRAVArgs results;
    if (call.methodName != "greet")
      return answer(call, response, results, 1, "unknown method '" + call.methodName + "'; the greeter offers greet");
    if (args.size() != 1 || args.getArgs()[0]->getType() != DRAVVar::String)
      return answer(call, response, results, 2, "greet takes one String, a name");
    results.addArg("Hello, " + args.getString(0) + "!");
    answer(call, response, results, 0, "no error detected");
  }

private:
  static DRAVArgs readArguments(const DRAVHost::BridgeCall& call, IDispatch* request) {
    auto* allocator = new DefaultHTTPBufferAllocator;
    RequestWrapper reader(request, call.extraBlobSize, allocator);
    std::vector<unsigned char> body;
    while (body.size() < call.argsSize) {
      unsigned char* chunk = nullptr;
      unsigned long size = 0;
      if (!reader.ReadBufferChunk(chunk, call.argsSize - body.size(), size) || size == 0)
        throw DRAVHost::HttpError(400, "the body ends before the arguments do");
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
      throw DRAVHost::HttpError(400, std::string("malformed arguments: ") + e.what());
    }
    return args;
  }

  static void answer(const DRAVHost::BridgeCall& call, IDispatch* response, const DRAVArgs& results, long code,
                     const std::string& message) {
    ResponseWrapper writer(response);
    DRAVDataOutputStream out;
    results.writeObject(out);
    DRAVInvocation::Bridge::Status status("greeter", call.methodName, message, code);
    if (!writer.WriteBufferChunk(out.getBuffer(0), out.size()) ||
        !writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant())))
      throw std::runtime_error("the answer could not be written");
  }
};

DRAVHost::BridgeHost& host() {
  static DRAVHost::BridgeHost* started = [] {
    DRAVHost::HostSettings settings;
    settings.maxRunningCalls = 64;  // so that 64 calls in flight all run
    auto* h = new DRAVHost::BridgeHost(settings);
    h->addBridge("/typed", std::make_shared<TypedGreeterBridge>());
    h->addBridge("/hand", std::make_shared<HandWrittenGreeterBridge>());
    h->start();
    return h;
  }();
  return *started;
}

const std::string kName = "customer-1042";

// The greeter's client as it was written before the typed layer.
std::string handWrittenGreet(DRAVBridgeProxy& proxy, const std::string& name) {
  DRAVArgs args;
  args.addArg(name);
  DRAVDataOutputStream body;
  args.writeObject(body);
  DRAVHttpRequestPtr request(proxy.createRequest());
  if (request->call("greet", reinterpret_cast<char*>(body.getBuffer(0)), body.size(), 0, false, StreamingNo, nullptr,
                    0) == 0)
    throw std::runtime_error("the call failed");
  const unsigned long httpCode = request->getCallStatus().httpCode();
  std::string answer;
  char* piece = nullptr;
  for (unsigned long n; (n = request->receive(piece, 65536)) > 0;) answer.append(piece, n);
  if (httpCode != 200) throw std::runtime_error("HTTP " + std::to_string(httpCode));
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(answer.data()), answer.size());
  DRAVArgs results;
  results.readObject(in);
  std::string text1, text2, message;
  long code = 0;
  in.readString(text1);
  in.readString(text2);
  in.readString(message);
  in.readLong(code);
  if (code != 0) throw std::runtime_error(message);
  return results.getString(0);
}

void HandWrittenCall(benchmark::State& state) {
  DRAVBridgeProxy proxy("greeter", Url(host().url("/typed")), AuthInfo());
  proxy.init();
  for (auto _ : state) benchmark::DoNotOptimize(handWrittenGreet(proxy, kName));
  state.SetItemsProcessed(state.iterations());
}

void TypedCall(benchmark::State& state) {
  DRAVBridgeClient greeter("greeter", Url(host().url("/typed")));
  for (auto _ : state) benchmark::DoNotOptimize(greeter.call<std::string>("greet", kName));
  state.SetItemsProcessed(state.iterations());
}

// The two bridges, called the same way: for the dispatch counts under callgrind.
void HandWrittenBridge(benchmark::State& state) {
  DRAVBridgeProxy proxy("greeter", Url(host().url("/hand")), AuthInfo());
  proxy.init();
  for (auto _ : state) benchmark::DoNotOptimize(handWrittenGreet(proxy, kName));
  state.SetItemsProcessed(state.iterations());
}

void TypedBridge(benchmark::State& state) {
  DRAVBridgeProxy proxy("greeter", Url(host().url("/typed")), AuthInfo());
  proxy.init();
  for (auto _ : state) benchmark::DoNotOptimize(handWrittenGreet(proxy, kName));
  state.SetItemsProcessed(state.iterations());
}

constexpr int kInFlight = 64;

// 64 calls a round from one thread, all in flight at once.
void AsyncCalls64(benchmark::State& state) {
  DRAVClientSettings settings;
  settings.maxConnections = kInFlight;
  DRAVBridgeClient greeter("greeter", Url(host().url("/typed")), AuthInfo(), settings);
  std::vector<std::future<std::string>> calls(kInFlight);
  for (auto _ : state) {
    for (auto& call : calls) call = greeter.callAsync<std::string>("greet", kName);
    for (auto& call : calls) benchmark::DoNotOptimize(call.get());
  }
  state.SetItemsProcessed(state.iterations() * kInFlight);
}

// 64 threads, each with a proxy of its own, one call each a round.
void Threads64(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable changed;
  std::int64_t round = 0;
  int done = 0;
  bool stop = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kInFlight; ++t)
    threads.emplace_back([&] {
      DRAVBridgeProxy proxy("greeter", Url(host().url("/typed")), AuthInfo());
      proxy.init();
      for (std::int64_t seen = 0;;) {
        {
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, [&] { return stop || round != seen; });
          if (stop) return;
          seen = round;
        }
        benchmark::DoNotOptimize(handWrittenGreet(proxy, kName));
        std::lock_guard<std::mutex> lock(mutex);
        if (++done == kInFlight) changed.notify_all();
      }
    });
  for (auto _ : state) {
    std::unique_lock<std::mutex> lock(mutex);
    done = 0;
    ++round;
    changed.notify_all();
    changed.wait(lock, [&] { return done == kInFlight; });
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  changed.notify_all();
  for (std::thread& thread : threads) thread.join();
  state.SetItemsProcessed(state.iterations() * kInFlight);
}

BENCHMARK(HandWrittenCall)->UseRealTime()->MinTime(2.0);
BENCHMARK(TypedCall)->UseRealTime()->MinTime(2.0);
// Fixed counts, so that two runs under callgrind differ by exactly 50 calls
// and their difference leaves the one-time costs out.
BENCHMARK(HandWrittenBridge)->UseRealTime()->Iterations(10);
BENCHMARK(HandWrittenBridge)->UseRealTime()->Iterations(60);
BENCHMARK(TypedBridge)->UseRealTime()->Iterations(10);
BENCHMARK(TypedBridge)->UseRealTime()->Iterations(60);
BENCHMARK(AsyncCalls64)->UseRealTime()->MinTime(2.0);
BENCHMARK(Threads64)->UseRealTime()->MinTime(2.0);

}  // namespace
