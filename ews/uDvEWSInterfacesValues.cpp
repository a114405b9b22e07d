// Typed values bound to definitions, value lists and the published-property tables.
#include "uDvEWSInterfacesValues.h"

#include <charconv>

#include <nlohmann/json.hpp>

#include "uDvEWSInterfaces.h"

namespace dv {

const std::string_view kDvEWSPropDefPrefix = "PROPDEF:";

namespace {

std::string ReplaceChar(std::string text, char from, char to) {
  for (char& c : text)
    if (c == from) c = to;
  return text;
}

[[noreturn]] void Raise(std::string_view format, std::initializer_list<std::string_view> args) {
  throw Exception(DvEWSFormat(format, args));
}

// Hands a property's demand-load request to the current data's missing-element handler. True when
// a handler was there to ask.
bool AskDemandLoader(TDvXMLSchemaElement& current, const std::string& propDefName) {
  const TDvXMLSchemaMissingElementEvent& handler = current.GetOnMissingElement();
  if (!handler) return false;
  const std::string name = std::string(kDvEWSPropDefPrefix) + propDefName;
  TDvXMLSchemaInfo info{};
  info.Index = -1;
  info.NodeKind = kDvSchemaElementNode;
  info.QualifiedName = name;
  info.LocalName = name;
  info.PropName = name;
  info.MinOccurs = 0;
  info.MaxOccurs = 1;
  info.Required = false;
  info.ChoiceGroup = kDvSchemaNoChoice;
  info.Kind = TDvXMLSchemaValueKind::String;
  // Copy the handler: it may rebind the object (and with it the element that holds it).
  TDvXMLSchemaMissingElementEvent call = handler;
  return call(current, info);
}

bool HasChildNodes(const DvDOMElementPtr& e) {
  return e && static_cast<bool>(e->GetNativeNode().first_child());
}

// One step of a node path: a local name and an optional Key predicate (Entry[@Key="Home"]).
struct TPathStep {
  std::string Name;
  std::string Key;
  bool HasKey = false;
};

std::vector<TPathStep> SplitPath(std::string_view path) {
  std::vector<TPathStep> steps;
  std::size_t i = 0;
  while (i < path.size()) {
    TPathStep step;
    std::size_t j = i;
    while (j < path.size() && path[j] != '/' && path[j] != '[')
      ++j;
    step.Name = std::string(path.substr(i, j - i));
    if (j < path.size() && path[j] == '[') {
      const std::size_t close = path.find(']', j);
      std::string_view pred =
          path.substr(j + 1, (close == std::string_view::npos ? path.size() : close) - j - 1);
      const std::size_t q1 = pred.find('"');
      const std::size_t q2 = q1 == std::string_view::npos ? q1 : pred.find('"', q1 + 1);
      if (pred.starts_with("@Key") && q2 != std::string_view::npos) {
        step.Key = std::string(pred.substr(q1 + 1, q2 - q1 - 1));
        step.HasKey = true;
      }
      j = close == std::string_view::npos ? path.size() : close + 1;
    }
    steps.push_back(std::move(step));
    i = j < path.size() && path[j] == '/' ? j + 1 : j;
  }
  return steps;
}

// A child of the current data's element by local name, created at its declared position when the
// schema class declares it (so requests keep the schema's order), else appended.
DvDOMElementPtr GetOrCreateTopChild(TDvXMLSchemaElement& current, const std::string& name,
                                    bool alwaysNew) {
  const TDvXMLSchemaInfo* d = current.FindSchemaInfo(name);
  const DvDOMElementPtr& element = current.AsElement();
  if (d != nullptr && d->NodeKind == kDvSchemaElementNode) {
    if (!alwaysNew) return current.GetNodeByIndex(d->Index, true);
    // A repeated element: after the last of its name, else at its declared position.
    DvDOMElementPtr last;
    for (int i = 0, n = element->ElementCount(); i < n; ++i) {
      DvDOMElementPtr child = element->GetElement(i);
      if (DvSameText(child->GetLocalName(), d->LocalName)) last = child;
    }
    if (last) return element->InsertElement(d->QualifiedName, last, false);
    return current.GetNodeByIndex(d->Index, true);
  }
  if (!alwaysNew)
    if (DvDOMElementPtr found = element->ElementByName(name)) return found;
  return element->AddElement("t:" + name);
}

}  // namespace

// ---- Type information ----

std::string TDvEWSTypeInfo::Name() const {
  std::string n;
  switch (Kind) {
    case TDvEWSTypeKind::tkString:
      n = "string";
      break;
    case TDvEWSTypeKind::tkInt16:
      n = "Int16";
      break;
    case TDvEWSTypeKind::tkInt32:
      n = "Int32";
      break;
    case TDvEWSTypeKind::tkInt64:
      n = "Int64";
      break;
    case TDvEWSTypeKind::tkBoolean:
      n = "Boolean";
      break;
    case TDvEWSTypeKind::tkDouble:
      n = "Double";
      break;
    case TDvEWSTypeKind::tkExtended:
      n = "Extended";
      break;
    case TDvEWSTypeKind::tkDateTime:
      n = "TDateTime";
      break;
    case TDvEWSTypeKind::tkDate:
      n = "TDate";
      break;
    case TDvEWSTypeKind::tkTime:
      n = "TTime";
      break;
    case TDvEWSTypeKind::tkDuration:
      n = "Duration";
      break;
    case TDvEWSTypeKind::tkBytes:
      n = "TBytes";
      break;
    case TDvEWSTypeKind::tkGUID:
      n = "TGUID";
      break;
    case TDvEWSTypeKind::tkEnumeration:
      n = EnumType != nullptr ? std::string(EnumType->Name) : "enumeration";
      break;
    case TDvEWSTypeKind::tkClass:
      n = ClassType != nullptr ? std::string(ClassType->Name) : "class";
      break;
    case TDvEWSTypeKind::tkInterface:
      n = "IInterface";
      break;
  }
  return IsArray ? "array of " + n : n;
}

TDvEWSTypeInfo DvEWSTypeOfSchemaInfo(const TDvXMLSchemaInfo& info) {
  TDvEWSTypeInfo t;
  using K = TDvXMLSchemaValueKind;
  switch (info.Kind) {
    case K::None:
    case K::String:
    case K::AnyUri:
    case K::Language:
      t.Kind = TDvEWSTypeKind::tkString;
      break;
    case K::Int:
      t.Kind = TDvEWSTypeKind::tkInt32;
      break;
    case K::Long:
      t.Kind = TDvEWSTypeKind::tkInt64;
      break;
    case K::Boolean:
      t.Kind = TDvEWSTypeKind::tkBoolean;
      break;
    case K::Double:
      t.Kind = TDvEWSTypeKind::tkDouble;
      break;
    case K::Datetime:
      t.Kind = TDvEWSTypeKind::tkDateTime;
      break;
    case K::Date:
      t.Kind = TDvEWSTypeKind::tkDate;
      break;
    case K::Time:
      t.Kind = TDvEWSTypeKind::tkTime;
      break;
    case K::Duration:
      t.Kind = TDvEWSTypeKind::tkDuration;
      break;
    case K::Base64binary:
      t.Kind = TDvEWSTypeKind::tkBytes;
      break;
    case K::Guid:
      t.Kind = TDvEWSTypeKind::tkGUID;
      break;
    case K::Enum:
      t.Kind = TDvEWSTypeKind::tkEnumeration;
      t.EnumType = info.EnumType;
      break;
    case K::Class:
      t.Kind = TDvEWSTypeKind::tkClass;
      t.ClassType = info.ClassType;
      break;
    case K::Array:
      t.Kind = TDvEWSTypeKind::tkClass;
      t.ClassType = info.ClassType;
      t.IsArray = true;
      break;
    case K::SimpleArray:
      t.Kind = TDvEWSTypeKind::tkString;
      t.IsArray = true;
      break;
  }
  return t;
}

TDvEWSTypeInfo DvEWSTypeOfPropType(TDvEWSPropType type, std::string_view nameForError) {
  using P = TDvEWSPropType;
  using K = TDvEWSTypeKind;
  auto make = [](K kind, bool array = false) {
    TDvEWSTypeInfo t;
    t.Kind = kind;
    t.IsArray = array;
    return t;
  };
  switch (type) {
    case P::ptApplicationTime:
    case P::ptSystemTime:
      return make(K::tkDateTime);
    case P::ptApplicationTimeArray:
    case P::ptSystemTimeArray:
      return make(K::tkDateTime, true);
    case P::ptBinary:
      return make(K::tkBytes);
    case P::ptBinaryArray:
      return make(K::tkBytes, true);
    case P::ptBoolean:
      return make(K::tkBoolean);
    case P::ptCLSID:
      return make(K::tkGUID);
    case P::ptCLSIDArray:
      return make(K::tkGUID, true);
    case P::ptCurrency:
      return make(K::tkExtended);
    case P::ptCurrencyArray:
      return make(K::tkExtended, true);
    case P::ptDouble:
    case P::ptFloat:
      return make(K::tkDouble);
    case P::ptDoubleArray:
    case P::ptFloatArray:
      return make(K::tkDouble, true);
    case P::ptError:
    case P::ptString:
      return make(K::tkString);
    case P::ptStringArray:
      return make(K::tkString, true);
    case P::ptInteger:
      return make(K::tkInt32);
    case P::ptIntegerArray:
      return make(K::tkInt32, true);
    case P::ptLong:
      return make(K::tkInt64);
    case P::ptLongArray:
      return make(K::tkInt64, true);
    case P::ptShort:
      return make(K::tkInt16);
    case P::ptShortArray:
      return make(K::tkInt16, true);
    case P::ptObject:
      return make(K::tkInterface);
    case P::ptObjectArray:
      return make(K::tkInterface, true);
    case P::ptNull:
      break;
  }
  Raise("Failed to determine the type for %s!", {nameForError});
}

// ---- DvEWSField ----

DvEWSField::DvEWSField(std::string_view propDefName)
    : FPropDefName(propDefName), FURIType(utPropDefName) {}

DvEWSField::DvEWSField(TUnindexedFieldURI uri) : FURIType(utUnindexed), FUnindexedFieldURI(uri) {}

DvEWSField::DvEWSField(TDictionaryURI uri, std::string_view fieldIndex)
    : FURIType(utDictionary), FDictionaryURI(uri), FFieldIndex(fieldIndex) {}

DvEWSField::DvEWSField(const DvEWSField& other)
    : FPropDef(other.FPropDef.load(std::memory_order_relaxed)),
      FPropDefName(other.FPropDefName),
      FURIType(other.FURIType),
      FUnindexedFieldURI(other.FUnindexedFieldURI),
      FDictionaryURI(other.FDictionaryURI),
      FFieldIndex(other.FFieldIndex) {}

DvEWSField& DvEWSField::operator=(const DvEWSField& other) {
  if (this == &other) return *this;
  FPropDef.store(other.FPropDef.load(std::memory_order_relaxed), std::memory_order_relaxed);
  FPropDefName = other.FPropDefName;
  FURIType = other.FURIType;
  FUnindexedFieldURI = other.FUnindexedFieldURI;
  FDictionaryURI = other.FDictionaryURI;
  FFieldIndex = other.FFieldIndex;
  return *this;
}

PDvEWSPropDef DvEWSField::GetPropDef() const {
  PDvEWSPropDef cached = FPropDef.load(std::memory_order_acquire);
  if (cached != nullptr) return cached;
  switch (FURIType) {
    case utUnindexed:
      cached = dv::GetFieldDef(FUnindexedFieldURI)->PropDef;
      break;
    case utDictionary:
      cached = dv::GetFieldDef(FDictionaryURI, FFieldIndex)->PropDef;
      break;
    case utPropDefName:
      cached = dv::GetPropDef(FPropDefName, true);
      break;
  }
  // Every thread resolves to the same record, so a race only repeats the lookup.
  FPropDef.store(cached, std::memory_order_release);
  return cached;
}

// ---- Published-property tables ----

TDvEWSPublishedClass::TDvEWSPublishedClass(std::string_view name,
                                           const TDvEWSPublishedClass* parent,
                                           std::vector<TDvEWSPublishedProperty> properties)
    : FName(name), FParent(parent), FProperties(std::move(properties)) {}

std::vector<const TDvEWSPublishedProperty*> TDvEWSPublishedClass::GetProperties() const {
  std::vector<const TDvEWSPublishedProperty*> all;
  if (FParent != nullptr) all = FParent->GetProperties();
  for (const TDvEWSPublishedProperty& p : FProperties)
    all.push_back(&p);
  return all;
}

const TDvEWSPublishedProperty* TDvEWSPublishedClass::FindProperty(std::string_view name) const {
  for (const TDvEWSPublishedClass* c = this; c != nullptr; c = c->FParent)
    for (const TDvEWSPublishedProperty& p : c->FProperties)
      if (DvSameText(p.Name, name)) return &p;
  return nullptr;
}

const TDvEWSPublishedProperty* TDvEWSPublishedClass::FindByField(
    std::string_view propDefName) const {
  for (const TDvEWSPublishedProperty* p : GetProperties()) {
    if (!p->HasField) continue;
    PDvEWSPropDef d = p->Field.GetPropDef();
    if (d != nullptr && DvSameText(d->PropDefName, propDefName)) return p;
  }
  return nullptr;
}

// ---- TDvEWSData ----

TDvEWSData::TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, const TDvEWSPropDef& def)
    : TDvEWSData(owner, std::move(data), [&def] {
        PDvEWSPropDef registered = dv::GetPropDef(def.PropDefName, false);
        return registered != nullptr ? registered : &def;
      }()) {}

TDvEWSData::TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, PDvEWSPropDef def)
    : FOwner(owner), FData(std::move(data)) {
  if (def == nullptr) throw Exception("No property definition to bind a value to!");
  FPropDefName = std::string(def->PropDefName);
  if (!def->Extended) {
    TDvXMLSchemaElement* current = Element(TDvEWSGetDataElmSource::desCurrent);
    if (PDvEWSFieldDef f = GetFieldDef(current->GetClassName(), def->NodeName, false)) {
      BindFieldDef(*f);
      return;
    }
    FURIType = TDvEWSFieldDefType::fdtField;
  } else {
    FURIType = TDvEWSFieldDefType::fdtExtendedField;
  }
  SetPropDef(def);
}

TDvEWSData::TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, const TDvEWSFieldDef& def)
    : FOwner(owner), FData(std::move(data)) {
  BindFieldDef(def);
}

TDvEWSData::TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, const DvEWSField& field)
    : FOwner(owner), FData(std::move(data)) {
  PDvEWSPropDef def = field.GetPropDef();
  switch (field.GetURIType()) {
    case DvEWSField::utUnindexed:
      FURIType = TDvEWSFieldDefType::fdtField;
      FFieldURI = DvEnumToXML(field.GetUnindexedFieldURI());
      break;
    case DvEWSField::utDictionary:
      FURIType = TDvEWSFieldDefType::fdtIndexedField;
      FDictionaryURI = field.GetDictionaryURI();
      FFieldURI = DvEnumToXML(FDictionaryURI);
      FFieldIndex = field.GetFieldIndex();
      break;
    case DvEWSField::utPropDefName:
      // Named by definition: an element definition is named in requests by its field
      // definition when the current data's class has one, an extended one by itself.
      if (!def->Extended) {
        TDvXMLSchemaElement* current =
            FData ? FData(TDvEWSGetDataElmSource::desCurrent, false) : nullptr;
        if (current != nullptr)
          if (PDvEWSFieldDef f = GetFieldDef(current->GetClassName(), def->NodeName, false)) {
            BindFieldDef(*f);
            return;
          }
      }
      FURIType =
          def->Extended ? TDvEWSFieldDefType::fdtExtendedField : TDvEWSFieldDefType::fdtField;
      break;
  }
  SetPropDef(def);
}

TDvEWSData::~TDvEWSData() = default;

void TDvEWSData::BindFieldDef(const TDvEWSFieldDef& def) {
  FURIType = def.FieldType;
  if (def.FieldType == TDvEWSFieldDefType::fdtField) {
    FFieldURI = std::string(def.UnindexedFieldURI);
  } else if (def.FieldType == TDvEWSFieldDefType::fdtIndexedField) {
    FFieldURI = std::string(def.FieldURI());
    DvTryXMLToEnum(ReplaceChar(FFieldURI, '_', ':'), FDictionaryURI);
    FFieldIndex = std::string(def.FieldIndex);
  }
  SetPropDef(def.PropDef);
}

void TDvEWSData::SetPropDef(PDvEWSPropDef def) {
  if (def == nullptr) throw Exception("No property definition to bind a value to!");
  FBoundDef = def;
  FPropDefNodeType = def->NodeType;
  if (def->Extended) {
    FURIType = TDvEWSFieldDefType::fdtExtendedField;
    FPropertyType = def->PropType;
    FPropertyTag = def->PropertyTag;
    FDPropSetName = std::string(def->DistinguishedPropertySetId);
    FHasDPropSetId = !FDPropSetName.empty() && DvTryXMLToEnum(FDPropSetName, FDPropSetId);
    FHasPropSetId = def->PropertySetId != nullptr;
    if (FHasPropSetId) FPropSetId = *def->PropertySetId;
    if (def->PropertyTag != 0)
      FPropertyId = TDvVariant();
    else if (def->PropKind == TDvEWSPropKind::pkName)
      FPropertyId = std::string(def->Name);
    else
      FPropertyId = std::int32_t{def->Id};
  }
  if (FURIType == TDvEWSFieldDefType::fdtIndexedField && !FFieldIndex.empty()) {
    // The value node is the Entry with this key inside the dictionary element: the parent's
    // element for an entry definition (whose own node path already ends in this predicate),
    // else the definition's own element.
    const bool entryDef = !def->Extended && def->ParentProp != nullptr &&
                          def->ParentProp->NodeType == TDvEWSPropDefNodeType::pdntArray;
    const std::string dictionary =
        std::string(entryDef ? def->ParentProp->NodeName : def->NodeName);
    FPath = dictionary + "/Entry[@Key=\"" + FFieldIndex + "\"]";
  } else {
    FPath = GetNodePath(def);
  }
  FPropDefName = std::string(def->PropDefName);
  if (!def->Extended) {
    const TDvEWSPublishedClass& cls = FOwner.GetCreatorClass();
    FProperty = cls.FindProperty(NodeNameToPropName(def->NodeName));
    if (FProperty == nullptr) FProperty = cls.FindByField(FPropDefName);
    FParentPropDef = def->ParentProp;
  } else {
    FProperty = nullptr;
    FParentPropDef = nullptr;
  }
}

TDvXMLSchemaElement* TDvEWSData::Element(TDvEWSGetDataElmSource source) {
  TDvXMLSchemaElement* e = FData ? FData(source, true) : nullptr;
  if (e == nullptr) Raise("There is no data for \"%s\"!", {FPropDefName});
  return e;
}

DvDOMElementPtr TDvEWSData::SelectValue(TDvEWSGetDataElmSource source) {
  return Element(source)->AsElement()->SelectSingleElement(FPath);
}

DvDOMElementPtr TDvEWSData::GetValueNode() {
  TDvXMLSchemaElement* current = Element(TDvEWSGetDataElmSource::desCurrent);
  DvDOMElementPtr node = current->AsElement()->SelectSingleElement(FPath);
  if (!node && IsProperty() && FParentPropDef == nullptr &&
      AskDemandLoader(*current, FPropDefName)) {
    current = Element(TDvEWSGetDataElmSource::desCurrent);
    node = current->AsElement()->SelectSingleElement(FPath);
    // The server was asked and holds none: the value starts empty here.
    FAbsentOnServer = !node;
  }
  if (!node) node = CreateValueNode(*current);
  return node;
}

DvDOMElementPtr TDvEWSData::CreateValueNode(TDvXMLSchemaElement& current) {
  switch (FURIType) {
    case TDvEWSFieldDefType::fdtExtendedField: {
      PDvEWSPropDef registered = dv::GetPropDef(FPropDefName, false);
      DvDOMElementPtr ext = GetOrCreateTopChild(current, "ExtendedProperty", true);
      WriteExtendedFieldURI(registered != nullptr ? registered : FBoundDef, ext);
      return ext->AddElement("t:Value");
    }
    case TDvEWSFieldDefType::fdtIndexedField: {
      // FPath is "<dictionary>/Entry[@Key=…]".
      const std::string dictionary = FPath.substr(0, FPath.find('/'));
      DvDOMElementPtr parent = GetOrCreateTopChild(current, dictionary, false);
      DvDOMElementPtr entry = parent->AddElement("t:Entry");
      entry->SetAttribute("Key", FFieldIndex);
      return entry;
    }
    case TDvEWSFieldDefType::fdtField:
      break;
  }
  PDvEWSPropDef registered = dv::GetPropDef(FPropDefName, false);
  const std::string nodeName =
      std::string(registered != nullptr ? registered->NodeName : FBoundDef->NodeName);
  const std::vector<TPathStep> steps = SplitPath(nodeName);
  DvDOMElementPtr node;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const TPathStep& s = steps[i];
    const bool last = i + 1 == steps.size();
    if (!node) {
      node = GetOrCreateTopChild(current, s.Name, false);
    } else {
      DvDOMElementPtr next;
      if (!last) {
        const std::string step = s.HasKey ? s.Name + "[@Key=\"" + s.Key + "\"]" : s.Name;
        next = node->SelectSingleElement(step);
      }
      node = next ? next : node->AddElement("t:" + s.Name);
    }
    if (s.HasKey && !node->HasAttribute("Key")) node->SetAttribute("Key", s.Key);
  }
  return node;
}

std::string TDvEWSData::GetAsString() {
  const TDvEWSTypeInfo type = GetTypeInfo();
  DvDOMElementPtr node = GetValueNode();
  return type.ReadsAsText() ? node->GetAsString() : node->GetXML();
}

void TDvEWSData::SetAsString(std::string_view value) {
  const TDvEWSTypeInfo type = GetTypeInfo();
  if (!type.IsStructured()) {
    DvDOMElementPtr node = GetValueNode();
    try {
      node->SetAsString(value);
    } catch (const EDvXMLInvalidChar& e) {
      throw EDvXMLInvalidChar(FPropDefName, e.GetCodePoint());  // named as the caller knows it
    }
  } else if (type.Kind == TDvEWSTypeKind::tkBytes && !type.IsArray) {
    if (value.starts_with("0x")) value.remove_prefix(2);
    GetValueNode()->SetAsString(value);
  } else {
    Raise("The property \"%s\" cannot be written as a %s!", {FPath, "string"});
  }
}

std::int64_t TDvEWSData::GetAsInteger() {
  const std::string text = GetValueNode()->GetAsString();
  return DvTrim(text).empty() ? 0 : DvXMLToInt(text);
}

void TDvEWSData::SetAsInteger(std::int64_t value) {
  GetValueNode()->SetAsString(DvIntToXML(value));
}

bool TDvEWSData::GetAsBoolean() {
  return DvXMLToBool(DvTrim(GetValueNode()->GetAsString()));
}

void TDvEWSData::SetAsBoolean(bool value) {
  GetValueNode()->SetAsString(DvBoolToXML(value));
}

TDateTime TDvEWSData::GetAsDateTime() {
  return DvXMLToDateTime(DvTrim(GetValueNode()->GetAsString()));
}

void TDvEWSData::SetAsDateTime(TDateTime value) {
  GetValueNode()->SetAsString(DvDateTimeToXML(value));
}

double TDvEWSData::GetAsDouble() {
  const std::string text = DvTrim(GetValueNode()->GetAsString());
  return text.empty() ? 0.0 : DvXMLToDouble(text);
}

void TDvEWSData::SetAsDouble(double value) {
  GetValueNode()->SetAsString(DvDoubleToXML(value));
}

TBytes TDvEWSData::GetAsBytes() {
  return DvBase64Decode(GetValueNode()->GetAsString());
}

void TDvEWSData::SetAsBytes(const TBytes& value) {
  GetValueNode()->SetAsString(DvBase64Encode(value));
}

TDvEWSTypeInfo TDvEWSData::GetTypeInfo() {
  if (FProperty != nullptr) return FProperty->Type;
  if (FURIType != TDvEWSFieldDefType::fdtExtendedField) {
    TDvXMLSchemaElement* current =
        FData ? FData(TDvEWSGetDataElmSource::desCurrent, false) : nullptr;
    if (current == nullptr || FURIType == TDvEWSFieldDefType::fdtIndexedField)
      return TDvEWSTypeInfo{};
    const TDvXMLSchemaInfo* info = current->FindSchemaInfo(FPath);
    if (info != nullptr) return DvEWSTypeOfSchemaInfo(*info);
    if (FPropertyType == TDvEWSPropType::ptNull) {
      if (FParentPropDef != nullptr) return TDvEWSTypeInfo{};
      Raise("%s (%s) is not a property of %s!",
            {FPath, FPropDefName, std::string(current->GetClassName())});
    }
  }
  return DvEWSTypeOfPropType(FPropertyType, FPropDefName);
}

TDvEWSDataUpdateStatus TDvEWSData::GetUpdateStatus() {
  return GetComputedUpdateStatus();
}

TDvEWSDataUpdateStatus TDvEWSData::GetComputedUpdateStatus() {
  using S = TDvEWSDataUpdateStatus;
  const DvDOMElementPtr o = SelectValue(TDvEWSGetDataElmSource::desOriginal);
  const DvDOMElementPtr c = SelectValue(TDvEWSGetDataElmSource::desCurrent);
  const std::string ot = o ? DvTrim(o->GetAsString()) : std::string();
  const std::string ct = c ? DvTrim(c->GetAsString()) : std::string();
  if (FURIType == TDvEWSFieldDefType::fdtExtendedField || FParentPropDef != nullptr) {
    if (!ct.empty() && ot.empty()) return S::dusInserted;
    if (ct.empty() && !ot.empty()) return S::dusDeleted;
    if (ct == ot) return S::dusUnmodified;
    return S::dusModified;
  }
  if (FPropDefNodeType != TDvEWSPropDefNodeType::pdntSimple) return S::dusUnmodified;
  if (c && !o) return ct.empty() && !HasChildNodes(c) ? S::dusUnmodified : S::dusInserted;
  if (o && !c) return S::dusDeleted;
  if (!o && !c) return S::dusUnmodified;
  const bool oc = HasChildNodes(o), cc = HasChildNodes(c);
  if (oc != cc) return S::dusModified;
  if (oc && cc && o->GetXML() != c->GetXML()) return S::dusModified;
  if (ot != ct) return S::dusModified;
  return S::dusUnmodified;
}

DvDOMElementPtr TDvEWSData::AddEWS(const DvDOMElementPtr& parent) {
  switch (FURIType) {
    case TDvEWSFieldDefType::fdtField: {
      const TDvEWSPropDef rebuilt = PropDef();
      if (rebuilt.ParentProp != nullptr) {
        PDvEWSFieldDef f = GetFirstFieldDef(rebuilt.PropDefName);
        if (f->FieldType == TDvEWSFieldDefType::fdtIndexedField) {
          DvDOMElementPtr e = parent->AddElement("t:IndexedFieldURI");
          e->SetAttribute("FieldURI", f->FieldURI());
          e->SetAttribute("FieldIndex", f->FieldIndex);
          return e;
        }
        // A child of a complex value (CompleteName/FirstName) is named by its own field URI.
        DvDOMElementPtr e = parent->AddElement("t:FieldURI");
        e->SetAttribute("FieldURI", f->UnindexedFieldURI);
        return e;
      }
      DvDOMElementPtr e = parent->AddElement("t:FieldURI");
      e->SetAttribute("FieldURI", ReplaceChar(FFieldURI, '_', ':'));
      return e;
    }
    case TDvEWSFieldDefType::fdtIndexedField: {
      DvDOMElementPtr e = parent->AddElement("t:IndexedFieldURI");
      e->SetAttribute("FieldURI", ReplaceChar(FFieldURI, '_', ':'));
      e->SetAttribute("FieldIndex", FFieldIndex);
      return e;
    }
    case TDvEWSFieldDefType::fdtExtendedField: {
      PDvEWSPropDef registered = dv::GetPropDef(FPropDefName, false);
      return WriteExtendedFieldURI(registered != nullptr ? registered : FBoundDef, parent);
    }
  }
  return nullptr;
}

TDvEWSPropDef TDvEWSData::PropDef() const {
  TDvEWSPropDef d;
  d.PropDefName = FPropDefName;
  if (FURIType == TDvEWSFieldDefType::fdtExtendedField) {
    d.Extended = true;
    d.PropType = FPropertyType;
    d.DistinguishedPropertySetId = FDPropSetName;
    d.PropertySetId = GetPropSetId();
    d.PropertyTag = FPropertyTag;
    if (const auto* name = std::get_if<std::string>(&FPropertyId)) {
      d.PropKind = TDvEWSPropKind::pkName;
      d.Name = *name;
    } else {
      d.PropKind = TDvEWSPropKind::pkId;
      if (const auto* id = std::get_if<std::int32_t>(&FPropertyId)) d.Id = *id;
    }
  } else {
    d.NodeName = FPath;
    d.NodeType = FPropDefNodeType;
    d.ParentProp = FParentPropDef;
  }
  return d;
}

std::string TDvEWSData::AsXML() {
  return GetValueNode()->GetXML();
}

// ---- TDvEWSProperty ----

TDvEWSDataUpdateStatus TDvEWSProperty::GetUpdateStatus() {
  return FExplicitUpdateStatus ? FUpdateStatus : GetComputedUpdateStatus();
}

void TDvEWSProperty::SetUpdateStatus(TDvEWSDataUpdateStatus value) {
  FUpdateStatus = value;
  FExplicitUpdateStatus = true;
}

void TDvEWSProperty::SetFlag(TDvEWSDataUpdateStatus status, bool value) {
  if (value) {
    SetUpdateStatus(status);
  } else {
    FUpdateStatus = TDvEWSDataUpdateStatus::dusUnmodified;
    FExplicitUpdateStatus = false;
  }
}

// ---- Keys ----

TDvEWSItemKey::TDvEWSItemKey(const TDvVariant& value) : FKind(TKind::kVariantText) {
  if (const auto* i = std::get_if<std::int32_t>(&value)) {
    FKind = TKind::kIndex;
    FIndex = *i;
  } else if (const auto* l = std::get_if<std::int64_t>(&value)) {
    FKind = TKind::kIndex;
    FIndex = *l;
  } else if (const auto* s = std::get_if<std::string>(&value)) {
    FKind = TKind::kString;
    FText = *s;
  } else {
    FText = DvVariantToXML(value);
  }
}

TDvEWSItemKey::TDvEWSItemKey(PDvEWSPropDef def)
    : FKind(def != nullptr ? TKind::kPropDef : TKind::kOther), FPropDef(def) {}

TDvEWSItemKey::TDvEWSItemKey(PDvEWSFieldDef def)
    : FKind(def != nullptr ? TKind::kFieldDef : TKind::kOther), FFieldDef(def) {}

std::string TDvEWSItemKey::Text() const {
  switch (FKind) {
    case TKind::kIndex:
      return std::to_string(FIndex);
    case TKind::kString:
    case TKind::kVariantText:
      return FText;
    case TKind::kFieldDef:
      return std::string(FFieldDef->FieldDefName);
    case TKind::kPropDef:
      return std::string(FPropDef->PropDefName);
    case TKind::kOther:
      break;
  }
  return {};
}

// ---- Lists ----

TDvEWSBaseDataList::TDvEWSBaseDataList(IDvEWSPublished* creator, TDvEWSGetDataElm data)
    : FCreator(creator), FData(std::move(data)) {}

TDvEWSBaseDataList::~TDvEWSBaseDataList() = default;

const TDvEWSPublishedClass& TDvEWSBaseDataList::GetCreatorClass() const {
  if (FCreator == nullptr)
    throw Exception("Assertion failed: the owner of a value list has no published properties");
  return FCreator->GetPublishedClass();
}

std::string TDvEWSBaseDataList::AsXML() {
  DvDOMDocumentPtr doc = DvCreateDOM();
  DvDOMElementPtr root = doc->CreateDocumentElement("Values");
  for (int i = 0; i < Size(); ++i) {
    TDvEWSData* d = At(i);
    DvDOMElementPtr v = root->AddElement("Value");
    v->SetAttribute("Name", d->GetPropDefName());
    v->SetAttribute("Path", d->GetPath());
    v->AppendCopy(d->GetValueNode());
  }
  return doc->GetXML();
}

std::string TDvEWSBaseDataList::AsJSON() {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  for (int i = 0; i < Size(); ++i) {
    TDvEWSData* d = At(i);
    j[d->GetPropDefName()] = d->GetAsString();
  }
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

template <typename T>
TDvEWSDataList<T>::~TDvEWSDataList() = default;

template <typename T>
T* TDvEWSDataList<T>::Insert(std::unique_ptr<T> item) {
  const std::string& path = item->GetPath();
  if (FIndex.count(path) != 0) throw EListError("Duplicates not allowed");
  FIndex.emplace(path, FList.size());
  FList.push_back(std::move(item));
  return FList.back().get();
}

template <typename T>
T* TDvEWSDataList<T>::AddItem(const DvEWSField& field) {
  return Insert(std::make_unique<T>(*this, FData, field));
}

template <typename T>
T* TDvEWSDataList<T>::AddItem(const TDvEWSFieldDef& def) {
  return Insert(std::make_unique<T>(*this, FData, def));
}

template <typename T>
T* TDvEWSDataList<T>::AddItem(const TDvEWSPropDef& def) {
  return Insert(std::make_unique<T>(*this, FData, def));
}

template <typename T>
T* TDvEWSDataList<T>::AddItem(PDvEWSPropDef def) {
  return Insert(std::make_unique<T>(*this, FData, def));
}

template <typename T>
T* TDvEWSDataList<T>::At(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= FList.size()) return nullptr;
  return FList[static_cast<std::size_t>(index)].get();
}

template <typename T>
T* TDvEWSDataList<T>::FindItem(const TDvEWSItemKey& key) const {
  using K = TDvEWSItemKey::TKind;
  std::string path;
  switch (key.GetKind()) {
    case K::kIndex:
      if (key.GetIndex() < 0 || key.GetIndex() >= static_cast<std::int64_t>(FList.size()))
        return nullptr;
      return FList[static_cast<std::size_t>(key.GetIndex())].get();
    case K::kString:
    case K::kVariantText:
      path = key.GetString();
      break;
    case K::kFieldDef:
      path = GetNodePath(key.GetFieldDef()->PropDef);
      break;
    case K::kPropDef:
      path = GetNodePath(key.GetPropDef());
      break;
    case K::kOther:
      throw Exception("The requested item could not be found!");
  }
  auto it = FIndex.find(path);
  return it == FIndex.end() ? nullptr : FList[it->second].get();
}

template <typename T>
T* TDvEWSDataList<T>::GetItem(const TDvEWSItemKey& key) const {
  T* item = FindItem(key);
  if (item == nullptr) Raise("The requested item (%s) could not be found!", {key.Text()});
  return item;
}

template <typename T>
void TDvEWSDataList<T>::Clear() {
  FIndex.clear();
  FList.clear();
}

template class TDvEWSDataList<TDvEWSField>;
template class TDvEWSDataList<TDvEWSProperty>;

// ---- TDvEWSFields ----

TDvEWSField* TDvEWSFields::FindField(const TDvEWSFieldDef& def) const {
  auto it = FIndex.find(GetNodePath(def.PropDef));
  return it == FIndex.end() ? nullptr : FList[it->second].get();
}

// ---- TDvEWSProperties ----

TDvEWSProperty* TDvEWSProperties::CreateItem(const TDvEWSItemKey& key) {
  using K = TDvEWSItemKey::TKind;
  PDvEWSPropDef def = nullptr;
  switch (key.GetKind()) {
    case K::kFieldDef:
      def = key.GetFieldDef()->PropDef;
      break;
    case K::kPropDef:
      def = key.GetPropDef();
      break;
    case K::kString: {
      TDvXMLSchemaElement* current =
          FData ? FData(TDvEWSGetDataElmSource::desCurrent, false) : nullptr;
      const std::string className =
          current != nullptr ? std::string(current->GetClassName()) : std::string();
      def = dv::GetPropDef(className, key.GetString(), true);
      break;
    }
    default:
      break;
  }
  if (def == nullptr) Raise("Failed to locate the Property Definition for \"%s\"!", {key.Text()});
  if (TDvEWSProperty* existing = FindItem(GetNodePath(def))) return existing;
  std::unique_ptr<TDvEWSProperty> p;
  if (!def->Extended) {
    const TDvEWSPublishedClass& cls = GetCreatorClass();
    if (cls.FindProperty(GetNodePath(def)) == nullptr)
      if (const TDvEWSPublishedProperty* annotated = cls.FindByField(def->PropDefName))
        p = std::make_unique<TDvEWSProperty>(*this, FData, annotated->Field);
  }
  if (!p) p = std::make_unique<TDvEWSProperty>(*this, FData, def);
  // A value bound through its field may land on a path the list already holds.
  if (TDvEWSProperty* existing = FindItem(p->GetPath())) return existing;
  return Insert(std::move(p));
}

void TDvEWSProperties::RestoreStatus(
    TDvEWSProperty* p, const std::unordered_map<std::string, TDvEWSDataUpdateStatus>& kept) {
  auto it = kept.find(p->GetPath());
  if (it != kept.end()) p->SetUpdateStatus(it->second);
}

int TDvEWSProperties::Count() {
  std::unordered_map<std::string, TDvEWSDataUpdateStatus> kept;
  for (const auto& p : FList)
    if (p->GetExplicitUpdateStatus()) kept.emplace(p->GetPath(), p->GetUpdateStatus());
  Clear();
  TDvXMLSchemaElement* current = FData ? FData(TDvEWSGetDataElmSource::desCurrent, true) : nullptr;
  if (current == nullptr) return 0;
  const std::string className(current->GetClassName());
  const DvDOMElementPtr element = current->AsElement();
  for (int i = 0, n = element->ElementCount(); i < n; ++i) {
    const DvDOMElementPtr child = element->GetElement(i);
    const std::string name = child->GetLocalName();
    if (name != "ExtendedProperty") {
      PDvEWSPropDef def = dv::GetPropDef(className, name, false);
      if (def == nullptr) continue;
      TDvEWSProperty* p = CreateItem(*def);
      RestoreStatus(p, kept);
      if (def->NodeType == TDvEWSPropDefNodeType::pdntComplex) {
        p->SetUpdateStatus(TDvEWSDataUpdateStatus::dusUnmodified);
      } else if (def->NodeType == TDvEWSPropDefNodeType::pdntArray) {
        p->SetUpdateStatus(TDvEWSDataUpdateStatus::dusUnmodified);
        for (PDvEWSPropDef k : GetKeyPropDefs(def))
          RestoreStatus(CreateItem(*k), kept);
      }
      continue;
    }
    // An extended property: identify it by its ExtendedFieldURI.
    TDvEWSPropDef blank;
    blank.Extended = true;
    std::string dset, pname;
    TGUID guid;
    if (DvDOMElementPtr uri = child->ElementByName("ExtendedFieldURI")) {
      if (uri->HasAttribute("PropertyTag")) {
        std::string tag = DvTrim(uri->GetAttribute("PropertyTag"));
        if (tag.starts_with("0x") || tag.starts_with("0X")) tag.erase(0, 2);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(tag.data(), tag.data() + tag.size(), value, 16);
        if (ec != std::errc() || end != tag.data() + tag.size() || value > 0xFFFF)
          throw EConvertError("'" + uri->GetAttribute("PropertyTag") +
                              "' is not a valid property tag");
        blank.PropertyTag = static_cast<std::uint16_t>(value);
      }
      if (uri->HasAttribute("DistinguishedPropertySetId")) {
        dset = uri->GetAttribute("DistinguishedPropertySetId");
        blank.DistinguishedPropertySetId = dset;
      }
      if (uri->HasAttribute("PropertySetId")) {
        guid = DvStringToGUID("{" + uri->GetAttribute("PropertySetId") + "}");
        blank.PropertySetId = &guid;
      }
      if (uri->HasAttribute("PropertyName")) {
        pname = uri->GetAttribute("PropertyName");
        blank.PropKind = TDvEWSPropKind::pkName;
        blank.Name = pname;
      }
      if (uri->HasAttribute("PropertyId")) {
        blank.PropKind = TDvEWSPropKind::pkId;
        blank.Id = static_cast<std::int32_t>(DvXMLToInt(uri->GetAttribute("PropertyId")));
      }
    }
    PDvEWSPropDef def = dv::GetPropDef(blank);
    RestoreStatus(CreateItem(*def), kept);
  }
  return static_cast<int>(FList.size());
}

TDvEWSProperty* TDvEWSProperties::GetItem(const TDvEWSItemKey& key) {
  if (TDvEWSProperty* p = FindItem(key)) return p;
  TDvEWSProperty* p = CreateItem(key);
  DvDOMElementPtr node = p->GetValueNode();
  // A value the server lacks stays empty: a default here would be sent as a change.
  if (HasChildNodes(node) || p->GetAbsentOnServer()) return p;
  const TDvEWSTypeInfo type = p->GetTypeInfo();
  if (type.IsArray) return p;
  switch (type.Kind) {
    case TDvEWSTypeKind::tkInt16:
    case TDvEWSTypeKind::tkInt32:
    case TDvEWSTypeKind::tkInt64:
      p->SetAsInteger(0);
      break;
    case TDvEWSTypeKind::tkDouble:
    case TDvEWSTypeKind::tkExtended:
      p->SetAsString("0");
      break;
    case TDvEWSTypeKind::tkString:
      p->SetAsString("");
      break;
    case TDvEWSTypeKind::tkBoolean:
      p->SetAsBoolean(false);
      break;
    case TDvEWSTypeKind::tkDateTime:
    case TDvEWSTypeKind::tkDate:
    case TDvEWSTypeKind::tkTime:
      p->SetAsDateTime(TDateTime());
      break;
    default:
      break;
  }
  return p;
}

TDvEWSProperty* TDvEWSProperties::FindProperty(const TDvEWSPropDef& def) const {
  auto it = FIndex.find(GetNodePath(def));
  return it == FIndex.end() ? nullptr : FList[it->second].get();
}

bool TDvEWSProperties::HasProperty(const TDvEWSPropDef& def) {
  const std::string path = GetNodePath(def);
  if (ContainsPath(path)) return true;
  TDvXMLSchemaElement* current = FData ? FData(TDvEWSGetDataElmSource::desCurrent, false) : nullptr;
  if (current == nullptr) return false;
  if (def.Extended) {
    if (AskDemandLoader(*current, std::string(def.PropDefName))) {
      current = FData(TDvEWSGetDataElmSource::desCurrent, false);
      if (current == nullptr) return false;
    }
    return current->AsElement()->SelectSingleElement(path) != nullptr;
  }
  const TDvXMLSchemaInfo* info = current->FindSchemaInfo("t:" + std::string(def.NodeName));
  return info != nullptr && info->NodeKind == kDvSchemaElementNode;
}

}  // namespace dv
