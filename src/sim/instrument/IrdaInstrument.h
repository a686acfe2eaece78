#pragma once
// The simulated instrument as a device in range of the simulated IrDA stack:
// each host write carries a leading control byte, each block the instrument
// sends carries one too.

#include <QObject>
#include <functional>

#include "sim/instrument/FramedEndpoint.h"
#include "sim/irda/SimIrdaStack.h"

namespace zelvo::sim {

class IrdaInstrument : public QObject, public SimIrdaPeer {
 public:
  explicit IrdaInstrument(SimInstrument& instrument, QObject* parent = nullptr);

  // The device entry to add to the stack (IrCOMM 9-wire, named "ZelvoPro").
  SimIrdaDevice Device(quint32 deviceId = 0x5A3C0001);

  void SessionOpened(SimIrdaConnection* connection) override;
  void HostWrote(const QByteArray& write) override;
  void SessionClosed() override;

  // The host closed the session.
  std::function<void()> OnSessionClosed;

  FramedEndpoint& Endpoint() { return endpoint_; }
  bool SessionUp() const { return connection_ != nullptr; }

 private:
  FramedEndpoint endpoint_;
  SimIrdaConnection* connection_ = nullptr;
};

// The whole simulated world of --simulate: the simulated IrDA stack installed
// as the process's stack, with one simulated instrument in range.
class SimulatedIrdaWorld {
 public:
  SimulatedIrdaWorld(const SimInstrumentConfig& config, const SimFaults& faults);
  ~SimulatedIrdaWorld();
  SimulatedIrdaWorld(const SimulatedIrdaWorld&) = delete;
  SimulatedIrdaWorld& operator=(const SimulatedIrdaWorld&) = delete;

  SimInstrument& Instrument() { return instrument_; }
  SimIrdaStack& Stack() { return stack_; }

 private:
  SimInstrument instrument_;
  IrdaInstrument peer_;
  SimIrdaStack stack_;
  IrdaStack* previous_;
};

}  // namespace zelvo::sim
