// ews watch: prints folder events as they arrive; ews sync: mirrors a folder into .eml files.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <fstream>

#include "DvMainThread.h"
#include "ews_context.h"
#include "uDvEWSNotifications.h"
#include "uDvEWSNotificationsEx.h"

namespace ewscli {

namespace {

std::atomic<bool> stopRequested{false};

void OnStopSignal(int) {
  stopRequested = true;
}

std::string NowText() {
  const std::time_t t = std::time(nullptr);
  char buf[32];
  std::tm tm{};
  gmtime_r(&t, &tm);
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

void CmdWatch(Context& ctx, const std::vector<std::string>& names) {
  ctx.Conn().Logon();
  FolderResolver resolver(ctx.Conn());
  std::vector<std::pair<dv::DvEWSFolderPtr, std::string>> folders;
  for (const std::string& name : names.empty() ? std::vector<std::string>{"inbox"} : names)
    folders.emplace_back(resolver.Open(name), name);
  auto nameOf = [&](const dv::DvEWSFolderPtr& f) {
    for (auto& [folder, name] : folders)
      if (folder == f) return name;
    return std::string();
  };
  auto print = [&](const char* kind, const dv::DvEWSFolderPtr& f, const dv::TItemId& id,
                   bool withSubject) {
    std::string subject;
    if (withSubject) {
      try {
        subject = f->GetItem(id)->GetSubject();
      } catch (const std::exception&) {
        // gone already, or not readable: the event is printed without it
      }
    }
    if (ctx.Json()) {
      ctx.out << DumpJson({{"time", NowText()},
                           {"kind", kind},
                           {"folder", nameOf(f)},
                           {"id", id.Id},
                           {"subject", subject}},
                          -1)
              << std::endl;
    } else {
      ctx.out << NowText() << "  " << kind << "  " << TerminalText(nameOf(f))
              << (subject.empty() ? "" : "  " + TerminalText(subject)) << std::endl;
    }
  };
  dv::TDvEWSFolderEvents events;
  auto simple = [&](const char* kind, bool withSubject) {
    return [=, &print](const dv::DvEWSFolderPtr& f, dv::TDateTime, const dv::TItemId& id,
                       const dv::TItemId&) { print(kind, f, id, withSubject); };
  };
  events.SetOnNewMail(simple("NewMail", true));
  events.SetOnItemCreated(simple("Created", true));
  events.SetOnItemDeleted(simple("Deleted", false));
  events.SetOnItemModified([&](const dv::DvEWSFolderPtr& f, dv::TDateTime, const dv::TItemId& id,
                               const dv::TItemId&, int) { print("Modified", f, id, true); });
  auto moved = [&](const char* kind) {
    return [=, &print](const dv::DvEWSFolderPtr& f, dv::TDateTime, const dv::TItemId& id,
                       const dv::TItemId&, const dv::TItemId&,
                       const dv::TItemId&) { print(kind, f, id, true); };
  };
  events.SetOnItemMoved(moved("Moved"));
  events.SetOnItemCopied(moved("Copied"));
  events.SetOnMissedEvents(
      [&](const dv::DvEWSFolderPtr& f) { print("Missed", f, dv::TItemId(), false); });
  for (auto& [folder, name] : folders)
    events.Subscribe(folder);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  events.Start();
  if (!ctx.Json()) std::cerr << "watching; Ctrl-C stops" << std::endl;
  while (!stopRequested)
    dv::DvWaitMainThreadQueue(200);
  events.Stop();  // ends the streams and removes the subscriptions
}

// File names from item ids: the Base64 characters a path cannot hold are replaced.
std::string FileOf(const std::string& id) {
  std::string name = id;
  for (char& c : name)
    if (c == '/') c = '_';
  return name + ".eml";
}

void CmdSync(Context& ctx, const std::string& folderName, const std::string& dir) {
  ctx.Conn().Logon();
  FolderResolver resolver(ctx.Conn());
  dv::DvEWSFolderPtr folder = resolver.Open(folderName);
  fs::create_directories(dir);
  const fs::path stateFile = fs::path(dir) / ".syncstate";
  std::string state = fs::exists(stateFile) ? ReadFile(stateFile.string()) : std::string();
  auto store = folder->GetMsgStore();
  dv::TDvEWSFolderSync sync(folder);
  std::size_t created = 0, updated = 0, deleted = 0, done = 0;
  state = sync.SyncAllItems(state, [&](const dv::TDvEWSSyncResult& page) {
    for (const auto& c : page.Changes) {
      const fs::path file = fs::path(dir) / FileOf(c.Id.Id);
      switch (c.ChangeType) {
        case dv::TDvEWSSyncChangeType::sctCreate:
        case dv::TDvEWSSyncChangeType::sctUpdate:
          store->SaveItemToFile(c.Id, file.string());
          ++(c.ChangeType == dv::TDvEWSSyncChangeType::sctCreate ? created : updated);
          break;
        case dv::TDvEWSSyncChangeType::sctDelete:
          fs::remove(file);
          ++deleted;
          break;
        case dv::TDvEWSSyncChangeType::sctReadFlagChange:
          break;  // the read flag is not part of the message file
      }
      ++done;
      Progress("sync", done, done + (page.IncludesLastInRange ? 0 : 1));
    }
  });
  WritePrivateFile(stateFile, state);
  ctx.Done(std::to_string(created) + " created, " + std::to_string(updated) + " updated, " +
               std::to_string(deleted) + " deleted",
           {{"created", created}, {"updated", updated}, {"deleted", deleted}});
}

struct State {
  std::vector<std::string> watchFolders;
  std::string syncFolder, syncDir;
  CLI::App* watch = nullptr;
  CLI::App* sync = nullptr;
};

State& Own() {
  static State s;
  return s;
}

const bool registered = RegisterCommands(
    {[](CLI::App& app, Context& ctx) {
       State& s = Own();
       s.watch = app.add_subcommand("watch", "Print folder events as they arrive (Ctrl-C stops)");
       s.watch->add_option("folders", s.watchFolders, "Folders to watch (default: inbox)");
       s.watch->add_flag("--json", ctx.options.json, "One JSON object a line for each event");
       Example(s.watch, "ews watch inbox calendar --json");
       s.sync = app.add_subcommand("sync", "Mirror a folder into a directory of .eml files");
       s.sync->add_option("folder", s.syncFolder, "The folder")->required();
       s.sync->add_option("dir", s.syncDir, "The directory (keeps the sync state)")->required();
       Example(s.sync, "ews sync inbox ./mail");
     },
     [](Context& ctx) {
       State& s = Own();
       if (s.watch && s.watch->parsed()) {
         CmdWatch(ctx, s.watchFolders);
         return true;
       }
       if (s.sync && s.sync->parsed()) {
         CmdSync(ctx, s.syncFolder, s.syncDir);
         return true;
       }
       return false;
     }});

}  // namespace

}  // namespace ewscli
