// HTTP clients over libcurl: one easy handle and one multi handle (the connection cache) per
// client, a transfer loop on curl_multi_poll that an abort wakes at once, time-outs kept by the
// loop, and certificate checks with per-error exceptions through OpenSSL's verify callback.
#include "DvHTTP.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "DvOAuth.h"

namespace dv {

namespace {

using Clock = std::chrono::steady_clock;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string ToLower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    c = Lower(c);
  return r;
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Error codes

std::uint32_t DvCurlCodeToWinError(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return DvHTTPError::UnrecognizedScheme;
    case CURLE_URL_MALFORMAT:
      return DvHTTPError::InvalidURL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return DvHTTPError::NameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return DvHTTPError::CannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return DvHTTPError::Timeout;
    case CURLE_ABORTED_BY_CALLBACK:
      return DvHTTPError::InvalidHandle;
    case CURLE_OUT_OF_MEMORY:
      return DvHTTPError::OutOfMemory;
    case CURLE_TOO_MANY_REDIRECTS:
      return DvHTTPError::RedirectFailed;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_BAD_CONTENT_ENCODING:
      return DvHTTPError::InvalidServerResponse;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return DvHTTPError::ConnectionAborted;
    case CURLE_RECV_ERROR:
      return DvHTTPError::ConnectionReset;
    case CURLE_PEER_FAILED_VERIFICATION:
      return DvHTTPError::SecureInvalidCA;
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return DvHTTPError::SecureCertRevFailed;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_USE_SSL_FAILED:
      return DvHTTPError::SecureFailure;
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
      return DvHTTPError::LoginFailure;
    default:
      return DvHTTPError::InternalError;
  }
}

// ---------------------------------------------------------------------------------------------
// URLs

TDvURLData::TDvURLData(std::string_view url) {
  *this = DvDecodeURL(url);
}

int TDvURLData::GetDefaultPort() const {
  if (Port != 0) return Port;
  return Scheme == "https" ? 443 : 80;
}

TDvURLData DvDecodeURL(std::string_view url) {
  TDvURLData d;
  std::string_view s = Trim(url);
  std::size_t p = s.find("://");
  if (p == std::string_view::npos || p == 0) throw EConvertError("Invalid URL: no scheme");
  d.Scheme = ToLower(s.substr(0, p));
  s.remove_prefix(p + 3);
  std::size_t end = s.find_first_of("/?#");
  std::string_view authority = s.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view() : s.substr(end);
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userInfo = authority.substr(0, at);
    authority.remove_prefix(at + 1);
    std::size_t colon = userInfo.find(':');
    d.UserName = DvURLDecode(userInfo.substr(0, colon));
    if (colon != std::string_view::npos) d.Password = DvURLDecode(userInfo.substr(colon + 1));
  }
  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) throw EConvertError("Invalid URL: bad IPv6 address");
    d.Host = ToLower(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty() && after.front() == ':') portText = after.substr(1);
  } else {
    std::size_t colon = authority.rfind(':');
    d.Host = ToLower(authority.substr(0, colon));
    if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
  }
  if (d.Host.empty()) throw EConvertError("Invalid URL: no host");
  if (!portText.empty()) {
    int port = 0;
    for (char c : portText) {
      if (c < '0' || c > '9' || port > 65535) throw EConvertError("Invalid URL: bad port");
      port = port * 10 + (c - '0');
    }
    if (port > 65535) throw EConvertError("Invalid URL: bad port");
    d.Port = port;
  }
  std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    d.Fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  std::size_t q = rest.find('?');
  if (q != std::string_view::npos) {
    d.Query = std::string(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }
  d.Path = std::string(rest);
  return d;
}

std::string DvURLEncode(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string r;
  r.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      r += static_cast<char>(c);
    } else {
      r += '%';
      r += hex[c >> 4];
      r += hex[c & 15];
    }
  }
  return r;
}

std::string DvURLDecode(std::string_view text, bool plusAsSpace) {
  auto hexValue = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string r;
  r.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      int h = hexValue(text[i + 1]), l = hexValue(text[i + 2]);
      if (h >= 0 && l >= 0) {
        r += static_cast<char>(h * 16 + l);
        i += 2;
        continue;
      }
    }
    r += (plusAsSpace && c == '+') ? ' ' : c;
  }
  return r;
}

// ---------------------------------------------------------------------------------------------
// Headers

const TDvHTTPHeaders::Item& TDvHTTPHeaders::GetItem(int index) const {
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds");
  return items_[static_cast<std::size_t>(index)];
}

std::string TDvHTTPHeaders::GetValue(std::string_view name) const {
  for (const auto& [n, v] : items_)
    if (IEquals(n, name)) return v;
  return {};
}

bool TDvHTTPHeaders::Has(std::string_view name) const {
  return std::any_of(items_.begin(), items_.end(),
                     [&](const Item& i) { return IEquals(i.first, name); });
}

std::vector<std::string> TDvHTTPHeaders::GetValues(std::string_view name) const {
  std::vector<std::string> r;
  for (const auto& [n, v] : items_)
    if (IEquals(n, name)) r.push_back(v);
  return r;
}

void TDvHTTPHeaders::SetValue(std::string_view name, std::string_view value) {
  Remove(name);
  if (!value.empty()) Add(name, value);
}

void TDvHTTPHeaders::Add(std::string_view name, std::string_view value) {
  items_.emplace_back(std::string(name), std::string(value));
}

void TDvHTTPHeaders::Remove(std::string_view name) {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const Item& i) { return IEquals(i.first, name); }),
               items_.end());
}

// ---------------------------------------------------------------------------------------------
// Cookies

bool DvParseSetCookie(std::string_view text, const TDvURLData& url, TDvHTTPCookie& cookie) {
  cookie = TDvHTTPCookie();
  // A control character (a tab aside) makes the whole header ignored, as browsers do: a stored
  // carriage return would otherwise go out inside the Cookie header of later requests.
  if (std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7F;
      }))
    return false;
  std::size_t semi = text.find(';');
  std::string_view pair = Trim(text.substr(0, semi));
  std::size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return false;
  cookie.Name = std::string(Trim(pair.substr(0, eq)));
  if (cookie.Name.empty()) return false;
  std::string_view value = Trim(pair.substr(eq + 1));
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
    value = value.substr(1, value.size() - 2);
  cookie.Value = std::string(value);
  cookie.Domain = url.Host;
  // Default path: the request path up to its last '/'.
  std::string path = url.GetPathOrRoot();
  std::size_t slash = path.rfind('/');
  cookie.Path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  bool hasMaxAge = false;
  while (semi != std::string_view::npos) {
    text.remove_prefix(semi + 1);
    semi = text.find(';');
    std::string_view attr = Trim(text.substr(0, semi));
    std::size_t aeq = attr.find('=');
    std::string name = ToLower(Trim(attr.substr(0, aeq)));
    std::string_view v =
        aeq == std::string_view::npos ? std::string_view() : Trim(attr.substr(aeq + 1));
    if (name == "domain" && !v.empty()) {
      if (v.front() == '.') v.remove_prefix(1);
      std::string domain = ToLower(v);
      // A cookie may only be set for the host itself or a domain it belongs to.
      bool matches = domain == url.Host || (url.Host.size() > domain.size() &&
                                            url.Host.compare(url.Host.size() - domain.size(),
                                                             domain.size(), domain) == 0 &&
                                            url.Host[url.Host.size() - domain.size() - 1] == '.');
      if (!matches) return false;
      cookie.Domain = domain;
      cookie.HostOnly = false;
    } else if (name == "path" && !v.empty() && v.front() == '/') {
      cookie.Path = std::string(v);
    } else if (name == "secure") {
      cookie.Secure = true;
    } else if (name == "httponly") {
      cookie.HttpOnly = true;
    } else if (name == "max-age" && !v.empty()) {
      try {
        long long seconds = std::stoll(std::string(v));
        cookie.Expires =
            seconds <= 0 ? TDateTime(1.0) : TDateTime::NowUTC().AddSeconds(double(seconds));
        hasMaxAge = true;
      } catch (const std::exception&) {
      }
    } else if (name == "expires" && !v.empty() && !hasMaxAge) {
      std::string when(v);
      time_t t = curl_getdate(when.c_str(), nullptr);
      if (t != -1)
        cookie.Expires =
            t <= 0 ? TDateTime(1.0) : TDateTime::FromUnixMilliseconds(std::int64_t(t) * 1000);
    }
  }
  return true;
}

void TDvHTTPCookieList::Add(const TDvURLData& url, std::string_view setCookie) {
  TDvHTTPCookie c;
  if (DvParseSetCookie(setCookie, url, c)) Add(c);
}

void TDvHTTPCookieList::Add(const TDvHTTPCookie& cookie) {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const TDvHTTPCookie& c) {
                                return c.Name == cookie.Name && c.Domain == cookie.Domain &&
                                       c.Path == cookie.Path;
                              }),
               items_.end());
  bool expired = !cookie.Expires.IsZero() && cookie.Expires <= TDateTime::NowUTC();
  if (!expired) items_.push_back(cookie);
}

const TDvHTTPCookie& TDvHTTPCookieList::GetItem(int index) const {
  Purge();
  if (index < 0 || index >= Count()) throw EListError("List index out of bounds");
  return items_[static_cast<std::size_t>(index)];
}

void TDvHTTPCookieList::Purge() const {
  TDateTime now = TDateTime::NowUTC();
  items_.erase(std::remove_if(
                   items_.begin(), items_.end(),
                   [&](const TDvHTTPCookie& c) { return !c.Expires.IsZero() && c.Expires <= now; }),
               items_.end());
}

std::string TDvHTTPCookieList::GetValue(std::string_view name) const {
  Purge();
  for (const auto& c : items_)
    if (c.Name == name) return c.Value;
  return {};
}

std::string TDvHTTPCookieList::GetCookieHeader(const TDvURLData& url) const {
  Purge();
  std::string path = url.GetPathOrRoot();
  std::string r;
  for (const auto& c : items_) {
    bool domainOk = c.HostOnly ? url.Host == c.Domain
                               : (url.Host == c.Domain ||
                                  (url.Host.size() > c.Domain.size() &&
                                   url.Host.compare(url.Host.size() - c.Domain.size(),
                                                    c.Domain.size(), c.Domain) == 0 &&
                                   url.Host[url.Host.size() - c.Domain.size() - 1] == '.'));
    if (!domainOk) continue;
    bool pathOk =
        path.compare(0, c.Path.size(), c.Path) == 0 &&
        (path.size() == c.Path.size() || c.Path.back() == '/' || path[c.Path.size()] == '/');
    if (!pathOk) continue;
    if (c.Secure && !url.IsSecure()) continue;
    if (!r.empty()) r += "; ";
    r += c.Name + "=" + c.Value;
  }
  return r;
}

void TDvHTTPCookieList::Remove(std::string_view name) {
  items_.erase(std::remove_if(items_.begin(), items_.end(),
                              [&](const TDvHTTPCookie& c) { return c.Name == name; }),
               items_.end());
}

std::vector<TDvHTTPCookie> TDvHTTPResponse::GetCookies() const {
  std::vector<TDvHTTPCookie> r;
  TDvURLData url;
  try {
    url = DvDecodeURL(url_);
  } catch (const EConvertError&) {
  }
  for (const auto& v : headers_.GetValues("Set-Cookie")) {
    TDvHTTPCookie c;
    if (DvParseSetCookie(v, url, c)) r.push_back(std::move(c));
  }
  return r;
}

std::string TDvHTTPResponse::GetCookie(std::string_view name) const {
  std::string r;
  for (const auto& c : GetCookies())
    if (c.Name == name) r = c.Value;  // the last one set wins
  return r;
}

// ---------------------------------------------------------------------------------------------
// Back-end sessions

TDvHTTPSession::TDvHTTPSession() {
  GlobalInit();
  CURLSH* sh = curl_share_init();
  curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(sh, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(sh, CURLSHOPT_LOCKFUNC, &TDvHTTPSession::Lock);
  curl_share_setopt(sh, CURLSHOPT_UNLOCKFUNC, &TDvHTTPSession::Unlock);
  curl_share_setopt(sh, CURLSHOPT_USERDATA, this);
  share_ = sh;
}

TDvHTTPSession::~TDvHTTPSession() {
  curl_share_cleanup(static_cast<CURLSH*>(share_));
}

void TDvHTTPSession::Lock(void*, int data, int, void* user) {
  static_cast<TDvHTTPSession*>(user)->locks_[static_cast<unsigned>(data) % 8].lock();
}

void TDvHTTPSession::Unlock(void*, int data, void* user) {
  static_cast<TDvHTTPSession*>(user)->locks_[static_cast<unsigned>(data) % 8].unlock();
}

void TDvHTTPSession::SetActive(bool v) {
  if (v && accessType_ == TDvHTTPAccessType::atNamedProxy && proxyServer_.empty())
    throw EDvHTTPClientApiException(SendFunctionName(), "No proxy server specified",
                                    DvHTTPError::InternalError);
  active_ = v;
}

void TDvHTTPSession::ResetConnection(IDvHTTPClient& client) {
  client.ResetConnection();
}

// ---------------------------------------------------------------------------------------------
// Requests

class TDvHTTPRequest : public IDvHTTPRequest {
 public:
  TDvHTTPRequest(std::shared_ptr<TDvHTTPClient> client, std::string_view method,
                 std::string_view url, std::string_view contentType)
      : client_(std::move(client)),
        method_(ToUpperMethod(method)),
        url_(url),
        contentType_(contentType),
        idempotent_(method_ != "POST" && method_ != "PATCH") {}

  const std::string& GetMethod() const override { return method_; }
  const std::string& GetURL() const override { return url_; }
  const std::string& GetContentType() const override { return contentType_; }
  TDvHTTPHeaders& GetHeaders() override { return headers_; }
  void AddHeader(std::string_view name, std::string_view value) override {
    headers_.Add(name, value);
  }
  void AddCookie(std::string_view name, std::string_view value) override {
    cookies_.emplace_back(std::string(name), std::string(value));
  }
  void SetBodySink(TBodySink sink) override { sink_ = std::move(sink); }
  bool GetIdempotent() const override { return idempotent_; }
  void SetIdempotent(bool value) override { idempotent_ = value; }
  DvHTTPResponsePtr Send() override { return client_->Execute(*this); }
  void Abort() override {
    aborted_.store(true);
    client_->Wakeup();
  }
  bool GetAborted() const override { return aborted_.load(); }
  DvHTTPResponsePtr GetResponse() const override { return response_; }

  static std::string ToUpperMethod(std::string_view m) {
    std::string r(m.empty() ? std::string_view("GET") : m);
    for (char& c : r)
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return r;
  }

  std::shared_ptr<TDvHTTPClient> client_;
  std::string method_;
  std::string url_;
  std::string contentType_;
  std::string body_;
  std::shared_ptr<std::istream> bodyStream_;
  std::istream::pos_type bodyStart_ = 0;
  TDvHTTPHeaders headers_;
  std::vector<std::pair<std::string, std::string>> cookies_;
  TBodySink sink_;
  bool idempotent_ = true;
  std::atomic<bool> aborted_{false};
  DvHTTPResponsePtr response_;
};

// ---------------------------------------------------------------------------------------------
// Certificate checks

struct TDvHTTPClient::TlsState {
  TDvHTTPSecurityFlags flags;
  std::uint32_t error = 0;  // the first certificate failure not ignored
};

namespace {

int TlsIndex() {
  static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// Which security flag ignores a verification error, and the Windows-style code it gives.
std::uint32_t ClassifyVerifyError(int err, TDvHTTPSecurityFlag& flag) {
  switch (err) {
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      flag = TDvHTTPSecurityFlag::sfIgnoreInvalidCertDate;
      return DvHTTPError::SecureCertDateInvalid;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
      flag = TDvHTTPSecurityFlag::sfIgnoreUnknownCA;
      return DvHTTPError::SecureInvalidCA;
    case X509_V_ERR_CERT_REVOKED:
      flag = TDvHTTPSecurityFlag::sfIgnoreRevocation;
      return DvHTTPError::SecureCertRevoked;
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
      flag = TDvHTTPSecurityFlag::sfIgnoreRevocation;
      return DvHTTPError::SecureCertRevFailed;
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
      flag = TDvHTTPSecurityFlag::sfIgnoreWrongUsage;
      return DvHTTPError::SecureCertWrongUsage;
    case X509_V_ERR_HOSTNAME_MISMATCH:
      flag = TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName;
      return DvHTTPError::SecureCertCNInvalid;
    default:
      return 0;
  }
}

int VerifyCallback(int preverifyOk, X509_STORE_CTX* ctx) {
  if (preverifyOk) return 1;
  SSL* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* state = ssl ? static_cast<TDvHTTPClient::TlsState*>(
                          SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TlsIndex()))
                    : nullptr;
  int err = X509_STORE_CTX_get_error(ctx);
  TDvHTTPSecurityFlag flag{};
  std::uint32_t code = ClassifyVerifyError(err, flag);
  if (state && code != 0 && state->flags.Contains(flag)) {
    X509_STORE_CTX_set_error(ctx, X509_V_OK);
    return 1;
  }
  if (state && state->error == 0) state->error = code != 0 ? code : DvHTTPError::SecureFailure;
  return 0;
}

CURLcode SslCtxCallback(CURL*, void* sslctx, void* user) {
  auto* ctx = static_cast<SSL_CTX*>(sslctx);
  auto* state = static_cast<TDvHTTPClient::TlsState*>(user);
  SSL_CTX_set_ex_data(ctx, TlsIndex(), state);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &VerifyCallback);
  return CURLE_OK;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Clients

struct TDvHTTPClient::Transfer {
  TDvHTTPClient* client = nullptr;
  TDvHTTPRequest* request = nullptr;
  DvHTTPResponsePtr response;
  std::string buffer;  // bytes for the data-received handler not yet consumed
  bool headersDone = false;
  bool final = false;  // the current response is the one returned (not an auth or redirect step)
  bool connected = false;
  bool tooLarge = false;       // the body passed the client's maximum response size
  int requestsIssued = 0;      // requests issued on a connection within this transfer
  bool answered = true;        // some response bytes arrived since the last request was issued
  bool resendRefused = false;  // a silent resend of a request that is not idempotent was stopped
  Clock::time_point lastActivity;
  curl_off_t ulnow = 0, dlnow = 0, ultotal = 0;
  std::exception_ptr callbackError;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() { curl_slist_free_all(headerList); }

  size_t OnHeader(char* data, size_t n);
  size_t OnWrite(char* data, size_t n);

  bool IsFinalStatus() const {
    int s = response->statusCode_;
    if (s < 200) return false;
    if (s == 401 || s == 407) return false;
    if (client->followRedirects_ && (s == 301 || s == 302 || s == 303 || s == 307 || s == 308) &&
        response->headers_.Has("Location"))
      return false;
    return true;
  }
};

namespace {

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  return static_cast<TDvHTTPClient::Transfer*>(user)->OnHeader(data, size * count);
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  return static_cast<TDvHTTPClient::Transfer*>(user)->OnWrite(data, size * count);
}
}  // namespace
size_t TDvHTTPClient::Transfer::OnHeader(char* data, size_t n) {
  Transfer* t = this;
  std::string_view line = Trim(std::string_view(data, n));
  TDvHTTPResponse& r = *t->response;
  t->answered = true;
  if (line.substr(0, 5) == "HTTP/") {
    // A new response (an interim, authentication or redirect step, or the final one).
    std::size_t sp = line.find(' ');
    r.version_ = std::string(line.substr(0, sp));
    r.statusCode_ = 0;
    r.reason_.clear();
    if (sp != std::string_view::npos) {
      std::string_view rest = line.substr(sp + 1);
      std::size_t sp2 = rest.find(' ');
      try {
        r.statusCode_ = std::stoi(std::string(rest.substr(0, sp2)));
      } catch (const std::exception&) {
      }
      if (sp2 != std::string_view::npos) r.reason_ = std::string(Trim(rest.substr(sp2 + 1)));
    }
    r.headers_.Clear();
    r.content_.clear();
    t->headersDone = false;
    t->final = false;
    return n;
  }
  if (line.empty()) {
    t->headersDone = true;
    t->final = t->IsFinalStatus();
    return n;
  }
  std::size_t colon = line.find(':');
  if (colon != std::string_view::npos) {
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    r.headers_.Add(name, value);
    if (IEquals(name, "Set-Cookie")) {
      char* effective = nullptr;
      curl_easy_getinfo(static_cast<CURL*>(t->client->easy_), CURLINFO_EFFECTIVE_URL, &effective);
      try {
        t->client->cookies_.Add(DvDecodeURL(effective ? effective : t->request->url_), value);
      } catch (const EConvertError&) {
      }
    }
  }
  return n;
}

size_t TDvHTTPClient::Transfer::OnWrite(char* data, size_t n) {
  Transfer* t = this;
  t->lastActivity = Clock::now();
  if (!t->final) {
    // The body of an authentication or redirect step: kept only as the content of a response
    // that might end up returned (a refused login).
    int s = t->response->statusCode_;
    if (s == 401 || s == 407) t->response->content_.append(data, n);
    return n;
  }
  try {
    if (t->request->sink_) {
      t->request->sink_(data, n);
    } else if (t->client->onDataReceived_) {
      t->buffer.append(data, n);
      t->client->onDataReceived_(*t->client, t->buffer);
    } else {
      std::string& content = t->response->content_;
      const std::int64_t limit = t->client->maxResponseSize_;
      if (limit > 0 && std::int64_t(content.size() + n) > limit) {
        t->tooLarge = true;
        return CURL_WRITEFUNC_ERROR;
      }
      // Room for the whole body at once when its size is known, so that reading a response
      // takes about its size in memory rather than the doublings of a growing string.
      if (content.empty() && !t->response->headers_.Has("Content-Encoding")) {
        const std::string length = t->response->headers_.GetValue("Content-Length");
        char* end = nullptr;
        const long long size = std::strtoll(length.c_str(), &end, 10);
        if (!length.empty() && end && *end == '\0' && size > 0 && (limit <= 0 || size <= limit))
          content.reserve(static_cast<std::size_t>(size));
      }
      content.append(data, n);
    }
  } catch (...) {
    t->callbackError = std::current_exception();
    return CURL_WRITEFUNC_ERROR;
  }
  return n;
}

namespace {

size_t ReadCallback(char* buffer, size_t size, size_t count, void* user) {
  auto* t = static_cast<TDvHTTPClient::Transfer*>(user);
  std::istream& in = *t->request->bodyStream_;
  in.read(buffer, static_cast<std::streamsize>(size * count));
  if (in.bad()) return CURL_READFUNC_ABORT;
  t->lastActivity = Clock::now();
  return static_cast<size_t>(in.gcount());
}

int SeekCallback(void* user, curl_off_t offset, int origin) {
  auto* t = static_cast<TDvHTTPClient::Transfer*>(user);
  std::istream& in = *t->request->bodyStream_;
  if (origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  in.clear();
  in.seekg(t->request->bodyStart_ + static_cast<std::streamoff>(offset));
  return in.fail() ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
}

int XferInfoCallback(void* user, curl_off_t, curl_off_t dlnow, curl_off_t ultotal,
                     curl_off_t ulnow) {
  auto* t = static_cast<TDvHTTPClient::Transfer*>(user);
  if (dlnow != t->dlnow || ulnow != t->ulnow) t->lastActivity = Clock::now();
  t->dlnow = dlnow;
  t->ulnow = ulnow;
  t->ultotal = ultotal;
  return t->request->aborted_.load() ? 1 : 0;
}

int PrereqCallback(void* user, char*, char*, int, int) {
  auto* t = static_cast<TDvHTTPClient::Transfer*>(user);
  // A second request with no answer to the first in between is libcurl sending the request
  // again on a fresh connection after the reused one closed without a word. The first may have
  // reached the server and been carried out: only an idempotent request goes again.
  if (t->requestsIssued > 0 && !t->answered && !t->request->idempotent_) {
    t->resendRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  ++t->requestsIssued;
  t->answered = false;
  t->connected = true;
  t->lastActivity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

std::string ProxyBypassList(const std::string& bypass) {
  std::string r;
  std::string item;
  auto flush = [&] {
    if (item.empty()) return;
    if (IEquals(item, "<local>")) item = "localhost,127.0.0.1,::1";
    if (item.front() == '*')
      item.erase(0, item.front() == '*' && item.size() > 1 && item[1] == '.' ? 2 : 1);
    if (!r.empty()) r += ',';
    r += item;
    item.clear();
  };
  for (char c : bypass) {
    if (c == ';' || c == ',' || c == ' ' || c == '\t')
      flush();
    else
      item += c;
  }
  flush();
  return r;
}

// "30 s", "1.5 s".
std::string Seconds(int milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, milliseconds % 1000 == 0 ? "%.0f s" : "%.1f s",
                milliseconds / 1000.0);
  return text;
}

// What went wrong, in words a user can act on; the transport's own text follows it.
std::string FailureText(CURLcode result, std::uint32_t code, bool connected, int deadline,
                        long osError) {
  switch (code) {
    case DvHTTPError::CannotConnect:
      return osError == ECONNREFUSED ? "Connection refused" : "Host unreachable";
    case DvHTTPError::NameNotResolved:
      return "Host name not resolved";
    case DvHTTPError::SecureInvalidCA:
      return "TLS certificate not trusted";
    case DvHTTPError::SecureCertCNInvalid:
      return "TLS certificate does not match the host name";
    case DvHTTPError::SecureCertDateInvalid:
      return "TLS certificate expired or not yet valid";
    case DvHTTPError::SecureCertRevoked:
    case DvHTTPError::SecureCertRevFailed:
      return "TLS certificate revoked or its revocation not checkable";
    case DvHTTPError::SecureCertWrongUsage:
      return "TLS certificate not meant for a server";
    case DvHTTPError::SecureFailure:
      return "TLS handshake failed";
    case DvHTTPError::Timeout:
      if (!connected) return "Connection timed out";
      return deadline > 0
                 ? "The request did not complete within its deadline of " + Seconds(deadline)
                 : std::string("The request timed out");
    default:
      break;
  }
  switch (result) {
    case CURLE_GOT_NOTHING:
      return "The server closed the connection without answering";
    case CURLE_PARTIAL_FILE:
      return "The server closed the connection before the response was complete";
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return "The connection was reset";
    case CURLE_WEIRD_SERVER_REPLY:
      return "The server's answer is not HTTP";
    default:
      return "The HTTP request failed";
  }
}

}  // namespace

TDvHTTPClient::TDvHTTPClient()
    : oauth_(std::make_unique<TDvOAuth>()), tls_(std::make_unique<TlsState>()) {
  GlobalInit();
}

TDvHTTPClient::~TDvHTTPClient() {
  if (multi_) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  if (easy_) curl_easy_cleanup(static_cast<CURL*>(easy_));
}

void TDvHTTPClient::SetSession(std::shared_ptr<TDvHTTPSession> session) {
  if (easy_) curl_easy_setopt(static_cast<CURL*>(easy_), CURLOPT_SHARE, nullptr);
  session_ = std::move(session);
}

void TDvHTTPClient::SetSecurityFlags(TDvHTTPSecurityFlags v) {
  securityFlags_ = v;
}

void TDvWinINetClient::SetSecurityFlags(TDvHTTPSecurityFlags v) {
  TDvHTTPClient::SetSecurityFlags(v.Exclude(TDvHTTPSecurityFlag::sfIgnoreWrongUsage));
}

bool TDvWinINetClient::HandleSendError(std::uint32_t errorCode) {
  if (!onWinINetError_) return false;
  TDvWindowHandle window = parentWnd_;
  bool retry = false;
  onWinINetError_(*this, errorCode, window, retry);
  return retry;
}

std::string TDvHTTPClient::SendFunctionName() const {
  return session_ ? session_->SendFunctionName() : std::string("WinHttpSendRequest");
}

void TDvHTTPClient::AssignSettings(const TDvHTTPClient& other) {
  httpVersion_ = other.httpVersion_;
  SetSecurityFlags(other.securityFlags_);
  authScheme_ = other.authScheme_;
  credentials_ = other.credentials_;
  proxyCredentials_ = other.proxyCredentials_;
  oauth_->Assign(*other.oauth_);
  requestHeaders_ = other.requestHeaders_;
  timeOuts_ = other.timeOuts_;
  requestTimeout_ = other.requestTimeout_;
  maxResponseSize_ = other.maxResponseSize_;
  followRedirects_ = other.followRedirects_;
  acceptCompression_ = other.acceptCompression_;
  authFailureAsError_ = other.authFailureAsError_;
  caFile_ = other.caFile_;
  caPath_ = other.caPath_;
}

DvHTTPRequestPtr TDvHTTPClient::CreateRequest(std::string_view method, std::string_view url,
                                              std::string body, std::string_view contentType) {
  auto r = std::make_shared<TDvHTTPRequest>(shared_from_this(), method, url, contentType);
  r->body_ = std::move(body);
  return r;
}

DvHTTPRequestPtr TDvHTTPClient::CreateRequest(std::string_view method, std::string_view url,
                                              std::shared_ptr<std::istream> body,
                                              std::string_view contentType) {
  auto r = std::make_shared<TDvHTTPRequest>(shared_from_this(), method, url, contentType);
  r->bodyStream_ = std::move(body);
  return r;
}

void TDvHTTPClient::EnsureHandles() {
  std::lock_guard<std::mutex> lock(handleLock_);
  if (!easy_) {
    easy_ = curl_easy_init();
    if (easy_) {
      // libcurl's own trust store, put back when no extra authority file is set.
      char* text = nullptr;
      if (curl_easy_getinfo(static_cast<CURL*>(easy_), CURLINFO_CAINFO, &text) == CURLE_OK && text)
        defaultCAInfo_ = text;
      text = nullptr;
      if (curl_easy_getinfo(static_cast<CURL*>(easy_), CURLINFO_CAPATH, &text) == CURLE_OK && text)
        defaultCAPath_ = text;
    }
  }
  if (!multi_) {
    multi_ = curl_multi_init();
    // One kept-alive connection per client: a new connection evicts the previous one.
    if (multi_) curl_multi_setopt(static_cast<CURLM*>(multi_), CURLMOPT_MAXCONNECTS, 1L);
  }
  if (!easy_ || !multi_)
    throw EDvHTTPApiException(SendFunctionName(), "Cannot create the HTTP handles",
                              DvHTTPError::OutOfMemory);
}

void TDvHTTPClient::ResetConnection() {
  // Closes the cached connection at once (the server sees it go).
  std::lock_guard<std::mutex> lock(handleLock_);
  if (multi_) curl_multi_cleanup(static_cast<CURLM*>(multi_));
  multi_ = nullptr;
}

void TDvHTTPClient::Wakeup() {
  std::lock_guard<std::mutex> lock(handleLock_);
  if (multi_) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

std::size_t TDvHTTPClient::ConnectionKey() const {
  // Everything that decides who a connection is authenticated as or which certificates it
  // accepted: a change means a new connection.
  std::string key;
  key += credentials_.GetUserName();
  key += '\n';
  key += credentials_.GetPassword();
  key += '\n';
  key += proxyCredentials_.GetUserName();
  key += '\n';
  key += proxyCredentials_.GetPassword();
  key += '\n';
  key += std::to_string(static_cast<int>(authScheme_));
  key += '\n';
  key += std::to_string(securityFlags_.Bits());
  key += '\n';
  key += caFile_;
  key += '\n';
  key += caPath_;
  key += '\n';
  key += std::to_string(reinterpret_cast<std::uintptr_t>(session_.get()));
  std::size_t h = std::hash<std::string>()(key);
  std::fill(key.begin(), key.end(), '\0');
  return h;
}

void TDvHTTPClient::Configure(TDvHTTPRequest& request, Transfer& t) {
  CURL* h = static_cast<CURL*>(easy_);
  const TDvHTTPSession* session = session_.get();

  curl_easy_setopt(h, CURLOPT_URL, request.url_.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, t.errorBuffer);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_SHARE, session ? session->GetShareHandle() : nullptr);
  curl_easy_setopt(h, CURLOPT_USERAGENT,
                   session ? session->GetUserAgent().c_str() : "Dovrane EWS Client");

  // Method and body.
  // (Setting POSTFIELDS switches to POST, so GET is set after it.)
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(-1));
  curl_easy_setopt(h, CURLOPT_READFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  const std::string& m = request.method_;
  bool hasBody = request.bodyStream_ != nullptr || !request.body_.empty();
  if (m == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else if (hasBody || m == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (request.bodyStream_) {
      std::istream& in = *request.bodyStream_;
      request.bodyStart_ = in.tellg();
      curl_off_t size = -1;
      if (request.bodyStart_ != std::istream::pos_type(-1)) {
        in.seekg(0, std::ios::end);
        auto endPos = in.tellg();
        in.seekg(request.bodyStart_);
        if (endPos != std::istream::pos_type(-1)) size = curl_off_t(endPos - request.bodyStart_);
      }
      in.clear();
      curl_easy_setopt(h, CURLOPT_READFUNCTION, &ReadCallback);
      curl_easy_setopt(h, CURLOPT_READDATA, &t);
      curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, &SeekCallback);
      curl_easy_setopt(h, CURLOPT_SEEKDATA, &t);
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size);
      t.ultotal = size;
    } else {
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body_.data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.body_.size()));
      t.ultotal = curl_off_t(request.body_.size());
    }
    if (m != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
  } else if (m != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, m.c_str());
  }

  // Header fields: the client's, then the request's.
  curl_slist* list = nullptr;
  auto add = [&list](const std::string& line) { list = curl_slist_append(list, line.c_str()); };
  for (const auto& [n, v] : requestHeaders_.Items())
    add(n + ": " + v);
  for (const auto& [n, v] : request.headers_.Items())
    add(n + ": " + v);
  if (!request.contentType_.empty()) add("Content-Type: " + request.contentType_);
  add("Expect:");
  bool close = requestHeaders_.GetConnection() == TDvHTTPConnection::hcClose;
  if (close) add("Connection: close");
  t.headerList = list;
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, close ? 1L : 0L);

  // Cookies: the client's matching ones and the request's own.
  std::string cookie;
  try {
    cookie = cookies_.GetCookieHeader(DvDecodeURL(request.url_));
  } catch (const EConvertError&) {
  }
  for (const auto& [n, v] : request.cookies_) {
    if (!cookie.empty()) cookie += "; ";
    cookie += n + "=" + v;
  }
  curl_easy_setopt(h, CURLOPT_COOKIE, cookie.empty() ? nullptr : cookie.c_str());

  // Protocol.
  long version = CURL_HTTP_VERSION_1_1;
  if (httpVersion_ == TDvHTTPVersion::hvHTTP10) version = CURL_HTTP_VERSION_1_0;
  if (httpVersion_ == TDvHTTPVersion::hvHTTP2) version = CURL_HTTP_VERSION_2TLS;
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION, version);
  // The encodings IIS (and so Exchange) serves. Offering every encoding libcurl can decode would
  // include Brotli, which servers that have it compress with at great cost per response (a
  // 1,000-row page took the simulator 0.4 s to compress) for little gain over gzip.
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, acceptCompression_ ? "gzip, deflate" : nullptr);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, followRedirects_ ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, long(std::max(0, timeOuts_.ConnectTimeout)));
  // The overall deadline: a server that keeps a response alive with a byte now and then still
  // ends the request in time.
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(std::max(0, requestTimeout_)));
  curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);

  // Proxy.
  TDvHTTPAccessType access = session ? session->GetAccessType() : TDvHTTPAccessType::atPreconfig;
  if (access == TDvHTTPAccessType::atDirect) {
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOPROXY, nullptr);
  } else if (access == TDvHTTPAccessType::atNamedProxy) {
    curl_easy_setopt(h, CURLOPT_PROXY, session->GetProxyServer().c_str());
    std::string bypass = ProxyBypassList(session->GetProxyServerBypass());
    curl_easy_setopt(h, CURLOPT_NOPROXY, bypass.c_str());
  } else {
    curl_easy_setopt(h, CURLOPT_PROXY, nullptr);
    curl_easy_setopt(h, CURLOPT_NOPROXY, nullptr);
  }
  if (!proxyCredentials_.GetUserName().empty()) {
    curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxyCredentials_.GetUserName().c_str());
    curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxyCredentials_.GetPassword().c_str());
    curl_easy_setopt(h, CURLOPT_PROXYAUTH, CURLAUTH_BASIC | CURLAUTH_NTLM | CURLAUTH_NEGOTIATE);
  } else {
    curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, nullptr);
    curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, nullptr);
  }

  // Authentication.
  curl_easy_setopt(h, CURLOPT_USERNAME, nullptr);
  curl_easy_setopt(h, CURLOPT_PASSWORD, nullptr);
  curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, nullptr);
  curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_NONE);
  if (authScheme_ == TDvHTTPAuthScheme::asOAuth) {
    const TDvOAuthAccessToken& token = oauth_->GetValidToken(*this);
    curl_easy_setopt(h, CURLOPT_XOAUTH2_BEARER, token.AccessToken.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, CURLAUTH_BEARER);
  } else if (authScheme_ != TDvHTTPAuthScheme::asNone && !credentials_.GetUserName().empty()) {
    unsigned long mask = CURLAUTH_BASIC | CURLAUTH_NTLM | CURLAUTH_NEGOTIATE;
    if (authScheme_ == TDvHTTPAuthScheme::asBasic) mask = CURLAUTH_BASIC;
    if (authScheme_ == TDvHTTPAuthScheme::asNTLM) mask = CURLAUTH_NTLM;
    if (authScheme_ == TDvHTTPAuthScheme::asNegotiate) mask = CURLAUTH_NEGOTIATE;
    curl_easy_setopt(h, CURLOPT_USERNAME, credentials_.GetUserName().c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, credentials_.GetPassword().c_str());
    curl_easy_setopt(h, CURLOPT_HTTPAUTH, mask);
  }

  // Certificates: verified unless a flag says otherwise; sessions resumed only between
  // transfers that verify everything.
  tls_->flags = securityFlags_;
  tls_->error = 0;
  bool relaxed = !securityFlags_.Empty() || !caFile_.empty() || !caPath_.empty();
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(
      h, CURLOPT_SSL_VERIFYHOST,
      securityFlags_.Contains(TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName) ? 0L : 2L);
  curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, relaxed ? 0L : 1L);
  // Extra authorities add to the system's: a file beside the system folder, a folder beside the
  // system bundle.
  const std::string& caInfo = !caFile_.empty() ? caFile_ : defaultCAInfo_;
  const std::string caPath = !caPath_.empty()   ? caPath_
                             : !caFile_.empty() ? std::string(X509_get_default_cert_dir())
                                                : defaultCAPath_;
  curl_easy_setopt(h, CURLOPT_CAINFO, caInfo.empty() ? nullptr : caInfo.c_str());
  curl_easy_setopt(h, CURLOPT_CAPATH, caPath.empty() ? nullptr : caPath.c_str());
  curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &SslCtxCallback);
  curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, tls_.get());

  // Callbacks.
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &HeaderCallback);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &XferInfoCallback);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &t);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &PrereqCallback);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &t);
}

bool TDvHTTPClient::Perform(TDvHTTPRequest& request, Transfer& t) {
  CURL* h = static_cast<CURL*>(easy_);
  CURLM* multi = static_cast<CURLM*>(multi_);
  const std::string function = SendFunctionName();
  auto raise = [&](std::uint32_t code, const std::string& message) {
    if (onError_) onError_(*this, request, code);
    throw EDvHTTPApiException(function, message, code);
  };

  t.lastActivity = Clock::now();
  curl_multi_add_handle(multi, h);
  CURLcode result = CURLE_OK;
  bool done = false, aborted = false, timedOut = false, timedOutSending = false;
  while (!done) {
    int running = 0;
    CURLMcode mc = curl_multi_perform(multi, &running);
    if (mc != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
        result = msg->data.result;
        done = true;
      }
    }
    if (done) break;
    if (request.aborted_.load()) {
      aborted = true;
      break;
    }
    // The send and receive time-outs: the longest pause once the connection is up.
    int waitMs = 1000;
    if (t.connected) {
      bool sending = t.ultotal > 0 && t.ulnow < t.ultotal;
      int limit = sending ? timeOuts_.SendTimeout : timeOuts_.ReceiveTimeout;
      if (limit > 0) {
        auto idle =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t.lastActivity)
                .count();
        if (idle >= limit) {
          timedOut = true;
          timedOutSending = sending;
          break;
        }
        waitMs = static_cast<int>(std::min<long long>(waitMs, limit - idle));
      }
    }
    curl_multi_poll(multi, nullptr, 0, std::max(1, waitMs), nullptr);
  }
  curl_multi_remove_handle(multi, h);

  if (aborted || request.aborted_.load()) {
    // The connection may be in the middle of a response: never reuse it.
    ResetConnection();
    raise(DvHTTPError::InvalidHandle, "The request was aborted");
  }
  if (timedOut) {
    ResetConnection();
    raise(DvHTTPError::Timeout, timedOutSending
                                    ? "The operation timed out: the server took nothing for " +
                                          Seconds(timeOuts_.SendTimeout)
                                    : "The operation timed out: the server sent nothing for " +
                                          Seconds(timeOuts_.ReceiveTimeout));
  }
  if (t.callbackError) std::rethrow_exception(t.callbackError);
  if (t.resendRefused) {
    ResetConnection();
    raise(DvHTTPError::ConnectionAborted,
          "The server closed the connection without answering; the request was not sent again "
          "as the server may have carried it out");
  }
  if (t.tooLarge) {
    ResetConnection();
    raise(DvHTTPError::InvalidServerResponse,
          "The response is too large: it exceeds the limit of " + std::to_string(maxResponseSize_) +
              " bytes");
  }
  if (result != CURLE_OK) {
    std::uint32_t code = DvCurlCodeToWinError(result);
    if (result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CONNECT_ERROR) {
      if (tls_->error != 0)
        code = tls_->error;
      else if (result == CURLE_PEER_FAILED_VERIFICATION)
        code = DvHTTPError::SecureCertCNInvalid;
    }
    long osError = 0;
    curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osError);
    std::string detail = curl_easy_strerror(result);
    if (t.errorBuffer[0] != '\0') detail = t.errorBuffer;
    std::string message =
        FailureText(result, code, t.connected, requestTimeout_, osError) + ": " + detail;
    if (HandleSendError(code)) return true;
    raise(code, message);
  }
  return false;
}

DvHTTPResponsePtr TDvHTTPClient::Execute(TDvHTTPRequest& request) {
  if (request.aborted_.load())
    throw EDvHTTPApiException(SendFunctionName(), "The request was aborted",
                              DvHTTPError::InvalidHandle);
  if (request.url_.empty())
    throw EDvHTTPClientApiException(SendFunctionName(), "No URL specified",
                                    DvHTTPError::InvalidURL);
  bool oauthRetried = false;
  for (int attempt = 0;; ++attempt) {
    std::size_t key = ConnectionKey();
    if (key != connectionKey_) {
      ResetConnection();
      connectionKey_ = key;
    }
    EnsureHandles();
    Transfer t;
    t.client = this;
    t.request = &request;
    t.response = std::make_shared<TDvHTTPResponse>();
    t.response->url_ = request.url_;
    if (request.bodyStream_ && attempt > 0) {
      request.bodyStream_->clear();
      request.bodyStream_->seekg(request.bodyStart_);
    }
    Configure(request, t);
    if (onRequest_) onRequest_(*this, request);
    if (Perform(request, t) && attempt < 3) continue;
    DvHTTPResponsePtr response = t.response;
    char* effective = nullptr;
    curl_easy_getinfo(static_cast<CURL*>(easy_), CURLINFO_EFFECTIVE_URL, &effective);
    if (effective) response->url_ = effective;
    if (onDataReceived_ && !request.sink_ && t.final) response->content_ = std::move(t.buffer);
    request.response_ = response;

    int status = response->statusCode_;
    if ((status == 401 || status == 407) && authFailureAsError_) {
      // An OAuth token the server no longer accepts: get a new one once.
      if (status == 401 && authScheme_ == TDvHTTPAuthScheme::asOAuth && !oauthRetried) {
        oauthRetried = true;
        oauth_->RequestToken(*this, true);
        continue;
      }
      std::uint32_t code = DvHTTPError::LoginFailure;
      if (HandleSendError(code) && attempt < 3) continue;
      if (onResponse_) onResponse_(*this, request, *response);
      if (onError_) onError_(*this, request, code);
      throw EDvHTTPClientApiException(
          SendFunctionName(),
          status == 401 ? "The server refused the credentials (HTTP 401 " + response->reason_ + ")"
                        : "The proxy refused the credentials (HTTP 407 " + response->reason_ + ")",
          code);
    }
    if (onResponse_) onResponse_(*this, request, *response);
    return response;
  }
}

}  // namespace dv
