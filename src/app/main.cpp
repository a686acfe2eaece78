// zelvo-flash-utility: the window.
//
//   zelvo-flash-utility [--simulate [kind=N,version=V,type=L,...]]
//
// --simulate puts the built-in simulated instrument in range of a simulated
// IrDA stack, so the whole workflow runs without hardware; the open-file
// dialog then starts in the build's sample firmware folder.

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <memory>

#include "app/DebugForm.h"
#include "app/MainForm.h"
#include "app/WidgetDialogs.h"
#include "sim/instrument/IrdaInstrument.h"

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

  // The simulated world must exist before the link looks for its IrDA stack.
  std::unique_ptr<zelvo::sim::SimulatedIrdaWorld> simulation;
  QStringList arguments = QApplication::arguments();
  if (const qsizetype at = arguments.indexOf(QStringLiteral("--simulate")); at >= 0) {
    zelvo::sim::SimInstrumentConfig config;
    zelvo::sim::SimFaults faults;
    QString error;
    const QString options = arguments.value(at + 1);
    if (zelvo::sim::LooksLikeSimulationOptions(options) && !zelvo::sim::ParseSimulationOptions(options, config, faults, &error)) {
      std::fprintf(stderr, "zelvo-flash-utility: %s\n", qPrintable(error));
      return 2;
    }
    simulation = std::make_unique<zelvo::sim::SimulatedIrdaWorld>(config, faults);
  }

  zelvo::TfrmMain main;
  zelvo::TfrmDebug debug(&main);
  main.SetDebugForm(&debug);

  zelvo::WidgetDialogs dialogs(&main);
  if (simulation) dialogs.SetStartFolder(SampleFirmwareFolder());
  zelvo::ScopedDialogs installed(&dialogs);

  main.show();
  return QApplication::exec();
}
