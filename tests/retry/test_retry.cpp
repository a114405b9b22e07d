// Busy servers, dropped connections, deadlines, response limits and paging that does not move,
// against an in-process ewssim throttling or injecting faults.
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DvSOAP.h"
#include "session_fixture.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSFolder.h"
#include "uDvEWSMsgStore.h"

using namespace dv;
using ews_test::ThrownMessage;

namespace {

using Clock = std::chrono::steady_clock;

ewssim::FaultRule Rule(const std::string& operation, const std::string& action, int status = 503,
                       int retryAfter = -1, int count = -1, int delayMs = 0) {
  ewssim::FaultRule r;
  r.operation = operation;
  r.action = action;
  r.status = status;
  r.retryAfterSeconds = retryAfter;
  r.count = count;
  r.delayMs = delayMs;
  return r;
}

// A session of alice on `url`, not yet logged on, recording the waits it is told of.
struct Client {
  explicit Client(const std::string& url) {
    session.SetPasswordDialog(false);
    session.SetServiceUrl(url);
    session.SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
    session.SetOnThrottled([this](double seconds, const std::string& reason) {
      std::lock_guard<std::mutex> lock(mutex);
      waits.emplace_back(seconds, reason);
    });
  }
  TDvEWSCustomSession session;
  std::mutex mutex;
  std::vector<std::pair<double, std::string>> waits;
};

DvSOAPResponsePtr GetInbox(TDvEWSCustomSession& s) {
  auto r = s.CreateRequest(nullptr, "m:GetFolder", "m:GetFolderResponse");
  r->GetOperation()->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
  r->GetOperation()
      ->AddElement("m:FolderIds")
      ->AddElement("t:DistinguishedFolderId")
      ->SetAttribute("Id", "inbox");
  return r->Send();
}

DvSOAPResponsePtr CreateDraft(TDvEWSCustomSession& s) {
  auto r = s.CreateRequest(nullptr, "m:CreateItem", "m:CreateItemResponse");
  r->GetOperation()->SetAttribute("MessageDisposition", "SaveOnly");
  r->GetOperation()
      ->AddElement("m:Items")
      ->AddElement("t:Message")
      ->AddElement("t:Subject")
      ->SetAsString("once");
  return r->Send();
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

// Each busy answer is waited out as the server asks, the application is told, and the request
// then succeeds; the busy fault is what Exchange sends.
TEST(Retry, BusyAnswersAreWaitedOutAndRetried) {
  // Exchange's other form: every response message says ErrorServerBusy.
  const std::string busyMessage =
      "<m:ResponseMessages><m:GetFolderResponseMessage ResponseClass=\"Error\"><m:MessageText>"
      "Busy.</m:MessageText><m:ResponseCode>ErrorServerBusy</m:ResponseCode>"
      "<m:DescriptiveLinkKey>0</m:DescriptiveLinkKey><m:MessageXml><t:Value "
      "Name=\"BackOffMilliseconds\">700</t:Value></m:MessageXml></m:GetFolderResponseMessage>"
      "</m:ResponseMessages>";
  struct Case {
    const char* name;
    std::function<void(ewssim::Config&)> configure;
    bool busyMessage;
    double seconds;
    const char* reason;
  };
  const auto none = [](ewssim::Config&) {};
  const Case cases[] = {
      {"ErrorServerBusy fault",
       [](ewssim::Config& c) {
         c.throttling = {0, 2, 1, 1100};  // logon uses the budget
       },
       false, 1.1, "server busy"},
      {"ErrorServerBusy messages", none, true, 0.7, "server busy"},
      {"503", [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "status", 503, 1, 1)}; }, false,
       1.0, "HTTP 503"},
      {"429", [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "status", 429, 1, 1)}; }, false,
       1.0, "HTTP 429"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ewssim::Config c = session_test::SimConfig();
    k.configure(c);
    ews_test::SimServer sim(c);
    session_test::RecordingProxy proxy(sim.Port());
    bool rewritten = !k.busyMessage;
    proxy.SetRewrite([&](std::string& body) {
      const std::size_t from = body.find("<m:ResponseMessages>");
      if (rewritten || body.find("GetFolderResponse") == std::string::npos) return;
      rewritten = true;
      body.replace(from, body.find("</m:ResponseMessages>") + 21 - from, busyMessage);
    });
    Client client(k.busyMessage ? proxy.Url() : sim.Url());
    std::vector<std::string> busyAnswers;
    client.session.SetOnSOAPTrace([&](const TDvSOAPTrace& t) {
      if (t.Content.find("ErrorServerBusy") != std::string::npos) busyAnswers.push_back(t.Content);
    });
    client.session.SetActive(true);
    const auto start = Clock::now();
    EXPECT_NO_THROW(GetInbox(client.session));
    EXPECT_GE(SecondsSince(start), k.seconds - 0.05);
    ASSERT_EQ(client.waits.size(), 1u);
    EXPECT_DOUBLE_EQ(client.waits[0].first, k.seconds);
    EXPECT_NE(client.waits[0].second.find(k.reason), std::string::npos) << client.waits[0].second;
    for (const auto& answer : busyAnswers) {
      EXPECT_NE(answer.find("BackOffMilliseconds\">" + std::to_string(int(k.seconds * 1000))),
                std::string::npos);
      EXPECT_TRUE(ews_test::ValidateEnvelope(answer).ok) << answer;
    }
  }
}

// A busy server beyond the budget or the longest wait: a clear error, and no more requests
// than the budget allows.
TEST(Retry, GivesUpWhenTheServerStaysBusy) {
  ewssim::Config c = session_test::SimConfig();
  ews_test::SimServer sim(c);
  Client client(sim.Url());
  client.session.SetActive(true);
  client.session.SetRetryPolicy({2, 60000, 10});
  sim.Server().SetFaults({Rule("GetFolder", "status", 503)});
  try {
    GetInbox(client.session);
    ADD_FAILURE() << "no exception";
  } catch (const EDvThrottledException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Throttled: HTTP 503 Service Unavailable; gave up after 2 retries");
    EXPECT_EQ(e.GetRetries(), 2);
  }
  EXPECT_EQ(sim.Server().RequestCount("GetFolder"), 3);
  EXPECT_EQ(client.waits.size(), 2u);

  // A wait longer than the policy allows is not waited at all.
  sim.Server().SetFaults({Rule("GetFolder", "status", 503, 120)});
  const auto start = Clock::now();
  EXPECT_NE(ThrownMessage([&] {
              GetInbox(client.session);
            }).find("the server asks to wait 120.0 s, longer than the 60.0 s allowed"),
            std::string::npos);
  EXPECT_LT(SecondsSince(start), 5);
}

// Sessions of one user share the back-off: another session's request waits for it too.
TEST(Retry, SessionsOfOneUserBackOffTogether) {
  ewssim::Config c = session_test::SimConfig();
  ews_test::SimServer sim(c);
  Client first(sim.Url()), second(sim.Url());
  first.session.SetActive(true);
  second.session.SetActive(true);
  sim.Server().SetFaults({Rule("GetFolder", "status", 503, 1, 1)});
  GetInbox(first.session);
  const auto start = Clock::now();
  // The first session's wait has passed; the gate is open again at once.
  GetInbox(second.session);
  EXPECT_LT(SecondsSince(start), 0.5);

  sim.Server().SetFaults({Rule("GetFolder", "status", 503, 2, 1)});
  std::thread t([&] { GetInbox(first.session); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto start2 = Clock::now();
  GetInbox(second.session);  // waits out the rest of the first session's back-off
  EXPECT_GE(SecondsSince(start2), 1.2);
  t.join();
  EXPECT_TRUE(second.waits.empty());
}

// A connection dropped after a request that changes something is not sent again (the server
// carried it out); one that reads is.
TEST(Retry, DroppedConnectionResendsOnlyReadOnlyRequests) {
  ewssim::Config c = session_test::SimConfig();
  ews_test::SimServer sim(c);
  Client client(sim.Url());
  client.session.SetActive(true);
  const long drafts = sim.Server().FolderItemCount("alice@example.com", "drafts");

  sim.Server().SetFaults({Rule("CreateItem", "close", 0, -1, 1)});
  const std::string message = ThrownMessage([&] { CreateDraft(client.session); });
  EXPECT_NE(message.find("closed the connection without answering"), std::string::npos) << message;
  EXPECT_EQ(sim.Server().RequestCount("CreateItem"), 1);
  EXPECT_EQ(sim.Server().FolderItemCount("alice@example.com", "drafts"), drafts + 1);

  // The reused connection drops under a read: libcurl sends it again on a fresh one.
  GetInbox(client.session);
  sim.Server().SetFaults({Rule("GetFolder", "close", 0, -1, 1)});
  EXPECT_NO_THROW(GetInbox(client.session));
  EXPECT_EQ(sim.Server().RequestCount("GetFolder"), 3);
}

// Every failure a user meets names its cause.
TEST(Retry, ErrorsNameTheirCause) {
  httplib::Server html;
  html.Post(".*", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<!DOCTYPE html><html><body>Sign in</body></html>", "text/html");
  });
  const int htmlPort = html.bind_to_any_port("127.0.0.1");
  std::thread htmlThread([&] { html.listen_after_bind(); });

  struct Case {
    const char* name;
    std::function<void(ewssim::Config&)> configure;
    std::string url;  // instead of the simulator's
    std::function<void(TDvEWSCustomSession&)> tweak;
    const char* expected;
  };
  const auto none = [](ewssim::Config&) {};
  const auto keep = [](TDvEWSCustomSession&) {};
  const Case cases[] = {
      {"refused", none, "http://127.0.0.1:1/EWS/Exchange.asmx", keep, "Connection refused"},
      {"untrusted", [](ewssim::Config& c) { c.tls = true; }, "", keep,
       "TLS certificate not trusted"},
      {"html", none, "http://127.0.0.1:" + std::to_string(htmlPort) + "/EWS/Exchange.asmx", keep,
       "The server sent HTML, not SOAP (HTTP 200 OK)"},
      {"throttled", [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "status", 503)}; }, "",
       [](TDvEWSCustomSession& s) {
         s.SetRetryPolicy({0, 0, 0});
       },
       "Throttled: HTTP 503"},
      {"dropped", [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "close")}; }, "", keep,
       "The server closed the connection without answering"},
      {"truncated", [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "truncate")}; }, "", keep,
       "closed the connection before the response was complete"},
      {"deadline",
       [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "drip", 0, -1, -1, 200)}; }, "",
       [](TDvEWSCustomSession& s) { s.SetRequestTimeout(1000); },
       "did not complete within its deadline of 1 s"},
      {"idle", [](ewssim::Config& c) { c.faults = {Rule("GetFolder", "stall", 0, -1, -1, 3000)}; },
       "",
       [](TDvEWSCustomSession& s) {
         s.SetTimeOuts({5000, 5000, 500});
       },
       "timed out: the server sent nothing for 0.5 s"},
      {"too large", none, "", [](TDvEWSCustomSession& s) { s.SetMaxResponseSize(300); },
       "The response is too large: it exceeds the limit of 300 bytes"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ewssim::Config c = session_test::SimConfig();
    k.configure(c);
    ews_test::SimServer sim(c);
    Client client(k.url.empty() ? sim.Url() : k.url);
    const auto start = Clock::now();
    const std::string message = ThrownMessage([&] {
      k.tweak(client.session);
      client.session.SetActive(true);
      GetInbox(client.session);
    });
    EXPECT_NE(message.find(k.expected), std::string::npos) << message;
    EXPECT_LT(SecondsSince(start), 10);
  }
  html.stop();
  htmlThread.join();
}

// A server that keeps answering the same page (the reference's FindItem sample: one row, next
// offset 1, more to come) ends the table with an error instead of a request loop.
TEST(Retry, PagingThatDoesNotMoveEndsTheTable) {
  const std::string sample =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
      "<m:FindItemResponse "
      "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
      "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
      "<m:ResponseMessages><m:FindItemResponseMessage ResponseClass=\"Success\">"
      "<m:ResponseCode>NoError</m:ResponseCode>"
      "<m:RootFolder IndexedPagingOffset=\"1\" TotalItemsInView=\"5\" "
      "IncludesLastItemInRange=\"false\"><t:Items><t:Message>"
      "<t:ItemId Id=\"AAMkADEzOTExYjJkLTYx\" ChangeKey=\"CQAAABY\" />"
      "<t:Subject>How to use Autodiscover</t:Subject></t:Message></t:Items></m:RootFolder>"
      "</m:FindItemResponseMessage></m:ResponseMessages></m:FindItemResponse>"
      "</s:Body></s:Envelope>";
  struct Case {
    const char* name;
    std::string page;
    const char* expected;
  };
  std::string empty = sample;
  empty.replace(empty.find("<t:Items>"), empty.find("</t:Items>") - empty.find("<t:Items>"),
                "<t:Items>");
  const Case cases[] = {
      {"offset stays", sample, "did not move the offset forward (asked for 1, next 1)"},
      {"no rows", empty, "no rows but says more remain (offset 0)"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ews_test::SimServer sim(session_test::SimConfig());
    session_test::RecordingProxy proxy(sim.Port());
    proxy.SetRewrite([&](std::string& body) {
      if (body.find("FindItemResponse") != std::string::npos) body = k.page;
    });
    Client client(proxy.Url());
    client.session.SetActive(true);
    auto items = client.session.OpenDefaultMsgStore()
                     ->GetFolder(TDistinguishedFolderIdName::dfininbox)
                     ->GetItems();
    int rows = 0;
    const std::string message = ThrownMessage([&] {
      for (items->Open(); !items->Eof() && rows < 20; items->Next())
        ++rows;
    });
    EXPECT_NE(message.find(k.expected), std::string::npos) << message;
    EXPECT_LE(rows, 1);
    int findItems = 0;
    for (const auto& x : proxy.Exchanges())
      findItems += x.body.find("FindItem") != std::string::npos;
    EXPECT_LE(findItems, 2);
  }
}
