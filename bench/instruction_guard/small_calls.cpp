// Small calls for the instruction guard: COUNT calls of the sample bridge's
// echo (Long 1, String "abc", the call the host's load benchmarks post)
// through the typed client on one connection, one after the other.
//
//   small_calls URL COUNT
#include <drav/dravCommon.h>

#include <iostream>
#include <string>
#include <tuple>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: small_calls URL COUNT\n";
    return 2;
  }
  DRAVInitialize library(argc, argv);
  DRAVClientSettings settings;
  settings.maxConnections = 1;
  DRAVBridgeClient sample("sample", Url(argv[1]), AuthInfo(), settings);
  const std::string text = "abc";
  try {
    for (long count = std::stol(argv[2]); count > 0; --count) {
      const auto [number, echoed] = sample.call<std::tuple<long, std::string>>("echo", 1L, text);
      if (number != 1 || echoed != text) throw std::runtime_error("the echo came back changed");
    }
  } catch (const std::exception& e) {
    std::cerr << "small_calls: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
