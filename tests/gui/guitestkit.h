#pragma once

#include <QDir>
#include <QString>
#include <QWidget>

namespace zf::ui::test {

// Saves a picture of `widget` as <name>.png in the build's screenshots folder,
// so that the look of every window and dialog can be reviewed.
inline bool SaveScreenshot(QWidget& widget, const QString& name) {
  const QString folder = QStringLiteral(ZF_SCREENSHOT_DIR);
  QDir().mkpath(folder);
  return widget.grab().save(folder + "/" + name + ".png");
}

}  // namespace zf::ui::test
