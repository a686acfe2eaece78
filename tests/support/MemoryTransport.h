#pragma once
// An in-memory transport for the link: opens as told, records every write,
// can be fed bytes, reports its state on demand, and lets a test act inside a
// write (answer it, move the clock while it stalls, free the link).

#include <QByteArray>
#include <QList>
#include <functional>

#include "link/LinkTransport.h"

namespace zelvo::test {

class MemoryTransport : public ILinkTransport {
 public:
  explicit MemoryTransport(TransportWire wire) : wire_(wire) {}

  TransportWire Wire() const override { return wire_; }
  TransportOpen Open(int timeOut) override {
    ++opens;
    if (openAs != TransportOpen::Opening) return openAs;
    Host().ArmConnectTimeOut(timeOut);
    if (upOnOpen) Host().StateChanged(*this, TransportState::Up);
    return TransportOpen::Opening;
  }
  void Close() override {
    ++closes;
    Host().StateChanged(*this, TransportState::Down);
  }
  void Write(const QByteArray& bytes) override {
    writes << bytes;
    if (OnWrite) OnWrite(bytes);
  }

  // The far side.
  void Feed(const QByteArray& bytes) { Host().BytesArrived(*this, bytes); }
  void Report(TransportState state) { Host().StateChanged(*this, state); }

  TransportOpen openAs = TransportOpen::Opening;  // what Open returns
  bool upOnOpen = true;                           // Open reports Up at once
  std::function<void(const QByteArray&)> OnWrite;  // runs inside Write
  QList<QByteArray> writes;
  int opens = 0, closes = 0;

 private:
  TransportWire wire_;
};

}  // namespace zelvo::test
