#include "tformmain.h"

#include <algorithm>
#include <filesystem>

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include "artwork.h"
#include "config/datetimepattern.h"
#include "config/inifile.h"
#include "config/systemregional.h"
#include "dbconnection.h"
#include "dialogsize.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "logcolumns.h"
#include "platform/clock.h"
#include "platform/library.h"
#include "testbenchpanel.h"
#include "tformfolderconfig.h"
#include "tformftptest.h"
#include "tformgenset.h"
#include "tformpluginresult.h"
#include "tformselectfolder.h"
#include "visuallogtablemodel.h"

namespace zf::ui {
namespace {

// The message texts of the library loader are shown as information boxes,
// each followed by where the library was looked for.
class BoxSink final : public LoadMessageSink {
 public:
  BoxSink(Messages& messages, QWidget* parent, QString where)
      : messages_(messages), parent_(parent), where_(std::move(where)) {}
  void ShowInformation(const std::string& text) override {
    messages_.Information(parent_, QString::fromStdString(text) + "\n\n" + where_);
  }

 private:
  Messages& messages_;
  QWidget* parent_;
  QString where_;
};

constexpr const char* kLayoutSection = "form";
constexpr const char* kSmallIconsKey = "QueueListSmallIcons";

// The window's own surface: a horizontal gradient between the two theme
// colours, one vertical line per pixel column, as the design gives it.
class GradientBackground final : public QWidget {
 public:
  explicit GradientBackground(TFormmain& window) : QWidget(&window), window_(window) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QColor c1 = window_.ThemeColour1();
    const QColor c2 = window_.ThemeColour2();
    const int w = width();
    const auto mix = [w](int a, int b, int x) { return w > 1 ? a + (b - a) * x / (w - 1) : a; };
    for (int x = 0; x < w; ++x) {
      painter.setPen(QColor(mix(c1.red(), c2.red(), x), mix(c1.green(), c2.green(), x),
                            mix(c1.blue(), c2.blue(), x)));
      painter.drawLine(x, 0, x, height() - 1);
    }
  }

 private:
  TFormmain& window_;
};

// A control's name for tests and its caption for assistive tools.
template <typename W>
W* Named(W* widget, const char* objectName, const QString& caption = {}) {
  widget->setObjectName(QString::fromLatin1(objectName));
  if (!caption.isEmpty()) widget->setAccessibleName(QString(caption).remove('&'));
  return widget;
}

QGroupBox* Group(const char* objectName, const QString& caption, QWidget* content) {
  auto* group = Named(new QGroupBox(caption), objectName, caption);
  auto* layout = new QVBoxLayout(group);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->addWidget(content);
  return group;
}

const char* IconStateText(zf::QueueIcon icon) {
  return icon == zf::QueueIcon::kActive ? "being served" : "idle";
}

}  // namespace

TFormmain::TFormmain(ConfigPaths paths, Messages& messages, std::string libraryFolder,
                     std::unique_ptr<DbConnection> connection, QWidget* parent)
    : QMainWindow(parent),
      core_(std::move(paths)),
      messages_(messages),
      connection_(connection ? std::move(connection) : std::make_unique<OdbcDbConnection>()),
      logQueue_([this] {
        // Woken from the worker when the queue was empty: one drain is
        // posted to the window's thread for everything pending by then.
        QMetaObject::invokeMethod(
            this, [this] { DrainVisualLog(); }, Qt::QueuedConnection);
      }) {
  libraryFolder_ = QString::fromStdString(libraryFolder);
  if (libraryFolder_.isEmpty()) {
    if (const auto folder = ProgramFolder(); folder.ok())
      libraryFolder_ = QString::fromStdString(folder->string());
  }
  core_.SetLibraryFolder(std::move(libraryFolder));
  setObjectName(QStringLiteral("Formmain"));
  setWindowTitle(QStringLiteral("Zentrafold"));
  setAccessibleName(QStringLiteral("Zentrafold"));
  setWindowIcon(AppIcon());
  ChooseThemeColours(qEnvironmentVariable("GTK_THEME"));
  BuildControls();
  // Every dialog exists from the start and is shown again when needed.
  genset_ = new TFormGenset(core_.paths(), core_.working(), messages_, *connection_, this);
  folderconfig_ = new TFormFolderconfig(core_.table(), core_.paths(), messages_, this);
  selectfolder_ = new TFormSelectfolder(messages_, this);
  // No dialog larger than the screen; each opens at the size last given it.
  const std::string layoutFile = core_.paths().queueFile;
  RememberDialogSize(*folderconfig_, layoutFile, "TFormFolderconfig");
  RememberDialogSize(*genset_, layoutFile, "TFormGenset");
  RememberDialogSize(*selectfolder_, layoutFile, "TFormSelectfolder");
  openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  SetSmallQueueIcons(ReadIniFile(layoutFile).ReadBool(kLayoutSection, kSmallIconsKey, false));
  pluginresult_ = new TFormpluginresult(this);
  folderconfig_->browseFolder = [this](const QString& start) {
    return selectfolder_->Choose(start);
  };
  folderconfig_->ftpTest = [this](const QueueRecord& shown) {
    std::string trusted;
    (void)ShowFtpTest(folderconfig_, shown, core_.working().ftpTimeout.load(), messages_,
                      std::filesystem::path(core_.paths().queueFile).parent_path().string(),
                      &trusted);
    return trusted;
  };
  folderconfig_->editTranslatedName = [this](const QString& pattern) -> std::optional<QString> {
    pluginresult_->SetPattern(pattern);
    if (pluginresult_->exec() != QDialog::Accepted) return std::nullopt;
    return pluginresult_->Pattern();
  };
  shutdownTimer_.setInterval(200);
  connect(&shutdownTimer_, &QTimer::timeout, this, [this] { TimershutdownTimer(); });
  resize(kDesignedWidth, kDesignedHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(kDesignedWidth / 2, kDesignedHeight / 2));
  }
}

TFormmain::~TFormmain() {
  // Nothing lent to the worker may go before it has finished; the close
  // handshake normally saw to that already.
  core_.RequestStop();
  while (!core_.Finished()) QThread::msleep(20);
  // The settings dialog's connection test may still wait for a server on
  // the connection: the dialog joins it before the connection goes (as a
  // child it would otherwise go after the members).
  delete genset_;
  genset_ = nullptr;
  connection_.reset();
}

void TFormmain::BuildControls() {
  auto* file = Named(menuBar()->addMenu(QStringLiteral("&File")), "File1", "&File");
  QAction* settings = file->addAction(QStringLiteral("C&onfigure general settings"));
  settings->setObjectName(QStringLiteral("Action2"));
  QAction* folders = file->addAction(MenuIcon(), QStringLiteral("&Configure input queue"));
  folders->setObjectName(QStringLiteral("Actionfolders"));
  QAction* exit = menuBar()->addAction(QStringLiteral("&Exit"));
  exit->setObjectName(QStringLiteral("Action1"));
  connect(settings, &QAction::triggered, this, [this] { Action2Execute(); });
  connect(folders, &QAction::triggered, this, [this] { ActionfoldersExecute(); });
  connect(exit, &QAction::triggered, this, [this] { Action1Execute(); });

  auto* central = new GradientBackground(*this);
  central->setObjectName(QStringLiteral("Background"));
  setCentralWidget(central);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(4, 4, 4, 4);

  // The panel: switch, cycle progress, FTP progress.
  image1_ = Named(new QLabel, "Image1", QStringLiteral("On / Off switch"));
  image1_->setCursor(Qt::PointingHandCursor);
  image1_->setFixedSize(68, 26);
  image1_->installEventFilter(this);
  // Reachable with Tab and switched with Space, like any other switch.
  image1_->setFocusPolicy(Qt::StrongFocus);
  image1_->setStyleSheet(QStringLiteral("#Image1:focus { border: 1px dotted palette(text); }"));
  progressBar1_ = Named(new QProgressBar, "ProgressBar1", QStringLiteral("Process"));
  progressBar1_->setRange(0, EngineHost::kCycleProgressMax);
  progressBar1_->setValue(0);
  progressBar1_->setTextVisible(false);
  progressBarftp_ = Named(new QProgressBar, "ProgressBarftp", QStringLiteral("FTP"));
  progressBarftp_->setRange(0, EngineHost::kFtpProgressMax);
  progressBarftp_->setValue(0);
  progressBarftp_->setTextVisible(false);
  auto* panel = new QHBoxLayout;
  panel->addWidget(Group("GroupBoxonoff", QStringLiteral("On / Off"), image1_));
  panel->addWidget(Group("GroupBoxprocess", QStringLiteral("Process"), progressBar1_), 5);
  panel->addWidget(Group("GroupBoxftp", QStringLiteral("FTP"), progressBarftp_), 4);
  outer->addLayout(panel);

  // The queue list, the splitter and the tabs.
  listViewfolders_ = Named(new QListWidget, "ListViewfolders", QStringLiteral("Input queues"));
  listViewfolders_->setViewMode(QListView::IconMode);
  listViewfolders_->setIconSize(QSize(48, 48));
  listViewfolders_->setResizeMode(QListView::Adjust);
  listViewfolders_->setMovement(QListView::Static);
  listViewfolders_->setWordWrap(true);
  listViewfolders_->setGridSize(QSize(96, 76));
  auto* queues = Group("GroupBoxqueues", QStringLiteral("Input queues"), listViewfolders_);
  queues->setMinimumWidth(109);

  logModel_ = new VisualLogTableModel(this);
  listViewlog_ = Named(new QTableView, "ListViewlog", QStringLiteral("Log"));
  listViewlog_->setModel(logModel_);
  listViewlog_->setSelectionBehavior(QAbstractItemView::SelectRows);
  listViewlog_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  listViewlog_->setShowGrid(true);
  listViewlog_->verticalHeader()->hide();
  listViewlog_->verticalHeader()->setDefaultSectionSize(20);
  // The "Input" column's width is not kept between runs; the others are.
  listViewlog_->setColumnWidth(0, 110);
  listViewlog_->setColumnWidth(1, 110);
  listViewlog_->setColumnWidth(2, 125);
  listViewlog_->setColumnWidth(3, 100);
  listViewlog_->setWordWrap(false);
  logColumns_ = new LogColumns(*listViewlog_, QString::fromStdString(DateTimeToRegionalString(
                                                  SystemClock().Now(), SystemRegionalSettings())));

  queueStatus_ = Named(new QTableWidget(0, 8), "ListViewstatus", QStringLiteral("Queues"));
  queueStatus_->setHorizontalHeaderLabels({"Queue", "State", "Last pass", "Delivered today",
                                           "Failed today", "Waiting", "Last failure", "FTP"});
  queueStatus_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  queueStatus_->setSelectionBehavior(QAbstractItemView::SelectRows);
  queueStatus_->verticalHeader()->hide();
  queueStatus_->horizontalHeader()->setStretchLastSection(true);

  pageControl_ = Named(new QTabWidget, "PageControl1");
  pageControl_->addTab(listViewlog_, QStringLiteral("Log"));
  pageControl_->widget(0)->setObjectName(QStringLiteral("ListViewlog"));
  pageControl_->addTab(queueStatus_, QStringLiteral("Queues"));

  splitter_ = Named(new QSplitter(Qt::Horizontal), "Splitter1");
  splitter_->addWidget(queues);
  splitter_->addWidget(pageControl_);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({120, 460});
  outer->addWidget(splitter_, 1);
  BuildQueueMenu();
  ShowSwitch();
}

bool TFormmain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == image1_ && event->type() == QEvent::MouseButtonRelease) {
    Image1Click();
    return true;
  }
  if (watched == image1_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space) {
    Image1Click();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TFormmain::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) FormActivate();
  // The desktop's theme changed: the colour scheme may have, too.
  if (event->type() == QEvent::ThemeChange) ChooseThemeColours(qEnvironmentVariable("GTK_THEME"));
  return QMainWindow::event(event);
}

void TFormmain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // Where the window system never activates the window (no window manager,
  // offscreen), the start-up still runs once the window is up.
  QMetaObject::invokeMethod(
      this, [this] { FormActivate(); }, Qt::QueuedConnection);
}

void TFormmain::FormActivate() {
  if (activated_) return;
  activated_ = true;  // a message box below activates the window again
  ChooseThemeColours(qEnvironmentVariable("GTK_THEME"));
  RestoreLayout();
  (void)core_.LockConfiguration();
  core_.MakeFtpClients();
  QString where =
      QStringLiteral("Looked for %1 in %2.")
          .arg(QString::fromStdString(LoadedExpressionLibrary::FileName()), libraryFolder_);
  BoxSink sink(messages_, this, where);
  core_.LoadExpressionLibrary(sink);
  for (const std::string& text : core_.LoadConfiguration()) {
    messages_.Information(this, QString::fromStdString(text));
    genset_->MarkReported(QString::fromStdString(text));  // told once per start
  }
  RebuildQueueList();
  // The rule test bench works through the library just loaded, on what the
  // queue dialog's controls show at the moment of the click.
  folderconfig_->SetTestBench(new TestBenchPanel(
      *core_.library(), [this] { return folderconfig_->ShownQueue(); }, messages_));
  // The dialog is filled from the file; the working copies come from it.
  genset_->Load();
  genset_->TakeStartupCopies();
  if (!core_.OwnsConfiguration()) {
    // Beside the engine that holds the configuration: an editor, which
    // clears nothing and serves nothing.
    core_.working().switchedOn = false;
    ShowEditorStatus();
    ShowSwitch();
    return;
  }
  ShowSwitch();
  (void)core_.RemoveLeftovers();
  core_.RenewLogFiles();
  StartEngine();
}

void TFormmain::ShowEditorStatus() {
  const app::ConfigLock& lock = *core_.lock();
  QString text;
  if (lock.state() != app::ConfigLock::State::kBusy) {
    text = QStringLiteral("Configuration editor: no engine runs here");
  } else if (lock.holder() > 0) {
    text = QStringLiteral(
               "Configuration editor: the engine runs in process %1; saved queues "
               "reach it")
               .arg(lock.holder());
  } else {
    text = QStringLiteral("Configuration editor: the engine runs in another process");
  }
  auto* label = Named(new QLabel(text), "Labeleditor", QStringLiteral("Configuration editor"));
  label->setToolTip(QString::fromStdString(lock.Refusal()));
  statusBar()->addWidget(label, 1);
  statusBar()->show();  // made after the window was shown
}

void TFormmain::RestoreLayout() {
  WindowLayout current{{}, kDesignedWidth, kDesignedHeight, 0, 0};
  for (int c = 1; c <= 3; ++c) current.columnWidths.push_back(listViewlog_->columnWidth(c));
  const WindowLayout stored = QueueConfigFile(core_.paths().queueFile).ReadWindowLayout(current);
  for (std::size_t c = 0; c < stored.columnWidths.size() && c < 3; ++c) {
    if (stored.columnWidths[c] > 0) {
      listViewlog_->setColumnWidth(static_cast<int>(c) + 1, stored.columnWidths[c]);
    }
  }
  // The top-left corner stays where the centred designed window had it.
  const QPoint topLeft = pos();
  if (stored.width > 0 && stored.height > 0) resize(stored.width, stored.height);
  move(topLeft);
}

void TFormmain::StartEngine() {
  GuiHost::Handlers handlers;
  handlers.cycleProgress = [this](int position) { progressBar1_->setValue(position); };
  handlers.queueIcon = [this](int slot, zf::QueueIcon icon) { SetQueueIcon(slot, icon); };
  handlers.refreshQueueList = [this] { listViewfolders_->viewport()->update(); };
  handlers.ftpProgress = [this](int percent) { progressBarftp_->setValue(percent); };
  handlers.statusChanged = [this] { RefreshStatus(); };
  host_ = std::make_unique<GuiHost>(core_.table(), core_.working(), this, handlers);
  core_.StartWorker(*host_, logQueue_.Sink(), SystemRegionalSettings());
  for (const std::string& m : core_.StartMetrics())
    messages_.Information(this, QString::fromStdString(m));
}

void TFormmain::DrainVisualLog() {
  if (logModel_->DrainFrom(logQueue_, core_.working().maxvisuallog.load()) > 0) {
    listViewlog_->scrollToBottom();
  }
}

void TFormmain::SetQueueIcon(int slot, zf::QueueIcon icon) {
  QListWidgetItem* item = listViewfolders_->item(slot - 1);
  if (item == nullptr) return;
  item->setIcon(QueueIcon(static_cast<int>(icon)));
  item->setData(Qt::UserRole, static_cast<int>(icon));
  item->setToolTip(item->text() + ": " + QString::fromLatin1(IconStateText(icon)));
}

void TFormmain::RebuildQueueList() {
  listViewfolders_->clear();
  const QueueTable::State state = core_.table().Snapshot();
  for (int i = 0; i < state.Nfolders; ++i) {
    const QueueRecord& q = *state.slots[static_cast<std::size_t>(i)];
    const int image = q.Enabled ? 0 : 2;
    auto* item = new QListWidgetItem(QueueIcon(image), QString::fromStdString(q.name));
    item->setData(Qt::UserRole, image);
    item->setToolTip(QString::fromStdString(q.name) + ": " +
                     (q.Enabled ? QStringLiteral("idle") : NotEnabledReason(q)));
    listViewfolders_->addItem(item);
  }
  RefreshStatus();
}

void TFormmain::ShowSwitch() {
  const bool on = core_.working().switchedOn.load();
  image1_->setPixmap(SwitchPicture(on, devicePixelRatioF()));
  image1_->setProperty("switchedOn", on);
  image1_->setToolTip(on ? QStringLiteral("Switched on: click to switch off")
                         : QStringLiteral("Switched off: click to switch on"));
  if (activated_ && !core_.OwnsConfiguration()) {
    image1_->setEnabled(false);
    image1_->setToolTip(QStringLiteral("No engine here: ") +
                        QString::fromStdString(core_.lock()->Refusal()));
  }
}

void TFormmain::Image1Click() {
  if (activated_ && !core_.OwnsConfiguration()) return;
  core_.working().switchedOn = !core_.working().switchedOn.load();
  ShowSwitch();
}

void TFormmain::Action2Execute() {
  genset_->exec();
  // Whatever button closed it, the bound of the visual log counts now.
  core_.working().maxvisuallog = genset_->MaxVisualLog();
}

void TFormmain::ActionfoldersExecute() {
  folderconfig_->exec();
  // Whatever button closed it, the list shows the table as it is now.
  RebuildQueueList();
}

void TFormmain::Action1Execute() {
  close();
}

void TFormmain::closeEvent(QCloseEvent* event) {
  // FormCloseQuery: with no worker the close goes ahead; otherwise the
  // worker is asked to stop and the close waits until it has finished.
  if (core_.WorkerStarted()) {
    core_.RequestStop();
    if (!core_.Finished()) {
      event->ignore();
      shutdownTimer_.start();
      return;
    }
  }
  shutdownTimer_.stop();
  FormClose();
  event->accept();
}

void TFormmain::TimershutdownTimer() {
  close();
}

void TFormmain::FormClose() {
  if (closed_ || !activated_) return;
  closed_ = true;
  // An editor's renewal times are the file's own, older than the engine's.
  if (!core_.OwnsConfiguration()) return;
  WindowLayout layout;
  for (int c = 1; c <= 3; ++c) layout.columnWidths.push_back(logColumns_->Minimum(c));
  layout.width = width();
  layout.height = height();
  layout.left = x();
  layout.top = y();
  if (const Status st = core_.WriteCloseState(layout); !st.ok()) {
    messages_.Error(this, QString::fromStdString(st.message()));
  }
}

void TFormmain::RefreshStatus() {
  const std::vector<QueueStatus> rows = core_.StatusSnapshot();
  const RegionalSettings& regional = SystemRegionalSettings();
  const auto time = [&](TDateTime t) {
    return t == 0 ? QString() : QString::fromStdString(DateTimeToRegionalString(t, regional));
  };
  queueStatus_->setRowCount(static_cast<int>(rows.size()));
  for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
    const QueueStatus& s = rows[static_cast<std::size_t>(r)];
    QString waiting;
    if (s.waiting > 0) {
      waiting = QString::number(s.waiting);
      if (s.stableSecondsLeft > 0)
        waiting += QStringLiteral(" (%1 s left)").arg(s.stableSecondsLeft);
    }
    if (!s.waitingReason.empty()) {
      waiting = (waiting.isEmpty() ? QStringLiteral("0") : waiting) + QStringLiteral(": ") +
                QString::fromStdString(s.waitingReason);
    }
    QString failure = QString::fromStdString(s.lastFailure);
    if (!failure.isEmpty()) failure += QStringLiteral(" (") + time(s.lastFailureTime) + ")";
    const QStringList cells = {
        QString::fromStdString(s.name),
        QString::fromUtf8(StateText(s.state).data(), static_cast<int>(StateText(s.state).size())),
        time(s.lastPass),
        QString::number(s.deliveredToday),
        QString::number(s.failedToday),
        waiting,
        failure,
        QString::fromStdString(s.ftpConnection)};
    for (int c = 0; c < cells.size(); ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setToolTip(cells[c]);
      item->setData(Qt::UserRole, s.slot);
      queueStatus_->setItem(r, c, item);
    }
    if (QListWidgetItem* icon = listViewfolders_->item(s.slot - 1)) {
      QString tip = QString::fromStdString(FormatQueueStatusLine(s, regional));
      if (s.slot <= core_.table().Nfolders()) {
        const QString why = NotEnabledReason(core_.table().Get(s.slot));
        if (!why.isEmpty()) tip += "\n" + why;
      }
      icon->setToolTip(tip);
    }
  }
  queueStatus_->resizeColumnsToContents();
}

void TFormmain::ChooseThemeColours(const QString& schemeName) {
  colour1_ = QColor(158, 190, 245);
  colour2_ = QColor(196, 218, 250);
  const QString upper = schemeName.toUpper();
  if (upper.contains(QStringLiteral("HOMESTEAD"))) {
    colour1_ = QColor(217, 217, 167);
    colour2_ = QColor(242, 241, 228);
  } else if (upper.contains(QStringLiteral("METALLIC"))) {
    colour1_ = QColor(215, 215, 229);
    colour2_ = QColor(243, 243, 247);
  }
  update();
}

QString TFormmain::NotEnabledReason(const QueueRecord& queue) {
  if (queue.Enabled) return {};
  return queue.Enabledatstart ? QStringLiteral("switched off for this run")
                              : QStringLiteral("not enabled at program start");
}

void TFormmain::BuildQueueMenu() {
  listViewfolders_->setContextMenuPolicy(Qt::ActionsContextMenu);
  const auto add = [this](const char* name, const QString& caption, auto handler) {
    auto* action = new QAction(caption, listViewfolders_);
    action->setObjectName(QString::fromLatin1(name));
    listViewfolders_->addAction(action);
    connect(action, &QAction::triggered, this, handler);
    return action;
  };
  actionEnabled_ =
      add("ActionEnabled", QStringLiteral("&Enabled"), [this](bool on) { SetQueueEnabled(on); });
  actionEnabled_->setCheckable(true);
  add("ActionOpeninput", QStringLiteral("&Open input folder"), [this] { OpenInputFolder(); });
  add("ActionShowstatus", QStringLiteral("&Show status"), [this] { ShowQueueStatus(); });
  auto* separator = new QAction(listViewfolders_);
  separator->setSeparator(true);
  listViewfolders_->addAction(separator);
  actionSmallIcons_ = add("ActionSmallicons", QStringLiteral("S&mall icons"), [this](bool on) {
    SetSmallQueueIcons(on);
    const Status st = UpdateIniFile(core_.paths().queueFile, [on](IniDocument& ini) {
      ini.WriteBool(kLayoutSection, kSmallIconsKey, on);
    });
    if (!st.ok()) messages_.Error(this, QString::fromStdString(st.message()));
  });
  actionSmallIcons_->setCheckable(true);
  connect(listViewfolders_, &QListWidget::itemSelectionChanged, this, [this] { SyncQueueMenu(); });
  SyncQueueMenu();
}

int TFormmain::SelectedSlot() {
  const QList<QListWidgetItem*> selected = listViewfolders_->selectedItems();
  if (selected.isEmpty()) return 0;
  const int slot = listViewfolders_->row(selected.first()) + 1;
  return slot <= core_.table().Nfolders() ? slot : 0;
}

void TFormmain::SyncQueueMenu() {
  const int slot = SelectedSlot();
  for (QAction* action : listViewfolders_->actions()) {
    if (action != actionSmallIcons_ && !action->isSeparator()) action->setEnabled(slot != 0);
  }
  actionEnabled_->setChecked(slot != 0 && core_.table().Get(slot).Enabled);
}

void TFormmain::SetQueueEnabled(bool enabled) {
  const int slot = SelectedSlot();
  if (slot == 0) return;
  core_.table().Update(slot, [enabled](QueueRecord& r) { r.Enabled = enabled; });
  RebuildQueueList();
  listViewfolders_->setCurrentRow(slot - 1);
}

void TFormmain::OpenInputFolder() {
  const int slot = SelectedSlot();
  if (slot == 0) return;
  const QueueRecord q = core_.table().Get(slot);
  // An FTP queue's files arrive in its temporary folder.
  const QString folder = QString::fromStdString(q.FTPuse ? q.FTPTemppath : q.Inputfolder);
  if (folder.isEmpty() || !openUrl(QUrl::fromLocalFile(folder))) {
    messages_.Error(this, QStringLiteral("Unable to open the input folder \"%1\" of the queue "
                                         "\"%2\"")
                              .arg(folder, QString::fromStdString(q.name)));
  }
}

void TFormmain::ShowQueueStatus() {
  const int slot = SelectedSlot();
  if (slot == 0) return;
  RefreshStatus();
  pageControl_->setCurrentWidget(queueStatus_);
  for (int row = 0; row < queueStatus_->rowCount(); ++row) {
    if (queueStatus_->item(row, 0)->data(Qt::UserRole).toInt() == slot) {
      queueStatus_->selectRow(row);
      queueStatus_->setFocus();
    }
  }
}

void TFormmain::SetSmallQueueIcons(bool small) {
  actionSmallIcons_->setChecked(small);
  QListWidget& list = *listViewfolders_;
  if (small) {
    // Columns of one-line entries: a hundred queues fit a few columns.
    list.setViewMode(QListView::ListMode);
    list.setFlow(QListView::TopToBottom);
    list.setWrapping(true);
    list.setIconSize(QSize(16, 16));
    list.setGridSize(QSize(104, 20));
    list.setWordWrap(false);
    splitter_->setSizes({2 * 104 + 24, std::max(width() - 2 * 104 - 24, 200)});
  } else {
    list.setViewMode(QListView::IconMode);
    list.setFlow(QListView::LeftToRight);
    list.setIconSize(QSize(48, 48));
    list.setGridSize(QSize(96, 76));
    list.setWordWrap(true);
    splitter_->setSizes({120, std::max(width() - 120, 200)});
  }
  list.setTextElideMode(Qt::ElideRight);
}

}  // namespace zf::ui
