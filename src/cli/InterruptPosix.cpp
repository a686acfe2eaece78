#include "cli/Interrupt.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zelvo::cli {

namespace {

int g_pipe[2] = {-1, -1};
struct sigaction g_previousInt, g_previousTerm, g_previousHup;

void OnSignal(int signal) {
  const int saved = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

InterruptWatch::InterruptWatch() {
  if (::pipe(g_pipe) != 0) return;
  for (const int fd : g_pipe) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  auto notifier = std::make_unique<QSocketNotifier>(g_pipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { Drain(); });
  notifier_ = std::move(notifier);
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking terminal read ends
  ::sigaction(SIGINT, &action, &g_previousInt);
  ::sigaction(SIGTERM, &action, &g_previousTerm);
  ::sigaction(SIGHUP, &action, &g_previousHup);  // the terminal closed
}

InterruptWatch::~InterruptWatch() {
  if (!notifier_) return;
  ::sigaction(SIGINT, &g_previousInt, nullptr);
  ::sigaction(SIGTERM, &g_previousTerm, nullptr);
  ::sigaction(SIGHUP, &g_previousHup, nullptr);
  notifier_.reset();
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

void InterruptWatch::Drain() {
  char signals[16];
  ssize_t n;
  while ((n = ::read(g_pipe[0], signals, sizeof signals)) > 0) {
    for (ssize_t i = 0; i < n; ++i) Raise(signals[i]);
  }
}

QString SignalName(int signal) {
  if (signal == SIGINT) return QStringLiteral("Ctrl-C");
  return signal == SIGHUP ? QStringLiteral("SIGHUP") : QStringLiteral("SIGTERM");
}

}  // namespace zelvo::cli
