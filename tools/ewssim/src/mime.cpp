#include "mime.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <cstring>
#include <map>
#include <memory>

#include "util.h"

namespace ewssim {

namespace {

bool IsAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80 || c == '\r' || c == '\n') return false;
  return true;
}

std::string EncodeWord(const std::string& s) {
  return IsAscii(s) ? s : "=?utf-8?B?" + Base64Encode(s) + "?=";
}

std::string AddressHeader(const std::vector<Recipient>& list) {
  std::string out;
  for (auto& a : list) {
    if (!out.empty()) out += ", ";
    if (!a.name.empty()) {
      out += '"';
      out += EncodeWord(a.name);
      out += "\" ";
    }
    out += '<';
    out += a.email;
    out += '>';
  }
  return out;
}

std::string Wrap76(const std::string& b64) {
  std::string out;
  for (size_t i = 0; i < b64.size(); i += 76)
    out += b64.substr(i, 76) + "\r\n";
  return out;
}

// ---- parsing

// A MIME part of the message being read. The body is a view into the message's bytes, so that
// nested parts cost no copies (memory stays linear in the input whatever the depth).
struct Part {
  std::map<std::string, std::string> headers;  // lower-case names, unfolded values
  // Every header as written (name as given, unfolded value), in order.
  std::vector<std::pair<std::string, std::string>> ordered;
  std::string_view body;
};

// Multipart nesting deeper than this is refused as content that cannot be converted; mail
// clients nest a few levels (mixed > alternative > related), so this leaves ample room.
constexpr int kMaxMimeDepth = 64;

Part ParsePart(std::string_view text) {
  Part p;
  size_t pos = 0;
  std::string lastName;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = eol + 1;
    if (line.empty()) break;
    if ((line[0] == ' ' || line[0] == '\t') && !lastName.empty()) {
      std::string& value = p.headers[lastName];
      value += ' ';
      value.append(line.substr(line.find_first_not_of(" \t")));
      p.ordered.back().second = value;
      continue;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    lastName = Lower(std::string(line.substr(0, colon)));
    std::string value(line.substr(colon + 1));
    value.erase(0, value.find_first_not_of(" \t"));
    p.headers[lastName] = value;
    p.ordered.emplace_back(std::string(line.substr(0, colon)), value);
  }
  p.body = pos < text.size() ? text.substr(pos) : std::string_view();
  return p;
}

// Text in a named character set as UTF-8; none when ICU does not know the set or the bytes do not
// convert.
std::optional<std::string> ToUtf8(std::string_view bytes, std::string charset) {
  auto star = charset.find('*');  // RFC 2231 language suffix: "iso-8859-1*en"
  if (star != std::string::npos) charset.erase(star);
  std::string lower = Lower(charset);
  if (lower.empty() || lower == "utf-8" || lower == "utf8" || lower == "us-ascii")
    return std::string(bytes);
  UErrorCode err = U_ZERO_ERROR;
  std::unique_ptr<UConverter, void (*)(UConverter*)> cnv(ucnv_open(charset.c_str(), &err),
                                                         ucnv_close);
  if (U_FAILURE(err) || !cnv) return std::nullopt;
  icu::UnicodeString text(bytes.data(), static_cast<int32_t>(bytes.size()), cnv.get(), err);
  if (U_FAILURE(err)) return std::nullopt;
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string HeaderParam(const std::string& value, const std::string& param) {
  std::string lower = Lower(value);
  auto p = lower.find(param + "=");
  if (p == std::string::npos) return {};
  p += param.size() + 1;
  if (p < value.size() && value[p] == '"') {
    auto end = value.find('"', p + 1);
    return value.substr(p + 1, end == std::string::npos ? std::string::npos : end - p - 1);
  }
  auto end = value.find_first_of("; \t", p);
  return value.substr(p, end == std::string::npos ? std::string::npos : end - p);
}

std::string DecodeQP(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '=' && i + 1 < s.size() && (s[i + 1] == '\r' || s[i + 1] == '\n')) {
      i += s[i + 1] == '\r' && i + 2 < s.size() && s[i + 2] == '\n' ? 2 : 1;
    } else if (const auto byte = s[i] == '=' ? HexByteAt(s, i + 1) : std::nullopt) {
      out += *byte;
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string DecodeBody(const Part& p) {
  auto it = p.headers.find("content-transfer-encoding");
  std::string enc = it == p.headers.end() ? "" : Lower(it->second);
  if (enc == "base64") return Base64Decode(p.body).value_or(std::string());
  if (enc == "quoted-printable") return DecodeQP(p.body);
  std::string body(p.body);
  // Normalise line ends to the ones the message came with less a trailing CRLF.
  while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
    body.pop_back();
  return body;
}

std::string DecodeWords(const std::string& s) {
  std::string out;
  size_t pos = 0;
  while (pos < s.size()) {
    auto start = s.find("=?", pos);
    if (start == std::string::npos) {
      out += s.substr(pos);
      break;
    }
    auto q1 = s.find('?', start + 2);
    auto q2 = q1 == std::string::npos ? q1 : s.find('?', q1 + 1);
    auto end = q2 == std::string::npos ? q2 : s.find("?=", q2 + 1);
    if (end == std::string::npos) {
      out += s.substr(pos);
      break;
    }
    std::string between = s.substr(pos, start - pos);
    if (between.find_first_not_of(" \t") != std::string::npos) out += between;
    char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(s[q1 + 1])));
    std::string text = s.substr(q2 + 1, end - q2 - 1);
    std::string bytes;
    if (enc == 'B') {
      bytes = Base64Decode(text).value_or(text);
    } else {
      for (auto& c : text)
        if (c == '_') c = ' ';
      bytes = DecodeQP(text);
    }
    // A word in a character set that cannot be converted stays as written.
    auto utf8 = ToUtf8(bytes, s.substr(start + 2, q1 - start - 2));
    out += utf8 ? *utf8 : s.substr(start, end + 2 - start);
    pos = end + 2;
  }
  return out;
}

std::vector<Recipient> ParseAddresses(const std::string& value) {
  std::vector<Recipient> out;
  std::string cur;
  bool quoted = false;
  int angle = 0;
  auto flush = [&] {
    std::string s = cur;
    cur.clear();
    s.erase(0, s.find_first_not_of(" \t"));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
      s.pop_back();
    if (s.empty()) return;
    Recipient a;
    auto lt = s.find('<');
    if (lt != std::string::npos) {
      auto gt = s.find('>', lt);
      a.email = s.substr(lt + 1, gt == std::string::npos ? std::string::npos : gt - lt - 1);
      std::string name = s.substr(0, lt);
      while (!name.empty() && (name.back() == ' '))
        name.pop_back();
      if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
      a.name = DecodeWords(name);
    } else {
      a.email = s;
    }
    out.push_back(a);
  };
  for (char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == '<') ++angle;
    if (c == '>') --angle;
    if (c == ',' && !quoted && angle == 0) {
      flush();
      continue;
    }
    cur += c;
  }
  flush();
  return out;
}

std::optional<int64_t> ParseRfc2822Date(std::string s) {
  static const char* months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                 "jul", "aug", "sep", "oct", "nov", "dec"};
  auto comma = s.find(',');
  if (comma != std::string::npos) s = s.substr(comma + 1);
  int d = 0, y = 0, h = 0, mi = 0, sec = 0;
  char mon[8] = {0}, zone[16] = {0};
  if (std::sscanf(s.c_str(), " %d %3s %d %d:%d:%d %15s", &d, mon, &y, &h, &mi, &sec, zone) < 5)
    return std::nullopt;
  int m = 0;
  for (int i = 0; i < 12; ++i)
    if (Lower(mon) == months[i]) m = i + 1;
  if (!m) return std::nullopt;
  char iso[64];
  std::string z = zone;
  std::string off = "Z";
  if (z.size() == 5 && (z[0] == '+' || z[0] == '-')) off = z.substr(0, 3) + ":" + z.substr(3);
  std::snprintf(iso, sizeof iso, "%04d-%02d-%02dT%02d:%02d:%02d%s", y, m, d, h, mi, sec,
                off.c_str());
  return ParseDateTime(iso);
}

std::string MailboxXml(const Recipient& a) {
  std::string out = "<t:Mailbox>";
  if (!a.name.empty()) out += "<t:Name>" + Escape(a.name) + "</t:Name>";
  out += "<t:EmailAddress>" + Escape(a.email) +
         "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>Mailbox</"
         "t:MailboxType></t:Mailbox>";
  return out;
}

Field AddressField(const std::string& element, const std::vector<Recipient>& list, bool single) {
  Field f;
  f.xml = "<t:" + element + ">";
  for (auto& a : list) {
    f.xml += MailboxXml(a);
    if (!a.name.empty()) f.values.push_back(a.name);
    f.values.push_back(a.email);
    if (single) break;
  }
  f.xml += "</t:" + element + ">";
  return f;
}

// The decoded text of a text part, converted from its charset to UTF-8.
std::string DecodeText(const Part& p, const std::string& ctype) {
  std::string body = DecodeBody(p);
  std::string charset = HeaderParam(ctype, "charset");
  auto utf8 = ToUtf8(body, charset);
  return utf8 ? *utf8 : body;
}

void Walk(const Part& part, Item& item, std::string& text, std::string& html, int depth = 0) {
  auto it = part.headers.find("content-type");
  std::string ctype = it == part.headers.end() ? "text/plain" : it->second;
  std::string lower = Lower(ctype);
  std::string disposition;
  if (auto d = part.headers.find("content-disposition"); d != part.headers.end())
    disposition = d->second;
  if (lower.rfind("multipart/", 0) == 0) {
    if (depth >= kMaxMimeDepth)
      Fail("ErrorMimeContentConversionFailed",
           "The MIME content could not be converted: its parts are nested too deeply.");
    std::string boundary = "--" + HeaderParam(ctype, "boundary");
    size_t pos = part.body.find(boundary);
    while (pos != std::string_view::npos) {
      pos += boundary.size();
      if (part.body.compare(pos, 2, "--") == 0) break;
      size_t next = part.body.find(boundary, pos);
      std::string_view chunk = part.body.substr(
          pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
      size_t lead = chunk.find_first_not_of("\r\n");
      chunk.remove_prefix(lead == std::string_view::npos ? 0 : std::min(lead, size_t(2)));
      Walk(ParsePart(chunk), item, text, html, depth + 1);
      pos = next;
    }
    return;
  }
  bool attachment = Lower(disposition).rfind("attachment", 0) == 0 ||
                    (lower.rfind("text/", 0) != 0 && lower.rfind("multipart/", 0) != 0);
  if (!attachment) {
    if (lower.rfind("text/html", 0) == 0 && html.empty())
      html = DecodeText(part, ctype);
    else if (lower.rfind("text/plain", 0) == 0 && text.empty())
      text = DecodeText(part, ctype);
    return;
  }
  Attachment a;
  a.name = DecodeWords(HeaderParam(disposition, "filename"));
  if (a.name.empty()) a.name = DecodeWords(HeaderParam(ctype, "name"));
  a.contentType = ctype.substr(0, ctype.find(';'));
  a.content = DecodeBody(part);
  a.lastModified = NowMs();
  if (auto cid = part.headers.find("content-id"); cid != part.headers.end()) {
    a.contentId = cid->second;
    if (a.contentId.size() > 2 && a.contentId.front() == '<')
      a.contentId = a.contentId.substr(1, a.contentId.size() - 2);
  }
  a.isInline = Lower(disposition).rfind("inline", 0) == 0;
  a.num = item.nextAttachment++;
  item.attachments.push_back(std::move(a));
}

}  // namespace

std::string GenerateMime(const Mailbox& mbx, const Item& item) {
  std::string out;
  auto from = RecipientsOf(item, "From");
  if (from.empty()) from = RecipientsOf(item, "Sender");
  if (!from.empty()) out += "From: " + AddressHeader(from) + "\r\n";
  for (auto [el, hdr] : {std::pair{"ToRecipients", "To"}, std::pair{"CcRecipients", "Cc"}}) {
    auto list = RecipientsOf(item, el);
    if (!list.empty()) out += std::string(hdr) + ": " + AddressHeader(list) + "\r\n";
  }
  out += "Subject: " + EncodeWord(item.Value("Subject")) + "\r\n";
  int64_t date = item.created;
  if (auto t = ParseDateTime(item.Value("DateTimeSent"))) date = *t;
  out += "Date: " + FormatRfc2822(date) + "\r\n";
  std::string mid = item.Value("InternetMessageId");
  if (mid.empty())
    mid = "<" + std::to_string(item.id) + "." + std::to_string(item.created) + "@" +
          mbx.address.substr(mbx.address.find('@') + 1) + ">";
  out += "Message-ID: " + mid + "\r\nMIME-Version: 1.0\r\n";
  std::string bodyText = item.Value("Body");
  const Field* body = item.Get("Body");
  bool html = body && body->xml.find("BodyType=\"HTML\"") < body->xml.find('>');
  std::string bodyPart = std::string("Content-Type: ") + (html ? "text/html" : "text/plain") +
                         "; charset=\"utf-8\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                         Wrap76(Base64Encode(bodyText));
  if (item.attachments.empty()) return out + bodyPart;
  std::string boundary = "_ewssim_boundary_" + std::to_string(item.id) + "_";
  out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
  out += "--" + boundary + "\r\n" + bodyPart;
  for (auto& a : item.attachments) {
    out += "--" + boundary + "\r\n";
    if (a.isItem && a.item) {
      out += "Content-Type: message/rfc822\r\nContent-Disposition: attachment\r\n\r\n" +
             GenerateMime(mbx, *a.item) + "\r\n";
    } else {
      out +=
          "Content-Type: " + (a.contentType.empty() ? "application/octet-stream" : a.contentType) +
          "; name=\"" + EncodeWord(a.name) +
          "\"\r\nContent-Disposition: " + (a.isInline ? "inline" : "attachment") + "; filename=\"" +
          EncodeWord(a.name) + "\"\r\n";
      if (!a.contentId.empty()) out += "Content-ID: <" + a.contentId + ">\r\n";
      out += "Content-Transfer-Encoding: base64\r\n\r\n" + Wrap76(Base64Encode(a.content));
    }
  }
  out += "--" + boundary + "--\r\n";
  return out;
}

void ImportMime(const ParseContext& ctx, const std::string& bytes, Item& item) {
  (void)ctx;
  Part top = ParsePart(bytes);
  auto header = [&](const char* name) {
    auto it = top.headers.find(name);
    return it == top.headers.end() ? std::string() : it->second;
  };
  if (auto s = header("subject"); !s.empty() || top.headers.count("subject"))
    item.SetText("Subject", DecodeWords(s));
  auto from = ParseAddresses(header("from"));
  if (!from.empty() && IsMessageKind(item.kind)) {
    item.Set("From", AddressField("From", from, true));
    item.Set("Sender", AddressField("Sender", from, true));
  }
  for (auto [hdr, el] : {std::pair{"to", "ToRecipients"}, std::pair{"cc", "CcRecipients"},
                         std::pair{"bcc", "BccRecipients"}}) {
    auto list = ParseAddresses(header(hdr));
    if (!list.empty() && IsMessageKind(item.kind)) item.Set(el, AddressField(el, list, false));
  }
  if (auto d = ParseRfc2822Date(header("date"))) {
    item.SetText("DateTimeSent", FormatDateTime(*d));
    item.SetText("DateTimeReceived", FormatDateTime(*d));
  }
  if (auto mid = header("message-id"); !mid.empty()) item.SetText("InternetMessageId", mid);
  // The message's own headers, as Exchange keeps them for InternetMessageHeaders.
  if (!top.ordered.empty()) {
    Field headers;
    headers.xml = "<t:InternetMessageHeaders>";
    for (const auto& [name, value] : top.ordered) {
      headers.xml += "<t:InternetMessageHeader HeaderName=\"" + Escape(name) + "\">" +
                     Escape(value) + "</t:InternetMessageHeader>";
      headers.values.push_back(value);
    }
    headers.xml += "</t:InternetMessageHeaders>";
    item.Set("InternetMessageHeaders", std::move(headers));
  }
  std::string text, html;
  Walk(top, item, text, html);
  Field body;
  if (!html.empty()) {
    body.xml = "<t:Body BodyType=\"HTML\">" + Escape(html) + "</t:Body>";
    body.values.push_back(html);
  } else {
    body.xml = "<t:Body BodyType=\"Text\">" + Escape(text) + "</t:Body>";
    body.values.push_back(text);
  }
  item.Set("Body", std::move(body));
}

}  // namespace ewssim
