// AES-256-GCM data protection with per-user and per-machine key files.
#include "DvDataProtection.h"

#include "DvUtils.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace dv {

namespace {

constexpr std::uint8_t kMagic[4] = {'D', 'V', 'D', 'P'};
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kKeyIdSize = 8;
constexpr std::size_t kNonceSize = 12;
constexpr std::size_t kTagSize = 16;
constexpr std::size_t kHeaderSize = 4 + 1 + 1 + kKeyIdSize + kNonceSize;

using Key = std::array<std::uint8_t, 32>;

// Wipes the key when it goes out of scope.
struct KeyHolder {
  Key key{};
  ~KeyHolder() { OPENSSL_cleanse(key.data(), key.size()); }
};

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return home;
  if (passwd* pw = getpwuid(geteuid())) return pw->pw_dir;
  throw EDvDataProtectionException("Cannot find the home folder for the user's key");
}

std::string ScopeName(bool machine) {
  return machine ? "machine" : "user";
}

void MakeFolders(const std::string& folder) {
  std::string path;
  for (std::size_t i = 0; i <= folder.size(); ++i) {
    if (i == folder.size() || (folder[i] == '/' && i > 0)) {
      path = folder.substr(0, i);
      if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw EDvDataProtectionException("Cannot create the key folder \"" + path +
                                         "\": " + std::strerror(errno));
    }
  }
}

bool ReadKeyFile(const std::string& file, Key& key) {
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    throw EDvDataProtectionException("Cannot read the key file \"" + file +
                                     "\": " + std::strerror(errno));
  }
  struct stat st {};
  fstat(fd, &st);
  if (!S_ISREG(st.st_mode) || (st.st_mode & 077) != 0 || st.st_uid != geteuid()) {
    close(fd);
    throw EDvDataProtectionException("The key file \"" + file +
                                     "\" may be read by others than its owner; refused");
  }
  ssize_t n = read(fd, key.data(), key.size());
  close(fd);
  if (n != static_cast<ssize_t>(key.size()))
    throw EDvDataProtectionException("The key file \"" + file + "\" is damaged");
  return true;
}

// Reads the scope's key, making it first when create is set and there is none.
void LoadKey(bool machine, bool create, Key& key) {
  std::string folder = TDvDataProtection::KeyFolder(machine);
  std::string file = folder + "/" + ScopeName(machine) + ".key";
  if (ReadKeyFile(file, key)) return;
  if (!create)
    throw EDvDataProtectionException("The data was protected with another " + ScopeName(machine) +
                                     " key (another user or machine): there is no " +
                                     ScopeName(machine) + " key here");
  MakeFolders(folder);
  if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1)
    throw EDvDataProtectionException("Cannot generate a key");
  // Written under a private name, then linked into place, so that a concurrent first use reads
  // either no key or a whole one.
  std::string temp = file + ".tmp" + std::to_string(getpid()) + "-" +
                     std::to_string(reinterpret_cast<std::uintptr_t>(&key));
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw EDvDataProtectionException("Cannot create the key file in \"" + folder +
                                     "\": " + std::strerror(errno));
  bool written = write(fd, key.data(), key.size()) == static_cast<ssize_t>(key.size());
  written = fsync(fd) == 0 && written;
  close(fd);
  int linked = written ? link(temp.c_str(), file.c_str()) : -1;
  int linkError = errno;
  unlink(temp.c_str());
  if (!written) throw EDvDataProtectionException("Cannot write the key file \"" + file + "\"");
  if (linked != 0) {
    if (linkError == EEXIST && ReadKeyFile(file, key)) return;  // made by someone else meanwhile
    throw EDvDataProtectionException("Cannot create the key file \"" + file +
                                     "\": " + std::strerror(linkError));
  }
}

void KeyId(const Key& key, std::uint8_t* out) {
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  static const char label[] = "dvews key id";
  std::array<std::uint8_t, sizeof label + 32> buf{};
  std::memcpy(buf.data(), label, sizeof label);
  std::memcpy(buf.data() + sizeof label, key.data(), key.size());
  SHA256(buf.data(), buf.size(), digest);
  OPENSSL_cleanse(buf.data(), buf.size());
  std::memcpy(out, digest, kKeyIdSize);
}

struct CipherCtx {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ~CipherCtx() { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

std::string TDvDataProtection::KeyFolder(bool machineScope) {
  if (machineScope) {
    std::string dir = Env("DVEWS_MACHINE_KEY_DIR");
    return dir.empty() ? std::string("/var/lib/dvews") : dir;
  }
  std::string dir = Env("DVEWS_USER_KEY_DIR");
  if (!dir.empty()) return dir;
  std::string config = Env("XDG_CONFIG_HOME");
  if (config.empty()) config = HomeFolder() + "/.config";
  return config + "/dvews";
}

TBytes TDvDataProtection::Encrypt(const TBytes& data, bool machineScope, const TBytes& entropy) {
  KeyHolder k;
  LoadKey(machineScope, true, k.key);
  TBytes out(kHeaderSize + data.size() + kTagSize);
  std::memcpy(out.data(), kMagic, 4);
  out[4] = kVersion;
  out[5] = machineScope ? 1 : 0;
  KeyId(k.key, out.data() + 6);
  std::uint8_t* nonce = out.data() + 6 + kKeyIdSize;
  if (RAND_bytes(nonce, kNonceSize) != 1) throw EDvDataProtectionException("No random nonce");

  CipherCtx c;
  int len = 0;
  bool ok = c.ctx && EVP_EncryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
            EVP_EncryptInit_ex(c.ctx, nullptr, nullptr, k.key.data(), nonce) == 1 &&
            EVP_EncryptUpdate(c.ctx, nullptr, &len, out.data(), kHeaderSize) == 1 &&
            (entropy.empty() || EVP_EncryptUpdate(c.ctx, nullptr, &len, entropy.data(),
                                                  static_cast<int>(entropy.size())) == 1) &&
            (data.empty() || EVP_EncryptUpdate(c.ctx, out.data() + kHeaderSize, &len, data.data(),
                                               static_cast<int>(data.size())) == 1) &&
            EVP_EncryptFinal_ex(c.ctx, out.data() + kHeaderSize + data.size(), &len) == 1 &&
            EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_GET_TAG, kTagSize,
                                out.data() + kHeaderSize + data.size()) == 1;
  if (!ok) throw EDvDataProtectionException("Encryption failed");
  return out;
}

TBytes TDvDataProtection::Decrypt(const TBytes& data, const TBytes& entropy, bool* machineScope) {
  if (data.size() < kHeaderSize + kTagSize || std::memcmp(data.data(), kMagic, 4) != 0)
    throw EDvDataProtectionException("The data is not protected data (or is damaged)");
  if (data[4] != kVersion)
    throw EDvDataProtectionException("The protected data has an unknown version");
  if (data[5] > 1) throw EDvDataProtectionException("The protected data is damaged");
  bool machine = data[5] == 1;
  KeyHolder k;
  LoadKey(machine, false, k.key);
  std::uint8_t id[kKeyIdSize];
  KeyId(k.key, id);
  if (std::memcmp(id, data.data() + 6, kKeyIdSize) != 0)
    throw EDvDataProtectionException("The data was protected with another " + ScopeName(machine) +
                                     " key (another user or machine) and cannot be read here");
  const std::uint8_t* nonce = data.data() + 6 + kKeyIdSize;
  std::size_t size = data.size() - kHeaderSize - kTagSize;
  TBytes out(size);
  std::array<std::uint8_t, kTagSize> tag;
  std::memcpy(tag.data(), data.data() + kHeaderSize + size, kTagSize);

  CipherCtx c;
  int len = 0;
  bool ok = c.ctx && EVP_DecryptInit_ex(c.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceSize, nullptr) == 1 &&
            EVP_DecryptInit_ex(c.ctx, nullptr, nullptr, k.key.data(), nonce) == 1 &&
            EVP_DecryptUpdate(c.ctx, nullptr, &len, data.data(), kHeaderSize) == 1 &&
            (entropy.empty() || EVP_DecryptUpdate(c.ctx, nullptr, &len, entropy.data(),
                                                  static_cast<int>(entropy.size())) == 1) &&
            (size == 0 || EVP_DecryptUpdate(c.ctx, out.data(), &len, data.data() + kHeaderSize,
                                            static_cast<int>(size)) == 1) &&
            EVP_CIPHER_CTX_ctrl(c.ctx, EVP_CTRL_GCM_SET_TAG, kTagSize, tag.data()) == 1;
  std::uint8_t final[16];
  if (!ok || EVP_DecryptFinal_ex(c.ctx, final, &len) != 1) {
    OPENSSL_cleanse(out.data(), out.size());
    throw EDvDataProtectionException("The protected data is damaged or was tampered with");
  }
  if (machineScope) *machineScope = machine;
  return out;
}

TBytes TDvDataProtection::StringToBytes(const std::string& text, bool wide) {
  if (!wide) return TBytes(text.begin(), text.end());
  TBytes out;
  out.reserve(text.size() * 2);
  auto put = [&out](std::uint32_t unit) {
    out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    out.push_back(static_cast<std::uint8_t>(unit >> 8));
  };
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<std::uint8_t>(text[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 1) {
      cp = b;
    } else if (n > 1 && i + n <= text.size()) {
      cp = b & (0x7F >> n);
      for (std::size_t k = 1; k < n; ++k) {
        auto c = static_cast<std::uint8_t>(text[i + k]);
        if ((c >> 6) != 2) {
          cp = 0xFFFD;
          n = k;
          break;
        }
        cp = (cp << 6) | (c & 0x3F);
      }
    } else {
      n = 1;
    }
    i += n;
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp > 0x10FFFF ? 0xFFFD : cp);
    }
  }
  return out;
}

std::string TDvDataProtection::BytesToString(const TBytes& bytes, bool wide) {
  if (!wide) return std::string(bytes.begin(), bytes.end());
  std::string out;
  auto append = [&out](std::uint32_t cp) { DvAppendUTF8(out, cp); };
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t u = bytes[i] | (std::uint32_t(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      std::uint32_t low = bytes[i + 2] | (std::uint32_t(bytes[i + 3]) << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        append(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    append(u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
  }
  return out;
}

}  // namespace dv
