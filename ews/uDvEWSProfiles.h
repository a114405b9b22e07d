/// @file
/// The two profile containers: a hierarchical key store of the library's own in the user's (or
/// the machine's) configuration folder, and an XML file in the user's data folder. Secrets are
/// stored protected (TDvDataProtection), never in clear.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "uDvEWS.h"

namespace dv {

/// Where a registry container keeps its keys.
enum class TDvEWSRegistryRootKey {
  /// The user's: $DVEWS_REGISTRY_DIR, else $XDG_CONFIG_HOME/dvews/registry, else
  /// ~/.config/dvews/registry. Secrets in user scope.
  rkCurrentUser,
  /// The machine's: $DVEWS_MACHINE_REGISTRY_DIR, else /etc/dvews/registry. Secrets in machine
  /// scope.
  rkLocalMachine
};

/// What both containers share: the container-wide settings (the default profile and whether to
/// prompt for one), read and written through the two storage steps each container provides.
class TDvEWSProfileStoreContainer : public TDvEWSProfileCustomContainer {
 public:
  using TDvEWSProfileCustomContainer::TDvEWSProfileCustomContainer;

  /// The container-wide settings.
  enum class TContainerSetting { csDefaultProfileName, csPromptForProfile };

  /// The stored name, or empty.
  std::string GetDefaultProfileName() override;
  /// True unless "false" is stored (a value that is no boolean counts as true).
  bool GetPromptForProfile() override;
  void SetPromptForProfile(bool value) override;
  void SetDefaultProfileName(const std::string& name) override;

 protected:
  /// A setting's stored text ("true"/"false" for csPromptForProfile); none when not stored.
  virtual std::optional<std::string> ReadSetting(TContainerSetting setting) = 0;
  /// Stores a setting's text.
  virtual void WriteSetting(TContainerSetting setting, const std::string& text) = 0;
};

/// Profiles as keys and values: Key ("SOFTWARE\\Dovrane\\EWS\\Profiles" by default) holds the
/// values "DefaultProfileName" and "PromptForProfile" and one subkey per profile. A key is a
/// folder (mode 0700) under the root's folder, its values one JSON file ("values.json", mode
/// 0600, replaced atomically).
class TDvEWSProfileRegistryContainer : public TDvEWSProfileStoreContainer {
 public:
  explicit TDvEWSProfileRegistryContainer(TDvComponent* owner = nullptr)
      : TDvEWSProfileStoreContainer(owner) {}

  TDvEWSRegistryRootKey GetRootKey() const { return FRootKey; }
  void SetRootKey(TDvEWSRegistryRootKey value) { FRootKey = value; }
  const std::string& GetKey() const { return FKey; }
  void SetKey(const std::string& value) { FKey = value; }
  /// The folder of the root key (see TDvEWSRegistryRootKey).
  std::string RootFolder() const;

  int GetProfileNames(std::vector<std::string>& names) override;
  /// Writes the profile; when it is then the only one, it becomes the default and no prompt is
  /// asked for.
  void SaveProfile(TDvEWSCustomSession& session, const std::string& name) override;
  /// Removes the profile (and the default naming it), then applies the rule of the only profile.
  void DeleteProfile(const std::string& name) override;
  bool LoadProfile(TDvEWSCustomSession& session, const std::string& name) override;

 protected:
  /// Values "DefaultProfileName" and "PromptForProfile" (a JSON boolean) of Key.
  std::optional<std::string> ReadSetting(TContainerSetting setting) override;
  void WriteSetting(TContainerSetting setting, const std::string& text) override;

 private:
  void SingleProfileRule();
  bool MachineScope() const { return FRootKey == TDvEWSRegistryRootKey::rkLocalMachine; }

  TDvEWSRegistryRootKey FRootKey = TDvEWSRegistryRootKey::rkCurrentUser;
  std::string FKey = "SOFTWARE\\Dovrane\\EWS\\Profiles";
};

/// Profiles in one XML file: a "Profiles" root (version "1.0", the default profile in "Default",
/// "PromptForProfile") with one "Profile" element per profile. Written with mode 0600, replaced
/// atomically.
class TDvEWSProfileConfigFileContainer : public TDvEWSProfileStoreContainer {
 public:
  explicit TDvEWSProfileConfigFileContainer(TDvComponent* owner = nullptr)
      : TDvEWSProfileStoreContainer(owner) {}

  /// The file; environment variables ($NAME, ${NAME}, %NAME%) are expanded when it is used
  /// (XDG_DATA_HOME and XDG_CONFIG_HOME fall back to their usual folders). Default:
  /// "$XDG_DATA_HOME/dvews/Profiles.config".
  const std::string& GetFileName() const { return FFileName; }
  void SetFileName(const std::string& value) { FFileName = value; }
  /// The file name as used (expanded).
  std::string ExpandedFileName() const;

  int GetProfileNames(std::vector<std::string>& names) override;
  /// Writes the profile, replacing the one of that name (matched exactly).
  void SaveProfile(TDvEWSCustomSession& session, const std::string& name) override;
  /// Removes the profile; the default is left as stored (it then names no profile, so reads
  /// as empty).
  void DeleteProfile(const std::string& name) override;
  /// False for a profile that cannot be read, as for one that is not there.
  bool LoadProfile(TDvEWSCustomSession& session, const std::string& name) override;

 protected:
  /// The root's attributes "Default" (read only while it names a profile of the file) and
  /// "PromptForProfile".
  std::optional<std::string> ReadSetting(TContainerSetting setting) override;
  void WriteSetting(TContainerSetting setting, const std::string& text) override;

 private:
  std::string FFileName = "$XDG_DATA_HOME/dvews/Profiles.config";
};

/// Expands $NAME, ${NAME} and %NAME% in a text; XDG_DATA_HOME and XDG_CONFIG_HOME default to
/// ~/.local/share and ~/.config. Gives the text unchanged when a variable is unknown.
std::string DvExpandEnvironment(const std::string& text);

}  // namespace dv
