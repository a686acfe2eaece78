// mkappicon: the window's icon for the desktop's menu, drawn by the window's
// own artwork (the instrument picture) on a square transparent canvas.
//
//   mkappicon FOLDER SIZE...   writes FOLDER/SIZExSIZE/zelvo-flash-utility.png for each size

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>

#include "app/Artwork.h"

namespace {

// The instrument upright at the canvas's full height, in the proportions the
// window shows it (96 by 170), centred.
QImage AppIcon(int size) {
  const QPixmap instrument = zelvo::InstrumentPicture(QSize(size * 96 / 170, size));
  QImage icon(size, size, QImage::Format_ARGB32);
  icon.fill(Qt::transparent);
  QPainter painter(&icon);
  painter.drawPixmap((size - instrument.width()) / 2, 0, instrument);
  return icon;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");  // draws without a display
  QGuiApplication application(argc, argv);
  const QStringList arguments = QGuiApplication::arguments();
  if (arguments.size() < 3) {
    std::fprintf(stderr, "usage: mkappicon FOLDER SIZE...\n");
    return 2;
  }
  const QDir folder(arguments[1]);
  for (const QString& text : arguments.mid(2)) {
    bool ok = false;
    const int size = text.toInt(&ok);
    if (!ok || size < 16 || size > 1024) {
      std::fprintf(stderr, "mkappicon: the size must be a number of pixels from 16 to 1024, not %s\n", qPrintable(text));
      return 2;
    }
    const QString path = folder.filePath(QStringLiteral("%1x%1/zelvo-flash-utility.png").arg(size));
    if (!QDir().mkpath(QFileInfo(path).path()) || !AppIcon(size).save(path, "PNG")) {
      std::fprintf(stderr, "mkappicon: cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
