// Logon from an e-mail address alone, against ewssim: the candidate URLs, redirects, the 401
// rule, the cache, delegate mailboxes, the DNS service record, the cloud JSON lookup, and OAuth
// inside discovery.
//
// Names under ".localhost" reach the loopback interface (libcurl resolves them so), and ewssim
// tells them apart by the Host header, so one server plays every candidate host. Addresses carry
// the server's port in their domain ("alice@localhost:PORT"), so that the candidates built from
// the domain reach it.
#include <gtest/gtest.h>

#include "DvHTTP.h"
#include "ews_testsupport.h"
#include "test_helpers.h"
#include "uDvEWS.h"

namespace {

using dv::TDvEWSCustomSession;

struct Env {
  Env(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
  ~Env() { unsetenv(name_); }
  const char* name_;
};

// A server whose users live at "localhost:PORT", with its DNS server on.
class Sim {
 public:
  explicit Sim(bool tls,
               const std::function<void(ewssim::Config&, const std::string& domain)>& adjust = {}) {
    port_ = ews_test::FreeLoopbackPort();
    domain_ = "localhost:" + std::to_string(port_);
    ewssim::Config c = ews_test::DefaultSimConfig();
    c.listen = "127.0.0.1:" + std::to_string(port_);
    c.tls = tls;
    c.users = {{Address("alice"), "alice-pw", "Alice", {}, ""},
               {Address("boss"), "boss-pw", "Boss", {}, ""}};
    c.oauthApps = {{"app-1", "app-secret"}};
    c.autodiscover.dnsListen = "127.0.0.1:0";
    if (adjust) adjust(c, domain_);
    server_ = std::make_unique<ews_test::SimServer>(c);
  }
  std::string Address(const std::string& user) const { return user + "@" + domain_; }
  std::string Base(const std::string& host) const {
    return std::string(server_->Server().GetConfig().tls ? "https" : "http") + "://" + host + ":" +
           std::to_string(port_);
  }
  std::string Dns() const { return "127.0.0.1:" + std::to_string(server_->Server().DnsPort()); }
  int Port() const { return port_; }

 private:
  int port_ = 0;
  std::string domain_;
  std::unique_ptr<ews_test::SimServer> server_;
};

// A session that discovers alice's endpoint, and the steps it reports.
struct Discovering {
  explicit Discovering(const Sim& sim, const std::string& password = "alice-pw") {
    s.SetLogonDialog(false);
    s.SetPasswordDialog(false);
    s.SetSecurityFlags({dv::TDvHTTPSecurityFlag::sfIgnoreUnknownCA,
                        dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName});
    s.SetCredentials(dv::TDvCredentials("alice", password));
    s.SetDNSServers(sim.Dns());
    s.SetAutodiscoverEMail(sim.Address("alice"));
    s.SetOnAutodiscoverStep(
        [this](const std::string& step, const std::string& url, const std::string& outcome) {
          steps.push_back(step + " " + url + " " + outcome);
        });
  }
  int Count(const std::string& step) const {
    return static_cast<int>(std::count_if(steps.begin(), steps.end(), [&](const std::string& s) {
      return s.rfind(step + " ", 0) == 0;
    }));
  }
  std::string Steps() const {
    std::string all;
    for (const auto& line : steps)
      all += line + "\n";
    return all;
  }
  TDvEWSCustomSession s;
  std::vector<std::string> steps;
};

const std::string kPath = "/autodiscover/autodiscover.xml";

// What a user does on the consent page: fills in the form and accepts. Gives the URL the
// browser is sent back to.
std::string SubmitConsent(const std::string& authorizeUrl, const std::string& user,
                          const std::string& password) {
  auto client = std::make_shared<dv::TDvHTTPClient>();
  client->SetFollowRedirects(false);
  const std::string page = client->CreateRequest("GET", authorizeUrl)->Send()->GetContent();
  // The hidden fields: <input type="hidden" name="NAME" value="VALUE">.
  std::string form;
  const std::string marker = "<input type=\"hidden\" name=\"";
  for (auto at = page.find(marker); at != std::string::npos; at = page.find(marker, at + 1)) {
    const auto nameEnd = page.find('"', at + marker.size());
    const auto valueStart = page.find("value=\"", nameEnd) + 7;
    std::string value = page.substr(valueStart, page.find('"', valueStart) - valueStart);
    for (auto amp = value.find("&amp;"); amp != std::string::npos; amp = value.find("&amp;"))
      value.replace(amp, 5, "&");
    form += page.substr(at + marker.size(), nameEnd - at - marker.size()) + "=" +
            dv::DvURLEncode(value) + "&";
  }
  form +=
      "login=" + dv::DvURLEncode(user) + "&passwd=" + dv::DvURLEncode(password) + "&consent=accept";
  const std::string action = authorizeUrl.substr(0, authorizeUrl.find('?'));
  auto response =
      client->CreateRequest("POST", action, form, "application/x-www-form-urlencoded")->Send();
  return response->GetHeader("Location");
}

// Each candidate found when only its host answers.
TEST(Autodiscover, EachCandidateWhenOnlyItAnswers) {
  struct Case {
    bool tls;
    std::string host;
  } cases[] = {{true, "localhost"},
               {true, "autodiscover.localhost"},
               {true, "www.localhost"},
               {false, "autodiscover.localhost"},
               {false, "www.localhost"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host + (c.tls ? " https" : " http"));
    Sim sim(c.tls, [&](ewssim::Config& config, const std::string&) {
      config.autodiscover.hosts = {c.host};
    });
    Discovering d(sim);
    d.s.SetActive(true);
    EXPECT_EQ(d.s.GetAutodiscoverSource(), sim.Base(c.host) + kPath) << d.Steps();
    EXPECT_EQ(d.s.GetServiceUrl(), sim.Base(c.host) + "/EWS/Exchange.asmx");
  }
}

TEST(Autodiscover, RedirectsFollowedUpToThree) {
  struct Case {
    int hops;
    bool found;
  } cases[] = {{3, true}, {4, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hops);
    Sim sim(true, [&](ewssim::Config& config, const std::string&) {
      std::string from = "localhost";
      for (int i = 1; i <= c.hops; ++i) {
        const std::string to = "hop" + std::to_string(i) + ".localhost";
        config.autodiscover.httpRedirects[from] = to;
        from = to;
      }
      config.autodiscover.hosts = {from};
    });
    Discovering d(sim);
    if (c.found) {
      d.s.SetActive(true);
      EXPECT_EQ(d.s.GetAutodiscoverSource(), sim.Base("hop3.localhost") + kPath);
    } else {
      EXPECT_EQ(ews_test::ThrownMessage([&] { d.s.SetActive(true); }),
                "ErrorAutoDiscoverFailed (Failed to determine the Autodiscover URL!).");
      EXPECT_FALSE(d.s.GetActive());
    }
  }
}

TEST(Autodiscover, RedirectToItselfOrBareWwwHostFailsTheCandidate) {
  for (const std::string& target : {std::string("localhost"), std::string("www.other.localhost")}) {
    SCOPED_TRACE(target);
    Sim sim(true, [&](ewssim::Config& config, const std::string&) {
      config.autodiscover.httpRedirects["localhost"] =
          target == "localhost" ? target : "https://" + target;
      config.autodiscover.hosts = {"autodiscover.localhost", target};
    });
    Discovering d(sim);
    d.s.SetActive(true);
    // The first candidate is given up, the second answers.
    EXPECT_EQ(d.s.GetAutodiscoverSource(), sim.Base("autodiscover.localhost") + kPath) << d.Steps();
  }
}

TEST(Autodiscover, AuthenticationFailureStopsAtOnce) {
  Sim sim(true);
  Discovering d(sim, "wrong");
  EXPECT_EQ(ews_test::ThrownMessage([&] { d.s.SetActive(true); }),
            "ErrorAutoDiscoverFailed (Authentication Failure!).");
  EXPECT_EQ(d.Count("probe"), 1) << d.Steps();
  EXPECT_EQ(d.Count("post"), 0);
}

TEST(Autodiscover, MissingCredentialsAbortQuietly) {
  Sim sim(true);
  Discovering d(sim);
  d.s.SetCredentials(dv::TDvCredentials("alice", ""));
  EXPECT_THROW(d.s.SetActive(true), dv::EAbort);
  EXPECT_EQ(d.Count("probe"), 0);
}

TEST(Autodiscover, RedirectAddrStartsOverForTheNewAddress) {
  struct Case {
    std::string to;    // the redirectAddr target's user
    std::string smtp;  // AutoDiscoverSMTPAddress of the answer; empty: discovery fails
    std::string error;
  } cases[] = {
      {"boss", "boss", ""},
      {"nobody", "", "ErrorAutoDiscoverFailed (The email address can't be found.)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    Sim sim(true, [&](ewssim::Config& config, const std::string& domain) {
      config.autodiscover.redirectAddr["alice@" + domain] = c.to + "@" + domain;
    });
    Discovering d(sim);
    d.s.SetActive(false);
    if (c.smtp.empty()) {
      EXPECT_EQ(ews_test::ThrownMessage([&] { d.s.Autodiscover(""); }), c.error);
      continue;
    }
    dv::DvDOMDocumentPtr doc = d.s.Autodiscover("");
    EXPECT_EQ(doc->SelectSingleElement("/Autodiscover/Response/User/AutoDiscoverSMTPAddress")
                  ->GetAsString(),
              sim.Address(c.smtp));
    EXPECT_EQ(d.Count("redirect"), 1) << d.Steps();
  }
}

TEST(Autodiscover, CachedPerAddressAndDelegatesListed) {
  Sim sim(true, [](ewssim::Config& config, const std::string& domain) {
    config.autodiscover.delegates["alice@" + domain] = {"boss@" + domain};
  });
  Discovering d(sim);
  d.s.SetActive(true);
  EXPECT_EQ(d.Count("post"), 1);
  ASSERT_EQ(d.s.GetMsgStores().Count(), 2);
  EXPECT_EQ(d.s.GetMsgStores().GetName(1), sim.Address("boss"));
  // A second logon, and the delegates read above, post nothing.
  d.s.SetActive(false);
  d.s.SetAutodiscoverEMail(sim.Address("alice"));
  d.steps.clear();
  d.s.SetActive(true);
  EXPECT_EQ(d.Count("post") + d.Count("probe"), 0) << d.Steps();
  EXPECT_TRUE(d.s.GetActive());
}

TEST(Autodiscover, ServiceRecord) {
  struct Case {
    std::string target;
    int port;
    std::string error;  // empty: the logon succeeds
  } cases[] = {
      {"", 443, ""},  // the server's own "localhost:PORT", as the record's target
      {"mail.localhost", 8443, "The EWS Server should be accessible on port 443!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    Sim sim(true, [&](ewssim::Config& config, const std::string& domain) {
      // A target "host:port" is one DNS label with a colon in it: unusual, but it lets the
      // service URL built from the record reach a test server.
      config.autodiscover.srv[domain] = {c.target.empty() ? domain : c.target, c.port};
      config.autodiscover.hosts = {"nowhere.localhost"};  // the candidates would all fail
    });
    Discovering d(sim);
    if (c.error.empty()) {
      d.s.SetActive(true);
      EXPECT_EQ(d.s.GetAutodiscoverSource(), "DNS");
      EXPECT_EQ(d.s.GetServiceUrl(),
                "https://localhost:" + std::to_string(sim.Port()) + "/ews/exchange.asmx");
    } else {
      EXPECT_EQ(ews_test::ThrownMessage([&] { d.s.SetActive(true); }), c.error);
    }
  }
}

// OAuth: the cloud JSON lookup first, its token copied to the main client; each grant end to
// end.
TEST(Autodiscover, OAuthGrantsThroughTheJsonLookup) {
  for (const auto grant :
       {dv::TDvOAuthGrantType::gtPassword, dv::TDvOAuthGrantType::gtClientCredentials,
        dv::TDvOAuthGrantType::gtAuthorize}) {
    SCOPED_TRACE(static_cast<int>(grant));
    Sim sim(false);
    Env json("DVEWS_AUTODISCOVER_JSON_URL",
             sim.Base("127.0.0.1") + "/autodiscover/autodiscover.json/v1.0/");
    Discovering d(sim);
    dv::TDvOAuth oauth;
    oauth.SetAppID("app-1");
    oauth.SetGrantType(grant);
    oauth.SetTokenEndpoint(sim.Base("127.0.0.1") + "/common/oauth2/v2.0/token");
    oauth.SetAuthEndpoint(sim.Base("127.0.0.1") + "/common/oauth2/v2.0/authorize");
    oauth.SetRedirectURI("http://127.0.0.1:9/callback");
    oauth.SetScope("https://outlook.office365.com/EWS.AccessAsUser.All offline_access");
    if (grant == dv::TDvOAuthGrantType::gtClientCredentials) oauth.SetClientSecret("app-secret");
    d.s.SetOAuth(oauth);
    int forms = 0;
    // The hook is the process's: set through one session, every session reads it back.
    TDvEWSCustomSession::SetOnGetOAuthAuthorizeForm(
        [&](const std::string& url, const std::string&) {
          ++forms;
          return SubmitConsent(url, "alice", "alice-pw");
        });
    EXPECT_TRUE(static_cast<bool>(TDvEWSCustomSession().GetOnGetOAuthAuthorizeForm()));
    d.s.SetActive(true);
    TDvEWSCustomSession::SetOnGetOAuthAuthorizeForm(nullptr);
    EXPECT_EQ(d.s.GetAutodiscoverSource(), "JSON") << d.Steps();
    EXPECT_FALSE(d.s.GetAccessToken().AccessToken.empty());
    EXPECT_EQ(forms, grant == dv::TDvOAuthGrantType::gtAuthorize ? 1 : 0);
  }
}

// With OAuth, the POX discovery starts at the URL the JSON lookup gives for it, signs in with a
// bearer token, and needs no password.
TEST(Autodiscover, OAuthPoxStartsAtTheJsonLookupsUrl) {
  Sim sim(false);
  Env json("DVEWS_AUTODISCOVER_JSON_URL",
           sim.Base("127.0.0.1") + "/autodiscover/autodiscover.json/v1.0/");
  Discovering d(sim);
  dv::TDvOAuth oauth;
  oauth.SetAppID("app-1");
  oauth.SetClientSecret("app-secret");
  oauth.SetGrantType(dv::TDvOAuthGrantType::gtClientCredentials);
  oauth.SetTokenEndpoint(sim.Base("127.0.0.1") + "/common/oauth2/v2.0/token");
  d.s.SetOAuth(oauth);
  d.s.SetCredentials(dv::TDvCredentials());
  dv::DvDOMDocumentPtr doc = d.s.Autodiscover("");
  ASSERT_TRUE(doc);
  ASSERT_GE(d.steps.size(), 2u);
  EXPECT_EQ(d.steps[1], "probe " + sim.Base("127.0.0.1") + kPath + " 200") << d.Steps();
  EXPECT_EQ(d.Count("probe"), 1);
}

}  // namespace
