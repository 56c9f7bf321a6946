// Small echo calls through the whole stack (argument list, bridge proxy and
// call request, the bridge host, the sample bridge, the answer read back and
// decoded) against plain libcurl posting the same bytes with the same
// headers to the same host and reading the answer. Both keep their
// connection alive. Goal: the stack makes at least 0.8x libcurl's calls per
// second. Rates are per wall-clock second (the host serves on its own threads).
#include <drav/host/bridge_host.h>
#include "host/bridges/sample_bridge.h"

#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_request.h>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <iostream>
#include <string>

namespace {

constexpr const char* kPath = "/bridges/sample";

DRAVHost::BridgeHost& host() {
  static DRAVHost::BridgeHost* started = [] {
    auto* h = new DRAVHost::BridgeHost(DRAVHost::HostSettings());
    h->addBridge(kPath, std::make_shared<DRAVHost::SampleBridge>());
    h->start();
    return h;
  }();
  return *started;
}

// A small call: a few values, as most calls are.
DRAVArgs smallArgs() {
  DRAVArgs args;
  args.addArg(42);
  args.addArg(std::string("customer-1042"));
  args.addArg(19.99);
  args.addArg(true);
  return args;
}

std::string encoded(const DRAVArgs& args) {
  DRAVDataOutputStream out;
  args.writeObject(out);
  return std::string(reinterpret_cast<const char*>(out.getBuffer(0)), out.size());
}

void StackEcho(benchmark::State& state) {
  DRAVBridgeProxy proxy("sample", Url(host().url(kPath)), AuthInfo());
  proxy.init();
  const DRAVArgs args = smallArgs();
  const auto connectionsBefore = host().statistics().connectionsAccepted;
  std::int64_t failures = 0;
  for (auto _ : state) {
    DRAVDataOutputStream out;
    args.writeObject(out);
    DRAVHttpRequestPtr request(proxy.createRequest());
    request->call("echo", reinterpret_cast<char*>(out.getBuffer(0)), out.size(), 0, false, StreamingNo, nullptr, 0);
    std::string answer;
    char* piece = nullptr;
    for (unsigned long n; (n = request->receive(piece, 4096)) > 0;) answer.append(piece, n);
    DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(answer.data()), static_cast<unsigned long>(answer.size()));
    DRAVArgs results;
    results.readObject(in);
    if (results.size() != args.size()) ++failures;
    benchmark::DoNotOptimize(results);
  }
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["connections"] = static_cast<double>(host().statistics().connectionsAccepted - connectionsBefore);
  state.SetItemsProcessed(state.iterations());
}

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

void CurlEcho(benchmark::State& state) {
  const std::string body = encoded(smallArgs());
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  for (const std::string& line : {std::string("DRAVBridgeName: sample"), std::string("DRAVMethodName: echo"),
                                  std::string("DRAVMethodNeedSsoToken: no"), std::string("DRAVStreamingMode: NO"),
                                  "DRAVArgs-Size: " + std::to_string(body.size()), std::string("DRAVExtraBlob-Size: 0"),
                                  std::string("Expect:")})
    headers = curl_slist_append(headers, line.c_str());
  const std::string url = host().url(kPath);
  std::string answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  const auto connectionsBefore = host().statistics().connectionsAccepted;
  std::int64_t failures = 0;
  for (auto _ : state) {
    answer.clear();
    if (curl_easy_perform(curl) != CURLE_OK || answer.empty()) ++failures;
    benchmark::DoNotOptimize(answer);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["connections"] = static_cast<double>(host().statistics().connectionsAccepted - connectionsBefore);
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(StackEcho)->UseRealTime()->MinTime(2.0);
BENCHMARK(CurlEcho)->UseRealTime()->MinTime(2.0);

}  // namespace
