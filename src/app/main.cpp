// zelvo-flash-utility: the window.
//
//   zelvo-flash-utility [--dock-controls] [--simulate [via=irda|usb-dock|net-dock,kind=N,version=V,...]]
//   zelvo-flash-utility --help | --version
//
// --help and --version print and exit without a display; Qt reads its own
// options (-platform, -style, ...) before the window reads the rest.
// --dock-controls shows the "use a dock" check box, which the window keeps
// hidden otherwise, so that a technician can choose a USB or a network dock.
// --simulate puts the built-in simulated instrument in range of a simulated
// IrDA stack (via=irda, the default), in a simulated Kova Express dock on a
// simulated USB bus (via=usb-dock) or in a simulated network dock on a
// loopback address (via=net-dock), so the whole workflow runs without
// hardware; the open-file dialog then starts in the build's sample firmware
// folder. The dock simulations show the dock controls; the network one fills
// in the dock's address and answers the window's dock search.

#include <QApplication>
#include <QDir>
#include <QHostAddress>
#include <QIcon>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "app/AppVersionInfo.h"
#include "app/DebugForm.h"
#include "app/MainForm.h"
#include "app/WidgetDialogs.h"
#include "sim/dock/SimulatedWorld.h"
#include "sim/net/SimDockResponder.h"

namespace {

constexpr const char* kProgram = "zelvo-flash-utility";

// The simulation's options under the option's description: the instrument's
// and the dock's on lines of their own, broken at commas.
QString SimulationOptionsWrapped() {
  const QString indent(23, QLatin1Char(' '));
  QStringList groups;
  for (const QString& group : zelvo::sim::SimulationOptionsText().split(QLatin1String("; "))) {
    QStringList lines{QString()};
    for (const QString& item : group.split(QLatin1Char(','))) {
      if (!lines.last().isEmpty() && indent.size() + lines.last().size() + 1 + item.size() > 100) {
        lines.last() += QLatin1Char(',');
        lines << QString();
      }
      lines.last() += lines.last().isEmpty() ? item.trimmed() : QLatin1Char(',') + item;
    }
    groups << lines.join(QLatin1Char('\n') + indent);
  }
  return groups.join(QLatin1String(";\n") + indent);
}

QString HelpText() {
  return QStringLiteral(
             "zelvo-flash-utility: the ZelvoPro Flash Utility window; writes firmware into ZelvoPro and\n"
             "ZelvoLTD instruments (classic and NG) over IrDA or through a Kova Express dock.\n"
             "\n"
             "usage:\n"
             "  zelvo-flash-utility [--dock-controls] [--simulate [SETUP]] [QT OPTIONS]\n"
             "  zelvo-flash-utility --help | --version\n"
             "\n"
             "options:\n"
             "  --dock-controls      show the \"Use Kova Express\" check box, to choose a USB or a network dock\n"
             "  --simulate [SETUP]   the built-in simulated instrument instead of hardware (a Kova Express\n"
             "                       dock only); SETUP, comma-separated:\n"
             "                       %1\n"
             "  --help               print this help and exit\n"
             "  --version            print the version and exit\n"
             "\n"
             "Qt options, among others:\n"
             "  -platform NAME       the platform plugin: xcb, wayland or offscreen\n"
             "  -display DISPLAY     the X display to open the window on\n"
             "  -style STYLE         the widget style, for example Fusion\n"
             "  -reverse             right-to-left layout\n"
             "\n"
             "exit status: 0 the window was closed, 2 bad usage or a simulation that cannot start\n")
      .arg(SimulationOptionsWrapped());
}

// --help or --version anywhere on the command line; answered before the
// window's application object exists, so that no display is needed.
enum class InfoRequest { Help, Version };
std::optional<InfoRequest> FindInfoRequest(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return InfoRequest::Help;
    if (std::strcmp(argv[i], "--version") == 0) return InfoRequest::Version;
  }
  return std::nullopt;
}

int PrintInfo(InfoRequest request, int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (request == InfoRequest::Help) {
    std::printf("%s", qPrintable(HelpText()));
    return 0;
  }
  zelvo::TAppVersionInfo info;
  info.SetExeName(QCoreApplication::applicationFilePath());
  info.ReadVersionInfo();
  std::printf("%s %s\n", kProgram, info.FileVersion().isEmpty() ? "(no version block)" : qPrintable(info.FileVersion()));
  return 0;
}

struct WindowOptions {
  bool dockControls = false;
  std::optional<QString> simulate;  // the set-up text; empty for the defaults
};

// The window's own options (Qt has taken its own out); false with error set
// for anything else.
bool ParseWindowOptions(const QStringList& arguments, WindowOptions& options, QString* error) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--dock-controls")) {
      options.dockControls = true;
    } else if (argument == QLatin1String("--simulate")) {
      options.simulate = QString();
      if (const QString next = arguments.value(i + 1); zelvo::sim::LooksLikeSimulationSetup(next)) {
        options.simulate = next;
        ++i;
      }
    } else {
      *error = QStringLiteral("unknown argument: %1 (see %2 --help)").arg(argument, QLatin1String(kProgram));
      return false;
    }
  }
  return true;
}

// The sample firmware folder the build makes: $ZELVO_SAMPLE_FIRMWARE, else the
// first "sample-firmware" folder next to the program or above it (the build
// tree keeps it at its top); empty when there is none.
QString SampleFirmwareFolder() {
  if (const QString folder = qEnvironmentVariable("ZELVO_SAMPLE_FIRMWARE"); !folder.isEmpty()) return folder;
  QDir dir(QApplication::applicationDirPath());
  for (int up = 0; up < 3; ++up) {
    if (dir.exists(QStringLiteral("sample-firmware"))) return dir.filePath(QStringLiteral("sample-firmware"));
    if (!dir.cdUp()) break;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (const auto request = FindInfoRequest(argc, argv)) return PrintInfo(*request, argc, argv);

  QApplication application(argc, argv);
  QApplication::setApplicationName(QLatin1String(zelvo::kApplicationTitle));
  // The installed desktop entry and icon (hicolor theme) carry this name.
  QGuiApplication::setDesktopFileName(QLatin1String(kProgram));
  QApplication::setWindowIcon(QIcon::fromTheme(QLatin1String(kProgram)));
  const auto fail = [](const QString& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, qPrintable(message));
    return 2;
  };
  WindowOptions options;
  if (QString error; !ParseWindowOptions(QApplication::arguments(), options, &error)) return fail(error);

  // The simulated world must exist before the link looks for its IrDA stack
  // and the USB device for its bus.
  std::unique_ptr<zelvo::sim::SimulatedWorld> simulation;
  if (options.simulate) {
    zelvo::sim::SimulationSetup setup;
    QString error;
    if (!options.simulate->isEmpty() && !zelvo::sim::ParseSimulationSetup(*options.simulate, setup, &error))
      return fail(error);
    if (setup.via != zelvo::sim::SimVia::Irda && setup.dock.kind != zelvo::DockKind::KovaExpress)
      return fail(QStringLiteral("the window drives a Kova Express dock only"));
    simulation = std::make_unique<zelvo::sim::SimulatedWorld>(setup);
    if (!simulation->Start(&error)) return fail(error);
  }

  zelvo::TfrmMain main;
  zelvo::TfrmDebug debug(&main);
  main.SetDebugForm(&debug);

  zelvo::WidgetDialogs dialogs(&main);
  if (simulation) dialogs.SetStartFolder(SampleFirmwareFolder());
  zelvo::ScopedDialogs installed(&dialogs);

  const bool simulatedDock = simulation && simulation->Via() != zelvo::sim::SimVia::Irda;
  if (options.dockControls || simulatedDock) main.RevealDockControls();
  // The simulated network dock answers the search on its own loopback
  // address; nothing is broadcast.
  std::unique_ptr<zelvo::sim::SimDockResponder> responder;
  if (simulation && simulation->Via() == zelvo::sim::SimVia::NetDock) {
    const QString address = simulation->DockAddress();
    main.IpAddr->setText(address);
    main.DockEnumerator1->SetEnquiryAddress(address);
    responder = std::make_unique<zelvo::sim::SimDockResponder>(
        zelvo::TPDockType::tpKovaExpress, QByteArray("KovaExpress Simulated Dock"), QHostAddress(address));
    if (!responder->Start())
      std::fprintf(stderr, "%s: the simulated dock does not answer the search: %s\n", kProgram,
                   qPrintable(responder->ErrorText()));
  }

  main.show();
  return QApplication::exec();
}
