#pragma once
// TSerialPort: the serial port as the link uses it, over QSerialPort.
//
// Port number ComNumber (1-based) maps to a device name through
// SerialPortName (Windows "COMN"; elsewhere the registry mirror's port table,
// else /dev/ttyS(N-1)); SetPortName gives a device path directly. Line
// settings are 8 data bits, no parity, 1 stop bit, no flow control, buffers
// of 4096 bytes. Port 0 asks the operator ("Select Port"); cancel fails the
// opening. Notifications run on the main thread.
//
// The trace log (Logging) keeps sent and received blocks in memory while on;
// tlDump writes them to LogName ("KelLink.Log"), tlAppend appends them, and
// both then switch the trace off; tlClear empties it, tlPause holds it.

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "core/Events.h"
#include "link/LinkTypes.h"

namespace zelvo {

// The open line behind the port has hung up (the device went
// away). POSIX systems tell it by poll(); Windows reports a removed device as
// the port's resource error instead, so there it is never seen here
// (SerialLinePosix.cpp, SerialLineWindows.cpp).
bool SerialLineHungUp(const QSerialPort& port);

// (CP, Count): Count received bytes are waiting.
using TTriggerAvailEvent = std::function<void(QObject* cp, quint16 count)>;

class TSerialPort : public QObject {
 public:
  explicit TSerialPort(QObject* owner = nullptr);
  ~TSerialPort() override;

  int ComNumber() const { return comNumber_; }
  void SetComNumber(int number);
  int Baud() const { return baud_; }
  void SetBaud(int baud);
  // A device path given directly; empty: the name of ComNumber.
  QString PortName() const { return portName_; }
  void SetPortName(const QString& name) { portName_ = name; }
  // Device actually opened (or to be opened).
  QString DeviceName() const;

  bool Open() const;
  // True opens, False closes. Opening reports OnPortOpen, closing OnPortClose.
  void SetOpen(bool open);

  int DataBits() const { return 8; }
  int StopBits() const { return 1; }
  int InSize() const { return kBufferSize; }
  int OutSize() const { return kBufferSize; }
  static constexpr int kBufferSize = 4096;

  // Bytes waiting to be taken.
  int InBuffUsed() const;
  // Takes up to count waiting bytes.
  QByteArray GetBlock(int count);
  // Writes the whole byte string; false when the port refused it.
  bool PutString(const QByteArray& data);

  TTraceLogState Logging() const { return logging_; }
  void SetLogging(TTraceLogState state);
  QString LogName() const { return logName_; }
  void SetLogName(const QString& name) { logName_ = name; }
  // Why the last opening failed (empty after a successful one).
  QString ErrorText() const { return errorText_; }

  TNotifyEvent OnPortOpen;
  TNotifyEvent OnPortClose;
  TTriggerAvailEvent OnTriggerAvail;

 private:
  void QueueDataArrived();
  void DataArrived();
  void Trace(char direction, const QByteArray& data);
  void WriteTrace(bool append);
  // The line of the open port has hung up (always false where the platform
  // reports a lost device otherwise).
  bool LineHungUp() const;
  // Closes the port lost during the given opening and reports the close.
  void LostPort(quint64 opening, const QString& why);

  std::unique_ptr<QSerialPort> port_;
  int comNumber_ = 1;
  int baud_ = 19200;
  QString portName_;
  QString openedName_;
  TTraceLogState logging_ = TTraceLogState::tlOff;
  QString logName_ = QStringLiteral("KelLink.Log");
  QStringList trace_;
  QString errorText_;
  bool triggerQueued_ = false;
  quint64 openings_ = 0;     // successful openings so far
  bool lostQueued_ = false;  // the loss of the current opening is being reported
};

}  // namespace zelvo
