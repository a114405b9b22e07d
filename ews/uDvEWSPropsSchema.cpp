// The registry lookups and conversions that take schema enumeration values.
#include "uDvEWSProps.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

namespace {

// "FLD_" followed by the value's identifier less its enumeration prefix, upper-cased.
template <typename E>
std::string FieldDefNameOf(E value) {
  const TDvEnumTypeInfo& info = DvEnumTypeInfo(value);
  std::string_view id = info.IdentifierOf(static_cast<int>(value));
  if (id.starts_with(info.Prefix)) id.remove_prefix(info.Prefix.size());
  std::string name = "FLD_";
  name.reserve(name.size() + id.size());
  for (char c : id)
    name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return name;
}

}  // namespace

PDvEWSFieldDef GetFieldDef(TUnindexedFieldURI uri) {
  return GetFieldDef(FieldDefNameOf(uri), true);
}

PDvEWSFieldDef GetFieldDef(TDictionaryURI uri) {
  return GetFieldDef(FieldDefNameOf(uri), true);
}

PDvEWSFieldDef GetFieldDef(TDictionaryURI uri, std::string_view fieldIndex) {
  return GetIndexedFieldDef(DvEnumToXML(uri), fieldIndex, true);
}

TMapiPropertyType DvEWSPropTypeToMapiPropertyType(TDvEWSPropType type) {
  return DvXMLToEnum<TMapiPropertyType>(DvEWSPropTypeToString(type));
}

TDvEWSPropType DvMapiPropertyTypeToEWSPropType(TMapiPropertyType type) {
  return DvEWSStringToPropType(DvEnumToXML(type));
}

}  // namespace dv
