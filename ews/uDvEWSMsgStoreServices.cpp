// The store's services: out-of-office settings, the category list, room lists and rooms, user
// photos and distribution list expansion.
#include "uDvEWSMsgStoreServices.h"

#include <ostream>
#include <set>

#include "DvUtils.h"
#include "uDvEWS.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSMsgStore.h"

namespace dv {

namespace {

// Sends a request whose answer is one response element without m:ResponseMessages; checks the
// element (or its child ResponseMessage when `messageChild`) and returns the response element.
DvDOMElementPtr SendSingle(TDvEWSObject& object, const DvSOAPRequestPtr& request,
                           const std::string& responseName, bool messageChild,
                           DvSOAPResponsePtr& response) {
  response = request->Send();
  DvDOMElementPtr element =
      response->GetDocument()->SelectSingleElement("/Envelope/Body/" + responseName);
  DvDOMElementPtr message =
      element && messageChild ? element->ElementByName("ResponseMessage") : element;
  if (!message)
    throw EEWSException("ErrorInvalidServerResponse", "The response holds no " + responseName + "!",
                        0);
  object.CheckResponseError(message);
  return element;
}

// A standalone recipient list of the mailbox elements below `parent` found by `path`.
DvEWSRecipientsPtr RecipientsOf(const DvDOMElementPtr& parent, const std::string& path,
                                TServerVersion version) {
  auto list = TDvEWSRecipients::CreateStandalone(version);
  if (!parent) return list;
  DvDOMElementListPtr entries = parent->CreateElementList(path);
  for (int i = 0; i < entries->Count(); ++i) {
    DvDOMElementPtr e = entries->GetItem(i);
    const std::string address = e->SelectSingleElement("EmailAddress")
                                    ? e->SelectSingleElement("EmailAddress")->GetAsString()
                                    : std::string();
    DvEWSRecipientPtr r = list->Add(address);
    if (auto name = e->ElementByName("Name")) r->SetName(name->GetAsString());
    if (auto routing = e->ElementByName("RoutingType")) r->SetRoutingType(routing->GetAsString());
    TMailboxType type{};
    if (auto t = e->ElementByName("MailboxType"); t && DvTryXMLToEnum(t->GetAsString(), type))
      r->SetMailboxType(type);
    if (auto id = e->ElementByName("ItemId"))
      r->SetItemId(TItemId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey")));
  }
  return list;
}

}  // namespace

std::string DvEWSPhotoSizeText(TSizeRequested size) {
  std::string text = DvEnumToXML(size);
  for (std::size_t i = 2; i < text.size(); ++i)
    if (text[i] == 'X') text[i] = 'x';
  return text;
}

// ---- TDvEWSOOF ----

TDvEWSOOF::TDvEWSOOF(std::shared_ptr<TDvEWSMsgStore> store, DvSOAPResponsePtr response,
                     DvDOMElementPtr element)
    : FStore(std::move(store)), FResponse(std::move(response)), FElement(std::move(element)) {}

DvDOMElementPtr TDvEWSOOF::Node(const std::string& path, bool create) {
  DvDOMElementPtr node = FElement;
  std::size_t start = 0;
  while (node && start <= path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::string name = path.substr(start, slash == std::string::npos ? slash : slash - start);
    DvDOMElementPtr child = node->ElementByName(name);
    if (!child && create) child = node->AddElement("t:" + name);
    node = child;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return node;
}

std::string TDvEWSOOF::Text(const std::string& path) {
  DvDOMElementPtr node = Node(path, false);
  return node ? node->GetAsString() : std::string();
}

TOofState TDvEWSOOF::GetState() {
  TOofState value = TOofState::osDisabled;
  DvTryXMLToEnum(Text("OofSettings/OofState"), value);
  return value;
}
TExternalAudience TDvEWSOOF::GetExternalAudience() {
  TExternalAudience value = TExternalAudience::eaNone;
  DvTryXMLToEnum(Text("OofSettings/ExternalAudience"), value);
  return value;
}
TExternalAudience TDvEWSOOF::GetAllowExternalOof() {
  TExternalAudience value = TExternalAudience::eaNone;
  DvTryXMLToEnum(Text("AllowExternalOof"), value);
  return value;
}
TDateTime TDvEWSOOF::GetStartTime() {
  DvDOMElementPtr node = Node("OofSettings/Duration/StartTime", false);
  return node ? node->GetAsDateTime() : TDateTime();
}
TDateTime TDvEWSOOF::GetEndTime() {
  DvDOMElementPtr node = Node("OofSettings/Duration/EndTime", false);
  return node ? node->GetAsDateTime() : TDateTime();
}
std::string TDvEWSOOF::GetInternalReply() {
  return Text("OofSettings/InternalReply/Message");
}
std::string TDvEWSOOF::GetExternalReply() {
  return Text("OofSettings/ExternalReply/Message");
}

void TDvEWSOOF::SetState(TOofState value) {
  Node("OofSettings/OofState", true)->SetAsString(DvEnumToXML(value));
}
void TDvEWSOOF::SetExternalAudience(TExternalAudience value) {
  Node("OofSettings/ExternalAudience", true)->SetAsString(DvEnumToXML(value));
}
void TDvEWSOOF::SetStartTime(TDateTime value) {
  Node("OofSettings/Duration/StartTime", true)->SetAsDateTime(value);
}
void TDvEWSOOF::SetEndTime(TDateTime value) {
  Node("OofSettings/Duration/EndTime", true)->SetAsDateTime(value);
}
void TDvEWSOOF::SetInternalReply(const std::string& value) {
  Node("OofSettings/InternalReply/Message", true)->SetAsString(value);
}
void TDvEWSOOF::SetExternalReply(const std::string& value) {
  Node("OofSettings/ExternalReply/Message", true)->SetAsString(value);
}

void TDvEWSOOF::Clear() {
  SetState(TOofState::osDisabled);
  SetExternalAudience(TExternalAudience::eaNone);
  SetInternalReply({});
  SetExternalReply({});
  Apply();
}

void TDvEWSOOF::Apply() {
  const std::string address = FStore->GetMailboxAddress();
  auto request =
      FStore->CreateRequest(nullptr, "m:SetUserOofSettingsRequest", "m:SetUserOofSettingsResponse");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr mailbox = op->AddElement("t:Mailbox");
  mailbox->AddElement("t:Address")->SetAsString(address);
  mailbox->AddElement("t:RoutingType")->SetAsString("SMTP");
  DvDOMElementPtr settings = op->AddElement("t:UserOofSettings");
  settings->AddElement("t:OofState")->SetAsString(DvEnumToXML(GetState()));
  settings->AddElement("t:ExternalAudience")->SetAsString(DvEnumToXML(GetExternalAudience()));
  if (GetState() == TOofState::osScheduled) {
    DvDOMElementPtr duration = settings->AddElement("t:Duration");
    duration->AddElement("t:StartTime")->SetAsDateTime(GetStartTime());
    duration->AddElement("t:EndTime")->SetAsDateTime(GetEndTime());
  }
  settings->AddElement("t:InternalReply")->AddElement("t:Message")->SetAsString(GetInternalReply());
  settings->AddElement("t:ExternalReply")->AddElement("t:Message")->SetAsString(GetExternalReply());
  DvSOAPResponsePtr response;
  SendSingle(*FStore, request, "SetUserOofSettingsResponse", true, response);
}

// ---- TDvEWSCategories ----

TDvEWSCategories::TDvEWSCategories(const std::string& xmlDataBase64) {
  const std::string bytes = DvBase64DecodeToString(DvTrim(xmlDataBase64));
  std::string codePage = DvDetectCodePage(bytes);
  if (codePage.empty()) codePage = "utf-8";
  DvDOMDocumentPtr doc = DvCreateDOM(bytes, codePage);
  DvDOMElementPtr root = doc->SelectSingleElement("/categories");
  if (!root) return;
  FDefault = root->GetAttribute("default");
  for (const DvDOMElementPtr& e : root->Elements())
    FList.push_back(TDvEWSCategory::FromElement(*e));
}

TDvEWSCategory TDvEWSCategories::GetCategory(int index) {
  if (index < 0 || index >= Count())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return FList[static_cast<std::size_t>(index)];
}

// ---- TDvEWSMsgStore's services ----

DvEWSCategoriesPtr TDvEWSMsgStore::GetCategories() {
  EwsCheckVersion(TServerVersion::Exchange2013, Session().GetServerVersion(), "GetCategories");
  if (FCategories) return FCategories;
  auto request = CreateRequest(nullptr, "m:GetUserConfiguration", "m:GetUserConfigurationResponse");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr name = op->AddElement("m:UserConfigurationName");
  name->SetAttribute("Name", "CategoryList");
  name->AddElement("t:DistinguishedFolderId")->SetAttribute("Id", "calendar");
  op->AddElement("m:UserConfigurationProperties")->SetAsString("All");
  DvDOMElementPtr message = SendChecked(request, "GetUserConfiguration");
  DvDOMElementPtr data = message->SelectSingleElement("UserConfiguration/XmlData");
  FCategories = std::make_shared<TDvEWSCategories>(data ? data->GetAsString() : std::string());
  return FCategories;
}

DvEWSRecipientsPtr TDvEWSMsgStore::GetRoomLists() {
  auto request = CreateRequest(nullptr, "m:GetRoomLists", "m:GetRoomListsResponse");
  DvSOAPResponsePtr response;
  DvDOMElementPtr element = SendSingle(*this, request, "GetRoomListsResponse", false, response);
  return RecipientsOf(element->ElementByName("RoomLists"), "Address", Session().GetServerVersion());
}

DvEWSRecipientsPtr TDvEWSMsgStore::GetRooms(const std::string& roomListAddress) {
  auto request = CreateRequest(nullptr, "m:GetRooms", "m:GetRoomsResponse");
  request->GetOperation()
      ->AddElement("m:RoomList")
      ->AddElement("t:EmailAddress")
      ->SetAsString(roomListAddress);
  DvSOAPResponsePtr response;
  DvDOMElementPtr element = SendSingle(*this, request, "GetRoomsResponse", false, response);
  return RecipientsOf(element->ElementByName("Rooms"), "Room/Id", Session().GetServerVersion());
}

void TDvEWSMsgStore::GetUserPhoto(std::ostream& stream, TSizeRequested size,
                                  const std::string& address) {
  const std::string email = address.empty() ? GetMailboxAddress() : address;
  auto request = CreateRequest(nullptr, "m:GetUserPhoto", "m:GetUserPhotoResponse");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:Email")->SetAsString(email);
  op->AddElement("m:SizeRequested")->SetAsString(DvEWSPhotoSizeText(size));
  DvSOAPResponsePtr response;
  DvDOMElementPtr element = SendSingle(*this, request, "GetUserPhotoResponse", false, response);
  DvDOMElementPtr picture = element->ElementByName("PictureData");
  if (!picture) return;
  const TBytes bytes = DvBase64Decode(DvTrim(picture->GetAsString()));
  stream.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

DvEWSOOFPtr TDvEWSMsgStore::GetOOF() {
  const std::string address = GetMailboxAddress();
  auto request =
      CreateRequest(nullptr, "m:GetUserOofSettingsRequest", "m:GetUserOofSettingsResponse");
  request->GetOperation()->AddElement("t:Mailbox")->AddElement("t:Address")->SetAsString(address);
  DvSOAPResponsePtr response;
  DvDOMElementPtr element =
      SendSingle(*this, request, "GetUserOofSettingsResponse", true, response);
  auto self = std::static_pointer_cast<TDvEWSMsgStore>(shared_from_this());
  return std::make_shared<TDvEWSOOF>(self, response, element);
}

namespace {

// One ExpandDL: the members of the list named by address or by id.
DvEWSRecipientsPtr ExpandOnce(TDvEWSMsgStore& store, const std::string& address,
                              const TItemId& id) {
  auto request = store.CreateRequest(nullptr, "m:ExpandDL", "m:ExpandDLResponse");
  DvDOMElementPtr mailbox = request->GetOperation()->AddElement("m:Mailbox");
  if (!id.Id.empty()) {
    DvDOMElementPtr e = mailbox->AddElement("t:ItemId");
    e->SetAttribute("Id", id.Id);
    if (!id.ChangeKey.empty()) e->SetAttribute("ChangeKey", id.ChangeKey);
  } else {
    mailbox->AddElement("t:EmailAddress")->SetAsString(address);
  }
  DvDOMElementPtr message = store.SendChecked(request, "ExpandDL");
  return RecipientsOf(message->ElementByName("DLExpansion"), "Mailbox",
                      store.Session().GetServerVersion());
}

void ExpandInto(TDvEWSMsgStore& store, const std::string& address, const TItemId& id,
                IDvEWSRecipients& out, std::set<std::string>& seenLists,
                std::set<std::string>& seenPeople) {
  DvEWSRecipientsPtr members = ExpandOnce(store, address, id);
  for (int i = 0; i < members->Count(); ++i) {
    DvEWSRecipientPtr m = members->GetRecipient(i);
    const TMailboxType type = m->GetMailboxType();
    const std::string key = DvLowerCaseAscii(m->GetEmailAddress());
    if (type == TMailboxType::mtPublicDL || type == TMailboxType::mtPrivateDL) {
      const TItemId listId = type == TMailboxType::mtPrivateDL ? m->GetItemId() : TItemId();
      if (seenLists.insert(listId.Id.empty() ? key : listId.Id).second)
        ExpandInto(store, m->GetEmailAddress(), listId, out, seenLists, seenPeople);
      continue;
    }
    if (!seenPeople.insert(key).second) continue;
    DvEWSRecipientPtr copy = out.Add(m->GetEmailAddress());
    copy->SetName(m->GetName());
    copy->SetMailboxType(type);
  }
}

DvEWSRecipientsPtr Expand(TDvEWSMsgStore& store, const std::string& address, const TItemId& id,
                          bool nested) {
  if (!nested) return ExpandOnce(store, address, id);
  auto out = TDvEWSRecipients::CreateStandalone(store.Session().GetServerVersion());
  std::set<std::string> seenLists{id.Id.empty() ? DvLowerCaseAscii(address) : id.Id};
  std::set<std::string> seenPeople;
  ExpandInto(store, address, id, *out, seenLists, seenPeople);
  return out;
}

}  // namespace

DvEWSRecipientsPtr TDvEWSMsgStore::ExpandDL(const std::string& address, bool nested) {
  return Expand(*this, address, TItemId(), nested);
}

DvEWSRecipientsPtr TDvEWSMsgStore::ExpandDL(const TItemId& listId, bool nested) {
  return Expand(*this, std::string(), listId, nested);
}

}  // namespace dv
