#include "sim/net/SimDockResponder.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace zelvo::sim {

namespace {

constexpr auto kShared = QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint;

quint16 PortNumber(const char* text) { return static_cast<quint16>(QByteArray(text).toUShort()); }

}  // namespace

DiscoveryPorts DiscoveryPortsOf(TPDockType kind) {
  const TPDockKind& k = DockKindOf(kind);
  return {PortNumber(k.enquiryPort), PortNumber(k.listenPort)};
}

SimDockResponder::SimDockResponder(TPDockType kind, QByteArray answer, QHostAddress address, QObject* parent)
    : SimDockResponder(DiscoveryPortsOf(kind), std::move(answer), std::move(address), parent) {}

SimDockResponder::SimDockResponder(DiscoveryPorts ports, QByteArray answer, QHostAddress address, QObject* parent)
    : QObject(parent), ports_(ports), answer_(std::move(answer)), address_(std::move(address)) {}

SimDockResponder::~SimDockResponder() { Stop(); }

bool SimDockResponder::Start() {
  Stop();
  error_.clear();
  auto open = [this](const QHostAddress& address) -> std::unique_ptr<QUdpSocket> {
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(address, ports_.enquiry, kShared)) {
      error_ = QStringLiteral("Cannot listen for dock enquiries on %1:%2: %3")
                   .arg(address.toString())
                   .arg(ports_.enquiry)
                   .arg(socket->errorString());
      return nullptr;
    }
    QUdpSocket* raw = socket.get();
    QObject::connect(raw, &QUdpSocket::readyRead, this, [this, raw] { TakeEnquiries(*raw); });
    return socket;
  };
  socket_ = open(address_);
  if (!socket_) return false;
#ifdef Q_OS_LINUX
  const bool anyAddress = address_ == QHostAddress(QHostAddress::AnyIPv4) || address_ == QHostAddress(QHostAddress::Any);
  if (!anyAddress && !address_.isLoopback()) {
    broadcast_ = open(QHostAddress(QHostAddress::Broadcast));
    if (!broadcast_) {
      socket_.reset();
      return false;
    }
  }
#endif
  return true;
}

void SimDockResponder::Stop() {
  socket_.reset();
  broadcast_.reset();
}

void SimDockResponder::TakeEnquiries(QUdpSocket& socket) {
  while (socket.hasPendingDatagrams()) {
    const QNetworkDatagram enquiry = socket.receiveDatagram();
    if (!enquiry.isValid() || enquiry.data() != "ENQ") continue;
    // From the bound socket, so that the answer's sender is this dock's address.
    if (socket_ && socket_->writeDatagram(answer_, enquiry.senderAddress(), ports_.answer) == answer_.size())
      ++answered_;
  }
}

}  // namespace zelvo::sim
