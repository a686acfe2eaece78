#pragma once
// The instrument's end of a framed link: takes the bytes the host sends,
// finds each frame, lets the simulated instrument answer, and hands back the
// answer's bytes with the transport faults applied (delay, noise, pieces).
// Transport-neutral: the pseudo-terminal and the simulated IrDA peer both
// wrap it.

#include <QByteArray>
#include <QObject>
#include <functional>

#include "sim/instrument/SimInstrument.h"

namespace zelvo::sim {

class FramedEndpoint : public QObject {
 public:
  explicit FramedEndpoint(SimInstrument& instrument, QObject* parent = nullptr);

  // Bytes from the host, in any cutting (a frame may span calls).
  void Received(const QByteArray& bytes);
  // Forgets a partly received frame (link closed).
  void Reset() { pending_.clear(); }

  // Where answers go: each call is one block of wire bytes for the host.
  std::function<void(const QByteArray& block)> SendBlock;
  // The instrument dropped the link (fault mode).
  std::function<void()> DropLink;
  // A reply to "STB" or "PFM" was sent that ends the session ("ACKBYE").
  std::function<void()> SessionEnded;

  SimInstrument& Instrument() { return instrument_; }

 private:
  void Answer(const QByteArray& reply);

  SimInstrument& instrument_;
  QByteArray pending_;
};

}  // namespace zelvo::sim
