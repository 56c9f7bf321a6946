// Calls the greeter behind a single sign-on:
//   greet-signon URL LOGON-URL USER PASSWORD NAME
// The user and password go to the logon only; every call then carries the
// session it handed out.
#include <drav/dravCommon.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 6) {
    std::cerr << "usage: greet-signon URL LOGON-URL USER PASSWORD NAME [-DRAV... options]\n";
    return 2;
  }
  DRAVInitialize library(argc, argv);
  const Url logon(argv[2]);
  DRAVClientSettings settings;
  settings.prepareProxy = [logon](DRAVBridgeProxy& proxy) { proxy.rootUrl() = logon; };
  const AuthInfo signOn = AuthInfo().user(argv[3]).pass(argv[4]).ssoProvider("siteminder");
  DRAVBridgeClient greeter("greeter", Url(argv[1]), signOn, settings);
  try {
    std::cout << greeter.call<std::string>("greet", std::string(argv[5])) << "\n";
  } catch (const std::exception& e) {  // a refused logon: the logon's answer, no call made
    std::cerr << "greet-signon: " << e.what() << "\n";
    return 1;
  }
}
