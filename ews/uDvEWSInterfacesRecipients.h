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
  /// The server's identifier (empty for an object not yet saved).
  std::string Id;
  /// The version of the object the id was read with (empty when unknown).
  std::string ChangeKey;

  TItemId() = default;
  /// An id, with its change key when known.
  TItemId(std::string id, std::string changeKey = {})
      : Id(std::move(id)), ChangeKey(std::move(changeKey)) {}

  /// Copies both strings from a schema folder or item id.
  void Assign(TEwsFolderId& id);
  /// As above, from a schema item id.
  void Assign(TEwsItemId& id);

  /// True when there is no Id.
  bool IsEmpty() const { return Id.empty(); }
  /// Both strings equal.
  friend bool operator==(const TItemId&, const TItemId&) = default;
};

// ---- Text helpers used by recipient parsing ----

/// True when the text is a plain e-mail address: a local part, "\@" and a domain. The local part
/// is either dot-separated runs of ASCII letters, digits and the other characters RFC 5322
/// allows in an atom (such as ', +, !, # and ~; no leading, trailing or doubled ".") or a quoted
/// string of printable ASCII (<tt>"john smith"\@example.com</tt>, with backslash escapes). The
/// domain is a literal ("[192.0.2.1]") or has at least four characters, a "." no later than its
/// third-last one, and only ASCII letters, digits, "+", "-", "." and "_".
bool DvEWSIsEmailAddress(std::string_view text);
/// Removes one level of quoting: a text enclosed in double (or single) quotes loses them, and a
/// doubled quote character inside becomes one. Other texts are returned as they are.
std::string DvStripLiterals(std::string_view text);

// ---- Recipients ----

/// One mailbox (an EmailAddressType element: Mailbox, Address, Id, …).
class IDvEWSRecipient {
 public:
  virtual ~IDvEWSRecipient() = default;
  /// @name Mailbox properties
  /**@{*/
  /// A property of the mailbox element (EmailAddress, ItemId of a contact or group, MailboxType,
  /// Name, RoutingType); setters change the element in place.
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
  ///@}
};
/// A shared recipient.
using DvEWSRecipientPtr = std::shared_ptr<IDvEWSRecipient>;

/// A list of recipients (To, Cc, Bcc, Reply-To of a message, a resolution's entries), edited
/// in place in the item's data. `list->Add("Bob <bob@example.com>")` adds one.
class IDvEWSRecipients {
 public:
  virtual ~IDvEWSRecipients() = default;
  /// Recipient `index` (EListError when out of range).
  virtual DvEWSRecipientPtr GetRecipient(int index) = 0;
  /// "Name <address>; address; …"
  virtual std::string GetAsString() = 0;
  /// Replaces the list with the recipients of a ";"-separated text (empty parts are skipped).
  /// Every part is checked first (see Add): a refused one leaves the list as it was.
  virtual void SetAsString(const std::string& value) = 0;
  /// The number of recipients.
  virtual int Count() const = 0;
  /// Parses a text such as "John Smith <john@example.com>" into a new recipient. The address
  /// keeps every character it was given (o'brien@example.com stays so); a text without "@" is a
  /// name for the server to resolve. Exception "The recipient \"…\" is not a valid e-mail
  /// address" (and nothing added) for an SMTP address with "@" that is malformed.
  virtual DvEWSRecipientPtr Add(const std::string& text) = 0;
  /// Removes the first recipient with that address (case-insensitive); nothing when none has it.
  virtual void Remove(const std::string& emailAddress) = 0;
  /// Removes recipient `index` (EListError when out of range).
  virtual void Delete(int index) = 0;
  /// Removes every recipient.
  virtual void Clear() = 0;
};
/// A shared recipient list.
using DvEWSRecipientsPtr = std::shared_ptr<IDvEWSRecipients>;

/// The recipient class (see IDvEWSRecipient) over one mailbox element.
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

  /// The mailbox element as its schema class.
  TEwsEmailAddressType& GetMailBoxElement() { return *FMailBoxElement; }
  /// The mailbox element.
  DvDOMElementPtr AsElement() const { return FMailBoxElement->AsElement(); }
  /// Moves the mailbox element into a document of its own (before the list removes it).
  void Detach();
  /// Wraps another element of the same kind from now on.
  void Rebind(const DvDOMElementPtr& element);

 private:
  TServerVersion FServerVersion;
  std::unique_ptr<TEwsEmailAddressType> FMailBoxElement;
};
/// A shared recipient object.
using DvEWSRecipientObjPtr = std::shared_ptr<TDvEWSRecipient>;

/// The recipient list class (see IDvEWSRecipients).
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
  /// The element the mailbox elements are children of.
  const DvDOMElementPtr& GetMailBoxParent() const { return FMailBoxParent; }
  /// The server version the list checks version-gated properties against.
  TServerVersion GetServerVersion() const { return FServerVersion; }

 private:
  void ClearElements() noexcept;

  TServerVersion FServerVersion;
  std::string FMailboxElmName;
  DvDOMElementPtr FMailBoxParent;
  std::vector<DvEWSRecipientObjPtr> FList;
};

// ---- Distribution-list members ----

/// One member of a distribution list: its key, status and mailbox.
class TDvEWSMember {
 public:
  /// Over a t:Member element.
  TDvEWSMember(const DvDOMElementPtr& element, TServerVersion serverVersion);

  /// The member's key (unique in the list).
  std::string GetKey();
  /// Sets the key.
  void SetKey(const std::string& value);
  /// A recipient over the member's Mailbox element (made when first asked for).
  DvEWSRecipientPtr GetMailbox();
  /// Normal, demoted or unrecognized.
  TMemberStatus GetStatus();
  /// Sets the status.
  void SetStatus(TMemberStatus value);

  /// The member element as its schema class.
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
/// A shared member.
using DvEWSMemberPtr = std::shared_ptr<TDvEWSMember>;

/// The members of a distribution list.
class TDvEWSMembersList {
 public:
  /// Over a MembersListType element (a distribution list's Members).
  TDvEWSMembersList(const DvDOMElementPtr& members, TServerVersion serverVersion);
  ~TDvEWSMembersList();
  TDvEWSMembersList(const TDvEWSMembersList&) = delete;
  TDvEWSMembersList& operator=(const TDvEWSMembersList&) = delete;

  /// The number of members.
  int Count() const;
  /// Member `index` (EListError when out of range).
  const DvEWSMemberPtr& GetItem(int index) const;  // EListError when out of range
  /// Appends a member whose mailbox is that text: an address, "Display Name <address>" (the
  /// forms recipients' Add reads), or a legacy Exchange address. Text that names no address
  /// raises dv::Exception as a recipient's does, and the list is left as it was.
  DvEWSMemberPtr Add(const std::string& mailbox);
  /// Deletes the last member whose mailbox address equals `mailbox` (case-insensitive).
  void Remove(const std::string& mailbox);
  /// Removes member `index`.
  void Delete(int index);
  /// Removes every member.
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
  /// Over an array-of-strings element.
  explicit TDvEWSStrings(const DvDOMElementPtr& strings);

  /// The number of strings.
  int Count() const;
  /// String `index` (EListError when out of range).
  std::string GetItem(int index) const;  // EListError when out of range
  /// Replaces string `index`.
  void SetItem(int index, const std::string& value);
  /// Appends a t:String and returns its index.
  int Add(const std::string& value);
  /// Removes string `index`.
  void Delete(int index);
  /// The first index whose text equals `value` exactly, else -1.
  int IndexOf(const std::string& value) const;
  /// Removes every string.
  void Clear();
  /// The strings joined with `separator`.
  std::string AsString(const std::string& separator) const;

  /// The array element.
  const DvDOMElementPtr& GetStrings() const { return FStrings; }

 private:
  DvDOMElementPtr FStrings;
};

// ---- Categories ----

/// A category of the mailbox's master list.
struct TDvEWSCategory {
  /**@{*/
  /// The category's name, colour and shortcut key.
  std::string Name;
  std::uint32_t Color = 0xFFFFFF;  // 0x00BBGGRR: red in the low byte
  std::uint16_t ShortCut = 0;      // a key code (Ctrl + F2 … F12) or 0
  ///@}

  /// From a category element: attributes "name", "color" (an index into the colour table) and
  /// "keyboardShortcut" (1 to 11).
  static TDvEWSCategory FromElement(const IDvDOMElement& element);
  /// All fields equal.
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
  /// @name Folder kinds shown
  /**@{*/
  /// Whether the picker shows folders of that kind (true unless set false).
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
  ///@}

  /// Copies the eleven settings to `dest`.
  void AssignTo(TDvEWSFolderDialogDisplayTypes& dest) const { dest = *this; }
  /// All settings equal.
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
