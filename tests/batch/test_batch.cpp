// Batched item operations against an in-process ewssim: one request per chunk, per-item results
// where one entry fails, and opening an item by id with one request. Every request the library
// sends is validated against the EWS schema.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSBatch.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ewssim::Config config = ews_test::DefaultSimConfig();
    config.threads = 2;
    config.seed.messages = 5;
    sim_ = std::make_unique<ews_test::SimServer>(config);
    session_ = std::make_unique<TDvEWSCustomSession>();
    session_->SetPasswordDialog(false);
    session_->SetServiceUrl(sim_->Url());
    session_->SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
    session_->SetOnSOAPTrace([this](const TDvSOAPTrace& t) {
      if (t.Kind != TDvSOAPTrace::TKind::tkRequest) return;
      std::lock_guard<std::mutex> g(lock_);
      requests_.push_back(t.Content);
    });
    session_->SetActive(true);
    store_ = session_->OpenDefaultMsgStore();
    drafts_ = store_->GetFolder(TDistinguishedFolderIdName::dfindrafts);
    Operations();
  }

  void TearDown() override {
    Operations();
    drafts_.reset();
    store_.reset();
    session_.reset();
    sim_.reset();
  }

  // The operations sent since the last call (each validated), then forgotten.
  std::vector<std::string> Operations() {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> ops;
    for (const std::string& r : requests_) {
      auto v = ews_test::ValidateEnvelope(r);
      EXPECT_TRUE(v.ok) << v.message << "\n" << r;
      auto body = DvCreateDOM(r)->SelectSingleElement("/Envelope/Body");
      ops.push_back(body && body->ElementCount() > 0 ? body->GetElement(0)->GetLocalName() : "");
    }
    requests_.clear();
    return ops;
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

  std::unique_ptr<ews_test::SimServer> sim_;
  std::unique_ptr<TDvEWSCustomSession> session_;
  DvEWSMsgStorePtr store_;
  DvEWSFolderPtr drafts_;
  std::mutex lock_;
  std::vector<std::string> requests_;
};

TEST_F(BatchTest, OpeningAnItemByIdIsOneRequestAndReadsWithoutMore) {
  auto inbox = store_->GetFolder(TDistinguishedFolderIdName::dfininbox);
  auto table = inbox->GetItems();
  table->GetFields().Add(FLD_ITEM_SUBJECT);
  table->Open();
  const std::string subject = table->FieldByName(FLD_ITEM_SUBJECT)->GetAsString();
  const TItemId id = table->GetItemId();
  Operations();

  auto mail = std::dynamic_pointer_cast<IDvEWSEMail>(store_->GetItem(id));
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->GetSubject(), subject);
  EXPECT_GT(mail->GetSize(), 0);
  EXPECT_EQ(Operations(), std::vector<std::string>{"GetItem"});

  // A row gives an item without a request; what the row lacks is loaded when read.
  TDvEWSBatch batch(store_);
  auto row = batch.ItemOfRow(*table);
  EXPECT_EQ(row->GetSubject(), subject);
  EXPECT_TRUE(Operations().empty());
  EXPECT_GT(row->GetSize(), 0);
  EXPECT_EQ(Operations(), std::vector<std::string>{"GetItem"});
}

TEST_F(BatchTest, EachOperationSendsOneRequestPerChunkAndReportsEachItem) {
  TDvEWSBatch batch(store_);
  EXPECT_THROW(batch.SetChunkSize(0), Exception);
  batch.SetChunkSize(3);

  auto created = batch.SaveItems(NewMails(7, "Batch "));
  EXPECT_EQ(Operations(), Repeat("CreateItem", 3));
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
  EXPECT_TRUE(Operations().empty()) << "saved items are not reloaded";

  // One id among the good ones names an item that is gone: only its entry fails.
  const TItemId gone = ids[2];
  drafts_->DeleteItem(gone, TDvEWSFolderDeleteType::dtHardDelete);
  Operations();
  auto loaded = batch.GetItems(ids, {"item:Subject"});
  EXPECT_EQ(Operations(), Repeat("GetItem", 3));
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
  EXPECT_TRUE(Operations().empty());

  auto inbox = store_->GetFolder(TDistinguishedFolderIdName::dfininbox);
  Operations();
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
    EXPECT_EQ(Operations(), Repeat(c.Op, 3)) << c.Op;
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
  EXPECT_EQ(Operations(), std::vector<std::string>{"CreateItem"});
  for (const auto& r : results) {
    EXPECT_TRUE(r.Ok) << r.Message;
    EXPECT_TRUE(r.Item->GetIsSubmitted());
  }
}

}  // namespace
