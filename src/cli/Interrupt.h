#pragma once
// Ctrl-C, SIGTERM and SIGHUP (the terminal closed) as an event on the main
// thread, where the upload can release the instrument properly. On POSIX
// systems the signal handler only writes the signal's number to a pipe, and a
// socket notifier on the other end raises OnInterrupt from the event loop; the
// handlers are installed without SA_RESTART, so a question waiting on the
// terminal ends (answered No) when the signal arrives. On Windows the
// console's Ctrl-C and Ctrl-Break (taken as SIGTERM) are handed over the same
// way, through an event object (InterruptPosix.cpp, InterruptWindows.cpp).

#include <QObject>
#include <QString>
#include <csignal>
#include <functional>
#include <memory>

namespace zelvo::cli {

// Where a run hears that it is to stop: from the signals themselves
// (InterruptWatch), or, for a dock's session on a thread of its own, from
// the thread that watches them.
class Interrupts {
 public:
  virtual ~Interrupts() = default;

  // Raised on the run's thread once per interruption.
  std::function<void(int signal)> OnInterrupt;

  void Raise(int signal) {
    if (OnInterrupt) OnInterrupt(signal);
  }
  // Raises OnInterrupt at once for the interruptions received so far: after
  // a question on the terminal, whose answer a signal has cut short.
  virtual void Drain() {}

  // Exit status of a run ended by a signal.
  static constexpr int kExitInterrupted = 130;
};

class InterruptWatch final : public Interrupts {
 public:
  InterruptWatch();   // installs the handlers of SIGINT, SIGTERM and SIGHUP
  ~InterruptWatch() override;  // restores the previous handlers
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  void Drain() override;

 private:
  std::unique_ptr<QObject> notifier_;  // the event loop's watch on the handed-over signals
};

// "Ctrl-C", "SIGTERM" or "SIGHUP" ("Ctrl-Break" on Windows), as the messages
// name the signal.
QString SignalName(int signal);

}  // namespace zelvo::cli
