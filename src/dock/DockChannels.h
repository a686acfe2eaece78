#pragma once
// The two channels of a docking station, over whatever carries them.
//
//   control  short ASCII commands out; "ACK"/"NAK" replies and "EVT" event
//            reports in
//   data     bare instrument messages, passed through unchanged both ways
//
// UsbDockChannels: the dock's USB device, pipe 0 data out, 1 data in, 2 control
// in, 3 control out. TcpDockChannels: two TCP connections to the dock's
// address, one for control and one for data. The dock protocol above them
// (TDockProtocol) is the same for both; a channel only moves bytes, opens and
// closes, and tells when the dock went away unasked.
//
// Everything here runs on the main thread.

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

#include "net/WSocket.h"
#include "usb/USBPipe.h"

namespace zelvo {


class DockChannels {
 public:
  virtual ~DockChannels() = default;

  virtual bool Enabled() const = 0;
  // Opens the channels; only called while not enabled. May wait, processing
  // messages.
  virtual void Enable() = 0;
  // Closes them; only called while enabled. May wait, processing messages.
  virtual void Disable() = 0;
  // One control command as one write; negative when the channel refused it.
  virtual int WriteControl(const QByteArray& command) = 0;
  // One instrument message on the data channel. Returns once it is handed
  // over (USB) or sent (TCP, paced as the dock needs).
  virtual void WriteData(const QByteArray& data) = 0;
  // Called before the main thread waits for an answer: input must be able to
  // arrive even when the wait runs inside the handler of earlier input.
  virtual void AwaitingInput() {}

  // One control input, as it arrived (one pipe read, one TCP arrival).
  std::function<void(const QByteArray&)> OnControlInput;
  // One data-channel arrival.
  std::function<void(const QByteArray&)> OnDataInput;
  // The dock went away without being asked to (unplugged, connection lost).
  std::function<void()> OnLost;
};

// Pipe numbers of a dock on USB.
namespace dock_pipe {
inline constexpr int kDataOut = 0;
inline constexpr int kDataIn = 1;
inline constexpr int kControlIn = 2;
inline constexpr int kControlOut = 3;
}  // namespace dock_pipe

class UsbDockChannels final : public QObject, public DockChannels {
 public:
  explicit UsbDockChannels(QObject* owner = nullptr) : QObject(owner) {}
  ~UsbDockChannels() override;

  TUSBDevice* Device() const { return device_; }
  // Stores the device, sets its kind (which lists the present docks) and
  // routes its pipe notifications and its removal here. Nothing: the device
  // keeps its handlers.
  void SetDevice(TUSBDevice* device, int deviceType);

  bool Enabled() const override;
  void Enable() override;
  void Disable() override;
  int WriteControl(const QByteArray& command) override;
  void WriteData(const QByteArray& data) override;
  void AwaitingInput() override;

  bool Halted() const;
  void SetHalted(bool halted);

  // The device's OnPipeData: pipe 2 is control input, pipe 1 data input,
  // every other pipe is ignored.
  void HandlePipeData(int pipe, int count);

 private:
  QPointer<TUSBDevice> device_;
};

// How a dock model opens and closes its TCP connections.
enum class TcpDockStyle {
  // Data connection first, then control; wait at most 200 x 50 ms while
  // either is still connecting; disabling flushes, closes after pending
  // messages and waits for the close.
  WaitWhileConnecting,
  // Control first, then data; wait 50 x 100 ms whatever the connecting state;
  // disabling closes both at once.
  FixedWait,
};

class TcpDockChannels final : public QObject, public DockChannels {
 public:
  static constexpr int kFlushTimeoutS = 60;
  static constexpr int kPieceSize = 1024;
  static constexpr int kSendPauseMs = 100;

  explicit TcpDockChannels(QObject* owner = nullptr);
  ~TcpDockChannels() override;

  void SetPorts(const QString& control, const QString& data);
  void SetStyle(TcpDockStyle style) { style_ = style; }
  // The pause after each data send (kSendPauseMs, the dock's pace).
  int SendPauseMs() const { return sendPauseMs_; }
  void SetSendPauseMs(int ms) { sendPauseMs_ = ms; }
  // Read each time the channels are enabled.
  void SetAddress(const QString& address) { address_ = address; }

  TWSocket& ControlSocket() { return control_; }
  TWSocket& DataSocket() { return data_; }
  bool DataSent() const { return dataSent_; }

  bool Enabled() const override;
  void Enable() override;
  void Disable() override;
  int WriteControl(const QByteArray& command) override;
  void WriteData(const QByteArray& data) override;

  // Both connections connected / both closed.
  TNotifyEvent OnConnected;
  TNotifyEvent OnClosed;
  // (channel 0 control or 1 data, code, the socket's text for it)
  std::function<void(int channel, int error, const QString& description)> OnError;
  // After each piece of a data send longer than one piece.
  std::function<void(int total, int remain)> OnFlashProgress;
  // Every arrival on the data connection, before the size rule.
  std::function<void(const QByteArray&)> OnDataArrival;
  // Debug line of a data send cut into pieces (empty: none).
  std::function<void(const QString&)> OnDebugLine;

 private:
  // A connection came up, or failed to (error not 0).
  void Established(int channel, TWSocket& socket, int error);
  void Closed();
  void Error(int channel, TWSocket& socket);
  // Waits, processing messages, while keepWaiting holds, for at most ms.
  void WaitWhile(const std::function<bool()>& keepWaiting, int ms);
  void FlushAndCloseLater(TWSocket& socket);
  void SendPiece(const QByteArray& piece, bool* refused);
  void WaitDataSent();

  TWSocket control_;
  TWSocket data_;
  QString controlPort_ = QStringLiteral("5000");
  QString dataPort_ = QStringLiteral("5001");
  QString address_;
  TcpDockStyle style_ = TcpDockStyle::WaitWhileConnecting;
  int sendPauseMs_ = kSendPauseMs;
  bool dataSent_ = false;
  bool disabling_ = false;
};

}  // namespace zelvo
