#include "cli/Options.h"

#include "cli/Transport.h"

namespace zelvo::cli {

QString HelpText() {
  const auto built = [](TransportOption::Kind kind) {
    return TransportBuilt(kind) ? QString() : QStringLiteral(" (not in this build)");
  };
  return QStringLiteral(
             "zelvoflash: writes firmware into ZelvoPro and ZelvoLTD instruments (classic and NG).\n"
             "\n"
             "usage:\n"
             "  zelvoflash flash FIRMWARE [TRANSPORT] [--yes] [--force] [--json] [--log FILE]\n"
             "                   [--trace FILE] [--trace-format raw|hex] [--identify-timeout S] [--stall-timeout S]\n"
             "  zelvoflash identify [TRANSPORT] [--identify-timeout S] [--json]\n"
             "  zelvoflash info FIRMWARE [--ng | --classic] [--json]\n"
             "  zelvoflash list [--json]\n"
             "  zelvoflash discover [--kind kova-express|mp-kova-express|kova6|dorrim] [--json]%1\n"
             "  zelvoflash --help | --version\n"
             "\n"
             "TRANSPORT, at most one:\n"
             "  (none)               IrDA socket, as the window does; without IrDA sockets, the IrCOMM\n"
             "                       virtual port named in the registry mirror\n"
             "  --serial PORT        IrCOMM virtual serial port or plain serial port (device path or COMn)\n"
             "  --dock-net ADDRESS   network Kova Express dock at ADDRESS%2\n"
             "  --dock-usb [N]       N-th Kova Express dock on the USB bus (default 1)%3\n"
             "  --simulate [OPTIONS] the built-in simulated instrument; OPTIONS, comma-separated:\n"
             "                       kind=N version=V type=L delay=MS wrong-ack-at=K no-ack-at=K drop-at=K\n"
             "                       pfm-nak silent noise split=N\n"
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
             "                       (default 60)\n"
             "  --stall-timeout S    give up when the upload makes no progress for S s (default 60)\n"
             "\n"
             "Ctrl-C releases the instrument (\"STB\") and exits with 130.\n"
             "exit status: 0 success, 1 failure, 2 bad usage, 130 interrupted\n")
      .arg(built(TransportOption::Kind::DockNet), built(TransportOption::Kind::DockNet),
           built(TransportOption::Kind::DockUsb));
}

namespace {

bool ParseSeconds(const QString& text, int* value) {
  bool ok = false;
  const int v = text.toInt(&ok);
  if (!ok || v <= 0) return false;
  *value = v;
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
  static const QStringList commands = {"flash", "info", "identify", "list", "discover"};
  if (!commands.contains(options.command)) {
    *error = QStringLiteral("unknown command: %1").arg(options.command);
    return std::nullopt;
  }
  int transports = 0;
  QStringList positional;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool hasNext = i + 1 < args.size();
    const auto next = [&]() -> QString { return args[++i]; };
    const auto nextIsValue = [&] { return hasNext && !args[i + 1].startsWith(QLatin1String("--")); };
    if (a == QLatin1String("--serial") && hasNext) {
      options.transport.kind = TransportOption::Kind::Serial;
      options.transport.serialPort = next();
      ++transports;
    } else if (a == QLatin1String("--dock-net") && hasNext) {
      options.transport.kind = TransportOption::Kind::DockNet;
      options.transport.dockAddress = next();
      ++transports;
    } else if (a == QLatin1String("--dock-usb")) {
      options.transport.kind = TransportOption::Kind::DockUsb;
      if (nextIsValue()) {
        bool ok = false;
        options.transport.dockIndex = next().toInt(&ok);
        if (!ok || options.transport.dockIndex < 1) {
          *error = QStringLiteral("--dock-usb takes a dock number from 1");
          return std::nullopt;
        }
      }
      ++transports;
    } else if (a == QLatin1String("--simulate")) {
      options.transport.kind = TransportOption::Kind::Simulate;
      if (nextIsValue() && sim::LooksLikeSimulationOptions(args[i + 1])) {
        QString why;
        if (!sim::ParseSimulationOptions(next(), options.transport.simConfig, options.transport.simFaults, &why)) {
          *error = QStringLiteral("--simulate: %1").arg(why);
          return std::nullopt;
        }
      }
      ++transports;
    } else if (a == QLatin1String("--yes")) {
      options.yes = true;
    } else if (a == QLatin1String("--force")) {
      options.force = true;
    } else if (a == QLatin1String("--json")) {
      options.json = true;
    } else if (a == QLatin1String("--log") && hasNext) {
      options.logFile = next();
    } else if (a == QLatin1String("--trace") && hasNext) {
      options.traceFile = next();
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
      if (!ParseSeconds(next(), &options.identifyTimeoutS)) {
        *error = QStringLiteral("--identify-timeout takes a positive number of seconds");
        return std::nullopt;
      }
    } else if (a == QLatin1String("--stall-timeout") && hasNext) {
      if (!ParseSeconds(next(), &options.stallTimeoutS)) {
        *error = QStringLiteral("--stall-timeout takes a positive number of seconds");
        return std::nullopt;
      }
    } else if (a == QLatin1String("--ng")) {
      options.ng = true;
    } else if (a == QLatin1String("--classic")) {
      options.ng = false;
    } else if (a == QLatin1String("--kind") && hasNext) {
      options.discoverKind = next();
    } else if (a.startsWith(QLatin1String("--"))) {
      *error = QStringLiteral("unknown or incomplete option: %1").arg(a);
      return std::nullopt;
    } else {
      positional << a;
    }
  }
  if (transports > 1) {
    *error = QStringLiteral("give at most one transport");
    return std::nullopt;
  }
  const bool needsFile = options.command == QLatin1String("flash") || options.command == QLatin1String("info");
  if (positional.size() != (needsFile ? 1 : 0)) {
    *error = needsFile ? QStringLiteral("%1 needs one FIRMWARE file").arg(options.command)
                       : QStringLiteral("unexpected argument: %1").arg(positional.value(0));
    return std::nullopt;
  }
  if (needsFile) options.firmware = positional.first();
  static const QStringList kinds = {"kova-express", "mp-kova-express", "kova6", "dorrim"};
  if (!kinds.contains(options.discoverKind)) {
    *error = QStringLiteral("unknown dock kind: %1").arg(options.discoverKind);
    return std::nullopt;
  }
  return options;
}

}  // namespace zelvo::cli
