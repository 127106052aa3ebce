#include "messages.h"

#include <QMessageBox>

namespace zf::ui {

void BoxMessages::Information(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, QStringLiteral("Zentrafold"), text, QMessageBox::Ok);
}

void BoxMessages::Error(QWidget* parent, const QString& text) {
  QMessageBox::critical(parent, QStringLiteral("Zentrafold"), text, QMessageBox::Ok);
}

QMessageBox::StandardButton BoxMessages::Ask(QWidget* parent, const QString& text,
                                             QMessageBox::StandardButtons buttons,
                                             QMessageBox::StandardButton escape) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Zentrafold"), text, buttons, parent);
  box.setEscapeButton(escape);
  // The safe answer is the default, so a hasty Enter loses nothing.
  box.setDefaultButton(escape);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace zf::ui
