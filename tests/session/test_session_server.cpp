// Logon, versions, time zones, cookies, failures and the request frame against an in-process
// ewssim, with a recording proxy in between to see the bytes that reach the server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>

#include "DvTimeZone.h"
#include "session_fixture.h"
#include "test_helpers.h"
#include "uDvEWSMsgStore.h"

using namespace dv;
using ews_test::ScopedTZ;
using ews_test::ThrownMessage;
using namespace session_test;

namespace {

// A session whose learnt values tests may set.
class TestSession : public TDvEWSCustomSession {
 public:
  using TDvEWSCustomSession::TDvEWSCustomSession;
  void SetDefaultStoreEmail(const std::string& v) { FDefaultStoreEmail = v; }
  void SetRequestVersion(TServerVersion v) { FRequestVersion = v; }
};

// The local names of the SOAP header's elements, in order.
std::vector<std::string> HeaderNames(const std::string& envelope) {
  std::vector<std::string> names;
  auto header = DvCreateDOM(envelope)->SelectSingleElement("Envelope/Header");
  if (!header) return names;
  for (int i = 0; i < header->ElementCount(); ++i)
    names.push_back(header->GetElement(i)->GetLocalName());
  return names;
}

DvDOMElementPtr Select(const std::string& xml, const std::string& path) {
  return DvCreateDOM(xml)->SelectSingleElement(path);
}

std::string VersionIn(const std::string& envelope) {
  auto e = Select(envelope, "Envelope/Header/RequestServerVersion");
  return e ? e->GetAttribute("Version") : std::string();
}

// A GetFolder of the inbox through the session's frame; checks every response message.
void SendGetInbox(TDvEWSCustomSession& s, const std::shared_ptr<TDvSOAPClient>& client = nullptr) {
  auto r = s.CreateRequest(client, "m:GetFolder", "m:GetFolderResponse");
  auto op = r->GetOperation();
  op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
  op->AddElement("m:FolderIds")->AddElement("t:DistinguishedFolderId")->SetAttribute("Id", "inbox");
  auto messages = r->Send()->GetResponse()->SelectSingleElement("ResponseMessages");
  ASSERT_TRUE(messages);
  for (int i = 0; i < messages->ElementCount(); ++i)
    s.CheckResponseError(messages->GetElement(i));
}

struct Env {
  explicit Env(ewssim::Config config = SimConfig()) : sim(std::move(config)), proxy(sim.Port()) {}
  ews_test::SimServer sim;
  RecordingProxy proxy;
  RequestValidator validator;

  std::unique_ptr<TestSession> Session(const std::string& user = "alice@example.com",
                                       const std::string& password = "alice-pw") {
    auto s = std::make_unique<TestSession>();
    s->SetPasswordDialog(false);
    s->SetServiceUrl(proxy.Url());
    s->SetCredentials(TDvCredentials(user, password));
    validator.Attach(*s);
    return s;
  }

  // The one request a GetFolder of the inbox sends, as it reached the server.
  Exchange SendOne(TDvEWSCustomSession& s, const std::shared_ptr<TDvSOAPClient>& client = nullptr) {
    proxy.Clear();
    SendGetInbox(s, client);
    const auto sent = proxy.Authenticated();
    EXPECT_EQ(sent.size(), 1u);
    return sent.empty() ? Exchange() : sent[0];
  }
};

std::string CookieValue(const std::string& setCookie) {
  const auto eq = setCookie.find('=');
  const auto semi = setCookie.find(';');
  return setCookie.substr(eq + 1, semi == std::string::npos ? std::string::npos : semi - eq - 1);
}

}  // namespace

TEST(SessionServer, LogonCheckVersionTimeZoneCookieAndLogoff) {
  ScopedTZ tz("Asia/Tokyo");
  Env env(SimConfig("Exchange2013_SP1"));
  auto s = env.Session();
  EXPECT_EQ(s->GetCurrentTimeZoneContext(), "Tokyo Standard Time");
  int afterLogon = 0, beforeLogoff = 0, afterLogoff = 0;
  s->SetAfterLogon([&](TDvEWSCustomSession& sender) {
    EXPECT_EQ(&sender, s.get());
    EXPECT_TRUE(sender.GetActive());
    ++afterLogon;
  });
  s->SetBeforeLogoff([&](TDvEWSCustomSession& sender) {
    EXPECT_TRUE(sender.GetActive());
    ++beforeLogoff;
  });
  s->SetAfterLogoff([&](TDvEWSCustomSession& sender) {
    EXPECT_FALSE(sender.GetActive());
    ++afterLogoff;
  });

  s->SetActive(true);
  ASSERT_TRUE(s->GetActive());
  EXPECT_EQ(afterLogon, 1);
  EXPECT_EQ(s->GetServerVersion(), TServerVersion::Exchange2013_SP1);
  EXPECT_EQ(s->GetRequestVersion(), TServerVersion::Exchange2013_SP1);
  // The description is made from the four numbers of the answer's header.
  EXPECT_EQ(s->GetServerVersionInfo().Version, "Exchange2013_SP1");
  EXPECT_EQ(s->GetServerDescription(), "Exchange Server 2013 SP1 (15.0.847.32)");
  EXPECT_EQ(s->GetCurrentTimeZoneContext(), "Tokyo Standard Time");

  // The logon check, then the time-zone request.
  auto sent = env.proxy.Authenticated();
  ASSERT_EQ(sent.size(), 2u);
  const Exchange& check = sent[0];
  EXPECT_EQ(HeaderNames(check.body), std::vector<std::string>{"RequestServerVersion"});
  EXPECT_EQ(VersionIn(check.body), "Exchange2007_SP1");
  auto convert = Select(check.body, "Envelope/Body/ConvertId");
  ASSERT_TRUE(convert);
  EXPECT_EQ(convert->GetAttribute("DestinationFormat"), "HexEntryId");
  auto alternate = convert->SelectSingleElement("SourceIds/AlternateId");
  ASSERT_TRUE(alternate);
  EXPECT_EQ(alternate->GetAttribute("Format"), "HexEntryId");
  EXPECT_EQ(alternate->GetAttribute("Id"), "00");
  EXPECT_FALSE(alternate->GetAttribute("Mailbox").empty());
  EXPECT_EQ(check.Header("Accept"), "text/xml");
  EXPECT_EQ(check.Header("User-Agent"), "Dovrane EWS Client");
  EXPECT_FALSE(check.HasHeader("X-AnchorMailbox"));
  EXPECT_NE(check.Header("SOAPAction").find("/messages/ConvertId"), std::string::npos);

  const Exchange& zones = sent[1];
  EXPECT_EQ(HeaderNames(zones.body),
            (std::vector<std::string>{"RequestServerVersion", "TimeZoneContext"}));
  EXPECT_EQ(VersionIn(zones.body), "Exchange2013_SP1");
  EXPECT_EQ(
      Select(zones.body, "Envelope/Header/TimeZoneContext/TimeZoneDefinition")->GetAttribute("Id"),
      "Tokyo Standard Time");
  EXPECT_EQ(Select(zones.body, "Envelope/Body/GetServerTimeZones")
                ->GetAttribute("ReturnFullTimeZoneData"),
            "false");

  // The affinity cookie the server handed out.
  std::string cookie;
  for (const auto& x : env.proxy.Exchanges())
    if (!x.setCookie.empty()) cookie = CookieValue(x.setCookie);
  ASSERT_FALSE(cookie.empty());
  EXPECT_EQ(s->GetExchangeCookie(), cookie);

  // Logging on again does nothing.
  env.proxy.Clear();
  s->SetActive(true);
  EXPECT_TRUE(env.proxy.Exchanges().empty());
  EXPECT_EQ(afterLogon, 1);

  s->SetActive(false);
  EXPECT_FALSE(s->GetActive());
  EXPECT_EQ(beforeLogoff, 1);
  EXPECT_EQ(afterLogoff, 1);
  EXPECT_EQ(s->GetExchangeCookie(), "");
  EXPECT_FALSE(s->GetHTTPClient());
  EXPECT_FALSE(s->GetSOAPClient());
  EXPECT_FALSE(s->GetHTTPSession());
  EXPECT_EQ(s->GetServiceUrl(), env.proxy.Url());
  EXPECT_THROW(s->GetServerVersion(), Exception);
  s->SetActive(false);
  EXPECT_EQ(beforeLogoff, 1);
  EXPECT_EQ(afterLogoff, 1);

  // A second logon works on new transport objects.
  s->SetActive(true);
  EXPECT_TRUE(s->GetActive());
  EXPECT_EQ(env.validator.Problems(), "");
}

TEST(SessionServer, ServerVersionReports) {
  struct Case {
    const char* name;
    int majorBuild;
    bool omitHeader;
    bool hideName;  // the answer's Version text names no known version
    TServerVersion expected;
    const char* description;
  };
  const Case cases[] = {
      {"V2016_01_06", -1, false, false, TServerVersion::Exchange2016,
       "Exchange Server 2016 (15.1.396.30)"},
      {"Exchange2016", -1, true, false, TServerVersion::Exchange2007, "Exchange Server (0.0.0.0)"},
      {"Exchange2013_SP1", 847, false, true, TServerVersion::Exchange2013_SP1,
       "Exchange Server 2013 SP1 (15.0.847.32)"},
      {"Exchange2007_SP1", -1, false, false, TServerVersion::Exchange2007_SP1,
       "Exchange Server 2007 SP1 (8.1.240.6)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.omitHeader ? " without header" : "") +
                 (c.hideName ? " by numbers" : ""));
    ewssim::Config config = SimConfig(c.name);
    config.version.majorBuild = c.majorBuild;
    config.version.omitHeader = c.omitHeader;
    Env env(config);
    if (c.hideName) {
      const std::string named = std::string("Version=\"") + c.name + "\"";
      env.proxy.SetRewrite([named](std::string& body) {
        const auto at = body.find(named);
        if (at != std::string::npos) body.replace(at, named.size(), "Version=\"V2_23\"");
      });
    }
    auto s = env.Session();
    const std::string zone = s->GetCurrentTimeZoneContext();
    s->SetActive(true);
    ASSERT_TRUE(s->GetActive());
    EXPECT_EQ(s->GetServerVersion(), c.expected);
    EXPECT_EQ(s->GetRequestVersion(), c.expected);
    EXPECT_EQ(s->GetServerDescription(), c.description);
    if (c.omitHeader) {
      EXPECT_EQ(s->GetServerVersionInfo(), TServerVersionInfo());
    }
    if (c.hideName) {
      EXPECT_EQ(s->GetServerVersionInfo().Version, "V2_23");
    }
    // Below Exchange2010 no time-zone request is sent.
    const auto sent = env.proxy.Authenticated();
    const bool zonesAsked = c.expected >= TServerVersion::Exchange2010;
    EXPECT_EQ(sent.size(), zonesAsked ? 2u : 1u);
    if (!zonesAsked) {
      EXPECT_EQ(s->GetCurrentTimeZoneContext(), zone);
    }
    // Requests carry the version found.
    EXPECT_EQ(VersionIn(env.SendOne(*s).body), EwsServerVersionName(c.expected));
    EXPECT_EQ(env.validator.Problems(), "");
  }
}

TEST(SessionServer, TimeZoneSelectionAgainstTheServer) {
  {
    // The server lacks the local zone: the first of its zones with the local offset.
    ScopedTZ tz("Asia/Tokyo");
    Env env;
    env.proxy.SetRewrite([](std::string& body) {
      body = std::regex_replace(body,
                                std::regex("<t:TimeZoneDefinition [^>]*Id=\"Tokyo Standard "
                                           "Time\"[^>]*/>"),
                                "");
    });
    auto s = env.Session();
    ASSERT_EQ(s->GetCurrentTimeZoneContext(), "Tokyo Standard Time");
    s->SetActive(true);
    EXPECT_EQ(s->GetCurrentTimeZoneContext(), "Korea Standard Time");
    EXPECT_EQ(Select(env.SendOne(*s).body, "Envelope/Header/TimeZoneContext/TimeZoneDefinition")
                  ->GetAttribute("Id"),
              "Korea Standard Time");
  }
  {
    // The server refuses the zone (a fault): swallowed, the zone stays, the logon succeeds.
    ScopedTZ tz("Pacific/Marquesas");
    Env env;
    auto s = env.Session();
    ASSERT_EQ(s->GetCurrentTimeZoneContext(), "Marquesas Standard Time");
    s->SetActive(true);
    EXPECT_TRUE(s->GetActive());
    EXPECT_EQ(s->GetCurrentTimeZoneContext(), "Marquesas Standard Time");
    const auto sent = env.proxy.Authenticated();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].status, 500);
  }
  {
    // No zone of the local offset on the server: unchanged.
    ScopedTZ tz("Asia/Tokyo");
    Env env;
    env.proxy.SetRewrite([](std::string& body) {
      body = std::regex_replace(
          body, std::regex("<t:TimeZoneDefinition [^>]*\\(UTC\\+09:00\\)[^>]*/>"), "");
    });
    auto s = env.Session();
    s->SetCurrentTimeZoneContext("Yakutsk Standard Time");
    s->SetActive(true);
    EXPECT_EQ(s->GetCurrentTimeZoneContext(), "Yakutsk Standard Time");
  }
}

TEST(SessionServer, FailureTranslation) {
  Env env;
  struct Outcome {
    std::string type, message, detail;
    std::uint32_t code = 0;
    std::string function;
  };
  auto logon = [&](const std::string& url, const std::string& password,
                   const std::string& autodiscover) {
    auto s = env.Session("alice@example.com", password);
    if (!autodiscover.empty()) s->SetAutodiscoverEMail(autodiscover);
    s->SetServiceUrl(url);
    Outcome o;
    try {
      s->SetActive(true);
      o.type = "none";
    } catch (const EEWSException& e) {
      o = {"EEWSException", e.what(), e.GetEWSErrorCode(), e.GetHTTPErrorCode(), ""};
    } catch (const EDvHTTPClientApiException& e) {
      o = {"EDvHTTPClientApiException", e.what(), "", e.GetErrorCode(), e.GetFunctionName()};
    } catch (const EDvHTTPApiException& e) {
      o = {"EDvHTTPApiException", e.what(), "", e.GetErrorCode(), e.GetFunctionName()};
    } catch (const std::exception& e) {
      o = {"other", e.what(), "", 0, ""};
    }
    EXPECT_FALSE(s->GetActive());
    EXPECT_EQ(s->GetServiceUrl(), "");
    return o;
  };
  const std::string loginFailure =
      "LOGIN_FAILURE: Either an invalid name and/or password were provided!";

  Outcome wrong = logon(env.proxy.Url(), "wrong", "");
  EXPECT_EQ(wrong.type, "EDvHTTPApiException");
  EXPECT_EQ(wrong.message, loginFailure);
  EXPECT_EQ(wrong.code, 12015u);
  EXPECT_EQ(wrong.function, "HttpSendRequest");

  Outcome wrongAuto = logon(env.proxy.Url(), "wrong", "alice@example.com");
  EXPECT_EQ(wrongAuto.type, "EEWSException");
  EXPECT_EQ(wrongAuto.message, "ErrorConnectionFailed (" + loginFailure + ").");
  EXPECT_EQ(wrongAuto.detail, loginFailure);
  EXPECT_EQ(wrongAuto.code, 12015u);

  // A URL the caller gave (autodiscover address set or not, discovery does not run): the
  // transport's failure is reported as such, never as an autodiscover failure.
  const std::string nowhere = "http://ews-host.invalid/EWS/Exchange.asmx";
  const std::string closed =
      "http://127.0.0.1:" + std::to_string(ews_test::FreeLoopbackPort()) + "/EWS/Exchange.asmx";
  for (const char* autodiscover : {"", "alice@example.com"}) {
    SCOPED_TRACE(autodiscover);
    Outcome unknown = logon(nowhere, "alice-pw", autodiscover);
    EXPECT_EQ(unknown.type, "EDvHTTPApiException");
    EXPECT_EQ(unknown.message, "NAME_NOT_RESOLVED: The specified EWS Service \"" + nowhere +
                                   "\" could not be found!");
    EXPECT_EQ(unknown.code, 12007u);

    Outcome refused = logon(closed, "alice-pw", autodiscover);
    EXPECT_EQ(refused.type, "EDvHTTPApiException");
    EXPECT_EQ(refused.code, 12029u);
    EXPECT_EQ(refused.message.rfind("Connection refused: ", 0), 0u) << refused.message;
  }
}

TEST(SessionServer, RequestFrameHeaders) {
  ScopedTZ tz("Europe/Berlin");
  Env env(SimConfig("V2016_01_06"));
  auto s = env.Session("svc@example.com", "svc-pw");
  s->SetActive(true);
  ASSERT_EQ(s->GetCurrentTimeZoneContext(), "W. Europe Standard Time");

  struct Seen {
    std::vector<std::string> headers;
    std::string anchor, affinity, impersonated;
    bool hasAnchor, hasAffinity;
  };
  auto send = [&]() {
    const Exchange x = env.SendOne(*s);
    Seen seen{HeaderNames(x.body),
              x.Header("X-AnchorMailbox"),
              x.Header("X-PreferServerAffinity"),
              "",
              x.HasHeader("X-AnchorMailbox"),
              x.HasHeader("X-PreferServerAffinity")};
    if (auto e = Select(x.body, "Envelope/Header/ExchangeImpersonation/ConnectingSID/*"))
      seen.impersonated = e->GetQualifiedName() + "=" + e->GetAsString();
    return seen;
  };
  using Names = std::vector<std::string>;

  // Plain: version and time zone, in that order; no anchor.
  Seen plain = send();
  EXPECT_EQ(plain.headers, (Names{"RequestServerVersion", "TimeZoneContext"}));
  EXPECT_FALSE(plain.hasAnchor);
  EXPECT_FALSE(plain.hasAffinity);

  // The version written by name, whatever it is.
  s->SetRequestVersion(TServerVersion::V2016_01_06);
  EXPECT_EQ(VersionIn(env.SendOne(*s).body), "V2016_01_06");

  // No time zone: no TimeZoneContext.
  s->SetCurrentTimeZoneContext("");
  EXPECT_EQ(send().headers, Names{"RequestServerVersion"});
  s->SetCurrentTimeZoneContext("W. Europe Standard Time");

  // Without the ClientCredentials grant nothing impersonates, whatever ConnectingSID holds; the
  // anchor is the default store's address, else the autodiscover address.
  s->SetConnectingSID("bob@example.com");
  s->SetAutodiscoverEMail("svc@example.com");
  Seen anchored = send();
  EXPECT_EQ(anchored.headers, (Names{"RequestServerVersion", "TimeZoneContext"}));
  EXPECT_EQ(anchored.anchor, "svc@example.com");
  EXPECT_FALSE(anchored.hasAffinity);
  s->SetDefaultStoreEmail("alice@example.com");
  EXPECT_EQ(send().anchor, "alice@example.com");

  TDvOAuth oauth;
  oauth.SetGrantType(TDvOAuthGrantType::gtPassword);
  s->SetOAuth(oauth);
  Seen password = send();
  EXPECT_EQ(password.impersonated, "");
  EXPECT_EQ(password.anchor, "alice@example.com");

  // ClientCredentials with ConnectingSID: impersonation after the version and time zone, and
  // both routing headers. The SID type does not change the element.
  oauth.SetGrantType(TDvOAuthGrantType::gtClientCredentials);
  s->SetOAuth(oauth);
  s->SetConnectingSIDType(TConnectingSIDType::csPrincipalName);
  Seen impersonating = send();
  EXPECT_EQ(impersonating.headers,
            (Names{"RequestServerVersion", "TimeZoneContext", "ExchangeImpersonation"}));
  EXPECT_EQ(impersonating.impersonated, "t:PrimarySmtpAddress=bob@example.com");
  EXPECT_EQ(impersonating.anchor, "bob@example.com");
  EXPECT_EQ(impersonating.affinity, "true");

  // ClientCredentials without ConnectingSID: the autodiscover address, and no HTTP header.
  s->SetConnectingSID("");
  Seen own = send();
  EXPECT_EQ(own.impersonated, "t:PrimarySmtpAddress=svc@example.com");
  EXPECT_FALSE(own.hasAnchor);
  EXPECT_FALSE(own.hasAffinity);

  EXPECT_EQ(env.validator.Problems(), "");
  EXPECT_GE(env.validator.Count(), 9);
}

TEST(SessionServer, ClientCredentialsLogonCheck) {
  Env env;
  auto s = env.Session("", "bob-pw");
  TDvOAuth oauth;
  oauth.SetGrantType(TDvOAuthGrantType::gtClientCredentials);
  s->SetOAuth(oauth);
  s->SetConnectingSID("bob@example.com");
  s->SetActive(true);
  ASSERT_TRUE(s->GetActive());
  // The address became the client's user name; the session's settings are unchanged.
  EXPECT_EQ(s->GetHTTPClient()->GetCredentials().GetUserName(), "bob@example.com");
  EXPECT_EQ(s->GetCredentials().GetUserName(), "");
  const auto sent = env.proxy.Authenticated();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(HeaderNames(sent[0].body),
            (std::vector<std::string>{"RequestServerVersion", "ExchangeImpersonation"}));
  EXPECT_EQ(Select(sent[0].body,
                   "Envelope/Header/ExchangeImpersonation/ConnectingSID/"
                   "PrimarySmtpAddress")
                ->GetAsString(),
            "bob@example.com");
  EXPECT_EQ(env.validator.Problems(), "");
}

// OAuth through the simulator's token endpoint. The password grant gets a user token that every
// request carries as a bearer token, and the session keeps a copy after logon; an app-only token
// (client credentials) names no mailbox, so the session impersonates ConnectingSID.
TEST(SessionServer, OAuthPasswordAndClientCredentialsGrants) {
  ewssim::Config config = SimConfig();
  config.oauthApps = {{"ews-tests", "app-secret"}};
  Env env(config);
  const std::string base = env.sim.Url().substr(0, env.sim.Url().find("/EWS/"));
  auto settings = [&](TDvOAuthGrantType grant) {
    TDvOAuth oauth;
    oauth.SetAppID("ews-tests");
    oauth.SetTokenEndpoint(base + "/oauth2/v2.0/token");
    oauth.SetScope("https://outlook.office365.com/EWS.AccessAsUser.All");
    oauth.SetGrantType(grant);
    return oauth;
  };

  auto user = env.Session();
  user->SetOAuth(settings(TDvOAuthGrantType::gtPassword));
  user->SetActive(true);
  const TDvOAuthAccessToken token = user->GetAccessToken();
  ASSERT_FALSE(token.AccessToken.empty());
  EXPECT_FALSE(token.RefreshToken.empty());
  EXPECT_EQ(user->OpenDefaultMsgStore()->GetIdentity()->GetEmailAddress(), "alice@example.com");
  const auto sent = env.proxy.Authenticated();
  ASSERT_GE(sent.size(), 3u);
  for (const auto& e : sent)
    EXPECT_EQ(e.Header("Authorization"), "Bearer " + token.AccessToken) << e.body;

  auto wrong = env.Session("alice@example.com", "not-the-password");
  wrong->SetOAuth(settings(TDvOAuthGrantType::gtPassword));
  EXPECT_THROW(wrong->SetActive(true), std::exception);
  EXPECT_FALSE(wrong->GetActive());

  env.proxy.Clear();
  auto app = env.Session("", "");
  TDvOAuth credentials = settings(TDvOAuthGrantType::gtClientCredentials);
  credentials.SetClientSecret("app-secret");
  app->SetOAuth(credentials);
  app->SetConnectingSID("bob@example.com");
  app->SetActive(true);
  EXPECT_EQ(app->OpenDefaultMsgStore()->GetIdentity()->GetEmailAddress(), "bob@example.com");
  for (const auto& e : env.proxy.Authenticated())
    EXPECT_EQ(HeaderNames(e.body).back(), "ExchangeImpersonation") << e.body;
  EXPECT_EQ(env.validator.Problems(), "");
}

TEST(SessionServer, ResponseCheck) {
  Env env;
  auto s = env.Session();
  s->SetActive(true);
  auto r = s->CreateRequest(nullptr, "m:GetFolder", "m:GetFolderResponse");
  auto op = r->GetOperation();
  op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
  op->AddElement("m:FolderIds")->AddElement("t:FolderId")->SetAttribute("Id", "AAMkAGI2TG93AAA=");
  auto message = r->Send()->GetResponse()->SelectSingleElement("ResponseMessages/*");
  ASSERT_TRUE(message);
  ASSERT_NE(message->GetAttribute("ResponseClass"), "Success");
  const std::string code = message->SelectSingleElement("ResponseCode")->GetAsString();
  const std::string text = message->SelectSingleElement("MessageText")->GetAsString();
  try {
    s->CheckResponseError(message);
    FAIL();
  } catch (const EEWSException& e) {
    EXPECT_EQ(std::string(e.what()), code + " (" + text + ").");
    EXPECT_EQ(e.GetEWSErrorCode(), text);
    EXPECT_EQ(e.GetHTTPErrorCode(), 0u);
  }

  auto element = [](const std::string& xml) { return DvCreateDOM(xml)->GetDocumentElement(); };
  EXPECT_NO_THROW(s->CheckResponseError(element("<m:X ResponseClass=\"Success\"/>")));
  try {
    // A warning raises too; the message text keeps its period.
    s->CheckResponseError(
        element("<X ResponseClass=\"Warning\"><MessageText>Several matches.</MessageText>"
                "<ResponseCode>ErrorNameResolutionMultipleResults</ResponseCode></X>"));
    FAIL();
  } catch (const EEWSException& e) {
    EXPECT_STREQ(e.what(), "ErrorNameResolutionMultipleResults (Several matches.).");
  }
  // "success" is not "Success"; a message without its texts fails in the XML layer.
  EXPECT_THROW(s->CheckResponseError(element("<X ResponseClass=\"success\"/>")), EDvXMLException);
  EXPECT_THROW(s->CheckResponseError(
                   element("<X ResponseClass=\"Error\"><ResponseCode>E</ResponseCode></X>")),
               EDvXMLException);
}

TEST(SessionServer, TransportClientsAndNTService) {
  Env env;
  auto s = env.Session();
  s->SetSecurityFlags(
      {TDvHTTPSecurityFlag::sfIgnoreUnknownCA, TDvHTTPSecurityFlag::sfIgnoreWrongUsage});
  s->SetActive(true);
  auto main = s->GetHTTPClient();
  ASSERT_TRUE(std::dynamic_pointer_cast<TDvWinINetClient>(main));
  EXPECT_TRUE(std::dynamic_pointer_cast<TDvWinINetSession>(s->GetHTTPSession()));
  EXPECT_EQ(main->GetHTTPVersion(), TDvHTTPVersion::hvHTTP11);
  EXPECT_EQ(main->GetSecurityFlags(), TDvHTTPSecurityFlags{TDvHTTPSecurityFlag::sfIgnoreUnknownCA});
  EXPECT_EQ(main->GetTimeOuts(), TDvHTTPTimeOuts(15000, 15000, 15000));
  EXPECT_EQ(main->GetRequestHeaders().GetAccept(), "text/xml");
  s->SetSecurityFlags({TDvHTTPSecurityFlag::sfIgnoreRevocation});
  EXPECT_EQ(main->GetSecurityFlags(),
            TDvHTTPSecurityFlags{TDvHTTPSecurityFlag::sfIgnoreRevocation});
  s->SetUserAgent("Agent/2");
  EXPECT_EQ(s->GetHTTPSession()->GetUserAgent(), "Agent/2");
  s->SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
  EXPECT_EQ(main->GetCredentials().GetPassword(), "alice-pw");

  // Extra clients: the session's settings and back-end session, not its time-outs or handlers;
  // a stored token that has not expired.
  TDvOAuthAccessToken token;
  token.AccessToken = "opaque";
  token.Expires = TDateTime::NowUTC().AddDays(1);
  s->SetAccessToken(token);
  auto extra = std::dynamic_pointer_cast<TDvHTTPClient>(s->CreateHTTPClient(true));
  ASSERT_TRUE(extra);
  EXPECT_EQ(extra->GetSession(), s->GetHTTPSession());
  EXPECT_EQ(extra->GetTimeOuts(), TDvHTTPTimeOuts());
  EXPECT_EQ(extra->GetRequestHeaders().GetAccept(), "text/xml");
  EXPECT_EQ(extra->GetOAuth().GetAccessToken(), token);
  EXPECT_FALSE(s->CreateHTTPClient(false)->GetSession());
  token.Expires = TDateTime::NowUTC().AddDays(-1);
  s->SetAccessToken(token);
  EXPECT_TRUE(s->CreateHTTPClient(true)->GetOAuth().GetAccessToken().IsEmpty());
  auto soap = s->CreateSOAPClient(extra);
  EXPECT_EQ(soap->GetURL(), env.proxy.Url());
  env.SendOne(*s, soap);

  // Switching the flavour while active makes new transport objects and keeps working.
  s->SetNTService(true);
  EXPECT_FALSE(s->GetPasswordDialog());
  EXPECT_FALSE(s->GetLogonDialog());
  ASSERT_TRUE(std::dynamic_pointer_cast<TDvWinHTTPClient>(s->GetHTTPClient()));
  EXPECT_TRUE(std::dynamic_pointer_cast<TDvWinHTTPSession>(s->GetHTTPSession()));
  EXPECT_EQ(s->GetHTTPClient()->GetSecurityFlags(),
            TDvHTTPSecurityFlags{TDvHTTPSecurityFlag::sfIgnoreRevocation});
  SendGetInbox(*s);
  EXPECT_EQ(env.validator.Problems(), "");
}

TEST(SessionServer, ServiceSessionAndAssignTo) {
  Env env;
  TDvEWSServiceSession service;
  env.validator.Attach(service);
  service.SetServiceUrl(env.proxy.Url());
  service.SetCredentials(TDvCredentials("bob@example.com", "bob-pw"));
  service.SetUserAgent("Service/1");
  service.SetConnectingSID("alice@example.com");
  service.SetProxyServerBypass("<local>");
  service.SetActive(true);
  ASSERT_TRUE(service.GetActive());
  EXPECT_TRUE(std::dynamic_pointer_cast<TDvWinHTTPClient>(service.GetHTTPClient()));
  EXPECT_EQ(service.GetMsgStores().Count(), 1);
  EXPECT_EQ(service.GetMsgStores().GetName(0), "bob@example.com");

  // The target logs on with its own settings first, then takes the source's.
  TDvEWSCustomSession target;
  target.SetPasswordDialog(false);
  target.SetServiceUrl(env.proxy.Url());
  target.SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
  service.AssignTo(target);
  EXPECT_TRUE(target.GetActive());
  EXPECT_EQ(target.GetUserAgent(), "Service/1");
  EXPECT_EQ(target.GetProxyServerBypass(), "<local>");
  EXPECT_EQ(target.GetConnectingSID(), "alice@example.com");
  EXPECT_TRUE(target.GetNTService());
  EXPECT_FALSE(target.GetLogonDialog());
  EXPECT_EQ(target.GetCredentials(), service.GetCredentials());
  EXPECT_EQ(target.GetServerVersion(), service.GetServerVersion());
  EXPECT_EQ(target.GetServiceUrl(), env.proxy.Url());

  // An inactive source logs the target off.
  TDvEWSCustomSession idle;
  idle.SetServiceUrl("https://other.example/EWS/Exchange.asmx");
  idle.AssignTo(target);
  EXPECT_FALSE(target.GetActive());
  EXPECT_EQ(target.GetServiceUrl(), "https://other.example/EWS/Exchange.asmx");
  EXPECT_EQ(env.validator.Problems(), "");
}
