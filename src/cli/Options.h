#pragma once
// The command line's options, parsed.

#include <QList>
#include <climits>
#include <QString>
#include <QStringList>
#include <optional>

#include "core/Numbers.h"
#include "dock/DockKinds.h"
#include "sim/dock/SimulatedWorld.h"

namespace zelvo::cli {

struct TransportOption {
  enum class Kind { Irda, Serial, DockNet, DockUsb, Simulate };
  Kind kind = Kind::Irda;
  QString serialPort;      // --serial
  QString dockAddress;     // --dock-net
  int dockIndex = 1;       // --dock-usb (fleet: 0 for --dock-usb all)
  DockKind dockKind = DockKind::KovaExpress;  // --dock-kind
  sim::SimulationSetup simulation;  // --simulate
};

enum class TraceFormat { Raw, Hex };

// The ranges of the numeric options. A time-out runs on millisecond timers:
// its whole range fits one.
inline constexpr NumberRange kTimeoutRangeS{1, 86400};  // --identify-timeout, --stall-timeout, --verify-timeout
static_assert(kTimeoutRangeS.max * 1000 <= INT_MAX);
inline constexpr NumberRange kDockNumberRange{1, 255};  // --dock-usb N

struct CommandOptions {
  QString command;   // flash, fleet, info, identify, list, discover
  QString firmware;  // flash, info
  TransportOption transport;
  bool yes = false;    // routine questions answered Yes
  bool force = false;  // the wrong-type and older-version questions answered Yes
  bool json = false;   // one JSON object on standard output at the end
  QString logFile;     // the same object appended as one line
  QString traceFile;
  TraceFormat traceFormat = TraceFormat::Raw;
  int identifyTimeoutS = 60;
  int stallTimeoutS = 60;
  bool verify = false;      // flash: the instrument checked after its restart
  int verifyTimeoutS = 120;  // ... waited for at most this long after the upload
  std::optional<bool> ng;  // info: --ng / --classic
  // fleet: every dock given (--dock-net, --dock-usb N; a dock index of 0 is
  // --dock-usb all), in order; --simulate gives simulated docks instead.
  QList<TransportOption> docks;
  bool once = false;  // fleet: one instrument per dock, then exit
  QString traceDir;   // fleet: one trace file per dock
  QString discoverKind = QStringLiteral("kova-express");
};

// Parses arguments (without the program name). Nothing, with error set to a
// one-line reason, for bad usage.
std::optional<CommandOptions> ParseArguments(const QStringList& arguments, QString* error);

// The full help text, listing what this build provides.
QString HelpText();
// What follows a usage error.
inline constexpr const char* kTryHelp = "try 'zelvoflash --help'";

}  // namespace zelvo::cli
