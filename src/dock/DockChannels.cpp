#include "dock/DockChannels.h"

#include <QDeadlineTimer>
#include <thread>

#include "core/Dialogs.h"
#include "core/MessagePump.h"
#include "usb/USBPipe.h"

namespace zelvo {

// --- USB ----------------------------------------------------------------------

UsbDockChannels::~UsbDockChannels() = default;

void UsbDockChannels::SetDevice(TUSBDevice* device, int deviceType) {
  device_ = device;
  if (!device) return;  // the device keeps its handlers
  device->SetDeviceType(deviceType);
  QPointer<UsbDockChannels> self(this);
  device->OnPipeData = [self](QObject*, int pipe, int count) {
    if (self) self->HandlePipeData(pipe, count);
  };
  // Not a dock event of its own: the dock has gone, and with it the
  // instrument in it.
  device->OnDeviceRemoved = [self](QObject*) {
    if (self && self->OnLost) self->OnLost();
  };
}

bool UsbDockChannels::Enabled() const { return device_ && device_->IsConnected(); }

void UsbDockChannels::Enable() {
  TUSBDevice* device = device_;
  if (!device) return;
  QPointer<UsbDockChannels> self(this);
  device->OnPipeData = [self](QObject*, int pipe, int count) {
    if (self) self->HandlePipeData(pipe, count);
  };
  if (!device->DeviceName().isEmpty()) {
    device->Connect();
    return;
  }
  if (!device->RefreshDeviceList()) {
    ShowMessage(QStringLiteral("Failed to Update Device List!"));
    return;
  }
  const QStringList devices = device->DeviceList();
  if (devices.isEmpty()) {
    ShowMessage(QStringLiteral("No devices found!"));
    return;
  }
  device->SetDeviceName(devices.first());
  if (!device_) return;
  device->Connect();
  ProcessMessages();
  std::this_thread::yield();
}

void UsbDockChannels::Disable() {
  if (device_) device_->Disconnect();
}

int UsbDockChannels::WriteControl(const QByteArray& command) {
  TUSBPipe* pipe = device_ ? device_->Pipes(dock_pipe::kControlOut) : nullptr;
  return pipe ? pipe->SendData(command) : -1;
}

void UsbDockChannels::WriteData(const QByteArray& data) {
  if (TUSBPipe* pipe = device_ ? device_->Pipes(dock_pipe::kDataOut) : nullptr) pipe->SendData(data);
}

// The device's receive thread waits while its data notification runs; a
// command sent from inside that notification would otherwise never see its
// reply.
void UsbDockChannels::AwaitingInput() {
  if (device_) device_->ReleaseBlockedDelivery();
}

bool UsbDockChannels::Halted() const { return device_ && device_->Halted(); }

void UsbDockChannels::SetHalted(bool halted) {
  if (device_) device_->SetHalted(halted);
}

void UsbDockChannels::HandlePipeData(int pipe, int) {
  if (pipe != dock_pipe::kControlIn && pipe != dock_pipe::kDataIn) return;
  TUSBPipe* source = device_ ? device_->Pipes(pipe) : nullptr;
  if (!source) return;
  const QByteArray bytes = source->ReadData();
  const auto& deliver = pipe == dock_pipe::kControlIn ? OnControlInput : OnDataInput;
  if (deliver) deliver(bytes);
}

// --- TCP ----------------------------------------------------------------------

TcpDockChannels::TcpDockChannels(QObject* owner) : QObject(owner) {
  control_.SetFlushTimeout(kFlushTimeoutS);
  data_.SetFlushTimeout(kFlushTimeoutS);
  control_.OnDataAvailable = [this](QObject*, quint16) {
    const QByteArray bytes = control_.ReceiveText();
    if (OnControlInput) OnControlInput(bytes);
  };
  control_.OnError = [this](QObject*) { Error(0, control_); };
  control_.OnSessionConnected = [this](QObject*, quint16 error) { Established(0, control_, error); };
  control_.OnSessionClosed = [this](QObject*, quint16) { Closed(); };
  data_.OnDataAvailable = [this](QObject*, quint16) {
    const QByteArray bytes = data_.ReceiveText();
    if (OnDataArrival) OnDataArrival(bytes);
    // One or two bytes on their own are not an instrument message.
    if (bytes.size() > 2 && OnDataInput) OnDataInput(bytes);
  };
  data_.OnError = [this](QObject*) { Error(1, data_); };
  data_.OnSessionConnected = [this](QObject*, quint16 error) { Established(1, data_, error); };
  data_.OnSessionClosed = [this](QObject*, quint16) { Closed(); };
  data_.OnDataSent = [this](QObject*, quint16) { dataSent_ = true; };
}

TcpDockChannels::~TcpDockChannels() {
  for (TWSocket* socket : {&control_, &data_}) {
    socket->OnSessionClosed = nullptr;
    socket->OnSessionConnected = nullptr;
    socket->OnDataAvailable = nullptr;
    socket->OnError = [](QObject*) {};  // closing must not throw
  }
}

void TcpDockChannels::SetPorts(const QString& control, const QString& data) {
  controlPort_ = control;
  dataPort_ = data;
}

bool TcpDockChannels::Enabled() const {
  return control_.State() == TSocketState::wsConnected && data_.State() == TSocketState::wsConnected;
}

void TcpDockChannels::WaitWhile(const std::function<bool()>& keepWaiting, int ms) {
  // What is waited for is changed by this thread's own events (the sockets'
  // notifications), after each of which it is looked at again: the wait
  // sleeps until the next event or the deadline, never in slices.
  QPointer<TcpDockChannels> self(this);
  const QDeadlineTimer deadline(ms);
  while (self && keepWaiting() && !deadline.hasExpired())
    WaitForMessages(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
}

void TcpDockChannels::FlushAndCloseLater(TWSocket& socket) {
  if (socket.State() != TSocketState::wsConnected) return;
  socket.Flush();
  socket.CloseLater();
}

void TcpDockChannels::Enable() {
  // A connection left over from an earlier try (closing later, or the one
  // that did connect) would refuse the new address and connect.
  QPointer<TcpDockChannels> self(this);
  disabling_ = true;
  for (TWSocket* socket : {&control_, &data_})
    if (self && socket->State() != TSocketState::wsClosed) socket->Close();
  if (!self) return;
  disabling_ = false;
  control_.SetPort(controlPort_);
  control_.SetAddr(address_);
  data_.SetPort(dataPort_);
  data_.SetAddr(address_);
  const auto connecting = [this] {
    return control_.State() == TSocketState::wsConnecting || data_.State() == TSocketState::wsConnecting;
  };
  if (style_ == TcpDockStyle::WaitWhileConnecting) {
    data_.Connect();
    if (self) control_.Connect();
    if (!self) return;
    WaitWhile([&] { return !Enabled() && connecting(); }, 200 * 50);
  } else {
    control_.Connect();
    if (self) data_.Connect();
    if (!self) return;
    WaitWhile([&] { return !Enabled(); }, 50 * 100);
  }
  if (!self || Enabled()) return;
  FlushAndCloseLater(control_);
  if (self) FlushAndCloseLater(data_);
}

void TcpDockChannels::Disable() {
  disabling_ = true;
  QPointer<TcpDockChannels> self(this);
  if (style_ == TcpDockStyle::WaitWhileConnecting) {
    FlushAndCloseLater(control_);
    if (self) FlushAndCloseLater(data_);
    if (self) WaitWhile([this] { return Enabled(); }, 200 * 50);
  } else {
    control_.Close();
    if (self) data_.Close();
  }
  if (self) disabling_ = false;
}

void TcpDockChannels::Established(int channel, TWSocket& socket, int error) {
  // A connect that failed (refused, unreachable) is a socket error of its
  // channel like any other.
  if (error != 0) {
    Error(channel, socket);
    return;
  }
  if (Enabled()) Raise(OnConnected, this);
}

void TcpDockChannels::Closed() {
  const auto closed = [](const TWSocket& s) { return s.State() == TSocketState::wsClosed; };
  QPointer<TcpDockChannels> self(this);
  if (closed(control_) && closed(data_)) Raise(OnClosed, this);
  if (!self) return;
  // Losing one connection loses the dock: close the other.
  if (control_.State() == TSocketState::wsConnected) control_.Close();
  if (self && data_.State() == TSocketState::wsConnected) data_.Close();
  if (self && !disabling_ && OnLost) OnLost();
}

void TcpDockChannels::Error(int channel, TWSocket& socket) {
  const int code = socket.LastError();
  if (OnError) OnError(channel, code, socket.ErrorDescription(code));
}

int TcpDockChannels::WriteControl(const QByteArray& command) { return control_.SendText(command); }

void TcpDockChannels::WaitDataSent() {
  // Bounded: a peer that never takes the bytes must not hold the program.
  WaitWhile([this] { return !dataSent_ && data_.State() == TSocketState::wsConnected; }, kFlushTimeoutS * 1000);
}

void TcpDockChannels::SendPiece(const QByteArray& piece, bool* refused) {
  dataSent_ = false;
  *refused = data_.SendText(piece) < 0;
  if (*refused) ShowMessage(QStringLiteral("Error sending data on TCP!"));
}

void TcpDockChannels::WriteData(const QByteArray& data) {
  QPointer<TcpDockChannels> self(this);
  const qsizetype total = data.size();
  if (total <= kPieceSize) {
    bool refused = false;
    SendPiece(data, &refused);
  } else {
    if (OnDebugLine) OnDebugLine(QStringLiteral("  Have to break up the incomming data"));
    qsizetype sent = 0;
    while (self && sent < total && Enabled()) {
      const QByteArray piece = data.mid(sent, kPieceSize);
      bool refused = false;
      SendPiece(piece, &refused);
      if (!self) return;
      if (!refused) sent += piece.size();  // a refused piece is tried again
      WaitDataSent();
      if (!self) return;
      if (OnFlashProgress) OnFlashProgress(static_cast<int>(total), static_cast<int>(total - sent));
      if (!self) return;
      // The dock's pace: the window keeps running through the pause.
      WaitWhile([] { return true; }, sendPauseMs_);
    }
  }
  if (!self) return;
  WaitDataSent();
  if (!self) return;
  WaitWhile([] { return true; }, sendPauseMs_);
  if (self) ProcessMessages();
}

}  // namespace zelvo
