// Calls the toolbox bridge: several arguments and results, a failing status,
// a streamed answer, an extra blob and a list. toolbox URL FILE [-DRAV... options]
#include <drav/dravCommon.h>

#include <iostream>
#include <string>
#include <tuple>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: toolbox URL FILE [-DRAV... options]\n";
    return 2;
  }
  try {
    DRAVInitialize library(argc, argv);
    DRAVBridgeClient toolbox("toolbox", Url(argv[1]));
    const auto [quotient, remainder] = toolbox.call<std::tuple<long, long>>("divide", 17L, 5L);
    std::cout << "17 / 5 = " << quotient << " remainder " << remainder << "\n";
    try {
      toolbox.call<std::tuple<long, long>>("divide", 1L, 0L);
    } catch (const DRAVInvocationException& e) {  // the bridge's status: code and message
      std::cout << "1 / 0: status " << e.code() << ", " << e.bridgeMessage() << "\n";
    }
    // The answer goes to standard output piece by piece as it arrives.
    toolbox.stream("repeat", std::cout, std::string("ab"), 3UL);
    std::cout << "\n";
    const auto [size, sum] =
        toolbox.call<std::tuple<unsigned long, unsigned long>>(DRAVCallOptions().withExtraBlobFile(argv[2]), "checksum");
    std::cout << argv[2] << ": " << size << " bytes, sum " << sum << "\n";
    // A list: every result of the answer, each a String.
    for (const std::string& word : toolbox.call<std::vector<std::string>>("words", std::string("a list of words")))
      std::cout << "[" << word << "]";
    std::cout << "\n";
  } catch (const std::exception& e) {
    std::cerr << "toolbox: " << e.what() << "\n";
    return 1;
  }
}
