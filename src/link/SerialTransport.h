#pragma once
// The link's serial port transport: the IrCOMM virtual port or, for the
// family that always talks over it, the RS-232 port. Which one, and at what
// speed, is set before each opening.

#include <QObject>
#include <memory>

#include "link/LinkTransport.h"

namespace zelvo {

class TSerialPort;

class TSerialTransport : public QObject, public ILinkTransport {
 public:
  enum class Line {
    RS232,   // opened as asked; the state follows the port's reports
    IrComm,  // a port that cannot be opened is said at once (Failed); the connect time-out runs once it is open
  };
  TSerialTransport();
  ~TSerialTransport() override;

  // The line the next Open takes: which port (a number, 0: none known) at
  // which speed.
  void SetLine(Line line, int number, int baud);
  // Why IrDA sockets are not used (Winsock code), named when no IrCOMM port
  // can be found either.
  void SetIrdaStackError(int code) { irdaStackError_ = code; }

  TransportWire Wire() const override { return TransportWire::SerialPort; }
  TransportOpen Open(int timeOut) override;
  void Close() override;
  void Write(const QByteArray& wire) override;

  TSerialPort* Port() const { return port_.get(); }

  static constexpr int kReceiveChunk = 2048;  // bytes taken per read

 private:
  void Received(quint16 count);

  std::unique_ptr<TSerialPort> port_;
  Line line_ = Line::RS232;
  int number_ = 0;
  int baud_ = 0;
  int irdaStackError_ = 0;
};

}  // namespace zelvo
