#include <drav/config/auth_settings.h>

#include <gtest/gtest.h>

namespace {

using Info = DRAVAuthenticationInfo;

TEST(DRAVAuthenticationInfo, DefaultsAreEmptyWithoutAuthenticationOrSsl) {
  const Info info;
  EXPECT_EQ(info.getHttpUserName(), "");
  EXPECT_EQ(info.getHttpUserPassword(), "");
  EXPECT_EQ(info.getHttpAuthenticationMode(), Info::HTTP_AUTH_NONE);
  EXPECT_EQ(info.getSslMode(), Info::SSL_NONE);
  EXPECT_EQ(info.getPrivateKey(), "");
  EXPECT_EQ(info.getClientCertificate(), "");
  EXPECT_EQ(info.getSsoProvider(), "");
  EXPECT_FALSE(info.isSsoBootstrapEnabled());
}

TEST(DRAVAuthenticationInfo, SettersChainAndCopiesKeepEveryField) {
  Info info;
  info.setHttpUserName("u").setHttpUserPasword("p").setHttpAuthenticationMode(Info::HTTP_AUTH_NTLM)
      .setSslMode(Info::SSL_ENABLED).setPrivateKey("k.pem").setClientCertificate("c.pem");
  info.setSsoProvider("sm");
  info.enableSsoBootstrap(true);
  Info copy;
  copy = info;
  EXPECT_EQ(copy.getHttpUserName(), "u");
  EXPECT_EQ(copy.getHttpUserPassword(), "p");
  EXPECT_EQ(copy.getHttpAuthenticationMode(), Info::HTTP_AUTH_NTLM);
  EXPECT_EQ(copy.getSslMode(), Info::SSL_ENABLED);
  EXPECT_EQ(copy.getPrivateKey(), "k.pem");
  EXPECT_EQ(copy.getClientCertificate(), "c.pem");
  EXPECT_EQ(copy.getSsoProvider(), "sm");
  EXPECT_TRUE(copy.isSsoBootstrapEnabled());
}

TEST(DRAVAuthenticationInfo, ModeWordsAreExactAndCaseSensitive) {
  EXPECT_EQ(Info::string2AuthMode("none"), Info::HTTP_AUTH_NONE);
  EXPECT_EQ(Info::string2AuthMode("basic"), Info::HTTP_AUTH_BASIC);
  EXPECT_EQ(Info::string2AuthMode("ntlm"), Info::HTTP_AUTH_NTLM);
  for (const char* other : {"NTLM", "Basic", "basic ", "", "kerberos"})
    EXPECT_EQ(Info::string2AuthMode(other), Info::HTTP_AUTH_NONE) << other;
  EXPECT_EQ(Info::string2SslMode("ssl"), Info::SSL_ENABLED);
  for (const char* other : {"SSL", "none", "", "tls"})
    EXPECT_EQ(Info::string2SslMode(other), Info::SSL_NONE) << other;
}

TEST(DRAVAuthenticationInfo, AuthorizationTokenSetsCredentialsAndOnlyBasicSetsTheMode) {
  const struct {
    const char* token;
    const char* user;
    const char* password;
    Info::HTTP_AUTHENTICATION_MODE mode;
  } cases[] = {
      {"Basic dTpw", "u", "p", Info::HTTP_AUTH_BASIC},
      {"basic dTpw", "u", "p", Info::HTTP_AUTH_BASIC},
      {"BASIC dTpw", "u", "p", Info::HTTP_AUTH_NTLM},    // other words leave the mode alone
      {"Negotiate dTpw", "u", "p", Info::HTTP_AUTH_NTLM},
      {"dTpw", "", "", Info::HTTP_AUTH_NTLM},            // no space: nothing to take
  };
  for (const auto& c : cases) {
    Info info;
    info.setHttpUserName("old").setHttpUserPasword("old").setHttpAuthenticationMode(Info::HTTP_AUTH_NTLM);
    info.setHttpAuthorizationToken(c.token);
    EXPECT_EQ(info.getHttpUserName(), c.user) << c.token;
    EXPECT_EQ(info.getHttpUserPassword(), c.password) << c.token;
    EXPECT_EQ(info.getHttpAuthenticationMode(), c.mode) << c.token;
  }
}

TEST(DRAVAuthenticationInfo, UserCredentialsAreBasicWhateverTheMode) {
  Info info;
  info.setHttpUserName("Aladdin").setHttpUserPasword("open sesame");
  EXPECT_EQ(info.getHttpUserCredentials(), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(DRAVHttpProxyInfo, UrlNeedsAHostAndNeverCarriesCredentials) {
  EXPECT_EQ(DRAVHttpProxyInfo().getUrl(), "");
  EXPECT_EQ(DRAVHttpProxyInfo(true, "", "8080", "u", "p").getUrl(), "");
  EXPECT_EQ(DRAVHttpProxyInfo(true, "px", "8080", "u", "p").getUrl(), "http://px:8080");
  EXPECT_EQ(DRAVHttpProxyInfo(false, "px", "", "u", "p").getUrl(), "http://px");
}

TEST(DRAVHttpProxyInfo, ConstructorAndSettersStoreTheFourTexts) {
  DRAVHttpProxyInfo info(false, "h", "1", "u", "p");
  EXPECT_EQ(info.getProxyHost(), "h");
  EXPECT_EQ(info.getProxyPort(), "1");
  EXPECT_EQ(info.getUserName(), "u");
  EXPECT_EQ(info.getUserPassword(), "p");
  info.setProxyHost("h2").setProxyPort("not a number").setUserName("u2").setUserPassword("p2");
  EXPECT_EQ(info.getProxyPort(), "not a number");
  EXPECT_EQ(info.getUrl(), "http://h2:not a number");
  EXPECT_EQ(info.getUserCredentials(), "dTI6cDI=");
}

TEST(DRAVHttpProxyInfo, UserCredentialsSplitAtTheFirstColon) {
  DRAVHttpProxyInfo info;
  info.setUserPassword("stale").setUserCredentials("dTpwOnE=");  // "u:p:q"
  EXPECT_EQ(info.getUserName(), "u");
  EXPECT_EQ(info.getUserPassword(), "p:q");
  info.setUserCredentials("dXNlcg==");  // "user"
  EXPECT_EQ(info.getUserName(), "user");
  EXPECT_EQ(info.getUserPassword(), "");
}

}  // namespace
