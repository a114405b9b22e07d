#include "uDvEWSInterfacesAttachments.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "DvSOAP.h"
#include "DvUtils.h"
#include "uDvEWS.h"

namespace dv {

namespace {

constexpr const char* kFileAttachment = "FileAttachment";
constexpr const char* kItemAttachment = "ItemAttachment";

// The kinds of item an item attachment may hold, by element name.
struct TItemKind {
  const char* LocalName;
  TItemAttachmentType Type;
};
constexpr TItemKind kItemKinds[] = {
    {"Item", TItemAttachmentType::iaItem},
    {"Message", TItemAttachmentType::iaMessage},
    {"CalendarItem", TItemAttachmentType::iaCalendarItem},
    {"Contact", TItemAttachmentType::iaContact},
    {"Task", TItemAttachmentType::iaTask},
    {"MeetingMessage", TItemAttachmentType::iaMeetingMessage},
    {"MeetingRequest", TItemAttachmentType::iaMeetingRequest},
    {"MeetingResponse", TItemAttachmentType::iaMeetingResponse},
    {"MeetingCancellation", TItemAttachmentType::iaMeetingCancellation},
};

// The first child of an item attachment element that is an item of a known kind.
DvDOMElementPtr FindHeldItem(const IDvDOMElement& attachment, TItemAttachmentType& type) {
  const int n = attachment.ElementCount();
  for (int i = 0; i < n; ++i) {
    DvDOMElementPtr child = attachment.GetElement(i);
    const std::string name = child->GetLocalName();
    for (const TItemKind& kind : kItemKinds) {
      if (name == kind.LocalName) {
        type = kind.Type;
        return child;
      }
    }
  }
  return nullptr;
}

// The `position`-th child element named `localName`, or none.
DvDOMElementPtr NthChild(const IDvDOMElement& parent, std::string_view localName, int position) {
  const int n = parent.ElementCount();
  int seen = 0;
  for (int i = 0; i < n; ++i) {
    DvDOMElementPtr child = parent.GetElement(i);
    if (child->GetLocalName() == localName && seen++ == position) return child;
  }
  return nullptr;
}

int CountChildren(const IDvDOMElement& parent, std::string_view localName) {
  const int n = parent.ElementCount();
  int count = 0;
  for (int i = 0; i < n; ++i)
    if (parent.GetElement(i)->GetLocalName() == localName) ++count;
  return count;
}

std::string ReadAll(std::istream& stream) {
  return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

std::int32_t SizeOf(const std::string& bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw Exception("The attachment is too large (" + std::to_string(bytes.size()) + " bytes)!");
  return static_cast<std::int32_t>(bytes.size());
}

std::ifstream OpenForReading(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw Exception("Cannot open file \"" + fileName + "\".");
  return in;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TDvEWSAttachments

TDvEWSAttachments::TDvEWSAttachments(const DvEWSSessionPtr& session,
                                     const DvDOMElementPtr& attachments)
    : FSession(session) {
  if (!attachments) throw Exception("An attachment list needs its Attachments element");
  FAttachments = std::make_unique<TEwsNonEmptyArrayOfAttachments>(attachments);
}

TDvEWSAttachments::~TDvEWSAttachments() = default;

std::shared_ptr<TDvEWSAttachments> TDvEWSAttachments::Create(const DvEWSSessionPtr& session,
                                                             const DvDOMElementPtr& attachments) {
  return std::shared_ptr<TDvEWSAttachments>(new TDvEWSAttachments(session, attachments));
}

int TDvEWSAttachments::FileCount() const {
  return CountChildren(*FAttachments->AsElement(), kFileAttachment);
}

int TDvEWSAttachments::ItemCount() const {
  return CountChildren(*FAttachments->AsElement(), kItemAttachment);
}

int TDvEWSAttachments::Count() const {
  return FileCount() + ItemCount();
}

DvDOMElementPtr TDvEWSAttachments::ElementAt(int index, bool& isFile) const {
  const int files = FileCount();
  DvDOMElementPtr element;
  if (index >= 0 && index < files) {
    isFile = true;
    element = NthChild(*FAttachments->AsElement(), kFileAttachment, index);
  } else if (index >= files) {
    isFile = false;
    element = NthChild(*FAttachments->AsElement(), kItemAttachment, index - files);
  }
  if (!element) throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return element;
}

void TDvEWSAttachments::Remember(const std::shared_ptr<TDvEWSAttachment>& attachment) {
  std::erase_if(FHandedOut, [](const std::weak_ptr<TDvEWSAttachment>& w) { return w.expired(); });
  FHandedOut.push_back(attachment);
}

DvEWSAttachmentPtr TDvEWSAttachments::Wrap(const DvDOMElementPtr& element, bool isFile) {
  std::shared_ptr<TDvEWSAttachment> a;
  if (isFile)
    a = std::make_shared<TDvEWSFileAttachment>(shared_from_this(), element);
  else
    a = std::make_shared<TDvEWSItemAttachment>(shared_from_this(), element);
  Remember(a);
  return a;
}

DvEWSAttachmentPtr TDvEWSAttachments::GetAttachment(int index) {
  bool isFile = false;
  DvDOMElementPtr element = ElementAt(index, isFile);
  return Wrap(element, isFile);
}

DvEWSFileAttachmentPtr TDvEWSAttachments::AddAttachment(const std::string& fileName) {
  std::ifstream in = OpenForReading(fileName);
  return AddAttachment(std::filesystem::path(fileName).filename().string(),
                       DvMimeTypeFromFileName(fileName), in);
}

DvEWSFileAttachmentPtr TDvEWSAttachments::AddAttachment(const std::string& name,
                                                        const std::string& contentType,
                                                        std::istream& stream) {
  const std::string bytes = ReadAll(stream);
  const std::int32_t size = SizeOf(bytes);
  // The array is a choice of attachment kinds in any order: new ones go at the end.
  auto attachment = std::make_shared<TDvEWSFileAttachment>(
      shared_from_this(), FAttachments->AsElement()->AddElement("t:FileAttachment"));
  Remember(attachment);
  TEwsFileAttachment& e = attachment->FileElement();
  e.SetName(name);
  e.SetContentType(contentType);
  if (FSession->GetServerVersion() >= TServerVersion::Exchange2010) {
    e.SetIsContactPhoto(false);
    e.SetIsInline(false);
  }
  e.GetNode("Content")->SetAsString(DvBase64Encode(bytes));
  e.SetSize(size);
  return attachment;
}

DvEWSItemAttachmentPtr TDvEWSAttachments::AddAttachment(const std::string& name,
                                                        const DvDOMElementPtr& item) {
  if (!item) throw Exception("There is no item to attach!");
  DvDOMElementPtr added = FAttachments->AsElement()->AddElement("t:ItemAttachment");
  added->AppendCopy(item);
  auto attachment = std::make_shared<TDvEWSItemAttachment>(shared_from_this(), added);
  Remember(attachment);
  attachment->ItemElement().SetName(name);
  return attachment;
}

DvEWSItemAttachmentPtr TDvEWSAttachments::AddAttachment(const std::string& name,
                                                        const TDvXMLSchemaElement& item) {
  return AddAttachment(name, item.AsElement());
}

DvEWSAttachmentPtr TDvEWSAttachments::FindAttachment(const std::string& id) {
  const DvDOMElementPtr& parent = FAttachments->AsElement();
  for (const char* kind : {kFileAttachment, kItemAttachment}) {
    const int n = parent->ElementCount();
    for (int i = 0; i < n; ++i) {
      DvDOMElementPtr e = parent->GetElement(i);
      if (e->GetLocalName() != kind) continue;
      DvDOMElementPtr idElement = e->ElementByName("AttachmentId");
      if (idElement && DvSameText(idElement->GetAttribute("Id"), id))
        return Wrap(e, kind == kFileAttachment);
    }
  }
  return nullptr;
}

void TDvEWSAttachments::DeleteAttachment(int index) {
  bool isFile = false;
  DvDOMElementPtr element = ElementAt(index, isFile);
  for (const std::weak_ptr<TDvEWSAttachment>& w : FHandedOut)
    if (auto a = w.lock(); a && a->AsElement()->AsElement()->IsSameNode(*element)) a->Detach();
  FAttachments->AsElement()->RemoveElement(element);
}

void TDvEWSAttachments::Clear(bool all) {
  for (int i = Count() - 1; i >= 0; --i) {
    bool isFile = false;
    DvDOMElementPtr element = ElementAt(i, isFile);
    DvDOMElementPtr isInline = element->ElementByName("IsInline");
    if (all || !isInline || !DvXMLToBool(DvTrim(isInline->GetAsString()))) DeleteAttachment(i);
  }
}

bool TDvEWSAttachments::IsModified(const std::string& attachmentId) const {
  return std::find(FModified.begin(), FModified.end(), attachmentId) != FModified.end();
}

void TDvEWSAttachments::MarkModified(const std::string& attachmentId) {
  if (!IsModified(attachmentId)) FModified.push_back(attachmentId);
}

// ---------------------------------------------------------------------------------------------
// TDvEWSAttachment

TDvEWSAttachment::TDvEWSAttachment(const DvEWSAttachmentsPtr& owner,
                                   std::unique_ptr<TEwsAttachment> element)
    : FAttachments(owner), FAttachment(std::move(element)), FSession(owner->GetSession()) {}

TServerVersion TDvEWSAttachment::ServerVersion() const {
  if (!FSession) throw Exception("There is no active EWS Session!");
  return FSession->GetServerVersion();
}

std::string TDvEWSAttachment::GetAttachmentId() {
  DvDOMElementPtr id = FAttachment->AsElement()->ElementByName("AttachmentId");
  return id ? id->GetAttribute("Id") : std::string();
}

std::string TDvEWSAttachment::GetName() {
  return FAttachment->GetName();
}
std::string TDvEWSAttachment::GetContentType() {
  return FAttachment->GetContentType();
}
std::string TDvEWSAttachment::GetContentId() {
  return FAttachment->GetContentId();
}
std::string TDvEWSAttachment::GetContentLocation() {
  return FAttachment->GetContentLocation();
}
std::int32_t TDvEWSAttachment::GetSize() {
  return FAttachment->GetSize();
}
TDateTime TDvEWSAttachment::GetLastModifiedTime() {
  return FAttachment->GetLastModifiedTime();
}
bool TDvEWSAttachment::GetIsInline() {
  return FAttachment->GetIsInline();
}
bool TDvEWSAttachment::GetModified() {
  return FAttachments->IsModified(GetAttachmentId());
}

void TDvEWSAttachment::Changed() {
  FAttachments->MarkModified(GetAttachmentId());
}

void TDvEWSAttachment::SetName(const std::string& value) {
  FAttachment->SetName(value);
  Changed();
}
void TDvEWSAttachment::SetContentType(const std::string& value) {
  FAttachment->SetContentType(value);
  Changed();
}
void TDvEWSAttachment::SetContentId(const std::string& value) {
  FAttachment->SetContentId(value);
  Changed();
}
void TDvEWSAttachment::SetContentLocation(const std::string& value) {
  FAttachment->SetContentLocation(value);
  Changed();
}
void TDvEWSAttachment::SetSize(std::int32_t value) {
  FAttachment->SetSize(value);
  Changed();
}
void TDvEWSAttachment::SetLastModifiedTime(TDateTime value) {
  FAttachment->SetLastModifiedTime(value);
  Changed();
}
void TDvEWSAttachment::SetIsInline(bool value) {
  EwsCheckVersion(TServerVersion::Exchange2010, ServerVersion(), "SetIsInline");
  FAttachment->SetIsInline(value);
  Changed();
}

void TDvEWSAttachment::Detach() {
  FAttachment = Rewrap(DvCreateDOM(FAttachment->AsElement()->GetXML())->GetDocumentElement());
}

DvDOMElementPtr TDvEWSAttachment::RequestAttachment(bool includeMimeContent) {
  if (!FSession) throw Exception("There is no active EWS Session!");
  DvSOAPRequestPtr request =
      FSession->CreateRequest(nullptr, "m:GetAttachment", "m:GetAttachmentResponse");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr shape = op->AddElement("m:AttachmentShape");
  if (includeMimeContent) shape->AddElement("t:IncludeMimeContent")->SetAsString("true");
  op->AddElement("m:AttachmentIds")
      ->AddElement("t:AttachmentId")
      ->SetAttribute("Id", GetAttachmentId());
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/GetAttachmentResponse/ResponseMessages/GetAttachmentResponseMessage");
  if (!message)
    throw EEWSException("ErrorInvalidServerResponse",
                        "The response holds no GetAttachmentResponseMessage", 0);
  FSession->CheckResponseError(message);
  return message;
}

// ---------------------------------------------------------------------------------------------
// TDvEWSFileAttachment

TDvEWSFileAttachment::TDvEWSFileAttachment(const DvEWSAttachmentsPtr& owner,
                                           const DvDOMElementPtr& element)
    : TDvEWSAttachment(owner, std::make_unique<TEwsFileAttachment>(element)) {}

std::unique_ptr<TEwsAttachment> TDvEWSFileAttachment::Rewrap(const DvDOMElementPtr& element) const {
  return std::make_unique<TEwsFileAttachment>(element);
}

bool TDvEWSFileAttachment::GetIsContactPhoto() {
  return FileElement().GetIsContactPhoto();
}

void TDvEWSFileAttachment::SetIsContactPhoto(bool value) {
  EwsCheckVersion(TServerVersion::Exchange2010, ServerVersion(), "SetIsContactPhoto");
  FileElement().SetIsContactPhoto(value);
  Changed();
}

void TDvEWSFileAttachment::LoadFromStream(std::istream& stream) {
  Changed();
  const std::string bytes = ReadAll(stream);
  if (bytes.empty()) return;
  const std::int32_t size = SizeOf(bytes);
  FileElement().GetNode("Content")->SetAsString(DvBase64Encode(bytes));
  FileElement().SetSize(size);
}

void TDvEWSFileAttachment::LoadFromFile(const std::string& fileName) {
  std::ifstream in = OpenForReading(fileName);
  LoadFromStream(in);
}

void TDvEWSFileAttachment::SaveToStream(std::ostream& stream) {
  DvDOMElementPtr content = FileElement().FindNode("Content");
  if (!content) {
    DvDOMElementPtr message = RequestAttachment(false);
    DvDOMElementPtr fetched = message->SelectSingleElement("Attachments/*/Content");
    const std::string text = fetched ? fetched->GetAsString() : std::string();
    content = FileElement().GetNode("Content");
    content->SetAsString(text);
  }
  const TBytes bytes = DvBase64Decode(content->GetAsString());
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void TDvEWSFileAttachment::SaveToFile(const std::string& fileName) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  if (!out) throw Exception("Cannot create file \"" + fileName + "\".");
  SaveToStream(out);
  out.close();
  if (!out) throw Exception("Cannot write file \"" + fileName + "\".");
}

// ---------------------------------------------------------------------------------------------
// TDvEWSItemAttachment

TDvEWSItemAttachment::TDvEWSItemAttachment(const DvEWSAttachmentsPtr& owner,
                                           const DvDOMElementPtr& element)
    : TDvEWSAttachment(owner, std::make_unique<TEwsItemAttachment>(element)) {}

std::unique_ptr<TEwsAttachment> TDvEWSItemAttachment::Rewrap(const DvDOMElementPtr& element) const {
  return std::make_unique<TEwsItemAttachment>(element);
}

TItemAttachmentType TDvEWSItemAttachment::GetItemAttachmentType() {
  if (FItemRetrieved) return FItemType;
  TItemAttachmentType type = TItemAttachmentType::iaItem;
  if (GetAttachmentId().empty()) {
    // Not on the server yet (added here): the item it holds tells the kind.
    if (!FindHeldItem(*FAttachment->AsElement(), type))
      throw Exception("Unsupported Attachment Type!");
  } else {
    DvDOMElementPtr message = RequestAttachment(true);
    DvDOMElementPtr fetched = message->SelectSingleElement("Attachments/ItemAttachment");
    DvDOMElementPtr held = fetched ? FindHeldItem(*fetched, type) : nullptr;
    if (!held) throw Exception("Unsupported Attachment Type!");
    // Keep the fetched item in the attachment's element of that kind.
    TEwsItemAttachment& e = ItemElement();
    const TDvXMLSchemaInfo* info = e.FindSchemaInfo(held->GetLocalName());
    if (!info) throw Exception("Unsupported Attachment Type!");
    e.SetChildObject(info->Index, TDvXMLSchemaElement(held));
  }
  FItemType = type;
  FItemRetrieved = true;
  return FItemType;
}

void TDvEWSItemAttachment::Require(TItemAttachmentType type, const char* message) {
  if (GetItemAttachmentType() != type) throw Exception(message);
}

TEwsItem* TDvEWSItemAttachment::GetItem() {
  Require(TItemAttachmentType::iaItem, "This attachment is not an item!");
  return ItemElement().GetItem();
}
TEwsMessage* TDvEWSItemAttachment::GetMessage() {
  Require(TItemAttachmentType::iaMessage, "This attachment is not an email message!");
  return ItemElement().GetMessage_();
}
TEwsCalendarItem* TDvEWSItemAttachment::GetCalendarItem() {
  Require(TItemAttachmentType::iaCalendarItem, "This attachment is not a calendaritem!");
  return ItemElement().GetCalendarItem();
}
TEwsContactItem* TDvEWSItemAttachment::GetContact() {
  Require(TItemAttachmentType::iaContact, "This attachment is not a contact!");
  return ItemElement().GetContact();
}
TEwsTask* TDvEWSItemAttachment::GetTask() {
  Require(TItemAttachmentType::iaTask, "This attachment is not a task!");
  return ItemElement().GetTask();
}
TEwsMeetingMessage* TDvEWSItemAttachment::GetMeetingMessage() {
  Require(TItemAttachmentType::iaMeetingMessage, "This attachment is not a meeting message!");
  return ItemElement().GetMeetingMessage();
}
TEwsMeetingRequestMessage* TDvEWSItemAttachment::GetMeetingRequest() {
  Require(TItemAttachmentType::iaMeetingRequest, "This attachment is not a meeting request!");
  return ItemElement().GetMeetingRequest();
}
TEwsMeetingResponseMessage* TDvEWSItemAttachment::GetMeetingResponse() {
  Require(TItemAttachmentType::iaMeetingResponse, "This attachment is not a meeting response!");
  return ItemElement().GetMeetingResponse();
}
TEwsMeetingCancellationMessage* TDvEWSItemAttachment::GetMeetingCancellation() {
  Require(TItemAttachmentType::iaMeetingCancellation,
          "This attachment is not a meeting cancellation!");
  return ItemElement().GetMeetingCancellation();
}
TEwsPostItem* TDvEWSItemAttachment::GetPostItem() {
  Require(TItemAttachmentType::iaPostItem, "This attachment is not a postitem!");
  return ItemElement().GetPostItem();
}
TEwsRoleMemberItem* TDvEWSItemAttachment::GetRoleMember() {
  EwsCheckVersion(TServerVersion::Exchange2016, ServerVersion(), "GetRoleMember");
  return ItemElement().GetRoleMember();
}
TEwsNetworkItem* TDvEWSItemAttachment::GetNetwork() {
  EwsCheckVersion(TServerVersion::Exchange2016, ServerVersion(), "GetNetwork");
  return ItemElement().GetNetwork();
}
TEwsAbchPersonItem* TDvEWSItemAttachment::GetPerson() {
  EwsCheckVersion(TServerVersion::Exchange2016, ServerVersion(), "GetPerson");
  return ItemElement().GetPerson();
}

}  // namespace dv
