#include "app/WidgetDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include "app/MainForm.h"

namespace zelvo {

// A plain message box: the text and OK, with no icon.
void WidgetDialogs::ShowMessage(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok, parent_);
  box.exec();
}

namespace {

// A message box with the icon kind's title and the button set.
void SetUp(QMessageBox& box, const QString& text, MsgIcon icon, MsgButtons buttons) {
  box.setText(text);
  switch (icon) {
    case MsgIcon::Warning: box.setIcon(QMessageBox::Warning); box.setWindowTitle(QStringLiteral("Warning")); break;
    case MsgIcon::Error: box.setIcon(QMessageBox::Critical); box.setWindowTitle(QStringLiteral("Error")); break;
    case MsgIcon::Information: box.setIcon(QMessageBox::Information); box.setWindowTitle(QStringLiteral("Information")); break;
    case MsgIcon::Confirmation: box.setIcon(QMessageBox::Question); box.setWindowTitle(QStringLiteral("Confirm")); break;
    case MsgIcon::None: box.setWindowTitle(QString::fromLatin1(kApplicationTitle)); break;
  }
  switch (buttons) {
    case MsgButtons::OK: box.setStandardButtons(QMessageBox::Ok); break;
    case MsgButtons::OKCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MsgButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
  }
}

}  // namespace

MsgResult WidgetDialogs::MessageDlg(const QString& text, MsgIcon icon, MsgButtons buttons) {
  QMessageBox box(parent_);
  SetUp(box, text, icon, buttons);
  switch (box.exec()) {
    case QMessageBox::Ok: return MsgResult::OK;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    default: return MsgResult::Cancel;
  }
}

void WidgetDialogs::ClosableMessage(const QString& text, MsgIcon icon, MessageCloser& closer) {
  QMessageBox box(parent_);
  SetUp(box, text, icon, MsgButtons::OK);
  closer.Attach([&box] { box.done(QMessageBox::Ok); });
  box.exec();
  closer.Detach();
}

QString WidgetDialogs::QtFilter(const QString& filter) {
  const QStringList parts = filter.split(QLatin1Char('|'));
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    entries << QStringLiteral("%1 (%2)").arg(parts[i], QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')));
  return entries.join(QStringLiteral(";;"));
}

std::optional<QString> WidgetDialogs::OpenFile(const QString& filter) {
  const QString path = QFileDialog::getOpenFileName(parent_, QStringLiteral("Open"), startFolder_, QtFilter(filter));
  if (path.isEmpty()) return std::nullopt;
  return path;
}

std::optional<QString> WidgetDialogs::SelectPort(const QStringList& ports) {
  bool ok = false;
  const QString label = QStringLiteral("%1\n%2").arg(QLatin1String(kSelectPortLine1), QLatin1String(kSelectPortLine2));
  const QString port = QInputDialog::getItem(parent_, QLatin1String(kSelectPortTitle), label, ports, 0, false, &ok);
  if (!ok || port.isEmpty()) return std::nullopt;
  return port;
}

}  // namespace zelvo
