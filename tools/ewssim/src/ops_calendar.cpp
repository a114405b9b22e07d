// The calendar's part of the item operations: occurrence ids, CalendarView, the meeting workflow
// (requests, responses, updates, cancellations) and resource booking, as Exchange runs them.
#include <algorithm>

#include "calendar.h"
#include "calendar_ops.h"
#include "events.h"

namespace ewssim {

namespace {

constexpr uint64_t kLocalMask = (uint64_t{1} << kOccurrenceShift) - 1;

// The meeting workflow changes items in other mailboxes than the one a request names, and items
// the item operations raise no event for: each change here raises the notification events the
// same change made directly would (a delivery: NewMailEvent and CreatedEvent).
Item* StoreItem(Ctx& c, Mailbox& m, std::shared_ptr<Item> item, uint32_t folder,
                bool delivered = false) {
  item->id = 0;
  item->changeKey = c.store.NextChangeKey();
  if (!item->created) item->created = item->modified = NowMs();
  Item* raw = m.AddItem(std::move(item), folder);
  Refresh(m, *raw);
  if (delivered)
    RaiseDelivery(c.store, m, *raw);
  else
    RaiseItemEvent(c.store, m, "CreatedEvent", *raw);
  return raw;
}

// A new change key and the computed elements; the caller raises the event, if any.
void Touch(Ctx& c, Mailbox& m, Item& item) {
  item.changeKey = c.store.NextChangeKey();
  Refresh(m, item);
}

// Touch, with the ModifiedEvent.
void Changed(Ctx& c, Mailbox& m, Item& item) {
  Touch(c, m, item);
  RaiseItemEvent(c.store, m, "ModifiedEvent", item);
}

void MoveTo(Ctx& c, Mailbox& m, Item& item, const char* distinguished) {
  const uint32_t from = item.folder;
  m.MoveItem(item, m.Distinguished(distinguished)->id);
  Touch(c, m, item);
  RaiseItemEvent(c.store, m, "MovedEvent", item, from);
}

void Remove(Ctx& c, Mailbox& m, Item& item) {
  RaiseItemEvent(c.store, m, "DeletedEvent", item);
  m.RemoveItem(item.id);
}

std::string MailboxXml(const std::string& name, const std::string& email) {
  std::string out = "<t:Mailbox>";
  if (!name.empty()) out += "<t:Name>" + Escape(name) + "</t:Name>";
  return out + "<t:EmailAddress>" + Escape(email) +
         "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>Mailbox"
         "</t:MailboxType></t:Mailbox>";
}

Field SingleMailbox(const std::string& element, const std::string& name, const std::string& email) {
  return Field{"<t:" + element + ">" + MailboxXml(name, email) + "</t:" + element + ">",
               {name, email}};
}

Field MailboxList(const std::string& element, const std::vector<Recipient>& list) {
  Field f;
  f.xml = "<t:" + element + ">";
  for (auto& r : list) {
    f.xml += MailboxXml(r.name, r.email);
    f.values.push_back(r.email);
  }
  f.xml += "</t:" + element + ">";
  return f;
}

std::string ItemIdXml(const std::string& element, const Mailbox& m, const Item& item) {
  return "<t:" + element + " Id=\"" + EncodeId(IdKind::Item, m.index, item.id) + "\" ChangeKey=\"" +
         EncodeChangeKey(item.changeKey) + "\"/>";
}

Item* LocalItem(Ctx& c, const std::string& idText, Mailbox*& m, uint64_t& local) {
  DecodedId id = DecodeId(idText);
  if (id.kind != IdKind::Item) FailCode("ErrorInvalidIdMalformed");
  m = c.store.At(id.mailbox);
  if (!m) FailCode("ErrorItemNotFound");
  if (!c.MayAccess(*m)) FailCode("ErrorAccessDenied");
  local = id.local;
  Item* item = m->ItemById(id.local & kLocalMask);
  if (!item) FailCode("ErrorItemNotFound");
  return item;
}

std::pair<Mailbox*, Item*> OccurrenceOf(Ctx& c, Mailbox* m, Item* master, int index) {
  if (master->kind != "CalendarItem")
    Fail("ErrorCalendarCannotUseIdForOccurrenceId",
         "Calendar item ID cannot be used as an occurrence ID.");
  auto occ = OccurrenceItem(*m, *master, index);
  c.scratch.push_back(occ);
  return {m, occ.get()};
}

// The calendar item of a meeting (by UID) in a mailbox's calendar folders; none when absent.
Item* FindByUid(Mailbox& m, const std::string& uid) {
  if (uid.empty()) return nullptr;
  for (auto& [id, item] : m.items)
    if (item->kind == "CalendarItem" && item->Value("UID") == uid) {
      Folder* f = m.FolderById(item->folder);
      if (f && f->kind == "CalendarFolder") return item.get();
    }
  return nullptr;
}

std::vector<Recipient> Attendees(const Item& item) {
  std::vector<Recipient> out;
  for (auto el : {"RequiredAttendees", "OptionalAttendees", "Resources"})
    for (auto& r : RecipientsOf(item, el))
      out.push_back(r);
  return out;
}

bool Contains(const std::vector<Recipient>& list, const std::string& email) {
  return std::any_of(list.begin(), list.end(),
                     [&](const Recipient& r) { return EqualsNoCase(r.email, email); });
}

const UserConfig* UserOf(Ctx& c, const std::string& address) {
  for (auto& u : c.config.users)
    if (EqualsNoCase(u.address, address)) return &u;
  return nullptr;
}

bool IsOrganizer(const Mailbox& m, const Item& item) {
  auto org = RecipientsOf(item, "Organizer");
  return org.empty() || EqualsNoCase(org.front().email, m.address);
}

// Copies the elements both kinds have from a calendar item into a meeting message.
void CopyMeetingFields(const Item& from, Item& to) {
  for (const char* el : {"Subject",
                         "Body",
                         "Sensitivity",
                         "Importance",
                         "Categories",
                         "Start",
                         "End",
                         "IsAllDayEvent",
                         "Location",
                         "When",
                         "Organizer",
                         "RequiredAttendees",
                         "OptionalAttendees",
                         "Resources",
                         "UID",
                         "RecurrenceId",
                         "Recurrence",
                         "Duration",
                         "TimeZone",
                         "AppointmentSequenceNumber",
                         "StartTimeZone",
                         "EndTimeZone",
                         "AllowNewTimeProposal",
                         "IsMeeting",
                         "IsRecurring",
                         "CalendarItemType"})
    if (const Field* f = from.Get(el)) to.Set(el, *f);
}

std::shared_ptr<Item> NewMessage(Ctx& c, const std::string& kind) {
  auto msg = std::make_shared<Item>();
  msg->kind = kind;
  msg->type = c.schema.Type(*ItemTypeName(kind));
  msg->created = msg->modified = NowMs();
  return msg;
}

// Places a meeting message in a mailbox's Inbox as delivered mail.
Item* Deliver(Ctx& c, Mailbox& to, std::shared_ptr<Item> msg, const Mailbox& from) {
  int64_t now = NowMs();
  msg->Set("From", SingleMailbox("From", from.displayName, from.address));
  msg->Set("Sender", SingleMailbox("Sender", from.displayName, from.address));
  msg->Set("ReceivedBy", SingleMailbox("ReceivedBy", to.displayName, to.address));
  msg->SetText("DateTimeSent", FormatDateTime(now));
  msg->SetText("DateTimeReceived", FormatDateTime(now));
  msg->SetText("IsRead", "false");
  msg->SetText("IsDraft", "false");
  msg->SetText("InternetMessageId", "<" + std::to_string(now) + "." +
                                        std::to_string(c.store.NextChangeKey()) + "@ewssim>");
  const char* responses = msg->kind == "MeetingRequest"
                              ? "<t:AcceptItem/><t:TentativelyAcceptItem/><t:DeclineItem/>"
                                "<t:ReplyToItem/><t:ReplyAllToItem/><t:ForwardItem/>"
                          : msg->kind == "MeetingCancellation"
                              ? "<t:RemoveItem/><t:ReplyToItem/><t:ReplyAllToItem/><t:ForwardItem/>"
                              : "<t:ReplyToItem/><t:ReplyAllToItem/><t:ForwardItem/>";
  msg->Set("ResponseObjects",
           Field{std::string("<t:ResponseObjects>") + responses + "</t:ResponseObjects>", {}});
  return StoreItem(c, to, std::move(msg), to.Distinguished("inbox")->id, true);
}

// Keeps a sent meeting message in the sender's Sent Items.
void SaveSentCopy(Ctx& c, Mailbox& m, const Item& msg) {
  auto copy = msg.Clone();
  copy->SetText("IsRead", "true");
  copy->SetText("IsDraft", "false");
  copy->Erase("ReceivedBy");
  copy->Erase("AssociatedCalendarItemId");
  StoreItem(c, m, copy, m.Distinguished("sentitems")->id);
}

void RespondAs(Ctx& c, Mailbox& a, Item& copy, const std::string& kind, const pugi::xml_node& n,
               const std::string& disposition);

// Resource booking: a room accepts a request when its calendar is free at the meeting's
// times, and declines it otherwise.
void BookRoom(Ctx& c, Mailbox& room, Item& copy, Item& request) {
  Folder* cal = room.Distinguished("calendar");
  std::vector<std::pair<int64_t, int64_t>> times;
  auto s = ParseDateTime(copy.Value("Start")), e = ParseDateTime(copy.Value("End"));
  if (!s || !e) return;
  if (copy.Get("Recurrence")) {
    int64_t duration = *e - *s;
    for (int64_t t : SeriesStarts(copy, 100, *s + 366LL * 86400000))
      times.emplace_back(t, t + duration);
  } else {
    times.emplace_back(*s, *e);
  }
  bool busy = false;
  const std::string uid = copy.Value("UID");
  for (auto& [from, to] : times) {
    for (auto& o : ExpandCalendar(room, *cal, from, to)) {
      Item* other = room.ItemById(o.masterId ? o.masterId : o.itemId);
      if (!other || other->Value("UID") == uid) continue;
      if (o.freeBusy == "Free" || o.start >= to || o.end <= from) continue;
      if (other->Value("MyResponseType") == "Decline") continue;
      busy = true;
    }
  }
  pugi::xml_node none;
  RespondAs(c, room, copy, busy ? "DeclineItem" : "AcceptItem", none, "SendAndSaveCopy");
  MoveTo(c, room, request, "deleteditems");
}

// Delivers a meeting request (new or update) for `item` of organizer `org` to attendee `a`,
// creating or updating the attendee's copy of the meeting.
void SendRequest(Ctx& c, Mailbox& org, const Item& item, Mailbox& a, bool update) {
  const std::string uid = item.Value("UID");
  Item* copy = FindByUid(a, uid);
  if (!copy) {
    auto fresh = item.Clone();
    for (auto& [idx, ex] : fresh->exceptions)
      ex = ex->Clone();
    fresh->Erase("MyResponseType");
    fresh->Erase("AppointmentReplyTime");
    fresh->SetText("LegacyFreeBusyStatus", "Tentative");
    fresh->SetText("MeetingRequestWasSent", "false");
    fresh->ext.clear();
    fresh->attachments.clear();
    copy = StoreItem(c, a, fresh, a.Distinguished("calendar")->id);
  } else {
    // The organizer's version replaces the attendee's; the attendee's answer stays.
    const std::string response = copy->Value("MyResponseType");
    const std::string freeBusy = copy->Value("LegacyFreeBusyStatus");
    const Field* reply = copy->Get("AppointmentReplyTime");
    std::optional<Field> keptReply;
    if (reply) keptReply = *reply;
    auto fields = item.fields;
    copy->fields = fields;
    copy->exceptions = item.exceptions;
    copy->SetText("MyResponseType", response.empty() ? "NoResponseReceived" : response);
    copy->SetText("LegacyFreeBusyStatus", freeBusy.empty() ? "Tentative" : freeBusy);
    copy->SetText("MeetingRequestWasSent", "false");
    if (keptReply) copy->Set("AppointmentReplyTime", *keptReply);
    copy->Erase("ItemId");
    Changed(c, a, *copy);
  }
  auto msg = NewMessage(c, "MeetingRequest");
  CopyMeetingFields(*copy, *msg);
  msg->Set("ToRecipients", MailboxList("ToRecipients", RecipientsOf(item, "RequiredAttendees")));
  auto cc = RecipientsOf(item, "OptionalAttendees");
  if (!cc.empty()) msg->Set("CcRecipients", MailboxList("CcRecipients", cc));
  msg->SetText("MeetingRequestType", update ? "FullUpdate" : "NewMeetingRequest");
  msg->SetText("IntendedFreeBusyStatus", "Busy");
  msg->SetText("LegacyFreeBusyStatus", "Tentative");
  msg->SetText("ResponseType", "NoResponseReceived");
  msg->SetText("MyResponseType", "NoResponseReceived");
  msg->SetText("IsOrganizer", "false");
  msg->SetText("ItemClass", "IPM.Schedule.Meeting.Request");
  msg->Set("AssociatedCalendarItemId", Field{ItemIdXml("AssociatedCalendarItemId", a, *copy), {}});
  Item* request = Deliver(c, a, msg, org);
  const UserConfig* user = UserOf(c, a.address);
  if (user && user->kind == "room" && user->autoAccept) BookRoom(c, a, *copy, *request);
}

// Sends a cancellation of `item` to attendee `a` and marks the attendee's copy cancelled.
void SendCancellation(Ctx& c, Mailbox& org, const Item& item, Mailbox& a, const pugi::xml_node& n) {
  Item* copy = FindByUid(a, item.Value("UID"));
  auto msg = NewMessage(c, "MeetingCancellation");
  CopyMeetingFields(item, *msg);
  msg->SetText("Subject", "Canceled: " + item.Value("Subject"));
  if (auto body = Child(n, "Body")) msg->Set("Body", MakeField(c.pctx, body, "BodyType"));
  msg->Set("ToRecipients", MailboxList("ToRecipients", RecipientsOf(item, "RequiredAttendees")));
  msg->SetText("ItemClass", "IPM.Schedule.Meeting.Canceled");
  msg->SetText("ResponseType", "NoResponseReceived");
  msg->SetText("IsOrganizer", "false");
  if (copy) {
    copy->SetText("IsCancelled", "true");
    copy->SetText("Subject", "Canceled: " + item.Value("Subject"));
    copy->SetText("LegacyFreeBusyStatus", "Free");
    Changed(c, a, *copy);
    msg->Set("AssociatedCalendarItemId",
             Field{ItemIdXml("AssociatedCalendarItemId", a, *copy), {}});
  }
  Item* delivered = Deliver(c, a, msg, org);
  // A room removes a cancelled booking itself.
  const UserConfig* user = UserOf(c, a.address);
  if (user && user->kind == "room" && user->autoAccept) {
    if (copy) Remove(c, a, *copy);
    MoveTo(c, a, *delivered, "deleteditems");
  }
}

bool Sends(const std::string& mode) {
  return !mode.empty() && mode != "SendToNone";
}
bool SavesCopy(const std::string& mode) {
  return mode == "SendToAllAndSaveCopy" || mode == "SendToChangedAndSaveCopy";
}

// Sends requests or cancellations to the local attendees named.
void SendToAttendees(Ctx& c, Mailbox& org, Item& item, const std::vector<Recipient>& to,
                     bool update, bool cancel, const std::string& mode, const pugi::xml_node& n) {
  bool sent = false;
  for (auto& r : to) {
    Mailbox* a = c.store.Find(r.email);
    if (!a || a == &org) continue;
    if (cancel)
      SendCancellation(c, org, item, *a, n);
    else
      SendRequest(c, org, item, *a, update);
    sent = true;
  }
  if (!to.empty() && SavesCopy(mode)) {
    auto msg = NewMessage(c, cancel ? "MeetingCancellation" : "MeetingRequest");
    CopyMeetingFields(item, *msg);
    if (cancel) msg->SetText("Subject", "Canceled: " + item.Value("Subject"));
    msg->Set("ToRecipients", MailboxList("ToRecipients", to));
    msg->Set("From", SingleMailbox("From", org.displayName, org.address));
    msg->SetText("DateTimeSent", FormatDateTime(NowMs()));
    SaveSentCopy(c, org, *msg);
  }
  (void)sent;
}

// Rewrites one attendee entry of the organizer's item with the attendee's answer.
void RecordResponse(Ctx& c, Mailbox& org, Item& item, const std::string& email,
                    const std::string& response, const std::string& proposedStart,
                    const std::string& proposedEnd) {
  for (const char* el : {"RequiredAttendees", "OptionalAttendees", "Resources"}) {
    const Field* f = item.Get(el);
    if (!f) continue;
    pugi::xml_document doc;
    if (!doc.load_string(f->xml.c_str())) continue;
    bool changed = false;
    for (auto att : Elements(doc.document_element())) {
      if (!EqualsNoCase(ChildText(Child(att, "Mailbox"), "EmailAddress"), email)) continue;
      for (const char* sub : {"ResponseType", "LastResponseTime", "ProposedStart", "ProposedEnd"})
        if (auto old = Child(att, sub)) att.remove_child(old);
      auto add = [&](const char* name, const std::string& text) {
        if (!text.empty()) att.append_child(name).text().set(text.c_str());
      };
      add("t:ResponseType", response);
      add("t:LastResponseTime", FormatDateTime(NowMs()));
      add("t:ProposedStart", proposedStart);
      add("t:ProposedEnd", proposedEnd);
      changed = true;
    }
    if (!changed) continue;
    const int idx = item.type->IndexOf(el);
    item.fields[idx] = MakeField(c.pctx, doc.document_element(),
                                 item.type->children[static_cast<size_t>(idx)].type);
  }
  Changed(c, org, item);
}

void RespondAs(Ctx& c, Mailbox& a, Item& copy, const std::string& kind, const pugi::xml_node& n,
               const std::string& disposition) {
  const std::string response = kind == "AcceptItem"              ? "Accept"
                               : kind == "TentativelyAcceptItem" ? "Tentative"
                                                                 : "Decline";
  std::string proposedStart, proposedEnd;
  if (n) {
    if (auto t = ParseDateTime(ChildText(n, "ProposedStart"), c.pctx.timeZone))
      proposedStart = FormatDateTime(*t);
    if (auto t = ParseDateTime(ChildText(n, "ProposedEnd"), c.pctx.timeZone))
      proposedEnd = FormatDateTime(*t);
    if (proposedStart.empty() != proposedEnd.empty()) FailCode("ErrorInvalidRequest");
  }
  copy.SetText("MyResponseType", response);
  copy.SetText("AppointmentReplyTime", FormatDateTime(NowMs()));
  copy.SetText("LegacyFreeBusyStatus", response == "Tentative" ? "Tentative"
                                       : response == "Accept"  ? "Busy"
                                                               : "Free");
  Changed(c, a, copy);
  const bool send = disposition != "SaveOnly";
  auto organizer = RecipientsOf(copy, "Organizer");
  Mailbox* org = organizer.empty() ? nullptr : c.store.Find(organizer.front().email);
  Item* orgItem = org ? FindByUid(*org, copy.Value("UID")) : nullptr;
  auto msg = NewMessage(c, "MeetingResponse");
  CopyMeetingFields(copy, *msg);
  static const std::map<std::string, std::pair<const char*, const char*>> texts = {
      {"Accept", {"Accepted: ", "IPM.Schedule.Meeting.Resp.Pos"}},
      {"Tentative", {"Tentative: ", "IPM.Schedule.Meeting.Resp.Tent"}},
      {"Decline", {"Declined: ", "IPM.Schedule.Meeting.Resp.Neg"}}};
  auto [prefix, cls] = texts.at(response);
  msg->SetText("Subject", prefix + copy.Value("Subject"));
  msg->SetText("ItemClass", cls);
  msg->SetText("ResponseType", response);
  msg->SetText("IsOrganizer", "false");
  if (auto body = n ? Child(n, "Body") : pugi::xml_node())
    msg->Set("Body", MakeField(c.pctx, body, "BodyType"));
  else
    msg->Erase("Body");
  if (!proposedStart.empty()) {
    msg->SetText("ProposedStart", proposedStart);
    msg->SetText("ProposedEnd", proposedEnd);
  }
  if (!organizer.empty())
    msg->Set("ToRecipients", MailboxList("ToRecipients", {organizer.front()}));
  if (!send) {
    msg->Set("From", SingleMailbox("From", a.displayName, a.address));
    StoreItem(c, a, msg, a.Distinguished("drafts")->id);
  } else {
    if (org && org != &a) {
      auto delivered = msg->Clone();
      if (orgItem)
        delivered->Set("AssociatedCalendarItemId",
                       Field{ItemIdXml("AssociatedCalendarItemId", *org, *orgItem), {}});
      Deliver(c, *org, delivered, a);
      if (orgItem)
        RecordResponse(c, *org, *orgItem, a.address, response, proposedStart, proposedEnd);
    }
    if (disposition != "SendOnly") {
      msg->Set("From", SingleMailbox("From", a.displayName, a.address));
      SaveSentCopy(c, a, *msg);
    }
  }
  // Exchange keeps a declined meeting out of the calendar.
  if (response == "Decline") MoveTo(c, a, copy, "deleteditems");
}

}  // namespace

bool IsCalendarId(const pugi::xml_node& id) {
  auto ln = LocalName(id);
  if (ln == "OccurrenceItemId" || ln == "RecurringMasterItemId") return true;
  if (ln != "ItemId") return false;
  try {
    DecodedId d = DecodeId(Attr(id, "Id"));
    return d.kind == IdKind::Item && IsOccurrenceLocalId(d.local);
  } catch (const EwsError&) {
    return false;
  }
}

std::pair<Mailbox*, Item*> ResolveCalendarId(Ctx& c, const pugi::xml_node& id) {
  auto ln = LocalName(id);
  Mailbox* m = nullptr;
  uint64_t local = 0;
  if (ln == "OccurrenceItemId") {
    Item* master = LocalItem(c, Attr(id, "RecurringMasterId"), m, local);
    if (IsOccurrenceLocalId(local))
      Fail("ErrorCalendarCannotUseIdForOccurrenceId",
           "Calendar item ID cannot be used as an occurrence ID.");
    int index = std::atoi(Attr(id, "InstanceIndex").c_str());
    if (index < 1)
      Fail("ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange",
           "Occurrence index is out of recurrence range.");
    return OccurrenceOf(c, m, master, index);
  }
  if (ln == "RecurringMasterItemId") {
    Item* item = LocalItem(c, Attr(id, "OccurrenceId"), m, local);
    if (item->kind != "CalendarItem" || !item->Get("Recurrence"))
      Fail("ErrorCalendarCannotUseIdForRecurringMasterId",
           "Calendar item ID cannot be used as a recurring master ID.");
    return {m, item};
  }
  Item* master = LocalItem(c, Attr(id, "Id"), m, local);
  return OccurrenceOf(c, m, master, static_cast<int>(local >> kOccurrenceShift));
}

bool IsCalendarResponseKind(std::string_view kind) {
  return kind == "AcceptItem" || kind == "TentativelyAcceptItem" || kind == "DeclineItem" ||
         kind == "CancelCalendarItem" || kind == "RemoveItem";
}

void CreateCalendarResponse(Ctx& c, const pugi::xml_node& n, std::string& out) {
  const std::string kind(LocalName(n));
  std::string disposition = Attr(c.op, "MessageDisposition");
  if (disposition.empty()) FailCode("ErrorMessageDispositionRequired");
  auto ref = Child(n, "ReferenceItemId");
  if (!ref) FailCode("ErrorInvalidRequest");
  auto [m, item] = c.ResolveItem(ref);
  Mailbox& a = *m;
  if (kind == "RemoveItem") {
    if (item->kind != "MeetingCancellation") FailCode("ErrorInvalidReferenceItem");
    if (Item* copy = FindByUid(a, item->Value("UID"))) Remove(c, a, *copy);
    MoveTo(c, a, *item, "deleteditems");
    out += "<m:Items/>";
    return;
  }
  if (kind == "CancelCalendarItem") {
    if (item->kind != "CalendarItem") FailCode("ErrorInvalidReferenceItem");
    if (!IsOrganizer(a, *item)) FailCode("ErrorCalendarIsNotOrganizer");
    SendToAttendees(c, a, *item, Attendees(*item), false, true,
                    disposition == "SendOnly" ? "SendOnlyToAll" : "SendToAllAndSaveCopy", n);
    MoveTo(c, a, *item, "deleteditems");
    out += "<m:Items/>";
    return;
  }
  // Accept, tentative or decline: of a meeting request or of the attendee's calendar item.
  Item* request = nullptr;
  Item* copy = item;
  if (item->kind == "MeetingRequest") {
    request = item;
    copy = FindByUid(a, item->Value("UID"));
    if (!copy) FailCode("ErrorItemNotFound");
  } else if (item->kind != "CalendarItem") {
    FailCode("ErrorInvalidReferenceItem");
  }
  const std::string suffix = kind == "AcceptItem"              ? "Accept"
                             : kind == "TentativelyAcceptItem" ? "Tentative"
                                                               : "Decline";
  if (IsOrganizer(a, *copy)) FailCode("ErrorCalendarIsOrganizerFor" + suffix);
  if (copy->Bool("IsCancelled", false)) FailCode("ErrorCalendarIsCancelledFor" + suffix);
  RespondAs(c, a, *copy, kind, n, disposition);
  out += "<m:Items>";
  if (kind != "DeclineItem" || a.ItemById(copy->id))
    out += "<t:CalendarItem>" + ItemIdXml("ItemId", a, *copy) + "</t:CalendarItem>";
  if (request) {
    MoveTo(c, a, *request, "deleteditems");
    out += "<t:MeetingRequest>" + ItemIdXml("ItemId", a, *request) + "</t:MeetingRequest>";
  }
  out += "</m:Items>";
}

void CalendarCreated(Ctx& c, Mailbox& m, Item& item) {
  const std::string mode = Attr(c.op, "SendMeetingInvitations");
  auto attendees = Attendees(item);
  if (!Sends(mode) || attendees.empty() || !IsOrganizer(m, item)) return;
  item.SetText("MeetingRequestWasSent", "true");
  Changed(c, m, item);
  SendToAttendees(c, m, item, attendees, false, false, mode, pugi::xml_node());
}

void CalendarUpdated(Ctx& c, Mailbox& m, Item& item, const Item& before) {
  Item* target = &item;
  if (IsOccurrenceLocalId(item.id)) {
    // A changed occurrence becomes an exception of its series.
    Item* master = m.ItemById(item.id & kLocalMask);
    if (!master) FailCode("ErrorItemNotFound");
    auto ex = item.Clone();
    master->exceptions[static_cast<int>(item.id >> kOccurrenceShift)] = ex;
    Touch(c, m, *master);
    item.changeKey = master->changeKey;
    Refresh(m, item, false);
    target = master;
  }
  const std::string mode = Attr(c.op, "SendMeetingInvitationsOrCancellations");
  if (!Sends(mode) || !IsOrganizer(m, *target)) return;
  auto now = Attendees(*target);
  auto was = Attendees(before);
  std::vector<Recipient> removed, added;
  for (auto& r : was)
    if (!Contains(now, r.email)) removed.push_back(r);
  for (auto& r : now)
    if (!Contains(was, r.email)) added.push_back(r);
  bool timeChanged = false;
  for (const char* el : {"Start", "End", "Location", "Recurrence", "Subject", "IsAllDayEvent"})
    timeChanged = timeChanged || item.Value(el) != before.Value(el) ||
                  (item.Get(el) == nullptr) != (before.Get(el) == nullptr);
  const bool changedOnly = mode == "SendOnlyToChanged" || mode == "SendToChangedAndSaveCopy";
  std::vector<Recipient> to = changedOnly && !timeChanged ? added : now;
  if (to.empty() && removed.empty()) return;
  int seq = std::atoi(target->Value("AppointmentSequenceNumber").c_str());
  target->SetText("AppointmentSequenceNumber", std::to_string(seq + 1));
  target->SetText("MeetingRequestWasSent", "true");
  Touch(c, m, *target);
  if (target != &item) item.changeKey = target->changeKey;
  if (!to.empty()) SendToAttendees(c, m, *target, to, true, false, mode, pugi::xml_node());
  if (!removed.empty())
    SendToAttendees(c, m, *target, removed, false, true, mode, pugi::xml_node());
}

bool DeleteCalendarItem(Ctx& c, Mailbox& m, Item& item) {
  const std::string mode = Attr(c.op, "SendMeetingCancellations");
  if (IsOccurrenceLocalId(item.id)) {
    Item* master = m.ItemById(item.id & kLocalMask);
    if (!master) FailCode("ErrorItemNotFound");
    const int index = static_cast<int>(item.id >> kOccurrenceShift);
    auto start = InstanceStart(*master, index);
    if (!start) FailCode("ErrorItemNotFound");
    master->exceptions.erase(index);
    std::string xml = "<t:DeletedOccurrences>";
    std::vector<std::string> values;
    if (const Field* f = master->Get("DeletedOccurrences")) values = f->values;
    values.push_back(FormatDateTime(*start));
    for (auto& v : values)
      xml += "<t:DeletedOccurrence><t:Start>" + v + "</t:Start></t:DeletedOccurrence>";
    master->Set("DeletedOccurrences", Field{xml + "</t:DeletedOccurrences>", values});
    Changed(c, m, *master);
    if (Sends(mode) && IsOrganizer(m, *master))
      SendToAttendees(c, m, *master, Attendees(*master), true, false, mode, pugi::xml_node());
    return true;
  }
  if (Sends(mode) && IsOrganizer(m, item) && item.Bool("IsMeeting", false) &&
      !item.Bool("IsCancelled", false))
    SendToAttendees(c, m, item, Attendees(item), false, true, mode, pugi::xml_node());
  return false;
}

void WriteCalendarView(Ctx& c, Mailbox& m, const Folder& folder, const pugi::xml_node& view,
                       const Shape& shape, std::string& out) {
  auto start = ParseDateTime(Attr(view, "StartDate"), c.pctx.timeZone);
  auto end = ParseDateTime(Attr(view, "EndDate"), c.pctx.timeZone);
  if (!start || !end || *end < *start) FailCode("ErrorInvalidRequest");
  // At most two years (731 days, so that any two calendar years fit).
  constexpr int64_t kMaxRangeMs = 731LL * 24 * 3600 * 1000;
  if (*end - *start > kMaxRangeMs) FailCode("ErrorCalendarViewRangeTooBig");
  size_t max = MaxEntries(view);
  auto hits = ExpandCalendar(m, folder, *start, *end);
  size_t count = std::min(max, hits.size());
  out += "<m:RootFolder TotalItemsInView=\"" + std::to_string(hits.size()) +
         "\" IncludesLastItemInRange=\"" + BoolText(count == hits.size()) + "\"><t:Items>";
  for (size_t i = 0; i < count; ++i) {
    const auto& o = hits[i];
    if (o.masterId == 0) {
      if (Item* item = m.ItemById(o.itemId)) WriteItem(out, m, *item, shape);
      continue;
    }
    if (Item* master = m.ItemById(o.masterId)) {
      auto occ = OccurrenceItemAt(m, *master, o.index, o.originalStart);
      WriteItem(out, m, *occ, shape);
    }
  }
  out += "</t:Items></m:RootFolder>";
}

bool LegacyTimeZones(const Ctx& c) {
  const auto& versions = KnownVersions();
  auto it = std::find(versions.begin(), versions.end(), "Exchange2010");
  return it != versions.end() && c.versionRank < static_cast<int>(it - versions.begin());
}

void RegisterCalendarOps(OpTable&) {
  // The calendar adds no operations of its own: it answers through the item operations'
  // hooks above.
}

}  // namespace ewssim
