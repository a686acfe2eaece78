#include "net/NativeTcp.h"

#include <QSocketNotifier>
#include <QTcpSocket>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/SocketErrors.h"

namespace zelvo {

NativeTcpConnection::~NativeTcpConnection() {
  if (fd_ >= 0) ::close(fd_);
}

int NativeTcpConnection::StartConnect(const QHostAddress& address, quint16 port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return WinsockFromErrno(errno);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(address.toIPv4Address());
  int result = 0;
  do {
    result = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (result != 0 && errno == EINTR);
  // Connected at once, or under way: either way the descriptor turns writable.
  if (result == 0 || errno == EINPROGRESS) return 0;
  return WinsockFromErrno(errno);
}

std::unique_ptr<QObject> NativeTcpConnection::WatchConnectEnd(QObject* context, std::function<void()> ended) {
  // The descriptor turns writable when the connect has ended, either way.
  auto watch = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
  QSocketNotifier* notifier = watch.get();
  QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, ended] {
    notifier->setEnabled(false);
    ended();
  });
  return watch;
}

int NativeTcpConnection::TakeConnectResult() {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return WinsockFromErrno(error);
}

int NativeTcpConnection::HandTo(QTcpSocket& socket) const {
  const int shared = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (shared < 0) return WinsockFromErrno(errno);
  if (socket.setSocketDescriptor(shared)) return 0;
  ::close(shared);  // not taken
  return WinsockFromQt(socket.error());
}

bool NativeTcpConnection::EndedByReset() const {
  // After an orderly close by the peer this end waits for its own close
  // (CLOSE_WAIT: the descriptor kept here holds it open); a reset has ended
  // the connection outright.
  tcp_info info{};
  socklen_t length = sizeof info;
  return fd_ >= 0 && ::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_CLOSE;
}

qint64 NativeTcpConnection::SendNow(const char* data, qint64 size) const {
  if (fd_ < 0 || size <= 0) return 0;
  ssize_t sent = 0;
  do {
    sent = ::send(fd_, data, static_cast<size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? 0 : static_cast<qint64>(sent);
}

}  // namespace zelvo
