/// @file
/// Typed values bound to property and field definitions, and the lists that hold them.
///
/// An object over an EWS element (an item, a folder) keeps two schema elements: the data as loaded
/// (original) and the data as edited (current). A value object (TDvEWSData) is bound to one
/// property or field definition: it knows the node path of its value below the object's element,
/// finds or creates that node in the current data, converts its text to and from typed values,
/// works out whether the value was inserted, modified or deleted since loading, and writes its own
/// field path into requests. Value objects hold no XML: every read goes to the owner's current
/// data through a data accessor (TDvEWSGetDataElm), so values follow edits and reloads.
///
/// TDvEWSProperties (an object's property bag) and TDvEWSFields (a table's columns) hold value
/// objects keyed by node path, in insertion order.
///
/// The classes that own such lists publish typed properties ("Subject", "Importance") described
/// by a reflection table (TDvEWSPublishedClass) declared once per class; a value bound to an
/// element definition finds the published property that carries it, by name or by its DvEWSField
/// annotation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DvSysUtils.h"
#include "DvUtils.h"
#include "DvXML.h"
#include "DvXMLSchema.h"
#include "uDvEWSProps.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

// ---- Data access ----

/// Which data a value reads: as loaded (the snapshot) or as changed.
enum class TDvEWSGetDataElmSource { desOriginal, desCurrent };

/// Supplied by the owning object: the schema element of the original or the current data, or
/// none. The flag asks the owner to raise instead of giving none (owners may ignore it; the value
/// objects raise themselves when they need data and get none).
using TDvEWSGetDataElm =
    std::function<TDvXMLSchemaElement*(TDvEWSGetDataElmSource source, bool raiseIfNoData)>;

/// The change state of a value against the loaded data.
enum class TDvEWSDataUpdateStatus { dusUnmodified, dusModified, dusInserted, dusDeleted };

// ---- Type information ----

/// The kind of a value's type: what a published property is declared as, what a schema child
/// holds, or what a MAPI type maps to.
enum class TDvEWSTypeKind : std::uint8_t {
  tkString,
  tkInt16,
  tkInt32,
  tkInt64,
  tkBoolean,
  tkDouble,
  tkExtended,  // currency
  tkDateTime,
  tkDate,
  tkTime,
  tkDuration,
  tkBytes,  // a byte array (Base64 on the wire)
  tkGUID,
  tkEnumeration,
  tkClass,      // a schema class (structured XML)
  tkInterface,  // an interfaced object
};

/// A value's type: its kind, whether it is an array, and its enumeration or schema class.
struct TDvEWSTypeInfo {
  /**@{*/
  /// The kind, whether the value is an array of it, and the enumeration (tkEnumeration) or
  /// schema class (tkClass) it is of.
  TDvEWSTypeKind Kind = TDvEWSTypeKind::tkString;
  bool IsArray = false;  // an array of Kind
  const TDvEnumTypeInfo* EnumType = nullptr;
  const TDvXMLSchemaClassInfo* ClassType = nullptr;
  ///@}

  /// Arrays (byte arrays included), classes and interfaces; everything else is simple text.
  bool IsStructured() const {
    return IsArray || Kind == TDvEWSTypeKind::tkBytes || Kind == TDvEWSTypeKind::tkClass ||
           Kind == TDvEWSTypeKind::tkInterface;
  }
  /// Simple values and byte arrays read as their node text; other structured values as XML.
  bool ReadsAsText() const {
    return !IsStructured() || (Kind == TDvEWSTypeKind::tkBytes && !IsArray);
  }
  /// "string", "Int32", "TEwsBody", "TImportanceChoices", "array of TDateTime", …
  std::string Name() const;
  /// All fields equal.
  friend bool operator==(const TDvEWSTypeInfo&, const TDvEWSTypeInfo&) = default;
};

/// The type of a schema declaration (its kind and class or enumeration).
TDvEWSTypeInfo DvEWSTypeOfSchemaInfo(const TDvXMLSchemaInfo& info);
/// The type a MAPI property type maps to; Exception "Failed to determine the type for %s!" (the
/// name given) for ptNull.
TDvEWSTypeInfo DvEWSTypeOfPropType(TDvEWSPropType type, std::string_view nameForError);

/// @cond internal
template <typename T>
struct TDvEWSIsVector : std::false_type {};
template <typename T, typename A>
struct TDvEWSIsVector<std::vector<T, A>> : std::true_type {
  using Element = T;
};
template <typename T>
struct TDvEWSIsSharedPtr : std::false_type {};
template <typename T>
struct TDvEWSIsSharedPtr<std::shared_ptr<T>> : std::true_type {};
/// @endcond

/// The type information of a C++ type as published properties declare it: the getter's return
/// type (std::string, the integer types, bool, double, TDateTime, TBytes, TGUID, enumerations with
/// a DvEnumTypeInfo, pointers to schema classes, std::shared_ptr of interfaces, std::vector of
/// these).
template <typename T>
TDvEWSTypeInfo DvEWSTypeOf() {
  using U = std::remove_cvref_t<T>;
  TDvEWSTypeInfo t;
  if constexpr (std::is_same_v<U, TBytes>) {
    t.Kind = TDvEWSTypeKind::tkBytes;
  } else if constexpr (TDvEWSIsVector<U>::value) {
    t = DvEWSTypeOf<typename TDvEWSIsVector<U>::Element>();
    t.IsArray = true;
  } else if constexpr (std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
    t.Kind = TDvEWSTypeKind::tkString;
  } else if constexpr (std::is_same_v<U, bool>) {
    t.Kind = TDvEWSTypeKind::tkBoolean;
  } else if constexpr (std::is_same_v<U, std::int16_t> || std::is_same_v<U, std::uint16_t>) {
    t.Kind = TDvEWSTypeKind::tkInt16;
  } else if constexpr (std::is_integral_v<U> && sizeof(U) <= 4) {
    t.Kind = TDvEWSTypeKind::tkInt32;
  } else if constexpr (std::is_integral_v<U>) {
    t.Kind = TDvEWSTypeKind::tkInt64;
  } else if constexpr (std::is_floating_point_v<U>) {
    t.Kind = TDvEWSTypeKind::tkDouble;
  } else if constexpr (std::is_same_v<U, TDateTime>) {
    t.Kind = TDvEWSTypeKind::tkDateTime;
  } else if constexpr (std::is_same_v<U, TGUID>) {
    t.Kind = TDvEWSTypeKind::tkGUID;
  } else if constexpr (std::is_enum_v<U>) {
    t.Kind = TDvEWSTypeKind::tkEnumeration;
    t.EnumType = &DvEnumTypeInfo(U{});
  } else if constexpr (std::is_pointer_v<U> &&
                       std::is_base_of_v<TDvXMLSchemaElement, std::remove_pointer_t<U>>) {
    t.Kind = TDvEWSTypeKind::tkClass;
    if constexpr (requires { std::remove_pointer_t<U>::ClassInfo; })
      t.ClassType = &std::remove_pointer_t<U>::ClassInfo;
  } else if constexpr (TDvEWSIsSharedPtr<U>::value) {
    t.Kind = TDvEWSTypeKind::tkInterface;
  } else {
    static_assert(sizeof(U) == 0, "No published type information for this C++ type");
  }
  return t;
}

// ---- Names of values ----

/// Names a value in one of three ways: an unindexed field URI, a dictionary URI with a key, or a
/// definition name. Used by applications and as the annotation of published properties. The
/// definition is resolved once and cached (thread-safe).
class DvEWSField {
 public:
  /// How the value is named.
  enum TURIType : std::uint8_t { utUnindexed = 0, utDictionary = 1, utPropDefName = 2 };

  DvEWSField() = default;
  /// By a definition name ("PR_SUBJECT", "EPR_…").
  explicit DvEWSField(std::string_view propDefName);
  /// By an unindexed field URI (TUnindexedFieldURI::ufuitem_Subject).
  explicit DvEWSField(TUnindexedFieldURI uri);
  /// By a dictionary URI and a key.
  DvEWSField(TDictionaryURI uri, std::string_view fieldIndex);
  /// Copies the name (and the cached definition).
  DvEWSField(const DvEWSField& other);
  /// Copies the name (and the cached definition).
  DvEWSField& operator=(const DvEWSField& other);

  /// Kind 0: the PropDef of GetFieldDef(uri); kind 1: the PropDef of the indexed field definition
  /// of the URI and key; kind 2: GetPropDef(name, true). Registry misses raise their messages.
  PDvEWSPropDef GetPropDef() const;

  /// @name The name as given
  /**@{*/
  /// How the value is named, and the parts of that name.
  TURIType GetURIType() const { return FURIType; }
  const std::string& GetPropDefName() const { return FPropDefName; }
  TUnindexedFieldURI GetUnindexedFieldURI() const { return FUnindexedFieldURI; }
  TDictionaryURI GetDictionaryURI() const { return FDictionaryURI; }
  const std::string& GetFieldIndex() const { return FFieldIndex; }
  ///@}

 private:
  mutable std::atomic<PDvEWSPropDef> FPropDef{nullptr};
  std::string FPropDefName;
  TURIType FURIType = utPropDefName;
  TUnindexedFieldURI FUnindexedFieldURI{};
  TDictionaryURI FDictionaryURI{};
  std::string FFieldIndex;
};

// ---- Published-property reflection ----

/// One published property of a class: its name, its declared type and, optionally, the
/// DvEWSField annotation that says which value it carries.
struct TDvEWSPublishedProperty {
  /// A property without an annotation.
  TDvEWSPublishedProperty(std::string_view name, TDvEWSTypeInfo type) : Name(name), Type(type) {}
  /// A property annotated with the value it carries.
  TDvEWSPublishedProperty(std::string_view name, TDvEWSTypeInfo type, const DvEWSField& field)
      : Name(name), Type(type), HasField(true), Field(field) {}

  /**@{*/
  /// The property's name, declared type, and annotation (when HasField).
  std::string_view Name;
  TDvEWSTypeInfo Type;
  bool HasField = false;
  DvEWSField Field;
  ///@}
};

/// The reflection table of a class: its own published properties and its parent's table. Declared
/// once per class (a static member, see DV_EWS_PUBLISHED_CLASS), never per call site.
class TDvEWSPublishedClass {
 public:
  /// A class table: its name, its parent's table (none for the root) and its own properties.
  TDvEWSPublishedClass(std::string_view name, const TDvEWSPublishedClass* parent,
                       std::vector<TDvEWSPublishedProperty> properties = {});
  TDvEWSPublishedClass(const TDvEWSPublishedClass&) = delete;
  TDvEWSPublishedClass& operator=(const TDvEWSPublishedClass&) = delete;

  /// The class's name.
  std::string_view GetName() const { return FName; }
  /// The parent's table (none for the root).
  const TDvEWSPublishedClass* GetParent() const { return FParent; }
  /// The class's own properties, in declaration order.
  const std::vector<TDvEWSPublishedProperty>& GetOwnProperties() const { return FProperties; }
  /// Own and inherited properties: the root class's first.
  std::vector<const TDvEWSPublishedProperty*> GetProperties() const;

  /// A property by name (ASCII case-insensitive), this class first, then its ancestors; none on
  /// a miss.
  const TDvEWSPublishedProperty* FindProperty(std::string_view name) const;
  /// The first property (in GetProperties order) annotated with a DvEWSField whose definition
  /// name equals propDefName case-insensitively; none on a miss. Resolves the annotations.
  const TDvEWSPublishedProperty* FindByField(std::string_view propDefName) const;

 private:
  std::string_view FName;
  const TDvEWSPublishedClass* FParent;
  std::vector<TDvEWSPublishedProperty> FProperties;
};

/// What owns value lists: an object with a reflection table.
class IDvEWSPublished {
 public:
  virtual ~IDvEWSPublished() = default;
  /// The object's class table.
  virtual const TDvEWSPublishedClass& GetPublishedClass() const = 0;
};

/// In a class body: declares the class's table and returns it from GetPublishedClass.
#define DV_EWS_PUBLISHED_CLASS                                           \
 public:                                                                 \
  static const ::dv::TDvEWSPublishedClass PublishedClass;                \
  const ::dv::TDvEWSPublishedClass& GetPublishedClass() const override { \
    return PublishedClass;                                               \
  }

/// Entries of a table, with the type taken from the class's getter Get<Name>():
///   const TDvEWSPublishedClass TDvEWSItem::PublishedClass("TDvEWSItem", &Base::PublishedClass, {
///       DV_EWS_PUBLISHED(TDvEWSItem, ItemClass),
///       DV_EWS_PUBLISHED_FIELD(TDvEWSItem, Subject, TUnindexedFieldURI::ufuitem_Subject)});
#define DV_EWS_PUBLISHED(Class, Name)  \
  ::dv::TDvEWSPublishedProperty(#Name, \
                                ::dv::DvEWSTypeOf<decltype(std::declval<Class&>().Get##Name())>())
/// As DV_EWS_PUBLISHED, with the DvEWSField arguments of the value the property carries.
#define DV_EWS_PUBLISHED_FIELD(Class, Name, ...)                                                   \
  ::dv::TDvEWSPublishedProperty(#Name,                                                             \
                                ::dv::DvEWSTypeOf<decltype(std::declval<Class&>().Get##Name())>(), \
                                ::dv::DvEWSField(__VA_ARGS__))

// ---- Value objects ----

class TDvEWSBaseDataList;

/// A value bound to a definition in an object's data (a property of an item or folder, a column
/// of a table row): read and written as text, integer, boolean, date-time, double or bytes.
/// Getters read the current data; setters change it (sent by the object's save).
class TDvEWSData {
 public:
  /// From a definition record: the registered record of that name when there is one, else the
  /// record given (which must then outlive this object).
  TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, const TDvEWSPropDef& def);
  /// From a definition: an element definition is bound through the field definition of the
  /// current data's class and the node name when there is one.
  TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, PDvEWSPropDef def);
  /// From a field definition.
  TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, const TDvEWSFieldDef& def);
  /// From a DvEWSField name.
  TDvEWSData(TDvEWSBaseDataList& owner, TDvEWSGetDataElm data, const DvEWSField& field);
  virtual ~TDvEWSData();
  TDvEWSData(const TDvEWSData&) = delete;
  TDvEWSData& operator=(const TDvEWSData&) = delete;

  /// The DOM element of the value in the current data, found or created. A missing property is
  /// first asked of the owner's demand loader; when the server holds no value either, an empty
  /// one is created (a setter then adds the property).
  DvDOMElementPtr GetValueNode();
  /// True when the demand loader asked the server for this value and none came back.
  bool GetAbsentOnServer() const { return FAbsentOnServer; }

  /// Node text for simple values and byte arrays (Base64), the node's XML for other structured
  /// values.
  std::string GetAsString();
  /// Simple values: the text. Byte arrays: the text as given, less a leading "0x". Other
  /// structured values: Exception "The property \"%s\" cannot be written as a string!".
  void SetAsString(std::string_view value);
  /// @name Typed access
  /**@{*/
  /// The value as that type (the node text converted; EConvertError when it does not convert),
  /// or set from it.
  std::int64_t GetAsInteger();
  void SetAsInteger(std::int64_t value);
  bool GetAsBoolean();
  void SetAsBoolean(bool value);
  TDateTime GetAsDateTime();
  void SetAsDateTime(TDateTime value);
  double GetAsDouble();
  void SetAsDouble(double value);
  ///@}
  /// The node text as Base64 bytes.
  TBytes GetAsBytes();
  /// Sets the node text to the bytes in Base64.
  void SetAsBytes(const TBytes& value);

  /// The value's type.
  TDvEWSTypeInfo GetTypeInfo();
  /// The state computed from the original and the current data.
  virtual TDvEWSDataUpdateStatus GetUpdateStatus();
  /// The state computed from the data, ignoring an explicit one.
  TDvEWSDataUpdateStatus GetComputedUpdateStatus();

  /// Appends this value's field path element (t:FieldURI, t:IndexedFieldURI or
  /// t:ExtendedFieldURI) to parent and returns it.
  DvDOMElementPtr AddEWS(const DvDOMElementPtr& parent);
  /// A definition rebuilt from this value's own fields; its texts view this object's, so it must
  /// not outlive it. GetPropDef(const d) resolves it to the registered record.
  TDvEWSPropDef PropDef() const;
  /// The XML text of the value node.
  std::string AsXML();

  /// @name What the value is bound to
  /**@{*/
  /// The list holding the value, and the parts of the definition it was bound to (name, node
  /// type, parent, path below the object's element, published property, field URI or index,
  /// property set, type and tag).
  TDvEWSBaseDataList& GetOwner() const { return FOwner; }
  const std::string& GetPropDefName() const { return FPropDefName; }
  TDvEWSPropDefNodeType GetPropDefNodeType() const { return FPropDefNodeType; }
  PDvEWSPropDef GetParentPropDef() const { return FParentPropDef; }
  const std::string& GetPath() const { return FPath; }
  const TDvEWSPublishedProperty* GetProperty() const { return FProperty; }
  TDvEWSFieldDefType GetURIType() const { return FURIType; }
  /// fdtField: the field URI ("item:Subject"; as the field definition gives it).
  const std::string& GetFieldURI() const { return FFieldURI; }
  const std::string& GetFieldIndex() const { return FFieldIndex; }
  TDictionaryURI GetDictionaryURI() const { return FDictionaryURI; }
  bool HasDPropSetId() const { return FHasDPropSetId; }
  TDistinguishedPropertySet GetDPropSetId() const { return FDPropSetId; }
  const TGUID* GetPropSetId() const { return FHasPropSetId ? &FPropSetId : nullptr; }
  /// An integer id (std::int32_t), a string name, or Null.
  const TDvVariant& GetPropertyId() const { return FPropertyId; }
  TDvEWSPropType GetPropertyType() const { return FPropertyType; }
  std::uint16_t GetPropertyTag() const { return FPropertyTag; }
  ///@}

 protected:
  /// Properties load missing values on demand; fields do not.
  virtual bool IsProperty() const { return false; }

 private:
  void SetPropDef(PDvEWSPropDef def);
  void BindFieldDef(const TDvEWSFieldDef& def);
  TDvXMLSchemaElement* Element(TDvEWSGetDataElmSource source);
  DvDOMElementPtr SelectValue(TDvEWSGetDataElmSource source);
  DvDOMElementPtr CreateValueNode(TDvXMLSchemaElement& current);

  TDvEWSBaseDataList& FOwner;
  TDvEWSGetDataElm FData;
  std::string FPropDefName;
  TDvEWSPropDefNodeType FPropDefNodeType = TDvEWSPropDefNodeType::pdntSimple;
  PDvEWSPropDef FParentPropDef = nullptr;
  std::string FPath;
  const TDvEWSPublishedProperty* FProperty = nullptr;
  TDvEWSFieldDefType FURIType = TDvEWSFieldDefType::fdtField;
  std::string FFieldURI;
  std::string FFieldIndex;
  TDictionaryURI FDictionaryURI{};
  bool FHasDPropSetId = false;
  TDistinguishedPropertySet FDPropSetId{};
  std::string FDPropSetName;  // the definition's distinguished set text
  bool FHasPropSetId = false;
  TGUID FPropSetId;
  TDvVariant FPropertyId;
  TDvEWSPropType FPropertyType = TDvEWSPropType::ptNull;
  std::uint16_t FPropertyTag = 0;
  /// The registered definition bound to (none for an unregistered record, then FOwnDef).
  PDvEWSPropDef FBoundDef = nullptr;
  bool FAbsentOnServer = false;
};

/// The value objects of field lists (table columns).
class TDvEWSField : public TDvEWSData {
 public:
  /// As TDvEWSData.
  using TDvEWSData::TDvEWSData;
};

/// The value objects of property bags: with a change state that can be set explicitly.
class TDvEWSProperty : public TDvEWSData {
 public:
  /// As TDvEWSData.
  using TDvEWSData::TDvEWSData;

  /// The explicit state when one was set, else the computed one.
  TDvEWSDataUpdateStatus GetUpdateStatus() override;
  /// Sets the state explicitly.
  void SetUpdateStatus(TDvEWSDataUpdateStatus value);
  /// True when the state was set explicitly.
  bool GetExplicitUpdateStatus() const { return FExplicitUpdateStatus; }
  /// @name State tests
  /**@{*/
  /// True when the state (explicit or computed) is that one.
  bool GetDeleted() { return GetUpdateStatus() == TDvEWSDataUpdateStatus::dusDeleted; }
  bool GetInserted() { return GetUpdateStatus() == TDvEWSDataUpdateStatus::dusInserted; }
  bool GetModified() { return GetUpdateStatus() == TDvEWSDataUpdateStatus::dusModified; }
  ///@}
  /// true sets that state explicitly; false returns to the computed state.
  void SetDeleted(bool value) { SetFlag(TDvEWSDataUpdateStatus::dusDeleted, value); }
  /// As SetDeleted, for the inserted state.
  void SetInserted(bool value) { SetFlag(TDvEWSDataUpdateStatus::dusInserted, value); }
  /// As SetDeleted, for the modified state.
  void SetModified(bool value) { SetFlag(TDvEWSDataUpdateStatus::dusModified, value); }

 protected:
  bool IsProperty() const override { return true; }

 private:
  void SetFlag(TDvEWSDataUpdateStatus status, bool value);
  TDvEWSDataUpdateStatus FUpdateStatus = TDvEWSDataUpdateStatus::dusUnmodified;
  bool FExplicitUpdateStatus = false;
};

// ---- Lists ----

/// A key of FindItem/GetItem/CreateItem: a position (an integer, or a variant holding one), a node
/// path or name (a string, or a variant holding anything else, taken as its text), a field
/// definition (the node path of its PropDef) or a property definition (its node path). A null
/// definition pointer is a key of no usable kind.
class TDvEWSItemKey {
 public:
  /// What the key is.
  enum class TKind { kIndex, kString, kVariantText, kFieldDef, kPropDef, kOther };

  /// @name Making keys
  /// A key converts implicitly from a position, a text, a variant or a definition.
  /**@{*/
  /// A key of that kind.
  TDvEWSItemKey(std::int32_t index) : FKind(TKind::kIndex), FIndex(index) {}
  TDvEWSItemKey(std::int64_t index) : FKind(TKind::kIndex), FIndex(index) {}
  TDvEWSItemKey(const char* text) : FKind(TKind::kString), FText(text ? text : "") {}
  TDvEWSItemKey(std::string_view text) : FKind(TKind::kString), FText(text) {}
  TDvEWSItemKey(const std::string& text) : FKind(TKind::kString), FText(text) {}
  TDvEWSItemKey(const TDvVariant& value);
  TDvEWSItemKey(const TDvEWSFieldDef& def) : FKind(TKind::kFieldDef), FFieldDef(&def) {}
  TDvEWSItemKey(const TDvEWSPropDef& def) : FKind(TKind::kPropDef), FPropDef(&def) {}
  TDvEWSItemKey(PDvEWSPropDef def);
  TDvEWSItemKey(PDvEWSFieldDef def);
  ///@}

  /**@{*/
  /// The key's kind and content.
  TKind GetKind() const { return FKind; }
  std::int64_t GetIndex() const { return FIndex; }
  const std::string& GetString() const { return FText; }
  PDvEWSFieldDef GetFieldDef() const { return FFieldDef; }
  PDvEWSPropDef GetPropDef() const { return FPropDef; }
  ///@}
  /// The text used in messages: the index or text, or the definition's name.
  std::string Text() const;

 private:
  TKind FKind;
  std::int64_t FIndex = 0;
  std::string FText;
  PDvEWSFieldDef FFieldDef = nullptr;
  PDvEWSPropDef FPropDef = nullptr;
};

/// The base of value lists (TDvEWSFields, TDvEWSProperties): values bound to an owner's data.
class TDvEWSBaseDataList {
 public:
  /// creator: the owning object (its reflection table is consulted when values are bound); data:
  /// how values reach the owner's original and current data.
  TDvEWSBaseDataList(IDvEWSPublished* creator, TDvEWSGetDataElm data);
  virtual ~TDvEWSBaseDataList();
  TDvEWSBaseDataList(const TDvEWSBaseDataList&) = delete;
  TDvEWSBaseDataList& operator=(const TDvEWSBaseDataList&) = delete;

  /// The owning object.
  IDvEWSPublished* GetCreator() const { return FCreator; }
  /// How values reach the owner's data.
  const TDvEWSGetDataElm& GetData() const { return FData; }
  /// The owner's reflection table; Exception when the owner has none.
  const TDvEWSPublishedClass& GetCreatorClass() const;

  /// The values held, in list order.
  virtual int Size() const = 0;
  /// Value `index` in list order.
  virtual TDvEWSData* At(int index) const = 0;

  /// `<Values><Value Name=".." Path="..">value node XML</Value>…</Values>` of the values held.
  std::string AsXML();
  /// {"name": "text", …} of the values held (GetAsString of each).
  std::string AsJSON();

 protected:
  /// @cond internal
  IDvEWSPublished* FCreator;
  TDvEWSGetDataElm FData;
  /// @endcond
};

template <typename T>
/// A list of values of type T (fields or properties), found by key.
class TDvEWSDataList : public TDvEWSBaseDataList {
 public:
  using TDvEWSBaseDataList::TDvEWSBaseDataList;
  ~TDvEWSDataList() override;

  /// Construct a T and add it under its node path; EListError "Duplicates not allowed" when the
  /// path is present.
  T* AddItem(const DvEWSField& field);
  /// As above, from a field definition.
  T* AddItem(const TDvEWSFieldDef& def);
  /// As above, from a property definition record.
  T* AddItem(const TDvEWSPropDef& def);
  /// As above, from a registered property definition.
  T* AddItem(PDvEWSPropDef def);

  /// None on a miss; Exception "The requested item could not be found!" for a key of no usable
  /// kind. An index outside the list is a miss.
  T* FindItem(const TDvEWSItemKey& key) const;
  /// As FindItem; a miss raises "The requested item (%s) could not be found!".
  T* GetItem(const TDvEWSItemKey& key) const;
  /// Removes every value.
  void Clear();
  /// The number of values.
  int Count() const { return static_cast<int>(FList.size()); }

  /// The number of values.
  int Size() const override { return Count(); }
  /// Value `index` in list order.
  T* At(int index) const override;
  /// True when a value of that node path is held.
  bool ContainsPath(const std::string& path) const { return FIndex.count(path) != 0; }

 protected:
  /// Adds a value, indexed by its node path.
  T* Insert(std::unique_ptr<T> item);

  /// @cond internal
  std::vector<std::unique_ptr<T>> FList;                // list order: insertion order
  std::unordered_map<std::string, std::size_t> FIndex;  // node path -> position
  /// @endcond
};

extern template class TDvEWSDataList<TDvEWSField>;
extern template class TDvEWSDataList<TDvEWSProperty>;

/// A table's columns (IDvEWSTableBase::GetFields): add a field definition to fetch it.
class TDvEWSFields : public TDvEWSDataList<TDvEWSField> {
 public:
  using TDvEWSDataList<TDvEWSField>::TDvEWSDataList;

  /// Adds a column; EListError when the field is a column already.
  TDvEWSField* Add(const TDvEWSFieldDef& def) { return AddItem(def); }
  /// By the node path of the field's PropDef; none on a miss.
  TDvEWSField* FindField(const TDvEWSFieldDef& def) const;
  /// The column of that field; dv::Exception when it is not one.
  TDvEWSField* FieldByName(const TDvEWSFieldDef& def) const { return GetItem(def); }
};

/// An object's property values (IDvEWSPropObject::GetProperties).
class TDvEWSProperties : public TDvEWSDataList<TDvEWSProperty> {
 public:
  using TDvEWSDataList<TDvEWSProperty>::TDvEWSDataList;

  /// Adds the value of a definition.
  TDvEWSProperty* Add(const TDvEWSPropDef& def) { return AddItem(def); }
  /// The property of a key (a field definition, a property definition, or a name resolved
  /// through the current data's class), created and added when the list lacks its node path.
  /// Exception "Failed to locate the Property Definition for \"%s\"!" when nothing resolves.
  TDvEWSProperty* CreateItem(const TDvEWSItemKey& key);
  /// Rebuilds the bag from the current data (explicit states are kept by node path) and returns
  /// its size.
  int Count();
  /// FindItem, else CreateItem with its value node created and set to its type's zero.
  TDvEWSProperty* GetItem(const TDvEWSItemKey& key);
  /// The value of a definition, or none.
  TDvEWSProperty* FindProperty(const TDvEWSPropDef& def) const;
  /// True when the data has a value for the definition.
  bool HasProperty(const TDvEWSPropDef& def);
  /// As GetItem.
  TDvEWSProperty* PropertyByName(const TDvEWSPropDef& def) { return GetItem(def); }

 private:
  void RestoreStatus(TDvEWSProperty* p,
                     const std::unordered_map<std::string, TDvEWSDataUpdateStatus>& kept);
};

/// The schema info handed to a demand-load handler for a property: an element declaration whose
/// name is "PROPDEF:" + the definition's name.
extern const std::string_view kDvEWSPropDefPrefix;  // "PROPDEF:"

}  // namespace dv
