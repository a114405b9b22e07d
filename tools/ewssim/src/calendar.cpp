// The calendar engine: recurrence expansion in the series' zone, occurrences and exceptions, and
// the computed elements of calendar items.
#include "calendar.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

#include "timezones.h"
#include "util.h"

namespace ewssim {

namespace {

using namespace std::chrono;

constexpr int64_t kDayMs = 86400000;
// No series is expanded beyond this many instances (a daily series over the longest view has
// 731), nor beyond this many days scanned.
constexpr size_t kMaxInstances = 5000;
constexpr int64_t kMaxScanDays = 366LL * 50;

const char* const kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

int DayIndex(std::string_view name) {
  for (int i = 0; i < 7; ++i)
    if (name == kDayNames[i]) return i;
  return -1;
}

int MonthIndex(std::string_view name) {
  static const char* const months[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};
  for (int i = 0; i < 12; ++i)
    if (name == months[i]) return i + 1;
  return 0;
}

int64_t DayNumber(int y, unsigned m, unsigned d) {
  return sys_days(year_month_day(year(y), month(m), day(d))).time_since_epoch().count();
}

year_month_day DateOf(int64_t dayNumber) {
  return year_month_day(sys_days(days(dayNumber)));
}

int Weekday(int64_t dayNumber) {
  return static_cast<int>(weekday(sys_days(days(dayNumber))).c_encoding());
}

// The day number of an xs:date ("2026-03-16", "2026-03-16Z", "2026-03-16-08:00").
std::optional<int64_t> ParseDate(const std::string& text) {
  auto t = ParseDateTime(text.substr(0, std::min<size_t>(text.size(), 10)));
  if (!t) return std::nullopt;
  return *t / kDayMs;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// UTC offset (ms) of a zone at a UTC instant.
int64_t OffsetAtUtc(const std::string& zone, int64_t utc) {
  int64_t guess = LocalOffsetMs(zone, utc);
  return LocalOffsetMs(zone, utc + guess);
}

struct Pattern {
  enum Kind { None, Daily, Weekly, AbsMonthly, RelMonthly, AbsYearly, RelYearly } kind = None;
  int interval = 1;
  std::vector<int> days;  // weekdays (0 Sunday); Day/Weekday/WeekendDay expand to several
  int firstDay = 0;
  int dayOfMonth = 1;
  int month = 1;
  int weekIndex = 1;  // 1..4, 5 = Last
  int64_t startDay = 0;
  std::optional<int64_t> endDay;
  int count = 0;  // 0: no limit
};

std::vector<int> DaysOfWeek(const std::string& text) {
  std::vector<int> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(pos, end - pos);
    if (word == "Day") {
      out = {0, 1, 2, 3, 4, 5, 6};
    } else if (word == "Weekday") {
      for (int d = 1; d <= 5; ++d)
        out.push_back(d);
    } else if (word == "WeekendDay") {
      out.push_back(0);
      out.push_back(6);
    } else if (int d = DayIndex(word); d >= 0) {
      out.push_back(d);
    }
    pos = end + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::optional<Pattern> ReadPattern(const Item& item) {
  const Field* f = item.Get("Recurrence");
  if (!f) return std::nullopt;
  pugi::xml_document doc;
  if (!doc.load_string(f->xml.c_str())) return std::nullopt;
  Pattern p;
  bool haveRange = false;
  for (auto e : Elements(doc.document_element())) {
    auto name = LocalName(e);
    auto interval = ChildText(e, "Interval");
    if (!interval.empty()) p.interval = std::max(1, std::atoi(interval.c_str()));
    if (name == "DailyRecurrence") {
      p.kind = Pattern::Daily;
    } else if (name == "WeeklyRecurrence") {
      p.kind = Pattern::Weekly;
      p.days = DaysOfWeek(ChildText(e, "DaysOfWeek"));
      auto first = ChildText(e, "FirstDayOfWeek");
      p.firstDay = first.empty() ? 0 : std::max(0, DayIndex(first));
    } else if (name == "AbsoluteMonthlyRecurrence" || name == "AbsoluteYearlyRecurrence") {
      p.kind = name == "AbsoluteMonthlyRecurrence" ? Pattern::AbsMonthly : Pattern::AbsYearly;
      p.dayOfMonth = std::max(1, std::atoi(ChildText(e, "DayOfMonth").c_str()));
      p.month = MonthIndex(ChildText(e, "Month"));
    } else if (name == "RelativeMonthlyRecurrence" || name == "RelativeYearlyRecurrence") {
      p.kind = name == "RelativeMonthlyRecurrence" ? Pattern::RelMonthly : Pattern::RelYearly;
      p.days = DaysOfWeek(ChildText(e, "DaysOfWeek"));
      static const char* const idx[] = {"First", "Second", "Third", "Fourth", "Last"};
      auto text = ChildText(e, "DayOfWeekIndex");
      for (int i = 0; i < 5; ++i)
        if (text == idx[i]) p.weekIndex = i + 1;
      p.month = MonthIndex(ChildText(e, "Month"));
    } else if (name == "NoEndRecurrence" || name == "EndDateRecurrence" ||
               name == "NumberedRecurrence") {
      auto start = ParseDate(ChildText(e, "StartDate"));
      if (!start) return std::nullopt;
      p.startDay = *start;
      haveRange = true;
      if (name == "EndDateRecurrence") p.endDay = ParseDate(ChildText(e, "EndDate"));
      if (name == "NumberedRecurrence") {
        p.count = std::atoi(ChildText(e, "NumberOfOccurrences").c_str());
        if (p.count < 1) return std::nullopt;
      }
    }
  }
  if (p.kind == Pattern::None || !haveRange) return std::nullopt;
  if (p.month == 0) p.month = 1;
  return p;
}

// The day of a month matching a relative pattern (weekIndex 5: the last).
std::optional<int64_t> RelativeDay(int y, unsigned m, const std::vector<int>& dayset, int index) {
  int64_t first = DayNumber(y, m, 1);
  auto ymdl = year_month_day_last(year(y), month_day_last(month(m)));
  int64_t last = DayNumber(y, m, static_cast<unsigned>(ymdl.day()));
  std::vector<int64_t> hits;
  for (int64_t d = first; d <= last; ++d)
    if (std::find(dayset.begin(), dayset.end(), Weekday(d)) != dayset.end()) hits.push_back(d);
  if (hits.empty()) return std::nullopt;
  if (index == 5) return hits.back();
  if (static_cast<size_t>(index) > hits.size()) return std::nullopt;
  return hits[static_cast<size_t>(index - 1)];
}

int64_t ClampedDay(int y, unsigned m, int dayOfMonth) {
  auto ymdl = year_month_day_last(year(y), month_day_last(month(m)));
  unsigned lastDay = static_cast<unsigned>(ymdl.day());
  return DayNumber(y, m, std::min(static_cast<unsigned>(dayOfMonth), lastDay));
}

// The local dates (day numbers) of a pattern's instances in order, while `want` accepts them.
template <typename F>
void ForEachDay(const Pattern& p, F&& want) {
  size_t produced = 0;
  auto emit = [&](int64_t d) {
    if (d < p.startDay) return true;
    if (p.endDay && d > *p.endDay) return false;
    if (p.count && produced >= static_cast<size_t>(p.count)) return false;
    if (produced >= kMaxInstances) return false;
    ++produced;
    return want(d);
  };
  const int64_t limit = p.startDay + kMaxScanDays;
  auto ymd = DateOf(p.startDay);
  const int y0 = static_cast<int>(ymd.year());
  const int m0 = static_cast<int>(static_cast<unsigned>(ymd.month()));
  switch (p.kind) {
    case Pattern::Daily:
      for (int64_t d = p.startDay; d < limit; d += p.interval)
        if (!emit(d)) return;
      return;
    case Pattern::Weekly: {
      if (p.days.empty()) return;
      int64_t weekStart = p.startDay - ((Weekday(p.startDay) - p.firstDay + 7) % 7);
      std::vector<int> offsets;
      for (int day : p.days)
        offsets.push_back((day - p.firstDay + 7) % 7);
      std::sort(offsets.begin(), offsets.end());
      for (int64_t w = weekStart; w < limit; w += 7LL * p.interval)
        for (int o : offsets)
          if (!emit(w + o)) return;
      return;
    }
    case Pattern::AbsMonthly:
    case Pattern::RelMonthly:
    case Pattern::AbsYearly:
    case Pattern::RelYearly: {
      const bool yearly = p.kind == Pattern::AbsYearly || p.kind == Pattern::RelYearly;
      const int step = yearly ? 12 * p.interval : p.interval;
      int64_t monthIndex = static_cast<int64_t>(y0) * 12 + (m0 - 1);
      if (yearly) {
        monthIndex = static_cast<int64_t>(y0) * 12 + (p.month - 1);
        if (p.month < m0) monthIndex += 12;
        monthIndex -= 12;  // the start year's month may still lie ahead of the start date
      }
      for (int guard = 0; guard < 12 * 60; ++guard, monthIndex += step) {
        int y = static_cast<int>(FloorDiv(monthIndex, 12));
        unsigned m = static_cast<unsigned>(monthIndex - static_cast<int64_t>(y) * 12 + 1);
        std::optional<int64_t> d;
        if (p.kind == Pattern::AbsMonthly || p.kind == Pattern::AbsYearly)
          d = ClampedDay(y, m, p.dayOfMonth);
        else
          d = RelativeDay(y, m, p.days, p.weekIndex);
        if (!d) continue;
        if (*d > limit) return;
        if (!emit(*d)) return;
      }
      return;
    }
    case Pattern::None:
      return;
  }
}

struct Series {
  Pattern pattern;
  std::string zone;
  int64_t timeOfDay = 0;  // local wall-clock time of the master's start, ms after midnight
  int64_t duration = 0;
};

std::optional<Series> ReadSeries(const Item& master) {
  auto p = ReadPattern(master);
  if (!p) return std::nullopt;
  auto start = ParseDateTime(master.Value("Start"));
  auto end = ParseDateTime(master.Value("End"));
  if (!start) return std::nullopt;
  Series s;
  s.pattern = *p;
  s.zone = SeriesZone(master);
  int64_t local = *start + OffsetAtUtc(s.zone, *start);
  s.timeOfDay = local - FloorDiv(local, kDayMs) * kDayMs;
  s.duration = end ? std::max<int64_t>(0, *end - *start) : 0;
  return s;
}

int64_t InstanceUtc(const Series& s, int64_t dayNumber) {
  int64_t local = dayNumber * kDayMs + s.timeOfDay;
  return local - LocalOffsetMs(s.zone, local);
}

std::vector<int64_t> DeletedStarts(const Item& master) {
  std::vector<int64_t> out;
  const Field* f = master.Get("DeletedOccurrences");
  if (!f) return out;
  for (auto& v : f->values)
    if (auto t = ParseDateTime(v)) out.push_back(*t);
  return out;
}

Occurrence MakeOccurrence(const Item& item, uint64_t id, uint64_t masterId, int index,
                          int64_t start, int64_t end, int64_t originalStart, const char* type) {
  Occurrence o;
  o.itemId = id;
  o.masterId = masterId;
  o.index = index;
  o.start = start;
  o.end = end;
  o.originalStart = originalStart;
  o.type = type;
  o.isAllDay = item.Bool("IsAllDayEvent", false);
  o.freeBusy = item.Value("LegacyFreeBusyStatus");
  if (o.freeBusy.empty()) o.freeBusy = "Busy";
  o.subject = item.Value("Subject");
  o.location = item.Value("Location");
  return o;
}

std::string OccurrenceInfoXml(const Mailbox& mbx, const Item& master, int index, int64_t start,
                              int64_t end, int64_t original) {
  std::string out = "<t:ItemId Id=\"" +
                    EncodeId(IdKind::Item, mbx.index, OccurrenceLocalId(master.id, index)) +
                    "\" ChangeKey=\"" + EncodeChangeKey(master.changeKey) + "\"/>";
  out += "<t:Start>" + FormatDateTime(start) + "</t:Start><t:End>" + FormatDateTime(end) +
         "</t:End><t:OriginalStart>" + FormatDateTime(original) + "</t:OriginalStart>";
  return out;
}

// A zone's full definition (periods and transitions) under another element name, such as
// StartTimeZone; made once per zone.
std::string ZoneElement(const std::string& element, const std::string& id) {
  static std::mutex lock;
  static std::map<std::string, std::string> cache;
  std::string def;
  {
    std::lock_guard<std::mutex> g(lock);
    if (auto it = cache.find(id); it != cache.end()) def = it->second;
  }
  if (def.empty()) {
    for (auto& z : WindowsZones())
      if (id == z.id) WriteTimeZoneDefinition(def, z, true);
    if (def.empty()) return {};
    std::lock_guard<std::mutex> g(lock);
    cache[id] = def;
  }
  const std::string open = "<t:TimeZoneDefinition", close = "</t:TimeZoneDefinition>";
  if (def.rfind(open, 0) != 0 || def.size() < close.size() ||
      def.compare(def.size() - close.size(), close.size(), close) != 0)
    return {};
  return "<t:" + element + def.substr(open.size(), def.size() - open.size() - close.size()) +
         "</t:" + element + ">";
}

std::string ZoneName(const std::string& id) {
  for (auto& z : WindowsZones())
    if (id == z.id) return z.name;
  return id;
}

}  // namespace

std::string SeriesZone(const Item& item) {
  for (const char* el : {"StartTimeZone", "MeetingTimeZone"}) {
    const Field* f = item.Get(el);
    if (!f) continue;
    pugi::xml_document doc;
    if (!doc.load_string(f->xml.c_str())) continue;
    auto root = doc.document_element();
    std::string id = Attr(root, std::string(el) == "StartTimeZone" ? "Id" : "TimeZoneName");
    if (!id.empty() && IsKnownZone(id)) return id;
  }
  return "UTC";
}

std::vector<int64_t> SeriesStarts(const Item& master, size_t limit, int64_t until) {
  std::vector<int64_t> out;
  auto s = ReadSeries(master);
  if (!s) return out;
  ForEachDay(s->pattern, [&](int64_t day) {
    int64_t t = InstanceUtc(*s, day);
    if (t >= until || out.size() >= limit) return false;
    out.push_back(t);
    return true;
  });
  return out;
}

std::optional<int64_t> InstanceStart(const Item& master, int index) {
  if (index < 1) return std::nullopt;
  auto starts = SeriesStarts(master, static_cast<size_t>(index), INT64_MAX);
  if (starts.size() < static_cast<size_t>(index)) return std::nullopt;
  return starts.back();
}

bool IsDeletedOccurrence(const Item& master, int index) {
  auto start = InstanceStart(master, index);
  if (!start) return false;
  auto deleted = DeletedStarts(master);
  return std::find(deleted.begin(), deleted.end(), *start) != deleted.end();
}

std::vector<Occurrence> ExpandCalendar(const Mailbox& mbx, const Folder& folder, int64_t from,
                                       int64_t to) {
  std::vector<Occurrence> out;
  auto overlaps = [&](int64_t s, int64_t e) {
    return s < to && (e > from || (s == e && s >= from));
  };
  for (uint64_t iid : folder.items) {
    auto it = mbx.items.find(iid);
    if (it == mbx.items.end()) continue;
    const Item& item = *it->second;
    if (item.kind != "CalendarItem" || item.Bool("IsAssociated", false)) continue;
    auto s = ParseDateTime(item.Value("Start"));
    if (!s) continue;
    auto e = ParseDateTime(item.Value("End"));
    if (!e) e = s;
    auto series = item.Get("Recurrence") ? ReadSeries(item) : std::nullopt;
    if (!series) {
      if (overlaps(*s, *e)) out.push_back(MakeOccurrence(item, item.id, 0, 0, *s, *e, 0, "Single"));
      continue;
    }
    auto deleted = DeletedStarts(item);
    int index = 0;
    ForEachDay(series->pattern, [&](int64_t day) {
      ++index;
      int64_t start = InstanceUtc(*series, day);
      // An exception may have moved anywhere; the scan goes on while unmodified instances
      // could still start before the range's end.
      if (start >= to && item.exceptions.empty()) return false;
      if (start >= to + 366 * kDayMs) return false;
      if (std::find(deleted.begin(), deleted.end(), start) != deleted.end()) return true;
      uint64_t id = OccurrenceLocalId(item.id, index);
      if (auto ex = item.exceptions.find(index); ex != item.exceptions.end()) {
        auto xs = ParseDateTime(ex->second->Value("Start")).value_or(start);
        auto xe = ParseDateTime(ex->second->Value("End")).value_or(xs);
        if (overlaps(xs, xe))
          out.push_back(
              MakeOccurrence(*ex->second, id, item.id, index, xs, xe, start, "Exception"));
        return true;
      }
      int64_t end = start + series->duration;
      if (overlaps(start, end))
        out.push_back(MakeOccurrence(item, id, item.id, index, start, end, start, "Occurrence"));
      return true;
    });
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Occurrence& a, const Occurrence& b) { return a.start < b.start; });
  return out;
}

std::shared_ptr<Item> OccurrenceItem(const Mailbox& mbx, const Item& master, int index) {
  if (!master.Get("Recurrence"))
    Fail("ErrorCalendarCannotUseIdForOccurrenceId",
         "Calendar item ID cannot be used as an occurrence ID.");
  auto start = InstanceStart(master, index);
  if (!start)
    Fail("ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange",
         "Occurrence index is out of recurrence range.");
  if (IsDeletedOccurrence(master, index))
    Fail("ErrorCalendarOccurrenceIsDeletedFromRecurrence",
         "Occurrence with this index was previously deleted from the recurrence.");
  return OccurrenceItemAt(mbx, master, index, *start);
}

std::shared_ptr<Item> OccurrenceItemAt(const Mailbox& mbx, const Item& master, int index,
                                       int64_t originalStart) {
  std::shared_ptr<Item> occ;
  if (auto ex = master.exceptions.find(index); ex != master.exceptions.end()) {
    occ = ex->second->Clone();
    occ->SetText("CalendarItemType", "Exception");
  } else {
    occ = master.Clone();
    auto s = ParseDateTime(master.Value("Start")), e = ParseDateTime(master.Value("End"));
    const int64_t duration = s && e && *e > *s ? *e - *s : 0;
    occ->SetText("Start", FormatDateTime(originalStart));
    occ->SetText("End", FormatDateTime(originalStart + duration));
    occ->SetText("CalendarItemType", "Occurrence");
  }
  occ->exceptions.clear();
  for (const char* el : {"Recurrence", "FirstOccurrence", "LastOccurrence", "ModifiedOccurrences",
                         "DeletedOccurrences"})
    occ->Erase(el);
  occ->id = OccurrenceLocalId(master.id, index);
  occ->folder = master.folder;
  occ->SetText("OriginalStart", FormatDateTime(originalStart));
  occ->SetText("RecurrenceId", FormatDateTime(originalStart));
  occ->SetText("IsRecurring", "true");
  Refresh(mbx, *occ, false);
  return occ;
}

void CheckCalendarItem(const Item& item) {
  auto s = ParseDateTime(item.Value("Start")), e = ParseDateTime(item.Value("End"));
  if (s && e && *e < *s)
    Fail("ErrorCalendarEndDateIsEarlierThanStartDate",
         "The end date is earlier than the start date.");
  if (!item.Get("Recurrence") || IsOccurrenceLocalId(item.id)) return;
  auto p = ReadPattern(item);
  const bool empty = p && ((p->kind == Pattern::Weekly && p->days.empty()) ||
                           (p->endDay && *p->endDay < p->startDay));
  if (!p || empty) Fail("ErrorCalendarInvalidRecurrence", "The recurrence pattern is invalid.");
}

void RefreshCalendar(const Mailbox& mbx, Item& item) {
  const bool occurrence = IsOccurrenceLocalId(item.id);
  const bool master = !occurrence && item.Get("Recurrence") != nullptr;
  if (!occurrence) item.SetText("CalendarItemType", master ? "RecurringMaster" : "Single");
  if (!occurrence) item.SetText("IsRecurring", BoolText(master));
  if (!item.Get("UID")) {
    // A globally unique id, stable for the item: its mailbox, local id and creation time.
    char uid[80];
    std::snprintf(uid, sizeof uid, "040000008200E00074C5B7101A82E008%08X%016llX%016llX",
                  static_cast<unsigned>(mbx.index), static_cast<unsigned long long>(item.id),
                  static_cast<unsigned long long>(item.created));
    item.SetText("UID", uid);
  }
  if (!item.Get("IsAllDayEvent")) item.SetText("IsAllDayEvent", "false");
  if (!item.Get("LegacyFreeBusyStatus")) item.SetText("LegacyFreeBusyStatus", "Busy");
  const bool meeting =
      item.Get("RequiredAttendees") || item.Get("OptionalAttendees") || item.Get("Resources");
  if (!item.Get("Organizer")) {
    item.Set("Organizer",
             Field{"<t:Organizer><t:Mailbox><t:Name>" + Escape(mbx.displayName) +
                       "</t:Name><t:EmailAddress>" + Escape(mbx.address) +
                       "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType><t:MailboxType>"
                       "Mailbox</t:MailboxType></t:Mailbox></t:Organizer>",
                   {mbx.displayName, mbx.address}});
  }
  auto organizer = RecipientsOf(item, "Organizer");
  const bool isOrganizer = organizer.empty() || EqualsNoCase(organizer.front().email, mbx.address);
  item.SetText("IsMeeting", BoolText(meeting));
  item.SetText("IsOrganizer", BoolText(isOrganizer));
  if (!item.Get("IsCancelled")) item.SetText("IsCancelled", "false");
  if (isOrganizer) item.SetText("MyResponseType", "Organizer");
  if (!item.Get("MyResponseType")) item.SetText("MyResponseType", "NoResponseReceived");
  if (!item.Get("AppointmentSequenceNumber")) item.SetText("AppointmentSequenceNumber", "0");
  if (!item.Get("MeetingRequestWasSent")) item.SetText("MeetingRequestWasSent", "false");
  if (!item.Get("IsResponseRequested")) item.SetText("IsResponseRequested", "true");
  if (!item.Get("AllowNewTimeProposal")) item.SetText("AllowNewTimeProposal", "true");
  int state = meeting ? 1 : 0;
  if (meeting && !isOrganizer) state |= 2;
  if (item.Bool("IsCancelled", false)) state |= 4;
  item.SetText("AppointmentState", std::to_string(state));
  // What the owner may do with it, as Exchange offers.
  std::string responses;
  if (item.Bool("IsCancelled", false) && !isOrganizer)
    responses = "<t:RemoveItem/>";
  else if (meeting && !isOrganizer)
    responses =
        "<t:AcceptItem/><t:TentativelyAcceptItem/><t:DeclineItem/><t:ReplyToItem/>"
        "<t:ReplyAllToItem/><t:ForwardItem/>";
  else if (meeting)
    responses = "<t:CancelCalendarItem/><t:ReplyAllToItem/><t:ForwardItem/>";
  else
    responses = "<t:ForwardItem/>";
  item.Set("ResponseObjects",
           Field{"<t:ResponseObjects>" + responses + "</t:ResponseObjects>", {}});
  // Times: duration, and the zones the times are read in.
  auto s = ParseDateTime(item.Value("Start"));
  auto e = ParseDateTime(item.Value("End"));
  if (s && e && *e >= *s) {
    int64_t secs = (*e - *s) / 1000;
    std::string d = "P";
    if (secs >= 86400) d += std::to_string(secs / 86400) + "D";
    secs %= 86400;
    if (secs || d == "P") {
      d += "T";
      if (secs / 3600) d += std::to_string(secs / 3600) + "H";
      if (secs % 3600 / 60) d += std::to_string(secs % 3600 / 60) + "M";
      if (secs % 60 || d.back() == 'T') d += std::to_string(secs % 60) + "S";
    }
    item.SetText("Duration", d);
  }
  const std::string zone = SeriesZone(item);
  const std::string name = ZoneName(zone);
  item.SetText("TimeZone", name);
  {
    // The zone for Exchange2007 clients: its name and bias (minutes west of UTC) at the start.
    int64_t bias = s ? -OffsetAtUtc(zone, *s) / 60000 : 0;
    std::string offset = bias < 0 ? "-PT" : "PT";
    bias = bias < 0 ? -bias : bias;
    offset += std::to_string(bias / 60) + "H";
    if (bias % 60) offset += std::to_string(bias % 60) + "M";
    item.Set("MeetingTimeZone",
             Field{"<t:MeetingTimeZone TimeZoneName=\"" + Escape(zone) + "\"><t:BaseOffset>" +
                       offset + "</t:BaseOffset></t:MeetingTimeZone>",
                   {zone}});
  }
  for (const char* el : {"StartTimeZone", "EndTimeZone"}) {
    std::string id = zone;
    if (const Field* f = item.Get(el)) {
      pugi::xml_document doc;
      if (doc.load_string(f->xml.c_str())) {
        std::string given = Attr(doc.document_element(), "Id");
        if (!given.empty() && IsKnownZone(given)) id = given;
      }
    }
    std::string xml = ZoneElement(el, id);
    if (xml.empty())
      xml = std::string("<t:") + el + " Name=\"" + Escape(ZoneName(id)) + "\" Id=\"" + Escape(id) +
            "\"/>";
    item.Set(el, Field{std::move(xml), {id}});
  }
  if (!master) {
    for (const char* el :
         {"FirstOccurrence", "LastOccurrence", "ModifiedOccurrences", "DeletedOccurrences"})
      item.Erase(el);
    return;
  }
  // A master: its first and last occurrences and its exceptions.
  auto series = ReadSeries(item);
  if (!series) return;
  auto deleted = DeletedStarts(item);
  std::vector<std::pair<int, int64_t>> live;
  int index = 0;
  const bool bounded = series->pattern.count > 0 || series->pattern.endDay.has_value();
  ForEachDay(series->pattern, [&](int64_t day) {
    ++index;
    int64_t start = InstanceUtc(*series, day);
    if (std::find(deleted.begin(), deleted.end(), start) == deleted.end())
      live.emplace_back(index, start);
    return bounded || live.size() < 1;
  });
  auto info = [&](int idx, int64_t original) {
    int64_t start = original, end = original + series->duration;
    if (auto ex = item.exceptions.find(idx); ex != item.exceptions.end()) {
      start = ParseDateTime(ex->second->Value("Start")).value_or(start);
      end = ParseDateTime(ex->second->Value("End")).value_or(end);
    }
    return OccurrenceInfoXml(mbx, item, idx, start, end, original);
  };
  if (!live.empty()) {
    item.Set("FirstOccurrence",
             Field{"<t:FirstOccurrence>" + info(live.front().first, live.front().second) +
                       "</t:FirstOccurrence>",
                   {}});
    if (bounded)
      item.Set("LastOccurrence",
               Field{"<t:LastOccurrence>" + info(live.back().first, live.back().second) +
                         "</t:LastOccurrence>",
                     {}});
    else
      item.Erase("LastOccurrence");
  }
  if (item.exceptions.empty()) {
    item.Erase("ModifiedOccurrences");
  } else {
    std::string xml = "<t:ModifiedOccurrences>";
    for (auto& [idx, ex] : item.exceptions) {
      auto original = InstanceStart(item, idx);
      if (original) xml += "<t:Occurrence>" + info(idx, *original) + "</t:Occurrence>";
    }
    item.Set("ModifiedOccurrences", Field{xml + "</t:ModifiedOccurrences>", {}});
  }
}

}  // namespace ewssim
