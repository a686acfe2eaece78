#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "core/MessagePump.h"

namespace zelvo {

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

}  // namespace zelvo
