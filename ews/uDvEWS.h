/// @file
/// The session: connection settings, logon and logoff, the server's version, the time zone that
/// requests carry, the HTTP transport and the request frame every operation uses, and the names of
/// the message stores.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
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
class IDvEWSUserAvailability;
class IDvEWSMailTips;
class TDvEwsNonEmptyArrayOfAlternateIds;
struct TDvEWSMailboxData;
struct TDvEWSSuggestionOptions;
struct TDvEWSSuggestionDay;
struct TDvTimeZoneInformation;
struct TDvEwsAlternateId;
enum class TSearchScope;
enum class TDvEWSFreeBusyViewType;

/// What the server reported about itself in the ServerVersionInfo header of the logon answer.
struct TServerVersionInfo {
  /// Major version (15 for Exchange 2013 to 2019).
  std::int32_t MajorVersion = 0;
  /// Minor version.
  std::int32_t MinorVersion = 0;
  /// Major build number.
  std::int32_t MajorBuildNumber = 0;
  /// Minor build number.
  std::int32_t MinorBuildNumber = 0;
  /// The version name the server gives ("V2_23", "Exchange2013_SP1"); at most 255 characters.
  std::string Version;  // at most 255 characters

  /// Field-wise equality.
  bool operator==(const TServerVersionInfo&) const = default;
};

/// The name of a version, as written into requests ("Exchange2010_SP1", "V2016_01_06").
std::string EwsServerVersionName(TServerVersion version);
/// The version a server is taken to be from its ServerVersionInfo: the Version text when it names
/// a version (anything above Exchange2016 is lowered to it), otherwise by the numbers.
TServerVersion EwsServerVersionFromInfo(const TServerVersionInfo& info);
/// Raises dv::Exception when actual is older than required. The message reads
/// `"<feature>" is not supported by <actual>. This feature requires Exchange <required>!`
void EwsCheckVersion(TServerVersion required, TServerVersion actual, const std::string& feature);
/// "Exchange Server 2013 SP1 (15.0.847.32)" and the like.
std::string EwsServerDescription(TServerVersion version, const TServerVersionInfo& info);

/// The silent failure: an operation given up on purpose ("Cannot Autodiscover because of missing
/// credentials!"), which a caller may pass over without showing it.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

/// @name Texts for a profile editor
/// What a dialog layer shows when it checks authentication settings; the library raises none.
/**@{*/
inline constexpr const char* SEWSNoAuthEndpoint = "You must specify an Authorization Endpoint!";
inline constexpr const char* SEWSNoRedirectURI =
    "You must specify a redirect URI when using the Authorize grant!";
inline constexpr const char* SEWSNoTokenEndpoint = "You must specify a Token Endpoint!";
inline constexpr const char* SEWSNoClientID = "You must specify a ClientId/AppId when using OAuth!";
inline constexpr const char* SEWSNoScope = "You must specify a Scope when using OAuth!";
inline constexpr const char* SEWSNoGrantType = "You must specify a GrantType when using OAuth!";
inline constexpr const char* SEWSRedirectURIError = "The specified RedirectURI is invalid.\r\n%s";
inline constexpr const char* SEWSPasswordGrantNoCredentials =
    "You must specify logon credentials when using the Password grant!\r\nBoth a username and "
    "password are required.";
inline constexpr const char* SEWSClientCredentialsGrantSMTPRequired =
    "Either a UserId or a Autodiscover E-Mail is required when using the ClientCredentials grant!";
inline constexpr const char* SEWSClientCredentialsGrantNoSMTP =
    "You must specify the SMTP address of a user whose messagestore you wish to open when using "
    "ClientCredentials grant!\r\nEither specify an ImpersonationId or use the Autodiscover "
    "E-Mail.";
inline constexpr const char* SEWSCredentialsRequiredPG =
    "Credentials are required when using the Password grant!";
inline constexpr const char* SEWSCredentialsRequiredAD =
    "Credentials are required when using Autodiscover!";
inline constexpr const char* SEWSAuthorizeItem =
    "Authorize (Desktop Applications, no credentials required)";
inline constexpr const char* SEWSPasswordItem =
    "Password (Desktop/Services, uses specified credentials)";
inline constexpr const char* SEWSClientCredentialsItem =
    "ClientCredentials (NT-Service Applications, uses impersonation)";
inline constexpr const char* SWESSValidRedirectURI = "\"%s\" can be used a RedirectURI!";
inline constexpr const char* SEWSProfileOk =
    "The profile data is correct.\r\nPress OK to continue.";
inline constexpr const char* SEWSAdditionalStoreError =
    "Failed to open the additional store \"%s\"\r\nThe following error occurred while trying to "
    "open the mailbox: %s";
inline constexpr const char* SEWSAuthorizeHint =
    "An administrator can grant consent for all users in the directory at once, so that users "
    "are never asked to consent when they sign in.\r\n\r\nThis is done in the Azure Active "
    "Directory admin center: Enterprise applications, the application, Permissions, \"Grant admin "
    "consent\".\r\n\r\nWithout it every user sees a consent screen at the first sign-in.";
inline constexpr const char* SEWSDefAuthEndPoint =
    "https://login.microsoftonline.com/<tenant>/oauth2/v2.0/authorize";
inline constexpr const char* SEWSDefTokenEndPoint =
    "https://login.microsoftonline.com/<tenant>/oauth2/v2.0/token";
inline constexpr const char* SEWSDefRedirectUri = "http://localhost:<port>/<appname>";
inline constexpr const char* SEWSDefServiceUrl =
    "Example: https://mail.example.com/ews/exchange.asmx";
inline constexpr const char* SEWSDefAutoDiscover = "Example: john.doe@example.com";
/**@}*/

/// The store of named profiles a session can load its settings from. The registry and file
/// containers derive from it.
class TDvEWSProfileCustomContainer : public TDvComponent {
 public:
  /// Made with an owner component, as every component.
  using TDvComponent::TDvComponent;

  /// @name What a saved profile holds
  /**@{*/
  /// Whether SaveProfile writes the credentials (the password protected, never in clear) and the
  /// proxy credentials; both true by default.
  bool GetStoreCredentials() const { return FStoreCredentials; }
  void SetStoreCredentials(bool v) { FStoreCredentials = v; }
  bool GetStoreProxyCredentials() const { return FStoreProxyCredentials; }
  void SetStoreProxyCredentials(bool v) { FStoreProxyCredentials = v; }
  ///@}

  /// The profile a session loads when it names none.
  virtual std::string GetDefaultProfileName() = 0;
  /// Whether a logon asks the user to choose a profile (through the session's profile dialog).
  virtual bool GetPromptForProfile() = 0;
  /// Sets whether a logon asks the user to choose a profile.
  virtual void SetPromptForProfile(bool value) = 0;
  /// Sets the profile a session loads when it names none.
  virtual void SetDefaultProfileName(const std::string& name) = 0;
  /// Replaces the list's content with the profile names; gives their count.
  virtual int GetProfileNames(std::vector<std::string>& names) = 0;
  /// Writes the session's settings under a name, replacing a profile of that name.
  virtual void SaveProfile(TDvEWSCustomSession& session, const std::string& name) = 0;
  /// Removes a profile; an unknown name changes nothing.
  virtual void DeleteProfile(const std::string& name) = 0;
  /// Reads a profile's settings into the session; false when there is no such profile.
  virtual bool LoadProfile(TDvEWSCustomSession& session, const std::string& name) = 0;

  /// True when GetProfileNames lists the name (compared ignoring case).
  bool ProfileExists(const std::string& name);
  /// A secret protected in user scope and encoded as Base64; empty when the text is empty after
  /// trimming.
  std::string EncryptPassword(const std::string& text);
  /// Reverses EncryptPassword (raises EDvDataProtectionException for data it cannot open).
  std::string DecryptPassword(const std::string& text);
  /// EncryptPassword in a given scope; `wide` protects the text's UTF-16LE bytes.
  static std::string ProtectText(const std::string& text, bool machineScope, bool wide = false);
  /// Reverses ProtectText.
  static std::string UnprotectText(const std::string& text, bool wide = false);

 protected:
  /// @cond internal
  bool FStoreCredentials = true;
  bool FStoreProxyCredentials = true;
  /// @endcond
};

/// The names of the stores a session can open: the default store first, then the additional
/// mailboxes.
class TDvEWSMsgStores {
 public:
  /// The names of `owner`'s stores (GetMsgStores gives the session's own list).
  explicit TDvEWSMsgStores(TDvEWSCustomSession& owner) : FOwner(owner) {}
  /// 1 (the default store) plus the number of additional mailboxes.
  int Count() const;
  /// 0: the default store's name; i >= 1: additional mailbox i - 1. EListError when out of range.
  std::string GetName(int index) const;

 private:
  TDvEWSCustomSession& FOwner;
};

/// A connection to one Exchange server as one user: the settings, logon and logoff, and the
/// message stores (mailboxes) reached through it.
///
/// Set ServiceUrl (or AutodiscoverEMail) and Credentials, then SetActive(true) to log on: one
/// request checks the credentials and learns the server's version. A program without a window
/// must also turn the logon and password dialogs off (SetLogonDialog(false),
/// SetPasswordDialog(false)): both are on by default and logon raises dv::Exception when a
/// dialog is on and no ParentWnd is set. Then OpenDefaultMsgStore gives the user's mailbox.
///
/// Setters of transport settings apply at once to an active session's transport. Logon raises
/// dv::EDvHTTPApiException for a wrong password or an unknown host ("LOGIN_FAILURE: …",
/// "NAME_NOT_RESOLVED: …") and dv::EEWSException for other failures.
///
/// Threads: a session serialises its requests. Every exchange with the server (one request and
/// its response, and logon and logoff as a whole) holds the session's request lock, so several
/// threads may use one active session, each through objects of its own (a store, folder, table or
/// item opened by that thread), and each gets the answers to its own requests; the others wait
/// for their turn. The lock is recursive: a handler called while a request runs (a trace or
/// response event) may send another request on the same thread. What is not shared: one object
/// (a store, folder, table, item, recipient list, …) is used by one thread at a time, and the
/// session's settings are changed only while no other thread uses the session. Sessions of their
/// own in several threads share nothing and need no care at all. A request made on a SOAP client
/// of its own (CreateSOAPClient over an HTTP client of its own) has its own connection and is not
/// serialised with the others: a long-running exchange belongs there.
class TDvEWSCustomSession : public TDvEWSBaseSession {
  // The containers store the list of additional mailboxes as it is, without discovering it.
  friend class TDvEWSProfileRegistryContainer;
  friend class TDvEWSProfileConfigFileContainer;

 public:
  /// A handler of the session's events (AfterLogon, BeforeLogoff, …).
  using TNotifyEvent = std::function<void(TDvEWSCustomSession& sender)>;

  /// An inactive session; `owner` (optional) destroys it with itself.
  explicit TDvEWSCustomSession(TDvComponent* owner = nullptr);
  ~TDvEWSCustomSession() override;

  // ---- State ----
  /// True while logged on.
  bool GetActive() const { return FActive; }
  /// true logs on, false logs off; setting the current value does nothing.
  void SetActive(bool value);
  /// Raises dv::Exception "You must logon first!" when not active.
  void CheckActive() const;
  /// Copies this session's settings to another (Active first, so the target logs on or off).
  void AssignTo(TDvEWSCustomSession& target) const;

  // ---- Transport settings ----
  /// @name Transport settings
  /// Each setter also updates the transport of an active session.
  /**@{*/
  /// How the transport reaches the network (preconfigured, direct or through ProxyServer).
  TDvHTTPAccessType GetAccessType() const { return FAccessType; }
  /// Sets the access type.
  void SetAccessType(TDvHTTPAccessType value);
  /// TLS checks to skip (none by default: certificates are verified). Set flags only to reach a
  /// test server with a self-signed certificate.
  TDvHTTPSecurityFlags GetSecurityFlags() const { return FSecurityFlags; }
  /// Sets the TLS checks to skip.
  void SetSecurityFlags(TDvHTTPSecurityFlags value);
  /// Extra trusted certificate authorities for every HTTP client the session makes: a PEM file,
  /// and a folder in OpenSSL's hashed layout. Empty: the system's only.
  const std::string& GetCACertFile() const { return FCACertFile; }
  void SetCACertFile(const std::string& value);
  const std::string& GetCACertPath() const { return FCACertPath; }
  void SetCACertPath(const std::string& value);
  /// True while logged on over https with certificate and host-name checks all on (no security
  /// flag set).
  bool GetServerVerified() const;
  /// The user name and password of the logon (HTTP Basic or NTLM, as the server asks).
  const TDvCredentials& GetCredentials() const override { return FCredentials; }
  /// Sets the user name and password.
  void SetCredentials(const TDvCredentials& value);
  /// The sign-in form of the Authorize grant: one hook for the whole process
  /// (DvOnGetOAuthAuthorizeForm), so setting it on one session sets it for every session.
  static TDvOAuthAuthorizeFormHook GetOnGetOAuthAuthorizeForm() {
    return DvOnGetOAuthAuthorizeForm;
  }
  static void SetOnGetOAuthAuthorizeForm(TDvOAuthAuthorizeFormHook hook) {
    DvOnGetOAuthAuthorizeForm = std::move(hook);
  }
  /// OAuth 2.0 settings; with an application id set, requests carry a bearer token instead of the
  /// credentials.
  const TDvOAuth& GetOAuth() const { return FOAuth; }
  /// Sets the OAuth settings.
  void SetOAuth(const TDvOAuth& value);
  /// The User-Agent header of every request.
  const std::string& GetUserAgent() const { return FUserAgent; }
  /// Sets the User-Agent header.
  void SetUserAgent(const std::string& value);
  /// Connect, send and receive time-outs in milliseconds (15 s each by default).
  const TDvHTTPTimeOuts& GetTimeOuts() const { return FTimeOuts; }
  /// Sets the time-outs.
  void SetTimeOuts(const TDvHTTPTimeOuts& value) { FTimeOuts.Assign(value); }
  /// The proxy ("host:port"), used with the matching AccessType.
  const std::string& GetProxyServer() const { return FProxyServer; }
  /// Sets the proxy.
  void SetProxyServer(const std::string& value);
  /// Hosts reached without the proxy.
  const std::string& GetProxyServerBypass() const { return FProxyServerBypass; }
  /// Sets the hosts reached without the proxy.
  void SetProxyServerBypass(const std::string& value);
  /// Credentials the proxy asks for.
  const TDvCredentials& GetProxyCredentials() const { return FProxyCredentials; }
  /// Sets the proxy's credentials.
  void SetProxyCredentials(const TDvCredentials& value);
  /// True for the service flavour of the transport (no user interface).
  bool GetNTService() const { return FNTService; }
  /// true selects the WinHTTP flavour (and turns both dialogs off), false the WinINet flavour;
  /// existing transport objects of the other flavour are replaced.
  void SetNTService(bool value) override;
  /// The window the logon and password dialogs belong to; none by default.
  TDvWindowHandle GetParentWnd() const { return FParentWnd; }
  /// Sets the dialogs' parent window.
  void SetParentWnd(TDvWindowHandle value);
  ///@}

  // ---- Account settings ----
  /// @name Account settings
  /// Read at logon; changing them while active takes effect at the next logon.
  /**@{*/
  /// Where named profiles are kept (none by default); the session is told when it is destroyed.
  TDvEWSProfileCustomContainer* GetProfileContainer() const { return FProfileContainer; }
  /// Sets the profile container (none: no profiles).
  void SetProfileContainer(TDvEWSProfileCustomContainer* value);
  /// The profile to load at logon (empty: the container's default, when a container is set).
  const std::string& GetProfileName() const { return FProfileName; }
  /// Sets the profile to load at logon.
  void SetProfileName(const std::string& value) { FProfileName = value; }
  /// Whether logon needs a profile (false by default).
  bool GetProfileRequired() const { return FProfileRequired; }
  /// Sets whether logon needs a profile.
  void SetProfileRequired(bool value) { FProfileRequired = value; }
  /// The EWS endpoint, "https://host/EWS/Exchange.asmx".
  std::string GetServiceURL() const override { return FServiceUrl; }
  /// The EWS endpoint (as GetServiceURL).
  const std::string& GetServiceUrl() const { return FServiceUrl; }
  /// Sets the EWS endpoint ("https://mail.example.com/EWS/Exchange.asmx").
  void SetServiceUrl(const std::string& value) { FServiceUrl = value; }
  /// true when ServiceUrl is empty; false when it is set and AutodiscoverEMail is empty; the
  /// stored flag otherwise.
  bool GetUseAutoDiscover() const;
  /// Sets whether logon may discover the endpoint from AutodiscoverEMail.
  void SetUseAutoDiscover(bool value) { FUseAutoDiscover = value; }
  /// The address whose endpoint logon discovers when ServiceUrl is empty.
  const std::string& GetAutodiscoverEMail() const { return FAutodiscoverEMail; }
  /// A non-empty address empties ServiceUrl, so that the next logon discovers it.
  void SetAutodiscoverEMail(const std::string& value);
  /// How ConnectingSID names the impersonated account (SMTP address by default).
  TConnectingSIDType GetConnectingSIDType() const { return FConnectingSIDType; }
  /// Sets how ConnectingSID names the account.
  void SetConnectingSIDType(TConnectingSIDType value) { FConnectingSIDType = value; }
  /// The account every request impersonates (empty: none).
  const std::string& GetConnectingSID() const { return FConnectingSID; }
  /// Sets the account every request impersonates (empty: none).
  void SetConnectingSID(const std::string& value) { FConnectingSID = value; }
  /// Whether logon may show the profile dialog (true by default; false for programs without a
  /// window). Turning NTService on turns it off.
  bool GetLogonDialog() const { return FLogonDialog; }
  /// Turns the profile dialog on or off (off for programs without a window).
  void SetLogonDialog(bool value) { FLogonDialog = value; }
  /// Whether logon may ask for the password in a dialog (true by default, and then logon raises
  /// dv::Exception unless ParentWnd is set). Programs without a window set it false.
  bool GetPasswordDialog() const { return FPasswordDialog; }
  /// Turns the password dialog on or off (off for programs without a window).
  void SetPasswordDialog(bool value) { FPasswordDialog = value; }
  /// The delegated mailboxes (case-insensitively unique). Read once per session while active
  /// with an autodiscover address, from the autodiscover answer.
  const std::vector<std::string>& GetAdditionalMailboxes();
  /// Replaces the list of delegated mailboxes.
  void SetAdditionalMailboxes(const std::vector<std::string>& value);
  /// The Windows time-zone identifier requests carry ("W. Europe Standard Time"); logon sets the
  /// local zone on Exchange 2010 and later.
  const std::string& GetCurrentTimeZoneContext() const { return FCurrentTimeZoneContext; }
  /// Sets the time-zone identifier requests carry.
  void SetCurrentTimeZoneContext(const std::string& value) { FCurrentTimeZoneContext = value; }
  /// The mailbox of the default store once it has been opened (the anchor of every request).
  const std::string& GetDefaultStoreEmail() const { return FDefaultStoreEmail; }
  ///@}

  // ---- What logon learnt (each raises "You must logon first before you can get the
  // ServerVersion!" when not active) ----
  /// The server's version, as the logon learnt it.
  TServerVersion GetServerVersion() const override;
  /// Overrides the version taken for the server (features are gated on it).
  void SetServerVersion(TServerVersion value) { FServerVersion = value; }
  /// The ServerVersionInfo the server answered the logon with.
  const TServerVersionInfo& GetServerVersionInfo() const;
  /// "Exchange Server 2016 (15.1.2507.6)" and the like.
  std::string GetServerDescription() const;
  /// The version written into requests.
  TServerVersion GetRequestVersion() const { return FRequestVersion; }

  // ---- Stores ----
  /// The names of the stores this session can open.
  TDvEWSMsgStores& GetMsgStores() { return FMsgStores; }
  /// The default store's name: AutodiscoverEMail, else the user name, else the process's user.
  std::string GetDefaultMsgStore() const;
  /// The default store (its mailbox address becomes the anchor of every request); another
  /// address than the default store's opens that mailbox's store. (uDvEWSServices.cpp)
  std::shared_ptr<IDvEWSMsgStore> OpenDefaultMsgStore();
  /// The store of another mailbox: every request made through it (and its folders and items)
  /// impersonates that mailbox, which the logged-on account must be allowed to do.
  /// The default store's address gives the default store.
  std::shared_ptr<IDvEWSMsgStore> OpenMsgStore(const std::string& smtpAddress);

  // ---- Names (uDvEWSServices.cpp) ----
  // The directory and contact entries matching a text; never raises for no match.
  /// The directory and contact entries matching a text (a name, part of one, an address); an empty
  /// set when nothing matches.
  std::shared_ptr<IDvEWSResolutionSet> ResolveName(const std::string& unresolvedEntry,
                                                   TResolveNamesSearchScope scope);
  /// Completes one recipient from the server's first match; false when it is neither resolved nor
  /// already complete (and then, with raiseError, the server's error is raised).
  bool ResolveName(const std::shared_ptr<IDvEWSRecipient>& recipient, bool raiseError);
  /// Resolves in list order, stopping at the first failure; true when all succeeded.
  bool ResolveNames(const std::shared_ptr<IDvEWSRecipients>& recipients, bool raiseError);
  /// An empty recipient list of its own ("Resolution" root, entries named "Mailbox").
  std::shared_ptr<IDvEWSRecipients> CreateRecipients();
  /// ResolveName by text with the scope named as in the rest of the library.
  std::shared_ptr<IDvEWSResolutionSet> ResolveName(const std::string& unresolvedEntry,
                                                   TSearchScope scope);

  // ---- Availability, mail tips and identifiers (uDvEWSAvailability.cpp) ----
  /// The free/busy time and working hours of mailboxes over [startTime, endTime), one answer
  /// per mailbox in request order (a mailbox the server cannot give answers with HasError).
  /// The times travel in the local zone; mergedFreeBusyIntervalInMinutes is the span of one
  /// digit of the merged string. Raises when the server answers for fewer mailboxes.
  std::vector<std::shared_ptr<IDvEWSUserAvailability>> GetUserAvailibility(
      std::span<const TDvEWSMailboxData> mailboxes, TDateTime startTime, TDateTime endTime,
      int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView);
  /// As above, for a list.
  std::vector<std::shared_ptr<IDvEWSUserAvailability>> GetUserAvailibility(
      const std::vector<TDvEWSMailboxData>& mailboxes, TDateTime startTime, TDateTime endTime,
      int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView);
  /// As above, for one mailbox.
  std::shared_ptr<IDvEWSUserAvailability> GetUserAvailibility(const TDvEWSMailboxData& mailbox,
                                                              TDateTime startTime,
                                                              TDateTime endTime,
                                                              int mergedFreeBusyIntervalInMinutes,
                                                              TDvEWSFreeBusyViewType requestedView);
  /// As the array form with the zone the request is made in given (the answer's zone-less
  /// times are read in it).
  std::vector<std::shared_ptr<IDvEWSUserAvailability>> GetUserAvailibility(
      std::span<const TDvEWSMailboxData> mailboxes, TDateTime startTime, TDateTime endTime,
      int mergedFreeBusyIntervalInMinutes, TDvEWSFreeBusyViewType requestedView,
      const TDvTimeZoneInformation& timeZone);
  /// Meeting times of `durationInMinutes` for the attendees within [startTime, endTime), day
  /// by day, each day's suggestions in time order.
  std::vector<TDvEWSSuggestionDay> GetMeetingSuggestions(
      std::span<const TDvEWSMailboxData> attendees, TDateTime startTime, TDateTime endTime,
      int durationInMinutes, const TDvEWSSuggestionOptions& options,
      const TDvTimeZoneInformation& timeZone);
  /// As above with the server's default options, in the local zone.
  std::vector<TDvEWSSuggestionDay> GetMeetingSuggestions(
      std::span<const TDvEWSMailboxData> attendees, TDateTime startTime, TDateTime endTime,
      int durationInMinutes);
  /// The mail tips of recipients (as the default store's mailbox sending), in list order.
  /// Raises "Failed to get the mailtips for <address>!" with the response code for the first
  /// recipient the server fails.
  std::vector<std::shared_ptr<IDvEWSMailTips>> GetMailTips(
      const std::vector<std::string>& mailboxes);
  /// The mail tips of one recipient.
  std::shared_ptr<IDvEWSMailTips> GetMailTips(const std::string& mailbox);
  /// Converts identifiers to another format; any failing identifier raises.
  std::shared_ptr<TDvEwsNonEmptyArrayOfAlternateIds> ConvertId(
      const std::vector<TDvEwsAlternateId>& sourceIds, TIdFormat destinationFormat);
  /// Converts one identifier.
  std::shared_ptr<TDvEwsNonEmptyArrayOfAlternateIds> ConvertId(TIdFormat format,
                                                               const std::string& id,
                                                               const std::string& mailbox,
                                                               TIdFormat destinationFormat);

  // ---- Profiles ----
  // Forward to ProfileContainer (load gives false and the count 0 without one).
  /// Fills `names` with the container's profile names and gives their count (0 without one).
  int GetProfileNames(std::vector<std::string>& names);
  /// Loads a profile's settings from the container; false without a container or such profile.
  bool LoadProfile(const std::string& name);
  /// Saves the settings as a profile of the container.
  void SaveProfile(const std::string& name);

  // ---- Autodiscover (uDvEWSAutodiscover.cpp) ----
  /// The autodiscover (POX) answer for an address (empty: AutodiscoverEMail): from the cache, or
  /// found through the candidate URLs and kept for the life of the session object. Follows
  /// redirectAddr and redirectUrl answers. Raises dv::EAbort when there are no credentials
  /// (without OAuth) and EEWSException "ErrorAutoDiscoverFailed" when discovery fails.
  virtual DvDOMDocumentPtr Autodiscover(const std::string& address);
  /// The URL of a protocol's endpoint from the cloud service's JSON discovery ("Ews": the EWS
  /// endpoint; "Autodiscoverv1": the POX service); empty text when the service gives none.
  virtual std::string AutodiscoverV2(const std::string& address, const std::string& protocol);
  /// Nameservers of the service-record step ("127.0.0.1:5353", comma-separated). Empty: the
  /// environment variable DVEWS_DNS_SERVERS, else the system's.
  const std::string& GetDNSServers() const { return FDNSServers; }
  void SetDNSServers(const std::string& value) { FDNSServers = value; }
  /// How the last logon found ServiceUrl: "JSON", "DNS", the autodiscover URL that answered, or
  /// empty when ServiceUrl was given.
  const std::string& GetAutodiscoverSource() const { return FAutodiscoverSource; }
  /// A handler told of each autodiscover step: the step ("JSON", "DNS", "probe", "redirect",
  /// "post", "fallback"), the URL or name it used, and its outcome ("200", "302 -> URL",
  /// "NXDOMAIN", an error text, …).
  using TAutodiscoverStepEvent = std::function<void(const std::string& step, const std::string& url,
                                                    const std::string& outcome)>;
  void SetOnAutodiscoverStep(TAutodiscoverStepEvent handler) {
    FOnAutodiscoverStep = std::move(handler);
  }

  // ---- Events ----
  /// @name Events
  /**@{*/
  /// Handlers called after a logon, before and after a logoff, and when a profile must be chosen.
  void SetAfterLogon(TNotifyEvent handler) { FAfterLogon = std::move(handler); }
  void SetBeforeLogoff(TNotifyEvent handler) { FBeforeLogoff = std::move(handler); }
  void SetAfterLogoff(TNotifyEvent handler) { FAfterLogoff = std::move(handler); }
  void SetOnShowProfileDialog(TNotifyEvent handler) { FOnShowProfileDialog = std::move(handler); }
  ///@}

  // ---- Request frame ----
  std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool shareConnection) override;
  std::shared_ptr<TDvSOAPClient> CreateSOAPClient(
      const std::shared_ptr<IDvHTTPClient>& httpClient) override;
  /// operation: the qualified body element ("m:ResolveNames"); responseName: the qualified
  /// response element ("m:GetServerTimeZonesResponse") or empty.
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>& client,
                                                const std::string& operation,
                                                const std::string& responseName) override;
  void CheckResponseError(const std::shared_ptr<IDvDOMElement>& responseMessage) override;

  /// The transport objects (none while inactive).
  std::shared_ptr<TDvHTTPSession> GetHTTPSession() const { return FHTTPSession; }
  /// The main HTTP client (none while inactive).
  std::shared_ptr<TDvHTTPClient> GetHTTPClient() const { return FHTTPClient; }
  /// The main SOAP client (none while inactive).
  std::shared_ptr<TDvSOAPClient> GetSOAPClient() const { return FSOAPClient; }

  /// A trace handler given to every SOAP client the session makes (the main one included).
  void SetOnSOAPTrace(TDvSOAPTraceEvent handler);

  /// How requests the server turns away as busy are sent again (see TDvRetryPolicy); the
  /// back-off is shared with every session of the same service URL and user.
  const TDvRetryPolicy& GetRetryPolicy() const { return FRetryPolicy; }
  /// Sets the retry policy (for the session's next requests).
  void SetRetryPolicy(const TDvRetryPolicy& value);
  /// A handler told of each wait before a busy request is sent again (seconds, reason).
  void SetOnThrottled(TDvThrottledEvent handler);
  /// The longest a request may take in all, in milliseconds (0: no limit; default 300,000).
  int GetRequestTimeout() const { return FRequestTimeout; }
  /// Sets the overall deadline of a request (for the session's next requests).
  void SetRequestTimeout(int milliseconds);
  /// The largest response kept in memory, in bytes (0: no limit; default 64 MiB). Streamed
  /// MIME content and attachments are not limited by it.
  std::int64_t GetMaxResponseSize() const { return FMaxResponseSize; }
  /// Sets the largest response kept in memory.
  void SetMaxResponseSize(std::int64_t bytes);

 protected:
  void Notification(TDvComponent* component, TOperation operation) override;

  // ---- Logon steps a later layer fills in ----
  // Finds the service URL from AutodiscoverEMail (autodiscover V2 when OAuth is configured,
  // the DNS service record, autodiscover V1, then the mail./www. guesses on 12007).
  /// Finds the service URL from AutodiscoverEMail (autodiscover V2 when OAuth is configured, the
  /// DNS service record, autodiscover V1, then the mail./www. guesses).
  virtual void DiscoverServiceUrl();
  /// The host named by the first "_autodiscover._tcp.<domain>" service record, or empty when
  /// there is none; a record whose port is not 443 raises dv::Exception.
  virtual std::string LookupAutodiscoverHost(const std::string& domain);
  /// The discovery client's probe of one candidate URL (may replace it by a redirect target).
  bool ProbeAutodiscoverUrl(TDvHTTPClient& client, std::string& url, int depth);
  /// Posts the request of an address to a URL and gives the checked answer.
  DvDOMDocumentPtr PostAutodiscover(TDvHTTPClient& client, const std::string& url,
                                    const std::string& address, const std::string& domain);
  /// Tells the OnAutodiscoverStep handler, when one is set.
  void AutodiscoverStep(const std::string& step, const std::string& url,
                        const std::string& outcome);
  /// Adds the delegated mailboxes of the autodiscover answer for AutodiscoverEMail.
  virtual void RetrieveAdditionalMailboxes();
  /// Adds an address unless the list has it already (case-insensitive).
  void AddAdditionalMailbox(const std::string& address);

  /// Builds the transport (run at logon and when NTService changes).
  void CheckHTTPClient();
  /// Drops the transport objects (at logoff).
  void ReleaseTransport();
  /// Gives a SOAP client the session's URL and trace handler.
  void InitSOAPClient(TDvSOAPClient& client) const;

  /// The first logon step: loads the profile through the container (or has one chosen or made).
  void LogonProfile();
  /// Sends the logon's check request and reads the server's version from its answer.
  void LogonCheck();
  /// Sets CurrentTimeZoneContext to the local zone (Exchange 2010 and later).
  void LogonTimeZone();
  /// The whole logon: profile, dialog check, transport, service URL, check, time zone, event.
  void Logon();
  /// Forgets the server's version, drops the transport and calls the logoff events.
  void Logoff();
  /// The Windows identifier of the local zone when the table has it, else the first table zone
  /// whose offset text is the local one now.
  std::string LocalTimeZoneContext() const;
  /// Raises dv::Exception unless active.
  void CheckServerVersionActive() const;
  /// SecurityFlags as the main client takes them (the WinINet flavour without IgnoreWrongUsage).
  TDvHTTPSecurityFlags ClientSecurityFlags() const;

  /// @cond internal
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
  std::string FDNSServers;
  std::string FAutodiscoverSource;
  TAutodiscoverStepEvent FOnAutodiscoverStep;
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
  TDvRetryPolicy FRetryPolicy;
  TDvThrottledEvent FOnThrottled;
  int FRequestTimeout = 300000;
  std::int64_t FMaxResponseSize = std::int64_t(64) << 20;
  /// @endcond

 private:
  /// Stores the "exchangecookie" of every response of the main client.
  void OnHTTPResponse(TDvHTTPResponse& response);
  /// The settings every client of the session gets; the main client also gets the time-outs and
  /// the request and response handlers.
  void ApplyClientSettings(TDvHTTPClient& client, bool mainClient);

  /// Handlers installed on clients reach the session through this; it is cleared when the
  /// session is destroyed, so a client that outlives the session calls nothing.
  std::shared_ptr<TDvEWSCustomSession*> FAlive = std::make_shared<TDvEWSCustomSession*>(this);
};

/// The session preset for unattended services: the WinHTTP flavour, no dialogs. Turning
/// NTService off raises dv::Exception with an empty message.
class TDvEWSServiceSession : public TDvEWSCustomSession {
 public:
  /// A session with NTService on and both dialogs off.
  explicit TDvEWSServiceSession(TDvComponent* owner = nullptr);
  void SetNTService(bool value) override;
};

}  // namespace dv
