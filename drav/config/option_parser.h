// DRAVOptionParser: reads the "-DRAV..." program options into the client
// core. Each option takes the next argument as its value; names match whole
// arguments exactly. Unknown words, options given as the last argument and
// unreadable numbers are skipped or read as 0 (the default) without a
// message: parsing never fails and never throws. It reads no file.
//
//   -DRAVcfg <v>            accepted; its value is not consumed
//   -DRAVssl_mode none|ssl  -DRAVhttp_auth_mode none|basic|ntlm
//   -DRAVhttp_auth_user     -DRAVhttp_auth_pwd   -DRAVssl_cert   -DRAVssl_pkey
//   -DRAVproxy_host         -DRAVproxy_port      -DRAVproxy_user -DRAVproxy_pwd
//   -DRAVreq_timeout <ms>   -DRAVconn_timeout <ms>   -DRAVgzip_threshold <bytes>
//   -DRAVgzip_mode auto|always|never   (binary values sent at or above the
//                           threshold: compressed when a sample shows it pays,
//                           always, or never; other words give auto)
#pragma once

#include <drav/export.h>

class DRAV_EXPORT DRAVOptionParser {
public:
  // Resets the core's two timeouts to their defaults first (authentication
  // and proxy settings change only where an option is given), then walks
  // argv[0] to argv[argc - 1]; the last occurrence of an option wins.
  // Numbers are signed decimal (see decimal_text.h); a negative one is kept
  // as its 32-bit two's complement. argv may be null when argc is 0; null
  // entries match nothing and read as "" when they are a value.
  static void parse(int argc, char** argv);
};
