#pragma once

#include <QDialog>
#include <QString>
#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"

class QKeyEvent;
class QTreeWidgetItem;

namespace Ui {
class TFormSelectfolder;
}

namespace zf::ui {

class Messages;

// Creates "New Folder" in `parent`, or when that name is taken "New
// Folder(1)", "New Folder(2)" and so on, and gives the name it created. Only
// an existing name moves the count on: any other failure (no permission, a
// read-only disk) would fail for every number alike, so it ends the attempt
// with the system's reason.
Result<std::string> CreateNumberedFolder(const std::string& parent);

// Renames the folder `from` in `parent` to `to`, never over an existing name
// and never through a link; a name with "/" or no name at all is refused.
Status RenameFolder(const std::string& parent, const std::string& from, const std::string& to);

// "Select folder": the folder picker behind the queue dialog's "Browse"
// buttons. A tree of folders under the home folder and the file-system root,
// read from the disk when a node is opened and again on "Refresh" (F5), never
// on its own. It ends only through OK or Cancel (no close box), and keeps its
// selection from one use to the next.
class TFormSelectfolder final : public QDialog {
  Q_OBJECT

 public:
  explicit TFormSelectfolder(Messages& messages, QWidget* parent = nullptr);
  ~TFormSelectfolder() override;

  // Shows the picker modally, on `start` when that folder exists, else on
  // the folder chosen last. The selected folder's path on OK (empty when
  // none is selected); nothing on Cancel.
  std::optional<QString> Choose(const QString& start);

  // Opens the tree down to `path` and selects it; false (selection unchanged)
  // when the path is no folder the tree reaches.
  bool SelectPath(const QString& path);
  QString SelectedPath() const;

  // The context menu's actions, on the selected node.
  void NewFolder();
  void Refresh();
  // Opens the selected folder's name for editing; the folder takes the name
  // typed there (F2).
  void Rename();

  void accept() override;  // a folder typed into the path box counts

 protected:
  void keyPressEvent(QKeyEvent* event) override;

  void showEvent(QShowEvent* event) override;

 private:
  QTreeWidgetItem* AddRoot(const QString& path, const QString& caption);
  QTreeWidgetItem* AddFolder(QTreeWidgetItem* parent, const QString& path, const QString& name);
  // Reads the node's subfolders from the disk (again).
  void Fill(QTreeWidgetItem* item);
  void FillOnce(QTreeWidgetItem* item);
  QTreeWidgetItem* Selected() const;
  void ShowContextMenu(const QPoint& at);
  void Renamed(QTreeWidgetItem* item);
  bool GoToTypedPath();

  std::unique_ptr<Ui::TFormSelectfolder> ui_;
  Messages& messages_;
  QTreeWidgetItem* renaming_ = nullptr;
};

}  // namespace zf::ui
