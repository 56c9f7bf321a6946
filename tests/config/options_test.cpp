#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/config/client_core.h>
#include <drav/config/help_message.h>
#include <drav/config/initialization.h>
#include <drav/config/option_parser.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using Info = DRAVAuthenticationInfo;

// argv as a program receives it; the strings live as long as the object.
class Args {
public:
  Args(std::initializer_list<const char*> words) : Args(std::vector<std::string>(words.begin(), words.end())) {}
  explicit Args(std::vector<std::string> words) : words_(std::move(words)) {
    for (std::string& w : words_) pointers_.push_back(&w[0]);
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(words_.size()); }
  char** argv() { return pointers_.data(); }

private:
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

// The core is process-wide: every test starts from its initial settings.
class Options : public ::testing::Test {
protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset() {
    if (DRAVInitialize::isInitialized()) DRAVInitialize tearDown(0, nullptr);
    DRAVClientCore& c = DRAVClientCore::instance();
    c.setRequestTimeout(0);
    c.setConnectionTimeout(0);
    c.getAuthenticationInfo() = Info();
    c.getHttpProxyInfo() = DRAVHttpProxyInfo();
    DRAVCompression::DRAVCompressedData::setCompressionThreshold(0);
    DRAVCompression::DRAVCompressedData::setCompressionChoice(DRAVCompression::DRAVCompressionChoice::Default);
  }

  static DRAVClientCore& core() { return DRAVClientCore::instance(); }
  static void parse(Args args) { DRAVOptionParser::parse(args.argc(), args.argv()); }
};

TEST_F(Options, EveryOptionReachesItsSetting) {
  parse({"prog", "-DRAVssl_mode", "ssl", "-DRAVhttp_auth_mode", "ntlm", "-DRAVhttp_auth_user", "u",
         "-DRAVhttp_auth_pwd", "p", "-DRAVssl_cert", "c.pem", "-DRAVssl_pkey", "k.pem",
         "-DRAVproxy_host", "px", "-DRAVproxy_port", "3128", "-DRAVproxy_user", "pu", "-DRAVproxy_pwd", "pp",
         "-DRAVreq_timeout", "60000", "-DRAVconn_timeout", "7000", "-DRAVgzip_threshold", "1000",
         "-DRAVgzip_mode", "never"});
  const Info& auth = core().getAuthenticationInfo();
  EXPECT_EQ(auth.getSslMode(), Info::SSL_ENABLED);
  EXPECT_EQ(auth.getHttpAuthenticationMode(), Info::HTTP_AUTH_NTLM);
  EXPECT_EQ(auth.getHttpUserName(), "u");
  EXPECT_EQ(auth.getHttpUserPassword(), "p");
  EXPECT_EQ(auth.getClientCertificate(), "c.pem");
  EXPECT_EQ(auth.getPrivateKey(), "k.pem");
  const DRAVHttpProxyInfo& proxy = core().getHttpProxyInfo();
  EXPECT_EQ(proxy.getProxyHost(), "px");
  EXPECT_EQ(proxy.getProxyPort(), "3128");
  EXPECT_EQ(proxy.getUserName(), "pu");
  EXPECT_EQ(proxy.getUserPassword(), "pp");
  EXPECT_EQ(core().getRequestTimeout(), 60000ul);
  EXPECT_EQ(core().getConnectionTimeout(), 7000ul);
  EXPECT_EQ(DRAVCompression::DRAVCompressedData::getCompressionThreshold(), 1000ul);
  EXPECT_EQ(DRAVCompression::DRAVCompressedData::getCompressionChoice(), DRAVCompression::DRAVCompressionChoice::Never);
  parse({"prog", "-DRAVgzip_mode", "sometimes"});
  EXPECT_EQ(DRAVCompression::DRAVCompressedData::getCompressionChoice(),
            DRAVCompression::DRAVCompressionChoice::WhenItPays)
      << "a word it does not know gives the default";
}

TEST_F(Options, TheTlsOptionsSetThePolicyAndOnlyTheWordOffTurnsVerificationOff) {
  EXPECT_TRUE(core().getAuthenticationInfo().getTlsPolicy().verify) << "verified unless told otherwise";
  parse({"prog", "-DRAVssl_ca_file", "ca.pem", "-DRAVssl_ca_folder", "/etc/cas", "-DRAVssl_verify", "off"});
  const TlsPolicy& tls = core().getAuthenticationInfo().getTlsPolicy();
  EXPECT_EQ(tls.caFile, "ca.pem");
  EXPECT_EQ(tls.caFolder, "/etc/cas");
  EXPECT_FALSE(tls.verify);
  for (const char* word : {"on", "OFF", "no", "0", ""}) {
    parse({"prog", "-DRAVssl_verify", word});
    EXPECT_TRUE(core().getAuthenticationInfo().getTlsPolicy().verify) << word;
  }
}

TEST(TlsPolicy, AProxysOwnPolicyWinsWhereItSaysSomethingAndEitherSideMayTurnVerificationOff) {
  TlsPolicy options;
  options.caFile = "options.pem";
  options.caFolder = "/options";
  TlsPolicy own;
  own.caFile = "own.pem";
  TlsPolicy merged = own.over(options);
  EXPECT_EQ(merged.caFile, "own.pem");
  EXPECT_EQ(merged.caFolder, "/options");
  EXPECT_TRUE(merged.verify);
  own.verify = false;
  EXPECT_FALSE(own.over(options).verify);
  own.verify = true;
  options.verify = false;
  EXPECT_FALSE(own.over(options).verify);
}

TEST_F(Options, WalkRulesDecideWhatIsAValue) {
  parse({"prog", "-DRAVreq_timeout"});  // last argument: no value
  EXPECT_EQ(core().getRequestTimeout(), 18000000ul);
  core().getHttpProxyInfo().setProxyHost("kept");
  parse({"prog", "-DRAVproxy_host"});  // ... so the setting keeps its value
  EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "kept");

  parse({"prog", "-DRAVcfg", "-DRAVproxy_host", "px"});  // -DRAVcfg leaves its value to be read
  EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "px");

  parse({"prog", "-DRAVproxy_host", "-DRAVproxy_port", "1"});  // a value may look like an option
  EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "-DRAVproxy_port");
  EXPECT_EQ(core().getHttpProxyInfo().getProxyPort(), "");

  parse({"prog", "-DRAVproxy_user", "a", "word", "-DRAVproxy_user", "b"});  // last occurrence wins
  EXPECT_EQ(core().getHttpProxyInfo().getUserName(), "b");

  parse({"-DRAVproxy_pwd", "first", "prog"});  // argv[0] is examined too
  EXPECT_EQ(core().getHttpProxyInfo().getUserPassword(), "first");
}

TEST_F(Options, UnknownAndMisspelledWordsAreIgnored) {
  parse({"prog", "-DRAVsec_user", "x", "-DRAVsec_mode", "basic_http", "-drav_req_timeout", "5",
         "-DRAVreq_timeout=5", "-DRAVhttp_auth_mode", "NTLM", "-DRAVssl_mode", "SSL"});
  EXPECT_EQ(core().getAuthenticationInfo().getHttpUserName(), "");
  EXPECT_EQ(core().getAuthenticationInfo().getHttpAuthenticationMode(), Info::HTTP_AUTH_NONE);
  EXPECT_EQ(core().getAuthenticationInfo().getSslMode(), Info::SSL_NONE);
  EXPECT_EQ(core().getRequestTimeout(), 18000000ul);
}

// Initialisation is where a mistyped option is seen: each "-DRAV..." word
// that names no option or gives one a value it cannot take is named, with
// the name likely meant, and nothing is applied. The program's own
// arguments, and values that merely look like options, pass.
TEST_F(Options, InitialisationRefusesWhatNoOptionTakesNamingWhatWasMeant) {
  Args mistyped{"prog", "--verbose", "file.txt", "-DRAVssl_cafile", "ca.pem", "-DRAVhttp_auth_mode", "basci",
                "-DRAVreq_timeout", "5s", "-DRAVsec_user", "u", "-DRAVgzip_threshold=10", "-DRAVproxy_port", "0",
                "-DRAVhttp_auth_user", "-DRAVlooks_like_an_option", "-DRAVssl_verify", "of", "-DRAVconn_timeout"};
  try {
    DRAVInitialize init(mistyped.argc(), mistyped.argv());
    ADD_FAILURE() << "initialised";
  } catch (const DRAVOptionException& e) {
    const std::vector<std::string> expected = {
        "-DRAVssl_cafile is not an option (did you mean -DRAVssl_ca_file?)",
        "-DRAVhttp_auth_mode takes none, basic or ntlm, not 'basci' (did you mean basic?)",
        "-DRAVreq_timeout takes milliseconds from 0 (the default) to 4294967295, not '5s'",
        "-DRAVsec_user is not an option (use -DRAVhttp_auth_user)",
        "-DRAVgzip_threshold=10 is not an option (the value is the next argument: -DRAVgzip_threshold 10)",
        "-DRAVproxy_port takes a port from 1 to 65535, not '0'",
        "-DRAVssl_verify takes on or off, not 'of' (did you mean on?)",
        "-DRAVconn_timeout needs a value",
    };
    EXPECT_EQ(expected, e.refusals());
    EXPECT_EQ(0u, std::string(e.what()).find(expected[0] + "; " + expected[1]));
  }
  EXPECT_FALSE(DRAVInitialize::isInitialized());
  EXPECT_EQ(core().getAuthenticationInfo().getHttpAuthenticationMode(), Info::HTTP_AUTH_NONE) << "nothing applied";
  EXPECT_EQ(core().getAuthenticationInfo().getHttpUserName(), "");

  std::vector<std::string> many(101, "-DRAVx");
  many[0] = "prog";
  Args flood(many);
  const std::vector<std::string> bounded = DRAVOptionParser::refusals(flood.argc(), flood.argv());
  ASSERT_EQ(DRAVOptionParser::kMaxRefusals + 1, bounded.size()) << "a refusal stays short however many words come";
  EXPECT_EQ("and 84 more", bounded.back());

  Args fine{"prog", "--verbose", "-x", "-DRAVhttp_auth_user", "-DRAVodd", "-DRAVcfg", "-DRAVssl_verify", "off",
            "-DRAVreq_timeout", "0", "-DRAVproxy_port", "65535"};
  EXPECT_TRUE(DRAVOptionParser::refusals(fine.argc(), fine.argv()).empty());
  DRAVInitialize init(fine.argc(), fine.argv());
  EXPECT_EQ(core().getAuthenticationInfo().getHttpUserName(), "-DRAVodd");
  EXPECT_FALSE(core().getAuthenticationInfo().getTlsPolicy().verify);
}

TEST_F(Options, NumbersReadAsSignedDecimalWithZeroMeaningTheDefault) {
  const struct {
    const char* text;
    unsigned long timeout;
  } cases[] = {
      {"abc", 300000},           {"0", 300000},      {"", 300000},         {" 42ms", 42},
      {"+7", 7},                 {"-1", 0xFFFFFFFF}, {"99999999999", 0x7FFFFFFF},
      {"-99999999999", 0x80000000},
  };
  for (const auto& c : cases) {
    parse({"prog", "-DRAVconn_timeout", c.text, "-DRAVgzip_threshold", c.text});
    EXPECT_EQ(core().getConnectionTimeout(), c.timeout) << c.text;
    EXPECT_EQ(DRAVCompression::DRAVCompressedData::getCompressionThreshold(),
              c.timeout == 300000 ? 64000ul : c.timeout)
        << c.text;
  }
}

TEST_F(Options, ParsingResetsTimeoutsButKeepsOtherSettings) {
  parse({"prog", "-DRAVreq_timeout", "5", "-DRAVconn_timeout", "6", "-DRAVproxy_host", "px"});
  parse({"prog"});
  EXPECT_EQ(core().getRequestTimeout(), 18000000ul);
  EXPECT_EQ(core().getConnectionTimeout(), 300000ul);
  EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "px");
}

TEST_F(Options, MissingOrNullArgumentsAreHarmless) {
  core().setRequestTimeout(5);
  DRAVOptionParser::parse(3, nullptr);  // a count without a vector: timeouts reset, nothing read
  EXPECT_EQ(core().getRequestTimeout(), 18000000ul);
  DRAVOptionParser::parse(0, nullptr);
  DRAVOptionParser::parse(-3, nullptr);
  char name[] = "-DRAVproxy_host";
  char* withNulls[] = {nullptr, name, nullptr, nullptr};
  DRAVOptionParser::parse(3, withNulls);
  EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "");
  EXPECT_EQ(core().getRequestTimeout(), 18000000ul);
}

TEST_F(Options, ClientCoreRefusesATimeoutBeyond32Bits) {
  if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long is 32 bits here";
  core().setRequestTimeout(5);
  EXPECT_THROW(core().setRequestTimeout(static_cast<unsigned long>(0x100000000ull)), DRAVException);
  EXPECT_EQ(core().getRequestTimeout(), 5ul);
}

TEST_F(Options, InitializeParsesOnceUntilTornDown) {
  Args first{"prog", "-DRAVreq_timeout", "60000", "-DRAVproxy_host", "px"};
  Args second{"prog", "-DRAVreq_timeout", "1", "-DRAVproxy_host", "other"};
  {
    DRAVInitialize init(first.argc(), first.argv());
    EXPECT_TRUE(DRAVInitialize::isInitialized());
    EXPECT_TRUE(core().isInitialised());
    EXPECT_EQ(core().getRequestTimeout(), 60000ul);
    DRAVInitialize again(second.argc(), second.argv());  // changes nothing
    EXPECT_EQ(core().getRequestTimeout(), 60000ul);
    EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "px");
  }
  EXPECT_FALSE(DRAVInitialize::isInitialized());
  EXPECT_FALSE(core().isInitialised());
  EXPECT_EQ(core().getRequestTimeout(), 60000ul);  // teardown keeps the settings

  Args third{"prog", "-DRAVconn_timeout", "9"};
  DRAVInitialize reinit(third.argc(), third.argv());  // after teardown: parsed again
  EXPECT_EQ(core().getConnectionTimeout(), 9ul);
  EXPECT_EQ(core().getRequestTimeout(), 18000000ul);
  EXPECT_EQ(core().getHttpProxyInfo().getProxyHost(), "px");
}

TEST_F(Options, DestroyingTheInnerOfNestedInitializersTearsDown) {
  Args args{"prog"};
  auto outer = std::make_unique<DRAVInitialize>(args.argc(), args.argv());
  {
    DRAVInitialize inner(args.argc(), args.argv());
  }
  EXPECT_FALSE(DRAVInitialize::isInitialized());
  EXPECT_FALSE(core().isInitialised());
  outer.reset();  // nothing left to tear down
  EXPECT_FALSE(DRAVInitialize::isInitialized());
  DRAVInitialize fresh(args.argc(), args.argv());
  EXPECT_TRUE(DRAVInitialize::isInitialized());
}

TEST(HelpMessage, IsTheUsageTextByteForByteWithoutInitialisation) {
  ASSERT_FALSE(DRAVInitialize::isInitialized());
  const char* const lines[] = {
      "usage : <binary name> [options]\n",
      "-DRAVsec_mode :\n",
      "\tsecurity mode. Possible value :\n",
      "\t- none : no security (default)\n",
      "\t- basic_http : http basic authentication\n",
      "\t- ssl : SSL HTTP mode\n",
      "-DRAVsec_user :\n",
      "\tuser name -used for http basic authentication\n",
      "-DRAVsec_pwd :\n",
      "\tuser password\n",
      "-DRAVsec_cert\n",
      "\tpathname to the X509 certificate file (SSL mode)\n",
      "-DRAVsec_pkey :\n",
      "\tpathname to the private key file (SSL mode)\n",
      "-DRAVreq_timeout :\n",
      "\ttimeout on request (default : 5 h)\n",
      "-DRAVconn_timeout :\n",
      "\ttimeout on connection (default : 5 mn)\n",
  };
  std::string expected;
  for (const char* line : lines) expected += line;
  EXPECT_EQ(DRAV::getHelpMessage(), expected);
  EXPECT_EQ(expected.size(), 511u);
}

}  // namespace
