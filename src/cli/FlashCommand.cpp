// zelvoflash flash: the window's upload workflow on the command line.

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QTimer>
#include <optional>

#include "cli/Commands.h"
#include "cli/Connection.h"
#include "cli/Interrupt.h"
#include "cli/Outcome.h"
#include "cli/Progress.h"
#include "cli/Report.h"
#include "cli/RestartCheck.h"
#include "cli/TerminalDialogs.h"
#include "core/Bytes.h"
#include "core/Timer.h"
#include "dock/DockProtocol.h"
#include "instrument/FlashFile.h"
#include "session/UploadSession.h"

namespace zelvo::cli {

namespace {

constexpr int kReleaseWaitMs = 6000;       // "STB" (5 s) answered and the link down
constexpr int kInterruptReleaseMs = 3000;  // Ctrl-C: a few seconds for "ACKBYE" at most
constexpr int kGiveUpReleaseMs = 700;      // identification gave up: the run ends within S + 1 s

// The firmware file, read before any instrument is addressed: it must be
// readable and of one of the two layouts. The check by the instrument's
// generation still runs after identification.
bool CheckFirmware(const QString& path, TFlashFile& file, QString* why) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    *why = QStringLiteral("cannot read the firmware file %1: %2").arg(path, f.errorString());
    return false;
  }
  const qint64 size = f.read(kFlashImageSize + 1).size();
  f.close();
  if (size != kClassicFileSize && size != kNGFileSize) {
    *why = QStringLiteral("%1 is %2 bytes, which fits neither firmware layout (%3 bytes classic, %4 bytes NG)")
               .arg(path)
               .arg(size)
               .arg(kClassicFileSize)
               .arg(kNGFileSize);
    return false;
  }
  if (!file.LoadFlashFile(path, size == kNGFileSize)) {
    *why = QStringLiteral("cannot read the firmware file %1").arg(path);
    return false;
  }
  return true;
}

class FlashRun {
 public:
  FlashRun(const CommandOptions& options, const Console& console)
      : options_(options),
        console_(console),
        dialogs_({options.yes, options.force, console.inputTerminal}, console.out, console.err, console.in),
        progress_(console.out, console.outputTerminal) {}

  int Exec();

 private:
  void Wire();
  void Fail(Outcome outcome, const QString& why, int releaseMs = kReleaseWaitMs);
  void Interrupt(int signal);
  void Sent(const QByteArray& data);
  void Received(const QByteArray& data);
  void ConnectionStep(bool started);
  void ShowProgress();
  void Say(const QString& text);
  RunEnding Verify();
  int Finish(const RunEnding& ending);
  QJsonObject Record(const RunEnding& ending, int exitCode) const;

  const CommandOptions& options_;
  const Console& console_;
  TerminalDialogs dialogs_;
  ProgressPrinter progress_;
  TFlashFile file_;
  QString started_ = LocalTimestamp();

  Connection connection_;
  Instrument* instrument_ = nullptr;
  TraceFile trace_;
  TTimer tmrInstrCon_, tmrInstrDisc_, tmrDockLCDUpd_;
  std::unique_ptr<UploadSession> session_;
  QEventLoop loop_;
  QTimer identifyTimer_, stallTimer_, releaseTimer_;
  InterruptWatch interrupts_;

  // How the run ends, when that was settled before the session ended it: a
  // failure of the command's own, or a refusal being released.
  std::optional<RunEnding> ending_;
  bool interrupted_ = false;
  bool stbSent_ = false;
  bool released_ = false;  // "ACKBYE" after "STB"
  double sentFraction_ = 0.0;
  QElapsedTimer uploadClock_;
  QElapsedTimer restartClock_;  // from the "ACKBYE" to the program command
  std::optional<RestartCheckReport> verify_;
};

void FlashRun::Say(const QString& text) {
  progress_.Break();
  std::fprintf(console_.out, "zelvoflash: %s\n", qPrintable(text));
  std::fflush(console_.out);
}

int FlashRun::Exec() {
  QString why;
  if (!CheckFirmware(options_.firmware, file_, &why)) return Finish({Outcome::Error, why});
  if (!options_.traceFile.isEmpty() && !trace_.Open(options_.traceFile, options_.traceFormat)) {
    std::fprintf(console_.err, "zelvoflash: cannot write the trace file %s\n", qPrintable(options_.traceFile));
    return 2;
  }
  // The service record must not be lost after the instrument was written.
  if (!options_.logFile.isEmpty() && !CheckRecordFile(options_.logFile, &why)) {
    std::fprintf(console_.err, "zelvoflash: %s\n", qPrintable(why));
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
  if (earlySignal)
    return Finish({Outcome::Interrupted, QStringLiteral("interrupted by %1").arg(SignalName(earlySignal))});
  if (!opened) return Finish({Outcome::Error, why});
  instrument_ = connection_.instrument.get();
  tmrInstrCon_.SetInterval(100);
  tmrInstrDisc_.SetInterval(100);
  tmrDockLCDUpd_.SetInterval(1000);
  session_ = std::make_unique<UploadSession>(&instrument_->zelvo, &instrument_->link, &tmrInstrCon_, &tmrInstrDisc_,
                                             &tmrDockLCDUpd_);
  // Identification and progress are bounded here, by the command's own
  // options and with its own release waits.
  session_->SetIdentifyLimit(0);
  session_->SetStallLimit(0);
  if (TDockProtocol* dock = connection_.transport.Dock()) {
    session_->SetDock(dock);
    session_->SetUseDock(true);
    session_->SetDockAddress(connection_.transport.DockAddress());
  }
  Wire();

  QTimer::singleShot(0, &loop_, [this] {
    TKelLink& link = instrument_->link;
    session_->cbStartClick();
    if (session_->Result().outcome != UploadOutcome::None) return;  // ended at once (the erase warning declined)
    // Identification is given its time from the moment the link is up.
    link.OnLinkUp = [this, inner = link.OnLinkUp](QObject* sender, bool status) {
      if (status && !ending_ && !session_->Result().identified) identifyTimer_.start(options_.identifyTimeoutS * 1000);
      if (inner) inner(sender, status);
    };
  });
  loop_.exec();
  progress_.Break();
  if (interrupted_) {
    QString message = ending_->message;
    if (stbSent_) {
      message += released_ ? QStringLiteral("; the instrument was released") : QStringLiteral("; the instrument did not answer the release");
    }
    return Finish({Outcome::Interrupted, message});
  }
  const RunEnding ending = ending_ ? *ending_ : EndingOf(session_->Result(), dialogs_.DeclinedGuard());
  return Finish(options_.verify && ending.outcome == Outcome::Completed ? Verify() : ending);
}

// The completed upload checked: the instrument waited for through its
// restart on the same transport, then identified and released.
RunEnding FlashRun::Verify() {
  RestartPath path = RestartPath::Port;
  if (connection_.transport.Dock())
    path = RestartPath::Dock;
  else if (options_.transport.kind != TransportOption::Kind::Serial && instrument_->link.IrDASocketMode())
    path = RestartPath::IrdaSocket;
  RestartCheck check({instrument_, &interrupts_, path, options_.verifyTimeoutS, restartClock_,
                      [this](const QString& text) { Say(text); }});
  verify_ = check.Run();
  return EndingOfCheck(*verify_, file_.FileFlashVersion(), file_.FileFlashType(), options_.verifyTimeoutS);
}

void FlashRun::Wire() {
  identifyTimer_.setSingleShot(true);
  stallTimer_.setSingleShot(true);
  releaseTimer_.setSingleShot(true);
  TKelLink& link = instrument_->link;
  TZelvoPro& zelvo = instrument_->zelvo;

  dialogs_.BeforePrint = [this] { progress_.Break(); };
  // The instrument cannot be reached through this dock; waiting for the
  // connect time-out would tell nothing more.
  link.OnSlaveModeRefused = [this](QObject*) {
    QTimer::singleShot(0, &loop_, [this] { Fail(Outcome::Error, QLatin1String(kSlaveModeRefusedText)); });
  };
  // Shown once already; the summary says it in other words.
  zelvo.OnUploadHalted = [this](QObject*, UploadHalt halt) {
    const QString why = halt == UploadHalt::WrongPageAcknowledged
                            ? QStringLiteral("the instrument acknowledged another page")
                            : QStringLiteral("the instrument did not accept a flash loader chunk");
    QTimer::singleShot(0, &loop_, [this, why] { Fail(Outcome::Error, why); });
  };
  link.OnDebugSend = [this](QObject*, const QByteArray& data) { Sent(data); };
  link.OnDebugReceive = [this](QObject*, const QByteArray& data) { Received(data); };

  session_->OnFinished = [this](UploadOutcome) { loop_.quit(); };
  session_->OnConnectionStep = [this](bool started) { ConnectionStep(started); };
  session_->OnDisplayChanged = [this] { ShowProgress(); };
  zelvo.OnIsOnline = [this, forward = zelvo.OnIsOnline](QObject* sender, bool online) {
    if (online && !session_->Result().identified) {  // the session notes it next
      identifyTimer_.stop();
      const TZelvoPro& z = instrument_->zelvo;
      Say(QStringLiteral("instrument: %1, firmware %2")
              .arg(QLatin1String(FamilyName(z.InstrumentKind())),
                   PrintableText(z.InstFlashVersion() + ' ' + z.InstFlashType()).trimmed()));
    }
    if (forward) forward(sender, online);
  };
  zelvo.OnProgFlashSent = [this, forward = zelvo.OnProgFlashSent](QObject* sender, int error) {
    if (error <= 0) restartClock_.start();  // the instrument restarts from here
    if (forward) forward(sender, error);
  };
  zelvo.OnFlashProgress = [this, forward = zelvo.OnFlashProgress](QObject* sender, int position, int total) {
    if (total > 0) sentFraction_ = static_cast<double>(position) / total;
    if (forward) forward(sender, position, total);  // the session's display, then ShowProgress
    if (session_->UploadInProgress() && !ending_) stallTimer_.start(options_.stallTimeoutS * 1000);
  };

  QObject::connect(&identifyTimer_, &QTimer::timeout, [this] {
    Fail(Outcome::Timeout, QStringLiteral("identification did not complete within %1 s").arg(options_.identifyTimeoutS),
         kGiveUpReleaseMs);
  });
  QObject::connect(&stallTimer_, &QTimer::timeout, [this] {
    Fail(Outcome::Timeout, QStringLiteral("the upload made no progress for %1 s").arg(options_.stallTimeoutS));
  });
  QObject::connect(&releaseTimer_, &QTimer::timeout, [this] {
    Say(QStringLiteral("the instrument did not answer the release; closing the link"));
    instrument_->link.CloseLink();
    loop_.quit();
  });
  interrupts_.OnInterrupt = [this](int signal) { Interrupt(signal); };
}

// A failure releases the instrument with "STB" while the link is up, then
// waits (at most releaseMs) for the disconnection step.
void FlashRun::Fail(Outcome outcome, const QString& why, int releaseMs) {
  if (ending_) return;
  ending_ = RunEnding{outcome, why};
  identifyTimer_.stop();
  stallTimer_.stop();
  if (instrument_->link.Connected()) {
    Say(QStringLiteral("releasing the instrument (STB)"));
    session_->cbStopClick();
    releaseTimer_.start(releaseMs);
  } else {
    instrument_->link.CloseLink();
    loop_.quit();
  }
}

void FlashRun::Interrupt(int signal) {
  const QString name = SignalName(signal);
  if (interrupted_) {  // a second signal: stop waiting for the instrument
    loop_.quit();
    return;
  }
  interrupted_ = true;
  if (!ending_) {
    Fail(Outcome::Interrupted, QStringLiteral("interrupted by %1").arg(name), kInterruptReleaseMs);
    return;
  }
  // Already releasing: wait no longer than an interruption allows.
  ending_->message = QStringLiteral("interrupted by %1 (%2)").arg(name, ending_->message);
  if (releaseTimer_.isActive() && releaseTimer_.remainingTime() > kInterruptReleaseMs)
    releaseTimer_.start(kInterruptReleaseMs);
}

void FlashRun::Sent(const QByteArray& data) {
  trace_.Write(true, data);
  const QByteArray command = CommandOf(data);
  if (command == "WAE" || command == "PFM") {
    // The first of them follows the last page: the NG flash loader's first
    // part, or a classic image's program command.
    const bool afterTheLastPage = progress_.Finish(QStringLiteral("%1 pages sent").arg(session_->Result().pagesSent));
    if (command == "PFM")
      Say(QStringLiteral("sending the program command"));
    else if (afterTheLastPage)
      Say(QStringLiteral("sending the flash loader"));
  } else if (command == "STB") {
    stbSent_ = true;
  }
}

void FlashRun::Received(const QByteArray& data) {
  trace_.Write(false, data);
  if (stbSent_ && data.contains("ACKBYE")) released_ = true;
}

void FlashRun::ConnectionStep(bool started) {
  identifyTimer_.stop();
  const UploadResult& result = session_->Result();
  if (started) {
    uploadClock_.start();
    stallTimer_.start(options_.stallTimeoutS * 1000);
    Say(QStringLiteral("file: %1, built %2")
            .arg(PrintableText(result.fileVersion + ' ' + result.fileType).trimmed(), PrintableText(result.fileDate)));
    return;
  }
  if (ending_) return;
  // Refused, or no file accepted: the session has released the instrument.
  // Without a refusal the instrument went away, and the session ends the run.
  if (result.refusal != RunRefusal::None) ending_ = EndingOf(result, dialogs_.DeclinedGuard());
  releaseTimer_.start(kReleaseWaitMs);
}

void FlashRun::ShowProgress() {
  const UploadDisplay& d = session_->Display();
  if (session_->UploadInProgress() && !ending_ && d.stopEnabled && session_->Result().pagesSent > 1)
    progress_.Update(d.progress, sentFraction_, d.page, UploadSession::TimeText(session_->ElapsedSeconds()));
}

QJsonObject FlashRun::Record(const RunEnding& ending, int exitCode) const {
  const UploadResult run = session_ ? session_->Result() : UploadResult{};
  QJsonObject record{{"command", "flash"},
                     {"outcome", OutcomeName(ending.outcome)},
                     {"exit", exitCode},
                     {"message", ending.message},
                     {"transport", TransportName(options_.transport)},
                     {"pages", run.pagesSent},
                     {"loader_chunks", run.loaderChunksSent},
                     {"elapsed_s", uploadClock_.isValid() ? uploadClock_.elapsed() / 100 / 10.0 : 0.0},
                     {"started", started_}};
  if (run.identified) {
    const InstrumentIdentity& i = run.instrument;
    record.insert("instrument", QJsonObject{{"kind", i.InstrumentKind},
                                            {"family", FamilyName(i.InstrumentKind)},
                                            {"version", PrintableText(i.InstFlashVersion)},
                                            {"type_letter", PrintableText(i.InstFlashType)},
                                            {"ng", i.IsNG}});
  } else {
    record.insert("instrument", QJsonValue::Null);
  }
  // The file named on the command line as read before any instrument was
  // addressed: named whether or not the instrument took it.
  QJsonObject file{{"path", options_.firmware}};
  if (!file_.FileFlashVersion().isEmpty()) {
    file.insert("version", PrintableText(file_.FileFlashVersion()));
    file.insert("type_letter", PrintableText(file_.FileFlashType()));
    file.insert("date", PrintableText(file_.FileFlashDate()));
  }
  record.insert("file", file);
  if (options_.verify) {
    const RestartCheckReport check = verify_.value_or(RestartCheckReport{});
    const auto text = [](const std::optional<QByteArray>& value) {
      return value ? QJsonValue(PrintableText(*value)) : QJsonValue(QJsonValue::Null);
    };
    record.insert("verify", QJsonObject{{"ok", verify_.has_value() && ending.outcome == Outcome::Completed},
                                        {"version", text(check.version)},
                                        {"type_letter", text(check.typeLetter)},
                                        {"waited_s", check.waitedS}});
  }
  return record;
}

int FlashRun::Finish(const RunEnding& ending) {
  progress_.Break();
  const int exitCode = ExitCodeOf(ending.outcome);
  if (ending.outcome == Outcome::Completed) {
    std::fprintf(console_.out, "zelvoflash: flash upload completed\n");
  } else if (ending.outcome == Outcome::VerifyFailed) {
    std::fprintf(console_.err, "zelvoflash: flash upload completed, but the check failed: %s\n", qPrintable(ending.message));
  } else if (ending.outcome == Outcome::Interrupted) {
    std::fprintf(console_.err, "zelvoflash: %s\n", qPrintable(ending.message));
  } else {
    std::fprintf(console_.err, "zelvoflash: flash upload failed: %s\n", qPrintable(ending.message));
  }
  std::fflush(console_.out);
  const QByteArray line = JsonLine(Record(ending, exitCode));
  if (options_.json) {
    std::fprintf(console_.result, "%s\n", line.constData());
    std::fflush(console_.result);
  }
  if (!options_.logFile.isEmpty()) {
    QString error;
    if (!AppendRecordLine(options_.logFile, line, &error)) std::fprintf(console_.err, "zelvoflash: %s\n", qPrintable(error));
  }
  return exitCode;
}

}  // namespace

int RunFlash(const CommandOptions& options, const Console& console) {
  FlashRun run(options, console);
  return run.Exec();
}

}  // namespace zelvo::cli
