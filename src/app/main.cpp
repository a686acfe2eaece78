// zelvo-flash-utility: the window.

#include <QApplication>

#include "app/DebugForm.h"
#include "app/MainForm.h"
#include "app/WidgetDialogs.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QLatin1String(zelvo::kApplicationTitle));

  zelvo::TfrmMain main;
  zelvo::TfrmDebug debug(&main);
  main.SetDebugForm(&debug);

  zelvo::WidgetDialogs dialogs(&main);
  zelvo::ScopedDialogs installed(&dialogs);

  main.show();
  return QApplication::exec();
}
