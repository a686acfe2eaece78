#include "cli/Platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QSerialPort>
#include <io.h>

namespace zelvo::cli {

namespace {

HANDLE HandleOf(std::FILE* stream) { return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream))); }

}  // namespace

void KeepRunningWhenOutputCloses() {}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(HandleOf(stream), &mode) != 0;
}

int TerminalColumns(std::FILE* stream) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(HandleOf(stream), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

bool CheckSerialPort(const QString& path, QString* error) {
  QSerialPort port(path);
  if (port.open(QIODevice::ReadWrite)) return true;
  *error = QStringLiteral("cannot open the serial port %1: %2").arg(path, port.errorString());
  return false;
}

}  // namespace zelvo::cli
