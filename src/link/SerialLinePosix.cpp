#include <poll.h>

#include "link/SerialPort.h"

namespace zelvo {

bool SerialLineHungUp(const QSerialPort& port) {
  pollfd line{static_cast<int>(port.handle()), POLLIN, 0};
  return ::poll(&line, 1, 0) > 0 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace zelvo
