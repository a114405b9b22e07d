#include "ews_context.h"

#include "uDvEWSProfiles.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

namespace ewscli {

[[noreturn]] void Usage(const std::string& message) {
  throw ToolError{kUsage, message};
}

std::string Lower(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string Upper(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Usage("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes content to an open file and closes it.
void WriteAndClose(int fd, const std::string& content, const fs::path& path) {
  bool written = true;
  for (std::size_t done = 0; written && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    written = n > 0;
    if (written) done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0 || !written) throw ToolError{kFailure, "cannot write " + path.string()};
}

// Writes a file readable by its owner only (mailbox content and traces are private).
void WritePrivateFile(const fs::path& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw ToolError{kFailure, "cannot write " + path.string()};
  WriteAndClose(fd, content, path);
}

// The host of a URL ("https://user@host:443/path" gives "host"; "[::1]" gives "::1").
std::string UrlHost(const std::string& url) {
  std::size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  std::size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  if (auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  if (!authority.empty() && authority[0] == '[')
    return authority.substr(1, authority.find(']') - 1);
  return authority.substr(0, authority.find(':'));
}

bool IsLoopbackHost(const std::string& host) {
  const std::string h = Lower(host);
  return h == "localhost" || h.ends_with(".localhost") || h == "::1" || h.rfind("127.", 0) == 0;
}

std::string ReadPassword(const Options& o) {
  if (!o.passwordFile.empty()) {
    std::string text = ReadFile(o.passwordFile);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
      text.pop_back();
    return text;
  }
  if (const char* env = std::getenv("EWS_PASSWORD")) return env;
  FILE* tty = std::fopen("/dev/tty", "r+");
  if (!tty)
    Usage("no password: use --password-file or EWS_PASSWORD, or run on a terminal to be asked");
  int fd = fileno(tty);
  std::fprintf(tty, "Password for %s: ", o.user.c_str());
  std::fflush(tty);
  termios old{};
  bool restore = tcgetattr(fd, &old) == 0;
  if (restore) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::string password;
  for (int c; (c = std::fgetc(tty)) != EOF && c != '\n';)
    password += static_cast<char>(c);
  if (restore) tcsetattr(fd, TCSAFLUSH, &old);
  std::fprintf(tty, "\n");
  std::fclose(tty);
  return password;
}

void Connection::Logon() {
  session_.SetLogonDialog(false);
  session_.SetPasswordDialog(false);
  // A stored profile: the one --profile names, else the default one when no URL is given.
  std::string profile = options_.profile;
  dv::TDvEWSProfileRegistryContainer profiles;
  if (profile.empty() && options_.url.empty()) profile = profiles.GetDefaultProfileName();
  if (!profile.empty()) {
    try {
      if (!profiles.LoadProfile(session_, profile))
        Usage("no profile \"" + profile + "\" (see ews profile ls, or ews login ADDRESS)");
    } catch (const dv::EEWSException& e) {
      Usage(e.what());
    }
    if (!options_.url.empty()) session_.SetServiceUrl(options_.url);
    const dv::TDvOAuth& oauth = session_.GetOAuth();
    if (oauth.GetGrantType() == dv::TDvOAuthGrantType::gtAuthorize && !oauth.GetAppID().empty())
      PrepareAuthorize(session_);
    else if (oauth.GetAppID().empty() && session_.GetCredentials().GetPassword().empty()) {
      Options asked = options_;
      asked.user = session_.GetCredentials().GetUserName();
      session_.SetCredentials(dv::TDvCredentials(asked.user, ReadPassword(asked)));
    }
  } else {
    if (options_.url.empty())
      Usage("--url is required (or set EWS_URL, or log on once with ews login ADDRESS)");
    if (options_.user.empty()) Usage("--user is required (or set EWS_USER)");
    session_.SetServiceUrl(options_.url);
    session_.SetCredentials(dv::TDvCredentials(options_.user, ReadPassword(options_)));
  }
  const std::string url = session_.GetServiceUrl();
  if (options_.insecure) {
    std::cerr << "ews: warning: --insecure: the server's certificate is not checked\n";
    session_.SetSecurityFlags({dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCertDate,
                               dv::TDvHTTPSecurityFlag::sfIgnoreUnknownCA,
                               dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName,
                               dv::TDvHTTPSecurityFlag::sfIgnoreRevocation,
                               dv::TDvHTTPSecurityFlag::sfIgnoreWrongUsage});
  }
  if (!options_.caCertFile.empty()) {
    if (!fs::is_regular_file(options_.caCertFile)) Usage("no such file: " + options_.caCertFile);
    session_.SetCACertFile(options_.caCertFile);
  }
  if (!options_.caCertPath.empty()) {
    if (!fs::is_directory(options_.caCertPath)) Usage("no such folder: " + options_.caCertPath);
    session_.SetCACertPath(options_.caCertPath);
  }
  if (Lower(url).rfind("http://", 0) == 0 && !IsLoopbackHost(UrlHost(url)))
    std::cerr << "ews: warning: the password goes over plain http to " << UrlHost(url)
              << " (use https)\n";
  if (!options_.trace.empty()) {
    std::error_code ec;
    fs::create_directories(options_.trace, ec);
    if (ec) Usage("cannot create trace folder " + options_.trace);
    std::string dir = options_.trace;
    // The hook is copied into every SOAP client the session makes, so the count is shared.
    auto count = std::make_shared<int>(0);
    session_.SetOnSOAPTrace([dir, count](const dv::TDvSOAPTrace& trace) {
      char name[64];
      std::snprintf(name, sizeof name, "%04d-%s.xml", ++*count,
                    trace.Kind == dv::TDvSOAPTrace::TKind::tkRequest ? "request" : "response");
      // The SOAP layer hands the content with secret values already masked.
      WritePrivateFile(fs::path(dir) / name, trace.Content);
    });
  }
  session_.SetOnThrottled([](double seconds, const std::string&) {
    std::fprintf(stderr, "server busy, waiting %.1f s\n", seconds);
  });
  try {
    session_.SetActive(true);
  } catch (const dv::EEWSException& e) {
    // The URL was given, so nothing was discovered: say what failed in those terms.
    if (e.GetEWSErrorCode().empty() || std::string(e.what()).rfind("ErrorAutoDiscover", 0) != 0)
      throw ToolError{kConnection, "cannot log on: " + std::string(e.what())};
    throw ToolError{kConnection, "cannot connect to " + url + ": " + e.GetEWSErrorCode()};
  } catch (const dv::EDvHTTPApiException& e) {
    // The transport failed (refused, unreachable, TLS, time-out): where, then why. A refused
    // login and an unknown host say so, and name the URL, themselves.
    const std::uint32_t code = e.GetErrorCode();
    if (code == dv::DvHTTPError::LoginFailure || code == dv::DvHTTPError::NameNotResolved)
      throw ToolError{kConnection, "cannot log on: " + std::string(e.what())};
    throw ToolError{kConnection, "cannot connect to " + url + ": " + e.what()};
  } catch (const dv::Exception& e) {
    throw ToolError{kConnection, "cannot log on: " + std::string(e.what())};
  }
  // A profile keeps the OAuth refresh token, which the server may have replaced.
  if (!profile.empty() && !session_.GetOAuth().GetAppID().empty()) {
    try {
      profiles.SaveProfile(session_, profile);
    } catch (const dv::Exception& e) {
      std::cerr << "ews: warning: cannot update profile \"" << profile << "\": " << e.what()
                << "\n";
    }
  }
  if (options_.versionCheck == "on") {
    if (session_.GetServerVersionInfo().MajorVersion == 0)
      throw ToolError{kConnection,
                      "the server at " + url +
                          " answered without its version header (ServerVersionInfo): is this "
                          "an Exchange EWS endpoint? (--version-check off goes on without it)"};
    try {
      dv::EwsCheckVersion(dv::TServerVersion::Exchange2007_SP1, session_.GetServerVersion(), "ews");
    } catch (const dv::Exception& e) {
      throw ToolError{kConnection, e.what()};
    }
  }
}

std::shared_ptr<dv::IDvEWSMsgStore> Connection::Store() {
  if (!store_) {
    if (!session_.GetActive()) Logon();
    store_ = options_.impersonate.empty() ? session_.OpenDefaultMsgStore()
                                          : session_.OpenMsgStore(options_.impersonate);
  }
  return store_;
}

// ---- Field names ----

// A field definition by a friendly name (subject, isread, datetimereceived, …) or by any
// definition name of the registry (FLD_…, PR_…, MPR_…, EPR_…).
dv::PDvEWSFieldDef FieldByName(const std::string& name) {
  const std::string upper = Upper(name);
  if (upper.rfind("FLD_", 0) == 0) {
    if (auto def = dv::GetFieldDef(upper, false)) return def;
  } else if (upper.rfind("PR_", 0) == 0 || upper.rfind("MPR_", 0) == 0 ||
             upper.rfind("EPR_", 0) == 0) {
    for (const std::string& candidate : {name, upper}) {
      try {
        return dv::GetFirstFieldDef(candidate);
      } catch (const dv::Exception&) {
      }
      // An extended property without a field definition of its own gets one, registered once
      // under the property's name (the registry keeps pointers, so the records live on).
      if (auto prop = dv::GetPropDef(candidate, false); prop && prop->Extended) {
        if (auto def = dv::GetFieldDef(prop->PropDefName, false)) return def;
        static std::deque<dv::TDvEWSFieldDef> made;
        made.push_back(dv::DvExtendedFieldDef(prop->PropDefName, prop));
        dv::RegisterField(&made.back());
        return dv::GetFieldDef(prop->PropDefName, true);
      }
    }
  } else {
    static const std::map<std::string, std::string> kAliases = {
        {"from", "FLD_MESSAGE_FROM"},       {"to", "FLD_ITEM_DISPLAYTO"},
        {"cc", "FLD_ITEM_DISPLAYCC"},       {"received", "FLD_ITEM_DATETIMERECEIVED"},
        {"sent", "FLD_ITEM_DATETIMESENT"},  {"id", "FLD_ITEM_ITEMID"},
        {"class", "FLD_ITEM_ITEMCLASS"},    {"unread", "FLD_FOLDER_UNREADCOUNT"},
        {"name", "FLD_FOLDER_DISPLAYNAME"}, {"total", "FLD_FOLDER_TOTALCOUNT"}};
    auto alias = kAliases.find(Lower(name));
    if (alias != kAliases.end()) return dv::GetFieldDef(alias->second, false);
    for (const char* group : {"ITEM", "MESSAGE", "CALENDAR", "CONTACTS", "TASK", "FOLDER"})
      if (auto def = dv::GetFieldDef("FLD_" + std::string(group) + "_" + upper, false)) return def;
  }
  Usage("unknown field \"" + name + "\"");
}

// The text of XML character data: the five named entities and character references (&#13;,
// &#xD;) decoded.
std::string Unescape(const std::string& text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& [entity, ch] : kEntities)
        if (text.compare(i, std::strlen(entity), entity) == 0) {
          out += ch;
          i += std::strlen(entity);
          replaced = true;
          break;
        }
      const std::size_t semicolon = text.find(';', i);
      if (!replaced && text.compare(i, 2, "&#") == 0 && semicolon != std::string::npos &&
          semicolon - i <= 10) {
        const bool hex = i + 2 < text.size() && (text[i + 2] == 'x' || text[i + 2] == 'X');
        const std::string digits = text.substr(i + (hex ? 3 : 2), semicolon - i - (hex ? 3 : 2));
        char* end = nullptr;
        const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
        if (!digits.empty() && *end == '\0' && cp > 0 && cp <= 0x10FFFF &&
            !(cp >= 0xD800 && cp <= 0xDFFF)) {
          dv::DvAppendUTF8(out, static_cast<std::uint32_t>(cp));
          i = semicolon + 1;
          replaced = true;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// A value as a person reads it: a mailbox as "Name <address>", other XML values as their texts.
std::string Readable(const std::string& value) {
  if (value.empty() || value[0] != '<') return value;
  std::vector<std::pair<std::string, std::string>> leaves;  // element local name, text
  std::size_t i = 0;
  while ((i = value.find('<', i)) != std::string::npos) {
    std::size_t close = value.find('>', i);
    if (close == std::string::npos) break;
    std::string tag = value.substr(i + 1, close - i - 1);
    std::size_t next = value.find('<', close);
    if (tag.empty() || tag[0] == '/' || tag.back() == '/' || next == std::string::npos ||
        value.compare(next, 2, "</") != 0) {
      i = close + 1;
      continue;
    }
    std::string local = tag.substr(0, tag.find(' '));
    if (auto colon = local.find(':'); colon != std::string::npos) local = local.substr(colon + 1);
    leaves.emplace_back(local, Unescape(value.substr(close + 1, next - close - 1)));
    i = next;
  }
  std::string out, name;
  for (const auto& [local, text] : leaves) {
    if (local == "Name") {
      name = text;
    } else if (local == "EmailAddress") {
      if (!out.empty()) out += ", ";
      out += name.empty() ? text : name + " <" + text + ">";
      name.clear();
    }
  }
  if (!out.empty()) return out;
  for (const auto& leaf : leaves)
    out += (out.empty() ? "" : ", ") + leaf.second;
  return out;
}

// ---- Field values ----

// What a field holds, as far as the tool shows and checks it.

ValueKind KindOfSchema(dv::TDvXMLSchemaValueKind kind) {
  using K = dv::TDvXMLSchemaValueKind;
  switch (kind) {
    case K::Int:
    case K::Long:
      return ValueKind::Integer;
    case K::Boolean:
      return ValueKind::Boolean;
    case K::Double:
      return ValueKind::Number;
    case K::Datetime:
    case K::Date:
      return ValueKind::DateTime;
    case K::Class:
    case K::Array:
    case K::SimpleArray:
      return ValueKind::Structured;
    default:
      return ValueKind::Text;
  }
}

ValueKind KindOf(dv::PDvEWSFieldDef def) {
  if (!def || !def->PropDef) return ValueKind::Text;
  const dv::TDvEWSPropDef& prop = *def->PropDef;
  if (prop.Extended) {
    using P = dv::TDvEWSPropType;
    switch (prop.PropType) {
      case P::ptBoolean:
        return ValueKind::Boolean;
      case P::ptShort:
      case P::ptInteger:
      case P::ptLong:
        return ValueKind::Integer;
      case P::ptFloat:
      case P::ptDouble:
      case P::ptCurrency:
        return ValueKind::Number;
      case P::ptSystemTime:
        return ValueKind::DateTime;
      case P::ptString:
      case P::ptBinary:
      case P::ptCLSID:
        return ValueKind::Text;
      default:
        return ValueKind::Structured;
    }
  }
  if (def->FieldType == dv::TDvEWSFieldDefType::fdtIndexedField) return ValueKind::Text;
  for (const dv::TDvXMLSchemaClassInfo* info :
       {&dv::TEwsItem::ClassInfo, &dv::TEwsMessage::ClassInfo, &dv::TEwsCalendarItem::ClassInfo,
        &dv::TEwsContact::ClassInfo, &dv::TEwsTask::ClassInfo, &dv::TEwsFolder::ClassInfo})
    if (const dv::TDvXMLSchemaInfo* d = info->FindByLocalName(prop.NodeName))
      return KindOfSchema(d->Kind);
  return ValueKind::Text;
}

// The key of a field in JSON: its friendly name (FLD_ITEM_DATETIMERECEIVED: "datetimereceived";
// extended properties keep their names), or with --keys definition the name of its property
// definition (PR_SUBJECT, MPR_…), the names `show` reads from the server.
std::string KeyOf(dv::PDvEWSFieldDef def, bool definitionNames) {
  if (definitionNames && def->PropDef) return std::string(def->PropDef->PropDefName);
  std::string name(def->FieldDefName);
  if (name.rfind("FLD_", 0) == 0)
    for (const char* group : {"ITEM_", "MESSAGE_", "CALENDAR_", "CONTACTS_", "TASK_", "FOLDER_"})
      if (name.compare(4, std::strlen(group), group) == 0)
        return Lower(name.substr(4 + std::strlen(group)));
  return def->PropDef ? std::string(def->PropDef->PropDefName) : name;
}

// A value as a person reads it: structured values (mailboxes, lists) as their texts, others as
// they are.
std::string ShownText(ValueKind kind, const std::string& text) {
  return kind == ValueKind::Structured ? Readable(text) : text;
}

// A value in JSON: booleans and numbers typed, empty values null.
json JsonValue(ValueKind kind, const std::string& text) {
  if (text.empty()) return nullptr;
  switch (kind) {
    case ValueKind::Boolean: {
      const std::string t = Lower(text);
      if (t == "true" || t == "1") return true;
      if (t == "false" || t == "0") return false;
      break;
    }
    case ValueKind::Integer: {
      char* end = nullptr;
      errno = 0;
      long long v = std::strtoll(text.c_str(), &end, 10);
      if (errno == 0 && end && *end == '\0') return v;
      break;
    }
    case ValueKind::Number: {
      char* end = nullptr;
      double v = std::strtod(text.c_str(), &end);
      if (end && *end == '\0' && std::isfinite(v)) return v;
      break;
    }
    case ValueKind::Structured:
      return Readable(text);
    default:
      break;
  }
  return text;
}

// Refuses a text that the field's type cannot take (before anything is sent).
void CheckValue(const std::string& name, dv::PDvEWSFieldDef def, const std::string& text) {
  switch (KindOf(def)) {
    case ValueKind::Boolean: {
      const std::string t = Lower(text);
      if (t != "true" && t != "false" && t != "1" && t != "0")
        Usage(name + " takes true or false, not \"" + text + "\"");
      break;
    }
    case ValueKind::Integer: {
      char* end = nullptr;
      errno = 0;
      std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || errno != 0 || *end != '\0')
        Usage(name + " takes a whole number, not \"" + text + "\"");
      break;
    }
    case ValueKind::Number: {
      char* end = nullptr;
      std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0') Usage(name + " takes a number, not \"" + text + "\"");
      break;
    }
    case ValueKind::DateTime:
      try {
        if (text.empty()) throw dv::EConvertError("empty");
        dv::DvXMLToDateTime(text);
      } catch (const dv::Exception&) {
        Usage(name + " takes a date (2026-01-31 or 2026-01-31T08:00:00Z), not \"" + text + "\"");
      }
      break;
    case ValueKind::Structured:
      Usage(name + " cannot be set from a text");
    case ValueKind::Text:
      break;
  }
}

// A bare RFC 5322 address: local-part "@" domain, the local part a dot-atom or a quoted string, the
// domain a dot-atom or a [literal]. No display names, comments or folding.
bool IsBareAddress(const std::string& address) {
  auto atext = [](unsigned char c) {
    return std::isalnum(c) || (c != 0 && std::strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr) ||
           c >= 0x80;
  };
  auto dotAtom = [&](const std::string& s) {
    if (s.empty() || s.front() == '.' || s.back() == '.' || s.find("..") != std::string::npos)
      return false;
    return std::all_of(s.begin(), s.end(),
                       [&](char c) { return c == '.' || atext(static_cast<unsigned char>(c)); });
  };
  const std::size_t at = address.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == address.size()) return false;
  const std::string local = address.substr(0, at), domain = address.substr(at + 1);
  bool localOk = dotAtom(local);
  if (!localOk && local.size() >= 2 && local.front() == '"' && local.back() == '"') {
    localOk = true;
    for (std::size_t i = 1; i + 1 < local.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(local[i]);
      if (c == '\\' && i + 2 < local.size()) {
        ++i;
      } else if (c == '"' || c == '\\' || c < 0x20 || c == 0x7F) {
        localOk = false;
        break;
      }
    }
  }
  if (!localOk) return false;
  if (domain.size() >= 2 && domain.front() == '[' && domain.back() == ']')
    return domain.find_first_of("[]\\", 1) == domain.size() - 1;
  return dotAtom(domain);
}

void CheckAddresses(const std::string& option, const std::vector<std::string>& addresses) {
  for (const auto& a : addresses)
    if (!IsBareAddress(a)) Usage(option + ": \"" + a + "\" is not an e-mail address (name@domain)");
}

// ---- Filters ----

dv::DvEWSRestrictionPtr Compile(dv::IDvEWSTableBase& table, const FilterNode& node) {
  using K = FilterNode::Kind;
  switch (node.kind) {
    case K::And:
    case K::Or: {
      auto r = table.CreateRestriction(node.kind == K::And ? dv::TDvEWSRestrictionType::rtAnd
                                                           : dv::TDvEWSRestrictionType::rtOr);
      for (const auto& child : node.children) {
        auto c = Compile(table, *child);
        if (auto a = std::dynamic_pointer_cast<dv::IDvEWSRestrictionAnd>(r))
          a->AddRestriction(c);
        else
          std::dynamic_pointer_cast<dv::IDvEWSRestrictionOr>(r)->AddRestriction(c);
      }
      return r;
    }
    case K::Not: {
      auto r = table.CreateRestriction(dv::TDvEWSRestrictionType::rtNot);
      std::dynamic_pointer_cast<dv::IDvEWSRestrictionNot>(r)->SetRestriction(
          Compile(table, *node.children[0]));
      return r;
    }
    case K::Exists: {
      auto r = table.CreateRestriction(dv::TDvEWSRestrictionType::rtExists);
      std::dynamic_pointer_cast<dv::IDvEWSRestrictionExists>(r)->SetFieldDef(
          *FieldByName(node.field));
      return r;
    }
    case K::Contains:
    case K::StartsWith: {
      auto r = table.CreateRestriction(dv::TDvEWSRestrictionType::rtContent);
      auto c = std::dynamic_pointer_cast<dv::IDvEWSRestrictionContent>(r);
      c->SetFieldDef(*FieldByName(node.field));
      c->SetContainmentMode(node.kind == K::Contains ? dv::TDvEWSContainmentMode::cmSubstring
                                                     : dv::TDvEWSContainmentMode::cmPrefixed);
      c->SetContainmentComparison(dv::TDvEWSContainmentComparison::ccIgnoreCase);
      c->SetValue(node.value.text);
      return r;
    }
    case K::Compare: {
      auto r = table.CreateRestriction(dv::TDvEWSRestrictionType::rtCompare);
      auto c = std::dynamic_pointer_cast<dv::IDvEWSRestrictionCompare>(r);
      c->SetFieldDef(*FieldByName(node.field));
      static const dv::TDvEWSRestrictionOperator kOps[] = {
          dv::TDvEWSRestrictionOperator::opIsEqualTo,
          dv::TDvEWSRestrictionOperator::opIsNotEqualTo,
          dv::TDvEWSRestrictionOperator::opIsLessThan,
          dv::TDvEWSRestrictionOperator::opIsLessThanOrEqualTo,
          dv::TDvEWSRestrictionOperator::opIsGreaterThan,
          dv::TDvEWSRestrictionOperator::opIsGreaterThanOrEqualTo};
      c->SetOperator(kOps[static_cast<int>(node.op)]);
      using V = FilterValue::Kind;
      switch (node.value.kind) {
        case V::Boolean:
          c->SetValue(dv::TDvVariant(node.value.boolean));
          break;
        case V::Integer:
          c->SetValue(dv::TDvVariant(static_cast<std::int64_t>(node.value.integer)));
          break;
        case V::Number:
          c->SetValue(dv::TDvVariant(node.value.number));
          break;
        case V::DateTime:
          c->SetValue(dv::TDvVariant(dv::DvXMLToDateTime(node.value.text)));
          break;
        case V::Text:
          c->SetValue(dv::TDvVariant(node.value.text));
          break;
      }
      return r;
    }
  }
  Usage("bad filter");
}

// ---- Folders ----

// A folder by a distinguished name (inbox, sentitems, …), a path of display names from the top
// of the mailbox ("Inbox/Projects"; a distinguished name may start it), or a folder id.
dv::DvEWSFolderPtr FolderResolver::Open(const std::string& name) {
  auto store = connection_.Store();
  std::vector<std::string> parts;
  std::stringstream s(name);
  for (std::string part; std::getline(s, part, '/');)
    if (!part.empty()) parts.push_back(part);
  if (parts.empty()) return store->GetFolder(dv::TDistinguishedFolderIdName::dfinmsgfolderroot);
  dv::DvEWSFolderPtr folder;
  std::size_t first = 0;
  int ordinal = 0;
  const auto& info = dv::DvEnumTypeInfo(dv::TDistinguishedFolderIdName{});
  if (info.FromXML(Lower(parts[0]), ordinal)) {
    folder = store->GetFolder(static_cast<dv::TDistinguishedFolderIdName>(ordinal));
    first = 1;
  } else {
    folder = store->GetFolder(dv::TDistinguishedFolderIdName::dfinmsgfolderroot);
  }
  for (std::size_t i = first; i < parts.size(); ++i) {
    auto child = Child(folder, parts[i]);
    if (!child) {
      if (parts.size() == 1 && name.size() > 40) {
        // Not a name: try it as a folder id.
        try {
          return store->GetFolder(dv::TItemId{name, ""});
        } catch (const dv::Exception&) {
        }
      }
      Usage("unknown folder \"" + name + "\"");
    }
    folder = child;
  }
  return folder;
}

dv::DvEWSFolderPtr FolderResolver::Child(const dv::DvEWSFolderPtr& folder,
                                         const std::string& name) {
  auto table = folder->GetSubFolders();
  auto nameDef = dv::GetFieldDef("FLD_FOLDER_DISPLAYNAME", true);
  table->GetFields().Add(*nameDef);
  for (table->Open(); !table->Eof(); table->Next()) {
    if (Lower(table->FieldByName(*nameDef)->GetAsString()) == Lower(name))
      return folder->GetMsgStore()->GetFolder(table->GetItemId());
  }
  return nullptr;
}

std::string BodyArgument(const std::string& body) {
  return !body.empty() && body[0] == '@' ? ReadFile(body.substr(1)) : body;
}

// A progress line on a terminal: "label  [#####.....]  n/total".
void Progress(const std::string& label, std::size_t done, std::size_t total) {
  if (!isatty(STDERR_FILENO) || total == 0) return;
  const std::size_t width = 30;
  std::size_t filled = done * width / total;
  std::cerr << '\r' << label << " [" << std::string(filled, '#') << std::string(width - filled, '.')
            << "] " << done << '/' << total;
  if (done == total) std::cerr << '\n';
  std::cerr.flush();
}

void Example(CLI::App* cmd, const std::string& text) {
  cmd->footer("Example:\n  " + text + "\n");
}

std::vector<CommandGroup>& CommandGroups() {
  static std::vector<CommandGroup> groups;
  return groups;
}

bool RegisterCommands(CommandGroup group) {
  CommandGroups().push_back(std::move(group));
  return true;
}

}  // namespace ewscli
