// The ewssim program (command line, first output line, signals) and the state file.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "sim_fixture.h"

extern char** environ;

using namespace simtest;

namespace {

const std::string kProgram = std::string(EWS_BINARY_DIR) + "/tools/ewssim/ewssim";

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(std::vector<std::string> args) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  args.insert(args.begin(), kProgram);
  std::vector<char*> argv;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ) != 0)
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

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Program, ListensPrintsItsUrlAndStopsOnSignals) {
  Child c = Spawn({"--listen", "127.0.0.1:0", "--user", "alice@example.com:alice-pw:Alice A",
                   "--seed", "2", "--server-version", "Exchange2010_SP2"});
  ASSERT_GT(c.pid, 0);
  std::string line = FirstLine(c.out);
  // The requests run in their own scope so that the connection is closed before the signal.
  [&] {
    const std::string prefix = "listening on http://127.0.0.1:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    EXPECT_NE(line.find("/EWS/Exchange.asmx"), std::string::npos);
    std::string url = line.substr(std::string("listening on ").size());
    ews_test::SoapClient client(url, "alice@example.com", "alice-pw");
    auto r = client.Post(ews_test::Envelope(
        "<m:GetFolder><m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>"
        "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/><t:DistinguishedFolderId "
        "Id=\"calendar\"/><t:DistinguishedFolderId Id=\"contacts\"/></m:FolderIds></m:GetFolder>",
        "<t:RequestServerVersion Version=\"Exchange2010\"/>"));
    EXPECT_TRUE(ews_test::ValidateEnvelope(r.body).ok);
    EXPECT_NE(r.body.find("Version=\"Exchange2010_SP2\""), std::string::npos);
    pugi::xml_document doc;
    doc.load_string(r.body.c_str());
    auto counts = All(doc, "TotalCount");
    ASSERT_EQ(counts.size(), 3u);
    for (auto n : counts)
      EXPECT_STREQ(n.text().as_string(), "2");  // the seed
  }();
  kill(c.pid, SIGTERM);
  EXPECT_EQ(Wait(c.pid), 0);
  close(c.out);
}

TEST(Program, TlsWritesTheCertificateForClientsToTrust) {
#ifdef EWS_SANITIZED
  GTEST_SKIP() << "a sanitized ewssim takes seconds to start; the plain build covers this";
#endif
  auto pem = std::filesystem::temp_directory_path() /
             ("ewssim-prog-cert-" + std::to_string(getpid()) + ".pem");
  Child c = Spawn({"--listen", "127.0.0.1:0", "--tls", "--cert-out", pem.string(), "--user",
                   "alice@example.com:alice-pw"});
  ASSERT_GT(c.pid, 0);
  std::string line = FirstLine(c.out);
  ASSERT_EQ(line.rfind("listening on https://127.0.0.1:", 0), 0u) << line;
  {  // the connection closes before the stop signal
    ews_test::SoapClient client(line.substr(std::string("listening on ").size()),
                                "alice@example.com", "alice-pw", pem.string());
    auto r = client.Post(ews_test::Envelope(
        "<m:GetFolder><m:FolderShape><t:BaseShape>IdOnly</t:BaseShape></m:FolderShape>"
        "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/></m:FolderIds></m:GetFolder>"));
    EXPECT_EQ(r.status, 200);
  }
  kill(c.pid, SIGINT);  // the other stop signal
  EXPECT_EQ(Wait(c.pid), 0);
  close(c.out);
  std::filesystem::remove(pem);
}

TEST(Program, RefusesBadArguments) {
#ifdef EWS_SANITIZED
  GTEST_SKIP() << "a sanitized ewssim takes seconds to start; the plain build covers this";
#endif
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--user", "alice@example.com:pw", "--server-version",
                                 "Exchange2099"},
        std::vector<std::string>{"--listen", "127.0.0.1:0"},  // no users
        std::vector<std::string>{"--user", "not-an-address"}}) {
    Child c = Spawn(args);
    ASSERT_GT(c.pid, 0);
    EXPECT_EQ(Wait(c.pid), 2);
    close(c.out);
  }
}

TEST(StateFile, MailboxesSurviveARestart) {
  auto path = std::filesystem::temp_directory_path() /
              ("ewssim-state-" + std::to_string(getpid()) + ".json");
  std::filesystem::remove(path);
  auto config = ews_test::DefaultSimConfig();
  config.stateFile = path.string();
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
  }
  ASSERT_TRUE(std::filesystem::exists(path));
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
  std::filesystem::remove(path);
}

}  // namespace
