#include "uDvEWS.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "DvTimeZone.h"
#include "DvUtils.h"
#include "DvXMLSchema.h"

namespace dv {

namespace {

constexpr const char* kNsMessages = "http://schemas.microsoft.com/exchange/services/2006/messages";
constexpr const char* kNsTypes = "http://schemas.microsoft.com/exchange/services/2006/types";

// The mailbox named in the logon check's ConvertId; the answer is not examined.
constexpr const char* kLogonCheckMailbox = "logon.check@dovrane.invalid";

// "m:GetFolder" -> ".../messages/GetFolder"
std::string SoapActionOf(const std::string& operation) {
  const auto colon = operation.find(':');
  return std::string(kNsMessages) + "/" +
         (colon == std::string::npos ? operation : operation.substr(colon + 1));
}

// An integer attribute; absent or malformed text reads as 0.
std::int32_t IntAttribute(const IDvDOMElement& e, std::string_view name) {
  try {
    return static_cast<std::int32_t>(DvXMLToInt(e.GetAttribute(name)));
  } catch (const EConvertError&) {
    return 0;
  }
}

// The first `count` characters (code points) of UTF-8 text.
std::string LeftChars(const std::string& text, std::size_t count) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == count) return text.substr(0, i);
      ++chars;
    }
  }
  return text;
}

void AddImpersonation(IDvSOAPRequest& request, const std::string& address) {
  request.AddHeader("t:ExchangeImpersonation")
      ->AddElement("t:ConnectingSID")
      ->AddElement("t:PrimarySmtpAddress")
      ->SetAsString(address);
}

std::string ProcessUserName() {
  if (const passwd* pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name != nullptr)
    return pw->pw_name;
  const char* user = std::getenv("USER");
  return user != nullptr ? user : "";
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Versions

std::string EwsServerVersionName(TServerVersion version) {
  return std::string(DvEnumName(version));
}

TServerVersion EwsServerVersionFromInfo(const TServerVersionInfo& info) {
  TServerVersion named{};
  if (!info.Version.empty() && DvTryXMLToEnum(info.Version, named))
    return std::min(named, TServerVersion::Exchange2016);
  const int major = info.MajorVersion;
  const int minor = info.MinorVersion;
  if (major >= 15 && minor >= 1) return TServerVersion::Exchange2016;
  if (major >= 15 && info.MajorBuildNumber >= 847) return TServerVersion::Exchange2013_SP1;
  if (major >= 15) return TServerVersion::Exchange2013;
  if (major >= 14 && minor >= 3) return TServerVersion::Exchange2012;
  if (major >= 14 && minor >= 2) return TServerVersion::Exchange2010_SP2;
  if (major >= 14 && minor >= 1) return TServerVersion::Exchange2010_SP1;
  if (major >= 14) return TServerVersion::Exchange2010;
  if (major >= 8 && minor >= 1) return TServerVersion::Exchange2007_SP1;
  return TServerVersion::Exchange2007;
}

void EwsCheckVersion(TServerVersion required, TServerVersion actual, const std::string& feature) {
  if (actual < required)
    throw Exception(
        DvEWSFormat("\"%s\" is not supported by %s. This feature requires Exchange %s!",
                    {feature, EwsServerVersionName(actual), EwsServerVersionName(required)}));
}

std::string EwsServerDescription(TServerVersion version, const TServerVersionInfo& info) {
  const std::string build =
      DvEWSFormat("%d.%d.%d.%d",
                  {std::to_string(info.MajorVersion), std::to_string(info.MinorVersion),
                   std::to_string(info.MajorBuildNumber), std::to_string(info.MinorBuildNumber)});
  const char* format = "Exchange Server (%s)";
  switch (version) {
    case TServerVersion::Exchange2007_SP1:
      format = "Exchange Server 2007 SP1 (%s)";
      break;
    case TServerVersion::Exchange2010:
      format = "Exchange Server 2010 (%s)";
      break;
    case TServerVersion::Exchange2010_SP1:
      format = "Exchange Server 2010 SP1 (%s)";
      break;
    case TServerVersion::Exchange2010_SP2:
      format = "Exchange Server 2010 SP2 (%s)";
      break;
    case TServerVersion::Exchange2013:
      format = "Exchange Server 2013 (%s)";
      break;
    case TServerVersion::Exchange2013_SP1:
      format = "Exchange Server 2013 SP1 (%s)";
      break;
    case TServerVersion::Exchange2015:
      format = "Exchange Server 2015 (%s)";
      break;
    case TServerVersion::Exchange2016:
    case TServerVersion::V2015_10_05:
    case TServerVersion::V2016_01_06:
      format = "Exchange Server 2016 (%s)";
      break;
    default:
      break;
  }
  return DvEWSFormat(format, {build});
}

// ---------------------------------------------------------------------------------------------
// Profiles and store names

bool TDvEWSProfileCustomContainer::ProfileExists(const std::string& name) {
  std::vector<std::string> names;
  GetProfileNames(names);
  return std::find(names.begin(), names.end(), name) != names.end();
}

int TDvEWSMsgStores::Count() const {
  return static_cast<int>(FOwner.GetAdditionalMailboxes().size()) + 1;
}

std::string TDvEWSMsgStores::GetName(int index) const {
  if (index == 0) return FOwner.GetDefaultMsgStore();
  const auto& extra = FOwner.GetAdditionalMailboxes();
  if (index < 0 || index > static_cast<int>(extra.size()))
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  return extra[static_cast<std::size_t>(index) - 1];
}

// ---------------------------------------------------------------------------------------------
// Session: construction and settings

TDvEWSCustomSession::TDvEWSCustomSession(TDvComponent* owner)
    : TDvEWSBaseSession(owner), FMsgStores(*this) {
  FCurrentTimeZoneContext = LocalTimeZoneContext();
}

TDvEWSCustomSession::~TDvEWSCustomSession() {
  *FAlive = nullptr;
  if (FProfileContainer != nullptr) RemoveFreeNotification(FProfileContainer);
  FAutodiscoverResults.clear();
  ReleaseTransport();
}

std::string TDvEWSCustomSession::LocalTimeZoneContext() const {
  const std::string id = DvLocalWindowsTimeZoneId();
  if (!id.empty() && FEWSTimeZones.count(id) != 0) return id;
  const std::string offset = DvUTCOffsetText(DvLocalUTCOffsetMinutes());
  for (const auto& [zone, text] : FEWSTimeZones)
    if (text == offset) return zone;
  return {};
}

void TDvEWSCustomSession::CheckActive() const {
  if (!FActive) throw Exception("You must logon first!");
}

void TDvEWSCustomSession::SetAccessType(TDvHTTPAccessType value) {
  FAccessType = value;
  if (FHTTPSession) FHTTPSession->SetAccessType(value);
}

void TDvEWSCustomSession::SetSecurityFlags(TDvHTTPSecurityFlags value) {
  FSecurityFlags = value;
  if (FHTTPClient) FHTTPClient->SetSecurityFlags(ClientSecurityFlags());
}

void TDvEWSCustomSession::SetCACertFile(const std::string& value) {
  FCACertFile = value;
  if (FHTTPClient) FHTTPClient->SetCAFile(value);
}

void TDvEWSCustomSession::SetCACertPath(const std::string& value) {
  FCACertPath = value;
  if (FHTTPClient) FHTTPClient->SetCAPath(value);
}

bool TDvEWSCustomSession::GetServerVerified() const {
  return FActive && DvSameText(FServiceUrl.substr(0, 8), "https://") && FSecurityFlags.Empty();
}

TDvHTTPSecurityFlags TDvEWSCustomSession::ClientSecurityFlags() const {
  // The WinINet flavour knows no IgnoreWrongUsage.
  if (FNTService) return FSecurityFlags;
  return FSecurityFlags - TDvHTTPSecurityFlags{TDvHTTPSecurityFlag::sfIgnoreWrongUsage};
}

void TDvEWSCustomSession::SetCredentials(const TDvCredentials& value) {
  FCredentials.Assign(value);
  if (FHTTPClient) FHTTPClient->GetCredentials().Assign(value);
}

void TDvEWSCustomSession::SetOAuth(const TDvOAuth& value) {
  FOAuth.Assign(value);
  if (FHTTPClient) FHTTPClient->GetOAuth().Assign(value);
}

void TDvEWSCustomSession::SetUserAgent(const std::string& value) {
  FUserAgent = value;
  if (FHTTPSession) FHTTPSession->SetUserAgent(value);
}

void TDvEWSCustomSession::SetProxyServer(const std::string& value) {
  FProxyServer = value;
  if (FHTTPSession) FHTTPSession->SetProxyServer(value);
}

void TDvEWSCustomSession::SetProxyServerBypass(const std::string& value) {
  FProxyServerBypass = value;
  if (FHTTPSession) FHTTPSession->SetProxyServerBypass(value);
}

void TDvEWSCustomSession::SetProxyCredentials(const TDvCredentials& value) {
  FProxyCredentials.Assign(value);
  if (FHTTPClient) FHTTPClient->GetProxyCredentials().Assign(value);
}

void TDvEWSCustomSession::SetNTService(bool value) {
  if (value) {
    FLogonDialog = false;
    FPasswordDialog = false;
  }
  if (value == FNTService) return;
  FNTService = value;
  const bool winINet = std::dynamic_pointer_cast<TDvWinINetClient>(FHTTPClient) != nullptr;
  if (FHTTPClient && winINet == value) {
    // The transport is of the other flavour: make it anew.
    FHTTPClient.reset();
    FHTTPSession.reset();
    CheckHTTPClient();
    if (FSOAPClient) FSOAPClient->SetHTTPClient(FHTTPClient);
  }
}

void TDvEWSCustomSession::SetParentWnd(TDvWindowHandle value) {
  FParentWnd = value;
  if (auto winINet = std::dynamic_pointer_cast<TDvWinINetClient>(FHTTPClient))
    winINet->SetParentWnd(value);
}

void TDvEWSCustomSession::SetProfileContainer(TDvEWSProfileCustomContainer* value) {
  if (value == FProfileContainer) return;
  if (FProfileContainer != nullptr) RemoveFreeNotification(FProfileContainer);
  FProfileContainer = value;
  if (FProfileContainer != nullptr) FreeNotification(FProfileContainer);
}

void TDvEWSCustomSession::Notification(TDvComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component == FProfileContainer)
    FProfileContainer = nullptr;
  TDvEWSBaseSession::Notification(component, operation);
}

bool TDvEWSCustomSession::GetUseAutoDiscover() const {
  if (FServiceUrl.empty()) return true;
  if (FAutodiscoverEMail.empty()) return false;
  return FUseAutoDiscover;
}

void TDvEWSCustomSession::SetAutodiscoverEMail(const std::string& value) {
  FAutodiscoverEMail = value;
  if (!value.empty()) FServiceUrl.clear();
}

const std::vector<std::string>& TDvEWSCustomSession::GetAdditionalMailboxes() {
  if (!FAdditionalMailboxesRetrieved && FActive && !FAutodiscoverEMail.empty()) {
    RetrieveAdditionalMailboxes();
    FAdditionalMailboxesRetrieved = true;
  }
  return FAdditionalMailboxes;
}

void TDvEWSCustomSession::SetAdditionalMailboxes(const std::vector<std::string>& value) {
  FAdditionalMailboxes = value;
}

void TDvEWSCustomSession::AddAdditionalMailbox(const std::string& address) {
  for (const auto& m : FAdditionalMailboxes)
    if (DvSameTextUnicode(m, address)) return;
  FAdditionalMailboxes.push_back(address);
}

void TDvEWSCustomSession::RetrieveAdditionalMailboxes() {
  DvDOMDocumentPtr doc = Autodiscover(FAutodiscoverEMail);
  if (!doc) return;
  auto list = doc->CreateElementList(
      "/Autodiscover/Response/Account/AlternativeMailbox[Type=\"Delegate\"]");
  for (int i = 0; i < list->Count(); ++i) {
    DvDOMElementPtr node = list->GetItem(i);
    DvDOMElementPtr owner = node->ElementByName("OwnerSmtpAddress");
    if (!owner) owner = node->ElementByName("SmtpAddress");
    if (owner) AddAdditionalMailbox(owner->GetAsString());
  }
}

TServerVersion TDvEWSCustomSession::GetServerVersion() const {
  CheckServerVersionActive();
  return FServerVersion;
}

const TServerVersionInfo& TDvEWSCustomSession::GetServerVersionInfo() const {
  CheckServerVersionActive();
  return FServerVersionInfo;
}

std::string TDvEWSCustomSession::GetServerDescription() const {
  CheckServerVersionActive();
  return EwsServerDescription(FServerVersion, FServerVersionInfo);
}

void TDvEWSCustomSession::CheckServerVersionActive() const {
  if (!FActive) throw Exception("You must logon first before you can get the ServerVersion!");
}

std::string TDvEWSCustomSession::GetDefaultMsgStore() const {
  if (!FAutodiscoverEMail.empty()) return FAutodiscoverEMail;
  if (!FCredentials.GetUserName().empty()) return FCredentials.GetUserName();
  return ProcessUserName();
}

int TDvEWSCustomSession::GetProfileNames(std::vector<std::string>& names) {
  std::vector<std::string> found;
  const int count = FProfileContainer != nullptr ? FProfileContainer->GetProfileNames(found) : 0;
  names = std::move(found);
  return count;
}

bool TDvEWSCustomSession::LoadProfile(const std::string& name) {
  return FProfileContainer != nullptr && FProfileContainer->LoadProfile(*this, name);
}

void TDvEWSCustomSession::SaveProfile(const std::string& name) {
  if (FProfileContainer != nullptr) FProfileContainer->SaveProfile(*this, name);
}

void TDvEWSCustomSession::SetOnSOAPTrace(TDvSOAPTraceEvent handler) {
  FOnSOAPTrace = std::move(handler);
  if (FSOAPClient) FSOAPClient->SetOnTrace(FOnSOAPTrace);
}

void TDvEWSCustomSession::SetRetryPolicy(const TDvRetryPolicy& value) {
  FRetryPolicy = value;
  if (FSOAPClient) FSOAPClient->SetRetryPolicy(FRetryPolicy);
}

void TDvEWSCustomSession::SetOnThrottled(TDvThrottledEvent handler) {
  FOnThrottled = std::move(handler);
  if (FSOAPClient) FSOAPClient->SetOnThrottled(FOnThrottled);
}

void TDvEWSCustomSession::SetRequestTimeout(int milliseconds) {
  FRequestTimeout = milliseconds;
  if (FHTTPClient) FHTTPClient->SetRequestTimeout(milliseconds);
}

void TDvEWSCustomSession::SetMaxResponseSize(std::int64_t bytes) {
  FMaxResponseSize = bytes;
  if (FHTTPClient) FHTTPClient->SetMaxResponseSize(bytes);
}

void TDvEWSCustomSession::AssignTo(TDvEWSCustomSession& target) const {
  target.SetActive(FActive);
  target.SetUserAgent(FUserAgent);
  target.SetProxyServer(FProxyServer);
  target.SetProxyServerBypass(FProxyServerBypass);
  target.SetAccessType(FAccessType);
  target.SetSecurityFlags(FSecurityFlags);
  target.SetCACertFile(FCACertFile);
  target.SetCACertPath(FCACertPath);
  target.SetProfileName(FProfileName);
  target.SetProfileRequired(FProfileRequired);
  target.SetUseAutoDiscover(GetUseAutoDiscover());
  target.SetServiceUrl(FServiceUrl);
  target.SetAutodiscoverEMail(FAutodiscoverEMail);
  target.SetConnectingSIDType(FConnectingSIDType);
  target.SetConnectingSID(FConnectingSID);
  target.SetNTService(FNTService);
  target.SetLogonDialog(FLogonDialog);
  target.SetPasswordDialog(FPasswordDialog);
  target.SetServerVersion(FServerVersion);
  target.SetParentWnd(FParentWnd);
  target.SetCredentials(FCredentials);
  target.SetProxyCredentials(FProxyCredentials);
  target.SetOAuth(FOAuth);
}

// ---------------------------------------------------------------------------------------------
// Transport

void TDvEWSCustomSession::ApplyClientSettings(TDvHTTPClient& client, bool mainClient) {
  client.SetHTTPVersion(TDvHTTPVersion::hvHTTP11);
  client.SetSecurityFlags(ClientSecurityFlags());
  client.SetCAFile(FCACertFile);
  client.SetCAPath(FCACertPath);
  client.GetCredentials().Assign(FCredentials);
  client.GetProxyCredentials().Assign(FProxyCredentials);
  client.GetOAuth().Assign(FOAuth);
  if (auto* winINet = dynamic_cast<TDvWinINetClient*>(&client)) {
    winINet->SetParentWnd(FParentWnd);
    std::weak_ptr<TDvEWSCustomSession*> alive = FAlive;
    // No password dialog for login failures unless the session allows one.
    winINet->SetOnWinINetError(
        [alive](TDvWinINetClient&, std::uint32_t code, TDvWindowHandle& window, bool&) {
          const auto session = alive.lock();
          if (!session || *session == nullptr) return;
          if ((code == DvHTTPError::IncorrectUserName || code == DvHTTPError::IncorrectPassword ||
               code == DvHTTPError::LoginFailure) &&
              !(*session)->FPasswordDialog)
            window = nullptr;
        });
  }
  client.GetRequestHeaders().SetAccept("text/xml");
  client.SetRequestTimeout(FRequestTimeout);
  client.SetMaxResponseSize(FMaxResponseSize);
  if (mainClient) {
    std::weak_ptr<TDvEWSCustomSession*> alive = FAlive;
    client.SetOnRequest([](IDvHTTPClient&, IDvHTTPRequest&) {});
    client.SetOnResponse([alive](IDvHTTPClient&, IDvHTTPRequest&, TDvHTTPResponse& response) {
      const auto session = alive.lock();
      if (session && *session != nullptr) (*session)->OnHTTPResponse(response);
    });
    client.SetTimeOuts(FTimeOuts);
  }
}

void TDvEWSCustomSession::OnHTTPResponse(TDvHTTPResponse& response) {
  const std::string cookie = response.GetCookie("exchangecookie");
  if (!cookie.empty()) SetExchangeCookie(cookie);
}

void TDvEWSCustomSession::CheckHTTPClient() {
  if (!FHTTPSession) {
    if (FNTService)
      FHTTPSession = std::make_shared<TDvWinHTTPSession>();
    else
      FHTTPSession = std::make_shared<TDvWinINetSession>();
    FHTTPSession->SetUserAgent(FUserAgent);
    FHTTPSession->SetProxyServer(FProxyServer);
    FHTTPSession->SetProxyServerBypass(FProxyServerBypass);
    FHTTPSession->SetAccessType(FAccessType);
    FHTTPSession->SetActive(true);
  }
  if (!FHTTPClient) {
    if (FNTService)
      FHTTPClient = std::make_shared<TDvWinHTTPClient>();
    else
      FHTTPClient = std::make_shared<TDvWinINetClient>();
    FHTTPClient->SetSession(FHTTPSession);
    ApplyClientSettings(*FHTTPClient, true);
  }
  FHTTPClient->SetAuthScheme(FOAuth.GetAppID().empty() ? TDvHTTPAuthScheme::asDefault
                                                       : TDvHTTPAuthScheme::asOAuth);
}

void TDvEWSCustomSession::ReleaseTransport() {
  FSOAPClient.reset();
  FHTTPClient.reset();
  FHTTPSession.reset();
}

void TDvEWSCustomSession::InitSOAPClient(TDvSOAPClient& client) const {
  client.InitSOAPEnv(
      FServiceUrl, "soap",
      {{"xsi", DvSOAPNS::XSI}, {"soap", DvSOAPNS::Envelope11}, {"m", kNsMessages}, {"t", kNsTypes}},
      TDvSOAPEncoding::seSOAP11);
  if (FOnSOAPTrace) client.SetOnTrace(FOnSOAPTrace);
  client.SetRetryPolicy(FRetryPolicy);
  if (FOnThrottled) client.SetOnThrottled(FOnThrottled);
}

std::shared_ptr<IDvHTTPClient> TDvEWSCustomSession::CreateHTTPClient(bool shareConnection) {
  std::shared_ptr<TDvHTTPClient> client;
  if (FNTService)
    client = std::make_shared<TDvWinHTTPClient>();
  else
    client = std::make_shared<TDvWinINetClient>();
  if (shareConnection) client->SetSession(FHTTPSession);
  ApplyClientSettings(*client, false);
  client->SetAuthScheme(FHTTPClient                 ? FHTTPClient->GetAuthScheme()
                        : FOAuth.GetAppID().empty() ? TDvHTTPAuthScheme::asDefault
                                                    : TDvHTTPAuthScheme::asOAuth);
  const TDvOAuthAccessToken token = GetAccessToken();
  if (!token.GetExpired()) client->GetOAuth().SetAccessToken(token);
  return client;
}

std::shared_ptr<TDvSOAPClient> TDvEWSCustomSession::CreateSOAPClient(
    const std::shared_ptr<IDvHTTPClient>& httpClient) {
  auto client = std::make_shared<TDvSOAPClient>(nullptr);
  client->SetHTTPClient(httpClient);
  InitSOAPClient(*client);
  return client;
}

// ---------------------------------------------------------------------------------------------
// Request frame

namespace {

// A session's request as callers see it: sending holds the session's request lock, so that the
// session's one connection carries one exchange at a time, whichever thread sends. Everything
// else is the request's own data and passes straight through; Abort takes no lock, as it is
// called from another thread while a send holds it.
class TDvEWSSerialRequest final : public IDvSOAPRequest {
 public:
  TDvEWSSerialRequest(DvSOAPRequestPtr inner, std::shared_ptr<std::recursive_mutex> lock)
      : inner_(std::move(inner)), lock_(std::move(lock)) {}

  DvDOMDocumentPtr GetDocument() const override { return inner_->GetDocument(); }
  DvDOMElementPtr GetEnvelope() const override { return inner_->GetEnvelope(); }
  DvDOMElementPtr GetHeader() override { return inner_->GetHeader(); }
  DvDOMElementPtr AddHeader(std::string_view qualifiedName) override {
    return inner_->AddHeader(qualifiedName);
  }
  DvDOMElementPtr GetBody() const override { return inner_->GetBody(); }
  DvDOMElementPtr GetOperation() const override { return inner_->GetOperation(); }
  const std::string& GetResponseName() const override { return inner_->GetResponseName(); }
  const std::string& GetSOAPAction() const override { return inner_->GetSOAPAction(); }
  void SetHTTPHeader(std::string_view name, std::string_view value) override {
    inner_->SetHTTPHeader(name, value);
  }
  const TDvHTTPHeaders& GetHTTPHeaders() const override { return inner_->GetHTTPHeaders(); }
  void AddCookie(std::string_view name, std::string_view value) override {
    inner_->AddCookie(name, value);
  }
  std::string GetXML() const override { return inner_->GetXML(); }
  DvSOAPResponsePtr Send() override {
    std::lock_guard<std::recursive_mutex> hold(*lock_);
    return inner_->Send();
  }
  DvBinResponsePtr SendBin() override {
    std::lock_guard<std::recursive_mutex> hold(*lock_);
    return inner_->SendBin();
  }
  void Abort() override { inner_->Abort(); }

 private:
  DvSOAPRequestPtr inner_;
  std::shared_ptr<std::recursive_mutex> lock_;
};

}  // namespace

std::shared_ptr<IDvSOAPRequest> TDvEWSCustomSession::CreateRequest(
    const std::shared_ptr<TDvSOAPClient>& client, const std::string& operation,
    const std::string& responseName) {
  // The session's state read here (time zone, anchor mailbox, token) is written under the lock.
  std::lock_guard<std::recursive_mutex> hold(*FRequestLock);
  CheckActive();
  TDvSOAPClient& soap = client ? *client : *FSOAPClient;
  DvSOAPRequestPtr request = soap.CreateRequest(SoapActionOf(operation), operation, responseName);
  request->AddHeader("t:RequestServerVersion")
      ->SetAttribute("Version", EwsServerVersionName(FRequestVersion));
  if (!FCurrentTimeZoneContext.empty()) {
    request->AddHeader("t:TimeZoneContext")
        ->AddElement("t:TimeZoneDefinition")
        ->SetAttribute("Id", FCurrentTimeZoneContext);
  }
  if (FOAuth.GetGrantType() == TDvOAuthGrantType::gtClientCredentials) {
    if (!FConnectingSID.empty()) {
      AddImpersonation(*request, FConnectingSID);
      request->SetHTTPHeader("X-AnchorMailbox", FConnectingSID);
      request->SetHTTPHeader("X-PreferServerAffinity", "true");
    } else {
      AddImpersonation(*request, FAutodiscoverEMail);
    }
  } else if (!FDefaultStoreEmail.empty()) {
    request->SetHTTPHeader("X-AnchorMailbox", FDefaultStoreEmail);
  } else if (!FAutodiscoverEMail.empty()) {
    request->SetHTTPHeader("X-AnchorMailbox", FAutodiscoverEMail);
  }
  // Only the main client's requests share a connection (one libcurl handle); a SOAP client of
  // its own (CreateSOAPClient over its own HTTP client, as a long-running listener uses) sends in
  // parallel.
  if (client && client != FSOAPClient) return request;
  return std::make_shared<TDvEWSSerialRequest>(std::move(request), FRequestLock);
}

void TDvEWSCustomSession::CheckResponseError(const std::shared_ptr<IDvDOMElement>& message) {
  if (message->GetAttribute("ResponseClass") == "Success") return;
  auto required = [&](std::string_view name) {
    DvDOMElementPtr child = message->ElementByName(name);
    if (!child)
      throw EDvXMLException("The element \"" + message->GetLocalName() +
                            "\" has no child element \"" + std::string(name) + "\"");
    return child->GetAsString();
  };
  const std::string code = required("ResponseCode");
  const std::string text = required("MessageText");
  throw EEWSException(code, text, 0);
}

// ---------------------------------------------------------------------------------------------
// Logon and logoff

void TDvEWSCustomSession::SetActive(bool value) {
  // Logon and logoff replace the transport other threads' requests go through: they wait for
  // the request running now, and the next waits for them.
  std::lock_guard<std::recursive_mutex> hold(*FRequestLock);
  if (value == FActive) return;
  if (value)
    Logon();
  else
    Logoff();
}

void TDvEWSCustomSession::LogonProfile() {
  if (FProfileContainer == nullptr) return;
  TDvEWSProfileCustomContainer& container = *FProfileContainer;
  auto load = [this](const std::string& name) {
    if (!LoadProfile(name))
      throw EEWSException::CreateFmt("Failed to load profile \"%s\"!", {name}, 0u);
  };
  if (FProfileName.empty() && FProfileRequired && !FLogonDialog)
    throw EEWSException("One or more logon-parameters were invalid.");
  if (FProfileName.empty() && ((FProfileRequired && FLogonDialog) ||
                               (!FProfileRequired && container.GetDefaultProfileName().empty()))) {
    std::vector<std::string> names;
    if (container.GetProfileNames(names) == 0) {
      const std::string name = CreateProfile("");
      if (name.empty()) throw EEWSException("Failed to create a profile!");
      SaveProfile(name);
      container.SetDefaultProfileName(name);
      container.SetPromptForProfile(false);
    } else {
      const std::string name = SelectProfile();
      if (name.empty()) throw EEWSException("No profile selected!");
      load(name);
    }
  } else if (FProfileName.empty()) {
    // Not required, and the container has a default profile.
    const std::string name = container.GetDefaultProfileName();
    if (!LoadProfile(name)) {
      CreateProfile(name);
      SaveProfile(name);
      load(name);
    }
  } else {
    load(FProfileName);
  }
}

void TDvEWSCustomSession::DiscoverServiceUrl() {
  const auto at = FAutodiscoverEMail.find('@');
  const std::string domain =
      at == std::string::npos ? std::string() : FAutodiscoverEMail.substr(at + 1);
  FAutodiscoverSource.clear();
  if (!FOAuth.GetAppID().empty()) {
    try {
      FServiceUrl = AutodiscoverV2(FAutodiscoverEMail, "Ews");
    } catch (...) {
      FServiceUrl.clear();
    }
  }
  if (!FServiceUrl.empty()) {
    FAutodiscoverSource = "JSON";
    return;
  }
  try {
    if (!FCredentials.GetPassword().empty()) {
      const std::string host = LookupAutodiscoverHost(domain);
      if (!host.empty()) {
        FServiceUrl = "https://" + host + "/ews/exchange.asmx";
        FAutodiscoverSource = "DNS";
      }
    }
    if (FServiceUrl.empty()) {
      DvDOMDocumentPtr doc = Autodiscover("");
      DvDOMElementPtr url =
          doc ? doc->SelectSingleElement(
                    "/Autodiscover/Response/Account/Protocol[Type=\"EXPR\"]/EwsUrl")
              : nullptr;
      if (!url)
        throw EDvXMLException(
            "The autodiscover answer has no "
            "\"/Autodiscover/Response/Account/Protocol[Type=\"EXPR\"]/EwsUrl\" element");
      FServiceUrl = url->GetAsString();
      FAutodiscoverSource = FAutodisoverURL;
    }
  } catch (const EEWSException& e) {
    if (e.GetHTTPErrorCode() != DvHTTPError::NameNotResolved) throw;
    // The autodiscover host is unknown: try the usual names of the mail server.
    for (const char* prefix : {"https://mail.", "https://www."}) {
      const std::string url = prefix + domain + "/ews/exchange.asmx";
      try {
        const int status = FHTTPClient->CreateRequest("GET", url)->Send()->GetStatusCode();
        AutodiscoverStep("fallback", url, std::to_string(status));
        if (status == 200) {
          FServiceUrl = url;
          FAutodiscoverSource = url;
          return;
        }
      } catch (const std::exception& failure) {
        AutodiscoverStep("fallback", url, failure.what());  // not accepted; try the next one
      }
    }
    throw;
  }
}

void TDvEWSCustomSession::LogonCheck() {
  DvSOAPRequestPtr request = FSOAPClient->CreateRequest(SoapActionOf("m:ConvertId"), "m:ConvertId");
  request->AddHeader("t:RequestServerVersion")->SetAttribute("Version", "Exchange2007_SP1");
  if (FOAuth.GetGrantType() == TDvOAuthGrantType::gtClientCredentials) {
    const std::string address = !FConnectingSID.empty() ? FConnectingSID : FAutodiscoverEMail;
    AddImpersonation(*request, address);
    TDvCredentials& credentials = FSOAPClient->GetHTTPClient()->GetCredentials();
    if (credentials.GetUserName().empty()) credentials.SetUserName(address);
  }
  DvDOMElementPtr op = request->GetOperation();
  op->SetAttribute("DestinationFormat", "HexEntryId");
  DvDOMElementPtr id = op->AddElement("m:SourceIds")->AddElement("t:AlternateId");
  id->SetAttribute("Format", "HexEntryId");
  id->SetAttribute("Id", "00");
  id->SetAttribute("Mailbox", kLogonCheckMailbox);
  DvSOAPResponsePtr response = request->Send();

  TServerVersionInfo info;
  if (DvDOMElementPtr header = response->GetHeader()) {
    DvDOMElementPtr versionInfo;
    for (int i = 0; i < header->ElementCount(); ++i) {
      DvDOMElementPtr e = header->GetElement(i);
      if (e->GetLocalName() == "ServerVersionInfo" && e->GetNamespaceURI() == kNsTypes) {
        versionInfo = e;
        break;
      }
    }
    if (versionInfo) {
      info.MajorVersion = IntAttribute(*versionInfo, "MajorVersion");
      info.MinorVersion = IntAttribute(*versionInfo, "MinorVersion");
      info.MajorBuildNumber = IntAttribute(*versionInfo, "MajorBuildNumber");
      info.MinorBuildNumber = IntAttribute(*versionInfo, "MinorBuildNumber");
      info.Version = LeftChars(versionInfo->GetAttribute("Version"), 255);
    }
  }
  FServerVersionInfo = info;
  FServerVersion = EwsServerVersionFromInfo(info);
  FRequestVersion = FServerVersion;
}

void TDvEWSCustomSession::LogonTimeZone() {
  const std::string offset = DvUTCOffsetText(DvLocalUTCOffsetMinutes());
  DvSOAPRequestPtr request =
      CreateRequest(nullptr, "m:GetServerTimeZones", "m:GetServerTimeZonesResponse");
  request->GetOperation()->SetAttribute("ReturnFullTimeZoneData", "false");
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr zones = response->GetResponse()->SelectSingleElement(
      "ResponseMessages/GetServerTimeZonesResponseMessage/TimeZoneDefinitions");
  if (!zones) return;
  const int count = zones->ElementCount();
  for (int i = 0; i < count; ++i) {
    DvDOMElementPtr zone = zones->GetElement(i);
    if (DvSameText(zone->GetLocalName(), "TimeZoneDefinition") &&
        zone->GetAttribute("Id") == FCurrentTimeZoneContext)
      return;
  }
  for (int i = 0; i < count; ++i) {
    DvDOMElementPtr zone = zones->GetElement(i);
    if (zone->GetAttribute("Name").starts_with(offset)) {
      FCurrentTimeZoneContext = zone->GetAttribute("Id");
      return;
    }
  }
}

void TDvEWSCustomSession::Logon() {
  LogonProfile();
  if (FPasswordDialog && FParentWnd == nullptr)
    throw Exception(DvEWSFormat(
        "You've enabled the \"%:0s.PasswordDialog\" property, but you haven't specified a value "
        "for the \"%:0s.ParentWnd\" property!\r\nA value for this property is required to show "
        "this dialog.",
        {GetName()}));
  CheckHTTPClient();
  SetWaitCursor(true);
  try {
    // Whether the endpoint came from autodiscover: only then do its failures speak of it.
    const bool discovered = !FAutodiscoverEMail.empty() && FServiceUrl.empty();
    if (discovered) DiscoverServiceUrl();
    const std::string url = FServiceUrl;
    try {
      if (!FSOAPClient) FSOAPClient = std::make_shared<TDvSOAPClient>(nullptr);
      FSOAPClient->SetHTTPClient(FHTTPClient);
      InitSOAPClient(*FSOAPClient);
      LogonCheck();
    } catch (const EDvHTTPApiException& e) {
      FServiceUrl.clear();
      const std::uint32_t code = e.GetErrorCode();
      if (code == DvHTTPError::NameNotResolved && !discovered)
        throw EDvHTTPApiException(
            e.GetFunctionName(),
            "NAME_NOT_RESOLVED: The specified EWS Service \"" + url + "\" could not be found!",
            code);
      if (FAutodiscoverEMail.empty() && code == DvHTTPError::LoginFailure)
        throw EDvHTTPApiException(e.GetFunctionName(),
                                  "LOGIN_FAILURE: Either an invalid name and/or password were "
                                  "provided!",
                                  code);
      // A URL the caller gave failed in the transport (refused, TLS, time-out): its own error.
      if (!discovered && code != DvHTTPError::LoginFailure) throw;
      if (code == DvHTTPError::NameNotResolved)
        throw EEWSException("ErrorAutoDiscoverFailed",
                            "NAME_NOT_RESOLVED: The autodiscover returned the following url for "
                            "the EWS Service \"" +
                                url + "\", however, the service could not be found!",
                            code);
      if (code == DvHTTPError::LoginFailure)
        throw EEWSException("ErrorConnectionFailed",
                            "LOGIN_FAILURE: Either an invalid name and/or password were provided!",
                            code);
      throw EEWSException("ErrorAutoDiscoverFailed", e.what(), code);
    } catch (...) {
      FServiceUrl.clear();
      throw;
    }
  } catch (...) {
    SetWaitCursor(false);
    throw;
  }
  SetWaitCursor(false);
  FActive = true;

  if (FServerVersion >= TServerVersion::Exchange2010) {
    try {
      LogonTimeZone();
    } catch (...) {
      // The time zone keeps its value; a logon never fails here.
    }
  }
  const TDvOAuthGrantType grant = FOAuth.GetGrantType();
  if ((grant == TDvOAuthGrantType::gtAuthorize || grant == TDvOAuthGrantType::gtPassword ||
       grant == TDvOAuthGrantType::gtClientCredentials) &&
      !FOAuth.GetAppID().empty())
    SetAccessToken(FHTTPClient->GetOAuth().GetAccessToken());
  if (FAfterLogon) FAfterLogon(*this);
}

void TDvEWSCustomSession::Logoff() {
  if (FBeforeLogoff) FBeforeLogoff(*this);
  FServerVersion = TServerVersion::Exchange2007_SP1;
  FServerVersionInfo = TServerVersionInfo();
  ReleaseTransport();
  SetExchangeCookie("");
  FActive = false;
  if (FAfterLogoff) FAfterLogoff(*this);
}

// ---------------------------------------------------------------------------------------------
// Service session

TDvEWSServiceSession::TDvEWSServiceSession(TDvComponent* owner) : TDvEWSCustomSession(owner) {
  SetNTService(true);
  SetLogonDialog(false);
  SetPasswordDialog(false);
}

void TDvEWSServiceSession::SetNTService(bool value) {
  if (!value) throw Exception("");
  TDvEWSCustomSession::SetNTService(value);
}

}  // namespace dv
