// The event-driven HTTP/HTTPS transport (see transport.h).
#include "transport.h"

#include <openssl/ssl.h>

#include <utility>  // before Asio, which needs std::exchange

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cctype>
#include <deque>
#include <limits>
#include <list>
#include <map>
#include <thread>

#include "util.h"

namespace ewssim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

using Parser = http::request_parser<http::string_body>;

constexpr std::uint64_t kNoLimit = std::numeric_limits<std::uint64_t>::max();
// After an answer that closes the connection, what the client still sends is read and dropped
// for this long (and up to this much), so that closing does not reset the connection under the
// answer before the client has read it.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kLingerBytes = 1u << 20;
// A stream whose client does not read: pieces queued beyond this end it.
constexpr std::size_t kMaxStreamBacklog = 8u << 20;

// Header text from a handler never breaks the head: CR and LF become spaces.
std::string HeaderSafe(std::string_view text) {
  std::string out(text);
  std::replace_if(
      out.begin(), out.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return out;
}

// The status line and headers of an answer. With `chunked` the body follows in chunks; else
// Content-Length gives `bodySize`.
std::string Head(const HttpResponse& response, std::size_t bodySize, bool keepAlive, bool chunked) {
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " ";
  const auto reason =
      http::obsolete_reason(http::int_to_status(static_cast<unsigned>(response.status)));
  head.append(reason.data(), reason.size());
  head += "\r\n";
  for (const auto& [name, value] : response.headers) {
    if (EqualsNoCase(name, "Content-Length") || EqualsNoCase(name, "Transfer-Encoding") ||
        EqualsNoCase(name, "Connection"))
      continue;
    head += HeaderSafe(name) + ": " + HeaderSafe(value) + "\r\n";
  }
  head += chunked ? std::string("Transfer-Encoding: chunked\r\n")
                  : "Content-Length: " + std::to_string(bodySize) + "\r\n";
  if (!keepAlive) head += "Connection: close\r\n";
  head += "\r\n";
  return head;
}

std::string Chunk(std::string_view piece) {
  char size[24];
  const int n = std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
  std::string out(size, static_cast<std::size_t>(n));
  out += piece;
  out += "\r\n";
  return out;
}

HttpResponse Plain(int status, const std::string& text) {
  HttpResponse r;
  r.status = status;
  if (!text.empty()) r.SetContent(text, "text/plain");
  return r;
}

// The request head as handlers see it (the body comes later).
HttpRequest RequestOf(const Parser& parser, bool tls, const std::string& remote) {
  const auto& message = parser.get();
  HttpRequest request;
  request.method = std::string(message.method_string());
  SplitTarget(std::string_view(message.target().data(), message.target().size()), request.path,
              request.query);
  for (const auto& field : message)
    request.headers.emplace(std::string(field.name_string()), std::string(field.value()));
  request.tls = tls;
  request.remoteAddress = remote;
  return request;
}

// A form-encoded body's parameters join the query's, as handlers of HTML forms expect.
void TakeBody(Parser& parser, HttpRequest& request) {
  request.body = std::move(parser.get().body());
  const std::string type = request.Header("Content-Type");
  if (type.rfind("application/x-www-form-urlencoded", 0) == 0)
    ParseForm(request.body, request.query);
}

}  // namespace

void SplitTarget(std::string_view target, std::string& path,
                 std::multimap<std::string, std::string>& query) {
  const auto mark = target.find('?');
  path = PercentDecode(target.substr(0, mark), false);
  if (mark != std::string_view::npos) ParseForm(target.substr(mark + 1), query);
}

void ParseForm(std::string_view form, std::multimap<std::string, std::string>& params) {
  while (!form.empty()) {
    const auto amp = form.find('&');
    const std::string_view pair = form.substr(0, amp);
    form = amp == std::string_view::npos ? std::string_view() : form.substr(amp + 1);
    if (pair.empty()) continue;
    const auto eq = pair.find('=');
    params.emplace(
        PercentDecode(pair.substr(0, eq), true),
        eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1), true));
  }
}

// ---------------------------------------------------------------- routes

void RouteTable::Add(HttpRoute route) {
  auto handler = std::move(route.handler);
  Add(CallRoute{std::move(route.method), std::move(route.pathPattern),
                [handler](const std::shared_ptr<HttpCall>& call) {
                  HttpResponse response;
                  handler(call->Request(), response);
                  call->Reply(std::move(response));
                }});
}

void RouteTable::Add(CallRoute route) {
  std::lock_guard<std::mutex> lock(lock_);
  entries_.push_back({std::move(route.method),
                      std::regex(route.pathPattern, std::regex::ECMAScript | std::regex::icase),
                      std::move(route.handler)});
}

CallHandler RouteTable::Find(const std::string& method, const std::string& path) const {
  std::lock_guard<std::mutex> lock(lock_);
  for (const Entry& e : entries_)
    if (EqualsNoCase(e.method, method) && std::regex_match(path, e.pattern)) return e.handler;
  return {};
}

// ---------------------------------------------------------------- connections

class ConnectionBase;

// The stream's state shared between its producer (any thread) and the connection (its strand).
class StreamState : public HttpStream {
 public:
  explicit StreamState(std::weak_ptr<ConnectionBase> connection)
      : connection_(std::move(connection)) {}
  bool Write(std::string piece) override;
  void Close() override;
  void Abort() override;
  bool IsOpen() const override {
    std::lock_guard<std::mutex> lock(lock_);
    return open_;
  }
  void OnClosed(std::function<void()> onClosed) override {
    std::unique_lock<std::mutex> lock(lock_);
    if (open_) {
      callbacks_.push_back(std::move(onClosed));
      return;
    }
    lock.unlock();
    onClosed();
  }
  // Marks the stream closed and runs the callbacks; safe to call more than once.
  void MarkClosed() {
    std::vector<std::function<void()>> callbacks;
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (!open_) return;
      open_ = false;
      callbacks.swap(callbacks_);
    }
    for (auto& c : callbacks)
      c();
  }

 private:
  mutable std::mutex lock_;
  bool open_ = true;
  std::weak_ptr<ConnectionBase> connection_;
  std::vector<std::function<void()>> callbacks_;
};

class ConnectionBase : public std::enable_shared_from_this<ConnectionBase> {
 public:
  virtual ~ConnectionBase() = default;
  virtual void Start() = 0;
  // The rest may be called from any thread; the work runs on the connection's strand.
  virtual void Answer(HttpResponse response, Delivery delivery) = 0;
  virtual std::shared_ptr<HttpStream> OpenStream(HttpResponse head) = 0;
  virtual void After(std::chrono::milliseconds delay, std::function<void()> next) = 0;
  virtual void StreamPiece(std::string piece) = 0;
  virtual void StreamEnd() = 0;
  // Closes the connection once the pieces written are sent, without the last chunk.
  virtual void StreamAbort() = 0;
  virtual void Shutdown() = 0;
  // Marks the open stream closed without touching the socket (after the I/O threads ended).
  virtual void AbandonStream() = 0;
};

bool StreamState::Write(std::string piece) {
  std::lock_guard<std::mutex> lock(lock_);
  if (!open_) return false;
  auto connection = connection_.lock();
  if (!connection) return false;
  if (!piece.empty()) connection->StreamPiece(std::move(piece));
  return true;
}

void StreamState::Close() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!open_) return;
    if (auto connection = connection_.lock()) connection->StreamEnd();
  }
  MarkClosed();
}

void StreamState::Abort() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (!open_) return;
    if (auto connection = connection_.lock()) connection->StreamAbort();
  }
  MarkClosed();
}

struct Transport::Impl {
  explicit Impl(TransportOptions o) : options(std::move(o)) {}

  TransportOptions options;
  std::atomic<bool> stopping{false};
  // Open connections, to close them at stop. Declared before the I/O context so that it outlives
  // the connections the context still holds when it is destroyed.
  std::mutex connectionsLock;
  std::map<std::uint64_t, std::weak_ptr<ConnectionBase>> connections;
  std::uint64_t nextConnection = 0;
  std::optional<asio::ssl::context> ssl;
  asio::io_context io;
  std::optional<tcp::acceptor> acceptor;
  std::optional<asio::steady_timer> acceptPause;
  std::optional<asio::thread_pool> workers;
  std::vector<std::thread> ioThreads;
  int port = 0;
  bool started = false;

  void Accept();
  void Forget(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(connectionsLock);
    connections.erase(id);
  }
  // The open connections (taken out under the lock: dropping the last reference to one takes it).
  std::vector<std::shared_ptr<ConnectionBase>> Open() {
    std::vector<std::shared_ptr<ConnectionBase>> open;
    std::lock_guard<std::mutex> lock(connectionsLock);
    for (auto& entry : connections)
      if (auto connection = entry.second.lock()) open.push_back(std::move(connection));
    return open;
  }
  // Runs the handler; one that fails answers 500 (when it has not answered yet).
  void Run(const std::shared_ptr<HttpCall>& call) {
    try {
      options.onRequest(call);
    } catch (const std::exception&) {
      call->Reply(Plain(500, "Internal Server Error"), {});
    }
  }
  // Queues work for the pool. A task that fails drops its call: the connection it held closes.
  void Work(std::function<void()> task) {
    if (!workers) return;
    asio::post(*workers, [task = std::move(task)] {
      try {
        task();
      } catch (const std::exception&) {
      }
    });
  }
  // The refusal of a request head, if any: turned away by `admit` (credentials first), or
  // announcing a body over the size limit.
  std::optional<HttpResponse> Check(const Parser& parser, const HttpRequest& request) const {
    if (options.admit) {
      try {
        if (auto refusal = options.admit(request)) return refusal;
      } catch (const std::exception&) {
        return Plain(500, "Internal Server Error");
      }
    }
    if (parser.content_length() && *parser.content_length() > options.maxBodyBytes)
      return Plain(413, "Request Entity Too Large");
    return std::nullopt;
  }
};

namespace {

// The call handed to the handler: answers go to its connection.
class Call : public HttpCall {
 public:
  Call(std::shared_ptr<ConnectionBase> connection, HttpRequest request)
      : connection_(std::move(connection)), request_(std::move(request)) {}
  const HttpRequest& Request() const override { return request_; }
  void Reply(HttpResponse response, Delivery delivery) override {
    if (!answered_.exchange(true)) connection_->Answer(std::move(response), delivery);
  }
  std::shared_ptr<HttpStream> StartStream(HttpResponse head) override {
    if (answered_.exchange(true)) return nullptr;
    return connection_->OpenStream(std::move(head));
  }
  void After(std::chrono::milliseconds delay, std::function<void()> next) override {
    connection_->After(delay, std::move(next));
  }

 private:
  std::shared_ptr<ConnectionBase> connection_;
  HttpRequest request_;
  std::atomic<bool> answered_{false};
};

template <class Socket>
class Connection : public ConnectionBase {
 public:
  template <class... Args>
  Connection(Transport::Impl& transport, std::uint64_t id, std::string remote, Args&&... args)
      : transport_(transport),
        options_(transport.options),
        id_(id),
        remote_(std::move(remote)),
        stream_(std::forward<Args>(args)...),
        timer_(stream_.get_executor()) {}
  ~Connection() override {
    if (streamState_) streamState_->MarkClosed();
    transport_.Forget(id_);
  }

  void Start() override {
    auto self = Self();
    if constexpr (kTls) {
      Tcp().expires_after(options_.headerTimeout);
      stream_.async_handshake(asio::ssl::stream_base::server, [self](beast::error_code ec) {
        if (ec) return self->Close();
        self->WaitRequest(true);
      });
    } else {
      WaitRequest(true);
    }
  }

  void Answer(HttpResponse response, Delivery delivery) override {
    asio::post(stream_.get_executor(),
               [self = Self(), response = std::move(response), delivery]() mutable {
                 self->Send(std::move(response), delivery);
               });
  }

  std::shared_ptr<HttpStream> OpenStream(HttpResponse head) override {
    auto state = std::make_shared<StreamState>(weak_from_this());
    asio::post(stream_.get_executor(), [self = Self(), state, head = std::move(head)]() mutable {
      self->BeginStream(state, std::move(head));
    });
    return state;
  }

  void After(std::chrono::milliseconds delay, std::function<void()> next) override {
    asio::post(stream_.get_executor(), [self = Self(), delay, next = std::move(next)]() mutable {
      if (self->closed_) return;
      self->timer_.expires_after(delay);
      self->timer_.async_wait([self, next = std::move(next)](beast::error_code ec) mutable {
        if (!ec && !self->closed_) self->transport_.Work(std::move(next));
      });
    });
  }

  void StreamPiece(std::string piece) override {
    asio::post(stream_.get_executor(), [self = Self(), piece = std::move(piece)]() mutable {
      if (self->closed_ || self->streamEnded_) return;
      self->Queue(Chunk(piece));
    });
  }

  void StreamEnd() override {
    asio::post(stream_.get_executor(), [self = Self()] {
      if (self->closed_ || self->streamEnded_) return;
      self->streamEnded_ = true;
      self->Queue("0\r\n\r\n");
    });
  }

  void StreamAbort() override {
    asio::post(stream_.get_executor(), [self = Self()] {
      if (self->closed_ || self->streamEnded_) return;
      self->streamEnded_ = self->streamAborted_ = true;
      if (!self->writing_ && self->pending_.empty()) self->Close();
    });
  }

  void Shutdown() override {
    asio::post(stream_.get_executor(), [self = Self()] { self->Close(); });
  }

  void AbandonStream() override {
    if (streamState_) streamState_->MarkClosed();
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Socket, beast::tcp_stream>;

  std::shared_ptr<Connection> Self() {
    return std::static_pointer_cast<Connection>(shared_from_this());
  }
  beast::tcp_stream& Tcp() { return beast::get_lowest_layer(stream_); }

  // Waits for the first byte of the next request: the keep-alive time between requests, the
  // header time for a new connection's first.
  void WaitRequest(bool first) {
    if (closed_ || transport_.stopping) return Close();
    if (buffer_.size() > 0) return ReadHeader();
    Tcp().expires_after(first ? options_.headerTimeout : options_.keepAlive);
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = Self()](beast::error_code ec, std::size_t n) {
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadHeader();
                            });
  }

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(options_.maxHeaderBytes));
    parser_->body_limit(kNoLimit);  // the declared size is checked once the head is in
    Tcp().expires_after(options_.headerTimeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = Self()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec == http::error::header_limit) return Refuse(Plain(431, ""));
    if (ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message)
      return Refuse(Plain(400, "Bad Request"));
    if (ec) return Close();
    keepAlive_ = parser_->get().keep_alive();
    request_ = RequestOf(*parser_, kTls, remote_);
    const bool hasBody = parser_->chunked() || parser_->content_length().value_or(0) > 0;
    if (auto refusal = transport_.Check(*parser_, request_)) {
      if (hasBody) return Refuse(std::move(*refusal));
      return Send(std::move(*refusal), {});
    }
    parser_->body_limit(options_.maxBodyBytes);
    const auto expect = parser_->get()[http::field::expect];
    if (hasBody && EqualsNoCase(std::string_view(expect.data(), expect.size()), "100-continue")) {
      out_ = "HTTP/1.1 100 Continue\r\n\r\n";
      Tcp().expires_after(options_.bodyTimeout);
      asio::async_write(stream_, asio::buffer(out_),
                        [self = Self()](beast::error_code ec, std::size_t) {
                          if (ec) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    Tcp().expires_after(options_.bodyTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = Self()](beast::error_code ec, std::size_t) { self->OnBody(ec); });
  }

  void OnBody(beast::error_code ec) {
    if (ec == http::error::body_limit) return Refuse(Plain(413, "Request Entity Too Large"));
    if (ec) return Close();
    TakeBody(*parser_, request_);
    parser_.reset();
    Tcp().expires_never();
    auto call = std::make_shared<Call>(shared_from_this(), std::move(request_));
    transport_.Work([&transport = transport_, call] { transport.Run(call); });
  }

  // Answers and closes, without reading the body.
  void Refuse(HttpResponse response) {
    keepAlive_ = false;
    Send(std::move(response), {});
  }

  void Send(HttpResponse response, Delivery delivery) {
    if (closed_) return;
    if (delivery.kind == Delivery::Kind::Drop) return Close();
    std::string head = Head(response, response.body.size(), keepAlive_, false);
    const bool truncate = delivery.kind == Delivery::Kind::Truncate;
    if (delivery.kind == Delivery::Kind::Drip) {
      out_ = std::move(head);
      drip_ = std::move(response.body);
      dripAt_ = 0;
      dripInterval_ = std::chrono::milliseconds(std::max(1, delivery.intervalMs));
    } else {
      out_ = std::move(head);
      out_.append(response.body, 0,
                  truncate ? std::min(delivery.bytes, response.body.size()) : std::string::npos);
    }
    Tcp().expires_after(options_.bodyTimeout);
    asio::async_write(stream_, asio::buffer(out_),
                      [self = Self(), truncate](beast::error_code ec, std::size_t) {
                        if (ec || truncate) return self->Close();
                        if (self->dripAt_ < self->drip_.size()) return self->Drip();
                        self->Done();
                      });
  }

  void Drip() {
    if (dripAt_ >= drip_.size()) return Done();
    timer_.expires_after(dripInterval_);
    timer_.async_wait([self = Self()](beast::error_code ec) {
      if (ec || self->closed_ || self->transport_.stopping) return self->Close();
      self->out_.assign(1, self->drip_[self->dripAt_++]);
      self->Tcp().expires_after(self->options_.bodyTimeout);
      asio::async_write(self->stream_, asio::buffer(self->out_),
                        [self](beast::error_code ec, std::size_t) {
                          if (ec) return self->Close();
                          self->Drip();
                        });
    });
  }

  // The answer is out: the next request, or the end.
  void Done() {
    drip_.clear();
    dripAt_ = 0;
    if (keepAlive_ && !transport_.stopping) return WaitRequest(false);
    Linger();
  }

  // Closes our side, reads and drops what the client still sends for a while, then closes.
  void Linger() {
    beast::error_code ignored;
    Tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
    Tcp().expires_after(kLingerTime);
    scratch_.resize(16384);
    LingerRead();
  }

  void LingerRead() {
    Tcp().async_read_some(asio::buffer(scratch_),
                          [self = Self()](beast::error_code ec, std::size_t n) {
                            self->lingered_ += n;
                            if (ec || self->lingered_ > kLingerBytes) return self->Close();
                            self->LingerRead();
                          });
  }

  // ---- streams

  void BeginStream(std::shared_ptr<StreamState> state, HttpResponse head) {
    if (closed_) return state->MarkClosed();
    streamState_ = std::move(state);
    streamEnded_ = streamAborted_ = false;
    Tcp().expires_never();  // a stream lasts as long as its producer wants
    Queue(Head(head, 0, keepAlive_, true));
    Watch();
  }

  // Reads while the stream runs, to learn when the client goes away; anything the client sends
  // meanwhile is kept for its next request.
  void Watch() {
    watching_ = true;
    stream_.async_read_some(buffer_.prepare(4096),
                            [self = Self()](beast::error_code ec, std::size_t n) {
                              self->watching_ = false;
                              if (ec == asio::error::operation_aborted && self->resume_) {
                                self->resume_ = false;
                                return self->WaitRequest(false);
                              }
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              if (!self->streamState_) return self->WaitRequest(false);
                              if (self->buffer_.size() < 65536) self->Watch();
                            });
  }

  void Queue(std::string bytes) {
    pending_ += bytes;
    if (pending_.size() > kMaxStreamBacklog) return Close();
    Flush();
  }

  void Flush() {
    if (writing_ || pending_.empty() || closed_) return;
    writing_ = true;
    out_ = std::move(pending_);
    pending_.clear();
    asio::async_write(stream_, asio::buffer(out_),
                      [self = Self()](beast::error_code ec, std::size_t) {
                        self->writing_ = false;
                        if (ec) return self->Close();
                        if (!self->pending_.empty()) return self->Flush();
                        if (self->streamAborted_) return self->Close();
                        if (self->streamEnded_ && self->streamState_) self->EndStream();
                      });
  }

  void EndStream() {
    streamState_->MarkClosed();
    streamState_.reset();
    if (!keepAlive_ || transport_.stopping) return Close();
    if (!watching_) return WaitRequest(false);
    // No write is pending now: cancelling ends only the watch's read, which then goes on to
    // the next request.
    resume_ = true;
    beast::error_code ignored;
    Tcp().socket().cancel(ignored);
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    timer_.cancel();
    if (streamState_) streamState_->MarkClosed();
    beast::error_code ignored;
    Tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Tcp().close();
  }

  Transport::Impl& transport_;
  const TransportOptions& options_;
  std::uint64_t id_;
  std::string remote_;
  Socket stream_;
  asio::steady_timer timer_;
  beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  HttpRequest request_;
  bool keepAlive_ = true;
  bool closed_ = false;
  std::string out_;
  std::string drip_;
  std::size_t dripAt_ = 0;
  std::chrono::milliseconds dripInterval_{1};
  std::string scratch_;
  std::size_t lingered_ = 0;
  std::shared_ptr<StreamState> streamState_;
  bool streamEnded_ = false;
  bool streamAborted_ = false;  // the stream breaks the connection once flushed
  bool writing_ = false;
  bool watching_ = false;
  bool resume_ = false;
  std::string pending_;
};

}  // namespace

void Transport::Impl::Accept() {
  acceptor->async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
    if (stopping || !acceptor->is_open()) return;
    if (ec && ec != asio::error::operation_aborted) {
      // Out of descriptors or memory: try again a little later rather than spin.
      acceptPause->expires_after(std::chrono::milliseconds(50));
      acceptPause->async_wait([this](beast::error_code) {
        if (!stopping) Accept();
      });
      return;
    }
    if (!ec) {
      beast::error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      const auto peer = socket.remote_endpoint(ignored);
      std::string remote = ignored ? std::string() : peer.address().to_string();
      std::shared_ptr<ConnectionBase> connection;
      std::lock_guard<std::mutex> lock(connectionsLock);
      const std::uint64_t id = nextConnection++;
      if (ssl)
        connection = std::make_shared<Connection<beast::ssl_stream<beast::tcp_stream>>>(
            *this, id, std::move(remote), std::move(socket), *ssl);
      else
        connection = std::make_shared<Connection<beast::tcp_stream>>(*this, id, std::move(remote),
                                                                     std::move(socket));
      connections[id] = connection;
      connection->Start();
    }
    Accept();
  });
}

Transport::Transport(TransportOptions options)
    : impl_(std::make_shared<Impl>(std::move(options))) {}

Transport::~Transport() {
  Stop();
}

int Transport::Port() const {
  return impl_->port;
}

void Transport::Start() {
  Impl& t = *impl_;
  if (t.options.certificate) {
    t.ssl.emplace(asio::ssl::context::tls_server);
    SSL_CTX* ctx = t.ssl->native_handle();
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate(ctx, static_cast<X509*>(t.options.certificate)) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, static_cast<EVP_PKEY*>(t.options.privateKey)) != 1)
      throw std::runtime_error("cannot use the certificate and its key");
  }
  const std::string where =
      (t.options.host.find(':') != std::string::npos ? "[" + t.options.host + "]"
                                                     : t.options.host) +
      ":" + std::to_string(t.options.port);
  beast::error_code ec;
  tcp::resolver resolver(t.io);
  auto endpoints = resolver.resolve(t.options.host, std::to_string(t.options.port),
                                    tcp::resolver::passive | tcp::resolver::numeric_service, ec);
  if (ec || endpoints.empty())
    throw std::runtime_error("cannot listen on " + where + ": " +
                             (ec ? ec.message() : std::string("no address")));
  const tcp::endpoint endpoint = endpoints.begin()->endpoint();
  t.acceptor.emplace(asio::make_strand(t.io));  // its handlers and its closing never overlap
  t.acceptPause.emplace(t.acceptor->get_executor());
  // SO_REUSEADDR only: a restart may bind while old connections linger in TIME_WAIT, but no
  // second server can share a port in use (there is no SO_REUSEPORT).
  t.acceptor->open(endpoint.protocol(), ec);
  if (!ec) t.acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) t.acceptor->bind(endpoint, ec);
  if (!ec) t.acceptor->listen(std::max(511, int{asio::socket_base::max_listen_connections}), ec);
  if (ec) {
    t.acceptor.reset();
    throw std::runtime_error("cannot listen on " + where +
                             (ec == asio::error::address_in_use
                                  ? std::string(": the port is in use")
                                  : ": " + ec.message()));
  }
  t.port = t.acceptor->local_endpoint().port();
  t.workers.emplace(static_cast<std::size_t>(std::max(1, t.options.workers)));
  t.Accept();
  for (int i = 0; i < std::max(1, t.options.ioThreads); ++i)
    t.ioThreads.emplace_back([&t] { t.io.run(); });
  t.started = true;
}

void Transport::Stop() {
  Impl& t = *impl_;
  if (!t.started) return;
  t.started = false;
  t.stopping = true;
  asio::post(t.acceptor->get_executor(), [&t] {
    beast::error_code ignored;
    if (t.acceptor) t.acceptor->close(ignored);
    if (t.acceptPause) t.acceptPause->cancel();
  });
  for (const auto& connection : t.Open())
    connection->Shutdown();
  // Closing every connection leaves the I/O threads without work; a connection still running
  // past the deadline is cut off.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!t.io.stopped() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  t.io.stop();
  for (auto& thread : t.ioThreads)
    thread.join();
  t.ioThreads.clear();
  for (const auto& connection : t.Open())
    connection->AbandonStream();
  if (t.workers) t.workers->join();
}

// ---------------------------------------------------------------- without a socket

namespace {

class CapturedCall : public HttpCall {
 public:
  explicit CapturedCall(HttpRequest request) : request_(std::move(request)) {}
  const HttpRequest& Request() const override { return request_; }
  void Reply(HttpResponse response, Delivery) override {
    if (!status) status = response.status;
  }
  std::shared_ptr<HttpStream> StartStream(HttpResponse head) override {
    if (!status) status = head.status;
    auto state = std::make_shared<StreamState>(std::weak_ptr<ConnectionBase>());
    state->MarkClosed();
    return state;
  }
  void After(std::chrono::milliseconds, std::function<void()> next) override { next(); }
  int status = 0;

 private:
  HttpRequest request_;
};

}  // namespace

int Transport::ServeBytes(std::string_view bytes) {
  Impl& t = *impl_;
  Parser parser;
  parser.header_limit(static_cast<std::uint32_t>(t.options.maxHeaderBytes));
  parser.body_limit(kNoLimit);
  asio::const_buffer input(bytes.data(), bytes.size());
  beast::error_code ec;
  // Feeds the parser until `done` says the wanted part is in; false on an error or too few bytes.
  auto feed = [&](auto done) {
    while (!done()) {
      const std::size_t used = parser.put(input, ec);
      input += used;
      if (ec == http::error::need_more && input.size() > 0 && used > 0) {
        ec = {};
        continue;
      }
      if (ec || used == 0) return false;
    }
    return true;
  };
  if (!feed([&] { return parser.is_header_done(); })) {
    return ec == http::error::header_limit ? 431 : ec && ec != http::error::need_more ? 400 : 0;
  }
  HttpRequest request = RequestOf(parser, false, "127.0.0.1");
  if (auto refusal = t.Check(parser, request)) return refusal->status;
  parser.body_limit(t.options.maxBodyBytes);
  if (!feed([&] { return parser.is_done(); })) return ec == http::error::body_limit ? 413 : 0;
  TakeBody(parser, request);
  auto call = std::make_shared<CapturedCall>(std::move(request));
  t.Run(call);
  return call->status;
}

}  // namespace ewssim
