// Fuzz target: what the HTTP layer reads from servers and users: URLs, percent-encoded text,
// header fields and Set-Cookie values. The input is lines: the first a URL, the others
// "Name: value" header fields (Set-Cookie ones go to a cookie list as received from the URL).
// URL parsing raises only EConvertError; encoding then decoding gives the text back; and the
// Cookie header built from stored cookies never carries a line break (header injection).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "DvHTTP.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> lines = Lines(text);
  if (lines.empty()) return 0;

  dv::TDvURLData url;
  try {
    url = dv::DvDecodeURL(lines[0]);
    (void)url.GetDefaultPort();
    (void)url.GetPathOrRoot();
  } catch (const dv::EConvertError&) {
    url = dv::DvDecodeURL("https://mail.example.com/EWS/Exchange.asmx");
  }
  for (bool plus : {false, true})
    (void)dv::DvURLDecode(lines[0], plus);
  Check(dv::DvURLDecode(dv::DvURLEncode(lines[0])) == lines[0]);

  dv::TDvHTTPHeaders headers;
  dv::TDvHTTPCookieList cookies;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon), value = line.substr(colon + 1);
    headers.Add(name, value);
    Check(headers.Has(name));
    if (name == "Set-Cookie") {
      dv::TDvHTTPCookie cookie;
      (void)dv::DvParseSetCookie(value, url, cookie);
      cookies.Add(url, value);
    }
  }
  for (const auto& [name, value] : headers.Items())
    (void)headers.GetValues(name);
  const std::string cookieHeader = cookies.GetCookieHeader(url);
  Check(cookieHeader.find_first_of("\r\n") == std::string::npos);
  for (int i = 0; i < cookies.Count(); ++i)
    (void)cookies.GetValue(cookies.GetItem(i).Name);
  return 0;
}
