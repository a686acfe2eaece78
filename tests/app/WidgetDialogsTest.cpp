// The operator's dialogs as widgets: the icon and buttons each kind of
// message shows.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTimer>
#include <functional>

#include "app/WidgetDialogs.h"
#include "core/Timer.h"

using namespace zelvo;

namespace {

// Runs show() while a timer looks at the message box it opens, records what
// it shows and closes it with its first button.
struct SeenBox {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString text;
  int buttons = 0;
};
SeenBox WhatShows(const std::function<void()>& show) {
  SeenBox seen;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    seen.icon = box->icon();
    seen.text = box->text();
    seen.buttons = static_cast<int>(box->buttons().size());
    box->buttons().first()->click();
  });
  look.start(10);
  show();
  return seen;
}

}  // namespace

TEST(WidgetDialogs, APlainMessageHasNoIconAndOneButton) {
  QWidget parent;
  WidgetDialogs dialogs(&parent);
  const SeenBox plain = WhatShows([&] { dialogs.ShowMessage(QStringLiteral("Send Error, Dock not Enabled!")); });
  EXPECT_EQ(plain.icon, QMessageBox::NoIcon);
  EXPECT_EQ(plain.text, QStringLiteral("Send Error, Dock not Enabled!"));
  EXPECT_EQ(plain.buttons, 1);

  const SeenBox warning = WhatShows([&] {
    dialogs.MessageDlg(Prompt::General, QStringLiteral("Connection Time Out!"), MsgIcon::Warning, MsgButtons::OK);
  });
  EXPECT_EQ(warning.icon, QMessageBox::Warning);
}

// A message the program may close: closed from code as if OK were pressed;
// its closer does nothing before it opens or after it has closed.
TEST(WidgetDialogs, AClosableMessageIsClosedByTheProgram) {
  QWidget parent;
  WidgetDialogs dialogs(&parent);
  MessageCloser closer;
  closer.Close();  // not open: nothing happens
  bool sawItOpen = false;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !closer.IsOpen()) return;
    sawItOpen = box->text() == QLatin1String("Place the instrument");
    closer.Close();
  });
  look.start(10);
  dialogs.ClosableMessage(Prompt::General, QStringLiteral("Place the instrument"), MsgIcon::Information, closer);
  EXPECT_TRUE(sawItOpen);
  EXPECT_FALSE(closer.IsOpen());
  closer.Close();
}

// Keys typed before a warning has settled on the screen (Space pressed twice
// on Start) never answer it, nor does a key held down from then; once it has
// settled, a key answers it.
TEST(WidgetDialogs, KeysBeforeAMessageSettlesNeverAnswerIt) {
  ManualClock clock;
  QWidget parent;
  WidgetDialogs dialogs(&parent);
  const auto key = [](QWidget* to, QEvent::Type type, int code, bool repeat = false) {
    QKeyEvent event(type, code, Qt::NoModifier, QString(), repeat);
    QApplication::sendEvent(to, &event);
  };
  bool openAfterEarlyKeys = false, openAfterHeldKey = false;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    look.stop();
    QWidget* ok = box->button(QMessageBox::Ok);
    if (!ok) return box->reject();
    for (const int code : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Escape}) {
      key(ok, QEvent::KeyPress, code);
      key(ok, QEvent::KeyRelease, code);
    }
    key(ok, QEvent::KeyPress, Qt::Key_Space);  // held down across the settling
    QApplication::processEvents();
    openAfterEarlyKeys = box->isVisible();
    clock.Advance(WidgetDialogs::kKeySettleMs);
    key(ok, QEvent::KeyPress, Qt::Key_Space, true);
    key(ok, QEvent::KeyRelease, Qt::Key_Space);
    QApplication::processEvents();
    openAfterHeldKey = box->isVisible();
    key(ok, QEvent::KeyPress, Qt::Key_Space);
    key(ok, QEvent::KeyRelease, Qt::Key_Space);
  });
  look.start(10);
  const MsgResult answer = dialogs.MessageDlg(Prompt::General, QStringLiteral("This operation will erase ..."),
                                              MsgIcon::Warning, MsgButtons::OKCancel);
  EXPECT_TRUE(openAfterEarlyKeys);
  EXPECT_TRUE(openAfterHeldKey);
  EXPECT_EQ(answer, MsgResult::OK);
}
