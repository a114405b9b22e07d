// The ews program's mailbox commands (oof, categories, rooms, photo, contacts, tasks, dl) against
// a real ewssim: what each leaves on the server, read back through the tool's own JSON.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ews_testsupport.h"
#include "test_helpers.h"
#include "test_process.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class MailboxCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_.File("me.jpg"), std::ios::binary) << std::string("\xFF\xD8\xFF\xE0me", 6);
    auto config = ews_test::DefaultSimConfig();
    config.users[0].photos = {{96, dir_.File("me.jpg")}};
    config.users.push_back({"room1@example.com", "x", "Room One", {}, ""});
    config.users.back().kind = "room";
    config.roomLists.push_back({"b1@example.com", "Building 1", {"room1@example.com"}});
    config.groups.push_back({"team@example.com", "Team", {"bob@example.com"}});
    sim_ = std::make_unique<ews_test::SimServer>(config);
  }

  ews_test::ProgramResult Run(std::vector<std::string> args) {
    std::vector<std::string> full = {std::string(EWS_BINARY_DIR) + "/tools/ews/ews",
                                     "--url",
                                     sim_->Url(),
                                     "--user",
                                     "alice@example.com",
                                     "--json"};
    full.insert(full.end(), args.begin(), args.end());
    return ews_test::RunProgram(full, {"EWS_PASSWORD=alice-pw"}, dir_.Path());
  }
  json Json(std::vector<std::string> args) {
    auto r = Run(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return r.code == 0 ? json::parse(r.out) : json();
  }

  ews_test::TempDir dir_;
  std::unique_ptr<ews_test::SimServer> sim_;
};

TEST_F(MailboxCommands, EachCommandLeavesWhatItsReadBackShows) {
  Json({"oof", "on", "--reply", "Away", "--audience", "all", "--from", "2026-01-01", "--until",
        "2026-01-02"});
  auto oof = Json({"oof"});
  EXPECT_EQ(oof["state"], "Scheduled");
  EXPECT_EQ(oof["internal"], "Away");
  EXPECT_EQ(oof["external"], "Away");

  EXPECT_EQ(Json({"categories"}).size(), 6u);
  EXPECT_EQ(Json({"rooms"})[0]["email"], "b1@example.com");
  EXPECT_EQ(Json({"rooms", "b1@example.com"})[0]["name"], "Room One");
  EXPECT_EQ(Json({"photo"})["data"], ews_test::Base64Encode(std::string("\xFF\xD8\xFF\xE0me", 6)));

  const std::string contact = Json({"contact", "add", "--name", "Erin Evans", "--email",
                                    "erin@example.org", "--photo", dir_.File("me.jpg")})["id"];
  auto shown = Json({"contact", "show", contact});
  EXPECT_EQ(shown["emails"], json::array({"erin@example.org"}));
  EXPECT_EQ(shown["photo"], "6 bytes");
  EXPECT_EQ(Json({"contacts", "--where", "displayname startswith 'Erin'"}).size(), 1u);

  const std::string task = Json({"task", "add", "Report", "--due", "2026-12-24"})["id"];
  Json({"task", "done", task});
  EXPECT_TRUE(Json({"tasks"}).empty());
  EXPECT_EQ(Json({"tasks", "--all"})[0]["status"], "Completed");

  const std::string list = Json({"dl", "create", "Club", "team@example.com", "z@o.example"})["id"];
  auto people = Json({"dl", "expand", list});
  ASSERT_EQ(people.size(), 2u);
  EXPECT_EQ(people[0]["email"], "bob@example.com");
  EXPECT_EQ(Json({"dl", "expand", list, "--direct"})[0]["type"], "PublicDL");
}

TEST_F(MailboxCommands, BadInputEndsWithItsExitCode) {
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {{{"oof", "on", "--reply", "x", "--audience", "friends"}, 2},
               {{"oof", "on", "--reply", "x", "--from", "2026-01-02"}, 2},
               {{"task", "add", "x", "--due", "soon"}, 2},
               {{"photo", "--size", "100"}, 2},
               {{"photo", "bob@example.com"}, 4},
               {{"rooms", "nowhere@example.com"}, 4}};
  for (const auto& c : cases) {
    auto r = Run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args[0] << " " << r.err;
  }
}

}  // namespace
