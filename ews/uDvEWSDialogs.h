/// @file
/// The folder picker and the address book as non-visual components. Each holds its settings and
/// results; the window itself comes from a factory that a user-interface module assigns to
/// CreateFolderDialog or CreateAddressBookDialog (the Qt module's dv::qt::RegisterDialogs() sets
/// both). A test or an application may assign its own.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "DvSysUtils.h"
#include "uDvEWSAvailability.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

class TDvEWSCustomSession;

/// The modal result of an accepted dialog; anything else means cancelled.
inline constexpr int mrOk = 1;
/// The modal result a dialog closed without accepting gives.
inline constexpr int mrCancel = 2;

/// Raised by Execute when no dialog factory is registered (or the factory gave no dialog):
/// the application must link a user-interface module and register its dialogs first.
class EDvEWSNoDialog : public Exception {
 public:
  using Exception::Exception;
};

// ---- Folder picker ----

/// The folder picker's window, as a user-interface module implements it.
class IDvEWSFolderDialog {
 public:
  virtual ~IDvEWSFolderDialog() = default;
  /// The chosen folder.
  virtual TItemId GetFolderId() = 0;
  /// The chosen folder's display name.
  virtual std::string GetFolderName() = 0;
  /// The chosen message store (a mailbox address; empty: the session's own).
  virtual std::string GetMsgStore() = 0;
  /// @name Settings
  /**@{*/
  /// The title, the folder kinds shown, whether another store may be chosen, and the store the
  /// dialog opens with (the component sets them before showing the dialog).
  virtual std::string GetTitle() = 0;
  virtual TDvEWSFolderDialogDisplayTypes GetFolderTypes() = 0;
  virtual bool GetAllowSelectMsgStore() = 0;
  virtual void SetMsgStore(const std::string& value) = 0;
  virtual void SetTitle(const std::string& value) = 0;
  virtual void SetFolderTypes(const TDvEWSFolderDialogDisplayTypes& value) = 0;
  virtual void SetAllowSelectMsgStore(bool value) = 0;
  ///@}
  /// Shows the dialog and waits until it closes; mrOk when a folder was accepted.
  virtual int ShowModal() = 0;
};
/// A shared folder dialog.
using DvEWSFolderDialogPtr = std::shared_ptr<IDvEWSFolderDialog>;

/// Makes the folder picker's window for a session.
using TDvEWSCreateFolderDialog = std::function<DvEWSFolderDialogPtr(TDvEWSCustomSession* session)>;
/// The registered folder-picker factory; empty until a user-interface module assigns it.
extern TDvEWSCreateFolderDialog CreateFolderDialog;

/// Lets the user choose a folder of a session's stores.
///
///     TDvEWSFolderDialog dlg(nullptr);
///     dlg.SetSession(&session);
///     if (dlg.Execute()) use(dlg.GetMsgStore(), dlg.GetFolderId(), dlg.GetFolderName());
class TDvEWSFolderDialog : public TDvComponent {
 public:
  /// A folder picker owned by `owner` (optional), which then deletes it with itself.
  explicit TDvEWSFolderDialog(TDvComponent* owner = nullptr);
  ~TDvEWSFolderDialog() override;

  /// @name Session
  /**@{*/
  /// The session the dialog browses; cleared when that session is destroyed.
  TDvEWSCustomSession* GetSession() const { return FSession; }
  void SetSession(TDvEWSCustomSession* value);
  ///@}
  /// @name FolderTypes
  /**@{*/
  /// The folder kinds shown (owned by the component; the setter copies).
  TDvEWSFolderDialogDisplayTypes& GetFolderTypes() { return FFolderTypes; }
  void SetFolderTypes(const TDvEWSFolderDialogDisplayTypes& value) { value.AssignTo(FFolderTypes); }
  ///@}
  /// @name MsgStore
  /**@{*/
  /// The message store: the one the dialog opens with (empty: the session's own), and after an
  /// accepted dialog the one chosen.
  const std::string& GetMsgStore() const { return FMsgStore; }
  void SetMsgStore(const std::string& value) { FMsgStore = value; }
  ///@}
  /// The chosen folder (set by an accepted dialog).
  const TItemId& GetFolderId() const { return FFolderId; }
  /// @name AllowSelectMsgStore
  /**@{*/
  /// Whether the user may switch to another store (the session's additional mailboxes).
  bool GetAllowSelectMsgStore() const { return FAllowSelectMsgStore; }
  void SetAllowSelectMsgStore(bool value) { FAllowSelectMsgStore = value; }
  ///@}
  /// @name Title
  /**@{*/
  /// The window's title.
  const std::string& GetTitle() const { return FTitle; }
  void SetTitle(const std::string& value) { FTitle = value; }
  ///@}
  /// The chosen folder's display name (set by an accepted dialog).
  const std::string& GetFolderName() const { return FFolderName; }

  /// Shows the dialog. True when the user accepted a folder: MsgStore, FolderId and FolderName
  /// then hold the choice; false leaves them as they were. EEWSException "No EWS Session has
  /// been assigned to the FolderDialog!" without a session; EDvEWSNoDialog without a factory.
  bool Execute();

 protected:
  void Notification(TDvComponent* component, TOperation operation) override;

 private:
  TDvEWSCustomSession* FSession = nullptr;
  TDvEWSFolderDialogDisplayTypes FFolderTypes;
  std::string FMsgStore;
  TItemId FFolderId;
  bool FAllowSelectMsgStore = false;
  std::string FTitle;
  std::string FFolderName;
};

// ---- Address book ----

/// The address book's buttons, one per recipient list.
enum class TDvEWSAddressBookDialogButton { btnTo, btnCC, btnBCC };
/// A set of buttons.
using TDvEWSAddressBookDialogButtons = TSet<TDvEWSAddressBookDialogButton>;

/// The address book's window, as a user-interface module implements it.
class IDvEWSAddressBookDialog {
 public:
  /// A button (btnTo, btnCC, btnBCC).
  using TButton = TDvEWSAddressBookDialogButton;
  virtual ~IDvEWSAddressBookDialog() = default;
  /// @name Settings
  /**@{*/
  /// The title, the search scope, the buttons shown (each with its recipient list), their
  /// captions and the button Enter presses (the component sets them before showing the dialog).
  virtual std::string GetTitle() = 0;
  virtual TSearchScope GetSearchScope() = 0;
  virtual TDvEWSAddressBookDialogButtons GetButtons() = 0;
  virtual std::string GetButtonName(TButton button) = 0;
  virtual TButton GetDefaultButton() = 0;
  virtual void SetTitle(const std::string& value) = 0;
  virtual void SetSearchScope(TSearchScope value) = 0;
  virtual void SetButtons(TDvEWSAddressBookDialogButtons value) = 0;
  virtual void SetButtonName(TButton button, const std::string& name) = 0;
  virtual void SetDefaultButton(TButton value) = 0;
  ///@}
  /// The recipient list of a button as the user left it.
  virtual DvEWSRecipientsPtr GetRecipients(TButton button) = 0;
  /// The list a button adds to; the dialog edits it in place.
  virtual void SetRecipients(TButton button, const DvEWSRecipientsPtr& list) = 0;
  /// Shows the dialog and waits until it closes; mrOk when accepted.
  virtual int ShowModal() = 0;
};
/// A shared address-book dialog.
using DvEWSAddressBookDialogPtr = std::shared_ptr<IDvEWSAddressBookDialog>;

/// Makes the address book's window for the component that asks (the TDvEWSAddressBookDialog
/// itself) and its session.
using TDvEWSCreateAddressBookDialog =
    std::function<DvEWSAddressBookDialogPtr(TDvComponent* owner, TDvEWSCustomSession* session)>;
/// The registered address-book factory; empty until a user-interface module assigns it.
extern TDvEWSCreateAddressBookDialog CreateAddressBookDialog;

/// Lets the user pick To, CC and BCC recipients from the directory and the contacts.
///
///     TDvEWSAddressBookDialog book(nullptr);
///     book.SetSession(&session);
///     if (book.Execute(true))
///       message->GetCcRecipients()->SetAsString(
///           book.GetRecipientList(TDvEWSAddressBookDialogButton::btnCC)->GetAsString());
class TDvEWSAddressBookDialog : public TDvComponent {
 public:
  /// A button (btnTo, btnCC, btnBCC).
  using TButton = TDvEWSAddressBookDialogButton;
  /// An address book owned by `owner` (optional), which then deletes it with itself.
  explicit TDvEWSAddressBookDialog(TDvComponent* owner = nullptr);
  ~TDvEWSAddressBookDialog() override;

  /// @name Session
  /**@{*/
  /// The session searched; cleared when that session is destroyed.
  TDvEWSCustomSession* GetSession() const { return FSession; }
  void SetSession(TDvEWSCustomSession* value);
  ///@}
  /// @name SearchScope
  /**@{*/
  /// Where names are searched (scActiveDirectoryContacts by default).
  TSearchScope GetSearchScope() const { return FSearchScope; }
  void SetSearchScope(TSearchScope value) { FSearchScope = value; }
  ///@}
  /// @name Title
  /**@{*/
  /// The window's title ("Address Book: Global Address List" by default).
  const std::string& GetTitle() const { return FTitle; }
  void SetTitle(const std::string& value) { FTitle = value; }
  ///@}
  /// @name Buttons
  /**@{*/
  /// The buttons shown (all three by default).
  TDvEWSAddressBookDialogButtons GetButtons() const { return FButtons; }
  void SetButtons(TDvEWSAddressBookDialogButtons value) { FButtons = value; }
  ///@}
  /// @name ButtonName
  /**@{*/
  /// A button's caption ("To ->", "CC ->", "BCC ->" by default).
  const std::string& GetButtonName(TButton button) const;
  void SetButtonName(TButton button, const std::string& name);
  ///@}
  /// @name DefaultButton
  /**@{*/
  /// The button Enter presses (btnTo by default).
  TButton GetDefaultButton() const { return FDefaultButton; }
  void SetDefaultButton(TButton value) { FDefaultButton = value; }
  ///@}
  /// @name RecipientList
  /**@{*/
  /// A button's recipient list: none until Execute makes one through the session (or one is
  /// set); kept and reused by later calls.
  const DvEWSRecipientsPtr& GetRecipientList(TButton button) const;
  void SetRecipientList(TButton button, const DvEWSRecipientsPtr& list);
  ///@}

  /// Shows the dialog with the three lists; true when accepted. The lists are taken back from the
  /// dialog whatever the result; with `resolve`, each is then resolved against the server
  /// (ResolveNames without raising). dv::Exception without a session; EDvEWSNoDialog without a
  /// factory.
  bool Execute(bool resolve = false);

 protected:
  void Notification(TDvComponent* component, TOperation operation) override;

 private:
  static std::size_t Index(TButton button);

  TDvEWSCustomSession* FSession = nullptr;
  TSearchScope FSearchScope = TSearchScope::scActiveDirectoryContacts;
  std::string FTitle = "Address Book: Global Address List";
  TDvEWSAddressBookDialogButtons FButtons{TButton::btnTo, TButton::btnCC, TButton::btnBCC};
  std::array<std::string, 3> FButtonNames{"To ->", "CC ->", "BCC ->"};
  TButton FDefaultButton = TButton::btnTo;
  std::array<DvEWSRecipientsPtr, 3> FRecipients;
};

}  // namespace dv
