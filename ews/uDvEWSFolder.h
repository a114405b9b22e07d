/// @file
/// Folders: one mailbox folder opened by its identifier. A folder reads its properties, lists its
/// sub-folders and its items as pageable tables, creates and deletes folders, and creates, copies,
/// moves, deletes and imports items; a calendar folder also gives a calendar view over a date
/// range and deletes meetings with a chosen cancellation mode.
///
/// Every operation is one EWS request made through the creator chain (so headers a store adds
/// reach it) and checked by the object base. Identifier elements carry the ChangeKey attribute
/// only when the session's server version is Exchange2013_SP1 or later.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <string>

#include "DvSysUtils.h"
#include "uDvEWSBaseObject.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSTable.h"
#include "uDvEWSTypes.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

class IDvEWSMsgStore;
/// A shared message store.
using DvEWSMsgStorePtr = std::shared_ptr<IDvEWSMsgStore>;
/// The item interface; declared by the item unit (uDvEWSItem.h).
class IDvEWSItem;
/// A shared item.
using DvEWSItemPtr = std::shared_ptr<IDvEWSItem>;

// ---- Enumerations (texts are the names less their lowercase prefix) ----

/// How a deletion goes: for good, to the dumpster (recoverable), or into Deleted Items.
enum class TDvEWSFolderDeleteType { dtHardDelete, dtSoftDelete, dtMoveToDeletedItems };

/// The kinds of mailbox item (each maps to an element such as t:Message or t:CalendarItem).
enum class TItemType {
  tItem,
  tMessage,
  tCalendarItem,
  tContact,
  tDistributionList,
  tMeetingMessage,
  tMeetingRequest,
  tMeetingResponse,
  tMeetingCancellation,
  tTask,
  tPostItem,
  tReplyToItem,
  tReplyAllToItem,
  tForwardItem
};

/// The message flags an import may set (the PR_MESSAGE_FLAGS bits).
enum class TDvEWSMessageFlag { msgflgRead, msgflgUnmodified, msgflgUnsent, msgflgFromMe };
/// A set of TDvEWSMessageFlag.
using TDvEWSMessageFlags = TSet<TDvEWSMessageFlag>;

/// Whom a change or deletion of a meeting notifies, and whether a copy is kept.
enum class TSendMeetingInvitationsOrCancellations {
  smiocSendToNone,
  smiocSendOnlyToAll,
  smiocSendToAllAndSaveCopy,
  smiocSendOnlyToChanged,
  smiocSendToChangedAndSaveCopy
};

/// "HardDelete", "SoftDelete", "MoveToDeletedItems".
std::string DvEWSDeleteTypeText(TDvEWSFolderDeleteType type);
/// "SendToNone", "SendOnlyToAll", …
std::string DvEWSSendMeetingText(TSendMeetingInvitationsOrCancellations mode);
/// "Folder", "CalendarFolder", "ContactsFolder", "SearchFolder", "TasksFolder".
std::string DvEWSFolderFieldTypeText(TSetFolderFieldType type);
/// The folder kind whose text is an element's local name (sffFolder for any other name).
TSetFolderFieldType DvEWSFolderFieldTypeOf(const std::string& localName);
/// The PR_MESSAGE_FLAGS bits of a flag set (read 1, unmodified 2, unsent 8, from me 32).
std::int32_t DvEWSMessageFlagsValue(TDvEWSMessageFlags flags);

// ---- The item classes, as the item unit provides them ----

/// A new item object of the class for `type` (TDvEWSEMail for tMessage; the generic TDvEWSItem
/// for kinds whose class does not exist yet), owned by `owner` (a store or folder). With a
/// non-empty id the object loads that item from the server; with an empty id it is new and
/// unsaved. Defined by the item unit (uDvEWSItem.cpp); a build without it raises.
DvEWSItemPtr DvEWSCreateItemObject(TDvEWSObject& owner, TItemType type, const TItemId& id);
/// The item kind of an item element's local name, compared ignoring case ("Message" tMessage,
/// "CalendarItem" tCalendarItem, "Contact" tContact, "Task" tTask, "DistributionList"
/// tDistributionList, the four meeting message kinds; anything else tItem).
TItemType DvEWSItemTypeOfElement(const std::string& localName);
/// Writes the item's MIME content (one GetItem asking for item:MimeContent, made through
/// `requester`; the change key is sent when withChangeKey and known) to fileName, replacing the
/// file only once the whole content is written. Defined by the item unit.
void DvEWSSaveItemMime(TDvEWSObject& requester, const TItemId& itemId, bool withChangeKey,
                       const std::string& fileName);

// ---- Tables of a folder ----

/// The items of a folder as a table (IDvEWSFolder::GetItems): choose columns and a filter, then
/// Open and walk the rows.
class IDvEWSItems : public virtual IDvEWSTableBase {
 public:
  /// The current row's ItemId.
  virtual TItemId GetItemId() = 0;
};
/// A shared item table.
using DvEWSItemsPtr = std::shared_ptr<IDvEWSItems>;

/// The sub-folders of a folder as a table (IDvEWSFolder::GetSubFolders).
class IDvEWSFolders : public virtual IDvEWSTableBase {
 public:
  /// The current row's FolderId.
  virtual TItemId GetItemId() = 0;
  /// The current row's kind, from its element name.
  virtual TSetFolderFieldType FolderFieldType() = 0;
};
/// A shared folder table.
using DvEWSFoldersPtr = std::shared_ptr<IDvEWSFolders>;

// ---- Folder interfaces ----

/// A mailbox folder: its properties, its sub-folders and items as tables, and the operations on
/// them. Each operation is one request; failures raise dv::EEWSException with the server's
/// response code (ErrorItemNotFound, ErrorAccessDenied, …). Get one from
/// IDvEWSMsgStore::GetFolder.
class IDvEWSFolder : public virtual IDvEWSPropObject {
 public:
  /// The store the folder belongs to.
  virtual DvEWSMsgStorePtr GetMsgStore() = 0;
  /// The id of the folder above.
  virtual TItemId GetParentFolderId() = 0;
  /// The folder kind (mail, calendar, contacts, tasks, search).
  virtual TSetFolderFieldType GetFolderFieldType() = 0;
  /// The number of direct sub-folders, as loaded.
  virtual int GetChildFolderCount() = 0;
  /// The folder's name.
  virtual std::string GetDisplayName() = 0;
  /// The EffectiveRights element of the folder data (none when the server sent none).
  virtual TEwsEffectiveRights* GetEffectiveRights() = 0;
  /// The number of items, as loaded.
  virtual int GetTotalCount() = 0;
  /// The number of unread items, as loaded.
  virtual int GetUnreadCount() = 0;
  /// Stored in the folder's data only; nothing is sent.
  virtual void SetDisplayName(const std::string& value) = 0;
  /// The direct sub-folders as a table; nothing is fetched before Open.
  virtual DvEWSFoldersPtr GetSubFolders() = 0;
  /// Creates a sub-folder of that kind and name; gives its id. A name taken already raises
  /// dv::EEWSException ErrorFolderExists.
  virtual TItemId CreateFolder(TSetFolderFieldType folderType, const std::string& displayName) = 0;
  /// Deletes every item of the folder (and its sub-folders with `deleteSubFolders`).
  virtual void EmptyFolder(TDvEWSFolderDeleteType deleteType, bool deleteSubFolders) = 0;
  /// Deletes a folder (any folder of the mailbox, usually a sub-folder of this one).
  virtual void DeleteFolder(const TItemId& folderId, TDvEWSFolderDeleteType deleteType) = 0;
  /// Always raises: folders are read only.
  virtual void SaveChanges() = 0;
  /// The folder's items as a table; nothing is fetched before Open.
  virtual DvEWSItemsPtr GetItems() = 0;
  /// An item by id, as the object of its kind (as IDvEWSMsgStore::GetItem).
  virtual DvEWSItemPtr GetItem(const TItemId& itemId) = 0;
  /// A new, unsaved item of that kind, to be saved into this folder (kinds without a class of
  /// their own come as the generic item). Cast a tMessage to IDvEWSEMail.
  virtual DvEWSItemPtr CreateItem(TItemType itemType) = 0;
  /// Copies an item into another folder; gives the copy's id.
  virtual TItemId CopyItem(const TItemId& itemId, const TItemId& toFolderId) = 0;
  /// As above, with schema id objects.
  virtual TItemId CopyItem(TEwsItemId& itemId, TEwsFolderId& toFolderId) = 0;
  /// Moves an item into another folder; gives its new id.
  virtual TItemId MoveItem(const TItemId& itemId, const TItemId& toFolderId) = 0;
  /// As above, with schema id objects.
  virtual TItemId MoveItem(TEwsItemId& itemId, TEwsFolderId& toFolderId) = 0;
  /// Deletes an item.
  virtual void DeleteItem(const TItemId& itemId, TDvEWSFolderDeleteType deleteType) = 0;
  /// As above, with a schema id object.
  virtual void DeleteItem(TEwsItemId& itemId, TDvEWSFolderDeleteType deleteType) = 0;
  /// A MIME message read from the stream (UTF-8, byte-order mark honoured); gives the new item's
  /// id.
  /// `flags` (optional) sets the message flags of the new item (read, unsent, …).
  virtual TItemId ImportItem(std::istream& stream, const TDvEWSMessageFlags* flags) = 0;
  /// A MIME message (an .eml file) imported as a new item; gives its id. `fileMode` opens the file
  /// (std::ios::in | std::ios::binary); `flags` as above.
  virtual TItemId ImportItem(const std::string& fileName, std::ios::openmode fileMode,
                             const TDvEWSMessageFlags* flags) = 0;
};
/// A shared folder.
using DvEWSFolderPtr = std::shared_ptr<IDvEWSFolder>;

/// A calendar folder: a date-range view and meeting deletion. Cast a calendar folder to it.
class IDvEWSCalendarFolder : public virtual IDvEWSFolder {
 public:
  /// Items between two date-times (at most maxEntries) in one page without automatic paging.
  virtual DvEWSItemsPtr GetCalendarView(TDateTime startDate, TDateTime endDate, int maxEntries) = 0;
  /// Deletes one item carrying sendMode as SendMeetingCancellations.
  virtual void DeleteMeeting(const TItemId& itemId, TDvEWSFolderDeleteType deleteType,
                             TSendMeetingInvitationsOrCancellations sendMode) = 0;
  /// As above, with a schema id object.
  virtual void DeleteMeeting(TEwsItemId& itemId, TDvEWSFolderDeleteType deleteType,
                             TSendMeetingInvitationsOrCancellations sendMode) = 0;
};
/// A shared calendar folder.
using DvEWSCalendarFolderPtr = std::shared_ptr<IDvEWSCalendarFolder>;

// ---- Classes ----

/// The folder class (see IDvEWSFolder).
class TDvEWSFolder : public TDvEWSPropObject<TEwsFolder>, public virtual IDvEWSFolder {
 public:
  /// Opens the folder at once (GetFolder with all properties). Create with std::make_shared
  /// through DvEWSOpenFolder, which also runs the store lookup.
  TDvEWSFolder(TDvComponent* owner, const TItemId& folderId);
  /// Opens a distinguished folder (of `mailbox`, or the session's when empty) at once: one
  /// GetFolder with all properties.
  TDvEWSFolder(TDvComponent* owner, TDistinguishedFolderIdName name, const std::string& mailbox);
  /// Binds to a folder element a GetFolder with all properties gave: no request.
  TDvEWSFolder(TDvComponent* owner, const DvDOMElementPtr& loaded);
  ~TDvEWSFolder() override;

  /// The folder's id.
  TItemId GetID() override;
  /// Always raises EEWSException ErrorReadOnly.
  void SetId(const TItemId& id) override;
  DvEWSMsgStorePtr GetMsgStore() override;
  TItemId GetParentFolderId() override;
  TSetFolderFieldType GetFolderFieldType() override;
  int GetChildFolderCount() override;
  std::string GetDisplayName() override;
  TEwsEffectiveRights* GetEffectiveRights() override;
  int GetTotalCount() override;
  int GetUnreadCount() override;
  void SetDisplayName(const std::string& value) override;
  DvEWSFoldersPtr GetSubFolders() override;
  TItemId CreateFolder(TSetFolderFieldType folderType, const std::string& displayName) override;
  void EmptyFolder(TDvEWSFolderDeleteType deleteType, bool deleteSubFolders) override;
  void DeleteFolder(const TItemId& folderId, TDvEWSFolderDeleteType deleteType) override;
  void SaveChanges() override;
  DvEWSItemsPtr GetItems() override;
  DvEWSItemPtr GetItem(const TItemId& itemId) override;
  DvEWSItemPtr CreateItem(TItemType itemType) override;
  TItemId CopyItem(const TItemId& itemId, const TItemId& toFolderId) override;
  TItemId CopyItem(TEwsItemId& itemId, TEwsFolderId& toFolderId) override;
  TItemId MoveItem(const TItemId& itemId, const TItemId& toFolderId) override;
  TItemId MoveItem(TEwsItemId& itemId, TEwsFolderId& toFolderId) override;
  void DeleteItem(const TItemId& itemId, TDvEWSFolderDeleteType deleteType) override;
  void DeleteItem(TEwsItemId& itemId, TDvEWSFolderDeleteType deleteType) override;
  TItemId ImportItem(std::istream& stream, const TDvEWSMessageFlags* flags) override;
  TItemId ImportItem(const std::string& fileName, std::ios::openmode fileMode,
                     const TDvEWSMessageFlags* flags) override;

  /// Appends a t:FolderId / t:ItemId element for an id: Id, and ChangeKey from Exchange2013_SP1.
  DvDOMElementPtr AddFolderId(const DvDOMElementPtr& parent, const TItemId& id);
  /// As AddFolderId, for an item id.
  DvDOMElementPtr AddItemId(const DvDOMElementPtr& parent, const TItemId& id);

 protected:
  /// The SendMeetingCancellations text a deletion carries, when any ("" for none), after the item
  /// class rule.
  virtual std::string MeetingCancellationsFor(const std::string& fromItemClass);
  /// Sends a request and gives its checked response message (path below the body).
  DvDOMElementPtr SendAndCheck(const std::shared_ptr<IDvSOAPRequest>& request,
                               const std::string& responseName);
  /// True when this is the mailbox's Drafts folder (asked once).
  bool IsDraftsFolder();

 private:
  void Load(const TItemId& folderId);
  /// One GetFolder with all properties for the folder id `addFolderId` writes into FolderIds;
  /// binds the object to the answer.
  void Fetch(const std::function<void(const DvDOMElementPtr&)>& addFolderId);

  DvEWSMsgStorePtr FMsgStore;
  bool FDraftsChecked = false;
  bool FIsDrafts = false;
};

/// The calendar folder class (see IDvEWSCalendarFolder).
class TDvEWSCalendarFolder : public TDvEWSFolder, public IDvEWSCalendarFolder {
 public:
  /// Opens the folder at once, as TDvEWSFolder.
  TDvEWSCalendarFolder(TDvComponent* owner, const TItemId& folderId);
  /// Binds to a loaded folder element, as TDvEWSFolder.
  TDvEWSCalendarFolder(TDvComponent* owner, const DvDOMElementPtr& loaded);

  DvEWSItemsPtr GetCalendarView(TDateTime startDate, TDateTime endDate, int maxEntries) override;
  void DeleteMeeting(const TItemId& itemId, TDvEWSFolderDeleteType deleteType,
                     TSendMeetingInvitationsOrCancellations sendMode) override;
  /// As above, with a schema id object.
  void DeleteMeeting(TEwsItemId& itemId, TDvEWSFolderDeleteType deleteType,
                     TSendMeetingInvitationsOrCancellations sendMode) override;
  /// The other DeleteItem overloads.
  using TDvEWSFolder::DeleteItem;
  /// Deletes an item; a meeting's cancellations go as the item class requires.
  void DeleteItem(const TItemId& itemId, TDvEWSFolderDeleteType deleteType) override;

  /// @name The last calendar view's range
  /**@{*/
  /// What the last GetCalendarView asked for, and the cancellation mode of the last DeleteMeeting.
  TDateTime GetStartDate() const { return FStartDate; }
  TDateTime GetEndDate() const { return FEndDate; }
  int GetMaxEntries() const { return FMaxEntries; }
  TSendMeetingInvitationsOrCancellations GetPendingCancellation() const { return FSendMode; }
  ///@}

 protected:
  std::string MeetingCancellationsFor(const std::string& fromItemClass) override;

 private:
  TDateTime FStartDate;
  TDateTime FEndDate;
  int FMaxEntries = 0;
  TSendMeetingInvitationsOrCancellations FSendMode =
      TSendMeetingInvitationsOrCancellations::smiocSendToNone;
};

/// Sub-folders of a folder.
class TDvEWSFolders : public TDvEWSTable, public IDvEWSFolders {
 public:
  /// The sub-folders of `parentId`; nothing is fetched before Open.
  TDvEWSFolders(TDvComponent* owner, const TItemId& parentId);
  TItemId GetItemId() override;
  TSetFolderFieldType FolderFieldType() override;
  /// The folder whose sub-folders are listed.
  const TItemId& GetParentId() const { return FParentId; }

 protected:
  void GetNextPage() override;

 private:
  TItemId FParentId;
};

/// Items of a folder.
class TDvEWSItems : public TDvEWSTable, public IDvEWSItems {
 public:
  /// The items of `parentId`; nothing is fetched before Open.
  TDvEWSItems(TDvComponent* owner, const TItemId& parentId);
  TItemId GetItemId() override;
  /// The folder whose items are listed.
  const TItemId& GetParentId() const { return FParentId; }

 protected:
  void GetNextPage() override;

 private:
  TItemId FParentId;
};

/// Items of a calendar folder in its date range: one page, no automatic paging.
class TDvEWSCalendarView : public TDvEWSItems {
 public:
  /// The calendar items of `parentId`; the range is set by IDvEWSCalendarFolder::GetCalendarView.
  TDvEWSCalendarView(TDvComponent* owner, const TItemId& parentId);
};

/// Opens a folder as the right class: a TDvEWSCalendarFolder when the folder data says it is one.
DvEWSFolderPtr DvEWSOpenFolder(TDvComponent* owner, const TItemId& folderId);
/// `folder` as the right class: itself, or a TDvEWSCalendarFolder bound to the same data.
DvEWSFolderPtr DvEWSFolderOfKind(TDvComponent* owner, std::shared_ptr<TDvEWSFolder> folder);

}  // namespace dv
