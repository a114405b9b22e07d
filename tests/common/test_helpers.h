// Small helpers for any test binary (header only: no link dependencies).
#pragma once

#include <cstdlib>
#include <exception>
#include <functional>
#include <string>

namespace ews_test {

// The message of what f throws, or "(nothing thrown)".
inline std::string ThrownMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// Sets TZ for the lifetime of the object and puts the old value back.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
      old_ = old;
      had_ = true;
    }
    setenv("TZ", zone, 1);
  }
  ~ScopedTZ() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
  }
  ScopedTZ(const ScopedTZ&) = delete;
  ScopedTZ& operator=(const ScopedTZ&) = delete;

 private:
  std::string old_;
  bool had_ = false;
};

}  // namespace ews_test
