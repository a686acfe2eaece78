#include "core/MessagePump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

namespace zelvo {

void ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!pred()) {
    const qint64 left = deadline.remainingTime();
    if (left == 0) return pred();
    WaitForMessages(static_cast<int>(left));
  }
  return true;
}

}  // namespace zelvo
