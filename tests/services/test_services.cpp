// The mailbox's services and the contact kinds against an in-process ewssim: out-of-office with
// automatic replies, categories, rooms, photos, contacts, tasks and distribution lists. Every
// request the library sends and every response it reads is validated against the EWS schema.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "DvUtils.h"
#include "recording_session.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSItem.h"
#include "uDvEWSMessageExContacts.h"
#include "uDvEWSMsgStore.h"

using namespace dv;
using ews_test::TempDir;
using ews_test::ThrownMessage;

namespace {

constexpr const char* kCarol = "carol@partner.example";  // outside alice's domain
constexpr const char* kDave = "dave@elsewhere.example";  // outside, and not among her contacts

class ServicesTest : public ews_test::RecordingSessionTest {
 protected:
  void Start(const std::string& version = "Exchange2016",
             const std::function<void(ewssim::Config&)>& configure = {}) {
    ewssim::Config config = ews_test::DefaultSimConfig();
    config.threads = 4;
    config.version.name = version;
    config.users.push_back({kCarol, "carol-pw", "Carol Chen", {}, ""});
    config.users.push_back({kDave, "dave-pw", "Dave Diaz", {}, ""});
    if (configure) configure(config);
    StartSession(config, true);
    store_ = session_->OpenDefaultMsgStore();
  }

  void TearDown() override {
    store_.reset();
    RecordingSessionTest::TearDown();
  }

  ews_test::HttpReply Soap(const std::string& user, const std::string& body) {
    ews_test::SoapClient client(sim_->Url(), user, user.substr(0, user.find('@')) + "-pw");
    auto reply = client.Post(ews_test::Envelope(body));
    auto v = ews_test::ValidateEnvelope(reply.body);
    EXPECT_TRUE(v.ok) << v.message << "\n" << reply.body;
    return reply;
  }

  void SendMail(const std::string& from, const std::string& to, const std::string& subject) {
    auto reply = Soap(from,
                      "<m:CreateItem MessageDisposition=\"SendOnly\"><m:Items><t:Message>"
                      "<t:Subject>" +
                          subject + "</t:Subject><t:ToRecipients><t:Mailbox><t:EmailAddress>" + to +
                          "</t:EmailAddress></t:Mailbox></t:ToRecipients></t:Message></m:Items>"
                          "</m:CreateItem>");
    ASSERT_NE(reply.body.find("NoError"), std::string::npos) << reply.body;
  }

  // The text bodies of the messages in a user's inbox.
  std::vector<std::string> InboxBodies(const std::string& user) {
    auto found = Soap(user,
                      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</"
                      "t:BaseShape></m:ItemShape><m:ParentFolderIds><t:DistinguishedFolderId "
                      "Id=\"inbox\"/></m:ParentFolderIds></m:FindItem>");
    std::vector<std::string> bodies;
    auto ids = DvCreateDOM(found.body)->CreateElementList(".//ItemId");
    for (int i = 0; i < ids->Count(); ++i) {
      auto item = Soap(user,
                       "<m:GetItem><m:ItemShape><t:BaseShape>Default</t:BaseShape><t:BodyType>Text"
                       "</t:BodyType></m:ItemShape><m:ItemIds><t:ItemId Id=\"" +
                           ids->GetItem(i)->GetAttribute("Id") + "\"/></m:ItemIds></m:GetItem>");
      auto body = DvCreateDOM(item.body)->SelectSingleElement(".//Message/Body");
      bodies.push_back(body ? body->GetAsString() : std::string());
    }
    return bodies;
  }

  DvEWSMsgStorePtr store_;
};

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
    ++n;
  return n;
}

// ---- Out-of-office ----

TEST_F(ServicesTest, ScheduledAbsenceAnswersEachAllowedSenderOnceInsideItsWindow) {
  // The administrator allows replies to known senders only: "All" asked for acts as "Known".
  Start("Exchange2016", [](ewssim::Config& c) { c.users[0].allowExternalOof = "Known"; });
  // Carol is one of alice's contacts: a known sender. Dave is not.
  auto contacts = store_->GetFolder(TDistinguishedFolderIdName::dfincontacts);
  auto carol = std::dynamic_pointer_cast<TDvEWSContact>(contacts->CreateItem(TItemType::tContact));
  ASSERT_TRUE(carol);
  carol->SetDisplayName("Carol Chen");
  auto* entry = static_cast<TEwsEmailAddressDictionaryEntry*>(
      carol->GetEmailAddresses()->GetEntry()->AddElement());
  entry->SetKey(TEmailAddressKey::eakEmailAddress1);
  entry->SetValue(kCarol);
  carol->SaveChanges(TDvEWSSaveOption::soAutoResolve);

  const TDateTime now = TDateTime::NowUTC();
  auto oof = store_->GetOOF();
  oof->SetState(TOofState::osScheduled);
  oof->SetStartTime(TDateTime(now.Value - 1.0 / 24));
  oof->SetEndTime(TDateTime(now.Value + 1.0 / 24));
  oof->SetInternalReply("Away (internal)");
  oof->SetExternalReply("Away (external)");
  oof->SetExternalAudience(TExternalAudience::eaAll);
  oof->Apply();
  EXPECT_EQ(store_->GetOOF()->GetState(), TOofState::osScheduled);

  for (int i = 0; i < 2; ++i) {
    SendMail("bob@example.com", "alice@example.com", "Lunch?");
    SendMail(kCarol, "alice@example.com", "Offer");
    SendMail(kDave, "alice@example.com", "Hello");
  }
  EXPECT_EQ(InboxBodies("bob@example.com"), std::vector<std::string>{"Away (internal)"});
  EXPECT_EQ(InboxBodies(kCarol), std::vector<std::string>{"Away (external)"});
  EXPECT_TRUE(InboxBodies(kDave).empty());  // unknown: outside the Known audience

  // A window that has ended answers nobody.
  oof = store_->GetOOF();
  oof->SetStartTime(TDateTime(now.Value - 2));
  oof->SetEndTime(TDateTime(now.Value - 1));
  oof->Apply();
  SendMail("bob@example.com", "alice@example.com", "Back yet?");
  EXPECT_EQ(InboxBodies("bob@example.com").size(), 1u);

  // Enabled sends no window; Clear turns everything off.
  Clear();
  oof = store_->GetOOF();
  oof->SetState(TOofState::osEnabled);
  oof->Apply();
  store_->GetOOF()->Clear();
  auto sent = RequestTexts();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(Count(sent[1], "Duration"), 0) << sent[1];
  auto cleared = store_->GetOOF();
  EXPECT_EQ(cleared->GetState(), TOofState::osDisabled);
  EXPECT_EQ(cleared->GetInternalReply(), "");
  EXPECT_EQ(cleared->GetAllowExternalOof(), TExternalAudience::eaKnown);
}

// ---- Categories, rooms, photos ----

TEST_F(ServicesTest, CategoriesWithColoursRoundTripAndNeedExchange2013) {
  Start();
  auto defaults = store_->GetCategories();
  ASSERT_EQ(defaults->Count(), 6);
  EXPECT_EQ(defaults->GetCategory(0).Name, "Red category");
  EXPECT_EQ(defaults->GetCategory(0).Color, DvEWSCategoryColor(0));

  // A list written without an XML declaration (read as UTF-8), with a default category.
  const std::string xml =
      "<categories default=\"Caf\xC3\xA9\" xmlns=\"CategoryList.xsd\">"
      "<category name=\"Caf\xC3\xA9\" color=\"7\" keyboardShortcut=\"0\"/>"
      "<category name=\"Travel\" color=\"-1\" keyboardShortcut=\"0\"/></categories>";
  auto reply = Soap("alice@example.com",
                    "<m:UpdateUserConfiguration><m:UserConfiguration><t:UserConfigurationName "
                    "Name=\"CategoryList\"><t:DistinguishedFolderId Id=\"calendar\"/>"
                    "</t:UserConfigurationName><t:XmlData>" +
                        ews_test::Base64Encode(xml) +
                        "</t:XmlData></m:UserConfiguration></m:UpdateUserConfiguration>");
  ASSERT_NE(reply.body.find("NoError"), std::string::npos) << reply.body;
  EXPECT_EQ(store_->GetCategories()->Count(), 6);  // kept by the store object
  auto fresh = session_->OpenMsgStore("alice@example.com")->GetCategories();
  ASSERT_EQ(fresh->Count(), 2);
  EXPECT_EQ(fresh->GetDefaultCategory(), "Caf\xC3\xA9");
  EXPECT_EQ(fresh->GetCategory(0).Name, "Caf\xC3\xA9");
  EXPECT_EQ(fresh->GetCategory(0).Color, DvEWSCategoryColor(7));
  EXPECT_EQ(fresh->GetCategory(1).Color, DvEWSCategoryColor(-1));

  TearDown();
  Start("Exchange2010_SP2");
  Clear();
  EXPECT_NE(ThrownMessage([&] { store_->GetCategories(); }).find("Exchange2013"),
            std::string::npos);
  EXPECT_TRUE(RequestTexts().empty());
}

TEST_F(ServicesTest, RoomListsAndRoomsComeFromTheDirectory) {
  Start("Exchange2016", [](ewssim::Config& c) {
    c.users.push_back({"room1@example.com", "x", "Room One", {}, ""});
    c.users.back().kind = "room";
    c.users.push_back({"room2@example.com", "x", "Room Two", {}, ""});
    c.users.back().kind = "room";
    c.roomLists.push_back(
        {"building1@example.com", "Building 1", {"room1@example.com", "room2@example.com"}});
  });
  auto lists = store_->GetRoomLists();
  ASSERT_EQ(lists->Count(), 1);
  EXPECT_EQ(lists->GetRecipient(0)->GetName(), "Building 1");
  EXPECT_EQ(lists->GetRecipient(0)->GetMailboxType(), TMailboxType::mtPublicDL);
  auto rooms = store_->GetRooms(lists->GetRecipient(0)->GetEmailAddress());
  EXPECT_EQ(rooms->GetAsString(), "Room One <room1@example.com>; Room Two <room2@example.com>");
  EXPECT_NE(ThrownMessage([&] {
              store_->GetRooms("nowhere@example.com");
            }).find("ErrorNameResolutionNoResults"),
            std::string::npos);
}

TEST_F(ServicesTest, PhotoBytesRoundTripAtTheSizesServed) {
  TempDir dir;
  const std::string small = std::string("\xFF\xD8\xFF\xE0small", 9),
                    large = std::string("\xFF\xD8\xFF\xE0large\0jpeg", 14);
  std::ofstream(dir.File("48.jpg"), std::ios::binary) << small;
  std::ofstream(dir.File("96.jpg"), std::ios::binary) << large;
  Start("Exchange2016", [&](ewssim::Config& c) {
    c.users[0].photos = {{48, dir.File("48.jpg")}, {96, dir.File("96.jpg")}};
  });
  const struct {
    TSizeRequested size;
    const std::string& expected;
  } cases[] = {{TSizeRequested::HR48x48, small},
               {TSizeRequested::HR64x64, small},  // the largest not above the size asked for
               {TSizeRequested::HR96X96, large},
               {TSizeRequested::HR648X648, large}};
  for (const auto& c : cases) {
    std::ostringstream out;
    store_->GetUserPhoto(out, c.size);
    EXPECT_EQ(out.str(), c.expected) << DvEWSPhotoSizeText(c.size);
  }
  // The REST form: the picture itself, or 404 for a user without one.
  const std::string url = sim_->Url();
  httplib::Client http(url.substr(0, url.find("/EWS/")));
  http.set_basic_auth("alice@example.com", "alice-pw");
  const std::string path = "/EWS/Exchange.asmx/s/GetUserPhoto?size=HR48x48&email=";
  auto got = http.Get(path + "alice@example.com");
  ASSERT_TRUE(got);
  EXPECT_EQ(got->status, 200);
  EXPECT_EQ(got->body, small);
  EXPECT_EQ(http.Get(path + "bob@example.com")->status, 404);
  std::ostringstream none;
  EXPECT_NE(ThrownMessage([&] {
              store_->GetUserPhoto(none, TSizeRequested::HR96X96, "bob@example.com");
            }).find("ErrorItemNotFound"),
            std::string::npos);
}

// ---- Contacts ----

TEST_F(ServicesTest, ContactWithAddressesAndPhotoRoundTripsAndSavesOneChangedAddress) {
  Start();
  auto contacts = store_->GetFolder(TDistinguishedFolderIdName::dfincontacts);
  auto contact =
      std::dynamic_pointer_cast<IDvEWSContact>(contacts->CreateItem(TItemType::tContact));
  ASSERT_TRUE(contact);
  contact->SetGivenName("Erin");
  contact->SetSurname("Evans");
  contact->SetCompanyName("Contoso");
  auto* entries = contact->GetEmailAddresses()->GetEntry();
  const TEmailAddressKey keys[] = {TEmailAddressKey::eakEmailAddress1,
                                   TEmailAddressKey::eakEmailAddress2,
                                   TEmailAddressKey::eakEmailAddress3};
  for (int i = 0; i < 3; ++i) {
    auto* e = static_cast<TEwsEmailAddressDictionaryEntry*>(entries->AddElement());
    e->SetKey(keys[i]);
    e->SetValue("erin" + std::to_string(i + 1) + "@example.org");
  }
  std::istringstream first("first picture"), second("second picture");
  contact->SetUserPhoto(&first);
  contact->SetUserPhoto(&second);  // replaces the content: still one photo attachment
  EXPECT_EQ(contact->GetAttachments().Count(), 1);
  contact->SaveChanges(TDvEWSSaveOption::soAutoResolve);

  auto loaded = std::dynamic_pointer_cast<IDvEWSContact>(store_->GetItem(contact->GetID()));
  ASSERT_TRUE(loaded);
  auto* got = loaded->GetEmailAddresses()->GetEntry();
  ASSERT_EQ(got->Count(), 3);
  EXPECT_EQ(static_cast<TEwsEmailAddressDictionaryEntry*>(got->GetElement(1))->GetValue(),
            "erin2@example.org");
  // What the server computes from the names.
  EXPECT_EQ(loaded->GetDisplayName(), "Erin Evans");
  EXPECT_EQ(loaded->GetFileAs(), "Evans, Erin");
  EXPECT_EQ(loaded->GetCompleteName()->GetFullName(), "Erin Evans");
  EXPECT_TRUE(loaded->GetHasPicture());
  std::ostringstream photo;
  EXPECT_TRUE(loaded->GetUserPhoto(photo));
  EXPECT_EQ(photo.str(), "second picture");

  Clear();
  static_cast<TEwsEmailAddressDictionaryEntry*>(got->GetElement(1))
      ->SetValue("erin.two@example.org");
  loaded->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto sent = RequestTexts();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(Count(sent[0], "<t:SetItemField>"), 1) << sent[0];
  EXPECT_NE(sent[0].find("FieldURI=\"contacts:EmailAddress\" FieldIndex=\"EmailAddress2\""),
            std::string::npos)
      << sent[0];
  auto again = std::dynamic_pointer_cast<IDvEWSContact>(store_->GetItem(contact->GetID()));
  EXPECT_EQ(static_cast<TEwsEmailAddressDictionaryEntry*>(
                again->GetEmailAddresses()->GetEntry()->GetElement(1))
                ->GetValue(),
            "erin.two@example.org");
}

TEST_F(ServicesTest, ContactFieldsAndPrivateFlagFollowTheServerVersion) {
  const struct {
    const char* version;
    bool givenNameAnswers;
    bool privateElement;  // the contact's own IsPrivate rather than the named property
  } cases[] = {{"Exchange2013", false, false},
               {"Exchange2013_SP1", true, false},
               {"Exchange2016", true, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    Start(c.version);
    auto contacts = store_->GetFolder(TDistinguishedFolderIdName::dfincontacts);
    auto contact =
        std::dynamic_pointer_cast<IDvEWSContact>(contacts->CreateItem(TItemType::tContact));
    EXPECT_EQ(ThrownMessage([&] { contact->SetGivenName("Fay"); }) == "(nothing thrown)",
              c.givenNameAnswers);
    contact->SetFileAs("Fay");  // no version check
    contact->SetIsPrivate(true);
    Clear();
    contact->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    auto sent = RequestTexts();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0].find("<t:IsPrivate>true</t:IsPrivate>") != std::string::npos,
              c.privateElement)
        << sent[0];
    EXPECT_EQ(sent[0].find("<t:Sensitivity>Private</t:Sensitivity>") != std::string::npos,
              !c.privateElement)
        << sent[0];
    auto loaded = std::dynamic_pointer_cast<IDvEWSContact>(store_->GetItem(contact->GetID()));
    EXPECT_TRUE(loaded->GetIsPrivate());
    TearDown();
  }
}

TEST_F(ServicesTest, FileAsFollowsTheMappingUnlessGivenWithoutOne) {
  Start();
  auto contacts = store_->GetFolder(TDistinguishedFolderIdName::dfincontacts);
  const struct {
    std::optional<TFileAsMapping> mapping;
    const char* fileAs;  // given by the client; empty: none
    const char* expected;
  } cases[] = {{std::nullopt, "", "Evans, Erin"},
               {std::nullopt, "The boss", "The boss"},
               {TFileAsMapping::famFirstSpaceLast, "", "Erin Evans"},
               {TFileAsMapping::famCompany, "", "Contoso"},
               {TFileAsMapping::famLastCommaFirstCompany, "", "Evans, Erin (Contoso)"},
               {TFileAsMapping::famCompanyLastCommaFirst, "ignored", "Contoso (Evans, Erin)"},
               {TFileAsMapping::famLastSpaceFirst, "", "Evans Erin"}};
  for (const auto& c : cases) {
    auto contact =
        std::dynamic_pointer_cast<TDvEWSContact>(contacts->CreateItem(TItemType::tContact));
    contact->SetGivenName("Erin");
    contact->SetSurname("Evans");
    contact->SetCompanyName("Contoso");
    if (c.mapping) contact->GetCurrent()->SetFileAsMapping(*c.mapping);
    if (*c.fileAs) contact->SetFileAs(c.fileAs);
    contact->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    auto loaded = std::dynamic_pointer_cast<IDvEWSContact>(store_->GetItem(contact->GetID()));
    EXPECT_EQ(loaded->GetFileAs(), c.expected);
  }
}

TEST_F(ServicesTest, UserConfigurationObjectsKeepTheirPartsPerFolder) {
  Start();
  auto call = [&](const std::string& op, const std::string& inner) {
    return Soap("alice@example.com", "<m:" + op + ">" + inner + "</m:" + op + ">").body;
  };
  const std::string name =
      "<t:UserConfigurationName Name=\"App.Settings\"><t:DistinguishedFolderId "
      "Id=\"inbox\"/></t:UserConfigurationName>";
  const std::string dictionary =
      "<t:Dictionary><t:DictionaryEntry><t:DictionaryKey><t:Type>String</t:Type><t:Value>theme"
      "</t:Value></t:DictionaryKey><t:DictionaryValue><t:Type>String</t:Type><t:Value>dark"
      "</t:Value></t:DictionaryValue></t:DictionaryEntry></t:Dictionary>";
  auto get = [&](const std::string& properties) {
    return call("GetUserConfiguration",
                "<m:UserConfigurationName Name=\"App.Settings\">"
                "<t:DistinguishedFolderId Id=\"inbox\"/>"
                "</m:UserConfigurationName><m:UserConfigurationProperties>" +
                    properties + "</m:UserConfigurationProperties>");
  };
  const std::string create = "<m:UserConfiguration>" + name + dictionary +
                             "<t:BinaryData>AQID</t:BinaryData></m:UserConfiguration>";
  EXPECT_NE(call("CreateUserConfiguration", create).find("NoError"), std::string::npos);
  EXPECT_NE(call("CreateUserConfiguration", create).find("ErrorItemSave"), std::string::npos);
  const std::string dictionaryOnly = get("Dictionary");
  EXPECT_NE(dictionaryOnly.find("dark"), std::string::npos) << dictionaryOnly;
  EXPECT_EQ(dictionaryOnly.find("BinaryData"), std::string::npos) << dictionaryOnly;
  // An update replaces the parts it names and keeps the others.
  call("UpdateUserConfiguration",
       "<m:UserConfiguration>" + name + "<t:XmlData>PGEvPg==</t:XmlData></m:UserConfiguration>");
  const std::string all = get("All");
  for (const char* part : {"dark", "<t:BinaryData>AQID</t:BinaryData>", "PGEvPg=="})
    EXPECT_NE(all.find(part), std::string::npos) << part << "\n" << all;
  // Deleted objects are gone, the default category list too once deleted.
  EXPECT_NE(call("DeleteUserConfiguration",
                 "<m:UserConfigurationName Name=\"App.Settings\">"
                 "<t:DistinguishedFolderId Id=\"inbox\"/>"
                 "</m:UserConfigurationName>")
                .find("NoError"),
            std::string::npos);
  EXPECT_NE(get("All").find("ErrorItemNotFound"), std::string::npos);
  call("DeleteUserConfiguration",
       "<m:UserConfigurationName Name=\"CategoryList\">"
       "<t:DistinguishedFolderId Id=\"calendar\"/>"
       "</m:UserConfigurationName>");
  EXPECT_NE(ThrownMessage([&] { store_->GetCategories(); }).find("ErrorItemNotFound"),
            std::string::npos);
}

// ---- Tasks ----

TEST_F(ServicesTest, NewTaskDueDateOnOlderServersFollowsInASecondRequest) {
  const struct {
    const char* version;
    std::vector<std::string> operations;
  } cases[] = {{"Exchange2010_SP2", {"CreateItem", "UpdateItem", "GetItem"}},
               {"Exchange2013", {"CreateItem"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    Start(c.version);
    auto tasks = store_->GetFolder(TDistinguishedFolderIdName::dfintasks);
    auto task = std::dynamic_pointer_cast<IDvEWSTask>(tasks->CreateItem(TItemType::tTask));
    ASSERT_TRUE(task);
    EXPECT_EQ(task->GetPercentComplete(), 0);
    task->SetSubject("File the report");
    const TDateTime due(46100.5);
    task->SetDueDate(due);
    EXPECT_EQ(task->GetDueDate().Value, due.Value);
    Clear();
    task->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    auto sent = RequestTexts();
    ASSERT_EQ(sent.size(), c.operations.size());
    for (std::size_t i = 0; i < sent.size(); ++i)
      EXPECT_EQ(DvCreateDOM(sent[i])->GetDocumentElement()->GetLocalName(), c.operations[i]);
    EXPECT_EQ(Count(sent[0], "<t:DueDate>"), sent.size() == 1 ? 1 : 0) << sent[0];
    auto loaded = std::dynamic_pointer_cast<IDvEWSTask>(store_->GetItem(task->GetID()));
    EXPECT_NEAR(loaded->GetDueDate().Value, due.Value, 1e-6);
    TearDown();
  }
}

TEST_F(ServicesTest, CompletingATaskCompletesItAndARegeneratingOneMakesTheNext) {
  Start();
  auto reply = Soap("alice@example.com",
                    "<m:CreateItem><m:SavedItemFolderId><t:DistinguishedFolderId Id=\"tasks\"/>"
                    "</m:SavedItemFolderId><m:Items><t:Task><t:Subject>Water plants</t:Subject>"
                    "<t:Recurrence><t:WeeklyRegeneration><t:Interval>1</t:Interval>"
                    "</t:WeeklyRegeneration><t:NoEndRecurrence><t:StartDate>2026-01-05"
                    "</t:StartDate></t:NoEndRecurrence></t:Recurrence>"
                    "<t:StartDate>2026-01-05T00:00:00Z</t:StartDate></t:Task></m:Items>"
                    "</m:CreateItem>");
  auto id = DvCreateDOM(reply.body)->SelectSingleElement(".//ItemId");
  ASSERT_TRUE(id) << reply.body;
  auto task =
      std::dynamic_pointer_cast<IDvEWSTask>(store_->GetItem(TItemId(id->GetAttribute("Id"))));
  ASSERT_TRUE(task);
  EXPECT_TRUE(task->GetIsRecurring());
  task->SetStatus(TTaskStatus::tsCompleted);
  task->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  EXPECT_EQ(task->GetPercentComplete(), 100);
  EXPECT_TRUE(task->GetIsComplete());
  EXPECT_FALSE(task->GetIsRecurring());
  EXPECT_EQ(sim_->Server().FolderItemCount("alice@example.com", "tasks"), 2);
}

// ---- Distribution lists ----

TEST_F(ServicesTest, PrivateListWithANestedPublicGroupExpandsToItsPeople) {
  Start("Exchange2016", [](ewssim::Config& c) {
    c.groups.push_back({"team@example.com", "Team", {"bob@example.com", "eng@example.com"}});
    c.groups.push_back({"eng@example.com", "Engineering", {kCarol, "bob@example.com"}});
  });
  auto contacts = store_->GetFolder(TDistinguishedFolderIdName::dfincontacts);
  auto list = std::dynamic_pointer_cast<IDvEWSDistributionList>(
      contacts->CreateItem(TItemType::tDistributionList));
  ASSERT_TRUE(list);
  list->SetDisplayName("Lunch club");
  list->GetMembers().Add("team@example.com");
  list->GetMembers().Add("zed@outside.example");
  list->SaveChanges(TDvEWSSaveOption::soAutoResolve);

  auto loaded = std::dynamic_pointer_cast<IDvEWSDistributionList>(store_->GetItem(list->GetID()));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->GetMembers().Count(), 2);
  auto direct = store_->ExpandDL(list->GetID());
  ASSERT_EQ(direct->Count(), 2);
  EXPECT_EQ(direct->GetRecipient(0)->GetMailboxType(), TMailboxType::mtPublicDL);
  auto people = store_->ExpandDL(list->GetID(), true);
  EXPECT_EQ(people->GetAsString(),
            "Bob Baker <bob@example.com>; Carol Chen <carol@partner.example>; "
            "zed@outside.example");

  // Name resolution finds the group and the private list, with their kinds.
  auto found = session_->CreateRecipients();
  auto team = found->Add("Team");
  session_->ResolveName(team, false);
  EXPECT_EQ(team->GetMailboxType(), TMailboxType::mtPublicDL);
  auto club = found->Add("Lunch");
  session_->ResolveName(club, false);
  EXPECT_EQ(club->GetMailboxType(), TMailboxType::mtPrivateDL);
}

}  // namespace
