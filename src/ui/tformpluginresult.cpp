#include "tformpluginresult.h"

#include <QFontDatabase>
#include <QPushButton>

#include "ui_tformpluginresult.h"

namespace zf::ui {
namespace {

// The left list's entries start with the code ("%P"); the rest is its label.
constexpr int kCodeLength = 2;

}  // namespace

TFormpluginresult::TFormpluginresult(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::TFormpluginresult>()) {
  ui_->setupUi(this);
  // The entries line their labels up with blanks, which only a fixed-pitch
  // font keeps in a column.
  ui_->ListBox1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  ui_->ButtonBox->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(ui_->ButtonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(ui_->ButtonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // The item under the mouse is the selected one by the time the
  // double-click arrives; the selection is what counts, as a double-click on
  // the empty part of a list must append nothing.
  connect(ui_->ListBox1, &QListWidget::itemDoubleClicked, this,
          [this] { AppendSelected(*ui_->ListBox1, kCodeLength); });
  connect(ui_->ListBox2, &QListWidget::itemDoubleClicked, this,
          [this] { AppendSelected(*ui_->ListBox2, -1); });
}

TFormpluginresult::~TFormpluginresult() = default;

void TFormpluginresult::SetPattern(const QString& pattern) {
  ui_->Editname->setText(pattern);
}

QString TFormpluginresult::Pattern() const {
  return ui_->Editname->text();
}

void TFormpluginresult::AppendSelected(const QListWidget& list, int length) {
  const QList<QListWidgetItem*> selected = list.selectedItems();
  if (selected.isEmpty()) return;
  const QString entry = selected.front()->text();
  ui_->Editname->setText(ui_->Editname->text() + (length < 0 ? entry : entry.left(length)));
}

}  // namespace zf::ui
