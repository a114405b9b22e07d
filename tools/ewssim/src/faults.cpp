// Fault injection and throttling.
#include "faults.h"

#include <algorithm>

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

}  // namespace ewssim
