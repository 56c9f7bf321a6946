// Calls the greeter bridge with the low-level parts that generated code uses:
// a DRAVArgs serialized by hand, one DRAVHttpRequest, the answer read in
// pieces and decoded, the status read field by field. greet.cpp does the
// same in one line. greet-lowlevel URL NAME [-DRAV... options]
#include <drav/dravCommon.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: greet-lowlevel URL NAME [-DRAV... options]\n";
    return 2;
  }
  DRAVInitialize library(argc, argv);
  DRAVBridgeProxy proxy("greeter", Url(argv[1]), AuthInfo());
  proxy.init();

  DRAVArgs args;
  args.addArg(std::string(argv[2]));
  DRAVDataOutputStream body;
  args.writeObject(body);
  DRAVHttpRequestPtr request(proxy.createRequest());
  if (request->call("greet", reinterpret_cast<char*>(body.getBuffer(0)), body.size(), 0, false, StreamingNo,
                    nullptr, 0) == 0) {
    std::cerr << "greet-lowlevel: the call failed\n";
    return 1;
  }
  const unsigned long httpCode = request->getCallStatus().httpCode();

  // The answer: the results, then the invocation status.
  std::string answer;
  char* piece = nullptr;
  for (unsigned long n; (n = request->receive(piece, 65536)) > 0;) answer.append(piece, n);
  if (httpCode != 200) {
    std::cerr << "greet-lowlevel: HTTP " << httpCode << ": " << answer << "\n";
    return 1;
  }
  DRAVDataInputStream in(reinterpret_cast<const unsigned char*>(answer.data()), answer.size());
  DRAVArgs results;
  results.readObject(in);
  std::string text1, text2, message;
  long code = 0;
  in.readString(text1);
  in.readString(text2);
  in.readString(message);
  in.readLong(code);
  if (code != 0) {
    std::cerr << "greet-lowlevel: the bridge answered " << code << ": " << message << "\n";
    return 1;
  }
  std::cout << results.getString(0) << "\n";
  return 0;
}
