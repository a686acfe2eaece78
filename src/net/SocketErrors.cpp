#include "net/SocketErrors.h"

#include <cerrno>

namespace zelvo {

QString WinsockErrorText(int code) {
  switch (code) {
    case 0: return QStringLiteral("No Error");
    case 10004: return QStringLiteral("Interrupted system call");
    case 10009: return QStringLiteral("Bad file number");
    case 10013: return QStringLiteral("Permission denied");
    case 10014: return QStringLiteral("Bad address");
    case 10022: return QStringLiteral("Invalid argument");
    case 10024: return QStringLiteral("Too many open files");
    case 10035: return QStringLiteral("Operation would block");
    case 10036: return QStringLiteral("Operation now in progress");
    case 10037: return QStringLiteral("Operation already in progress");
    case 10038: return QStringLiteral("Socket operation on non-socket");
    case 10039: return QStringLiteral("Destination address required");
    case 10040: return QStringLiteral("Message too long");
    case 10041: return QStringLiteral("Protocol wrong type for socket");
    case 10042: return QStringLiteral("Protocol not available");
    case 10043: return QStringLiteral("Protocol not supported");
    case 10044: return QStringLiteral("Socket type not supported");
    case 10045: return QStringLiteral("Operation not supported on socket");
    case 10046: return QStringLiteral("Protocol family not supported");
    case 10047: return QStringLiteral("Address family not supported by protocol family");
    case 10048: return QStringLiteral("Address already in use");
    case 10049: return QStringLiteral("Address not available");
    case 10050: return QStringLiteral("Network is down");
    case 10051: return QStringLiteral("Network is unreachable");
    case 10052: return QStringLiteral("Network dropped connection on reset");
    case 10053: return QStringLiteral("Connection aborted");
    case 10054: return QStringLiteral("Connection reset by peer");
    case 10055: return QStringLiteral("No buffer space available");
    case 10056: return QStringLiteral("Socket is already connected");
    case 10057: return QStringLiteral("Socket is not connected");
    case 10058: return QStringLiteral("Can't send after socket shutdown");
    case 10059: return QStringLiteral("Too many references: can't splice");
    case 10060: return QStringLiteral("Connection timed out");
    case 10061: return QStringLiteral("Connection refused");
    case 10062: return QStringLiteral("Too many levels of symbolic links");
    case 10063: return QStringLiteral("File name too long");
    case 10064: return QStringLiteral("Host is down");
    case 10065: return QStringLiteral("No route to host");
    case 10066: return QStringLiteral("Directory not empty");
    case 10067: return QStringLiteral("Too many processes");
    case 10068: return QStringLiteral("Too many users");
    case 10069: return QStringLiteral("Disc quota exceeded");
    case 10070: return QStringLiteral("Stale NFS file handle");
    case 10071: return QStringLiteral("Too many levels of remote in path");
    case 10091: return QStringLiteral("Network subsystem is unusable");
    case 10092: return QStringLiteral("Winsock DLL cannot support this application");
    case 10093: return QStringLiteral("Winsock not initialized");
    case 10101: return QStringLiteral("Disconnect");
    case 11001: return QStringLiteral("Host not found");
    case 11002: return QStringLiteral("Non-authoritative host not found");
    case 11003: return QStringLiteral("Non-recoverable error");
    case 11004: return QStringLiteral("Valid name, no data record of requested type");
    default: return QStringLiteral("Unknown Error (%1)").arg(code);
  }
}

int WinsockFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case EINTR: return wsa::EINTR_;
    case EBADF: return wsa::EBADF_;
    case EACCES:
    case EPERM: return wsa::EACCES_;
    case EFAULT: return wsa::EFAULT_;
    case EINVAL: return wsa::EINVAL_;
    case EMFILE:
    case ENFILE: return wsa::EMFILE_;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return wsa::EWOULDBLOCK_;
    case EINPROGRESS: return wsa::EINPROGRESS_;
    case EALREADY: return wsa::EALREADY_;
    case ENOTSOCK: return wsa::ENOTSOCK_;
    case EDESTADDRREQ: return wsa::EDESTADDRREQ_;
    case EMSGSIZE: return wsa::EMSGSIZE_;
    case EPROTOTYPE: return wsa::EPROTOTYPE_;
    case ENOPROTOOPT: return wsa::ENOPROTOOPT_;
    case EPROTONOSUPPORT: return wsa::EPROTONOSUPPORT_;
#ifdef ESOCKTNOSUPPORT
    case ESOCKTNOSUPPORT: return wsa::ESOCKTNOSUPPORT_;
#endif
    case EOPNOTSUPP: return wsa::EOPNOTSUPP_;
#ifdef EPFNOSUPPORT
    case EPFNOSUPPORT: return wsa::EPFNOSUPPORT_;
#endif
    case EAFNOSUPPORT: return wsa::EAFNOSUPPORT_;
    case EADDRINUSE: return wsa::EADDRINUSE_;
    case EADDRNOTAVAIL: return wsa::EADDRNOTAVAIL_;
    case ENETDOWN: return wsa::ENETDOWN_;
    case ENETUNREACH: return wsa::ENETUNREACH_;
    case ENETRESET: return wsa::ENETRESET_;
    case ECONNABORTED: return wsa::ECONNABORTED_;
    case ECONNRESET:
    case EPIPE: return wsa::ECONNRESET_;
    case ENOBUFS:
    case ENOMEM: return wsa::ENOBUFS_;
    case EISCONN: return wsa::EISCONN_;
    case ENOTCONN: return wsa::ENOTCONN_;
#ifdef ESHUTDOWN
    case ESHUTDOWN: return wsa::ESHUTDOWN_;
#endif
    case ETIMEDOUT: return wsa::ETIMEDOUT_;
    case ECONNREFUSED: return wsa::ECONNREFUSED_;
#ifdef EHOSTDOWN
    case EHOSTDOWN: return wsa::EHOSTDOWN_;
#endif
    case EHOSTUNREACH: return wsa::EHOSTUNREACH_;
    default: return wsa::EINVAL_;
  }
}

int WinsockFromQt(QAbstractSocket::SocketError error) {
  using E = QAbstractSocket::SocketError;
  // Every value named, no default: a value Qt adds later is a compiler
  // warning here, not a silent catch-all.
  switch (error) {
    case E::ConnectionRefusedError: return wsa::ECONNREFUSED_;
    case E::RemoteHostClosedError: return wsa::ECONNRESET_;
    case E::HostNotFoundError: return wsa::HOST_NOT_FOUND_;
    case E::SocketAccessError: return wsa::EACCES_;
    case E::SocketResourceError: return wsa::ENOBUFS_;
    case E::SocketTimeoutError: return wsa::ETIMEDOUT_;
    case E::DatagramTooLargeError: return wsa::EMSGSIZE_;
    case E::NetworkError: return wsa::ENETDOWN_;  // Qt names no cause
    case E::AddressInUseError: return wsa::EADDRINUSE_;
    case E::SocketAddressNotAvailableError: return wsa::EADDRNOTAVAIL_;
    case E::UnsupportedSocketOperationError: return wsa::EOPNOTSUPP_;
    case E::UnfinishedSocketOperationError: return wsa::EINPROGRESS_;
    case E::TemporaryError: return wsa::EWOULDBLOCK_;
    case E::OperationError: return wsa::EINVAL_;
    case E::UnknownSocketError: return wsa::EINVAL_;
    // Proxies: what the proxy's failure means for the connection.
    case E::ProxyAuthenticationRequiredError: return wsa::EACCES_;
    case E::ProxyConnectionRefusedError: return wsa::ECONNREFUSED_;
    case E::ProxyConnectionClosedError: return wsa::ECONNRESET_;
    case E::ProxyConnectionTimeoutError: return wsa::ETIMEDOUT_;
    case E::ProxyNotFoundError: return wsa::HOST_NOT_FOUND_;
    case E::ProxyProtocolError: return wsa::EINVAL_;
    // Encrypted sockets only; none here.
    case E::SslHandshakeFailedError:
    case E::SslInternalError:
    case E::SslInvalidUserDataError: return wsa::EINVAL_;
  }
  return wsa::EINVAL_;
}

}  // namespace zelvo
