#include "cli/Transport.h"

#include <QFile>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include "cli/Docks.h"
#include "cli/Platform.h"
#include "dock/DockProtocol.h"
#include "link/IrCommPort.h"
#include "link/IrdaStack.h"
#include "link/SerialOnlySystem.h"
#include "net/SocketErrors.h"
#include "sim/dock/SimulatedWorld.h"
#include "usb/USBPipe.h"
#include "usb/UsbBackend.h"

namespace zelvo::cli {

namespace {

// A device path for a port given as a path or as COMn.
QString SerialDevicePath(const QString& port) {
  static const QRegularExpression comName(QStringLiteral("^COM(\\d+)$"), QRegularExpression::CaseInsensitiveOption);
  if (const auto match = comName.match(port); match.hasMatch()) return SerialPortName(match.captured(1).toInt());
  return port;
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

}  // namespace

QString TransportName(const TransportOption& option) {
  const auto kindSuffix = [](DockKind kind) {
    return kind == DockKind::KovaExpress ? QString() : QLatin1Char(':') + DockKindName(kind);
  };
  switch (option.kind) {
    case TransportOption::Kind::Irda: return QStringLiteral("irda");
    case TransportOption::Kind::Serial: return QStringLiteral("serial:") + option.serialPort;
    case TransportOption::Kind::Simulate: {
      const sim::SimulationSetup& setup = option.simulation;
      if (setup.via == sim::SimVia::Irda) return QStringLiteral("simulate");
      return (setup.via == sim::SimVia::UsbDock ? QStringLiteral("simulate:usb-dock")
                                               : QStringLiteral("simulate:net-dock")) +
             kindSuffix(setup.dock.kind);
    }
    case TransportOption::Kind::DockNet:
      return QStringLiteral("dock-net:") + option.dockAddress + kindSuffix(option.dockKind);
    case TransportOption::Kind::DockUsb:
      return QStringLiteral("dock-usb:%1").arg(option.dockIndex) + kindSuffix(option.dockKind);
  }
  return {};
}

TransportSetup::TransportSetup() = default;

TransportSetup::~TransportSetup() = default;

bool TransportSetup::PrepareDock(DockKind kind, int usbIndex, const QString& address, QString* error) {
  dock_ = MakeDock(kind);
  dockKind_ = kind;
  // The window's design-time values of its dock.
  dock_->SetCommandTimeOut(3000);
  dock_->OnTCPConnected = [](QObject*) {};
  dockAddress_ = address;
  usbIndex_ = usbIndex;
  if (address.isEmpty()) {
    usbDevice_ = std::make_unique<TUSBDevice>();
    usbDevice_->DebugOnPipeData = [](QObject*, int, int) {};
    usbDevice_->SetReceiveBufferSize(szAuto);
    usbDevice_->SetUseWindowsMsgs(false);
    usbDevice_->SetDeviceType(DockModelOf(kind).usbDeviceType);
  } else {
    dock_->SetEthernetAddress(address);
  }
  return EnableDock(error);
}

bool TransportSetup::ReopenDock(QString* error) {
  if (!dock_) return false;
  if (!dock_->Enabled() && !EnableDock(error)) return false;
  // The pipes serviced at once: the dock is asked whether it answers next.
  dock_->ClearDeviceHalted();
  return true;
}

bool TransportSetup::EnableDock(QString* error) {
  const QString title = DockTitle(dockKind_);
  if (usbDevice_) {
    // Listed each time: a dock plugged in again may have another name.
    usbDevice_->RefreshDeviceList();
    const QStringList devices = usbDevice_->DeviceList();
    if (usbIndex_ > devices.size()) {
      *error = devices.isEmpty() ? QStringLiteral("no %1 on the USB bus").arg(title)
                                 : QStringLiteral("no %1 %2 on the USB bus (%3 found; see zelvoflash list)")
                                       .arg(title)
                                       .arg(usbIndex_)
                                       .arg(devices.size());
      return false;
    }
    usbDevice_->SetDeviceName(devices.at(usbIndex_ - 1));
    dock_->SetUSBDevice(usbDevice_.get());
    dock_->SetEnabled(true);
    if (!dock_->Enabled()) {
      *error = QStringLiteral("cannot open the %1 %2 (%3): %4")
                   .arg(title)
                   .arg(usbIndex_)
                   .arg(devices.at(usbIndex_ - 1), usbDevice_->ErrorText());
      return false;
    }
    return true;
  }
  dock_->SetEnabled(true);
  if (!dock_->Enabled()) {
    // Why: the first connection that failed (the data connection is made
    // first), else the one that never came up.
    TcpDockChannels& tcp = dock_->TcpChannels();
    QString why = QStringLiteral("no answer within the connect wait");
    for (TWSocket* socket : {&tcp.DataSocket(), &tcp.ControlSocket()}) {
      if (const int code = socket->LastError()) {
        why = QStringLiteral("port %1: %2 %3").arg(socket->Port()).arg(code).arg(socket->ErrorDescription(code));
        break;
      }
    }
    *error = QStringLiteral("cannot connect to the %1 at %2, %3").arg(title, dockAddress_, why);
    return false;
  }
  return true;
}

bool TransportSetup::Prepare(const TransportOption& option, QString* error) {
  switch (option.kind) {
    case TransportOption::Kind::Simulate: {
      simulation_ = std::make_unique<sim::SimulatedWorld>(option.simulation);
      if (!simulation_->Start(error)) return false;
      const DockKind kind = option.simulation.ForDock(1).dock.kind;  // the command's dock is the first
      switch (option.simulation.via) {
        case sim::SimVia::Irda: return true;
        case sim::SimVia::UsbDock: return PrepareDock(kind, 1, QString(), error);
        case sim::SimVia::NetDock: return PrepareDock(kind, 0, simulation_->DockAddress(), error);
      }
      return true;
    }
    case TransportOption::Kind::DockNet:
      return PrepareDock(option.dockKind, 0, option.dockAddress, error);
    case TransportOption::Kind::DockUsb:
      return PrepareDock(option.dockKind, option.dockIndex, QString(), error);
    case TransportOption::Kind::Irda: {
      // The link's own choice: IrDA sockets, else the IrCOMM virtual port.
      const int code = IrdaStackError();
      if (code == 0) return true;
      const int port = FindIrCommPort();
      if (port == 0) {
        *error = NoIrdaStackText(code) + QStringLiteral(" and no IrCOMM virtual port in ") + IrCommPortSource() +
                 QStringLiteral("; give the port with --serial");
        return false;
      }
      return CheckSerialPort(SerialPortName(port), error);
    }
    case TransportOption::Kind::Serial:
      break;
  }
  if (!CheckSerialPort(SerialDevicePath(option.serialPort), error)) return false;
  serial_ = std::make_unique<SerialOnlySystem>();
  return serial_->Install(option.serialPort, error);
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
    listing.append({QStringLiteral("irda"), QString(), NoIrdaStackText(stackError), QString()});
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
                    QStringLiteral("no IrCOMM virtual port in ") + IrCommPortSource(), QString()});
  } else {
    const QString path = SerialPortName(irComm);
    listing.append({QStringLiteral("ircomm"), QStringLiteral("COM%1").arg(irComm),
                    QStringLiteral("IrCOMM virtual port of the registry mirror, %1").arg(path),
                    stackError != 0 ? QStringLiteral("(no transport option), or --serial ") + path
                                    : QStringLiteral("--serial ") + path});
  }

  for (const QString& name : DockKindNames()) {
    DockKind kind = DockKind::KovaExpress;
    ParseDockKind(name, &kind);
    const QString title = DockTitle(kind);
    const std::optional<QStringList> docks =
        CurrentUsbBackend().ListDevices(DeviceTypeGuid(DockModelOf(kind).usbDeviceType));
    if (!docks) {
      listing.append({QStringLiteral("usb-dock"), QString(),
                      QStringLiteral("USB device enumeration unavailable (%1)").arg(title), QString()});
      continue;
    }
    if (docks->isEmpty())
      listing.append({QStringLiteral("usb-dock"), QString(), QStringLiteral("no %1 on the USB bus").arg(title), QString()});
    // The same numbering as --dock-usb: the n-th dock of its kind.
    const QString kindOption = kind == DockKind::KovaExpress ? QString() : QStringLiteral(" --dock-kind ") + name;
    for (qsizetype i = 0; i < docks->size(); ++i)
      listing.append({QStringLiteral("usb-dock"), docks->at(i), title,
                      QStringLiteral("--dock-usb %1").arg(i + 1) + kindOption});
  }
  return listing;
}

}  // namespace zelvo::cli
