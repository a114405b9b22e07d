// The ews program against a real ewssim: each command, its JSON output, and how bad input ends
// (one line on standard error and the exit code of its kind).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "ews_testsupport.h"

extern char** environ;

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kProgram = std::string(EWS_BINARY_DIR) + "/tools/ews/ews";

struct Result {
  int code = -1;
  std::string out, err;
  json Json() const { return json::parse(out); }
};

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class Tool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto config = ews_test::DefaultSimConfig();
    config.seed.messages = 6;
    config.seed.contacts = 2;
    sim_ = new ews_test::SimServer(config);
  }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
  }
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ews-cli-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs ews with the connection options of `user` (password through EWS_PASSWORD) and args.
  Result Run(std::vector<std::string> args, const std::string& user = "alice@example.com",
             const std::string& password = "alice-pw", const std::string& url = {}) {
    std::vector<std::string> full = {kProgram, "--url", url.empty() ? sim_->Url() : url, "--user",
                                     user};
    full.insert(full.end(), args.begin(), args.end());
    return Exec(full, {"EWS_PASSWORD=" + password});
  }

  Result Exec(std::vector<std::string> args, std::vector<std::string> env) {
    const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv, envp;
    for (auto& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("EWS_", 0) != 0) envp.push_back(*e);
    for (auto& e : env)
      envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    Result r;
    if (posix_spawn(&pid, kProgram.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);
      r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
  }

  // One line on standard error, starting with "ews: ".
  static void ExpectOneLine(const Result& r) {
    EXPECT_EQ(r.err.rfind("ews: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  static ews_test::SimServer* sim_;
  fs::path dir_;
};

ews_test::SimServer* Tool::sim_ = nullptr;

TEST_F(Tool, InfoReportsServerAndStore) {
  auto r = Run({"--json", "info"});
  ASSERT_EQ(r.code, 0) << r.err;
  auto j = r.Json();
  EXPECT_EQ(j["server_version"], "Exchange2016");
  EXPECT_FALSE(j["description"].get<std::string>().empty());
  EXPECT_EQ(j["user"], "alice@example.com");
  EXPECT_FALSE(j["store"].get<std::string>().empty());
  // The table form has one "key  value" line per field.
  auto t = Run({"info"});
  ASSERT_EQ(t.code, 0) << t.err;
  EXPECT_NE(t.out.find("server_version"), std::string::npos);
}

TEST_F(Tool, FoldersFlatAndTree) {
  auto r = Run({"--json", "folders"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::set<std::string> names;
  for (auto& f : r.Json())
    names.insert(f["folder"]);
  EXPECT_TRUE(names.count("Inbox")) << r.out;
  EXPECT_TRUE(names.count("Sent Items")) << r.out;

  ASSERT_EQ(Run({"mkdir", "Inbox/Projects"}).code, 0);
  ASSERT_EQ(Run({"mkdir", "Inbox/Projects/Alpha"}).code, 0);
  auto tree = Run({"--json", "folders", "--tree"});
  ASSERT_EQ(tree.code, 0) << tree.err;
  std::set<std::string> paths;
  for (auto& f : tree.Json())
    paths.insert(f["folder"]);
  EXPECT_TRUE(paths.count("Inbox/Projects/Alpha")) << tree.out;
  // Table form: header and rule first.
  auto table = Run({"folders", "inbox"});
  ASSERT_EQ(table.code, 0);
  EXPECT_EQ(table.out.rfind("folder", 0), 0u) << table.out;
  EXPECT_NE(table.out.find("inbox/Projects"), std::string::npos) << table.out;

  ASSERT_EQ(Run({"rmdir", "--hard", "Inbox/Projects"}).code, 0);
  auto after = Run({"--json", "folders", "inbox"});
  EXPECT_EQ(after.Json().size(), 0u) << after.out;
}

TEST_F(Tool, LsColumnsFilterLimitAndPaging) {
  auto all = Run({"--json", "ls", "inbox", "--columns", "subject,isread,FLD_ITEM_SIZE"});
  ASSERT_EQ(all.code, 0) << all.err;
  auto rows = all.Json();
  ASSERT_EQ(rows.size(), 6u) << all.out;
  int unread = 0;
  for (auto& row : rows) {
    EXPECT_FALSE(row["id"].get<std::string>().empty());
    EXPECT_TRUE(row.contains("FLD_ITEM_SIZE"));
    if (row["isread"] == "false") ++unread;
  }
  // Small pages walk the same rows.
  auto paged = Run({"--json", "ls", "inbox", "--columns", "subject", "--page-size", "2"});
  ASSERT_EQ(paged.code, 0) << paged.err;
  EXPECT_EQ(paged.Json().size(), 6u);
  auto limited =
      Run({"--json", "ls", "inbox", "--columns", "subject", "--limit", "4", "--page-size", "3"});
  EXPECT_EQ(limited.Json().size(), 4u);

  auto filtered =
      Run({"--json", "ls", "inbox", "--columns", "subject,isread", "--where", "isread = false"});
  ASSERT_EQ(filtered.code, 0) << filtered.err;
  EXPECT_EQ(static_cast<int>(filtered.Json().size()), unread);
  for (auto& row : filtered.Json())
    EXPECT_EQ(row["isread"], "false");

  const std::string subject = rows[0]["subject"];
  auto exact = Run(
      {"--json", "ls", "inbox", "--columns", "subject", "--where", "subject = '" + subject + "'"});
  ASSERT_EQ(exact.code, 0) << exact.err;
  ASSERT_GE(exact.Json().size(), 1u);
  EXPECT_EQ(exact.Json()[0]["subject"], subject);
  auto negated = Run({"--json", "ls", "inbox", "--columns", "subject", "--where",
                      "not (subject = '" + subject + "') and exists subject"});
  ASSERT_EQ(negated.code, 0) << negated.err;
  EXPECT_EQ(negated.Json().size() + exact.Json().size(), 6u);
  // A tagged property without a field definition of its own works as a column and in filters.
  auto tagged = Run({"--json", "ls", "inbox", "--columns", "MPR_SUBJECT", "--where",
                     "MPR_SUBJECT = '" + subject + "'"});
  ASSERT_EQ(tagged.code, 0) << tagged.err;
  ASSERT_EQ(tagged.Json().size(), exact.Json().size());
  EXPECT_EQ(tagged.Json()[0]["MPR_SUBJECT"], subject);
  auto none = Run({"--json", "ls", "inbox", "--where", "subject contains 'zz-no-such-text'"});
  ASSERT_EQ(none.code, 0) << none.err;
  EXPECT_EQ(none.Json().size(), 0u);
}

TEST_F(Tool, MoveCopyDeleteAndEmpty) {
  ASSERT_EQ(Run({"mkdir", "Work"}).code, 0);
  auto rows = Run({"--json", "ls", "inbox", "--columns", "subject"}).Json();
  ASSERT_GE(rows.size(), 2u);
  const std::string first = rows[0]["id"], second = rows[1]["id"];
  auto cp = Run({"--json", "cp", first, "Work"});
  ASSERT_EQ(cp.code, 0) << cp.err;
  EXPECT_FALSE(cp.Json()[0]["new_id"].get<std::string>().empty());
  auto mv = Run({"mv", second, "Work"});
  ASSERT_EQ(mv.code, 0) << mv.err;
  EXPECT_EQ(Run({"--json", "ls", "Work"}).Json().size(), 2u);
  EXPECT_EQ(Run({"--json", "ls", "inbox"}).Json().size(), rows.size() - 1);

  auto work = Run({"--json", "ls", "Work"}).Json();
  ASSERT_EQ(Run({"rm", "--hard", work[0]["id"]}).code, 0);
  EXPECT_EQ(Run({"--json", "ls", "Work"}).Json().size(), 1u);
  ASSERT_EQ(Run({"empty", "--hard", "Work"}).code, 0);
  EXPECT_EQ(Run({"--json", "ls", "Work"}).Json().size(), 0u);
  EXPECT_EQ(Run({"rmdir", "Work"}).code, 0);
  // Deleting an item that is gone is an EWS error with its response code.
  auto gone = Run({"rm", "--hard", work[0]["id"]});
  EXPECT_EQ(gone.code, 4);
  ExpectOneLine(gone);
  EXPECT_NE(gone.err.find("Error"), std::string::npos) << gone.err;
}

TEST_F(Tool, ImportCountsAndResolve) {
  const fs::path eml = dir_ / "a.eml";
  std::ofstream(eml) << "From: Carol <carol@example.com>\r\nTo: bob@example.com\r\n"
                        "Subject: imported by the tool\r\nMIME-Version: 1.0\r\n"
                        "Content-Type: text/plain\r\n\r\nHello.\r\n";
  auto r =
      Run({"--json", "import", "inbox", eml.string(), eml.string()}, "bob@example.com", "bob-pw");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.Json()["imported"], 2);
  auto found = Run({"--json", "ls", "inbox", "--columns", "subject", "--where",
                    "subject = 'imported by the tool'"},
                   "bob@example.com", "bob-pw");
  EXPECT_EQ(found.Json().size(), 2u) << found.out;
  auto missing =
      Run({"import", "inbox", (dir_ / "none.eml").string()}, "bob@example.com", "bob-pw");
  EXPECT_EQ(missing.code, 2);
  ExpectOneLine(missing);

  auto res = Run({"--json", "resolve", "bob"});
  ASSERT_EQ(res.code, 0) << res.err;
  ASSERT_GE(res.Json().size(), 1u) << res.out;
  EXPECT_EQ(res.Json()[0]["email"], "bob@example.com");
}

TEST_F(Tool, SetMarksReadAndSendDelivers) {
  auto unread = Run({"--json", "ls", "inbox", "--columns", "subject", "--where", "isread = false"},
                    "bob@example.com", "bob-pw")
                    .Json();
  ASSERT_GE(unread.size(), 1u);
  auto set = Run({"--json", "set", unread[0]["id"], "isread=true"}, "bob@example.com", "bob-pw");
  ASSERT_EQ(set.code, 0) << set.err;
  auto after = Run({"--json", "ls", "inbox", "--columns", "subject", "--where", "isread = false"},
                   "bob@example.com", "bob-pw");
  EXPECT_EQ(after.Json().size(), unread.size() - 1);
  auto badSet = Run({"set", unread[0]["id"], "isread"}, "bob@example.com", "bob-pw");
  EXPECT_EQ(badSet.code, 2);
  ExpectOneLine(badSet);

  const fs::path body = dir_ / "body.txt";
  std::ofstream(body) << "From a file.";
  auto sent = Run({"--json", "send", "--to", "bob@example.com", "--subject", "tool mail", "--body",
                   "@" + body.string(), "--save-copy"});
  ASSERT_EQ(sent.code, 0) << sent.err;
  EXPECT_EQ(sent.Json()["sent"], true);
  auto got = Run(
      {"--json", "ls", "inbox", "--columns", "subject,from", "--where", "subject = 'tool mail'"},
      "bob@example.com", "bob-pw");
  ASSERT_EQ(got.Json().size(), 1u) << got.out;
  EXPECT_NE(got.Json()[0]["from"].get<std::string>().find("alice@example.com"), std::string::npos);
  auto copy = Run(
      {"--json", "ls", "sentitems", "--columns", "subject", "--where", "subject = 'tool mail'"});
  EXPECT_EQ(copy.Json().size(), 1u) << copy.out;
}

TEST_F(Tool, ShowPropertiesAndMime) {
  auto rows = Run({"--json", "ls", "inbox", "--columns", "subject", "--limit", "1"}).Json();
  ASSERT_EQ(rows.size(), 1u);
  const std::string id = rows[0]["id"], subject = rows[0]["subject"];
  auto shown = Run({"--json", "show", id});
  ASSERT_EQ(shown.code, 0) << shown.err;
  auto j = shown.Json();
  EXPECT_EQ(j["id"], id);
  EXPECT_EQ(j["PR_SUBJECT"], subject) << shown.out;
  EXPECT_NE(j["PR_FROM"].get<std::string>().find('@'), std::string::npos) << shown.out;
  auto mime = Run({"show", "--mime", id});
  ASSERT_EQ(mime.code, 0) << mime.err;
  EXPECT_NE(mime.out.find("Subject: " + subject + "\r\n"), std::string::npos) << mime.out;
  EXPECT_EQ(Run({"--json", "show", "--mime", id}).Json()["mime"], mime.out);

  // Kinds without a class of their own show the properties of their kind too.
  auto contacts = Run({"--json", "ls", "contacts", "--columns", "subject"}).Json();
  ASSERT_FALSE(contacts.empty());
  auto contact = Run({"--json", "show", contacts[0]["id"]});
  ASSERT_EQ(contact.code, 0) << contact.err;
  EXPECT_FALSE(contact.Json().value("PR_DISPLAYNAME", "").empty()) << contact.out;

  auto bad = Run({"show", "AAMk-not-an-id"});
  EXPECT_EQ(bad.code, 4);
  ExpectOneLine(bad);
}

TEST_F(Tool, AttachmentsRepliesAndForwards) {
  const std::string svc = "svc@example.com", bob = "bob@example.com";
  const fs::path a = dir_ / "notes.txt", b = dir_ / "plan.csv";
  std::ofstream(a) << "first";
  std::ofstream(b) << "x,y\n1,2\n";
  auto sent = Run({"--json", "send", "--to", bob, "--subject", "with files", "--attach", a.string(),
                   "--attach", b.string()},
                  svc, "svc-pw");
  ASSERT_EQ(sent.code, 0) << sent.err;
  EXPECT_EQ(sent.Json()["attachments"], 2);
  auto missing = Run({"send", "--to", bob, "--attach", (dir_ / "none").string()}, svc, "svc-pw");
  EXPECT_EQ(missing.code, 2);
  ExpectOneLine(missing);

  auto got = Run({"--json", "ls", "inbox", "--columns", "subject,hasattachments", "--where",
                  "subject = 'with files'"},
                 bob, "bob-pw");
  ASSERT_EQ(got.Json().size(), 1u) << got.out;
  EXPECT_EQ(got.Json()[0]["hasattachments"], "true");
  const std::string id = got.Json()[0]["id"];
  EXPECT_NE(Run({"show", "--mime", id}, bob, "bob-pw").out.find("plan.csv"), std::string::npos);

  // The reply goes back to the sender with the new text above the original.
  auto reply = Run({"--json", "reply", id, "--body", "Got them."}, bob, "bob-pw");
  ASSERT_EQ(reply.code, 0) << reply.err;
  EXPECT_EQ(reply.Json()["subject"], "RE: with files");
  auto back = Run(
      {"--json", "ls", "inbox", "--columns", "subject", "--where", "subject = 'RE: with files'"},
      svc, "svc-pw");
  ASSERT_EQ(back.Json().size(), 1u) << back.out;
  auto text = Run({"--json", "show", back.Json()[0]["id"]}, svc, "svc-pw").Json();
  EXPECT_EQ(text["PR_BODY"].get<std::string>().rfind("Got them.", 0), 0u) << text.dump();

  // A forward needs recipients and carries the attachments along.
  auto noTo = Run({"forward", id}, bob, "bob-pw");
  EXPECT_EQ(noTo.code, 2);
  ExpectOneLine(noTo);
  ASSERT_EQ(Run({"forward", id, "--to", svc}, bob, "bob-pw").code, 0);
  auto fw = Run({"--json", "ls", "inbox", "--columns", "subject,hasattachments", "--where",
                 "subject = 'FW: with files'"},
                svc, "svc-pw");
  ASSERT_EQ(fw.Json().size(), 1u) << fw.out;
  EXPECT_EQ(fw.Json()[0]["hasattachments"], "true");
}

TEST_F(Tool, ExportWritesOneFilePerItemAndNeverOverwrites) {
  const fs::path out = dir_ / "export";
  auto rows = Run({"--json", "ls", "inbox", "--columns", "subject"}, "bob@example.com", "bob-pw");
  auto r = Run({"--json", "export", "inbox", out.string()}, "bob@example.com", "bob-pw");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::size_t count = rows.Json().size();
  EXPECT_EQ(r.Json()["exported"], count);
  EXPECT_EQ(r.Json()["failed"], 0);
  auto files = [&] {
    std::vector<fs::path> all;
    for (auto& e : fs::directory_iterator(out))
      all.push_back(e.path());
    std::sort(all.begin(), all.end());
    return all;
  };
  ASSERT_EQ(files().size(), count);
  // Each file is the item's MIME content, as show --mime prints it.
  const auto first = r.Json()["items"][0];
  EXPECT_EQ(Slurp(first["file"].get<std::string>()),
            Run({"show", "--mime", first["id"]}, "bob@example.com", "bob-pw").out);
  EXPECT_EQ(fs::path(first["file"].get<std::string>()).extension(), ".eml");
  // A second run adds files beside the first ones.
  auto again = Run({"export", "inbox", out.string()}, "bob@example.com", "bob-pw");
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_NE(again.out.find("exported " + std::to_string(count) + ", failed 0"), std::string::npos)
      << again.out;
  EXPECT_EQ(files().size(), 2 * count);
}

TEST_F(Tool, ImpersonateOpensAnotherMailbox) {
  auto own = Run({"--json", "ls", "inbox", "--columns", "subject"});
  auto other =
      Run({"--json", "--impersonate", "alice@example.com", "ls", "inbox", "--columns", "subject"},
          "svc@example.com", "svc-pw");
  ASSERT_EQ(other.code, 0) << other.err;
  EXPECT_EQ(other.Json(), own.Json());
  auto denied =
      Run({"--impersonate", "alice@example.com", "ls", "inbox"}, "bob@example.com", "bob-pw");
  EXPECT_EQ(denied.code, 4);
  ExpectOneLine(denied);
  EXPECT_NE(denied.err.find("ErrorImpersonateUserDenied"), std::string::npos) << denied.err;
}

TEST_F(Tool, TraceWritesNumberedFilesWithoutThePassword) {
  const fs::path trace = dir_ / "trace";
  auto r = Run({"--trace", trace.string(), "info"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(trace))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  // Logon and the store take several requests, made by more than one SOAP client: the numbers
  // run on across them, so no file is written twice.
  ASSERT_GE(names.size(), 6u);
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string number = std::to_string(i + 1);
    number.insert(0, 4 - std::min<std::size_t>(4, number.size()), '0');
    EXPECT_EQ(names[i], number + (i % 2 == 0 ? "-request.xml" : "-response.xml"));
  }
  for (auto& n : names) {
    std::string text = Slurp(trace / n);
    EXPECT_NE(text.find("Envelope"), std::string::npos) << n;
    EXPECT_EQ(text.find("alice-pw"), std::string::npos) << n;
  }
}

TEST_F(Tool, TlsIsVerifiedUnlessInsecure) {
  auto config = ews_test::DefaultSimConfig();
  config.tls = true;  // a self-signed certificate no CA vouches for
  ews_test::SimServer tls(config);
  auto refused = Run({"info"}, "alice@example.com", "alice-pw", tls.Url());
  EXPECT_EQ(refused.code, 3);
  ExpectOneLine(refused);
  auto accepted = Run({"--insecure", "--json", "info"}, "alice@example.com", "alice-pw", tls.Url());
  ASSERT_EQ(accepted.code, 0) << accepted.err;
  EXPECT_EQ(accepted.Json()["url"], tls.Url());
}

TEST_F(Tool, BadInputGivesOneLineAndItsExitCode) {
  // Usage errors: 2.
  auto unknownCommand = Run({"frobnicate"});
  EXPECT_EQ(unknownCommand.code, 2);
  auto badFilter = Run({"ls", "inbox", "--where", "isread = "});
  EXPECT_EQ(badFilter.code, 2);
  ExpectOneLine(badFilter);
  EXPECT_NE(badFilter.err.find("column 10"), std::string::npos) << badFilter.err;
  auto badField = Run({"ls", "inbox", "--columns", "subject,nosuchfield"});
  EXPECT_EQ(badField.code, 2);
  ExpectOneLine(badField);
  EXPECT_NE(badField.err.find("nosuchfield"), std::string::npos);
  auto unknownFolder = Run({"ls", "No Such Folder"});
  EXPECT_EQ(unknownFolder.code, 2);
  ExpectOneLine(unknownFolder);
  EXPECT_NE(unknownFolder.err.find("No Such Folder"), std::string::npos);
  auto noPassword =
      Exec({kProgram, "--url", sim_->Url(), "--user", "alice@example.com", "info"}, {});
  EXPECT_EQ(noPassword.code, 2);
  ExpectOneLine(noPassword);

  // Connection and authentication failures: 3, and the password never appears.
  auto wrong = Run({"info"}, "alice@example.com", "not-the-password");
  EXPECT_EQ(wrong.code, 3);
  ExpectOneLine(wrong);
  EXPECT_EQ(wrong.err.find("not-the-password"), std::string::npos);
  auto unreachable =
      Run({"info"}, "alice@example.com", "alice-pw", "http://127.0.0.1:1/EWS/Exchange.asmx");
  EXPECT_EQ(unreachable.code, 3);
  ExpectOneLine(unreachable);

  // The password file is read, its line break dropped.
  const fs::path pw = dir_ / "pw";
  std::ofstream(pw) << "alice-pw\n";
  auto fromFile = Exec({kProgram, "--url", sim_->Url(), "--user", "alice@example.com",
                        "--password-file", pw.string(), "--json", "info"},
                       {});
  EXPECT_EQ(fromFile.code, 0) << fromFile.err;
}

}  // namespace
