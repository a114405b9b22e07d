// Notification and synchronisation operations: Subscribe, Unsubscribe, GetEvents,
// GetStreamingEvents, SyncFolderItems, SyncFolderHierarchy.
#include <algorithm>
#include <map>

#include "events.h"
#include "ops.h"

namespace ewssim {

namespace {

EventHub& Hub(Ctx& c) {
  if (!c.store.events) FailCode("ErrorInternalServerError");
  return *c.store.events;
}

// The back-end a request reaches: the affinity cookie's when it carries one, else the anchor
// mailbox's, else the mailbox acted on.
std::string RoutedBackEnd(Ctx& c) {
  const std::string cookies = c.requestHeader ? c.requestHeader("Cookie") : std::string();
  const std::string name = "X-BackEndOverrideCookie=";
  for (size_t at = cookies.find(name); at != std::string::npos; at = cookies.find(name, at + 1)) {
    if (at > 0 && cookies[at - 1] != ' ' && cookies[at - 1] != ';') continue;
    const size_t start = at + name.size();
    const std::string value = cookies.substr(start, cookies.find(';', start) - start);
    const std::string backEnd = EventHub::BackEndOfCookie(value);
    if (!backEnd.empty()) return backEnd;
  }
  const std::string anchor = c.requestHeader ? c.requestHeader("X-AnchorMailbox") : std::string();
  if (!anchor.empty() && c.store.Find(anchor)) return Hub(c).BackEndOf(anchor);
  return Hub(c).BackEndOf(c.self->address);
}

void Subscribe(Ctx& c) {
  PerMessage(c, "Subscribe", nullptr, [&](std::string& out) {
    auto request = Elements(c.op).empty() ? pugi::xml_node() : Elements(c.op).front();
    const auto kind = LocalName(request);
    if (kind == "PushSubscriptionRequest")
      Fail("ErrorInvalidSubscriptionRequest", "Push subscriptions are not offered here.");
    EventHub::NewSubscription s;
    s.owner = c.user->address;
    s.streaming = kind == "StreamingSubscriptionRequest";
    ParseBool(Attr(request, "SubscribeToAllFolders"), s.allFolders);
    Mailbox* mailbox = nullptr;
    for (auto id : Elements(Child(request, "FolderIds"))) {
      auto [m, f] = c.ResolveFolder(id);
      // One subscription watches one mailbox.
      if (mailbox && mailbox != m) FailCode("ErrorInvalidSubscriptionRequest");
      mailbox = m;
      s.folders.insert(f->id);
    }
    if (!mailbox) {
      if (!s.allFolders) FailCode("ErrorInvalidSubscriptionRequest");
      mailbox = c.self;
    }
    for (auto t : Elements(Child(request, "EventTypes")))
      s.types.insert(Text(t));
    if (!s.streaming) {
      s.timeoutMinutes = std::max(1, std::atoi(ChildText(request, "Timeout").c_str()));
      s.startWatermark = ChildText(request, "Watermark");
    }
    s.mailbox = mailbox->index;
    s.backEnd = Hub(c).BackEndOf(mailbox->address);
    const std::string backEnd = s.backEnd;
    auto [id, watermark] = Hub(c).Subscribe(std::move(s));
    out += "<m:SubscriptionId>" + id + "</m:SubscriptionId>";
    if (kind == "PullSubscriptionRequest") out += "<m:Watermark>" + watermark + "</m:Watermark>";
    c.responseHeaders.emplace_back("X-BackEndOverrideCookie", EventHub::CookieOf(backEnd));
  });
}

void Unsubscribe(Ctx& c) {
  PerMessage(c, "Unsubscribe", nullptr, [&](std::string&) {
    const std::string code = Hub(c).Unsubscribe(c.user->address, ChildText(c.op, "SubscriptionId"));
    if (!code.empty()) FailCode(code);
  });
}

void GetEvents(Ctx& c) {
  PerMessage(c, "GetEvents", nullptr, [&](std::string& out) {
    out += Hub(c).GetEvents(c.user->address, ChildText(c.op, "SubscriptionId"),
                            ChildText(c.op, "Watermark"));
  });
}

void GetStreamingEvents(Ctx& c) {
  std::vector<std::string> ids;
  for (auto id : Elements(Child(c.op, "SubscriptionIds")))
    ids.push_back(Text(id));
  const int timeout = std::clamp(std::atoi(ChildText(c.op, "ConnectionTimeout").c_str()), 1, 30);
  std::vector<std::string> bad;
  const std::string code = Hub(c).CheckStreaming(c.user->address, ids, RoutedBackEnd(c), bad);
  if (!code.empty() || !c.startStream) {
    // Refused before any stream opens: one ordinary answer, the connection closed.
    EwsError e{code.empty() ? "ErrorInternalServerError" : code, StandardText(code)};
    MsgOpen(c.out, "GetStreamingEvents", &e);
    if (!bad.empty()) {
      c.out += "<m:ErrorSubscriptionIds>";
      for (const auto& id : bad)
        c.out += "<t:SubscriptionId>" + id + "</t:SubscriptionId>";
      c.out += "</m:ErrorSubscriptionIds>";
    }
    c.out += "<m:ConnectionStatus>Closed</m:ConnectionStatus>";
    MsgClose(c.out, "GetStreamingEvents");
    return;
  }
  const int dropAfter =
      c.fault && c.fault->action == "drop" ? std::max(1, c.fault->notifications) : 0;
  Hub(c).Open(c.startStream(), std::move(ids), timeout, dropAfter);
}

// ---------------------------------------------------------------- synchronisation
//
// A sync state is the list of what the client was last given: for items, each id with its change
// key and read flag; for folders, each id with its change key. Comparing it with the folder as
// it stands gives the changes, however long the client was away and whatever the server
// forgot in between.

struct Known {
  uint64_t changeKey = 0;
  bool isRead = false;
};

void PutInt(std::string& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out += static_cast<char>((v >> (8 * i)) & 0xff);
}
uint64_t GetInt(const std::string& in, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(in[at + static_cast<size_t>(i)]);
  return v;
}

std::string EncodeState(const char* tag, const Mailbox& m, uint32_t folder,
                        const std::map<uint64_t, Known>& known, bool items) {
  std::string raw = tag;
  PutInt(raw, m.index, 2);
  PutInt(raw, folder, 4);
  for (const auto& [id, k] : known) {
    PutInt(raw, id, items ? 8 : 4);
    PutInt(raw, k.changeKey, 8);
    if (items) raw += k.isRead ? '\1' : '\0';
  }
  return Base64Encode(raw);
}

std::map<uint64_t, Known> DecodeState(const char* tag, const Mailbox& m, uint32_t folder,
                                      const std::string& text, bool items) {
  std::map<uint64_t, Known> known;
  if (text.empty()) return known;
  const auto raw = Base64Decode(text);
  const size_t entry = items ? 17 : 12;
  if (!raw || raw->size() < 10 || raw->compare(0, 4, tag) != 0 || (raw->size() - 10) % entry ||
      GetInt(*raw, 4, 2) != m.index || GetInt(*raw, 6, 4) != folder)
    FailCode("ErrorInvalidSyncStateData");
  for (size_t at = 10; at < raw->size(); at += entry) {
    Known k{GetInt(*raw, at + (items ? 8 : 4), 8), items && (*raw)[at + 16] != 0};
    known[GetInt(*raw, at, items ? 8 : 4)] = k;
  }
  return known;
}

int MaxChanges(Ctx& c) {
  const int n = std::atoi(ChildText(c.op, "MaxChangesReturned").c_str());
  if (n < 1 || n > 512) FailCode("ErrorInvalidSyncStateData");
  return n;
}

// Only the read flag changed since `since`: every property path set after it is the read flag.
bool OnlyReadFlagChanged(const Item& item, uint64_t since) {
  bool read = false;
  for (const auto& [path, at] : item.changedAt) {
    if (at <= since) continue;
    if (path != "message:IsRead") return false;
    read = true;
  }
  return read;
}

void SyncFolderItems(Ctx& c) {
  PerMessage(c, "SyncFolderItems", nullptr, [&](std::string& out) {
    auto [m, f] = [&]() -> std::pair<Mailbox*, Folder*> {
      try {
        return c.ResolveFolderIn(Child(c.op, "SyncFolderId"));
      } catch (const EwsError& e) {
        if (e.code == "ErrorFolderNotFound" || e.code == "ErrorItemNotFound")
          FailCode("ErrorSyncFolderNotFound");
        throw;
      }
    }();
    const Shape shape = ParseShape(Child(c.op, "ItemShape"));
    auto known = DecodeState("SFI1", *m, f->id, ChildText(c.op, "SyncState"), true);
    const size_t max = static_cast<size_t>(MaxChanges(c));
    const bool associated = ChildText(c.op, "SyncScope") == "NormalAndAssociatedItems";
    std::set<uint64_t> ignore;
    for (auto id : Elements(Child(c.op, "Ignore"))) {
      if (auto d = DecodeRawId(Base64Decode(Attr(id, "Id")).value_or(std::string())))
        ignore.insert(d->local);
    }
    std::string changes;
    size_t count = 0;
    bool all = true;
    // Deletions first, then creations and updates, each in id order.
    for (auto it = known.begin(); it != known.end();) {
      const Item* item = m->ItemById(it->first);
      if (item && item->folder == f->id) {
        ++it;
        continue;
      }
      if (count == max) {
        all = false;
        break;
      }
      changes += "<t:Delete><t:ItemId Id=\"" + EncodeId(IdKind::Item, m->index, it->first) +
                 "\" ChangeKey=\"" + EncodeChangeKey(it->second.changeKey) + "\"/></t:Delete>";
      ++count;
      it = known.erase(it);
    }
    for (uint64_t id : f->items) {
      if (!all) break;
      const Item* item = m->ItemById(id);
      if (!item || (!associated && item->Bool("IsAssociated", false))) continue;
      const bool isRead = item->Bool("IsRead", false);
      auto k = known.find(id);
      if (k != known.end() && k->second.changeKey == item->changeKey) continue;
      if (count == max) {
        all = false;
        break;
      }
      if (!ignore.count(id)) {
        if (k == known.end()) {
          changes += "<t:Create>";
          WriteItem(changes, *m, *item, shape);
          changes += "</t:Create>";
        } else if (k->second.isRead != isRead && OnlyReadFlagChanged(*item, k->second.changeKey)) {
          changes += "<t:ReadFlagChange><t:ItemId Id=\"" + EncodeId(IdKind::Item, m->index, id) +
                     "\" ChangeKey=\"" + EncodeChangeKey(item->changeKey) + "\"/><t:IsRead>" +
                     BoolText(isRead) + "</t:IsRead></t:ReadFlagChange>";
        } else {
          changes += "<t:Update>";
          WriteItem(changes, *m, *item, shape);
          changes += "</t:Update>";
        }
        ++count;
      }
      known[id] = {item->changeKey, isRead};
    }
    out += "<m:SyncState>" + EncodeState("SFI1", *m, f->id, known, true) +
           "</m:SyncState><m:IncludesLastItemInRange>" + BoolText(all) +
           "</m:IncludesLastItemInRange><m:Changes>" + changes + "</m:Changes>";
  });
}

void CollectFolders(Mailbox& m, const Folder& f, std::vector<const Folder*>& out) {
  for (uint32_t child : f.children) {
    if (const Folder* sub = m.FolderById(child)) {
      out.push_back(sub);
      CollectFolders(m, *sub, out);
    }
  }
}

void SyncFolderHierarchy(Ctx& c) {
  PerMessage(c, "SyncFolderHierarchy", nullptr, [&](std::string& out) {
    auto [m, root] =
        Child(c.op, "SyncFolderId")
            ? c.ResolveFolderIn(Child(c.op, "SyncFolderId"))
            : std::pair<Mailbox*, Folder*>{c.self, c.self->Distinguished("msgfolderroot")};
    const Shape shape = ParseShape(Child(c.op, "FolderShape"));
    auto known = DecodeState("SFH1", *m, root->id, ChildText(c.op, "SyncState"), false);
    std::vector<const Folder*> now;
    CollectFolders(*m, *root, now);
    std::set<uint64_t> present;
    std::string changes;
    for (const Folder* f : now)
      present.insert(f->id);
    for (auto it = known.begin(); it != known.end();) {
      if (present.count(it->first)) {
        ++it;
        continue;
      }
      changes += "<t:Delete><t:FolderId Id=\"" + EncodeId(IdKind::Folder, m->index, it->first) +
                 "\" ChangeKey=\"" + EncodeChangeKey(it->second.changeKey) + "\"/></t:Delete>";
      it = known.erase(it);
    }
    for (const Folder* f : now) {
      auto k = known.find(f->id);
      if (k != known.end() && k->second.changeKey == f->changeKey) continue;
      const char* what = k == known.end() ? "Create" : "Update";
      changes += std::string("<t:") + what + ">";
      WriteFolder(changes, *m, *f, shape);
      changes += std::string("</t:") + what + ">";
      known[f->id] = {f->changeKey, false};
    }
    out += "<m:SyncState>" + EncodeState("SFH1", *m, root->id, known, false) +
           "</m:SyncState><m:IncludesLastFolderInRange>true</m:IncludesLastFolderInRange>"
           "<m:Changes>" +
           changes + "</m:Changes>";
  });
}

}  // namespace

void RegisterNotifyOps(OpTable& t) {
  t["Subscribe"] = {Subscribe, false};
  t["Unsubscribe"] = {Unsubscribe, false};
  t["GetEvents"] = {GetEvents, false};
  t["GetStreamingEvents"] = {GetStreamingEvents, false};
  t["SyncFolderItems"] = {SyncFolderItems, false};
  t["SyncFolderHierarchy"] = {SyncFolderHierarchy, false};
}

}  // namespace ewssim
