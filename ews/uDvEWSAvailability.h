/// @file
/// Availability and mail tips: other users' free/busy time and working hours, meeting-time
/// suggestions, the mail tips of recipients before sending, and the search scope of name
/// resolution. The session's operations that return these are declared in uDvEWS.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DvSysUtils.h"
#include "DvXML.h"
#include "DvXMLSchema.h"
#include "uDvEWSTypes.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

/// Where name resolution looks: the directory, the user's contacts, or both in either order.
/// Written as the EWS ResolveNamesSearchScope values ("ActiveDirectoryContacts").
enum class TSearchScope {
  scActiveDirectory,
  scActiveDirectoryContacts,
  scContacts,
  scContactsActiveDirectory
};
/// The enumeration table of TSearchScope.
const TDvEnumTypeInfo& DvEnumTypeInfo(TSearchScope);
/// The EWS enumeration value of a search scope.
TResolveNamesSearchScope DvEWSResolveScope(TSearchScope scope);

/// An attendee's role in a meeting (written "Organizer", "Required", …).
enum class TDvEWSAttendeeType { attOrganizer, attRequired, attOptional, attRoom, attResource };
/// The enumeration table of TDvEWSAttendeeType.
const TDvEnumTypeInfo& DvEnumTypeInfo(TDvEWSAttendeeType);

/// How much of a calendar a free/busy answer shows: a merged status string, the busy stretches,
/// or the stretches with their subjects and locations (when the owner allows).
enum class TDvEWSFreeBusyViewType {
  fbvtNone,
  fbvtMergedOnly,
  fbvtFreeBusy,
  fbvtFreeBusyMerged,
  fbvtDetailed,
  fbvtDetailedMerged
};
/// The enumeration table of TDvEWSFreeBusyViewType.
const TDvEnumTypeInfo& DvEnumTypeInfo(TDvEWSFreeBusyViewType);

/// A day, or a kind of day, of working periods.
enum class TDvEWSDayOfWeekType {
  dowtSunday,
  dowtMonday,
  dowtTuesday,
  dowtWednesday,
  dowtThursday,
  dowtFriday,
  dowtSaturday,
  dowtDay,
  dowtWeekday,
  dowtWeekendDay
};
/// The enumeration table of TDvEWSDayOfWeekType.
const TDvEnumTypeInfo& DvEnumTypeInfo(TDvEWSDayOfWeekType);
/// A set of days.
using TDvEWSDayOfWeekTypes = TSet<TDvEWSDayOfWeekType>;

/// One yearly change of a time zone: the wall-clock time on the DayOrder-th (5: last) DayOfWeek
/// (0 Sunday … 6 Saturday) of Month (1-12; 0: the zone has no such change).
struct TDvTimeZoneTransitionDate {
  int Month = 0;
  int DayOfWeek = 0;
  int DayOrder = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  bool operator==(const TDvTimeZoneTransitionDate&) const = default;
};

/// A time zone as a bias and two yearly transitions: UTC = local time + Bias + the bias of the
/// period (StandardBias or DaylightBias), all in minutes.
struct TDvTimeZoneInformation {
  int Bias = 0;
  TDvTimeZoneTransitionDate StandardDate;
  int StandardBias = 0;
  TDvTimeZoneTransitionDate DaylightDate;
  int DaylightBias = 0;
  bool operator==(const TDvTimeZoneInformation&) const = default;

  /// Minutes east of UTC at an instant.
  int OffsetAt(TDateTime utc) const;
  /// The instant of a wall-clock time of this zone (the date-time's fields read as local).
  TDateTime LocalToUTC(TDateTime local) const;
};

/// The rules of an IANA zone ("Europe/Berlin") in the year of `at`; UTC for an unknown zone.
TDvTimeZoneInformation DvTimeZoneInformation(const std::string& ianaId, TDateTime at);
/// The rules of the local zone this year.
TDvTimeZoneInformation DvLocalTimeZoneInformation();

/// One mailbox of an availability request.
struct TDvEWSMailboxData {
  std::string Email;
  TDvEWSAttendeeType AttendeeType = TDvEWSAttendeeType::attRequired;
  bool ExcludeConflicts = false;
};

/// One working period: days and the span in minutes after midnight.
struct TDvEWSUserWorkingPeriod {
  TDvEWSDayOfWeekTypes DayOfWeek;
  std::int32_t StartTimeInMinutes = 0;
  std::int32_t EndTimeInMinutes = 0;
};

/// A mailbox's working hours, in its own time zone.
class TDvEWSUserWorkingHours {
 public:
  TDvEWSUserWorkingHours() = default;
  /// From a "WorkingHours" element (none gives empty hours).
  explicit TDvEWSUserWorkingHours(const DvDOMElementPtr& element);
  /// The zone the periods are in.
  const TDvTimeZoneInformation& GetTimeZone() const { return FTimeZone; }
  /// The periods in document order.
  const std::vector<TDvEWSUserWorkingPeriod>& GetWorkingPeriods() const { return FWorkingPeriods; }

 private:
  TDvTimeZoneInformation FTimeZone;
  std::vector<TDvEWSUserWorkingPeriod> FWorkingPeriods;
};

/// One busy stretch of a calendar; the details are there only when the owner lets the caller
/// see them.
class TDvEWSCalendarEvent {
 public:
  /// From a "CalendarEvent" element; zone-less times are read in `zone`.
  TDvEWSCalendarEvent(const DvDOMElementPtr& element, const TDvTimeZoneInformation& zone);
  TDateTime GetStartTime() const { return FStartTime; }
  TDateTime GetEndTime() const { return FEndTime; }
  TLegacyFreeBusy GetBusyType() const { return FBusyType; }
  bool GetHasDetails() const { return FHasDetails; }
  /// @name Details (empty or false without them)
  /**@{*/
  const std::string& GetID() const { return FID; }
  const std::string& GetSubject() const { return FSubject; }
  const std::string& GetLocation() const { return FLocation; }
  bool GetIsMeeting() const { return FIsMeeting; }
  bool GetIsRecurring() const { return FIsRecurring; }
  bool GetIsException() const { return FIsException; }
  bool GetIsReminderSet() const { return FIsReminderSet; }
  bool GetIsPrivate() const { return FIsPrivate; }
  /**@}*/

 private:
  TDateTime FStartTime, FEndTime;
  TLegacyFreeBusy FBusyType = TLegacyFreeBusy::lfbFree;
  bool FHasDetails = false;
  std::string FID, FSubject, FLocation;
  bool FIsMeeting = false, FIsRecurring = false, FIsException = false, FIsReminderSet = false,
       FIsPrivate = false;
};

/// One mailbox's availability: its busy stretches and working hours, or the error that kept
/// the server from giving them.
class IDvEWSUserAvailability {
 public:
  virtual ~IDvEWSUserAvailability() = default;
  /// The address asked for.
  virtual const std::string& GetEMail() const = 0;
  /// The response code ("NoError", "ErrorMailRecipientNotFound", …).
  virtual const std::string& GetError() const = 0;
  /// The busy stretches in the order the server gave them.
  virtual const std::vector<TDvEWSCalendarEvent>& GetEvents() const = 0;
  /// True when the server answered this mailbox with an error.
  virtual bool GetHasError() const = 0;
  virtual const TDvEWSUserWorkingHours& GetWorkingHours() const = 0;
  /// The merged status string, one digit per interval (0 free, 1 tentative, 2 busy, 3 out of
  /// office, 4 working elsewhere, 5 no data); empty unless a merged view was asked for.
  virtual const std::string& GetMergedFreeBusy() const = 0;
  /// The view the server gave (less than asked for when details are not allowed).
  virtual TDvEWSFreeBusyViewType GetViewType() const = 0;
};
/// A shared availability answer.
using DvEWSUserAvailabilityPtr = std::shared_ptr<IDvEWSUserAvailability>;

/// The availability class (see IDvEWSUserAvailability).
class TDvEWSUserAvailability : public IDvEWSUserAvailability {
 public:
  /// Over one "FreeBusyResponse" element; zone-less times are read in `zone`.
  TDvEWSUserAvailability(const std::string& email, const DvDOMElementPtr& response,
                         const TDvTimeZoneInformation& zone = {});
  const std::string& GetEMail() const override { return FEMail; }
  const std::string& GetError() const override { return FError; }
  const std::vector<TDvEWSCalendarEvent>& GetEvents() const override { return FEvents; }
  bool GetHasError() const override { return FHasError; }
  const TDvEWSUserWorkingHours& GetWorkingHours() const override { return FWorkingHours; }
  const std::string& GetMergedFreeBusy() const override { return FMergedFreeBusy; }
  TDvEWSFreeBusyViewType GetViewType() const override { return FViewType; }

 private:
  std::string FEMail, FError, FMergedFreeBusy;
  bool FHasError = false;
  std::vector<TDvEWSCalendarEvent> FEvents;
  TDvEWSUserWorkingHours FWorkingHours;
  TDvEWSFreeBusyViewType FViewType = TDvEWSFreeBusyViewType::fbvtNone;
};

/// What meeting-time suggestions look for (the server's defaults where not set).
struct TDvEWSSuggestionOptions {
  /// The share of attendees (percent, 1-49) that must be free for a Good slot.
  int GoodThreshold = 25;
  int MaximumResultsByDay = 10;
  int MaximumNonWorkHourResultsByDay = 0;
  TSuggestionQuality MinimumSuggestionQuality = TSuggestionQuality::sqFair;
};

/// A suggested meeting time with each attendee's status over it (request order; NoData for an
/// attendee the server does not know).
struct TDvEWSMeetingSuggestion {
  TDateTime MeetingTime;
  bool IsWorkTime = false;
  TSuggestionQuality Quality = TSuggestionQuality::sqPoor;
  std::vector<TLegacyFreeBusy> AttendeeStatus;
};

/// The suggestions of one day, in time order, and how good the day is.
struct TDvEWSSuggestionDay {
  TDateTime Date;
  TSuggestionQuality DayQuality = TSuggestionQuality::sqPoor;
  std::vector<TDvEWSMeetingSuggestion> Suggestions;
};

/// What the server tells about a recipient before a message is sent to it.
class IDvEWSMailTips {
 public:
  virtual ~IDvEWSMailTips() = default;
  virtual TEwsEmailAddressType* GetRecipientAddress() = 0;
  /// The tips the server has not worked out yet (a space-separated list).
  virtual std::string GetPendingMailTips() = 0;
  /// The recipient's out-of-office reply (its ReplyBody is empty when there is none).
  virtual TEwsOutOfOfficeMailTip* GetOutOfOffice() = 0;
  virtual TEwsArrayOfRecipientSuggestions* GetRecipientSuggestions() = 0;
  virtual std::string GetCustomMailTip() = 0;
  virtual bool GetDeliveryRestricted() = 0;
  virtual std::int32_t GetExternalMemberCount() = 0;
  virtual bool GetInvalidRecipient() = 0;
  virtual bool GetIsModerated() = 0;
  virtual bool GetMailboxFull() = 0;
  /// In bytes.
  virtual std::int32_t GetMaxMessageSize() = 0;
  virtual bool GetPreferAccessibleContent() = 0;
  virtual std::int32_t GetScope() = 0;
  virtual std::int32_t GetTotalMemberCount() = 0;
};
/// Shared mail tips.
using DvEWSMailTipsPtr = std::shared_ptr<IDvEWSMailTips>;

/// The mail tips class (see IDvEWSMailTips) over a "MailTips" element.
class TDvEWSMailTips : public IDvEWSMailTips {
 public:
  explicit TDvEWSMailTips(const DvDOMElementPtr& element) : FMailTips(element) {}
  TEwsEmailAddressType* GetRecipientAddress() override { return FMailTips.GetRecipientAddress(); }
  std::string GetPendingMailTips() override { return FMailTips.GetPendingMailTips(); }
  TEwsOutOfOfficeMailTip* GetOutOfOffice() override { return FMailTips.GetOutOfOffice(); }
  TEwsArrayOfRecipientSuggestions* GetRecipientSuggestions() override {
    return FMailTips.GetRecipientSuggestions();
  }
  std::string GetCustomMailTip() override { return FMailTips.GetCustomMailTip(); }
  bool GetDeliveryRestricted() override { return FMailTips.GetDeliveryRestricted(); }
  std::int32_t GetExternalMemberCount() override { return FMailTips.GetExternalMemberCount(); }
  bool GetInvalidRecipient() override { return FMailTips.GetInvalidRecipient(); }
  bool GetIsModerated() override { return FMailTips.GetIsModerated(); }
  bool GetMailboxFull() override { return FMailTips.GetMailboxFull(); }
  std::int32_t GetMaxMessageSize() override { return FMailTips.GetMaxMessageSize(); }
  bool GetPreferAccessibleContent() override { return FMailTips.GetPreferAccessibleContent(); }
  std::int32_t GetScope() override { return FMailTips.GetScope(); }
  std::int32_t GetTotalMemberCount() override { return FMailTips.GetTotalMemberCount(); }
  /// The wrapped schema object.
  TEwsMailTips& GetMailTips() { return FMailTips; }

 private:
  TEwsMailTips FMailTips;
};

/// One identifier to convert: its format, the identifier and the mailbox it belongs to.
struct TDvEwsAlternateId {
  TIdFormat Format = TIdFormat::ifEwsId;
  std::string Id;
  std::string Mailbox;
};

}  // namespace dv
