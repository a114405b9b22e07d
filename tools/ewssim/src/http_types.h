// HTTP requests and responses as the server's handlers see them, whatever transport carries them.
// Endpoints other than the SOAP one (autodiscover, OAuth, …) are written against these types and
// registered in a route table; the transport turns the wire into an HttpRequest, finds the route,
// and writes the HttpResponse back.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ewssim {

// Header names compare without regard to case, as HTTP says.
struct HeaderLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using HttpHeaders = std::multimap<std::string, std::string, HeaderLess>;

struct HttpRequest {
  std::string method;                             // "GET", "POST", …
  std::string path;                               // percent-decoded, without the query
  std::multimap<std::string, std::string> query;  // decoded query parameters
  HttpHeaders headers;
  std::string body;
  std::string remoteAddress;
  bool tls = false;

  // The first value of a header or query parameter; empty when absent.
  std::string Header(const std::string& name) const;
  std::string Query(const std::string& name) const;
  bool HasQuery(const std::string& name) const { return query.count(name) != 0; }
};

struct HttpResponse {
  int status = 200;
  HttpHeaders headers;
  std::string body;

  void SetContent(std::string content, const std::string& contentType) {
    body = std::move(content);
    SetHeader("Content-Type", contentType);
  }
  void SetHeader(const std::string& name, const std::string& value) {
    headers.erase(name);
    headers.emplace(name, value);
  }
  void Redirect(const std::string& location, int code = 302) {
    status = code;
    SetHeader("Location", location);
  }
};

// A route: a method and a path pattern (ECMAScript regular expression matched against the whole
// path, case-insensitively). Routes are tried in the order they were added.
struct HttpRoute {
  std::string method;
  std::string pathPattern;
  std::function<void(const HttpRequest&, HttpResponse&)> handler;
};

// A response written piece by piece (chunked transfer encoding), each piece flushed to the client
// as soon as the connection can take it, for long-lived answers such as streamed notifications.
// Every call may come from any thread; no thread waits for the next piece.
class HttpStream {
 public:
  virtual ~HttpStream() = default;
  // Sends one piece (empty pieces are skipped). Returns false when the stream is closed.
  virtual bool Write(std::string piece) = 0;
  // Ends the response; the connection goes on serving the client's next request.
  virtual void Close() = 0;
  // Breaks the connection without the last chunk once what was written is sent, as a failing
  // network does (fault injection).
  virtual void Abort() { Close(); }
  // False once the response ended, the client went away or the server stops.
  virtual bool IsOpen() const = 0;
  // Runs `onClosed` once (on an I/O thread) when the stream closes for any reason; at once when
  // it is closed already.
  virtual void OnClosed(std::function<void()> onClosed) = 0;
};

// Runs the first route whose method and pattern match the request; false when none does.
bool DispatchRoute(const std::vector<HttpRoute>& routes, const HttpRequest& request,
                   HttpResponse& response);

}  // namespace ewssim
