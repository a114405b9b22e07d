/// @file
/// Change notifications: folders of one or several mailboxes watched through EWS streaming
/// subscriptions. Subscriptions are gathered into groups by server affinity; each group is served
/// by one monitoring thread that keeps a GetStreamingEvents request open, cuts the streamed answer
/// into envelopes as the bytes arrive and calls the application's handlers, on that thread
/// (ThreadedEvents) or queued to the main thread (DvProcessMainThreadQueue, DvMainThread.h).
///
/// When the server no longer knows a subscription (it restarted, or the subscription expired
/// during a long outage) the monitor subscribes again by itself and tells the application,
/// through OnMissedEvents, that changes of those folders may have been missed; a folder sync
/// (uDvEWSNotificationsEx.h) then catches up.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DvSysUtils.h"
#include "uDvEWSBaseObject.h"
#include "uDvEWSFolder.h"
#include "uDvEWSInterfacesRecipients.h"

namespace dv {

class IDvHTTPRequest;
class IDvSOAPRequest;
class TDvSOAPClient;
class IDvDOMDocument;

/// The kinds of change a subscription asks for.
enum class TDvEWSNotificationEventType {
  etCopiedEvent,
  etCreatedEvent,
  etDeletedEvent,
  etModifiedEvent,
  etMovedEvent,
  etNewMailEvent
};
/// A set of event kinds.
using TDvEWSNotificationEventTypes = TSet<TDvEWSNotificationEventType>;

/// NewMail, ItemCreated, ItemDeleted: the folder, the event's time, the object's id and its parent
/// folder's id.
using TEwsBaseObjectChangedEvent =
    std::function<void(const DvEWSFolderPtr& AFolder, TDateTime ATimeStamp, const TItemId& AId,
                       const TItemId& AParentFolderId)>;
/// ItemModified: as above, then the folder's unread count (-1 when the event has none).
using TEwsModifiedEvent =
    std::function<void(const DvEWSFolderPtr& AFolder, TDateTime ATimeStamp, const TItemId& AId,
                       const TItemId& AParentFolderId, int AUnreadCount)>;
/// ItemMoved, ItemCopied: as the first, then the old id and the old parent folder's id.
using TEwsMovedCopiedEvent = std::function<void(
    const DvEWSFolderPtr& AFolder, TDateTime ATimeStamp, const TItemId& AId,
    const TItemId& AParentFolderId, const TItemId& AOldId, const TItemId& AOldParentFolderId)>;
/// MissedEvents: the server lost the folder's subscription; changes since the last event may
/// not have been reported (a new subscription reports those from now on).
using TEwsMissedEventsEvent = std::function<void(const DvEWSFolderPtr& AFolder)>;
/// The group code of a mailbox (by SMTP address).
using TEwsGetGroupEvent = std::function<std::string(const std::string& smtpAddress)>;

/// How long a monitor waits before it connects again, in milliseconds.
struct TDvEWSReconnectDelays {
  int ShortRequest = 5000;  ///< the server ended the stream within a minute
  int TimeOut = 500;        ///< the connection timed out
  int Failure = 5000;       ///< any other transport failure
  int Fault = 2500;         ///< the stream carried a SOAP fault or an error answer
};

class TDvEWSEventGroup;
class TDvEWSSingleStoreFolderEvents;

/// The subscribed folders of one mailbox.
class TDvEWSEventSubscription {
 public:
  TDvEWSEventSubscription(TDvEWSEventGroup* group, std::string smtpAddress)
      : Group(group), FSmtpAddress(std::move(smtpAddress)) {}
  virtual ~TDvEWSEventSubscription() = default;

  /// Adds a folder (once).
  void Add(const DvEWSFolderPtr& folder);
  /// Removes a folder.
  void Remove(const DvEWSFolderPtr& folder);
  bool HasFolder(const DvEWSFolderPtr& folder) const;
  /// The subscribed folder with that id, or none.
  DvEWSFolderPtr FindFolder(const std::string& folderId) const;
  int Count() const { return static_cast<int>(FFolders.size()); }
  const DvEWSFolderPtr& GetFolder(int index) const { return FFolders[static_cast<size_t>(index)]; }
  /// The id the folder had when it was added.
  const TItemId& GetFolderId(int index) const { return FFolderIds[static_cast<size_t>(index)]; }
  const std::string& GetStoreIdentity() const { return FSmtpAddress; }
  /// Empty until subscribed.
  std::string GetSubscriptionId() const;
  void SetSubscriptionId(const std::string& id);

  TDvEWSEventGroup* Group;
  /// The mailbox is another's, reached by impersonation.
  bool Impersonated = false;

 protected:
  std::string FSmtpAddress;

 private:
  std::vector<DvEWSFolderPtr> FFolders;
  std::vector<TItemId> FFolderIds;  // read by the monitor, set before it runs
  mutable std::mutex FLock;         // the subscription id changes on a monitoring thread
  std::string FSubscriptionId;
};

/// A subscription with affinity: the back-end cookie and whether it is its group's anchor.
class TDvEWSEventSubscriptionEx : public TDvEWSEventSubscription {
 public:
  using TDvEWSEventSubscription::TDvEWSEventSubscription;
  std::string BackEndCookie;
  bool Anchor = false;
};

/// The subscriptions of one group (one streaming connection).
class TDvEWSEventGroup {
 public:
  TDvEWSEventGroup(TDvEWSSingleStoreFolderEvents* owner, std::string code)
      : FOwner(owner), FGroupCode(std::move(code)) {}
  /// Adds a folder under its mailbox's subscription (made when missing).
  void AddFolder(const std::string& smtpAddress, const DvEWSFolderPtr& folder);
  /// The subscription holding the folder, or none.
  TDvEWSEventSubscription* FindFolder(const DvEWSFolderPtr& folder) const;
  /// Removes a folder; an emptied subscription goes.
  void RemoveFolder(const DvEWSFolderPtr& folder);
  int Count() const { return static_cast<int>(Subscriptions.size()); }
  const std::string& GetGroupCode() const { return FGroupCode; }

  std::vector<std::unique_ptr<TDvEWSEventSubscription>> Subscriptions;

 private:
  TDvEWSSingleStoreFolderEvents* FOwner;
  std::string FGroupCode;
};

/// The groups by code.
class TDvEWSEventGroups {
 public:
  /// At most this many subscriptions share a group (a streaming connection).
  static constexpr int MaxGroupSize = 200;
  explicit TDvEWSEventGroups(TDvEWSSingleStoreFolderEvents* owner) : FOwner(owner) {}
  /// Adds a folder under the group of that code, or of the code followed by 1, 2, … once a
  /// group is full; nothing when any group holds the folder already.
  void AddFolder(const std::string& groupCode, const std::string& smtpAddress,
                 const DvEWSFolderPtr& folder);
  /// The group of that code (made when missing).
  TDvEWSEventGroup& GetGroup(const std::string& code);
  /// The subscription with that id.
  bool FindSubscription(const std::string& subscriptionId,
                        TDvEWSEventSubscription*& subscription) const;
  /// The subscription holding the folder, or none.
  TDvEWSEventSubscription* FindFolder(const DvEWSFolderPtr& folder) const;
  void RemoveFolder(const DvEWSFolderPtr& folder);
  int SubscriptionCount() const;
  int Count() const { return static_cast<int>(FGroups.size()); }
  std::vector<TDvEWSEventGroup*> List() const;

 private:
  TDvEWSSingleStoreFolderEvents* FOwner;
  std::map<std::string, std::unique_ptr<TDvEWSEventGroup>> FGroups;
};

/// The session as the notifications use it: requests through its frame, and the cookie, token,
/// server version and service URL the monitors read.
class TDvSessionWrapper : public TDvEWSObject {
 public:
  explicit TDvSessionWrapper(TDvComponent* session) : TDvEWSObject(session, false) {}
  std::string GetExchangeCookie() const;
  TServerVersion GetServerVersion() const;
  std::string GetServiceURL() const;
};

/// One monitoring thread: keeps GetStreamingEvents open for its group's subscriptions.
class TDvEWSGetEvents {
 public:
  TDvEWSGetEvents(TDvEWSSingleStoreFolderEvents* events, TDvEWSEventGroup* group);
  virtual ~TDvEWSGetEvents();
  TDvEWSGetEvents(const TDvEWSGetEvents&) = delete;
  TDvEWSGetEvents& operator=(const TDvEWSGetEvents&) = delete;

  /// Lets the thread start (it waits until then).
  void StartListening();
  /// Ends the thread promptly: aborts the open request and wakes a wait (any thread).
  void Terminate();
  /// Waits for the thread's end.
  void WaitFor();
  bool GetTerminated() const { return FTerminated.load(); }

  /// Cuts complete envelopes from the front of `buffer` (bytes received, not yet consumed) and
  /// handles them.
  void OnDataReceived(std::string& buffer);

 protected:
  virtual void InitializeSOAPRequest(IDvSOAPRequest& request);
  virtual void InitializeHTTPClient(IDvHTTPClient& client);
  virtual void InitializeHTTPRequest(IDvHTTPRequest& request);
  void BuildBody();

  TDvEWSSingleStoreFolderEvents* FEvents;
  TDvEWSEventGroup* FGroup;

 private:
  void Execute();
  void HandleEnvelope(std::string&& text);
  void SetDelay(int ms) { FDelay.exchange(ms); }

  std::string FBody;
  std::mutex FLock;  // guards FRequest and the events' signalled states
  std::condition_variable FWake;
  bool FStarted = false, FWoken = false;
  std::shared_ptr<IDvHTTPRequest> FRequest;
  std::atomic<bool> FTerminated{false};
  std::atomic<int> FDelay{0};
  std::vector<std::string> FLost;  // subscription ids the server no longer knows
  std::thread FThread;
};

/// The monitor of a group with affinity: anchor headers and the back-end cookie.
class TDvEWSGetAnchorEvents : public TDvEWSGetEvents {
 public:
  TDvEWSGetAnchorEvents(TDvEWSSingleStoreFolderEvents* events, TDvEWSEventGroup* group);

 protected:
  void InitializeSOAPRequest(IDvSOAPRequest& request) override;
  void InitializeHTTPClient(IDvHTTPClient& client) override;
  void InitializeHTTPRequest(IDvHTTPRequest& request) override;

 private:
  std::string FAnchorAddress;
  std::string FBackEndCookie;
};

/// The folder-events component of one mailbox group.
class TDvEWSSingleStoreFolderEvents : public TDvComponent {
 public:
  explicit TDvEWSSingleStoreFolderEvents(TDvComponent* owner = nullptr);
  ~TDvEWSSingleStoreFolderEvents() override;

  /// Adds a folder (restarts monitoring when active).
  virtual void Subscribe(const DvEWSFolderPtr& folder, const TEwsGetGroupEvent& getGroup = {});
  /// Removes a folder; raises while monitoring is active.
  void Unsubscribe(const DvEWSFolderPtr& folder);
  virtual void Start();
  void Stop();
  bool GetActive() const { return !FThreads.empty(); }

  bool GetThreadedEvents() const { return FThreadedEvents; }
  void SetThreadedEvents(bool value) { FThreadedEvents = value; }
  const TDvEWSReconnectDelays& GetReconnectDelays() const { return FDelays; }
  void SetReconnectDelays(const TDvEWSReconnectDelays& value) { FDelays = value; }

  /// @name Handlers
  /**@{*/
  void SetOnNewMail(TEwsBaseObjectChangedEvent h) { FOnNewMail = std::move(h); }
  void SetOnItemCreated(TEwsBaseObjectChangedEvent h) { FOnItemCreated = std::move(h); }
  void SetOnItemDeleted(TEwsBaseObjectChangedEvent h) { FOnItemDeleted = std::move(h); }
  void SetOnItemModified(TEwsModifiedEvent h) { FOnItemModified = std::move(h); }
  void SetOnItemMoved(TEwsMovedCopiedEvent h) { FOnItemMoved = std::move(h); }
  void SetOnItemCopied(TEwsMovedCopiedEvent h) { FOnItemCopied = std::move(h); }
  void SetOnMissedEvents(TEwsMissedEventsEvent h) { FOnMissedEvents = std::move(h); }
  ///@}

  /// The dispatchers: each calls its handler on this thread (ThreadedEvents) or queues it to the
  /// main thread.
  void ItemCopied(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                  const TItemId& parent, const TItemId& oldId, const TItemId& oldParent);
  void ItemCreated(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                   const TItemId& parent);
  void ItemDeleted(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                   const TItemId& parent);
  void ItemModified(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                    const TItemId& parent, int unreadCount);
  void ItemMoved(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                 const TItemId& parent, const TItemId& oldId, const TItemId& oldParent);
  void NewMail(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
               const TItemId& parent);
  void MissedEvents(const DvEWSFolderPtr& folder);
  /// Turns an envelope's notifications into handler calls (the monitor of `group`); gives the
  /// ids of subscriptions the envelope says the server no longer has.
  std::vector<std::string> ProcessEvents(const IDvDOMDocument& document, TDvEWSEventGroup& group);

  /// Subscribes one mailbox's folders (Start, and again when the server lost it).
  void SubscribeOne(TDvEWSEventSubscription& subscription);
  TDvSessionWrapper& GetSessionWrapper() const { return *FSession; }
  TDvEWSEventGroups& GetGroups() { return FGroups; }
  /// The event kinds the assigned handlers ask for.
  TDvEWSNotificationEventTypes EventTypes() const;

 protected:
  void Notification(TDvComponent* component, TOperation operation) override;
  virtual std::unique_ptr<TDvEWSEventSubscription> CreateSubscription(TDvEWSEventGroup* group,
                                                                      const std::string& smtp);
  /// Start's steps: per group before its subscriptions, per subscribe request, and the monitor.
  virtual void PrepareGroup(TDvEWSEventGroup& group) {}
  virtual void PrepareSubscribe(TDvEWSEventSubscription& subscription, IDvSOAPRequest& request,
                                IDvHTTPClient& client) {}
  virtual std::unique_ptr<TDvEWSGetEvents> CreateMonitor(TDvEWSEventGroup& group);
  void DoStart();

  friend class TDvEWSEventGroup;
  TDvEWSEventGroups FGroups{this};
  std::unique_ptr<TDvSessionWrapper> FSession;
  TDvComponent* FSessionComponent = nullptr;

 private:
  template <typename F, typename... A>
  void Dispatch(const F& handler, A... args);

  std::vector<std::unique_ptr<TDvEWSGetEvents>> FThreads;
  bool FThreadedEvents = false;
  TDvEWSReconnectDelays FDelays;
  TEwsBaseObjectChangedEvent FOnNewMail, FOnItemCreated, FOnItemDeleted;
  TEwsModifiedEvent FOnItemModified;
  TEwsMovedCopiedEvent FOnItemMoved, FOnItemCopied;
  TEwsMissedEventsEvent FOnMissedEvents;
};

/// Folders of several mailboxes: groups by affinity, each with an anchor mailbox.
class TDvEWSMultipleStoreFolderEvents : public TDvEWSSingleStoreFolderEvents {
 public:
  using TDvEWSSingleStoreFolderEvents::TDvEWSSingleStoreFolderEvents;
  void Subscribe(const DvEWSFolderPtr& folder, const TEwsGetGroupEvent& getGroup = {}) override;
  void Start() override;
  /// The group code of a mailbox: by default from autodiscover's GroupingInformation and EwsUrl
  /// (servers from Exchange 2013); an application may decide itself.
  void SetOnGetGroup(TEwsGetGroupEvent handler) { FOnGetGroup = std::move(handler); }

 protected:
  std::unique_ptr<TDvEWSEventSubscription> CreateSubscription(TDvEWSEventGroup* group,
                                                              const std::string& smtp) override;
  void PrepareGroup(TDvEWSEventGroup& group) override;
  void PrepareSubscribe(TDvEWSEventSubscription& subscription, IDvSOAPRequest& request,
                        IDvHTTPClient& client) override;
  std::unique_ptr<TDvEWSGetEvents> CreateMonitor(TDvEWSEventGroup& group) override;

 private:
  std::string GroupOf(const std::string& smtpAddress);
  TEwsGetGroupEvent FOnGetGroup;
  bool FAffinity = false;
};

/// The folder-events component as applications see it: the dispatchers of the six kinds of
/// change (each calls its handler, on the calling thread or queued to the main thread), and the
/// component's operations.
class IDvEWSFolderEvents {
 public:
  virtual ~IDvEWSFolderEvents() = default;
  virtual void ItemCopied(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                          const TItemId& parent, const TItemId& oldId,
                          const TItemId& oldParent) = 0;
  virtual void ItemCreated(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                           const TItemId& parent) = 0;
  virtual void ItemDeleted(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                           const TItemId& parent) = 0;
  virtual void ItemModified(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                            const TItemId& parent, int unreadCount) = 0;
  virtual void ItemMoved(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                         const TItemId& parent, const TItemId& oldId, const TItemId& oldParent) = 0;
  virtual void NewMail(const DvEWSFolderPtr& folder, TDateTime time, const TItemId& id,
                       const TItemId& parent) = 0;
  virtual void Subscribe(const DvEWSFolderPtr& folder) = 0;
  virtual void Unsubscribe(const DvEWSFolderPtr& folder) = 0;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool GetActive() const = 0;
};

/// The component applications use: forwards everything to a multiple-store events object.
class TDvEWSFolderEvents : public TDvComponent, public IDvEWSFolderEvents {
 public:
  explicit TDvEWSFolderEvents(TDvComponent* owner = nullptr);
  ~TDvEWSFolderEvents() override;

  void ItemCopied(const DvEWSFolderPtr& f, TDateTime t, const TItemId& id, const TItemId& p,
                  const TItemId& oldId, const TItemId& oldParent) override {
    FEvents->ItemCopied(f, t, id, p, oldId, oldParent);
  }
  void ItemCreated(const DvEWSFolderPtr& f, TDateTime t, const TItemId& id,
                   const TItemId& p) override {
    FEvents->ItemCreated(f, t, id, p);
  }
  void ItemDeleted(const DvEWSFolderPtr& f, TDateTime t, const TItemId& id,
                   const TItemId& p) override {
    FEvents->ItemDeleted(f, t, id, p);
  }
  void ItemModified(const DvEWSFolderPtr& f, TDateTime t, const TItemId& id, const TItemId& p,
                    int unreadCount) override {
    FEvents->ItemModified(f, t, id, p, unreadCount);
  }
  void ItemMoved(const DvEWSFolderPtr& f, TDateTime t, const TItemId& id, const TItemId& p,
                 const TItemId& oldId, const TItemId& oldParent) override {
    FEvents->ItemMoved(f, t, id, p, oldId, oldParent);
  }
  void NewMail(const DvEWSFolderPtr& f, TDateTime t, const TItemId& id, const TItemId& p) override {
    FEvents->NewMail(f, t, id, p);
  }
  void Subscribe(const DvEWSFolderPtr& folder) override { FEvents->Subscribe(folder); }
  void Unsubscribe(const DvEWSFolderPtr& folder) override { FEvents->Unsubscribe(folder); }
  void Start() override { FEvents->Start(); }
  void Stop() override { FEvents->Stop(); }
  bool GetActive() const override { return FEvents->GetActive(); }
  bool GetThreadedEvents() const { return FEvents->GetThreadedEvents(); }
  void SetThreadedEvents(bool v) { FEvents->SetThreadedEvents(v); }
  void SetReconnectDelays(const TDvEWSReconnectDelays& v) { FEvents->SetReconnectDelays(v); }
  void SetOnGetGroup(TEwsGetGroupEvent h) { FEvents->SetOnGetGroup(std::move(h)); }
  void SetOnNewMail(TEwsBaseObjectChangedEvent h) { FEvents->SetOnNewMail(std::move(h)); }
  void SetOnItemCreated(TEwsBaseObjectChangedEvent h) { FEvents->SetOnItemCreated(std::move(h)); }
  void SetOnItemDeleted(TEwsBaseObjectChangedEvent h) { FEvents->SetOnItemDeleted(std::move(h)); }
  void SetOnItemModified(TEwsModifiedEvent h) { FEvents->SetOnItemModified(std::move(h)); }
  void SetOnItemMoved(TEwsMovedCopiedEvent h) { FEvents->SetOnItemMoved(std::move(h)); }
  void SetOnItemCopied(TEwsMovedCopiedEvent h) { FEvents->SetOnItemCopied(std::move(h)); }
  void SetOnMissedEvents(TEwsMissedEventsEvent h) { FEvents->SetOnMissedEvents(std::move(h)); }

 private:
  TDvEWSMultipleStoreFolderEvents* FEvents;  // owned as a component
};

}  // namespace dv
