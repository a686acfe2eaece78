#pragma once
// The built-in simulation of the front ends: where the simulated instrument
// is reached ("via"), and the simulated world that makes it so.
//
//   via=irda      in range of a simulated IrDA stack (the default)
//   via=usb-dock  in a simulated dock on a simulated USB bus
//   via=net-dock  in a simulated network dock listening on a loopback address
//
// Through a dock the world may hold several docks ("docks=N"), each with an
// instrument of its own; an item ending in "@D" is for dock D only.
//
// The world must exist before the link and the USB device are created (it
// installs the simulated IrDA stack or USB bus) and outlive them. It is used
// on the thread that made it; the host may reach the docks from any thread.

#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

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
  static constexpr NumberRange kDocksRange{1, 16};
  SimVia via = SimVia::Irda;
  int docks = 1;  // more than one only through a dock
  // The items for every dock.
  SimInstrumentConfig instrument;
  SimFaults faults;
  SimDockConfig dock;
  // Each dock's own items, without their "@D" (dockItems[0] holds dock 1's).
  QList<QStringList> dockItems;

  // Dock d's setup alone (d from 1): one dock, its own items applied over
  // those for every dock.
  SimulationSetup ForDock(int d) const;
};

// Reads "via=usb-dock,docks=2,version=7.5,busy=3@2,..." (instrument and dock
// options, in any order). False, with error naming the item, when an item is
// not understood.
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

  // Starts the network docks, each on a free loopback address of its own;
  // false with error set when one cannot. Nothing to start for the other
  // kinds.
  bool Start(QString* error);

  SimVia Via() const { return setup_.via; }
  const SimulationSetup& Setup() const { return setup_; }

  // Docks are counted from 0 here: index 0 is dock 1 of the setup, the first
  // on the simulated USB bus.
  int DockCount() const { return static_cast<int>(docked_.size()); }  // none over IrDA
  // The instrument in dock index; over IrDA (index 0), the one in range.
  // Throws std::out_of_range for an index beyond them.
  SimInstrument& Instrument(int index = 0);
  // The dock; nothing over IrDA or beyond the docks.
  SimDock* Dock(int index = 0);
  SimUsbBackend* UsbBus() { return bus_.get(); }
  SimUsbDock* UsbDock(int index = 0);
  // Dotted address of the network dock, once started.
  QString DockAddress(int index = 0) const;

 private:
  SimulationSetup setup_;
  std::vector<std::unique_ptr<SimInstrument>> docked_;  // the instruments in the docks, in dock order
  std::unique_ptr<SimulatedIrdaWorld> irda_;
  std::unique_ptr<SimUsbBackend> bus_;
  UsbBackend* previousBus_ = nullptr;
  std::vector<std::unique_ptr<SimUsbDock>> usbDocks_;
  std::vector<std::unique_ptr<SimNetDock>> netDocks_;
};

}  // namespace zelvo::sim
