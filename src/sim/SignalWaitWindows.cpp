#include "sim/SignalWait.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QCoreApplication>
#include <QMetaObject>

namespace zelvo::sim {

namespace {

// Runs on a thread of the console's: the quit is queued to the main thread.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
  return TRUE;
}

}  // namespace

bool RunUntilSignalled() {
  if (!::SetConsoleCtrlHandler(OnConsoleControl, TRUE)) return false;
  QCoreApplication::exec();
  ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  return true;
}

}  // namespace zelvo::sim
