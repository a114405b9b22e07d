#include "util.h"

#include <openssl/evp.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "timezones.h"

namespace ewssim {

namespace {
const std::map<std::string, std::string>& Texts() {
  static const std::map<std::string, std::string> texts = {
      {"ErrorItemNotFound", "The specified object was not found in the store."},
      {"ErrorFolderNotFound", "The specified folder could not be found in the store."},
      {"ErrorParentFolderNotFound", "The specified parent folder could not be found."},
      {"ErrorInvalidIdMalformed", "Id is malformed."},
      {"ErrorInvalidIdEmpty", "Id must be non-empty."},
      {"ErrorInvalidChangeKey", "The change key is invalid."},
      {"ErrorIrresolvableConflict",
       "The send or update operation could not be performed because the change key passed in the "
       "request does not match the current change key for the item."},
      {"ErrorAccessDenied", "Access is denied. Check credentials and try again."},
      {"ErrorInvalidPropertyRequest", "Property is not valid for this object type."},
      {"ErrorInvalidPropertySet", "Property is not valid for this object type."},
      {"ErrorInvalidPropertyForOperation", "This property is not valid for this operation."},
      {"ErrorDeleteDistinguishedFolder", "Distinguished folders cannot be deleted."},
      {"ErrorMoveDistinguishedFolder", "Cannot move distinguished folder."},
      {"ErrorFolderExists", "A folder with the specified name already exists."},
      {"ErrorMoveCopyFailed", "The move or copy operation failed."},
      {"ErrorNonExistentMailbox", "The SMTP address has no mailbox associated with it."},
      {"ErrorNameResolutionNoResults", "No results were found."},
      {"ErrorNameResolutionMultipleResults", "Multiple results were found."},
      {"ErrorImpersonateUserDenied",
       "The account does not have permission to impersonate the requested user."},
      {"ErrorInvalidServerVersion", "The specified server version is invalid."},
      {"ErrorInvalidRequest", "The request is invalid."},
      {"ErrorInvalidOperation", "The operation is not valid."},

      {"ErrorInvalidAttachmentId", "The attachment id is invalid."},
      {"ErrorUnsupportedMimeConversion", "Mime conversion is not supported for this item type."},
      {"ErrorInvalidSendItemSaveSettings",
       "SavedItemFolderId is not allowed with SendOnly or SaveOnly."},
      {"ErrorItemSave", "The item could not be saved."},
      {"ErrorMessageDispositionRequired", "MessageDisposition attribute is required."},
      {"ErrorSavedItemFolderNotFound", "The specified saved item folder could not be found."},
      {"ErrorInvalidItemForOperationSendItem", "The item is invalid for the SendItem operation."},
      {"ErrorMimeContentConversionFailed", "The MIME content could not be converted."},
      {"ErrorInvalidRecipients", "At least one recipient is not valid."},
      {"ErrorCannotEmptyFolder", "The folder cannot be emptied."},
      {"ErrorCalendarViewRangeTooBig",
       "The specified view range exceeds the maximum range of two years."},
      {"ErrorTimeZone", "The time zone is invalid."},
      {"ErrorIncorrectUpdatePropertyCount",
       "An object within a change description must contain one and only one property to modify."},
      {"ErrorInvalidValueForProperty", "The value is invalid for property."},
      {"ErrorInvalidExtendedProperty", "The extended property attribute combination is invalid."},
      {"ErrorInvalidIndexedPagingParameters", "The offset is out of range."},
      {"ErrorUnsupportedPathForQuery", "The property path is not supported for this query."},
      {"ErrorCannotDeleteObject", "The object cannot be deleted."},
      {"ErrorInternalServerError", "An internal server error occurred. The operation failed."},
  };
  return texts;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int>(yy + (m <= 2));
}

bool Digits(std::string_view s, size_t pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}
}  // namespace

std::string StandardText(const std::string& code) {
  auto it = Texts().find(code);
  return it == Texts().end() ? "The request failed." : it->second;
}

void Fail(std::string code, std::string text) {
  throw EwsError{std::move(code), std::move(text)};
}
void FailCode(const std::string& code) {
  throw EwsError{code, StandardText(code)};
}

std::string_view LocalName(const pugi::xml_node& n) {
  std::string_view name = n.name();
  auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node Child(const pugi::xml_node& n, std::string_view local) {
  for (auto c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && LocalName(c) == local) return c;
  return {};
}

std::vector<pugi::xml_node> Children(const pugi::xml_node& n, std::string_view local) {
  std::vector<pugi::xml_node> out;
  for (auto c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && LocalName(c) == local) out.push_back(c);
  return out;
}

std::vector<pugi::xml_node> Elements(const pugi::xml_node& n) {
  std::vector<pugi::xml_node> out;
  for (auto c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) out.push_back(c);
  return out;
}

std::string Text(const pugi::xml_node& n) {
  std::string out;
  for (auto c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) out += c.value();
  return out;
}

std::string ChildText(const pugi::xml_node& n, std::string_view local) {
  auto c = Child(n, local);
  return c ? Text(c) : std::string();
}

std::string Attr(const pugi::xml_node& n, const char* name) {
  auto a = n.attribute(name);
  return a ? std::string(a.value()) : std::string();
}

void AppendEscaped(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#xD;";
        break;
      default:
        out += c;
    }
  }
}

void AppendAttrEscaped(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\n':
        out += "&#xA;";
        break;
      case '\r':
        out += "&#xD;";
        break;
      case '\t':
        out += "&#x9;";
        break;
      default:
        out += c;
    }
  }
}

std::string Escape(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  AppendEscaped(out, s);
  return out;
}

bool ParseBool(std::string_view s, bool& value) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t'))
    s.remove_suffix(1);
  if (s == "true" || s == "1") {
    value = true;
    return true;
  }
  if (s == "false" || s == "0") {
    value = false;
    return true;
  }
  return false;
}

std::string BoolText(bool b) {
  return b ? "true" : "false";
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (auto& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<int64_t> ParseDateTime(std::string_view s, const std::string& tzId) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n'))
    s.remove_suffix(1);
  int y, mo, d, h = 0, mi = 0, sec = 0;
  if (!Digits(s, 0, 4, y) || s.size() < 10 || s[4] != '-' || !Digits(s, 5, 2, mo) || s[7] != '-' ||
      !Digits(s, 8, 2, d))
    return std::nullopt;
  size_t pos = 10;
  if (pos < s.size() && s[pos] == 'T') {
    if (!Digits(s, 11, 2, h) || s.size() < 19 || s[13] != ':' || !Digits(s, 14, 2, mi) ||
        s[16] != ':' || !Digits(s, 17, 2, sec))
      return std::nullopt;
    pos = 19;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 24 || mi > 59 || sec > 60) return std::nullopt;
  int ms = 0;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    int scale = 100;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
      ms += (s[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
  }
  int64_t t = (DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 +
               h * 3600 + mi * 60 + sec) *
                  1000 +
              ms;
  if (pos == s.size()) {
    if (!tzId.empty()) t -= LocalOffsetMs(tzId, t);
    return t;
  }
  if (s[pos] == 'Z' && pos + 1 == s.size()) return t;
  if ((s[pos] == '+' || s[pos] == '-') && s.size() == pos + 6 && s[pos + 3] == ':') {
    int oh, om;
    if (!Digits(s, pos + 1, 2, oh) || !Digits(s, pos + 4, 2, om)) return std::nullopt;
    int64_t off = (oh * 60 + om) * 60000LL;
    return s[pos] == '+' ? t - off : t + off;
  }
  return std::nullopt;
}

std::string FormatDateTime(int64_t ms) {
  int64_t secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
  int64_t rem = secs - days * 86400;
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02dZ", y, m, d,
                static_cast<int>(rem / 3600), static_cast<int>(rem / 60 % 60),
                static_cast<int>(rem % 60));
  return buf;
}

std::string FormatRfc2822(int64_t ms) {
  static const char* kDays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int64_t secs = ms / 1000;
  int64_t days = secs / 86400;
  int64_t rem = secs % 86400;
  int y;
  unsigned m, d;
  CivilFromDays(days, y, m, d);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d +0000",
                kDays[((days % 7) + 7) % 7], d, kMonths[m - 1], y, static_cast<int>(rem / 3600),
                static_cast<int>(rem / 60 % 60), static_cast<int>(rem % 60));
  return buf;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  return out;
}

std::optional<std::string> Base64Decode(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    if (c != '\r' && c != '\n' && c != ' ' && c != '\t') clean += c;
  if (clean.size() % 4 != 0) return std::nullopt;
  if (clean.empty()) return std::string();
  std::string out(clean.size() / 4 * 3 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(clean.data()),
                          static_cast<int>(clean.size()));
  if (n < 0) return std::nullopt;
  size_t len = static_cast<size_t>(n);
  if (clean.size() >= 1 && clean[clean.size() - 1] == '=') --len;
  if (clean.size() >= 2 && clean[clean.size() - 2] == '=') --len;
  out.resize(len);
  return out;
}

std::string HexEncode(std::string_view bytes) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::optional<std::string> HexDecode(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto byte = HexByteAt(text, i);
    if (!byte) return std::nullopt;
    out += *byte;
  }
  return out;
}

std::optional<char> HexByteAt(std::string_view text, std::size_t i) {
  auto val = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (i + 1 >= text.size()) return std::nullopt;
  const int a = val(text[i]), b = val(text[i + 1]);
  if (a < 0 || b < 0) return std::nullopt;
  return static_cast<char>(a * 16 + b);
}

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::optional<char> byte;
    if (c == '%' && (byte = HexByteAt(text, i + 1))) {
      out += *byte;
      i += 2;
    } else {
      out += plusIsSpace && c == '+' ? ' ' : c;
    }
  }
  return out;
}

std::string OuterXml(const pugi::xml_node& n) {
  std::ostringstream os;
  n.print(os, "", pugi::format_raw);
  return os.str();
}

}  // namespace ewssim
