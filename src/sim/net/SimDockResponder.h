#pragma once
// The discovery side of a simulated network dock: listens for the enquiry
// "ENQ" on the enquiry port of its dock kind and answers each one with its
// text (the dock's name, "KovaExpress Dock 12"), sent to the enquirer's
// address on the kind's answer port. Any bytes may be configured as the
// answer, a zero byte or a text longer than an answer buffer included.
//
// Bound to one address, it answers from that address. On Linux a socket bound
// to one address does not see broadcasts; a second socket on the limited
// broadcast address takes those. Sockets are shared, so several responders
// (several docks) may serve one port.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <memory>

#include "net/DockEnumerator.h"

class QUdpSocket;

namespace zelvo::sim {

struct DiscoveryPorts {
  quint16 enquiry;  // "ENQ" arrives here
  quint16 answer;   // the answer is sent there
};
DiscoveryPorts DiscoveryPortsOf(TPDockType kind);

class SimDockResponder : public QObject {
 public:
  SimDockResponder(TPDockType kind, QByteArray answer, QHostAddress address = QHostAddress(QHostAddress::AnyIPv4),
                   QObject* parent = nullptr);
  SimDockResponder(DiscoveryPorts ports, QByteArray answer,
                   QHostAddress address = QHostAddress(QHostAddress::AnyIPv4), QObject* parent = nullptr);
  ~SimDockResponder() override;

  // Starts listening; false when it cannot, with the reason in ErrorText().
  bool Start();
  void Stop();
  QString ErrorText() const { return error_; }

  QHostAddress Address() const { return address_; }
  DiscoveryPorts Ports() const { return ports_; }
  int EnquiriesAnswered() const { return answered_; }

 private:
  void TakeEnquiries(QUdpSocket& socket);

  DiscoveryPorts ports_;
  QByteArray answer_;
  QHostAddress address_;
  std::unique_ptr<QUdpSocket> socket_;     // bound to address, answers from it
  std::unique_ptr<QUdpSocket> broadcast_;  // Linux: limited broadcasts
  QString error_;
  int answered_ = 0;
};

}  // namespace zelvo::sim
