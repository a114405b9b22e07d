// Reading a FindItem page: pugixml's raw parse of the bytes against the XML layer's parse plus
// row selection plus each row's subject through path selection; and the memory a large response
// takes while it is parsed.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include <pugixml.hpp>

#include "DvXML.h"

namespace {

constexpr int kRows = 1000;
constexpr const char* kRowsPath =
    "/Envelope/Body/FindItemResponse/ResponseMessages/FindItemResponseMessage/RootFolder/"
    "Items/*";

// A long opaque id the way Exchange makes them (Base64 of a binary entry id).
std::string LongId(int i) {
  std::string id = "AAMkADk0ZDc2NGI4LWQ1ZjItNDBkMS05ZTA3LTE2NjQxNzE1NTI2ZABGAAAAAAA4QjdF";
  id += "kT0xTKzYOHpVwRdKBwBGAcsDPv2nS5XjKmZ3ddVLAAAAAAEMAABGAcsDPv2nS5XjKmZ3ddVLAAAC";
  id += std::to_string(100000 + i) + "AAA=";
  return id;
}

std::string BuildFindItemResponse(int rows = kRows) {
  std::string x;
  x.reserve(static_cast<std::size_t>(rows) * 1100 + 4096);
  x += "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header>"
       "<h:ServerVersionInfo MajorVersion=\"15\" MinorVersion=\"20\" MajorBuildNumber=\"7228\" "
       "MinorBuildNumber=\"30\" Version=\"V2018_01_08\" "
       "xmlns:h=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
       "xmlns=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
       "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"/></s:Header>"
       "<s:Body><m:FindItemResponse "
       "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
       "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
       "<m:ResponseMessages><m:FindItemResponseMessage ResponseClass=\"Success\">"
       "<m:ResponseCode>NoError</m:ResponseCode>"
       "<m:RootFolder IndexedPagingOffset=\"1000\" TotalItemsInView=\"4711\" "
       "IncludesLastItemInRange=\"false\"><t:Items>";
  for (int i = 0; i < rows; ++i) {
    const std::string n = std::to_string(i);
    x +=
        "<t:Message><t:ItemId Id=\"" + LongId(i) +
        "\" ChangeKey=\"CQAAABYAAABGAcsDPv2nS5XjKmZ3ddVLAAAC" + n +
        "Ab\"/><t:ParentFolderId Id=\"AAMkADk0ZDc2NGI4LWQ1ZjItNDBkMS05ZTA3LTE2NjQxNzE1NTI2ZAAu"
        "AAAAAAA4QjdFkT0xTKzYOHpVwRdKAQBGAcsDPv2nS5XjKmZ3ddVLAAAAAAEMAAA=\" "
        "ChangeKey=\"AQAAAA==\"/><t:ItemClass>IPM.Note</t:ItemClass>"
        "<t:Subject>Quarterly report &amp; planning, part " +
        n + "</t:Subject><t:Sensitivity>Normal</t:Sensitivity><t:Size>" +
        std::to_string(4096 + i * 13) +
        "</t:Size><t:DateTimeSent>2026-11-30T09:" + std::to_string(10 + i % 50) +
        ":00Z</t:DateTimeSent><t:DateTimeCreated>2026-11-30T09:" + std::to_string(10 + i % 50) +
        ":02Z</t:DateTimeCreated><t:DateTimeReceived>2026-11-30T09:" + std::to_string(10 + i % 50) +
        ":01Z</t:DateTimeReceived><t:HasAttachments>false</t:HasAttachments>"
        "<t:Importance>Normal</t:Importance><t:IsDraft>false</t:IsDraft>"
        "<t:From><t:Mailbox><t:Name>Sender Number " +
        n + "</t:Name><t:EmailAddress>sender" + n +
        "@example.com</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType>"
        "<t:MailboxType>OneOff</t:MailboxType></t:Mailbox></t:From>"
        "<t:ConversationId Id=\"AAQkADk0ZDc2NGI4LWQ1ZjItNDBkMS05ZTA3LTE2NjQxNzE1NTI2ZAAQAC" +
        n + "\"/><t:IsRead>" + (i % 3 ? "true" : "false") + "</t:IsRead></t:Message>";
  }
  x += "</t:Items></m:RootFolder></m:FindItemResponseMessage></m:ResponseMessages>"
       "</m:FindItemResponse></s:Body></s:Envelope>";
  return x;
}

const std::string& Page() {
  static const std::string page = BuildFindItemResponse();
  return page;
}

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

// Heap bytes in use and their high-water mark, counted by the allocation hooks below (operator
// new for strings and wrappers, pugixml's allocation functions for its tree).
std::atomic<std::size_t> gLive{0}, gPeak{0};

void* CountedAlloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p) {
    const std::size_t live = gLive += malloc_usable_size(p);
    std::size_t peak = gPeak.load();
    while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
    }
  }
  return p;
}

void CountedFree(void* p) {
  if (!p) return;
  gLive -= malloc_usable_size(p);
  std::free(p);
}

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

void* operator new(std::size_t size) {
  if (void* p = CountedAlloc(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* p) noexcept {
  CountedFree(p);
}
void operator delete[](void* p) noexcept {
  CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
  CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  CountedFree(p);
}

int main(int argc, char** argv) {
  pugi::set_memory_management_functions(CountedAlloc, CountedFree);
  // Both sides allocate about the page's size per iteration. Left to its defaults glibc returns
  // such blocks to the system on free and maps them again on the next parse, so page faults (not
  // parsing) would dominate, and unevenly: keep freed memory in the process for every case.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
