#pragma once

#include <QIcon>
#include <QPixmap>

// The program's own pictures. All of them are SVG drawings in the artwork
// resource, rendered at the size and device pixel ratio they are shown at, so
// they stay sharp on high-density screens.
namespace zf::ui {

// The on/off switch, 68 x 26 device-independent pixels: ON is a green field at
// the right end of the slider, OFF a red field at its left end. The pixmap has
// 68*dpr x 26*dpr pixels and carries `devicePixelRatio`.
QPixmap SwitchPicture(bool on, qreal devicePixelRatio = 1);

// The queue list's pictures (48 x 48): 0 a folder (enabled, idle), 1 the folder
// watched by a pair of eyes (being served now), 2 the folder with a no-entry
// sign (not enabled). Any other number gives a null icon.
QIcon QueueIcon(int image);

// The visual log's row markers (16 x 16): 1 green (success), 2 red (failure).
// Any other status gives a null icon, so such a row shows no marker.
QIcon StatusIcon(int status);

// The icon of the command "&Configure input queue" (16 x 16).
QIcon MenuIcon();

// The picture at the head of the settings dialogs (48 x 48).
QIcon HeaderIcon();

// The window and application icon.
QIcon AppIcon();

}  // namespace zf::ui
