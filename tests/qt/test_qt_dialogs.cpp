// The Qt dialogs driven as a user would, through the library's components, against an
// in-process ewssim. Set DVEWS_SCREENSHOT_DIR to write a PNG of each dialog there.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>

#include "dvews/qt/DvEWSQtDialogs.h"
#include "ews_testsupport.h"
#include "uDvEWS.h"
#include "uDvEWSFolder.h"
#include "uDvEWSMessageExContacts.h"
#include "uDvEWSMsgStore.h"

using namespace dv;

namespace {

// Runs `drive` on the next modal dialog once it is shown and (with `idle`) has finished its
// server work.
void WhenShown(std::function<void(QDialog*)> drive, bool idle = true) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, drive, idle] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!dialog || (idle && dialog->property("dvewsBusy").toBool())) return;
    timer->stop();
    timer->deleteLater();
    if (QTest::qWaitForWindowActive(dialog))
      drive(dialog);
    else
      QTest::qFail("the dialog did not become active", __FILE__, __LINE__);
    // A failed check returns from `drive` early: close the dialog so that Execute returns.
    if (QTest::currentTestFailed() && dialog->isVisible()) dialog->reject();
  });
  timer->start();
}

bool Idle(QDialog* d) {
  return QTest::qWaitFor([d] { return !d->property("dvewsBusy").toBool(); }, 10000);
}

QTreeWidgetItem* FindItem(QTreeWidget* tree, const QString& text) {
  auto found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
  return found.isEmpty() ? nullptr : found.first();
}

// The children of a result row as "name|kind", with "*" for a group (shown in bold).
QStringList Rows(QTreeWidgetItem* parent) {
  QStringList rows;
  for (int i = 0; i < parent->childCount(); ++i) {
    QTreeWidgetItem* row = parent->child(i);
    rows << row->text(0) + "|" + row->text(2) + (row->font(0).bold() ? "*" : "");
  }
  return rows;
}

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& name) {
  for (int i = 0; i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == name) return parent->child(i);
  return nullptr;
}

void Click(QDialog* d, QDialogButtonBox::StandardButton which) {
  d->findChild<QDialogButtonBox*>()->button(which)->click();
}

void Screenshot(QDialog* d, const char* name) {
  const QByteArray dir = qgetenv("DVEWS_SCREENSHOT_DIR");
  if (!dir.isEmpty()) QVERIFY(d->grab().save(QString::fromUtf8(dir) + "/" + name));
}

}  // namespace

class QtDialogs : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void initTestCase() {
    ewssim::Config config = ews_test::DefaultSimConfig();
    config.seed.messages = 30;  // every third unread
    config.seed.contacts = 2;   // Ann Archer and Bob Baker
    // A group within a group, and (below) Alice's contact group holding the outer one.
    config.groups = {
        {"team@example.com", "Team", {"bob@example.com", "eng@example.com"}},
        {"eng@example.com", "Engineering", {"carol@partner.example", "alice@example.com"}}};
    sim_ = std::make_unique<ews_test::SimServer>(config);
    session_ = std::make_unique<TDvEWSCustomSession>();
    session_->SetLogonDialog(false);
    session_->SetPasswordDialog(false);
    session_->SetServiceUrl(sim_->Url());
    session_->SetCredentials(TDvCredentials("alice@example.com", "alice-pw"));
    session_->SetActive(true);
    auto inbox = session_->OpenDefaultMsgStore()->GetFolder(TDistinguishedFolderIdName::dfininbox);
    projects_ = inbox->CreateFolder(TSetFolderFieldType::sffFolder, "Projects");
    auto lunch = std::dynamic_pointer_cast<IDvEWSDistributionList>(
        session_->OpenDefaultMsgStore()
            ->GetFolder(TDistinguishedFolderIdName::dfincontacts)
            ->CreateItem(TItemType::tDistributionList));
    QVERIFY(lunch);
    lunch->SetDisplayName("Team lunch");
    lunch->GetMembers().Add("team@example.com");
    lunch->GetMembers().Add("zed@outside.example");
    lunch->SaveChanges(TDvEWSSaveOption::soAutoResolve);
    qt::RegisterDialogs();
  }

  void cleanupTestCase() {
    qt::UnregisterDialogs();
    QVERIFY(!CreateFolderDialog && !CreateAddressBookDialog);
    session_.reset();
    sim_.reset();
  }

  void expandSelectAccept() {
    TDvEWSFolderDialog picker;
    picker.SetSession(session_.get());
    picker.SetTitle("Move to");
    picker.SetAllowSelectMsgStore(true);
    bool driven = false;
    WhenShown([&](QDialog* d) {
      driven = true;
      QCOMPARE(d->windowTitle(), QString("Move to"));
      auto* tree = d->findChild<QTreeWidget*>("folders");
      QTreeWidgetItem* inbox = FindItem(tree, "Inbox");
      QVERIFY(inbox);
      QCOMPARE(inbox->text(1), QString("10"));  // unread count
      auto* stores = d->findChild<QComboBox*>("stores");
      QVERIFY(stores->isVisibleTo(d));
      QCOMPARE(stores->currentText(), QString("alice@example.com"));
      tree->setCurrentItem(inbox);
      QTest::keyClick(tree, Qt::Key_Right);  // expand with the keyboard
      QVERIFY(Idle(d));
      QTreeWidgetItem* projects = FindItem(tree, "Projects");
      QVERIFY(projects);
      QCOMPARE(projects->parent(), inbox);
      QTest::keyClick(tree, Qt::Key_Down);
      QCOMPARE(tree->currentItem(), projects);
      Screenshot(d, "folder-dialog.png");
      QTest::keyClick(tree, Qt::Key_Return);
    });
    QVERIFY(picker.Execute());
    QVERIFY(driven);
    QCOMPARE(picker.GetFolderId().Id, projects_.Id);
    QCOMPARE(picker.GetFolderName(), std::string("Projects"));
    QCOMPARE(picker.GetMsgStore(), std::string());  // the session's own store
  }

  void cancelChangesNothing() {
    TDvEWSFolderDialog picker;
    picker.SetSession(session_.get());
    picker.SetMsgStore("alice@example.com");
    // The display types hide the inbox and the calendars.
    picker.GetFolderTypes().SetShowInbox(false);
    picker.GetFolderTypes().SetShowCalendarFolders(false);
    WhenShown([&](QDialog* d) {
      auto* tree = d->findChild<QTreeWidget*>("folders");
      QVERIFY(!FindItem(tree, "Inbox"));
      QVERIFY(!FindItem(tree, "Calendar"));
      QTreeWidgetItem* sent = FindItem(tree, "Sent Items");
      QVERIFY(sent);
      tree->setCurrentItem(sent);
      Click(d, QDialogButtonBox::Cancel);
    });
    QVERIFY(!picker.Execute());
    QCOMPARE(picker.GetMsgStore(), std::string("alice@example.com"));
    QVERIFY(picker.GetFolderId().Id.empty());
    QVERIFY(picker.GetFolderName().empty());
  }

  void expansionErrorIsShown() {
    TDvEWSFolderDialog picker;
    picker.SetSession(session_.get());
    WhenShown([&](QDialog* d) {
      auto* tree = d->findChild<QTreeWidget*>("folders");
      auto* error = d->findChild<QLabel*>("error");
      QVERIFY(!error->isVisibleTo(d));
      QVERIFY(!d->findChild<QComboBox*>("stores")->isVisibleTo(d));
      sim_->Server().SetFaults(
          {ewssim::FaultRule{.operation = "FindFolder", .action = "status", .status = 500}});
      QTreeWidgetItem* inbox = FindItem(tree, "Inbox");
      inbox->setExpanded(true);
      QVERIFY(QTest::qWaitFor([&] { return error->isVisibleTo(d); }, 10000));
      QVERIFY2(error->text().contains("Inbox"), qPrintable(error->text()));
      QVERIFY(!inbox->isExpanded());
      // Expanding again tries again.
      sim_->Server().SetFaults({});
      inbox->setExpanded(true);
      QVERIFY(Idle(d));
      QVERIFY(FindItem(tree, "Projects"));
      Click(d, QDialogButtonBox::Cancel);
    });
    QVERIFY(!picker.Execute());
  }

  void anotherStoreIsChosenFromTheList() {
    // The service account may open Bob's mailbox, one of its additional mailboxes.
    TDvEWSCustomSession svc;
    svc.SetLogonDialog(false);
    svc.SetPasswordDialog(false);
    svc.SetServiceUrl(sim_->Url());
    svc.SetCredentials(TDvCredentials("svc@example.com", "svc-pw"));
    svc.SetActive(true);
    svc.SetAdditionalMailboxes({"bob@example.com"});
    const TItemId bobInbox =
        svc.OpenMsgStore("bob@example.com")->GetFolderId(TDistinguishedFolderIdName::dfininbox);

    TDvEWSFolderDialog picker;
    picker.SetSession(&svc);
    picker.SetAllowSelectMsgStore(true);
    WhenShown([&](QDialog* d) {
      auto* stores = d->findChild<QComboBox*>("stores");
      QCOMPARE(stores->count(), 2);
      stores->setCurrentIndex(1);
      Q_EMIT stores->activated(1);
      QVERIFY(Idle(d));
      auto* tree = d->findChild<QTreeWidget*>("folders");
      QTreeWidgetItem* inbox = FindItem(tree, "Inbox");
      QVERIFY(inbox);
      QCOMPARE(inbox->text(1), QString("10"));  // Bob's seeded mail
      tree->setCurrentItem(inbox);
      Click(d, QDialogButtonBox::Ok);
    });
    QVERIFY(picker.Execute());
    QCOMPARE(picker.GetMsgStore(), std::string("bob@example.com"));
    QCOMPARE(picker.GetFolderId().Id, bobInbox.Id);
  }

  void slowServerKeepsTheWindowResponsive() {
    // Every folder listing takes 1.5 s; the dialog shows and can be cancelled meanwhile.
    sim_->Server().SetFaults(
        {ewssim::FaultRule{.operation = "FindFolder", .action = "stall", .delayMs = 1500}});
    TDvEWSFolderDialog picker;
    picker.SetSession(session_.get());
    WhenShown(
        [&](QDialog* d) {
          QVERIFY(d->property("dvewsBusy").toBool());
          QCOMPARE(d->findChild<QLabel*>("status")->text(), QString("Reading folders…"));
          Click(d, QDialogButtonBox::Cancel);
        },
        false);
    QVERIFY(!picker.Execute());
    sim_->Server().SetFaults({});
    QVERIFY(picker.GetFolderId().Id.empty());
  }

  void searchScopes() {
    // "bob" is a directory user and one of Alice's contacts: the component's scope decides.
    const struct {
      TSearchScope scope;
      QStringList kinds;
    } cases[] = {{TSearchScope::scActiveDirectory, {"User"}},
                 {TSearchScope::scContacts, {"Contact"}}};
    for (const auto& c : cases) {
      TDvEWSAddressBookDialog book;
      book.SetSession(session_.get());
      book.SetSearchScope(c.scope);
      WhenShown([&](QDialog* d) {
        QTest::keyClicks(d->findChild<QLineEdit*>("search"), "bob");
        d->findChild<QPushButton*>("go")->click();
        QVERIFY(Idle(d));
        auto* results = d->findChild<QTreeWidget*>("results");
        QStringList kinds;
        for (int i = 0; i < results->topLevelItemCount(); ++i)
          kinds << results->topLevelItem(i)->text(2);
        QCOMPARE(kinds, c.kinds);
        Click(d, QDialogButtonBox::Cancel);
      });
      QVERIFY(!book.Execute());
    }
  }

  void groupsExpandToTheirMembers() {
    TDvEWSAddressBookDialog book;
    book.SetSession(session_.get());
    WhenShown([&](QDialog* d) {
      QTest::keyClicks(d->findChild<QLineEdit*>("search"), "team");
      d->findChild<QPushButton*>("go")->click();
      QVERIFY(Idle(d));
      auto* results = d->findChild<QTreeWidget*>("results");
      QTreeWidgetItem* root = results->invisibleRootItem();
      QCOMPARE(Rows(root), QStringList({"Team|Group*", "Team lunch|Contact group*"}));

      // A failed expansion shows in the dialog and collapses the group; expanding again retries.
      auto* error = d->findChild<QLabel*>("error");
      QTreeWidgetItem* team = Child(root, "Team");
      sim_->Server().SetFaults(
          {ewssim::FaultRule{.operation = "ExpandDL", .action = "status", .status = 500}});
      team->setExpanded(true);
      QVERIFY(QTest::qWaitFor([&] { return error->isVisibleTo(d); }, 10000));
      QVERIFY2(error->text().contains("\"Team\""), qPrintable(error->text()));
      QVERIFY(!team->isExpanded());
      sim_->Server().SetFaults({});

      // Each group lists its members one level down, nested groups expandable in turn.
      const struct {
        QStringList path;
        QStringList members;
      } cases[] = {
          {{"Team"}, {"Bob Baker|User", "Engineering|Group*"}},
          {{"Team lunch"},
           {"Team|Group*", "zed@outside.example|"}},  // by the contact group's item id
          {{"Team lunch", "Team", "Engineering"}, {"carol@partner.example|", "Alice Archer|User"}},
      };
      for (const auto& c : cases) {
        QTreeWidgetItem* group = root;
        for (const QString& name : c.path) {
          group = Child(group, name);
          QVERIFY2(group, qPrintable(c.path.join('/')));
          group->setExpanded(true);
          QVERIFY(Idle(d));
        }
        QCOMPARE(Rows(group), c.members);
      }
      Click(d, QDialogButtonBox::Cancel);
    });
    QVERIFY(!book.Execute());
  }

  void addressBookAddsBobToCc() {
    TDvEWSAddressBookDialog book;
    book.SetSession(session_.get());
    WhenShown([&](QDialog* d) {
      QCOMPARE(d->windowTitle(), QString("Address Book: Global Address List"));
      auto* cc = d->findChild<QPushButton*>("button1");
      QCOMPARE(cc->text(), QString("CC ->"));
      QVERIFY(d->findChild<QPushButton*>("button0")->isDefault());
      QTest::keyClicks(d->findChild<QLineEdit*>("search"), "bob");
      QTest::keyClick(d->findChild<QLineEdit*>("search"), Qt::Key_Return);
      QVERIFY(Idle(d));
      auto* results = d->findChild<QTreeWidget*>("results");
      // The default scope: the directory, then the contacts.
      QCOMPARE(results->topLevelItemCount(), 2);
      QCOMPARE(results->topLevelItem(1)->text(2), QString("Contact"));
      QCOMPARE(results->topLevelItem(0)->text(1), QString("bob@example.com"));
      QCOMPARE(results->topLevelItem(0)->text(2), QString("User"));
      results->setCurrentItem(results->topLevelItem(0));
      cc->click();
      QVERIFY(d->findChild<QLineEdit*>("list0")->text().isEmpty());
      Screenshot(d, "address-book.png");
      Click(d, QDialogButtonBox::Ok);
    });
    QVERIFY(book.Execute());
    auto ccList = book.GetRecipientList(TDvEWSAddressBookDialogButton::btnCC);
    QCOMPARE(ccList->Count(), 1);
    QCOMPARE(ccList->GetRecipient(0)->GetEmailAddress(), std::string("bob@example.com"));
    QCOMPARE(book.GetRecipientList(TDvEWSAddressBookDialogButton::btnTo)->Count(), 0);

    // Cancelled, an edit is not written; a text that is no recipient keeps the dialog open.
    WhenShown([&](QDialog* d) {
      auto* to = d->findChild<QLineEdit*>("list0");
      to->setText("x@");
      Click(d, QDialogButtonBox::Ok);
      QVERIFY(d->isVisible());
      QVERIFY(d->findChild<QLabel*>("error")->isVisibleTo(d));
      Click(d, QDialogButtonBox::Cancel);
    });
    QVERIFY(!book.Execute());
    QCOMPARE(book.GetRecipientList(TDvEWSAddressBookDialogButton::btnTo)->Count(), 0);
    QCOMPARE(ccList->Count(), 1);
  }

 private:
  std::unique_ptr<ews_test::SimServer> sim_;
  std::unique_ptr<TDvEWSCustomSession> session_;
  TItemId projects_;
};

QTEST_MAIN(QtDialogs)
#include "test_qt_dialogs.moc"
