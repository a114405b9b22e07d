// The endpoints beside EWS that a client uses to find it and to sign in: autodiscover (the POX
// service and the JSON lookup of Exchange Online), the OAuth authorisation endpoint with its
// consent page, and the DNS server for the autodiscover service record.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ewssim/ewssim.h>

#include "http_types.h"

namespace ewssim {

// What the endpoints need of the server they belong to.
struct AutodiscoverServices {
  // The user the request's Authorization header (Basic or Bearer) signs in; none when missing or
  // wrong.
  std::function<const UserConfig*(const HttpRequest&)> authenticate;
  // The user of a login name and password; none when wrong.
  std::function<const UserConfig*(const std::string&, const std::string&)> findUser;
};

class AutodiscoverEndpoints {
 public:
  AutodiscoverEndpoints(const Config& config, AutodiscoverServices services);

  // Adds the routes of autodiscover and of the authorisation endpoint.
  void AddRoutes(std::vector<HttpRoute>& routes);

  // The authorization_code grant of the token endpoint: the user a code was issued to, once, when
  // the client, redirect URI and PKCE verifier match; none (and an error text) otherwise.
  const UserConfig* RedeemCode(const std::string& code, const std::string& clientId,
                               const std::string& redirectUri, const std::string& verifier,
                               std::string& error);

 private:
  void Pox(const HttpRequest& req, HttpResponse& res);
  void Json(const HttpRequest& req, HttpResponse& res);
  void AuthorizePage(const HttpRequest& req, HttpResponse& res);
  void AuthorizeSubmit(const HttpRequest& req, HttpResponse& res);
  // Answers a request to a host that is not ours (404) or that redirects (302); true when done.
  bool Deflect(const HttpRequest& req, HttpResponse& res) const;
  std::string EwsUrlFor(const HttpRequest& req) const;

  struct Grant {
    const UserConfig* user = nullptr;
    std::string clientId, redirectUri, challenge;
    std::chrono::steady_clock::time_point expires;
  };
  const Config& cfg_;
  AutodiscoverServices services_;
  std::mutex mutex_;
  std::map<std::string, Grant> codes_;
};

// A minimal DNS server on a UDP port: "_autodiscover._tcp.<domain>" SRV queries are answered
// from the configuration, everything else with NXDOMAIN.
class DnsServer {
 public:
  explicit DnsServer(const AutodiscoverConfig& config) : cfg_(config) {}
  ~DnsServer() { Stop(); }
  // Binds "HOST:PORT" and serves on a thread of its own; throws std::runtime_error.
  void Start(const std::string& listen);
  void Stop();
  int Port() const { return port_; }

  // The answer to one query message; empty when the query is malformed.
  static std::string Answer(const AutodiscoverConfig& config, const std::string& query);

 private:
  const AutodiscoverConfig& cfg_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace ewssim
