#include "store.h"

#include <algorithm>
#include <cstring>

#include "calendar.h"
#include "mime.h"
#include "util.h"

namespace ewssim {

// ---------------------------------------------------------------- identifiers

std::string EncodeRawId(uint8_t version, IdKind kind, uint16_t mailbox, uint64_t local,
                        uint32_t attachment) {
  std::string b;
  b += static_cast<char>(version);
  b += static_cast<char>(kind);
  for (int i = 0; i < 2; ++i)
    b += static_cast<char>((mailbox >> (8 * i)) & 0xff);
  for (int i = 0; i < 8; ++i)
    b += static_cast<char>((local >> (8 * i)) & 0xff);
  if (kind == IdKind::Attachment)
    for (int i = 0; i < 4; ++i)
      b += static_cast<char>((attachment >> (8 * i)) & 0xff);
  return b;
}

std::string EncodeId(IdKind kind, uint16_t mailbox, uint64_t local, uint32_t attachment) {
  return Base64Encode(EncodeRawId(1, kind, mailbox, local, attachment));
}

std::optional<DecodedId> DecodeRawId(const std::string& b) {
  if (b.size() < 12 || (b[0] != 1 && b[0] != 2)) return std::nullopt;
  DecodedId id;
  char k = b[1];
  if (k != 'F' && k != 'I' && k != 'A') return std::nullopt;
  id.kind = static_cast<IdKind>(k);
  if (b.size() != (id.kind == IdKind::Attachment ? 16u : 12u)) return std::nullopt;
  auto byte = [&](size_t i) { return static_cast<uint64_t>(static_cast<unsigned char>(b[i])); };
  id.mailbox = static_cast<uint16_t>(byte(2) | (byte(3) << 8));
  for (int i = 0; i < 8; ++i)
    id.local |= byte(4 + i) << (8 * i);
  if (id.kind == IdKind::Attachment)
    for (int i = 0; i < 4; ++i)
      id.attachment |= static_cast<uint32_t>(byte(12 + i) << (8 * i));
  return id;
}

DecodedId DecodeId(const std::string& text) {
  if (text.empty()) FailCode("ErrorInvalidIdEmpty");
  auto bytes = Base64Decode(text);
  if (!bytes) FailCode("ErrorInvalidIdMalformed");
  auto id = DecodeRawId(*bytes);
  if (!id) FailCode("ErrorInvalidIdMalformed");
  return *id;
}

std::string EncodeChangeKey(uint64_t ck) {
  std::string b = "CQAAAB";
  std::string raw;
  for (int i = 0; i < 8; ++i)
    raw += static_cast<char>((ck >> (8 * i)) & 0xff);
  raw += "ewssim";
  return b + Base64Encode(raw);
}

uint64_t DecodeChangeKey(const std::string& text) {
  if (text.size() < 6 || text.compare(0, 6, "CQAAAB") != 0) return 0;
  auto raw = Base64Decode(text.substr(6));
  if (!raw || raw->size() != 14) return 0;
  uint64_t ck = 0;
  for (int i = 0; i < 8; ++i)
    ck |= static_cast<uint64_t>(static_cast<unsigned char>((*raw)[i])) << (8 * i);
  return ck;
}

// ---------------------------------------------------------------- kinds

namespace {
const std::map<std::string, std::string, std::less<>>& KindTypes() {
  static const std::map<std::string, std::string, std::less<>> m = {
      {"Item", "ItemType"},
      {"Message", "MessageType"},
      {"CalendarItem", "CalendarItemType"},
      {"Contact", "ContactItemType"},
      {"DistributionList", "DistributionListType"},
      {"Task", "TaskType"},
      {"MeetingMessage", "MeetingMessageType"},
      {"MeetingRequest", "MeetingRequestMessageType"},
      {"MeetingResponse", "MeetingResponseMessageType"},
      {"MeetingCancellation", "MeetingCancellationMessageType"},
      {"PostItem", "PostItemType"},
  };
  return m;
}
}  // namespace

const std::string* ItemTypeName(std::string_view kind) {
  auto it = KindTypes().find(kind);
  return it == KindTypes().end() ? nullptr : &it->second;
}

std::string DefaultItemClass(std::string_view kind) {
  if (kind == "CalendarItem") return "IPM.Appointment";
  if (kind == "Contact") return "IPM.Contact";
  if (kind == "DistributionList") return "IPM.DistList";
  if (kind == "Task") return "IPM.Task";
  if (kind == "MeetingRequest") return "IPM.Schedule.Meeting.Request";
  if (kind == "MeetingResponse") return "IPM.Schedule.Meeting.Resp.Pos";
  if (kind == "MeetingCancellation") return "IPM.Schedule.Meeting.Canceled";
  if (kind == "PostItem") return "IPM.Post";
  return "IPM.Note";
}

bool IsMessageKind(std::string_view kind) {
  return kind == "Message" || kind == "MeetingMessage" || kind == "MeetingRequest" ||
         kind == "MeetingResponse" || kind == "MeetingCancellation";
}

std::string DefaultFolderFor(std::string_view kind) {
  if (kind == "CalendarItem") return "calendar";
  if (kind == "Contact" || kind == "DistributionList") return "contacts";
  if (kind == "Task") return "tasks";
  if (kind == "Message") return "drafts";
  return "inbox";
}

// ---------------------------------------------------------------- items

size_t Attachment::Size() const {
  if (!isItem) return content.size();
  size_t n = 0;
  if (item)
    for (auto& [i, f] : item->fields)
      n += f.xml.size();
  return n;
}

std::shared_ptr<Item> Item::Clone() const {
  auto copy = std::make_shared<Item>(*this);
  for (auto& a : copy->attachments)
    if (a.item) a.item = a.item->Clone();
  return copy;
}

const Field* Item::Get(std::string_view element) const {
  int idx = type ? type->IndexOf(element) : -1;
  if (idx < 0) return nullptr;
  auto it = fields.find(idx);
  return it == fields.end() ? nullptr : &it->second;
}

std::string Item::Value(std::string_view element) const {
  const Field* f = Get(element);
  return f && !f->values.empty() ? f->values.front() : std::string();
}

bool Item::Bool(std::string_view element, bool fallback) const {
  const Field* f = Get(element);
  bool b = fallback;
  if (f && !f->values.empty()) ParseBool(f->values.front(), b);
  return b;
}

void Item::Set(std::string_view element, Field f) {
  int idx = type ? type->IndexOf(element) : -1;
  if (idx >= 0) fields[idx] = std::move(f);
}

void Item::SetText(std::string_view element, std::string_view text) {
  Field f;
  f.xml = "<t:" + std::string(element) + ">";
  AppendEscaped(f.xml, text);
  f.xml += "</t:" + std::string(element) + ">";
  f.values.emplace_back(text);
  Set(element, std::move(f));
}

void Item::Erase(std::string_view element) {
  int idx = type ? type->IndexOf(element) : -1;
  if (idx >= 0) fields.erase(idx);
}

ExtProp* Item::FindExt(const std::string& key) {
  for (auto& p : ext)
    if (p.key == key) return &p;
  return nullptr;
}

// ---------------------------------------------------------------- mailboxes

Folder* Mailbox::FolderById(uint32_t id) {
  auto it = folders.find(id);
  return it == folders.end() ? nullptr : &it->second;
}

Folder* Mailbox::Distinguished(const std::string& name) {
  auto it = distinguished.find(name);
  return it == distinguished.end() ? nullptr : FolderById(it->second);
}

Item* Mailbox::ItemById(uint64_t id) {
  auto it = items.find(id);
  return it == items.end() ? nullptr : it->second.get();
}

uint32_t Mailbox::CreateFolder(uint32_t parent, const std::string& name, const std::string& kind,
                               const std::string& cls, const std::string& dist) {
  uint32_t id = nextFolder++;
  Folder& f = folders[id];
  f.id = id;
  f.parent = parent;
  f.displayName = name;
  f.kind = kind;
  f.folderClass = cls;
  f.distinguished = dist;
  f.created = NowMs();
  f.changeKey = 1;
  if (!dist.empty()) distinguished[dist] = id;
  if (Folder* p = FolderById(parent)) p->children.insert(id);
  return id;
}

Item* Mailbox::AddItem(std::shared_ptr<Item> item, uint32_t folder) {
  if (!item->id) item->id = nextItem++;
  item->folder = folder;
  Item* raw = item.get();
  items[item->id] = std::move(item);
  if (Folder* f = FolderById(folder)) {
    f->items.insert(raw->id);
    ++f->version;
  }
  return raw;
}

void Mailbox::RemoveItem(uint64_t id) {
  auto it = items.find(id);
  if (it == items.end()) return;
  if (Folder* f = FolderById(it->second->folder)) {
    f->items.erase(id);
    ++f->version;
  }
  items.erase(it);
}

void Mailbox::MoveItem(Item& item, uint32_t folder, bool newId) {
  if (Folder* f = FolderById(item.folder)) {
    f->items.erase(item.id);
    ++f->version;
  }
  if (newId) {
    auto node = items.extract(item.id);
    item.id = nextItem++;
    node.key() = item.id;
    items.insert(std::move(node));
  }
  item.folder = folder;
  if (Folder* f = FolderById(folder)) {
    f->items.insert(item.id);
    ++f->version;
  }
}

void Mailbox::RemoveFolderTree(uint32_t id) {
  Folder* f = FolderById(id);
  if (!f) return;
  auto children = f->children;
  for (uint32_t c : children)
    RemoveFolderTree(c);
  f = FolderById(id);
  for (uint64_t item : f->items)
    items.erase(item);
  if (Folder* p = FolderById(f->parent)) {
    p->children.erase(id);
    ++p->version;
  }
  if (!f->distinguished.empty()) distinguished.erase(f->distinguished);
  folders.erase(id);
}

long Mailbox::UnreadCount(const Folder& f) const {
  long n = 0;
  for (uint64_t id : f.items) {
    auto it = items.find(id);
    if (it != items.end() && IsMessageKind(it->second->kind) && !it->second->Bool("IsRead", true))
      ++n;
  }
  return n;
}

Mailbox* Store::Find(const std::string& address) {
  for (auto& m : mailboxes)
    if (EqualsNoCase(m->address, address)) return m.get();
  return nullptr;
}

Mailbox* Store::At(uint16_t index) {
  return index < mailboxes.size() ? mailboxes[index].get() : nullptr;
}

Mailbox& Store::Add(const std::string& address, const std::string& displayName) {
  auto m = std::make_unique<Mailbox>();
  m->index = static_cast<uint16_t>(mailboxes.size());
  m->address = address;
  m->displayName = displayName;
  struct Def {
    const char* dist;
    const char* parent;
    const char* name;
    const char* kind;
    const char* cls;
  };
  static const Def defs[] = {
      {"root", "", "", "Folder", ""},
      {"msgfolderroot", "root", "Top of Information Store", "Folder", "IPF.Note"},
      {"inbox", "msgfolderroot", "Inbox", "Folder", "IPF.Note"},
      {"drafts", "msgfolderroot", "Drafts", "Folder", "IPF.Note"},
      {"sentitems", "msgfolderroot", "Sent Items", "Folder", "IPF.Note"},
      {"deleteditems", "msgfolderroot", "Deleted Items", "Folder", "IPF.Note"},
      {"outbox", "msgfolderroot", "Outbox", "Folder", "IPF.Note"},
      {"junkemail", "msgfolderroot", "Junk Email", "Folder", "IPF.Note"},
      {"archive", "msgfolderroot", "Archive", "Folder", "IPF.Note"},
      {"calendar", "msgfolderroot", "Calendar", "CalendarFolder", "IPF.Appointment"},
      {"contacts", "msgfolderroot", "Contacts", "ContactsFolder", "IPF.Contact"},
      {"quickcontacts", "contacts", "Quick Contacts", "ContactsFolder",
       "IPF.Contact.MOC.QuickContacts"},
      {"recipientcache", "contacts", "Recipient Cache", "ContactsFolder",
       "IPF.Contact.RecipientCache"},
      {"tasks", "msgfolderroot", "Tasks", "TasksFolder", "IPF.Task"},
      {"notes", "msgfolderroot", "Notes", "Folder", "IPF.StickyNote"},
      {"journal", "msgfolderroot", "Journal", "Folder", "IPF.Journal"},
      {"conversationhistory", "msgfolderroot", "Conversation History", "Folder", "IPF.Note"},
      {"syncissues", "msgfolderroot", "Sync Issues", "Folder", "IPF.Note"},
      {"conflicts", "syncissues", "Conflicts", "Folder", "IPF.Note"},
      {"localfailures", "syncissues", "Local Failures", "Folder", "IPF.Note"},
      {"serverfailures", "syncissues", "Server Failures", "Folder", "IPF.Note"},
      {"searchfolders", "root", "Finder", "Folder", ""},
      {"todosearch", "searchfolders", "To-Do Search", "SearchFolder", "IPF.Task"},
      {"voicemail", "searchfolders", "Voice Mail", "SearchFolder", "IPF.Note.Microsoft.Voicemail"},
      {"recoverableitemsroot", "root", "Recoverable Items", "Folder", ""},
      {"recoverableitemsdeletions", "recoverableitemsroot", "Deletions", "Folder", ""},
      {"recoverableitemsversions", "recoverableitemsroot", "Versions", "Folder", ""},
      {"recoverableitemspurges", "recoverableitemsroot", "Purges", "Folder", ""},
      {"recoverableitemsdiscoveryholds", "recoverableitemsroot", "DiscoveryHolds", "Folder", ""},
      {"adminauditlogs", "root", "AdminAuditLogs", "Folder", ""},
      {"favorites", "root", "Favorites", "Folder", "IPF.Note"},
  };
  for (const Def& d : defs) {
    uint32_t parent = 0;
    if (*d.parent) parent = m->distinguished.at(d.parent);
    m->CreateFolder(parent, d.name, d.kind, d.cls, d.dist);
  }
  if (Folder* todo = m->Distinguished("todosearch")) {
    todo->searchRoots = {m->distinguished.at("msgfolderroot")};
    todo->searchDeep = true;
    todo->searchRestriction =
        "<t:IsEqualTo><t:FieldURI FieldURI=\"item:ItemClass\"/>"
        "<t:FieldURIOrConstant><t:Constant Value=\"IPM.Task\"/>"
        "</t:FieldURIOrConstant></t:IsEqualTo>";
  }
  mailboxes.push_back(std::move(m));
  return *mailboxes.back();
}

// ---------------------------------------------------------------- fields

namespace {
bool IsBuiltinSimple(const std::string& t) {
  static const std::set<std::string> s = {
      "string",        "boolean",      "dateTime", "int",     "long",     "double",
      "base64Binary",  "duration",     "date",     "time",    "anyURI",   "short",
      "unsignedInt",   "float",        "decimal",  "integer", "byte",     "nonNegativeInteger",
      "unsignedShort", "unsignedLong", "language", "token",   "hexBinary"};
  return s.count(t) > 0;
}

void WriteNormalized(std::string& out, const ParseContext& ctx, const pugi::xml_node& n,
                     const std::string& typeName, std::vector<std::string>& values) {
  std::string name(LocalName(n));
  out += "<t:";
  out += name;
  for (auto a = n.first_attribute(); a; a = a.next_attribute()) {
    std::string_view an = a.name();
    if (an == "xmlns" || an.substr(0, 6) == "xmlns:") continue;
    out += ' ';
    out += an;
    out += "=\"";
    std::string v = a.value();
    if (an == "IsTruncated" || an == "IsBodyPartTruncated") {
      bool b;
      if (ParseBool(v, b)) v = BoolText(b);
    }
    AppendAttrEscaped(out, v);
    out += '"';
  }
  const SchemaType* type = ctx.schema ? ctx.schema->Type(typeName) : nullptr;
  bool hasElements = false;
  for (auto c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) hasElements = true;
  if (!hasElements) {
    std::string text = Text(n);
    if (typeName == "boolean") {
      bool b;
      if (ParseBool(text, b)) text = BoolText(b);
    } else if (typeName == "dateTime") {
      if (auto t = ParseDateTime(text, ctx.timeZone)) text = FormatDateTime(*t);
    }
    if (text.empty() && !type && !IsBuiltinSimple(typeName) && n.first_attribute() &&
        typeName.empty()) {
      out += "/>";
      return;
    }
    out += '>';
    AppendEscaped(out, text);
    values.push_back(std::move(text));
  } else {
    out += '>';
    for (auto c = n.first_child(); c; c = c.next_sibling()) {
      if (c.type() != pugi::node_element) continue;
      std::string childType;
      if (type) {
        int idx = type->IndexOf(LocalName(c));
        if (idx >= 0) childType = type->children[static_cast<size_t>(idx)].type;
      }
      WriteNormalized(out, ctx, c, childType, values);
    }
  }
  out += "</t:";
  out += name;
  out += '>';
}

struct GuidName {
  const char* name;
  const char* guid;
};
const GuidName kSets[] = {
    {"Meeting", "6ed8da90-450b-101b-98da-00aa003f1305"},
    {"Appointment", "00062002-0000-0000-c000-000000000046"},
    {"Common", "00062008-0000-0000-c000-000000000046"},
    {"PublicStrings", "00020329-0000-0000-c000-000000000046"},
    {"Address", "00062004-0000-0000-c000-000000000046"},
    {"InternetHeaders", "00020386-0000-0000-c000-000000000046"},
    {"CalendarAssistant", "11000e07-b51b-40d6-af21-caa85edab1d0"},
    {"UnifiedMessaging", "4442858e-a9e3-4e80-b900-317a210cc15b"},
    {"Task", "00062003-0000-0000-c000-000000000046"},
    {"Sharing", "00062040-0000-0000-c000-000000000046"},
};

bool ParseNumber(const std::string& s, uint64_t& out) {
  if (s.empty()) return false;
  try {
    size_t pos = 0;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
      out = std::stoull(s.substr(2), &pos, 16), pos += 2;
    else
      out = std::stoull(s, &pos, 10);
    return pos == s.size();
  } catch (...) {
    return false;
  }
}

constexpr uint64_t kTagMessageFlags = 0x0E07, kTagSubject = 0x0037, kTagItemClass = 0x001A,
                   kTagSize = 0x0E08, kTagDelivery = 0x0E06, kTagCreation = 0x3007,
                   kTagLastModified = 0x3008, kTagBody = 0x1000;

std::string TagOf(const std::string& key) {
  return key.rfind("tag:", 0) == 0 ? key.substr(4) : std::string();
}
}  // namespace

Field MakeField(const ParseContext& ctx, const pugi::xml_node& n, const std::string& typeName) {
  Field f;
  WriteNormalized(f.xml, ctx, n, typeName, f.values);
  return f;
}

std::string ExtKeyOf(const pugi::xml_node& uri) {
  std::string tag = Attr(uri, "PropertyTag"), setId = Lower(Attr(uri, "PropertySetId")),
              dist = Attr(uri, "DistinguishedPropertySetId"), name = Attr(uri, "PropertyName"),
              pid = Attr(uri, "PropertyId");
  if (!tag.empty()) {
    uint64_t v;
    if (!ParseNumber(tag, v) || !setId.empty() || !dist.empty() || !name.empty() || !pid.empty())
      FailCode("ErrorInvalidExtendedProperty");
    return "tag:" + std::to_string(v & 0xffff);
  }
  if (!dist.empty()) {
    if (!setId.empty()) FailCode("ErrorInvalidExtendedProperty");
    for (const auto& s : kSets)
      if (dist == s.name) setId = s.guid;
    if (setId.empty()) FailCode("ErrorInvalidExtendedProperty");
  }
  if (setId.empty() || (name.empty() == pid.empty())) FailCode("ErrorInvalidExtendedProperty");
  if (!name.empty()) return "{" + setId + "}/name:" + name;
  uint64_t v;
  if (!ParseNumber(pid, v)) FailCode("ErrorInvalidExtendedProperty");
  return "{" + setId + "}/id:" + std::to_string(v);
}

ExtProp ParseExtProp(const pugi::xml_node& n) {
  ExtProp p;
  auto uri = Child(n, "ExtendedFieldURI");
  if (!uri) FailCode("ErrorInvalidExtendedProperty");
  p.key = ExtKeyOf(uri);
  p.type = Attr(uri, "PropertyType");
  p.uriXml = "<t:ExtendedFieldURI";
  for (auto a = uri.first_attribute(); a; a = a.next_attribute()) {
    std::string_view an = a.name();
    if (an == "xmlns" || an.substr(0, 6) == "xmlns:") continue;
    p.uriXml += " " + std::string(an) + "=\"";
    AppendAttrEscaped(p.uriXml, a.value());
    p.uriXml += "\"";
  }
  p.uriXml += "/>";
  if (auto values = Child(n, "Values")) {
    p.multi = true;
    for (auto v : Children(values, "Value"))
      p.values.push_back(Text(v));
  } else {
    p.values.push_back(ChildText(n, "Value"));
  }
  if (p.type == "Boolean")
    for (auto& v : p.values) {
      bool b;
      if (ParseBool(v, b)) v = BoolText(b);
    }
  if (p.type == "SystemTime")
    for (auto& v : p.values)
      if (auto t = ParseDateTime(v)) v = FormatDateTime(*t);
  return p;
}

void WriteExtProp(std::string& out, const ExtProp& p) {
  out += "<t:ExtendedProperty>";
  out += p.uriXml;
  if (p.multi) {
    out += "<t:Values>";
    for (auto& v : p.values) {
      out += "<t:Value>";
      AppendEscaped(out, v);
      out += "</t:Value>";
    }
    out += "</t:Values>";
  } else {
    out += "<t:Value>";
    AppendEscaped(out, p.values.empty() ? std::string() : p.values.front());
    out += "</t:Value>";
  }
  out += "</t:ExtendedProperty>";
}

void SetExtProp(Item& item, ExtProp p) {
  std::string tag = TagOf(p.key);
  std::string value = p.values.empty() ? std::string() : p.values.front();
  if (tag == std::to_string(kTagMessageFlags)) {
    uint64_t flags = 0;
    ParseNumber(value, flags);
    if (IsMessageKind(item.kind)) {
      item.SetText("IsRead", BoolText(flags & 0x1));
      item.SetText("IsDraft", BoolText(flags & 0x8));
      item.SetText("IsFromMe", BoolText(flags & 0x20));
    }
    return;  // mirrored by the elements, computed on read
  }
  if (tag == std::to_string(kTagSubject)) return item.SetText("Subject", value);
  if (tag == std::to_string(kTagItemClass)) return item.SetText("ItemClass", value);
  if (tag == std::to_string(kTagDelivery)) {
    if (auto t = ParseDateTime(value)) item.SetText("DateTimeReceived", FormatDateTime(*t));
    return;
  }
  if (ExtProp* existing = item.FindExt(p.key)) {
    *existing = std::move(p);
    return;
  }
  item.ext.push_back(std::move(p));
}

std::optional<ExtProp> GetExtProp(const Item& item, const std::string& key) {
  for (auto& p : item.ext)
    if (p.key == key) return p;
  std::string tag = TagOf(key);
  if (tag.empty()) return std::nullopt;
  uint64_t t = std::stoull(tag);
  auto make = [&](const char* type, std::string v) {
    ExtProp p;
    p.key = key;
    char buf[80];
    std::snprintf(buf, sizeof buf, "<t:ExtendedFieldURI PropertyTag=\"0x%x\" PropertyType=\"%s\"/>",
                  static_cast<unsigned>(t), type);
    p.uriXml = buf;
    p.type = type;
    p.values.push_back(std::move(v));
    return p;
  };
  if (t == kTagMessageFlags) {
    uint64_t flags = 0;
    if (item.Bool("IsRead", true)) flags |= 0x1;
    if (item.Bool("IsDraft", false)) flags |= 0x8;
    if (!item.attachments.empty()) flags |= 0x10;
    if (item.Bool("IsUnmodified", false)) flags |= 0x2;
    if (item.Bool("IsFromMe", false)) flags |= 0x20;
    return make("Integer", std::to_string(flags));
  }
  if (t == kTagSubject && item.Get("Subject")) return make("String", item.Value("Subject"));
  if (t == kTagItemClass) return make("String", item.Value("ItemClass"));
  if (t == kTagSize) return make("Integer", item.Value("Size"));
  if (t == kTagDelivery && item.Get("DateTimeReceived"))
    return make("SystemTime", item.Value("DateTimeReceived"));
  if (t == kTagCreation) return make("SystemTime", FormatDateTime(item.created));
  if (t == kTagLastModified) return make("SystemTime", FormatDateTime(item.modified));
  if (t == kTagBody && item.Get("Body")) return make("String", item.Value("Body"));
  return std::nullopt;
}

// ---------------------------------------------------------------- parse items

namespace {
Attachment ParseAttachment(const ParseContext& ctx, const pugi::xml_node& n) {
  Attachment a;
  a.isItem = LocalName(n) == "ItemAttachment";
  a.name = ChildText(n, "Name");
  a.contentType = ChildText(n, "ContentType");
  a.contentId = ChildText(n, "ContentId");
  a.contentLocation = ChildText(n, "ContentLocation");
  bool b = false;
  if (ParseBool(ChildText(n, "IsInline"), b)) a.isInline = b;
  b = false;
  if (ParseBool(ChildText(n, "IsContactPhoto"), b)) a.isContactPhoto = b;
  a.lastModified = NowMs();
  if (a.isItem) {
    for (auto c : Elements(n))
      if (ItemTypeName(LocalName(c))) a.item = ParseItem(ctx, c);
    if (!a.item) FailCode("ErrorInvalidRequest");
    if (a.contentType.empty()) a.contentType = "message/rfc822";
  } else {
    auto content = Base64Decode(ChildText(n, "Content"));
    if (!content) FailCode("ErrorInvalidRequest");
    a.content = std::move(*content);
    if (a.contentType.empty()) a.contentType = "application/octet-stream";
  }
  return a;
}
}  // namespace

std::shared_ptr<Item> ParseItem(const ParseContext& ctx, const pugi::xml_node& n) {
  auto item = std::make_shared<Item>();
  item->kind = std::string(LocalName(n));
  const std::string* typeName = ItemTypeName(item->kind);
  if (!typeName) FailCode("ErrorInvalidRequest");
  item->type = ctx.schema->Type(*typeName);
  if (!item->type) FailCode("ErrorInternalServerError");
  item->created = item->modified = NowMs();
  static const std::set<std::string, std::less<>> readOnly = {
      "ItemId",          "ParentFolderId",  "DateTimeCreated",  "LastModifiedTime", "Size",
      "HasAttachments",  "IsSubmitted",     "IsUnmodified",     "IsFromMe",         "IsResend",
      "ResponseObjects", "EffectiveRights", "ConversationId",   "UniqueBody",       "TextBody",
      "NormalizedBody",  "InstanceKey",     "LastModifiedName", "MimeContent"};
  // Items imported from MIME start from the MIME content; the elements given beside it win.
  if (auto mime = Child(n, "MimeContent")) {
    auto bytes = Base64Decode(Text(mime));
    if (!bytes) FailCode("ErrorMimeContentConversionFailed");
    ImportMime(ctx, *bytes, *item);
  }
  for (auto c : Elements(n)) {
    auto name = LocalName(c);
    if (name == "ExtendedProperty") {
      SetExtProp(*item, ParseExtProp(c));
      continue;
    }
    if (name == "Attachments") {
      for (auto a : Elements(c)) {
        Attachment att = ParseAttachment(ctx, a);
        att.num = item->nextAttachment++;
        item->attachments.push_back(std::move(att));
      }
      continue;
    }
    if (readOnly.count(name)) continue;
    int idx = item->type->IndexOf(name);
    if (idx < 0) FailCode("ErrorInvalidPropertySet");
    std::string childType = item->type->children[static_cast<size_t>(idx)].type;
    // IsDraft is read-only in the schema sense but a MIME import may set it through flags.
    item->fields[idx] = MakeField(ctx, c, childType);
  }
  return item;
}

void Refresh(const Mailbox& mbx, Item& item, bool touch) {
  if (touch) item.modified = NowMs();
  if (!item.changeKey) item.changeKey = 1;
  std::string idXml = "<t:ItemId Id=\"" + EncodeId(IdKind::Item, mbx.index, item.id) +
                      "\" ChangeKey=\"" + EncodeChangeKey(item.changeKey) + "\"/>";
  item.Set("ItemId", Field{idXml, {}});
  item.Set("ParentFolderId",
           Field{"<t:ParentFolderId Id=\"" + EncodeId(IdKind::Folder, mbx.index, item.folder) +
                     "\" ChangeKey=\"AQAAAA==\"/>",
                 {}});
  if (!item.Get("ItemClass")) item.SetText("ItemClass", DefaultItemClass(item.kind));
  if (!item.Get("Sensitivity")) item.SetText("Sensitivity", "Normal");
  if (!item.Get("Importance")) item.SetText("Importance", "Normal");
  ApplyKindRules(item);
  if (!item.Get("DateTimeReceived")) item.SetText("DateTimeReceived", FormatDateTime(item.created));
  item.SetText("DateTimeCreated", FormatDateTime(item.created));
  item.SetText("LastModifiedTime", FormatDateTime(item.modified));
  item.SetText("HasAttachments",
               BoolText(std::any_of(item.attachments.begin(), item.attachments.end(),
                                    [](const Attachment& a) { return !a.isInline; })));
  if (IsMessageKind(item.kind)) {
    if (!item.Get("IsRead")) item.SetText("IsRead", "true");
    if (!item.Get("IsDraft")) item.SetText("IsDraft", "true");
    item.SetText("IsSubmitted", "false");
    item.SetText("IsUnmodified", BoolText(!item.Bool("IsDraft", true)));
    if (!item.Get("IsFromMe")) item.SetText("IsFromMe", "false");
    item.SetText("IsResend", "false");
  }
  if (item.attachments.empty()) {
    item.Erase("Attachments");
  } else {
    Field f;
    f.xml = "<t:Attachments>";
    for (auto& a : item.attachments)
      WriteAttachment(f.xml, mbx, item, a, false, false, false);
    f.xml += "</t:Attachments>";
    for (auto& a : item.attachments)
      f.values.push_back(a.name);
    item.Set("Attachments", std::move(f));
  }
  if (item.kind == "CalendarItem") RefreshCalendar(mbx, item);
  size_t size = 0;
  for (auto& [i, f] : item.fields)
    size += f.xml.size();
  for (auto& a : item.attachments)
    size += a.Size();
  item.SetText("Size", std::to_string(size));
}

// ---------------------------------------------------------------- shapes and writing

std::string ElementOfFieldUri(const std::string& uri) {
  auto colon = uri.find(':');
  return colon == std::string::npos ? uri : uri.substr(colon + 1);
}

Shape ParseShape(const pugi::xml_node& node) {
  Shape s;
  std::string base = ChildText(node, "BaseShape");
  if (base == "IdOnly")
    s.base = Shape::IdOnly;
  else if (base == "AllProperties")
    s.base = Shape::AllProperties;
  else
    s.base = Shape::Default;
  bool b = false;
  if (ParseBool(ChildText(node, "IncludeMimeContent"), b)) s.includeMime = b;
  s.bodyType = ChildText(node, "BodyType");
  if (auto add = Child(node, "AdditionalProperties")) {
    for (auto p : Elements(add)) {
      auto ln = LocalName(p);
      if (ln == "FieldURI") {
        s.fields.insert(ElementOfFieldUri(Attr(p, "FieldURI")));
      } else if (ln == "IndexedFieldURI") {
        std::string uri = Attr(p, "FieldURI");
        Shape::Indexed ix;
        auto parts = ElementOfFieldUri(uri);
        auto colon = parts.find(':');
        ix.container = colon == std::string::npos ? parts : parts.substr(0, colon);
        if (colon != std::string::npos) ix.sub = parts.substr(colon + 1);
        if (ix.container == "EmailAddress" || ix.container == "PhoneNumber" ||
            ix.container == "PhysicalAddress" || ix.container == "ImAddress")
          ix.container += ix.container == "PhysicalAddress" ? "es" : "s";
        if (ix.container == "ImAddresss") ix.container = "ImAddresses";
        if (ix.container == "EmailAddresss") ix.container = "EmailAddresses";
        ix.key = Attr(p, "FieldIndex");
        s.indexed.push_back(ix);
      } else if (ln == "ExtendedFieldURI") {
        s.ext.emplace_back(ExtKeyOf(p), "");
      }
    }
  }
  return s;
}

namespace {
std::string StripTags(std::string_view html) {
  std::string out;
  bool inTag = false;
  for (size_t i = 0; i < html.size(); ++i) {
    char c = html[i];
    if (c == '<') {
      inTag = true;
      if (html.substr(i, 3) == "<br" || html.substr(i, 3) == "<p>" || html.substr(i, 3) == "</p")
        out += '\n';
    } else if (c == '>') {
      inTag = false;
    } else if (!inTag) {
      out += c;
    }
  }
  auto replace = [&](const char* from, const char* to) {
    size_t pos = 0;
    while ((pos = out.find(from, pos)) != std::string::npos) {
      out.replace(pos, std::strlen(from), to);
      pos += std::strlen(to);
    }
  };
  replace("&nbsp;", " ");
  replace("&lt;", "<");
  replace("&gt;", ">");
  replace("&quot;", "\"");
  replace("&amp;", "&");
  while (!out.empty() && (out.front() == '\n' || out.front() == ' '))
    out.erase(0, 1);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
    out.pop_back();
  return out;
}

std::string BodyElement(const char* element, const std::string& type, const std::string& text) {
  std::string out = "<t:";
  out += element;
  out += " BodyType=\"" + type + "\">";
  AppendEscaped(out, text);
  out += "</t:";
  out += element;
  out += ">";
  return out;
}

// The body in the requested form (Best keeps the stored one).
std::string ConvertBody(const Item& item, const std::string& want, const char* element) {
  const Field* f = item.Get("Body");
  std::string stored = "Text", text;
  if (f) {
    auto p = f->xml.find("BodyType=\"HTML\"");
    if (p != std::string::npos && p < f->xml.find('>')) stored = "HTML";
    text = f->values.empty() ? std::string() : f->values.front();
  }
  std::string type = want.empty() || want == "Best" ? stored : want;
  if (type == stored) return BodyElement(element, type, text);
  if (type == "Text") return BodyElement(element, "Text", StripTags(text));
  std::string html = "<html><body>";
  for (char c : Escape(text))
    html += c == '\n' ? std::string("<br>") : std::string(1, c);
  html += "</body></html>";
  return BodyElement(element, "HTML", html);
}

bool ExcludedFromFind(std::string_view name) {
  static const std::set<std::string, std::less<>> s = {"Body",
                                                       "Attachments",
                                                       "ToRecipients",
                                                       "CcRecipients",
                                                       "BccRecipients",
                                                       "ReplyTo",
                                                       "UniqueBody",
                                                       "TextBody",
                                                       "NormalizedBody",
                                                       "MimeContent",
                                                       "InternetMessageHeaders",
                                                       "Members",
                                                       "RequiredAttendees",
                                                       "OptionalAttendees",
                                                       "Resources",
                                                       "ResponseObjects"};
  return s.count(name) > 0;
}

bool ExcludedFromDefault(std::string_view name) {
  static const std::set<std::string, std::less<>> s = {"MimeContent", "UniqueBody", "TextBody",
                                                       "NormalizedBody", "InternetMessageHeaders"};
  return s.count(name) > 0;
}
}  // namespace

void WriteItem(std::string& out, const Mailbox& mbx, const Item& item, const Shape& shape) {
  std::vector<std::pair<int, std::string>> extra;
  const SchemaType& type = *item.type;
  auto want = [&](const std::string& name) {
    if (name == "StartTimeZone" || name == "EndTimeZone") {
      if (shape.legacyTimeZones) return false;
    } else if (name == "MeetingTimeZone" && !shape.legacyTimeZones && !shape.fields.count(name)) {
      return false;
    }
    if (shape.fields.count(name)) return !(shape.forFind && ExcludedFromFind(name));
    if (name == "ItemId") return true;
    if (shape.base == Shape::IdOnly) return false;
    if (shape.forFind && ExcludedFromFind(name)) return false;
    if (shape.base == Shape::Default && ExcludedFromDefault(name)) return false;
    return true;
  };
  out += "<t:";
  out += item.kind;
  out += '>';
  if ((shape.includeMime || shape.fields.count("MimeContent")) && !shape.forFind)
    extra.emplace_back(type.IndexOf("MimeContent"), "<t:MimeContent CharacterSet=\"UTF-8\">" +
                                                        Base64Encode(GenerateMime(mbx, item)) +
                                                        "</t:MimeContent>");
  for (const char* computed : {"TextBody", "UniqueBody"})
    if (shape.fields.count(computed) && !shape.forFind && item.Get("Body"))
      extra.emplace_back(type.IndexOf(computed),
                         ConvertBody(item, computed[0] == 'T' ? "Text" : shape.bodyType, computed));
  // The rights of the mailbox owner on its own items (Exchange sends them with AllProperties).
  if (const int rights = type.IndexOf("EffectiveRights");
      rights >= 0 && !shape.forFind &&
      (shape.fields.count("EffectiveRights") || shape.base == Shape::AllProperties))
    extra.emplace_back(rights,
                       "<t:EffectiveRights><t:CreateAssociated>false</t:CreateAssociated>"
                       "<t:CreateContents>false</t:CreateContents><t:CreateHierarchy>false"
                       "</t:CreateHierarchy><t:Delete>true</t:Delete><t:Modify>true</t:Modify>"
                       "<t:Read>true</t:Read></t:EffectiveRights>");
  if (!shape.ext.empty()) {
    std::string xml;
    for (auto& [key, uri] : shape.ext)
      if (auto p = GetExtProp(item, key)) WriteExtProp(xml, *p);
    if (!xml.empty()) extra.emplace_back(type.IndexOf("ExtendedProperty"), std::move(xml));
  }
  std::set<std::string> indexedDone;
  for (auto& ix : shape.indexed) {
    if (indexedDone.count(ix.container)) continue;
    const Field* f = item.Get(ix.container);
    if (!f) continue;
    // Keep only the entries asked for.
    pugi::xml_document doc;
    if (!doc.load_string(f->xml.c_str())) continue;
    auto root = doc.document_element();
    for (auto e : Elements(root)) {
      bool keep = false;
      for (auto& other : shape.indexed)
        if (other.container == ix.container && Attr(e, "Key") == other.key) keep = true;
      if (!keep) root.remove_child(e);
    }
    if (!root.first_child()) continue;
    indexedDone.insert(ix.container);
    extra.emplace_back(type.IndexOf(ix.container), OuterXml(root));
  }
  std::sort(extra.begin(), extra.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  auto extraIt = extra.begin();
  for (auto& [idx, f] : item.fields) {
    while (extraIt != extra.end() && extraIt->first < idx)
      out += (extraIt++)->second;
    const std::string& name = type.children[static_cast<size_t>(idx)].name;
    if (indexedDone.count(name)) continue;
    if (!want(name)) continue;
    if (name == "Body" && !shape.bodyType.empty() && shape.bodyType != "Best")
      out += ConvertBody(item, shape.bodyType, "Body");
    else
      out += f.xml;
  }
  while (extraIt != extra.end())
    out += (extraIt++)->second;
  out += "</t:";
  out += item.kind;
  out += '>';
}

void WriteAttachment(std::string& out, const Mailbox& mbx, const Item& root, const Attachment& a,
                     bool withContent, bool includeMime, bool withRootIds) {
  const char* el = a.isItem ? "ItemAttachment" : "FileAttachment";
  out += "<t:";
  out += el;
  out += "><t:AttachmentId Id=\"" + EncodeId(IdKind::Attachment, mbx.index, root.id, a.num) + "\"";
  if (withRootIds)
    out += " RootItemId=\"" + EncodeId(IdKind::Item, mbx.index, root.id) +
           "\" RootItemChangeKey=\"" + EncodeChangeKey(root.changeKey) + "\"";
  out += "/><t:Name>";
  AppendEscaped(out, a.name);
  out += "</t:Name><t:ContentType>";
  AppendEscaped(out, a.contentType);
  out += "</t:ContentType>";
  if (!a.contentId.empty()) {
    out += "<t:ContentId>";
    AppendEscaped(out, a.contentId);
    out += "</t:ContentId>";
  }
  if (!a.contentLocation.empty()) {
    out += "<t:ContentLocation>";
    AppendEscaped(out, a.contentLocation);
    out += "</t:ContentLocation>";
  }
  out += "<t:Size>" + std::to_string(a.Size()) + "</t:Size><t:LastModifiedTime>" +
         FormatDateTime(a.lastModified) + "</t:LastModifiedTime><t:IsInline>" +
         BoolText(a.isInline) + "</t:IsInline>";
  if (!a.isItem) {
    out += "<t:IsContactPhoto>" + BoolText(a.isContactPhoto) + "</t:IsContactPhoto>";
    if (withContent) out += "<t:Content>" + Base64Encode(a.content) + "</t:Content>";
  } else if (withContent && a.item) {
    Shape s;
    s.base = Shape::AllProperties;
    s.includeMime = includeMime;
    // Attached items have no ids of their own.
    std::string inner;
    WriteItem(inner, mbx, *a.item, s);
    auto idStart = inner.find("<t:ItemId ");
    if (idStart != std::string::npos) inner.erase(idStart, inner.find("/>", idStart) + 2 - idStart);
    auto pStart = inner.find("<t:ParentFolderId ");
    if (pStart != std::string::npos) inner.erase(pStart, inner.find("/>", pStart) + 2 - pStart);
    out += inner;
  }
  out += "</t:";
  out += el;
  out += ">";
}

void WriteFolder(std::string& out, const Mailbox& mbx, const Folder& f, const Shape& shape) {
  out += "<t:" + f.kind + "><t:FolderId Id=\"" + EncodeId(IdKind::Folder, mbx.index, f.id) +
         "\" ChangeKey=\"" + EncodeChangeKey(f.changeKey) + "\"/>";
  bool all = shape.base == Shape::AllProperties, def = shape.base != Shape::IdOnly;
  auto want = [&](const char* name, bool inDefault) {
    return shape.fields.count(name) || all || (def && inDefault);
  };
  if (f.parent && want("ParentFolderId", false))
    out += "<t:ParentFolderId Id=\"" + EncodeId(IdKind::Folder, mbx.index, f.parent) +
           "\" ChangeKey=\"AQAAAA==\"/>";
  if (want("FolderClass", false) && !f.folderClass.empty()) {
    out += "<t:FolderClass>";
    AppendEscaped(out, f.folderClass);
    out += "</t:FolderClass>";
  }
  if (want("DisplayName", true)) {
    out += "<t:DisplayName>";
    AppendEscaped(out, f.displayName);
    out += "</t:DisplayName>";
  }
  size_t total = f.items.size();
  if (f.kind == "SearchFolder") total = 0;
  if (want("TotalCount", true)) out += "<t:TotalCount>" + std::to_string(total) + "</t:TotalCount>";
  if (want("ChildFolderCount", true))
    out += "<t:ChildFolderCount>" + std::to_string(f.children.size()) + "</t:ChildFolderCount>";
  for (auto& [key, uri] : shape.ext)
    for (auto& p : f.ext)
      if (p.key == key) WriteExtProp(out, p);
  if (want("EffectiveRights", false))
    out +=
        "<t:EffectiveRights><t:CreateAssociated>true</t:CreateAssociated><t:CreateContents>"
        "true</t:CreateContents><t:CreateHierarchy>true</t:CreateHierarchy><t:Delete>true</"
        "t:Delete><t:Modify>true</t:Modify><t:Read>true</t:Read><t:ViewPrivateItems>true</"
        "t:ViewPrivateItems></t:EffectiveRights>";
  if ((f.kind == "Folder" || f.kind == "TasksFolder" || f.kind == "SearchFolder") &&
      want("UnreadCount", true))
    out += "<t:UnreadCount>" + std::to_string(f.kind == "SearchFolder" ? 0 : mbx.UnreadCount(f)) +
           "</t:UnreadCount>";
  out += "</t:" + f.kind + ">";
}

// ---------------------------------------------------------------- property paths

std::optional<std::vector<std::string>> PathValues(const Item& item, const pugi::xml_node& path) {
  auto ln = LocalName(path);
  if (ln == "FieldURI") {
    std::string name = ElementOfFieldUri(Attr(path, "FieldURI"));
    if (name == "ItemId") return std::vector<std::string>{EncodeId(IdKind::Item, 0, item.id)};
    const Field* f = item.Get(name);
    if (!f) return std::nullopt;
    if (name == "Body" || name == "Subject" || f->values.size() <= 1) return f->values;
    return f->values;
  }
  if (ln == "IndexedFieldURI") {
    std::string uri = ElementOfFieldUri(Attr(path, "FieldURI"));
    std::string key = Attr(path, "FieldIndex");
    std::string container = uri, sub;
    auto colon = uri.find(':');
    if (colon != std::string::npos) container = uri.substr(0, colon), sub = uri.substr(colon + 1);
    if (container == "PhysicalAddress")
      container = "PhysicalAddresses";
    else if (container == "ImAddress")
      container = "ImAddresses";
    else if (container == "InternetMessageHeader")
      container = "InternetMessageHeaders";
    else
      container += "es";
    if (container == "PhoneNumberes") container = "PhoneNumbers";
    if (container == "EmailAddresses" || container == "PhoneNumbers" ||
        container == "PhysicalAddresses" || container == "ImAddresses" ||
        container == "InternetMessageHeaders") {
      const Field* f = item.Get(container);
      if (!f) return std::nullopt;
      pugi::xml_document doc;
      if (!doc.load_string(f->xml.c_str())) return std::nullopt;
      for (auto e : Elements(doc.document_element())) {
        std::string k =
            container == "InternetMessageHeaders" ? Attr(e, "HeaderName") : Attr(e, "Key");
        if (!EqualsNoCase(k, key)) continue;
        if (sub.empty()) return std::vector<std::string>{Text(e)};
        auto s = Child(e, sub);
        if (s) return std::vector<std::string>{Text(s)};
      }
    }
    return std::nullopt;
  }
  if (ln == "ExtendedFieldURI") {
    auto p = GetExtProp(item, ExtKeyOf(path));
    if (!p) return std::nullopt;
    return p->values;
  }
  return std::nullopt;
}

std::string PathType(const Item& item, const pugi::xml_node& path) {
  auto ln = LocalName(path);
  if (ln == "FieldURI") {
    std::string name = ElementOfFieldUri(Attr(path, "FieldURI"));
    int idx = item.type->IndexOf(name);
    if (idx < 0) return "string";
    std::string t = item.type->children[static_cast<size_t>(idx)].type;
    if (name == "Size") return "int";
    return t;
  }
  if (ln == "ExtendedFieldURI") {
    std::string t = Attr(path, "PropertyType");
    if (t == "SystemTime" || t == "SystemTimeArray") return "dateTime";
    if (t == "Boolean") return "boolean";
    if (t == "Integer" || t == "Short" || t == "Long" || t == "Double" || t == "Float" ||
        t == "Currency" || t == "IntegerArray" || t == "LongArray" || t == "ShortArray")
      return "double";
    return "string";
  }
  return "string";
}

std::vector<Recipient> RecipientsOf(const Item& item, std::string_view element) {
  std::vector<Recipient> out;
  const Field* f = item.Get(element);
  if (!f) return out;
  pugi::xml_document doc;
  if (!doc.load_string(f->xml.c_str())) return out;
  for (auto m : doc.document_element().select_nodes(".//*[local-name()='Mailbox']"))
    out.push_back({ChildText(m.node(), "Name"), ChildText(m.node(), "EmailAddress")});
  return out;
}

}  // namespace ewssim
