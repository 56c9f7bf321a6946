#include <drav/config/option_parser.h>

#include <drav/compression/compression.h>
#include <drav/config/client_core.h>
#include <drav/config/decimal_text.h>

#include <cstring>
#include <string>

namespace {

using Apply = void (*)(DRAVClientCore& core, const std::string& value);

struct Option {
  const char* name;
  Apply apply;  // null: recognised, takes no value
};

std::uint32_t number(const std::string& value) {
  return static_cast<std::uint32_t>(DRAV::detail::readSignedDecimal32(value));
}

using Auth = DRAVAuthenticationInfo;

template <class Change>
void changeTls(DRAVClientCore& core, Change change) {
  TlsPolicy policy = core.getAuthenticationInfo().getTlsPolicy();
  change(policy);
  core.getAuthenticationInfo().setTlsPolicy(policy);
}

// In the order arguments are compared with them.
const Option kOptions[] = {
    {"-DRAVcfg", nullptr},
    {"-DRAVssl_mode",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setSslMode(Auth::string2SslMode(v)); }},
    {"-DRAVhttp_auth_mode",
     [](DRAVClientCore& c, const std::string& v) {
       c.getAuthenticationInfo().setHttpAuthenticationMode(Auth::string2AuthMode(v));
     }},
    {"-DRAVhttp_auth_user",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setHttpUserName(v); }},
    {"-DRAVhttp_auth_pwd",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setHttpUserPasword(v); }},
    {"-DRAVssl_cert",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setClientCertificate(v); }},
    {"-DRAVssl_pkey", [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setPrivateKey(v); }},
    {"-DRAVssl_ca_file", [](DRAVClientCore& c, const std::string& v) { changeTls(c, [&](TlsPolicy& t) { t.caFile = v; }); }},
    {"-DRAVssl_ca_folder",
     [](DRAVClientCore& c, const std::string& v) { changeTls(c, [&](TlsPolicy& t) { t.caFolder = v; }); }},
    // Only the exact word turns verification off; anything else keeps it on.
    {"-DRAVssl_verify",
     [](DRAVClientCore& c, const std::string& v) { changeTls(c, [&](TlsPolicy& t) { t.verify = v != "off"; }); }},
    {"-DRAVproxy_host", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setProxyHost(v); }},
    {"-DRAVproxy_port", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setProxyPort(v); }},
    {"-DRAVproxy_user", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setUserName(v); }},
    {"-DRAVproxy_pwd", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setUserPassword(v); }},
    {"-DRAVreq_timeout", [](DRAVClientCore& c, const std::string& v) { c.setRequestTimeout(number(v)); }},
    {"-DRAVconn_timeout", [](DRAVClientCore& c, const std::string& v) { c.setConnectionTimeout(number(v)); }},
    {"-DRAVgzip_threshold",
     [](DRAVClientCore&, const std::string& v) {
       DRAVCompression::DRAVCompressedData::setCompressionThreshold(number(v));
     }},
    // Other words restore the default ("auto").
    {"-DRAVgzip_mode",
     [](DRAVClientCore&, const std::string& v) {
       DRAVCompression::DRAVCompressionChoice choice = DRAVCompression::DRAVCompressionChoice::WhenItPays;
       DRAVCompression::parseCompressionChoice(v, choice);
       DRAVCompression::DRAVCompressedData::setCompressionChoice(choice);
     }},
};

const Option* findOption(const char* argument) {
  for (const Option& option : kOptions)
    if (std::strcmp(argument, option.name) == 0) return &option;
  return nullptr;
}

}  // namespace

void DRAVOptionParser::parse(int argc, char** argv) {
  DRAVClientCore& core = DRAVClientCore::instance();
  core.setConnectionTimeout(0);
  core.setRequestTimeout(0);
  if (argv == nullptr) return;
  for (int i = 0; i < argc;) {
    // An option counts only when a value follows it.
    const Option* option = argv[i] != nullptr && i + 1 < argc ? findOption(argv[i]) : nullptr;
    if (option == nullptr || option->apply == nullptr) {
      ++i;
      continue;
    }
    option->apply(core, argv[i + 1] != nullptr ? argv[i + 1] : "");
    i += 2;
  }
}
