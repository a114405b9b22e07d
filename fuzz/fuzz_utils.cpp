// Fuzz target: Base64, code-page conversion and the HTML tag scanner, all fed with text from
// servers (attachments, MIME, item bodies). Base64 decoding raises only EConvertError and what
// decodes encodes and decodes back to the same bytes; conversion to UTF-8 always gives valid
// UTF-8; and every tag and attribute the scanner reports lies inside the text it scanned.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "DvUtils.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  try {
    const std::string bytes = dv::DvBase64DecodeToString(text);
    Check(dv::DvBase64DecodeToString(dv::DvBase64Encode(bytes)) == bytes);
  } catch (const dv::EConvertError&) {
  }
  Check(dv::DvBase64DecodeToString(dv::DvBase64Encode(text)) == text);

  (void)dv::DvByteOrderMarkCodePage(text);
  const std::string detected = dv::DvDetectCodePage(text);
  for (std::string_view codePage :
       {std::string_view(), std::string_view(detected), std::string_view("windows-1252"),
        std::string_view("1200"), std::string_view("shift_jis")}) {
    try {
      const std::string utf8 = dv::DvCodePageToUTF8(text, codePage);
      Check(dv::DvIsValidUTF8(utf8));
      (void)dv::DvUTF8ToCodePage(utf8, "iso-8859-1");
    } catch (const dv::EConvertError&) {
    }
  }
  (void)dv::DvCharsetFromContentType(text);

  for (std::string_view name : {"img", "a", "meta"})
    for (const dv::TDvHTMLTag& tag : dv::DvScanHTMLTags(text, name)) {
      Check(tag.Offset < text.size() && tag.Length <= text.size() - tag.Offset);
      Check(text[tag.Offset] == '<' && text[tag.Offset + tag.Length - 1] == '>');
      for (const dv::TDvHTMLAttribute& a : tag.Attributes) {
        Check(a.ValueOffset >= tag.Offset &&
              a.ValueOffset + a.ValueLength <= tag.Offset + tag.Length);
        Check(text.substr(a.ValueOffset, a.ValueLength) == a.Value);
      }
    }
  return 0;
}
