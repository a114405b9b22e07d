// Item operations: GetItem, CreateItem (with replies and forwards), UpdateItem, DeleteItem,
// CopyItem, MoveItem, SendItem, and the attachment operations.
#include <algorithm>

#include "calendar.h"
#include "calendar_ops.h"
#include "events.h"
#include "ops.h"

namespace ewssim {

namespace {

Field MailboxListField(const std::string& element, const std::vector<Recipient>& list,
                       bool wrapSingle) {
  Field f;
  f.xml = "<t:" + element + ">";
  for (auto& r : list) {
    f.xml += "<t:Mailbox>";
    if (!r.name.empty()) f.xml += "<t:Name>" + Escape(r.name) + "</t:Name>";
    f.xml += "<t:EmailAddress>" + Escape(r.email) +
             "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>Mailbox</"
             "t:MailboxType></t:Mailbox>";
    if (!r.name.empty()) f.values.push_back(r.name);
    f.values.push_back(r.email);
    if (!wrapSingle) break;
  }
  f.xml += "</t:" + element + ">";
  return f;
}

uint32_t TargetFolder(Ctx& c, Mailbox*& m, const pugi::xml_node& saved, const std::string& dist) {
  if (saved) {
    auto [sm, f] = [&]() -> std::pair<Mailbox*, Folder*> {
      try {
        return c.ResolveFolderIn(saved);
      } catch (const EwsError& e) {
        if (e.code == "ErrorFolderNotFound" || e.code == "ErrorItemNotFound")
          FailCode("ErrorSavedItemFolderNotFound");
        throw;
      }
    }();
    m = sm;
    return f->id;
  }
  m = c.self;
  return m->Distinguished(dist)->id;
}

std::string ItemIdXml(const Mailbox& m, const Item& item) {
  return "<t:ItemId Id=\"" + EncodeId(IdKind::Item, m.index, item.id) + "\" ChangeKey=\"" +
         EncodeChangeKey(item.changeKey) + "\"/>";
}

// The short answer of create/copy/move/update: the item with its id (and attachment ids).
std::string ItemStub(const Mailbox& m, const Item& item, bool withAttachments) {
  std::string out = "<t:" + item.kind + ">" + ItemIdXml(m, item);
  if (withAttachments && !item.attachments.empty()) {
    out += "<t:Attachments>";
    for (auto& a : item.attachments) {
      const char* el = a.isItem ? "ItemAttachment" : "FileAttachment";
      out += std::string("<t:") + el + "><t:AttachmentId Id=\"" +
             EncodeId(IdKind::Attachment, m.index, item.id, a.num) + "\"/></t:" + el + ">";
    }
    out += "</t:Attachments>";
  }
  return out + "</t:" + item.kind + ">";
}

Item* StoreNew(Ctx& c, Mailbox& m, std::shared_ptr<Item> item, uint32_t folder) {
  item->id = 0;
  item->changeKey = c.store.NextChangeKey();
  Item* raw = m.AddItem(std::move(item), folder);
  Refresh(m, *raw);
  return raw;
}

void Send(Ctx& c, Mailbox& m, Item& item, bool saveCopy, uint32_t saveFolder, bool itemStored) {
  if (!IsMessageKind(item.kind)) FailCode("ErrorInvalidItemForOperationSendItem");
  std::vector<Recipient> all;
  for (auto el : {"ToRecipients", "CcRecipients", "BccRecipients"})
    for (auto& r : RecipientsOf(item, el))
      all.push_back(r);
  if (all.empty()) FailCode("ErrorInvalidRecipients");
  // A From naming another mailbox needs the send-as right on it.
  for (auto& from : RecipientsOf(item, "From")) {
    bool allowed = from.email.empty() || EqualsNoCase(from.email, m.address);
    for (auto& a : c.user->sendAs)
      allowed = allowed || a == "*" || EqualsNoCase(a, from.email);
    if (!allowed)
      Fail("ErrorSendAsDenied",
           "The user account which was used to submit this request does not have the right to "
           "send mail on behalf of the specified sending account.");
  }
  int64_t now = NowMs();
  if (!item.Get("From"))
    item.Set("From", MailboxListField("From", {{m.displayName, m.address}}, false));
  item.Set("Sender", MailboxListField("Sender", {{m.displayName, m.address}}, false));
  item.SetText("DateTimeSent", FormatDateTime(now));
  item.SetText("IsDraft", "false");
  DeliverMessage(c, m, item);
  if (saveCopy) {
    item.SetText("IsRead", "true");
    if (itemStored) {
      const uint32_t from = item.folder;
      m.MoveItem(item, saveFolder);
      item.changeKey = c.store.NextChangeKey();
      Refresh(m, item);
      RaiseItemEvent(c.store, m, "MovedEvent", item, from);
    } else {
      RaiseItemEvent(c.store, m, "CreatedEvent", *StoreNew(c, m, item.Clone(), saveFolder));
    }
  } else if (itemStored) {
    RaiseItemEvent(c.store, m, "DeletedEvent", item);
    m.RemoveItem(item.id);
  }
}

std::string QuoteHeader(const Item& original, bool html) {
  auto from = RecipientsOf(original, "From");
  auto to = RecipientsOf(original, "ToRecipients");
  auto cc = RecipientsOf(original, "CcRecipients");
  auto names = [](const std::vector<Recipient>& list) {
    std::string s;
    for (auto& r : list)
      s += (s.empty() ? "" : "; ") + (r.name.empty() ? r.email : r.name);
    return s;
  };
  std::string sent = original.Value("DateTimeSent");
  if (sent.empty()) sent = original.Value("DateTimeCreated");
  std::vector<std::pair<std::string, std::string>> lines = {
      {"From", names(from)}, {"Sent", sent}, {"To", names(to)}};
  if (!cc.empty()) lines.push_back({"Cc", names(cc)});
  lines.push_back({"Subject", original.Value("Subject")});
  std::string out;
  if (html) {
    out =
        "<hr style=\"display:inline-block;width:98%\" tabindex=\"-1\"><div id=\"divRplyFwdMsg\" "
        "dir=\"ltr\"><font face=\"Calibri, sans-serif\" style=\"font-size:11pt\" "
        "color=\"#000000\">";
    for (auto& [k, v] : lines)
      out += "<b>" + k + ":</b> " + Escape(v) + "<br>";
    out += "</font><div>&nbsp;</div></div>";
  } else {
    out = "\r\n\r\n________________________________________\r\n";
    for (auto& [k, v] : lines)
      out += k + ": " + v + "\r\n";
    out += "\r\n";
  }
  return out;
}

std::shared_ptr<Item> ComposeResponse(Ctx& c, const pugi::xml_node& n, Mailbox& m) {
  auto kind = LocalName(n);
  auto [om, original] = c.ResolveItem(Child(n, "ReferenceItemId"));
  auto item = std::make_shared<Item>();
  item->kind = "Message";
  item->type = c.schema.Type("MessageType");
  item->created = item->modified = NowMs();
  std::string prefix = kind == "ForwardItem" ? "FW: " : "RE: ";
  std::string subject = ChildText(n, "Subject");
  item->SetText("Subject", subject.empty() ? prefix + original->Value("Subject") : subject);
  std::vector<Recipient> to;
  if (kind != "ForwardItem") {
    auto from = RecipientsOf(*original, "From");
    if (from.empty()) from = RecipientsOf(*original, "Sender");
    to = from;
    if (kind == "ReplyAllToItem") {
      std::vector<Recipient> cc;
      for (auto el : {"ToRecipients", "CcRecipients"})
        for (auto& r : RecipientsOf(*original, el))
          if (!EqualsNoCase(r.email, m.address))
            (std::string(el) == "ToRecipients" ? to : cc).push_back(r);
      if (!cc.empty()) item->Set("CcRecipients", MailboxListField("CcRecipients", cc, true));
    }
  }
  // Recipients given in the request add to the computed ones.
  for (auto el : {"ToRecipients", "CcRecipients", "BccRecipients"}) {
    if (auto given = Child(n, el)) {
      std::vector<Recipient> list =
          std::string(el) == "ToRecipients" ? to : RecipientsOf(*item, el);
      for (auto mb : Children(given, "Mailbox"))
        list.push_back({ChildText(mb, "Name"), ChildText(mb, "EmailAddress")});
      if (std::string(el) == "ToRecipients")
        to = list;
      else
        item->Set(el, MailboxListField(el, list, true));
    }
  }
  if (!to.empty()) item->Set("ToRecipients", MailboxListField("ToRecipients", to, true));
  item->Set("From", MailboxListField("From", {{m.displayName, m.address}}, false));
  // Body: the new text above the quoted original, in the original's format.
  const Field* ob = original->Get("Body");
  bool html = ob && ob->xml.find("BodyType=\"HTML\"") < ob->xml.find('>');
  auto nb = Child(n, "NewBodyContent");
  if (!nb) nb = Child(n, "Body");
  std::string newText = nb ? Text(nb) : std::string();
  if (nb && Attr(nb, "BodyType") == "HTML") html = true;
  std::string originalText = original->Value("Body");
  if (html && ob && ob->xml.find("BodyType=\"HTML\"") > ob->xml.find('>')) {
    std::string esc;
    for (char ch : Escape(originalText))
      esc += ch == '\n' ? std::string("<br>") : std::string(1, ch);
    originalText = esc;
  }
  std::string body = html ? "<html><body>" + newText + QuoteHeader(*original, true) + originalText +
                                "</body></html>"
                          : newText + QuoteHeader(*original, false) + originalText;
  Field bf;
  bf.xml = std::string("<t:Body BodyType=\"") + (html ? "HTML" : "Text") + "\">" + Escape(body) +
           "</t:Body>";
  bf.values.push_back(body);
  item->Set("Body", std::move(bf));
  std::string mid = original->Value("InternetMessageId");
  if (!mid.empty() && kind != "ForwardItem") {
    item->SetText("InReplyTo", mid);
    item->SetText("References", mid);
  }
  std::string topic = original->Value("ConversationTopic");
  item->SetText("ConversationTopic", topic.empty() ? original->Value("Subject") : topic);
  if (kind == "ForwardItem") {
    for (auto& a : original->attachments) {
      Attachment copy = a;
      if (copy.item) copy.item = copy.item->Clone();
      copy.num = item->nextAttachment++;
      item->attachments.push_back(std::move(copy));
    }
  }
  item->SetText("IsRead", "true");
  item->SetText("IsDraft", "true");
  return item;
}

void GetItem(Ctx& c) {
  Shape shape = ParseShape(Child(c.op, "ItemShape"));
  shape.legacyTimeZones = LegacyTimeZones(c);
  for (auto id : Elements(Child(c.op, "ItemIds"))) {
    PerMessage(c, "GetItem", "<m:Items/>", [&](std::string& out) {
      auto ln = LocalName(id);
      if (ln != "ItemId" && !IsCalendarId(id)) FailCode("ErrorItemNotFound");
      auto [m, item] = c.ResolveItem(id);
      out += "<m:Items>";
      WriteItem(out, *m, *item, shape);
      out += "</m:Items>";
    });
  }
}

void CreateItem(Ctx& c) {
  std::string disposition = Attr(c.op, "MessageDisposition");
  auto saved = Child(c.op, "SavedItemFolderId");
  for (auto n : Elements(Child(c.op, "Items"))) {
    PerMessage(c, "CreateItem", "<m:Items/>", [&](std::string& out) {
      auto kind = LocalName(n);
      Mailbox* m = c.self;
      std::shared_ptr<Item> item;
      if (IsCalendarResponseKind(kind)) return CreateCalendarResponse(c, n, out);
      if (kind == "ReplyToItem" || kind == "ReplyAllToItem" || kind == "ForwardItem") {
        item = ComposeResponse(c, n, *c.self);
      } else if (ItemTypeName(kind)) {
        item = ParseItem(c.pctx, n);
      } else {
        FailCode("ErrorInvalidRequest");
      }
      bool message = IsMessageKind(item->kind);
      if (message && disposition.empty()) FailCode("ErrorMessageDispositionRequired");
      if (item->kind == "CalendarItem" && Attr(c.op, "SendMeetingInvitations").empty())
        Fail("ErrorSendMeetingInvitationsRequired",
             "SendMeetingInvitations attribute is required for calendar items.");
      if (!message || disposition == "SaveOnly" || disposition.empty()) {
        uint32_t folder = TargetFolder(c, m, saved, DefaultFolderFor(item->kind));
        if (!message) item->Erase("IsDraft");
        if (item->kind == "CalendarItem") CheckCalendarItem(*item);
        Item* stored = StoreNew(c, *m, item, folder);
        // Created before the meeting workflow's own events (requests sent, a room's answer).
        RaiseItemEvent(c.store, *m, "CreatedEvent", *stored);
        if (stored->kind == "CalendarItem") CalendarCreated(c, *m, *stored);
        out += "<m:Items>" + ItemStub(*m, *stored, true) + "</m:Items>";
        return;
      }
      if (disposition == "SendOnly" && saved) FailCode("ErrorInvalidSendItemSaveSettings");
      uint32_t folder = TargetFolder(c, m, saved, "sentitems");
      Send(c, *m, *item, disposition == "SendAndSaveCopy", folder, false);
      out += "<m:Items/>";
    });
  }
}

void ApplyIndexed(Ctx& c, Item& item, const pugi::xml_node& path, const pugi::xml_node& value,
                  bool remove) {
  std::string uri = ElementOfFieldUri(Attr(path, "FieldURI"));
  std::string key = Attr(path, "FieldIndex");
  std::string container = uri, sub;
  auto colon = uri.find(':');
  if (colon != std::string::npos) container = uri.substr(0, colon), sub = uri.substr(colon + 1);
  if (container == "EmailAddress")
    container = "EmailAddresses";
  else if (container == "PhoneNumber")
    container = "PhoneNumbers";
  else if (container == "PhysicalAddress")
    container = "PhysicalAddresses";
  else if (container == "ImAddress")
    container = "ImAddresses";
  int idx = item.type->IndexOf(container);
  if (idx < 0) FailCode("ErrorInvalidPropertySet");
  pugi::xml_document doc;
  if (const Field* f = item.Get(container))
    doc.load_string(f->xml.c_str());
  else
    doc.append_child(("t:" + container).c_str());
  auto root = doc.document_element();
  pugi::xml_node entry;
  for (auto e : Elements(root))
    if (Attr(e, "Key") == key) entry = e;
  if (remove) {
    if (entry) {
      if (sub.empty())
        root.remove_child(entry);
      else if (auto s = Child(entry, sub))
        entry.remove_child(s);
      if (entry && !sub.empty() && Elements(entry).empty()) root.remove_child(entry);
    }
  } else {
    auto given = Child(Child(value, container), "Entry");
    if (!given) FailCode("ErrorIncorrectUpdatePropertyCount");
    if (!entry) {
      entry = root.append_child("t:Entry");
      entry.append_attribute("Key") = key.c_str();
    }
    if (sub.empty()) {
      while (entry.first_child())
        entry.remove_child(entry.first_child());
      for (auto a = given.first_attribute(); a; a = a.next_attribute())
        if (std::string_view(a.name()) != "Key" && !entry.attribute(a.name()))
          entry.append_attribute(a.name()) = a.value();
      for (auto ch = given.first_child(); ch; ch = ch.next_sibling())
        entry.append_copy(ch);
    } else {
      auto s = Child(given, sub);
      if (!s) FailCode("ErrorIncorrectUpdatePropertyCount");
      // Keep the sub-elements of a physical address in schema order.
      static const std::vector<std::string> order = {"Street", "City", "State", "CountryOrRegion",
                                                     "PostalCode"};
      if (auto old = Child(entry, sub)) entry.remove_child(old);
      pugi::xml_node before;
      auto pos = std::find(order.begin(), order.end(), sub);
      for (auto e : Elements(entry)) {
        auto p = std::find(order.begin(), order.end(), std::string(LocalName(e)));
        if (p > pos) {
          before = e;
          break;
        }
      }
      auto copy = before ? entry.insert_copy_before(s, before) : entry.append_copy(s);
      copy.set_name(("t:" + sub).c_str());
    }
  }
  if (Elements(root).empty()) {
    item.Erase(container);
    return;
  }
  item.fields[idx] = MakeField(c.pctx, root, item.type->children[static_cast<size_t>(idx)].type);
}

void ApplyUpdate(Ctx& c, Item& item, const pugi::xml_node& u) {
  static const std::set<std::string, std::less<>> readOnly = {
      "ItemId",         "ParentFolderId",  "DateTimeCreated", "LastModifiedTime", "Size",
      "HasAttachments", "IsSubmitted",     "IsUnmodified",    "IsFromMe",         "IsResend",
      "Attachments",    "ResponseObjects", "EffectiveRights", "MimeContent",      "ConversationId",
      "UniqueBody",     "TextBody",        "IsDraft",         "IsAssociated"};
  // Only lists of people and bodies take appended values; required elements cannot be deleted.
  static const std::set<std::string, std::less<>> appendable = {
      "ToRecipients",      "CcRecipients", "BccRecipients", "RequiredAttendees",
      "OptionalAttendees", "Resources",    "Body",          "ReplyTo"};
  static const std::set<std::string, std::less<>> required = {"ItemClass", "IsRead"};
  auto kind = LocalName(u);
  auto parts = Elements(u);
  if (parts.empty()) FailCode("ErrorInvalidRequest");
  auto path = parts[0];
  auto value = parts.size() > 1 ? parts[1] : pugi::xml_node();
  if (value && ItemTypeName(LocalName(value)) == nullptr) FailCode("ErrorInvalidRequest");
  if (value && Elements(value).size() != 1) FailCode("ErrorIncorrectUpdatePropertyCount");
  auto pathKind = LocalName(path);
  if (kind == "AppendToItemField" &&
      (pathKind != "FieldURI" || !appendable.count(ElementOfFieldUri(Attr(path, "FieldURI")))))
    FailCode("ErrorInvalidPropertyAppend");
  if (pathKind == "ExtendedFieldURI") {
    std::string key = ExtKeyOf(path);
    if (kind == "DeleteItemField") {
      item.ext.erase(std::remove_if(item.ext.begin(), item.ext.end(),
                                    [&](const ExtProp& p) { return p.key == key; }),
                     item.ext.end());
      return;
    }
    auto e = Child(value, "ExtendedProperty");
    if (!e) FailCode("ErrorIncorrectUpdatePropertyCount");
    SetExtProp(item, ParseExtProp(e));
    return;
  }
  if (pathKind == "IndexedFieldURI")
    return ApplyIndexed(c, item, path, value, kind == "DeleteItemField");
  std::string name = ElementOfFieldUri(Attr(path, "FieldURI"));
  int idx = item.type->IndexOf(name);
  if (idx >= 0 && kind == "DeleteItemField" && (readOnly.count(name) || required.count(name)))
    FailCode("ErrorInvalidPropertyDelete");
  if (idx < 0 || readOnly.count(name)) FailCode("ErrorInvalidPropertySet");
  if (kind == "DeleteItemField") {
    item.fields.erase(idx);
    return;
  }
  auto given = Child(value, name);
  if (!given) FailCode("ErrorIncorrectUpdatePropertyCount");
  const std::string& type = item.type->children[static_cast<size_t>(idx)].type;
  Field f = MakeField(c.pctx, given, type);
  if (kind == "AppendToItemField" && item.fields.count(idx)) {
    Field& old = item.fields[idx];
    if (name == "Body") {
      pugi::xml_document doc;
      doc.load_string(old.xml.c_str());
      auto root = doc.document_element();
      if (!EqualsNoCase(Attr(root, "BodyType"), Attr(given, "BodyType")))
        FailCode("ErrorInvalidPropertyAppend");
      std::string text = Text(root) + Text(given);
      while (root.first_child())
        root.remove_child(root.first_child());
      root.append_child(pugi::node_pcdata).set_value(text.c_str());
      f = MakeField(c.pctx, root, type);
    } else {
      // Lists: the new children go after the existing ones.
      auto close = old.xml.rfind("</");
      auto open = f.xml.find('>');
      auto fclose = f.xml.rfind("</");
      if (close == std::string::npos || open == std::string::npos) FailCode("ErrorInvalidRequest");
      old.xml = old.xml.substr(0, close) + f.xml.substr(open + 1, fclose - open - 1) +
                old.xml.substr(close);
      old.values.insert(old.values.end(), f.values.begin(), f.values.end());
      return;
    }
  }
  item.fields[idx] = std::move(f);
}

// What an update's property path names, as kept in Item::changedAt.
std::string UpdatePathKey(const pugi::xml_node& update) {
  auto parts = Elements(update);
  if (parts.empty()) return {};
  auto path = parts[0];
  auto kind = LocalName(path);
  if (kind == "ExtendedFieldURI") return ExtKeyOf(path);
  if (kind == "IndexedFieldURI") return Attr(path, "FieldURI") + "#" + Attr(path, "FieldIndex");
  return Attr(path, "FieldURI");
}

void UpdateItem(Ctx& c) {
  std::string resolution = Attr(c.op, "ConflictResolution");
  std::string disposition = Attr(c.op, "MessageDisposition");
  auto saved = Child(c.op, "SavedItemFolderId");
  for (auto change : Elements(Child(c.op, "ItemChanges"))) {
    PerMessage(c, "UpdateItem", "<m:Items/>", [&](std::string& out) {
      auto idEl = Child(change, "ItemId");
      if (!idEl) idEl = Child(change, "OccurrenceItemId");
      if (!idEl) idEl = Child(change, "RecurringMasterItemId");
      if (!idEl) FailCode("ErrorItemNotFound");
      auto [m, item] = c.ResolveItem(idEl);
      if (IsMessageKind(item->kind) && disposition.empty())
        FailCode("ErrorMessageDispositionRequired");
      if (item->kind == "CalendarItem" &&
          Attr(c.op, "SendMeetingInvitationsOrCancellations").empty())
        Fail("ErrorSendMeetingInvitationsOrCancellationsRequired",
             "SendMeetingInvitationsOrCancellations attribute is required for calendar items.");
      auto before = item->kind == "CalendarItem" ? item->Clone() : nullptr;
      // With an older change key, the properties changed since that version conflict: the
      // update fails with NeverOverwrite, keeps the newer values with AutoResolve (the default,
      // counted in ConflictResults) and overwrites them with AlwaysOverwrite.
      std::string ck = Attr(idEl, "ChangeKey");
      uint64_t seen = 0;
      if (!ck.empty()) {
        uint64_t given = DecodeChangeKey(ck);
        if (!given) FailCode("ErrorInvalidChangeKey");
        if (given != item->changeKey && resolution != "AlwaysOverwrite") seen = given;
      }
      // Work on a copy so a failing update leaves the item untouched.
      auto work = item->Clone();
      const std::string statusBefore = item->Value("Status");
      size_t conflicts = 0;
      std::vector<std::string> applied;
      for (auto u : Elements(Child(change, "Updates"))) {
        std::string key = UpdatePathKey(u);
        auto at = work->changedAt.find(key);
        if (seen && at != work->changedAt.end() && at->second > seen) {
          if (resolution == "NeverOverwrite") FailCode("ErrorIrresolvableConflict");
          ++conflicts;
          continue;
        }
        ApplyUpdate(c, *work, u);
        applied.push_back(std::move(key));
      }
      if (before) CheckCalendarItem(*work);
      *item = std::move(*work);
      item->changeKey = c.store.NextChangeKey();
      for (auto& key : applied)
        item->changedAt[key] = item->changeKey;
      Refresh(*m, *item);
      if (before) CalendarUpdated(c, *m, *item, *before);
      RaiseItemEvent(c.store, *m, "ModifiedEvent", *item);
      RegenerateTask(c, *m, *item, statusBefore);
      const std::string conflictResults = "<m:ConflictResults><t:Count>" +
                                          std::to_string(conflicts) +
                                          "</t:Count></m:ConflictResults>";
      if (IsMessageKind(item->kind) &&
          (disposition == "SendOnly" || disposition == "SendAndSaveCopy")) {
        Mailbox* sm = m;
        uint32_t folder = TargetFolder(c, sm, saved, "sentitems");
        Send(c, *m, *item, disposition == "SendAndSaveCopy", folder, true);
        out += "<m:Items/>" + conflictResults;
        return;
      }
      out += "<m:Items>" + ItemStub(*m, *item, false) + "</m:Items>" + conflictResults;
    });
  }
}

void DeleteItem(Ctx& c) {
  std::string type = Attr(c.op, "DeleteType");
  for (auto id : Elements(Child(c.op, "ItemIds"))) {
    PerMessage(c, "DeleteItem", nullptr, [&](std::string&) {
      auto [m, item] = c.ResolveItem(id);
      if (item->kind == "CalendarItem" && Attr(c.op, "SendMeetingCancellations").empty())
        Fail("ErrorSendMeetingCancellationsRequired",
             "SendMeetingCancellations attribute is required for calendar items.");
      if (item->kind == "CalendarItem" && DeleteCalendarItem(c, *m, *item)) return;
      if (item->kind == "Task" && Attr(c.op, "AffectedTaskOccurrences").empty())
        Fail("ErrorAffectedTaskOccurrencesRequired",
             "AffectedTaskOccurrences attribute is required for tasks.");
      Folder* deleted = m->Distinguished("deleteditems");
      Folder* recoverable = m->Distinguished("recoverableitemsdeletions");
      const uint32_t from = item->folder;
      // A soft delete leaves the folders a client sees: the event is a deletion there.
      const char* event = "DeletedEvent";
      std::string oldId;
      if (type == "MoveToDeletedItems" && item->folder != deleted->id) {
        // A move: the item in Deleted Items has a new id, as after MoveItem.
        oldId = EncodeId(IdKind::Item, m->index, item->id);
        m->MoveItem(*item, deleted->id, true);
        event = "MovedEvent";
      } else if (type == "SoftDelete" || type == "MoveToDeletedItems") {
        RaiseItemEvent(c.store, *m, "DeletedEvent", *item);
        if (item->folder == recoverable->id) return m->RemoveItem(item->id);
        m->MoveItem(*item, recoverable->id);
        event = nullptr;
      } else {
        RaiseItemEvent(c.store, *m, "DeletedEvent", *item);
        return m->RemoveItem(item->id);
      }
      item->changeKey = c.store.NextChangeKey();
      Refresh(*m, *item, false);
      if (event) RaiseItemEvent(c.store, *m, event, *item, from, oldId);
    });
  }
}

void CopyOrMove(Ctx& c, bool move) {
  bool returnIds = true;
  ParseBool(ChildText(c.op, "ReturnNewItemIds"), returnIds);
  const char* name = move ? "MoveItem" : "CopyItem";
  for (auto id : Elements(Child(c.op, "ItemIds"))) {
    PerMessage(c, name, "<m:Items/>", [&](std::string& out) {
      auto [tm, target] = [&]() -> std::pair<Mailbox*, Folder*> {
        try {
          return c.ResolveFolderIn(Child(c.op, "ToFolderId"));
        } catch (const EwsError& e) {
          if (e.code == "ErrorFolderNotFound" || e.code == "ErrorItemNotFound")
            Fail("ErrorToFolderNotFound", "The destination folder does not exist.");
          throw;
        }
      }();
      auto [m, item] = c.ResolveItem(id);
      Item* result;
      if (move && m == tm) {
        // As Exchange does, a moved item is a new item: it gets a new id, and the old id is gone.
        const uint32_t from = item->folder;
        const std::string oldId = EncodeId(IdKind::Item, m->index, item->id);
        m->MoveItem(*item, target->id, true);
        item->changeKey = c.store.NextChangeKey();
        Refresh(*m, *item, false);
        result = item;
        RaiseItemEvent(c.store, *m, "MovedEvent", *item, from, oldId);
      } else {
        result = StoreNew(c, *tm, item->Clone(), target->id);
        if (m == tm) {
          RaiseItemEvent(c.store, *m, "CopiedEvent", *result, item->folder,
                         EncodeId(IdKind::Item, m->index, item->id));
        } else {
          // Across mailboxes each side sees its own half.
          RaiseItemEvent(c.store, *tm, "CreatedEvent", *result);
        }
        if (move) {
          RaiseItemEvent(c.store, *m, "DeletedEvent", *item);
          m->RemoveItem(item->id);
        }
      }
      out += returnIds ? "<m:Items>" + ItemStub(*tm, *result, false) + "</m:Items>"
                       : std::string("<m:Items/>");
    });
  }
}

void SendItem(Ctx& c) {
  bool save = false;
  ParseBool(Attr(c.op, "SaveItemToFolder"), save);
  auto saved = Child(c.op, "SavedItemFolderId");
  for (auto id : Elements(Child(c.op, "ItemIds"))) {
    PerMessage(c, "SendItem", nullptr, [&](std::string&) {
      if (!save && saved) FailCode("ErrorInvalidSendItemSaveSettings");
      auto [m, item] = c.ResolveItem(id);
      // Only the version the caller has seen is sent: a missing or old change key is stale.
      if (DecodeChangeKey(Attr(id, "ChangeKey")) != item->changeKey)
        Fail("ErrorStaleObject",
             "The change key passed in the request does not match the current change key for the "
             "item.");
      Mailbox* sm = m;
      uint32_t folder = TargetFolder(c, sm, saved, "sentitems");
      Send(c, *m, *item, save, folder, true);
    });
  }
}

// ---- attachments

std::pair<Mailbox*, Item*> ResolveAttachment(Ctx& c, const pugi::xml_node& id, Attachment*& att) {
  DecodedId d = DecodeId(Attr(id, "Id"));
  if (d.kind != IdKind::Attachment) FailCode("ErrorInvalidIdMalformed");
  Mailbox& m = c.MailboxByIndex(d.mailbox);
  Item* item = m.ItemById(d.local);
  if (!item) FailCode("ErrorItemNotFound");
  att = nullptr;
  for (auto& a : item->attachments)
    if (a.num == d.attachment) att = &a;
  if (!att) FailCode("ErrorInvalidAttachmentId");
  return {&m, item};
}

void CreateAttachment(Ctx& c) {
  auto parentId = Child(c.op, "ParentItemId");
  for (auto a : Elements(Child(c.op, "Attachments"))) {
    PerMessage(c, "CreateAttachment", "<m:Attachments/>", [&](std::string& out) {
      auto [m, item] = c.ResolveItem(parentId);
      // Reuse the item parser for the attachment element.
      auto holder = std::make_shared<Item>();
      pugi::xml_document doc;
      auto wrap = doc.append_child("t:Message");
      auto atts = wrap.append_child("t:Attachments");
      atts.append_copy(a);
      auto parsed = ParseItem(c.pctx, wrap);
      Attachment att = std::move(parsed->attachments.front());
      att.num = item->nextAttachment++;
      item->attachments.push_back(std::move(att));
      item->changeKey = c.store.NextChangeKey();
      Refresh(*m, *item);
      RaiseItemEvent(c.store, *m, "ModifiedEvent", *item);
      const Attachment& added = item->attachments.back();
      const char* el = added.isItem ? "ItemAttachment" : "FileAttachment";
      out += std::string("<m:Attachments><t:") + el + "><t:AttachmentId Id=\"" +
             EncodeId(IdKind::Attachment, m->index, item->id, added.num) + "\" RootItemId=\"" +
             EncodeId(IdKind::Item, m->index, item->id) + "\" RootItemChangeKey=\"" +
             EncodeChangeKey(item->changeKey) + "\"/></t:" + el + "></m:Attachments>";
    });
  }
}

void GetAttachment(Ctx& c) {
  auto shape = Child(c.op, "AttachmentShape");
  bool mime = false;
  ParseBool(ChildText(shape, "IncludeMimeContent"), mime);
  for (auto id : Elements(Child(c.op, "AttachmentIds"))) {
    PerMessage(c, "GetAttachment", "<m:Attachments/>", [&](std::string& out) {
      Attachment* att = nullptr;
      auto [m, item] = ResolveAttachment(c, id, att);
      out += "<m:Attachments>";
      WriteAttachment(out, *m, *item, *att, true, mime, false);
      out += "</m:Attachments>";
    });
  }
}

void DeleteAttachment(Ctx& c) {
  for (auto id : Elements(Child(c.op, "AttachmentIds"))) {
    PerMessage(c, "DeleteAttachment", nullptr, [&](std::string& out) {
      Attachment* att = nullptr;
      auto [m, item] = ResolveAttachment(c, id, att);
      uint32_t num = att->num;
      item->attachments.erase(std::remove_if(item->attachments.begin(), item->attachments.end(),
                                             [&](const Attachment& a) { return a.num == num; }),
                              item->attachments.end());
      item->changeKey = c.store.NextChangeKey();
      Refresh(*m, *item);
      RaiseItemEvent(c.store, *m, "ModifiedEvent", *item);
      out += "<m:RootItemId RootItemId=\"" + EncodeId(IdKind::Item, m->index, item->id) +
             "\" RootItemChangeKey=\"" + EncodeChangeKey(item->changeKey) + "\"/>";
    });
  }
}

}  // namespace

void DeliverMessage(Ctx& c, Mailbox& sender, const Item& msg) {
  std::set<Mailbox*> targets;
  for (auto el : {"ToRecipients", "CcRecipients", "BccRecipients"})
    for (auto& r : RecipientsOf(msg, el))
      if (Mailbox* m = c.store.Find(r.email)) targets.insert(m);
  int64_t now = NowMs();
  for (Mailbox* m : targets) {
    auto copy = msg.Clone();
    copy->Erase("BccRecipients");
    copy->SetText("IsRead", "false");
    copy->SetText("IsDraft", "false");
    copy->created = copy->modified = now;
    copy->SetText("DateTimeReceived", FormatDateTime(now));
    if (!copy->Get("InternetMessageId"))
      copy->SetText("InternetMessageId", "<" + std::to_string(now) + "." + std::to_string(msg.id) +
                                             "." + std::to_string(sender.index) + "@ewssim>");
    copy->Set("ReceivedBy", MailboxListField("ReceivedBy", {{m->displayName, m->address}}, false));
    Item* delivered = StoreNew(c, *m, copy, m->Distinguished("inbox")->id);
    RaiseDelivery(c.store, *m, *delivered);
    SendAutomaticReply(c, *m, sender, *copy);
  }
}

void RegisterItemOps(OpTable& t) {
  t["GetItem"] = {GetItem, false};
  t["CreateItem"] = {CreateItem, true};
  t["UpdateItem"] = {UpdateItem, true};
  t["DeleteItem"] = {DeleteItem, true};
  t["CopyItem"] = {[](Ctx& c) { CopyOrMove(c, false); }, true};
  t["MoveItem"] = {[](Ctx& c) { CopyOrMove(c, true); }, true};
  t["SendItem"] = {SendItem, true};
  t["CreateAttachment"] = {CreateAttachment, true};
  t["GetAttachment"] = {GetAttachment, false};
  t["DeleteAttachment"] = {DeleteAttachment, true};
}

}  // namespace ewssim
