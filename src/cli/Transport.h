#pragma once
// What a transport option needs set up before the link is created, and torn
// down after.

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

class TransportSetup {
 public:
  TransportSetup();
  ~TransportSetup();

  // False with error set when the transport cannot be used (exit status 2).
  bool Prepare(const TransportOption& option, QString* error);

 private:
  std::unique_ptr<sim::SimulatedIrdaWorld> simulation_;
  std::unique_ptr<SerialOnlySystem> serial_;
};

}  // namespace zelvo::cli
