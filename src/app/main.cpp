// zelvo-flash-utility: the window.
//
//   zelvo-flash-utility [--dock-controls] [--simulate [via=irda|usb-dock|net-dock,kind=N,version=V,...]]
//
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
#include <cstdio>
#include <memory>

#include "app/DebugForm.h"
#include "app/MainForm.h"
#include "app/WidgetDialogs.h"
#include "sim/dock/SimulatedWorld.h"
#include "sim/net/SimDockResponder.h"

namespace {

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
  QApplication application(argc, argv);
  QApplication::setApplicationName(QLatin1String(zelvo::kApplicationTitle));
  const QStringList arguments = QApplication::arguments();
  const auto fail = [](const QString& message) {
    std::fprintf(stderr, "zelvo-flash-utility: %s\n", qPrintable(message));
    return 2;
  };

  // The simulated world must exist before the link looks for its IrDA stack
  // and the USB device for its bus.
  std::unique_ptr<zelvo::sim::SimulatedWorld> simulation;
  if (const qsizetype at = arguments.indexOf(QStringLiteral("--simulate")); at >= 0) {
    zelvo::sim::SimulationSetup setup;
    QString error;
    const QString options = arguments.value(at + 1);
    if (zelvo::sim::LooksLikeSimulationSetup(options) && !zelvo::sim::ParseSimulationSetup(options, setup, &error))
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
  if (arguments.contains(QStringLiteral("--dock-controls")) || simulatedDock) main.RevealDockControls();
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
      std::fprintf(stderr, "zelvo-flash-utility: the simulated dock does not answer the search: %s\n",
                   qPrintable(responder->ErrorText()));
  }

  main.show();
  return QApplication::exec();
}
