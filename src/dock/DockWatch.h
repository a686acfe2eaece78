#pragma once
// Notices a dock that has gone: its connection lost or its USB device gone
// (the dock's OnDockLost), or a dock that no longer answers although its
// connection stands (a network dock power-cycled or its cable pulled, with
// nothing to tell the connection so). A dock that has said nothing for a
// while is asked something harmless (Enquire); commands of others left
// unanswered count the same. Tells each outage once, until Recovered.
//
// While an instrument is being talked to, the upload's own time-outs watch
// the way to it: the watch only looks on while the dock is otherwise idle.
//
// Main thread only. The enquiry waits by processing messages, so handlers of
// the program may run nested in a check.

#include <QString>
#include <functional>

#include "core/Timer.h"

namespace zelvo {

class TDockProtocol;

class DockWatch {
 public:
  static constexpr int kCheckMs = 10000;
  // Checks in a row without a word from the dock before it is asked: about
  // 20 to 30 s of silence, then the command time-out.
  static constexpr int kQuietChecks = 2;

  // busy: true while an instrument is being talked to (nothing is checked).
  DockWatch(TDockProtocol& dock, std::function<bool()> busy, int checkMs = kCheckMs);
  ~DockWatch();
  DockWatch(const DockWatch&) = delete;
  DockWatch& operator=(const DockWatch&) = delete;

  // The dock has gone (why: what was noticed); raised once per outage.
  std::function<void(const QString& why)> OnLost;

  bool Lost() const { return lost_; }
  const QString& Why() const { return why_; }
  // Asks the dock now, unless an instrument is being talked to or another
  // command waits; an outage found is told through OnLost.
  void CheckNow();
  // The dock is there again: checks start afresh.
  void Recovered();

 private:
  void Tick();
  void Note(const QString& why);
  void HeardNow();

  TDockProtocol& dock_;
  std::function<bool()> busy_;
  TTimer timer_;
  int quietChecks_ = 0;
  int repliesSeen_ = 0;
  int timeOutsSeen_ = 0;
  bool lost_ = false;
  QString why_;
};

}  // namespace zelvo
