// Windows has no pseudo-terminals: the instrument is served on a serial line
// by zelvo-sim on a Linux machine (or over a network dock, serve-dock).
#include "sim/instrument/PtyInstrument.h"

namespace zelvo::sim {

PtyInstrument::PtyInstrument(SimInstrument& instrument, QObject* parent)
    : QObject(parent), endpoint_(instrument, this) {}

PtyInstrument::~PtyInstrument() = default;

bool PtyInstrument::Open() {
  error_ = QStringLiteral("pseudo-terminals are not available on Windows: serve the instrument from zelvo-sim "
                          "on Linux, or through a network dock (serve-dock)");
  return false;
}

void PtyInstrument::Close() {}

void PtyInstrument::Readable() {}

void PtyInstrument::Write(const QByteArray&) {}

}  // namespace zelvo::sim
