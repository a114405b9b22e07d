// Calendar items, occurrences, meeting responses and meeting messages.
#include "uDvEWSCalendar.h"

#include <cmath>

#include "DvTimeZone.h"
#include "DvUtils.h"
#include "uDvEWS.h"
#include "uDvEWSBase.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSProps.h"

namespace dv {

namespace {

const char* const kCannotUseId = "ErrorCalendarCannotUseIdForRecurringMasterId";
const char* const kUnsupported = "Unsupported ResponseType";

TDateTime DateOnly(TDateTime t) {
  return TDateTime(std::floor(t.Value));
}

// The CalendarItemCreateOrDeleteOperationType text of a send mode: creation knows no "changed"
// attendees, so those modes invite everyone.
std::string CreateModeText(TSendMeetingInvitationsOrCancellations mode) {
  switch (mode) {
    case TSendMeetingInvitationsOrCancellations::smiocSendToNone:
      return "SendToNone";
    case TSendMeetingInvitationsOrCancellations::smiocSendOnlyToAll:
    case TSendMeetingInvitationsOrCancellations::smiocSendOnlyToChanged:
      return "SendOnlyToAll";
    case TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy:
    case TSendMeetingInvitationsOrCancellations::smiocSendToChangedAndSaveCopy:
      return "SendToAllAndSaveCopy";
  }
  return "SendToNone";
}

const char* ResponseElementName(TDvEWSResponseAction action) {
  switch (action) {
    case TDvEWSResponseAction::raAccept:
      return "AcceptItem";
    case TDvEWSResponseAction::raTentativelyAccept:
      return "TentativelyAcceptItem";
    case TDvEWSResponseAction::raDecline:
      return "DeclineItem";
    default:
      throw Exception(kUnsupported);
  }
}

// The single item element of a GetItem response message.
DvDOMElementPtr OnlyItem(const DvDOMElementPtr& message) {
  DvDOMElementPtr items = message->ElementByName("Items");
  if (!items || items->ElementCount() != 1)
    throw EEWSException("ErrorItemNotFound", "There was no ItemId in the SOAP Response!", 0);
  return items->GetElement(0);
}

}  // namespace

std::string DvEWSMessageDispositionText(TMessageDispositionType disposition) {
  switch (disposition) {
    case TMessageDispositionType::mdpSaveOnly:
      return "SaveOnly";
    case TMessageDispositionType::mdpSendAndSaveCopy:
      return "SendAndSaveCopy";
    case TMessageDispositionType::mdbSendOnly:
      return "SendOnly";
  }
  return "SendAndSaveCopy";
}

bool DvEWSIsCalendarKind(TItemType type) {
  switch (type) {
    case TItemType::tCalendarItem:
    case TItemType::tMeetingMessage:
    case TItemType::tMeetingRequest:
    case TItemType::tMeetingResponse:
    case TItemType::tMeetingCancellation:
      return true;
    default:
      return false;
  }
}

std::shared_ptr<TDvEWSItemCore> DvEWSMakeCalendarObject(TDvComponent* owner, TItemType type) {
  if (type == TItemType::tCalendarItem) return std::make_shared<TDvEWSCalendarItem>(owner);
  return std::make_shared<TDvEWSMeetingMessage>(owner, type);
}

// ---- TDvEWSCalendarItem ----

TDvEWSCalendarItem::TDvEWSCalendarItem(TDvComponent* owner)
    : TDvEWSBaseItem<TEwsCalendarItem>(owner) {}

std::int32_t TDvEWSCalendarItem::GetAdjacentMeetingCount() {
  return GetCurrent()->GetAdjacentMeetingCount();
}
TEwsNonEmptyArrayOfAllItems* TDvEWSCalendarItem::GetAdjacentMeetings() {
  return GetCurrent()->GetAdjacentMeetings();
}
bool TDvEWSCalendarItem::GetAllowNewTimeProposal() {
  return GetCurrent()->GetAllowNewTimeProposal();
}
TDateTime TDvEWSCalendarItem::GetAppointmentReplyTime() {
  return GetCurrent()->GetAppointmentReplyTime();
}
std::int32_t TDvEWSCalendarItem::GetAppointmentSequenceNumber() {
  return GetCurrent()->GetAppointmentSequenceNumber();
}
std::int32_t TDvEWSCalendarItem::GetAppointmentState() {
  return GetCurrent()->GetAppointmentState();
}
TCalendarItemType TDvEWSCalendarItem::GetCalendarItemType() {
  TCalendarItemType type = GetCurrent()->GetCalendarItemType();
  if (type == TCalendarItemType::citSingle &&
      GetCurrent()->AsElement()->ElementByName("Recurrence"))
    type = TCalendarItemType::citRecurringMaster;
  return type;
}
std::int32_t TDvEWSCalendarItem::GetConferenceType() {
  return GetCurrent()->GetConferenceType();
}
std::int32_t TDvEWSCalendarItem::GetConflictingMeetingCount() {
  return GetCurrent()->GetConflictingMeetingCount();
}
TEwsNonEmptyArrayOfAllItems* TDvEWSCalendarItem::GetConflictingMeetings() {
  return GetCurrent()->GetConflictingMeetings();
}
TDateTime TDvEWSCalendarItem::GetDateTimeStamp() {
  return GetCurrent()->GetDateTimeStamp();
}
TEwsNonEmptyArrayOfDeletedOccurrences* TDvEWSCalendarItem::GetDeletedOccurrences() {
  return GetCurrent()->GetDeletedOccurrences();
}
std::string TDvEWSCalendarItem::GetDuration() {
  return GetCurrent()->GetDuration();
}
TDateTime TDvEWSCalendarItem::GetEndDateTime() {
  return GetCurrent()->GetEnd_();
}
TEwsOccurrenceInfo* TDvEWSCalendarItem::GetFirstOccurrence() {
  return GetCurrent()->GetFirstOccurrence();
}
TEwsArrayOfInboxReminder* TDvEWSCalendarItem::GetInboxReminders() {
  CheckVersion(TServerVersion::Exchange2015, "InboxReminders");
  return GetCurrent()->GetInboxReminders();
}
TLegacyFreeBusy TDvEWSCalendarItem::GetIntendedFreeBusyStatus() {
  return GetCurrent()->GetIntendedFreeBusyStatus();
}
bool TDvEWSCalendarItem::GetIsAllDayEvent() {
  return GetCurrent()->GetIsAllDayEvent();
}
bool TDvEWSCalendarItem::GetIsCancelled() {
  return GetCurrent()->GetIsCancelled();
}
bool TDvEWSCalendarItem::GetIsMeeting() {
  return GetCurrent()->GetIsMeeting();
}
bool TDvEWSCalendarItem::GetIsOnlineMeeting() {
  return GetCurrent()->GetIsOnlineMeeting();
}
bool TDvEWSCalendarItem::GetIsRecurring() {
  return GetCurrent()->GetIsRecurring();
}
bool TDvEWSCalendarItem::GetIsResponseRequested() {
  return GetCurrent()->GetIsResponseRequested();
}
TEwsOccurrenceInfo* TDvEWSCalendarItem::GetLastOccurrence() {
  return GetCurrent()->GetLastOccurrence();
}
TLegacyFreeBusy TDvEWSCalendarItem::GetLegacyFreeBusyStatus() {
  return GetCurrent()->GetLegacyFreeBusyStatus();
}
std::string TDvEWSCalendarItem::GetLocation() {
  return GetCurrent()->GetLocation();
}
bool TDvEWSCalendarItem::GetMeetingRequestWasSent() {
  return GetCurrent()->GetMeetingRequestWasSent();
}
TEwsTimeZone* TDvEWSCalendarItem::GetMeetingTimeZone() {
  return GetCurrent()->GetMeetingTimeZone();
}
std::string TDvEWSCalendarItem::GetMeetingWorkspaceUrl() {
  return GetCurrent()->GetMeetingWorkspaceUrl();
}
TEwsNonEmptyArrayOfOccurrenceInfo* TDvEWSCalendarItem::GetModifiedOccurrences() {
  return GetCurrent()->GetModifiedOccurrences();
}
TResponseType TDvEWSCalendarItem::GetMyResponseType() {
  return GetCurrent()->GetMyResponseType();
}
std::string TDvEWSCalendarItem::GetNetShowUrl() {
  return GetCurrent()->GetNetShowUrl();
}
TEwsNonEmptyArrayOfAttendees* TDvEWSCalendarItem::GetOptionalAttendees() {
  return GetLoaded()->GetOptionalAttendees();
}
TEwsSingleRecipient* TDvEWSCalendarItem::GetOrganizer() {
  return GetLoaded()->GetOrganizer();
}
TDateTime TDvEWSCalendarItem::GetOriginalStart() {
  return GetCurrent()->GetOriginalStart();
}
TEwsRecurrence* TDvEWSCalendarItem::GetRecurrence() {
  return GetCurrent()->GetRecurrence();
}
TDateTime TDvEWSCalendarItem::GetRecurrenceId() {
  return GetCurrent()->GetRecurrenceId();
}
TEwsNonEmptyArrayOfAttendees* TDvEWSCalendarItem::GetRequiredAttendees() {
  return GetLoaded()->GetRequiredAttendees();
}
TEwsNonEmptyArrayOfAttendees* TDvEWSCalendarItem::GetResources() {
  return GetLoaded()->GetResources();
}
TDateTime TDvEWSCalendarItem::GetStartDateTime() {
  return GetCurrent()->GetStart_();
}
std::string TDvEWSCalendarItem::GetTimeZone() {
  return GetCurrent()->GetTimeZone();
}
std::string TDvEWSCalendarItem::GetUID() {
  return GetCurrent()->GetUID();
}
std::string TDvEWSCalendarItem::GetWhen() {
  return GetCurrent()->GetWhen();
}
TEwsCalendarActivityData* TDvEWSCalendarItem::GetCalendarActivityData() {
  CheckVersion(TServerVersion::Exchange2016, "CalendarActivityData");
  return GetCurrent()->GetCalendarActivityData();
}
TEwsTimeZoneDefinition* TDvEWSCalendarItem::GetEndTimeZone() {
  CheckVersion(TServerVersion::Exchange2010, "EndTimeZone");
  return GetCurrent()->GetEndTimeZone();
}
std::string TDvEWSCalendarItem::GetEndTimeZoneId() {
  CheckVersion(TServerVersion::Exchange2013, "EndTimeZoneId");
  return GetCurrent()->GetEndTimeZoneId();
}
TDateTime TDvEWSCalendarItem::GetEndWallClock() {
  CheckVersion(TServerVersion::Exchange2013, "EndWallClock");
  return GetCurrent()->GetEndWallClock();
}
TEwsEnhancedLocation* TDvEWSCalendarItem::GetEnhancedLocation() {
  CheckVersion(TServerVersion::Exchange2013, "EnhancedLocation");
  return GetCurrent()->GetEnhancedLocation();
}
bool TDvEWSCalendarItem::GetIsOrganizer() {
  CheckVersion(TServerVersion::Exchange2013, "IsOrganizer");
  return GetCurrent()->GetIsOrganizer();
}
std::string TDvEWSCalendarItem::GetJoinOnlineMeetingUrl() {
  CheckVersion(TServerVersion::Exchange2013, "JoinOnlineMeetingUrl");
  return GetCurrent()->GetJoinOnlineMeetingUrl();
}
TEwsOnlineMeetingSettings* TDvEWSCalendarItem::GetOnlineMeetingSettings() {
  CheckVersion(TServerVersion::Exchange2013, "OnlineMeetingSettings");
  return GetCurrent()->GetOnlineMeetingSettings();
}
TEwsTimeZoneDefinition* TDvEWSCalendarItem::GetStartTimeZone() {
  CheckVersion(TServerVersion::Exchange2013, "StartTimeZone");
  return GetCurrent()->GetStartTimeZone();
}
std::string TDvEWSCalendarItem::GetStartTimeZoneId() {
  CheckVersion(TServerVersion::Exchange2013, "StartTimeZoneId");
  return GetCurrent()->GetStartTimeZoneId();
}
TDateTime TDvEWSCalendarItem::GetStartWallClock() {
  CheckVersion(TServerVersion::Exchange2013, "StartWallClock");
  return GetCurrent()->GetStartWallClock();
}
void TDvEWSCalendarItem::SetAppointmentReplyTime(TDateTime v) {
  GetCurrent()->SetAppointmentReplyTime(v);
}
void TDvEWSCalendarItem::SetAppointmentState(std::int32_t v) {
  GetCurrent()->SetAppointmentState(v);
}
void TDvEWSCalendarItem::SetDuration(const std::string& v) {
  GetCurrent()->SetDuration(v);
}
void TDvEWSCalendarItem::SetLegacyFreeBusyStatus(TLegacyFreeBusy v) {
  GetCurrent()->SetLegacyFreeBusyStatus(v);
}
void TDvEWSCalendarItem::SetLocation(const std::string& v) {
  GetCurrent()->SetLocation(v);
}
void TDvEWSCalendarItem::SetOriginalStart(TDateTime v) {
  GetCurrent()->SetOriginalStart(v);
}
void TDvEWSCalendarItem::SetWhen(const std::string& v) {
  GetCurrent()->SetWhen(v);
}

void TDvEWSCalendarItem::SetStartDateTime(TDateTime value) {
  GetCurrent()->SetStart_(GetCurrent()->GetIsAllDayEvent() ? DateOnly(value) : value);
}

void TDvEWSCalendarItem::SetEndDateTime(TDateTime value) {
  GetCurrent()->SetEnd_(GetCurrent()->GetIsAllDayEvent() ? DateOnly(value) : value);
}

void TDvEWSCalendarItem::SetIsAllDayEvent(bool value) {
  TEwsCalendarItem* data = GetCurrent();
  data->SetIsAllDayEvent(value);
  if (!value) return;
  // Only values present are truncated; a missing start stays missing.
  if (data->AsElement()->ElementByName("Start")) data->SetStart_(DateOnly(data->GetStart_()));
  if (data->AsElement()->ElementByName("End")) data->SetEnd_(DateOnly(data->GetEnd_()));
}

TDateTime TDvEWSCalendarItem::WallClockToUTC(TDateTime value, const std::string& timezoneId) {
  TDvEWSBaseSession* session = GetSession();
  if (session == nullptr) throw Exception("There is no active EWS Session!");
  // The session's table names the zones Exchange knows (and refuses any other); it holds only
  // each zone's standard offset, so the zone's own rules give the offset on that day when ICU
  // knows the zone.
  const int standardOffset = session->GetTimezoneOffset(timezoneId);
  const std::string iana = DvIanaTimeZoneId(timezoneId);
  if (!iana.empty()) return DvWallClockToUTC(iana, value);
  return TDateTime(value.Value - standardOffset / 1440.0);
}

void TDvEWSCalendarItem::SetTimezoneStartDateTime(TDateTime value, const std::string& timezoneId) {
  TEwsTimeZoneDefinition* zone = GetStartTimeZone();
  const TDateTime start = WallClockToUTC(value, timezoneId);
  zone->AsElement()->SetAttribute("Id", timezoneId);
  SetStartDateTime(start);
}

void TDvEWSCalendarItem::SetTimezoneEndDateTime(TDateTime value, const std::string& timezoneId) {
  TEwsTimeZoneDefinition* zone = GetEndTimeZone();
  const TDateTime end = WallClockToUTC(value, timezoneId);
  zone->AsElement()->SetAttribute("Id", timezoneId);
  SetEndDateTime(end);
}

void TDvEWSCalendarItem::BeforeSaveChanges(const DvSOAPRequestPtr& request) {
  TDvEWSItemCore::BeforeSaveChanges(request);
  DvDOMElementPtr op = request->GetOperation();
  const std::string name = op->GetLocalName();
  if (name == "CreateItem")
    op->SetAttribute("SendMeetingInvitations", CreateModeText(FSendMode));
  else if (name == "UpdateItem")
    op->SetAttribute("SendMeetingInvitationsOrCancellations", DvEWSSendMeetingText(FSendMode));
}

void TDvEWSCalendarItem::SaveChanges(TDvEWSSaveOption option) {
  DvDOMElementPtr element = GetCurrent()->AsElement();
  // What the server computes is never sent back.
  for (const char* name : {"Organizer", "ModifiedOccurrences", "DeletedOccurrences",
                           "ResponseObjects", "FirstOccurrence", "LastOccurrence"}) {
    if (DvDOMElementPtr e = element->ElementByName(name)) element->RemoveElement(e);
  }
  if (!GetIsNewItem()) {
    DvDOMElementPtr recurrence = element->ElementByName("Recurrence");
    if (recurrence && recurrence->ElementCount() == 0) {
      // An emptied recurrence removes the series' pattern: a DeleteItemField of it.
      element->RemoveElement(recurrence);
      PropertyByName(*GetPropDef("PR_RECURRENCE", true))->SetDeleted(true);
    }
  }
  TDvEWSItemCore::SaveChanges(option);
}

void TDvEWSCalendarItem::SaveMeeting(TDvEWSSaveOption option,
                                     TSendMeetingInvitationsOrCancellations mode) {
  if (GetIsNewItem() && GetID().Id.empty()) {
    // One CreateItem creates the meeting and sends the invitations.
    FSendMode = mode;
    SaveChanges(option);
    return;
  }
  DvDOMElementPtr current = GetCurrent()->AsElement();
  DvDOMElementPtr original = GetOriginal()->AsElement();
  // Without attendee changes there is nothing for a second save to carry: one save with the
  // mode sends the other changes (a new time, say) to the attendees.
  bool attendeesChanged = false;
  for (const char* name : {"RequiredAttendees", "OptionalAttendees"}) {
    DvDOMElementPtr now = current->ElementByName(name);
    DvDOMElementPtr was = original->ElementByName(name);
    const bool nowEmpty = !now || now->ElementCount() == 0;
    const bool wasEmpty = !was || was->ElementCount() == 0;
    if (nowEmpty != wasEmpty || (!nowEmpty && now->GetXML() != was->GetXML()))
      attendeesChanged = true;
  }
  if (!attendeesChanged) {
    FSendMode = mode;
    SaveChanges(option);
    return;
  }
  // Attendee changes are held back from the first save, which sends nothing.
  std::vector<std::pair<std::string, DvDOMDocumentPtr>> held;
  for (const char* name : {"RequiredAttendees", "OptionalAttendees"}) {
    DvDOMElementPtr now = current->ElementByName(name);
    DvDOMElementPtr was = original->ElementByName(name);
    if (now) {
      held.emplace_back(name, DvCreateDOM(now->GetXML()));
      if (was) {
        now->Clear();
        for (int i = 0; i < was->ElementCount(); ++i)
          now->AppendCopy(was->GetElement(i));
      } else {
        current->RemoveElement(now);
      }
    } else {
      held.emplace_back(name, nullptr);
    }
  }
  FSendMode = TSendMeetingInvitationsOrCancellations::smiocSendToNone;
  SaveChanges(option);
  if (mode == TSendMeetingInvitationsOrCancellations::smiocSendToNone) return;
  current = GetCurrent()->AsElement();
  for (auto& [name, copy] : held) {
    if (!copy) continue;
    GetCurrent()->GetNode(name);  // created in schema order when missing
    DvDOMElementPtr target = current->ElementByName(name);
    target->Clear();
    DvDOMElementPtr source = copy->GetDocumentElement();
    for (int i = 0; i < source->ElementCount(); ++i)
      target->AppendCopy(source->GetElement(i));
  }
  FSendMode = mode;
  SaveChanges(option);
}

DvEWSCalendarItemPtr TDvEWSCalendarItem::GetOccurrence(int index) {
  if (GetCalendarItemType() != TCalendarItemType::citRecurringMaster)
    throw EEWSException("The calendaritem is not a recurring appointment!", kCannotUseId, 0);
  DvEWSMsgStorePtr store = GetMsgStore();
  if (!store) throw Exception("Failed to find the message store!");
  return std::dynamic_pointer_cast<IDvEWSCalendarItem>(store->GetOccurence(GetID(), index));
}

DvEWSCalendarItemPtr TDvEWSCalendarItem::GetRecurringMaster() {
  const TCalendarItemType type = GetCalendarItemType();
  if (type != TCalendarItemType::citOccurrence && type != TCalendarItemType::citException)
    throw EEWSException("The calendaritem is not an occurrence!", kCannotUseId, 0);
  // The server finds the master of an occurrence or exception by its id (RecurringMasterItemId),
  // wherever the item was opened from.
  auto request = CreateRequest(nullptr, "m:GetItem", "m:GetItemResponse");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:ItemShape")->AddElement("t:BaseShape")->SetAsString("AllProperties");
  DvDOMElementPtr id = op->AddElement("m:ItemIds")->AddElement("t:RecurringMasterItemId");
  id->SetAttribute("OccurrenceId", GetID().Id);
  DvDOMElementPtr message = TDvEWSObject::SendChecked(request, "GetItem");
  DvDOMElementPtr item = OnlyItem(message);
  if (!DvSameText(item->GetLocalName(), "CalendarItem"))
    throw EEWSException("Failed to locate the recurring master via the UID!", kCannotUseId, 0);
  auto master = std::make_shared<TDvEWSCalendarItem>(
      GetMsgStore() ? dynamic_cast<TDvComponent*>(GetMsgStore().get()) : GetCreatedBy());
  master->InitLoaded(item->GetOwnerDocument(), item);
  if (master->GetUID() != GetUID())
    throw EEWSException("Failed to locate the recurring master via the UID!", kCannotUseId, 0);
  return master;
}

void TDvEWSCalendarItem::ModifyAttendees(const char* listName, IDvEWSRecipients& recipients) {
  DvDOMElementPtr parent = GetLoaded()->GetNode(listName);
  auto addressOf = [](const DvDOMElementPtr& attendee) {
    DvDOMElementPtr mailbox = attendee->ElementByName("Mailbox");
    DvDOMElementPtr address = mailbox ? mailbox->ElementByName("EmailAddress") : nullptr;
    return address ? address->GetAsString() : std::string();
  };
  auto listed = [&](const std::string& address) {
    for (int i = 0; i < recipients.Count(); ++i)
      if (DvSameText(recipients.GetRecipient(i)->GetEmailAddress(), address)) return true;
    return false;
  };
  for (int i = parent->ElementCount() - 1; i >= 0; --i) {
    DvDOMElementPtr attendee = parent->GetElement(i);
    if (!listed(addressOf(attendee))) parent->RemoveElement(attendee);
  }
  for (int i = 0; i < recipients.Count(); ++i) {
    DvEWSRecipientPtr r = recipients.GetRecipient(i);
    const std::string address = r->GetEmailAddress();
    bool present = false;
    for (int j = 0; j < parent->ElementCount() && !present; ++j)
      present = DvSameText(addressOf(parent->GetElement(j)), address);
    if (present) continue;
    DvDOMElementPtr mailbox = parent->AddElement("t:Attendee")->AddElement("t:Mailbox");
    if (!r->GetName().empty()) mailbox->AddElement("t:Name")->SetAsString(r->GetName());
    mailbox->AddElement("t:EmailAddress")->SetAsString(address);
    if (!r->GetRoutingType().empty())
      mailbox->AddElement("t:RoutingType")->SetAsString(r->GetRoutingType());
    mailbox->AddElement("t:MailboxType")->SetAsString(DvEnumToXML(r->GetMailboxType()));
    const TItemId id = r->GetItemId();
    if (!id.Id.empty() && id.ChangeKey != "OneOff") {
      DvDOMElementPtr e = mailbox->AddElement("t:ItemId");
      e->SetAttribute("Id", id.Id);
      e->SetAttribute("ChangeKey", id.ChangeKey);
    }
    if (!r->GetOriginalDisplayName().empty())
      mailbox->AddElement("t:OriginalDisplayName")->SetAsString(r->GetOriginalDisplayName());
  }
}

void TDvEWSCalendarItem::ModifyRequiredAttendees(IDvEWSRecipients& recipients) {
  ModifyAttendees("RequiredAttendees", recipients);
}

void TDvEWSCalendarItem::ModifyOptionalAttendees(IDvEWSRecipients& recipients) {
  ModifyAttendees("OptionalAttendees", recipients);
}

DvEwsMeetingResponsePtr TDvEWSCalendarItem::CreateMeetingResponse(TDvEWSResponseAction action) {
  auto self = std::dynamic_pointer_cast<IDvEWSItem>(shared_from_this());
  return std::make_shared<TDvEwsMeetingResponse>(self, GetCurrent(), action);
}

// ---- TDvEwsWellKnownResponse ----

template <typename T>
TDvEwsWellKnownResponse<T>::TDvEwsWellKnownResponse(const DvEWSItemPtr& item, TEwsItem* itemData,
                                                    TDvEWSResponseAction action)
    : TDvEWSPropObject<T>(dynamic_cast<TDvComponent*>(item.get()), true),
      FItem(item),
      FItemData(itemData) {
  const std::string name = ResponseElementName(action);
  FRequest = this->CreateRequest(nullptr, "m:CreateItem", "m:CreateItemResponse");
  DvDOMElementPtr op = FRequest->GetOperation();
  DvDOMElementPtr element = op->AddElement("m:Items")->AddElement("t:" + name);
  DvDOMElementPtr ref = element->AddElement("t:ReferenceItemId");
  const TItemId id = item->GetID();
  ref->SetAttribute("Id", id.Id);
  if (Version() >= TServerVersion::Exchange2013_SP1) ref->SetAttribute("ChangeKey", id.ChangeKey);
  DvDOMElementPtr bound = FRequest->GetDocument()->GetDocumentElement()->SelectSingleElement(
      "/envelope/body/createitem/items/" + name, {});
  this->SetPropData(bound ? bound : element);
}

template <typename T>
TDvEwsWellKnownResponse<T>::~TDvEwsWellKnownResponse() {
  FRecipients.Clear();
  FAttachments.reset();
}

template <typename T>
TServerVersion TDvEwsWellKnownResponse<T>::Version() const {
  return this->Session().GetServerVersion();
}

template <typename T>
TDvEWSAttachments& TDvEwsWellKnownResponse<T>::GetAttachments() {
  if (!FAttachments)
    FAttachments =
        TDvEWSAttachments::Create(nullptr, this->GetCurrent()->GetAttachments()->AsElement());
  return *FAttachments;
}
template <typename T>
DvEWSRecipientsPtr TDvEwsWellKnownResponse<T>::GetBccRecipients() {
  return FRecipients.List(*this->GetCurrent(), "BccRecipients", Version());
}
template <typename T>
TEwsBody* TDvEwsWellKnownResponse<T>::GetBody() {
  return this->GetCurrent()->GetBody();
}
template <typename T>
DvEWSRecipientsPtr TDvEwsWellKnownResponse<T>::GetCcRecipients() {
  return FRecipients.List(*this->GetCurrent(), "CcRecipients", Version());
}
template <typename T>
DvEWSRecipientPtr TDvEwsWellKnownResponse<T>::GetFrom() {
  return FRecipients.Single(*this->GetCurrent(), "From", Version());
}
template <typename T>
TEwsNonEmptyArrayOfInternetHeaders* TDvEwsWellKnownResponse<T>::GetInternetMessageHeaders() {
  return this->GetCurrent()->GetInternetMessageHeaders();
}
template <typename T>
bool TDvEwsWellKnownResponse<T>::GetIsDeliveryReceiptRequested() {
  return this->GetCurrent()->GetIsDeliveryReceiptRequested();
}
template <typename T>
bool TDvEwsWellKnownResponse<T>::GetIsReadReceiptRequested() {
  return this->GetCurrent()->GetIsReadReceiptRequested();
}
template <typename T>
std::string TDvEwsWellKnownResponse<T>::GetItemClass() {
  return this->GetCurrent()->GetItemClass();
}
template <typename T>
std::string TDvEwsWellKnownResponse<T>::GetObjectName() {
  return this->GetCurrent()->GetObjectName();
}
template <typename T>
TItemId TDvEwsWellKnownResponse<T>::GetReferenceItemId() {
  TItemId id;
  id.Assign(*this->GetCurrent()->GetReferenceItemId());
  return id;
}
template <typename T>
DvEWSRecipientPtr TDvEwsWellKnownResponse<T>::GetSender() {
  return FRecipients.Single(*this->GetCurrent(), "Sender", Version());
}
template <typename T>
TSensitivityChoices TDvEwsWellKnownResponse<T>::GetSensitivity() {
  return this->GetCurrent()->GetSensitivity();
}
template <typename T>
DvEWSRecipientsPtr TDvEwsWellKnownResponse<T>::GetToRecipients() {
  return FRecipients.List(*this->GetCurrent(), "ToRecipients", Version());
}
template <typename T>
void TDvEwsWellKnownResponse<T>::SetIsDeliveryReceiptRequested(bool v) {
  this->GetCurrent()->SetIsDeliveryReceiptRequested(v);
}
template <typename T>
void TDvEwsWellKnownResponse<T>::SetIsReadReceiptRequested(bool v) {
  this->GetCurrent()->SetIsReadReceiptRequested(v);
}
template <typename T>
void TDvEwsWellKnownResponse<T>::SetItemClass(const std::string& v) {
  this->GetCurrent()->SetItemClass(v);
}
template <typename T>
void TDvEwsWellKnownResponse<T>::SetObjectName(const std::string& v) {
  this->GetCurrent()->SetObjectName(v);
}
template <typename T>
void TDvEwsWellKnownResponse<T>::SetSensitivity(TSensitivityChoices v) {
  this->GetCurrent()->SetSensitivity(v);
}

template <typename T>
void TDvEwsWellKnownResponse<T>::Submit(TMessageDispositionType disposition) {
  if (!FRequest) throw Exception("The response has already been submitted!");
  DvDOMElementPtr op = FRequest->GetOperation();
  op->SetAttribute("MessageDisposition", DvEWSMessageDispositionText(disposition));
  // Empty leaves (a list asked for and left empty) would not validate.
  DvDOMElementPtr element = this->GetCurrent()->AsElement();
  for (int j = element->ElementCount() - 1; j >= 0; --j) {
    DvDOMElementPtr child = element->GetElement(j);
    if (child->ElementCount() == 0 && child->AttributeCount() == 0 && child->GetAsString().empty())
      element->RemoveElement(child);
  }
  DvSOAPResponsePtr response = FRequest->Send();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/CreateItemResponse/ResponseMessages/CreateItemResponseMessage");
  if (!message)
    throw EEWSException("ErrorInvalidServerResponse", "The response holds no response message!", 0);
  this->CheckResponseError(message);
  FRequest.reset();
  // The answer names the answered calendar item (and the meeting request) with their new change
  // keys: the id of the answered item's kind goes back into its data.
  DvDOMElementPtr items = message->ElementByName("Items");
  if (!items || items->ElementCount() == 0 || FItemData == nullptr) return;
  const std::string kind = FItemData->AsElement()->GetLocalName();
  DvDOMElementPtr chosen = items->GetElement(0);
  for (int i = 0; i < items->ElementCount(); ++i)
    if (items->GetElement(i)->GetLocalName() == kind) chosen = items->GetElement(i);
  DvDOMElementPtr id = chosen->ElementByName("ItemId");
  if (!id) return;
  this->SetId(TItemId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey")));
  if (chosen->GetLocalName() == kind) {
    DvDOMElementPtr target = FItemData->GetNode("ItemId");
    target->SetAttribute("Id", id->GetAttribute("Id"));
    target->SetAttribute("ChangeKey", id->GetAttribute("ChangeKey"));
  }
}

template class TDvEwsWellKnownResponse<TEwsMeetingRegistrationResponseObject>;

TDateTime TDvEwsMeetingResponse::GetProposedEnd() {
  EwsCheckVersion(TServerVersion::Exchange2013, Version(), "GetProposedEnd");
  return GetCurrent()->GetProposedEnd();
}
TDateTime TDvEwsMeetingResponse::GetProposedStart() {
  EwsCheckVersion(TServerVersion::Exchange2013, Version(), "GetProposedStart");
  return GetCurrent()->GetProposedStart();
}
void TDvEwsMeetingResponse::SetProposedEnd(TDateTime value) {
  EwsCheckVersion(TServerVersion::Exchange2013, Version(), "SetProposedEnd");
  GetCurrent()->SetProposedEnd(value);
}
void TDvEwsMeetingResponse::SetProposedStart(TDateTime value) {
  EwsCheckVersion(TServerVersion::Exchange2013, Version(), "SetProposedStart");
  GetCurrent()->SetProposedStart(value);
}

// ---- TDvEWSMeetingMessage ----

TDvEWSMeetingMessage::TDvEWSMeetingMessage(TDvComponent* owner, TItemType type)
    : TDvEWSEMail(owner), FType(type) {}

std::unique_ptr<TDvXMLSchemaElement> TDvEWSMeetingMessage::CreateData(
    const DvDOMElementPtr& element) {
  switch (FType) {
    case TItemType::tMeetingRequest:
      return std::make_unique<TEwsMeetingRequestMessage>(element);
    case TItemType::tMeetingResponse:
      return std::make_unique<TEwsMeetingResponseMessage>(element);
    case TItemType::tMeetingCancellation:
      return std::make_unique<TEwsMeetingCancellationMessage>(element);
    default:
      return std::make_unique<TEwsMeetingMessage>(element);
  }
}

TEwsMeetingMessage& TDvEWSMeetingMessage::Meeting() {
  return static_cast<TEwsMeetingMessage&>(*GetCurrent());
}

TItemId TDvEWSMeetingMessage::GetAssociatedCalendarItemId() {
  TItemId id;
  id.Assign(*Meeting().GetAssociatedCalendarItemId());
  return id;
}
bool TDvEWSMeetingMessage::GetIsDelegated() {
  return Meeting().GetIsDelegated();
}
bool TDvEWSMeetingMessage::GetIsOutOfDate() {
  return Meeting().GetIsOutOfDate();
}
bool TDvEWSMeetingMessage::GetHasBeenProcessed() {
  return Meeting().GetHasBeenProcessed();
}
TResponseType TDvEWSMeetingMessage::GetResponseType() {
  return Meeting().GetResponseType();
}
std::string TDvEWSMeetingMessage::GetUID() {
  return Meeting().GetUID();
}
TDateTime TDvEWSMeetingMessage::GetStartDateTime() {
  switch (FType) {
    case TItemType::tMeetingRequest:
      return static_cast<TEwsMeetingRequestMessage&>(Meeting()).GetStart_();
    case TItemType::tMeetingResponse:
      return static_cast<TEwsMeetingResponseMessage&>(Meeting()).GetStart_();
    case TItemType::tMeetingCancellation:
      return static_cast<TEwsMeetingCancellationMessage&>(Meeting()).GetStart_();
    default:
      return {};
  }
}
TDateTime TDvEWSMeetingMessage::GetEndDateTime() {
  switch (FType) {
    case TItemType::tMeetingRequest:
      return static_cast<TEwsMeetingRequestMessage&>(Meeting()).GetEnd_();
    case TItemType::tMeetingResponse:
      return static_cast<TEwsMeetingResponseMessage&>(Meeting()).GetEnd_();
    case TItemType::tMeetingCancellation:
      return static_cast<TEwsMeetingCancellationMessage&>(Meeting()).GetEnd_();
    default:
      return {};
  }
}
std::string TDvEWSMeetingMessage::GetLocation() {
  switch (FType) {
    case TItemType::tMeetingRequest:
      return static_cast<TEwsMeetingRequestMessage&>(Meeting()).GetLocation();
    case TItemType::tMeetingResponse:
      return static_cast<TEwsMeetingResponseMessage&>(Meeting()).GetLocation();
    case TItemType::tMeetingCancellation:
      return static_cast<TEwsMeetingCancellationMessage&>(Meeting()).GetLocation();
    default:
      return {};
  }
}
TDateTime TDvEWSMeetingMessage::GetProposedStart() {
  if (FType != TItemType::tMeetingResponse) return {};
  return static_cast<TEwsMeetingResponseMessage&>(Meeting()).GetProposedStart();
}
TDateTime TDvEWSMeetingMessage::GetProposedEnd() {
  if (FType != TItemType::tMeetingResponse) return {};
  return static_cast<TEwsMeetingResponseMessage&>(Meeting()).GetProposedEnd();
}
TMeetingRequestType TDvEWSMeetingMessage::GetMeetingRequestType() {
  if (FType != TItemType::tMeetingRequest) return {};
  return static_cast<TEwsMeetingRequestMessage&>(Meeting()).GetMeetingRequestType();
}

DvEWSCalendarItemPtr TDvEWSMeetingMessage::GetAssociatedCalendarItem() {
  const TItemId id = GetAssociatedCalendarItemId();
  if (id.Id.empty())
    throw EEWSException("ErrorItemNotFound", "The meeting has no calendar item!", 0);
  DvEWSMsgStorePtr store = GetMsgStore();
  if (!store) throw Exception("Failed to find the message store!");
  return std::dynamic_pointer_cast<IDvEWSCalendarItem>(store->GetItem(id));
}

DvEwsMeetingResponsePtr TDvEWSMeetingMessage::CreateMeetingResponse(TDvEWSResponseAction action) {
  auto self = std::dynamic_pointer_cast<IDvEWSItem>(shared_from_this());
  return std::make_shared<TDvEwsMeetingResponse>(self, GetCurrent(), action);
}

}  // namespace dv
