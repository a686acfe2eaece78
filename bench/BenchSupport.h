#pragma once
// What every benchmark of the utility shares: the process's CPU time and a
// monotonic wall clock in seconds, and a main() around Qt's event loop.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <ctime>

namespace zelvo::bench {

inline double SecondsOf(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
inline double ProcessCpuSeconds() { return SecondsOf(CLOCK_PROCESS_CPUTIME_ID); }
inline double WallSeconds() { return SecondsOf(CLOCK_MONOTONIC); }

// Runs the registered benchmarks with a Qt application in place (App: a
// QApplication for widgets); 1 for an argument the benchmark library does not
// know.
template <class App = QCoreApplication>
int RunBenchmarks(int argc, char** argv) {
  App app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace zelvo::bench
