#include "tformgenset.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
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
  f.Find<QComboBox>("ComboBoxdebug")->setCurrentIndex(2);
  f.Find<QSpinBox>("SpinEditmaxlog")->setValue(250);
  f.Find<QLineEdit>("Editlogformat")->setText("yyyy-mm-dd");
  f.Find<QRadioButton>("RadioButtonbrisklet")->setChecked(true);
  f.Find<QLineEdit>("Editserver")->setText("db1,1433");
  f.Find<QLineEdit>("Editdatabase")->setText("pages");
  f.Find<QLineEdit>("Editusername")->setText("sa");
  f.Find<QLineEdit>("Editpassword")->setText("pw");

  f.Click("ButtonOK");
  EXPECT_EQ(f.messages.texts, QStringList{kRestart});
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

TEST(TFormGenset, ScreenshotsOfBothPages) {
  Fixture f;
  f.dialog.Load();
  f.dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f.dialog));
  QTabWidget* pages = f.Find<QTabWidget>("PageControl1");
  ASSERT_EQ(pages->count(), 2);
  EXPECT_EQ(pages->tabText(0), "General settings");
  EXPECT_EQ(pages->tabText(1), "DB Plugin");
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
