#include "app/DebugForm.h"

#include <QFontDatabase>
#include <QVBoxLayout>

namespace zelvo {

TfrmDebug::TfrmDebug(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setObjectName(QStringLiteral("frmDebug"));
  setWindowTitle(QStringLiteral("Debug Window"));
  resize(520, 360);
  Debug = new QPlainTextEdit(this);
  Debug->setObjectName(QStringLiteral("Debug"));
  Debug->setLineWrapMode(QPlainTextEdit::NoWrap);
  Debug->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Debug->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Debug->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Debug);
}

}  // namespace zelvo
