// A full NG upload (391 pages, 4 loader chunks, program command) into a
// zero-latency simulated instrument over a pseudo-terminal. The instrument is
// zelvo-sim in its own process, so the CPU counted is the program's own.
// Reports wall time, the program's CPU time and the message round trips.
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include "core/MessagePump.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "sim/FirmwareMaker.h"
#include "link/SerialOnlySystem.h"

using namespace zelvo;

namespace {

double ProcessCpuMs() { return zelvo::bench::ProcessCpuSeconds() * 1e3; }

void NGUploadOverPty(benchmark::State& state) {
  QTemporaryDir dir;
  const QString firmware = dir.filePath("ng.bin");
  sim::FirmwareRecipe recipe;
  recipe.ng = true;
  recipe.version = "9.12";
  sim::WriteFirmware(firmware, recipe);

  double cpuMs = 0, wallMs = 0;
  int roundTrips = 0, uploads = 0;
  for (auto _ : state) {
    state.PauseTiming();
    QProcess instrument;
    instrument.start(QStringLiteral(ZELVO_SIM_EXE), {"serve", "--version", "9.05"});
    instrument.waitForReadyRead(10000);
    const QString port = QString::fromLocal8Bit(instrument.readLine()).trimmed();
    SerialOnlySystem system;
    QString error;
    system.Install(port, &error);
    TKelLink link;
    link.SetDefaultTimeOut(30);
    TZelvoPro zelvo;
    zelvo.SetKelLink(&link);
    zelvo.SetTimeOut(5);
    WaitUntil([&] { return !link.ReplyTimer()->Enabled(); }, 2000);
    zelvo.SetOnline(true);
    WaitUntil([&] { return zelvo.OnLine(); }, 10000);
    zelvo.LoadFlashFile(firmware);
    int sent = 0;
    link.OnDebugSend = [&](QObject*, const QByteArray&) { ++sent; };
    bool done = false;
    zelvo.OnProgFlashSent = [&](QObject*, int) { done = true; };
    state.ResumeTiming();

    const double cpu0 = ProcessCpuMs();
    QElapsedTimer wall;
    wall.start();
    zelvo.StartFlashUpload();
    WaitUntil([&] { return done; }, 120000);
    wallMs += static_cast<double>(wall.elapsed());
    cpuMs += ProcessCpuMs() - cpu0;
    roundTrips += sent;
    ++uploads;

    state.PauseTiming();
    instrument.terminate();
    instrument.waitForFinished(5000);
    state.ResumeTiming();
  }
  state.counters["wall_ms_per_upload"] = wallMs / uploads;
  state.counters["cpu_ms_per_upload"] = cpuMs / uploads;
  state.counters["round_trips"] = static_cast<double>(roundTrips) / uploads;
  state.counters["cpu_us_per_round_trip"] = cpuMs * 1000 / roundTrips;
}

}  // namespace

BENCHMARK(NGUploadOverPty)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char** argv) { return zelvo::bench::RunBenchmarks(argc, argv); }
