#include "cli/InstrumentRun.h"

#include <QCryptographicHash>

#include "cli/Interrupt.h"
#include "cli/Report.h"
#include "cli/TerminalDialogs.h"
#include "core/Bytes.h"
#include "dock/DockProtocol.h"
#include "instrument/FlashFile.h"
#include "session/UploadSession.h"

namespace zelvo::cli {

namespace {

constexpr int kReleaseWaitMs = 6000;       // "STB" (5 s) answered and the link down
constexpr int kInterruptReleaseMs = 3000;  // Ctrl-C: a few seconds for "ACKBYE" at most
constexpr int kGiveUpReleaseMs = 700;      // identification gave up: the run ends within S + 1 s

// The instrument as identified, or null.
QJsonValue InstrumentRecord(const UploadResult& run) {
  if (!run.identified) return QJsonValue::Null;
  const InstrumentIdentity& i = run.instrument;
  return QJsonObject{{"kind", i.InstrumentKind},
                     {"family", FamilyName(i.InstrumentKind)},
                     {"version", PrintableText(i.InstFlashVersion)},
                     {"type_letter", PrintableText(i.InstFlashType)},
                     {"ng", i.IsNG}};
}

// The file named on the command line as read before any instrument was
// addressed: named whether or not the instrument took it.
QJsonObject FileRecord(const QString& path, const TFlashFile& read) {
  QJsonObject file{{"path", path}};
  if (!read.FileFlashVersion().isEmpty()) {
    file.insert("version", PrintableText(read.FileFlashVersion()));
    file.insert("type_letter", PrintableText(read.FileFlashType()));
    file.insert("date", PrintableText(read.FileFlashDate()));
    file.insert("sha256", QString::fromLatin1(
                              QCryptographicHash::hash(read.FileBytes(), QCryptographicHash::Sha256).toHex()));
  }
  return file;
}

}  // namespace

bool CheckFirmware(const QString& path, TFlashFile& file, QString* why) {
  QByteArray bytes;
  if (!ReadRegularFile(path, kFlashImageSize + 1, &bytes, why)) return false;
  const qsizetype size = bytes.size();
  if (size != kClassicFileSize && size != kNGFileSize) {
    *why = QStringLiteral("%1 is %2 bytes, which fits neither firmware layout (%3 bytes classic, %4 bytes NG)")
               .arg(path)
               .arg(size)
               .arg(kClassicFileSize)
               .arg(kNGFileSize);
    return false;
  }
  return file.LoadFlashBytes(bytes, size == kNGFileSize);
}

InstrumentRun::InstrumentRun(Setup setup)
    : setup_(setup), options_(*setup.options), instrument_(setup.connection->instrument.get()) {}

RunEnding InstrumentRun::Exec() {
  if (setup_.trace) setup_.trace->StartRun();
  tmrInstrCon_.SetInterval(100);
  tmrInstrDisc_.SetInterval(100);
  tmrDockLCDUpd_.SetInterval(1000);
  session_ = std::make_unique<UploadSession>(&instrument_->zelvo, &instrument_->link, &tmrInstrCon_, &tmrInstrDisc_,
                                             &tmrDockLCDUpd_);
  // Identification and progress are bounded here, by the command's own
  // options and with its own release waits.
  session_->SetIdentifyLimit(0);
  session_->SetStallLimit(0);
  TransportSetup& transport = setup_.connection->transport;
  if (TDockProtocol* dock = transport.Dock()) {
    session_->SetDock(dock);
    session_->SetUseDock(true);
    session_->SetDockAddress(transport.DockAddress());
  }
  // The file is flashed as it was read and checked before the instrument
  // was addressed, whatever happened to it since.
  session_->SetFlashFileReader([file = setup_.file](const QString&) { return file->FileBytes(); });
  Wire();

  QTimer::singleShot(0, &loop_, [this] {
    TKelLink& link = instrument_->link;
    session_->cbStartClick();
    if (session_->Result().outcome != UploadOutcome::None) return;  // ended at once (the erase warning declined)
    // Identification is given its time from the moment the link is up.
    link.OnLinkUp = [this, inner = link.OnLinkUp](QObject* sender, bool status) {
      if (status) instrumentCame_ = true;
      if (status && !ending_ && !session_->Result().identified) identifyTimer_.start(options_.identifyTimeoutS * 1000);
      if (inner) inner(sender, status);
    };
  });
  loop_.exec();
  // The run's own waits end with it: the link they would act on may be gone
  // before the run is (a fleet's dock frees it for the wait that follows).
  identifyTimer_.stop();
  stallTimer_.stop();
  releaseTimer_.stop();
  setup_.output->StepAside();
  if (interrupted_) {
    QString message = ending_->message;
    if (stbSent_) {
      message += released_ ? QStringLiteral("; the instrument was released") : QStringLiteral("; the instrument did not answer the release");
    }
    return {Outcome::Interrupted, message};
  }
  const RunEnding ending = ending_ ? *ending_ : EndingOf(session_->Result(), setup_.dialogs->DeclinedGuard());
  return options_.verify && ending.outcome == Outcome::Completed ? Verify() : ending;
}

InstrumentRun::~InstrumentRun() {
  if (setup_.interrupts) setup_.interrupts->OnInterrupt = nullptr;
}

// The completed upload checked: the instrument waited for through its
// restart on the same transport, then identified and released.
RunEnding InstrumentRun::Verify() {
  RestartPath path = RestartPath::Port;
  if (setup_.connection->transport.Dock())
    path = RestartPath::Dock;
  else if (options_.transport.kind != TransportOption::Kind::Serial && instrument_->link.IrDASocketMode())
    path = RestartPath::IrdaSocket;
  RestartCheck check({instrument_, setup_.interrupts, path, options_.verifyTimeoutS, restartClock_,
                      [this](const QString& text) { setup_.output->Say(text); }});
  verify_ = check.Run();
  return EndingOfCheck(*verify_, setup_.file->FileFlashVersion(), setup_.file->FileFlashType(), options_.verifyTimeoutS);
}

void InstrumentRun::Wire() {
  identifyTimer_.setSingleShot(true);
  stallTimer_.setSingleShot(true);
  releaseTimer_.setSingleShot(true);
  TKelLink& link = instrument_->link;
  TZelvoPro& zelvo = instrument_->zelvo;

  setup_.dialogs->BeforePrint = [this] { setup_.output->StepAside(); };
  // The instrument cannot be reached through this dock; waiting for the
  // connect time-out would tell nothing more.
  link.OnSlaveModeRefused = [this](QObject*) {
    QTimer::singleShot(0, &loop_, [this] { Fail(Outcome::Error, QLatin1String(kSlaveModeRefusedText), kReleaseWaitMs); });
  };
  // Shown once already; the summary says it in other words.
  zelvo.OnUploadHalted = [this](QObject*, UploadHalt halt) {
    const QString why = halt == UploadHalt::WrongPageAcknowledged
                            ? QStringLiteral("the instrument acknowledged another page")
                            : QStringLiteral("the instrument did not accept a flash loader chunk");
    QTimer::singleShot(0, &loop_, [this, why] { Fail(Outcome::Error, why, kReleaseWaitMs); });
  };
  link.OnDebugSend = [this](QObject*, const QByteArray& data) { Sent(data); };
  link.OnDebugReceive = [this](QObject*, const QByteArray& data) { Received(data); };

  session_->OnFinished = [this](UploadOutcome) { loop_.quit(); };
  session_->OnConnectionStep = [this](bool started) { ConnectionStep(started); };
  session_->OnDisplayChanged = [this] { ShowProgress(); };
  zelvo.OnIsOnline = [this, forward = zelvo.OnIsOnline](QObject* sender, bool online) {
    std::optional<RunEnding> vetoed;
    if (online && !session_->Result().identified) {  // the session notes it next
      identifyTimer_.stop();
      const TZelvoPro& z = instrument_->zelvo;
      setup_.output->Say(QStringLiteral("instrument: %1, firmware %2")
                             .arg(QLatin1String(FamilyName(z.InstrumentKind())),
                                  PrintableText(z.InstFlashVersion() + ' ' + z.InstFlashType()).trimmed()));
      const InstrumentIdentity identity = z.Identity();
      setup_.output->Identified(identity);
      if (setup_.vet) vetoed = setup_.vet(identity);
    }
    if (forward) forward(sender, online);
    // Released as an interruption is, once the component's event has returned.
    if (vetoed) QTimer::singleShot(0, &loop_, [this, ending = *vetoed] { Fail(ending.outcome, ending.message, kReleaseWaitMs); });
  };
  zelvo.OnProgFlashSent = [this, forward = zelvo.OnProgFlashSent](QObject* sender, int error) {
    if (error <= 0) restartClock_.start();  // the instrument restarts from here
    if (forward) forward(sender, error);
  };
  zelvo.OnFlashProgress = [this, forward = zelvo.OnFlashProgress](QObject* sender, int position, int total) {
    if (total > 0) sentFraction_ = static_cast<double>(position) / total;
    if (forward) forward(sender, position, total);  // the session's display, then ShowProgress
    // The stall time-out counts from the latest progress; its timer is not
    // re-armed for every page (it looks at the time itself when it runs out).
    if (session_->UploadInProgress() && !ending_) {
      lastProgress_.start();
      if (!stallTimer_.isActive()) stallTimer_.start(options_.stallTimeoutS * 1000);
    }
  };

  QObject::connect(&identifyTimer_, &QTimer::timeout, [this] {
    Fail(Outcome::Timeout, QStringLiteral("identification did not complete within %1 s").arg(options_.identifyTimeoutS),
         kGiveUpReleaseMs);
  });
  QObject::connect(&stallTimer_, &QTimer::timeout, [this] {
    const qint64 left = options_.stallTimeoutS * 1000LL - (lastProgress_.isValid() ? lastProgress_.elapsed() : 0);
    if (left > 0) return stallTimer_.start(static_cast<int>(left));
    Fail(Outcome::Timeout, QStringLiteral("the upload made no progress for %1 s").arg(options_.stallTimeoutS),
         kReleaseWaitMs);
  });
  QObject::connect(&releaseTimer_, &QTimer::timeout, [this] {
    setup_.output->Say(QStringLiteral("the instrument did not answer the release; closing the link"));
    instrument_->link.CloseLink();
    loop_.quit();
  });
  setup_.interrupts->OnInterrupt = [this](int signal) { Interrupt(signal); };
}

// A failure releases the instrument with "STB" while the link is up, then
// waits (at most releaseMs) for the disconnection step.
void InstrumentRun::Fail(Outcome outcome, const QString& why, int releaseMs) {
  if (ending_) return;
  ending_ = RunEnding{outcome, why};
  identifyTimer_.stop();
  stallTimer_.stop();
  // A connection step still to come (the instrument has only just been
  // identified) does not come: nothing is asked and no page is written to
  // an instrument being released, while its release waits (through a
  // network dock the "STB" alone takes the dock's pause).
  tmrInstrCon_.SetEnabled(false);
  if (instrument_->link.Connected()) {
    setup_.output->Say(QStringLiteral("releasing the instrument (STB)"));
    session_->cbStopClick();
    releaseTimer_.start(releaseMs);
  } else {
    session_->cbStopClick();  // the opening given up, a dock's unanswered command too
    loop_.quit();
  }
}

void InstrumentRun::GiveUp(const QString& why) { Fail(Outcome::Disconnected, why, kGiveUpReleaseMs); }

void InstrumentRun::Interrupt(int signal) {
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

void InstrumentRun::Trace(bool sent, const QByteArray& data) {
  if (setup_.trace && setup_.trace->Write(sent, data))
    setup_.output->Say(QStringLiteral("the trace reached its cap of %1 MiB for this instrument; the rest of its run is "
                                      "not traced")
                           .arg(TraceFile::kRunCapBytes >> 20));
}

void InstrumentRun::Sent(const QByteArray& data) {
  Trace(true, data);
  const QByteArray command = CommandOf(data);
  if (command == "WAE" || command == "PFM") {
    // The first of them follows the last page: the NG flash loader's first
    // part, or a classic image's program command.
    const bool afterTheLastPage =
        setup_.output->PagesDone(QStringLiteral("%1 pages sent").arg(session_->Result().pagesSent));
    if (command == "PFM")
      setup_.output->Say(QStringLiteral("sending the program command"));
    else if (afterTheLastPage)
      setup_.output->Say(QStringLiteral("sending the flash loader"));
  } else if (command == "STB") {
    stbSent_ = true;
  }
}

void InstrumentRun::Received(const QByteArray& data) {
  Trace(false, data);
  if (stbSent_ && data.contains("ACKBYE")) released_ = true;
}

void InstrumentRun::ConnectionStep(bool started) {
  identifyTimer_.stop();
  const UploadResult& result = session_->Result();
  if (started) {
    uploadClock_.start();
    lastProgress_.start();
    stallTimer_.start(options_.stallTimeoutS * 1000);
    setup_.output->Say(QStringLiteral("file: %1, built %2")
                           .arg(PrintableText(result.fileVersion + ' ' + result.fileType).trimmed(),
                                PrintableText(result.fileDate)));
    return;
  }
  if (ending_) return;
  // Refused, or no file accepted: the session has released the instrument.
  // Without a refusal the instrument went away, and the session ends the run.
  if (result.refusal != RunRefusal::None) ending_ = EndingOf(result, setup_.dialogs->DeclinedGuard());
  releaseTimer_.start(kReleaseWaitMs);
}

void InstrumentRun::ShowProgress() {
  const UploadDisplay& d = session_->Display();
  if (session_->UploadInProgress() && !ending_ && d.stopEnabled && session_->Result().pagesSent > 1)
    setup_.output->Progress(d.progress, sentFraction_, d.page, UploadSession::TimeText(session_->ElapsedSeconds()));
}

UploadResult InstrumentRun::Result() const { return session_ ? session_->Result() : UploadResult{}; }

double InstrumentRun::UploadSeconds() const { return uploadClock_.isValid() ? uploadClock_.elapsed() / 100 / 10.0 : 0.0; }

QJsonObject RunRecord(const CommandOptions& options, const TFlashFile& file, const InstrumentRun* run,
                      const RunEnding& ending, int exitCode, const QString& started) {
  const UploadResult result = run ? run->Result() : UploadResult{};
  QJsonObject record{{"command", options.command},
                     {"outcome", OutcomeName(ending.outcome)},
                     {"exit", exitCode},
                     {"message", ending.message},
                     {"transport", TransportName(options.transport)},
                     {"pages", result.pagesSent},
                     {"loader_chunks", result.loaderChunksSent},
                     {"elapsed_s", run ? run->UploadSeconds() : 0.0},
                     {"started", started}};
  record.insert("instrument", InstrumentRecord(result));
  record.insert("file", FileRecord(options.firmware, file));
  if (options.verify) {
    const std::optional<RestartCheckReport> check = run ? run->Check() : std::nullopt;
    const RestartCheckReport report = check.value_or(RestartCheckReport{});
    const auto text = [](const std::optional<QByteArray>& value) {
      return value ? QJsonValue(PrintableText(*value)) : QJsonValue(QJsonValue::Null);
    };
    record.insert("verify", QJsonObject{{"ok", check.has_value() && ending.outcome == Outcome::Completed},
                                        {"version", text(report.version)},
                                        {"type_letter", text(report.typeLetter)},
                                        {"waited_s", report.waitedS}});
  }
  return record;
}

}  // namespace zelvo::cli
