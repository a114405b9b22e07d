#include "timezones.h"

#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

#include "util.h"

namespace ewssim {

const std::vector<WindowsZone>& WindowsZones() {
  static const std::vector<WindowsZone> zones = {
      {"Dateline Standard Time", "(UTC-12:00) International Date Line West"},
      {"UTC-11", "(UTC-11:00) Coordinated Universal Time-11"},
      {"Hawaiian Standard Time", "(UTC-10:00) Hawaii"},
      {"Alaskan Standard Time", "(UTC-09:00) Alaska"},
      {"Pacific Standard Time", "(UTC-08:00) Pacific Time (US & Canada)"},
      {"US Mountain Standard Time", "(UTC-07:00) Arizona"},
      {"Mountain Standard Time", "(UTC-07:00) Mountain Time (US & Canada)"},
      {"Central America Standard Time", "(UTC-06:00) Central America"},
      {"Central Standard Time", "(UTC-06:00) Central Time (US & Canada)"},
      {"Canada Central Standard Time", "(UTC-06:00) Saskatchewan"},
      {"SA Pacific Standard Time", "(UTC-05:00) Bogota, Lima, Quito, Rio Branco"},
      {"Eastern Standard Time", "(UTC-05:00) Eastern Time (US & Canada)"},
      {"Atlantic Standard Time", "(UTC-04:00) Atlantic Time (Canada)"},
      {"SA Western Standard Time", "(UTC-04:00) Georgetown, La Paz, Manaus, San Juan"},
      {"Newfoundland Standard Time", "(UTC-03:30) Newfoundland"},
      {"E. South America Standard Time", "(UTC-03:00) Brasilia"},
      {"Argentina Standard Time", "(UTC-03:00) City of Buenos Aires"},
      {"UTC-02", "(UTC-02:00) Coordinated Universal Time-02"},
      {"Azores Standard Time", "(UTC-01:00) Azores"},
      {"Cape Verde Standard Time", "(UTC-01:00) Cabo Verde Is."},
      {"UTC", "(UTC) Coordinated Universal Time"},
      {"GMT Standard Time", "(UTC+00:00) Dublin, Edinburgh, Lisbon, London"},
      {"Greenwich Standard Time", "(UTC+00:00) Monrovia, Reykjavik"},
      {"W. Europe Standard Time", "(UTC+01:00) Amsterdam, Berlin, Bern, Rome, Stockholm, Vienna"},
      {"Central Europe Standard Time",
       "(UTC+01:00) Belgrade, Bratislava, Budapest, Ljubljana, Prague"},
      {"Romance Standard Time", "(UTC+01:00) Brussels, Copenhagen, Madrid, Paris"},
      {"Central European Standard Time", "(UTC+01:00) Sarajevo, Skopje, Warsaw, Zagreb"},
      {"W. Central Africa Standard Time", "(UTC+01:00) West Central Africa"},
      {"GTB Standard Time", "(UTC+02:00) Athens, Bucharest"},
      {"Egypt Standard Time", "(UTC+02:00) Cairo"},
      {"South Africa Standard Time", "(UTC+02:00) Harare, Pretoria"},
      {"FLE Standard Time", "(UTC+02:00) Helsinki, Kyiv, Riga, Sofia, Tallinn, Vilnius"},
      {"Israel Standard Time", "(UTC+02:00) Jerusalem"},
      {"Turkey Standard Time", "(UTC+03:00) Istanbul"},
      {"Arab Standard Time", "(UTC+03:00) Kuwait, Riyadh"},
      {"Russian Standard Time", "(UTC+03:00) Moscow, St. Petersburg"},
      {"E. Africa Standard Time", "(UTC+03:00) Nairobi"},
      {"Iran Standard Time", "(UTC+03:30) Tehran"},
      {"Arabian Standard Time", "(UTC+04:00) Abu Dhabi, Muscat"},
      {"Afghanistan Standard Time", "(UTC+04:30) Kabul"},
      {"Pakistan Standard Time", "(UTC+05:00) Islamabad, Karachi"},
      {"India Standard Time", "(UTC+05:30) Chennai, Kolkata, Mumbai, New Delhi"},
      {"Nepal Standard Time", "(UTC+05:45) Kathmandu"},
      {"Bangladesh Standard Time", "(UTC+06:00) Dhaka"},
      {"SE Asia Standard Time", "(UTC+07:00) Bangkok, Hanoi, Jakarta"},
      {"China Standard Time", "(UTC+08:00) Beijing, Chongqing, Hong Kong, Urumqi"},
      {"Singapore Standard Time", "(UTC+08:00) Kuala Lumpur, Singapore"},
      {"W. Australia Standard Time", "(UTC+08:00) Perth"},
      {"Tokyo Standard Time", "(UTC+09:00) Osaka, Sapporo, Tokyo"},
      {"Korea Standard Time", "(UTC+09:00) Seoul"},
      {"Cen. Australia Standard Time", "(UTC+09:30) Adelaide"},
      {"E. Australia Standard Time", "(UTC+10:00) Brisbane"},
      {"AUS Eastern Standard Time", "(UTC+10:00) Canberra, Melbourne, Sydney"},
      {"West Pacific Standard Time", "(UTC+10:00) Guam, Port Moresby"},
      {"Central Pacific Standard Time", "(UTC+11:00) Solomon Is., New Caledonia"},
      {"New Zealand Standard Time", "(UTC+12:00) Auckland, Wellington"},
      {"Tonga Standard Time", "(UTC+13:00) Nuku'alofa"},
  };
  return zones;
}

bool IsKnownZone(const std::string& id) {
  for (const auto& z : WindowsZones())
    if (id == z.id) return true;
  return false;
}

// ICU zones are immutable once made; the cache only guards creation.
const icu::BasicTimeZone* ZoneFor(const std::string& windowsId) {
  static std::mutex mu;
  static std::map<std::string, std::unique_ptr<icu::TimeZone>> cache;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find(windowsId);
  if (it == cache.end()) {
    std::unique_ptr<icu::TimeZone> zone;
    if (IsKnownZone(windowsId)) {
      UErrorCode status = U_ZERO_ERROR;
      icu::UnicodeString iana;
      icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(windowsId), nullptr, iana,
                                       status);
      if (U_SUCCESS(status) && !iana.isEmpty()) zone.reset(icu::TimeZone::createTimeZone(iana));
    }
    it = cache.emplace(windowsId, std::move(zone)).first;
  }
  return dynamic_cast<const icu::BasicTimeZone*>(it->second.get());
}

namespace {

std::string Duration(int64_t ms) {
  // xs:duration of a bias or offset such as -PT1H or PT2H30M.
  std::string out;
  if (ms < 0) {
    out += '-';
    ms = -ms;
  }
  out += "PT";
  int64_t mins = ms / 60000;
  if (mins == 0) return out + "0M";
  if (mins / 60) out += std::to_string(mins / 60) + "H";
  if (mins % 60) out += std::to_string(mins % 60) + "M";
  return out;
}

const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                           "Thursday", "Friday", "Saturday"};

void WriteRule(std::string& out, const icu::AnnualTimeZoneRule& rule, const std::string& toPeriod,
               int32_t rawOffset, int32_t savingsBefore) {
  const icu::DateTimeRule* dt = rule.getRule();
  int64_t wall = dt->getRuleMillisInDay();
  if (dt->getTimeRuleType() == icu::DateTimeRule::UTC_TIME) wall += rawOffset + savingsBefore;
  if (dt->getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) wall += savingsBefore;
  int occurrence = 1;
  int dow = dt->getRuleDayOfWeek();
  switch (dt->getDateRuleType()) {
    case icu::DateTimeRule::DOW:
      occurrence = dt->getRuleWeekInMonth();
      break;
    case icu::DateTimeRule::DOW_GEQ_DOM:
      occurrence = (dt->getRuleDayOfMonth() - 1) / 7 + 1;
      break;
    case icu::DateTimeRule::DOW_LEQ_DOM:
      occurrence = dt->getRuleDayOfMonth() >= 28 ? -1 : dt->getRuleDayOfMonth() / 7;
      break;
    default:
      dow = 1;
      occurrence = (dt->getRuleDayOfMonth() - 1) / 7 + 1;
  }
  if (occurrence > 4) occurrence = -1;
  out += "<t:RecurringDayTransition><t:To Kind=\"Period\">";
  AppendEscaped(out, toPeriod);
  out += "</t:To><t:TimeOffset>" + Duration(wall) + "</t:TimeOffset><t:Month>" +
         std::to_string(dt->getRuleMonth() + 1) + "</t:Month><t:DayOfWeek>" +
         kDayNames[(dow + 6) % 7] + "</t:DayOfWeek><t:Occurrence>" + std::to_string(occurrence) +
         "</t:Occurrence></t:RecurringDayTransition>";
}

}  // namespace

int64_t LocalOffsetMs(const std::string& id, int64_t localMs) {
  const icu::BasicTimeZone* zone = ZoneFor(id);
  if (!zone) return 0;
  int32_t raw = 0, dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone->getOffsetFromLocal(static_cast<UDate>(localMs), UCAL_TZ_LOCAL_FORMER, UCAL_TZ_LOCAL_FORMER,
                           raw, dst, status);
  return U_SUCCESS(status) ? static_cast<int64_t>(raw) + dst : 0;
}

void WriteTimeZoneDefinition(std::string& out, const WindowsZone& zone, bool full) {
  out += "<t:TimeZoneDefinition Name=\"";
  AppendAttrEscaped(out, zone.name);
  out += "\" Id=\"";
  AppendAttrEscaped(out, zone.id);
  out += "\"";
  if (!full) {
    out += "/>";
    return;
  }
  out += ">";
  const icu::BasicTimeZone* tz = ZoneFor(zone.id);
  icu::InitialTimeZoneRule* initial = nullptr;
  icu::AnnualTimeZoneRule* stdRule = nullptr;
  icu::AnnualTimeZoneRule* dstRule = nullptr;
  int32_t raw = 0;
  if (tz) {
    UErrorCode status = U_ZERO_ERROR;
    tz->getSimpleRulesNear(static_cast<UDate>(NowMs()), initial, stdRule, dstRule, status);
    raw = initial ? initial->getRawOffset() : tz->getRawOffset();
    if (U_FAILURE(status)) stdRule = dstRule = nullptr;
  }
  const std::string base = std::string("trule:Microsoft/Registry/") + zone.id + "/";
  const std::string stdId = base + "Standard", dltId = base + "Daylight";
  out += "<t:Periods><t:Period Bias=\"" + Duration(-raw) + "\" Name=\"Standard\" Id=\"";
  AppendAttrEscaped(out, stdId);
  out += "\"/>";
  if (stdRule && dstRule) {
    out += "<t:Period Bias=\"" + Duration(-(raw + dstRule->getDSTSavings())) +
           "\" Name=\"Daylight\" Id=\"";
    AppendAttrEscaped(out, dltId);
    out += "\"/>";
  }
  out += "</t:Periods><t:TransitionsGroups><t:TransitionsGroup Id=\"0\">";
  if (stdRule && dstRule) {
    WriteRule(out, *dstRule, dltId, raw, 0);
    WriteRule(out, *stdRule, stdId, raw, dstRule->getDSTSavings());
  } else {
    out += "<t:Transition><t:To Kind=\"Period\">";
    AppendEscaped(out, stdId);
    out += "</t:To></t:Transition>";
  }
  out +=
      "</t:TransitionsGroup></t:TransitionsGroups><t:Transitions><t:Transition><t:To "
      "Kind=\"Group\">0</t:To></t:Transition></t:Transitions></t:TimeZoneDefinition>";
  delete initial;
  delete stdRule;
  delete dstRule;
}

}  // namespace ewssim
