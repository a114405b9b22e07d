// ewssim throughput: 1,000-row FindItem pages from a 100,000-item folder, and small GetItem
// requests over keep-alive connections.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "ews_testsupport.h"

namespace {

// CPU time of the whole process (client and in-process server threads), in milliseconds: on a
// busy machine the wall time of a round trip says little, the CPU spent per request does.
double ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

ews_test::SimServer& Sim() {
  static std::unique_ptr<ews_test::SimServer> sim;
  static std::once_flag once;
  std::call_once(once, [] {
    auto config = ews_test::DefaultSimConfig();
    config.users.resize(1);  // alice only
    config.seed = {100000, 0, 0};
    config.threads = 4;
    if (std::getenv("EWSSIM_BENCH_NO_VALIDATION")) config.validateRequests = false;
    sim = std::make_unique<ews_test::SimServer>(config);
  });
  return *sim;
}

std::string FindPage(int offset) {
  return ews_test::Envelope(
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
      "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Subject\"/><t:FieldURI "
      "FieldURI=\"item:DateTimeReceived\"/><t:FieldURI FieldURI=\"message:IsRead\"/>"
      "<t:FieldURI FieldURI=\"message:From\"/></t:AdditionalProperties></m:ItemShape>"
      "<m:IndexedPageItemView MaxEntriesReturned=\"1000\" Offset=\"" +
      std::to_string(offset) +
      "\" BasePoint=\"Beginning\"/><m:ParentFolderIds><t:DistinguishedFolderId Id=\"inbox\"/>"
      "</m:ParentFolderIds></m:FindItem>");
}

void BM_FindItemPage1000(benchmark::State& state) {
  auto& sim = Sim();
  ews_test::SoapClient client(sim.Url(), "alice@example.com", "alice-pw");
  auto warm = client.Post(FindPage(0));  // the sorted view is built once and then reused
  if (warm.status != 200 || warm.body.find("TotalItemsInView=\"100000\"") == std::string::npos) {
    state.SkipWithError("setup failed");
    return;
  }
  int offset = 0;
  size_t bytes = 0;
  double cpuStart = ProcessCpuMs();
  for (auto _ : state) {
    auto r = client.Post(FindPage(offset));
    if (r.status != 200) state.SkipWithError("FindItem failed");
    bytes += r.body.size();
    offset = (offset + 1000) % 99000;
  }
  state.counters["process_cpu_ms_per_page"] =
      (ProcessCpuMs() - cpuStart) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_FindItemPage1000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GetItemKeepAlive(benchmark::State& state) {
  auto& sim = Sim();
  ews_test::SoapClient client(sim.Url(), "alice@example.com", "alice-pw");
  auto page = client.Post(ews_test::Envelope(
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
      "</m:ItemShape><m:IndexedPageItemView MaxEntriesReturned=\"1\" Offset=\"" +
      std::to_string(state.thread_index() * 10) +
      "\" BasePoint=\"Beginning\"/><m:ParentFolderIds><t:DistinguishedFolderId Id=\"inbox\"/>"
      "</m:ParentFolderIds></m:FindItem>"));
  auto start = page.body.find("<t:ItemId ");
  if (start == std::string::npos) {
    state.SkipWithError("setup failed");
    return;
  }
  std::string id = page.body.substr(start, page.body.find("/>", start) + 2 - start);
  const std::string request = ews_test::Envelope(
      "<m:GetItem><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>"
      "<t:FieldURI FieldURI=\"item:Subject\"/></t:AdditionalProperties></m:ItemShape><m:ItemIds>" +
      id + "</m:ItemIds></m:GetItem>");
  double cpuStart = ProcessCpuMs();
  for (auto _ : state) {
    auto r = client.Post(request);
    if (r.status != 200) state.SkipWithError("GetItem failed");
  }
  if (state.thread_index() == 0)
    state.counters["process_cpu_us_per_request"] =
        (ProcessCpuMs() - cpuStart) * 1e3 /
        static_cast<double>(state.iterations() * static_cast<int64_t>(state.threads()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetItemKeepAlive)->Threads(1)->Threads(2)->UseRealTime();

// What schema validation of a small request body costs on its own.
void BM_ValidateSmallRequest(benchmark::State& state) {
  const std::string request = ews_test::Envelope(
      "<m:GetItem><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>"
      "<t:FieldURI FieldURI=\"item:Subject\"/></t:AdditionalProperties></m:ItemShape><m:ItemIds>"
      "<t:ItemId Id=\"AUkAAAEAAAAAAAAA\"/></m:ItemIds></m:GetItem>");
  for (auto _ : state)
    benchmark::DoNotOptimize(ews_test::ValidateEnvelope(request).ok);
}
BENCHMARK(BM_ValidateSmallRequest)
    ->Unit(benchmark::kMicrosecond)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
