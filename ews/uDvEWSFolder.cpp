// Folders, calendar folders and the folder and item tables.
#include "uDvEWSFolder.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "DvUtils.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSMsgStore.h"

namespace dv {

// ---- Texts ----

std::string DvEWSDeleteTypeText(TDvEWSFolderDeleteType type) {
  switch (type) {
    case TDvEWSFolderDeleteType::dtHardDelete:
      return "HardDelete";
    case TDvEWSFolderDeleteType::dtSoftDelete:
      return "SoftDelete";
    case TDvEWSFolderDeleteType::dtMoveToDeletedItems:
      return "MoveToDeletedItems";
  }
  throw Exception("Unsupported delete type!");
}

std::string DvEWSSendMeetingText(TSendMeetingInvitationsOrCancellations mode) {
  switch (mode) {
    case TSendMeetingInvitationsOrCancellations::smiocSendToNone:
      return "SendToNone";
    case TSendMeetingInvitationsOrCancellations::smiocSendOnlyToAll:
      return "SendOnlyToAll";
    case TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy:
      return "SendToAllAndSaveCopy";
    case TSendMeetingInvitationsOrCancellations::smiocSendOnlyToChanged:
      return "SendOnlyToChanged";
    case TSendMeetingInvitationsOrCancellations::smiocSendToChangedAndSaveCopy:
      return "SendToChangedAndSaveCopy";
  }
  throw Exception("Unsupported meeting cancellation mode!");
}

std::string DvEWSFolderFieldTypeText(TSetFolderFieldType type) {
  return DvEnumToXML(type);
}

TSetFolderFieldType DvEWSFolderFieldTypeOf(const std::string& localName) {
  TSetFolderFieldType type = TSetFolderFieldType::sffFolder;
  DvTryXMLToEnum(localName, type);
  return type;
}

std::int32_t DvEWSMessageFlagsValue(TDvEWSMessageFlags flags) {
  std::int32_t value = 0;
  if (flags.Contains(TDvEWSMessageFlag::msgflgRead)) value |= 1;
  if (flags.Contains(TDvEWSMessageFlag::msgflgUnmodified)) value |= 2;
  if (flags.Contains(TDvEWSMessageFlag::msgflgUnsent)) value |= 8;
  if (flags.Contains(TDvEWSMessageFlag::msgflgFromMe)) value |= 32;
  return value;
}

TItemType DvEWSItemTypeOfElement(const std::string& localName) {
  if (DvSameText(localName, "Message")) return TItemType::tMessage;
  if (DvSameText(localName, "CalendarItem")) return TItemType::tCalendarItem;
  if (DvSameText(localName, "Contact")) return TItemType::tContact;
  if (DvSameText(localName, "Task")) return TItemType::tTask;
  if (DvSameText(localName, "DistributionList")) return TItemType::tDistributionList;
  if (DvSameText(localName, "MeetingMessage")) return TItemType::tMeetingMessage;
  if (DvSameText(localName, "MeetingRequest")) return TItemType::tMeetingRequest;
  if (DvSameText(localName, "MeetingResponse")) return TItemType::tMeetingResponse;
  if (DvSameText(localName, "MeetingCancellation")) return TItemType::tMeetingCancellation;
  return TItemType::tItem;
}

// ---- Request helpers ----

namespace {

bool SendsChangeKey(TDvEWSObject& object) {
  return object.Session().GetServerVersion() >= TServerVersion::Exchange2013_SP1;
}

DvDOMElementPtr AddId(TDvEWSObject& object, const DvDOMElementPtr& parent, const char* name,
                      const TItemId& id) {
  DvDOMElementPtr element = parent->AddElement(name);
  element->SetAttribute("Id", id.Id);
  if (SendsChangeKey(object)) element->SetAttribute("ChangeKey", id.ChangeKey);
  return element;
}

std::shared_ptr<IDvSOAPRequest> Request(TDvEWSObject& object, const std::string& operation) {
  return object.CreateRequest(nullptr, "m:" + operation, "m:" + operation + "Response");
}

TItemId IdOf(const DvDOMElementPtr& element) {
  if (!element) return {};
  return TItemId(element->GetAttribute("Id"), element->GetAttribute("ChangeKey"));
}

TItemId FirstId(const DvDOMElementPtr& message, const char* name) {
  DvDOMElementPtr id = message->SelectSingleElement(std::string(".//") + name);
  if (!id)
    throw EEWSException("ErrorInvalidServerResponse",
                        std::string("There was no ") + name + " in the SOAP Response!", 0);
  return IdOf(id);
}

[[noreturn]] void RaiseReadOnly(const char* detail) {
  throw EEWSException("ErrorReadOnly", detail, 0);
}

}  // namespace

// ---- Folder ----

TDvEWSFolder::TDvEWSFolder(TDvComponent* owner, const TItemId& folderId)
    : TDvEWSPropObject<TEwsFolder>(owner, true) {
  if (owner != nullptr) FMsgStore = DvEWSFindMsgStore(owner);
  Load(folderId);
}

TDvEWSFolder::TDvEWSFolder(TDvComponent* owner, TDistinguishedFolderIdName name,
                           const std::string& mailbox)
    : TDvEWSPropObject<TEwsFolder>(owner, true) {
  if (owner != nullptr) FMsgStore = DvEWSFindMsgStore(owner);
  Fetch([&](const DvDOMElementPtr& ids) {
    DvDOMElementPtr id = ids->AddElement("t:DistinguishedFolderId");
    id->SetAttribute("Id", DvEnumToXML(name));
    if (!mailbox.empty())
      id->AddElement("t:Mailbox")->AddElement("t:EmailAddress")->SetAsString(mailbox);
  });
}

TDvEWSFolder::TDvEWSFolder(TDvComponent* owner, const DvDOMElementPtr& loaded)
    : TDvEWSPropObject<TEwsFolder>(owner, true) {
  if (owner != nullptr) FMsgStore = DvEWSFindMsgStore(owner);
  SetPropData(loaded);
}

TDvEWSFolder::~TDvEWSFolder() = default;

void TDvEWSFolder::Load(const TItemId& folderId) {
  Fetch([&](const DvDOMElementPtr& ids) { AddFolderId(ids, folderId); });
}

void TDvEWSFolder::Fetch(const std::function<void(const DvDOMElementPtr&)>& addFolderId) {
  auto request = Request(*this, "GetFolder");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("AllProperties");
  addFolderId(op->AddElement("m:FolderIds"));
  DvDOMElementPtr message = SendChecked(request, "GetFolder");
  DvDOMElementPtr folders = message->ElementByName("Folders");
  if (!folders || folders->ElementCount() != 1)
    throw EEWSException("ErrorFolderNotFound", "There was no FolderId in the SOAP Response!", 0);
  SetPropData(folders->GetElement(0));
}

DvDOMElementPtr TDvEWSFolder::AddFolderId(const DvDOMElementPtr& parent, const TItemId& id) {
  return AddId(*this, parent, "t:FolderId", id);
}

DvDOMElementPtr TDvEWSFolder::AddItemId(const DvDOMElementPtr& parent, const TItemId& id) {
  return AddId(*this, parent, "t:ItemId", id);
}

DvDOMElementPtr TDvEWSFolder::SendAndCheck(const std::shared_ptr<IDvSOAPRequest>& request,
                                           const std::string& responseName) {
  return SendChecked(request, responseName);
}

TItemId TDvEWSFolder::GetID() {
  if (!GetCurrent()) return {};
  return IdOf(GetCurrent()->AsElement()->ElementByName("FolderId"));
}

void TDvEWSFolder::SetId(const TItemId&) {
  RaiseReadOnly("The FolderId is a read only property!");
}

DvEWSMsgStorePtr TDvEWSFolder::GetMsgStore() {
  if (!FMsgStore) FMsgStore = DvEWSFindMsgStore(GetCreatedBy());
  return FMsgStore;
}

TItemId TDvEWSFolder::GetParentFolderId() {
  if (!GetCurrent()) return {};
  return IdOf(GetCurrent()->AsElement()->ElementByName("ParentFolderId"));
}

TSetFolderFieldType TDvEWSFolder::GetFolderFieldType() {
  if (!GetCurrent()) return TSetFolderFieldType::sffFolder;
  return DvEWSFolderFieldTypeOf(GetCurrent()->AsElement()->GetLocalName());
}

int TDvEWSFolder::GetChildFolderCount() {
  return GetCurrent()->GetChildFolderCount();
}
std::string TDvEWSFolder::GetDisplayName() {
  return GetCurrent()->GetDisplayName();
}
int TDvEWSFolder::GetTotalCount() {
  return GetCurrent()->GetTotalCount();
}
int TDvEWSFolder::GetUnreadCount() {
  return GetCurrent()->GetUnreadCount();
}

TEwsEffectiveRights* TDvEWSFolder::GetEffectiveRights() {
  if (!GetCurrent()->AsElement()->ElementByName("EffectiveRights")) return nullptr;
  return GetCurrent()->GetEffectiveRights();
}

void TDvEWSFolder::SetDisplayName(const std::string& value) {
  GetProperties().GetItem(FLD_FOLDER_DISPLAYNAME)->SetAsString(value);
}

void TDvEWSFolder::SaveChanges() {
  RaiseReadOnly("EWS Folders are currently read only!");
}

DvEWSFoldersPtr TDvEWSFolder::GetSubFolders() {
  return std::make_shared<TDvEWSFolders>(this, GetID());
}

DvEWSItemsPtr TDvEWSFolder::GetItems() {
  return std::make_shared<TDvEWSItems>(this, GetID());
}

TItemId TDvEWSFolder::CreateFolder(TSetFolderFieldType folderType, const std::string& displayName) {
  auto request = Request(*this, "CreateFolder");
  DvDOMElementPtr op = request->GetOperation();
  AddFolderId(op->AddElement("m:ParentFolderId"), GetID());
  op->AddElement("m:Folders")
      ->AddElement("t:" + DvEWSFolderFieldTypeText(folderType))
      ->AddElement("t:DisplayName")
      ->SetAsString(displayName);
  return FirstId(SendChecked(request, "CreateFolder"), "FolderId");
}

void TDvEWSFolder::EmptyFolder(TDvEWSFolderDeleteType deleteType, bool deleteSubFolders) {
  auto request = Request(*this, "EmptyFolder");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("DeleteType", DvEWSDeleteTypeText(deleteType));
  op->SetAttribute("DeleteSubFolders", DvBoolToXML(deleteSubFolders));
  AddFolderId(op->AddElement("m:FolderIds"), GetID());
  SendChecked(request, "EmptyFolder");
}

void TDvEWSFolder::DeleteFolder(const TItemId& folderId, TDvEWSFolderDeleteType deleteType) {
  auto request = Request(*this, "DeleteFolder");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("DeleteType", DvEWSDeleteTypeText(deleteType));
  AddFolderId(op->AddElement("m:FolderIds"), folderId);
  SendChecked(request, "DeleteFolder");
}

DvEWSItemPtr TDvEWSFolder::GetItem(const TItemId& itemId) {
  DvEWSMsgStorePtr store = GetMsgStore();
  if (!store) throw Exception("The folder belongs to no message store!");
  return store->GetItem(itemId);
}

DvEWSItemPtr TDvEWSFolder::CreateItem(TItemType itemType) {
  // Kinds without a class of their own are made as the generic item.
  switch (itemType) {
    case TItemType::tMessage:
    case TItemType::tCalendarItem:
    case TItemType::tContact:
    case TItemType::tTask:
    case TItemType::tDistributionList:
      break;
    default:
      itemType = TItemType::tItem;
  }
  return DvEWSCreateItemObject(*this, itemType, TItemId());
}

TItemId TDvEWSFolder::CopyItem(const TItemId& itemId, const TItemId& toFolderId) {
  auto request = Request(*this, "CopyItem");
  DvDOMElementPtr op = request->GetOperation();
  AddFolderId(op->AddElement("m:ToFolderId"), toFolderId);
  AddItemId(op->AddElement("m:ItemIds"), itemId);
  return FirstId(SendChecked(request, "CopyItem"), "ItemId");
}

TItemId TDvEWSFolder::CopyItem(TEwsItemId& itemId, TEwsFolderId& toFolderId) {
  TItemId item, folder;
  item.Assign(itemId);
  folder.Assign(toFolderId);
  return CopyItem(item, folder);
}

TItemId TDvEWSFolder::MoveItem(const TItemId& itemId, const TItemId& toFolderId) {
  TItemId copy = CopyItem(itemId, toFolderId);
  DeleteItem(itemId, TDvEWSFolderDeleteType::dtHardDelete);
  return copy;
}

TItemId TDvEWSFolder::MoveItem(TEwsItemId& itemId, TEwsFolderId& toFolderId) {
  TItemId item, folder;
  item.Assign(itemId);
  folder.Assign(toFolderId);
  return MoveItem(item, folder);
}

std::string TDvEWSFolder::MeetingCancellationsFor(const std::string& fromItemClass) {
  if (GetFolderFieldType() == TSetFolderFieldType::sffCalendarFolder) return "SendToAllAndSaveCopy";
  return fromItemClass;
}

void TDvEWSFolder::DeleteItem(const TItemId& itemId, TDvEWSFolderDeleteType deleteType) {
  auto request = Request(*this, "DeleteItem");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("DeleteType", DvEWSDeleteTypeText(deleteType));
  std::string cancellations;
  if (auto* store = dynamic_cast<TDvEWSMsgStore*>(GetCreatedBy())) {
    DvDOMElementPtr item = store->FetchItemElement(itemId);
    DvDOMElementPtr itemClass = item->ElementByName("ItemClass");
    const std::string cls = itemClass ? itemClass->GetAsString() : std::string();
    if (cls == "IPM.Appointment" || cls == "IPM.Appointment.Occurrence" ||
        cls == "IPM.OLE.CLASS.{00061055-0000-0000-C000-000000000046}") {
      cancellations = "SendToAllAndSaveCopy";
      op->SetAttribute("SendMeetingCancellations", cancellations);
    } else if (cls == "IPM.Task") {
      op->SetAttribute("AffectedTaskOccurrences", "AllOccurrences");
    }
  }
  AddItemId(op->AddElement("m:ItemIds"), itemId);
  cancellations = MeetingCancellationsFor(cancellations);
  if (!cancellations.empty()) op->SetAttribute("SendMeetingCancellations", cancellations);
  SendChecked(request, "DeleteItem");
}

void TDvEWSFolder::DeleteItem(TEwsItemId& itemId, TDvEWSFolderDeleteType deleteType) {
  TItemId item;
  item.Assign(itemId);
  DeleteItem(item, deleteType);
}

bool TDvEWSFolder::IsDraftsFolder() {
  if (!FDraftsChecked) {
    TItemId drafts;
    DvEWSMsgStorePtr store = GetMsgStore();
    FIsDrafts = store && store->FindFolderId(TDistinguishedFolderIdName::dfindrafts, drafts) &&
                drafts.Id == GetID().Id;
    FDraftsChecked = true;
  }
  return FIsDrafts;
}

TItemId TDvEWSFolder::ImportItem(std::istream& stream, const TDvEWSMessageFlags* flags) {
  const std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
  auto request = Request(*this, "CreateItem");
  DvDOMElementPtr op = request->GetOperation();
  const bool plainFolder = GetFolderFieldType() == TSetFolderFieldType::sffFolder;
  bool drafts = false;
  if (plainFolder) {
    op->SetAttribute("MessageDisposition", "SaveOnly");
    drafts = IsDraftsFolder();
  }
  AddFolderId(op->AddElement("m:SavedItemFolderId"), GetID());
  DvDOMElementPtr message = op->AddElement("m:Items")->AddElement("t:Message");
  DvDOMElementPtr mime = message->AddElement("t:MimeContent");
  mime->SetAttribute("CharacterSet", "UTF-8");
  mime->SetAsString(DvBase64Encode(DvCodePageToUTF8(bytes, "65001")));
  bool hasValue = true;
  std::int32_t value = 0;
  if (flags != nullptr)
    value = DvEWSMessageFlagsValue(*flags);
  else if (drafts)
    value = 10;
  else if (plainFolder)
    value = 2;
  else
    hasValue = false;
  if (hasValue) {
    DvDOMElementPtr property = message->AddElement("t:ExtendedProperty");
    DvDOMElementPtr uri = property->AddElement("t:ExtendedFieldURI");
    uri->SetAttribute("PropertyTag", "3591");
    uri->SetAttribute("PropertyType", "Integer");
    property->AddElement("t:Value")->SetAsString(std::to_string(value));
  }
  return FirstId(SendChecked(request, "CreateItem"), "ItemId");
}

TItemId TDvEWSFolder::ImportItem(const std::string& fileName, std::ios::openmode fileMode,
                                 const TDvEWSMessageFlags* flags) {
  std::ifstream file(fileName, fileMode | std::ios::in | std::ios::binary);
  if (!file) throw Exception("Cannot open file \"" + fileName + "\"!");
  return ImportItem(file, flags);
}

// ---- Calendar folder ----

TDvEWSCalendarFolder::TDvEWSCalendarFolder(TDvComponent* owner, const TItemId& folderId)
    : TDvEWSFolder(owner, folderId) {}

TDvEWSCalendarFolder::TDvEWSCalendarFolder(TDvComponent* owner, const DvDOMElementPtr& loaded)
    : TDvEWSFolder(owner, loaded) {}

DvEWSItemsPtr TDvEWSCalendarFolder::GetCalendarView(TDateTime startDate, TDateTime endDate,
                                                    int maxEntries) {
  FStartDate = startDate;
  FEndDate = endDate;
  FMaxEntries = maxEntries;
  return std::make_shared<TDvEWSCalendarView>(this, GetID());
}

std::string TDvEWSCalendarFolder::MeetingCancellationsFor(const std::string&) {
  return DvEWSSendMeetingText(FSendMode);
}

void TDvEWSCalendarFolder::DeleteItem(const TItemId& itemId, TDvEWSFolderDeleteType deleteType) {
  try {
    TDvEWSFolder::DeleteItem(itemId, deleteType);
  } catch (...) {
    FSendMode = TSendMeetingInvitationsOrCancellations::smiocSendToNone;
    throw;
  }
  FSendMode = TSendMeetingInvitationsOrCancellations::smiocSendToNone;
}

void TDvEWSCalendarFolder::DeleteMeeting(const TItemId& itemId, TDvEWSFolderDeleteType deleteType,
                                         TSendMeetingInvitationsOrCancellations sendMode) {
  FSendMode = sendMode;
  DeleteItem(itemId, deleteType);
}

void TDvEWSCalendarFolder::DeleteMeeting(TEwsItemId& itemId, TDvEWSFolderDeleteType deleteType,
                                         TSendMeetingInvitationsOrCancellations sendMode) {
  TItemId item;
  item.Assign(itemId);
  DeleteMeeting(item, deleteType, sendMode);
}

DvEWSFolderPtr DvEWSFolderOfKind(TDvComponent* owner, std::shared_ptr<TDvEWSFolder> folder) {
  // A calendar folder is bound to the answer that showed its kind: no second GetFolder.
  if (folder->GetFolderFieldType() == TSetFolderFieldType::sffCalendarFolder)
    return std::make_shared<TDvEWSCalendarFolder>(owner, folder->GetCurrent()->AsElement());
  return folder;
}

DvEWSFolderPtr DvEWSOpenFolder(TDvComponent* owner, const TItemId& folderId) {
  return DvEWSFolderOfKind(owner, std::make_shared<TDvEWSFolder>(owner, folderId));
}

// ---- Tables of a folder ----

TDvEWSFolders::TDvEWSFolders(TDvComponent* owner, const TItemId& parentId)
    : TDvEWSTable(owner), FParentId(parentId) {}

void TDvEWSFolders::GetNextPage() {
  auto request = Request(*this, "FindFolder");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("Traversal", "Shallow");
  op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("AllProperties");
  DvDOMElementPtr view = op->AddElement("m:IndexedPageFolderView");
  view->SetAttribute("MaxEntriesReturned", std::to_string(FPageSize));
  view->SetAttribute("Offset", std::to_string(FOffset));
  view->SetAttribute("BasePoint", "Beginning");
  AddId(*this, op->AddElement("m:ParentFolderIds"), "t:FolderId", FParentId);
  DvDOMElementPtr message = SendChecked(request, "FindFolder");
  DvDOMElementPtr folders = message->SelectSingleElement("RootFolder/Folders");
  if (!folders)
    throw EEWSException("ErrorInvalidServerResponse", "There was no RootFolder in the response!",
                        0);
  SetData(std::make_unique<TEwsArrayOfFolders>(folders));
}

TItemId TDvEWSFolders::GetItemId() {
  DvDOMElementPtr row = GetRowElement();
  return row ? IdOf(row->ElementByName("FolderId")) : TItemId();
}

TSetFolderFieldType TDvEWSFolders::FolderFieldType() {
  DvDOMElementPtr row = GetRowElement();
  return row ? DvEWSFolderFieldTypeOf(row->GetLocalName()) : TSetFolderFieldType::sffFolder;
}

TDvEWSItems::TDvEWSItems(TDvComponent* owner, const TItemId& parentId)
    : TDvEWSTable(owner), FParentId(parentId) {}

void TDvEWSItems::GetNextPage() {
  auto request = Request(*this, "FindItem");
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("Traversal", "Shallow");
  DvDOMElementPtr shape = op->AddElement("m:ItemShape");
  TDvEWSFields& fields = GetFields();
  if (fields.Count() > 0) {
    shape->AddElement("t:BaseShape")->SetAsString("IdOnly");
    DvDOMElementPtr additional = shape->AddElement("t:AdditionalProperties");
    // Extended fields first, then plain fields (the item id is always sent), then indexed
    // fields; each pass in column order.
    for (int i = 0; i < fields.Count(); ++i)
      if (fields.At(i)->GetURIType() == TDvEWSFieldDefType::fdtExtendedField)
        fields.At(i)->AddEWS(additional);
    for (int i = 0; i < fields.Count(); ++i) {
      TDvEWSField* f = fields.At(i);
      if (f->GetURIType() == TDvEWSFieldDefType::fdtField &&
          f->GetPropDefName() != PR_ITEMID.PropDefName)
        f->AddEWS(additional);
    }
    for (int i = 0; i < fields.Count(); ++i)
      if (fields.At(i)->GetURIType() == TDvEWSFieldDefType::fdtIndexedField)
        fields.At(i)->AddEWS(additional);
    // Only the item id: IdOnly says it all, and an empty list would not validate.
    if (additional->ElementCount() == 0) shape->RemoveElement(additional);
  } else {
    shape->AddElement("t:BaseShape")->SetAsString("Default");
  }
  auto* calendar = dynamic_cast<TDvEWSCalendarView*>(this)
                       ? dynamic_cast<TDvEWSCalendarFolder*>(GetCreatedBy())
                       : nullptr;
  if (calendar != nullptr && calendar->GetEndDate().Value > calendar->GetStartDate().Value &&
      calendar->GetMaxEntries() > 0) {
    DvDOMElementPtr view = op->AddElement("m:CalendarView");
    view->SetAttribute("MaxEntriesReturned", std::to_string(calendar->GetMaxEntries()));
    view->SetAttribute("StartDate", DvDateTimeToXML(calendar->GetStartDate()));
    view->SetAttribute("EndDate", DvDateTimeToXML(calendar->GetEndDate()));
  } else {
    DvDOMElementPtr view = op->AddElement("m:IndexedPageItemView");
    view->SetAttribute("MaxEntriesReturned", std::to_string(FPageSize));
    view->SetAttribute("Offset", std::to_string(FOffset));
    view->SetAttribute("BasePoint", "Beginning");
  }
  if (FRestriction) {
    std::string text;
    FRestriction->SaveToStream(text);
    op->AddElement("m:Restriction")->AppendXML(text);
  }
  AddId(*this, op->AddElement("m:ParentFolderIds"), "t:FolderId", FParentId);
  DvDOMElementPtr message = SendChecked(request, "FindItem");
  DvDOMElementPtr items = message->SelectSingleElement("RootFolder/Items");
  if (!items)
    throw EEWSException("ErrorInvalidServerResponse", "There was no RootFolder in the response!",
                        0);
  SetData(std::make_unique<TEwsArrayOfRealItems>(items));
}

TItemId TDvEWSItems::GetItemId() {
  DvDOMElementPtr row = GetRowElement();
  return row ? IdOf(row->ElementByName("ItemId")) : TItemId();
}

TDvEWSCalendarView::TDvEWSCalendarView(TDvComponent* owner, const TItemId& parentId)
    : TDvEWSItems(owner, parentId) {
  FAutoPaging = false;
}

}  // namespace dv
