// The address book: names searched with ResolveNames in the chosen scope, a result list, and the
// To/CC/BCC buttons that add the selected entries to three editable recipient lists.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPersistentModelIndex>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <array>
#include <string>
#include <vector>

#include "DvEWSQtWorker.h"
#include "dvews/qt/DvEWSQtDialogs.h"
#include "uDvEWS.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSServices.h"
#include "uDvEWSTypes.h"

namespace dv::qt {

namespace {

using TButton = TDvEWSAddressBookDialogButton;
constexpr TButton kButtons[] = {TButton::btnTo, TButton::btnCC, TButton::btnBCC};

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// One entry of a search or of a group's members.
struct Entry {
  std::string name, email;
  TMailboxType type = TMailboxType::mtUnknown;
  TItemId listId;  // a contact group's item
};

bool IsGroup(TMailboxType t) {
  return t == TMailboxType::mtPublicDL || t == TMailboxType::mtPrivateDL ||
         t == TMailboxType::mtGroupMailbox;
}

QString KindText(TMailboxType t) {
  switch (t) {
    case TMailboxType::mtMailbox:
    case TMailboxType::mtUser:
      return QObject::tr("User");
    case TMailboxType::mtContact:
    case TMailboxType::mtImplicitContact:
      return QObject::tr("Contact");
    case TMailboxType::mtPublicDL:
    case TMailboxType::mtGroupMailbox:
      return QObject::tr("Group");
    case TMailboxType::mtPrivateDL:
      return QObject::tr("Contact group");
    case TMailboxType::mtPublicFolder:
      return QObject::tr("Public folder");
    default:
      return {};
  }
}

// A private list's item id, from a ResolveNames mailbox or from a recipient of an expansion.
TItemId ListIdOf(TEwsEmailAddressType& m) {
  TItemId id;
  if (TEwsItemId* e = m.GetItemId()) id.Assign(*e);
  return id;
}
TItemId ListIdOf(IDvEWSRecipient& r) {
  return r.GetItemId();
}

// An entry from a mailbox of a ResolveNames answer or a recipient of an expansion.
template <class Mailbox>
Entry ReadEntry(Mailbox& m) {
  Entry e;
  e.name = m.GetName();
  e.email = m.GetEmailAddress();
  try {
    e.type = m.GetMailboxType();
  } catch (const std::exception&) {
    e.type = TMailboxType::mtUnknown;  // absent or a newer server's kind
  }
  if (e.type == TMailboxType::mtPrivateDL) e.listId = ListIdOf(m);
  return e;
}

// A person, or two for a group.
QIcon EntryIcon(bool group, bool contact) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  auto person = [&](qreal x, QColor c) {
    p.setBrush(c);
    p.drawEllipse(QRectF(x + 2, 2, 5, 5));
    p.drawRoundedRect(QRectF(x, 8, 9, 7), 3, 3);
  };
  if (group) {
    person(6, QColor(120, 120, 180));
    person(1, QColor(70, 70, 150));
  } else {
    person(3.5, contact ? QColor(60, 150, 80) : QColor(50, 110, 200));
  }
  return QIcon(pm);
}

// The search scopes in TSearchScope's order.
const char* const kScopeNames[] = {QT_TRANSLATE_NOOP("AddressBook", "Directory"),
                                   QT_TRANSLATE_NOOP("AddressBook", "Directory, then contacts"),
                                   QT_TRANSLATE_NOOP("AddressBook", "Contacts"),
                                   QT_TRANSLATE_NOOP("AddressBook", "Contacts, then directory")};

enum Roles { RoleEmail = Qt::UserRole, RoleItemId, RoleChangeKey, RoleType, RoleExpanded };

class AddressBook : public QDialog {
 public:
  struct Settings {
    std::string title;
    TSearchScope scope = TSearchScope::scActiveDirectoryContacts;
    TDvEWSAddressBookDialogButtons buttons;
    std::array<std::string, 3> names;
    TButton defaultButton = TButton::btnTo;
    std::array<DvEWSRecipientsPtr, 3> lists;
  };

  AddressBook(TDvEWSCustomSession* session, const Settings& s)
      : session_(session), lists_(s.lists), worker_(this, [this](bool busy) {
          setProperty("dvewsBusy", busy);
          if (busy) status_->setText(tr("Searching…"));
        }) {
    setObjectName("dvewsAddressBook");
    setWindowTitle(Q(s.title));
    setProperty("dvewsBusy", false);
    auto* layout = new QVBoxLayout(this);

    auto* searchRow = new QHBoxLayout;
    auto* searchLabel = new QLabel(tr("&Search:"), this);
    search_ = new QLineEdit(this);
    search_->setObjectName("search");
    search_->setPlaceholderText(tr("Name or address"));
    searchLabel->setBuddy(search_);
    scope_ = new QComboBox(this);
    scope_->setObjectName("scope");
    for (const char* name : kScopeNames)
      scope_->addItem(QCoreApplication::translate("AddressBook", name));
    scope_->setCurrentIndex(static_cast<int>(s.scope));
    auto* go = new QPushButton(tr("&Go"), this);
    go->setObjectName("go");
    go->setAutoDefault(false);
    searchRow->addWidget(searchLabel);
    searchRow->addWidget(search_, 1);
    searchRow->addWidget(scope_);
    searchRow->addWidget(go);
    layout->addLayout(searchRow);

    results_ = new QTreeWidget(this);
    results_->setObjectName("results");
    results_->setColumnCount(3);
    results_->setHeaderLabels({tr("Name"), tr("E-mail address"), tr("Kind")});
    results_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    results_->setExpandsOnDoubleClick(false);  // a double click adds; arrows expand a group
    results_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    results_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    results_->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    layout->addWidget(results_, 1);

    auto* grid = new QGridLayout;
    for (TButton b : kButtons) {
      const int i = static_cast<int>(b);
      auto* button = new QPushButton(Q(s.names[i]), this);
      button->setObjectName(QStringLiteral("button%1").arg(i));
      auto* edit = new QLineEdit(this);
      edit->setObjectName(QStringLiteral("list%1").arg(i));
      if (lists_[i]) edit->setText(Q(lists_[i]->GetAsString()));
      original_[i] = edit->text();
      const bool shown = s.buttons.Contains(b);
      button->setVisible(shown);
      edit->setVisible(shown);
      if (b == s.defaultButton && shown) button->setDefault(true);
      grid->addWidget(button, i, 0);
      grid->addWidget(edit, i, 1);
      edits_[i] = edit;
      connect(button, &QPushButton::clicked, this, [this, i] { AddSelected(i); });
    }
    layout->addLayout(grid);

    error_ = new QLabel(this);
    error_->setObjectName("error");
    error_->setWordWrap(true);
    error_->setStyleSheet("color: #b00020;");
    error_->hide();
    layout->addWidget(error_);

    auto* bottom = new QHBoxLayout;
    status_ = new QLabel(this);
    status_->setObjectName("status");
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    for (auto* b : box->buttons())
      static_cast<QPushButton*>(b)->setAutoDefault(false);
    bottom->addWidget(status_, 1);
    bottom->addWidget(box);
    layout->addLayout(bottom);
    resize(560, 460);

    connect(go, &QPushButton::clicked, this, &AddressBook::Search);
    connect(results_, &QTreeWidget::itemExpanded, this, &AddressBook::Expand);
    connect(box, &QDialogButtonBox::accepted, this, &AddressBook::Apply);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(results_, &QTreeWidget::itemDoubleClicked, this,
            [this, b = s.defaultButton] { AddSelected(static_cast<int>(b)); });
    search_->installEventFilter(this);
    search_->setFocus();
  }

  ~AddressBook() override { worker_.Drain(); }

 protected:
  // Enter in the search field searches (rather than pressing the default button).
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == search_ && e->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(e)->key();
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        Search();
        return true;
      }
    }
    return QDialog::eventFilter(watched, e);
  }

 private:
  void ShowError(const QString& text) {
    error_->setText(text);
    error_->setVisible(!text.isEmpty());
  }

  void Search() {
    const std::string text = search_->text().trimmed().toStdString();
    if (text.empty()) return;
    ShowError({});
    const auto scope = static_cast<TSearchScope>(scope_->currentIndex());
    const int generation = ++generation_;
    worker_.Run<std::vector<Entry>>(
        [this, text, scope] {
          std::vector<Entry> found;
          auto set = session_->ResolveName(text, DvEWSResolveScope(scope));
          for (int i = 0; i < set->Count(); ++i) {
            DvEWSResolutionPtr resolution = set->GetItem(i);  // owns the mailbox object
            if (auto m = resolution->Recipient()) found.push_back(ReadEntry(*m));
          }
          return found;
        },
        [this, generation, text](std::vector<Entry>& found) {
          if (generation != generation_) return;
          results_->clear();
          AddEntries(results_->invisibleRootItem(), found);
          if (!found.empty()) {
            results_->setCurrentItem(results_->topLevelItem(0));
            results_->setFocus();
          }
          status_->setText(found.empty()       ? tr("Nothing matches \"%1\".").arg(Q(text))
                           : found.size() == 1 ? tr("1 match")
                                               : tr("%1 matches").arg(found.size()));
        },
        [this, generation](const QString& message) {
          if (generation != generation_) return;
          status_->clear();
          ShowError(tr("The search failed: %1").arg(message));
        });
  }

  // Result rows; a group is bold and gets a placeholder child, so it can be expanded.
  void AddEntries(QTreeWidgetItem* parent, const std::vector<Entry>& entries) {
    for (const auto& e : entries) {
      auto* item = new QTreeWidgetItem(parent, {Q(e.name), Q(e.email), KindText(e.type)});
      const bool group = IsGroup(e.type);
      item->setIcon(0, EntryIcon(group, e.type == TMailboxType::mtContact));
      item->setData(0, RoleEmail, Q(e.email));
      if (!group) continue;
      QFont bold = item->font(0);
      bold.setBold(true);
      item->setFont(0, bold);
      item->setData(0, RoleItemId, Q(e.listId.Id));
      item->setData(0, RoleChangeKey, Q(e.listId.ChangeKey));
      item->setData(0, RoleType, static_cast<int>(e.type));
      item->setData(0, RoleExpanded, false);
      new QTreeWidgetItem(item, {tr("Reading…")});
    }
  }

  // Reads a group's members the first time it is expanded; a failure collapses it again.
  void Expand(QTreeWidgetItem* item) {
    if (!item->data(0, RoleExpanded).isValid() || item->data(0, RoleExpanded).toBool()) return;
    item->setData(0, RoleExpanded, true);
    Entry group;
    group.name = item->text(0).toStdString();
    group.email = item->data(0, RoleEmail).toString().toStdString();
    group.listId = TItemId(item->data(0, RoleItemId).toString().toStdString(),
                           item->data(0, RoleChangeKey).toString().toStdString());
    const int generation = generation_;
    // The row is found again by its place: a new search (a new generation) drops the answer.
    QPersistentModelIndex index = results_->indexFromItem(item);
    worker_.Run<std::vector<Entry>>(
        [this, group] {
          // One level: members that are groups are listed as groups, to expand in turn.
          if (!store_) store_ = session_->OpenDefaultMsgStore();
          DvEWSRecipientsPtr list = group.listId.IsEmpty() ? store_->ExpandDL(group.email)
                                                           : store_->ExpandDL(group.listId);
          std::vector<Entry> members;
          for (int i = 0; i < list->Count(); ++i)
            members.push_back(ReadEntry(*list->GetRecipient(i)));
          return members;
        },
        [this, generation, index](std::vector<Entry>& members) {
          QTreeWidgetItem* it =
              generation == generation_ ? results_->itemFromIndex(index) : nullptr;
          if (!it) return;
          qDeleteAll(it->takeChildren());
          AddEntries(it, members);
          status_->setText(tr("%1 members").arg(members.size()));
        },
        [this, generation, index, group](const QString& message) {
          QTreeWidgetItem* it =
              generation == generation_ ? results_->itemFromIndex(index) : nullptr;
          if (!it) return;
          it->setData(0, RoleExpanded, false);  // expanding again tries again
          it->setExpanded(false);
          status_->clear();
          ShowError(tr("The members of \"%1\" could not be read: %2").arg(Q(group.name), message));
        });
  }

  void AddSelected(int list) {
    if (edits_[list]->isHidden()) return;  // a default button that is not shown
    QStringList add;
    for (QTreeWidgetItem* item : results_->selectedItems()) {
      if (!item->data(0, RoleEmail).isValid()) continue;  // a placeholder
      const QString name = item->text(0), email = item->data(0, RoleEmail).toString();
      add << (email.isEmpty() ? name : name.isEmpty() ? email : name + " <" + email + ">");
    }
    if (add.isEmpty()) return;
    QString text = edits_[list]->text().trimmed();
    if (!text.isEmpty() && !text.endsWith(';')) text += ';';
    if (!text.isEmpty()) text += ' ';
    edits_[list]->setText(text + add.join("; "));
  }

  // Writes the edited texts into their lists; a text that is not a recipient list keeps the
  // dialog open with the reason, and the lists as they were.
  void Apply() {
    std::vector<int> written;
    for (int i = 0; i < 3; ++i) {
      if (!lists_[i] || edits_[i]->text() == original_[i]) continue;
      try {
        lists_[i]->SetAsString(edits_[i]->text().toStdString());
        written.push_back(i);
      } catch (const std::exception& e) {
        for (int w : written)
          lists_[w]->SetAsString(original_[w].toStdString());
        ShowError(QString::fromUtf8(e.what()));
        edits_[i]->setFocus();
        return;
      }
    }
    accept();
  }

  TDvEWSCustomSession* session_;
  std::array<DvEWSRecipientsPtr, 3> lists_;
  std::array<QString, 3> original_;
  std::array<QLineEdit*, 3> edits_{};
  int generation_ = 0;
  QLineEdit* search_ = nullptr;
  QComboBox* scope_ = nullptr;
  QTreeWidget* results_ = nullptr;
  QLabel* error_ = nullptr;
  QLabel* status_ = nullptr;
  DvEWSMsgStorePtr store_;  // expands groups; used by the worker's jobs only
  detail::Worker worker_;   // last: waits for its jobs before the members above go
};

// The address book interface over an AddressBook window made when it is shown.
class AddressBookDialog : public IDvEWSAddressBookDialog {
 public:
  explicit AddressBookDialog(TDvEWSCustomSession* session) : session_(session) {
    s_.buttons = {TButton::btnTo, TButton::btnCC, TButton::btnBCC};
  }
  std::string GetTitle() override { return s_.title; }
  TSearchScope GetSearchScope() override { return s_.scope; }
  TDvEWSAddressBookDialogButtons GetButtons() override { return s_.buttons; }
  std::string GetButtonName(TButton b) override { return s_.names[Index(b)]; }
  TButton GetDefaultButton() override { return s_.defaultButton; }
  DvEWSRecipientsPtr GetRecipients(TButton b) override { return s_.lists[Index(b)]; }
  void SetTitle(const std::string& v) override { s_.title = v; }
  void SetSearchScope(TSearchScope v) override { s_.scope = v; }
  void SetButtons(TDvEWSAddressBookDialogButtons v) override { s_.buttons = v; }
  void SetButtonName(TButton b, const std::string& n) override { s_.names[Index(b)] = n; }
  void SetDefaultButton(TButton v) override { s_.defaultButton = v; }
  void SetRecipients(TButton b, const DvEWSRecipientsPtr& l) override { s_.lists[Index(b)] = l; }
  int ShowModal() override {
    if (!qApp) throw Exception("The address book needs a QApplication");
    AddressBook book(session_, s_);
    book.setParent(QApplication::activeWindow(), book.windowFlags());
    return book.exec() == QDialog::Accepted ? mrOk : mrCancel;
  }

 private:
  static std::size_t Index(TButton b) {
    auto i = static_cast<std::size_t>(b);
    if (i >= 3) throw EListError("Invalid address book button");
    return i;
  }
  TDvEWSCustomSession* session_;
  AddressBook::Settings s_;
};

}  // namespace

DvEWSAddressBookDialogPtr NewAddressBookDialog(TDvComponent* owner, TDvEWSCustomSession* session) {
  (void)owner;  // the window is parented to the application's active window instead
  return std::make_shared<AddressBookDialog>(session);
}

void RegisterDialogs() {
  CreateFolderDialog = &NewFolderDialog;
  CreateAddressBookDialog = &NewAddressBookDialog;
}

void UnregisterDialogs() {
  using Folder = DvEWSFolderDialogPtr (*)(TDvEWSCustomSession*);
  using Book = DvEWSAddressBookDialogPtr (*)(TDvComponent*, TDvEWSCustomSession*);
  if (auto* f = CreateFolderDialog.target<Folder>(); f && *f == &NewFolderDialog)
    CreateFolderDialog = nullptr;
  if (auto* b = CreateAddressBookDialog.target<Book>(); b && *b == &NewAddressBookDialog)
    CreateAddressBookDialog = nullptr;
}

}  // namespace dv::qt
