#include "sim/SignalWait.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <unistd.h>

namespace zelvo::sim {

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

}  // namespace

bool RunUntilSignalled() {
  if (::pipe(g_signalPipe) != 0) return false;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  QSocketNotifier stop(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  return true;
}

}  // namespace zelvo::sim
