// Items and mail against an in-process ewssim: what CreateItem, UpdateItem, the attachment
// requests, SendItem and the smart responses carry, and that items read back as written. Every
// request the library sends is validated against the EWS schema.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "DvUtils.h"
#include "recording_session.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSItem.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

class ItemsTest : public ews_test::RecordingSessionTest {
 protected:
  void Start(const std::string& version = "Exchange2016", std::size_t maxRequestBytes = 0) {
    ewssim::Config config = ews_test::DefaultSimConfig();
    config.threads = 2;
    config.version.name = version;
    if (maxRequestBytes > 0) config.maxRequestBytes = maxRequestBytes;
    StartSession(config);
    store_ = session_->OpenDefaultMsgStore();
    drafts_ = store_->GetFolder(TDistinguishedFolderIdName::dfindrafts);
  }

  void TearDown() override {
    drafts_.reset();
    store_.reset();
    RecordingSessionTest::TearDown();
  }

  std::shared_ptr<TDvEWSEMail> NewMail(const std::string& subject) {
    auto item = std::dynamic_pointer_cast<TDvEWSEMail>(drafts_->CreateItem(TItemType::tMessage));
    EXPECT_TRUE(item);
    item->SetSubject(subject);
    return item;
  }

  std::shared_ptr<TDvEWSEMail> Open(const TItemId& id) {
    return std::dynamic_pointer_cast<TDvEWSEMail>(store_->GetItem(id));
  }

  DvEWSMsgStorePtr store_;
  DvEWSFolderPtr drafts_;
};

// ---- New items ----

TEST_F(ItemsTest, NewItemInAFolderIsCreatedPrunedAndReadsBackAsWritten) {
  Start();
  auto mail = NewMail("Quarterly <figures> & more");
  mail->SetBodyText("Plain body text");
  mail->SetInReplyTo("<abc@example.com>");
  mail->SetInReplyTo("");  // set and cleared: no empty element is sent
  mail->SetImportance(TImportanceChoices::icHigh);
  EXPECT_TRUE(mail->GetIsNewItem());
  EXPECT_EQ(mail->GetBodyText(), "Plain body text");
  Clear();
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  // No reload after the create: what was sent is read back as it stands.
  ASSERT_EQ(Operations(), (std::vector<std::string>{"CreateItem"}));
  auto create = Request(0);
  EXPECT_EQ(create->GetAttribute("MessageDisposition"), "SaveOnly");
  EXPECT_EQ(create->GetElement(0)->GetLocalName(), "SavedItemFolderId");
  auto message = create->SelectSingleElement("Items/Message");
  ASSERT_TRUE(message);
  EXPECT_FALSE(message->ElementByName("InReplyTo"));
  EXPECT_EQ(message->ElementByName("Body")->GetAttribute("BodyType"), "Text");

  EXPECT_FALSE(mail->GetIsNewItem());
  EXPECT_TRUE(mail->GetIsSaved());
  Clear();
  EXPECT_EQ(mail->GetSubject(), "Quarterly <figures> & more");
  EXPECT_EQ(mail->GetImportance(), TImportanceChoices::icHigh);
  EXPECT_TRUE(Operations().empty());
  // A value the server computes loads everything once; a change made since the save survives it
  // and is the only change the next save sends.
  mail->SetSubject("Changed");
  EXPECT_TRUE(mail->GetIsDraft());
  EXPECT_GT(mail->GetSize(), 0);
  EXPECT_EQ(mail->GetSubject(), "Changed");
  EXPECT_EQ(Operations(), (std::vector<std::string>{"GetItem"}));
  Clear();
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  ASSERT_EQ(Operations(), (std::vector<std::string>{"UpdateItem", "GetItem"}));
  EXPECT_EQ(Request(0)->SelectSingleElement("ItemChanges/ItemChange/Updates")->ElementCount(), 1);
  mail->SetSubject("Quarterly <figures> & more");
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto again = Open(mail->GetID());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->GetSubject(), "Quarterly <figures> & more");
  EXPECT_EQ(again->GetBodyText(), "Plain body text");
  EXPECT_EQ(again->GetImportance(), TImportanceChoices::icHigh);
  EXPECT_TRUE(again->GetIsDraft());
}

TEST_F(ItemsTest, NewItemOfAStoreHasNoSavedFolderAndAFailedSaveKeepsTheRequest) {
  Start();
  auto store = std::dynamic_pointer_cast<TDvEWSMsgStore>(store_);
  ASSERT_TRUE(store);
  auto item = std::dynamic_pointer_cast<TDvEWSEMail>(
      DvEWSCreateItemObject(*store, TItemType::tMessage, TItemId()));
  ASSERT_TRUE(item);
  item->SetSubject("From the store");
  Clear();
  item->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto create = Request(0);
  ASSERT_TRUE(create);
  EXPECT_FALSE(create->ElementByName("SavedItemFolderId"));

  // The generic item: a kind without a class of its own.
  auto generic = DvEWSCreateItemObject(*store, TItemType::tTask, TItemId());
  EXPECT_EQ(generic->GetItemType(), TItemType::tTask);
  EXPECT_FALSE(std::dynamic_pointer_cast<IDvEWSEMail>(generic));
}

// ---- Updates ----

TEST_F(ItemsTest, UpdatesListExactlyTheChanges) {
  Start();
  auto mail = NewMail("Status");
  mail->SetBodyText("x");
  mail->SetInReplyTo("<parent@example.com>");
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  const TItemId id = mail->GetID();

  // Unchanged: the schema (and the server) refuse an empty t:Updates, so only the reload is sent.
  auto loaded = Open(id);
  Clear();
  loaded->SaveChanges(TDvEWSSaveOption::soNeverOverwrite);
  ASSERT_EQ(Operations(), (std::vector<std::string>{"GetItem"}));

  // One changed flag: one t:SetItemField with its wrapper.
  Clear();
  const bool wasRead = loaded->GetIsRead();
  loaded->SetIsRead(!wasRead);
  loaded->SaveChanges(TDvEWSSaveOption::soNeverOverwrite);
  ASSERT_EQ(Operations(), (std::vector<std::string>{"UpdateItem", "GetItem"}));
  auto update = Request(0);
  EXPECT_EQ(update->GetAttribute("ConflictResolution"), "NeverOverwrite");
  EXPECT_EQ(update->GetAttribute("MessageDisposition"), "SaveOnly");
  auto updates = update->SelectSingleElement("ItemChanges/ItemChange/Updates");
  ASSERT_EQ(updates->ElementCount(), 1) << updates->GetXML();
  auto set = updates->GetElement(0);
  EXPECT_EQ(set->GetLocalName(), "SetItemField");
  EXPECT_EQ(set->ElementByName("FieldURI")->GetAttribute("FieldURI"), "message:IsRead");
  auto value = set->SelectSingleElement("Message/IsRead");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->GetAsString(), wasRead ? "false" : "true");
  EXPECT_EQ(Open(id)->GetIsRead(), !wasRead);

  // A deleted property: t:DeleteItemField with its field URI and no value.
  Clear();
  loaded->DeleteProperty(*FLD_ITEM_SUBJECT.PropDef);
  loaded->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  updates = Request(0)->SelectSingleElement("ItemChanges/ItemChange/Updates");
  ASSERT_EQ(updates->ElementCount(), 1) << updates->GetXML();
  auto del = updates->GetElement(0);
  EXPECT_EQ(del->GetLocalName(), "DeleteItemField");
  EXPECT_EQ(del->ElementCount(), 1);
  EXPECT_EQ(del->ElementByName("FieldURI")->GetAttribute("FieldURI"), "item:Subject");
  EXPECT_EQ(Open(id)->GetSubject(), "");
}

TEST_F(ItemsTest, AFailedSaveKeepsTheChanges) {
  Start();
  auto mail = NewMail("Keep me");
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto loaded = Open(mail->GetID());
  drafts_->DeleteItem(mail->GetID(), TDvEWSFolderDeleteType::dtHardDelete);
  loaded->SetSubject("Changed");
  EXPECT_THROW(loaded->SaveChanges(TDvEWSSaveOption::soAutoResolve), EEWSException);
  EXPECT_EQ(loaded->GetSubject(), "Changed");
  auto* p = loaded->GetProperties().FindProperty(*FLD_ITEM_SUBJECT.PropDef);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->GetUpdateStatus(), TDvEWSDataUpdateStatus::dusModified);
}

// ---- Attachments and inline images ----

TEST_F(ItemsTest, OneAttachmentRemovedAndTwoAdded) {
  Start();
  auto mail = NewMail("Files");
  std::istringstream a("first"), b("second");
  mail->GetAttachments().AddAttachment("a.txt", "text/plain", a);
  mail->GetAttachments().AddAttachment("b.txt", "text/plain", b);
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  ASSERT_EQ(mail->GetAttachments().Count(), 2);

  Clear();
  std::istringstream c("third"), d("fourth");
  mail->GetAttachments().DeleteAttachment(0);
  mail->GetAttachments().AddAttachment("c.txt", "text/plain", c);
  mail->GetAttachments().AddAttachment("d.txt", "text/plain", d);
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  // New ones first: a failure never loses the old one.
  EXPECT_EQ(Operations(), (std::vector<std::string>{"CreateAttachment", "CreateAttachment",
                                                    "DeleteAttachment", "GetItem"}));
  auto again = Open(mail->GetID());
  ASSERT_EQ(again->GetAttachments().Count(), 3);
  std::vector<std::string> names;
  for (int i = 0; i < 3; ++i)
    names.push_back(again->GetAttachments().GetAttachment(i)->GetName());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b.txt", "c.txt", "d.txt"}));
}

// The server refuses a request over its size limit, as Exchange does: an oversized attachment
// makes the attachment step fail after the item itself was created or updated.
TEST_F(ItemsTest, AFailedAttachmentStepNeitherDuplicatesNorLoses) {
  Start("Exchange2016", 64 * 1024);
  const std::string tooBig(100 * 1024, 'x');
  auto mail = NewMail("Retry");
  std::istringstream small("small"), big(tooBig);
  mail->GetAttachments().AddAttachment("small.txt", "text/plain", small);
  mail->GetAttachments().AddAttachment("big.bin", "application/octet-stream", big);
  EXPECT_ANY_THROW(mail->SaveChanges(TDvEWSSaveOption::soAutoResolve));
  const TItemId created = mail->GetID();
  ASSERT_FALSE(created.Id.empty());

  // The retry continues: the same item, the refused attachment dropped, nothing sent twice.
  for (int i = 0; i < mail->GetAttachments().Count(); ++i)
    if (mail->GetAttachments().GetAttachment(i)->GetName() == "big.bin")
      mail->GetAttachments().DeleteAttachment(i);
  Clear();
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  EXPECT_EQ(Operations(), (std::vector<std::string>{"GetItem"}));
  EXPECT_EQ(mail->GetID().Id, created.Id);
  auto ids = drafts_->GetItems();
  ids->GetFields().Add(FLD_ITEM_ITEMID);  // the id alone: a valid request all the same
  ids->Open();
  EXPECT_EQ(ids->Count(), 1);
  ASSERT_EQ(mail->GetAttachments().Count(), 1);
  auto file =
      std::dynamic_pointer_cast<IDvEWSFileAttachment>(mail->GetAttachments().GetAttachment(0));
  ASSERT_TRUE(file);
  const std::string oldId = file->GetAttachmentId();

  // A replacement that fails leaves the old attachment on the server and in the item's view.
  std::istringstream bigger(tooBig);
  file->LoadFromStream(bigger);
  EXPECT_ANY_THROW(mail->SaveChanges(TDvEWSSaveOption::soAutoResolve));
  EXPECT_EQ(file->GetAttachmentId(), oldId);
  ASSERT_EQ(Open(created)->GetAttachments().Count(), 1);
  EXPECT_EQ(Open(created)->GetAttachments().GetAttachment(0)->GetAttachmentId(), oldId);

  // One that fits: created first, then the old one deleted.
  std::istringstream fits("replaced");
  file->LoadFromStream(fits);
  Clear();
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  EXPECT_EQ(Operations(),
            (std::vector<std::string>{"CreateAttachment", "DeleteAttachment", "GetItem"}));
  auto again = Open(created);
  ASSERT_EQ(again->GetAttachments().Count(), 1);
  auto stored =
      std::dynamic_pointer_cast<IDvEWSFileAttachment>(again->GetAttachments().GetAttachment(0));
  EXPECT_NE(stored->GetAttachmentId(), oldId);
  std::ostringstream content;
  stored->SaveToStream(content);
  EXPECT_EQ(content.str(), "replaced");
}

TEST_F(ItemsTest, InlineImagesBecomeAttachmentsAndAreReplacedOnTheNextSave) {
  Start();
  auto mail = NewMail("Pictures");
  const std::string png = DvBase64Encode(std::string("\x89PNG\r\n", 6));
  const std::string html = "<html><body><IMG src=\"data:image/png;base64," + png +
                           "\"><img alt=x SRC='data:image/gif;base64," + png +
                           "'><img src=\"file:///no/such/dir/missing.png\"></body></html>";
  mail->SetBodyText(html);
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto again = Open(mail->GetID());
  ASSERT_EQ(again->GetAttachments().Count(), 2);
  for (int i = 0; i < 2; ++i) {
    auto att = again->GetAttachments().GetAttachment(i);
    EXPECT_TRUE(att->GetIsInline());
    EXPECT_EQ(att->GetName().rfind("_inlineImg", 0), 0u);
  }
  const std::string body = again->GetBodyText();
  EXPECT_NE(body.find("cid:_inlineImg0"), std::string::npos) << body;
  EXPECT_NE(body.find("cid:_inlineImg1"), std::string::npos) << body;
  EXPECT_NE(body.find("file:///no/such/dir/missing.png"), std::string::npos) << body;

  // Saving the same images again replaces the earlier attachments.
  again->SetBodyText(html);
  again->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  EXPECT_EQ(Open(mail->GetID())->GetAttachments().Count(), 2);
}

// ---- Sending ----

TEST_F(ItemsTest, ANewMessageIsSentWithOneCreateItemOnExchange2016) {
  Start("Exchange2016");
  auto mail = NewMail("Sent at once");
  mail->GetToRecipients()->Add("bob@example.com");
  Clear();
  mail->SubmitMessage(false);
  ASSERT_EQ(Operations(), (std::vector<std::string>{"CreateItem"}));
  auto create = Request(0);
  EXPECT_EQ(create->GetAttribute("MessageDisposition"), "SendOnly");
  EXPECT_FALSE(create->ElementByName("SavedItemFolderId"));
  EXPECT_TRUE(mail->GetIsSubmitted());
  EXPECT_THROW(
      {
        try {
          mail->SubmitMessage(false);
        } catch (const Exception& e) {
          EXPECT_STREQ(e.what(), "The message has already been submitted!");
          throw;
        }
      },
      Exception);

  // With a copy: SendAndSaveCopy into Sent Items.
  auto copy = NewMail("Sent with a copy");
  copy->GetToRecipients()->Add("bob@example.com");
  Clear();
  copy->SubmitMessage(true);
  create = Request(0);
  EXPECT_EQ(create->GetAttribute("MessageDisposition"), "SendAndSaveCopy");
  auto folder = create->SelectSingleElement("SavedItemFolderId/DistinguishedFolderId");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->GetAttribute("Id"), "sentitems");
}

TEST_F(ItemsTest, AMessageWithAnAttachmentIsSavedThenSentWithSendItem) {
  Start("Exchange2016");
  auto mail = NewMail("With a file");
  mail->GetToRecipients()->Add("bob@example.com");
  std::istringstream a("content");
  mail->GetAttachments().AddAttachment("a.txt", "text/plain", a);
  Clear();
  mail->SubmitMessage(true);
  EXPECT_EQ(Operations(),
            (std::vector<std::string>{"CreateItem", "CreateAttachment", "GetItem", "SendItem"}));
  EXPECT_EQ(Request(0)->GetAttribute("MessageDisposition"), "SaveOnly");
  auto send = Request(3);
  EXPECT_EQ(send->GetAttribute("SaveItemToFolder"), "true");
  EXPECT_TRUE(send->SelectSingleElement("SavedItemFolderId/DistinguishedFolderId"));
}

TEST_F(ItemsTest, OnExchange2010SP2AMessageIsSavedThenSentAndExtendedPropertiesFollow) {
  Start("Exchange2010_SP2");
  auto mail = NewMail("Older server");
  mail->GetToRecipients()->Add("bob@example.com");
  mail->SetIsPrivate(true);
  Clear();
  mail->SubmitMessage(true);
  ASSERT_EQ(Operations(),
            (std::vector<std::string>{"CreateItem", "UpdateItem", "GetItem", "SendItem"}));
  auto create = Request(0);
  EXPECT_FALSE(create->SelectSingleElement("Items/Message/ExtendedProperty"));
  auto extended = Request(1)->SelectSingleElement(
      "ItemChanges/ItemChange/Updates/SetItemField/Message/ExtendedProperty/Value");
  ASSERT_TRUE(extended);
  EXPECT_EQ(extended->GetAsString(), "true");
  auto send = Request(3);
  EXPECT_EQ(send->GetAttribute("SaveItemToFolder"), "true");
  EXPECT_FALSE(send->ElementByName("SavedItemFolderId"));
}

// ---- Smart responses ----

TEST_F(ItemsTest, RepliesAndForwardsCarryTheirPrefixesAndSaveAsDrafts) {
  Start();
  auto mail = NewMail("RE: Lunch");
  mail->GetToRecipients()->Add("bob@example.com");
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);

  auto reply = mail->CreateReply(false);
  EXPECT_EQ(reply->GetSubject(), "RE: RE: Lunch");
  EXPECT_EQ(reply->GetItemType(), TItemType::tReplyToItem);
  EXPECT_EQ(reply->GetReferenceItemId().Id, mail->GetID().Id);
  EXPECT_EQ(mail->CreateReply(true)->GetItemType(), TItemType::tReplyAllToItem);
  auto forward = mail->CreateForward();
  EXPECT_EQ(forward->GetSubject(), "FW: RE: Lunch");

  Clear();
  DvEWSEMailPtr draft = reply->SaveResponse();
  ASSERT_TRUE(draft);
  auto create = Request(0);
  EXPECT_EQ(create->GetAttribute("MessageDisposition"), "SaveOnly");
  EXPECT_TRUE(create->SelectSingleElement("Items/ReplyToItem/ReferenceItemId"));
  EXPECT_EQ(draft->GetSubject(), "RE: RE: Lunch");

  // Sent: always with a copy; no attachment requests of its own.
  Clear();
  forward->GetToRecipients()->Add("bob@example.com");
  forward->SubmitMessage(false);
  auto ops = Operations();
  ASSERT_FALSE(ops.empty());
  EXPECT_EQ(ops[0], "CreateItem");
  EXPECT_EQ(Request(0)->GetAttribute("MessageDisposition"), "SendAndSaveCopy");
  for (const std::string& op : ops)
    EXPECT_NE(op, "CreateAttachment");
}

// ---- Accessors ----

TEST_F(ItemsTest, RightsAndInternetHeadersOfAReceivedMessage) {
  Start();
  auto inbox = store_->GetFolder(TDistinguishedFolderIdName::dfininbox);
  std::istringstream eml(
      "From: Carol <carol@example.com>\r\nTo: alice@example.com\r\nSubject: headers\r\n"
      "X-Tracking: 42\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\nHello.\r\n");
  auto mail = Open(inbox->ImportItem(eml, nullptr));
  ASSERT_TRUE(mail);
  ASSERT_NE(mail->GetEffectiveRights(), nullptr);
  EXPECT_TRUE(mail->GetEffectiveRights()->GetRead());
  auto* headers = mail->GetInternetMessageHeaders();
  ASSERT_NE(headers, nullptr);
  std::string tracking;
  auto* list = headers->GetInternetMessageHeader();
  for (int i = 0; i < list->Count(); ++i)
    if (list->GetItem(i)->GetHeaderName() == "X-Tracking") tracking = list->GetItem(i)->GetValue();
  EXPECT_EQ(tracking, "42");
  // Extended properties come only when asked for by their own paths: a missing list is not
  // loaded by name (there is no field URI for it) and reads as empty.
  Clear();
  EXPECT_EQ(mail->GetExtendedProperty()->Count(), 0);
  EXPECT_TRUE(Operations().empty());
}

TEST_F(ItemsTest, VersionGatedAccessorsAndPrivateFlag) {
  Start("Exchange2010_SP2");
  auto mail = NewMail("Gates");
  EXPECT_THROW(mail->GetFlag(), Exception);
  EXPECT_THROW(mail->GetPreview(), Exception);
  EXPECT_THROW(mail->GetSenderSMTPAddress(), Exception);
  EXPECT_NO_THROW(mail->GetIsAssociated());
  EXPECT_FALSE(mail->GetIsPrivate());
  mail->SetIsPrivate(true);
  EXPECT_TRUE(mail->GetIsPrivate());
  EXPECT_EQ(mail->GetSensitivity(), TSensitivityChoices::scPrivate);
  mail->SetBodyText("  <p>html</p>");
  EXPECT_EQ(mail->GetBody()->GetBodyType(), TBodyType::btHTML);
  EXPECT_EQ(mail->GetTextBody().Text, "  <p>html</p>");
}

// ---- Demand loads and MIME content ----

TEST_F(ItemsTest, AMissingFieldIsLoadedOnceAndADraftsMimeCarriesTheUnsentMarker) {
  Start();
  auto mail = NewMail("Mime draft");
  mail->SetBodyText("hello");
  EXPECT_EQ(mail->GetMimeContent()->AsElement()->GetAsString(), "");  // new: never loads
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto loaded = Open(mail->GetID());
  Clear();
  TEwsMimeContent* mime = loaded->GetMimeContent();
  ASSERT_EQ(Operations(), (std::vector<std::string>{"GetItem"}));
  auto get = Request(0);
  EXPECT_EQ(get->SelectSingleElement("ItemShape/BaseShape")->GetAsString(), "IdOnly");
  EXPECT_EQ(
      get->SelectSingleElement("ItemShape/AdditionalProperties/FieldURI")->GetAttribute("FieldURI"),
      "item:MimeContent");
  const std::string text = DvBase64DecodeToString(mime->AsElement()->GetAsString());
  EXPECT_EQ(text.rfind("X-Unsent: 1\r\n", 0), 0u) << text;
  EXPECT_EQ(text.find("X-Unsent", 5), std::string::npos) << text;
  EXPECT_NE(text.find("Mime draft"), std::string::npos);
  loaded->GetMimeContent();
  EXPECT_EQ(Operations().size(), 1u);  // loaded once

  // The MIME content streamed to a file.
  ews_test::TempDir dir;
  Clear();
  loaded->SaveToFile(dir.File("mime.eml"));
  EXPECT_EQ(Operations(), (std::vector<std::string>{"GetItem"}));
  const std::string saved = ews_test::ReadFile(dir.File("mime.eml"));
  EXPECT_NE(saved.find("Mime draft"), std::string::npos) << saved;
}

TEST_F(ItemsTest, AChangedContactAddressIsAnIndexedUpdate) {
  Start();
  auto contacts = store_->GetFolder(TDistinguishedFolderIdName::dfincontacts);
  auto contact = contacts->CreateItem(TItemType::tContact);
  contact->SetSubject("Carol");
  contact->GetProperties().Add(PR_EMAILADDRESS1)->SetAsString("carol@example.com");
  contact->SaveChanges(TDvEWSSaveOption::soAutoResolve);

  auto loaded = store_->GetItem(contact->GetID());
  EXPECT_EQ(loaded->GetItemType(), TItemType::tContact);
  TDvEWSProperty* address = loaded->GetProperties().GetItem(PR_EMAILADDRESS1);
  EXPECT_EQ(address->GetAsString(), "carol@example.com");
  Clear();
  address->SetAsString("carol@example.org");
  loaded->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto set = Request(0)->SelectSingleElement("ItemChanges/ItemChange/Updates/SetItemField");
  ASSERT_TRUE(set);
  auto uri = set->ElementByName("IndexedFieldURI");
  ASSERT_TRUE(uri);
  EXPECT_EQ(uri->GetAttribute("FieldURI"), "contacts:EmailAddress");
  EXPECT_EQ(uri->GetAttribute("FieldIndex"), "EmailAddress1");
  auto entry = set->SelectSingleElement("Contact/EmailAddresses/Entry");
  ASSERT_TRUE(entry) << set->GetXML();
  EXPECT_EQ(entry->GetAttribute("Key"), "EmailAddress1");
  EXPECT_EQ(entry->GetAsString(), "carol@example.org");
  EXPECT_EQ(
      store_->GetItem(contact->GetID())->GetProperties().GetItem(PR_EMAILADDRESS1)->GetAsString(),
      "carol@example.org");
}

// ---- Property bag and the characters of values ----

TEST_F(ItemsTest, TaggedAndNamedValuesLoadOnDemandAndSettersAddMissingOnes) {
  Start();
  auto mail = NewMail("Bag");
  mail->GetProperties().GetItem(EPR_COMMENT)->SetAsString("first note");  // new: created
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  const TItemId id = mail->GetID();

  auto loaded = Open(id);
  Clear();
  EXPECT_EQ(loaded->GetProperties().GetItem(MPR_SUBJECT)->GetAsString(), "Bag");
  EXPECT_EQ(loaded->GetProperties().GetItem(EPR_COMMENT)->GetAsString(), "first note");
  ASSERT_EQ(Operations(), (std::vector<std::string>{"GetItem", "GetItem"}));
  EXPECT_TRUE(Request(1)->SelectSingleElement("ItemShape/AdditionalProperties/ExtendedFieldURI"));

  // Values the loaded item does not hold (an element, an extended one) are added by setting them.
  loaded->PropertyByName(PR_INREPLYTO)->SetAsString("<parent@example.com>");
  loaded->PropertyByName(EPR_ADDRESS_DEPARTMENT)->SetAsString("Sales");
  loaded->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto back = Open(id);
  EXPECT_EQ(back->GetInReplyTo(), "<parent@example.com>");
  EXPECT_EQ(back->GetProperties().GetItem(EPR_ADDRESS_DEPARTMENT)->GetAsString(), "Sales");
}

TEST_F(ItemsTest, TabsAndLineFeedsReachTheServerAndForbiddenCharactersAreRefused) {
  Start();
  auto mail = NewMail("a\tb\nc");
  mail->GetProperties().GetItem(EPR_COMMENT)->SetAsString("x\ty\n\nz");
  mail->GetToRecipients()->Add("Tab\tName <o'brien@example.com>");
  mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto back = Open(mail->GetID());
  EXPECT_EQ(back->GetSubject(), "a\tb\nc");
  EXPECT_EQ(back->GetProperties().GetItem(EPR_COMMENT)->GetAsString(), "x\ty\n\nz");
  ASSERT_EQ(back->GetToRecipients()->Count(), 1);
  EXPECT_EQ(back->GetToRecipients()->GetRecipient(0)->GetEmailAddress(), "o'brien@example.com");
  EXPECT_EQ(back->GetToRecipients()->GetRecipient(0)->GetName(), "Tab\tName");

  struct Case {
    std::function<void()> set;
    const char* message;
  } cases[] = {
      {[&] { back->SetSubject("bell\a"); },
       "The value of \"Subject\" holds U+0007, a character XML cannot carry"},
      {[&] { back->GetProperties().GetItem(EPR_COMMENT)->SetAsString("\x1B[0m"); },
       "The value of \"EPR_COMMENT\" holds U+001B, a character XML cannot carry"},
      {[&] { back->GetToRecipients()->Add("Bob\x01 <bob@example.com>"); },
       "The value of \"recipient\" holds U+0001, a character XML cannot carry"},
  };
  for (const auto& c : cases) {
    try {
      c.set();
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const EDvXMLInvalidChar& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  // Nothing was changed, so nothing is sent but the reload.
  Clear();
  back->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  EXPECT_EQ(Operations(), (std::vector<std::string>{"GetItem"}));
}

}  // namespace
