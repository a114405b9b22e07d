// Reading a FindItem page: pugixml's raw parse of the bytes against the XML layer's parse plus
// row selection plus each row's subject through path selection. The heap is the plain one here;
// the memory a parse takes is measured by bench_xml_memory, whose counting hooks would slow both
// sides.
#include <benchmark/benchmark.h>

#include <pugixml.hpp>

#include "DvXML.h"
#include "bench_main.h"
#include "findpage.h"

namespace {

using ews_bench::kRows;
using ews_bench::kRowsPath;
using ews_bench::Page;

void SetCounters(benchmark::State& state) {
  const double bytes = static_cast<double>(Page().size());
  state.counters["MB/s"] =
      benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["rows/s"] =
      benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["page_KB"] = bytes / 1024.0;
}

// (a) pugixml alone: parse the same bytes with its default options.
void BM_PugixmlRawParse(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state) {
    pugi::xml_document doc;
    const auto result = doc.load_buffer(page.data(), page.size());
    benchmark::DoNotOptimize(result.status);
  }
  SetCounters(state);
}
BENCHMARK(BM_PugixmlRawParse)->Unit(benchmark::kMillisecond);

// (b) the XML layer: checked parse, the page's rows, each row's subject by path.
void BM_DvParseRowsAndSubjects(benchmark::State& state) {
  const std::string& page = Page();
  std::size_t total = 0;
  for (auto _ : state) {
    const auto doc = dv::DvCreateDOM(page);
    const auto rows = doc->CreateElementList(kRowsPath);
    for (int i = 0; i < rows->Count(); ++i) {
      total += rows->GetItem(i)->SelectSingleElement("Subject")->GetAsString().size();
    }
    if (rows->Count() != kRows) state.SkipWithError("wrong row count");
  }
  benchmark::DoNotOptimize(total);
  SetCounters(state);
}
BENCHMARK(BM_DvParseRowsAndSubjects)->Unit(benchmark::kMillisecond);

// The parts of (b): the checked parse alone, and the selections on a parsed page.
void BM_DvParseOnly(benchmark::State& state) {
  const std::string& page = Page();
  for (auto _ : state)
    benchmark::DoNotOptimize(dv::DvCreateDOM(page));
  SetCounters(state);
}
BENCHMARK(BM_DvParseOnly)->Unit(benchmark::kMillisecond);

void BM_DvSelectRowsAndSubjects(benchmark::State& state) {
  const auto doc = dv::DvCreateDOM(Page());
  std::size_t total = 0;
  for (auto _ : state) {
    const auto rows = doc->CreateElementList(kRowsPath);
    for (int i = 0; i < rows->Count(); ++i) {
      total += rows->GetItem(i)->SelectSingleElement("Subject")->GetAsString().size();
    }
  }
  benchmark::DoNotOptimize(total);
  state.counters["rows/s"] =
      benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DvSelectRowsAndSubjects)->Unit(benchmark::kMicrosecond);

// Every row's id through a '//' search of the whole page.
void BM_DvDescendantSelect(benchmark::State& state) {
  const auto doc = dv::DvCreateDOM(Page());
  std::size_t total = 0;
  for (auto _ : state) {
    const auto ids = doc->CreateElementList("//ItemId");
    for (int i = 0; i < ids->Count(); ++i)
      total += ids->GetItem(i)->GetAttribute("Id").size();
    if (ids->Count() != kRows) state.SkipWithError("wrong id count");
  }
  benchmark::DoNotOptimize(total);
  state.counters["rows/s"] =
      benchmark::Counter(kRows, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DvDescendantSelect)->Unit(benchmark::kMicrosecond);

// Selection cost grows linearly with the page: rows of pages of 250 to 4000 messages.
void BM_DvSelectScaling(benchmark::State& state) {
  const int copies = static_cast<int>(state.range(0));
  auto doc = dv::DvCreateDOM();
  const auto items = doc->CreateDocumentElement("t:Items");
  const auto sample = dv::DvCreateDOM(Page())->SelectSingleElement(kRowsPath);
  for (int i = 0; i < copies; ++i)
    items->AppendCopy(sample);
  std::size_t total = 0;
  for (auto _ : state) {
    const auto rows = items->CreateElementList("*");
    for (int i = 0; i < rows->Count(); ++i) {
      total +=
          rows->GetItem(i)->SelectSingleElement("From/Mailbox/EmailAddress")->GetAsString().size();
    }
  }
  benchmark::DoNotOptimize(total);
  state.SetComplexityN(copies);
}
BENCHMARK(BM_DvSelectScaling)
    ->RangeMultiplier(2)
    ->Range(250, 4000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return ews_bench::RunKeepingFreedMemory(argc, argv);
}
