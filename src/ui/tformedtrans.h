#pragma once

#include <QDialog>
#include <QString>
#include <memory>

namespace Ui {
class TFormedtrans;
}

namespace zf::ui {

// The translation editor. Its two lists take no free text and start with no
// entry selected; a list without a selection reads as the empty text.
class TFormedtrans final : public QDialog {
  Q_OBJECT

 public:
  struct Values {
    QString format;  // "Folder based" or "$1".."$20"
    QString fromstr;
    QString tostr;
    QString definition;
  };

  explicit TFormedtrans(QWidget* parent = nullptr);
  ~TFormedtrans() override;

  // A text that is none of a list's entries leaves that list unselected.
  void SetValues(const Values& values);
  Values GetValues() const;

 private:
  std::unique_ptr<Ui::TFormedtrans> ui_;
};

}  // namespace zf::ui
