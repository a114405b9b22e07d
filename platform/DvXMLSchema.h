/// @file
/// The schema element base: typed, index-addressed access to the children and attributes of one
/// DOM element, as declared by a schema class; element arrays; simple-content elements; and the
/// enumeration text conversion (serializer hints).
///
/// A schema class describes its children with a static table (TDvXMLSchemaClassInfo) built once
/// per class, inherited declarations included; instances only point at it, so wrapping an element
/// costs one allocation. Declarations can also be added to one instance at run time
/// (AddSchemaInfo). Wrappers of class children and arrays are created on first use and owned by
/// the parent wrapper; the DOM belongs to its document.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "DvSysUtils.h"
#include "DvUtils.h"
#include "DvXML.h"

namespace dv {

// ---- Enumerations as text ----

/// The table of one enumeration: its value names (identifiers) and wire texts, in ordinal order.
/// The wire text of a value is its name less the enumeration's serializer-hint prefix
/// ("scNormal" is "Normal" with prefix "sc"); an enumeration without a prefix is written as named.
struct TDvEnumTypeInfo {
  /**@{*/
  /// The enumeration's name, its prefix, the number of values, the value names and wire texts in
  /// ordinal order, and the ordinals sorted by wire text.
  std::string_view Name;
  std::string_view Prefix;
  int Count;
  const std::string_view* Identifiers;
  const std::string_view* WireTexts;
  const std::uint16_t* SortedByWire;  // ordinals sorted by wire text (byte order)
  ///@}

  /// The wire text of an ordinal; EConvertError when out of range.
  std::string_view ToXML(int ordinal) const;
  /// The ordinal of a wire text (exact match, binary search); false when unknown.
  bool FromXML(std::string_view text, int& ordinal) const;
  /**@{*/
  /// The value name of an ordinal, and the ordinal of a value name (-1 when unknown).
  std::string_view IdentifierOf(int ordinal) const;
  int FindIdentifier(std::string_view identifier) const;  // -1 when unknown
  ///@}
};

/// An enumeration table built at run time from the value names, for enumerations written by hand:
///   const TDvEnumTypeTable kSearchScope("TSearchScope", {"scActiveDirectory", "scContacts"});
///   const TDvEnumTypeInfo& DvEnumTypeInfo(TSearchScope) { return kSearchScope.Info(); }
/// Without a prefix, the prefix is the longest common start of the values' leading lowercase
/// letters ("scActiveDirectory", "scContacts" -> "sc").
class TDvEnumTypeTable {
 public:
  /// A table of the named values, the prefix found from them.
  TDvEnumTypeTable(std::string_view name, std::initializer_list<std::string_view> identifiers);
  /// A table of the named values with that prefix.
  TDvEnumTypeTable(std::string_view name, std::string_view prefix,
                   std::initializer_list<std::string_view> identifiers);
  TDvEnumTypeTable(const TDvEnumTypeTable&) = delete;
  TDvEnumTypeTable& operator=(const TDvEnumTypeTable&) = delete;
  /// The table.
  const TDvEnumTypeInfo& Info() const { return info_; }

 private:
  void Build(std::string_view name, std::string_view prefix,
             std::initializer_list<std::string_view> identifiers);
  std::string name_, prefix_;
  std::vector<std::string> idText_;
  std::vector<std::string_view> ids_, wires_;
  std::vector<std::uint16_t> sorted_;
  TDvEnumTypeInfo info_{};
};

/// The prefix rule: the leading lowercase letters of a value name ("scNormal" -> "sc"). Values
/// whose wire texts begin in lower case ("dfininbox") need their prefix given explicitly.
std::string_view DvEnumHintPrefix(std::string_view identifier);

/// Generic conversions of any enumeration E that has a `const TDvEnumTypeInfo& DvEnumTypeInfo(E)`
/// (found by argument-dependent lookup).
/**@{*/
template <typename E>
std::string DvEnumToXML(E value) {
  return std::string(DvEnumTypeInfo(value).ToXML(static_cast<int>(value)));
}
template <typename E>
bool DvTryXMLToEnum(std::string_view text, E& value) {
  int ordinal = 0;
  if (!DvEnumTypeInfo(E{}).FromXML(text, ordinal)) return false;
  value = static_cast<E>(ordinal);
  return true;
}
/// Raises EConvertError for a text that is not a value of the enumeration.
[[noreturn]] void DvRaiseEnumConvertError(const TDvEnumTypeInfo& info, std::string_view text);
/// EConvertError when the text is not a value of E.
template <typename E>
E DvXMLToEnum(std::string_view text) {
  E value{};
  if (!DvTryXMLToEnum(text, value)) DvRaiseEnumConvertError(DvEnumTypeInfo(E{}), text);
  return value;
}
template <typename E>
std::string_view DvEnumName(E value) {
  return DvEnumTypeInfo(value).IdentifierOf(static_cast<int>(value));
}
///@}

// ---- Declarations ----

class TDvXMLSchemaElement;
class TDvXMLSchemaElementArrayBase;
struct TDvXMLSchemaClassInfo;

/// What a declared child holds.
enum class TDvXMLSchemaValueKind {
  None,
  String,
  Int,
  Long,
  Boolean,
  Double,
  Datetime,
  Date,
  Time,
  Duration,
  Base64binary,
  AnyUri,
  Language,
  Guid,
  Enum,         // EnumType gives the values
  Class,        // ClassType gives the wrapper class
  Array,        // repeated element of ClassType
  SimpleArray,  // repeated element with text content
};

/// @name Declaration constants
/**@{*/
/// Node kinds (element, attribute), unbounded MaxOccurs and no choice group.
constexpr int kDvSchemaElementNode = 1;
constexpr int kDvSchemaAttributeNode = 2;
constexpr int kDvSchemaUnbounded = -1;
constexpr int kDvSchemaNoChoice = -1;
///@}

/// Makes the wrapper of a class for an element.
using TDvXMLSchemaFactory = std::unique_ptr<TDvXMLSchemaElement> (*)(const DvDOMElementPtr&);
/// Makes the array wrapper of a repeated child.
using TDvXMLSchemaArrayFactory = std::unique_ptr<TDvXMLSchemaElementArrayBase> (*)(
    const DvDOMElementPtr& parent, std::string_view qualifiedName);

/// One child declaration.
struct TDvXMLSchemaInfo {
  /**@{*/
  /// A part of the declaration (see the comments at their right): its index, node kind, names,
  /// occurrences, choice group, value kind, class or enumeration, array factory and position.
  int Index;
  int NodeKind;                    // 1 element, 2 attribute
  std::string_view QualifiedName;  // "t:Subject"; attributes without prefix ("BodyType")
  std::string_view LocalName;
  std::string_view PropName;  // the name the class publishes ("Type_" for "Type")
  int MinOccurs;
  int MaxOccurs;  // -1 unbounded
  bool Required;
  int ChoiceGroup;  // -1 none
  TDvXMLSchemaValueKind Kind;
  const TDvXMLSchemaClassInfo* ClassType;
  const TDvEnumTypeInfo* EnumType;
  TDvXMLSchemaArrayFactory ArrayFactory;
  int Position;  // declaration order: missing children are created in this order
  ///@}
};

/// The static description of one schema class (run-time type information).
struct TDvXMLSchemaClassInfo {
  /**@{*/
  /// A part of the class description (see the comments at their right).
  std::string_view Name;         // "TEwsItem"
  std::string_view SchemaName;   // "t:ItemType" (empty for classes that are not schema types)
  std::string_view ElementName;  // the element a non-schema class wraps, if fixed
  const TDvXMLSchemaClassInfo* Parent;
  TDvXMLSchemaFactory Create;
  const TDvXMLSchemaInfo* Decls;  // declaration order, inherited ones first
  const std::uint16_t* ByIndex;   // positions sorted by index
  const std::uint16_t* ByName;    // positions sorted by local name
  int Count;
  TDvXMLSchemaValueKind TextKind;  // simple content: the kind of the element's own text
  const TDvEnumTypeInfo* TextEnum;
  const TDvXMLSchemaClassInfo* const* Derived;  // every class derived from this one
  int DerivedCount;
  ///@}

  /// The declaration of an index, or none.
  const TDvXMLSchemaInfo* FindByIndex(int index) const;
  /// By local name (elements before attributes of the same name).
  const TDvXMLSchemaInfo* FindByLocalName(std::string_view localName) const;
  /// By local name, qualified name or published name.
  const TDvXMLSchemaInfo* FindByName(std::string_view name) const;
  /// True for `other` and the classes derived from it.
  bool InheritsFrom(const TDvXMLSchemaClassInfo& other) const;
  /// True when the class declares an element with that local name.
  bool HasElement(std::string_view localName) const;
  /// This class or the derived class whose schema type has that local name ("AlternateIdType",
  /// as an xsi:type names it); none when neither.
  const TDvXMLSchemaClassInfo* FindDerived(std::string_view schemaTypeName) const;
};

/// Called when a getter finds a declared child missing, before it gives up (returns the empty
/// value) or creates a class child. Returning true means the handler has put the child into the
/// element (for example by loading it from the server); the getter then looks again.
using TDvXMLSchemaMissingElementEvent =
    std::function<bool(TDvXMLSchemaElement& sender, const TDvXMLSchemaInfo& info)>;

// ---- The schema element base ----

/// The base of the schema classes: typed access by declaration index to the children and
/// attributes of one XML element, with wrappers of class children and arrays kept while the
/// object lives. Generated classes (ews/generated) add named accessors over it.
class TDvXMLSchemaElement {
 public:
  /// A wrapper without a class table: children are declared with AddSchemaInfo.
  explicit TDvXMLSchemaElement(const DvDOMElementPtr& element);
  /// A wrapper of a generated class (its declarations from `info`).
  TDvXMLSchemaElement(const DvDOMElementPtr& element, const TDvXMLSchemaClassInfo& info);
  virtual ~TDvXMLSchemaElement();
  TDvXMLSchemaElement(const TDvXMLSchemaElement&) = delete;
  TDvXMLSchemaElement& operator=(const TDvXMLSchemaElement&) = delete;

  /// The class description (none for a wrapper without one).
  const TDvXMLSchemaClassInfo* GetClassInfo() const { return info_; }
  /// The class's name ("TEwsMessage").
  std::string_view GetClassName() const;
  /// The wrapped element.
  const DvDOMElementPtr& AsElement() const { return element_; }
  /// The element's XML.
  std::string GetXML() const;

  /// Declares a child on this instance. EListError when the index is already declared.
  void AddSchemaInfo(int index, int nodeKind, std::string_view qualifiedName, int minOccurs,
                     int maxOccurs, bool required, int choiceGroup,
                     TDvXMLSchemaValueKind kind = TDvXMLSchemaValueKind::String,
                     const TDvXMLSchemaClassInfo* classType = nullptr,
                     const TDvEnumTypeInfo* enumType = nullptr);
  /// The declaration of an index; EListError "Invalid Schema Index" when undeclared.
  const TDvXMLSchemaInfo& GetSchemaInfo(int index) const;
  /// The declaration of a child by local, qualified or published name; none when undeclared.
  const TDvXMLSchemaInfo* FindSchemaInfo(std::string_view name) const;
  /// True when the element has a child of that local name.
  bool HasElement(std::string_view localName) const;

  /// The declared child element, or none when it is missing and `create` is false; a missing one
  /// is created at its declaration position. Attributes have no element: none.
  DvDOMElementPtr GetNodeByIndex(int index, bool create);
  /// A child element by local name (declared or not); none when missing.
  DvDOMElementPtr FindNode(std::string_view name) const;
  /// A declared child element by name, created when missing; EListError when undeclared.
  DvDOMElementPtr GetNode(std::string_view name);
  /// Removes a child element or attribute by name (and any wrapper of it).
  void RemoveNode(std::string_view name);

  /// Typed values by index. A missing child gives the empty value (empty text, 0, false, the
  /// zero date-time) and adds nothing; setters create the child.
  /**@{*/
  std::string GetAsString(int index);
  void SetAsString(int index, std::string_view value);
  std::int32_t GetAsInt(int index);
  void SetAsInt(int index, std::int32_t value);
  std::int64_t GetAsLong(int index);
  void SetAsLong(int index, std::int64_t value);
  bool GetAsBoolean(int index);
  void SetAsBoolean(int index, bool value);
  double GetAsDouble(int index);
  void SetAsDouble(int index, double value);
  TDateTime GetAsDatetime(int index);
  void SetAsDatetime(int index, TDateTime value);
  TDateTime GetAsDate(int index);  // the date part
  void SetAsDate(int index, TDateTime value);
  TDateTime GetAsTime(int index);  // the time of day as a fraction of a day
  void SetAsTime(int index, TDateTime value);
  std::string GetAsDuration(int index);  // xs:duration text ("PT30M")
  void SetAsDuration(int index, std::string_view value);
  TBytes GetAsBase64binary(int index);
  void SetAsBase64binary(int index, const TBytes& value);
  std::string GetAsAnyUri(int index);
  void SetAsAnyUri(int index, std::string_view value);
  std::string GetAsLanguage(int index);
  void SetAsLanguage(int index, std::string_view value);
  TGUID GetAsGuid(int index);                     // the null GUID when missing
  void SetAsGuid(int index, const TGUID& value);  // lower case, without braces
  ///@}
  /// Text by index, whatever the declared kind.
  void SetValue(int index, std::string_view text);

  /// Enumerations by index: the ordinal of the child's wire text (0 when missing or unknown).
  int GetEnumOrdinal(int index);
  /// Sets a child to the wire text of an ordinal.
  void SetEnumOrdinal(int index, int ordinal);
  template <typename E>
  /// The enumeration value of a child.
  E GetEnum(int index) {
    return static_cast<E>(GetEnumOrdinal(index));
  }
  template <typename E>
  /// Sets a child to an enumeration value.
  void SetEnum(int index, E value) {
    SetEnumOrdinal(index, static_cast<int>(value));
  }

  /// The wrapper of a class child, created (with its element) when missing and kept by this
  /// object. An element whose xsi:type names a type derived from the declared one is wrapped in
  /// the derived class. "Only TDvXMLSchemaElement class types are supported!" when the child is not
  /// declared with a schema class.
  TDvXMLSchemaElement* GetChildObject(int index);
  template <typename T>
  /// GetChildObject as class T.
  T* GetChild(int index) {
    if constexpr (!std::is_base_of_v<TDvXMLSchemaElement, T>) {
      RaiseNotSchemaClass();
    } else {
      T* typed = dynamic_cast<T*>(GetChildObject(index));
      if (typed == nullptr) RaiseNotSchemaClass();
      return typed;
    }
  }
  /// Replaces the class child's content and attributes with a copy of `value`'s.
  void SetChildObject(int index, const TDvXMLSchemaElement& value);
  template <typename T>
  /// SetChildObject for class T.
  void SetChild(int index, const T& value) {
    if constexpr (!std::is_base_of_v<TDvXMLSchemaElement, T>) {
      RaiseNotSchemaClass();
    } else {
      SetChildObject(index, value);
    }
  }
  /// The array of a repeated child, created on first use and kept by this object.
  TDvXMLSchemaElementArrayBase* GetArrayChild(int index);

  /// Run-time lookups by published name (NodeNameToPropName of the element name): none when
  /// the class declares no such child or it is not of that kind.
  TDvXMLSchemaElement* GetObjectByName(std::string_view propName);
  /// The array of a repeated child by published name, or none.
  TDvXMLSchemaElementArrayBase* GetArrayByName(std::string_view propName);

  /// Installs the handler called for missing children.
  void SetOnMissingElement(TDvXMLSchemaMissingElementEvent handler) {
    onMissing_ = std::move(handler);
  }
  /// The handler called for missing children.
  const TDvXMLSchemaMissingElementEvent& GetOnMissingElement() const { return onMissing_; }

  /// Raises the error of a class child that is not a schema class.
  [[noreturn]] static void RaiseNotSchemaClass();

 protected:
  /// Asks the missing-element handler for a declared child; true when it was supplied.
  virtual bool DoMissingElement(const TDvXMLSchemaInfo& info);

  /// The element's own text (simple content).
  /**@{*/
  std::string GetElementText() const;
  void SetElementText(std::string_view text);
  std::string GetTextAsString() const { return GetElementText(); }
  void SetTextAsString(std::string_view v) { SetElementText(v); }
  std::int32_t GetTextAsInt() const;
  void SetTextAsInt(std::int32_t v);
  std::int64_t GetTextAsLong() const;
  void SetTextAsLong(std::int64_t v);
  bool GetTextAsBoolean() const;
  void SetTextAsBoolean(bool v);
  double GetTextAsDouble() const;
  void SetTextAsDouble(double v);
  TDateTime GetTextAsDatetime() const;
  void SetTextAsDatetime(TDateTime v);
  TDateTime GetTextAsDate() const;
  void SetTextAsDate(TDateTime v);
  TDateTime GetTextAsTime() const;
  void SetTextAsTime(TDateTime v);
  std::string GetTextAsDuration() const { return GetElementText(); }
  void SetTextAsDuration(std::string_view v) { SetElementText(v); }
  TBytes GetTextAsBase64binary() const;
  void SetTextAsBase64binary(const TBytes& v);
  std::string GetTextAsAnyUri() const { return GetElementText(); }
  void SetTextAsAnyUri(std::string_view v) { SetElementText(v); }
  std::string GetTextAsLanguage() const { return GetElementText(); }
  void SetTextAsLanguage(std::string_view v) { SetElementText(v); }
  TGUID GetTextAsGuid() const;
  void SetTextAsGuid(const TGUID& v);
  int GetTextEnumOrdinal() const;
  void SetTextEnumOrdinal(int ordinal);
  ///@}

 private:
  friend class TDvXMLSchemaElementArrayBase;
  struct TDynamicInfo;
  struct TCache;
  const TDvXMLSchemaInfo* LookupIndex(int index) const;
  const TDvXMLSchemaInfo* LookupLocalName(std::string_view localName) const;
  pugi::xml_node FindChild(const TDvXMLSchemaInfo& info) const;
  DvDOMElementPtr CreateChild(const TDvXMLSchemaInfo& info);
  DvDOMElementPtr Wrap(pugi::xml_node node) const;
  /// Reads the text of a declared child; false when it is missing (after asking the handler).
  bool ReadText(int index, std::string& text);
  void WriteText(int index, std::string_view text);
  TCache& Cache();
  void DropCached(int index);

  DvDOMElementPtr element_;
  const TDvXMLSchemaClassInfo* info_ = nullptr;
  std::unique_ptr<std::vector<std::unique_ptr<TDynamicInfo>>> dynamic_;
  std::unique_ptr<TCache> cache_;
  TDvXMLSchemaMissingElementEvent onMissing_;
};

// ---- Arrays ----

/// The elements of one name under a parent element, each wrapped on first use and kept. Change
/// the elements through the array (Add, Delete, Clear): wrappers already handed out, and the
/// position of the element read last, are not told about changes made to the DOM directly.
class TDvXMLSchemaElementArrayBase {
 public:
  /// The `qualifiedName` children of `parent`, each wrapped by `factory`.
  TDvXMLSchemaElementArrayBase(const DvDOMElementPtr& parent, std::string_view qualifiedName,
                               TDvXMLSchemaFactory factory);
  virtual ~TDvXMLSchemaElementArrayBase();
  TDvXMLSchemaElementArrayBase(const TDvXMLSchemaElementArrayBase&) = delete;
  TDvXMLSchemaElementArrayBase& operator=(const TDvXMLSchemaElementArrayBase&) = delete;

  /// Child elements of the parent with the array's local name.
  int Count() const;
  /// The wrapper at a position (the same object on every call); EListError when out of range.
  TDvXMLSchemaElement* GetElement(int position);
  /// Appends a new element (after the last one of the array, else at the end) and wraps it.
  TDvXMLSchemaElement* AddElement();
  /// Removes the element at a position and frees its wrapper.
  void Delete(int position);
  /// Removes every element of the array (other children of the parent stay).
  void Clear();
  /// The position of the element that is `node`, or -1.
  int IndexOfNode(const IDvDOMElement& node) const;

  /// The elements' qualified name.
  const std::string& GetQualifiedName() const { return qualifiedName_; }
  /// The parent element.
  const DvDOMElementPtr& GetParent() const { return parent_; }

 private:
  friend class TDvXMLSchemaElement;
  pugi::xml_node NodeAt(int position) const;
  /// The schema element that declares the array (it owns the array): the first element is
  /// created at the declaration's position among the owner's children.
  TDvXMLSchemaElement* owner_ = nullptr;
  const TDvXMLSchemaInfo* ownerInfo_ = nullptr;
  DvDOMElementPtr parent_;
  std::string qualifiedName_;
  std::string localName_;
  TDvXMLSchemaFactory factory_;
  std::vector<std::unique_ptr<TDvXMLSchemaElement>> items_;  // by position, created lazily
  mutable int hintPosition_ = 0;  // the element found last (reading forward continues there)
  mutable pugi::xml_node hintNode_;
};

template <typename T>
/// An array of class T's elements.
class TDvXMLSchemaElementArray final : public TDvXMLSchemaElementArrayBase {
  static_assert(std::is_base_of_v<TDvXMLSchemaElement, T>,
                "Only TDvXMLSchemaElement class types are supported!");

 public:
  /// The `qualifiedName` children of `parent`.
  TDvXMLSchemaElementArray(const DvDOMElementPtr& parent, std::string_view qualifiedName)
      : TDvXMLSchemaElementArrayBase(parent, qualifiedName, &New) {}
  /// The element at a position as T (EListError when out of range).
  T* GetItem(int position) { return static_cast<T*>(GetElement(position)); }
  /// Appends a new element and gives it as T.
  T* Add() { return static_cast<T*>(AddElement()); }

 private:
  static std::unique_ptr<TDvXMLSchemaElement> New(const DvDOMElementPtr& element) {
    return std::unique_ptr<TDvXMLSchemaElement>(new T(element));
  }
};

// ---- Simple content ----

/// Text conversions of the simple-content element's value types.
/**@{*/
void DvSchemaTextTo(std::string_view text, std::string& value);
void DvSchemaTextTo(std::string_view text, std::int32_t& value);
void DvSchemaTextTo(std::string_view text, std::int64_t& value);
void DvSchemaTextTo(std::string_view text, bool& value);
void DvSchemaTextTo(std::string_view text, double& value);
void DvSchemaTextTo(std::string_view text, TDateTime& value);
void DvSchemaTextTo(std::string_view text, TGUID& value);
std::string DvSchemaTextFrom(const std::string& value);
std::string DvSchemaTextFrom(std::int32_t value);
std::string DvSchemaTextFrom(std::int64_t value);
std::string DvSchemaTextFrom(bool value);
std::string DvSchemaTextFrom(double value);
std::string DvSchemaTextFrom(TDateTime value);
std::string DvSchemaTextFrom(const TGUID& value);
///@}

/// An element whose own text is the value (a string, a GUID as text, a number, …).
template <typename T>
class TDvXMLSchemaSimpleContentElement : public TDvXMLSchemaElement {
 public:
  /// Over an element.
  explicit TDvXMLSchemaSimpleContentElement(const DvDOMElementPtr& element)
      : TDvXMLSchemaElement(element) {}
  using TDvXMLSchemaElement::SetValue;
  /// The element's text as T.
  T GetValue() const {
    T value{};
    DvSchemaTextTo(GetElementText(), value);
    return value;
  }
  /// Sets the element's text from a T.
  void SetValue(const T& value) { SetElementText(DvSchemaTextFrom(value)); }
};

/// The array factory of repeated text elements.
std::unique_ptr<TDvXMLSchemaElementArrayBase> DvNewSimpleContentArray(
    const DvDOMElementPtr& parent, std::string_view qualifiedName);

}  // namespace dv
