// Autodiscover as Exchange answers it: the POX service (request and response schemas of 2006),
// the JSON lookup of Exchange Online, and the OAuth authorisation endpoint (authorization code
// with PKCE, RFC 7636; loopback redirect URIs, RFC 8252).
#include "autodiscover.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "util.h"

namespace ewssim {

namespace {

constexpr const char* kNsPoxRequest =
    "http://schemas.microsoft.com/exchange/autodiscover/outlook/requestschema/2006";
constexpr const char* kNsPoxResponse =
    "http://schemas.microsoft.com/exchange/autodiscover/outlook/responseschema/2006a";
constexpr const char* kNsAutodiscover =
    "http://schemas.microsoft.com/exchange/autodiscover/responseschema/2006";

std::string DomainOf(const std::string& address) {
  const auto at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

// The entry of an address, else of its domain (keys compared without regard to case).
template <typename T>
const T* ForAddress(const std::map<std::string, T>& map, const std::string& address) {
  for (const std::string& key : {address, DomainOf(address)})
    for (const auto& [k, v] : map)
      if (EqualsNoCase(k, key)) return &v;
  return nullptr;
}

// The host of a Host header, without the port.
std::string HostName(const std::string& hostHeader) {
  if (!hostHeader.empty() && hostHeader[0] == '[')
    return Lower(hostHeader.substr(1, hostHeader.find(']') - 1));
  return Lower(hostHeader.substr(
      0, hostHeader.rfind(':') == std::string::npos ? hostHeader.size() : hostHeader.rfind(':')));
}

std::string RandomToken() {
  unsigned char rnd[24];
  RAND_bytes(rnd, sizeof rnd);
  return Lower(HexEncode(std::string(reinterpret_cast<char*>(rnd), sizeof rnd)));
}

// BASE64URL(SHA256(text)) without padding: the S256 code challenge of a verifier.
std::string S256(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
  std::string b64 = Base64Encode(std::string(reinterpret_cast<char*>(digest), length));
  std::replace(b64.begin(), b64.end(), '+', '-');
  std::replace(b64.begin(), b64.end(), '/', '_');
  b64.erase(b64.find_last_not_of('=') + 1);
  return b64;
}

// Form fields of an application/x-www-form-urlencoded body.
std::map<std::string, std::string> FormFields(const std::string& body) {
  std::map<std::string, std::string> fields;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string_view pair(body.data() + start, end - start);
    const auto eq = pair.find('=');
    if (!pair.empty())
      fields[PercentDecode(pair.substr(0, eq), true)] =
          eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1), true);
    start = end + 1;
  }
  return fields;
}

std::string UrlEncode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// A redirect URI a native client may use: http on a loopback address (RFC 8252, 7.3).
bool LoopbackRedirect(const std::string& uri) {
  for (const char* prefix : {"http://127.0.0.1:", "http://localhost:", "http://[::1]:",
                             "http://127.0.0.1/", "http://localhost/", "http://[::1]/"})
    if (uri.rfind(prefix, 0) == 0) return true;
  return false;
}

void PoxError(HttpResponse& res, const std::string& code, const std::string& message) {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Autodiscover xmlns=\"";
  out += kNsAutodiscover;
  out += "\"><Response><Error Time=\"" + FormatDateTime(NowMs()).substr(11, 8) +
         "\" Id=\"2594128461\"><ErrorCode>" + code + "</ErrorCode><Message>";
  AppendEscaped(out, message);
  out += "</Message><DebugData /></Error></Response></Autodiscover>";
  res.SetContent(out, "text/xml; charset=utf-8");
}

}  // namespace

AutodiscoverEndpoints::AutodiscoverEndpoints(const Config& config, AutodiscoverServices services)
    : cfg_(config), services_(std::move(services)) {}

void AutodiscoverEndpoints::AddRoutes(std::vector<HttpRoute>& routes) {
  routes.push_back({"POST", "/autodiscover/autodiscover\\.xml",
                    [this](const HttpRequest& q, HttpResponse& r) { Pox(q, r); }});
  // The probe of a client: a body-less request that must not download anything.
  routes.push_back(
      {"GET", "/autodiscover/autodiscover\\.xml", [this](const HttpRequest& q, HttpResponse& r) {
         if (Deflect(q, r)) return;
         if (!services_.authenticate(q)) {
           r.status = 401;
           r.SetHeader("WWW-Authenticate", "Basic realm=\"autodiscover\"");
           return;
         }
         r.SetContent("", "text/html");
       }});
  routes.push_back({"GET", "/autodiscover/autodiscover\\.json/v1\\.0/[^/]+",
                    [this](const HttpRequest& q, HttpResponse& r) { Json(q, r); }});
  routes.push_back({"GET", "(/[^/]+)?/oauth2(/v2\\.0)?/authorize",
                    [this](const HttpRequest& q, HttpResponse& r) { AuthorizePage(q, r); }});
  routes.push_back({"POST", "(/[^/]+)?/oauth2(/v2\\.0)?/authorize",
                    [this](const HttpRequest& q, HttpResponse& r) { AuthorizeSubmit(q, r); }});
}

bool AutodiscoverEndpoints::Deflect(const HttpRequest& req, HttpResponse& res) const {
  const std::string host = HostName(req.Header("Host"));
  const AutodiscoverConfig& ad = cfg_.autodiscover;
  for (const auto& [from, to] : ad.httpRedirects) {
    if (!EqualsNoCase(from, host)) continue;
    if (to.find("://") != std::string::npos) {
      res.Redirect(to);
    } else {
      const std::string hostHeader = req.Header("Host");
      const auto colon = hostHeader.rfind(':');
      const std::string port = colon == std::string::npos || hostHeader.back() == ']'
                                   ? std::string()
                                   : hostHeader.substr(colon);
      res.Redirect(std::string(req.tls ? "https" : "http") + "://" + to + port + req.path);
    }
    return true;
  }
  if (!ad.hosts.empty() &&
      std::none_of(ad.hosts.begin(), ad.hosts.end(),
                   [&](const std::string& h) { return EqualsNoCase(h, host); })) {
    res.status = 404;
    return true;
  }
  return false;
}

std::string AutodiscoverEndpoints::EwsUrlFor(const HttpRequest& req) const {
  if (!cfg_.autodiscover.ewsUrl.empty()) return cfg_.autodiscover.ewsUrl;
  return std::string(req.tls ? "https" : "http") + "://" + req.Header("Host") +
         "/EWS/Exchange.asmx";
}

void AutodiscoverEndpoints::Pox(const HttpRequest& req, HttpResponse& res) {
  if (Deflect(req, res)) return;
  const UserConfig* caller = services_.authenticate(req);
  if (!caller) {
    res.status = 401;
    res.SetHeader("WWW-Authenticate", "Basic realm=\"autodiscover\"");
    return;
  }
  pugi::xml_document doc;
  pugi::xml_node request;
  if (doc.load_string(req.body.c_str())) {
    pugi::xml_node root = doc.document_element();
    if (LocalName(root) == "Autodiscover") request = Child(root, "Request");
  }
  if (!request) return PoxError(res, "600", "Invalid Request");
  const std::string address = ChildText(request, "EMailAddress");
  if (ChildText(request, "AcceptableResponseSchema") != kNsPoxResponse)
    return PoxError(res, "601", "Provider is not available");

  const AutodiscoverConfig& ad = cfg_.autodiscover;
  std::string account;
  if (const std::string* to = ForAddress(ad.redirectAddr, address)) {
    account = "<AccountType>email</AccountType><Action>redirectAddr</Action><RedirectAddr>" +
              Escape(*to) + "</RedirectAddr>";
  } else if (const std::string* url = ForAddress(ad.redirectUrl, address)) {
    account = "<AccountType>email</AccountType><Action>redirectUrl</Action><RedirectUrl>" +
              Escape(*url) + "</RedirectUrl>";
  } else {
    const UserConfig* user = nullptr;
    for (const auto& u : cfg_.users)
      if (EqualsNoCase(u.address, address)) user = &u;
    if (!user) return PoxError(res, "500", "The email address can't be found.");
    const std::string ews = Escape(EwsUrlFor(req));
    const std::string server = Escape(HostName(req.Header("Host")));
    const std::string name = Escape(user->displayName.empty() ? user->address : user->displayName);
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Autodiscover xmlns=\"";
    out += kNsAutodiscover;
    out += "\"><Response xmlns=\"";
    out += kNsPoxResponse;
    out += "\"><User><DisplayName>" + name +
           "</DisplayName><LegacyDN>/o=ewssim/ou=Exchange Administrative Group/cn=Recipients/cn=" +
           Escape(user->address.substr(0, user->address.find('@'))) +
           "</LegacyDN><AutoDiscoverSMTPAddress>" + Escape(user->address) +
           "</AutoDiscoverSMTPAddress><DeploymentId>9df3d1b4-40c6-4a1e-9a15-2b5c4e4f1d2e"
           "</DeploymentId></User><Account><AccountType>email</AccountType><Action>settings"
           "</Action><MicrosoftOnline>False</MicrosoftOnline>";
    for (const char* type : {"EXCH", "EXPR"})
      out += std::string("<Protocol><Type>") + type + "</Type><Server>" + server +
             "</Server><ASUrl>" + ews + "</ASUrl><EwsUrl>" + ews + "</EwsUrl><EmwsUrl>" + ews +
             "</EmwsUrl><EcpUrl>" + Escape(EwsUrlFor(req).substr(0, EwsUrlFor(req).find("/EWS"))) +
             "/owa/</EcpUrl></Protocol>";
    if (const auto* owners = ForAddress(ad.delegates, user->address)) {
      for (const std::string& owner : *owners) {
        std::string display = owner;
        for (const auto& u : cfg_.users)
          if (EqualsNoCase(u.address, owner) && !u.displayName.empty()) display = u.displayName;
        out += "<AlternativeMailbox><Type>Delegate</Type><DisplayName>" + Escape(display) +
               "</DisplayName><SmtpAddress>" + Escape(owner) + "</SmtpAddress><OwnerSmtpAddress>" +
               Escape(owner) + "</OwnerSmtpAddress></AlternativeMailbox>";
      }
    }
    out += "</Account></Response></Autodiscover>";
    res.SetContent(out, "text/xml; charset=utf-8");
    return;
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?><Autodiscover xmlns=\"";
  out += kNsAutodiscover;
  out += "\"><Response xmlns=\"";
  out += kNsPoxResponse;
  out += "\"><Account>" + account + "</Account></Response></Autodiscover>";
  res.SetContent(out, "text/xml; charset=utf-8");
}

void AutodiscoverEndpoints::Json(const HttpRequest& req, HttpResponse& res) {
  const std::string address = req.path.substr(req.path.rfind('/') + 1);
  const std::string protocol = req.Query("Protocol");
  auto error = [&](int status, const std::string& code, const std::string& message) {
    res.status = status;
    res.SetContent(nlohmann::json{{"ErrorCode", code}, {"ErrorMessage", message}}.dump(),
                   "application/json; charset=utf-8");
  };
  std::string kind;
  if (EqualsNoCase(protocol, "Ews")) kind = "EWS";
  if (EqualsNoCase(protocol, "AutodiscoverV1")) kind = "AutodiscoverV1";
  if (kind.empty())
    return error(400, "InvalidProtocol",
                 "The given protocol value '" + protocol +
                     "' is invalid. Supported values are 'Rest,ActiveSync,Ews,AutodiscoverV1'");
  bool known = false;
  for (const auto& u : cfg_.users)
    known = known || EqualsNoCase(DomainOf(u.address), DomainOf(address));
  if (!known) return error(404, "UserNotFound", "The user was not found.");
  std::string url = EwsUrlFor(req);
  if (kind == "AutodiscoverV1")
    url = url.substr(0, url.find("/EWS")) + "/autodiscover/autodiscover.xml";
  res.SetContent(nlohmann::json{{"Protocol", kind}, {"Url", url}}.dump(),
                 "application/json; charset=utf-8");
}

void AutodiscoverEndpoints::AuthorizePage(const HttpRequest& req, HttpResponse& res) {
  // The consent page: a plain form that carries the request's parameters and asks for the
  // user's name and password.
  std::string fields;
  for (const char* name : {"client_id", "response_type", "redirect_uri", "scope", "state",
                           "code_challenge", "code_challenge_method"}) {
    fields += "<input type=\"hidden\" name=\"";
    fields += name;
    fields += "\" value=\"";
    AppendAttrEscaped(fields, req.Query(name));
    fields += "\">\n";
  }
  std::string page =
      "<!DOCTYPE html>\n<html><head><title>Sign in</title></head><body>\n<h1>Sign in to "
      "ewssim</h1>\n<p>The application asks to read and write your mailbox.</p>\n"
      "<form method=\"post\" action=\"";
  AppendAttrEscaped(page, req.path);
  page += "\">\n" + fields +
          "<label>User <input name=\"login\"></label>\n<label>Password <input type=\"password\" "
          "name=\"passwd\"></label>\n<button type=\"submit\" name=\"consent\" "
          "value=\"accept\">Accept</button>\n</form>\n</body></html>\n";
  res.SetContent(page, "text/html; charset=utf-8");
}

void AutodiscoverEndpoints::AuthorizeSubmit(const HttpRequest& req, HttpResponse& res) {
  auto form = FormFields(req.body);
  auto field = [&](const char* name) {
    auto it = form.find(name);
    return it == form.end() ? std::string() : it->second;
  };
  auto refuse = [&](const std::string& text) {
    res.status = 400;
    res.SetContent("<html><body><p>" + Escape(text) + "</p></body></html>",
                   "text/html; charset=utf-8");
  };
  const std::string clientId = field("client_id");
  const std::string redirectUri = field("redirect_uri");
  if (std::none_of(cfg_.oauthApps.begin(), cfg_.oauthApps.end(),
                   [&](const OAuthAppConfig& a) { return a.clientId == clientId; }))
    return refuse("AADSTS700016: Application with identifier '" + clientId + "' was not found.");
  if (!LoopbackRedirect(redirectUri))
    return refuse("AADSTS50011: The redirect URI '" + redirectUri +
                  "' is not a loopback address of a native client.");
  // Errors past this point go back to the client, as the protocol says.
  auto back = [&](const std::string& query) {
    res.Redirect(redirectUri + (redirectUri.find('?') == std::string::npos ? "?" : "&") + query +
                 "&state=" + UrlEncode(field("state")));
  };
  if (field("response_type") != "code") return back("error=unsupported_response_type");
  if (field("code_challenge").empty() || field("code_challenge_method") != "S256")
    return back("error=invalid_request&error_description=" +
                UrlEncode("AADSTS9002325: Proof Key for Code Exchange is required (S256)."));
  if (field("consent") != "accept") return back("error=access_denied");
  const UserConfig* user = services_.findUser(field("login"), field("passwd"));
  if (!user) {
    res.status = 200;
    res.SetContent("<html><body><p>Your account or password is incorrect.</p></body></html>",
                   "text/html; charset=utf-8");
    return;
  }
  const std::string code = RandomToken();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(codes_, [&](const auto& entry) { return entry.second.expires <= now; });
    codes_[code] = {user, clientId, redirectUri, field("code_challenge"),
                    now + std::chrono::minutes(10)};
  }
  back("code=" + code);
}

const UserConfig* AutodiscoverEndpoints::RedeemCode(const std::string& code,
                                                    const std::string& clientId,
                                                    const std::string& redirectUri,
                                                    const std::string& verifier,
                                                    std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = codes_.find(code);
  if (it == codes_.end() || it->second.expires <= std::chrono::steady_clock::now()) {
    error = "AADSTS70008: The provided authorization code or refresh token has expired.";
    return nullptr;
  }
  const Grant grant = it->second;
  codes_.erase(it);  // a code is used once, whatever the outcome
  if (grant.clientId != clientId || grant.redirectUri != redirectUri) {
    error = "AADSTS70000: The provided authorization code was issued to another client.";
    return nullptr;
  }
  if (S256(verifier) != grant.challenge) {
    error = "AADSTS501481: The Code_Verifier does not match the code_challenge supplied.";
    return nullptr;
  }
  return grant.user;
}

}  // namespace ewssim
