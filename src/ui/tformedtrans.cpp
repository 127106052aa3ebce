#include "tformedtrans.h"

#include <QStringList>

#include "ui_tformedtrans.h"

namespace zf::ui {

TFormedtrans::TFormedtrans(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormedtrans>()) {
  ui_->setupUi(this);
  QStringList parameters{QStringLiteral("Folder based")};
  for (int i = 1; i <= 20; ++i) parameters << QStringLiteral("$%1").arg(i);
  ui_->ComboBoxparm->addItems(parameters);
  ui_->ComboBoxdef->addItems({"Publication", "Date", "Edtion", "Section", "Pagename", "Color",
                              "Location", "Press", "Plate template/imagerclass", "Plate option"});
  ui_->ComboBoxparm->setCurrentIndex(-1);
  ui_->ComboBoxdef->setCurrentIndex(-1);
  connect(ui_->ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

TFormedtrans::~TFormedtrans() = default;

void TFormedtrans::SetValues(const Values& values) {
  // findText gives -1 for an unknown text, which is "no entry selected".
  ui_->ComboBoxparm->setCurrentIndex(ui_->ComboBoxparm->findText(values.format, Qt::MatchExactly));
  ui_->ComboBoxdef->setCurrentIndex(
      ui_->ComboBoxdef->findText(values.definition, Qt::MatchExactly));
  ui_->Editfrom->setText(values.fromstr);
  ui_->Editto->setText(values.tostr);
}

TFormedtrans::Values TFormedtrans::GetValues() const {
  return {ui_->ComboBoxparm->currentText(), ui_->Editfrom->text(), ui_->Editto->text(),
          ui_->ComboBoxdef->currentText()};
}

}  // namespace zf::ui
