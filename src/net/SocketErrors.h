#pragma once
// Socket error codes in the Winsock numbering, with their standard texts.
//
// Every socket of the program (TCP, UDP, IrDA) reports errors as Winsock codes
// (10035 would block, 10047 address family not supported, 10050 network down,
// 10060 timed out, ...). Native codes are mapped here and nowhere else.

#include <QAbstractSocket>
#include <QString>

namespace zelvo {

namespace wsa {
inline constexpr int kNoError = 0;
inline constexpr int EINTR_ = 10004;
inline constexpr int EBADF_ = 10009;
inline constexpr int EACCES_ = 10013;
inline constexpr int EFAULT_ = 10014;
inline constexpr int EINVAL_ = 10022;
inline constexpr int EMFILE_ = 10024;
inline constexpr int EWOULDBLOCK_ = 10035;
inline constexpr int EINPROGRESS_ = 10036;
inline constexpr int EALREADY_ = 10037;
inline constexpr int ENOTSOCK_ = 10038;
inline constexpr int EDESTADDRREQ_ = 10039;
inline constexpr int EMSGSIZE_ = 10040;
inline constexpr int EPROTOTYPE_ = 10041;
inline constexpr int ENOPROTOOPT_ = 10042;
inline constexpr int EPROTONOSUPPORT_ = 10043;
inline constexpr int ESOCKTNOSUPPORT_ = 10044;
inline constexpr int EOPNOTSUPP_ = 10045;
inline constexpr int EPFNOSUPPORT_ = 10046;
inline constexpr int EAFNOSUPPORT_ = 10047;
inline constexpr int EADDRINUSE_ = 10048;
inline constexpr int EADDRNOTAVAIL_ = 10049;
inline constexpr int ENETDOWN_ = 10050;
inline constexpr int ENETUNREACH_ = 10051;
inline constexpr int ENETRESET_ = 10052;
inline constexpr int ECONNABORTED_ = 10053;
inline constexpr int ECONNRESET_ = 10054;
inline constexpr int ENOBUFS_ = 10055;
inline constexpr int EISCONN_ = 10056;
inline constexpr int ENOTCONN_ = 10057;
inline constexpr int ESHUTDOWN_ = 10058;
inline constexpr int ETIMEDOUT_ = 10060;
inline constexpr int ECONNREFUSED_ = 10061;
inline constexpr int EHOSTDOWN_ = 10064;
inline constexpr int EHOSTUNREACH_ = 10065;
inline constexpr int HOST_NOT_FOUND_ = 11001;
}  // namespace wsa

// Standard text of a Winsock code ("No Error" for 0, "Network is down" for
// 10050, ...). Unknown codes give "Unknown Error (code)".
QString WinsockErrorText(int code);

// A POSIX errno value as a Winsock code (0 stays 0; unknown values give 10022).
int WinsockFromErrno(int error);

// A Qt socket error as a Winsock code. Qt's kinds are coarser than the
// native causes (NetworkError stands for an unreachable network or host, a
// time-out, ...; RemoteHostClosedError for a reset and an orderly close
// alike): where the native cause can be had, the TCP socket takes it from the
// native socket instead (NativeTcp.h).
int WinsockFromQt(QAbstractSocket::SocketError error);

}  // namespace zelvo
