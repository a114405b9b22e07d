// Mailbox change events, subscriptions and the streaming pump.
#include "events.h"

#include <openssl/rand.h>

#include <algorithm>

#include "util.h"

namespace ewssim {

namespace {

using Clock = std::chrono::steady_clock;

// How many of a mailbox's latest events a subscription can resume from (Exchange keeps 30 days).
constexpr size_t kHistoryEvents = 5000;

std::string FolderIdAttrs(const Mailbox& m, uint32_t folder, std::string& key) {
  const Folder* f = const_cast<Mailbox&>(m).FolderById(folder);
  key = EncodeChangeKey(f ? f->changeKey : 1);
  return EncodeId(IdKind::Folder, m.index, folder);
}

void FillParent(const Mailbox& m, MailboxEvent& e) {
  e.parentId = FolderIdAttrs(m, e.parent, e.parentKey);
  if (e.oldParent) e.oldParentId = FolderIdAttrs(m, e.oldParent, e.oldParentKey);
}

// The folder ModifiedEvent that follows a change of a folder's contents.
void RaiseFolderModified(Store& s, Mailbox& m, uint32_t folder) {
  Folder* f = m.FolderById(folder);
  if (!f) return;
  MailboxEvent e;
  e.type = "ModifiedEvent";
  e.time = NowMs();
  e.isFolder = true;
  e.folder = f->id;
  e.id = EncodeId(IdKind::Folder, m.index, f->id);
  e.changeKey = EncodeChangeKey(f->changeKey);
  e.parent = f->parent ? f->parent : f->id;
  e.unreadCount = m.UnreadCount(*f);
  FillParent(m, e);
  s.events->Raise(m.index, std::move(e));
}

void AppendId(std::string& out, const char* element, const std::string& id,
              const std::string& key) {
  out += "<t:";
  out += element;
  out += " Id=\"" + id + "\" ChangeKey=\"" + key + "\"/>";
}

std::string RandomId() {
  unsigned char rnd[18];
  RAND_bytes(rnd, sizeof rnd);
  return Base64Encode(std::string_view(reinterpret_cast<const char*>(rnd), sizeof rnd));
}

}  // namespace

void RaiseItemEvent(Store& s, Mailbox& m, const char* type, const Item& item, uint32_t oldFolder,
                    const std::string& oldItemId) {
  if (!s.events) return;
  MailboxEvent e;
  e.type = type;
  e.time = NowMs();
  e.id = EncodeId(IdKind::Item, m.index, item.id);
  e.changeKey = EncodeChangeKey(item.changeKey);
  e.parent = item.folder;
  if (oldFolder) {
    e.oldParent = oldFolder;
    e.oldId = oldItemId.empty() ? e.id : oldItemId;
    e.oldKey = e.changeKey;
  }
  FillParent(m, e);
  // A change of a calendar item changes its owner's free/busy time.
  const bool freeBusy = item.kind == "CalendarItem";
  MailboxEvent busy;
  if (freeBusy) {
    busy = e;
    busy.type = "FreeBusyChangedEvent";
    busy.oldParent = 0;
    busy.oldId.clear();
    busy.oldParentId.clear();
  }
  s.events->Raise(m.index, std::move(e));
  if (freeBusy) s.events->Raise(m.index, std::move(busy));
  RaiseFolderModified(s, m, item.folder);
  if (oldFolder && oldFolder != item.folder && std::string(type) == "MovedEvent")
    RaiseFolderModified(s, m, oldFolder);
}

void RaiseFolderEvent(Store& s, Mailbox& m, const char* type, const Folder& f, uint32_t oldParent) {
  if (!s.events) return;
  MailboxEvent e;
  e.type = type;
  e.time = NowMs();
  e.isFolder = true;
  e.folder = f.id;
  e.id = EncodeId(IdKind::Folder, m.index, f.id);
  e.changeKey = EncodeChangeKey(f.changeKey);
  e.parent = f.parent ? f.parent : f.id;
  if (oldParent) {
    e.oldParent = oldParent;
    e.oldId = e.id;
    e.oldKey = e.changeKey;
  }
  FillParent(m, e);
  s.events->Raise(m.index, std::move(e));
}

void RaiseDelivery(Store& s, Mailbox& m, const Item& item) {
  if (!s.events) return;
  RaiseItemEvent(s, m, "CreatedEvent", item);
  MailboxEvent e;
  e.type = "NewMailEvent";
  e.time = NowMs();
  e.id = EncodeId(IdKind::Item, m.index, item.id);
  e.changeKey = EncodeChangeKey(item.changeKey);
  e.parent = item.folder;
  FillParent(m, e);
  s.events->Raise(m.index, std::move(e));
}

// ---------------------------------------------------------------- hub

EventHub::EventHub(const NotificationConfig& cfg,
                   std::function<std::string(const std::string&)> envelope)
    : cfg_(cfg), envelope_(std::move(envelope)) {
  cfg_.minuteMs = std::max(1, cfg_.minuteMs);
  cfg_.keepAliveMs = std::max(10, cfg_.keepAliveMs);
  pump_ = std::thread([this] { Pump(); });
}

EventHub::~EventHub() {
  Stop();
  {
    std::lock_guard<std::mutex> lk(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (pump_.joinable()) pump_.join();
}

std::string EventHub::BackEndOf(const std::string& address) const {
  for (const auto& [mailbox, backEnd] : cfg_.backEnds)
    if (EqualsNoCase(mailbox, address)) return backEnd;
  return "BE1";
}

std::string EventHub::CookieOf(const std::string& backEnd) {
  return Base64Encode("ewssim-backend:" + backEnd);
}

std::string EventHub::BackEndOfCookie(const std::string& cookie) {
  auto text = Base64Decode(cookie);
  const std::string lead = "ewssim-backend:";
  if (!text || text->rfind(lead, 0) != 0) return {};
  return text->substr(lead.size());
}

std::string EventHub::Watermark(uint16_t mailbox, uint64_t seq) const {
  std::string raw = "WM";
  raw += static_cast<char>(mailbox & 0xff);
  raw += static_cast<char>(mailbox >> 8);
  for (int i = 0; i < 8; ++i)
    raw += static_cast<char>((seq >> (8 * i)) & 0xff);
  return Base64Encode(raw);
}

bool EventHub::ParseWatermark(const std::string& text, uint16_t& mailbox, uint64_t& seq) {
  auto raw = Base64Decode(text);
  if (!raw || raw->size() != 12 || raw->rfind("WM", 0) != 0) return false;
  mailbox = static_cast<uint16_t>(static_cast<unsigned char>((*raw)[2]) |
                                  (static_cast<unsigned char>((*raw)[3]) << 8));
  seq = 0;
  for (int i = 7; i >= 0; --i)
    seq = (seq << 8) | static_cast<unsigned char>((*raw)[4 + i]);
  return true;
}

void EventHub::Raise(uint16_t mailbox, MailboxEvent e) {
  std::lock_guard<std::mutex> lk(lock_);
  e.watermark = ++sequence_[mailbox];
  auto& history = history_[mailbox];
  history.push_back(e);
  if (history.size() > kHistoryEvents) history.pop_front();
  bool queued = false;
  for (auto& [id, s] : subscriptions_) {
    if (s.mailbox != mailbox || !Matches(s, e)) continue;
    s.queue.push_back(e);
    queued = queued || s.connection;
  }
  if (queued) {
    dirty_ = true;
    wake_.notify_all();
  }
}

bool EventHub::Matches(const Subscription& s, const MailboxEvent& e) const {
  if (!s.types.count(e.type)) return false;
  if (s.allFolders || s.folders.count(e.parent)) return true;
  // A folder's own ModifiedEvent reaches the subscriptions of that folder.
  return e.isFolder && e.type == "ModifiedEvent" && s.folders.count(e.folder);
}

std::pair<std::string, std::string> EventHub::Subscribe(NewSubscription n) {
  std::lock_guard<std::mutex> lk(lock_);
  Subscription s;
  s.id = RandomId();
  s.owner = std::move(n.owner);
  s.backEnd = std::move(n.backEnd);
  s.mailbox = n.mailbox;
  s.allFolders = n.allFolders;
  s.folders = std::move(n.folders);
  s.types = std::move(n.types);
  s.streaming = n.streaming;
  s.timeoutMinutes = n.timeoutMinutes;
  s.lastWatermark = sequence_[n.mailbox];
  if (!n.startWatermark.empty()) {
    uint16_t mailbox = 0;
    uint64_t seq = 0;
    const auto& history = history_[n.mailbox];
    // Found: the current watermark, or one the kept events still reach back to.
    const uint64_t oldest = history.empty() ? s.lastWatermark : history.front().watermark - 1;
    if (!ParseWatermark(n.startWatermark, mailbox, seq) || mailbox != n.mailbox ||
        seq > s.lastWatermark || seq < oldest)
      Fail("ErrorInvalidWatermark",
           "The watermark used for creating this subscription was not found.");
    for (const MailboxEvent& e : history)
      if (e.watermark > seq && Matches(s, e)) s.queue.push_back(e);
    s.lastWatermark = seq;
  }
  s.lastUse = Clock::now();
  std::string id = s.id;
  std::string watermark = Watermark(n.mailbox, s.lastWatermark);
  subscriptions_.emplace(id, std::move(s));
  return {id, watermark};
}

std::string EventHub::Unsubscribe(const std::string& owner, const std::string& id) {
  std::lock_guard<std::mutex> lk(lock_);
  auto it = subscriptions_.find(id);
  if (it == subscriptions_.end()) return "ErrorSubscriptionNotFound";
  if (it->second.owner != owner) return "ErrorSubscriptionAccessDenied";
  if (Connection* c = it->second.connection)
    c->ids.erase(std::remove(c->ids.begin(), c->ids.end(), id), c->ids.end());
  subscriptions_.erase(it);
  dirty_ = true;
  wake_.notify_all();
  return {};
}

std::string EventHub::NotificationXml(const Subscription& s,
                                      const std::vector<MailboxEvent>& events,
                                      const std::string& previous, bool more) const {
  std::string out = "<t:SubscriptionId>" + s.id + "</t:SubscriptionId>";
  if (!previous.empty()) {
    out += "<t:PreviousWatermark>" + previous + "</t:PreviousWatermark><t:MoreEvents>" +
           BoolText(more) + "</t:MoreEvents>";
  }
  for (const MailboxEvent& e : events) {
    out += "<t:" + e.type + "><t:Watermark>" + Watermark(s.mailbox, e.watermark) +
           "</t:Watermark><t:TimeStamp>" + FormatDateTime(e.time) + "</t:TimeStamp>";
    AppendId(out, e.isFolder ? "FolderId" : "ItemId", e.id, e.changeKey);
    AppendId(out, "ParentFolderId", e.parentId, e.parentKey);
    if (!e.oldParentId.empty()) {
      AppendId(out, e.isFolder ? "OldFolderId" : "OldItemId", e.oldId, e.oldKey);
      AppendId(out, "OldParentFolderId", e.oldParentId, e.oldParentKey);
    }
    if (e.type == "ModifiedEvent" && e.unreadCount >= 0)
      out += "<t:UnreadCount>" + std::to_string(e.unreadCount) + "</t:UnreadCount>";
    out += "</t:" + e.type + ">";
  }
  return out;
}

std::string EventHub::GetEvents(const std::string& owner, const std::string& id,
                                const std::string& watermark) {
  std::lock_guard<std::mutex> lk(lock_);
  auto it = subscriptions_.find(id);
  if (it == subscriptions_.end()) FailCode("ErrorSubscriptionNotFound");
  Subscription& s = it->second;
  if (s.owner != owner) FailCode("ErrorSubscriptionAccessDenied");
  if (s.streaming)
    Fail("ErrorInvalidPullSubscriptionId", "The subscription is not a pull subscription.");
  uint16_t mailbox = 0;
  uint64_t seq = 0;
  if (!ParseWatermark(watermark, mailbox, seq))
    Fail("ErrorInvalidWatermark", "The watermark is invalid.");
  // What the client has seen goes; what it has not stays until it says so.
  while (!s.queue.empty() && s.queue.front().watermark <= seq)
    s.queue.pop_front();
  s.lastUse = Clock::now();
  std::vector<MailboxEvent> batch(s.queue.begin(),
                                  s.queue.begin() + std::min<size_t>(50, s.queue.size()));
  const bool more = s.queue.size() > batch.size();
  std::string out = "<m:Notification>";
  if (batch.empty()) {
    out += NotificationXml(s, {}, watermark, false);
    out += "<t:StatusEvent><t:Watermark>" + Watermark(s.mailbox, std::max(seq, s.lastWatermark)) +
           "</t:Watermark></t:StatusEvent>";
  } else {
    out += NotificationXml(s, batch, watermark, more);
    s.lastWatermark = batch.back().watermark;
  }
  return out + "</m:Notification>";
}

std::string EventHub::CheckStreaming(const std::string& owner, const std::vector<std::string>& ids,
                                     const std::string& backEnd, std::vector<std::string>& badIds) {
  std::lock_guard<std::mutex> lk(lock_);
  std::string code;
  auto fault = [&](const std::string& id, const char* c) {
    if (code.empty()) code = c;
    badIds.push_back(id);
  };
  for (const std::string& id : ids) {
    auto it = subscriptions_.find(id);
    if (it == subscriptions_.end()) {
      fault(id, "ErrorSubscriptionNotFound");
    } else if (it->second.owner != owner) {
      fault(id, "ErrorSubscriptionAccessDenied");
    } else if (!it->second.streaming) {
      fault(id, "ErrorInvalidSubscription");
    } else if (it->second.backEnd != backEnd) {
      // The request reached another mailbox server than the one holding the subscription.
      fault(id, "ErrorProxiedSubscriptionCallFailure");
    }
  }
  return code;
}

std::string EventHub::StreamMessage(const std::string& notifications, const char* status) const {
  std::string body = "<m:GetStreamingEventsResponse xmlns:m=\"";
  body += kNsMessages;
  body += "\" xmlns:t=\"";
  body += kNsTypes;
  body +=
      "\"><m:ResponseMessages><m:GetStreamingEventsResponseMessage ResponseClass=\"Success\">"
      "<m:ResponseCode>NoError</m:ResponseCode>";
  if (!notifications.empty()) body += "<m:Notifications>" + notifications + "</m:Notifications>";
  if (status) body += std::string("<m:ConnectionStatus>") + status + "</m:ConnectionStatus>";
  body +=
      "</m:GetStreamingEventsResponseMessage></m:ResponseMessages></m:GetStreamingEventsResponse>";
  return envelope_(body);
}

void EventHub::Open(std::shared_ptr<HttpStream> stream, std::vector<std::string> ids,
                    int timeoutMinutes, int dropAfter) {
  std::lock_guard<std::mutex> lk(lock_);
  auto c = std::make_unique<Connection>();
  const auto now = Clock::now();
  c->stream = std::move(stream);
  c->deadline =
      now + std::chrono::milliseconds(static_cast<int64_t>(timeoutMinutes) * cfg_.minuteMs);
  c->lastWrite = now;
  c->dropAfter = dropAfter;
  for (const std::string& id : ids) {
    auto it = subscriptions_.find(id);
    if (it == subscriptions_.end()) continue;
    // A subscription is served by one connection: the newest takes it over.
    if (Connection* old = it->second.connection)
      old->ids.erase(std::remove(old->ids.begin(), old->ids.end(), id), old->ids.end());
    it->second.connection = c.get();
    c->ids.push_back(id);
  }
  // The first message tells the client that the stream is open.
  c->stream->Write(StreamMessage({}, "OK"));
  connections_.push_back(std::move(c));
  dirty_ = true;
  wake_.notify_all();
}

void EventHub::Detach(Connection& c) {
  const auto now = Clock::now();
  for (const std::string& id : c.ids) {
    auto it = subscriptions_.find(id);
    if (it != subscriptions_.end() && it->second.connection == &c) {
      it->second.connection = nullptr;
      it->second.lastUse = now;
    }
  }
  c.ids.clear();
}

void EventHub::Expire(Clock::time_point now) {
  std::erase_if(subscriptions_, [&](const auto& entry) {
    const Subscription& s = entry.second;
    if (s.connection) return false;
    const int minutes = s.streaming ? cfg_.streamingLifetimeMinutes : s.timeoutMinutes;
    return now - s.lastUse >
           std::chrono::milliseconds(static_cast<int64_t>(minutes) * cfg_.minuteMs);
  });
}

void EventHub::Pump() {
  std::unique_lock<std::mutex> lk(lock_);
  const auto keepAlive = std::chrono::milliseconds(cfg_.keepAliveMs);
  while (!stopping_) {
    const auto now = Clock::now();
    Expire(now);
    auto next = now + std::chrono::milliseconds(250);
    for (size_t i = 0; i < connections_.size();) {
      Connection& c = *connections_[i];
      bool remove = false;
      if (!c.stream->IsOpen() || c.ids.empty()) {
        if (c.ids.empty() && c.stream->IsOpen()) {
          c.stream->Write(StreamMessage({}, "Closed"));
          c.stream->Close();
        }
        remove = true;
      } else if (now >= c.deadline) {
        // The connection's time is up: Exchange ends it with ConnectionStatus Closed.
        c.stream->Write(StreamMessage({}, "Closed"));
        c.stream->Close();
        remove = true;
      } else {
        std::string notes;
        std::vector<std::pair<Subscription*, size_t>> taken;
        for (const std::string& id : c.ids) {
          auto it = subscriptions_.find(id);
          if (it == subscriptions_.end() || it->second.queue.empty()) continue;
          Subscription& s = it->second;
          std::vector<MailboxEvent> batch(s.queue.begin(), s.queue.end());
          notes += "<t:Notification>" + NotificationXml(s, batch, {}, false) + "</t:Notification>";
          taken.emplace_back(&s, batch.size());
        }
        if (!notes.empty()) {
          if (c.stream->Write(StreamMessage(notes, nullptr))) {
            // Written events leave the queues; on a failed write they wait for the next stream.
            for (auto& [s, n] : taken) {
              s->lastWatermark = s->queue[n - 1].watermark;
              s->queue.erase(s->queue.begin(), s->queue.begin() + static_cast<long>(n));
            }
            c.lastWrite = now;
            if (c.dropAfter > 0 && ++c.written >= c.dropAfter) {
              c.stream->Abort();
              remove = true;
            }
          } else {
            remove = true;
          }
        } else if (now - c.lastWrite >= keepAlive) {
          c.stream->Write(StreamMessage({}, "OK"));
          c.lastWrite = now;
        }
        if (!remove) next = std::min({next, c.deadline, c.lastWrite + keepAlive});
      }
      if (remove) {
        Detach(c);
        connections_.erase(connections_.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    wake_.wait_until(lk, next, [this] { return dirty_ || stopping_; });
    dirty_ = false;
  }
}

void EventHub::Forget() {
  std::lock_guard<std::mutex> lk(lock_);
  for (auto& c : connections_)
    c->stream->Abort();
  connections_.clear();
  subscriptions_.clear();
}

void EventHub::Stop() {
  std::lock_guard<std::mutex> lk(lock_);
  for (auto& c : connections_) {
    Detach(*c);
    c->stream->Close();
  }
  connections_.clear();
}

size_t EventHub::OpenStreams() const {
  std::lock_guard<std::mutex> lk(lock_);
  return connections_.size();
}

}  // namespace ewssim
