// zelvoflash fleet with 1, 8, 32 and 128 network docks, one NG instrument in
// each: the built program against as many zelvo-sim serve-dock processes on
// loopback addresses, at the docks' real pace (100 ms after every data send,
// so one upload takes about 40 s however fast the machine is).
//
// Reported per dock count:
//   wall_s        from the start of zelvoflash to its exit (every dock done)
//   cpu_s         zelvoflash's own CPU time (user and system; the simulated
//                 docks are processes of their own and not counted)
//   core_share    cpu_s / wall_s: the part of one core the program used
//   completed     instruments completed (the dock count when all went well)
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "sim/FirmwareMaker.h"

namespace {

// zelvo-sim serve-dock on a loopback address of its own.
std::unique_ptr<QProcess> StartDock(int n, QString* address) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int host = (static_cast<int>(::getpid()) * 13 + n * 31 + attempt) % 60000;
    *address = QStringLiteral("127.88.%1.%2").arg(host / 250).arg(host % 250 + 1);
    auto dock = std::make_unique<QProcess>();
    dock->start(QStringLiteral(ZELVO_SIM_EXE), {"serve-dock", "--address", *address, "--version", "9.05"});
    if (dock->waitForReadyRead(10000) && dock->canReadLine()) return dock;
    dock->kill();
    dock->waitForFinished();
  }
  return nullptr;
}

void FleetOfNetworkDocks(benchmark::State& state) {
  const int docks = static_cast<int>(state.range(0));
  QTemporaryDir dir;
  const QString firmware = dir.filePath("ng.bin");
  zelvo::sim::FirmwareRecipe recipe;
  recipe.ng = true;
  recipe.version = "9.12";
  zelvo::sim::WriteFirmware(firmware, recipe);

  for (auto _ : state) {
    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList args{"fleet", firmware, "--yes", "--once", "--json"};
    for (int i = 0; i < docks; ++i) {
      QString address;
      sims.push_back(StartDock(i, &address));
      if (!sims.back()) {
        state.SkipWithError("zelvo-sim serve-dock did not start");
        return;
      }
      args << "--dock-net" << address;
    }
    const QString results = dir.filePath("results.json");
    std::vector<QByteArray> argBytes{QByteArray(ZELVOFLASH_EXE)};
    for (const QString& a : args) argBytes.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : argBytes) argv.push_back(a.data());
    argv.push_back(nullptr);

    const double start = zelvo::bench::WallSeconds();
    const pid_t pid = ::fork();
    if (pid == 0) {
      const QByteArray path = results.toLocal8Bit();
      if (!std::freopen(path.constData(), "w", stdout) || !std::freopen("/dev/null", "w", stderr)) ::_exit(127);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double wall = zelvo::bench::WallSeconds() - start;
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    QFile out(results);
    int completed = 0;
    if (out.open(QIODevice::ReadOnly)) completed = static_cast<int>(out.readAll().count("\"outcome\":\"completed\""));
    state.SetIterationTime(wall);
    state.counters["wall_s"] = wall;
    state.counters["cpu_s"] = cpu;
    state.counters["core_share"] = wall > 0 ? cpu / wall : 0;
    state.counters["completed"] = completed;
    for (auto& sim : sims) {
      sim->terminate();
      sim->waitForFinished(10000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("zelvoflash fleet did not complete");
  }
}

BENCHMARK(FleetOfNetworkDocks)->Arg(1)->Arg(8)->Arg(32)->Arg(128)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) { return zelvo::bench::RunBenchmarks(argc, argv); }
