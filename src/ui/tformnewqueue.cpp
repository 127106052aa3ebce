#include "tformnewqueue.h"

#include "ui_tformnewqueue.h"

namespace zf::ui {

TFormnewqueue::TFormnewqueue(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormnewqueue>()) {
  ui_->setupUi(this);
  connect(ui_->ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

TFormnewqueue::~TFormnewqueue() = default;

void TFormnewqueue::SetName(const QString& name) {
  ui_->Edit1->setText(name);
  ui_->Edit1->selectAll();
}

QString TFormnewqueue::Name() const {
  return ui_->Edit1->text();
}

}  // namespace zf::ui
