// The folder picker and address book components: settings in, a dialog from the registered
// factory, results back.
#include "uDvEWSDialogs.h"

#include "uDvEWS.h"

namespace dv {

TDvEWSCreateFolderDialog CreateFolderDialog;
TDvEWSCreateAddressBookDialog CreateAddressBookDialog;

namespace {

// Moves a component's free notification from its old session to a new one.
void Rebind(TDvComponent& self, TDvEWSCustomSession*& field, TDvEWSCustomSession* value) {
  if (field == value) return;
  if (field) self.RemoveFreeNotification(field);
  field = value;
  if (field) self.FreeNotification(field);
}

}  // namespace

// ---- TDvEWSFolderDialog ----

TDvEWSFolderDialog::TDvEWSFolderDialog(TDvComponent* owner) : TDvComponent(owner) {}

TDvEWSFolderDialog::~TDvEWSFolderDialog() = default;

void TDvEWSFolderDialog::SetSession(TDvEWSCustomSession* value) {
  Rebind(*this, FSession, value);
}

void TDvEWSFolderDialog::Notification(TDvComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component == FSession) FSession = nullptr;
  TDvComponent::Notification(component, operation);
}

bool TDvEWSFolderDialog::Execute() {
  if (!FSession) throw EEWSException("No EWS Session has been assigned to the FolderDialog!");
  if (!CreateFolderDialog)
    throw EDvEWSNoDialog(
        "No folder dialog is registered: assign dv::CreateFolderDialog (a user-interface module "
        "such as dv::qt::RegisterDialogs() does) before Execute!");
  DvEWSFolderDialogPtr dialog = CreateFolderDialog(FSession);
  if (!dialog) throw EDvEWSNoDialog("The registered folder dialog factory gave no dialog!");
  dialog->SetTitle(FTitle);
  dialog->SetFolderTypes(FFolderTypes);
  dialog->SetAllowSelectMsgStore(FAllowSelectMsgStore);
  dialog->SetMsgStore(FMsgStore);
  if (dialog->ShowModal() != mrOk) return false;
  // Read all three before storing any, so a dialog that raises leaves the component unchanged.
  std::string store = dialog->GetMsgStore();
  TItemId id = dialog->GetFolderId();
  std::string name = dialog->GetFolderName();
  FMsgStore = std::move(store);
  FFolderId = std::move(id);
  FFolderName = std::move(name);
  return true;
}

// ---- TDvEWSAddressBookDialog ----

TDvEWSAddressBookDialog::TDvEWSAddressBookDialog(TDvComponent* owner) : TDvComponent(owner) {}

TDvEWSAddressBookDialog::~TDvEWSAddressBookDialog() = default;

std::size_t TDvEWSAddressBookDialog::Index(TButton button) {
  auto i = static_cast<std::size_t>(button);
  if (i >= 3) throw EListError("Invalid address book button");
  return i;
}

void TDvEWSAddressBookDialog::SetSession(TDvEWSCustomSession* value) {
  Rebind(*this, FSession, value);
}

void TDvEWSAddressBookDialog::Notification(TDvComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove && component == FSession) FSession = nullptr;
  TDvComponent::Notification(component, operation);
}

const std::string& TDvEWSAddressBookDialog::GetButtonName(TButton button) const {
  return FButtonNames[Index(button)];
}

void TDvEWSAddressBookDialog::SetButtonName(TButton button, const std::string& name) {
  FButtonNames[Index(button)] = name;
}

const DvEWSRecipientsPtr& TDvEWSAddressBookDialog::GetRecipientList(TButton button) const {
  return FRecipients[Index(button)];
}

void TDvEWSAddressBookDialog::SetRecipientList(TButton button, const DvEWSRecipientsPtr& list) {
  FRecipients[Index(button)] = list;
}

bool TDvEWSAddressBookDialog::Execute(bool resolve) {
  if (!FSession) throw Exception("No EWS Session has been assigned to the AddressBookDialog!");
  if (!CreateAddressBookDialog)
    throw EDvEWSNoDialog(
        "No address book dialog is registered: assign dv::CreateAddressBookDialog (a "
        "user-interface module such as dv::qt::RegisterDialogs() does) before Execute!");
  for (auto& list : FRecipients)
    if (!list) list = FSession->CreateRecipients();
  DvEWSAddressBookDialogPtr dialog = CreateAddressBookDialog(this, FSession);
  if (!dialog) throw EDvEWSNoDialog("The registered address book dialog factory gave no dialog!");
  constexpr TButton kButtons[] = {TButton::btnTo, TButton::btnCC, TButton::btnBCC};
  dialog->SetTitle(FTitle);
  dialog->SetSearchScope(FSearchScope);
  dialog->SetButtons(FButtons);
  for (TButton b : kButtons)
    dialog->SetButtonName(b, FButtonNames[Index(b)]);
  for (TButton b : kButtons)
    dialog->SetRecipients(b, FRecipients[Index(b)]);
  dialog->SetDefaultButton(FDefaultButton);
  const bool accepted = dialog->ShowModal() == mrOk;
  for (TButton b : kButtons)
    FRecipients[Index(b)] = dialog->GetRecipients(b);
  if (resolve)
    for (const auto& list : FRecipients)
      if (list) FSession->ResolveNames(list, false);
  return accepted;
}

}  // namespace dv
