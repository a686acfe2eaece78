#include "support/PrivateNetwork.h"

#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>

#include "core/MessagePump.h"

namespace zelvo::test {
namespace {

QString IpProgram() {
  static const QString ip =
      QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
  return ip;
}

QString NetnsInode() { return QFileInfo(QStringLiteral("/proc/thread-self/ns/net")).symLinkTarget(); }

bool Fail(QString* why, const QString& reason) {
  *why = reason;
  return false;
}

QByteArray IpOutput(const QStringList& arguments) {
  QProcess ip;
  ip.start(IpProgram(), arguments);
  ip.waitForFinished(10000);
  return ip.readAllStandardOutput();
}

// Lines of a /proc/net table of this thread's namespace, split at blanks.
QList<QList<QByteArray>> NetTable(const char* name) {
  QFile file(QStringLiteral("/proc/thread-self/net/") + QLatin1String(name));
  QList<QList<QByteArray>> rows;
  if (!file.open(QIODevice::ReadOnly)) return rows;
  for (const QByteArray& line : file.readAll().split('\n')) rows << line.simplified().split(' ');
  return rows;
}

}  // namespace

bool EnterPrivateNetwork(QString* why) {
  if (geteuid() != 0) return Fail(why, QStringLiteral("needs root to make a private network namespace"));
  if (IpProgram().isEmpty()) return Fail(why, QStringLiteral("the ip command (iproute2) is missing"));
  const QString before = NetnsInode();
  if (unshare(CLONE_NEWNET) != 0)
    return Fail(why, QStringLiteral("cannot make a private network namespace: %1").arg(std::strerror(errno)));
  if (before.isEmpty() || NetnsInode() == before)
    return Fail(why, QStringLiteral("the private network namespace could not be confirmed"));
  return Ip({{"link", "set", "lo", "up"}}, why);
}

bool Ip(std::initializer_list<QStringList> commands, QString* why) {
  for (const QStringList& arguments : commands) {
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(IpProgram(), arguments);
    if (!ip.waitForFinished(10000) || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0)
      return Fail(why, QStringLiteral("ip %1: %2").arg(arguments.join(' '), QString::fromUtf8(ip.readAll().trimmed())));
  }
  return true;
}

bool SetBroadcastRoute(const QString& device, bool on, QString* why) {
  return Ip({{"route", on ? "add" : "del", "255.255.255.255/32", "dev", device}}, why);
}

bool WaitUntilRunning(const QString& device, QString* why) {
  // The kernel announces every change of a link on a routing socket: the
  // device is looked at again each time one comes, not at a pace.
  const int events = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
  sockaddr_nl groups{};
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_LINK;
  if (events < 0 || ::bind(events, reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0) {
    if (events >= 0) ::close(events);
    return Fail(why, QStringLiteral("cannot watch the links: %1").arg(std::strerror(errno)));
  }
  QSocketNotifier notifier(events, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [events] {
    char buffer[8192];
    while (::recv(events, buffer, sizeof buffer, 0) > 0) {
    }
  });
  // "state UP" once the kernel has taken the carrier in; its queue is
  // attached at the same time ("noop" until then).
  const auto running = [&] {
    const QByteArray shown = IpOutput({"-o", "link", "show", "dev", device});
    return shown.contains(" state UP ") && !shown.contains(" qdisc noop ");
  };
  const bool up = WaitUntil(running, 10000);
  ::close(events);
  return up || Fail(why, device + QStringLiteral(" did not come up"));
}

qint64 UdpDatagramsArrived() {
  // Each protocol's heading line ("Ip: Forwarding DefaultTTL ..."), then the
  // same with the values. A datagram counts as it is delivered to UDP, whether
  // a socket takes it or not: all IP deliveries but the ICMP messages and the
  // broadcasts nobody listens for (this namespace's own, looped back).
  const QList<QList<QByteArray>> rows = NetTable("snmp");
  const auto counter = [&rows](const QByteArray& protocol, const char* name) -> qint64 {
    for (qsizetype i = 0; i + 1 < rows.size(); ++i)
      if (rows[i].value(0) == protocol && rows[i + 1].value(0) == protocol) {
        const qsizetype at = rows[i].indexOf(name);
        return at > 0 ? rows[i + 1].value(at).toLongLong() : 0;
      }
    return 0;
  };
  return counter("Ip:", "InDelivers") - counter("Icmp:", "InMsgs") - counter("Udp:", "IgnoredMulti");
}

bool UdpQueuesEmpty() {
  // One socket a line after the heading; its fifth field is "TX:RX" in hexadecimal.
  const QList<QList<QByteArray>> rows = NetTable("udp");
  for (qsizetype i = 1; i < rows.size(); ++i)
    if (rows[i].size() > 4 && rows[i][4].split(':').value(1).toLongLong(nullptr, 16) != 0) return false;
  return true;
}

}  // namespace zelvo::test
