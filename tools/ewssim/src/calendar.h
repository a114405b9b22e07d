// The calendar engine: expansion of recurring series into occurrences, occurrence ids, and the
// elements Exchange computes for calendar items.
//
// Times are milliseconds since 1970-01-01 UTC, as everywhere in the simulator. A recurring
// master keeps its pattern as the t:Recurrence element it was saved with; occurrences are
// computed on demand in the series' own time zone (StartTimeZone, else MeetingTimeZone, else
// UTC), so a weekly 09:00 meeting stays at 09:00 wall-clock time across daylight-saving changes.
// Modified occurrences (exceptions) are kept in the master (Item::exceptions, by instance index),
// deleted ones in its DeletedOccurrences element.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store.h"

namespace ewssim {

// One appearance of a calendar item in a time range.
struct Occurrence {
  uint64_t itemId = 0;    // the stored item (single) or the occurrence's id (OccurrenceLocalId)
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

// The original starts (UTC) of a master's instances, in order, up to `limit` instances or the
// first start at or after `until` (deleted and modified ones included).
std::vector<int64_t> SeriesStarts(const Item& master, size_t limit, int64_t until);

// The original start of instance `index` (1-based) of a master, if the series has it.
std::optional<int64_t> InstanceStart(const Item& master, int index);

// Occurrence ids: the master's local id with the instance index in the high bits.
constexpr int kOccurrenceShift = 40;
inline uint64_t OccurrenceLocalId(uint64_t master, int index) {
  return (static_cast<uint64_t>(index) << kOccurrenceShift) | master;
}
inline bool IsOccurrenceLocalId(uint64_t local) {
  return (local >> kOccurrenceShift) != 0;
}

// The zone a calendar item's times are read in (a Windows zone id; "UTC" when none is named).
std::string SeriesZone(const Item& item);
// True when instance `index` of a master was deleted.
bool IsDeletedOccurrence(const Item& master, int index);
// The occurrence `index` of a master as an item of its own (CalendarItemType Occurrence, or the
// exception when it was modified), with the occurrence's id. Throws the EwsError Exchange gives
// for an index out of the series or a deleted occurrence.
std::shared_ptr<Item> OccurrenceItem(const Mailbox& mbx, const Item& master, int index);
// Refuses what Exchange refuses in a calendar item being saved: an end before the start
// (ErrorCalendarEndDateIsEarlierThanStartDate), a recurrence without a pattern or range, or
// with a range that yields no occurrence (ErrorCalendarInvalidRecurrence).
void CheckCalendarItem(const Item& item);
// As OccurrenceItem, for an instance whose original start is known (no checks).
std::shared_ptr<Item> OccurrenceItemAt(const Mailbox& mbx, const Item& master, int index,
                                       int64_t originalStart);
// Rewrites the elements Exchange computes for a calendar item (called by Refresh).
void RefreshCalendar(const Mailbox& mbx, Item& item);

}  // namespace ewssim
