// Calendar items, recurrence and meetings against an in-process ewssim: series expanded across a
// daylight-saving change, exceptions and deleted occurrences, a meeting from Alice to Bob and a
// room, responses and cancellations, and the attributes Exchange requires. Every request the
// library sends and every answer the server gives is validated against the EWS schema.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "DvUtils.h"
#include "ews_testsupport.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSCalendar.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSTable.h"

using namespace dv;
using ews_test::ThrownMessage;

namespace {

TDateTime At(const char* text) {
  return DvXMLToDateTime(text);
}

class Calendar : public ::testing::Test {
 protected:
  struct User {
    std::unique_ptr<TDvEWSCustomSession> session;
    DvEWSMsgStorePtr store;
  };

  void Start(const std::string& version = "Exchange2016") {
    ewssim::Config config = ews_test::DefaultSimConfig();
    config.threads = 4;
    config.version.name = version;
    ewssim::UserConfig room{"room@example.com", "room-pw", "Room One", {}, ""};
    room.kind = "room";
    config.users.push_back(room);
    sim_ = std::make_unique<ews_test::SimServer>(config);
    alice_ = Open("alice@example.com", "alice-pw");
  }
  void SetUp() override { Start(); }

  User Open(const std::string& address, const std::string& password) {
    User u;
    u.session = std::make_unique<TDvEWSCustomSession>();
    u.session->SetPasswordDialog(false);
    u.session->SetServiceUrl(sim_->Url());
    u.session->SetCredentials(TDvCredentials(address, password));
    u.session->SetOnSOAPTrace([this](const TDvSOAPTrace& t) {
      std::lock_guard<std::mutex> g(lock_);
      traffic_.push_back(t.Content);
      if (t.Kind == TDvSOAPTrace::TKind::tkRequest) requests_.push_back(t.Content);
    });
    u.session->SetActive(true);
    u.store = u.session->OpenDefaultMsgStore();
    return u;
  }

  void TearDown() override {
    for (const std::string& r : traffic_) {
      auto v = ews_test::ValidateEnvelope(r);
      EXPECT_TRUE(v.ok) << v.message << "\n" << r;
    }
    bob_ = {};
    alice_ = {};
    sim_.reset();
  }

  // The requests of one operation since the last call of Taken.
  std::vector<std::string> Taken(const std::string& operation) {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> out;
    for (auto& r : requests_)
      if (r.find("<m:" + operation) != std::string::npos) out.push_back(r);
    requests_.clear();
    return out;
  }

  DvEWSCalendarItemPtr NewItem(User& u) {
    auto folder = u.store->GetFolder(TDistinguishedFolderIdName::dfincalendar);
    return std::dynamic_pointer_cast<IDvEWSCalendarItem>(
        folder->CreateItem(TItemType::tCalendarItem));
  }

  // Starts and item types of a user's calendar view.
  struct Row {
    std::string start, type, subject;
    TItemId id;
  };
  std::vector<Row> View(User& u, const char* from, const char* to) {
    auto folder = std::dynamic_pointer_cast<IDvEWSCalendarFolder>(
        u.store->GetFolder(TDistinguishedFolderIdName::dfincalendar));
    auto view = folder->GetCalendarView(At(from), At(to), 100);
    view->GetFields().Add(FLD_CALENDAR_START);
    view->GetFields().Add(FLD_CALENDAR_CALENDARITEMTYPE);
    view->GetFields().Add(FLD_ITEM_SUBJECT);
    view->Open();
    std::vector<Row> rows;
    for (; !view->Eof(); view->Next())
      rows.push_back({view->FieldByName(FLD_CALENDAR_START)->GetAsString(),
                      view->FieldByName(FLD_CALENDAR_CALENDARITEMTYPE)->GetAsString(),
                      view->FieldByName(FLD_ITEM_SUBJECT)->GetAsString(), view->GetItemId()});
    return rows;
  }

  // The items of a kind in a user's folder, loaded.
  std::vector<DvEWSItemPtr> ItemsIn(User& u, TDistinguishedFolderIdName name, TItemType kind) {
    auto items = u.store->GetFolder(name)->GetItems();
    items->Open();
    std::vector<DvEWSItemPtr> out;
    for (; !items->Eof(); items->Next()) {
      auto item = u.store->GetItem(items->GetItemId());
      if (item->GetItemType() == kind) out.push_back(item);
    }
    return out;
  }

  // A weekly Monday series at 09:00 Berlin time from 2026-03-16: four instances, across the
  // switch to summer time on 2026-03-29.
  DvEWSCalendarItemPtr WeeklySeries(const std::string& subject) {
    auto item = NewItem(alice_);
    item->SetSubject(subject);
    item->SetTimezoneStartDateTime(At("2026-03-16T09:00:00Z"), "W. Europe Standard Time");
    item->SetTimezoneEndDateTime(At("2026-03-16T10:00:00Z"), "W. Europe Standard Time");
    TEwsRecurrence* r = item->GetRecurrence();
    r->GetWeeklyRecurrence()->SetInterval(1);
    r->GetWeeklyRecurrence()->SetDaysOfWeek("Monday");
    r->GetNumberedRecurrence()->SetStartDate(At("2026-03-16T00:00:00Z"));
    r->GetNumberedRecurrence()->SetNumberOfOccurrences(4);
    item->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    return item;
  }

  std::unique_ptr<ews_test::SimServer> sim_;
  User alice_, bob_;
  std::mutex lock_;
  std::vector<std::string> traffic_, requests_;
};

// Attendee answers of the organizer's item, by address.
std::map<std::string, TResponseType> Answers(IDvEWSCalendarItem& item) {
  std::map<std::string, TResponseType> out;
  for (auto* list : {item.GetRequiredAttendees(), item.GetResources()})
    for (int i = 0; i < list->GetAttendee()->Count(); ++i) {
      TEwsAttendee* a = list->GetAttendee()->GetItem(i);
      out[a->GetMailbox()->GetEmailAddress()] = a->GetResponseType();
    }
  return out;
}

TEST_F(Calendar, WeeklySeriesKeepsItsWallClockHourAcrossDaylightSaving) {
  auto master = WeeklySeries("Standup");
  auto create = Taken("CreateItem");
  ASSERT_EQ(create.size(), 1u);
  EXPECT_NE(create[0].find("SendMeetingInvitations=\"SendToNone\""), std::string::npos);

  EXPECT_EQ(master->GetCalendarItemType(), TCalendarItemType::citRecurringMaster);
  EXPECT_EQ(master->GetStartTimeZone()->GetId(), "W. Europe Standard Time");
  EXPECT_EQ(DvDateTimeToXML(master->GetLastOccurrence()->GetStart_()), "2026-04-06T07:00:00Z");
  auto rows = View(alice_, "2026-03-01T00:00:00Z", "2026-05-01T00:00:00Z");
  std::vector<std::string> starts;
  for (auto& r : rows) {
    starts.push_back(r.start);
    EXPECT_EQ(r.type, "Occurrence");
  }
  EXPECT_EQ(starts, (std::vector<std::string>{"2026-03-16T08:00:00Z", "2026-03-23T08:00:00Z",
                                              "2026-03-30T07:00:00Z", "2026-04-06T07:00:00Z"}));
}

TEST_F(Calendar, ExceptionAndDeletedOccurrence) {
  auto master = WeeklySeries("Review");
  auto second = master->GetOccurrence(2);
  EXPECT_EQ(second->GetCalendarItemType(), TCalendarItemType::citOccurrence);
  EXPECT_EQ(second->GetRecurringMaster()->GetUID(), master->GetUID());
  second->SetSubject("Review (moved)");
  second->SetStartDateTime(At("2026-03-24T12:00:00Z"));
  second->SetEndDateTime(At("2026-03-24T13:00:00Z"));
  second->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  auto update = Taken("UpdateItem");
  ASSERT_EQ(update.size(), 1u);
  EXPECT_NE(update[0].find("SendMeetingInvitationsOrCancellations=\"SendToNone\""),
            std::string::npos);

  auto calendar = std::dynamic_pointer_cast<IDvEWSCalendarFolder>(
      alice_.store->GetFolder(TDistinguishedFolderIdName::dfincalendar));
  calendar->DeleteMeeting(master->GetOccurrence(3)->GetID(),
                          TDvEWSFolderDeleteType::dtMoveToDeletedItems,
                          TSendMeetingInvitationsOrCancellations::smiocSendToNone);

  auto rows = View(alice_, "2026-03-01T00:00:00Z", "2026-05-01T00:00:00Z");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].start, "2026-03-24T12:00:00Z");
  EXPECT_EQ(rows[1].type, "Exception");
  EXPECT_EQ(rows[1].subject, "Review (moved)");
  EXPECT_EQ(rows[2].start, "2026-04-06T07:00:00Z");

  auto reloaded = std::dynamic_pointer_cast<IDvEWSCalendarItem>(
      alice_.store->GetItem(TItemId(master->GetID().Id)));
  EXPECT_EQ(reloaded->GetModifiedOccurrences()->GetOccurrence()->Count(), 1);
  EXPECT_EQ(reloaded->GetDeletedOccurrences()->GetDeletedOccurrence()->Count(), 1);
  // The series' own errors: a deleted occurrence, an index past the end, a single item.
  EXPECT_EQ(ThrownMessage([&] {
              reloaded->GetOccurrence(3);
            }).find("ErrorCalendarOccurrenceIsDeletedFromRecurrence"),
            0u);
  EXPECT_EQ(ThrownMessage([&] {
              reloaded->GetOccurrence(5);
            }).find("ErrorCalendarOccurrenceIndexIsOutOfRecurrenceRange"),
            0u);
  EXPECT_THROW(NewItem(alice_)->GetRecurringMaster(), EEWSException);

  // An emptied recurrence deletes the pattern: the series becomes a single appointment.
  auto pattern = reloaded->GetRecurrence()->AsElement();
  while (pattern->ElementCount() > 0)
    pattern->RemoveElement(pattern->GetElement(0));
  reloaded->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  update = Taken("UpdateItem");
  ASSERT_EQ(update.size(), 1u);
  EXPECT_NE(update[0].find("<t:DeleteItemField><t:FieldURI FieldURI=\"calendar:Recurrence\""),
            std::string::npos)
      << update[0];
  EXPECT_EQ(reloaded->GetCalendarItemType(), TCalendarItemType::citSingle);
}

TEST_F(Calendar, MeetingWithBobAndRoomAcceptedThenCancelled) {
  bob_ = Open("bob@example.com", "bob-pw");
  auto meeting = NewItem(alice_);
  meeting->SetSubject("Planning");
  meeting->SetStartDateTime(At("2026-05-04T09:00:00Z"));
  meeting->SetEndDateTime(At("2026-05-04T10:00:00Z"));
  auto people = TDvEWSRecipients::CreateStandalone(TServerVersion::Exchange2016);
  people->Add("bob@example.com");
  meeting->ModifyRequiredAttendees(*people);
  meeting->GetResources()->GetAttendee()->Add()->GetMailbox()->SetEmailAddress("room@example.com");
  meeting->SaveMeeting(TDvEWSSaveOption::soAutoResolve,
                       TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy);
  auto create = Taken("CreateItem");
  ASSERT_EQ(create.size(), 1u);
  EXPECT_NE(create[0].find("SendMeetingInvitations=\"SendToAllAndSaveCopy\""), std::string::npos);

  // Bob's Inbox has the request; his calendar the meeting, tentatively.
  auto requests = ItemsIn(bob_, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingRequest);
  ASSERT_EQ(requests.size(), 1u);
  auto request = std::dynamic_pointer_cast<IDvEWSMeetingMessage>(requests[0]);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->GetMeetingRequestType(), TMeetingRequestType::mrtNewMeetingRequest);
  EXPECT_EQ(DvDateTimeToXML(request->GetStartDateTime()), "2026-05-04T09:00:00Z");
  auto bobsCopy = request->GetAssociatedCalendarItem();
  EXPECT_EQ(bobsCopy->GetMyResponseType(), TResponseType::rtNoResponseReceived);
  EXPECT_EQ(bobsCopy->GetUID(), meeting->GetUID());
  EXPECT_FALSE(bobsCopy->GetIsOrganizer());

  auto accept = request->CreateMeetingResponse(TDvEWSResponseAction::raAccept);
  accept->GetBody()->SetBodyType(TBodyType::btText);
  accept->GetBody()->SetValue("See you there");
  accept->Submit(TMessageDispositionType::mdpSendAndSaveCopy);
  EXPECT_THROW(request->CreateMeetingResponse(TDvEWSResponseAction::raReply), Exception);

  // Alice sees both answers: Bob's and the room's own booking.
  auto mine = std::dynamic_pointer_cast<IDvEWSCalendarItem>(
      alice_.store->GetItem(TItemId(meeting->GetID().Id)));
  auto answers = Answers(*mine);
  EXPECT_EQ(answers["bob@example.com"], TResponseType::rtAccept);
  EXPECT_EQ(answers["room@example.com"], TResponseType::rtAccept);
  EXPECT_EQ(
      ItemsIn(alice_, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingResponse).size(),
      2u);

  // The room is taken now: a second meeting at the same time is declined.
  auto clash = NewItem(alice_);
  clash->SetSubject("Clash");
  clash->SetStartDateTime(At("2026-05-04T09:30:00Z"));
  clash->SetEndDateTime(At("2026-05-04T10:30:00Z"));
  clash->GetResources()->GetAttendee()->Add()->GetMailbox()->SetEmailAddress("room@example.com");
  clash->SaveMeeting(TDvEWSSaveOption::soAutoResolve,
                     TSendMeetingInvitationsOrCancellations::smiocSendOnlyToAll);
  auto clashed = std::dynamic_pointer_cast<IDvEWSCalendarItem>(
      alice_.store->GetItem(TItemId(clash->GetID().Id)));
  EXPECT_EQ(Answers(*clashed)["room@example.com"], TResponseType::rtDecline);

  // Cancelling sends Bob a cancellation; removing it takes the meeting out of his calendar.
  std::dynamic_pointer_cast<IDvEWSCalendarFolder>(
      alice_.store->GetFolder(TDistinguishedFolderIdName::dfincalendar))
      ->DeleteMeeting(mine->GetID(), TDvEWSFolderDeleteType::dtMoveToDeletedItems,
                      TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy);
  auto cancels =
      ItemsIn(bob_, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingCancellation);
  ASSERT_EQ(cancels.size(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<IDvEWSCalendarItem>(
                  bob_.store->GetItem(TItemId(bobsCopy->GetID().Id)))
                  ->GetIsCancelled());
  ews_test::SoapClient soap(sim_->Url(), "bob@example.com", "bob-pw");
  auto reply = soap.Post(ews_test::Envelope(
      "<m:CreateItem MessageDisposition=\"SendAndSaveCopy\"><m:Items><t:RemoveItem>"
      "<t:ReferenceItemId Id=\"" +
      cancels[0]->GetID().Id + "\"/></t:RemoveItem></m:Items></m:CreateItem>"));
  EXPECT_NE(reply.body.find("NoError"), std::string::npos) << reply.body;
  EXPECT_TRUE(View(bob_, "2026-05-01T00:00:00Z", "2026-05-10T00:00:00Z").empty());
}

TEST_F(Calendar, RequiredAttributesGetExchangesErrors) {
  auto single = NewItem(alice_);
  single->SetSubject("One");
  single->SetStartDateTime(At("2026-06-01T09:00:00Z"));
  single->SetEndDateTime(At("2026-06-01T10:00:00Z"));
  single->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  const std::string id = single->GetID().Id;
  struct Case {
    const char* body;
    const char* code;
  };
  const std::string item = "<t:ItemId Id=\"" + id + "\"/>";
  const Case cases[] = {
      {"<m:CreateItem><m:Items><t:CalendarItem><t:Subject>x</t:Subject></t:CalendarItem>"
       "</m:Items></m:CreateItem>",
       "ErrorSendMeetingInvitationsRequired"},
      {"<m:UpdateItem ConflictResolution=\"AutoResolve\"><m:ItemChanges><t:ItemChange>ITEM"
       "<t:Updates><t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:CalendarItem>"
       "<t:Subject>y</t:Subject></t:CalendarItem></t:SetItemField></t:Updates></t:ItemChange>"
       "</m:ItemChanges></m:UpdateItem>",
       "ErrorSendMeetingInvitationsOrCancellationsRequired"},
      {"<m:DeleteItem DeleteType=\"HardDelete\"><m:ItemIds>ITEM</m:ItemIds></m:DeleteItem>",
       "ErrorSendMeetingCancellationsRequired"},
      {"<m:GetItem><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape></m:ItemShape><m:ItemIds>"
       "<t:OccurrenceItemId RecurringMasterId=\"ID\" InstanceIndex=\"1\"/></m:ItemIds>"
       "</m:GetItem>",
       "ErrorCalendarCannotUseIdForOccurrenceId"},
  };
  ews_test::SoapClient soap(sim_->Url(), "alice@example.com", "alice-pw");
  for (const Case& c : cases) {
    std::string body = c.body;
    if (auto p = body.find("ITEM"); p != std::string::npos) body.replace(p, 4, item);
    if (auto p = body.find("\"ID\""); p != std::string::npos) body.replace(p + 1, 2, id);
    auto reply = soap.Post(ews_test::Envelope(body));
    EXPECT_NE(reply.body.find(std::string("<m:ResponseCode>") + c.code), std::string::npos)
        << c.code << "\n"
        << reply.body;
  }
}

TEST_F(Calendar, LocalTimesAllDayAndVersionGates) {
  auto item = NewItem(alice_);
  item->SetStartDateTime(At("2026-07-01T09:30:00Z"));
  item->SetEndDateTime(At("2026-07-01T11:00:00Z"));
  item->SetIsAllDayEvent(true);
  EXPECT_EQ(DvDateTimeToXML(item->GetStartDateTime()), "2026-07-01T00:00:00Z");
  EXPECT_EQ(DvDateTimeToXML(item->GetEndDateTime()), "2026-07-01T00:00:00Z");
  item->SetEndDateTime(At("2026-07-02T15:00:00Z"));
  EXPECT_EQ(DvDateTimeToXML(item->GetEndDateTime()), "2026-07-02T00:00:00Z");
  item->SetIsAllDayEvent(false);
  // Two hours ahead of UTC: the wall-clock time less two hours.
  item->SetTimezoneStartDateTime(At("2026-07-01T12:00:00Z"), "South Africa Standard Time");
  EXPECT_EQ(DvDateTimeToXML(item->GetStartDateTime()), "2026-07-01T10:00:00Z");
  EXPECT_NE(ThrownMessage([&] {
              item->SetTimezoneEndDateTime(At("2026-07-01T12:00:00Z"), "Mars");
            }).find("The specified TimezoneId is not valid!"),
            std::string::npos);

  TearDown();
  Start("Exchange2010_SP2");
  auto old = NewItem(alice_);
  EXPECT_THROW(old->GetStartTimeZone(), Exception);
  EXPECT_THROW(old->SetTimezoneStartDateTime(At("2026-07-01T12:00:00Z"), "UTC-11"), Exception);
  EXPECT_NO_THROW(old->SetTimezoneEndDateTime(At("2026-07-01T12:00:00Z"), "UTC-11"));
  EXPECT_EQ(DvDateTimeToXML(old->GetEndDateTime()), "2026-07-01T23:00:00Z");
}

TEST_F(Calendar, LoadedMeetingSavesTwiceWithAttendeeChangesInTheSecond) {
  auto meeting = NewItem(alice_);
  meeting->SetSubject("Sync");
  meeting->SetStartDateTime(At("2026-08-03T09:00:00Z"));
  meeting->SetEndDateTime(At("2026-08-03T10:00:00Z"));
  meeting->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  Taken("");
  auto people = TDvEWSRecipients::CreateStandalone(TServerVersion::Exchange2016);
  people->Add("bob@example.com");
  people->Add("BOB@example.com");
  meeting->ModifyRequiredAttendees(*people);
  EXPECT_EQ(meeting->GetRequiredAttendees()->GetAttendee()->Count(), 1);
  meeting->SetLocation("Room 2");
  meeting->SaveMeeting(TDvEWSSaveOption::soAutoResolve,
                       TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy);
  auto updates = Taken("UpdateItem");
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_NE(updates[0].find("SendToNone"), std::string::npos);
  EXPECT_EQ(updates[0].find("RequiredAttendees"), std::string::npos);
  EXPECT_NE(updates[1].find("SendMeetingInvitationsOrCancellations=\"SendToAllAndSaveCopy\""),
            std::string::npos);
  EXPECT_NE(updates[1].find("RequiredAttendees"), std::string::npos);
  bob_ = Open("bob@example.com", "bob-pw");
  EXPECT_EQ(ItemsIn(bob_, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingRequest).size(),
            1u);
}

}  // namespace
