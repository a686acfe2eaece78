#include "cli/RestartCheck.h"

#include <QEventLoop>

#include "cli/Connection.h"
#include "cli/Interrupt.h"

namespace zelvo::cli {

namespace {

constexpr int kInterruptReleaseMs = 3000;  // Ctrl-C: a few seconds for "ACKBYE" at most

}  // namespace

RestartCheckReport RestartCheck::Run() {
  using End = RestartCheckReport::End;
  QEventLoop loop;
  RestartWatch watch(&setup_.instrument->zelvo, &setup_.instrument->link);
  double waitedS = 0;
  watch.OnProgress = setup_.say;
  watch.OnDecided = [&] { waitedS = setup_.since.elapsed() / 100 / 10.0; };
  // A signal ends a question on the terminal (answered Cancel): it is taken
  // first.
  watch.OnQuestionAnswered = [&] { setup_.interrupts->Drain(); };
  watch.OnEnded = [&](const RestartCheckReport&) { loop.quit(); };
  int signal = 0;
  const auto previousInterrupt = setup_.interrupts->OnInterrupt;
  setup_.interrupts->OnInterrupt = [&](int received) {
    if (signal) {  // a second signal: stop waiting for the release
      loop.quit();
      return;
    }
    signal = received;
    watch.GiveUp(End::Interrupted, kInterruptReleaseMs);
  };

  watch.Start(setup_.path, qint64{setup_.timeoutS} * 1000 - setup_.since.elapsed());
  loop.exec();

  setup_.interrupts->OnInterrupt = previousInterrupt;
  RestartCheckReport report = watch.Report();
  report.waitedS = waitedS;
  report.signal = signal;
  if (signal) report.end = End::Interrupted;
  return report;
}

}  // namespace zelvo::cli
