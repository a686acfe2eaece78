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

MessageLoop::MessageLoop() {
  again_.setInterval(0);
  QObject::connect(&again_, &QTimer::timeout, &loop_, &QEventLoop::quit);
}

void MessageLoop::Exec() {
  if (!quitAsked_) loop_.exec();
  again_.stop();
  quitAsked_ = false;
}

void MessageLoop::Quit() {
  quitAsked_ = true;
  if (loop_.isRunning()) again_.start();  // running until quit() is called
  loop_.quit();
}

}  // namespace zelvo
