// The client side of the large-echo benchmark: one binary value of SIZE
// bytes echoed ROUNDS times through the typed client and a running
// dravbridge serving the echo plugin, checked after each round. Prints one
// line: the median rate (payload bytes per wall-clock second of one round
// trip), the client's CPU seconds per round, and its resident memory at rest
// (before the payload exists) and at its peak, in MiB.
//
//   echo_client URL METHOD SIZE random|text default|plain ROUNDS
//
// "text" is this project's sources repeated; "plain" forbids compression for
// the client's values.
#include <drav/typed/bridge_client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

double residentMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::strlen(field))) / 1024.0;
  return 0;
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

std::vector<unsigned char> randomBytes(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  std::mt19937_64 random(27);
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random();
    std::memcpy(bytes.data() + i, &word, std::min<std::size_t>(8, size - i));
  }
  return bytes;
}

std::vector<unsigned char> textBytes(std::size_t size) {
  std::vector<fs::path> files;
  for (const char* folder : {"drav", "host", "tools"})
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(DRAV_SOURCE_DIR) / folder))
      if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<unsigned char> text;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    text.insert(text.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::vector<unsigned char> bytes;
  bytes.reserve(size);
  while (bytes.size() < size) bytes.insert(bytes.end(), text.begin(), text.begin() + std::min(text.size(), size - bytes.size()));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::cerr << "usage: echo_client URL METHOD SIZE random|text default|plain ROUNDS\n";
    return 2;
  }
  const std::string url = argv[1], method = argv[2], kind = argv[4], mode = argv[5];
  const std::size_t size = std::stoul(argv[3]);
  const int rounds = std::stoi(argv[6]);
  const double idle = residentMiB("VmRSS:");

  DRAVClientSettings settings;
  if (mode == "plain") settings.compression = DRAVCompression::DRAVCompressionChoice::Never;
  DRAVBridgeClient client("echo", Url(url), AuthInfo(), settings);
  std::vector<double> rates;
  double cpu = 0;
  {
    const std::vector<unsigned char> payload = kind == "text" ? textBytes(size) : randomBytes(size);
    for (int round = 0; round < rounds; ++round) {
      const double cpuStart = cpuSeconds();
      const auto start = std::chrono::steady_clock::now();
      const std::vector<unsigned char> back = client.call<std::vector<unsigned char>>(method, payload);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      cpu += cpuSeconds() - cpuStart;
      if (back != payload) {
        std::cerr << "echo_client: the echo differs from what was sent\n";
        return 1;
      }
      rates.push_back(size / took.count() / 1e6);
    }
  }
  std::sort(rates.begin(), rates.end());
  std::printf("MB/s %.1f cpu_s %.3f idle_MiB %.1f peak_MiB %.1f\n", rates[rates.size() / 2], cpu / rounds, idle,
              residentMiB("VmHWM:"));
  return 0;
}
