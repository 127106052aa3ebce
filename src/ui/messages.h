#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

namespace zf::ui {

// Every message box of the program goes through one of these: modal, one OK
// button, of the error or the information kind. Tests hand the windows a
// recording one and read the texts it was asked to show.
class Messages {
 public:
  virtual ~Messages() = default;
  virtual void Information(QWidget* parent, const QString& text) = 0;
  virtual void Error(QWidget* parent, const QString& text) = 0;
  // A question before a step that cannot be undone or would drop edits:
  // the button chosen among `buttons`; Escape or the close box answer
  // `escape`.
  virtual QMessageBox::StandardButton Ask(QWidget* parent, const QString& text,
                                          QMessageBox::StandardButtons buttons,
                                          QMessageBox::StandardButton escape) = 0;
};

// Real message boxes, captioned with the program's name.
class BoxMessages final : public Messages {
 public:
  void Information(QWidget* parent, const QString& text) override;
  void Error(QWidget* parent, const QString& text) override;
  QMessageBox::StandardButton Ask(QWidget* parent, const QString& text,
                                  QMessageBox::StandardButtons buttons,
                                  QMessageBox::StandardButton escape) override;
};

// Shows nothing; keeps every text in order, prefixed "info: ", "error: " or
// "ask: ". A question takes the next of `answers`, or with none left the
// escape answer, as an operator who closes the box would give.
class RecordingMessages final : public Messages {
 public:
  void Information(QWidget*, const QString& text) override { texts << "info: " + text; }
  void Error(QWidget*, const QString& text) override { texts << "error: " + text; }
  QMessageBox::StandardButton Ask(QWidget*, const QString& text, QMessageBox::StandardButtons,
                                  QMessageBox::StandardButton escape) override {
    texts << "ask: " + text;
    return answers.isEmpty() ? escape : answers.takeFirst();
  }
  QStringList texts;
  QList<QMessageBox::StandardButton> answers;
};

}  // namespace zf::ui
