#pragma once

#include <QWidget>
#include <functional>

#include "config/queuetable.h"
#include "engine/testbench.h"
#include "platform/fileaccess.h"

class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QGroupBox;

namespace zf {
class ExpressionLibrary;
}

namespace zf::ui {

class Messages;

// The content of the queue dialog's "Test system" group: a test name, the
// buttons "Test match", "Test format" and "Explain", and what they show.
// Every click reads the record the dialog's controls show at that moment
// (currentQueue), so rules, the "Split pdf" box and translations not yet
// applied are tried as shown. The library calls are quick (a PDF split on the
// engine thread has its own lock), so they run on the window's thread.
class TestBenchPanel final : public QWidget {
  Q_OBJECT

 public:
  TestBenchPanel(ExpressionLibrary& library, std::function<QueueRecord()> currentQueue,
                 Messages& messages, QWidget* parent = nullptr);

  void TestMatch();
  void TestFormat();
  void Explain();
  // Empties every result: they belong to a test name or rules no longer shown.
  void ClearResults();

 private:
  // False, after telling the operator, when the click must be refused.
  bool Accepted(const std::string& refusal);
  void Show(const BenchResult& result);

  RuleTestBench bench_;
  std::function<QueueRecord()> currentQueue_;
  Messages& messages_;
  SystemFileAccess files_;

  QLineEdit* testInput_ = nullptr;
  QLineEdit* testResult_ = nullptr;
  QLineEdit* pageResult_ = nullptr;
  QGroupBox* translationGroup_ = nullptr;
  QListWidget* translation_ = nullptr;
  QLineEdit* translatedName_ = nullptr;
  QPlainTextEdit* explanation_ = nullptr;
};

}  // namespace zf::ui
