#pragma once
// Two-colour LED: on colour red, off colour green, no blinking.

#include <QColor>
#include <QWidget>

namespace zelvo {

class TLedIndicator : public QWidget {
 public:
  explicit TLedIndicator(QWidget* parent = nullptr);

  bool Lit() const { return lit_; }
  void SetLit(bool lit);
  QColor CurrentColor() const { return lit_ ? onColor_ : offColor_; }

  QSize sizeHint() const override { return {18, 18}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool lit_ = false;
  QColor onColor_ = Qt::red;
  QColor offColor_ = Qt::green;
};

}  // namespace zelvo
