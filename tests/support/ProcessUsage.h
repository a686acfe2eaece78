#pragma once
// What a running program under test has cost so far, read from /proc
// (Linux): its peak resident memory and the CPU time it used.

#include <QFile>
#include <QList>
#include <unistd.h>

namespace zelvo::test {

// A sanitized build's memory and speed are the sanitizer's: bounds on them
// say nothing about the program's own.
#ifdef ZELVO_SANITIZED
inline constexpr bool kUsageBoundsApply = false;
#else
inline constexpr bool kUsageBoundsApply = true;
#endif

struct ProcessUsage {
  bool read = false;      // false: the process is gone, or not readable
  qint64 peakKb = 0;      // VmHWM
  double cpuSeconds = 0;  // user and system time
};

inline ProcessUsage UsageOf(qint64 pid) {
  ProcessUsage usage;
  QFile status(QStringLiteral("/proc/%1/status").arg(pid));
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (pid <= 0 || !status.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly)) return usage;
  for (const QByteArray& line : status.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) usage.peakKb = line.mid(6).trimmed().split(' ').value(0).toLongLong();
  // The fields after the command's name in parentheses (which may hold
  // blanks): utime and stime are the 14th and 15th of the line.
  const QByteArray line = stat.readAll();
  const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  usage.cpuSeconds = (fields.value(11).toLongLong() + fields.value(12).toLongLong()) / ticks;
  usage.read = usage.peakKb > 0;
  return usage;
}

}  // namespace zelvo::test
