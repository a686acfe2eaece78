// Windows IrDA backend: Winsock sockets of address family 26 (AF_IRDA),
// notifications through an event object watched by the event loop.
// clang-format off
#include <winsock2.h>
#include <af_irda.h>
// clang-format on

#include <QObject>
#include <QTimer>
#include <QWinEventNotifier>
#include <cstddef>
#include <cstring>

#include "link/IrdaStack.h"
#include "net/SocketErrors.h"
#include "net/Winsock.h"

namespace zelvo {

namespace {

// The records are built byte by byte (IrdaStack.h); their fields must sit
// where the platform's structures have them.
static_assert(offsetof(IAS_QUERY, irdaClassName) == irda::kIasClassNameAt);
static_assert(offsetof(IAS_QUERY, irdaAttribName) == irda::kIasAttribNameAt);
static_assert(offsetof(IAS_QUERY, irdaAttribType) == irda::kIasAttribTypeAt);
static_assert(offsetof(IAS_QUERY, irdaAttribute) == irda::kIasValueAt);
static_assert(sizeof(IAS_QUERY) <= irda::kIasQuerySize);
static_assert(offsetof(SOCKADDR_IRDA, irdaDeviceID) == 2);
static_assert(offsetof(SOCKADDR_IRDA, irdaServiceName) == irda::kServiceNameAt);
static_assert(sizeof(SOCKADDR_IRDA) >= irda::kSocketAddressSize);
static_assert(sizeof(IRDA_DEVICE_INFO) == irda::kDeviceEntrySize);

class WindowsIrdaSocket final : public IrdaSocket {
 public:
  WindowsIrdaSocket(SOCKET s, IrdaSocketEvents* events) : socket_(s), events_(events), context_(new QObject) {}

  ~WindowsIrdaSocket() override {
    *alive_ = false;
    if (notifier_) {
      notifier_->setEnabled(false);
      notifier_->disconnect();
    }
    context_->deleteLater();  // the notifier may be running this very moment
    if (socket_ != INVALID_SOCKET) {
      WSAEventSelect(socket_, nullptr, 0);
      closesocket(socket_);
    }
    if (event_ != WSA_INVALID_EVENT) WSACloseEvent(event_);
  }

  int StartNotifications() override {
    event_ = WSACreateEvent();
    if (event_ == WSA_INVALID_EVENT) return WSAGetLastError();
    if (WSAEventSelect(socket_, event_, FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE) == SOCKET_ERROR)
      return WSAGetLastError();
    notifier_ = new QWinEventNotifier(event_, context_);
    QObject::connect(notifier_, &QWinEventNotifier::activated, context_, [this] { OnEvent(); });
    return 0;
  }

  int SetModeOption(int option, int value) override {
    int v = value;
    if (setsockopt(socket_, SOL_IRLMP, option, reinterpret_cast<const char*>(&v), sizeof v) == SOCKET_ERROR)
      return WSAGetLastError();
    return 0;
  }

  int SetLinger(bool on, int seconds) override {
    linger l;
    l.l_onoff = on ? 1 : 0;
    l.l_linger = static_cast<u_short>(qBound(0, seconds, 65535));
    if (setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l) == SOCKET_ERROR)
      return WSAGetLastError();
    return 0;
  }

  int EnumerateDevices(int capacity, quint32& count, QList<IrdaDeviceEntry>& entries) override {
    count = 0;
    entries.clear();
    // The 294-byte device list, its count preset to 0; capacity is at most
    // the ten entries it holds.
    QByteArray list(irda::kDeviceListSize, '\0');
    int len = static_cast<int>(list.size());
    if (getsockopt(socket_, SOL_IRLMP, IRLMP_ENUMDEVICES, list.data(), &len) == SOCKET_ERROR)
      return WSAGetLastError();
    entries = irda::DecodeDeviceList(list, len, count);
    if (entries.size() > capacity) entries.resize(qMax(0, capacity));
    return 0;
  }

  int IasQuery(quint32 deviceId, const QByteArray& className, const QByteArray& attribute,
               IasAttribute& value) override {
    // The 1385-byte query buffer, passed with that length.
    QByteArray query = irda::EncodeIasQuery(deviceId, className, attribute);
    int len = static_cast<int>(query.size());
    value = {};
    if (getsockopt(socket_, SOL_IRLMP, IRLMP_IAS_QUERY, query.data(), &len) == SOCKET_ERROR)
      return WSAGetLastError();
    value = irda::DecodeIasQuery(query);
    return 0;
  }

  int Connect(quint32 deviceId, const QByteArray& serviceName) override {
    // The 31-byte IrDA socket address, copied into storage aligned for it.
    const QByteArray record = irda::EncodeSocketAddress(deviceId, serviceName);
    alignas(SOCKADDR_IRDA) char address[sizeof(SOCKADDR_IRDA)] = {};
    std::memcpy(address, record.constData(), static_cast<size_t>(record.size()));
    if (connect(socket_, reinterpret_cast<const sockaddr*>(address), irda::kSocketAddressSize) == 0) return 0;
    return WSAGetLastError();  // 10035 while the connect goes on
  }

  qint64 Send(const QByteArray& data, int& error) override {
    error = 0;
    pending_.append(data);
    Drain(error);
    return error ? -1 : data.size();
  }

  QByteArray Receive(int& error) override {
    error = 0;
    QByteArray out;
    char chunk[4096];
    for (;;) {
      const int n = recv(socket_, chunk, sizeof chunk, 0);
      if (n > 0) {
        out.append(chunk, n);
        continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) error = WSAGetLastError();
      break;
    }
    return out;
  }

  bool AllSent() const override { return pending_.isEmpty(); }

 private:
  void Drain(int& error) {
    while (!pending_.isEmpty()) {
      const int n = send(socket_, pending_.constData(), static_cast<int>(pending_.size()), 0);
      if (n > 0) {
        pending_.remove(0, n);
        continue;
      }
      if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) break;  // FD_WRITE follows
      error = WSAGetLastError();
      pending_.clear();
      break;
    }
  }

  void OnEvent() {
    WSANETWORKEVENTS happened;
    if (WSAEnumNetworkEvents(socket_, event_, &happened) == SOCKET_ERROR) return;
    std::shared_ptr<bool> alive = alive_;
    if (happened.lNetworkEvents & FD_CONNECT) {
      events_->IrdaConnectDone(happened.iErrorCode[FD_CONNECT_BIT]);
      if (!*alive) return;
    }
    if (happened.lNetworkEvents & FD_READ) {
      events_->IrdaReadable();
      if (!*alive) return;
    }
    if (happened.lNetworkEvents & FD_WRITE) {
      int error = 0;
      Drain(error);
      if (error) {
        events_->IrdaClosedByPeer(error);
        return;
      }
      if (pending_.isEmpty()) events_->IrdaSendDone();
      if (!*alive) return;
    }
    if (happened.lNetworkEvents & FD_CLOSE) events_->IrdaClosedByPeer(happened.iErrorCode[FD_CLOSE_BIT]);
  }

  SOCKET socket_;
  IrdaSocketEvents* events_;
  QObject* context_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  WSAEVENT event_ = WSA_INVALID_EVENT;
  QWinEventNotifier* notifier_ = nullptr;
  QByteArray pending_;
};

class WindowsIrdaStack final : public IrdaStack {
 public:
  QString Name() const override { return QStringLiteral("Winsock IrDA (family 26)"); }
  std::unique_ptr<IrdaSocket> CreateSocket(IrdaSocketEvents* events, int& error) override {
    error = 0;
    if (!StartWinsock()) {
      error = WSANOTINITIALISED;
      return nullptr;
    }
    const SOCKET s = socket(AF_IRDA, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
      error = WSAGetLastError();
      return nullptr;
    }
    return std::make_unique<WindowsIrdaSocket>(s, events);
  }
};

}  // namespace

IrdaStack& PlatformIrdaStack() {
  static WindowsIrdaStack stack;
  return stack;
}

}  // namespace zelvo

