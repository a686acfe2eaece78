// The simulated instrument served on a pseudo-terminal (zelvo-sim serve).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "core/MessagePump.h"
#include "link/FrameCodec.h"
#include "sim/instrument/PtyInstrument.h"
#include "sim/instrument/SimInstrument.h"

using namespace zelvo;
using namespace zelvo::sim;

TEST(PtyInstrument, AnswersFramedCommandsOnThePseudoTerminal) {
  SimInstrument instrument({9, "9.12", "A", 0});
  PtyInstrument pty(instrument);
  ASSERT_TRUE(pty.Open()) << pty.errorString().toStdString();
  ASSERT_TRUE(pty.SlavePath().startsWith("/dev/pts/"));
  const int fd = ::open(pty.SlavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  const QByteArray enq = frame::WireForm(TKelType::tpZelvoPro, "ENQ");
  ASSERT_EQ(::write(fd, enq.constData(), enq.size()), enq.size());
  QByteArray got;
  ASSERT_TRUE(WaitUntil(
      [&] {
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, n);
        return got.endsWith('\xE7');
      },
      5000));
  EXPECT_EQ(got, QByteArray("\xE6" "ACK" "\xE7"));
  ::close(fd);
}
