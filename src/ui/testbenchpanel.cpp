#include "testbenchpanel.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "messages.h"

namespace zf::ui {
namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

template <typename W>
W* Named(W* widget, const QString& objectName, const QString& accessibleName) {
  widget->setObjectName(objectName);
  widget->setAccessibleName(accessibleName);
  return widget;
}

QPushButton* Button(const QString& objectName, const QString& caption, QWidget* parent) {
  return Named(new QPushButton(caption, parent), objectName, QString(caption).remove('&'));
}

QLineEdit* ReadOnlyEdit(const QString& objectName, const QString& accessibleName, QWidget* parent) {
  QLineEdit* edit = Named(new QLineEdit(parent), objectName, accessibleName);
  edit->setReadOnly(true);
  return edit;
}

}  // namespace

TestBenchPanel::TestBenchPanel(ExpressionLibrary& library,
                               std::function<QueueRecord()> currentQueue, Messages& messages,
                               QWidget* parent)
    : QWidget(parent),
      bench_(library),
      currentQueue_(std::move(currentQueue)),
      messages_(messages) {
  setObjectName(QStringLiteral("TestBenchPanel"));

  testInput_ = Named(new QLineEdit(this), QStringLiteral("Edittestreginput"),
                     QStringLiteral("Test input filename"));
  auto* inputLabel = new QLabel(QStringLiteral("Test &input filename"), this);
  inputLabel->setBuddy(testInput_);

  QPushButton* match =
      Button(QStringLiteral("Buttontestmatch"), QStringLiteral("Test &match"), this);
  QPushButton* format =
      Button(QStringLiteral("Buttontestformat"), QStringLiteral("Test f&ormat"), this);
  QPushButton* explain = Button(QStringLiteral("Buttonexplain"), QStringLiteral("E&xplain"), this);

  testResult_ = ReadOnlyEdit(QStringLiteral("Edittestresult"), QStringLiteral("Test Result"), this);
  auto* resultLabel = new QLabel(QStringLiteral("Test Res&ult"), this);
  resultLabel->setBuddy(testResult_);
  // The page-number result has no caption of its own; the accessible name
  // says what it holds.
  pageResult_ = ReadOnlyEdit(QStringLiteral("Edit2"), QStringLiteral("Page number"), this);
  pageResult_->setMaximumWidth(80);

  // Shown, unlike in the older dialog: operators want to see the translated
  // parameters.
  translationGroup_ = Named(new QGroupBox(QStringLiteral("Translation"), this),
                            QStringLiteral("GroupBoxtranslation"), QStringLiteral("Translation"));
  translation_ = Named(new QListWidget(translationGroup_), QStringLiteral("ListBoxpluginresult"),
                       QStringLiteral("Translated parameters"));
  translatedName_ = ReadOnlyEdit(QStringLiteral("Edittranslatedname"),
                                 QStringLiteral("Translated name"), translationGroup_);
  auto* translationLayout = new QVBoxLayout(translationGroup_);
  translationLayout->addWidget(translation_);
  translationLayout->addWidget(translatedName_);

  explanation_ =
      Named(new QPlainTextEdit(this), QStringLiteral("Memoexplain"), QStringLiteral("Explanation"));
  explanation_->setReadOnly(true);
  explanation_->setLineWrapMode(QPlainTextEdit::NoWrap);
  explanation_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  explanation_->setPlaceholderText(
      QStringLiteral("Explain: every rule against the test name, the masks and the output folder"));

  auto* grid = new QGridLayout(this);
  grid->addWidget(inputLabel, 0, 0);
  grid->addWidget(testInput_, 0, 1, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(match);
  buttons->addWidget(format);
  buttons->addWidget(explain);
  buttons->addStretch();
  grid->addLayout(buttons, 1, 1, 1, 2);
  grid->addWidget(resultLabel, 2, 0);
  grid->addWidget(testResult_, 2, 1);
  grid->addWidget(pageResult_, 2, 2);
  grid->addWidget(translationGroup_, 3, 0, 1, 3);
  grid->addWidget(explanation_, 4, 0, 1, 3);
  // The explanation runs to a few lines per rule; the parameters are few.
  grid->setRowStretch(3, 1);
  grid->setRowStretch(4, 3);
  grid->setColumnStretch(1, 1);

  connect(match, &QPushButton::clicked, this, &TestBenchPanel::TestMatch);
  connect(format, &QPushButton::clicked, this, &TestBenchPanel::TestFormat);
  connect(explain, &QPushButton::clicked, this, &TestBenchPanel::Explain);
  // Enter in the test name tries it (the dialog itself ignores Enter there).
  connect(testInput_, &QLineEdit::returnPressed, this, &TestBenchPanel::TestMatch);
  connect(testInput_, &QLineEdit::textChanged, this, &TestBenchPanel::ClearResults);
}

void TestBenchPanel::ClearResults() {
  for (QLineEdit* box : {testResult_, pageResult_, translatedName_}) box->clear();
  translation_->clear();
  explanation_->clear();
}

bool TestBenchPanel::Accepted(const std::string& refusal) {
  if (refusal.empty()) return true;
  messages_.Error(this, Q(refusal));
  return false;
}

void TestBenchPanel::Show(const BenchResult& result) {
  translation_->clear();
  if (result.testResult) testResult_->setText(Q(*result.testResult));
  if (result.pageResult) pageResult_->setText(Q(*result.pageResult));
  for (const std::string& line : result.translation) translation_->addItem(Q(line));
}

void TestBenchPanel::TestMatch() {
  const BenchResult result = bench_.TestMatch(currentQueue_(), testInput_->text().toStdString());
  if (Accepted(result.refusal)) Show(result);
}

void TestBenchPanel::TestFormat() {
  const BenchResult result = bench_.TestFormat(currentQueue_(), testInput_->text().toStdString());
  if (Accepted(result.refusal)) Show(result);
}

void TestBenchPanel::Explain() {
  const Explanation explanation =
      bench_.Explain(currentQueue_(), testInput_->text().toStdString(), files_);
  if (!Accepted(explanation.refusal)) return;
  QStringList lines;
  for (const std::string& line : explanation.Lines()) lines << Q(line);
  explanation_->setPlainText(lines.join(QLatin1Char('\n')));
}

}  // namespace zf::ui
