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
namespace sim {
class SimulatedIrdaWorld;
}
}  // namespace zelvo

namespace zelvo::cli {

// Whether this build has the transport at all.
bool TransportBuilt(TransportOption::Kind kind);

// Short name for results and records: "irda", "serial:/dev/ttyUSB0",
// "simulate", "dock-net:ADDRESS", "dock-usb:N".
QString TransportName(const TransportOption& option);

class TransportSetup {
 public:
  enum class Result { Ready, Unusable, NotBuilt };

  TransportSetup();
  ~TransportSetup();

  // Sets the transport up and checks, without addressing any instrument, that
  // it can be used: a serial port that opens, an IrDA stack or an IrCOMM port.
  // Anything but Ready comes with error set to the system's reason.
  Result Prepare(const TransportOption& option, QString* error);

 private:
  std::unique_ptr<sim::SimulatedIrdaWorld> simulation_;
  std::unique_ptr<SerialOnlySystem> serial_;
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
