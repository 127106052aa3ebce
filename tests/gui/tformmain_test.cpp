#include "tformmain.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "config/inifile.h"
#include "configlock.h"
#include "dbconnection.h"
#include "guitestkit.h"
#include "immutable.h"
#include "serviceconfig.h"
#include "tempdir.h"
#include "tformfolderconfig.h"
#include "tformgenset.h"
#include "visuallogtablemodel.h"

namespace zf::ui {
namespace {

namespace fs = std::filesystem;
using zf::test::ReadFile;
using zf::test::TempDir;
using zf::test::WriteFile;

std::string BinDir() {
  return qEnvironmentVariable("ZF_BIN_DIR").toStdString();
}

// A window on a configuration folder of its own with one queue, "Sport",
// whose folders lie beside it; browse and stable time 1 second.
class MainWindow : public testing::Test {
 protected:
  MainWindow() {
    for (const char* f : {"in", "out", "err"}) fs::create_directories(dir_.path() / f);
  }

  void Configure(bool enabled = true, bool autostart = true, int stabletime = 1) {
    QueueRecord q = zf::test::MakeQueue("Sport", dir_ / "in", dir_ / "out", dir_ / "err",
                                        {Rule{R"(Page(\d+)\.pdf)", "P$1.pdf", false, ""}});
    q.Enabled = enabled;
    GeneralSettings s = zf::test::QuickSettings(1, stabletime);
    s.autostart = autostart;
    zf::test::WriteConfiguration(dir_.path().string(), {q}, s);
  }

  std::unique_ptr<TFormmain> Open(const std::string& libraryFolder = BinDir()) {
    auto window = std::make_unique<TFormmain>(ConfigPaths::For("zentrafold", dir_.path().string()),
                                              messages_, libraryFolder);
    window->show();
    window->FormActivate();
    return window;
  }

  // Closes as the window system would and waits for the handshake.
  static bool CloseAndWait(TFormmain& window) {
    window.close();
    return QTest::qWaitFor([&] { return !window.isVisible(); }, 10000);
  }

  template <typename W>
  static W* Find(QWidget& window, const char* name) {
    return window.findChild<W*>(QString::fromLatin1(name));
  }

  TempDir dir_;
  RecordingMessages messages_;
};

TEST_F(MainWindow, StartUpTellsOfEachMissingEntryPointInOrderAndGoesOn) {
  Configure();
  {
    const TempDir empty;  // no regex.so at all
    auto window = Open(empty.path().string());
    // Each message says where the library was looked for.
    const QString where = QStringLiteral("\n\nLooked for regex.so in %1.")
                              .arg(QString::fromStdString(empty.path().string()));
    EXPECT_EQ(messages_.texts,
              (QStringList{"info: unable to load TryMatchExpression from dll" + where,
                           "info: unable to load FormatExpression from dll" + where,
                           "info: unable to load PDFSplitter from dll" + where}));
    EXPECT_TRUE(window->core().WorkerStarted());  // the program runs on
    EXPECT_TRUE(CloseAndWait(*window));
  }
  messages_.texts.clear();
  auto window = Open(BinDir() + "/testlibs/nosplit");
  ASSERT_EQ(messages_.texts.size(), 1) << messages_.texts.join("|").toStdString();
  EXPECT_TRUE(messages_.texts[0].startsWith("info: unable to load PDFSplitter from dll\n"));
  // A second activation loads nothing again and makes no second worker.
  window->FormActivate();
  EXPECT_EQ(messages_.texts.size(), 1);
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, ControlsCarryTheirNamesAndCaptions) {
  Configure();
  auto window = Open();
  EXPECT_EQ(window->windowTitle(), "Zentrafold");
  auto* bar = Find<QProgressBar>(*window, "ProgressBar1");
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->maximum(), 10);
  auto* ftp = Find<QProgressBar>(*window, "ProgressBarftp");
  ASSERT_NE(ftp, nullptr);
  EXPECT_EQ(ftp->maximum(), 100);
  ASSERT_NE(Find<QLabel>(*window, "Image1"), nullptr);
  auto* list = Find<QListWidget>(*window, "ListViewfolders");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->iconSize(), QSize(48, 48));
  auto* tabs = Find<QTabWidget>(*window, "PageControl1");
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(tabs->tabText(0), "Log");
  EXPECT_EQ(tabs->tabText(1), "Queues");
  auto* log = Find<QTableView>(*window, "ListViewlog");
  ASSERT_NE(log, nullptr);
  QStringList headers;
  for (int c = 0; c < 4; ++c) {
    headers << log->model()->headerData(c, Qt::Horizontal).toString();
  }
  EXPECT_EQ(headers, (QStringList{"Input", "Output", "Time", "Comment"}));
  QStringList actions;
  for (QAction* a : window->findChildren<QAction*>()) {
    if (!a->objectName().isEmpty()) actions << a->objectName() + "=" + a->text();
  }
  EXPECT_TRUE(actions.contains("Action2=C&onfigure general settings"))
      << actions.join(",").toStdString();
  EXPECT_TRUE(actions.contains("Actionfolders=&Configure input queue"));
  EXPECT_TRUE(actions.contains("Action1=&Exit"));
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, TheSwitchFollowsAutostartAndItsClicks) {
  Configure(true, false);
  auto window = Open();
  auto* image = Find<QLabel>(*window, "Image1");
  ASSERT_NE(image, nullptr);
  EXPECT_FALSE(window->core().working().switchedOn.load());
  EXPECT_FALSE(image->property("switchedOn").toBool());
  QTest::mouseClick(image, Qt::LeftButton);
  EXPECT_TRUE(window->core().working().switchedOn.load());
  EXPECT_TRUE(image->property("switchedOn").toBool());
  window->Image1Click();
  EXPECT_FALSE(window->core().working().switchedOn.load());
  // Tab reaches it and Space turns it, as any switch.
  EXPECT_TRUE(image->focusPolicy() & Qt::TabFocus);
  QTest::keyClick(image, Qt::Key_Space);
  EXPECT_TRUE(window->core().working().switchedOn.load());
  EXPECT_TRUE(CloseAndWait(*window));
}

// A file dropped into the queue's folder: the queue's icon shows it being
// served, then idle again; the visual log gets the row from the worker.
// Beside an engine that holds the configuration (here a lock of this
// process) the window only edits: no worker, no clean-up of the engine's
// files in flight, the switch off and disabled, the holder named.
TEST_F(MainWindow, BesideARunningEngineTheWindowIsAnEditorThatClearsNothing) {
  Configure();  // autostart on
  const fs::path inFlight = dir_ / "out/.zf-0123456789abcdef-P01.pdf.part";
  WriteFile(inFlight, "half");
  const app::ConfigLock engine(dir_.path().string());
  ASSERT_TRUE(engine.held());
  auto window = Open();
  EXPECT_FALSE(window->core().WorkerStarted());
  EXPECT_TRUE(fs::exists(inFlight));
  auto* image = Find<QLabel>(*window, "Image1");
  ASSERT_NE(image, nullptr);
  EXPECT_FALSE(image->isEnabled());
  EXPECT_FALSE(image->property("switchedOn").toBool());
  const QString pid = QStringLiteral("process %1").arg(::getpid());  // and the command
  EXPECT_TRUE(image->toolTip().contains(pid + " (")) << image->toolTip().toStdString();
  auto* status = Find<QLabel>(*window, "Labeleditor");
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(status->text().contains(pid)) << status->text().toStdString();
  EXPECT_TRUE(zf::ui::test::SaveScreenshot(*window, "tformmain_editor"));
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, APassShowsInTheQueueIconAndTheVisualLog) {
  Configure();
  WriteFile(dir_ / "in/Page07.pdf", "seven");
  WriteFile(dir_ / "in/note.txt", "unnamed");
  auto window = Open();
  auto* list = Find<QListWidget>(*window, "ListViewfolders");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->text(), "Sport");
  EXPECT_EQ(list->item(0)->data(Qt::UserRole).toInt(), 0);
  // The icon is active only while the queue's own files are named and
  // delivered, which may be over before a wait here looks: every icon the
  // item is given is recorded as it is set.
  std::vector<int> icons;
  QObject::connect(list->model(), &QAbstractItemModel::dataChanged, list,
                   [&](const QModelIndex& from, const QModelIndex&, const QList<int>& roles) {
                     if (from.row() == 0 && roles.contains(Qt::UserRole)) {
                       icons.push_back(from.data(Qt::UserRole).toInt());
                     }
                   });
  VisualLogTableModel& log = window->visualLog();
  EXPECT_TRUE(QTest::qWaitFor([&] { return log.rowCount() == 2; }, 10000));
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return icons.size() >= 2 && icons[0] == 1 && icons[1] == 0; }, 10000))
      << icons.size();
  QStringList rows;
  for (int r = 0; r < log.rowCount(); ++r) {
    rows << log.index(r, 0).data().toString() + "|" + log.index(r, 1).data().toString() + "|" +
                log.index(r, 3).data().toString();
  }
  rows.sort();
  EXPECT_EQ(rows, (QStringList{"Page07.pdf|P07.pdf|Renamed", "note.txt||cannot rename"}));
  EXPECT_EQ(ReadFile(dir_ / "out/P07.pdf"), "seven");
  zf::ui::test::SaveScreenshot(*window, "tformmain_log");
  EXPECT_TRUE(CloseAndWait(*window));
}

// The "Queues" tab after a pass with one delivered and one failing file:
// today's counts, the state and the last failure with its reason.
TEST_F(MainWindow, TheQueuesTabShowsTodaysFiguresAfterAPass) {
  Configure();
  fs::remove_all(dir_.path() / "err");  // the unnamed file cannot go anywhere
  fs::create_directories(dir_.path() / "err");
  WriteFile(dir_ / "in/Page07.pdf", "seven");
  WriteFile(dir_ / "in/note.txt", "unnamed");
  zf::test::Immutable locked(dir_ / "err");
  if (!locked.ok()) GTEST_SKIP() << "chattr +i is not available here";
  auto window = Open();
  auto* table = Find<QTableWidget>(*window, "ListViewstatus");
  ASSERT_NE(table, nullptr);
  const auto cell = [&](int column) {
    return table->item(0, column) == nullptr ? QString() : table->item(0, column)->text();
  };
  ASSERT_TRUE(QTest::qWaitFor([&] { return cell(3) == "1" && cell(4) == "1"; }, 15000))
      << cell(3).toStdString() << "/" << cell(4).toStdString();
  EXPECT_EQ(cell(0), "Sport");
  EXPECT_TRUE(QTest::qWaitFor([&] { return cell(1) == "idle"; }, 10000)) << cell(1).toStdString();
  EXPECT_FALSE(cell(2).isEmpty());  // the last pass
  EXPECT_TRUE(cell(6).startsWith("Cannot copy: ")) << cell(6).toStdString();
  auto* list = Find<QListWidget>(*window, "ListViewfolders");
  EXPECT_TRUE(list->item(0)->toolTip().contains("Sport")) << list->item(0)->toolTip().toStdString();
  Find<QTabWidget>(*window, "PageControl1")->setCurrentIndex(1);
  zf::ui::test::SaveScreenshot(*window, "tformmain_queues");
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, TheVisualLogKeepsItsBoundAndItsOrder) {
  Configure(true, false);
  auto window = Open();
  window->core().working().maxvisuallog = 5;
  for (int i = 0; i < 12; ++i) {
    VisualLogEntry e;
    e.inputName = "f" + std::to_string(i);
    e.comment = "Renamed";
    window->visualLog().Append(e, window->core().working().maxvisuallog.load());
  }
  ASSERT_EQ(window->visualLog().rowCount(), 6);
  EXPECT_EQ(window->visualLog().index(0, 0).data().toString(), "f6");
  EXPECT_EQ(window->visualLog().index(5, 0).data().toString(), "f11");
  EXPECT_TRUE(CloseAndWait(*window));
}

// The close request waits for the engine: refused while it has not
// finished, repeated by the 200 ms timer, and the close-time state written.
TEST_F(MainWindow, TheCloseWaitsForTheEngineAndWritesTheCloseTimeState) {
  Configure(true, true, 1000);  // a stable wait of 1000 s
  WriteFile(dir_ / "in/Page01.pdf", "one");
  auto window = Open();
  // The engine is inside the stable wait once the queue's file shows waiting.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const std::vector<QueueStatus> rows = window->core().StatusSnapshot();
        return !rows.empty() && rows[0].waiting == 1 && rows[0].stableSecondsLeft > 0;
      },
      10000));
  window->resize(700, 500);
  EXPECT_FALSE(window->close());  // refused: the worker has not finished yet
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->ShutdownTimerActive());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window->isVisible(); }, 5000));
  EXPECT_TRUE(window->core().Finished());
  const IniDocument ini = ReadIniFile(dir_ / "Zentrafold.ini");
  EXPECT_EQ(ini.ReadInteger("form", "width", 0), 700);
  EXPECT_EQ(ini.ReadInteger("form", "height", 0), 500);
  EXPECT_TRUE(fs::exists(dir_ / "in/Page01.pdf"));  // the pass ended in its stable wait
}

// Logs in as a driver does at a server on loopback that takes the
// connection and never answers: it waits until its login time-out (here half
// a second) and, so that the test goes on to use it, counts that as a login.
class WaitingConnection final : public DbConnection {
 public:
  WaitingConnection() : server_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    address_.sin_family = AF_INET;
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address_;
    (void)::bind(server_, reinterpret_cast<sockaddr*>(&address_), length);
    (void)::getsockname(server_, reinterpret_cast<sockaddr*>(&address_), &length);
    (void)::listen(server_, 4);
  }
  ~WaitingConnection() override { ::close(server_); }
  Status Open(const Parameters&) override {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    waiting = ::connect(fd, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) == 0;
    pollfd answer{fd, POLLIN, 0};
    (void)::poll(&answer, 1, 500);
    ::close(fd);
    open_ = true;
    return Status::Ok();
  }
  bool IsOpen() const override { return open_; }
  void Close() override { open_ = false; }
  std::atomic<bool> waiting{false};

 private:
  int server_;
  sockaddr_in address_{};
  std::atomic<bool> open_{false};
};

// Closing while the settings dialog's connection test waits on that server:
// the connection is freed only after the test's last use of it (the
// sanitizer build sees a use after it was freed).
TEST_F(MainWindow, ClosingDuringAHangingConnectionTestFreesTheConnectionLast) {
  Configure(true, false);
  auto connection = std::make_unique<WaitingConnection>();
  WaitingConnection& login = *connection;
  auto window = std::make_unique<TFormmain>(ConfigPaths::For("zentrafold", dir_.path().string()),
                                            messages_, BinDir(), std::move(connection));
  window->show();
  window->FormActivate();
  window->genset().findChild<QPushButton*>(QStringLiteral("Buttondbtest"))->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return login.waiting.load(); }, 10000));
  EXPECT_TRUE(CloseAndWait(*window));
  window.reset();
}

// A stored size replaces the designed one; the top-left corner stays where
// the centred designed window had it.
TEST_F(MainWindow, TheStoredLayoutIsRestored) {
  Configure(true, false);
  ASSERT_TRUE(UpdateIniFile(dir_ / "Zentrafold.ini", [](IniDocument& ini) {
                ini.WriteInteger("form", "width", 800);
                ini.WriteInteger("form", "height", 600);
                ini.WriteInteger("Columns1", "width", 111);
                ini.WriteInteger("Columns2", "width", 122);
                ini.WriteInteger("Columns3", "width", 133);
              }).ok());
  auto window = std::make_unique<TFormmain>(ConfigPaths::For("zentrafold", dir_.path().string()),
                                            messages_, BinDir());
  const QPoint designedTopLeft = window->pos();
  window->show();
  window->FormActivate();
  EXPECT_EQ(window->size(), QSize(800, 600));
  EXPECT_EQ(window->pos(), designedTopLeft);
  // The stored widths are the least the columns get; the window's width
  // beyond them goes to the names and the comment.
  auto* log = Find<QTableView>(*window, "ListViewlog");
  EXPECT_GE(log->columnWidth(1), 111);
  EXPECT_GE(log->columnWidth(2), 122);
  EXPECT_GE(log->columnWidth(3), 133);
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, TheSettingsDialogComesFromTheMenuAndItsBoundCountsAtOnce) {
  Configure(true, false);
  auto window = Open();
  TFormGenset& dialog = window->genset();
  EXPECT_EQ(dialog.parent(), window.get());  // made once, with the window
  // Answer the modal dialog with Cancel once it is up.
  QTimer::singleShot(0, &dialog, [&] {
    zf::ui::test::SaveScreenshot(dialog, "tformmain_genset");
    dialog.reject();
  });
  window->findChild<QAction*>("Action2")->trigger();
  EXPECT_EQ(window->core().working().maxvisuallog.load(), dialog.MaxVisualLog());
  EXPECT_TRUE(CloseAndWait(*window));
}

// The queue dialog from the menu works on the live table: a queue applied
// under a new name and saved with OK shows in the window's list afterwards,
// and the Browse buttons reach the folder picker.
TEST_F(MainWindow, TheQueueDialogComesFromTheMenuAndTheListFollowsIt) {
  Configure(true, false);
  auto window = Open();
  TFormFolderconfig& dialog = window->folderconfig();
  EXPECT_EQ(dialog.parent(), window.get());
  ASSERT_TRUE(dialog.browseFolder);
  ASSERT_TRUE(dialog.ftpTest);
  // The rule test bench sits in the "Regular expressions" page, on the
  // library the window loaded: the queue's rule names a test name.
  ASSERT_NE(dialog.findChild<QPushButton*>("Buttontestformat"), nullptr);
  QTimer::singleShot(0, &dialog, [&] {
    dialog.findChild<QLineEdit*>("Edittestreginput")->setText("Page12.pdf");
    dialog.findChild<QPushButton*>("Buttontestformat")->click();
    dialog.findChild<QTabWidget*>()->setCurrentIndex(1);
    zf::ui::test::SaveScreenshot(dialog, "tformmain_folderconfig_bench");
    dialog.reject();
  });
  window->findChild<QAction*>("Actionfolders")->trigger();
  EXPECT_EQ(dialog.findChild<QLineEdit*>("Edittestresult")->text(), "P12.pdf");
  QTimer::singleShot(0, &dialog, [&] {
    dialog.findChild<QLineEdit*>("Editfoldername")->setText("Second");
    dialog.findChild<QPushButton*>("Buttonapply")->click();
    zf::ui::test::SaveScreenshot(dialog, "tformmain_folderconfig");
    dialog.findChild<QPushButton*>("ButtonOK")->click();
  });
  window->findChild<QAction*>("Actionfolders")->trigger();
  auto* list = Find<QListWidget>(*window, "ListViewfolders");
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(1)->text(), "Second");
  EXPECT_EQ(window->core().table().Nfolders(), 2);
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, ThemeColoursFollowTheColourSchemeName) {
  Configure(true, false);
  auto window = Open();
  EXPECT_EQ(window->ThemeColour1(), QColor(158, 190, 245));
  EXPECT_EQ(window->ThemeColour2(), QColor(196, 218, 250));
  window->ChooseThemeColours("Adwaita-METALLIC-dark");
  EXPECT_EQ(window->ThemeColour1(), QColor(215, 215, 229));
  EXPECT_EQ(window->ThemeColour2(), QColor(243, 243, 247));
  // A theme change reported by the platform chooses again.
  window->ChooseThemeColours("");
  ASSERT_EQ(window->ThemeColour1(), QColor(158, 190, 245));
  qputenv("GTK_THEME", "Metallic");
  QEvent themeChanged(QEvent::ThemeChange);
  QApplication::sendEvent(window.get(), &themeChanged);
  qunsetenv("GTK_THEME");
  EXPECT_EQ(window->ThemeColour1(), QColor(215, 215, 229));
  window->ChooseThemeColours("homestead");
  EXPECT_EQ(window->ThemeColour1(), QColor(217, 217, 167));
  EXPECT_EQ(window->ThemeColour2(), QColor(242, 241, 228));
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, TheQueueMenuSwitchesAQueueOpensItsFolderAndShowsItsStatus) {
  QueueRecord off = zf::test::MakeQueue("Off", dir_ / "in", dir_ / "out", dir_ / "err", {});
  off.Enabledatstart = false;
  zf::test::WriteConfiguration(
      dir_.path().string(),
      {zf::test::MakeQueue("Sport", dir_ / "in", dir_ / "out", dir_ / "err", {}), off},
      zf::test::QuickSettings(1, 1));
  auto window = Open();
  QUrl opened;
  window->openUrl = [&](const QUrl& url) { return (opened = url).isValid(); };
  auto* list = Find<QListWidget>(*window, "ListViewfolders");
  auto* enabled = Find<QAction>(*window, "ActionEnabled");
  struct Case {
    int row;
    bool click;       // "Enabled" clicked on this row
    bool enabled;     // the queue's Enabled afterwards, and the check mark
    const char* why;  // said in the tooltip
  };
  for (const Case& c : {Case{1, false, false, "not enabled at program start"},
                        Case{1, true, true, ": idle"}, Case{0, true, false, "switched off"}}) {
    list->setCurrentRow(c.row);
    if (c.click) enabled->trigger();
    EXPECT_EQ(window->core().table().Get(c.row + 1).Enabled, c.enabled) << c.row;
    EXPECT_EQ(enabled->isChecked(), c.enabled) << c.row;
    EXPECT_TRUE(list->item(c.row)->toolTip().contains(c.why)) << c.why;
  }
  list->setCurrentRow(1);
  Find<QAction>(*window, "ActionOpeninput")->trigger();
  EXPECT_EQ(opened.toLocalFile().toStdString(), dir_ / "in");
  Find<QAction>(*window, "ActionShowstatus")->trigger();
  auto* status = Find<QTableWidget>(*window, "ListViewstatus");
  EXPECT_TRUE(status->isVisible());
  ASSERT_FALSE(status->selectedItems().isEmpty());
  EXPECT_EQ(status->selectedItems()[0]->text(), "Off");
  EXPECT_TRUE(CloseAndWait(*window));
}

TEST_F(MainWindow, SmallIconsShowManyQueuesAtOnceAndAreRemembered) {
  std::vector<QueueRecord> queues;
  for (int i = 1; i <= 100; ++i) {
    queues.push_back(zf::test::MakeQueue("Queue " + std::to_string(i), dir_ / "in", dir_ / "out",
                                         dir_ / "err", {}));
  }
  zf::test::WriteConfiguration(dir_.path().string(), queues, zf::test::QuickSettings(1, 1));
  for (bool reopened : {false, true}) {
    auto window = Open();
    auto* list = Find<QListWidget>(*window, "ListViewfolders");
    if (!reopened) Find<QAction>(*window, "ActionSmallicons")->trigger();
    QApplication::processEvents();
    int visible = 0;
    for (int i = 0; i < list->count(); ++i)
      visible += list->viewport()->rect().contains(list->visualItemRect(list->item(i)));
    EXPECT_GE(visible, 20) << "reopened " << reopened;
    test::SaveScreenshot(*window, "tformmain_100queues");
    EXPECT_TRUE(CloseAndWait(*window));
  }
}

TEST_F(MainWindow, AnFtpTimeoutThatIsNoNumberIsToldOncePerStart) {
  Configure(true, false);
  ASSERT_TRUE(UpdateIniFile(dir_ / "zentrafold.ini", [](IniDocument& d) {
                d.WriteString("system", "FTPtimeout", "soon");
              }).ok());
  auto window = Open();
  window->genset().show();
  window->genset().reject();  // Cancel reads the file again
  EXPECT_EQ(messages_.texts.filter("'soon' is not a valid integer value").size(), 1);
  EXPECT_TRUE(CloseAndWait(*window));
}

}  // namespace
}  // namespace zf::ui
