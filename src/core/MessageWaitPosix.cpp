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
  // A single-shot timer wakes the dispatcher when nothing else arrives in time;
  // on time, not early (a coarse timer may fire up to 5 % before it, and the
  // wait would go round once more for the rest).
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(maxMs);
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace zelvo
