/// @file
/// Calendar items, occurrences, meeting responses and meeting messages.
///
/// TDvEWSCalendarItem is an appointment or meeting over TEwsCalendarItem: all-day and time-zone
/// handling of its start and end, saves that send meeting invitations, updates or cancellations
/// (CreateItem always carries SendMeetingInvitations and UpdateItem
/// SendMeetingInvitationsOrCancellations, which Exchange requires for calendar items), in-place
/// editing of the attendee lists, navigation between a recurring master and its occurrences, and
/// meeting responses. The recurrence is read and written through the schema classes
/// (GetRecurrence()->GetWeeklyRecurrence()->SetDaysOfWeek("Monday"), …).
///
/// TDvEwsMeetingResponse accepts, tentatively accepts or declines a meeting (a CreateItem of an
/// AcceptItem, TentativelyAcceptItem or DeclineItem); TDvEWSMeetingMessage is a meeting request,
/// response or cancellation found in a mailbox.
#pragma once

#include <memory>
#include <string>

#include "uDvEWSMessage.h"

namespace dv {

/// What a response to an item does.
enum class TDvEWSResponseAction {
  raNone,
  raAccept,
  raTentativelyAccept,
  raDecline,
  raReply,
  raReplyAll,
  raForward,
  raCancel,
  raRemoveFromCalendar,
  raSuppressReadReceipt,
  raPostReply
};

/// What the server does with a response object: save it, send it and keep a copy, or send it.
enum class TMessageDispositionType { mdpSaveOnly, mdpSendAndSaveCopy, mdbSendOnly };
/// "SaveOnly", "SendAndSaveCopy", "SendOnly".
std::string DvEWSMessageDispositionText(TMessageDispositionType disposition);

class IDvEwsMeetingResponse;
/// A shared meeting response.
using DvEwsMeetingResponsePtr = std::shared_ptr<IDvEwsMeetingResponse>;
class IDvEWSCalendarItem;
/// A shared calendar item.
using DvEWSCalendarItemPtr = std::shared_ptr<IDvEWSCalendarItem>;

/// An appointment or meeting: times, attendees, recurrence, meeting saves and responses.
///
/// Create one with IDvEWSFolder::CreateItem(TItemType::tCalendarItem) in a calendar folder;
/// loaded calendar items (IDvEWSMsgStore::GetItem, tables) cast to it too. SaveChanges sends no
/// invitations; SaveMeeting sends them (or updates) to the attendees.
class IDvEWSCalendarItem : public virtual IDvEWSItem {
 public:
  /// @name Calendar properties
  /**@{*/
  /// A calendar property, read from the loaded data (fetched once when the load left it out).
  /// Those of later Exchange versions raise the version error on older servers: EndTimeZone
  /// needs Exchange2010; StartTimeZone, StartTimeZoneId, EndTimeZoneId, StartWallClock,
  /// EndWallClock, JoinOnlineMeetingUrl, EnhancedLocation, IsOrganizer and
  /// OnlineMeetingSettings need Exchange2013; InboxReminders Exchange2015;
  /// CalendarActivityData Exchange2016.
  virtual std::int32_t GetAdjacentMeetingCount() = 0;
  virtual TEwsNonEmptyArrayOfAllItems* GetAdjacentMeetings() = 0;
  virtual bool GetAllowNewTimeProposal() = 0;
  virtual TDateTime GetAppointmentReplyTime() = 0;
  virtual std::int32_t GetAppointmentSequenceNumber() = 0;
  virtual std::int32_t GetAppointmentState() = 0;
  /// The item's CalendarItemType; a Single item that has a Recurrence is a RecurringMaster.
  virtual TCalendarItemType GetCalendarItemType() = 0;
  virtual std::int32_t GetConferenceType() = 0;
  virtual std::int32_t GetConflictingMeetingCount() = 0;
  virtual TEwsNonEmptyArrayOfAllItems* GetConflictingMeetings() = 0;
  virtual TDateTime GetDateTimeStamp() = 0;
  virtual TEwsNonEmptyArrayOfDeletedOccurrences* GetDeletedOccurrences() = 0;
  virtual std::string GetDuration() = 0;
  virtual TDateTime GetEndDateTime() = 0;
  virtual TEwsOccurrenceInfo* GetFirstOccurrence() = 0;
  virtual TEwsArrayOfInboxReminder* GetInboxReminders() = 0;
  virtual TLegacyFreeBusy GetIntendedFreeBusyStatus() = 0;
  virtual bool GetIsAllDayEvent() = 0;
  virtual bool GetIsCancelled() = 0;
  virtual bool GetIsMeeting() = 0;
  virtual bool GetIsOnlineMeeting() = 0;
  virtual bool GetIsRecurring() = 0;
  virtual bool GetIsResponseRequested() = 0;
  virtual TEwsOccurrenceInfo* GetLastOccurrence() = 0;
  virtual TLegacyFreeBusy GetLegacyFreeBusyStatus() = 0;
  virtual std::string GetLocation() = 0;
  virtual bool GetMeetingRequestWasSent() = 0;
  virtual TEwsTimeZone* GetMeetingTimeZone() = 0;
  virtual std::string GetMeetingWorkspaceUrl() = 0;
  virtual TEwsNonEmptyArrayOfOccurrenceInfo* GetModifiedOccurrences() = 0;
  virtual TResponseType GetMyResponseType() = 0;
  virtual std::string GetNetShowUrl() = 0;
  virtual TEwsNonEmptyArrayOfAttendees* GetOptionalAttendees() = 0;
  virtual TEwsSingleRecipient* GetOrganizer() = 0;
  virtual TDateTime GetOriginalStart() = 0;
  virtual TEwsRecurrence* GetRecurrence() = 0;
  virtual TDateTime GetRecurrenceId() = 0;
  virtual TEwsNonEmptyArrayOfAttendees* GetRequiredAttendees() = 0;
  virtual TEwsNonEmptyArrayOfAttendees* GetResources() = 0;
  virtual TDateTime GetStartDateTime() = 0;
  virtual std::string GetTimeZone() = 0;
  virtual std::string GetUID() = 0;
  virtual std::string GetWhen() = 0;
  virtual TEwsCalendarActivityData* GetCalendarActivityData() = 0;
  virtual TEwsTimeZoneDefinition* GetEndTimeZone() = 0;
  virtual std::string GetEndTimeZoneId() = 0;
  virtual TDateTime GetEndWallClock() = 0;
  virtual TEwsEnhancedLocation* GetEnhancedLocation() = 0;
  virtual bool GetIsOrganizer() = 0;
  virtual std::string GetJoinOnlineMeetingUrl() = 0;
  virtual TEwsOnlineMeetingSettings* GetOnlineMeetingSettings() = 0;
  virtual TEwsTimeZoneDefinition* GetStartTimeZone() = 0;
  virtual std::string GetStartTimeZoneId() = 0;
  virtual TDateTime GetStartWallClock() = 0;
  virtual void SetAppointmentReplyTime(TDateTime value) = 0;
  virtual void SetAppointmentState(std::int32_t value) = 0;
  virtual void SetDuration(const std::string& value) = 0;
  /// The end; an all-day event keeps only the date (midnight UTC).
  virtual void SetEndDateTime(TDateTime value) = 0;
  /// Sets the flag; true also truncates the current start and end to their dates.
  virtual void SetIsAllDayEvent(bool value) = 0;
  virtual void SetLegacyFreeBusyStatus(TLegacyFreeBusy value) = 0;
  virtual void SetLocation(const std::string& value) = 0;
  virtual void SetOriginalStart(TDateTime value) = 0;
  /// The start; an all-day event keeps only the date (midnight UTC).
  virtual void SetStartDateTime(TDateTime value) = 0;
  virtual void SetWhen(const std::string& value) = 0;
  /**@}*/

  /// The occurrence `index` (1-based) of a recurring master (one GetItem by OccurrenceItemId,
  /// then its load). Raises dv::EEWSException when this item is not a recurring master.
  virtual DvEWSCalendarItemPtr GetOccurrence(int index) = 0;
  /// The recurring master of an occurrence or exception, found in its folder by the series'
  /// global object id. Raises dv::EEWSException for other items or when none is found.
  virtual DvEWSCalendarItemPtr GetRecurringMaster() = 0;
  /// Makes the required attendees those of `recipients` (compared by address, ignoring case):
  /// attendees not listed are removed, listed addresses not yet attendees are added. Nothing is
  /// sent until SaveChanges or SaveMeeting.
  virtual void ModifyRequiredAttendees(IDvEWSRecipients& recipients) = 0;
  /// As ModifyRequiredAttendees, for the optional attendees.
  virtual void ModifyOptionalAttendees(IDvEWSRecipients& recipients) = 0;
  /// Saves the item and sends invitations, updates or cancellations by `mode`. A new item is
  /// created with one CreateItem that sends the invitations; a loaded one whose attendee lists
  /// changed is saved first without those changes and without sending, then (unless `mode` is
  /// smiocSendToNone) updated with the attendee changes and the send mode; a loaded one whose
  /// attendees did not change is saved once with the mode.
  virtual void SaveMeeting(TDvEWSSaveOption option,
                           TSendMeetingInvitationsOrCancellations mode) = 0;
  /// A pending accept, tentative accept or decline of this meeting; set its body or proposed
  /// times, then Submit. Raises dv::Exception "Unsupported ResponseType" for other actions.
  virtual DvEwsMeetingResponsePtr CreateMeetingResponse(TDvEWSResponseAction action) = 0;
  /// Sets the start from a wall-clock time in a zone of the session's time-zone table (the
  /// zone's standard offset); needs Exchange2013 (StartTimeZone).
  virtual void SetTimezoneStartDateTime(TDateTime value, const std::string& timezoneId) = 0;
  /// As SetTimezoneStartDateTime, for the end (needs Exchange2010, EndTimeZone).
  virtual void SetTimezoneEndDateTime(TDateTime value, const std::string& timezoneId) = 0;
};

/// A pending response to an item, sent by Submit.
class IDvEwsWellKnownResponse : public virtual IDvEWSPropObject {
 public:
  /// @name Response fields
  /**@{*/
  /// A field of the pending response; setters write into the request Submit sends.
  virtual TDvEWSAttachments& GetAttachments() = 0;
  virtual DvEWSRecipientsPtr GetBccRecipients() = 0;
  virtual TEwsBody* GetBody() = 0;
  virtual DvEWSRecipientsPtr GetCcRecipients() = 0;
  virtual DvEWSRecipientPtr GetFrom() = 0;
  virtual TEwsNonEmptyArrayOfInternetHeaders* GetInternetMessageHeaders() = 0;
  virtual bool GetIsDeliveryReceiptRequested() = 0;
  virtual bool GetIsReadReceiptRequested() = 0;
  virtual std::string GetItemClass() = 0;
  virtual std::string GetObjectName() = 0;
  virtual TItemId GetReferenceItemId() = 0;
  virtual DvEWSRecipientPtr GetSender() = 0;
  virtual TSensitivityChoices GetSensitivity() = 0;
  virtual DvEWSRecipientsPtr GetToRecipients() = 0;
  virtual void SetIsDeliveryReceiptRequested(bool value) = 0;
  virtual void SetIsReadReceiptRequested(bool value) = 0;
  virtual void SetItemClass(const std::string& value) = 0;
  virtual void SetObjectName(const std::string& value) = 0;
  virtual void SetSensitivity(TSensitivityChoices value) = 0;
  /**@}*/
  /// Sends the response with that disposition; the id the server gives becomes the response's
  /// id and the answered item's. Raises dv::EEWSException when the server refuses.
  virtual void Submit(TMessageDispositionType disposition) = 0;
};

/// An accept, tentative accept or decline of a meeting, with an optional new time proposal.
class IDvEwsMeetingResponse : public virtual IDvEwsWellKnownResponse {
 public:
  /// The proposed new time (needs Exchange2013).
  virtual TDateTime GetProposedEnd() = 0;
  virtual TDateTime GetProposedStart() = 0;
  virtual void SetProposedEnd(TDateTime value) = 0;
  virtual void SetProposedStart(TDateTime value) = 0;
};

/// A meeting request, response or cancellation in a mailbox: a message with the meeting's
/// fields, the calendar item it belongs to, and responses.
class IDvEWSMeetingMessage : public virtual IDvEWSEMail {
 public:
  /// @name Meeting message properties
  /**@{*/
  /// A property of the meeting message (those of the request's meeting read the request's
  /// fields; on a response or cancellation they read that element's own when it has one).
  virtual TItemId GetAssociatedCalendarItemId() = 0;
  virtual bool GetIsDelegated() = 0;
  virtual bool GetIsOutOfDate() = 0;
  virtual bool GetHasBeenProcessed() = 0;
  virtual TResponseType GetResponseType() = 0;
  virtual std::string GetUID() = 0;
  virtual TDateTime GetStartDateTime() = 0;
  virtual TDateTime GetEndDateTime() = 0;
  virtual std::string GetLocation() = 0;
  /// MeetingResponse only: the proposed new time, if any.
  virtual TDateTime GetProposedStart() = 0;
  virtual TDateTime GetProposedEnd() = 0;
  /// MeetingRequest only: new, full update, informational update, …
  virtual TMeetingRequestType GetMeetingRequestType() = 0;
  /**@}*/
  /// The calendar item the message belongs to (in the recipient's calendar).
  virtual DvEWSCalendarItemPtr GetAssociatedCalendarItem() = 0;
  /// A pending accept, tentative accept or decline of the meeting the request is for.
  virtual DvEwsMeetingResponsePtr CreateMeetingResponse(TDvEWSResponseAction action) = 0;
};

/// The calendar item class (see IDvEWSCalendarItem); folders and stores create it.
class TDvEWSCalendarItem : public TDvEWSBaseItem<TEwsCalendarItem>,
                           public virtual IDvEWSCalendarItem {
 public:
  /// A calendar item object; call Init next (DvEWSNewItem does both).
  explicit TDvEWSCalendarItem(TDvComponent* owner);

  TItemType GetItemType() override { return TItemType::tCalendarItem; }

  std::int32_t GetAdjacentMeetingCount() override;
  TEwsNonEmptyArrayOfAllItems* GetAdjacentMeetings() override;
  bool GetAllowNewTimeProposal() override;
  TDateTime GetAppointmentReplyTime() override;
  std::int32_t GetAppointmentSequenceNumber() override;
  std::int32_t GetAppointmentState() override;
  TCalendarItemType GetCalendarItemType() override;
  std::int32_t GetConferenceType() override;
  std::int32_t GetConflictingMeetingCount() override;
  TEwsNonEmptyArrayOfAllItems* GetConflictingMeetings() override;
  TDateTime GetDateTimeStamp() override;
  TEwsNonEmptyArrayOfDeletedOccurrences* GetDeletedOccurrences() override;
  std::string GetDuration() override;
  TDateTime GetEndDateTime() override;
  TEwsOccurrenceInfo* GetFirstOccurrence() override;
  TEwsArrayOfInboxReminder* GetInboxReminders() override;
  TLegacyFreeBusy GetIntendedFreeBusyStatus() override;
  bool GetIsAllDayEvent() override;
  bool GetIsCancelled() override;
  bool GetIsMeeting() override;
  bool GetIsOnlineMeeting() override;
  bool GetIsRecurring() override;
  bool GetIsResponseRequested() override;
  TEwsOccurrenceInfo* GetLastOccurrence() override;
  TLegacyFreeBusy GetLegacyFreeBusyStatus() override;
  std::string GetLocation() override;
  bool GetMeetingRequestWasSent() override;
  TEwsTimeZone* GetMeetingTimeZone() override;
  std::string GetMeetingWorkspaceUrl() override;
  TEwsNonEmptyArrayOfOccurrenceInfo* GetModifiedOccurrences() override;
  TResponseType GetMyResponseType() override;
  std::string GetNetShowUrl() override;
  TEwsNonEmptyArrayOfAttendees* GetOptionalAttendees() override;
  TEwsSingleRecipient* GetOrganizer() override;
  TDateTime GetOriginalStart() override;
  TEwsRecurrence* GetRecurrence() override;
  TDateTime GetRecurrenceId() override;
  TEwsNonEmptyArrayOfAttendees* GetRequiredAttendees() override;
  TEwsNonEmptyArrayOfAttendees* GetResources() override;
  TDateTime GetStartDateTime() override;
  std::string GetTimeZone() override;
  std::string GetUID() override;
  std::string GetWhen() override;
  TEwsCalendarActivityData* GetCalendarActivityData() override;
  TEwsTimeZoneDefinition* GetEndTimeZone() override;
  std::string GetEndTimeZoneId() override;
  TDateTime GetEndWallClock() override;
  TEwsEnhancedLocation* GetEnhancedLocation() override;
  bool GetIsOrganizer() override;
  std::string GetJoinOnlineMeetingUrl() override;
  TEwsOnlineMeetingSettings* GetOnlineMeetingSettings() override;
  TEwsTimeZoneDefinition* GetStartTimeZone() override;
  std::string GetStartTimeZoneId() override;
  TDateTime GetStartWallClock() override;
  void SetAppointmentReplyTime(TDateTime value) override;
  void SetAppointmentState(std::int32_t value) override;
  void SetDuration(const std::string& value) override;
  void SetEndDateTime(TDateTime value) override;
  void SetIsAllDayEvent(bool value) override;
  void SetLegacyFreeBusyStatus(TLegacyFreeBusy value) override;
  void SetLocation(const std::string& value) override;
  void SetOriginalStart(TDateTime value) override;
  void SetStartDateTime(TDateTime value) override;
  void SetWhen(const std::string& value) override;

  /// Leaves out what the server computes (Organizer, ModifiedOccurrences, DeletedOccurrences,
  /// ResponseObjects); an emptied Recurrence deletes the recurrence. Sends no invitations.
  void SaveChanges(TDvEWSSaveOption option) override;
  void SaveMeeting(TDvEWSSaveOption option, TSendMeetingInvitationsOrCancellations mode) override;
  DvEWSCalendarItemPtr GetOccurrence(int index) override;
  DvEWSCalendarItemPtr GetRecurringMaster() override;
  void ModifyRequiredAttendees(IDvEWSRecipients& recipients) override;
  void ModifyOptionalAttendees(IDvEWSRecipients& recipients) override;
  DvEwsMeetingResponsePtr CreateMeetingResponse(TDvEWSResponseAction action) override;
  void SetTimezoneStartDateTime(TDateTime value, const std::string& timezoneId) override;
  void SetTimezoneEndDateTime(TDateTime value, const std::string& timezoneId) override;

  /// The send mode the next save writes (smiocSendToNone until SaveMeeting sets it).
  TSendMeetingInvitationsOrCancellations GetSendMode() const { return FSendMode; }

 protected:
  /// Writes SendMeetingInvitations (CreateItem) or SendMeetingInvitationsOrCancellations
  /// (UpdateItem) from the send mode.
  void BeforeSaveChanges(const DvSOAPRequestPtr& request) override;

 private:
  void ModifyAttendees(const char* listName, IDvEWSRecipients& recipients);
  /// A wall-clock time in a zone of the session's table as UTC (daylight saving included).
  TDateTime WallClockToUTC(TDateTime value, const std::string& timezoneId);
  TSendMeetingInvitationsOrCancellations FSendMode =
      TSendMeetingInvitationsOrCancellations::smiocSendToNone;
};

/// The pending response to an item over its schema class T (see IDvEwsWellKnownResponse): the
/// response element of a pending CreateItem, sent by Submit.
template <typename T>
class TDvEwsWellKnownResponse : public TDvEWSPropObject<T>, public virtual IDvEwsWellKnownResponse {
 public:
  /// A response of `action` to `item` (its data `itemData`). Raises dv::Exception "Unsupported
  /// ResponseType" for actions other than accept, tentative accept and decline.
  TDvEwsWellKnownResponse(const DvEWSItemPtr& item, TEwsItem* itemData,
                          TDvEWSResponseAction action);
  ~TDvEwsWellKnownResponse() override;

  TDvEWSAttachments& GetAttachments() override;
  DvEWSRecipientsPtr GetBccRecipients() override;
  TEwsBody* GetBody() override;
  DvEWSRecipientsPtr GetCcRecipients() override;
  DvEWSRecipientPtr GetFrom() override;
  TEwsNonEmptyArrayOfInternetHeaders* GetInternetMessageHeaders() override;
  bool GetIsDeliveryReceiptRequested() override;
  bool GetIsReadReceiptRequested() override;
  std::string GetItemClass() override;
  std::string GetObjectName() override;
  TItemId GetReferenceItemId() override;
  DvEWSRecipientPtr GetSender() override;
  TSensitivityChoices GetSensitivity() override;
  DvEWSRecipientsPtr GetToRecipients() override;
  void SetIsDeliveryReceiptRequested(bool value) override;
  void SetIsReadReceiptRequested(bool value) override;
  void SetItemClass(const std::string& value) override;
  void SetObjectName(const std::string& value) override;
  void SetSensitivity(TSensitivityChoices value) override;
  void Submit(TMessageDispositionType disposition) override;

 protected:
  /// The session's server version.
  TServerVersion Version() const;

 private:
  DvEWSItemPtr FItem;
  TEwsItem* FItemData;
  TDvEWSRecipientWrappers FRecipients;
  DvEWSAttachmentsPtr FAttachments;
  std::shared_ptr<IDvSOAPRequest> FRequest;
};

/// The meeting response class (see IDvEwsMeetingResponse).
class TDvEwsMeetingResponse : public TDvEwsWellKnownResponse<TEwsMeetingRegistrationResponseObject>,
                              public virtual IDvEwsMeetingResponse {
 public:
  using TDvEwsWellKnownResponse<TEwsMeetingRegistrationResponseObject>::TDvEwsWellKnownResponse;
  TDateTime GetProposedEnd() override;
  TDateTime GetProposedStart() override;
  void SetProposedEnd(TDateTime value) override;
  void SetProposedStart(TDateTime value) override;
};

/// The meeting message class (see IDvEWSMeetingMessage) for MeetingMessage, MeetingRequest,
/// MeetingResponse and MeetingCancellation items.
class TDvEWSMeetingMessage : public TDvEWSEMail, public virtual IDvEWSMeetingMessage {
 public:
  /// A meeting message object of kind `type`; call Init or InitLoaded next.
  TDvEWSMeetingMessage(TDvComponent* owner, TItemType type);
  TItemType GetItemType() override { return FType; }

  TItemId GetAssociatedCalendarItemId() override;
  bool GetIsDelegated() override;
  bool GetIsOutOfDate() override;
  bool GetHasBeenProcessed() override;
  TResponseType GetResponseType() override;
  std::string GetUID() override;
  TDateTime GetStartDateTime() override;
  TDateTime GetEndDateTime() override;
  std::string GetLocation() override;
  TDateTime GetProposedStart() override;
  TDateTime GetProposedEnd() override;
  TMeetingRequestType GetMeetingRequestType() override;
  DvEWSCalendarItemPtr GetAssociatedCalendarItem() override;
  DvEwsMeetingResponsePtr CreateMeetingResponse(TDvEWSResponseAction action) override;

 protected:
  std::unique_ptr<TDvXMLSchemaElement> CreateData(const DvDOMElementPtr& element) override;

 private:
  TEwsMeetingMessage& Meeting();
  TItemType FType;
};

/// True for the item kinds this unit makes objects of (calendar items and meeting messages).
bool DvEWSIsCalendarKind(TItemType type);
/// A calendar item or meeting message object of kind `type`, not yet initialised.
std::shared_ptr<TDvEWSItemCore> DvEWSMakeCalendarObject(TDvComponent* owner, TItemType type);

}  // namespace dv
