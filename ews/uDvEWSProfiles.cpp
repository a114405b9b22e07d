// Profile containers: what a profile holds, how secrets are protected, the key store and the
// profile file.
#include "uDvEWSProfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <pugixml.hpp>
#include <sstream>

#include "DvDataProtection.h"
#include "DvUtils.h"
#include "DvXMLSchema.h"

namespace dv {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------------------------
// Secrets

std::string TDvEWSProfileCustomContainer::ProtectText(const std::string& text, bool machineScope,
                                                      bool wide) {
  if (DvTrim(text).empty()) return {};
  return DvBase64Encode(
      TDvDataProtection::Encrypt(TDvDataProtection::StringToBytes(text, wide), machineScope));
}

std::string TDvEWSProfileCustomContainer::UnprotectText(const std::string& text, bool wide) {
  if (DvTrim(text).empty()) return {};
  return TDvDataProtection::BytesToString(TDvDataProtection::Decrypt(DvBase64Decode(text)), wide);
}

std::string TDvEWSProfileCustomContainer::EncryptPassword(const std::string& text) {
  return ProtectText(text, false);
}

std::string TDvEWSProfileCustomContainer::DecryptPassword(const std::string& text) {
  return UnprotectText(text);
}

namespace {

// ---------------------------------------------------------------------------------------------
// What a profile holds, in writing order

struct TSetting {
  std::string Name;
  std::string Text;
  bool Boolean = false;
};

const char* AccessTypeName(TDvHTTPAccessType v) {
  switch (v) {
    case TDvHTTPAccessType::atDirect:
      return "atDirect";
    case TDvHTTPAccessType::atNamedProxy:
      return "atNamedProxy";
    default:
      return "atPreconfig";
  }
}

const char* GrantTypeName(TDvOAuthGrantType v) {
  switch (v) {
    case TDvOAuthGrantType::gtAuthorize:
      return "gtAuthorize";
    case TDvOAuthGrantType::gtPassword:
      return "gtPassword";
    case TDvOAuthGrantType::gtClientCredentials:
      return "gtClientCredentials";
    default:
      return "gtNone";
  }
}

const std::pair<const char*, TDvHTTPSecurityFlag> kSecurityFlags[] = {
    {"IgnoreUnknownCA", TDvHTTPSecurityFlag::sfIgnoreUnknownCA},
    {"IgnoreInvalidCommonName", TDvHTTPSecurityFlag::sfIgnoreInvalidCommonName},
    {"IgnoreInvalidCertDate", TDvHTTPSecurityFlag::sfIgnoreInvalidCertDate},
    {"IgnoreRevocation", TDvHTTPSecurityFlag::sfIgnoreRevocation},
    {"IgnoreWrongUsage", TDvHTTPSecurityFlag::sfIgnoreWrongUsage},
};

// The scopes the secrets are protected in.
struct TScopes {
  bool PasswordMachine;
  bool ClientSecretMachine;
};

std::vector<TSetting> ProfileSettings(TDvEWSCustomSession& s, bool storeCredentials,
                                      bool storeProxyCredentials, TScopes scopes) {
  auto scopeName = [](bool machine) { return machine ? "Machine" : "User"; };
  const TDvOAuth& oauth = s.GetOAuth();
  const std::string password =
      storeCredentials ? TDvEWSProfileCustomContainer::ProtectText(s.GetCredentials().GetPassword(),
                                                                   scopes.PasswordMachine, false)
                       : std::string();
  std::vector<TSetting> out = {
      {"UseAutoDiscover", DvBoolToXML(s.GetUseAutoDiscover()), true},
      {"AutodiscoverEMail", s.GetAutodiscoverEMail()},
      {"ServiceURL", s.GetServiceUrl()},
      {"UserName", s.GetCredentials().GetUserName()},
      {"Password", password},
      {"PasswordEncryption", password.empty() ? "" : scopeName(scopes.PasswordMachine)},
      {"ConnectingSIDType", std::string(DvEnumName(s.GetConnectingSIDType()))},
      {"ConnectingSID", s.GetConnectingSID()},
      {"UserAgent", s.GetUserAgent()},
      {"AccessType", AccessTypeName(s.GetAccessType())},
  };
  for (const auto& [name, flag] : kSecurityFlags)
    out.push_back({name, DvBoolToXML(s.GetSecurityFlags().Contains(flag)), true});
  const std::string clientSecret = TDvEWSProfileCustomContainer::ProtectText(
      oauth.GetClientSecret(), scopes.ClientSecretMachine, true);
  out.insert(out.end(),
             {{"ProxyServer", s.GetProxyServer()},
              {"ProxyUserName", s.GetProxyCredentials().GetUserName()},
              {"ProxyPassword", storeProxyCredentials
                                    ? TDvEWSProfileCustomContainer::ProtectText(
                                          s.GetProxyCredentials().GetPassword(), false, false)
                                    : std::string()},
              {"GrantType", GrantTypeName(oauth.GetGrantType())},
              {"AppID", oauth.GetAppID()},
              {"ClientSecret", clientSecret},
              {"ClientSecretEncryption",
               clientSecret.empty() ? "" : scopeName(scopes.ClientSecretMachine)},
              {"RedirectURI", oauth.GetRedirectURI()},
              {"AuthEndpoint", oauth.GetAuthEndpoint()},
              {"TokenEndpoint", oauth.GetTokenEndpoint()},
              {"Scope", oauth.GetScope()}});
  // The refresh token, so that a later logon gets a new access token without asking anyone.
  std::string refresh = s.GetAccessToken().RefreshToken;
  if (refresh.empty()) refresh = oauth.GetAccessToken().RefreshToken;
  out.push_back(
      {"RefreshToken", TDvEWSProfileCustomContainer::ProtectText(refresh, scopes.PasswordMachine)});
  return out;
}

// Reads the values a profile has into the session, in the order they are written.
void ApplySettings(TDvEWSCustomSession& s,
                   const std::function<std::optional<std::string>(const char*)>& value) {
  if (auto v = value("UseAutoDiscover")) s.SetUseAutoDiscover(DvXMLToBool(*v));
  if (auto v = value("AutodiscoverEMail")) s.SetAutodiscoverEMail(*v);
  if (auto v = value("ServiceURL")) s.SetServiceUrl(*v);
  TDvCredentials credentials = s.GetCredentials();
  if (auto v = value("UserName")) credentials.SetUserName(*v);
  if (auto v = value("Password"))
    credentials.SetPassword(TDvEWSProfileCustomContainer::UnprotectText(*v, false));
  s.SetCredentials(credentials);
  if (auto v = value("ConnectingSIDType")) {
    for (int i = 0; i <= static_cast<int>(TConnectingSIDType::csSmtpAddress); ++i)
      if (DvEnumName(static_cast<TConnectingSIDType>(i)) == *v)
        s.SetConnectingSIDType(static_cast<TConnectingSIDType>(i));
  }
  if (auto v = value("ConnectingSID")) s.SetConnectingSID(*v);
  if (auto v = value("UserAgent")) s.SetUserAgent(*v);
  if (auto v = value("AccessType")) {
    for (auto t : {TDvHTTPAccessType::atPreconfig, TDvHTTPAccessType::atDirect,
                   TDvHTTPAccessType::atNamedProxy})
      if (*v == AccessTypeName(t)) s.SetAccessType(t);
  }
  TDvHTTPSecurityFlags flags;
  for (const auto& [name, flag] : kSecurityFlags)
    if (auto v = value(name); v && DvXMLToBool(*v)) flags.Include(flag);
  s.SetSecurityFlags(flags);
  if (auto v = value("ProxyServer")) s.SetProxyServer(*v);
  TDvCredentials proxy = s.GetProxyCredentials();
  if (auto v = value("ProxyUserName")) proxy.SetUserName(*v);
  if (auto v = value("ProxyPassword"))
    proxy.SetPassword(TDvEWSProfileCustomContainer::UnprotectText(*v, false));
  s.SetProxyCredentials(proxy);
  TDvOAuth oauth;
  oauth.Assign(s.GetOAuth());
  if (auto v = value("GrantType")) {
    for (auto g : {TDvOAuthGrantType::gtNone, TDvOAuthGrantType::gtAuthorize,
                   TDvOAuthGrantType::gtPassword, TDvOAuthGrantType::gtClientCredentials})
      if (*v == GrantTypeName(g)) oauth.SetGrantType(g);
  }
  if (auto v = value("AppID")) oauth.SetAppID(*v);
  if (auto encryption = value("ClientSecretEncryption"); encryption && !encryption->empty()) {
    if (auto v = value("ClientSecret"))
      oauth.SetClientSecret(TDvEWSProfileCustomContainer::UnprotectText(*v, true));
  }
  if (auto v = value("RedirectURI")) oauth.SetRedirectURI(*v);
  if (auto v = value("AuthEndpoint")) oauth.SetAuthEndpoint(*v);
  if (auto v = value("TokenEndpoint")) oauth.SetTokenEndpoint(*v);
  if (auto v = value("Scope")) oauth.SetScope(*v);
  if (auto v = value("RefreshToken"); v && !v->empty()) {
    TDvOAuthAccessToken token;
    token.RefreshToken = TDvEWSProfileCustomContainer::UnprotectText(*v);
    oauth.SetAccessToken(token);
  }
  s.SetOAuth(oauth);
}

// The check after every successful load.
void CheckLoadedProfile(TDvEWSCustomSession& s, const std::string& name) {
  if (s.GetAutodiscoverEMail().empty() && s.GetServiceUrl().empty())
    throw EEWSException::CreateFmt(
        "The \"%s\" profile is corrupted.\r\nIt does not contain a ServiceUrl, nor an "
        "Autodiscover email address.\r\nPlease fix the profile information and try it again.",
        {name}, 0u);
}

// ---------------------------------------------------------------------------------------------
// Files: written aside with mode 0600 and renamed into place, in folders of mode 0700.

void MakeFolder(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw Exception("Cannot create the folder \"" + folder.string() + "\": " + ec.message());
  chmod(folder.c_str(), 0700);
}

void WriteFileAtomically(const fs::path& file, const std::string& content) {
  MakeFolder(file.parent_path());
  const std::string temporary = file.string() + ".tmp-" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw Exception("Cannot write \"" + file.string() + "\": " + std::strerror(errno));
  std::size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = write(fd, content.data() + written, content.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      close(fd);
      unlink(temporary.c_str());
      throw Exception("Cannot write \"" + file.string() + "\": " + std::strerror(error));
    }
    written += static_cast<std::size_t>(n);
  }
  fsync(fd);
  close(fd);
  if (rename(temporary.c_str(), file.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    throw Exception("Cannot write \"" + file.string() + "\": " + std::strerror(error));
  }
}

std::optional<std::string> ReadWholeFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---------------------------------------------------------------------------------------------
// The key store: a key is a folder, its values a JSON object in "values.json".

using Values = nlohmann::ordered_json;

// A key name as a folder name: characters a file name cannot hold (and a leading dot) are
// written as %XX.
std::string KeyFolderName(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/' || c == '%' || c < 0x20 || (i == 0 && c == '.')) {
      static const char* hex = "0123456789ABCDEF";
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string KeyNameOfFolder(const std::string& folder) {
  std::string out;
  for (std::size_t i = 0; i < folder.size(); ++i) {
    if (folder[i] == '%' && i + 2 < folder.size()) {
      out += static_cast<char>(std::stoi(folder.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += folder[i];
    }
  }
  return out;
}

Values ReadValues(const fs::path& key) {
  auto text = ReadWholeFile(key / "values.json");
  if (!text) return Values::object();
  Values v = Values::parse(*text, nullptr, false);
  return v.is_object() ? v : Values::object();
}

void WriteValues(const fs::path& key, const Values& values) {
  WriteFileAtomically(key / "values.json", values.dump(2) + "\n");
}

std::vector<std::string> SubKeys(const fs::path& key) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(key, ec))
    if (entry.is_directory()) names.push_back(KeyNameOfFolder(entry.path().filename().string()));
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return DvLowerCaseAscii(a) < DvLowerCaseAscii(b);
  });
  return names;
}

std::string ValueText(const Values& v) {
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  if (v.is_string()) return v.get<std::string>();
  return v.dump();
}

std::string Environment(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  if (v != nullptr && *v != '\0') return v;
  const char* home = std::getenv("HOME");
  if (home != nullptr && name == "XDG_DATA_HOME") return std::string(home) + "/.local/share";
  if (home != nullptr && name == "XDG_CONFIG_HOME") return std::string(home) + "/.config";
  return {};
}

}  // namespace

std::string DvExpandEnvironment(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::string name;
    std::size_t end = i;
    if (text[i] == '%') {
      end = text.find('%', i + 1);
      if (end == std::string::npos) return text;
      name = text.substr(i + 1, end - i - 1);
    } else if (text[i] == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      end = text.find('}', i + 2);
      if (end == std::string::npos) return text;
      name = text.substr(i + 2, end - i - 2);
    } else if (text[i] == '$') {
      end = i + 1;
      while (end < text.size() &&
             (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
        ++end;
      name = text.substr(i + 1, end - i - 1);
      --end;
    } else {
      out += text[i];
      continue;
    }
    const std::string value = Environment(name);
    if (value.empty()) return text;
    out += value;
    i = end;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Container-wide settings

std::string TDvEWSProfileStoreContainer::GetDefaultProfileName() {
  return ReadSetting(TContainerSetting::csDefaultProfileName).value_or(std::string());
}

bool TDvEWSProfileStoreContainer::GetPromptForProfile() {
  const std::optional<std::string> text = ReadSetting(TContainerSetting::csPromptForProfile);
  if (!text) return true;
  try {
    return DvXMLToBool(*text);
  } catch (const EConvertError&) {
    return true;
  }
}

void TDvEWSProfileStoreContainer::SetPromptForProfile(bool value) {
  WriteSetting(TContainerSetting::csPromptForProfile, DvBoolToXML(value));
}

void TDvEWSProfileStoreContainer::SetDefaultProfileName(const std::string& name) {
  WriteSetting(TContainerSetting::csDefaultProfileName, name);
}

// ---------------------------------------------------------------------------------------------
// Registry container

std::string TDvEWSProfileRegistryContainer::RootFolder() const {
  if (MachineScope()) {
    const char* dir = std::getenv("DVEWS_MACHINE_REGISTRY_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/etc/dvews/registry";
  }
  const char* dir = std::getenv("DVEWS_REGISTRY_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return Environment("XDG_CONFIG_HOME") + "/dvews/registry";
}

namespace {
const char* RegistryValueName(TDvEWSProfileStoreContainer::TContainerSetting setting) {
  return setting == TDvEWSProfileStoreContainer::TContainerSetting::csPromptForProfile
             ? "PromptForProfile"
             : "DefaultProfileName";
}

fs::path KeyPath(const std::string& root, const std::string& key) {
  fs::path path = root;
  std::size_t start = 0;
  while (start <= key.size()) {
    std::size_t end = key.find('\\', start);
    if (end == std::string::npos) end = key.size();
    if (end > start) path /= KeyFolderName(key.substr(start, end - start));
    start = end + 1;
  }
  return path;
}
}  // namespace

std::optional<std::string> TDvEWSProfileRegistryContainer::ReadSetting(TContainerSetting setting) {
  const char* name = RegistryValueName(setting);
  const Values v = ReadValues(KeyPath(RootFolder(), FKey));
  if (!v.contains(name)) return std::nullopt;
  return ValueText(v[name]);
}

void TDvEWSProfileRegistryContainer::WriteSetting(TContainerSetting setting,
                                                  const std::string& text) {
  const fs::path key = KeyPath(RootFolder(), FKey);
  Values v = ReadValues(key);
  if (setting == TContainerSetting::csPromptForProfile)
    v[RegistryValueName(setting)] = DvXMLToBool(text);
  else
    v[RegistryValueName(setting)] = text;
  WriteValues(key, v);
}

int TDvEWSProfileRegistryContainer::GetProfileNames(std::vector<std::string>& names) {
  const fs::path key = KeyPath(RootFolder(), FKey);
  MakeFolder(key);
  names = SubKeys(key);
  return static_cast<int>(names.size());
}

void TDvEWSProfileRegistryContainer::SaveProfile(TDvEWSCustomSession& session,
                                                 const std::string& name) {
  const fs::path key = KeyPath(RootFolder(), FKey) / KeyFolderName(name);
  Values values = Values::object();
  for (const TSetting& s : ProfileSettings(session, FStoreCredentials, FStoreProxyCredentials,
                                           {MachineScope(), MachineScope()})) {
    if (s.Boolean)
      values[s.Name] = DvXMLToBool(s.Text);
    else
      values[s.Name] = s.Text;
  }
  WriteValues(key, values);
  Values mailboxes = Values::object();
  for (const std::string& address : session.FAdditionalMailboxes)
    mailboxes[address] = true;
  WriteValues(key / "AdditionalMailboxes", mailboxes);
  SingleProfileRule();
}

void TDvEWSProfileRegistryContainer::DeleteProfile(const std::string& name) {
  const fs::path root = KeyPath(RootFolder(), FKey);
  std::error_code ec;
  fs::remove_all(root / KeyFolderName(name), ec);
  if (GetDefaultProfileName() == name) SetDefaultProfileName("");
  SingleProfileRule();
}

void TDvEWSProfileRegistryContainer::SingleProfileRule() {
  std::vector<std::string> names;
  if (GetProfileNames(names) != 1) return;
  SetDefaultProfileName(names.front());
  SetPromptForProfile(false);
}

bool TDvEWSProfileRegistryContainer::LoadProfile(TDvEWSCustomSession& session,
                                                 const std::string& name) {
  const fs::path key = KeyPath(RootFolder(), FKey) / KeyFolderName(name);
  if (!fs::is_directory(key)) return false;
  const Values values = ReadValues(key);
  ApplySettings(session, [&](const char* n) -> std::optional<std::string> {
    if (!values.contains(n)) return std::nullopt;
    return ValueText(values[n]);
  });
  std::vector<std::string> mailboxes;
  const Values stored = ReadValues(key / "AdditionalMailboxes");
  for (const auto& [address, _] : stored.items())
    mailboxes.push_back(address);
  session.SetAdditionalMailboxes(mailboxes);
  CheckLoadedProfile(session, name);
  return true;
}

// ---------------------------------------------------------------------------------------------
// File container

namespace {

constexpr const char* kProfilesNs = "urn:dovrane:ews:profiles";

// The case-insensitive child or attribute of a node (files written with either spelling read
// alike).
pugi::xml_node ChildNoCase(const pugi::xml_node& n, const char* name) {
  for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && DvSameText(c.name(), name)) return c;
  return {};
}
pugi::xml_attribute AttrNoCase(const pugi::xml_node& n, const char* name) {
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
    if (DvSameText(a.name(), name)) return a;
  return {};
}

// The document of a profile file when it can be read and is ours (root "Profiles", version
// "1.0"); none otherwise.
bool ReadProfiles(const std::string& file, pugi::xml_document& doc) {
  auto text = ReadWholeFile(file);
  if (!text || !doc.load_string(text->c_str())) return false;
  pugi::xml_node root = doc.document_element();
  return root && DvSameText(root.name(), "Profiles") &&
         std::string(AttrNoCase(root, "version").value()) == "1.0";
}

// The file's document for writing: as read, or a new one.
void OpenProfiles(const std::string& file, pugi::xml_document& doc) {
  if (ReadProfiles(file, doc)) return;
  doc.reset();
  auto declaration = doc.append_child(pugi::node_declaration);
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = "utf-8";
  pugi::xml_node root = doc.append_child("Profiles");
  root.append_attribute("xmlns") = kProfilesNs;
  root.append_attribute("version") = "1.0";
  root.append_attribute("Default") = "";
  MakeFolder(fs::path(file).parent_path());
}

void SaveProfiles(const std::string& file, const pugi::xml_document& doc) {
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
  WriteFileAtomically(file, out.str());
}

pugi::xml_node FindProfile(const pugi::xml_node& root, const std::string& name) {
  for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && DvSameText(c.name(), "Profile") &&
        AttrNoCase(c, "name").value() == name)
      return c;
  return {};
}

const char* FileAttributeName(TDvEWSProfileStoreContainer::TContainerSetting setting) {
  return setting == TDvEWSProfileStoreContainer::TContainerSetting::csPromptForProfile
             ? "PromptForProfile"
             : "Default";
}

void SetAttr(pugi::xml_node n, const char* name, const std::string& value) {
  pugi::xml_attribute a = AttrNoCase(n, name);
  if (!a) a = n.append_attribute(name);
  a.set_value(value.c_str());
}

}  // namespace

std::string TDvEWSProfileConfigFileContainer::ExpandedFileName() const {
  return DvExpandEnvironment(FFileName);
}

std::optional<std::string> TDvEWSProfileConfigFileContainer::ReadSetting(
    TContainerSetting setting) {
  pugi::xml_document doc;
  if (!ReadProfiles(ExpandedFileName(), doc)) return std::nullopt;
  const pugi::xml_node root = doc.document_element();
  pugi::xml_attribute a = AttrNoCase(root, FileAttributeName(setting));
  if (!a) return std::nullopt;
  const std::string text = a.value();
  if (setting == TContainerSetting::csDefaultProfileName && !FindProfile(root, text))
    return std::nullopt;
  return text;
}

void TDvEWSProfileConfigFileContainer::WriteSetting(TContainerSetting setting,
                                                    const std::string& text) {
  const std::string file = ExpandedFileName();
  pugi::xml_document doc;
  OpenProfiles(file, doc);
  SetAttr(doc.document_element(), FileAttributeName(setting), text);
  SaveProfiles(file, doc);
}

int TDvEWSProfileConfigFileContainer::GetProfileNames(std::vector<std::string>& names) {
  names.clear();
  pugi::xml_document doc;
  if (!ReadProfiles(ExpandedFileName(), doc)) return 0;
  for (pugi::xml_node c = doc.document_element().first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element) names.push_back(AttrNoCase(c, "name").value());
  return static_cast<int>(names.size());
}

void TDvEWSProfileConfigFileContainer::SaveProfile(TDvEWSCustomSession& session,
                                                   const std::string& name) {
  const std::string file = ExpandedFileName();
  pugi::xml_document doc;
  OpenProfiles(file, doc);
  pugi::xml_node root = doc.document_element();
  pugi::xml_node profile = FindProfile(root, name);
  if (!profile) {
    profile = root.append_child("Profile");
    profile.append_attribute("name") = name.c_str();
  }
  const bool authorize = session.GetOAuth().GetGrantType() == TDvOAuthGrantType::gtAuthorize;
  for (const TSetting& s :
       ProfileSettings(session, FStoreCredentials, FStoreProxyCredentials, {!authorize, true})) {
    pugi::xml_node e = ChildNoCase(profile, s.Name.c_str());
    if (!e) e = profile.append_child(s.Name.c_str());
    e.text().set(s.Text.c_str());
  }
  pugi::xml_node mailboxes = ChildNoCase(profile, "AdditionalMailboxes");
  if (mailboxes) profile.remove_child(mailboxes);
  mailboxes = profile.append_child("AdditionalMailboxes");
  for (const std::string& address : session.FAdditionalMailboxes)
    mailboxes.append_child("Mailbox").append_attribute("PrimarySMTPAddress") = address.c_str();
  SaveProfiles(file, doc);
}

void TDvEWSProfileConfigFileContainer::DeleteProfile(const std::string& name) {
  const std::string file = ExpandedFileName();
  pugi::xml_document doc;
  if (!ReadProfiles(file, doc)) return;
  pugi::xml_node profile = FindProfile(doc.document_element(), name);
  if (!profile) return;
  doc.document_element().remove_child(profile);
  SaveProfiles(file, doc);
}

bool TDvEWSProfileConfigFileContainer::LoadProfile(TDvEWSCustomSession& session,
                                                   const std::string& name) {
  pugi::xml_document doc;
  if (!ReadProfiles(ExpandedFileName(), doc)) return false;
  pugi::xml_node profile = FindProfile(doc.document_element(), name);
  if (!profile) return false;
  try {
    ApplySettings(session, [&](const char* n) -> std::optional<std::string> {
      pugi::xml_node e = ChildNoCase(profile, n);
      if (!e) return std::nullopt;
      return std::string(e.text().get());
    });
    std::vector<std::string> addresses;
    for (pugi::xml_node m = ChildNoCase(profile, "AdditionalMailboxes").first_child(); m;
         m = m.next_sibling())
      addresses.push_back(AttrNoCase(m, "PrimarySMTPAddress").value());
    session.SetAdditionalMailboxes(addresses);
  } catch (const std::exception&) {
    return false;
  }
  CheckLoadedProfile(session, name);
  return true;
}

}  // namespace dv
