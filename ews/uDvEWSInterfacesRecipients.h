/// @file
/// Identifiers, recipient lists, distribution-list members, string arrays, category records and the
/// folder picker's display settings.
///
/// Every list here edits the XML it was made over in place (an item's current data, a response),
/// so the item's save logic sees the change. The lists keep their XML alive through the DOM
/// element they hold; they never own a document of their own. An object a list hands out (a
/// recipient, a member) stays usable after it was deleted from its list: it is then moved into a
/// small document of its own and no longer belongs to the list's XML.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DvSysUtils.h"
#include "DvXML.h"
#include "uDvEWSTypes.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

// ---- Identifiers ----

/// The identifier of an item or folder. An empty Id means the object is not yet on the server.
struct TItemId {
  std::string Id;
  std::string ChangeKey;

  TItemId() = default;
  TItemId(std::string id, std::string changeKey = {})
      : Id(std::move(id)), ChangeKey(std::move(changeKey)) {}

  /// Copies both strings from a schema folder or item id.
  void Assign(TEwsFolderId& id);
  void Assign(TEwsItemId& id);

  bool IsEmpty() const { return Id.empty(); }
  friend bool operator==(const TItemId&, const TItemId&) = default;
};

// ---- Text helpers used by recipient parsing ----

/// True when the text is a plain e-mail address: one "@" with a non-empty local part before it,
/// a domain of at least four characters with a "." no later than its third-last character, and
/// both parts made only of ASCII letters, digits, "+", "-", "." and "_".
bool DvEWSIsEmailAddress(std::string_view text);
/// Removes one level of quoting: a text enclosed in double (or single) quotes loses them, and a
/// doubled quote character inside becomes one. Other texts are returned as they are.
std::string DvStripLiterals(std::string_view text);

// ---- Recipients ----

/// One mailbox (an EmailAddressType element: Mailbox, Address, Id, …).
class IDvEWSRecipient {
 public:
  virtual ~IDvEWSRecipient() = default;
  virtual std::string GetEmailAddress() = 0;
  virtual TItemId GetItemId() = 0;
  virtual TMailboxType GetMailboxType() = 0;
  virtual std::string GetName() = 0;
  /// Requires Exchange2013.
  virtual std::string GetOriginalDisplayName() = 0;
  virtual std::string GetRoutingType() = 0;
  virtual void SetEmailAddress(const std::string& value) = 0;
  virtual void SetItemId(const TItemId& value) = 0;
  virtual void SetMailboxType(TMailboxType value) = 0;
  virtual void SetName(const std::string& value) = 0;
  virtual void SetOriginalDisplayName(const std::string& value) = 0;
  virtual void SetRoutingType(const std::string& value) = 0;
};
using DvEWSRecipientPtr = std::shared_ptr<IDvEWSRecipient>;

class IDvEWSRecipients {
 public:
  virtual ~IDvEWSRecipients() = default;
  virtual DvEWSRecipientPtr GetRecipient(int index) = 0;
  /// "Name <address>; address; …"
  virtual std::string GetAsString() = 0;
  /// Replaces the list with the recipients of a ";"-separated text (empty parts are skipped).
  virtual void SetAsString(const std::string& value) = 0;
  virtual int Count() const = 0;
  /// Parses a text such as "John Smith <john@example.com>" into a new recipient.
  virtual DvEWSRecipientPtr Add(const std::string& text) = 0;
  /// Removes the first recipient with that address (case-insensitive); nothing when none has it.
  virtual void Remove(const std::string& emailAddress) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;
};
using DvEWSRecipientsPtr = std::shared_ptr<IDvEWSRecipients>;

class TDvEWSRecipient : public IDvEWSRecipient {
 public:
  /// Wraps an element whose local name must be `elementName` (dv::Exception otherwise).
  TDvEWSRecipient(const DvDOMElementPtr& element, const std::string& elementName,
                  TServerVersion serverVersion);

  std::string GetEmailAddress() override;
  TItemId GetItemId() override;
  TMailboxType GetMailboxType() override;
  std::string GetName() override;
  std::string GetOriginalDisplayName() override;
  std::string GetRoutingType() override;
  void SetEmailAddress(const std::string& value) override;
  void SetItemId(const TItemId& value) override;
  void SetMailboxType(TMailboxType value) override;
  void SetName(const std::string& value) override;
  void SetOriginalDisplayName(const std::string& value) override;
  void SetRoutingType(const std::string& value) override;

  TEwsEmailAddressType& GetMailBoxElement() { return *FMailBoxElement; }
  DvDOMElementPtr AsElement() const { return FMailBoxElement->AsElement(); }
  /// Moves the mailbox element into a document of its own (before the list removes it).
  void Detach();
  /// Wraps another element of the same kind from now on.
  void Rebind(const DvDOMElementPtr& element);

 private:
  TServerVersion FServerVersion;
  std::unique_ptr<TEwsEmailAddressType> FMailBoxElement;
};
using DvEWSRecipientObjPtr = std::shared_ptr<TDvEWSRecipient>;

class TDvEWSRecipients : public IDvEWSRecipients {
 public:
  /// Wraps every descendant of `parent` named `mailboxElmName` ("Mailbox" for the lists of items),
  /// in document order.
  TDvEWSRecipients(const DvDOMElementPtr& parent, const std::string& mailboxElmName,
                   TServerVersion serverVersion);
  /// Runs Clear: the parent's child elements go with the list.
  ~TDvEWSRecipients() override;
  /// An empty list over a document of its own (root "t:Recipients"), for lists that belong to no
  /// item (an address-book dialog's, a name resolution's).
  static std::shared_ptr<TDvEWSRecipients> CreateStandalone(TServerVersion serverVersion);
  TDvEWSRecipients(const TDvEWSRecipients&) = delete;
  TDvEWSRecipients& operator=(const TDvEWSRecipients&) = delete;

  DvEWSRecipientPtr GetRecipient(int index) override;
  std::string GetAsString() override;
  void SetAsString(const std::string& value) override;
  int Count() const override;
  DvEWSRecipientPtr Add(const std::string& text) override;
  void Remove(const std::string& emailAddress) override;
  void Delete(int index) override;
  void Clear() override;

  /// The recipient object (EListError when out of range).
  const DvEWSRecipientObjPtr& GetItem(int index) const;
  const DvDOMElementPtr& GetMailBoxParent() const { return FMailBoxParent; }
  TServerVersion GetServerVersion() const { return FServerVersion; }

 private:
  void ClearElements() noexcept;

  TServerVersion FServerVersion;
  std::string FMailboxElmName;
  DvDOMElementPtr FMailBoxParent;
  std::vector<DvEWSRecipientObjPtr> FList;
};

// ---- Distribution-list members ----

class TDvEWSMember {
 public:
  TDvEWSMember(const DvDOMElementPtr& element, TServerVersion serverVersion);

  std::string GetKey();
  void SetKey(const std::string& value);
  /// A recipient over the member's Mailbox element (made when first asked for).
  DvEWSRecipientPtr GetMailbox();
  TMemberStatus GetStatus();
  void SetStatus(TMemberStatus value);

  TEwsMember& GetMemberElement() { return *FMember; }
  /// The mailbox's e-mail address, read without creating anything.
  std::string MailboxAddress() const;
  /// Moves the member element into a document of its own (before the list removes it).
  void Detach();

 private:
  std::unique_ptr<TEwsMember> FMember;
  TServerVersion FServerVersion;
  DvEWSRecipientObjPtr FMailbox;
};
using DvEWSMemberPtr = std::shared_ptr<TDvEWSMember>;

class TDvEWSMembersList {
 public:
  /// Over a MembersListType element (a distribution list's Members).
  TDvEWSMembersList(const DvDOMElementPtr& members, TServerVersion serverVersion);
  ~TDvEWSMembersList();
  TDvEWSMembersList(const TDvEWSMembersList&) = delete;
  TDvEWSMembersList& operator=(const TDvEWSMembersList&) = delete;

  int Count() const;
  const DvEWSMemberPtr& GetItem(int index) const;  // EListError when out of range
  /// Appends a member whose mailbox has that e-mail address.
  DvEWSMemberPtr Add(const std::string& mailbox);
  /// Deletes the last member whose mailbox address equals `mailbox` (case-insensitive).
  void Remove(const std::string& mailbox);
  void Delete(int index);
  void Clear();

 private:
  TServerVersion FServerVersion;
  std::unique_ptr<TEwsMembersList> FMembers;
  std::vector<DvEWSMemberPtr> FList;
};

// ---- String arrays ----

/// The t:String children of an array-of-strings element (categories and the like).
class TDvEWSStrings {
 public:
  explicit TDvEWSStrings(const DvDOMElementPtr& strings);

  int Count() const;
  std::string GetItem(int index) const;  // EListError when out of range
  void SetItem(int index, const std::string& value);
  /// Appends a t:String and returns its index.
  int Add(const std::string& value);
  void Delete(int index);
  /// The first index whose text equals `value` exactly, else -1.
  int IndexOf(const std::string& value) const;
  void Clear();
  std::string AsString(const std::string& separator) const;

  const DvDOMElementPtr& GetStrings() const { return FStrings; }

 private:
  DvDOMElementPtr FStrings;
};

// ---- Categories ----

/// A category of the mailbox's master list.
struct TDvEWSCategory {
  std::string Name;
  std::uint32_t Color = 0xFFFFFF;  // 0x00BBGGRR: red in the low byte
  std::uint16_t ShortCut = 0;      // a key code (Ctrl + F2 … F12) or 0

  /// From a category element: attributes "name", "color" (an index into the colour table) and
  /// "keyboardShortcut" (1 to 11).
  static TDvEWSCategory FromElement(const IDvDOMElement& element);
  friend bool operator==(const TDvEWSCategory&, const TDvEWSCategory&) = default;
};

/// The colour of a category colour index (0 to 24); white (0xFFFFFF) for any other.
std::uint32_t DvEWSCategoryColor(int index);
/// The key code of a category shortcut: 1 to 11 give 0x4071 … 0x407B, anything else 0.
std::uint16_t DvEWSCategoryShortCut(int shortcut);

// ---- Folder picker settings ----

/// Which folders the folder picker shows. Every kind is shown until told otherwise.
class TDvEWSFolderDialogDisplayTypes {
 public:
  bool GetShowFolders() const { return FShowFolders; }
  void SetShowFolders(bool v) { FShowFolders = v; }
  /// The same setting under the folder dialog's name for it.
  bool GetShowMessageFolders() const { return FShowFolders; }
  void SetShowMessageFolders(bool v) { FShowFolders = v; }
  bool GetShowCalendarFolders() const { return FShowCalendarFolders; }
  void SetShowCalendarFolders(bool v) { FShowCalendarFolders = v; }
  bool GetShowContactFolders() const { return FShowContactFolders; }
  void SetShowContactFolders(bool v) { FShowContactFolders = v; }
  bool GetShowSearchFolders() const { return FShowSearchFolders; }
  void SetShowSearchFolders(bool v) { FShowSearchFolders = v; }
  bool GetShowTaskFolders() const { return FShowTaskFolders; }
  void SetShowTaskFolders(bool v) { FShowTaskFolders = v; }
  bool GetShowInbox() const { return FShowInbox; }
  void SetShowInbox(bool v) { FShowInbox = v; }
  bool GetShowOutbox() const { return FShowOutbox; }
  void SetShowOutbox(bool v) { FShowOutbox = v; }
  bool GetShowDeletedItems() const { return FShowDeletedItems; }
  void SetShowDeletedItems(bool v) { FShowDeletedItems = v; }
  bool GetShowSentItems() const { return FShowSentItems; }
  void SetShowSentItems(bool v) { FShowSentItems = v; }
  bool GetShowJournal() const { return FShowJournal; }
  void SetShowJournal(bool v) { FShowJournal = v; }
  bool GetShowNotes() const { return FShowNotes; }
  void SetShowNotes(bool v) { FShowNotes = v; }

  /// Copies the eleven settings to `dest`.
  void AssignTo(TDvEWSFolderDialogDisplayTypes& dest) const { dest = *this; }
  friend bool operator==(const TDvEWSFolderDialogDisplayTypes&,
                         const TDvEWSFolderDialogDisplayTypes&) = default;

 private:
  bool FShowFolders = true;
  bool FShowCalendarFolders = true;
  bool FShowContactFolders = true;
  bool FShowSearchFolders = true;
  bool FShowTaskFolders = true;
  bool FShowInbox = true;
  bool FShowOutbox = true;
  bool FShowDeletedItems = true;
  bool FShowSentItems = true;
  bool FShowJournal = true;
  bool FShowNotes = true;
};

}  // namespace dv
