#include <drav/config/auth_settings.h>

#include <gtest/gtest.h>

namespace {

using Info = DRAVAuthenticationInfo;

TEST(DRAVAuthenticationInfo, DefaultsAreEmptyAndCopiesKeepEveryField) {
  Info info;
  EXPECT_EQ(info.getHttpAuthenticationMode(), Info::HTTP_AUTH_NONE);
  EXPECT_EQ(info.getSslMode(), Info::SSL_NONE);
  EXPECT_FALSE(info.isSsoBootstrapEnabled());
  info.setHttpUserName("u").setHttpUserPasword("p").setHttpAuthenticationMode(Info::HTTP_AUTH_NTLM)
      .setSslMode(Info::SSL_ENABLED).setPrivateKey("k").setClientCertificate("c");
  info.setSsoProvider("sm");
  info.enableSsoBootstrap(true);
  Info copy;
  EXPECT_EQ(copy.getHttpUserName() + copy.getHttpUserPassword() + copy.getPrivateKey() +
                copy.getClientCertificate() + copy.getSsoProvider(),
            "");
  copy = info;
  EXPECT_EQ(copy.getHttpUserName() + copy.getHttpUserPassword() + copy.getPrivateKey() +
                copy.getClientCertificate() + copy.getSsoProvider(),
            "upkcsm");
  EXPECT_EQ(copy.getHttpAuthenticationMode(), Info::HTTP_AUTH_NTLM);
  EXPECT_EQ(copy.getSslMode(), Info::SSL_ENABLED);
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

TEST(DRAVHttpProxyInfo, StoresTheFourTextsAsGiven) {
  DRAVHttpProxyInfo info(false, "h", "1", "u", "p");
  EXPECT_EQ(info.getProxyHost() + info.getProxyPort() + info.getUserName() + info.getUserPassword(), "h1up");
  info.setProxyHost("h2").setProxyPort("x").setUserName("u2").setUserPassword("p2");
  EXPECT_EQ(info.getUrl(), "http://h2:x");
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
