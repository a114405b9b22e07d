// What the ews tool's commands share: options, the connection, field names and values, folder
// paths, output, and the table of command groups that files of their own add commands to.
#pragma once

#include <CLI/CLI.hpp>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "DvHTTP.h"
#include "DvSOAP.h"
#include "DvUtils.h"
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
#include "uDvEWSTypes.h"
#include "uDvEWSVersion.h"

namespace ewscli {

namespace fs = std::filesystem;
using nlohmann::json;

enum ExitCode { kOk = 0, kFailure = 1, kUsage = 2, kConnection = 3, kEWS = 4 };

// A failure with its exit code; the message is printed on one line.
struct ToolError {
  int code;
  std::string message;
};

[[noreturn]] void Usage(const std::string& message);
std::string Lower(std::string s);
std::string Upper(std::string s);
std::string ReadFile(const std::string& path);

// ---- Options ----

struct Options {
  std::string url;
  std::string user;
  std::string passwordFile;
  bool insecure = false;
  std::string caCertFile;
  std::string caCertPath;
  std::string versionCheck = "on";
  std::string impersonate;
  std::string trace;
  bool json = false;
  bool jsonLines = false;
  std::string keys = "friendly";
  std::string profile;  // --profile, env EWS_PROFILE
};

// Writes content to an open file and closes it.
void WriteAndClose(int fd, const std::string& content, const fs::path& path);
// Writes a file readable by its owner only (mailbox content and traces are private).
void WritePrivateFile(const fs::path& path, const std::string& content);
// The host of a URL ("https://user@host:443/path" gives "host"; "[::1]" gives "::1").
std::string UrlHost(const std::string& url);
bool IsLoopbackHost(const std::string& host);
std::string ReadPassword(const Options& o);
// Sets a session up for the Authorize grant: a loopback listener for the browser's return, its
// redirect URI, and the sign-in hook (cmd_login.cpp).
void PrepareAuthorize(dv::TDvEWSCustomSession& session);

// ---- Connection ----

class Connection {
 public:
  explicit Connection(const Options& o) : options_(o) {}

  dv::TDvEWSCustomSession& Session() { return session_; }

  void Logon();
  std::shared_ptr<dv::IDvEWSMsgStore> Store();

 private:
  const Options& options_;
  dv::TDvEWSCustomSession session_;
  std::shared_ptr<dv::IDvEWSMsgStore> store_;
};

// A field definition by a friendly name (subject, isread, datetimereceived, …) or by any
// definition name of the registry (FLD_…, PR_…, MPR_…, EPR_…).
dv::PDvEWSFieldDef FieldByName(const std::string& name);
// The text of XML character data with entities and character references decoded.
std::string Unescape(const std::string& text);
// A value as a person reads it: a mailbox as "Name <address>", other XML values as their texts.
std::string Readable(const std::string& value);
enum class ValueKind { Text, Boolean, Integer, Number, DateTime, Structured };
ValueKind KindOfSchema(dv::TDvXMLSchemaValueKind kind);
ValueKind KindOf(dv::PDvEWSFieldDef def);
std::string KeyOf(dv::PDvEWSFieldDef def, bool definitionNames);
std::string ShownText(ValueKind kind, const std::string& text);
json JsonValue(ValueKind kind, const std::string& text);
void CheckValue(const std::string& name, dv::PDvEWSFieldDef def, const std::string& text);
bool IsBareAddress(const std::string& address);
void CheckAddresses(const std::string& option, const std::vector<std::string>& addresses);
dv::DvEWSRestrictionPtr Compile(dv::IDvEWSTableBase& table, const FilterNode& node);

class FolderResolver {
 public:
  explicit FolderResolver(Connection& c) : connection_(c) {}

  dv::DvEWSFolderPtr Open(const std::string& name);

  // The parent folder of a path and the last name in it (for mkdir).
  std::pair<dv::DvEWSFolderPtr, std::string> Parent(const std::string& name) {
    auto slash = name.find_last_of('/');
    if (slash == std::string::npos) return {Open(""), name};
    return {Open(name.substr(0, slash)), name.substr(slash + 1)};
  }

  static dv::DvEWSFolderPtr Child(const dv::DvEWSFolderPtr& folder, const std::string& name);

 private:
  Connection& connection_;
};
struct Context {
  Options options;
  std::unique_ptr<Connection> connection;
  std::ostream& out = std::cout;

  Connection& Conn() {
    if (!connection) connection = std::make_unique<Connection>(options);
    return *connection;
  }
  // JSON text; bytes that are not UTF-8 (a raw MIME body, say) become U+FFFD.
  static std::string Dump(const json& j) { return ewscli::DumpJson(j); }
  bool DefinitionKeys() const { return options.keys == "definition"; }
  bool Json() const { return options.json || options.jsonLines; }
  void Print(const ewscli::Table& table) {
    if (Json()) {
      ewscli::JsonWriter writer(out, options.jsonLines);
      for (const auto& row : TableToJson(table))
        writer.Add(row);
      writer.Finish();
    } else {
      ewscli::PrintTable(out, table);
    }
  }
  void PrintObject(const json& object) {
    if (Json()) {
      out << ewscli::DumpJson(object, options.jsonLines ? -1 : 2) << '\n';
      return;
    }
    std::size_t width = 0;
    for (auto it = object.begin(); it != object.end(); ++it)
      width = std::max(width, it.key().size());
    for (auto it = object.begin(); it != object.end(); ++it) {
      const json& v = it.value();
      out << it.key() << std::string(width - it.key().size() + 2, ' ')
          << ewscli::TerminalText(v.is_string() ? v.get<std::string>()
                                  : v.is_null() ? std::string()
                                                : v.dump())
          << '\n';
    }
  }
  void Done(const std::string& message, json object) {
    if (Json())
      out << ewscli::DumpJson(object, options.jsonLines ? -1 : 2) << '\n';
    else
      out << ewscli::TerminalText(message) << '\n';
  }
};

// Body text given on the command line, or @FILE for a file's content.
std::string BodyArgument(const std::string& body);
// A progress line on a terminal: "label  [#####.....]  n/total".
void Progress(const std::string& label, std::size_t done, std::size_t total);
// An example line in a command's help.
void Example(CLI::App* cmd, const std::string& text);

// A group of commands kept in a file of its own. `add` declares its subcommands on the app (the
// variables its options fill live in the group's own state); `run` carries out the parsed
// command if it is one of the group's and says whether it was. A file registers its group with a
// namespace-scope `const bool registered = ewscli::RegisterCommands({...});`.
struct CommandGroup {
  std::function<void(CLI::App& app, Context& ctx)> add;
  std::function<bool(Context& ctx)> run;
};
bool RegisterCommands(CommandGroup group);
std::vector<CommandGroup>& CommandGroups();

}  // namespace ewscli
