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
  EDvSOAPFaultException(const std::string& faultCode, const std::string& faultString,
                        const std::string& responseCode, int statusCode)
      : EDvHTTPException(faultString.empty() ? faultCode : faultString, statusCode),
        faultCode_(faultCode),
        faultString_(faultString),
        responseCode_(responseCode) {}
  const std::string& GetFaultCode() const { return faultCode_; }
  const std::string& GetFaultString() const { return faultString_; }
  const std::string& GetResponseCode() const { return responseCode_; }

 private:
  std::string faultCode_;
  std::string faultString_;
  std::string responseCode_;
};

/// The envelope's version: SOAP 1.1 (text/xml with a SOAPAction header) or SOAP 1.2
/// (application/soap+xml with the action in the content type).
enum class TDvSOAPEncoding { seSOAP11, seSOAP12 };

struct TDvSOAPNamespace {
  std::string Prefix;
  std::string URI;
};

namespace DvSOAPNS {
constexpr const char* XSI = "http://www.w3.org/2001/XMLSchema-instance";
constexpr const char* Envelope11 = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* Envelope12 = "http://www.w3.org/2003/05/soap-envelope";
constexpr const char* EWSMessages = "http://schemas.microsoft.com/exchange/services/2006/messages";
constexpr const char* EWSTypes = "http://schemas.microsoft.com/exchange/services/2006/types";
}  // namespace DvSOAPNS

/// What the trace hook sees: each request before it is sent and each response as received, with
/// the values of elements that carry secrets (local names containing "Password", "Secret" or
/// "Token") replaced by "********".
struct TDvSOAPTrace {
  enum class TKind { tkRequest, tkResponse };
  TKind Kind = TKind::tkRequest;
  std::string URL;
  int StatusCode = 0;  // responses only
  std::string Content;
};
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
  explicit TDvSOAPResponse(std::string_view text);

  DvDOMDocumentPtr GetDocument() const { return document_; }
  DvDOMElementPtr GetEnvelope() const;
  bool HasHeader() const { return GetHeader() != nullptr; }
  DvDOMElementPtr GetHeader() const;  // none when absent
  DvDOMElementPtr GetBody() const;    // none when absent
  bool GetIsFault() const;
  /// The body's first element (the operation's response, or the fault).
  DvDOMElementPtr GetResponse() const;
  /// A child element of the response by local name: Get raises Exception when it is absent.
  bool HasArgument(std::string_view localName) const;
  DvDOMElementPtr GetArgument(std::string_view localName) const;
  /// Raises EDvSOAPFaultException when the envelope is a fault.
  void CheckFault(int statusCode = 500) const;
  int GetStatusCode() const { return statusCode_; }
  void SetStatusCode(int v) { statusCode_ = v; }

 protected:
  void Load(std::string_view text);

 private:
  DvDOMDocumentPtr document_;
  int statusCode_ = 0;
};
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
  void Finish();

  std::istream& GetMimeContent() { return mime_; }
  std::string GetMimeContentText() const { return mime_.str(); }
  bool HasMimeContent() const { return hasMime_; }
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
using DvBinResponsePtr = std::shared_ptr<TDvBinResponse>;

class TDvSOAPClient;

/// A request: the envelope, its header elements, HTTP headers, and the body's operation element.
class IDvSOAPRequest {
 public:
  virtual ~IDvSOAPRequest() = default;
  virtual DvDOMDocumentPtr GetDocument() const = 0;
  virtual DvDOMElementPtr GetEnvelope() const = 0;
  /// The soap:Header element, made when first asked for.
  virtual DvDOMElementPtr GetHeader() = 0;
  /// Appends an element (by qualified name, "t:RequestServerVersion") to the SOAP header.
  virtual DvDOMElementPtr AddHeader(std::string_view qualifiedName) = 0;
  virtual DvDOMElementPtr GetBody() const = 0;
  /// The body's operation element ("m:GetFolder").
  virtual DvDOMElementPtr GetOperation() const = 0;
  virtual const std::string& GetResponseName() const = 0;
  virtual const std::string& GetSOAPAction() const = 0;
  /// An HTTP header sent with this request (replacing one of the same name).
  virtual void SetHTTPHeader(std::string_view name, std::string_view value) = 0;
  virtual const TDvHTTPHeaders& GetHTTPHeaders() const = 0;
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
using DvSOAPRequestPtr = std::shared_ptr<IDvSOAPRequest>;

/// Builds requests for one service URL over an HTTP client. A component: its owner deletes it.
class TDvSOAPClient : public TDvComponent {
 public:
  explicit TDvSOAPClient(TDvComponent* owner = nullptr) : TDvComponent(owner) {}

  DvHTTPClientPtr GetHTTPClient() const { return httpClient_; }
  void SetHTTPClient(DvHTTPClientPtr client) { httpClient_ = std::move(client); }

  /// Sets the service URL, the envelope's prefix, the namespaces its root declares (in order)
  /// and the SOAP version.
  void InitSOAPEnv(const std::string& url, const std::string& envelopePrefix,
                   const std::vector<TDvSOAPNamespace>& namespaces,
                   TDvSOAPEncoding encoding = TDvSOAPEncoding::seSOAP11);
  const std::string& GetURL() const { return url_; }
  void SetURL(const std::string& url) { url_ = url; }
  const std::string& GetEnvelopePrefix() const { return prefix_; }
  const std::vector<TDvSOAPNamespace>& GetNamespaces() const { return namespaces_; }
  TDvSOAPEncoding GetEncoding() const { return encoding_; }

  /// A request with an empty operation element (qualified name) in its body.
  DvSOAPRequestPtr CreateRequest(const std::string& soapAction, std::string_view operation,
                                 const std::string& responseName = {});

  const TDvSOAPTraceEvent& GetOnTrace() const { return onTrace_; }
  void SetOnTrace(TDvSOAPTraceEvent handler) { onTrace_ = std::move(handler); }

 private:
  DvHTTPClientPtr httpClient_;
  std::string url_;
  std::string prefix_ = "soap";
  std::vector<TDvSOAPNamespace> namespaces_;
  TDvSOAPEncoding encoding_ = TDvSOAPEncoding::seSOAP11;
  TDvSOAPTraceEvent onTrace_;
};

}  // namespace dv
