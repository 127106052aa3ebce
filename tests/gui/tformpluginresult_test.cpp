#include "tformpluginresult.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "guitestkit.h"

namespace zf::ui {
namespace {

QListWidget* List(TFormpluginresult& dialog, const char* name) {
  return dialog.findChild<QListWidget*>(QString::fromLatin1(name));
}

QStringList Entries(const QListWidget& list) {
  QStringList texts;
  for (int row = 0; row < list.count(); ++row) texts << list.item(row)->text();
  return texts;
}

// A real double-click on the entry, as the operator gives it.
void DoubleClick(QListWidget& list, int row) {
  QListWidgetItem* item = list.item(row);
  list.scrollToItem(item);
  const QPoint at = list.visualItemRect(item).center();
  QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list.viewport(), Qt::LeftButton, {}, at);
}

TEST(TFormpluginresult, HoldsTheParametersInOrder) {
  TFormpluginresult dialog;
  EXPECT_EQ(dialog.windowTitle(), "Translated filename");
  EXPECT_EQ(
      Entries(*List(dialog, "ListBox1")),
      QStringList({"%P      Publication", "%D      Date", "%E      Edtion", "%S      Section",
                   "%N      Pagenumber", "%M      Pagename", "%C      Color", "%L      Location",
                   "%X      Press", "%T      Plate template/imagerclass", "%O      Plate option"}));
  QStringList numbers;
  for (int n = 1; n <= 20; ++n) numbers << QStringLiteral("$%1").arg(n);
  EXPECT_EQ(Entries(*List(dialog, "ListBox2")), numbers);
  dialog.show();
  EXPECT_TRUE(test::SaveScreenshot(dialog, "tformpluginresult"));
}

TEST(TFormpluginresult, ADoubleClickAppendsTheCodeOrTheWholeEntry) {
  TFormpluginresult dialog;
  dialog.SetPattern("%P_");
  dialog.show();
  QListWidget* left = List(dialog, "ListBox1");
  QListWidget* right = List(dialog, "ListBox2");

  DoubleClick(*left, 8);  // "%X      Press"
  EXPECT_EQ(dialog.Pattern(), "%P_%X");
  DoubleClick(*right, 19);  // "$20"
  EXPECT_EQ(dialog.Pattern(), "%P_%X$20");
  DoubleClick(*left, 10);  // "%O      Plate option"
  EXPECT_EQ(dialog.Pattern(), "%P_%X$20%O");

  // With nothing selected (a double-click that reached no entry) nothing is
  // added, in either list.
  left->clearSelection();
  right->clearSelection();
  Q_EMIT left->itemDoubleClicked(left->item(0));
  Q_EMIT right->itemDoubleClicked(right->item(0));
  EXPECT_EQ(dialog.Pattern(), "%P_%X$20%O");

  // Typed text counts as much as appended text.
  dialog.findChild<QLineEdit*>("Editname")->setText("A-");
  DoubleClick(*right, 0);
  EXPECT_EQ(dialog.Pattern(), "A-$1");
}

TEST(TFormpluginresult, EndsWithOkOrCancel) {
  for (const auto button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
    TFormpluginresult dialog;
    dialog.show();
    dialog.findChild<QDialogButtonBox*>("ButtonBox")->button(button)->click();
    EXPECT_EQ(dialog.result(),
              button == QDialogButtonBox::Ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_FALSE(dialog.isVisible());
  }
}

}  // namespace
}  // namespace zf::ui
