// Fault injection and throttling.
#include "faults.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <thread>

namespace ewssim {

void FaultInjector::Set(std::vector<FaultRule> rules, std::uint64_t seed) {
  std::lock_guard<std::mutex> lock(lock_);
  rules_.clear();
  for (auto& r : rules)
    rules_.push_back({std::move(r)});
  random_.seed(seed);
}

std::optional<FaultRule> FaultInjector::Next(const std::string& operation) {
  std::lock_guard<std::mutex> lock(lock_);
  ++counts_[operation];
  ++total_;
  for (Rule& r : rules_) {
    if (!r.rule.operation.empty() && r.rule.operation != operation) continue;
    ++r.matched;
    if (r.rule.count >= 0 && r.fired >= r.rule.count) continue;
    bool fires;
    if (r.rule.everyNth > 0) {
      fires = r.matched % r.rule.everyNth == 0;
    } else if (r.rule.probability > 0) {
      fires = std::uniform_real_distribution<double>(0, 1)(random_) < r.rule.probability;
    } else {
      fires = true;
    }
    if (!fires) continue;
    ++r.fired;
    return r.rule;
  }
  return std::nullopt;
}

long FaultInjector::Count(const std::string& operation) const {
  std::lock_guard<std::mutex> lock(lock_);
  if (operation.empty()) return total_;
  auto it = counts_.find(operation);
  return it == counts_.end() ? 0 : it->second;
}

std::optional<int> Throttle::Admit(const std::string& user, const ThrottlingConfig& limits) {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(lock_);
  State& s = users_[user];
  const auto window = std::chrono::seconds(limits.windowSeconds);
  while (!s.recent.empty() && now - s.recent.front() >= window)
    s.recent.pop_front();
  if ((limits.maxConcurrent > 0 && s.running >= limits.maxConcurrent) ||
      (limits.maxRequests > 0 && static_cast<int>(s.recent.size()) >= limits.maxRequests))
    return limits.backoffMs;
  ++s.running;
  s.recent.push_back(now);
  return std::nullopt;
}

void Throttle::Done(const std::string& user) {
  std::lock_guard<std::mutex> lock(lock_);
  --users_[user].running;
}

std::string OperationOf(const std::string& body) {
  // The first element after the SOAP body's start tag.
  std::size_t at = 0;
  for (;;) {
    at = body.find("Body", at);
    if (at == std::string::npos || at == 0) return {};
    const char before = body[at - 1];
    at += 4;
    if ((before == '<' || before == ':') && at < body.size() &&
        (body[at] == '>' || body[at] == ' ' || body[at] == '\t' || body[at] == '\r' ||
         body[at] == '\n'))
      break;
  }
  std::size_t lt = body.find('<', body.find('>', at));
  if (lt == std::string::npos) return {};
  std::size_t end = body.find_first_of(" \t\r\n/>", lt + 1);
  std::string name =
      body.substr(lt + 1, end == std::string::npos ? std::string::npos : end - lt - 1);
  std::size_t colon = name.find(':');
  return colon == std::string::npos ? name : name.substr(colon + 1);
}

namespace {

// The socket of the connection a request came on (found by its two ports), or -1.
int SocketOf(const httplib::Request& req) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int found = -1;
  while (dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (fd <= 2) continue;
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    auto port = [](const sockaddr_storage& a) -> int {
      if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
      if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
      return -1;
    };
    if (port(local) == req.local_port && port(peer) == req.remote_port) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

void ActOutAfter(const FaultRule& rule, const httplib::Request& req, httplib::Response& res,
                 const std::atomic<bool>& stopping) {
  auto body = std::make_shared<std::string>(std::move(res.body));
  res.body.clear();
  const std::string type = res.get_header_value("Content-Type");
  res.headers.erase("Content-Type");
  if (rule.action == "close") {
    // Nothing reaches the client: the write of the answer fails and the server drops the
    // connection.
    const int fd = SocketOf(req);
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
    res.set_content(*body, type.c_str());
    return;
  }
  if (rule.action == "truncate") {
    const std::size_t sent = std::min(body->size(), rule.bytes > 0 ? rule.bytes : body->size() / 2);
    res.set_content_provider(
        body->size(), type.c_str(),
        [body, sent](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          if (offset < sent) sink.write(body->data() + offset, sent - offset);
          return offset < sent;
        });
    return;
  }
  if (rule.action == "drip") {
    const int delay = std::max(1, rule.delayMs);
    res.set_content_provider(
        body->size(), type.c_str(),
        [body, delay, &stopping](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          for (int waited = 0; waited < delay; waited += 10) {
            if (stopping.load()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, delay - waited)));
          }
          return sink.write(body->data() + offset, 1);
        });
  }
}

}  // namespace ewssim
