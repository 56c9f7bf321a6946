// DRAVOptionParser: reads the "-DRAV..." program options into the client
// core. Each option takes the next argument as its value; names match whole
// arguments exactly.
//
//   -DRAVcfg <v>            accepted; its value is not consumed
//   -DRAVssl_mode none|ssl  -DRAVhttp_auth_mode none|basic|ntlm
//   -DRAVhttp_auth_user     -DRAVhttp_auth_pwd   -DRAVssl_cert   -DRAVssl_pkey
//   -DRAVssl_ca_file        -DRAVssl_ca_folder   -DRAVssl_verify on|off
//   -DRAVproxy_host         -DRAVproxy_port      -DRAVproxy_user -DRAVproxy_pwd
//   -DRAVreq_timeout <ms>   -DRAVconn_timeout <ms>   -DRAVgzip_threshold <bytes>
//   -DRAVgzip_mode auto|always|never   (binary values sent at or above the
//                           threshold: compressed when a sample shows it pays,
//                           always, or never)
//
// refusals() says which "-DRAV..." arguments name no option or give one a
// value it cannot take; DRAVInitialize refuses to initialise with any of
// them (DRAVOptionException). parse() itself never fails and never throws:
// unknown words, options given as the last argument and unreadable numbers
// are skipped or read as 0 (the default). It reads no file.
#pragma once

#include <drav/export.h>

#include <cstddef>
#include <string>
#include <vector>

class DRAV_EXPORT DRAVOptionParser {
public:
  // What every option's name begins with; other arguments are the program's own.
  static constexpr const char* kOptionPrefix = "-DRAV";

  // Resets the core's two timeouts to their defaults first (authentication
  // and proxy settings change only where an option is given), then walks
  // argv[0] to argv[argc - 1]; the last occurrence of an option wins.
  // Numbers are signed decimal (see decimal_text.h); a negative one is kept
  // as its 32-bit two's complement. argv may be null when argc is 0; null
  // entries match nothing and read as "" when they are a value.
  static void parse(int argc, char** argv);

  // One line for each argument beginning with kOptionPrefix, walked as
  // parse() walks them, that names no option or lacks a value, and for
  // each value an option cannot take (a word not among its words, a number
  // that is not decimal or out of its range), with the name likely meant:
  //   -DRAVssl_cafile is not an option (did you mean -DRAVssl_ca_file?)
  //   -DRAVhttp_auth_mode takes none, basic or ntlm, not 'basci' (did you mean basic?)
  // At most kMaxRefusals lines, then "and N more". Empty when there is
  // none. Changes nothing.
  static std::vector<std::string> refusals(int argc, char** argv);
  static constexpr std::size_t kMaxRefusals = 16;
};
