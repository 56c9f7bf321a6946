#include "call_options.h"

#include <drav/config/option_parser.h>
#include <drav/typed/method_table.h>

#include <cerrno>
#include <cstdlib>

namespace dravtools {

namespace {

unsigned long byteCount(const std::string& option, const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end || errno == ERANGE || value > 0xFFFFFFFFull)
    throw UsageError(option + " takes a byte count from 0 to 4294967295, not '" + text + "'");
  return static_cast<unsigned long>(value);
}

tag_StreamingMode streamingMode(const std::string& text) {
  if (text == "NO") return StreamingNo;
  if (text == "IN") return StreamingIn;
  if (text == "OUT") return StreamingOut;
  if (text == "INOUT") return StreamingInOut;
  throw UsageError("--streaming takes NO, IN, OUT or INOUT, not '" + text + "'");
}

int traceLevel(const std::string& text) {
  if (text == "none") return -1;
  if (text == "error") return 0;
  if (text == "progress") return 1;
  if (text == "all") return 2;
  throw UsageError("--trace takes none, error, progress or all, not '" + text + "'");
}

}  // namespace

CallOptions parseCallOptions(int argc, char** argv) {
  CallOptions options;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (optionsEnded || word.empty() || word[0] != '-' || word == "-") {
      positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    if (word.rfind("-DRAV", 0) == 0) {  // the library's own options, read by its initialisation
      options.requestTimeoutGiven |= word == "-DRAVreq_timeout";
      options.connectionTimeoutGiven |= word == "-DRAVconn_timeout";
      if (word != "-DRAVcfg" && i + 1 < argc) ++i;
      continue;
    }
    if (word == "--help" || word == "-h") {
      options.help = true;
      continue;
    }
    if (word == "--describe") options.describe = true;
    else if (word == "--check") options.check = true;
    else if (word == "--sso") options.sso = true;
    else if (word == "--need-sso-token") options.needSsoToken = true;
    else if (word == "--progress") options.progress = 1;
    else if (word == "--no-progress") options.progress = 0;
    else {
      if (i + 1 == argc) throw UsageError(word + (word.rfind("--", 0) == 0 ? " needs a value" : ": unknown option"));
      const std::string value = argv[++i];
      if (word == "--chunk-size") options.chunkSize = byteCount(word, value);
      else if (word == "--read-size") options.readSize = byteCount(word, value);
      else if (word == "--extra-blob") options.extraBlobFile = value;
      else if (word == "--streaming") options.mode = streamingMode(value);
      else if (word == "--output") options.outputFile = value;
      else if (word == "--cookies") options.cookies = value;
      else if (word == "--root-url") options.rootUrl = value;
      else if (word == "--sso-user") options.ssoUser = value, options.sso = true;
      else if (word == "--sso-password") options.ssoPassword = value, options.sso = true;
      else if (word == "--trace") options.traceLevel = traceLevel(value);
      else if (word == kDecodeBudgetOption) {
        if (!parseDecodeBudget(value, options.decodeBudget))
          throw UsageError(word + " takes " + kDecodeBudgetRange + ", not '" + value + "'");
      }
      else throw UsageError("unknown option " + word);
    }
  }
  if (options.help) return options;
  // The library's options are checked here, so that a mistyped one is a bad command line like any other.
  const std::vector<std::string> refused = DRAVOptionParser::refusals(argc, argv);
  if (!refused.empty()) {
    std::string text;
    for (const std::string& line : refused) text += (text.empty() ? "" : "; ") + line;
    throw UsageError(text);
  }
  if (options.describe && !positional.empty()) {
    // The bridge's name matters to no method table: the URL's last segment stands in.
    const std::string& url = positional[0];
    positional.resize(2, url.substr(url.rfind('/') + 1));
    positional.push_back(DRAVMethodTable::kDescribeMethod);
  }
  if (positional.size() < 3) throw UsageError("dravcall needs a URL, a bridge name and a method name");
  if (options.readSize == 0) throw UsageError("--read-size must be at least 1");
  options.url = positional[0];
  options.bridge = positional[1];
  options.method = positional[2];
  options.values.assign(positional.begin() + 3, positional.end());
  return options;
}

const char* callUsage() {
  return "Usage: dravcall [OPTION]... URL BRIDGE METHOD [KIND:VALUE]...\n"
         "       dravcall URL --describe\n"
         "Calls METHOD of the bridge BRIDGE at URL with the typed values given, then\n"
         "prints the results (index, kind, value) and the invocation status.\n"
         "\n"
         "  --describe           print the methods a bridge built on a method table\n"
         "                       offers, with their parameters and results\n"
         "  --check              ask for that description first and refuse values that\n"
         "                       do not fit the method's parameters before calling\n"
         "  --chunk-size BYTES   post the arguments in chunks of BYTES (0: in one piece)\n"
         "  --extra-blob FILE    send FILE's bytes after the arguments (always in chunks)\n"
         "  --streaming MODE     NO, IN, OUT or INOUT (default NO); with OUT or INOUT the\n"
         "                       answer is one binary value streamed in chunks\n"
         "  --output FILE        save the streamed value (or the first binary result) in\n"
         "                       FILE instead of printing its first bytes\n"
         "  --read-size BYTES    read the answer in pieces of BYTES (default 65536)\n"
         "  --decode-budget BYTES\n"
         "                       the most memory decoding the answer may take:\n"
         "                       decompressed values, value storage and text\n"
         "                       (default 67108864, 64 MiB)\n"
         "  --cookies TEXT       cookies for the call, as \"name=value; name2=value2\"\n"
         "  --sso                log on through single sign-on (SiteMinder) first, with\n"
         "                       the user and password of -DRAVhttp_auth_user/-DRAVhttp_auth_pwd,\n"
         "                       which then go to the logon only\n"
         "  --sso-user USER, --sso-password PASSWORD\n"
         "                       sign on with these instead: -DRAVhttp_auth_user/pwd then go\n"
         "                       on the call (a host with both [sso] and [basic_auth])\n"
         "  --root-url URL       where the single-sign-on logon goes (default: URL's root)\n"
         "  --need-sso-token     tell the bridge that the method needs the sign-on token\n"
         "  --trace LEVEL        the library's trace on standard error: none (default:\n"
         "                       a failure ends in one line naming host, port and\n"
         "                       reason), error, progress or all\n"
         "  --progress, --no-progress\n"
         "                       a progress line for large transfers (default: when\n"
         "                       standard error is a terminal)\n"
         "  --help               this text\n"
         "\n"
         "Library options (read by its initialisation):\n"
         "  -DRAVhttp_auth_mode none|basic|ntlm  -DRAVhttp_auth_user USER  -DRAVhttp_auth_pwd PASS\n"
         "  -DRAVproxy_host HOST  -DRAVproxy_port PORT  -DRAVproxy_user USER  -DRAVproxy_pwd PASS\n"
         "  -DRAVreq_timeout MS  -DRAVconn_timeout MS  -DRAVgzip_threshold BYTES\n"
         "  -DRAVgzip_mode auto|always|never (binary values at or above the threshold:\n"
         "  compressed when a sample shows it pays, always, or never; default auto)\n"
         "  https is verified against the system's authorities; -DRAVssl_ca_file FILE and\n"
         "  -DRAVssl_ca_folder DIR trust more (a private CA); -DRAVssl_verify off checks\n"
         "  no certificate at all (test setups only)\n"
         "  A -DRAV... word that names no option, or a value an option cannot take, is\n"
         "  refused (exit status 2)\n"
         "\n"
         "Exit status: 0 when the bridge reports status 0, 1 when it reports another\n"
         "code, 2 for a bad command line, 3 when the sign-on (nothing is called\n"
         "then), the call or its answer failed.\n"
         "\n";
}

}  // namespace dravtools
