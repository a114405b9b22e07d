// Paging through a 10,000-item folder with five columns against an in-process ewssim.
//
// The library runs on the benchmark's thread and the simulator on its own threads, so the
// thread's CPU time is the library's (request building, HTTP, parsing, reading the columns) and
// the rest of the wall time is spent waiting for the server.
#include <benchmark/benchmark.h>

#include <ctime>

#include "bench_support.h"
#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSFolder.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

void BM_PageThrough10000Items(benchmark::State& state) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.seed.messages = 10000;
  config.validateRequests = false;
  ews_test::SimServer sim(config);
  TDvEWSCustomSession session;
  ews_bench::LogOn(session, sim);
  auto store = session.OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  const int pageSize = static_cast<int>(state.range(0));

  double cpu = 0, wall = 0;
  std::int64_t rows = 0, requests = 0;
  for (auto _ : state) {
    auto items = inbox->GetItems();
    auto* table = dynamic_cast<TDvEWSTable*>(items.get());
    table->SetPageSize(pageSize);
    TDvEWSFields& fields = items->GetFields();
    fields.Add(FLD_ITEM_SUBJECT);
    fields.Add(FLD_ITEM_DATETIMERECEIVED);
    fields.Add(FLD_MESSAGE_ISREAD);
    fields.Add(FLD_ITEM_SIZE);
    fields.Add(FLD_ITEM_ITEMCLASS);
    const double c0 = ews_bench::ThreadCpuSeconds(), w0 = ews_bench::WallSeconds();
    std::size_t sum = 0;
    for (items->Open(); !items->Eof(); items->Next()) {
      for (int i = 0; i < fields.Count(); ++i)
        sum += fields.At(i)->GetAsString().size();
      ++rows;
      if (table->GetRowIndex() == 0) ++requests;
    }
    cpu += ews_bench::ThreadCpuSeconds() - c0;
    wall += ews_bench::WallSeconds() - w0;
    benchmark::DoNotOptimize(sum);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.counters["requests_per_s"] = static_cast<double>(requests) / wall;
  state.counters["lib_cpu_us_per_row"] = cpu * 1e6 / static_cast<double>(rows);
  state.counters["wait_us_per_row"] = (wall - cpu) * 1e6 / static_cast<double>(rows);
}
BENCHMARK(BM_PageThrough10000Items)
    ->Arg(50)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
