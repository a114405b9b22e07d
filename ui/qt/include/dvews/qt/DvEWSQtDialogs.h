/// @file
/// The Qt 6 dialog module: the windows behind the library's folder picker and address book
/// components (TDvEWSFolderDialog, TDvEWSAddressBookDialog).
///
///     QApplication app(argc, argv);
///     dv::qt::RegisterDialogs();          // once, before the components' Execute
///     dv::TDvEWSFolderDialog picker;
///     picker.SetSession(&session);
///     if (picker.Execute()) ...
///
/// The dialogs are modal and must be shown from the GUI thread. Their server work (listing
/// folders, resolving names) runs on a thread of their own, one request at a time, so the
/// window stays responsive. The session serialises its requests, so the application may go on
/// using it through objects of its own meanwhile, but must not change its settings while a dialog
/// is open. Failures are shown in the dialog.
#pragma once

#include <string>

#include <dvews/uDvEWSDialogs.h>

namespace dv::qt {

/// Assigns dv::CreateFolderDialog and dv::CreateAddressBookDialog to this module's dialogs.
void RegisterDialogs();
/// Empties both factories again (when they are this module's).
void UnregisterDialogs();

/// A folder picker window for a session, as RegisterDialogs' factory makes it.
DvEWSFolderDialogPtr NewFolderDialog(TDvEWSCustomSession* session);
/// An address book window for a session, as RegisterDialogs' factory makes it.
DvEWSAddressBookDialogPtr NewAddressBookDialog(TDvComponent* owner, TDvEWSCustomSession* session);

/// What a folder holds, from its folder class ("IPF.Appointment", …) and whether it is a search
/// folder; decides its icon and whether the display types show it.
enum class TFolderKind { fkMail, fkCalendar, fkContacts, fkTasks, fkNotes, fkJournal, fkSearch };
/// The kind of a folder of that class ("IPF.Note" and unknown classes are mail).
TFolderKind FolderKind(const std::string& folderClass, bool searchFolder);

/// The well-known folders the display types name one by one.
enum class TSpecialFolder { sfNone, sfInbox, sfOutbox, sfDeletedItems, sfSentItems };
/// Whether the display types show a folder of that kind.
bool FolderShown(const TDvEWSFolderDialogDisplayTypes& types, TFolderKind kind,
                 TSpecialFolder special);

}  // namespace dv::qt
