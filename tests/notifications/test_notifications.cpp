// Folder events against ewssim: the six kinds of change in two mailboxes on two back-ends (two
// groups, each with its anchor), handlers on the main-thread queue in order or on the monitoring
// thread, a prompt Stop that unsubscribes, and the envelope splitter. Labelled "tsan".
#include <gtest/gtest.h>

#include <chrono>

#include "DvMainThread.h"
#include "notify_support.h"
#include "uDvEWSNotificationsEx.h"

using namespace dv;
using namespace notify_test;

namespace {

struct Watch {
  ews_test::SimServer sim{Config()};
  std::unique_ptr<TDvEWSCustomSession> svc = Logon(sim.Url(), "svc");
  DvEWSFolderPtr Inbox(const std::string& user) {
    return svc->OpenMsgStore(user + "@example.com")
        ->GetFolder(TDistinguishedFolderIdName::dfininbox);
  }
};

TEST(Notifications, SixEventsInTwoMailboxesOnTwoBackEndsInOrderOnTheMainThread) {
  Watch w;
  DvEWSFolderPtr alice = w.Inbox("alice"), bob = w.Inbox("bob");
  TDvEWSFolderEvents ev;
  ev.SetReconnectDelays({20, 20, 20, 20});
  // One group per back-end: two monitors, each with its own anchor and cookie.
  ev.SetOnGetGroup([](const std::string& a) { return a.rfind("alice", 0) == 0 ? "BE1" : "BE2"; });
  Recorder rec;
  rec.Attach(ev, [&](const DvEWSFolderPtr& f) { return f == alice ? "alice" : "bob"; });
  ev.Subscribe(alice);
  ev.Subscribe(bob);
  ev.Subscribe(alice);  // once only
  ev.Start();
  ASSERT_TRUE(ev.GetActive());
  ASSERT_TRUE(WaitFor([&] { return w.sim.Server().OpenStreams() == 2; }));

  std::vector<std::string> expected;
  for (const std::string user : {"alice", "bob"}) {
    Mailbox m(w.sim.Url(), user);
    const std::string x = m.Create("inbox", "x");
    m.Rename(x, "x2");
    const std::string y = m.CopyOrMove("CopyItem", x, "inbox");
    const std::string z0 = m.Create("drafts", "z");
    const std::string z = m.CopyOrMove("MoveItem", z0, "inbox");
    m.Delete(x);
    expected.insert(expected.end(), {user + " Created " + x, user + " Modified " + x,
                                     user + " Copied " + y + " " + x,
                                     user + " Moved " + z + " " + z0, user + " Deleted " + x});
    Mailbox(w.sim.Url(), user == "alice" ? "bob" : "alice").SendTo(user + "@example.com", "hi");
  }
  ASSERT_TRUE(WaitFor([&] { return rec.Count() >= expected.size() + 4; }));
  // Deliveries: a Created and a NewMail for the new message in each inbox.
  std::vector<std::string> calls = rec.Calls(), seen[2];
  for (const auto& c : calls)
    seen[c.rfind("bob", 0) == 0].push_back(c);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(seen[i].size(), 7u);
    std::vector<std::string> want(expected.begin() + 5 * i, expected.begin() + 5 * i + 5);
    EXPECT_EQ(std::vector<std::string>(seen[i].begin(), seen[i].begin() + 5), want);
    const std::string delivered = seen[i][5].substr(seen[i][5].rfind(' ') + 1);
    EXPECT_NE(seen[i][5].find(" Created "), std::string::npos);
    EXPECT_EQ(seen[i][6], seen[i][5].substr(0, seen[i][5].find(' ')) + " NewMail " + delivered);
  }
  for (const auto& t : rec.Threads())
    EXPECT_EQ(t, std::this_thread::get_id());

  // Unsubscribing while active is refused; Stop ends both threads at once and unsubscribes.
  EXPECT_THROW(ev.Unsubscribe(alice), Exception);
  const auto before = std::chrono::steady_clock::now();
  ev.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  EXPECT_FALSE(ev.GetActive());
  EXPECT_EQ(w.sim.Server().RequestCount("Unsubscribe"), 2);
  EXPECT_TRUE(WaitFor([&] { return w.sim.Server().OpenStreams() == 0; }));
}

TEST(Notifications, ThreadedEventsRunOnTheMonitoringThreadAndNothingStartsWithoutHandlers) {
  Watch w;
  DvEWSFolderPtr inbox = w.Inbox("alice");
  TDvEWSFolderEvents ev;
  ev.Subscribe(inbox);
  ev.Start();  // no handler: nothing is sent
  EXPECT_FALSE(ev.GetActive());
  EXPECT_EQ(w.sim.Server().RequestCount("Subscribe"), 0);

  ev.SetThreadedEvents(true);
  Recorder rec;
  ev.SetOnItemCreated(
      [&](const DvEWSFolderPtr&, TDateTime, const TItemId& id, const TItemId&) { rec.Add(id.Id); });
  ev.Start();
  ASSERT_TRUE(WaitFor([&] { return w.sim.Server().OpenStreams() == 1; }));
  Mailbox m(w.sim.Url(), "alice");
  const std::string id = m.Create("inbox", "threaded");
  m.Create("drafts", "not watched");
  ASSERT_TRUE(WaitFor([&] { return rec.Count() == 1; }));
  EXPECT_EQ(rec.Calls()[0], id);
  EXPECT_NE(rec.Threads()[0], std::this_thread::get_id());
  EXPECT_EQ(DvMainThreadQueueCount(), 0);
  ev.Stop();
}

// Two folders of one mailbox share one subscription; only the kinds with a handler are asked for.
TEST(Notifications, OneSubscriptionPerMailboxAskingForTheAssignedKinds) {
  Watch w;
  std::vector<std::string> subscribes;
  w.svc->SetOnSOAPTrace([&](const TDvSOAPTrace& t) {
    if (t.Kind == TDvSOAPTrace::TKind::tkRequest &&
        t.Content.find("m:Subscribe>") != std::string::npos)
      subscribes.push_back(t.Content);
  });
  auto store = w.svc->OpenMsgStore("alice@example.com");
  TDvEWSFolderEvents ev;
  ev.SetOnNewMail([](const DvEWSFolderPtr&, TDateTime, const TItemId&, const TItemId&) {});
  ev.Subscribe(store->GetFolder(TDistinguishedFolderIdName::dfininbox));
  ev.Subscribe(store->GetFolder(TDistinguishedFolderIdName::dfindrafts));
  ev.Start();
  ev.Stop();
  ASSERT_EQ(subscribes.size(), 1u);
  const std::string& body = subscribes.front();
  EXPECT_NE(body.find("<t:EventTypes><t:EventType>NewMailEvent</t:EventType></t:EventTypes>"),
            std::string::npos)
      << body;
  size_t folders = 0;
  for (size_t at = 0; (at = body.find("<t:FolderId ", at)) != std::string::npos; ++at)
    ++folders;
  EXPECT_EQ(folders, 2u);
  EXPECT_TRUE(ews_test::ValidateEnvelope(body)) << body;
}

// A server that forgot the subscription: the monitor subscribes again, the missed-changes
// handler names the folder, and a sync from the last state brings the copy up to date.
TEST(Notifications, LostSubscriptionIsRenewedAndReported) {
  Watch w;
  DvEWSFolderPtr inbox = w.Inbox("alice");
  TDvEWSFolderSync sync(inbox);
  std::string state = sync.SyncAllItems({}, nullptr);
  TDvEWSFolderEvents ev;
  ev.SetReconnectDelays({20, 20, 20, 20});
  Recorder rec;
  rec.Attach(ev, [](const DvEWSFolderPtr&) { return "alice"; });
  int missed = 0;
  ev.SetOnMissedEvents([&](const DvEWSFolderPtr& f) { missed += f == inbox; });
  ev.Start();
  ev.Subscribe(inbox);  // subscribing while inactive does not start
  EXPECT_FALSE(ev.GetActive());
  ev.Start();
  ASSERT_TRUE(WaitFor([&] { return w.sim.Server().OpenStreams() == 1; }));
  w.sim.Server().ForgetSubscriptions();
  Mailbox m(w.sim.Url(), "alice");
  const std::string lost = m.Create("inbox", "lost");
  ASSERT_TRUE(WaitFor([&] { return missed == 1 && w.sim.Server().OpenStreams() == 1; }));
  const std::string seen = m.Create("inbox", "seen");
  // "lost" was made while no subscription existed (unless the renewal beat it): "seen" is last.
  ASSERT_TRUE(WaitFor([&] {
    auto calls = rec.Calls();
    return !calls.empty() && calls.back() == "alice Created " + seen;
  }));
  std::vector<std::string> created;
  state = sync.SyncAllItems(state, [&](const TDvEWSSyncResult& r) {
    for (const auto& c : r.Changes)
      if (c.ChangeType == TDvEWSSyncChangeType::sctCreate) created.push_back(c.Id.Id);
  });
  EXPECT_EQ(created, (std::vector<std::string>{lost, seen}));
  EXPECT_TRUE(sync.SyncItems(state).Changes.empty());
  ev.Stop();
}

// The splitter takes every complete envelope, whatever the prefix, and keeps a partial one.
TEST(Notifications, SplitterCutsEnvelopesAsBytesArrive) {
  Watch w;
  TDvEWSSingleStoreFolderEvents ev;
  TDvEWSEventGroup group(&ev, "g");
  TDvEWSGetEvents monitor(&ev, &group);
  const std::string fault =
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><s:Fault/>"
      "</s:Body></s:Envelope>";
  std::string buffer = "\r\n" + fault + "<Envelope><Body/></Envelope  ><soap:Envelope><soap:Bo";
  monitor.OnDataReceived(buffer);
  EXPECT_EQ(buffer, "<soap:Envelope><soap:Bo");
  buffer += "dy></soap:Body></soap:ENVELOPE>";
  monitor.OnDataReceived(buffer);
  EXPECT_EQ(buffer, "");
  monitor.Terminate();
}

}  // namespace
