// Windows time zones as Exchange names them, with offsets and transition rules from ICU.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class BasicTimeZone;
U_NAMESPACE_END

namespace ewssim {

struct WindowsZone {
  const char* id;
  const char* name;
};

const std::vector<WindowsZone>& WindowsZones();
bool IsKnownZone(const std::string& id);
// The ICU zone of a Windows zone id of the table above (made once, kept for the process); null
// for any other id.
const icu::BasicTimeZone* ZoneFor(const std::string& windowsId);
// Offset from UTC (ms) of zone `id` for a wall-clock time `localMs` in that zone; 0 when unknown.
int64_t LocalOffsetMs(const std::string& id, int64_t localMs);
// Appends a t:TimeZoneDefinition element; full adds Periods, TransitionsGroups and Transitions.
void WriteTimeZoneDefinition(std::string& out, const WindowsZone& zone, bool full);

}  // namespace ewssim
