/// @file
/// Items: one mailbox item over its schema class. An item is either new (its XML is the item
/// element of a pending CreateItem request, so setters write straight into that request) or
/// loaded (its XML is the item element of the last GetItem response, with a snapshot taken at
/// load time). A property left out of the load is fetched the first time it is read (one GetItem
/// with IdOnly and that property, merged into both the data and the snapshot, so it never counts
/// as a change).
///
/// SaveChanges sends a new item with one CreateItem (a pruned copy of the pending request, so a
/// failed save leaves the item as it was) and a loaded one with one UpdateItem holding one
/// t:SetItemField or t:DeleteItemField per changed value; then the attachment changes (one
/// CreateAttachment per new or modified one, then one DeleteAttachment for the removed ones and
/// the old copies of the modified ones), then the item reloads itself. A save that fails after
/// the item was created leaves it knowing its id: the next SaveChanges updates it and carries on
/// with the attachments still missing, never creating the item twice. Servers older than
/// Exchange2013_SP1 get extended properties of a new item in a second request (an UpdateItem after
/// the CreateItem).
///
/// A new item without attachments is not reloaded after its CreateItem: it keeps the values it
/// was saved with (what the server stored) and is marked load-pending. The first read of a value
/// it does not hold (one the server computes: DateTimeCreated, Size, ItemClass, …) loads it once
/// with all properties, merged under any change made since; a read of its recipients completes
/// the load the same way, and SaveChanges reloads it as it does any loaded item.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DvSOAP.h"
#include "DvSysUtils.h"
#include "DvXML.h"
#include "uDvEWSBaseObject.h"
#include "uDvEWSFolder.h"
#include "uDvEWSInterfacesAttachments.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSTypes.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

/// How a save treats changes made on the server since the item was loaded.
enum class TDvEWSSaveOption { soNeverOverwrite, soAutoResolve, soAlwaysOverwrite };
/// "NeverOverwrite", "AutoResolve", "AlwaysOverwrite".
std::string DvEWSSaveOptionText(TDvEWSSaveOption option);

/// The responses an item offers (children of its ResponseObjects), as bits 0..10 of a 16-bit set.
enum class TDvEWSItemResponseType {
  irtAcceptItem,
  irtTentativelyAcceptItem,
  irtDeclineItem,
  irtReplyToItem,
  irtForwardItem,
  irtReplyAllToItem,
  irtCancelCalendarItem,
  irtRemoveItem,
  irtPostReplyItem,
  irtSuppressReadReceipt,
  irtAcceptSharingInvitation
};
/// A set of TDvEWSItemResponseType, one bit each (DvEWSResponseBit).
using TDvEWSItemResponseTypes = std::uint16_t;
/// The bit of one response type in a TDvEWSItemResponseTypes set.
constexpr TDvEWSItemResponseTypes DvEWSResponseBit(TDvEWSItemResponseType t) {
  return static_cast<TDvEWSItemResponseTypes>(1u << static_cast<unsigned>(t));
}

/// The element name of an item kind ("Item", "Message", "ReplyToItem", …).
std::string DvEWSItemTypeElementName(TItemType type);

/// A body's type and text.
struct TDvEWSBodyText {
  /// Text or HTML.
  TBodyType BodyType = TBodyType::btText;
  /// The body's text.
  std::string Text;
};

/// A mailbox item of any kind: its common properties, saving and export.
///
/// Get one from IDvEWSFolder::CreateItem (new, unsaved), IDvEWSFolder::GetItem or
/// IDvEWSMsgStore::GetItem (loaded); cast to the interface of its kind (IDvEWSEMail, …) for more.
/// Getters read the loaded data; a property left out of the load is fetched with one GetItem the
/// first time it is read. Setters change the local data only: nothing is sent until SaveChanges.
/// Not thread-safe.
class IDvEWSItem : public virtual IDvEWSPropObject {
 public:
  /// The kind of item (message, calendar item, contact, …).
  virtual TItemType GetItemType() = 0;
  /// True for an item made by CreateItem and not yet saved.
  virtual bool GetIsNewItem() = 0;
  /// True once the item has a server id.
  virtual bool GetIsSaved() = 0;
  /// The store the item belongs to.
  virtual DvEWSMsgStorePtr GetMsgStore() = 0;
  /// The folder holding the item (opened with one GetFolder request).
  virtual DvEWSFolderPtr GetParentFolder() = 0;

  /// @name Item properties
  /**@{*/
  /// An item property: the getter gives the loaded value (fetched with one GetItem the first
  /// time when the load left it out), the setter changes the local data for SaveChanges.
  virtual std::string GetSubject() = 0;
  virtual void SetSubject(const std::string& value) = 0;
  virtual TEwsBody* GetBody() = 0;
  virtual std::string GetBodyText() = 0;
  virtual void SetBodyText(const std::string& value) = 0;
  virtual TDvEWSBodyText GetTextBody() = 0;
  virtual TDvEWSStrings& GetCategories() = 0;
  virtual TDvEWSAttachments& GetAttachments() = 0;
  virtual TImportanceChoices GetImportance() = 0;
  virtual void SetImportance(TImportanceChoices value) = 0;
  virtual TSensitivityChoices GetSensitivity() = 0;
  virtual void SetSensitivity(TSensitivityChoices value) = 0;
  virtual std::string GetItemClass() = 0;
  virtual void SetItemClass(const std::string& value) = 0;
  virtual std::string GetInReplyTo() = 0;
  virtual void SetInReplyTo(const std::string& value) = 0;
  virtual std::string GetCulture() = 0;
  virtual void SetCulture(const std::string& value) = 0;
  virtual bool GetReminderIsSet() = 0;
  virtual void SetReminderIsSet(bool value) = 0;
  virtual TDateTime GetReminderDueBy() = 0;
  virtual void SetReminderDueBy(TDateTime value) = 0;
  virtual std::string GetReminderMinutesBeforeStart() = 0;
  virtual void SetReminderMinutesBeforeStart(const std::string& value) = 0;
  virtual TDateTime GetDateTimeCreated() = 0;
  virtual TDateTime GetDateTimeReceived() = 0;
  virtual TDateTime GetDateTimeSent() = 0;
  virtual std::string GetDisplayCc() = 0;
  virtual std::string GetDisplayTo() = 0;
  virtual bool GetHasAttachments() = 0;
  virtual bool GetIsDraft() = 0;
  virtual bool GetIsFromMe() = 0;
  virtual bool GetIsResend() = 0;
  virtual bool GetIsSubmitted() = 0;
  virtual bool GetIsUnmodified() = 0;
  virtual std::string GetLastModifiedName() = 0;
  virtual TDateTime GetLastModifiedTime() = 0;
  virtual std::int32_t GetSize() = 0;
  virtual TItemId GetParentFolderId() = 0;
  virtual TEwsMimeContent* GetMimeContent() = 0;
  virtual TEwsNonEmptyArrayOfResponseObjects* GetResponseObjects() = 0;
  virtual TDvEWSItemResponseTypes GetAllowedResponseTypes() = 0;
  virtual bool GetIsPrivate() = 0;
  virtual void SetIsPrivate(bool value) = 0;
  /// The caller's rights on the item, as the server reports them.
  virtual TEwsEffectiveRights* GetEffectiveRights() = 0;
  /// The extended properties the item was loaded with (those asked for as additional properties).
  virtual TDvXMLSchemaElementArray<TEwsExtendedProperty>* GetExtendedProperty() = 0;
  /// The Internet headers of a received message (loaded on demand: AllProperties omits them).
  virtual TEwsNonEmptyArrayOfInternetHeaders* GetInternetMessageHeaders() = 0;
  ///@}

  /// @name Properties of later Exchange versions
  /**@{*/
  /// As the item properties above; each raises dv::Exception naming the Exchange version it
  /// needs when the server is older.
  virtual TEwsItemId* GetConversationId() = 0;
  virtual bool GetIsAssociated() = 0;
  virtual void SetIsAssociated(bool value) = 0;
  virtual TEwsBody* GetUniqueBody() = 0;
  virtual std::string GetWebClientEditFormQueryString() = 0;
  virtual std::string GetWebClientReadFormQueryString() = 0;
  virtual TEwsEntityExtractionResult* GetEntityExtractionResult() = 0;
  virtual TEwsFlag* GetFlag() = 0;
  virtual TIconIndex GetIconIndex() = 0;
  virtual TBytes GetInstanceKey() = 0;
  virtual TEwsBody* GetNormalizedBody() = 0;
  virtual TEwsRetentionTag* GetPolicyTag() = 0;
  virtual TEwsRetentionTag* GetArchiveTag() = 0;
  virtual std::string GetPreview() = 0;
  virtual void SetPreview(const std::string& value) = 0;
  virtual TBytes GetStoreEntryId() = 0;
  virtual TDateTime GetReminderNextTime() = 0;
  virtual void SetReminderNextTime(TDateTime value) = 0;
  virtual TDateTime GetRetentionDate() = 0;
  ///@}

  /// Sends the changes: a new item with one CreateItem, a loaded one with one UpdateItem holding
  /// each changed value, then the attachment changes; the item then reloads itself (a new item
  /// without attachments instead loads once, when a value the server computes is first read).
  /// `option` is the conflict resolution of an update. Raises dv::EEWSException with the server's
  /// response code when it refuses (a failed save leaves a new item as it was).
  virtual void SaveChanges(TDvEWSSaveOption option) = 0;
  /// The item's MIME content, decoded, written to a file.
  virtual void SaveToFile(const std::string& fileName) = 0;
};

/// An item that also gives its XML.
class IDvEWSItemEx : public virtual IDvEWSItem {
 public:
  /// The item element (t:Message, t:CalendarItem, …) of the pending request or the last load.
  virtual DvDOMElementPtr AsElement() = 0;
};

/// The template's code that does not depend on the schema class.
class TDvEWSItemCore : public TDvEWSPropObjectBase, public virtual IDvEWSItemEx {
 public:
  /// Call Init next (DvEWSNewItem does both).
  TDvEWSItemCore(TDvComponent* owner);
  ~TDvEWSItemCore() override;

  /// Second construction step (virtual calls): load the item, or set up the pending CreateItem.
  void Init(const TItemId& itemId);
  /// Second construction step for an item element already fetched (a GetItem answer, a table
  /// row): binds to it without a request. `document` keeps the element alive.
  void InitLoaded(const DvDOMDocumentPtr& document, const DvDOMElementPtr& element);

  TItemId GetID() override;
  /// Loads the item of that id in place of this one.
  void SetId(const TItemId& id) override;
  void SetPropData(const DvDOMElementPtr& element) override;
  bool GetIsNewItem() override { return FNewItem; }
  bool GetIsSaved() override { return !GetID().Id.empty(); }
  /// The item element of the held document.
  DvDOMElementPtr AsElement() override { return FItemElement; }
  /// The held document: the pending request while new, else the last GetItem response.
  DvDOMDocumentPtr GetHeldDocument() const { return FHeldDocument; }
  /// The CreateItem request a new item writes into (none once saved).
  const DvSOAPRequestPtr& GetPendingRequest() const { return FPendingRequest; }

  DvEWSMsgStorePtr GetMsgStore() override;
  DvEWSFolderPtr GetParentFolder() override;

  /// Loads the item of that id again (one GetItem, all properties), dropping local changes.
  virtual void ReloadItem(const TItemId& itemId);
  /// Sends the changes (see IDvEWSItem::SaveChanges).
  void SaveChanges(TDvEWSSaveOption option) override;
  /// Fetches named values ("Subject", "item:Subject", "PROPDEF:PR_…") and merges them in. False
  /// when the item has no id or nothing came back.
  bool GetAdditionalProperties(const std::vector<std::string>& names);
  void SaveToFile(const std::string& fileName) override;

  std::string GetSubject() override;
  void SetSubject(const std::string& value) override;
  TEwsBody* GetBody() override;
  std::string GetBodyText() override;
  void SetBodyText(const std::string& value) override;
  TDvEWSBodyText GetTextBody() override;
  TDvEWSStrings& GetCategories() override;
  TDvEWSAttachments& GetAttachments() override;
  TImportanceChoices GetImportance() override;
  void SetImportance(TImportanceChoices value) override;
  TSensitivityChoices GetSensitivity() override;
  void SetSensitivity(TSensitivityChoices value) override;
  std::string GetItemClass() override;
  void SetItemClass(const std::string& value) override;
  std::string GetInReplyTo() override;
  void SetInReplyTo(const std::string& value) override;
  std::string GetCulture() override;
  void SetCulture(const std::string& value) override;
  bool GetReminderIsSet() override;
  void SetReminderIsSet(bool value) override;
  TDateTime GetReminderDueBy() override;
  void SetReminderDueBy(TDateTime value) override;
  std::string GetReminderMinutesBeforeStart() override;
  void SetReminderMinutesBeforeStart(const std::string& value) override;
  TDateTime GetDateTimeCreated() override;
  TDateTime GetDateTimeReceived() override;
  TDateTime GetDateTimeSent() override;
  std::string GetDisplayCc() override;
  std::string GetDisplayTo() override;
  bool GetHasAttachments() override;
  bool GetIsDraft() override;
  bool GetIsFromMe() override;
  bool GetIsResend() override;
  bool GetIsSubmitted() override;
  bool GetIsUnmodified() override;
  std::string GetLastModifiedName() override;
  TDateTime GetLastModifiedTime() override;
  std::int32_t GetSize() override;
  TItemId GetParentFolderId() override;
  TEwsMimeContent* GetMimeContent() override;
  TEwsNonEmptyArrayOfResponseObjects* GetResponseObjects() override;
  TDvEWSItemResponseTypes GetAllowedResponseTypes() override;
  bool GetIsPrivate() override;
  void SetIsPrivate(bool value) override;
  TEwsEffectiveRights* GetEffectiveRights() override;
  TDvXMLSchemaElementArray<TEwsExtendedProperty>* GetExtendedProperty() override;
  TEwsNonEmptyArrayOfInternetHeaders* GetInternetMessageHeaders() override;

  TEwsItemId* GetConversationId() override;
  bool GetIsAssociated() override;
  void SetIsAssociated(bool value) override;
  TEwsBody* GetUniqueBody() override;
  std::string GetWebClientEditFormQueryString() override;
  std::string GetWebClientReadFormQueryString() override;
  TEwsEntityExtractionResult* GetEntityExtractionResult() override;
  TEwsFlag* GetFlag() override;
  TIconIndex GetIconIndex() override;
  TBytes GetInstanceKey() override;
  TEwsBody* GetNormalizedBody() override;
  TEwsRetentionTag* GetPolicyTag() override;
  TEwsRetentionTag* GetArchiveTag() override;
  std::string GetPreview() override;
  void SetPreview(const std::string& value) override;
  TBytes GetStoreEntryId() override;
  TDateTime GetReminderNextTime() override;
  void SetReminderNextTime(TDateTime value) override;
  TDateTime GetRetentionDate() override;

  /// Deletes the inline "_inlineImg…" file attachments.
  void ClearInlineAttachments();

  /// True for a saved new item whose values the server computes are not loaded yet.
  bool GetLoadPending() const { return FLoadPending; }
  /// Completes a pending load now (one GetItem, all properties; see the file comment).
  void EnsureLoaded();

  /// @name Batched creation (TDvEWSBatch)
  /**@{*/
  /// True when the item can be created as one entry of a shared CreateItem: new, no attachments,
  /// no inline images, no extended properties that need a second request, not a reply/forward.
  bool CanJoinBatchCreate();
  /// The CreateItem the item would send (its attributes and SavedItemFolderId are the batch's).
  const DvSOAPRequestPtr& GetBatchCreateRequest() const { return FPendingRequest; }
  /// Appends the item's element, as SaveChanges would send it, to a CreateItem's m:Items.
  void AppendToBatchCreate(const DvDOMElementPtr& items);
  /// Takes the id the batched CreateItem gave and becomes a saved item (load pending).
  void BatchCreated(const TItemId& id);
  /**@}*/

 protected:
  /// Called on each finished CreateItem or UpdateItem just before it is sent. The base turns
  /// data: and file: images of an HTML body into inline attachments.
  virtual void BeforeSaveChanges(const DvSOAPRequestPtr& request);
  /// The current data as the generic item schema class.
  TEwsItem& Item();
  /// The field URI ("item:Subject", "message:IsRead", …) under which the server delivers the
  /// element of that local name for an item of this kind; empty when there is none.
  std::string FieldURIOfElement(std::string_view element);
  /// The session's server version.
  TServerVersion Version() const;
  /// Raises the version error (EwsCheckVersion) when the server is older than `required`.
  void CheckVersion(TServerVersion required, const char* feature) const;
  /// Sends a request and gives its verified response message.
  DvDOMElementPtr SendChecked(const DvSOAPRequestPtr& request, const std::string& path);
  /// Adds t:ItemId with Id, and ChangeKey from Exchange2013_SP1 (always with `changeKey`).
  void AddItemId(const DvDOMElementPtr& parent, const TItemId& id, bool alwaysChangeKey);
  /// Called after a reload; subclasses free their wrappers.
  virtual void FreeWrappers();

 private:
  void CreateNew();
  void SaveNew(TDvEWSSaveOption option);
  void SaveUpdate(TDvEWSSaveOption option);
  void SaveAttachments();
  /// The snapshot taken again from the current data (what the server now holds).
  void TakeSnapshot();
  // After a CreateItem without attachments: binds to the values sent, marked load-pending.
  void BecomeSaved();
  // The item element of an AllProperties GetItem of `itemId`, with the response that holds it.
  DvDOMElementPtr FetchAll(const TItemId& itemId, DvSOAPResponsePtr& response);
  // The pruned copy of the item element that a CreateItem sends.
  static void PruneForCreate(const DvDOMElementPtr& item, bool dropExtended, bool& extendedRemoved);
  DvSOAPRequestPtr NewUpdateRequest(TDvEWSSaveOption option, DvDOMElementPtr& updates);
  bool OnMissingElement(const TDvXMLSchemaInfo& info);
  void ConvertInlineImages(const DvSOAPRequestPtr& request);

  bool FNewItem = false;
  bool FLoading = false;
  bool FLoadPending = false;
  DvEWSAttachmentsPtr FAttachments;
  std::unique_ptr<TDvEWSStrings> FCategories;
  DvSOAPRequestPtr FPendingRequest;
  DvDOMDocumentPtr FHeldDocument;
  DvDOMElementPtr FItemElement;
  DvEWSSessionPtr FSessionLink;  // forwards attachment requests through the creator chain
};

/// The generic item over a schema class.
template <typename T>
class TDvEWSBaseItem : public TDvEWSItemCore {
  static_assert(std::is_base_of_v<TEwsItem, T>, "T must be an item schema class");

 public:
  /// As TDvEWSItemCore.
  using TDvEWSItemCore::TDvEWSItemCore;
  /// The current data (with local changes) as the schema class.
  T* GetCurrent() const { return static_cast<T*>(FCurrentData.get()); }
  /// The data as loaded (the snapshot changes are computed against).
  T* GetOriginal() const { return static_cast<T*>(FSnapshot.get()); }
  /// The current data once a pending load is complete (for values read through wrappers that
  /// the on-demand load does not see, such as recipient lists).
  T* GetLoaded() {
    EnsureLoaded();
    return GetCurrent();
  }

 protected:
  /// Wraps an item element in the schema class T.
  std::unique_ptr<TDvXMLSchemaElement> CreateData(const DvDOMElementPtr& element) override {
    return std::make_unique<T>(element);
  }
};

/// An item of a kind without a class of its own. Its data is still read through the schema class
/// of its kind (a contact's FileAs, a task's Status, …), so every element the server sends is a
/// known property; the typed accessors are those of the generic item.
class TDvEWSItem : public TDvEWSBaseItem<TEwsItem> {
 public:
  /// An item object of kind `type`; call Init next.
  TDvEWSItem(TDvComponent* owner, TItemType type);
  TItemType GetItemType() override { return FType; }

 protected:
  std::unique_ptr<TDvXMLSchemaElement> CreateData(const DvDOMElementPtr& element) override;

 private:
  TItemType FType;
};

/// An item object of the kind the element names (Message, CalendarItem, …), bound to an item
/// element already fetched (no request); `document` keeps the element alive.
DvEWSItemPtr DvEWSCreateLoadedItemObject(TDvEWSObject& owner, const DvDOMDocumentPtr& document,
                                         const DvDOMElementPtr& element);

/// Makes an item object of a class and initialises it (loads it, or starts it as new).
template <typename C, typename... A>
std::shared_ptr<C> DvEWSNewItem(const TItemId& id, A&&... args) {
  auto item = std::make_shared<C>(std::forward<A>(args)...);
  item->Init(id);
  return item;
}

}  // namespace dv
