#pragma once
// Signals to a program under test: a signal sent before the program handles
// it would end the program instead of asking it to stop.

#include <QFile>
#include <csignal>

#include "support/Pump.h"

namespace zelvo::test {

// Whether process pid handles signal itself (its "SigCgt" mask, Linux).
inline bool CatchesSignal(qint64 pid, int signal) {
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  if (pid <= 0 || !status.open(QIODevice::ReadOnly)) return false;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("SigCgt:")) return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
  return false;
}

// Sends signal once the program handles it; false when it never does (the
// bound only catches a program that hangs before it gets there).
inline bool SignalWhenCaught(qint64 pid, int signal) {
  if (!Eventually([&] { return CatchesSignal(pid, signal); }, 30000)) return false;
  return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

}  // namespace zelvo::test
