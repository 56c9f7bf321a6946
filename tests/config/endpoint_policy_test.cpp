#include <drav/common/exception.h>
#include <drav/config/client_core.h>
#include <drav/config/credentials.h>
#include <drav/config/endpoint_policy.h>
#include <drav/config/initialization.h>
#include <drav/config/service_descriptor.h>

#include <gtest/gtest.h>

namespace {

TEST(DRAVEndPoint, BuildsTheLookupUrlOfEachKind) {
  const struct {
    const char* base;
    std::int32_t kind;
    const char* expected;
  } cases[] = {
      {"http://h/ws/", DRAVEndPoint::WSDL_FILE, "http://h/ws/Orders.wsdl"},
      {"http://h/ws", DRAVEndPoint::WSDL_FILE, "http://h/ws/Orders.wsdl"},
      {"http://h/ws", DRAVEndPoint::SERVICE_PORT_WSDL, "http://h/ws/services/OrdersSoapPort?wsdl"},
      {"", DRAVEndPoint::SERVICE_PORT_WSDL, "services/OrdersSoapPort?wsdl"},
      {"", DRAVEndPoint::WSDL_FILE, "Orders.wsdl"},
      {"http://h/ws", DRAVEndPoint::DIRECT_URL, "http://h/ws"},
      {"http://h/ws/", DRAVEndPoint::DIRECT_URL, "http://h/ws/"},
      {"http://h/ws", 0, "http://h/ws/"},
      {"http://h/ws", -7, "http://h/ws/"},
      {"", 99, ""},
  };
  for (const auto& c : cases) {
    const DRAVEndPoint endPoint{c.base, c.kind, "Orders"};
    EXPECT_EQ(endPoint.getLookupUrl(), c.expected) << c.base << " kind " << c.kind;
  }
  EXPECT_EQ(DRAVEndPoint().kind, DRAVEndPoint::DIRECT_URL);
}

TEST(DRAVLookupPolicy, IsSchemeLooksAtTheFirstCharactersInOneCaseOnly) {
  const struct {
    const char* url;
    bool http;
    bool https;
  } cases[] = {
      {"http://x", true, false},  {"HTTPS://x", true, true}, {"https://x", true, true},
      {"Http://x", false, false}, {"HTTPs://x", true, false}, {"htt", false, false},
      {"http", true, false},      {"https", true, true},     {"", false, false},
      {"ftp://x", false, false},
  };
  for (const auto& c : cases) {
    DRAVLookupPolicy policy;
    policy.setURL(c.url);
    EXPECT_EQ(policy.isScheme(HTTP_SCHEME), c.http) << c.url;
    EXPECT_EQ(policy.isScheme(HTTPS_SCHEME), c.https) << c.url;
    EXPECT_FALSE(policy.isScheme(static_cast<tag_HttpScheme>(3))) << c.url;
  }
}

TEST(DRAVLookupPolicy, StartsFromTheClientCoresCurrentDefaults) {
  char program[] = "prog", option[] = "-DRAVreq_timeout", value[] = "60000";
  char hostOption[] = "-DRAVproxy_host", host[] = "px";
  char* argv[] = {program, option, value, hostOption, host, nullptr};
  {
    DRAVInitialize init(5, argv);
    const DRAVLookupPolicy policy;
    EXPECT_EQ(policy.getRequestTimeout(), 60000ul);
    EXPECT_EQ(policy.getConnectionTimeout(), 300000ul);
    EXPECT_EQ(policy.getHttpProxyInfo().getProxyHost(), "px");
  }
  // After teardown the stored settings still seed new policies.
  EXPECT_EQ(DRAVLookupPolicy().getRequestTimeout(), 60000ul);

  DRAVClientCore& core = DRAVClientCore::instance();
  core.getAuthenticationInfo().setHttpUserName("coreUser");
  DRAVLookupPolicy policy;
  policy.getAuthenticationInfo().setHttpUserName("mine");  // a copy: the core keeps its own
  policy.getHttpProxyInfo().setProxyHost("other");
  policy.setRequestTimeout(1000);
  EXPECT_EQ(core.getAuthenticationInfo().getHttpUserName(), "coreUser");
  EXPECT_EQ(core.getHttpProxyInfo().getProxyHost(), "px");
  EXPECT_EQ(policy.getRequestTimeout(), 1000ul);
  EXPECT_EQ(core.getRequestTimeout(), 60000ul);

  core.setRequestTimeout(0);
  core.getAuthenticationInfo() = DRAVAuthenticationInfo();
  core.getHttpProxyInfo() = DRAVHttpProxyInfo();
}

// What a bridge proxy is given: the mode decides how the credentials go
// (none sends none), and proxy credentials go as Basic once a user is set.
TEST(DRAVLookupPolicy, HandsItsCredentialsOnAsABridgeProxyTakesThem) {
  DRAVLookupPolicy policy;
  policy.getAuthenticationInfo().setHttpUserName("u").setHttpUserPasword("p");
  EXPECT_FALSE(policy.getAuthInfo().needAuth()) << "no mode, no credentials sent";
  policy.getAuthenticationInfo().setHttpAuthenticationMode(DRAVAuthenticationInfo::HTTP_AUTH_BASIC);
  const AuthInfo basic = policy.getAuthInfo();
  EXPECT_EQ(AuthInfo::AuthBasic, basic.mode());
  EXPECT_EQ(Base64Credentials("u", "p").getCredentials(), basic.credentials());
  EXPECT_FALSE(basic.needProxyAuth());
  policy.getAuthenticationInfo().setHttpAuthenticationMode(DRAVAuthenticationInfo::HTTP_AUTH_NTLM);
  policy.getHttpProxyInfo().setUserName("pu").setUserPassword("pp");
  const AuthInfo ntlm = policy.getAuthInfo();
  EXPECT_EQ(AuthInfo::AuthNtlm, ntlm.mode());
  EXPECT_EQ("p", ntlm.pass());
  EXPECT_TRUE(ntlm.needProxyAuth());
  EXPECT_EQ(Base64Credentials("pu", "pp").getCredentials(), ntlm.proxyCredentials());
}

TEST(DRAVLookupPolicy, StoresZeroAsGivenButRefusesTimeoutsBeyond32Bits) {
  DRAVLookupPolicy policy;
  EXPECT_FALSE(policy.isChunked());
  // Every setter hands back the same object, so one chain sets them all.
  DRAVLookupPolicy& chained = policy.setURL("http://first")
                                  .setRootURL("http://root/")
                                  .setHTTPChunkMode(true)
                                  .setRequestTimeout(0xFFFFFFFFul)
                                  .setConnectionTimeout(0)
                                  .setEndPoint(DRAVEndPoint{"http://h/ws", DRAVEndPoint::WSDL_FILE, "S"});
  EXPECT_EQ(&chained, &policy);
  policy.setCookies("a=1");
  EXPECT_EQ(policy.getURL(), "http://h/ws/S.wsdl");
  EXPECT_EQ(policy.getRootURL(), "http://root/");
  EXPECT_TRUE(policy.isChunked());
  EXPECT_EQ(policy.getRequestTimeout(), 0xFFFFFFFFul);
  EXPECT_EQ(policy.getCookies(), "a=1");
  EXPECT_EQ(policy.getConnectionTimeout(), 0ul);
  if (sizeof(unsigned long) <= 4) GTEST_SKIP() << "unsigned long is 32 bits here";
  EXPECT_THROW(policy.setConnectionTimeout(static_cast<unsigned long>(0x100000000ull)), DRAVException);
  EXPECT_EQ(policy.getConnectionTimeout(), 0ul);
}

class OrdersDescriptor : public DRAVServiceDescriptor {
public:
  std::string getServiceName() const override { return "Orders"; }
  std::string getBridgeName() const override { return "OrdersBridge"; }
  DRAVEndPoint getDefaultEndPoint() const override {
    return DRAVEndPoint{"http://h/ws", DRAVEndPoint::SERVICE_PORT_WSDL, getServiceName()};
  }
};

TEST(DRAVServiceDescriptor, DescriptionTextsAreEmptyUnlessOverridden) {
  const OrdersDescriptor orders;
  const DRAVServiceDescriptor& descriptor = orders;
  EXPECT_EQ(descriptor.getWsdl() + descriptor.getWsml(), "");
  EXPECT_EQ(descriptor.getDefaultEndPoint().getLookupUrl(), "http://h/ws/services/OrdersSoapPort?wsdl");
}

}  // namespace
