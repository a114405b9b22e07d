// Items: load, demand loads, change tracking and save.
#include "uDvEWSItem.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <sstream>

#include "DvHTTP.h"
#include "DvUtils.h"
#include "uDvEWS.h"
#include "uDvEWSCalendar.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMessageExContacts.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSProps.h"

namespace dv {

namespace {

const char* const kNoItemId = "There was no ItemId in the SOAP Response!";

DvDOMElementPtr FindDescendant(const DvDOMElementPtr& element, std::string_view localName) {
  if (!element) return nullptr;
  const int n = element->ElementCount();
  for (int i = 0; i < n; ++i) {
    DvDOMElementPtr child = element->GetElement(i);
    if (child->GetLocalName() == localName) return child;
    if (DvDOMElementPtr found = FindDescendant(child, localName)) return found;
  }
  return nullptr;
}

void CopyAttributes(const DvDOMElementPtr& from, const DvDOMElementPtr& to) {
  DvDOMAttributeListPtr attrs = from->GetAttributes();
  for (int i = 0; i < attrs->Count(); ++i) {
    TDvDOMAttribute a = attrs->GetItem(i);
    if (a.Name.rfind("xmlns", 0) == 0) continue;
    to->SetAttribute(a.Name, DvXMLSanitize(a.Value));
  }
}

// Copies the content of an element: its child elements when it has some, else its text. What
// the application set was checked when it was set; what came from the server is copied as
// tolerantly as it was read.
void CopyContent(const DvDOMElementPtr& from, const DvDOMElementPtr& to) {
  CopyAttributes(from, to);
  const int n = from->ElementCount();
  if (n > 0) {
    for (int i = 0; i < n; ++i)
      to->AppendCopy(from->GetElement(i));
  } else {
    to->SetAsString(DvXMLSanitize(from->GetAsString()));
  }
}

// The single item element of a GetItem response message.
DvDOMElementPtr SingleItem(const DvDOMElementPtr& message) {
  DvDOMElementPtr items = message->ElementByName("Items");
  if (!items || items->ElementCount() != 1) throw EEWSException("ErrorItemNotFound", kNoItemId, 0);
  return items->GetElement(0);
}

// The sixteen distinguished property sets by GUID.
const char* DistinguishedSetName(const TGUID& guid) {
  struct Entry {
    const char* Guid;
    const char* Name;
  };
  static const Entry sets[] = {
      {"{00062002-0000-0000-C000-000000000046}", "Appointment"},
      {"{00062003-0000-0000-C000-000000000046}", "Task"},
      {"{00062004-0000-0000-C000-000000000046}", "Address"},
      {"{00062008-0000-0000-C000-000000000046}", "Common"},
      {"{0006200A-0000-0000-C000-000000000046}", "Log"},
      {"{0006200E-0000-0000-C000-000000000046}", "Note"},
      {"{00062040-0000-0000-C000-000000000046}", "Sharing"},
      {"{00062041-0000-0000-C000-000000000046}", "PostRSS"},
      {"{41F28F13-83F4-4114-A584-EEDB5A6B0BFF}", "Message"},
      {"{96357F7F-59E1-47D0-99A7-46515C183B54}", "Attachment"},
      {"{11000E07-B51B-40D6-AF21-CAA85EDAB1D0}", "CalendarAssistant"},
      {"{4442858E-A9E3-4E80-B900-317A210CC15B}", "UnifiedMessaging"},
      {"{6ED8DA90-450B-101B-98DA-00AA003F1305}", "Meeting"},
      {"{71035549-0739-4DCB-9163-00F0580DBBDF}", "AirSync"},
      {"{00020329-0000-0000-C000-000000000046}", "PublicStrings"},
      {"{00020386-0000-0000-C000-000000000046}", "InternetHeaders"},
  };
  const std::string text = DvGUIDToString(guid);
  for (const Entry& e : sets)
    if (DvSameText(text, e.Guid)) return e.Name;
  return nullptr;
}

// Does an ExtendedFieldURI element name the definition? `distinguishedFallback` compares the
// distinguished set name instead of the GUID of a set that has one.
bool FieldURIMatches(const DvDOMElementPtr& uri, const TDvEWSPropDef& def,
                     bool distinguishedFallback) {
  if (def.PropertyTag != 0)
    return uri->GetAttribute("PropertyTag") == "0x" + PropTagToHex(def.PropertyTag);
  if (!def.DistinguishedPropertySetId.empty()) {
    if (uri->GetAttribute("DistinguishedPropertySetId") != def.DistinguishedPropertySetId)
      return false;
  } else if (def.PropertySetId != nullptr) {
    const char* dname = distinguishedFallback ? DistinguishedSetName(*def.PropertySetId) : nullptr;
    if (dname != nullptr) {
      if (uri->GetAttribute("DistinguishedPropertySetId") != dname) return false;
    } else if (!DvSameText(uri->GetAttribute("PropertySetId"),
                           DvGUIDToString(*def.PropertySetId, false))) {
      return false;
    }
  }
  if (def.PropKind == TDvEWSPropKind::pkName) return uri->GetAttribute("PropertyName") == def.Name;
  return uri->GetAttribute("PropertyId") == std::to_string(def.Id);
}

DvDOMElementPtr FindExtended(const DvDOMElementPtr& item, const TDvEWSPropDef& def,
                             bool distinguishedFallback) {
  const int n = item->ElementCount();
  for (int i = 0; i < n; ++i) {
    DvDOMElementPtr e = item->GetElement(i);
    if (e->GetLocalName() != "ExtendedProperty") continue;
    DvDOMElementPtr uri = e->ElementByName("ExtendedFieldURI");
    if (uri && FieldURIMatches(uri, def, distinguishedFallback)) return e;
  }
  return nullptr;
}

// Forwards the attachment list's requests through an item's creator chain.
class TItemSessionLink : public IDvEWSSession {
 public:
  explicit TItemSessionLink(std::weak_ptr<TDvEWSObject> item) : FItem(std::move(item)) {}
  std::string GetServiceURL() const override { return Target()->Session().GetServiceURL(); }
  const TDvCredentials& GetCredentials() const override {
    return Target()->Session().GetCredentials();
  }
  TServerVersion GetServerVersion() const override {
    return Target()->Session().GetServerVersion();
  }
  std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool share) override {
    return Target()->CreateHTTPClient(share);
  }
  std::shared_ptr<TDvSOAPClient> CreateSOAPClient(
      const std::shared_ptr<IDvHTTPClient>& client) override {
    return Target()->CreateSOAPClient(client);
  }
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>& client,
                                                const std::string& operation,
                                                const std::string& responseName) override {
    return Target()->CreateRequest(client, operation, responseName);
  }
  void CheckResponseError(const std::shared_ptr<IDvDOMElement>& message) override {
    Target()->CheckResponseError(message);
  }

 private:
  // The item, held by the caller's full expression for the duration of one forwarded call. The
  // link never keeps the item alive beyond that: the item owns the link.
  std::shared_ptr<TDvEWSObject> Target() const {
    std::shared_ptr<TDvEWSObject> item = FItem.lock();
    if (!item) throw Exception("There is no active EWS Session!");
    return item;
  }
  std::weak_ptr<TDvEWSObject> FItem;
};

}  // namespace

std::string DvEWSSaveOptionText(TDvEWSSaveOption option) {
  switch (option) {
    case TDvEWSSaveOption::soNeverOverwrite:
      return "NeverOverwrite";
    case TDvEWSSaveOption::soAutoResolve:
      return "AutoResolve";
    case TDvEWSSaveOption::soAlwaysOverwrite:
      return "AlwaysOverwrite";
  }
  return "AutoResolve";
}

std::string DvEWSItemTypeElementName(TItemType type) {
  switch (type) {
    case TItemType::tItem:
      return "Item";
    case TItemType::tMessage:
      return "Message";
    case TItemType::tCalendarItem:
      return "CalendarItem";
    case TItemType::tContact:
      return "Contact";
    case TItemType::tDistributionList:
      return "DistributionList";
    case TItemType::tMeetingMessage:
      return "MeetingMessage";
    case TItemType::tMeetingRequest:
      return "MeetingRequest";
    case TItemType::tMeetingResponse:
      return "MeetingResponse";
    case TItemType::tMeetingCancellation:
      return "MeetingCancellation";
    case TItemType::tTask:
      return "Task";
    case TItemType::tPostItem:
      return "PostItem";
    case TItemType::tReplyToItem:
      return "ReplyToItem";
    case TItemType::tReplyAllToItem:
      return "ReplyAllToItem";
    case TItemType::tForwardItem:
      return "ForwardItem";
  }
  return "Item";
}

DvEWSItemPtr DvEWSCreateItemObject(TDvEWSObject& owner, TItemType type, const TItemId& id) {
  if (type == TItemType::tMessage) return DvEWSNewItem<TDvEWSEMail>(id, &owner);
  if (DvEWSIsCalendarKind(type)) {
    auto item = DvEWSMakeCalendarObject(&owner, type);
    item->Init(id);
    return item;
  }
  if (auto item = DvEWSNewContactsKindItem(owner, type, id)) return item;
  return DvEWSNewItem<TDvEWSItem>(id, &owner, type);
}

DvEWSItemPtr DvEWSCreateLoadedItemObject(TDvEWSObject& owner, const DvDOMDocumentPtr& document,
                                         const DvDOMElementPtr& element) {
  const TItemType type = DvEWSItemTypeOfElement(element->GetLocalName());
  if (type == TItemType::tMessage) {
    auto item = std::make_shared<TDvEWSEMail>(&owner);
    item->InitLoaded(document, element);
    return item;
  }
  if (DvEWSIsCalendarKind(type)) {
    auto item = DvEWSMakeCalendarObject(&owner, type);
    item->InitLoaded(document, element);
    return item;
  }
  if (auto item = DvEWSLoadedContactsKindItem(owner, type, document, element)) return item;
  auto item = std::make_shared<TDvEWSItem>(&owner, type);
  item->InitLoaded(document, element);
  return item;
}

// ---- TDvEWSItemCore ----

TDvEWSItemCore::TDvEWSItemCore(TDvComponent* owner) : TDvEWSPropObjectBase(owner, true) {}

TDvEWSItemCore::~TDvEWSItemCore() {
  if (FCurrentData) FCurrentData->SetOnMissingElement(nullptr);
  FCategories.reset();
  FAttachments.reset();
}

void TDvEWSItemCore::Init(const TItemId& itemId) {
  FSessionLink = std::make_shared<TItemSessionLink>(weak_from_this());
  if (!itemId.Id.empty())
    ReloadItem(itemId);
  else
    CreateNew();
}

void TDvEWSItemCore::InitLoaded(const DvDOMDocumentPtr& document, const DvDOMElementPtr& element) {
  FSessionLink = std::make_shared<TItemSessionLink>(weak_from_this());
  FNewItem = false;
  FHeldDocument = document;
  SetPropData(element);
}

void TDvEWSItemCore::CreateNew() {
  FNewItem = true;
  FPendingRequest = CreateRequest(nullptr, "m:CreateItem", "m:CreateItemResponse");
  FHeldDocument = FPendingRequest->GetDocument();
  DvDOMElementPtr op = FPendingRequest->GetOperation();
  const std::string name = DvEWSItemTypeElementName(GetItemType());
  op->AddElement("m:Items")->AddElement("t:" + name);
  DvDOMElementPtr element = FHeldDocument->GetDocumentElement()->SelectSingleElement(
      "/envelope/body/createitem/items/" + name, {});
  if (!element) element = op->ElementByName("Items")->GetElement(0);
  SetPropData(element);
  if (auto* folder = dynamic_cast<TDvEWSFolder*>(GetCreatedBy())) {
    const TItemId fid = folder->GetID();
    DvDOMElementPtr first = op->GetElement(0);
    DvDOMElementPtr saved = op->InsertElement("m:SavedItemFolderId", first, true);
    DvDOMElementPtr f = saved->AddElement("t:FolderId");
    f->SetAttribute("Id", fid.Id);
    f->SetAttribute("ChangeKey", fid.ChangeKey);
  }
}

TItemId TDvEWSItemCore::GetID() {
  if (!FItemElement) return {};
  DvDOMElementPtr id = FItemElement->ElementByName("ItemId");
  if (!id) return {};
  return TItemId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey"));
}

void TDvEWSItemCore::SetId(const TItemId& id) {
  if (!FCurrentData) return;
  DvDOMElementPtr node = FCurrentData->GetNode("ItemId");
  node->SetAttribute("Id", id.Id);
  node->SetAttribute("ChangeKey", id.ChangeKey);
}

void TDvEWSItemCore::SetPropData(const DvDOMElementPtr& element) {
  if (FCurrentData) FCurrentData->SetOnMissingElement(nullptr);
  TDvEWSPropObjectBase::SetPropData(element);
  FItemElement = element;
  FCurrentData->SetOnMissingElement([this](TDvXMLSchemaElement&, const TDvXMLSchemaInfo& info) {
    return OnMissingElement(info);
  });
}

bool TDvEWSItemCore::OnMissingElement(const TDvXMLSchemaInfo& info) {
  if (FLoading || FNewItem || info.NodeKind != kDvSchemaElementNode) return false;
  if (GetID().Id.empty()) return false;
  std::string_view name = info.LocalName;
  const bool bagValue = name.starts_with(kDvEWSPropDefPrefix);
  if (FLoadPending) {
    // A value the save did not send: the server computed it, so load everything once. Values of
    // the property bag are not among all properties and are still asked for below.
    EnsureLoaded();
    if (!bagValue) return true;
  }
  if (bagValue) {
    // A value of the property bag, by definition name: an extended property is asked for by
    // its ExtendedFieldURI, an element by its own field URI. True once asked, so an answer
    // without the value leaves it empty rather than failing.
    PDvEWSPropDef def = GetPropDef(name.substr(kDvEWSPropDefPrefix.size()), false);
    if (def == nullptr) return false;
    if (def->Extended) {
      GetAdditionalProperties({std::string(name)});
      return true;
    }
    const std::string_view node = def->NodeName;
    const std::string element(node.substr(0, node.find('/')));
    if (FieldURIOfElement(element).empty()) return false;
    GetAdditionalProperties({element});
    return true;
  }
  // Only elements the server can be asked for by field URI are loaded on demand.
  if (FieldURIOfElement(name).empty()) return false;
  return GetAdditionalProperties({std::string(name)});
}

std::string TDvEWSItemCore::FieldURIOfElement(std::string_view element) {
  // The kind's own prefix first: some names (IsResponseRequested, Culture, …) exist under
  // several, and the item's kind decides which one the server expects.
  const char* own = nullptr;
  switch (GetItemType()) {
    case TItemType::tMessage:
      own = "message:";
      break;
    case TItemType::tCalendarItem:
      own = "calendar:";
      break;
    case TItemType::tContact:
      own = "contacts:";
      break;
    case TItemType::tTask:
      own = "task:";
      break;
    case TItemType::tDistributionList:
      own = "distributionlist:";
      break;
    default:
      break;
  }
  const TDvEnumTypeInfo& uris = DvEnumTypeInfo(TUnindexedFieldURI{});
  int ordinal = 0;
  for (const char* prefix : {"item:", own, "message:", "calendar:", "contacts:", "task:",
                             "distributionlist:", "meeting:", "meetingRequest:", "postitem:"}) {
    if (prefix == nullptr) continue;
    std::string uri = prefix + std::string(element);
    if (uris.FromXML(uri, ordinal)) return uri;
  }
  return {};
}

TEwsItem& TDvEWSItemCore::Item() {
  if (!FCurrentData) throw Exception("The item has no data!");
  return static_cast<TEwsItem&>(*FCurrentData);
}

TServerVersion TDvEWSItemCore::Version() const {
  return Session().GetServerVersion();
}

void TDvEWSItemCore::CheckVersion(TServerVersion required, const char* feature) const {
  EwsCheckVersion(required, Version(), feature);
}

DvDOMElementPtr TDvEWSItemCore::SendChecked(const DvSOAPRequestPtr& request,
                                            const std::string& path) {
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(path);
  if (!message)
    throw EEWSException("ErrorInvalidServerResponse", "The response holds no response message!", 0);
  CheckResponseError(message);
  return message;
}

void TDvEWSItemCore::AddItemId(const DvDOMElementPtr& parent, const TItemId& id,
                               bool alwaysChangeKey) {
  DvDOMElementPtr e = parent->AddElement("t:ItemId");
  e->SetAttribute("Id", id.Id);
  if (alwaysChangeKey || Version() >= TServerVersion::Exchange2013_SP1)
    e->SetAttribute("ChangeKey", id.ChangeKey);
}

void TDvEWSItemCore::FreeWrappers() {
  FAttachments.reset();
  FCategories.reset();
}

DvDOMElementPtr TDvEWSItemCore::FetchAll(const TItemId& itemId, DvSOAPResponsePtr& response) {
  auto request = CreateRequest(nullptr, "m:GetItem", "");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:ItemShape")->AddElement("t:BaseShape")->SetAsString("AllProperties");
  AddItemId(op->AddElement("m:ItemIds"), itemId, false);
  response = request->Send();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/GetItemResponse/ResponseMessages/GetItemResponseMessage");
  if (!message) throw EEWSException("ErrorItemNotFound", kNoItemId, 0);
  CheckResponseError(message);
  return SingleItem(message);
}

void TDvEWSItemCore::ReloadItem(const TItemId& itemId) {
  FreeWrappers();
  FNewItem = false;
  FLoadPending = false;
  DvSOAPResponsePtr response;
  DvDOMElementPtr item = FetchAll(itemId, response);
  FPendingRequest.reset();
  FHeldDocument = response->GetDocument();
  SetPropData(item);
}

void TDvEWSItemCore::EnsureLoaded() {
  if (!FLoadPending) return;
  DvSOAPResponsePtr response;
  DvDOMElementPtr server = FetchAll(GetID(), response);
  FLoadPending = false;
  // The server's values go into the snapshot; the current data takes them where it holds no
  // change of its own, so a change made since the save stays a change.
  FLoading = true;
  try {
    DvDOMElementPtr current = FCurrentData->AsElement();
    DvDOMElementPtr original = FSnapshot->AsElement();
    const int n = server->ElementCount();
    for (int i = 0; i < n; ++i) {
      DvDOMElementPtr source = server->GetElement(i);
      const std::string name = source->GetLocalName();
      if (name == "ExtendedProperty") continue;  // kept as saved: AllProperties brings none
      DvDOMElementPtr now = current->ElementByName(name);
      DvDOMElementPtr was = original->ElementByName(name);
      const bool unchanged = !now || !was || now->GetXML() == was->GetXML();
      if (unchanged) {
        if (!now && FCurrentData->FindSchemaInfo(name) != nullptr)
          now = FCurrentData->GetNode(name);
        if (now) {
          now->Clear();
          CopyContent(source, now);
        } else {
          current->AppendCopy(source);
        }
      }
      if (!was && FSnapshot->FindSchemaInfo(name) != nullptr) was = FSnapshot->GetNode(name);
      if (was) {
        was->Clear();
        CopyContent(source, was);
      } else {
        original->AppendCopy(source);
      }
    }
  } catch (...) {
    FLoading = false;
    throw;
  }
  FLoading = false;
}

bool TDvEWSItemCore::GetAdditionalProperties(const std::vector<std::string>& names) {
  const TItemId id = GetID();
  if (id.Id.empty() || names.empty()) return false;
  auto request = CreateRequest(nullptr, "m:GetItem", "");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr shape = op->AddElement("m:ItemShape");
  shape->AddElement("t:BaseShape")->SetAsString("IdOnly");
  DvDOMElementPtr additional = shape->AddElement("t:AdditionalProperties");
  std::vector<PDvEWSPropDef> defs(names.size(), nullptr);
  std::vector<std::string> fields(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (name.rfind(kDvEWSPropDefPrefix, 0) == 0) {
      const std::string rest = name.substr(kDvEWSPropDefPrefix.size());
      PDvEWSPropDef def = GetPropDef(rest, false);
      if (def == nullptr || !def->Extended) def = GetPropDef("M" + rest, false);
      if (def != nullptr && def->Extended) {
        WriteExtendedFieldURI(def, additional);
        defs[i] = def;
        continue;
      }
      fields[i] = rest;
    } else {
      const std::size_t colon = name.find(':');
      fields[i] = colon == std::string::npos ? name : name.substr(colon + 1);
    }
    std::string uri = FieldURIOfElement(fields[i]);
    // An element without a field URI of its own (ExtendedProperty, say) cannot be asked for by
    // name; the item: form makes the server say so.
    if (uri.empty()) uri = "item:" + fields[i];
    additional->AddElement("t:FieldURI")->SetAttribute("FieldURI", uri);
  }
  AddItemId(op->AddElement("m:ItemIds"), id, false);
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/GetItemResponse/ResponseMessages/GetItemResponseMessage");
  if (!message) throw EEWSException("ErrorItemNotFound", kNoItemId, 0);
  CheckResponseError(message);
  DvDOMElementPtr returned = SingleItem(message);

  // Merge into the current data and the snapshot, so loaded values are no changes.
  bool merged = false;
  FLoading = true;
  try {
    for (TDvXMLSchemaElement* target : {FCurrentData.get(), FSnapshot.get()}) {
      if (target == nullptr) continue;
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (defs[i] != nullptr) {
          DvDOMElementPtr source = FindExtended(returned, *defs[i], false);
          if (!source) source = FindExtended(returned, *defs[i], true);
          if (!source) continue;
          DvDOMElementPtr existing = FindExtended(target->AsElement(), *defs[i], false);
          if (existing) target->AsElement()->RemoveElement(existing);
          target->AsElement()->AppendCopy(source);
          merged = true;
          continue;
        }
        DvDOMElementPtr source = returned->ElementByName(fields[i]);
        if (!source) continue;
        DvDOMElementPtr dest;
        if (target->FindSchemaInfo(fields[i]) != nullptr)
          dest = target->GetNode(fields[i]);
        else
          dest = target->AsElement()->AddElement(source->GetQualifiedName());
        dest->Clear();
        CopyContent(source, dest);
        merged = true;
      }
    }
  } catch (...) {
    FLoading = false;
    throw;
  }
  FLoading = false;
  return merged;
}

// ---- Saving ----

void TDvEWSItemCore::SaveChanges(TDvEWSSaveOption option) {
  // A new item that already has an id was created by an earlier save whose later step failed:
  // it is updated now, never created twice.
  bool fast = false;
  if (FNewItem && FPendingRequest && GetID().Id.empty() &&
      FPendingRequest->GetOperation()->GetLocalName() == "CreateItem") {
    fast = CanJoinBatchCreate();
    SaveNew(option);
    // Sent without a copy the server gives no id: there is nothing to read back.
    if (GetID().Id.empty()) return;
    // What was sent is now the server's state, so a retry sends only what changes after this.
    TakeSnapshot();
  } else {
    // A pending load is not needed first: changes are computed against the values saved, and
    // the reload below brings the server's.
    SaveUpdate(option);
  }
  const TItemType type = GetItemType();
  if (type != TItemType::tReplyToItem && type != TItemType::tReplyAllToItem &&
      type != TItemType::tForwardItem)
    SaveAttachments();
  if (fast)
    BecomeSaved();
  else
    ReloadItem(GetID());
}

bool TDvEWSItemCore::CanJoinBatchCreate() {
  if (!FNewItem || !FPendingRequest || !FItemElement ||
      FPendingRequest->GetOperation()->GetLocalName() != "CreateItem")
    return false;
  const TItemType type = GetItemType();
  // Calendar items carry their send mode on the request, which a shared CreateItem cannot.
  if (type == TItemType::tReplyToItem || type == TItemType::tReplyAllToItem ||
      type == TItemType::tForwardItem || type == TItemType::tCalendarItem)
    return false;
  if (FAttachments && FAttachments->Count() > 0) return false;
  if (DvDOMElementPtr a = FItemElement->ElementByName("Attachments"))
    if (a->ElementCount() > 0) return false;
  // An HTML body may carry images that become attachments, and the server rewrites HTML.
  if (DvDOMElementPtr body = FItemElement->ElementByName("Body"))
    if (!DvSameText(body->GetAttribute("BodyType"), "Text")) return false;
  if (Version() < TServerVersion::Exchange2013_SP1 &&
      FItemElement->ElementByName("ExtendedProperty"))
    return false;
  return true;
}

void TDvEWSItemCore::PruneForCreate(const DvDOMElementPtr& item, bool dropExtended,
                                    bool& extendedRemoved) {
  for (int j = item->ElementCount() - 1; j >= 0; --j) {
    DvDOMElementPtr child = item->GetElement(j);
    const std::string name = child->GetLocalName();
    const bool empty =
        child->ElementCount() == 0 && child->AttributeCount() == 0 && child->GetAsString().empty();
    if (name == "Attachments" || empty || (dropExtended && name == "ExtendedProperty")) {
      if (name == "ExtendedProperty") extendedRemoved = true;
      item->RemoveElement(child);
    }
  }
}

void TDvEWSItemCore::AppendToBatchCreate(const DvDOMElementPtr& items) {
  DvDOMElementPtr copy = items->AppendCopy(FItemElement);
  bool extendedRemoved = false;
  PruneForCreate(copy, false, extendedRemoved);
}

void TDvEWSItemCore::BatchCreated(const TItemId& id) {
  SetId(id);
  BecomeSaved();
}

void TDvEWSItemCore::BecomeSaved() {
  // The held element becomes the loaded data: what was sent is what the server stored.
  bool extendedRemoved = false;
  PruneForCreate(FItemElement, false, extendedRemoved);
  FreeWrappers();
  FNewItem = false;
  FPendingRequest.reset();
  SetPropData(FItemElement);
  FLoadPending = true;
}

DvSOAPRequestPtr TDvEWSItemCore::NewUpdateRequest(TDvEWSSaveOption option,
                                                  DvDOMElementPtr& updates) {
  auto request = CreateRequest(nullptr, "m:UpdateItem", "m:UpdateItemResponse");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("MessageDisposition", "SaveOnly");
  op->SetAttribute("ConflictResolution", DvEWSSaveOptionText(option));
  DvDOMElementPtr change = op->AddElement("m:ItemChanges")->AddElement("t:ItemChange");
  AddItemId(change, GetID(), true);
  updates = change->AddElement("t:Updates");
  return request;
}

namespace {

// The t:SetItemField wrapper of a changed value, with a copy of its current element.
void AddSetItemField(TDvEWSProperty& p, const DvDOMElementPtr& updates) {
  DvDOMElementPtr value = p.GetValueNode();
  if (!value) return;
  DvDOMElementPtr set = updates->AddElement("t:SetItemField");
  p.AddEWS(set);
  // The wrapper follows the value's kind: a value beside an ExtendedFieldURI is extended, a keyed
  // entry of a dictionary is indexed, anything else a plain field.
  TDvEWSFieldDefType kind = p.GetURIType();
  if (value->GetParent() && value->GetParent()->GetLocalName() == "ExtendedProperty")
    kind = TDvEWSFieldDefType::fdtExtendedField;
  else if (!p.GetFieldIndex().empty() || value->HasAttribute("Key"))
    kind = TDvEWSFieldDefType::fdtIndexedField;
  switch (kind) {
    case TDvEWSFieldDefType::fdtExtendedField: {
      DvDOMElementPtr extended = value->GetParent();
      DvDOMElementPtr item = extended->GetParent();
      DvDOMElementPtr e =
          set->AddElement("t:" + item->GetLocalName())->AddElement("t:ExtendedProperty");
      p.AddEWS(e);
      DvDOMElementPtr v = e->AddElement("t:Value");
      CopyContent(value, v);
      break;
    }
    case TDvEWSFieldDefType::fdtIndexedField: {
      DvDOMElementPtr dictionary = value->GetParent();
      DvDOMElementPtr item = dictionary->GetParent();
      DvDOMElementPtr e = set->AddElement("t:" + item->GetLocalName())
                              ->AddElement("t:" + dictionary->GetLocalName())
                              ->AddElement("t:" + value->GetLocalName());
      CopyContent(value, e);
      break;
    }
    case TDvEWSFieldDefType::fdtField: {
      DvDOMElementPtr item = value->GetParent();
      DvDOMElementPtr e =
          set->AddElement("t:" + item->GetLocalName())->AddElement("t:" + value->GetLocalName());
      CopyContent(value, e);
      break;
    }
  }
}

bool IsAttachmentsValue(TDvEWSProperty& p) {
  return p.GetPropDefName() == "PR_ATTACHMENTS" || p.GetPath() == "Attachments";
}

}  // namespace

void TDvEWSItemCore::SaveUpdate(TDvEWSSaveOption option) {
  DvDOMElementPtr updates;
  auto request = NewUpdateRequest(option, updates);
  TDvEWSProperties& props = GetProperties();
  const int n = props.Count();
  FLoading = true;  // values already loaded are compared as they stand
  try {
    for (int i = 0; i < n; ++i) {
      TDvEWSProperty* p = props.At(i);
      switch (p->GetUpdateStatus()) {
        case TDvEWSDataUpdateStatus::dusModified:
        case TDvEWSDataUpdateStatus::dusInserted:
          if (!IsAttachmentsValue(*p)) AddSetItemField(*p, updates);
          break;
        case TDvEWSDataUpdateStatus::dusDeleted:
          p->AddEWS(updates->AddElement("t:DeleteItemField"));
          break;
        case TDvEWSDataUpdateStatus::dusUnmodified:
          break;
      }
    }
  } catch (...) {
    FLoading = false;
    throw;
  }
  FLoading = false;
  // The schema requires at least one change in t:Updates, and servers refuse an empty list: with
  // nothing changed (an unchanged item, or only attachment changes) no UpdateItem is sent.
  if (updates->ElementCount() == 0) return;
  BeforeSaveChanges(request);
  DvDOMElementPtr message = SendChecked(
      request, "/Envelope/Body/UpdateItemResponse/ResponseMessages/UpdateItemResponseMessage");
  DvDOMElementPtr id = FindDescendant(message, "ItemId");
  if (id) SetId(TItemId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey")));
}

void TDvEWSItemCore::SaveNew(TDvEWSSaveOption option) {
  // A copy is sent, so a failure leaves the pending request as it was.
  auto copy = CreateRequest(nullptr, FPendingRequest->GetOperation()->GetQualifiedName(),
                            FPendingRequest->GetResponseName());
  DvDOMElementPtr op = copy->GetOperation();
  DvDOMElementPtr held = FPendingRequest->GetOperation();
  CopyAttributes(held, op);
  for (int i = 0; i < held->ElementCount(); ++i)
    op->AppendCopy(held->GetElement(i));
  bool extendedRemoved = false;
  const bool twoStep = Version() < TServerVersion::Exchange2013_SP1;
  if (DvDOMElementPtr items = op->ElementByName("Items")) {
    for (int i = 0; i < items->ElementCount(); ++i)
      PruneForCreate(items->GetElement(i), twoStep, extendedRemoved);
  }
  BeforeSaveChanges(copy);
  DvDOMElementPtr message = SendChecked(
      copy, "/Envelope/Body/m:CreateItemResponse/ResponseMessages/CreateItemResponseMessage");
  DvDOMElementPtr id = FindDescendant(message, "ItemId");
  if (!id) return;  // sent without a saved copy: nothing to read back
  const TItemId newId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey"));
  SetId(newId);
  if (!extendedRemoved) return;

  DvDOMElementPtr updates;
  auto update = NewUpdateRequest(option, updates);
  TDvEWSProperties& props = GetProperties();
  const int n = props.Count();
  for (int i = 0; i < n; ++i) {
    TDvEWSProperty* p = props.At(i);
    if (p->GetURIType() != TDvEWSFieldDefType::fdtExtendedField) continue;
    const auto status = p->GetUpdateStatus();
    if (status == TDvEWSDataUpdateStatus::dusModified ||
        status == TDvEWSDataUpdateStatus::dusInserted)
      AddSetItemField(*p, updates);
  }
  BeforeSaveChanges(update);
  DvDOMElementPtr m2 = SendChecked(
      update, "/Envelope/Body/UpdateItemResponse/ResponseMessages/UpdateItemResponseMessage");
  if (DvDOMElementPtr id2 = FindDescendant(m2, "ItemId"))
    SetId(TItemId(id2->GetAttribute("Id"), id2->GetAttribute("ChangeKey")));
}

void TDvEWSItemCore::TakeSnapshot() {
  DvDOMDocumentPtr document = DvCreateDOM(FItemElement->GetXML());
  FSnapshot.reset();
  FDocument = document;
  FSnapshot = CreateData(FDocument->GetDocumentElement());
}

void TDvEWSItemCore::SaveAttachments() {
  if (!FAttachments) return;  // never touched: nothing changed
  // New and changed attachments are created first and old ones deleted afterwards, so a failure
  // never loses an attachment. Each created attachment takes its new id at once and the snapshot
  // forgets each deleted one, so after a failure the item shows what the server holds and the
  // next save carries on from there.
  std::vector<std::string> deleted;
  DvDOMElementPtr old = FSnapshot ? FSnapshot->FindNode("Attachments") : nullptr;
  if (old) {
    for (int i = 0; i < old->ElementCount(); ++i) {
      DvDOMElementPtr idElement = old->GetElement(i)->ElementByName("AttachmentId");
      if (!idElement) continue;
      const std::string id = idElement->GetAttribute("Id");
      if (!FAttachments->FindAttachment(id)) deleted.push_back(id);
    }
  }
  for (int i = 0; i < FAttachments->Count(); ++i) {
    DvEWSAttachmentPtr a = FAttachments->GetAttachment(i);
    const std::string oldId = a->GetAttachmentId();
    if (!oldId.empty() && !a->GetModified()) continue;
    DvDOMElementPtr element = a->AsElement()->AsElement();
    auto request = CreateRequest(nullptr, "m:CreateAttachment", "m:CreateAttachmentResponse");
    DvDOMElementPtr op = request->GetOperation();
    const TItemId id = GetID();
    DvDOMElementPtr parent = op->AddElement("m:ParentItemId");
    parent->SetAttribute("Id", id.Id);
    parent->SetAttribute("ChangeKey", id.ChangeKey);
    DvDOMElementPtr copy =
        op->AddElement("m:Attachments")->AddElement("t:" + element->GetLocalName());
    for (int j = 0; j < element->ElementCount(); ++j)
      if (element->GetElement(j)->GetLocalName() != "AttachmentId")
        copy->AppendCopy(element->GetElement(j));
    DvDOMElementPtr message = SendChecked(request,
                                          "/Envelope/Body/m:CreateAttachmentResponse/"
                                          "ResponseMessages/CreateAttachmentResponseMessage");
    if (!oldId.empty()) deleted.push_back(oldId);  // replaced: the old one goes now
    DvDOMElementPtr newId = FindDescendant(message, "AttachmentId");
    if (!newId) continue;
    DvDOMElementPtr target = element->ElementByName("AttachmentId");
    if (!target) {
      target = element->ElementCount() > 0
                   ? element->InsertElement("t:AttachmentId", element->GetElement(0), true)
                   : element->AddElement("t:AttachmentId");
    }
    for (const char* name : {"Id", "RootItemId", "RootItemChangeKey"})
      if (newId->HasAttribute(name)) target->SetAttribute(name, newId->GetAttribute(name));
    SetId(TItemId(newId->GetAttribute("RootItemId"), newId->GetAttribute("RootItemChangeKey")));
  }
  if (!deleted.empty()) {
    auto request = CreateRequest(nullptr, "m:DeleteAttachment", "m:DeleteAttachmentResponse");
    DvDOMElementPtr ids = request->GetOperation()->AddElement("m:AttachmentIds");
    for (const std::string& id : deleted)
      ids->AddElement("t:AttachmentId")->SetAttribute("Id", id);
    DvSOAPResponsePtr response = request->Send();
    DvDOMElementPtr messages = response->GetDocument()->SelectSingleElement(
        "/Envelope/Body/m:DeleteAttachmentResponse/ResponseMessages");
    if (!messages)
      throw EEWSException("ErrorInvalidServerResponse", "The response holds no response message!",
                          0);
    // Every answer first (the snapshot forgets what is gone), then the first failure raises.
    std::exception_ptr failure;
    for (int i = 0; i < messages->ElementCount(); ++i) {
      try {
        CheckResponseError(messages->GetElement(i));
      } catch (...) {
        if (!failure) failure = std::current_exception();
        continue;
      }
      if (DvDOMElementPtr root = FindDescendant(messages->GetElement(i), "RootItemId"))
        SetId(TItemId(root->GetAttribute("RootItemId"), root->GetAttribute("RootItemChangeKey")));
      if (!old || i >= static_cast<int>(deleted.size())) continue;
      for (int j = old->ElementCount() - 1; j >= 0; --j) {
        DvDOMElementPtr idElement = old->GetElement(j)->ElementByName("AttachmentId");
        if (idElement && idElement->GetAttribute("Id") == deleted[i])
          old->RemoveElement(old->GetElement(j));
      }
    }
    if (failure) std::rethrow_exception(failure);
  }
  FAttachments->ClearModified();
}

// ---- Inline images ----

void TDvEWSItemCore::BeforeSaveChanges(const DvSOAPRequestPtr& request) {
  ConvertInlineImages(request);
}

void TDvEWSItemCore::ClearInlineAttachments() {
  TDvEWSAttachments& list = GetAttachments();
  for (int i = list.Count() - 1; i >= 0; --i) {
    DvEWSAttachmentPtr a = list.GetAttachment(i);
    if (a->GetAttachmentType() == TDvEWSAttachmentType::attFile && a->GetIsInline() &&
        a->GetName().rfind("_inlineImg", 0) == 0)
      list.DeleteAttachment(i);
  }
}

void TDvEWSItemCore::ConvertInlineImages(const DvSOAPRequestPtr& request) {
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr body;
  if (op->GetLocalName() == "CreateItem") {
    if (DvDOMElementPtr items = op->ElementByName("Items"))
      if (items->ElementCount() > 0) body = items->GetElement(0)->ElementByName("Body");
  } else if (op->GetLocalName() == "UpdateItem") {
    body = op->SelectSingleElement("ItemChanges/ItemChange/Updates/SetItemField/Message/Body");
  }
  if (!body) return;
  if (!body->HasAttribute("BodyType")) {
    body->GetParent()->RemoveElement(body);
    return;
  }
  if (body->GetAttribute("BodyType") != "HTML") return;
  std::string text = body->GetAsString();
  std::vector<TDvHTMLTag> tags = DvScanHTMLTags(text, "img");
  int n = 0;
  // Replacements are applied from the end so earlier offsets stay valid.
  struct TReplace {
    std::size_t Offset, Length;
    std::string Value;
  };
  std::vector<TReplace> replaces;
  for (const TDvHTMLTag& tag : tags) {
    const TDvHTMLAttribute* src = tag.Find("src");
    if (src == nullptr) continue;
    const std::string& value = src->Value;
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos) continue;
    const std::string scheme = DvLowerCaseAscii(DvTrim(value.substr(0, colon)));
    std::string contentType;
    std::string bytes;
    if (scheme == "data") {
      const std::size_t comma = value.find(',', colon);
      if (comma == std::string::npos) continue;
      std::string meta = value.substr(colon + 1, comma - colon - 1);
      contentType = meta.substr(0, meta.find(';'));
      bytes = DvBase64DecodeToString(value.substr(comma + 1));
    } else if (scheme == "file") {
      std::size_t p = colon + 1;
      while (p < value.size() && value[p] == '/')
        ++p;
      std::string path = value.substr(p);
      if (!path.empty() && path[0] != '/' && (path.size() < 2 || path[1] != ':')) path = "/" + path;
      std::ifstream in(path, std::ios::binary);
      if (!in) continue;
      std::ostringstream content;
      content << in.rdbuf();
      bytes = content.str();
      contentType = DvMimeTypeFromFileName(path);
    } else {
      continue;
    }
    if (n == 0) ClearInlineAttachments();
    const std::string name = "_inlineImg" + std::to_string(n);
    std::istringstream stream(bytes);
    DvEWSFileAttachmentPtr a = GetAttachments().AddAttachment(name, contentType, stream);
    a->SetIsInline(true);
    a->SetContentId(name);
    replaces.push_back({src->ValueOffset, src->ValueLength, "cid:" + name});
    ++n;
  }
  if (replaces.empty()) return;
  for (auto it = replaces.rbegin(); it != replaces.rend(); ++it)
    text.replace(it->Offset, it->Length, it->Value);
  body->SetAsString(text);
  if (FNewItem) {
    if (TEwsBody* own = Item().GetBody()) own->SetValue(text);
  }
}

// ---- MIME content to a file ----

void DvEWSSaveItemMime(TDvEWSObject& requester, const TItemId& itemId, bool withChangeKey,
                       const std::string& fileName) {
  auto request = requester.CreateRequest(nullptr, "m:GetItem", "");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr shape = op->AddElement("m:ItemShape");
  shape->AddElement("t:BaseShape")->SetAsString("IdOnly");
  shape->AddElement("t:AdditionalProperties")
      ->AddElement("t:FieldURI")
      ->SetAttribute("FieldURI", "item:MimeContent");
  DvDOMElementPtr id = op->AddElement("m:ItemIds")->AddElement("t:ItemId");
  id->SetAttribute("Id", itemId.Id);
  if (withChangeKey && !itemId.ChangeKey.empty()) id->SetAttribute("ChangeKey", itemId.ChangeKey);
  DvBinResponsePtr response = request->SendBin();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/GetItemResponse/ResponseMessages/GetItemResponseMessage");
  if (!message) throw EEWSException("ErrorItemNotFound", kNoItemId, 0);
  requester.CheckResponseError(message);
  SingleItem(message);
  std::ostringstream base64;
  base64 << response->GetMimeContent().rdbuf();
  const std::string bytes = DvBase64DecodeToString(base64.str());
  // Written beside the target and renamed into place, so a failed write never leaves half a
  // message under the target's name (nor spoils a file that was there).
  const std::string partial = fileName + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) throw Exception("Cannot create file \"" + fileName + "\"!");
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::remove(partial.c_str());
      throw Exception("Cannot write file \"" + fileName + "\"!");
    }
  }
  if (std::rename(partial.c_str(), fileName.c_str()) != 0) {
    std::remove(partial.c_str());
    throw Exception("Cannot write file \"" + fileName + "\"!");
  }
}

void TDvEWSItemCore::SaveToFile(const std::string& fileName) {
  DvEWSSaveItemMime(*this, GetID(), Version() >= TServerVersion::Exchange2013_SP1, fileName);
}

// ---- Creator chain ----

DvEWSMsgStorePtr TDvEWSItemCore::GetMsgStore() {
  return DvEWSFindMsgStore(GetCreatedBy());
}

DvEWSFolderPtr TDvEWSItemCore::GetParentFolder() {
  TDvComponent* c = GetCreatedBy();
  while (c != nullptr) {
    if (auto* folder = dynamic_cast<TDvEWSFolder*>(c)) {
      auto self = folder->weak_from_this().lock();
      return std::dynamic_pointer_cast<IDvEWSFolder>(self);
    }
    if (dynamic_cast<TDvEWSMsgStore*>(c) != nullptr) break;
    auto* o = dynamic_cast<TDvEWSObject*>(c);
    c = o != nullptr ? o->GetCreatedBy() : nullptr;
  }
  DvEWSMsgStorePtr store = GetMsgStore();
  if (!store) return nullptr;
  return store->GetFolder(GetParentFolderId());
}

// ---- Accessors ----

std::string TDvEWSItemCore::GetSubject() {
  return Item().GetSubject();
}
void TDvEWSItemCore::SetSubject(const std::string& v) {
  Item().SetSubject(v);
}
TEwsBody* TDvEWSItemCore::GetBody() {
  return Item().GetBody();
}
std::string TDvEWSItemCore::GetBodyText() {
  return Item().FindNode("Body") || !FNewItem ? Item().GetBody()->GetValue() : std::string();
}
void TDvEWSItemCore::SetBodyText(const std::string& value) {
  if (value.empty() && !Item().FindNode("Body")) return;
  TEwsBody* body = Item().GetBody();
  body->SetBodyType(DvTrim(value).rfind('<', 0) == 0 ? TBodyType::btHTML : TBodyType::btText);
  body->SetValue(value);
}
TDvEWSBodyText TDvEWSItemCore::GetTextBody() {
  TDvEWSBodyText result;
  TEwsBody* body = nullptr;
  if (FNewItem) {
    if (!Item().FindNode("Body")) return result;
    body = Item().GetBody();
  } else if (Version() >= TServerVersion::Exchange2013) {
    body = Item().GetTextBody();
  } else {
    result.BodyType = TBodyType::btText;
    result.Text = GetProperties().GetItem(MPR_BODY)->GetAsString();
    return result;
  }
  result.BodyType = body->GetBodyType();
  result.Text = body->GetValue();
  return result;
}
TDvEWSStrings& TDvEWSItemCore::GetCategories() {
  if (!FCategories)
    FCategories = std::make_unique<TDvEWSStrings>(Item().GetCategories()->AsElement());
  return *FCategories;
}
TDvEWSAttachments& TDvEWSItemCore::GetAttachments() {
  if (!FAttachments)
    FAttachments = TDvEWSAttachments::Create(FSessionLink, Item().GetAttachments()->AsElement());
  return *FAttachments;
}
TImportanceChoices TDvEWSItemCore::GetImportance() {
  return Item().GetImportance();
}
void TDvEWSItemCore::SetImportance(TImportanceChoices v) {
  Item().SetImportance(v);
}
TSensitivityChoices TDvEWSItemCore::GetSensitivity() {
  return Item().GetSensitivity();
}
void TDvEWSItemCore::SetSensitivity(TSensitivityChoices v) {
  Item().SetSensitivity(v);
}
std::string TDvEWSItemCore::GetItemClass() {
  return Item().GetItemClass();
}
void TDvEWSItemCore::SetItemClass(const std::string& v) {
  Item().SetItemClass(v);
}
std::string TDvEWSItemCore::GetInReplyTo() {
  return Item().GetInReplyTo();
}
void TDvEWSItemCore::SetInReplyTo(const std::string& v) {
  Item().SetInReplyTo(v);
}
std::string TDvEWSItemCore::GetCulture() {
  return Item().GetCulture();
}
void TDvEWSItemCore::SetCulture(const std::string& v) {
  Item().SetCulture(v);
}
bool TDvEWSItemCore::GetReminderIsSet() {
  return Item().GetReminderIsSet();
}
void TDvEWSItemCore::SetReminderIsSet(bool v) {
  Item().SetReminderIsSet(v);
}
TDateTime TDvEWSItemCore::GetReminderDueBy() {
  return Item().GetReminderDueBy();
}
void TDvEWSItemCore::SetReminderDueBy(TDateTime v) {
  Item().SetReminderDueBy(v);
}
std::string TDvEWSItemCore::GetReminderMinutesBeforeStart() {
  return Item().GetReminderMinutesBeforeStart();
}
void TDvEWSItemCore::SetReminderMinutesBeforeStart(const std::string& v) {
  Item().SetReminderMinutesBeforeStart(v);
}
TDateTime TDvEWSItemCore::GetDateTimeCreated() {
  return Item().GetDateTimeCreated();
}
TDateTime TDvEWSItemCore::GetDateTimeReceived() {
  return Item().GetDateTimeReceived();
}
TDateTime TDvEWSItemCore::GetDateTimeSent() {
  return Item().GetDateTimeSent();
}
std::string TDvEWSItemCore::GetDisplayCc() {
  return Item().GetDisplayCc();
}
std::string TDvEWSItemCore::GetDisplayTo() {
  return Item().GetDisplayTo();
}
bool TDvEWSItemCore::GetHasAttachments() {
  return Item().GetHasAttachments();
}
bool TDvEWSItemCore::GetIsDraft() {
  return Item().GetIsDraft();
}
bool TDvEWSItemCore::GetIsFromMe() {
  return Item().GetIsFromMe();
}
bool TDvEWSItemCore::GetIsResend() {
  return Item().GetIsResend();
}
bool TDvEWSItemCore::GetIsSubmitted() {
  return Item().GetIsSubmitted();
}
bool TDvEWSItemCore::GetIsUnmodified() {
  return Item().GetIsUnmodified();
}
std::string TDvEWSItemCore::GetLastModifiedName() {
  return Item().GetLastModifiedName();
}
TDateTime TDvEWSItemCore::GetLastModifiedTime() {
  return Item().GetLastModifiedTime();
}
std::int32_t TDvEWSItemCore::GetSize() {
  return Item().GetSize();
}
TItemId TDvEWSItemCore::GetParentFolderId() {
  TItemId id;
  id.Assign(*Item().GetParentFolderId());
  return id;
}
TEwsMimeContent* TDvEWSItemCore::GetMimeContent() {
  return Item().GetMimeContent();
}
TEwsNonEmptyArrayOfResponseObjects* TDvEWSItemCore::GetResponseObjects() {
  return Item().GetResponseObjects();
}
TDvEWSItemResponseTypes TDvEWSItemCore::GetAllowedResponseTypes() {
  static const char* const names[] = {"AcceptItem",
                                      "TentativelyAcceptItem",
                                      "DeclineItem",
                                      "ReplyToItem",
                                      "ForwardItem",
                                      "ReplyAllToItem",
                                      "CancelCalendarItem",
                                      "RemoveItem",
                                      "PostReplyItem",
                                      "SuppressReadReceipt",
                                      "AcceptSharingInvitation"};
  TDvEWSItemResponseTypes result = 0;
  DvDOMElementPtr objects = Item().FindNode("ResponseObjects");
  if (!objects && !FNewItem) objects = GetResponseObjects()->AsElement();
  if (!objects) return 0;
  for (unsigned i = 0; i < std::size(names); ++i)
    if (objects->ElementByName(names[i])) result |= static_cast<TDvEWSItemResponseTypes>(1u << i);
  return result;
}
bool TDvEWSItemCore::GetIsPrivate() {
  if (HasProperty(PR_SENSITIVITY)) return GetSensitivity() == TSensitivityChoices::scPrivate;
  if (HasProperty(EPR_COMMON_PRIVATE))
    return GetProperties().GetItem(EPR_COMMON_PRIVATE)->GetAsBoolean();
  return false;
}
void TDvEWSItemCore::SetIsPrivate(bool value) {
  GetProperties().GetItem(EPR_COMMON_PRIVATE)->SetAsBoolean(value);
  SetSensitivity(value ? TSensitivityChoices::scPrivate : TSensitivityChoices::scNormal);
}

TEwsEffectiveRights* TDvEWSItemCore::GetEffectiveRights() {
  return Item().GetEffectiveRights();
}
TDvXMLSchemaElementArray<TEwsExtendedProperty>* TDvEWSItemCore::GetExtendedProperty() {
  return Item().GetExtendedProperty();
}
TEwsNonEmptyArrayOfInternetHeaders* TDvEWSItemCore::GetInternetMessageHeaders() {
  return Item().GetInternetMessageHeaders();
}

TEwsItemId* TDvEWSItemCore::GetConversationId() {
  CheckVersion(TServerVersion::Exchange2010, "ConversationId");
  return Item().GetConversationId();
}
bool TDvEWSItemCore::GetIsAssociated() {
  CheckVersion(TServerVersion::Exchange2010, "IsAssociated");
  return Item().GetIsAssociated();
}
void TDvEWSItemCore::SetIsAssociated(bool v) {
  CheckVersion(TServerVersion::Exchange2010, "IsAssociated");
  Item().SetIsAssociated(v);
}
TEwsBody* TDvEWSItemCore::GetUniqueBody() {
  CheckVersion(TServerVersion::Exchange2010, "UniqueBody");
  return Item().GetUniqueBody();
}
std::string TDvEWSItemCore::GetWebClientEditFormQueryString() {
  CheckVersion(TServerVersion::Exchange2010, "WebClientEditFormQueryString");
  return Item().GetWebClientEditFormQueryString();
}
std::string TDvEWSItemCore::GetWebClientReadFormQueryString() {
  CheckVersion(TServerVersion::Exchange2010, "WebClientReadFormQueryString");
  return Item().GetWebClientReadFormQueryString();
}
TEwsEntityExtractionResult* TDvEWSItemCore::GetEntityExtractionResult() {
  CheckVersion(TServerVersion::Exchange2013, "EntityExtractionResult");
  return Item().GetEntityExtractionResult();
}
TEwsFlag* TDvEWSItemCore::GetFlag() {
  CheckVersion(TServerVersion::Exchange2013, "Flag");
  return Item().GetFlag();
}
TIconIndex TDvEWSItemCore::GetIconIndex() {
  CheckVersion(TServerVersion::Exchange2013, "IconIndex");
  return Item().GetIconIndex();
}
TBytes TDvEWSItemCore::GetInstanceKey() {
  CheckVersion(TServerVersion::Exchange2013, "InstanceKey");
  return Item().GetInstanceKey();
}
TEwsBody* TDvEWSItemCore::GetNormalizedBody() {
  CheckVersion(TServerVersion::Exchange2013, "NormalizedBody");
  return Item().GetNormalizedBody();
}
TEwsRetentionTag* TDvEWSItemCore::GetPolicyTag() {
  CheckVersion(TServerVersion::Exchange2013, "PolicyTag");
  return Item().GetPolicyTag();
}
TEwsRetentionTag* TDvEWSItemCore::GetArchiveTag() {
  return Item().GetArchiveTag();
}
std::string TDvEWSItemCore::GetPreview() {
  CheckVersion(TServerVersion::Exchange2013, "Preview");
  return Item().GetPreview();
}
void TDvEWSItemCore::SetPreview(const std::string& v) {
  CheckVersion(TServerVersion::Exchange2013, "Preview");
  Item().SetPreview(v);
}
TBytes TDvEWSItemCore::GetStoreEntryId() {
  CheckVersion(TServerVersion::Exchange2013, "StoreEntryId");
  return Item().GetStoreEntryId();
}
TDateTime TDvEWSItemCore::GetReminderNextTime() {
  CheckVersion(TServerVersion::Exchange2013, "ReminderNextTime");
  return Item().GetReminderNextTime();
}
void TDvEWSItemCore::SetReminderNextTime(TDateTime v) {
  CheckVersion(TServerVersion::Exchange2013, "ReminderNextTime");
  Item().SetReminderNextTime(v);
}
TDateTime TDvEWSItemCore::GetRetentionDate() {
  CheckVersion(TServerVersion::Exchange2013, "RetentionDate");
  return Item().GetRetentionDate();
}

// ---- TDvEWSItem ----

TDvEWSItem::TDvEWSItem(TDvComponent* owner, TItemType type)
    : TDvEWSBaseItem<TEwsItem>(owner), FType(type) {}

std::unique_ptr<TDvXMLSchemaElement> TDvEWSItem::CreateData(const DvDOMElementPtr& element) {
  switch (FType) {
    case TItemType::tCalendarItem:
      return std::make_unique<TEwsCalendarItem>(element);
    case TItemType::tContact:
      return std::make_unique<TEwsContactItem>(element);
    case TItemType::tTask:
      return std::make_unique<TEwsTask>(element);
    case TItemType::tDistributionList:
      return std::make_unique<TEwsDistributionList>(element);
    default:
      return std::make_unique<TEwsItem>(element);
  }
}

}  // namespace dv
