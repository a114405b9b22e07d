// The availability commands: freebusy (everyone's day as a timeline in the terminal, as SVG or
// as JSON), suggest (the best meeting times), mailtips and convertid.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>

#include "DvTimeZone.h"
#include "ews_context.h"
#include "uDvEWSAvailability.h"

namespace ewscli {
namespace {

constexpr std::int64_t kMinuteMs = 60000;
constexpr std::int64_t kDayMs = 86400000;

// ---- Times in the chosen zone

struct Zone {
  std::string id;  // IANA
  dv::TDvTimeZoneInformation info;

  int Offset(std::int64_t utc) const {
    return info.OffsetAt(dv::TDateTime::FromUnixMilliseconds(utc));
  }
  std::int64_t Local(std::int64_t utc) const { return utc + Offset(utc) * kMinuteMs; }
  std::int64_t Utc(std::int64_t local) const {
    return info.LocalToUTC(dv::TDateTime::FromUnixMilliseconds(local)).ToUnixMilliseconds();
  }
  // "2026-12-07T09:00:00+01:00"
  std::string Iso(std::int64_t utc) const {
    const int off = Offset(utc);
    std::string text = dv::DvDateTimeToXML(dv::TDateTime::FromUnixMilliseconds(Local(utc)));
    text.pop_back();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", off < 0 ? '-' : '+', std::abs(off) / 60,
                  std::abs(off) % 60);
    return text + buf;
  }
  // "Mon 2026-12-07 09:00"
  std::string Text(std::int64_t utc) const {
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    const std::int64_t local = Local(utc);
    int y, mo, d, h, mi, s, ms;
    dv::TDateTime::FromUnixMilliseconds(local).Decode(y, mo, d, h, mi, s, ms);
    const std::int64_t day = local >= 0 ? local / kDayMs : (local - kDayMs + 1) / kDayMs;
    char buf[40];
    std::snprintf(buf, sizeof buf, "%s %04d-%02d-%02d %02d:%02d", days[((day % 7) + 11) % 7], y, mo,
                  d, h, mi);
    return buf;
  }
};

Zone ZoneOf(const std::string& tz) {
  Zone z;
  z.id = tz.empty() ? dv::DvLocalTimeZoneId() : tz;
  if (!tz.empty() && tz != "UTC" && tz != "Etc/UTC" && dv::DvWindowsTimeZoneId(tz).empty())
    Usage("--tz: unknown time zone \"" + tz + "\" (an IANA name such as Europe/Berlin)");
  z.info = dv::DvTimeZoneInformation(z.id, dv::TDateTime::NowUTC());
  return z;
}

// "2026-12-07" or "2026-12-07T09:30" (or with a space) as a wall-clock time of the zone.
std::int64_t ParseLocal(const std::string& option, const std::string& text, const Zone& zone) {
  std::smatch m;
  static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2}))?)");
  if (!std::regex_match(text, m, form)) Usage(option + ": expected YYYY-MM-DD[THH:MM]");
  try {
    const auto local = dv::TDateTime::Encode(std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]),
                                             m[4].matched ? std::stoi(m[4]) : 0,
                                             m[5].matched ? std::stoi(m[5]) : 0);
    return zone.Utc(local.ToUnixMilliseconds());
  } catch (const dv::Exception&) {
    Usage(option + ": no such date \"" + text + "\"");
  }
}

std::int64_t Today(const Zone& zone) {
  const std::int64_t local = zone.Local(dv::TDateTime::NowUTC().ToUnixMilliseconds());
  return zone.Utc(local - ((local % kDayMs) + kDayMs) % kDayMs);
}

// "30m", "1h", "1h30m", "45" (minutes).
int ParseDuration(const std::string& text) {
  std::smatch m;
  static const std::regex form(R"((?:(\d+)h)?(?:(\d+)m?)?)");
  if (text.empty() || !std::regex_match(text, m, form) || (!m[1].matched && !m[2].matched))
    Usage("--duration: expected 30m, 1h, 1h30m or minutes");
  const int minutes =
      (m[1].matched ? std::stoi(m[1]) * 60 : 0) + (m[2].matched ? std::stoi(m[2]) : 0);
  if (minutes <= 0 || minutes > 24 * 60) Usage("--duration: between 1 minute and 24 hours");
  return minutes;
}

std::vector<dv::TDvEWSMailboxData> Mailboxes(const std::vector<std::string>& addresses) {
  CheckAddresses("ADDRESS", addresses);
  std::vector<dv::TDvEWSMailboxData> out;
  for (const auto& a : addresses)
    out.push_back({a, dv::TDvEWSAttendeeType::attRequired, false});
  return out;
}

std::string StatusName(dv::TLegacyFreeBusy status) {
  return dv::DvEnumToXML(status);
}

// ---- The timeline

// One cell's status: 0 free, 1 tentative, 2 busy, 3 out of office, 4 working elsewhere, 5 no
// data (the digits of the merged free/busy string).
struct Person {
  std::string address;
  std::string error;
  std::string merged;
  std::vector<bool> working;  // per cell: inside the person's working hours
  dv::DvEWSUserAvailabilityPtr data;
};

struct Timeline {
  Zone zone;
  std::int64_t start = 0;  // UTC of the first day's local midnight
  int days = 1;
  int interval = 30;                 // minutes a cell
  int firstHour = 8, lastHour = 18;  // the hours shown each day
  std::vector<Person> people;

  int CellsPerDay() const { return 24 * 60 / interval; }
  std::int64_t CellStart(int cell) const { return start + cell * interval * kMinuteMs; }
  // The day's shown cells [first, last).
  int FirstCell(int day) const { return day * CellsPerDay() + firstHour * 60 / interval; }
  int LastCell(int day) const { return day * CellsPerDay() + lastHour * 60 / interval; }
  int Status(const Person& p, int cell) const {
    if (cell < 0 || cell >= static_cast<int>(p.merged.size())) return 5;
    const char c = p.merged[static_cast<std::size_t>(cell)];
    return c >= '0' && c <= '5' ? c - '0' : 5;
  }
  // Everyone answered, is free (or working elsewhere) and inside working hours.
  bool CommonFree(int cell) const {
    bool any = false;
    for (const auto& p : people) {
      if (!p.error.empty()) continue;
      any = true;
      const int s = Status(p, cell);
      if ((s != 0 && s != 4) || !p.working[static_cast<std::size_t>(cell)]) return false;
    }
    return any;
  }
};

bool DayMatches(const dv::TDvEWSDayOfWeekTypes& days, int weekday) {
  using D = dv::TDvEWSDayOfWeekType;
  return days.Contains(static_cast<D>(weekday)) || days.Contains(D::dowtDay) ||
         (days.Contains(D::dowtWeekday) && weekday >= 1 && weekday <= 5) ||
         (days.Contains(D::dowtWeekendDay) && (weekday == 0 || weekday == 6));
}

bool InWorkingHours(const dv::TDvEWSUserWorkingHours& hours, std::int64_t utc) {
  const int offset = hours.GetTimeZone().OffsetAt(dv::TDateTime::FromUnixMilliseconds(utc));
  const std::int64_t local = utc + offset * kMinuteMs;
  const std::int64_t day = local >= 0 ? local / kDayMs : (local - kDayMs + 1) / kDayMs;
  const int minute = static_cast<int>((local - day * kDayMs) / kMinuteMs);
  const int weekday = static_cast<int>(((day % 7) + 11) % 7);
  for (const auto& p : hours.GetWorkingPeriods())
    if (DayMatches(p.DayOfWeek, weekday) && minute >= p.StartTimeInMinutes &&
        minute < p.EndTimeInMinutes)
      return true;
  return false;
}

Timeline BuildTimeline(Context& ctx, const std::vector<std::string>& addresses,
                       const std::string& date, int days, const std::string& tz, int interval) {
  Timeline t;
  t.zone = ZoneOf(tz);
  t.start = date.empty() ? Today(t.zone) : ParseLocal("--date", date, t.zone);
  t.zone.info = dv::DvTimeZoneInformation(t.zone.id, dv::TDateTime::FromUnixMilliseconds(t.start));
  t.days = days;
  t.interval = interval;
  const auto mailboxes = Mailboxes(addresses);
  ctx.Conn().Logon();
  const std::int64_t end = t.zone.Utc(t.zone.Local(t.start) + days * kDayMs);
  auto answers = ctx.Conn().Session().GetUserAvailibility(
      std::span<const dv::TDvEWSMailboxData>(mailboxes),
      dv::TDateTime::FromUnixMilliseconds(t.start), dv::TDateTime::FromUnixMilliseconds(end),
      interval, dv::TDvEWSFreeBusyViewType::fbvtDetailedMerged, t.zone.info);
  const int cells = t.CellsPerDay() * days;
  int first = t.firstHour * 60, last = t.lastHour * 60;
  for (auto& a : answers) {
    Person p;
    p.address = a->GetEMail();
    p.data = a;
    if (a->GetHasError()) {
      p.error = a->GetError().empty() ? "error" : a->GetError();
    } else {
      p.merged = a->GetMergedFreeBusy();
      p.merged.resize(static_cast<std::size_t>(cells), '5');
    }
    p.working.resize(static_cast<std::size_t>(cells));
    for (int c = 0; c < cells; ++c) {
      p.working[static_cast<std::size_t>(c)] =
          p.error.empty() && InWorkingHours(a->GetWorkingHours(), t.CellStart(c));
      // The shown hours widen to everyone's working hours and busy time.
      const int minute = c % t.CellsPerDay() * interval;
      if (p.working[static_cast<std::size_t>(c)] || (p.error.empty() && t.Status(p, c) != 0)) {
        first = std::min(first, minute);
        last = std::max(last, minute + interval);
      }
    }
    t.people.push_back(std::move(p));
  }
  t.firstHour = first / 60;
  t.lastHour = std::min(24, (last + 59) / 60);
  return t;
}

// Characters for a pipe, colours for a terminal.
const char kGlyph[] = {'.', '?', '#', 'o', 'w', '~'};
const char* const kColour[] = {"", "\033[43m", "\033[41m", "\033[45m", "\033[46m", "\033[100m"};
const char* const kSvgColour[] = {"#ffffff", "#f2c744", "#d9534f", "#9b59b6", "#5bc0de", "#bbbbbb"};
const char* const kStatusClass[] = {"free", "tentative", "busy", "oof", "elsewhere", "nodata"};

void PrintTimeline(std::ostream& out, const Timeline& t, bool colour) {
  const int cellWidth = std::max(1, 4 * t.interval / 60);
  const int perHour = 60 / t.interval;
  std::size_t nameWidth = 6;
  for (const auto& p : t.people)
    nameWidth = std::max(nameWidth, DisplayWidth(p.address));
  const std::string pad(nameWidth + 2, ' ');
  for (int day = 0; day < t.days; ++day) {
    if (day) out << '\n';
    out << t.zone.Text(t.CellStart(day * t.CellsPerDay())).substr(0, 14) << "  " << t.zone.id
        << "  (" << t.interval << " min a cell)\n";
    out << pad;
    for (int h = t.firstHour; h < t.lastHour; ++h) {
      char label[16];
      std::snprintf(label, sizeof label, "%02d", h);
      std::string text = label;
      text.resize(static_cast<std::size_t>(std::max(2, cellWidth * perHour)), ' ');
      out << text;
    }
    out << '\n';
    for (const auto& p : t.people) {
      out << p.address << std::string(nameWidth + 2 - DisplayWidth(p.address), ' ');
      if (!p.error.empty()) {
        out << "(" << p.error << ")\n";
        continue;
      }
      for (int c = t.FirstCell(day); c < t.LastCell(day); ++c) {
        const int s = t.Status(p, c);
        const bool work = p.working[static_cast<std::size_t>(c)];
        if (colour) {
          // Busy kinds as coloured blocks; free working hours shaded, other free time blank.
          out << (s      ? kColour[s]
                  : work ? "\033[48;5;237m"
                         : "")
              << std::string(cellWidth, ' ') << "\033[0m";
        } else {
          out << std::string(static_cast<std::size_t>(cellWidth), s ? kGlyph[s] : work ? '.' : ' ');
        }
      }
      out << '\n';
    }
    out << std::string(nameWidth - 4, ' ') << "free  ";
    for (int c = t.FirstCell(day); c < t.LastCell(day); ++c) {
      const bool free = t.CommonFree(c);
      out << (free && colour ? "\033[32m" : "") << std::string(cellWidth, free ? '^' : ' ')
          << (free && colour ? "\033[0m" : "");
    }
    out << '\n';
  }
  if (colour)
    out << "\n"
        << kColour[2] << "  \033[0m busy  " << kColour[1] << "  \033[0m tentative  " << kColour[3]
        << "  \033[0m out of office  " << kColour[4] << "  \033[0m working elsewhere  "
        << "\033[48;5;237m  \033[0m working hours  \033[32m^^\033[0m everyone free\n";
  else
    out << "\n# busy  ? tentative  o out of office  w working elsewhere  ~ no data  . working "
           "hours  ^ everyone free\n";
}

// Stretches of cells where everyone is free, as [start, end) instants.
std::vector<std::pair<std::int64_t, std::int64_t>> CommonFreeSlots(const Timeline& t) {
  std::vector<std::pair<std::int64_t, std::int64_t>> slots;
  const int cells = t.CellsPerDay() * t.days;
  for (int c = 0; c < cells;) {
    if (!t.CommonFree(c)) {
      ++c;
      continue;
    }
    int e = c;
    while (e < cells && t.CommonFree(e))
      ++e;
    slots.emplace_back(t.CellStart(c), t.CellStart(e));
    c = e;
  }
  return slots;
}

json TimelineJson(const Timeline& t) {
  json j;
  j["time_zone"] = t.zone.id;
  j["start"] = t.zone.Iso(t.start);
  j["days"] = t.days;
  j["interval_minutes"] = t.interval;
  j["people"] = json::array();
  for (const auto& p : t.people) {
    json person;
    person["address"] = p.address;
    if (!p.error.empty()) {
      person["error"] = p.error;
      j["people"].push_back(person);
      continue;
    }
    person["merged"] = p.merged;
    person["events"] = json::array();
    for (const auto& e : p.data->GetEvents()) {
      json event{{"start", t.zone.Iso(e.GetStartTime().ToUnixMilliseconds())},
                 {"end", t.zone.Iso(e.GetEndTime().ToUnixMilliseconds())},
                 {"status", StatusName(e.GetBusyType())}};
      if (e.GetHasDetails()) {
        event["subject"] = e.GetSubject();
        event["location"] = e.GetLocation();
      }
      person["events"].push_back(event);
    }
    person["working_hours"] = json::array();
    for (const auto& w : p.data->GetWorkingHours().GetWorkingPeriods()) {
      json days = json::array();
      for (int d = 0; d < 10; ++d)
        if (w.DayOfWeek.Contains(static_cast<dv::TDvEWSDayOfWeekType>(d)))
          days.push_back(dv::DvEnumToXML(static_cast<dv::TDvEWSDayOfWeekType>(d)));
      person["working_hours"].push_back({{"days", days},
                                         {"start_minutes", w.StartTimeInMinutes},
                                         {"end_minutes", w.EndTimeInMinutes}});
    }
    j["people"].push_back(person);
  }
  j["common_free"] = json::array();
  for (const auto& [s, e] : CommonFreeSlots(t))
    j["common_free"].push_back({{"start", t.zone.Iso(s)}, {"end", t.zone.Iso(e)}});
  return j;
}

std::string XmlText(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The same picture as SVG: per day a band of rows, hours across at a fixed scale; each busy
// stretch a rect of its status's class placed by its times (data-start, data-end), working
// hours as shaded rects, everyone's free time as green rects on the last row.
std::string TimelineSvg(const Timeline& t) {
  const double hourWidth = 60, rowHeight = 24, nameWidth = 220, top = 30;
  const double pxPerMs = hourWidth / 3600000.0;
  const int hours = t.lastHour - t.firstHour;
  const double bandHeight = top + rowHeight * (static_cast<double>(t.people.size()) + 1) + 20;
  const double width = nameWidth + hourWidth * hours + 10;
  const double height = bandHeight * t.days;
  std::ostringstream svg;
  svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  for (int day = 0; day < t.days; ++day) {
    const double y0 = day * bandHeight;
    const std::int64_t shownStart = t.CellStart(t.FirstCell(day));
    const std::int64_t shownEnd = t.CellStart(t.LastCell(day));
    auto x = [&](std::int64_t utc) {
      return nameWidth +
             static_cast<double>(std::clamp(utc, shownStart, shownEnd) - shownStart) * pxPerMs;
    };
    svg << "<g class=\"day\" data-start=\"" << t.zone.Iso(shownStart) << "\" data-end=\""
        << t.zone.Iso(shownEnd) << "\">\n";
    svg << "<text x=\"4\" y=\"" << y0 + 16 << "\">"
        << XmlText(t.zone.Text(shownStart).substr(0, 14) + " " + t.zone.id) << "</text>\n";
    for (int h = 0; h <= hours; ++h) {
      const double hx = nameWidth + h * hourWidth;
      svg << "<line x1=\"" << hx << "\" y1=\"" << y0 + top - 4 << "\" x2=\"" << hx << "\" y2=\""
          << y0 + bandHeight - 20 << "\" stroke=\"#dddddd\"/>";
      if (h < hours)
        svg << "<text x=\"" << hx + 2 << "\" y=\"" << y0 + top - 8 << "\">" << (t.firstHour + h)
            << ":00</text>";
      svg << "\n";
    }
    for (std::size_t i = 0; i < t.people.size(); ++i) {
      const Person& p = t.people[i];
      const double y = y0 + top + rowHeight * static_cast<double>(i);
      svg << "<g class=\"person\" data-address=\"" << XmlText(p.address) << "\">\n";
      svg << "<text x=\"4\" y=\"" << y + 16 << "\">" << XmlText(p.address) << "</text>\n";
      if (!p.error.empty()) {
        svg << "<text class=\"error\" x=\"" << nameWidth << "\" y=\"" << y + 16 << "\">"
            << XmlText(p.error) << "</text>\n</g>\n";
        continue;
      }
      for (int c = t.FirstCell(day); c < t.LastCell(day);) {
        if (!p.working[static_cast<std::size_t>(c)]) {
          ++c;
          continue;
        }
        int e = c;
        while (e < t.LastCell(day) && p.working[static_cast<std::size_t>(e)])
          ++e;
        svg << "<rect class=\"work\" x=\"" << x(t.CellStart(c)) << "\" y=\"" << y + 2
            << "\" width=\"" << x(t.CellStart(e)) - x(t.CellStart(c)) << "\" height=\""
            << rowHeight - 4 << "\" fill=\"#eeeeee\"/>\n";
        c = e;
      }
      for (const auto& ev : p.data->GetEvents()) {
        const std::int64_t s = ev.GetStartTime().ToUnixMilliseconds();
        const std::int64_t e = ev.GetEndTime().ToUnixMilliseconds();
        if (e <= shownStart || s >= shownEnd) continue;
        const int status = std::clamp(static_cast<int>(ev.GetBusyType()), 0, 5);
        svg << "<rect class=\"" << kStatusClass[status] << "\" x=\"" << x(s) << "\" y=\"" << y + 4
            << "\" width=\"" << x(e) - x(s) << "\" height=\"" << rowHeight - 8 << "\" fill=\""
            << kSvgColour[status] << "\" data-start=\"" << t.zone.Iso(s) << "\" data-end=\""
            << t.zone.Iso(e) << "\"><title>"
            << XmlText(StatusName(ev.GetBusyType()) +
                       (ev.GetSubject().empty() ? "" : ": " + ev.GetSubject()))
            << "</title></rect>\n";
      }
      svg << "</g>\n";
    }
    const double fy = y0 + top + rowHeight * static_cast<double>(t.people.size());
    svg << "<text x=\"4\" y=\"" << fy + 16 << "\">everyone free</text>\n";
    for (const auto& [s, e] : CommonFreeSlots(t)) {
      if (e <= shownStart || s >= shownEnd) continue;
      svg << "<rect class=\"common-free\" x=\"" << x(s) << "\" y=\"" << fy + 4 << "\" width=\""
          << x(e) - x(s) << "\" height=\"" << rowHeight - 8 << "\" fill=\"#5cb85c\" data-start=\""
          << t.zone.Iso(s) << "\" data-end=\"" << t.zone.Iso(e) << "\"/>\n";
    }
    svg << "</g>\n";
  }
  svg << "</svg>\n";
  return svg.str();
}

// ---- Commands

struct State {
  std::vector<std::string> addresses;
  std::string date, tz, svg, from, to, duration = "30m", id, toFormat, fromFormat = "ewsid",
                                       mailbox;
  int days = 1, interval = 30, limit = 10;
  CLI::App *freebusy = nullptr, *suggest = nullptr, *mailtips = nullptr, *convertid = nullptr;
};
State state;

void CmdFreeBusy(Context& ctx) {
  if (state.days < 1 || state.days > 42) Usage("--days: from 1 to 42");
  if (state.interval < 5 || state.interval > 60 || 60 % state.interval)
    Usage("--interval: 5, 10, 15, 20, 30 or 60 minutes");
  const Timeline t =
      BuildTimeline(ctx, state.addresses, state.date, state.days, state.tz, state.interval);
  if (!state.svg.empty()) WritePrivateFile(state.svg, TimelineSvg(t));
  if (ctx.Json()) {
    ctx.out << DumpJson(TimelineJson(t), ctx.options.jsonLines ? -1 : 2) << '\n';
    return;
  }
  const char* noColour = std::getenv("NO_COLOR");
  PrintTimeline(ctx.out, t, isatty(STDOUT_FILENO) && !(noColour && *noColour));
}

void CmdSuggest(Context& ctx) {
  const Zone zone = ZoneOf(state.tz);
  const int minutes = ParseDuration(state.duration);
  std::int64_t from = 0;
  if (state.from.empty()) {
    // The next half hour from now.
    const std::int64_t now = dv::TDateTime::NowUTC().ToUnixMilliseconds();
    from = (now / (30 * kMinuteMs) + 1) * 30 * kMinuteMs;
  } else {
    from = ParseLocal("--from", state.from, zone);
  }
  const std::int64_t to = state.to.empty() ? from + 5 * kDayMs : ParseLocal("--to", state.to, zone);
  if (to <= from) Usage("--to must be later than --from");
  const auto mailboxes = Mailboxes(state.addresses);
  ctx.Conn().Logon();
  dv::TDvEWSSuggestionOptions options;
  options.MaximumResultsByDay = 48;
  Zone atStart = zone;
  atStart.info = dv::DvTimeZoneInformation(zone.id, dv::TDateTime::FromUnixMilliseconds(from));
  auto days = ctx.Conn().Session().GetMeetingSuggestions(
      std::span<const dv::TDvEWSMailboxData>(mailboxes), dv::TDateTime::FromUnixMilliseconds(from),
      dv::TDateTime::FromUnixMilliseconds(to), minutes, options, atStart.info);
  std::vector<dv::TDvEWSMeetingSuggestion> all;
  for (auto& d : days)
    for (auto& s : d.Suggestions)
      all.push_back(s);
  // Best first: quality, then work time, then the earliest.
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    if (a.Quality != b.Quality) return a.Quality < b.Quality;
    if (a.IsWorkTime != b.IsWorkTime) return a.IsWorkTime;
    return a.MeetingTime.Value < b.MeetingTime.Value;
  });
  if (state.limit > 0 && all.size() > static_cast<std::size_t>(state.limit))
    all.resize(static_cast<std::size_t>(state.limit));
  Table table{{"start", "end", "quality", "work_time"}, {}};
  for (const auto& a : state.addresses)
    table.columns.push_back(a);
  for (const auto& s : all) {
    const std::int64_t start = s.MeetingTime.ToUnixMilliseconds();
    std::vector<std::string> row = {ctx.Json() ? atStart.Iso(start) : atStart.Text(start),
                                    ctx.Json()
                                        ? atStart.Iso(start + minutes * kMinuteMs)
                                        : atStart.Text(start + minutes * kMinuteMs).substr(15),
                                    dv::DvEnumToXML(s.Quality), s.IsWorkTime ? "yes" : "no"};
    for (std::size_t i = 0; i < state.addresses.size(); ++i)
      row.push_back(i < s.AttendeeStatus.size() ? StatusName(s.AttendeeStatus[i]) : "NoData");
    table.rows.push_back(std::move(row));
  }
  ctx.Print(table);
}

void CmdMailTips(Context& ctx) {
  CheckAddresses("ADDRESS", state.addresses);
  ctx.Conn().Logon();
  auto tips = ctx.Conn().Session().GetMailTips(state.addresses);
  Table table{{"address", "out_of_office", "mailbox_full", "custom", "max_message_size",
               "delivery_restricted", "moderated", "invalid", "scope", "members", "external"},
              {}};
  auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
  for (std::size_t i = 0; i < tips.size(); ++i) {
    auto& t = *tips[i];
    auto* oof = t.GetOutOfOffice();
    const std::string reply = oof ? oof->GetReplyBody()->GetMessage_() : std::string();
    const int scope = t.GetScope();
    table.rows.push_back(
        {i < state.addresses.size() ? state.addresses[i] : "", reply, yes(t.GetMailboxFull()),
         t.GetCustomMailTip(), std::to_string(t.GetMaxMessageSize()),
         yes(t.GetDeliveryRestricted()), yes(t.GetIsModerated()), yes(t.GetInvalidRecipient()),
         scope == 1   ? "internal"
         : scope == 2 ? "external"
                      : std::to_string(scope),
         std::to_string(t.GetTotalMemberCount()), std::to_string(t.GetExternalMemberCount())});
  }
  ctx.Print(table);
}

const std::map<std::string, dv::TIdFormat> kFormats = {
    {"ewsid", dv::TIdFormat::ifEwsId},     {"ewslegacyid", dv::TIdFormat::ifEwsLegacyId},
    {"entryid", dv::TIdFormat::ifEntryId}, {"hexentryid", dv::TIdFormat::ifHexEntryId},
    {"storeid", dv::TIdFormat::ifStoreId}, {"owaid", dv::TIdFormat::ifOwaId}};

void CmdConvertId(Context& ctx) {
  ctx.Conn().Logon();
  auto& session = ctx.Conn().Session();
  std::string mailbox = state.mailbox;
  if (mailbox.empty()) mailbox = ctx.Conn().Store()->GetIdentity()->GetEmailAddress();
  Table table{{"format", "id", "mailbox"}, {}};
  for (const auto& [name, format] : kFormats) {
    if (!state.toFormat.empty() && name != Lower(state.toFormat)) continue;
    auto result =
        session.ConvertId(kFormats.at(Lower(state.fromFormat)), state.id, mailbox, format);
    auto* id = dynamic_cast<dv::TEwsAlternateId*>(
        result->GetConvertIdResponseMessage()->GetItem(0)->GetAlternateId());
    if (!id) throw ToolError{kEWS, "the server answered without an identifier"};
    if (!state.toFormat.empty() && !ctx.Json()) {
      ctx.out << id->GetId() << '\n';
      return;
    }
    table.rows.push_back({dv::DvEnumToXML(format), id->GetId(), id->GetMailbox()});
  }
  ctx.Print(table);
}

void Add(CLI::App& app, Context&) {
  auto formats = CLI::IsMember(
      {"ewsid", "ewslegacyid", "entryid", "hexentryid", "storeid", "owaid"}, CLI::ignore_case);
  auto* fb = state.freebusy =
      app.add_subcommand("freebusy", "everyone's day as a timeline: busy, tentative, away, free");
  fb->add_option("ADDRESS", state.addresses, "people, rooms or resources")->required();
  fb->add_option("--date", state.date, "the first day, YYYY-MM-DD (default: today)");
  fb->add_option("--days", state.days, "how many days (default 1, at most 42)");
  fb->add_option("--tz", state.tz, "the time zone shown, e.g. Europe/Berlin (default: local)");
  fb->add_option("--interval", state.interval, "minutes a cell (default 30)");
  fb->add_option("--svg", state.svg, "also write the picture as an SVG image to FILE");
  Example(fb, "ews freebusy alice@example.com bob@example.com --date 2026-12-07 --svg day.svg");

  auto* sg = state.suggest =
      app.add_subcommand("suggest", "the best meeting times for people, best first");
  sg->add_option("ADDRESS", state.addresses, "attendees, rooms or resources")->required();
  sg->add_option("--duration", state.duration, "the meeting's length: 30m, 1h, 1h30m")
      ->capture_default_str();
  sg->add_option("--from", state.from, "window start, YYYY-MM-DD[THH:MM] (default: now)");
  sg->add_option("--to", state.to, "window end (default: five days later)");
  sg->add_option("--tz", state.tz, "the time zone of the times (default: local)");
  sg->add_option("--limit", state.limit, "at most this many (default 10; 0: all)");
  Example(sg, "ews suggest alice@example.com room@example.com --duration 1h --from 2026-12-07");

  auto* mt = state.mailtips =
      app.add_subcommand("mailtips", "what recipients' mail tips say before you send");
  mt->add_option("ADDRESS", state.addresses, "recipients")->required();
  Example(mt, "ews mailtips bob@example.com team@example.com");

  auto* ci = state.convertid =
      app.add_subcommand("convertid", "an item or folder id in other formats");
  ci->add_option("ID", state.id, "the identifier")->required();
  ci->add_option("--to", state.toFormat,
                 "one format only: ewsid, ewslegacyid, entryid, "
                 "hexentryid, storeid or owaid (default: all)")
      ->check(formats);
  ci->add_option("--from", state.fromFormat, "the identifier's format (default ewsid)")
      ->check(formats);
  ci->add_option("--mailbox", state.mailbox, "the mailbox it belongs to (default: yours)");
  Example(ci, "ews convertid AAMk... --to hexentryid");
}

bool Run(Context& ctx) {
  if (state.freebusy && state.freebusy->parsed()) return CmdFreeBusy(ctx), true;
  if (state.suggest && state.suggest->parsed()) return CmdSuggest(ctx), true;
  if (state.mailtips && state.mailtips->parsed()) return CmdMailTips(ctx), true;
  if (state.convertid && state.convertid->parsed()) return CmdConvertId(ctx), true;
  return false;
}

[[maybe_unused]] const bool registered = RegisterCommands({Add, Run});

}  // namespace
}  // namespace ewscli
