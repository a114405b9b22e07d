// Loopback servers for the HTTP layer's tests: cpp-httplib on 127.0.0.1 (plain or TLS), and
// certificates made on the fly with OpenSSL.
#pragma once

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "test_helpers.h"

namespace httptest {

// A loopback port nobody listens on (bound once, then released).
inline int UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

using TempDir = ews_test::TempDir;

struct CertFiles {
  std::string Cert;
  std::string Key;
  EVP_PKEY* PKey = nullptr;  // kept to sign other certificates
  X509* X = nullptr;
};

struct CertOptions {
  std::string CommonName = "localhost";
  std::string SubjectAltName = "DNS:localhost,IP:127.0.0.1";
  long NotBeforeDays = -1;
  long NotAfterDays = 30;
  bool CA = false;
  std::string ExtendedKeyUsage = "serverAuth";  // empty: none
};

inline void AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) throw std::runtime_error("bad certificate extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// Makes a certificate (self-signed when issuer is null) and writes it and its key as PEM files.
// The returned objects live as long as the process (test certificates are few).
inline CertFiles MakeCert(const TempDir& dir, const std::string& name, const CertOptions& o,
                          const CertFiles* issuer = nullptr) {
  static long serial = 1;
  CertFiles f;
  f.PKey = EVP_EC_gen("P-256");
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  X509_gmtime_adj(X509_getm_notBefore(x), o.NotBeforeDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(x), o.NotAfterDays * 86400);
  X509_set_pubkey(x, f.PKey);
  X509_NAME* subject = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(o.CommonName.c_str()), -1, -1,
                             0);
  X509* issuerCert = issuer ? issuer->X : x;
  X509_set_issuer_name(x, X509_get_subject_name(issuerCert));
  if (o.CA) {
    AddExt(x, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(x, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
  } else {
    AddExt(x, issuerCert, NID_basic_constraints, "CA:FALSE");
    if (!o.SubjectAltName.empty()) AddExt(x, issuerCert, NID_subject_alt_name, o.SubjectAltName);
    if (!o.ExtendedKeyUsage.empty()) AddExt(x, issuerCert, NID_ext_key_usage, o.ExtendedKeyUsage);
  }
  X509_sign(x, issuer ? issuer->PKey : f.PKey, EVP_sha256());
  f.X = x;
  f.Cert = dir.File(name + ".crt");
  f.Key = dir.File(name + ".key");
  FILE* c = std::fopen(f.Cert.c_str(), "w");
  PEM_write_X509(c, x);
  std::fclose(c);
  FILE* k = std::fopen(f.Key.c_str(), "w");
  PEM_write_PrivateKey(k, f.PKey, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(k);
  return f;
}

// A cpp-httplib server on a free loopback port, run on its own thread. Handlers that wait should
// poll Released() so that the server can stop.
class Server {
 public:
  Server() : server_(std::make_unique<httplib::Server>()) {}
  Server(const std::string& cert, const std::string& key)
      : server_(std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str())), tls_(true) {}
  ~Server() { Stop(); }

  httplib::Server& Http() { return *server_; }

  void Start() {
    server_->set_keep_alive_timeout(1);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int i = 0; i < 500 && !server_->is_running(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  void Stop() {
    released_ = true;
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }
  int Port() const { return port_; }
  std::string URL(const std::string& path = "/") const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
  }
  bool Released() const { return released_.load(); }
  // Sleeps up to ms milliseconds, less when the server is stopping.
  void Wait(int ms) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!released_ && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  bool tls_ = false;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> released_{false};
};

}  // namespace httptest
