// Marking items read against an in-process ewssim: for each item one load (GetItem), one change
// (IsRead), one save (UpdateItem) and the reload that follows (GetItem). Reported: requests per
// second, and per save the library's CPU time on the calling thread beside the time spent
// waiting for the server (wall time less that CPU time).
#include <benchmark/benchmark.h>

#include <time.h>

#include <memory>
#include <vector>

#include "bench_support.h"
#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSMessage.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

constexpr int kItems = 1000;

void BM_MarkItemsRead(benchmark::State& state) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.threads = 2;
  config.seed.messages = kItems;
  ews_test::SimServer sim(config);
  TDvEWSCustomSession session;
  ews_bench::LogOn(session, sim);
  auto store = session.OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  std::vector<TItemId> ids;
  auto table = inbox->GetItems();
  table->Open();
  for (table->First(); !table->Eof() && static_cast<int>(ids.size()) < kItems; table->Next())
    ids.push_back(table->GetItemId());
  if (ids.empty()) {
    state.SkipWithError("The seeded inbox is empty");
    return;
  }

  double cpu = 0, wall = 0;
  std::int64_t saves = 0;
  bool read = true;
  for (auto _ : state) {
    for (const TItemId& id : ids) {
      const double c0 = ews_bench::ThreadCpuSeconds(), w0 = ews_bench::WallSeconds();
      auto mail = std::dynamic_pointer_cast<IDvEWSEMail>(inbox->GetItem(id));
      mail->SetIsRead(read);
      mail->SaveChanges(TDvEWSSaveOption::soAutoResolve);
      benchmark::DoNotOptimize(mail->GetIsRead());
      cpu += ews_bench::ThreadCpuSeconds() - c0;
      wall += ews_bench::WallSeconds() - w0;
      ++saves;
    }
    read = !read;
  }
  // Three requests per item: the load, the UpdateItem and the reload.
  state.counters["requests/s"] =
      benchmark::Counter(static_cast<double>(saves * 3), benchmark::Counter::kIsRate);
  state.counters["cpu_us/save"] = cpu / static_cast<double>(saves) * 1e6;
  state.counters["wait_us/save"] = (wall - cpu) / static_cast<double>(saves) * 1e6;
  state.counters["items"] = static_cast<double>(ids.size());
}
BENCHMARK(BM_MarkItemsRead)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
