#include "cli/Commands.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

#include "cli/Connection.h"
#include "cli/Interrupt.h"
#include "cli/Report.h"
#include "cli/TerminalDialogs.h"
#include "cli/Transport.h"
#include "core/MessagePump.h"
#include "instrument/FlashFile.h"
#include "session/FlashJob.h"

namespace zelvo::cli {

namespace {

void PrintResult(const CommandOptions& options, const Console& console, const QJsonObject& result) {
  if (!options.json) return;
  std::fprintf(console.result, "%s\n", JsonLine(result).constData());
  std::fflush(console.result);
}

}  // namespace

int RunIdentify(const CommandOptions& options, const Console& console) {
  TerminalDialogs dialogs({options.yes, options.force, console.inputTerminal}, console.out, console.err, console.in);
  ScopedDialogs installed(&dialogs);
  QJsonObject result{{"command", "identify"}, {"transport", TransportName(options.transport)}};
  const auto finish = [&](int status, const QString& message) {
    if (status != 0) PrintMessage(console.err, message);
    result.insert("exit", status);
    result.insert("message", message);
    PrintResult(options, console, result);
    return status;
  };
  Connection connection;
  QString why;
  if (!connection.Open(options, &why)) return finish(1, why);
  Instrument& instrument = *connection.instrument;

  JobLimits limits;
  limits.identifyS = options.identifyTimeoutS;
  FlashJob job({&instrument.zelvo, &instrument.link, nullptr, limits});
  MessageLoop loop;
  std::optional<JobEnding> ended;
  InterruptWatch interrupts;
  job.OnIdentified = [&](const InstrumentIdentity& z) {
    std::fprintf(console.out, "kind: %d (%s)\nversion: %s%s\ntype: \"%s\"\n", z.InstrumentKind,
                 z.InstrumentKind == 9 ? "ZelvoPro" : "ZelvoLTD", qPrintable(PrintableText(z.InstFlashVersion)),
                 z.IsNG ? " (NG)" : "", qPrintable(PrintableText(z.InstFlashType)));
    std::fflush(console.out);
    result.insert("instrument", QJsonObject{{"kind", z.InstrumentKind},
                                            {"family", FamilyName(z.InstrumentKind)},
                                            {"version", PrintableText(z.InstFlashVersion)},
                                            {"type_letter", PrintableText(z.InstFlashType)},
                                            {"ng", z.IsNG}});
  };
  job.OnEnded = [&](const JobEnding& ending) {
    ended = ending;
    loop.Quit();
  };
  interrupts.OnInterrupt = [&](int signal) { job.Interrupt(signal); };
  QTimer::singleShot(0, &job, [&] {
    if (job.State() == JobState::Idle) job.Identify();
  });
  loop.Exec();
  if (ended->signal)
    return finish(InterruptWatch::kExitInterrupted, QStringLiteral("interrupted by %1").arg(SignalName(ended->signal)));
  switch (ended->stop) {
    case JobStop::None:
      if (ended->result.identified) return finish(0, QStringLiteral("identified"));
      return finish(1, QStringLiteral("the instrument went away"));
    case JobStop::IdentifyLimit:
      return finish(1, QStringLiteral("identification did not complete within %1 s").arg(options.identifyTimeoutS));
    case JobStop::NotUp: return finish(1, QStringLiteral("the instrument did not come up in time"));
    case JobStop::LinkNotOpened: return finish(1, QStringLiteral("the link could not be opened"));
    default: return finish(1, QStringLiteral("the instrument went away"));
  }
}

int RunInfo(const CommandOptions& options, const Console& console) {
  QJsonObject result{{"command", "info"}, {"path", options.firmware}};
  const auto fail = [&](const QString& message) {
    PrintMessage(console.err, message);
    result.insert("exit", 1);
    result.insert("message", message);
    PrintResult(options, console, result);
    return 1;
  };
  QByteArray bytes;
  QString why;
  if (!ReadRegularFile(options.firmware, kFlashImageSize + 1, &bytes, &why)) return fail(why);
  const qint64 size = bytes.size();
  result.insert("size", size);
  // The layout follows from the size, unless --ng or --classic says otherwise.
  const bool ng = options.ng.value_or(size == kNGFileSize);
  const int expected = ng ? kNGFileSize : kClassicFileSize;
  if (!options.ng && size != kNGFileSize && size != kClassicFileSize)
    return fail(QStringLiteral("%1 is %2 bytes, which fits neither firmware layout (%3 bytes classic, %4 bytes NG)")
                    .arg(options.firmware)
                    .arg(size)
                    .arg(kClassicFileSize)
                    .arg(kNGFileSize));
  TFlashFile file;
  if (!file.LoadFlashBytes(bytes, ng))
    return fail(QStringLiteral("%1 is not a valid %2 firmware file (%3 bytes, %4 expected)")
                    .arg(options.firmware, ng ? QStringLiteral("NG") : QStringLiteral("classic"))
                    .arg(size)
                    .arg(expected));
  const QString version = PrintableText(file.FileFlashVersion());
  const QString type = PrintableText(file.FileFlashType());
  const QString date = PrintableText(file.FileFlashDate());
  const QString instruments =
      ng ? QStringLiteral("ZelvoPro NG and ZelvoLTD NG (instrument firmware 9.0 and above)")
         : QStringLiteral("ZelvoPro and ZelvoLTD (BP), classic (instrument firmware below 9.0)");
  const QString typeNote = file.FileFlashType() == " "
                               ? QStringLiteral("no type letter: any instrument type, without the type question")
                               : QStringLiteral("instruments of type \"%1\"; others are asked the type question").arg(type);
  std::fprintf(console.out, "layout: %s (%lld bytes)\nversion: %s\ntype: \"%s\"\ndate: %s\nfor: %s\n      %s\n",
               ng ? "NG" : "classic", static_cast<long long>(size), qPrintable(version), qPrintable(type),
               qPrintable(date), qPrintable(instruments), qPrintable(typeNote));
  result.insert("exit", 0);
  result.insert("layout", ng ? "ng" : "classic");
  result.insert("version", version);
  result.insert("type_letter", type);
  result.insert("date", date);
  result.insert("instruments", instruments);
  PrintResult(options, console, result);
  return 0;
}

int RunList(const CommandOptions& options, const Console& console) {
  QJsonArray entries;
  QString section;
  for (const TransportListing& entry : ListTransports()) {
    if (entry.section != section) {
      section = entry.section;
      std::fprintf(console.out, "%s:\n", qPrintable(section));
    }
    std::fprintf(console.out, "  %s%s%s%s\n", qPrintable(entry.name), entry.name.isEmpty() ? "" : "  ",
                 qPrintable(entry.description),
                 entry.use.isEmpty() ? "" : qPrintable(QStringLiteral("  -> flash FILE ") + entry.use));
    entries.append(QJsonObject{
        {"section", entry.section}, {"name", entry.name}, {"description", entry.description}, {"use", entry.use}});
  }
  std::fflush(console.out);
  PrintResult(options, console, QJsonObject{{"command", "list"}, {"exit", 0}, {"transports", entries}});
  return 0;
}

int Run(const CommandOptions& options, const Console& console) {
  if (options.command == QLatin1String("flash")) return RunFlash(options, console);
  if (options.command == QLatin1String("fleet")) return RunFleet(options, console);
  if (options.command == QLatin1String("identify")) return RunIdentify(options, console);
  if (options.command == QLatin1String("info")) return RunInfo(options, console);
  if (options.command == QLatin1String("list")) return RunList(options, console);
  return RunDiscover(options, console);
}

}  // namespace zelvo::cli
