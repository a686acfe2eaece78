#pragma once
// A simulated dock on the simulated USB bus: a SimUsbDevice with the dock's
// four pipes, played by a SimDock. What the host writes on pipe 3 (control
// out) and pipe 0 (data out) reaches the dock on the main thread; its answers
// are queued on pipe 2 (control in) and pipe 1 (data in) as a real device
// delivers them, in packets of the endpoint's maximum packet size.

#include <QObject>
#include <memory>

#include "sim/dock/SimDock.h"
#include "sim/usb/SimUsbBackend.h"

namespace zelvo::sim {

class SimUsbDock : public QObject {
 public:
  static constexpr std::uint16_t kMaxPacketSize = 64;

  // Adds the dock device to the bus.
  SimUsbDock(SimUsbBackend& bus, SimInstrument& instrument, SimDockConfig config, QObject* parent = nullptr);
  ~SimUsbDock() override;

  SimDock& Dock() { return dock_; }
  SimUsbDevice& Device() { return *device_; }
  QString Path() const { return device_->Path(); }
  void Unplug();

 private:
  struct Relay;

  SimUsbBackend& bus_;
  SimDock dock_;
  std::shared_ptr<SimUsbDevice> device_;
  std::shared_ptr<Relay> relay_;
};

// The device type a dock model takes on the USB bus.
int UsbDeviceTypeOf(SimDockKind kind);

}  // namespace zelvo::sim
