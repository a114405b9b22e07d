// Small helpers shared by the simulator: XML access by local name, escaping, date-times, Base64.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace ewssim {

inline constexpr const char* kNsSoap = "http://schemas.xmlsoap.org/soap/envelope/";
inline constexpr const char* kNsTypes = "http://schemas.microsoft.com/exchange/services/2006/types";
inline constexpr const char* kNsMessages =
    "http://schemas.microsoft.com/exchange/services/2006/messages";
inline constexpr const char* kNsErrors =
    "http://schemas.microsoft.com/exchange/services/2006/errors";

// An EWS-level failure of one response message (or of the whole request when it escapes).
struct EwsError {
  std::string code;
  std::string text;
};
[[noreturn]] void Fail(std::string code, std::string text);
[[noreturn]] void FailCode(const std::string& code);  // with the standard text of that code
std::string StandardText(const std::string& code);

std::string_view LocalName(const pugi::xml_node& n);
pugi::xml_node Child(const pugi::xml_node& n, std::string_view local);
std::vector<pugi::xml_node> Children(const pugi::xml_node& n, std::string_view local);
std::vector<pugi::xml_node> Elements(const pugi::xml_node& n);
std::string Text(const pugi::xml_node& n);
std::string ChildText(const pugi::xml_node& n, std::string_view local);
std::string Attr(const pugi::xml_node& n, const char* name);

void AppendEscaped(std::string& out, std::string_view s);
void AppendAttrEscaped(std::string& out, std::string_view s);
std::string Escape(std::string_view s);

bool ParseBool(std::string_view s, bool& value);
std::string BoolText(bool b);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Lower(std::string_view s);

// Date-times as milliseconds since 1970-01-01 UTC.
int64_t NowMs();
// Parses an xs:dateTime; a value without zone is local time of tzId (a Windows zone id, empty =
// UTC).
std::optional<int64_t> ParseDateTime(std::string_view s, const std::string& tzId = {});
std::string FormatDateTime(int64_t ms);  // "YYYY-MM-DDThh:mm:ssZ"
std::string FormatRfc2822(int64_t ms);   // "Tue, 05 Dec 2026 14:00:00 +0000"

std::string Base64Encode(std::string_view bytes);
std::optional<std::string> Base64Decode(std::string_view text);
std::string HexEncode(std::string_view bytes);
std::optional<std::string> HexDecode(std::string_view text);
// The byte written as two hex digits at text[i] and text[i + 1]; none when there are not two.
std::optional<char> HexByteAt(std::string_view text, std::size_t i);
// Decodes "%HH" escapes (URL paths and query texts; with plusIsSpace "+" is a space, as in form
// fields); a "%" not followed by two hex digits stays as written.
std::string PercentDecode(std::string_view text, bool plusIsSpace);

// Serialises a pugixml subtree as it stands (used for echoing and storage of fragments).
std::string OuterXml(const pugi::xml_node& n);

}  // namespace ewssim
