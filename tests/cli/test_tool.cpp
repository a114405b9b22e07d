// The ews program against a real ewssim: each command, its JSON output, and how bad input ends
// (one line on standard error and the exit code of its kind).
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ews_testsupport.h"
#include "test_process.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kProgram = std::string(EWS_BINARY_DIR) + "/tools/ews/ews";

struct Result : ews_test::ProgramResult {
  json Json() const { return json::parse(out); }
};

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
  // Runs ews with the connection options of `user` (password through EWS_PASSWORD) and args.
  Result Run(std::vector<std::string> args, const std::string& user = "alice@example.com",
             const std::string& password = "alice-pw", const std::string& url = {}) {
    std::vector<std::string> full = {kProgram, "--url", url.empty() ? sim_->Url() : url, "--user",
                                     user};
    full.insert(full.end(), args.begin(), args.end());
    return Exec(full, {"EWS_PASSWORD=" + password});
  }

  Result Exec(std::vector<std::string> args, std::vector<std::string> env) {
    Result r{ews_test::RunProgram(args, std::move(env), dir_)};
    // A run that does not end (a table paged without end) is killed after a minute and fails.
    if (r.timedOut) ADD_FAILURE() << "ews did not end within 60 s: " << args.back();
    return r;
  }

  // One line on standard error, starting with "ews: ".
  static void ExpectOneLine(const Result& r) {
    EXPECT_EQ(r.err.rfind("ews: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }

  static ews_test::SimServer* sim_;
  ews_test::TempDir tmp_;
  const fs::path& dir_ = tmp_.Path();
};

ews_test::SimServer* Tool::sim_ = nullptr;

unsigned Mode(const fs::path& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

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

// The browser sign-in of `ews login` end to end: on a desktop the tool opens the authorization
// page with xdg-open (here a script that signs in as alice and follows the redirect back to the
// tool's loopback listener), redeems the code with its PKCE verifier, logs on with the token and
// saves the profile.
TEST_F(Tool, LoginSignsInThroughTheBrowser) {
  auto config = ews_test::DefaultSimConfig();
  config.oauthApps = {{"cli-app", ""}};
  ews_test::SimServer sim(config);
  const fs::path browser = dir_ / "xdg-open";
  std::ofstream(browser) << R"(#!/usr/bin/env python3
import os, sys, urllib.parse, urllib.request
if os.fork():
    sys.exit(0)  # xdg-open returns at once; the browser goes on by itself
base, _, query = sys.argv[1].partition("?")
form = query + "&" + urllib.parse.urlencode(
    {"login": "alice@example.com", "passwd": "alice-pw", "consent": "accept"})
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
opener.open(base, form.encode()).read()
open(sys.argv[0] + ".ran", "a").write("x")
)";
  fs::permissions(browser, fs::perms::owner_all);
  const std::string url = sim.Url(), origin = url.substr(0, url.find('/', url.find("//") + 2));
  const std::vector<std::string> env = {"HOME=" + dir_.string(),
                                        "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                        "PATH=" + dir_.string() + ":" + std::getenv("PATH"),
                                        "DVEWS_OAUTH_AUTHORITY=" + origin, "DISPLAY=:0"};
  auto r = Exec({kProgram, "--url", sim.Url(), "--json", "login", "alice@example.com",
                 "--oauth-client-id", "cli-app"},
                env);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.Json()["profile"], "alice@example.com");
  EXPECT_EQ(ews_test::ReadFile(dir_ / "xdg-open.ran"), "x");
  auto shown = Exec({kProgram, "--json", "profile", "show", "alice@example.com"}, env);
  ASSERT_EQ(shown.code, 0) << shown.err;
  EXPECT_EQ(shown.Json()["oauth_grant"], "authorize");
  EXPECT_EQ(shown.Json()["oauth_client_id"], "cli-app");
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
    // Typed values under friendly keys, whatever name the column was asked by.
    EXPECT_TRUE(row["size"].is_number_integer()) << row;
    EXPECT_TRUE(row["isread"].is_boolean()) << row;
    if (row["isread"] == false) ++unread;
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
    EXPECT_EQ(row["isread"], false);

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

// The six comparisons of --where against the third seeded message's received time (one an hour
// from 09:00): each selects its own number of the six, so > is not >= and < is not <=. (Runs
// while the inbox still holds the six seeded messages only.)
TEST_F(Tool, LsWhereComparisonsAtTheBoundary) {
  const std::pair<const char*, std::size_t> cases[] = {{"=", 1},  {"!=", 5}, {"<", 2},
                                                       {"<=", 3}, {">", 3},  {">=", 4}};
  for (const auto& [op, rows] : cases) {
    auto r = Run({"--json", "ls", "inbox", "--columns", "subject", "--where",
                  std::string("received ") + op + " 2026-01-05T11:00:00Z"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.Json().size(), rows) << op << "\n" << r.out;
  }
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

  // A name that is not UTF-8 is imported once and reported with U+FFFD in its place.
  const fs::path odd = dir_ / "odd\xFF.eml";
  fs::copy_file(eml, odd);
  auto oddImport = Run({"--json", "import", "inbox", odd.string()}, "bob@example.com", "bob-pw");
  ASSERT_EQ(oddImport.code, 0) << oddImport.err;
  EXPECT_NE(oddImport.Json()["items"][0]["file"].get<std::string>().find("odd\xEF\xBF\xBD.eml"),
            std::string::npos);
  auto oddText = Run({"import", "inbox", odd.string()}, "bob@example.com", "bob-pw");
  EXPECT_EQ(oddText.code, 0) << oddText.err;
  EXPECT_EQ(Run({"--json", "ls", "inbox", "--where", "subject = 'imported by the tool'"},
                "bob@example.com", "bob-pw")
                .Json()
                .size(),
            4u);
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
  EXPECT_EQ(j["subject"], subject) << shown.out;
  EXPECT_NE(j["from"].get<std::string>().find('@'), std::string::npos) << shown.out;
  // ls and show agree on keys and types; --keys definition gives the definition names in both.
  auto listed = Run({"--json", "ls", "inbox", "--columns", "subject,from,size,isread,received",
                     "--where", "subject = '" + subject + "'"})
                    .Json()[0];
  for (auto& [key, value] : listed.items())
    EXPECT_EQ(j[key], value) << key;
  auto byDefinition = Run({"--json", "--keys", "definition", "show", id}).Json();
  EXPECT_EQ(byDefinition["PR_SUBJECT"], subject);
  EXPECT_EQ(byDefinition["PR_SIZE"], j["size"]);
  auto lsByDefinition = Run(
      {"--json", "--keys", "definition", "ls", "inbox", "--columns", "subject", "--limit", "1"});
  EXPECT_TRUE(lsByDefinition.Json()[0].contains("PR_SUBJECT")) << lsByDefinition.out;
  auto mime = Run({"show", "--mime", id});
  ASSERT_EQ(mime.code, 0) << mime.err;
  EXPECT_NE(mime.out.find("Subject: " + subject + "\r\n"), std::string::npos) << mime.out;
  EXPECT_EQ(Run({"--json", "show", "--mime", id}).Json()["mime"], mime.out);

  // Kinds without a class of their own show the properties of their kind too.
  auto contacts = Run({"--json", "ls", "contacts", "--columns", "subject"}).Json();
  ASSERT_FALSE(contacts.empty());
  auto contact = Run({"--json", "show", contacts[0]["id"]});
  ASSERT_EQ(contact.code, 0) << contact.err;
  EXPECT_FALSE(contact.Json().value("displayname", "").empty()) << contact.out;

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
  EXPECT_EQ(got.Json()[0]["hasattachments"], true);
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
  EXPECT_EQ(text["body"].get<std::string>().rfind("Got them.", 0), 0u) << text.dump();

  // A forward needs recipients and carries the attachments along.
  auto noTo = Run({"forward", id}, bob, "bob-pw");
  EXPECT_EQ(noTo.code, 2);
  ExpectOneLine(noTo);
  ASSERT_EQ(Run({"forward", id, "--to", svc}, bob, "bob-pw").code, 0);
  auto fw = Run({"--json", "ls", "inbox", "--columns", "subject,hasattachments", "--where",
                 "subject = 'FW: with files'"},
                svc, "svc-pw");
  ASSERT_EQ(fw.Json().size(), 1u) << fw.out;
  EXPECT_EQ(fw.Json()[0]["hasattachments"], true);
}

TEST_F(Tool, ExportWritesOneFilePerItemAndNeverOverwrites) {
  const fs::path out = dir_ / "export";
  // Bidirectional controls would make a name read otherwise than it is ("txt.exe" as "exe.txt").
  ASSERT_EQ(Run({"send", "--to", "bob@example.com", "--subject",
                 "a\xE2\x80\xAE"
                 "b\xE2\x81\xA6"
                 "c\xE2\x80\x8F"
                 "d"})
                .code,
            0);
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
  bool bidiFound = false;
  for (const auto& f : files()) {
    const std::string name = f.filename().string();
    EXPECT_EQ(name.find("\xE2\x80\xAE"), std::string::npos) << name;
    EXPECT_EQ(name.find("\xE2\x81\xA6"), std::string::npos) << name;
    EXPECT_EQ(name.find("\xE2\x80\x8F"), std::string::npos) << name;
    bidiFound |= name.find(" abcd.eml") != std::string::npos;
    EXPECT_EQ(Mode(f), 0600u) << name;
  }
  EXPECT_TRUE(bidiFound);
  // Each file is the item's MIME content, as show --mime prints it.
  const auto first = r.Json()["items"][0];
  EXPECT_EQ(ews_test::ReadFile(first["file"].get<std::string>()),
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
    std::string text = ews_test::ReadFile(trace / n);
    EXPECT_NE(text.find("Envelope"), std::string::npos) << n;
    EXPECT_EQ(text.find("alice-pw"), std::string::npos) << n;
    EXPECT_EQ(Mode(trace / n), 0600u) << n;
  }
}

// The certificate in a folder under its subject-hash name, as c_rehash lays it out.
void HashedCopy(const std::string& pem, const fs::path& folder) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  ASSERT_NE(cert, nullptr);
  char name[32];
  std::snprintf(name, sizeof name, "%08lx.0", X509_subject_name_hash(cert));
  X509_free(cert);
  BIO_free(bio);
  fs::create_directories(folder);
  std::ofstream(folder / name) << pem;
}

TEST_F(Tool, TlsIsVerifiedWithPrivateCAsOrInsecure) {
  auto config = ews_test::DefaultSimConfig();
  config.tls = true;  // a self-signed certificate no system CA vouches for
  ews_test::SimServer tls(config);
  const std::string pem = tls.Server().CertificatePem();
  const fs::path cert = dir_ / "cert.pem", folder = dir_ / "cas";
  std::ofstream(cert) << pem;
  HashedCopy(pem, folder);

  auto refused = Run({"info"}, "alice@example.com", "alice-pw", tls.Url());
  EXPECT_EQ(refused.code, 3);
  ExpectOneLine(refused);
  for (const auto& trust : std::vector<std::vector<std::string>>{{"--cacert", cert.string()},
                                                                 {"--capath", folder.string()}}) {
    auto args = trust;
    args.insert(args.end(), {"--json", "info"});
    auto verified = Run(args, "alice@example.com", "alice-pw", tls.Url());
    ASSERT_EQ(verified.code, 0) << trust[0] << ": " << verified.err;
    EXPECT_EQ(verified.Json()["server_verified"], true) << trust[0];
    EXPECT_EQ(verified.err, "");
  }
  auto accepted = Run({"--insecure", "--json", "info"}, "alice@example.com", "alice-pw", tls.Url());
  ASSERT_EQ(accepted.code, 0) << accepted.err;
  EXPECT_EQ(accepted.Json()["url"], tls.Url());
  EXPECT_EQ(accepted.Json()["server_verified"], false);
  EXPECT_EQ(accepted.err.rfind("ews: warning: --insecure", 0), 0u) << accepted.err;
  EXPECT_EQ(std::count(accepted.err.begin(), accepted.err.end(), '\n'), 1);
  auto table = Run({"info"}, "alice@example.com", "alice-pw", sim_->Url());
  EXPECT_NE(table.out.find("server_verified"), std::string::npos) << table.out;
}

TEST_F(Tool, UsageVersionHelpAndCompletion) {
  auto version = Exec({kProgram, "--version"}, {});
  EXPECT_EQ(version.code, 0);
  EXPECT_NE(version.out.find("library dvews "), std::string::npos) << version.out;
  struct Bad {
    std::vector<std::string> args;
    std::string named;
  };
  for (const Bad& bad : std::vector<Bad>{{{"frobnicate"}, "\"frobnicate\""},
                                         {{"--json", "frobnicate", "inbox"}, "\"frobnicate\""},
                                         {{"ls", "inbox", "--frob"}, "--frob"},
                                         {{"--nope", "info"}, "--nope"}}) {
    auto r = Run(bad.args);
    EXPECT_EQ(r.code, 2) << bad.named;
    ExpectOneLine(r);
    EXPECT_NE(r.err.find(bad.named), std::string::npos) << r.err;
  }
  EXPECT_NE(Exec({kProgram, "--help"}, {}).out.find("Exit codes:"), std::string::npos);
  for (const char* command :
       {"info", "folders", "ls", "mkdir", "rmdir", "empty", "mv", "cp", "rm", "import", "set",
        "send", "show", "reply", "forward", "export", "resolve"}) {
    auto help = Exec({kProgram, command, "--help"}, {});
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_NE(help.out.find("Example:\n  ews "), std::string::npos) << command;
  }
  const std::string script = std::string(EWS_SOURCE_DIR) + "/tools/ews/completion/ews.bash";
  auto loaded = Exec({"/bin/bash", "-c", "source '" + script + "' && complete -p ews"}, {});
  EXPECT_EQ(loaded.code, 0) << loaded.err;
  EXPECT_NE(loaded.out.find("-F _ews ews"), std::string::npos) << loaded.out;
  // Completions of a command line (the words, the last one being completed).
  const std::pair<const char*, const char*> completions[] = {
      {"ews --json dl ''", "expand create"},
      {"ews oof on --", "--help --reply --external --audience --from --until"},
      {"ews oof on --audience ''", "known all none"},
      {"ews contact add --", "--help --name --email --phone --company --photo"},
      {"ews photo --size 6", "64 648"},
      {"ews tas", "tasks task"}};
  for (const auto& [line, expected] : completions) {
    auto r = Exec({"/bin/bash", "-c",
                   "source '" + script + "' && COMP_WORDS=(" + line +
                       ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _ews && "
                       "echo \"${COMPREPLY[*]}\""},
                  {});
    EXPECT_EQ(r.out, std::string(expected) + "\n") << line << r.err;
  }
}

TEST_F(Tool, ValuesAndAddressesAreCheckedBeforeAnythingIsSent) {
  // Nothing listens there: a request would end in exit 3, a refusal before sending in 2.
  const std::string nowhere = "http://127.0.0.1:1/EWS/Exchange.asmx";
  struct Case {
    std::vector<std::string> args;
    int code;
  };
  for (const Case& c : std::vector<Case>{
           {{"set", "ID", "isread=maybe"}, 2},
           {{"set", "ID", "size=12kB"}, 2},
           {{"set", "ID", "datetimesent=yesterday"}, 2},
           {{"set", "ID", "from=x"}, 2},
           {{"set", "ID", "isread=TRUE", "size=12", "datetimesent=2026-01-31"}, 3},
           {{"send", "--to", "bob"}, 2},
           {{"send", "--to", "Bob <bob@example.com>"}, 2},
           {{"send", "--to", "bob@example..com"}, 2},
           {{"send", "--to", "bob@example.com", "--cc", "carol@"}, 2},
           {{"forward", "ID", "--to", "@example.com"}, 2},
           {{"reply", "ID", "--cc", "a b@example.com"}, 2},
           {{"send", "--to", "first.last+tag@example.com", "--to", "\"a b\"@[127.0.0.1]"}, 3},
       }) {
    auto r = Run(c.args, "alice@example.com", "alice-pw", nowhere);
    EXPECT_EQ(r.code, c.code) << c.args.back() << ": " << r.err;
    ExpectOneLine(r);
  }
}

TEST_F(Tool, ConnectionErrorsInTheUsersTerms) {
  auto refused =
      Run({"info"}, "alice@example.com", "alice-pw", "http://127.0.0.1:1/EWS/Exchange.asmx");
  EXPECT_EQ(refused.code, 3);
  ExpectOneLine(refused);
  EXPECT_NE(refused.err.find("127.0.0.1:1"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("utodiscover"), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("utoDiscover"), std::string::npos) << refused.err;

  auto config = ews_test::DefaultSimConfig();
  config.version.omitHeader = true;
  ews_test::SimServer bare(config);
  auto noHeader = Run({"info"}, "alice@example.com", "alice-pw", bare.Url());
  EXPECT_EQ(noHeader.code, 3);
  ExpectOneLine(noHeader);
  EXPECT_NE(noHeader.err.find("version header"), std::string::npos) << noHeader.err;
  EXPECT_EQ(
      Run({"--version-check", "off", "info"}, "alice@example.com", "alice-pw", bare.Url()).code, 0);

  // A server that stays busy past the retries is an EWS failure, not a connection one.
  ews_test::SimServer busy;
  ewssim::FaultRule rule;
  rule.operation = "FindItem";
  rule.action = "status";
  rule.retryAfterSeconds = 0;
  busy.Server().SetFaults({rule}, 1);
  auto throttled = Run({"ls", "inbox"}, "alice@example.com", "alice-pw", busy.Url());
  EXPECT_EQ(throttled.code, 4) << throttled.err;
  EXPECT_NE(throttled.err.find("\news: Throttled: "), std::string::npos) << throttled.err;
  EXPECT_EQ(throttled.err.find("connection failed"), std::string::npos) << throttled.err;

  // A password over plain http to another host is worth a warning (loopback is not).
  auto plain = Run({"info"}, "alice@example.com", "alice-pw", "http://0.0.0.0:1/EWS/Exchange.asmx");
  EXPECT_EQ(plain.err.rfind("ews: warning: the password goes over plain http", 0), 0u) << plain.err;
}

TEST_F(Tool, TextIsShownAsTextAndValuesReachTheServerAsTyped) {
  const std::string bob = "bob@example.com";
  const std::string subject = "<b>bold</b>\t& \xE6\x97\xA5\xE6\x9C\xAC";
  ASSERT_EQ(Run({"send", "--to", bob, "--subject", subject, "--body", "one\r\ntwo\rthree"}).code,
            0);
  // A tab in a filter value reaches the server as a tab, so the subject matches exactly.
  auto found = Run(
      {"--json", "ls", "inbox", "--columns", "subject", "--where", "subject = '" + subject + "'"},
      bob, "bob-pw");
  ASSERT_EQ(found.code, 0) << found.err;
  ASSERT_EQ(found.Json().size(), 1u) << found.out;
  EXPECT_EQ(found.Json()[0]["subject"], subject);
  const std::string id = found.Json()[0]["id"];
  EXPECT_EQ(Run({"--json", "show", id}, bob, "bob-pw").Json()["body"], "one\r\ntwo\rthree");

  auto table = Run({"ls", "inbox", "--columns", "subject", "--where", "subject startswith '<b>'"},
                   bob, "bob-pw");
  EXPECT_NE(table.out.find("<b>bold</b>\\t& \xE6\x97\xA5\xE6\x9C\xAC  "), std::string::npos)
      << table.out;
  auto shown = Run({"show", id}, bob, "bob-pw");
  EXPECT_NE(shown.out.find("one\ntwo\\rthree\n"), std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find('\r'), std::string::npos);
}

TEST_F(Tool, BadInputGivesOneLineAndItsExitCode) {
  // Usage errors: 2.
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

  // An authentication failure: 3, and the password never appears.
  auto wrong = Run({"info"}, "alice@example.com", "not-the-password");
  EXPECT_EQ(wrong.code, 3);
  ExpectOneLine(wrong);
  EXPECT_EQ(wrong.err.find("not-the-password"), std::string::npos);

  // The password file is read, its line break dropped.
  const fs::path pw = dir_ / "pw";
  std::ofstream(pw) << "alice-pw\n";
  auto fromFile = Exec({kProgram, "--url", sim_->Url(), "--user", "alice@example.com",
                        "--password-file", pw.string(), "--json", "info"},
                       {});
  EXPECT_EQ(fromFile.code, 0) << fromFile.err;
}

}  // namespace
