// The example programs against a real ewssim, each run as a user would run it: connection
// settings in EWS_URL, EWS_USER and EWS_PASSWORD, the rest as arguments.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ews_testsupport.h"
#include "test_process.h"

namespace fs = std::filesystem;

namespace {

// Runs build/examples/<program> with args, the environment less any EWS_ variable, plus env.
ews_test::ProgramResult RunExample(const fs::path& dir, const std::string& program,
                                   std::vector<std::string> args, std::vector<std::string> env) {
  args.insert(args.begin(), std::string(EWS_BINARY_DIR) + "/examples/" + program);
  return ews_test::RunProgram(std::move(args), std::move(env), dir);
}

// One run of an example; the steps run in order, so a later one sees what an earlier one sent.
struct Step {
  std::string program;
  std::vector<std::string> args;
  std::string user, password;
  int code;
  std::vector<std::string> expected;  // in standard output (code 0) or standard error
};

TEST(Examples, RunAgainstSimulator) {
  auto config = ews_test::DefaultSimConfig();
  config.seed.messages = 30;  // received hourly from 2026-01-05T09:00Z; every third unread
  ews_test::SimServer sim(config);
  ews_test::TempDir tmp;
  const fs::path& dir = tmp.Path();
  const std::string file = (dir / "figures.txt").string();
  std::ofstream(file) << "q1;q2\n10;12\n";

  const std::string alice = "alice@example.com", bob = "bob@example.com";
  const std::vector<Step> steps = {
      // URL and user as arguments, the password from the environment.
      {"logon_and_list",
       {sim.Url(), alice},
       "",
       "alice-pw",
       0,
       {"Server: Exchange Server 2016", "Seed message 30\n", "Seed message 1\n"}},
      {"logon_and_list", {sim.Url(), alice}, "", "wrong", 1, {"error: LOGIN_FAILURE"}},
      {"logon_and_list", {}, "", "alice-pw", 2, {"usage:"}},
      {"list_unread", {}, alice, "alice-pw", 0, {"    Sender 1  Seed message 1\n", "10 unread\n"}},
      {"send_with_attachment",
       {bob, "Quarterly figures", file},
       alice,
       "alice-pw",
       0,
       {"attached figures.txt (text/plain)", "sent to bob@example.com"}},
      {"send_with_attachment", {bob}, alice, "alice-pw", 2, {"usage:"}},
      // The message arrived unread in Bob's Inbox, with its attachment.
      {"list_unread",
       {},
       bob,
       "bob-pw",
       0,
       {"[+] Alice Archer  Quarterly figures\n", "11 unread\n"}},
      // 15 messages from 2026-01-06 on, four rows a page.
      {"page_folder",
       {"2026-01-06", "4"},
       alice,
       "alice-pw",
       0,
       {"page 1 (4 rows of 15)", "page 4 (3 rows of 15)",
        "\n  2026-01-06T00:00:00Z  Seed message 16\n", "15 messages in 4 pages\n"}},
      {"page_folder", {"2026-01-06", "0"}, alice, "alice-pw", 2, {"usage:"}},
      {"page_folder", {"yesterday", "5"}, alice, "alice-pw", 1, {"error: 'yesterday'"}},
  };
  for (const Step& s : steps) {
    std::vector<std::string> env = {"EWS_PASSWORD=" + s.password};
    if (!s.user.empty()) env = {"EWS_URL=" + sim.Url(), "EWS_USER=" + s.user, env[0]};
    const ews_test::ProgramResult r = RunExample(dir, s.program, s.args, env);
    SCOPED_TRACE(s.program + " " + (s.args.empty() ? "" : s.args.back()) + "\n" + r.out + r.err);
    EXPECT_EQ(r.code, s.code);
    for (const auto& text : s.expected)
      EXPECT_NE((s.code == 0 ? r.out : r.err).find(text), std::string::npos) << text;
  }
}

// README.md shows the first example whole, so the text users copy is the one the build compiles.
TEST(Examples, ReadmeShowsLogonExample) {
  const std::string code =
      ews_test::ReadFile(fs::path(EWS_SOURCE_DIR) / "examples/logon_and_list.cpp");
  ASSERT_FALSE(code.empty());
  EXPECT_NE(
      ews_test::ReadFile(fs::path(EWS_SOURCE_DIR) / "README.md").find("```cpp\n" + code + "```"),
      std::string::npos);
}

}  // namespace
