// Notifications from ewssim to the application's handlers: events per second, and the time from
// an item's creation to its handler call at 1,000 events a second (target: p99 under 50 ms on
// loopback). Handlers run on the monitoring thread (ThreadedEvents), so the figures are the
// stream's and the splitter's, not a main loop's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSNotifications.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string CreateBatch(int count) {
  std::string items;
  for (int i = 0; i < count; ++i)
    items += "<t:Message><t:Subject>bench</t:Subject></t:Message>";
  return ews_test::Envelope(
      "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>"
      "<t:DistinguishedFolderId Id=\"inbox\"/></m:SavedItemFolderId><m:Items>" +
      items + "</m:Items></m:CreateItem>");
}

// A watched inbox: every Created event's arrival time is recorded.
struct Watched {
  ews_test::SimServer sim{[] {
    ewssim::Config c = ews_test::DefaultSimConfig();
    c.threads = 8;
    return c;
  }()};
  dv::TDvEWSCustomSession session;
  dv::TDvEWSFolderEvents events;
  std::mutex lock;
  std::vector<Clock::time_point> arrivals;
  std::atomic<long> seen{0};
  ews_test::SoapClient writer{sim.Url(), "alice@example.com", "alice-pw"};

  Watched() {
    ews_bench::LogOn(session, sim);
    auto inbox =
        session.OpenDefaultMsgStore()->GetFolder(dv::TDistinguishedFolderIdName::dfininbox);
    events.SetThreadedEvents(true);
    events.SetOnItemCreated(
        [this](const dv::DvEWSFolderPtr&, dv::TDateTime, const dv::TItemId&, const dv::TItemId&) {
          const auto now = Clock::now();
          std::lock_guard<std::mutex> g(lock);
          arrivals.push_back(now);
          seen.store(static_cast<long>(arrivals.size()));
        });
    events.Subscribe(inbox);
    events.Start();
    while (sim.Server().OpenStreams() == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~Watched() { events.Stop(); }
  void WaitFor(long count) {
    while (seen.load() < count)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
};

void BM_EventsPerSecond(benchmark::State& state) {
  Watched w;
  const int batch = static_cast<int>(state.range(0));
  const std::string request = CreateBatch(batch);
  long expected = 0;
  for (auto _ : state) {
    w.writer.Post(request);
    expected += batch;
    w.WaitFor(expected);
  }
  state.SetItemsProcessed(expected);
}
BENCHMARK(BM_EventsPerSecond)->Arg(1)->Arg(50)->UseRealTime()->Unit(benchmark::kMillisecond);

// One second at 1,000 events a second: a request creating 10 items every 10 ms. Latency is
// counted from the moment the request was sent, so it includes the creation itself.
void BM_CreationToHandlerLatency(benchmark::State& state) {
  Watched w;
  const std::string request = CreateBatch(10);
  std::vector<Clock::time_point> sent;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (int k = 0; k < 100; ++k) {
      const auto at = Clock::now();
      sent.insert(sent.end(), 10, at);
      w.writer.Post(request);
      std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (k + 1)));
    }
    w.WaitFor(static_cast<long>(sent.size()));
  }
  std::vector<double> ms;
  {
    std::lock_guard<std::mutex> g(w.lock);
    for (size_t i = 0; i < sent.size() && i < w.arrivals.size(); ++i)
      ms.push_back(std::chrono::duration<double, std::milli>(w.arrivals[i] - sent[i]).count());
  }
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) { return ms.empty() ? 0 : ms[static_cast<size_t>(q * (ms.size() - 1))]; };
  state.counters["p50_ms"] = at(0.50);
  state.counters["p99_ms"] = at(0.99);
  state.counters["max_ms"] = ms.empty() ? 0 : ms.back();
  state.SetItemsProcessed(static_cast<long>(sent.size()));
}
BENCHMARK(BM_CreationToHandlerLatency)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
