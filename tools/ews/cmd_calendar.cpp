// The calendar commands: cal (an agenda, or a week drawn in the terminal), meet, respond, cancel
// and occurrences.
#include <unicode/basictz.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>

#include "ews_context.h"
#include "uDvEWSCalendar.h"

using namespace ewscli;

namespace {

constexpr double kMinute = 1.0 / 1440.0;

struct CalendarState {
  CLI::App* cal = nullptr;
  CLI::App* meet = nullptr;
  CLI::App* respond = nullptr;
  CLI::App* cancel = nullptr;
  CLI::App* occurrences = nullptr;
  std::string folder = "calendar", from, to, week, id, action, body, subject, start, end, tz, room,
              repeat, until;
  bool weekView = false;
  std::vector<std::string> required, optional, propose;
  int count = 0, limit = 10;
};
CalendarState state;

// ---- Times ----

// The ICU zone of a Windows zone id, or of the machine when the id is empty.
std::unique_ptr<icu::TimeZone> ZoneOf(const std::string& windowsId) {
  if (windowsId.empty()) return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createDefault());
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString id;
  icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(windowsId), nullptr, id, status);
  if (U_FAILURE(status) || id.isEmpty()) Usage("unknown time zone: " + windowsId);
  return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(id));
}

// Offset (days) of a zone at a UTC instant.
double OffsetAt(const icu::TimeZone& zone, dv::TDateTime utc) {
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone.getOffset(static_cast<UDate>(utc.ToUnixMilliseconds()), false, raw, dst, status);
  return U_SUCCESS(status) ? (raw + dst) / 86400000.0 : 0.0;
}

// A date-time argument: with Z or an offset as written, else a wall-clock time in `zone` (a
// date alone is its midnight).
dv::TDateTime ParseWhen(const std::string& text, const icu::TimeZone& zone, const char* option) {
  std::string t = text;
  if (t.size() == 10) t += "T00:00:00";
  if (t.size() == 16) t += ":00";
  dv::TDateTime value;
  try {
    value = dv::DvXMLToDateTime(t);
  } catch (const std::exception&) {
    Usage(std::string(option) + ": not a date-time (YYYY-MM-DD[THH:MM[:SS]][Z|±HH:MM]): " + text);
  }
  const bool zoned = t.size() > 19 && (t.back() == 'Z' || t[t.size() - 3] == ':');
  if (zoned) return value;
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  if (auto* basic = dynamic_cast<const icu::BasicTimeZone*>(&zone))
    basic->getOffsetFromLocal(static_cast<UDate>(value.ToUnixMilliseconds()), UCAL_TZ_LOCAL_FORMER,
                              UCAL_TZ_LOCAL_FORMER, raw, dst, status);
  return dv::TDateTime(value.Value - (raw + dst) / 86400000.0);
}

// "YYYY-MM-DD HH:MM" of a UTC instant in a zone.
std::string Local(dv::TDateTime utc, const icu::TimeZone& zone) {
  std::string s = dv::DvDateTimeToXML(dv::TDateTime(utc.Value + OffsetAt(zone, utc)));
  return s.substr(0, 10) + " " + s.substr(11, 5);
}

// ---- The agenda ----

struct Entry {
  dv::TDateTime start, end;
  std::string subject, location, type, id;
  bool allDay = false;
};

std::vector<Entry> Agenda(Context& ctx, dv::TDateTime from, dv::TDateTime to) {
  auto folder = std::dynamic_pointer_cast<dv::IDvEWSCalendarFolder>(
      FolderResolver(ctx.Conn()).Open(state.folder));
  if (!folder) Usage("not a calendar folder: " + state.folder);
  auto view = folder->GetCalendarView(from, to, 1000);
  for (const auto& def : {dv::FLD_CALENDAR_START, dv::FLD_CALENDAR_END, dv::FLD_ITEM_SUBJECT,
                          dv::FLD_CALENDAR_LOCATION, dv::FLD_CALENDAR_CALENDARITEMTYPE,
                          dv::FLD_CALENDAR_ISALLDAYEVENT})
    view->GetFields().Add(def);
  view->Open();
  std::vector<Entry> out;
  auto text = [&](const dv::TDvEWSFieldDef& def) {
    return view->HasField(def) ? view->FieldByName(def)->GetAsString() : std::string();
  };
  for (; !view->Eof(); view->Next()) {
    Entry e;
    e.start = dv::DvXMLToDateTime(text(dv::FLD_CALENDAR_START));
    e.end = dv::DvXMLToDateTime(text(dv::FLD_CALENDAR_END));
    e.subject = text(dv::FLD_ITEM_SUBJECT);
    e.location = text(dv::FLD_CALENDAR_LOCATION);
    e.type = text(dv::FLD_CALENDAR_CALENDARITEMTYPE);
    e.allDay = text(dv::FLD_CALENDAR_ISALLDAYEVENT) == "true";
    e.id = view->GetItemId().Id;
    out.push_back(std::move(e));
  }
  return out;
}

dv::TDateTime Today(const icu::TimeZone& zone) {
  dv::TDateTime now = dv::TDateTime::NowUTC();
  double local = now.Value + OffsetAt(zone, now);
  return dv::TDateTime(std::floor(local));
}

void CmdAgenda(Context& ctx) {
  auto zone = ZoneOf("");
  dv::TDateTime from =
      state.from.empty()
          ? dv::TDateTime(Today(*zone).Value - OffsetAt(*zone, dv::TDateTime::NowUTC()))
          : ParseWhen(state.from, *zone, "--from");
  dv::TDateTime to =
      state.to.empty() ? dv::TDateTime(from.Value + 7) : ParseWhen(state.to, *zone, "--to");
  if (to.Value <= from.Value) Usage("--to must be after --from");
  ctx.Conn().Logon();
  auto entries = Agenda(ctx, from, to);
  if (ctx.Json()) {
    json rows = json::array();
    for (const auto& e : entries)
      rows.push_back({{"start", dv::DvDateTimeToXML(e.start)},
                      {"end", dv::DvDateTimeToXML(e.end)},
                      {"subject", e.subject},
                      {"location", e.location.empty() ? json(nullptr) : json(e.location)},
                      {"type", e.type},
                      {"all_day", e.allDay},
                      {"id", e.id}});
    ctx.out << ctx.Dump(rows) << '\n';
    return;
  }
  Table table{{"start", "end", "subject", "location", "type", "id"}, {}};
  for (const auto& e : entries)
    table.rows.push_back({e.allDay ? Local(e.start, *zone).substr(0, 10) : Local(e.start, *zone),
                          e.allDay ? "all day" : Local(e.end, *zone).substr(11), e.subject,
                          e.location, e.type, e.id});
  ctx.Print(table);
}

// ---- The week drawn ----

void CmdWeek(Context& ctx) {
  auto zone = ZoneOf("");
  const bool colour = isatty(STDOUT_FILENO) && std::getenv("NO_COLOR") == nullptr;
  dv::TDateTime day =
      state.week.empty() ? Today(*zone)
                         : ParseWhen(state.week + "T00:00:00Z", *icu::TimeZone::getGMT(), "--week");
  // The Monday of the week, local midnight.
  int y, m, d, h, mi, s, ms;
  day.Decode(y, m, d, h, mi, s, ms);
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  timegm(&tm);
  const double monday = std::floor(day.Value) - ((tm.tm_wday + 6) % 7);
  const dv::TDateTime from(monday - OffsetAt(*zone, dv::TDateTime(monday)));
  ctx.Conn().Logon();
  auto entries = Agenda(ctx, from, dv::TDateTime(from.Value + 7));
  if (ctx.Json()) {
    json rows = json::array();
    for (const auto& e : entries)
      rows.push_back({{"start", dv::DvDateTimeToXML(e.start)},
                      {"end", dv::DvDateTimeToXML(e.end)},
                      {"subject", e.subject},
                      {"all_day", e.allDay},
                      {"id", e.id}});
    ctx.out << ctx.Dump(rows) << '\n';
    return;
  }
  const char* env = std::getenv("COLUMNS");
  const int width = std::max(60, env ? std::atoi(env) : 100);
  const int cell = (width - 6) / 7;
  // Hours shown: 8 to 18, widened to every timed entry.
  int first = 8, last = 18;
  auto localHour = [&](dv::TDateTime t) {
    double v = t.Value + OffsetAt(*zone, t);
    return std::round((v - std::floor(v)) * 1440.0) / 60.0;  // to the minute
  };
  auto localDay = [&](dv::TDateTime t) {
    return static_cast<int>(std::floor(t.Value + OffsetAt(*zone, t) - monday));
  };
  for (const auto& e : entries)
    if (!e.allDay) {
      first = std::min(first, static_cast<int>(localHour(e.start)));
      last = std::max(last, static_cast<int>(std::ceil(localHour(e.end))) - 1);
    }
  first = std::max(first, 0);
  last = std::min(last, 23);
  auto fit = [&](std::string text) {
    text = TerminalText(text);
    std::string out;
    std::size_t w = 0;
    for (std::size_t i = 0; i < text.size();) {
      std::size_t n = 1;
      unsigned char c = static_cast<unsigned char>(text[i]);
      if (c >= 0xF0)
        n = 4;
      else if (c >= 0xE0)
        n = 3;
      else if (c >= 0xC0)
        n = 2;
      if (w + 1 > static_cast<std::size_t>(cell - 1)) break;
      out += text.substr(i, n);
      ++w;
      i += n;
    }
    return out + std::string(static_cast<std::size_t>(cell) - w, ' ');
  };
  static const char* const names[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  std::string line = "      ";
  for (int i = 0; i < 7; ++i) {
    std::string date = dv::DvDateTimeToXML(dv::TDateTime(monday + i)).substr(5, 5);
    line += fit(std::string(names[i]) + " " + date);
  }
  ctx.out << (colour ? "\033[1m" : "") << line << (colour ? "\033[0m" : "") << '\n';
  // All-day events first, one line each.
  for (const auto& e : entries) {
    if (!e.allDay) continue;
    std::string row = "  all ";
    int a = std::max(0, localDay(e.start)), b = std::min(7, std::max(a + 1, localDay(e.end)));
    for (int i = 0; i < 7; ++i)
      row += i >= a && i < b ? fit(i == a ? e.subject : "") : fit("");
    ctx.out << row << '\n';
  }
  const dv::TDateTime now = dv::TDateTime::NowUTC();
  const int nowDay = localDay(now);
  const double nowHour = localHour(now);
  for (int hour = first; hour <= last; ++hour) {
    char label[8];
    std::snprintf(label, sizeof label, "%02d:00", hour);
    const bool nowRow = nowDay >= 0 && nowDay < 7 && static_cast<int>(nowHour) == hour;
    std::string row = std::string(label) + (nowRow ? ">" : " ");
    for (int i = 0; i < 7; ++i) {
      const Entry* hit = nullptr;
      bool starts = false;
      for (const auto& e : entries) {
        if (e.allDay || localDay(e.start) != i) continue;
        double s = localHour(e.start), en = localHour(e.end);
        if (localDay(e.end) > i) en = 24;
        if (s < hour + 1 && en > hour) {
          starts = static_cast<int>(s) == hour;
          hit = &e;
          break;
        }
      }
      std::string text = hit ? fit((starts ? "" : "| ") + hit->subject) : fit(".");
      if (!hit) text = fit("");
      if (hit && colour) text = "\033[7m" + text.substr(0, text.size() - 1) + "\033[0m ";
      if (nowRow && i == nowDay && colour && !hit)
        text = "\033[33m" + fit("-- now") + "\033[0m";
      else if (nowRow && i == nowDay && !hit)
        text = fit("-- now");
      row += text;
    }
    ctx.out << row << '\n';
  }
}

// ---- Meetings ----

void CmdMeet(Context& ctx) {
  auto zone = ZoneOf(state.tz);
  const dv::TDateTime start = ParseWhen(state.start, *zone, "--start");
  const dv::TDateTime end = ParseWhen(state.end, *zone, "--end");
  if (end.Value <= start.Value) Usage("--end must be after --start");
  CheckAddresses("--to", state.required);
  CheckAddresses("--optional", state.optional);
  if (!state.room.empty()) CheckAddresses("--room", {state.room});
  ctx.Conn().Logon();
  auto folder = ctx.Conn().Store()->GetFolder(dv::TDistinguishedFolderIdName::dfincalendar);
  auto item = std::dynamic_pointer_cast<dv::IDvEWSCalendarItem>(
      folder->CreateItem(dv::TItemType::tCalendarItem));
  item->SetSubject(state.subject);
  if (!state.body.empty()) item->SetBodyText(BodyArgument(state.body));
  item->SetStartDateTime(start);
  item->SetEndDateTime(end);
  std::string zoneId =
      state.tz.empty() ? ctx.Conn().Session().GetCurrentTimeZoneContext() : state.tz;
  if (!zoneId.empty() &&
      ctx.Conn().Session().GetServerVersion() >= dv::TServerVersion::Exchange2013) {
    item->GetStartTimeZone()->AsElement()->SetAttribute("Id", zoneId);
    item->GetEndTimeZone()->AsElement()->SetAttribute("Id", zoneId);
  }
  auto version = ctx.Conn().Session().GetServerVersion();
  auto required = dv::TDvEWSRecipients::CreateStandalone(version);
  for (const auto& a : state.required)
    required->Add(a);
  item->ModifyRequiredAttendees(*required);
  if (!state.optional.empty()) {
    auto optional = dv::TDvEWSRecipients::CreateStandalone(version);
    for (const auto& a : state.optional)
      optional->Add(a);
    item->ModifyOptionalAttendees(*optional);
  }
  if (!state.room.empty()) {
    auto* mailbox = item->GetResources()->GetAttendee()->Add()->GetMailbox();
    mailbox->SetEmailAddress(state.room);
    mailbox->SetMailboxType(dv::TMailboxType::mtMailbox);
  }
  if (!state.repeat.empty()) {
    dv::TEwsRecurrence* r = item->GetRecurrence();
    const std::string kind = state.repeat.substr(0, state.repeat.find(':'));
    const std::string arg = state.repeat.find(':') == std::string::npos
                                ? ""
                                : state.repeat.substr(state.repeat.find(':') + 1);
    if (kind == "daily") {
      r->GetDailyRecurrence()->SetInterval(1);
    } else if (kind == "weekly") {
      static const std::map<std::string, std::string> days = {
          {"MO", "Monday"}, {"TU", "Tuesday"},  {"WE", "Wednesday"}, {"TH", "Thursday"},
          {"FR", "Friday"}, {"SA", "Saturday"}, {"SU", "Sunday"}};
      std::string list;
      std::size_t pos = 0;
      while (pos <= arg.size() && !arg.empty()) {
        std::size_t comma = arg.find(',', pos);
        std::string code =
            Upper(arg.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        auto it = days.find(code);
        if (it == days.end()) Usage("--repeat weekly: unknown day " + code);
        list += (list.empty() ? "" : " ") + it->second;
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
      r->GetWeeklyRecurrence()->SetInterval(1);
      r->GetWeeklyRecurrence()->SetDaysOfWeek(list.empty() ? "Monday" : list);
    } else if (kind == "monthly") {
      int dayOfMonth = arg.empty() ? 1 : std::atoi(arg.c_str());
      if (dayOfMonth < 1 || dayOfMonth > 31) Usage("--repeat monthly: day 1-31");
      r->GetAbsoluteMonthlyRecurrence()->SetInterval(1);
      r->GetAbsoluteMonthlyRecurrence()->SetDayOfMonth(dayOfMonth);
    } else {
      Usage("--repeat: daily, weekly:MO,WE or monthly:15");
    }
    const dv::TDateTime startDate(std::floor(start.Value + OffsetAt(*zone, start)));
    if (state.count > 0) {
      r->GetNumberedRecurrence()->SetStartDate(startDate);
      r->GetNumberedRecurrence()->SetNumberOfOccurrences(state.count);
    } else if (!state.until.empty()) {
      r->GetEndDateRecurrence()->SetStartDate(startDate);
      r->GetEndDateRecurrence()->SetEndDate(
          ParseWhen(state.until + "T00:00:00Z", *icu::TimeZone::getGMT(), "--until"));
    } else {
      r->GetNoEndRecurrence()->SetStartDate(startDate);
    }
  }
  item->SaveMeeting(dv::TDvEWSSaveOption::soAutoResolve,
                    dv::TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy);
  ctx.Done("Meeting created: " + item->GetID().Id,
           {{"id", item->GetID().Id}, {"uid", item->GetUID()}});
}

void CmdRespond(Context& ctx) {
  static const std::map<std::string, dv::TDvEWSResponseAction> actions = {
      {"accept", dv::TDvEWSResponseAction::raAccept},
      {"tentative", dv::TDvEWSResponseAction::raTentativelyAccept},
      {"decline", dv::TDvEWSResponseAction::raDecline}};
  auto action = actions.find(Lower(state.action));
  if (action == actions.end()) Usage("respond: accept, tentative or decline");
  if (!state.propose.empty() && state.propose.size() != 2) Usage("--propose takes START and END");
  ctx.Conn().Logon();
  auto item = ctx.Conn().Store()->GetItem(dv::TItemId(state.id));
  dv::DvEwsMeetingResponsePtr response;
  if (auto request = std::dynamic_pointer_cast<dv::IDvEWSMeetingMessage>(item))
    response = request->CreateMeetingResponse(action->second);
  else if (auto meeting = std::dynamic_pointer_cast<dv::IDvEWSCalendarItem>(item))
    response = meeting->CreateMeetingResponse(action->second);
  else
    Usage("not a meeting or meeting request: " + state.id);
  if (!state.body.empty()) {
    response->GetBody()->SetBodyType(dv::TBodyType::btText);
    response->GetBody()->SetValue(BodyArgument(state.body));
  }
  if (!state.propose.empty()) {
    auto zone = ZoneOf("");
    response->SetProposedStart(ParseWhen(state.propose[0], *zone, "--propose"));
    response->SetProposedEnd(ParseWhen(state.propose[1], *zone, "--propose"));
  }
  response->Submit(dv::TMessageDispositionType::mdpSendAndSaveCopy);
  ctx.Done("Response sent: " + Lower(state.action),
           {{"id", state.id}, {"response", Lower(state.action)}});
}

void CmdCancel(Context& ctx) {
  ctx.Conn().Logon();
  auto store = ctx.Conn().Store();
  auto* object = dynamic_cast<dv::TDvEWSObject*>(store.get());
  if (!object) throw ToolError{kFailure, "the store cannot send requests"};
  auto request = object->CreateRequest(nullptr, "m:CreateItem", "m:CreateItemResponse");
  auto op = request->GetOperation();
  op->SetAttribute("MessageDisposition", "SendAndSaveCopy");
  auto cancel = op->AddElement("m:Items")->AddElement("t:CancelCalendarItem");
  if (!state.body.empty()) {
    auto body = cancel->AddElement("t:Body");
    body->SetAttribute("BodyType", "Text");
    body->SetAsString(BodyArgument(state.body));
  }
  cancel->AddElement("t:ReferenceItemId")->SetAttribute("Id", state.id);
  object->SendChecked(request, "CreateItem");
  ctx.Done("Meeting cancelled: " + state.id, {{"id", state.id}, {"cancelled", true}});
}

void CmdOccurrences(Context& ctx) {
  if (state.limit < 1) Usage("--limit must be at least 1");
  ctx.Conn().Logon();
  auto master = std::dynamic_pointer_cast<dv::IDvEWSCalendarItem>(
      ctx.Conn().Store()->GetItem(dv::TItemId(state.id)));
  if (!master) Usage("not a calendar item: " + state.id);
  auto zone = ZoneOf("");
  Table table{{"index", "start", "end", "subject", "type", "id"}, {}};
  for (int i = 1; i <= state.limit; ++i) {
    dv::DvEWSCalendarItemPtr occ;
    try {
      occ = master->GetOccurrence(i);
    } catch (const dv::EEWSException& e) {
      const std::string text = e.what();
      auto is = [&](const char* code) {
        return text.rfind(code, 0) == 0 || e.GetEWSErrorCode() == code;
      };
      if (is("ErrorCalendarOccurrenceIsDeletedFromRecurrence")) {
        table.rows.push_back({std::to_string(i), "", "", "", "Deleted", ""});
        continue;
      }
      if (is("ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange")) break;
      throw;
    }
    const std::string type = occ->GetCalendarItemType() == dv::TCalendarItemType::citException
                                 ? "Exception"
                                 : "Occurrence";
    table.rows.push_back({std::to_string(i),
                          ctx.Json() ? dv::DvDateTimeToXML(occ->GetStartDateTime())
                                     : Local(occ->GetStartDateTime(), *zone),
                          ctx.Json() ? dv::DvDateTimeToXML(occ->GetEndDateTime())
                                     : Local(occ->GetEndDateTime(), *zone),
                          occ->GetSubject(), type, occ->GetID().Id});
  }
  ctx.Print(table);
}

void Add(CLI::App& app, Context&) {
  state.cal = app.add_subcommand("cal", "the calendar: an agenda, or a week drawn");
  state.cal->add_option("FOLDER", state.folder, "a calendar folder (default: calendar)");
  state.cal->add_option("--from", state.from, "start (YYYY-MM-DD[THH:MM], default: today)");
  state.cal->add_option("--to", state.to, "end (default: a week after the start)");
  state.cal->add_option("--week", state.week, "draw the week of DATE (default: this week)")
      ->expected(0, 1);
  Example(state.cal, "ews cal --from 2026-05-04 --to 2026-05-09");
  Example(state.cal, "ews cal --week 2026-05-04");

  state.meet = app.add_subcommand("meet", "create a meeting and send the invitations");
  state.meet->add_option("--subject", state.subject, "subject")->required();
  state.meet->add_option("--start", state.start, "start (YYYY-MM-DDTHH:MM, in --tz)")->required();
  state.meet->add_option("--end", state.end, "end")->required();
  state.meet->add_option("--tz", state.tz, "Windows time zone (default: this machine's)");
  state.meet->add_option("--to", state.required, "required attendee (repeatable)")->required();
  state.meet->add_option("--optional", state.optional, "optional attendee (repeatable)");
  state.meet->add_option("--room", state.room, "a room mailbox to book");
  state.meet->add_option("--repeat", state.repeat, "daily | weekly:MO,WE | monthly:15");
  state.meet->add_option("--until", state.until, "last date of the series (YYYY-MM-DD)");
  state.meet->add_option("--count", state.count, "number of occurrences");
  state.meet->add_option("--body", state.body, "body text, or @FILE");
  Example(state.meet,
          "ews meet --subject Planning --start 2026-05-04T09:00 --end 2026-05-04T10:00 "
          "--to bob@example.com --room room@example.com --repeat weekly:MO --count 4");

  state.respond = app.add_subcommand("respond", "accept, tentatively accept or decline a meeting");
  state.respond->add_option("ID", state.id, "the meeting request or calendar item")->required();
  state.respond->add_option("ACTION", state.action, "accept | tentative | decline")->required();
  state.respond->add_option("--body", state.body, "text of the response, or @FILE");
  state.respond->add_option("--propose", state.propose, "a new time: START END")->expected(2);
  Example(state.respond, "ews respond ID accept --body \"See you there\"");

  state.cancel = app.add_subcommand("cancel", "cancel a meeting you organize");
  state.cancel->add_option("ID", state.id, "the meeting's calendar item")->required();
  state.cancel->add_option("--body", state.body, "text of the cancellation, or @FILE");
  Example(state.cancel, "ews cancel ID --body \"Postponed\"");

  state.occurrences = app.add_subcommand("occurrences", "the occurrences of a recurring meeting");
  state.occurrences->add_option("ID", state.id, "the series' calendar item")->required();
  state.occurrences->add_option("--limit", state.limit, "at most N occurrences (default 10)");
  Example(state.occurrences, "ews occurrences ID --limit 5");
}

bool Run(Context& ctx) {
  if (state.cal->parsed()) {
    if (state.cal->count("--week") > 0)
      CmdWeek(ctx);
    else
      CmdAgenda(ctx);
  } else if (state.meet->parsed()) {
    CmdMeet(ctx);
  } else if (state.respond->parsed()) {
    CmdRespond(ctx);
  } else if (state.cancel->parsed()) {
    CmdCancel(ctx);
  } else if (state.occurrences->parsed()) {
    CmdOccurrences(ctx);
  } else {
    return false;
  }
  return true;
}

const bool registered = RegisterCommands({Add, Run});

}  // namespace
