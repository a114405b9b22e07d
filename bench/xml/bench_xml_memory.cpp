// The memory a large FindItem answer takes while the XML layer parses it, counted by allocation
// hooks on operator new and pugixml's allocation functions.
#include <benchmark/benchmark.h>

#include <algorithm>

#include <pugixml.hpp>

#include "DvXML.h"
#include "bench_main.h"
#include "counted_heap.h"
#include "findpage.h"

namespace {

using ews_bench::BuildFindItemResponse;
using ews_bench::CountedAlloc;
using ews_bench::CountedFree;
using ews_bench::gLive;
using ews_bench::gPeak;
using ews_bench::kRows;
using ews_bench::kRowsPath;

// A 50 MB FindItem answer as it comes from the HTTP layer (a body the size of the response),
// parsed and walked row by row: handed over (/1, the SOAP layer's road) or lent as a view (/0,
// which copies it). peak_x_body: the memory in use at the worst moment, body included, as a
// multiple of the body's size; tree_x_body: what the parse adds for good besides the text.
void BM_DvParseMemory(benchmark::State& state) {
  static const std::string large = BuildFindItemResponse(50 * kRows);
  double peakRatio = 0, treeRatio = 0;
  std::size_t total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const std::size_t before = gLive.load();
    std::string body = large;
    gPeak = gLive.load();
    state.ResumeTiming();
    const auto doc =
        state.range(0) ? dv::DvCreateDOM(std::move(body)) : dv::DvCreateDOM(std::string_view(body));
    if (!state.range(0)) std::string().swap(body);
    const std::size_t parsed = gLive.load() - before;
    const auto rows = doc->CreateElementList(kRowsPath);
    for (int i = 0; i < rows->Count(); ++i)
      total += rows->GetItem(i)->SelectSingleElement("Subject")->GetAsString().size();
    const double size = static_cast<double>(large.size());
    peakRatio = std::max(peakRatio, static_cast<double>(gPeak.load() - before) / size);
    treeRatio = static_cast<double>(parsed) / size - 1.0;
  }
  benchmark::DoNotOptimize(total);
  state.counters["body_MB"] = static_cast<double>(large.size()) / 1e6;
  state.counters["peak_x_body"] = peakRatio;
  state.counters["tree_x_body"] = treeRatio;
}
BENCHMARK(BM_DvParseMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  pugi::set_memory_management_functions(CountedAlloc, CountedFree);
  return ews_bench::RunKeepingFreedMemory(argc, argv);
}
