#include "app/LedIndicator.h"

#include <QPainter>
#include <QRadialGradient>

namespace zelvo {

TLedIndicator::TLedIndicator(QWidget* parent) : QWidget(parent) {
  setFixedSize(sizeHint());
}

void TLedIndicator::SetLit(bool lit) {
  if (lit == lit_) return;
  lit_ = lit;
  update();
}

void TLedIndicator::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF r = QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5);
  QRadialGradient glow(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() / 1.6);
  glow.setColorAt(0, CurrentColor().lighter(170));
  glow.setColorAt(1, CurrentColor().darker(115));
  p.setBrush(glow);
  p.setPen(QPen(QColor(60, 60, 60), 1));
  p.drawEllipse(r);
}

}  // namespace zelvo
