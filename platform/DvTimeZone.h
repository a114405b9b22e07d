/// @file
/// The local machine's time zone: its IANA identifier, the Windows identifier Exchange uses for it,
/// and UTC offsets (ICU's time-zone data).
#pragma once

#include <string>

#include "DvSysUtils.h"

namespace dv {

/// The IANA identifier of the local zone ("Europe/Berlin"), from TZ or /etc/localtime; "Etc/UTC"
/// when the zone cannot be found.
std::string DvLocalTimeZoneId();

/// The Windows identifier of an IANA zone ("W. Europe Standard Time"); empty when Windows has no
/// zone for it (Antarctica/Troll, for instance).
std::string DvWindowsTimeZoneId(const std::string& ianaId);

/// The IANA zone of a Windows identifier ("W. Europe Standard Time" gives "Europe/Berlin"); empty
/// when ICU knows no zone for it.
std::string DvIanaTimeZoneId(const std::string& windowsId);

/// The UTC instant of a wall-clock time in an IANA zone, daylight saving included. A time that a
/// change to daylight saving skips or repeats is taken with the offset in force before it.
TDateTime DvWallClockToUTC(const std::string& ianaId, TDateTime wallClock);

/// The Windows identifier of the local zone; empty when it has none.
std::string DvLocalWindowsTimeZoneId();

/// Minutes east of UTC of an IANA zone at a given instant (daylight saving included). An unknown
/// zone is taken as UTC.
int DvTimeZoneOffsetMinutes(const std::string& ianaId, TDateTime at);

/// Minutes east of UTC of the local zone now.
int DvLocalUTCOffsetMinutes();

/// "(UTC+00:00)" for zero, else "(UTC+hh:mm)" or "(UTC-hh:mm)" with the absolute hours and minutes.
std::string DvUTCOffsetText(int offsetMinutes);

}  // namespace dv
