// zelvo-sim: the far side of the utility's links, on the command line.
//
//   zelvo-sim serve [--kind N] [--version V] [--type L] [--power-on S] [FAULTS]
//       Serves a simulated instrument on a pseudo-terminal; prints the slave's
//       path (give it to zelvoflash --serial) and runs until interrupted.
//       FAULTS: --silent --delay MS --wrong-ack-at K --no-ack-at K --drop-at K
//               --pfm-nak --noise --split N
//   zelvo-sim make-firmware (--ng | --classic) --version V [--type L] [--date D] [--seed N] [--size N] -o FILE
//       Writes a sample firmware file with synthetic content (--size: cut or
//       padded to N bytes, a file of the wrong size).

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <unistd.h>

#include "sim/FirmwareMaker.h"
#include "sim/instrument/PtyInstrument.h"

using namespace zelvo::sim;

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: zelvo-sim serve [--kind N] [--version V] [--type L] [--power-on S] [faults]\n"
               "       zelvo-sim make-firmware (--ng|--classic) --version V [--type L] [--date D] [--seed N] [--size N] -o FILE\n"
               "faults: --silent --delay MS --wrong-ack-at K --no-ack-at K --drop-at K --pfm-nak --noise --split N\n");
  return 2;
}

int g_signalPipe[2] = {-1, -1};
void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

int Serve(const QStringList& args) {
  QCommandLineParser p;
  p.addOptions({{"kind", "WHO answer", "N", "9"},
                {"version", "VFL answer", "V", "9.12"},
                {"type", "FLV answer", "L", "A"},
                {"power-on", "RSC answer, seconds", "S", "3600"},
                {"silent", "never answer"},
                {"delay", "delay every reply", "MS", "0"},
                {"wrong-ack-at", "acknowledge another page at page K", "K", "-1"},
                {"no-ack-at", "never acknowledge page K", "K", "-1"},
                {"drop-at", "drop the link at page K", "K", "-1"},
                {"pfm-nak", "answer PFM with NAK"},
                {"noise", "bytes outside frames"},
                {"split", "replies in pieces of N bytes", "N", "0"}});
  if (!p.parse(args)) {
    std::fprintf(stderr, "zelvo-sim: %s\n", qPrintable(p.errorText()));
    return 2;
  }
  SimInstrumentConfig config;
  config.kind = p.value("kind").toInt();
  config.version = p.value("version").toLatin1();
  config.type = p.value("type").toLatin1().left(1);
  config.powerOnSeconds = p.value("power-on").toUInt();
  SimFaults faults;
  faults.silent = p.isSet("silent");
  faults.replyDelayMs = p.value("delay").toInt();
  faults.wrongAckAtPage = p.value("wrong-ack-at").toInt();
  faults.noAckAtPage = p.value("no-ack-at").toInt();
  faults.dropLinkAtPage = p.value("drop-at").toInt();
  faults.pfmWithoutAckBye = p.isSet("pfm-nak");
  faults.noise = p.isSet("noise");
  faults.splitReplies = p.value("split").toInt();

  SimInstrument instrument(config, faults);
  PtyInstrument pty(instrument);
  if (!pty.Open()) {
    std::fprintf(stderr, "zelvo-sim: %s\n", qPrintable(pty.errorString()));
    return 1;
  }
  std::printf("%s\n", qPrintable(pty.SlavePath()));
  std::fflush(stdout);

  // Ends cleanly on SIGINT / SIGTERM, reporting what the host did.
  if (::pipe(g_signalPipe) != 0) return 1;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  QSocketNotifier stop(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  std::fprintf(stderr, "zelvo-sim: commands: %s\n", instrument.Commands().join(' ').constData());
  std::fprintf(stderr, "zelvo-sim: %d pages (%d sum errors), %d loader chunks, programmed: %s, stood by: %s\n",
               instrument.PagesReceived(), instrument.PageSumErrors(),
               static_cast<int>(instrument.LoaderIndexes().size()), instrument.Programmed() ? "yes" : "no",
               instrument.StoodBy() ? "yes" : "no");
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
  recipe.ng = p.isSet("ng");
  recipe.version = p.value("version").toLatin1();
  recipe.type = p.value("type") == QLatin1String("none") ? '\xFF' : p.value("type").toLatin1().at(0);
  recipe.date = p.value("date").toLatin1();
  recipe.seed = p.value("seed").toUInt();
  recipe.size = p.value("size").toInt();
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
  if (command == QLatin1String("serve")) return Serve(args);
  if (command == QLatin1String("make-firmware")) return MakeFirmware(args);
  return Usage();
}
