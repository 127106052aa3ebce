#include "tformsetupreg.h"

#include "ui_tformsetupreg.h"

namespace zf::ui {

TFormsetupreg::TFormsetupreg(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormsetupreg>()) {
  ui_->setupUi(this);
  connect(ui_->ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

TFormsetupreg::~TFormsetupreg() = default;

void TFormsetupreg::SetValues(const Values& values) {
  ui_->Editmath->setText(values.match);
  ui_->Editformat->setText(values.format);
  ui_->CheckBoxpatial->setChecked(values.partial);
  ui_->Edittrans->setText(values.trans);
}

TFormsetupreg::Values TFormsetupreg::GetValues() const {
  return {ui_->Editmath->text(), ui_->Editformat->text(), ui_->CheckBoxpatial->isChecked(),
          ui_->Edittrans->text()};
}

}  // namespace zf::ui
