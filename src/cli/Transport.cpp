#include "cli/Transport.h"

#include <QFile>
#include <QRegularExpression>
#include <QSerialPortInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "link/IrCommPort.h"
#include "link/IrdaStack.h"
#include "link/SerialOnlySystem.h"
#include "net/SocketErrors.h"
#include "sim/instrument/IrdaInstrument.h"
#include "usb/UsbBackend.h"

namespace zelvo::cli {

namespace {

// A device path for a port given as a path or as COMn.
QString SerialDevicePath(const QString& port) {
  static const QRegularExpression comName(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
  if (const auto match = comName.match(port); match.hasMatch()) return SerialPortName(match.captured(1).toInt());
  return port;
}

// Opens and closes the port at once; the system's reason when it cannot.
bool CheckSerialPort(const QString& path, QString* error) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = QStringLiteral("cannot open the serial port %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  }
  ::close(fd);
  return true;
}

class NoSocketEvents final : public IrdaSocketEvents {
 public:
  void IrdaConnectDone(int) override {}
  void IrdaReadable() override {}
  void IrdaSendDone() override {}
  void IrdaClosedByPeer(int) override {}
};

// 0 when the current IrDA stack gives sockets, else its Winsock code.
int IrdaStackError() {
  NoSocketEvents events;
  int error = 0;
  const std::unique_ptr<IrdaSocket> socket = CurrentIrdaStack()->CreateSocket(&events, error);
  return socket ? 0 : (error ? error : wsa::EAFNOSUPPORT_);
}

QString IrdaStackErrorText(int code) {
  return QStringLiteral("no IrDA stack on this system (%1 %2)").arg(code).arg(WinsockErrorText(code));
}

QString MirrorPath() {
  const QString path = RegistryMirrorPath();
  return path.isEmpty() ? QString::fromLatin1(kDefaultRegistryMirror) : path;
}

}  // namespace

bool TransportBuilt(TransportOption::Kind kind) {
  return kind != TransportOption::Kind::DockNet && kind != TransportOption::Kind::DockUsb;
}

QString TransportName(const TransportOption& option) {
  switch (option.kind) {
    case TransportOption::Kind::Irda: return QStringLiteral("irda");
    case TransportOption::Kind::Serial: return QStringLiteral("serial:") + option.serialPort;
    case TransportOption::Kind::Simulate: return QStringLiteral("simulate");
    case TransportOption::Kind::DockNet: return QStringLiteral("dock-net:") + option.dockAddress;
    case TransportOption::Kind::DockUsb: return QStringLiteral("dock-usb:%1").arg(option.dockIndex);
  }
  return {};
}

TransportSetup::TransportSetup() = default;

TransportSetup::~TransportSetup() = default;

TransportSetup::Result TransportSetup::Prepare(const TransportOption& option, QString* error) {
  switch (option.kind) {
    case TransportOption::Kind::Simulate:
      simulation_ = std::make_unique<sim::SimulatedIrdaWorld>(option.simConfig, option.simFaults);
      return Result::Ready;
    case TransportOption::Kind::DockNet:
    case TransportOption::Kind::DockUsb:
      *error = QStringLiteral("Kova Express docks are not available in this build");
      return Result::NotBuilt;
    case TransportOption::Kind::Irda: {
      // The link's own choice: IrDA sockets, else the IrCOMM virtual port.
      const int code = IrdaStackError();
      if (code == 0) return Result::Ready;
      const int port = FindIrCommPort();
      if (port == 0) {
        *error = IrdaStackErrorText(code) + QStringLiteral(" and no IrCOMM virtual port in the registry mirror ") +
                 MirrorPath() + QStringLiteral("; give the port with --serial");
        return Result::Unusable;
      }
      return CheckSerialPort(SerialPortName(port), error) ? Result::Ready : Result::Unusable;
    }
    case TransportOption::Kind::Serial:
      break;
  }
  if (!CheckSerialPort(SerialDevicePath(option.serialPort), error)) return Result::Unusable;
  serial_ = std::make_unique<SerialOnlySystem>();
  return serial_->Install(option.serialPort, error) ? Result::Ready : Result::Unusable;
}

QList<TransportListing> ListTransports() {
  QList<TransportListing> listing;
  const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
  for (const QSerialPortInfo& port : ports) {
    QStringList about;
    if (!port.description().isEmpty()) about << port.description();
    if (!port.manufacturer().isEmpty()) about << port.manufacturer();
    listing.append({QStringLiteral("serial"), port.systemLocation(),
                    about.isEmpty() ? QStringLiteral("serial port") : about.join(QStringLiteral(", ")),
                    QStringLiteral("--serial ") + port.systemLocation()});
  }
  if (ports.isEmpty())
    listing.append({QStringLiteral("serial"), QString(), QStringLiteral("no serial ports found"), QString()});

  const int stackError = IrdaStackError();
  if (stackError != 0) {
    listing.append({QStringLiteral("irda"), QString(), IrdaStackErrorText(stackError), QString()});
  } else {
    NoSocketEvents events;
    int error = 0;
    const std::unique_ptr<IrdaSocket> socket = CurrentIrdaStack()->CreateSocket(&events, error);
    quint32 count = 0;
    QList<IrdaDeviceEntry> devices;
    if (socket) error = socket->EnumerateDevices(irda::kMaxDevices, count, devices);
    if (!socket || error) {
      listing.append({QStringLiteral("irda"), QString(),
                      QStringLiteral("device discovery failed (%1 %2)").arg(error).arg(WinsockErrorText(error)), QString()});
    } else if (devices.isEmpty()) {
      listing.append({QStringLiteral("irda"), QString(), QStringLiteral("no IrDA device in range"), QString()});
    }
    for (const IrdaDeviceEntry& device : devices)
      listing.append({QStringLiteral("irda"), QString::fromLatin1(device.name),
                      QStringLiteral("IrDA device %1 in range").arg(device.deviceId, 8, 16, QLatin1Char('0')),
                      QStringLiteral("(no transport option)")});
  }

  const int irComm = FindIrCommPort();
  if (irComm == 0) {
    listing.append({QStringLiteral("ircomm"), QString(),
                    QStringLiteral("no IrCOMM virtual port in the registry mirror ") + MirrorPath(), QString()});
  } else {
    const QString path = SerialPortName(irComm);
    listing.append({QStringLiteral("ircomm"), QStringLiteral("COM%1").arg(irComm),
                    QStringLiteral("IrCOMM virtual port of the registry mirror, %1").arg(path),
                    stackError != 0 ? QStringLiteral("(no transport option), or --serial ") + path
                                    : QStringLiteral("--serial ") + path});
  }

  const std::optional<QStringList> docks = CurrentUsbBackend().ListDevices(DeviceTypeGuid(tpKovaExpress));
  if (!docks) {
    listing.append({QStringLiteral("usb-dock"), QString(), QStringLiteral("USB device enumeration unavailable"), QString()});
  } else if (docks->isEmpty()) {
    listing.append({QStringLiteral("usb-dock"), QString(), QStringLiteral("no Kova Express dock on the USB bus"), QString()});
  }
  if (docks) {
    for (qsizetype i = 0; i < docks->size(); ++i)
      listing.append({QStringLiteral("usb-dock"), docks->at(i), QStringLiteral("Kova Express dock"),
                      TransportBuilt(TransportOption::Kind::DockUsb) ? QStringLiteral("--dock-usb %1").arg(i + 1)
                                                                     : QStringLiteral("(docks not in this build)")});
  }
  return listing;
}

}  // namespace zelvo::cli
