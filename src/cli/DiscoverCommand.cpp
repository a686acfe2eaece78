// zelvoflash discover: the network dock search of the window's dock choice.

#include <QJsonArray>
#include <QJsonObject>

#include "cli/Commands.h"
#include "cli/Docks.h"
#include "cli/Interrupt.h"
#include "cli/Report.h"
#include "cli/TerminalDialogs.h"
#include "core/MessagePump.h"
#include "net/DockEnumerator.h"
#include "net/SocketErrors.h"

namespace zelvo::cli {

int RunDiscover(const CommandOptions& options, const Console& console) {
  TerminalDialogs dialogs({options.yes, options.force, console.inputTerminal}, console.out, console.err, console.in);
  ScopedDialogs installed(&dialogs);
  const TPDockType type = *DiscoveryKindOf(options.discoverKind);
  const TPDockKind& kind = DockKindOf(type);
  QJsonArray docks;
  QJsonObject result{{"command", "discover"}, {"kind", options.discoverKind}};
  const auto finish = [&](int status, const QString& message, bool said) {
    if (!said) PrintMessage(console.err, message);
    std::fflush(console.out);
    result.insert("exit", status);
    result.insert("message", message);
    result.insert("docks", docks);
    if (options.json) {
      std::fprintf(console.result, "%s\n", JsonLine(result).constData());
      std::fflush(console.result);
    }
    return status;
  };

  TDockEnumerator enumerator;
  enumerator.SetDockType(type);
  bool enquiryFailed = false;
  enumerator.OnEnumerationStartFailed = [&](QObject*) { enquiryFailed = true; };
  // A line for each dock listed, and again when its name changes; the
  // object holds each dock once, with its latest name.
  enumerator.OnListChanged = [&](QObject*) {
    const int entry = enumerator.ChangedEntry();
    const QString name = PrintableText(enumerator.DockNames.at(entry).toLatin1());
    const QString address = enumerator.DockAddresses.at(entry);
    std::fprintf(console.out, "%s\t%s\n", qPrintable(name), qPrintable(address));
    std::fflush(console.out);
    const QJsonObject dock{{"name", name}, {"address", address}};
    if (entry < docks.size())
      docks.replace(entry, dock);
    else
      docks.append(dock);
  };
  try {
    enumerator.StartEnumeration();
  } catch (const ESocketException& error) {
    if (TDockEnumerator::ListenPortInUse(error))
      return finish(1,
                    QStringLiteral("cannot listen for dock answers: UDP port %1 is in use by another program")
                        .arg(QLatin1String(kind.listenPort)),
                    false);
    return finish(1,
                  QStringLiteral("could not start the dock search (%1): %2 %3")
                      .arg(error.Operation())
                      .arg(error.Code())
                      .arg(WinsockErrorText(error.Code())),
                  false);
  }
  if (enquiryFailed)
    return finish(1,
                  QStringLiteral("Could not start dock auto detection, check your network! (the enquiry to UDP port "
                                 "%1 could not be sent)")
                      .arg(QLatin1String(kind.enquiryPort)),
                  false);

  // The search ends when the enumerator stops listening (its ten seconds).
  bool interrupted = false;
  InterruptWatch interrupts;
  interrupts.OnInterrupt = [&](int) { interrupted = true; };
  WaitUntil([&] { return interrupted || !enumerator.Listening(); }, TDockEnumerator::kListenTimeMs + 5000);
  if (interrupted) return finish(InterruptWatch::kExitInterrupted, QStringLiteral("interrupted"), false);
  if (enumerator.ListFull())
    std::fprintf(console.err, "zelvoflash: more than %d docks answered; those after the first %d are not listed\n",
                 TDockEnumerator::kMaxDocks, TDockEnumerator::kMaxDocks);
  if (docks.isEmpty())
    return finish(0,
                  QStringLiteral("no %1 dock answered within %2 s")
                      .arg(QLatin1String(kind.dockIdent))
                      .arg(TDockEnumerator::kListenTimeMs / 1000),
                  false);
  return finish(0, QStringLiteral("%1 dock(s) answered").arg(docks.size()), true);
}

}  // namespace zelvo::cli
