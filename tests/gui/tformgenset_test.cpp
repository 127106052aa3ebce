#include "tformgenset.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "config/configpaths.h"
#include "config/datetimepattern.h"
#include "config/inifile.h"
#include "config/settingsfile.h"
#include "config/systemregional.h"
#include "dbconnection.h"
#include "guitestkit.h"
#include "immutable.h"
#include "messages.h"
#include "platform/clock.h"
#include "tempdir.h"

namespace zf::ui {
namespace {

using zf::test::Immutable;
using zf::test::ReadFile;
using zf::test::TempDir;
using zf::test::WriteFile;

const QString kRestart = QStringLiteral("info: restart the application to apply any changes");

// Stands for the database in the tests of the dialog's own steps; records
// what the dialog asked of it.
class FakeDbConnection final : public DbConnection {
 public:
  Status Open(const Parameters& parameters) override {
    calls.push_back("open");
    opened = parameters;
    open = refusal.empty();
    return open ? Status::Ok() : Status::Error(refusal);
  }
  bool IsOpen() const override { return open; }
  void Close() override {
    calls.push_back("close");
    open = false;
  }

  std::string refusal;  // empty: Open succeeds
  bool open = false;
  Parameters opened;
  std::vector<std::string> calls;
};

// A loopback port that nothing listens on, or (for a server about to start)
// one that is free.
int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// A throw-away PostgreSQL server on loopback with one password login. A SQL
// Server cannot run here, so PostgreSQL stands in behind the same ODBC path,
// chosen with the connection file's Driver key. Tests run as root, which
// PostgreSQL refuses to run as, so it runs as "nobody".
class LoopbackPostgres {
 public:
  static constexpr const char* kUser = "zfuser";
  static constexpr const char* kPassword = "s3cret";

  LoopbackPostgres() {
    const std::string bin = "/usr/lib/postgresql/15/bin/";
    const passwd* nobody = getpwnam("nobody");
    if (!std::filesystem::exists(bin + "initdb") || nobody == nullptr) {
      problem_ = "PostgreSQL 15 or the user nobody is missing";
      return;
    }
    const std::string root = dir_.path().string();
    WriteFile(dir_ / "password", kPassword);
    if (chown(root.c_str(), nobody->pw_uid, nobody->pw_gid) != 0 ||
        chown((dir_ / "password").c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      problem_ = "cannot hand the server's folder to nobody";
      return;
    }
    const std::string as = "setpriv --reuid=" + std::to_string(nobody->pw_uid) +
                           " --regid=" + std::to_string(nobody->pw_gid) +
                           " --clear-groups env LC_ALL=C ";
    port_ = UnusedPort();
    ctl_ = as + bin + "pg_ctl -D " + root + "/data ";
    const std::string initdb = as + bin + "initdb -D " + root + "/data -U " + kUser +
                               " --pwfile=" + root + "/password --auth=scram-sha-256 -N > " + root +
                               "/initdb.log 2>&1";
    if (std::system(initdb.c_str()) != 0) {
      problem_ = "initdb failed: " + ReadFile(dir_ / "initdb.log");
      return;
    }
    const std::string start = ctl_ + "-l " + root + "/server.log -w -t 20 -o \"-p " +
                              std::to_string(port_) + " -k " + root +
                              " -c listen_addresses=127.0.0.1\" start > /dev/null";
    started_ = std::system(start.c_str()) == 0;
    if (!started_) problem_ = "the server did not start: " + ReadFile(dir_ / "server.log");
  }
  ~LoopbackPostgres() {
    if (started_ && std::system((ctl_ + "-m immediate stop > /dev/null").c_str()) != 0) {
      // Already gone; the folder goes with the TempDir.
    }
  }

  bool ok() const { return started_; }
  const std::string& problem() const { return problem_; }
  int port() const { return port_; }

 private:
  TempDir dir_;
  std::string ctl_;
  std::string problem_;
  int port_ = 0;
  bool started_ = false;
};

bool OdbcDriverInstalled(const std::string& name) {
  return std::system(("odbcinst -q -d -n '" + name + "' > /dev/null 2>&1").c_str()) == 0;
}

// One dialog over a fresh configuration folder.
struct Fixture {
  explicit Fixture(DbConnection* database = nullptr)
      : paths(ConfigPaths::For(dir / "Zentrafold")),
        db(database ? *database : fake),
        dialog(paths, working, messages, db) {}

  template <typename T>
  T* Find(const char* name) {
    T* widget = dialog.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
  }
  void Click(const char* button) { Find<QPushButton>(button)->click(); }
  QString Status() { return Find<QLabel>("Labelstatus")->text(); }
  // The connection test runs away from the window; wait for its answer.
  bool WaitForStatus() {
    return QTest::qWaitFor([&] { return Find<QPushButton>("Buttondbtest")->isEnabled(); }, 20000);
  }
  GeneralSettings FileSettings() {
    WorkingSettings scratch;
    return GeneralSettingsFile(paths.settingsFile).Load(scratch).settings;
  }

  TempDir dir;
  ConfigPaths paths;
  WorkingSettings working;
  RecordingMessages messages;
  FakeDbConnection fake;
  DbConnection& db;
  TFormGenset dialog;
};

TEST(TFormGenset, WithoutAFileShowsTheDefaultsAndTakesThem) {
  Fixture f;
  f.working.browsetime = 99;
  f.working.ftpTimeout = 5;
  f.working.maxvisuallog = 7;
  f.dialog.Load();

  EXPECT_EQ(f.Find<QSpinBox>("SpinEditbrowse")->value(), 10);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditstable")->value(), 10);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditftptimeout")->text(), "-1");
  EXPECT_FALSE(f.Find<QCheckBox>("CheckBoxautostart")->isChecked());
  EXPECT_EQ(f.Find<QComboBox>("ComboBoxdebug")->currentText(), "Off");
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditmaxlog")->value(), 1000);
  EXPECT_EQ(f.Find<QLineEdit>("Editlogformat")->text(), "dd.mm.yyyy hh:nn:ss:zzz");
  EXPECT_TRUE(f.Find<QRadioButton>("RadioButtonnone")->isChecked());
  EXPECT_EQ(f.Status(), "not connected");
  EXPECT_TRUE(f.messages.texts.isEmpty());
  EXPECT_EQ(f.working.browsetime, 10);
  EXPECT_EQ(f.working.ftpTimeout, -1);
  EXPECT_EQ(f.working.maxvisuallog, 1000);
  EXPECT_EQ(f.dialog.windowTitle(), "General settings");
  EXPECT_EQ(f.Find<QLineEdit>("Editpassword")->echoMode(), QLineEdit::Password);

  // No thousands separators, even where the locale has them.
  QSpinBox* maxlog = f.Find<QSpinBox>("SpinEditmaxlog");
  maxlog->setLocale(QLocale(QLocale::German));
  maxlog->setValue(10000);
  EXPECT_EQ(maxlog->text(), "10000");
}

TEST(TFormGenset, ValuesOutsideTheRangesAreBroughtIntoThem) {
  Fixture f;
  WriteFile(f.paths.settingsFile,
            "[system]\nbrowsetime=5000\nstabletime=0\nmaxvisuallog=-5\ndebugmode=-3\nplugin=9\n"
            "FTPtimeout=99999\n");
  f.dialog.Load();
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditbrowse")->value(), 1000);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditstable")->value(), 1);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditmaxlog")->value(), 0);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditftptimeout")->value(), 32000);
  EXPECT_EQ(f.Find<QComboBox>("ComboBoxdebug")->currentIndex(), -1);
  EXPECT_TRUE(f.Find<QRadioButton>("RadioButtonorvatic")->isChecked());
  EXPECT_EQ(f.working.browsetime, 1000);
  EXPECT_EQ(f.working.stabletime, 1);

  // The arrows and typing stay within the ranges too.
  struct Range {
    const char* field;
    int low, high;
  };
  for (const Range& r :
       {Range{"SpinEditbrowse", 1, 1000}, Range{"SpinEditstable", 1, 1000},
        Range{"SpinEditftptimeout", -1, 32000}, Range{"SpinEditmaxlog", 0, 10000}}) {
    QSpinBox* spin = f.Find<QSpinBox>(r.field);
    spin->setValue(r.high);
    spin->stepUp();
    EXPECT_EQ(spin->value(), r.high) << r.field;
    spin->setValue(r.low);
    spin->stepDown();
    EXPECT_EQ(spin->value(), r.low) << r.field;
  }

  f.dialog.show();
  f.Find<QSpinBox>("SpinEditbrowse")->setValue(20);
  f.Click("ButtonOK");
  const GeneralSettings saved = f.FileSettings();
  EXPECT_EQ(saved.debugmode, -1) << "no choice is saved as -1";
  EXPECT_EQ(saved.plugin, 3) << "the last choice stands for any beyond it";
  const IniDocument doc = ReadIniFile(f.paths.settingsFile);
  EXPECT_EQ(doc.ReadString("system", "debugmode", ""), "-1");
  EXPECT_EQ(doc.ReadString("system", "plugin", ""), "3");
}

TEST(TFormGenset, AnFtpTimeoutThatIsNoNumberIsReportedAndCountsAsNone) {
  Fixture f;
  WriteFile(f.paths.settingsFile, "[system]\nbrowsetime=12\nFTPtimeout=abc\n");
  f.working.ftpTimeout = 300;
  f.dialog.Load();
  f.dialog.Load();  // as Cancel does: told once per run, not at every reading
  EXPECT_EQ(f.messages.texts, QStringList{"error: 'abc' is not a valid integer value"});
  EXPECT_EQ(f.working.ftpTimeout, -1);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditftptimeout")->value(), -1);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditbrowse")->value(), 12) << "the other keys are still read";
}

TEST(TFormGenset, TimingsCountAtOnceAndCancelBringsBackTheFilesValues) {
  Fixture f;
  WriteFile(f.paths.settingsFile,
            "[system]\nbrowsetime=7\nstabletime=4\nFTPtimeout=250\nmaxvisuallog=300\nplugin=1\n");
  f.dialog.Load();
  EXPECT_EQ(f.working.browsetime, 7);
  f.dialog.show();

  f.Find<QSpinBox>("SpinEditbrowse")->setValue(3);
  f.Find<QSpinBox>("SpinEditstable")->setValue(2);
  EXPECT_EQ(f.working.browsetime, 3) << "the engine's next cycle waits what the field shows";
  EXPECT_EQ(f.working.stabletime, 2);
  f.Find<QSpinBox>("SpinEditftptimeout")->setValue(900);
  EXPECT_EQ(f.working.ftpTimeout, 250) << "the FTP time-out waits for OK or Cancel";
  f.Find<QSpinBox>("SpinEditmaxlog")->setValue(50);
  f.Find<QRadioButton>("RadioButtonbrisklet")->setChecked(true);

  f.Click("ButtonCancel");
  EXPECT_FALSE(f.dialog.isVisible());
  EXPECT_EQ(f.dialog.result(), QDialog::Rejected);
  EXPECT_EQ(f.working.browsetime, 7);
  EXPECT_EQ(f.working.stabletime, 4);
  EXPECT_EQ(f.working.ftpTimeout, 250);
  EXPECT_EQ(f.working.maxvisuallog, 300);
  EXPECT_EQ(f.working.plugin, 1);
  EXPECT_EQ(f.Find<QSpinBox>("SpinEditbrowse")->value(), 7);
  EXPECT_TRUE(f.messages.texts.isEmpty());
  EXPECT_EQ(ReadIniFile(f.paths.settingsFile).ReadString("system", "browsetime", ""), "7");
}

TEST(TFormGenset, OkSavesTakesTheClosingCopiesAndAsksForARestart) {
  Fixture f;
  WriteFile(f.paths.settingsFile, "[System]\nNfolders=2\n");  // the queue table's own key
  f.dialog.Load();
  f.dialog.show();
  f.Find<QSpinBox>("SpinEditbrowse")->setValue(30);
  f.Find<QSpinBox>("SpinEditftptimeout")->setValue(1500);
  f.Find<QCheckBox>("CheckBoxautostart")->setChecked(true);
  // Off as loaded: the file predates the key.
  EXPECT_FALSE(f.Find<QCheckBox>("CheckBoxwatchfolders")->isChecked());
  f.Find<QCheckBox>("CheckBoxwatchfolders")->setChecked(true);
  f.Find<QComboBox>("ComboBoxdebug")->setCurrentIndex(2);
  f.Find<QSpinBox>("SpinEditmaxlog")->setValue(250);
  f.Find<QLineEdit>("Editlogformat")->setText("yyyy-mm-dd");
  f.Find<QRadioButton>("RadioButtonbrisklet")->setChecked(true);
  f.Find<QLineEdit>("Editserver")->setText("db1,1433");
  f.Find<QLineEdit>("Editdatabase")->setText("pages");
  f.Find<QLineEdit>("Editusername")->setText("sa");
  f.Find<QLineEdit>("Editpassword")->setText("pw");
  f.Find<QSpinBox>("SpinEditmetricsport")->setValue(9464);
  f.Find<QLineEdit>("Editmetricsaddress")->setText(" ::1 ");

  f.Click("ButtonOK");
  ASSERT_EQ(f.messages.texts.size(), 1);
  // The message names what waits for the restart and what counts at once.
  EXPECT_TRUE(f.messages.texts[0].startsWith(kRestart + "\n"));
  for (const char* named :
       {"\"Auto start\"", "\"Watch folders\"", "log date time format", "metrics", "timings"}) {
    EXPECT_TRUE(f.messages.texts[0].contains(named)) << named;
  }
  EXPECT_FALSE(f.dialog.isVisible());
  EXPECT_EQ(f.dialog.result(), QDialog::Accepted);
  EXPECT_EQ(f.working.ftpTimeout, 1500);
  EXPECT_EQ(f.working.maxvisuallog, 250);
  EXPECT_EQ(f.working.plugin, 2);
  EXPECT_FALSE(f.working.switchedOn) << "Auto start counts from the next start";

  GeneralSettings expected;
  expected.browsetime = 30;
  expected.FTPtimeout = "1500";
  expected.autostart = true;
  expected.debugmode = 2;
  expected.maxvisuallog = 250;
  expected.logformat = "yyyy-mm-dd";
  expected.plugin = 2;
  expected.HostName = "db1,1433";
  expected.DB = "pages";
  expected.Username = "sa";
  expected.Password = "pw";
  expected.watchfolders = true;
  expected.metricsport = 9464;
  expected.metricsaddress = "::1";
  EXPECT_EQ(f.FileSettings(), expected);
  EXPECT_EQ(ReadIniFile(f.paths.settingsFile).ReadString("System", "Nfolders", ""), "2");

  // At the next start these two are taken once.
  f.dialog.Load();
  f.dialog.TakeStartupCopies();
  EXPECT_TRUE(f.working.switchedOn);
  EXPECT_EQ(f.working.LogFormat(), "yyyy-mm-dd");
}

TEST(TFormGenset, AFailedSaveShowsItsErrorAndNoRestartMessage) {
  Fixture f;
  WriteFile(f.paths.settingsFile, "[system]\nFTPtimeout=100\n");
  f.dialog.Load();
  f.dialog.show();
  f.Find<QSpinBox>("SpinEditftptimeout")->setValue(700);
  Immutable locked(f.dir.path().string());
  if (!locked.ok()) GTEST_SKIP() << "chattr +i is not available here";

  f.Click("ButtonOK");
  EXPECT_EQ(f.messages.texts, QStringList{QString::fromStdString("error: Unable to write to " +
                                                                 f.paths.settingsFile)});
  EXPECT_TRUE(f.dialog.isVisible()) << "the operator keeps the values to retry or cancel";
  EXPECT_EQ(f.working.ftpTimeout, 100);
  EXPECT_EQ(ReadIniFile(f.paths.settingsFile).ReadString("system", "FTPtimeout", ""), "100");
}

TEST(TFormGenset, TestFormatsTheCurrentTimeWithThePattern) {
  Fixture f;
  f.dialog.Load();
  f.dialog.show();
  QLineEdit* pattern = f.Find<QLineEdit>("Editlogformat");
  QLineEdit* result = f.Find<QLineEdit>("Edittestresult");

  pattern->setText("yyyy");
  f.Click("ButtonTest");
  EXPECT_EQ(result->text(), QString::number(QDate::currentDate().year()));

  // An empty pattern gives the date and time in the system's default form,
  // the same as "c"; the second may turn over during the click.
  pattern->setText("");
  SystemClock clock;
  const TDateTime before = clock.Now();
  f.Click("ButtonTest");
  const TDateTime after = clock.Now();
  const QString got = result->text();
  const auto c = [](TDateTime t) {
    return QString::fromStdString(FormatDateTimeText("c", t, SystemRegionalSettings()));
  };
  EXPECT_TRUE(got == c(before) || got == c(after)) << got.toStdString();
  EXPECT_TRUE(got.contains(QString::number(QDate::currentDate().year()))) << got.toStdString();

  EXPECT_FALSE(std::filesystem::exists(f.paths.settingsFile)) << "nothing is saved";
}

TEST(TFormGenset, TheConnectionTestRewritesItsKeysReopensAndTellsTheOutcome) {
  Fixture f;
  WriteFile(f.paths.dbconnectFile,
            "[MSSQLVeltraneLite]\nDriver=Some Driver\nHostName=old\nOS Authentication=True\n"
            "Extra=kept\n");
  f.dialog.Load();
  f.dialog.show();
  f.Find<QLineEdit>("Editserver")->setText("db1:1433");
  f.Find<QLineEdit>("Editdatabase")->setText("pages");
  f.Find<QLineEdit>("Editusername")->setText("sa");
  f.Find<QLineEdit>("Editpassword")->setText("pw");
  f.fake.open = true;  // an earlier test left it open
  f.fake.refusal = "Login failed for user 'sa'";

  f.Click("Buttondbtest");
  ASSERT_TRUE(f.WaitForStatus());
  EXPECT_EQ(f.Status(), "Unable to connect");
  EXPECT_EQ(f.Find<QLabel>("Labelstatus")->toolTip(), "Login failed for user 'sa'");
  EXPECT_EQ(f.fake.calls, (std::vector<std::string>{"close", "open"}));
  const DbConnection::Parameters expected = {
      {"Driver", "Some Driver"}, {"HostName", "db1:1433"}, {"OS Authentication", "False"},
      {"Extra", "kept"},         {"Database", "pages"},    {"User_Name", "sa"},
      {"Password", "pw"}};
  EXPECT_EQ(f.fake.opened, expected);
  EXPECT_TRUE(f.messages.texts.isEmpty());

  // Right credentials now: connected; the status goes back on the next showing
  // though the connection stays open.
  f.fake.refusal.clear();
  f.Click("Buttondbtest");
  ASSERT_TRUE(f.WaitForStatus());
  EXPECT_EQ(f.Status(), "Connected");
  EXPECT_TRUE(f.Find<QLabel>("Labelstatus")->toolTip().isEmpty());
  f.dialog.hide();
  f.dialog.show();
  EXPECT_EQ(f.Status(), "not connected");
  EXPECT_TRUE(f.fake.open);
}

TEST(TFormGenset, AConnectionFileThatCannotBeWrittenStopsTheTest) {
  Fixture f;
  f.dialog.Load();
  f.dialog.show();
  Immutable locked(f.dir.path().string());
  if (!locked.ok()) GTEST_SKIP() << "chattr +i is not available here";

  f.Click("Buttondbtest");
  EXPECT_EQ(f.messages.texts, QStringList{QString::fromStdString("error: Unable to write to " +
                                                                 f.paths.dbconnectFile)});
  EXPECT_TRUE(f.fake.calls.empty());
  EXPECT_EQ(f.Status(), "not connected");
  EXPECT_TRUE(f.Find<QPushButton>("Buttondbtest")->isEnabled());
}

TEST(TFormGenset, TheConnectionTestAgainstRealServers) {
  OdbcDbConnection odbc;
  Fixture f(&odbc);
  f.dialog.Load();
  f.dialog.show();
  QLabel* status = f.Find<QLabel>("Labelstatus");

  // Nothing answers: the default driver reports it, and the window is told.
  f.Find<QLineEdit>("Editserver")->setText(QStringLiteral("127.0.0.1,%1").arg(UnusedPort()));
  QElapsedTimer timer;
  timer.start();
  f.Click("Buttondbtest");
  EXPECT_FALSE(f.Find<QPushButton>("Buttondbtest")->isEnabled()) << "one test at a time";
  ASSERT_TRUE(f.WaitForStatus());
  EXPECT_LT(timer.elapsed(), 10000);
  EXPECT_EQ(f.Status(), "Unable to connect");
  EXPECT_FALSE(status->toolTip().isEmpty()) << "the driver's text is kept for the operator";
  EXPECT_FALSE(odbc.IsOpen());
  odbc.Close();  // closing what is not open is harmless

  if (!OdbcDriverInstalled("PostgreSQL Unicode")) GTEST_SKIP() << "no PostgreSQL ODBC driver";
  LoopbackPostgres server;
  ASSERT_TRUE(server.ok()) << server.problem();
  // The test keeps a Driver key of the operator's, as any key but its five.
  WriteFile(f.paths.dbconnectFile, "[MSSQLVeltraneLite]\nDriver=PostgreSQL Unicode\n");
  f.Find<QLineEdit>("Editserver")->setText(QStringLiteral("127.0.0.1:%1").arg(server.port()));
  f.Find<QLineEdit>("Editdatabase")->setText("postgres");
  f.Find<QLineEdit>("Editusername")->setText(LoopbackPostgres::kUser);

  f.Find<QLineEdit>("Editpassword")->setText("wrong");
  f.Click("Buttondbtest");
  ASSERT_TRUE(f.WaitForStatus());
  EXPECT_EQ(f.Status(), "Unable to connect");
  EXPECT_TRUE(status->toolTip().contains("password authentication failed"))
      << status->toolTip().toStdString();

  f.Find<QLineEdit>("Editpassword")->setText(LoopbackPostgres::kPassword);
  f.Click("Buttondbtest");
  ASSERT_TRUE(f.WaitForStatus());
  EXPECT_EQ(f.Status(), "Connected");
  EXPECT_TRUE(odbc.IsOpen());
  EXPECT_TRUE(f.messages.texts.isEmpty());

  f.dialog.hide();
  f.dialog.show();
  EXPECT_EQ(f.Status(), "not connected");
  EXPECT_TRUE(odbc.IsOpen()) << "the connection stays open until the next test";
  odbc.Close();
}

TEST(TFormGenset, ScreenshotsOfBothPages) {
  Fixture f;
  f.dialog.Load();
  f.dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.dialog));
  QTabWidget* pages = f.Find<QTabWidget>("PageControl1");
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(QString(pages->tabText(0)).remove('&'), "General settings");
  EXPECT_EQ(QString(pages->tabText(1)).remove('&'), "DB Plugin");
  pages->setCurrentIndex(0);
  EXPECT_TRUE(zf::ui::test::SaveScreenshot(f.dialog, "tformgenset_general"));
  // The header is white from edge to edge, behind its texts as well.
  const QWidget* header = f.Find<QWidget>("Panelheader");
  const QImage picture = f.dialog.grab().toImage();
  for (const QPoint& at : {QPoint(header->width() - 3, 3), QPoint(header->width() / 2, 3)})
    EXPECT_EQ(QColor(picture.pixel(at)), QColor(Qt::white)) << at.x() << "," << at.y();
  pages->setCurrentIndex(1);
  f.Find<QLineEdit>("Editpassword")->setText("secret");
  EXPECT_TRUE(zf::ui::test::SaveScreenshot(f.dialog, "tformgenset_dbplugin"));
}

}  // namespace
}  // namespace zf::ui
