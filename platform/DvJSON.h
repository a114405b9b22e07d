/// @file
/// JSON documents (over nlohmann-json): a document parsed from text, its root value, members by
/// name and array items.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DvSysUtils.h"

namespace dv {

/// Raised for malformed JSON text and for reading a value as a type it does not hold.
class EDvJSONException : public Exception {
 public:
  /// As Exception.
  using Exception::Exception;
};

/// The kind of a JSON value.
enum class TDvJSONType { jtNull, jtBoolean, jtNumber, jtString, jtArray, jtObject };

class IDvJSONValue;
class IDvJSONDocument;
/// A shared JSON value.
using DvJSONValuePtr = std::shared_ptr<IDvJSONValue>;
/// A shared JSON document.
using DvJSONDocumentPtr = std::shared_ptr<IDvJSONDocument>;

/// A value inside a document; it keeps its document alive.
class IDvJSONValue {
 public:
  virtual ~IDvJSONValue() = default;

  /// The value's kind.
  virtual TDvJSONType GetType() const = 0;
  /// @name Kind tests
  /**@{*/
  /// True when the value is of that kind.
  bool IsNull() const { return GetType() == TDvJSONType::jtNull; }
  bool IsBoolean() const { return GetType() == TDvJSONType::jtBoolean; }
  bool IsNumber() const { return GetType() == TDvJSONType::jtNumber; }
  bool IsString() const { return GetType() == TDvJSONType::jtString; }
  bool IsArray() const { return GetType() == TDvJSONType::jtArray; }
  bool IsObject() const { return GetType() == TDvJSONType::jtObject; }
  ///@}

  /// Object members: the member of that name (exact), or none when absent or not an object.
  virtual DvJSONValuePtr Member(std::string_view name) const = 0;
  /// True when an object has that member.
  virtual bool HasMember(std::string_view name) const = 0;
  /// An object's member names in document order (empty for anything else).
  virtual std::vector<std::string> MemberNames() const = 0;  // in document order

  /// Array items (Count is 0 for anything that is not an array or object).
  virtual int Count() const = 0;
  /// Item `index` of an array or object (EListError when out of range).
  virtual DvJSONValuePtr GetItem(int index) const = 0;  // EListError when out of range

  /// A string's text; numbers and booleans as their JSON text; null as empty text; arrays and
  /// objects raise EDvJSONException.
  virtual std::string AsString() const = 0;
  /// Numbers (and strings holding an integer); EDvJSONException otherwise.
  virtual std::int64_t AsInteger() const = 0;
  /// Numbers (and strings holding a number); EDvJSONException otherwise.
  virtual double AsDouble() const = 0;
  /// Booleans (and the strings "true"/"false"); EDvJSONException otherwise.
  virtual bool AsBoolean() const = 0;

  /// The value as compact JSON text.
  virtual std::string ToJSON() const = 0;
};

/// A parsed JSON document (DvCreateJSON).
class IDvJSONDocument {
 public:
  virtual ~IDvJSONDocument() = default;
  /// The top-level value.
  virtual DvJSONValuePtr GetRootValue() const = 0;
  /// The document as compact JSON text.
  virtual std::string ToJSON() const = 0;
};

/// Parses JSON text (UTF-8); EDvJSONException with the position when malformed.
DvJSONDocumentPtr DvCreateJSON(std::string_view text);

}  // namespace dv
