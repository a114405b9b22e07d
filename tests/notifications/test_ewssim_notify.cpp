// ewssim's notification and sync operations on the wire: answers valid against the EWS schema,
// pull subscriptions with watermarks, streams with keep-alives and their end at the time-out,
// affinity refusals, expiry, and sync states paged by MaxChangesReturned.
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "notify_support.h"

using namespace notify_test;

namespace {

// A minute lasts 400 ms here.
ewssim::Config ShortConfig() {
  ewssim::Config c = Config();
  c.notifications.minuteMs = 400;
  c.notifications.keepAliveMs = 100;
  c.notifications.streamingLifetimeMinutes = 1;
  return c;
}

std::string First(const std::string& text, const std::string& pattern) {
  std::smatch m;
  return std::regex_search(text, m, std::regex(pattern)) ? m[1].str() : std::string();
}

// The envelopes of a (streamed) answer, each checked against the schema.
std::vector<std::string> Envelopes(const std::string& body) {
  std::vector<std::string> out;
  for (size_t at = 0; (at = body.find("<?xml", at)) != std::string::npos;) {
    const size_t end = body.find("</s:Envelope>", at) + 13;
    out.push_back(body.substr(at, end - at));
    EXPECT_TRUE(ews_test::ValidateEnvelope(out.back())) << out.back();
    at = end;
  }
  return out;
}

const char* kInbox = "<t:DistinguishedFolderId Id=\"inbox\"/>";

std::string Subscribe(Mailbox& m, const std::string& kind, const std::string& extra = {}) {
  const std::string body = m.Post("<m:Subscribe><m:" + kind + "><t:FolderIds>" + kInbox +
                                  "</t:FolderIds><t:EventTypes><t:EventType>CreatedEvent"
                                  "</t:EventType><t:EventType>DeletedEvent</t:EventType>"
                                  "</t:EventTypes>" +
                                  extra + "</m:" + kind + "></m:Subscribe>");
  EXPECT_TRUE(ews_test::ValidateEnvelope(body)) << body;
  return body;
}

TEST(EwssimNotify, PullSubscriptionWatermarksAndUnsubscribe) {
  ews_test::SimServer sim(ShortConfig());
  Mailbox m(sim.Url(), "alice");
  const std::string answer = Subscribe(m, "PullSubscriptionRequest", "<t:Timeout>10</t:Timeout>");
  const std::string id = First(answer, "<m:SubscriptionId>([^<]+)<");
  std::string mark = First(answer, "<m:Watermark>([^<]+)<");
  ASSERT_FALSE(id.empty());
  const std::string item = m.Create("inbox", "one");
  m.Create("drafts", "not watched");
  m.Delete(item);
  auto get = [&](const std::string& watermark) {
    const std::string body =
        m.Post("<m:GetEvents><m:SubscriptionId>" + id + "</m:SubscriptionId><m:Watermark>" +
               watermark + "</m:Watermark></m:GetEvents>");
    EXPECT_TRUE(ews_test::ValidateEnvelope(body)) << body;
    return body;
  };
  std::string events = get(mark);
  EXPECT_LT(events.find("<t:CreatedEvent>"), events.find("<t:DeletedEvent>"));
  EXPECT_NE(events.find("ItemId Id=\"" + item + "\""), std::string::npos);
  EXPECT_EQ(events.find("ModifiedEvent"), std::string::npos);  // not asked for
  // Reading again from the same watermark gives the same events; from the last one, a status.
  EXPECT_EQ(get(mark).find("<t:CreatedEvent>"), events.find("<t:CreatedEvent>"));
  const std::regex watermark("<t:Watermark>([^<]+)<");
  std::string last;
  for (std::sregex_iterator it(events.begin(), events.end(), watermark), end; it != end; ++it)
    last = (*it)[1];
  EXPECT_NE(get(last).find("<t:StatusEvent>"), std::string::npos);

  // A calendar item's change is a change of free/busy time too; a meeting request is new mail
  // for the attendee, whose tentative copy changes his free/busy time.
  Mailbox bob(sim.Url(), "bob");
  auto subscribe = [](Mailbox& who) {
    return who.Post(
        "<m:Subscribe><m:PullSubscriptionRequest SubscribeToAllFolders=\"true\"><t:EventTypes>"
        "<t:EventType>NewMailEvent</t:EventType><t:EventType>FreeBusyChangedEvent</t:EventType>"
        "</t:EventTypes><t:Timeout>10</t:Timeout></m:PullSubscriptionRequest></m:Subscribe>");
  };
  const std::string calendar = subscribe(m), bobs = subscribe(bob);
  m.Post(
      "<m:CreateItem SendMeetingInvitations=\"SendToAllAndSaveCopy\"><m:Items><t:CalendarItem>"
      "<t:Subject>busy</t:Subject><t:Start>2026-03-02T10:00:00Z</t:Start>"
      "<t:End>2026-03-02T11:00:00Z</t:End><t:RequiredAttendees><t:Attendee><t:Mailbox>"
      "<t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox></t:Attendee>"
      "</t:RequiredAttendees></t:CalendarItem></m:Items></m:CreateItem>");
  auto eventsOf = [](Mailbox& who, const std::string& subscription) {
    const std::string body = who.Post(
        "<m:GetEvents><m:SubscriptionId>" + First(subscription, "<m:SubscriptionId>([^<]+)<") +
        "</m:SubscriptionId><m:Watermark>" + First(subscription, "<m:Watermark>([^<]+)<") +
        "</m:Watermark></m:GetEvents>");
    EXPECT_TRUE(ews_test::ValidateEnvelope(body)) << body;
    return body;
  };
  const std::string busy = eventsOf(m, calendar), bobBusy = eventsOf(bob, bobs);
  EXPECT_NE(busy.find("<t:FreeBusyChangedEvent>"), std::string::npos) << busy;
  EXPECT_EQ(busy.find("<t:CreatedEvent>"), std::string::npos);
  EXPECT_EQ(busy.find("<t:NewMailEvent>"), std::string::npos);
  for (const char* event : {"<t:NewMailEvent>", "<t:FreeBusyChangedEvent>"})
    EXPECT_NE(bobBusy.find(event), std::string::npos) << bobBusy;

  // A subscription may resume at an earlier watermark of its mailbox and gets the events after
  // it again; one the mailbox never gave is refused.
  const std::string resumed =
      Subscribe(m, "PullSubscriptionRequest",
                "<t:Watermark>" + mark + "</t:Watermark><t:Timeout>10</t:Timeout>");
  const std::string replayed = eventsOf(m, resumed);
  EXPECT_LT(replayed.find("<t:CreatedEvent>"), replayed.find("<t:DeletedEvent>")) << replayed;
  for (const std::string& bad : {First(bobs, "<m:Watermark>([^<]+)<"), std::string("V00=")})
    EXPECT_NE(Subscribe(m, "PullSubscriptionRequest",
                        "<t:Watermark>" + bad + "</t:Watermark><t:Timeout>10</t:Timeout>")
                  .find("ErrorInvalidWatermark"),
              std::string::npos)
        << bad;

  const std::string unsubscribe =
      "<m:Unsubscribe><m:SubscriptionId>" + id + "</m:SubscriptionId></m:Unsubscribe>";
  EXPECT_NE(m.Post(unsubscribe).find("NoError"), std::string::npos);
  for (const std::string& again : {m.Post(unsubscribe), get(last)})
    EXPECT_NE(again.find("ErrorSubscriptionNotFound"), std::string::npos);
}

TEST(EwssimNotify, StreamKeepsAliveAndClosesAtItsTimeout) {
  ews_test::SimServer sim(ShortConfig());
  Mailbox m(sim.Url(), "alice");
  const std::string id =
      First(Subscribe(m, "StreamingSubscriptionRequest"), "<m:SubscriptionId>([^<]+)<");
  std::string created;
  std::thread change([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    created = m.Create("inbox", "streamed");
  });
  Mailbox reader(sim.Url(), "alice");
  const auto envelopes =
      Envelopes(reader.Post("<m:GetStreamingEvents><m:SubscriptionIds><t:SubscriptionId>" + id +
                            "</t:SubscriptionId></m:SubscriptionIds><m:ConnectionTimeout>2"
                            "</m:ConnectionTimeout></m:GetStreamingEvents>"));
  change.join();
  ASSERT_GE(envelopes.size(), 4u);  // open, keep-alives, the event, closed
  EXPECT_NE(envelopes.front().find("<m:ConnectionStatus>OK<"), std::string::npos);
  EXPECT_NE(envelopes.back().find("<m:ConnectionStatus>Closed<"), std::string::npos);
  int withEvent = 0;
  for (const auto& e : envelopes)
    withEvent +=
        e.find("<t:CreatedEvent>") != std::string::npos && e.find(created) != std::string::npos;
  EXPECT_EQ(withEvent, 1);
  // Without a connection the subscription expires after its lifetime.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_NE(reader
                .Post("<m:GetStreamingEvents><m:SubscriptionIds><t:SubscriptionId>" + id +
                      "</t:SubscriptionId></m:SubscriptionIds><m:ConnectionTimeout>1"
                      "</m:ConnectionTimeout></m:GetStreamingEvents>")
                .find("ErrorSubscriptionNotFound"),
            std::string::npos);
}

// Requests reach a back-end by the affinity cookie, else the anchor mailbox, else the mailbox
// acted on; a subscription held by another back-end is refused.
TEST(EwssimNotify, StreamsAreRoutedByAffinity) {
  ews_test::SimServer sim(ShortConfig());
  ews_test::SoapClient svc(sim.Url(), "svc@example.com", "svc-pw");
  const std::string asAlice =
      "<t:RequestServerVersion Version=\"Exchange2013_SP1\"/><t:ExchangeImpersonation>"
      "<t:ConnectingSID><t:PrimarySmtpAddress>alice@example.com</t:PrimarySmtpAddress>"
      "</t:ConnectingSID></t:ExchangeImpersonation>";
  ews_test::HttpReply subscribed = svc.Post(ews_test::Envelope(
      "<m:Subscribe><m:StreamingSubscriptionRequest><t:FolderIds>" + std::string(kInbox) +
          "</t:FolderIds><t:EventTypes><t:EventType>CreatedEvent"
          "</t:EventType></t:EventTypes>"
          "</m:StreamingSubscriptionRequest></m:Subscribe>",
      asAlice));
  const std::string cookie = subscribed.Header("X-BackEndOverrideCookie");
  ASSERT_FALSE(cookie.empty());
  const std::string id = First(subscribed.body, "<m:SubscriptionId>([^<]+)<");
  // The service account's subscription for bob lives on bob's back-end.
  std::string asBob = asAlice;
  asBob.replace(asBob.find("alice"), 5, "bob");
  const ews_test::HttpReply bobSubscribed =
      svc.Post(ews_test::Envelope("<m:Subscribe><m:StreamingSubscriptionRequest "
                                  "SubscribeToAllFolders=\"true\"><t:EventTypes><t:EventType>"
                                  "CreatedEvent</t:EventType></t:EventTypes>"
                                  "</m:StreamingSubscriptionRequest></m:Subscribe>",
                                  asBob));
  const std::string bobCookie = bobSubscribed.Header("X-BackEndOverrideCookie");
  const std::string bobId = First(bobSubscribed.body, "<m:SubscriptionId>([^<]+)<");
  ASSERT_NE(bobCookie, cookie);
  const std::string stream = "<m:GetStreamingEvents><m:SubscriptionIds><t:SubscriptionId>" + id +
                             "</t:SubscriptionId></m:SubscriptionIds><m:ConnectionTimeout>1"
                             "</m:ConnectionTimeout></m:GetStreamingEvents>";
  const struct {
    const char* name;
    std::multimap<std::string, std::string> headers;
    bool asAlice;
    const char* expect;
  } cases[] = {
      {"right cookie", {{"Cookie", "X-BackEndOverrideCookie=" + cookie}}, false, "NoError"},
      {"other back-end's cookie",
       {{"Cookie", "X-BackEndOverrideCookie=" + bobCookie}},
       true,
       "ErrorProxiedSubscriptionCallFailure"},
      {"anchor on the other back-end",
       {{"X-AnchorMailbox", "bob@example.com"}},
       true,
       "ErrorProxiedSubscriptionCallFailure"},
      {"the mailbox acted on", {}, true, "NoError"},
      {"no cookie, the service account's own back-end", {}, false, "NoError"},
  };
  for (const auto& c : cases) {
    const std::string body =
        svc.Post(ews_test::Envelope(stream, c.asAlice ? asAlice
                                                      : "<t:RequestServerVersion "
                                                        "Version=\"Exchange2013_SP1\"/>"),
                 c.headers)
            .body;
    EXPECT_NE(body.find(c.expect), std::string::npos) << c.name << ": " << body;
    Envelopes(body);
  }
  // One connection for subscriptions of two back-ends: the other back-end's are named.
  std::string mixed = stream;
  mixed.replace(mixed.find("</m:SubscriptionIds>"), 0,
                "<t:SubscriptionId>" + bobId + "</t:SubscriptionId>");
  const std::string refused = svc.Post(ews_test::Envelope(mixed, asAlice),
                                       {{"Cookie", "X-BackEndOverrideCookie=" + cookie}})
                                  .body;
  EXPECT_NE(refused.find("<m:ErrorSubscriptionIds><t:SubscriptionId>" + bobId + "<"),
            std::string::npos)
      << refused;
  EXPECT_NE(refused.find("ConnectionStatus>Closed<"), std::string::npos);
  Envelopes(refused);
}

TEST(EwssimNotify, SyncStatesPageAndCatchUp) {
  ews_test::SimServer sim(ShortConfig());
  Mailbox m(sim.Url(), "alice");
  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i)
    ids.push_back(m.Create("inbox", "s" + std::to_string(i)));
  auto sync = [&](const std::string& state, int max, const std::string& ignore = {}) {
    const std::string body = m.Post(
        "<m:SyncFolderItems><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape></m:ItemShape>"
        "<m:SyncFolderId>" +
        std::string(kInbox) + "</m:SyncFolderId>" +
        (state.empty() ? "" : "<m:SyncState>" + state + "</m:SyncState>") + ignore +
        "<m:MaxChangesReturned>" + std::to_string(max) +
        "</m:MaxChangesReturned></m:SyncFolderItems>");
    EXPECT_TRUE(ews_test::ValidateEnvelope(body)) << body;
    return body;
  };
  auto count = [](const std::string& body, const std::string& what) {
    int n = 0;
    for (size_t at = 0; (at = body.find("<t:" + what + ">", at)) != std::string::npos; ++at)
      ++n;
    return n;
  };
  std::string page = sync({}, 2);
  EXPECT_EQ(count(page, "Create"), 2);
  EXPECT_NE(page.find("IncludesLastItemInRange>false"), std::string::npos);
  page = sync(First(page, "<m:SyncState>([^<]+)<"), 2);
  EXPECT_EQ(count(page, "Create"), 1);
  EXPECT_NE(page.find("IncludesLastItemInRange>true"), std::string::npos);
  const std::string state = First(page, "<m:SyncState>([^<]+)<");
  // A change of each kind, and one change ignored.
  m.Rename(ids[0], "renamed");
  m.Post(
      "<m:UpdateItem ConflictResolution=\"AlwaysOverwrite\" MessageDisposition=\"SaveOnly\">"
      "<m:ItemChanges><t:ItemChange><t:ItemId Id=\"" +
      ids[1] +
      "\"/><t:Updates><t:SetItemField><t:FieldURI FieldURI=\"message:IsRead\"/><t:Message>"
      "<t:IsRead>false</t:IsRead></t:Message></t:SetItemField></t:Updates></t:ItemChange>"
      "</m:ItemChanges></m:UpdateItem>");
  m.Delete(ids[2]);
  const std::string fresh = m.Create("inbox", "new");
  page = sync(state, 100, "<m:Ignore><t:ItemId Id=\"" + fresh + "\"/></m:Ignore>");
  EXPECT_EQ(count(page, "Update"), 1);
  EXPECT_EQ(count(page, "ReadFlagChange"), 1);
  EXPECT_EQ(count(page, "Delete"), 1);
  EXPECT_EQ(count(page, "Create"), 0);
  EXPECT_EQ(count(sync(First(page, "<m:SyncState>([^<]+)<"), 100), "Create"), 0);
  EXPECT_NE(sync("bm90IGEgc3RhdGU=", 10).find("ErrorInvalidSyncStateData"), std::string::npos);
  const std::string tree = m.Post(
      "<m:SyncFolderHierarchy><m:FolderShape><t:BaseShape>IdOnly</t:BaseShape>"
      "</m:FolderShape></m:SyncFolderHierarchy>");
  EXPECT_TRUE(ews_test::ValidateEnvelope(tree)) << tree;
  EXPECT_GT(count(tree, "Create"), 3);
}

}  // namespace
