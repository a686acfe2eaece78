#include "app/Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace zelvo {

namespace {

QPainterPath Rounded(const QRectF& r, qreal radius) {
  QPainterPath path;
  path.addRoundedRect(r, radius, radius);
  return path;
}

}  // namespace

// A single-gas detector: yellow body, dark display, grille, IrDA window.
QPixmap InstrumentPicture(const QSize& size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal w = size.width(), h = size.height();
  const QRectF body(w * 0.18, h * 0.04, w * 0.64, h * 0.92);

  QLinearGradient shell(body.topLeft(), body.topRight());
  shell.setColorAt(0, QColor(255, 205, 40));
  shell.setColorAt(0.5, QColor(255, 224, 102));
  shell.setColorAt(1, QColor(222, 168, 20));
  p.setPen(QPen(QColor(90, 70, 10), 1.5));
  p.setBrush(shell);
  p.drawPath(Rounded(body, w * 0.12));

  // Rubber grip band.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(45, 45, 50));
  p.drawPath(Rounded(QRectF(body.left() + w * 0.04, body.top() + h * 0.05, body.width() - w * 0.08, h * 0.10), 4));

  // Sensor grille.
  p.setBrush(QColor(60, 60, 66));
  for (int i = 0; i < 4; ++i)
    p.drawRoundedRect(QRectF(body.left() + w * 0.14, body.top() + h * (0.19 + i * 0.04), body.width() - w * 0.28, h * 0.02), 2, 2);

  // Display with a reading.
  const QRectF display(body.left() + w * 0.08, body.top() + h * 0.38, body.width() - w * 0.16, h * 0.26);
  p.setBrush(QColor(30, 40, 35));
  p.drawPath(Rounded(display, 6));
  p.setBrush(QColor(170, 210, 160));
  p.drawPath(Rounded(display.adjusted(4, 4, -4, -4), 4));
  p.setPen(QColor(30, 50, 30));
  QFont font = p.font();
  font.setBold(true);
  font.setPixelSize(static_cast<int>(h * 0.09));
  p.setFont(font);
  p.drawText(display, Qt::AlignCenter, QStringLiteral("IrDA"));

  // Mode key and IrDA window.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(200, 40, 40));
  p.drawEllipse(QPointF(body.center().x(), body.top() + h * 0.76), w * 0.08, w * 0.08);
  p.setBrush(QColor(90, 20, 30));
  p.drawPath(Rounded(QRectF(body.center().x() - w * 0.1, body.bottom() - h * 0.08, w * 0.2, h * 0.04), 3));
  return pixmap;
}

// A docking station: grey base with a cradle and a two-line LCD.
QPixmap DockPicture(const QSize& size) {
  QPixmap pixmap(size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal w = size.width(), h = size.height();
  const QRectF base(w * 0.05, h * 0.45, w * 0.9, h * 0.5);
  QLinearGradient shell(base.topLeft(), base.bottomLeft());
  shell.setColorAt(0, QColor(200, 205, 212));
  shell.setColorAt(1, QColor(130, 136, 145));
  p.setPen(QPen(QColor(70, 70, 80), 1.5));
  p.setBrush(shell);
  p.drawPath(Rounded(base, 10));
  p.setBrush(QColor(60, 64, 70));
  p.drawPath(Rounded(QRectF(w * 0.15, h * 0.2, w * 0.3, h * 0.4), 8));
  p.setBrush(QColor(160, 200, 230));
  p.drawPath(Rounded(QRectF(w * 0.55, h * 0.58, w * 0.32, h * 0.16), 3));
  return pixmap;
}

}  // namespace zelvo
