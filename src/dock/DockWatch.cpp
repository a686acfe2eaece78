#include "dock/DockWatch.h"

#include "dock/DockProtocol.h"

namespace zelvo {

DockWatch::DockWatch(TDockProtocol& dock, std::function<bool()> busy, int checkMs)
    : dock_(dock), busy_(std::move(busy)) {
  dock_.OnDockLost = [this](QObject*) {
    Note(dock_.USBDevice() ? QStringLiteral("its USB device has gone") : QStringLiteral("its connection was lost"));
  };
  HeardNow();
  timer_.OnTimer = [this](QObject*) { Tick(); };
  timer_.SetInterval(checkMs);
  timer_.SetEnabled(true);
}

DockWatch::~DockWatch() { dock_.OnDockLost = nullptr; }

void DockWatch::HeardNow() {
  quietChecks_ = 0;
  repliesSeen_ = dock_.RepliesTaken();
  timeOutsSeen_ = dock_.CommandTimeOuts();
}

void DockWatch::Tick() {
  if (lost_) return;
  if (busy_() || dock_.RepliesTaken() != repliesSeen_) return HeardNow();
  if (++quietChecks_ < kQuietChecks) return;
  if (dock_.CommandStatus() != TCommandStatus::csPending) return CheckNow();
  // Another command waits: its answer tells, unless commands have gone
  // unanswered all along.
  if (dock_.CommandTimeOuts() != timeOutsSeen_)
    Note(QStringLiteral("it has answered no command for %1 s").arg(quietChecks_ * timer_.Interval() / 1000));
}

void DockWatch::CheckNow() {
  if (lost_ || busy_()) return;
  switch (dock_.Enquire()) {
    case DockAnswer::Answered:
      return HeardNow();
    case DockAnswer::Silent:
      return Note(QStringLiteral("it did not answer within %1 s").arg(dock_.CommandTimeOut() / 1000.0));
    case DockAnswer::Unreachable:
      // Gone meanwhile; the loss has been told, unless it went unnoticed.
      return Note(QStringLiteral("its connection was lost"));
    case DockAnswer::Busy:
      return;
  }
}

void DockWatch::Recovered() {
  lost_ = false;
  why_.clear();
  HeardNow();
}

void DockWatch::Note(const QString& why) {
  if (lost_) return;
  lost_ = true;
  why_ = why;
  if (OnLost) OnLost(why);
}

}  // namespace zelvo
