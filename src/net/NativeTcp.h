#pragma once
// The native side of a TCP connection, for what Qt's sockets do not tell: the
// cause of a failed connect (Qt folds unreachable networks and hosts, time-outs
// and resets into one "network error") and whether the peer ended the
// connection with a reset or an orderly close (Qt reports both as the remote
// host closing). Failures are Winsock codes (SocketErrors.h).
//
// The connect is made here; once it is up the connection is handed to a Qt
// socket, and a second descriptor of it stays here so that its end can still be
// looked at after Qt has closed its own. Main thread only. One file per
// platform: NativeTcpPosix.cpp, NativeTcpWindows.cpp.

#include <QHostAddress>
#include <QObject>
#include <QtGlobal>
#include <functional>
#include <memory>

class QTcpSocket;

namespace zelvo {

class NativeTcpConnection {
 public:
  NativeTcpConnection() = default;
  NativeTcpConnection(const NativeTcpConnection&) = delete;
  NativeTcpConnection& operator=(const NativeTcpConnection&) = delete;
  ~NativeTcpConnection();

  // Starts a non-blocking connect to an IPv4 address. 0 when it is under way
  // (WatchConnectEnd tells when it has ended), else the failure's code.
  int StartConnect(const QHostAddress& address, quint16 port);
  // Once a connect is under way: calls ended on this thread, from the event
  // loop, when it has ended either way, even when that was before the watch
  // began; until the watch is freed or context is. Once is enough: later
  // calls may come and are to be ignored.
  std::unique_ptr<QObject> WatchConnectEnd(QObject* context, std::function<void()> ended);
  // Once the connect has ended: 0 when connected, else the code of the
  // failure (taken from the socket, so asked once).
  int TakeConnectResult();
  // Hands the established connection to a Qt socket, which owns a second
  // descriptor of it from then on. 0, or the code of the failure.
  int HandTo(QTcpSocket& socket) const;
  // The connection ended by a reset (the peer aborted it, or no longer knew
  // it) rather than by the peer's orderly close.
  bool EndedByReset() const;
  // Hands bytes straight to the system's send buffer, without blocking: how
  // many it took (0 when it took none, or on any failure, which is then left
  // for the Qt socket's own send to report).
  qint64 SendNow(const char* data, qint64 size) const;

 private:
  qintptr fd_ = -1;  // a descriptor on POSIX, a SOCKET handle on Windows
  void* connectEvent_ = nullptr;  // Windows: the event the connect's end is recorded in
};

}  // namespace zelvo
