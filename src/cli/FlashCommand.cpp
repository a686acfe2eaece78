// zelvoflash flash: the window's upload workflow on the command line.

#include <cstdio>

#include "cli/Commands.h"
#include "cli/Connection.h"
#include "cli/InstrumentRun.h"
#include "cli/Interrupt.h"
#include "cli/Outcome.h"
#include "cli/Progress.h"
#include "cli/Report.h"
#include "cli/TerminalDialogs.h"
#include "instrument/FlashFile.h"

namespace zelvo::cli {

namespace {

// The run's lines and its progress bar on the console.
class ConsoleOutput final : public RunOutput {
 public:
  explicit ConsoleOutput(const Console& console) : out_(console.out), progress_(console.out, console.outputTerminal) {}

  void Say(const QString& text) override {
    progress_.Break();
    PrintMessage(out_, text);
  }
  void Progress(int percent, double fraction, const QString& page, const QString& time) override {
    progress_.Update(percent, fraction, page, time);
  }
  bool PagesDone(const QString& what) override { return progress_.Finish(what); }
  void StepAside() override { progress_.Break(); }

 private:
  std::FILE* out_;
  ProgressPrinter progress_;
};

class FlashRun {
 public:
  FlashRun(const CommandOptions& options, const Console& console)
      : options_(options),
        console_(console),
        dialogs_({options.yes, options.force, console.inputTerminal}, console.out, console.err, console.in),
        output_(console) {}

  int Exec();

 private:
  int Finish(const RunEnding& ending);

  const CommandOptions& options_;
  const Console& console_;
  TerminalDialogs dialogs_;
  ConsoleOutput output_;
  TFlashFile file_;
  QString started_ = LocalTimestamp();
  Connection connection_;
  TraceFile trace_;
  InterruptWatch interrupts_;
  std::unique_ptr<InstrumentRun> run_;
};

int FlashRun::Exec() {
  QString why;
  if (!CheckFirmware(options_.firmware, file_, &why)) return Finish({Outcome::Error, why});
  if (!options_.traceFile.isEmpty() && !trace_.Open(options_.traceFile, options_.traceFormat, &why)) {
    PrintMessage(console_.err, why);
    return 2;
  }
  // The service record must not be lost after the instrument was written.
  if (!options_.logFile.isEmpty() && !CheckRecordFile(options_.logFile, &why)) {
    PrintMessage(console_.err, why);
    return 2;
  }
  dialogs_.SetFirmwareFile(options_.firmware);
  ScopedDialogs installed(&dialogs_);  // a dock being opened may have something to say
  // A signal while the transport opens (a network dock may take seconds to
  // answer) ends the run as soon as it returns; no instrument has been
  // addressed yet.
  int earlySignal = 0;
  interrupts_.OnInterrupt = [&earlySignal](int signal) { earlySignal = signal; };
  const bool opened = connection_.Open(options_, &why);
  interrupts_.OnInterrupt = nullptr;
  if (earlySignal)
    return Finish({Outcome::Interrupted, QStringLiteral("interrupted by %1").arg(SignalName(earlySignal))});
  if (!opened) return Finish({Outcome::Error, why});
  run_ = std::make_unique<InstrumentRun>(
      InstrumentRun::Setup{&options_, &file_, &connection_, &interrupts_, &dialogs_, &trace_, &output_, {}});
  return Finish(run_->Exec());
}

int FlashRun::Finish(const RunEnding& ending) {
  output_.StepAside();
  int exitCode = ExitCodeOf(ending.outcome);
  PrintMessage(exitCode == 0 ? console_.out : console_.err, EndingText(ending));
  std::fflush(console_.out);
  // A run whose trace or service record is lost has not done its job, however
  // the instrument took it.
  const auto recordLost = [&](const QString& why) {
    PrintMessage(console_.err, why);
    if (exitCode == 0) exitCode = kExitRecordLost;
  };
  if (!trace_.Lost().isEmpty()) recordLost(trace_.Lost());
  const QByteArray line = JsonLine(RunRecord(options_, file_, run_.get(), ending, exitCode, started_));
  if (options_.json) {
    std::fprintf(console_.result, "%s\n", line.constData());
    std::fflush(console_.result);
  }
  if (!options_.logFile.isEmpty()) {
    QString error;
    if (!AppendRecordLine(options_.logFile, line, &error)) recordLost(error);
  }
  return exitCode;
}

}  // namespace

int RunFlash(const CommandOptions& options, const Console& console) {
  FlashRun run(options, console);
  return run.Exec();
}

}  // namespace zelvo::cli
