#pragma once
// The built-in simulation of the front ends: where the simulated instrument
// is reached ("via"), and the simulated world that makes it so.
//
//   via=irda      in range of a simulated IrDA stack (the default)
//   via=usb-dock  in a simulated dock on a simulated USB bus
//   via=net-dock  in a simulated network dock listening on a loopback address
//
// The world must exist before the link and the USB device are created (it
// installs the simulated IrDA stack or USB bus) and outlive them.

#include <QString>
#include <memory>

#include "sim/dock/SimDock.h"
#include "sim/instrument/SimInstrument.h"

namespace zelvo {
class UsbBackend;
}

namespace zelvo::sim {

class SimulatedIrdaWorld;
class SimUsbBackend;
class SimUsbDock;
class SimNetDock;

enum class SimVia { Irda, UsbDock, NetDock };

struct SimulationSetup {
  SimVia via = SimVia::Irda;
  SimInstrumentConfig instrument;
  SimFaults faults;
  SimDockConfig dock;
};

// Reads "via=usb-dock,version=7.5,busy=3,..." (instrument and dock options).
// False, with error naming the item, when an item is not understood.
bool ParseSimulationSetup(const QString& text, SimulationSetup& setup, QString* error);
// The optional value of --simulate, told apart from a file name.
bool LooksLikeSimulationSetup(const QString& text);
// The options, for usage texts.
QString SimulationOptionsText();

class SimulatedWorld {
 public:
  explicit SimulatedWorld(const SimulationSetup& setup);
  ~SimulatedWorld();
  SimulatedWorld(const SimulatedWorld&) = delete;
  SimulatedWorld& operator=(const SimulatedWorld&) = delete;

  // Starts the network dock (on a free loopback address); false with error
  // set when it cannot. Nothing to start for the other kinds.
  bool Start(QString* error);

  SimVia Via() const { return setup_.via; }
  const SimulationSetup& Setup() const { return setup_; }
  SimInstrument& Instrument();
  // The dock the instrument is in; nothing over IrDA.
  SimDock* Dock();
  SimUsbBackend* UsbBus() { return bus_.get(); }
  SimUsbDock* UsbDock() { return usbDock_.get(); }
  // Dotted address of the network dock, once started.
  QString DockAddress() const;

 private:
  SimulationSetup setup_;
  std::unique_ptr<SimInstrument> docked_;  // the instrument in a dock
  std::unique_ptr<SimulatedIrdaWorld> irda_;
  std::unique_ptr<SimUsbBackend> bus_;
  UsbBackend* previousBus_ = nullptr;
  std::unique_ptr<SimUsbDock> usbDock_;
  std::unique_ptr<SimNetDock> netDock_;
};

}  // namespace zelvo::sim
