#include "DvXMLSchema.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "DvUtils.h"

namespace dv {

namespace {

std::string_view LocalPart(std::string_view qualifiedName) {
  auto colon = qualifiedName.find(':');
  return colon == std::string_view::npos ? qualifiedName : qualifiedName.substr(colon + 1);
}

bool IsNamed(const pugi::xml_node& node, std::string_view localName) {
  return node.type() == pugi::node_element && LocalPart(node.name()) == localName;
}

// The text of an element (all descendant text, as the DOM gives it).
std::string NodeText(const pugi::xml_node& node) {
  std::string text;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text += child.value();
    } else if (child.type() == pugi::node_element) {
      text += NodeText(child);
    }
  }
  return text;
}

std::string TrimmedText(std::string_view text) {
  std::size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ')
    ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ')
    --e;
  return std::string(text.substr(b, e - b));
}

TDateTime TimeFromXML(std::string_view text) {
  std::string t = TrimmedText(text);
  if (t.empty()) return TDateTime();
  int h = 0, m = 0;
  double s = 0;
  char c1 = 0, c2 = 0;
  int consumed = 0;
  if (std::sscanf(t.c_str(), "%2d%c%2d%c%lf%n", &h, &c1, &m, &c2, &s, &consumed) != 5 ||
      c1 != ':' || c2 != ':' || h < 0 || h > 24 || m < 0 || m > 59 || s < 0 || s >= 61) {
    throw EConvertError("'" + t + "' is not a valid time");
  }
  return TDateTime((h * 3600.0 + m * 60.0 + s) / 86400.0);
}

// The time of day of a date-time, written by the XML layer ("hh:mm:ss").
std::string TimeToXML(TDateTime value) {
  return DvTimeToXML(value);
}

std::int32_t ToInt32(std::string_view text) {
  std::string t = TrimmedText(text);
  if (t.empty()) return 0;
  std::int64_t v = DvXMLToInt(t);
  if (v < INT32_MIN || v > INT32_MAX) throw EConvertError("'" + t + "' is out of range");
  return static_cast<std::int32_t>(v);
}

std::int64_t ToInt64(std::string_view text) {
  std::string t = TrimmedText(text);
  return t.empty() ? 0 : DvXMLToInt(t);
}

double ToDouble(std::string_view text) {
  std::string t = TrimmedText(text);
  return t.empty() ? 0.0 : DvXMLToDouble(t);
}

TGUID ToGuid(std::string_view text) {
  std::string t = TrimmedText(text);
  return t.empty() ? TGUID{} : DvStringToGUID(t);
}

TDateTime ToDateTime(std::string_view text) {
  return DvXMLToDateTime(TrimmedText(text));
}

TDateTime ToDate(std::string_view text) {
  TDateTime v = ToDateTime(text);
  return TDateTime(std::floor(v.Value));
}

}  // namespace

// ---- Enumerations ----

std::string_view TDvEnumTypeInfo::ToXML(int ordinal) const {
  if (ordinal < 0 || ordinal >= Count) {
    throw EConvertError("Invalid value " + std::to_string(ordinal) + " of " + std::string(Name));
  }
  return WireTexts[ordinal];
}

bool TDvEnumTypeInfo::FromXML(std::string_view text, int& ordinal) const {
  const std::uint16_t* end = SortedByWire + Count;
  const std::uint16_t* it =
      std::lower_bound(SortedByWire, end, text,
                       [this](std::uint16_t o, std::string_view t) { return WireTexts[o] < t; });
  if (it == end || WireTexts[*it] != text) return false;
  ordinal = *it;
  return true;
}

std::string_view TDvEnumTypeInfo::IdentifierOf(int ordinal) const {
  if (ordinal < 0 || ordinal >= Count) {
    throw EConvertError("Invalid value " + std::to_string(ordinal) + " of " + std::string(Name));
  }
  return Identifiers[ordinal];
}

int TDvEnumTypeInfo::FindIdentifier(std::string_view identifier) const {
  for (int i = 0; i < Count; ++i) {
    if (Identifiers[i] == identifier) return i;
  }
  return -1;
}

void DvRaiseEnumConvertError(const TDvEnumTypeInfo& info, std::string_view text) {
  throw EConvertError("'" + std::string(text) + "' is not a value of " + std::string(info.Name));
}

std::string_view DvEnumHintPrefix(std::string_view identifier) {
  std::size_t n = 0;
  while (n < identifier.size() && identifier[n] >= 'a' && identifier[n] <= 'z')
    ++n;
  return identifier.substr(0, n);
}

TDvEnumTypeTable::TDvEnumTypeTable(std::string_view name,
                                   std::initializer_list<std::string_view> identifiers) {
  std::string_view prefix;
  bool first = true;
  for (std::string_view id : identifiers) {
    std::string_view lower = DvEnumHintPrefix(id);
    if (first) {
      prefix = lower;
      first = false;
    }
    std::size_t n = 0;
    while (n < prefix.size() && n < lower.size() && prefix[n] == lower[n])
      ++n;
    prefix = prefix.substr(0, n);
  }
  Build(name, prefix, identifiers);
}

TDvEnumTypeTable::TDvEnumTypeTable(std::string_view name, std::string_view prefix,
                                   std::initializer_list<std::string_view> identifiers) {
  Build(name, prefix, identifiers);
}

void TDvEnumTypeTable::Build(std::string_view name, std::string_view prefix,
                             std::initializer_list<std::string_view> identifiers) {
  name_ = name;
  prefix_ = prefix;
  idText_.assign(identifiers.begin(), identifiers.end());
  for (const std::string& id : idText_) {
    std::string_view v = id;
    ids_.push_back(v);
    wires_.push_back(v.substr(0, prefix_.size()) == prefix_ ? v.substr(prefix_.size()) : v);
  }
  for (std::size_t i = 0; i < wires_.size(); ++i)
    sorted_.push_back(static_cast<std::uint16_t>(i));
  std::sort(sorted_.begin(), sorted_.end(),
            [this](std::uint16_t a, std::uint16_t b) { return wires_[a] < wires_[b]; });
  info_ = TDvEnumTypeInfo{name_,       prefix_,       static_cast<int>(ids_.size()),
                          ids_.data(), wires_.data(), sorted_.data()};
}

// ---- Class tables ----

const TDvXMLSchemaInfo* TDvXMLSchemaClassInfo::FindByIndex(int index) const {
  const std::uint16_t* end = ByIndex + Count;
  const std::uint16_t* it = std::lower_bound(
      ByIndex, end, index, [this](std::uint16_t p, int i) { return Decls[p].Index < i; });
  if (it == end || Decls[*it].Index != index) return nullptr;
  return &Decls[*it];
}

const TDvXMLSchemaInfo* TDvXMLSchemaClassInfo::FindByLocalName(std::string_view localName) const {
  const std::uint16_t* end = ByName + Count;
  const std::uint16_t* it = std::lower_bound(
      ByName, end, localName,
      [this](std::uint16_t p, std::string_view n) { return Decls[p].LocalName < n; });
  const TDvXMLSchemaInfo* found = nullptr;
  for (; it != end && Decls[*it].LocalName == localName; ++it) {
    if (Decls[*it].NodeKind == kDvSchemaElementNode) return &Decls[*it];
    if (found == nullptr) found = &Decls[*it];
  }
  return found;
}

const TDvXMLSchemaInfo* TDvXMLSchemaClassInfo::FindByName(std::string_view name) const {
  if (const TDvXMLSchemaInfo* d = FindByLocalName(LocalPart(name))) return d;
  for (int i = 0; i < Count; ++i) {
    if (Decls[i].PropName == name || Decls[i].QualifiedName == name) return &Decls[i];
  }
  return nullptr;
}

bool TDvXMLSchemaClassInfo::InheritsFrom(const TDvXMLSchemaClassInfo& other) const {
  for (const TDvXMLSchemaClassInfo* c = this; c != nullptr; c = c->Parent) {
    if (c == &other) return true;
  }
  return false;
}

bool TDvXMLSchemaClassInfo::HasElement(std::string_view localName) const {
  const TDvXMLSchemaInfo* d = FindByLocalName(localName);
  return d != nullptr && d->NodeKind == kDvSchemaElementNode;
}

const TDvXMLSchemaClassInfo* TDvXMLSchemaClassInfo::FindDerived(
    std::string_view schemaTypeName) const {
  std::string_view local = LocalPart(schemaTypeName);
  if (LocalPart(SchemaName) == local) return this;
  for (int i = 0; i < DerivedCount; ++i) {
    if (LocalPart(Derived[i]->SchemaName) == local) return Derived[i];
  }
  return nullptr;
}

namespace {

constexpr std::string_view kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";

// The value of the element's xsi:type attribute (whatever prefix is bound to the namespace).
std::string_view XsiType(const pugi::xml_node& node) {
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    std::string_view name = a.name();
    if (name.size() < 5 || name.substr(name.size() - 5) != ":type") continue;
    std::string decl = "xmlns:" + std::string(name.substr(0, name.size() - 5));
    for (pugi::xml_node n = node; n; n = n.parent()) {
      pugi::xml_attribute ns = n.attribute(decl.c_str());
      if (ns) {
        if (ns.value() == kXsiNamespace) return a.value();
        break;
      }
    }
  }
  return std::string_view();
}

}  // namespace

// ---- The schema element base ----

struct TDvXMLSchemaElement::TDynamicInfo {
  std::string QualifiedName, LocalName;
  TDvXMLSchemaInfo Info{};
};

struct TDvXMLSchemaElement::TCache {
  // Small flat maps by index: a wrapper sees few distinct children.
  std::vector<std::pair<int, std::unique_ptr<TDvXMLSchemaElement>>> Objects;
  std::vector<std::pair<int, std::unique_ptr<TDvXMLSchemaElementArrayBase>>> Arrays;
  // Wrappers whose element was replaced; kept so that pointers handed out stay valid.
  std::vector<std::unique_ptr<TDvXMLSchemaElement>> Retired;
};

TDvXMLSchemaElement::TDvXMLSchemaElement(const DvDOMElementPtr& element) : element_(element) {
  if (!element_) throw Exception("A schema element needs a DOM element");
}

TDvXMLSchemaElement::TDvXMLSchemaElement(const DvDOMElementPtr& element,
                                         const TDvXMLSchemaClassInfo& info)
    : element_(element), info_(&info) {
  if (!element_) throw Exception("A schema element needs a DOM element");
}

TDvXMLSchemaElement::~TDvXMLSchemaElement() = default;

std::string_view TDvXMLSchemaElement::GetClassName() const {
  return info_ ? info_->Name : std::string_view("TDvXMLSchemaElement");
}

std::string TDvXMLSchemaElement::GetXML() const {
  return element_->GetXML();
}

void TDvXMLSchemaElement::RaiseNotSchemaClass() {
  throw Exception("Only TDvXMLSchemaElement class types are supported!");
}

void TDvXMLSchemaElement::AddSchemaInfo(int index, int nodeKind, std::string_view qualifiedName,
                                        int minOccurs, int maxOccurs, bool required,
                                        int choiceGroup, TDvXMLSchemaValueKind kind,
                                        const TDvXMLSchemaClassInfo* classType,
                                        const TDvEnumTypeInfo* enumType) {
  if (LookupIndex(index) != nullptr) {
    throw EListError("Duplicate Schema Index " + std::to_string(index));
  }
  if (nodeKind != kDvSchemaElementNode && nodeKind != kDvSchemaAttributeNode) {
    throw EListError("Invalid node kind " + std::to_string(nodeKind));
  }
  if (!dynamic_) dynamic_ = std::make_unique<std::vector<std::unique_ptr<TDynamicInfo>>>();
  auto d = std::make_unique<TDynamicInfo>();
  d->QualifiedName = qualifiedName;
  d->LocalName = nodeKind == kDvSchemaElementNode ? LocalPart(qualifiedName) : qualifiedName;
  if (maxOccurs != 1 &&
      (kind == TDvXMLSchemaValueKind::Class || kind == TDvXMLSchemaValueKind::Array)) {
    // A repeated class child is an array; its wrappers come from the class table.
    kind = TDvXMLSchemaValueKind::Array;
  }
  int position = (info_ ? info_->Count : 0) + static_cast<int>(dynamic_->size());
  d->Info = TDvXMLSchemaInfo{index,     nodeKind,  d->QualifiedName, d->LocalName, d->LocalName,
                             minOccurs, maxOccurs, required,         choiceGroup,  kind,
                             classType, enumType,  nullptr,          position};
  dynamic_->push_back(std::move(d));
}

const TDvXMLSchemaInfo* TDvXMLSchemaElement::LookupIndex(int index) const {
  if (info_ != nullptr) {
    if (const TDvXMLSchemaInfo* d = info_->FindByIndex(index)) return d;
  }
  if (dynamic_) {
    for (const auto& d : *dynamic_) {
      if (d->Info.Index == index) return &d->Info;
    }
  }
  return nullptr;
}

const TDvXMLSchemaInfo* TDvXMLSchemaElement::LookupLocalName(std::string_view localName) const {
  if (info_ != nullptr) {
    if (const TDvXMLSchemaInfo* d = info_->FindByLocalName(localName)) return d;
  }
  if (dynamic_) {
    for (const auto& d : *dynamic_) {
      if (d->Info.LocalName == localName) return &d->Info;
    }
  }
  return nullptr;
}

const TDvXMLSchemaInfo& TDvXMLSchemaElement::GetSchemaInfo(int index) const {
  const TDvXMLSchemaInfo* d = LookupIndex(index);
  if (d == nullptr) throw EListError("Invalid Schema Index");
  return *d;
}

const TDvXMLSchemaInfo* TDvXMLSchemaElement::FindSchemaInfo(std::string_view name) const {
  if (info_ != nullptr) {
    if (const TDvXMLSchemaInfo* d = info_->FindByName(name)) return d;
  }
  if (dynamic_) {
    for (const auto& d : *dynamic_) {
      if (d->Info.LocalName == LocalPart(name) || d->Info.QualifiedName == name) return &d->Info;
    }
  }
  return nullptr;
}

bool TDvXMLSchemaElement::HasElement(std::string_view localName) const {
  const TDvXMLSchemaInfo* d = LookupLocalName(localName);
  return d != nullptr && d->NodeKind == kDvSchemaElementNode;
}

DvDOMElementPtr TDvXMLSchemaElement::Wrap(pugi::xml_node node) const {
  return element_->GetOwnerDocument()->WrapNode(node);
}

pugi::xml_node TDvXMLSchemaElement::FindChild(const TDvXMLSchemaInfo& info) const {
  pugi::xml_node parent = element_->GetNativeNode();
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (IsNamed(child, info.LocalName)) return child;
  }
  return pugi::xml_node();
}

DvDOMElementPtr TDvXMLSchemaElement::CreateChild(const TDvXMLSchemaInfo& info) {
  // Insert before the first child declared later, so children stay in declaration order.
  pugi::xml_node parent = element_->GetNativeNode();
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    const TDvXMLSchemaInfo* d = LookupLocalName(LocalPart(child.name()));
    if (d != nullptr && d->NodeKind == kDvSchemaElementNode && d->Position > info.Position) {
      return element_->InsertElement(info.QualifiedName, Wrap(child), true);
    }
  }
  return element_->AddElement(info.QualifiedName);
}

bool TDvXMLSchemaElement::DoMissingElement(const TDvXMLSchemaInfo& info) {
  return onMissing_ ? onMissing_(*this, info) : false;
}

DvDOMElementPtr TDvXMLSchemaElement::GetNodeByIndex(int index, bool create) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  if (info.NodeKind != kDvSchemaElementNode) return nullptr;
  if (pugi::xml_node node = FindChild(info)) return Wrap(node);
  if (!create) return nullptr;
  return CreateChild(info);
}

DvDOMElementPtr TDvXMLSchemaElement::FindNode(std::string_view name) const {
  std::string_view local = LocalPart(name);
  pugi::xml_node parent = element_->GetNativeNode();
  for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
    if (IsNamed(child, local)) return Wrap(child);
  }
  return nullptr;
}

DvDOMElementPtr TDvXMLSchemaElement::GetNode(std::string_view name) {
  const TDvXMLSchemaInfo* d = FindSchemaInfo(name);
  if (d == nullptr) throw EListError("Invalid Schema Index");
  return GetNodeByIndex(d->Index, true);
}

void TDvXMLSchemaElement::RemoveNode(std::string_view name) {
  const TDvXMLSchemaInfo* d = FindSchemaInfo(name);
  if (d != nullptr && d->NodeKind == kDvSchemaAttributeNode) {
    element_->RemoveAttribute(d->QualifiedName);
    return;
  }
  if (d != nullptr) DropCached(d->Index);
  std::string_view local = d != nullptr ? d->LocalName : LocalPart(name);
  pugi::xml_node parent = element_->GetNativeNode();
  for (pugi::xml_node child = parent.first_child(); child;) {
    pugi::xml_node next = child.next_sibling();
    if (IsNamed(child, local)) element_->RemoveElement(Wrap(child));
    child = next;
  }
  if (d == nullptr && element_->HasAttribute(name)) element_->RemoveAttribute(name);
}

bool TDvXMLSchemaElement::ReadText(int index, std::string& text) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (info.NodeKind == kDvSchemaAttributeNode) {
      pugi::xml_attribute a =
          element_->GetNativeNode().attribute(std::string(info.QualifiedName).c_str());
      if (a) {
        text = a.value();
        return true;
      }
    } else if (pugi::xml_node node = FindChild(info)) {
      text = NodeText(node);
      return true;
    }
    if (attempt == 0 && !DoMissingElement(info)) break;
  }
  text.clear();
  return false;
}

void TDvXMLSchemaElement::WriteText(int index, std::string_view text) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  if (info.NodeKind == kDvSchemaAttributeNode) {
    element_->SetAttribute(info.QualifiedName, text);
    return;
  }
  DvDOMElementPtr node = GetNodeByIndex(index, true);
  node->SetAsString(text);
}

std::string TDvXMLSchemaElement::GetAsString(int index) {
  std::string t;
  ReadText(index, t);
  return t;
}
void TDvXMLSchemaElement::SetAsString(int index, std::string_view value) {
  WriteText(index, value);
}
std::int32_t TDvXMLSchemaElement::GetAsInt(int index) {
  return ToInt32(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsInt(int index, std::int32_t value) {
  WriteText(index, DvIntToXML(value));
}
std::int64_t TDvXMLSchemaElement::GetAsLong(int index) {
  return ToInt64(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsLong(int index, std::int64_t value) {
  WriteText(index, DvIntToXML(value));
}
bool TDvXMLSchemaElement::GetAsBoolean(int index) {
  return DvXMLToBool(TrimmedText(GetAsString(index)));
}
void TDvXMLSchemaElement::SetAsBoolean(int index, bool value) {
  WriteText(index, DvBoolToXML(value));
}
double TDvXMLSchemaElement::GetAsDouble(int index) {
  return ToDouble(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsDouble(int index, double value) {
  WriteText(index, DvDoubleToXML(value));
}
TDateTime TDvXMLSchemaElement::GetAsDatetime(int index) {
  return ToDateTime(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsDatetime(int index, TDateTime value) {
  WriteText(index, DvDateTimeToXML(value));
}
TDateTime TDvXMLSchemaElement::GetAsDate(int index) {
  return ToDate(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsDate(int index, TDateTime value) {
  WriteText(index, value.IsZero() ? std::string() : DvDateToXML(value));
}
TDateTime TDvXMLSchemaElement::GetAsTime(int index) {
  return TimeFromXML(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsTime(int index, TDateTime value) {
  WriteText(index, TimeToXML(value));
}
std::string TDvXMLSchemaElement::GetAsDuration(int index) {
  return GetAsString(index);
}
void TDvXMLSchemaElement::SetAsDuration(int index, std::string_view value) {
  WriteText(index, value);
}
TBytes TDvXMLSchemaElement::GetAsBase64binary(int index) {
  return DvBase64Decode(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsBase64binary(int index, const TBytes& value) {
  WriteText(index, DvBase64Encode(value));
}
std::string TDvXMLSchemaElement::GetAsAnyUri(int index) {
  return GetAsString(index);
}
void TDvXMLSchemaElement::SetAsAnyUri(int index, std::string_view value) {
  WriteText(index, value);
}
std::string TDvXMLSchemaElement::GetAsLanguage(int index) {
  return GetAsString(index);
}
void TDvXMLSchemaElement::SetAsLanguage(int index, std::string_view value) {
  WriteText(index, value);
}
TGUID TDvXMLSchemaElement::GetAsGuid(int index) {
  return ToGuid(GetAsString(index));
}
void TDvXMLSchemaElement::SetAsGuid(int index, const TGUID& value) {
  WriteText(index, DvGUIDToString(value, false, false));
}
void TDvXMLSchemaElement::SetValue(int index, std::string_view text) {
  WriteText(index, text);
}

int TDvXMLSchemaElement::GetEnumOrdinal(int index) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  std::string text;
  if (!ReadText(index, text) || info.EnumType == nullptr) return 0;
  int ordinal = 0;
  if (!info.EnumType->FromXML(TrimmedText(text), ordinal)) return 0;
  return ordinal;
}

void TDvXMLSchemaElement::SetEnumOrdinal(int index, int ordinal) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  if (info.EnumType == nullptr) {
    throw EConvertError("'" + std::string(info.LocalName) + "' is not an enumeration");
  }
  WriteText(index, info.EnumType->ToXML(ordinal));
}

TDvXMLSchemaElement::TCache& TDvXMLSchemaElement::Cache() {
  if (!cache_) cache_ = std::make_unique<TCache>();
  return *cache_;
}

void TDvXMLSchemaElement::DropCached(int index) {
  if (!cache_) return;
  for (auto& [i, obj] : cache_->Objects) {
    if (i == index && obj) cache_->Retired.push_back(std::move(obj));
  }
  std::erase_if(cache_->Objects, [index](const auto& p) { return p.first == index; });
}

TDvXMLSchemaElement* TDvXMLSchemaElement::GetChildObject(int index) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  if (info.Kind != TDvXMLSchemaValueKind::Class || info.ClassType == nullptr ||
      info.ClassType->Create == nullptr || info.NodeKind != kDvSchemaElementNode) {
    RaiseNotSchemaClass();
  }
  pugi::xml_node node = FindChild(info);
  if (!node && DoMissingElement(info)) node = FindChild(info);
  TCache& cache = Cache();
  for (auto& [i, obj] : cache.Objects) {
    if (i != index) continue;
    if (node && obj->AsElement()->GetNativeNode() == node) return obj.get();
    // The element was replaced or removed behind the wrapper's back.
    cache.Retired.push_back(std::move(obj));
    std::erase_if(cache.Objects, [index](const auto& p) { return p.first == index; });
    break;
  }
  const TDvXMLSchemaClassInfo* cls = info.ClassType;
  if (node && cls->DerivedCount > 0) {
    std::string_view type = XsiType(node);
    if (!type.empty()) {
      if (const TDvXMLSchemaClassInfo* derived = cls->FindDerived(type)) cls = derived;
    }
  }
  DvDOMElementPtr element = node ? Wrap(node) : CreateChild(info);
  std::unique_ptr<TDvXMLSchemaElement> obj = cls->Create(element);
  TDvXMLSchemaElement* result = obj.get();
  cache.Objects.emplace_back(index, std::move(obj));
  return result;
}

void TDvXMLSchemaElement::SetChildObject(int index, const TDvXMLSchemaElement& value) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  if (info.Kind != TDvXMLSchemaValueKind::Class || info.NodeKind != kDvSchemaElementNode) {
    RaiseNotSchemaClass();
  }
  DvDOMElementPtr target = GetNodeByIndex(index, true);
  pugi::xml_node dst = target->GetNativeNode();
  pugi::xml_node src = value.AsElement()->GetNativeNode();
  if (dst == src) return;
  while (dst.first_attribute())
    dst.remove_attribute(dst.first_attribute());
  target->Clear();
  for (pugi::xml_attribute a = src.first_attribute(); a; a = a.next_attribute()) {
    dst.append_attribute(a.name()).set_value(a.value());
  }
  for (pugi::xml_node c = src.first_child(); c; c = c.next_sibling())
    dst.append_copy(c);
}

TDvXMLSchemaElementArrayBase* TDvXMLSchemaElement::GetArrayChild(int index) {
  const TDvXMLSchemaInfo& info = GetSchemaInfo(index);
  TCache& cache = Cache();
  for (auto& [i, arr] : cache.Arrays) {
    if (i == index) return arr.get();
  }
  std::unique_ptr<TDvXMLSchemaElementArrayBase> arr;
  if (info.Kind == TDvXMLSchemaValueKind::SimpleArray) {
    arr = DvNewSimpleContentArray(element_, info.QualifiedName);
  } else if (info.Kind == TDvXMLSchemaValueKind::Array && info.ArrayFactory != nullptr) {
    arr = info.ArrayFactory(element_, info.QualifiedName);
  } else if (info.Kind == TDvXMLSchemaValueKind::Array && info.ClassType != nullptr &&
             info.ClassType->Create != nullptr) {
    arr = std::make_unique<TDvXMLSchemaElementArrayBase>(element_, info.QualifiedName,
                                                         info.ClassType->Create);
  } else {
    RaiseNotSchemaClass();
  }
  if (!FindChild(info)) DoMissingElement(info);
  arr->owner_ = this;
  arr->ownerInfo_ = &info;
  TDvXMLSchemaElementArrayBase* result = arr.get();
  cache.Arrays.emplace_back(index, std::move(arr));
  return result;
}

TDvXMLSchemaElement* TDvXMLSchemaElement::GetObjectByName(std::string_view propName) {
  const TDvXMLSchemaInfo* d = FindSchemaInfo(propName);
  if (d == nullptr || d->Kind != TDvXMLSchemaValueKind::Class) return nullptr;
  return GetChildObject(d->Index);
}

TDvXMLSchemaElementArrayBase* TDvXMLSchemaElement::GetArrayByName(std::string_view propName) {
  const TDvXMLSchemaInfo* d = FindSchemaInfo(propName);
  if (d == nullptr ||
      (d->Kind != TDvXMLSchemaValueKind::Array && d->Kind != TDvXMLSchemaValueKind::SimpleArray)) {
    return nullptr;
  }
  return GetArrayChild(d->Index);
}

std::string TDvXMLSchemaElement::GetElementText() const {
  return NodeText(element_->GetNativeNode());
}
void TDvXMLSchemaElement::SetElementText(std::string_view text) {
  // Keep child elements out of simple content: the text replaces everything.
  element_->SetAsString(text);
}
std::int32_t TDvXMLSchemaElement::GetTextAsInt() const {
  return ToInt32(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsInt(std::int32_t v) {
  SetElementText(DvIntToXML(v));
}
std::int64_t TDvXMLSchemaElement::GetTextAsLong() const {
  return ToInt64(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsLong(std::int64_t v) {
  SetElementText(DvIntToXML(v));
}
bool TDvXMLSchemaElement::GetTextAsBoolean() const {
  return DvXMLToBool(TrimmedText(GetElementText()));
}
void TDvXMLSchemaElement::SetTextAsBoolean(bool v) {
  SetElementText(DvBoolToXML(v));
}
double TDvXMLSchemaElement::GetTextAsDouble() const {
  return ToDouble(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsDouble(double v) {
  SetElementText(DvDoubleToXML(v));
}
TDateTime TDvXMLSchemaElement::GetTextAsDatetime() const {
  return ToDateTime(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsDatetime(TDateTime v) {
  SetElementText(DvDateTimeToXML(v));
}
TDateTime TDvXMLSchemaElement::GetTextAsDate() const {
  return ToDate(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsDate(TDateTime v) {
  SetElementText(v.IsZero() ? std::string() : DvDateToXML(v));
}
TDateTime TDvXMLSchemaElement::GetTextAsTime() const {
  return TimeFromXML(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsTime(TDateTime v) {
  SetElementText(TimeToXML(v));
}
TBytes TDvXMLSchemaElement::GetTextAsBase64binary() const {
  return DvBase64Decode(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsBase64binary(const TBytes& v) {
  SetElementText(DvBase64Encode(v));
}
TGUID TDvXMLSchemaElement::GetTextAsGuid() const {
  return ToGuid(GetElementText());
}
void TDvXMLSchemaElement::SetTextAsGuid(const TGUID& v) {
  SetElementText(DvGUIDToString(v, false, false));
}
int TDvXMLSchemaElement::GetTextEnumOrdinal() const {
  int ordinal = 0;
  if (info_ == nullptr || info_->TextEnum == nullptr) return 0;
  if (!info_->TextEnum->FromXML(TrimmedText(GetElementText()), ordinal)) return 0;
  return ordinal;
}
void TDvXMLSchemaElement::SetTextEnumOrdinal(int ordinal) {
  if (info_ == nullptr || info_->TextEnum == nullptr) {
    throw EConvertError(std::string(GetClassName()) + " has no enumerated text");
  }
  SetElementText(info_->TextEnum->ToXML(ordinal));
}

// ---- Arrays ----

TDvXMLSchemaElementArrayBase::TDvXMLSchemaElementArrayBase(const DvDOMElementPtr& parent,
                                                           std::string_view qualifiedName,
                                                           TDvXMLSchemaFactory factory)
    : parent_(parent),
      qualifiedName_(qualifiedName),
      localName_(LocalPart(qualifiedName)),
      factory_(factory) {
  if (!parent_) throw Exception("An element array needs a parent element");
}

TDvXMLSchemaElementArrayBase::~TDvXMLSchemaElementArrayBase() = default;

int TDvXMLSchemaElementArrayBase::Count() const {
  int n = 0;
  pugi::xml_node parent = parent_->GetNativeNode();
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
    if (IsNamed(c, localName_)) ++n;
  }
  return n;
}

pugi::xml_node TDvXMLSchemaElementArrayBase::NodeAt(int position) const {
  if (position >= 0) {
    int n = 0;
    pugi::xml_node c = parent_->GetNativeNode().first_child();
    // Continue from the element found last when reading forward, so that reading the rows of
    // a page one after the other walks the page once.
    if (hintNode_ && position >= hintPosition_) {
      n = hintPosition_;
      c = hintNode_;
    }
    for (; c; c = c.next_sibling()) {
      if (IsNamed(c, localName_)) {
        if (n == position) {
          hintPosition_ = position;
          hintNode_ = c;
          return c;
        }
        ++n;
      }
    }
  }
  throw EListError("List index out of bounds (" + std::to_string(position) + ")");
}

TDvXMLSchemaElement* TDvXMLSchemaElementArrayBase::GetElement(int position) {
  // A cached wrapper is handed out as it is: the array's own Add, Delete and Clear keep the cache
  // in step with the elements, so reading row after row costs one walk per new row.
  if (position >= 0 && static_cast<std::size_t>(position) < items_.size() && items_[position]) {
    return items_[position].get();
  }
  pugi::xml_node node = NodeAt(position);
  if (static_cast<std::size_t>(position) >= items_.size()) items_.resize(position + 1);
  items_[position] = factory_(parent_->GetOwnerDocument()->WrapNode(node));
  return items_[position].get();
}

TDvXMLSchemaElement* TDvXMLSchemaElementArrayBase::AddElement() {
  hintNode_ = pugi::xml_node();
  int count = Count();
  pugi::xml_node parent = parent_->GetNativeNode();
  pugi::xml_node last;
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
    if (IsNamed(c, localName_)) last = c;
  }
  if (last && last.next_sibling()) {
    parent_->InsertElement(qualifiedName_, parent_->GetOwnerDocument()->WrapNode(last), false);
  } else if (!last && owner_ != nullptr) {
    owner_->CreateChild(*ownerInfo_);
  } else {
    parent_->AddElement(qualifiedName_);
  }
  return GetElement(count);
}

void TDvXMLSchemaElementArrayBase::Delete(int position) {
  pugi::xml_node node = NodeAt(position);
  hintNode_ = pugi::xml_node();
  if (static_cast<std::size_t>(position) < items_.size()) {
    items_.erase(items_.begin() + position);
  }
  parent_->RemoveElement(parent_->GetOwnerDocument()->WrapNode(node));
}

void TDvXMLSchemaElementArrayBase::Clear() {
  items_.clear();
  hintNode_ = pugi::xml_node();
  pugi::xml_node parent = parent_->GetNativeNode();
  for (pugi::xml_node c = parent.first_child(); c;) {
    pugi::xml_node next = c.next_sibling();
    if (IsNamed(c, localName_)) parent_->RemoveElement(parent_->GetOwnerDocument()->WrapNode(c));
    c = next;
  }
}

int TDvXMLSchemaElementArrayBase::IndexOfNode(const IDvDOMElement& node) const {
  pugi::xml_node target = node.GetNativeNode();
  int n = 0;
  pugi::xml_node parent = parent_->GetNativeNode();
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
    if (IsNamed(c, localName_)) {
      if (c == target) return n;
      ++n;
    }
  }
  return -1;
}

std::unique_ptr<TDvXMLSchemaElementArrayBase> DvNewSimpleContentArray(
    const DvDOMElementPtr& parent, std::string_view qualifiedName) {
  return std::make_unique<TDvXMLSchemaElementArray<TDvXMLSchemaSimpleContentElement<std::string>>>(
      parent, qualifiedName);
}

// ---- Simple content conversions ----

void DvSchemaTextTo(std::string_view text, std::string& value) {
  value = text;
}
void DvSchemaTextTo(std::string_view text, std::int32_t& value) {
  value = ToInt32(text);
}
void DvSchemaTextTo(std::string_view text, std::int64_t& value) {
  value = ToInt64(text);
}
void DvSchemaTextTo(std::string_view text, bool& value) {
  value = DvXMLToBool(TrimmedText(text));
}
void DvSchemaTextTo(std::string_view text, double& value) {
  value = ToDouble(text);
}
void DvSchemaTextTo(std::string_view text, TDateTime& value) {
  value = ToDateTime(text);
}
std::string DvSchemaTextFrom(const std::string& value) {
  return value;
}
std::string DvSchemaTextFrom(std::int32_t value) {
  return DvIntToXML(value);
}
std::string DvSchemaTextFrom(std::int64_t value) {
  return DvIntToXML(value);
}
std::string DvSchemaTextFrom(bool value) {
  return DvBoolToXML(value);
}
std::string DvSchemaTextFrom(double value) {
  return DvDoubleToXML(value);
}
std::string DvSchemaTextFrom(TDateTime value) {
  return DvDateTimeToXML(value);
}

}  // namespace dv
