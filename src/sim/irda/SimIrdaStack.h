#pragma once
// Simulated IrDA stack: devices in range with names, hints and IAS
// attributes; injected errors; connects that complete later; data both ways;
// a peer that closes. Everything happens on the main thread, through the
// event loop, as on a real stack.
//
// Install it with zelvo::SetIrdaStack (or ScopedIrdaStack) before creating the
// link whose socket should use it.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "link/IrdaStack.h"

namespace zelvo::sim {

class SimIrdaConnection {  // given to the peer while a session is up
 public:
  virtual ~SimIrdaConnection() = default;
  // One block, delivered to the host socket as one data notification (later,
  // on the main thread); the peer includes its own leading control byte.
  virtual void SendToHost(const QByteArray& block) = 0;
  // The peer drops the session.
  virtual void CloseFromPeer() = 0;
};

class SimIrdaPeer {  // the far side of a device in range
 public:
  virtual ~SimIrdaPeer() = default;
  virtual void SessionOpened(SimIrdaConnection* connection) = 0;
  // One write of the host, exactly as written (leading 0x00 included).
  virtual void HostWrote(const QByteArray& write) = 0;
  // The host closed.
  virtual void SessionClosed() = 0;
};

struct SimIrdaDevice {
  quint32 deviceId = 0;
  QByteArray name;
  quint8 hints1 = 0, hints2 = 0, charSet = 0;
  // IAS attributes; absent ones are reported missing.
  std::optional<qint32> irlptLsapSel;          // class "IrLPT", "IrDA:IrLMP:LsapSel"
  std::optional<QByteArray> ircommParameters;  // class "IrDA:IrCOMM", "Parameters"
  std::optional<qint32> tinyTpLsapSel;         // class "IrDA:IrCOMM", "IrDA:TinyTP:LsapSel"
  SimIrdaPeer* peer = nullptr;
};

// IrCOMM "Parameters" offering 9-wire service (service type 0x04).
QByteArray NineWireParameters();

enum class SimIrdaOp {
  CreateSocket,       // socket creation ("Connect (socket)")
  AsyncSelect,        // notification registration ("WSAAsyncSelect")
  SetLPTMode,
  Set9WireMode,
  SetTinyTPMode,
  Enumerate,          // device list ("Device enumeration failed (1)")
  IasQuery,
  Connect,            // connect refused at once
  ConnectCompletion,  // a pending connect that ends in failure
  Send
};

class SimIrdaSocket;
class SimConnection;

class SimIrdaStack : public IrdaStack {
 public:
  SimIrdaStack();
  ~SimIrdaStack() override;

  QString Name() const override { return QStringLiteral("simulated IrDA"); }
  std::unique_ptr<IrdaSocket> CreateSocket(IrdaSocketEvents* events, int& error) override;

  // Devices in range, in the order added. Removing a device drops its session.
  void AddDevice(const SimIrdaDevice& device);
  void RemoveDevice(quint32 id);
  void ClearDevices();
  int DeviceCount() const { return static_cast<int>(devices_.size()); }

  // Operation op fails with code, times times (-1: until cleared).
  void InjectError(SimIrdaOp op, int code, int times = -1);
  void ClearErrors();

  // Connect completion: < 0 at once inside Connect; >= 0 after that many ms
  // through the event loop (0: on the next pass).
  void SetConnectDelay(int ms) { connectDelayMs_ = ms; }
  // A host write reaches the peer, and the send buffer empties, after this
  // many ms (0: on the next pass of the event loop).
  void SetSendDelay(int ms) { sendDelayMs_ = ms; }

  // Called at every enumeration, before the list is made (tests use it to
  // move a manual clock, or to bring a device into range).
  std::function<void()> OnEnumerate;

  // Observations.
  int SocketsCreated() const { return socketsCreated_; }
  int SocketsOpen() const { return socketsOpen_; }
  int Enumerations() const { return enumerations_; }
  QByteArray LastServiceName() const { return lastService_; }
  quint32 LastConnectedDevice() const { return lastDevice_; }
  QList<QByteArray> HostWrites() const { return hostWrites_; }
  void ClearHostWrites() { hostWrites_.clear(); }
  // Most host writes ever waiting at once to reach the peer.
  int MaxUnsentWrites() const { return maxUnsent_; }
  // True while a session is up with the device.
  bool SessionUp(quint32 id) const;

 private:
  friend class SimIrdaSocket;
  friend class SimConnection;
  std::optional<int> TakeError(SimIrdaOp op);
  const SimIrdaDevice* Find(quint32 id) const;

  QList<SimIrdaDevice> devices_;
  std::map<SimIrdaOp, std::pair<int, int>> errors_;  // op -> (code, times left)
  int connectDelayMs_ = 0;
  int sendDelayMs_ = 0;
  int socketsCreated_ = 0;
  int socketsOpen_ = 0;
  int enumerations_ = 0;
  QByteArray lastService_;
  quint32 lastDevice_ = 0;
  QList<QByteArray> hostWrites_;
  int maxUnsent_ = 0;
  QList<SimIrdaSocket*> sockets_;
  std::vector<std::unique_ptr<SimConnection>> connections_;
  std::unique_ptr<QObject> pump_;  // context of every delivery
};

}  // namespace zelvo::sim
