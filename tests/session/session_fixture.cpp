#include "session_fixture.h"

#include <strings.h>

#include <chrono>
#include <stdexcept>

namespace session_test {

namespace {
bool SameName(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}
}  // namespace

RecordingProxy::RecordingProxy(int targetPort) : targetPort_(targetPort) {
  server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
    httplib::Client client("127.0.0.1", targetPort_);
    client.set_keep_alive(false);
    httplib::Headers forward;
    for (const auto& [name, value] : req.headers) {
      if (SameName(name, "Host") || SameName(name, "Content-Length") ||
          SameName(name, "Connection") || SameName(name, "Accept-Encoding") ||
          SameName(name, "Content-Type") || SameName(name, "REMOTE_ADDR") ||
          SameName(name, "REMOTE_PORT") || SameName(name, "LOCAL_ADDR") ||
          SameName(name, "LOCAL_PORT"))
        continue;
      forward.emplace(name, value);
    }
    Exchange x;
    x.path = req.path;
    x.headers = req.headers;
    x.body = req.body;
    auto answer = client.Post(req.path, forward, req.body, req.get_header_value("Content-Type"));
    if (!answer) {
      res.status = 502;
      return;
    }
    std::string body = answer->body;
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (rewrite_) rewrite_(body);
    }
    res.status = answer->status;
    for (const auto& [name, value] : answer->headers) {
      if (SameName(name, "Set-Cookie") || SameName(name, "WWW-Authenticate"))
        res.headers.emplace(name, value);
    }
    x.status = answer->status;
    x.responseBody = body;
    x.setCookie = answer->get_header_value("Set-Cookie");
    res.set_content(body, answer->get_header_value("Content-Type"));
    std::lock_guard<std::mutex> lock(lock_);
    exchanges_.push_back(std::move(x));
  });
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("the proxy cannot listen");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

RecordingProxy::~RecordingProxy() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

std::string RecordingProxy::Url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/EWS/Exchange.asmx";
}

std::vector<Exchange> RecordingProxy::Exchanges() const {
  std::lock_guard<std::mutex> lock(lock_);
  return exchanges_;
}

std::vector<Exchange> RecordingProxy::Authenticated() const {
  std::vector<Exchange> out;
  for (auto& x : Exchanges())
    if (x.status != 401) out.push_back(x);
  return out;
}

void RecordingProxy::Clear() {
  std::lock_guard<std::mutex> lock(lock_);
  exchanges_.clear();
}

void RecordingProxy::SetRewrite(std::function<void(std::string& body)> rewrite) {
  std::lock_guard<std::mutex> lock(lock_);
  rewrite_ = std::move(rewrite);
}

void RequestValidator::Attach(dv::TDvEWSCustomSession& session) {
  session.SetOnSOAPTrace([this](const dv::TDvSOAPTrace& trace) {
    if (trace.Kind != dv::TDvSOAPTrace::TKind::tkRequest) return;
    std::lock_guard<std::mutex> lock(lock_);
    requests_.push_back(trace.Content);
  });
}

int RequestValidator::Count() const {
  std::lock_guard<std::mutex> lock(lock_);
  return static_cast<int>(requests_.size());
}

std::string RequestValidator::Problems() const {
  std::lock_guard<std::mutex> lock(lock_);
  for (const auto& r : requests_) {
    auto v = ews_test::ValidateEnvelope(r);
    if (!v.ok) return v.message + "\nin\n" + r;
  }
  return {};
}

std::vector<std::string> RequestValidator::Envelopes() const {
  std::lock_guard<std::mutex> lock(lock_);
  return requests_;
}

std::vector<std::string> RequestValidator::Bodies(const std::string& op) const {
  std::vector<std::string> out;
  for (const auto& r : Envelopes()) {
    if (auto e = dv::DvCreateDOM(r)->SelectSingleElement("/Envelope/Body/" + op))
      out.push_back(e->GetXML());
  }
  return out;
}

std::string RequestValidator::Last(const std::string& op) const {
  auto all = Bodies(op);
  return all.empty() ? std::string() : all.back();
}

SimSession::SimSession(ewssim::Config config, const std::string& user)
    : sim_(std::move(config)), session_(std::make_unique<dv::TDvEWSCustomSession>()) {
  session_->SetPasswordDialog(false);
  session_->SetServiceUrl(sim_.Url());
  session_->SetCredentials(dv::TDvCredentials(user + "@example.com", user + "-pw"));
  Attach(*session_);
  session_->SetActive(true);
}

ewssim::Config SimConfig(const std::string& version) {
  ewssim::Config c = ews_test::DefaultSimConfig();
  c.threads = 2;
  c.version.name = version;
  return c;
}

}  // namespace session_test
