/// @file
/// The library's public interfaces and its EWS-level exception.
///
/// IDvEWSSession is how every object below the session (stores, folders, items, tables, the event
/// monitor) reaches it: the session's service URL, credentials and server version, extra HTTP and
/// SOAP clients, the request frame and the response check.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "DvSysUtils.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

class IDvHTTPClient;
class TDvCredentials;
class TDvSOAPClient;
class IDvSOAPRequest;
class IDvDOMElement;

/// Formats text the way the library's messages are written: "%s" and "%d" take the next argument,
/// "%N:s" / "%:Ns" style indexes ("%0:s", "%:0s") take argument N, "%%" is a percent sign. Every
/// argument is given as text and inserted as it is (a width or precision is read and ignored, so
/// callers pad numbers themselves). A directive without an argument is left as written.
std::string DvEWSFormat(std::string_view format, std::initializer_list<std::string_view> args);

/// The exception of EWS-level failures: a response message that is not "Success", a failed
/// autodiscover or logon, an unknown time-zone identifier, …
///
/// EEWSException(lead, detail, code) builds the message lead + " (" + detail + ")." (a single
/// period ending the lead is dropped) and keeps the detail text as EWSErrorCode. So for a
/// response message the message reads "ErrorItemNotFound (The item was not found.)." and
/// EWSErrorCode holds the descriptive text.
class EEWSException : public Exception {
 public:
  /// The message lead + " (" + detail + ").", EWSErrorCode the detail.
  EEWSException(const std::string& lead, const std::string& detail, std::uint32_t httpErrorCode);
  /// The message unchanged, EWSErrorCode empty.
  explicit EEWSException(const std::string& message, std::uint32_t httpErrorCode = 0);

  /// As the three-argument form, the lead formatted from format and args; HTTPErrorCode 0.
  static EEWSException CreateFmt(std::string_view format,
                                 std::initializer_list<std::string_view> args,
                                 const std::string& detail);
  /// A formatted message, EWSErrorCode empty.
  static EEWSException CreateFmt(std::string_view format,
                                 std::initializer_list<std::string_view> args,
                                 std::uint32_t httpErrorCode);

  /// The detail text (for a response message, the server's description of the error).
  const std::string& GetEWSErrorCode() const { return ewsErrorCode_; }
  /// The transport's error code when the failure came from it, else 0.
  std::uint32_t GetHTTPErrorCode() const { return httpErrorCode_; }

 private:
  EEWSException(const std::string& message, const std::string& ewsErrorCode,
                std::uint32_t httpErrorCode, int);
  static std::string Compose(const std::string& lead, const std::string& detail);

  std::string ewsErrorCode_;
  std::uint32_t httpErrorCode_ = 0;
};

/// The session as the objects below it see it. Obtained from the session
/// (TDvEWSBaseSession::GetSessionIntf); it stays valid as an object after the session is
/// destroyed, and then every operation raises dv::Exception.
class IDvEWSSession {
 public:
  virtual ~IDvEWSSession() = default;

  /// The EWS endpoint requests go to.
  virtual std::string GetServiceURL() const = 0;
  /// The logon's credentials.
  virtual const TDvCredentials& GetCredentials() const = 0;
  /// The server's version (features are gated on it).
  virtual TServerVersion GetServerVersion() const = 0;
  /// A new HTTP client with the session's settings; shareConnection binds it to the session's
  /// back-end session (shared name and TLS caches).
  virtual std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool shareConnection) = 0;
  /// A new SOAP client over httpClient, initialised like the session's own.
  virtual std::shared_ptr<TDvSOAPClient> CreateSOAPClient(
      const std::shared_ptr<IDvHTTPClient>& httpClient) = 0;
  /// A request with the standard headers; client may be null (the session's own SOAP client).
  virtual std::shared_ptr<IDvSOAPRequest> CreateRequest(
      const std::shared_ptr<TDvSOAPClient>& client, const std::string& operation,
      const std::string& responseName) = 0;
  /// Raises EEWSException when the response message's ResponseClass is not "Success".
  virtual void CheckResponseError(const std::shared_ptr<IDvDOMElement>& responseMessage) = 0;
};
/// A shared session reference.
using DvEWSSessionPtr = std::shared_ptr<IDvEWSSession>;

}  // namespace dv
