// The debug window's hexadecimal view during an upload: each traced message
// is added and the events after it handled, as the window does while pages
// go out. The cost of a message must not grow with the trace already shown.

#include <benchmark/benchmark.h>

#include <QApplication>

#include "BenchSupport.h"
#include "app/DebugForm.h"

namespace {

void BM_HexViewAddsAMessage(benchmark::State& state) {
  zelvo::TfrmDebug debug;
  debug.SetShowAsHex(true);
  debug.show();
  const QString page = QStringLiteral("SND#") + QString(70, QChar(0xE6)) + QLatin1Char('#');
  for (int64_t i = 0; i < state.range(0); ++i) debug.Debug->appendPlainText(page);
  QApplication::processEvents();
  for (auto _ : state) {
    debug.Debug->appendPlainText(page);
    QApplication::processEvents();
  }
  state.counters["trace_lines"] = static_cast<double>(debug.Debug->Lines().size());
}
BENCHMARK(BM_HexViewAddsAMessage)->Arg(0)->Arg(1000)->Arg(4000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  return zelvo::bench::RunBenchmarks<QApplication>(argc, argv);
}
