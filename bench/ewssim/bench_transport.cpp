// ewssim's transport under load: keep-alive clients doing GetFolder, with and without 1,000 idle
// connections open beside them. Reports requests per second (items_per_second) and each
// client's 99th percentile latency.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ews_testsupport.h"

namespace {

ews_test::SimServer& Sim() {
  static std::unique_ptr<ews_test::SimServer> sim;
  static std::once_flag once;
  std::call_once(once, [] {
    // Each idle connection takes a descriptor on both ends.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 8192));
    setrlimit(RLIMIT_NOFILE, &limit);
    auto config = ews_test::DefaultSimConfig();
    config.users.resize(1);  // alice only
    config.threads = 4;
    config.headerTimeoutSeconds = 3600;  // the idle connections stay for the whole run
    config.keepAliveSeconds = 3600;
    sim = std::make_unique<ews_test::SimServer>(config);
  });
  return *sim;
}

// Opens or closes plain connections that never send anything, until `count` are open.
void IdleConnections(std::size_t count) {
  static std::mutex lock;
  static std::vector<int> open;
  std::lock_guard<std::mutex> guard(lock);
  while (open.size() > count) {
    close(open.back());
    open.pop_back();
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(Sim().Port()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (open.size() < count) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      if (fd >= 0) close(fd);
      break;
    }
    open.push_back(fd);
  }
}

void BM_GetFolderKeepAlive(benchmark::State& state) {
  auto& sim = Sim();
  IdleConnections(static_cast<std::size_t>(state.range(0)));
  ews_test::SoapClient client(sim.Url(), "alice@example.com", "alice-pw");
  const std::string request = ews_test::Envelope(
      "<m:GetFolder><m:FolderShape><t:BaseShape>Default</t:BaseShape></m:FolderShape>"
      "<m:FolderIds><t:DistinguishedFolderId Id=\"inbox\"/></m:FolderIds></m:GetFolder>");
  std::vector<double> latencies;
  latencies.reserve(100000);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto r = client.Post(request);
    latencies.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (r.status != 200) state.SkipWithError("GetFolder failed");
  }
  if (!latencies.empty()) {
    const std::size_t at = latencies.size() * 99 / 100;
    std::nth_element(latencies.begin(), latencies.begin() + static_cast<std::ptrdiff_t>(at),
                     latencies.end());
    state.counters["p99_ms"] = benchmark::Counter(latencies[at], benchmark::Counter::kAvgThreads);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetFolderKeepAlive)
    ->ArgName("idle")
    ->Arg(0)
    ->Arg(1000)
    ->Threads(8)
    ->Threads(32)
    ->UseRealTime()
    ->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
