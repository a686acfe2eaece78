#include "cli/Platform.h"

#include <QFile>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zelvo::cli {

void KeepRunningWhenOutputCloses() { std::signal(SIGPIPE, SIG_IGN); }

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

int TerminalColumns(std::FILE* stream) {
  winsize size{};
  return ::ioctl(::fileno(stream), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// A file that opens but is no terminal (/dev/null, a regular file) takes no
// line settings, so the link could never come up on it.
bool CheckSerialPort(const QString& path, QString* error) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const bool terminal = fd >= 0 && ::isatty(fd) == 1;
  if (!terminal) {
    const QString why = fd < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("not a serial port");
    *error = QStringLiteral("cannot open the serial port %1: %2").arg(path, why);
  }
  if (fd >= 0) ::close(fd);
  return terminal;
}

}  // namespace zelvo::cli
