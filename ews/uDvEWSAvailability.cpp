// Availability (free/busy and meeting-time suggestions), mail tips and identifier conversion:
// the session's operations and the objects over their answers.
#include "uDvEWSAvailability.h"

#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "DvSOAP.h"
#include "DvTimeZone.h"
#include "uDvEWS.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSServices.h"

namespace dv {

// ---- Enumerations ----

namespace {
const TDvEnumTypeTable kSearchScope("TSearchScope",
                                    {"scActiveDirectory", "scActiveDirectoryContacts", "scContacts",
                                     "scContactsActiveDirectory"});
const TDvEnumTypeTable kAttendeeType("TDvEWSAttendeeType",
                                     {"attOrganizer", "attRequired", "attOptional", "attRoom",
                                      "attResource"});
const TDvEnumTypeTable kFreeBusyViewType("TDvEWSFreeBusyViewType",
                                         {"fbvtNone", "fbvtMergedOnly", "fbvtFreeBusy",
                                          "fbvtFreeBusyMerged", "fbvtDetailed",
                                          "fbvtDetailedMerged"});
const TDvEnumTypeTable kDayOfWeekType("TDvEWSDayOfWeekType",
                                      {"dowtSunday", "dowtMonday", "dowtTuesday", "dowtWednesday",
                                       "dowtThursday", "dowtFriday", "dowtSaturday", "dowtDay",
                                       "dowtWeekday", "dowtWeekendDay"});
}  // namespace

const TDvEnumTypeInfo& DvEnumTypeInfo(TSearchScope) {
  return kSearchScope.Info();
}
const TDvEnumTypeInfo& DvEnumTypeInfo(TDvEWSAttendeeType) {
  return kAttendeeType.Info();
}
const TDvEnumTypeInfo& DvEnumTypeInfo(TDvEWSFreeBusyViewType) {
  return kFreeBusyViewType.Info();
}
const TDvEnumTypeInfo& DvEnumTypeInfo(TDvEWSDayOfWeekType) {
  return kDayOfWeekType.Info();
}

TResolveNamesSearchScope DvEWSResolveScope(TSearchScope scope) {
  // Both enumerations list the same four scopes in the same order.
  return static_cast<TResolveNamesSearchScope>(static_cast<int>(scope));
}

// ---- Time zones ----

namespace {

constexpr std::int64_t kMinuteMs = 60000;
constexpr std::int64_t kDayMs = 86400000;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

int WeekdayOfDay(std::int64_t unixDays) {  // 0 = Sunday; 1970-01-01 was a Thursday
  return static_cast<int>(((unixDays % 7) + 11) % 7);
}

std::int64_t UnixDay(int year, int month, int day) {
  return FloorDiv(TDateTime::Encode(year, month, day).ToUnixMilliseconds(), kDayMs);
}

// The local midnight (days since 1970) of a transition in a year.
std::int64_t TransitionDay(int year, const TDvTimeZoneTransitionDate& t) {
  const std::int64_t first = UnixDay(year, t.Month, 1);
  const std::int64_t next = t.Month == 12 ? UnixDay(year + 1, 1, 1) : UnixDay(year, t.Month + 1, 1);
  std::int64_t day = first + (t.DayOfWeek - WeekdayOfDay(first) + 7) % 7 + (t.DayOrder - 1) * 7;
  while (day >= next)
    day -= 7;
  return day;
}

std::int64_t TransitionMs(const TDvTimeZoneTransitionDate& t) {
  return ((t.Hour * 60 + t.Minute) * 60 + t.Second) * 1000LL;
}

TDvTimeZoneTransitionDate FromIcuRule(const icu::AnnualTimeZoneRule& rule, std::int32_t raw,
                                      std::int32_t savingsBefore) {
  const icu::DateTimeRule* dt = rule.getRule();
  std::int64_t wall = dt->getRuleMillisInDay();
  if (dt->getTimeRuleType() == icu::DateTimeRule::UTC_TIME) wall += raw + savingsBefore;
  if (dt->getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) wall += savingsBefore;
  TDvTimeZoneTransitionDate t;
  t.Month = dt->getRuleMonth() + 1;
  t.DayOfWeek = dt->getRuleDayOfWeek() - 1;
  switch (dt->getDateRuleType()) {
    case icu::DateTimeRule::DOW:
      t.DayOrder = dt->getRuleWeekInMonth() < 0 ? 5 : dt->getRuleWeekInMonth();
      break;
    case icu::DateTimeRule::DOW_GEQ_DOM:
      t.DayOrder = (dt->getRuleDayOfMonth() - 1) / 7 + 1;
      break;
    case icu::DateTimeRule::DOW_LEQ_DOM:
      t.DayOrder = dt->getRuleDayOfMonth() >= 28 ? 5 : dt->getRuleDayOfMonth() / 7;
      break;
    default:
      t.DayOfWeek = 0;
      t.DayOrder = (dt->getRuleDayOfMonth() - 1) / 7 + 1;
  }
  t.DayOrder = std::clamp(t.DayOrder, 1, 5);
  wall = ((wall % kDayMs) + kDayMs) % kDayMs;
  t.Hour = static_cast<int>(wall / 3600000);
  t.Minute = static_cast<int>(wall / kMinuteMs % 60);
  t.Second = static_cast<int>(wall / 1000 % 60);
  return t;
}

}  // namespace

int TDvTimeZoneInformation::OffsetAt(TDateTime utc) const {
  if (StandardDate.Month == 0 || DaylightDate.Month == 0) return -(Bias + StandardBias);
  const std::int64_t t = utc.ToUnixMilliseconds();
  int year, month, day, hour, minute, second, ms;
  TDateTime::FromUnixMilliseconds(t - Bias * kMinuteMs)
      .Decode(year, month, day, hour, minute, second, ms);
  // Daylight time begins at a standard wall-clock time and ends at a daylight one.
  const std::int64_t toDaylight = TransitionDay(year, DaylightDate) * kDayMs +
                                  TransitionMs(DaylightDate) + (Bias + StandardBias) * kMinuteMs;
  const std::int64_t toStandard = TransitionDay(year, StandardDate) * kDayMs +
                                  TransitionMs(StandardDate) + (Bias + DaylightBias) * kMinuteMs;
  const bool daylight = toDaylight < toStandard ? t >= toDaylight && t < toStandard
                                                : t >= toDaylight || t < toStandard;
  return -(Bias + (daylight ? DaylightBias : StandardBias));
}

TDateTime TDvTimeZoneInformation::LocalToUTC(TDateTime local) const {
  const std::int64_t l = local.ToUnixMilliseconds();
  const std::int64_t guess = l - OffsetAt(local) * kMinuteMs;
  return TDateTime::FromUnixMilliseconds(l - OffsetAt(TDateTime::FromUnixMilliseconds(guess)) *
                                                 kMinuteMs);
}

TDvTimeZoneInformation DvTimeZoneInformation(const std::string& ianaId, TDateTime at) {
  TDvTimeZoneInformation info;
  std::unique_ptr<icu::TimeZone> zone(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(ianaId)));
  auto* basic = dynamic_cast<icu::BasicTimeZone*>(zone.get());
  if (!basic) return info;
  icu::InitialTimeZoneRule* initial = nullptr;
  icu::AnnualTimeZoneRule* standard = nullptr;
  icu::AnnualTimeZoneRule* daylight = nullptr;
  UErrorCode status = U_ZERO_ERROR;
  basic->getSimpleRulesNear(static_cast<UDate>(at.ToUnixMilliseconds()), initial, standard,
                            daylight, status);
  if (U_SUCCESS(status) && initial) {
    info.Bias = -static_cast<int>(initial->getRawOffset() / kMinuteMs);
    if (standard && daylight) {
      info.StandardDate =
          FromIcuRule(*standard, initial->getRawOffset(), daylight->getDSTSavings());
      info.DaylightDate = FromIcuRule(*daylight, initial->getRawOffset(), 0);
      info.DaylightBias = -static_cast<int>(daylight->getDSTSavings() / kMinuteMs);
    }
  } else {
    info.Bias = -DvTimeZoneOffsetMinutes(ianaId, at);
  }
  delete initial;
  delete standard;
  delete daylight;
  return info;
}

TDvTimeZoneInformation DvLocalTimeZoneInformation() {
  return DvTimeZoneInformation(DvLocalTimeZoneId(), TDateTime::NowUTC());
}

// ---- Answers ----

namespace {

std::string ChildText(const DvDOMElementPtr& parent, std::string_view name) {
  if (!parent) return {};
  DvDOMElementPtr child = parent->ElementByName(name);
  return child ? child->GetAsString() : std::string();
}

int ChildInt(const DvDOMElementPtr& parent, std::string_view name) {
  const std::string text = ChildText(parent, name);
  return text.empty() ? 0 : static_cast<int>(DvXMLToInt(text));
}

bool ChildBool(const DvDOMElementPtr& parent, std::string_view name) {
  const std::string text = ChildText(parent, name);
  return !text.empty() && DvXMLToBool(text);
}

// A date-time of an answer: with a zone designator as written, without one in `zone`.
TDateTime AnswerTime(const std::string& text, const TDvTimeZoneInformation& zone) {
  const TDateTime value = DvXMLToDateTime(text);
  const bool zoned = text.size() > 19 && (text.back() == 'Z' || text[text.size() - 6] == '+' ||
                                          text[text.size() - 6] == '-');
  return zoned || value.IsZero() ? value : zone.LocalToUTC(value);
}

TDvTimeZoneTransitionDate ReadTransition(const DvDOMElementPtr& e, int& bias) {
  TDvTimeZoneTransitionDate t;
  if (!e) return t;
  bias = ChildInt(e, "Bias");
  int h = 0, m = 0, s = 0;
  std::sscanf(ChildText(e, "Time").c_str(), "%d:%d:%d", &h, &m, &s);
  t.Hour = h;
  t.Minute = m;
  t.Second = s;
  t.DayOrder = ChildInt(e, "DayOrder");
  t.Month = ChildInt(e, "Month");
  // The day travels as a name ("Sunday"); an integer is taken as it is.
  const std::string day = ChildText(e, "DayOfWeek");
  TDayOfWeek named;
  if (DvTryXMLToEnum(day, named) && static_cast<int>(named) < 7)
    t.DayOfWeek = static_cast<int>(named);
  else if (!day.empty() && std::isdigit(static_cast<unsigned char>(day[0])))
    t.DayOfWeek = static_cast<int>(DvXMLToInt(day));
  return t;
}

TDvTimeZoneInformation ReadZone(const DvDOMElementPtr& e) {
  TDvTimeZoneInformation z;
  if (!e) return z;
  z.Bias = ChildInt(e, "Bias");
  z.StandardDate = ReadTransition(e->ElementByName("StandardTime"), z.StandardBias);
  z.DaylightDate = ReadTransition(e->ElementByName("DaylightTime"), z.DaylightBias);
  return z;
}

std::vector<DvDOMElementPtr> ChildrenNamed(const DvDOMElementPtr& parent, std::string_view name) {
  std::vector<DvDOMElementPtr> out;
  if (!parent) return out;
  for (auto& e : parent->Elements())
    if (e->GetLocalName() == name) out.push_back(e);
  return out;
}

}  // namespace

TDvEWSUserWorkingHours::TDvEWSUserWorkingHours(const DvDOMElementPtr& element) {
  if (!element) return;
  FTimeZone = ReadZone(element->ElementByName("TimeZone"));
  for (auto& period :
       ChildrenNamed(element->ElementByName("WorkingPeriodArray"), "WorkingPeriod")) {
    TDvEWSUserWorkingPeriod p;
    const std::string days = ChildText(period, "DayOfWeek");
    std::size_t pos = 0;
    while (pos < days.size()) {
      const std::size_t end = std::min(days.find(' ', pos), days.size());
      TDvEWSDayOfWeekType day;
      if (end > pos && DvTryXMLToEnum(std::string_view(days).substr(pos, end - pos), day))
        p.DayOfWeek.Include(day);
      pos = end + 1;
    }
    p.StartTimeInMinutes = ChildInt(period, "StartTimeInMinutes");
    p.EndTimeInMinutes = ChildInt(period, "EndTimeInMinutes");
    FWorkingPeriods.push_back(p);
  }
}

TDvEWSCalendarEvent::TDvEWSCalendarEvent(const DvDOMElementPtr& element,
                                         const TDvTimeZoneInformation& zone) {
  FStartTime = AnswerTime(ChildText(element, "StartTime"), zone);
  FEndTime = AnswerTime(ChildText(element, "EndTime"), zone);
  DvTryXMLToEnum(ChildText(element, "BusyType"), FBusyType);
  DvDOMElementPtr details = element->ElementByName("CalendarEventDetails");
  FHasDetails = details != nullptr;
  if (!details) return;
  FID = ChildText(details, "ID");
  FSubject = ChildText(details, "Subject");
  FLocation = ChildText(details, "Location");
  FIsMeeting = ChildBool(details, "IsMeeting");
  FIsRecurring = ChildBool(details, "IsRecurring");
  FIsException = ChildBool(details, "IsException");
  FIsReminderSet = ChildBool(details, "IsReminderSet");
  FIsPrivate = ChildBool(details, "IsPrivate");
}

TDvEWSUserAvailability::TDvEWSUserAvailability(const std::string& email,
                                               const DvDOMElementPtr& response,
                                               const TDvTimeZoneInformation& zone)
    : FEMail(email) {
  DvDOMElementPtr message = response->ElementByName("ResponseMessage");
  FError = ChildText(message, "ResponseCode");
  FHasError = !message || message->GetAttribute("ResponseClass") != "Success";
  DvDOMElementPtr view = response->ElementByName("FreeBusyView");
  if (!view) return;
  DvTryXMLToEnum(ChildText(view, "FreeBusyViewType"), FViewType);
  FMergedFreeBusy = ChildText(view, "MergedFreeBusy");
  FWorkingHours = TDvEWSUserWorkingHours(view->ElementByName("WorkingHours"));
  for (auto& event : ChildrenNamed(view->ElementByName("CalendarEventArray"), "CalendarEvent"))
    FEvents.emplace_back(event, zone);
}

// ---- Session operations ----

namespace {

void AddText(const DvDOMElementPtr& parent, std::string_view name, std::string_view text) {
  parent->AddElement(name)->SetAsString(text);
}

// The request's zone: its bias and both transitions, with the fixed stand-ins of a zone
// without daylight saving time.
void AddTimeZone(const DvDOMElementPtr& op, const TDvTimeZoneInformation& zone) {
  DvDOMElementPtr tz = op->AddElement("t:TimeZone");
  AddText(tz, "t:Bias", std::to_string(zone.Bias));
  auto part = [&](const char* name, const TDvTimeZoneTransitionDate& date, int bias,
                  const char* fallbackTime) {
    DvDOMElementPtr e = tz->AddElement(name);
    const bool has = date.Month != 0;
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", date.Hour % 24, date.Minute % 60,
                  date.Second % 60);
    AddText(e, "t:Bias", std::to_string(has ? bias : 0));
    AddText(e, "t:Time", has ? time : fallbackTime);
    AddText(e, "t:DayOrder", std::to_string(has ? date.DayOrder : 5));
    AddText(e, "t:Month", std::to_string(has ? date.Month : 0));
    AddText(e, "t:DayOfWeek", DvEnumToXML(static_cast<TDayOfWeek>(has ? date.DayOfWeek : 0)));
  };
  part("t:StandardTime", zone.StandardDate, zone.StandardBias, "03:00:00");
  part("t:DaylightTime", zone.DaylightDate, zone.DaylightBias, "02:00:00");
}

void AddMailboxes(const DvDOMElementPtr& op, std::span<const TDvEWSMailboxData> mailboxes) {
  DvDOMElementPtr array = op->AddElement("m:MailboxDataArray");
  for (const auto& m : mailboxes) {
    DvDOMElementPtr data = array->AddElement("t:MailboxData");
    AddText(data->AddElement("t:Email"), "t:Address", m.Email);
    AddText(data, "t:AttendeeType", DvEnumToXML(m.AttendeeType));
    AddText(data, "t:ExcludeConflicts", m.ExcludeConflicts ? "true" : "false");
  }
}

void AddWindow(const DvDOMElementPtr& parent, const char* name, TDateTime start, TDateTime end) {
  DvDOMElementPtr window = parent->AddElement(name);
  window->AddElement("t:StartTime")->SetAsDateTime(start);
  window->AddElement("t:EndTime")->SetAsDateTime(end);
}

// A GetUserAvailability request with its time zone and mailboxes; the view options follow.
std::shared_ptr<IDvSOAPRequest> AvailabilityRequest(TDvEWSCustomSession& session,
                                                    std::span<const TDvEWSMailboxData> mailboxes,
                                                    const TDvTimeZoneInformation& timeZone) {
  session.CheckActive();
  auto request = session.CreateRequest(nullptr, "m:GetUserAvailabilityRequest",
                                       "m:GetUserAvailabilityResponse");
  AddTimeZone(request->GetOperation(), timeZone);
  AddMailboxes(request->GetOperation(), mailboxes);
  return request;
}

DvDOMElementPtr ResponseChild(const DvSOAPResponsePtr& response, std::string_view name) {
  DvDOMElementPtr root =
      response->GetDocument()->SelectSingleElement("/Envelope/Body/GetUserAvailabilityResponse");
  return root ? root->ElementByName(name) : nullptr;
}

}  // namespace

std::shared_ptr<IDvEWSResolutionSet> TDvEWSCustomSession::ResolveName(
    const std::string& unresolvedEntry, TSearchScope scope) {
  return ResolveName(unresolvedEntry, DvEWSResolveScope(scope));
}

std::vector<DvEWSUserAvailabilityPtr> TDvEWSCustomSession::GetUserAvailibility(
    std::span<const TDvEWSMailboxData> mailboxes, TDateTime startTime, TDateTime endTime,
    int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView,
    const TDvTimeZoneInformation& timeZone) {
  auto request = AvailabilityRequest(*this, mailboxes, timeZone);
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr options = op->AddElement("t:FreeBusyViewOptions");
  AddWindow(options, "t:TimeWindow", startTime, endTime);
  AddText(options, "t:MergedFreeBusyIntervalInMinutes",
          std::to_string(mergedFreeBusyIntervalInMinutes));
  AddText(options, "t:RequestedView", DvEnumToXML(requestedView));
  DvSOAPResponsePtr response = request->Send();
  auto answers =
      ChildrenNamed(ResponseChild(response, "FreeBusyResponseArray"), "FreeBusyResponse");
  if (answers.size() != mailboxes.size())
    throw EEWSException(
        "The call to GetUserAvailability dit not return info for all requested mailboxes!");
  std::vector<DvEWSUserAvailabilityPtr> result;
  for (std::size_t i = 0; i < answers.size(); ++i)
    result.push_back(
        std::make_shared<TDvEWSUserAvailability>(mailboxes[i].Email, answers[i], timeZone));
  return result;
}

std::vector<DvEWSUserAvailabilityPtr> TDvEWSCustomSession::GetUserAvailibility(
    std::span<const TDvEWSMailboxData> mailboxes, TDateTime startTime, TDateTime endTime,
    int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView) {
  return GetUserAvailibility(mailboxes, startTime, endTime, mergedFreeBusyIntervalInMinutes,
                             requestedView, DvLocalTimeZoneInformation());
}

std::vector<DvEWSUserAvailabilityPtr> TDvEWSCustomSession::GetUserAvailibility(
    const std::vector<TDvEWSMailboxData>& mailboxes, TDateTime startTime, TDateTime endTime,
    int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView) {
  return GetUserAvailibility(std::span<const TDvEWSMailboxData>(mailboxes), startTime, endTime,
                             mergedFreeBusyIntervalInMinutes, requestedView);
}

DvEWSUserAvailabilityPtr TDvEWSCustomSession::GetUserAvailibility(
    const TDvEWSMailboxData& mailbox, TDateTime startTime, TDateTime endTime,
    int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView) {
  return GetUserAvailibility(std::span<const TDvEWSMailboxData>(&mailbox, 1), startTime, endTime,
                             mergedFreeBusyIntervalInMinutes, requestedView)
      .front();
}

std::vector<TDvEWSSuggestionDay> TDvEWSCustomSession::GetMeetingSuggestions(
    std::span<const TDvEWSMailboxData> attendees, TDateTime startTime, TDateTime endTime,
    int durationInMinutes, const TDvEWSSuggestionOptions& options,
    const TDvTimeZoneInformation& timeZone) {
  auto request = AvailabilityRequest(*this, attendees, timeZone);
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr view = op->AddElement("t:SuggestionsViewOptions");
  AddText(view, "t:GoodThreshold", std::to_string(options.GoodThreshold));
  AddText(view, "t:MaximumResultsByDay", std::to_string(options.MaximumResultsByDay));
  AddText(view, "t:MaximumNonWorkHourResultsByDay",
          std::to_string(options.MaximumNonWorkHourResultsByDay));
  AddText(view, "t:MeetingDurationInMinutes", std::to_string(durationInMinutes));
  AddText(view, "t:MinimumSuggestionQuality", DvEnumToXML(options.MinimumSuggestionQuality));
  AddWindow(view, "t:DetailedSuggestionsWindow", startTime, endTime);
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr answer = ResponseChild(response, "SuggestionsResponse");
  if (!answer)
    throw EEWSException("ErrorInvalidServerResponse", "The response holds no suggestions!", 0);
  if (DvDOMElementPtr message = answer->ElementByName("ResponseMessage"))
    CheckResponseError(message);
  std::vector<TDvEWSSuggestionDay> days;
  for (auto& d :
       ChildrenNamed(answer->ElementByName("SuggestionDayResultArray"), "SuggestionDayResult")) {
    TDvEWSSuggestionDay day;
    day.Date = AnswerTime(ChildText(d, "Date"), timeZone);
    DvTryXMLToEnum(ChildText(d, "DayQuality"), day.DayQuality);
    for (auto& s : ChildrenNamed(d->ElementByName("SuggestionArray"), "Suggestion")) {
      TDvEWSMeetingSuggestion suggestion;
      suggestion.MeetingTime = AnswerTime(ChildText(s, "MeetingTime"), timeZone);
      suggestion.IsWorkTime = ChildBool(s, "IsWorkTime");
      DvTryXMLToEnum(ChildText(s, "SuggestionQuality"), suggestion.Quality);
      if (DvDOMElementPtr conflicts = s->ElementByName("AttendeeConflictDataArray")) {
        for (auto& c : conflicts->Elements()) {
          TLegacyFreeBusy status = TLegacyFreeBusy::lfbNoData;
          if (c->GetLocalName() == "IndividualAttendeeConflictData")
            DvTryXMLToEnum(ChildText(c, "BusyType"), status);
          suggestion.AttendeeStatus.push_back(status);
        }
      }
      day.Suggestions.push_back(std::move(suggestion));
    }
    days.push_back(std::move(day));
  }
  return days;
}

std::vector<TDvEWSSuggestionDay> TDvEWSCustomSession::GetMeetingSuggestions(
    std::span<const TDvEWSMailboxData> attendees, TDateTime startTime, TDateTime endTime,
    int durationInMinutes) {
  return GetMeetingSuggestions(attendees, startTime, endTime, durationInMinutes, {},
                               DvLocalTimeZoneInformation());
}

std::vector<DvEWSMailTipsPtr> TDvEWSCustomSession::GetMailTips(
    const std::vector<std::string>& mailboxes) {
  CheckActive();
  std::string sender = GetDefaultStoreEmail();
  if (sender.empty()) {
    OpenDefaultMsgStore();
    sender = GetDefaultStoreEmail();
  }
  auto request = CreateRequest(nullptr, "m:GetMailTips", "m:GetMailTipsResponse");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr sendingAs = op->AddElement("m:SendingAs");
  AddText(sendingAs, "t:EmailAddress", sender);
  AddText(sendingAs, "t:RoutingType", "SMTP");
  DvDOMElementPtr recipients = op->AddElement("m:Recipients");
  for (const auto& address : mailboxes) {
    DvDOMElementPtr mailbox = recipients->AddElement("t:Mailbox");
    AddText(mailbox, "t:EmailAddress", address);
    AddText(mailbox, "t:RoutingType", "SMTP");
  }
  AddText(op, "m:MailTipsRequested", "All");
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr list = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/GetMailTipsResponse/ResponseMessages");
  auto messages = ChildrenNamed(list, "MailTipsResponseMessageType");
  std::vector<DvEWSMailTipsPtr> result;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const std::string code = ChildText(messages[i], "ResponseCode");
    if (code != "NoError")
      throw EEWSException::CreateFmt("Failed to get the mailtips for %s!",
                                     {i < mailboxes.size() ? mailboxes[i] : std::string()}, code);
    DvDOMElementPtr tips = messages[i]->ElementByName("MailTips");
    if (!tips) tips = messages[i]->AddElement("t:MailTips");
    result.push_back(std::make_shared<TDvEWSMailTips>(tips));
  }
  return result;
}

DvEWSMailTipsPtr TDvEWSCustomSession::GetMailTips(const std::string& mailbox) {
  auto tips = GetMailTips(std::vector<std::string>{mailbox});
  if (tips.empty())
    throw EEWSException("ErrorInvalidServerResponse", "The response holds no mail tips!", 0);
  return tips.front();
}

std::shared_ptr<TDvEwsNonEmptyArrayOfAlternateIds> TDvEWSCustomSession::ConvertId(
    const std::vector<TDvEwsAlternateId>& sourceIds, TIdFormat destinationFormat) {
  CheckActive();
  // Directly on the session's SOAP client: the identifiers name their mailboxes themselves, so
  // the request carries the version only (ConvertId needs Exchange 2007 SP1 or later).
  DvSOAPRequestPtr request = GetSOAPClient()->CreateRequest(
      "http://schemas.microsoft.com/exchange/services/2006/messages/"
      "ConvertId",
      "m:ConvertId");
  request->AddHeader("t:RequestServerVersion")
      ->SetAttribute("Version", EwsServerVersionName(
                                    std::max(FRequestVersion, TServerVersion::Exchange2007_SP1)));
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("DestinationFormat", DvEnumToXML(destinationFormat));
  DvDOMElementPtr ids = op->AddElement("m:SourceIds");
  for (const auto& source : sourceIds) {
    DvDOMElementPtr id = ids->AddElement("t:AlternateId");
    id->SetAttribute("Format", DvEnumToXML(source.Format));
    id->SetAttribute("Id", source.Id);
    id->SetAttribute("Mailbox", source.Mailbox);
  }
  DvSOAPResponsePtr response;
  {
    std::lock_guard<std::recursive_mutex> hold(GetRequestLock());
    response = request->Send();
  }
  DvDOMElementPtr messages = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/ConvertIdResponse/ResponseMessages");
  if (!messages)
    throw EEWSException("ErrorInvalidServerResponse", "The response holds no ResponseMessages!", 0);
  for (auto& message : messages->Elements())
    CheckResponseError(message);
  return std::make_shared<TDvEwsNonEmptyArrayOfAlternateIds>(messages);
}

std::shared_ptr<TDvEwsNonEmptyArrayOfAlternateIds> TDvEWSCustomSession::ConvertId(
    TIdFormat format, const std::string& id, const std::string& mailbox,
    TIdFormat destinationFormat) {
  return ConvertId(std::vector<TDvEwsAlternateId>{{format, id, mailbox}}, destinationFormat);
}

}  // namespace dv
