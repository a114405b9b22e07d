// Out-of-office settings of one mailbox, as Exchange keeps them: the state, the window of a
// scheduled absence, the internal and external replies, the external audience, and the senders
// already answered while the settings are in force (each gets one automatic reply).
//
// SetUserOofSettings writes them, GetUserOofSettings reads them, delivery to the mailbox sends
// the automatic reply, and GetMailTips reports them (OutOfOffice) through OofOf.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace ewssim {

struct Mailbox;

struct OofSettings {
  enum class State { Disabled, Enabled, Scheduled };
  enum class Audience { None, Known, All };

  State state = State::Disabled;
  Audience externalAudience = Audience::None;
  // The window of a Scheduled state, in milliseconds since 1970 (UTC).
  int64_t start = 0, end = 0;
  // The reply texts as given (HTML or plain text); the schema's ReplyBody/Message.
  std::string internalReply, externalReply;
  // The language of each reply (xml:lang), empty when none was given.
  std::string internalLang, externalLang;
  // What the administrator allows for external replies (AllowExternalOof): from the user's
  // "allow_external_oof" configuration, All when not configured.
  Audience allowExternal = Audience::All;
  // Senders (lower-case SMTP addresses) that got their automatic reply since the settings last
  // changed.
  std::set<std::string> answered;

  // True when replies go out at `now` (milliseconds since 1970): Enabled, or Scheduled with `now`
  // in [start, end).
  bool InForce(int64_t now) const {
    return state == State::Enabled || (state == State::Scheduled && now >= start && now < end);
  }
};

// The EWS names of the values ("Disabled", "Known", …) and back; Parse* throw EwsError
// ErrorInvalidRequest on unknown text.
const char* OofStateName(OofSettings::State s);
const char* OofAudienceName(OofSettings::Audience a);
OofSettings::State ParseOofState(const std::string& text);
OofSettings::Audience ParseOofAudience(const std::string& text);

// The settings of a mailbox (held in the mailbox).
const OofSettings& OofOf(const Mailbox& m);
OofSettings& OofOf(Mailbox& m);

}  // namespace ewssim
