#include "link/SerialTransport.h"

#include <QPointer>

#include "core/Dialogs.h"
#include "link/IrCommPort.h"
#include "link/IrdaStack.h"
#include "link/SerialPort.h"

namespace zelvo {

TSerialTransport::TSerialTransport() : port_(std::make_unique<TSerialPort>()) {
  port_->OnTriggerAvail = [this](QObject*, quint16 count) { Received(count); };
  port_->OnPortOpen = [this](QObject*) { Host().StateChanged(*this, TransportState::Up); };
  port_->OnPortClose = [this](QObject*) { Host().StateChanged(*this, TransportState::Down); };
  port_->SetLogName(QStringLiteral("KelLink.Log"));
}

TSerialTransport::~TSerialTransport() {
  port_->OnTriggerAvail = nullptr;
  port_->OnPortOpen = nullptr;
  port_->OnPortClose = nullptr;
}

void TSerialTransport::SetLine(Line line, int number, int baud) {
  line_ = line;
  number_ = number;
  baud_ = baud;
}

TransportOpen TSerialTransport::Open(int timeOut) {
  QPointer<TSerialTransport> self(this);
  port_->SetComNumber(number_);
  port_->SetBaud(baud_);
  port_->SetOpen(true);  // opening may deliver bytes at once
  if (!self) return TransportOpen::Opening;
  if (line_ == Line::RS232) return TransportOpen::Opening;
  if (!port_->Open()) {
    const QString name = port_->DeviceName();
    if (number_ == 0 && name.isEmpty()) {
      // None recorded and none chosen: there is no infrared path at all.
      ShowMessage(QStringLiteral("No infrared link can be opened: ") + NoIrdaStackText(irdaStackError_) +
                  QStringLiteral(" and no IrCOMM port recorded in ") + IrCommPortSource() +
                  QStringLiteral(". Choose the IrCOMM port when asked for one, or record it there."));
    } else {
      ShowMessage(QStringLiteral("Could not open the IrCOMM port %1: %2")
                      .arg(name.isEmpty() ? QStringLiteral("COM%1").arg(number_) : name, port_->ErrorText()));
    }
    return TransportOpen::Failed;
  }
  // The same connect time-out as on the IrDA path: it runs until the first
  // message re-arms the timer.
  Host().ArmConnectTimeOut(timeOut);
  return TransportOpen::Opening;
}

void TSerialTransport::Close() { port_->SetOpen(false); }

void TSerialTransport::Write(const QByteArray& wire) { port_->PutString(wire); }

void TSerialTransport::Received(quint16 count) {
  // Taken in reads of at most kReceiveChunk bytes, as one block.
  QByteArray block;
  int left = count;
  while (left > 0) {
    const QByteArray piece = port_->GetBlock(qMin(left, kReceiveChunk));
    if (piece.isEmpty()) break;
    block.append(piece);
    left -= static_cast<int>(piece.size());
  }
  if (!block.isEmpty()) Host().BytesArrived(*this, block);
}

}  // namespace zelvo
