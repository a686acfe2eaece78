// zelvo-sim: the far side of the utility's links, on the command line.
//
//   zelvo-sim serve [--kind N] [--version V] [--type L] [--power-on S] [FAULTS]
//       Serves a simulated instrument on a pseudo-terminal; prints the slave's
//       path (give it to zelvoflash --serial) and runs until interrupted.
//       Then reports on standard error what the host did; once the instrument
//       was programmed, also "rebuilt image: N bytes, sha256 HEX" (of the image
//       the pages built), to check byte for byte what a host wrote.
//       --restart S: after its "ACKBYE" to "PFM" the instrument is silent for S
//       seconds (default 3), then answers as the firmware it rebuilt.
//       FAULTS: --silent --delay MS --wrong-ack-at K --no-ack-at K --drop-at K --silent-at K
//               --pfm-nak --noise --split N --no-take --no-restart
//   zelvo-sim serve-dock --address A [--name TEXT] [--kind K] [--instrument-kind N] [--version V] [--type L]
//                        [--power-on S] [FAULTS] [DOCK FAULTS]
//       Plays a network dock on address A (TCP control and data ports of kind
//       K: kova-express 5000/5001, mp-kova-express 5002/5003, kova6
//       5004/5005) with a simulated instrument in it, and answers discovery
//       enquiries with TEXT. Prints "A CONTROL DATA" once listening and runs
//       until interrupted; then reports as serve does, with the dock commands.
//       --gone-after MS: the instrument is reported gone MS after its "ACKBYE"
//       (default 30, as a real instrument restarting).
//       DOCK FAULTS: --busy N --nak CMD --remove-at K --unplug-at K --flood-at K --flood-events-at K --flood-replies-at K
//                    --silent-dock --events-with-reply --split-dock --empty-dock --swap-at-release V
//   zelvo-sim make-firmware (--ng | --classic) --version V [--type L] [--date D] [--seed N] [--size N] -o FILE
//       Writes a sample firmware file with synthetic content (--size: cut or
//       padded to N bytes, a file of the wrong size).
//   zelvo-sim --version
//       Prints the version of the utility it comes with.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <cstdio>

#include "core/VersionResource.h"
#include "sim/FirmwareMaker.h"
#include "sim/SignalWait.h"
#include "sim/dock/SimNetDock.h"
#include "sim/instrument/PtyInstrument.h"
#include "sim/net/SimDockResponder.h"

using namespace zelvo::sim;

namespace {

// make-firmware's numbers; a file of a wrong size stays within a megabyte.
constexpr zelvo::NumberRange kSeedRange{0, 0xFFFFFFFF};
constexpr zelvo::NumberRange kFileSizeRange{0, 1 << 20};
// The RSC answer, seconds.
constexpr zelvo::NumberRange kPowerOnRangeS{0, 0xFFFFFFFF};

void PrintUsage(FILE* to) {
  std::fprintf(to,
               "usage: zelvo-sim serve [--kind N] [--version V] [--type L] [--power-on S] [--restart S] [faults]\n"
               "       zelvo-sim serve-dock --address A [--name TEXT] [--kind kova-express|mp-kova-express|kova6]\n"
               "                 [--instrument-kind N] [--version V] [--type L] [--power-on S] [--restart S]\n"
               "                 [--gone-after MS]\n"
               "                 [faults] [dock faults]\n"
               "       zelvo-sim make-firmware (--ng|--classic) --version V [--type L] [--date D] [--seed N] [--size N] -o FILE\n"
               "       zelvo-sim --help | --version\n"
               "faults: --silent --delay MS --wrong-ack-at K --no-ack-at K --drop-at K --silent-at K --pfm-nak --noise\n"
               "        --split N --no-take --no-restart\n"
               "dock faults: --busy N --nak CMD --remove-at K --unplug-at K --flood-at K --flood-events-at K --flood-replies-at K\n"
               "             --silent-dock --events-with-reply --split-dock --empty-dock --swap-at-release V\n"
               "ranges: --kind N and --instrument-kind N %s, --power-on S %s, --restart S %s, --delay MS %s,\n"
               "        a page K %s, --split N %s, --gone-after MS %s, --busy N %s,\n"
               "        --seed N %s, --size N %s\n",
               qPrintable(kKindRange.Text()), qPrintable(kPowerOnRangeS.Text()), qPrintable(kRestartRangeS.Text()),
               qPrintable(kReplyDelayRangeMs.Text()), qPrintable(kPageRange.Text()), qPrintable(kSplitRange.Text()),
               qPrintable(SimDockConfig::kGoneAfterByeRangeMs.Text()), qPrintable(SimDockConfig::kBusyRange.Text()),
               qPrintable(kSeedRange.Text()), qPrintable(kFileSizeRange.Text()));
}

int Usage() {
  PrintUsage(stderr);
  return 2;
}

// The simulated instrument's options; kindOption names its WHO answer.
void AddInstrumentOptions(QCommandLineParser& p, const QString& kindOption) {
  p.addOptions({{kindOption, "WHO answer", "N"},
                {"version", "VFL answer", "V"},
                {"type", "FLV answer", "L"},
                {"power-on", "RSC answer, seconds", "S", "3600"},
                {"silent", "never answer"},
                {"delay", "delay every reply", "MS"},
                {"wrong-ack-at", "acknowledge another page at page K", "K"},
                {"no-ack-at", "never acknowledge page K", "K"},
                {"drop-at", "drop the link at page K", "K"},
                {"silent-at", "answer nothing from page K on, the link kept", "K"},
                {"pfm-nak", "answer PFM with NAK"},
                {"noise", "bytes outside frames"},
                {"split", "replies in pieces of N bytes", "N"},
                {"restart", "silent for S seconds after its ACKBYE to PFM, then back with the firmware it holds",
                 "S"},
                {"no-take", "come back from the restart with the old firmware"},
                {"no-restart", "never answer again after the restart"}});
}

// A value outside its range (or no number at all), refused.
void SayBadValue(const QString& option, const QString& value, const QString& range) {
  std::fprintf(stderr, "zelvo-sim: bad value of --%s: %s%s\n", qPrintable(option), qPrintable(value),
               range.isEmpty() ? "" : qPrintable(QStringLiteral(" (%1)").arg(range)));
}

// False, with the reason shown, when a value is bad.
bool ReadInstrumentOptions(const QCommandLineParser& p, const QString& kindOption, SimInstrumentConfig& config,
                           SimFaults& faults) {
  if (!zelvo::ParseNumber(p.value("power-on"), kPowerOnRangeS, &config.powerOnSeconds)) {
    SayBadValue("power-on", p.value("power-on"), kPowerOnRangeS.Text());
    return false;
  }
  // Every other option as the simulation item of its name.
  const QStringList given{kindOption, "version",   "type",    "silent",  "delay",    "wrong-ack-at",
                          "no-ack-at", "drop-at",   "silent-at", "pfm-nak", "noise", "split",
                          "restart",   "no-take",   "no-restart"};
  for (const QString& option : given) {
    if (!p.isSet(option)) continue;
    const QString item = option == kindOption ? QStringLiteral("kind") : option;
    bool ok = false;
    QString range;
    ParseInstrumentOption(item, p.value(option), config, faults, &ok, &range);
    if (!ok) {
      SayBadValue(option, p.value(option), range);
      return false;
    }
  }
  return true;
}

// Says how many commands of a long session are no longer kept.
QByteArray EarlierNotKept(qint64 received, qsizetype kept) {
  return received > kept ? "(" + QByteArray::number(received - kept) + " earlier not kept) " : QByteArray();
}

// What the host did with the instrument.
void ReportInstrument(const SimInstrument& instrument) {
  const QList<QByteArray> commands = instrument.Commands();
  std::fprintf(stderr, "zelvo-sim: commands: %s%s\n",
               EarlierNotKept(instrument.CommandsReceived(), commands.size()).constData(),
               commands.join(' ').constData());
  std::fprintf(stderr, "zelvo-sim: %d pages (%d sum errors), %d loader chunks, programmed: %s, stood by: %s\n",
               instrument.PagesReceived(), instrument.PageSumErrors(), instrument.CountOf("WAE"),
               instrument.Programmed() ? "yes" : "no", instrument.StoodBy() ? "yes" : "no");
  if (!instrument.Programmed()) return;
  const QByteArray image = instrument.RebuiltImage();
  std::fprintf(stderr, "zelvo-sim: rebuilt image: %lld bytes, sha256 %s\n", static_cast<long long>(image.size()),
               QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex().constData());
}

int Serve(const QStringList& args) {
  QCommandLineParser p;
  AddInstrumentOptions(p, QStringLiteral("kind"));
  if (!p.parse(args)) {
    std::fprintf(stderr, "zelvo-sim: %s\n", qPrintable(p.errorText()));
    return 2;
  }
  SimInstrumentConfig config;
  SimFaults faults;
  if (!ReadInstrumentOptions(p, QStringLiteral("kind"), config, faults)) return 2;

  SimInstrument instrument(config, faults);
  PtyInstrument pty(instrument);
  if (!pty.Open()) {
    std::fprintf(stderr, "zelvo-sim: %s\n", qPrintable(pty.errorString()));
    return 1;
  }
  std::printf("%s\n", qPrintable(pty.SlavePath()));
  std::fflush(stdout);

  // Ends cleanly on SIGINT / SIGTERM, reporting what the host did.
  if (!RunUntilSignalled()) return 1;
  ReportInstrument(instrument);
  return 0;
}

zelvo::TPDockType DiscoveryKindOf(SimDockKind kind) {
  switch (kind) {
    case SimDockKind::MultiPort: return zelvo::TPDockType::tpMP_KovaExpress;
    case SimDockKind::Kova6: return zelvo::TPDockType::tpKova6;
    case SimDockKind::KovaExpress: break;
  }
  return zelvo::TPDockType::tpKovaExpress;
}

int ServeDock(const QStringList& args) {
  QCommandLineParser p;
  AddInstrumentOptions(p, QStringLiteral("instrument-kind"));
  p.addOptions({{"address", "dotted IPv4 address to listen on", "A"},
                {"name", "the text discovery enquiries are answered with", "TEXT"},
                {"kind", "dock kind: kova-express, mp-kova-express or kova6", "K", "kova-express"},
                {"gone-after", "report the instrument gone MS (0 to 200) after its ACKBYE (default 30)", "MS"},
                {"busy", "answer SLV busy N times", "N"},
                {"nak", "answer this command NAK", "CMD"},
                {"remove-at", "take the instrument out at page K", "K"},
                {"unplug-at", "the dock goes away at page K", "K"},
                {"flood-at", "no reply to page K: noise on the data channel without pause instead", "K"},
                {"flood-events-at", "no reply to page K: event reports on the control channel without pause", "K"},
                {"flood-replies-at", "no reply to page K: replies' letters on the control channel without pause", "K"},
                {"swap-at-release", "at the first DSC, the instrument is swapped for one running version V", "V"}});
  for (const QString& flag : DockOptionFlags()) p.addOption({flag, "dock fault"});
  if (!p.parse(args)) {
    std::fprintf(stderr, "zelvo-sim: %s\n", qPrintable(p.errorText()));
    return 2;
  }
  const QHostAddress address(p.value("address"));
  if (!p.isSet("address") || address.protocol() != QAbstractSocket::IPv4Protocol) {
    std::fprintf(stderr, "zelvo-sim: serve-dock needs --address with a dotted IPv4 address\n");
    return 2;
  }
  SimInstrumentConfig config;
  SimFaults faults;
  if (!ReadInstrumentOptions(p, QStringLiteral("instrument-kind"), config, faults)) return 2;
  SimDockConfig dockConfig;
  // The dock's options and faults, read as the simulation options read them.
  QStringList given{"kind",      "gone-after", "busy",     "nak",             "remove-at",
                    "unplug-at", "flood-at",   "flood-events-at", "flood-replies-at", "swap-at-release"};
  given << DockOptionFlags();
  for (const QString& option : given) {
    if (!p.isSet(option)) continue;
    bool ok = false;
    QString range;
    ParseDockOption(option == QLatin1String("kind") ? QStringLiteral("dock") : option, p.value(option), dockConfig,
                    &ok, &range);
    if (!ok) {
      SayBadValue(option, p.value(option), range);
      return 2;
    }
  }

  SimInstrument instrument(config, faults);
  SimNetDock dock(instrument, dockConfig);
  QString error;
  if (!dock.Listen(address, &error)) {
    std::fprintf(stderr, "zelvo-sim: %s\n", qPrintable(error));
    return 1;
  }
  const zelvo::TPDockType discoveryKind = DiscoveryKindOf(dockConfig.kind);
  const QByteArray name = p.isSet("name") ? p.value("name").toUtf8()
                                          : QByteArray(zelvo::DockKindOf(discoveryKind).dockIdent) + " zelvo-sim";
  SimDockResponder responder(discoveryKind, name, address);
  if (!responder.Start())
    std::fprintf(stderr, "zelvo-sim: not answering discovery enquiries: %s\n", qPrintable(responder.ErrorText()));
  const DockPorts ports = DockPortsOf(dockConfig.kind);
  std::printf("%s %u %u\n", qPrintable(address.toString()), ports.control, ports.data);
  std::fflush(stdout);

  if (!RunUntilSignalled()) return 1;
  const QStringList dockCommands = dock.Dock().Commands();
  QByteArray shown = EarlierNotKept(dock.Dock().CommandsReceived(), dockCommands.size());
  for (const char c : dockCommands.join(' ').toLatin1())  // "PSS" carries two raw bytes
    shown += (c >= 0x20 && c < 0x7F) ? QByteArray(1, c) : "\\x" + QByteArray::number(static_cast<uchar>(c), 16).rightJustified(2, '0');
  std::fprintf(stderr, "zelvo-sim: dock commands: %s\n", shown.constData());
  std::fprintf(stderr, "zelvo-sim: discovery enquiries answered: %d\n", responder.EnquiriesAnswered());
  if (dock.Dock().FloodedBytes() > 0)
    std::fprintf(stderr, "zelvo-sim: flooded: %lld bytes\n", static_cast<long long>(dock.Dock().FloodedBytes()));
  ReportInstrument(instrument);
  return 0;
}

int MakeFirmware(const QStringList& args) {
  QCommandLineParser p;
  p.addOptions({{"ng", "NG layout (49,154 bytes)"},
                {"classic", "classic layout (32,258 bytes)"},
                {"version", "version (classic: 4 characters; NG: a number)", "V"},
                {"type", "type letter (classic: 'none' for no type)", "L", "A"},
                {"date", "build date, 19 characters", "D", "2026-01-15 10:30:00"},
                {"seed", "varies the content", "N", "1"},
                {"size", "cut or pad the file to N bytes", "N", "0"},
                {{"o", "output"}, "file to write", "FILE"}});
  if (!p.parse(args) || p.isSet("ng") == p.isSet("classic") || !p.isSet("version") || !p.isSet("o")) return Usage();
  FirmwareRecipe recipe;
  if (!zelvo::ParseNumber(p.value("seed"), kSeedRange, &recipe.seed)) {
    SayBadValue("seed", p.value("seed"), kSeedRange.Text());
    return 2;
  }
  if (!zelvo::ParseNumber(p.value("size"), kFileSizeRange, &recipe.size)) {
    SayBadValue("size", p.value("size"), kFileSizeRange.Text());
    return 2;
  }
  recipe.ng = p.isSet("ng");
  recipe.version = p.value("version").toLatin1();
  const QByteArray type = p.value("type").toLatin1();
  if (type.isEmpty()) {
    SayBadValue("type", p.value("type"), QStringLiteral("a letter, or none"));
    return 2;
  }
  recipe.type = type == "none" ? '\xFF' : type.at(0);
  recipe.date = p.value("date").toLatin1();
  if (!WriteFirmware(p.value("o"), recipe)) {
    std::fprintf(stderr, "zelvo-sim: cannot write %s\n", qPrintable(p.value("o")));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = QCoreApplication::arguments();
  if (args.size() < 2) return Usage();
  const QString command = args.takeAt(1);
  if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
    PrintUsage(stdout);
    return 0;
  }
  if (command == QLatin1String("--version") && args.size() == 1) {
    const QString version = zelvo::ExecutableFileVersion(QCoreApplication::applicationFilePath());
    std::printf("zelvo-sim %s\n", version.isEmpty() ? "(no version block)" : qPrintable(version));
    return 0;
  }
  if (command == QLatin1String("serve")) return Serve(args);
  if (command == QLatin1String("serve-dock")) return ServeDock(args);
  if (command == QLatin1String("make-firmware")) return MakeFirmware(args);
  return Usage();
}
