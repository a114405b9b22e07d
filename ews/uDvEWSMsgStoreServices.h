/// @file
/// The mailbox's services beside its folders: the out-of-office settings (TDvEWSOOF), the master
/// category list (TDvEWSCategories), room lists and rooms, user photos and the expansion of
/// distribution lists. The store hands them out (IDvEWSMsgStore::GetOOF, GetCategories,
/// GetRoomLists, GetRooms, GetUserPhoto, ExpandDL).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DvSOAP.h"
#include "DvXML.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

class TDvEWSMsgStore;

/// A copy of a mailbox's out-of-office settings. Getters and setters work on the copy; nothing
/// is sent until Apply. A new IDvEWSMsgStore::GetOOF fetches fresh settings.
class IDvEWSOOF {
 public:
  virtual ~IDvEWSOOF() = default;
  /// Disabled, Enabled, or Scheduled (in force between the start and end times).
  virtual TOofState GetState() = 0;
  /// Who outside the organisation gets the external reply: nobody, known senders, everyone.
  virtual TExternalAudience GetExternalAudience() = 0;
  /// The widest external audience the administrator allows (read only).
  virtual TExternalAudience GetAllowExternalOof() = 0;
  virtual TDateTime GetEndTime() = 0;
  virtual std::string GetExternalReply() = 0;
  virtual std::string GetInternalReply() = 0;
  virtual TDateTime GetStartTime() = 0;
  virtual void SetState(TOofState value) = 0;
  virtual void SetExternalAudience(TExternalAudience value) = 0;
  virtual void SetEndTime(TDateTime value) = 0;
  virtual void SetExternalReply(const std::string& value) = 0;
  virtual void SetInternalReply(const std::string& value) = 0;
  virtual void SetStartTime(TDateTime value) = 0;
  /// Disabled, audience None, both replies empty, then Apply.
  virtual void Clear() = 0;
  /// Sends the settings (one SetUserOofSettings); the window only with the Scheduled state.
  /// Raises dv::EEWSException with the server's response code when refused.
  virtual void Apply() = 0;
};
/// A shared out-of-office object.
using DvEWSOOFPtr = std::shared_ptr<IDvEWSOOF>;

/// The out-of-office class (see IDvEWSOOF) over the GetUserOofSettings response element.
class TDvEWSOOF : public IDvEWSOOF {
 public:
  /// `response` keeps `element` (the GetUserOofSettingsResponse element) alive.
  TDvEWSOOF(std::shared_ptr<TDvEWSMsgStore> store, DvSOAPResponsePtr response,
            DvDOMElementPtr element);
  TOofState GetState() override;
  TExternalAudience GetExternalAudience() override;
  TExternalAudience GetAllowExternalOof() override;
  TDateTime GetEndTime() override;
  std::string GetExternalReply() override;
  std::string GetInternalReply() override;
  TDateTime GetStartTime() override;
  void SetState(TOofState value) override;
  void SetExternalAudience(TExternalAudience value) override;
  void SetEndTime(TDateTime value) override;
  void SetExternalReply(const std::string& value) override;
  void SetInternalReply(const std::string& value) override;
  void SetStartTime(TDateTime value) override;
  void Clear() override;
  void Apply() override;

 private:
  // The element at a path of local names below the response element: none when missing, or
  // created (with its missing parents) when `create` is set.
  DvDOMElementPtr Node(const std::string& path, bool create);
  std::string Text(const std::string& path);

  std::shared_ptr<TDvEWSMsgStore> FStore;
  DvSOAPResponsePtr FResponse;
  DvDOMElementPtr FElement;
};

/// The master category list of a mailbox: names with colours and shortcut keys.
class IDvEWSCategories {
 public:
  virtual ~IDvEWSCategories() = default;
  /// Category `index` in list order (EListError when out of range).
  virtual TDvEWSCategory GetCategory(int index) = 0;
  /// The name of the default category (empty when none).
  virtual std::string GetDefaultCategory() = 0;
  virtual int Count() = 0;
};
/// A shared category list.
using DvEWSCategoriesPtr = std::shared_ptr<IDvEWSCategories>;

/// The category list class (see IDvEWSCategories), read from the CategoryList configuration
/// object's XmlData.
class TDvEWSCategories : public IDvEWSCategories {
 public:
  /// From the XmlData text (Base64 of the category list document; a document without an encoding
  /// declaration is read as UTF-8).
  explicit TDvEWSCategories(const std::string& xmlDataBase64);
  TDvEWSCategory GetCategory(int index) override;
  std::string GetDefaultCategory() override { return FDefault; }
  int Count() override { return static_cast<int>(FList.size()); }

 private:
  std::vector<TDvEWSCategory> FList;
  std::string FDefault;
};

/// The wire text of a photo size ("HR96x96"; the schema writes the x in lower case).
std::string DvEWSPhotoSizeText(TSizeRequested size);

}  // namespace dv
