// ews: a command-line tool over the EWS library. It logs on with a session, opens the default
// store (or another mailbox's) and carries out one command, printing a table on a terminal or
// JSON with --json.
//
// Exit codes: 0 success, 1 other failure, 2 usage error (bad arguments, malformed filter, unknown
// field or folder), 3 connection or authentication failure, 4 EWS error (the response code is
// printed).
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "DvHTTP.h"
#include "DvSOAP.h"
#include "DvXML.h"
#include "ews_filter.h"
#include "ews_output.h"
#include "uDvEWS.h"
#include "uDvEWSFolder.h"
#include "uDvEWSItem.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSProps.h"
#include "uDvEWSServices.h"
#include "uDvEWSTable.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

enum ExitCode { kOk = 0, kFailure = 1, kUsage = 2, kConnection = 3, kEWS = 4 };

// A failure with its exit code; the message is printed on one line.
struct ToolError {
  int code;
  std::string message;
};

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

// ---- Options ----

struct Options {
  std::string url;
  std::string user;
  std::string passwordFile;
  bool insecure = false;
  std::string versionCheck = "on";
  std::string impersonate;
  std::string trace;
  bool json = false;
};

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

// ---- Connection ----

class Connection {
 public:
  explicit Connection(const Options& o) : options_(o) {}

  dv::TDvEWSCustomSession& Session() { return session_; }

  void Logon() {
    if (options_.url.empty()) Usage("--url is required (or set EWS_URL)");
    if (options_.user.empty()) Usage("--user is required (or set EWS_USER)");
    session_.SetLogonDialog(false);
    session_.SetPasswordDialog(false);
    session_.SetServiceUrl(options_.url);
    session_.SetCredentials(dv::TDvCredentials(options_.user, ReadPassword(options_)));
    if (options_.insecure)
      session_.SetSecurityFlags({dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCertDate,
                                 dv::TDvHTTPSecurityFlag::sfIgnoreUnknownCA,
                                 dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName,
                                 dv::TDvHTTPSecurityFlag::sfIgnoreRevocation,
                                 dv::TDvHTTPSecurityFlag::sfIgnoreWrongUsage});
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
        std::ofstream out(fs::path(dir) / name, std::ios::binary);
        // The SOAP layer hands the content with secret values already masked.
        out << trace.Content;
      });
    }
    try {
      session_.SetActive(true);
    } catch (const dv::EEWSException& e) {
      throw ToolError{kConnection, "cannot log on: " + std::string(e.what())};
    } catch (const dv::Exception& e) {
      throw ToolError{kConnection, "cannot log on: " + std::string(e.what())};
    }
    if (options_.versionCheck == "on") try {
        dv::EwsCheckVersion(dv::TServerVersion::Exchange2007_SP1, session_.GetServerVersion(),
                            "ews");
      } catch (const dv::Exception& e) {
        throw ToolError{kConnection, e.what()};
      }
  }

  std::shared_ptr<dv::IDvEWSMsgStore> Store() {
    if (!store_) {
      if (!session_.GetActive()) Logon();
      store_ = options_.impersonate.empty() ? session_.OpenDefaultMsgStore()
                                            : session_.OpenMsgStore(options_.impersonate);
    }
    return store_;
  }

 private:
  const Options& options_;
  dv::TDvEWSCustomSession session_;
  std::shared_ptr<dv::IDvEWSMsgStore> store_;
};

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

std::string Unescape(const std::string& text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&')
      for (const auto& [entity, ch] : kEntities)
        if (text.compare(i, std::strlen(entity), entity) == 0) {
          out += ch;
          i += std::strlen(entity);
          replaced = true;
          break;
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

// ---- Filters ----

dv::DvEWSRestrictionPtr Compile(dv::IDvEWSTableBase& table, const ewscli::FilterNode& node) {
  using K = ewscli::FilterNode::Kind;
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
      using V = ewscli::FilterValue::Kind;
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
class FolderResolver {
 public:
  explicit FolderResolver(Connection& c) : connection_(c) {}

  dv::DvEWSFolderPtr Open(const std::string& name) {
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

  // The parent folder of a path and the last name in it (for mkdir).
  std::pair<dv::DvEWSFolderPtr, std::string> Parent(const std::string& name) {
    auto slash = name.find_last_of('/');
    if (slash == std::string::npos) return {Open(""), name};
    return {Open(name.substr(0, slash)), name.substr(slash + 1)};
  }

  static dv::DvEWSFolderPtr Child(const dv::DvEWSFolderPtr& folder, const std::string& name) {
    auto table = folder->GetSubFolders();
    auto nameDef = dv::GetFieldDef("FLD_FOLDER_DISPLAYNAME", true);
    table->GetFields().Add(*nameDef);
    for (table->Open(); !table->Eof(); table->Next()) {
      if (Lower(table->FieldByName(*nameDef)->GetAsString()) == Lower(name))
        return folder->GetMsgStore()->GetFolder(table->GetItemId());
    }
    return nullptr;
  }

 private:
  Connection& connection_;
};

// ---- Commands ----

struct Context {
  Options options;
  std::unique_ptr<Connection> connection;
  std::ostream& out = std::cout;

  Connection& Conn() {
    if (!connection) connection = std::make_unique<Connection>(options);
    return *connection;
  }
  // JSON text; bytes that are not UTF-8 (a raw MIME body, say) become U+FFFD.
  static std::string Dump(const json& j) {
    return j.dump(2, ' ', false, json::error_handler_t::replace);
  }
  void Print(const ewscli::Table& table) {
    if (options.json)
      out << Dump(TableToJson(table)) << '\n';
    else
      ewscli::PrintTable(out, table);
  }
  void PrintObject(const json& object) {
    if (options.json) {
      out << Dump(object) << '\n';
      return;
    }
    std::size_t width = 0;
    for (auto it = object.begin(); it != object.end(); ++it)
      width = std::max(width, it.key().size());
    for (auto it = object.begin(); it != object.end(); ++it)
      out << it.key() << std::string(width - it.key().size() + 2, ' ')
          << (it.value().is_string() ? it.value().get<std::string>() : it.value().dump()) << '\n';
  }
  void Done(const std::string& message, json object) {
    if (options.json)
      out << Dump(object) << '\n';
    else
      out << message << '\n';
  }
};

void CmdInfo(Context& ctx) {
  auto& session = ctx.Conn().Session();
  ctx.Conn().Logon();
  auto store = ctx.Conn().Store();
  const auto& vi = session.GetServerVersionInfo();
  json j;
  j["url"] = session.GetServiceUrl();
  j["user"] = session.GetCredentials().GetUserName();
  j["server_version"] = dv::EwsServerVersionName(session.GetServerVersion());
  j["server_build"] = std::to_string(vi.MajorVersion) + "." + std::to_string(vi.MinorVersion) +
                      "." + std::to_string(vi.MajorBuildNumber) + "." +
                      std::to_string(vi.MinorBuildNumber);
  j["description"] = session.GetServerDescription();
  j["time_zone"] = session.GetCurrentTimeZoneContext();
  j["store"] = store->GetDisplayName();
  j["mailbox"] = session.GetDefaultStoreEmail();
  ctx.PrintObject(j);
}

void ListFolders(const dv::DvEWSFolderPtr& folder, const std::string& prefix, bool tree,
                 ewscli::Table& table) {
  auto sub = folder->GetSubFolders();
  auto name = dv::GetFieldDef("FLD_FOLDER_DISPLAYNAME", true);
  auto total = dv::GetFieldDef("FLD_FOLDER_TOTALCOUNT", true);
  auto unread = dv::GetFieldDef("FLD_FOLDER_UNREADCOUNT", true);
  auto children = dv::GetFieldDef("FLD_FOLDER_CHILDFOLDERCOUNT", true);
  for (auto def : {name, total, unread, children})
    sub->GetFields().Add(*def);
  struct Row {
    std::string path, total, unread;
    int children;
    dv::TItemId id;
  };
  std::vector<Row> rows;
  for (sub->Open(); !sub->Eof(); sub->Next()) {
    Row r;
    r.path = prefix + sub->FieldByName(*name)->GetAsString();
    r.total = sub->HasField(*total) ? sub->FieldByName(*total)->GetAsString() : "";
    r.unread = sub->HasField(*unread) ? sub->FieldByName(*unread)->GetAsString() : "";
    r.children = sub->HasField(*children)
                     ? static_cast<int>(sub->FieldByName(*children)->GetAsInteger())
                     : 0;
    r.id = sub->GetItemId();
    rows.push_back(r);
  }
  for (const auto& r : rows) {
    table.rows.push_back({r.path, r.total, r.unread, r.id.Id});
    if (tree && r.children > 0)
      ListFolders(folder->GetMsgStore()->GetFolder(r.id), r.path + "/", tree, table);
  }
}

void CmdFolders(Context& ctx, bool tree, const std::string& under) {
  FolderResolver resolver(ctx.Conn());
  auto root = resolver.Open(under);
  ewscli::Table table{{"folder", "total", "unread", "id"}, {}};
  ListFolders(root, under.empty() ? "" : under + "/", tree, table);
  ctx.Print(table);
}

void CmdLs(Context& ctx, const std::string& folderSpec, const std::string& columns,
           const std::string& where, int limit, int pageSize) {
  // The filter and columns are checked before anything is sent.
  ewscli::FilterNodePtr filter;
  if (!where.empty()) {
    try {
      filter = ewscli::ParseFilter(where);
    } catch (const ewscli::FilterError& e) {
      Usage("bad filter at column " + std::to_string(e.Column()) + ": " + e.what());
    }
  }
  std::vector<std::string> names;
  std::stringstream s(columns);
  for (std::string c; std::getline(s, c, ',');)
    if (!c.empty()) names.push_back(c);
  std::vector<dv::PDvEWSFieldDef> defs;
  for (const auto& n : names)
    defs.push_back(FieldByName(n));

  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(folderSpec);
  auto items = folder->GetItems();
  if (auto table = std::dynamic_pointer_cast<dv::TDvEWSTable>(items); table && pageSize > 0)
    table->SetPageSize(pageSize);
  for (auto def : defs)
    items->GetFields().Add(*def);
  if (filter) items->Filter(Compile(*items, *filter));
  ewscli::Table out;
  out.columns = names;
  out.columns.push_back("id");
  int n = 0;
  for (items->Open(); !items->Eof() && (limit <= 0 || n < limit); items->Next(), ++n) {
    std::vector<std::string> row;
    for (auto def : defs)
      row.push_back(items->HasField(*def) ? Readable(items->FieldByName(*def)->GetAsString()) : "");
    row.push_back(items->GetItemId().Id);
    out.rows.push_back(std::move(row));
  }
  ctx.Print(out);
}

dv::TDvEWSFolderDeleteType DeleteType(bool hard, bool soft) {
  if (hard && soft) Usage("--hard and --soft exclude each other");
  return hard   ? dv::TDvEWSFolderDeleteType::dtHardDelete
         : soft ? dv::TDvEWSFolderDeleteType::dtSoftDelete
                : dv::TDvEWSFolderDeleteType::dtMoveToDeletedItems;
}

void CmdMkdir(Context& ctx, const std::string& path) {
  FolderResolver resolver(ctx.Conn());
  auto [parent, name] = resolver.Parent(path);
  if (name.empty()) Usage("missing folder name");
  auto id = parent->CreateFolder(dv::TSetFolderFieldType::sffFolder, name);
  ctx.Done("created " + path, json{{"folder", path}, {"id", id.Id}});
}

void CmdRmdir(Context& ctx, const std::string& path, bool hard, bool soft) {
  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(path);
  auto parent = folder->GetMsgStore()->GetFolder(folder->GetParentFolderId());
  parent->DeleteFolder(folder->GetID(), DeleteType(hard, soft));
  ctx.Done("deleted " + path, json{{"folder", path}, {"deleted", true}});
}

void CmdEmpty(Context& ctx, const std::string& path, bool hard, bool soft, bool subFolders) {
  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(path);
  folder->EmptyFolder(DeleteType(hard, soft), subFolders);
  ctx.Done("emptied " + path, json{{"folder", path}, {"emptied", true}});
}

void CmdMoveCopy(Context& ctx, bool move, const std::vector<std::string>& ids,
                 const std::string& dest) {
  FolderResolver resolver(ctx.Conn());
  auto target = resolver.Open(dest);
  json results = json::array();
  for (const auto& id : ids) {
    dv::TItemId newId = move ? target->MoveItem(dv::TItemId{id, ""}, target->GetID())
                             : target->CopyItem(dv::TItemId{id, ""}, target->GetID());
    results.push_back({{"id", id}, {"new_id", newId.Id}});
    if (!ctx.options.json)
      ctx.out << (move ? "moved " : "copied ") << id << " -> " << newId.Id << '\n';
  }
  if (ctx.options.json) ctx.out << results.dump(2) << '\n';
}

void CmdRm(Context& ctx, const std::vector<std::string>& ids, bool hard, bool soft) {
  FolderResolver resolver(ctx.Conn());
  auto any = resolver.Open("inbox");
  auto type = DeleteType(hard, soft);
  json results = json::array();
  for (const auto& id : ids) {
    any->DeleteItem(dv::TItemId{id, ""}, type);
    results.push_back({{"id", id}, {"deleted", true}});
    if (!ctx.options.json) ctx.out << "deleted " << id << '\n';
  }
  if (ctx.options.json) ctx.out << results.dump(2) << '\n';
}

// Sets properties of one item (name=value, names as for --columns) and saves it: one UpdateItem
// with a change per value.
void CmdSet(Context& ctx, const std::string& id, const std::vector<std::string>& assignments) {
  std::vector<std::pair<dv::PDvEWSFieldDef, std::string>> changes;
  for (const auto& a : assignments) {
    auto eq = a.find('=');
    if (eq == std::string::npos || eq == 0) Usage("expected name=value, got \"" + a + "\"");
    changes.emplace_back(FieldByName(a.substr(0, eq)), a.substr(eq + 1));
  }
  auto item = ctx.Conn().Store()->GetItem(dv::TItemId{id, ""});
  for (const auto& [def, value] : changes)
    item->PropertyByName(*def->PropDef)->SetAsString(value);
  item->SaveChanges(dv::TDvEWSSaveOption::soAutoResolve);
  ctx.Done("updated " + id, json{{"id", id}, {"updated", changes.size()}});
}

std::string BodyArgument(const std::string& body) {
  return !body.empty() && body[0] == '@' ? ReadFile(body.substr(1)) : body;
}

void CmdSend(Context& ctx, const std::vector<std::string>& to, const std::vector<std::string>& cc,
             const std::string& subject, const std::string& body,
             const std::vector<std::string>& attach, bool saveCopy) {
  for (const auto& f : attach)
    if (!fs::is_regular_file(f)) Usage("no such file: " + f);
  const std::string text = BodyArgument(body);
  auto drafts = ctx.Conn().Store()->GetFolder(dv::TDistinguishedFolderIdName::dfindrafts);
  auto mail =
      std::dynamic_pointer_cast<dv::IDvEWSEMail>(drafts->CreateItem(dv::TItemType::tMessage));
  if (!mail) throw ToolError{kFailure, "the library made no mail object"};
  for (const auto& r : to)
    mail->GetToRecipients()->Add(r);
  for (const auto& r : cc)
    mail->GetCcRecipients()->Add(r);
  mail->SetSubject(subject);
  mail->SetBodyText(text);
  for (const auto& f : attach)
    mail->GetAttachments().AddAttachment(f);
  mail->SubmitMessage(saveCopy);
  ctx.Done("sent to " + std::to_string(to.size() + cc.size()) + " recipient(s)",
           json{{"sent", true},
                {"to", to},
                {"cc", cc},
                {"subject", subject},
                {"attachments", attach.size()}});
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

void CmdImport(Context& ctx, const std::string& folderSpec, const std::vector<std::string>& files) {
  for (const auto& f : files)
    if (!fs::is_regular_file(f)) Usage("no such file: " + f);
  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(folderSpec);
  json results = json::array();
  std::size_t imported = 0, failed = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    try {
      auto id = folder->ImportItem(files[i], std::ios::in | std::ios::binary, nullptr);
      results.push_back({{"file", files[i]}, {"id", id.Id}});
      ++imported;
    } catch (const dv::EEWSException& e) {
      results.push_back({{"file", files[i]}, {"error", e.what()}});
      ++failed;
    }
    Progress("importing", i + 1, files.size());
  }
  if (ctx.options.json)
    ctx.out << json{{"imported", imported}, {"failed", failed}, {"items", results}}.dump(2) << '\n';
  else
    ctx.out << "imported " << imported << ", failed " << failed << '\n';
  if (failed) throw ToolError{kEWS, std::to_string(failed) + " file(s) not imported"};
}

// The item of an id, as a mail message; a usage error for any other kind of item.
dv::DvEWSEMailPtr MailById(Context& ctx, const std::string& id) {
  auto mail = std::dynamic_pointer_cast<dv::IDvEWSEMail>(ctx.Conn().Store()->GetItem({id, ""}));
  if (!mail) Usage("item " + id + " is not a mail message");
  return mail;
}

// A private temporary file, removed when this object goes.
class TempFile {
 public:
  TempFile() {
    std::string pattern = (fs::temp_directory_path() / "ews-XXXXXX").string();
    int fd = mkstemp(pattern.data());
    if (fd < 0) throw ToolError{kFailure, "cannot create a temporary file"};
    close(fd);
    path_ = pattern;
  }
  ~TempFile() {
    std::error_code ec;
    fs::remove(path_, ec);
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Every property the server gave for the item (all properties), name and readable value; or with
// --mime the item's MIME content as the server renders it.
void CmdShow(Context& ctx, const std::string& id, bool mime) {
  if (mime) {
    // One request for the content alone; no item object is needed.
    TempFile file;
    ctx.Conn().Store()->SaveItemToFile({id, ""}, file.Path());
    const std::string content = ReadFile(file.Path());
    if (ctx.options.json)
      ctx.out << Context::Dump(json{{"id", id}, {"mime", content}}) << '\n';
    else
      ctx.out << content;
    return;
  }
  auto item = ctx.Conn().Store()->GetItem({id, ""});
  json j = json::object();
  j["id"] = id;
  auto& props = item->GetProperties();
  const int count = props.Count();
  for (int i = 0; i < count; ++i) {
    dv::TDvEWSProperty* p = props.At(i);
    std::string name = p->GetPropDefName().empty() ? p->GetPath() : p->GetPropDefName();
    std::string value = Readable(p->GetAsString());
    // Values made only of attributes (ids, mostly) have no text to show.
    if (!value.empty() && !j.contains(name)) j[name] = value;
  }
  ctx.PrintObject(j);
}

// Reply (to the sender, or everyone with --all) or forward, sent at once. The text goes above the
// quoted original; extra recipients add to those the server works out for a reply.
void CmdRespond(Context& ctx, const std::string& id, bool forward, bool all,
                const std::vector<std::string>& to, const std::vector<std::string>& cc,
                const std::string& body) {
  if (forward && to.empty()) Usage("forward needs at least one --to");
  auto mail = MailById(ctx, id);
  auto response = forward ? mail->CreateForward() : mail->CreateReply(all);
  for (const auto& r : to)
    response->GetToRecipients()->Add(r);
  for (const auto& r : cc)
    response->GetCcRecipients()->Add(r);
  if (!body.empty()) {
    dv::TEwsBody* content = response->GetNewBodyContent();
    content->SetBodyType(dv::TBodyType::btText);
    content->SetValue(BodyArgument(body));
  }
  const std::string subject = response->GetSubject();
  // A smart response is always sent with a copy in Sent Items (as Outlook does).
  response->SubmitMessage(true);
  const char* verb = forward ? "forwarded" : all ? "replied to all" : "replied";
  ctx.Done(std::string(verb) + ": " + subject,
           json{{"id", id}, {forward ? "forwarded" : "replied", true}, {"subject", subject}});
}

// A file name from a subject: letters, digits and a few marks kept, the rest as '_', cut short.
std::string FileNameOf(const std::string& subject) {
  std::string out;
  for (unsigned char c : subject) {
    if (out.size() >= 60) break;
    out += std::isalnum(c) || c == ' ' || c == '-' || c == '.' || c == '_' || c >= 0x80
               ? static_cast<char>(c)
               : '_';
  }
  // The cut may have split the last UTF-8 sequence: drop it when it is incomplete.
  std::size_t lead = out.size();
  while (lead > 0 && (static_cast<unsigned char>(out[lead - 1]) & 0xC0) == 0x80)
    --lead;
  if (lead > 0 && static_cast<unsigned char>(out[lead - 1]) >= 0xC0) {
    const unsigned char c = static_cast<unsigned char>(out[lead - 1]);
    const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    if (out.size() - (lead - 1) < length) out.resize(lead - 1);
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out.empty() ? "item" : out;
}

// One .eml per item of the folder, named "NNNN subject.eml"; an existing file is never
// overwritten (the name gets a number instead).
void CmdExport(Context& ctx, const std::string& folderSpec, const std::string& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) Usage("cannot create folder " + dir);
  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(folderSpec);
  auto items = folder->GetItems();
  auto subjectDef = dv::GetFieldDef("FLD_ITEM_SUBJECT", true);
  items->GetFields().Add(*subjectDef);
  std::vector<std::pair<std::string, std::string>> rows;  // id, subject
  for (items->Open(); !items->Eof(); items->Next())
    rows.emplace_back(items->GetItemId().Id, items->HasField(*subjectDef)
                                                 ? items->FieldByName(*subjectDef)->GetAsString()
                                                 : std::string());
  auto store = ctx.Conn().Store();
  json results = json::array();
  std::size_t exported = 0, failed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%04zu ", i + 1);
    const std::string stem = number + FileNameOf(rows[i].second);
    fs::path target = fs::path(dir) / (stem + ".eml");
    for (int n = 2; fs::exists(target); ++n)
      target = fs::path(dir) / (stem + " (" + std::to_string(n) + ").eml");
    try {
      store->SaveItemToFile({rows[i].first, ""}, target.string());
      results.push_back({{"id", rows[i].first}, {"file", target.string()}});
      ++exported;
    } catch (const dv::EEWSException& e) {
      results.push_back({{"id", rows[i].first}, {"error", e.what()}});
      ++failed;
    }
    Progress("exporting", i + 1, rows.size());
  }
  if (ctx.options.json)
    ctx.out << Context::Dump(json{{"exported", exported}, {"failed", failed}, {"items", results}})
            << '\n';
  else
    ctx.out << "exported " << exported << ", failed " << failed << " to " << dir << '\n';
  if (failed) throw ToolError{kEWS, std::to_string(failed) + " item(s) not exported"};
}

void CmdResolve(Context& ctx, const std::string& name) {
  ctx.Conn().Store();
  auto set = ctx.Conn().Session().ResolveName(
      name, dv::TResolveNamesSearchScope::rnssActiveDirectoryContacts);
  ewscli::Table table{{"name", "email", "routing", "type"}, {}};
  for (int i = 0; set && i < set->Count(); ++i) {
    auto entry = set->GetItem(i);
    auto mailbox = entry->Recipient();
    if (!mailbox) continue;
    std::string type(
        dv::DvEnumTypeInfo(dv::TMailboxType{}).ToXML(static_cast<int>(mailbox->GetMailboxType())));
    table.rows.push_back(
        {mailbox->GetName(), mailbox->GetEmailAddress(), mailbox->GetRoutingType(), type});
  }
  ctx.Print(table);
}

int Main(int argc, char** argv) {
  Context ctx;
  CLI::App app{"ews: Exchange Web Services from the command line"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "help for every command");
  auto& o = ctx.options;
  if (const char* v = std::getenv("EWS_URL")) o.url = v;
  if (const char* v = std::getenv("EWS_USER")) o.user = v;
  app.add_option("--url", o.url, "EWS endpoint (https://host/EWS/Exchange.asmx); env EWS_URL");
  app.add_option("--user", o.user, "user name; env EWS_USER");
  app.add_option("--password-file", o.passwordFile,
                 "file holding the password (else EWS_PASSWORD, else a prompt)");
  app.add_flag("--insecure", o.insecure, "do not verify the server's TLS certificate");
  app.add_option("--version-check", o.versionCheck,
                 "on: refuse servers older than Exchange 2007 SP1 (default); off: skip")
      ->check(CLI::IsMember({"on", "off"}));
  app.add_option("--impersonate", o.impersonate, "open this mailbox's store (SMTP address)");
  app.add_option("--trace", o.trace,
                 "write every SOAP request and response to numbered files in DIR");
  app.add_flag("--json", o.json, "print JSON instead of tables");

  auto* info = app.add_subcommand("info", "server version, time zone and default store");

  auto* folders = app.add_subcommand("folders", "list folders");
  bool tree = false;
  std::string under;
  folders->add_flag("--tree", tree, "the whole folder tree");
  folders->add_option("FOLDER", under, "start below this folder (default: the top)");

  auto* ls = app.add_subcommand("ls", "list the items of a folder");
  std::string folder, columns = "subject,from,datetimereceived,isread", where;
  int limit = 0, pageSize = 0;
  ls->add_option("FOLDER", folder, "inbox, sentitems, Inbox/Sub, …")->required();
  ls->add_option("--columns", columns, "comma-separated field names")->capture_default_str();
  ls->add_option("--where", where, "filter, e.g. \"isread = false and subject contains 'x'\"");
  ls->add_option("--limit", limit, "at most this many rows")->check(CLI::NonNegativeNumber);
  ls->add_option("--page-size", pageSize, "rows per request")->check(CLI::PositiveNumber);

  auto* mkdir = app.add_subcommand("mkdir", "create a folder (path of display names)");
  std::string path;
  mkdir->add_option("PATH", path)->required();
  auto* rmdir = app.add_subcommand("rmdir", "delete a folder");
  rmdir->add_option("FOLDER", path)->required();
  bool hard = false, soft = false, subFolders = false;
  rmdir->add_flag("--hard", hard, "delete for good");
  rmdir->add_flag("--soft", soft, "soft delete (recoverable)");
  auto* empty = app.add_subcommand("empty", "delete every item of a folder");
  empty->add_option("FOLDER", path)->required();
  empty->add_flag("--hard", hard, "delete for good");
  empty->add_flag("--soft", soft, "soft delete (recoverable)");
  empty->add_flag("--subfolders", subFolders, "also delete its sub-folders");

  std::vector<std::string> ids;
  std::string dest;
  // "mv ID… FOLDER": the last argument is the folder.
  auto* mv = app.add_subcommand("mv", "move items to a folder: mv ID... FOLDER");
  mv->add_option("ID...FOLDER", ids)->required()->expected(2, 1 << 20);
  auto* cp = app.add_subcommand("cp", "copy items to a folder: cp ID... FOLDER");
  cp->add_option("ID...FOLDER", ids)->required()->expected(2, 1 << 20);
  auto* rm = app.add_subcommand("rm", "delete items (to Deleted Items unless --hard/--soft)");
  rm->add_option("ID", ids)->required();
  rm->add_flag("--hard", hard, "delete for good");
  rm->add_flag("--soft", soft, "soft delete (recoverable)");

  auto* import = app.add_subcommand("import", "import .eml files into a folder");
  std::vector<std::string> files;
  import->add_option("FOLDER", folder)->required();
  import->add_option("FILE", files)->required();

  auto* set = app.add_subcommand("set", "set properties of an item: set ID name=value...");
  std::string itemId;
  std::vector<std::string> assignments;
  set->add_option("ID", itemId)->required();
  set->add_option("NAME=VALUE", assignments)->required();

  auto* send = app.add_subcommand("send", "send a message");
  std::vector<std::string> to, cc;
  std::string subject, body;
  bool saveCopy = false;
  send->add_option("--to", to, "recipient (repeatable)")->required();
  send->add_option("--cc", cc, "copy recipient (repeatable)");
  send->add_option("--subject", subject, "subject");
  send->add_option("--body", body, "body text, or @FILE");
  std::vector<std::string> attach;
  send->add_option("--attach", attach, "attach a file (repeatable)");
  send->add_flag("--save-copy", saveCopy, "keep a copy in Sent Items");

  auto* show = app.add_subcommand("show", "an item's properties, or its MIME content");
  bool mime = false;
  show->add_option("ID", itemId)->required();
  show->add_flag("--mime", mime, "print the MIME content (RFC 822) instead");

  bool all = false;
  auto* reply = app.add_subcommand("reply", "reply to a message at once");
  reply->add_option("ID", itemId)->required();
  reply->add_flag("--all", all, "reply to all recipients");
  auto* forward = app.add_subcommand("forward", "forward a message at once");
  forward->add_option("ID", itemId)->required();
  for (auto* cmd : {reply, forward}) {
    cmd->add_option("--to", to, "recipient (repeatable)");
    cmd->add_option("--cc", cc, "copy recipient (repeatable)");
    cmd->add_option("--body", body, "text above the original, or @FILE");
  }

  auto* exportCmd = app.add_subcommand("export", "save every item of a folder as .eml files");
  std::string dir;
  exportCmd->add_option("FOLDER", folder)->required();
  exportCmd->add_option("DIR", dir)->required();

  auto* resolve = app.add_subcommand("resolve", "resolve a name in the directory and contacts");
  std::string name;
  resolve->add_option("NAME", name)->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "ews: " << e.what() << '\n';
    return kUsage;
  }

  try {
    if (info->parsed())
      CmdInfo(ctx);
    else if (folders->parsed())
      CmdFolders(ctx, tree, under);
    else if (ls->parsed())
      CmdLs(ctx, folder, columns, where, limit, pageSize);
    else if (mkdir->parsed())
      CmdMkdir(ctx, path);
    else if (rmdir->parsed())
      CmdRmdir(ctx, path, hard, soft);
    else if (empty->parsed())
      CmdEmpty(ctx, path, hard, soft, subFolders);
    else if (mv->parsed() || cp->parsed()) {
      dest = ids.back();
      ids.pop_back();
      if (mv->parsed())
        CmdMoveCopy(ctx, true, ids, dest);
      else
        CmdMoveCopy(ctx, false, ids, dest);
    } else if (rm->parsed())
      CmdRm(ctx, ids, hard, soft);
    else if (import->parsed())
      CmdImport(ctx, folder, files);
    else if (set->parsed())
      CmdSet(ctx, itemId, assignments);
    else if (send->parsed())
      CmdSend(ctx, to, cc, subject, body, attach, saveCopy);
    else if (show->parsed())
      CmdShow(ctx, itemId, mime);
    else if (reply->parsed() || forward->parsed())
      CmdRespond(ctx, itemId, forward->parsed(), all, to, cc, body);
    else if (exportCmd->parsed())
      CmdExport(ctx, folder, dir);
    else if (resolve->parsed())
      CmdResolve(ctx, name);
    return kOk;
  } catch (const ToolError& e) {
    std::cerr << "ews: " << e.message << '\n';
    return e.code;
  } catch (const dv::EEWSException& e) {
    std::cerr << "ews: " << e.what() << '\n';
    return e.GetEWSErrorCode().empty() && e.GetHTTPErrorCode() != 0 ? kConnection : kEWS;
  } catch (const dv::EDvSOAPFaultException& e) {
    // The server understood the request and refused it (a denied impersonation, say).
    std::cerr << "ews: " << (e.GetResponseCode().empty() ? "" : e.GetResponseCode() + ": ")
              << e.what() << '\n';
    return kEWS;
  } catch (const dv::EDvHTTPException& e) {
    std::cerr << "ews: connection failed: " << e.what() << '\n';
    return kConnection;
  } catch (const std::exception& e) {
    std::cerr << "ews: " << e.what() << '\n';
    return kFailure;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return Main(argc, argv);
}
