#pragma once
// A simulated network dock: the dock's control and data ports on one address
// (5000/5001 for a Kova Express dock, 5002/5003 multi-port, 5004/5005 Kova6),
// played by a SimDock. One client per port; a second client on the control
// port is told "EVTC" (several connections) and turned away.

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include "sim/dock/SimDock.h"

namespace zelvo::sim {

struct DockPorts {
  quint16 control;
  quint16 data;
};
DockPorts DockPortsOf(SimDockKind kind);

class SimNetDock : public QObject {
 public:
  SimNetDock(SimInstrument& instrument, SimDockConfig config, QObject* parent = nullptr);
  ~SimNetDock() override;

  // Listens on both ports of address; false with error set when it cannot.
  bool Listen(const QHostAddress& address, QString* error);
  QHostAddress Address() const { return address_; }

  SimDock& Dock() { return dock_; }
  bool ControlConnected() const { return control_ && control_->state() == QAbstractSocket::ConnectedState; }
  bool DataConnected() const { return data_ && data_->state() == QAbstractSocket::ConnectedState; }
  // Drops both connections and stops listening (the dock unplugged).
  void GoAway();

 private:
  void Accept(QTcpServer& server, QPointer<QTcpSocket>& client, bool control);

  SimDock dock_;
  QTcpServer controlServer_;
  QTcpServer dataServer_;
  QPointer<QTcpSocket> control_;
  QPointer<QTcpSocket> data_;
  QHostAddress address_;
};

}  // namespace zelvo::sim
