// OAuth 2.0 token requests (RFC 6749) over the HTTP clients, with PKCE (RFC 7636) for the
// Authorize grant.
#include "DvOAuth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <nlohmann/json.hpp>

namespace dv {

TDvOAuthAuthorizeFormHook DvOnGetOAuthAuthorizeForm;

namespace {

std::string Base64Url(const unsigned char* data, std::size_t size) {
  static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string r;
  std::size_t i = 0;
  for (; i + 2 < size; i += 3) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    r += table[(v >> 18) & 63];
    r += table[(v >> 12) & 63];
    r += table[(v >> 6) & 63];
    r += table[v & 63];
  }
  if (size - i == 1) {
    unsigned v = data[i] << 16;
    r += table[(v >> 18) & 63];
    r += table[(v >> 12) & 63];
  } else if (size - i == 2) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8);
    r += table[(v >> 18) & 63];
    r += table[(v >> 12) & 63];
    r += table[(v >> 6) & 63];
  }
  return r;
}

std::string RandomText(std::size_t bytes) {
  std::vector<unsigned char> buf(bytes);
  if (RAND_bytes(buf.data(), static_cast<int>(buf.size())) != 1)
    throw Exception("Cannot generate random bytes");
  return Base64Url(buf.data(), buf.size());
}

[[noreturn]] void Refuse(const std::string& message) {
  throw EDvHTTPClientApiException("OAuthTokenRequest", message, DvHTTPError::LoginFailure);
}

// The value of a query parameter of a URL (or of a bare "a=1&b=2" text).
std::string QueryParameter(const std::string& text, const std::string& name) {
  std::size_t start = text.find('?');
  start = start == std::string::npos ? 0 : start + 1;
  std::size_t end = text.find('#', start);
  std::string query =
      text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  std::size_t pos = 0;
  while (pos <= query.size()) {
    std::size_t amp = query.find('&', pos);
    std::string part = query.substr(pos, amp == std::string::npos ? std::string::npos : amp - pos);
    std::size_t eq = part.find('=');
    if (eq != std::string::npos && part.substr(0, eq) == name)
      return DvURLDecode(part.substr(eq + 1), true);
    if (amp == std::string::npos) break;
    pos = amp + 1;
  }
  return {};
}

void AddField(std::string& form, const char* name, const std::string& value) {
  if (value.empty()) return;
  if (!form.empty()) form += '&';
  form += name;
  form += '=';
  form += DvURLEncode(value);
}

}  // namespace

bool TDvOAuthAccessToken::GetExpired(double marginSeconds) const {
  if (AccessToken.empty()) return true;
  if (Expires.IsZero()) return false;
  return TDateTime::NowUTC().AddSeconds(marginSeconds) >= Expires;
}

void TDvOAuth::AssignSettings(const TDvOAuth& other) {
  TDvOAuthAccessToken token = token_;
  *this = other;
  token_ = token;
}

std::string TDvOAuth::BuildAuthorizeURL(const std::string& state,
                                        const std::string& codeChallenge) const {
  std::string form;
  AddField(form, "response_type", "code");
  AddField(form, "client_id", appID_);
  AddField(form, "redirect_uri", redirectURI_);
  AddField(form, "scope", scope_);
  AddField(form, "state", state);
  if (!codeChallenge.empty()) {
    AddField(form, "code_challenge", codeChallenge);
    AddField(form, "code_challenge_method", "S256");
  }
  return authEndpoint_ + (authEndpoint_.find('?') == std::string::npos ? "?" : "&") + form;
}

const TDvOAuthAccessToken& TDvOAuth::GetValidToken(TDvHTTPClient& owner) {
  if (!token_.GetExpired(RefreshMarginSeconds)) return token_;
  return RequestToken(owner, true);
}

const TDvOAuthAccessToken& TDvOAuth::RequestToken(TDvHTTPClient& owner, bool useRefreshToken) {
  if (useRefreshToken && !token_.RefreshToken.empty()) {
    std::string form;
    AddField(form, "grant_type", "refresh_token");
    AddField(form, "refresh_token", token_.RefreshToken);
    AddField(form, "client_id", appID_);
    AddField(form, "client_secret", clientSecret_);
    AddField(form, "scope", scope_);
    try {
      PostTokenRequest(owner, form);
      return token_;
    } catch (const EDvHTTPClientApiException& e) {
      if (e.GetErrorCode() != DvHTTPError::LoginFailure || grantType_ == TDvOAuthGrantType::gtNone)
        throw;
      token_.RefreshToken.clear();  // refused: fall back to the grant
    }
  }
  std::string form;
  switch (grantType_) {
    case TDvOAuthGrantType::gtPassword:
      AddField(form, "grant_type", "password");
      AddField(form, "username", owner.GetCredentials().GetUserName());
      AddField(form, "password", owner.GetCredentials().GetPassword());
      break;
    case TDvOAuthGrantType::gtClientCredentials:
      AddField(form, "grant_type", "client_credentials");
      break;
    case TDvOAuthGrantType::gtAuthorize: {
      if (!DvOnGetOAuthAuthorizeForm) Refuse("No OAuth authorisation form is available");
      if (authEndpoint_.empty()) Refuse("You must specify an Authorization Endpoint!");
      std::string state = RandomText(16);
      std::string verifier = RandomText(32);
      unsigned char digest[SHA256_DIGEST_LENGTH];
      SHA256(reinterpret_cast<const unsigned char*>(verifier.data()), verifier.size(), digest);
      std::string challenge = Base64Url(digest, sizeof digest);
      std::string answer =
          DvOnGetOAuthAuthorizeForm(BuildAuthorizeURL(state, challenge), redirectURI_);
      std::string code = answer;
      if (answer.find("code=") != std::string::npos) {
        code = QueryParameter(answer, "code");
        std::string returnedState = QueryParameter(answer, "state");
        if (!returnedState.empty() && returnedState != state)
          Refuse("The OAuth authorisation answer does not match the request");
      }
      if (code.empty()) Refuse("The OAuth authorisation was cancelled");
      AddField(form, "grant_type", "authorization_code");
      AddField(form, "code", code);
      AddField(form, "redirect_uri", redirectURI_);
      AddField(form, "code_verifier", verifier);
      break;
    }
    case TDvOAuthGrantType::gtNone:
      Refuse("No OAuth grant type specified to obtain an access token");
  }
  AddField(form, "client_id", appID_);
  AddField(form, "client_secret", clientSecret_);
  AddField(form, "scope", scope_);
  PostTokenRequest(owner, form);
  return token_;
}

void TDvOAuth::PostTokenRequest(TDvHTTPClient& owner, const std::string& form) {
  if (tokenEndpoint_.empty()) Refuse("You must specify a Token Endpoint!");
  auto client = std::make_shared<TDvHTTPClient>();
  client->SetSession(owner.GetSession());
  client->SetHTTPVersion(owner.GetHTTPVersion());
  client->SetSecurityFlags(owner.GetSecurityFlags());
  client->SetCAFile(owner.GetCAFile());
  client->SetCAPath(owner.GetCAPath());
  client->SetTimeOuts(owner.GetTimeOuts());
  client->GetProxyCredentials() = owner.GetProxyCredentials();
  client->SetAuthScheme(TDvHTTPAuthScheme::asNone);
  client->SetAuthFailureAsError(false);
  client->GetRequestHeaders().SetAccept("application/json");
  auto response =
      client->CreateRequest("POST", tokenEndpoint_, form, "application/x-www-form-urlencoded")
          ->Send();
  token_ = DvReadOAuthTokenAnswer(response->GetStatusCode(), response->GetContent(), token_);
}

TDvOAuthAccessToken DvReadOAuthTokenAnswer(int statusCode, std::string_view body,
                                           const TDvOAuthAccessToken& previous) {
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(body);
  } catch (const nlohmann::json::exception&) {
    if (statusCode != 200)
      Refuse("The OAuth token request failed (HTTP " + std::to_string(statusCode) + ")");
    throw EDvHTTPClientApiException("OAuthTokenRequest",
                                    "The OAuth token endpoint did not return JSON",
                                    DvHTTPError::InvalidServerResponse);
  }
  auto text = [&json](const char* name) -> std::string {
    auto it = json.find(name);
    if (it == json.end() || it->is_null()) return {};
    return it->is_string() ? it->get<std::string>() : it->dump();
  };
  if (statusCode != 200 || !json.is_object() || text("access_token").empty()) {
    std::string message = "The OAuth token request was refused";
    if (json.is_object() && !text("error").empty()) {
      message += ": " + text("error");
      if (!text("error_description").empty()) message += " (" + text("error_description") + ")";
    } else {
      message += " (HTTP " + std::to_string(statusCode) + ")";
    }
    Refuse(message);
  }
  TDvOAuthAccessToken token;
  token.AccessToken = text("access_token");
  token.TokenType = text("token_type");
  token.RefreshToken = text("refresh_token");
  if (token.RefreshToken.empty()) token.RefreshToken = previous.RefreshToken;
  token.IdToken = text("id_token");
  token.Scope = text("scope");
  std::string expiresIn = text("expires_in");
  if (!expiresIn.empty()) {
    try {
      token.Expires = TDateTime::NowUTC().AddSeconds(std::stod(expiresIn));
    } catch (const std::exception&) {
    }
  }
  return token;
}

}  // namespace dv
