#include "net/NativeTcp.h"

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <QTcpSocket>
#include <QWinEventNotifier>

#include "net/SocketErrors.h"
#include "net/Winsock.h"

namespace zelvo {

namespace {

SOCKET Handle(qintptr descriptor) { return static_cast<SOCKET>(descriptor); }

}  // namespace

NativeTcpConnection::~NativeTcpConnection() {
  if (fd_ != -1) ::closesocket(Handle(fd_));
  if (connectEvent_) ::WSACloseEvent(connectEvent_);
}

int NativeTcpConnection::StartConnect(const QHostAddress& address, quint16 port) {
  if (!StartWinsock()) return WSANOTINITIALISED;
  const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return ::WSAGetLastError();
  fd_ = static_cast<qintptr>(s);
  // The connect's end is recorded in an event from before it starts, so that
  // one that ends at once (refused on loopback) is not lost to a watch begun
  // after it; the selection also makes the socket non-blocking.
  connectEvent_ = ::WSACreateEvent();
  if (connectEvent_ == WSA_INVALID_EVENT) {
    connectEvent_ = nullptr;
    return ::WSAGetLastError();
  }
  if (::WSAEventSelect(s, connectEvent_, FD_CONNECT) != 0) return ::WSAGetLastError();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address.toIPv4Address());
  if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
  const int code = ::WSAGetLastError();
  return code == WSAEWOULDBLOCK ? 0 : code;
}

std::unique_ptr<QObject> NativeTcpConnection::WatchConnectEnd(QObject* context, std::function<void()> ended) {
  auto watch = std::make_unique<QWinEventNotifier>(connectEvent_);
  QWinEventNotifier* notifier = watch.get();
  QObject::connect(notifier, &QWinEventNotifier::activated, context, [notifier, ended] {
    notifier->setEnabled(false);
    ended();
  });
  return watch;
}

int NativeTcpConnection::TakeConnectResult() {
  WSANETWORKEVENTS events{};
  if (::WSAEnumNetworkEvents(Handle(fd_), connectEvent_, &events) != 0) return ::WSAGetLastError();
  // Qt's socket takes the notifications from here on: none of ours may stay
  // selected on the socket it shares.
  if (::WSAEventSelect(Handle(fd_), nullptr, 0) != 0) return ::WSAGetLastError();
  if (!(events.lNetworkEvents & FD_CONNECT)) return WSAEWOULDBLOCK;  // not ended after all
  return events.iErrorCode[FD_CONNECT_BIT];
}

int NativeTcpConnection::HandTo(QTcpSocket& socket) const {
  WSAPROTOCOL_INFOW info{};
  if (::WSADuplicateSocketW(Handle(fd_), ::GetCurrentProcessId(), &info) != 0) return ::WSAGetLastError();
  const SOCKET shared = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                                     WSA_FLAG_NO_HANDLE_INHERIT);
  if (shared == INVALID_SOCKET) return ::WSAGetLastError();
  if (socket.setSocketDescriptor(static_cast<qintptr>(shared))) return 0;
  ::closesocket(shared);  // not taken
  return WinsockFromQt(socket.error());
}

bool NativeTcpConnection::EndedByReset() const {
  // A reset stays the socket's error for every later receive; after the
  // peer's orderly close a receive finds the end of the stream (or data Qt has
  // not read yet).
  if (fd_ == -1) return false;
  char byte = 0;
  if (::recv(Handle(fd_), &byte, 1, MSG_PEEK) != SOCKET_ERROR) return false;
  const int code = ::WSAGetLastError();
  return code == WSAECONNRESET || code == WSAECONNABORTED;
}

qint64 NativeTcpConnection::SendNow(const char* data, qint64 size) const {
  if (fd_ == -1 || size <= 0) return 0;
  // Non-blocking since the connect's event selection; a send that would block
  // is left to Qt's socket, which then watches for room itself.
  const int sent = ::send(Handle(fd_), data, static_cast<int>(qMin<qint64>(size, INT_MAX)), 0);
  return sent == SOCKET_ERROR ? 0 : static_cast<qint64>(sent);
}

}  // namespace zelvo
