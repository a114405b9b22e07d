// Mailbox change events and the subscriptions that receive them: pull subscriptions read with
// GetEvents and watermarks, streaming subscriptions written to open GetStreamingEvents
// connections by one pump thread (keep-alive status messages on idle streams, the connection's
// end at its time-out, fault injection on streams).
//
// The operations raise events while they hold the store's exclusive lock; the hub has its own
// lock and never takes the store's, so raising costs a queue append.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <ewssim/ewssim.h>

#include "http_types.h"
#include "store.h"

namespace ewssim {

// One change, already written as the ids a notification carries.
struct MailboxEvent {
  std::string type;  // CreatedEvent, DeletedEvent, ModifiedEvent, MovedEvent, CopiedEvent, …
  int64_t time = 0;  // ms since 1970
  bool isFolder = false;
  uint32_t folder = 0;        // folder events: the folder's number
  std::string id, changeKey;  // ItemId or FolderId
  uint32_t parent = 0;        // the parent folder's number in its mailbox
  std::string parentId, parentKey;
  uint32_t oldParent = 0;  // moved and copied
  std::string oldId, oldKey, oldParentId, oldParentKey;
  long unreadCount = -1;  // folder ModifiedEvent
  uint64_t watermark = 0;
};

// Raising, for the operations (no-ops while no hub is attached to the store). Item events also
// raise the folder ModifiedEvent (with its unread count) of each folder whose contents changed,
// as Exchange does.
void RaiseItemEvent(Store& s, Mailbox& m, const char* type, const Item& item,
                    uint32_t oldFolder = 0, const std::string& oldItemId = {});
void RaiseFolderEvent(Store& s, Mailbox& m, const char* type, const Folder& f,
                      uint32_t oldParent = 0);
// NewMailEvent + CreatedEvent of a delivered message.
void RaiseDelivery(Store& s, Mailbox& m, const Item& item);

class EventHub {
 public:
  // `envelope` wraps a response body element in the server's SOAP envelope.
  EventHub(const NotificationConfig& cfg, std::function<std::string(const std::string&)> envelope);
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  void Raise(uint16_t mailbox, MailboxEvent e);

  // The back-end a mailbox lives on (configured, else "BE1").
  std::string BackEndOf(const std::string& address) const;
  static std::string CookieOf(const std::string& backEnd);
  static std::string BackEndOfCookie(const std::string& cookie);  // empty when not one of ours

  struct NewSubscription {
    std::string owner;  // the user that created it; only it may use it
    uint16_t mailbox = 0;
    std::string backEnd;
    bool allFolders = false;
    std::set<uint32_t> folders;
    std::set<std::string> types;
    bool streaming = true;
    int timeoutMinutes = 30;     // pull: lifetime without a GetEvents
    std::string startWatermark;  // pull: resume after this watermark (empty: from now)
  };
  // Gives the id and the current watermark, or with a start watermark that watermark, the events
  // after it already queued. Throws EwsError ErrorInvalidWatermark when the mailbox's recent
  // events no longer reach back to it (or it is not one of the mailbox's).
  std::pair<std::string, std::string> Subscribe(NewSubscription s);
  // "" (done), ErrorSubscriptionNotFound or ErrorSubscriptionAccessDenied.
  std::string Unsubscribe(const std::string& owner, const std::string& id);
  // A pull subscription's events after `watermark` as one t:Notification element (at most 50,
  // MoreEvents when more wait; a StatusEvent when none). Throws EwsError.
  std::string GetEvents(const std::string& owner, const std::string& id,
                        const std::string& watermark);
  // Checks a GetStreamingEvents request: every id exists, is streaming, the owner's, and on
  // `backEnd`. Gives "" or the response code, with the ids at fault.
  std::string CheckStreaming(const std::string& owner, const std::vector<std::string>& ids,
                             const std::string& backEnd, std::vector<std::string>& badIds);
  // Attaches the subscriptions to a stream that lives `timeoutMinutes`; `dropAfter` > 0 closes
  // it abruptly after that many notifications (a fault).
  void Open(std::shared_ptr<HttpStream> stream, std::vector<std::string> ids, int timeoutMinutes,
            int dropAfter);
  // As a restart of the server: every stream ends abruptly and every subscription is forgotten.
  void Forget();
  // Closes every stream (the server stops).
  void Stop();
  size_t OpenStreams() const;

 private:
  struct Connection;
  struct Subscription {
    std::string id, owner, backEnd;
    uint16_t mailbox = 0;
    bool allFolders = false;
    std::set<uint32_t> folders;
    std::set<std::string> types;
    bool streaming = true;
    int timeoutMinutes = 30;
    std::deque<MailboxEvent> queue;
    uint64_t lastWatermark = 0;  // of the last event taken off the queue
    std::chrono::steady_clock::time_point lastUse;
    Connection* connection = nullptr;
  };
  struct Connection {
    std::shared_ptr<HttpStream> stream;
    std::vector<std::string> ids;
    std::chrono::steady_clock::time_point deadline, lastWrite;
    int dropAfter = 0;
    int written = 0;
  };

  bool Matches(const Subscription& s, const MailboxEvent& e) const;
  std::string Watermark(uint16_t mailbox, uint64_t seq) const;
  // The mailbox and sequence number of a watermark; false when it is not one of ours.
  static bool ParseWatermark(const std::string& text, uint16_t& mailbox, uint64_t& seq);
  std::string NotificationXml(const Subscription& s, const std::vector<MailboxEvent>& events,
                              const std::string& previous, bool more) const;
  std::string StreamMessage(const std::string& notifications, const char* status) const;
  void Pump();
  void Detach(Connection& c);
  void Expire(std::chrono::steady_clock::time_point now);

  NotificationConfig cfg_;
  std::function<std::string(const std::string&)> envelope_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool dirty_ = false;
  std::map<uint16_t, uint64_t> sequence_;  // per mailbox
  // Per mailbox, its latest events (Exchange's events table, from which a subscription may
  // resume at an earlier watermark). They outlive Forget, as the table outlives a restart.
  std::map<uint16_t, std::deque<MailboxEvent>> history_;
  std::map<std::string, Subscription> subscriptions_;
  std::vector<std::unique_ptr<Connection>> connections_;
  std::thread pump_;
};

}  // namespace ewssim
