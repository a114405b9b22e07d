/// @file
/// SOAP over the HTTP clients: a client that builds request envelopes, requests that send them,
/// and responses (with SOAP faults raised as exceptions). TDvBinResponse keeps a MimeContent
/// element's text in a stream of its own, split off while the response arrives.
#pragma once

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "DvHTTP.h"
#include "DvSysUtils.h"
#include "DvXML.h"

namespace dv {

/// A SOAP fault: FaultCode and FaultString from the fault, ResponseCode the EWS response code of
/// the fault's detail ("ErrorSchemaValidation", …) or empty. The message is the fault string.
class EDvSOAPFaultException : public EDvHTTPException {
 public:
  /// A fault with its code, string, EWS response code and HTTP status.
  EDvSOAPFaultException(const std::string& faultCode, const std::string& faultString,
                        const std::string& responseCode, int statusCode)
      : EDvHTTPException(faultString.empty() ? faultCode : faultString, statusCode),
        faultCode_(faultCode),
        faultString_(faultString),
        responseCode_(responseCode) {}
  /// The fault's faultcode ("soap:Client", "a:ErrorSchemaValidation", …).
  const std::string& GetFaultCode() const { return faultCode_; }
  /// The fault's faultstring.
  const std::string& GetFaultString() const { return faultString_; }
  /// The EWS response code of the fault's detail, or empty.
  const std::string& GetResponseCode() const { return responseCode_; }

 private:
  std::string faultCode_;
  std::string faultString_;
  std::string responseCode_;
};

/// Raised when the server stays busy beyond the retry policy (see TDvRetryPolicy). The message
/// begins with "Throttled"; ResponseCode is the EWS code the server gave ("ErrorServerBusy") or
/// empty for an HTTP 503 or 429, StatusCode the HTTP status of the last answer.
class EDvThrottledException : public EDvHTTPException {
 public:
  /// A give-up with its message, EWS response code, HTTP status and the retries made.
  EDvThrottledException(const std::string& message, const std::string& responseCode, int statusCode,
                        int retries)
      : EDvHTTPException(message, statusCode), responseCode_(responseCode), retries_(retries) {}
  /// The EWS response code of the last answer, or empty.
  const std::string& GetResponseCode() const { return responseCode_; }
  /// How many times the request was sent again before giving up.
  int GetRetries() const { return retries_; }

 private:
  std::string responseCode_;
  int retries_;
};

/// How a request the server turns away as busy is sent again. Busy answers are HTTP 503 and 429
/// (waiting as Retry-After says), a fault with ErrorServerBusy or ErrorExceededConnectionCount,
/// and an answer whose every response message has one of those codes (waiting as
/// BackOffMilliseconds says). Each of them means the server did not carry the request out, so a
/// retry is safe; nothing else is retried here. Without a hint the wait is DefaultWait, doubled
/// with each retry. A request gives up (EDvThrottledException) after MaxRetries retries, or when
/// the waits would pass MaxWait milliseconds in all.
struct TDvRetryPolicy {
  /**@{*/
  /// A limit (see the struct's comment); MaxRetries 0 turns retrying off.
  int MaxRetries = 3;
  int MaxWait = 60000;
  int DefaultWait = 1000;
  ///@}
  /// All equal.
  bool operator==(const TDvRetryPolicy&) const = default;
};

/// Called before a request waits to be sent again: the wait in seconds and why ("server busy",
/// "HTTP 503 Service Unavailable", …).
using TDvThrottledEvent = std::function<void(double seconds, const std::string& reason)>;

/// The envelope's version: SOAP 1.1 (text/xml with a SOAPAction header) or SOAP 1.2
/// (application/soap+xml with the action in the content type).
enum class TDvSOAPEncoding { seSOAP11, seSOAP12 };

/// A namespace the envelope's root declares.
struct TDvSOAPNamespace {
  /**@{*/
  /// The prefix ("t") and the namespace URI.
  std::string Prefix;
  std::string URI;
  ///@}
};

/// The namespace URIs requests use.
namespace DvSOAPNS {
/**@{*/
/// A namespace URI (XML Schema instance, SOAP 1.1 and 1.2 envelopes, EWS messages and types).
constexpr const char* XSI = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* Envelope11 = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* Envelope12 = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* EWSMessages = "http://schemas.microsoft.com/exchange/services/2006/messages";
constexpr const char* EWSTypes = "http://schemas.microsoft.com/exchange/services/2006/types";
///@}
}  // namespace DvSOAPNS

/// What the trace hook sees: each request before it is sent and each response as received, with
/// the values of elements that carry secrets (local names containing "Password", "Secret" or
/// "Token") replaced by "********".
struct TDvSOAPTrace {
  /// Request or response.
  enum class TKind { tkRequest, tkResponse };
  /**@{*/
  /// What is traced, the URL, the HTTP status (responses only) and the envelope text, masked.
  TKind Kind = TKind::tkRequest;
  std::string URL;
  int StatusCode = 0;  // responses only
  std::string Content;
  ///@}
};
/// The trace hook (TDvSOAPClient::SetOnTrace).
using TDvSOAPTraceEvent = std::function<void(const TDvSOAPTrace& trace)>;

/// Masks secret element values in XML text (as the trace hook receives it).
std::string DvMaskSecrets(std::string_view xml);

/// A response envelope.
class TDvSOAPResponse {
 public:
  TDvSOAPResponse() = default;
  virtual ~TDvSOAPResponse() = default;
  /// Parses an envelope (EDvXMLException when malformed or not an envelope).
  explicit TDvSOAPResponse(std::istream& stream);
  /// As above, from text.
  explicit TDvSOAPResponse(std::string_view text);
  /// As above, from text.
  explicit TDvSOAPResponse(const char* text);
  /// As above, from text the response takes over and parses where it lies (no copy).
  explicit TDvSOAPResponse(std::string&& text);

  /// The parsed document.
  DvDOMDocumentPtr GetDocument() const { return document_; }
  /// The soap:Envelope element.
  DvDOMElementPtr GetEnvelope() const;
  /// True when the envelope has a soap:Header.
  bool HasHeader() const { return GetHeader() != nullptr; }
  /**@{*/
  /// The soap:Header and soap:Body elements (none when absent).
  DvDOMElementPtr GetHeader() const;  // none when absent
  DvDOMElementPtr GetBody() const;    // none when absent
  ///@}
  /// True when the body holds a soap:Fault.
  bool GetIsFault() const;
  /// The body's first element (the operation's response, or the fault).
  DvDOMElementPtr GetResponse() const;
  /// A child element of the response by local name: Get raises Exception when it is absent.
  bool HasArgument(std::string_view localName) const;
  /// See HasArgument.
  DvDOMElementPtr GetArgument(std::string_view localName) const;
  /// Raises EDvSOAPFaultException when the envelope is a fault.
  void CheckFault(int statusCode = 500) const;
  /// The HTTP status the response came with.
  int GetStatusCode() const { return statusCode_; }
  /// Records the HTTP status.
  void SetStatusCode(int v) { statusCode_ = v; }

 protected:
  /// Parses an envelope into this response.
  void Load(std::string&& text);

 private:
  DvDOMDocumentPtr document_;
  int statusCode_ = 0;
};
/// A shared response.
using DvSOAPResponsePtr = std::shared_ptr<TDvSOAPResponse>;

/// A response whose "MimeContent" element text (the Base64 text as sent) goes to its own stream
/// while the bytes arrive; the element stays in the document, empty.
class TDvBinResponse : public TDvSOAPResponse {
 public:
  TDvBinResponse();
  /// Reads a whole envelope from a stream, splitting as it reads.
  explicit TDvBinResponse(std::istream& stream);

  /// Feeding: bytes in arrival order, then Finish (which parses the rest).
  void Feed(const char* data, std::size_t size);
  /// Ends the feeding and parses the rest.
  void Finish();

  /// @name The MIME content
  /**@{*/
  /// The MimeContent text (Base64 as sent), as a stream or as text, and whether there was any.
  std::istream& GetMimeContent() { return mime_; }
  std::string GetMimeContentText() const { return mime_.str(); }
  bool HasMimeContent() const { return hasMime_; }
  ///@}
  /// The envelope as parsed (without the MIME text).
  const std::string& GetEnvelopeText() const { return xml_; }

 private:
  enum class TState { sText, sTag, sMime };
  void EndTag();

  std::string xml_;
  std::stringstream mime_;
  bool hasMime_ = false;
  TState state_ = TState::sText;
  std::string tag_;
  char quote_ = 0;
};
/// A shared MIME-splitting response.
using DvBinResponsePtr = std::shared_ptr<TDvBinResponse>;

class TDvSOAPClient;

/// A request: the envelope, its header elements, HTTP headers, and the body's operation element.
class IDvSOAPRequest {
 public:
  virtual ~IDvSOAPRequest() = default;
  /// The envelope's document.
  virtual DvDOMDocumentPtr GetDocument() const = 0;
  /// The soap:Envelope element.
  virtual DvDOMElementPtr GetEnvelope() const = 0;
  /// The soap:Header element, made when first asked for.
  virtual DvDOMElementPtr GetHeader() = 0;
  /// Appends an element (by qualified name, "t:RequestServerVersion") to the SOAP header.
  virtual DvDOMElementPtr AddHeader(std::string_view qualifiedName) = 0;
  /// The soap:Body element.
  virtual DvDOMElementPtr GetBody() const = 0;
  /// The body's operation element ("m:GetFolder").
  virtual DvDOMElementPtr GetOperation() const = 0;
  /// The qualified name of the expected response element (may be empty).
  virtual const std::string& GetResponseName() const = 0;
  /// The SOAP action.
  virtual const std::string& GetSOAPAction() const = 0;
  /// An HTTP header sent with this request (replacing one of the same name).
  virtual void SetHTTPHeader(std::string_view name, std::string_view value) = 0;
  /// The HTTP headers set on this request.
  virtual const TDvHTTPHeaders& GetHTTPHeaders() const = 0;
  /// A cookie sent with this request only.
  virtual void AddCookie(std::string_view name, std::string_view value) = 0;
  /// The envelope as UTF-8 text with the XML declaration.
  virtual std::string GetXML() const = 0;
  /// Sends and returns the response. A SOAP fault raises EDvSOAPFaultException; another status
  /// than 200 raises EDvHTTPException; transport failures raise EDvHTTPApiException.
  virtual DvSOAPResponsePtr Send() = 0;
  /// Sends with the MimeContent text split off into the response's own stream.
  virtual DvBinResponsePtr SendBin() = 0;
  /// Aborts a Send running on another thread.
  virtual void Abort() = 0;
};
/// A shared request.
using DvSOAPRequestPtr = std::shared_ptr<IDvSOAPRequest>;

/// Builds requests for one service URL over an HTTP client. A component: its owner deletes it.
class TDvSOAPClient : public TDvComponent {
 public:
  /// A client owned by `owner` (optional); set its HTTP client and call InitSOAPEnv next.
  explicit TDvSOAPClient(TDvComponent* owner = nullptr) : TDvComponent(owner) {}

  /// The HTTP client requests are sent with.
  DvHTTPClientPtr GetHTTPClient() const { return httpClient_; }
  /// Sets the HTTP client.
  void SetHTTPClient(DvHTTPClientPtr client) { httpClient_ = std::move(client); }

  /// Sets the service URL, the envelope's prefix, the namespaces its root declares (in order)
  /// and the SOAP version.
  void InitSOAPEnv(const std::string& url, const std::string& envelopePrefix,
                   const std::vector<TDvSOAPNamespace>& namespaces,
                   TDvSOAPEncoding encoding = TDvSOAPEncoding::seSOAP11);
  /// @name Envelope settings
  /**@{*/
  /// A setting InitSOAPEnv made (service URL, envelope prefix, namespaces, SOAP version).
  const std::string& GetURL() const { return url_; }
  void SetURL(const std::string& url) { url_ = url; }
  const std::string& GetEnvelopePrefix() const { return prefix_; }
  const std::vector<TDvSOAPNamespace>& GetNamespaces() const { return namespaces_; }
  TDvSOAPEncoding GetEncoding() const { return encoding_; }
  ///@}

  /// A request with an empty operation element (qualified name) in its body.
  DvSOAPRequestPtr CreateRequest(const std::string& soapAction, std::string_view operation,
                                 const std::string& responseName = {});

  /// How busy answers are retried. Every client of one service URL and user name shares one
  /// back-off: when the server asks one of them to wait, the others' next requests wait too.
  const TDvRetryPolicy& GetRetryPolicy() const { return retryPolicy_; }
  /// Sets the retry policy.
  void SetRetryPolicy(const TDvRetryPolicy& policy) { retryPolicy_ = policy; }
  /// The handler told of each wait before a retry (none by default).
  const TDvThrottledEvent& GetOnThrottled() const { return onThrottled_; }
  /// Installs the handler told of each wait before a retry.
  void SetOnThrottled(TDvThrottledEvent handler) { onThrottled_ = std::move(handler); }

  /// The trace hook (none by default).
  const TDvSOAPTraceEvent& GetOnTrace() const { return onTrace_; }
  /// Installs a trace hook, called for each request and response with secrets masked.
  void SetOnTrace(TDvSOAPTraceEvent handler) { onTrace_ = std::move(handler); }

 private:
  DvHTTPClientPtr httpClient_;
  std::string url_;
  std::string prefix_ = "soap";
  std::vector<TDvSOAPNamespace> namespaces_;
  TDvSOAPEncoding encoding_ = TDvSOAPEncoding::seSOAP11;
  TDvSOAPTraceEvent onTrace_;
  TDvRetryPolicy retryPolicy_;
  TDvThrottledEvent onThrottled_;
};

}  // namespace dv
