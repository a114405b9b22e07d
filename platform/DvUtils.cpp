// Text and byte utilities over OpenSSL (Base64, random GUIDs) and ICU (code pages, case
// folding).
#include "DvUtils.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

namespace dv {

namespace {

bool IsSpace(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

char UpperAscii(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

icu::UnicodeString ToUnicode(std::string_view utf8) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
}

std::string ToUTF8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

// Windows code-page numbers and the ICU names of their code pages.
std::string CodePageName(std::string_view codePage) {
  const std::string_view cp = codePage;
  if (cp.empty() ||
      !std::all_of(cp.begin(), cp.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::string(cp);
  }
  static const std::unordered_map<std::string_view, const char*> kNumbers = {
      {"65001", "UTF-8"},       {"1200", "UTF-16LE"},     {"1201", "UTF-16BE"},
      {"12000", "UTF-32LE"},    {"12001", "UTF-32BE"},    {"20127", "US-ASCII"},
      {"28591", "ISO-8859-1"},  {"28592", "ISO-8859-2"},  {"28593", "ISO-8859-3"},
      {"28594", "ISO-8859-4"},  {"28595", "ISO-8859-5"},  {"28596", "ISO-8859-6"},
      {"28597", "ISO-8859-7"},  {"28598", "ISO-8859-8"},  {"28599", "ISO-8859-9"},
      {"28603", "ISO-8859-13"}, {"28605", "ISO-8859-15"}, {"20866", "KOI8-R"},
      {"21866", "KOI8-U"},      {"932", "Shift_JIS"},     {"936", "GBK"},
      {"949", "windows-949"},   {"950", "Big5"},          {"54936", "GB18030"},
      {"50220", "ISO-2022-JP"}, {"51932", "EUC-JP"},      {"51949", "EUC-KR"},
      {"874", "windows-874"},   {"437", "ibm-437"},       {"850", "ibm-850"},
      {"866", "ibm-866"},
  };
  if (auto it = kNumbers.find(cp); it != kNumbers.end()) return it->second;
  if (cp.size() == 4 && cp.substr(0, 3) == "125") return "windows-" + std::string(cp);
  return "cp" + std::string(cp);
}

using TConverterPtr = std::unique_ptr<UConverter, decltype(&ucnv_close)>;

TConverterPtr OpenConverter(std::string_view codePage) {
  const std::string name = CodePageName(codePage);
  UErrorCode err = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open(name.c_str(), &err);
  if (U_FAILURE(err) || cnv == nullptr) {
    if (cnv) ucnv_close(cnv);
    throw EConvertError("Unknown code page \"" + std::string(codePage) + "\"");
  }
  return TConverterPtr(cnv, ucnv_close);
}

// The value of `name="..."` in an XML declaration, empty when absent.
std::string DeclarationAttribute(std::string_view decl, std::string_view name) {
  std::size_t pos = 0;
  while ((pos = decl.find(name, pos)) != std::string_view::npos) {
    std::size_t p = pos + name.size();
    if (pos > 0 && !IsSpace(decl[pos - 1])) {
      pos = p;
      continue;
    }
    while (p < decl.size() && IsSpace(decl[p]))
      ++p;
    if (p >= decl.size() || decl[p] != '=') {
      pos = p;
      continue;
    }
    ++p;
    while (p < decl.size() && IsSpace(decl[p]))
      ++p;
    if (p >= decl.size() || (decl[p] != '"' && decl[p] != '\'')) return {};
    const char quote = decl[p];
    const std::size_t end = decl.find(quote, p + 1);
    if (end == std::string_view::npos) return {};
    return std::string(decl.substr(p + 1, end - p - 1));
  }
  return {};
}

}  // namespace

// ---- Base64 and hexadecimal ----

std::string DvBase64Encode(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  // EVP_EncodeBlock takes an int length; encode large inputs in chunks of whole 3-byte groups.
  constexpr std::size_t kChunk = 3 * (1 << 20);
  std::size_t written = 0;
  for (std::size_t pos = 0; pos < bytes.size(); pos += kChunk) {
    const std::size_t len = std::min(kChunk, bytes.size() - pos);
    written += static_cast<std::size_t>(EVP_EncodeBlock(
        reinterpret_cast<unsigned char*>(out.data() + written),
        reinterpret_cast<const unsigned char*>(bytes.data() + pos), static_cast<int>(len)));
  }
  out.resize(written);
  return out;
}

std::string DvBase64Encode(const TBytes& bytes) {
  return DvBase64Encode(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

TBytes DvBase64Decode(std::string_view text) {
  // Keep the Base64 characters, check the padding, and complete it when it was left out.
  std::string clean;
  clean.reserve(text.size());
  std::size_t padding = 0;
  for (char c : text) {
    if (IsSpace(c)) continue;
    if (c == '=') {
      ++padding;
    } else if (IsBase64Char(c) && padding == 0) {
      clean += c;
    } else {
      throw EConvertError("Invalid Base64 text");
    }
  }
  if (padding > 2 || clean.size() % 4 == 1 || (padding > 0 && (clean.size() + padding) % 4 != 0)) {
    throw EConvertError("Invalid Base64 text");
  }
  const std::size_t pad = (4 - clean.size() % 4) % 4;
  clean.append(pad, '=');
  TBytes out;
  if (clean.empty()) return out;
  constexpr std::size_t kChunk = 4 * (1 << 20);
  out.resize(clean.size() / 4 * 3);
  std::size_t written = 0;
  for (std::size_t pos = 0; pos < clean.size(); pos += kChunk) {
    const std::size_t len = std::min(kChunk, clean.size() - pos);
    const int n = EVP_DecodeBlock(out.data() + written,
                                  reinterpret_cast<const unsigned char*>(clean.data() + pos),
                                  static_cast<int>(len));
    if (n < 0) throw EConvertError("Invalid Base64 text");
    written += static_cast<std::size_t>(n);
  }
  out.resize(written - pad);  // EVP_DecodeBlock counts the padding as zero bytes
  return out;
}

std::string DvBase64DecodeToString(std::string_view text) {
  const TBytes b = DvBase64Decode(text);
  return std::string(b.begin(), b.end());
}

std::string DvHexEncode(std::string_view bytes, bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

std::string DvHexEncode(const TBytes& bytes, bool upperCase) {
  return DvHexEncode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                     upperCase);
}

TBytes DvHexDecode(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.size() % 2 != 0) throw EConvertError("Invalid hexadecimal text (odd length)");
  TBytes out(text.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    if (hi < 0 || lo < 0) throw EConvertError("Invalid hexadecimal text");
    out[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  return out;
}

// ---- Trimming and comparison ----

std::string DvTrim(std::string_view text) {
  return DvTrimRight(DvTrimLeft(text));
}

std::string DvTrimLeft(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i]))
    ++i;
  return std::string(text.substr(i));
}

std::string DvTrimRight(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && IsSpace(text[n - 1]))
    --n;
  return std::string(text.substr(0, n));
}

bool DvSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && DvCompareText(a, b) == 0;
}

int DvCompareText(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(LowerAscii(a[i]));
    const auto cb = static_cast<unsigned char>(LowerAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool DvStartsText(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && DvSameText(text.substr(0, prefix.size()), prefix);
}

bool DvEndsText(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         DvSameText(text.substr(text.size() - suffix.size()), suffix);
}

std::string DvLowerCaseAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = LowerAscii(c);
  return out;
}

std::string DvUpperCaseAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = UpperAscii(c);
  return out;
}

bool DvSameTextUnicode(std::string_view a, std::string_view b) {
  return DvCompareTextUnicode(a, b) == 0;
}

int DvCompareTextUnicode(std::string_view a, std::string_view b) {
  if (!DvIsValidUTF8(a) || !DvIsValidUTF8(b)) return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
  // Fold both (full folding: "ß" becomes "ss") and compare in code point order.
  icu::UnicodeString fa = ToUnicode(a);
  icu::UnicodeString fb = ToUnicode(b);
  fa.foldCase(U_FOLD_CASE_DEFAULT);
  fb.foldCase(U_FOLD_CASE_DEFAULT);
  const std::int8_t r = fa.compareCodePointOrder(fb);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

std::string DvLowerCase(std::string_view text) {
  icu::UnicodeString s = ToUnicode(text);
  s.toLower(icu::Locale::getRoot());
  return ToUTF8(s);
}

std::string DvUpperCase(std::string_view text) {
  icu::UnicodeString s = ToUnicode(text);
  s.toUpper(icu::Locale::getRoot());
  return ToUTF8(s);
}

// ---- Code pages ----

std::string DvByteOrderMarkCodePage(std::string_view bytes) {
  const auto b = [&](std::size_t i) -> unsigned {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0x100u;
  };
  if (b(0) == 0xEF && b(1) == 0xBB && b(2) == 0xBF) return "UTF-8";
  if (b(0) == 0xFF && b(1) == 0xFE && b(2) == 0 && b(3) == 0) return "UTF-32LE";
  if (b(0) == 0 && b(1) == 0 && b(2) == 0xFE && b(3) == 0xFF) return "UTF-32BE";
  if (b(0) == 0xFF && b(1) == 0xFE) return "UTF-16LE";
  if (b(0) == 0xFE && b(1) == 0xFF) return "UTF-16BE";
  return {};
}

std::string DvDetectCodePage(std::string_view bytes) {
  if (std::string bom = DvByteOrderMarkCodePage(bytes); !bom.empty()) return bom;
  const auto b = [&](std::size_t i) -> unsigned {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0x100u;
  };
  if (b(0) == '<' && b(1) == 0 && b(2) == 0 && b(3) == 0) return "UTF-32LE";
  if (b(0) == 0 && b(1) == 0 && b(2) == 0 && b(3) == '<') return "UTF-32BE";
  if (b(0) == '<' && b(1) == 0) return "UTF-16LE";
  if (b(0) == 0 && b(1) == '<') return "UTF-16BE";
  if (bytes.substr(0, 5) == "<?xml") {
    const std::size_t end = bytes.find("?>");
    const std::string_view decl = bytes.substr(
        0, end == std::string_view::npos ? std::min<std::size_t>(bytes.size(), 200) : end);
    std::string declared = DeclarationAttribute(decl, "encoding");
    // "<?xml" read byte by byte cannot be UTF-16 or UTF-32, whatever the declaration says (a
    // document re-encoded without updating its declaration).
    if (DvStartsText(declared, "utf-16") || DvStartsText(declared, "utf-32") ||
        DvStartsText(declared, "ucs-") || DvStartsText(declared, "unicode")) {
      return "UTF-8";
    }
    return declared;
  }
  return {};
}

std::string DvCodePageToUTF8(std::string_view bytes, std::string_view codePage) {
  std::string cp = DvByteOrderMarkCodePage(bytes);
  if (cp.empty()) cp = std::string(codePage);
  if (cp.empty()) cp = DvDetectCodePage(bytes);
  if (cp.empty()) cp = "UTF-8";
  const TConverterPtr cnv = OpenConverter(cp);
  UErrorCode err = U_ZERO_ERROR;
  // Every byte gives at most one UTF-16 unit, except in multi-byte sets where it gives fewer.
  std::vector<UChar> units(bytes.size() + 1);
  std::int32_t len = ucnv_toUChars(cnv.get(), units.data(), static_cast<std::int32_t>(units.size()),
                                   bytes.data(), static_cast<std::int32_t>(bytes.size()), &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    err = U_ZERO_ERROR;
    units.resize(static_cast<std::size_t>(len) + 1);
    ucnv_resetToUnicode(cnv.get());
    len = ucnv_toUChars(cnv.get(), units.data(), static_cast<std::int32_t>(units.size()),
                        bytes.data(), static_cast<std::int32_t>(bytes.size()), &err);
  }
  if (U_FAILURE(err)) {
    throw EConvertError("Cannot convert text from code page \"" + std::string(codePage) + "\"");
  }
  std::int32_t start = len > 0 && units[0] == 0xFEFF ? 1 : 0;
  std::string out;
  out.resize(static_cast<std::size_t>(len - start) * 3 + 1);
  std::int32_t outLen = 0;
  err = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<std::int32_t>(out.size()), &outLen,
                     units.data() + start, len - start, 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) {
    throw EConvertError("Cannot convert text from code page \"" + std::string(codePage) + "\"");
  }
  out.resize(static_cast<std::size_t>(outLen));
  return out;
}

std::string DvUTF8ToCodePage(std::string_view text, std::string_view codePage) {
  const TConverterPtr cnv = OpenConverter(codePage);
  const icu::UnicodeString u = ToUnicode(text);
  UErrorCode err = U_ZERO_ERROR;
  const std::int32_t need = ucnv_fromUChars(cnv.get(), nullptr, 0, u.getBuffer(), u.length(), &err);
  if (err != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(err)) {
    throw EConvertError("Cannot convert text to code page \"" + std::string(codePage) + "\"");
  }
  std::string out(static_cast<std::size_t>(need), '\0');
  err = U_ZERO_ERROR;
  ucnv_fromUChars(cnv.get(), out.data(), need, u.getBuffer(), u.length(), &err);
  if (U_FAILURE(err) && err != U_STRING_NOT_TERMINATED_WARNING) {
    throw EConvertError("Cannot convert text to code page \"" + std::string(codePage) + "\"");
  }
  return out;
}

std::string DvCharsetFromContentType(std::string_view contentType) {
  std::size_t pos = 0;
  while (pos < contentType.size()) {
    const std::size_t semi = contentType.find(';', pos);
    if (semi == std::string_view::npos) return {};
    pos = semi + 1;
    std::string param = DvTrim(contentType.substr(pos, contentType.find(';', pos) - pos));
    if (DvStartsText(param, "charset=")) {
      std::string value = DvTrim(std::string_view(param).substr(8));
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
  }
  return {};
}

bool DvIsValidUTF8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (s[i] < 0x80) {
      ++i;
      continue;
    }
    std::uint32_t cp;
    const std::size_t len = DvDecodeUTF8(s + i, bytes.size() - i, cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// ---- MIME types ----

namespace {

struct TMimeEntry {
  const char* ext;
  const char* mime;
};

// Extension to MIME type; the first entry for a MIME type gives its usual extension.
constexpr TMimeEntry kMimeTypes[] = {
    {".txt", "text/plain"},
    {".htm", "text/html"},
    {".html", "text/html"},
    {".css", "text/css"},
    {".csv", "text/csv"},
    {".xml", "text/xml"},
    {".xsl", "text/xml"},
    {".rtf", "application/rtf"},
    {".ics", "text/calendar"},
    {".vcf", "text/vcard"},
    {".js", "application/javascript"},
    {".json", "application/json"},
    {".eml", "message/rfc822"},
    {".msg", "application/vnd.ms-outlook"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".png", "image/png"},
    {".gif", "image/gif"},
    {".bmp", "image/bmp"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".ico", "image/x-icon"},
    {".svg", "image/svg+xml"},
    {".webp", "image/webp"},
    {".pdf", "application/pdf"},
    {".zip", "application/zip"},
    {".gz", "application/gzip"},
    {".tar", "application/x-tar"},
    {".7z", "application/x-7z-compressed"},
    {".rar", "application/vnd.rar"},
    {".doc", "application/msword"},
    {".dot", "application/msword"},
    {".docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {".xls", "application/vnd.ms-excel"},
    {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {".odt", "application/vnd.oasis.opendocument.text"},
    {".ods", "application/vnd.oasis.opendocument.spreadsheet"},
    {".odp", "application/vnd.oasis.opendocument.presentation"},
    {".mp3", "audio/mpeg"},
    {".wav", "audio/wav"},
    {".ogg", "audio/ogg"},
    {".wma", "audio/x-ms-wma"},
    {".mp4", "video/mp4"},
    {".mpg", "video/mpeg"},
    {".mpeg", "video/mpeg"},
    {".avi", "video/x-msvideo"},
    {".mov", "video/quicktime"},
    {".wmv", "video/x-ms-wmv"},
    {".exe", "application/x-msdownload"},
    {".dll", "application/x-msdownload"},
    {".bin", "application/octet-stream"},
};

}  // namespace

std::string DvMimeTypeFromFileName(std::string_view fileName) {
  const std::size_t slash = fileName.find_last_of("/\\");
  if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
  const std::size_t dot = fileName.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view ext = fileName.substr(dot);
    for (const TMimeEntry& e : kMimeTypes) {
      if (DvSameText(ext, e.ext)) return e.mime;
    }
  }
  return "application/octet-stream";
}

std::string DvExtensionFromMimeType(std::string_view mimeType) {
  const std::string_view bare = mimeType.substr(0, mimeType.find(';'));
  const std::string type = DvTrim(bare);
  if (DvSameText(type, "image/jpg")) return ".jpg";  // a common misspelling of image/jpeg
  for (const TMimeEntry& e : kMimeTypes) {
    if (DvSameText(type, e.mime)) return e.ext;
  }
  return {};
}

// ---- HTML ----

const TDvHTMLAttribute* TDvHTMLTag::Find(std::string_view name) const {
  for (const TDvHTMLAttribute& a : Attributes) {
    if (DvSameText(a.Name, name)) return &a;
  }
  return nullptr;
}

std::vector<TDvHTMLTag> DvScanHTMLTags(std::string_view html, std::string_view tagName) {
  std::vector<TDvHTMLTag> tags;
  const std::size_t n = html.size();
  const auto isNameEnd = [](char c) { return IsSpace(c) || c == '>' || c == '/' || c == '='; };
  std::size_t pos = 0;
  while ((pos = html.find('<', pos)) != std::string_view::npos) {
    if (html.substr(pos, 4) == "<!--") {
      const std::size_t end = html.find("-->", pos + 4);
      if (end == std::string_view::npos) break;
      pos = end + 3;
      continue;
    }
    std::size_t p = pos + 1;
    while (p < n && !isNameEnd(html[p]))
      ++p;
    const std::string_view name = html.substr(pos + 1, p - pos - 1);
    if (!DvSameText(name, tagName)) {
      ++pos;
      continue;
    }
    TDvHTMLTag tag;
    tag.Offset = pos;
    tag.Name = std::string(name);
    bool closed = false;
    while (p < n) {
      while (p < n && (IsSpace(html[p]) || html[p] == '/'))
        ++p;
      if (p >= n) break;
      if (html[p] == '>') {
        closed = true;
        ++p;
        break;
      }
      const std::size_t nameStart = p;
      while (p < n && !isNameEnd(html[p]))
        ++p;
      TDvHTMLAttribute attr;
      attr.Name = std::string(html.substr(nameStart, p - nameStart));
      if (p == nameStart) ++p;  // a stray '=': skip it
      std::size_t q = p;
      while (q < n && IsSpace(html[q]))
        ++q;
      if (q < n && html[q] == '=') {
        ++q;
        while (q < n && IsSpace(html[q]))
          ++q;
        if (q < n && (html[q] == '"' || html[q] == '\'')) {
          const char quote = html[q];
          const std::size_t end = html.find(quote, q + 1);
          if (end == std::string_view::npos) break;
          attr.ValueOffset = q + 1;
          attr.ValueLength = end - q - 1;
          p = end + 1;
        } else {
          const std::size_t start = q;
          while (q < n && !IsSpace(html[q]) && html[q] != '>')
            ++q;
          attr.ValueOffset = start;
          attr.ValueLength = q - start;
          p = q;
        }
        attr.Value = std::string(html.substr(attr.ValueOffset, attr.ValueLength));
      } else {
        attr.ValueOffset = p;
      }
      if (!attr.Name.empty()) tag.Attributes.push_back(std::move(attr));
    }
    if (!closed) break;
    tag.Length = p - pos;
    tags.push_back(std::move(tag));
    pos = p;
  }
  return tags;
}

// ---- GUIDs ----

bool DvTryStringToGUID(std::string_view text, TGUID& guid) {
  std::string_view s = text;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  std::string hex;
  if (s.size() == 36) {
    for (std::size_t i = 0; i < s.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      if (dash != (s[i] == '-')) return false;
      if (!dash) hex += s[i];
    }
  } else if (s.size() == 32) {
    hex = std::string(s);
  } else {
    return false;
  }
  std::uint8_t b[16];
  for (int i = 0; i < 16; ++i) {
    const int hi = HexValue(hex[2 * i]);
    const int lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    b[i] = static_cast<std::uint8_t>(hi * 16 + lo);
  }
  guid.D1 =
      (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
  guid.D2 = static_cast<std::uint16_t>((b[4] << 8) | b[5]);
  guid.D3 = static_cast<std::uint16_t>((b[6] << 8) | b[7]);
  std::copy(b + 8, b + 16, guid.D4.begin());
  return true;
}

TGUID DvStringToGUID(std::string_view text) {
  TGUID g;
  if (!DvTryStringToGUID(text, g)) {
    throw EConvertError("'" + std::string(text) + "' is not a valid GUID");
  }
  return g;
}

std::string DvGUIDToString(const TGUID& guid, bool braces, bool upperCase) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(guid.D1), guid.D2, guid.D3, guid.D4[0], guid.D4[1],
                guid.D4[2], guid.D4[3], guid.D4[4], guid.D4[5], guid.D4[6], guid.D4[7]);
  std::string s = upperCase ? std::string(buf) : DvLowerCaseAscii(buf);
  return braces ? "{" + s + "}" : s;
}

TBytes DvGUIDToBytes(const TGUID& guid) {
  TBytes b(16);
  for (int i = 0; i < 4; ++i)
    b[i] = static_cast<std::uint8_t>(guid.D1 >> (8 * i));
  for (int i = 0; i < 2; ++i)
    b[4 + i] = static_cast<std::uint8_t>(guid.D2 >> (8 * i));
  for (int i = 0; i < 2; ++i)
    b[6 + i] = static_cast<std::uint8_t>(guid.D3 >> (8 * i));
  std::copy(guid.D4.begin(), guid.D4.end(), b.begin() + 8);
  return b;
}

TGUID DvBytesToGUID(const TBytes& b) {
  if (b.size() != 16) throw EConvertError("A GUID is 16 bytes");
  TGUID g;
  g.D1 = std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
         (std::uint32_t{b[3]} << 24);
  g.D2 = static_cast<std::uint16_t>(b[4] | (b[5] << 8));
  g.D3 = static_cast<std::uint16_t>(b[6] | (b[7] << 8));
  std::copy(b.begin() + 8, b.end(), g.D4.begin());
  return g;
}

TGUID DvNewGUID() {
  TBytes b(16);
  if (RAND_bytes(b.data(), 16) != 1) throw Exception("Cannot create a random GUID");
  TGUID g = DvBytesToGUID(b);
  g.D3 = static_cast<std::uint16_t>((g.D3 & 0x0FFF) | 0x4000);   // version 4
  g.D4[0] = static_cast<std::uint8_t>((g.D4[0] & 0x3F) | 0x80);  // RFC 4122 variant
  return g;
}

// ---- UTF-16 ----

std::size_t DvUTF16Length(std::string_view utf8) {
  std::size_t n = 0;
  for (char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) != 0x80) ++n;  // a lead byte starts a character
    if ((c & 0xF8) == 0xF0) ++n;  // four-byte sequences need a surrogate pair
  }
  return n;
}

std::u16string DvUTF8ToUTF16(std::string_view utf8) {
  const icu::UnicodeString u = ToUnicode(utf8);
  return std::u16string(u.getBuffer(), static_cast<std::size_t>(u.length()));
}

std::string DvUTF16ToUTF8(std::u16string_view utf16) {
  std::string out(utf16.size() * 3 + 1, '\0');
  std::int32_t len = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data(), static_cast<std::int32_t>(out.size()), &len, utf16.data(),
                     static_cast<std::int32_t>(utf16.size()), 0xFFFD, nullptr, &err);
  if (U_FAILURE(err)) throw EConvertError("Invalid UTF-16 text");
  out.resize(static_cast<std::size_t>(len));
  return out;
}

void DvAppendUTF8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t DvDecodeUTF8(const unsigned char* s, std::size_t n, std::uint32_t& cp) {
  const unsigned char c = s[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  std::size_t len;
  std::uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (std::size_t i = 1; i < len; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace dv
