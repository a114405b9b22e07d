/// @file
/// OAuth 2.0 settings and tokens for the HTTP clients' OAuth scheme: the Password,
/// ClientCredentials and Authorize (authorisation code, with PKCE) grants against a token endpoint,
/// refresh before expiry, and the process-wide hook that shows the authorisation form.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "DvHTTP.h"
#include "DvSysUtils.h"

namespace dv {

/// The grant types, in this order: none, the Authorize (authorisation code) grant, the Password
/// grant, the ClientCredentials grant.
enum class TDvOAuthGrantType { gtNone, gtAuthorize, gtPassword, gtClientCredentials };

/// An access token and what came with it. Expires is UTC (zero: no expiry given).
struct TDvOAuthAccessToken {
  /**@{*/
  /// A part of the token endpoint's answer: the access token, its type ("Bearer"), the refresh
  /// token, the id token, the granted scope and the expiry.
  std::string AccessToken;
  std::string TokenType;  // "Bearer"
  std::string RefreshToken;
  std::string IdToken;
  std::string Scope;
  TDateTime Expires;
  ///@}

  /// True when there is no token or it has expired (now, or within marginSeconds from now).
  bool GetExpired(double marginSeconds = 0) const;
  /// True when there is no access token.
  bool IsEmpty() const { return AccessToken.empty(); }
  /// Empties every part.
  void Clear() { *this = TDvOAuthAccessToken(); }
  /// All parts equal.
  bool operator==(const TDvOAuthAccessToken&) const = default;
};

/// Reads a token endpoint's answer, its HTTP status and body. A refusal (a status other than 200,
/// or no access token) raises EDvHTTPClientApiException (LoginFailure) with the answer's "error"
/// and "error_description" when it has them; a body that is not JSON raises it with
/// InvalidServerResponse. An answer without a refresh token keeps `previous`'s.
TDvOAuthAccessToken DvReadOAuthTokenAnswer(int statusCode, std::string_view body,
                                           const TDvOAuthAccessToken& previous = {});

/// The process-wide hook for the Authorize grant: shows the authorisation page (authorizeUrl) and
/// returns the authorisation code, or the whole URL the browser was redirected to (the code is
/// then read from its "code" parameter). Empty text means the user cancelled. Empty until a
/// user-interface module (or a test) assigns it.
using TDvOAuthAuthorizeFormHook =
    std::function<std::string(const std::string& authorizeUrl, const std::string& redirectUri)>;
/// The installed hook (empty by default).
extern TDvOAuthAuthorizeFormHook DvOnGetOAuthAuthorizeForm;

/// OAuth settings and the current token of one client.
class TDvOAuth {
 public:
  /// Tokens are refreshed when they expire within this many seconds.
  static constexpr double RefreshMarginSeconds = 60;

  /// @name Settings
  /**@{*/
  /// An OAuth setting: the application (client) id, its secret (client-credentials grant), the
  /// redirect URI, the authorisation and token endpoints, the scope and the grant type.
  const std::string& GetAppID() const { return appID_; }
  void SetAppID(const std::string& v) { appID_ = v; }
  const std::string& GetClientSecret() const { return clientSecret_; }
  void SetClientSecret(const std::string& v) { clientSecret_ = v; }
  const std::string& GetRedirectURI() const { return redirectURI_; }
  void SetRedirectURI(const std::string& v) { redirectURI_ = v; }
  const std::string& GetAuthEndpoint() const { return authEndpoint_; }
  void SetAuthEndpoint(const std::string& v) { authEndpoint_ = v; }
  const std::string& GetTokenEndpoint() const { return tokenEndpoint_; }
  void SetTokenEndpoint(const std::string& v) { tokenEndpoint_ = v; }
  const std::string& GetScope() const { return scope_; }
  void SetScope(const std::string& v) { scope_ = v; }
  TDvOAuthGrantType GetGrantType() const { return grantType_; }
  void SetGrantType(TDvOAuthGrantType v) { grantType_ = v; }
  ///@}

  /// The current token (possibly expired; GetValidToken refreshes it).
  const TDvOAuthAccessToken& GetAccessToken() const { return token_; }
  /// Replaces the current token.
  void SetAccessToken(const TDvOAuthAccessToken& v) { token_ = v; }
  /// Forgets the current token.
  void ClearAccessToken() { token_.Clear(); }

  /// Copies the settings and the token.
  void Assign(const TDvOAuth& other) { *this = other; }
  /// Copies the settings only.
  void AssignSettings(const TDvOAuth& other);

  /// A token usable now: the current one while it is not about to expire; otherwise refreshed
  /// (when there is a refresh token) or obtained anew with the grant. Token requests go through a
  /// client made with `owner`'s session and settings. Raises EDvHTTPClientApiException with
  /// LoginFailure when the token endpoint refuses, or when there is no grant to get one with.
  const TDvOAuthAccessToken& GetValidToken(TDvHTTPClient& owner);
  /// Gets a new token, whatever the state of the current one: with the refresh token when
  /// useRefreshToken is set and there is one (falling back to the grant if it is refused),
  /// otherwise with the grant.
  const TDvOAuthAccessToken& RequestToken(TDvHTTPClient& owner, bool useRefreshToken);

  /// The authorisation page's URL for the Authorize grant.
  std::string BuildAuthorizeURL(const std::string& state, const std::string& codeChallenge) const;

 private:
  void PostTokenRequest(TDvHTTPClient& owner, const std::string& form);

  std::string appID_;
  std::string clientSecret_;
  std::string redirectURI_;
  std::string authEndpoint_;
  std::string tokenEndpoint_;
  std::string scope_;
  TDvOAuthGrantType grantType_ = TDvOAuthGrantType::gtNone;
  TDvOAuthAccessToken token_;
};

}  // namespace dv
