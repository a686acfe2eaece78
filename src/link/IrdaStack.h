#pragma once
// The IrDA stack seen by the IrDA socket: one interface, three backends.
//
//   Linux     family 23 sockets (kernels without IrDA refuse them with
//             EAFNOSUPPORT, reported as 10047)
//   Windows   Winsock family 26 (built on Windows only)
//   simulated src/sim/irda: devices in range, IAS attributes, injected errors
//
// Every code returned is a Winsock code (0 = success). Every operation and
// every notification runs on the main thread.
//
// The process has one current stack, read when a socket is created; tests, the
// simulator and --simulate install the simulated stack before creating a link.

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

namespace zelvo {

namespace irda {
inline constexpr int kAddressFamily = 26;  // AF_IRDA as the program names it
inline constexpr int kMaxDevices = 10;     // room in one device list
inline constexpr int kDeviceNameSize = 22;
// Option level and options of IrLMP (SOL_IRLMP, IRLMP_...), named so that
// they never meet the platform's macros of the same values.
inline constexpr int kSolIrlmp = 255;
inline constexpr int kIrlmpEnumDevices = 16;
inline constexpr int kIrlmpIasQuery = 18;
inline constexpr int kIrlmpIrlptMode = 21;
inline constexpr int kIrlmp9WireMode = 22;
inline constexpr int kIrlmpTinyTpMode = 23;
// IAS attribute types.
inline constexpr int kIasAttribNone = 0;
inline constexpr int kIasAttribInt = 1;
inline constexpr int kIasAttribOctetSeq = 2;
inline constexpr int kIasAttribStr = 3;
inline constexpr int kIasOctetsMax = 1024;
}  // namespace irda

// One device in range (the 29-byte device entry).
struct IrdaDeviceEntry {
  quint32 deviceId = 0;
  QByteArray name;  // at most 22 bytes
  quint8 hints1 = 0;
  quint8 hints2 = 0;
  quint8 charSet = 0;
};

// One IAS attribute value.
struct IasAttribute {
  int type = irda::kIasAttribNone;
  qint32 integer = 0;
  QByteArray octets;  // octet sequence (or string) value, at most 1024 bytes
};

// Records exchanged with Winsock, written and read byte by byte so that their
// sizes are the ones the component passes, whatever the sizes of the platform
// headers' structures (integers little-endian, as the platform keeps them).
namespace irda {
// Device list: count (4), then device entries of 29 bytes: identifier (4),
// name (22), hints 1, hints 2, character set.
inline constexpr int kDeviceEntrySize = 29;
inline constexpr int kDeviceListSize = 4 + kMaxDevices * kDeviceEntrySize;  // 294
// IAS query, passed with its whole length: identifier (4), class name (64,
// zero-terminated), attribute name (256, zero-terminated), attribute type (4),
// value: integer (4), octet sequence length (4) and octets, or user string
// length (4), character set (4) and characters.
inline constexpr int kIasQuerySize = 1385;
inline constexpr int kIasClassNameAt = 4;
inline constexpr int kIasClassNameSize = 64;
inline constexpr int kIasAttribNameAt = 68;
inline constexpr int kIasAttribNameSize = 256;
inline constexpr int kIasAttribTypeAt = 324;
inline constexpr int kIasValueAt = 328;  // integer, or the length of a sequence
inline constexpr int kIasOctetsAt = 332;
inline constexpr int kIasUserStringAt = 336;
inline constexpr int kIasUserStringMax = 256;
// Socket address: family (2, 26), identifier (4), service name (25,
// zero-terminated).
inline constexpr int kSocketAddressSize = 31;
inline constexpr int kServiceNameAt = 6;
inline constexpr int kServiceNameSize = 25;

// An IAS query for one attribute of one class on a device; names too long
// for their fields are cut so that the terminating zero stays.
QByteArray EncodeIasQuery(quint32 deviceId, const QByteArray& className, const QByteArray& attribute);
// The attribute of an answered query. Lengths beyond the field or the buffer
// are cut to what is there; a short buffer yields no attribute.
IasAttribute DecodeIasQuery(const QByteArray& query);
QByteArray EncodeSocketAddress(quint32 deviceId, const QByteArray& serviceName);
// length: the bytes the platform filled. count: the number it reported; the
// entries are those that fit in length (at most kMaxDevices).
QList<IrdaDeviceEntry> DecodeDeviceList(const QByteArray& list, int length, quint32& count);
}  // namespace irda

// What a socket reports; implemented by the IrDA socket component.
class IrdaSocketEvents {
 public:
  virtual ~IrdaSocketEvents() = default;
  // A pending connect ended: 0 connected, else the Winsock code.
  virtual void IrdaConnectDone(int error) = 0;
  // Bytes are waiting to be received.
  virtual void IrdaReadable() = 0;
  // Everything written has left the send buffer.
  virtual void IrdaSendDone() = 0;
  // The peer closed or the link was lost (0 = orderly close).
  virtual void IrdaClosedByPeer(int error) = 0;
};

// One stream socket of the IrDA family. Destroying it closes it; no
// notification follows, also when destroyed from inside a notification.
class IrdaSocket {
 public:
  virtual ~IrdaSocket() = default;
  // Registers for read, write, connect and close notifications. 0 or code.
  virtual int StartNotifications() = 0;
  // Sets IRLMP_IRLPT_MODE, IRLMP_9WIRE_MODE or IRLMP_TINYTP_MODE. 0 or code.
  virtual int SetModeOption(int option, int value) = 0;
  // Linger on close. 0 or code.
  virtual int SetLinger(bool on, int seconds) = 0;
  // Discovery. count: the number the stack reported; entries: at most
  // capacity of them. 0 or code.
  virtual int EnumerateDevices(int capacity, quint32& count, QList<IrdaDeviceEntry>& entries) = 0;
  // IAS query of one attribute of one class on a device. 0 or code; a missing
  // attribute is success with type IAS_ATTRIB_NO_ATTRIBUTE.
  virtual int IasQuery(quint32 deviceId, const QByteArray& className, const QByteArray& attribute,
                       IasAttribute& value) = 0;
  // Dials a service. 0 connected now; 10035 pending (IrdaConnectDone
  // follows); any other code: refused.
  virtual int Connect(quint32 deviceId, const QByteArray& serviceName) = 0;
  // Writes; the count taken, or -1 with error set.
  virtual qint64 Send(const QByteArray& data, int& error) = 0;
  // Takes every byte waiting (empty when none); error set on failure.
  virtual QByteArray Receive(int& error) = 0;
  // Nothing written is still waiting to leave.
  virtual bool AllSent() const = 0;
};

class IrdaStack {
 public:
  virtual ~IrdaStack() = default;
  virtual QString Name() const = 0;
  // A stream socket; nullptr with error set when the stack refuses one
  // (10047 when the system has no IrDA). events outlives the socket.
  virtual std::unique_ptr<IrdaSocket> CreateSocket(IrdaSocketEvents* events, int& error) = 0;
};

// "no IrDA stack on this system (CODE TEXT)" for the Winsock code a stack
// refused sockets with (0: the code is not known).
QString NoIrdaStackText(int code);

// The stack of this platform (Linux or Windows).
IrdaStack& PlatformIrdaStack();
// The current stack (the platform's until another is installed).
IrdaStack* CurrentIrdaStack();
// Installs a stack (nullptr: back to the platform's); returns the previous
// one. The caller keeps ownership.
IrdaStack* SetIrdaStack(IrdaStack* stack);

class ScopedIrdaStack {
 public:
  explicit ScopedIrdaStack(IrdaStack* stack) : previous_(SetIrdaStack(stack)) {}
  ~ScopedIrdaStack() { SetIrdaStack(previous_); }
  ScopedIrdaStack(const ScopedIrdaStack&) = delete;
  ScopedIrdaStack& operator=(const ScopedIrdaStack&) = delete;

 private:
  IrdaStack* previous_;
};

}  // namespace zelvo
