#pragma once
// Ctrl-C and SIGTERM as an event on the main thread. The signal handler only
// writes the signal's number to a pipe; a socket notifier on the other end
// raises OnInterrupt from the event loop, where the upload can release the
// instrument properly.
//
// The handlers are installed without SA_RESTART, so a question waiting on the
// terminal ends (answered No) when the signal arrives.

#include <QSocketNotifier>
#include <QString>
#include <functional>
#include <memory>

namespace zelvo::cli {

class InterruptWatch {
 public:
  InterruptWatch();   // installs the handlers of SIGINT and SIGTERM
  ~InterruptWatch();  // restores the previous handlers
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Raised on the main thread once per signal received.
  std::function<void(int signal)> OnInterrupt;

  // Raises OnInterrupt for the signals received so far, at once: after a
  // question on the terminal, whose answer a signal has cut short.
  void Drain();

  // Exit status of a run ended by a signal.
  static constexpr int kExitInterrupted = 130;

 private:
  std::unique_ptr<QSocketNotifier> notifier_;
};

// "Ctrl-C" or "SIGTERM", as the messages name the signal.
QString SignalName(int signal);

}  // namespace zelvo::cli
