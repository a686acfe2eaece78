#include "link/SerialPort.h"

#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <QSerialPort>
#include <QSerialPortInfo>

#include "core/Bytes.h"
#include "core/Diagnostics.h"
#include "core/Dialogs.h"
#include "link/IrCommPort.h"

namespace zelvo {

TSerialPort::TSerialPort(QObject* owner) : QObject(owner), port_(std::make_unique<QSerialPort>()) {
  // Reported from the event loop, not from inside the port's own signal: the
  // handler may free the port (with the link that owns it).
  QObject::connect(port_.get(), &QSerialPort::readyRead, this, [this] { QueueDataArrived(); });
  QObject::connect(port_.get(), &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
    if (error == QSerialPort::NoError || !port_->isOpen() || lostQueued_) return;
    // The device went away, or the line hung up (the far end of a pseudo-
    // terminal closed, a USB-serial adapter unplugged): reads then end with a
    // read error, raised again on every pass of the event loop, whose text is
    // whatever the system said last.
    const bool removed = error == QSerialPort::ResourceError;
    if (removed || LineHungUp()) {
      lostQueued_ = true;
      const QString why = removed ? port_->errorString() : QStringLiteral("the line hung up");
      QMetaObject::invokeMethod(this, [this, opening = openings_, why] { LostPort(opening, why); }, Qt::QueuedConnection);
    }
  });
}

bool TSerialPort::LineHungUp() const { return SerialLineHungUp(*port_); }

TSerialPort::~TSerialPort() {
  OnPortClose = nullptr;
  OnPortOpen = nullptr;
  OnTriggerAvail = nullptr;
  port_->disconnect(this);
  if (port_->isOpen()) port_->close();
}

void TSerialPort::SetComNumber(int number) { comNumber_ = number; }

void TSerialPort::SetBaud(int baud) {
  baud_ = baud;
  if (port_->isOpen()) port_->setBaudRate(baud_);
}

QString TSerialPort::DeviceName() const {
  if (!portName_.isEmpty()) return portName_;
  return SerialPortName(comNumber_);
}

bool TSerialPort::Open() const { return port_->isOpen(); }

void TSerialPort::SetOpen(bool open) {
  if (open == port_->isOpen()) return;
  if (!open) {
    port_->close();
    triggerQueued_ = false;
    Raise(OnPortClose, this);
    return;
  }
  errorText_.clear();
  QString name = DeviceName();
  if (portName_.isEmpty() && comNumber_ == 0) {
    QStringList ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) ports << info.systemLocation();
    const std::optional<QString> chosen = Dialogs().SelectPort(ports);
    if (!chosen || chosen->isEmpty()) {
      errorText_ = QStringLiteral("No port chosen");
      Diagnostic(QStringLiteral("TSerialPort.Open: no port chosen"));
      return;
    }
    name = *chosen;
  }
  port_->setPortName(name);
  port_->setBaudRate(baud_);
  port_->setDataBits(QSerialPort::Data8);
  port_->setParity(QSerialPort::NoParity);
  port_->setStopBits(QSerialPort::OneStop);
  port_->setFlowControl(QSerialPort::NoFlowControl);
  port_->setReadBufferSize(kBufferSize);
  if (!port_->open(QIODevice::ReadWrite)) {
    errorText_ = port_->errorString();
    Diagnostic(QStringLiteral("TSerialPort.Open: %1: %2").arg(name, errorText_));
    return;
  }
  openedName_ = name;
  ++openings_;
  lostQueued_ = false;
  QPointer<TSerialPort> self(this);
  Raise(OnPortOpen, this);
  if (self && port_->isOpen() && port_->bytesAvailable() > 0) DataArrived();
}

void TSerialPort::LostPort(quint64 opening, const QString& why) {
  if (opening != openings_ || !port_->isOpen()) return;  // closed (and maybe reopened) meanwhile
  Diagnostic(QStringLiteral("TSerialPort: %1 lost: %2").arg(openedName_, why));
  port_->close();
  Raise(OnPortClose, this);
}

int TSerialPort::InBuffUsed() const {
  return port_->isOpen() ? static_cast<int>(qMin<qint64>(port_->bytesAvailable(), 0x7FFFFFFF)) : 0;
}

void TSerialPort::QueueDataArrived() {
  if (triggerQueued_) return;
  triggerQueued_ = true;
  QMetaObject::invokeMethod(this, [this] { DataArrived(); }, Qt::QueuedConnection);
}

void TSerialPort::DataArrived() {
  triggerQueued_ = false;
  const qint64 waiting = port_->isOpen() ? port_->bytesAvailable() : 0;
  if (waiting <= 0 || !OnTriggerAvail) return;
  const auto count = static_cast<quint16>(qMin<qint64>(waiting, 0xFFFF));
  // The handler may free the port's owner, and the port with it.
  QPointer<TSerialPort> self(this);
  Raise(OnTriggerAvail, this, count);
  if (!self) return;
  // Bytes beyond one notification (or taken only in part) are reported again.
  if (port_->isOpen() && port_->bytesAvailable() > 0 && port_->bytesAvailable() < waiting) QueueDataArrived();
}

QByteArray TSerialPort::GetBlock(int count) {
  if (!port_->isOpen() || count <= 0) return {};
  const QByteArray data = port_->read(count);
  Trace('R', data);
  return data;
}

bool TSerialPort::PutString(const QByteArray& data) {
  if (!port_->isOpen()) return false;
  Trace('T', data);
  return port_->write(data) == data.size();
}

void TSerialPort::Trace(char direction, const QByteArray& data) {
  if (logging_ != TTraceLogState::tlOn || data.isEmpty()) return;
  trace_ << QStringLiteral("%1 %2 %3")
                .arg(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")))
                .arg(QLatin1Char(direction))
                .arg(HexDump(data));
}

void TSerialPort::WriteTrace(bool append) {
  QFile file(logName_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text | (append ? QIODevice::Append : QIODevice::Truncate))) {
    Diagnostic(QStringLiteral("TSerialPort.Logging: cannot write %1").arg(logName_));
    return;
  }
  for (const QString& line : trace_) file.write(line.toUtf8() + '\n');
}

void TSerialPort::SetLogging(TTraceLogState state) {
  switch (state) {
    case TTraceLogState::tlOff:
      trace_.clear();
      logging_ = TTraceLogState::tlOff;
      break;
    case TTraceLogState::tlOn:
    case TTraceLogState::tlPause:
      logging_ = state;
      break;
    case TTraceLogState::tlDump:
    case TTraceLogState::tlAppend:
      WriteTrace(state == TTraceLogState::tlAppend);
      trace_.clear();
      logging_ = TTraceLogState::tlOff;
      break;
    case TTraceLogState::tlClear:
      trace_.clear();
      break;
  }
}

}  // namespace zelvo
