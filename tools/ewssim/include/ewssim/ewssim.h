// ewssim: an Exchange Web Services server simulator.
//
// A Server holds a set of mailboxes in memory and answers EWS SOAP 1.1 requests over HTTP or
// HTTPS. Tests start one in-process on an ephemeral loopback port; the `ewssim` program wraps the
// same class for use from the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ewssim {

// Throttling as Exchange applies it to a user's EWS requests. Over budget, a request is refused
// with an ErrorServerBusy fault (HTTP 500) whose detail carries the BackOffMilliseconds hint,
// and is not carried out. Off when both limits are 0 (the default).
struct ThrottlingConfig {
  int maxConcurrent = 0;   // requests in progress at once; 0: no limit
  int maxRequests = 0;     // requests per window; 0: no limit
  int windowSeconds = 60;  // the window maxRequests counts in
  int backoffMs = 5000;    // the BackOffMilliseconds hint
  bool Enabled() const { return maxConcurrent > 0 || maxRequests > 0; }
};

// A fault injected into matching requests, for clients' tests. Actions:
//   "status"   answer `status` (500, 503, 429; Retry-After when retryAfterSeconds >= 0) without
//              carrying the request out;
//   "stall"    wait delayMs, then carry the request out and answer;
//   "close"    carry the request out, then close the connection without answering;
//   "truncate" carry it out, send the headers and `bytes` bytes of the body (half when 0), close;
//   "drip"     carry it out, then send the answer a byte every delayMs.
//   "drop"     (GetStreamingEvents) open the stream, then break the connection without its end
//              after `notifications` notifications;
//   "restart"  forget every subscription and break every stream, as a restart of the server
//              does, then carry the request out.
// A rule fires on every Nth matching request (everyNth > 0), else with `probability` (1 when
// both are 0), at most `count` times (-1: no limit). Draws come from the seed: the same requests
// meet the same faults.
struct FaultRule {
  std::string operation;  // "CreateItem"; empty: every EWS request
  std::string action;
  int status = 503;
  int retryAfterSeconds = -1;
  double probability = 0;
  int everyNth = 0;
  int count = -1;
  int delayMs = 0;
  std::size_t bytes = 0;
  int notifications = 1;
};

// Notifications: how long streams and subscriptions live, and the back-end server that holds
// each mailbox's subscriptions (requests carrying subscriptions of several back-ends fail, as
// with Exchange).
struct NotificationConfig {
  int minuteMs = 60000;  // the length of a minute of ConnectionTimeout and subscription lifetimes
  int keepAliveMs = 30000;  // an idle stream gets a ConnectionStatus OK message this often
  int streamingLifetimeMinutes = 30;  // a streaming subscription without a connection expires
  std::map<std::string, std::string> backEnds;  // mailbox address -> back-end name; else "BE1"
};

// A mailbox's working hours as the availability service reports them: a Windows time-zone
// identifier, the working days (DayOfWeekType names) and the day's span in minutes after
// midnight of that zone.
struct WorkingHoursConfig {
  std::string timeZone = "UTC";
  std::vector<std::string> days = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday"};
  int startMinutes = 8 * 60;
  int endMinutes = 17 * 60;
};

// What GetMailTips reports for a mailbox besides what its state gives.
struct MailTipsConfig {
  long long quotaBytes = 0;  // MailboxFull once the items' sizes reach it; 0: no quota
  std::string customMailTip;
  bool deliveryRestricted = false;
  bool moderated = false;
};

// One mailbox user: the login name is the SMTP address.
struct UserConfig {
  std::string address;
  std::string password;
  std::string displayName;
  // Mailboxes this user may impersonate (SMTP addresses); "*" grants every mailbox.
  std::vector<std::string> impersonate;
  // Security identifier used by the SID form of ExchangeImpersonation; generated when empty.
  std::string sid;
  // Mailboxes this user may name in a message's From (send as); "*" grants every mailbox. The
  // initializer lets brace lists that stop at sid leave it out without a warning.
  std::vector<std::string> sendAs = {};
  WorkingHoursConfig workingHours = {};
  // Who sees the subject and location of this mailbox's calendar events in free/busy answers
  // (SMTP addresses; "*" everyone); others see times and status only. The owner always does.
  std::vector<std::string> calendarDetails = {};
  MailTipsConfig mailTips = {};
  // "room" for a room mailbox ("kind" in the JSON file): a meeting request to it is booked
  // automatically, accepted when the room is free and declined when it is busy, unless
  // autoAccept ("auto_accept") is false.
  std::string kind = {};
  bool autoAccept = true;
  // The external audience the administrator lets automatic replies reach: "All", "Known" or
  // "None" (AllowExternalOof).
  std::string allowExternalOof = "All";
  // JPEG files that GetUserPhoto serves, by the side in pixels each was made for (48, 96, …);
  // empty: the user has no photo. A request gets the largest not above the size it asks for.
  std::map<int, std::string> photos = {};
};

// A room list: a distribution group of room mailboxes (GetRoomLists, GetRooms).
struct RoomListConfig {
  std::string address;
  std::string displayName;
  std::vector<std::string> rooms;  // the rooms' addresses
};

// A public distribution group of the directory. Members are addresses of users, of outside
// people, or of other groups (expanded in turn).
struct GroupConfig {
  std::string address;
  std::string displayName;
  std::vector<std::string> members;
};

// An application registered for OAuth 2.0, as with Azure AD in front of Exchange Online. It may
// get tokens for users (the password grant, and refresh) and, with its secret, an app-only token
// (the client credentials grant) whose requests must name a mailbox by ExchangeImpersonation.
struct OAuthAppConfig {
  std::string clientId;
  std::string clientSecret;  // empty: no client credentials grant
};

// What the ServerVersionInfo SOAP header reports. Negative build numbers take the defaults of the
// named version.
struct VersionConfig {
  std::string name = "Exchange2016";
  int majorVersion = -1;
  int minorVersion = -1;
  int majorBuild = -1;
  int minorBuild = -1;
  // Answer without any SOAP header (some proxies strip it).
  bool omitHeader = false;
};

// Deterministic sample content created in every mailbox at start.
struct SeedConfig {
  int messages = 0;
  int calendarItems = 0;
  int contacts = 0;
};

// One service record of the DNS server: "_autodiscover._tcp.<domain>" answers it.
struct SrvRecordConfig {
  std::string target;
  int port = 443;
  int priority = 0;
  int weight = 0;
};

// How the autodiscover endpoints answer (POST /autodiscover/autodiscover.xml, GET
// /autodiscover/autodiscover.json/v1.0/{address}) and what the DNS server knows. Keys naming an
// address or a domain are compared without regard to case; an address's own entry wins over its
// domain's.
struct AutodiscoverConfig {
  // Host names (from the Host header, without the port) that answer autodiscover; others get 404.
  // Empty: every host answers.
  std::vector<std::string> hosts;
  // The EwsUrl of the answers; empty: the server's own endpoint, on the host the request named.
  std::string ewsUrl;
  // Address or domain -> the address of a redirectAddr answer.
  std::map<std::string, std::string> redirectAddr;
  // Address or domain -> the URL of a redirectUrl answer.
  std::map<std::string, std::string> redirectUrl;
  // Host -> where a request to that host is sent by HTTP 302: another host name (scheme, port and
  // path stay), or a whole URL.
  std::map<std::string, std::string> httpRedirects;
  // Address -> the mailboxes the user is a delegate of (AlternativeMailbox entries).
  std::map<std::string, std::vector<std::string>> delegates;
  // Domain -> the record of "_autodiscover._tcp.<domain>"; other names are answered NXDOMAIN.
  std::map<std::string, SrvRecordConfig> srv;
  // The DNS server's UDP address ("127.0.0.1:0" picks a port); empty: no DNS server.
  std::string dnsListen;
};

struct Config {
  std::string listen = "127.0.0.1:0";  // host:port; port 0 picks a free one
  bool tls = false;
  std::string certificateFile;  // PEM; a self-signed certificate is made when empty
  std::string privateKeyFile;
  std::vector<UserConfig> users;
  // OAuth: tokens from POST .../oauth2/v2.0/token, accepted as "Authorization: Bearer".
  std::vector<OAuthAppConfig> oauthApps;
  int tokenLifetimeSeconds = 3600;
  VersionConfig version;
  SeedConfig seed;
  // Loaded at start when it exists (a file that cannot be read refuses the start), written
  // within a second of every change and at stop.
  std::string stateFile;
  bool stateReset = false;  // start with empty mailboxes whatever the state file holds
  std::size_t maxRequestBytes = 35u * 1024u * 1024u;
  bool validateRequests = true;  // check request bodies against the EWS schema
  // Folder with ews-validate.xsd, xml.xsd, types.xsd and messages.xsd; when empty, the folder
  // named by EWSSIM_SCHEMA_DIR, else the copy built into the program.
  std::string schemaDir;
  // Worker threads carrying out requests. Connections hold none: a few I/O threads serve them
  // all, however many are open, idle or slow.
  int threads = 8;
  // How long an idle keep-alive connection stays open between requests.
  int keepAliveSeconds = 5;
  // How long a client may take to send a request's head (from its first byte; a new
  // connection's first request counts from the connect) and its body; then the connection is
  // closed.
  int headerTimeoutSeconds = 30;
  int bodyTimeoutSeconds = 60;
  ThrottlingConfig throttling;  // for users without their own
  // Users' own throttling, by address ("throttling" in a user's entry of the JSON file).
  std::map<std::string, ThrottlingConfig> userThrottling;
  std::vector<FaultRule> faults;
  std::uint64_t faultSeed = 1;
  // The largest message the organisation accepts, in bytes (the MaxMessageSize mail tip).
  int maxMessageSize = 36700160;

  NotificationConfig notifications;
  std::vector<RoomListConfig> roomLists;  // "room_lists"
  std::vector<GroupConfig> groups;        // "groups"
  AutodiscoverConfig autodiscover;

  // Reads the JSON configuration file format (see README.md); throws std::runtime_error.
  static Config FromJson(const std::string& jsonText);
  static Config FromFile(const std::string& path);
};

// Parses "ADDRESS:PASSWORD[:Display Name]"; returns false when malformed.
bool ParseUserArg(const std::string& arg, UserConfig& user);

// Reads a users file: one "ADDRESS:PASSWORD[:Display Name]" a line; blank lines and lines
// starting with '#' are skipped. Throws std::runtime_error naming the file and line (never the
// line's text, which holds a password).
std::vector<UserConfig> ReadUsersFile(const std::string& path);

// Splits a listen address "HOST:PORT" ("[::1]:8443" for IPv6; port 0 picks a free one). Throws
// std::runtime_error saying what is wrong.
void ParseListen(const std::string& listen, std::string& host, int& port);

// The names of ExchangeVersionType, oldest first.
const std::vector<std::string>& KnownVersions();

class ServerImpl;
struct HttpRoute;  // tools/ewssim/src/http_types.h
struct CallRoute;  // tools/ewssim/src/transport.h

class Server {
 public:
  explicit Server(Config config);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and starts serving on background threads; throws std::runtime_error on failure.
  void Start();
  // Stops serving and waits for the worker threads; saves the state file when configured.
  void Stop();

  int Port() const;
  // The UDP port of the DNS server (0 when none runs).
  int DnsPort() const;
  // The EWS endpoint, e.g. "http://127.0.0.1:PORT/EWS/Exchange.asmx".
  std::string Url() const;
  const Config& GetConfig() const;
  // The PEM certificate served with TLS (the generated one when none was given).
  std::string CertificatePem() const;

  // Replaces the fault rules (and restarts their draws from `seed`); an empty list ends them.
  void SetFaults(std::vector<FaultRule> rules, std::uint64_t seed = 1);
  // Authenticated EWS requests received for an operation ("CreateItem"; empty: all), refused
  // and faulted ones included.
  long RequestCount(const std::string& operation = {}) const;

  // Forgets every notification subscription and breaks every stream, as a restart does.
  void ForgetSubscriptions();
  // Streams (GetStreamingEvents answers) open now.
  std::size_t OpenStreams() const;

  // Adds an endpoint beside the EWS one (tried in the order added, before it). A CallRoute's
  // handler answers later or streams.
  void AddRoute(HttpRoute route);
  void AddRoute(CallRoute route);

  // Serves one request given as the bytes a client sends, without a socket (the server must be
  // started): the parsing, the checks on its head and the handlers of a connection. Gives the
  // answer's status; 0 when the bytes hold no whole request. For fuzzing.
  int ServeBytes(std::string_view bytes);

  // Number of items in a mailbox's distinguished folder (for tests); -1 when unknown.
  long FolderItemCount(const std::string& address, const std::string& distinguishedId) const;

 private:
  std::unique_ptr<ServerImpl> impl_;
};

}  // namespace ewssim
