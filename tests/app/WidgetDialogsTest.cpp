// The operator's dialogs as widgets: the icon and buttons each kind of
// message shows.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>

#include "app/WidgetDialogs.h"

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

  const SeenBox warning = WhatShows(
      [&] { dialogs.MessageDlg(QStringLiteral("Connection Time Out!"), MsgIcon::Warning, MsgButtons::OK); });
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
  dialogs.ClosableMessage(QStringLiteral("Place the instrument"), MsgIcon::Information, closer);
  EXPECT_TRUE(sawItOpen);
  EXPECT_FALSE(closer.IsOpen());
  closer.Close();
}
