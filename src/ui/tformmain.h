#pragma once

#include <QMainWindow>
#include <QPixmap>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

#include "config/configpaths.h"
#include "dbconnection.h"
#include "engine/enginehost.h"
#include "guihost.h"
#include "log/visuallogqueue.h"
#include "messages.h"
#include "programcore.h"

class QAction;
class QLabel;
class QListWidgetItem;
class QListWidget;
class QProgressBar;
class QSplitter;
class QTabWidget;
class QTableView;
class QTableWidget;

namespace zf::ui {

class TFormGenset;
class TFormFolderconfig;
class TFormSelectfolder;
class TFormpluginresult;
class LogColumns;
class VisualLogTableModel;

// The program's main window: the on/off switch, the cycle and FTP progress,
// the queue list, the visual log and the queue status, and the place where
// the program starts (on first activation) and ends (the close handshake).
class TFormmain final : public QMainWindow {
  Q_OBJECT

 public:
  // The designed outer size; a stored size replaces it, keeping the top-left
  // corner the centred designed window had.
  static constexpr int kDesignedWidth = 595;
  static constexpr int kDesignedHeight = 427;

  // `libraryFolder`: where regex.so is looked for; empty: the program's folder.
  // `connection`: the plugin database connection; none: the ODBC one.
  TFormmain(ConfigPaths paths, Messages& messages, std::string libraryFolder = {},
            std::unique_ptr<DbConnection> connection = nullptr, QWidget* parent = nullptr);
  ~TFormmain() override;

  // The start-up sequence, once; later activations do nothing.
  void FormActivate();
  bool Activated() const { return activated_; }

  // The switch picture was clicked: invert the on/off switch.
  void Image1Click();
  void Action2Execute();        // "C&onfigure general settings"
  void ActionfoldersExecute();  // "&Configure input queue"
  void Action1Execute();        // "&Exit": close as the close box does
  // Rebuilds the queue list from the table: image 0 or 2 by Enabled.
  void RebuildQueueList();

  // The default pair, or the pair of a colour scheme the desktop names.
  void ChooseThemeColours(const QString& schemeName);
  QColor ThemeColour1() const { return colour1_; }
  QColor ThemeColour2() const { return colour2_; }

  app::ProgramCore& core() { return core_; }
  TFormGenset& genset() { return *genset_; }
  TFormFolderconfig& folderconfig() { return *folderconfig_; }
  VisualLogTableModel& visualLog() { return *logModel_; }
  bool ShutdownTimerActive() const { return shutdownTimer_.isActive(); }

  // The queue list's context menu, on the selected queue: "Enabled" for
  // this run (as the queue dialog's Apply would), "Open input folder",
  // "Show status"; and the choice of small icons for many queues.
  void SetQueueEnabled(bool enabled);
  void OpenInputFolder();
  void ShowQueueStatus();
  // Small icons in columns (many queues at a glance) or the large icons;
  // kept in the queue configuration file.
  void SetSmallQueueIcons(bool small);
  // Why a queue that is not enabled is not served; empty for an enabled one.
  static QString NotEnabledReason(const QueueRecord& queue);
  // How "Open input folder" opens a folder; tests record it.
  std::function<bool(const QUrl&)> openUrl;

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildControls();
  void RestoreLayout();
  void StartEngine();
  void ShowEditorStatus();
  void ShowSwitch();
  void DrainVisualLog();
  void FormClose();
  void TimershutdownTimer();
  void SetQueueIcon(int slot, zf::QueueIcon icon);
  void BuildQueueMenu();
  void SyncQueueMenu();
  int SelectedSlot();

 public:
  // Fills the "Queues" tab and the queue icons' tooltips from the status board.
  void RefreshStatus();

 private:
  app::ProgramCore core_;
  Messages& messages_;
  std::unique_ptr<DbConnection> connection_;
  TFormGenset* genset_ = nullptr;
  TFormFolderconfig* folderconfig_ = nullptr;
  TFormSelectfolder* selectfolder_ = nullptr;
  TFormpluginresult* pluginresult_ = nullptr;
  std::unique_ptr<GuiHost> host_;
  VisualLogTableModel* logModel_ = nullptr;
  VisualLogQueue logQueue_;

  QLabel* image1_ = nullptr;
  QProgressBar* progressBar1_ = nullptr;
  QProgressBar* progressBarftp_ = nullptr;
  QListWidget* listViewfolders_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QTabWidget* pageControl_ = nullptr;
  QTableView* listViewlog_ = nullptr;
  QTableWidget* queueStatus_ = nullptr;
  LogColumns* logColumns_ = nullptr;
  QAction* actionEnabled_ = nullptr;
  QAction* actionSmallIcons_ = nullptr;
  QString libraryFolder_;  // where the expression library was looked for
  QTimer shutdownTimer_;
  QColor colour1_;
  QColor colour2_;
  bool activated_ = false;
  bool closed_ = false;
};

}  // namespace zf::ui
