// Link costs over a pseudo-terminal (the IrCOMM virtual port path):
//   IdleConnectedLink  process CPU of a connected link doing nothing for 10 s
//   RoundTrip          process CPU per message exchange (send, framed reply)
// The instrument's side runs in a child process, so only the program's own
// work is counted (CLOCK_PROCESS_CPUTIME_ID).
#include <benchmark/benchmark.h>

#include "BenchSupport.h"

#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "core/MessagePump.h"
#include "link/IrCommPort.h"
#include "link/KelLink.h"
#include "sim/irda/SimIrdaStack.h"

using namespace zelvo;

namespace {

QString g_slave;
pid_t g_responder = -1;

double ProcessCpuMs() { return zelvo::bench::ProcessCpuSeconds() * 1e3; }

// Child: answers every frame (E6 ... E7) with the frame E6 "ACK" E7.
[[noreturn]] void Respond(int master) {
  static const unsigned char reply[] = {0xE6, 'A', 'C', 'K', 0xE7};
  unsigned char buf[4096];
  bool inFrame = false;
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) _exit(0);
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == 0xE6) inFrame = true;
      if (buf[i] == 0xE7 && inFrame) {
        inFrame = false;
        if (::write(master, reply, sizeof reply) < 0) _exit(0);
      }
    }
  }
}

struct Session {
  QTemporaryDir dir;
  sim::SimIrdaStack stack;
  ScopedIrdaStack installed{&stack};
  TKelLink link;
  QList<QByteArray> replies;

  Session() {
    stack.InjectError(sim::SimIrdaOp::CreateSocket, 10047);  // no IrDA sockets
    QFile ini(dir.filePath("registry.ini"));
    if (ini.open(QIODevice::WriteOnly))
      ini.write("[Software\\Microsoft\\Windows\\CurrentVersion]\nVersion=4.0\n"
                "[Enum\\Infrared\\com\\Root&Infrared&0000]\nPortName=COM4\n[Ports]\nCOM4=" +
                g_slave.toLocal8Bit() + "\n");
    ini.close();
    SetRegistryMirrorPath(ini.fileName());
    link.SetInstrumentType(TKelType::tpZelvoPro);
    link.OnReceiveMsg = [this](QObject*, const QByteArray& d) { replies << d; };
    link.OpenLink(0);
    WaitUntil([this] { return link.Connected(); }, 2000);
  }
  ~Session() { SetRegistryMirrorPath({}); }
};

void IdleConnectedLink(benchmark::State& state) {
  Session s;
  if (!s.link.Connected()) {
    state.SkipWithError("link did not come up");
    return;
  }
  double cpu = 0;
  quint64 polls = 0;
  for (auto _ : state) {
    WaitUntil([] { return false; }, 200);  // settle
    const quint64 polls0 = s.link.PollCount();
    const double c0 = ProcessCpuMs();
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    cpu = ProcessCpuMs() - c0;
    polls = s.link.PollCount() - polls0;
  }
  state.counters["cpu_ms_per_10s"] = cpu;
  state.counters["poll_cycles"] = static_cast<double>(polls);
}

void RoundTrip(benchmark::State& state) {
  Session s;
  if (!s.link.Connected()) {
    state.SkipWithError("link did not come up");
    return;
  }
  const double c0 = ProcessCpuMs();
  qint64 n = 0;
  for (auto _ : state) {
    const qsizetype before = s.replies.size();
    s.link.SendMsg("ENQ", 5);
    if (!WaitUntil([&] { return s.replies.size() > before; }, 5000)) {
      state.SkipWithError("no reply");
      break;
    }
    ++n;
  }
  if (n > 0) state.counters["cpu_us_per_roundtrip"] = (ProcessCpuMs() - c0) * 1000.0 / static_cast<double>(n);
}

}  // namespace

BENCHMARK(IdleConnectedLink)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(2.0);

int main(int argc, char** argv) {
  // The instrument's side, started before any thread exists.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return 1;
  termios t;
  if (::tcgetattr(master, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(master, TCSANOW, &t);
  }
  g_slave = QString::fromLocal8Bit(::ptsname(master));
  g_responder = ::fork();
  if (g_responder == 0) Respond(master);
  ::close(master);
  // Held open so that the line survives each session's close.
  const int keepSlave = ::open(g_slave.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);

  const int status = zelvo::bench::RunBenchmarks(argc, argv);
  if (g_responder > 0) {
    ::kill(g_responder, SIGTERM);
    ::waitpid(g_responder, nullptr, 0);
  }
  if (keepSlave >= 0) ::close(keepSlave);
  return status;
}
