// What the simulator knows of the EWS schema: the child order and types of every complex type in
// types.xsd (so stored items are written back in schema order), enumerations, and a libxml2
// validator for request and response bodies.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ewssim {

struct SchemaChild {
  std::string name;
  std::string type;  // local type name ("boolean", "dateTime", "ItemType"); empty when anonymous
};

struct SchemaType {
  std::string name;
  std::vector<SchemaChild> children;  // flattened, base type first
  std::unordered_map<std::string, int> index;
  int IndexOf(std::string_view child) const {
    auto it = index.find(std::string(child));
    return it == index.end() ? -1 : it->second;
  }
};

class SchemaModel {
 public:
  // Loaded once per process from `dir`, or from the copy built into the program when `dir` is
  // empty (the first call decides).
  static const SchemaModel& Get(const std::string& dir);
  const SchemaType* Type(std::string_view name) const;
  const std::vector<std::string>& Enum(std::string_view simpleType) const;
  std::string dir;

 private:
  std::unordered_map<std::string, SchemaType> types_;
  std::unordered_map<std::string, std::vector<std::string>> enums_;
  friend struct SchemaLoader;
};

// Validates one element (a SOAP body payload or header element) of a libxml2 document against
// ews-validate.xsd. The schema is compiled once per process; Validate is thread-safe.
class SchemaValidator {
 public:
  static SchemaValidator& Get(const std::string& dir);
  struct Result {
    bool ok = true;
    std::string message;
    int line = 0;
    int column = 0;
  };
  // Parses `xml` and validates the first element child of the SOAP Body (or, when the document
  // is no envelope, the root element).
  Result ValidateBodyOf(std::string_view xml);
  // Validates every element child of the envelope's `parentLocalName` child ("Header").
  Result ValidateElementOf(std::string_view xml, std::string_view parentLocalName);

 private:
  explicit SchemaValidator(const std::string& dir);
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

// The folder named by EWSSIM_SCHEMA_DIR, or "" (the built-in schema) when it is not set.
std::string DefaultSchemaDir();

}  // namespace ewssim
