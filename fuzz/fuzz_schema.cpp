// Fuzz target: the generated schema classes reading untrusted server data. The first two bytes
// pick one of the ~980 classes; the rest is an XML document whose root element that class wraps.
// Every declared child is read through its typed getter (and classes and arrays below it, a few
// levels deep): malformed values must raise a dv::Exception, never crash.
#include <cstdint>
#include <string>

#include "DvSysUtils.h"
#include "DvXML.h"
#include "DvXMLSchema.h"
#include "uDvEWSTypes.h"

namespace {

using dv::TDvXMLSchemaValueKind;

void ReadAll(dv::TDvXMLSchemaElement& e, int depth) {
  if (e.GetClassInfo() == nullptr) return;  // an item of a simple-content array: its text only
  const dv::TDvXMLSchemaClassInfo& info = *e.GetClassInfo();
  for (int p = 0; p < info.Count; ++p) {
    const dv::TDvXMLSchemaInfo& d = info.Decls[p];
    try {
      switch (d.Kind) {
        case TDvXMLSchemaValueKind::Int:
          (void)e.GetAsInt(d.Index);
          break;
        case TDvXMLSchemaValueKind::Long:
          (void)e.GetAsLong(d.Index);
          break;
        case TDvXMLSchemaValueKind::Boolean:
          (void)e.GetAsBoolean(d.Index);
          break;
        case TDvXMLSchemaValueKind::Double:
          (void)e.GetAsDouble(d.Index);
          break;
        case TDvXMLSchemaValueKind::Datetime:
          (void)e.GetAsDatetime(d.Index);
          break;
        case TDvXMLSchemaValueKind::Date:
          (void)e.GetAsDate(d.Index);
          break;
        case TDvXMLSchemaValueKind::Time:
          (void)e.GetAsTime(d.Index);
          break;
        case TDvXMLSchemaValueKind::Base64binary:
          (void)e.GetAsBase64binary(d.Index);
          break;
        case TDvXMLSchemaValueKind::Guid:
          (void)e.GetAsGuid(d.Index);
          break;
        case TDvXMLSchemaValueKind::Enum:
          (void)e.GetEnumOrdinal(d.Index);
          break;
        case TDvXMLSchemaValueKind::Class:
          if (depth < 4 && e.GetNodeByIndex(d.Index, false))
            ReadAll(*e.GetChildObject(d.Index), depth + 1);
          break;
        case TDvXMLSchemaValueKind::Array:
        case TDvXMLSchemaValueKind::SimpleArray: {
          dv::TDvXMLSchemaElementArrayBase* array = e.GetArrayChild(d.Index);
          const int count = array->Count();
          for (int i = 0; i < count && i < 16; ++i)
            if (depth < 4) ReadAll(*array->GetElement(i), depth + 1);
          break;
        }
        default:
          (void)e.GetAsString(d.Index);
          break;
      }
    } catch (const dv::Exception&) {
      // a malformed value, reported as it should be
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  int count = 0;
  const dv::TDvXMLSchemaClassInfo* const* classes = dv::DvEwsSchemaClasses(count);
  const dv::TDvXMLSchemaClassInfo& info = *classes[(data[0] << 8 | data[1]) % count];
  dv::DvDOMDocumentPtr doc;
  try {
    doc = dv::DvCreateDOM(std::string(reinterpret_cast<const char*>(data + 2), size - 2));
  } catch (const dv::Exception&) {
    return 0;
  }
  dv::DvDOMElementPtr root = doc->GetDocumentElement();
  if (!root || info.Create == nullptr) return 0;
  std::unique_ptr<dv::TDvXMLSchemaElement> wrapper = info.Create(root);
  ReadAll(*wrapper, 0);
  return 0;
}
