#pragma once

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
};

// Real message boxes, captioned with the program's name.
class BoxMessages final : public Messages {
 public:
  void Information(QWidget* parent, const QString& text) override;
  void Error(QWidget* parent, const QString& text) override;
};

// Shows nothing; keeps every text in order, prefixed "info: " or "error: ".
class RecordingMessages final : public Messages {
 public:
  void Information(QWidget*, const QString& text) override { texts << "info: " + text; }
  void Error(QWidget*, const QString& text) override { texts << "error: " + text; }
  QStringList texts;
};

}  // namespace zf::ui
