// ews login, autodiscover and profile, run as a user runs them, against an in-process ewssim
// found through its DNS service record.
#include <gtest/gtest.h>

#include "ews_testsupport.h"
#include "test_helpers.h"
#include "test_process.h"

namespace {

const std::string kProgram = std::string(EWS_BINARY_DIR) + "/tools/ews/ews";

TEST(LoginCli, LoginSavesADefaultProfileThatLaterCommandsUse) {
  ews_test::TempDir dir;
  ewssim::Config config = ews_test::DefaultSimConfig();
  // A domain under .localhost: the names tried besides the record's stay on this machine.
  config.users = {{"alice@example.localhost", "alice-pw", "Alice", {}, ""}};
  config.tls = true;
  config.autodiscover.dnsListen = "127.0.0.1:0";
  const int port = ews_test::FreeLoopbackPort();
  config.listen = "127.0.0.1:" + std::to_string(port);
  // The record's target carries the port: a DNS label may hold a colon, and the service URL
  // built from it then reaches this server.
  config.autodiscover.srv["example.localhost"] = {"localhost:" + std::to_string(port), 443};
  ews_test::SimServer sim(config);

  const std::vector<std::string> env = {
      "XDG_CONFIG_HOME=" + dir.File("config"), "XDG_DATA_HOME=" + dir.File("data"),
      "DVEWS_DNS_SERVERS=127.0.0.1:" + std::to_string(sim.Server().DnsPort())};
  auto run = [&](std::vector<std::string> args, std::vector<std::string> extra = {}) {
    args.insert(args.begin(), kProgram);
    extra.insert(extra.end(), env.begin(), env.end());
    return ews_test::RunProgram(args, extra, dir.Path());
  };

  auto login = run({"--insecure", "login", "alice@example.localhost"}, {"EWS_PASSWORD=alice-pw"});
  ASSERT_EQ(login.code, 0) << login.err;
  EXPECT_NE(login.out.find("by DNS service record"), std::string::npos) << login.out;

  // No --url and no password: the default profile has both.
  auto info = run({"--json", "info"});
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("\"mailbox\": \"alice@example.localhost\""), std::string::npos)
      << info.out;

  auto verbose = run({"--insecure", "autodiscover", "--verbose", "alice@example.localhost"},
                     {"EWS_PASSWORD=alice-pw"});
  ASSERT_EQ(verbose.code, 0) << verbose.err;
  EXPECT_NE(verbose.err.find("DNS  _autodiscover._tcp.example.localhost  localhost:"),
            std::string::npos)
      << verbose.err;

  const std::string stored =
      ews_test::ReadFile(dir.File("config") +
                         "/dvews/registry/SOFTWARE/Dovrane/EWS/Profiles/alice@example.localhost/"
                         "values.json");
  EXPECT_NE(stored.find("\"PasswordEncryption\": \"User\""), std::string::npos) << stored;
  EXPECT_EQ(stored.find("alice-pw"), std::string::npos);

  struct Step {
    std::vector<std::string> args;
    int code;
    std::string out;  // a part of the output
  } steps[] = {
      {{"profile", "ls"}, 0, "*        alice@example.localhost"},
      {{"profile", "use", "nothere"}, 2, ""},
      {{"profile", "rm", "alice@example.localhost"}, 0, "removed profile alice@example.localhost"},
      {{"info"}, 2, ""},  // no profile and no --url
  };
  for (const Step& step : steps) {
    auto r = run(step.args);
    EXPECT_EQ(r.code, step.code) << step.args[0] << " " << step.args[1] << "\n" << r.err;
    EXPECT_NE(r.out.find(step.out), std::string::npos) << r.out;
  }
}

}  // namespace
