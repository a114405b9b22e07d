// The availability service: GetUserAvailability (free/busy views and meeting-time suggestions)
// and GetMailTips, computed from the mailboxes' calendars, state and configuration.
//
// Times inside the service are milliseconds since 1970-01-01 UTC. A request names the zone its
// answer is given in with a t:TimeZone (a bias and two yearly transitions); zone-less times of
// the request are wall-clock times of that zone and every time of the answer is written as that
// zone's wall-clock time with its offset. Each mailbox's working hours are kept in its own
// Windows zone (configuration) and reported with that zone's rules.
#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include "calendar.h"
#include "oof.h"
#include "ops.h"
#include "timezones.h"

namespace ewssim {

namespace {

constexpr int64_t kMinute = 60000;
constexpr int64_t kDay = 86400000;
constexpr size_t kMaxMailboxes = 100;
constexpr int64_t kMaxWindowDays = 42;

const char* const kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};

// ---- Civil dates (proleptic Gregorian, days since 1970-01-01)

int64_t DaysFrom(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilOf(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

int WeekdayOfDay(int64_t days) {  // 0 = Sunday
  return static_cast<int>(((days % 7) + 11) % 7);
}

// ---- The request's zone: bias and yearly transitions (SerializableTimeZone)

struct Transition {
  int bias = 0;  // minutes added to the zone's bias in this period
  int timeMinutes = 0;
  int dayOrder = 0;  // 1..4, 5 = last
  int month = 0;     // 0: no transition
  int dayOfWeek = 0;
};

struct RequestZone {
  int bias = 0;  // UTC = local + bias (minutes)
  Transition standard, daylight;

  bool HasDaylight() const { return standard.month != 0 && daylight.month != 0; }

  // Local midnight of the transition's date in a year, as days since 1970.
  static int64_t TransitionDay(int64_t year, const Transition& t) {
    const int64_t first = DaysFrom(year, t.month, 1);
    int64_t day = first + (t.dayOfWeek - WeekdayOfDay(first) + 7) % 7 + (t.dayOrder - 1) * 7;
    const int64_t next = t.month == 12 ? DaysFrom(year + 1, 1, 1) : DaysFrom(year, t.month + 1, 1);
    while (day >= next)
      day -= 7;
    return day;
  }

  // Minutes east of UTC at an instant.
  int OffsetAt(int64_t utc) const {
    if (!HasDaylight()) return -(bias + standard.bias);
    int64_t year;
    int m, d;
    CivilOf(FloorDiv(utc - bias * kMinute, kDay), year, m, d);
    // Daylight begins at a standard wall-clock time and ends at a daylight one.
    const int64_t toDaylight = TransitionDay(year, daylight) * kDay +
                               daylight.timeMinutes * kMinute + (bias + standard.bias) * kMinute;
    const int64_t toStandard = TransitionDay(year, standard) * kDay +
                               standard.timeMinutes * kMinute + (bias + daylight.bias) * kMinute;
    const bool inDaylight = toDaylight < toStandard ? utc >= toDaylight && utc < toStandard
                                                    : utc >= toDaylight || utc < toStandard;
    return -(bias + (inDaylight ? daylight.bias : standard.bias));
  }

  // The instant of a wall-clock time of this zone.
  int64_t ToUtc(int64_t local) const {
    int64_t utc = local - OffsetAt(local) * kMinute;
    return local - OffsetAt(utc) * kMinute;
  }
};

int IntText(const pugi::xml_node& n, std::string_view child) {
  const std::string text = ChildText(n, child);
  try {
    return text.empty() ? 0 : std::stoi(text);
  } catch (const std::exception&) {
    FailCode("ErrorInvalidRequest");
  }
}

Transition ReadTransition(const pugi::xml_node& n) {
  Transition t;
  if (!n) return t;
  t.bias = IntText(n, "Bias");
  const std::string time = ChildText(n, "Time");
  int h = 0, mi = 0, s = 0;
  if (std::sscanf(time.c_str(), "%d:%d:%d", &h, &mi, &s) >= 2) t.timeMinutes = h * 60 + mi;
  t.dayOrder = std::clamp(IntText(n, "DayOrder"), 1, 5);
  t.month = IntText(n, "Month");
  if (t.month < 0 || t.month > 12) FailCode("ErrorInvalidRequest");
  const std::string dow = ChildText(n, "DayOfWeek");
  for (int i = 0; i < 7; ++i)
    if (dow == kDayNames[i]) t.dayOfWeek = i;
  return t;
}

// The zone of the request: its t:TimeZone, else the TimeZoneContext header's zone, else UTC.
struct AnswerZone {
  std::optional<RequestZone> serial;
  std::string windowsId;
  int OffsetAt(int64_t utc) const;
  int64_t ToUtc(int64_t local) const {
    if (serial) return serial->ToUtc(local);
    return windowsId.empty() ? local : local - LocalOffsetMs(windowsId, local);
  }
};

// ---- Windows zones through ICU

// Minutes east of UTC of a Windows zone at an instant (UTC when unknown).
int ZoneOffsetAt(const std::string& windowsId, int64_t utc) {
  const icu::BasicTimeZone* zone = ZoneFor(windowsId);
  if (!zone) return 0;
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone->getOffset(static_cast<UDate>(utc), false, raw, dst, status);
  return U_SUCCESS(status) ? static_cast<int>((raw + dst) / kMinute) : 0;
}

int AnswerZone::OffsetAt(int64_t utc) const {
  if (serial) return serial->OffsetAt(utc);
  return windowsId.empty() ? 0 : ZoneOffsetAt(windowsId, utc);
}

Transition FromIcuRule(const icu::AnnualTimeZoneRule* rule, int32_t raw, int32_t savingsBefore) {
  Transition t;
  if (!rule) return t;
  const icu::DateTimeRule* dt = rule->getRule();
  int64_t wall = dt->getRuleMillisInDay();
  if (dt->getTimeRuleType() == icu::DateTimeRule::UTC_TIME) wall += raw + savingsBefore;
  if (dt->getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) wall += savingsBefore;
  t.timeMinutes = static_cast<int>(wall / kMinute);
  t.month = dt->getRuleMonth() + 1;
  t.dayOfWeek = dt->getRuleDayOfWeek() - 1;
  switch (dt->getDateRuleType()) {
    case icu::DateTimeRule::DOW:
      t.dayOrder = dt->getRuleWeekInMonth() < 0 ? 5 : dt->getRuleWeekInMonth();
      break;
    case icu::DateTimeRule::DOW_GEQ_DOM:
      t.dayOrder = (dt->getRuleDayOfMonth() - 1) / 7 + 1;
      break;
    case icu::DateTimeRule::DOW_LEQ_DOM:
      t.dayOrder = dt->getRuleDayOfMonth() >= 28 ? 5 : dt->getRuleDayOfMonth() / 7;
      break;
    default:
      t.dayOfWeek = 0;
      t.dayOrder = (dt->getRuleDayOfMonth() - 1) / 7 + 1;
  }
  t.dayOrder = std::clamp(t.dayOrder, 1, 5);
  t.bias = -static_cast<int>(rule->getDSTSavings() / kMinute);
  return t;
}

// A Windows zone as a bias and this year's transitions.
RequestZone SerializableZone(const std::string& windowsId, int64_t now) {
  RequestZone z;
  z.standard = {0, 3 * 60, 5, 0, 0};
  z.daylight = {0, 2 * 60, 5, 0, 0};
  const icu::BasicTimeZone* zone = ZoneFor(windowsId);
  if (!zone) return z;
  icu::InitialTimeZoneRule* initial = nullptr;
  icu::AnnualTimeZoneRule* standard = nullptr;
  icu::AnnualTimeZoneRule* daylight = nullptr;
  UErrorCode status = U_ZERO_ERROR;
  zone->getSimpleRulesNear(static_cast<UDate>(now), initial, standard, daylight, status);
  if (U_SUCCESS(status) && initial) {
    z.bias = -static_cast<int>(initial->getRawOffset() / kMinute);
    if (standard && daylight) {
      z.standard = FromIcuRule(standard, initial->getRawOffset(), daylight->getDSTSavings());
      z.daylight = FromIcuRule(daylight, initial->getRawOffset(), 0);
    }
  } else {
    z.bias = -ZoneOffsetAt(windowsId, now);
  }
  delete initial;
  delete standard;
  delete daylight;
  return z;
}

void WriteTransition(std::string& out, const char* name, const Transition& t) {
  char time[16];
  std::snprintf(time, sizeof time, "%02d:%02d:00", t.timeMinutes / 60 % 24, t.timeMinutes % 60);
  out += std::string("<t:") + name + "><t:Bias>" + std::to_string(t.bias) + "</t:Bias><t:Time>" +
         time + "</t:Time><t:DayOrder>" + std::to_string(t.dayOrder) + "</t:DayOrder><t:Month>" +
         std::to_string(t.month) + "</t:Month><t:DayOfWeek>" + kDayNames[t.dayOfWeek] +
         "</t:DayOfWeek></t:" + name + ">";
}

// A wall-clock time of the answer's zone with its offset ("2026-12-07T09:00:00+01:00").
std::string LocalText(int64_t utc, const AnswerZone& zone) {
  const int offset = zone.OffsetAt(utc);
  std::string text = FormatDateTime(utc + offset * kMinute);
  text.pop_back();  // the Z
  if (offset == 0) return text + "Z";
  char buf[24];
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                std::abs(offset) % 60);
  return text + buf;
}

bool HasZone(std::string_view s) {
  return s.size() > 19 && (s.back() == 'Z' || s[s.size() - 6] == '+' || s[s.size() - 6] == '-');
}

int64_t RequestTime(const pugi::xml_node& n, const AnswerZone& zone) {
  const std::string text = Text(n);
  auto t = ParseDateTime(text);
  if (!t) FailCode("ErrorInvalidRequest");
  return HasZone(text) ? *t : zone.ToUtc(*t);
}

// ---- Calendars

// One stretch of a mailbox's calendar with its free/busy status.
struct BusyEvent {
  uint64_t itemId = 0;
  int64_t start = 0, end = 0;
  std::string freeBusy;  // Free, Tentative, Busy, OOF, WorkingElsewhere, NoData
  std::string subject, location;
  bool isMeeting = false, isRecurring = false, isException = false, isReminderSet = false,
       isPrivate = false;
};

// The appearances of a mailbox's calendar overlapping [from, to), in start order: single items,
// and the occurrences and exceptions of recurring series (the calendar engine's expansion). The
// meeting, reminder and privacy flags come from the item shown: the exception when the
// occurrence was modified, else the series' master.
std::vector<BusyEvent> BusyEventsInWindow(const Mailbox& mbx, int64_t from, int64_t to) {
  std::vector<BusyEvent> events;
  auto it = mbx.distinguished.find("calendar");
  if (it == mbx.distinguished.end()) return events;
  auto folder = mbx.folders.find(it->second);
  if (folder == mbx.folders.end()) return events;
  for (const Occurrence& o : ExpandCalendar(mbx, folder->second, from, to)) {
    auto found = mbx.items.find(o.masterId ? o.masterId : o.itemId);
    if (found == mbx.items.end()) continue;
    const Item* item = found->second.get();
    if (auto ex = item->exceptions.find(o.index); o.masterId && ex != item->exceptions.end())
      item = ex->second.get();
    BusyEvent e;
    e.itemId = o.itemId;
    e.start = o.start;
    e.end = std::max(o.end, o.start);
    e.freeBusy = o.freeBusy;
    e.subject = o.subject;
    e.location = o.location;
    e.isMeeting = item->Bool("IsMeeting", false);
    e.isRecurring = o.masterId != 0;
    e.isException = o.type == "Exception";
    e.isReminderSet = item->Bool("ReminderIsSet", false);
    e.isPrivate = item->Value("Sensitivity") == "Private";
    events.push_back(std::move(e));
  }
  std::stable_sort(events.begin(), events.end(), [](const BusyEvent& a, const BusyEvent& b) {
    return a.start != b.start ? a.start < b.start : a.itemId < b.itemId;
  });
  return events;
}

// The digit of a status in a merged free/busy string and its weight when stretches overlap
// (out of office over busy over tentative over working elsewhere over free).
char StatusDigit(const std::string& status) {
  if (status == "Tentative") return '1';
  if (status == "Busy") return '2';
  if (status == "OOF") return '3';
  if (status == "WorkingElsewhere") return '4';
  if (status == "NoData") return '5';
  return '0';
}
int StatusWeight(char digit) {
  static const int weights[] = {0, 2, 3, 4, 1, 0};
  return digit >= '0' && digit <= '5' ? weights[digit - '0'] : 0;
}

std::string MergedString(const std::vector<BusyEvent>& events, int64_t from, int64_t to,
                         int64_t interval) {
  std::string merged;
  for (int64_t s = from; s < to; s += interval) {
    char digit = '0';
    for (const auto& e : events)
      if (e.start < s + interval && e.end > s) {
        const char d = StatusDigit(e.freeBusy);
        if (StatusWeight(d) > StatusWeight(digit)) digit = d;
      }
    merged += digit;
  }
  return merged;
}

const UserConfig* UserOf(const Config& config, const std::string& address) {
  for (const auto& u : config.users)
    if (EqualsNoCase(u.address, address)) return &u;
  return nullptr;
}

bool MaySeeDetails(const UserConfig* owner, const std::string& requester) {
  if (!owner) return false;
  if (EqualsNoCase(owner->address, requester)) return true;
  for (const auto& a : owner->calendarDetails)
    if (a == "*" || EqualsNoCase(a, requester)) return true;
  return false;
}

WorkingHoursConfig HoursOf(const UserConfig* user) {
  return user ? user->workingHours : WorkingHoursConfig{};
}

// Whether [start, end) lies inside a mailbox's working hours (in its own zone, on one day).
bool InWorkingHours(const WorkingHoursConfig& hours, int64_t start, int64_t end) {
  const int64_t local = start + ZoneOffsetAt(hours.timeZone, start) * kMinute;
  const int64_t day = FloorDiv(local, kDay);
  const int64_t minutes = (local - day * kDay) / kMinute;
  const int64_t length = (end - start) / kMinute;
  const std::string weekday = kDayNames[WeekdayOfDay(day)];
  const bool working = std::any_of(hours.days.begin(), hours.days.end(), [&](const auto& d) {
    return d == weekday || d == "Day" ||
           (d == "Weekday" && weekday != "Saturday" && weekday != "Sunday") ||
           (d == "WeekendDay" && (weekday == "Saturday" || weekday == "Sunday"));
  });
  return working && minutes >= hours.startMinutes && minutes + length <= hours.endMinutes;
}

void WriteWorkingHours(std::string& out, const WorkingHoursConfig& hours, int64_t now) {
  const RequestZone z = SerializableZone(hours.timeZone, now);
  out += "<t:WorkingHours><t:TimeZone><t:Bias>" + std::to_string(z.bias) + "</t:Bias>";
  WriteTransition(out, "StandardTime", z.standard);
  WriteTransition(out, "DaylightTime", z.daylight);
  out += "</t:TimeZone><t:WorkingPeriodArray><t:WorkingPeriod><t:DayOfWeek>";
  for (size_t i = 0; i < hours.days.size(); ++i)
    out += (i ? " " : "") + Escape(hours.days[i]);
  out += "</t:DayOfWeek><t:StartTimeInMinutes>" + std::to_string(hours.startMinutes) +
         "</t:StartTimeInMinutes><t:EndTimeInMinutes>" + std::to_string(hours.endMinutes) +
         "</t:EndTimeInMinutes></t:WorkingPeriod></t:WorkingPeriodArray></t:WorkingHours>";
}

// ---- GetUserAvailability

struct Attendee {
  std::string address;
  std::string type;  // Organizer, Required, Optional, Room, Resource
  Mailbox* mailbox = nullptr;
  const UserConfig* user = nullptr;
};

void WriteFreeBusy(Ctx& c, const Attendee& a, const pugi::xml_node& options, const AnswerZone& zone,
                   const std::string& requester) {
  c.out += "<m:FreeBusyResponse>";
  if (!a.mailbox) {
    c.out +=
        "<m:ResponseMessage ResponseClass=\"Error\"><m:MessageText>Unable to resolve e-mail "
        "address " +
        Escape(a.address) +
        " to an Active Directory object.</m:MessageText><m:ResponseCode>"
        "ErrorMailRecipientNotFound</m:ResponseCode><m:DescriptiveLinkKey>0</"
        "m:DescriptiveLinkKey></m:ResponseMessage><m:FreeBusyView><t:FreeBusyViewType>None</"
        "t:FreeBusyViewType></m:FreeBusyView></m:FreeBusyResponse>";
    return;
  }
  auto window = Child(options, "TimeWindow");
  const int64_t from = RequestTime(Child(window, "StartTime"), zone);
  const int64_t to = RequestTime(Child(window, "EndTime"), zone);
  std::string view = ChildText(options, "RequestedView");
  if (view.empty()) view = "FreeBusy";
  const std::string intervalText = ChildText(options, "MergedFreeBusyIntervalInMinutes");
  const int64_t interval = intervalText.empty() ? 30 : std::stoll(intervalText);
  // Details only for those the calendar's owner lets see them; the others get the plain view.
  const bool details = MaySeeDetails(a.user, requester);
  if (!details && view == "Detailed") view = "FreeBusy";
  if (!details && view == "DetailedMerged") view = "FreeBusyMerged";
  const bool merged = view == "MergedOnly" || view == "FreeBusyMerged" || view == "DetailedMerged";
  const bool withEvents = view != "MergedOnly";
  const auto events = BusyEventsInWindow(*a.mailbox, from, to);
  c.out +=
      "<m:ResponseMessage ResponseClass=\"Success\"><m:ResponseCode>NoError</m:ResponseCode>"
      "</m:ResponseMessage><m:FreeBusyView><t:FreeBusyViewType>" +
      view + "</t:FreeBusyViewType>";
  if (merged)
    c.out += "<t:MergedFreeBusy>" + MergedString(events, from, to, interval * kMinute) +
             "</t:MergedFreeBusy>";
  if (withEvents) {
    c.out += "<t:CalendarEventArray>";
    for (const auto& e : events) {
      if (e.freeBusy == "Free") continue;
      c.out += "<t:CalendarEvent><t:StartTime>" + LocalText(e.start, zone) +
               "</t:StartTime><t:EndTime>" + LocalText(e.end, zone) + "</t:EndTime><t:BusyType>" +
               e.freeBusy + "</t:BusyType>";
      if (view == "Detailed" || view == "DetailedMerged") {
        const bool hidden = e.isPrivate && !EqualsNoCase(a.mailbox->address, requester);
        c.out += "<t:CalendarEventDetails><t:ID>" +
                 HexEncode(EncodeId(IdKind::Item, a.mailbox->index, e.itemId)) + "</t:ID>";
        if (!hidden)
          c.out += "<t:Subject>" + Escape(e.subject) + "</t:Subject><t:Location>" +
                   Escape(e.location) + "</t:Location>";
        c.out += "<t:IsMeeting>" + BoolText(e.isMeeting) + "</t:IsMeeting><t:IsRecurring>" +
                 BoolText(e.isRecurring) + "</t:IsRecurring><t:IsException>" +
                 BoolText(e.isException) + "</t:IsException><t:IsReminderSet>" +
                 BoolText(e.isReminderSet) + "</t:IsReminderSet><t:IsPrivate>" +
                 BoolText(e.isPrivate) + "</t:IsPrivate></t:CalendarEventDetails>";
      }
      c.out += "</t:CalendarEvent>";
    }
    c.out += "</t:CalendarEventArray>";
  }
  WriteWorkingHours(c.out, HoursOf(a.user), from);
  c.out += "</m:FreeBusyView></m:FreeBusyResponse>";
}

const char* const kQualities[] = {"Excellent", "Good", "Fair", "Poor"};

int QualityRank(const std::string& text, int fallback) {
  for (int i = 0; i < 4; ++i)
    if (text == kQualities[i]) return i;
  return fallback;
}

int IntOption(const pugi::xml_node& n, std::string_view child, int fallback) {
  const std::string text = ChildText(n, child);
  return text.empty() ? fallback : IntText(n, child);
}

// Meeting-time suggestions: every half hour of the window, each attendee's status over the
// meeting; a slot's quality is the share of attendees free (all: Excellent, at least the good
// threshold: Good, some: Fair, none: Poor). Slots inside every attendee's working hours come
// first; others only up to the day's non-work-hour allowance.
void WriteSuggestions(Ctx& c, const std::vector<Attendee>& attendees, const pugi::xml_node& options,
                      const AnswerZone& zone) {
  auto window = Child(options, "DetailedSuggestionsWindow");
  const int64_t from = RequestTime(Child(window, "StartTime"), zone);
  const int64_t to = RequestTime(Child(window, "EndTime"), zone);
  const int64_t duration = IntOption(options, "MeetingDurationInMinutes", 30) * kMinute;
  const int good = IntOption(options, "GoodThreshold", 25);
  const int perDay = IntOption(options, "MaximumResultsByDay", 10);
  const int nonWorkPerDay = IntOption(options, "MaximumNonWorkHourResultsByDay", 0);
  const int minimum = QualityRank(ChildText(options, "MinimumSuggestionQuality"), 2);
  if (to <= from || duration <= 0 || good < 1 || good > 49 || perDay < 0 || perDay > 48 ||
      nonWorkPerDay < 0 || nonWorkPerDay > 48)
    FailCode("ErrorInvalidRequest");
  std::vector<std::vector<BusyEvent>> calendars;
  for (const auto& a : attendees)
    calendars.push_back(a.mailbox ? BusyEventsInWindow(*a.mailbox, from, to + duration)
                                  : std::vector<BusyEvent>{});
  struct Slot {
    int64_t start;
    int quality;
    bool work;
    std::vector<std::string> status;  // per attendee; empty for unknown ones
  };
  c.out +=
      "<m:SuggestionsResponse><m:ResponseMessage ResponseClass=\"Success\"><m:ResponseCode>"
      "NoError</m:ResponseCode></m:ResponseMessage><m:SuggestionDayResultArray>";
  int64_t dayLocal = FloorDiv(from + zone.OffsetAt(from) * kMinute, kDay) * kDay;
  for (; zone.ToUtc(dayLocal) < to; dayLocal += kDay) {
    const int64_t dayStart = zone.ToUtc(dayLocal), dayEnd = zone.ToUtc(dayLocal + kDay);
    std::vector<Slot> slots;
    for (int64_t s = std::max(dayStart, from); s < dayEnd && s + duration <= to;
         s += 30 * kMinute) {
      Slot slot{s, 3, true, {}};
      int known = 0, free = 0;
      for (size_t i = 0; i < attendees.size(); ++i) {
        if (!attendees[i].mailbox) {
          slot.status.emplace_back();
          continue;
        }
        char digit = '0';
        for (const auto& e : calendars[i])
          if (e.start < s + duration && e.end > s &&
              StatusWeight(StatusDigit(e.freeBusy)) > StatusWeight(digit))
            digit = StatusDigit(e.freeBusy);
        static const char* const names[] = {"Free", "Tentative",        "Busy",
                                            "OOF",  "WorkingElsewhere", "NoData"};
        slot.status.emplace_back(names[digit - '0']);
        ++known;
        if (digit == '0' || digit == '4') ++free;
        if (!InWorkingHours(HoursOf(attendees[i].user), s, s + duration)) slot.work = false;
      }
      const int share = known ? free * 100 / known : 0;
      slot.quality = known && free == known ? 0 : share >= good ? 1 : free > 0 ? 2 : 3;
      if (slot.quality <= minimum) slots.push_back(std::move(slot));
    }
    // Best first within work time and without, then each kept share back in time order.
    std::stable_sort(slots.begin(), slots.end(),
                     [](const Slot& a, const Slot& b) { return a.quality < b.quality; });
    std::vector<const Slot*> kept;
    int work = 0, nonWork = 0;
    for (const auto& s : slots) {
      if (s.work ? work++ < perDay : nonWork++ < nonWorkPerDay) kept.push_back(&s);
    }
    std::sort(kept.begin(), kept.end(),
              [](const Slot* a, const Slot* b) { return a->start < b->start; });
    int dayQuality = 3;
    for (const Slot* s : kept)
      dayQuality = std::min(dayQuality, s->quality);
    c.out += "<t:SuggestionDayResult><t:Date>" + LocalText(dayStart, zone) +
             "</t:Date><t:DayQuality>" + kQualities[dayQuality] +
             "</t:DayQuality><t:SuggestionArray>";
    for (const Slot* s : kept) {
      c.out += "<t:Suggestion><t:MeetingTime>" + LocalText(s->start, zone) +
               "</t:MeetingTime><t:IsWorkTime>" + BoolText(s->work) +
               "</t:IsWorkTime><t:SuggestionQuality>" + kQualities[s->quality] +
               "</t:SuggestionQuality><t:AttendeeConflictDataArray>";
      for (const auto& status : s->status)
        c.out += status.empty() ? "<t:UnknownAttendeeConflictData/>"
                                : "<t:IndividualAttendeeConflictData><t:BusyType>" + status +
                                      "</t:BusyType></t:IndividualAttendeeConflictData>";
      c.out += "</t:AttendeeConflictDataArray></t:Suggestion>";
    }
    c.out += "</t:SuggestionArray></t:SuggestionDayResult>";
  }
  c.out += "</m:SuggestionDayResultArray></m:SuggestionsResponse>";
}

void CheckWindow(const pugi::xml_node& window, const AnswerZone& zone) {
  const int64_t from = RequestTime(Child(window, "StartTime"), zone);
  const int64_t to = RequestTime(Child(window, "EndTime"), zone);
  if (to <= from)
    Fail("ErrorInvalidTimeInterval",
         "The specified time interval is invalid: the start time "
         "must be earlier than the end time.");
  if (to - from > kMaxWindowDays * kDay)
    Fail("ErrorTimeIntervalTooBig", "The time window is larger than the allowed limit of 42 days.");
}

void GetUserAvailability(Ctx& c) {
  AnswerZone zone;
  zone.windowsId = c.pctx.timeZone;
  if (auto tz = Child(c.op, "TimeZone")) {
    RequestZone z;
    z.bias = IntText(tz, "Bias");
    z.standard = ReadTransition(Child(tz, "StandardTime"));
    z.daylight = ReadTransition(Child(tz, "DaylightTime"));
    zone.serial = z;
  }
  std::vector<Attendee> attendees;
  for (auto data : Children(Child(c.op, "MailboxDataArray"), "MailboxData")) {
    Attendee a;
    a.address = ChildText(Child(data, "Email"), "Address");
    if (a.address.size() > 5 && EqualsNoCase(a.address.substr(0, 5), "smtp:"))
      a.address = a.address.substr(5);
    a.type = ChildText(data, "AttendeeType");
    a.mailbox = c.store.Find(a.address);
    a.user = UserOf(c.config, a.address);
    attendees.push_back(std::move(a));
  }
  if (attendees.size() > kMaxMailboxes)
    Fail("ErrorMailboxDataArrayTooBig",
         "The number of mailboxes requested exceeds the allowed limit of 100.");
  auto freeBusy = Child(c.op, "FreeBusyViewOptions");
  auto suggestions = Child(c.op, "SuggestionsViewOptions");
  if (!freeBusy && !suggestions) FailCode("ErrorInvalidRequest");
  if (freeBusy) {
    CheckWindow(Child(freeBusy, "TimeWindow"), zone);
    const std::string interval = ChildText(freeBusy, "MergedFreeBusyIntervalInMinutes");
    if (!interval.empty()) {
      const int minutes = IntText(freeBusy, "MergedFreeBusyIntervalInMinutes");
      if (minutes < 5 || minutes > 1440)
        Fail("ErrorInvalidMergedFreeBusyInterval",
             "The merged free/busy interval must be between 5 and 1440 minutes.");
    }
    const std::string view = ChildText(freeBusy, "RequestedView");
    if (view == "None" || view.find(' ') != std::string::npos)
      Fail("ErrorInvalidFreeBusyViewType", "The requested free/busy view type is invalid.");
  }
  if (suggestions) CheckWindow(Child(suggestions, "DetailedSuggestionsWindow"), zone);
  const std::string requester = c.self ? c.self->address : std::string();
  c.out += std::string("<m:GetUserAvailabilityResponse xmlns:m=\"") + kNsMessages +
           "\" xmlns:t=\"" + kNsTypes + "\">";
  if (freeBusy) {
    c.out += "<m:FreeBusyResponseArray>";
    for (const auto& a : attendees)
      WriteFreeBusy(c, a, freeBusy, zone, requester);
    c.out += "</m:FreeBusyResponseArray>";
  }
  if (suggestions) WriteSuggestions(c, attendees, suggestions, zone);
  c.out += "</m:GetUserAvailabilityResponse>";
}

// ---- GetMailTips

std::string DomainOf(const std::string& address) {
  auto at = address.rfind('@');
  return at == std::string::npos ? std::string() : Lower(address.substr(at + 1));
}

// The out-of-office reply a mailbox would send the requester now, as its automatic reply would:
// the internal reply to senders of the mailbox's own domain, the external one to others when the
// external audience (as far as the administrator allows it) takes them in. With its window when
// the absence is scheduled.
struct OofTip {
  std::string reply, lang;
  std::optional<std::pair<int64_t, int64_t>> window;
};
std::optional<OofTip> OutOfOfficeTip(const Mailbox& mbx, const std::string& requester,
                                     int64_t now) {
  const OofSettings& s = OofOf(mbx);
  if (!s.InForce(now)) return std::nullopt;
  OofTip tip;
  if (DomainOf(requester) == DomainOf(mbx.address)) {
    tip.reply = s.internalReply;
    tip.lang = s.internalLang;
  } else {
    const auto audience = std::min(s.externalAudience, s.allowExternal);
    if (audience == OofSettings::Audience::None ||
        (audience == OofSettings::Audience::Known && !IsKnownSender(mbx, requester)))
      return std::nullopt;
    tip.reply = s.externalReply;
    tip.lang = s.externalLang;
  }
  if (s.state == OofSettings::State::Scheduled) tip.window = {s.start, s.end};
  return tip;
}

// The member counts of a distribution group (people with nested groups expanded; those outside
// the organisation's domains), or none when the address is not a group.
std::optional<std::pair<int, int>> GroupMemberCounts(const Config& config,
                                                     const std::string& address,
                                                     const std::vector<std::string>& domains) {
  const GroupConfig* group = GroupOf(config, address);
  if (!group) return std::nullopt;
  const auto people = GroupPeople(config, *group);
  const auto external = std::count_if(people.begin(), people.end(), [&](const std::string& p) {
    return std::find(domains.begin(), domains.end(), DomainOf(p)) == domains.end();
  });
  return std::pair<int, int>(static_cast<int>(people.size()), static_cast<int>(external));
}

long long MailboxSize(const Mailbox& mbx) {
  long long total = 0;
  for (const auto& [id, item] : mbx.items) {
    const std::string size = item->Value("Size");
    if (!size.empty()) total += std::stoll(size);
  }
  return total;
}

void GetMailTips(Ctx& c) {
  std::string requested = ChildText(c.op, "MailTipsRequested");
  auto wants = [&](const char* tip) {
    return requested.find("All") != std::string::npos || requested.find(tip) != std::string::npos;
  };
  std::vector<std::string> domains;
  for (const auto& u : c.config.users)
    domains.push_back(DomainOf(u.address));
  const int64_t now = NowMs();
  // The tips are those a message from the sender (SendingAs, else the requester) would meet.
  std::string requester = ChildText(Child(c.op, "SendingAs"), "EmailAddress");
  if (requester.empty() && c.self) requester = c.self->address;
  c.out += std::string("<m:GetMailTipsResponse xmlns:m=\"") + kNsMessages + "\" xmlns:t=\"" +
           kNsTypes +
           "\" ResponseClass=\"Success\"><m:ResponseCode>NoError</m:ResponseCode>"
           "<m:ResponseMessages>";
  for (auto mailbox : Children(Child(c.op, "Recipients"), "Mailbox")) {
    const std::string address = ChildText(mailbox, "EmailAddress");
    const auto at = address.find('@');
    const bool wellFormed = at != std::string::npos && at > 0 && at + 1 < address.size();
    c.out += "<m:MailTipsResponseMessageType ResponseClass=\"";
    if (!wellFormed) {
      c.out +=
          "Error\"><m:MessageText>The e-mail address is not valid.</m:MessageText><m:ResponseCode>"
          "ErrorInvalidSmtpAddress</m:ResponseCode><m:DescriptiveLinkKey>0</m:DescriptiveLinkKey>"
          "</m:MailTipsResponseMessageType>";
      continue;
    }
    c.out += "Success\"><m:ResponseCode>NoError</m:ResponseCode><m:MailTips>";
    c.out += "<t:RecipientAddress><t:EmailAddress>" + Escape(address) +
             "</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType></t:RecipientAddress>"
             "<t:PendingMailTips/>";
    const Mailbox* m = c.store.Find(address);
    const UserConfig* user = UserOf(c.config, address);
    const auto group = GroupMemberCounts(c.config, address, domains);
    const bool internal =
        std::find(domains.begin(), domains.end(), DomainOf(address)) != domains.end();
    if (m && wants("OutOfOfficeMessage")) {
      auto oof = OutOfOfficeTip(*m, requester, now);
      c.out += "<t:OutOfOffice><t:ReplyBody";
      if (oof && !oof->lang.empty()) c.out += " xml:lang=\"" + Escape(oof->lang) + "\"";
      c.out += "><t:Message>" + Escape(oof ? oof->reply : "") + "</t:Message></t:ReplyBody>";
      if (oof && oof->window)
        c.out += "<t:Duration><t:StartTime>" + FormatDateTime(oof->window->first) +
                 "</t:StartTime><t:EndTime>" + FormatDateTime(oof->window->second) +
                 "</t:EndTime></t:Duration>";
      c.out += "</t:OutOfOffice>";
    }
    if (m && wants("MailboxFullStatus")) {
      const bool full =
          user && user->mailTips.quotaBytes > 0 && MailboxSize(*m) >= user->mailTips.quotaBytes;
      c.out += "<t:MailboxFull>" + BoolText(full) + "</t:MailboxFull>";
    }
    if (user && !user->mailTips.customMailTip.empty() && wants("CustomMailTip"))
      c.out += "<t:CustomMailTip>" + Escape(user->mailTips.customMailTip) + "</t:CustomMailTip>";
    if (group && wants("TotalMemberCount"))
      c.out += "<t:TotalMemberCount>" + std::to_string(group->first) + "</t:TotalMemberCount>";
    if (group && wants("ExternalMemberCount"))
      c.out +=
          "<t:ExternalMemberCount>" + std::to_string(group->second) + "</t:ExternalMemberCount>";
    if (wants("MaxMessageSize"))
      c.out +=
          "<t:MaxMessageSize>" + std::to_string(c.config.maxMessageSize) + "</t:MaxMessageSize>";
    if (wants("DeliveryRestriction"))
      c.out += "<t:DeliveryRestricted>" + BoolText(user && user->mailTips.deliveryRestricted) +
               "</t:DeliveryRestricted>";
    if (wants("ModerationStatus"))
      c.out += "<t:IsModerated>" + BoolText(user && user->mailTips.moderated) + "</t:IsModerated>";
    if (wants("InvalidRecipient"))
      c.out +=
          "<t:InvalidRecipient>" + BoolText(internal && !m && !group) + "</t:InvalidRecipient>";
    // Scope: 1 for a recipient inside the organisation, 2 for one outside it.
    if (wants("Scope")) c.out += "<t:Scope>" + std::string(internal ? "1" : "2") + "</t:Scope>";
    c.out += "</m:MailTips></m:MailTipsResponseMessageType>";
  }
  c.out += "</m:ResponseMessages></m:GetMailTipsResponse>";
}

}  // namespace

void RegisterAvailabilityOps(OpTable& t) {
  t["GetUserAvailabilityRequest"] = {GetUserAvailability, false, true};
  t["GetMailTips"] = {GetMailTips, false, true};
}

}  // namespace ewssim
