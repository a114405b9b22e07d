// Registry costs: registering the whole catalogue (target: under 5 ms), name lookups, the
// linear scans, and writing field URIs.
#include <benchmark/benchmark.h>

#include <string>

#include "uDvEWSProps.h"

using namespace dv;

namespace {

// A fresh registry filled with the catalogue, as at start-up.
void BM_RegisterCatalog(benchmark::State& state) {
  for (auto _ : state) {
    TDvEWSPropRegistry registry;
    registry.RegisterCatalog();
    benchmark::DoNotOptimize(registry.Props().data());
  }
}
BENCHMARK(BM_RegisterCatalog)->Unit(benchmark::kMillisecond);

void BM_GetPropDefByName(benchmark::State& state) {
  const char* names[] = {"PR_SUBJECT", "MPR_MESSAGE_FLAGS", "EPR_COMMON_REMINDER_MINUTES_BEFORE",
                         "PR_NOT_THERE"};
  std::size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(GetPropDef(names[i++ & 3], false));
}
BENCHMARK(BM_GetPropDefByName);

void BM_GetFieldDefByClassAndElement(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(GetFieldDef("TEwsContactItem", "Subject", false));
}
BENCHMARK(BM_GetFieldDefByClassAndElement);

// The scans: a tag near the end of the tagged family, and a named property.
void BM_GetPropDefByRecordScan(benchmark::State& state) {
  const TDvEWSPropDef byTag = DvTaggedPropDef("", TDvEWSPropType::ptString, 0x7D01);
  const TDvEWSPropDef byId = DvNamedIdPropDef("", TDvEWSPropType::ptLong, &PSETID_Common, 34049);
  bool flip = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(GetPropDef((flip = !flip) ? byTag : byId));
  }
}
BENCHMARK(BM_GetPropDefByRecordScan)->Unit(benchmark::kMicrosecond);

void BM_WriteFieldURI(benchmark::State& state) {
  PDvEWSFieldDef fields[] = {&FLD_ITEM_SUBJECT, &FLD_CONTACTS_EMAILADDRESS1, &MFLD_SUBJECT,
                             &EFLD_COMMON_REMINDER_MINUTES_BEFORE};
  std::string out;
  for (auto _ : state) {
    out.clear();
    for (PDvEWSFieldDef f : fields)
      WriteFieldURI(f, out);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_WriteFieldURI);

}  // namespace

BENCHMARK_MAIN();
