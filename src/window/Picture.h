#pragma once
// The program's own pictures, painted at start-up in the sixteen standard colours.
#include <QIcon>
#include <QImage>

namespace ostra::window {

// 48 x 48: a controller card with an arrow loading into its chip.
QImage DownLoadPicture();

// The window icon: the same picture at the sizes a desktop asks for.
QIcon WindowIcon();

}  // namespace ostra::window
