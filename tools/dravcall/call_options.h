// dravcall's command line: its own options, the call (URL, bridge, method,
// typed values), and the "-DRAV..." options it leaves to the library's
// initialisation. Only parsing: nothing is opened or checked beyond syntax.
#pragma once

#include "decode_budget_option.h"

#include <drav/serialization/argument_list.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravtools {

// A command line dravcall cannot run; the message says why.
class UsageError : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

struct CallOptions {
  std::string url;
  std::string bridge;
  std::string method;
  std::vector<std::string> values;  // KIND:VALUE words

  unsigned long chunkSize = 0;        // 0: the arguments go in one send (an extra blob still goes in chunks)
  unsigned long readSize = 65536;     // each read of the answer
  std::string extraBlobFile;          // sent after the arguments; empty: none
  tag_StreamingMode mode = StreamingNo;
  std::string outputFile;             // the streamed value (or the first binary result) goes here
  std::uint64_t decodeBudget = kDefaultDecodeBudget;  // what decoding the answer may take
  std::string cookies;                // "a=1; b=2", handed to the proxy
  bool sso = false;                   // log on through single sign-on first
  std::string ssoUser, ssoPassword;   // the sign-on's own; empty: -DRAVhttp_auth_user/pwd sign on
  std::string rootUrl;                // where the logon goes; empty: the URL's root
  bool needSsoToken = false;
  int traceLevel = -1;                // -1 none, 0 errors, 1 progress lines, 2 everything
  int progress = -1;                  // -1: when standard error is a terminal, 0 never, 1 always
  bool requestTimeoutGiven = false;   // -DRAVreq_timeout was given
  bool connectionTimeoutGiven = false;
  bool describe = false;              // print the bridge's description instead of calling
  bool check = false;                 // check the values against that description first
  bool help = false;
};

// Reads argv[1..argc-1]. Throws UsageError.
CallOptions parseCallOptions(int argc, char** argv);

// The usage text.
const char* callUsage();

}  // namespace dravtools
