#include "sim/instrument/IrdaInstrument.h"

namespace zelvo::sim {

IrdaInstrument::IrdaInstrument(SimInstrument& instrument, QObject* parent)
    : QObject(parent), endpoint_(instrument, this) {
  endpoint_.SendBlock = [this](const QByteArray& block) {
    if (connection_) connection_->SendToHost(QByteArray(1, '\0') + block);
  };
  endpoint_.DropLink = [this] {
    if (SimIrdaConnection* connection = connection_) {
      connection_ = nullptr;
      connection->CloseFromPeer();
    }
  };
}

SimIrdaDevice IrdaInstrument::Device(quint32 deviceId) {
  SimIrdaDevice device;
  device.deviceId = deviceId;
  device.name = "ZelvoPro";
  device.hints1 = 0x84;  // PnP, more hint bytes
  device.hints2 = 0x04;  // IrCOMM
  device.ircommParameters = NineWireParameters();
  device.peer = this;
  return device;
}

void IrdaInstrument::SessionOpened(SimIrdaConnection* connection) {
  connection_ = connection;
  endpoint_.Reset();
}

void IrdaInstrument::HostWrote(const QByteArray& write) {
  // The first byte of every write is the host's control-length byte.
  endpoint_.Received(write.mid(1));
}

void IrdaInstrument::SessionClosed() {
  connection_ = nullptr;
  endpoint_.Reset();
  if (OnSessionClosed) OnSessionClosed();
}

SimulatedIrdaWorld::SimulatedIrdaWorld(const SimInstrumentConfig& config, const SimFaults& faults)
    : instrument_(config, faults), peer_(instrument_) {
  stack_.AddDevice(peer_.Device());
  // Restarting after the program command, the instrument is out of range
  // (no longer in IrDA mode) once the host has closed its session, until it
  // is back.
  peer_.OnSessionClosed = [this] {
    if (instrument_.Restarting()) stack_.RemoveDevice(peer_.Device().deviceId);
  };
  instrument_.OnBack = [this] { stack_.AddDevice(peer_.Device()); };
  previous_ = SetIrdaStack(&stack_);
}

SimulatedIrdaWorld::~SimulatedIrdaWorld() { SetIrdaStack(previous_); }

}  // namespace zelvo::sim
