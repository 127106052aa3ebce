#include "messages.h"

#include <QMessageBox>

namespace zf::ui {

void BoxMessages::Information(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, QStringLiteral("Zentrafold"), text, QMessageBox::Ok);
}

void BoxMessages::Error(QWidget* parent, const QString& text) {
  QMessageBox::critical(parent, QStringLiteral("Zentrafold"), text, QMessageBox::Ok);
}

}  // namespace zf::ui
