// JSON documents over nlohmann-json.
#include "DvJSON.h"

#include <nlohmann/json.hpp>

namespace dv {

namespace {

using json = nlohmann::ordered_json;

class TDvJSONDocumentImpl;

class TDvJSONValueImpl final : public IDvJSONValue {
 public:
  TDvJSONValueImpl(std::shared_ptr<const json> root, const json* value)
      : root_(std::move(root)), value_(value) {}

  TDvJSONType GetType() const override {
    switch (value_->type()) {
      case json::value_t::boolean:
        return TDvJSONType::jtBoolean;
      case json::value_t::number_integer:
      case json::value_t::number_unsigned:
      case json::value_t::number_float:
        return TDvJSONType::jtNumber;
      case json::value_t::string:
        return TDvJSONType::jtString;
      case json::value_t::array:
        return TDvJSONType::jtArray;
      case json::value_t::object:
        return TDvJSONType::jtObject;
      default:
        return TDvJSONType::jtNull;
    }
  }

  DvJSONValuePtr Member(std::string_view name) const override {
    if (!value_->is_object()) return nullptr;
    const auto it = value_->find(name);
    if (it == value_->end()) return nullptr;
    return std::make_shared<TDvJSONValueImpl>(root_, &*it);
  }

  bool HasMember(std::string_view name) const override {
    return value_->is_object() && value_->contains(name);
  }

  std::vector<std::string> MemberNames() const override {
    std::vector<std::string> names;
    if (value_->is_object()) {
      for (auto it = value_->begin(); it != value_->end(); ++it)
        names.push_back(it.key());
    }
    return names;
  }

  int Count() const override {
    return value_->is_array() || value_->is_object() ? static_cast<int>(value_->size()) : 0;
  }

  // Count gives an object's number of members too, so an index below it gives a member's value
  // (in document order) as it gives an array's item.
  DvJSONValuePtr GetItem(int index) const override {
    if (index < 0 || static_cast<std::size_t>(index) >= static_cast<std::size_t>(Count())) {
      throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    const auto at = static_cast<std::size_t>(index);
    if (value_->is_object())
      return std::make_shared<TDvJSONValueImpl>(root_, &*std::next(value_->begin(), at));
    return std::make_shared<TDvJSONValueImpl>(root_, &(*value_)[at]);
  }

  std::string AsString() const override {
    if (value_->is_string()) return value_->get<std::string>();
    if (value_->is_null()) return {};
    if (value_->is_array() || value_->is_object()) {
      throw EDvJSONException("The JSON value is not a string");
    }
    return value_->dump();
  }

  std::int64_t AsInteger() const override {
    if (value_->is_number_integer()) return value_->get<std::int64_t>();
    if (value_->is_number_unsigned()) {
      const auto v = value_->get<std::uint64_t>();
      if (v > static_cast<std::uint64_t>(INT64_MAX)) {
        throw EDvJSONException("The JSON number is too large");
      }
      return static_cast<std::int64_t>(v);
    }
    if (value_->is_number_float()) {
      const double d = value_->get<double>();
      if (d < -9.2e18 || d > 9.2e18) throw EDvJSONException("The JSON number is too large");
      return static_cast<std::int64_t>(d);
    }
    if (value_->is_string()) {
      const auto& s = value_->get_ref<const std::string&>();
      try {
        std::size_t used = 0;
        const long long v = std::stoll(s, &used);
        if (used == s.size()) return v;
      } catch (const std::exception&) {
      }
    }
    throw EDvJSONException("The JSON value is not an integer");
  }

  double AsDouble() const override {
    if (value_->is_number()) return value_->get<double>();
    if (value_->is_string()) {
      const auto& s = value_->get_ref<const std::string&>();
      try {
        std::size_t used = 0;
        const double v = std::stod(s, &used);
        if (used == s.size()) return v;
      } catch (const std::exception&) {
      }
    }
    throw EDvJSONException("The JSON value is not a number");
  }

  bool AsBoolean() const override {
    if (value_->is_boolean()) return value_->get<bool>();
    if (value_->is_string()) {
      const auto& s = value_->get_ref<const std::string&>();
      if (s == "true") return true;
      if (s == "false") return false;
    }
    throw EDvJSONException("The JSON value is not a boolean");
  }

  std::string ToJSON() const override { return value_->dump(); }

 private:
  std::shared_ptr<const json> root_;
  const json* value_;
};

class TDvJSONDocumentImpl final : public IDvJSONDocument {
 public:
  explicit TDvJSONDocumentImpl(json root) : root_(std::make_shared<const json>(std::move(root))) {}

  DvJSONValuePtr GetRootValue() const override {
    return std::make_shared<TDvJSONValueImpl>(root_, root_.get());
  }
  std::string ToJSON() const override { return root_->dump(); }

 private:
  std::shared_ptr<const json> root_;
};

}  // namespace

DvJSONDocumentPtr DvCreateJSON(std::string_view text) {
  try {
    return std::make_shared<TDvJSONDocumentImpl>(json::parse(text.begin(), text.end()));
  } catch (const json::parse_error& e) {
    throw EDvJSONException("Malformed JSON at offset " + std::to_string(e.byte) + ": " + e.what());
  } catch (const json::exception& e) {
    // Well-formed text the parser still refuses: a number beyond a double's range.
    throw EDvJSONException(std::string("Malformed JSON: ") + e.what());
  }
}

}  // namespace dv
