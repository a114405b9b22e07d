// Autodiscover: the cloud service's JSON lookup, the DNS service record, and the POX service
// reached through a list of candidate URLs; the session's methods of that name.
#include <cstdlib>

#include "DvDNS.h"
#include "DvJSON.h"
#include "DvUtils.h"
#include "uDvEWS.h"

namespace dv {

namespace {

constexpr const char* kRequestNs =
    "http://schemas.microsoft.com/exchange/autodiscover/outlook/requestschema/2006";
constexpr const char* kResponseNs =
    "http://schemas.microsoft.com/exchange/autodiscover/outlook/responseschema/2006a";

// The cloud endpoints. Each can be moved by an environment variable, so that tests (and private
// clouds) reach a server of their own.
std::string CloudSetting(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}
std::string CloudJsonBase() {
  return CloudSetting("DVEWS_AUTODISCOVER_JSON_URL",
                      "https://outlook.office365.com/autodiscover/autodiscover.json/v1.0/");
}
std::string CloudPoxUrl() {
  return CloudSetting("DVEWS_AUTODISCOVER_CLOUD_URL",
                      "https://autodiscover-s.outlook.com/autodiscover/autodiscover.xml");
}
std::string CloudTenantDomain() {
  return CloudSetting("DVEWS_AUTODISCOVER_TENANT_DOMAIN", ".mail.onmicrosoft.com");
}

std::string DomainOf(const std::string& address) {
  const auto at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

// Hops of redirectAddr and redirectUrl answers followed before giving up.
constexpr int kMaxAnswerRedirects = 10;

}  // namespace

// ---------------------------------------------------------------------------------------------
// The discovery client: a fresh transport with the session's settings, short time-outs and no
// redirects of its own; the session's transport objects are put back however discovery ends.

namespace {

class TDiscoveryClient {
 public:
  TDiscoveryClient(std::shared_ptr<TDvHTTPSession>& sessionSlot,
                   std::shared_ptr<TDvHTTPClient>& clientSlot, const std::function<void()>& build)
      : sessionSlot_(sessionSlot),
        clientSlot_(clientSlot),
        session_(sessionSlot),
        client_(clientSlot) {
    sessionSlot_.reset();
    clientSlot_.reset();
    build();
    discovery_ = clientSlot_;
    discovery_->SetFollowRedirects(false);
    discovery_->SetAuthFailureAsError(false);  // a 401 comes back as a status
    discovery_->SetOnError([](IDvHTTPClient&, IDvHTTPRequest&, std::uint32_t code) {
      throw EAbort(DvEWSFormat("Error: %d", {std::to_string(code)}));
    });
    discovery_->SetTimeOuts(TDvHTTPTimeOuts(1000, 1000, 1000));
    discovery_->GetRequestHeaders().SetConnection(TDvHTTPConnection::hcClose);
  }
  ~TDiscoveryClient() {
    discovery_->SetOnError(nullptr);
    sessionSlot_ = session_;
    clientSlot_ = client_;
  }
  TDvHTTPClient& Get() { return *discovery_; }
  // The main client as it was before discovery (none before the first logon's transport).
  const std::shared_ptr<TDvHTTPClient>& Main() const { return client_; }

 private:
  std::shared_ptr<TDvHTTPSession>& sessionSlot_;
  std::shared_ptr<TDvHTTPClient>& clientSlot_;
  std::shared_ptr<TDvHTTPSession> session_;
  std::shared_ptr<TDvHTTPClient> client_;
  std::shared_ptr<TDvHTTPClient> discovery_;
};

// The token a discovery client obtained goes to the main client, which then needs no new one.
void CopyToken(TDvHTTPClient& from, const std::shared_ptr<TDvHTTPClient>& to) {
  if (to && !from.GetOAuth().GetAccessToken().GetExpired())
    to->GetOAuth().SetAccessToken(from.GetOAuth().GetAccessToken());
}

}  // namespace

void TDvEWSCustomSession::AutodiscoverStep(const std::string& step, const std::string& url,
                                           const std::string& outcome) {
  if (FOnAutodiscoverStep) FOnAutodiscoverStep(step, url, outcome);
}

// ---------------------------------------------------------------------------------------------
// JSON

std::string TDvEWSCustomSession::AutodiscoverV2(const std::string& address,
                                                const std::string& protocol) {
  const std::string mail = address.empty() ? FAutodiscoverEMail : address;
  if (mail.empty()) throw Exception("No EMail address specified!");
  if (protocol == "Ews") {
    auto cached = FAutodiscoverResults.find(mail);
    if (cached != FAutodiscoverResults.end() && cached->second) {
      DvDOMElementPtr url = cached->second->SelectSingleElement(
          "/Autodiscover/Response/Account/Protocol[Type=\"EXPR\"]/EwsUrl");
      if (!url) throw EDvXMLException("The autodiscover answer has no EXPR EwsUrl element");
      return url->GetAsString();
    }
  }
  std::lock_guard<std::recursive_mutex> hold(*FRequestLock);
  TDiscoveryClient discovery(FHTTPSession, FHTTPClient, [this] { CheckHTTPClient(); });
  const std::string url = CloudJsonBase() + DvURLEncode(mail) + "?Protocol=" + protocol;
  DvHTTPResponsePtr response;
  try {
    response = discovery.Get().CreateRequest("GET", url)->Send();
  } catch (const std::exception& e) {
    AutodiscoverStep("JSON", url, e.what());
    return {};
  }
  std::string result;
  if (response->GetStatusCode() == 200 &&
      DvLowerCaseAscii(response->GetHeader("content-type")).find("json") != std::string::npos) {
    try {
      DvJSONValuePtr root = DvCreateJSON(response->GetContent())->GetRootValue();
      if (root->IsObject() && root->HasMember("Url")) result = root->Member("Url")->AsString();
    } catch (const EDvJSONException&) {
      result.clear();
    }
  }
  AutodiscoverStep(
      "JSON", url,
      std::to_string(response->GetStatusCode()) + (result.empty() ? "" : " " + result));
  if (!result.empty()) CopyToken(discovery.Get(), discovery.Main());
  return result;
}

// ---------------------------------------------------------------------------------------------
// DNS

std::string TDvEWSCustomSession::LookupAutodiscoverHost(const std::string& domain) {
  const std::string name = "_autodiscover._tcp." + domain;
  std::string servers = FDNSServers;
  if (servers.empty()) servers = CloudSetting("DVEWS_DNS_SERVERS", "");
  std::vector<TDvDNSServiceRecord> records;
  try {
    records = DvDNSQueryServiceRecords(name, servers, 1000);
  } catch (const EDvDNSException& e) {
    AutodiscoverStep("DNS", name, e.what());
    return {};
  }
  if (records.empty()) {
    AutodiscoverStep("DNS", name, "no record");
    return {};
  }
  const TDvDNSServiceRecord& first = records.front();
  AutodiscoverStep("DNS", name, first.Target + ":" + std::to_string(first.Port));
  if (first.Port != 443) throw Exception("The EWS Server should be accessible on port 443!");
  return first.Target;
}

// ---------------------------------------------------------------------------------------------
// POX

bool TDvEWSCustomSession::ProbeAutodiscoverUrl(TDvHTTPClient& client, std::string& url, int depth) {
  auto fail = [&](const std::string& why) {
    client.ResetConnection();
    AutodiscoverStep("probe", url, why);
    return false;
  };
  const auto authFailure = [] {
    return EEWSException("ErrorAutoDiscoverFailed", "Authentication Failure!", 0);
  };
  int status = 0;
  std::string location;
  try {
    DvHTTPResponsePtr response = client.CreateRequest("GET", url)->Send();
    if (response->GetStatusCode() == 500) response = client.CreateRequest("GET", url)->Send();
    status = response->GetStatusCode();
    location = response->GetHeader("Location");
  } catch (const EAbort& e) {
    return fail(e.what());
  } catch (const EDvHTTPClientApiException& e) {
    const std::uint32_t code = e.GetErrorCode();
    if (code == DvHTTPError::IncorrectUserName || code == DvHTTPError::IncorrectPassword ||
        code == DvHTTPError::LoginFailure) {
      client.ResetConnection();
      throw authFailure();
    }
    return fail(e.what());
  } catch (const EDvHTTPApiException& e) {
    return fail(e.what());
  } catch (const EDvHTTPException& e) {
    if (e.GetStatusCode() == 401) {
      client.ResetConnection();
      throw authFailure();
    }
    return fail(e.what());
  } catch (const EEWSException&) {
    client.ResetConnection();
    throw;
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  if (status == 301 || status == 302) {
    std::string target;
    try {
      const TDvURLData decoded = DvDecodeURL(location);
      if (decoded.Path.empty() && decoded.Host.rfind("www", 0) == 0) {
        AutodiscoverStep("probe", url, std::to_string(status) + " -> " + location + " (refused)");
        return false;
      }
      target = location;
    } catch (const EConvertError&) {
      AutodiscoverStep("probe", url, std::to_string(status) + " -> " + location + " (refused)");
      return false;
    }
    if (target == url || depth >= 3) {
      AutodiscoverStep("probe", url,
                       std::to_string(status) + " -> " + target +
                           (depth >= 3 ? " (too many redirects)" : " (loop)"));
      return false;
    }
    AutodiscoverStep("probe", url, std::to_string(status) + " -> " + target);
    url = target;
    return ProbeAutodiscoverUrl(client, url, depth + 1);
  }
  AutodiscoverStep("probe", url, std::to_string(status));
  if (status == 401) throw authFailure();
  return status < 400;
}

DvDOMDocumentPtr TDvEWSCustomSession::PostAutodiscover(TDvHTTPClient& client,
                                                       const std::string& url,
                                                       const std::string& address,
                                                       const std::string& domain) {
  const std::string body = std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?><Autodiscover ") +
                           "xmlns=\"" + kRequestNs + "\"><Request><EMailAddress>" + address +
                           "</EMailAddress><AcceptableResponseSchema>" + kResponseNs +
                           "</AcceptableResponseSchema></Request></Autodiscover>";
  DvHTTPResponsePtr response;
  try {
    response = client.CreateRequest("POST", url, body, "text/xml; charset=utf-8")->Send();
  } catch (const EDvHTTPApiException& e) {
    AutodiscoverStep("post", url, e.what());
    const std::uint32_t code = e.GetErrorCode();
    if (code == DvHTTPError::NameNotResolved)
      throw EEWSException(
          "ErrorAutoDiscoverFailed",
          "NAME_NOT_RESOLVED: The specified host \"" + domain + "\" could not be found!", code);
    if (code == DvHTTPError::LoginFailure)
      throw EEWSException("ErrorAutoDiscoverFailed",
                          "LOGIN_FAILURE: Either an invalid name and/or password were provided!",
                          code);
    throw EEWSException("ErrorAutoDiscoverFailed", e.what(), code);
  } catch (const EEWSException&) {
    throw;
  } catch (const std::exception& e) {
    AutodiscoverStep("post", url, e.what());
    throw EEWSException("ErrorAutoDiscoverFailed", e.what(), 0);
  }
  const int status = response->GetStatusCode();
  AutodiscoverStep("post", url, std::to_string(status));
  if (status == 401 || status == 407)
    throw EEWSException("ErrorAutoDiscoverFailed", "Authentication Failure!", 0);
  if (status != 200) throw EEWSException("ErrorAutoDiscoverFailed", response->GetReasonPhrase(), 0);
  if (response->GetContent().empty())
    throw EEWSException("ErrorAutoDiscoverFailed", "The server did not return any data!", 0);
  DvDOMDocumentPtr doc;
  try {
    doc = DvCreateDOM(std::string_view(response->GetContent()));
  } catch (const std::exception&) {
    doc.reset();
  }
  DvDOMElementPtr root = doc ? doc->GetDocumentElement() : nullptr;
  if (!root || root->GetLocalName() != "Autodiscover")
    throw EEWSException("ErrorAutoDiscoverFailed", "The server did not return valid data!", 0);
  if (DvDOMElementPtr error = doc->SelectSingleElement("/Autodiscover/Response/Error")) {
    DvDOMElementPtr message = error->ElementByName("Message");
    throw EEWSException("ErrorAutoDiscoverFailed", message ? message->GetAsString() : "", 0);
  }
  return doc;
}

DvDOMDocumentPtr TDvEWSCustomSession::Autodiscover(const std::string& address) {
  const std::string mail = address.empty() ? FAutodiscoverEMail : address;
  if (mail.empty()) throw Exception("No EMail address specified!");
  if (auto cached = FAutodiscoverResults.find(mail);
      cached != FAutodiscoverResults.end() && cached->second)
    return cached->second;

  std::lock_guard<std::recursive_mutex> hold(*FRequestLock);
  TDiscoveryClient discovery(FHTTPSession, FHTTPClient, [this] { CheckHTTPClient(); });
  TDvHTTPClient& client = discovery.Get();
  const bool oauth = client.GetAuthScheme() == TDvHTTPAuthScheme::asOAuth;
  if (!oauth && (FCredentials.GetUserName().empty() || FCredentials.GetPassword().empty()))
    throw EAbort("Cannot Autodiscover because of missing credentials!");

  std::string current = mail;  // changes with redirectAddr answers
  for (int hop = 0;; ++hop) {
    const std::string domain = DomainOf(current);
    const std::string label = domain.substr(0, domain.find('.'));
    const std::string path = "/autodiscover/autodiscover.xml";
    std::vector<std::string> candidates = {"https://" + domain + path,
                                           "https://autodiscover." + domain + path,
                                           "https://www." + domain + path};
    if (DvLowerCaseAscii(FServiceUrl).find("office365") != std::string::npos) {
      candidates.push_back(CloudPoxUrl());
      candidates.push_back("https://autodiscover." + label + CloudTenantDomain() + path);
      candidates.push_back("https://" + label + CloudTenantDomain() + path);
    }
    candidates.push_back("http://autodiscover." + domain + path);
    candidates.push_back("http://www." + domain + path);

    if (oauth && FAutodisoverURL.empty())
      FAutodisoverURL = AutodiscoverV2(current, "Autodiscoverv1");
    else if (!oauth)
      FAutodisoverURL.clear();
    if (!FAutodisoverURL.empty()) {
      std::erase(candidates, FAutodisoverURL);
      candidates.insert(candidates.begin(), FAutodisoverURL);
    }

    std::string passed;
    for (std::string url : candidates) {
      if (ProbeAutodiscoverUrl(client, url, 0)) {
        passed = url;
        break;
      }
    }
    if (passed.empty())
      throw EEWSException("ErrorAutoDiscoverFailed", "Failed to determine the Autodiscover URL!",
                          0);
    FAutodisoverURL = passed;
    if (oauth) CopyToken(client, discovery.Main());

    DvDOMDocumentPtr doc = PostAutodiscover(client, passed, current, domain);
    // Exchange may send the client on: to another address (redirectAddr), whose discovery
    // starts over, or to another URL (redirectUrl), which is posted to directly.
    for (; hop < kMaxAnswerRedirects; ++hop) {
      DvDOMElementPtr action = doc->SelectSingleElement("/Autodiscover/Response/Account/Action");
      const std::string what = action ? action->GetAsString() : std::string();
      if (what == "redirectUrl") {
        DvDOMElementPtr target =
            doc->SelectSingleElement("/Autodiscover/Response/Account/RedirectUrl");
        const std::string url = target ? target->GetAsString() : std::string();
        AutodiscoverStep("redirect", passed, "redirectUrl " + url);
        if (url.empty() || url == passed) break;
        passed = url;
        FAutodisoverURL = url;
        doc = PostAutodiscover(client, passed, current, DomainOf(current));
        continue;
      }
      break;
    }
    DvDOMElementPtr action = doc->SelectSingleElement("/Autodiscover/Response/Account/Action");
    if (action && action->GetAsString() == "redirectAddr") {
      DvDOMElementPtr target =
          doc->SelectSingleElement("/Autodiscover/Response/Account/RedirectAddr");
      const std::string next = target ? target->GetAsString() : std::string();
      AutodiscoverStep("redirect", passed, "redirectAddr " + next);
      if (next.empty() || DvSameText(next, current) || hop + 1 >= kMaxAnswerRedirects)
        throw EEWSException("ErrorAutoDiscoverFailed", "Failed to determine the Autodiscover URL!",
                            0);
      current = next;
      FAutodisoverURL.clear();
      continue;
    }
    if (action && action->GetAsString() == "redirectUrl")
      throw EEWSException("ErrorAutoDiscoverFailed", "Failed to determine the Autodiscover URL!",
                          0);
    FAutodiscoverResults[mail] = doc;
    return doc;
  }
}

}  // namespace dv
