#pragma once
// What a transport option needs set up before the link is created, and torn
// down after.

#include <QString>
#include <memory>

#include "cli/Options.h"

namespace zelvo::sim {
class SerialSystem;
class SimulatedIrdaWorld;
}

namespace zelvo::cli {

class TransportSetup {
 public:
  TransportSetup();
  ~TransportSetup();

  // False with error set when the transport cannot be used (exit status 2).
  bool Prepare(const TransportOption& option, QString* error);
  sim::SimulatedIrdaWorld* Simulation() const { return simulation_.get(); }

 private:
  std::unique_ptr<sim::SimulatedIrdaWorld> simulation_;
  std::unique_ptr<sim::SerialSystem> serial_;
};

}  // namespace zelvo::cli
