// Helpers shared by the benchmarks that run the library against an in-process ewssim.
#pragma once

#include <time.h>

#include "ews_testsupport.h"
#include "uDvEWS.h"

namespace ews_bench {

// CPU time of the calling thread: the library's share, since the simulator has threads of its own.
inline double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline double WallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Logs the session on to the simulator as alice.
inline void LogOn(dv::TDvEWSCustomSession& session, const ews_test::SimServer& sim) {
  session.SetPasswordDialog(false);
  session.SetServiceUrl(sim.Url());
  session.SetCredentials(dv::TDvCredentials("alice@example.com", "alice-pw"));
  session.SetActive(true);
}

}  // namespace ews_bench
