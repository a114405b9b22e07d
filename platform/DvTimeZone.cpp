#include "DvTimeZone.h"

#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace dv {

namespace {

std::string ToUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

std::unique_ptr<icu::TimeZone> CreateZone(const std::string& ianaId) {
  return std::unique_ptr<icu::TimeZone>(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(ianaId)));
}

}  // namespace

std::string DvLocalTimeZoneId() {
  // ICU's host detection reads TZ first, then /etc/localtime; it gives "Etc/Unknown" when both
  // fail, which we report as UTC. It fills static buffers of ICU's own without a lock, so two
  // threads must not run it at once.
  static std::mutex detecting;
  std::unique_ptr<icu::TimeZone> zone;
  {
    std::lock_guard<std::mutex> hold(detecting);
    zone.reset(icu::TimeZone::detectHostTimeZone());
  }
  if (!zone) return "Etc/UTC";
  icu::UnicodeString id;
  zone->getID(id);
  std::string text = ToUtf8(id);
  if (text.empty() || text == "Etc/Unknown") return "Etc/UTC";
  return text;
}

std::string DvWindowsTimeZoneId(const std::string& ianaId) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString windowsId;
  icu::TimeZone::getWindowsID(icu::UnicodeString::fromUTF8(ianaId), windowsId, status);
  if (U_FAILURE(status)) return {};
  return ToUtf8(windowsId);
}

std::string DvIanaTimeZoneId(const std::string& windowsId) {
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString id;
  icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(windowsId), nullptr, id, status);
  if (U_FAILURE(status)) return {};
  return ToUtf8(id);
}

TDateTime DvWallClockToUTC(const std::string& ianaId, TDateTime wallClock) {
  auto zone = CreateZone(ianaId);
  UErrorCode status = U_ZERO_ERROR;
  int32_t raw = 0;
  int32_t dst = 0;
  const std::int64_t local = wallClock.ToUnixMilliseconds();
  zone->getOffset(static_cast<UDate>(local), true, raw, dst, status);
  if (U_FAILURE(status)) return wallClock;
  return TDateTime::FromUnixMilliseconds(local - raw - dst);
}

std::string DvLocalWindowsTimeZoneId() {
  return DvWindowsTimeZoneId(DvLocalTimeZoneId());
}

int DvTimeZoneOffsetMinutes(const std::string& ianaId, TDateTime at) {
  auto zone = CreateZone(ianaId);
  UErrorCode status = U_ZERO_ERROR;
  int32_t raw = 0;
  int32_t dst = 0;
  const UDate when = static_cast<UDate>(at.ToUnixMilliseconds());
  zone->getOffset(when, false, raw, dst, status);
  if (U_FAILURE(status)) return 0;
  return (raw + dst) / 60000;
}

int DvLocalUTCOffsetMinutes() {
  return DvTimeZoneOffsetMinutes(DvLocalTimeZoneId(), TDateTime::NowUTC());
}

std::string DvUTCOffsetText(int offsetMinutes) {
  if (offsetMinutes == 0) return "(UTC+00:00)";
  const int magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "(UTC%c%02d:%02d)", offsetMinutes < 0 ? '-' : '+',
                magnitude / 60, magnitude % 60);
  return buffer;
}

}  // namespace dv
