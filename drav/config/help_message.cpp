#include <drav/config/help_message.h>

namespace DRAV {

std::string getHelpMessage() {
  return "usage : <binary name> [options]\n"
         "-DRAVsec_mode :\n"
         "\tsecurity mode. Possible value :\n"
         "\t- none : no security (default)\n"
         "\t- basic_http : http basic authentication\n"
         "\t- ssl : SSL HTTP mode\n"
         "-DRAVsec_user :\n"
         "\tuser name -used for http basic authentication\n"
         "-DRAVsec_pwd :\n"
         "\tuser password\n"
         "-DRAVsec_cert\n"
         "\tpathname to the X509 certificate file (SSL mode)\n"
         "-DRAVsec_pkey :\n"
         "\tpathname to the private key file (SSL mode)\n"
         "-DRAVreq_timeout :\n"
         "\ttimeout on request (default : 5 h)\n"
         "-DRAVconn_timeout :\n"
         "\ttimeout on connection (default : 5 mn)\n";
}

}  // namespace DRAV
