#include <drav/config/option_parser.h>

#include <drav/compression/compression.h>
#include <drav/config/client_core.h>
#include <drav/common/log_field.h>
#include <drav/common/near_names.h>
#include <drav/config/decimal_text.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Apply = void (*)(DRAVClientCore& core, const std::string& value);

// What an option's value may be.
enum class Takes {
  Nothing,       // -DRAVcfg: recognised; the next argument is not its value
  Text,          // any text
  Word,          // one of the option's words
  Milliseconds,  // decimal, 0 to 4294967295 (0: the default)
  Bytes,         // decimal, 0 to 4294967295 (0: the default)
  Port,          // decimal, 1 to 65535
};

struct Option {
  const char* name;
  Apply apply;  // null: recognised, takes no value
  Takes takes;
  std::vector<std::string> words = {};  // for Takes::Word
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
    {"-DRAVcfg", nullptr, Takes::Nothing},
    {"-DRAVssl_mode",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setSslMode(Auth::string2SslMode(v)); },
     Takes::Word, {"none", "ssl"}},
    {"-DRAVhttp_auth_mode",
     [](DRAVClientCore& c, const std::string& v) {
       c.getAuthenticationInfo().setHttpAuthenticationMode(Auth::string2AuthMode(v));
     },
     Takes::Word, {"none", "basic", "ntlm"}},
    {"-DRAVhttp_auth_user",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setHttpUserName(v); }, Takes::Text},
    {"-DRAVhttp_auth_pwd",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setHttpUserPasword(v); }, Takes::Text},
    {"-DRAVssl_cert",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setClientCertificate(v); }, Takes::Text},
    {"-DRAVssl_pkey",
     [](DRAVClientCore& c, const std::string& v) { c.getAuthenticationInfo().setPrivateKey(v); }, Takes::Text},
    {"-DRAVssl_ca_file",
     [](DRAVClientCore& c, const std::string& v) { changeTls(c, [&](TlsPolicy& t) { t.caFile = v; }); }, Takes::Text},
    {"-DRAVssl_ca_folder",
     [](DRAVClientCore& c, const std::string& v) { changeTls(c, [&](TlsPolicy& t) { t.caFolder = v; }); },
     Takes::Text},
    // Only the exact word turns verification off (and initialisation takes no other word than on).
    {"-DRAVssl_verify",
     [](DRAVClientCore& c, const std::string& v) { changeTls(c, [&](TlsPolicy& t) { t.verify = v != "off"; }); },
     Takes::Word, {"on", "off"}},
    {"-DRAVproxy_host", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setProxyHost(v); },
     Takes::Text},
    {"-DRAVproxy_port", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setProxyPort(v); },
     Takes::Port},
    {"-DRAVproxy_user", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setUserName(v); },
     Takes::Text},
    {"-DRAVproxy_pwd", [](DRAVClientCore& c, const std::string& v) { c.getHttpProxyInfo().setUserPassword(v); },
     Takes::Text},
    {"-DRAVreq_timeout", [](DRAVClientCore& c, const std::string& v) { c.setRequestTimeout(number(v)); },
     Takes::Milliseconds},
    {"-DRAVconn_timeout", [](DRAVClientCore& c, const std::string& v) { c.setConnectionTimeout(number(v)); },
     Takes::Milliseconds},
    {"-DRAVgzip_threshold",
     [](DRAVClientCore&, const std::string& v) {
       DRAVCompression::DRAVCompressedData::setCompressionThreshold(number(v));
     },
     Takes::Bytes},
    // DRAVInitialize refuses other words; parse() alone reads them as the default ("auto").
    {"-DRAVgzip_mode",
     [](DRAVClientCore&, const std::string& v) {
       DRAVCompression::DRAVCompressionChoice choice = DRAVCompression::DRAVCompressionChoice::WhenItPays;
       DRAVCompression::parseCompressionChoice(v, choice);
       DRAVCompression::DRAVCompressedData::setCompressionChoice(choice);
     },
     Takes::Word, {"auto", "always", "never"}},
};

// The names the usage text (help_message.h) gives that no option has, and
// the options that do what they say.
const std::pair<const char*, const char*> kUsageTextNames[] = {
    {"-DRAVsec_mode", "-DRAVhttp_auth_mode basic or -DRAVssl_mode ssl"},
    {"-DRAVsec_user", "-DRAVhttp_auth_user"},
    {"-DRAVsec_pwd", "-DRAVhttp_auth_pwd"},
    {"-DRAVsec_cert", "-DRAVssl_cert"},
    {"-DRAVsec_pkey", "-DRAVssl_pkey"},
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

namespace {

// Decimal digits only, at most `most`.
bool isDecimal(const std::string& text, unsigned long long most) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= most;
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i)
    text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return text;
}

// Why `value` is no value of `option`; "" when it is.
std::string valueRefusal(const Option& option, const std::string& value) {
  const std::string given = "not '" + DRAV::detail::escapeShownText(value, 64) + "'";
  switch (option.takes) {
    case Takes::Word: {
      for (const std::string& word : option.words)
        if (value == word) return "";
      const std::string nearest = DRAV::detail::nearestName(value, option.words);
      return std::string(option.name) + " takes " + joined(option.words) + ", " + given +
             (nearest.empty() ? "" : " (did you mean " + nearest + "?)");
    }
    case Takes::Milliseconds:
      return isDecimal(value, 0xFFFFFFFFull) ? ""
                                             : std::string(option.name) +
                                                   " takes milliseconds from 0 (the default) to 4294967295, " + given;
    case Takes::Bytes:
      return isDecimal(value, 0xFFFFFFFFull)
                 ? ""
                 : std::string(option.name) + " takes a byte count from 0 (the default) to 4294967295, " + given;
    case Takes::Port:
      return isDecimal(value, 65535) && value.find_first_not_of('0') != std::string::npos
                 ? ""
                 : std::string(option.name) + " takes a port from 1 to 65535, " + given;
    default:
      return "";
  }
}

// Why `argument`, which begins as an option does, names none.
std::string nameRefusal(const std::string& argument) {
  const std::string shown = DRAV::detail::escapeShownText(argument, 64);
  for (const auto& name : kUsageTextNames)
    if (argument == name.first) return shown + " is not an option (use " + name.second + ")";
  const std::size_t equals = argument.find('=');
  if (equals != std::string::npos && findOption(argument.substr(0, equals).c_str()))
    return shown + " is not an option (the value is the next argument: " + argument.substr(0, equals) + " " +
           DRAV::detail::escapeShownText(argument.substr(equals + 1), 64) + ")";
  std::vector<std::string> names;
  for (const Option& option : kOptions) names.emplace_back(option.name);
  const std::string nearest = DRAV::detail::nearestName(argument, names);
  return shown + " is not an option" + (nearest.empty() ? "" : " (did you mean " + nearest + "?)");
}

}  // namespace

std::vector<std::string> DRAVOptionParser::refusals(int argc, char** argv) {
  std::vector<std::string> refused;
  std::size_t unlisted = 0;  // beyond kMaxRefusals: counted, not described
  const auto refuse = [&](auto why) {
    if (refused.size() < kMaxRefusals) refused.push_back(why());
    else ++unlisted;
  };
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    if (argv[i] == nullptr || std::strncmp(argv[i], kOptionPrefix, std::strlen(kOptionPrefix)) != 0) continue;
    const Option* option = findOption(argv[i]);
    if (option == nullptr) {
      refuse([&] { return nameRefusal(argv[i]); });
    } else if (option->takes != Takes::Nothing) {
      if (i + 1 >= argc || argv[i + 1] == nullptr) refuse([&] { return std::string(option->name) + " needs a value"; });
      else if (!valueRefusal(*option, argv[i + 1]).empty()) refuse([&] { return valueRefusal(*option, argv[i + 1]); });
      ++i;  // the value, whatever it looks like
    }
  }
  if (unlisted > 0) refused.push_back("and " + std::to_string(unlisted) + " more");
  return refused;
}
