// Batched item operations against an in-process ewssim: one request per chunk, per-item results
// where one entry fails, and opening an item by id with one request. Every request the library
// sends is validated against the EWS schema.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "recording_session.h"
#include "uDvEWS.h"
#include "uDvEWSBatch.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

class BatchTest : public ews_test::RecordingSessionTest {
 protected:
  void SetUp() override {
    ewssim::Config config = ews_test::DefaultSimConfig();
    config.threads = 2;
    config.seed.messages = 5;
    StartSession(config);
    store_ = session_->OpenDefaultMsgStore();
    drafts_ = store_->GetFolder(TDistinguishedFolderIdName::dfindrafts);
    Clear();
  }

  void TearDown() override {
    drafts_.reset();
    store_.reset();
    RecordingSessionTest::TearDown();
  }

  std::vector<DvEWSItemPtr> NewMails(int n, const std::string& prefix) {
    std::vector<DvEWSItemPtr> items;
    for (int i = 0; i < n; ++i) {
      items.push_back(drafts_->CreateItem(TItemType::tMessage));
      items.back()->SetSubject(prefix + std::to_string(i));
      items.back()->SetBodyText("body " + std::to_string(i));
    }
    return items;
  }

  static std::vector<std::string> Repeat(const char* op, int n) {
    return std::vector<std::string>(static_cast<std::size_t>(n), op);
  }

  DvEWSMsgStorePtr store_;
  DvEWSFolderPtr drafts_;
};

TEST_F(BatchTest, OpeningAnItemByIdIsOneRequestAndReadsWithoutMore) {
  auto inbox = store_->GetFolder(TDistinguishedFolderIdName::dfininbox);
  auto table = inbox->GetItems();
  table->GetFields().Add(FLD_ITEM_SUBJECT);
  table->Open();
  const std::string subject = table->FieldByName(FLD_ITEM_SUBJECT)->GetAsString();
  const TItemId id = table->GetItemId();
  TakeOperations();

  auto mail = std::dynamic_pointer_cast<IDvEWSEMail>(store_->GetItem(id));
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->GetSubject(), subject);
  EXPECT_GT(mail->GetSize(), 0);
  EXPECT_EQ(TakeOperations(), std::vector<std::string>{"GetItem"});

  // A row gives an item without a request; what the row lacks is loaded when read.
  TDvEWSBatch batch(store_);
  auto row = batch.ItemOfRow(*table);
  EXPECT_EQ(row->GetSubject(), subject);
  EXPECT_TRUE(TakeOperations().empty());
  EXPECT_GT(row->GetSize(), 0);
  EXPECT_EQ(TakeOperations(), std::vector<std::string>{"GetItem"});
}

TEST_F(BatchTest, EachOperationSendsOneRequestPerChunkAndReportsEachItem) {
  TDvEWSBatch batch(store_);
  EXPECT_THROW(batch.SetChunkSize(0), Exception);
  batch.SetChunkSize(3);

  auto created = batch.SaveItems(NewMails(7, "Batch "));
  EXPECT_EQ(TakeOperations(), Repeat("CreateItem", 3));
  std::vector<TItemId> ids;
  std::set<std::string> distinct;
  for (const auto& r : created) {
    EXPECT_TRUE(r.Ok) << r.Index << ": " << r.Message;
    EXPECT_FALSE(r.Item->GetIsNewItem());
    EXPECT_EQ(r.Item->GetSubject(), "Batch " + std::to_string(r.Index));
    ids.push_back(r.Id);
    distinct.insert(r.Id.Id);
  }
  EXPECT_EQ(distinct.size(), 7u);
  EXPECT_TRUE(TakeOperations().empty()) << "saved items are not reloaded";

  // One id among the good ones names an item that is gone: only its entry fails.
  const TItemId gone = ids[2];
  drafts_->DeleteItem(gone, TDvEWSFolderDeleteType::dtHardDelete);
  TakeOperations();
  auto loaded = batch.GetItems(ids, {"item:Subject"});
  EXPECT_EQ(TakeOperations(), Repeat("GetItem", 3));
  ASSERT_EQ(loaded.size(), 7u);
  for (const auto& r : loaded) {
    if (r.Index == 2) {
      EXPECT_FALSE(r.Ok);
      EXPECT_EQ(r.ResponseCode, "ErrorItemNotFound");
      EXPECT_FALSE(r.Message.empty());
      EXPECT_FALSE(r.Item);
      continue;
    }
    ASSERT_TRUE(r.Ok) << r.Message;
    EXPECT_EQ(r.Item->GetSubject(), "Batch " + std::to_string(r.Index));
    EXPECT_EQ(r.Item->GetItemType(), TItemType::tMessage);
  }
  EXPECT_TRUE(TakeOperations().empty());

  auto inbox = store_->GetFolder(TDistinguishedFolderIdName::dfininbox);
  TakeOperations();
  struct Case {
    const char* Op;
    std::function<TDvEWSBatchResults()> Run;
    bool NewIds;
  };
  const TItemId inboxId = inbox->GetID();
  const std::vector<Case> cases = {
      {"CopyItem", [&] { return batch.CopyItems(ids, inboxId); }, true},
      {"MoveItem", [&] { return batch.MoveItems(ids, inboxId); }, true},
      {"DeleteItem", [&] { return batch.DeleteItems(ids, TDvEWSFolderDeleteType::dtHardDelete); },
       false},
  };
  for (const Case& c : cases) {
    auto results = c.Run();
    EXPECT_EQ(TakeOperations(), Repeat(c.Op, 3)) << c.Op;
    for (const auto& r : results) {
      EXPECT_EQ(r.Ok, r.Index != 2) << c.Op << " " << r.Index << ": " << r.Message;
      if (r.Ok && c.NewIds) {
        EXPECT_NE(r.Id.Id, ids[static_cast<std::size_t>(r.Index)].Id);
      }
    }
    if (std::string(c.Op) == "MoveItem")
      for (const auto& r : results)
        if (r.Ok) ids[static_cast<std::size_t>(r.Index)] = r.Id;
  }
}

TEST_F(BatchTest, NewMessagesAreSentInOneCreateItem) {
  auto items = NewMails(3, "Send ");
  for (auto& item : items)
    std::dynamic_pointer_cast<IDvEWSEMail>(item)->GetToRecipients()->Add("bob@example.com");
  TDvEWSBatch batch(store_);
  auto results = batch.SendItems(items);
  EXPECT_EQ(TakeOperations(), std::vector<std::string>{"CreateItem"});
  for (const auto& r : results) {
    EXPECT_TRUE(r.Ok) << r.Message;
    EXPECT_TRUE(r.Item->GetIsSubmitted());
  }
}

}  // namespace
