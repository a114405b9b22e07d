/// @file
/// The attachments of an item: file attachments (bytes with a name and a content type) and item
/// attachments (a whole item inside another), edited in place in the item's XML.
///
/// Indexing puts the file attachments first, then the item attachments. The content of a file
/// attachment and the kind of item an item attachment holds are fetched from the server on demand,
/// with one GetAttachment request each, and kept in the item's XML (the content) or in the
/// attachment object (the kind). Setters record the attachment's id in the list's modified set,
/// which tells the item's save logic what changed.
///
/// Attachment objects are made on each access; they keep the list (and through it the XML) alive.
/// An attachment deleted from the list while the application still holds it moves into a document
/// of its own and stays readable.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "DvSysUtils.h"
#include "DvXML.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSTypes.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

/// A file (bytes) or an item (a whole item inside another).
enum class TDvEWSAttachmentType { attFile, attItem };

// The kinds of item an item attachment may hold are the schema's TItemAttachmentType
// (uDvEWSTypesEnums.h: iaItem, iaMessage, iaCalendarItem, … iaPerson).

/// One attachment of an item (IDvEWSItem::GetAttachments). Cast to IDvEWSFileAttachment or
/// IDvEWSItemAttachment by GetAttachmentType. Setters change the item's data; the item's
/// SaveChanges sends them.
class IDvEWSAttachment {
 public:
  virtual ~IDvEWSAttachment() = default;
  /// File or item.
  virtual TDvEWSAttachmentType GetAttachmentType() = 0;
  /// The Id of the AttachmentId element; empty for an attachment not yet on the server.
  virtual std::string GetAttachmentId() = 0;
  /// @name Attachment properties
  /**@{*/
  /// An attachment property as the server names it (Name, ContentType, ContentId,
  /// ContentLocation, Size, LastModifiedTime, IsInline).
  virtual std::string GetName() = 0;
  virtual std::string GetContentType() = 0;
  virtual std::string GetContentId() = 0;
  virtual std::string GetContentLocation() = 0;
  virtual std::int32_t GetSize() = 0;
  virtual TDateTime GetLastModifiedTime() = 0;
  virtual bool GetIsInline() = 0;
  ///@}
  /// True when the attachment's id is in the list's modified set.
  virtual bool GetModified() = 0;
  /// @name Setting attachment properties
  /**@{*/
  /// Sets an attachment property and marks the attachment modified.
  virtual void SetName(const std::string& value) = 0;
  virtual void SetContentType(const std::string& value) = 0;
  virtual void SetContentId(const std::string& value) = 0;
  virtual void SetContentLocation(const std::string& value) = 0;
  virtual void SetSize(std::int32_t value) = 0;
  virtual void SetLastModifiedTime(TDateTime value) = 0;
  ///@}
  /// Marks the attachment inline (shown in the body); requires Exchange2010.
  virtual void SetIsInline(bool value) = 0;
  /// The schema element of the attachment (owned by this object).
  virtual TEwsAttachment* AsElement() = 0;
};
/// A shared attachment.
using DvEWSAttachmentPtr = std::shared_ptr<IDvEWSAttachment>;

/// A file attachment: its bytes, loaded from and saved to streams and files.
class IDvEWSFileAttachment : public virtual IDvEWSAttachment {
 public:
  /// True for a contact's picture.
  virtual bool GetIsContactPhoto() = 0;
  /// Marks the picture as the contact's photo; requires Exchange2010.
  virtual void SetIsContactPhoto(bool value) = 0;
  /// Replaces the content with the stream's bytes (from the current position to the end).
  virtual void LoadFromStream(std::istream& stream) = 0;
  /// Replaces the content with a file's bytes.
  virtual void LoadFromFile(const std::string& fileName) = 0;
  /// Writes the content, fetching it from the server the first time.
  virtual void SaveToStream(std::ostream& stream) = 0;
  /// Writes the content to a file (fetching it the first time).
  virtual void SaveToFile(const std::string& fileName) = 0;
};
/// A shared file attachment.
using DvEWSFileAttachmentPtr = std::shared_ptr<IDvEWSFileAttachment>;

/// The typed accessors return the schema item inside the attachment (owned by this object); each
/// raises dv::Exception when the attachment holds another kind of item.
class IDvEWSItemAttachment : public virtual IDvEWSAttachment {
 public:
  /// The kind of item held, asked of the server once per attachment object.
  virtual TItemAttachmentType GetItemAttachmentType() = 0;
  /// The held item as the generic item (any kind).
  virtual TEwsItem* GetItem() = 0;
  /// @name The held item by kind
  /**@{*/
  /// The held item as that kind (see the class comment).
  virtual TEwsMessage* GetMessage() = 0;
  virtual TEwsCalendarItem* GetCalendarItem() = 0;
  virtual TEwsContactItem* GetContact() = 0;
  virtual TEwsMeetingMessage* GetMeetingMessage() = 0;
  virtual TEwsMeetingRequestMessage* GetMeetingRequest() = 0;
  virtual TEwsMeetingResponseMessage* GetMeetingResponse() = 0;
  virtual TEwsMeetingCancellationMessage* GetMeetingCancellation() = 0;
  virtual TEwsTask* GetTask() = 0;
  virtual TEwsPostItem* GetPostItem() = 0;
  ///@}
  /// The held item as that kind; these three require Exchange2016.
  /**@{*/
  virtual TEwsRoleMemberItem* GetRoleMember() = 0;
  virtual TEwsNetworkItem* GetNetwork() = 0;
  virtual TEwsAbchPersonItem* GetPerson() = 0;
  ///@}
};
/// A shared item attachment.
using DvEWSItemAttachmentPtr = std::shared_ptr<IDvEWSItemAttachment>;

class TDvEWSAttachment;

/// The attachments of an item (IDvEWSItem::GetAttachments): count, index, add, find, delete.
/// New and deleted attachments are sent by the item's SaveChanges (or SubmitMessage).
class TDvEWSAttachments : public std::enable_shared_from_this<TDvEWSAttachments> {
 public:
  /// Over an item's Attachments element; `session` carries the GetAttachment requests (an object
  /// that forwards them through its creator chain may stand in for the session).
  static std::shared_ptr<TDvEWSAttachments> Create(const DvEWSSessionPtr& session,
                                                   const DvDOMElementPtr& attachments);
  ~TDvEWSAttachments();
  TDvEWSAttachments(const TDvEWSAttachments&) = delete;
  TDvEWSAttachments& operator=(const TDvEWSAttachments&) = delete;

  /// File attachments, then item attachments.
  int Count() const;
  /// A new object over attachment `index` (EListError when out of range).
  DvEWSAttachmentPtr GetAttachment(int index);
  /// A file attachment named after the file's name, of the file's MIME type.
  DvEWSFileAttachmentPtr AddAttachment(const std::string& fileName);
  /// A file attachment of that name and content type holding the stream's bytes.
  DvEWSFileAttachmentPtr AddAttachment(const std::string& name, const std::string& contentType,
                                       std::istream& stream);
  /// An item attachment holding a copy of `item` (an item element such as t:Message).
  DvEWSItemAttachmentPtr AddAttachment(const std::string& name, const DvDOMElementPtr& item);
  /// An item attachment holding a copy of a schema item.
  DvEWSItemAttachmentPtr AddAttachment(const std::string& name, const TDvXMLSchemaElement& item);
  /// The first file attachment, then item attachment, whose id equals `id` (ASCII
  /// case-insensitive); none when nothing matches.
  DvEWSAttachmentPtr FindAttachment(const std::string& id);
  /// Deletes attachment `index` (EListError when out of range); an object still held stays
  /// readable.
  void DeleteAttachment(int index);
  /// Deletes every attachment that is not inline, or every attachment when `all` is set.
  void Clear(bool all);

  // ---- The modified set ----
  /// True when that attachment was changed.
  bool IsModified(const std::string& attachmentId) const;
  /// Records a change of that attachment.
  void MarkModified(const std::string& attachmentId);
  /// The ids of the changed attachments.
  const std::vector<std::string>& GetModifiedIds() const { return FModified; }
  /// Forgets the changes (after a save).
  void ClearModified() { FModified.clear(); }

  /// What carries the attachment requests.
  const DvEWSSessionPtr& GetSession() const { return FSession; }
  /// The Attachments element as its schema class.
  TEwsNonEmptyArrayOfAttachments& GetAttachments() { return *FAttachments; }

 private:
  TDvEWSAttachments(const DvEWSSessionPtr& session, const DvDOMElementPtr& attachments);
  int FileCount() const;
  int ItemCount() const;
  /// Attachment `index` in list order, with its kind.
  DvDOMElementPtr ElementAt(int index, bool& isFile) const;
  DvEWSAttachmentPtr Wrap(const DvDOMElementPtr& element, bool isFile);
  void Remember(const std::shared_ptr<TDvEWSAttachment>& attachment);

  DvEWSSessionPtr FSession;
  std::unique_ptr<TEwsNonEmptyArrayOfAttachments> FAttachments;
  std::vector<std::string> FModified;
  /// Attachment objects handed out, so a deleted one can be moved out of the XML first.
  std::vector<std::weak_ptr<TDvEWSAttachment>> FHandedOut;
};
/// A shared attachment list.
using DvEWSAttachmentsPtr = std::shared_ptr<TDvEWSAttachments>;

/// The base of the attachment classes (see IDvEWSAttachment).
class TDvEWSAttachment : public virtual IDvEWSAttachment {
 public:
  std::string GetAttachmentId() override;
  std::string GetName() override;
  std::string GetContentType() override;
  std::string GetContentId() override;
  std::string GetContentLocation() override;
  std::int32_t GetSize() override;
  TDateTime GetLastModifiedTime() override;
  bool GetIsInline() override;
  bool GetModified() override;
  void SetName(const std::string& value) override;
  void SetContentType(const std::string& value) override;
  void SetContentId(const std::string& value) override;
  void SetContentLocation(const std::string& value) override;
  void SetSize(std::int32_t value) override;
  void SetLastModifiedTime(TDateTime value) override;
  void SetIsInline(bool value) override;
  TEwsAttachment* AsElement() override { return FAttachment.get(); }

  /// Moves the attachment element into a document of its own (before the list removes it).
  void Detach();

 protected:
  /// An attachment of `owner` over its schema element.
  TDvEWSAttachment(const DvEWSAttachmentsPtr& owner, std::unique_ptr<TEwsAttachment> element);
  /// The schema element of the subclass's kind over an element.
  virtual std::unique_ptr<TEwsAttachment> Rewrap(const DvDOMElementPtr& element) const = 0;
  /// Adds this attachment's id to the owner's modified set.
  void Changed();
  /// The session's server version.
  TServerVersion ServerVersion() const;
  /// Sends GetAttachment for this attachment and returns the checked response message.
  DvDOMElementPtr RequestAttachment(bool includeMimeContent);

  /// @cond internal
  DvEWSAttachmentsPtr FAttachments;
  std::unique_ptr<TEwsAttachment> FAttachment;
  DvEWSSessionPtr FSession;
  /// @endcond
};

/// The file attachment class (see IDvEWSFileAttachment).
class TDvEWSFileAttachment : public TDvEWSAttachment, public IDvEWSFileAttachment {
 public:
  /// Over a t:FileAttachment element of `owner`.
  TDvEWSFileAttachment(const DvEWSAttachmentsPtr& owner, const DvDOMElementPtr& element);

  TDvEWSAttachmentType GetAttachmentType() override { return TDvEWSAttachmentType::attFile; }
  bool GetIsContactPhoto() override;
  void SetIsContactPhoto(bool value) override;
  void LoadFromStream(std::istream& stream) override;
  void LoadFromFile(const std::string& fileName) override;
  void SaveToStream(std::ostream& stream) override;
  void SaveToFile(const std::string& fileName) override;

  /// The attachment element as its schema class.
  TEwsFileAttachment& FileElement() { return static_cast<TEwsFileAttachment&>(*FAttachment); }

 protected:
  std::unique_ptr<TEwsAttachment> Rewrap(const DvDOMElementPtr& element) const override;
};

/// The item attachment class (see IDvEWSItemAttachment).
class TDvEWSItemAttachment : public TDvEWSAttachment, public IDvEWSItemAttachment {
 public:
  /// Over a t:ItemAttachment element of `owner`.
  TDvEWSItemAttachment(const DvEWSAttachmentsPtr& owner, const DvDOMElementPtr& element);

  TDvEWSAttachmentType GetAttachmentType() override { return TDvEWSAttachmentType::attItem; }
  TItemAttachmentType GetItemAttachmentType() override;
  TEwsItem* GetItem() override;
  TEwsMessage* GetMessage() override;
  TEwsCalendarItem* GetCalendarItem() override;
  TEwsContactItem* GetContact() override;
  TEwsMeetingMessage* GetMeetingMessage() override;
  TEwsMeetingRequestMessage* GetMeetingRequest() override;
  TEwsMeetingResponseMessage* GetMeetingResponse() override;
  TEwsMeetingCancellationMessage* GetMeetingCancellation() override;
  TEwsTask* GetTask() override;
  TEwsPostItem* GetPostItem() override;
  TEwsRoleMemberItem* GetRoleMember() override;
  TEwsNetworkItem* GetNetwork() override;
  TEwsAbchPersonItem* GetPerson() override;

  /// The attachment element as its schema class.
  TEwsItemAttachment& ItemElement() { return static_cast<TEwsItemAttachment&>(*FAttachment); }

 protected:
  std::unique_ptr<TEwsAttachment> Rewrap(const DvDOMElementPtr& element) const override;

 private:
  void Require(TItemAttachmentType type, const char* message);

  TItemAttachmentType FItemType = TItemAttachmentType::iaItem;
  bool FItemRetrieved = false;
};

}  // namespace dv
