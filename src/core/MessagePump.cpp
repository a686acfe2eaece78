#include "core/MessagePump.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

namespace zelvo {

void ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void WaitForMessages(int maxMs) {
  if (maxMs < 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return;
  }
  // A single-shot timer wakes the dispatcher when nothing else arrives in time.
  QTimer wake;
  wake.setSingleShot(true);
  wake.start(maxMs);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

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
