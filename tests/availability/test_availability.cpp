// Free/busy, meeting-time suggestions, mail tips and identifier conversion, end to end against
// an in-process ewssim: Alice, Bob and a room with known meetings on Monday 2026-12-07.
#include <gtest/gtest.h>

#include <map>
#include <pugixml.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "session_fixture.h"
#include "test_helpers.h"
#include "test_process.h"
#include "uDvEWS.h"
#include "uDvEWSAvailability.h"
#include "uDvEWSServices.h"

namespace {

using dv::TDateTime;
using dv::TLegacyFreeBusy;
using dv::TSuggestionQuality;

TDateTime At(int hour, int minute = 0, int day = 7) {
  return TDateTime::Encode(2026, 12, day, hour, minute);
}

ewssim::Config AvailabilityConfig() {
  ewssim::Config c = session_test::SimConfig();
  c.users.push_back({"room@example.com", "room-pw", "Room One", {}, ""});
  for (auto& u : c.users) {
    if (u.address == "alice@example.com") u.mailTips.customMailTip = "Alice answers on Fridays.";
    if (u.address == "bob@example.com") {
      u.calendarDetails = {"alice@example.com"};
      u.mailTips.quotaBytes = 1;  // full with its first item
      u.mailTips.moderated = true;
    }
    if (u.address == "room@example.com") u.mailTips.deliveryRestricted = true;
  }
  // A group with a nested one: four people once each, two of them outside example.com.
  c.groups.push_back(
      {"team@example.com",
       "Team",
       {"alice@example.com", "core@example.com", "partner@elsewhere.org", "bob@example.com"}});
  c.groups.push_back({"core@example.com", "Core", {"alice@example.com", "carol@outside.net"}});
  c.maxMessageSize = 1048576;
  return c;
}

// Creates a calendar item in a user's calendar and returns its id.
std::string AddMeeting(ews_test::SimServer& sim, const std::string& user,
                       const std::string& subject, TDateTime start, TDateTime end,
                       const std::string& status, bool isPrivate = false,
                       const std::string& tail = {}) {
  ews_test::SoapClient client(sim.Url(), user + "@example.com", user + "-pw");
  const std::string body =
      std::string(
          "<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:SavedItemFolderId>"
          "<t:DistinguishedFolderId Id=\"calendar\"/></m:SavedItemFolderId><m:Items>"
          "<t:CalendarItem><t:Subject>") +
      subject + "</t:Subject>" + (isPrivate ? "<t:Sensitivity>Private</t:Sensitivity>" : "") +
      "<t:Start>" + dv::DvDateTimeToXML(start) + "</t:Start><t:End>" + dv::DvDateTimeToXML(end) +
      "</t:End><t:LegacyFreeBusyStatus>" + status +
      "</t:LegacyFreeBusyStatus><t:Location>Room One</t:Location>" + tail +
      "</t:CalendarItem></m:Items></m:CreateItem>";
  auto reply =
      client.Post(ews_test::Envelope(body, "<t:RequestServerVersion Version=\"Exchange2013\"/>"));
  std::smatch m;
  EXPECT_TRUE(std::regex_search(reply.body, m, std::regex("ItemId Id=\"([^\"]+)\""))) << reply.body;
  return m.size() > 1 ? m[1].str() : std::string();
}

class Availability : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fixture = new session_test::SimSession(AvailabilityConfig());
    auto& sim = fixture->Sim();
    standupId = AddMeeting(sim, "alice", "Standup", At(9), At(10), "Busy");
    AddMeeting(sim, "alice", "Lunch talk", At(13), At(14), "Tentative");
    AddMeeting(sim, "bob", "Dentist", At(10), At(11), "OOF");
    AddMeeting(sim, "bob", "Private call", At(9, 30), At(10), "Busy", true);
    AddMeeting(sim, "room", "Board meeting", At(14), At(15, 30), "Busy");
    // Every Tuesday from 2026-12-01, 11:00 to 12:00, with Bob.
    AddMeeting(sim, "alice", "Weekly review", At(11, 0, 1), At(12, 0, 1), "Busy", false,
               "<t:RequiredAttendees><t:Attendee><t:Mailbox><t:EmailAddress>bob@example.com"
               "</t:EmailAddress></t:Mailbox></t:Attendee></t:RequiredAttendees><t:Recurrence>"
               "<t:WeeklyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Tuesday"
               "</t:DaysOfWeek></t:WeeklyRecurrence><t:NoEndRecurrence><t:StartDate>2026-12-01"
               "</t:StartDate></t:NoEndRecurrence></t:Recurrence>");
  }
  static void TearDownTestSuite() {
    delete fixture;
    fixture = nullptr;
  }
  dv::TDvEWSCustomSession& Session() { return fixture->Session(); }

  static session_test::SimSession* fixture;
  static std::string standupId;
};
session_test::SimSession* Availability::fixture = nullptr;
std::string Availability::standupId;

const std::vector<dv::TDvEWSMailboxData> kPeople = {
    {"alice@example.com", dv::TDvEWSAttendeeType::attRequired, false},
    {"nobody@example.com", dv::TDvEWSAttendeeType::attRequired, false},
    {"bob@example.com", dv::TDvEWSAttendeeType::attRequired, false},
    {"room@example.com", dv::TDvEWSAttendeeType::attRoom, false}};

TEST_F(Availability, MergedStringsDetailsAndErrorsPerMailbox) {
  // Asked in Berlin's zone: the answer's times are wall-clock times there, read back as the
  // same instants.
  const auto berlin = dv::DvTimeZoneInformation("Europe/Berlin", At(0));
  auto answers =
      Session().GetUserAvailibility(std::span(kPeople), At(8), At(18), 30,
                                    dv::TDvEWSFreeBusyViewType::fbvtDetailedMerged, berlin);
  ASSERT_EQ(answers.size(), 4u);
  struct Expected {
    std::string merged;
    dv::TDvEWSFreeBusyViewType view;
    std::vector<std::pair<TDateTime, TLegacyFreeBusy>> events;
  };
  const Expected expected[] = {
      {"00220000001100000000",
       dv::TDvEWSFreeBusyViewType::fbvtDetailedMerged,
       {{At(9), TLegacyFreeBusy::lfbBusy}, {At(13), TLegacyFreeBusy::lfbTentative}}},
      {},
      {"00023300000000000000",
       dv::TDvEWSFreeBusyViewType::fbvtDetailedMerged,
       {{At(9, 30), TLegacyFreeBusy::lfbBusy}, {At(10), TLegacyFreeBusy::lfbOOF}}},
      // The room shares no details with Alice: the plain view, no subjects.
      {"00000000000022200000",
       dv::TDvEWSFreeBusyViewType::fbvtFreeBusyMerged,
       {{At(14), TLegacyFreeBusy::lfbBusy}}},
  };
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(kPeople[i].Email);
    const auto& a = *answers[i];
    EXPECT_EQ(a.GetEMail(), kPeople[i].Email);
    if (i == 1) {
      EXPECT_TRUE(a.GetHasError());
      EXPECT_EQ(a.GetError(), "ErrorMailRecipientNotFound");
      continue;
    }
    EXPECT_FALSE(a.GetHasError());
    EXPECT_EQ(a.GetMergedFreeBusy(), expected[i].merged);
    EXPECT_EQ(a.GetViewType(), expected[i].view);
    ASSERT_EQ(a.GetEvents().size(), expected[i].events.size());
    for (size_t e = 0; e < a.GetEvents().size(); ++e) {
      const auto& ev = a.GetEvents()[e];
      EXPECT_EQ(ev.GetStartTime().ToUnixMilliseconds(),
                expected[i].events[e].first.ToUnixMilliseconds());
      EXPECT_EQ(ev.GetBusyType(), expected[i].events[e].second);
      EXPECT_EQ(ev.GetHasDetails(), i != 3);
    }
    // Default working hours: Monday to Friday, 08:00 to 17:00.
    ASSERT_EQ(a.GetWorkingHours().GetWorkingPeriods().size(), 1u);
    const auto& period = a.GetWorkingHours().GetWorkingPeriods()[0];
    EXPECT_EQ(period.StartTimeInMinutes, 480);
    EXPECT_EQ(period.EndTimeInMinutes, 1020);
    EXPECT_TRUE(period.DayOfWeek.Contains(dv::TDvEWSDayOfWeekType::dowtMonday));
    EXPECT_FALSE(period.DayOfWeek.Contains(dv::TDvEWSDayOfWeekType::dowtSunday));
  }
  const auto& standup = answers[0]->GetEvents()[0];
  EXPECT_EQ(standup.GetSubject(), "Standup");
  EXPECT_EQ(standup.GetLocation(), "Room One");
  // Bob's private call shows its time to Alice, not its subject.
  EXPECT_TRUE(answers[2]->GetEvents()[0].GetIsPrivate());
  EXPECT_EQ(answers[2]->GetEvents()[0].GetSubject(), "");
  EXPECT_EQ(answers[2]->GetEvents()[1].GetSubject(), "Dentist");
  EXPECT_EQ(fixture->Problems(), "");
}

TEST_F(Availability, ViewsAndExchangeLimits) {
  const dv::TDvEWSMailboxData alice{"alice@example.com"};
  auto merged = Session().GetUserAvailibility(alice, At(8), At(12), 60,
                                              dv::TDvEWSFreeBusyViewType::fbvtMergedOnly);
  EXPECT_EQ(merged->GetMergedFreeBusy(), "0200");
  EXPECT_TRUE(merged->GetEvents().empty());
  auto plain = Session().GetUserAvailibility(alice, At(8), At(12), 60,
                                             dv::TDvEWSFreeBusyViewType::fbvtFreeBusy);
  EXPECT_EQ(plain->GetMergedFreeBusy(), "");
  ASSERT_EQ(plain->GetEvents().size(), 1u);
  EXPECT_FALSE(plain->GetEvents()[0].GetHasDetails());
  // The weekly series began before the window: its occurrences inside it, day by day.
  auto weeks = Session().GetUserAvailibility(alice, At(0, 0, 8), At(0, 0, 16), 1440,
                                             dv::TDvEWSFreeBusyViewType::fbvtDetailedMerged);
  EXPECT_EQ(weeks->GetMergedFreeBusy(), "20000002");
  ASSERT_EQ(weeks->GetEvents().size(), 2u);
  for (int i = 0; i < 2; ++i) {
    const auto& e = weeks->GetEvents()[i];
    EXPECT_EQ(e.GetStartTime().ToUnixMilliseconds(), At(11, 0, 8 + 7 * i).ToUnixMilliseconds());
    EXPECT_EQ(e.GetSubject(), "Weekly review");
    EXPECT_TRUE(e.GetIsRecurring());
    EXPECT_TRUE(e.GetIsMeeting());
    EXPECT_FALSE(e.GetIsException());
  }
  EXPECT_NE(weeks->GetEvents()[0].GetID(), weeks->GetEvents()[1].GetID());

  std::vector<dv::TDvEWSMailboxData> many(101, alice);
  const struct {
    std::vector<dv::TDvEWSMailboxData> who;
    TDateTime end;
    std::string code;
  } refused[] = {{many, At(12), "ErrorMailboxDataArrayTooBig"},
                 {{alice}, TDateTime(At(8).Value + 43), "ErrorTimeIntervalTooBig"},
                 {{alice}, At(7), "ErrorInvalidTimeInterval"}};
  // Refused as a whole, with Exchange's fault codes.
  for (const auto& r : refused) {
    std::string code;
    try {
      Session().GetUserAvailibility(r.who, At(8), r.end, 30,
                                    dv::TDvEWSFreeBusyViewType::fbvtFreeBusy);
    } catch (const dv::EDvSOAPFaultException& e) {
      code = e.GetResponseCode();
    }
    EXPECT_EQ(code, r.code);
  }
  // Nobody asked for: nobody answered for.
  EXPECT_TRUE(Session()
                  .GetUserAvailibility(std::vector<dv::TDvEWSMailboxData>{}, At(8), At(12), 30,
                                       dv::TDvEWSFreeBusyViewType::fbvtFreeBusy)
                  .empty());
}

TEST_F(Availability, SuggestionsAvoidBusyTimeInsideWorkingHours) {
  const std::vector<dv::TDvEWSMailboxData> who = {kPeople[0], kPeople[2], kPeople[3]};
  dv::TDvEWSSuggestionOptions options;
  options.MaximumResultsByDay = 48;
  options.MinimumSuggestionQuality = TSuggestionQuality::sqPoor;
  auto days = Session().GetMeetingSuggestions(who, At(0), At(0, 0, 8), 60, options,
                                              dv::TDvTimeZoneInformation{});
  ASSERT_EQ(days.size(), 1u);
  EXPECT_EQ(days[0].DayQuality, TSuggestionQuality::sqExcellent);
  std::map<std::string, TSuggestionQuality> quality;
  for (const auto& s : days[0].Suggestions) {
    int y, mo, d, h, mi, sec, ms;
    s.MeetingTime.Decode(y, mo, d, h, mi, sec, ms);
    char key[8];
    std::snprintf(key, sizeof key, "%02d:%02d", h, mi);
    quality[key] = s.Quality;
    // Only work time is suggested: 08:00 to 17:00, the meeting included.
    EXPECT_TRUE(s.IsWorkTime);
    EXPECT_GE(h, 8);
    EXPECT_LE(h * 60 + mi + 60, 17 * 60);
    ASSERT_EQ(s.AttendeeStatus.size(), 3u);
  }
  const std::map<std::string, TSuggestionQuality> expected = {
      {"08:00", TSuggestionQuality::sqExcellent}, {"09:00", TSuggestionQuality::sqGood},
      {"10:00", TSuggestionQuality::sqGood},      {"11:00", TSuggestionQuality::sqExcellent},
      {"12:00", TSuggestionQuality::sqExcellent}, {"12:30", TSuggestionQuality::sqGood},
      {"14:30", TSuggestionQuality::sqGood},      {"15:30", TSuggestionQuality::sqExcellent},
      {"16:00", TSuggestionQuality::sqExcellent}};
  for (const auto& [time, q] : expected) {
    ASSERT_TRUE(quality.count(time)) << time;
    EXPECT_EQ(quality[time], q) << time;
  }
  EXPECT_EQ(quality.size(), 17u);  // every half hour from 08:00 to 16:00
  EXPECT_EQ(fixture->Problems(), "");
}

TEST_F(Availability, MailTips) {
  auto tips = Session().GetMailTips(
      std::vector<std::string>{"alice@example.com", "bob@example.com", "room@example.com",
                               "ghost@example.com", "someone@elsewhere.org", "team@example.com"});
  ASSERT_EQ(tips.size(), 6u);
  struct Row {
    bool full, restricted, moderated, invalid;
    int scope;
    std::string custom;
    int members, external;
  };
  const Row rows[] = {{false, false, false, false, 1, "Alice answers on Fridays.", 0, 0},
                      {true, false, true, false, 1, "", 0, 0},
                      {false, true, false, false, 1, "", 0, 0},
                      {false, false, false, true, 1, "", 0, 0},
                      {false, false, false, false, 2, "", 0, 0},
                      {false, false, false, false, 1, "", 4, 2}};
  for (size_t i = 0; i < tips.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tips[i]->GetMailboxFull(), rows[i].full);
    EXPECT_EQ(tips[i]->GetDeliveryRestricted(), rows[i].restricted);
    EXPECT_EQ(tips[i]->GetIsModerated(), rows[i].moderated);
    EXPECT_EQ(tips[i]->GetInvalidRecipient(), rows[i].invalid);
    EXPECT_EQ(tips[i]->GetScope(), rows[i].scope);
    EXPECT_EQ(tips[i]->GetCustomMailTip(), rows[i].custom);
    EXPECT_EQ(tips[i]->GetMaxMessageSize(), 1048576);
    EXPECT_EQ(tips[i]->GetTotalMemberCount(), rows[i].members);
    EXPECT_EQ(tips[i]->GetExternalMemberCount(), rows[i].external);
  }
  EXPECT_EQ(tips[1]->GetRecipientAddress()->GetEmailAddress(), "bob@example.com");
  // Bob's out-of-office reply as Alice (of his domain) would get it, while in force.
  ews_test::SoapClient bob(fixture->Sim().Url(), "bob@example.com", "bob-pw");
  const auto now = TDateTime::NowUTC();
  const struct {
    const char* state;
    TDateTime from, to;
    std::string reply;
  } oof[] = {{"Disabled", now, now, ""},
             {"Enabled", now, now, "Back on Monday."},
             {"Scheduled", TDateTime(now.Value - 2), TDateTime(now.Value - 1), ""},
             {"Scheduled", TDateTime(now.Value - 1), TDateTime(now.Value + 1), "Back on Monday."}};
  for (const auto& o : oof) {
    SCOPED_TRACE(o.state);
    auto set = bob.Post(ews_test::Envelope(
        std::string("<m:SetUserOofSettingsRequest><t:Mailbox><t:Address>bob@example.com"
                    "</t:Address></t:Mailbox><t:UserOofSettings><t:OofState>") +
        o.state +
        "</t:OofState><t:ExternalAudience>All</t:ExternalAudience><t:Duration><t:StartTime>" +
        dv::DvDateTimeToXML(o.from) + "</t:StartTime><t:EndTime>" + dv::DvDateTimeToXML(o.to) +
        "</t:EndTime></t:Duration><t:InternalReply><t:Message>Back on Monday.</t:Message>"
        "</t:InternalReply><t:ExternalReply><t:Message>Away.</t:Message></t:ExternalReply>"
        "</t:UserOofSettings></m:SetUserOofSettingsRequest>"));
    ASSERT_NE(set.body.find("NoError"), std::string::npos) << set.body;
    auto tip = Session().GetMailTips("bob@example.com");
    EXPECT_EQ(tip->GetOutOfOffice()->GetReplyBody()->GetMessage_(), o.reply);
    // The window comes with a scheduled reply only.
    const TDateTime end = tip->GetOutOfOffice()->GetDuration()->GetEndTime();
    const bool windowed = o.reply != "" && std::string(o.state) == "Scheduled";
    EXPECT_NEAR(end.Value, windowed ? o.to.Value : 0, 2e-5);
  }
  // The second recipient fails: the call raises with its response code, returning nothing.
  try {
    Session().GetMailTips(std::vector<std::string>{"alice@example.com", "not-an-address"});
    ADD_FAILURE() << "no exception";
  } catch (const dv::EEWSException& e) {
    EXPECT_NE(std::string(e.what()).find("Failed to get the mailtips for not-an-address!"),
              std::string::npos);
    EXPECT_EQ(e.GetEWSErrorCode(), "ErrorInvalidSmtpAddress");
  }
  EXPECT_EQ(fixture->Problems(), "");
}

TEST_F(Availability, ConvertIdRoundTripsEveryFormat) {
  using dv::TIdFormat;
  auto idOf = [](const std::shared_ptr<dv::TDvEwsNonEmptyArrayOfAlternateIds>& result) {
    auto* id = dynamic_cast<dv::TEwsAlternateId*>(
        result->GetConvertIdResponseMessage()->GetItem(0)->GetAlternateId());
    return id ? id->GetId() : std::string();
  };
  for (TIdFormat format : {TIdFormat::ifEwsLegacyId, TIdFormat::ifEntryId, TIdFormat::ifHexEntryId,
                           TIdFormat::ifStoreId, TIdFormat::ifOwaId}) {
    SCOPED_TRACE(dv::DvEnumToXML(format));
    const std::string other =
        idOf(Session().ConvertId(TIdFormat::ifEwsId, standupId, "alice@example.com", format));
    ASSERT_FALSE(other.empty());
    EXPECT_NE(other, standupId);
    EXPECT_EQ(idOf(Session().ConvertId(format, other, "alice@example.com", TIdFormat::ifEwsId)),
              standupId);
  }
  EXPECT_NE(ews_test::ThrownMessage([&] {
              Session().ConvertId(TIdFormat::ifOwaId, "garbage", "alice@example.com",
                                  TIdFormat::ifEwsId);
            }).find("ErrorInvalidIdMalformed"),
            std::string::npos);
}

TEST_F(Availability, AnswersAreSchemaValid) {
  // Each operation's recorded request sent again; the answers validated as sent.
  ews_test::SoapClient client(fixture->Sim().Url(), "alice@example.com", "alice-pw");
  for (const char* op : {"GetUserAvailabilityRequest", "GetMailTips", "ConvertId"}) {
    SCOPED_TRACE(op);
    bool found = false;
    for (const auto& envelope : fixture->Envelopes()) {
      if (envelope.find(std::string("<m:") + op) == std::string::npos) continue;
      found = true;
      auto reply = client.Post(envelope);
      auto valid = ews_test::ValidateEnvelope(reply.body);
      EXPECT_TRUE(valid.ok) << valid.message;
    }
    EXPECT_TRUE(found) << "run the other tests of this binary first";
  }
}

// The tool's picture of the day: the SVG's blocks sit where the events are on its own hour
// scale; the text timeline shows the same day with one character per half hour.
TEST_F(Availability, FreeBusyPictureMatchesTheEvents) {
  ews_test::TempDir tmp;
  const auto& dir = tmp.Path();
  const std::string svgPath = (dir / "day.svg").string();
  auto run = ews_test::RunProgram(
      {std::string(EWS_BINARY_DIR) + "/tools/ews/ews", "--url", fixture->Sim().Url(), "--user",
       "alice@example.com", "freebusy", "alice@example.com", "bob@example.com", "room@example.com",
       "nobody@example.com", "--date", "2026-12-07", "--tz", "UTC", "--svg", svgPath},
      {"EWS_PASSWORD=alice-pw"}, dir);
  ASSERT_EQ(run.code, 0) << run.err;
  const std::map<std::string, std::string> rows = {
      {"alice@example.com", "....####............????............"},
      {"bob@example.com", "......##oooo........................"},
      {"room@example.com", "........................######......"},
      {"nobody@example.com", "(ErrorMailRecipientNotFound)"}};
  for (const auto& [who, cells] : rows) {
    const auto at = run.out.find(who);
    ASSERT_NE(at, std::string::npos) << run.out;
    const auto line = run.out.substr(at, run.out.find('\n', at) - at);
    EXPECT_NE(line.find(cells), std::string::npos) << line;
  }

  pugi::xml_document svg;
  ASSERT_TRUE(svg.load_file(svgPath.c_str())) << svgPath;
  auto day = svg.child("svg").child("g");
  auto minutesOf = [](const std::string& iso) {
    return TDateTime::Encode(std::stoi(iso.substr(0, 4)), std::stoi(iso.substr(5, 2)),
                             std::stoi(iso.substr(8, 2)), std::stoi(iso.substr(11, 2)),
                             std::stoi(iso.substr(14, 2)))
               .ToUnixMilliseconds() /
           60000.0;
  };
  const double shownStart = minutesOf(day.attribute("data-start").value());
  const double shownEnd = minutesOf(day.attribute("data-end").value());
  double firstLine = 1e9, lastLine = -1e9;
  for (auto line : day.children("line")) {
    firstLine = std::min(firstLine, line.attribute("x1").as_double());
    lastLine = std::max(lastLine, line.attribute("x1").as_double());
  }
  const double scale = (lastLine - firstLine) / (shownEnd - shownStart);
  struct Block {
    std::string who, cls;
    TDateTime start, end;
  };
  const Block blocks[] = {{"alice@example.com", "busy", At(9), At(10)},
                          {"alice@example.com", "tentative", At(13), At(14)},
                          {"bob@example.com", "busy", At(9, 30), At(10)},
                          {"bob@example.com", "oof", At(10), At(11)},
                          {"room@example.com", "busy", At(14), At(15, 30)}};
  for (const auto& b : blocks) {
    SCOPED_TRACE(b.who + " " + b.cls);
    auto person = day.find_child_by_attribute("g", "data-address", b.who.c_str());
    auto rect = person.find_child_by_attribute("rect", "class", b.cls.c_str());
    ASSERT_TRUE(rect);
    const double x = rect.attribute("x").as_double(), w = rect.attribute("width").as_double();
    const double start = b.start.ToUnixMilliseconds() / 60000.0;
    const double end = b.end.ToUnixMilliseconds() / 60000.0;
    EXPECT_NEAR(x, firstLine + (start - shownStart) * scale, 0.01);
    EXPECT_NEAR(w, (end - start) * scale, 0.01);
  }
  // Nobody is free together at 09:00; 08:00 to 09:00 everyone is.
  bool earlyFree = false;
  for (auto rect : day.children("rect")) {
    if (std::string(rect.attribute("class").value()) != "common-free") continue;
    const double s = shownStart + (rect.attribute("x").as_double() - firstLine) / scale;
    const double e = s + rect.attribute("width").as_double() / scale;
    EXPECT_FALSE(s < At(10).ToUnixMilliseconds() / 60000.0 &&
                 e > At(9).ToUnixMilliseconds() / 60000.0);
    earlyFree = earlyFree || std::abs(s - At(8).ToUnixMilliseconds() / 60000.0) < 0.01;
  }
  EXPECT_TRUE(earlyFree);
}

TEST_F(Availability, SuggestListsTheBestFirst) {
  ews_test::TempDir dir;
  auto run = ews_test::RunProgram(
      {std::string(EWS_BINARY_DIR) + "/tools/ews/ews", "--url", fixture->Sim().Url(), "--user",
       "alice@example.com", "suggest", "alice@example.com", "bob@example.com", "room@example.com",
       "--duration", "1h", "--from", "2026-12-07", "--to", "2026-12-08", "--tz", "UTC", "--limit",
       "8"},
      {"EWS_PASSWORD=alice-pw"}, dir.Path());
  ASSERT_EQ(run.code, 0) << run.err;
  // The six Excellent hours in time order, then the Good ones.
  std::vector<std::string> lines;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Mon 2026-12-07", 0) == 0) lines.push_back(line.substr(15, 19));
  const std::vector<std::string> expected = {
      "08:00  09:00  Excel", "11:00  12:00  Excel", "11:30  12:30  Excel", "12:00  13:00  Excel",
      "15:30  16:30  Excel", "16:00  17:00  Excel", "08:30  09:30  Good ", "09:00  10:00  Good "};
  EXPECT_EQ(lines, expected) << run.out;
}

TEST_F(Availability, RequestZoneOnTheWire) {
  // Berlin's rules, and a zone without daylight saving time with the fixed stand-ins.
  const struct {
    const char* zone;
    const char* expected;
  } rows[] = {{"Europe/Berlin",
               "<t:Bias>-60</t:Bias><t:StandardTime><t:Bias>0</t:Bias><t:Time>03:00:00</t:Time>"
               "<t:DayOrder>5</t:DayOrder><t:Month>10</t:Month><t:DayOfWeek>Sunday</t:DayOfWeek>"
               "</t:StandardTime><t:DaylightTime><t:Bias>-60</t:Bias><t:Time>02:00:00</t:Time>"
               "<t:DayOrder>5</t:DayOrder><t:Month>3</t:Month><t:DayOfWeek>Sunday</t:DayOfWeek>"},
              {"Asia/Kolkata",
               "<t:Bias>-330</t:Bias><t:StandardTime><t:Bias>0</t:Bias><t:Time>03:00:00</t:Time>"
               "<t:DayOrder>5</t:DayOrder><t:Month>0</t:Month><t:DayOfWeek>Sunday</t:DayOfWeek>"
               "</t:StandardTime><t:DaylightTime><t:Bias>0</t:Bias><t:Time>02:00:00</t:Time>"
               "<t:DayOrder>5</t:DayOrder><t:Month>0</t:Month><t:DayOfWeek>Sunday</t:DayOfWeek>"}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.zone);
    const std::vector<dv::TDvEWSMailboxData> who = {kPeople[0]};
    Session().GetUserAvailibility(std::span(who), At(8), At(12), 30,
                                  dv::TDvEWSFreeBusyViewType::fbvtFreeBusy,
                                  dv::DvTimeZoneInformation(r.zone, At(0)));
    EXPECT_NE(fixture->Last("GetUserAvailabilityRequest").find(r.expected), std::string::npos)
        << fixture->Last("GetUserAvailabilityRequest");
  }
  Session().GetMailTips("bob@example.com");
  EXPECT_NE(fixture->Last("GetMailTips").find("<m:SendingAs><t:EmailAddress>alice@example.com"),
            std::string::npos);
}

// Exchange writes the answer's times without a zone, in the request's zone; day names in the
// working hours' zone.
TEST(AvailabilityAnswer, ZonelessTimesAreReadInTheRequestZone) {
  auto doc = dv::DvCreateDOM(
      "<FreeBusyResponse><ResponseMessage ResponseClass=\"Success\"><ResponseCode>NoError"
      "</ResponseCode></ResponseMessage><FreeBusyView><FreeBusyViewType>FreeBusy"
      "</FreeBusyViewType><CalendarEventArray><CalendarEvent><StartTime>2027-07-05T09:00:00"
      "</StartTime><EndTime>2027-07-05T10:00:00</EndTime><BusyType>OOF</BusyType>"
      "</CalendarEvent></CalendarEventArray><WorkingHours><TimeZone><Bias>300</Bias>"
      "<StandardTime><Bias>0</Bias><Time>02:00:00</Time><DayOrder>1</DayOrder><Month>11</Month>"
      "<DayOfWeek>Sunday</DayOfWeek></StandardTime><DaylightTime><Bias>-60</Bias>"
      "<Time>02:00:00</Time><DayOrder>2</DayOrder><Month>3</Month><DayOfWeek>Sunday</DayOfWeek>"
      "</DaylightTime></TimeZone><WorkingPeriodArray><WorkingPeriod><DayOfWeek>Weekday Saturday"
      "</DayOfWeek><StartTimeInMinutes>540</StartTimeInMinutes><EndTimeInMinutes>1020"
      "</EndTimeInMinutes></WorkingPeriod></WorkingPeriodArray></WorkingHours></FreeBusyView>"
      "</FreeBusyResponse>");
  const auto berlin = dv::DvTimeZoneInformation("Europe/Berlin", At(0));
  dv::TDvEWSUserAvailability a("bob@example.com", doc->GetDocumentElement(), berlin);
  ASSERT_EQ(a.GetEvents().size(), 1u);
  // 09:00 in Berlin's summer is 07:00 UTC.
  EXPECT_EQ(a.GetEvents()[0].GetStartTime().ToUnixMilliseconds(),
            TDateTime::Encode(2027, 7, 5, 7).ToUnixMilliseconds());
  EXPECT_EQ(a.GetEvents()[0].GetBusyType(), TLegacyFreeBusy::lfbOOF);
  const auto& zone = a.GetWorkingHours().GetTimeZone();
  EXPECT_EQ(zone, dv::DvTimeZoneInformation("America/New_York", At(0)));
  const auto& period = a.GetWorkingHours().GetWorkingPeriods().at(0);
  EXPECT_TRUE(period.DayOfWeek.Contains(dv::TDvEWSDayOfWeekType::dowtWeekday));
  EXPECT_TRUE(period.DayOfWeek.Contains(dv::TDvEWSDayOfWeekType::dowtSaturday));
  EXPECT_FALSE(period.DayOfWeek.Contains(dv::TDvEWSDayOfWeekType::dowtMonday));
}

TEST(AvailabilityTool, BadArgumentsAreRefusedBeforeAnythingIsSent) {
  // Nothing listens there: a request would end in exit 3, a refusal before sending in 2.
  ews_test::TempDir tmp;
  const auto& dir = tmp.Path();
  const std::vector<std::vector<std::string>> cases = {
      {"freebusy", "a@example.com", "--tz", "Mars/Olympus"},
      {"freebusy", "a@example.com", "--date", "2026-02-30"},
      {"freebusy", "a@example.com", "--days", "43"},
      {"freebusy", "a@example.com", "--interval", "7"},
      {"freebusy", "not-an-address"},
      {"suggest", "a@example.com", "--duration", "soon"},
      {"suggest", "a@example.com", "--from", "2026-12-08", "--to", "2026-12-07"},
      {"convertid", "ID", "--to", "guid"},
  };
  for (const auto& args : cases) {
    std::vector<std::string> full = {std::string(EWS_BINARY_DIR) + "/tools/ews/ews", "--url",
                                     "http://127.0.0.1:1/EWS/Exchange.asmx", "--user",
                                     "alice@example.com"};
    full.insert(full.end(), args.begin(), args.end());
    auto r = ews_test::RunProgram(full, {"EWS_PASSWORD=x"}, dir);
    EXPECT_EQ(r.code, 2) << args.back() << ": " << r.err;
  }
}

TEST(TimeZoneRules, TransitionsAndOffsets) {
  const struct {
    const char* zone;
    int bias, daylightBias, daylightMonth, daylightOrder, standardMonth, standardOrder;
    int winterOffset, summerOffset;
  } rows[] = {{"Europe/Berlin", -60, -60, 3, 5, 10, 5, 60, 120},
              {"America/New_York", 300, -60, 3, 2, 11, 1, -300, -240},
              {"Australia/Sydney", -600, -60, 10, 1, 4, 1, 660, 600},
              {"Asia/Kolkata", -330, 0, 0, 0, 0, 0, 330, 330}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.zone);
    const auto z = dv::DvTimeZoneInformation(r.zone, At(0));
    EXPECT_EQ(z.Bias, r.bias);
    EXPECT_EQ(z.DaylightBias, r.daylightBias);
    EXPECT_EQ(z.DaylightDate.Month, r.daylightMonth);
    EXPECT_EQ(z.DaylightDate.DayOrder, r.daylightOrder);
    EXPECT_EQ(z.StandardDate.Month, r.standardMonth);
    EXPECT_EQ(z.StandardDate.DayOrder, r.standardOrder);
    EXPECT_EQ(z.OffsetAt(TDateTime::Encode(2027, 1, 15, 12)), r.winterOffset);
    EXPECT_EQ(z.OffsetAt(TDateTime::Encode(2027, 7, 15, 12)), r.summerOffset);
  }
}

TEST_F(Availability, ResolvedMailboxOutlivesItsSet) {
  std::shared_ptr<dv::TEwsEmailAddressType> mailbox;
  {
    auto set = Session().ResolveName("bob@example.com", dv::TSearchScope::scActiveDirectory);
    ASSERT_EQ(set->Count(), 1);
    mailbox = set->GetItem(0)->Recipient();
  }
  EXPECT_EQ(mailbox->GetEmailAddress(), "bob@example.com");
  EXPECT_EQ(mailbox->GetName(), "Bob Baker");
}

}  // namespace
