// Calls the greeter bridge: greet URL NAME prints the greeting it answers.
// The library's -DRAV... options (credentials, proxy, time-outs) may follow.
#include <drav/dravCommon.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: greet URL NAME [-DRAV... options]\n";
    return 2;
  }
  try {
    DRAVInitialize library(argc, argv);                 // the -DRAV... options: a mistyped one is refused
    DRAVBridgeClient greeter("greeter", Url(argv[1]));  // bridge name, URL, [AuthInfo,] settings
    std::cout << greeter.call<std::string>("greet", std::string(argv[2])) << "\n";
  } catch (const DRAVOptionException& e) {
    std::cerr << "greet: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "greet: " << e.what() << "\n";
    return 1;
  }
}
