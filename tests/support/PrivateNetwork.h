#pragma once
// A private network for tests that broadcast, or need routes of their own:
// the calling thread leaves its network namespace for a new, empty one
// (unshare -n) and checks that it did, so that nothing it or the programs it
// starts send can reach any other network. Veth pairs joined to it are set up
// with the ip command (iproute2). Linux and root only; every call says why it
// failed.

#include <QString>
#include <QStringList>
#include <initializer_list>

namespace zelvo::test {

// Leaves the current network namespace for a new one, confirms the change and
// brings the loopback up. On false nothing may be sent; why says what failed
// (no root, no ip command, no namespace).
bool EnterPrivateNetwork(QString* why);

// Runs ip with each argument list in turn, stopping at the first that fails
// (its output goes to why).
bool Ip(std::initializer_list<QStringList> commands, QString* why);

// The route that takes limited broadcasts (255.255.255.255) out of device.
bool SetBroadcastRoute(const QString& device, bool on, QString* why);

// Waits until device carries traffic: operationally up, its queue attached.
// The bound only catches a device that never comes up.
bool WaitUntilRunning(const QString& device, QString* why);

// UDP datagrams that reached this namespace so far (read, waiting, dropped
// with their socket or refused for want of one); and whether no socket holds
// any unread. Together they tell when every datagram sent to this namespace
// has been taken.
qint64 UdpDatagramsArrived();
bool UdpQueuesEmpty();

}  // namespace zelvo::test
