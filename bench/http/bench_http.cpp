// 1,000 sequential small SOAP POSTs over one kept-alive connection to a loopback server:
// through the SOAP client (envelope built, sent, response parsed), through the HTTP client
// alone, and through a bare libcurl loop sending the same bytes.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "DvSOAP.h"

using namespace dv;

namespace {

// What the client offers: the bare loop offers the same, not every coding libcurl knows (an empty
// value would add Brotli and zstd, and the server's choice would then differ between the two).
constexpr const char* kAcceptEncoding = "gzip, deflate";

constexpr int kRequests = 1000;
const char* kMessages = "http://schemas.microsoft.com/exchange/services/2006/messages";
const char* kTypes = "http://schemas.microsoft.com/exchange/services/2006/types";

const std::string kResponse =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
    "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header><h:ServerVersionInfo "
    "MajorVersion=\"15\" MinorVersion=\"1\" xmlns:h=\"urn:t\"/></s:Header><s:Body>"
    "<m:GetFolderResponse xmlns:m=\"urn:m\"><m:ResponseMessages><m:GetFolderResponseMessage "
    "ResponseClass=\"Success\"><m:ResponseCode>NoError</m:ResponseCode>"
    "</m:GetFolderResponseMessage></m:ResponseMessages></m:GetFolderResponse></s:Body>"
    "</s:Envelope>";

struct LoopbackServer {
  httplib::Server server;
  std::thread thread;
  int port = 0;
  LoopbackServer() {
    server.Post("/ews/exchange.asmx", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(kResponse, "text/xml; charset=utf-8");
    });
    server.set_tcp_nodelay(true);  // otherwise Nagle's algorithm dominates every exchange
    port = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~LoopbackServer() {
    server.stop();
    thread.join();
  }
  std::string URL() const {
    return "http://127.0.0.1:" + std::to_string(port) + "/ews/exchange.asmx";
  }
};

LoopbackServer& Server() {
  static LoopbackServer s;
  return s;
}

std::shared_ptr<TDvHTTPClient> NewClient() {
  auto c = std::make_shared<TDvWinHTTPClient>();
  auto s = std::make_shared<TDvWinHTTPSession>();
  s->SetAccessType(TDvHTTPAccessType::atDirect);
  c->SetSession(s);
  c->GetRequestHeaders().SetAccept("text/xml");
  return c;
}

DvSOAPRequestPtr MakeRequest(TDvSOAPClient& soap) {
  auto request = soap.CreateRequest(std::string(kMessages) + "/GetFolder", "m:GetFolder");
  request->AddHeader("t:RequestServerVersion")->SetAttribute("Version", "Exchange2013_SP1");
  request->SetHTTPHeader("X-AnchorMailbox", "user@example.com");
  request->GetOperation()
      ->AddElement("m:FolderShape")
      ->AddElement("t:BaseShape")
      ->SetAsString("IdOnly");
  request->GetOperation()
      ->AddElement("m:FolderIds")
      ->AddElement("t:DistinguishedFolderId")
      ->SetAttribute("Id", "inbox");
  return request;
}

void BM_SOAPClient(benchmark::State& state) {
  TDvSOAPClient soap;
  soap.SetHTTPClient(NewClient());
  soap.InitSOAPEnv(
      Server().URL(), "soap",
      {{"xsi", DvSOAPNS::XSI}, {"soap", DvSOAPNS::Envelope11}, {"m", kMessages}, {"t", kTypes}});
  for (auto _ : state) {
    for (int i = 0; i < kRequests; ++i) {
      DvSOAPResponsePtr r = MakeRequest(soap)->Send();
      benchmark::DoNotOptimize(r->GetResponse());
    }
  }
  state.SetItemsProcessed(state.iterations() * kRequests);
}

void BM_HTTPClient(benchmark::State& state) {
  auto client = NewClient();
  TDvSOAPClient soap;
  soap.InitSOAPEnv(
      Server().URL(), "soap",
      {{"xsi", DvSOAPNS::XSI}, {"soap", DvSOAPNS::Envelope11}, {"m", kMessages}, {"t", kTypes}});
  const std::string body = MakeRequest(soap)->GetXML();
  const std::string url = Server().URL();
  for (auto _ : state) {
    for (int i = 0; i < kRequests; ++i) {
      auto request = client->CreateRequest("POST", url, body, "text/xml; charset=utf-8");
      request->AddHeader("SOAPAction", std::string("\"") + kMessages + "/GetFolder\"");
      request->AddHeader("X-AnchorMailbox", "user@example.com");
      benchmark::DoNotOptimize(request->Send()->GetContent().size());
    }
  }
  state.SetItemsProcessed(state.iterations() * kRequests);
}

size_t Collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

void BM_BareCurl(benchmark::State& state) {
  TDvSOAPClient soap;
  soap.InitSOAPEnv(
      Server().URL(), "soap",
      {{"xsi", DvSOAPNS::XSI}, {"soap", DvSOAPNS::Envelope11}, {"m", kMessages}, {"t", kTypes}});
  const std::string body = MakeRequest(soap)->GetXML();
  const std::string url = Server().URL();
  CURL* h = curl_easy_init();
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Accept: text/xml");
  headers = curl_slist_append(headers,
                              (std::string("SOAPAction: \"") + kMessages + "/GetFolder\"").c_str());
  headers = curl_slist_append(headers, "X-AnchorMailbox: user@example.com");
  headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
  headers = curl_slist_append(headers, "Expect:");
  std::string response;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Dovrane EWS Client");
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, kAcceptEncoding);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
  for (auto _ : state) {
    for (int i = 0; i < kRequests; ++i) {
      response.clear();
      if (curl_easy_perform(h) != CURLE_OK) state.SkipWithError("curl failed");
      benchmark::DoNotOptimize(response.size());
    }
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(h);
  state.SetItemsProcessed(state.iterations() * kRequests);
}

// The three ways side by side, in alternating blocks of 50 requests, so that a machine whose
// load drifts treats them alike; the counters give milliseconds per 1,000 requests and the
// ratios to the bare loop.
void BM_Interleaved(benchmark::State& state) {
  const std::vector<TDvSOAPNamespace> ns = {
      {"xsi", DvSOAPNS::XSI}, {"soap", DvSOAPNS::Envelope11}, {"m", kMessages}, {"t", kTypes}};
  TDvSOAPClient soap;
  soap.SetHTTPClient(NewClient());
  soap.InitSOAPEnv(Server().URL(), "soap", ns);
  auto client = NewClient();
  const std::string body = MakeRequest(soap)->GetXML();
  const std::string url = Server().URL();
  const std::string action = std::string("\"") + kMessages + "/GetFolder\"";

  CURL* h = curl_easy_init();
  curl_slist* headers = nullptr;
  for (const std::string& line :
       {std::string("Accept: text/xml"), "SOAPAction: " + action,
        std::string("X-AnchorMailbox: user@example.com"),
        std::string("Content-Type: text/xml; charset=utf-8"), std::string("Expect:")})
    headers = curl_slist_append(headers, line.c_str());
  std::string response;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
  curl_easy_setopt(h, CURLOPT_USERAGENT, "Dovrane EWS Client");
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, kAcceptEncoding);
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);

  using Clock = std::chrono::steady_clock;
  Clock::duration bare{}, http{}, viaSoap{};
  for (auto _ : state) {
    for (int block = 0; block < kRequests / 50; ++block) {
      auto t0 = Clock::now();
      for (int i = 0; i < 50; ++i) {
        response.clear();
        if (curl_easy_perform(h) != CURLE_OK) state.SkipWithError("curl failed");
      }
      auto t1 = Clock::now();
      for (int i = 0; i < 50; ++i) {
        auto request = client->CreateRequest("POST", url, body, "text/xml; charset=utf-8");
        request->AddHeader("SOAPAction", action);
        request->AddHeader("X-AnchorMailbox", "user@example.com");
        benchmark::DoNotOptimize(request->Send()->GetContent().size());
      }
      auto t2 = Clock::now();
      for (int i = 0; i < 50; ++i)
        benchmark::DoNotOptimize(MakeRequest(soap)->Send());
      auto t3 = Clock::now();
      bare += t1 - t0;
      http += t2 - t1;
      viaSoap += t3 - t2;
    }
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(h);
  auto ms = [&](Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count() / double(state.iterations());
  };
  state.counters["bare_ms"] = ms(bare);
  state.counters["http_ms"] = ms(http);
  state.counters["soap_ms"] = ms(viaSoap);
  state.counters["http_ratio"] = ms(http) / ms(bare);
  state.counters["soap_ratio"] = ms(viaSoap) / ms(bare);
}

// The time from Abort on another thread to the blocked Send returning (the request waits on a
// server that answers only after 10 seconds).
void BM_AbortLatency(benchmark::State& state) {
  httplib::Server slow;
  std::atomic<bool> stop{false};
  slow.Get("/slow", [&stop](const httplib::Request&, httplib::Response& res) {
    for (int i = 0; i < 1000 && !stop; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    res.set_content("late", "text/plain");
  });
  int port = slow.bind_to_any_port("127.0.0.1");
  std::thread listener([&slow] { slow.listen_after_bind(); });
  while (!slow.is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto client = NewClient();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/slow";
  double worstMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto request = client->CreateRequest("GET", url);
    std::atomic<bool> sent{false};
    std::chrono::steady_clock::time_point returned;
    std::thread sender([&] {
      sent = true;
      try {
        request->Send();
      } catch (const EDvHTTPApiException&) {
      }
      returned = std::chrono::steady_clock::now();
    });
    while (!sent)
      std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the request is on its way
    state.ResumeTiming();
    auto aborted = std::chrono::steady_clock::now();
    request->Abort();
    sender.join();
    double ms = std::chrono::duration<double, std::milli>(returned - aborted).count();
    worstMs = std::max(worstMs, ms);
    state.SetIterationTime(ms / 1000.0);
  }
  state.counters["worst_ms"] = worstMs;
  stop = true;
  slow.stop();
  listener.join();
}

}  // namespace

BENCHMARK(BM_AbortLatency)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Interleaved)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_BareCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_HTTPClient)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_SOAPClient)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

BENCHMARK_MAIN();
