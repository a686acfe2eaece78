#include "cli/InstrumentRun.h"

#include <QCryptographicHash>
#include <QTimer>
#include <utility>

#include "cli/Interrupt.h"
#include "cli/Report.h"
#include "cli/TerminalDialogs.h"
#include "core/Bytes.h"
#include "dock/DockProtocol.h"
#include "instrument/FlashFile.h"

namespace zelvo::cli {

namespace {

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

InstrumentRun::~InstrumentRun() {
  if (setup_.interrupts) setup_.interrupts->OnInterrupt = nullptr;
}

RunEnding InstrumentRun::Exec() {
  if (setup_.trace) setup_.trace->StartRun();
  TransportSetup& transport = setup_.connection->transport;
  // Identification and progress are bounded by the command's own options,
  // with the job's own release waits.
  JobLimits limits;
  limits.identifyS = options_.identifyTimeoutS;
  limits.stallS = options_.stallTimeoutS;
  limits.endOnSlaveModeRefused = true;
  limits.endOnHalt = true;
  if (options_.verify) {
    RestartPath path = RestartPath::Port;
    if (transport.Dock())
      path = RestartPath::Dock;
    else if (options_.transport.kind != TransportOption::Kind::Serial && instrument_->link.IrDASocketMode())
      path = RestartPath::IrdaSocket;
    limits.restartCheck = JobLimits::RestartCheck{path, options_.verifyTimeoutS};
  }
  job_ = std::make_unique<FlashJob>(
      FlashJob::Setup{&instrument_->zelvo, &instrument_->link, transport.Dock(), limits});
  if (transport.Dock()) {
    job_->SetUseDock(true);
    job_->SetDockAddress(transport.DockAddress());
  }
  // The file is flashed as it was read and checked before the instrument
  // was addressed, whatever happened to it since.
  job_->SetFlashFileReader([file = setup_.file](const QString&) { return file->FileBytes(); });
  Wire();
  QTimer::singleShot(0, job_.get(), [this] {
    if (job_->State() == JobState::Idle) job_->Start();
  });
  loop_.Exec();
  setup_.output->StepAside();
  return EndingOf(*ended_);
}

void InstrumentRun::Wire() {
  FlashJob& job = *job_;
  setup_.dialogs->BeforePrint = [this] { setup_.output->StepAside(); };
  job.OnTrace = [this](bool sent, const QByteArray& data) { Trace(sent, data); };
  job.OnStateChanged = [this](JobState state) {
    if (state == JobState::Releasing) setup_.output->Say(QStringLiteral("releasing the instrument (STB)"));
  };
  job.OnIdentified = [this](const InstrumentIdentity& identity) {
    setup_.output->Say(QStringLiteral("instrument: %1, firmware %2")
                           .arg(QLatin1String(FamilyName(identity.InstrumentKind)),
                                PrintableText(identity.InstFlashVersion + ' ' + identity.InstFlashType).trimmed()));
    setup_.output->Identified(identity);
    if (!setup_.vet) return;
    std::optional<RunEnding> vetoed = setup_.vet(identity);
    if (vetoed && job_->End(JobStop::Declined, FlashJob::kReleaseWaitMs)) declined_ = std::move(vetoed);
  };
  job.OnUploadStarted = [this](const UploadResult& result) {
    setup_.output->Say(QStringLiteral("file: %1, built %2")
                           .arg(PrintableText(result.fileVersion + ' ' + result.fileType).trimmed(),
                                PrintableText(result.fileDate)));
  };
  job.OnPageProgress = [this](int percent, double fraction, const QString& page, const QString& time) {
    setup_.output->Progress(percent, fraction, page, time);
  };
  job.OnPagesSent = [this](int pages) {
    pagesShown_ = setup_.output->PagesDone(QStringLiteral("%1 pages sent").arg(pages));
  };
  // The first part follows the last page.
  job.OnLoaderPart = [this](int) {
    if (std::exchange(pagesShown_, false)) setup_.output->Say(QStringLiteral("sending the flash loader"));
  };
  job.OnProgramCommandSent = [this] {
    pagesShown_ = false;
    setup_.output->Say(QStringLiteral("sending the program command"));
  };
  job.OnReleaseUnanswered = [this] {
    setup_.output->Say(QStringLiteral("the instrument did not answer the release; closing the link"));
  };
  job.OnRestartProgress = [this](const QString& text) { setup_.output->Say(text); };
  // A signal ends a question on the terminal (answered Cancel): it is taken
  // first.
  job.OnQuestionAnswered = [this] { setup_.interrupts->Drain(); };
  job.OnEnded = [this](const JobEnding& ended) {
    ended_ = ended;
    check_ = ended.check;
    loop_.Quit();
  };
  setup_.interrupts->OnInterrupt = [this](int signal) { job_->Interrupt(signal); };
}

void InstrumentRun::GiveUp(const QString& why) {
  if (job_ && job_->End(JobStop::GivenUp, FlashJob::kGiveUpReleaseMs)) gaveUp_ = why;
}

QString InstrumentRun::StopText(JobStop stop, const JobEnding& ended) const {
  switch (stop) {
    case JobStop::IdentifyLimit:
      return QStringLiteral("identification did not complete within %1 s").arg(options_.identifyTimeoutS);
    case JobStop::StallLimit:
      return QStringLiteral("the upload made no progress for %1 s").arg(options_.stallTimeoutS);
    case JobStop::SlaveModeRefused: return QLatin1String(kSlaveModeRefusedText);
    case JobStop::WrongPageAcknowledged: return QStringLiteral("the instrument acknowledged another page");
    case JobStop::LoaderChunkRefused: return QStringLiteral("the instrument did not accept a flash loader chunk");
    case JobStop::Interrupted: return QStringLiteral("interrupted by %1").arg(SignalName(ended.signal));
    case JobStop::GivenUp: return gaveUp_;
    case JobStop::Declined: return declined_ ? declined_->message : QString();
    case JobStop::Refused:
    case JobStop::None:
    case JobStop::NotUp:
    case JobStop::LinkNotOpened: break;
  }
  return cli::EndingOf(ended.result, setup_.dialogs->DeclinedGuard()).message;
}

RunEnding InstrumentRun::EndingOf(const JobEnding& ended) const {
  if (ended.check && ended.stop != JobStop::GivenUp)
    return EndingOfCheck(*ended.check, setup_.file->FileFlashVersion(), setup_.file->FileFlashType(),
                         options_.verifyTimeoutS);
  if (ended.signal) {
    QString message = StopText(ended.stop, ended);
    if (ended.stop != JobStop::Interrupted)
      message = QStringLiteral("interrupted by %1 (%2)").arg(SignalName(ended.signal), message);
    if (ended.releaseSent) {
      message += ended.releaseAnswered ? QStringLiteral("; the instrument was released")
                                       : QStringLiteral("; the instrument did not answer the release");
    }
    return {Outcome::Interrupted, message};
  }
  switch (ended.stop) {
    case JobStop::IdentifyLimit:
    case JobStop::StallLimit: return {Outcome::Timeout, StopText(ended.stop, ended)};
    case JobStop::SlaveModeRefused:
    case JobStop::WrongPageAcknowledged:
    case JobStop::LoaderChunkRefused: return {Outcome::Error, StopText(ended.stop, ended)};
    case JobStop::GivenUp: return {Outcome::Disconnected, gaveUp_};
    case JobStop::Declined: return *declined_;
    default: return cli::EndingOf(ended.result, setup_.dialogs->DeclinedGuard());
  }
}

void InstrumentRun::Trace(bool sent, const QByteArray& data) {
  if (setup_.trace && setup_.trace->Write(sent, data))
    setup_.output->Say(QStringLiteral("the trace reached its cap of %1 MiB for this instrument; the rest of its run is "
                                      "not traced")
                           .arg(TraceFile::kRunCapBytes >> 20));
}

UploadResult InstrumentRun::Result() const { return job_ ? job_->Result() : UploadResult{}; }

double InstrumentRun::UploadSeconds() const { return job_ ? job_->UploadMs() / 100 / 10.0 : 0.0; }

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
