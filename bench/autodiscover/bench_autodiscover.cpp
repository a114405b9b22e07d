// What an unreachable autodiscover candidate costs: a host that takes the connection and never
// answers holds each probe until its 1000 ms time-out, so a discovery that tries every candidate
// in vain takes about a second per candidate.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "uDvEWS.h"

namespace {

// A loopback port whose connections the kernel completes but nobody ever reads.
class SilentPort {
 public:
  SilentPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 128);
    socklen_t length = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
  }
  ~SilentPort() { close(fd_); }
  int Port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

void BM_UnreachableCandidates(benchmark::State& state) {
  SilentPort silent;
  // The five candidates of "user@localhost:PORT" (https and http, with and without the
  // autodiscover. and www. prefixes) all reach the silent port.
  constexpr int kCandidates = 5;
  for (auto _ : state) {
    dv::TDvEWSCustomSession session;
    session.SetCredentials(dv::TDvCredentials("user", "secret"));
    try {
      session.Autodiscover("user@localhost:" + std::to_string(silent.Port()));
      state.SkipWithError("a silent host passed the probe");
    } catch (const dv::EEWSException&) {
      // "Failed to determine the Autodiscover URL!": every candidate timed out.
    }
  }
  state.counters["seconds_per_candidate"] = benchmark::Counter(
      static_cast<double>(kCandidates),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UnreachableCandidates)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
