#pragma once
// A pseudo-terminal for serial-line tests: the test holds the master as the
// instrument's end of the line, raw on both sides so that every byte passes
// as it is; the program under test opens Slave().

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <cerrno>

#include "core/MessagePump.h"

namespace zelvo::test {

class Pty {
 public:
  Pty() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) slave_ = QString::fromLocal8Bit(::ptsname(master_));
    // Raw on both sides, so that every byte passes as it is.
    termios t;
    if (master_ >= 0 && ::tcgetattr(master_, &t) == 0) {
      ::cfmakeraw(&t);
      ::tcsetattr(master_, TCSANOW, &t);
    }
  }
  ~Pty() { Hangup(); }
  // The instrument's end goes away: the line hangs up.
  void Hangup() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  bool Ok() const { return master_ >= 0 && !slave_.isEmpty(); }
  QString Slave() const { return slave_; }
  void Write(const QByteArray& bytes) {
    qsizetype at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::write(master_, bytes.constData() + at, static_cast<size_t>(bytes.size() - at));
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return;
      }
      at += n;
    }
  }
  // Bytes the link wrote, gathered until count have come or waitMs passed
  // (the link's event loop runs meanwhile).
  QByteArray Read(qsizetype count, int waitMs = 5000) {
    QByteArray out;
    WaitUntil(
        [&] {
          pollfd p{master_, POLLIN, 0};
          while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            char buf[512];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, n);
          }
          return out.size() >= count;
        },
        waitMs);
    return out;
  }
  speed_t Speed() const {
    termios t;
    if (::tcgetattr(master_, &t) != 0) return 0;
    return ::cfgetospeed(&t);
  }

 private:
  int master_ = -1;
  QString slave_;
};

}  // namespace zelvo::test
