// Fault injection and throttling: which requests meet a fault, and the per-user budgets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <ewssim/ewssim.h>

namespace ewssim {

// The fault rules with their draws, and the request counts.
class FaultInjector {
 public:
  void Set(std::vector<FaultRule> rules, std::uint64_t seed);
  // Counts a request for `operation` and gives the first rule that fires for it, if any.
  std::optional<FaultRule> Next(const std::string& operation);
  long Count(const std::string& operation) const;

 private:
  struct Rule {
    FaultRule rule;
    long matched = 0;
    long fired = 0;
  };
  mutable std::mutex lock_;
  std::vector<Rule> rules_;
  std::mt19937_64 random_{1};
  std::map<std::string, long> counts_;
  long total_ = 0;
};

// Per-user request budgets.
class Throttle {
 public:
  // Admits a request of `user` under `limits`, or gives the BackOffMilliseconds hint.
  std::optional<int> Admit(const std::string& user, const ThrottlingConfig& limits);
  // Ends an admitted request.
  void Done(const std::string& user);

 private:
  struct State {
    int running = 0;
    std::deque<std::chrono::steady_clock::time_point> recent;
  };
  std::mutex lock_;
  std::map<std::string, State> users_;
};

// The operation's local name in a SOAP request body ("FindItem"), or empty.
std::string OperationOf(const std::string& body);

}  // namespace ewssim
