#include "sim/dock/SimNetDock.h"

namespace zelvo::sim {

DockPorts DockPortsOf(SimDockKind kind) { return {DockControlPort(kind), DockDataPort(kind)}; }

SimNetDock::SimNetDock(SimInstrument& instrument, SimDockConfig config, QObject* parent)
    : QObject(parent), dock_(instrument, std::move(config), this) {
  dock_.SendControl = [this](const QByteArray& input) {
    if (ControlConnected()) control_->write(input);
  };
  dock_.SendData = [this](const QByteArray& reply) {
    if (DataConnected()) data_->write(reply);
  };
  dock_.GoAway = [this] { GoAway(); };
  connect(&controlServer_, &QTcpServer::newConnection, this, [this] { Accept(controlServer_, control_, true); });
  connect(&dataServer_, &QTcpServer::newConnection, this, [this] { Accept(dataServer_, data_, false); });
}

SimNetDock::~SimNetDock() = default;

bool SimNetDock::Listen(const QHostAddress& address, QString* error) {
  const DockPorts ports = DockPortsOf(dock_.Config().kind);
  address_ = address;
  for (auto [server, port] : {std::pair{&controlServer_, ports.control}, std::pair{&dataServer_, ports.data}}) {
    if (!server->listen(address, port)) {
      *error = QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(server->errorString());
      controlServer_.close();
      dataServer_.close();
      return false;
    }
  }
  return true;
}

void SimNetDock::Accept(QTcpServer& server, QPointer<QTcpSocket>& client, bool control) {
  while (QTcpSocket* socket = server.nextPendingConnection()) {
    if (client && client->state() == QAbstractSocket::ConnectedState) {
      if (control) client->write("EVTC");  // a second host tries the dock
      socket->abort();
      socket->deleteLater();
      continue;
    }
    if (client) client->deleteLater();
    client = socket;
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, control] {
      const QByteArray bytes = socket->readAll();
      if (control) dock_.ControlReceived(bytes);
      else dock_.DataReceived(bytes);
    });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket, control] {
      if (socket->bytesToWrite() == 0) dock_.Drained(control);
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  }
}

void SimNetDock::GoAway() {
  controlServer_.close();
  dataServer_.close();
  for (QTcpSocket* socket : {control_.data(), data_.data()})
    if (socket) socket->abort();
}

}  // namespace zelvo::sim
