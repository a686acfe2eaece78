#include "cli/Interrupt.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <QWinEventNotifier>
#include <atomic>

namespace zelvo::cli {

namespace {

// Set by the console's handler thread, taken by the main thread.
HANDLE g_event = nullptr;
std::atomic<int> g_pendingInt{0}, g_pendingTerm{0};

BOOL WINAPI OnConsoleControl(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT: ++g_pendingInt; break;
    case CTRL_BREAK_EVENT: ++g_pendingTerm; break;
    default: return FALSE;  // closing the console or logging off: the system's default
  }
  ::SetEvent(g_event);
  return TRUE;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  g_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_event) return;
  auto notifier = std::make_unique<QWinEventNotifier>(g_event);
  QObject::connect(notifier.get(), &QWinEventNotifier::activated, [this] { Drain(); });
  notifier_ = std::move(notifier);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

InterruptWatch::~InterruptWatch() {
  if (!notifier_) return;
  ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  notifier_.reset();
  ::CloseHandle(g_event);
  g_event = nullptr;
}

void InterruptWatch::Drain() {
  for (int n = g_pendingInt.exchange(0); n > 0; --n) Raise(SIGINT);
  for (int n = g_pendingTerm.exchange(0); n > 0; --n) Raise(SIGTERM);
}

QString SignalName(int signal) { return signal == SIGINT ? QStringLiteral("Ctrl-C") : QStringLiteral("Ctrl-Break"); }

}  // namespace zelvo::cli
