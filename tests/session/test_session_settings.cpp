// The session's settings, setter side effects, guards and the profile step of logon; nothing
// here reaches a server.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "DvTimeZone.h"
#include "test_helpers.h"
#include "uDvEWS.h"

using namespace dv;
using ews_test::ScopedTZ;
using ews_test::ThrownMessage;

namespace {

// A profile container kept in memory; a profile is a service URL.
class MemoryContainer : public TDvEWSProfileCustomContainer {
 public:
  using TDvEWSProfileCustomContainer::TDvEWSProfileCustomContainer;
  std::map<std::string, std::string> profiles;
  std::string defaultName;
  bool prompt = true;
  std::vector<std::string> saved;

  std::string GetDefaultProfileName() override { return defaultName; }
  bool GetPromptForProfile() override { return prompt; }
  void SetPromptForProfile(bool v) override { prompt = v; }
  void SetDefaultProfileName(const std::string& n) override { defaultName = n; }
  int GetProfileNames(std::vector<std::string>& names) override {
    names.clear();
    for (const auto& [n, url] : profiles)
      names.push_back(n);
    return static_cast<int>(names.size());
  }
  void SaveProfile(TDvEWSCustomSession& s, const std::string& name) override {
    profiles[name] = s.GetServiceUrl();
    saved.push_back(name);
  }
  void DeleteProfile(const std::string& name) override { profiles.erase(name); }
  bool LoadProfile(TDvEWSCustomSession& s, const std::string& name) override {
    auto it = profiles.find(name);
    if (it == profiles.end()) return false;
    s.SetServiceUrl(it->second);
    return true;
  }
};

// A session whose dialogs answer with fixed names and whose logon stops after the profile step.
class DialogSession : public TDvEWSCustomSession {
 public:
  using TDvEWSCustomSession::TDvEWSCustomSession;
  std::string created, selected;
  int createCalls = 0;
  std::string CreateProfile(const std::string& name) override {
    ++createCalls;
    return created;
  }
  std::string SelectProfile() override { return selected; }
};

}  // namespace

TEST(SessionSettings, ServiceSessionPreset) {
  TDvEWSServiceSession s;
  EXPECT_TRUE(s.GetNTService());
  EXPECT_FALSE(s.GetLogonDialog());
  EXPECT_FALSE(s.GetPasswordDialog());
  EXPECT_EQ(ThrownMessage([&] { s.SetNTService(false); }), "");
  EXPECT_TRUE(s.GetNTService());
  EXPECT_NO_THROW(s.SetNTService(true));

  TDvEWSCustomSession c;
  c.SetNTService(true);
  EXPECT_FALSE(c.GetLogonDialog());
  EXPECT_FALSE(c.GetPasswordDialog());
  c.SetNTService(false);  // the dialogs stay off
  EXPECT_FALSE(c.GetPasswordDialog());
}

TEST(SessionSettings, AutodiscoverAddressAndUseAutoDiscover) {
  TDvEWSCustomSession s;
  EXPECT_TRUE(s.GetUseAutoDiscover());  // no URL
  s.SetUseAutoDiscover(false);
  EXPECT_TRUE(s.GetUseAutoDiscover());
  s.SetServiceUrl("https://mail.example.com/EWS/Exchange.asmx");
  EXPECT_FALSE(s.GetUseAutoDiscover());  // URL, no address
  s.SetAutodiscoverEMail("");            // empty keeps the URL
  EXPECT_EQ(s.GetServiceUrl(), "https://mail.example.com/EWS/Exchange.asmx");
  s.SetAutodiscoverEMail("alice@example.com");
  EXPECT_EQ(s.GetServiceUrl(), "");
  s.SetServiceUrl("https://mail.example.com/EWS/Exchange.asmx");
  EXPECT_FALSE(s.GetUseAutoDiscover());  // URL and address: the stored flag
  s.SetUseAutoDiscover(true);
  EXPECT_TRUE(s.GetUseAutoDiscover());
}

TEST(SessionSettings, GuardsWhileInactive) {
  TDvEWSCustomSession s;
  const std::string logon = "You must logon first!";
  const std::string version = "You must logon first before you can get the ServerVersion!";
  EXPECT_EQ(ThrownMessage([&] { s.CheckActive(); }), logon);
  EXPECT_EQ(ThrownMessage([&] { s.CreateRequest(nullptr, "m:GetFolder", ""); }), logon);
  EXPECT_EQ(ThrownMessage([&] { s.OpenDefaultMsgStore(); }), logon);
  EXPECT_EQ(ThrownMessage([&] { s.GetServerVersion(); }), version);
  EXPECT_EQ(ThrownMessage([&] { s.GetServerVersionInfo(); }), version);
  EXPECT_EQ(ThrownMessage([&] { s.GetServerDescription(); }), version);
  // Through the handle objects keep, too.
  EXPECT_EQ(ThrownMessage([&] { s.GetSessionIntf()->GetServerVersion(); }), version);
  // Logging off an inactive session does nothing.
  int events = 0;
  s.SetBeforeLogoff([&](TDvEWSCustomSession&) { ++events; });
  s.SetActive(false);
  EXPECT_EQ(events, 0);
}

TEST(SessionSettings, StoreNames) {
  TDvEWSCustomSession s;
  TDvCredentials c("alice@example.com", "pw");
  s.SetCredentials(c);
  EXPECT_EQ(s.GetDefaultMsgStore(), "alice@example.com");
  s.SetAutodiscoverEMail("al@example.com");
  EXPECT_EQ(s.GetDefaultMsgStore(), "al@example.com");
  s.SetAdditionalMailboxes({"shared@example.com", "team@example.com"});
  ASSERT_EQ(s.GetMsgStores().Count(), 3);
  EXPECT_EQ(s.GetMsgStores().GetName(0), "al@example.com");
  EXPECT_EQ(s.GetMsgStores().GetName(2), "team@example.com");
  EXPECT_THROW(s.GetMsgStores().GetName(3), EListError);

  TDvEWSCustomSession anonymous;
  EXPECT_FALSE(anonymous.GetDefaultMsgStore().empty());  // the process's user
}

TEST(SessionSettings, TimeZoneAtConstruction) {
  {
    ScopedTZ tz("Asia/Kathmandu");
    EXPECT_EQ(TDvEWSCustomSession().GetCurrentTimeZoneContext(), "Nepal Standard Time");
  }
  {
    // Windows calls it "UTC", which the table lacks: the first "(UTC+00:00)" zone in key order.
    ScopedTZ tz("Etc/UTC");
    EXPECT_EQ(TDvEWSCustomSession().GetCurrentTimeZoneContext(), "GMT Standard Time");
  }
  {
    // No Windows zone at all: chosen by the current offset.
    ScopedTZ tz("Antarctica/Troll");
    ASSERT_EQ(DvLocalWindowsTimeZoneId(), "");
    const int offset = DvLocalUTCOffsetMinutes();
    EXPECT_EQ(TDvEWSCustomSession().GetCurrentTimeZoneContext(),
              offset == 0 ? "GMT Standard Time" : "E. Europe Standard Time");
  }
}

TEST(SessionLogonSteps, PasswordDialogNeedsAParentWindow) {
  TDvEWSCustomSession s;
  s.SetName("EWSSession1");
  s.SetServiceUrl("http://127.0.0.1:1/EWS/Exchange.asmx");
  EXPECT_EQ(ThrownMessage([&] { s.SetActive(true); }),
            "You've enabled the \"EWSSession1.PasswordDialog\" property, but you haven't "
            "specified a value for the \"EWSSession1.ParentWnd\" property!\r\nA value for this "
            "property is required to show this dialog.");
  EXPECT_FALSE(s.GetActive());
  EXPECT_FALSE(s.GetHTTPClient());  // raised before the transport is made
}

TEST(SessionLogonSteps, ProfileStep) {
  // Each case stops in the profile step or right after it (the password dialog check).
  {
    DialogSession s;
    MemoryContainer c;
    s.SetProfileContainer(&c);
    s.SetProfileRequired(true);
    s.SetLogonDialog(false);
    EXPECT_EQ(ThrownMessage([&] { s.SetActive(true); }),
              "One or more logon-parameters were invalid.");
  }
  {
    // No profiles at all: the base session cannot create one.
    TDvEWSCustomSession s;
    MemoryContainer c;
    s.SetProfileContainer(&c);
    EXPECT_EQ(ThrownMessage([&] { s.SetActive(true); }), "Failed to create a profile!");
  }
  {
    // A dialog that creates one: saved, made the default, no more prompting.
    DialogSession s;
    MemoryContainer c;
    s.SetProfileContainer(&c);
    s.created = "Work";
    s.SetServiceUrl("https://a.example/EWS/Exchange.asmx");
    EXPECT_NE(ThrownMessage([&] { s.SetActive(true); }).find("PasswordDialog"), std::string::npos);
    EXPECT_EQ(c.saved, std::vector<std::string>{"Work"});
    EXPECT_EQ(c.defaultName, "Work");
    EXPECT_FALSE(c.prompt);
  }
  {
    // Profiles but no default: the selection dialog decides.
    DialogSession s;
    MemoryContainer c;
    c.profiles["Home"] = "https://home.example/EWS/Exchange.asmx";
    s.SetProfileContainer(&c);
    EXPECT_EQ(ThrownMessage([&] { s.SetActive(true); }), "No profile selected!");
    s.selected = "Nope";
    EXPECT_EQ(ThrownMessage([&] { s.SetActive(true); }), "Failed to load profile \"Nope\"!");
    s.selected = "Home";
    EXPECT_NE(ThrownMessage([&] { s.SetActive(true); }).find("PasswordDialog"), std::string::npos);
    EXPECT_EQ(s.GetServiceUrl(), "https://home.example/EWS/Exchange.asmx");
  }
  {
    // A default profile that cannot be loaded: created, saved and loaded again.
    DialogSession s;
    MemoryContainer c;
    c.profiles["Other"] = "x";
    c.defaultName = "Main";
    s.SetProfileContainer(&c);
    s.SetServiceUrl("https://main.example/EWS/Exchange.asmx");
    EXPECT_NE(ThrownMessage([&] { s.SetActive(true); }).find("PasswordDialog"), std::string::npos);
    EXPECT_EQ(s.createCalls, 1);
    EXPECT_EQ(c.profiles["Main"], "https://main.example/EWS/Exchange.asmx");
  }
  {
    // A named profile.
    TDvEWSCustomSession s;
    MemoryContainer c;
    s.SetProfileContainer(&c);
    s.SetProfileName("Missing");
    try {
      s.SetActive(true);
      FAIL();
    } catch (const EEWSException& e) {
      EXPECT_STREQ(e.what(), "Failed to load profile \"Missing\"!");
      EXPECT_EQ(e.GetEWSErrorCode(), "");
    }
  }
}

TEST(SessionSettings, ProfileContainerRemovalClearsTheReference) {
  TDvEWSCustomSession s;
  auto* c = new MemoryContainer();
  s.SetProfileContainer(c);
  EXPECT_EQ(s.GetProfileContainer(), c);
  std::vector<std::string> names;
  c->profiles["A"] = "u";
  EXPECT_EQ(s.GetProfileNames(names), 1);
  delete c;
  EXPECT_EQ(s.GetProfileContainer(), nullptr);
  EXPECT_EQ(s.GetProfileNames(names), 0);
  EXPECT_FALSE(s.LoadProfile("A"));
}
