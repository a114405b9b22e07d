// The server core: HTTP, authentication, SOAP envelopes, headers, faults and limits.
#include <httplib.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "sim_fixture.h"
#include "test_helpers.h"

using namespace simtest;

namespace {

const char* kGetInbox =
    "<m:GetFolder><m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>"
    "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/></m:FolderIds></m:GetFolder>";

class ServerTest : public SimTest {
 protected:
  static void SetUpTestSuite() {
    auto c = ews_test::DefaultSimConfig();
    c.users[1].sid = "S-1-5-21-1-2-3-1104";  // bob, for the SID form of impersonation
    Sim() = std::make_unique<ews_test::SimServer>(c);
  }
};

TEST_F(ServerTest, AuthenticationPathAndCookie) {
  // Missing and wrong credentials get 401 with a Basic challenge, never a SOAP answer.
  for (std::string password : {"", "wrong"}) {
    ews_test::SoapClient client(Sim()->Url(), password.empty() ? "" : "alice@example.com",
                                password);
    auto r = client.Post(ews_test::Envelope(kGetInbox));
    EXPECT_EQ(r.status, 401);
    EXPECT_NE(r.Header("WWW-Authenticate").find("Basic"), std::string::npos);
  }
  ews_test::SoapClient client(Sim()->Url(), "alice@example.com", "alice-pw");
  // The EWS path is matched without regard to case; other paths are not EWS.
  auto ok = client.PostTo("/ews/EXCHANGE.asmx", ews_test::Envelope(kGetInbox));
  EXPECT_EQ(ok.status, 200);
  EXPECT_TRUE(ews_test::ValidateEnvelope(ok.body).ok);
  EXPECT_NE(ok.Header("Set-Cookie").find("exchangecookie="), std::string::npos);
  EXPECT_NE(ok.Header("Content-Type").find("text/xml"), std::string::npos);
  EXPECT_EQ(client.PostTo("/EWS/Other.asmx", ews_test::Envelope(kGetInbox)).status, 404);
  // A client that already holds the cookie is not given a new one.
  auto again = client.Post(ews_test::Envelope(kGetInbox), {{"Cookie", "exchangecookie=abc"}});
  EXPECT_EQ(again.Header("Set-Cookie"), "");
}

TEST_F(ServerTest, EnvelopeStylesOfDifferentClientsAreAccepted) {
  const std::string body =
      "<m:GetFolder xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
      "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"><m:FolderShape>"
      "<t:BaseShape>IdOnly</t:BaseShape></m:FolderShape><m:FolderIds>"
      "<t:DistinguishedFolderId Id=\"inbox\"/></m:FolderIds></m:GetFolder>";
  const std::string ns = "http://schemas.xmlsoap.org/soap/envelope/";
  std::vector<std::string> envelopes = {
      // s: prefix with declaration
      "<?xml version='1.0' encoding='utf-8'?><s:Envelope xmlns:s=\"" + ns + "\"><s:Body>" + body +
          "</s:Body></s:Envelope>",
      // soap: prefix, no declaration, header present
      "<soap:Envelope xmlns:soap=\"" + ns +
          "\"><soap:Header><t:RequestServerVersion xmlns:t="
          "\"http://schemas.microsoft.com/exchange/services/2006/types\" Version=\"Exchange2010\"/>"
          "</soap:Header><soap:Body>" +
          body + "</soap:Body></soap:Envelope>",
      // default namespace, no prefix at all
      "<Envelope xmlns=\"" + ns + "\"><Body>" + body + "</Body></Envelope>"};
  for (auto& e : envelopes) {
    auto r = PostRaw(e);
    EXPECT_EQ(r.http.status, 200) << e;
    EXPECT_EQ(r.Class(), "Success");
  }
}

TEST_F(ServerTest, MalformedAndSchemaInvalidRequestsGetTheSchemaFault) {
  auto broken = PostRaw(ews_test::Envelope("<m:GetFolder>\n<m:FolderShape>&bad;</m:FolderShape>"));
  EXPECT_EQ(broken.http.status, 500);
  EXPECT_EQ(broken.FaultCode(), "a:ErrorSchemaValidation");
  EXPECT_EQ(TextOf(broken.root(), "ResponseCode"), "ErrorSchemaValidation");
  EXPECT_GT(std::stoi(TextOf(broken.root(), "LineNumber")), 0);
  EXPECT_NE(TextOf(broken.root(), "faultstring").find("Line "), std::string::npos);

  // Well-formed, but an unknown distinguished folder name violates the schema.
  auto invalid = GetFolder("<t:DistinguishedFolderId Id=\"inbox1\"/>");
  EXPECT_EQ(invalid.FaultCode(), "a:ErrorSchemaValidation");
  EXPECT_NE(TextOf(invalid.root(), "Violation").find("inbox1"), std::string::npos);

  // Bodies that are no SOAP request at all.
  for (std::string junk :
       {std::string(), std::string("hello"),
        std::string("<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\"/>"),
        std::string(2000, '<')}) {
    auto r = PostRaw(junk);
    EXPECT_EQ(r.http.status, 500) << junk.substr(0, 40);
    EXPECT_EQ(r.FaultCode(), "a:ErrorSchemaValidation") << junk.substr(0, 40);
  }

  // An element no operation of the schema has.
  auto unknown = Call("<m:FrobnicateItem/>");
  EXPECT_EQ(unknown.http.status, 500);
  EXPECT_EQ(unknown.FaultCode(), "a:ErrorSchemaValidation");
}

// Unknown and newer versions are refused; the version the server runs, and older ones, are served.
TEST_F(ServerTest, RequestServerVersionUnknownOrNewerIsRefused) {
  for (auto [v, served] : {std::pair{"Exchange2019", false},
                           {"V2018_01_08", false},
                           {"Exchange2016", true},
                           {"Exchange2007_SP1", true}}) {
    auto r = Call(kGetInbox, "alice@example.com",
                  std::string("<t:RequestServerVersion Version=\"") + v + "\"/>");
    EXPECT_EQ(r.http.status, served ? 200 : 500) << v;
    EXPECT_EQ(r.Class(), served ? "Success" : "") << v;
    EXPECT_EQ(r.FaultCode(), served ? "" : "a:ErrorInvalidServerVersion") << v;
    if (served) {
      EXPECT_STREQ(First(r.root(), "ServerVersionInfo").attribute("Version").value(),
                   "Exchange2016");
    }
  }
}

TEST_F(ServerTest, ServerVersionHeaderIsConfigurable) {
  ewssim::Config c = ews_test::DefaultSimConfig();
  c.version.name = "Exchange2013_SP1";
  c.version.majorBuild = 847;
  c.version.minorBuild = 31;
  ews_test::SimServer sp1(c);
  ews_test::SoapClient client(sp1.Url(), "alice@example.com", "alice-pw");
  auto r = client.Post(ews_test::Envelope(kGetInbox));
  ASSERT_TRUE(ews_test::ValidateEnvelope(r.body).ok);
  EXPECT_NE(r.body.find("MajorVersion=\"15\" MinorVersion=\"0\" MajorBuildNumber=\"847\" "
                        "MinorBuildNumber=\"31\" Version=\"Exchange2013_SP1\""),
            std::string::npos);

  c.version.omitHeader = true;
  ews_test::SimServer bare(c);
  ews_test::SoapClient client2(bare.Url(), "alice@example.com", "alice-pw");
  auto r2 = client2.Post(ews_test::Envelope(kGetInbox));
  EXPECT_EQ(r2.status, 200);
  EXPECT_EQ(r2.body.find("ServerVersionInfo"), std::string::npos);
  EXPECT_EQ(r2.body.find("Header"), std::string::npos);
}

TEST_F(ServerTest, ImpersonationByEveryConnectingSidFormAndDenial) {
  // The service account may impersonate Bob by any form of his name; it sees his mailbox.
  for (auto [form, bob] : {std::pair{"PrimarySmtpAddress", "bob@example.com"},
                           {"SmtpAddress", "bob@example.com"},
                           {"PrincipalName", "bob@example.com"},
                           {"SID", "S-1-5-21-1-2-3-1104"}}) {
    std::string header = std::string(kHeader) +
                         "<t:ExchangeImpersonation><t:ConnectingSID><t:" + form + ">" + bob +
                         "</t:" + form + "></t:ConnectingSID></t:ExchangeImpersonation>";
    auto r = Call(kGetInbox, "svc@example.com", header);
    ASSERT_EQ(r.Class(), "Success") << form;
    auto bobs = Call(kGetInbox, "bob@example.com");
    EXPECT_EQ(First(r.root(), "FolderId").attribute("Id").value(),
              std::string(First(bobs.root(), "FolderId").attribute("Id").value()))
        << form;
  }
  // Alice has no impersonation right.
  auto denied = Call(kGetInbox, "alice@example.com",
                     std::string(kHeader) +
                         "<t:ExchangeImpersonation><t:ConnectingSID><t:PrimarySmtpAddress>"
                         "bob@example.com</t:PrimarySmtpAddress></t:ConnectingSID>"
                         "</t:ExchangeImpersonation>");
  EXPECT_EQ(denied.http.status, 500);
  EXPECT_EQ(denied.FaultCode(), "a:ErrorImpersonateUserDenied");
  // Without impersonation, another user's folders are off limits.
  auto other = GetFolder(Dist("inbox", "bob@example.com"), "IdOnly");
  EXPECT_EQ(other.Code(), "ErrorAccessDenied");
  EXPECT_EQ(other.Class(), "Error");
}

TEST_F(ServerTest, TimeZoneContextAppliesToZonelessDateTimes) {
  std::string header = std::string(kHeader) +
                       "<t:TimeZoneContext><t:TimeZoneDefinition Id=\"W. Europe Standard Time\"/>"
                       "</t:TimeZoneContext>";
  auto created = Call(
      "<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items><t:CalendarItem>"
      "<t:Subject>tz test</t:Subject><t:Start>2026-07-01T10:00:00</t:Start>"
      "<t:End>2027-01-15T10:00:00.500</t:End></t:CalendarItem></m:Items></m:CreateItem>",
      "alice@example.com", header);
  ASSERT_EQ(created.Class(), "Success");
  auto id = ItemIdXml(First(created.root(), "ItemId"));
  auto got = GetItem(id);
  // Summer time is UTC+2 in Berlin, winter time UTC+1.
  EXPECT_EQ(TextOf(got.root(), "Start"), "2026-07-01T08:00:00Z");
  EXPECT_EQ(TextOf(got.root(), "End"), "2027-01-15T09:00:00Z");
  // An explicit offset wins over the context; booleans written as 1/0 come back as true/false.
  auto task = Call(
      "<m:CreateItem><m:Items><t:Task><t:Subject>offset</t:Subject>"
      "<t:ReminderIsSet>1</t:ReminderIsSet><t:DueDate>2026-05-01T12:00:00.000+02:00"
      "</t:DueDate></t:Task></m:Items></m:CreateItem>",
      "alice@example.com", header);
  auto gotTask = GetItem(ItemIdXml(First(task.root(), "ItemId")));
  EXPECT_EQ(TextOf(gotTask.root(), "DueDate"), "2026-05-01T10:00:00Z");
  EXPECT_EQ(TextOf(gotTask.root(), "ReminderIsSet"), "true");
}

TEST_F(ServerTest, ManyClientsAtOnce) {
  constexpr int kThreads = 6, kEach = 15;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ews_test::SoapClient client(Sim()->Url(), "bob@example.com", "bob-pw");
      for (int i = 0; i < kEach; ++i) {
        auto r = client.Post(ews_test::Envelope(
            "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>"
            "<t:DistinguishedFolderId Id=\"notes\"/></m:SavedItemFolderId><m:Items><t:Message>"
            "<t:Subject>parallel " +
            std::to_string(t) + "/" + std::to_string(i) +
            "</t:Subject></t:Message></m:Items></m:CreateItem>"));
        if (r.status != 200 || r.body.find("NoError") == std::string::npos) ++failures;
        auto g = client.Post(ews_test::Envelope(kGetInbox));
        if (g.status != 200) ++failures;
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Sim()->Server().FolderItemCount("bob@example.com", "notes"), kThreads * kEach);
}

TEST_F(ServerTest, TlsWithGeneratedCertificate) {
  ewssim::Config c = ews_test::DefaultSimConfig();
  c.tls = true;
  ews_test::SimServer tls(c);
  EXPECT_EQ(tls.Url().rfind("https://127.0.0.1:", 0), 0u);
  EXPECT_NE(tls.Server().CertificatePem().find("BEGIN CERTIFICATE"), std::string::npos);
  // The generated certificate verifies as its own trust anchor, for the address served.
  ews_test::TempDir tmp;
  const std::string pem = tmp.File("cert.pem");
  std::ofstream(pem) << tls.Server().CertificatePem();
  ews_test::SoapClient client(tls.Url(), "alice@example.com", "alice-pw", pem);
  auto r = client.Post(ews_test::Envelope(kGetInbox));
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(ews_test::ValidateEnvelope(r.body).ok);
  // Another certificate does not verify.
  ewssim::Config other = ews_test::DefaultSimConfig();
  other.tls = true;
  ews_test::SimServer stranger(other);
  ews_test::SoapClient wrong(stranger.Url(), "alice@example.com", "alice-pw", pem);
  EXPECT_EQ(wrong.Post(ews_test::Envelope(kGetInbox)).status, -1);
}

TEST(ServerConfig, JsonAndUserArguments) {
  auto c = ewssim::Config::FromJson(R"({
    "listen": "127.0.0.1:0",
    "users": [{"address": "a@x.test", "password": "p", "display_name": "A",
               "impersonate": ["b@x.test"], "sid": "S-1-5-21-9"},
              {"address": "b@x.test", "password": "q", "impersonate": "*"}],
    "server_version": {"name": "Exchange2013_SP1", "major_build": 847, "minor_build": 32,
                       "omit_header": true},
    "seed": {"messages": 3, "calendar_items": 2, "contacts": 1},
    "max_request_bytes": 1000
  })");
  ASSERT_EQ(c.users.size(), 2u);
  EXPECT_EQ(c.users[0].impersonate, std::vector<std::string>{"b@x.test"});
  EXPECT_EQ(c.users[1].impersonate, std::vector<std::string>{"*"});
  EXPECT_EQ(c.version.majorBuild, 847);
  EXPECT_TRUE(c.version.omitHeader);
  EXPECT_EQ(c.seed.calendarItems, 2);
  EXPECT_EQ(c.maxRequestBytes, 1000u);
  EXPECT_THROW(ewssim::Config::FromJson(R"({"server_version": "Exchange2099"})"),
               std::runtime_error);
  EXPECT_THROW(ewssim::Config::FromJson("[1,2"), std::runtime_error);

  ewssim::UserConfig u;
  ASSERT_TRUE(ewssim::ParseUserArg("carol@x.test:pa:ss:Carol C", u));
  EXPECT_EQ(u.address, "carol@x.test");
  EXPECT_EQ(u.password, "pa");
  EXPECT_EQ(u.displayName, "ss:Carol C");
  ASSERT_TRUE(ewssim::ParseUserArg("dave@x.test:pw", u));
  EXPECT_EQ(u.displayName, "");
  EXPECT_FALSE(ewssim::ParseUserArg("nobody", u));
}

}  // namespace

namespace {

// The OAuth token endpoint and bearer tokens on EWS requests.
TEST(ServerOAuth, TokenGrantsAndBearerRequests) {
  auto config = ews_test::DefaultSimConfig();
  config.oauthApps = {{"app", "secret"}};
  ews_test::SimServer sim(config);
  const std::string url = sim.Url();
  httplib::Client http(url.substr(0, url.find("/EWS/")));
  auto token = [&](const httplib::Params& form) {
    auto r = http.Post("/common/oauth2/v2.0/token", form);
    EXPECT_TRUE(r);
    return std::make_pair(r->status, nlohmann::json::parse(r->body));
  };
  auto ews = [&](const std::string& bearer, const std::string& header = kHeader) {
    auto r = http.Post("/EWS/Exchange.asmx", {{"Authorization", "Bearer " + bearer}},
                       ews_test::Envelope(kGetInbox, header), "text/xml; charset=utf-8");
    EXPECT_TRUE(r);
    if (r->status == 200 || r->status == 500) {
      EXPECT_TRUE(ews_test::ValidateEnvelope(r->body).ok);
    }
    return std::make_pair(r->status, r->body);
  };

  EXPECT_EQ(token({{"grant_type", "password"}, {"client_id", "other"}}).second["error"],
            "unauthorized_client");
  EXPECT_EQ(token({{"grant_type", "password"},
                   {"client_id", "app"},
                   {"username", "alice@example.com"},
                   {"password", "wrong"}})
                .second["error"],
            "invalid_grant");
  auto [status, user] = token({{"grant_type", "password"},
                               {"client_id", "app"},
                               {"username", "alice@example.com"},
                               {"password", "alice-pw"}});
  ASSERT_EQ(status, 200);
  EXPECT_EQ(user["token_type"], "Bearer");
  EXPECT_EQ(ews(user["access_token"]).first, 200);
  // A refresh token is no access token, and it is good for one refresh.
  EXPECT_EQ(ews(user["refresh_token"]).first, 401);
  const httplib::Params refresh{{"grant_type", "refresh_token"},
                                {"client_id", "app"},
                                {"refresh_token", user["refresh_token"]}};
  EXPECT_EQ(token(refresh).first, 200);
  EXPECT_EQ(token(refresh).second["error"], "invalid_grant");
  EXPECT_EQ(token({{"grant_type", "authorization_code"}, {"client_id", "app"}}).second["error"],
            "invalid_grant");  // no code was issued
  EXPECT_EQ(token({{"grant_type", "device_code"}, {"client_id", "app"}}).second["error"],
            "unsupported_grant_type");

  // The app-only token: the secret is checked, and a request must name its mailbox.
  EXPECT_EQ(token({{"grant_type", "client_credentials"}, {"client_id", "app"}}).first, 401);
  auto app = token(
      {{"grant_type", "client_credentials"}, {"client_id", "app"}, {"client_secret", "secret"}});
  ASSERT_EQ(app.first, 200);
  EXPECT_FALSE(app.second.contains("refresh_token"));
  auto bare = ews(app.second["access_token"]);
  EXPECT_EQ(bare.first, 500);
  EXPECT_NE(bare.second.find("ErrorInvalidExchangeImpersonationHeaderData"), std::string::npos);
  auto named = ews(app.second["access_token"],
                   std::string(kHeader) +
                       "<t:ExchangeImpersonation><t:ConnectingSID><t:PrimarySmtpAddress>"
                       "bob@example.com</t:PrimarySmtpAddress></t:ConnectingSID>"
                       "</t:ExchangeImpersonation>");
  EXPECT_EQ(named.first, 200);
  EXPECT_NE(named.second.find("ResponseClass=\"Success\""), std::string::npos);
}

}  // namespace
