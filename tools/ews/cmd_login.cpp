// ews login, ews autodiscover and ews profile: finding the server from an e-mail address,
// signing in (password or OAuth) and the stored profiles that later commands log on with.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "DvOAuth.h"
#include "ews_context.h"
#include "uDvEWSProfiles.h"

extern char** environ;

namespace ewscli {

namespace {

// The OAuth authority; DVEWS_OAUTH_AUTHORITY moves it (a private identity server, or a test's).
std::string Authority() {
  const char* v = std::getenv("DVEWS_OAUTH_AUTHORITY");
  return v != nullptr && *v != '\0' ? v : "https://login.microsoftonline.com";
}

// Waits on a loopback port for the browser to come back from the sign-in page (RFC 8252).
class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
      throw ToolError{kFailure, "cannot listen on a loopback port for the sign-in"};
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackListener() {
    if (fd_ >= 0) close(fd_);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  std::string RedirectUri() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

  // The URL the browser was sent back to; empty after `seconds` without one.
  std::string Wait(int seconds) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) <= 0) return {};
    const int client = accept(fd_, nullptr, nullptr);
    if (client < 0) return {};
    std::string request;
    char buffer[2048];
    while (request.find("\r\n") == std::string::npos && request.size() < 16384) {
      pollfd c{client, POLLIN, 0};
      if (poll(&c, 1, 10000) <= 0) break;
      const ssize_t n = read(client, buffer, sizeof buffer);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string page =
        "<html><body><p>Signed in. You may close this window and return to ews.</p></body>"
        "</html>";
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
        "Connection: close\r\nContent-Length: " +
        std::to_string(page.size()) + "\r\n\r\n" + page;
    [[maybe_unused]] ssize_t sent = write(client, answer.data(), answer.size());
    close(client);
    // "GET /?code=…&state=… HTTP/1.1"
    const auto start = request.find(' ');
    const auto end = request.find(' ', start + 1);
    if (start == std::string::npos || end == std::string::npos) return {};
    return "http://127.0.0.1:" + std::to_string(port_) + request.substr(start + 1, end - start - 1);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Opens a URL in the desktop's browser when xdg-open is there; quietly does nothing otherwise.
void OpenInBrowser(const std::string& url) {
  if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  std::string argument = url;
  char* argv[] = {program.data(), argument.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
  }
  posix_spawn_file_actions_destroy(&actions);
}

// A listener for this run, its redirect URI given to the session's OAuth settings.
std::shared_ptr<LoopbackListener> gListener;

}  // namespace

void PrepareAuthorize(dv::TDvEWSCustomSession& session) {
  gListener = std::make_shared<LoopbackListener>();
  dv::TDvOAuth oauth;
  oauth.Assign(session.GetOAuth());
  oauth.SetRedirectURI(gListener->RedirectUri());
  session.SetOAuth(oauth);
  std::shared_ptr<LoopbackListener> listener = gListener;
  dv::DvOnGetOAuthAuthorizeForm = [listener](const std::string& url, const std::string&) {
    std::fprintf(stderr, "Sign in with your browser:\n  %s\n", url.c_str());
    OpenInBrowser(url);
    return listener->Wait(300);
  };
}

namespace {

struct LoginState {
  std::string address;
  std::string profileName;
  std::string clientId;
  std::string tenant = "organizations";
  std::string grant;
  bool verbose = false;
  std::string profileAction;
  std::string profileArgument;
  CLI::App* login = nullptr;
  CLI::App* autodiscover = nullptr;
  CLI::App* profile = nullptr;
};
LoginState state;

// The session's OAuth settings from the options (none when no client id is given).
void ApplyOAuth(Context& ctx, dv::TDvEWSCustomSession& s) {
  if (state.clientId.empty()) {
    if (!state.grant.empty()) Usage("--oauth-grant needs --oauth-client-id");
    return;
  }
  dv::TDvOAuth oauth;
  oauth.SetAppID(state.clientId);
  const std::string base = Authority() + "/" + state.tenant + "/oauth2/v2.0/";
  oauth.SetAuthEndpoint(base + "authorize");
  oauth.SetTokenEndpoint(base + "token");
  const std::string grant = state.grant.empty() ? "authorize" : state.grant;
  if (grant == "password") {
    oauth.SetGrantType(dv::TDvOAuthGrantType::gtPassword);
  } else if (grant == "client-credentials") {
    oauth.SetGrantType(dv::TDvOAuthGrantType::gtClientCredentials);
    Options asked = ctx.options;
    asked.user = "the client secret of " + state.clientId;
    oauth.SetClientSecret(ReadPassword(asked));
  } else {
    oauth.SetGrantType(dv::TDvOAuthGrantType::gtAuthorize);
  }
  oauth.SetScope(grant == "client-credentials"
                     ? "https://outlook.office365.com/.default"
                     : "https://outlook.office365.com/EWS.AccessAsUser.All offline_access");
  s.SetOAuth(oauth);
  if (grant == "authorize") PrepareAuthorize(s);
}

// A session set up from the options to discover `address`'s server.
void Prepare(Context& ctx, dv::TDvEWSCustomSession& s, const std::string& address) {
  s.SetLogonDialog(false);
  s.SetPasswordDialog(false);
  s.SetAutodiscoverEMail(address);
  if (!ctx.options.url.empty()) s.SetServiceUrl(ctx.options.url);
  ApplyOAuth(ctx, s);
  const dv::TDvOAuthGrantType grant = s.GetOAuth().GetGrantType();
  const std::string user = ctx.options.user.empty() ? address : ctx.options.user;
  if (grant == dv::TDvOAuthGrantType::gtAuthorize ||
      grant == dv::TDvOAuthGrantType::gtClientCredentials) {
    s.SetCredentials(dv::TDvCredentials(
        grant == dv::TDvOAuthGrantType::gtClientCredentials ? std::string() : user, ""));
  } else {
    Options asked = ctx.options;
    asked.user = user;
    s.SetCredentials(dv::TDvCredentials(user, ReadPassword(asked)));
  }
  if (ctx.options.insecure) {
    std::cerr << "ews: warning: --insecure: the server's certificate is not checked\n";
    s.SetSecurityFlags({dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCertDate,
                        dv::TDvHTTPSecurityFlag::sfIgnoreUnknownCA,
                        dv::TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName,
                        dv::TDvHTTPSecurityFlag::sfIgnoreRevocation,
                        dv::TDvHTTPSecurityFlag::sfIgnoreWrongUsage});
  }
  if (!ctx.options.caCertFile.empty()) s.SetCACertFile(ctx.options.caCertFile);
  if (!ctx.options.caCertPath.empty()) s.SetCACertPath(ctx.options.caCertPath);
}

std::string FoundBy(const dv::TDvEWSCustomSession& s) {
  const std::string& source = s.GetAutodiscoverSource();
  if (source.empty()) return "--url";
  if (source == "JSON") return "cloud JSON lookup";
  if (source == "DNS") return "DNS service record";
  return source;
}

void Logon(dv::TDvEWSCustomSession& s) {
  try {
    s.SetActive(true);
  } catch (const dv::EAbort& e) {
    throw ToolError{kConnection, std::string("cannot discover the server: ") + e.what()};
  } catch (const dv::EEWSException& e) {
    throw ToolError{kConnection, std::string("cannot log on: ") + e.what()};
  } catch (const dv::EDvHTTPException& e) {
    throw ToolError{kConnection, std::string("cannot log on: ") + e.what()};
  } catch (const dv::Exception& e) {
    throw ToolError{kConnection, std::string("cannot log on: ") + e.what()};
  }
}

void CmdLogin(Context& ctx) {
  dv::TDvEWSCustomSession s;
  Prepare(ctx, s, state.address);
  Logon(s);
  const std::string name = state.profileName.empty() ? state.address : state.profileName;
  dv::TDvEWSProfileRegistryContainer profiles;
  profiles.SaveProfile(s, name);
  profiles.SetDefaultProfileName(name);
  profiles.SetPromptForProfile(false);
  json j;
  j["address"] = state.address;
  j["found_by"] = FoundBy(s);
  j["url"] = s.GetServiceUrl();
  j["server"] = s.GetServerDescription();
  j["profile"] = name;
  if (ctx.Json()) {
    ctx.PrintObject(j);
  } else {
    ctx.out << "found " << s.GetServiceUrl() << " by " << FoundBy(s) << "\n"
            << "logged on to " << s.GetServerDescription() << "\n"
            << "saved profile \"" << name << "\" (the default from now on)\n";
  }
}

void CmdAutodiscover(Context& ctx) {
  dv::TDvEWSCustomSession s;
  Prepare(ctx, s, state.address);
  if (state.verbose)
    s.SetOnAutodiscoverStep(
        [&ctx](const std::string& step, const std::string& url, const std::string& outcome) {
          std::cerr << step << "  " << url << "  " << outcome << "\n";
        });
  Logon(s);
  json j;
  j["found_by"] = FoundBy(s);
  j["url"] = s.GetServiceUrl();
  json delegates = json::array();
  try {
    for (const std::string& m : s.GetAdditionalMailboxes())
      delegates.push_back(m);
  } catch (const std::exception& e) {
    // The endpoint may be known (by DNS, say) while the autodiscover service is not reachable.
    delegates = std::string("(not known: ") + e.what() + ")";
  }
  j["delegates"] = delegates;
  j["server"] = s.GetServerDescription();
  ctx.PrintObject(j);
}

void CmdProfile(Context& ctx) {
  dv::TDvEWSProfileRegistryContainer profiles;
  std::vector<std::string> names;
  profiles.GetProfileNames(names);
  const std::string& name = state.profileArgument;
  auto need = [&] {
    if (name.empty()) Usage("ews profile " + state.profileAction + " needs a NAME");
    if (!profiles.ProfileExists(name))
      throw ToolError{kUsage, "no profile \"" + name + "\" (see ews profile ls)"};
  };
  if (state.profileAction == "ls") {
    const std::string current = profiles.GetDefaultProfileName();
    Table table;
    table.columns = {"default", "name", "address", "url"};
    for (const std::string& n : names) {
      dv::TDvEWSCustomSession s;
      std::string address, url;
      try {
        profiles.LoadProfile(s, n);
        address = s.GetAutodiscoverEMail();
        url = s.GetServiceUrl();
      } catch (const std::exception&) {
        url = "(damaged)";
      }
      table.rows.push_back({n == current ? "*" : "", n, address, url});
    }
    ctx.Print(table);
  } else if (state.profileAction == "show") {
    need();
    dv::TDvEWSCustomSession s;
    profiles.LoadProfile(s, name);
    json j;
    j["name"] = name;
    j["default"] = profiles.GetDefaultProfileName() == name;
    j["address"] = s.GetAutodiscoverEMail();
    j["url"] = s.GetServiceUrl();
    j["user"] = s.GetCredentials().GetUserName();
    j["password"] = s.GetCredentials().GetPassword().empty() ? "" : "(stored, protected)";
    j["oauth_client_id"] = s.GetOAuth().GetAppID();
    j["oauth_grant"] =
        s.GetOAuth().GetGrantType() == dv::TDvOAuthGrantType::gtNone        ? ""
        : s.GetOAuth().GetGrantType() == dv::TDvOAuthGrantType::gtAuthorize ? "authorize"
        : s.GetOAuth().GetGrantType() == dv::TDvOAuthGrantType::gtPassword  ? "password"
                                                                            : "client-credentials";
    j["folder"] = profiles.RootFolder();
    ctx.PrintObject(j);
  } else if (state.profileAction == "use") {
    need();
    profiles.SetDefaultProfileName(name);
    ctx.Done("default profile: " + name, json{{"default", name}});
  } else if (state.profileAction == "rm") {
    need();
    profiles.DeleteProfile(name);
    ctx.Done("removed profile " + name, json{{"removed", name}});
  } else {
    Usage("ews profile: ls, show NAME, use NAME or rm NAME");
  }
}

void AddOAuthOptions(CLI::App* cmd) {
  cmd->add_option("--oauth-client-id", state.clientId,
                  "sign in with OAuth 2.0 as this application (client id)");
  cmd->add_option("--oauth-tenant", state.tenant,
                  "the directory (tenant) id or domain (default: organizations)");
  cmd->add_option("--oauth-grant", state.grant,
                  "authorize (browser sign-in; default), password, or client-credentials "
                  "(the secret is read as the password is)")
      ->check(CLI::IsMember({"authorize", "password", "client-credentials"}));
}

const bool registered = RegisterCommands(
    {[](CLI::App& app, Context&) {
       state.login = app.add_subcommand(
           "login", "find the server of an e-mail address, sign in, and save a profile");
       state.login->add_option("ADDRESS", state.address, "your e-mail address")->required();
       state.login->add_option("--name", state.profileName,
                               "the profile's name (default: the address)");
       AddOAuthOptions(state.login);
       Example(state.login, "ews login alice@example.com");

       state.autodiscover =
           app.add_subcommand("autodiscover", "show how the server of an address is found");
       state.autodiscover->add_option("ADDRESS", state.address, "an e-mail address")->required();
       state.autodiscover->add_flag("--verbose", state.verbose,
                                    "print every step and its outcome (on standard error)");
       AddOAuthOptions(state.autodiscover);
       Example(state.autodiscover, "ews autodiscover --verbose alice@example.com");

       state.profile = app.add_subcommand("profile", "stored profiles: ls, show, use, rm");
       state.profile->add_option("ACTION", state.profileAction, "ls, show, use or rm")
           ->required()
           ->check(CLI::IsMember({"ls", "show", "use", "rm"}));
       state.profile->add_option("NAME", state.profileArgument, "a profile's name");
       Example(state.profile, "ews profile use work");
     },
     [](Context& ctx) {
       if (state.login->parsed())
         CmdLogin(ctx);
       else if (state.autodiscover->parsed())
         CmdAutodiscover(ctx);
       else if (state.profile->parsed())
         CmdProfile(ctx);
       else
         return false;
       return true;
     }});

}  // namespace

}  // namespace ewscli
