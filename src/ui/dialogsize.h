#pragma once

#include <QSize>
#include <string>

class QWidget;

namespace zf::ui {

// The largest size of a window, frame included, that the available area of
// its screen (or of the primary screen) holds; `wanted` is cut down to it and
// never below the window's minimum.
QSize FitToScreen(const QWidget& window, QSize wanted);

// Keeps `dialog` on its screen at every showing, at the size the operator
// last gave it: read from [section] width and height of `iniPath` when it is
// shown, cut to the screen, and written back there when it is hidden at
// another size.
void RememberDialogSize(QWidget& dialog, std::string iniPath, std::string section);

}  // namespace zf::ui
