#include "uDvEWSBase.h"

#include <atomic>
#include <initializer_list>
#include <utility>

#include "DvHTTP.h"

namespace dv {

namespace {

struct TZoneGroup {
  const char* offset;
  std::initializer_list<const char*> ids;
};

// Windows time zones grouped by their standard offset.
const TZoneGroup kZoneGroups[] = {
    {"(UTC-12:00)", {"Dateline Standard Time"}},
    {"(UTC-11:00)", {"UTC-11"}},
    {"(UTC-10:00)", {"Aleutian Standard Time", "Hawaiian Standard Time"}},
    {"(UTC-09:30)", {"Marquesas Standard Time"}},
    {"(UTC-09:00)", {"Alaskan Standard Time", "UTC-09"}},
    {"(UTC-08:00)", {"Pacific Standard Time", "UTC-08", "Pacific Standard Time (Mexico)"}},
    {"(UTC-07:00)",
     {"Mountain Standard Time (Mexico)", "Mountain Standard Time", "US Mountain Standard Time"}},
    {"(UTC-06:00)",
     {"Central Standard Time", "Central America Standard Time", "Easter Island Standard Time",
      "Central Standard Time (Mexico)", "Canada Central Standard Time"}},
    {"(UTC-05:00)",
     {"Eastern Standard Time (Mexico)", "Eastern Standard Time", "SA Pacific Standard Time",
      "Haiti Standard Time", "Cuba Standard Time", "US Eastern Standard Time"}},
    {"(UTC-04:00)",
     {"Turks And Caicos Standard Time", "Venezuela Standard Time", "Atlantic Standard Time",
      "Paraguay Standard Time", "Central Brazilian Standard Time", "SA Western Standard Time",
      "Pacific SA Standard Time"}},
    {"(UTC-03:30)", {"Newfoundland Standard Time"}},
    {"(UTC-03:00)",
     {"Magallanes Standard Time", "Greenland Standard Time", "Tocantins Standard Time",
      "E. South America Standard Time", "SA Eastern Standard Time", "Argentina Standard Time",
      "Montevideo Standard Time", "Saint Pierre Standard Time", "Bahia Standard Time"}},
    {"(UTC-02:00)", {"Mid-Atlantic Standard Time", "UTC-02"}},
    {"(UTC-01:00)", {"Azores Standard Time", "Cape Verde Standard Time"}},
    {"(UTC+00:00)", {"GMT Standard Time", "Greenwich Standard Time", "Morocco Standard Time"}},
    {"(UTC+01:00)",
     {"Central Europe Standard Time", "W. Europe Standard Time", "Romance Standard Time",
      "Central European Standard Time", "W. Central Africa Standard Time",
      "Namibia Standard Time"}},
    {"(UTC+02:00)",
     {"Middle East Standard Time", "Libya Standard Time", "Jordan Standard Time",
      "GTB Standard Time", "Egypt Standard Time", "E. Europe Standard Time", "Syria Standard Time",
      "West Bank Standard Time", "South Africa Standard Time", "FLE Standard Time",
      "Israel Standard Time", "Kaliningrad Standard Time"}},
    {"(UTC+03:00)",
     {"Turkey Standard Time", "Belarus Standard Time", "Arabic Standard Time", "Arab Standard Time",
      "Russian Standard Time", "E. Africa Standard Time"}},
    {"(UTC+03:30)", {"Iran Standard Time"}},
    {"(UTC+04:00)",
     {"Astrakhan Standard Time", "Russia Time Zone 3", "Saratov Standard Time",
      "Arabian Standard Time", "Azerbaijan Standard Time", "Mauritius Standard Time",
      "Georgian Standard Time", "Caucasus Standard Time"}},
    {"(UTC+04:30)", {"Afghanistan Standard Time"}},
    {"(UTC+05:00)",
     {"West Asia Standard Time", "Ekaterinburg Standard Time", "Pakistan Standard Time"}},
    {"(UTC+05:30)", {"India Standard Time", "Sri Lanka Standard Time"}},
    {"(UTC+05:45)", {"Nepal Standard Time"}},
    {"(UTC+06:00)",
     {"Central Asia Standard Time", "Bangladesh Standard Time", "Omsk Standard Time"}},
    {"(UTC+06:30)", {"Myanmar Standard Time"}},
    {"(UTC+07:00)",
     {"Altai Standard Time", "N. Central Asia Standard Time", "Tomsk Standard Time",
      "SE Asia Standard Time", "W. Mongolia Standard Time", "North Asia Standard Time"}},
    {"(UTC+08:00)",
     {"China Standard Time", "North Asia East Standard Time", "Singapore Standard Time",
      "W. Australia Standard Time", "Taipei Standard Time", "Ulaanbaatar Standard Time"}},
    {"(UTC+08:30)", {"North Korea Standard Time"}},
    {"(UTC+08:45)", {"Aus Central W. Standard Time"}},
    {"(UTC+09:00)",
     {"Transbaikal Standard Time", "Tokyo Standard Time", "Korea Standard Time",
      "Yakutsk Standard Time"}},
    {"(UTC+09:30)", {"Cen. Australia Standard Time", "AUS Central Standard Time"}},
    {"(UTC+10:00)",
     {"E. Australia Standard Time", "AUS Eastern Standard Time", "West Pacific Standard Time",
      "Tasmania Standard Time", "Vladivostok Standard Time"}},
    {"(UTC+10:30)", {"Lord Howe Standard Time"}},
    {"(UTC+11:00)",
     {"Bougainville Standard Time", "Magadan Standard Time", "Sakhalin Standard Time",
      "Russia Time Zone 10", "Norfolk Standard Time", "Central Pacific Standard Time"}},
    {"(UTC+12:00)",
     {"Russia Time Zone 11", "New Zealand Standard Time", "UTC+12", "Fiji Standard Time",
      "Kamchatka Standard Time"}},
    {"(UTC+12:45)", {"Chatham Islands Standard Time"}},
    {"(UTC+13:00)", {"UTC+13", "Tonga Standard Time", "Samoa Standard Time"}},
    {"(UTC+14:00)", {"Line Islands Standard Time"}},
};

}  // namespace

const TDvEWSTimeZones& DvEWSTimeZoneTable() {
  static const TDvEWSTimeZones table = [] {
    TDvEWSTimeZones t;
    for (const TZoneGroup& g : kZoneGroups)
      for (const char* id : g.ids)
        t.emplace(id, g.offset);
    return t;
  }();
  return table;
}

// The handle objects keep: forwards to the session while it exists.
class TDvEWSBaseSession::TSessionRef : public IDvEWSSession {
 public:
  explicit TSessionRef(TDvEWSBaseSession* session) : session_(session) {}
  void Detach() { session_.store(nullptr); }

  std::string GetServiceURL() const override { return Session().GetServiceURL(); }
  const TDvCredentials& GetCredentials() const override { return Session().GetCredentials(); }
  TServerVersion GetServerVersion() const override { return Session().GetServerVersion(); }
  std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool shareConnection) override {
    return Session().CreateHTTPClient(shareConnection);
  }
  std::shared_ptr<TDvSOAPClient> CreateSOAPClient(
      const std::shared_ptr<IDvHTTPClient>& httpClient) override {
    return Session().CreateSOAPClient(httpClient);
  }
  std::shared_ptr<IDvSOAPRequest> CreateRequest(const std::shared_ptr<TDvSOAPClient>& client,
                                                const std::string& operation,
                                                const std::string& responseName) override {
    return Session().CreateRequest(client, operation, responseName);
  }
  void CheckResponseError(const std::shared_ptr<IDvDOMElement>& responseMessage) override {
    Session().CheckResponseError(responseMessage);
  }

 private:
  TDvEWSBaseSession& Session() const {
    TDvEWSBaseSession* s = session_.load();
    if (s == nullptr) throw Exception("The session has been destroyed!");
    return *s;
  }
  std::atomic<TDvEWSBaseSession*> session_;
};

TDvEWSBaseSession::TDvEWSBaseSession(TDvComponent* owner)
    : TDvComponent(owner), FEWSTimeZones(DvEWSTimeZoneTable()) {}

TDvEWSBaseSession::~TDvEWSBaseSession() {
  if (ref_) ref_->Detach();
}

DvEWSSessionPtr TDvEWSBaseSession::GetSessionIntf() {
  if (!ref_) ref_ = std::make_shared<TSessionRef>(this);
  return ref_;
}

std::string TDvEWSBaseSession::GetTimezoneId(int index) const {
  if (index < 0 || index >= TimezoneCount())
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
  auto it = FEWSTimeZones.begin();
  std::advance(it, index);
  return it->first;
}

int TDvEWSBaseSession::GetTimezoneOffset(const std::string& timezoneId) const {
  auto it = FEWSTimeZones.find(timezoneId);
  if (it == FEWSTimeZones.end()) throw EEWSException("The specified TimezoneId is not valid!");
  // "(UTC+hh:mm)": the sign at 4, hours at 5..6, minutes at 8..9.
  const std::string& text = it->second;
  const int sign = text[4] == '+' ? 1 : -1;
  const int hours = std::stoi(text.substr(5, 2));
  const int minutes = std::stoi(text.substr(8, 2));
  return sign * (hours * 60 + minutes);
}

std::string TDvEWSBaseSession::GetExchangeCookie() const {
  std::lock_guard<std::mutex> lock(sharedLock_);
  return FExchangeCookie;
}

void TDvEWSBaseSession::SetExchangeCookie(const std::string& value) {
  std::lock_guard<std::mutex> lock(sharedLock_);
  FExchangeCookie = value;
}

TDvOAuthAccessToken TDvEWSBaseSession::GetAccessToken() const {
  std::lock_guard<std::mutex> lock(sharedLock_);
  return FAccessToken;
}

void TDvEWSBaseSession::SetAccessToken(const TDvOAuthAccessToken& token) {
  std::lock_guard<std::mutex> lock(sharedLock_);
  FAccessToken = token;
}

std::string TDvEWSBaseSession::CreateProfile(const std::string& name) {
  throw EEWSException("Failed to create a profile!");
}

}  // namespace dv
