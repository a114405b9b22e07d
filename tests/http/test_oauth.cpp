// OAuth grants against a loopback token endpoint: Password, ClientCredentials and Authorize
// (through the process-wide form hook, with PKCE), refresh before expiry and after a refused
// token, refusals, and copying a token between clients.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <map>

#include "DvOAuth.h"
#include "HttpTestServer.h"
#include "test_helpers.h"

using namespace dv;
using httptest::Server;

namespace {

class OAuthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    srv_.Http().Post("/token", [this](const httplib::Request& req, httplib::Response& res) {
      std::map<std::string, std::string> p;
      for (const auto& [k, v] : req.params)
        p[k] = v;
      grants_.push_back(p["grant_type"]);
      auto ok = [&](const std::string& token, int expiresIn, const std::string& refresh) {
        std::string json =
            "{\"access_token\":\"" + token +
            "\",\"token_type\":\"Bearer\",\"expires_in\":" + std::to_string(expiresIn);
        if (!refresh.empty()) json += ",\"refresh_token\":\"" + refresh + "\"";
        res.set_content(json + "}", "application/json");
      };
      if (p["client_id"] != "app-1") {
        res.status = 400;
        res.set_content("{\"error\":\"invalid_client\"}", "application/json");
      } else if (p["grant_type"] == "password" && p["username"] == "alice@example.com" &&
                 p["password"] == "pä55") {
        ok("pw-tok", 3600, "r1");
      } else if (p["grant_type"] == "client_credentials" && p["client_secret"] == "sec") {
        ok("cc-tok", 3600, "");
      } else if (p["grant_type"] == "authorization_code" && p["code"] == "the-code" &&
                 p["redirect_uri"] == "http://localhost:8400/cb") {
        unsigned char digest[SHA256_DIGEST_LENGTH];
        const std::string& v = p["code_verifier"];
        SHA256(reinterpret_cast<const unsigned char*>(v.data()), v.size(), digest);
        if (ews_test::Base64Encode(
                std::string_view(reinterpret_cast<const char*>(digest), sizeof digest), true) ==
            challenge_)
          ok("code-tok", 3600, "r2");
        else
          res.status = 400;
      } else if (p["grant_type"] == "refresh_token" &&
                 (p["refresh_token"] == "r1" || p["refresh_token"] == "r2")) {
        ok("refreshed-tok", 3600, "");
      } else {
        res.status = 400;
        res.set_content(
            "{\"error\":\"invalid_grant\",\"error_description\":\"The grant was refused\"}",
            "application/json");
      }
    });
    srv_.Http().Get("/api", [this](const httplib::Request& req, httplib::Response& res) {
      std::string auth = req.get_header_value("Authorization");
      if (auth == "Bearer stale-tok") {
        res.status = 401;
        res.set_header("WWW-Authenticate", "Bearer");
        return;
      }
      res.set_content(auth, "text/plain");
    });
    srv_.Start();
  }
  void TearDown() override { DvOnGetOAuthAuthorizeForm = nullptr; }

  std::shared_ptr<TDvHTTPClient> NewClient(TDvOAuthGrantType grant) {
    auto c = std::make_shared<TDvWinHTTPClient>();
    c->SetAuthScheme(TDvHTTPAuthScheme::asOAuth);
    TDvOAuth& o = c->GetOAuth();
    o.SetAppID("app-1");
    o.SetTokenEndpoint(srv_.URL("/token"));
    o.SetAuthEndpoint("https://login.example.com/tenant/oauth2/v2.0/authorize");
    o.SetRedirectURI("http://localhost:8400/cb");
    o.SetScope("https://outlook.office365.com/EWS.AccessAsUser.All offline_access");
    o.SetGrantType(grant);
    return c;
  }
  std::string Api(IDvHTTPClient& c) {
    return c.CreateRequest("GET", srv_.URL("/api"))->Send()->GetContent();
  }

  Server srv_;
  std::vector<std::string> grants_;
  std::string challenge_;
};

}  // namespace

TEST_F(OAuthTest, PasswordGrantObtainsTokenOnceAndRefreshesBeforeExpiry) {
  auto c = NewClient(TDvOAuthGrantType::gtPassword);
  c->GetCredentials() = TDvCredentials("alice@example.com", "pä55");
  EXPECT_EQ(Api(*c), "Bearer pw-tok");
  EXPECT_EQ(Api(*c), "Bearer pw-tok");
  EXPECT_EQ(grants_, std::vector<std::string>{"password"});
  const TDvOAuthAccessToken& token = c->GetOAuth().GetAccessToken();
  EXPECT_FALSE(token.GetExpired());
  EXPECT_GT(token.Expires, TDateTime::NowUTC().AddMinutes(59));
  EXPECT_EQ(token.RefreshToken, "r1");

  // Within a minute of expiry the refresh token gets a new one.
  TDvOAuthAccessToken soon = token;
  soon.Expires = TDateTime::NowUTC().AddSeconds(30);
  c->GetOAuth().SetAccessToken(soon);
  EXPECT_FALSE(soon.GetExpired());
  EXPECT_TRUE(soon.GetExpired(TDvOAuth::RefreshMarginSeconds));
  EXPECT_EQ(Api(*c), "Bearer refreshed-tok");
  EXPECT_EQ(grants_.back(), "refresh_token");
  EXPECT_EQ(c->GetOAuth().GetAccessToken().RefreshToken, "r1");  // kept when none is returned
}

TEST_F(OAuthTest, ClientCredentialsGrantAndTokenCopiedToAnotherClient) {
  auto c = NewClient(TDvOAuthGrantType::gtClientCredentials);
  c->GetOAuth().SetClientSecret("sec");
  EXPECT_EQ(Api(*c), "Bearer cc-tok");

  // A second client starts with the first one's token and asks for none of its own.
  auto other = NewClient(TDvOAuthGrantType::gtClientCredentials);
  other->GetOAuth().SetAccessToken(c->GetOAuth().GetAccessToken());
  EXPECT_EQ(Api(*other), "Bearer cc-tok");
  EXPECT_EQ(grants_.size(), 1u);

  // Assign copies settings and token; AssignSettings keeps the target's token.
  TDvOAuth copy;
  copy.Assign(c->GetOAuth());
  EXPECT_EQ(copy.GetAccessToken().AccessToken, "cc-tok");
  EXPECT_EQ(copy.GetClientSecret(), "sec");
  TDvOAuth settingsOnly;
  settingsOnly.AssignSettings(c->GetOAuth());
  EXPECT_TRUE(settingsOnly.GetAccessToken().IsEmpty());
  EXPECT_EQ(settingsOnly.GetGrantType(), TDvOAuthGrantType::gtClientCredentials);
}

TEST_F(OAuthTest, AuthorizeGrantGoesThroughTheFormHook) {
  std::string seenUrl, seenRedirect;
  DvOnGetOAuthAuthorizeForm = [&](const std::string& url, const std::string& redirect) {
    seenUrl = url;
    seenRedirect = redirect;
    std::size_t p = url.find("code_challenge=");
    challenge_ = url.substr(p + 15, url.find('&', p) - p - 15);
    std::size_t s = url.find("state=");
    std::string state = url.substr(s + 6, url.find('&', s) - s - 6);
    return redirect + "?code=the-code&state=" + state;
  };
  auto c = NewClient(TDvOAuthGrantType::gtAuthorize);
  EXPECT_EQ(Api(*c), "Bearer code-tok");
  EXPECT_EQ(seenRedirect, "http://localhost:8400/cb");
  EXPECT_EQ(seenUrl.rfind("https://login.example.com/tenant/oauth2/v2.0/authorize?", 0), 0u);
  EXPECT_NE(seenUrl.find("client_id=app-1"), std::string::npos);
  EXPECT_NE(seenUrl.find("response_type=code"), std::string::npos);
  EXPECT_NE(seenUrl.find("code_challenge_method=S256"), std::string::npos);

  // A cancelled form refuses the login.
  DvOnGetOAuthAuthorizeForm = [](const std::string&, const std::string&) { return std::string(); };
  auto cancelled = NewClient(TDvOAuthGrantType::gtAuthorize);
  try {
    Api(*cancelled);
    FAIL();
  } catch (const EDvHTTPClientApiException& e) {
    EXPECT_EQ(e.GetErrorCode(), DvHTTPError::LoginFailure);
  }
}

TEST_F(OAuthTest, RefusalsRaiseLoginFailureWithoutSecrets) {
  auto c = NewClient(TDvOAuthGrantType::gtPassword);
  c->GetCredentials() = TDvCredentials("alice@example.com", "wrong-pass-123");
  c->GetOAuth().SetClientSecret("client-secret-456");
  try {
    Api(*c);
    FAIL();
  } catch (const EDvHTTPClientApiException& e) {
    EXPECT_EQ(e.GetErrorCode(), DvHTTPError::LoginFailure);
    std::string m = e.what();
    EXPECT_NE(m.find("invalid_grant"), std::string::npos);
    EXPECT_EQ(m.find("wrong-pass-123"), std::string::npos);
    EXPECT_EQ(m.find("client-secret-456"), std::string::npos);
  }
  // No grant and no token: nothing to authenticate with.
  auto none = NewClient(TDvOAuthGrantType::gtNone);
  EXPECT_THROW(Api(*none), EDvHTTPClientApiException);
}

TEST_F(OAuthTest, TokenRefusedByTheServerIsRenewedOnce) {
  auto c = NewClient(TDvOAuthGrantType::gtPassword);
  c->GetCredentials() = TDvCredentials("alice@example.com", "pä55");
  TDvOAuthAccessToken stale;
  stale.AccessToken = "stale-tok";
  stale.RefreshToken = "r2";
  stale.Expires = TDateTime::NowUTC().AddMinutes(30);
  c->GetOAuth().SetAccessToken(stale);
  EXPECT_EQ(Api(*c), "Bearer refreshed-tok");
  EXPECT_EQ(grants_, std::vector<std::string>{"refresh_token"});
}
