#pragma once
// The transports of zelvoflash, chosen in this one place: what each needs set
// up before the link is created (and torn down after), the check that it can
// be used at all, its name in results, and the listing of `zelvoflash list`.

#include <QList>
#include <QString>
#include <memory>

#include "cli/Options.h"

namespace zelvo {
class SerialOnlySystem;
class TDockProtocol;
class TUSBDevice;
namespace sim {
class SimulatedWorld;
}
}  // namespace zelvo

namespace zelvo::cli {

// Short name for results and records: "irda", "serial:/dev/ttyUSB0",
// "simulate" (IrDA), "simulate:usb-dock", "simulate:net-dock",
// "dock-net:ADDRESS", "dock-usb:N"; a dock of another kind than Kova Express
// adds its kind (":kova6").
QString TransportName(const TransportOption& option);

class TransportSetup {
 public:
  TransportSetup();
  ~TransportSetup();

  // Sets the transport up and checks, without addressing any instrument, that
  // it can be used: a serial port that opens, an IrDA stack or an IrCOMM
  // port, a dock that opens (its USB device, or both TCP connections).
  // False, with error set to the system's reason, when it cannot.
  bool Prepare(const TransportOption& option, QString* error);

  // A dock that went away (unplugged, power-cycled, its connections lost)
  // opened again as Prepare opened it: a USB dock is looked for on the bus
  // afresh (and its pipes serviced at once), a network dock connected to
  // again. False, with error set, while it cannot be.
  bool ReopenDock(QString* error);

  // The dock, enabled, when the transport is one; nothing otherwise.
  TDockProtocol* Dock() const { return dock_.get(); }
  DockKind DockKindUsed() const { return dockKind_; }
  // The network dock's address; empty for a USB dock.
  QString DockAddress() const { return dockAddress_; }

 private:
  bool PrepareDock(DockKind kind, int usbIndex, const QString& address, QString* error);
  bool EnableDock(QString* error);

  std::unique_ptr<sim::SimulatedWorld> simulation_;
  std::unique_ptr<SerialOnlySystem> serial_;
  std::unique_ptr<TUSBDevice> usbDevice_;
  std::unique_ptr<TDockProtocol> dock_;
  DockKind dockKind_ = DockKind::KovaExpress;
  QString dockAddress_;
  int usbIndex_ = 0;  // the n-th dock of its kind on the USB bus
};

// One line of `zelvoflash list`.
struct TransportListing {
  QString section;      // "serial", "irda", "ircomm", "usb-dock"
  QString name;         // port path, device name, ...
  QString description;  // what it is, or why there is none
  QString use;          // what to pass to flash (empty when nothing can be used)
};
QList<TransportListing> ListTransports();

}  // namespace zelvo::cli
