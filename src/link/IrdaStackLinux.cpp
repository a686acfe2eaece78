// Linux IrDA backend: sockets of address family 23.
//
// Kernels since 4.17 have no IrDA: socket() fails with EAFNOSUPPORT, which the
// program reports as 10047 and answers by using the IrCOMM virtual serial
// port. On kernels with IrDA, stream sockets speak TinyTP; the IrLPT and
// 9-wire mode options of other stacks have no counterpart there and are
// accepted as they are.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/sockios.h>
#include <unistd.h>

#include "link/IrdaStack.h"
#include "net/SocketErrors.h"

namespace zelvo {

namespace {

// The kernel's IrDA socket interface (linux/irda.h), written here because
// current kernel headers no longer carry it.
namespace kirda {
constexpr int AF_IRDA_ = 23;
constexpr int SOL_IRLMP_ = 266;
constexpr int IRLMP_ENUMDEVICES_ = 1;
constexpr int IRLMP_IAS_QUERY_ = 3;
constexpr int IAS_MISSING_ = 0;
constexpr int IAS_INTEGER_ = 1;
constexpr int IAS_OCT_SEQ_ = 2;
constexpr int IAS_STRING_ = 3;
constexpr int IAS_MAX_CLASSNAME_ = 60;
constexpr int IAS_MAX_ATTRIBNAME_ = 60;
constexpr int IAS_MAX_OCTET_STRING_ = 1024;
constexpr int IAS_MAX_STRING_ = 256;
constexpr unsigned char LSAP_ANY_ = 0xFF;

struct sockaddr_irda {
  sa_family_t sir_family;
  quint8 sir_lsap_sel;
  quint32 sir_addr;
  char sir_name[25];
};
struct irda_device_info {
  quint32 saddr;
  quint32 daddr;
  char info[22];
  quint8 charset;
  quint8 hints[2];
};
struct irda_device_list {
  quint32 len;
  irda_device_info dev[1];
};
struct irda_ias_set {
  char irda_class_name[IAS_MAX_CLASSNAME_];
  char irda_attrib_name[IAS_MAX_ATTRIBNAME_];
  unsigned int irda_attrib_type;
  union {
    unsigned int irda_attrib_int;
    struct {
      unsigned short len;
      quint8 octet_seq[IAS_MAX_OCTET_STRING_];
    } irda_attrib_octet_seq;
    struct {
      quint8 len;
      quint8 charset;
      quint8 string[IAS_MAX_STRING_];
    } irda_attrib_string;
  } attribute;
  quint32 daddr;
};
}  // namespace kirda

int LastCode() { return WinsockFromErrno(errno); }

class LinuxIrdaSocket final : public IrdaSocket {
 public:
  LinuxIrdaSocket(int fd, IrdaSocketEvents* events) : fd_(fd), events_(events), context_(new QObject) {}

  ~LinuxIrdaSocket() override {
    // Notifiers may be running this very moment: silence them now and let the
    // loop delete them.
    *alive_ = false;
    if (read_) {
      read_->setEnabled(false);
      read_->disconnect();
    }
    if (write_) {
      write_->setEnabled(false);
      write_->disconnect();
    }
    context_->deleteLater();
    if (fd_ >= 0) ::close(fd_);
  }

  int StartNotifications() override {
    const int flags = ::fcntl(fd_, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) return LastCode();
    read_ = new QSocketNotifier(fd_, QSocketNotifier::Read, context_);
    write_ = new QSocketNotifier(fd_, QSocketNotifier::Write, context_);
    write_->setEnabled(false);
    QObject::connect(read_, &QSocketNotifier::activated, context_, [this] { OnReadable(); });
    QObject::connect(write_, &QSocketNotifier::activated, context_, [this] { OnWritable(); });
    return 0;
  }

  int SetModeOption(int, int) override { return 0; }

  int SetLinger(bool on, int seconds) override {
    linger l{on ? 1 : 0, seconds};
    return ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : LastCode();
  }

  int EnumerateDevices(int capacity, quint32& count, QList<IrdaDeviceEntry>& entries) override {
    count = 0;
    entries.clear();
    if (capacity < 1) capacity = 1;
    QByteArray buffer(static_cast<int>(sizeof(quint32) + capacity * sizeof(kirda::irda_device_info)) + 8, '\0');
    socklen_t len = static_cast<socklen_t>(buffer.size());
    if (::getsockopt(fd_, kirda::SOL_IRLMP_, kirda::IRLMP_ENUMDEVICES_, buffer.data(), &len) != 0) {
      if (errno == EAGAIN) return 0;  // nobody in range
      return LastCode();
    }
    kirda::irda_device_list list;
    std::memcpy(&list.len, buffer.constData(), sizeof list.len);
    count = list.len;
    const qsizetype room = (len - static_cast<qsizetype>(sizeof(quint32))) /
                           static_cast<qsizetype>(sizeof(kirda::irda_device_info));
    const qsizetype n = qMin<qsizetype>(qMin<qsizetype>(count, capacity), qMax<qsizetype>(0, room));
    for (qsizetype i = 0; i < n; ++i) {
      kirda::irda_device_info info;
      std::memcpy(&info, buffer.constData() + sizeof(quint32) + i * sizeof info, sizeof info);
      IrdaDeviceEntry e;
      e.deviceId = info.daddr;
      e.name = QByteArray(info.info, static_cast<int>(strnlen(info.info, sizeof info.info)));
      e.hints1 = info.hints[0];
      e.hints2 = info.hints[1];
      e.charSet = info.charset;
      entries.append(e);
    }
    return 0;
  }

  int IasQuery(quint32 deviceId, const QByteArray& className, const QByteArray& attribute,
               IasAttribute& value) override {
    kirda::irda_ias_set ias;
    std::memset(&ias, 0, sizeof ias);
    std::strncpy(ias.irda_class_name, className.constData(), sizeof ias.irda_class_name - 1);
    std::strncpy(ias.irda_attrib_name, attribute.constData(), sizeof ias.irda_attrib_name - 1);
    ias.daddr = deviceId;
    socklen_t len = sizeof ias;
    value = {};
    if (::getsockopt(fd_, kirda::SOL_IRLMP_, kirda::IRLMP_IAS_QUERY_, &ias, &len) != 0) {
      if (errno == EADDRNOTAVAIL) return 0;  // no such class or attribute
      return LastCode();
    }
    switch (ias.irda_attrib_type) {
      case kirda::IAS_INTEGER_:
        value.type = irda::kIasAttribInt;
        value.integer = static_cast<qint32>(ias.attribute.irda_attrib_int);
        break;
      case kirda::IAS_OCT_SEQ_: {
        value.type = irda::kIasAttribOctetSeq;
        const int n = qMin<int>(ias.attribute.irda_attrib_octet_seq.len, kirda::IAS_MAX_OCTET_STRING_);
        value.octets = QByteArray(reinterpret_cast<const char*>(ias.attribute.irda_attrib_octet_seq.octet_seq), n);
        break;
      }
      case kirda::IAS_STRING_: {
        value.type = irda::kIasAttribStr;
        const int n = qMin<int>(ias.attribute.irda_attrib_string.len, kirda::IAS_MAX_STRING_);
        value.octets = QByteArray(reinterpret_cast<const char*>(ias.attribute.irda_attrib_string.string), n);
        break;
      }
      case kirda::IAS_MISSING_:
      default: value.type = irda::kIasAttribNone;
    }
    return 0;
  }

  int Connect(quint32 deviceId, const QByteArray& serviceName) override {
    kirda::sockaddr_irda address;
    std::memset(&address, 0, sizeof address);
    address.sir_family = kirda::AF_IRDA_;
    address.sir_lsap_sel = kirda::LSAP_ANY_;
    address.sir_addr = deviceId;
    std::strncpy(address.sir_name, serviceName.constData(), sizeof address.sir_name - 1);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno == EINPROGRESS || errno == EAGAIN) {
      connecting_ = true;
      if (write_) write_->setEnabled(true);
      return wsa::EWOULDBLOCK_;
    }
    return LastCode();
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
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n > 0) {
        out.append(chunk, static_cast<qsizetype>(n));
        continue;
      }
      if (n == 0) {
        ReportClosedLater(0);
      } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        error = LastCode();
      }
      break;
    }
    return out;
  }

  bool AllSent() const override {
    if (!pending_.isEmpty()) return false;
    int queued = 0;
    if (::ioctl(fd_, SIOCOUTQ, &queued) == 0) return queued == 0;
    return true;
  }

 private:
  void Drain(int& error) {
    while (!pending_.isEmpty()) {
      const ssize_t n = ::send(fd_, pending_.constData(), static_cast<size_t>(pending_.size()), MSG_NOSIGNAL);
      if (n > 0) {
        pending_.remove(0, static_cast<qsizetype>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      error = LastCode();
      pending_.clear();
      break;
    }
    if (write_) write_->setEnabled(!pending_.isEmpty() || connecting_);
  }

  void OnReadable() {
    char probe;
    const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK);
    if (n == 0) {
      read_->setEnabled(false);
      events_->IrdaClosedByPeer(0);
      return;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      read_->setEnabled(false);
      events_->IrdaClosedByPeer(LastCode());
      return;
    }
    events_->IrdaReadable();
  }

  void OnWritable() {
    if (connecting_) {
      connecting_ = false;
      int soError = 0;
      socklen_t len = sizeof soError;
      ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len);
      write_->setEnabled(!pending_.isEmpty());
      events_->IrdaConnectDone(WinsockFromErrno(soError));
      return;
    }
    int error = 0;
    Drain(error);
    if (error) {
      events_->IrdaClosedByPeer(error);
      return;
    }
    if (pending_.isEmpty()) events_->IrdaSendDone();
  }

  void ReportClosedLater(int error) {
    if (closeReported_) return;
    closeReported_ = true;
    if (read_) read_->setEnabled(false);
    IrdaSocketEvents* events = events_;
    std::shared_ptr<bool> alive = alive_;
    QTimer::singleShot(0, context_, [events, error, alive] {
      if (*alive) events->IrdaClosedByPeer(error);
    });
  }

  int fd_;
  IrdaSocketEvents* events_;
  QObject* context_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  QSocketNotifier* read_ = nullptr;
  QSocketNotifier* write_ = nullptr;
  QByteArray pending_;
  bool connecting_ = false;
  bool closeReported_ = false;
};

class LinuxIrdaStack final : public IrdaStack {
 public:
  QString Name() const override { return QStringLiteral("Linux IrDA (family 23)"); }
  std::unique_ptr<IrdaSocket> CreateSocket(IrdaSocketEvents* events, int& error) override {
    error = 0;
    const int fd = ::socket(kirda::AF_IRDA_, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      error = LastCode();
      return nullptr;
    }
    return std::make_unique<LinuxIrdaSocket>(fd, events);
  }
};

}  // namespace

IrdaStack& PlatformIrdaStack() {
  static LinuxIrdaStack stack;
  return stack;
}

}  // namespace zelvo

