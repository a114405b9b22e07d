// ewssim: runs the EWS server simulator until SIGINT or SIGTERM.
#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include <ewssim/ewssim.h>

namespace {

void Usage() {
  std::cerr
      << "usage: ewssim [--listen HOST:PORT] [--config FILE] [--user ADDRESS:PASSWORD[:Name]]...\n"
         "              [--server-version NAME] [--seed N] [--tls [--cert-out FILE]] [--state "
         "FILE]\n";
}

}  // namespace

int main(int argc, char** argv) {
  ewssim::Config config;
  std::string listen, version;
  std::vector<ewssim::UserConfig> users;
  int seed = -1;
  bool tls = false;
  std::string state;
  std::string certOut;
  try {
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      auto next = [&]() -> std::string {
        if (i + 1 >= argc) throw std::runtime_error(a + " needs a value");
        return argv[++i];
      };
      if (a == "--listen")
        listen = next();
      else if (a == "--config")
        config = ewssim::Config::FromFile(next());
      else if (a == "--user") {
        ewssim::UserConfig u;
        if (!ewssim::ParseUserArg(next(), u))
          throw std::runtime_error("--user needs ADDRESS:PASSWORD[:Display Name]");
        users.push_back(u);
      } else if (a == "--server-version")
        version = next();
      else if (a == "--seed")
        seed = std::stoi(next());
      else if (a == "--tls")
        tls = true;
      else if (a == "--state")
        state = next();
      else if (a == "--cert-out")
        certOut = next();
      else if (a == "--help" || a == "-h") {
        Usage();
        return 0;
      } else {
        Usage();
        return 2;
      }
    }
    if (!listen.empty()) config.listen = listen;
    for (auto& u : users)
      config.users.push_back(u);
    if (!version.empty()) {
      const auto& known = ewssim::KnownVersions();
      if (std::find(known.begin(), known.end(), version) == known.end())
        throw std::runtime_error("unknown server version " + version);
      config.version.name = version;
    }
    if (seed >= 0) config.seed = {seed, seed, seed};
    if (tls) config.tls = true;
    if (!state.empty()) config.stateFile = state;
    if (config.users.empty()) throw std::runtime_error("no users: give --user or a --config file");
  } catch (const std::exception& e) {
    std::cerr << "ewssim: " << e.what() << "\n";
    return 2;
  }
  // Block the stop signals before any thread starts, then wait for one of them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ewssim::Server server(config);
  try {
    server.Start();
  } catch (const std::exception& e) {
    std::cerr << "ewssim: " << e.what() << "\n";
    return 1;
  }
  if (!certOut.empty() && config.tls) std::ofstream(certOut) << server.CertificatePem();
  std::cout << "listening on " << server.Url() << std::endl;
  int sig = 0;
  sigwait(&signals, &sig);
  server.Stop();
  std::cerr << "ewssim: stopped\n";
  return 0;
}
