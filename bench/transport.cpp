// The transport against plain libcurl, both talking to the in-process test
// server on 127.0.0.1: small calls on one kept-alive connection, a 256 MiB
// blob posted chunked in 64 KiB pieces, and a 256 MiB answer read in 64 KiB
// pieces. Memory: how far the process's peak resident size rose during each
// run, reported as peak_growth_MiB. Rates are per wall-clock second (the
// server works on threads of its own). The client's instructions per small
// call, ours apart from libcurl's: bench/smallcall_cost.sh.
#include <drav/dravCommon.h>

#include "support/http_test_server.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

constexpr std::size_t kBig = 256u << 20;
constexpr std::size_t kPiece = 64u << 10;

drav_test::HttpTestServer& server() {
  static drav_test::HttpTestServer* s = [] {
    drav_test::ServerOptions options;
    options.record = false;  // count only: the server must not be what is measured
    return new drav_test::HttpTestServer(options);
  }();
  return *s;
}

void answerWith(std::uint64_t size) {
  drav_test::Reply reply;
  if (size <= 4096) reply.body = std::string(static_cast<std::size_t>(size), 'r');
  else reply.generatedBodySize = size;
  server().setDefaultReply(reply);
}

// The blob source: untouched anonymous memory reads as zeros without becoming
// resident, so it costs neither side any memory.
// It is read through once up front, so that neither side is charged for it.
const unsigned char* bigSource() {
  static const unsigned char* region = [] {
    void* r = mmap(nullptr, kBig, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    volatile unsigned char sum = 0;
    for (std::size_t i = 0; i < kBig; i += 4096) sum = sum + static_cast<const unsigned char*>(r)[i];
    return static_cast<const unsigned char*>(r);
  }();
  return region;
}

double statusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, std::strlen(field), field) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
  return 0;
}

// Resets the peak to the current size; returns the current size.
double startMemoryWatch() {
  bigSource();
  std::ofstream("/proc/self/clear_refs") << "5";
  return statusMiB("VmRSS:");
}

// How far the peak rose above `start` during the run.
double peakGrowthMiB(double start) { return statusMiB("VmHWM:") - start; }

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// Silences the transport's per-chunk progress lines on standard output.
struct QuietStdout {
  std::ostringstream sink;
  std::streambuf* saved = std::cout.rdbuf(sink.rdbuf());
  ~QuietStdout() { std::cout.rdbuf(saved); }
};

// --- Small calls ---------------------------------------------------------------------

// Small POSTs through one libcurl handle; `headers` and `userAgent` may be null.
void plainSmallCalls(benchmark::State& state, curl_slist* headers, const char* userAgent) {
  answerWith(100);
  CURL* easy = curl_easy_init();
  const std::string url = server().url("/bridge");
  const std::string body(200, 'a');
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  for (auto _ : state)
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("libcurl call failed");
  curl_easy_cleanup(easy);
  state.SetItemsProcessed(state.iterations());
}

void SmallCalls_PlainLibcurl(benchmark::State& state) { plainSmallCalls(state, nullptr, nullptr); }

// The same exchange on the wire as the transport's call below: its User-Agent
// and call headers, and none of libcurl's own Accept, Expect or form
// Content-Type. Against this row the transport's own cost shows alone.
void SmallCalls_PlainLibcurlSameRequest(benchmark::State& state) {
  curl_slist* headers = nullptr;
  for (const char* line : {"DRAVBridgeName: bench", "DRAVMethodName: M", "DRAVMethodNeedSsoToken: no",
                           "DRAVStreamingMode: NO", "DRAVArgs-Size: 200", "DRAVExtraBlob-Size: 0", "Expect:",
                           "Accept:", "Content-Type:"})
    headers = curl_slist_append(headers, line);
  plainSmallCalls(state, headers, "DRAVBridgeProxy");
  curl_slist_free_all(headers);
}

void SmallCalls_Transport(benchmark::State& state) {
  answerWith(100);
  const unsigned before = server().connectionsAccepted();
  DRAVBridgeProxy proxy("bench", Url(server().url("/bridge")), AuthInfo());
  std::string body(200, 'a');
  for (auto _ : state) {
    DRAVHttpRequestPtr request(proxy.createRequest());
    if (request->call("M", &body[0], 200, 0, false, StreamingNo, nullptr, 0) != 200)
      state.SkipWithError("transport call failed");
    char* piece = nullptr;
    while (request->receive(piece, 4096) > 0) {}
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["connections"] = server().connectionsAccepted() - before;
}

// --- 256 MiB posted in 64 KiB pieces ---------------------------------------------------

struct Source {
  std::size_t offset = 0;
};

size_t readPiece(char* buffer, size_t size, size_t count, void* data) {
  Source& s = *static_cast<Source*>(data);
  const std::size_t n = std::min({size * count, kPiece, kBig - s.offset});
  std::memcpy(buffer, bigSource() + s.offset, n);
  s.offset += n;
  return n;
}

void BigPost_PlainLibcurl(benchmark::State& state) {
  answerWith(0);
  CURL* easy = curl_easy_init();
  const std::string url = server().url("/bridge");
  const double start = startMemoryWatch();
  for (auto _ : state) {
    Source source;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(kBig));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, readPiece);
    curl_easy_setopt(easy, CURLOPT_READDATA, &source);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("libcurl post failed");
  }
  state.counters["peak_growth_MiB"] = peakGrowthMiB(start);
  curl_easy_cleanup(easy);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}

void BigPost_Transport(benchmark::State& state) {
  answerWith(0);
  DRAVBridgeProxy proxy("bench", Url(server().url("/bridge")), AuthInfo());
  char args[16] = {};
  QuietStdout quiet;
  const double start = startMemoryWatch();
  for (auto _ : state) {
    DRAVHttpRequestPtr request(proxy.createRequest());
    const unsigned long sent = request->call("M", args, sizeof args, kPiece, false, StreamingNo,
                                             const_cast<unsigned char*>(bigSource()), kBig);
    if (sent != sizeof args + kBig) state.SkipWithError("transport post failed");
    char* piece = nullptr;
    while (request->receive(piece, 4096) > 0) {}
  }
  state.counters["peak_growth_MiB"] = peakGrowthMiB(start);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}

// --- 256 MiB read in 64 KiB pieces -----------------------------------------------------

void BigRead_PlainLibcurl(benchmark::State& state) {
  answerWith(kBig);
  CURL* easy = curl_easy_init();
  const std::string url = server().url("/bridge");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "q");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  const double start = startMemoryWatch();
  for (auto _ : state)
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("libcurl read failed");
  state.counters["peak_growth_MiB"] = peakGrowthMiB(start);
  curl_easy_cleanup(easy);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}

void BigRead_Transport(benchmark::State& state) {
  answerWith(kBig);
  DRAVBridgeProxy proxy("bench", Url(server().url("/bridge")), AuthInfo());
  char args[1] = {'q'};
  const double start = startMemoryWatch();
  for (auto _ : state) {
    DRAVHttpRequestPtr request(proxy.createRequest());
    if (request->call("M", args, 1, 0, false, StreamingNo, nullptr, 0) != 1) state.SkipWithError("call failed");
    std::size_t total = 0;
    char* piece = nullptr;
    for (unsigned long n; (n = request->receive(piece, kPiece)) > 0;) total += n;
    if (total != kBig) state.SkipWithError("short answer");
  }
  state.counters["peak_growth_MiB"] = peakGrowthMiB(start);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBig));
}

}  // namespace

BENCHMARK(SmallCalls_PlainLibcurl)->UseRealTime()->MinTime(2.0);
BENCHMARK(SmallCalls_PlainLibcurlSameRequest)->UseRealTime()->MinTime(2.0);
BENCHMARK(SmallCalls_Transport)->UseRealTime()->MinTime(2.0);
// Fixed counts for bench/smallcall_cost.sh: two runs under callgrind that
// differ by exactly 100 calls leave the one-time costs out.
BENCHMARK(SmallCalls_PlainLibcurlSameRequest)->UseRealTime()->Iterations(20);
BENCHMARK(SmallCalls_PlainLibcurlSameRequest)->UseRealTime()->Iterations(120);
BENCHMARK(SmallCalls_Transport)->UseRealTime()->Iterations(20);
BENCHMARK(SmallCalls_Transport)->UseRealTime()->Iterations(120);
BENCHMARK(BigPost_PlainLibcurl)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BigPost_Transport)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BigRead_PlainLibcurl)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BigRead_Transport)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(3.0);
