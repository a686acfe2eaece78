#include "cli/Commands.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <memory>

#include "cli/Progress.h"
#include "cli/TerminalDialogs.h"
#include "cli/Transport.h"
#include "core/Bytes.h"
#include "core/MessagePump.h"
#include "core/Timer.h"
#include "instrument/FlashFile.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/UploadSession.h"

namespace zelvo::cli {

namespace {

constexpr int kReleaseWaitMs = 6000;  // "STB" (5 s) answered and the link down

TerminalDialogs::Answers AnswersFor(const CommandOptions& options, const Console& console) {
  if (options.yes) return TerminalDialogs::Answers::AlwaysYes;
  return console.terminal ? TerminalDialogs::Answers::AskOnTerminal : TerminalDialogs::Answers::AlwaysNo;
}

// Appends the debug trace lines of a link to a file.
class TraceFile {
 public:
  bool Open(const QString& path) {
    file_.setFileName(path);
    return file_.open(QIODevice::WriteOnly | QIODevice::Append);
  }
  void Attach(TKelLink& link) {
    if (!file_.isOpen()) return;
    link.OnDebugSend = [this](QObject*, const QByteArray& data) { Write(true, data); };
    link.OnDebugReceive = [this](QObject*, const QByteArray& data) { Write(false, data); };
  }

 private:
  void Write(bool sent, const QByteArray& data) {
    file_.write(TraceLine(sent, data) + '\n');
    file_.flush();
  }
  QFile file_;
};

// The link and the instrument component, with the window's design values.
struct Instrument {
  Instrument() { ApplyDesignTimeValues(link, zelvo); }
  TKelLink link;
  TZelvoPro zelvo;
};

// The link looks for its transport 100 ms after it is created (the IrDA
// stack, or the IrCOMM virtual port); a person pressing Start is never that
// quick, a command line is.
void WaitForStartupProbe(TKelLink& link) {
  WaitUntil([&] { return !link.ReplyTimer()->Enabled(); }, 2000);
}

// The transport, then the link and the instrument component on it.
struct Connection {
  TransportSetup transport;
  std::unique_ptr<Instrument> instrument;

  // False, after saying why, when the transport cannot be used.
  bool Open(const TransportOption& option, const Console& console) {
    QString error;
    if (!transport.Prepare(option, &error)) {
      std::fprintf(console.err, "zelvoflash: %s\n", qPrintable(error));
      return false;
    }
    instrument = std::make_unique<Instrument>();
    WaitForStartupProbe(instrument->link);
    return true;
  }
};

const char* OutcomeText(UploadOutcome outcome) {
  switch (outcome) {
    case UploadOutcome::Completed: return "completed";
    case UploadOutcome::ProgramFailed: return "program command failed";
    case UploadOutcome::UnexpectedDisconnect: return "unexpected disconnect";
    case UploadOutcome::Closed: return "connection closed before the upload";
    case UploadOutcome::None: break;
  }
  return "not finished";
}

}  // namespace

int RunFlash(const CommandOptions& options, const Console& console) {
  TerminalDialogs dialogs(AnswersFor(options, console), console.out, console.in);
  dialogs.SetFirmwareFile(options.firmware);
  ScopedDialogs installed(&dialogs);
  ProgressPrinter progress(console.out, console.terminal);
  dialogs.BeforePrint = [&] { progress.Break(); };

  Connection connection;
  if (!connection.Open(options.transport, console)) return 2;
  Instrument& instrument = *connection.instrument;
  TraceFile trace;
  if (!options.traceFile.isEmpty() && !trace.Open(options.traceFile)) {
    std::fprintf(console.err, "zelvoflash: cannot write the trace file %s\n", qPrintable(options.traceFile));
    return 2;
  }
  trace.Attach(instrument.link);

  TTimer tmrInstrCon, tmrInstrDisc, tmrDockLCDUpd;
  tmrInstrCon.SetInterval(100);
  tmrInstrDisc.SetInterval(100);
  tmrDockLCDUpd.SetInterval(1000);
  UploadSession session(&instrument.zelvo, &instrument.link, &tmrInstrCon, &tmrInstrDisc, &tmrDockLCDUpd);

  QEventLoop loop;
  QString failure;              // why the run failed, when it did
  bool uploading = false;
  UploadOutcome outcome = UploadOutcome::None;

  QTimer identifyTimer, stallTimer, releaseTimer;
  identifyTimer.setSingleShot(true);
  stallTimer.setSingleShot(true);
  releaseTimer.setSingleShot(true);

  // A failure after identification releases the instrument with "STB" while
  // the link is up, then waits for the disconnection step.
  const auto fail = [&](const QString& why) {
    if (!failure.isEmpty()) return;
    failure = why;
    identifyTimer.stop();
    stallTimer.stop();
    progress.Break();
    std::fprintf(console.err, "zelvoflash: %s\n", qPrintable(why));
    if (instrument.link.Connected()) {
      session.cbStopClick();
      releaseTimer.start(kReleaseWaitMs);
    } else {
      instrument.link.CloseLink();
      loop.quit();
    }
  };

  session.OnFinished = [&](UploadOutcome finished) {
    uploading = false;
    outcome = finished;
    loop.quit();
  };
  session.OnConnectionStep = [&](bool started) {
    identifyTimer.stop();
    if (started) {
      uploading = true;
      stallTimer.start(options.stallTimeoutS * 1000);
    } else if (failure.isEmpty()) {
      failure = QStringLiteral("the upload did not start");  // refusal or no accepted file: released by the session
      releaseTimer.start(kReleaseWaitMs);
    }
  };
  session.OnDisplayChanged = [&] {
    const UploadDisplay& d = session.Display();
    if (uploading && failure.isEmpty() && d.stopEnabled)
      progress.Update(d.progress, d.page, UploadSession::TimeText(session.ElapsedSeconds()));
  };
  instrument.zelvo.OnFlashProgress = [&, forward = instrument.zelvo.OnFlashProgress](QObject* sender, int position,
                                                                                      int total) {
    if (forward) forward(sender, position, total);
    if (uploading && failure.isEmpty()) stallTimer.start(options.stallTimeoutS * 1000);
  };
  dialogs.OnShown = [&](const QString& text) {
    if (text == QLatin1String(upload_text::kConnectionTimeOut)) {
      failure = QStringLiteral("the instrument did not come up in time");
      loop.quit();
    } else if (text == QLatin1String(kErrorSendingFlash) || text == QLatin1String(kErrorSendingLoader)) {
      QTimer::singleShot(0, &loop, [&, text] { fail(text); });
    }
  };
  QObject::connect(&identifyTimer, &QTimer::timeout, [&] {
    fail(QStringLiteral("identification did not complete within %1 s").arg(options.identifyTimeoutS));
  });
  QObject::connect(&stallTimer, &QTimer::timeout, [&] {
    fail(QStringLiteral("the upload made no progress for %1 s").arg(options.stallTimeoutS));
  });
  QObject::connect(&releaseTimer, &QTimer::timeout, [&] {
    std::fprintf(console.err, "zelvoflash: the instrument did not answer the release; closing the link\n");
    instrument.link.CloseLink();
    loop.quit();
  });

  identifyTimer.start(options.identifyTimeoutS * 1000);
  QTimer::singleShot(0, &loop, [&] {
    session.cbStartClick();
    if (session.Display().status == QLatin1String("Waiting")) {  // the first question was declined
      failure = QStringLiteral("cancelled by the operator");
      loop.quit();
    }
  });
  loop.exec();
  progress.Break();

  if (failure.isEmpty() && outcome == UploadOutcome::Completed) {
    std::fprintf(console.out, "zelvoflash: flash upload completed\n");
    return 0;
  }
  if (failure.isEmpty()) failure = QString::fromLatin1(OutcomeText(outcome));
  std::fprintf(console.err, "zelvoflash: flash upload failed: %s\n", qPrintable(failure));
  return 1;
}

int RunIdentify(const CommandOptions& options, const Console& console) {
  TerminalDialogs dialogs(AnswersFor(options, console), console.out, console.in);
  ScopedDialogs installed(&dialogs);
  Connection connection;
  if (!connection.Open(options.transport, console)) return 2;
  Instrument& instrument = *connection.instrument;

  QEventLoop loop;
  bool identified = false;
  QString failure;
  QTimer identifyTimer, releaseTimer;
  identifyTimer.setSingleShot(true);
  releaseTimer.setSingleShot(true);

  instrument.link.OnTimeOut = [&](QObject*, quint16) {
    failure = QStringLiteral("the instrument did not come up in time");
    loop.quit();
  };
  instrument.zelvo.OnIsOnline = [&](QObject*, bool online) {
    if (!online) {
      loop.quit();
      return;
    }
    identified = true;
    identifyTimer.stop();
    instrument.link.OnTimeOut = nullptr;
    const TZelvoPro& z = instrument.zelvo;
    std::fprintf(console.out, "kind: %d (%s)\nversion: %s%s\ntype: \"%s\"\n", z.InstrumentKind(),
                 z.InstrumentKind() == 9 ? "ZelvoPro" : "ZelvoLTD", z.InstFlashVersion().constData(),
                 z.IsNG() ? " (NG)" : "", z.InstFlashType().constData());
    std::fflush(console.out);
    instrument.zelvo.SetOnline(false);  // "STB"
    releaseTimer.start(kReleaseWaitMs);
  };
  QObject::connect(&identifyTimer, &QTimer::timeout, [&] {
    failure = QStringLiteral("identification did not complete within %1 s").arg(options.identifyTimeoutS);
    if (instrument.link.Connected())
      instrument.zelvo.SetOnline(false);
    else
      loop.quit();
    releaseTimer.start(kReleaseWaitMs);
  });
  QObject::connect(&releaseTimer, &QTimer::timeout, [&] {
    instrument.link.CloseLink();
    loop.quit();
  });
  identifyTimer.start(options.identifyTimeoutS * 1000);
  QTimer::singleShot(0, &loop, [&] { instrument.zelvo.SetOnline(true); });
  loop.exec();
  if (identified && failure.isEmpty()) return 0;
  std::fprintf(console.err, "zelvoflash: %s\n",
               qPrintable(failure.isEmpty() ? QStringLiteral("the instrument went away") : failure));
  return 1;
}

int RunInfo(const CommandOptions& options, const Console& console) {
  TFlashFile file;
  const bool ng = options.ng.value_or(false);
  if (!file.LoadFlashFile(options.firmware, ng)) {
    std::fprintf(console.err, "zelvoflash: %s is not a valid %s firmware file (%d bytes expected)\n",
                 qPrintable(options.firmware), ng ? "NG" : "classic", ng ? kNGFileSize : kClassicFileSize);
    return 1;
  }
  std::fprintf(console.out, "version: %s\ntype: \"%s\"\ndate: %s\n", file.FileFlashVersion().constData(),
               file.FileFlashType().constData(), file.FileFlashDate().constData());
  return 0;
}

int RunDiscover(const CommandOptions&, const Console& console) {
  std::fprintf(console.err, "zelvoflash: dock discovery is not available in this build\n");
  return 2;
}

int Run(const CommandOptions& options, const Console& console) {
  if (options.command == QLatin1String("flash")) return RunFlash(options, console);
  if (options.command == QLatin1String("identify")) return RunIdentify(options, console);
  if (options.command == QLatin1String("info")) return RunInfo(options, console);
  return RunDiscover(options, console);
}

}  // namespace zelvo::cli
