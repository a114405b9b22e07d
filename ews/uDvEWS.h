// The session: connection settings, logon and logoff, the server's version, the time zone that
// requests carry, the HTTP transport and the request frame every operation uses, and the names of
// the message stores.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DvHTTP.h"
#include "DvOAuth.h"
#include "DvSOAP.h"
#include "DvSysUtils.h"
#include "DvXML.h"
#include "uDvEWSBase.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

class TDvEWSCustomSession;
class IDvEWSMsgStore;
class IDvEWSRecipient;
class IDvEWSRecipients;
class IDvEWSResolutionSet;

// What the server reported about itself in the ServerVersionInfo header of the logon answer.
struct TServerVersionInfo {
  std::int32_t MajorVersion = 0;
  std::int32_t MinorVersion = 0;
  std::int32_t MajorBuildNumber = 0;
  std::int32_t MinorBuildNumber = 0;
  std::string Version;  // at most 255 characters

  bool operator==(const TServerVersionInfo&) const = default;
};

// The name of a version, as written into requests ("Exchange2010_SP1", "V2016_01_06").
std::string EwsServerVersionName(TServerVersion version);
// The version a server is taken to be from its ServerVersionInfo: the Version text when it names
// a version (anything above Exchange2016 is lowered to it), otherwise by the numbers.
TServerVersion EwsServerVersionFromInfo(const TServerVersionInfo& info);
// Raises dv::Exception "\"<feature>\" is not supported by <actual>. This feature requires
// Exchange <required>!" when actual is older than required.
void EwsCheckVersion(TServerVersion required, TServerVersion actual, const std::string& feature);
// "Exchange Server 2013 SP1 (15.0.847.32)" and the like.
std::string EwsServerDescription(TServerVersion version, const TServerVersionInfo& info);

// The store of named profiles a session can load its settings from. The registry and file
// containers derive from it.
class TDvEWSProfileCustomContainer : public TDvComponent {
 public:
  using TDvComponent::TDvComponent;

  bool GetStoreCredentials() const { return FStoreCredentials; }
  void SetStoreCredentials(bool v) { FStoreCredentials = v; }
  bool GetStoreProxyCredentials() const { return FStoreProxyCredentials; }
  void SetStoreProxyCredentials(bool v) { FStoreProxyCredentials = v; }

  virtual std::string GetDefaultProfileName() = 0;
  virtual bool GetPromptForProfile() = 0;
  virtual void SetPromptForProfile(bool value) = 0;
  virtual void SetDefaultProfileName(const std::string& name) = 0;
  // Replaces the list's content with the profile names; gives their count.
  virtual int GetProfileNames(std::vector<std::string>& names) = 0;
  virtual void SaveProfile(TDvEWSCustomSession& session, const std::string& name) = 0;
  virtual void DeleteProfile(const std::string& name) = 0;
  virtual bool LoadProfile(TDvEWSCustomSession& session, const std::string& name) = 0;

  bool ProfileExists(const std::string& name);

 protected:
  bool FStoreCredentials = true;
  bool FStoreProxyCredentials = true;
};

// The names of the stores a session can open: the default store first, then the additional
// mailboxes.
class TDvEWSMsgStores {
 public:
  explicit TDvEWSMsgStores(TDvEWSCustomSession& owner) : FOwner(owner) {}
  int Count() const;
  // 0: the default store's name; i >= 1: additional mailbox i - 1. EListError when out of range.
  std::string GetName(int index) const;

 private:
  TDvEWSCustomSession& FOwner;
};

class TDvEWSCustomSession : public TDvEWSBaseSession {
 public:
  using TNotifyEvent = std::function<void(TDvEWSCustomSession& sender)>;

  explicit TDvEWSCustomSession(TDvComponent* owner = nullptr);
  ~TDvEWSCustomSession() override;

  // ---- State ----
  bool GetActive() const { return FActive; }
  // true logs on, false logs off; setting the current value does nothing.
  void SetActive(bool value);
  // Raises dv::Exception "You must logon first!" when not active.
  void CheckActive() const;
  // Copies this session's settings to another (Active first, so the target logs on or off).
  void AssignTo(TDvEWSCustomSession& target) const;

  // ---- Transport settings ----
  TDvHTTPAccessType GetAccessType() const { return FAccessType; }
  void SetAccessType(TDvHTTPAccessType value);
  TDvHTTPSecurityFlags GetSecurityFlags() const { return FSecurityFlags; }
  void SetSecurityFlags(TDvHTTPSecurityFlags value);
  // Extra trusted certificate authorities for every HTTP client the session makes: a PEM file,
  // and a folder in OpenSSL's hashed layout. Empty: the system's only.
  const std::string& GetCACertFile() const { return FCACertFile; }
  void SetCACertFile(const std::string& value);
  const std::string& GetCACertPath() const { return FCACertPath; }
  void SetCACertPath(const std::string& value);
  // True while logged on over https with certificate and host-name checks all on (no security
  // flag set).
  bool GetServerVerified() const;
  const TDvCredentials& GetCredentials() const override { return FCredentials; }
  void SetCredentials(const TDvCredentials& value);
  const TDvOAuth& GetOAuth() const { return FOAuth; }
  void SetOAuth(const TDvOAuth& value);
  const std::string& GetUserAgent() const { return FUserAgent; }
  void SetUserAgent(const std::string& value);
  const TDvHTTPTimeOuts& GetTimeOuts() const { return FTimeOuts; }
  void SetTimeOuts(const TDvHTTPTimeOuts& value) { FTimeOuts.Assign(value); }
  const std::string& GetProxyServer() const { return FProxyServer; }
  void SetProxyServer(const std::string& value);
  const std::string& GetProxyServerBypass() const { return FProxyServerBypass; }
  void SetProxyServerBypass(const std::string& value);
  const TDvCredentials& GetProxyCredentials() const { return FProxyCredentials; }
  void SetProxyCredentials(const TDvCredentials& value);
  bool GetNTService() const { return FNTService; }
  // true selects the WinHTTP flavour (and turns both dialogs off), false the WinINet flavour;
  // existing transport objects of the other flavour are replaced.
  void SetNTService(bool value) override;
  TDvWindowHandle GetParentWnd() const { return FParentWnd; }
  void SetParentWnd(TDvWindowHandle value);

  // ---- Account settings ----
  TDvEWSProfileCustomContainer* GetProfileContainer() const { return FProfileContainer; }
  void SetProfileContainer(TDvEWSProfileCustomContainer* value);
  const std::string& GetProfileName() const { return FProfileName; }
  void SetProfileName(const std::string& value) { FProfileName = value; }
  bool GetProfileRequired() const { return FProfileRequired; }
  void SetProfileRequired(bool value) { FProfileRequired = value; }
  std::string GetServiceURL() const override { return FServiceUrl; }
  const std::string& GetServiceUrl() const { return FServiceUrl; }
  void SetServiceUrl(const std::string& value) { FServiceUrl = value; }
  // true when ServiceUrl is empty; false when it is set and AutodiscoverEMail is empty; the
  // stored flag otherwise.
  bool GetUseAutoDiscover() const;
  void SetUseAutoDiscover(bool value) { FUseAutoDiscover = value; }
  const std::string& GetAutodiscoverEMail() const { return FAutodiscoverEMail; }
  // A non-empty address empties ServiceUrl, so that the next logon discovers it.
  void SetAutodiscoverEMail(const std::string& value);
  TConnectingSIDType GetConnectingSIDType() const { return FConnectingSIDType; }
  void SetConnectingSIDType(TConnectingSIDType value) { FConnectingSIDType = value; }
  const std::string& GetConnectingSID() const { return FConnectingSID; }
  void SetConnectingSID(const std::string& value) { FConnectingSID = value; }
  bool GetLogonDialog() const { return FLogonDialog; }
  void SetLogonDialog(bool value) { FLogonDialog = value; }
  bool GetPasswordDialog() const { return FPasswordDialog; }
  void SetPasswordDialog(bool value) { FPasswordDialog = value; }
  // The delegated mailboxes (case-insensitively unique). Read once per session while active
  // with an autodiscover address, from the autodiscover answer.
  const std::vector<std::string>& GetAdditionalMailboxes();
  void SetAdditionalMailboxes(const std::vector<std::string>& value);
  const std::string& GetCurrentTimeZoneContext() const { return FCurrentTimeZoneContext; }
  void SetCurrentTimeZoneContext(const std::string& value) { FCurrentTimeZoneContext = value; }
  // The mailbox of the default store once it has been opened (the anchor of every request).
  const std::string& GetDefaultStoreEmail() const { return FDefaultStoreEmail; }

  // ---- What logon learnt (each raises "You must logon first before you can get the
  // ServerVersion!" when not active) ----
  TServerVersion GetServerVersion() const override;
  void SetServerVersion(TServerVersion value) { FServerVersion = value; }
  const TServerVersionInfo& GetServerVersionInfo() const;
  std::string GetServerDescription() const;
  // The version written into requests.
  TServerVersion GetRequestVersion() const { return FRequestVersion; }

  // ---- Stores ----
  TDvEWSMsgStores& GetMsgStores() { return FMsgStores; }
  // The default store's name: AutodiscoverEMail, else the user name, else the process's user.
  std::string GetDefaultMsgStore() const;
  // The default store (its mailbox address becomes the anchor of every request); another
  // address than the default store's opens that mailbox's store. (uDvEWSServices.cpp)
  std::shared_ptr<IDvEWSMsgStore> OpenDefaultMsgStore();
  std::shared_ptr<IDvEWSMsgStore> OpenMsgStore(const std::string& smtpAddress);

  // ---- Names (uDvEWSServices.cpp) ----
  // The directory and contact entries matching a text; never raises for no match.
  std::shared_ptr<IDvEWSResolutionSet> ResolveName(const std::string& unresolvedEntry,
                                                   TResolveNamesSearchScope scope);
  // Completes one recipient from the server's first match; false when it is neither resolved nor
  // already complete (and then, with raiseError, the server's error is raised).
  bool ResolveName(const std::shared_ptr<IDvEWSRecipient>& recipient, bool raiseError);
  // Resolves in list order, stopping at the first failure; true when all succeeded.
  bool ResolveNames(const std::shared_ptr<IDvEWSRecipients>& recipients, bool raiseError);
  // An empty recipient list of its own ("Resolution" root, entries named "Mailbox").
  std::shared_ptr<IDvEWSRecipients> CreateRecipients();

  // ---- Profiles ----
  // Forward to ProfileContainer (load gives false and the count 0 without one).
  int GetProfileNames(std::vector<std::string>& names);
  bool LoadProfile(const std::string& name);
  void SaveProfile(const std::string& name);

  // ---- Events ----
  void SetAfterLogon(TNotifyEvent handler) { FAfterLogon = std::move(handler); }
  void SetBeforeLogoff(TNotifyEvent handler) { FBeforeLogoff = std::move(handler); }
  void SetAfterLogoff(TNotifyEvent handler) { FAfterLogoff = std::move(handler); }
  void SetOnShowProfileDialog(TNotifyEvent handler) { FOnShowProfileDialog = std::move(handler); }

  // ---- Request frame ----
  std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool shareConnection) override;
  std::shared_ptr<TDvSOAPClient> CreateSOAPClient(
      const std::shared_ptr<IDvHTTPClient>& httpClient) override;
  // operation: the qualified body element ("m:ResolveNames"); responseName: the qualified
  // response element ("m:GetServerTimeZonesResponse") or empty.
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>& client,
                                                const std::string& operation,
                                                const std::string& responseName) override;
  void CheckResponseError(const std::shared_ptr<IDvDOMElement>& responseMessage) override;

  // The transport objects (none while inactive).
  std::shared_ptr<TDvHTTPSession> GetHTTPSession() const { return FHTTPSession; }
  std::shared_ptr<TDvHTTPClient> GetHTTPClient() const { return FHTTPClient; }
  std::shared_ptr<TDvSOAPClient> GetSOAPClient() const { return FSOAPClient; }
  // A trace handler given to every SOAP client the session makes (the main one included).
  void SetOnSOAPTrace(TDvSOAPTraceEvent handler);

 protected:
  void Notification(TDvComponent* component, TOperation operation) override;

  // ---- Logon steps a later layer fills in ----
  // Finds the service URL from AutodiscoverEMail (autodiscover V2 when OAuth is configured,
  // the DNS service record, autodiscover V1, then the mail./www. guesses on 12007).
  virtual void DiscoverServiceUrl();
  // The autodiscover V1 answer for an address (empty: the session's own); the base raises.
  virtual DvDOMDocumentPtr Autodiscover(const std::string& address);
  // The URL of a protocol's endpoint from autodiscover V2; the base raises.
  virtual std::string AutodiscoverV2(const std::string& address, const std::string& protocol);
  // The host named by "_autodiscover._tcp.<domain>", or empty; the base finds none.
  virtual std::string LookupAutodiscoverHost(const std::string& domain);
  // Adds the delegated mailboxes of the autodiscover answer for AutodiscoverEMail.
  virtual void RetrieveAdditionalMailboxes();
  // Adds an address unless the list has it already (case-insensitive).
  void AddAdditionalMailbox(const std::string& address);

  // Builds the transport (run at logon and when NTService changes).
  void CheckHTTPClient();
  void ReleaseTransport();
  void InitSOAPClient(TDvSOAPClient& client) const;

  // Logon steps, in order.
  void LogonProfile();
  void LogonCheck();
  void LogonTimeZone();
  void Logon();
  void Logoff();
  // The Windows identifier of the local zone when the table has it, else the first table zone
  // whose offset text is the local one now.
  std::string LocalTimeZoneContext() const;
  void CheckServerVersionActive() const;
  // SecurityFlags as the main client takes them (the WinINet flavour without IgnoreWrongUsage).
  TDvHTTPSecurityFlags ClientSecurityFlags() const;

  bool FActive = false;
  TDvHTTPAccessType FAccessType = TDvHTTPAccessType::atPreconfig;
  TDvHTTPSecurityFlags FSecurityFlags;
  std::string FCACertFile;
  std::string FCACertPath;
  TDvCredentials FCredentials;
  TDvOAuth FOAuth;
  std::string FUserAgent = "Dovrane EWS Client";
  TDvHTTPTimeOuts FTimeOuts{15000, 15000, 15000};
  std::string FProxyServer;
  std::string FProxyServerBypass;
  TDvCredentials FProxyCredentials;
  TDvEWSProfileCustomContainer* FProfileContainer = nullptr;
  std::string FProfileName;
  bool FProfileRequired = false;
  std::string FServiceUrl;
  bool FUseAutoDiscover = true;
  std::string FAutodiscoverEMail;
  std::string FDefaultStoreEmail;
  TConnectingSIDType FConnectingSIDType = TConnectingSIDType::csSmtpAddress;
  std::string FConnectingSID;
  bool FNTService = false;
  bool FLogonDialog = true;
  bool FPasswordDialog = true;
  std::vector<std::string> FAdditionalMailboxes;
  bool FAdditionalMailboxesRetrieved = false;
  std::string FAutodisoverURL;
  std::map<std::string, DvDOMDocumentPtr> FAutodiscoverResults;  // address -> answer
  TDvEWSMsgStores FMsgStores;
  TServerVersion FServerVersion = TServerVersion::Exchange2007_SP1;
  TServerVersionInfo FServerVersionInfo;
  TServerVersion FRequestVersion = TServerVersion::Exchange2007;
  TDvWindowHandle FParentWnd = nullptr;
  std::shared_ptr<TDvHTTPSession> FHTTPSession;
  std::shared_ptr<TDvHTTPClient> FHTTPClient;
  std::shared_ptr<TDvSOAPClient> FSOAPClient;
  TNotifyEvent FAfterLogon;
  TNotifyEvent FBeforeLogoff;
  TNotifyEvent FAfterLogoff;
  std::string FCurrentTimeZoneContext;
  TNotifyEvent FOnShowProfileDialog;
  TDvSOAPTraceEvent FOnSOAPTrace;

 private:
  // Stores the "exchangecookie" of every response of the main client.
  void OnHTTPResponse(TDvHTTPResponse& response);
  // The settings every client of the session gets; the main client also gets the time-outs and
  // the request and response handlers.
  void ApplyClientSettings(TDvHTTPClient& client, bool mainClient);

  // Handlers installed on clients reach the session through this; it is cleared when the
  // session is destroyed, so a client that outlives the session calls nothing.
  std::shared_ptr<TDvEWSCustomSession*> FAlive = std::make_shared<TDvEWSCustomSession*>(this);
};

// The session preset for unattended services: the WinHTTP flavour, no dialogs. Turning
// NTService off raises dv::Exception with an empty message.
class TDvEWSServiceSession : public TDvEWSCustomSession {
 public:
  explicit TDvEWSServiceSession(TDvComponent* owner = nullptr);
  void SetNTService(bool value) override;
};

}  // namespace dv
