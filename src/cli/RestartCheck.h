#pragma once
// zelvoflash flash --verify: after a completed upload, the instrument is
// waited for while it restarts, identified as before the upload, compared
// with the file and released ("STB").

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <functional>
#include <optional>

#include "session/RestartWatch.h"

namespace zelvo::cli {

struct Instrument;
class Interrupts;

class RestartCheck {
 public:
  struct Setup {
    Instrument* instrument = nullptr;
    Interrupts* interrupts = nullptr;
    RestartPath path = RestartPath::Port;
    int timeoutS = 120;
    QElapsedTimer since;  // the end of the upload ("ACKBYE" to "PFM")
    std::function<void(const QString&)> say;  // a progress line
  };
  explicit RestartCheck(Setup setup) : setup_(std::move(setup)) {}

  // Waits (at most the limit, counted from setup.since) and returns how it went.
  RestartCheckReport Run();

 private:
  Setup setup_;
};

}  // namespace zelvo::cli
