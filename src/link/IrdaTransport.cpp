#include "link/IrdaTransport.h"

#include <QPointer>

#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "net/SocketErrors.h"

namespace zelvo {

namespace {
constexpr int kBufferSize = 2048;       // socket buffer
constexpr int kPieceWaitSliceMs = 100;  // longest sleep between checks of the send buffer
constexpr int kSearchPauseMs = 250;     // pause between device searches while opening
}  // namespace

TIrdaTransport::TIrdaTransport(TKelLink* link, Cutter cutter)
    : cutter_(std::move(cutter)), socket_(std::make_unique<TIrSocket>(link)) {
  socket_->OnError = [this](QObject*) { ClassifySocketError(); };
  socket_->SetBufSize(kBufferSize);
}

TIrdaTransport::~TIrdaTransport() {
  socket_->OnError = nullptr;
  socket_->OnSessionClosed = nullptr;
  socket_->OnSessionConnected = nullptr;
  socket_->OnDataAvailable = nullptr;
}

void TIrdaTransport::Probe(bool enumerate) {
  QPointer<TIrdaTransport> self(this);
  if (enumerate) devices_ = socket_->EnumerateDevices();
  if (!self) return;
  socket_->OnError = [this](QObject*) {
    if (OnSocketError) OnSocketError();
  };
  socket_->OnDataAvailable = [this](QObject*, quint16) { Received(); };
  socket_->OnSessionConnected = [this](QObject*, quint16 error) {
    if (error) return;  // a connect that failed brings nothing up
    Host().StateChanged(*this, TransportState::Up);
  };
  socket_->OnSessionClosed = [this](QObject*, quint16) { Host().StateChanged(*this, TransportState::Down); };
  socket_->SetUseAnyDevice(true);
}

TransportOpen TIrdaTransport::Open(int timeOut) {
  QPointer<TIrdaTransport> self(this);
  Host().ArmConnectTimeOut(timeOut);
  devices_.reset();
  searching_ = true;
  searchAbandoned_ = false;
  for (;;) {
    devices_ = socket_->EnumerateDevices();
    if (!self) return TransportOpen::NotFound;
    ProcessMessages();
    if (!self) return TransportOpen::NotFound;
    if (!Host().ConnectTimeOutRunning() || (devices_ && devices_->Count() >= 1)) break;
    // Nobody in range yet: look again shortly, sleeping meanwhile.
    WaitForMessages(kSearchPauseMs);
    if (!self) return TransportOpen::NotFound;
    if (!Host().ConnectTimeOutRunning()) break;
  }
  searching_ = false;
  if (searchAbandoned_ || !devices_ || devices_->Count() < 1) return TransportOpen::NotFound;
  socket_->Close();
  socket_->Flush();
  if (!self) return TransportOpen::NotFound;
  IrdaDeviceEntry first;
  devices_->GetDevice(0, first);
  socket_->SetDeviceID(first.deviceId);
  socket_->Connect();
  return TransportOpen::Opening;
}

void TIrdaTransport::Close() {
  if (searching_) {
    searchAbandoned_ = true;
    return;
  }
  Host().StateChanged(*this, TransportState::Closing);
  socket_->Close();
}

void TIrdaTransport::Write(const QByteArray& wire) {
  const frame::IrdaWrites plan = cutter_(wire);
  QPointer<TIrdaTransport> self(this);
  const int remembered = socket_->LastError();
  for (qsizetype i = 0; i < plan.writes.size(); ++i) {
    if (Host().Writable()) socket_->SendText(plan.writes[i]);  // a refused piece is skipped
    if (!self) return;
    if (!plan.waitBetween || i + 1 == plan.writes.size()) continue;
    // Wait for the send buffer to drain. A failed write (changed error code)
    // ends the wait as well: its piece is gone and the next one follows.
    while (Host().Writable() && !socket_->AllSent() && socket_->LastError() == remembered) {
      WaitForMessages(kPieceWaitSliceMs);
      if (!self) return;
    }
  }
}

void TIrdaTransport::Received() {
  const QByteArray block = socket_->ReceiveText();
  if (!block.isEmpty()) Host().BytesArrived(*this, block);
}

void TIrdaTransport::ClassifySocketError() {
  const int code = socket_->LastError();
  if (code == wsa::EINVAL_ || code == wsa::EOPNOTSUPP_ || code == wsa::EAFNOSUPPORT_) {
    socketMode_ = false;  // no IrDA sockets here: the IrCOMM virtual port it is
    stackError_ = code;
    return;
  }
  const QString description = socket_->ErrorDescription(code);
  if (code == wsa::ENETDOWN_) {
    ShowMessage(QStringLiteral("Error %1 \"%2\" IrDA Transceiver disabled or not connected!").arg(code).arg(description));
    return;
  }
  if (!ErrorsAreQuiet || !ErrorsAreQuiet())
    ShowMessage(QStringLiteral("IrSock Error %1 \"%2\"").arg(code).arg(description));
}

}  // namespace zelvo
