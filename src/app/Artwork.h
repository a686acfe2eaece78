#pragma once
// Pictures of the window, drawn by the program itself.

#include <QPixmap>

namespace zelvo {

QPixmap InstrumentPicture(const QSize& size);
QPixmap DockPicture(const QSize& size);

}  // namespace zelvo
