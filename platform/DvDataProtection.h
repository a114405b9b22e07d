/// @file
/// Protection of stored secrets (passwords, client secrets): AES-256-GCM under a key kept in a
/// file that only its owner can read.
///
/// User scope: the key file "user.key" in $DVEWS_USER_KEY_DIR, else $XDG_CONFIG_HOME/dvews, else
/// ~/.config/dvews. Machine scope: "machine.key" in $DVEWS_MACHINE_KEY_DIR, else /var/lib/dvews
/// (so only the account that owns that folder, normally root or the service's account, can
/// protect or read machine-scope data). A key is made on first use: the folder with mode 0700,
/// the file with mode 0600; a key file that others may read is refused.
///
/// Protected data: "DVDP", version 1, scope, the key's 8-byte identifier, a 12-byte nonce, the
/// cipher text and the 16-byte tag. The header (and the optional entropy) is authenticated, so
/// any change to the data makes Decrypt fail.
#pragma once

#include <string>

#include "DvSysUtils.h"

namespace dv {

/// Raised when data cannot be protected or unprotected: a key that cannot be read or made,
/// foreign data (another user's or machine's key), damaged or tampered data.
class EDvDataProtectionException : public Exception {
 public:
  /// As Exception.
  using Exception::Exception;
};

/// Protection of stored secrets (passwords, client secrets) with a key of the user or the
/// machine (AES-256-GCM), as saved profiles use it. All functions are static.
class TDvDataProtection {
 public:
  /// Protects bytes with the user's key, or the machine's when machineScope is set. Entropy,
  /// when given, must be given again to Decrypt.
  static TBytes Encrypt(const TBytes& data, bool machineScope = false, const TBytes& entropy = {});
  /// Unprotects bytes made by Encrypt (the scope is read from the data); machineScope, when not
  /// null, receives the scope that was used.
  static TBytes Decrypt(const TBytes& data, const TBytes& entropy = {},
                        bool* machineScope = nullptr);

  /// The folder holding the key of a scope.
  static std::string KeyFolder(bool machineScope);

  /// Text to bytes and back: UTF-8 bytes, or UTF-16LE bytes when wide is set.
  static TBytes StringToBytes(const std::string& text, bool wide = false);
  /// Bytes to text (UTF-8, or UTF-16LE when wide is set).
  static std::string BytesToString(const TBytes& bytes, bool wide = false);
};

}  // namespace dv
