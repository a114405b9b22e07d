// The HTTP/HTTPS transport of the simulator: an event-driven server on Boost.Beast and Asio.
//
// A few I/O threads run every connection (each on its own strand): accepting, TLS, reading
// headers and bodies, writing answers. No connection holds a thread while it is idle or while a
// client sends slowly. A request whose headers pass the admission check (credentials, path, size)
// has its body read and is handed to the worker pool as an HttpCall; the handler answers through
// the call from any thread, and the answer is written on the connection's strand.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "http_types.h"

namespace ewssim {

// How an answer reaches the client. Whole is the normal case; the others act out broken
// servers for clients' tests.
struct Delivery {
  enum class Kind {
    Whole,     // the whole answer
    Drop,      // close the connection without answering
    Truncate,  // the headers (with the full Content-Length) and `bytes` bytes of the body, then
               // close
    Drip,      // the answer a byte every `intervalMs`
  };
  Kind kind = Kind::Whole;
  std::size_t bytes = 0;
  int intervalMs = 1;
};

// One request in progress. The handler answers exactly once: Reply or StartStream.
class HttpCall {
 public:
  virtual ~HttpCall() = default;
  virtual const HttpRequest& Request() const = 0;
  virtual void Reply(HttpResponse response, Delivery delivery = {}) = 0;
  // Sends `head` (status and headers; its body is ignored) with chunked transfer encoding and
  // gives the stream to write the body through.
  virtual std::shared_ptr<HttpStream> StartStream(HttpResponse head) = 0;
  // Runs `next` on the worker pool after `delay`, without holding a thread meanwhile; never runs
  // it when the connection closes first.
  virtual void After(std::chrono::milliseconds delay, std::function<void()> next) = 0;
};

using CallHandler = std::function<void(const std::shared_ptr<HttpCall>&)>;

// A route whose handler gets the call itself (to answer later, or to stream).
struct CallRoute {
  std::string method;
  std::string pathPattern;  // whole path, case-insensitive, as HttpRoute
  CallHandler handler;
};

// Ordered routes: the first whose method and pattern match the request wins.
class RouteTable {
 public:
  void Add(HttpRoute route);
  void Add(CallRoute route);
  // The handler of the first matching route, or none.
  CallHandler Find(const std::string& method, const std::string& path) const;
  bool Matches(const std::string& method, const std::string& path) const {
    return static_cast<bool>(Find(method, path));
  }

 private:
  struct Entry {
    std::string method;
    std::regex pattern;
    CallHandler handler;
  };
  mutable std::mutex lock_;
  std::vector<Entry> entries_;
};

struct TransportOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: a free one
  // TLS: the server certificate and key (OpenSSL X509* and EVP_PKEY*); plain HTTP when null.
  void* certificate = nullptr;
  void* privateKey = nullptr;
  int workers = 8;
  int ioThreads = 2;
  std::chrono::seconds headerTimeout{30};  // the whole request head, from its first byte
  std::chrono::seconds bodyTimeout{60};    // the whole body
  std::chrono::seconds keepAlive{5};       // an idle connection between requests
  std::size_t maxBodyBytes = 35u * 1024u * 1024u;
  std::size_t maxHeaderBytes = 64u * 1024u;
  // Called on an I/O thread with the request head (no body yet): an answer refuses the request
  // before its body is read (401, 404); none reads the body and hands the call to `onRequest`.
  std::function<std::optional<HttpResponse>(const HttpRequest&)> admit;
  // Called on a worker with the whole request.
  CallHandler onRequest;
};

class Transport {
 public:
  explicit Transport(TransportOptions options);
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Binds, listens and starts the threads; throws std::runtime_error ("the port is in use").
  void Start();
  // Stops accepting, closes every connection and stream, joins every thread.
  void Stop();
  int Port() const;

  // Serves one request given as the bytes a client sent, without any socket: the same parsing,
  // admission and handler as a connection, run on the calling thread. Gives the status (0 when
  // the bytes are no complete request). For fuzzing.
  int ServeBytes(std::string_view bytes);

  struct Impl;  // transport.cpp

 private:
  std::shared_ptr<Impl> impl_;
};

// Splits a request target into its percent-decoded path and query parameters.
void SplitTarget(std::string_view target, std::string& path,
                 std::multimap<std::string, std::string>& query);
// Adds the parameters of a form-encoded text ("a=1&b=%20") to `params`.
void ParseForm(std::string_view form, std::multimap<std::string, std::string>& params);

}  // namespace ewssim
