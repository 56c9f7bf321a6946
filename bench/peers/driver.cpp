// The peer benchmark's client program, one per framework (the same driver
// over each framework's PeerClient): runs one scenario against a running
// server and prints its figures as one line of name=value pairs, for
// run.sh to collect and table.py to tabulate.
//
//   peers_client_FRAMEWORK ADDRESS SERVER_PID small SECONDS
//       greet calls one after the other on one connection: calls/s, p50
//       and p99 latency, client and server CPU per call
//   peers_client_FRAMEWORK ADDRESS SERVER_PID threads COUNT SECONDS
//       greet calls from COUNT threads at once: calls/s
//   peers_client_FRAMEWORK ADDRESS SERVER_PID echo BYTES random|text SECONDS
//       echoes of one value of BYTES bytes, one after the other, for at
//       least SECONDS (at least one; with SECONDS > 0 after one unmeasured
//       echo): MB/s, wire bytes per echo, peak memory of both sides above
//       their resident size before the value was made
//
// Options of the framework (ours: -DRAV...) may follow.
#include "peer_client.h"
#include "process_figures.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using peers::PeerClient;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

const std::string kName = "customer-1042";
const std::string kGreeting = "Hello, customer-1042!";

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("wrong answer: " + what);
}

// Every method once, so that a peer that answers wrongly reports nothing.
void checkService(PeerClient& client) {
  check(client.greet(kName) == kGreeting, "greet");
  check(client.sum(2, 40) == 42 && client.sum(-7, 3) == -4, "sum");
  std::string value("\x00\x01\xff echo", 8);
  const peers::Bytes back = client.echo(value);
  check(back.size == value.size() && std::memcmp(back.data, value.data(), value.size()) == 0, "echo");
  client.drop();
}

double percentile(std::vector<double>& sorted, double p) {
  return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())))];
}

void smallCalls(const std::string& address, pid_t server, double seconds) {
  auto client = peers::connectPeer(address);
  checkService(*client);
  for (const auto warm = Clock::now(); secondsSince(warm) < 0.2;) client->greet(kName);

  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  const double ownBefore = peers::ownCpuSeconds(), serverBefore = peers::cpuSecondsOf(server);
  const auto start = Clock::now();
  while (secondsSince(start) < seconds) {
    const auto sent = Clock::now();
    const std::string answer = client->greet(kName);
    latencies.push_back(secondsSince(sent) * 1e6);
    if (answer != kGreeting) check(false, "greet");
  }
  const double elapsed = secondsSince(start);
  const double ownCpu = peers::ownCpuSeconds() - ownBefore, serverCpu = peers::cpuSecondsOf(server) - serverBefore;
  const double calls = static_cast<double>(latencies.size());
  std::sort(latencies.begin(), latencies.end());
  std::printf("calls_per_s=%.0f p50_us=%.1f p99_us=%.1f client_cpu_us=%.2f server_cpu_us=%.2f\n", calls / elapsed,
              percentile(latencies, 0.50), percentile(latencies, 0.99), ownCpu / calls * 1e6,
              serverCpu / calls * 1e6);
}

void threadedCalls(const std::string& address, unsigned count, double seconds) {
  auto shared = peers::connectShared(address, count);
  std::atomic<bool> started{false}, stopping{false};
  std::atomic<unsigned> ready{0};
  std::atomic<std::uint64_t> calls{0};
  std::vector<std::thread> threads;
  std::exception_ptr failure;
  std::atomic<bool> failed{false};
  for (unsigned t = 0; t < count; ++t)
    threads.emplace_back([&] {
      try {
        std::unique_ptr<PeerClient> own = shared ? nullptr : peers::connectPeer(address);
        PeerClient& client = shared ? *shared : *own;
        check(client.greet(kName) == kGreeting, "greet");
        ++ready;
        while (!started) std::this_thread::yield();
        std::uint64_t mine = 0;
        for (; !stopping; ++mine) client.greet(kName);
        calls += mine;
      } catch (...) {
        if (!failed.exchange(true)) failure = std::current_exception();
        ++ready;
      }
    });
  while (ready < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto start = Clock::now();
  started = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stopping = true;
  const double elapsed = secondsSince(start);
  for (auto& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
  std::printf("calls_per_s=%.0f\n", static_cast<double>(calls) / elapsed);
}

// A fixed pseudo-random sequence (splitmix64): the same bytes in every
// framework's run.
struct Sequence {
  std::uint64_t state = 0x5eed;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
};

std::string randomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  Sequence sequence;
  for (std::size_t at = 0; at < size; at += 8) {
    const std::uint64_t word = sequence.next();
    std::memcpy(&bytes[at], &word, std::min<std::size_t>(8, size - at));
  }
  return bytes;
}

// Lines of words drawn from a small vocabulary, with numbers among them:
// zlib's default level keeps about a third of it.
std::string textLikeBytes(std::size_t size) {
  static const char* const kWords[] = {
      "the",     "value",   "of",      "order",   "customer", "account", "status", "pending", "shipped", "total",
      "amount",  "invoice", "date",    "address", "street",   "city",    "name",   "item",    "price",   "quantity",
      "and",     "for",     "with",    "from",    "returned", "payment", "credit", "balance", "note",    "region",
      "product", "code",    "warehouse", "delivered", "open", "closed",  "to",     "by",      "a",       "is"};
  constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];
  std::string text;
  text.reserve(size + 32);
  Sequence sequence;
  while (text.size() < size) {
    const std::uint64_t draw = sequence.next();
    if (draw % 7 == 0) text += std::to_string(draw % 100000);
    else text += kWords[(draw >> 8) % kWordCount];
    text += (draw >> 32) % 12 == 0 ? '\n' : ' ';
  }
  text.resize(size);
  return text;
}

void echoes(const std::string& address, pid_t server, std::size_t size, const std::string& kind, double seconds) {
  if (kind != "random" && kind != "text") throw std::runtime_error("the kind of bytes is random or text");
  auto client = peers::connectPeer(address);
  checkService(*client);
  const pid_t self = getpid();
  peers::resetPeakMemory(self);
  peers::resetPeakMemory(server);
  const std::uint64_t ownIdle = peers::memoryOf(self, "VmRSS"), serverIdle = peers::memoryOf(server, "VmRSS");

  std::string payload = kind == "random" ? randomBytes(size) : textLikeBytes(size);
  auto echoAndCheck = [&]() {
    const auto sent = Clock::now();
    const peers::Bytes back = client->echo(payload);
    const double took = secondsSince(sent);
    check(back.size == payload.size() && std::memcmp(back.data, payload.data(), size) == 0, "echo");
    client->drop();
    return took;
  };
  if (seconds > 0) echoAndCheck();
  const unsigned port = peers::portOf(address);
  const std::uint64_t wireBefore = peers::bytesToAndFromPort(port);
  double busy = 0;
  unsigned calls = 0;
  for (const auto start = Clock::now(); calls == 0 || secondsSince(start) < seconds; ++calls) busy += echoAndCheck();
  const std::uint64_t wire = peers::bytesToAndFromPort(port) - wireBefore;
  auto above = [](std::uint64_t peak, std::uint64_t idle) { return peak > idle ? peak - idle : 0; };
  std::printf("mb_per_s=%.1f wire_bytes=%.0f client_peak_mb=%.1f server_peak_mb=%.1f calls=%u\n",
              static_cast<double>(size) * calls / busy / 1e6, static_cast<double>(wire) / calls,
              above(peers::memoryOf(self, "VmHWM"), ownIdle) / 1e6,
              above(peers::memoryOf(server, "VmHWM"), serverIdle) / 1e6, calls);
}

double number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || value < 0) throw std::runtime_error(std::string("not a number: ") + text);
  return value;
}

int usage() {
  std::cerr << "usage: peers_client_" << peers::kFramework
            << " ADDRESS SERVER_PID (small SECONDS | threads COUNT SECONDS | echo BYTES random|text SECONDS)"
               " [framework options]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return usage();
  try {
    peers::initialize(argc, argv);
    const std::string address = argv[1], scenario = argv[3];
    const auto server = static_cast<pid_t>(number(argv[2]));
    if (scenario == "small") smallCalls(address, server, number(argv[4]));
    else if (scenario == "threads" && argc >= 6) threadedCalls(address, static_cast<unsigned>(number(argv[4])), number(argv[5]));
    else if (scenario == "echo" && argc >= 7) echoes(address, server, static_cast<std::size_t>(number(argv[4])), argv[5], number(argv[6]));
    else return usage();
  } catch (const std::exception& e) {
    std::cerr << "peers_client_" << peers::kFramework << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
