/// @file
/// The base of the session: the Windows time-zone table that requests choose their time zone
/// from, the stored exchange cookie and OAuth access token, and the handle that objects below the
/// session keep to reach it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "DvOAuth.h"
#include "DvSysUtils.h"
#include "uDvEWSInterfaces.h"

namespace dv {

/// The time-zone table: Windows time-zone identifier -> "(UTC+hh:mm)" / "(UTC-hh:mm)" giving the
/// zone's standard offset. 134 zones; "UTC" itself is not among them. The table is a std::map,
/// so its iteration order (GetTimezoneId, and the first match when a zone is chosen by offset)
/// is the byte-wise order of the identifiers.
using TDvEWSTimeZones = std::map<std::string, std::string>;

/// The shared, immutable table (built once).
const TDvEWSTimeZones& DvEWSTimeZoneTable();

class TDvEWSBaseSession : public TDvComponent, public IDvEWSSession {
 public:
  explicit TDvEWSBaseSession(TDvComponent* owner = nullptr);
  ~TDvEWSBaseSession() override;

  /// A reference to this session for the objects below it. Once the session is destroyed, every
  /// operation through it raises dv::Exception instead of reaching freed memory.
  DvEWSSessionPtr GetSessionIntf();

  // ---- Time zones ----
  int TimezoneCount() const { return static_cast<int>(FEWSTimeZones.size()); }
  /// The identifier at a position of the table's order; EListError when out of range.
  std::string GetTimezoneId(int index) const;
  /// Minutes east of UTC of a zone's standard offset; EEWSException "The specified TimezoneId is
  /// not valid!" for an identifier the table lacks (exact text).
  int GetTimezoneOffset(const std::string& timezoneId) const;
  const TDvEWSTimeZones& GetTimeZones() const { return FEWSTimeZones; }

  // ---- Cookie and token (read by monitoring threads too, hence the lock) ----
  std::string GetExchangeCookie() const;
  virtual void SetExchangeCookie(const std::string& value);
  TDvOAuthAccessToken GetAccessToken() const;
  virtual void SetAccessToken(const TDvOAuthAccessToken& token);

  /// Hooks for a dialog layer; a session without dialogs behaves as below.
  virtual void SetNTService(bool value) = 0;
  virtual void SetWaitCursor(bool value) {}
  /// Gives the name of a new profile (the dialog asks for settings); the base raises
  /// EEWSException "Failed to create a profile!".
  virtual std::string CreateProfile(const std::string& name);
  /// Gives the name of a profile the user chose; the base gives none.
  virtual std::string SelectProfile() { return {}; }
  virtual void EditProfile(const std::string& name) {}

 protected:
  const TDvEWSTimeZones& FEWSTimeZones;
  std::string FExchangeCookie;
  TDvOAuthAccessToken FAccessToken;

 private:
  class TSessionRef;
  mutable std::mutex sharedLock_;  // guards FExchangeCookie and FAccessToken
  std::shared_ptr<TSessionRef> ref_;
};

}  // namespace dv
