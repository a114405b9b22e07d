// ewssim: runs the EWS server simulator until SIGINT or SIGTERM.
#include <pthread.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <iostream>
#include <string>

#include <ewssim/ewssim.h>

#ifndef EWSSIM_VERSION
#define EWSSIM_VERSION "unknown"
#endif

namespace {

// Exit codes (also listed by --help).
constexpr int kExitStopped = 0;
constexpr int kExitCannotStart = 1;
constexpr int kExitUsage = 2;

constexpr const char* kFooter =
    R"(Passwords: prefer --users-file or ADDRESS:@FILE to keep them off the command line
(and out of `ps`). A users file has one ADDRESS:PASSWORD[:Display Name] a line; blank lines
and lines starting with # are skipped.

The EWS schema is built in; EWSSIM_SCHEMA_DIR=DIR (environment) reads ews-validate.xsd,
types.xsd and messages.xsd from DIR instead.

Examples:
  ewssim --user alice@example.com:secret:"Alice Archer" --seed 20
  ewssim --listen 127.0.0.1:8443 --tls --cert-out ca.pem --users-file users.txt
  ewssim --config ewssim.json --state mailboxes.json

Exit codes:
  0  stopped by SIGINT or SIGTERM
  1  could not start (port in use, schema, certificate or state file)
  2  invalid arguments or configuration)";

// "ADDRESS:@FILE" takes the password from the first line of FILE; anything else is
// "ADDRESS:PASSWORD[:Display Name]".
ewssim::UserConfig UserFromArg(const std::string& arg) {
  ewssim::UserConfig u;
  auto colon = arg.find(':');
  if (colon != std::string::npos && arg.compare(colon + 1, 1, "@") == 0) {
    u.address = arg.substr(0, colon);
    std::string file = arg.substr(colon + 2);
    std::ifstream in(file);
    if (!in) throw std::runtime_error("--user: cannot read the password file " + file);
    std::getline(in, u.password);
    if (!u.password.empty() && u.password.back() == '\r') u.password.pop_back();
    if (u.address.find('@') != std::string::npos && !u.password.empty()) return u;
    throw std::runtime_error("--user: expected ADDRESS:@FILE with a password in FILE");
  }
  if (!ewssim::ParseUserArg(arg, u))
    throw std::runtime_error("--user: expected ADDRESS:PASSWORD[:Display Name] or ADDRESS:@FILE");
  return u;
}

// CLI::ExistingFile without the text it adds to the option's type name in --help.
CLI::Validator ExistingFile() {
  CLI::Validator v = CLI::ExistingFile;
  v.description("");
  return v;
}

std::string VersionNames() {
  std::string names;
  for (const auto& v : ewssim::KnownVersions())
    names += (names.empty() ? "" : ", ") + v;
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "ewssim: an Exchange Web Services server simulator. Prints \"listening on URL\" "
      "once it serves, and runs until SIGINT or SIGTERM.",
      "ewssim");
  app.set_version_flag("--version", std::string("ewssim ") + EWSSIM_VERSION);
  app.footer(kFooter);
  app.get_formatter()->column_width(28);

  std::string dns;
  std::string listen, configFile, usersFile, version, state, certOut;
  std::vector<std::string> userArgs;
  int seed = -1;
  bool tls = false;
  app.add_option("--listen", listen,
                 "Address to serve on, HOST:PORT; port 0 picks a free one (default "
                 "127.0.0.1:0). E.g. --listen 127.0.0.1:8443, --listen [::1]:0")
      ->type_name("HOST:PORT")
      ->check(
          [](const std::string& value) {
            try {
              std::string host;
              int port = 0;
              ewssim::ParseListen(value, host, port);
              return std::string();
            } catch (const std::exception& e) {
              return std::string(e.what());
            }
          },
          "", "listen address");
  app.add_option("--dns", dns,
                 "Also answer DNS queries for _autodiscover._tcp SRV records (configuration "
                 "\"autodiscover\".\"srv\") on this UDP address. E.g. --dns 127.0.0.1:5353")
      ->type_name("HOST:PORT");
  app.add_option("--config", configFile,
                 "JSON configuration file (see README.md); flags override it. "
                 "E.g. --config ewssim.json")
      ->type_name("FILE")
      ->check(ExistingFile());
  app.add_option("--user", userArgs,
                 "A mailbox user, repeatable: ADDRESS:PASSWORD[:Display Name], or ADDRESS:@FILE "
                 "for the password in FILE's first line. E.g. --user alice@example.com:@alice.pw")
      ->type_name("ADDRESS:PASSWORD[:NAME]")
      ->allow_extra_args(false);
  app.add_option("--users-file", usersFile,
                 "Mailbox users, one ADDRESS:PASSWORD[:Display Name] a line, # comments. "
                 "E.g. --users-file users.txt")
      ->type_name("FILE")
      ->check(ExistingFile());
  app.add_option("--server-version", version,
                 "Exchange version to report and accept (default Exchange2016). "
                 "E.g. --server-version Exchange2013_SP1")
      ->type_name("NAME")
      ->check(
          [](const std::string& value) {
            const auto& known = ewssim::KnownVersions();
            return std::find(known.begin(), known.end(), value) != known.end()
                       ? std::string()
                       : "unknown server version " + value + " (known: " + VersionNames() + ")";
          },
          "", "server version");
  app.add_option("--seed", seed,
                 "Sample messages, calendar items and contacts made in every mailbox. "
                 "E.g. --seed 20")
      ->type_name("N")
      ->check(
          [](const std::string& value) {
            bool digits = !value.empty() && value.size() <= 6 &&
                          value.find_first_not_of("0123456789") == std::string::npos;
            return digits && std::stoi(value) <= 100000
                       ? std::string()
                       : "expected a whole number from 0 to 100000, got \"" + value + "\"";
          },
          "", "seed");
  auto* tlsFlag = app.add_flag("--tls", tls,
                               "Serve HTTPS with a self-signed certificate (or the configuration's "
                               "certificate). E.g. --tls --cert-out ca.pem");
  app.add_option("--cert-out", certOut,
                 "With --tls: write the server certificate (PEM) for clients to trust. "
                 "E.g. --cert-out ca.pem")
      ->type_name("FILE")
      ->needs(tlsFlag);
  auto* stateOption =
      app.add_option("--state", state,
                     "Keep the mailboxes in FILE: loaded at start when it exists, written within "
                     "a second of every change. E.g. --state mailboxes.json")
          ->type_name("FILE");
  bool stateReset = false;
  app.add_flag("--state-reset", stateReset,
               "Start with empty mailboxes whatever the state file holds (one that cannot be read "
               "refuses the start otherwise). E.g. --state mb.json --state-reset")
      ->needs(stateOption);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "ewssim: " << e.what() << "\nRun ewssim --help for the options.\n";
    return kExitUsage;
  }

  ewssim::Config config;
  try {
    if (!configFile.empty()) config = ewssim::Config::FromFile(configFile);
    if (!listen.empty()) config.listen = listen;
    if (!dns.empty()) config.autodiscover.dnsListen = dns;
    if (!usersFile.empty())
      for (auto& u : ewssim::ReadUsersFile(usersFile))
        config.users.push_back(std::move(u));
    for (const auto& arg : userArgs)
      config.users.push_back(UserFromArg(arg));
    if (!version.empty()) config.version.name = version;
    if (seed >= 0) config.seed = {seed, seed, seed};
    if (tls) config.tls = true;
    if (!state.empty()) config.stateFile = state;
    if (stateReset) config.stateReset = true;
    std::string host;
    int port = 0;
    ewssim::ParseListen(config.listen, host, port);  // also the configuration's "listen"
    if (config.users.empty())
      throw std::runtime_error("no users: give --user, --users-file or a --config file");
  } catch (const std::exception& e) {
    std::cerr << "ewssim: " << e.what() << "\n";
    return kExitUsage;
  }
  // Block the stop signals before any thread starts, then wait for one of them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A state file beyond the file size limit fails its write (reported) instead of killing us.
  std::signal(SIGXFSZ, SIG_IGN);
  ewssim::Server server(config);
  try {
    server.Start();
  } catch (const std::exception& e) {
    std::cerr << "ewssim: " << e.what() << "\n";
    return kExitCannotStart;
  }
  if (!certOut.empty() && config.tls) std::ofstream(certOut) << server.CertificatePem();
  std::cout << "listening on " << server.Url() << std::endl;
  if (server.DnsPort() > 0) std::cout << "DNS on udp port " << server.DnsPort() << std::endl;
  int sig = 0;
  sigwait(&signals, &sig);
  server.Stop();
  std::cerr << "ewssim: stopped\n";
  return kExitStopped;
}
