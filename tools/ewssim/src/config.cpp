// The JSON configuration file, the users file and the --user and --listen arguments.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <ewssim/ewssim.h>

namespace ewssim {

namespace {
// Sets `field` from the member `key` of `j` when there is one; otherwise it keeps its value.
template <class T>
void Take(const nlohmann::json& j, const char* key, T& field) {
  field = j.value(key, field);
}

int Int(const nlohmann::json& j, const char* key, int fallback) {
  return j.contains(key) ? j.at(key).get<int>() : fallback;
}

ThrottlingConfig Throttling(const nlohmann::json& j, ThrottlingConfig t) {
  Take(j, "max_concurrent", t.maxConcurrent);
  Take(j, "max_requests", t.maxRequests);
  Take(j, "window_seconds", t.windowSeconds);
  Take(j, "backoff_ms", t.backoffMs);
  if (t.maxConcurrent < 0 || t.maxRequests < 0 || t.windowSeconds <= 0 || t.backoffMs < 0)
    throw std::runtime_error("throttling: limits must not be negative and window_seconds > 0");
  return t;
}

FaultRule Fault(const nlohmann::json& j) {
  FaultRule f;
  f.operation = j.value("operation", "");
  f.action = j.at("action").get<std::string>();
  Take(j, "status", f.status);
  Take(j, "retry_after", f.retryAfterSeconds);
  Take(j, "probability", f.probability);
  Take(j, "every", f.everyNth);
  Take(j, "count", f.count);
  Take(j, "delay_ms", f.delayMs);
  Take(j, "bytes", f.bytes);
  Take(j, "notifications", f.notifications);
  static const char* actions[] = {"status", "stall", "close",  "truncate",
                                  "drip",   "drop",  "restart"};
  if (std::find(std::begin(actions), std::end(actions), f.action) == std::end(actions))
    throw std::runtime_error("faults: unknown action \"" + f.action +
                             "\" (status, stall, close, truncate, drip, drop or restart)");
  return f;
}
}  // namespace

Config Config::FromJson(const std::string& text) {
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(text);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("configuration is not valid JSON: ") + e.what());
  }
  if (!j.is_object()) throw std::runtime_error("configuration must be a JSON object");
  Config c;
  try {
    Take(j, "listen", c.listen);
    Take(j, "tls", c.tls);
    Take(j, "certificate", c.certificateFile);
    Take(j, "private_key", c.privateKeyFile);
    Take(j, "state_file", c.stateFile);
    Take(j, "max_request_bytes", c.maxRequestBytes);
    Take(j, "validate_requests", c.validateRequests);
    Take(j, "schema_dir", c.schemaDir);
    Take(j, "threads", c.threads);
    Take(j, "keep_alive_seconds", c.keepAliveSeconds);
    Take(j, "header_timeout_seconds", c.headerTimeoutSeconds);
    Take(j, "body_timeout_seconds", c.bodyTimeoutSeconds);
    for (const auto& u : j.value("users", nlohmann::json::array())) {
      UserConfig user;
      user.address = u.at("address").get<std::string>();
      user.password = u.value("password", "");
      user.displayName = u.value("display_name", "");
      user.sid = u.value("sid", "");
      user.kind = u.value("kind", "");
      user.autoAccept = u.value("auto_accept", true);
      if (u.contains("impersonate")) {
        const auto& imp = u.at("impersonate");
        if (imp.is_string())
          user.impersonate.push_back(imp.get<std::string>());
        else
          user.impersonate = imp.get<std::vector<std::string>>();
      }
      if (u.contains("throttling"))
        c.userThrottling[user.address] = Throttling(u.at("throttling"), {});
      if (u.contains("send_as")) {
        const auto& sa = u.at("send_as");
        if (sa.is_string())
          user.sendAs.push_back(sa.get<std::string>());
        else
          user.sendAs = sa.get<std::vector<std::string>>();
      }
      if (u.contains("working_hours")) {
        const auto& w = u.at("working_hours");
        auto& wh = user.workingHours;
        Take(w, "time_zone", wh.timeZone);
        Take(w, "days", wh.days);
        Take(w, "start_minutes", wh.startMinutes);
        Take(w, "end_minutes", wh.endMinutes);
        if (wh.startMinutes < 0 || wh.endMinutes > 1440 || wh.startMinutes > wh.endMinutes)
          throw std::runtime_error("working_hours: 0 <= start_minutes <= end_minutes <= 1440");
      }
      Take(u, "calendar_details", user.calendarDetails);
      if (u.contains("mail_tips")) {
        const auto& t = u.at("mail_tips");
        auto& mt = user.mailTips;
        Take(t, "quota_bytes", mt.quotaBytes);
        Take(t, "custom", mt.customMailTip);
        Take(t, "delivery_restricted", mt.deliveryRestricted);
        Take(t, "moderated", mt.moderated);
      }
      Take(u, "allow_external_oof", user.allowExternalOof);
      if (u.contains("photo")) {  // one file (served at every size) or {"48": file, …}
        const auto& ph = u.at("photo");
        if (ph.is_string())
          user.photos[648] = ph.get<std::string>();
        else
          for (const auto& [side, file] : ph.items())
            user.photos[std::stoi(side)] = file.get<std::string>();
      }
      c.users.push_back(std::move(user));
    }
    for (const auto& a : j.value("oauth_apps", nlohmann::json::array())) {
      OAuthAppConfig app;
      app.clientId = a.at("client_id").get<std::string>();
      app.clientSecret = a.value("client_secret", "");
      c.oauthApps.push_back(std::move(app));
    }
    Take(j, "max_message_size", c.maxMessageSize);
    if (j.contains("autodiscover")) {
      const auto& a = j.at("autodiscover");
      AutodiscoverConfig& ad = c.autodiscover;
      Take(a, "hosts", ad.hosts);
      Take(a, "ews_url", ad.ewsUrl);
      Take(a, "redirect_addr", ad.redirectAddr);
      Take(a, "redirect_url", ad.redirectUrl);
      Take(a, "http_redirects", ad.httpRedirects);
      Take(a, "delegates", ad.delegates);
      Take(a, "dns", ad.dnsListen);
      const nlohmann::json srv = a.value("srv", nlohmann::json::object());
      for (const auto& [domain, r] : srv.items()) {
        SrvRecordConfig record;
        record.target = r.at("target").get<std::string>();
        Take(r, "port", record.port);
        Take(r, "priority", record.priority);
        Take(r, "weight", record.weight);
        ad.srv[domain] = record;
      }
    }
    Take(j, "token_lifetime_seconds", c.tokenLifetimeSeconds);
    if (j.contains("throttling")) c.throttling = Throttling(j.at("throttling"), c.throttling);
    for (const auto& f : j.value("faults", nlohmann::json::array()))
      c.faults.push_back(Fault(f));
    Take(j, "fault_seed", c.faultSeed);
    if (j.contains("notifications")) {
      const auto& n = j.at("notifications");
      Take(n, "minute_ms", c.notifications.minuteMs);
      Take(n, "keep_alive_ms", c.notifications.keepAliveMs);
      Take(n, "streaming_lifetime_minutes", c.notifications.streamingLifetimeMinutes);
      if (n.contains("back_ends")) {
        const auto& backEnds = n.at("back_ends");
        for (auto it = backEnds.begin(); it != backEnds.end(); ++it)
          c.notifications.backEnds[it.key()] = it.value().get<std::string>();
      }
    }
    for (const auto& r : j.value("room_lists", nlohmann::json::array()))
      c.roomLists.push_back({r.at("address").get<std::string>(), r.value("display_name", ""),
                             r.value("rooms", std::vector<std::string>{})});
    for (const auto& g : j.value("groups", nlohmann::json::array()))
      c.groups.push_back({g.at("address").get<std::string>(), g.value("display_name", ""),
                          g.value("members", std::vector<std::string>{})});
    if (j.contains("server_version")) {
      const auto& v = j.at("server_version");
      if (v.is_string()) {
        c.version.name = v.get<std::string>();
      } else {
        Take(v, "name", c.version.name);
        c.version.majorVersion = Int(v, "major", -1);
        c.version.minorVersion = Int(v, "minor", -1);
        c.version.majorBuild = Int(v, "major_build", -1);
        c.version.minorBuild = Int(v, "minor_build", -1);
        c.version.omitHeader = v.value("omit_header", false);
      }
    }
    if (j.contains("seed")) {
      const auto& s = j.at("seed");
      if (s.is_number()) {
        c.seed.messages = c.seed.calendarItems = c.seed.contacts = s.get<int>();
      } else {
        c.seed.messages = Int(s, "messages", 0);
        c.seed.calendarItems = Int(s, "calendar_items", 0);
        c.seed.contacts = Int(s, "contacts", 0);
      }
    }
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error(std::string("configuration: ") + e.what());
  }
  const auto& known = KnownVersions();
  if (std::find(known.begin(), known.end(), c.version.name) == known.end())
    throw std::runtime_error("unknown server version " + c.version.name);
  return c;
}

Config Config::FromFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  return FromJson(ss.str());
}

bool ParseUserArg(const std::string& arg, UserConfig& user) {
  auto first = arg.find(':');
  if (first == std::string::npos || first == 0) return false;
  user.address = arg.substr(0, first);
  auto second = arg.find(':', first + 1);
  user.password =
      arg.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  user.displayName = second == std::string::npos ? std::string() : arg.substr(second + 1);
  return user.address.find('@') != std::string::npos;
}

std::vector<UserConfig> ReadUsersFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the users file " + path);
  std::vector<UserConfig> users;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.pop_back();
    auto start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    UserConfig u;
    if (!ParseUserArg(line.substr(start), u))
      throw std::runtime_error(path + ":" + std::to_string(number) +
                               ": expected ADDRESS:PASSWORD[:Display Name]");
    users.push_back(std::move(u));
  }
  return users;
}

void ParseListen(const std::string& listen, std::string& host, int& port) {
  const std::string form = " (HOST:PORT, e.g. 127.0.0.1:8443 or [::1]:0)";
  auto colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0)
    throw std::runtime_error("invalid listen address \"" + listen + "\"" + form);
  host = listen.substr(0, colon);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']' ||
        host.find_first_not_of("0123456789abcdefABCDEF:.", 1) != host.size() - 1)
      throw std::runtime_error("invalid IPv6 address in \"" + listen + "\"" + form);
    host = host.substr(1, host.size() - 2);
  } else if (!std::all_of(host.begin(), host.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '.' || c == '-' || c == '_';
             })) {
    throw std::runtime_error("invalid host in \"" + listen + "\"" + form);
  }
  const std::string digits = listen.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }) ||
      std::stoi(digits) > 65535)
    throw std::runtime_error("invalid port \"" + digits + "\" in \"" + listen +
                             "\": a number from 0 to 65535");
  port = std::stoi(digits);
}

}  // namespace ewssim
