// Test support: validation of EWS bodies against the EWS schema, an in-process ewssim server and
// a small SOAP-over-HTTP client.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include <ewssim/ewssim.h>

namespace ews_test {

struct Validation {
  bool ok = true;
  std::string message;  // the first violation, with its line
  explicit operator bool() const { return ok; }
};

// Validates an XML document whose root is an EWS element (a request or response body element
// such as m:GetFolder, or a SOAP header element) against ews-validate.xsd. The schema is compiled
// once per process; thread-safe.
Validation ValidateElement(std::string_view elementXml);

// Validates a SOAP envelope: the element inside soap:Body and every SOAP header element. A SOAP
// fault body is checked for the faultcode/faultstring shape only (SOAP faults are outside the
// EWS schema).
Validation ValidateEnvelope(std::string_view envelopeXml);

// Wraps a body element in a SOAP 1.1 envelope with the m:/t: prefixes bound; `header` is the
// content of soap:Header.
std::string Envelope(
    std::string_view body,
    std::string_view header = "<t:RequestServerVersion Version=\"Exchange2013_SP1\"/>");

// A configuration with the users alice@example.com (password "alice-pw"), bob@example.com
// ("bob-pw") and the service account svc@example.com ("svc-pw", may impersonate everyone),
// listening on an ephemeral loopback port, idle keep-alive connections closed after a second.
ewssim::Config DefaultSimConfig();

// An ewssim server running in this process for the lifetime of the object.
class SimServer {
 public:
  explicit SimServer(ewssim::Config config = DefaultSimConfig());
  ~SimServer();
  std::string Url() const;
  int Port() const;
  ewssim::Server& Server() { return *server_; }

 private:
  std::unique_ptr<ewssim::Server> server_;
};

struct HttpReply {
  int status = 0;
  std::string body;
  std::multimap<std::string, std::string> headers;
  std::string Header(const std::string& name) const;
};

// A keep-alive HTTP client posting SOAP envelopes with Basic authentication.
class SoapClient {
 public:
  // With `caCertFile` (PEM) the server certificate is verified against it; without, HTTPS
  // certificates are not checked.
  SoapClient(const std::string& url, const std::string& user, const std::string& password,
             const std::string& caCertFile = {});
  ~SoapClient();
  HttpReply Post(const std::string& envelope,
                 const std::multimap<std::string, std::string>& headers = {});
  HttpReply PostTo(const std::string& path, const std::string& body,
                   const std::multimap<std::string, std::string>& headers = {});

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ews_test
