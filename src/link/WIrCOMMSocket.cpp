#include "link/WIrCOMMSocket.h"

#include <QDeadlineTimer>

#include "core/Diagnostics.h"
#include "core/MessagePump.h"
#include "net/SocketErrors.h"

namespace zelvo {

void TIrdaDevicesInfo::Add(const IrdaDeviceEntry& entry) {
  devices_.push_back(std::make_unique<TIrdaDeviceWrapper>(entry));
}

bool TIrdaDevicesInfo::GetDevice(int index, IrdaDeviceEntry& entry) const {
  if (index < 0 || index >= Count()) return false;
  entry = devices_[static_cast<size_t>(index)]->Entry;
  return true;
}

TWIrCOMMSocket::TWIrCOMMSocket(QObject* owner) : TWSocket(owner), stack_(CurrentIrdaStack()) {}

TWIrCOMMSocket::~TWIrCOMMSocket() { socket_.reset(); }

void TWIrCOMMSocket::DropSocket() { socket_.reset(); }

bool TWIrCOMMSocket::CreateIrSocket() {
  DropSocket();  // nothing queued survives
  int error = 0;
  socket_ = stack_->CreateSocket(this, error);
  if (!socket_) {
    SocketError(QStringLiteral("Connect (socket)"), error ? error : wsa::EAFNOSUPPORT_);
    return false;
  }
  ChangeState(TSocketState::wsOpened);
  if (!SetLPTMode()) return false;
  if (!socket_) return false;
  if (lingerOnOff_ != TSocketLingerOnOff::wsLingerNoSet) {
    // A refused linger setting leaves the platform's own; the socket works.
    const bool on = lingerOnOff_ == TSocketLingerOnOff::wsLingerOn;
    if (const int code = socket_->SetLinger(on, qBound(0, lingerTimeout_, 65535)))
      Diagnostic(QStringLiteral("TWIrCOMMSocket.CreateIrSocket: linger not set, Error(%1) - %2")
                     .arg(code)
                     .arg(ErrorDescription(code)));
  }
  if (const int code = socket_->StartNotifications()) {
    SocketError(QStringLiteral("WSAAsyncSelect"), code);
    return false;
  }
  return true;
}

bool TWIrCOMMSocket::SetMode(int option, const char* name) {
  if (!socket_) {
    SocketError(QString::fromLatin1(name), wsa::ENOTSOCK_);
    return false;
  }
  if (const int code = socket_->SetModeOption(option, 1)) {
    SocketError(QString::fromLatin1(name), code);
    return false;
  }
  return true;
}

bool TWIrCOMMSocket::SetLPTMode() {
  is9WireCooked_ = false;
  return SetMode(irda::kIrlmpIrlptMode, "SetLPTMode");
}

bool TWIrCOMMSocket::Set9WireMode() {
  is9WireCooked_ = true;
  return SetMode(irda::kIrlmp9WireMode, "Set9WireMode");
}

bool TWIrCOMMSocket::SetTinyTPMode() { return SetMode(irda::kIrlmpTinyTpMode, "SetTinyTPMode"); }

bool TWIrCOMMSocket::Query(const char* failureName, quint32 deviceId, const QByteArray& className,
                           const QByteArray& attribute, IasAttribute& value) {
  if (!socket_) {
    SocketError(QString::fromLatin1(failureName), wsa::ENOTSOCK_);
    return false;
  }
  if (const int code = socket_->IasQuery(deviceId, className, attribute, value)) {
    SocketError(QString::fromLatin1(failureName), code);
    return false;
  }
  return true;
}

bool TWIrCOMMSocket::ParametersOffer9Wire(const QByteArray& parameters) {
  const qsizetype length = parameters.size();
  if (length < 3) return false;
  qsizetype at = 0;
  while (at < length) {
    const auto id = static_cast<unsigned char>(parameters.at(at));
    if (at + 1 >= length) break;  // no length byte
    const auto valueLength = static_cast<unsigned char>(parameters.at(at + 1));
    if (id == 0x00 && valueLength > 0 && at + 2 < length && (static_cast<unsigned char>(parameters.at(at + 2)) & 0x07))
      return true;
    at += 2 + valueLength;
  }
  return false;
}

bool TWIrCOMMSocket::Supports9Wire(quint32 deviceId) {
  IasAttribute value;
  if (!Query("Supports9Wire", deviceId, "IrDA:IrCOMM", "Parameters", value)) return false;
  return value.type == irda::kIasAttribOctetSeq && ParametersOffer9Wire(value.octets);
}

bool TWIrCOMMSocket::SupportsLPT(quint32 deviceId) {
  IasAttribute value;
  if (!Query("SupportsLPT", deviceId, "IrLPT", "IrDA:IrLMP:LsapSel", value)) return false;
  return value.type == irda::kIasAttribInt && value.integer == 2;
}

bool TWIrCOMMSocket::SupportsTinyTP(quint32 deviceId) {
  IasAttribute value;
  if (!Query("SupportsTinyTP", deviceId, "IrDA:IrCOMM", "IrDA:TinyTP:LsapSel", value)) return false;
  return value.type == irda::kIasAttribInt;
}

std::unique_ptr<TIrdaDevicesInfo> TWIrCOMMSocket::EnumerateDevices() {
  deviceCount_ = 0;
  bool openedHere = false;
  if (!socket_) {
    if (!CreateIrSocket()) {
      if (socket_) Close();
      return nullptr;
    }
    openedHere = true;
  }
  auto finish = [&](std::unique_ptr<TIrdaDevicesInfo> result) {
    if (openedHere) Close();
    return result;
  };
  quint32 count = 0;
  QList<IrdaDeviceEntry> entries;
  if (const int code = socket_->EnumerateDevices(irda::kMaxDevices, count, entries)) {
    SocketError(QStringLiteral("Device enumeration failed (1)"), code);
    return finish(nullptr);
  }
  if (count >= static_cast<quint32>(irda::kMaxDevices)) {
    SocketError(QStringLiteral("Device enumeration failed (2)"), LastError());
    return finish(nullptr);
  }
  auto list = std::make_unique<TIrdaDevicesInfo>();
  for (const IrdaDeviceEntry& entry : entries) {
    if (!socket_) break;  // a handler closed the socket meanwhile
    if (useAnyDevice_ || SupportsLPT(entry.deviceId) || Supports9Wire(entry.deviceId)) {
      list->Add(entry);
      ++deviceCount_;
    }
  }
  return finish(std::move(list));
}

void TWIrCOMMSocket::Connect() {
  if (socket_ && State() != TSocketState::wsClosed) {
    ReportError(QStringLiteral("Connect: Socket already in use"));
    return;
  }
  if (!CreateIrSocket()) return;
  // Step 4 judges the look-ups made now: a connect that timed out earlier
  // (the instrument moved away) must not fail this one.
  SetLastError(0);
  if (SupportsLPT(deviceId_)) {
    if (!SetLPTMode()) return;
    serviceName_ = "IrLPT";
  } else {
    if (!Supports9Wire(deviceId_) || LastError() == wsa::ETIMEDOUT_) {
      SocketError(QStringLiteral("Connect, No Supported Protocol!"), LastError());
      return;
    }
    if (!Set9WireMode()) return;
    serviceName_ = "IrDA:IrCOMM";
  }
  if (!socket_) return;
  const int code = socket_->Connect(deviceId_, serviceName_);
  if (code == 0) {
    ChangeState(TSocketState::wsConnected);
    TriggerSessionConnected(0);
  } else if (code == wsa::EWOULDBLOCK_) {
    ChangeState(TSocketState::wsConnecting);
  } else {
    SocketError(QStringLiteral("Connect"), code);
  }
}

void TWIrCOMMSocket::EndSession(int error) {
  const bool wasOpen = socket_ != nullptr;
  DropSocket();
  ChangeState(TSocketState::wsClosed);
  if (wasOpen) TriggerSessionClosed(error);
}

int TWIrCOMMSocket::SendText(const QByteArray& text) {
  if (!socket_ || State() != TSocketState::wsConnected) {
    SocketError(QStringLiteral("Send"), wsa::ENOTCONN_);
    return -1;
  }
  int error = 0;
  const qint64 sent = socket_->Send(text, error);
  if (sent < 0) {
    SocketError(QStringLiteral("Send"), error);
    return -1;
  }
  return static_cast<int>(sent);
}

QByteArray TWIrCOMMSocket::ReceiveText() {
  if (!socket_) return {};
  int error = 0;
  QByteArray data = socket_->Receive(error);
  if (error) SocketError(QStringLiteral("Receive"), error);
  return data;
}

void TWIrCOMMSocket::Flush() {
  QDeadlineTimer deadline(qMax(0, FlushTimeout()) * 1000LL);
  while (socket_ && !socket_->AllSent() && !deadline.hasExpired())
    WaitForMessages(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
}

bool TWIrCOMMSocket::AllSent() const { return !socket_ || socket_->AllSent(); }

void TWIrCOMMSocket::IrdaConnectDone(int error) {
  if (error == 0) {
    ChangeState(TSocketState::wsConnected);
    TriggerSessionConnected(0);
    return;
  }
  SetLastError(error);
  DropSocket();
  ChangeState(TSocketState::wsClosed);
  TriggerSessionConnected(error);
  TriggerSessionClosed(error);
}

void TWIrCOMMSocket::IrdaReadable() { TriggerDataAvailable(0); }

void TWIrCOMMSocket::IrdaSendDone() { TriggerDataSent(0); }

void TWIrCOMMSocket::IrdaClosedByPeer(int error) {
  if (error) SetLastError(error);
  EndSession(error);
}

}  // namespace zelvo
