#include "app/DebugForm.h"

#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMenu>
#include <QScreen>
#include <QStringList>
#include <QVBoxLayout>

#include "core/Bytes.h"
#include "core/Dialogs.h"
#include "session/UploadSession.h"

namespace zelvo {

namespace {

void SetUpTraceBox(QPlainTextEdit* box, const QString& name) {
  box->setObjectName(name);
  box->setLineWrapMode(QPlainTextEdit::NoWrap);
  box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  box->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  box->setContextMenuPolicy(Qt::CustomContextMenu);
  box->setReadOnly(true);
}

// A trace line with its message as hexadecimal bytes; any other line as it is.
QString HexLine(const QString& line) {
  const std::optional<QByteArray> message = TraceMessage(FromText(line));
  if (!message) return line;
  return line.left(4) + QString::fromLatin1(message->toHex(' ').toUpper()) + QLatin1Char('#');
}

}  // namespace

void TTraceBox::appendPlainText(const QString& text) {
  lines_ << text;
  QPlainTextEdit::appendPlainText(text);
}

void TTraceBox::clear() {
  lines_.clear();
  ++clears_;
  QPlainTextEdit::clear();
}

TfrmDebug::TfrmDebug(QWidget* parent) : QWidget(parent, Qt::Tool) {
  setObjectName(QStringLiteral("frmDebug"));
  setWindowTitle(QStringLiteral("Debug Window"));
  resize(520, 360);
  Debug = new TTraceBox(this);
  SetUpTraceBox(Debug, QStringLiteral("Debug"));
  DebugHex = new QPlainTextEdit(this);
  SetUpTraceBox(DebugHex, QStringLiteral("DebugHex"));
  DebugHex->hide();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(Debug);
  layout->addWidget(DebugHex);

  actShowAsHex = new QAction(QStringLiteral("Show as hex"), this);
  actShowAsHex->setCheckable(true);
  actSaveTrace = new QAction(QStringLiteral("Save Trace..."), this);
  connect(actShowAsHex, &QAction::toggled, this, [this](bool hex) { ShowHex(hex); });
  connect(actSaveTrace, &QAction::triggered, this, [this] { SaveTraceClicked(); });
  for (QPlainTextEdit* box : {static_cast<QPlainTextEdit*>(Debug), DebugHex})
    connect(box, &QPlainTextEdit::customContextMenuRequested, this, [this, box](const QPoint& at) { ShowMenu(box, at); });

  hexRefresh_.setSingleShot(true);
  hexRefresh_.setInterval(0);
  connect(&hexRefresh_, &QTimer::timeout, this, [this] { RefreshHex(); });
  connect(Debug, &QPlainTextEdit::textChanged, this, [this] {
    if (ShowingHex()) hexRefresh_.start();
  });
}

QStringList TfrmDebug::HexTrace(const QStringList& lines) {
  QStringList hex;
  for (const QString& line : lines) hex << HexLine(line);
  return hex;
}

void TfrmDebug::ShowMenu(QPlainTextEdit* box, const QPoint& at) {
  QMenu* menu = box->createStandardContextMenu();
  menu->addSeparator();
  menu->addAction(actShowAsHex);
  menu->addAction(actSaveTrace);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(box->viewport()->mapToGlobal(at));
}

void TfrmDebug::ShowHex(bool hex) {
  if (hex) RebuildHex();
  Debug->setVisible(!hex);
  DebugHex->setVisible(hex);
}

void TfrmDebug::RefreshHex() {
  if (Debug->Clears() != hexClears_ || Debug->Lines().size() < hexLines_) {
    RebuildHex();
    return;
  }
  const QStringList& lines = Debug->Lines();
  if (lines.size() == hexLines_) return;
  DebugHex->appendPlainText(HexTrace(lines.mid(hexLines_)).join(QLatin1Char('\n')));
  hexLines_ = lines.size();
  // The last lines in view, from their start: "SND#" and "RCV#" stay visible
  // however long a message is.
  DebugHex->moveCursor(QTextCursor::End);
  DebugHex->moveCursor(QTextCursor::StartOfBlock);
}

void TfrmDebug::RebuildHex() {
  DebugHex->clear();
  hexLines_ = 0;
  hexClears_ = Debug->Clears();
  RefreshHex();
}

void TfrmDebug::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  const QScreen* where = screen();
  if (!where) return;
  const QRect room = where->availableGeometry();
  const QRect frame = frameGeometry();
  const QSize decoration = frame.size() - size();
  if (frame.width() > room.width() || frame.height() > room.height())
    resize(qMin(width(), room.width() - decoration.width()), qMin(height(), room.height() - decoration.height()));
  const QRect fitted = frameGeometry();
  const int x = qBound(room.left(), fitted.left(), room.right() + 1 - fitted.width());
  const int y = qBound(room.top(), fitted.top(), room.bottom() + 1 - fitted.height());
  if (x != fitted.left() || y != fitted.top()) move(x, y);
}

bool TfrmDebug::SaveTrace(const QString& path, QString* error) const {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    *error = file.errorString();
    return false;
  }
  const QStringList lines = ShowingHex() ? HexTrace(Debug->Lines()) : Debug->Lines();
  QByteArray bytes;
  for (const QString& line : lines) bytes += FromText(line) + '\n';
  if (file.write(bytes) != bytes.size() || !file.flush()) {
    *error = file.errorString();
    return false;
  }
  return true;
}

void TfrmDebug::SaveTraceClicked() {
  const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Trace"), QStringLiteral("trace.txt"),
                                                    QStringLiteral("Text files (*.txt);;All files (*)"));
  if (path.isEmpty()) return;
  QString error;
  if (!SaveTrace(path, &error)) {
    MessageDlg(QStringLiteral("The trace could not be saved to %1: %2").arg(path, error), MsgIcon::Error, MsgButtons::OK);
    return;
  }
  ShowMessage(QStringLiteral("The trace was saved to %1").arg(path));
}

}  // namespace zelvo
