// ews: a command-line tool over the EWS library. It logs on with a session, opens the default
// store (or another mailbox's) and carries out one command, printing a table on a terminal or
// JSON with --json.
//
// Exit codes: 0 success, 1 other failure, 2 usage error (bad arguments, malformed filter, unknown
// field or folder), 3 connection or authentication failure, 4 EWS error (the response code is
// printed).
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "ews_context.h"

using namespace ewscli;

namespace {

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
  // Over https with every certificate and host-name check on.
  j["server_verified"] = session.GetServerVerified();
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
  if (!ctx.Json()) return ctx.Print(table);
  ewscli::JsonWriter writer(ctx.out, ctx.options.jsonLines);
  for (const auto& row : table.rows)
    writer.Add({{"folder", row[0]},
                {"total", JsonValue(ValueKind::Integer, row[1])},
                {"unread", JsonValue(ValueKind::Integer, row[2])},
                {"id", row[3]}});
  writer.Finish();
}

// Rows are printed as the pages arrive, so the memory needed does not grow with the folder.
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
  std::vector<ValueKind> kinds;
  std::vector<std::string> keys;
  for (const auto& n : names) {
    defs.push_back(FieldByName(n));
    kinds.push_back(KindOf(defs.back()));
    keys.push_back(KeyOf(defs.back(), ctx.DefinitionKeys()));
  }

  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(folderSpec);
  auto items = folder->GetItems();
  auto table = std::dynamic_pointer_cast<dv::TDvEWSTable>(items);
  if (table && pageSize > 0) table->SetPageSize(pageSize);
  for (auto def : defs)
    items->GetFields().Add(*def);
  if (filter) items->Filter(Compile(*items, *filter));

  std::vector<std::string> header = names;
  header.push_back("id");
  // A table takes its column widths from the first page.
  const std::size_t sample = pageSize > 0 ? static_cast<std::size_t>(pageSize)
                             : table      ? static_cast<std::size_t>(table->GetPageSize())
                                          : 100;
  std::optional<ewscli::TableWriter> rows;
  std::optional<ewscli::JsonWriter> objects;
  if (ctx.Json())
    objects.emplace(ctx.out, ctx.options.jsonLines);
  else
    rows.emplace(ctx.out, header, 60, std::clamp<std::size_t>(sample, 1, 1000));
  int n = 0;
  for (items->Open(); !items->Eof() && (limit <= 0 || n < limit); items->Next(), ++n) {
    if (objects) {
      json object = json::object();
      for (std::size_t c = 0; c < defs.size(); ++c)
        object[keys[c]] = items->HasField(*defs[c])
                              ? JsonValue(kinds[c], items->FieldByName(*defs[c])->GetAsString())
                              : json(nullptr);
      object["id"] = items->GetItemId().Id;
      objects->Add(object);
    } else {
      std::vector<std::string> row;
      for (std::size_t c = 0; c < defs.size(); ++c)
        row.push_back(items->HasField(*defs[c])
                          ? ShownText(kinds[c], items->FieldByName(*defs[c])->GetAsString())
                          : "");
      row.push_back(items->GetItemId().Id);
      rows->Add(std::move(row));
    }
  }
  if (objects) objects->Finish();
  if (rows) rows->Finish();
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
    if (!ctx.Json()) ctx.out << (move ? "moved " : "copied ") << id << " -> " << newId.Id << '\n';
  }
  if (ctx.Json()) ctx.out << results.dump(2) << '\n';
}

void CmdRm(Context& ctx, const std::vector<std::string>& ids, bool hard, bool soft) {
  FolderResolver resolver(ctx.Conn());
  auto any = resolver.Open("inbox");
  auto type = DeleteType(hard, soft);
  json results = json::array();
  for (const auto& id : ids) {
    any->DeleteItem(dv::TItemId{id, ""}, type);
    results.push_back({{"id", id}, {"deleted", true}});
    if (!ctx.Json()) ctx.out << "deleted " << id << '\n';
  }
  if (ctx.Json()) ctx.out << results.dump(2) << '\n';
}

// Sets properties of one item (name=value, names as for --columns) and saves it: one UpdateItem
// with a change per value.
void CmdSet(Context& ctx, const std::string& id, const std::vector<std::string>& assignments) {
  std::vector<std::pair<dv::PDvEWSFieldDef, std::string>> changes;
  for (const auto& a : assignments) {
    auto eq = a.find('=');
    if (eq == std::string::npos || eq == 0) Usage("expected name=value, got \"" + a + "\"");
    const std::string name = a.substr(0, eq), value = a.substr(eq + 1);
    changes.emplace_back(FieldByName(name), value);
    CheckValue(name, changes.back().first, value);
  }
  auto item = ctx.Conn().Store()->GetItem(dv::TItemId{id, ""});
  for (const auto& [def, value] : changes)
    item->PropertyByName(*def->PropDef)->SetAsString(value);
  item->SaveChanges(dv::TDvEWSSaveOption::soAutoResolve);
  ctx.Done("updated " + id, json{{"id", id}, {"updated", changes.size()}});
}

void CmdSend(Context& ctx, const std::vector<std::string>& to, const std::vector<std::string>& cc,
             const std::string& subject, const std::string& body,
             const std::vector<std::string>& attach, bool saveCopy) {
  CheckAddresses("--to", to);
  CheckAddresses("--cc", cc);
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

// Each file is imported once and reported on its own; a name that is not valid UTF-8 is shown with
// U+FFFD in its place (the file itself is read by its real name).
void CmdImport(Context& ctx, const std::string& folderSpec, const std::vector<std::string>& files) {
  for (const auto& f : files)
    if (!fs::is_regular_file(f)) Usage("no such file: " + ewscli::CellText(f));
  FolderResolver resolver(ctx.Conn());
  auto folder = resolver.Open(folderSpec);
  json results = json::array();
  std::size_t imported = 0, failed = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string shown = ewscli::CellText(files[i]);
    try {
      auto id = folder->ImportItem(files[i], std::ios::in | std::ios::binary, nullptr);
      results.push_back({{"file", shown}, {"id", id.Id}});
      ++imported;
    } catch (const dv::Exception& e) {
      results.push_back({{"file", shown}, {"error", e.what()}});
      if (!ctx.Json()) std::cerr << "ews: " << shown << ": " << e.what() << '\n';
      ++failed;
    }
    Progress("importing", i + 1, files.size());
  }
  if (ctx.Json())
    ctx.out << Context::Dump(json{{"imported", imported}, {"failed", failed}, {"items", results}})
            << '\n';
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

// A private temporary folder (mode 0700), removed with its content when this object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ews-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw ToolError{kFailure, "cannot create a temporary folder"};
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// An item's MIME content, fetched with one request into a folder no one else can read.
std::string FetchMime(Context& ctx, const std::string& id) {
  TempDir dir;
  const fs::path file = dir.Path() / "item.eml";
  ctx.Conn().Store()->SaveItemToFile({id, ""}, file.string());
  return ReadFile(file.string());
}

// Every property the server gave for the item (all properties), name and readable value; or with
// --mime the item's MIME content as the server renders it.
void CmdShow(Context& ctx, const std::string& id, bool mime) {
  if (mime) {
    // One request for the content alone; no item object is needed.
    const std::string content = FetchMime(ctx, id);
    if (ctx.Json())
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
    const std::string definition = p->GetPropDefName().empty() ? p->GetPath() : p->GetPropDefName();
    // The key and type of the field with this property, the names and types `ls` uses.
    dv::PDvEWSFieldDef def = nullptr;
    try {
      if (!p->GetPropDefName().empty()) def = dv::GetFirstFieldDef(definition);
    } catch (const dv::Exception&) {
    }
    const std::string name = def ? KeyOf(def, ctx.DefinitionKeys()) : definition;
    const ValueKind kind = def ? KindOf(def)
                           : p->GetPropDefNodeType() == dv::TDvEWSPropDefNodeType::pdntSimple
                               ? ValueKind::Text
                               : ValueKind::Structured;
    const std::string text = p->GetAsString();
    // Values made only of attributes (ids, mostly) have no text to show.
    if (j.contains(name) || ShownText(kind, text).empty()) continue;
    j[name] = JsonValue(kind, text);
  }
  ctx.PrintObject(j);
}

// Reply (to the sender, or everyone with --all) or forward, sent at once. The text goes above the
// quoted original; extra recipients add to those the server works out for a reply.
void CmdRespond(Context& ctx, const std::string& id, bool forward, bool all,
                const std::vector<std::string>& to, const std::vector<std::string>& cc,
                const std::string& body) {
  if (forward && to.empty()) Usage("forward needs at least one --to");
  CheckAddresses("--to", to);
  CheckAddresses("--cc", cc);
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

// A file name from a subject: letters, digits and a few marks kept, the rest as '_', control and
// bidirectional-control characters dropped, invalid UTF-8 as '_', cut short.
std::string FileNameOf(const std::string& subject) {
  std::string out;
  for (std::size_t i = 0; i < subject.size() && out.size() < 60;) {
    const unsigned char c = static_cast<unsigned char>(subject[i]);
    if (c < 0x80) {
      if (c >= 0x20 && c != 0x7F)
        out += std::isalnum(c) || c == ' ' || c == '-' || c == '.' || c == '_'
                   ? static_cast<char>(c)
                   : '_';
      ++i;
      continue;
    }
    // One UTF-8 sequence: kept whole when valid and printable.
    const std::size_t length = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    bool valid = length > 0 && i + length <= subject.size();
    for (std::size_t k = 1; valid && k < length; ++k)
      valid = (static_cast<unsigned char>(subject[i + k]) & 0xC0) == 0x80;
    if (!valid) {
      out += '_';
      ++i;
      continue;
    }
    std::uint32_t cp = c & (0xFF >> (length + 1));
    for (std::size_t k = 1; k < length; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(subject[i + k]) & 0x3F);
    const bool hidden = (cp >= 0x80 && cp < 0xA0) || (cp >= 0x202A && cp <= 0x202E) ||
                        (cp >= 0x2066 && cp <= 0x2069) || cp == 0x200E || cp == 0x200F;
    if (!hidden) {
      if (out.size() + length > 60) break;
      out.append(subject, i, length);
    }
    i += length;
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
  json results = json::array();
  std::size_t exported = 0, failed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    char number[32];
    std::snprintf(number, sizeof number, "%04zu ", i + 1);
    const std::string stem = number + FileNameOf(rows[i].second);
    try {
      const std::string content = FetchMime(ctx, rows[i].first);
      // Created here, private and new: an existing file is never overwritten.
      fs::path target = fs::path(dir) / (stem + ".eml");
      int fd = -1;
      for (int n = 2;
           (fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)) < 0; ++n) {
        if (errno != EEXIST) throw ToolError{kFailure, "cannot write " + target.string()};
        target = fs::path(dir) / (stem + " (" + std::to_string(n) + ").eml");
      }
      WriteAndClose(fd, content, target);
      results.push_back({{"id", rows[i].first}, {"file", target.string()}});
      ++exported;
    } catch (const dv::EEWSException& e) {
      results.push_back({{"id", rows[i].first}, {"error", e.what()}});
      ++failed;
    }
    Progress("exporting", i + 1, rows.size());
  }
  if (ctx.Json())
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

constexpr const char* kToolVersion = EWS_TOOL_VERSION;

const char* kExitCodes =
    "Exit codes:\n"
    "  0  success\n"
    "  1  other failure\n"
    "  2  usage error (bad arguments, malformed filter, unknown field or folder, bad value)\n"
    "  3  connection, certificate or authentication failure\n"
    "  4  EWS error (the response code, such as ErrorItemNotFound, is printed)\n"
    "\n"
    "Environment: EWS_URL, EWS_USER, EWS_PASSWORD, EWS_PROFILE.\n"
    "Run 'ews COMMAND --help' for a command's arguments and an example.\n";

// The first word that is not an option or an option's value: the command the user meant.
std::string FirstWord(int argc, char** argv, const CLI::App& app) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
    if (arg.rfind("-", 0) != 0) return arg;
    if (arg.find('=') != std::string::npos) continue;
    try {
      const CLI::Option* option = app.get_option(arg);
      if (option->get_items_expected_min() > 0) ++i;  // its value
    } catch (const CLI::OptionNotFound&) {
    }
  }
  return {};
}

int Main(int argc, char** argv) {
  Context ctx;
  CLI::App app{"ews: Exchange Web Services from the command line"};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "help for every command");
  app.set_version_flag("--version",
                       std::string("ews ") + kToolVersion + "\nlibrary dvews " +
                           dv::DvEWSVersion() + " (" + dv::DvEWSBuild() + ")",
                       "print the tool's and the library's versions");
  app.footer(kExitCodes);
  auto& o = ctx.options;
  if (const char* v = std::getenv("EWS_URL")) o.url = v;
  if (const char* v = std::getenv("EWS_USER")) o.user = v;
  if (const char* v = std::getenv("EWS_PROFILE")) o.profile = v;
  app.add_option("--profile", o.profile,
                 "log on with this stored profile (ews login saves one; without --url, the "
                 "default profile); env EWS_PROFILE");
  app.add_option("--url", o.url, "EWS endpoint (https://host/EWS/Exchange.asmx); env EWS_URL");
  app.add_option("--user", o.user, "user name; env EWS_USER");
  app.add_option("--password-file", o.passwordFile,
                 "file holding the password (else EWS_PASSWORD, else a prompt)");
  app.add_flag("--insecure", o.insecure,
               "do not verify the server's TLS certificate (prints a warning)");
  app.add_option("--cacert", o.caCertFile,
                 "PEM file of certificate authorities to trust besides the system's");
  app.add_option("--capath", o.caCertPath,
                 "folder of certificate authorities (OpenSSL hashed names, c_rehash)");
  app.add_option("--version-check", o.versionCheck,
                 "on: refuse servers older than Exchange 2007 SP1 or without a version (default); "
                 "off: skip")
      ->check(CLI::IsMember({"on", "off"}));
  app.add_option("--impersonate", o.impersonate, "open this mailbox's store (SMTP address)");
  app.add_option("--trace", o.trace,
                 "write every SOAP request and response to numbered files in DIR (mode 0600)");
  app.add_flag("--json", o.json, "print JSON instead of tables");
  app.add_flag("--jsonl", o.jsonLines, "print JSON Lines: one compact object per line");
  app.add_option("--keys", o.keys,
                 "JSON keys: friendly (subject, isread; default) or definition (PR_SUBJECT, …)")
      ->check(CLI::IsMember({"friendly", "definition"}));

  auto* info = app.add_subcommand("info", "server version, time zone, default store, TLS check");
  Example(info, "ews --json info");

  auto* folders = app.add_subcommand("folders", "list folders with total and unread counts");
  bool tree = false;
  std::string under;
  folders->add_flag("--tree", tree, "the whole folder tree");
  folders->add_option("FOLDER", under, "start below this folder (default: the top)");
  Example(folders, "ews folders --tree inbox");

  auto* ls = app.add_subcommand("ls", "list the items of a folder, printed as they arrive");
  std::string folder, columns = "subject,from,datetimereceived,isread", where;
  int limit = 0, pageSize = 0;
  ls->add_option("FOLDER", folder,
                 "a distinguished name (inbox, sentitems, …), a path (Inbox/Sub) or a folder id")
      ->required();
  ls->add_option("--columns", columns,
                 "comma-separated field names (subject, isread, FLD_…, PR_…, MPR_…)")
      ->capture_default_str();
  ls->add_option("--where", where, "filter, e.g. \"isread = false and subject contains 'x'\"");
  ls->add_option("--limit", limit, "at most this many rows")->check(CLI::NonNegativeNumber);
  ls->add_option("--page-size", pageSize, "rows per request")->check(CLI::PositiveNumber);
  Example(ls, "ews ls inbox --columns subject,from,size --where \"isread = false\" --limit 20");

  auto* mkdir = app.add_subcommand("mkdir", "create a folder (path of display names)");
  std::string path;
  mkdir->add_option("PATH", path, "the new folder's path, e.g. Inbox/Projects")->required();
  Example(mkdir, "ews mkdir Inbox/Projects");
  auto* rmdir = app.add_subcommand("rmdir", "delete a folder");
  rmdir->add_option("FOLDER", path, "the folder to delete")->required();
  bool hard = false, soft = false, subFolders = false;
  rmdir->add_flag("--hard", hard, "delete for good");
  rmdir->add_flag("--soft", soft, "soft delete (recoverable)");
  Example(rmdir, "ews rmdir --hard Inbox/Projects");
  auto* empty = app.add_subcommand("empty", "delete every item of a folder");
  empty->add_option("FOLDER", path, "the folder to empty")->required();
  empty->add_flag("--hard", hard, "delete for good");
  empty->add_flag("--soft", soft, "soft delete (recoverable)");
  empty->add_flag("--subfolders", subFolders, "also delete its sub-folders");
  Example(empty, "ews empty --hard junkemail");

  std::vector<std::string> ids;
  std::string dest;
  // "mv ID… FOLDER": the last argument is the folder.
  auto* mv = app.add_subcommand("mv", "move items to a folder: mv ID... FOLDER");
  mv->add_option("ID...FOLDER", ids, "item ids, then the target folder")
      ->required()
      ->expected(2, 1 << 20);
  Example(mv, "ews mv ID1 ID2 Inbox/Projects");
  auto* cp = app.add_subcommand("cp", "copy items to a folder: cp ID... FOLDER");
  cp->add_option("ID...FOLDER", ids, "item ids, then the target folder")
      ->required()
      ->expected(2, 1 << 20);
  Example(cp, "ews cp ID Inbox/Archive");
  auto* rm = app.add_subcommand("rm", "delete items (to Deleted Items unless --hard/--soft)");
  rm->add_option("ID", ids, "item ids")->required();
  rm->add_flag("--hard", hard, "delete for good");
  rm->add_flag("--soft", soft, "soft delete (recoverable)");
  Example(rm, "ews rm --hard ID");

  auto* import = app.add_subcommand("import", "import .eml files into a folder");
  std::vector<std::string> files;
  import->add_option("FOLDER", folder, "the target folder")->required();
  import->add_option("FILE", files, "MIME files (.eml)")->required();
  Example(import, "ews import inbox *.eml");

  auto* set = app.add_subcommand("set", "set properties of an item: set ID name=value...");
  std::string itemId;
  std::vector<std::string> assignments;
  set->add_option("ID", itemId, "the item id")->required();
  set->add_option("NAME=VALUE", assignments,
                  "field names as for ls --columns; values checked against the field's type")
      ->required();
  Example(set, "ews set ID isread=true importance=High");

  auto* send = app.add_subcommand("send", "send a message");
  std::vector<std::string> to, cc;
  std::string subject, body;
  bool saveCopy = false;
  send->add_option("--to", to, "recipient address name@domain (repeatable)")->required();
  send->add_option("--cc", cc, "copy recipient address (repeatable)");
  send->add_option("--subject", subject, "subject");
  send->add_option("--body", body, "body text, or @FILE");
  std::vector<std::string> attach;
  send->add_option("--attach", attach, "attach a file (repeatable)");
  send->add_flag("--save-copy", saveCopy, "keep a copy in Sent Items");
  Example(send, "ews send --to bob@example.com --subject Hi --body @note.txt --attach a.pdf");

  auto* show = app.add_subcommand("show", "an item's properties, or its MIME content");
  bool mime = false;
  show->add_option("ID", itemId, "the item id")->required();
  show->add_flag("--mime", mime, "print the MIME content (RFC 822) instead");
  Example(show, "ews show --mime ID > message.eml");

  bool all = false;
  auto* reply = app.add_subcommand("reply", "reply to a message at once");
  reply->add_option("ID", itemId, "the message's id")->required();
  reply->add_flag("--all", all, "reply to all recipients");
  Example(reply, "ews reply --all ID --body \"Thanks\"");
  auto* forward = app.add_subcommand("forward", "forward a message at once");
  forward->add_option("ID", itemId, "the message's id")->required();
  Example(forward, "ews forward ID --to carol@example.com --body \"FYI\"");
  for (auto* cmd : {reply, forward}) {
    cmd->add_option("--to", to, "recipient address (repeatable)");
    cmd->add_option("--cc", cc, "copy recipient address (repeatable)");
    cmd->add_option("--body", body, "text above the original, or @FILE");
  }

  auto* exportCmd = app.add_subcommand("export", "save every item of a folder as .eml files");
  std::string dir;
  exportCmd->add_option("FOLDER", folder, "the folder to export")->required();
  exportCmd->add_option("DIR", dir, "where the files go (created; mode 0600 files)")->required();
  Example(exportCmd, "ews export inbox ./backup");

  auto* resolve = app.add_subcommand("resolve", "resolve a name in the directory and contacts");
  std::string name;
  resolve->add_option("NAME", name, "a name or part of an address")->required();
  Example(resolve, "ews resolve bob");

  // Commands kept in files of their own.
  for (auto& group : CommandGroups())
    group.add(app, ctx);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (app.get_subcommands().empty()) {
      const std::string word = FirstWord(argc, argv, app);
      if (!word.empty()) {
        std::cerr << "ews: unknown command \"" << word << "\" (ews --help lists them)\n";
        return kUsage;
      }
    }
    std::cerr << "ews: " << e.what() << '\n';
    return kUsage;
  }
  if (o.json && o.jsonLines) {
    std::cerr << "ews: --json and --jsonl exclude each other\n";
    return kUsage;
  }
  if (o.insecure && (!o.caCertFile.empty() || !o.caCertPath.empty())) {
    std::cerr << "ews: --insecure and --cacert/--capath exclude each other\n";
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
    else
      for (auto& group : CommandGroups())
        if (group.run(ctx)) break;
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
  } catch (const dv::EDvThrottledException& e) {
    // The server answered, but kept saying it was busy: not a connection failure.
    std::cerr << "ews: " << e.what() << '\n';
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
