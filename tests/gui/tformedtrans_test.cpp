#include "tformedtrans.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>

namespace zf::ui {
namespace {

QStringList Entries(const QComboBox& box) {
  QStringList entries;
  for (int i = 0; i < box.count(); ++i) entries << box.itemText(i);
  return entries;
}

TEST(TFormedtrans, ListsTakeNoFreeTextAndStartUnselected) {
  TFormedtrans editor;
  auto* parm = editor.findChild<QComboBox*>("ComboBoxparm");
  auto* def = editor.findChild<QComboBox*>("ComboBoxdef");
  ASSERT_NE(parm, nullptr);
  ASSERT_NE(def, nullptr);
  EXPECT_FALSE(parm->isEditable());
  EXPECT_FALSE(def->isEditable());
  const QStringList parameters = Entries(*parm);
  ASSERT_EQ(parameters.size(), 21);
  EXPECT_EQ(parameters.first(), "Folder based");
  EXPECT_EQ(parameters[1], "$1");
  EXPECT_EQ(parameters.last(), "$20");
  EXPECT_EQ(Entries(*def),
            (QStringList{"Publication", "Date", "Edtion", "Section", "Pagename", "Color",
                         "Location", "Press", "Plate template/imagerclass", "Plate option"}));
  EXPECT_EQ(editor.GetValues().format, "");
  EXPECT_EQ(editor.GetValues().definition, "");
  EXPECT_EQ(editor.windowTitle(), "Translation");
}

TEST(TFormedtrans, FillingSelectsEqualEntriesOnlyAndReadsBackWhatIsShown) {
  struct Case {
    QString format, definition;
    QString readFormat, readDefinition;
  };
  const Case cases[] = {
      {"$12", "Press", "$12", "Press"},
      {"Folder based", "Plate option", "Folder based", "Plate option"},
      {"$21", "press", "", ""},  // no such entries: nothing selected
      {"", "", "", ""},
  };
  TFormedtrans editor;
  for (const Case& c : cases) {
    editor.SetValues({c.format, "from", "to", c.definition});
    const TFormedtrans::Values v = editor.GetValues();
    EXPECT_EQ(v.format, c.readFormat) << c.format.toStdString();
    EXPECT_EQ(v.definition, c.readDefinition) << c.definition.toStdString();
    EXPECT_EQ(v.fromstr, "from");
    EXPECT_EQ(v.tostr, "to");
  }
}

}  // namespace
}  // namespace zf::ui
