#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "config/configpaths.h"
#include "config/queuetable.h"

class QButtonGroup;
class QKeyEvent;
class QLineEdit;
class QTreeWidget;

namespace Ui {
class TFormFolderconfig;
}

namespace zf::ui {

class Messages;
class TFormedtrans;
class TFormnewqueue;
class TFormsetupreg;

// The queue configuration dialog. It edits the live queue table in place and
// keeps no copy: Apply, New and Delete change the table at once (each through
// one publishing operation of the table, so the engine never reads a record
// half written), OK writes the file, Cancel reads the file back, and the
// title-bar box only closes. The queue being stored is found by the text of
// the name box, never by a remembered index, so Apply under a new name adds
// a queue instead of renaming one.
class TFormFolderconfig final : public QDialog {
  Q_OBJECT

 public:
  TFormFolderconfig(QueueTable& table, ConfigPaths paths, Messages& messages,
                    QWidget* parent = nullptr);
  ~TFormFolderconfig() override;

  // Set by the owner. The three "Browse" buttons (and the log folder's) ask
  // `browseFolder` for a folder, starting where the picker stood last; no
  // hook or no answer leaves the box as it is.
  std::function<std::optional<QString>(const QString& start)> browseFolder;
  // The FTP page's "test", given the queue as the controls show it. Answers
  // the server key the operator chose to trust there, or nothing; the
  // dialog puts it into the fingerprint box as an edit not yet applied.
  std::function<std::string(const QueueRecord& shown)> ftpTest;
  // The translated file name builder behind "edit"; no hook: nothing happens.
  std::function<std::optional<QString>(const QString& pattern)> editTranslatedName;
  // How the small dialogs are shown; tests answer them without a window.
  std::function<int(QDialog&)> execDialog = [](QDialog& d) { return d.exec(); };

  // One item per queue in table order, none selected.
  void FillQueueList();
  // Loads the first queue of this exact name into the controls (only while
  // an item of the list is selected); an unknown name changes nothing.
  void ShowQueue(const QString& name);
  // Writes the controls into the first queue of this name, appending one
  // when there is none. The number boxes are checked first: a text that is
  // no decimal integer, or a full table, is refused with a message and
  // nothing is stored. Answers whether the queue was stored.
  bool StoreQueue(const QString& name);

  // The queue as StoreQueue would write it, without storing: the stored
  // queue of the name box (or load defaults) overlaid with every control. A
  // number box that holds no integer reads as 0 here.
  QueueRecord ShownQueue() const;

  // Puts the rule test bench into the "Test system" group of the "Regular
  // expressions" page; the group takes ownership. The bench needs the loaded
  // expression library, which comes after the dialogs are made.
  void SetTestBench(QWidget* bench);

  TFormsetupreg& RuleEditor() { return *ruleEditor_; }
  TFormedtrans& TranslationEditor() { return *transEditor_; }
  TFormnewqueue& NewQueuePrompt() { return *newQueue_; }

  void accept() override;  // OK: write the file, then close
  void reject() override;  // Cancel: read the file back, then close

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;  // title-bar box: just close
  // Enter in a text box must not press OK: that would write the file and
  // drop the edits not yet applied.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Numbers {
    std::int32_t port = 0;
    std::int32_t entries = 0;
  };
  std::optional<Numbers> ReadNumbers(bool report) const;
  void WriteControls(QueueRecord& r, const Numbers& numbers) const;

  void NewQueue();
  void DeleteQueue();
  void Apply();
  void QueueSelectionChanged();
  // Before another queue is shown: asks whether the edits to the shown one
  // are applied or dropped; false when the operator stays on it.
  bool SettleEdits(int targetRow);
  // What every edit box, check box and list of the pages shows (the test
  // bench aside), to tell whether the shown queue was edited.
  QStringList ControlsState() const;
  void MarkShown(const QString& name);
  void TestFtp();

  void AddRule();
  void EditRule();
  void DeleteRow(QTreeWidget* list);
  void MoveRule(int step);
  void FillRuleEditor();
  void AddTranslation();
  void EditTranslation();
  void FillTranslationEditor();
  void Browse(QLineEdit* box);
  void SetFtpEnabled(bool enabled);
  // Shows the fields the chosen protocol uses and its port as the port box's
  // placeholder; a port box holding the last protocol's own port takes the
  // new one's.
  void FtpProtocolChanged(int protocol);
  void UpdateSearchMaskNote();

  std::unique_ptr<Ui::TFormFolderconfig> ui_;
  QueueTable& table_;
  const ConfigPaths paths_;
  Messages& messages_;
  QButtonGroup* filetimetype_;
  QButtonGroup* logtype_;
  TFormsetupreg* ruleEditor_;
  TFormedtrans* transEditor_;
  TFormnewqueue* newQueue_;
  QString lastBrowsed_;  // the picker opens where it stood last
  QWidget* bench_ = nullptr;
  int ftpProtocol_ = kFtpPlain;  // the protocol the FTP page was set up for
  QString shownName_;            // the queue whose values the controls were given last
  QStringList shownState_;
};

}  // namespace zf::ui
