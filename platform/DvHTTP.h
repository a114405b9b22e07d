/// @file
/// HTTP clients over libcurl (OpenSSL): back-end sessions, clients in two flavours (WinHTTP-like
/// and WinINet-like), requests and responses, cookies, URL decoding and the HTTP failures.
///
/// A client owns its own connection cache: one client reuses its connection across requests
/// (keep-alive), and two clients never share a connection, so a connection authenticated with one
/// set of credentials (NTLM authenticates connections) never carries another client's requests.
/// A client is used by one thread at a time; only IDvHTTPRequest::Abort may be called from another
/// thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DvSysUtils.h"

namespace dv {

class TDvOAuth;
class IDvHTTPClient;
class IDvHTTPRequest;
class TDvHTTPResponse;
class TDvWinINetClient;
class TDvHTTPRequest;

/// A window handle (for the password dialog of the WinINet flavour); none is nullptr.
using TDvWindowHandle = void*;

// ---- Windows-style error codes carried by EDvHTTPApiException ----
/// The Windows-style error codes of EDvHTTPApiException::GetErrorCode (WinINet's numbers, so
/// that callers can test for them whatever the platform).
namespace DvHTTPError {
/// @name Error codes
/**@{*/
/// A transport error code (see the comment at its right where the name is not enough).
constexpr std::uint32_t InvalidHandle = 6;  // the request was aborted
constexpr std::uint32_t OutOfMemory = 8;
constexpr std::uint32_t Timeout = 12002;  // a time-out expired
constexpr std::uint32_t InternalError = 12004;
constexpr std::uint32_t InvalidURL = 12005;
constexpr std::uint32_t UnrecognizedScheme = 12006;
constexpr std::uint32_t NameNotResolved = 12007;  // host (or proxy) name not resolved
constexpr std::uint32_t IncorrectUserName = 12013;
constexpr std::uint32_t IncorrectPassword = 12014;
constexpr std::uint32_t LoginFailure = 12015;  // credentials or token refused (401/407)
constexpr std::uint32_t OperationCancelled = 12017;
constexpr std::uint32_t CannotConnect = 12029;  // connection refused or unreachable
constexpr std::uint32_t ConnectionAborted = 12030;
constexpr std::uint32_t ConnectionReset = 12031;
constexpr std::uint32_t SecureCertDateInvalid = 12037;
constexpr std::uint32_t SecureCertCNInvalid = 12038;
constexpr std::uint32_t SecureInvalidCA = 12045;
constexpr std::uint32_t SecureCertRevFailed = 12057;
constexpr std::uint32_t RedirectFailed = 12156;
constexpr std::uint32_t InvalidServerResponse = 12152;
constexpr std::uint32_t SecureCertRevoked = 12170;
constexpr std::uint32_t SecureFailure = 12175;
constexpr std::uint32_t SecureCertWrongUsage = 12179;
///@}
}  // namespace DvHTTPError

// ---- Failures ----

/// An HTTP-level failure: the server answered with a status the caller cannot use. StatusCode is
/// the HTTP status (0 when there is none).
class EDvHTTPException : public Exception {
 public:
  /// A failure with its message and the HTTP status (0 for none).
  explicit EDvHTTPException(const std::string& message, int statusCode = 0)
      : Exception(message), statusCode_(statusCode) {}
  /// The HTTP status, or 0.
  int GetStatusCode() const { return statusCode_; }

 private:
  int statusCode_;
};

/// A transport failure with the Windows-style error code of the operation that failed.
/// FunctionName is the failing operation's name ("WinHttpSendRequest", "HttpSendRequest", …), the
/// "first text" that callers may carry over into an exception of their own.
class EDvHTTPApiException : public EDvHTTPException {
 public:
  /// A failure of operation `functionName` with a DvHTTPError code.
  EDvHTTPApiException(const std::string& functionName, const std::string& message,
                      std::uint32_t errorCode)
      : EDvHTTPException(message), functionName_(functionName), errorCode_(errorCode) {}
  /// The failing operation's name.
  const std::string& GetFunctionName() const { return functionName_; }
  /// The DvHTTPError code (NameNotResolved, LoginFailure, CannotConnect, …).
  std::uint32_t GetErrorCode() const { return errorCode_; }

 private:
  std::string functionName_;
  std::uint32_t errorCode_;
};

/// A failure the client itself decides on: the server refused the credentials or token after the
/// authentication exchange (LoginFailure), the client was misused (no URL, no session), …
class EDvHTTPClientApiException : public EDvHTTPApiException {
 public:
  /// As EDvHTTPApiException.
  using EDvHTTPApiException::EDvHTTPApiException;
};

// ---- Settings ----

/// How a back-end session reaches the network. atPreconfig uses the proxy of the environment
/// (http_proxy, https_proxy, no_proxy), atDirect never uses a proxy, atNamedProxy uses ProxyServer
/// with ProxyServerBypass.
enum class TDvHTTPAccessType { atPreconfig, atDirect, atNamedProxy };

/// The HTTP version requests are made with (HTTP/1.1 by default).
enum class TDvHTTPVersion { hvHTTP10, hvHTTP11, hvHTTP2 };

/// Certificate checks a client may skip. Everything is verified by default.
enum class TDvHTTPSecurityFlag {
  sfIgnoreInvalidCertDate,
  sfIgnoreUnknownCA,
  sfIgnoreInvalidCommonName,
  sfIgnoreRevocation,
  sfIgnoreWrongUsage
};
/// A set of certificate checks to skip.
using TDvHTTPSecurityFlags = TSet<TDvHTTPSecurityFlag>;

/// Authentication schemes. asDefault negotiates Basic, NTLM and Negotiate with the server (the
/// strongest the server offers); asOAuth sends the OAuth settings' bearer token; asNone sends no
/// credentials.
enum class TDvHTTPAuthScheme { asDefault, asOAuth, asBasic, asNTLM, asNegotiate, asNone };

/// The "Connection" request header: keep the connection open, or close it after each request.
enum class TDvHTTPConnection { hcKeepAlive, hcClose };

/// Three time-outs in milliseconds (0: no limit). ConnectTimeout covers name resolution, the TCP
/// connection and the TLS handshake; SendTimeout is the longest pause while the request is sent;
/// ReceiveTimeout the longest pause while waiting for or reading the response.
struct TDvHTTPTimeOuts {
  /**@{*/
  /// A time-out in milliseconds (see the struct's comment).
  int ConnectTimeout = 60000;
  int SendTimeout = 30000;
  int ReceiveTimeout = 30000;
  ///@}

  TDvHTTPTimeOuts() = default;
  /// The three time-outs, in milliseconds.
  TDvHTTPTimeOuts(int connect, int send, int receive)
      : ConnectTimeout(connect), SendTimeout(send), ReceiveTimeout(receive) {}
  /// Copies another's values.
  void Assign(const TDvHTTPTimeOuts& other) { *this = other; }
  /// All three equal.
  bool operator==(const TDvHTTPTimeOuts&) const = default;
};

/// A user name and password (UTF-8).
class TDvCredentials {
 public:
  TDvCredentials() = default;
  /// A user name ("alice@example.com", "DOMAIN\\alice") and its password.
  TDvCredentials(std::string userName, std::string password)
      : userName_(std::move(userName)), password_(std::move(password)) {}

  /// @name Parts
  /**@{*/
  /// The user name or the password, read or set.
  const std::string& GetUserName() const { return userName_; }
  void SetUserName(const std::string& v) { userName_ = v; }
  const std::string& GetPassword() const { return password_; }
  void SetPassword(const std::string& v) { password_ = v; }
  ///@}
  /// Copies another's values.
  void Assign(const TDvCredentials& other) { *this = other; }
  /// Empties both.
  void Clear() { userName_.clear(), password_.clear(); }
  /// True when both are empty.
  bool IsEmpty() const { return userName_.empty() && password_.empty(); }
  /// Both equal.
  bool operator==(const TDvCredentials&) const = default;

 private:
  std::string userName_;
  std::string password_;
};

// ---- URLs ----

/// The parts of a URL. Port is 0 when the URL names none (GetDefaultPort gives the scheme's);
/// Path is empty when the URL has no path part; Query and Fragment exclude '?' and '#'.
struct TDvURLData {
  /**@{*/
  /// A part of the URL (see the struct's comment).
  std::string Scheme;  // lower case
  std::string UserName;
  std::string Password;
  std::string Host;  // lower case; IPv6 literals without brackets
  int Port = 0;
  std::string Path;
  std::string Query;
  std::string Fragment;
  ///@}

  TDvURLData() = default;
  /// The parts of a URL (as DvDecodeURL).
  explicit TDvURLData(std::string_view url);  // same as DvDecodeURL

  /// Port, else 443 for https and 80 otherwise.
  int GetDefaultPort() const;  // Port, else 443 for https, 80 otherwise
  /// True for https.
  bool IsSecure() const { return Scheme == "https"; }
  /// Path, or "/" when empty.
  std::string GetPathOrRoot() const { return Path.empty() ? std::string("/") : Path; }
};

/// Splits a URL into its parts. Raises EConvertError when the text has no "scheme://host".
TDvURLData DvDecodeURL(std::string_view url);
/// Percent-encodes everything but the unreserved characters (A-Z a-z 0-9 - . _ ~).
std::string DvURLEncode(std::string_view text);
/// Reverses DvURLEncode (and reads '+' as a blank when plusAsSpace).
std::string DvURLDecode(std::string_view text, bool plusAsSpace = false);

// ---- Headers ----

/// An ordered list of header fields; names compare without regard to ASCII case.
class TDvHTTPHeaders {
 public:
  /// A name and a value.
  using Item = std::pair<std::string, std::string>;

  /// The number of fields.
  int Count() const { return static_cast<int>(items_.size()); }
  /// Field `index` (EListError when out of range).
  const Item& GetItem(int index) const;  // EListError when out of range
  /// Every field in order.
  const std::vector<Item>& Items() const { return items_; }
  /// The first field of that name, or empty text.
  std::string GetValue(std::string_view name) const;
  /// True when a field of that name is present.
  bool Has(std::string_view name) const;
  /// Every field of that name, in order.
  std::vector<std::string> GetValues(std::string_view name) const;
  /// Replaces every field of that name with one (removes them when value is empty).
  void SetValue(std::string_view name, std::string_view value);
  /// Appends a field.
  void Add(std::string_view name, std::string_view value);
  /// Removes every field of that name.
  void Remove(std::string_view name);
  /// Removes every field.
  void Clear() { items_.clear(); }

 private:
  std::vector<Item> items_;
};

/// The headers a client adds to every request.
class TDvHTTPRequestHeaders : public TDvHTTPHeaders {
 public:
  /// Sets the Accept header.
  void SetAccept(std::string_view value) { SetValue("Accept", value); }
  /// The Accept header, or empty text.
  std::string GetAccept() const { return GetValue("Accept"); }
  /// Keep-alive (default) or close after each request.
  void SetConnection(TDvHTTPConnection value) { connection_ = value; }
  /// The Connection setting.
  TDvHTTPConnection GetConnection() const { return connection_; }

 private:
  TDvHTTPConnection connection_ = TDvHTTPConnection::hcKeepAlive;
};

// ---- Cookies ----

/// One cookie as a Set-Cookie header gave it.
struct TDvHTTPCookie {
  /**@{*/
  /// A cookie attribute (see the comments at their right).
  std::string Name;
  std::string Value;
  std::string Domain;  // lower case, without a leading dot
  std::string Path = "/";
  bool HostOnly = true;  // no Domain attribute: sent to that host only
  bool Secure = false;
  bool HttpOnly = false;
  TDateTime Expires;  // zero: a session cookie
  ///@}
};

/// Parses one Set-Cookie header value (or a bare "name=value") received from url.
/// Returns false when the text holds no cookie, or a control character other than a tab.
bool DvParseSetCookie(std::string_view text, const TDvURLData& url, TDvHTTPCookie& cookie);

/// A cookie store. Add takes a Set-Cookie text as received from a URL; a cookie replaces the one
/// with the same name, domain and path; an expired cookie removes it.
class TDvHTTPCookieList {
 public:
  /// Stores the cookie of a Set-Cookie text received from `url`.
  void Add(const TDvURLData& url, std::string_view setCookie);
  /// As above, with the URL as text.
  void Add(std::string_view url, std::string_view setCookie) { Add(DvDecodeURL(url), setCookie); }
  /// Stores a cookie.
  void Add(const TDvHTTPCookie& cookie);
  /// The number of cookies held.
  int Count() const { return static_cast<int>(items_.size()); }
  /// Cookie `index` (EListError when out of range).
  const TDvHTTPCookie& GetItem(int index) const;  // EListError when out of range
  /// The value of the first cookie of that name (any domain), or empty text.
  std::string GetValue(std::string_view name) const;
  /// The "Cookie" header value for a request to url ("a=1; b=2"), or empty text.
  std::string GetCookieHeader(const TDvURLData& url) const;
  /// Removes every cookie of that name.
  void Remove(std::string_view name);
  /// Removes every cookie.
  void Clear() { items_.clear(); }

 private:
  void Purge() const;
  mutable std::vector<TDvHTTPCookie> items_;
};

// ---- Back-end sessions ----

/// Connection settings shared by the clients bound to a session, and a cache of resolved names
/// and TLS sessions they share. Connections themselves are never shared (see the file comment).
class TDvHTTPSession {
 public:
  TDvHTTPSession();
  virtual ~TDvHTTPSession();
  TDvHTTPSession(const TDvHTTPSession&) = delete;
  TDvHTTPSession& operator=(const TDvHTTPSession&) = delete;

  /// @name Settings
  /**@{*/
  /// A setting shared by the session's clients (User-Agent, proxy, access type).
  const std::string& GetUserAgent() const { return userAgent_; }
  void SetUserAgent(const std::string& v) { userAgent_ = v; }
  const std::string& GetProxyServer() const { return proxyServer_; }
  void SetProxyServer(const std::string& v) { proxyServer_ = v; }
  /// Hosts reached without the proxy, separated by ';', ',' or blanks; "<local>" stands for
  /// host names without a dot and the loopback addresses.
  const std::string& GetProxyServerBypass() const { return proxyBypass_; }
  void SetProxyServerBypass(const std::string& v) { proxyBypass_ = v; }
  TDvHTTPAccessType GetAccessType() const { return accessType_; }
  void SetAccessType(TDvHTTPAccessType v) { accessType_ = v; }
  ///@}
  /// True once activated.
  bool GetActive() const { return active_; }
  /// Activating checks the settings (atNamedProxy needs a proxy server).
  void SetActive(bool v);

  /// Closes the client's connection, so that its next request opens a new one.
  void ResetConnection(IDvHTTPClient& client);

  /// The name of the operation reported in EDvHTTPApiException for a failed send.
  virtual std::string SendFunctionName() const = 0;

  /// libcurl share handle (names and TLS sessions), for the clients.
  void* GetShareHandle() const { return share_; }

 private:
  std::string userAgent_ = "Dovrane EWS Client";
  std::string proxyServer_;
  std::string proxyBypass_;
  TDvHTTPAccessType accessType_ = TDvHTTPAccessType::atPreconfig;
  bool active_ = false;
  void* share_ = nullptr;
  std::mutex locks_[8];  // one per libcurl lock_data kind
  static void Lock(void*, int, int, void*);
  static void Unlock(void*, int, void*);
};

/// The WinHTTP flavour (used by services).
class TDvWinHTTPSession : public TDvHTTPSession {
 public:
  std::string SendFunctionName() const override { return "WinHttpSendRequest"; }
};

/// The WinINet flavour (used by desktop applications).
class TDvWinINetSession : public TDvHTTPSession {
 public:
  std::string SendFunctionName() const override { return "HttpSendRequest"; }
};

// ---- Requests and responses ----

/// A complete HTTP response: status, headers, decoded body and the cookies it sets.
class TDvHTTPResponse {
 public:
  /// The HTTP status.
  int GetStatusCode() const { return statusCode_; }
  /**@{*/
  /// The status line's text and the HTTP version ("HTTP/1.1", "HTTP/2", …).
  const std::string& GetReasonPhrase() const { return reason_; }  // the status line's text
  const std::string& GetHTTPVersion() const { return version_; }  // "HTTP/1.1", "HTTP/2", …
  ///@}
  /// The header fields in order.
  const TDvHTTPHeaders& GetHeaders() const { return headers_; }
  /// The first header of that name, or empty text.
  std::string GetHeader(std::string_view name) const { return headers_.GetValue(name); }
  /// The Content-Type header.
  std::string GetContentType() const { return headers_.GetValue("Content-Type"); }
  /// The decoded body (what was not handed to a data-received handler or body sink).
  const std::string& GetContent() const { return content_; }
  /// Moves the body out (the response's content is empty afterwards).
  std::string TakeContent() { return std::move(content_); }
  /// The URL that answered (after redirects).
  const std::string& GetURL() const { return url_; }
  /// The cookies this response sets; GetCookie gives one's value, or empty text.
  std::vector<TDvHTTPCookie> GetCookies() const;
  /// The value of a cookie this response sets, or empty text.
  std::string GetCookie(std::string_view name) const;

 private:
  friend class TDvHTTPClient;
  int statusCode_ = 0;
  std::string reason_;
  std::string version_;
  TDvHTTPHeaders headers_;
  std::string content_;
  std::string url_;
};
/// A shared response.
using DvHTTPResponsePtr = std::shared_ptr<TDvHTTPResponse>;

/// One request. Send blocks until the response is complete and returns it whatever its status,
/// except that a refusal of the credentials after the authentication exchange raises
/// EDvHTTPClientApiException with LoginFailure (unless the client's AuthFailureAsError is off).
/// Abort may be called from any thread: a pending or later Send then raises EDvHTTPApiException
/// with InvalidHandle within 100 ms.
class IDvHTTPRequest {
 public:
  /// Receives body bytes as they arrive.
  using TBodySink = std::function<void(const char* data, std::size_t size)>;

  virtual ~IDvHTTPRequest() = default;
  /// "GET", "POST", …
  virtual const std::string& GetMethod() const = 0;
  /// The URL asked for.
  virtual const std::string& GetURL() const = 0;
  /// The body's content type (empty for none).
  virtual const std::string& GetContentType() const = 0;
  /// Per-request header fields, sent after the client's.
  virtual TDvHTTPHeaders& GetHeaders() = 0;
  /// Adds a header field to this request.
  virtual void AddHeader(std::string_view name, std::string_view value) = 0;
  /// A cookie sent with this request only (besides the client's matching cookies).
  virtual void AddCookie(std::string_view name, std::string_view value) = 0;
  /// Receives the final response's body bytes instead of the response's content.
  virtual void SetBodySink(TBodySink sink) = 0;
  /// Whether sending the request twice does no harm (by default GET, HEAD, PUT, DELETE and
  /// OPTIONS are; POST is not). A connection dropped after a request that is not idempotent was
  /// sent raises ConnectionAborted rather than sending it again, as the server may have carried
  /// it out.
  virtual bool GetIdempotent() const = 0;
  /// Marks the request as safe (or not) to send again.
  virtual void SetIdempotent(bool value) = 0;
  /// Sends the request and gives the complete response (see the class comment for what raises).
  virtual DvHTTPResponsePtr Send() = 0;
  /// Stops a pending or later Send (any thread).
  virtual void Abort() = 0;
  /// True once aborted.
  virtual bool GetAborted() const = 0;
  /// The last response, or none.
  virtual DvHTTPResponsePtr GetResponse() const = 0;  // the last response, or none
};
/// A shared request.
using DvHTTPRequestPtr = std::shared_ptr<IDvHTTPRequest>;

// ---- Clients ----

/// An HTTP client: its settings, its cookies and its one connection (kept alive between
/// requests). Used from one thread at a time, except Abort of a request.
class IDvHTTPClient {
 public:
  /// Called with each request just before it is sent.
  using TRequestEvent = std::function<void(IDvHTTPClient& sender, IDvHTTPRequest& request)>;
  /// Called with each response (any status) before Send returns.
  using TResponseEvent = std::function<void(IDvHTTPClient& sender, IDvHTTPRequest& request,
                                            TDvHTTPResponse& response)>;
  /// Called with the Windows-style code of a transport failure before it is raised; the handler
  /// may raise an exception of its own instead.
  using TErrorEvent =
      std::function<void(IDvHTTPClient& sender, IDvHTTPRequest& request, std::uint32_t errorCode)>;
  /// Called as response bytes arrive, before the request completes. `buffer` holds the bytes
  /// received and not yet consumed; the handler erases what it consumes, the rest stays for the
  /// next call and ends up as the response's content.
  using TDataReceivedEvent = std::function<void(IDvHTTPClient& sender, std::string& buffer)>;

  virtual ~IDvHTTPClient() = default;

  /// The back-end session the client takes its shared settings from.
  virtual std::shared_ptr<TDvHTTPSession> GetSession() const = 0;
  /// Binds the client to a back-end session.
  virtual void SetSession(std::shared_ptr<TDvHTTPSession> session) = 0;

  /// @name Settings
  /**@{*/
  /// A client setting, read or set; it applies from the next request.
  virtual TDvHTTPVersion GetHTTPVersion() const = 0;
  virtual void SetHTTPVersion(TDvHTTPVersion v) = 0;
  virtual TDvHTTPSecurityFlags GetSecurityFlags() const = 0;
  virtual void SetSecurityFlags(TDvHTTPSecurityFlags v) = 0;
  virtual TDvHTTPAuthScheme GetAuthScheme() const = 0;
  virtual void SetAuthScheme(TDvHTTPAuthScheme v) = 0;
  /// Changing credentials through these objects takes effect with the next request, on a new
  /// connection.
  virtual TDvCredentials& GetCredentials() = 0;
  /// The credentials the proxy asks for.
  virtual TDvCredentials& GetProxyCredentials() = 0;
  /// The OAuth settings (used with asOAuth).
  virtual TDvOAuth& GetOAuth() = 0;
  /// The headers added to every request.
  virtual TDvHTTPRequestHeaders& GetRequestHeaders() = 0;
  /// The time-outs.
  virtual TDvHTTPTimeOuts GetTimeOuts() const = 0;
  /// Sets the time-outs.
  virtual void SetTimeOuts(const TDvHTTPTimeOuts& v) = 0;
  /// Follow 301/302/303/307/308 answers (default); off, they are returned to the caller.
  virtual bool GetFollowRedirects() const = 0;
  /// Sets whether redirects are followed.
  virtual void SetFollowRedirects(bool v) = 0;
  /// Advertise compressed encodings (gzip, deflate, br, zstd as libcurl supports) and decode
  /// them (default on).
  virtual bool GetAcceptCompression() const = 0;
  /// Sets whether compression is asked for.
  virtual void SetAcceptCompression(bool v) = 0;
  /// Raise LoginFailure for a 401/407 after the exchange (default on); off, it is returned.
  virtual bool GetAuthFailureAsError() const = 0;
  /// Sets whether a refused logon raises.
  virtual void SetAuthFailureAsError(bool v) = 0;
  /// A PEM file of extra trusted certificate authorities (empty: the system's).
  virtual const std::string& GetCAFile() const = 0;
  /// Sets the extra trusted authorities.
  virtual void SetCAFile(const std::string& path) = 0;
  /// A folder of trusted certificate authorities in OpenSSL's hashed layout (c_rehash); empty:
  /// the system's.
  virtual const std::string& GetCAPath() const = 0;
  virtual void SetCAPath(const std::string& path) = 0;
  /// The client's cookie store (sent with matching requests, filled from responses).
  virtual TDvHTTPCookieList& GetCookies() = 0;
  /// The longest a request may take from start to end in milliseconds, however steadily the
  /// server sends (0: no limit; default 300,000). Raises Timeout when exceeded.
  virtual int GetRequestTimeout() const = 0;
  /// Sets the overall deadline of a request.
  virtual void SetRequestTimeout(int milliseconds) = 0;
  /// The largest response body kept in memory, in bytes (0: no limit; default 64 MiB). Bodies
  /// handed to a body sink or data-received handler are not limited. A larger body raises
  /// InvalidServerResponse.
  virtual std::int64_t GetMaxResponseSize() const = 0;
  /// Sets the largest response body kept in memory.
  virtual void SetMaxResponseSize(std::int64_t bytes) = 0;
  ///@}

  /// @name Events
  /**@{*/
  /// Installs a handler (see the event types above).
  virtual void SetOnRequest(TRequestEvent handler) = 0;
  virtual void SetOnResponse(TResponseEvent handler) = 0;
  virtual void SetOnError(TErrorEvent handler) = 0;
  virtual void SetOnDataReceived(TDataReceivedEvent handler) = 0;
  ///@}

  /// A request. Body and content type may be empty (a body-less request).
  virtual DvHTTPRequestPtr CreateRequest(std::string_view method, std::string_view url,
                                         std::string body = {},
                                         std::string_view contentType = {}) = 0;
  /// A request whose body is read from a stream (from its current position when sent).
  virtual DvHTTPRequestPtr CreateRequest(std::string_view method, std::string_view url,
                                         std::shared_ptr<std::istream> body,
                                         std::string_view contentType) = 0;
  /// Closes the connection; the next request opens a new one. Not while a Send of this client
  /// runs on another thread.
  virtual void ResetConnection() = 0;
};
/// A shared client.
using DvHTTPClientPtr = std::shared_ptr<IDvHTTPClient>;

/// The client over libcurl. Make one with std::make_shared of a flavour below (or of this class,
/// which behaves as the WinHTTP flavour).
class TDvHTTPClient : public IDvHTTPClient, public std::enable_shared_from_this<TDvHTTPClient> {
 public:
  /// A client with default settings and no session: until SetSession it shares no caches.
  TDvHTTPClient();
  ~TDvHTTPClient() override;
  TDvHTTPClient(const TDvHTTPClient&) = delete;
  TDvHTTPClient& operator=(const TDvHTTPClient&) = delete;

  std::shared_ptr<TDvHTTPSession> GetSession() const override { return session_; }
  void SetSession(std::shared_ptr<TDvHTTPSession> session) override;
  TDvHTTPVersion GetHTTPVersion() const override { return httpVersion_; }
  void SetHTTPVersion(TDvHTTPVersion v) override { httpVersion_ = v; }
  TDvHTTPSecurityFlags GetSecurityFlags() const override { return securityFlags_; }
  void SetSecurityFlags(TDvHTTPSecurityFlags v) override;
  TDvHTTPAuthScheme GetAuthScheme() const override { return authScheme_; }
  void SetAuthScheme(TDvHTTPAuthScheme v) override { authScheme_ = v; }
  TDvCredentials& GetCredentials() override { return credentials_; }
  TDvCredentials& GetProxyCredentials() override { return proxyCredentials_; }
  TDvOAuth& GetOAuth() override { return *oauth_; }
  TDvHTTPRequestHeaders& GetRequestHeaders() override { return requestHeaders_; }
  TDvHTTPTimeOuts GetTimeOuts() const override { return timeOuts_; }
  void SetTimeOuts(const TDvHTTPTimeOuts& v) override { timeOuts_ = v; }
  bool GetFollowRedirects() const override { return followRedirects_; }
  void SetFollowRedirects(bool v) override { followRedirects_ = v; }
  bool GetAcceptCompression() const override { return acceptCompression_; }
  void SetAcceptCompression(bool v) override { acceptCompression_ = v; }
  bool GetAuthFailureAsError() const override { return authFailureAsError_; }
  void SetAuthFailureAsError(bool v) override { authFailureAsError_ = v; }
  const std::string& GetCAFile() const override { return caFile_; }
  void SetCAFile(const std::string& path) override { caFile_ = path; }
  const std::string& GetCAPath() const override { return caPath_; }
  void SetCAPath(const std::string& path) override { caPath_ = path; }
  TDvHTTPCookieList& GetCookies() override { return cookies_; }
  int GetRequestTimeout() const override { return requestTimeout_; }
  void SetRequestTimeout(int milliseconds) override { requestTimeout_ = milliseconds; }
  std::int64_t GetMaxResponseSize() const override { return maxResponseSize_; }
  void SetMaxResponseSize(std::int64_t bytes) override { maxResponseSize_ = bytes; }

  void SetOnRequest(TRequestEvent handler) override { onRequest_ = std::move(handler); }
  void SetOnResponse(TResponseEvent handler) override { onResponse_ = std::move(handler); }
  void SetOnError(TErrorEvent handler) override { onError_ = std::move(handler); }
  void SetOnDataReceived(TDataReceivedEvent handler) override {
    onDataReceived_ = std::move(handler);
  }

  DvHTTPRequestPtr CreateRequest(std::string_view method, std::string_view url,
                                 std::string body = {}, std::string_view contentType = {}) override;
  DvHTTPRequestPtr CreateRequest(std::string_view method, std::string_view url,
                                 std::shared_ptr<std::istream> body,
                                 std::string_view contentType) override;
  void ResetConnection() override;

  /// Copies the settings (not the session, handlers, cookies or connection) of another client.
  void AssignSettings(const TDvHTTPClient& other);

  /// Internal state of a transfer and of the certificate checks (defined in the implementation).
  struct Transfer;
  struct TlsState;

 protected:
  /// Called for a login failure (LoginFailure) or a certificate failure before it is raised; a
  /// flavour may ask for the request to be sent again by returning true.
  virtual bool HandleSendError(std::uint32_t errorCode) { return false; }
  /// The operation name reported for a failed send.
  virtual std::string SendFunctionName() const;

 private:
  friend class TDvHTTPRequest;
  DvHTTPResponsePtr Execute(TDvHTTPRequest& request);
  bool Perform(TDvHTTPRequest& request, Transfer& t);
  void Configure(TDvHTTPRequest& request, Transfer& t);
  void EnsureHandles();
  void Wakeup();
  std::size_t ConnectionKey() const;

  std::shared_ptr<TDvHTTPSession> session_;
  TDvHTTPVersion httpVersion_ = TDvHTTPVersion::hvHTTP11;
  TDvHTTPSecurityFlags securityFlags_;
  TDvHTTPAuthScheme authScheme_ = TDvHTTPAuthScheme::asDefault;
  TDvCredentials credentials_;
  TDvCredentials proxyCredentials_;
  std::unique_ptr<TDvOAuth> oauth_;
  TDvHTTPRequestHeaders requestHeaders_;
  TDvHTTPTimeOuts timeOuts_;
  int requestTimeout_ = 300000;
  std::int64_t maxResponseSize_ = std::int64_t(64) << 20;
  bool followRedirects_ = true;
  bool acceptCompression_ = true;
  bool authFailureAsError_ = true;
  std::string caFile_;
  std::string caPath_;
  TDvHTTPCookieList cookies_;
  TRequestEvent onRequest_;
  TResponseEvent onResponse_;
  TErrorEvent onError_;
  TDataReceivedEvent onDataReceived_;

  std::mutex handleLock_;  // guards the handles against Abort's wake-up while they are made
  void* multi_ = nullptr;  // CURLM*: the client's connection cache
  void* easy_ = nullptr;   // CURL*
  std::string defaultCAInfo_;
  std::string defaultCAPath_;
  std::size_t connectionKey_ = 0;
  std::unique_ptr<TlsState> tls_;
};

/// The WinHTTP flavour.
class TDvWinHTTPClient : public TDvHTTPClient {};

/// The WinINet flavour: no IgnoreWrongUsage security flag (it is dropped from any set given),
/// a parent window for the password dialog and an error handler that may ask for a retry.
class TDvWinINetClient : public TDvHTTPClient {
 public:
  /// Called for login failures (12013, 12014, 12015) and certificate failures (12037, 12038,
  /// 12045, 12057, 12170, 12179). The handler may clear `window` (no dialog) and set `retry` to
  /// send the request again (after changing the credentials or security flags, say).
  using TWinINetErrorEvent = std::function<void(TDvWinINetClient& sender, std::uint32_t errorCode,
                                                TDvWindowHandle& window, bool& retry)>;

  /// Sets the flags, less IgnoreWrongUsage.
  void SetSecurityFlags(TDvHTTPSecurityFlags v) override;
  /// The window for the password dialog (none by default).
  TDvWindowHandle GetParentWnd() const { return parentWnd_; }
  /// Sets the window for the password dialog.
  void SetParentWnd(TDvWindowHandle v) { parentWnd_ = v; }
  /// Installs the error handler.
  void SetOnWinINetError(TWinINetErrorEvent handler) { onWinINetError_ = std::move(handler); }

 protected:
  bool HandleSendError(std::uint32_t errorCode) override;
  std::string SendFunctionName() const override { return "HttpSendRequest"; }

 private:
  TDvWindowHandle parentWnd_ = nullptr;
  TWinINetErrorEvent onWinINetError_;
};

/// Maps a libcurl result to the Windows-style code (see docs/ARCHITECTURE.md for the table).
std::uint32_t DvCurlCodeToWinError(int curlCode);

}  // namespace dv
