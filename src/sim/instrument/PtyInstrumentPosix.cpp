#include "sim/instrument/PtyInstrument.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace zelvo::sim {

PtyInstrument::PtyInstrument(SimInstrument& instrument, QObject* parent)
    : QObject(parent), endpoint_(instrument, this) {
  endpoint_.SendBlock = [this](const QByteArray& block) { Write(block); };
  // A dropped link on a serial line: the instrument goes away, the port hangs up.
  endpoint_.DropLink = [this] { Close(); };
}

PtyInstrument::~PtyInstrument() { Close(); }

bool PtyInstrument::Open() {
  Close();
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
    error_ = QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    if (fd >= 0) ::close(fd);
    return false;
  }
  char name[128];
  if (ptsname_r(fd, name, sizeof name) != 0) {
    error_ = QStringLiteral("ptsname failed");
    ::close(fd);
    return false;
  }
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Holding the slave open keeps the master readable without hang-ups while no
  // host has the port open (otherwise every read fails with EIO at once).
  slaveHoldFd_ = ::open(name, O_RDWR | O_NOCTTY);
  masterFd_ = fd;
  slavePath_ = QString::fromLocal8Bit(name);
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Readable(); });
  return true;
}

void PtyInstrument::Close() {
  if (notifier_) {
    // Close may run inside the notifier's own signal (a dropped link).
    notifier_->setEnabled(false);
    notifier_.release()->deleteLater();
  }
  if (masterFd_ >= 0) ::close(masterFd_);
  if (slaveHoldFd_ >= 0) ::close(slaveHoldFd_);
  masterFd_ = -1;
  slaveHoldFd_ = -1;
  endpoint_.Reset();
}

void PtyInstrument::Readable() {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(masterFd_, buffer, sizeof buffer);
    if (n > 0) {
      endpoint_.Received(QByteArray(buffer, n));
      if (masterFd_ < 0) return;  // the instrument dropped the link meanwhile
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // EAGAIN: all read
  }
}

void PtyInstrument::Write(const QByteArray& block) {
  if (masterFd_ < 0) return;
  qsizetype at = 0;
  while (at < block.size()) {
    const ssize_t n = ::write(masterFd_, block.constData() + at, static_cast<size_t>(block.size() - at));
    if (n > 0) {
      at += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd p{masterFd_, POLLOUT, 0};
      ::poll(&p, 1, 1000);
      continue;
    }
    return;  // host gone
  }
}

}  // namespace zelvo::sim
