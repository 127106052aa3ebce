#include "testbenchpanel.h"

#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QVBoxLayout>
#include <cstdlib>
#include <memory>

#include "exprlib/loadedexpressionlibrary.h"
#include "guitestkit.h"
#include "messages.h"
#include "tempdir.h"

namespace zf::ui {
namespace {

class NoSink final : public LoadMessageSink {
 public:
  void ShowInformation(const std::string&) override {}
};

LoadedExpressionLibrary& RealLibrary() {
  static std::unique_ptr<LoadedExpressionLibrary> lib = [] {
    NoSink sink;
    const char* bin = std::getenv("ZF_BIN_DIR");
    return LoadedExpressionLibrary::Load(bin != nullptr ? bin : ".", sink);
  }();
  return *lib;
}

// The panel in a "Test system" group, as the queue dialog hosts it, over a
// record the test edits between clicks as an operator edits the controls.
class Panel : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(RealLibrary().Has(EntryPoint::kMatchGroups)) << "regex.so not found";
    q.Outputfolder = out.path().string();
    q.Searchmask = "*.pdf";
    q.ignoremask = "none";
    group.setObjectName("GroupBoxtestsystem");
    auto* layout = new QVBoxLayout(&group);
    panel = new TestBenchPanel(
        RealLibrary(), [this] { return q; }, messages, &group);
    layout->addWidget(panel);
    group.resize(560, 520);
    group.show();
  }
  template <typename W>
  W* Find(const char* name) {
    W* w = panel->findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  void Click(const char* button) { QTest::mouseClick(Find<QPushButton>(button), Qt::LeftButton); }
  QStringList TranslationLines() {
    QStringList lines;
    auto* list = Find<QListWidget>("ListBoxpluginresult");
    for (int i = 0; i < list->count(); ++i) lines << list->item(i)->text();
    return lines;
  }
  void AddRule(std::string match, std::string format, std::string trans = "") {
    q.NRegularexpr += 1;
    q.rule(q.NRegularexpr) = Rule{std::move(match), std::move(format), false, std::move(trans)};
  }
  void AddTranslation(std::string format, std::string from, std::string to, std::string def) {
    q.Ntranslations += 1;
    q.translation(q.Ntranslations) =
        zf::Translation{std::move(format), std::move(from), std::move(to), std::move(def)};
  }

  zf::test::TempDir out;
  QueueRecord q;
  RecordingMessages messages;
  QGroupBox group{"Test system"};
  TestBenchPanel* panel = nullptr;
};

TEST_F(Panel, ControlsCarryTheirNamesAndCaptions) {
  for (auto [name, caption] :
       {std::pair{"Buttontestmatch", "Test match"}, std::pair{"Buttontestformat", "Test format"},
        std::pair{"Buttonexplain", "Explain"}}) {
    auto* b = Find<QPushButton>(name);
    EXPECT_EQ(QString(b->text()).remove('&'), caption);
    EXPECT_EQ(b->accessibleName(), caption);
  }
  EXPECT_EQ(Find<QLineEdit>("Edittestreginput")->accessibleName(), "Test input filename");
  EXPECT_EQ(Find<QLineEdit>("Edittestresult")->accessibleName(), "Test Result");
  EXPECT_TRUE(Find<QLineEdit>("Edit2")->isReadOnly());
  EXPECT_TRUE(Find<QGroupBox>("GroupBoxtranslation")->isVisible());
  EXPECT_EQ(Find<QGroupBox>("GroupBoxtranslation")->title(), "Translation");
  EXPECT_TRUE(Find<QLineEdit>("Edittranslatedname")->text().isEmpty());
}

TEST_F(Panel, WorkedExampleMatchAndUnappliedChanges) {
  AddTranslation("$1", "ABC", "Alpha", "Publication");
  AddTranslation("$2", "", "", "Date");
  AddTranslation("Folder based", "North", "", "Location");
  AddRule(R"(([A-Z]+)_(\d+)\.pdf)", "$1-$2.pdf", "$1|$2");
  QTest::keyClicks(Find<QLineEdit>("Edittestreginput"), "ABC_17.pdf");

  Click("Buttontestmatch");
  EXPECT_EQ(Find<QLineEdit>("Edittestresult")->text(), "Found a match");
  Click("Buttontestformat");
  EXPECT_EQ(Find<QLineEdit>("Edittestresult")->text(), "ABC-17.pdf");
  EXPECT_EQ(Find<QLineEdit>("Edit2")->text(), "");
  EXPECT_EQ(TranslationLines(), (QStringList{"Publication=Alpha", "Date=17", "Location=North"}));
  test::SaveScreenshot(group, "testbenchpanel");

  // The next click reads the controls again: a changed rule counts at once.
  q.rule(1).format = "${nope}";
  Click("Buttontestformat");
  EXPECT_EQ(Find<QLineEdit>("Edittestresult")->text(), "Found no match");
  EXPECT_TRUE(TranslationLines().isEmpty());
  Click("Buttontestmatch");  // TryMatch still matches: the rule's match is fine
  EXPECT_EQ(Find<QLineEdit>("Edittestresult")->text(), "Found a match");

  q.Splitpdf = true;
  q.rule(1).format = "$1.pdf";
  q.rule(1).trans = "$2";
  Click("Buttontestformat");
  EXPECT_EQ(Find<QLineEdit>("Edit2")->text(), "17");
  EXPECT_TRUE(messages.texts.isEmpty());
}

TEST_F(Panel, ExplainShowsEveryRuleAndTheEnginesChoice) {
  AddRule(R"(X(\d+)\.pdf)", "never.pdf");
  AddRule(R"(SPO_(\d+)\.pdf)", "Sport_$1.pdf");
  Find<QLineEdit>("Edittestreginput")->setText("SPO_17.pdf");
  Click("Buttonexplain");
  const QStringList lines = Find<QPlainTextEdit>("Memoexplain")->toPlainText().split('\n');
  EXPECT_TRUE(lines.contains("Rule 1: no match"));
  EXPECT_TRUE(lines.contains("Rule 2: match  <- the engine takes this rule"));
  EXPECT_TRUE(lines.contains("  group 1: \"17\""));
  EXPECT_TRUE(lines.contains("Engine: rule 2 gives \"Sport_17.pdf\""));
  test::SaveScreenshot(group, "testbenchpanel_explain");
}

TEST_F(Panel, ATooLongNameIsRefusedWithAMessageAndChangesNothing) {
  AddRule("(.*)", "$1");
  auto* result = Find<QLineEdit>("Edittestresult");
  Find<QLineEdit>("Edittestreginput")->setText(QString(1024, 'a'));
  result->setText("before");  // after the name: a new name clears the results
  for (const char* button : {"Buttontestmatch", "Buttontestformat", "Buttonexplain"}) {
    messages.texts.clear();
    Click(button);
    EXPECT_EQ(messages.texts,
              QStringList{"error: The test file name has 1024 characters; the expression library "
                          "takes at most 1023."})
        << button;
    EXPECT_EQ(result->text(), "before");
  }
  EXPECT_TRUE(Find<QPlainTextEdit>("Memoexplain")->toPlainText().isEmpty());
  Find<QLineEdit>("Edittestreginput")->setText(QString(1023, 'a'));
  Click("Buttontestformat");
  EXPECT_EQ(result->text(), QString(1023, 'a'));
}

}  // namespace
}  // namespace zf::ui
