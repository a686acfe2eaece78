#pragma once
// Waiting by processing messages.
//
// Several operations wait for a state change that arrives as an event on the
// main thread (a socket notification, a timer, a reply). ProcessMessages()
// handles what is pending and returns at once; it is used exactly where an
// operation processes pending messages a fixed number of times. Loops that wait
// for a condition use WaitForMessages(), which sleeps until at least one event
// has arrived, so a waiting program uses no CPU. Handlers can run nested inside
// either call.

#include <QEventLoop>
#include <QTimer>
#include <functional>

namespace zelvo {

// Handles every pending event and returns without waiting.
void ProcessMessages();

// Sleeps until at least one event has been handled, or until maxMs have
// passed (negative: no limit).
void WaitForMessages(int maxMs = -1);

// Processes events until pred() holds or timeoutMs have passed; returns the
// final value of pred(). For front ends and tests; components use the two
// calls above.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs);

// A loop that runs until Quit, for a front end's wait. Qt's own event
// dispatcher (a Qt built without GLib) loses a loop's end asked for inside a
// handler that then handles messages once more (the nested pass takes the
// loop's wake-up) and sleeps on with nothing left to wake it; so once asked,
// the end is asked again on every pass until the loop has ended.
class MessageLoop {
 public:
  MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // Runs until Quit; at once when Quit was called since the last Exec.
  void Exec();
  void Quit();

 private:
  QEventLoop loop_;
  QTimer again_;
  bool quitAsked_ = false;
};

}  // namespace zelvo
