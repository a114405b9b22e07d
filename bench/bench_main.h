// The main function of the benchmark programs that allocate about a response's size per
// iteration.
#pragma once

#include <benchmark/benchmark.h>

#include <malloc.h>

namespace ews_bench {

// Runs the registered benchmarks with freed memory kept in the process. Left to its defaults
// glibc hands large blocks back to the system on free and maps them again on the next use, so
// page faults (not the code measured) would be a large and uneven share of what is timed.
inline int RunKeepingFreedMemory(int argc, char** argv) {
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace ews_bench
