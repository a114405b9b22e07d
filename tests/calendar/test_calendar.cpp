// Calendar items, recurrence and meetings against an in-process ewssim: series expanded across a
// daylight-saving change, exceptions and deleted occurrences, a meeting from Alice to Bob and a
// room, responses and cancellations, and the attributes Exchange requires. Every request the
// library sends and every answer the server gives is validated against the EWS schema.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "DvUtils.h"
#include "ews_testsupport.h"
#include "test_helpers.h"
#include "test_process.h"
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

  // An Exchange2007 client reads the series' zone as MeetingTimeZone.
  ews_test::SoapClient soap(sim_->Url(), "alice@example.com", "alice-pw");
  auto legacy = soap.Post(ews_test::Envelope(
      "<m:GetItem><m:ItemShape><t:BaseShape>AllProperties</t:BaseShape></m:ItemShape><m:ItemIds>"
      "<t:ItemId Id=\"" +
          master->GetID().Id + "\"/></m:ItemIds></m:GetItem>",
      "<t:RequestServerVersion Version=\"Exchange2007_SP1\"/>"));
  EXPECT_NE(legacy.body.find("<t:MeetingTimeZone TimeZoneName=\"W. Europe Standard Time\">"),
            std::string::npos)
      << legacy.body;
  EXPECT_EQ(legacy.body.find("StartTimeZone"), std::string::npos);
  EXPECT_TRUE(ews_test::ValidateEnvelope(legacy.body).ok);
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

TEST_F(Calendar, RequiredAttributesAndBadItemsGetExchangesErrors) {
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
      {"<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items><t:CalendarItem>"
       "<t:Start>2026-06-01T10:00:00Z</t:Start><t:End>2026-06-01T09:00:00Z</t:End>"
       "</t:CalendarItem></m:Items></m:CreateItem>",
       "ErrorCalendarEndDateIsEarlierThanStartDate"},
      {"<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items><t:CalendarItem>"
       "<t:Start>2026-06-01T10:00:00Z</t:Start><t:End>2026-06-01T11:00:00Z</t:End>"
       "<t:Recurrence><t:DailyRecurrence><t:Interval>1</t:Interval></t:DailyRecurrence>"
       "<t:NumberedRecurrence><t:StartDate>2026-06-01</t:StartDate><t:NumberOfOccurrences>0"
       "</t:NumberOfOccurrences></t:NumberedRecurrence></t:Recurrence></t:CalendarItem>"
       "</m:Items></m:CreateItem>",
       "ErrorCalendarInvalidRecurrence"},
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
  // The wall-clock time less the zone's offset on that day.
  for (const auto& [wall, zone, utc] : std::vector<std::array<const char*, 3>>{
           {"2026-07-01T12:00:00Z", "South Africa Standard Time", "2026-07-01T10:00:00Z"},
           {"2026-07-01T12:00:00Z", "W. Europe Standard Time", "2026-07-01T10:00:00Z"},
           {"2026-01-15T12:00:00Z", "W. Europe Standard Time", "2026-01-15T11:00:00Z"},
           {"2026-07-01T12:00:00Z", "Newfoundland Standard Time", "2026-07-01T14:30:00Z"}}) {
    item->SetTimezoneStartDateTime(At(wall), zone);
    EXPECT_EQ(DvDateTimeToXML(item->GetStartDateTime()), utc) << zone << " " << wall;
  }
  EXPECT_NE(ThrownMessage([&] {
              item->SetTimezoneEndDateTime(At("2026-07-01T12:00:00Z"), "Mars");
            }).find("The specified TimezoneId is not valid!"),
            std::string::npos);

  TearDown();
  Start("Exchange2010_SP2");
  auto old = NewItem(alice_);
  EXPECT_THROW(old->GetStartTimeZone(), Exception);
  EXPECT_NO_THROW(old->GetEndTimeZone());
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

// Every pattern and range, written and read back through the schema classes, expanded by the
// server (UTC series, 10:00).
TEST_F(Calendar, EveryPatternAndRangeExpands) {
  struct Case {
    const char* name;
    const char* start;
    std::function<void(TEwsRecurrence&)> write;
    std::function<std::string(TEwsRecurrence&)> read;
    std::vector<std::string> dates;
  };
  const Case cases[] = {
      {"daily every 2nd day, 3 times",
       "2026-01-05",
       [](TEwsRecurrence& r) {
         r.GetDailyRecurrence()->SetInterval(2);
         r.GetNumberedRecurrence()->SetNumberOfOccurrences(3);
       },
       [](TEwsRecurrence& r) { return std::to_string(r.GetDailyRecurrence()->GetInterval()); },
       {"2026-01-05", "2026-01-07", "2026-01-09"}},
      {"every other week Tue+Thu until 22nd",
       "2026-01-06",
       [](TEwsRecurrence& r) {
         r.GetWeeklyRecurrence()->SetInterval(2);
         r.GetWeeklyRecurrence()->SetDaysOfWeek("Tuesday Thursday");
         r.GetEndDateRecurrence()->SetEndDate(At("2026-01-22T00:00:00Z"));
       },
       [](TEwsRecurrence& r) { return r.GetWeeklyRecurrence()->GetDaysOfWeek(); },
       {"2026-01-06", "2026-01-08", "2026-01-20", "2026-01-22"}},
      {"monthly on the 31st, clamped",
       "2026-01-31",
       [](TEwsRecurrence& r) {
         r.GetAbsoluteMonthlyRecurrence()->SetInterval(1);
         r.GetAbsoluteMonthlyRecurrence()->SetDayOfMonth(31);
         r.GetNumberedRecurrence()->SetNumberOfOccurrences(3);
       },
       [](TEwsRecurrence& r) {
         return std::to_string(r.GetAbsoluteMonthlyRecurrence()->GetDayOfMonth());
       },
       {"2026-01-31", "2026-02-28", "2026-03-31"}},
      {"last Friday of the month",
       "2026-01-01",
       [](TEwsRecurrence& r) {
         auto* p = r.GetRelativeMonthlyRecurrence();
         p->SetInterval(1);
         p->SetDaysOfWeek(TDayOfWeek::dowFriday);
         p->SetDayOfWeekIndex(TDayOfWeekIndex::dowiLast);
         r.GetNumberedRecurrence()->SetNumberOfOccurrences(3);
       },
       [](TEwsRecurrence& r) {
         return DvEnumToXML(r.GetRelativeMonthlyRecurrence()->GetDayOfWeekIndex());
       },
       {"2026-01-30", "2026-02-27", "2026-03-27"}},
      {"yearly on 15 March",
       "2026-03-15",
       [](TEwsRecurrence& r) {
         r.GetAbsoluteYearlyRecurrence()->SetDayOfMonth(15);
         r.GetAbsoluteYearlyRecurrence()->SetMonth(TMonthNames::mnMarch);
         r.GetNumberedRecurrence()->SetNumberOfOccurrences(2);
       },
       [](TEwsRecurrence& r) { return DvEnumToXML(r.GetAbsoluteYearlyRecurrence()->GetMonth()); },
       {"2026-03-15", "2027-03-15"}},
      {"second Monday of May",
       "2026-01-01",
       [](TEwsRecurrence& r) {
         auto* p = r.GetRelativeYearlyRecurrence();
         p->SetDaysOfWeek(TDayOfWeek::dowMonday);
         p->SetDayOfWeekIndex(TDayOfWeekIndex::dowiSecond);
         p->SetMonth(TMonthNames::mnMay);
         r.GetNumberedRecurrence()->SetNumberOfOccurrences(2);
       },
       [](TEwsRecurrence& r) {
         return DvEnumToXML(r.GetRelativeYearlyRecurrence()->GetDayOfWeekIndex());
       },
       {"2026-05-11", "2027-05-10"}},
      {"weekly without end",
       "2026-01-05",
       [](TEwsRecurrence& r) {
         r.GetWeeklyRecurrence()->SetInterval(1);
         r.GetWeeklyRecurrence()->SetDaysOfWeek("Monday");
         r.GetNoEndRecurrence();
       },
       [](TEwsRecurrence& r) { return r.GetNoEndRecurrence()->AsElement()->GetLocalName(); },
       {"2026-01-05", "2026-01-12", "2026-01-19"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto item = NewItem(alice_);
    item->SetSubject(c.name);
    const std::string start = std::string(c.start) + "T10:00:00Z";
    item->SetStartDateTime(At(start.c_str()));
    item->SetEndDateTime(TDateTime(At(start.c_str()).Value + 1.0 / 24));
    c.write(*item->GetRecurrence());
    // The range's start is the series' first day (the range element exists once written).
    TEwsRecurrence* r = item->GetRecurrence();
    DvDOMElementPtr pattern = r->AsElement();
    if (pattern->ElementByName("NumberedRecurrence"))
      r->GetNumberedRecurrence()->SetStartDate(At(start.c_str()));
    if (pattern->ElementByName("EndDateRecurrence"))
      r->GetEndDateRecurrence()->SetStartDate(At(start.c_str()));
    if (pattern->ElementByName("NoEndRecurrence"))
      r->GetNoEndRecurrence()->SetStartDate(At(start.c_str()));
    const std::string written = c.read(*item->GetRecurrence());
    item->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    EXPECT_EQ(c.read(*item->GetRecurrence()), written);  // read back after the reload

    std::vector<std::string> dates;
    for (auto& row : View(alice_, "2026-01-01T00:00:00Z", "2027-12-31T00:00:00Z"))
      if (row.subject == c.name && dates.size() < c.dates.size())
        dates.push_back(row.start.substr(0, 10));
    EXPECT_EQ(dates, c.dates);
    alice_.store->GetFolder(TDistinguishedFolderIdName::dfincalendar)
        ->DeleteItem(item->GetID(), TDvEWSFolderDeleteType::dtHardDelete);
  }
}

// The tool over the same server: a meeting made, answered and shown.
TEST_F(Calendar, ToolMeetRespondAndShow) {
  ews_test::TempDir dir;
  auto ews = [&](const std::string& user, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(EWS_BINARY_DIR) + "/tools/ews/ews");
    return ews_test::RunProgram(args,
                                {"EWS_URL=" + sim_->Url(), "EWS_USER=" + user + "@example.com",
                                 "EWS_PASSWORD=" + user + "-pw", "TZ=UTC"},
                                dir.Path());
  };
  auto made = ews("alice", {"--json", "meet", "--subject", "Retro", "--start", "2026-09-07T14:00",
                            "--end", "2026-09-07T15:00", "--tz", "W. Europe Standard Time", "--to",
                            "bob@example.com", "--repeat", "weekly:MO", "--count", "3"});
  ASSERT_EQ(made.code, 0) << made.err;
  const std::string master = nlohmann::json::parse(made.out).at("id");

  auto inbox = ews("bob", {"--json", "ls", "inbox", "--columns", "subject,itemclass"});
  ASSERT_EQ(inbox.code, 0) << inbox.err;
  auto rows = nlohmann::json::parse(inbox.out);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].at("itemclass"), "IPM.Schedule.Meeting.Request");
  auto answered = ews("bob", {"respond", rows[0].at("id"), "tentative", "--propose",
                              "2026-09-07T16:00Z", "2026-09-07T17:00Z"});
  EXPECT_EQ(answered.code, 0) << answered.err;
  EXPECT_EQ(ews("bob", {"respond", rows[0].at("id"), "maybe"}).code, 2);

  auto agenda = ews("alice", {"--json", "cal", "--from", "2026-09-01", "--to", "2026-10-01"});
  ASSERT_EQ(agenda.code, 0) << agenda.err;
  auto entries = nlohmann::json::parse(agenda.out);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[2].at("start"), "2026-09-21T12:00:00Z");  // 14:00 in Berlin
  auto week = ews("alice", {"cal", "--week", "2026-09-08"});
  ASSERT_EQ(week.code, 0) << week.err;
  EXPECT_NE(week.out.find("12:00 Retro"), std::string::npos) << week.out;
  EXPECT_EQ(week.out.find('\033'), std::string::npos);  // no colour on a pipe
  auto listed = ews("alice", {"--json", "occurrences", master, "--limit", "5"});
  ASSERT_EQ(listed.code, 0) << listed.err;
  EXPECT_EQ(nlohmann::json::parse(listed.out).size(), 3u);

  auto mine = std::dynamic_pointer_cast<IDvEWSCalendarItem>(alice_.store->GetItem(TItemId(master)));
  TEwsAttendee* bob = mine->GetRequiredAttendees()->GetAttendee()->GetItem(0);
  EXPECT_EQ(bob->GetResponseType(), TResponseType::rtTentative);
  EXPECT_EQ(DvDateTimeToXML(bob->GetProposedStart()), "2026-09-07T16:00:00Z");
  EXPECT_EQ(ews("alice", {"cancel", master, "--body", "Postponed"}).code, 0);
  EXPECT_NE(ews("bob", {"ls", "inbox", "--columns", "subject"}).out.find("Canceled: Retro"),
            std::string::npos);
}

// Updates: a moved meeting reaches every attendee; with SendOnlyToChanged an added attendee
// alone gets a request. A decline takes the meeting out of the attendee's calendar.
TEST_F(Calendar, UpdatesReachTheRightAttendeesAndDeclinesLeaveTheCalendar) {
  bob_ = Open("bob@example.com", "bob-pw");
  User svc = Open("svc@example.com", "svc-pw");
  auto meeting = NewItem(alice_);
  meeting->SetSubject("Budget");
  meeting->SetStartDateTime(At("2026-10-05T09:00:00Z"));
  meeting->SetEndDateTime(At("2026-10-05T10:00:00Z"));
  auto people = TDvEWSRecipients::CreateStandalone(TServerVersion::Exchange2016);
  people->Add("bob@example.com");
  meeting->ModifyRequiredAttendees(*people);
  meeting->SaveMeeting(TDvEWSSaveOption::soAutoResolve,
                       TSendMeetingInvitationsOrCancellations::smiocSendOnlyToAll);

  meeting->SetStartDateTime(At("2026-10-05T11:00:00Z"));
  meeting->SetEndDateTime(At("2026-10-05T12:00:00Z"));
  meeting->SaveMeeting(TDvEWSSaveOption::soAutoResolve,
                       TSendMeetingInvitationsOrCancellations::smiocSendToAllAndSaveCopy);
  auto requests = ItemsIn(bob_, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingRequest);
  ASSERT_EQ(requests.size(), 2u);
  std::set<TMeetingRequestType> kinds;
  for (auto& r : requests)
    kinds.insert(std::dynamic_pointer_cast<IDvEWSMeetingMessage>(r)->GetMeetingRequestType());
  EXPECT_EQ(kinds, (std::set<TMeetingRequestType>{TMeetingRequestType::mrtNewMeetingRequest,
                                                  TMeetingRequestType::mrtFullUpdate}));
  auto rows = View(bob_, "2026-10-01T00:00:00Z", "2026-10-10T00:00:00Z");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].start, "2026-10-05T11:00:00Z");
  EXPECT_EQ(std::dynamic_pointer_cast<IDvEWSCalendarItem>(alice_.store->GetItem(meeting->GetID()))
                ->GetAppointmentSequenceNumber(),
            1);

  people->Add("svc@example.com");
  meeting->ModifyRequiredAttendees(*people);
  meeting->SaveMeeting(TDvEWSSaveOption::soAutoResolve,
                       TSendMeetingInvitationsOrCancellations::smiocSendOnlyToChanged);
  EXPECT_EQ(ItemsIn(bob_, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingRequest).size(),
            2u);
  auto svcRequests =
      ItemsIn(svc, TDistinguishedFolderIdName::dfininbox, TItemType::tMeetingRequest);
  ASSERT_EQ(svcRequests.size(), 1u);

  auto decline = std::dynamic_pointer_cast<IDvEWSMeetingMessage>(svcRequests[0])
                     ->CreateMeetingResponse(TDvEWSResponseAction::raDecline);
  decline->Submit(TMessageDispositionType::mdbSendOnly);
  EXPECT_TRUE(View(svc, "2026-10-01T00:00:00Z", "2026-10-10T00:00:00Z").empty());
  auto mine =
      std::dynamic_pointer_cast<IDvEWSCalendarItem>(alice_.store->GetItem(meeting->GetID()));
  EXPECT_EQ(Answers(*mine)["svc@example.com"], TResponseType::rtDecline);
  EXPECT_EQ(Answers(*mine)["bob@example.com"], TResponseType::rtUnknown);  // not answered
}

// A series' exceptions and deletions are part of the state file: they survive a restart.
TEST_F(Calendar, ExceptionsSurviveARestart) {
  ews_test::TempDir dir;
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.threads = 2;
  config.stateFile = dir.File("state.json");
  TearDown();
  sim_ = std::make_unique<ews_test::SimServer>(config);
  alice_ = Open("alice@example.com", "alice-pw");
  auto master = WeeklySeries("Kept");
  auto second = master->GetOccurrence(2);
  second->SetSubject("Kept (moved)");
  second->SaveChanges(TDvEWSSaveOption::soAutoResolve);
  std::dynamic_pointer_cast<IDvEWSCalendarFolder>(
      alice_.store->GetFolder(TDistinguishedFolderIdName::dfincalendar))
      ->DeleteMeeting(master->GetOccurrence(3)->GetID(), TDvEWSFolderDeleteType::dtHardDelete,
                      TSendMeetingInvitationsOrCancellations::smiocSendToNone);
  alice_ = {};
  sim_.reset();  // stopping writes the state file
  sim_ = std::make_unique<ews_test::SimServer>(config);
  alice_ = Open("alice@example.com", "alice-pw");
  auto rows = View(alice_, "2026-03-01T00:00:00Z", "2026-05-01T00:00:00Z");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].subject, "Kept (moved)");
  EXPECT_EQ(rows[1].type, "Exception");
}

}  // namespace
