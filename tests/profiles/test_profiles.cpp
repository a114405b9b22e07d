// Stored profiles in both containers: what a profile keeps, that no secret is on disk in clear,
// the default-profile rules, damaged and foreign files, and a logon from a profile.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "DvUtils.h"
#include "ews_testsupport.h"
#include "test_helpers.h"
#include "uDvEWSProfiles.h"

namespace {

namespace fs = std::filesystem;
using namespace dv;

const char* kPassword = "Pa55-word-in-clear";
const char* kProxyPassword = "proxy-Secret-42";
const char* kClientSecret = "client-Secret-99";

// Every folder the containers and the key files use lives in one temporary folder.
class Profiles : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [name, sub] : {std::pair{"XDG_CONFIG_HOME", "config"},
                                    {"XDG_DATA_HOME", "data"},
                                    {"DVEWS_USER_KEY_DIR", "userkey"},
                                    {"DVEWS_MACHINE_KEY_DIR", "machinekey"},
                                    {"DVEWS_MACHINE_REGISTRY_DIR", "machine"}})
      setenv(name, dir_.File(sub).c_str(), 1);
    unsetenv("DVEWS_REGISTRY_DIR");
  }
  void TearDown() override {
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "DVEWS_USER_KEY_DIR",
                             "DVEWS_MACHINE_KEY_DIR", "DVEWS_MACHINE_REGISTRY_DIR"})
      unsetenv(name);
  }

  // The containers under test, by name.
  std::unique_ptr<TDvEWSProfileCustomContainer> Make(const std::string& kind) {
    if (kind == "file") return std::make_unique<TDvEWSProfileConfigFileContainer>();
    auto registry = std::make_unique<TDvEWSProfileRegistryContainer>();
    if (kind == "machine") registry->SetRootKey(TDvEWSRegistryRootKey::rkLocalMachine);
    return registry;
  }

  // Everything written below the temporary folder, key files aside.
  std::string AllStoredText() const {
    std::string all;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.Path()))
      if (entry.is_regular_file() && entry.path().extension() != ".key")
        all += ews_test::ReadFile(entry.path());
    return all;
  }

  ews_test::TempDir dir_;
};

void Fill(TDvEWSCustomSession& s) {
  s.SetAutodiscoverEMail("alice@example.com");
  s.SetServiceUrl("https://mail.example.com/EWS/Exchange.asmx");
  s.SetCredentials(TDvCredentials("alice", kPassword));
  s.SetProxyServer("proxy.example.com:3128");
  s.SetProxyCredentials(TDvCredentials("proxyuser", kProxyPassword));
  s.SetConnectingSIDType(TConnectingSIDType::csPrincipalName);
  s.SetConnectingSID("svc@example.com");
  s.SetUserAgent("Profiles/1");
  s.SetAccessType(TDvHTTPAccessType::atNamedProxy);
  s.SetSecurityFlags(
      {TDvHTTPSecurityFlag::sfIgnoreUnknownCA, TDvHTTPSecurityFlag::sfIgnoreRevocation});
  TDvOAuth oauth;
  oauth.SetAppID("app-1");
  oauth.SetClientSecret(kClientSecret);
  oauth.SetRedirectURI("http://localhost:8400/ews");
  oauth.SetAuthEndpoint("https://login.example.com/t/oauth2/v2.0/authorize");
  oauth.SetTokenEndpoint("https://login.example.com/t/oauth2/v2.0/token");
  oauth.SetScope("EWS.AccessAsUser.All");
  oauth.SetGrantType(TDvOAuthGrantType::gtPassword);
  s.SetOAuth(oauth);
  s.SetAdditionalMailboxes({"c@example.com", "a@example.com", "b@example.com"});
}

TEST_F(Profiles, RoundTripKeepsEverySettingAndNoSecretInClear) {
  for (const std::string kind : {"file", "user", "machine"}) {
    SCOPED_TRACE(kind);
    auto container = Make(kind);
    TDvEWSCustomSession saved;
    Fill(saved);
    container->SaveProfile(saved, "work");

    TDvEWSCustomSession loaded;
    ASSERT_TRUE(container->LoadProfile(loaded, "work"));
    EXPECT_EQ(loaded.GetServiceUrl(), saved.GetServiceUrl());
    EXPECT_EQ(loaded.GetAutodiscoverEMail(), "alice@example.com");
    EXPECT_EQ(loaded.GetCredentials().GetPassword(), kPassword);
    EXPECT_EQ(loaded.GetProxyCredentials().GetPassword(), kProxyPassword);
    EXPECT_EQ(loaded.GetProxyCredentials().GetUserName(), "proxyuser");
    EXPECT_EQ(loaded.GetConnectingSIDType(), TConnectingSIDType::csPrincipalName);
    EXPECT_EQ(loaded.GetAccessType(), TDvHTTPAccessType::atNamedProxy);
    EXPECT_EQ(loaded.GetSecurityFlags(), saved.GetSecurityFlags());
    EXPECT_EQ(loaded.GetOAuth().GetClientSecret(), kClientSecret);
    EXPECT_EQ(loaded.GetOAuth().GetGrantType(), TDvOAuthGrantType::gtPassword);
    EXPECT_EQ(loaded.GetOAuth().GetTokenEndpoint(), saved.GetOAuth().GetTokenEndpoint());
    EXPECT_EQ(loaded.GetAdditionalMailboxes(),
              (std::vector<std::string>{"c@example.com", "a@example.com", "b@example.com"}));

    const std::string stored = AllStoredText();
    for (const char* secret : {kPassword, kProxyPassword, kClientSecret}) {
      EXPECT_EQ(stored.find(secret), std::string::npos) << secret;
      EXPECT_EQ(stored.find(DvBase64Encode(std::string_view(secret))), std::string::npos);
    }
    EXPECT_NE(stored.find(kind == "user" ? "\"User\"" : "Machine"), std::string::npos);
  }
}

TEST_F(Profiles, ListDeleteAndTheDefaultProfile) {
  for (const std::string kind : {"file", "user"}) {
    SCOPED_TRACE(kind);
    auto container = Make(kind);
    std::vector<std::string> names;
    EXPECT_EQ(container->GetProfileNames(names), 0);
    EXPECT_TRUE(container->GetPromptForProfile());
    TDvEWSCustomSession s;
    s.SetServiceUrl("https://mail.example.com/EWS/Exchange.asmx");
    container->SaveProfile(s, "one");
    container->SaveProfile(s, "two");
    container->SetDefaultProfileName("two");
    EXPECT_EQ(container->GetProfileNames(names), 2);
    EXPECT_EQ(container->GetDefaultProfileName(), "two");
    container->DeleteProfile("two");
    EXPECT_EQ(container->GetProfileNames(names), 1);
    EXPECT_FALSE(container->ProfileExists("two"));
    TDvEWSCustomSession gone;
    EXPECT_FALSE(container->LoadProfile(gone, "two"));
    if (kind == "user") {
      // One profile left: it becomes the default and nobody is asked to choose.
      EXPECT_EQ(container->GetDefaultProfileName(), "one");
      EXPECT_FALSE(container->GetPromptForProfile());
    } else {
      EXPECT_EQ(container->GetDefaultProfileName(), "");  // the default named a deleted profile
    }
  }
}

TEST_F(Profiles, CorruptedProfileAndWithoutCredentials) {
  for (const std::string kind : {"file", "user"}) {
    SCOPED_TRACE(kind);
    auto container = Make(kind);
    TDvEWSCustomSession empty;
    container->SaveProfile(empty, "broken");
    TDvEWSCustomSession target;
    EXPECT_EQ(ews_test::ThrownMessage([&] { container->LoadProfile(target, "broken"); }),
              "The \"broken\" profile is corrupted.\r\nIt does not contain a ServiceUrl, nor an "
              "Autodiscover email address.\r\nPlease fix the profile information and try it "
              "again.");

    container->SetStoreCredentials(false);
    TDvEWSCustomSession s;
    s.SetServiceUrl("https://mail.example.com/EWS/Exchange.asmx");
    s.SetCredentials(TDvCredentials("alice", kPassword));
    container->SaveProfile(s, "nopass");
    TDvEWSCustomSession loaded;
    loaded.SetCredentials(TDvCredentials("x", "left over"));
    ASSERT_TRUE(container->LoadProfile(loaded, "nopass"));
    EXPECT_EQ(loaded.GetCredentials().GetUserName(), "alice");
    EXPECT_EQ(loaded.GetCredentials().GetPassword(), "");
  }
}

TEST_F(Profiles, FileOfAnotherVersionIsReplaced) {
  TDvEWSProfileConfigFileContainer container;
  const std::string file = container.ExpandedFileName();
  EXPECT_EQ(file, dir_.File("data") + "/dvews/Profiles.config");
  fs::create_directories(fs::path(file).parent_path());
  std::ofstream(file) << "<Profiles version=\"2.0\"><Profile name=\"old\"/></Profiles>";
  std::vector<std::string> names;
  EXPECT_EQ(container.GetProfileNames(names), 0);
  TDvEWSCustomSession s;
  s.SetServiceUrl("https://mail.example.com/EWS/Exchange.asmx");
  container.SaveProfile(s, "new");
  EXPECT_EQ(container.GetProfileNames(names), 1);
  EXPECT_EQ(names, std::vector<std::string>{"new"});
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

// An OAuth profile keeps the refresh token (protected) but not the password: the next logon
// gets its access token from the refresh token alone.
TEST_F(Profiles, OAuthLogonFromTheStoredRefreshToken) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.oauthApps = {{"app-1", ""}};
  ews_test::SimServer sim(config);
  TDvEWSProfileRegistryContainer container;
  container.SetStoreCredentials(false);
  std::string refresh;
  {
    TDvEWSCustomSession s;
    s.SetLogonDialog(false);
    s.SetPasswordDialog(false);
    s.SetServiceUrl(sim.Url());
    s.SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
    TDvOAuth oauth;
    oauth.SetAppID("app-1");
    oauth.SetGrantType(TDvOAuthGrantType::gtPassword);
    oauth.SetTokenEndpoint(sim.Url().substr(0, sim.Url().find("/EWS")) +
                           "/common/oauth2/v2.0/token");
    s.SetOAuth(oauth);
    s.SetActive(true);
    refresh = s.GetAccessToken().RefreshToken;
    ASSERT_FALSE(refresh.empty());
    container.SaveProfile(s, "oauth");
  }
  EXPECT_EQ(AllStoredText().find(refresh), std::string::npos);
  TDvEWSCustomSession s;
  s.SetLogonDialog(false);
  s.SetPasswordDialog(false);
  s.SetProfileContainer(&container);
  s.SetProfileName("oauth");
  s.SetActive(true);
  EXPECT_TRUE(s.GetActive());
  EXPECT_EQ(s.GetCredentials().GetPassword(), "");
  EXPECT_NE(s.GetAccessToken().RefreshToken, refresh);  // used once, and replaced
}

TEST_F(Profiles, LogonFromTheDefaultProfile) {
  ews_test::SimServer sim;
  TDvEWSProfileRegistryContainer container;
  {
    TDvEWSCustomSession s;
    s.SetServiceUrl(sim.Url());
    s.SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
    container.SaveProfile(s, "sim");  // the only profile: the default from now on
  }
  TDvEWSCustomSession s;
  s.SetLogonDialog(false);
  s.SetPasswordDialog(false);
  s.SetProfileContainer(&container);
  s.SetActive(true);
  EXPECT_TRUE(s.GetActive());
  EXPECT_EQ(s.GetCredentials().GetUserName(), "alice@example.com");
}

}  // namespace
