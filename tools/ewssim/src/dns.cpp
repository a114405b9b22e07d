// A minimal DNS server over UDP for the autodiscover service record (RFC 1035 messages, RFC 2782
// SRV records). One question per query; anything but a configured
// "_autodiscover._tcp.<domain>" SRV question is answered NXDOMAIN.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "autodiscover.h"
#include "util.h"

namespace ewssim {

namespace {

constexpr int kTypeSrv = 33;
constexpr int kClassIn = 1;

void Put16(std::string& out, unsigned value) {
  out += static_cast<char>((value >> 8) & 0xFF);
  out += static_cast<char>(value & 0xFF);
}

// A name in the wire form: length-prefixed labels, then the root's zero.
std::string WireName(const std::string& name) {
  std::string out;
  std::size_t start = 0;
  while (start < name.size()) {
    std::size_t end = name.find('.', start);
    if (end == std::string::npos) end = name.size();
    const std::size_t length = std::min<std::size_t>(end - start, 63);
    if (length > 0) {
      out += static_cast<char>(length);
      out.append(name, start, length);
    }
    start = end + 1;
  }
  out += '\0';
  return out;
}

}  // namespace

std::string DnsServer::Answer(const AutodiscoverConfig& config, const std::string& query) {
  if (query.size() < 12) return {};
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(query[i]); };
  const unsigned flags = (byte(2) << 8) | byte(3);
  const unsigned questions = (byte(4) << 8) | byte(5);
  if ((flags & 0x8000) != 0 || questions != 1) return {};
  // The question's name (no compression in a question of a query).
  std::string name;
  std::size_t pos = 12;
  while (true) {
    if (pos >= query.size()) return {};
    const unsigned length = byte(pos);
    if (length == 0) break;
    if (length > 63 || pos + 1 + length > query.size()) return {};
    if (!name.empty()) name += '.';
    name.append(query, pos + 1, length);
    pos += 1 + length;
  }
  ++pos;
  if (pos + 4 > query.size()) return {};
  const unsigned type = (byte(pos) << 8) | byte(pos + 1);
  const unsigned klass = (byte(pos + 2) << 8) | byte(pos + 3);
  const std::string question = query.substr(12, pos + 4 - 12);

  const SrvRecordConfig* record = nullptr;
  const std::string prefix = "_autodiscover._tcp.";
  if (type == kTypeSrv && klass == kClassIn && name.size() > prefix.size() &&
      EqualsNoCase(name.substr(0, prefix.size()), prefix)) {
    const std::string domain = name.substr(prefix.size());
    for (const auto& [d, r] : config.srv)
      if (EqualsNoCase(d, domain)) record = &r;
  }
  std::string out = query.substr(0, 2);  // the id
  // A response, authoritative, the query's recursion-desired bit; NXDOMAIN without a record.
  Put16(out, 0x8400 | (flags & 0x0100) | (record ? 0 : 3));
  Put16(out, 1);
  Put16(out, record ? 1 : 0);
  Put16(out, 0);
  Put16(out, 0);
  out += question;
  if (record) {
    const std::string target = WireName(record->target);
    Put16(out, 0xC00C);  // the question's name
    Put16(out, kTypeSrv);
    Put16(out, kClassIn);
    Put16(out, 0);
    Put16(out, 300);  // TTL
    Put16(out, static_cast<unsigned>(6 + target.size()));
    Put16(out, static_cast<unsigned>(record->priority));
    Put16(out, static_cast<unsigned>(record->weight));
    Put16(out, static_cast<unsigned>(record->port));
    out += target;
  }
  return out;
}

void DnsServer::Start(const std::string& listen) {
  std::string host;
  int port = 0;
  ParseListen(listen, host, port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("dns: \"" + host + "\" is not an IPv4 address");
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error(std::string("dns: ") + std::strerror(errno));
  if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int error = errno;
    close(fd_);
    fd_ = -1;
    throw std::runtime_error("dns: cannot listen on " + listen + ": " + std::strerror(error));
  }
  socklen_t length = sizeof addr;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  stop_ = false;
  thread_ = std::thread([this] {
    char buffer[512];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      sockaddr_in from{};
      socklen_t fromLength = sizeof from;
      const ssize_t n =
          recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (n <= 0) continue;
      const std::string answer = Answer(cfg_, std::string(buffer, static_cast<std::size_t>(n)));
      if (!answer.empty())
        sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
               fromLength);
    }
  });
}

void DnsServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  port_ = 0;
}

}  // namespace ewssim
