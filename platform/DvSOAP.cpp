// SOAP envelopes over DvXML and the HTTP clients.
#include "DvSOAP.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <istream>
#include <map>
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
  Load(std::move(text));
}

TDvSOAPResponse::TDvSOAPResponse(std::string_view text) {
  Load(std::string(text));
}

TDvSOAPResponse::TDvSOAPResponse(const char* text) {
  Load(std::string(text));
}

TDvSOAPResponse::TDvSOAPResponse(std::string&& text) {
  Load(std::move(text));
}

void TDvSOAPResponse::Load(std::string&& text) {
  document_ = DvCreateDOM(std::move(text));
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
  Load(std::string(xml_));
}

// ---------------------------------------------------------------------------------------------
// Requests

namespace {

using Clock = std::chrono::steady_clock;

// The back-off shared by every request to one service URL as one user: a busy answer to any of
// them holds back the next requests of all.
class TThrottleGate {
 public:
  Clock::time_point NotBefore() {
    std::lock_guard<std::mutex> lock(lock_);
    return notBefore_;
  }
  void Extend(Clock::time_point until) {
    std::lock_guard<std::mutex> lock(lock_);
    notBefore_ = std::max(notBefore_, until);
  }

 private:
  std::mutex lock_;
  Clock::time_point notBefore_{};
};

std::shared_ptr<TThrottleGate> GateFor(const std::string& url, const std::string& user) {
  // Kept for the life of the process: one small entry per service URL and user.
  static std::mutex lock;
  static std::map<std::string, std::shared_ptr<TThrottleGate>> gates;
  std::string key = url + '\n';
  for (char c : user)
    key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::lock_guard<std::mutex> guard(lock);
  std::shared_ptr<TThrottleGate>& gate = gates[key];
  if (!gate) gate = std::make_shared<TThrottleGate>();
  return gate;
}

// A busy answer: the server did not carry the request out and asks to be asked again later.
struct TBusyAnswer {
  long long waitMs = -1;  // the server's hint, or -1
  std::string reason;
  std::string responseCode;
  int status = 0;
};

bool IsBusyCode(std::string_view code) {
  return code == "ErrorServerBusy" || code == "ErrorExceededConnectionCount";
}

// The BackOffMilliseconds value anywhere below `e` (in a fault's detail or a response message's
// MessageXml), or -1.
long long BackOffOf(const DvDOMElementPtr& e) {
  if (!e) return -1;
  if (e->GetLocalName() == "Value" && e->GetAttribute("Name") == "BackOffMilliseconds") {
    const std::string text = e->GetAsString();
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    return end != text.c_str() && v >= 0 ? v : -1;
  }
  for (int i = 0; i < e->ElementCount(); ++i)
    if (long long v = BackOffOf(e->GetElement(i)); v >= 0) return v;
  return -1;
}

// Retry-After as delay-seconds, in milliseconds; -1 when absent or an HTTP date.
long long RetryAfterOf(const std::string& value) {
  if (value.empty() ||
      !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return -1;
  return std::min<long long>(std::strtoll(value.c_str(), nullptr, 10), 86400) * 1000;
}

// Operations that change nothing: safe to send again when a connection drops under them.
bool IsReadOnlyOperation(std::string_view localName) {
  for (std::string_view prefix : {"Get", "Find", "Resolve", "Expand", "Convert"})
    if (localName.substr(0, prefix.size()) == prefix) return true;
  return false;
}

std::string SecondsText(long long milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(milliseconds) / 1000.0);
  return text;
}

bool LooksLikeHTML(std::string_view contentType, std::string_view body) {
  std::string lower(contentType.substr(0, 64));
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower.find("html") != std::string::npos) return true;
  std::size_t i = body.find_first_not_of(" \t\r\n");
  if (i == std::string_view::npos) return false;
  std::string head(body.substr(i, 16));
  for (char& c : head)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return head.starts_with("<!doctype html") || head.starts_with("<html");
}

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
        onTrace_(client.GetOnTrace()),
        policy_(client.GetRetryPolicy()),
        onThrottled_(client.GetOnThrottled()) {
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
    return Retrying([&] {
      DvHTTPResponsePtr r = Post(nullptr);
      std::string text = r->TakeContent();
      Trace(TDvSOAPTrace::TKind::tkResponse, r->GetStatusCode(), text);
      // The body is parsed where it lies (no copy), which rewrites it: what a refusal needs to
      // know about it is learnt first.
      const bool html = LooksLikeHTML(r->GetContentType(), text);
      return ParseChecked(r, html,
                          [&] { return std::make_shared<TDvSOAPResponse>(std::move(text)); });
    });
  }

  DvBinResponsePtr SendBin() override {
    return Retrying([&] {
      auto bin = std::make_shared<TDvBinResponse>();
      DvHTTPResponsePtr r = Post(bin.get());
      Trace(TDvSOAPTrace::TKind::tkResponse, r->GetStatusCode(), bin->GetEnvelopeText());
      return ParseChecked(r, LooksLikeHTML(r->GetContentType(), bin->GetEnvelopeText()), [&] {
        bin->Finish();
        return bin;
      });
    });
  }

  void Abort() override {
    std::lock_guard<std::mutex> lock(lock_);
    aborted_ = true;
    wake_.notify_all();
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
    request->SetIdempotent(operation_ && IsReadOnlyOperation(operation_->GetLocalName()));
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

  // Sends by `attempt` until an answer is not a busy one, waiting between as the server asks
  // and the retry policy allows, and after the back-off other requests of the same URL and user
  // met.
  template <typename Attempt>
  auto Retrying(Attempt attempt) -> decltype(attempt()) {
    const std::shared_ptr<TThrottleGate> gate =
        GateFor(url_, http_ ? http_->GetCredentials().GetUserName() : std::string());
    long long waited = 0;
    for (int retries = 0;; ++retries) {
      waited += WaitUntil(gate->NotBefore(), policy_.MaxWait - waited);
      try {
        return attempt();
      } catch (const TBusyAnswer& busy) {
        const long long wait = busy.waitMs >= 0
                                   ? busy.waitMs
                                   : static_cast<long long>(std::max(0, policy_.DefaultWait))
                                         << std::min(retries, 16);
        const std::string why =
            busy.reason +
            (busy.responseCode.empty() || busy.reason.find(busy.responseCode) != std::string::npos
                 ? std::string()
                 : " (" + busy.responseCode + ")");
        if (retries >= policy_.MaxRetries)
          throw EDvThrottledException("Throttled: " + why + "; gave up after " +
                                          std::to_string(retries) +
                                          (retries == 1 ? " retry" : " retries"),
                                      busy.responseCode, busy.status, retries);
        if (waited + wait > policy_.MaxWait)
          throw EDvThrottledException("Throttled: " + why + "; the server asks to wait " +
                                          SecondsText(wait) + ", longer than the " +
                                          SecondsText(policy_.MaxWait) + " allowed",
                                      busy.responseCode, busy.status, retries);
        gate->Extend(Clock::now() + std::chrono::milliseconds(wait));
        if (onThrottled_) onThrottled_(static_cast<double>(wait) / 1000.0, busy.reason);
      }
    }
  }

  // Sleeps until `until` but at most `limit` ms, or until aborted; gives the time slept.
  long long WaitUntil(Clock::time_point until, long long limit) {
    const Clock::time_point start = Clock::now();
    if (until <= start || limit <= 0) return 0;
    until = std::min(until, start + std::chrono::milliseconds(limit));
    std::unique_lock<std::mutex> lock(lock_);
    wake_.wait_until(lock, until, [this] { return aborted_; });
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  }

  // A fault raises whatever the status; another status than 200 raises an HTTP error; a busy
  // answer raises TBusyAnswer for Retrying.
  template <typename Make>
  auto ParseChecked(const DvHTTPResponsePtr& r, bool looksLikeHTML, Make make) -> decltype(make()) {
    const int status = r->GetStatusCode();
    const std::string statusText = "HTTP " + std::to_string(status) + " " + r->GetReasonPhrase();
    if (status == 503 || status == 429)
      throw TBusyAnswer{RetryAfterOf(r->GetHeader("Retry-After")), statusText, {}, status};
    decltype(make()) response;
    try {
      response = make();
    } catch (const EDvXMLException&) {
      if (looksLikeHTML)
        throw EDvHTTPException("The server sent HTML, not SOAP (" + statusText + ")", status);
      if (status != 200) throw EDvHTTPException(statusText, status);
      throw;
    }
    response->SetStatusCode(status);
    try {
      response->CheckFault(status);
    } catch (const EDvSOAPFaultException& e) {
      if (!IsBusyCode(e.GetResponseCode())) throw;
      throw TBusyAnswer{BackOffOf(response->GetResponse()), "server busy", e.GetResponseCode(),
                        status};
    }
    if (status != 200) throw EDvHTTPException(statusText, status);
    CheckAllBusy(*response, status);
    return response;
  }

  // An answer whose every response message is a busy one: nothing was done.
  static void CheckAllBusy(const TDvSOAPResponse& response, int status) {
    DvDOMElementPtr op = response.GetResponse();
    DvDOMElementPtr messages = op ? op->ElementByName("ResponseMessages") : nullptr;
    if (!messages || messages->ElementCount() == 0) return;
    std::string code;
    for (int i = 0; i < messages->ElementCount(); ++i) {
      DvDOMElementPtr m = messages->GetElement(i);
      DvDOMElementPtr c = m->ElementByName("ResponseCode");
      if (m->GetAttribute("ResponseClass") != "Error" || !c || !IsBusyCode(c->GetAsString()))
        return;
      code = c->GetAsString();
    }
    throw TBusyAnswer{BackOffOf(messages), "server busy", code, status};
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
  TDvRetryPolicy policy_;
  TDvThrottledEvent onThrottled_;
  DvDOMDocumentPtr document_;
  DvDOMElementPtr envelope_, header_, body_, operation_;
  TDvHTTPHeaders headers_;
  std::vector<std::pair<std::string, std::string>> cookies_;
  std::mutex lock_;               // guards current_ and aborted_ against Abort from another thread
  std::condition_variable wake_;  // ends a back-off wait when aborted
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
