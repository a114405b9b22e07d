// SOAP envelopes over DvXML and the HTTP clients.
#include "DvSOAP.h"

#include <cctype>
#include <cstring>
#include <istream>
#include <mutex>

namespace dv {

namespace {

bool ContainsSecretWord(std::string_view localName) {
  std::string lower(localName);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("password") != std::string::npos || lower.find("secret") != std::string::npos ||
         lower.find("token") != std::string::npos;
}

std::string LocalName(std::string_view qualified) {
  std::size_t colon = qualified.find(':');
  return std::string(colon == std::string_view::npos ? qualified : qualified.substr(colon + 1));
}

// The element name at the start of a tag's text ("m:Foo a='1'" -> "m:Foo").
std::string_view TagName(std::string_view tag) {
  std::size_t end = 0;
  while (end < tag.size() && !std::isspace(static_cast<unsigned char>(tag[end])) &&
         tag[end] != '/' && tag[end] != '>')
    ++end;
  return tag.substr(0, end);
}

}  // namespace

std::string DvMaskSecrets(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  std::size_t i = 0;
  while (i < xml.size()) {
    std::size_t lt = xml.find('<', i);
    if (lt == std::string_view::npos) {
      out.append(xml.substr(i));
      break;
    }
    out.append(xml.substr(i, lt - i));
    std::size_t gt = xml.find('>', lt);
    if (gt == std::string_view::npos) {
      out.append(xml.substr(lt));
      break;
    }
    std::string_view tag = xml.substr(lt + 1, gt - lt - 1);
    out.append(xml.substr(lt, gt - lt + 1));
    i = gt + 1;
    bool start = !tag.empty() && tag.front() != '/' && tag.front() != '?' && tag.front() != '!' &&
                 tag.back() != '/';
    if (start && ContainsSecretWord(LocalName(TagName(tag)))) {
      std::size_t next = xml.find('<', i);
      if (next == std::string_view::npos) next = xml.size();
      if (next > i) out += "********";
      i = next;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Responses

TDvSOAPResponse::TDvSOAPResponse(std::istream& stream) {
  std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  Load(text);
}

TDvSOAPResponse::TDvSOAPResponse(std::string_view text) {
  Load(text);
}

void TDvSOAPResponse::Load(std::string_view text) {
  document_ = DvCreateDOM(text);
  DvDOMElementPtr root = document_->GetDocumentElement();
  if (!root || root->GetLocalName() != "Envelope")
    throw EDvXMLException("The response is not a SOAP envelope");
}

DvDOMElementPtr TDvSOAPResponse::GetEnvelope() const {
  return document_ ? document_->GetDocumentElement() : nullptr;
}

DvDOMElementPtr TDvSOAPResponse::GetHeader() const {
  DvDOMElementPtr env = GetEnvelope();
  return env ? env->ElementByName("Header") : nullptr;
}

DvDOMElementPtr TDvSOAPResponse::GetBody() const {
  DvDOMElementPtr env = GetEnvelope();
  return env ? env->ElementByName("Body") : nullptr;
}

DvDOMElementPtr TDvSOAPResponse::GetResponse() const {
  DvDOMElementPtr body = GetBody();
  return body && body->ElementCount() > 0 ? body->GetElement(0) : nullptr;
}

bool TDvSOAPResponse::GetIsFault() const {
  DvDOMElementPtr r = GetResponse();
  return r && r->GetLocalName() == "Fault";
}

bool TDvSOAPResponse::HasArgument(std::string_view localName) const {
  DvDOMElementPtr r = GetResponse();
  return r && r->ElementByName(localName) != nullptr;
}

DvDOMElementPtr TDvSOAPResponse::GetArgument(std::string_view localName) const {
  DvDOMElementPtr r = GetResponse();
  DvDOMElementPtr a = r ? r->ElementByName(localName) : nullptr;
  if (!a) throw Exception("The response has no argument \"" + std::string(localName) + "\"");
  return a;
}

void TDvSOAPResponse::CheckFault(int statusCode) const {
  if (!GetIsFault()) return;
  DvDOMElementPtr fault = GetResponse();
  auto text = [&fault](std::string_view path) {
    DvDOMElementPtr e = fault->SelectSingleElement(path);
    return e ? e->GetAsString() : std::string();
  };
  // SOAP 1.1 names first, then SOAP 1.2's.
  std::string code = text("faultcode");
  if (code.empty()) code = text("Code/Value");
  std::string message = text("faultstring");
  if (message.empty()) message = text("Reason/Text");
  std::string responseCode = text("detail/ResponseCode");
  if (responseCode.empty()) responseCode = text("Detail/ResponseCode");
  throw EDvSOAPFaultException(code, message, responseCode, statusCode);
}

// ---------------------------------------------------------------------------------------------
// Binary responses

TDvBinResponse::TDvBinResponse() = default;

TDvBinResponse::TDvBinResponse(std::istream& stream) {
  char buffer[65536];
  while (stream.read(buffer, sizeof buffer) || stream.gcount() > 0)
    Feed(buffer, static_cast<std::size_t>(stream.gcount()));
  Finish();
}

void TDvBinResponse::Feed(const char* data, std::size_t size) {
  const char* p = data;
  const char* end = data + size;
  while (p < end) {
    switch (state_) {
      case TState::sText: {
        const char* lt = static_cast<const char*>(std::memchr(p, '<', std::size_t(end - p)));
        if (!lt) {
          xml_.append(p, end);
          return;
        }
        xml_.append(p, lt);
        p = lt + 1;
        state_ = TState::sTag;
        tag_.clear();
        quote_ = 0;
        break;
      }
      case TState::sTag: {
        // Collect the tag's text up to its '>' outside quoted attribute values.
        for (; p < end; ++p) {
          char c = *p;
          if (quote_) {
            if (c == quote_) quote_ = 0;
          } else if (c == '"' || c == '\'') {
            quote_ = c;
          } else if (c == '>') {
            ++p;
            EndTag();
            break;
          }
          tag_ += c;
        }
        break;
      }
      case TState::sMime: {
        const char* lt = static_cast<const char*>(std::memchr(p, '<', std::size_t(end - p)));
        const char* stop = lt ? lt : end;
        mime_.write(p, stop - p);
        p = stop;
        if (lt) state_ = TState::sText;
        break;
      }
    }
  }
}

void TDvBinResponse::EndTag() {
  xml_ += '<';
  xml_ += tag_;
  xml_ += '>';
  state_ = TState::sText;
  bool start = !tag_.empty() && tag_.front() != '/' && tag_.front() != '?' && tag_.front() != '!' &&
               tag_.back() != '/';
  if (start && LocalName(TagName(tag_)) == "MimeContent") {
    state_ = TState::sMime;
    hasMime_ = true;
  }
}

void TDvBinResponse::Finish() {
  if (state_ == TState::sTag) throw EDvXMLException("The response ends inside a tag");
  Load(xml_);
}

// ---------------------------------------------------------------------------------------------
// Requests

namespace {

class TDvSOAPRequest : public IDvSOAPRequest {
 public:
  TDvSOAPRequest(const TDvSOAPClient& client, const std::string& action, std::string_view operation,
                 const std::string& responseName)
      : http_(client.GetHTTPClient()),
        url_(client.GetURL()),
        encoding_(client.GetEncoding()),
        prefix_(client.GetEnvelopePrefix()),
        action_(action),
        responseName_(responseName),
        onTrace_(client.GetOnTrace()) {
    document_ = DvCreateDOM();
    envelope_ = document_->CreateDocumentElement(prefix_ + ":Envelope");
    for (const auto& ns : client.GetNamespaces())
      envelope_->SetAttribute("xmlns:" + ns.Prefix, ns.URI);
    if (!envelope_->HasAttribute("xmlns:" + prefix_))
      envelope_->SetAttribute("xmlns:" + prefix_, encoding_ == TDvSOAPEncoding::seSOAP12
                                                      ? DvSOAPNS::Envelope12
                                                      : DvSOAPNS::Envelope11);
    body_ = envelope_->AddElement(prefix_ + ":Body");
    if (!operation.empty()) operation_ = body_->AddElement(operation);
  }

  DvDOMDocumentPtr GetDocument() const override { return document_; }
  DvDOMElementPtr GetEnvelope() const override { return envelope_; }
  DvDOMElementPtr GetHeader() override {
    if (!header_) header_ = envelope_->InsertElement(prefix_ + ":Header", body_, true);
    return header_;
  }
  DvDOMElementPtr AddHeader(std::string_view qualifiedName) override {
    return GetHeader()->AddElement(qualifiedName);
  }
  DvDOMElementPtr GetBody() const override { return body_; }
  DvDOMElementPtr GetOperation() const override { return operation_; }
  const std::string& GetResponseName() const override { return responseName_; }
  const std::string& GetSOAPAction() const override { return action_; }
  void SetHTTPHeader(std::string_view name, std::string_view value) override {
    headers_.SetValue(name, value);
  }
  const TDvHTTPHeaders& GetHTTPHeaders() const override { return headers_; }
  void AddCookie(std::string_view name, std::string_view value) override {
    cookies_.emplace_back(std::string(name), std::string(value));
  }
  std::string GetXML() const override {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" + document_->GetXML();
  }

  DvSOAPResponsePtr Send() override {
    DvHTTPResponsePtr r = Post(nullptr);
    std::string text = r->TakeContent();
    Trace(TDvSOAPTrace::TKind::tkResponse, r->GetStatusCode(), text);
    auto response = ParseChecked(r, [&] { return std::make_shared<TDvSOAPResponse>(text); });
    return response;
  }

  DvBinResponsePtr SendBin() override {
    auto bin = std::make_shared<TDvBinResponse>();
    DvHTTPResponsePtr r = Post(bin.get());
    auto response = ParseChecked(r, [&] {
      bin->Finish();
      return bin;
    });
    Trace(TDvSOAPTrace::TKind::tkResponse, r->GetStatusCode(), bin->GetEnvelopeText());
    return response;
  }

  void Abort() override {
    std::lock_guard<std::mutex> lock(lock_);
    aborted_ = true;
    if (current_) current_->Abort();
  }

 private:
  DvHTTPResponsePtr Post(TDvBinResponse* bin) {
    if (!http_) throw Exception("The SOAP client has no HTTP client");
    if (url_.empty()) throw Exception("The SOAP client has no service URL");
    std::string xml = GetXML();
    Trace(TDvSOAPTrace::TKind::tkRequest, 0, xml);
    std::string contentType = "text/xml; charset=utf-8";
    if (encoding_ == TDvSOAPEncoding::seSOAP12) {
      contentType = "application/soap+xml; charset=utf-8";
      if (!action_.empty()) contentType += "; action=\"" + action_ + "\"";
    }
    DvHTTPRequestPtr request = http_->CreateRequest("POST", url_, std::move(xml), contentType);
    if (encoding_ == TDvSOAPEncoding::seSOAP11)
      request->AddHeader("SOAPAction", "\"" + action_ + "\"");
    for (const auto& [n, v] : headers_.Items())
      request->AddHeader(n, v);
    for (const auto& [n, v] : cookies_)
      request->AddCookie(n, v);
    if (bin)
      request->SetBodySink([bin](const char* data, std::size_t size) { bin->Feed(data, size); });
    {
      std::lock_guard<std::mutex> lock(lock_);
      current_ = request;
      if (aborted_) request->Abort();
    }
    struct Clear {
      TDvSOAPRequest& self;
      ~Clear() {
        std::lock_guard<std::mutex> lock(self.lock_);
        self.current_.reset();
      }
    } clear{*this};
    return request->Send();
  }

  // A fault raises whatever the status; another status than 200 raises an HTTP error.
  template <typename Make>
  auto ParseChecked(const DvHTTPResponsePtr& r, Make make) -> decltype(make()) {
    int status = r->GetStatusCode();
    decltype(make()) response;
    try {
      response = make();
    } catch (const EDvXMLException&) {
      if (status != 200)
        throw EDvHTTPException("HTTP " + std::to_string(status) + " " + r->GetReasonPhrase(),
                               status);
      throw;
    }
    response->SetStatusCode(status);
    response->CheckFault(status);
    if (status != 200)
      throw EDvHTTPException("HTTP " + std::to_string(status) + " " + r->GetReasonPhrase(), status);
    return response;
  }

  void Trace(TDvSOAPTrace::TKind kind, int status, std::string_view text) const {
    if (!onTrace_) return;
    TDvSOAPTrace t;
    t.Kind = kind;
    t.URL = url_;
    t.StatusCode = status;
    t.Content = DvMaskSecrets(text);
    onTrace_(t);
  }

  DvHTTPClientPtr http_;
  std::string url_;
  TDvSOAPEncoding encoding_;
  std::string prefix_;
  std::string action_;
  std::string responseName_;
  TDvSOAPTraceEvent onTrace_;
  DvDOMDocumentPtr document_;
  DvDOMElementPtr envelope_, header_, body_, operation_;
  TDvHTTPHeaders headers_;
  std::vector<std::pair<std::string, std::string>> cookies_;
  std::mutex lock_;  // guards current_ and aborted_ against Abort from another thread
  DvHTTPRequestPtr current_;
  bool aborted_ = false;
};

}  // namespace

void TDvSOAPClient::InitSOAPEnv(const std::string& url, const std::string& envelopePrefix,
                                const std::vector<TDvSOAPNamespace>& namespaces,
                                TDvSOAPEncoding encoding) {
  url_ = url;
  prefix_ = envelopePrefix.empty() ? std::string("soap") : envelopePrefix;
  namespaces_ = namespaces;
  encoding_ = encoding;
}

DvSOAPRequestPtr TDvSOAPClient::CreateRequest(const std::string& soapAction,
                                              std::string_view operation,
                                              const std::string& responseName) {
  return std::make_shared<TDvSOAPRequest>(*this, soapAction, operation, responseName);
}

}  // namespace dv
