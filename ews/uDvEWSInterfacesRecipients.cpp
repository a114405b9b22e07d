#include "uDvEWSInterfacesRecipients.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

#include "DvUtils.h"
#include "uDvEWS.h"

namespace dv {

namespace {

// A copy of an element as the root of a new document, so a wrapper can live on after the
// original is removed from its tree.
DvDOMElementPtr DetachedCopy(const DvDOMElementPtr& element) {
  return DvCreateDOM(element->GetXML())->GetDocumentElement();
}

// Removes an element from its parent (nothing for a root element).
void RemoveFromParent(const DvDOMElementPtr& element) {
  if (DvDOMElementPtr parent = element->GetParent()) parent->RemoveElement(element);
}

[[noreturn]] void RaiseIndex(int index) {
  throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

bool IsDomainChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '.' || c == '_';
}

// The characters of an unquoted local part besides the full stop: letters, digits and
// !#$%&'*+-/=?^_`{|}~ (the "atext" of Internet mail).
bool IsAtomChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// A local part: dot-separated atoms (no empty one), or a quoted string of printable ASCII in
// which a quote or backslash is escaped by a backslash.
bool IsLocalPart(std::string_view local) {
  if (local.empty()) return false;
  if (local.front() == '"') {
    if (local.size() < 2 || local.back() != '"') return false;
    for (std::size_t i = 1; i + 1 < local.size(); ++i) {
      const char c = local[i];
      if (c < 0x20 || c > 0x7E) return false;
      if (c == '\\') {
        if (++i + 1 >= local.size()) return false;  // a backslash escapes the closing quote
        if (local[i] < 0x20 || local[i] > 0x7E) return false;
      } else if (c == '"') {
        return false;
      }
    }
    return true;
  }
  if (local.front() == '.' || local.back() == '.' || local.find("..") != std::string_view::npos)
    return false;
  for (char c : local)
    if (c != '.' && !IsAtomChar(c)) return false;
  return true;
}

// The integer of an attribute text; false when it is not one.
bool ParseInt(std::string_view text, int& value) {
  const std::string t = DvTrim(text);
  if (t.empty()) return false;
  const char* first = t.data();
  if (*first == '+') ++first;
  const auto [ptr, ec] = std::from_chars(first, t.data() + t.size(), value);
  return ec == std::errc() && ptr == t.data() + t.size();
}

// What parsing a recipient text found.
struct TParsedRecipient {
  std::string Name;
  std::string RoutingType;
  std::string EmailAddress;
};

// The "name <address>" forms, tried in this order.
constexpr std::pair<char, char> kBrackets[] = {{'[', ']'}, {'<', '>'}, {'(', ')'}};

[[noreturn]] void RaiseNotAnAddress(const std::string& text) {
  throw Exception("The recipient \"" + text + "\" is not a valid e-mail address");
}

// A display name: apostrophes removed, then one level of quoting.
std::string DisplayName(std::string_view text) {
  std::string name = DvTrim(text);
  std::erase(name, '\'');
  return DvStripLiterals(DvTrim(name));
}

// Parses "name <address>" (or [ ] or ( )) with an optional "TYPE:" before the address. False
// when no form fits or an SMTP address has no "@" (the text is then a name); an SMTP address
// with an "@" that is not a valid address is refused.
bool ParseBracketed(const std::string& text, TParsedRecipient& out) {
  for (const auto& [open, close] : kBrackets) {
    const std::size_t pos = text.find(open);
    if (pos == std::string::npos || text.back() != close) continue;
    std::string routingType = "SMTP";
    std::string address = text.substr(pos + 1, text.size() - pos - 2);
    // A routing type is a word before a colon ("smtp:", "FAX:", or nothing at all).
    const std::size_t colon = address.find(':');
    if (colon != std::string::npos &&
        std::all_of(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(colon),
                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; })) {
      routingType = DvUpperCaseAscii(std::string_view(address).substr(0, colon));
      address.erase(0, colon + 1);
    }
    const bool hasAt = address.find('@') != std::string::npos;
    if (hasAt && routingType.empty()) routingType = "SMTP";
    if (routingType == "SMTP") {
      if (!hasAt) return false;
      if (!DvEWSIsEmailAddress(address)) RaiseNotAnAddress(text);
    }
    const std::string name = DisplayName(std::string_view(text).substr(0, pos));
    out.Name = name.empty() ? text : name;
    out.RoutingType = routingType;
    out.EmailAddress = address;
    return true;
  }
  return false;
}

// What a recipient text stands for; Exception when it is empty or a malformed address.
TParsedRecipient ParseRecipient(const std::string& text) {
  const std::string s = DvTrim(text);
  if (s.empty()) throw Exception("You can not add an empty recipient");
  DvXMLCheckText(s, "recipient");  // refused before the list changes
  TParsedRecipient parsed;
  if (s.front() == '/') {
    // A legacy Exchange address (an X.500 distinguished name): kept as it is, routed as "EX".
    parsed = {s, "EX", s};
  } else if (!ParseBracketed(s, parsed)) {
    if (DvEWSIsEmailAddress(s))
      parsed = {s, "SMTP", s};
    else if (s.find('@') != std::string::npos)
      RaiseNotAnAddress(s);
    else
      parsed = {s, "", ""};  // a name, for the server to resolve
  }
  return parsed;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TItemId

void TItemId::Assign(TEwsFolderId& id) {
  Id = id.GetId();
  ChangeKey = id.GetChangeKey();
}

void TItemId::Assign(TEwsItemId& id) {
  Id = id.GetId();
  ChangeKey = id.GetChangeKey();
}

// ---------------------------------------------------------------------------------------------
// Text helpers

bool DvEWSIsEmailAddress(std::string_view text) {
  const std::size_t at = text.rfind('@');
  if (at == std::string_view::npos || at == 0) return false;
  const std::string_view domain = text.substr(at + 1);
  if (!IsLocalPart(text.substr(0, at))) return false;
  // A domain literal ("[192.0.2.1]") or a host name.
  if (domain.size() >= 3 && domain.front() == '[' && domain.back() == ']')
    return domain.find_first_of("[]\\", 1) == domain.size() - 1;
  if (domain.size() < 4) return false;
  const std::size_t dot = domain.find('.');
  if (dot == std::string_view::npos || dot > domain.size() - 3) return false;
  return std::all_of(domain.begin(), domain.end(), IsDomainChar);
}

std::string DvStripLiterals(std::string_view text) {
  if (text.size() < 2) return std::string(text);
  const char q = text.front();
  if ((q != '"' && q != '\'') || text.back() != q) return std::string(text);
  const std::string_view inner = text.substr(1, text.size() - 2);
  std::string out;
  out.reserve(inner.size());
  for (std::size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (inner[i] == q && i + 1 < inner.size() && inner[i + 1] == q) ++i;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// TDvEWSRecipient

TDvEWSRecipient::TDvEWSRecipient(const DvDOMElementPtr& element, const std::string& elementName,
                                 TServerVersion serverVersion)
    : FServerVersion(serverVersion) {
  if (!element) throw Exception("A recipient needs a mailbox element");
  if (element->GetLocalName() != elementName)
    throw Exception("The element \"" + element->GetLocalName() + "\" is not a \"" + elementName +
                    "\" element");
  FMailBoxElement = std::make_unique<TEwsEmailAddressType>(element);
}

std::string TDvEWSRecipient::GetEmailAddress() {
  return FMailBoxElement->GetEmailAddress();
}
std::string TDvEWSRecipient::GetName() {
  return FMailBoxElement->GetName();
}
std::string TDvEWSRecipient::GetRoutingType() {
  return FMailBoxElement->GetRoutingType();
}
TMailboxType TDvEWSRecipient::GetMailboxType() {
  return FMailBoxElement->GetMailboxType();
}

std::string TDvEWSRecipient::GetOriginalDisplayName() {
  EwsCheckVersion(TServerVersion::Exchange2013, FServerVersion, "OriginalDisplayName");
  return FMailBoxElement->GetOriginalDisplayName();
}

TItemId TDvEWSRecipient::GetItemId() {
  TItemId result;
  if (DvDOMElementPtr id = FMailBoxElement->AsElement()->ElementByName("ItemId")) {
    result.Id = id->GetAttribute("Id");
    if (id->HasAttribute("ChangeKey")) result.ChangeKey = id->GetAttribute("ChangeKey");
  }
  return result;
}

void TDvEWSRecipient::SetEmailAddress(const std::string& value) {
  FMailBoxElement->SetEmailAddress(value);
}
void TDvEWSRecipient::SetName(const std::string& value) {
  FMailBoxElement->SetName(value);
}
void TDvEWSRecipient::SetRoutingType(const std::string& value) {
  FMailBoxElement->SetRoutingType(value);
}
void TDvEWSRecipient::SetMailboxType(TMailboxType value) {
  FMailBoxElement->SetMailboxType(value);
}
void TDvEWSRecipient::SetOriginalDisplayName(const std::string& value) {
  FMailBoxElement->SetOriginalDisplayName(value);
}

void TDvEWSRecipient::SetItemId(const TItemId& value) {
  TEwsItemId* id = FMailBoxElement->GetItemId();  // found or created in schema order
  id->SetId(value.Id);
  if (!value.ChangeKey.empty()) id->SetChangeKey(value.ChangeKey);
}

void TDvEWSRecipient::Detach() {
  Rebind(DetachedCopy(FMailBoxElement->AsElement()));
}

void TDvEWSRecipient::Rebind(const DvDOMElementPtr& element) {
  FMailBoxElement = std::make_unique<TEwsEmailAddressType>(element);
}

// ---------------------------------------------------------------------------------------------
// TDvEWSRecipients

TDvEWSRecipients::TDvEWSRecipients(const DvDOMElementPtr& parent, const std::string& mailboxElmName,
                                   TServerVersion serverVersion)
    : FServerVersion(serverVersion), FMailboxElmName(mailboxElmName), FMailBoxParent(parent) {
  if (!FMailBoxParent) throw Exception("A recipient list needs a parent element");
  DvDOMElementListPtr list = FMailBoxParent->CreateElementList(".//" + FMailboxElmName);
  const int n = list->Count();
  FList.reserve(n);
  for (int i = 0; i < n; ++i)
    FList.push_back(
        std::make_shared<TDvEWSRecipient>(list->GetItem(i), FMailboxElmName, FServerVersion));
}

TDvEWSRecipients::~TDvEWSRecipients() {
  ClearElements();
}

std::shared_ptr<TDvEWSRecipients> TDvEWSRecipients::CreateStandalone(TServerVersion serverVersion) {
  DvDOMElementPtr root = DvCreateDOM()->CreateDocumentElement("t:Recipients");
  root->SetAttribute("xmlns:t", "http://schemas.microsoft.com/exchange/services/2006/types");
  return std::make_shared<TDvEWSRecipients>(root, "Mailbox", serverVersion);
}

const DvEWSRecipientObjPtr& TDvEWSRecipients::GetItem(int index) const {
  if (index < 0 || index >= static_cast<int>(FList.size())) RaiseIndex(index);
  return FList[index];
}

DvEWSRecipientPtr TDvEWSRecipients::GetRecipient(int index) {
  return GetItem(index);
}

int TDvEWSRecipients::Count() const {
  return static_cast<int>(FList.size());
}

std::string TDvEWSRecipients::GetAsString() {
  std::string out;
  for (const DvEWSRecipientObjPtr& r : FList) {
    if (!out.empty()) out += "; ";
    const std::string name = r->GetName();
    const std::string address = r->GetEmailAddress();
    if (!name.empty() && name != address)
      out += name + " <" + address + ">";
    else
      out += address;
  }
  return out;
}

void TDvEWSRecipients::SetAsString(const std::string& value) {
  // Every part is checked before the list changes, so a refused text leaves it as it was.
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find(';', start);
    if (end == std::string::npos) end = value.size();
    std::string part = DvTrim(std::string_view(value).substr(start, end - start));
    if (!part.empty()) {
      ParseRecipient(part);
      parts.push_back(std::move(part));
    }
    start = end + 1;
  }
  Clear();
  for (const std::string& part : parts)
    Add(part);
}

DvEWSRecipientPtr TDvEWSRecipients::Add(const std::string& text) {
  const TParsedRecipient parsed = ParseRecipient(text);
  auto recipient = std::make_shared<TDvEWSRecipient>(FMailBoxParent->AddElement("t:Mailbox"),
                                                     "Mailbox", FServerVersion);
  FList.push_back(recipient);
  recipient->SetName(parsed.Name);
  if (!parsed.EmailAddress.empty()) recipient->SetEmailAddress(parsed.EmailAddress);
  if (!parsed.RoutingType.empty()) recipient->SetRoutingType(parsed.RoutingType);
  return recipient;
}

void TDvEWSRecipients::Remove(const std::string& emailAddress) {
  for (std::size_t i = 0; i < FList.size(); ++i) {
    if (DvSameTextUnicode(FList[i]->GetEmailAddress(), emailAddress)) {
      Delete(static_cast<int>(i));
      return;
    }
  }
}

void TDvEWSRecipients::Delete(int index) {
  DvEWSRecipientObjPtr recipient = GetItem(index);
  FList.erase(FList.begin() + index);
  const DvDOMElementPtr element = recipient->AsElement();
  if (recipient.use_count() > 1) recipient->Detach();  // still held by the application
  RemoveFromParent(element);
}

void TDvEWSRecipients::Clear() {
  for (DvEWSRecipientObjPtr& r : FList)
    if (r.use_count() > 1) r->Detach();
  FList.clear();
  for (int i = FMailBoxParent->ElementCount() - 1; i >= 0; --i)
    FMailBoxParent->RemoveElement(FMailBoxParent->GetElement(i));
}

void TDvEWSRecipients::ClearElements() noexcept {
  try {
    Clear();
  } catch (...) {
    // A destructor must not throw; the XML keeps what could not be removed.
  }
}

// ---------------------------------------------------------------------------------------------
// Members

TDvEWSMember::TDvEWSMember(const DvDOMElementPtr& element, TServerVersion serverVersion)
    : FMember(std::make_unique<TEwsMember>(element)), FServerVersion(serverVersion) {}

std::string TDvEWSMember::GetKey() {
  return FMember->GetKey();
}
void TDvEWSMember::SetKey(const std::string& value) {
  FMember->SetKey(value);
}
TMemberStatus TDvEWSMember::GetStatus() {
  return FMember->GetStatus();
}
void TDvEWSMember::SetStatus(TMemberStatus value) {
  FMember->SetStatus(value);
}

DvEWSRecipientPtr TDvEWSMember::GetMailbox() {
  if (!FMailbox)
    FMailbox = std::make_shared<TDvEWSRecipient>(FMember->GetMailbox()->AsElement(), "Mailbox",
                                                 FServerVersion);
  return FMailbox;
}

std::string TDvEWSMember::MailboxAddress() const {
  DvDOMElementPtr e = FMember->AsElement()->SelectSingleElement("Mailbox/EmailAddress");
  return e ? e->GetAsString() : std::string();
}

void TDvEWSMember::Detach() {
  FMember = std::make_unique<TEwsMember>(DetachedCopy(FMember->AsElement()));
  if (FMailbox) FMailbox->Rebind(FMember->GetMailbox()->AsElement());
}

TDvEWSMembersList::TDvEWSMembersList(const DvDOMElementPtr& members, TServerVersion serverVersion)
    : FServerVersion(serverVersion) {
  if (!members) throw Exception("A member list needs its Members element");
  FMembers = std::make_unique<TEwsMembersList>(members);
  const int n = members->ElementCount();
  for (int i = 0; i < n; ++i) {
    DvDOMElementPtr e = members->GetElement(i);
    if (e->GetLocalName() == "Member")
      FList.push_back(std::make_shared<TDvEWSMember>(e, FServerVersion));
  }
}

TDvEWSMembersList::~TDvEWSMembersList() = default;

int TDvEWSMembersList::Count() const {
  return static_cast<int>(FList.size());
}

const DvEWSMemberPtr& TDvEWSMembersList::GetItem(int index) const {
  if (index < 0 || index >= static_cast<int>(FList.size())) RaiseIndex(index);
  return FList[index];
}

DvEWSMemberPtr TDvEWSMembersList::Add(const std::string& mailbox) {
  // A member is read as a recipient text is ("Name <address>", a bare address, an "EX" address),
  // but it must name an address: a bare name is refused, before the list changes.
  const TParsedRecipient parsed = ParseRecipient(mailbox);
  const std::string text = DvTrim(mailbox);
  if (parsed.EmailAddress.empty()) RaiseNotAnAddress(text);
  auto member =
      std::make_shared<TDvEWSMember>(FMembers->AsElement()->AddElement("t:Member"), FServerVersion);
  FList.push_back(member);
  const DvEWSRecipientPtr box = member->GetMailbox();
  // A name is written only when the text gave one besides the address.
  if (parsed.Name != text) box->SetName(parsed.Name);
  box->SetEmailAddress(parsed.EmailAddress);
  if (parsed.RoutingType != "SMTP") box->SetRoutingType(parsed.RoutingType);
  return member;
}

void TDvEWSMembersList::Remove(const std::string& mailbox) {
  for (int i = Count() - 1; i >= 0; --i) {
    if (DvSameTextUnicode(FList[i]->MailboxAddress(), mailbox)) {
      Delete(i);
      return;
    }
  }
}

void TDvEWSMembersList::Delete(int index) {
  DvEWSMemberPtr member = GetItem(index);
  FList.erase(FList.begin() + index);
  const DvDOMElementPtr element = member->GetMemberElement().AsElement();
  if (member.use_count() > 1) member->Detach();
  RemoveFromParent(element);
}

void TDvEWSMembersList::Clear() {
  for (int i = Count() - 1; i >= 0; --i)
    Delete(i);
}

// ---------------------------------------------------------------------------------------------
// TDvEWSStrings

TDvEWSStrings::TDvEWSStrings(const DvDOMElementPtr& strings) : FStrings(strings) {
  if (!FStrings) throw Exception("A string list needs its array element");
}

int TDvEWSStrings::Count() const {
  return FStrings->ElementCount();
}

std::string TDvEWSStrings::GetItem(int index) const {
  return FStrings->GetElement(index)->GetAsString();
}

void TDvEWSStrings::SetItem(int index, const std::string& value) {
  FStrings->GetElement(index)->SetAsString(value);
}

int TDvEWSStrings::Add(const std::string& value) {
  FStrings->AddElement("t:String")->SetAsString(value);
  return Count() - 1;
}

void TDvEWSStrings::Delete(int index) {
  FStrings->RemoveElement(FStrings->GetElement(index));
}

int TDvEWSStrings::IndexOf(const std::string& value) const {
  const int n = Count();
  for (int i = 0; i < n; ++i)
    if (FStrings->GetElement(i)->GetAsString() == value) return i;
  return -1;
}

void TDvEWSStrings::Clear() {
  for (int i = Count() - 1; i >= 0; --i)
    Delete(i);
}

std::string TDvEWSStrings::AsString(const std::string& separator) const {
  std::string out;
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += separator;
    out += FStrings->GetElement(i)->GetAsString();
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Categories

namespace {
struct TRgb {
  std::uint8_t R, G, B;
};
constexpr TRgb kCategoryColors[25] = {
    {214, 37, 46},   {240, 108, 21},  {255, 202, 76},  {255, 254, 61},  {74, 182, 63},
    {64, 189, 149},  {133, 154, 82},  {50, 103, 184},  {97, 61, 180},   {163, 78, 120},
    {196, 204, 221}, {140, 156, 189}, {196, 196, 196}, {165, 165, 165}, {28, 28, 28},
    {175, 30, 37},   {177, 79, 13},   {171, 123, 5},   {153, 148, 0},   {53, 121, 43},
    {46, 125, 100},  {95, 108, 58},   {42, 81, 145},   {80, 50, 143},   {130, 55, 95},
};
}  // namespace

std::uint32_t DvEWSCategoryColor(int index) {
  if (index < 0 || index >= 25) return 0xFFFFFF;
  const TRgb& c = kCategoryColors[index];
  return static_cast<std::uint32_t>(c.R) | (static_cast<std::uint32_t>(c.G) << 8) |
         (static_cast<std::uint32_t>(c.B) << 16);
}

std::uint16_t DvEWSCategoryShortCut(int shortcut) {
  if (shortcut < 1 || shortcut > 11) return 0;
  return static_cast<std::uint16_t>(0x4070 + shortcut);  // Ctrl (0x4000) + F2 (0x71) …
}

TDvEWSCategory TDvEWSCategory::FromElement(const IDvDOMElement& element) {
  TDvEWSCategory c;
  c.Name = element.GetAttribute("name");
  int n = 0;
  c.Color = DvEWSCategoryColor(ParseInt(element.GetAttribute("color"), n) ? n : -1);
  c.ShortCut = DvEWSCategoryShortCut(ParseInt(element.GetAttribute("keyboardShortcut"), n) ? n : 0);
  return c;
}

}  // namespace dv
