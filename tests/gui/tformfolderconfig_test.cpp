#include "tformfolderconfig.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <thread>

#include "config/configpaths.h"
#include "config/queuefile.h"
#include "dialogsize.h"
#include "engine/enginehost.h"
#include "engine/renamethread.h"
#include "exprlib/loadedexpressionlibrary.h"
#include "ftp/ftpsession.h"
#include "guitestkit.h"
#include "messages.h"
#include "platform/fileaccess.h"
#include "tempdir.h"
#include "testbenchpanel.h"
#include "tformedtrans.h"
#include "tformnewqueue.h"
#include "tformsetupreg.h"

namespace zf::ui {
namespace {

using zf::test::TempDir;

// A control by its name; a missing one fails the test instead of crashing it.
template <class T>
T* Find(QObject& parent, const char* name) {
  T* found = parent.findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) throw std::runtime_error(std::string("no control ") + name);
  return found;
}

QueueRecord Queue(const std::string& name, const std::string& input) {
  QueueRecord r;
  r.name = name;
  r.Inputfolder = input;
  r.Outputfolder = "/out/" + name;
  r.Searchmask = "*.pdf";
  r.ignoremask = "none";
  r.Enabledatstart = true;
  r.Enabled = true;
  r.FTPPort = 21;
  r.filetimetype = 2;
  r.Maxentries = 10000;
  r.dailyhour = 1;
  r.dailyminute = 1;
  r.transdatefrom = "ddmmyyyy";
  r.NRegularexpr = 2;
  r.rule(1) = Rule{name + "(.*)", "\\1.pdf", true, "\\2"};
  r.rule(2) = Rule{"second", "2nd", false, ""};
  return r;
}

class FolderConfig : public testing::Test {
 protected:
  FolderConfig() {
    paths.queueFile = dir / "Zentrafold.ini";
    paths.settingsFile = dir / "Zentrafold-settings.ini";
    paths.dbconnectFile = dir / "dbconnect.ini";
  }

  // Puts the queues in the table and the file, as after a start-up.
  void Seed(const std::vector<QueueRecord>& queues) {
    for (const QueueRecord& q : queues) {
      ASSERT_TRUE(table
                      .Append([&](QueueRecord& r) {
                        r = q;
                        r.FTPsession = std::make_shared<FtpSession>();
                      })
                      .ok());
    }
    ASSERT_TRUE(QueueConfigFile(paths.queueFile).Save(table).ok());
    QueueConfigFile(paths.queueFile).Load(table);
  }

  TFormFolderconfig& Open() {
    dialog = std::make_unique<TFormFolderconfig>(table, paths, messages);
    dialog->execDialog = [this](QDialog& d) {
      ++shown;
      if (answer) answer(d);
      return accept ? QDialog::Accepted : QDialog::Rejected;
    };
    dialog->show();
    return *dialog;
  }

  template <class T>
  T* C(const char* name) {
    return Find<T>(*dialog, name);
  }
  void Click(const char* button) { C<QPushButton>(button)->click(); }
  void SetText(const char* box, const QString& text) { C<QLineEdit>(box)->setText(text); }
  QString Text(const char* box) { return C<QLineEdit>(box)->text(); }
  QListWidget* List() { return C<QListWidget>("ListViewfolders"); }
  QStringList ListNames() {
    QStringList names;
    for (int i = 0; i < List()->count(); ++i) names << List()->item(i)->text();
    return names;
  }
  std::vector<std::string> TableNames() {
    std::vector<std::string> names;
    for (int i = 1; i <= table.Nfolders(); ++i) names.push_back(table.Get(i).name);
    return names;
  }
  void Select(int row) { List()->setCurrentRow(row); }
  std::unique_ptr<QueueTable> FileTable() {
    auto fromFile = std::make_unique<QueueTable>();
    QueueConfigFile(paths.queueFile).Load(*fromFile);
    return fromFile;
  }

  TempDir dir;
  ConfigPaths paths;
  QueueTable table;
  RecordingMessages messages;
  std::unique_ptr<TFormFolderconfig> dialog;
  int shown = 0;  // small dialogs shown
  bool accept = true;
  std::function<void(QDialog&)> answer;
};

TEST_F(FolderConfig, OpeningShowsTheFirstQueueAndEveryControlCarriesItsField) {
  QueueRecord a = Queue("A", "/in/a");
  a.FTPuse = true;
  a.FTPhost = "ftp.example";
  a.FTPpath = "/drop";
  a.FTPuser = "anna";
  a.FTPpasw = "secret";
  a.FTPPort = 2121;
  a.FTPpassive = true;
  a.FTPTemppath = "/tmp/ftp";
  a.Errorfolder = "/err";
  a.Splitpdf = true;
  a.Collision = kCollisionToError;
  a.Makelog = true;
  a.Logfile = "/logs";
  a.logtype = 1;
  a.newonstart = true;
  a.daily = false;
  a.dailyhour = 5;
  a.dailyminute = 7;
  a.newonmax = true;
  a.Maxentries = 500;
  a.transdatefrom = "yyyymmdd";
  a.translationresult = "%P%D";
  a.Ntranslations = 1;
  a.translation(1) = Translation{"$1", "N", "North", "Location"};
  a.Normalize = true;
  a.Checkpdfpasses = 3;
  a.Readyfile = "{base}.rdy";
  Seed({a, Queue("B", "/in/b")});
  Open();

  EXPECT_EQ(dialog->windowTitle(), "Input queue configuration");
  EXPECT_EQ(ListNames(), (QStringList{"A", "B"}));
  EXPECT_EQ(List()->currentRow(), 0);
  auto* pages = C<QTabWidget>("PageControl1");
  EXPECT_FALSE(pages->isTabVisible(3));  // Logging
  EXPECT_FALSE(pages->isTabVisible(4));  // Translations
  EXPECT_EQ(C<QGroupBox>("GroupBoxtest")->title(), "Test system");
  EXPECT_NE(qobject_cast<QVBoxLayout*>(C<QGroupBox>("GroupBoxtest")->layout()), nullptr);

  EXPECT_EQ(Text("Editfoldername"), "A");
  EXPECT_EQ(Text("Editerrorfolder"), "/err");
  EXPECT_EQ(Text("Edithost"), "ftp.example");
  EXPECT_EQ(Text("Editftpport"), "2121");
  EXPECT_TRUE(C<QCheckBox>("CheckBoxpassive")->isChecked());
  EXPECT_TRUE(C<QRadioButton>("RadioButtonxml")->isChecked());
  EXPECT_EQ(C<QTimeEdit>("DateTimePickerlogrestart")->time(), QTime(5, 7, 0));
  EXPECT_FALSE(C<QCheckBox>("CheckBoxdaily")->isChecked());
  EXPECT_EQ(Text("Editmaxentries"), "500");
  EXPECT_EQ(C<QTreeWidget>("ListViewtranslate")->topLevelItem(0)->text(2), "North");
  EXPECT_EQ(C<QTreeWidget>("ListViewreg")->topLevelItem(0)->text(2), "Yes");
  EXPECT_EQ(C<QLineEdit>("Edittfppassword")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(C<QComboBox>("ComboBoxcollision")->currentIndex(), kCollisionToError);

  // What the controls show is what Apply writes back: nothing is lost on the
  // hidden pages, and fields the dialog never shows are kept.
  const QueueRecord shownA = dialog->ShownQueue();
  EXPECT_EQ(shownA.FTPpasw, "secret");
  Click("Buttonapply");
  const QueueRecord stored = table.Get(1);
  EXPECT_EQ(stored.FTPpasw, "secret");
  EXPECT_EQ(stored.FTPPort, 2121);
  EXPECT_TRUE(stored.FTPpassive);
  EXPECT_EQ(stored.Logfile, "/logs");
  EXPECT_EQ(stored.logtype, 1);
  EXPECT_EQ(stored.dailyhour, 5);
  EXPECT_EQ(stored.dailyminute, 7);
  EXPECT_FALSE(stored.daily);
  EXPECT_EQ(stored.Maxentries, 500);
  EXPECT_EQ(stored.Collision, kCollisionToError);
  EXPECT_EQ(stored.transdatefrom, "yyyymmdd");
  EXPECT_EQ(stored.translationresult, "%P%D");
  EXPECT_EQ(stored.Ntranslations, 1);
  EXPECT_EQ(stored.translation(1).tostr, "North");
  EXPECT_EQ(stored.rule(1).trans, "\\2");
  EXPECT_TRUE(stored.rule(1).partial);
  EXPECT_TRUE(stored.Normalize);
  EXPECT_FALSE(stored.Checkpdf);
  EXPECT_EQ(stored.Checkpdfpasses, 3);
  EXPECT_EQ(stored.Readyfile, "{base}.rdy");
}

TEST_F(FolderConfig, ApplyUnderANewNameAddsAQueueAndTheShownOneKeepsItsValues) {
  QueueRecord a = Queue("A", "/in/a");
  a.Enabledatstart = false;  // loaded switched off
  Seed({a, Queue("B", "/in/b")});
  ASSERT_FALSE(table.Get(1).Enabled);
  Open();

  SetText("Editfoldername", "C");
  SetText("Editinputfolder", "/in/c");
  Click("Buttonapply");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(table.Get(1).Inputfolder, "/in/a");
  EXPECT_FALSE(table.Get(1).Enabled);
  const QueueRecord c = table.Get(3);
  EXPECT_EQ(c.Inputfolder, "/in/c");
  EXPECT_EQ(c.Outputfolder, "/out/A");
  EXPECT_EQ(c.NRegularexpr, 2);
  EXPECT_EQ(c.rule(1).match, "A(.*)");
  EXPECT_TRUE(c.Enabled);
  EXPECT_EQ(ListNames(), (QStringList{"A", "B", "C"}));
  EXPECT_TRUE(List()->selectedItems().isEmpty());
  EXPECT_EQ(Text("Editfoldername"), "C");  // the controls keep what was applied

  // Applying a queue that starts switched off still switches it on now.
  Select(0);
  Click("Buttonapply");
  EXPECT_TRUE(table.Get(1).Enabled);
  EXPECT_FALSE(table.Get(1).Enabledatstart);

  // An empty name stores nothing but rebuilds the list.
  Select(1);
  SetText("Editfoldername", "");
  SetText("Editinputfolder", "/elsewhere");
  Click("Buttonapply");
  EXPECT_EQ(table.Nfolders(), 3);
  EXPECT_EQ(table.Get(2).Inputfolder, "/in/b");
  EXPECT_TRUE(messages.texts.isEmpty());
}

TEST_F(FolderConfig, NewCopiesTheShownValuesWithUnappliedEditsAndRefusesATakenName) {
  Seed({Queue("A", "/in/a"), Queue("B", "/in/b")});
  Open();
  SetText("Editoutputfolder", "/out/edited");  // not applied
  QString proposed;
  answer = [&](QDialog& d) {
    auto& prompt = dynamic_cast<TFormnewqueue&>(d);
    proposed = prompt.Name();
    Find<QLineEdit>(prompt, "Edit1")->setText("D");
  };
  Click("Buttonnew");
  EXPECT_EQ(proposed, "new input3");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A", "B", "D"}));
  EXPECT_EQ(table.Get(3).Outputfolder, "/out/edited");
  EXPECT_EQ(table.Get(3).Inputfolder, "/in/a");
  EXPECT_EQ(table.Get(3).rule(1).match, "A(.*)");
  // A new queue holds back the junk of desktop clients; the others keep their mask.
  EXPECT_EQ(table.Get(3).ignoremask, kJunkIgnoremask);
  EXPECT_EQ(table.Get(1).ignoremask, "none");
  EXPECT_EQ(table.Get(1).Outputfolder, "/out/A");
  // A new queue waits for complete PDFs; the shown one keeps its choice.
  EXPECT_TRUE(table.Get(3).Checkpdf);
  EXPECT_FALSE(table.Get(1).Checkpdf);
  EXPECT_EQ(List()->currentRow(), 2);
  EXPECT_EQ(Text("Editfoldername"), "D");

  // A taken name is refused; one that differs in case only is a new queue.
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edit1")->setText("A"); };
  Click("Buttonnew");
  EXPECT_EQ(messages.texts, QStringList{"error: This queue allready exists"});
  EXPECT_EQ(table.Nfolders(), 3);
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edit1")->setText("a"); };
  Click("Buttonnew");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A", "B", "D", "a"}));

  // Cancel in the prompt does nothing.
  accept = false;
  Click("Buttonnew");
  EXPECT_EQ(table.Nfolders(), 4);
}

TEST_F(FolderConfig, DeleteInTheMiddleMovesLaterQueuesDownAndShowsTheLastOne) {
  Seed({Queue("A", "/in/a"), Queue("B", "/in/b"), Queue("C", "/in/c")});
  Open();
  const std::uint64_t uidC = table.Get(3).uid;
  Select(1);
  messages.answers << QMessageBox::Yes;  // "Delete the input queue ...?"
  Click("Buttondelete");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(table.Get(2).uid, uidC);
  EXPECT_EQ(List()->currentRow(), 1);
  EXPECT_EQ(Text("Editfoldername"), "C");
  EXPECT_EQ(Text("Editinputfolder"), "/in/c");

  messages.answers << QMessageBox::Yes;  // "Delete the input queue ...?"
  Click("Buttondelete");                 // the last slot: only the count drops
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A"}));
  EXPECT_EQ(Text("Editfoldername"), "A");

  List()->clearSelection();
  Click("Buttondelete");  // nothing selected: nothing happens
  EXPECT_EQ(table.Nfolders(), 1);
}

TEST_F(FolderConfig, AQueueAppendedIntoAReusedSlotStartsFromTheLoadDefaultsWithItsOwnClient) {
  QueueRecord b = Queue("B", "/in/b");
  b.useplugin = 2;
  b.HostName = "db";
  b.transdateto = "yy";
  Seed({Queue("A", "/in/a"), b});
  Open();
  const auto oldClients = std::vector{table.Get(1).FTPsession, table.Get(2).FTPsession};
  Select(1);
  messages.answers << QMessageBox::Yes;  // "Delete the input queue ...?"
  Click("Buttondelete");
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edit1")->setText("X"); };
  Click("Buttonnew");
  const QueueRecord x = table.Get(2);
  EXPECT_EQ(x.name, "X");
  EXPECT_EQ(x.useplugin, 0);
  EXPECT_EQ(x.HostName, "");
  EXPECT_EQ(x.transdateto, "ddmmyyyy");
  ASSERT_NE(x.FTPsession, nullptr);
  EXPECT_NE(x.FTPsession, oldClients[0]);
  EXPECT_NE(x.FTPsession, oldClients[1]);
}

TEST_F(FolderConfig, AFullTableRefusesNewAndApplyUnderANewName) {
  std::vector<QueueRecord> queues;
  for (int i = 1; i <= QueueTable::kSlots; ++i)
    queues.push_back(Queue("Q" + std::to_string(i), ""));
  Seed(queues);
  Open();
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edit1")->setText("one more"); };
  Click("Buttonnew");
  SetText("Editfoldername", "another");
  Click("Buttonapply");
  EXPECT_EQ(table.Nfolders(), 100);
  ASSERT_EQ(messages.texts.size(), 2);
  EXPECT_TRUE(messages.texts[0].startsWith("error: The queue table is full"))
      << messages.texts[0].toStdString();
}

TEST_F(FolderConfig, OkWritesTheTableWithoutUnappliedEdits) {
  Seed({Queue("A", "/in/a"), Queue("B", "/in/b")});
  Open();
  SetText("Editinputfolder", "/in/applied");
  Click("Buttonapply");
  Select(1);
  SetText("Editinputfolder", "/in/not-applied");
  Click("ButtonOK");
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_FALSE(dialog->isVisible());
  const auto file = FileTable();
  EXPECT_EQ(file->Get(1).Inputfolder, "/in/applied");
  EXPECT_EQ(file->Get(2).Inputfolder, "/in/b");
}

TEST_F(FolderConfig, CancelAfterApplyNewAndDeleteBringsBackTheFile) {
  QueueRecord c = Queue("C", "/in/c");
  c.Enabledatstart = false;
  Seed({Queue("A", "/in/a"), Queue("B", "/in/b"), c});
  Open();
  Select(2);
  Click("Buttonapply");  // switches C on
  ASSERT_TRUE(table.Get(3).Enabled);
  Select(0);
  SetText("Editinputfolder", "/in/changed");
  Click("Buttonapply");
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edit1")->setText("N"); };
  Click("Buttonnew");
  Select(1);
  messages.answers << QMessageBox::Yes;  // "Delete the input queue ...?"
  Click("Buttondelete");
  ASSERT_EQ(TableNames(), (std::vector<std::string>{"A", "C", "N"}));

  Click("ButtonCancel");
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(table.Get(1).Inputfolder, "/in/a");
  EXPECT_FALSE(table.Get(3).Enabled);  // as at start-up
}

TEST_F(FolderConfig, TheTitleBarBoxKeepsAppliedValuesInTheRunButNotInTheFile) {
  Seed({Queue("A", "/in/a")});
  Open();
  SetText("Editinputfolder", "/in/applied");
  Click("Buttonapply");
  dialog->close();
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(table.Get(1).Inputfolder, "/in/applied");
  EXPECT_EQ(FileTable()->Get(1).Inputfolder, "/in/a");
}

TEST_F(FolderConfig, RuleListOperationsKeepTheSelectionOnItsPosition) {
  QueueRecord a = Queue("A", "");
  a.NRegularexpr = 5;
  for (int k = 1; k <= 5; ++k) a.rule(k) = Rule{"m" + std::to_string(k), "f", false, ""};
  Seed({a});
  Open();
  auto* rules = C<QTreeWidget>("ListViewreg");
  auto matches = [&] {
    QStringList m;
    for (int i = 0; i < rules->topLevelItemCount(); ++i) m << rules->topLevelItem(i)->text(0);
    return m;
  };
  auto selectRule = [&](int row) { rules->setCurrentItem(rules->topLevelItem(row)); };

  selectRule(2);
  Click("Buttonup");
  EXPECT_EQ(matches(), (QStringList{"m1", "m3", "m2", "m4", "m5"}));
  EXPECT_EQ(rules->indexOfTopLevelItem(rules->currentItem()), 2);
  Click("Buttondown");
  EXPECT_EQ(matches(), (QStringList{"m1", "m3", "m4", "m2", "m5"}));
  selectRule(0);
  Click("Buttonup");  // first row: nothing
  selectRule(4);
  Click("Buttondown");  // last row: nothing
  EXPECT_EQ(matches(), (QStringList{"m1", "m3", "m4", "m2", "m5"}));

  // Add starts from the selected row and appends; the selection stays.
  TFormsetupreg::Values seen;
  answer = [&](QDialog& d) {
    auto& editor = dynamic_cast<TFormsetupreg&>(d);
    seen = editor.GetValues();
    Find<QLineEdit>(editor, "Editmath")->setText("new");
    Find<QCheckBox>(editor, "CheckBoxpatial")->setChecked(true);
  };
  Click("Buttonaddreg");
  EXPECT_EQ(seen.match, "m5");
  EXPECT_EQ(matches(), (QStringList{"m1", "m3", "m4", "m2", "m5", "new"}));
  EXPECT_EQ(rules->topLevelItem(5)->text(2), "Yes");
  EXPECT_EQ(rules->indexOfTopLevelItem(rules->currentItem()), 4);

  // Edit overwrites the selected row; a double-click does the same.
  selectRule(0);
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Editformat")->setText("edited"); };
  Click("Buttoneditreg");
  EXPECT_EQ(rules->topLevelItem(0)->text(1), "edited");
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edittrans")->setText("\\1"); };
  Q_EMIT rules->itemDoubleClicked(rules->topLevelItem(0), 0);
  EXPECT_EQ(rules->topLevelItem(0)->text(3), "\\1");

  // Delete removes the selected row and leaves nothing selected.
  selectRule(1);
  Click("Buttondeletereg");
  EXPECT_EQ(matches(), (QStringList{"m1", "m4", "m2", "m5", "new"}));
  EXPECT_TRUE(rules->selectedItems().isEmpty());
  const int before = shown;
  Click("Buttoneditreg");
  Click("Buttondeletereg");
  EXPECT_EQ(shown, before);
  EXPECT_EQ(rules->topLevelItemCount(), 5);

  // Only the exact text "Yes" reads as a partial match.
  rules->topLevelItem(0)->setText(2, "yes");
  rules->topLevelItem(1)->setText(2, "YES");
  rules->topLevelItem(2)->setText(2, "Yes");
  Click("Buttonapply");
  const QueueRecord stored = table.Get(1);
  EXPECT_EQ(stored.NRegularexpr, 5);
  EXPECT_FALSE(stored.rule(1).partial);
  EXPECT_FALSE(stored.rule(2).partial);
  EXPECT_TRUE(stored.rule(3).partial);
  EXPECT_EQ(stored.rule(5).match, "new");
}

TEST_F(FolderConfig, TheRuleListHoldsAtMost200Rows) {
  QueueRecord a = Queue("A", "");
  a.NRegularexpr = 200;
  for (int k = 1; k <= 200; ++k) a.rule(k) = Rule{"m" + std::to_string(k), "f", false, ""};
  Seed({a});
  Open();
  Click("Buttonaddreg");
  EXPECT_EQ(shown, 0);
  EXPECT_EQ(messages.texts, QStringList{"info: maximum number of expressions are 200"});
  auto* rules = C<QTreeWidget>("ListViewreg");
  EXPECT_EQ(rules->topLevelItemCount(), 200);
  rules->setCurrentItem(rules->topLevelItem(0));
  Click("Buttondeletereg");
  Click("Buttonaddreg");  // 199 rows: the editor opens
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(rules->topLevelItemCount(), 200);
}

TEST_F(FolderConfig, TranslationListOperations) {
  QueueRecord a = Queue("A", "");
  a.Ntranslations = 2;
  a.translation(1) = Translation{"$1", "N", "North", "Location"};
  a.translation(2) = Translation{"$99", "x", "y", "Nothing"};
  Seed({a});
  Open();
  auto* list = C<QTreeWidget>("ListViewtranslate");
  list->setCurrentItem(list->topLevelItem(1));
  TFormedtrans::Values seen;
  answer = [&](QDialog& d) { seen = dynamic_cast<TFormedtrans&>(d).GetValues(); };
  Click("Buttonaddtrans");
  // Texts that are none of the lists' entries leave them unselected.
  EXPECT_EQ(seen.format, "");
  EXPECT_EQ(seen.definition, "");
  EXPECT_EQ(seen.fromstr, "x");
  ASSERT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(list->topLevelItem(2)->text(0), "");

  list->setCurrentItem(list->topLevelItem(0));
  answer = [](QDialog& d) { Find<QComboBox>(d, "ComboBoxparm")->setCurrentText("$20"); };
  Click("Buttonedittrans");
  EXPECT_EQ(list->topLevelItem(0)->text(0), "$20");
  EXPECT_EQ(list->topLevelItem(0)->text(3), "Location");
  Click("Buttondeletetrans");
  EXPECT_EQ(list->topLevelItemCount(), 2);
  Click("Buttonapply");
  EXPECT_EQ(table.Get(1).Ntranslations, 2);
  EXPECT_EQ(table.Get(1).translation(1).fromstr, "x");
}

TEST_F(FolderConfig, ButtonGroupsOutOfRangeShowTheLastOrNoneAndStoreBack) {
  QueueRecord high = Queue("high", "");
  high.filetimetype = 7;
  high.logtype = 5;
  QueueRecord negative = Queue("negative", "");
  negative.filetimetype = -3;
  negative.logtype = -1;
  Seed({high, negative});
  Open();
  EXPECT_TRUE(C<QRadioButton>("RadioButtonlastwrite")->isChecked());
  EXPECT_TRUE(C<QRadioButton>("RadioButtonxml")->isChecked());
  Click("Buttonapply");
  EXPECT_EQ(table.Get(1).filetimetype, 2);
  EXPECT_EQ(table.Get(1).logtype, 1);

  Select(1);
  for (const char* b : {"RadioButtoncreation", "RadioButtonlastaccess", "RadioButtonlastwrite",
                        "RadioButtoncomma", "RadioButtonxml"}) {
    EXPECT_FALSE(C<QRadioButton>(b)->isChecked()) << b;
  }
  Click("Buttonapply");
  EXPECT_EQ(table.Get(2).filetimetype, -1);
  EXPECT_EQ(table.Get(2).logtype, -1);
}

TEST_F(FolderConfig, UseFtpEnablesTheServerFieldsButNeverTheTempFolder) {
  QueueRecord ftp = Queue("ftp", "");
  ftp.FTPuse = true;
  Seed({Queue("local", ""), ftp});
  Open();
  const char* serverFields[] = {"Edithost",        "Editftppath", "Editusername",
                                "Edittfppassword", "Editftpport", "Button5"};
  auto expectServerFields = [&](bool enabled) {
    for (const char* name : serverFields) {
      EXPECT_EQ(Find<QWidget>(*dialog, name)->isEnabled(), enabled) << name;
    }
    EXPECT_TRUE(C<QLineEdit>("Edittempftp")->isEnabled());
    EXPECT_TRUE(C<QPushButton>("Buttonbrowsetemp")->isEnabled());
  };
  expectServerFields(false);
  Select(1);
  expectServerFields(true);
  C<QCheckBox>("CheckBoxuseftp")->click();
  expectServerFields(false);
  C<QCheckBox>("CheckBoxuseftp")->click();
  expectServerFields(true);
  Select(0);
  expectServerFields(false);

  // The test button hands over the queue as shown, stored or not.
  Select(1);
  SetText("Edithost", "typed.example");
  QueueRecord tested;
  dialog->ftpTest = [&](const QueueRecord& shownQueue) {
    tested = shownQueue;
    return std::string();
  };
  Click("Button5");
  EXPECT_EQ(tested.FTPhost, "typed.example");
  EXPECT_EQ(table.Get(2).FTPhost, "");
}

TEST_F(FolderConfig, NumberBoxesAreCheckedBeforeAnythingIsStored) {
  Seed({Queue("A", "/in/a")});
  Open();
  SetText("Editinputfolder", "/in/new");
  for (const char* text : {"2l", " 21", "0x15", "99999999999"}) {
    SetText("Editftpport", text);
    Click("Buttonapply");
  }
  SetText("Editftpport", "21");
  SetText("Editmaxentries", "ten");
  Click("Buttonapply");
  EXPECT_EQ(messages.texts, (QStringList{"error: '2l' is not a valid integer value",
                                         "error: ' 21' is not a valid integer value",
                                         "error: '0x15' is not a valid integer value",
                                         "error: '99999999999' is not a valid integer value",
                                         "error: 'ten' is not a valid integer value"}));
  EXPECT_EQ(table.Get(1).Inputfolder, "/in/a");

  // An empty box takes the load default.
  SetText("Editftpport", "");
  SetText("Editmaxentries", "");
  Click("Buttonapply");
  EXPECT_EQ(table.Get(1).Inputfolder, "/in/new");
  EXPECT_EQ(table.Get(1).FTPPort, 21);
  EXPECT_EQ(table.Get(1).Maxentries, 10000);
}

TEST_F(FolderConfig, ADailyTimeBeyondThePickerShowsTheNearestValidTimeAndSaysSo) {
  QueueRecord a = Queue("A", "");
  a.dailyhour = 30;
  a.dailyminute = 75;
  a.Maxentries = 42;  // loaded after the time, so it must still arrive
  Seed({a});
  Open();
  EXPECT_EQ(C<QTimeEdit>("DateTimePickerlogrestart")->time(), QTime(23, 59, 0));
  EXPECT_EQ(Text("Editmaxentries"), "42");
  ASSERT_EQ(messages.texts.size(), 1);
  EXPECT_TRUE(messages.texts[0].contains("30:75")) << messages.texts[0].toStdString();
  EXPECT_TRUE(messages.texts[0].contains("23:59")) << messages.texts[0].toStdString();
  Click("Buttonapply");
  EXPECT_EQ(table.Get(1).dailyhour, 23);
  EXPECT_EQ(table.Get(1).dailyminute, 59);
}

TEST_F(FolderConfig, ASearchMaskWithASemicolonIsExplainedUnderTheField) {
  QueueRecord a = Queue("A", "");
  a.Searchmask = "*.eps;*.ps";
  Seed({a, Queue("B", "")});
  Open();
  auto* note = C<QLabel>("Labelsearchmasknote");
  auto* mask = C<QComboBox>("ComboBoxsearchmask");
  EXPECT_TRUE(note->isVisible());
  EXPECT_EQ(mask->findText("*.eps;*.ps"), 3);
  Select(1);
  EXPECT_FALSE(note->isVisible());
  mask->setEditText("a;b");
  EXPECT_TRUE(note->isVisible());
  mask->setEditText("*.tif");
  EXPECT_FALSE(note->isVisible());
}

TEST_F(FolderConfig, BrowseButtonsFillTheirBoxFromThePicker) {
  Seed({Queue("A", "/in/a")});
  Open();
  Click("Buttonbrowseinput");  // no picker: nothing
  EXPECT_EQ(Text("Editinputfolder"), "/in/a");
  std::optional<QString> picked = QStringLiteral("/picked/one");
  QStringList starts;
  dialog->browseFolder = [&](const QString& start) {
    starts << start;
    return picked;
  };
  Click("Buttonbrowseoutput");
  EXPECT_EQ(Text("Editoutputfolder"), "/picked/one");
  picked.reset();  // the picker's Cancel
  Click("Buttonbrowseerror");
  EXPECT_EQ(Text("Editerrorfolder"), "");
  picked = QStringLiteral("/picked/two");
  Click("Buttonbrowsetemp");
  EXPECT_EQ(Text("Edittempftp"), "/picked/two");
  EXPECT_EQ(starts, (QStringList{"", "/picked/one", "/picked/one"}));
}

// An engine that passes over the table as fast as it can while the dialog
// applies, appends, deletes and reloads: every record it reads must be whole.
class FastHost final : public EngineHost {
 public:
  explicit FastHost(QueueTable& table) : table_(table) {}
  bool SwitchedOn() override { return true; }
  int BrowseTime() override { return 1; }
  int StableTime() override { return 1; }
  QueueTable& Queues() override { return table_; }
  void CycleProgress(int) override {}
  void CycleProgressFull() override { ++passes; }
  void QueueIconChanged(int, QueueIcon) override {}
  void RefreshQueueList() override {}
  void FtpProgress(int) override {}
  std::atomic<int> passes{0};

 private:
  QueueTable& table_;
};

class NoWaitClock final : public Clock {
 public:
  TDateTime Now() override { return 45000.0; }
  void SleepMs(int) override { std::this_thread::yield(); }
};

TEST_F(FolderConfig, EditsWhileTheEngineRunsLeaveItAWholeTable) {
  std::vector<QueueRecord> queues;
  for (const char* name : {"A", "B", "C"}) {
    std::filesystem::create_directories(dir / name);
    queues.push_back(Queue(name, dir / name));
  }
  Seed(queues);
  FastHost host(table);
  SystemFileAccess files;
  NoWaitClock clock;
  std::shared_ptr<EngineControl> control = Trenamethread::Start({host, files, clock});
  auto waitPasses = [&](int more) {
    const int target = host.passes.load() + more;
    QTRY_VERIFY_WITH_TIMEOUT(host.passes.load() >= target, 10000);
  };
  Open();
  answer = [](QDialog& d) { Find<QLineEdit>(d, "Edit1")->setText("N"); };
  for (int round = 0; round < 20; ++round) {
    Select(0);
    SetText("Editinputfolder", QString::fromStdString(dir / "B"));
    Click("Buttonapply");
    Click("Buttonnew");
    Select(1);
    messages.answers << QMessageBox::Yes;  // "Delete the input queue ...?"
    Click("Buttondelete");
    waitPasses(1);
    dialog->reject();  // reload from the file
    dialog->show();
  }
  waitPasses(2);
  control->stop = true;
  QTRY_VERIFY_WITH_TIMEOUT(control->finished.load(), 10000);
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(table.Get(1).Inputfolder, dir / "A");
}

class NoSink final : public LoadMessageSink {
 public:
  void ShowInformation(const std::string&) override {}
};

// The real test bench in the dialog, over the library the build made.
TestBenchPanel* AddBench(TFormFolderconfig& dialog, RecordingMessages& messages) {
  NoSink sink;
  static auto library = LoadedExpressionLibrary::Load(std::getenv("ZF_BIN_DIR"), sink);
  auto* bench = new TestBenchPanel(
      *library, [&dialog] { return dialog.ShownQueue(); }, messages);
  dialog.SetTestBench(bench);
  return bench;
}

TEST_F(FolderConfig, EnterInATextBoxNeitherClosesNorWritesButTriesTheBenchName) {
  Seed({Queue("A", "/in/a")});
  Open();
  QLineEdit* result = Find<QLineEdit>(*AddBench(*dialog, messages), "Edittestresult");
  const std::string before = zf::test::ReadFile(paths.queueFile);
  for (auto [page, box] : {std::pair{0, "Editfoldername"}, std::pair{0, "Editerrorfolder"},
                           std::pair{2, "Edittempftp"}, std::pair{1, "Edittestreginput"}}) {
    C<QTabWidget>("PageControl1")->setCurrentIndex(page);
    C<QLineEdit>(box)->setFocus();
    QTest::keyClicks(C<QLineEdit>(box), "Ax_1.pdf");
    QTest::keyClick(C<QLineEdit>(box), Qt::Key_Return);
    EXPECT_TRUE(dialog->isVisible()) << box;
  }
  EXPECT_EQ(zf::test::ReadFile(paths.queueFile), before);
  EXPECT_EQ(result->text(), "Found a match");  // Enter ran "Test match"
  // A changed rule, or test name, makes that result stale.
  C<QTreeWidget>("ListViewreg")->setCurrentItem(C<QTreeWidget>("ListViewreg")->topLevelItem(1));
  Click("Buttondeletereg");
  EXPECT_EQ(result->text(), "");
  QTest::keyClick(C<QLineEdit>("Edittestreginput"), Qt::Key_Return);
  QTest::keyClick(C<QLineEdit>("Edittestreginput"), Qt::Key_X);
  EXPECT_EQ(result->text(), "");
}

TEST_F(FolderConfig, DeleteAsksNamingTheQueueAndTellsItsButtonFromTheRules) {
  Seed({Queue("A", "/in/a"), Queue("B", "/in/b")});
  Open();
  EXPECT_EQ(C<QPushButton>("Buttondeletereg")->accessibleName(), "Delete rule");
  EXPECT_EQ(C<QPushButton>("Buttondeletereg")->toolTip(), "Delete rule");
  for (auto [answer, left] : {std::pair{QMessageBox::No, std::vector<std::string>{"A", "B"}},
                              std::pair{QMessageBox::Yes, std::vector<std::string>{"A"}}}) {
    messages.texts.clear();
    messages.answers = {answer};
    Select(1);
    Click("Buttondelete");
    EXPECT_EQ(messages.texts, QStringList{"ask: Delete the input queue \"B\"?"});
    EXPECT_EQ(TableNames(), left);
  }
}

TEST_F(FolderConfig, SelectingAnotherQueueWithEditsAsksWhetherToApplyThem) {
  QueueRecord b = Queue("B", "/in/b");
  b.Enabledatstart = false;  // said under its check box
  Seed({Queue("A", "/in/a"), b});
  // Edited first?, the answer, then the queue shown and A's stored input.
  for (auto [edit, answer, shown, storedA] :
       {std::tuple{false, QMessageBox::NoButton, "B", "/in/a"},
        std::tuple{true, QMessageBox::Cancel, "A", "/in/a"},
        std::tuple{true, QMessageBox::Discard, "B", "/in/a"},
        std::tuple{true, QMessageBox::Apply, "B", "/edited"}}) {
    Open();
    messages.texts.clear();
    if (edit) SetText("Editinputfolder", "/edited");
    messages.answers = {answer};
    Select(1);
    EXPECT_EQ(messages.texts.size(), edit ? 1 : 0);
    EXPECT_EQ(Text("Editfoldername"), shown);
    EXPECT_EQ(List()->currentItem()->text(), shown);
    EXPECT_EQ(table.Get(1).Inputfolder, storedA);
    EXPECT_EQ(C<QLabel>("Labelautoenablednote")->isVisible(), shown == std::string("B"));
  }
  EXPECT_EQ(messages.texts, QStringList{"ask: Apply the changes to A?"});
}

TEST_F(FolderConfig, TheRuleListShowsEveryColumnAndTakesTheExtraHeight) {
  QueueRecord a = Queue("A", "/in/a");
  const std::string longText(300, 'x');
  a.rule(1) = Rule{longText, "F" + longText, true, longText};
  Seed({a});
  Open();
  auto* bench = new QPlainTextEdit;  // grows as gladly as the real bench
  dialog->SetTestBench(bench);
  C<QTabWidget>("PageControl1")->setCurrentIndex(1);
  QApplication::processEvents();
  auto* rules = C<QTreeWidget>("ListViewreg");
  for (int c = 0; c < 4; ++c) {
    EXPECT_LE(rules->header()->sectionViewportPosition(c) + rules->header()->sectionSize(c),
              rules->viewport()->width());
    EXPECT_GE(rules->header()->sectionSize(c), 30) << "column " << c;
  }
  EXPECT_EQ(rules->topLevelItem(0)->toolTip(1), QString::fromStdString("F" + longText));
  const QSize before(rules->height(), bench->height());
  dialog->resize(dialog->width(), dialog->height() + 200);
  QApplication::processEvents();
  EXPECT_GE(rules->height() - before.width(), 150);
  EXPECT_LE(bench->height() - before.height(), 50);
}

TEST_F(FolderConfig, MnemonicsAreUniquePerPageAndTabReachesTheBenchBeforeOk) {
  Seed({Queue("A", "/in/a")});
  Open();
  AddBench(*dialog, messages);
  for (int page = 0; page < 3; ++page) {
    C<QTabWidget>("PageControl1")->setCurrentIndex(page);
    std::map<QChar, QString> taken;
    for (QWidget* w : dialog->findChildren<QWidget*>()) {
      auto* label = qobject_cast<QLabel*>(w);
      auto* button = qobject_cast<QAbstractButton*>(w);
      const QString text = button ? button->text() : label && label->buddy() ? label->text() : "";
      if (!w->isVisible() || text.isEmpty() || QStringList{"OK", "Cancel", "▲", "▼"}.contains(text))
        continue;
      const qsizetype at = text.indexOf('&');
      ASSERT_GE(at, 0) << "no mnemonic: " << text.toStdString();
      const QChar key = text.at(at + 1).toUpper();
      EXPECT_FALSE(taken.count(key)) << text.toStdString() << ", " << taken[key].toStdString();
      taken[key] = text;
    }
  }
  QStringList order;
  QWidget* w = C<QListWidget>("ListViewfolders");
  for (int i = 0; i < 500; ++i, w = w->nextInFocusChain()) order << w->objectName();
  const qsizetype bench = order.indexOf("Edittestreginput");
  EXPECT_LT(order.indexOf("Buttondown"), bench);
  EXPECT_LT(bench, order.indexOf("Buttonnew"));
}

TEST_F(FolderConfig, TheDialogFitsTheScreenAndOpensAtTheSizeLastGiven) {
  Seed({Queue("Sport", "/srv/in/sport")});
  Open();
  dialog->hide();
  RememberDialogSize(*dialog, paths.queueFile, "TFormFolderconfig");
  const QSize room = dialog->screen()->availableGeometry().size() - QSize(16, 40);
  // Given by the operator before closing (none at first), then expected.
  for (auto [given, expected] :
       {std::pair{QSize(), QSize(760, 640).boundedTo(room)},
        std::pair{QSize(700, 500), QSize(700, 500)}, std::pair{QSize(5000, 5000), room}}) {
    if (given.isValid()) {
      dialog->show();
      dialog->resize(given);
      dialog->hide();
    }
    dialog->show();
    EXPECT_EQ(dialog->size(), expected);
    if (!given.isValid()) test::SaveScreenshot(*dialog, "tformfolderconfig_fitted");
    dialog->hide();
  }
}

TEST_F(FolderConfig, TheFtpTestRefusesAPortThatIsNoNumber) {
  Seed({Queue("A", "/in/a")});
  Open();
  int tests = 0;
  dialog->ftpTest = [&](const QueueRecord&) {
    ++tests;
    return std::string();
  };
  C<QCheckBox>("CheckBoxuseftp")->click();
  for (const char* port : {"21x", "2121", ""}) {
    SetText("Editftpport", port);
    Click("Button5");
  }
  EXPECT_EQ(tests, 2);
  EXPECT_EQ(messages.texts, QStringList{"error: '21x' is not a valid integer value"});
}

TEST_F(FolderConfig, TheProtocolShowsItsFieldsAndPortAndRoundTripsThroughTheFile) {
  QueueRecord sftp = Queue("sftp", "");
  sftp.FTPuse = true;
  sftp.FTPkeyfile = "keys/pages";
  Seed({Queue("plain", ""), sftp});
  struct Case {
    int from, to;
    QString typed, shown;  // the port box before and after the change
    bool fingerprint, keyFiles;
    QString placeholder;
    std::int32_t stored;
  } cases[] = {
      // A port box holding the last protocol's own port follows the new one.
      {kFtpSftp, kFtpPlain, "22", "21", false, false, "21", 21},
      {kFtpPlain, kFtpExplicitTls, "", "", true, false, "21", 21},
      {kFtpPlain, kFtpImplicitTls, "21", "990", true, false, "990", 990},
      {kFtpImplicitTls, kFtpSftp, "", "", true, true, "22", 22},
      {kFtpPlain, kFtpSftp, "2121", "2121", true, true, "22", 2121},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    Open();
    Select(1);
    C<QTabWidget>("PageControl1")->setCurrentIndex(2);
    auto* protocol = C<QComboBox>("ComboBoxftpprotocol");
    protocol->setCurrentIndex(c.from);
    SetText("Editftpport", c.typed);
    protocol->setCurrentIndex(c.to);
    SetText("Editftpfingerprint", "SHA256:x");
    EXPECT_EQ(Text("Editftpport"), c.shown);
    EXPECT_EQ(C<QLineEdit>("Editftpfingerprint")->isVisible(), c.fingerprint);
    EXPECT_EQ(C<QLineEdit>("Editftpkeyfile")->isVisible(), c.keyFiles);
    EXPECT_EQ(C<QLineEdit>("Editftpknownhosts")->isVisible(), c.keyFiles);
    EXPECT_EQ(C<QLineEdit>("Editftpport")->placeholderText(), c.placeholder);
    Click("Buttonapply");
    Click("ButtonOK");
    const QueueRecord stored = FileTable()->Get(2);
    EXPECT_EQ(stored.FTPprotocol, c.to);
    EXPECT_EQ(stored.FTPPort, c.stored);
    EXPECT_EQ(stored.FTPfingerprint, "SHA256:x");
    EXPECT_EQ(stored.FTPkeyfile, "keys/pages");
  }
}

TEST_F(FolderConfig, ATrustedServerKeyIsAnEditNotYetApplied) {
  QueueRecord tls = Queue("tls", "");
  tls.FTPuse = true;
  tls.FTPprotocol = kFtpExplicitTls;
  Seed({tls, Queue("other", "")});
  Open();
  const std::string pin = "sha256//" + std::string(43, 'A') + "=";
  for (const std::string& trusted : {std::string(), pin}) {
    dialog->ftpTest = [&](const QueueRecord&) { return trusted; };
    Click("Button5");
    EXPECT_EQ(Text("Editftpfingerprint").toStdString(), trusted);
    EXPECT_EQ(table.Get(1).FTPfingerprint, "");
  }
  // Leaving the queue asks about it like any other edit; Apply stores it.
  messages.answers << QMessageBox::Apply;
  Select(1);
  EXPECT_EQ(messages.texts, QStringList{"ask: Apply the changes to tls?"});
  EXPECT_EQ(table.Get(1).FTPfingerprint, pin);
}

TEST_F(FolderConfig, Screenshots) {
  QueueRecord a = Queue("Daily news", "/srv/in/news");
  a.Searchmask = "*.eps;*.ps";
  a.Errorfolder = "/srv/error";
  a.FTPuse = true;
  a.FTPhost = "ftp.example";
  a.FTPuser = "pages";
  a.Ntranslations = 1;
  a.translation(1) = Translation{"$1", "N", "North", "Location"};
  QueueRecord b = Queue("Weekly", "/srv/in/weekly");
  b.Enabledatstart = false;
  Seed({a, b});
  Open();
  dialog->resize(900, 600);
  auto* pages = C<QTabWidget>("PageControl1");
  const char* names[] = {"folderconfig_folder", "folderconfig_regexp", "folderconfig_ftp",
                         "folderconfig_logging", "folderconfig_translations"};
  for (int i = 0; i < 5; ++i) {
    pages->setTabVisible(i, true);  // the hidden pages only for the picture
    pages->setCurrentIndex(i);
    EXPECT_TRUE(test::SaveScreenshot(*dialog, names[i]));
  }
  dialog->RuleEditor().SetValues({"(\\w+)_(\\d+)", "\\1-\\2.pdf", true, "\\2"});
  EXPECT_TRUE(test::SaveScreenshot(dialog->RuleEditor(), "tformsetupreg"));
  dialog->TranslationEditor().SetValues({"$3", "N", "North", "Location"});
  EXPECT_TRUE(test::SaveScreenshot(dialog->TranslationEditor(), "tformedtrans"));
  dialog->NewQueuePrompt().SetName("new input3");
  EXPECT_TRUE(test::SaveScreenshot(dialog->NewQueuePrompt(), "tformnewqueue"));
}

}  // namespace
}  // namespace zf::ui
