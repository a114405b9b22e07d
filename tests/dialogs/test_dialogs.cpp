// The folder picker and address book components driven through a test factory: what they pass
// to the dialog and in which order, what they take back, and their session reference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session_fixture.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSDialogs.h"

using namespace dv;
using ews_test::ThrownMessage;
using Button = TDvEWSAddressBookDialogButton;

namespace {

// A folder dialog that records what it is told and answers with scripted results.
struct FakeFolderDialog : IDvEWSFolderDialog {
  std::vector<std::string>* log;
  int result;
  explicit FakeFolderDialog(std::vector<std::string>* l, int r) : log(l), result(r) {}
  TItemId GetFolderId() override { return TItemId("fid", "ck"); }
  std::string GetFolderName() override { return "Chosen"; }
  std::string GetMsgStore() override { return "bob@example.com"; }
  std::string GetTitle() override { return {}; }
  TDvEWSFolderDialogDisplayTypes GetFolderTypes() override { return {}; }
  bool GetAllowSelectMsgStore() override { return false; }
  void SetMsgStore(const std::string& v) override { log->push_back("store " + v); }
  void SetTitle(const std::string& v) override { log->push_back("title " + v); }
  void SetFolderTypes(const TDvEWSFolderDialogDisplayTypes& v) override {
    log->push_back(std::string("types calendar=") + (v.GetShowCalendarFolders() ? "1" : "0"));
  }
  void SetAllowSelectMsgStore(bool v) override { log->push_back(v ? "allow 1" : "allow 0"); }
  int ShowModal() override {
    log->push_back("show");
    return result;
  }
};

// An address book that records its settings, keeps the lists it is given and, when shown, adds
// `add` to the CC list.
struct FakeBook : IDvEWSAddressBookDialog {
  std::vector<std::string>* log;
  int result;
  std::string add;
  DvEWSRecipientsPtr lists[3];
  FakeBook(std::vector<std::string>* l, int r, std::string a) : log(l), result(r), add(a) {}
  std::string GetTitle() override { return {}; }
  TSearchScope GetSearchScope() override { return {}; }
  TDvEWSAddressBookDialogButtons GetButtons() override { return {}; }
  std::string GetButtonName(TButton) override { return {}; }
  TButton GetDefaultButton() override { return {}; }
  DvEWSRecipientsPtr GetRecipients(TButton b) override { return lists[int(b)]; }
  void SetTitle(const std::string& v) override { log->push_back("title " + v); }
  void SetSearchScope(TSearchScope v) override {
    log->push_back("scope " + std::to_string(int(v)));
  }
  void SetButtons(TDvEWSAddressBookDialogButtons v) override {
    log->push_back("buttons " + std::to_string(v.Bits()));
  }
  void SetButtonName(TButton b, const std::string& n) override {
    log->push_back("name " + std::to_string(int(b)) + " " + n);
  }
  void SetDefaultButton(TButton v) override { log->push_back("default " + std::to_string(int(v))); }
  void SetRecipients(TButton b, const DvEWSRecipientsPtr& l) override {
    log->push_back("list " + std::to_string(int(b)) + (l ? "" : " none"));
    lists[int(b)] = l;
  }
  int ShowModal() override {
    log->push_back("show");
    if (!add.empty()) lists[1]->Add(add);
    return result;
  }
};

// Installs factories for one test and removes them afterwards.
class Dialogs : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateFolderDialog = [this](TDvEWSCustomSession* s) {
      EXPECT_EQ(s, &session);
      return std::make_shared<FakeFolderDialog>(&log, result);
    };
    CreateAddressBookDialog = [this](TDvComponent* owner, TDvEWSCustomSession* s) {
      EXPECT_EQ(s, &session);
      log.push_back(owner ? "owner" : "no owner");
      return std::make_shared<FakeBook>(&log, result, add);
    };
  }
  void TearDown() override {
    CreateFolderDialog = nullptr;
    CreateAddressBookDialog = nullptr;
  }
  session_test::SimSession sim{session_test::SimConfig()};
  TDvEWSCustomSession& session = sim.Session();
  std::vector<std::string> log;
  int result = mrOk;
  std::string add;
};

TEST_F(Dialogs, FolderDialogPassesSettingsInOrderAndCopiesBackOnlyWhenAccepted) {
  TDvEWSFolderDialog dlg;
  dlg.SetSession(&session);
  dlg.SetTitle("Pick");
  dlg.GetFolderTypes().SetShowCalendarFolders(false);
  dlg.SetAllowSelectMsgStore(true);
  dlg.SetMsgStore("alice@example.com");

  // Anything but 1 is a cancel and keeps the previous choice.
  for (int cancel : {0, mrCancel, -1, 6}) {
    result = cancel;
    EXPECT_FALSE(dlg.Execute()) << cancel;
    EXPECT_EQ(dlg.GetMsgStore(), "alice@example.com");
    EXPECT_EQ(dlg.GetFolderId().Id, "");
    EXPECT_EQ(dlg.GetFolderName(), "");
  }
  log.clear();
  result = mrOk;
  EXPECT_TRUE(dlg.Execute());
  EXPECT_EQ(log, (std::vector<std::string>{"title Pick", "types calendar=0", "allow 1",
                                           "store alice@example.com", "show"}));
  EXPECT_EQ(dlg.GetMsgStore(), "bob@example.com");
  EXPECT_EQ(dlg.GetFolderId().Id, "fid");
  EXPECT_EQ(dlg.GetFolderId().ChangeKey, "ck");
  EXPECT_EQ(dlg.GetFolderName(), "Chosen");
}

TEST_F(Dialogs, MisuseAndMissingFactoryRaiseWithoutChangingAnything) {
  TDvEWSFolderDialog folder;
  TDvEWSAddressBookDialog book;
  EXPECT_THROW(folder.Execute(), EEWSException);
  EXPECT_EQ(ThrownMessage([&] { folder.Execute(); }),
            "No EWS Session has been assigned to the FolderDialog!");
  EXPECT_EQ(ThrownMessage([&] { book.Execute(); }),
            "No EWS Session has been assigned to the AddressBookDialog!");

  folder.SetSession(&session);
  book.SetSession(&session);
  CreateFolderDialog = nullptr;
  CreateAddressBookDialog = nullptr;
  EXPECT_THROW(folder.Execute(), EDvEWSNoDialog);
  EXPECT_THROW(book.Execute(), EDvEWSNoDialog);
  EXPECT_EQ(book.GetRecipientList(Button::btnTo), nullptr);
  // A factory that gives no dialog is no better.
  CreateFolderDialog = [](TDvEWSCustomSession*) { return DvEWSFolderDialogPtr(); };
  EXPECT_THROW(folder.Execute(), EDvEWSNoDialog);
  EXPECT_TRUE(log.empty());
}

TEST_F(Dialogs, AddressBookPassesDefaultsInOrderAndReusesItsLists) {
  TDvEWSAddressBookDialog book(nullptr);
  book.SetSession(&session);
  book.SetDefaultButton(Button::btnCC);
  add = "carol@example.com";
  result = mrCancel;
  // The lists come back whatever the result: a cancelled dialog's edits are the dialog's to undo.
  EXPECT_FALSE(book.Execute());
  EXPECT_EQ(log,
            (std::vector<std::string>{"owner", "title Address Book: Global Address List", "scope 1",
                                      "buttons 7", "name 0 To ->", "name 1 CC ->", "name 2 BCC ->",
                                      "list 0", "list 1", "list 2", "default 1", "show"}));
  const DvEWSRecipientsPtr lists[] = {book.GetRecipientList(Button::btnTo),
                                      book.GetRecipientList(Button::btnCC),
                                      book.GetRecipientList(Button::btnBCC)};
  for (const auto& l : lists)
    ASSERT_NE(l, nullptr);
  EXPECT_NE(lists[0], lists[1]);
  EXPECT_EQ(lists[1]->GetAsString(), "carol@example.com");

  result = mrOk;
  add.clear();
  EXPECT_TRUE(book.Execute());
  EXPECT_EQ(book.GetRecipientList(Button::btnTo), lists[0]);
  EXPECT_EQ(book.GetRecipientList(Button::btnCC), lists[1]);
  EXPECT_EQ(book.GetRecipientList(Button::btnBCC), lists[2]);
  // A list the application sets is the one the dialog edits.
  auto mine = session.CreateRecipients();
  book.SetRecipientList(Button::btnBCC, mine);
  book.Execute();
  EXPECT_EQ(book.GetRecipientList(Button::btnBCC), mine);
}

TEST_F(Dialogs, DestroyingTheSessionClearsTheReference) {
  auto* other = new TDvEWSCustomSession();
  TDvEWSFolderDialog folder;
  TDvEWSAddressBookDialog book;
  folder.SetSession(other);
  book.SetSession(other);
  // Switching sessions moves the notification: destroying the first one leaves the second.
  TDvEWSFolderDialog switched;
  switched.SetSession(other);
  switched.SetSession(&session);
  delete other;
  EXPECT_EQ(folder.GetSession(), nullptr);
  EXPECT_EQ(book.GetSession(), nullptr);
  EXPECT_EQ(switched.GetSession(), &session);
  // And a component destroyed first leaves the session nothing to call.
  { TDvEWSAddressBookDialog gone(&session); }
  auto* owned = new TDvEWSFolderDialog(&session);
  owned->SetSession(&session);
  delete owned;
}

TEST_F(Dialogs, ResolveAfterTheDialogCompletesTheLists) {
  TDvEWSAddressBookDialog book;
  book.SetSession(&session);
  add = "bob";
  EXPECT_TRUE(book.Execute(true));
  auto cc = book.GetRecipientList(Button::btnCC)->GetRecipient(0);
  EXPECT_EQ(cc->GetEmailAddress(), "bob@example.com");
  EXPECT_EQ(sim.Sent("ResolveNames"), 1);  // the two empty lists ask nothing
  EXPECT_EQ(sim.Problems(), "");
}

}  // namespace
