// Contacts, tasks and distribution lists: the fields Exchange computes for a contact, the rules
// it applies to tasks (completion, regenerating recurrences), and ExpandDL for the directory's
// groups and the private lists kept in Contacts folders.
#include <algorithm>
#include <cstdlib>
#include <set>

#include "ops.h"

namespace ewssim {

namespace {

std::string Join(std::initializer_list<std::string> parts, const std::string& separator) {
  std::string out;
  for (const auto& p : parts) {
    if (p.empty()) continue;
    if (!out.empty()) out += separator;
    out += p;
  }
  return out;
}

// FileAs as Exchange forms it from the names by the contact's FileAsMapping.
std::string FileAsByMapping(const Item& c, const std::string& mapping) {
  const std::string first = c.Value("GivenName"), last = c.Value("Surname"),
                    middle = c.Value("MiddleName"), company = c.Value("CompanyName"),
                    suffix = c.Value("Generation"), display = c.Value("DisplayName");
  const std::string lastCommaFirst =
      last.empty() || first.empty() ? last + first : last + ", " + first;
  if (mapping == "FirstSpaceLast") return Join({first, last}, " ");
  if (mapping == "Company") return company;
  if (mapping == "LastCommaFirstCompany")
    return lastCommaFirst.empty() || company.empty() ? lastCommaFirst + company
                                                     : lastCommaFirst + " (" + company + ")";
  if (mapping == "CompanyLastCommaFirst")
    return company.empty() || lastCommaFirst.empty() ? company + lastCommaFirst
                                                     : company + " (" + lastCommaFirst + ")";
  if (mapping == "LastFirst") return last + first;
  if (mapping == "LastSpaceFirst") return Join({last, first}, " ");
  if (mapping == "LastFirstMiddleSuffix") return Join({last, first, middle, suffix}, " ");
  if (mapping == "DisplayName") return display;
  if (mapping == "FirstName") return first;
  if (mapping == "LastName") return last;
  if (mapping == "Empty") return {};
  return lastCommaFirst.empty() ? display : lastCommaFirst;  // LastCommaFirst
}

void ComputeContact(Item& c) {
  const std::string first = c.Value("GivenName"), last = c.Value("Surname"),
                    middle = c.Value("MiddleName");
  if (c.Value("DisplayName").empty()) {
    std::string display = Join({first, middle, last}, " ");
    if (display.empty()) display = c.Value("CompanyName");
    if (display.empty())
      if (const Field* e = c.Get("EmailAddresses"); e && !e->values.empty())
        display = e->values.front();
    if (!display.empty()) c.SetText("DisplayName", display);
  }
  // A contact made without FileAs gets Exchange's default mapping; one made with a FileAs of its
  // own keeps it (mapping None) until a mapping is set.
  std::string mapping = c.Value("FileAsMapping");
  if (mapping.empty()) {
    mapping = c.Get("FileAs") ? "None" : "LastCommaFirst";
    c.SetText("FileAsMapping", mapping);
  }
  if (mapping != "None") c.SetText("FileAs", FileAsByMapping(c, mapping));
  Field complete;
  complete.xml = "<t:CompleteName>";
  auto add = [&](const char* element, const std::string& text) {
    if (text.empty()) return;
    complete.xml += std::string("<t:") + element + ">" + Escape(text) + "</t:" + element + ">";
    complete.values.push_back(text);
  };
  add("FirstName", first);
  add("MiddleName", middle);
  add("LastName", last);
  add("Suffix", c.Value("Generation"));
  add("Initials", c.Value("Initials"));
  add("FullName", Join({first, middle, last}, " "));
  add("Nickname", c.Value("Nickname"));
  complete.xml += "</t:CompleteName>";
  c.Set("CompleteName", std::move(complete));
  c.SetText("HasPicture",
            BoolText(std::any_of(c.attachments.begin(), c.attachments.end(),
                                 [](const Attachment& a) { return a.isContactPhoto; })));
}

// Completing a task (Status Completed or PercentComplete 100) sets the other, IsComplete and the
// completion date; progress below 100 on a task not started makes it in progress.
void ComputeTask(Item& t) {
  t.SetText("IsRecurring", BoolText(t.Get("Recurrence") != nullptr));
  const std::string status = t.Value("Status");
  const double percent = std::atof(t.Value("PercentComplete").c_str());
  if (status == "Completed" || percent >= 100) {
    t.SetText("Status", "Completed");
    t.SetText("PercentComplete", "100");
    t.SetText("IsComplete", "true");
    if (!t.Get("CompleteDate")) t.SetText("CompleteDate", FormatDateTime(NowMs()));
    return;
  }
  t.SetText("IsComplete", "false");
  t.Erase("CompleteDate");
  if (!t.Get("Status")) t.SetText("Status", percent > 0 ? "InProgress" : "NotStarted");
  if (status == "NotStarted" && percent > 0) t.SetText("Status", "InProgress");
  if (!t.Get("PercentComplete")) t.SetText("PercentComplete", "0");
}

}  // namespace

void ApplyKindRules(Item& item) {
  if (item.kind == "Contact") ComputeContact(item);
  if (item.kind == "Task") ComputeTask(item);
}

void RegenerateTask(Ctx& c, Mailbox& m, Item& task, const std::string& statusBefore) {
  if (task.kind != "Task" || statusBefore == "Completed" || task.Value("Status") != "Completed")
    return;
  const Field* recurrence = task.Get("Recurrence");
  if (!recurrence) return;
  pugi::xml_document doc;
  if (!doc.load_string(recurrence->xml.c_str())) return;
  // A regenerating pattern counts from the completion: the next task starts that long after it.
  static const std::pair<const char*, int64_t> patterns[] = {{"DailyRegeneration", 1},
                                                             {"WeeklyRegeneration", 7},
                                                             {"MonthlyRegeneration", 30},
                                                             {"YearlyRegeneration", 365}};
  int64_t days = 0;
  for (const auto& [name, unit] : patterns)
    if (auto p = Child(doc.document_element(), name)) {
      int64_t interval = std::atoll(ChildText(p, "Interval").c_str());
      days = unit * std::max<int64_t>(interval, 1);
    }
  if (days == 0) return;
  const int64_t dayMs = 24 * 3600 * 1000LL;
  const int64_t completed = ParseDateTime(task.Value("CompleteDate")).value_or(NowMs());
  auto next = task.Clone();
  auto start = ParseDateTime(task.Value("StartDate"));
  auto due = ParseDateTime(task.Value("DueDate"));
  const int64_t nextStart = completed / dayMs * dayMs + days * dayMs;
  next->SetText("StartDate", FormatDateTime(nextStart));
  if (due) next->SetText("DueDate", FormatDateTime(nextStart + (start ? *due - *start : 0)));
  next->SetText("Status", "NotStarted");
  next->SetText("PercentComplete", "0");
  next->Erase("CompleteDate");
  next->attachments.clear();
  next->id = 0;
  next->changeKey = c.store.NextChangeKey();
  next->created = next->modified = NowMs();
  Item* added = m.AddItem(std::move(next), task.folder);
  Refresh(m, *added);
  // The completed one stays as a plain task.
  task.Erase("Recurrence");
  Refresh(m, task);
}

const GroupConfig* GroupOf(const Config& config, const std::string& address) {
  for (const auto& g : config.groups)
    if (EqualsNoCase(g.address, address)) return &g;
  return nullptr;
}

std::vector<std::string> GroupPeople(const Config& config, const GroupConfig& group) {
  std::vector<std::string> people;
  std::set<std::string> seenGroups{Lower(group.address)}, seenPeople;
  std::vector<const GroupConfig*> todo{&group};
  while (!todo.empty()) {
    const GroupConfig* g = todo.back();
    todo.pop_back();
    for (const auto& member : g->members) {
      if (const GroupConfig* inner = GroupOf(config, member)) {
        if (seenGroups.insert(Lower(inner->address)).second) todo.push_back(inner);
      } else if (seenPeople.insert(Lower(member)).second) {
        people.push_back(member);
      }
    }
  }
  return people;
}

namespace {

// ---- ExpandDL

std::string MemberXml(const Ctx& c, const std::string& name, const std::string& address,
                      const std::string& givenType) {
  std::string type = givenType, display = name;
  if (const GroupConfig* g = GroupOf(c.config, address)) {
    type = "PublicDL";
    if (display.empty()) display = g->displayName;
  } else {
    for (const auto& u : c.config.users)
      if (EqualsNoCase(u.address, address)) {
        type = "Mailbox";
        if (display.empty()) display = u.displayName;
      }
  }
  if (type.empty()) type = "OneOff";
  if (display.empty()) display = address;
  return "<t:Mailbox><t:Name>" + Escape(display) + "</t:Name><t:EmailAddress>" + Escape(address) +
         "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>" + type +
         "</t:MailboxType></t:Mailbox>";
}

void ExpandDL(Ctx& c) {
  PerMessage(c, "ExpandDL", nullptr, [&](std::string& out) {
    auto mailbox = Child(c.op, "Mailbox");
    std::vector<std::string> members;
    if (auto id = Child(mailbox, "ItemId")) {
      auto [m, item] = c.ResolveItem(id);
      if (item->kind != "DistributionList") FailCode("ErrorNameResolutionNoResults");
      if (const Field* f = item->Get("Members")) {
        pugi::xml_document doc;
        if (doc.load_string(f->xml.c_str()))
          for (auto member : doc.document_element().select_nodes(".//*[local-name()='Mailbox']")) {
            auto n = member.node();
            members.push_back(MemberXml(c, ChildText(n, "Name"), ChildText(n, "EmailAddress"),
                                        ChildText(n, "MailboxType")));
          }
      }
    } else {
      const GroupConfig* g = GroupOf(c.config, ChildText(mailbox, "EmailAddress"));
      if (!g) FailCode("ErrorNameResolutionNoResults");
      for (const auto& a : g->members)
        members.push_back(MemberXml(c, {}, a, {}));
    }
    out += "<m:DLExpansion IndexedPagingOffset=\"" + std::to_string(members.size()) +
           "\" TotalItemsInView=\"" + std::to_string(members.size()) +
           "\" IncludesLastItemInRange=\"true\">";
    for (const auto& x : members)
      out += x;
    out += "</m:DLExpansion>";
  });
}

}  // namespace

void RegisterContactOps(OpTable& t) {
  t["ExpandDL"] = {ExpandDL, false};
}

}  // namespace ewssim
