// The object base: the session up the creator chain, keep-alive references without cycles,
// requests made through the chain (against an in-process ewssim), the session link cleared when
// the session goes, property objects' snapshots and the property viewer hook.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session_fixture.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSBaseObject.h"
#include "uDvEWSTypes.h"

using namespace dv;
using ews_test::ThrownMessage;

namespace {

// A store that adds the impersonation header to every request made below it.
class TTestStore : public TDvEWSObject {
 public:
  TTestStore(TDvComponent* owner, std::string impersonate)
      : TDvEWSObject(owner, false), impersonate_(std::move(impersonate)) {}
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>& client,
                                                const std::string& requestName,
                                                const std::string& responseName) override {
    auto r = TDvEWSObject::CreateRequest(client, requestName, responseName);
    if (!impersonate_.empty())
      r->AddHeader("t:ExchangeImpersonation")
          ->AddElement("t:ConnectingSID")
          ->AddElement("t:SmtpAddress")
          ->SetAsString(impersonate_);
    return r;
  }

 private:
  std::string impersonate_;
};

class TTestFolder : public TDvEWSPropObject<TEwsFolder> {
 public:
  explicit TTestFolder(TDvComponent* owner) : TDvEWSPropObject(owner, true) {}
};

class TTestItem : public TDvEWSPropObject<TEwsMessage> {
 public:
  explicit TTestItem(TDvComponent* owner) : TDvEWSPropObject(owner, true) {}
};

// ---- Creator chain, lifetimes ----

TEST(ObjectTest, SessionIsFoundUpTheChainAndObjectsAreFreedWithoutCycles) {
  const std::int64_t baseline = TDvEWSObject::LiveObjectCount();
  TDvEWSCustomSession session;
  {
    auto store = std::make_shared<TTestStore>(&session, "");
    auto folder = std::make_shared<TTestFolder>(store.get());
    auto item = std::make_shared<TTestItem>(folder.get());
    EXPECT_EQ(item->GetSession(), &session);  // three levels up
    EXPECT_EQ(item->GetCreatedBy(), folder.get());
    EXPECT_EQ(TDvEWSObject::LiveObjectCount(), baseline + 3);

    // The item keeps its folder (and the folder its store) alive; nothing holds the item.
    std::weak_ptr<TTestFolder> weakFolder = folder;
    std::weak_ptr<TTestStore> weakStore = store;
    std::weak_ptr<TTestItem> weakItem = item;
    folder.reset();
    store.reset();
    EXPECT_FALSE(weakFolder.expired());
    EXPECT_FALSE(weakStore.expired());
    EXPECT_EQ(item->GetCreatedBy(), weakFolder.lock().get());
    item.reset();
    EXPECT_TRUE(weakItem.expired());
    EXPECT_TRUE(weakFolder.expired());
    EXPECT_TRUE(weakStore.expired());
  }
  EXPECT_EQ(TDvEWSObject::LiveObjectCount(), baseline);

  TDvComponent plain;
  EXPECT_EQ(ThrownMessage([&] { std::make_shared<TTestItem>(&plain); }),
            "Failed to find the EWS Session!");
  EXPECT_EQ(ThrownMessage([&] { std::make_shared<TTestItem>(nullptr); }),
            "Failed to find the EWS Session!");
  EXPECT_EQ(TDvEWSObject::LiveObjectCount(), baseline);
}

TEST(ObjectTest, DestroyingTheSessionClearsTheLink) {
  auto session = std::make_unique<TDvEWSCustomSession>();
  auto store = std::make_shared<TTestStore>(session.get(), "");
  auto item = std::make_shared<TTestItem>(store.get());
  session.reset();
  EXPECT_EQ(store->GetSession(), nullptr);
  EXPECT_EQ(item->GetSession(), nullptr);
  const std::string noSession = "There is no active EWS Session!";
  EXPECT_EQ(ThrownMessage([&] { item->CreateRequest(nullptr, "m:GetItem", ""); }), noSession);
  EXPECT_EQ(ThrownMessage([&] { item->CreateHTTPClient(false); }), noSession);
  EXPECT_EQ(ThrownMessage([&] { store->CheckResponseError(nullptr); }), noSession);
  EXPECT_EQ(item->GetCreatedBy(), store.get());
}

TEST(ObjectTest, ACreatorNotKeptAliveIsForgottenWhenItGoes) {
  TDvEWSCustomSession session;
  auto store = std::make_shared<TTestStore>(&session, "");
  auto child = std::make_shared<TTestStore>(store.get(), "");  // no keep-alive reference
  store.reset();
  EXPECT_EQ(child->GetCreatedBy(), nullptr);
  EXPECT_EQ(child->GetSession(), &session);
}

// ---- Property objects ----

TEST(ObjectTest, SetPropDataTakesAnIndependentSnapshot) {
  TDvEWSCustomSession session;
  auto item = std::make_shared<TTestItem>(&session);
  EXPECT_EQ(item->GetData(TDvEWSGetDataElmSource::desCurrent, true), nullptr);

  auto response = DvCreateDOM(
      "<m:Items xmlns:m=\"urn:m\" xmlns:t=\"urn:t\"><t:Message><t:Subject>Before</t:Subject>"
      "</t:Message></m:Items>");
  auto element = response->SelectSingleElement("Items/Message");
  item->SetPropData(element);
  item->GetCurrent()->SetSubject("After");
  EXPECT_EQ(element->SelectSingleElement("Subject")->GetAsString(), "After");  // in place
  EXPECT_EQ(item->GetOriginal()->GetSubject(), "Before");
  EXPECT_EQ(item->GetData(TDvEWSGetDataElmSource::desOriginal, false)->GetXML(),
            "<t:Message><t:Subject>Before</t:Subject></t:Message>");
  EXPECT_EQ(item->GetProperties().Add(PR_SUBJECT)->GetUpdateStatus(),
            TDvEWSDataUpdateStatus::dusModified);

  // Rebinding renews the snapshot.
  item->SetPropData(element);
  EXPECT_EQ(item->GetOriginal()->GetSubject(), "After");
  EXPECT_EQ(item->GetProperties().FindProperty(PR_SUBJECT)->GetUpdateStatus(),
            TDvEWSDataUpdateStatus::dusUnmodified);

  // DeleteProperty marks a held property and ignores others.
  item->DeleteProperty(PR_CULTURE);
  EXPECT_EQ(item->GetProperties().Size(), 1);
  item->DeleteProperty(PR_SUBJECT);
  EXPECT_TRUE(item->GetProperties().FindProperty(PR_SUBJECT)->GetDeleted());
  EXPECT_TRUE(item->HasProperty(PR_SUBJECT));
}

TEST(ObjectTest, DisplayPropertiesUsesTheGlobalHook) {
  TDvEWSCustomSession session;
  auto item = std::make_shared<TTestItem>(&session);
  ShowProperties = nullptr;
  EXPECT_EQ(ThrownMessage([&] { item->DisplayProperties(); }),
            "There is no property viewer installed!");
  DvEWSPropObjectPtr shown;
  ShowProperties = [&](const DvEWSPropObjectPtr& obj) { shown = obj; };
  item->DisplayProperties();
  ShowProperties = nullptr;
  EXPECT_EQ(shown.get(), static_cast<IDvEWSPropObject*>(item.get()));
}

// ---- Requests through the chain, against the simulator ----

TEST(ObjectTest, RequestsBelowAStoreCarryItsHeaders) {
  session_test::SimSession s(session_test::SimConfig(), "svc");
  auto store = std::make_shared<TTestStore>(&s.Session(), "bob@example.com");
  auto folder = std::make_shared<TTestFolder>(store.get());
  auto item = std::make_shared<TTestItem>(folder.get());

  auto request = item->CreateRequest(nullptr, "m:GetFolder", "m:GetFolderResponse");
  auto op = request->GetOperation();
  op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
  op->AddElement("m:FolderIds")->AddElement("t:DistinguishedFolderId")->SetAttribute("Id", "inbox");
  auto response = request->Send();
  auto message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/GetFolderResponse/ResponseMessages/GetFolderResponseMessage");
  ASSERT_TRUE(message);
  item->CheckResponseError(message);

  // The request carried the store's header, and every request was schema-valid.
  const std::string sent = s.Envelopes().back();
  auto header = DvCreateDOM(sent)->SelectSingleElement(
      "Envelope/Header/ExchangeImpersonation/ConnectingSID/SmtpAddress");
  ASSERT_TRUE(header) << sent;
  EXPECT_EQ(header->GetAsString(), "bob@example.com");
  EXPECT_EQ(s.Problems(), "");

  // A response message of the error class raises through the object.
  auto bad = DvCreateDOM(
      "<m:GetItemResponseMessage xmlns:m=\"urn:m\" ResponseClass=\"Error\">"
      "<m:MessageText>The specified object was not found in the store.</m:MessageText>"
      "<m:ResponseCode>ErrorItemNotFound</m:ResponseCode></m:GetItemResponseMessage>");
  EXPECT_THROW(item->CheckResponseError(bad->GetDocumentElement()), EEWSException);
}

}  // namespace
