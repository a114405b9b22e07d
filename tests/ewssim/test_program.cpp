// The ewssim program (command line, first output line, signals, completion) and the state file.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "sim_fixture.h"
#include "test_helpers.h"

extern char** environ;

using namespace simtest;

namespace {

const std::string kProgram = std::string(EWS_BINARY_DIR) + "/tools/ewssim/ewssim";

struct Child {
  pid_t pid = -1;
  int out = -1;  // stdout and stderr
};

// Runs ewssim with `args`, in `cwd` when given, without EWSSIM_SCHEMA_DIR in its environment.
Child Spawn(std::vector<std::string> args, const std::string& cwd = {}) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  args.insert(args.begin(), kProgram);
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e)
    if (std::string_view(*e).rfind("EWSSIM_SCHEMA_DIR=", 0) != 0) env.push_back(*e);
  env.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, kProgram.c_str(), &actions, nullptr, argv.data(), env.data()) != 0)
    c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  c.out = fds[0];
  return c;
}

std::string FirstLine(int fd) {
  std::string line;
  char ch;
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) break;
    if (read(fd, &ch, 1) != 1 || ch == '\n') break;
    line += ch;
  }
  return line;
}

std::string Rest(int fd) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  return text;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs ewssim to its end: exit code and all output. One still running after 20 s (a server that
// started where it should have refused) is killed and reported as -1.
std::pair<int, std::string> RunToEnd(const std::vector<std::string>& args) {
  Child c = Spawn(args);
  std::string out;
  char buf[4096];
  bool ended = false;
  for (pollfd p{c.out, POLLIN, 0}; !ended && poll(&p, 1, 20000) > 0;) {
    ssize_t n = read(c.out, buf, sizeof buf);
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    ended = n <= 0;
  }
  close(c.out);
  if (!ended) kill(c.pid, SIGKILL);
  int code = Wait(c.pid);
  return {ended ? code : -1, out};
}

// Stops a running ewssim with `sig`; it ends cleanly.
void Stop(Child& c, int sig = SIGTERM) {
  kill(c.pid, sig);
  EXPECT_EQ(Wait(c.pid), 0);
  close(c.out);
}

std::string UrlOf(const Child& c) {
  std::string line = FirstLine(c.out);
  return line.rfind("listening on ", 0) == 0 ? line.substr(13) : "";
}

TEST(Program, TlsWritesTheCertificateForClientsToTrust) {
#ifdef EWS_SANITIZED
  GTEST_SKIP() << "a sanitized ewssim takes seconds to start; the plain build covers this";
#endif
  ews_test::TempDir tmp;
  const std::string pem = tmp.File("cert.pem");
  Child c = Spawn({"--listen", "127.0.0.1:0", "--tls", "--cert-out", pem, "--user",
                   "alice@example.com:alice-pw"});
  ASSERT_GT(c.pid, 0);
  const std::string url = UrlOf(c);
  ASSERT_EQ(url.rfind("https://127.0.0.1:", 0), 0u) << url;
  {  // the connection closes before the stop signal
    ews_test::SoapClient client(url, "alice@example.com", "alice-pw", pem);
    auto r = client.Post(ews_test::Envelope(
        "<m:GetFolder><m:FolderShape><t:BaseShape>IdOnly</t:BaseShape></m:FolderShape>"
        "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/></m:FolderIds></m:GetFolder>"));
    EXPECT_EQ(r.status, 200);
  }
  Stop(c, SIGINT);  // the other stop signal
}

TEST(Program, RefusesBadArgumentsSayingWhy) {
  ews_test::TempDir tmp;
  std::ofstream(tmp.File("users.txt")) << "# users\nbob@example.com:bob-pw\nno-colon-secret\n";
  std::ofstream(tmp.File("other-schema.json"))
      << R"({"schema_dir": ")" << tmp.File("none") << R"(", "users": [{"address": "a@b.c"}]})";
  const std::string user = "alice@example.com:pw";
  struct Case {
    std::vector<std::string> args;
    std::string says;
    int code = 2;
  };
  const Case cases[] = {
      {{"--user", user, "--server-version", "Exchange2099"}, "unknown server version Exchange2099"},
      {{"--listen", "127.0.0.1:0"}, "no users"},
      {{"--user", "not-an-address"}, "--user: expected ADDRESS:PASSWORD"},
      {{"--user", "alice@example.com:@" + tmp.File("missing.pw")}, "cannot read the password"},
      {{"--seed", "abc", "--user", user}, "--seed: expected a whole number"},
      {{"--frobnicate", "--user", user}, "--frobnicate"},
      {{"--listen", "127.0.0.1:65536", "--user", user}, "invalid port \"65536\""},
      {{"--listen", "127.0.0.1:http", "--user", user}, "invalid port \"http\""},
      {{"--listen", "127.0.0.1", "--user", user}, "invalid listen address"},
      {{"--listen", "::1:0", "--user", user}, "invalid host"},
      {{"--cert-out", "c.pem", "--user", user}, "--cert-out requires --tls"},
      {{"--users-file", tmp.File("users.txt")}, "users.txt:3: expected ADDRESS:PASSWORD"},
      {{"--users-file", tmp.File("none.txt")}, "--users-file"},
      {{"--config", tmp.File("other-schema.json")}, "cannot read the EWS schema file", 1},
  };
  for (const Case& c : cases) {
    auto [code, out] = RunToEnd(c.args);
    EXPECT_EQ(code, c.code) << c.args[0] << "\n" << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_EQ(out.find("stoi"), std::string::npos) << out;
    EXPECT_EQ(out.find("secret"), std::string::npos) << out;  // never echoes a password line
  }
}

TEST(Program, VersionHelpAndCompletion) {
  auto [vcode, version] = RunToEnd({"--version"});
  EXPECT_EQ(vcode, 0);
  EXPECT_EQ(version, std::string("ewssim ") + EWSSIM_PROJECT_VERSION + "\n");
  auto [hcode, help] = RunToEnd({"--help"});
  EXPECT_EQ(hcode, 0);
  EXPECT_NE(help.find("Exit codes"), std::string::npos);
  // The completion script loads, and offers every flag that --help lists.
  const std::string script = std::string(EWS_SOURCE_DIR) + "/tools/ewssim/completion/ewssim.bash";
  std::string flags;
  for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
    size_t end = help.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
    std::string flag = help.substr(at, end - at);
    if (flag.size() > 2 && flags.find(" " + flag + " ") == std::string::npos)
      flags += " " + flag + " ";
  }
  const std::string cmd = "bash -c 'source \"" + script +
                          "\" && complete -p ewssim && COMP_WORDS=(ewssim \"\") COMP_CWORD=1 && "
                          "_ewssim && echo \"${COMPREPLY[*]}\"' 2>&1";
  FILE* pipe = popen(cmd.c_str(), "r");
  ASSERT_TRUE(pipe);
  std::string out = Rest(fileno(pipe));
  ASSERT_EQ(pclose(pipe), 0) << out;
  EXPECT_NE(out.find("complete -F _ewssim ewssim"), std::string::npos) << out;
  std::string offered = " ";
  for (char ch : out.substr(out.find('\n') + 1))
    offered += ch == ' ' || ch == '\n' ? std::string("  ") : std::string(1, ch);
  for (size_t at = 0; (at = flags.find(" --", at)) != std::string::npos; ++at) {
    std::string flag = flags.substr(at + 1, flags.find(' ', at + 1) - at - 1);
    EXPECT_NE(offered.find(" " + flag + " "), std::string::npos) << flag << " not completed";
  }
}

// From an empty folder, with no schema folder anywhere: the schema is built in. Users come from a
// users file and from a password file, so no password is on the command line; --seed and
// --server-version shape every answer.
TEST(Program, ListensPrintsItsUrlAndServesUsersFromFiles) {
  ews_test::TempDir tmp, empty;
  std::ofstream(tmp.File("users.txt")) << "# mailbox users\n\nalice@example.com:alice-pw:Alice A\n";
  std::ofstream(tmp.File("bob.pw")) << "bob-pw\n";
  Child c = Spawn({"--listen", "127.0.0.1:0", "--users-file", tmp.File("users.txt"), "--user",
                   "bob@example.com:@" + tmp.File("bob.pw"), "--seed", "2", "--server-version",
                   "Exchange2010_SP2"},
                  empty.Path().string());
  ASSERT_GT(c.pid, 0);
  const std::string url = UrlOf(c);
  // The requests run in their own scope so that the connections close before the signal.
  [&] {
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url << Rest(c.out);
    ASSERT_NE(url.find("/EWS/Exchange.asmx"), std::string::npos) << url;
    const std::string getFolders = ews_test::Envelope(
        "<m:GetFolder><m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>"
        "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/><t:DistinguishedFolderId "
        "Id=\"calendar\"/><t:DistinguishedFolderId Id=\"contacts\"/></m:FolderIds></m:GetFolder>",
        "<t:RequestServerVersion Version=\"Exchange2010\"/>");
    for (auto [user, password, status] : {std::tuple{"alice@example.com", "alice-pw", 200},
                                          std::tuple{"bob@example.com", "bob-pw", 200},
                                          std::tuple{"bob@example.com", "alice-pw", 401}}) {
      ews_test::SoapClient client(url, user, password);
      auto r = client.Post(getFolders);
      EXPECT_EQ(r.status, status) << user;
      if (status != 200) continue;
      EXPECT_TRUE(ews_test::ValidateEnvelope(r.body).ok) << r.body;
      EXPECT_NE(r.body.find("Version=\"Exchange2010_SP2\""), std::string::npos);
      pugi::xml_document doc;
      doc.load_string(r.body.c_str());
      auto counts = All(doc, "TotalCount");
      ASSERT_EQ(counts.size(), 3u);
      for (auto n : counts)
        EXPECT_STREQ(n.text().as_string(), "2");  // the seed
    }
    // A second server on the same port does not start.
    const std::string port = url.substr(7, url.find('/', 7) - 7);  // after "http://"
    auto [code, out] = RunToEnd({"--listen", port, "--user", "carol@example.com:pw"});
    EXPECT_EQ(code, 1) << out;
    EXPECT_NE(out.find("cannot listen on " + port + ": the port is in use"), std::string::npos)
        << out;
  }();
  Stop(c);
}

TEST(StateFile, MailboxesSurviveARestart) {
  ews_test::TempDir tmp;
  auto config = ews_test::DefaultSimConfig();
  config.stateFile = tmp.File("state.json");
  std::string id;
  {
    ews_test::SimServer sim(config);
    ews_test::SoapClient client(sim.Url(), "alice@example.com", "alice-pw");
    auto r = client.Post(ews_test::Envelope(
        "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:Items><t:Message><t:Subject>Kept"
        "</t:Subject><t:Attachments><t:FileAttachment><t:Name>k.txt</t:Name><t:Content>a2VwdA=="
        "</t:Content></t:FileAttachment></t:Attachments><t:ExtendedProperty><t:ExtendedFieldURI "
        "DistinguishedPropertySetId=\"PublicStrings\" PropertyName=\"K\" PropertyType=\"String\"/>"
        "<t:Value>v</t:Value></t:ExtendedProperty></t:Message></m:Items></m:CreateItem>"));
    pugi::xml_document doc;
    doc.load_string(r.body.c_str());
    id = First(doc, "ItemId").attribute("Id").value();
    ASSERT_FALSE(id.empty());
    // Out-of-office settings, a configuration object, and a default category list deleted.
    for (const char* body :
         {"<m:SetUserOofSettingsRequest><t:Mailbox><t:Address>alice@example.com</t:Address>"
          "</t:Mailbox><t:UserOofSettings><t:OofState>Enabled</t:OofState><t:ExternalAudience>"
          "Known</t:ExternalAudience><t:InternalReply xml:lang=\"de-DE\"><t:Message>Weg"
          "</t:Message></t:InternalReply><t:ExternalReply><t:Message>Away</t:Message>"
          "</t:ExternalReply></t:UserOofSettings></m:SetUserOofSettingsRequest>",
          "<m:CreateUserConfiguration><m:UserConfiguration><t:UserConfigurationName "
          "Name=\"App.Prefs\"><t:DistinguishedFolderId Id=\"inbox\"/></t:UserConfigurationName>"
          "<t:BinaryData>AQID</t:BinaryData></m:UserConfiguration></m:CreateUserConfiguration>",
          "<m:DeleteUserConfiguration><m:UserConfigurationName Name=\"CategoryList\">"
          "<t:DistinguishedFolderId Id=\"calendar\"/></m:UserConfigurationName>"
          "</m:DeleteUserConfiguration>"}) {
      auto done = client.Post(ews_test::Envelope(body));
      EXPECT_NE(done.body.find("NoError"), std::string::npos) << done.body;
    }
  }
  ASSERT_TRUE(std::filesystem::exists(config.stateFile));
  ews_test::SimServer again(config);
  ews_test::SoapClient client(again.Url(), "alice@example.com", "alice-pw");
  auto r = client.Post(ews_test::Envelope(
      "<m:GetItem><m:ItemShape><t:BaseShape>AllProperties</t:BaseShape><t:AdditionalProperties>"
      "<t:ExtendedFieldURI DistinguishedPropertySetId=\"PublicStrings\" PropertyName=\"K\" "
      "PropertyType=\"String\"/></t:AdditionalProperties></m:ItemShape><m:ItemIds><t:ItemId Id=\"" +
      id + "\"/></m:ItemIds></m:GetItem>"));
  EXPECT_TRUE(ews_test::ValidateEnvelope(r.body).ok);
  pugi::xml_document doc;
  doc.load_string(r.body.c_str());
  EXPECT_EQ(TextOf(doc, "Subject"), "Kept");
  EXPECT_EQ(TextOf(First(doc, "FileAttachment"), "Name"), "k.txt");
  EXPECT_EQ(TextOf(First(doc, "ExtendedProperty"), "Value"), "v");
  auto configRequest = [](const char* name, const char* folder) {
    return std::string("<m:GetUserConfiguration><m:UserConfigurationName Name=\"") + name +
           "\"><t:DistinguishedFolderId Id=\"" + folder +
           "\"/></m:UserConfigurationName><m:UserConfigurationProperties>All"
           "</m:UserConfigurationProperties></m:GetUserConfiguration>";
  };
  const std::pair<std::string, std::vector<std::string>> kept[] = {
      {"<m:GetUserOofSettingsRequest><t:Mailbox><t:Address>alice@example.com</t:Address>"
       "</t:Mailbox></m:GetUserOofSettingsRequest>",
       {"<t:OofState>Enabled<", "<t:ExternalAudience>Known<",
        "<t:InternalReply xml:lang=\"de-DE\"><t:Message>Weg<"}},
      {configRequest("App.Prefs", "inbox"), {"<t:BinaryData>AQID<"}},
      {configRequest("CategoryList", "calendar"), {"ErrorItemNotFound"}}};
  for (const auto& [request, fragments] : kept) {
    const std::string body = client.Post(ews_test::Envelope(request)).body;
    for (const auto& f : fragments)
      EXPECT_NE(body.find(f), std::string::npos) << f << "\n" << body;
  }
}

// The ewssim program with a state file in a folder of its own.
struct StateRun {
  ews_test::TempDir dir;
  std::string file = dir.File("mailboxes.json");
  std::vector<std::string> Args() const {
    return {"--user", "alice@example.com:alice-pw", "--state", file};
  }
  std::string Bytes() const { return ews_test::ReadFile(file); }
};

void CreateMessage(ews_test::SoapClient& client, const std::string& subject) {
  auto r = client.Post(ews_test::Envelope(
      "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:Items><t:Message><t:Subject>" + subject +
      "</t:Subject></t:Message></m:Items></m:CreateItem>"));
  ASSERT_NE(r.body.find("NoError"), std::string::npos) << r.body;
}

std::set<std::string> DraftSubjects(const std::string& url) {
  ews_test::SoapClient client(url, "alice@example.com", "alice-pw");
  auto r = client.Post(ews_test::Envelope(
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
      "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Subject\"/></t:AdditionalProperties>"
      "</m:ItemShape><m:ParentFolderIds>" +
      Dist("drafts") + "</m:ParentFolderIds></m:FindItem>"));
  EXPECT_TRUE(ews_test::ValidateEnvelope(r.body).ok);
  pugi::xml_document doc;
  doc.load_string(r.body.c_str());
  std::set<std::string> subjects;
  for (auto n : All(doc, "Subject"))
    subjects.insert(n.text().as_string());
  return subjects;
}

// A SIGKILL in the middle of a burst of writes loses at most the last second: everything made a
// second before the kill is back after a restart, and of the rest an unbroken run from the start.
TEST(StateFile, SigkillLosesAtMostTheLastSecond) {
  StateRun run;
  Child c = Spawn(run.Args());
  std::string url = UrlOf(c);
  ASSERT_FALSE(url.empty());
  {
    ews_test::SoapClient client(url, "alice@example.com", "alice-pw");
    for (int i = 0; i < 10; ++i)
      CreateMessage(client, "early" + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    for (int i = 0; i < 25; ++i)
      CreateMessage(client, "late" + std::to_string(100 + i));
    kill(c.pid, SIGKILL);
  }
  Wait(c.pid);
  close(c.out);
  ASSERT_TRUE(nlohmann::json::accept(run.Bytes()));
  Child again = Spawn(run.Args());
  url = UrlOf(again);
  ASSERT_FALSE(url.empty());
  auto subjects = DraftSubjects(url);
  for (int i = 0; i < 10; ++i)
    EXPECT_TRUE(subjects.count("early" + std::to_string(i))) << i;
  size_t late = subjects.size() - 10;
  for (size_t i = 0; i < late; ++i)
    EXPECT_TRUE(subjects.count("late" + std::to_string(100 + i))) << "a gap before " << i;
  Stop(again);
}

// A state file that cannot be read refuses the start and is left alone; --state-reset starts
// empty and replaces it.
TEST(StateFile, UnreadableFileRefusesTheStart) {
  for (std::string content : {"{\"change_counter\": 3, \"mailboxes\": [", "[1, 2]",
                              "{\"change_counter\": 1, \"mailboxes\": [{\"address\": 7}]}"}) {
    StateRun run;
    std::ofstream(run.file) << content;
    auto [code, out] = RunToEnd(run.Args());
    EXPECT_EQ(code, 1) << content;
    EXPECT_NE(out.find("the state file " + run.file + " cannot be read"), std::string::npos) << out;
    EXPECT_EQ(run.Bytes(), content);
    auto args = run.Args();
    args.push_back("--state-reset");
    Child c = Spawn(args);
    EXPECT_FALSE(UrlOf(c).empty()) << content;
    Stop(c);
    EXPECT_NE(run.Bytes().find("alice@example.com"), std::string::npos);
  }
}

// A write that fails (here: the file size limit, which binds root too) is reported, keeps the
// good file and leaves no temporary file behind; the server goes on serving.
TEST(StateFile, FailedWriteKeepsTheGoodFile) {
  StateRun run;
  Child c = Spawn(run.Args());
  std::string url = UrlOf(c);
  ASSERT_FALSE(url.empty());
  ews_test::SoapClient client(url, "alice@example.com", "alice-pw");
  CreateMessage(client, "kept");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::string good = run.Bytes();
  ASSERT_NE(good.find("kept"), std::string::npos);
  rlimit limit{16, 16};
  ASSERT_EQ(prlimit(c.pid, RLIMIT_FSIZE, &limit, nullptr), 0);
  CreateMessage(client, "lost");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  CreateMessage(client, "still serving");
  kill(c.pid, SIGKILL);
  Wait(c.pid);
  std::string out = Rest(c.out);
  close(c.out);
  EXPECT_NE(out.find("cannot write the state file " + run.file), std::string::npos) << out;
  EXPECT_EQ(run.Bytes(), good);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run.dir.Path()), {}), 1);
}

}  // namespace
