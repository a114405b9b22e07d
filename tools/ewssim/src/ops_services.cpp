// The mailbox's services: out-of-office settings and automatic replies, user configuration
// objects (the master category list among them), room lists and rooms, user photos.
#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ops.h"

namespace ewssim {

const char* OofStateName(OofSettings::State s) {
  switch (s) {
    case OofSettings::State::Enabled:
      return "Enabled";
    case OofSettings::State::Scheduled:
      return "Scheduled";
    default:
      return "Disabled";
  }
}

const char* OofAudienceName(OofSettings::Audience a) {
  switch (a) {
    case OofSettings::Audience::Known:
      return "Known";
    case OofSettings::Audience::All:
      return "All";
    default:
      return "None";
  }
}

OofSettings::State ParseOofState(const std::string& text) {
  for (auto s :
       {OofSettings::State::Disabled, OofSettings::State::Enabled, OofSettings::State::Scheduled})
    if (text == OofStateName(s)) return s;
  Fail("ErrorInvalidRequest", "The OOF state \"" + text + "\" is not valid.");
}

OofSettings::Audience ParseOofAudience(const std::string& text) {
  for (auto a :
       {OofSettings::Audience::None, OofSettings::Audience::Known, OofSettings::Audience::All})
    if (text == OofAudienceName(a)) return a;
  Fail("ErrorInvalidRequest", "The external audience \"" + text + "\" is not valid.");
}

const OofSettings& OofOf(const Mailbox& m) {
  return m.oof;
}
OofSettings& OofOf(Mailbox& m) {
  return m.oof;
}

// True when `address` is among the e-mail addresses of the contacts in the mailbox's Contacts
// folder (the "known" senders of an external audience of Known).
bool IsKnownSender(const Mailbox& m, const std::string& address) {
  const Folder* contacts = const_cast<Mailbox&>(m).Distinguished("contacts");
  if (!contacts) return false;
  for (uint64_t id : contacts->items) {
    const Item* item = const_cast<Mailbox&>(m).ItemById(id);
    if (!item) continue;
    if (const Field* f = item->Get("EmailAddresses"))
      for (const auto& v : f->values) {
        std::string a = v.size() > 5 && EqualsNoCase(v.substr(0, 5), "smtp:") ? v.substr(5) : v;
        if (EqualsNoCase(a, address)) return true;
      }
  }
  return false;
}

namespace {

std::string DomainOf(const std::string& address) {
  auto at = address.rfind('@');
  return at == std::string::npos ? std::string() : Lower(address.substr(at + 1));
}

const UserConfig* UserOf(const Config& config, const std::string& address) {
  for (const auto& u : config.users)
    if (EqualsNoCase(u.address, address)) return &u;
  return nullptr;
}

// The address of the mailbox a t:Mailbox (availability form, t:Address) names.
Mailbox& OofMailbox(Ctx& c) {
  std::string address = ChildText(Child(c.op, "Mailbox"), "Address");
  if (address.empty()) return *c.self;
  Mailbox* m = c.store.Find(address);
  if (!m) FailCode("ErrorNonExistentMailbox");
  if (!c.MayAccess(*m)) FailCode("ErrorAccessDenied");
  return *m;
}

// The opening of a response message element (ResponseClass, ResponseCode, …) without its end tag;
// `root` adds the namespace declarations of a response element that is the operation's whole
// answer.
std::string SimpleMessage(const std::string& element, const EwsError* error, bool root = false) {
  std::string out = "<m:" + element;
  if (root) out += std::string(" xmlns:m=\"") + kNsMessages + "\" xmlns:t=\"" + kNsTypes + "\"";
  out += " ResponseClass=\"";
  if (!error) return out + "Success\"><m:ResponseCode>NoError</m:ResponseCode>";
  out += "Error\"><m:MessageText>" + Escape(error->text) + "</m:MessageText><m:ResponseCode>" +
         error->code + "</m:ResponseCode><m:DescriptiveLinkKey>0</m:DescriptiveLinkKey>";
  return out;
}

std::string Standalone(const std::string& name, const std::string& inner) {
  return "<m:" + name + " xmlns:m=\"" + kNsMessages + "\" xmlns:t=\"" + kNsTypes + "\">" + inner +
         "</m:" + name + ">";
}

// ---- out-of-office

void AppendReply(std::string& out, const char* element, const std::string& text,
                 const std::string& lang) {
  out += std::string("<t:") + element;
  if (!lang.empty()) out += " xml:lang=\"" + Escape(lang) + "\"";
  out += "><t:Message>" + Escape(text) + "</t:Message></t:" + element + ">";
}

void GetUserOofSettings(Ctx& c) {
  std::string body;
  try {
    const Mailbox& m = OofMailbox(c);
    const OofSettings& s = OofOf(m);
    body = SimpleMessage("ResponseMessage", nullptr) + "</m:ResponseMessage>";
    body += "<t:OofSettings><t:OofState>" + std::string(OofStateName(s.state)) +
            "</t:OofState><t:ExternalAudience>" + OofAudienceName(s.externalAudience) +
            "</t:ExternalAudience>";
    int64_t start = s.start, end = s.end;
    if (start == 0 && end == 0) {  // Exchange reports a window even when none was set
      start = NowMs() / 3600000 * 3600000;
      end = start + 24 * 3600000;
    }
    body += "<t:Duration><t:StartTime>" + FormatDateTime(start) + "</t:StartTime><t:EndTime>" +
            FormatDateTime(end) + "</t:EndTime></t:Duration>";
    AppendReply(body, "InternalReply", s.internalReply, s.internalLang);
    AppendReply(body, "ExternalReply", s.externalReply, s.externalLang);
    body += "</t:OofSettings><m:AllowExternalOof>" + std::string(OofAudienceName(s.allowExternal)) +
            "</m:AllowExternalOof>";
  } catch (const EwsError& e) {
    body = SimpleMessage("ResponseMessage", &e) + "</m:ResponseMessage>";
  }
  c.response = Standalone("GetUserOofSettingsResponse", body);
}

void SetUserOofSettings(Ctx& c) {
  std::string body;
  try {
    Mailbox& m = OofMailbox(c);
    auto settings = Child(c.op, "UserOofSettings");
    OofSettings next = OofOf(m);
    next.state = ParseOofState(ChildText(settings, "OofState"));
    next.externalAudience = ParseOofAudience(ChildText(settings, "ExternalAudience"));
    if (auto d = Child(settings, "Duration")) {
      auto start = ParseDateTime(ChildText(d, "StartTime"));
      auto end = ParseDateTime(ChildText(d, "EndTime"));
      if (!start || !end) FailCode("ErrorInvalidRequest");
      next.start = *start;
      next.end = *end;
    }
    if (next.state == OofSettings::State::Scheduled && next.end <= next.start)
      Fail("ErrorInvalidScheduledOofDuration", "The scheduled OOF duration is not valid.");
    if (auto r = Child(settings, "InternalReply")) {
      next.internalReply = ChildText(r, "Message");
      next.internalLang = Attr(r, "xml:lang");
    }
    if (auto r = Child(settings, "ExternalReply")) {
      next.externalReply = ChildText(r, "Message");
      next.externalLang = Attr(r, "xml:lang");
    }
    next.answered.clear();  // new settings answer everyone once more
    OofOf(m) = std::move(next);
    body = SimpleMessage("ResponseMessage", nullptr) + "</m:ResponseMessage>";
  } catch (const EwsError& e) {
    body = SimpleMessage("ResponseMessage", &e) + "</m:ResponseMessage>";
  }
  c.response = Standalone("SetUserOofSettingsResponse", body);
}

Field AddressField(const char* element, const Mailbox& m) {
  return Field{std::string("<t:") + element + "><t:Mailbox><t:Name>" + Escape(m.displayName) +
                   "</t:Name><t:EmailAddress>" + Escape(m.address) +
                   "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>Mailbox</"
                   "t:MailboxType></t:Mailbox></t:" +
                   element + ">",
               {m.displayName, m.address}};
}

}  // namespace

void SendAutomaticReply(Ctx& c, Mailbox& recipient, Mailbox& sender, const Item& msg) {
  OofSettings& s = OofOf(recipient);
  if (&recipient == &sender || !s.InForce(NowMs())) return;
  // Automatic replies are never answered (two absent users would answer each other forever).
  if (msg.Value("ItemClass").rfind("IPM.Note.Rules.", 0) == 0) return;
  const std::string from = Lower(sender.address);
  const bool internal = DomainOf(from) == DomainOf(recipient.address);
  if (!internal) {
    auto audience = std::min(s.externalAudience, s.allowExternal);
    if (audience == OofSettings::Audience::None) return;
    if (audience == OofSettings::Audience::Known && !IsKnownSender(recipient, from)) return;
  }
  if (!s.answered.insert(from).second) return;
  auto reply = std::make_shared<Item>();
  reply->kind = "Message";
  reply->type = c.schema.Type("MessageType");
  reply->SetText("ItemClass", "IPM.Note.Rules.OofTemplate.Microsoft");
  reply->SetText("Subject", "Automatic reply: " + msg.Value("Subject"));
  const std::string& text = internal ? s.internalReply : s.externalReply;
  reply->Set("Body", Field{"<t:Body BodyType=\"Text\">" + Escape(text) + "</t:Body>", {text}});
  reply->Set("ToRecipients", AddressField("ToRecipients", sender));
  reply->Set("From", AddressField("From", recipient));
  reply->Set("Sender", AddressField("Sender", recipient));
  reply->SetText("DateTimeSent", FormatDateTime(NowMs()));
  DeliverMessage(c, recipient, *reply);
}

void ApplyUserSettings(Store& store, const Config& config) {
  for (const auto& u : config.users)
    if (Mailbox* m = store.Find(u.address)) {
      try {
        OofOf(*m).allowExternal = ParseOofAudience(u.allowExternalOof);
      } catch (const EwsError&) {
        throw std::runtime_error("allow_external_oof of " + u.address + ": All, Known or None");
      }
    }
}

namespace {

// ---- user configuration objects

// Exchange's master category list of a new mailbox (Outlook's six coloured categories).
std::string DefaultCategoryList() {
  static const std::pair<const char*, int> categories[] = {
      {"Red category", 0},   {"Orange category", 1}, {"Yellow category", 3},
      {"Green category", 4}, {"Blue category", 7},   {"Purple category", 8}};
  std::string xml =
      "<?xml version=\"1.0\"?><categories default=\"\" lastSavedSession=\"0\" "
      "lastSavedTime=\"2026-01-01T00:00:00.000\" xmlns=\"CategoryList.xsd\">";
  int n = 0;
  for (const auto& [name, color] : categories)
    xml +=
        std::string("<category name=\"") + name + "\" color=\"" + std::to_string(color) +
        "\" keyboardShortcut=\"0\" usageCount=\"0\" guid=\"{7b8c0c1e-0000-4000-8000-00000000000" +
        std::to_string(n++) + "}\" renameOnFirstUse=\"1\"/>";
  return xml + "</categories>";
}

struct ConfigRef {
  Mailbox* mailbox;
  Folder* folder;
  std::string name;
};

ConfigRef ConfigNamed(Ctx& c, const pugi::xml_node& nameElement) {
  auto [m, f] = c.ResolveFolderIn(nameElement);
  ConfigRef r{m, f, Attr(nameElement, "Name")};
  // The category list exists from the start in every mailbox's calendar: it is made on first
  // use, and an entry under folder 0 (never a folder's id) records that it was, so that a
  // deleted list stays deleted.
  if (r.name == "CategoryList" && f->distinguished == "calendar" &&
      m->userConfigs.emplace(std::make_pair(0u, r.name), UserConfigObject{}).second) {
    UserConfigObject o;
    o.hasXmlData = true;
    o.xmlData = Base64Encode(DefaultCategoryList());
    o.changeKey = 1;
    m->userConfigs[{f->id, r.name}] = std::move(o);
  }
  return r;
}

void ReadConfigParts(Ctx& c, const pugi::xml_node& config, UserConfigObject& o) {
  if (auto d = Child(config, "Dictionary")) {
    o.hasDictionary = true;
    o.dictionary = MakeField(c.pctx, d, "UserConfigurationDictionaryType").xml;
  }
  if (auto x = Child(config, "XmlData")) {
    o.hasXmlData = true;
    o.xmlData = Text(x);
  }
  if (auto b = Child(config, "BinaryData")) {
    o.hasBinaryData = true;
    o.binaryData = Text(b);
  }
}

void WriteConfig(std::string& out, const ConfigRef& r, const UserConfigObject& o,
                 const std::string& properties) {
  auto wants = [&](const char* p) {
    std::istringstream in(properties);
    for (std::string w; in >> w;)
      if (w == p || w == "All") return true;
    return false;
  };
  out += "<m:UserConfiguration><t:UserConfigurationName Name=\"" + Escape(r.name) +
         "\"><t:FolderId Id=\"" + EncodeId(IdKind::Folder, r.mailbox->index, r.folder->id) +
         "\" ChangeKey=\"" + EncodeChangeKey(r.folder->changeKey) +
         "\"/></t:UserConfigurationName>";
  if (wants("Id"))
    out += "<t:ItemId Id=\"" +
           EncodeId(IdKind::Item, r.mailbox->index, 0xC0000000ull + o.changeKey) +
           "\" ChangeKey=\"" + EncodeChangeKey(o.changeKey) + "\"/>";
  if (wants("Dictionary") && o.hasDictionary) out += o.dictionary;
  if (wants("XmlData") && o.hasXmlData) out += "<t:XmlData>" + o.xmlData + "</t:XmlData>";
  if (wants("BinaryData") && o.hasBinaryData)
    out += "<t:BinaryData>" + o.binaryData + "</t:BinaryData>";
  out += "</m:UserConfiguration>";
}

void GetUserConfiguration(Ctx& c) {
  PerMessage(c, "GetUserConfiguration", nullptr, [&](std::string& out) {
    ConfigRef r = ConfigNamed(c, Child(c.op, "UserConfigurationName"));
    auto it = r.mailbox->userConfigs.find({r.folder->id, r.name});
    if (it == r.mailbox->userConfigs.end()) FailCode("ErrorItemNotFound");
    WriteConfig(out, r, it->second, ChildText(c.op, "UserConfigurationProperties"));
  });
}

void CreateUserConfiguration(Ctx& c) {
  PerMessage(c, "CreateUserConfiguration", nullptr, [&](std::string&) {
    auto config = Child(c.op, "UserConfiguration");
    ConfigRef r = ConfigNamed(c, Child(config, "UserConfigurationName"));
    auto key = std::make_pair(r.folder->id, r.name);
    if (r.mailbox->userConfigs.count(key))
      Fail("ErrorItemSave", "The configuration object already exists.");
    UserConfigObject o;
    ReadConfigParts(c, config, o);
    o.changeKey = c.store.NextChangeKey();
    r.mailbox->userConfigs[key] = std::move(o);
  });
}

void UpdateUserConfiguration(Ctx& c) {
  PerMessage(c, "UpdateUserConfiguration", nullptr, [&](std::string&) {
    auto config = Child(c.op, "UserConfiguration");
    ConfigRef r = ConfigNamed(c, Child(config, "UserConfigurationName"));
    auto it = r.mailbox->userConfigs.find({r.folder->id, r.name});
    if (it == r.mailbox->userConfigs.end()) FailCode("ErrorItemNotFound");
    ReadConfigParts(c, config, it->second);  // the parts given replace the stored ones
    it->second.changeKey = c.store.NextChangeKey();
  });
}

void DeleteUserConfiguration(Ctx& c) {
  PerMessage(c, "DeleteUserConfiguration", nullptr, [&](std::string&) {
    ConfigRef r = ConfigNamed(c, Child(c.op, "UserConfigurationName"));
    if (!r.mailbox->userConfigs.erase({r.folder->id, r.name})) FailCode("ErrorItemNotFound");
  });
}

// ---- room lists, rooms

std::string AddressXml(const char* element, const std::string& name, const std::string& address,
                       const char* mailboxType) {
  return std::string("<t:") + element + "><t:Name>" + Escape(name) + "</t:Name><t:EmailAddress>" +
         Escape(address) + "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>" +
         mailboxType + "</t:MailboxType></t:" + element + ">";
}

void GetRoomLists(Ctx& c) {
  std::string body = SimpleMessage("GetRoomListsResponse", nullptr, true) + "<m:RoomLists>";
  for (const auto& list : c.config.roomLists)
    body += AddressXml("Address", list.displayName.empty() ? list.address : list.displayName,
                       list.address, "PublicDL");
  c.response = body + "</m:RoomLists></m:GetRoomListsResponse>";
}

void GetRooms(Ctx& c) {
  std::string address = ChildText(Child(c.op, "RoomList"), "EmailAddress");
  const RoomListConfig* list = nullptr;
  for (const auto& l : c.config.roomLists)
    if (EqualsNoCase(l.address, address)) list = &l;
  std::string body;
  if (!list) {
    EwsError e{"ErrorNameResolutionNoResults", "No results were found."};
    body = SimpleMessage("GetRoomsResponse", &e, true);
  } else {
    body = SimpleMessage("GetRoomsResponse", nullptr, true) + "<m:Rooms>";
    for (const auto& room : list->rooms) {
      const UserConfig* u = UserOf(c.config, room);
      std::string name = u && !u->displayName.empty() ? u->displayName : room;
      body += "<t:Room>" + AddressXml("Id", name, room, "Mailbox") + "</t:Room>";
    }
    body += "</m:Rooms>";
  }
  c.response = body + "</m:GetRoomsResponse>";
}

}  // namespace

// ---- user photos

int PhotoSide(const std::string& size) {
  static const std::pair<const char*, int> sizes[] = {
      {"HR48x48", 48},    {"HR64x64", 64},    {"HR96x96", 96},    {"HR120x120", 120},
      {"HR240x240", 240}, {"HR360x360", 360}, {"HR432x432", 432}, {"HR504x504", 504},
      {"HR648x648", 648}, {"HR1024xN", 1024}, {"HR1920xN", 1920}};
  for (const auto& [name, side] : sizes)
    if (EqualsNoCase(size, name)) return side;
  return 0;
}

std::optional<std::string> UserPhotoBytes(const Config& config, const std::string& address,
                                          int side) {
  const UserConfig* u = UserOf(config, address);
  if (!u || u->photos.empty()) return std::nullopt;
  // The largest picture not above the size asked for, else the smallest there is (Exchange
  // never scales a picture up).
  auto pick = u->photos.begin();
  for (auto it = u->photos.begin(); it != u->photos.end(); ++it)
    if (it->first <= side) pick = it;
  std::ifstream in(pick->second, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

namespace {

void GetUserPhoto(Ctx& c) {
  std::string body;
  int side = PhotoSide(ChildText(c.op, "SizeRequested"));
  auto photo = UserPhotoBytes(c.config, ChildText(c.op, "Email"), side);
  if (!photo) {
    EwsError e{"ErrorItemNotFound", "The specified object was not found in the store."};
    body = SimpleMessage("GetUserPhotoResponse", &e, true) + "<m:HasChanged>false</m:HasChanged>";
  } else {
    body = SimpleMessage("GetUserPhotoResponse", nullptr, true) +
           "<m:HasChanged>true</m:HasChanged><m:PictureData>" + Base64Encode(*photo) +
           "</m:PictureData>";
  }
  c.response = body + "</m:GetUserPhotoResponse>";
}

}  // namespace

void RegisterServiceOps(OpTable& t) {
  t["GetUserOofSettingsRequest"] = {GetUserOofSettings, false};
  t["SetUserOofSettingsRequest"] = {SetUserOofSettings, true};
  t["GetUserConfiguration"] = {GetUserConfiguration, true};  // seeds the category list
  t["CreateUserConfiguration"] = {CreateUserConfiguration, true};
  t["UpdateUserConfiguration"] = {UpdateUserConfiguration, true};
  t["DeleteUserConfiguration"] = {DeleteUserConfiguration, true};
  t["GetRoomLists"] = {GetRoomLists, false};
  t["GetRooms"] = {GetRooms, false};
  t["GetUserPhoto"] = {GetUserPhoto, false};
}

}  // namespace ewssim
