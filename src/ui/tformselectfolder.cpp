#include "tformselectfolder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <cerrno>
#include <cstring>

#include "messages.h"
#include "platform/uniquefd.h"
#include "ui_tformselectfolder.h"

namespace zf::ui {
namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;

// Far beyond any folder an operator fills by hand; only a file system that
// claims every name exists could get here.
constexpr int kMaxNumber = 100000;

QString Join(const QString& folder, const QString& name) {
  return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

UniqueFd OpenFolder(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace

Result<std::string> CreateNumberedFolder(const std::string& parent) {
  const std::string base = parent.empty() || parent.back() == '/' ? parent : parent + "/";
  // Every attempt in the one folder first opened, even if its path changes.
  const UniqueFd folder = OpenFolder(parent);
  if (!folder.valid()) {
    const int err = errno;
    return Status::Error("Unable to open the folder \"" + parent + "\": " + std::strerror(err),
                         err);
  }
  for (int number = 0; number <= kMaxNumber; ++number) {
    const std::string name =
        number == 0 ? std::string("New Folder") : "New Folder(" + std::to_string(number) + ")";
    if (::mkdirat(folder.get(), name.c_str(), 0777) == 0) return name;
    const int err = errno;
    if (err != EEXIST) {
      return Status::Error(
          "Unable to create the folder \"" + base + name + "\": " + std::strerror(err), err);
    }
  }
  return Status::Error("Unable to create a new folder in \"" + parent + "\": every name is taken",
                       EEXIST);
}

Status RenameFolder(const std::string& parent, const std::string& from, const std::string& to) {
  const auto fail = [&](int err) {
    return Status::Error(
        "Unable to rename the folder \"" + from + "\" to \"" + to + "\": " + std::strerror(err),
        err);
  };
  if (to.empty() || to == "." || to == ".." || to.find('/') != std::string::npos) {
    return fail(EINVAL);
  }
  const UniqueFd folder = OpenFolder(parent);
  if (!folder.valid()) return fail(errno);
  struct stat st {};
  if (::fstatat(folder.get(), from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return fail(errno);
  if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  if (::renameat2(folder.get(), from.c_str(), folder.get(), to.c_str(), RENAME_NOREPLACE) != 0) {
    return fail(errno);
  }
  return Status::Ok();
}

TFormSelectfolder::TFormSelectfolder(Messages& messages, QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormSelectfolder>()), messages_(messages) {
  ui_->setupUi(this);
  // No close box: the picker ends through OK or Cancel only.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  ui_->ButtonBox->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(ui_->ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);

  ui_->ShellTreeView1->addAction(ui_->ActionNewfolder);
  ui_->ShellTreeView1->addAction(ui_->ActionRename);
  ui_->ShellTreeView1->addAction(ui_->ActionRefresh);
  connect(ui_->ActionRename, &QAction::triggered, this, &TFormSelectfolder::Rename);
  connect(ui_->ShellTreeView1, &QTreeWidget::itemChanged, this,
          [this](QTreeWidgetItem* item) { Renamed(item); });
  // The path box follows the selection, and takes the operator to a folder
  // typed or pasted into it.
  connect(ui_->ShellTreeView1, &QTreeWidget::itemSelectionChanged, this,
          [this] { ui_->Editpath->setText(SelectedPath()); });
  connect(ui_->Editpath, &QLineEdit::returnPressed, this, [this] { (void)GoToTypedPath(); });
  connect(ui_->ActionNewfolder, &QAction::triggered, this, &TFormSelectfolder::NewFolder);
  connect(ui_->ActionRefresh, &QAction::triggered, this, &TFormSelectfolder::Refresh);
  connect(ui_->ShellTreeView1, &QTreeWidget::itemExpanded, this,
          [this](QTreeWidgetItem* item) { FillOnce(item); });
  connect(ui_->ShellTreeView1, &QWidget::customContextMenuRequested, this,
          &TFormSelectfolder::ShowContextMenu);

  const QString home = QDir::homePath();
  if (home != QDir::rootPath()) AddRoot(home, QStringLiteral("Home (%1)").arg(home));
  AddRoot(QDir::rootPath(), QDir::rootPath());
}

TFormSelectfolder::~TFormSelectfolder() = default;

QTreeWidgetItem* TFormSelectfolder::AddRoot(const QString& path, const QString& caption) {
  auto* item = new QTreeWidgetItem(ui_->ShellTreeView1);
  item->setText(0, caption);
  item->setData(0, kPathRole, path);
  item->setIcon(0, QFileIconProvider().icon(QFileIconProvider::Folder));
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

QTreeWidgetItem* TFormSelectfolder::AddFolder(QTreeWidgetItem* parent, const QString& path,
                                              const QString& name) {
  auto* item = new QTreeWidgetItem(parent);
  item->setText(0, name);
  item->setData(0, kPathRole, path);
  item->setIcon(0, QFileIconProvider().icon(QFileIconProvider::Folder));
  // Whether it has subfolders is found out when it is opened; asking every
  // folder in advance would read the whole level below.
  item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  return item;
}

void TFormSelectfolder::Fill(QTreeWidgetItem* item) {
  for (QTreeWidgetItem* child : item->takeChildren()) delete child;
  const QString path = item->data(0, kPathRole).toString();
  const QFileInfoList folders = QDir(path).entryInfoList(
      QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase | QDir::LocaleAware);
  for (const QFileInfo& folder : folders) {
    AddFolder(item, Join(path, folder.fileName()), folder.fileName());
  }
  item->setData(0, kFilledRole, true);
  item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void TFormSelectfolder::FillOnce(QTreeWidgetItem* item) {
  if (!item->data(0, kFilledRole).toBool()) Fill(item);
}

QTreeWidgetItem* TFormSelectfolder::Selected() const {
  const QList<QTreeWidgetItem*> selected = ui_->ShellTreeView1->selectedItems();
  return selected.isEmpty() ? nullptr : selected.front();
}

QString TFormSelectfolder::SelectedPath() const {
  const QTreeWidgetItem* item = Selected();
  return item == nullptr ? QString() : item->data(0, kPathRole).toString();
}

bool TFormSelectfolder::SelectPath(const QString& path) {
  if (path.isEmpty() || !QFileInfo(path).isDir()) return false;
  const QString wanted = QDir::cleanPath(QDir(path).absolutePath());
  // The root nearest to the folder: the home folder for anything under it.
  QTreeWidgetItem* node = nullptr;
  QString nodePath;
  for (int i = 0; i < ui_->ShellTreeView1->topLevelItemCount(); ++i) {
    QTreeWidgetItem* root = ui_->ShellTreeView1->topLevelItem(i);
    const QString rootPath = root->data(0, kPathRole).toString();
    const bool under = wanted == rootPath || wanted.startsWith(Join(rootPath, QString()));
    if (under && rootPath.size() > nodePath.size()) {
      node = root;
      nodePath = rootPath;
    }
  }
  if (node == nullptr) return false;
  const QStringList steps = wanted.mid(nodePath.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
  for (const QString& step : steps) {
    FillOnce(node);
    QTreeWidgetItem* next = nullptr;
    for (int i = 0; i < node->childCount() && next == nullptr; ++i) {
      if (node->child(i)->text(0) == step) next = node->child(i);
    }
    if (next == nullptr) return false;
    node->setExpanded(true);
    node = next;
  }
  ui_->ShellTreeView1->setCurrentItem(node);
  ui_->ShellTreeView1->scrollToItem(node);
  return true;
}

std::optional<QString> TFormSelectfolder::Choose(const QString& start) {
  SelectPath(start);
  if (exec() != QDialog::Accepted) return std::nullopt;
  return SelectedPath();
}

void TFormSelectfolder::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  QTreeWidget* tree = ui_->ShellTreeView1;
  if (Selected() == nullptr && tree->topLevelItemCount() > 0) {
    tree->setCurrentItem(tree->topLevelItem(0));
  }
  if (QTreeWidgetItem* item = Selected()) tree->scrollToItem(item);
  tree->setFocus();
}

void TFormSelectfolder::NewFolder() {
  QTreeWidgetItem* item = Selected();
  if (item == nullptr) return;
  const Result<std::string> created =
      CreateNumberedFolder(item->data(0, kPathRole).toString().toStdString());
  if (!created.ok()) {
    messages_.Error(this, QString::fromStdString(created.status().message()));
    return;
  }
  Fill(item);
  item->setExpanded(true);
  const QString name = QString::fromStdString(*created);
  ui_->ShellTreeView1->clearSelection();
  for (int i = 0; i < item->childCount(); ++i) {
    if (item->child(i)->text(0) == name) {
      ui_->ShellTreeView1->setCurrentItem(item->child(i));
      ui_->ShellTreeView1->scrollToItem(item->child(i));
      return;
    }
  }
}

void TFormSelectfolder::Refresh() {
  QTreeWidgetItem* item = Selected();
  if (item == nullptr) return;
  const bool open = item->isExpanded();
  Fill(item);
  item->setExpanded(open);
}

void TFormSelectfolder::ShowContextMenu(const QPoint& at) {
  // The menu acts on the node under the mouse, so select it first.
  if (QTreeWidgetItem* item = ui_->ShellTreeView1->itemAt(at)) {
    ui_->ShellTreeView1->setCurrentItem(item);
  }
  QMenu menu(this);
  menu.addAction(ui_->ActionNewfolder);
  menu.addAction(ui_->ActionRename);
  menu.addAction(ui_->ActionRefresh);
  menu.exec(ui_->ShellTreeView1->viewport()->mapToGlobal(at));
}

void TFormSelectfolder::Rename() {
  QTreeWidgetItem* item = Selected();
  if (item == nullptr || item->parent() == nullptr) return;  // a root keeps its name
  item->setFlags(item->flags() | Qt::ItemIsEditable);        // itemChanged: not a rename yet
  renaming_ = item;
  ui_->ShellTreeView1->editItem(item);
}

void TFormSelectfolder::Renamed(QTreeWidgetItem* item) {
  if (item != renaming_) return;  // the tree filling itself
  renaming_ = nullptr;            // before the flags change, which reports the item again
  item->setFlags(item->flags() & ~Qt::ItemIsEditable);
  QTreeWidgetItem* parent = item->parent();
  const QString parentPath = parent->data(0, kPathRole).toString();
  const QString from = QFileInfo(item->data(0, kPathRole).toString()).fileName();
  const QString to = item->text(0);
  if (to == from) return;
  const Status st = RenameFolder(parentPath.toStdString(), from.toStdString(), to.toStdString());
  if (!st.ok()) messages_.Error(this, QString::fromStdString(st.message()));
  // The tree shows what the disk holds now, under either name; refilled
  // once the editor is done with the item it changed.
  const QString shown = st.ok() ? to : from;
  QMetaObject::invokeMethod(
      this,
      [this, parent, shown] {
        Fill(parent);
        for (int i = 0; i < parent->childCount(); ++i) {
          if (parent->child(i)->text(0) == shown)
            ui_->ShellTreeView1->setCurrentItem(parent->child(i));
        }
      },
      Qt::QueuedConnection);
}

bool TFormSelectfolder::GoToTypedPath() {
  const QString typed = ui_->Editpath->text().trimmed();
  if (typed == SelectedPath()) return true;
  if (SelectPath(typed)) return true;
  messages_.Error(this, QStringLiteral("There is no folder \"%1\"").arg(typed));
  return false;
}

void TFormSelectfolder::accept() {
  if (GoToTypedPath()) QDialog::accept();
}

void TFormSelectfolder::keyPressEvent(QKeyEvent* event) {
  // Enter in the path box goes to the folder, in a folder's name editor it
  // renames; only OK ends the picker.
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter && qobject_cast<QLineEdit*>(focusWidget()) != nullptr) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace zf::ui
