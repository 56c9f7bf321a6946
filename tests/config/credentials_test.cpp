#include <drav/config/auth_info.h>
#include <drav/config/credentials.h>

#include <gtest/gtest.h>

namespace {

TEST(Base64Credentials, EncodesUserColonPassword) {
  const Base64Credentials c("Aladdin", "open sesame");
  EXPECT_EQ(c.getCredentials(), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(Base64Credentials("user", "").getCredentials(), "dXNlcjo=");
  EXPECT_EQ(Base64Credentials().getCredentials(), "");
}

TEST(Base64Credentials, SplitsTheDecodedTextAtTheFirstColon) {
  const struct {
    const char* credentials;
    const char* user;
    const char* password;
  } cases[] = {
      {"QWxhZGRpbjpvcGVuIHNlc2FtZQ==", "Aladdin", "open sesame"},
      {"dXNlcjo=", "user", ""},         // "user:"
      {"dXNlcg==", "user", ""},         // "user": no colon
      {"dTpwOnE=", "u", "p:q"},         // "u:p:q": a password may hold ":"
      {"OnB3", "", "pw"},               // ":pw"
      {"", "", ""},
  };
  for (const auto& c : cases) {
    const Base64Credentials parsed{std::string(c.credentials)};
    EXPECT_EQ(parsed.getUser(), c.user) << c.credentials;
    EXPECT_EQ(parsed.getPassword(), c.password) << c.credentials;
    EXPECT_EQ(parsed.getCredentials(), c.credentials);
  }
}

TEST(Base64Credentials, FromCredentialsReplacesUserAndPassword) {
  Base64Credentials c("old", "secret");
  c.fromCredentials("dXNlcjo=");
  EXPECT_EQ(c.getUser(), "user");
  EXPECT_EQ(c.getPassword(), "");
  EXPECT_EQ(c.getCredentials(), "dXNlcjo=");
}

TEST(HttpAuthorizationToken, SplitsSchemeWordAndCredentialsAtTheFirstSpace) {
  const HttpAuthorizationToken basic("Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(basic.getAuthMode(), "Basic");
  EXPECT_EQ(basic.getCredentials().getUser(), "Aladdin");
  EXPECT_EQ(basic.getCredentials().getPassword(), "open sesame");
  EXPECT_EQ(basic.toString(), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");

  const HttpAuthorizationToken bare("Basic ");
  EXPECT_EQ(bare.getAuthMode(), "Basic");
  EXPECT_EQ(bare.getCredentials().getCredentials(), "");

  const HttpAuthorizationToken noSpace("QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(noSpace.getAuthMode(), "");
  EXPECT_EQ(noSpace.getCredentials().getUser(), "");
  EXPECT_EQ(noSpace.toString(), "");

  const HttpAuthorizationToken twoSpaces("Basic  dTpw");
  EXPECT_EQ(twoSpaces.getCredentials().getCredentials(), " dTpw");
}

TEST(HttpAuthorizationToken, PrintsCredentialsAloneWithoutASchemeWord) {
  const Base64Credentials c("u", "p");
  EXPECT_EQ(HttpAuthorizationToken(c, "").toString(), "dTpw");
  EXPECT_EQ(HttpAuthorizationToken(c, "Basic").toString(), "Basic dTpw");
  EXPECT_EQ(HttpAuthorizationToken(c, "Basic").getCredentials().getUser(), "u");
}

TEST(AuthInfo, SettersChainAndDefaultsNeedNoAuthentication) {
  AuthInfo info;
  EXPECT_FALSE(info.needAuth());
  EXPECT_FALSE(info.needProxyAuth());
  EXPECT_EQ(info.credentials() + info.proxyCredentials() + info.toString() + info.ssoProvider(), "");
  info.user("u").pass("p").proxyUser("pu").proxyPass("pp").ssoProvider("sm").mode(AuthInfo::AuthNtlm);
  EXPECT_EQ(info.user() + info.pass() + info.proxyUser() + info.proxyPass() + info.ssoProvider(), "uppuppsm");
}

TEST(AuthInfo, NeedAuthWantsAModeAndAUserName) {
  AuthInfo info;
  info.mode(AuthInfo::AuthBasic);
  EXPECT_FALSE(info.needAuth());
  info.user("u");
  EXPECT_TRUE(info.needAuth());
  info.mode(AuthInfo::AuthNone);
  EXPECT_FALSE(info.needAuth());

  info.proxyMode(AuthInfo::AuthNtlm);
  EXPECT_FALSE(info.needProxyAuth());
  info.proxyUser("pu");
  EXPECT_TRUE(info.needProxyAuth());
}

TEST(AuthInfo, CredentialsFollowEachSidesOwnMode) {
  AuthInfo info;
  info.user("u").pass("p").proxyUser("pu").proxyPass("pp");
  info.mode(AuthInfo::AuthNtlm).proxyMode(AuthInfo::AuthBasic);
  EXPECT_EQ(info.credentials(), "");
  EXPECT_EQ(info.toString(), "");
  EXPECT_EQ(info.proxyCredentials(), "cHU6cHA=");
  EXPECT_EQ(info.toProxyString(), "Basic");

  info.mode(AuthInfo::AuthBasic).proxyMode(AuthInfo::AuthNone);
  EXPECT_EQ(info.credentials(), "dTpw");
  EXPECT_EQ(info.toString(), "Basic");
  EXPECT_EQ(info.proxyCredentials(), "");
  EXPECT_EQ(info.toProxyString(), "");
}

}  // namespace
