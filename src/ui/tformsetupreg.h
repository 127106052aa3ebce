#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class TFormsetupreg;
}

namespace zf::ui {

// The rule editor. It keeps what it showed from one use to the next; the
// queue configuration dialog fills it before showing it when a row is chosen.
class TFormsetupreg final : public QDialog {
  Q_OBJECT

 public:
  struct Values {
    QString match;
    QString format;
    bool partial = false;
    QString trans;  // "Format for pagenumber"
  };

  explicit TFormsetupreg(QWidget* parent = nullptr);
  ~TFormsetupreg() override;

  void SetValues(const Values& values);
  Values GetValues() const;

 private:
  std::unique_ptr<Ui::TFormsetupreg> ui_;
};

}  // namespace zf::ui
