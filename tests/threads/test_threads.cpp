// Sessions and threads: two sessions in two threads, and one session shared by two threads. Each
// thread checks that every answer it reads is the answer to its own request (a folder it created
// under its own name, the row count of its own folder), so a reply handed to the wrong thread
// fails the test, and ThreadSanitizer (label "tsan") checks the library's own memory accesses.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "session_fixture.h"
#include "uDvEWSFolder.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSTable.h"

using namespace dv;

namespace {

constexpr int kRounds = 6;

ewssim::Config Config() {
  ewssim::Config c = session_test::SimConfig();
  c.threads = 4;
  c.seed.messages = 30;
  c.seed.calendarItems = 6;
  return c;
}

// One thread's work on a session: folders it creates and reads back by id, and the rows of one
// seeded folder. Failures are collected as text (gtest assertions are for the main thread).
std::string Work(TDvEWSCustomSession& session, const std::string& tag,
                 TDistinguishedFolderIdName seeded, int expectedRows) {
  try {
    auto store = session.OpenDefaultMsgStore();
    auto parent = store->GetFolder(seeded);
    for (int round = 0; round < kRounds; ++round) {
      const std::string name = tag + "-" + std::to_string(round);
      const TItemId id = parent->CreateFolder(TSetFolderFieldType::sffFolder, name);
      const std::string read = store->GetFolder(id)->GetDisplayName();
      if (read != name) return tag + ": folder " + name + " read back as " + read;
      auto items = store->GetFolder(seeded)->GetItems();
      items->GetFields().Add(FLD_ITEM_SUBJECT);
      items->Open();
      if (items->Count() != expectedRows)
        return tag + ": " + std::to_string(items->Count()) + " rows, expected " +
               std::to_string(expectedRows);
    }
    return {};
  } catch (const std::exception& e) {
    return tag + ": " + e.what();
  }
}

void RunTogether(const std::vector<std::function<std::string()>>& jobs) {
  std::vector<std::string> failures(jobs.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < jobs.size(); ++i)
    threads.emplace_back([&, i] { failures[i] = jobs[i](); });
  for (auto& t : threads)
    t.join();
  for (const auto& f : failures)
    EXPECT_EQ(f, "");
}

TEST(Threads, TwoSessionsInTwoThreads) {
  ews_test::SimServer sim(Config());
  auto open = [&](const std::string& user) {
    auto s = std::make_unique<TDvEWSCustomSession>();
    s->SetPasswordDialog(false);
    s->SetServiceUrl(sim.Url());
    s->SetCredentials(TDvCredentials(user + "@example.com", user + "-pw"));
    return s;
  };
  auto alice = open("alice"), bob = open("bob");
  // Logon runs in the threads too: nothing is shared between the two sessions.
  RunTogether({[&] {
                 alice->SetActive(true);
                 return Work(*alice, "alice", TDistinguishedFolderIdName::dfininbox, 30);
               },
               [&] {
                 bob->SetActive(true);
                 return Work(*bob, "bob", TDistinguishedFolderIdName::dfincalendar, 6);
               }});
}

TEST(Threads, OneSessionSharedByTwoThreads) {
  session_test::SimSession s(Config());
  RunTogether(
      {[&] { return Work(s.Session(), "inbox", TDistinguishedFolderIdName::dfininbox, 30); },
       [&] { return Work(s.Session(), "calendar", TDistinguishedFolderIdName::dfincalendar, 6); }});
  EXPECT_EQ(s.Problems(), "");
}

// A handler that runs while a request holds the session's lock may send a request of its own on
// the same thread; another thread's request waits meanwhile and then goes through.
TEST(Threads, RequestFromATraceHandlerWhileAnotherThreadWaits) {
  session_test::SimSession s(Config());
  auto store = s.Session().OpenDefaultMsgStore();
  bool nested = false, inside = false;
  s.Session().SetOnSOAPTrace([&](const TDvSOAPTrace& trace) {
    if (inside || trace.Kind != TDvSOAPTrace::TKind::tkResponse) return;
    inside = true;
    nested = store->GetFolder(TDistinguishedFolderIdName::dfinsentitems)->GetDisplayName() ==
             "Sent Items";
    inside = false;
  });
  std::string other;
  std::thread waiting;
  {
    std::lock_guard<std::recursive_mutex> hold(s.Session().GetRequestLock());
    waiting = std::thread([&] {
      auto own = s.Session().OpenDefaultMsgStore();
      other = own->GetFolder(TDistinguishedFolderIdName::dfindrafts)->GetDisplayName();
    });
    EXPECT_EQ(store->GetFolder(TDistinguishedFolderIdName::dfininbox)->GetDisplayName(), "Inbox");
  }
  waiting.join();
  EXPECT_TRUE(nested);
  EXPECT_EQ(other, "Drafts");
}

}  // namespace
