#pragma once
// The command line's options, parsed.

#include <QString>
#include <QStringList>
#include <optional>

#include "sim/instrument/SimInstrument.h"

namespace zelvo::cli {

struct TransportOption {
  enum class Kind { Irda, Serial, DockNet, DockUsb, Simulate };
  Kind kind = Kind::Irda;
  QString serialPort;      // --serial
  QString dockAddress;     // --dock-net
  int dockIndex = 1;       // --dock-usb
  sim::SimInstrumentConfig simConfig;  // --simulate
  sim::SimFaults simFaults;
};

struct CommandOptions {
  QString command;   // flash, info, identify, discover
  QString firmware;  // flash, info
  TransportOption transport;
  bool yes = false;
  QString traceFile;
  int identifyTimeoutS = 60;
  int stallTimeoutS = 60;
  std::optional<bool> ng;  // info: --ng / --classic
  QString discoverKind = QStringLiteral("kova-express");
};

// Parses arguments (without the program name). Nothing, with error set, for
// bad usage.
std::optional<CommandOptions> ParseArguments(const QStringList& arguments, QString* error);

QString UsageText();

}  // namespace zelvo::cli
