#include "link/KelLink.h"

#include <QMetaObject>
#include <climits>
#include <condition_variable>
#include <mutex>

#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "link/IrCommPort.h"
#include "dock/LinkDock.h"
#include "link/SerialPort.h"
#include "net/SocketErrors.h"

namespace zelvo {

namespace {
constexpr int kIrCommBaud = 115200;
constexpr int kStartupProbeMs = 100;
constexpr int kBufferSize = 2048;          // IrDA socket buffer
constexpr int kPieceWaitSliceMs = 100;     // longest sleep between checks of the send buffer
constexpr int kEnumeratePauseMs = 250;     // pause between device searches while opening
constexpr int kDockSettlePasses = 1001;    // message passes after enabling a dock
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
  comPort_ = std::make_unique<TSerialPort>();
  irSocket_ = std::make_unique<TIrSocket>(this);
  replyTimer_ = std::make_unique<TTimer>();
  irdaSocketMode_ = true;
  irSocket_->OnError = [this](QObject*) { ClassifySocketError(); };
  irSocket_->SetBufSize(kBufferSize);
  rs232Port_ = 1;
  threadStarted_ = false;
  connected_ = false;
  wholeFrameMode_ = false;
  comPort_->OnTriggerAvail = [this](QObject*, quint16 count) { SerialReceive(count); };
  comPort_->OnPortOpen = [this](QObject*) {
    disconnecting_ = false;
    SetConnectedState(true);
  };
  comPort_->OnPortClose = [this](QObject*) {
    SetConnectedState(false);
    disconnecting_ = false;
  };
  comPort_->SetLogName(QStringLiteral("KelLink.Log"));
  replyTimer_->OnTimer = [this](QObject*) { StartupProbe(); };
  replyTimer_->SetInterval(kStartupProbeMs);
  replyTimer_->SetEnabled(true);
  messageIndex_ = frame::kFirstMessageIndex;
}

TKelLink::~TKelLink() {
  replyTimer_->SetEnabled(false);
  if (threadStarted_) {
    thread_.reset();
    threadStarted_ = false;
  }
  if (wiredDockObject_ && wiredDock_) {
    wiredDock_->InstrumentConnectedEvent() = nullptr;
    wiredDock_->InstrumentDisconnectedEvent() = nullptr;
    wiredDock_->RcvUserDataEvent() = nullptr;
  }
  irSocket_->OnError = nullptr;
  irSocket_->OnSessionClosed = nullptr;
  irSocket_->OnSessionConnected = nullptr;
  irSocket_->OnDataAvailable = nullptr;
  irSocket_.reset();
  comPort_.reset();
  replyTimer_.reset();
}

ILinkDock* TKelLink::ActiveDock() const {
  if (kovaExpressDock_) return kovaExpressDock_;
  if (mpKovaExpressDock_) return mpKovaExpressDock_;
  return arvennaKova6Dock_;
}

TTraceLogState TKelLink::Logging() const { return comPort_->Logging(); }
void TKelLink::SetLogging(TTraceLogState state) { comPort_->SetLogging(state); }

void TKelLink::SetText(const QByteArray& text) { SendMsg(text, defaultTimeOut_); }

void TKelLink::SetConnected(bool connected) {
  if (connected)
    OpenLink(defaultTimeOut_);
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

namespace {
// A link time-out value as a timer interval: > 0 seconds, else |timeOut| ms.
int TimeOutMs(int timeOut) {
  const qint64 ms = timeOut > 0 ? static_cast<qint64>(timeOut) * 1000 : -static_cast<qint64>(timeOut);
  return static_cast<int>(qMin<qint64>(ms, INT_MAX));
}
}  // namespace

void TKelLink::ArmReplyTimer(int timeOut) {
  // Arming always starts a full interval with the time-out handler.
  connectTimeOutHeld_ = false;
  replyTimer_->SetEnabled(false);
  replyTimer_->OnTimer = [this](QObject*) { ReplyTimeOutElapsed(); };
  replyTimer_->SetInterval(TimeOutMs(timeOut));
  replyTimer_->SetEnabled(true);
}

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
  if (ILinkDock* dock = ActiveDock()) {
    ProcessMessages();
    if (!self) return;
    dock->SendStr(message);
    if (!self) return;
    Raise(OnDebugSend, this, message);
    if (!self) return;
    ArmReplyTimer(timeOut);
    return;
  }
  const QByteArray wire = frame::WireForm(type_, message);
  Raise(OnDebugSend, this, wire);
  if (!self) return;
  if (irdaSocketMode_ && Ordinal(type_) != 1)
    WriteIrda(wire);
  else
    comPort_->PutString(wire);
  if (!self) return;
  ArmReplyTimer(timeOut);
}

void TKelLink::WriteIrda(const QByteArray& wire) {
  const frame::IrdaWrites plan = frame::CutForIrda(type_, wire, wholeFrameMode_);
  QPointer<TKelLink> self(this);
  const int remembered = irSocket_->LastError();
  for (qsizetype i = 0; i < plan.writes.size(); ++i) {
    if (connected_ && !disconnecting_) irSocket_->SendText(plan.writes[i]);  // a refused piece is skipped
    if (!self) return;
    if (!plan.waitBetween || i + 1 == plan.writes.size()) continue;
    // Wait for the send buffer to drain. A failed write (changed error code)
    // ends the wait as well: its piece is gone and the next one follows.
    while (connected_ && !disconnecting_ && !irSocket_->AllSent() && irSocket_->LastError() == remembered) {
      WaitForMessages(kPieceWaitSliceMs);
      if (!self) return;
    }
  }
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
  if (ILinkDock* dock = ActiveDock()) {
    OpenDock(dock, dock != mpKovaExpressDock_ || kovaExpressDock_ == dock, timeOut);
    // The connect time-out: a dock that never reports the instrument must
    // not leave the caller waiting for ever.
    if (self && timeOut > 0) ArmReplyTimer(timeOut);
    return;
  }
  if (Ordinal(type_) == 1) {
    comPort_->SetComNumber(rs232Port_);
    comPort_->SetBaud(rs232BaudRate_);
    comPort_->SetOpen(true);
    if (!self) return;
    StartThread();
    return;
  }
  if (irdaSocketMode_) {
    if (timeOut > 0) ArmReplyTimer(timeOut);
    irDevices_.reset();
    searching_ = true;
    searchAbandoned_ = false;
    for (;;) {
      irDevices_ = irSocket_->EnumerateDevices();
      if (!self) return;
      ProcessMessages();
      if (!self) return;
      if (!replyTimer_->Enabled() || (irDevices_ && irDevices_->Count() >= 1)) break;
      // Nobody in range yet: look again shortly, sleeping meanwhile.
      WaitForMessages(kEnumeratePauseMs);
      if (!self) return;
      if (!replyTimer_->Enabled()) break;
    }
    searching_ = false;
    if (searchAbandoned_ || !irDevices_ || irDevices_->Count() < 1) return;
    irSocket_->Close();
    irSocket_->Flush();
    if (!self) return;
    IrdaDeviceEntry first;
    irDevices_->GetDevice(0, first);
    irSocket_->SetDeviceID(first.deviceId);
    irSocket_->Connect();
    if (!self) return;
    StartThread();
    return;
  }
  // IrCOMM virtual port. The same connect time-out as on the IrDA path: it
  // runs until the first message re-arms the timer, and tells the caller when
  // the port could not be opened.
  comPort_->SetComNumber(irCommPort_);
  comPort_->SetBaud(kIrCommBaud);
  comPort_->SetOpen(true);
  if (!self) return;
  SetConnectedState(comPort_->Open());
  if (!comPort_->Open()) {
    const QString name = comPort_->DeviceName();
    if (irCommPort_ == 0 && name.isEmpty()) {
      // None recorded and none chosen: there is no infrared path at all.
      ShowMessage(QStringLiteral("No infrared link can be opened: ") + NoIrdaStackText(irdaStackError_) +
                  QStringLiteral(" and no IrCOMM port recorded in ") + IrCommPortSource() +
                  QStringLiteral(". Choose the IrCOMM port when asked for one, or record it there."));
    } else {
      ShowMessage(QStringLiteral("Could not open the IrCOMM port %1: %2")
                      .arg(name.isEmpty() ? QStringLiteral("COM%1").arg(irCommPort_) : name, comPort_->ErrorText()));
    }
    if (self) Raise(OnOpenFailed, this);
    return;
  }
  if (timeOut > 0) ArmReplyTimer(timeOut);
  StartThread();
}

void TKelLink::OpenDock(ILinkDock* dock, bool repeatWhileRetry, int timeOut) {
  QPointer<TKelLink> self(this);
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
  if (!dock->Enabled()) dock->SetEnabled(true);
  if (!self) return;
  if (dock->Enabled()) dock->ClearDeviceHalted();
  for (int i = 0; i < kDockSettlePasses && self; ++i) ProcessMessages();
  if (!self) return;
  bool retry = false;
  int tries = 0;
  do {
    retry = false;
    dock->SetSlaveMode(true, retry);
    if (!self) return;
    ++tries;
  } while (repeatWhileRetry && retry && tries < kMaxSlaveModeTries && !limitReached);
  if (repeatWhileRetry && retry) {
    ShowMessage(QLatin1String(kSlaveModeRefusedText));
    if (!self) return;
    Raise(OnSlaveModeRefused, this);
    if (!self) return;
  }
  WireDock(dock);
}

void TKelLink::WireDock(ILinkDock* dock) {
  QPointer<TKelLink> self(this);
  dock->InstrumentConnectedEvent() = [self](QObject*) {
    if (self) self->DockInstrumentConnected();
  };
  dock->InstrumentDisconnectedEvent() = [self](QObject*) {
    if (self) self->DockInstrumentDisconnected();
  };
  dock->RcvUserDataEvent() = [self](QObject*, const QByteArray& data) {
    if (self) self->DockUserData(data);
  };
  wiredDock_ = dock;
  wiredDockObject_ = dock->DockObject();
}

void TKelLink::CloseLink() {
  if (!connected_ && probed_) {
    // Still opening: nothing is to come up any more.
    replyTimer_->SetEnabled(false);
    connectTimeOutHeld_ = false;
    if (searching_) {
      searchAbandoned_ = true;
      return;
    }
  }
  if (ILinkDock* dock = ActiveDock()) {
    // "DSC" goes out after the current handler has returned. A dock freed
    // meanwhile takes the queued call with it.
    QObject* object = dock->DockObject();
    QMetaObject::invokeMethod(object ? object : this, [dock] { dock->SendDisconnect(); }, Qt::QueuedConnection);
    return;
  }
  if (Ordinal(type_) == 1) {
    comPort_->SetOpen(false);
    return;
  }
  if (irdaSocketMode_) {
    disconnecting_ = true;
    irSocket_->Close();
    return;
  }
  comPort_->SetOpen(false);
  SetConnectedState(comPort_->Open());
}

// --- start-up probe and socket errors --------------------------------------

void TKelLink::StartupProbe() {
  probed_ = true;
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  if (!ActiveDock()) irDevices_ = irSocket_->EnumerateDevices();
  if (!self) return;
  irSocket_->OnError = [this](QObject*) { ForwardIrError(); };
  irSocket_->OnDataAvailable = [this](QObject*, quint16) { IrdaReceive(); };
  irSocket_->OnSessionConnected = [this](QObject*, quint16 error) {
    if (error) return;  // a connect that failed brings nothing up
    disconnecting_ = false;
    SetConnectedState(true);
  };
  irSocket_->OnSessionClosed = [this](QObject*, quint16) {
    SetConnectedState(false);
    disconnecting_ = false;
  };
  irSocket_->SetUseAnyDevice(true);
  if (!irdaSocketMode_) irCommPort_ = FindIrCommPort();
}

void TKelLink::ClassifySocketError() {
  const int code = irSocket_->LastError();
  if (code == wsa::EINVAL_ || code == wsa::EOPNOTSUPP_ || code == wsa::EAFNOSUPPORT_) {
    irdaSocketMode_ = false;  // no IrDA sockets here: the IrCOMM virtual port it is
    irdaStackError_ = code;
    return;
  }
  const QString description = irSocket_->ErrorDescription(code);
  if (code == wsa::ENETDOWN_) {
    ShowMessage(QStringLiteral("Error %1 \"%2\" IrDA Transceiver disabled or not connected!").arg(code).arg(description));
    return;
  }
  if (!ActiveDock()) ShowMessage(QStringLiteral("IrSock Error %1 \"%2\"").arg(code).arg(description));
}

void TKelLink::ForwardIrError() { Raise(OnIrError, this); }

// --- receiving -------------------------------------------------------------

void TKelLink::SerialReceive(quint16 count) {
  // Taken in reads of at most kReceiveChunk bytes, as one block.
  QByteArray block;
  int left = count;
  while (left > 0) {
    const QByteArray piece = comPort_->GetBlock(qMin(left, kReceiveChunk));
    if (piece.isEmpty()) break;
    block.append(piece);
    left -= static_cast<int>(piece.size());
  }
  if (block.isEmpty()) return;
  if (frame::GroupOf(type_) == frame::FrameGroup::Framed) {
    if (!frame::GatherBlock(rx_, block, frame::BlockSource::SerialPort)) replyTimer_->SetEnabled(false);
    if (rx_.frameComplete) WakeThread();
    return;
  }
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  Raise(OnDebugReceive, this, block);
  if (self) Raise(OnReceiveMsg, this, block);
}

void TKelLink::IrdaReceive() {
  const QByteArray block = irSocket_->ReceiveText();
  if (block.isEmpty()) return;
  switch (frame::GroupOf(type_)) {
    case frame::FrameGroup::Framed:
      frame::GatherBlock(rx_, block, frame::BlockSource::IrdaSocket);
      if (rx_.frameComplete) WakeThread();
      return;
    case frame::FrameGroup::Indexed:
      IndexedReply(block);
      return;
    case frame::FrameGroup::Plain: {
      replyTimer_->SetEnabled(false);
      QPointer<TKelLink> self(this);
      Raise(OnDebugReceive, this, block);
      if (self) Raise(OnReceiveMsg, this, block);
      return;
    }
  }
}

void TKelLink::IndexedReply(const QByteArray& reply) {
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  if (reply.size() >= 4 && reply.at(3) == messageIndex_) {
    Raise(OnDebugReceive, this, reply);
    if (self) Raise(OnReceiveMsg, this, reply);
    return;
  }
  const bool nak = reply.size() < 4 ? reply == "NAK" : reply.startsWith("NAK");
  if (nak)
    ShowMessage(QStringLiteral("NAK - Instrument did not understand command!"));
  else if (reply.size() < 4)
    ShowMessage(QStringLiteral("Message Response Too Short!"));
  else
    ShowMessage(QStringLiteral("Incorrect Response Message Index!"));
  if (self) Raise(OnDebugReceive, this, reply);
}

// --- docks -----------------------------------------------------------------

void TKelLink::DockInstrumentConnected() {
  SetConnectedState(true);
  disconnecting_ = false;
  Raise(OnLinkUp, this, true);
}

void TKelLink::DockInstrumentDisconnected() {
  SetConnectedState(false);
  disconnecting_ = false;
  Raise(OnLinkDown, this, false);
}

void TKelLink::DockUserData(const QByteArray& data) {
  // Nothing is delivered before the instrument is there; such data does not
  // stop the connect time-out either.
  if (!connected_) return;
  replyTimer_->SetEnabled(false);
  QPointer<TKelLink> self(this);
  Raise(OnDebugReceive, this, data);
  if (self) Raise(OnReceiveMsg, this, data);
}

// --- poll cycle ------------------------------------------------------------

void TKelLink::LinkPoll() {
  QPointer<TKelLink> self(this);
  ++pollCount_;
  if (connected_ != lastConnected_) {
    if (connected_)
      Raise(OnLinkUp, this, true);
    else
      Raise(OnLinkDown, this, false);
    if (!self) return;
    lastConnected_ = connected_;
  }
  if (rx_.frameComplete) {
    Raise(OnDebugReceive, this, rx_.receiveBuffer);
    if (!self) return;
    const std::optional<QByteArray> reply = frame::ExtractFrame(rx_, frame::HasChecksum(type_));
    if (reply) {
      replyTimer_->SetEnabled(false);
      Raise(OnReceiveMsg, this, *reply);
      if (!self) return;
    }
  }
  ProcessMessages();
}

}  // namespace zelvo
