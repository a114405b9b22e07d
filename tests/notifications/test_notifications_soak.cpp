// Soak: streams broken by the server again and again while another session creates, changes,
// moves and deletes items; every event reaches the handlers exactly once and in order. Then the
// server forgets the subscription in the middle of the changes: the missed-changes handler fires
// and a sync brings the mirror to exactly the server's state. Label "soak".
#include <gtest/gtest.h>

#include <map>

#include "notify_support.h"
#include "uDvEWSNotificationsEx.h"

using namespace dv;
using namespace notify_test;

TEST(NotificationsSoak, EveryEventOnceInOrderAcrossDropsAndARestart) {
  ewssim::Config config = Config();
  constexpr int kDrops = 100;
  config.faults = {{"GetStreamingEvents", "drop", 503, -1, 0, 0, kDrops, 0, 0, 1}};
  ews_test::SimServer sim(config);
  auto svc = Logon(sim.Url(), "svc");
  DvEWSFolderPtr inbox =
      svc->OpenMsgStore("alice@example.com")->GetFolder(TDistinguishedFolderIdName::dfininbox);
  TDvEWSFolderSync sync(inbox);
  // The mirror: item id -> change key, kept by sync.
  std::map<std::string, std::string> mirror;
  auto apply = [&](const TDvEWSSyncResult& r) {
    for (const auto& c : r.Changes) {
      if (c.ChangeType == TDvEWSSyncChangeType::sctDelete)
        mirror.erase(c.Id.Id);
      else
        mirror[c.Id.Id] = c.Id.ChangeKey;
    }
  };
  std::string state = sync.SyncAllItems({}, apply, 50);

  TDvEWSFolderEvents ev;
  ev.SetThreadedEvents(true);
  ev.SetReconnectDelays({1, 1, 1, 1});
  Recorder rec;
  rec.Attach(ev, [](const DvEWSFolderPtr&) { return "a"; });
  std::atomic<int> missed{0};
  ev.SetOnMissedEvents([&](const DvEWSFolderPtr&) { ++missed; });
  ev.Subscribe(inbox);
  ev.Start();
  ASSERT_TRUE(WaitFor([&] { return sim.Server().OpenStreams() == 1; }));

  Mailbox m(sim.Url(), "alice");
  std::vector<std::string> expected;
  auto round = [&](int i, bool record) {
    const std::string x = m.Create("inbox", "x" + std::to_string(i));
    m.Rename(x, "y");
    const std::string z = m.CopyOrMove("MoveItem", x, "drafts");
    const std::string back = m.CopyOrMove("MoveItem", z, "inbox");
    if (i % 2) m.Delete(back);
    if (!record) return;
    expected.insert(expected.end(),
                    {"a Created " + x, "a Modified " + x, "a Moved " + back + " " + z});
    if (i % 2) expected.push_back("a Deleted " + back);
  };
  int i = 0;
  // Until every drop has happened (each stream breaks after its first notification).
  while (sim.Server().RequestCount("GetStreamingEvents") < kDrops + 1 && i < 400) {
    round(i++, true);
    WaitFor([&] { return rec.Count() == expected.size(); }, 5);
  }
  ASSERT_TRUE(WaitFor([&] { return rec.Count() >= expected.size(); }));
  EXPECT_GE(sim.Server().RequestCount("GetStreamingEvents"), kDrops + 1);
  EXPECT_EQ(rec.Calls(), expected);

  // A restart in the middle of the changes.
  std::thread writer([&] {
    for (int j = 0; j < 20; ++j)
      round(1000 + j, false);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  sim.Server().ForgetSubscriptions();
  writer.join();
  ASSERT_TRUE(WaitFor([&] { return missed.load() == 1; }));
  ev.Stop();
  state = sync.SyncAllItems(state, apply, 7);
  std::map<std::string, std::string> fresh;
  std::swap(fresh, mirror);
  sync.SyncAllItems({}, apply, 512);
  EXPECT_EQ(fresh, mirror);
  EXPECT_EQ(static_cast<long>(mirror.size()),
            sim.Server().FolderItemCount("alice@example.com", "inbox"));
}
