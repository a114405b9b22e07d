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

/// The base of the session: the time-zone table, the exchange cookie and the OAuth token, and
/// the reference objects hold to it. Applications use TDvEWSCustomSession.
class TDvEWSBaseSession : public TDvComponent, public IDvEWSSession {
 public:
  /// A session owned by `owner` (optional).
  explicit TDvEWSBaseSession(TDvComponent* owner = nullptr);
  ~TDvEWSBaseSession() override;

  /// A reference to this session for the objects below it. Once the session is destroyed, every
  /// operation through it raises dv::Exception instead of reaching freed memory.
  DvEWSSessionPtr GetSessionIntf();

  // ---- Time zones ----
  /// The number of zones in the time-zone table.
  int TimezoneCount() const { return static_cast<int>(FEWSTimeZones.size()); }
  /// The identifier at a position of the table's order; EListError when out of range.
  std::string GetTimezoneId(int index) const;
  /// Minutes east of UTC of a zone's standard offset; EEWSException "The specified TimezoneId is
  /// not valid!" for an identifier the table lacks (exact text).
  int GetTimezoneOffset(const std::string& timezoneId) const;
  /// The time-zone table (Windows identifier to standard offset text).
  const TDvEWSTimeZones& GetTimeZones() const { return FEWSTimeZones; }

  // ---- Cookie and token (read by monitoring threads too, hence the lock) ----
  /// @name Affinity cookie and OAuth token
  /// Guarded by a lock: other threads (notification monitors) may read them.
  /**@{*/
  /// The "exchangecookie" the server last set (sent back for mailbox affinity).
  std::string GetExchangeCookie() const;
  /// Sets the cookie.
  virtual void SetExchangeCookie(const std::string& value);
  /// The OAuth access token of the last logon (empty without OAuth).
  TDvOAuthAccessToken GetAccessToken() const;
  /// Sets the token.
  virtual void SetAccessToken(const TDvOAuthAccessToken& token);
  ///@}

  /// The lock every request of this session holds while it is sent and answered, and objects
  /// made through the session while they register with it (recursive). Held across several
  /// requests, it makes them one uninterrupted sequence.
  std::recursive_mutex& GetRequestLock() const { return *FRequestLock; }
  /// The same lock, shared: requests and objects keep it, so one that outlives the session still
  /// has a lock to take.
  const std::shared_ptr<std::recursive_mutex>& GetRequestLockPtr() const { return FRequestLock; }

  /// Hooks for a dialog layer; a session without dialogs behaves as below.
  virtual void SetNTService(bool value) = 0;
  /// Shows a busy cursor while a logon runs; the base does nothing.
  virtual void SetWaitCursor(bool value) {}
  /// Gives the name of a new profile (the dialog asks for settings); the base raises
  /// EEWSException "Failed to create a profile!".
  virtual std::string CreateProfile(const std::string& name);
  /// Gives the name of a profile the user chose; the base gives none.
  virtual std::string SelectProfile() { return {}; }
  /// Lets the user edit a profile; the base does nothing.
  virtual void EditProfile(const std::string& name) {}

 protected:
  /// @cond internal
  const TDvEWSTimeZones& FEWSTimeZones;
  std::string FExchangeCookie;
  TDvOAuthAccessToken FAccessToken;
  std::shared_ptr<std::recursive_mutex> FRequestLock = std::make_shared<std::recursive_mutex>();
  /// @endcond

 private:
  class TSessionRef;
  mutable std::mutex sharedLock_;  // guards FExchangeCookie and FAccessToken
  std::shared_ptr<TSessionRef> ref_;
};

}  // namespace dv
