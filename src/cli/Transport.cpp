#include "cli/Transport.h"

#include "sim/instrument/IrdaInstrument.h"
#include "link/SerialOnlySystem.h"

namespace zelvo::cli {

TransportSetup::TransportSetup() = default;

TransportSetup::~TransportSetup() = default;

bool TransportSetup::Prepare(const TransportOption& option, QString* error) {
  switch (option.kind) {
    case TransportOption::Kind::Irda:
      return true;
    case TransportOption::Kind::Simulate:
      simulation_ = std::make_unique<sim::SimulatedIrdaWorld>(option.simConfig, option.simFaults);
      return true;
    case TransportOption::Kind::DockNet:
    case TransportOption::Kind::DockUsb:
      *error = QStringLiteral("Kova Express docks are not available in this build");
      return false;
    case TransportOption::Kind::Serial:
      break;
  }
  serial_ = std::make_unique<SerialOnlySystem>();
  return serial_->Install(option.serialPort, error);
}

}  // namespace zelvo::cli
