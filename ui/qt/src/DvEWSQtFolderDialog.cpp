// The folder picker: a message store's folder tree, read one level at a time as the user
// expands it, filtered by the display types, with a store chooser when allowed.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include <map>
#include <string>
#include <vector>

#include "DvEWSQtWorker.h"
#include "dvews/qt/DvEWSQtDialogs.h"
#include "uDvEWS.h"
#include "uDvEWSFolder.h"
#include "uDvEWSMsgStore.h"
#include "uDvEWSTable.h"

namespace dv::qt {

TFolderKind FolderKind(const std::string& folderClass, bool searchFolder) {
  if (searchFolder) return TFolderKind::fkSearch;
  auto is = [&](const char* prefix) {
    const std::string p(prefix);
    return folderClass.compare(0, p.size(), p) == 0 &&
           (folderClass.size() == p.size() || folderClass[p.size()] == '.');
  };
  if (is("IPF.Appointment")) return TFolderKind::fkCalendar;
  if (is("IPF.Contact")) return TFolderKind::fkContacts;
  if (is("IPF.Task")) return TFolderKind::fkTasks;
  if (is("IPF.StickyNote")) return TFolderKind::fkNotes;
  if (is("IPF.Journal")) return TFolderKind::fkJournal;
  return TFolderKind::fkMail;  // IPF.Note, no class, and anything else holding messages
}

bool FolderShown(const TDvEWSFolderDialogDisplayTypes& types, TFolderKind kind,
                 TSpecialFolder special) {
  switch (special) {
    case TSpecialFolder::sfInbox:
      if (!types.GetShowInbox()) return false;
      break;
    case TSpecialFolder::sfOutbox:
      if (!types.GetShowOutbox()) return false;
      break;
    case TSpecialFolder::sfDeletedItems:
      if (!types.GetShowDeletedItems()) return false;
      break;
    case TSpecialFolder::sfSentItems:
      if (!types.GetShowSentItems()) return false;
      break;
    case TSpecialFolder::sfNone:
      break;
  }
  switch (kind) {
    case TFolderKind::fkMail:
      return types.GetShowMessageFolders();
    case TFolderKind::fkCalendar:
      return types.GetShowCalendarFolders();
    case TFolderKind::fkContacts:
      return types.GetShowContactFolders();
    case TFolderKind::fkTasks:
      return types.GetShowTaskFolders();
    case TFolderKind::fkNotes:
      return types.GetShowNotes();
    case TFolderKind::fkJournal:
      return types.GetShowJournal();
    case TFolderKind::fkSearch:
      return types.GetShowSearchFolders();
  }
  return true;
}

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// A small drawn icon per folder kind (no icon theme is needed, so it looks the same everywhere).
QIcon KindIcon(TFolderKind kind) {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  auto folder = [&](QColor c) {
    QPainterPath path;
    path.moveTo(1.5, 4);
    path.lineTo(6, 4);
    path.lineTo(7.5, 5.5);
    path.lineTo(14.5, 5.5);
    path.lineTo(14.5, 13.5);
    path.lineTo(1.5, 13.5);
    path.closeSubpath();
    p.setPen(c.darker(150));
    p.setBrush(c);
    p.drawPath(path);
  };
  switch (kind) {
    case TFolderKind::fkMail:
      folder(QColor(240, 200, 80));
      p.setPen(QColor(120, 90, 20));
      p.drawLine(QPointF(4, 8), QPointF(8, 10.5));
      p.drawLine(QPointF(8, 10.5), QPointF(12, 8));
      break;
    case TFolderKind::fkCalendar:
      p.setPen(QColor(30, 80, 160));
      p.setBrush(Qt::white);
      p.drawRect(QRectF(1.5, 2.5, 13, 12));
      p.fillRect(QRectF(2, 3, 12, 3), QColor(50, 110, 200));
      for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c)
          p.fillRect(QRectF(3.5 + c * 3.5, 8 + r * 3, 2, 2), QColor(50, 110, 200));
      break;
    case TFolderKind::fkContacts:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(60, 150, 80));
      p.drawEllipse(QRectF(5, 1.5, 6, 6));
      p.drawRoundedRect(QRectF(2.5, 8.5, 11, 6.5), 3, 3);
      break;
    case TFolderKind::fkTasks:
      p.setPen(QColor(90, 90, 90));
      p.setBrush(Qt::white);
      p.drawRect(QRectF(2.5, 2.5, 11, 11));
      p.setPen(QPen(QColor(30, 140, 60), 2));
      p.drawLine(QPointF(4.5, 8), QPointF(7, 11));
      p.drawLine(QPointF(7, 11), QPointF(12, 4.5));
      break;
    case TFolderKind::fkNotes:
      p.setPen(QColor(170, 150, 40));
      p.setBrush(QColor(255, 240, 120));
      p.drawRect(QRectF(2.5, 2.5, 11, 11));
      p.drawLine(QPointF(4.5, 6), QPointF(11.5, 6));
      p.drawLine(QPointF(4.5, 9), QPointF(11.5, 9));
      break;
    case TFolderKind::fkJournal:
      p.setPen(QColor(100, 60, 30));
      p.setBrush(QColor(170, 110, 60));
      p.drawRect(QRectF(3.5, 1.5, 10, 13));
      p.fillRect(QRectF(4, 2, 2, 12), QColor(110, 70, 35));
      break;
    case TFolderKind::fkSearch:
      folder(QColor(200, 200, 210));
      p.setPen(QPen(QColor(60, 60, 70), 1.5));
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(QRectF(5, 6.5, 5, 5));
      p.drawLine(QPointF(9.5, 11), QPointF(12.5, 13));
      break;
  }
  return QIcon(pm);
}

// One sub-folder as FindFolder lists it.
struct FolderRow {
  std::string id, changeKey, name, folderClass;
  int unread = 0;
  int children = 0;
  bool search = false;
};

// The sub-folders of `folder` with the columns the tree shows.
std::vector<FolderRow> ListSubFolders(const DvEWSFolderPtr& folder) {
  auto table = folder->GetSubFolders();
  for (const TDvEWSFieldDef* def :
       {&FLD_FOLDER_DISPLAYNAME, &FLD_FOLDER_UNREADCOUNT, &FLD_FOLDER_CHILDFOLDERCOUNT,
        &FLD_FOLDER_FOLDERCLASS, &MFLD_ATTR_HIDDEN})
    table->GetFields().Add(*def);
  std::vector<FolderRow> rows;
  for (table->Open(); !table->Eof(); table->Next()) {
    // Exchange keeps system folders (settings, sync state) beside the user's, marked hidden.
    if (table->HasField(MFLD_ATTR_HIDDEN) && table->FieldByName(MFLD_ATTR_HIDDEN)->GetAsBoolean())
      continue;
    FolderRow r;
    TItemId id = table->GetItemId();
    r.id = id.Id;
    r.changeKey = id.ChangeKey;
    r.name = table->FieldByName(FLD_FOLDER_DISPLAYNAME)->GetAsString();
    if (table->HasField(FLD_FOLDER_FOLDERCLASS))
      r.folderClass = table->FieldByName(FLD_FOLDER_FOLDERCLASS)->GetAsString();
    if (table->HasField(FLD_FOLDER_UNREADCOUNT))
      r.unread = static_cast<int>(table->FieldByName(FLD_FOLDER_UNREADCOUNT)->GetAsInteger());
    if (table->HasField(FLD_FOLDER_CHILDFOLDERCOUNT))
      r.children =
          static_cast<int>(table->FieldByName(FLD_FOLDER_CHILDFOLDERCOUNT)->GetAsInteger());
    r.search = table->FolderFieldType() == TSetFolderFieldType::sffSearchFolder;
    rows.push_back(std::move(r));
  }
  return rows;
}

// What opening a store gives: the well-known folders the display types may hide, and the top
// level of the tree.
struct StoreContents {
  std::vector<std::pair<std::string, TSpecialFolder>> special;
  std::vector<FolderRow> top;
};

enum Roles { RoleId = Qt::UserRole, RoleChangeKey, RoleName, RoleState };
enum State { NotRead, Reading, Read };

class FolderPicker : public QDialog {
 public:
  FolderPicker(TDvEWSCustomSession* session, const std::string& title,
               const TDvEWSFolderDialogDisplayTypes& types, bool allowStore,
               const std::string& store)
      : session_(session),
        types_(types),
        allowStore_(allowStore),
        store_(store),
        worker_(this, [this](bool busy) {
          setProperty("dvewsBusy", busy);
          status_->setText(busy ? tr("Reading folders…") : QString());
        }) {
    setObjectName("dvewsFolderDialog");
    setWindowTitle(title.empty() ? tr("Select Folder") : Q(title));
    setProperty("dvewsBusy", false);
    auto* layout = new QVBoxLayout(this);

    auto* storeRow = new QHBoxLayout;
    auto* storeLabel = new QLabel(tr("&Mailbox:"), this);
    stores_ = new QComboBox(this);
    stores_->setObjectName("stores");
    storeLabel->setBuddy(stores_);
    storeRow->addWidget(storeLabel);
    storeRow->addWidget(stores_, 1);
    layout->addLayout(storeRow);
    storeLabel->setVisible(allowStore_);
    stores_->setVisible(allowStore_);

    tree_ = new QTreeWidget(this);
    tree_->setObjectName("folders");
    tree_->setColumnCount(2);
    tree_->setHeaderLabels({tr("Folder"), tr("Unread")});
    tree_->header()->setStretchLastSection(false);
    tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    tree_->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    tree_->setUniformRowHeights(true);
    tree_->setExpandsOnDoubleClick(false);  // a double click chooses; arrows and +/- expand
    layout->addWidget(tree_, 1);

    error_ = new QLabel(this);
    error_->setObjectName("error");
    error_->setWordWrap(true);
    error_->setStyleSheet("color: #b00020;");
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    error_->hide();
    layout->addWidget(error_);

    auto* bottom = new QHBoxLayout;
    status_ = new QLabel(this);
    status_->setObjectName("status");
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(false);
    bottom->addWidget(status_, 1);
    bottom->addWidget(buttons_);
    layout->addLayout(bottom);
    resize(380, 440);

    connect(buttons_, &QDialogButtonBox::accepted, this, &FolderPicker::AcceptCurrent);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(tree_, &QTreeWidget::itemExpanded, this, &FolderPicker::Expand);
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
      buttons_->button(QDialogButtonBox::Ok)->setEnabled(item && Selectable(item));
    });
    connect(tree_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
      if (item && Selectable(item)) AcceptCurrent();
    });
    connect(stores_, &QComboBox::activated, this, [this](int index) {
      // The first entry is the session's own store, opened as such.
      OpenStore(index == 0 ? std::string() : stores_->itemText(index).toStdString());
    });
    tree_->setFocus();
    if (allowStore_) ListStores(store_);
    OpenStore(store_);
  }

  ~FolderPicker() override { worker_.Drain(); }

  TItemId ChosenId() const { return chosenId_; }
  const std::string& ChosenName() const { return chosenName_; }
  const std::string& ChosenStore() const { return store_; }

 private:
  static bool Selectable(QTreeWidgetItem* item) {
    return !item->data(0, RoleId).toString().isEmpty();
  }

  void ShowError(const QString& text) {
    error_->setText(text);
    error_->setVisible(!text.isEmpty());
  }

  void AcceptCurrent() {
    QTreeWidgetItem* item = tree_->currentItem();
    if (!item || !Selectable(item)) return;
    chosenId_ = TItemId(item->data(0, RoleId).toString().toStdString(),
                        item->data(0, RoleChangeKey).toString().toStdString());
    chosenName_ = item->data(0, RoleName).toString().toStdString();
    accept();
  }

  // Fills the store chooser: the session's own store first, then its additional mailboxes, and
  // the store asked for when it is neither. A failure leaves the chooser with that store alone.
  void ListStores(const std::string& address) {
    worker_.Run<std::vector<std::string>>(
        [this] {
          std::vector<std::string> stores{session_->GetDefaultMsgStore()};
          for (const auto& m : session_->GetAdditionalMailboxes())
            stores.push_back(m);
          return stores;
        },
        [this, address](std::vector<std::string>& stores) {
          for (const auto& s : stores)
            stores_->addItem(Q(s));
          if (address.empty()) return;
          if (stores_->findText(Q(address), Qt::MatchFixedString) < 0) stores_->addItem(Q(address));
          stores_->setCurrentIndex(stores_->findText(Q(address), Qt::MatchFixedString));
        },
        [this](const QString& message) {
          ShowError(tr("The list of mailboxes could not be read: %1").arg(message));
        });
  }

  // Opens a store (empty: the session's own) and reads its top folders.
  void OpenStore(const std::string& address) {
    const int generation = ++generation_;
    tree_->clear();
    const auto types = types_;
    worker_.Run<StoreContents>(
        [this, address, types] {
          StoreContents c;
          storeObj_ =
              address.empty() ? session_->OpenDefaultMsgStore() : session_->OpenMsgStore(address);
          const std::pair<TDistinguishedFolderIdName, TSpecialFolder> known[] = {
              {TDistinguishedFolderIdName::dfininbox, TSpecialFolder::sfInbox},
              {TDistinguishedFolderIdName::dfinoutbox, TSpecialFolder::sfOutbox},
              {TDistinguishedFolderIdName::dfindeleteditems, TSpecialFolder::sfDeletedItems},
              {TDistinguishedFolderIdName::dfinsentitems, TSpecialFolder::sfSentItems}};
          // Only the ones the display types hide need a request.
          TDvEWSFolderDialogDisplayTypes all;
          for (const auto& [name, special] : known) {
            TItemId id;
            if (!FolderShown(types, TFolderKind::fkMail, special) &&
                FolderShown(all, TFolderKind::fkMail, special) && storeObj_->FindFolderId(name, id))
              c.special.emplace_back(id.Id, special);
          }
          c.top =
              ListSubFolders(storeObj_->GetFolder(TDistinguishedFolderIdName::dfinmsgfolderroot));
          return c;
        },
        [this, generation, address](StoreContents& c) {
          if (generation != generation_) return;
          ShowError({});
          store_ = address;
          special_.clear();
          for (const auto& [id, kind] : c.special)
            special_[id] = kind;
          AddRows(tree_->invisibleRootItem(), c.top);
        },
        [this, generation, address](const QString& message) {
          if (generation != generation_) return;
          ShowError(tr("The mailbox \"%1\" could not be opened: %2")
                        .arg(address.empty() ? tr("(your own)") : Q(address), message));
        });
  }

  void AddRows(QTreeWidgetItem* parent, const std::vector<FolderRow>& rows) {
    for (const auto& r : rows) {
      const TFolderKind kind = FolderKind(r.folderClass, r.search);
      auto special = special_.find(r.id);
      if (!FolderShown(types_, kind,
                       special == special_.end() ? TSpecialFolder::sfNone : special->second))
        continue;
      auto* item = new QTreeWidgetItem(parent);
      item->setText(0, Q(r.name));
      item->setIcon(0, KindIcon(kind));
      item->setData(0, RoleId, Q(r.id));
      item->setData(0, RoleChangeKey, Q(r.changeKey));
      item->setData(0, RoleName, Q(r.name));
      item->setData(0, RoleState, r.children > 0 ? NotRead : Read);
      if (r.unread > 0) {
        item->setText(1, QString::number(r.unread));
        QFont bold = item->font(0);
        bold.setBold(true);
        item->setFont(0, bold);
        item->setFont(1, bold);
      }
      item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
      if (r.children > 0) new QTreeWidgetItem(item, {tr("Reading…")});  // shows the arrow
    }
  }

  // Reads an item's sub-folders the first time it is expanded.
  void Expand(QTreeWidgetItem* item) {
    if (item->data(0, RoleState).toInt() != NotRead) return;
    item->setData(0, RoleState, Reading);
    const int generation = generation_;
    const TItemId id(item->data(0, RoleId).toString().toStdString(),
                     item->data(0, RoleChangeKey).toString().toStdString());
    const QString name = item->data(0, RoleName).toString();
    // The item may be gone when the answer comes (the store was switched): find it by id then.
    const QString key = item->data(0, RoleId).toString();
    worker_.Run<std::vector<FolderRow>>(
        [this, id] { return ListSubFolders(storeObj_->GetFolder(id)); },
        [this, generation, key](std::vector<FolderRow>& rows) {
          QTreeWidgetItem* it = generation == generation_ ? Find(key) : nullptr;
          if (!it) return;
          qDeleteAll(it->takeChildren());
          it->setData(0, RoleState, Read);
          AddRows(it, rows);
        },
        [this, generation, key, name](const QString& message) {
          QTreeWidgetItem* it = generation == generation_ ? Find(key) : nullptr;
          if (!it) return;
          it->setData(0, RoleState, NotRead);  // expanding again tries again
          it->setExpanded(false);
          ShowError(tr("The folders in \"%1\" could not be read: %2").arg(name, message));
        });
  }

  QTreeWidgetItem* Find(const QString& id) const {
    for (QTreeWidgetItemIterator it(tree_); *it; ++it)
      if ((*it)->data(0, RoleId).toString() == id) return *it;
    return nullptr;
  }

  TDvEWSCustomSession* session_;
  TDvEWSFolderDialogDisplayTypes types_;
  bool allowStore_;
  std::string store_;
  std::map<std::string, TSpecialFolder> special_;
  DvEWSMsgStorePtr storeObj_;  // used by the worker's jobs only
  int generation_ = 0;
  TItemId chosenId_;
  std::string chosenName_;
  QComboBox* stores_ = nullptr;
  QTreeWidget* tree_ = nullptr;
  QLabel* error_ = nullptr;
  QLabel* status_ = nullptr;
  QDialogButtonBox* buttons_ = nullptr;
  detail::Worker worker_;  // last: waits for its jobs before the members above go
};

// The folder dialog interface over a FolderPicker made when it is shown.
class FolderDialog : public IDvEWSFolderDialog {
 public:
  explicit FolderDialog(TDvEWSCustomSession* session) : session_(session) {}
  TItemId GetFolderId() override { return folderId_; }
  std::string GetFolderName() override { return folderName_; }
  std::string GetMsgStore() override { return store_; }
  std::string GetTitle() override { return title_; }
  TDvEWSFolderDialogDisplayTypes GetFolderTypes() override { return types_; }
  bool GetAllowSelectMsgStore() override { return allowStore_; }
  void SetMsgStore(const std::string& value) override { store_ = value; }
  void SetTitle(const std::string& value) override { title_ = value; }
  void SetFolderTypes(const TDvEWSFolderDialogDisplayTypes& value) override { types_ = value; }
  void SetAllowSelectMsgStore(bool value) override { allowStore_ = value; }
  int ShowModal() override {
    if (!qApp) throw Exception("The folder dialog needs a QApplication");
    FolderPicker picker(session_, title_, types_, allowStore_, store_);
    picker.setParent(QApplication::activeWindow(), picker.windowFlags());
    if (picker.exec() != QDialog::Accepted) return mrCancel;
    folderId_ = picker.ChosenId();
    folderName_ = picker.ChosenName();
    store_ = picker.ChosenStore();
    return mrOk;
  }

 private:
  TDvEWSCustomSession* session_;
  TItemId folderId_;
  std::string folderName_, store_, title_;
  TDvEWSFolderDialogDisplayTypes types_;
  bool allowStore_ = false;
};

}  // namespace

DvEWSFolderDialogPtr NewFolderDialog(TDvEWSCustomSession* session) {
  return std::make_shared<FolderDialog>(session);
}

}  // namespace dv::qt
