#include "ews_testsupport.h"

#include <httplib.h>
#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <mutex>
#include <stdexcept>
#include <vector>

namespace ews_test {

namespace {

struct Sink {
  bool set = false;
  std::string message;
};

void Collect(void* data, xmlErrorPtr err) {
  auto* sink = static_cast<Sink*>(data);
  if (sink->set || !err) return;
  sink->set = true;
  sink->message = (err->message ? err->message : "invalid");
  while (!sink->message.empty() && sink->message.back() == '\n')
    sink->message.pop_back();
  sink->message += " (line " + std::to_string(err->line) + ")";
}

void Quiet(void*, const char*, ...) {}

xmlSchemaPtr Schema() {
  static xmlSchemaPtr schema = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    std::string path = std::string(DVEWS_DATA_DIR) + "/ews-schema/ews-validate.xsd";
    xmlSchemaParserCtxtPtr ctx = xmlSchemaNewParserCtxt(path.c_str());
    xmlSchemaSetParserErrors(ctx, Quiet, Quiet, nullptr);
    schema = xmlSchemaParse(ctx);
    xmlSchemaFreeParserCtxt(ctx);
    if (!schema) throw std::runtime_error("cannot compile " + path);
  });
  return schema;
}

bool Named(xmlNodePtr n, const char* local) {
  return n && n->type == XML_ELEMENT_NODE &&
         std::string_view(reinterpret_cast<const char*>(n->name)) == local;
}

std::vector<xmlNodePtr> ElementChildren(xmlNodePtr n) {
  std::vector<xmlNodePtr> out;
  for (xmlNodePtr c = n ? n->children : nullptr; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE) out.push_back(c);
  return out;
}

Validation Check(std::string_view xml, bool envelope) {
  Validation v;
  Sink sink;
  xmlSchemaPtr schema = Schema();
  xmlSetStructuredErrorFunc(&sink, Collect);
  xmlDocPtr doc =
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (!doc) return {false, "not well-formed: " + sink.message};
  std::vector<xmlNodePtr> targets;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (!envelope) {
    targets.push_back(root);
  } else if (!Named(root, "Envelope")) {
    v = {false, "the root element is not a SOAP Envelope"};
  } else {
    bool body = false;
    for (xmlNodePtr part : ElementChildren(root)) {
      if (Named(part, "Header")) {
        for (xmlNodePtr h : ElementChildren(part))
          targets.push_back(h);
      } else if (Named(part, "Body")) {
        body = true;
        auto payload = ElementChildren(part);
        if (payload.size() != 1) {
          v = {false, "the SOAP Body must hold exactly one element"};
        } else if (Named(payload[0], "Fault")) {
          auto parts = ElementChildren(payload[0]);
          if (parts.size() < 2 || !Named(parts[0], "faultcode") || !Named(parts[1], "faultstring"))
            v = {false, "a SOAP Fault needs faultcode and faultstring"};
        } else {
          targets.push_back(payload[0]);
        }
      }
    }
    if (!body && v.ok) v = {false, "the envelope has no Body"};
  }
  if (v.ok && !targets.empty()) {
    xmlSchemaValidCtxtPtr ctx = xmlSchemaNewValidCtxt(schema);
    xmlSchemaSetValidStructuredErrors(ctx, Collect, &sink);
    for (xmlNodePtr t : targets) {
      if (xmlSchemaValidateOneElement(ctx, t) != 0) {
        v = {false, sink.set ? sink.message : "invalid element"};
        break;
      }
    }
    xmlSchemaFreeValidCtxt(ctx);
  }
  xmlFreeDoc(doc);
  return v;
}

}  // namespace

Validation ValidateElement(std::string_view elementXml) {
  return Check(elementXml, false);
}
Validation ValidateEnvelope(std::string_view envelopeXml) {
  return Check(envelopeXml, true);
}

std::string Envelope(std::string_view body, std::string_view header) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
      "<soap:Envelope xmlns:soap=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
      "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">";
  if (!header.empty()) out += "<soap:Header>" + std::string(header) + "</soap:Header>";
  out += "<soap:Body>" + std::string(body) + "</soap:Body></soap:Envelope>";
  return out;
}

ewssim::Config DefaultSimConfig() {
  ewssim::Config c;
  c.listen = "127.0.0.1:0";
  c.threads = 16;
  c.keepAliveSeconds = 1;  // so that stopping never waits long for idle client connections
  c.users = {{"alice@example.com", "alice-pw", "Alice Archer", {}, ""},
             {"bob@example.com", "bob-pw", "Bob Baker", {}, ""},
             {"svc@example.com", "svc-pw", "Service Account", {"*"}, ""}};
  return c;
}

SimServer::SimServer(ewssim::Config config)
    : server_(std::make_unique<ewssim::Server>(std::move(config))) {
  server_->Start();
}
SimServer::~SimServer() {
  server_->Stop();
}
std::string SimServer::Url() const {
  return server_->Url();
}
int SimServer::Port() const {
  return server_->Port();
}

std::string HttpReply::Header(const std::string& name) const {
  for (auto& [k, v] : headers)
    if (k.size() == name.size() && std::equal(k.begin(), k.end(), name.begin(), [](char a, char b) {
          return std::tolower(a) == std::tolower(b);
        }))
      return v;
  return {};
}

struct SoapClient::Impl {
  std::unique_ptr<httplib::Client> client;
  std::string path;
};

SoapClient::SoapClient(const std::string& url, const std::string& user, const std::string& password,
                       const std::string& caCertFile)
    : impl_(std::make_unique<Impl>()) {
  auto scheme = url.find("://");
  auto pathStart = url.find('/', scheme + 3);
  std::string base = url.substr(0, pathStart);
  impl_->path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
  impl_->client = std::make_unique<httplib::Client>(base);
  impl_->client->set_keep_alive(true);
  impl_->client->set_tcp_nodelay(true);
  if (caCertFile.empty()) {
    impl_->client->enable_server_certificate_verification(false);
  } else {
    impl_->client->set_ca_cert_path(caCertFile.c_str());
    impl_->client->enable_server_certificate_verification(true);
  }
  impl_->client->set_read_timeout(30, 0);
  if (!user.empty()) impl_->client->set_basic_auth(user.c_str(), password.c_str());
}

SoapClient::~SoapClient() = default;

HttpReply SoapClient::Post(const std::string& envelope,
                           const std::multimap<std::string, std::string>& headers) {
  return PostTo(impl_->path, envelope, headers);
}

HttpReply SoapClient::PostTo(const std::string& path, const std::string& body,
                             const std::multimap<std::string, std::string>& headers) {
  httplib::Headers h;
  for (auto& [k, v] : headers)
    h.emplace(k, v);
  auto res = impl_->client->Post(path.c_str(), h, body, "text/xml; charset=utf-8");
  HttpReply reply;
  if (!res) {
    reply.status = -1;
    reply.body = httplib::to_string(res.error());
    return reply;
  }
  reply.status = res->status;
  reply.body = res->body;
  for (auto& [k, v] : res->headers)
    reply.headers.emplace(k, v);
  return reply;
}

}  // namespace ews_test
