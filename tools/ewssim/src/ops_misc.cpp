// Services: ResolveNames, ConvertId, GetServerTimeZones; and the seed content of new mailboxes.
#include <algorithm>
#include <cstdio>

#include "ops.h"
#include "timezones.h"

namespace ewssim {

namespace {

// ---- ResolveNames

struct Candidate {
  std::string name, email;
  std::string given, surname;
  const Item* contact = nullptr;
  const Mailbox* owner = nullptr;
  const char* type = nullptr;  // PublicDL, PrivateDL; else Contact or Mailbox
};

bool NameMatches(const std::string& entry, const Candidate& c) {
  std::string e = Lower(entry);
  if (e.empty()) return false;
  auto startsWord = [&](const std::string& text) {
    std::string t = Lower(text);
    for (size_t pos = t.find(e); pos != std::string::npos; pos = t.find(e, pos + 1))
      if (pos == 0 || t[pos - 1] == ' ' || t[pos - 1] == '.' || t[pos - 1] == '-') return true;
    return false;
  };
  return startsWord(c.name) || Lower(c.email).rfind(e, 0) == 0 || startsWord(c.given) ||
         startsWord(c.surname);
}

void WriteResolution(std::string& out, const Ctx& ctx, const Candidate& c, bool full) {
  // A private list has no address of its own: it is named by its item id.
  out += "<t:Resolution><t:Mailbox><t:Name>" + Escape(c.name) + "</t:Name>" +
         (c.email.empty() ? "<t:RoutingType>MAPIPDL</t:RoutingType>"
                          : "<t:EmailAddress>" + Escape(c.email) +
                                "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType>") +
         "<t:MailboxType>" +
         (c.type      ? c.type
          : c.contact ? "Contact"
                      : "Mailbox") +
         "</t:MailboxType>";
  if (c.contact)
    out += "<t:ItemId Id=\"" + EncodeId(IdKind::Item, c.owner->index, c.contact->id) +
           "\" ChangeKey=\"" + EncodeChangeKey(c.contact->changeKey) + "\"/>";
  out += "</t:Mailbox>";
  if (full && !c.type) {
    Item contact;
    contact.kind = "Contact";
    contact.type = ctx.schema.Type("ContactItemType");
    if (c.contact) {
      for (const char* el : {"DisplayName", "GivenName", "Surname", "CompanyName", "EmailAddresses",
                             "PhoneNumbers", "PhysicalAddresses", "JobTitle", "Department"})
        if (const Field* f = c.contact->Get(el)) contact.Set(el, *f);
      contact.SetText("ContactSource", "Store");
    } else {
      contact.SetText("DisplayName", c.name);
      if (!c.given.empty()) contact.SetText("GivenName", c.given);
      if (!c.surname.empty()) contact.SetText("Surname", c.surname);
      contact.Set("EmailAddresses", Field{"<t:EmailAddresses><t:Entry Key=\"EmailAddress1\">SMTP:" +
                                              Escape(c.email) + "</t:Entry></t:EmailAddresses>",
                                          {c.email}});
      contact.SetText("ContactSource", "ActiveDirectory");
    }
    Shape s;
    s.base = Shape::AllProperties;
    WriteItem(out, *ctx.self, contact, s);
  }
  out += "</t:Resolution>";
}

void ResolveNames(Ctx& c) {
  std::string entry = ChildText(c.op, "UnresolvedEntry");
  if (entry.size() > 5 && EqualsNoCase(entry.substr(0, 5), "smtp:")) entry = entry.substr(5);
  bool full = false;
  ParseBool(Attr(c.op, "ReturnFullContactData"), full);
  std::string scope = Attr(c.op, "SearchScope");
  if (scope.empty()) scope = "ActiveDirectoryContacts";
  bool directory = scope != "Contacts", contacts = scope != "ActiveDirectory";
  std::vector<Candidate> found;
  // Contacts first for the Contacts… scopes, the directory first otherwise.
  auto searchDirectory = [&] {
    for (const auto& u : c.config.users) {
      Candidate cand;
      cand.name = u.displayName.empty() ? u.address : u.displayName;
      cand.email = u.address;
      auto space = cand.name.find(' ');
      if (space != std::string::npos) {
        cand.given = cand.name.substr(0, space);
        cand.surname = cand.name.substr(space + 1);
      }
      if (EqualsNoCase(u.address, entry)) {
        found = {cand};
        return true;
      }
      if (NameMatches(entry, cand)) found.push_back(cand);
    }
    for (const auto& g : c.config.groups) {
      Candidate cand;
      cand.name = g.displayName.empty() ? g.address : g.displayName;
      cand.email = g.address;
      cand.type = "PublicDL";
      if (EqualsNoCase(g.address, entry)) {
        found = {cand};
        return true;
      }
      if (NameMatches(entry, cand)) found.push_back(cand);
    }
    return false;
  };
  auto searchContacts = [&] {
    std::vector<Folder*> folders;
    if (auto parents = Child(c.op, "ParentFolderIds")) {
      for (auto id : Elements(parents))
        folders.push_back(c.ResolveFolder(id).second);
    } else {
      folders.push_back(c.self->Distinguished("contacts"));
    }
    for (Folder* f : folders)
      for (uint64_t id : f->items) {
        const Item* item = c.self->ItemById(id);
        if (!item || (item->kind != "Contact" && item->kind != "DistributionList")) continue;
        Candidate cand;
        cand.contact = item;
        cand.owner = c.self;
        if (item->kind == "DistributionList") cand.type = "PrivateDL";
        cand.name = item->Value("DisplayName");
        cand.given = item->Value("GivenName");
        cand.surname = item->Value("Surname");
        if (const Field* e = item->Get("EmailAddresses"); e && !e->values.empty())
          cand.email = e->values.front();
        if (cand.email.size() > 5 && EqualsNoCase(cand.email.substr(0, 5), "smtp:"))
          cand.email = cand.email.substr(5);
        if (NameMatches(entry, cand) || (!cand.email.empty() && EqualsNoCase(cand.email, entry)))
          found.push_back(cand);
      }
  };
  try {
    if (scope == "ContactsActiveDirectory" || scope == "Contacts") {
      if (contacts) searchContacts();
      if (directory && found.empty()) searchDirectory();
    } else {
      if (directory && !searchDirectory() && contacts) searchContacts();
    }
    if (found.empty()) FailCode("ErrorNameResolutionNoResults");
  } catch (const EwsError& e) {
    MsgOpen(c.out, "ResolveNames", &e);
    MsgClose(c.out, "ResolveNames");
    return;
  }
  if (found.size() > 100) found.resize(100);
  // Several matches are answered with every candidate and a warning.
  EwsError multiple{"ErrorNameResolutionMultipleResults",
                    StandardText("ErrorNameResolutionMultipleResults")};
  MsgOpen(c.out, "ResolveNames", found.size() > 1 ? &multiple : nullptr, true);
  c.out += "<m:ResolutionSet TotalItemsInView=\"" + std::to_string(found.size()) +
           "\" IncludesLastItemInRange=\"true\">";
  for (auto& cand : found)
    WriteResolution(c.out, c, cand, full);
  c.out += "</m:ResolutionSet>";
  MsgClose(c.out, "ResolveNames");
}

// ---- ConvertId

const char kProvider[] = "ewssim-provider!";  // 16 bytes standing for the store provider

std::optional<std::string> RawFromFormat(const std::string& format, const std::string& id) {
  if (format == "EwsId" || format == "EwsLegacyId") return Base64Decode(id);
  if (format == "EntryId" || format == "HexEntryId") {
    auto bytes = format == "EntryId" ? Base64Decode(id) : HexDecode(id);
    if (!bytes || bytes->size() < 20 || bytes->compare(4, 16, kProvider) != 0) return std::nullopt;
    return bytes->substr(20);
  }
  if (format == "StoreId") {
    auto bytes = Base64Decode(id);
    if (!bytes || bytes->size() < 2 || bytes->compare(0, 2, "SI") != 0) return std::nullopt;
    return bytes->substr(2);
  }
  if (format == "OwaId") {
    if (id.rfind("OWA.", 0) != 0) return std::nullopt;
    return HexDecode(id.substr(4));
  }
  return std::nullopt;
}

std::string ToFormat(const std::string& format, std::string raw) {
  if (format == "EwsLegacyId") {
    raw[0] = 2;
    return Base64Encode(raw);
  }
  raw[0] = 1;
  if (format == "EntryId" || format == "HexEntryId") {
    std::string entry = std::string(4, '\0') + kProvider + raw;
    return format == "EntryId" ? Base64Encode(entry) : HexEncode(entry);
  }
  if (format == "StoreId") return Base64Encode("SI" + raw);
  if (format == "OwaId") return "OWA." + HexEncode(raw);
  return Base64Encode(raw);
}

void ConvertId(Ctx& c) {
  std::string dest = Attr(c.op, "DestinationFormat");
  for (auto src : Elements(Child(c.op, "SourceIds"))) {
    PerMessage(c, "ConvertId", nullptr, [&](std::string& out) {
      if (LocalName(src) != "AlternateId") FailCode("ErrorInvalidRequest");
      auto raw = RawFromFormat(Attr(src, "Format"), Attr(src, "Id"));
      if (!raw) FailCode("ErrorInvalidIdMalformed");
      auto id = DecodeRawId(*raw);
      if (!id) FailCode("ErrorInvalidIdMalformed");
      Mailbox* m = c.store.At(id->mailbox);
      if (!m) FailCode("ErrorItemNotFound");
      if (!c.MayAccess(*m)) FailCode("ErrorAccessDenied");
      out += "<m:AlternateId xsi:type=\"t:AlternateIdType\" Format=\"" + dest + "\" Id=\"" +
             ToFormat(dest, *raw) + "\" Mailbox=\"" + Escape(m->address) + "\"/>";
    });
  }
}

// ---- GetServerTimeZones

void GetServerTimeZones(Ctx& c) {
  bool full = true;
  ParseBool(Attr(c.op, "ReturnFullTimeZoneData"), full);
  PerMessage(c, "GetServerTimeZones", "<m:TimeZoneDefinitions/>", [&](std::string& out) {
    std::vector<const WindowsZone*> zones;
    if (auto ids = Child(c.op, "Ids")) {
      for (auto id : Children(ids, "Id")) {
        std::string wanted = Text(id);
        const WindowsZone* z = nullptr;
        for (const auto& w : WindowsZones())
          if (wanted == w.id) z = &w;
        if (!z) FailCode("ErrorTimeZone");
        zones.push_back(z);
      }
    } else {
      for (const auto& w : WindowsZones())
        zones.push_back(&w);
    }
    out += "<m:TimeZoneDefinitions>";
    for (auto* z : zones)
      WriteTimeZoneDefinition(out, *z, full);
    out += "</m:TimeZoneDefinitions>";
  });
}

}  // namespace

void RegisterMiscOps(OpTable& t) {
  t["ResolveNames"] = {ResolveNames, false};
  t["ConvertId"] = {ConvertId, false};
  t["GetServerTimeZones"] = {GetServerTimeZones, false};
}

void SeedMailbox(Store& store, const SchemaModel& schema, Mailbox& m, const SeedConfig& seed) {
  ParseContext ctx{&schema, {}};
  auto add = [&](const std::string& xml, const char* folder, int64_t when) {
    pugi::xml_document doc;
    doc.load_string(xml.c_str());
    auto item = ParseItem(ctx, doc.document_element());
    item->created = item->modified = when;
    item->changeKey = store.NextChangeKey();
    Item* raw = m.AddItem(item, m.Distinguished(folder)->id);
    Refresh(m, *raw, false);
  };
  const int64_t base = *ParseDateTime("2026-01-05T09:00:00Z");
  std::string domain = m.address.substr(m.address.find('@') + 1);
  for (int i = 0; i < seed.messages; ++i) {
    int64_t when = base + i * 3600000LL;
    char buf[2048];
    std::snprintf(buf, sizeof buf,
                  "<t:Message><t:Subject>Seed message %d</t:Subject><t:Body BodyType=\"Text\">This "
                  "is seed message %d of %s.</t:Body><t:DateTimeReceived>%s</t:DateTimeReceived>"
                  "<t:From><t:Mailbox><t:Name>Sender %d</t:Name><t:EmailAddress>sender%d@%s</"
                  "t:EmailAddress></t:Mailbox></t:From><t:ToRecipients><t:Mailbox><t:Name>%s</"
                  "t:Name><t:EmailAddress>%s</t:EmailAddress></t:Mailbox></t:ToRecipients>"
                  "<t:IsRead>%s</t:IsRead></t:Message>",
                  i + 1, i + 1, m.address.c_str(), FormatDateTime(when).c_str(), i % 5 + 1,
                  i % 5 + 1, domain.c_str(), Escape(m.displayName).c_str(), m.address.c_str(),
                  i % 3 == 0 ? "false" : "true");
    add(buf, "inbox", when);
    m.ItemById(m.nextItem - 1)->SetText("IsDraft", "false");
    Refresh(m, *m.ItemById(m.nextItem - 1), false);
  }
  for (int i = 0; i < seed.calendarItems; ++i) {
    int64_t start = base + i * 86400000LL + 3600000LL;
    char buf[1024];
    std::snprintf(buf, sizeof buf,
                  "<t:CalendarItem><t:Subject>Seed meeting %d</t:Subject><t:Start>%s</t:Start>"
                  "<t:End>%s</t:End><t:Location>Room %d</t:Location></t:CalendarItem>",
                  i + 1, FormatDateTime(start).c_str(), FormatDateTime(start + 1800000).c_str(),
                  i % 4 + 1);
    add(buf, "calendar", base);
  }
  static const char* given[] = {"Ann", "Bob", "Carla", "Dave", "Eve", "Frank", "Gina", "Hugo"};
  static const char* surnames[] = {"Archer", "Baker", "Carter", "Dalton", "Evans", "Fisher"};
  for (int i = 0; i < seed.contacts; ++i) {
    std::string g = given[i % 8], s = surnames[(i / 8 + i) % 6];
    std::string email = Lower(g) + "." + Lower(s) + std::to_string(i + 1) + "@contoso.example";
    std::string xml = "<t:Contact><t:FileAs>" + s + ", " + g + "</t:FileAs><t:DisplayName>" + g +
                      " " + s + "</t:DisplayName><t:GivenName>" + g + "</t:GivenName>" +
                      "<t:EmailAddresses><t:Entry Key=\"EmailAddress1\">" + email +
                      "</t:Entry></t:EmailAddresses><t:Surname>" + s + "</t:Surname></t:Contact>";
    add(xml, "contacts", base);
  }
}

}  // namespace ewssim
