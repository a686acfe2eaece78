#include "link/KelLink.h"

#include <QMetaObject>
#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "link/IrCommPort.h"
#include "link/SerialPort.h"

namespace zelvo {

namespace {
constexpr int kIrCommBaud = 115200;
constexpr int kStartupProbeMs = 100;
}  // namespace

// ---------------------------------------------------------------------------
// Poll thread

struct TKelLinkThread::Shared {
  std::mutex mutex;
  std::condition_variable cv;
  bool stop = false;
  bool wake = true;      // the first cycle runs at once
  bool pending = false;  // a LinkPoll has been handed to the main thread
  TKelLink* link = nullptr;  // main thread only; null once the thread is gone
};

TKelLinkThread::TKelLinkThread(TKelLink* link) : shared_(std::make_shared<Shared>()), context_(new QObject) {
  shared_->link = link;
  thread_ = std::thread([this] { Execute(); });
}

TKelLinkThread::~TKelLinkThread() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->cv.notify_all();
  if (thread_.joinable()) thread_.join();
  shared_->link = nullptr;
  // A hand-off may still be queued (or running, when the link is freed from
  // inside LinkPoll): the receiver goes when the loop is done with it.
  context_->deleteLater();
}

void TKelLinkThread::Wake() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->wake = true;
  }
  shared_->cv.notify_all();
}

void TKelLinkThread::Execute() {
  std::shared_ptr<Shared> shared = shared_;
  QObject* context = context_;
  std::unique_lock<std::mutex> lock(shared->mutex);
  for (;;) {
    shared->cv.wait(lock, [&] { return shared->stop || shared->wake; });
    if (shared->stop) break;
    shared->wake = false;
    shared->pending = true;
    lock.unlock();
    QMetaObject::invokeMethod(
        context,
        [shared] {
          if (TKelLink* link = shared->link) link->LinkPoll();
          {
            std::lock_guard<std::mutex> done(shared->mutex);
            shared->pending = false;
          }
          shared->cv.notify_all();
        },
        Qt::QueuedConnection);
    lock.lock();
    // Abortable: the stop ends the wait even if the main thread never runs it.
    shared->cv.wait(lock, [&] { return shared->stop || !shared->pending; });
    if (shared->stop) break;
  }
}

// ---------------------------------------------------------------------------
// Link

TKelLink::TKelLink(QObject* owner) : QObject(owner) {
  serial_ = std::make_unique<TSerialTransport>();
  irda_ = std::make_unique<TIrdaTransport>(
      this, [this](const QByteArray& wire) { return frame::CutForIrda(type_, wire, wholeFrameMode_); });
  dock_ = std::make_unique<TDockTransport>();
  for (ILinkTransport* transport : {static_cast<ILinkTransport*>(serial_.get()),
                                    static_cast<ILinkTransport*>(irda_.get()), static_cast<ILinkTransport*>(dock_.get())})
    transport->SetHost(this);
  irda_->ErrorsAreQuiet = [this] { return ActiveDock() != nullptr; };
  irda_->OnSocketError = [this] { Raise(OnIrError, this); };
  dock_->OnSlaveModeRefused = [this](QObject*) { Raise(OnSlaveModeRefused, this); };
  replyTimer_ = std::make_unique<TTimer>();
  replyTimer_->OnTimer = [this](QObject*) { StartupProbe(); };
  replyTimer_->SetInterval(kStartupProbeMs);
  replyTimer_->SetEnabled(true);
}

TKelLink::~TKelLink() {
  replyTimer_->SetEnabled(false);
  if (threadStarted_) {
    thread_.reset();
    threadStarted_ = false;
  }
  dock_.reset();
  irda_.reset();
  serial_.reset();
  replyTimer_.reset();
}

ILinkDock* TKelLink::ActiveDock() const {
  if (kovaExpressDock_) return kovaExpressDock_;
  if (mpKovaExpressDock_) return mpKovaExpressDock_;
  return arvennaKova6Dock_;
}

ILinkTransport& TKelLink::Transport() {
  if (assigned_) return *assigned_;
  if (ILinkDock* dock = ActiveDock()) {
    // The multi-port dock is asked for slave mode once, the others until they accept.
    dock_->SetDock(dock, dock != mpKovaExpressDock_ || kovaExpressDock_ == dock);
    return *dock_;
  }
  if (Ordinal(type_) == 1) {
    serial_->SetLine(TSerialTransport::Line::RS232, rs232Port_, rs232BaudRate_);
    return *serial_;
  }
  if (irda_->SocketMode()) return *irda_;
  serial_->SetLine(TSerialTransport::Line::IrComm, irCommPort_, kIrCommBaud);
  serial_->SetIrdaStackError(irda_->StackError());
  return *serial_;
}

void TKelLink::SetTransport(ILinkTransport* transport) {
  assigned_ = transport;
  if (transport) transport->SetHost(this);
}

TTraceLogState TKelLink::Logging() const { return serial_->Port()->Logging(); }
void TKelLink::SetLogging(TTraceLogState state) { serial_->Port()->SetLogging(state); }

void TKelLink::SetText(const QByteArray& text) { SendMsg(text, defaultTimeOut_); }

void TKelLink::SetConnected(bool connected) {
  if (connected)
    OpenLink(connectTimeOut_.value_or(defaultTimeOut_));
  else
    CloseLink();
}

void TKelLink::SetConnectedState(bool connected) {
  if (connected == connected_) return;
  connected_ = connected;
  WakeThread();
}

void TKelLink::StartThread() {
  if (threadStarted_) return;
  if (!thread_) thread_ = std::make_unique<TKelLinkThread>(this);
  threadStarted_ = true;
}

void TKelLink::WakeThread() {
  if (thread_) thread_->Wake();
}

void TKelLink::ArmReplyTimer(int timeOut) {
  // Arming always starts a full interval with the time-out handler.
  connectTimeOutHeld_ = false;
  replyTimer_->SetEnabled(false);
  replyTimer_->OnTimer = [this](QObject*) { ReplyTimeOutElapsed(); };
  replyTimer_->SetInterval(TimeOutMs(timeOut));
  replyTimer_->SetEnabled(true);
}

void TKelLink::ArmConnectTimeOut(int timeOut) {
  if (timeOut > 0) ArmReplyTimer(timeOut);
}

bool TKelLink::ConnectTimeOutRunning() const { return replyTimer_->Enabled(); }

void TKelLink::HoldConnectTimeOut() {
  if (connected_ || !replyTimer_->Enabled()) return;
  replyTimer_->SetEnabled(false);
  connectTimeOutHeld_ = true;
}

void TKelLink::RestartConnectTimeOut() {
  if (!connectTimeOutHeld_) return;
  connectTimeOutHeld_ = false;
  if (!connected_) replyTimer_->SetEnabled(true);
}

void TKelLink::ReplyTimeOutElapsed() {
  replyTimer_->SetEnabled(false);
  Raise(OnTimeOut, this, static_cast<quint16>(0));
}

// --- sending ---------------------------------------------------------------

void TKelLink::SendMsg(const QByteArray& msg, int timeOut) {
  QByteArray message = msg;
  if (frame::GroupOf(type_) == frame::FrameGroup::Indexed) {
    messageIndex_ = frame::NextMessageIndex(messageIndex_);
    message = frame::WithMessageIndex(message, messageIndex_);
  }
  if (!connected_ || disconnecting_) {
    ShowMessage(QStringLiteral("SendMsg Error - Not Connected!"));
    return;
  }
  QPointer<TKelLink> self(this);
  // A send begun inside the wait of this one overtakes it: what is left of
  // this one is dropped (a release must be the last thing the instrument
  // gets), and its reply is not waited for.
  overtakenUpTo_ = sendDepth_;
  const int depth = ++sendDepth_;
  const auto done = [&] {
    if (!self) return false;
    sendDepth_ = depth - 1;
    const bool overtaken = overtakenUpTo_ >= depth;
    overtakenUpTo_ = std::min(overtakenUpTo_, sendDepth_);
    return !overtaken;
  };
  ILinkTransport& transport = Transport();
  if (transport.Wire() == TransportWire::Dock) {
    // The dock frames the message itself; it is traced once handed over.
    transport.Write(message);
    if (!self || overtakenUpTo_ >= depth) {
      done();
      return;
    }
    Raise(OnDebugSend, this, message);
  } else {
    // Traced before the write: a reply may come while the pieces go out.
    const QByteArray wire = frame::WireForm(type_, message);
    Raise(OnDebugSend, this, wire);
    if (self) transport.Write(wire);
  }
  if (done()) ArmReplyTimer(timeOut);
}

// --- opening and closing ---------------------------------------------------

void TKelLink::OpenLink(int timeOut) {
  // Opened before the start-up probe ran: probe first, or the socket's
  // reports would never reach the link (and the virtual port not be found).
  // Every step below may run handlers that free the link (opening a port may
  // deliver bytes at once).
  QPointer<TKelLink> self(this);
  if (!probed_) {
    StartupProbe();
    if (!self) return;
  }
  ILinkTransport& transport = Transport();
  const TransportOpen opened = transport.Open(timeOut);
  if (!self) return;
  if (opened == TransportOpen::Failed) {
    Raise(OnOpenFailed, this);
    return;
  }
  // A dock reports the instrument itself; the direct transports through the
  // poll cycle.
  if (opened == TransportOpen::Opening && transport.Wire() != TransportWire::Dock) StartThread();
}

void TKelLink::CloseLink() {
  if (!connected_ && probed_) {
    // Still opening: nothing is to come up any more.
    replyTimer_->SetEnabled(false);
    connectTimeOutHeld_ = false;
  }
  Transport().Close();
}

void TKelLink::StateChanged(const ILinkTransport& from, TransportState state) {
  if (state == TransportState::Closing) {
    disconnecting_ = true;
    return;
  }
  const bool up = state == TransportState::Up;
  disconnecting_ = false;
  SetConnectedState(up);
  if (from.Wire() != TransportWire::Dock) return;  // LinkPoll reports it
  Tell({up ? Report::Kind::Up : Report::Kind::Down, {}});
}

void TKelLink::Tell(Report report) {
  if (telling_) {
    held_.append(std::move(report));
    return;
  }
  QPointer<TKelLink> self(this);
  telling_ = true;
  RaiseReport(report);
  while (self && !held_.isEmpty()) RaiseReport(held_.takeFirst());
  if (self) telling_ = false;
}

void TKelLink::RaiseReport(const Report& report) {
  switch (report.kind) {
    case Report::Kind::Up:
      // A repeated report of the instrument present changes nothing, nor
      // does one the link has meanwhile seen undone.
      if (reportedUp_ || !connected_) return;
      reportedUp_ = true;
      Raise(OnLinkUp, this, true);
      return;
    case Report::Kind::Down:
      if (!reportedUp_) return;
      reportedUp_ = false;
      Raise(OnLinkDown, this, false);
      return;
    case Report::Kind::Reply:
      Raise(OnReceiveMsg, this, report.reply);
      return;
  }
}

// --- start-up probe --------------------------------------------------------

void TKelLink::StartupProbe() {
  probed_ = true;
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  irda_->Probe(!ActiveDock() && !assigned_);
  if (!self) return;
  if (!irda_->SocketMode()) irCommPort_ = FindIrCommPort();
}

// --- receiving -------------------------------------------------------------

void TKelLink::BytesArrived(const ILinkTransport& from, const QByteArray& block) {
  const bool framed = frame::GroupOf(type_) == frame::FrameGroup::Framed;
  switch (from.Wire()) {
    case TransportWire::Dock:
      // Nothing is delivered before the instrument is there; such data does
      // not stop the connect time-out either.
      if (connected_) DockData(block);
      return;
    case TransportWire::SerialPort:
      if (!framed) break;
      if (!frame::GatherBlock(rx_, block, frame::BlockSource::SerialPort)) replyTimer_->SetEnabled(false);
      if (rx_.frameComplete) WakeThread();
      return;
    case TransportWire::IrdaSocket:
      if (framed) {
        frame::GatherBlock(rx_, block, frame::BlockSource::IrdaSocket);
        if (rx_.frameComplete) WakeThread();
        return;
      }
      if (frame::GroupOf(type_) == frame::FrameGroup::Indexed) {
        IndexedReply(block);
        return;
      }
      break;
  }
  Deliver(block);
}

void TKelLink::DockData(const QByteArray& block) {
  // Only a reply awaited is taken, and no more of it than a reply can hold:
  // what else a dock sends is dropped, the first of it traced.
  if (replyTimer_->Enabled()) {
    unaskedTraced_ = false;
    Deliver(block.left(kMaxDockReply));
    return;
  }
  if (unaskedTraced_) return;
  unaskedTraced_ = true;
  Raise(OnDebugReceive, this, block.left(kMaxDockReply));
}

void TKelLink::Deliver(const QByteArray& reply) {
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  Raise(OnDebugReceive, this, reply);
  if (self) Tell({Report::Kind::Reply, reply});
}

void TKelLink::IndexedReply(const QByteArray& reply) {
  if (reply.size() >= 4 && reply.at(3) == messageIndex_) {
    Deliver(reply);
    return;
  }
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  const bool nak = reply.size() < 4 ? reply == "NAK" : reply.startsWith("NAK");
  if (nak)
    ShowMessage(QStringLiteral("NAK - Instrument did not understand command!"));
  else if (reply.size() < 4)
    ShowMessage(QStringLiteral("Message Response Too Short!"));
  else
    ShowMessage(QStringLiteral("Incorrect Response Message Index!"));
  if (self) Raise(OnDebugReceive, this, reply);
}

// --- poll cycle ------------------------------------------------------------

void TKelLink::LinkPoll() {
  QPointer<TKelLink> self(this);
  ++pollCount_;
  if (connected_ != lastConnected_) {
    lastConnected_ = connected_;
    Tell({connected_ ? Report::Kind::Up : Report::Kind::Down, {}});
    if (!self) return;
  }
  if (rx_.frameComplete) {
    Raise(OnDebugReceive, this, rx_.receiveBuffer.left(frame::FirstFrameExtent(rx_.receiveBuffer)));
    if (!self) return;
    const std::optional<QByteArray> reply = frame::ExtractFrame(rx_, frame::HasChecksum(type_));
    if (reply) {
      replyTimer_->SetEnabled(false);
      Tell({Report::Kind::Reply, *reply});
      if (!self) return;
      if (rx_.frameComplete) WakeThread();  // a second frame of the same block
    }
  }
  ProcessMessages();
}

}  // namespace zelvo
