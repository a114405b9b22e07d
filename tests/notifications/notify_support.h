// Test support for notifications: a simulator with two back-ends, a service session watching
// mailboxes, raw EWS changes made as a mailbox's own user, and a recorder of handler calls.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "DvMainThread.h"
#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSNotifications.h"

namespace notify_test {

// alice on back-end BE1, bob on BE2; idle streams get a keep-alive every 200 ms.
inline ewssim::Config Config() {
  ewssim::Config c = ews_test::DefaultSimConfig();
  c.threads = 12;
  c.notifications.keepAliveMs = 200;
  c.notifications.backEnds = {{"alice@example.com", "BE1"}, {"bob@example.com", "BE2"}};
  return c;
}

inline std::unique_ptr<dv::TDvEWSCustomSession> Logon(const std::string& url,
                                                      const std::string& user) {
  auto s = std::make_unique<dv::TDvEWSCustomSession>();
  s->SetPasswordDialog(false);
  s->SetServiceUrl(url);
  s->SetCredentials(dv::TDvCredentials(user + "@example.com", user + "-pw"));
  s->SetActive(true);
  return s;
}

// Changes made with raw requests as the mailbox's own user.
class Mailbox {
 public:
  Mailbox(const std::string& url, const std::string& user)
      : user_(user), client_(url, user + "@example.com", user + "-pw") {}

  std::string Post(const std::string& body) { return client_.Post(ews_test::Envelope(body)).body; }
  static std::string IdIn(const std::string& answer) {
    std::smatch m;
    static const std::regex id("ItemId Id=\"([^\"]+)\"");
    return std::regex_search(answer, m, id) ? m[1].str() : std::string();
  }
  std::string Create(const std::string& folder, const std::string& subject) {
    return IdIn(
        Post("<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>"
             "<t:DistinguishedFolderId Id=\"" +
             folder + "\"/></m:SavedItemFolderId><m:Items><t:Message><t:Subject>" + subject +
             "</t:Subject></t:Message></m:Items></m:CreateItem>"));
  }
  void Rename(const std::string& id, const std::string& subject) {
    Post(
        "<m:UpdateItem ConflictResolution=\"AlwaysOverwrite\" MessageDisposition=\"SaveOnly\">"
        "<m:ItemChanges><t:ItemChange><t:ItemId Id=\"" +
        id +
        "\"/><t:Updates><t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:Message>"
        "<t:Subject>" +
        subject +
        "</t:Subject></t:Message></t:SetItemField></t:Updates></t:ItemChange>"
        "</m:ItemChanges></m:UpdateItem>");
  }
  std::string CopyOrMove(const char* op, const std::string& id, const std::string& folder) {
    return IdIn(Post(std::string("<m:") + op + "><m:ToFolderId><t:DistinguishedFolderId Id=\"" +
                     folder + "\"/></m:ToFolderId><m:ItemIds><t:ItemId Id=\"" + id +
                     "\"/></m:ItemIds></m:" + op + ">"));
  }
  void Delete(const std::string& id) {
    Post("<m:DeleteItem DeleteType=\"HardDelete\"><m:ItemIds><t:ItemId Id=\"" + id +
         "\"/></m:ItemIds></m:DeleteItem>");
  }
  void SendTo(const std::string& to, const std::string& subject) {
    Post("<m:CreateItem MessageDisposition=\"SendOnly\"><m:Items><t:Message><t:Subject>" + subject +
         "</t:Subject><t:ToRecipients><t:Mailbox><t:EmailAddress>" + to +
         "</t:EmailAddress></t:Mailbox></t:ToRecipients></t:Message></m:Items></m:CreateItem>");
  }

 private:
  std::string user_;
  ews_test::SoapClient client_;
};

// Handler calls as "Kind id [old id]", with the thread each ran on.
struct Recorder {
  std::mutex lock;
  std::vector<std::string> calls;
  std::vector<std::thread::id> threads;
  void Add(std::string call) {
    std::lock_guard<std::mutex> g(lock);
    calls.push_back(std::move(call));
    threads.push_back(std::this_thread::get_id());
  }
  size_t Count() {
    std::lock_guard<std::mutex> g(lock);
    return calls.size();
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> g(lock);
    return calls;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> g(lock);
    return threads;
  }
  // Every handler records; `who` names the folder's mailbox by the folder given.
  template <typename Events>
  void Attach(Events& ev, std::function<std::string(const dv::DvEWSFolderPtr&)> who) {
    auto base = [this, who](const char* kind) {
      return [this, who, kind](const dv::DvEWSFolderPtr& f, dv::TDateTime, const dv::TItemId& id,
                               const dv::TItemId&) { Add(who(f) + " " + kind + " " + id.Id); };
    };
    ev.SetOnNewMail(base("NewMail"));
    ev.SetOnItemCreated(base("Created"));
    ev.SetOnItemDeleted(base("Deleted"));
    ev.SetOnItemModified([this, who](const dv::DvEWSFolderPtr& f, dv::TDateTime,
                                     const dv::TItemId& id, const dv::TItemId&,
                                     int) { Add(who(f) + " Modified " + id.Id); });
    auto moved = [this, who](const char* kind) {
      return [this, who, kind](const dv::DvEWSFolderPtr& f, dv::TDateTime, const dv::TItemId& id,
                               const dv::TItemId&, const dv::TItemId& old, const dv::TItemId&) {
        Add(who(f) + " " + kind + " " + id.Id + " " + old.Id);
      };
    };
    ev.SetOnItemMoved(moved("Moved"));
    ev.SetOnItemCopied(moved("Copied"));
  }
};

// Waits (pumping the main-thread queue) until `done`, at most `seconds`.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    dv::DvWaitMainThreadQueue(20);
  }
  return true;
}

}  // namespace notify_test
