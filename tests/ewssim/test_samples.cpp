// Requests captured from third-party clients and the request samples of the EWS reference:
// the simulator accepts them (no schema fault, a valid response for every one).
#include <filesystem>
#include <set>

#include "sim_fixture.h"
#include "test_helpers.h"

using namespace simtest;
namespace fs = std::filesystem;

namespace {

class SamplesTest : public SimTest {
 protected:
  static ewssim::Config SuiteConfig() {
    auto c = ews_test::DefaultSimConfig();
    c.seed = {5, 2, 3};
    return c;
  }
  static void SetUpTestSuite() { Sim() = std::make_unique<ews_test::SimServer>(SuiteConfig()); }
};

TEST_F(SamplesTest, PeerClientRequestsAreAccepted) {
  const fs::path base = fs::path(DVEWS_DATA_DIR) / "ews-samples" / "peer-requests";
  // Operations that belong to later work: answered with a fault, but never a schema fault.
  const std::set<std::string> later = {"GetUserOofSettings",  "SetUserOofSettings",
                                       "GetUserAvailability", "Subscribe",
                                       "GetStreamingEvents",  "Unsubscribe"};
  int files = 0, answered = 0;
  for (const char* client : {"exchangelib", "ews-javascript-api"}) {
    for (const char* sub : {"", "variants/impersonation"}) {
      fs::path dir = base / client / sub;
      std::vector<fs::path> paths;
      for (auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".xml") paths.push_back(e.path());
      std::sort(paths.begin(), paths.end());
      bool impersonating = std::string(sub).find("impersonation") != std::string::npos;
      for (auto& p : paths) {
        ++files;
        std::string body = ews_test::ReadFile(p);
        auto r = PostRaw(body, impersonating ? "svc@example.com" : "alice@example.com",
                         {{"X-AnchorMailbox", "alice@example.com"}});
        std::string name = p.filename().string();
        std::string op = name.substr(4, name.size() - 8);
        ASSERT_TRUE(r.http.status == 200 || r.http.status == 500) << name << " " << r.http.status;
        EXPECT_NE(r.FaultCode(), "a:ErrorSchemaValidation") << name << "\n" << r.http.body;
        if (r.http.status == 200) {
          ++answered;
          EXPECT_TRUE(First(r.root(), op + "Response")) << name;
        } else if (!later.count(op)) {
          // Only the version probe with a server version that does not exist may fail whole.
          EXPECT_EQ(r.FaultCode(), "a:ErrorInvalidServerVersion") << name << "\n" << r.http.body;
        }
      }
    }
  }
  EXPECT_GT(files, 200);
  EXPECT_GT(answered, 150);
}

// The XML request samples of the EWS reference's operation pages (extracted into data/ by
// scripts/extract_reference_samples.py).
TEST_F(SamplesTest, ReferenceRequestSamplesAreAccepted) {
  const fs::path dir = fs::path(DVEWS_DATA_DIR) / "ews-reference-samples";
  // Samples that are invalid themselves: one has mismatched tags, the other is the page's example
  // of a request that fails schema validation (EmailAddress4).
  const std::set<std::string> invalidSamples = {"getservertimezones-operation-",
                                                "updateitem-operation-contact-"};
  int tried = 0, schemaFaults = 0;
  std::string failures;
  for (auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".xml") continue;
    std::string file = e.path().filename().string();
    std::string page = file.substr(0, file.find_last_of('-') + 1);
    ++tried;
    auto r = PostRaw(ews_test::ReadFile(e.path()));
    ASSERT_TRUE(r.http.status == 200 || r.http.status == 500) << file;
    if (r.FaultCode() == "a:ErrorSchemaValidation" && !invalidSamples.count(page)) {
      ++schemaFaults;
      failures += file + ": " + TextOf(r.root(), "Violation") + "\n";
    }
  }
  EXPECT_GT(tried, 30);
  EXPECT_EQ(schemaFaults, 0) << failures;
}

}  // namespace
