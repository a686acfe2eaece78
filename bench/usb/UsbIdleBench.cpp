// CPU used by a connected, pumping USB dock device with nothing to move.
//
// The dock (simulated, four pipes) is connected with Halted cleared, then left
// alone for 10 s while the main thread waits for messages. Its idle reads
// behave like the libusb backend's (argument 2 = 0: a read kept pending on
// every input endpoint, arrivals announced), like a blocking read with a 10 ms
// time-out (1), or like the Windows driver's (2: back at once, unannounced). Reported: process CPU
// time over that span (cpu_ms), as a share of one core (cpu_percent), and the
// reads the receive thread made (reads_per_s). A halted device is measured
// the same way: its thread sleeps until Halted changes.

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <QDeadlineTimer>

#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "sim/usb/SimUsbBackend.h"
#include "usb/USBPipe.h"

namespace {

void IdleDevice(benchmark::State& state, bool halted) {
  const int seconds = static_cast<int>(state.range(0));
  const int mode = static_cast<int>(state.range(1));
  zelvo::sim::SimUsbBackend backend;
  backend.SetAnnounceArrivals(mode == 0);
  backend.SetReadTimeoutMs(mode == 1 ? 10 : 0);
  zelvo::ScopedUsbBackend installed(&backend);
  auto dock = backend.AddDock();
  for (auto _ : state) {
    zelvo::TUSBDevice device;
    device.SetConnectSettleMs(0);
    device.SetDeviceType(zelvo::tpKovaExpress);
    device.SetDeviceName(dock->Path());
    device.OnPipeData = [](QObject*, int, int) {};
    if (!device.Connect()) {
      state.SkipWithError("the simulated dock did not connect");
      return;
    }
    device.SetHalted(halted);
    const int readsBefore = dock->ReadCount(1) + dock->ReadCount(2);
    const double cpu0 = zelvo::bench::ProcessCpuSeconds();
    const double wall0 = zelvo::bench::WallSeconds();
    QDeadlineTimer deadline(seconds * 1000);
    while (!deadline.hasExpired()) zelvo::WaitForMessages(static_cast<int>(deadline.remainingTime()));
    const double cpu = zelvo::bench::ProcessCpuSeconds() - cpu0;
    const double wall = zelvo::bench::WallSeconds() - wall0;
    state.SetIterationTime(wall);
    state.counters["cpu_ms"] = cpu * 1000.0;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["reads_per_s"] = (dock->ReadCount(1) + dock->ReadCount(2) - readsBefore) / wall;
  }
}

void BM_ConnectedIdleDevice(benchmark::State& state) { IdleDevice(state, false); }
void BM_ConnectedHaltedDevice(benchmark::State& state) { IdleDevice(state, true); }

BENCHMARK(BM_ConnectedIdleDevice)
    ->ArgNames({"seconds", "reads"})
    ->Args({10, 0})
    ->Args({10, 1})
    ->Args({10, 2})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_ConnectedHaltedDevice)->Args({10, 0})->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) { return zelvo::bench::RunBenchmarks(argc, argv); }
