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
  const fs::path base = fs::path(EWS_SHARED_DIR) / "ews-samples" / "peer-requests";
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

// The XML request samples in the operation pages of the EWS reference.
TEST_F(SamplesTest, ReferenceRequestSamplesAreAccepted) {
  const fs::path dir = fs::path(EWS_SHARED_DIR) / "ews-docs" / "web-service-reference";
  const std::set<std::string> ops = {
      "GetFolder",     "FindFolder",       "CreateFolder", "DeleteFolder", "EmptyFolder",
      "UpdateFolder",  "GetItem",          "CreateItem",   "UpdateItem",   "DeleteItem",
      "CopyItem",      "MoveItem",         "FindItem",     "SendItem",     "CreateAttachment",
      "GetAttachment", "DeleteAttachment", "ResolveNames", "ConvertId",    "GetServerTimeZones",
      "MoveFolder"};
  // Samples that are invalid themselves: one has mismatched tags, the other is the page's example
  // of a request that fails schema validation (EmailAddress4).
  const std::set<std::string> invalidSamples = {"getservertimezones-operation.md",
                                                "updateitem-operation-contact.md"};

  int tried = 0, schemaFaults = 0;
  std::string failures;
  for (auto& e : fs::directory_iterator(dir)) {
    std::string file = e.path().filename().string();
    if (file.find("-operation") == std::string::npos) continue;
    std::string text = ews_test::ReadFile(e.path());
    // Fenced XML blocks: ```XML (or ```xml) up to the closing fence.
    std::vector<std::string> blocks;
    for (size_t pos = 0; (pos = text.find("```", pos)) != std::string::npos;) {
      size_t lineEnd = text.find('\n', pos);
      if (lineEnd == std::string::npos) break;
      std::string lang = text.substr(pos + 3, lineEnd - pos - 3);
      size_t close = text.find("```", lineEnd);
      if (close == std::string::npos) break;
      if (lang.rfind("XML", 0) == 0 || lang.rfind("xml", 0) == 0)
        blocks.push_back(text.substr(lineEnd + 1, close - lineEnd - 1));
      pos = close + 3;
    }
    for (const std::string& xml : blocks) {
      // The operation: the first element inside the SOAP Body.
      size_t body = xml.find("Body>");
      if (body == std::string::npos || xml[body - 1] == '/') continue;
      size_t open = xml.find('<', body);
      if (open == std::string::npos) continue;
      size_t end = xml.find_first_of(" />\r\n", open);
      std::string op = xml.substr(open + 1, end - open - 1);
      if (op.find(':') != std::string::npos) op = op.substr(op.find(':') + 1);
      if (!ops.count(op)) continue;
      ++tried;
      auto r = PostRaw(xml);
      ASSERT_TRUE(r.http.status == 200 || r.http.status == 500) << file;
      if (r.FaultCode() == "a:ErrorSchemaValidation" && !invalidSamples.count(file)) {
        ++schemaFaults;
        failures += file + ": " + TextOf(r.root(), "Violation") + "\n";
      }
    }
  }
  EXPECT_GT(tried, 30);
  EXPECT_EQ(schemaFaults, 0) << failures;
}

}  // namespace
