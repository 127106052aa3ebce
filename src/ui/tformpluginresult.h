#pragma once

#include <QDialog>
#include <QString>
#include <memory>

class QListWidget;

namespace Ui {
class TFormpluginresult;
}

namespace zf::ui {

// "Translated filename": builds a queue's translated-name pattern. A
// double-click on a parameter appends it to the pattern; the caller puts the
// queue's pattern in before showing the dialog and takes Pattern() on OK.
class TFormpluginresult final : public QDialog {
  Q_OBJECT

 public:
  explicit TFormpluginresult(QWidget* parent = nullptr);
  ~TFormpluginresult() override;

  void SetPattern(const QString& pattern);
  QString Pattern() const;

 private:
  // Appends the selected entry of `list`, cut to its first `length`
  // characters (all when negative); nothing without a selection.
  void AppendSelected(const QListWidget& list, int length);

  std::unique_ptr<Ui::TFormpluginresult> ui_;
};

}  // namespace zf::ui
