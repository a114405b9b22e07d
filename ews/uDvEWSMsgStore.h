/// @file
/// The message store: one mailbox. The session opens it and every folder and item is created
/// beneath it. The store finds well-known folders by their distinguished names, opens an item by
/// identifier as an object of the right class, opens one occurrence of a recurring series and
/// learns the mailbox's identity (the owner's resolved address). Its services (out-of-office
/// settings, categories, rooms, photos, list expansion) are in uDvEWSMsgStoreServices.h.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "uDvEWSBaseObject.h"
#include "uDvEWSFolder.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSMsgStoreServices.h"
#include "uDvEWSTypes.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

/// A mailbox: its well-known folders, items by id and the owner's identity. Get the user's own
/// from TDvEWSCustomSession::OpenDefaultMsgStore, another's from OpenMsgStore. Failures raise
/// dv::EEWSException with the server's response code.
class IDvEWSMsgStore : public virtual IDvEWSObject {
 public:
  /// The name given at creation; when empty, the identity's display name (then kept).
  virtual std::string GetDisplayName() = 0;
  /// The mailbox owner, resolved once and kept.
  virtual DvEWSRecipientPtr GetIdentity() = 0;
  /// The id of a distinguished folder (raising on failure).
  virtual TItemId GetFolderId(TDistinguishedFolderIdName name) = 0;
  /// As GetFolderId without raising: false and an empty id when the folder is not there.
  virtual bool FindFolderId(TDistinguishedFolderIdName name, TItemId& id) = 0;
  /// A distinguished folder, of another mailbox when `mailbox` is not empty.
  virtual DvEWSFolderPtr GetFolder(TDistinguishedFolderIdName name,
                                   const std::string& mailbox = {}) = 0;
  /// A folder by id (a calendar folder as IDvEWSCalendarFolder).
  virtual DvEWSFolderPtr GetFolder(const TItemId& folderId) = 0;
  /// As above, with a schema id object.
  virtual DvEWSFolderPtr GetFolder(TEwsFolderId& folderId) = 0;
  /// The item as the object of its kind (by the element name the server answers with), loaded
  /// with all properties by that same answer: one GetItem request.
  virtual DvEWSItemPtr GetItem(const TItemId& itemId) = 0;
  /// Occurrence `index` (1-based, as the server counts) of a recurring series.
  virtual DvEWSItemPtr GetOccurence(const TItemId& masterId, int index) = 0;
  /// The item's MIME content saved to a file with one request and no item object (as
  /// IDvEWSItem::SaveToFile does for an item at hand); for exporting many items.
  virtual void SaveItemToFile(const TItemId& itemId, const std::string& fileName) = 0;

  /// @name Services
  /**@{*/
  /// The master category list (one GetUserConfiguration, then kept); Exchange2013 or later.
  virtual DvEWSCategoriesPtr GetCategories() = 0;
  /// The organisation's room lists (one GetRoomLists).
  virtual DvEWSRecipientsPtr GetRoomLists() = 0;
  /// The rooms of a room list (one GetRooms).
  virtual DvEWSRecipientsPtr GetRooms(const std::string& roomListAddress) = 0;
  /// Writes the photo of `address` (the mailbox owner when empty) at that size into `stream`
  /// (one GetUserPhoto). Raises dv::EEWSException ErrorItemNotFound when there is none.
  virtual void GetUserPhoto(std::ostream& stream, TSizeRequested size,
                            const std::string& address = {}) = 0;
  /// The out-of-office settings (one GetUserOofSettings), as a copy to change and Apply.
  virtual DvEWSOOFPtr GetOOF() = 0;
  /// The members of a public distribution group (by address) or of a private list in a
  /// Contacts folder (by id): one ExpandDL each. With `nested`, members that are groups or
  /// private lists are expanded in turn, each list once, and only the people remain (each
  /// address once).
  virtual DvEWSRecipientsPtr ExpandDL(const std::string& address, bool nested = false) = 0;
  virtual DvEWSRecipientsPtr ExpandDL(const TItemId& listId, bool nested = false) = 0;
  /**@}*/
};

/// The message store class (see IDvEWSMsgStore).
class TDvEWSMsgStore : public TDvEWSObject, public virtual IDvEWSMsgStore {
 public:
  /// name: the mailbox's display name, or empty (learnt from the identity on first use). The
  /// store keeps its creator alive. Create with std::make_shared.
  TDvEWSMsgStore(TDvComponent* owner, const std::string& name);
  ~TDvEWSMsgStore() override;

  std::string GetDisplayName() override;
  DvEWSRecipientPtr GetIdentity() override;
  /// The mailbox owner's primary address, as the server names it (GetFolder of the Inbox and
  /// ConvertId of its id, once): the identity without its name resolution.
  std::string GetMailboxAddress();
  /// Gives the store the address its session already learnt, so that it is not asked again.
  void SetMailboxAddress(const std::string& address) { FMailboxAddress = address; }
  /// The id and the folder element's local name ("CalendarFolder", …) of a distinguished folder.
  /// Without raiseOnError a failure gives an empty id and type.
  TItemId GetFolderIdAndType(TDistinguishedFolderIdName name, std::string& folderType,
                             const std::string& mailbox, bool raiseOnError);
  TItemId GetFolderId(TDistinguishedFolderIdName name) override;
  bool FindFolderId(TDistinguishedFolderIdName name, TItemId& id) override;
  DvEWSFolderPtr GetFolder(TDistinguishedFolderIdName name,
                           const std::string& mailbox = {}) override;
  DvEWSFolderPtr GetFolder(const TItemId& folderId) override;
  DvEWSFolderPtr GetFolder(TEwsFolderId& folderId) override;
  DvEWSItemPtr GetItem(const TItemId& itemId) override;
  DvEWSItemPtr GetOccurence(const TItemId& masterId, int index) override;
  void SaveItemToFile(const TItemId& itemId, const std::string& fileName) override;
  DvEWSCategoriesPtr GetCategories() override;
  DvEWSRecipientsPtr GetRoomLists() override;
  DvEWSRecipientsPtr GetRooms(const std::string& roomListAddress) override;
  void GetUserPhoto(std::ostream& stream, TSizeRequested size,
                    const std::string& address = {}) override;
  DvEWSOOFPtr GetOOF() override;
  DvEWSRecipientsPtr ExpandDL(const std::string& address, bool nested = false) override;
  DvEWSRecipientsPtr ExpandDL(const TItemId& listId, bool nested = false) override;

  /// The item's element as GetItem fetches it (all properties), checked: one GetItem request.
  /// Used to learn an item's kind and class without making an item object.
  DvDOMElementPtr FetchItemElement(const TItemId& itemId);

 private:
  std::string FDisplayName;
  std::string FMailboxAddress;
  DvEWSRecipientPtr FIdentity;
  DvEWSRecipientsPtr FIdentityList;  // keeps the identity's element alive
  DvEWSCategoriesPtr FCategories;
};

/// The store reached from an object by walking its creators; none when there is none.
std::shared_ptr<TDvEWSMsgStore> DvEWSFindMsgStore(TDvComponent* object);

}  // namespace dv
