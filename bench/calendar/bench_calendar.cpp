// ewssim's calendar: a CalendarView over the longest range Exchange allows (two years), in a
// calendar holding a daily series without end, a weekly series and 200 single appointments —
// about 1,100 appearances expanded, each written with its own occurrence id.
#include <benchmark/benchmark.h>

#include <memory>
#include <mutex>
#include <string>

#include "ews_testsupport.h"

namespace {

ews_test::SimServer& Sim() {
  static std::unique_ptr<ews_test::SimServer> sim;
  static std::once_flag once;
  std::call_once(once, [] {
    auto config = ews_test::DefaultSimConfig();
    config.users.resize(1);  // alice only
    config.threads = 2;
    sim = std::make_unique<ews_test::SimServer>(config);
    ews_test::SoapClient client(sim->Url(), "alice@example.com", "alice-pw");
    auto create = [&](const std::string& item) {
      client.Post(
          ews_test::Envelope("<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items>" +
                             item + "</m:Items></m:CreateItem>"));
    };
    const char* series =
        "<t:CalendarItem><t:Subject>%s</t:Subject><t:Start>2026-01-05T09:00:00Z</t:Start>"
        "<t:End>2026-01-05T09:30:00Z</t:End><t:Recurrence>%s<t:NoEndRecurrence><t:StartDate>"
        "2026-01-05</t:StartDate></t:NoEndRecurrence></t:Recurrence><t:StartTimeZone "
        "Id=\"W. Europe Standard Time\"/></t:CalendarItem>";
    char buf[1024];
    std::snprintf(buf, sizeof buf, series, "Daily",
                  "<t:DailyRecurrence><t:Interval>1</t:Interval></t:DailyRecurrence>");
    create(buf);
    std::snprintf(buf, sizeof buf, series, "Weekly",
                  "<t:WeeklyRecurrence><t:Interval>1</t:Interval><t:DaysOfWeek>Monday Thursday"
                  "</t:DaysOfWeek></t:WeeklyRecurrence>");
    create(buf);
    for (int i = 0; i < 200; ++i) {
      std::snprintf(buf, sizeof buf,
                    "<t:CalendarItem><t:Subject>One %d</t:Subject><t:Start>2026-%02d-%02dT13:00:00Z"
                    "</t:Start><t:End>2026-%02d-%02dT14:00:00Z</t:End></t:CalendarItem>",
                    i, i % 12 + 1, i % 28 + 1, i % 12 + 1, i % 28 + 1);
      create(buf);
    }
  });
  return *sim;
}

void BM_CalendarViewTwoYears(benchmark::State& state) {
  auto& sim = Sim();
  ews_test::SoapClient client(sim.Url(), "alice@example.com", "alice-pw");
  const std::string view = ews_test::Envelope(
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>Default</t:BaseShape>"
      "</m:ItemShape><m:CalendarView StartDate=\"2026-01-01T00:00:00Z\" "
      "EndDate=\"2027-12-31T00:00:00Z\"/><m:ParentFolderIds><t:DistinguishedFolderId "
      "Id=\"calendar\"/></m:ParentFolderIds></m:FindItem>");
  auto warm = client.Post(view);
  if (warm.status != 200 || warm.body.find("TotalItemsInView=\"") == std::string::npos) {
    state.SkipWithError("setup failed");
    return;
  }
  size_t bytes = 0;
  for (auto _ : state) {
    auto r = client.Post(view);
    if (r.status != 200) state.SkipWithError("FindItem failed");
    bytes += r.body.size();
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_CalendarViewTwoYears)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
