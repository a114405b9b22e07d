// The calendar engine: expansion of recurring series into occurrences, occurrence ids, and the
// meeting workflow (requests, responses, cancellations, resource booking).
//
// Times are milliseconds since 1970-01-01 UTC, as everywhere in the simulator. A recurring
// master keeps its pattern as the t:Recurrence element it was saved with; occurrences are
// computed on demand in the series' own time zone (StartTimeZone, else MeetingTimeZone, else
// UTC), so a weekly 09:00 meeting stays at 09:00 wall-clock time across daylight-saving changes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store.h"

namespace ewssim {

// One appearance of a calendar item in a time range.
struct Occurrence {
  uint64_t itemId = 0;    // the stored item: a single item, the master, or an exception
  uint64_t masterId = 0;  // the recurring master (0 for a single item)
  int index = 0;          // 1-based instance index within the series (0 for a single item)
  int64_t start = 0, end = 0;
  int64_t originalStart = 0;  // the start the pattern gives (occurrences and exceptions)
  std::string type;           // CalendarItemType: Single, Occurrence, Exception
  bool isAllDay = false;
  std::string freeBusy;  // LegacyFreeBusyStatus: Free, Tentative, Busy, OOF, NoData
  std::string subject, location;
};

// Every appearance of the calendar items of `folder` overlapping [from, to), in start order:
// single items, the occurrences of recurring masters (deleted ones left out), and exceptions at
// their modified times. Masters themselves never appear. Read-only; callers hold the store's
// lock.
std::vector<Occurrence> ExpandCalendar(const Mailbox& mbx, const Folder& folder, int64_t from,
                                       int64_t to);

// The starts (UTC) of the first `limit` instances of a master's pattern, unmodified (deleted
// and modified occurrences included, at their original starts).
std::vector<int64_t> SeriesStarts(const Item& master, size_t limit);

// The original start of instance `index` (1-based) of a master, if the series has it.
std::optional<int64_t> InstanceStart(const Item& master, int index);

}  // namespace ewssim
