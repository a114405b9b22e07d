// Attachments against an in-process ewssim: a message with two file attachments and a calendar
// item attached is created through the attachment list, read back, and its contents and item
// kind fetched on demand. Every request the session sends is checked against the EWS schema.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "DvSOAP.h"
#include "session_fixture.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSInterfacesAttachments.h"

using namespace dv;
using ews_test::ScopedTZ;
using ews_test::ThrownMessage;

namespace {

// A logged-on session against its own simulator, with every request it sends recorded.
class SimSession : public session_test::SimSession {
 public:
  explicit SimSession(const std::string& version)
      : session_test::SimSession(session_test::SimConfig(version)) {}

  DvEWSSessionPtr Intf() { return Session().GetSessionIntf(); }

  // Creates a draft message whose attachments `fill` adds; returns the message's id.
  std::string CreateMessage(const std::function<void(TDvEWSAttachments&)>& fill) {
    auto request = Session().CreateRequest(nullptr, "m:CreateItem", "m:CreateItemResponse");
    DvDOMElementPtr op = request->GetOperation();
    op->SetAttribute("MessageDisposition", "SaveOnly");
    op->AddElement("m:SavedItemFolderId")
        ->AddElement("t:DistinguishedFolderId")
        ->SetAttribute("Id", "drafts");
    TEwsMessage message(op->AddElement("m:Items")->AddElement("t:Message"));
    message.SetSubject("With attachments");
    auto list = TDvEWSAttachments::Create(Intf(), message.GetAttachments()->AsElement());
    fill(*list);
    auto response = request->Send();
    DvDOMElementPtr msg = response->GetDocument()->SelectSingleElement(
        "/Envelope/Body/CreateItemResponse/ResponseMessages/CreateItemResponseMessage");
    Session().CheckResponseError(msg);
    return msg->SelectSingleElement("Items/Message/ItemId")->GetAttribute("Id");
  }

  // The attachment list of a message read back with all its properties.
  DvEWSAttachmentsPtr Load(const std::string& itemId) {
    auto request = Session().CreateRequest(nullptr, "m:GetItem", "m:GetItemResponse");
    DvDOMElementPtr op = request->GetOperation();
    op->AddElement("m:ItemShape")->AddElement("t:BaseShape")->SetAsString("AllProperties");
    op->AddElement("m:ItemIds")->AddElement("t:ItemId")->SetAttribute("Id", itemId);
    auto response = request->Send();
    DvDOMElementPtr msg = response->GetDocument()->SelectSingleElement(
        "/Envelope/Body/GetItemResponse/ResponseMessages/GetItemResponseMessage");
    Session().CheckResponseError(msg);
    DvDOMElementPtr attachments = msg->SelectSingleElement("Items/Message/Attachments");
    if (!attachments) throw Exception("The message came back without attachments");
    return TDvEWSAttachments::Create(Intf(), attachments);
  }
};

// A calendar item element to attach.
DvDOMElementPtr CalendarItem() {
  auto doc = DvCreateDOM(
      "<r xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"><t:CalendarItem>"
      "<t:Subject>Planning</t:Subject><t:Start>2026-03-02T09:00:00Z</t:Start>"
      "<t:End>2026-03-02T10:00:00Z</t:End></t:CalendarItem></r>");
  return doc->SelectSingleElement("r/CalendarItem");
}

std::string Binary() {
  std::string s;
  for (int i = 0; i < 256; ++i)
    s += static_cast<char>(i);
  return s;
}

class Attachments : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    sim_ = std::make_unique<SimSession>("Exchange2016");
    itemId_ = sim_->CreateMessage([](TDvEWSAttachments& list) {
      std::istringstream text("hello world"), bin(Binary());
      list.AddAttachment("a.txt", "text/plain", text);
      auto b = list.AddAttachment("b.bin", "application/octet-stream", bin);
      b->SetIsInline(true);
      b->SetContentId("b@cid");
      list.AddAttachment("Planning", CalendarItem());
      EXPECT_EQ(list.Count(), 3);
    });
  }
  static void TearDownTestSuite() { sim_.reset(); }
  void TearDown() override { EXPECT_EQ(sim_->Problems(), ""); }

  static std::unique_ptr<SimSession> sim_;
  static std::string itemId_;
};
std::unique_ptr<SimSession> Attachments::sim_;
std::string Attachments::itemId_;

TEST_F(Attachments, FilesComeFirstThenItems) {
  auto list = sim_->Load(itemId_);
  ASSERT_EQ(list->Count(), 3);
  EXPECT_EQ(list->GetAttachment(0)->GetAttachmentType(), TDvEWSAttachmentType::attFile);
  EXPECT_EQ(list->GetAttachment(0)->GetName(), "a.txt");
  EXPECT_EQ(list->GetAttachment(0)->GetContentType(), "text/plain");
  EXPECT_EQ(list->GetAttachment(1)->GetName(), "b.bin");
  EXPECT_EQ(list->GetAttachment(1)->GetSize(), 256);
  EXPECT_TRUE(list->GetAttachment(1)->GetIsInline());
  EXPECT_EQ(list->GetAttachment(1)->GetContentId(), "b@cid");
  EXPECT_FALSE(list->GetAttachment(1)->GetAttachmentId().empty());
  auto item = list->GetAttachment(2);
  EXPECT_EQ(item->GetAttachmentType(), TDvEWSAttachmentType::attItem);
  EXPECT_EQ(item->GetName(), "Planning");
  EXPECT_NE(std::dynamic_pointer_cast<IDvEWSItemAttachment>(item), nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<IDvEWSFileAttachment>(item), nullptr);
  EXPECT_THROW(list->GetAttachment(3), EListError);
  EXPECT_THROW(list->GetAttachment(-1), EListError);

  // FindAttachment: by id, ignoring case; none for an unknown id.
  const std::string id = list->GetAttachment(2)->GetAttachmentId();
  auto found = list->FindAttachment(DvLowerCaseAscii(id));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->GetName(), "Planning");
  EXPECT_EQ(list->FindAttachment("no-such-id"), nullptr);

  // Deleting index 2 removes the item attachment; a held object stays readable.
  list->DeleteAttachment(2);
  EXPECT_EQ(list->Count(), 2);
  EXPECT_EQ(list->GetAttachments().AsElement()->SelectSingleElement("ItemAttachment"), nullptr);
  EXPECT_EQ(item->GetName(), "Planning");
  EXPECT_EQ(list->GetAttachment(1)->GetName(), "b.bin");
}

TEST_F(Attachments, ClearKeepsInlineUnlessAll) {
  auto list = sim_->Load(itemId_);
  list->Clear(false);
  ASSERT_EQ(list->Count(), 1);
  EXPECT_EQ(list->GetAttachment(0)->GetName(), "b.bin");
  list->Clear(true);
  EXPECT_EQ(list->Count(), 0);
}

TEST_F(Attachments, ContentIsFetchedOnceThenCached) {
  auto list = sim_->Load(itemId_);
  const int before = sim_->Sent("GetAttachment");
  auto a = std::dynamic_pointer_cast<IDvEWSFileAttachment>(list->GetAttachment(0));
  ASSERT_NE(a, nullptr);
  std::ostringstream first, second;
  a->SaveToStream(first);
  a->SaveToStream(second);
  EXPECT_EQ(first.str(), "hello world");
  EXPECT_EQ(second.str(), "hello world");
  EXPECT_EQ(sim_->Sent("GetAttachment"), before + 1);
  EXPECT_NE(sim_->Last("GetAttachment")
                .find("<m:AttachmentShape/><m:AttachmentIds><t:AttachmentId Id=\"" +
                      a->GetAttachmentId() + "\"/></m:AttachmentIds>"),
            std::string::npos);

  // The content now sits in the item's XML: a new object over it needs no request either.
  std::ostringstream third;
  std::dynamic_pointer_cast<IDvEWSFileAttachment>(list->GetAttachment(0))->SaveToStream(third);
  EXPECT_EQ(third.str(), "hello world");
  auto bin = std::dynamic_pointer_cast<IDvEWSFileAttachment>(list->GetAttachment(1));
  std::ostringstream binary;
  bin->SaveToStream(binary);
  EXPECT_EQ(binary.str(), Binary());
  EXPECT_EQ(sim_->Sent("GetAttachment"), before + 2);
  EXPECT_FALSE(a->GetModified());  // fetching is not a change

  // An attachment added from a stream saves without any request.
  std::istringstream in("local bytes");
  auto added = list->AddAttachment("new.txt", "text/plain", in);
  std::ostringstream out;
  added->SaveToStream(out);
  EXPECT_EQ(out.str(), "local bytes");
  EXPECT_EQ(added->GetSize(), 11);
  EXPECT_EQ(sim_->Sent("GetAttachment"), before + 2);
}

TEST_F(Attachments, ItemKindIsFetchedOnceAndGuardsTheAccessors) {
  auto list = sim_->Load(itemId_);
  const int before = sim_->Sent("GetAttachment");
  auto item = std::dynamic_pointer_cast<IDvEWSItemAttachment>(list->GetAttachment(2));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->GetItemAttachmentType(), TItemAttachmentType::iaCalendarItem);
  EXPECT_EQ(item->GetItemAttachmentType(), TItemAttachmentType::iaCalendarItem);
  EXPECT_EQ(sim_->Sent("GetAttachment"), before + 1);
  // The request asked for the MIME content of the item.
  EXPECT_NE(sim_->Last("GetAttachment")
                .find("<m:AttachmentShape><t:IncludeMimeContent>true</t:IncludeMimeContent>"
                      "</m:AttachmentShape>"),
            std::string::npos);
  EXPECT_EQ(ThrownMessage([&] { item->GetMessage(); }), "This attachment is not an email message!");
  EXPECT_EQ(ThrownMessage([&] { item->GetTask(); }), "This attachment is not a task!");
  EXPECT_EQ(ThrownMessage([&] { item->GetMeetingCancellation(); }),
            "This attachment is not a meeting cancellation!");
  TEwsCalendarItem* cal = item->GetCalendarItem();
  ASSERT_NE(cal, nullptr);
  EXPECT_EQ(cal->GetSubject(), "Planning");
  // The fetched item was copied into the attachment's element.
  EXPECT_NE(item->AsElement()->AsElement()->SelectSingleElement("CalendarItem/Subject"), nullptr);
  EXPECT_EQ(sim_->Sent("GetAttachment"), before + 1);
  // Exchange2016 is enough for the newer kinds.
  EXPECT_NO_THROW(item->GetPerson());
}

TEST_F(Attachments, SettersMarkTheAttachmentModified) {
  auto list = sim_->Load(itemId_);
  auto a = list->GetAttachment(0);
  auto b = std::dynamic_pointer_cast<IDvEWSFileAttachment>(list->GetAttachment(1));
  EXPECT_FALSE(a->GetModified());
  a->SetName("renamed.txt");
  EXPECT_TRUE(a->GetModified());
  EXPECT_TRUE(list->GetAttachment(0)->GetModified());  // a new object over the same id
  EXPECT_FALSE(b->GetModified());
  EXPECT_EQ(list->GetModifiedIds().size(), 1u);
  a->SetContentLocation("http://example.com/a");
  EXPECT_EQ(list->GetModifiedIds().size(), 1u);

  // An empty stream marks the change and keeps content and size.
  const std::int32_t size = b->GetSize();
  std::ostringstream content;
  b->SaveToStream(content);
  std::istringstream empty("");
  b->LoadFromStream(empty);
  EXPECT_TRUE(b->GetModified());
  EXPECT_EQ(b->GetSize(), size);
  std::ostringstream again;
  b->SaveToStream(again);
  EXPECT_EQ(again.str(), content.str());
  list->ClearModified();
  EXPECT_FALSE(a->GetModified());
}

TEST_F(Attachments, FilesInAndOut) {
  auto list = sim_->Load(itemId_);
  const ews_test::TempDir tmp;
  const auto& dir = tmp.Path();
  const std::string source = (dir / "notes.txt").string();
  std::ofstream(source, std::ios::binary) << "line one\nline two\n";

  auto added = list->AddAttachment(source);
  EXPECT_EQ(added->GetName(), "notes.txt");
  EXPECT_EQ(added->GetContentType(), "text/plain");
  EXPECT_EQ(added->GetSize(), 18);
  EXPECT_FALSE(added->GetIsInline());
  EXPECT_FALSE(added->GetIsContactPhoto());

  const std::string copy = (dir / "copy.bin").string();
  added->SaveToFile(copy);
  EXPECT_EQ(ews_test::ReadFile(copy), "line one\nline two\n");

  auto first = std::dynamic_pointer_cast<IDvEWSFileAttachment>(list->GetAttachment(0));
  first->LoadFromFile(copy);
  EXPECT_EQ(first->GetSize(), 18);
  EXPECT_TRUE(first->GetModified());

  EXPECT_THROW(list->AddAttachment((dir / "missing.txt").string()), Exception);
  EXPECT_THROW(first->SaveToFile((dir / "no-dir" / "x").string()), Exception);
}

TEST_F(Attachments, ServerErrorsRaiseEEWSException) {
  auto list = sim_->Load(itemId_);
  auto a = std::dynamic_pointer_cast<TDvEWSFileAttachment>(list->GetAttachment(0));
  a->AsElement()->AsElement()->ElementByName("AttachmentId")->SetAttribute("Id", "bogus");
  std::ostringstream out;
  try {
    a->SaveToStream(out);
    FAIL() << "no exception";
  } catch (const EEWSException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("ErrorInvalidIdMalformed", 0), 0u) << e.what();
  }
  // Nothing was cached from the failed request.
  EXPECT_EQ(a->AsElement()->AsElement()->ElementByName("Content"), nullptr);
}

TEST_F(Attachments, ItemAttachmentAddedHereKnowsItsKindWithoutARequest) {
  auto doc = DvCreateDOM(
      "<t:Attachments xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"/>");
  auto list = TDvEWSAttachments::Create(sim_->Intf(), doc->GetDocumentElement());
  const int before = sim_->Sent("GetAttachment");
  auto item = list->AddAttachment("Planning", CalendarItem());
  EXPECT_EQ(item->GetItemAttachmentType(), TItemAttachmentType::iaCalendarItem);
  EXPECT_EQ(item->GetCalendarItem()->GetSubject(), "Planning");
  EXPECT_EQ(sim_->Sent("GetAttachment"), before);
  // Name goes before the item, as the schema orders them.
  EXPECT_EQ(doc->GetDocumentElement()->GetElement(0)->GetElement(0)->GetLocalName(), "Name");
}

// ---- Version checks ----

TEST(AttachmentVersions, OlderServersRefuseNewerFeatures) {
  SimSession old("Exchange2007_SP1");
  std::string id = old.CreateMessage([](TDvEWSAttachments& list) {
    std::istringstream text("x");
    auto a = list.AddAttachment("x.txt", "text/plain", text);
    // Before Exchange2010 the two flags are not written.
    EXPECT_EQ(a->AsElement()->AsElement()->ElementByName("IsInline"), nullptr);
    EXPECT_EQ(a->AsElement()->AsElement()->ElementByName("IsContactPhoto"), nullptr);
    EXPECT_EQ(ThrownMessage([&] { a->SetIsInline(true); }),
              "\"SetIsInline\" is not supported by Exchange2007_SP1. This feature requires "
              "Exchange Exchange2010!");
    EXPECT_EQ(ThrownMessage([&] { a->SetIsContactPhoto(true); }),
              "\"SetIsContactPhoto\" is not supported by Exchange2007_SP1. This feature requires "
              "Exchange Exchange2010!");
    list.AddAttachment("Planning", CalendarItem());
  });
  auto list = old.Load(id);
  auto item = std::dynamic_pointer_cast<IDvEWSItemAttachment>(list->GetAttachment(1));
  ASSERT_NE(item, nullptr);
  for (auto& [name, call] : std::vector<std::pair<std::string, std::function<void()>>>{
           {"GetRoleMember", [&] { item->GetRoleMember(); }},
           {"GetNetwork", [&] { item->GetNetwork(); }},
           {"GetPerson", [&] { item->GetPerson(); }}})
    EXPECT_EQ(ThrownMessage(call), "\"" + name +
                                       "\" is not supported by Exchange2007_SP1. This feature "
                                       "requires Exchange Exchange2016!");
  EXPECT_EQ(old.Problems(), "");
}

}  // namespace
