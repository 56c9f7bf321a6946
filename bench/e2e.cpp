// Small echo calls through the whole stack (argument list, bridge proxy and
// call request, the bridge host, the sample bridge, the answer read back and
// decoded) against plain libcurl posting the same bytes with the same
// headers to the same host and reading the answer, and libcurl posting them
// to a minimal server that answers every request with a fixed small body.
// All keep their connection alive. Goals: the stack makes at least 0.8x
// libcurl's calls per second to the host (the client's cost), and libcurl
// makes at least 0.85x as many calls to the host as to the minimal server
// (the host's own cost). Rates are per wall-clock second (the servers
// answer on their own threads).
// A 64 MiB binary (a real program binary, repeated) echoed through the whole
// stack, compressed both ways as the library does by default, against the
// same call with compression off, and against libcurl posting a gzip of the
// same bytes (compressed with zlib at its default level, sent as the call's
// binary value, echoed and gunzipped): each row one whole round trip.
#include <drav/host/bridge_host.h>
#include "host/bridges/sample_bridge.h"

#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>
#include <drav/transport/bridge_proxy.h>
#include <drav/transport/http_request.h>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <drav/compression/compression.h>

#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

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

// The large echo's host: the default per-call budget holds no 64 MiB value.
DRAVHost::BridgeHost& largeHost() {
  static DRAVHost::BridgeHost* started = [] {
    DRAVHost::HostSettings settings;
    settings.callMemoryBudget = 1024ull << 20;
    settings.memoryBudget = 2048ull << 20;
    auto* h = new DRAVHost::BridgeHost(settings);
    DRAVHost::SampleBridgeLimits limits;
    limits.maxArgsSize = 128u << 20;
    h->addBridge(kPath, std::make_shared<DRAVHost::SampleBridge>(limits));
    h->start();
    return h;
  }();
  return *started;
}

// The least an HTTP/1.1 server does for a call: on 127.0.0.1, one thread per
// connection, reads each request head and its Content-Length body and
// answers a fixed small body, keeping the connection alive.
class MinimalServer {
public:
  MinimalServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("the minimal server cannot listen");
    port_ = ntohs(address.sin_port);
    std::thread([this] { acceptAll(); }).detach();  // lives as long as the benchmark program
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
  void acceptAll() {
    for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) std::thread([fd] { serve(fd); }).detach();
  }

  static void serve(int fd) {
    static const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 16\r\n\r\n0123456789abcdef";
    std::string input;
    char buffer[16384];
    while (true) {
      const std::size_t headEnd = input.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        std::size_t bodyLength = 0;
        const std::size_t field = input.find("Content-Length:");
        if (field != std::string::npos && field < headEnd) bodyLength = std::stoul(input.substr(field + 15));
        if (input.size() >= headEnd + 4 + bodyLength) {
          input.erase(0, headEnd + 4 + bodyLength);
          if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) break;
          continue;
        }
      }
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) break;
      input.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(fd);
  }

  int listener_;
  unsigned short port_ = 0;
};

const MinimalServer& minimalServer() {
  static const MinimalServer* server = new MinimalServer();
  return *server;
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

// libcurl posting the echo call to `url`, keeping its connection alive.
void curlPosting(benchmark::State& state, const std::string& url) {
  const std::string body = encoded(smallArgs());
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  for (const std::string& line : {std::string("DRAVBridgeName: sample"), std::string("DRAVMethodName: echo"),
                                  std::string("DRAVMethodNeedSsoToken: no"), std::string("DRAVStreamingMode: NO"),
                                  "DRAVArgs-Size: " + std::to_string(body.size()), std::string("DRAVExtraBlob-Size: 0"),
                                  std::string("Expect:")})
    headers = curl_slist_append(headers, line.c_str());
  std::string answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  std::int64_t failures = 0;
  long connections = 0;
  for (auto _ : state) {
    answer.clear();
    if (curl_easy_perform(curl) != CURLE_OK || answer.empty()) ++failures;
    long opened = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    connections += opened;
    benchmark::DoNotOptimize(answer);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  state.counters["failures"] = static_cast<double>(failures);
  state.counters["connections"] = static_cast<double>(connections);
  state.SetItemsProcessed(state.iterations());
}

void CurlEcho(benchmark::State& state) { curlPosting(state, host().url(kPath)); }
void CurlMinimal(benchmark::State& state) { curlPosting(state, minimalServer().url()); }

using Bytes = std::vector<unsigned char>;

const Bytes& largeBinary() {
  static const Bytes bytes = [] {
    Bytes program(9 << 20);
    std::ifstream in("/usr/bin/cmake", std::ios::binary);
    in.read(reinterpret_cast<char*>(program.data()), static_cast<std::streamsize>(program.size()));
    program.resize(static_cast<std::size_t>(in.gcount()));
    if (program.empty()) program.assign(1 << 20, 'x');
    Bytes out;
    out.reserve(64 << 20);
    while (out.size() < (64u << 20))
      out.insert(out.end(), program.begin(), program.begin() + std::min(program.size(), (64u << 20) - out.size()));
    return out;
  }();
  return bytes;
}

// One binary value echoed by the large host; the answer's single value is returned.
Bytes echoBinary(DRAVBridgeProxy& proxy, const unsigned char* data, std::size_t size) {
  DRAVArgs args;
  args.addArg(const_cast<unsigned char*>(data), static_cast<unsigned long>(size), false);
  DRAVDataOutputStream out;
  args.writeObject(out);
  DRAVHttpRequestPtr request(proxy.createRequest());
  request->call("echo", reinterpret_cast<char*>(out.getBuffer(0)), out.size(), 0, false, StreamingNo, nullptr, 0);
  const unsigned long status = request->getCallStatus().httpCode();
  std::string answer;
  char* piece = nullptr;
  for (unsigned long n; (n = request->receive(piece, 1 << 20)) > 0;) answer.append(piece, n);
  if (status != 200) throw std::runtime_error("the large echo was answered " + std::to_string(status) + ": " + answer);
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(answer.data()), static_cast<unsigned long>(answer.size()));
  DRAVArgs results;
  results.readObject(in);
  const auto& value = results.getBinaryArray(0);
  return Bytes(value.getData(), value.getData() + value.getLength());
}

void LargeEcho(benchmark::State& state, bool compressed) {
  using DRAVCompression::DRAVCompressedData;
  DRAVCompressedData::setCompressionThreshold(compressed ? 0 : 0xFFFFFFFFul);
  DRAVBridgeProxy proxy("sample", Url(largeHost().url(kPath)), AuthInfo());
  proxy.init();
  const Bytes& plain = largeBinary();
  std::int64_t failures = 0;
  for (auto _ : state)
    if (echoBinary(proxy, plain.data(), plain.size()) != plain) ++failures;
  DRAVCompressedData::setCompressionThreshold(0);
  state.counters["failures"] = static_cast<double>(failures);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
}

Bytes gzipCoded(const Bytes& in, bool compress) {
  z_stream z{};
  if ((compress ? deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY)
                : inflateInit2(&z, 15 + 16)) != Z_OK)
    return {};
  Bytes out(compress ? deflateBound(&z, in.size()) : 64u << 20);
  z.next_in = const_cast<unsigned char*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int code = compress ? deflate(&z, Z_FINISH) : inflate(&z, Z_FINISH);
  out.resize(code == Z_STREAM_END ? z.total_out : 0);
  compress ? deflateEnd(&z) : inflateEnd(&z);
  return out;
}

// The same bytes gzipped by the caller and carried as they are: the host
// stores them uncompressed (the threshold is out of reach), so each side
// runs zlib once, as a user of curl and gzip would.
void CurlGzipLargeEcho(benchmark::State& state) {
  using DRAVCompression::DRAVCompressedData;
  DRAVCompressedData::setCompressionThreshold(0xFFFFFFFFul);
  DRAVBridgeProxy proxy("sample", Url(largeHost().url(kPath)), AuthInfo());
  proxy.init();
  const Bytes& plain = largeBinary();
  std::int64_t failures = 0;
  for (auto _ : state) {
    const Bytes gzipped = gzipCoded(plain, true);
    if (gzipCoded(echoBinary(proxy, gzipped.data(), gzipped.size()), false) != plain) ++failures;
  }
  DRAVCompressedData::setCompressionThreshold(0);
  state.counters["failures"] = static_cast<double>(failures);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
}

}  // namespace

BENCHMARK(StackEcho)->UseRealTime()->MinTime(2.0);
BENCHMARK(CurlEcho)->UseRealTime()->MinTime(2.0);
BENCHMARK(CurlMinimal)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(LargeEcho, compressed, true)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(LargeEcho, plain, false)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(CurlGzipLargeEcho)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3);
