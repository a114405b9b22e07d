/// @file
/// Text and byte utilities: Base64 and hexadecimal, trimming, case-insensitive comparison,
/// code-page detection and conversion (ICU), MIME types by file name, GUID texts and UTF-16
/// helpers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "DvSysUtils.h"

namespace dv {

// ---- Base64 and hexadecimal ----

/// Standard Base64 (RFC 4648) with padding, on one line.
std::string DvBase64Encode(std::string_view bytes);
/// As above, for a byte array.
std::string DvBase64Encode(const TBytes& bytes);
/// Decodes Base64; whitespace (line breaks of MIME-wrapped text) is skipped, missing padding is
/// accepted. EConvertError when the text is not Base64.
TBytes DvBase64Decode(std::string_view text);
/// As DvBase64Decode, the bytes as a string.
std::string DvBase64DecodeToString(std::string_view text);

/// Two hexadecimal digits per byte.
std::string DvHexEncode(std::string_view bytes, bool upperCase = true);
/// As above, for a byte array.
std::string DvHexEncode(const TBytes& bytes, bool upperCase = true);
/// Accepts either case and an optional "0x" prefix; EConvertError on an odd length or a
/// non-hexadecimal character.
TBytes DvHexDecode(std::string_view text);

// ---- Trimming and comparison ----

/// Remove leading and/or trailing white space and control characters (bytes <= 0x20).
std::string DvTrim(std::string_view text);
/// Leading white space only.
std::string DvTrimLeft(std::string_view text);
/// Trailing white space only.
std::string DvTrimRight(std::string_view text);

/// ASCII case-insensitive comparison (letters A-Z only); fast, for names and keywords.
bool DvSameText(std::string_view a, std::string_view b);
/// @name ASCII case-insensitive helpers
/**@{*/
/// As DvSameText: comparison (negative, 0, positive), prefix and suffix tests, ASCII case
/// mapping.
int DvCompareText(std::string_view a, std::string_view b);  // <0, 0, >0
bool DvStartsText(std::string_view text, std::string_view prefix);
bool DvEndsText(std::string_view text, std::string_view suffix);
std::string DvLowerCaseAscii(std::string_view text);
std::string DvUpperCaseAscii(std::string_view text);
///@}

/// Unicode case-insensitive comparison by full case folding (ICU): "STRASSE" equals "straße",
/// "ÄRGER" equals "ärger". Invalid UTF-8 compares byte-wise.
bool DvSameTextUnicode(std::string_view a, std::string_view b);
/// As DvSameTextUnicode, ordering: negative, 0 or positive.
int DvCompareTextUnicode(std::string_view a, std::string_view b);
/// Unicode lower case (root locale).
std::string DvLowerCase(std::string_view text);  // Unicode lower case (root locale)
/// Decodes one UTF-8 sequence at s (n bytes available, n > 0) into cp. Returns its length, or 0
/// when the bytes are not well-formed UTF-8 (overlong forms, surrogates and values above
/// U+10FFFF included).
std::size_t DvDecodeUTF8(const unsigned char* s, std::size_t n, std::uint32_t& cp);
/// Appends the UTF-8 form of the code point cp (at most U+10FFFF) to out.
void DvAppendUTF8(std::string& out, std::uint32_t cp);
/// Unicode upper case (root locale).
std::string DvUpperCase(std::string_view text);  // Unicode upper case (root locale)

// ---- Code pages ----

/// The code page of a byte stream: from its byte-order mark ("UTF-8", "UTF-16LE", "UTF-16BE",
/// "UTF-32LE", "UTF-32BE"), else from the encoding of an XML declaration (as written there),
/// else from the layout of "<?xml" in UTF-16/32 without a mark; empty when nothing says.
std::string DvDetectCodePage(std::string_view bytes);
/// The code page named by a byte-order mark at the start of the bytes, empty when there is none.
std::string DvByteOrderMarkCodePage(std::string_view bytes);
/// Converts bytes in a code page to UTF-8. The code page is any name ICU knows ("windows-1252",
/// "iso-8859-1", "utf-16le", "cp1252", "latin1") or a Windows code-page number ("1252",
/// "65001"); empty means detect (DvDetectCodePage, UTF-8 when nothing says). A byte-order mark
/// wins over the code page given and is removed; bytes that cannot be converted become U+FFFD.
/// EConvertError for an unknown code page.
std::string DvCodePageToUTF8(std::string_view bytes, std::string_view codePage = {});
/// Converts UTF-8 text to a code page (characters it lacks become its substitute character).
std::string DvUTF8ToCodePage(std::string_view text, std::string_view codePage);
/// The charset parameter of a Content-Type value ("text/xml; charset=utf-8" gives "utf-8"),
/// empty when absent.
std::string DvCharsetFromContentType(std::string_view contentType);
/// True when the bytes are well-formed UTF-8.
bool DvIsValidUTF8(std::string_view bytes);

// ---- MIME types ----

/// The MIME type for a file name's extension (case-insensitive), "application/octet-stream"
/// when unknown.
std::string DvMimeTypeFromFileName(std::string_view fileName);
/// The usual extension (with its dot) for a MIME type, empty when unknown.
std::string DvExtensionFromMimeType(std::string_view mimeType);

// ---- HTML ----

/// One attribute of an HTML start tag. ValueOffset/ValueLength locate the value in the scanned
/// text (inside any quotes), so a caller can replace it; an attribute without a value has length
/// 0 at the end of its name.
struct TDvHTMLAttribute {
  /**@{*/
  /// The attribute's name and value as written (entities are not decoded) and where the value
  /// lies in the text.
  std::string Name;   // as written
  std::string Value;  // as written (entities are not decoded)
  std::size_t ValueOffset = 0;
  std::size_t ValueLength = 0;
  ///@}
};

/// One start tag found by DvScanHTMLTags.
struct TDvHTMLTag {
  /**@{*/
  /// Where the tag lies in the text (from '<' up to and including '>'), its name as written and
  /// its attributes.
  std::size_t Offset = 0;  // of the '<'
  std::size_t Length = 0;  // up to and including the '>'
  std::string Name;        // as written
  std::vector<TDvHTMLAttribute> Attributes;
  ///@}

  /// The first attribute of that name (ASCII case-insensitive), or none.
  const TDvHTMLAttribute* Find(std::string_view name) const;
};

/// The start tags of one name (ASCII case-insensitive, "img") in HTML text, in order. Comments
/// are skipped; quoted values may hold '>'; an unterminated last tag is ignored.
std::vector<TDvHTMLTag> DvScanHTMLTags(std::string_view html, std::string_view tagName);

// ---- GUIDs ----

/// A GUID in the Windows layout: Data1-Data2-Data3-Data4.
struct TGUID {
  /**@{*/
  /// The GUID's four parts.
  std::uint32_t D1 = 0;
  std::uint16_t D2 = 0;
  std::uint16_t D3 = 0;
  std::array<std::uint8_t, 8> D4{};
  ///@}

  /// True for the all-zero GUID.
  bool IsNull() const { return *this == TGUID{}; }
  /// All parts equal.
  friend bool operator==(const TGUID&, const TGUID&) = default;
};

/// Parses "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", the same without braces, or 32 hexadecimal
/// digits; either case. False when the text is not a GUID.
bool DvTryStringToGUID(std::string_view text, TGUID& guid);
/// As DvTryStringToGUID; EConvertError when the text is not a GUID.
TGUID DvStringToGUID(std::string_view text);  // EConvertError when the text is not a GUID
/// "{00062008-0000-0000-C000-000000000046}" by default; without braces and/or lower case on
/// request.
std::string DvGUIDToString(const TGUID& guid, bool braces = true, bool upperCase = true);
/// The 16-byte binary form (Data1..Data3 little-endian, as Windows stores a GUID).
TBytes DvGUIDToBytes(const TGUID& guid);
/// The GUID of its 16-byte binary form; EConvertError unless 16 bytes.
TGUID DvBytesToGUID(const TBytes& bytes);  // EConvertError unless 16 bytes
/// A new random (version 4) GUID.
TGUID DvNewGUID();

// ---- UTF-16 ----

/// The number of UTF-16 code units of UTF-8 text (a character above U+FFFF counts two);
/// lengths of texts are measured this way where the protocol counts characters.
std::size_t DvUTF16Length(std::string_view utf8);
/// UTF-8 to UTF-16.
std::u16string DvUTF8ToUTF16(std::string_view utf8);
/// UTF-16 to UTF-8.
std::string DvUTF16ToUTF8(std::u16string_view utf16);

}  // namespace dv
