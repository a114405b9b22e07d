// The calendar's part of the item operations: occurrence ids, CalendarView, meeting requests,
// responses and cancellations, and resource booking. The item operations call these hooks; the
// engine they use is calendar.h.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "ops.h"

namespace ewssim {

// True for an OccurrenceItemId, a RecurringMasterItemId, or an ItemId naming an occurrence.
bool IsCalendarId(const pugi::xml_node& id);
// The item such an id names: an occurrence (made for this request, kept in Ctx::scratch) or a
// recurring master. Throws Exchange's EwsError when the id names nothing of the kind.
std::pair<Mailbox*, Item*> ResolveCalendarId(Ctx& c, const pugi::xml_node& id);

// AcceptItem, TentativelyAcceptItem, DeclineItem, CancelCalendarItem, RemoveItem.
bool IsCalendarResponseKind(std::string_view kind);
// Carries out one such CreateItem entry and appends its m:Items.
void CreateCalendarResponse(Ctx& c, const pugi::xml_node& n, std::string& out);

// After CreateItem stored a calendar item: invitations by the request's SendMeetingInvitations.
void CalendarCreated(Ctx& c, Mailbox& m, Item& item);
// After UpdateItem changed a calendar item (`before` is the item as it was): an occurrence
// becomes an exception of its master; a meeting's organizer sends updates by the request's
// SendMeetingInvitationsOrCancellations.
void CalendarUpdated(Ctx& c, Mailbox& m, Item& item, const Item& before);
// DeleteItem of a calendar item: an occurrence is deleted from its series (true: done); a
// meeting's organizer sends cancellations by SendMeetingCancellations (false: the deletion
// goes on).
bool DeleteCalendarItem(Ctx& c, Mailbox& m, Item& item);

// True for requests of Exchange2007 clients, which read a calendar item's zone as MeetingTimeZone.
bool LegacyTimeZones(const Ctx& c);

// The m:RootFolder of a FindItem with a CalendarView on `folder`.
void WriteCalendarView(Ctx& c, Mailbox& m, const Folder& folder, const pugi::xml_node& view,
                       const Shape& shape, std::string& out);

}  // namespace ewssim
