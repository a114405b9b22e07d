// The session's store openers and name services.
#include "uDvEWSServices.h"

#include "DvSOAP.h"
#include "uDvEWS.h"
#include "uDvEWSImpersonation.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSMsgStore.h"

namespace dv {

// ---- Resolution sets ----

TDvEWSResolution::TDvEWSResolution(const DvDOMElementPtr& element) : FElement(element) {}

// The wrappers hold their elements, and an element keeps its document alive, so a wrapper handed
// out outlives the entry and the set it came from.
std::shared_ptr<TEwsEmailAddressType> TDvEWSResolution::Recipient() {
  if (!FRecipient) {
    DvDOMElementPtr mailbox = FElement->ElementByName("Mailbox");
    if (!mailbox) return nullptr;
    FRecipient = std::make_shared<TEwsEmailAddressType>(mailbox);
  }
  return FRecipient;
}

std::shared_ptr<TEwsContactItem> TDvEWSResolution::Contact() {
  if (!FContact) {
    DvDOMElementPtr contact = FElement->ElementByName("Contact");
    if (!contact) return nullptr;
    FContact = std::make_shared<TEwsContactItem>(contact);
  }
  return FContact;
}

TDvEWSResolutionSet::TDvEWSResolutionSet(const DvDOMElementPtr& element) : FElement(element) {}

DvEWSResolutionPtr TDvEWSResolutionSet::GetItem(int index) {
  if (!FElement || index < 0 || index >= FElement->ElementCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return std::make_shared<TDvEWSResolution>(FElement->GetElement(index));
}

int TDvEWSResolutionSet::Count() {
  return FElement ? FElement->ElementCount() : 0;
}

bool TDvEWSResolutionSet::IncludesLastItemInRange() {
  if (!FElement) return true;
  const std::string text = FElement->GetAttribute("IncludesLastItemInRange");
  return !text.empty() && DvXMLToBool(text);
}

// ---- Stores ----

std::shared_ptr<IDvEWSMsgStore> TDvEWSCustomSession::OpenDefaultMsgStore() {
  // The first store learns the default address, which every request then carries. The address
  // is all it needs: the identity's name is resolved when it is asked for.
  std::lock_guard<std::recursive_mutex> hold(GetRequestLock());
  CheckActive();
  auto store = std::make_shared<TDvEWSMsgStore>(this, std::string());
  if (FDefaultStoreEmail.empty())
    FDefaultStoreEmail = store->GetMailboxAddress();
  else
    store->SetMailboxAddress(FDefaultStoreEmail);
  return store;
}

std::shared_ptr<IDvEWSMsgStore> TDvEWSCustomSession::OpenMsgStore(const std::string& smtpAddress) {
  CheckActive();
  if (!smtpAddress.empty() && smtpAddress != GetDefaultMsgStore())
    return std::make_shared<TDvEWSImpersonatedMsgStore>(this, smtpAddress);
  return OpenDefaultMsgStore();
}

// ---- Names ----

namespace {

DvDOMElementPtr ResolveMessage(const DvSOAPResponsePtr& response) {
  return response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/ResolveNamesResponse/ResponseMessages/ResolveNamesResponseMessage");
}

std::string ChildText(const DvDOMElementPtr& parent, std::string_view name) {
  DvDOMElementPtr child = parent->ElementByName(name);
  return child ? child->GetAsString() : std::string();
}

}  // namespace

std::shared_ptr<IDvEWSResolutionSet> TDvEWSCustomSession::ResolveName(
    const std::string& unresolvedEntry, TResolveNamesSearchScope scope) {
  CheckActive();
  auto request = CreateRequest(nullptr, "m:ResolveNames", {});
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("ReturnFullContactData", "true");
  op->SetAttribute("SearchScope", DvEnumToXML(scope));
  if (GetServerVersion() >= TServerVersion::Exchange2010_SP2)
    op->SetAttribute("ContactDataShape", "Default");
  op->AddElement("m:UnresolvedEntry")->SetAsString(unresolvedEntry);
  DvDOMElementPtr message = ResolveMessage(request->Send());
  return std::make_shared<TDvEWSResolutionSet>(message ? message->ElementByName("ResolutionSet")
                                                       : nullptr);
}

bool TDvEWSCustomSession::ResolveName(const std::shared_ptr<IDvEWSRecipient>& recipient,
                                      bool raiseError) {
  CheckActive();
  auto request = CreateRequest(nullptr, "m:ResolveNames", {});
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("ReturnFullContactData", "false");
  const std::string address = recipient->GetEmailAddress();
  op->AddElement("m:UnresolvedEntry")
      ->SetAsString(address.empty() ? recipient->GetName() : address);
  DvDOMElementPtr message = ResolveMessage(request->Send());
  if (!message)
    throw EEWSException("ErrorInvalidServerResponse",
                        "The response holds no ResolveNamesResponseMessage!", 0);
  const std::string responseClass = message->GetAttribute("ResponseClass");
  DvDOMElementPtr mailbox;
  if (responseClass == "Success") {
    mailbox = message->SelectSingleElement("ResolutionSet/Resolution/Mailbox");
  } else if (responseClass == "Warning") {
    mailbox =
        message->SelectSingleElement("ResolutionSet/Resolution/Mailbox[./MailboxType=\"Contact\"]");
    if (!mailbox) mailbox = message->SelectSingleElement("ResolutionSet/Resolution/Mailbox[0]");
  }
  if (!mailbox) {
    const bool complete = !recipient->GetRoutingType().empty() && !address.empty();
    if (!complete && raiseError) CheckResponseError(message);
    return complete;
  }
  recipient->SetName(ChildText(mailbox, "Name"));
  const std::string routingType = ChildText(mailbox, "RoutingType");
  recipient->SetRoutingType(routingType);
  recipient->SetEmailAddress(ChildText(mailbox, "EmailAddress"));
  TMailboxType type = TMailboxType::mtUnknown;
  if (DvTryXMLToEnum(ChildText(mailbox, "MailboxType"), type)) recipient->SetMailboxType(type);
  if (DvDOMElementPtr itemId = mailbox->ElementByName("ItemId"))
    recipient->SetItemId(TItemId(itemId->GetAttribute("Id"), itemId->GetAttribute("ChangeKey")));
  else
    recipient->SetItemId(TItemId(routingType + ":" + recipient->GetEmailAddress(), "OneOff"));
  return true;
}

bool TDvEWSCustomSession::ResolveNames(const std::shared_ptr<IDvEWSRecipients>& recipients,
                                       bool raiseError) {
  for (int i = 0; i < recipients->Count(); ++i)
    if (!ResolveName(recipients->GetRecipient(i), raiseError)) return false;
  return true;
}

std::shared_ptr<IDvEWSRecipients> TDvEWSCustomSession::CreateRecipients() {
  DvDOMDocumentPtr document = DvCreateDOM();
  DvDOMElementPtr root = document->CreateDocumentElement("t:Resolution");
  root->SetAttribute("xmlns:t", DvSOAPNS::EWSTypes);
  return std::make_shared<TDvEWSRecipients>(root, "Mailbox", GetServerVersion());
}

}  // namespace dv
