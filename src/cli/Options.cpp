#include "cli/Options.h"

namespace zelvo::cli {

QString UsageText() {
  return QStringLiteral(
      "usage:\n"
      "  zelvoflash flash FIRMWARE [TRANSPORT] [--yes] [--trace FILE] [--identify-timeout S] [--stall-timeout S]\n"
      "  zelvoflash info FIRMWARE (--ng | --classic)\n"
      "  zelvoflash identify [TRANSPORT] [--identify-timeout S]\n"
      "  zelvoflash discover [--kind kova-express|mp-kova-express|kova6|dorrim]\n"
      "TRANSPORT, at most one:\n"
      "  --serial PORT        IrCOMM virtual serial port or plain serial port (device path or COMn)\n"
      "  --dock-net ADDRESS   network Kova Express dock at ADDRESS\n"
      "  --dock-usb [N]       N-th Kova Express dock on the USB bus (default 1)\n"
      "  --simulate [kind=N,version=V,type=L,delay=MS,wrong-ack-at=K,no-ack-at=K,drop-at=K,pfm-nak,silent,noise,split=N]\n"
      "                       the built-in simulated instrument\n"
      "  (none)               IrDA socket, as the window does\n"
      "exit status: 0 success, 1 failure, 2 bad usage\n");
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
  static const QStringList commands = {"flash", "info", "identify", "discover"};
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
      if (nextIsValue() && sim::LooksLikeSimulationOptions(args[i + 1]) &&
          !sim::ParseSimulationOptions(next(), options.transport.simConfig, options.transport.simFaults, error))
        return std::nullopt;
      ++transports;
    } else if (a == QLatin1String("--yes")) {
      options.yes = true;
    } else if (a == QLatin1String("--trace") && hasNext) {
      options.traceFile = next();
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
  if (options.command == QLatin1String("info") && !options.ng) {
    *error = QStringLiteral("info needs --ng or --classic");
    return std::nullopt;
  }
  static const QStringList kinds = {"kova-express", "mp-kova-express", "kova6", "dorrim"};
  if (!kinds.contains(options.discoverKind)) {
    *error = QStringLiteral("unknown dock kind: %1").arg(options.discoverKind);
    return std::nullopt;
  }
  return options;
}

}  // namespace zelvo::cli
