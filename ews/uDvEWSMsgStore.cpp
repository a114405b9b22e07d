// The message store: distinguished folders, items by id, occurrences and the mailbox identity.
#include "uDvEWSMsgStore.h"

#include "DvUtils.h"
#include "uDvEWS.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSItem.h"

namespace dv {

namespace {

// Any valid address: the server answers with the mailbox owner's own address in its place.
constexpr const char* kPlaceholderMailbox = "mailbox@example.invalid";

DvDOMElementPtr SingleItem(const DvDOMElementPtr& message) {
  DvDOMElementPtr items = message->ElementByName("Items");
  if (!items || items->ElementCount() != 1)
    throw EEWSException("ErrorItemNotFound", "There was no ItemId in the SOAP Response!", 0);
  return items->GetElement(0);
}

}  // namespace

std::shared_ptr<TDvEWSMsgStore> DvEWSFindMsgStore(TDvComponent* object) {
  while (object != nullptr) {
    if (auto* store = dynamic_cast<TDvEWSMsgStore*>(object)) {
      std::shared_ptr<TDvEWSObject> self = store->weak_from_this().lock();
      return std::static_pointer_cast<TDvEWSMsgStore>(self);
    }
    auto* ewsObject = dynamic_cast<TDvEWSObject*>(object);
    if (ewsObject == nullptr) return nullptr;
    object = ewsObject->GetCreatedBy();
  }
  return nullptr;
}

TDvEWSMsgStore::TDvEWSMsgStore(TDvComponent* owner, const std::string& name)
    : TDvEWSObject(owner, true), FDisplayName(name) {
  TDvEWSObject::SetId(TItemId(name));
}

TDvEWSMsgStore::~TDvEWSMsgStore() {
  FIdentity.reset();
  FIdentityList.reset();
}

std::string TDvEWSMsgStore::GetDisplayName() {
  if (FDisplayName.empty()) FDisplayName = GetIdentity()->GetName();
  return FDisplayName;
}

TItemId TDvEWSMsgStore::GetFolderIdAndType(TDistinguishedFolderIdName name, std::string& folderType,
                                           const std::string& mailbox, bool raiseOnError) {
  folderType.clear();
  try {
    auto request = CreateRequest(nullptr, "m:GetFolder", "m:GetFolderResponse");
    DvDOMElementPtr op = request->GetOperation();
    op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
    DvDOMElementPtr id = op->AddElement("m:FolderIds")->AddElement("t:DistinguishedFolderId");
    id->SetAttribute("Id", DvEnumToXML(name));
    if (!mailbox.empty())
      id->AddElement("t:Mailbox")->AddElement("t:EmailAddress")->SetAsString(mailbox);
    DvDOMElementPtr message = SendChecked(request, "GetFolder");
    DvDOMElementPtr folders = message->ElementByName("Folders");
    if (!folders || folders->ElementCount() != 1)
      throw EEWSException("ErrorFolderNotFound", "There was no FolderId in the SOAP Response!", 0);
    DvDOMElementPtr folderId = folders->SelectSingleElement("*/FolderId");
    if (!folderId)
      throw EEWSException("ErrorFolderNotFound", "There was no FolderId in the SOAP Response!", 0);
    folderType = folderId->GetParent()->GetLocalName();
    return TItemId(folderId->GetAttribute("Id"), folderId->GetAttribute("ChangeKey"));
  } catch (const std::exception&) {
    if (raiseOnError) throw;
    folderType.clear();
    return {};
  }
}

TItemId TDvEWSMsgStore::GetFolderId(TDistinguishedFolderIdName name) {
  std::string type;
  return GetFolderIdAndType(name, type, {}, true);
}

bool TDvEWSMsgStore::FindFolderId(TDistinguishedFolderIdName name, TItemId& id) {
  std::string type;
  id = GetFolderIdAndType(name, type, {}, false);
  return !id.Id.empty();
}

DvEWSFolderPtr TDvEWSMsgStore::GetFolder(TDistinguishedFolderIdName name,
                                         const std::string& mailbox) {
  return DvEWSFolderOfKind(this, std::make_shared<TDvEWSFolder>(this, name, mailbox));
}

DvEWSFolderPtr TDvEWSMsgStore::GetFolder(const TItemId& folderId) {
  return DvEWSOpenFolder(this, folderId);
}

DvEWSFolderPtr TDvEWSMsgStore::GetFolder(TEwsFolderId& folderId) {
  TItemId id;
  id.Assign(folderId);
  return GetFolder(id);
}

DvDOMElementPtr TDvEWSMsgStore::FetchItemElement(const TItemId& itemId) {
  auto request = CreateRequest(nullptr, "m:GetItem", "m:GetItemResponse");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:ItemShape")->AddElement("t:BaseShape")->SetAsString("AllProperties");
  DvDOMElementPtr id = op->AddElement("m:ItemIds")->AddElement("t:ItemId");
  id->SetAttribute("Id", itemId.Id);
  if (Session().GetServerVersion() >= TServerVersion::Exchange2013_SP1)
    id->SetAttribute("ChangeKey", itemId.ChangeKey);
  return SingleItem(SendChecked(request, "GetItem"));
}

DvEWSItemPtr TDvEWSMsgStore::GetItem(const TItemId& itemId) {
  // The answer that names the kind is the item's load: the object binds to it, no second GetItem.
  DvDOMElementPtr item = FetchItemElement(itemId);
  return DvEWSCreateLoadedItemObject(*this, item->GetOwnerDocument(), item);
}

void TDvEWSMsgStore::SaveItemToFile(const TItemId& itemId, const std::string& fileName) {
  DvEWSSaveItemMime(*this, itemId, true, fileName);
}

DvEWSItemPtr TDvEWSMsgStore::GetOccurence(const TItemId& masterId, int index) {
  auto request = CreateRequest(nullptr, "m:GetItem", "m:GetItemResponse");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:ItemShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
  DvDOMElementPtr id = op->AddElement("m:ItemIds")->AddElement("t:OccurrenceItemId");
  id->SetAttribute("RecurringMasterId", masterId.Id);
  id->SetAttribute("InstanceIndex", std::to_string(index));
  DvDOMElementPtr item = SingleItem(SendChecked(request, "GetItem"));
  if (!DvSameText(item->GetLocalName(), "CalendarItem"))
    throw Exception("Assertion failure: the occurrence is not a calendar item!");
  DvDOMElementPtr first = item->GetElement(0);
  TItemId occurrence(first ? first->GetAttribute("Id") : std::string(),
                     first ? first->GetAttribute("ChangeKey") : std::string());
  return GetItem(occurrence);
}

std::string TDvEWSMsgStore::GetMailboxAddress() {
  if (!FMailboxAddress.empty()) return FMailboxAddress;
  const TItemId inbox = GetFolderId(TDistinguishedFolderIdName::dfininbox);

  auto request = CreateRequest(nullptr, "m:ConvertId", "m:ConvertIdResponse");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("DestinationFormat", "EwsId");
  DvDOMElementPtr alternate = op->AddElement("m:SourceIds")->AddElement("t:AlternateId");
  alternate->SetAttribute("Format", "EwsId");
  alternate->SetAttribute("Id", inbox.Id);
  alternate->SetAttribute("Mailbox", kPlaceholderMailbox);
  DvDOMElementPtr message = SendChecked(request, "ConvertId");
  DvDOMElementPtr converted = message->ElementByName("AlternateId");
  const std::string address = converted ? converted->GetAttribute("Mailbox") : std::string();
  if (address.empty())
    throw EEWSException("ErrorInvalidServerResponse", "The mailbox address was not returned!", 0);
  FMailboxAddress = address;
  return FMailboxAddress;
}

DvEWSRecipientPtr TDvEWSMsgStore::GetIdentity() {
  if (FIdentity) return FIdentity;
  const std::string address = GetMailboxAddress();
  auto* session = dynamic_cast<TDvEWSCustomSession*>(GetSession());
  if (session == nullptr) throw Exception("There is no active EWS Session!");
  DvEWSRecipientsPtr list = session->CreateRecipients();
  DvEWSRecipientPtr identity = list->Add(address);
  session->ResolveName(identity, false);
  FIdentityList = list;
  FIdentity = identity;
  return FIdentity;
}

}  // namespace dv
