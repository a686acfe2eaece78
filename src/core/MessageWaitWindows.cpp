#include <windows.h>

#include <QCoreApplication>
#include <QEventLoop>

#include "core/MessagePump.h"

namespace zelvo {

// A bounded wait sleeps in the thread's own message queue rather than in
// Qt's dispatcher with a wake-up timer. A wake-up timer under 20 ms is a
// multimedia timer whose event reaches the dispatcher as a posted event; it
// can be handled without the dispatcher counting it as something handled, and
// the dispatcher then waits on for another message (seen under Wine: the
// timer fired and was stopped, and a one-millisecond wait lasted for ever
// while the link's thread had nothing to send). An event posted to this
// thread leaves a message in the queue, as do sockets and timers, so the
// sleep ends when one arrives or when the time is up; what arrived is handled
// after it.
void WaitForMessages(int maxMs) {
  if (maxMs < 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return;
  }
  MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(maxMs), QS_ALLINPUT,
                              MWMO_ALERTABLE | MWMO_INPUTAVAILABLE);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace zelvo
