// Small helpers for any test binary (header only: no link dependencies).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

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

// The EWS message and type namespaces bound to m: and t:, to go into a start tag:
// "<m:CreateItem" + kEwsNs + ">".
inline constexpr const char* kEwsNs =
    " xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\""
    " xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"";

// Base64 written here rather than taken from the library, so that a test comparing the two
// catches a fault on either side. Padded with '='; with `url`, the URL-safe alphabet unpadded.
inline std::string Base64Encode(std::string_view data, bool url = false) {
  const char* t = url ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                      : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  unsigned bits = 0;
  int count = 0;
  for (unsigned char c : data) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6)
      r += t[(bits >> (count -= 6)) & 63];
  }
  if (count > 0) r += t[(bits << (6 - count)) & 63];
  while (!url && r.size() % 4 != 0)
    r += '=';
  return r;
}

// Decodes standard Base64 up to the first character outside the alphabet ('=' included).
inline std::string Base64Decode(std::string_view text) {
  const std::string_view t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string r;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    const auto p = t.find(c);
    if (p == std::string_view::npos) break;
    bits = (bits << 6) | static_cast<unsigned>(p);
    count += 6;
    if (count >= 8) r += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return r;
}

// A loopback port nothing listens on (bound once, then closed).
inline int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t length = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  close(fd);
  return ntohs(addr.sin_port);
}

// The whole content of a file, or "" when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A private temporary folder, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "dvews-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

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
