#include "cli/Options.h"

#include <QHostAddress>

#include "cli/Docks.h"

namespace zelvo::cli {

QString HelpText() {
  return QStringLiteral(
             "zelvoflash: writes firmware into ZelvoPro and ZelvoLTD instruments (classic and NG).\n"
             "\n"
             "usage:\n"
             "  zelvoflash flash FIRMWARE [TRANSPORT] [--yes] [--force] [--json] [--log FILE]\n"
             "                   [--trace FILE] [--trace-format raw|hex] [--identify-timeout S] [--stall-timeout S]\n"
             "                   [--verify [--verify-timeout S]]\n"
             "  zelvoflash fleet FIRMWARE DOCK... --yes [--force] [--once] [--verify [--verify-timeout S]]\n"
             "                   [--json] [--log FILE] [--trace-dir DIR] [--identify-timeout S] [--stall-timeout S]\n"
             "                   flashes the instrument put in each dock, every dock at once; DOCK:\n"
             "                   --dock-net ADDRESS, --dock-usb N, --dock-usb all (each USB dock), or\n"
             "                   --simulate via=net-dock|usb-dock,docks=N (simulated docks)\n"
             "  zelvoflash identify [TRANSPORT] [--identify-timeout S] [--json]\n"
             "  zelvoflash info FIRMWARE [--ng | --classic] [--json]\n"
             "  zelvoflash list [--json]\n"
             "  zelvoflash discover [--kind %1] [--json]\n"
             "                   searches the network for docks for 10 s: one line NAME<TAB>ADDRESS per dock\n"
             "                   (again when its name changes; at most 256 docks)\n"
             "  zelvoflash --help | --version\n"
             "\n"
             "TRANSPORT, at most one:\n"
             "  (none)               IrDA socket, as the window does; without IrDA sockets, the IrCOMM\n"
             "                       virtual port named in the registry mirror\n"
             "  --serial PORT        IrCOMM virtual serial port or plain serial port (device path or COMn)\n"
             "  --dock-net ADDRESS   network dock at ADDRESS (see discover)\n"
             "  --dock-usb [N]       N-th dock on the USB bus, N %4 (default 1; see list)\n"
             "  --dock-kind K        the dock's kind with --dock-net or --dock-usb: %2\n"
             "                       (default kova-express)\n"
             "  --simulate [OPTIONS] the built-in simulated instrument; OPTIONS, comma-separated:\n"
             "                       %3\n"
             "\n"
             "flash options:\n"
             "  --yes                answer the routine questions Yes (erase warning, placing the instrument,\n"
             "                       \"Upgrade To Version ...\")\n"
             "  --force              also answer Yes when the file's type differs from the instrument's or\n"
             "                       its version is older; without it those are asked on a terminal and\n"
             "                       answered No otherwise\n"
             "  --json               print one JSON object with the result on standard output (other\n"
             "                       output goes to standard error)\n"
             "  --log FILE           append that JSON object as one line to FILE (a service record)\n"
             "  --trace FILE         append the debug window's trace lines to FILE\n"
             "  --trace-format F     raw (the lines as the debug window shows them) or hex\n"
             "  --identify-timeout S give up when identification has not completed S s after the link is up\n"
             "                       (S %5, default 60); through a dock also the wait for the instrument\n"
             "  --stall-timeout S    give up when the upload makes no progress for S s (S %5, default 60)\n"
             "  --verify             after the upload, wait for the instrument to restart, identify it and\n"
             "                       check that it runs the file's version (and type letter); exit 1 when not\n"
             "  --verify-timeout S   wait at most S s after the upload for the instrument to come back\n"
             "                       (S %5, default 120)\n"
             "\n"
             "fleet options (with --yes, --force, --json, --log, --verify and the time-outs above):\n"
             "  --once               one instrument per dock, then exit (0 when every one completed);\n"
             "                       without it each dock flashes the next instrument put in it until Ctrl-C.\n"
             "                       An instrument that already runs the file's firmware is not flashed.\n"
             "  --trace-dir DIR      one trace file per dock in DIR\n"
             "  --dock-kind K        the kind of every dock given\n"
             "\n"
             "Ctrl-C releases the instrument (\"STB\"), every instrument in flight with fleet, and exits\n"
             "with 130.\n"
             "exit status: 0 success, 1 failure, 2 bad usage, 130 interrupted\n")
      .arg(DiscoveryKindOptions(), DockKindNames().join(QLatin1Char('|')),
           sim::SimulationOptionsText().replace(QLatin1String("; "), QLatin1String(";\n                       ")),
           kDockNumberRange.Text(), kTimeoutRangeS.Text());
}

namespace {

// The options that take a value.
const QStringList kValueOptions = {"--serial",         "--dock-net",      "--dock-kind",  "--log",
                                   "--trace",          "--trace-format",  "--identify-timeout",
                                   "--stall-timeout",  "--trace-dir",     "--verify-timeout", "--kind"};

// A time-out option's seconds; false, with error naming the option and the
// range, when outside it.
bool ParseSeconds(const QString& option, const QString& text, int* value, QString* error) {
  if (ParseNumber(text, kTimeoutRangeS, value)) return true;
  *error = QStringLiteral("%1 takes a number of seconds from %2, not %3").arg(option, kTimeoutRangeS.Text(), text);
  return false;
}

// The fleet's docks and the options that go with them; the dock kind given
// applies to every dock.
bool CheckFleetOptions(CommandOptions& options, bool dockKindGiven, QString* error) {
  const TransportOption& simulated = options.transport;
  const bool simulating = simulated.kind == TransportOption::Kind::Simulate;
  if (simulated.kind == TransportOption::Kind::Serial || (simulating && simulated.simulation.via == sim::SimVia::Irda)) {
    *error = QStringLiteral("fleet flashes through docks: give --dock-net ADDRESS, --dock-usb N or --dock-usb all");
    return false;
  }
  if (simulating && !options.docks.isEmpty()) {
    *error = QStringLiteral("fleet takes either simulated docks (--simulate) or real ones, not both");
    return false;
  }
  if (!simulating && options.docks.isEmpty()) {
    *error = QStringLiteral("fleet needs at least one dock: --dock-net ADDRESS, --dock-usb N or --dock-usb all");
    return false;
  }
  if (dockKindGiven && simulating) {
    *error = QStringLiteral("--dock-kind goes with --dock-net or --dock-usb (a simulated dock takes dock=KIND)");
    return false;
  }
  for (TransportOption& dock : options.docks) dock.dockKind = options.transport.dockKind;
  int usbDocks = 0;
  bool allUsb = false;
  for (qsizetype i = 0; i < options.docks.size(); ++i) {
    const TransportOption& dock = options.docks[i];
    if (dock.kind == TransportOption::Kind::DockUsb) {
      ++usbDocks;
      allUsb = allUsb || dock.dockIndex == 0;
    }
    for (qsizetype j = 0; j < i; ++j) {
      const TransportOption& other = options.docks[j];
      if (other.kind == dock.kind && other.dockAddress == dock.dockAddress && other.dockIndex == dock.dockIndex) {
        *error = QStringLiteral("the same dock is given twice: %1")
                     .arg(dock.kind == TransportOption::Kind::DockNet ? dock.dockAddress
                                                                      : QStringLiteral("--dock-usb %1").arg(dock.dockIndex));
        return false;
      }
    }
  }
  if (allUsb && usbDocks > 1) {
    *error = QStringLiteral("--dock-usb all takes every USB dock; give no other --dock-usb");
    return false;
  }
  if (!options.traceFile.isEmpty()) {
    *error = QStringLiteral("fleet writes one trace file per dock: give --trace-dir DIR");
    return false;
  }
  // Nobody is asked one dock at a time.
  if (!options.yes) {
    *error = QStringLiteral("fleet asks no questions: give --yes (and --force to accept an older file or one of another type)");
    return false;
  }
  return true;
}

}  // namespace

std::optional<CommandOptions> ParseArguments(const QStringList& arguments, QString* error) {
  CommandOptions options;
  QStringList args = arguments;
  if (args.isEmpty()) {
    *error = QStringLiteral("no command given");
    return std::nullopt;
  }
  options.command = args.takeFirst();
  static const QStringList commands = {"flash", "fleet", "info", "identify", "list", "discover"};
  if (!commands.contains(options.command)) {
    *error = QStringLiteral("unknown command: %1").arg(options.command);
    return std::nullopt;
  }
  const bool fleet = options.command == QLatin1String("fleet");
  int transports = 0;
  bool dockKindGiven = false;
  bool verifyTimeoutGiven = false;
  QStringList positional;
  for (qsizetype i = 0; i < args.size(); ++i) {
    // An option's value is written --opt=VALUE or as the next argument; the
    // next argument is not taken when it is an option itself (a file named
    // "--yes" is written --log=--yes).
    QString a = args[i];
    std::optional<QString> inlineValue;
    if (const qsizetype equals = a.indexOf(QLatin1Char('=')); a.startsWith(QLatin1String("--")) && equals > 2) {
      inlineValue = a.mid(equals + 1);
      a.truncate(equals);
    }
    const bool nextIsOption = i + 1 < args.size() && args[i + 1].startsWith(QLatin1String("--"));
    const bool hasNext = inlineValue || (i + 1 < args.size() && !nextIsOption);
    const auto peek = [&]() -> QString { return inlineValue ? *inlineValue : args[i + 1]; };
    const auto next = [&]() -> QString {
      if (!inlineValue) return args[++i];
      const QString value = *inlineValue;
      inlineValue.reset();
      return value;
    };
    const auto nextIsValue = [&] { return hasNext; };
    if (a == QLatin1String("--serial") && hasNext) {
      options.transport.kind = TransportOption::Kind::Serial;
      options.transport.serialPort = next();
      ++transports;
    } else if (a == QLatin1String("--dock-net") && hasNext) {
      options.transport.kind = TransportOption::Kind::DockNet;
      options.transport.dockAddress = next();
      if (QHostAddress(options.transport.dockAddress).protocol() != QAbstractSocket::IPv4Protocol) {
        *error = QStringLiteral("--dock-net takes a dotted IPv4 address, not %1").arg(options.transport.dockAddress);
        return std::nullopt;
      }
      ++transports;
      options.docks.append(options.transport);
    } else if (a == QLatin1String("--dock-usb")) {
      options.transport.kind = TransportOption::Kind::DockUsb;
      options.transport.dockIndex = 1;
      if (fleet && nextIsValue() && peek() == QLatin1String("all")) {
        options.transport.dockIndex = 0;
        next();
      } else if (nextIsValue()) {
        const QString number = next();
        if (!ParseNumber(number, kDockNumberRange, &options.transport.dockIndex)) {
          *error = QStringLiteral("--dock-usb takes a dock number from %1%2, not %3")
                       .arg(kDockNumberRange.Text(), fleet ? QStringLiteral(", or all") : QString(), number);
          return std::nullopt;
        }
      }
      ++transports;
      options.docks.append(options.transport);
    } else if (a == QLatin1String("--simulate")) {
      options.transport.kind = TransportOption::Kind::Simulate;
      if (nextIsValue() && (inlineValue || sim::LooksLikeSimulationSetup(peek()))) {
        QString why;
        if (!sim::ParseSimulationSetup(next(), options.transport.simulation, &why)) {
          *error = QStringLiteral("--simulate: %1").arg(why);
          return std::nullopt;
        }
      }
      ++transports;
    } else if (a == QLatin1String("--dock-kind") && hasNext) {
      const QString name = next();
      if (!ParseDockKind(name, &options.transport.dockKind)) {
        *error = QStringLiteral("unknown dock kind: %1 (%2)").arg(name, DockKindNames().join(QLatin1Char('|')));
        return std::nullopt;
      }
      dockKindGiven = true;
    } else if (a == QLatin1String("--yes")) {
      options.yes = true;
    } else if (a == QLatin1String("--force")) {
      options.force = true;
    } else if (a == QLatin1String("--json")) {
      options.json = true;
    } else if (a == QLatin1String("--log") && hasNext) {
      options.logFile = next();
      if (options.logFile.isEmpty()) {
        *error = QStringLiteral("--log takes a file name");
        return std::nullopt;
      }
    } else if (a == QLatin1String("--trace") && hasNext) {
      options.traceFile = next();
      if (options.traceFile.isEmpty()) {
        *error = QStringLiteral("--trace takes a file name");
        return std::nullopt;
      }
    } else if (a == QLatin1String("--trace-format") && hasNext) {
      const QString format = next();
      if (format == QLatin1String("raw")) {
        options.traceFormat = TraceFormat::Raw;
      } else if (format == QLatin1String("hex")) {
        options.traceFormat = TraceFormat::Hex;
      } else {
        *error = QStringLiteral("--trace-format takes raw or hex, not %1").arg(format);
        return std::nullopt;
      }
    } else if (a == QLatin1String("--identify-timeout") && hasNext) {
      if (!ParseSeconds(a, next(), &options.identifyTimeoutS, error)) return std::nullopt;
    } else if (a == QLatin1String("--stall-timeout") && hasNext) {
      if (!ParseSeconds(a, next(), &options.stallTimeoutS, error)) return std::nullopt;
    } else if (a == QLatin1String("--once")) {
      options.once = true;
    } else if (a == QLatin1String("--trace-dir") && hasNext) {
      options.traceDir = next();
    } else if (a == QLatin1String("--verify")) {
      options.verify = true;
    } else if (a == QLatin1String("--verify-timeout") && hasNext) {
      if (!ParseSeconds(a, next(), &options.verifyTimeoutS, error)) return std::nullopt;
      verifyTimeoutGiven = true;
    } else if (a == QLatin1String("--ng")) {
      options.ng = true;
    } else if (a == QLatin1String("--classic")) {
      options.ng = false;
    } else if (a == QLatin1String("--kind") && hasNext) {
      options.discoverKind = next();
    } else if (a.startsWith(QLatin1String("--"))) {
      if (nextIsOption && kValueOptions.contains(a))
        *error = QStringLiteral("%1 takes a value, not the option %2 (a value beginning with -- is written %1=VALUE)")
                     .arg(a, args[i + 1]);
      else
        *error = QStringLiteral("unknown or incomplete option: %1").arg(a);
      return std::nullopt;
    } else {
      positional << a;
    }
    if (inlineValue) {
      *error = QStringLiteral("%1 takes no value").arg(a);
      return std::nullopt;
    }
  }
  if (fleet) {
    if (!CheckFleetOptions(options, dockKindGiven, error)) return std::nullopt;
  } else if (transports > 1) {
    *error = QStringLiteral("give at most one transport");
    return std::nullopt;
  } else if (options.once || !options.traceDir.isEmpty()) {
    *error = QStringLiteral("%1 goes with fleet").arg(options.once ? QStringLiteral("--once") : QStringLiteral("--trace-dir"));
    return std::nullopt;
  }
  const TransportOption::Kind kind = options.transport.kind;
  if (dockKindGiven && kind != TransportOption::Kind::DockNet && kind != TransportOption::Kind::DockUsb) {
    *error = QStringLiteral("--dock-kind goes with --dock-net or --dock-usb (a simulated dock takes dock=KIND)");
    return std::nullopt;
  }
  if (options.verify && options.command != QLatin1String("flash") && !fleet) {
    *error = QStringLiteral("--verify goes with flash or fleet");
    return std::nullopt;
  }
  if (verifyTimeoutGiven && !options.verify) {
    *error = QStringLiteral("--verify-timeout goes with --verify");
    return std::nullopt;
  }
  const bool needsFile = options.command == QLatin1String("flash") || fleet || options.command == QLatin1String("info");
  if (positional.size() != (needsFile ? 1 : 0)) {
    *error = needsFile ? QStringLiteral("%1 needs one FIRMWARE file").arg(options.command)
                       : QStringLiteral("unexpected argument: %1").arg(positional.value(0));
    return std::nullopt;
  }
  if (needsFile) options.firmware = positional.first();
  if (!DiscoveryKindOf(options.discoverKind)) {
    *error = QStringLiteral("unknown dock kind: %1 (%2)").arg(options.discoverKind, DiscoveryKindOptions());
    return std::nullopt;
  }
  return options;
}

}  // namespace zelvo::cli
