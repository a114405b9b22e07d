// Mail messages and smart responses.
#include "uDvEWSMessage.h"

#include "DvUtils.h"
#include "uDvEWS.h"
#include "uDvEWSMsgStore.h"

namespace dv {

namespace {

const char* const kNotSupported = "The specified responsetype is not supported!";

// Empties the request's SavedItemFolderId (made when absent: first in CreateItem, after the
// ItemIds in SendItem, as the schema orders them) and points it at Sent Items.
void SaveToSentItems(const DvDOMElementPtr& op) {
  DvDOMElementPtr saved = op->ElementByName("SavedItemFolderId");
  if (!saved)
    saved = op->GetLocalName() == "CreateItem" && op->ElementCount() > 0
                ? op->InsertElement("m:SavedItemFolderId", op->GetElement(0))
                : op->AddElement("m:SavedItemFolderId");
  saved->Clear();
  saved->AddElement("t:DistinguishedFolderId")->SetAttribute("Id", "sentitems");
}

void PruneEmptyLeaves(const DvDOMElementPtr& item) {
  for (int j = item->ElementCount() - 1; j >= 0; --j) {
    DvDOMElementPtr child = item->GetElement(j);
    if (child->ElementCount() == 0 && child->AttributeCount() == 0 && child->GetAsString().empty())
      item->RemoveElement(child);
  }
}

void RemoveSavedItemFolder(const DvDOMElementPtr& op) {
  if (DvDOMElementPtr saved = op->ElementByName("SavedItemFolderId")) op->RemoveElement(saved);
}

}  // namespace

// ---- Recipient wrappers ----

DvEWSRecipientsPtr TDvEWSRecipientWrappers::List(TDvXMLSchemaElement& item, const char* name,
                                                 TServerVersion version) {
  for (auto& [n, list] : FLists)
    if (n == name) return list;
  auto list = std::make_shared<TDvEWSRecipients>(item.GetNode(name), "Mailbox", version);
  FLists.emplace_back(name, list);
  return list;
}

DvEWSRecipientPtr TDvEWSRecipientWrappers::Single(TDvXMLSchemaElement& item, const char* name,
                                                  TServerVersion version) {
  for (auto& [n, r] : FSingles)
    if (n == name) return r;
  DvDOMElementPtr parent = item.GetNode(name);
  DvDOMElementPtr mailbox = parent->ElementByName("Mailbox");
  if (!mailbox) mailbox = parent->AddElement("t:Mailbox");
  auto r = std::make_shared<TDvEWSRecipient>(mailbox, "Mailbox", version);
  FSingles.emplace_back(name, r);
  return r;
}

void TDvEWSRecipientWrappers::Clear() {
  FLists.clear();
  FSingles.clear();
}

// ---- TDvEWSEMail ----

TDvEWSEMail::TDvEWSEMail(TDvComponent* owner) : TDvEWSBaseItem<TEwsMessage>(owner) {}

TDvEWSEMail::~TDvEWSEMail() {
  FRecipients.Clear();
}

void TDvEWSEMail::FreeWrappers() {
  TDvEWSItemCore::FreeWrappers();
  FRecipients.Clear();
}

DvEWSRecipientPtr TDvEWSEMail::GetSender() {
  return FRecipients.Single(*GetLoaded(), "Sender", Version());
}
DvEWSRecipientsPtr TDvEWSEMail::GetToRecipients() {
  return FRecipients.List(*GetLoaded(), "ToRecipients", Version());
}
DvEWSRecipientsPtr TDvEWSEMail::GetCcRecipients() {
  return FRecipients.List(*GetLoaded(), "CcRecipients", Version());
}
DvEWSRecipientsPtr TDvEWSEMail::GetBccRecipients() {
  return FRecipients.List(*GetLoaded(), "BccRecipients", Version());
}
DvEWSRecipientPtr TDvEWSEMail::GetFrom() {
  return FRecipients.Single(*GetLoaded(), "From", Version());
}
DvEWSRecipientsPtr TDvEWSEMail::GetReplyTo() {
  return FRecipients.List(*GetLoaded(), "ReplyTo", Version());
}
DvEWSRecipientPtr TDvEWSEMail::GetReceivedBy() {
  return FRecipients.Single(*GetLoaded(), "ReceivedBy", Version());
}
DvEWSRecipientPtr TDvEWSEMail::GetReceivedRepresenting() {
  return FRecipients.Single(*GetLoaded(), "ReceivedRepresenting", Version());
}
bool TDvEWSEMail::GetIsDeliveryReceiptRequested() {
  return GetCurrent()->GetIsDeliveryReceiptRequested();
}
bool TDvEWSEMail::GetIsReadReceiptRequested() {
  return GetCurrent()->GetIsReadReceiptRequested();
}
TBytes TDvEWSEMail::GetConversationIndex() {
  return GetCurrent()->GetConversationIndex();
}
std::string TDvEWSEMail::GetConversationTopic() {
  return GetCurrent()->GetConversationTopic();
}
std::string TDvEWSEMail::GetInternetMessageId() {
  return GetCurrent()->GetInternetMessageId();
}
bool TDvEWSEMail::GetIsRead() {
  return GetCurrent()->GetIsRead();
}
bool TDvEWSEMail::GetIsResponseRequested() {
  return GetCurrent()->GetIsResponseRequested();
}
std::string TDvEWSEMail::GetReferences() {
  return GetCurrent()->GetReferences();
}
TEwsApprovalRequestData* TDvEWSEMail::GetApprovalRequestData() {
  CheckVersion(TServerVersion::Exchange2013, "ApprovalRequestData");
  return GetCurrent()->GetApprovalRequestData();
}
TEwsVotingInformation* TDvEWSEMail::GetVotingInformation() {
  CheckVersion(TServerVersion::Exchange2013, "VotingInformation");
  return GetCurrent()->GetVotingInformation();
}
TEwsReminderMessageData* TDvEWSEMail::GetReminderMessageData() {
  CheckVersion(TServerVersion::Exchange2013, "ReminderMessageData");
  return GetCurrent()->GetReminderMessageData();
}
TEwsSmtpAddress* TDvEWSEMail::GetSenderSMTPAddress() {
  CheckVersion(TServerVersion::Exchange2016, "SenderSMTPAddress");
  return GetCurrent()->GetSenderSMTPAddress();
}
TEwsMessage_MailboxGuids* TDvEWSEMail::GetMailboxGuids() {
  CheckVersion(TServerVersion::Exchange2016, "MailboxGuids");
  return GetCurrent()->GetMailboxGuids();
}
void TDvEWSEMail::SetIsDeliveryReceiptRequested(bool v) {
  GetCurrent()->SetIsDeliveryReceiptRequested(v);
}
void TDvEWSEMail::SetIsReadReceiptRequested(bool v) {
  GetCurrent()->SetIsReadReceiptRequested(v);
}
void TDvEWSEMail::SetIsRead(bool v) {
  GetCurrent()->SetIsRead(v);
}

TEwsMimeContent* TDvEWSEMail::GetMimeContent() {
  TEwsMimeContent* mime = TDvEWSItemCore::GetMimeContent();
  if (!GetIsDraft()) return mime;
  const DvDOMElementPtr& element = mime->AsElement();
  const std::string text = DvBase64DecodeToString(element->GetAsString());
  // Split into lines, keeping each line's own ending.
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  for (auto it = lines.begin(); it != lines.end(); ++it) {
    if (DvLowerCaseAscii(*it).find("x-unsent") != std::string::npos) {
      lines.erase(it);
      break;
    }
  }
  lines.insert(lines.begin(), "X-Unsent: 1\r\n");
  std::string joined;
  for (const std::string& l : lines)
    joined += l;
  element->SetAsString(DvBase64Encode(joined));
  return mime;
}

void TDvEWSEMail::SaveChanges(TDvEWSSaveOption option) {
  if (GetIsNewItem() && GetPendingRequest())
    GetPendingRequest()->GetOperation()->SetAttribute("MessageDisposition", "SaveOnly");
  TDvEWSItemCore::SaveChanges(option);
}

void TDvEWSEMail::SubmitMessage(bool saveCopy) {
  if (GetIsSubmitted()) throw Exception("The message has already been submitted!");
  bool saved = false;
  DvDOMElementPtr attachments = GetCurrent()->FindNode("Attachments");
  const bool hasAttachments = attachments && attachments->ElementCount() > 0;
  if (Version() < TServerVersion::Exchange2013_SP1 || hasAttachments) {
    if (GetIsNewItem() && GetPendingRequest()) {
      GetPendingRequest()->GetOperation()->SetAttribute("MessageDisposition", "SaveOnly");
      SaveChanges(TDvEWSSaveOption::soAutoResolve);
      saved = true;
    }
  }
  DvDOMElementPtr message;
  if (GetID().Id.empty() && GetPendingRequest() &&
      GetPendingRequest()->GetOperation()->GetLocalName() == "CreateItem") {
    const DvSOAPRequestPtr& request = GetPendingRequest();
    DvDOMElementPtr op = request->GetOperation();
    // Empty leaves (a list asked for and left empty) would not validate.
    if (DvDOMElementPtr items = op->ElementByName("Items"))
      for (int i = 0; i < items->ElementCount(); ++i)
        PruneEmptyLeaves(items->GetElement(i));
    if (saveCopy) {
      op->SetAttribute("MessageDisposition", "SendAndSaveCopy");
      SaveToSentItems(op);
    } else {
      op->SetAttribute("MessageDisposition", "SendOnly");
      RemoveSavedItemFolder(op);
    }
    BeforeSaveChanges(request);
    message = SendChecked(
        request, "/Envelope/Body/m:CreateItemResponse/ResponseMessages/CreateItemResponseMessage");
  } else {
    if (!saved) SaveChanges(TDvEWSSaveOption::soAutoResolve);
    auto request = CreateRequest(nullptr, "m:SendItem", "m:SendItemResponse");
    DvDOMElementPtr op = request->GetOperation();
    AddItemId(op->AddElement("m:ItemIds"), GetID(), true);
    op->SetAttribute("SaveItemToFolder", saveCopy ? "true" : "false");
    if (saveCopy && Version() >= TServerVersion::Exchange2013_SP1)
      SaveToSentItems(op);
    else if (!saveCopy)
      RemoveSavedItemFolder(op);
    message = SendChecked(
        request, "/Envelope/Body/m:SendItemResponse/ResponseMessages/SendItemResponseMessage");
  }
  (void)message;
  GetCurrent()->SetIsSubmitted(true);
}

DvEWSSmartResponsePtr TDvEWSEMail::CreateReply(bool replyAll) {
  return DvEWSCreateSmartResponse(
      *this, replyAll ? TDvEWSSmartResponseType::srtReplyAll : TDvEWSSmartResponseType::srtReply);
}

DvEWSSmartResponsePtr TDvEWSEMail::CreateForward() {
  return DvEWSCreateSmartResponse(*this, TDvEWSSmartResponseType::srtForward);
}

// ---- TDvEWSSmartResponse ----

DvEWSSmartResponsePtr DvEWSCreateSmartResponse(TDvEWSEMail& email, TDvEWSSmartResponseType type) {
  if (type != TDvEWSSmartResponseType::srtReply && type != TDvEWSSmartResponseType::srtReplyAll &&
      type != TDvEWSSmartResponseType::srtForward)
    throw Exception(kNotSupported);
  auto response = DvEWSNewItem<TDvEWSSmartResponse>(TItemId(), email, type);
  const TItemId id = email.GetID();
  TEwsItemId* ref = response->GetCurrent()->GetReferenceItemId();
  ref->AsElement()->SetAttribute("Id", id.Id);
  ref->AsElement()->SetAttribute("ChangeKey", id.ChangeKey);
  response->SetResponseType(type);
  return response;
}

TDvEWSSmartResponse::TDvEWSSmartResponse(TDvEWSEMail& email, TDvEWSSmartResponseType type)
    : TDvEWSBaseItem<TEwsSmartResponse>(&email), FType(type), FEMail(&email) {}

TDvEWSSmartResponse::~TDvEWSSmartResponse() {
  FRecipients.Clear();
}

void TDvEWSSmartResponse::FreeWrappers() {
  TDvEWSItemCore::FreeWrappers();
  FRecipients.Clear();
}

TItemType TDvEWSSmartResponse::GetItemType() {
  switch (FType) {
    case TDvEWSSmartResponseType::srtReply:
      return TItemType::tReplyToItem;
    case TDvEWSSmartResponseType::srtReplyAll:
      return TItemType::tReplyAllToItem;
    case TDvEWSSmartResponseType::srtForward:
      return TItemType::tForwardItem;
  }
  throw Exception(kNotSupported);
}

void TDvEWSSmartResponse::SetResponseType(TDvEWSSmartResponseType type) {
  std::string prefix;
  switch (type) {
    case TDvEWSSmartResponseType::srtReply:
    case TDvEWSSmartResponseType::srtReplyAll:
      prefix = "RE: ";
      break;
    case TDvEWSSmartResponseType::srtForward:
      prefix = "FW: ";
      break;
    default:
      throw Exception(kNotSupported);
  }
  FType = type;
  SetSubject(prefix + FEMail->GetSubject());
}

DvEWSRecipientsPtr TDvEWSSmartResponse::GetToRecipients() {
  return FRecipients.List(*GetCurrent(), "ToRecipients", Version());
}
DvEWSRecipientsPtr TDvEWSSmartResponse::GetCcRecipients() {
  return FRecipients.List(*GetCurrent(), "CcRecipients", Version());
}
DvEWSRecipientsPtr TDvEWSSmartResponse::GetBccRecipients() {
  return FRecipients.List(*GetCurrent(), "BccRecipients", Version());
}
DvEWSRecipientPtr TDvEWSSmartResponse::GetFrom() {
  return FRecipients.Single(*GetCurrent(), "From", Version());
}
DvEWSRecipientPtr TDvEWSSmartResponse::GetReceivedBy() {
  return FRecipients.Single(*GetCurrent(), "ReceivedBy", Version());
}
DvEWSRecipientPtr TDvEWSSmartResponse::GetReceivedRepresenting() {
  return FRecipients.Single(*GetCurrent(), "ReceivedRepresenting", Version());
}
bool TDvEWSSmartResponse::GetIsReadReceiptRequested() {
  return GetCurrent()->GetIsReadReceiptRequested();
}
bool TDvEWSSmartResponse::GetIsDeliveryReceiptRequested() {
  return GetCurrent()->GetIsDeliveryReceiptRequested();
}
void TDvEWSSmartResponse::SetIsReadReceiptRequested(bool v) {
  GetCurrent()->SetIsReadReceiptRequested(v);
}
void TDvEWSSmartResponse::SetIsDeliveryReceiptRequested(bool v) {
  GetCurrent()->SetIsDeliveryReceiptRequested(v);
}
TItemId TDvEWSSmartResponse::GetReferenceItemId() {
  TItemId id;
  id.Assign(*GetCurrent()->GetReferenceItemId());
  return id;
}
TEwsBody* TDvEWSSmartResponse::GetNewBodyContent() {
  return GetCurrent()->GetNewBodyContent();
}

void TDvEWSSmartResponse::BeforeSaveChanges(const DvSOAPRequestPtr& request) {
  TDvEWSItemCore::BeforeSaveChanges(request);
  DvDOMElementPtr op = request->GetOperation();
  if (op->GetLocalName() != "CreateItem") return;
  op->SetAttribute("MessageDisposition", FSubmit ? "SendAndSaveCopy" : "SaveOnly");
  DvDOMElementPtr items = op->ElementByName("Items");
  if (!items || items->ElementCount() == 0) return;
  // The request carries the response exactly as the data holds it.
  DvDOMElementPtr target = items->GetElement(0);
  DvDOMElementPtr source = AsElement();
  if (!source || source->IsSameNode(*target)) return;
  target->Clear();
  for (int i = 0; i < source->ElementCount(); ++i) {
    DvDOMElementPtr child = source->GetElement(i);
    // Empty leaves would not validate; they are left out as for any new item.
    if (child->ElementCount() == 0 && child->AttributeCount() == 0 && child->GetAsString().empty())
      continue;
    target->AppendCopy(child);
  }
}

void TDvEWSSmartResponse::SaveChanges(TDvEWSSaveOption) {
  TDvEWSItemCore::SaveChanges(TDvEWSSaveOption::soAutoResolve);
}

DvEWSEMailPtr TDvEWSSmartResponse::SaveResponse() {
  SaveChanges(TDvEWSSaveOption::soAutoResolve);
  if (FSubmit) return nullptr;
  DvEWSMsgStorePtr store = GetMsgStore();
  if (!store) throw Exception("Failed to find the message store!");
  return std::dynamic_pointer_cast<IDvEWSEMail>(store->GetItem(GetID()));
}

void TDvEWSSmartResponse::SubmitMessage(bool) {
  FSubmit = true;
  SaveChanges(TDvEWSSaveOption::soAutoResolve);
}

}  // namespace dv
