// Parts of the session that need no server: the EWS exception, message formatting and the
// time-zone table.
#include <gtest/gtest.h>

#include <set>

#include "uDvEWS.h"
#include "uDvEWSBase.h"
#include "uDvEWSInterfaces.h"

using namespace dv;

namespace {

// The smallest concrete session base: the frame operations are not needed here.
class TTableOnlySession : public TDvEWSBaseSession {
 public:
  using TDvEWSBaseSession::TDvEWSBaseSession;
  std::string GetServiceURL() const override { return {}; }
  const TDvCredentials& GetCredentials() const override { return credentials_; }
  TServerVersion GetServerVersion() const override { return TServerVersion::Exchange2010; }
  std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool) override { return nullptr; }
  std::shared_ptr<TDvSOAPClient> CreateSOAPClient(const std::shared_ptr<IDvHTTPClient>&) override {
    return nullptr;
  }
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>&,
                                                const std::string&, const std::string&) override {
    return nullptr;
  }
  void CheckResponseError(const std::shared_ptr<IDvDOMElement>&) override {}
  void SetNTService(bool) override {}

 private:
  TDvCredentials credentials_;
};

}  // namespace

TEST(EEWSException, LeadDetailAndCodeForms) {
  // The lead's one final period is dropped; the detail keeps its own.
  EEWSException a("ErrorItemNotFound.", "The item was not found.", 404);
  EXPECT_STREQ(a.what(), "ErrorItemNotFound (The item was not found.).");
  EXPECT_EQ(a.GetEWSErrorCode(), "The item was not found.");
  EXPECT_EQ(a.GetHTTPErrorCode(), 404u);

  EEWSException b("ErrorItemNotFound", "There was no ItemId in the SOAP Response!", 0);
  EXPECT_STREQ(b.what(), "ErrorItemNotFound (There was no ItemId in the SOAP Response!).");

  // Only one period goes.
  EXPECT_STREQ(EEWSException("Lead..", "d", 0).what(), "Lead. (d).");

  EEWSException plain("Failed to create a profile!", 12029);
  EXPECT_STREQ(plain.what(), "Failed to create a profile!");
  EXPECT_EQ(plain.GetEWSErrorCode(), "");
  EXPECT_EQ(plain.GetHTTPErrorCode(), 12029u);

  EEWSException f1 = EEWSException::CreateFmt("Failed to get the mailtips for %s!",
                                              {"a@example.com"}, "ErrorMailRecipientNotFound");
  EXPECT_STREQ(f1.what(),
               "Failed to get the mailtips for a@example.com! (ErrorMailRecipientNotFound).");
  EXPECT_EQ(f1.GetEWSErrorCode(), "ErrorMailRecipientNotFound");
  EXPECT_EQ(f1.GetHTTPErrorCode(), 0u);

  EEWSException f2 = EEWSException::CreateFmt("Failed to load profile \"%s\"!", {"Work"}, 7u);
  EXPECT_STREQ(f2.what(), "Failed to load profile \"Work\"!");
  EXPECT_EQ(f2.GetEWSErrorCode(), "");
  EXPECT_EQ(f2.GetHTTPErrorCode(), 7u);

  // It is a dv::Exception.
  EXPECT_THROW(throw EEWSException("x"), Exception);
}

TEST(DvEWSFormat, DirectivesAndIndexes) {
  EXPECT_EQ(DvEWSFormat("%s and %s", {"a", "b"}), "a and b");
  EXPECT_EQ(DvEWSFormat("%d.%d.%d.%d", {"15", "0", "847", "32"}), "15.0.847.32");
  EXPECT_EQ(DvEWSFormat("\"%:0s.A\" and \"%:0s.B\"", {"Session1"}),
            "\"Session1.A\" and \"Session1.B\"");
  EXPECT_EQ(DvEWSFormat("%1:s %0:s %s", {"x", "y"}), "y x y");
  EXPECT_EQ(DvEWSFormat("100%% %s", {"sure"}), "100% sure");
  // Missing arguments and a lone percent sign stay as written.
  EXPECT_EQ(DvEWSFormat("%s %s", {"only"}), "only %s");
  EXPECT_EQ(DvEWSFormat("50% off", {}), "50% off");
  EXPECT_EQ(DvEWSFormat("end %", {}), "end %");
}

TEST(TimeZoneTable, EntriesOrderAndOffsets) {
  TTableOnlySession session;
  ASSERT_EQ(session.TimezoneCount(), 134);
  // Byte-wise key order; every value has the offset form.
  std::set<std::string> offsets;
  for (int i = 0; i < session.TimezoneCount(); ++i) {
    const std::string id = session.GetTimezoneId(i);
    if (i > 0) {
      EXPECT_LT(session.GetTimezoneId(i - 1), id);
    }
    const std::string& text = session.GetTimeZones().at(id);
    ASSERT_EQ(text.size(), 11u) << id;
    EXPECT_EQ(text.substr(0, 4), "(UTC") << id;
    offsets.insert(text);
  }
  EXPECT_EQ(offsets.size(), 39u);
  EXPECT_EQ(session.GetTimezoneId(0), "AUS Central Standard Time");
  EXPECT_EQ(session.GetTimezoneId(133), "Yakutsk Standard Time");
  EXPECT_THROW(session.GetTimezoneId(134), EListError);
  EXPECT_THROW(session.GetTimezoneId(-1), EListError);
  EXPECT_EQ(session.GetTimeZones().count("UTC"), 0u);

  EXPECT_EQ(session.GetTimezoneOffset("Newfoundland Standard Time"), -210);
  EXPECT_EQ(session.GetTimezoneOffset("Nepal Standard Time"), 345);
  EXPECT_EQ(session.GetTimezoneOffset("Morocco Standard Time"), 0);
  EXPECT_EQ(session.GetTimezoneOffset("Dateline Standard Time"), -720);
  EXPECT_EQ(session.GetTimezoneOffset("Line Islands Standard Time"), 840);
  try {
    session.GetTimezoneOffset("w. europe standard time");  // exact text only
    FAIL();
  } catch (const EEWSException& e) {
    EXPECT_STREQ(e.what(), "The specified TimezoneId is not valid!");
  }
}

TEST(SessionRef, OutlivesTheSessionSafely) {
  DvEWSSessionPtr ref;
  {
    TTableOnlySession session;
    ref = session.GetSessionIntf();
    EXPECT_EQ(ref, session.GetSessionIntf());
    EXPECT_EQ(ref->GetServerVersion(), TServerVersion::Exchange2010);
  }
  EXPECT_THROW(ref->GetServerVersion(), Exception);
}

// ---- Versions ----

TEST(ServerVersion, NamesAndRuleByNameOrNumbers) {
  EXPECT_EQ(EwsServerVersionName(TServerVersion::Exchange2010_SP1), "Exchange2010_SP1");
  EXPECT_EQ(EwsServerVersionName(TServerVersion::V2016_01_06), "V2016_01_06");

  auto from = [](const char* version, int major, int minor, int build) {
    TServerVersionInfo info;
    info.Version = version;
    info.MajorVersion = major;
    info.MinorVersion = minor;
    info.MajorBuildNumber = build;
    return EwsServerVersionFromInfo(info);
  };
  using V = TServerVersion;
  // A known name wins over the numbers; anything above Exchange2016 is lowered to it.
  EXPECT_EQ(from("Exchange2010_SP2", 15, 1, 0), V::Exchange2010_SP2);
  EXPECT_EQ(from("V2016_01_06", 15, 1, 396), V::Exchange2016);
  EXPECT_EQ(from("V2015_10_05", 0, 0, 0), V::Exchange2016);
  EXPECT_EQ(from("V2018_01_08", 0, 0, 0), V::Exchange2016);
  EXPECT_EQ(from("Exchange2016", 0, 0, 0), V::Exchange2016);
  // Names compare exactly; otherwise the numbers decide, first match wins.
  EXPECT_EQ(from("exchange2010", 8, 0, 0), V::Exchange2007);
  EXPECT_EQ(from("V2_23", 15, 1, 0), V::Exchange2016);
  EXPECT_EQ(from("V2_23", 15, 0, 847), V::Exchange2013_SP1);
  EXPECT_EQ(from("V2_23", 15, 0, 846), V::Exchange2013);
  EXPECT_EQ(from("", 16, 0, 0), V::Exchange2013);
  EXPECT_EQ(from("", 14, 3, 0), V::Exchange2012);
  EXPECT_EQ(from("", 14, 2, 0), V::Exchange2010_SP2);
  EXPECT_EQ(from("", 14, 1, 0), V::Exchange2010_SP1);
  EXPECT_EQ(from("", 14, 0, 0), V::Exchange2010);
  EXPECT_EQ(from("", 8, 1, 0), V::Exchange2007_SP1);
  EXPECT_EQ(from("", 8, 0, 0), V::Exchange2007);
  EXPECT_EQ(from("", 0, 0, 0), V::Exchange2007);
  EXPECT_EQ(from("", 9, 0, 0), V::Exchange2007);
}

TEST(ServerVersion, CheckVersionGuard) {
  EXPECT_NO_THROW(EwsCheckVersion(TServerVersion::Exchange2010, TServerVersion::Exchange2010, "X"));
  EXPECT_NO_THROW(EwsCheckVersion(TServerVersion::Exchange2010, TServerVersion::Exchange2016, "X"));
  try {
    EwsCheckVersion(TServerVersion::Exchange2013, TServerVersion::Exchange2010_SP1,
                    "GetCategories");
    FAIL();
  } catch (const EEWSException&) {
    FAIL() << "a plain error is expected";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(),
                 "\"GetCategories\" is not supported by Exchange2010_SP1. This feature requires "
                 "Exchange Exchange2013!");
  }
}

TEST(ServerVersion, Descriptions) {
  TServerVersionInfo info;
  info.MajorVersion = 15;
  info.MinorVersion = 0;
  info.MajorBuildNumber = 847;
  info.MinorBuildNumber = 32;
  using V = TServerVersion;
  // The newer names share the 2016 text; the versions without a text of their own get none.
  const std::pair<V, const char*> cases[] = {
      {V::Exchange2013_SP1, "Exchange Server 2013 SP1 (15.0.847.32)"},
      {V::V2015_10_05, "Exchange Server 2016 (15.0.847.32)"},
      {V::V2016_01_06, "Exchange Server 2016 (15.0.847.32)"},
      {V::Exchange2012, "Exchange Server (15.0.847.32)"},
      {V::Exchange2009, "Exchange Server (15.0.847.32)"},
  };
  for (const auto& [version, text] : cases)
    EXPECT_EQ(EwsServerDescription(version, info), text) << EwsServerVersionName(version);
  EXPECT_EQ(EwsServerDescription(V::Exchange2007, TServerVersionInfo()),
            "Exchange Server (0.0.0.0)");
}
