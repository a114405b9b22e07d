// Test support for session tests: a recording proxy in front of an in-process ewssim, and a
// session that validates every request it sends against the EWS schema.
#pragma once

#include <httplib.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ews_testsupport.h"
#include "uDvEWS.h"

namespace session_test {

// One request as it reached the proxy, and the answer it got.
struct Exchange {
  std::string path;
  httplib::Headers headers;  // names compare case-insensitively
  std::string body;
  int status = 0;
  std::string responseBody;
  std::string setCookie;
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
  bool HasHeader(const std::string& name) const { return headers.count(name) != 0; }
};

// Forwards every request to a target server on the loopback and records both sides. `rewrite`
// may change an answer's body before it is returned.
class RecordingProxy {
 public:
  explicit RecordingProxy(int targetPort);
  ~RecordingProxy();
  std::string Url() const;  // the EWS endpoint behind the proxy
  std::vector<Exchange> Exchanges() const;
  // The exchanges the target accepted the credentials of (status other than 401).
  std::vector<Exchange> Authenticated() const;
  void Clear();
  void SetRewrite(std::function<void(std::string& body)> rewrite);

 private:
  int targetPort_;
  int port_ = 0;
  httplib::Server server_;
  std::thread thread_;
  mutable std::mutex lock_;
  std::vector<Exchange> exchanges_;
  std::function<void(std::string&)> rewrite_;
};

// Collects the requests a session sends (through the SOAP trace) and checks each against the
// EWS schema.
class RequestValidator {
 public:
  void Attach(dv::TDvEWSCustomSession& session);
  int Count() const;
  // Every traced request validated; otherwise the first violation with its request.
  std::string Problems() const;
  // The whole envelopes sent so far.
  std::vector<std::string> Envelopes() const;
  // The body elements of the requests for operation `op` ("FindItem"), in the order sent.
  std::vector<std::string> Bodies(const std::string& op) const;
  int Sent(const std::string& op) const { return static_cast<int>(Bodies(op).size()); }
  // The body element of the last request for `op`, or "".
  std::string Last(const std::string& op) const;

 private:
  mutable std::mutex lock_;
  std::vector<std::string> requests_;
};

// The default test users, in a configuration reporting `version`.
ewssim::Config SimConfig(const std::string& version = "Exchange2016");

// A session logged on to an in-process ewssim of its own as `user`@example.com (password
// "`user`-pw"), recording every request it sends.
class SimSession : public RequestValidator {
 public:
  explicit SimSession(ewssim::Config config, const std::string& user = "alice");
  dv::TDvEWSCustomSession& Session() { return *session_; }
  ews_test::SimServer& Sim() { return sim_; }

 private:
  ews_test::SimServer sim_;
  std::unique_ptr<dv::TDvEWSCustomSession> session_;
};

}  // namespace session_test
