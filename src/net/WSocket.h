#pragma once
// TWSocket: the asynchronous socket component (TCP and UDP over Qt's sockets).
//
// Properties are texts set while the socket is closed: Proto ("tcp" or "udp"),
// Addr (dotted IPv4, "0.0.0.0" any, "255.255.255.255" broadcast), Port and
// LocalPort (decimal). Every operation and every notification runs on the
// main thread; notifications come from the event loop, so callers that wait
// for a state change process messages while they wait.
//
// Errors follow one path: LastError := the Winsock code, then OnError is
// raised; with no OnError handler an ESocketException is thrown instead.
// Codes 10054 and 10057 also close the socket before OnError. A connection
// the peer ends raises OnSessionClosed with 0 for an orderly close and 10054
// for a reset.
//
// Derived sockets of another address family (the IrDA socket) override the
// virtual operations and use the protected helpers to report.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <stdexcept>

#include "core/Events.h"

class QTcpSocket;
class QUdpSocket;

namespace zelvo {

enum class TSocketState : quint8 {
  wsInvalidState,    // 0
  wsOpened,          // 1
  wsBound,           // 2
  wsConnecting,      // 3
  wsSocksConnected,  // 4
  wsConnected,       // 5
  wsAccepting,       // 6
  wsListening,       // 7
  wsClosed           // 8
};

// (Sender, Error): Error 0 is success.
using TSessionEvent = std::function<void(QObject* sender, quint16 error)>;

class NativeTcpConnection;

class ESocketException : public std::runtime_error {
 public:
  ESocketException(const QString& operation, int code, const QString& text);
  const QString& Operation() const { return operation_; }
  int Code() const { return code_; }

 private:
  QString operation_;
  int code_;
};

class TWSocket : public QObject {
 public:
  explicit TWSocket(QObject* owner = nullptr);
  ~TWSocket() override;

  QString Proto() const { return proto_; }
  void SetProto(const QString& proto);
  QString Addr() const { return addr_; }
  void SetAddr(const QString& addr);
  QString Port() const { return port_; }
  void SetPort(const QString& port);
  QString LocalPort() const { return localPort_; }
  void SetLocalPort(const QString& port);

  TSocketState State() const { return state_; }
  int LastError() const { return lastError_; }
  // Operation named by the last error path ("Connect", "SetLPTMode", ...).
  QString LastErrorOperation() const { return lastErrorOperation_; }
  int FlushTimeout() const { return flushTimeout_; }  // seconds
  void SetFlushTimeout(int seconds) { flushTimeout_ = seconds; }
  int BufSize() const { return bufSize_; }
  void SetBufSize(int bytes) { bufSize_ = bytes; }

  // TCP: starts connecting (wsConnecting, then wsConnected and
  // OnSessionConnected(0); a connect that fails raises OnSessionConnected and
  // OnSessionClosed with the cause, e.g. 10061 refused, 10051 network
  // unreachable). UDP: opens with Addr:Port as destination, broadcasts allowed.
  virtual void Connect();
  // UDP: binds Addr:Port (not shared with another socket: a port in use
  // fails with 10048) and raises OnSessionConnected.
  virtual void Listen();
  // Sends the bytes as they are; the count handed on, negative on failure.
  virtual int SendText(const QByteArray& text);
  // All bytes waiting (TCP and derived stream sockets); empty when none.
  virtual QByteArray ReceiveText();
  // One datagram into buffer (at most size bytes, the rest is dropped) and
  // its sender's dotted address; its length, negative when none or on failure.
  int ReceiveDatagram(char* buffer, int size, QString* fromAddress = nullptr);
  // Returns when the queued output has gone, the connection has ended, or
  // FlushTimeout seconds have passed; waits by handling messages. A time-out
  // leaves the connection open.
  virtual void Flush();
  // Closes at once; OnSessionClosed is raised before it returns when a socket
  // was open. Output already accepted by SendText is still delivered (in the
  // background, for at most FlushTimeout seconds).
  virtual void Close();
  // Closes once the pending events have been handled (unless that session was
  // closed meanwhile).
  void CloseLater();
  // No output is waiting to be sent.
  virtual bool AllSent() const;

  // Standard text of a socket error code.
  QString ErrorDescription(int code) const;

  TSessionEvent OnDataAvailable;
  TSessionEvent OnDataSent;
  TSessionEvent OnSessionConnected;
  TSessionEvent OnSessionClosed;
  TNotifyEvent OnError;
  std::function<void(QObject* sender, TSocketState oldState)> OnChangeState;

 protected:
  // Error path: LastError := code; 10054 and 10057 end the session first
  // (EndSession, so OnSessionClosed comes before OnError); then OnError, or
  // an exception without a handler. Stops quietly when a handler of
  // OnSessionClosed has freed the socket.
  void SocketError(const QString& operation, int code);
  // Closes the handle at once, state closed, then OnSessionClosed(error) when
  // a session was open. Close() is EndSession(0).
  virtual void EndSession(int error);
  // Reports an error through OnError without changing LastError.
  void ReportError(const QString& operation);
  void ChangeState(TSocketState state);
  void SetLastError(int code) { lastError_ = code; }
  void PostDataAvailable();
  void TriggerDataAvailable(int error) { Raise(OnDataAvailable, this, static_cast<quint16>(error)); }
  void TriggerDataSent(int error) { Raise(OnDataSent, this, static_cast<quint16>(error)); }
  void TriggerSessionConnected(int error) { Raise(OnSessionConnected, this, static_cast<quint16>(error)); }
  void TriggerSessionClosed(int error) { Raise(OnSessionClosed, this, static_cast<quint16>(error)); }
  bool IsUdp() const;
  // Properties may change only while no socket is open.
  bool CheckClosed(const QString& operation);

 private:
  static constexpr qint64 kReadBufferBytes = 256 * 1024;  // TCP input held before it is taken
  void CloseQtSocket(int error);
  bool IsOpen() const { return tcp_ || udp_ || native_; }
  // The TCP connect has ended (its descriptor turned writable).
  void ConnectEnded();
  // The TCP connect failed: closed, then OnSessionConnected and
  // OnSessionClosed with the code.
  void ConnectFailed(int code);
  // Wires the Qt socket of an established TCP connection.
  void WatchConnection();
  bool ResolveTarget(const QString& operation, QHostAddress& address, quint16& port, const QString& addr,
                     const QString& portText);

  QString proto_ = QStringLiteral("tcp");
  QString addr_ = QStringLiteral("0.0.0.0");
  QString port_;
  QString localPort_ = QStringLiteral("0");
  TSocketState state_ = TSocketState::wsClosed;
  int lastError_ = 0;
  QString lastErrorOperation_;
  int flushTimeout_ = 100;
  int bufSize_ = 1460;
  // A TCP connection: connected natively, then carried by tcp_; native_ keeps
  // looking at it for how it ended.
  std::unique_ptr<NativeTcpConnection> native_;
  std::unique_ptr<QObject> connectWatch_;  // while connecting
  std::unique_ptr<QTcpSocket> tcp_;
  std::unique_ptr<QUdpSocket> udp_;
  QHostAddress udpTarget_;
  quint16 udpPort_ = 0;
  quint64 session_ = 0;  // counts ended sessions, so that CloseLater closes its own
};

}  // namespace zelvo
