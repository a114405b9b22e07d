// The life of 1,000 messages against an in-process ewssim: created in batches of 100, paged
// through with two columns and pages of 100, loaded in batches of 100, and removed with their
// folder. Each phase reports its requests and the library's CPU time per item (the benchmark
// thread's CPU: the simulator runs on threads of its own).
//
// Requests are counted in a separate pass with the trace hook on, so that the hook's copying and
// masking of each envelope is not charged to the timed passes.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench_main.h"
#include "bench_support.h"
#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSBatch.h"
#include "uDvEWSFolder.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

constexpr int kItems = 1000;
constexpr int kChunk = 100;

struct TPhases {
  double Create = 0, Page = 0, Load = 0, Delete = 0;
};

// One run of the workload; adds each phase's thread CPU seconds to `cpu`.
void RunWorkload(TDvEWSCustomSession& session, TPhases& cpu, int& rows) {
  auto store = session.OpenDefaultMsgStore();
  auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
  const TItemId folderId = inbox->CreateFolder(TSetFolderFieldType::sffFolder, "Batch bench");
  auto folder = store->GetFolder(folderId);
  TDvEWSBatch batch(store);
  batch.SetChunkSize(kChunk);

  std::vector<DvEWSItemPtr> items;
  items.reserve(kItems);
  double c0 = ews_bench::ThreadCpuSeconds();
  for (int i = 0; i < kItems; ++i) {
    DvEWSItemPtr item = folder->CreateItem(TItemType::tMessage);
    item->SetSubject("Batch message " + std::to_string(i));
    item->SetBodyText("Body of message " + std::to_string(i));
    items.push_back(std::move(item));
  }
  const TDvEWSBatchResults created = batch.SaveItems(items);
  cpu.Create += ews_bench::ThreadCpuSeconds() - c0;
  items.clear();

  c0 = ews_bench::ThreadCpuSeconds();
  auto table = folder->GetItems();
  dynamic_cast<TDvEWSTable*>(table.get())->SetPageSize(kChunk);
  TDvEWSFields& fields = table->GetFields();
  fields.Add(FLD_ITEM_SUBJECT);
  fields.Add(FLD_ITEM_DATETIMERECEIVED);
  std::vector<TItemId> ids;
  ids.reserve(kItems);
  std::size_t sum = 0;
  for (table->Open(); !table->Eof(); table->Next()) {
    sum += fields.At(0)->GetAsString().size() + fields.At(1)->GetAsString().size();
    ids.push_back(table->GetItemId());
  }
  cpu.Page += ews_bench::ThreadCpuSeconds() - c0;
  rows = static_cast<int>(ids.size());

  c0 = ews_bench::ThreadCpuSeconds();
  const TDvEWSBatchResults loaded = batch.GetItems(ids);
  for (const TDvEWSBatchResult& r : loaded)
    if (r.Ok) sum += r.Item->GetSubject().size();
  cpu.Load += ews_bench::ThreadCpuSeconds() - c0;
  benchmark::DoNotOptimize(sum);

  c0 = ews_bench::ThreadCpuSeconds();
  inbox->DeleteFolder(folderId, TDvEWSFolderDeleteType::dtHardDelete);
  cpu.Delete += ews_bench::ThreadCpuSeconds() - c0;
  for (const auto* list : {&created, &loaded})
    for (const TDvEWSBatchResult& r : *list)
      if (!r.Ok) throw Exception("Batch entry failed: " + r.Message);
}

void BM_BatchLifeOf1000Messages(benchmark::State& state) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.validateRequests = false;
  ews_test::SimServer sim(config);
  TDvEWSCustomSession session;
  ews_bench::LogOn(session, sim);

  // The counting pass: the operations of each request, in order.
  std::vector<std::string> ops;
  session.SetOnSOAPTrace([&](const TDvSOAPTrace& t) {
    if (t.Kind != TDvSOAPTrace::TKind::tkRequest) return;
    const std::size_t body = t.Content.find("Body>");
    const std::size_t start = t.Content.find(':', body) + 1;
    ops.push_back(t.Content.substr(start, t.Content.find_first_of(" >/", start) - start));
  });
  TPhases ignored;
  int rows = 0;
  RunWorkload(session, ignored, rows);
  session.SetOnSOAPTrace(nullptr);
  int create = 0, page = 0, load = 0, other = 0;
  for (const std::string& op : ops) {
    if (op == "CreateItem")
      ++create;
    else if (op == "FindItem")
      ++page;
    else if (op == "GetItem")
      ++load;
    else
      ++other;
  }

  TPhases cpu;
  for (auto _ : state)
    RunWorkload(session, cpu, rows);
  const double n = static_cast<double>(state.iterations());
  state.counters["requests_total"] = static_cast<double>(ops.size());
  state.counters["requests_create"] = create;
  state.counters["requests_page"] = page;
  state.counters["requests_load"] = load;
  state.counters["requests_other"] = other;
  state.counters["create_cpu_us_per_item"] = cpu.Create * 1e6 / (n * kItems);
  state.counters["page_cpu_us_per_row"] = cpu.Page * 1e6 / (n * rows);
  state.counters["load_cpu_us_per_item"] = cpu.Load * 1e6 / (n * kItems);
  state.counters["delete_cpu_ms"] = cpu.Delete * 1e3 / n;
}
BENCHMARK(BM_BatchLifeOf1000Messages)->Unit(benchmark::kMillisecond)->Iterations(3);

// The same create and load item by item (SaveChanges and IDvEWSMsgStore::GetItem per message),
// for comparison: one request per item each.
void BM_ItemByItem(benchmark::State& state) {
  ewssim::Config config = ews_test::DefaultSimConfig();
  config.validateRequests = false;
  ews_test::SimServer sim(config);
  TDvEWSCustomSession session;
  ews_bench::LogOn(session, sim);
  const int count = static_cast<int>(state.range(0));
  double create = 0, load = 0;
  for (auto _ : state) {
    auto store = session.OpenDefaultMsgStore();
    auto inbox = store->GetFolder(TDistinguishedFolderIdName::dfininbox);
    const TItemId folderId = inbox->CreateFolder(TSetFolderFieldType::sffFolder, "One by one");
    auto folder = store->GetFolder(folderId);
    std::vector<TItemId> ids;
    double c0 = ews_bench::ThreadCpuSeconds();
    for (int i = 0; i < count; ++i) {
      DvEWSItemPtr item = folder->CreateItem(TItemType::tMessage);
      item->SetSubject("Message " + std::to_string(i));
      item->SetBodyText("Body of message " + std::to_string(i));
      item->SaveChanges(TDvEWSSaveOption::soAutoResolve);
      ids.push_back(item->GetID());
    }
    create += ews_bench::ThreadCpuSeconds() - c0;
    c0 = ews_bench::ThreadCpuSeconds();
    std::size_t sum = 0;
    for (const TItemId& id : ids)
      sum += store->GetItem(id)->GetSubject().size();
    load += ews_bench::ThreadCpuSeconds() - c0;
    benchmark::DoNotOptimize(sum);
    inbox->DeleteFolder(folderId, TDvEWSFolderDeleteType::dtHardDelete);
  }
  const double n = static_cast<double>(state.iterations()) * count;
  state.counters["create_cpu_us_per_item"] = create * 1e6 / n;
  state.counters["load_cpu_us_per_item"] = load * 1e6 / n;
}
BENCHMARK(BM_ItemByItem)->Arg(200)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
  return ews_bench::RunKeepingFreedMemory(argc, argv);
}
