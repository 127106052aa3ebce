#include "tformselectfolder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>
#include <filesystem>

#include "guitestkit.h"
#include "immutable.h"
#include "messages.h"
#include "tempdir.h"

namespace zf::ui {
namespace {

namespace fs = std::filesystem;
using zf::test::Immutable;
using zf::test::TempDir;

QString Q(const fs::path& path) {
  return QString::fromStdString(path.string());
}

QStringList Children(TFormSelectfolder& picker) {
  QStringList names;
  const QTreeWidgetItem* item = picker.findChild<QTreeWidget*>("ShellTreeView1")->currentItem();
  for (int i = 0; item != nullptr && i < item->childCount(); ++i) names << item->child(i)->text(0);
  return names;
}

TEST(CreateNumberedFolder, CountsUpPastTakenNamesOnly) {
  TempDir dir;
  for (const char* expected : {"New Folder", "New Folder(1)", "New Folder(2)"}) {
    const Result<std::string> created = CreateNumberedFolder(dir.path().string());
    ASSERT_TRUE(created.ok()) << created.status().message();
    EXPECT_EQ(*created, expected);
    EXPECT_TRUE(fs::is_directory(dir.path() / expected));
  }
  // A gap is filled; a file of the name counts as taken too.
  fs::remove(dir.path() / "New Folder(1)");
  EXPECT_EQ(*CreateNumberedFolder(dir.path().string() + "/"), "New Folder(1)");
  zf::test::WriteFile(dir.path() / "New Folder(3)", "");
  EXPECT_EQ(*CreateNumberedFolder(dir.path().string()), "New Folder(4)");
}

TEST(CreateNumberedFolder, StopsAtTheFirstRefusalThatIsNotATakenName) {
  TempDir dir;
  fs::create_directory(dir.path() / "New Folder");
  Immutable locked(dir.path().string());
  if (!locked.ok()) GTEST_SKIP() << "chattr +i is not available here";
  const Result<std::string> created = CreateNumberedFolder(dir.path().string());
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.status().code(), EPERM);
  // The reason, for the operator, and the one name that was tried.
  EXPECT_EQ(created.status().message(), "Unable to create the folder \"" + dir.path().string() +
                                            "/New Folder(1)\": Operation not permitted");

  const Result<std::string> missing = CreateNumberedFolder((dir.path() / "gone").string());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().code(), ENOENT);
}

TEST(TFormSelectfolder, OffersTheHomeFolderAndTheRoot) {
  RecordingMessages messages;
  TFormSelectfolder picker(messages);
  EXPECT_EQ(picker.windowTitle(), "Select folder");
  EXPECT_FALSE(picker.windowFlags() & Qt::WindowCloseButtonHint);
  auto* tree = picker.findChild<QTreeWidget*>("ShellTreeView1");
  ASSERT_EQ(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(0)->text(0), "Home (" + QDir::homePath() + ")");
  EXPECT_EQ(tree->topLevelItem(1)->text(0), "/");

  // Shown with nothing chosen yet: the first node, with the focus.
  picker.show();
  EXPECT_EQ(picker.SelectedPath(), QDir::homePath());
  EXPECT_TRUE(tree->hasFocus() || !QApplication::focusWidget());
  EXPECT_TRUE(test::SaveScreenshot(picker, "tformselectfolder"));
}

TEST(TFormSelectfolder, NewFolderCreatesAndSelectsTheNextFreeName) {
  TempDir dir;
  fs::create_directory(dir.path() / "New Folder");
  fs::create_directory(dir.path() / "New Folder(1)");
  RecordingMessages messages;
  TFormSelectfolder picker(messages);
  ASSERT_TRUE(picker.SelectPath(Q(dir.path())));
  EXPECT_EQ(picker.SelectedPath(), Q(dir.path()));

  picker.NewFolder();
  EXPECT_TRUE(fs::is_directory(dir.path() / "New Folder(2)"));
  EXPECT_EQ(picker.SelectedPath(), Q(dir.path() / "New Folder(2)"));
  EXPECT_TRUE(messages.texts.isEmpty());

  // Inside the new one the count starts again.
  picker.NewFolder();
  EXPECT_EQ(picker.SelectedPath(), Q(dir.path() / "New Folder(2)" / "New Folder"));
}

TEST(TFormSelectfolder, ARefusedNewFolderShowsTheReasonAndCreatesNothing) {
  TempDir dir;
  fs::create_directory(dir.path() / "locked");
  RecordingMessages messages;
  TFormSelectfolder picker(messages);
  ASSERT_TRUE(picker.SelectPath(Q(dir.path() / "locked")));
  Immutable locked(dir.path() / "locked");
  if (!locked.ok()) GTEST_SKIP() << "chattr +i is not available here";
  picker.NewFolder();
  EXPECT_EQ(messages.texts,
            QStringList({"error: Unable to create the folder \"" + Q(dir.path() / "locked") +
                         "/New Folder\": Operation not permitted"}));
  EXPECT_TRUE(fs::is_empty(dir.path() / "locked"));
  EXPECT_EQ(picker.SelectedPath(), Q(dir.path() / "locked"));
}

TEST(TFormSelectfolder, RefreshAndF5ReadTheSelectedFolderAgain) {
  TempDir dir;
  fs::create_directory(dir.path() / "b");
  RecordingMessages messages;
  TFormSelectfolder picker(messages);
  picker.show();
  ASSERT_TRUE(picker.SelectPath(Q(dir.path())));
  auto* tree = picker.findChild<QTreeWidget*>("ShellTreeView1");
  tree->currentItem()->setExpanded(true);
  EXPECT_EQ(Children(picker), QStringList({"b"}));

  // Nothing changes on its own ...
  fs::create_directory(dir.path() / "a");
  zf::test::WriteFile(dir.path() / "file.txt", "folders only");
  QTest::qWait(50);
  EXPECT_EQ(Children(picker), QStringList({"b"}));
  // ... until Refresh.
  picker.Refresh();
  EXPECT_EQ(Children(picker), QStringList({"a", "b"}));

  fs::create_directory(dir.path() / "c");
  picker.activateWindow();
  tree->setFocus();
  QTest::keyClick(tree, Qt::Key_F5);
  EXPECT_EQ(Children(picker), QStringList({"a", "b", "c"}));
}

TEST(TFormSelectfolder, ChooseOpensOnTheStartOrTheLastChoice) {
  TempDir dir;
  fs::create_directories(dir.path() / "in" / "deep");
  fs::create_directory(dir.path() / "out");
  RecordingMessages messages;
  TFormSelectfolder picker(messages);
  auto answer = [&](QDialogButtonBox::StandardButton button, QString* selected) {
    QTimer::singleShot(0, &picker, [&picker, button, selected] {
      if (selected != nullptr) *selected = picker.SelectedPath();
      picker.findChild<QDialogButtonBox*>("ButtonBox")->button(button)->click();
    });
  };

  QString seen;
  answer(QDialogButtonBox::Ok, &seen);
  EXPECT_EQ(picker.Choose(Q(dir.path() / "in" / "deep")), Q(dir.path() / "in" / "deep"));
  EXPECT_EQ(seen, Q(dir.path() / "in" / "deep"));

  // A start that does not exist: the last choice.
  answer(QDialogButtonBox::Ok, &seen);
  EXPECT_EQ(picker.Choose(Q(dir.path() / "missing")), Q(dir.path() / "in" / "deep"));

  answer(QDialogButtonBox::Cancel, nullptr);
  EXPECT_EQ(picker.Choose(Q(dir.path() / "out")), std::nullopt);

  // Escape is Cancel.
  QTimer::singleShot(0, &picker, [&picker] { QTest::keyClick(&picker, Qt::Key_Escape); });
  EXPECT_EQ(picker.Choose(QString()), std::nullopt);
}

TEST(RenameFolder, RenamesOnlyAFolderAndNeverOverAName) {
  TempDir dir;
  fs::create_directories(dir.path() / "New Folder");
  fs::create_directory_symlink(dir.path() / "New Folder", dir.path() / "Link");
  for (auto [from, to, error] :
       {std::tuple{"New Folder", "Sport in", 0}, std::tuple{"Sport in", "Link", EEXIST},
        std::tuple{"Sport in", "a/b", EINVAL}, std::tuple{"Sport in", "", EINVAL},
        std::tuple{"Link", "Linked", ENOTDIR}, std::tuple{"Missing", "Other", ENOENT}}) {
    const Status st = RenameFolder(dir.path().string(), from, to);
    EXPECT_EQ(st.ok() ? 0 : st.code(), error) << from << " -> " << to;
  }
  EXPECT_TRUE(fs::is_directory(dir.path() / "Sport in"));
}

TEST(TFormSelectfolder, F2RenamesTheFolderAndThePathBoxGoesToATypedFolder) {
  TempDir dir;
  const QString made = Q(dir.path() / "hot" / "New Folder");
  fs::create_directories(made.toStdString());
  RecordingMessages messages;
  TFormSelectfolder picker(messages);
  picker.show();
  auto* box = picker.findChild<QLineEdit*>("Editpath");
  // A folder that is there is selected, one that is not is told; Enter in
  // the box never ends the picker.
  for (const QString& typed : {made, Q(dir.path() / "none")}) {
    box->setText(typed);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    EXPECT_TRUE(picker.isVisible());
    EXPECT_EQ(picker.SelectedPath(), made);
  }
  EXPECT_EQ(messages.texts.size(), 1);
  auto* tree = picker.findChild<QTreeWidget*>("ShellTreeView1");
  picker.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&picker));
  tree->setFocus();
  QTest::keyClick(tree, Qt::Key_F2);
  auto* editor = tree->viewport()->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr) << "F2 opens the name for editing";
  editor->selectAll();
  QTest::keyClicks(editor, "Sport in");
  QTest::keyClick(editor, Qt::Key_Return);
  const QString renamed = Q(dir.path() / "hot" / "Sport in");
  EXPECT_TRUE(QTest::qWaitFor([&] { return picker.SelectedPath() == renamed; }));
  EXPECT_TRUE(fs::is_directory(renamed.toStdString()) && !fs::exists(made.toStdString()));
  EXPECT_EQ(box->text(), renamed) << "the box follows the selection";
}

}  // namespace
}  // namespace zf::ui
