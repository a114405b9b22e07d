// The message store, folders, tables and restrictions against an in-process ewssim seeded with
// 120 inbox messages (every third unread) and calendar items. Every request the session sends is
// validated against the EWS schema.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "DvSOAP.h"
#include "DvUtils.h"
#include "session_fixture.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSFolder.h"
#include "uDvEWSImpersonation.h"
#include "uDvEWSItem.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSServices.h"
#include "uDvEWSTable.h"

using namespace dv;
using ews_test::ScopedTZ;
using ews_test::ThrownMessage;

namespace {

// The store's simulator: `messages` inbox messages (every third unread) and six calendar items.
class SimSession : public session_test::SimSession {
 public:
  explicit SimSession(const std::string& version = "Exchange2016", int messages = 120,
                      const std::string& user = "alice")
      : session_test::SimSession(Config(version, messages), user) {}

 private:
  static ewssim::Config Config(const std::string& version, int messages) {
    ewssim::Config c = session_test::SimConfig(version);
    c.seed.messages = messages;
    c.seed.calendarItems = 6;
    return c;
  }
};

class Store : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(s.Problems(), ""); }
  SimSession s;
};

// ---- Restrictions ----

TEST_F(Store, RestrictionTexts) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto items = store->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetItems();

  auto cmp = std::dynamic_pointer_cast<IDvEWSRestrictionCompare>(
      items->CreateRestriction(TDvEWSRestrictionType::rtCompare));
  cmp->SetFieldDef(FLD_ITEM_SUBJECT);
  cmp->SetValue(std::string("abc"));
  std::string text;
  cmp->SaveToStream(text);
  EXPECT_EQ(text,
            "<t:IsEqualTo><t:FieldURI FieldURI=\"item:Subject\" /><t:FieldURIOrConstant>"
            "<t:Constant Value=\"abc\"/></t:FieldURIOrConstant></t:IsEqualTo>");

  // A caller's quotes and angle brackets stay inside the attribute.
  cmp->SetValue(std::string("a\"/><t:Or>&"));
  text.clear();
  cmp->SaveToStream(text);
  EXPECT_NE(text.find("Value=\"a&quot;/&gt;&lt;t:Or&gt;&amp;\""), std::string::npos) << text;

  auto mask = std::dynamic_pointer_cast<IDvEWSRestrictionBitMask>(
      items->CreateRestriction(TDvEWSRestrictionType::rtBitmask));
  mask->SetFieldDef(FLD_ITEM_SIZE);
  mask->SetBitMask(0x180000000ULL);  // bit 32 is not written, bit 31 is the sign
  text.clear();
  mask->SaveToStream(text);
  EXPECT_EQ(text,
            "<t:Excludes><t:FieldURI FieldURI=\"item:Size\" /><t:Bitmask Value=\"-2147483648\" />"
            "</t:Excludes>");

  auto content = std::dynamic_pointer_cast<IDvEWSRestrictionContent>(
      items->CreateRestriction(TDvEWSRestrictionType::rtContent));
  content->SetFieldDef(FLD_ITEM_SUBJECT);
  content->SetValue("Seed");
  text.clear();
  content->SaveToStream(text);
  EXPECT_EQ(text,
            "<t:Contains ContainmentMode=\"FullString\" ContainmentComparison=\"IgnoreCase\">"
            "<t:FieldURI FieldURI=\"item:Subject\" /><t:Constant Value=\"Seed\" /></t:Contains>");

  // And inside Not inside Or; an empty And writes its two tags.
  auto orNode = std::dynamic_pointer_cast<IDvEWSRestrictionOr>(
      items->CreateRestriction(TDvEWSRestrictionType::rtOr));
  auto notNode = std::dynamic_pointer_cast<IDvEWSRestrictionNot>(
      items->CreateRestriction(TDvEWSRestrictionType::rtNot));
  auto andNode = std::dynamic_pointer_cast<IDvEWSRestrictionAnd>(
      items->CreateRestriction(TDvEWSRestrictionType::rtAnd));
  notNode->SetRestriction(andNode);
  orNode->AddRestriction(notNode);
  orNode->RemoveRestriction(mask);  // not a child: nothing changes
  text.clear();
  orNode->SaveToStream(text);
  EXPECT_EQ(text, "<t:Or><t:Not><t:And></t:And></t:Not></t:Or>");

  // Unset parts raise instead of writing broken XML, and leave the buffer alone.
  auto exists = items->CreateRestriction(TDvEWSRestrictionType::rtExists);
  text = "kept";
  EXPECT_EQ(ThrownMessage([&] { exists->SaveToStream(text); }),
            "The Exists restriction has no field definition set!");
  auto emptyNot = items->CreateRestriction(TDvEWSRestrictionType::rtNot);
  andNode->AddRestriction(emptyNot);
  EXPECT_EQ(ThrownMessage([&] { orNode->SaveToStream(text); }),
            "The Not restriction has no child restriction set!");
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(
      ThrownMessage([&] { items->CreateRestriction(static_cast<TDvEWSRestrictionType>(42)); }),
      "Unsupported RestrictionType!");
}

// ---- Tables ----

TEST_F(Store, TableOf120RowsReadAcrossThreeRequests) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto items = store->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetItems();
  items->GetFields().Add(FLD_ITEM_SUBJECT);
  items->Open();
  EXPECT_EQ(s.Sent("FindItem"), 1);
  EXPECT_EQ(items->Count(), 120);
  EXPECT_EQ(items->RowCount(), 50);

  // GetRowData is cached per row and looked up again after Next.
  TDvXMLSchemaElement* row0 = items->GetRowData(TDvEWSGetDataElmSource::desCurrent, true);
  EXPECT_EQ(items->GetRowData(TDvEWSGetDataElmSource::desCurrent, true), row0);
  EXPECT_EQ(row0->GetClassName(), "TEwsMessage");

  std::set<std::string> subjects, ids;
  int rows = 0;
  while (!items->Eof()) {
    subjects.insert(items->FieldByName(FLD_ITEM_SUBJECT)->GetAsString());
    ids.insert(items->GetItemId().Id);
    ++rows;
    items->Next();
    ASSERT_LE(rows, 120);
  }
  EXPECT_EQ(rows, 120);
  EXPECT_EQ(subjects.size(), 120u);
  EXPECT_EQ(ids.size(), 120u);
  auto pages = s.Bodies("FindItem");
  ASSERT_EQ(pages.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    auto view = DvCreateDOM(pages[i])->SelectSingleElement("FindItem/IndexedPageItemView");
    EXPECT_EQ(view->GetAttribute("Offset"), std::to_string(i * 50));
    EXPECT_EQ(view->GetAttribute("MaxEntriesReturned"), "50");
  }
  // Columns: IdOnly plus the subject.
  EXPECT_NE(pages[0].find("<t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>"
                          "<t:FieldURI FieldURI=\"item:Subject\"/></t:AdditionalProperties>"),
            std::string::npos)
      << pages[0];

  // First on a later page refetches from offset 0; on the first page it does not.
  items->First();
  EXPECT_EQ(s.Sent("FindItem"), 4);
  EXPECT_EQ(dynamic_cast<TDvEWSTable&>(*items).GetRowIndex(), 0);
  items->First();
  EXPECT_EQ(s.Sent("FindItem"), 4);

  items->SetActive(false);
  EXPECT_FALSE(items->GetActive());
  EXPECT_EQ(items->GetRowData(TDvEWSGetDataElmSource::desCurrent, false), nullptr);
  EXPECT_EQ(ThrownMessage([&] { items->GetRowData(TDvEWSGetDataElmSource::desCurrent, true); }),
            "There is no data!");
}

TEST_F(Store, ColumnsInThreePassesAndDefaultShape) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto folder = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  auto plain = folder->GetItems();
  plain->Open();
  EXPECT_NE(s.Last("FindItem").find("<t:BaseShape>Default</t:BaseShape>"), std::string::npos);

  auto items = folder->GetItems();
  items->GetFields().Add(FLD_ITEM_SUBJECT);
  items->GetFields().AddItem(MPR_MESSAGE_FLAGS);
  items->GetFields().Add(FLD_ITEM_ITEMID);
  items->Open();
  const std::string body = s.Last("FindItem");
  const auto ext = body.find("t:ExtendedFieldURI");
  const auto subject = body.find("item:Subject");
  ASSERT_NE(ext, std::string::npos) << body;
  EXPECT_LT(ext, subject);  // extended fields go first
  EXPECT_EQ(body.find("item:ItemId"), std::string::npos) << body;
  EXPECT_FALSE(items->Eof());
}

// Each comparison against the received time of the fifth of 120 messages (one an hour from
// 2026-01-05 09:00Z): the six counts differ, so writing one operator for another (>= for >) or
// evaluating one wrongly on the server fails here. The element each writes is pinned too.
TEST_F(Store, EachComparisonOperatorSelectsItsOwnRows) {
  ScopedTZ tz("Europe/Berlin");  // the constant is written in UTC whatever the local zone
  struct Case {
    TDvEWSRestrictionOperator op;
    const char* element;
    int rows;
  };
  const Case cases[] = {
      {TDvEWSRestrictionOperator::opIsEqualTo, "IsEqualTo", 1},
      {TDvEWSRestrictionOperator::opIsNotEqualTo, "IsNotEqualTo", 119},
      {TDvEWSRestrictionOperator::opIsLessThan, "IsLessThan", 4},
      {TDvEWSRestrictionOperator::opIsLessThanOrEqualTo, "IsLessThanOrEqualTo", 5},
      {TDvEWSRestrictionOperator::opIsGreaterThan, "IsGreaterThan", 115},
      {TDvEWSRestrictionOperator::opIsGreaterThanOrEqualTo, "IsGreaterThanOrEqualTo", 116}};
  auto store = s.Session().OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  for (const Case& c : cases) {
    auto items = inbox->GetItems();
    auto cmp = std::dynamic_pointer_cast<IDvEWSRestrictionCompare>(
        items->CreateRestriction(TDvEWSRestrictionType::rtCompare));
    cmp->SetFieldDef(FLD_ITEM_DATETIMERECEIVED);
    cmp->SetOperator(c.op);
    cmp->SetValue(TDvVariant(DvXMLToDateTime("2026-01-05T13:00:00Z")));
    items->Filter(cmp);
    items->Open();
    EXPECT_EQ(items->Count(), c.rows) << c.element;
    EXPECT_NE(s.Last("FindItem")
                  .find(std::string("<m:Restriction><t:") + c.element +
                        "><t:FieldURI FieldURI=\"item:DateTimeReceived\"/>"
                        "<t:FieldURIOrConstant><t:Constant "
                        "Value=\"2026-01-05T13:00:00Z\"/>"),
              std::string::npos)
        << s.Last("FindItem");
  }
}

// ---- Folders ----

TEST_F(Store, FolderCreateListEmptyDelete) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  EXPECT_EQ(inbox->GetDisplayName(), "Inbox");
  EXPECT_EQ(inbox->GetTotalCount(), 120);
  EXPECT_EQ(inbox->GetUnreadCount(), 40);
  EXPECT_EQ(inbox->GetFolderFieldType(), TSetFolderFieldType::sffFolder);
  EXPECT_FALSE(inbox->GetParentFolderId().Id.empty());
  EXPECT_NE(inbox->GetMsgStore(), nullptr);

  TItemId created = inbox->CreateFolder(TSetFolderFieldType::sffFolder, "Projects <&>");
  ASSERT_FALSE(created.Id.empty());
  auto sub = store->GetFolder(created);
  EXPECT_EQ(sub->GetDisplayName(), "Projects <&>");
  EXPECT_EQ(inbox->GetChildFolderCount(), 0);  // the data is as opened

  auto folders = inbox->GetSubFolders();
  folders->Open();
  ASSERT_EQ(folders->RowCount(), 1);
  EXPECT_EQ(folders->GetItemId().Id, created.Id);
  EXPECT_EQ(folders->FolderFieldType(), TSetFolderFieldType::sffFolder);
  EXPECT_TRUE(folders->Eof() == false);
  folders->Next();
  EXPECT_TRUE(folders->Eof());

  // Copy two messages in, then empty the folder.
  auto items = inbox->GetItems();
  items->Open();
  inbox->CopyItem(items->GetItemId(), created);
  items->Next();
  inbox->CopyItem(items->GetItemId(), created);
  auto subItems = sub->GetItems();
  subItems->Open();
  EXPECT_EQ(subItems->Count(), 2);
  sub->EmptyFolder(TDvEWSFolderDeleteType::dtHardDelete, false);
  EXPECT_EQ(s.Last("EmptyFolder")
                .rfind(R"(<m:EmptyFolder DeleteType="HardDelete" DeleteSubFolders="false">)", 0),
            0u)
      << s.Last("EmptyFolder");
  subItems->SetActive(false);
  subItems->Open();
  EXPECT_EQ(subItems->Count(), 0);
  EXPECT_TRUE(subItems->Eof());

  inbox->DeleteFolder(created, TDvEWSFolderDeleteType::dtHardDelete);
  EXPECT_EQ(ThrownMessage([&] { store->GetFolder(created); }).rfind("ErrorItemNotFound", 0), 0u);

  // Folders are read only.
  EXPECT_EQ(ThrownMessage([&] { inbox->SaveChanges(); }),
            "ErrorReadOnly (EWS Folders are currently read only!).");
  auto* obj = dynamic_cast<TDvEWSFolder*>(inbox.get());
  EXPECT_EQ(ThrownMessage([&] { obj->SetId(TItemId("x")); }),
            "ErrorReadOnly (The FolderId is a read only property!).");
}

TEST_F(Store, CopyMoveDelete) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  TItemId target = inbox->CreateFolder(TSetFolderFieldType::sffFolder, "Target");
  auto items = inbox->GetItems();
  items->Open();
  TItemId first = items->GetItemId();
  items->Next();
  TItemId second = items->GetItemId();

  TItemId copy = inbox->CopyItem(first, target);
  EXPECT_FALSE(copy.Id.empty());
  EXPECT_NE(copy.Id, first.Id);
  EXPECT_EQ(s.Sim().Server().FolderItemCount("alice@example.com", "inbox"), 120);

  // Moving returns the copy's id and hard-deletes the source.
  TItemId moved = inbox->MoveItem(second, target);
  EXPECT_NE(moved.Id, second.Id);
  EXPECT_EQ(s.Sim().Server().FolderItemCount("alice@example.com", "inbox"), 119);
  EXPECT_NE(s.Last("DeleteItem").find("DeleteType=\"HardDelete\""), std::string::npos);
  // The item's class was looked up first through the store (a message: no extra attributes).
  EXPECT_EQ(s.Last("DeleteItem").find("SendMeetingCancellations"), std::string::npos);
  EXPECT_EQ(s.Last("DeleteItem").find("AffectedTaskOccurrences"), std::string::npos);

  inbox->DeleteItem(first, TDvEWSFolderDeleteType::dtMoveToDeletedItems);
  EXPECT_EQ(s.Sim().Server().FolderItemCount("alice@example.com", "inbox"), 118);
  EXPECT_EQ(s.Sim().Server().FolderItemCount("alice@example.com", "deleteditems"), 1);
  EXPECT_EQ(ThrownMessage([&] {
              inbox->DeleteItem(second, TDvEWSFolderDeleteType::dtHardDelete);
            }).rfind("ErrorItemNotFound", 0),
            0u);
}

TEST_F(Store, CalendarFolderDeletionsAndView) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto folder = store->GetFolder(TDistinguishedFolderIdName::dfincalendar);
  auto calendar = std::dynamic_pointer_cast<IDvEWSCalendarFolder>(folder);
  ASSERT_NE(calendar, nullptr);
  EXPECT_EQ(folder->GetFolderFieldType(), TSetFolderFieldType::sffCalendarFolder);
  // Opened by id, it is a calendar folder too.
  EXPECT_NE(std::dynamic_pointer_cast<IDvEWSCalendarFolder>(store->GetFolder(folder->GetID())),
            nullptr);

  // The seeded meetings are one a day from 2026-01-05 10:00.
  const TDateTime start = DvXMLToDateTime("2026-01-05T00:00:00Z");
  auto view = calendar->GetCalendarView(start, TDateTime(start.Value + 3), 100);
  view->Open();
  int rows = 0;
  for (; !view->Eof(); view->Next())
    ASSERT_LE(++rows, 3) << "the view does not end";
  EXPECT_EQ(rows, 3);
  EXPECT_TRUE(view->Eof());
  TItemId last = view->GetItemId();  // Next past the end stays on the last row
  EXPECT_FALSE(last.Id.empty());
  auto body = DvCreateDOM(s.Last("FindItem"));
  auto cv = body->SelectSingleElement("FindItem/CalendarView");
  ASSERT_TRUE(cv);
  EXPECT_EQ(cv->GetAttribute("MaxEntriesReturned"), "100");
  EXPECT_EQ(cv->GetAttribute("StartDate"), "2026-01-05T00:00:00Z");
  EXPECT_EQ(cv->GetAttribute("EndDate"), "2026-01-08T00:00:00Z");

  // An empty range falls back to indexed paging.
  calendar->GetCalendarView(start, start, 100)->Open();
  EXPECT_TRUE(DvCreateDOM(s.Last("FindItem"))->SelectSingleElement("FindItem/IndexedPageItemView"));

  // One deletion carries the chosen mode; the next plain deletion carries SendToNone.
  calendar->DeleteMeeting(last, TDvEWSFolderDeleteType::dtMoveToDeletedItems,
                          TSendMeetingInvitationsOrCancellations::smiocSendOnlyToAll);
  EXPECT_NE(s.Last("DeleteItem").find("SendMeetingCancellations=\"SendOnlyToAll\""),
            std::string::npos)
      << s.Last("DeleteItem");
  view->First();
  folder->DeleteItem(view->GetItemId(), TDvEWSFolderDeleteType::dtMoveToDeletedItems);
  EXPECT_NE(s.Last("DeleteItem").find("SendMeetingCancellations=\"SendToNone\""), std::string::npos)
      << s.Last("DeleteItem");
}

TEST_F(Store, ImportWithMessageFlags) {
  auto store = s.Session().OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  const std::string mime =
      "\xEF\xBB\xBF"
      "From: bob@example.com\r\nTo: alice@example.com\r\nSubject: Imported\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n\r\nHello\r\n";
  auto flagValue = [&] {
    auto doc = DvCreateDOM(s.Last("CreateItem"));
    auto value = doc->SelectSingleElement("CreateItem/Items/Message/ExtendedProperty/Value");
    return value ? value->GetAsString() : std::string("(none)");
  };

  std::istringstream in(mime);
  TDvEWSMessageFlags flags{TDvEWSMessageFlag::msgflgRead, TDvEWSMessageFlag::msgflgFromMe};
  TItemId id = inbox->ImportItem(in, &flags);
  EXPECT_FALSE(id.Id.empty());
  EXPECT_EQ(flagValue(), "33");
  auto doc = DvCreateDOM(s.Last("CreateItem"));
  EXPECT_EQ(doc->SelectSingleElement("CreateItem")->GetAttribute("MessageDisposition"), "SaveOnly");
  auto content = doc->SelectSingleElement("CreateItem/Items/Message/MimeContent");
  EXPECT_EQ(content->GetAttribute("CharacterSet"), "UTF-8");
  // The byte-order mark is dropped before encoding.
  EXPECT_EQ(DvBase64DecodeToString(content->GetAsString()), mime.substr(3));
  EXPECT_EQ(s.Sim().Server().FolderItemCount("alice@example.com", "inbox"), 121);

  // Without flags: 2 for a plain folder, 10 for the Drafts folder (from a file), none for a
  // calendar folder, which also gets no MessageDisposition.
  std::istringstream again(mime);
  inbox->ImportItem(again, nullptr);
  EXPECT_EQ(flagValue(), "2");

  ews_test::TempDir dir;
  const auto path = dir.Path() / "import.eml";
  std::ofstream(path, std::ios::binary) << mime;
  store->GetFolder(TDistinguishedFolderIdName::dfindrafts)
      ->ImportItem(path.string(), std::ios::in, nullptr);
  EXPECT_EQ(flagValue(), "10");
  // (Exchange wants a MessageDisposition for a message anywhere, so the server refuses it.)
  EXPECT_THROW(store->GetFolder(TDistinguishedFolderIdName::dfincalendar)
                   ->ImportItem(path.string(), std::ios::in, nullptr),
               EEWSException);
  EXPECT_EQ(flagValue(), "(none)");
  EXPECT_FALSE(DvCreateDOM(s.Last("CreateItem"))
                   ->SelectSingleElement("CreateItem")
                   ->HasAttribute("MessageDisposition"));
}

// ---- The store ----

TEST_F(Store, IdentityDisplayNameAndFolderIds) {
  EXPECT_EQ(s.Session().GetDefaultStoreEmail(), "");
  const int before = s.Sent("ConvertId");
  auto store = s.Session().OpenDefaultMsgStore();
  EXPECT_EQ(s.Session().GetDefaultStoreEmail(), "alice@example.com");
  EXPECT_EQ(store->GetID().Id, "");
  auto identity = store->GetIdentity();
  EXPECT_EQ(identity->GetEmailAddress(), "alice@example.com");
  EXPECT_EQ(identity->GetRoutingType(), "SMTP");
  EXPECT_EQ(s.Sent("ConvertId"), before + 1);
  EXPECT_EQ(store->GetDisplayName(), identity->GetName());
  EXPECT_FALSE(store->GetDisplayName().empty());
  EXPECT_EQ(s.Sent("ConvertId"), before + 1);  // cached

  TItemId inbox = store->GetFolderId(TDistinguishedFolderIdName::dfininbox);
  EXPECT_FALSE(inbox.Id.empty());
  auto* obj = dynamic_cast<TDvEWSMsgStore*>(store.get());
  std::string type;
  obj->GetFolderIdAndType(TDistinguishedFolderIdName::dfincalendar, type, {}, true);
  EXPECT_EQ(type, "CalendarFolder");
  // Another mailbox's folder, by its address.
  EXPECT_NE(s.Last("GetFolder").find("DistinguishedFolderId Id=\"calendar\""), std::string::npos);

  TItemId none("x");
  EXPECT_FALSE(store->FindFolderId(TDistinguishedFolderIdName::dfinarchiveroot, none));
  EXPECT_TRUE(none.Id.empty());
  EXPECT_THROW(store->GetFolderId(TDistinguishedFolderIdName::dfinarchiveroot), EEWSException);

  // The item objects themselves belong to the item unit; the lookup of the item's kind is here.
  auto items = store->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetItems();
  items->Open();
  auto element = obj->FetchItemElement(items->GetItemId());
  EXPECT_EQ(DvEWSItemTypeOfElement(element->GetLocalName()), TItemType::tMessage);
  EXPECT_EQ(DvEWSItemTypeOfElement("calendaritem"), TItemType::tCalendarItem);
  EXPECT_EQ(DvEWSItemTypeOfElement("MeetingRequest"), TItemType::tMeetingRequest);
  EXPECT_EQ(DvEWSItemTypeOfElement("Persona"), TItemType::tItem);
  EXPECT_EQ(
      ThrownMessage([&] { obj->FetchItemElement(TItemId("AAMk-no-such-item")); }).rfind("Error", 0),
      0u);
}

TEST_F(Store, ResolveNames) {
  auto set = s.Session().ResolveName("bob", TResolveNamesSearchScope::rnssActiveDirectory);
  ASSERT_GE(set->Count(), 1);
  EXPECT_EQ(set->GetItem(0)->Recipient()->GetEmailAddress(), "bob@example.com");
  auto body = DvCreateDOM(s.Last("ResolveNames"))->SelectSingleElement("ResolveNames");
  EXPECT_EQ(body->GetAttribute("ReturnFullContactData"), "true");
  EXPECT_EQ(body->GetAttribute("ContactDataShape"), "Default");

  auto list = s.Session().CreateRecipients();
  list->Add("bob@example.com");
  list->Add("Nobody <nobody-at-all>");
  EXPECT_FALSE(s.Session().ResolveNames(list, false));
  EXPECT_EQ(list->GetRecipient(0)->GetMailboxType(), TMailboxType::mtMailbox);
  EXPECT_FALSE(list->GetRecipient(0)->GetName().empty());
  EXPECT_THROW(s.Session().ResolveName(list->GetRecipient(1), true), EEWSException);
}

// ---- Impersonation ----

// The impersonated mailbox named in a request envelope, or "" without the header.
std::string ImpersonatedIn(const std::string& envelope) {
  auto sid = DvCreateDOM(envelope)->SelectSingleElement(
      "/Envelope/Header/ExchangeImpersonation/ConnectingSID/PrimarySmtpAddress");
  return sid ? sid->GetAsString() : std::string();
}

TEST(StoreImpersonation, EveryRequestBelowTheStoreNamesTheMailbox) {
  SimSession s("Exchange2016", 5, "svc");
  const std::size_t logon = s.Envelopes().size();
  // Its own address gives the plain store.
  auto own = s.Session().OpenMsgStore("svc@example.com");
  EXPECT_EQ(dynamic_cast<IDvEWSImpersonatedMsgStore*>(own.get()), nullptr);

  auto store = s.Session().OpenMsgStore("alice@example.com");
  auto* impersonated = dynamic_cast<IDvEWSImpersonatedMsgStore*>(store.get());
  ASSERT_NE(impersonated, nullptr);
  EXPECT_EQ(store->GetDisplayName(), "alice@example.com");
  const std::size_t opened = s.Envelopes().size();
  // Folder, table and item requests all come through the store; the rows are alice's.
  auto items = store->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetItems();
  int rows = 0;
  for (items->Open(); !items->Eof(); items->Next())
    ASSERT_LE(++rows, 5) << "the table does not end";
  EXPECT_EQ(rows, 5);
  items->First();
  auto item = store->GetItem(items->GetItemId());
  EXPECT_FALSE(item->GetSubject().empty());
  auto all = s.Envelopes();
  ASSERT_GT(all.size(), opened + 2);
  for (std::size_t i = opened; i < all.size(); ++i)
    EXPECT_EQ(ImpersonatedIn(all[i]), "alice@example.com") << all[i];
  for (std::size_t i = logon; i < opened; ++i)
    EXPECT_EQ(ImpersonatedIn(all[i]), "") << all[i];
  EXPECT_EQ(s.Problems(), "");
}

TEST(StoreImpersonation, RefusedWithoutTheRight) {
  SimSession s("Exchange2016", 1, "bob");
  auto store = s.Session().OpenMsgStore("alice@example.com");
  try {
    store->GetFolderId(TDistinguishedFolderIdName::dfininbox);
    ADD_FAILURE() << "bob may not impersonate alice";
  } catch (const EDvSOAPFaultException& e) {
    // Exchange answers a denied impersonation with a SOAP fault, not a response message.
    EXPECT_EQ(e.GetResponseCode(), "ErrorImpersonateUserDenied");
  }
}

// ---- Versions ----

TEST(StoreVersions, ChangeKeysFromExchange2013SP1) {
  for (const char* version : {"Exchange2013", "Exchange2013_SP1"}) {
    SimSession s(version, 3);
    auto store = s.Session().OpenDefaultMsgStore();
    TItemId inbox = store->GetFolderId(TDistinguishedFolderIdName::dfininbox);
    store->GetFolder(inbox);
    auto id = DvCreateDOM(s.Last("GetFolder"))->SelectSingleElement("GetFolder/FolderIds/FolderId");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->HasAttribute("ChangeKey"), std::string(version) == "Exchange2013_SP1") << version;
    EXPECT_EQ(s.Problems(), "");
  }
}

}  // namespace

// Two simulators in one process must never answer with each other's rows.
TEST(StoreSimulators, TwoInOneProcessKeepTheirOwnMailboxes) {
  SimSession a("Exchange2016", 12);
  auto first = a.Session().OpenDefaultMsgStore();
  auto items = first->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetItems();
  items->Open();
  EXPECT_EQ(items->Count(), 12);
  SimSession b("Exchange2016", 3);
  auto second = b.Session().OpenDefaultMsgStore();
  items = second->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetItems();
  items->Open();
  EXPECT_EQ(items->Count(), 3);
}
