// Marking the unread mail of the Inbox as read, end to end against ewssim: logon, the default
// store, the Inbox, a table filtered on the read flag with the subject column, and for each row
// the item opened, its read flag set and saved. Every request is checked against the EWS schema
// and for its shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recording_session.h"
#include "uDvEWS.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

class RoadOfOneRequest : public ews_test::RecordingSessionTest {};

TEST_F(RoadOfOneRequest, MarkTheUnreadMailOfTheInboxAsRead) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.threads = 2;
  config.seed.messages = 120;  // every third one is unread: 40

  // 1. Logon learns the server version.
  StartSession(config);
  TDvEWSCustomSession& session = *session_;
  EXPECT_EQ(session.GetServerVersion(), TServerVersion::Exchange2016);
  Clear();

  // 2. The default store learns the mailbox address, the anchor of every later request.
  // Its name is not resolved until the identity is asked for.
  auto store = session.OpenDefaultMsgStore();
  ASSERT_TRUE(store);
  EXPECT_EQ(TakeOperations(), (std::vector<std::string>{"GetFolder", "ConvertId"}));

  // 3. The Inbox by its distinguished id, opened and loaded by one GetFolder.
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  ASSERT_EQ(Operations(), std::vector<std::string>{"GetFolder"});
  auto id = Request(0)->SelectSingleElement("FolderIds/DistinguishedFolderId");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->GetAttribute("Id"), "inbox");
  Clear();
  EXPECT_EQ(inbox->GetUnreadCount(), 40);
  EXPECT_EQ(store->GetIdentity()->GetEmailAddress(), "alice@example.com");
  EXPECT_EQ(TakeOperations(), std::vector<std::string>{"ResolveNames"});

  // 4. A table of unread items with the subject column: FindItem with a 50-row page.
  auto items = inbox->GetItems();
  auto unread = std::dynamic_pointer_cast<IDvEWSRestrictionCompare>(
      items->CreateRestriction(TDvEWSRestrictionType::rtCompare));
  unread->SetFieldDef(FLD_MESSAGE_ISREAD);
  unread->SetValue(false);
  items->Filter(unread);
  items->GetFields().Add(FLD_ITEM_SUBJECT);
  items->Open();
  ASSERT_EQ(Operations(), std::vector<std::string>{"FindItem"});
  auto view = Request(0)->SelectSingleElement("IndexedPageItemView");
  ASSERT_TRUE(view);
  EXPECT_EQ(view->GetAttribute("MaxEntriesReturned"), "50");
  auto constant =
      Request(0)->SelectSingleElement("Restriction/IsEqualTo/FieldURIOrConstant/Constant");
  ASSERT_TRUE(constant);
  EXPECT_EQ(constant->GetAttribute("Value"), "false");
  Clear();

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
    Clear();
    mail->SetIsRead(true);
    mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    ASSERT_EQ(Operations(), (std::vector<std::string>{"UpdateItem", "GetItem"}));
    auto updates = Request(0)->SelectSingleElement("ItemChanges/ItemChange/Updates");
    Clear();
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
}

}  // namespace
