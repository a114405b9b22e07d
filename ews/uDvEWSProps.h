/// @file
/// Property and field definitions, the process-wide registry that holds them, and the XML that
/// names a field in a request or finds a value in a response.
///
/// A property definition (TDvEWSPropDef) says where a value lives: an EWS element of an item or
/// folder, or an extended MAPI property (by tag, or named in a property set). A field definition
/// (TDvEWSFieldDef) says how a request names that value: an unindexed field URI, an indexed field
/// URI (a dictionary URI and a key), or an extended field URI built from its property definition.
///
/// Definitions are constant records referred to by pointer; the registry never owns or frees them.
/// Text fields are short strings (at most 255 bytes of UTF-8) viewed by std::string_view, so a
/// record made by an application must outlive its registration together with the texts it views.
/// The predefined catalogue (uDvEWSPropsCatalog.h, included below) is registered on first use of
/// any registry function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "DvUtils.h"
#include "DvXML.h"

namespace dv {

/// Schema enumerations (defined in uDvEWSTypes).
enum class TUnindexedFieldURI;
enum class TDictionaryURI;
enum class TMapiPropertyType;

/// MAPI property types. The wire text of a value (EWS MapiPropertyType) is its identifier less
/// the "pt" prefix: ptString is "String", ptInteger (32-bit) "Integer", ptLong (64-bit) "Long".
enum class TDvEWSPropType : std::uint8_t {
  ptNull,
  ptApplicationTime,
  ptApplicationTimeArray,
  ptBinary,
  ptBinaryArray,
  ptBoolean,
  ptCLSID,
  ptCLSIDArray,
  ptCurrency,
  ptCurrencyArray,
  ptDouble,
  ptDoubleArray,
  ptError,
  ptFloat,
  ptFloatArray,
  ptInteger,
  ptIntegerArray,
  ptLong,
  ptLongArray,
  ptObject,
  ptObjectArray,
  ptShort,
  ptShortArray,
  ptSystemTime,
  ptSystemTimeArray,
  ptString,
  ptStringArray,
};

/// How an element definition's node holds its value: as text, as named child values, or as keyed
/// "Entry" children.
enum class TDvEWSPropDefNodeType : std::uint8_t { pdntSimple, pdntComplex, pdntArray };

/// How a named property is identified: by numeric id or by string name.
enum class TDvEWSPropKind : std::uint8_t { pkId, pkName };

/// How a request names a field.
enum class TDvEWSFieldDefType : std::uint8_t { fdtField, fdtIndexedField, fdtExtendedField };

struct TDvEWSPropDef;
/// A property definition as the registry hands it out (never owned).
using PDvEWSPropDef = const TDvEWSPropDef*;

/// A property definition. Extended == false: an element definition (NodeName, NodeType,
/// ParentProp). Extended == true: a MAPI property, tagged (PropertyTag != 0, no set, pkId, Id 0)
/// or named (PropertyTag == 0, a DistinguishedPropertySetId or a PropertySetId, and an Id or a
/// Name according to PropKind).
struct TDvEWSPropDef {
  /// The definition's name ("PR_SUBJECT", "EPR_…", an element's name).
  std::string_view PropDefName;
  /// False for an element definition, true for a MAPI property.
  bool Extended = false;
  /// Element part: the element's name, how it holds its value, and the definition it belongs to.
  /**@{*/
  std::string_view NodeName;
  TDvEWSPropDefNodeType NodeType = TDvEWSPropDefNodeType::pdntSimple;
  PDvEWSPropDef ParentProp = nullptr;
  ///@}
  /// Extended part: the MAPI type, the property set (distinguished or by GUID), the tag of a
  /// tagged property, and the id or name of a named one.
  /**@{*/
  TDvEWSPropType PropType = TDvEWSPropType::ptNull;
  std::string_view DistinguishedPropertySetId;
  const TGUID* PropertySetId = nullptr;
  std::uint16_t PropertyTag = 0;
  TDvEWSPropKind PropKind = TDvEWSPropKind::pkId;
  std::string_view Name;  // pkName
  std::int32_t Id = 0;    // pkId
  ///@}
};

/// A field definition. UnindexedFieldURI is the field URI of fdtField and fdtIndexedField
/// ("item:Subject", "contacts:EmailAddress"; FieldURI() reads the same storage); FieldIndex is
/// the dictionary key of an indexed field.
struct TDvEWSFieldDef {
  /// @name Field definition
  /**@{*/
  /// The definition's name ("FLD_ITEM_SUBJECT"), its property, how a request names it, and
  /// the field URI and dictionary key that name it.
  std::string_view FieldDefName;
  PDvEWSPropDef PropDef = nullptr;
  TDvEWSFieldDefType FieldType = TDvEWSFieldDefType::fdtField;
  std::string_view UnindexedFieldURI;
  std::string_view FieldIndex;
  ///@}
  /// The field URI (the same text as UnindexedFieldURI).
  constexpr std::string_view FieldURI() const { return UnindexedFieldURI; }
};
/// A field definition as the registry hands it out (GetFieldDef; never owned).
using PDvEWSFieldDef = const TDvEWSFieldDef*;

/// A list of property definitions.
using TDvEWSPropDefArray = std::vector<PDvEWSPropDef>;

// ---- Record builders (constant expressions) ----

/// @name Record builders
/// Constant expressions that make definition records (for the catalogue and for applications'
/// own extended properties; register them with RegisterProp and RegisterField).
/**@{*/
/// An element definition: a value held by an EWS element of that node name.
constexpr TDvEWSPropDef DvElementPropDef(
    std::string_view name, std::string_view nodeName,
    TDvEWSPropDefNodeType nodeType = TDvEWSPropDefNodeType::pdntSimple,
    PDvEWSPropDef parent = nullptr) {
  TDvEWSPropDef d;
  d.PropDefName = name;
  d.NodeName = nodeName;
  d.NodeType = nodeType;
  d.ParentProp = parent;
  return d;
}

/// A tagged MAPI property (PR_… with its 16-bit tag).
constexpr TDvEWSPropDef DvTaggedPropDef(std::string_view name, TDvEWSPropType type,
                                        std::uint16_t tag) {
  TDvEWSPropDef d;
  d.PropDefName = name;
  d.Extended = true;
  d.PropType = type;
  d.PropertyTag = tag;
  return d;
}

/// A named MAPI property: a numeric id in a property set (by GUID).
constexpr TDvEWSPropDef DvNamedIdPropDef(std::string_view name, TDvEWSPropType type,
                                         const TGUID* propertySet, std::int32_t id) {
  TDvEWSPropDef d;
  d.PropDefName = name;
  d.Extended = true;
  d.PropType = type;
  d.PropertySetId = propertySet;
  d.Id = id;
  return d;
}

/// A named MAPI property: a string name in a property set (by GUID).
constexpr TDvEWSPropDef DvNamedStringPropDef(std::string_view name, TDvEWSPropType type,
                                             const TGUID* propertySet, std::string_view propName) {
  TDvEWSPropDef d;
  d.PropDefName = name;
  d.Extended = true;
  d.PropType = type;
  d.PropertySetId = propertySet;
  d.PropKind = TDvEWSPropKind::pkName;
  d.Name = propName;
  return d;
}

/// Named properties in a distinguished property set ("Common", "PublicStrings", …).
constexpr TDvEWSPropDef DvDistinguishedIdPropDef(std::string_view name, TDvEWSPropType type,
                                                 std::string_view distinguishedSet,
                                                 std::int32_t id) {
  TDvEWSPropDef d;
  d.PropDefName = name;
  d.Extended = true;
  d.PropType = type;
  d.DistinguishedPropertySetId = distinguishedSet;
  d.Id = id;
  return d;
}

/// As DvDistinguishedIdPropDef, named by a string.
constexpr TDvEWSPropDef DvDistinguishedStringPropDef(std::string_view name, TDvEWSPropType type,
                                                     std::string_view distinguishedSet,
                                                     std::string_view propName) {
  TDvEWSPropDef d;
  d.PropDefName = name;
  d.Extended = true;
  d.PropType = type;
  d.DistinguishedPropertySetId = distinguishedSet;
  d.PropKind = TDvEWSPropKind::pkName;
  d.Name = propName;
  return d;
}

/// A field named by an unindexed field URI ("item:Subject").
constexpr TDvEWSFieldDef DvFieldDef(std::string_view name, PDvEWSPropDef prop,
                                    std::string_view fieldURI) {
  return TDvEWSFieldDef{name, prop, TDvEWSFieldDefType::fdtField, fieldURI, {}};
}

/// A field named by an indexed field URI and a key ("contacts:PhoneNumber", "BusinessFax").
constexpr TDvEWSFieldDef DvIndexedFieldDef(std::string_view name, PDvEWSPropDef prop,
                                           std::string_view fieldURI, std::string_view fieldIndex) {
  return TDvEWSFieldDef{name, prop, TDvEWSFieldDefType::fdtIndexedField, fieldURI, fieldIndex};
}

/// A field named by its extended property's ExtendedFieldURI.
constexpr TDvEWSFieldDef DvExtendedFieldDef(std::string_view name, PDvEWSPropDef prop) {
  return TDvEWSFieldDef{name, prop, TDvEWSFieldDefType::fdtExtendedField, {}, {}};
}
///@}

// ---- Property sets ----

/// @name Property sets
/// The GUIDs of the well-known MAPI property sets, for named properties.
/**@{*/
/// A property set GUID.
extern const TGUID PS_MAPI;
extern const TGUID PS_PUBLIC_STRINGS;
extern const TGUID PS_INTERNET_HEADERS;
extern const TGUID PSETID_Appointment;
extern const TGUID PSETID_Task;
extern const TGUID PSETID_Address;
extern const TGUID PSETID_Common;
extern const TGUID PSETID_Log;
extern const TGUID PSETID_Note;
extern const TGUID PSETID_Sharing;
extern const TGUID PSETID_PostRss;
extern const TGUID PSETID_Messaging;
extern const TGUID PSETID_Attachment;
extern const TGUID PSETID_CalendarAssistant;
extern const TGUID PSETID_UnifiedMessaging;
extern const TGUID PSETID_Meeting;
extern const TGUID PSETID_AirSync;
extern const TGUID PSETID_Dovrane;          // the library's own named properties
extern const TGUID PSETID_PublicStrings;    // same GUID as PS_PUBLIC_STRINGS
extern const TGUID PSETID_InternetHeaders;  // same GUID as PS_INTERNET_HEADERS
extern const TGUID GUID_PKMDocSummaryInformation;
extern const TGUID PSETID_Exchange1;
///@}

/// The GUID in lower case, hyphenated, without braces
/// ("00062008-0000-0000-c000-000000000046").
std::string PropSetIDToString(const TGUID& guid);

// ---- Property types ----

/// The EWS MapiPropertyType text of a type ("String", "Integer", …).
std::string_view DvEWSPropTypeToString(TDvEWSPropType type);
/// The type of an EWS MapiPropertyType text (exact case); EConvertError when unknown.
TDvEWSPropType DvEWSStringToPropType(std::string_view text);

/// The schema's MapiPropertyType value of a type, and back (both by the wire text).
TMapiPropertyType DvEWSPropTypeToMapiPropertyType(TDvEWSPropType type);
/// The type of a schema MapiPropertyType value.
TDvEWSPropType DvMapiPropertyTypeToEWSPropType(TMapiPropertyType type);

// ---- Short strings ----

/// UTF-8 text cut at 255 bytes: the form in which names are compared with the registry's keys.
std::string EWSShortName(std::string_view text);
/// As EWSShortName.
std::string EWSShortNameEx(std::string_view text);
/// The text of a short string.
std::string EWSShortNameToStr(std::string_view shortName);

// ---- Registry ----

/// An open-addressing hash index of records by name (no allocation per entry). KeyOf gives a
/// record's key; keys are compared byte for byte.
template <typename P, std::string_view (*KeyOf)(P)>
class TDvEWSNameIndex {
 public:
  /// The number of records.
  std::size_t Size() const { return count_; }
  /// Makes room for `n` records.
  void Reserve(std::size_t n) {
    std::size_t capacity = 16;
    while (capacity < n * 2)
      capacity *= 2;
    if (capacity > slots_.size()) Rehash(capacity);
  }
  /// Adds the record unless its key is present; true when added.
  bool Insert(P record) {
    if ((count_ + 1) * 2 > slots_.size()) Rehash(slots_.empty() ? 16 : slots_.size() * 2);
    const std::string_view key = KeyOf(record);
    std::size_t i = Hash(key) & (slots_.size() - 1);
    while (slots_[i] != nullptr) {
      if (KeyOf(slots_[i]) == key) return false;
      i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = record;
    ++count_;
    return true;
  }
  /// The record of that key, or none.
  P Find(std::string_view key) const {
    if (slots_.empty()) return nullptr;
    std::size_t i = Hash(key) & (slots_.size() - 1);
    while (slots_[i] != nullptr) {
      if (KeyOf(slots_[i]) == key) return slots_[i];
      i = (i + 1) & (slots_.size() - 1);
    }
    return nullptr;
  }

 private:
  static std::size_t Hash(std::string_view key) {
    std::uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (char c : key) {
      h ^= static_cast<unsigned char>(c);
      h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
  void Rehash(std::size_t capacity) {
    std::vector<P> old(capacity, nullptr);
    old.swap(slots_);
    count_ = 0;
    for (P record : old)
      if (record != nullptr) Insert(record);
  }
  std::vector<P> slots_;
  std::size_t count_ = 0;
};

/// The registry's key of a record: its name, cut at 255 bytes like a short string.
std::string_view DvEWSPropDefKey(PDvEWSPropDef def);
/// As DvEWSPropDefKey, for a field definition.
std::string_view DvEWSFieldDefKey(PDvEWSFieldDef def);

/// A registry: definitions by name (hash lookups), the children of each complex or array
/// definition, and indexed fields by dictionary URI and key. The free functions below work on the
/// process-wide registry, which holds the catalogue; separate instances serve tests and
/// measurements. Lookups take no lock; registering while other threads look up is not supported.
class TDvEWSPropRegistry {
 public:
  TDvEWSPropRegistry() = default;
  TDvEWSPropRegistry(const TDvEWSPropRegistry&) = delete;
  TDvEWSPropRegistry& operator=(const TDvEWSPropRegistry&) = delete;

  /// Registers the whole catalogue, family by family, in catalogue order.
  void RegisterCatalog();

  /// Adds a definition unless its name is registered (see the free RegisterProp).
  void RegisterProp(PDvEWSPropDef def);
  /// Adds a field definition unless its name is registered.
  void RegisterField(PDvEWSFieldDef def);

  /// A property definition by name, or none.
  PDvEWSPropDef FindProp(std::string_view name) const;
  /// A field definition by name, or none.
  PDvEWSFieldDef FindField(std::string_view name) const;
  /// The indexed field of a dictionary URI and key, or none.
  PDvEWSFieldDef FindIndexedField(std::string_view fieldURI, std::string_view fieldIndex) const;
  /// The children of a complex or array definition, or none.
  const TDvEWSPropDefArray* FindChildren(PDvEWSPropDef def) const;
  /// Every definition in registration order (the order of the registry's scans).
  const std::vector<PDvEWSPropDef>& Props() const { return propOrder_; }
  /// Every field definition in registration order.
  const std::vector<PDvEWSFieldDef>& Fields() const { return fieldOrder_; }

 private:
  TDvEWSNameIndex<PDvEWSPropDef, DvEWSPropDefKey> props_;
  TDvEWSNameIndex<PDvEWSFieldDef, DvEWSFieldDefKey> fields_;
  std::unordered_map<PDvEWSPropDef, TDvEWSPropDefArray> children_;
  std::unordered_map<std::string, PDvEWSFieldDef> indexed_;
  std::vector<PDvEWSPropDef> propOrder_;
  std::vector<PDvEWSFieldDef> fieldOrder_;
};

/// The process-wide registry, created with the catalogue registered on first use.
TDvEWSPropRegistry& DvEWSPropRegistry();

/// Adds a definition unless its name is registered already (the first registration wins). An
/// element definition with a ParentProp is appended to that parent's children.
void RegisterProp(PDvEWSPropDef def);
/// As RegisterProp, for a field definition (an indexed one is also found by URI and key).
void RegisterField(PDvEWSFieldDef def);

/// By name (case-sensitive). On a miss: nullptr, or Exception
/// "There is no property definition \"<name>\"!" when raise is set.
PDvEWSPropDef GetPropDef(std::string_view name, bool raise);
/// Guards against a text silently taken as the raise flag: GetPropDef("owner", "name") does not
/// compile; pass raise explicitly.
PDvEWSPropDef GetPropDef(std::string_view, const char*) = delete;
/// The registered definition equal to a given (possibly ad-hoc) one: by name first, else, for an
/// extended definition, by tag or by set and id or name, scanning in registration order.
/// Exception "There is no property definition \"<PropDefName>\"!" when none matches.
PDvEWSPropDef GetPropDef(const TDvEWSPropDef& def);
/// An element or property name seen in a schema object: through the owner class's field
/// definitions, else a definition with that name or node name, else an EPR_ definition whose
/// name after "EPR_" equals it in any case. Exception
/// "There is no property definition for \"<owner>:<name>\"!" when raise is set.
PDvEWSPropDef GetPropDef(std::string_view owner, std::string_view name, bool raise);

/// By name. Exception "There is no field definition \"<name>\"!" when raise is set.
PDvEWSFieldDef GetFieldDef(std::string_view name, bool raise);
PDvEWSFieldDef GetFieldDef(std::string_view, const char*) = delete;  // as for GetPropDef
/// By the record's FieldDefName, raising on a miss.
PDvEWSFieldDef GetFieldDef(const TDvEWSFieldDef& def);
/// From a schema class name ("TEwsMessage") and an element name ("IsRead"). Exception
/// "There is no field definition for \"<class>.<element>\"!" when raise is set.
PDvEWSFieldDef GetFieldDef(std::string_view className, std::string_view elementName, bool raise);
/// The indexed field definition of a dictionary field URI and a key
/// ("contacts:PhoneNumber", "BusinessFax"): a hash lookup. Exception
/// "There is no field definition for \"<uri>[<index>]\"!" when raise is set.
PDvEWSFieldDef GetIndexedFieldDef(std::string_view fieldURI, std::string_view fieldIndex,
                                  bool raise);
/// From a schema enumeration value (uDvEWSTypes): the value's name less its prefix, upper-cased,
/// after "FLD_" (ufuitem_Subject: FLD_ITEM_SUBJECT), raising on a miss. No definition carries the
/// name of a bare dictionary URI (FLD_CONTACTS_EMAILADDRESS), so the single-argument dictionary
/// form always raises; with a key it finds the indexed definition of that URI and key
/// (ducontacts_PhoneNumber, "BusinessFax": FLD_CONTACTS_PHONENUMBER_BUSINESSFAX).
PDvEWSFieldDef GetFieldDef(TUnindexedFieldURI uri);
/// See GetFieldDef(TUnindexedFieldURI).
PDvEWSFieldDef GetFieldDef(TDictionaryURI uri);
/// See GetFieldDef(TUnindexedFieldURI).
PDvEWSFieldDef GetFieldDef(TDictionaryURI uri, std::string_view fieldIndex);

/// A field definition whose PropDef has that name (the first registered). Exception
/// "There is no field definition for \"<name>\"!" on a miss.
PDvEWSFieldDef GetFirstFieldDef(std::string_view propDefName);

/// The registered children of a complex or array definition, in registration order.
TDvEWSPropDefArray GetKeyPropDefs(PDvEWSPropDef def);

/// Counts of registered definitions.
std::size_t RegisteredPropCount();
/// The number of registered field definitions.
std::size_t RegisteredFieldCount();

// ---- Node paths and field URIs ----

/// Where a value lies below an object's element: the node name of an element definition, or the
/// path to the Value beside a matching ExtendedFieldURI.
std::string GetNodePath(PDvEWSPropDef def);
/// As above, for a definition record.
std::string GetNodePath(const TDvEWSPropDef& def);

/// The name under which the schema classes publish an element: "To", "Create", "String",
/// "Property", "Type", "And", "Or", "Message", "Start" and "End" get a trailing "_".
std::string NodeNameToPropName(std::string_view nodeName);

/// The property tag as written in XML after "0x": upper-case hexadecimal, two digits up to 0xFF,
/// four above.
std::string PropTagToHex(std::uint16_t tag);

/// Appends t:FieldURI, t:IndexedFieldURI or t:ExtendedFieldURI as XML text; attribute values are
/// escaped.
void WriteFieldURI(PDvEWSFieldDef def, std::string& stream);
/// Appends t:ExtendedFieldURI as XML text.
void WriteExtendedFieldURI(PDvEWSPropDef def, std::string& stream);
/// Adds a t:ExtendedFieldURI child element to parent and returns it.
DvDOMElementPtr WriteExtendedFieldURI(PDvEWSPropDef def, const DvDOMElementPtr& parent);
/// As above, on a pugixml node.
pugi::xml_node WriteExtendedFieldURI(PDvEWSPropDef def, pugi::xml_node parent);

}  // namespace dv

#include "uDvEWSPropsCatalog.h"
