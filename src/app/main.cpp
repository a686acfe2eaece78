// zelvo-flash-utility: the window.
//
//   zelvo-flash-utility [--simulate [kind=N,version=V,type=L,...]]
//
// --simulate puts the built-in simulated instrument in range of a simulated
// IrDA stack, so the whole workflow runs without hardware.

#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/DebugForm.h"
#include "app/MainForm.h"
#include "app/WidgetDialogs.h"
#include "sim/instrument/IrdaInstrument.h"

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
  zelvo::ScopedDialogs installed(&dialogs);

  main.show();
  return QApplication::exec();
}
