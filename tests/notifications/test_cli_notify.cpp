// ews watch and ews sync as a user runs them, against an in-process ewssim.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "notify_support.h"
#include "test_helpers.h"
#include "test_process.h"

namespace fs = std::filesystem;
using namespace notify_test;

namespace {

const std::string kProgram = std::string(EWS_BINARY_DIR) + "/tools/ews/ews";

std::vector<std::string> Args(const ews_test::SimServer& sim, std::vector<std::string> command) {
  std::vector<std::string> args = {kProgram, "--url", sim.Url(), "--user", "alice@example.com"};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

TEST(CliNotify, SyncMirrorsChangesOnlyAndAnUnchangedFolderCostsOneRequest) {
  ews_test::SimServer sim(Config());
  ews_test::TempDir tmp;
  const fs::path mail = tmp.Path() / "mail";
  const std::vector<std::string> env = {"EWS_PASSWORD=alice-pw"};
  Mailbox m(sim.Url(), "alice");
  const std::string first = m.Create("inbox", "first");
  m.Create("inbox", "second");
  auto sync = [&] {
    auto r = ews_test::RunProgram(Args(sim, {"sync", "inbox", mail.string()}), env, tmp.Path());
    EXPECT_EQ(r.code, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(sync(), "2 created, 0 updated, 0 deleted\n");
  const long before = sim.Server().RequestCount("SyncFolderItems");
  const long getItems = sim.Server().RequestCount("GetItem");
  EXPECT_EQ(sync(), "0 created, 0 updated, 0 deleted\n");
  EXPECT_EQ(sim.Server().RequestCount("SyncFolderItems") - before, 1);
  EXPECT_EQ(sim.Server().RequestCount("GetItem"), getItems);
  m.Delete(first);
  m.Create("inbox", "third");
  EXPECT_EQ(sync(), "1 created, 0 updated, 1 deleted\n");
  int emls = 0;
  for (auto& e : fs::directory_iterator(mail))
    emls += e.path().extension() == ".eml";
  EXPECT_EQ(emls, 2);
  EXPECT_TRUE(fs::exists(mail / ".syncstate"));
}

TEST(CliNotify, WatchPrintsEventsAndUnsubscribesOnInterrupt) {
  ews_test::SimServer sim(Config());
  ews_test::TempDir tmp;
  const fs::path out = tmp.Path() / "out";
  auto args = Args(sim, {"watch", "inbox", "--json"});
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string password = "EWS_PASSWORD=alice-pw";
  char* envp[] = {password.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_TRUE(WaitFor([&] { return sim.Server().OpenStreams() == 1; }));
  Mailbox(sim.Url(), "bob").SendTo("alice@example.com", "Watched");
  ASSERT_TRUE(
      WaitFor([&] { return ews_test::ReadFile(out).find("NewMail") != std::string::npos; }));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(sim.Server().RequestCount("Unsubscribe"), 1);
  const std::string text = ews_test::ReadFile(out);
  EXPECT_NE(text.find("\"kind\":\"Created\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"subject\":\"Watched\""), std::string::npos) << text;
}

}  // namespace
