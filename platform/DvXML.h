/// @file
/// XML documents and elements (over pugixml), path selection and XML text conversions.
///
/// Elements are created by qualified name ("m:Items", "t:Subject"); the document's root element
/// declares the prefixes. Paths select by local name whatever the prefix (docs/ARCHITECTURE.md,
/// "XML layer", describes the path language and its matching rules).
///
/// Element wrappers are cheap (a node and a reference to the document's tree). A wrapper of an
/// element that was removed from its tree (RemoveElement, Clear, SetAsString on its parent) must
/// not be used any more; loading or replacing a document's content keeps the old tree alive for
/// the wrappers that still refer to it.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "DvSysUtils.h"

namespace dv {

/// Raised for malformed XML, refused constructs (DTDs, external entities) and I/O failures.
class EDvXMLException : public Exception {
 public:
  /// A failure with its message.
  using Exception::Exception;
};

/// Raised when text written into a document holds a character XML 1.0 cannot carry (U+0000 to
/// U+0008, U+000B, U+000C, U+000E to U+001F, U+FFFE, U+FFFF): "The value of \"Subject\" holds
/// U+0001, a character XML cannot carry".
class EDvXMLInvalidChar : public EDvXMLException {
 public:
  /// `what` names the value (an element, attribute or property name); `codePoint` the character.
  EDvXMLInvalidChar(std::string_view what, std::uint32_t codePoint);
  /// The refused character.
  std::uint32_t GetCodePoint() const { return FCodePoint; }

 private:
  std::uint32_t FCodePoint;
};

class IDvDOMDocument;
class IDvDOMElement;
class IDvDOMElementList;
class IDvDOMAttributeList;
/// @name Shared handles
/**@{*/
/// A shared document, element, element list or attribute list.
using DvDOMDocumentPtr = std::shared_ptr<IDvDOMDocument>;
using DvDOMElementPtr = std::shared_ptr<IDvDOMElement>;
using DvDOMElementListPtr = std::shared_ptr<IDvDOMElementList>;
using DvDOMAttributeListPtr = std::shared_ptr<IDvDOMAttributeList>;
///@}

/// Matching flags for path selection. By default local names match without regard to ASCII case;
/// xsoCaseSensitive makes them exact.
enum class TDvXMLSelectOption { xsoCaseSensitive };
/// A set of matching flags.
using TDvXMLSelectOptions = TSet<TDvXMLSelectOption>;

/// A selected list of elements, in document order.
class IDvDOMElementList {
 public:
  virtual ~IDvDOMElementList() = default;
  /**@{*/
  /// The number of elements, and element `index` (EListError when out of range).
  virtual int Count() const = 0;
  virtual DvDOMElementPtr GetItem(int index) const = 0;  // EListError when out of range
  ///@}
};

/// One attribute: its qualified name as written ("xmlns:t", "Id") and its value.
struct TDvDOMAttribute {
  /**@{*/
  /// The attribute's name and value.
  std::string Name;  // qualified name as written ("xmlns:t", "Id")
  std::string Value;
  ///@}
};

/// The attributes of an element, in document order.
class IDvDOMAttributeList {
 public:
  virtual ~IDvDOMAttributeList() = default;
  /**@{*/
  /// The number of attributes, and attribute `index` (EListError when out of range).
  virtual int Count() const = 0;
  virtual TDvDOMAttribute GetItem(int index) const = 0;  // EListError when out of range
  ///@}
};

/// An element of a document. An element keeps its document alive.
class IDvDOMElement {
 public:
  virtual ~IDvDOMElement() = default;

  /// Appends a child element by qualified name and returns it.
  virtual DvDOMElementPtr AddElement(std::string_view qualifiedName) = 0;
  /// Inserts a child element before (or after) the reference child.
  virtual DvDOMElementPtr InsertElement(std::string_view qualifiedName,
                                        const DvDOMElementPtr& reference, bool before = true) = 0;
  /// Removes a child element (and its subtree).
  virtual void RemoveElement(const DvDOMElementPtr& child) = 0;
  /// Removes every child node (elements and text).
  virtual void Clear() = 0;

  /// Sets an attribute (adding it when absent; the value is escaped when written, tab and line
  /// breaks as character references). EDvXMLInvalidChar, with nothing changed, for a character
  /// XML cannot carry; the same holds for AddAttribute and SetAsString.
  virtual void SetAttribute(std::string_view name, std::string_view value) = 0;
  /**@{*/
  /// An attribute's value (empty when absent), and whether it is present.
  virtual std::string GetAttribute(std::string_view name) const = 0;  // empty when absent
  virtual bool HasAttribute(std::string_view name) const = 0;
  ///@}
  /// Appends an attribute without looking for an existing one of the same name.
  virtual void AddAttribute(std::string_view name, std::string_view value) = 0;
  /// Removes an attribute, if present.
  virtual void RemoveAttribute(std::string_view name) = 0;
  /// The number of attributes.
  virtual int AttributeCount() const = 0;
  /// The attributes in document order.
  virtual DvDOMAttributeListPtr GetAttributes() const = 0;

  /// The number of child elements.
  virtual int ElementCount() const = 0;  // child elements
  /// Child element by position; EListError when out of range.
  virtual DvDOMElementPtr GetElement(int index) const = 0;
  /// Every child element in order, in one pass (GetElement walks the siblings before the one it
  /// returns, so a loop over GetElement is quadratic).
  virtual std::vector<DvDOMElementPtr> Elements() const = 0;
  /// True when the path selects an element (see SelectSingleElement).
  virtual bool HasChildElement(std::string_view path, TDvXMLSelectOptions options = {}) const = 0;
  /// First child element with that local name (ASCII case-insensitive; a prefix given with the
  /// name is ignored), or none.
  virtual DvDOMElementPtr ElementByName(std::string_view localName) const = 0;
  /// The first element a path selects, in document order, or none. Paths are relative to this
  /// element ("Mailbox/Name", ".//Subject", `x[Type="Delegate"]`); local names match ignoring
  /// ASCII case unless xsoCaseSensitive. A malformed path raises EDvXMLException.
  virtual DvDOMElementPtr SelectSingleElement(std::string_view path,
                                              TDvXMLSelectOptions options = {}) const = 0;
  /// Every element a path selects, in document order, without duplicates.
  virtual DvDOMElementListPtr CreateElementList(std::string_view path,
                                                TDvXMLSelectOptions options = {}) const = 0;

  /// The element's text content (all descendant text).
  virtual std::string GetAsString() const = 0;
  /// Replaces the element's children with one text node (EDvXMLInvalidChar, with nothing
  /// changed, for a character XML cannot carry).
  virtual void SetAsString(std::string_view value) = 0;
  /// Empty text reads as 0 (integer) and false (boolean); other malformed text raises
  /// EConvertError.
  virtual std::int64_t GetAsInteger() const = 0;
  /**@{*/
  /// The text read as (or set from) an integer, a boolean or a date-time (xs:dateTime, UTC).
  virtual void SetAsInteger(std::int64_t value) = 0;
  virtual bool GetAsBoolean() const = 0;
  virtual void SetAsBoolean(bool value) = 0;
  virtual TDateTime GetAsDateTime() const = 0;
  virtual void SetAsDateTime(TDateTime value) = 0;
  ///@}

  /**@{*/
  /// The element's local name ("Subject"), qualified name ("t:Subject") and prefix ("t").
  virtual std::string GetLocalName() const = 0;
  virtual std::string GetQualifiedName() const = 0;
  virtual std::string GetPrefix() const = 0;
  ///@}
  /// The namespace URI the element's prefix is bound to (looked up through the ancestors).
  virtual std::string GetNamespaceURI() const = 0;

  /**@{*/
  /// The parent element (none for the root), and the document the element belongs to.
  virtual DvDOMElementPtr GetParent() const = 0;  // none for the root element
  virtual DvDOMDocumentPtr GetOwnerDocument() const = 0;
  ///@}
  /// The element and its subtree as XML text.
  virtual std::string GetXML() const = 0;
  /// True when both wrap the same DOM node.
  virtual bool IsSameNode(const IDvDOMElement& other) const = 0;

  /// The XML text of the element's children.
  virtual std::string GetInnerXML() const = 0;
  /// Appends a deep copy of an element (of this or another document) and returns the copy.
  virtual DvDOMElementPtr AppendCopy(const DvDOMElementPtr& source) = 0;
  /// Parses an XML fragment (elements and text, checked like a document) and appends its nodes.
  virtual void AppendXML(std::string_view fragment) = 0;

  /// The underlying pugixml node, for the platform's own fast paths.
  virtual pugi::xml_node GetNativeNode() const = 0;
};

/// A document. Parsing refuses DTDs (and with them every entity declaration) and undeclared
/// entity references, so nothing external is fetched and no entity is expanded. Character
/// references to characters XML 1.0 forbids (`&#x0;`, `&#x1A;`, …) and literal control bytes are
/// read as U+FFFD instead of failing the document. A failed load leaves the content as it was.
class IDvDOMDocument {
 public:
  virtual ~IDvDOMDocument() = default;

  /// Text is UTF-8 (text starting with a UTF-16/32 byte-order mark is converted). EDvXMLException
  /// "Malformed XML at offset N: …" when malformed.
  virtual void LoadXML(std::string_view text) = 0;
  /// Reads the stream to its end; the encoding comes from the byte-order mark or the XML
  /// declaration (UTF-8 when neither says).
  virtual void LoadFromStream(std::istream& stream) = 0;
  /// Same as LoadXML: replaces the content.
  virtual void SetXml(std::string_view text) = 0;  // same as LoadXML: replaces the content
  /// Compact XML (no indentation, no declaration).
  virtual std::string GetXML() const = 0;
  /// UTF-8 with an XML declaration; EDvXMLException when the file cannot be written.
  virtual void SaveToFile(const std::string& fileName) const = 0;

  /// The root element; none when the document is empty.
  virtual DvDOMElementPtr GetDocumentElement() const = 0;  // none when empty
  /// Creates (replacing any) the root element.
  virtual DvDOMElementPtr CreateDocumentElement(std::string_view qualifiedName) = 0;
  /// Paths here are relative to the document node: "Envelope/Body" or "/Envelope/Body".
  virtual DvDOMElementPtr SelectSingleElement(std::string_view path,
                                              TDvXMLSelectOptions options = {}) const = 0;
  /// Every element a path selects, in document order.
  virtual DvDOMElementListPtr CreateElementList(std::string_view path,
                                                TDvXMLSelectOptions options = {}) const = 0;

  /// Wraps an element node of this document (none for other nodes).
  virtual DvDOMElementPtr WrapNode(pugi::xml_node node) = 0;
  /// The underlying pugixml document.
  virtual pugi::xml_document& GetNativeDocument() = 0;
};

/// An empty document.
DvDOMDocumentPtr DvCreateDOM();
/// A document parsed from UTF-8 text (EDvXMLException when malformed).
DvDOMDocumentPtr DvCreateDOM(std::string_view text);
/// See DvCreateDOM(std::string_view).
DvDOMDocumentPtr DvCreateDOM(const char* text);
/// A document parsed from UTF-8 text it takes over: the text is checked and parsed where it lies
/// and the document keeps it (a response costs its size once plus the node tree, not a copy).
DvDOMDocumentPtr DvCreateDOM(std::string&& text);
/// A document parsed from bytes in a code page (a name ICU knows, such as "windows-1252", or a
/// Windows code-page number; empty: detect from the byte-order mark or XML declaration).
DvDOMDocumentPtr DvCreateDOM(std::string_view bytes, const std::string& codePage);
/// A document read from a stream (encoding from the byte-order mark or XML declaration).
DvDOMDocumentPtr DvCreateDOMFromStream(std::istream& stream);

/// Escapes text for an element's content or an attribute value (&, <, >, ", ', and CR, tab and
/// LF as character references). A character XML 1.0 forbids raises EDvXMLInvalidChar; invalid
/// UTF-8 becomes U+FFFD.
std::string DvXMLEscape(std::string_view text);
/// Replaces characters XML 1.0 forbids (and invalid UTF-8) with U+FFFD: the tolerant form, for
/// text read from elsewhere.
std::string DvXMLSanitize(std::string_view text);
/// Text as it may be written into a document: the same text when every character is one XML 1.0
/// allows (invalid UTF-8 becomes U+FFFD); EDvXMLInvalidChar naming `what` otherwise. Element
/// text and attribute values set through the DOM pass through here, so a request never carries
/// a silently changed value.
std::string DvXMLCheckText(std::string_view text, std::string_view what);

// ---- Text conversions (XML Schema lexical forms) ----

/// Reads an xs:dateTime (or xs:date): "Z", numeric offsets, fractional seconds and no zone are
/// accepted; the result is UTC (a text without a zone is taken as UTC). EConvertError when
/// malformed; empty text gives the zero date-time.
TDateTime DvXMLToDateTime(std::string_view text);
/// Writes "YYYY-MM-DDThh:mm:ssZ", with ".fff" when the value has milliseconds. The zero
/// date-time is written as an empty text.
std::string DvDateTimeToXML(TDateTime value);
/// xs:date "YYYY-MM-DD" (empty for the zero date-time) and xs:time "hh:mm:ss" (".fff" added
/// when there are milliseconds) of a date-time.
std::string DvDateToXML(TDateTime value);
/// See DvDateToXML.
std::string DvTimeToXML(TDateTime value);
/// "true"/"1" (any case) give true; "false"/"0"/empty give false; anything else: EConvertError.
bool DvXMLToBool(std::string_view text);
/// @name Simple values as XML text
/**@{*/
/// A value written as XML text, or read from it (see the comments at their right).
std::string DvBoolToXML(bool value);             // "true" or "false"
std::int64_t DvXMLToInt(std::string_view text);  // EConvertError when malformed
std::string DvIntToXML(std::int64_t value);
double DvXMLToDouble(std::string_view text);  // accepts INF, -INF, NaN
std::string DvDoubleToXML(double value);      // shortest text that reads back the same value
///@}
/// Writes a variant as XML text (Null: empty; bytes: Base64; list: space-separated).
std::string DvVariantToXML(const TDvVariant& value);

}  // namespace dv
