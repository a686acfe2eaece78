#include "net/WSocket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>
#include <climits>
#include <cstring>

#include "core/Diagnostics.h"
#include "core/MessagePump.h"
#include "net/NativeTcp.h"
#include "net/SocketErrors.h"

namespace zelvo {

ESocketException::ESocketException(const QString& operation, int code, const QString& text)
    : std::runtime_error(QStringLiteral("Error %1 in %2: %3").arg(code).arg(operation, text).toStdString()),
      operation_(operation),
      code_(code) {}

TWSocket::TWSocket(QObject* owner) : QObject(owner) {}

TWSocket::~TWSocket() {
  // No notifications from a dying component.
  OnSessionClosed = nullptr;
  OnDataAvailable = nullptr;
  OnDataSent = nullptr;
  OnSessionConnected = nullptr;
  OnError = nullptr;
  OnChangeState = nullptr;
  if (tcp_) tcp_->disconnect(this);
  if (udp_) udp_->disconnect(this);
}

bool TWSocket::CheckClosed(const QString& operation) {
  if (state_ == TSocketState::wsClosed || state_ == TSocketState::wsInvalidState) return true;
  SocketError(operation + QStringLiteral(": Cannot change while the socket is open"), wsa::EISCONN_);
  return false;
}

void TWSocket::SetProto(const QString& proto) {
  if (CheckClosed(QStringLiteral("SetProto"))) proto_ = proto.trimmed().toLower();
}
void TWSocket::SetAddr(const QString& addr) {
  if (CheckClosed(QStringLiteral("SetAddr"))) addr_ = addr.trimmed();
}
void TWSocket::SetPort(const QString& port) {
  if (CheckClosed(QStringLiteral("SetPort"))) port_ = port.trimmed();
}
void TWSocket::SetLocalPort(const QString& port) {
  if (CheckClosed(QStringLiteral("SetLocalPort"))) localPort_ = port.trimmed();
}

bool TWSocket::IsUdp() const { return proto_ == QLatin1String("udp"); }

QString TWSocket::ErrorDescription(int code) const { return WinsockErrorText(code); }

void TWSocket::ChangeState(TSocketState state) {
  if (state == state_) return;
  const TSocketState old = state_;
  state_ = state;
  if (OnChangeState) {
    auto handler = OnChangeState;
    handler(this, old);
  }
}

void TWSocket::SocketError(const QString& operation, int code) {
  lastError_ = code;
  lastErrorOperation_ = operation;
  if (code == wsa::ECONNRESET_ || code == wsa::ENOTCONN_) {
    QPointer<TWSocket> alive(this);
    EndSession(code);
    if (!alive) return;
  }
  if (OnError) {
    Raise(OnError, this);
    return;
  }
  throw ESocketException(operation, code, WinsockErrorText(code));
}

void TWSocket::ReportError(const QString& operation) {
  lastErrorOperation_ = operation;
  if (OnError) {
    Raise(OnError, this);
    return;
  }
  throw ESocketException(operation, lastError_, WinsockErrorText(lastError_));
}

bool TWSocket::ResolveTarget(const QString& operation, QHostAddress& address, quint16& port, const QString& addr,
                             const QString& portText) {
  bool ok = false;
  const uint number = portText.toUInt(&ok);
  if (!ok || number > 65535) {
    SocketError(operation + QStringLiteral(": Invalid port"), wsa::EINVAL_);
    return false;
  }
  port = static_cast<quint16>(number);
  if (addr.isEmpty() || addr == QLatin1String("0.0.0.0")) {
    address = QHostAddress(QHostAddress::AnyIPv4);
  } else if (addr == QLatin1String("255.255.255.255")) {
    address = QHostAddress(QHostAddress::Broadcast);
  } else if (addr.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
    address = QHostAddress(QHostAddress::LocalHost);
  } else if (!address.setAddress(addr) || address.protocol() != QAbstractSocket::IPv4Protocol) {
    SocketError(operation + QStringLiteral(": Invalid address"), wsa::EADDRNOTAVAIL_);
    return false;
  }
  return true;
}

void TWSocket::Connect() {
  if (state_ != TSocketState::wsClosed && state_ != TSocketState::wsInvalidState) {
    SocketError(QStringLiteral("Connect: Socket already in use"), wsa::EISCONN_);
    return;
  }
  QHostAddress address;
  quint16 port = 0;
  if (!ResolveTarget(QStringLiteral("Connect"), address, port, addr_, port_)) return;
  lastError_ = 0;

  if (IsUdp()) {
    udp_ = std::make_unique<QUdpSocket>();
    bool ok = false;
    const uint local = localPort_.toUInt(&ok);
    if (!udp_->bind(QHostAddress(QHostAddress::AnyIPv4), ok ? static_cast<quint16>(local) : 0)) {
      const int code = WinsockFromQt(udp_->error());
      udp_.reset();
      SocketError(QStringLiteral("Connect (bind)"), code);
      return;
    }
    udpTarget_ = address;
    udpPort_ = port;
    QObject::connect(udp_.get(), &QUdpSocket::readyRead, this, [this] { PostDataAvailable(); });
    QObject::connect(udp_.get(), &QUdpSocket::bytesWritten, this, [this](qint64) { TriggerDataSent(0); });
    ChangeState(TSocketState::wsConnected);
    TriggerSessionConnected(0);
    return;
  }

  // Connected natively, so that a failure tells its cause; Qt's socket carries
  // the connection once it is up.
  native_ = std::make_unique<NativeTcpConnection>();
  const int code = native_->StartConnect(address, port);
  ChangeState(TSocketState::wsConnecting);
  if (!native_) return;  // closed by a state handler
  if (code != 0) {
    // Told from the message loop, as a connect that fails later is.
    const quint64 session = session_;
    QMetaObject::invokeMethod(
        this, [this, session, code] {
          if (session == session_) ConnectFailed(code);
        },
        Qt::QueuedConnection);
    return;
  }
  connectWatch_ = native_->WatchConnectEnd(this, [this] { ConnectEnded(); });
}

void TWSocket::ConnectEnded() {
  if (!connectWatch_) return;
  // The watch is done; it goes from the loop, not inside its own signal.
  connectWatch_.release()->deleteLater();
  int code = native_->TakeConnectResult();
  if (code == 0) {
    tcp_ = std::make_unique<QTcpSocket>();
    code = native_->HandTo(*tcp_);
  }
  if (code != 0) {
    ConnectFailed(code);
    return;
  }
  WatchConnection();
  ChangeState(TSocketState::wsConnected);
  TriggerSessionConnected(0);
}

void TWSocket::ConnectFailed(int code) {
  lastError_ = code;
  QPointer<TWSocket> alive(this);
  CloseQtSocket(code);
  ChangeState(TSocketState::wsClosed);
  TriggerSessionConnected(code);
  if (alive) TriggerSessionClosed(code);
}

void TWSocket::WatchConnection() {
  QTcpSocket* socket = tcp_.get();
  // Input is taken as it arrives; a peer that sends faster than that waits
  // in the system's buffers, not in ours.
  socket->setReadBufferSize(kReadBufferBytes);
  QObject::connect(socket, &QTcpSocket::readyRead, this, [this] { PostDataAvailable(); });
  QObject::connect(socket, &QTcpSocket::bytesWritten, this, [this](qint64) {
    if (tcp_ && tcp_->bytesToWrite() == 0) TriggerDataSent(0);
  });
  QObject::connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
    if (!tcp_ || state_ != TSocketState::wsConnected) return;
    // Qt reports a reset as the remote host closing; the native socket tells
    // it from an orderly close, which is no error.
    int code = WinsockFromQt(error);
    if (error == QAbstractSocket::RemoteHostClosedError && !native_->EndedByReset()) code = 0;
    if (code) lastError_ = code;
    EndSession(code);
  });
  QObject::connect(socket, &QTcpSocket::disconnected, this, [this] {
    if (state_ == TSocketState::wsConnected) EndSession(0);
  });
}

void TWSocket::Listen() {
  if (state_ != TSocketState::wsClosed && state_ != TSocketState::wsInvalidState) {
    SocketError(QStringLiteral("Listen: Socket already in use"), wsa::EISCONN_);
    return;
  }
  if (!IsUdp()) {
    SocketError(QStringLiteral("Listen: only datagram sockets listen"), wsa::EOPNOTSUPP_);
    return;
  }
  QHostAddress address;
  quint16 port = 0;
  if (!ResolveTarget(QStringLiteral("Listen"), address, port, addr_, port_)) return;
  udp_ = std::make_unique<QUdpSocket>();
  // Not shared: a port another socket holds is reported (10048) rather than
  // splitting the datagrams between the two.
  if (!udp_->bind(address, port, QUdpSocket::DontShareAddress)) {
    const int code = WinsockFromQt(udp_->error());
    udp_.reset();
    SocketError(QStringLiteral("Listen (bind)"), code);
    return;
  }
  lastError_ = 0;
  // Raised at once, not posted: a datagram socket whose announced datagram is
  // read outside its signal announces no later ones, so with a posted handler
  // the first answer of a search is seen and the later ones are not.
  QObject::connect(udp_.get(), &QUdpSocket::readyRead, this, [this] { TriggerDataAvailable(0); });
  ChangeState(TSocketState::wsListening);
  TriggerSessionConnected(0);
}

// An arrival is announced as a posted message, as the system's socket
// notification is: the handler runs from the message loop, so a wait inside it
// still sees later arrivals on this socket (the socket's own signal is not
// raised again while a handler connected to it runs).
void TWSocket::PostDataAvailable() {
  QMetaObject::invokeMethod(
      this, [this] {
        if (tcp_ || udp_) TriggerDataAvailable(0);
      },
      Qt::QueuedConnection);
}

int TWSocket::SendText(const QByteArray& text) {
  if (udp_ && state_ == TSocketState::wsConnected) {
    const qint64 sent = udp_->writeDatagram(text, udpTarget_, udpPort_);
    if (sent < 0) {
      SocketError(QStringLiteral("Send"), WinsockFromQt(udp_->error()));
      return -1;
    }
    return static_cast<int>(sent);
  }
  if (!tcp_ || state_ != TSocketState::wsConnected) {
    SocketError(QStringLiteral("Send"), wsa::ENOTCONN_);
    return -1;
  }
  // Handed to the system now, as a send is, rather than from the next pass
  // of the message loop. Nothing waiting in Qt's buffer: straight to the
  // system, which spares the message loop a write watch switched on and off
  // for every message. What the system does not take at once goes through
  // Qt's socket, which sends it as it can and reports a failure. The
  // send-completed notification, or a failure, may be raised inside.
  const qint64 direct = native_ && tcp_->bytesToWrite() == 0 ? native_->SendNow(text.constData(), text.size()) : 0;
  if (direct == text.size()) {
    if (direct > 0) TriggerDataSent(0);
    return static_cast<int>(direct);
  }
  const qint64 sent = tcp_->write(text.constData() + direct, text.size() - direct);
  if (sent < 0) {
    SocketError(QStringLiteral("Send"), WinsockFromQt(tcp_->error()));
    return -1;
  }
  tcp_->flush();
  return static_cast<int>(direct + sent);
}

QByteArray TWSocket::ReceiveText() {
  if (tcp_) return tcp_->readAll();
  if (udp_ && udp_->hasPendingDatagrams()) {
    QByteArray datagram(static_cast<int>(qMax<qint64>(0, udp_->pendingDatagramSize())), '\0');
    const qint64 n = udp_->readDatagram(datagram.data(), datagram.size());
    return n < 0 ? QByteArray() : datagram.left(n);
  }
  return {};
}

int TWSocket::ReceiveDatagram(char* buffer, int size, QString* fromAddress) {
  if (!udp_ || !buffer || size < 0) return -1;
  if (!udp_->hasPendingDatagrams()) return -1;
  // Read whole, then cut to the buffer: what a system hands over of a datagram
  // longer than the read differs (Windows reports an error with the bytes).
  QByteArray datagram(qMax<qint64>(udp_->pendingDatagramSize(), 0), Qt::Uninitialized);
  QHostAddress from;
  const qint64 whole = udp_->readDatagram(datagram.data(), datagram.size(), &from);
  if (whole < 0) {
    lastError_ = WinsockFromQt(udp_->error());
    return -1;
  }
  const qint64 n = qMin<qint64>(whole, size);
  std::memcpy(buffer, datagram.constData(), static_cast<size_t>(n));
  if (fromAddress) {
    bool ok = false;
    const quint32 v4 = from.toIPv4Address(&ok);
    *fromAddress = ok ? QHostAddress(v4).toString() : from.toString();
  }
  return static_cast<int>(n);
}

void TWSocket::Flush() {
  // Waits by handling messages, so notifications (this socket's own included)
  // run meanwhile; a nested handler may close the socket. Running out of time
  // is no error: the connection stays as it is.
  QDeadlineTimer deadline(qMax(0, flushTimeout_) * 1000LL);
  while (tcp_ && tcp_->state() == QAbstractSocket::ConnectedState && tcp_->bytesToWrite() > 0) {
    const qint64 left = deadline.remainingTime();
    if (left == 0) break;
    WaitForMessages(static_cast<int>(qMin<qint64>(left, INT_MAX)));
  }
}

bool TWSocket::AllSent() const { return !tcp_ || tcp_->bytesToWrite() == 0; }

void TWSocket::CloseQtSocket(int) {
  if (IsOpen()) ++session_;
  if (connectWatch_) connectWatch_.release()->deleteLater();
  // Closing the descriptor kept here first: with Qt's closed too (now, or
  // once output left in the background has gone) the connection ends.
  native_.reset();
  if (tcp_) {
    tcp_->disconnect(this);
    tcp_->abort();
    // Deleting inside one of its own signals is unsafe: leave that to the loop.
    tcp_.release()->deleteLater();
  }
  if (udp_) {
    udp_->disconnect(this);
    udp_->close();
    udp_.release()->deleteLater();
  }
}

namespace {

// Output that SendText accepted before a Close still goes out: the Qt socket
// writes it, disconnects gracefully and frees itself. A peer that never reads
// cannot keep it for ever: it is dropped after the flush time-out.
void FinishSendingInBackground(QTcpSocket* socket, int timeoutSeconds) {
  // Freed at exit at the latest; on a session's own thread, when that thread
  // ends (a parent must live on the socket's thread).
  QCoreApplication* application = QCoreApplication::instance();
  if (application && application->thread() == socket->thread())
    socket->setParent(application);
  else
    QObject::connect(socket->thread(), &QThread::finished, socket, [socket] { delete socket; }, Qt::DirectConnection);
  QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
  QObject::connect(socket, &QAbstractSocket::errorOccurred, socket, &QObject::deleteLater);
  QTimer::singleShot(qMax(1, timeoutSeconds) * 1000, socket, [socket] {
    socket->abort();
    socket->deleteLater();
  });
  socket->disconnectFromHost();
  if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
}

}  // namespace

void TWSocket::Close() { EndSession(0); }

void TWSocket::EndSession(int error) {
  const bool wasOpen = IsOpen();
  if (error == 0 && tcp_ && tcp_->state() == QAbstractSocket::ConnectedState && tcp_->bytesToWrite() > 0) {
    tcp_->disconnect(this);
    FinishSendingInBackground(tcp_.release(), flushTimeout_);
  }
  CloseQtSocket(error);
  ChangeState(TSocketState::wsClosed);
  if (wasOpen) TriggerSessionClosed(error);
}

void TWSocket::CloseLater() {
  // Closes the session that is open now, not one opened after it has ended.
  if (!IsOpen()) return;
  const quint64 session = session_;
  QMetaObject::invokeMethod(
      this,
      [this, session] {
        if (session == session_) Close();
      },
      Qt::QueuedConnection);
}

}  // namespace zelvo
