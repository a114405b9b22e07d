// The property and field registry: registration, lookups, node paths and field URI writers.
#include "uDvEWSProps.h"

#include <array>
#include <cstdio>
#include <utility>

#include "uDvEWSTypesEnums.h"

namespace dv {

// ---- Property sets ----

constinit const TGUID PS_MAPI{0x00020328, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PS_PUBLIC_STRINGS{0x00020329, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PS_INTERNET_HEADERS{
    0x00020386, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Appointment{
    0x00062002, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Task{0x00062003, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Address{0x00062004, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Common{0x00062008, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Log{0x0006200A, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Note{0x0006200E, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Sharing{0x00062040, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_PostRss{0x00062041, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_Messaging{
    0x41F28F13, 0x83F4, 0x4114, {0xA5, 0x84, 0xEE, 0xDB, 0x5A, 0x6B, 0x0B, 0xFF}};
constinit const TGUID PSETID_Attachment{
    0x96357F7F, 0x59E1, 0x47D0, {0x99, 0xA7, 0x46, 0x51, 0x5C, 0x18, 0x3B, 0x54}};
constinit const TGUID PSETID_CalendarAssistant{
    0x11000E07, 0xB51B, 0x40D6, {0xAF, 0x21, 0xCA, 0xA8, 0x5E, 0xDA, 0xB1, 0xD0}};
constinit const TGUID PSETID_UnifiedMessaging{
    0x4442858E, 0xA9E3, 0x4E80, {0xB9, 0x00, 0x31, 0x7A, 0x21, 0x0C, 0xC1, 0x5B}};
constinit const TGUID PSETID_Meeting{
    0x6ED8DA90, 0x450B, 0x101B, {0x98, 0xDA, 0x00, 0xAA, 0x00, 0x3F, 0x13, 0x05}};
constinit const TGUID PSETID_AirSync{
    0x71035549, 0x0739, 0x4DCB, {0x91, 0x63, 0x00, 0xF0, 0x58, 0x0D, 0xBB, 0xDF}};
constinit const TGUID PSETID_Dovrane{
    0x52A474EE, 0xE1A3, 0x4E63, {0x8F, 0xFC, 0xFC, 0xDA, 0xCB, 0x06, 0xA7, 0xFC}};
// The same GUIDs as PS_PUBLIC_STRINGS and PS_INTERNET_HEADERS, spelt out: another constant's value
// is not a constant expression for every compiler.
constinit const TGUID PSETID_PublicStrings{
    0x00020329, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID PSETID_InternetHeaders{
    0x00020386, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constinit const TGUID GUID_PKMDocSummaryInformation{
    0xD5CDD502, 0x2E9C, 0x101B, {0x93, 0x97, 0x08, 0x00, 0x2B, 0x2C, 0xF9, 0xAE}};
constinit const TGUID PSETID_Exchange1{
    0x48862A09, 0xF786, 0x0114, {0x02, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

namespace {

constexpr std::size_t kShortNameMax = 255;

// The registry's view of a caller's name: cut at 255 bytes like a short string.
std::string_view Short(std::string_view text) {
  return text.size() > kShortNameMax ? text.substr(0, kShortNameMax) : text;
}

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiUpper(std::string_view text) {
  std::string s(text);
  for (char& c : s)
    c = AsciiUpper(c);
  return s;
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

[[noreturn]] void RaiseNoPropDef(std::string_view name) {
  throw Exception("There is no property definition \"" + std::string(name) + "\"!");
}

[[noreturn]] void RaiseNoFieldDef(std::string_view name) {
  throw Exception("There is no field definition \"" + std::string(name) + "\"!");
}

std::string IndexedKey(std::string_view fieldURI, std::string_view fieldIndex) {
  std::string key;
  key.reserve(fieldURI.size() + fieldIndex.size() + 1);
  key.append(fieldURI).push_back('\n');
  key.append(fieldIndex);
  return key;
}

// TDvEWSPropType lists Null first and then the schema's MapiPropertyTypeType values in the
// schema's (alphabetical) order, where Null sits between LongArray and Object; the wire texts come
// from the generated enumeration.
constexpr int kMapiNull = static_cast<int>(TMapiPropertyType::mptNull);
static_assert(static_cast<int>(TDvEWSPropType::ptLongArray) == kMapiNull &&
                  static_cast<int>(TDvEWSPropType::ptObject) == kMapiNull + 1 &&
                  static_cast<int>(TDvEWSPropType::ptStringArray) ==
                      static_cast<int>(TMapiPropertyType::mptStringArray),
              "TDvEWSPropType no longer lines up with TMapiPropertyType");

int MapiOrdinal(TDvEWSPropType type) {
  const int i = static_cast<int>(type);
  return i == 0 ? kMapiNull : i <= kMapiNull ? i - 1 : i;
}

TDvEWSPropType PropTypeOfMapi(int ordinal) {
  return static_cast<TDvEWSPropType>(ordinal == kMapiNull  ? 0
                                     : ordinal < kMapiNull ? ordinal + 1
                                                           : ordinal);
}

// The attribute values of t:ExtendedFieldURI, in the order they are written.
struct TExtendedAttributes {
  std::array<std::pair<std::string_view, std::string>, 3> Items;
  int Count = 0;
  void Add(std::string_view name, std::string value) {
    Items[static_cast<std::size_t>(Count++)] = {name, std::move(value)};
  }
};

TExtendedAttributes ExtendedAttributes(PDvEWSPropDef d) {
  if (d == nullptr) throw Exception("No property definition for an extended field URI!");
  TExtendedAttributes a;
  if (d->PropertyTag != 0) {
    a.Add("PropertyTag", "0x" + PropTagToHex(d->PropertyTag));
  } else {
    if (!d->DistinguishedPropertySetId.empty())
      a.Add("DistinguishedPropertySetId", std::string(d->DistinguishedPropertySetId));
    else
      a.Add("PropertySetId",
            d->PropertySetId != nullptr ? PropSetIDToString(*d->PropertySetId) : std::string());
    if (d->PropKind == TDvEWSPropKind::pkName)
      a.Add("PropertyName", std::string(d->Name));
    else
      a.Add("PropertyId", std::to_string(d->Id));
  }
  a.Add("PropertyType", std::string(DvEWSPropTypeToString(d->PropType)));
  return a;
}

}  // namespace

// ---- Property sets and types ----

std::string PropSetIDToString(const TGUID& guid) {
  return DvGUIDToString(guid, false, false);
}

std::string_view DvEWSPropTypeToString(TDvEWSPropType type) {
  if (static_cast<int>(type) > static_cast<int>(TDvEWSPropType::ptStringArray)) return {};
  return DvEnumTypeInfo(TMapiPropertyType{}).ToXML(MapiOrdinal(type));
}

TDvEWSPropType DvEWSStringToPropType(std::string_view text) {
  int ordinal = 0;
  if (!DvEnumTypeInfo(TMapiPropertyType{}).FromXML(text, ordinal))
    throw EConvertError("\"" + std::string(text) + "\" is not a MAPI property type");
  return PropTypeOfMapi(ordinal);
}

// ---- Short strings ----

std::string EWSShortName(std::string_view text) {
  return std::string(Short(text));
}

std::string EWSShortNameEx(std::string_view text) {
  return EWSShortName(text);
}

std::string EWSShortNameToStr(std::string_view shortName) {
  return std::string(shortName);
}

// ---- Registry ----

std::string_view DvEWSPropDefKey(PDvEWSPropDef def) {
  return Short(def->PropDefName);
}

std::string_view DvEWSFieldDefKey(PDvEWSFieldDef def) {
  return Short(def->FieldDefName);
}

void TDvEWSPropRegistry::RegisterCatalog() {
  const std::size_t props =
      props_.Size() + DvCatalogPR.size() + DvCatalogMPR.size() + DvCatalogEPR.size();
  const std::size_t fields =
      fields_.Size() + DvCatalogFLD.size() + DvCatalogMFLD.size() + DvCatalogEFLD.size();
  props_.Reserve(props);
  fields_.Reserve(fields);
  propOrder_.reserve(props);
  fieldOrder_.reserve(fields);
  for (PDvEWSPropDef d : DvCatalogPR)
    RegisterProp(d);
  for (PDvEWSFieldDef f : DvCatalogFLD)
    RegisterField(f);
  for (PDvEWSPropDef d : DvCatalogMPR)
    RegisterProp(d);
  for (PDvEWSPropDef d : DvCatalogEPR)
    RegisterProp(d);
  for (PDvEWSFieldDef f : DvCatalogMFLD)
    RegisterField(f);
  for (PDvEWSFieldDef f : DvCatalogEFLD)
    RegisterField(f);
}

void TDvEWSPropRegistry::RegisterProp(PDvEWSPropDef def) {
  if (def == nullptr) return;
  if (!props_.Insert(def)) return;
  propOrder_.push_back(def);
  if (!def->Extended && def->ParentProp != nullptr) children_[def->ParentProp].push_back(def);
}

void TDvEWSPropRegistry::RegisterField(PDvEWSFieldDef def) {
  if (def == nullptr) return;
  if (!fields_.Insert(def)) return;
  fieldOrder_.push_back(def);
  if (def->FieldType == TDvEWSFieldDefType::fdtIndexedField)
    indexed_.emplace(IndexedKey(def->UnindexedFieldURI, def->FieldIndex), def);
}

PDvEWSPropDef TDvEWSPropRegistry::FindProp(std::string_view name) const {
  return props_.Find(Short(name));
}

PDvEWSFieldDef TDvEWSPropRegistry::FindField(std::string_view name) const {
  return fields_.Find(Short(name));
}

PDvEWSFieldDef TDvEWSPropRegistry::FindIndexedField(std::string_view fieldURI,
                                                    std::string_view fieldIndex) const {
  auto it = indexed_.find(IndexedKey(Short(fieldURI), Short(fieldIndex)));
  return it == indexed_.end() ? nullptr : it->second;
}

const TDvEWSPropDefArray* TDvEWSPropRegistry::FindChildren(PDvEWSPropDef def) const {
  auto it = children_.find(def);
  return it == children_.end() ? nullptr : &it->second;
}

TDvEWSPropRegistry& DvEWSPropRegistry() {
  struct TCatalogRegistry : TDvEWSPropRegistry {
    TCatalogRegistry() { RegisterCatalog(); }
  };
  static TCatalogRegistry registry;
  return registry;
}

void RegisterProp(PDvEWSPropDef def) {
  DvEWSPropRegistry().RegisterProp(def);
}

void RegisterField(PDvEWSFieldDef def) {
  DvEWSPropRegistry().RegisterField(def);
}

std::size_t RegisteredPropCount() {
  return DvEWSPropRegistry().Props().size();
}

std::size_t RegisteredFieldCount() {
  return DvEWSPropRegistry().Fields().size();
}

PDvEWSPropDef GetPropDef(std::string_view name, bool raise) {
  PDvEWSPropDef d = DvEWSPropRegistry().FindProp(name);
  if (d == nullptr && raise) RaiseNoPropDef(Short(name));
  return d;
}

PDvEWSPropDef GetPropDef(const TDvEWSPropDef& d) {
  const TDvEWSPropRegistry& reg = DvEWSPropRegistry();
  if (!d.PropDefName.empty())
    if (PDvEWSPropDef p = reg.FindProp(d.PropDefName)) return p;
  if (d.Extended) {
    using enum TDvEWSPropKind;
    for (PDvEWSPropDef p : reg.Props()) {
      if (!p->Extended) continue;
      if (d.PropertyTag != 0 && p->PropertyTag == d.PropertyTag) return p;
      if (!d.DistinguishedPropertySetId.empty() &&
          SameTextIgnoringCase(d.DistinguishedPropertySetId, p->DistinguishedPropertySetId)) {
        if (d.PropKind == pkId && p->PropKind == pkId && d.Id == p->Id) return p;
        if (d.PropKind == pkName && p->PropKind == pkName && d.Name == p->Name) return p;
      }
      if (d.PropertySetId != nullptr && p->PropertySetId != nullptr &&
          *d.PropertySetId == *p->PropertySetId && d.PropKind == p->PropKind) {
        if (d.PropKind == pkId && d.Id == p->Id) return p;
        if (d.PropKind == pkName && d.Name == p->Name) return p;
      }
    }
  }
  RaiseNoPropDef(Short(d.PropDefName));
}

PDvEWSPropDef GetPropDef(std::string_view owner, std::string_view name, bool raise) {
  if (!owner.empty())
    if (PDvEWSFieldDef f = GetFieldDef(owner, name, false)) return f->PropDef;
  const TDvEWSPropRegistry& reg = DvEWSPropRegistry();
  std::string_view key = Short(name);
  for (PDvEWSPropDef p : reg.Props())
    if (p->Extended ? p->PropDefName == key : p->NodeName == key) return p;
  constexpr std::string_view kPrefix = "EPR_";
  for (PDvEWSPropDef p : reg.Props())
    if (p->Extended && p->PropDefName.starts_with(kPrefix) &&
        SameTextIgnoringCase(p->PropDefName.substr(kPrefix.size()), key))
      return p;
  if (raise)
    throw Exception("There is no property definition for \"" + std::string(owner) + ":" +
                    std::string(name) + "\"!");
  return nullptr;
}

PDvEWSFieldDef GetFieldDef(std::string_view name, bool raise) {
  PDvEWSFieldDef f = DvEWSPropRegistry().FindField(name);
  if (f == nullptr && raise) RaiseNoFieldDef(Short(name));
  return f;
}

PDvEWSFieldDef GetFieldDef(const TDvEWSFieldDef& def) {
  return GetFieldDef(def.FieldDefName, true);
}

PDvEWSFieldDef GetFieldDef(std::string_view className, std::string_view elementName, bool raise) {
  static constexpr std::pair<std::string_view, std::string_view> kClassWords[] = {
      {"TEwsFolder", "FOLDER"},
      {"TEwsMessage", "MESSAGE"},
      {"TEwsCalendarItem", "CALENDAR"},
      {"TEwsTask", "TASK"},
      {"TEwsContactItem", "CONTACT"},
      {"TEwsMeetingMessage", "MEETING"},
      {"TEwsMeetingRequestMessage", "MEETINGREQUEST"},
  };
  std::string word;
  for (const auto& [cls, w] : kClassWords)
    if (cls == className) word = w;
  if (word.empty()) word = AsciiUpper(className);
  const std::string u = AsciiUpper(elementName);
  const TDvEWSPropRegistry& reg = DvEWSPropRegistry();
  PDvEWSFieldDef f = nullptr;
  if (word != "CONTACT") {
    f = reg.FindField("FLD_" + word + "_" + u);
  } else {
    for (std::string_view prefix : {"FLD_CONTACTS_", "FLD_PERSONA_", "FLD_PERSON_"}) {
      f = reg.FindField(std::string(prefix) + u);
      if (f != nullptr) break;
    }
  }
  if (f == nullptr) f = reg.FindField("FLD_ITEM_" + u);
  if (f == nullptr && raise)
    throw Exception("There is no field definition for \"" + std::string(className) + "." +
                    std::string(elementName) + "\"!");
  return f;
}

PDvEWSFieldDef GetIndexedFieldDef(std::string_view fieldURI, std::string_view fieldIndex,
                                  bool raise) {
  PDvEWSFieldDef f = DvEWSPropRegistry().FindIndexedField(fieldURI, fieldIndex);
  if (f == nullptr && raise)
    throw Exception("There is no field definition for \"" + std::string(fieldURI) + "[" +
                    std::string(fieldIndex) + "]\"!");
  return f;
}

PDvEWSFieldDef GetFirstFieldDef(std::string_view propDefName) {
  std::string_view key = Short(propDefName);
  for (PDvEWSFieldDef f : DvEWSPropRegistry().Fields())
    if (f->PropDef != nullptr && f->PropDef->PropDefName == key) return f;
  throw Exception("There is no field definition for \"" + std::string(key) + "\"!");
}

TDvEWSPropDefArray GetKeyPropDefs(PDvEWSPropDef def) {
  const TDvEWSPropDefArray* children = DvEWSPropRegistry().FindChildren(def);
  return children != nullptr ? *children : TDvEWSPropDefArray();
}

// ---- Node paths and field URIs ----

std::string PropTagToHex(std::uint16_t tag) {
  char buf[8];
  std::snprintf(buf, sizeof buf, tag <= 0xFF ? "%02X" : "%04X", static_cast<unsigned>(tag));
  return buf;
}

std::string GetNodePath(const TDvEWSPropDef& d) {
  if (!d.Extended) return std::string(d.NodeName);
  std::string path = "ExtendedProperty/ExtendedFieldURI[";
  if (d.PropertyTag != 0) {
    path += "(@PropertyTag=\"0x" + PropTagToHex(d.PropertyTag) + "\")]/../Value";
    return path;
  }
  if (!d.DistinguishedPropertySetId.empty())
    path += "(@DistinguishedPropertySetId=\"" + std::string(d.DistinguishedPropertySetId) + "\")";
  else
    path += "(@PropertySetId=\"" +
            (d.PropertySetId != nullptr ? PropSetIDToString(*d.PropertySetId) : std::string()) +
            "\")";
  if (d.PropKind == TDvEWSPropKind::pkName)
    path += " and (@PropertyName=\"" + std::string(d.Name) + "\")]/../Value";
  else
    path += " and (@PropertyId=\"" + std::to_string(d.Id) + "\")]/../Value";
  return path;
}

std::string GetNodePath(PDvEWSPropDef def) {
  if (def == nullptr) throw Exception("No property definition for a node path!");
  return GetNodePath(*def);
}

std::string NodeNameToPropName(std::string_view nodeName) {
  static constexpr std::string_view kReserved[] = {"To",  "Create", "String",  "Property", "Type",
                                                   "And", "Or",     "Message", "Start",    "End"};
  for (std::string_view r : kReserved)
    if (r == nodeName) return std::string(nodeName) + "_";
  return std::string(nodeName);
}

void WriteFieldURI(PDvEWSFieldDef def, std::string& stream) {
  if (def == nullptr) throw Exception("No field definition to write!");
  switch (def->FieldType) {
    case TDvEWSFieldDefType::fdtField:
      stream += "<t:FieldURI FieldURI=\"";
      stream += DvXMLEscape(def->UnindexedFieldURI);
      stream += "\" />";
      break;
    case TDvEWSFieldDefType::fdtIndexedField:
      stream += "<t:IndexedFieldURI FieldURI=\"";
      stream += DvXMLEscape(def->FieldURI());
      stream += "\" FieldIndex=\"";
      stream += DvXMLEscape(def->FieldIndex);
      stream += "\" />";
      break;
    case TDvEWSFieldDefType::fdtExtendedField:
      WriteExtendedFieldURI(def->PropDef, stream);
      break;
  }
}

void WriteExtendedFieldURI(PDvEWSPropDef def, std::string& stream) {
  const TExtendedAttributes a = ExtendedAttributes(def);
  stream += "<t:ExtendedFieldURI ";
  for (int i = 0; i < a.Count; ++i) {
    const auto& [name, value] = a.Items[static_cast<std::size_t>(i)];
    stream += name;
    stream += "=\"";
    stream += DvXMLEscape(value);
    stream += "\" ";
  }
  stream += "/>";
}

DvDOMElementPtr WriteExtendedFieldURI(PDvEWSPropDef def, const DvDOMElementPtr& parent) {
  const TExtendedAttributes a = ExtendedAttributes(def);
  DvDOMElementPtr e = parent->AddElement("t:ExtendedFieldURI");
  for (int i = 0; i < a.Count; ++i)
    e->SetAttribute(a.Items[static_cast<std::size_t>(i)].first,
                    a.Items[static_cast<std::size_t>(i)].second);
  return e;
}

pugi::xml_node WriteExtendedFieldURI(PDvEWSPropDef def, pugi::xml_node parent) {
  const TExtendedAttributes a = ExtendedAttributes(def);
  pugi::xml_node e = parent.append_child("t:ExtendedFieldURI");
  for (int i = 0; i < a.Count; ++i) {
    const auto& [name, value] = a.Items[static_cast<std::size_t>(i)];
    e.append_attribute(std::string(name).c_str()).set_value(value.c_str());
  }
  return e;
}

}  // namespace dv
