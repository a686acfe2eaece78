#include "link/DockTransport.h"

#include <QMetaObject>
#include <utility>

#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "core/Timer.h"
#include "dock/LinkDock.h"

namespace zelvo {

namespace {
constexpr int kSettlePasses = 1001;  // message passes after enabling the dock
}  // namespace

TDockTransport::~TDockTransport() { ReleaseEvents(); }

void TDockTransport::SetDock(ILinkDock* dock, bool askUntilAccepted) {
  dock_ = dock;
  askUntilAccepted_ = askUntilAccepted;
}

TransportOpen TDockTransport::Open(int timeOut) {
  QPointer<TDockTransport> self(this);
  ILinkDock* dock = dock_;
  // The tries end with the connect time-out too: a dock that cannot be
  // reached may take seconds for each one.
  TTimer limit;
  bool limitReached = false;
  limit.OnTimer = [&](QObject*) {
    limitReached = true;
    limit.SetEnabled(false);
  };
  limit.SetInterval(TimeOutMs(timeOut));
  limit.SetEnabled(true);
  opened_ = true;
  if (!dock->Enabled()) dock->SetEnabled(true);
  if (!self) return TransportOpen::NotFound;
  if (dock->Enabled()) dock->ClearDeviceHalted();
  for (int i = 0; i < kSettlePasses && self; ++i) ProcessMessages();
  if (!self) return TransportOpen::NotFound;
  bool retry = false;
  int tries = 0;
  opening_ = true;
  openAbandoned_ = false;
  heldReport_.reset();
  TakeOverEvents(dock);
  do {
    retry = false;
    dock->SetSlaveMode(true, retry);
    if (!self) return TransportOpen::NotFound;
    ++tries;
  } while (askUntilAccepted_ && retry && tries < kMaxSlaveModeTries && !limitReached && !openAbandoned_);
  opening_ = false;
  if (openAbandoned_) {  // nothing the dock says belongs to this link any more
    ReleaseEvents();
    return TransportOpen::NotFound;
  }
  if (askUntilAccepted_ && retry) {
    ShowMessage(QLatin1String(kSlaveModeRefusedText));
    if (!self) return TransportOpen::NotFound;
    Raise(OnSlaveModeRefused, this);
    if (!self) return TransportOpen::NotFound;
  }
  // The dock opened here is the one whose events are taken over, even if a
  // nested call chose another meanwhile.
  dock_ = dock;
  // A dock that never reports the instrument must not leave the caller
  // waiting for ever.
  Host().ArmConnectTimeOut(timeOut);
  // What the dock reported meanwhile is told as if it came just now.
  if (const std::optional<TransportState> held = std::exchange(heldReport_, std::nullopt)) {
    QMetaObject::invokeMethod(
        this, [self, state = *held] { if (self) self->Report(state); }, Qt::QueuedConnection);
  }
  return TransportOpen::Opening;
}

void TDockTransport::TakeOverEvents(ILinkDock* dock) {
  QPointer<TDockTransport> self(this);
  dock->InstrumentConnectedEvent() = [self](QObject*) {
    if (self) self->Report(TransportState::Up);
  };
  dock->InstrumentDisconnectedEvent() = [self](QObject*) {
    if (self) self->Report(TransportState::Down);
  };
  dock->RcvUserDataEvent() = [self](QObject*, const QByteArray& data) {
    if (self) self->Host().BytesArrived(*self, data);
  };
  wired_ = dock;
  wiredObject_ = dock->DockObject();
}

void TDockTransport::Report(TransportState state) {
  if (opening_) {
    heldReport_ = state;
    return;
  }
  Host().StateChanged(*this, state);
}

void TDockTransport::ReleaseEvents() {
  if (!wiredObject_ || !wired_) return;
  wired_->InstrumentConnectedEvent() = nullptr;
  wired_->InstrumentDisconnectedEvent() = nullptr;
  wired_->RcvUserDataEvent() = nullptr;
}

void TDockTransport::Close() {
  // One "DSC" at a time: the program command's "ACKBYE" closes the link from
  // both the instrument component and the workflow, and a second request
  // would reach the dock while it still answers the first (a dock that takes
  // one command at a time refuses it with its own message).
  // Nothing asked of the dock yet: nothing to end.
  if (!opened_) return;
  if (opening_) {
    // The dock may take seconds to answer each request; nobody waits for it.
    openAbandoned_ = true;
    dock_->AbandonCommand();
  }
  if (disconnectQueued_) return;
  disconnectQueued_ = true;
  ILinkDock* dock = dock_;
  QObject* object = dock->DockObject();
  QPointer<TDockTransport> self(this);
  QMetaObject::invokeMethod(
      object ? object : this,
      [dock, self] {
        dock->SendDisconnect();
        if (self) self->disconnectQueued_ = false;
      },
      Qt::QueuedConnection);
}

void TDockTransport::Write(const QByteArray& message) {
  QPointer<TDockTransport> self(this);
  ProcessMessages();
  // The link may have gone, or a later message overtaken this one, meanwhile.
  if (self && Host().Writable()) dock_->SendStr(message);
}

}  // namespace zelvo
