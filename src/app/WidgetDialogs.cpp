#include "app/WidgetDialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QSet>
#include <QMessageBox>

#include "app/MainForm.h"
#include "core/Timer.h"

namespace zelvo {

namespace {

// Keys typed before a message is on the screen, or in its first moments,
// were meant for what was there before it (Space pressed twice on Start):
// they never answer it. A key held down from then on is ignored until it is
// released.
class FreshMessageKeyGuard final : public QObject {
 public:
  explicit FreshMessageKeyGuard(QMessageBox& box) : box_(box) {
    settle_.SetInterval(WidgetDialogs::kKeySettleMs);
    settle_.OnTimer = [this](QObject*) {
      settle_.SetEnabled(false);
      settled_ = true;
    };
    QCoreApplication::instance()->installEventFilter(this);
  }
  ~FreshMessageKeyGuard() override { QCoreApplication::instance()->removeEventFilter(this); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && watched == &box_) settle_.SetEnabled(true);
    const auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != &box_) return false;
    switch (event->type()) {
      case QEvent::Shortcut: return !settled_;
      case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (settled_ && !held_.contains(key)) return false;
        held_.insert(key);
        return true;
      }
      case QEvent::KeyRelease: {
        const auto* release = static_cast<QKeyEvent*>(event);
        if (!held_.contains(release->key())) return !settled_;
        if (!release->isAutoRepeat()) held_.remove(release->key());
        return true;
      }
      default: return false;
    }
  }

 private:
  QMessageBox& box_;
  TTimer settle_;
  bool settled_ = false;
  QSet<int> held_;  // pressed while unsettled, not yet released
};

int Exec(QMessageBox& box) {
  FreshMessageKeyGuard guard(box);
  return box.exec();
}

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

// A plain message box: the text and OK, with no icon.
void WidgetDialogs::ShowMessage(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text, QMessageBox::Ok, parent_);
  Exec(box);
}

MsgResult WidgetDialogs::MessageDlg(Prompt, const QString& text, MsgIcon icon, MsgButtons buttons) {
  QMessageBox box(parent_);
  SetUp(box, text, icon, buttons);
  switch (Exec(box)) {
    case QMessageBox::Ok: return MsgResult::OK;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    default: return MsgResult::Cancel;
  }
}

void WidgetDialogs::ClosableMessage(Prompt, const QString& text, MsgIcon icon, MessageCloser& closer) {
  QMessageBox box(parent_);
  SetUp(box, text, icon, MsgButtons::OK);
  closer.Attach([&box] { box.done(QMessageBox::Ok); });
  Exec(box);
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
