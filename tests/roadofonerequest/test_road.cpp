// Marking the unread mail of the Inbox as read, end to end against ewssim: logon, the default
// store, the Inbox, a table filtered on the read flag with the subject column, and for each row
// the item opened, its read flag set and saved. Every request is checked against the EWS schema
// and for its shape.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

struct TSent {
  std::string Operation;
  DvDOMDocumentPtr Document;
};

TEST(RoadOfOneRequest, MarkTheUnreadMailOfTheInboxAsRead) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.threads = 2;
  config.seed.messages = 120;  // every third one is unread: 40
  ews_test::SimServer sim(config);

  std::mutex lock;
  std::vector<std::string> raw;
  TDvEWSCustomSession session;
  session.SetPasswordDialog(false);
  session.SetOnSOAPTrace([&](const TDvSOAPTrace& t) {
    if (t.Kind != TDvSOAPTrace::TKind::tkRequest) return;
    std::lock_guard<std::mutex> g(lock);
    raw.push_back(t.Content);
  });
  auto sent = [&]() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<TSent> list;
    for (const std::string& r : raw) {
      auto v = ews_test::ValidateEnvelope(r);
      EXPECT_TRUE(v.ok) << v.message << "\n" << r;
      auto doc = DvCreateDOM(r);
      auto body = doc->SelectSingleElement("/Envelope/Body");
      list.push_back({body->GetElement(0)->GetLocalName(), doc});
    }
    raw.clear();
    return list;
  };

  // 1. Logon learns the server version.
  session.SetServiceUrl(sim.Url());
  session.SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
  session.SetActive(true);
  EXPECT_EQ(session.GetServerVersion(), TServerVersion::Exchange2016);
  sent();

  // 2. The default store learns the mailbox address, the anchor of every later request.
  auto store = session.OpenDefaultMsgStore();
  ASSERT_TRUE(store);
  sent();

  // 3. The Inbox by its distinguished id.
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  auto requests = sent();
  bool byDistinguishedId = false;
  for (const TSent& r : requests) {
    EXPECT_EQ(r.Operation, "GetFolder");
    auto id =
        r.Document->SelectSingleElement("/Envelope/Body/GetFolder/FolderIds/DistinguishedFolderId");
    if (id && id->GetAttribute("Id") == "inbox") byDistinguishedId = true;
  }
  EXPECT_TRUE(byDistinguishedId);
  EXPECT_EQ(inbox->GetUnreadCount(), 40);

  // 4. A table of unread items with the subject column: FindItem with a 50-row page.
  auto items = inbox->GetItems();
  auto unread = std::dynamic_pointer_cast<IDvEWSRestrictionCompare>(
      items->CreateRestriction(TDvEWSRestrictionType::rtCompare));
  unread->SetFieldDef(FLD_MESSAGE_ISREAD);
  unread->SetValue(false);
  items->Filter(unread);
  items->GetFields().Add(FLD_ITEM_SUBJECT);
  items->Open();
  requests = sent();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Operation, "FindItem");
  auto view =
      requests[0].Document->SelectSingleElement("/Envelope/Body/FindItem/IndexedPageItemView");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->GetAttribute("MaxEntriesReturned"), "50");
  auto constant = requests[0].Document->SelectSingleElement(
      "/Envelope/Body/FindItem/Restriction/IsEqualTo/FieldURIOrConstant/Constant");
  ASSERT_TRUE(constant);
  EXPECT_EQ(constant->GetAttribute("Value"), "false");

  // 5. Each row: the subject from the column, the item opened, marked read and saved.
  int marked = 0;
  for (items->First(); !items->Eof(); items->Next()) {
    ASSERT_LT(marked, 40) << "the table does not end";
    const std::string subject = items->FieldByName(FLD_ITEM_SUBJECT)->GetAsString();
    EXPECT_EQ(subject.rfind("Seed message ", 0), 0u) << subject;
    auto mail = std::dynamic_pointer_cast<IDvEWSEMail>(inbox->GetItem(items->GetItemId()));
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->GetSubject(), subject);
    EXPECT_FALSE(mail->GetIsRead());
    sent();
    mail->SetIsRead(true);
    mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    requests = sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Operation, "UpdateItem");
    EXPECT_EQ(requests[1].Operation, "GetItem");
    auto updates = requests[0].Document->SelectSingleElement(
        "/Envelope/Body/UpdateItem/ItemChanges/ItemChange/Updates");
    ASSERT_TRUE(updates);
    ASSERT_EQ(updates->ElementCount(), 1);
    EXPECT_EQ(updates->GetElement(0)->ElementByName("FieldURI")->GetAttribute("FieldURI"),
              "message:IsRead");
    EXPECT_TRUE(mail->GetIsRead());
    ++marked;
  }
  EXPECT_EQ(marked, 40);

  // 6. Nothing unread is left; a failed response message raises with its code.
  auto again = inbox->GetItems();
  again->Filter(unread);
  again->Open();
  again->First();
  EXPECT_TRUE(again->Eof());
  try {
    inbox->GetItem(TItemId("AAAAAAAAAAAAAAAA", "CQAAAA=="));
    ADD_FAILURE() << "no exception";
  } catch (const EEWSException& e) {
    EXPECT_NE(std::string(e.what()).find("Error"), std::string::npos) << e.what();
  }
  sent();
}

}  // namespace
