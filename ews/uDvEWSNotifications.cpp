#include "uDvEWSNotifications.h"

#include <algorithm>
#include <chrono>

#include "DvHTTP.h"
#include "DvMainThread.h"
#include "DvSOAP.h"
#include "DvUtils.h"
#include "DvXML.h"
#include "uDvEWS.h"
#include "uDvEWSImpersonation.h"
#include "uDvEWSMsgStore.h"

namespace dv {

namespace {

// The mailbox a folder belongs to, and whether it is reached by impersonation.
std::string StoreAddressOf(const DvEWSFolderPtr& folder, bool& impersonated) {
  DvEWSMsgStorePtr store = folder->GetMsgStore();
  auto other = std::dynamic_pointer_cast<IDvEWSImpersonatedMsgStore>(store);
  impersonated = other != nullptr;
  if (other) return other->GetImpersonatedAddress();
  if (auto own = std::dynamic_pointer_cast<TDvEWSMsgStore>(store)) return own->GetMailboxAddress();
  return store->GetIdentity()->GetEmailAddress();
}

TItemId IdOf(const DvDOMElementPtr& parent, std::string_view child) {
  DvDOMElementPtr e = parent->SelectSingleElement(child);
  if (!e) return {};
  return TItemId(e->GetAttribute("Id"), e->GetAttribute("ChangeKey"));
}

// A SOAP header naming the mailbox a request acts for.
void Impersonate(IDvSOAPRequest& request, const std::string& address) {
  DvDOMElementPtr impersonation;
  DvDOMElementPtr header = request.GetHeader();
  for (int i = 0; header && i < header->ElementCount(); ++i) {
    DvDOMElementPtr e = header->GetElement(i);
    if (e->GetLocalName() == "ExchangeImpersonation") {
      impersonation = e;
      impersonation->Clear();
      break;
    }
  }
  if (!impersonation) impersonation = request.AddHeader("t:ExchangeImpersonation");
  impersonation->AddElement("t:ConnectingSID")
      ->AddElement("t:PrimarySmtpAddress")
      ->SetAsString(address);
}

}  // namespace

// ---------------------------------------------------------------- subscriptions and groups

void TDvEWSEventSubscription::Add(const DvEWSFolderPtr& folder) {
  if (HasFolder(folder)) return;
  FFolders.push_back(folder);
  FFolderIds.push_back(folder->GetID());
}

void TDvEWSEventSubscription::Remove(const DvEWSFolderPtr& folder) {
  for (size_t i = 0; i < FFolders.size(); ++i) {
    if (FFolders[i] == folder) {
      FFolders.erase(FFolders.begin() + static_cast<long>(i));
      FFolderIds.erase(FFolderIds.begin() + static_cast<long>(i));
      return;
    }
  }
}

bool TDvEWSEventSubscription::HasFolder(const DvEWSFolderPtr& folder) const {
  return std::find(FFolders.begin(), FFolders.end(), folder) != FFolders.end();
}

DvEWSFolderPtr TDvEWSEventSubscription::FindFolder(const std::string& folderId) const {
  for (size_t i = 0; i < FFolderIds.size(); ++i)
    if (FFolderIds[i].Id == folderId) return FFolders[i];
  return nullptr;
}

std::string TDvEWSEventSubscription::GetSubscriptionId() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FSubscriptionId;
}

void TDvEWSEventSubscription::SetSubscriptionId(const std::string& id) {
  std::lock_guard<std::mutex> lock(FLock);
  FSubscriptionId = id;
}

void TDvEWSEventGroup::AddFolder(const std::string& smtpAddress, const DvEWSFolderPtr& folder) {
  for (auto& s : Subscriptions) {
    if (s->GetStoreIdentity() == smtpAddress) {
      s->Add(folder);
      return;
    }
  }
  Subscriptions.push_back(FOwner->CreateSubscription(this, smtpAddress));
  Subscriptions.back()->Add(folder);
}

TDvEWSEventSubscription* TDvEWSEventGroup::FindFolder(const DvEWSFolderPtr& folder) const {
  for (auto& s : Subscriptions)
    if (s->HasFolder(folder)) return s.get();
  return nullptr;
}

void TDvEWSEventGroup::RemoveFolder(const DvEWSFolderPtr& folder) {
  for (size_t i = 0; i < Subscriptions.size(); ++i) {
    if (!Subscriptions[i]->HasFolder(folder)) continue;
    Subscriptions[i]->Remove(folder);
    if (Subscriptions[i]->Count() == 0)
      Subscriptions.erase(Subscriptions.begin() + static_cast<long>(i));
    return;
  }
}

void TDvEWSEventGroups::AddFolder(const std::string& groupCode, const std::string& smtpAddress,
                                  const DvEWSFolderPtr& folder) {
  if (FindFolder(folder)) return;
  std::string code = groupCode;
  for (int n = 1;; ++n) {
    TDvEWSEventGroup& g = GetGroup(code);
    bool present = false;
    for (auto& s : g.Subscriptions)
      present = present || s->GetStoreIdentity() == smtpAddress;
    if (present || g.Count() < MaxGroupSize) {
      g.AddFolder(smtpAddress, folder);
      return;
    }
    code = groupCode + std::to_string(n);
  }
}

TDvEWSEventGroup& TDvEWSEventGroups::GetGroup(const std::string& code) {
  auto& g = FGroups[code];
  if (!g) g = std::make_unique<TDvEWSEventGroup>(FOwner, code);
  return *g;
}

bool TDvEWSEventGroups::FindSubscription(const std::string& subscriptionId,
                                         TDvEWSEventSubscription*& subscription) const {
  for (auto& [code, g] : FGroups) {
    for (auto& s : g->Subscriptions) {
      if (s->GetSubscriptionId() == subscriptionId) {
        subscription = s.get();
        return true;
      }
    }
  }
  subscription = nullptr;
  return false;
}

TDvEWSEventSubscription* TDvEWSEventGroups::FindFolder(const DvEWSFolderPtr& folder) const {
  for (auto& [code, g] : FGroups)
    if (auto* s = g->FindFolder(folder)) return s;
  return nullptr;
}

void TDvEWSEventGroups::RemoveFolder(const DvEWSFolderPtr& folder) {
  for (auto it = FGroups.begin(); it != FGroups.end(); ++it) {
    if (!it->second->FindFolder(folder)) continue;
    it->second->RemoveFolder(folder);
    if (it->second->Count() == 0) FGroups.erase(it);
    return;
  }
}

int TDvEWSEventGroups::SubscriptionCount() const {
  int n = 0;
  for (auto& [code, g] : FGroups)
    n += g->Count();
  return n;
}

std::vector<TDvEWSEventGroup*> TDvEWSEventGroups::List() const {
  std::vector<TDvEWSEventGroup*> out;
  for (auto& [code, g] : FGroups)
    if (g->Count() > 0) out.push_back(g.get());
  return out;
}

// ---------------------------------------------------------------- session wrapper

std::string TDvSessionWrapper::GetExchangeCookie() const {
  TDvEWSBaseSession* s = GetSession();
  return s ? s->GetExchangeCookie() : std::string();
}

TServerVersion TDvSessionWrapper::GetServerVersion() const {
  return Session().GetServerVersion();
}

std::string TDvSessionWrapper::GetServiceURL() const {
  return Session().GetServiceURL();
}

// ---------------------------------------------------------------- monitor

TDvEWSGetEvents::TDvEWSGetEvents(TDvEWSSingleStoreFolderEvents* events, TDvEWSEventGroup* group)
    : FEvents(events), FGroup(group) {
  FThread = std::thread([this] { Execute(); });
}

TDvEWSGetEvents::~TDvEWSGetEvents() {
  Terminate();
  WaitFor();
}

void TDvEWSGetEvents::BuildBody() {
  TDvSessionWrapper& session = FEvents->GetSessionWrapper();
  auto request = session.CreateRequest(nullptr, "m:GetStreamingEvents", "");
  InitializeSOAPRequest(*request);
  FBody = request->GetXML();
}

void TDvEWSGetEvents::InitializeSOAPRequest(IDvSOAPRequest& request) {
  DvDOMElementPtr ids = request.GetOperation()->AddElement("m:SubscriptionIds");
  for (auto& s : FGroup->Subscriptions)
    ids->AddElement("t:SubscriptionId")->SetAsString(s->GetSubscriptionId());
  request.GetOperation()->AddElement("m:ConnectionTimeout")->SetAsString("1");
  if (!FGroup->Subscriptions.empty() && FGroup->Subscriptions.front()->Impersonated)
    Impersonate(request, FGroup->Subscriptions.front()->GetStoreIdentity());
}

void TDvEWSGetEvents::InitializeHTTPClient(IDvHTTPClient& client) {
  client.SetTimeOuts(TDvHTTPTimeOuts(1000, 5000, 120000));
  // The stream lives as long as the server keeps it; compression would hold its pieces back.
  client.SetRequestTimeout(0);
  client.SetAcceptCompression(false);
  client.SetMaxResponseSize(0);
  client.SetOnDataReceived([this](IDvHTTPClient&, std::string& buffer) { OnDataReceived(buffer); });
}

void TDvEWSGetEvents::InitializeHTTPRequest(IDvHTTPRequest& request) {
  const std::string cookie = FEvents->GetSessionWrapper().GetExchangeCookie();
  if (!cookie.empty()) request.AddCookie("exchangecookie", cookie);
}

void TDvEWSGetEvents::StartListening() {
  std::lock_guard<std::mutex> lock(FLock);
  FStarted = true;
  FWake.notify_all();
}

void TDvEWSGetEvents::Terminate() {
  std::lock_guard<std::mutex> lock(FLock);
  FStarted = true;
  FTerminated = true;
  if (FRequest) {
    FRequest->Abort();
    FRequest.reset();
  }
  FWoken = true;
  FWake.notify_all();
}

void TDvEWSGetEvents::WaitFor() {
  if (FThread.joinable()) FThread.join();
}

void TDvEWSGetEvents::Execute() {
  {
    std::unique_lock<std::mutex> lock(FLock);
    FWake.wait(lock, [this] { return FStarted; });
  }
  if (FTerminated) return;
  try {
    const TDvEWSReconnectDelays delays = FEvents->GetReconnectDelays();
    TDvSessionWrapper& session = FEvents->GetSessionWrapper();
    BuildBody();
    while (!FTerminated) {
      std::shared_ptr<IDvHTTPClient> client = session.CreateHTTPClient(false);
      client->GetRequestHeaders().SetAccept("text/xml");
      InitializeHTTPClient(*client);
      auto request =
          client->CreateRequest("POST", session.GetServiceURL(), FBody, "text/xml; charset=utf-8");
      InitializeHTTPRequest(*request);
      {
        std::lock_guard<std::mutex> lock(FLock);
        if (FTerminated) break;
        FRequest = request;
      }
      const auto started = std::chrono::steady_clock::now();
      try {
        DvHTTPResponsePtr response = request->Send();
        // What is left may still hold a last envelope.
        std::string rest = response->TakeContent();
        if (!rest.empty()) OnDataReceived(rest);
        if (std::chrono::steady_clock::now() - started < std::chrono::seconds(60) &&
            FDelay.load() == 0)
          SetDelay(delays.ShortRequest);
      } catch (const EDvHTTPApiException& e) {
        if (e.GetErrorCode() == 12002) {
          SetDelay(delays.TimeOut);
        } else if (e.GetErrorCode() != 6) {
          SetDelay(delays.Failure);
        }
      } catch (const std::exception&) {
        SetDelay(delays.Failure);
      }
      {
        std::lock_guard<std::mutex> lock(FLock);
        FRequest.reset();
      }
      client->SetOnDataReceived(nullptr);
      if (FTerminated) break;
      // Subscriptions the server lost are made again, and the application told.
      if (!FLost.empty()) {
        try {
          for (auto& s : FGroup->Subscriptions) {
            if (std::find(FLost.begin(), FLost.end(), s->GetSubscriptionId()) == FLost.end())
              continue;
            FEvents->SubscribeOne(*s);
            for (int i = 0; i < s->Count(); ++i)
              FEvents->MissedEvents(s->GetFolder(i));
          }
          FLost.clear();
          BuildBody();
          SetDelay(0);
        } catch (const std::exception&) {
          SetDelay(delays.Failure);
        }
      }
      const int delay = FDelay.exchange(0);
      if (delay > 0) {
        std::unique_lock<std::mutex> lock(FLock);
        FWake.wait_for(lock, std::chrono::milliseconds(delay), [this] { return FWoken; });
        FWoken = false;
      }
    }
  } catch (...) {
    // The thread ends quietly.
  }
}

void TDvEWSGetEvents::OnDataReceived(std::string& buffer) {
  if (FTerminated) return;
  try {
    // Every complete envelope at the front is handled now: one left waiting for more bytes
    // would wait for the next keep-alive, or be lost with the connection's end.
    for (;;) {
      const size_t first = buffer.find('<');
      if (first == std::string::npos) return;
      size_t end = std::string::npos;
      for (size_t at = buffer.find("</", first); at != std::string::npos;
           at = buffer.find("</", at + 2)) {
        const size_t close = buffer.find('>', at);
        if (close == std::string::npos) break;
        std::string_view name(buffer.data() + at + 2, close - at - 2);
        if (const size_t colon = name.find(':'); colon != std::string_view::npos)
          name.remove_prefix(colon + 1);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r' ||
                                 name.back() == '\n'))
          name.remove_suffix(1);
        if (name.size() == 8 && DvSameText(name, "Envelope")) {
          end = close + 1;
          break;
        }
      }
      if (end == std::string::npos) return;
      std::string document = buffer.substr(first, end - first);
      buffer.erase(0, end);
      HandleEnvelope(std::move(document));
    }
  } catch (...) {
    buffer.clear();
  }
}

void TDvEWSGetEvents::HandleEnvelope(std::string&& text) {
  DvDOMDocumentPtr document;
  try {
    document = DvCreateDOM(std::move(text));
  } catch (const EDvXMLException&) {
    return;  // dropped
  }
  if (document->SelectSingleElement("/Envelope/Body/Fault")) {
    SetDelay(FEvents->GetReconnectDelays().Fault);
    return;
  }
  std::vector<std::string> lost = FEvents->ProcessEvents(*document, *FGroup);
  if (!lost.empty()) {
    FLost.insert(FLost.end(), lost.begin(), lost.end());
    SetDelay(0);
  }
}

TDvEWSGetAnchorEvents::TDvEWSGetAnchorEvents(TDvEWSSingleStoreFolderEvents* events,
                                             TDvEWSEventGroup* group)
    : TDvEWSGetEvents(events, group) {
  if (!group->Subscriptions.empty()) {
    FAnchorAddress = group->Subscriptions.front()->GetStoreIdentity();
    if (auto* ex = dynamic_cast<TDvEWSEventSubscriptionEx*>(group->Subscriptions.front().get()))
      FBackEndCookie = ex->BackEndCookie;
  }
}

void TDvEWSGetAnchorEvents::InitializeSOAPRequest(IDvSOAPRequest& request) {
  TDvEWSGetEvents::InitializeSOAPRequest(request);
  Impersonate(request, FAnchorAddress);
}

void TDvEWSGetAnchorEvents::InitializeHTTPClient(IDvHTTPClient& client) {
  TDvEWSGetEvents::InitializeHTTPClient(client);
  client.GetRequestHeaders().SetValue("X-AnchorMailbox", FAnchorAddress);
  client.GetRequestHeaders().SetValue("X-PreferServerAffinity", "true");
}

void TDvEWSGetAnchorEvents::InitializeHTTPRequest(IDvHTTPRequest& request) {
  TDvEWSGetEvents::InitializeHTTPRequest(request);
  if (!FBackEndCookie.empty()) request.AddCookie("X-BackEndOverrideCookie", FBackEndCookie);
}

// ---------------------------------------------------------------- folder events

TDvEWSSingleStoreFolderEvents::TDvEWSSingleStoreFolderEvents(TDvComponent* owner)
    : TDvComponent(owner) {}

TDvEWSSingleStoreFolderEvents::~TDvEWSSingleStoreFolderEvents() {
  Stop();
}

void TDvEWSSingleStoreFolderEvents::Notification(TDvComponent* component, TOperation operation) {
  TDvComponent::Notification(component, operation);
  if (operation == TOperation::opRemove && component == FSessionComponent) {
    // Monitors use the session: they end with it.
    for (auto it = FThreads.rbegin(); it != FThreads.rend(); ++it)
      (*it)->Terminate();
    FThreads.clear();
    FSessionComponent = nullptr;
  }
}

std::unique_ptr<TDvEWSEventSubscription> TDvEWSSingleStoreFolderEvents::CreateSubscription(
    TDvEWSEventGroup* group, const std::string& smtp) {
  return std::make_unique<TDvEWSEventSubscription>(group, smtp);
}

void TDvEWSSingleStoreFolderEvents::Subscribe(const DvEWSFolderPtr& folder,
                                              const TEwsGetGroupEvent& getGroup) {
  const bool active = GetActive();
  if (active) Stop();
  if (!FSession) {
    auto* object = dynamic_cast<TDvEWSObject*>(folder.get());
    if (!object || !object->GetSession()) throw Exception("There is no active EWS Session!");
    FSessionComponent = object->GetSession();
    FSession = std::make_unique<TDvSessionWrapper>(FSessionComponent);
    FreeNotification(FSessionComponent);
  }
  bool impersonated = false;
  const std::string address = StoreAddressOf(folder, impersonated);
  FGroups.AddFolder(getGroup ? getGroup(address) : "Default", address, folder);
  if (impersonated) FGroups.FindFolder(folder)->Impersonated = true;
  if (active) Start();
}

void TDvEWSSingleStoreFolderEvents::Unsubscribe(const DvEWSFolderPtr& folder) {
  if (!FGroups.FindFolder(folder)) return;
  if (GetActive())
    throw Exception("You must stop the event monitoring before you can unsubscribe a folder!");
  FGroups.RemoveFolder(folder);
}

TDvEWSNotificationEventTypes TDvEWSSingleStoreFolderEvents::EventTypes() const {
  TDvEWSNotificationEventTypes t;
  if (FOnNewMail) t.Include(TDvEWSNotificationEventType::etNewMailEvent);
  if (FOnItemCopied) t.Include(TDvEWSNotificationEventType::etCopiedEvent);
  if (FOnItemCreated) t.Include(TDvEWSNotificationEventType::etCreatedEvent);
  if (FOnItemDeleted) t.Include(TDvEWSNotificationEventType::etDeletedEvent);
  if (FOnItemModified) t.Include(TDvEWSNotificationEventType::etModifiedEvent);
  if (FOnItemMoved) t.Include(TDvEWSNotificationEventType::etMovedEvent);
  return t;
}

void TDvEWSSingleStoreFolderEvents::SubscribeOne(TDvEWSEventSubscription& subscription) {
  std::shared_ptr<IDvHTTPClient> http = FSession->CreateHTTPClient(false);
  TDvHTTPTimeOuts timeOuts = http->GetTimeOuts();
  timeOuts.ConnectTimeout = 15000;
  http->SetTimeOuts(timeOuts);
  std::shared_ptr<TDvSOAPClient> soap = FSession->CreateSOAPClient(http);
  auto request = FSession->CreateRequest(soap, "m:Subscribe", "");
  const std::string cookie = FSession->GetExchangeCookie();
  if (!cookie.empty()) request->AddCookie("exchangecookie", cookie);
  DvDOMElementPtr streaming = request->GetOperation()->AddElement("m:StreamingSubscriptionRequest");
  DvDOMElementPtr folders = streaming->AddElement("t:FolderIds");
  for (int i = 0; i < subscription.Count(); ++i) {
    const TItemId id = subscription.GetFolderId(i);
    DvDOMElementPtr f = folders->AddElement("t:FolderId");
    f->SetAttribute("Id", id.Id);
    if (!id.ChangeKey.empty()) f->SetAttribute("ChangeKey", id.ChangeKey);
  }
  DvDOMElementPtr types = streaming->AddElement("t:EventTypes");
  const TDvEWSNotificationEventTypes t = EventTypes();
  using E = TDvEWSNotificationEventType;
  const std::pair<E, const char*> order[] = {
      {E::etNewMailEvent, "NewMailEvent"},   {E::etCopiedEvent, "CopiedEvent"},
      {E::etCreatedEvent, "CreatedEvent"},   {E::etDeletedEvent, "DeletedEvent"},
      {E::etModifiedEvent, "ModifiedEvent"}, {E::etMovedEvent, "MovedEvent"}};
  for (const auto& [kind, name] : order)
    if (t.Contains(kind)) types->AddElement("t:EventType")->SetAsString(name);
  if (subscription.Impersonated) Impersonate(*request, subscription.GetStoreIdentity());
  PrepareSubscribe(subscription, *request, *http);
  DvDOMElementPtr message = FSession->SendChecked(request, "Subscribe");
  DvDOMElementPtr id = message->SelectSingleElement("SubscriptionId");
  subscription.SetSubscriptionId(id ? id->GetAsString() : std::string());
}

std::unique_ptr<TDvEWSGetEvents> TDvEWSSingleStoreFolderEvents::CreateMonitor(
    TDvEWSEventGroup& group) {
  return std::make_unique<TDvEWSGetEvents>(this, &group);
}

void TDvEWSSingleStoreFolderEvents::DoStart() {
  if (GetActive()) Stop();
  if (EventTypes().Empty() || !FSession) return;
  const std::vector<TDvEWSEventGroup*> groups = FGroups.List();
  for (TDvEWSEventGroup* g : groups) {
    PrepareGroup(*g);
    for (auto& s : g->Subscriptions)
      SubscribeOne(*s);
  }
  for (TDvEWSEventGroup* g : groups)
    FThreads.push_back(CreateMonitor(*g));
  for (auto& t : FThreads)
    t->StartListening();
}

void TDvEWSSingleStoreFolderEvents::Start() {
  DoStart();
}

void TDvEWSSingleStoreFolderEvents::Stop() {
  for (auto it = FThreads.rbegin(); it != FThreads.rend(); ++it)
    (*it)->Terminate();
  for (auto it = FThreads.rbegin(); it != FThreads.rend(); ++it)
    (*it)->WaitFor();
  const bool wasActive = !FThreads.empty();
  FThreads.clear();
  if (!wasActive || !FSession || !FSessionComponent) return;
  for (TDvEWSEventGroup* g : FGroups.List()) {
    for (auto& s : g->Subscriptions) {
      const std::string id = s->GetSubscriptionId();
      if (id.empty()) continue;
      try {
        auto request = FSession->CreateRequest(nullptr, "m:Unsubscribe", "");
        request->GetOperation()->AddElement("m:SubscriptionId")->SetAsString(id);
        if (s->Impersonated) Impersonate(*request, s->GetStoreIdentity());
        FSession->SendChecked(request, "Unsubscribe");
        s->SetSubscriptionId({});
      } catch (const std::exception&) {
        // A subscription the server no longer has, or a server out of reach: nothing to undo.
      }
    }
  }
}

template <typename F, typename... A>
void TDvEWSSingleStoreFolderEvents::Dispatch(const F& handler, A... args) {
  if (!handler) return;
  if (FThreadedEvents) {
    handler(args...);
    return;
  }
  DvQueueToMainThread([handler, args...] { handler(args...); });
}

void TDvEWSSingleStoreFolderEvents::ItemCopied(const DvEWSFolderPtr& folder, TDateTime time,
                                               const TItemId& id, const TItemId& parent,
                                               const TItemId& oldId, const TItemId& oldParent) {
  Dispatch(FOnItemCopied, folder, time, id, parent, oldId, oldParent);
}
void TDvEWSSingleStoreFolderEvents::ItemCreated(const DvEWSFolderPtr& folder, TDateTime time,
                                                const TItemId& id, const TItemId& parent) {
  Dispatch(FOnItemCreated, folder, time, id, parent);
}
void TDvEWSSingleStoreFolderEvents::ItemDeleted(const DvEWSFolderPtr& folder, TDateTime time,
                                                const TItemId& id, const TItemId& parent) {
  Dispatch(FOnItemDeleted, folder, time, id, parent);
}
void TDvEWSSingleStoreFolderEvents::ItemModified(const DvEWSFolderPtr& folder, TDateTime time,
                                                 const TItemId& id, const TItemId& parent,
                                                 int unreadCount) {
  Dispatch(FOnItemModified, folder, time, id, parent, unreadCount);
}
void TDvEWSSingleStoreFolderEvents::ItemMoved(const DvEWSFolderPtr& folder, TDateTime time,
                                              const TItemId& id, const TItemId& parent,
                                              const TItemId& oldId, const TItemId& oldParent) {
  Dispatch(FOnItemMoved, folder, time, id, parent, oldId, oldParent);
}
void TDvEWSSingleStoreFolderEvents::NewMail(const DvEWSFolderPtr& folder, TDateTime time,
                                            const TItemId& id, const TItemId& parent) {
  Dispatch(FOnNewMail, folder, time, id, parent);
}
void TDvEWSSingleStoreFolderEvents::MissedEvents(const DvEWSFolderPtr& folder) {
  Dispatch(FOnMissedEvents, folder);
}

std::vector<std::string> TDvEWSSingleStoreFolderEvents::ProcessEvents(
    const IDvDOMDocument& document, TDvEWSEventGroup& group) {
  std::vector<std::string> lost;
  auto find = [&group](const std::string& id) -> TDvEWSEventSubscription* {
    for (auto& s : group.Subscriptions)
      if (s->GetSubscriptionId() == id) return s.get();
    return nullptr;
  };
  // An answer refusing subscriptions the server no longer knows.
  DvDOMElementListPtr messages = document.CreateElementList(
      "/Envelope/Body/GetStreamingEventsResponse/ResponseMessages/"
      "GetStreamingEventsResponseMessage");
  for (int m = 0; m < messages->Count(); ++m) {
    DvDOMElementPtr message = messages->GetItem(m);
    if (message->GetAttribute("ResponseClass") != "Error") continue;
    DvDOMElementPtr code = message->SelectSingleElement("ResponseCode");
    const std::string text = code ? code->GetAsString() : std::string();
    if (text != "ErrorSubscriptionNotFound" && text != "ErrorInvalidSubscription" &&
        text != "ErrorExpiredSubscription")
      continue;
    DvDOMElementListPtr ids = message->CreateElementList("ErrorSubscriptionIds/SubscriptionId");
    if (ids->Count() == 0) {
      for (auto& s : group.Subscriptions)
        lost.push_back(s->GetSubscriptionId());
    }
    for (int i = 0; i < ids->Count(); ++i)
      lost.push_back(ids->GetItem(i)->GetAsString());
  }
  DvDOMElementListPtr notifications = document.CreateElementList(
      "/Envelope/Body/GetStreamingEventsResponse/ResponseMessages/"
      "GetStreamingEventsResponseMessage/Notifications/Notification");
  for (int n = 0; n < notifications->Count(); ++n) {
    DvDOMElementPtr notification = notifications->GetItem(n);
    DvDOMElementPtr sid = notification->SelectSingleElement("SubscriptionId");
    TDvEWSEventSubscription* subscription = sid ? find(sid->GetAsString()) : nullptr;
    if (!subscription) continue;
    for (const DvDOMElementPtr& e : notification->Elements()) {
      const TItemId parent = IdOf(e, "ParentFolderId");
      DvEWSFolderPtr folder = subscription->FindFolder(parent.Id);
      if (!folder) continue;
      const std::string name = e->GetLocalName();
      DvDOMElementPtr stamp = e->SelectSingleElement("TimeStamp");
      const TDateTime time = stamp ? DvXMLToDateTime(stamp->GetAsString()) : TDateTime();
      const TItemId id = IdOf(e, "ItemId");
      if (name == "NewMailEvent") {
        NewMail(folder, time, id, parent);
      } else if (name == "CreatedEvent") {
        ItemCreated(folder, time, id, parent);
      } else if (name == "DeletedEvent") {
        ItemDeleted(folder, time, id, parent);
      } else if (name == "ModifiedEvent") {
        DvDOMElementPtr unread = e->SelectSingleElement("UnreadCount");
        ItemModified(folder, time, id, parent, unread ? std::stoi(unread->GetAsString()) : -1);
      } else if (name == "MovedEvent") {
        ItemMoved(folder, time, id, parent, IdOf(e, "OldItemId"), IdOf(e, "OldParentFolderId"));
      } else if (name == "CopiedEvent") {
        ItemCopied(folder, time, id, parent, IdOf(e, "OldItemId"), IdOf(e, "OldParentFolderId"));
      }
    }
  }
  return lost;
}

// ---------------------------------------------------------------- several mailboxes

std::unique_ptr<TDvEWSEventSubscription> TDvEWSMultipleStoreFolderEvents::CreateSubscription(
    TDvEWSEventGroup* group, const std::string& smtp) {
  return std::make_unique<TDvEWSEventSubscriptionEx>(group, smtp);
}

std::string TDvEWSMultipleStoreFolderEvents::GroupOf(const std::string& smtpAddress) {
  if (FOnGetGroup) return FOnGetGroup(smtpAddress);
  if (FSession->GetServerVersion() < TServerVersion::Exchange2013) return "GroupXXX";
  auto* session = dynamic_cast<TDvEWSCustomSession*>(FSession->GetSession());
  if (!session || (session->GetAutodiscoverEMail().empty() &&
                   session->GetCredentials().GetUserName().find('@') == std::string::npos))
    return {};
  DvDOMDocumentPtr answer;
  try {
    answer = session->Autodiscover(smtpAddress);
  } catch (const std::exception&) {
    return {};  // a mailbox autodiscover cannot place shares the group of the service URL
  }
  const std::string protocol = "/Autodiscover/Response/Account/Protocol[Type=\"EXPR\"]/";
  DvDOMElementPtr grouping =
      answer ? answer->SelectSingleElement(protocol + "GroupingInformation") : nullptr;
  DvDOMElementPtr url = answer ? answer->SelectSingleElement(protocol + "EwsUrl") : nullptr;
  return (grouping ? grouping->GetAsString() : std::string()) +
         (url ? url->GetAsString() : std::string());
}

void TDvEWSMultipleStoreFolderEvents::Subscribe(const DvEWSFolderPtr& folder,
                                                const TEwsGetGroupEvent& getGroup) {
  TDvEWSSingleStoreFolderEvents::Subscribe(
      folder, getGroup ? getGroup : [this](const std::string& a) { return GroupOf(a); });
}

void TDvEWSMultipleStoreFolderEvents::Start() {
  const auto groups = FGroups.List();
  FAffinity = !(groups.empty() || (groups.size() == 1 && groups.front()->Count() == 1));
  DoStart();
}

void TDvEWSMultipleStoreFolderEvents::PrepareGroup(TDvEWSEventGroup& group) {
  if (!FAffinity) return;
  std::sort(
      group.Subscriptions.begin(), group.Subscriptions.end(),
      [](const auto& a, const auto& b) { return a->GetStoreIdentity() < b->GetStoreIdentity(); });
}

void TDvEWSMultipleStoreFolderEvents::PrepareSubscribe(TDvEWSEventSubscription& subscription,
                                                       IDvSOAPRequest& request,
                                                       IDvHTTPClient& client) {
  if (!FAffinity) return;
  auto& ex = dynamic_cast<TDvEWSEventSubscriptionEx&>(subscription);
  auto& anchor =
      dynamic_cast<TDvEWSEventSubscriptionEx&>(*subscription.Group->Subscriptions.front());
  request.SetHTTPHeader("X-PreferServerAffinity", "true");
  Impersonate(request, subscription.GetStoreIdentity());
  if (&ex == &anchor) {
    request.SetHTTPHeader("X-AnchorMailbox", ex.GetStoreIdentity());
    ex.Anchor = true;
    client.SetOnResponse([&ex](IDvHTTPClient&, IDvHTTPRequest&, TDvHTTPResponse& response) {
      const std::string cookie = response.GetHeader("X-BackEndOverrideCookie");
      if (!cookie.empty()) ex.BackEndCookie = cookie;
    });
  } else {
    request.SetHTTPHeader("X-AnchorMailbox", anchor.GetStoreIdentity());
    if (!anchor.BackEndCookie.empty())
      request.AddCookie("X-BackEndOverrideCookie", anchor.BackEndCookie);
    ex.Anchor = false;
  }
}

std::unique_ptr<TDvEWSGetEvents> TDvEWSMultipleStoreFolderEvents::CreateMonitor(
    TDvEWSEventGroup& group) {
  if (!FAffinity) return TDvEWSSingleStoreFolderEvents::CreateMonitor(group);
  return std::make_unique<TDvEWSGetAnchorEvents>(this, &group);
}

// ---------------------------------------------------------------- the component

TDvEWSFolderEvents::TDvEWSFolderEvents(TDvComponent* owner)
    : TDvComponent(owner), FEvents(new TDvEWSMultipleStoreFolderEvents(this)) {}

TDvEWSFolderEvents::~TDvEWSFolderEvents() {
  FEvents->Stop();
}

}  // namespace dv
