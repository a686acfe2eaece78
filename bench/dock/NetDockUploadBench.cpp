// A full NG upload (identification, 391 pages, 4 loader chunks, program
// command: 396 messages after Start of the upload) through a network Kova
// Express dock: the real dock component on loopback TCP to the simulated
// network dock (in this process, the simulated instrument in it answering at
// once), with the dock's real pace of 100 ms after every data send. The pace
// sets the floor: 396 x 0.1 s = 39.6 s.
//
// Reported, for the upload (from StartFlashUpload to OnProgFlashSent):
//   wall_s             wall time, and wall_vs_floor against 39.6 s
//   cpu_s              process CPU time (the simulated dock and instrument
//                      included, so the program's own is lower still)
//   sends              messages sent
//   reply_to_send_ms   mean time from a reply's arrival at the dock component
//                      to the next message's bytes being written
//   pause_end_to_send_ms  of that, the time after the previous send's pause
//                      ended (the program's own reaction)
//   reply_in_ms        mean time from a message's bytes being written to its
//                      reply's arrival (loopback and the simulated instrument)
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <vector>

#include "core/MessagePump.h"
#include "dock/KovaExpressDock.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/UploadSession.h"
#include "sim/FirmwareMaker.h"
#include "sim/dock/SimulatedWorld.h"

using namespace zelvo;

namespace {

constexpr double kFloorS = 396 * 0.1;

double Mean(const std::vector<double>& values) {
  if (values.empty()) return 0;
  double sum = 0;
  for (double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

void NGUploadThroughNetDock(benchmark::State& state) {
  QTemporaryDir dir;
  const QString firmware = dir.filePath("ng.bin");
  sim::FirmwareRecipe recipe;
  recipe.ng = true;
  recipe.version = "9.12";
  sim::WriteFirmware(firmware, recipe);

  for (auto _ : state) {
    sim::SimulationSetup setup;
    setup.via = sim::SimVia::NetDock;
    setup.instrument = {9, "9.05", "A", 0};
    sim::SimulatedWorld world(setup);
    QString error;
    if (!world.Start(&error)) {
      state.SkipWithError(qPrintable(error));
      return;
    }
    TKovaExpressDock dock;
    dock.SetCommandTimeOut(3000);
    dock.SetEthernetAddress(world.DockAddress());
    TKelLink link;
    TZelvoPro zelvo;
    ApplyDesignTimeValues(link, zelvo);
    link.SetKovaExpressDock(&dock);
    WaitUntil([&] { return !link.ReplyTimer()->Enabled(); }, 2000);
    bool online = false;
    zelvo.OnIsOnline = [&](QObject*, bool status) { online = status; };
    zelvo.SetOnline(true);
    if (!WaitUntil([&] { return online; }, 30000) || !zelvo.LoadFlashFile(firmware)) {
      state.SkipWithError("the instrument did not come online through the dock");
      return;
    }

    // Timeline of the upload: bytes written, replies in, sends returned.
    QElapsedTimer clock;
    std::vector<double> written, replies, returned;
    TWSocket& data = dock.TcpChannels().DataSocket();
    data.OnDataSent = [&, inner = data.OnDataSent](QObject* sender, quint16 e) {
      written.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
      if (inner) inner(sender, e);
    };
    TcpDockChannels& channels = dock.TcpChannels();
    channels.OnDataArrival = [&, inner = channels.OnDataArrival](const QByteArray& bytes) {
      replies.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
      if (inner) inner(bytes);
    };
    link.OnDebugSend = [&](QObject*, const QByteArray&) {
      returned.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    };
    bool done = false;
    zelvo.OnProgFlashSent = [&](QObject*, int) { done = true; };

    const double cpu0 = zelvo::bench::ProcessCpuSeconds();
    clock.start();
    zelvo.StartFlashUpload();
    WaitUntil([&] { return done; }, 120000);
    const double wallS = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double cpuS = zelvo::bench::ProcessCpuSeconds() - cpu0;
    if (!done) {
      state.SkipWithError("the upload did not finish");
      return;
    }

    // Message k: written[k], its reply replies[k], its send returned[k];
    // message k+1 written at written[k+1].
    std::vector<double> replyToSend, pauseEndToSend, replyIn;
    const std::size_t n = std::min({written.size(), replies.size(), returned.size()});
    for (std::size_t k = 0; k < n; ++k) {
      replyIn.push_back(replies[k] - written[k]);
      if (k + 1 >= written.size()) continue;
      replyToSend.push_back(written[k + 1] - replies[k]);
      pauseEndToSend.push_back(written[k + 1] - std::max(replies[k], returned[k]));
    }
    state.counters["wall_s"] = wallS;
    state.counters["wall_vs_floor"] = wallS / kFloorS;
    state.counters["cpu_s"] = cpuS;
    state.counters["sends"] = static_cast<double>(written.size());
    state.counters["reply_to_send_ms"] = Mean(replyToSend);
    state.counters["pause_end_to_send_ms"] = Mean(pauseEndToSend);
    state.counters["reply_in_ms"] = Mean(replyIn);
  }
}

}  // namespace

BENCHMARK(NGUploadThroughNetDock)->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char** argv) { return zelvo::bench::RunBenchmarks(argc, argv); }
