// The HTTP side and the SOAP frame: authentication, headers, faults, dispatch.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "autodiscover.h"
#include "calendar_ops.h"
#include "events.h"
#include "faults.h"
#include "ops.h"
#include "schema.h"
#include "state.h"
#include "timezones.h"
#include "transport.h"

namespace ewssim {

// ---------------------------------------------------------------- versions

const std::vector<std::string>& KnownVersions() {
  static const std::vector<std::string> v = {"Exchange2007", "Exchange2007_SP1", "Exchange2009",
                                             "Exchange2010", "Exchange2010_SP1", "Exchange2010_SP2",
                                             "Exchange2012", "Exchange2013",     "Exchange2013_SP1",
                                             "Exchange2015", "Exchange2016",     "V2015_10_05",
                                             "V2016_01_06",  "V2016_04_13",      "V2016_07_13",
                                             "V2016_10_10",  "V2017_01_07",      "V2017_04_14",
                                             "V2017_07_11",  "V2017_10_09",      "V2018_01_08"};
  return v;
}

namespace {
int VersionRank(const std::string& name) {
  const auto& v = KnownVersions();
  auto it = std::find(v.begin(), v.end(), name);
  return it == v.end() ? -1 : static_cast<int>(it - v.begin());
}

struct Build {
  int major, minor, majorBuild, minorBuild;
};

Build DefaultBuild(const std::string& name) {
  static const std::map<std::string, Build> builds = {
      {"Exchange2007", {8, 0, 685, 24}},      {"Exchange2007_SP1", {8, 1, 240, 6}},
      {"Exchange2009", {14, 0, 639, 21}},     {"Exchange2010", {14, 0, 639, 21}},
      {"Exchange2010_SP1", {14, 1, 218, 15}}, {"Exchange2010_SP2", {14, 2, 247, 5}},
      {"Exchange2012", {15, 0, 516, 32}},     {"Exchange2013", {15, 0, 516, 32}},
      {"Exchange2013_SP1", {15, 0, 847, 32}}, {"Exchange2015", {15, 1, 225, 42}},
      {"Exchange2016", {15, 1, 2507, 6}},     {"V2015_10_05", {15, 1, 225, 42}},
      {"V2016_01_06", {15, 1, 396, 30}},      {"V2016_04_13", {15, 1, 466, 34}},
      {"V2016_07_13", {15, 1, 544, 27}},      {"V2016_10_10", {15, 1, 669, 32}},
      {"V2017_01_07", {15, 1, 845, 34}},      {"V2017_04_14", {15, 1, 1034, 26}},
      {"V2017_07_11", {15, 20, 1, 0}},        {"V2017_10_09", {15, 20, 100, 0}},
      {"V2018_01_08", {15, 20, 200, 0}}};
  auto it = builds.find(name);
  return it == builds.end() ? Build{15, 1, 2507, 6} : it->second;
}

const char* kXsiXsd =
    " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"";
}  // namespace

// ---------------------------------------------------------------- response messages

void MsgOpen(std::string& out, const std::string& name, const EwsError* error, bool warning) {
  out += "<m:" + name + "ResponseMessage ResponseClass=\"";
  if (!error) {
    out += "Success\"><m:ResponseCode>NoError</m:ResponseCode>";
    return;
  }
  out += warning ? "Warning\">" : "Error\">";
  out += "<m:MessageText>";
  AppendEscaped(out, error->text);
  out += "</m:MessageText><m:ResponseCode>" + error->code +
         "</m:ResponseCode><m:DescriptiveLinkKey>0</m:DescriptiveLinkKey>";
}

void MsgClose(std::string& out, const std::string& name) {
  out += "</m:" + name + "ResponseMessage>";
}

void PerMessage(Ctx& c, const std::string& name, const char* onError,
                const std::function<void(std::string&)>& body) {
  std::string payload;
  try {
    body(payload);
    MsgOpen(c.out, name, nullptr);
    c.out += payload;
  } catch (const EwsError& e) {
    MsgOpen(c.out, name, &e);
    if (onError) c.out += onError;
  }
  MsgClose(c.out, name);
}

// ---------------------------------------------------------------- context

// Only the mailbox acted on: the impersonation right works through the ExchangeImpersonation
// header alone (which makes the impersonated mailbox `self`), never as access to other mailboxes.
bool Ctx::MayAccess(const Mailbox& m) const {
  return self && self->index == m.index;
}

Mailbox& Ctx::MailboxOf(const pugi::xml_node& mailboxElement) {
  if (!mailboxElement) return *self;
  std::string address = ChildText(mailboxElement, "EmailAddress");
  if (address.empty()) return *self;
  Mailbox* m = store.Find(address);
  if (!m) FailCode("ErrorNonExistentMailbox");
  if (!MayAccess(*m)) FailCode("ErrorAccessDenied");
  return *m;
}

Mailbox& Ctx::MailboxByIndex(uint16_t index) {
  Mailbox* m = store.At(index);
  if (!m) FailCode("ErrorItemNotFound");
  if (!MayAccess(*m)) FailCode("ErrorAccessDenied");
  return *m;
}

std::pair<Mailbox*, Folder*> Ctx::ResolveFolder(const pugi::xml_node& idElement) {
  auto ln = LocalName(idElement);
  if (ln == "DistinguishedFolderId") {
    Mailbox& m = MailboxOf(Child(idElement, "Mailbox"));
    Folder* f = m.Distinguished(Attr(idElement, "Id"));
    if (!f) FailCode("ErrorFolderNotFound");
    return {&m, f};
  }
  if (ln == "FolderId") {
    DecodedId id = DecodeId(Attr(idElement, "Id"));
    if (id.kind != IdKind::Folder) FailCode("ErrorInvalidIdMalformed");
    Mailbox* m = store.At(id.mailbox);
    if (!m) FailCode("ErrorFolderNotFound");
    if (!MayAccess(*m)) FailCode("ErrorAccessDenied");
    // A well-formed id of a folder that is gone: Exchange answers as for any missing object.
    Folder* f = m->FolderById(static_cast<uint32_t>(id.local));
    if (!f) FailCode("ErrorItemNotFound");
    return {m, f};
  }
  FailCode("ErrorInvalidRequest");
}

std::pair<Mailbox*, Folder*> Ctx::ResolveFolderIn(const pugi::xml_node& parent) {
  for (auto c : Elements(parent)) {
    auto ln = LocalName(c);
    if (ln == "FolderId" || ln == "DistinguishedFolderId") return ResolveFolder(c);
  }
  FailCode("ErrorFolderNotFound");
}

std::pair<Mailbox*, Item*> Ctx::ResolveItem(const pugi::xml_node& idElement) {
  if (IsCalendarId(idElement)) return ResolveCalendarId(*this, idElement);
  DecodedId id = DecodeId(Attr(idElement, "Id"));
  if (id.kind != IdKind::Item) FailCode("ErrorInvalidIdMalformed");
  Mailbox* m = store.At(id.mailbox);
  if (!m) FailCode("ErrorItemNotFound");
  if (!MayAccess(*m)) FailCode("ErrorAccessDenied");
  Item* item = m->ItemById(id.local);
  if (!item) FailCode("ErrorItemNotFound");
  return {m, item};
}

// ---------------------------------------------------------------- server

class ServerImpl {
 public:
  explicit ServerImpl(Config c);
  ~ServerImpl() { Stop(); }

  Config cfg;
  Store store;
  const SchemaModel* schema = nullptr;
  SchemaValidator* validator = nullptr;
  OpTable ops;
  std::unique_ptr<Transport> transport;
  // Endpoints other than the SOAP one, tried before it in the order added.
  RouteTable routes;
  int port = 0;
  std::string host;
  bool running = false;
  std::string certPem;
  std::unique_ptr<StateKeeper> stateKeeper;
  std::unique_ptr<EventHub> events;
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;

  void Start();
  void Stop();
  void AddRoute(HttpRoute route) { routes.Add(std::move(route)); }
  void AddRoute(CallRoute route) { routes.Add(std::move(route)); }
  FaultInjector faults;
  Throttle throttle;

  // The check of a request's head, before its body is read: a route's request goes on (the
  // route checks it), an EWS request must carry valid credentials, other paths are not found.
  std::optional<HttpResponse> Admit(const HttpRequest& req) const;
  // Serves a whole request on a worker thread.
  void Handle(const std::shared_ptr<HttpCall>& call);
  // Throttles, carries out and answers an authenticated EWS request (after a stall, if any).
  void Carry(const std::shared_ptr<HttpCall>& call, HttpResponse res, const UserConfig* user,
             const std::optional<FaultRule>& fault);
  // Carries out an authenticated EWS request.
  // Carries out an authenticated EWS request; an operation that answers piece by piece leaves
  // its stream in `stream` (the answer is then not sent through `res`).
  void Serve(const HttpRequest& req, HttpResponse& res, const UserConfig* user,
             const FaultRule* fault, const std::shared_ptr<HttpCall>& call,
             std::shared_ptr<HttpStream>& stream);
  // The ErrorServerBusy fault of a request over its user's budget.
  void Busy(HttpResponse& res, int backOffMilliseconds) const;
  void MakeCertificate();
  std::string Envelope(const std::string& bodyContent, bool header) const;
  void Fault(HttpResponse& res, const std::string& code, const std::string& faultString,
             const std::string& message, int line = 0, int column = 0,
             const std::string& violation = {}) const;
  const UserConfig* Authenticate(const HttpRequest& req) const;
  // GET …/s/GetUserPhoto?email=…&size=HR96x96: the picture itself, or 404 without one.
  void ServePhoto(const HttpRequest& req, HttpResponse& res);
  // The user of a login name (the address or its local part) and password; none when wrong.
  const UserConfig* FindUser(const std::string& name, const std::string& password) const;
  void Unauthorized(HttpResponse& res) const;

  // OAuth. A token names its principal: a user, or an app (a principal without a mailbox that
  // may impersonate every mailbox, as an app-only token of Exchange Online).
  struct Token {
    const UserConfig* principal = nullptr;
    std::string clientId;
    bool refresh = false;  // a refresh token, not accepted on EWS requests
    std::chrono::steady_clock::time_point expires;
  };
  mutable std::mutex tokenMutex;
  std::map<std::string, Token> tokens;
  std::deque<UserConfig> appPrincipals;  // one per registered app, made at start

  // Endpoints written against the transport-neutral types (autodiscover, OAuth authorisation),
  // and the DNS server of the autodiscover record.
  std::unique_ptr<AutodiscoverEndpoints> autodiscover;
  std::unique_ptr<DnsServer> dns;

  void TokenEndpoint(const HttpRequest& req, HttpResponse& res);
  bool IsApp(const UserConfig* principal) const;
};

std::string ServerImpl::Envelope(const std::string& bodyContent, bool header) const {
  std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope xmlns:s=\"";
  out += kNsSoap;
  out += "\">";
  if (header && !cfg.version.omitHeader) {
    Build b = DefaultBuild(cfg.version.name);
    if (cfg.version.majorVersion >= 0) b.major = cfg.version.majorVersion;
    if (cfg.version.minorVersion >= 0) b.minor = cfg.version.minorVersion;
    if (cfg.version.majorBuild >= 0) b.majorBuild = cfg.version.majorBuild;
    if (cfg.version.minorBuild >= 0) b.minorBuild = cfg.version.minorBuild;
    out += "<s:Header><h:ServerVersionInfo MajorVersion=\"" + std::to_string(b.major) +
           "\" MinorVersion=\"" + std::to_string(b.minor) + "\" MajorBuildNumber=\"" +
           std::to_string(b.majorBuild) + "\" MinorBuildNumber=\"" + std::to_string(b.minorBuild) +
           "\" Version=\"" + cfg.version.name + "\" xmlns:h=\"" + kNsTypes + "\" xmlns=\"" +
           kNsTypes + "\"" + kXsiXsd + "/></s:Header>";
  }
  out += "<s:Body";
  out += kXsiXsd;
  out += ">" + bodyContent + "</s:Body></s:Envelope>";
  return out;
}

void ServerImpl::Fault(HttpResponse& res, const std::string& code, const std::string& faultString,
                       const std::string& message, int line, int column,
                       const std::string& violation) const {
  std::string body = "<s:Fault><faultcode xmlns:a=\"";
  body += kNsTypes;
  body += "\">a:" + code + "</faultcode><faultstring xml:lang=\"en-US\">";
  AppendEscaped(body, faultString);
  body += "</faultstring><detail><e:ResponseCode xmlns:e=\"";
  body += kNsErrors;
  body += "\">" + code + "</e:ResponseCode><e:Message xmlns:e=\"";
  body += kNsErrors;
  body += "\">";
  AppendEscaped(body, message);
  body += "</e:Message>";
  if (line > 0 || !violation.empty()) {
    body += "<t:MessageXml xmlns:t=\"";
    body += kNsTypes;
    body += "\"><t:LineNumber>" + std::to_string(line) + "</t:LineNumber><t:LinePosition>" +
            std::to_string(column) + "</t:LinePosition><t:Violation>";
    AppendEscaped(body, violation);
    body += "</t:Violation></t:MessageXml>";
  }
  body += "</detail></s:Fault>";
  res.status = 500;
  res.SetContent(Envelope(body, false), "text/xml; charset=utf-8");
}

void ServerImpl::Busy(HttpResponse& res, int backOffMilliseconds) const {
  const std::string text = "The server cannot service this request right now. Try again later.";
  std::string body = "<s:Fault><faultcode xmlns:a=\"";
  body += kNsTypes;
  body += "\">a:ErrorServerBusy</faultcode><faultstring xml:lang=\"en-US\">" + text +
          "</faultstring><detail><e:ResponseCode xmlns:e=\"";
  body += kNsErrors;
  body += "\">ErrorServerBusy</e:ResponseCode><e:Message xmlns:e=\"";
  body += kNsErrors;
  body += "\">" + text + "</e:Message><t:MessageXml xmlns:t=\"";
  body += kNsTypes;
  body += "\"><t:Value Name=\"BackOffMilliseconds\">" + std::to_string(backOffMilliseconds) +
          "</t:Value></t:MessageXml></detail></s:Fault>";
  res.status = 500;
  res.SetContent(Envelope(body, false), "text/xml; charset=utf-8");
}

const UserConfig* ServerImpl::FindUser(const std::string& name, const std::string& password) const {
  for (const auto& u : cfg.users) {
    bool nameMatches = EqualsNoCase(u.address, name) ||
                       EqualsNoCase(u.address.substr(0, u.address.find('@')), name);
    if (nameMatches && u.password == password) return &u;
  }
  return nullptr;
}

const UserConfig* ServerImpl::Authenticate(const HttpRequest& req) const {
  std::string auth = req.Header("Authorization");
  if (auth.size() > 7 && EqualsNoCase(auth.substr(0, 7), "Bearer ")) {
    const std::string token = auth.substr(auth.find_first_not_of(' ', 7));
    std::lock_guard<std::mutex> lock(tokenMutex);
    auto it = tokens.find(token);
    if (it == tokens.end() || it->second.refresh ||
        it->second.expires <= std::chrono::steady_clock::now())
      return nullptr;
    return it->second.principal;
  }
  if (auth.size() < 6 || !EqualsNoCase(auth.substr(0, 6), "Basic ")) return nullptr;
  auto decoded = Base64Decode(auth.substr(6));
  if (!decoded) return nullptr;
  auto colon = decoded->find(':');
  if (colon == std::string::npos) return nullptr;
  return FindUser(decoded->substr(0, colon), decoded->substr(colon + 1));
}

void ServerImpl::Unauthorized(HttpResponse& res) const {
  res.status = 401;
  res.headers.emplace("WWW-Authenticate", "Basic realm=\"" + host + "\"");
  if (!cfg.oauthApps.empty())
    res.headers.emplace("WWW-Authenticate", "Bearer authorization_uri=\"/oauth2/v2.0/authorize\"");
}

bool ServerImpl::IsApp(const UserConfig* principal) const {
  for (const auto& app : appPrincipals)
    if (&app == principal) return true;
  return false;
}

// The token endpoint of the OAuth 2.0 authorisation server (form-encoded POST, JSON answer):
// the password, client_credentials and refresh_token grants, with Azure AD's error forms.
void ServerImpl::TokenEndpoint(const HttpRequest& req, HttpResponse& res) {
  auto param = [&](const char* name) { return req.Query(name); };
  auto fail = [&](int status, const std::string& error, const std::string& description) {
    res.status = status;
    res.SetContent(nlohmann::json{{"error", error}, {"error_description", description}}.dump(),
                   "application/json; charset=utf-8");
  };
  const std::string clientId = param("client_id");
  std::size_t appIndex = cfg.oauthApps.size();
  for (std::size_t i = 0; i < cfg.oauthApps.size(); ++i)
    if (cfg.oauthApps[i].clientId == clientId) appIndex = i;
  if (appIndex == cfg.oauthApps.size())
    return fail(400, "unauthorized_client",
                "AADSTS700016: Application with identifier '" + clientId + "' was not found.");
  const OAuthAppConfig& app = cfg.oauthApps[appIndex];
  const std::string grant = param("grant_type");
  const UserConfig* principal = nullptr;
  bool withRefresh = true;
  if (grant == "password") {
    principal = FindUser(param("username"), param("password"));
    if (!principal)
      return fail(400, "invalid_grant",
                  "AADSTS50126: Error validating credentials due to invalid username or "
                  "password.");
  } else if (grant == "client_credentials") {
    if (app.clientSecret.empty() || param("client_secret") != app.clientSecret)
      return fail(401, "invalid_client", "AADSTS7000215: Invalid client secret provided.");
    principal = &appPrincipals[appIndex];
    withRefresh = false;
  } else if (grant == "refresh_token") {
    std::lock_guard<std::mutex> lock(tokenMutex);
    auto it = tokens.find(param("refresh_token"));
    if (it == tokens.end() || !it->second.refresh || it->second.clientId != clientId)
      return fail(400, "invalid_grant",
                  "AADSTS9002313: Invalid request. The refresh token is "
                  "malformed or not valid.");
    principal = it->second.principal;
    tokens.erase(it);  // a refresh token is used once
  } else if (grant == "authorization_code") {
    std::string error;
    principal = autodiscover->RedeemCode(param("code"), clientId, param("redirect_uri"),
                                         param("code_verifier"), error);
    if (!principal) return fail(400, "invalid_grant", error);
  } else {
    return fail(400, "unsupported_grant_type",
                "AADSTS70003: The app requested an unsupported grant type '" + grant + "'.");
  }
  auto newToken = [] {
    unsigned char rnd[32];
    RAND_bytes(rnd, sizeof rnd);
    return Lower(HexEncode(std::string(reinterpret_cast<char*>(rnd), sizeof rnd)));
  };
  const int lifetime = std::max(1, cfg.tokenLifetimeSeconds);
  const auto now = std::chrono::steady_clock::now();
  nlohmann::json answer{{"token_type", "Bearer"},
                        {"scope", param("scope")},
                        {"expires_in", lifetime},
                        {"ext_expires_in", lifetime}};
  std::lock_guard<std::mutex> lock(tokenMutex);
  // Expired tokens go as new ones are issued, so a long-running server does not keep them all.
  std::erase_if(tokens, [&](const auto& entry) { return entry.second.expires <= now; });
  const std::string access = newToken();
  tokens[access] = {principal, clientId, false, now + std::chrono::seconds(lifetime)};
  answer["access_token"] = access;
  if (withRefresh) {
    const std::string refresh = newToken();
    tokens[refresh] = {principal, clientId, true, now + std::chrono::hours(24 * 90)};
    answer["refresh_token"] = refresh;
  }
  res.SetContent(answer.dump(), "application/json; charset=utf-8");
}

// The namespace URI of an element's name, from the xmlns declarations in scope.
static std::string NamespaceOf(const pugi::xml_node& n) {
  std::string_view name = n.name();
  auto colon = name.find(':');
  std::string attr =
      colon == std::string_view::npos ? "xmlns" : "xmlns:" + std::string(name.substr(0, colon));
  for (auto x = n; x; x = x.parent())
    if (auto a = x.attribute(attr.c_str())) return a.value();
  return {};
}

static bool IsEwsPath(const std::string& path) {
  return EqualsNoCase(path, "/EWS/Exchange.asmx");
}

ServerImpl::ServerImpl(Config c) : cfg(std::move(c)) {
  routes.Add(
      HttpRoute{"POST", R"(.*/oauth2(/v2\.0)?/token)",
                [this](const HttpRequest& req, HttpResponse& res) { TokenEndpoint(req, res); }});
  // A browser's look at the endpoint.
  routes.Add(
      HttpRoute{"GET", R"(/EWS/Exchange\.asmx)", [this](const HttpRequest& req, HttpResponse& res) {
                  if (!Authenticate(req)) return Unauthorized(res);
                  res.SetContent("<html><body>ewssim EWS endpoint</body></html>", "text/html");
                }});
  routes.Add(
      HttpRoute{"GET", R"(/EWS/Exchange\.asmx/s/GetUserPhoto)",
                [this](const HttpRequest& req, HttpResponse& res) { ServePhoto(req, res); }});
  // Autodiscover (POX and JSON) and the OAuth authorisation endpoint.
  autodiscover = std::make_unique<AutodiscoverEndpoints>(
      cfg, AutodiscoverServices{[this](const HttpRequest& r) { return Authenticate(r); },
                                [this](const std::string& name, const std::string& password) {
                                  return FindUser(name, password);
                                }});
  std::vector<HttpRoute> discovery;
  autodiscover->AddRoutes(discovery);
  for (HttpRoute& route : discovery)
    routes.Add(std::move(route));
}

std::optional<HttpResponse> ServerImpl::Admit(const HttpRequest& req) const {
  if (routes.Matches(req.method, req.path)) return std::nullopt;
  HttpResponse res;
  if (req.method != "POST" || !IsEwsPath(req.path)) {
    res.status = 404;
    return res;
  }
  if (Authenticate(req)) return std::nullopt;
  Unauthorized(res);
  return res;
}

void ServerImpl::Handle(const std::shared_ptr<HttpCall>& call) {
  const HttpRequest& req = call->Request();
  if (CallHandler route = routes.Find(req.method, req.path)) return route(call);
  HttpResponse res;
  if (req.method != "POST" || !IsEwsPath(req.path)) {
    res.status = 404;
    return call->Reply(std::move(res));
  }
  // Exchange hands a client an affinity cookie on its first request.
  if (req.Header("Cookie").find("exchangecookie=") == std::string::npos) {
    unsigned char rnd[16];
    RAND_bytes(rnd, sizeof rnd);
    res.SetHeader("Set-Cookie",
                  "exchangecookie=" +
                      Lower(HexEncode(std::string(reinterpret_cast<char*>(rnd), sizeof rnd))) +
                      "; path=/");
  }
  const UserConfig* user = Authenticate(req);
  if (!user) {
    Unauthorized(res);
    return call->Reply(std::move(res));
  }
  std::optional<FaultRule> fault = faults.Next(OperationOf(req.body));
  if (fault && fault->action == "status") {
    // Turned away before anything is done, as IIS does when its queue is full.
    res.status = fault->status;
    if (fault->retryAfterSeconds >= 0)
      res.SetHeader("Retry-After", std::to_string(fault->retryAfterSeconds));
    if (fault->status == 500) {
      Fault(res, "ErrorInternalServerError", StandardText("ErrorInternalServerError"),
            StandardText("ErrorInternalServerError"));
    } else {
      res.SetContent(fault->status == 429 ? "Too Many Requests" : "Service Unavailable",
                     "text/plain");
    }
    return call->Reply(std::move(res));
  }
  if (fault && fault->action == "stall") {
    // The connection waits without a worker; the request is carried out afterwards.
    return call->After(std::chrono::milliseconds(fault->delayMs),
                       [this, call, res, user, fault] { Carry(call, res, user, fault); });
  }
  Carry(call, std::move(res), user, fault);
}

void ServerImpl::Carry(const std::shared_ptr<HttpCall>& call, HttpResponse res,
                       const UserConfig* user, const std::optional<FaultRule>& fault) {
  const auto own = cfg.userThrottling.find(user->address);
  const ThrottlingConfig& limits = own != cfg.userThrottling.end() ? own->second : cfg.throttling;
  if (limits.Enabled()) {
    if (std::optional<int> backOff = throttle.Admit(user->address, limits)) {
      Busy(res, *backOff);
      return call->Reply(std::move(res));
    }
  }
  std::shared_ptr<HttpStream> stream;
  {
    struct Release {
      ServerImpl& self;
      const std::string& address;
      bool admitted;
      ~Release() {
        if (admitted) self.throttle.Done(address);
      }
    } release{*this, user->address, limits.Enabled()};
    if (fault && fault->action == "restart") events->Forget();
    Serve(call->Request(), res, user, fault ? &*fault : nullptr, call, stream);
  }
  if (stream) return;  // answered piece by piece
  // Faults acted out on the answer: dropped, cut short, or sent a byte at a time.
  Delivery delivery;
  if (fault && fault->action == "close") {
    delivery.kind = Delivery::Kind::Drop;
  } else if (fault && fault->action == "truncate") {
    delivery.kind = Delivery::Kind::Truncate;
    delivery.bytes =
        std::min(res.body.size(), fault->bytes > 0 ? fault->bytes : res.body.size() / 2);
  } else if (fault && fault->action == "drip") {
    delivery.kind = Delivery::Kind::Drip;
    delivery.intervalMs = std::max(1, fault->delayMs);
  }
  call->Reply(std::move(res), delivery);
}

void ServerImpl::Serve(const HttpRequest& req, HttpResponse& res, const UserConfig* user,
                       const FaultRule* fault, const std::shared_ptr<HttpCall>& call,
                       std::shared_ptr<HttpStream>& stream) {
  // Malformed XML and schema violations of the operation element.
  if (cfg.validateRequests) {
    auto r = validator->ValidateBodyOf(req.body);
    if (!r.ok) {
      std::string where =
          " Line " + std::to_string(r.line) + ", position " + std::to_string(r.column) + ".";
      return Fault(res, "ErrorSchemaValidation",
                   "The request failed schema validation: " + r.message + where,
                   "The request failed schema validation.", r.line, r.column, r.message + where);
    }
  }
  pugi::xml_document doc;
  auto parsed = doc.load_buffer(req.body.data(), req.body.size());
  if (!parsed) {
    return Fault(res, "ErrorSchemaValidation",
                 std::string("The request failed schema validation: ") + parsed.description(),
                 "The request failed schema validation.", 1, static_cast<int>(parsed.offset),
                 parsed.description());
  }
  auto envelope = doc.document_element();
  if (LocalName(envelope) == "Envelope" && NamespaceOf(envelope) != kNsSoap) {
    // Only SOAP 1.1 is served: another envelope namespace is the VersionMismatch fault.
    res.status = 500;
    res.SetContent(Envelope(std::string("<s:Fault><faultcode>s:VersionMismatch</faultcode>"
                                        "<faultstring xml:lang=\"en-US\">The envelope namespace "
                                        "is not ") +
                                kNsSoap + ".</faultstring></s:Fault>",
                            false),
                   "text/xml; charset=utf-8");
    return;
  }
  auto header = Child(envelope, "Header");
  auto body = Child(envelope, "Body");
  pugi::xml_node op =
      body ? Elements(body).empty() ? pugi::xml_node() : Elements(body).front() : pugi::xml_node();
  if (LocalName(envelope) != "Envelope" || !op) {
    return Fault(res, "ErrorSchemaValidation",
                 "The request failed schema validation: the SOAP envelope or body is missing.",
                 "The request failed schema validation.", 1, 1, "Missing SOAP body.");
  }
  Ctx ctx(store, *schema, cfg);
  ctx.user = user;
  ctx.fault = fault;
  ctx.requestHeader = [&req](const std::string& name) { return req.Header(name); };
  ctx.startStream = [&stream, &call, &ctx] {
    HttpResponse head;
    head.SetHeader("Content-Type", "text/xml; charset=utf-8");
    for (const auto& [name, value] : ctx.responseHeaders)
      head.headers.emplace(name, value);
    stream = call->StartStream(std::move(head));
    return stream;
  };
  ctx.op = op;
  ctx.pctx.schema = schema;
  ctx.versionRank = VersionRank("Exchange2007_SP1");
  int serverRank = VersionRank(cfg.version.name);
  std::string impersonate, impersonateKind;
  for (auto h : Elements(header)) {
    auto ln = LocalName(h);
    if (ln == "RequestServerVersion") {
      int rank = VersionRank(Attr(h, "Version"));
      if (rank < 0 || rank > serverRank)
        return Fault(res, "ErrorInvalidServerVersion", StandardText("ErrorInvalidServerVersion"),
                     StandardText("ErrorInvalidServerVersion"));
      ctx.versionRank = rank;
    } else if (ln == "TimeZoneContext") {
      std::string id = Attr(Child(h, "TimeZoneDefinition"), "Id");
      if (!id.empty() && id != "UTC" && !IsKnownZone(id))
        return Fault(res, "ErrorTimeZone", StandardText("ErrorTimeZone"),
                     StandardText("ErrorTimeZone"));
      ctx.pctx.timeZone = id;
    } else if (ln == "ExchangeImpersonation") {
      auto sid = Child(h, "ConnectingSID");
      auto which = Elements(sid);
      if (!which.empty()) {
        impersonateKind = std::string(LocalName(which.front()));
        impersonate = Text(which.front());
      }
      if (impersonate.find_first_not_of(" \t\r\n") == std::string::npos)
        return Fault(res, "ErrorInvalidExchangeImpersonationHeaderData",
                     "The impersonation header names no user: give a principal name, an SMTP "
                     "address or a SID.",
                     "The impersonation header names no user.");
    }
  }
  {
    std::shared_lock lock(store.mutex);
    ctx.self = store.Find(user->address);
  }
  // An app-only token names no mailbox: the request must impersonate one.
  if (impersonate.empty() && IsApp(user))
    return Fault(res, "ErrorInvalidExchangeImpersonationHeaderData",
                 "ExchangeImpersonation SOAP header must be present for this type of OAuth token.",
                 "ExchangeImpersonation SOAP header must be present for this type of OAuth token.");
  if (!impersonate.empty()) {
    const UserConfig* target = nullptr;
    for (const auto& u : cfg.users) {
      if (impersonateKind == "SID" ? u.sid == impersonate : EqualsNoCase(u.address, impersonate))
        target = &u;
    }
    if (!target)
      return Fault(res, "ErrorNonExistentMailbox", StandardText("ErrorNonExistentMailbox"),
                   StandardText("ErrorNonExistentMailbox"));
    bool allowed = EqualsNoCase(target->address, user->address);
    for (auto& a : user->impersonate)
      if (a == "*" || EqualsNoCase(a, target->address)) allowed = true;
    if (!allowed)
      return Fault(res, "ErrorImpersonateUserDenied", StandardText("ErrorImpersonateUserDenied"),
                   StandardText("ErrorImpersonateUserDenied"));
    std::shared_lock lock(store.mutex);
    ctx.self = store.Find(target->address);
  }
  if (!ctx.self) {
    return Fault(res, "ErrorNonExistentMailbox", StandardText("ErrorNonExistentMailbox"),
                 StandardText("ErrorNonExistentMailbox"));
  }
  std::string opName(LocalName(op));
  auto it = ops.find(opName);
  if (it == ops.end()) {
    return Fault(res, "ErrorInvalidRequest",
                 "The request is invalid: the operation " + opName + " is not supported.",
                 StandardText("ErrorInvalidRequest"));
  }
  try {
    if (it->second.writes) {
      std::unique_lock lock(store.mutex);
      store.generation.fetch_add(1);
      try {
        it->second.handler(ctx);
      } catch (...) {
        store.generation.fetch_add(1);
        throw;
      }
      store.generation.fetch_add(1);
    } else {
      std::shared_lock lock(store.mutex);
      it->second.handler(ctx);
    }
  } catch (const EwsError& e) {
    return Fault(res, e.code, e.text, e.text);
  } catch (const std::exception&) {
    return Fault(res, "ErrorInternalServerError", StandardText("ErrorInternalServerError"),
                 StandardText("ErrorInternalServerError"));
  }
  if (stream) return;  // the head went out with the stream
  for (const auto& [name, value] : ctx.responseHeaders)
    res.headers.emplace(name, value);
  std::string content = !ctx.response.empty() ? ctx.response
                        : it->second.wholeResponse
                            ? ctx.out
                            : "<m:" + opName + "Response xmlns:m=\"" + kNsMessages +
                                  "\" xmlns:t=\"" + kNsTypes + "\"><m:ResponseMessages>" + ctx.out +
                                  "</m:ResponseMessages></m:" + opName + "Response>";
  res.status = 200;
  res.SetContent(Envelope(content, true), "text/xml; charset=utf-8");
}

void ServerImpl::ServePhoto(const HttpRequest& req, HttpResponse& res) {
  if (!Authenticate(req)) return Unauthorized(res);
  const std::string size = req.Query("size");
  const int side = size.empty() ? 648 : PhotoSide(size);
  if (side == 0) {
    res.status = 400;
    return;
  }
  auto photo = UserPhotoBytes(cfg, req.Query("email"), side);
  if (!photo) {
    res.status = 404;
    return;
  }
  res.status = 200;
  res.SetContent(*photo, "image/jpeg");
}

void ServerImpl::MakeCertificate() {
  if (!cfg.certificateFile.empty()) {
    FILE* f = std::fopen(cfg.certificateFile.c_str(), "r");
    if (!f) throw std::runtime_error("cannot read " + cfg.certificateFile);
    cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    f = std::fopen(cfg.privateKeyFile.c_str(), "r");
    if (!f) throw std::runtime_error("cannot read " + cfg.privateKeyFile);
    key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!cert || !key) throw std::runtime_error("cannot load the certificate or its key");
  } else {
    key = EVP_EC_gen("P-256");
    cert = X509_new();
    if (!key || !cert) throw std::runtime_error("cannot make a certificate");
    X509_set_version(cert, 2);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * 365);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    std::string san = "DNS:localhost";
    bool ip = !host.empty() && host.find_first_not_of("0123456789.:") == std::string::npos;
    san += ip ? ",IP:" + host : ",DNS:" + host;
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    if (X509_EXTENSION* ext =
            X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san.c_str())) {
      X509_add_ext(cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
    X509_sign(cert, key, EVP_sha256());
  }
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  certPem.assign(data, static_cast<size_t>(len));
  BIO_free(bio);
}

void ServerImpl::Start() {
  if (running) return;
  faults.Set(cfg.faults, cfg.faultSeed);
  std::string dir = cfg.schemaDir.empty() ? DefaultSchemaDir() : cfg.schemaDir;
  schema = &SchemaModel::Get(dir);
  validator = &SchemaValidator::Get(dir);
  appPrincipals.clear();
  for (const auto& app : cfg.oauthApps) {
    UserConfig principal;
    principal.address = "app:" + app.clientId;  // no mailbox has this address
    principal.displayName = app.clientId;
    principal.impersonate = {"*"};
    appPrincipals.push_back(std::move(principal));
  }
  RegisterFolderOps(ops);
  RegisterItemOps(ops);
  RegisterFindOps(ops);
  RegisterMiscOps(ops);
  RegisterAvailabilityOps(ops);
  RegisterNotifyOps(ops);
  events = std::make_unique<EventHub>(
      cfg.notifications, [this](const std::string& body) { return Envelope(body, true); });
  store.events = events.get();
  RegisterCalendarOps(ops);
  RegisterServiceOps(ops);
  RegisterContactOps(ops);
  if (!cfg.autodiscover.dnsListen.empty()) {
    dns = std::make_unique<DnsServer>(cfg.autodiscover);
    dns->Start(cfg.autodiscover.dnsListen);
  }
  uint64_t savedGeneration = 0;  // what the state file holds already
  {
    std::unique_lock lock(store.mutex);
    bool loaded = false;
    if (store.mailboxes.empty()) {
      loaded = !cfg.stateFile.empty() && !cfg.stateReset &&
               LoadState(cfg.stateFile, *schema, store);  // throws when unreadable
      for (auto& u : cfg.users) {
        if (store.Find(u.address)) continue;
        Mailbox& m = store.Add(u.address, u.displayName.empty() ? u.address : u.displayName);
        if (!loaded) SeedMailbox(store, *schema, m, cfg.seed);
      }
    }
    savedGeneration = loaded ? store.generation.load() : 0;
    ApplyUserSettings(store, cfg);
  }
  int wanted = 0;
  ParseListen(cfg.listen, host, wanted);
  TransportOptions options;
  options.host = host;
  options.port = wanted;
  if (cfg.tls) {
    MakeCertificate();
    options.certificate = cert;
    options.privateKey = key;
  }
  options.workers = cfg.threads > 0 ? cfg.threads : 8;
  options.headerTimeout = std::chrono::seconds(std::max(1, cfg.headerTimeoutSeconds));
  options.bodyTimeout = std::chrono::seconds(std::max(1, cfg.bodyTimeoutSeconds));
  options.keepAlive = std::chrono::seconds(std::max(1, cfg.keepAliveSeconds));
  options.maxBodyBytes = cfg.maxRequestBytes;
  options.admit = [this](const HttpRequest& req) { return Admit(req); };
  options.onRequest = [this](const std::shared_ptr<HttpCall>& call) { Handle(call); };
  transport = std::make_unique<Transport>(std::move(options));
  try {
    transport->Start();
  } catch (const std::runtime_error& e) {
    transport.reset();
    const std::string what = e.what();
    // The address as configured, whatever form the transport names it in.
    const auto reason = what.find(": ", std::string("cannot listen on ").size());
    throw std::runtime_error("cannot listen on " + cfg.listen +
                             (reason == std::string::npos ? std::string() : what.substr(reason)));
  }
  port = transport->Port();
  // Only a server that serves writes its state file.
  if (!cfg.stateFile.empty())
    stateKeeper = std::make_unique<StateKeeper>(cfg.stateFile, store, savedGeneration);
  running = true;
}

void ServerImpl::Stop() {
  if (!running) return;
  if (events) events->Stop();
  transport->Stop();
  running = false;
  if (stateKeeper) stateKeeper->Stop();  // writes the last changes
  dns.reset();
  stateKeeper.reset();
  transport.reset();
  {
    // Subscriptions live in memory: a server that stops forgets them.
    std::unique_lock lock(store.mutex);
    store.events = nullptr;
  }
  events.reset();
  if (cert) X509_free(cert);
  if (key) EVP_PKEY_free(key);
  cert = nullptr;
  key = nullptr;
}

// ---------------------------------------------------------------- public API

Server::Server(Config config) : impl_(std::make_unique<ServerImpl>(std::move(config))) {}
Server::~Server() = default;
void Server::Start() {
  impl_->Start();
}
void Server::Stop() {
  impl_->Stop();
}
int Server::Port() const {
  return impl_->port;
}
int Server::DnsPort() const {
  return impl_->dns ? impl_->dns->Port() : 0;
}
const Config& Server::GetConfig() const {
  return impl_->cfg;
}
std::string Server::CertificatePem() const {
  return impl_->certPem;
}

std::string Server::Url() const {
  std::string h =
      impl_->host.find(':') != std::string::npos ? "[" + impl_->host + "]" : impl_->host;
  return std::string(impl_->cfg.tls ? "https" : "http") + "://" + h + ":" +
         std::to_string(impl_->port) + "/EWS/Exchange.asmx";
}

void Server::SetFaults(std::vector<FaultRule> rules, std::uint64_t seed) {
  impl_->faults.Set(std::move(rules), seed);
}

void Server::AddRoute(HttpRoute route) {
  impl_->AddRoute(std::move(route));
}

void Server::AddRoute(CallRoute route) {
  impl_->AddRoute(std::move(route));
}

int Server::ServeBytes(std::string_view bytes) {
  return impl_->transport ? impl_->transport->ServeBytes(bytes) : 0;
}

long Server::RequestCount(const std::string& operation) const {
  return impl_->faults.Count(operation);
}

void Server::ForgetSubscriptions() {
  if (impl_->events) impl_->events->Forget();
}

std::size_t Server::OpenStreams() const {
  return impl_->events ? impl_->events->OpenStreams() : 0;
}

long Server::FolderItemCount(const std::string& address, const std::string& distinguishedId) const {
  std::shared_lock lock(impl_->store.mutex);
  Mailbox* m = impl_->store.Find(address);
  Folder* f = m ? m->Distinguished(distinguishedId) : nullptr;
  return f ? static_cast<long>(f->items.size()) : -1;
}

}  // namespace ewssim
