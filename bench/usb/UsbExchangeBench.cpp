// Host cost of message exchanges through a USB dock device.
//
// A simulated dock (four pipes, 64-byte packets) answers at once: every 133-byte message the host
// sends on pipe 0 (a page message of an upload) is answered on pipe 1 with
// "ACK" and two bytes, queued in packets of the endpoint's size. The host
// sends the next message from its OnPipeData handler as soon as the reply is
// in. Pipes 2 and 3 stay idle. Since the far side costs nothing, the whole
// time is the host's: reported are wall time (wall_s), process CPU time
// (cpu_s), the exchanges done, and per exchange the wall time (host_ms) and
// CPU time (cpu_ms). 396 exchanges are an upload of a full image.
// Argument 2 selects the delivery: 0 blocking, 1 posted (UseWindowsMsgs).
// Argument 3 selects how idle reads behave (ReadMode below).

#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <QDeadlineTimer>

#include "core/MessagePump.h"
#include "sim/usb/SimUsbBackend.h"
#include "usb/USBPipe.h"

namespace {

// How the simulated endpoints answer an idle read.
enum ReadMode {
  kPendingReads = 0,  // a read kept pending, arrivals announced (the libusb backend)
  kTimedReads = 1,    // the read waits 10 ms (a blocking read with a time-out)
  kInstantReads = 2,  // the read returns at once, nothing announced (the Windows driver)
};

void SetReadMode(zelvo::sim::SimUsbBackend& backend, int mode) {
  backend.SetAnnounceArrivals(mode == kPendingReads);
  backend.SetReadTimeoutMs(mode == kTimedReads ? 10 : 0);
}

constexpr int kMessageSize = 133;
constexpr int kReplySize = 5;
constexpr int kGiveUpMs = 300000;

void BM_PageExchanges(benchmark::State& state) {
  const int exchanges = static_cast<int>(state.range(0));
  const bool posted = state.range(1) != 0;
  zelvo::sim::SimUsbBackend backend;
  SetReadMode(backend, static_cast<int>(state.range(2)));
  zelvo::ScopedUsbBackend installed(&backend);
  auto dock = backend.AddDock();
  dock->SetRecordWrites(false);
  // The far side: a whole message in, the reply out at once.
  int farBytes = 0;
  dock->OnHostWrite = [&](int pipe, const QByteArray& bytes) {
    if (pipe != 0) return;
    farBytes += static_cast<int>(bytes.size());
    if (farBytes < kMessageSize) return;
    farBytes -= kMessageSize;
    dock->QueueData(1, QByteArray("ACK\x01\x02", kReplySize), 64);
  };
  for (auto _ : state) {
    zelvo::TUSBDevice device;
    device.SetConnectSettleMs(0);
    device.SetDeviceType(zelvo::tpKovaExpress);
    device.SetDeviceName(dock->Path());
    device.SetUseWindowsMsgs(posted);
    if (!device.Connect()) {
      state.SkipWithError("the simulated dock did not connect");
      return;
    }
    device.SetHalted(false);
    const QByteArray message(kMessageSize, 'P');
    int done = 0;
    int replyBytes = 0;
    device.OnPipeData = [&](QObject*, int pipe, int) {
      if (pipe != 1) return;
      replyBytes += static_cast<int>(device.Pipes(1)->ReadData().size());
      if (replyBytes < kReplySize) return;
      replyBytes -= kReplySize;
      if (++done < exchanges) device.Pipes(0)->SendData(message);
    };
    const double cpu0 = zelvo::bench::ProcessCpuSeconds();
    const double wall0 = zelvo::bench::WallSeconds();
    device.Pipes(0)->SendData(message);
    QDeadlineTimer deadline(kGiveUpMs);
    while (done < exchanges && !deadline.hasExpired()) zelvo::WaitForMessages(100);
    const double cpu = zelvo::bench::ProcessCpuSeconds() - cpu0;
    const double wall = zelvo::bench::WallSeconds() - wall0;
    if (done < exchanges) state.SkipWithError("the exchanges did not finish in time");
    state.SetIterationTime(wall);
    state.counters["exchanges"] = done;
    state.counters["wall_s"] = wall;
    state.counters["cpu_s"] = cpu;
    state.counters["host_ms"] = done > 0 ? 1000.0 * wall / done : 0.0;
    state.counters["cpu_ms"] = done > 0 ? 1000.0 * cpu / done : 0.0;
  }
}

BENCHMARK(BM_PageExchanges)
    ->ArgNames({"exchanges", "posted", "reads"})
    ->Args({396, 0, kPendingReads})
    ->Args({396, 1, kPendingReads})
    ->Args({396, 0, kTimedReads})
    ->Args({396, 0, kInstantReads})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return zelvo::bench::RunBenchmarks(argc, argv); }
