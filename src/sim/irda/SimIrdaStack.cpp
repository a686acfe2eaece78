#include "sim/irda/SimIrdaStack.h"

#include <QTimer>

#include "net/SocketErrors.h"

namespace zelvo::sim {

QByteArray NineWireParameters() {
  // Service type (0x00): 9-wire (0x04); port type (0x01): serial.
  return QByteArray::fromHex("000104" "010101");
}

// The host side of one socket; shared so that queued deliveries can tell
// whether the socket still exists.
struct SimSocketCore {
  IrdaSocketEvents* events = nullptr;
  QByteArray received;
  int unsent = 0;
  bool sessionUp = false;
  quint32 device = 0;
  SimIrdaPeer* peer = nullptr;
  SimConnection* connection = nullptr;
};

class SimConnection final : public SimIrdaConnection {
 public:
  SimConnection(SimIrdaStack* stack, std::weak_ptr<SimSocketCore> core) : stack_(stack), core_(std::move(core)) {}

  void SendToHost(const QByteArray& block) override {
    if (!stack_ || core_.expired()) return;
    std::weak_ptr<SimSocketCore> weak = core_;
    QTimer::singleShot(0, stack_->pump_.get(), [weak, block] {
      std::shared_ptr<SimSocketCore> core = weak.lock();
      if (!core || !core->sessionUp) return;
      core->received.append(block);
      core->events->IrdaReadable();
    });
  }

  void CloseFromPeer() override { Drop(0, false); }

  // Ends the session from the far side: the host hears of it later.
  void Drop(int error, bool tellPeer) {
    std::shared_ptr<SimSocketCore> core = core_.lock();
    core_.reset();
    if (!core || !core->sessionUp || !stack_) return;
    core->sessionUp = false;
    core->connection = nullptr;
    SimIrdaPeer* peer = core->peer;
    std::weak_ptr<SimSocketCore> weak = core;
    QTimer::singleShot(0, stack_->pump_.get(), [weak, error] {
      if (std::shared_ptr<SimSocketCore> c = weak.lock()) c->events->IrdaClosedByPeer(error);
    });
    if (tellPeer && peer) peer->SessionClosed();
  }

  void Detach() { core_.reset(); }

  SimIrdaStack* stack_;
  std::weak_ptr<SimSocketCore> core_;
};

class SimIrdaSocket final : public IrdaSocket {
 public:
  SimIrdaSocket(SimIrdaStack* stack, IrdaSocketEvents* events) : stack_(stack), core_(std::make_shared<SimSocketCore>()) {
    core_->events = events;
    stack_->sockets_.append(this);
    ++stack_->socketsOpen_;
  }

  ~SimIrdaSocket() override {
    if (stack_) {
      stack_->sockets_.removeAll(this);
      --stack_->socketsOpen_;
    }
    if (core_->sessionUp) {
      core_->sessionUp = false;
      if (core_->connection) core_->connection->Detach();
      if (core_->peer) core_->peer->SessionClosed();
    }
  }

  void StackGone() { stack_ = nullptr; }
  quint32 SessionDevice() const { return core_->sessionUp ? core_->device : 0; }
  bool SessionUp() const { return core_->sessionUp; }
  SimConnection* Connection() const { return core_->connection; }

  int StartNotifications() override { return Fail(SimIrdaOp::AsyncSelect); }

  int SetModeOption(int option, int) override {
    switch (option) {
      case irda::kIrlmpIrlptMode: return Fail(SimIrdaOp::SetLPTMode);
      case irda::kIrlmp9WireMode: return Fail(SimIrdaOp::Set9WireMode);
      case irda::kIrlmpTinyTpMode: return Fail(SimIrdaOp::SetTinyTPMode);
      default: return wsa::ENOPROTOOPT_;
    }
  }

  int SetLinger(bool, int) override { return 0; }

  int EnumerateDevices(int capacity, quint32& count, QList<IrdaDeviceEntry>& entries) override {
    count = 0;
    entries.clear();
    if (!stack_) return wsa::ENETDOWN_;
    ++stack_->enumerations_;
    if (stack_->OnEnumerate) {
      auto hook = stack_->OnEnumerate;
      hook();
    }
    if (!stack_) return wsa::ENETDOWN_;
    if (const int code = Fail(SimIrdaOp::Enumerate)) return code;
    count = static_cast<quint32>(stack_->devices_.size());
    for (const SimIrdaDevice& d : stack_->devices_) {
      if (entries.size() >= capacity) break;
      IrdaDeviceEntry e;
      e.deviceId = d.deviceId;
      e.name = d.name.left(irda::kDeviceNameSize);
      e.hints1 = d.hints1;
      e.hints2 = d.hints2;
      e.charSet = d.charSet;
      entries.append(e);
    }
    return 0;
  }

  int IasQuery(quint32 deviceId, const QByteArray& className, const QByteArray& attribute,
               IasAttribute& value) override {
    value = {};
    if (const int code = Fail(SimIrdaOp::IasQuery)) return code;
    const SimIrdaDevice* d = stack_ ? stack_->Find(deviceId) : nullptr;
    if (!d) return wsa::ETIMEDOUT_;  // nobody answers
    if (className == "IrLPT" && attribute == "IrDA:IrLMP:LsapSel" && d->irlptLsapSel) {
      value.type = irda::kIasAttribInt;
      value.integer = *d->irlptLsapSel;
    } else if (className == "IrDA:IrCOMM" && attribute == "Parameters" && d->ircommParameters) {
      value.type = irda::kIasAttribOctetSeq;
      value.octets = d->ircommParameters->left(irda::kIasOctetsMax);
    } else if (className == "IrDA:IrCOMM" && attribute == "IrDA:TinyTP:LsapSel" && d->tinyTpLsapSel) {
      value.type = irda::kIasAttribInt;
      value.integer = *d->tinyTpLsapSel;
    }
    return 0;
  }

  int Connect(quint32 deviceId, const QByteArray& serviceName) override {
    if (!stack_) return wsa::ENETDOWN_;
    if (core_->sessionUp) return wsa::EISCONN_;
    if (const int code = Fail(SimIrdaOp::Connect)) return code;
    stack_->lastService_ = serviceName;
    stack_->lastDevice_ = deviceId;
    if (!stack_->Find(deviceId)) return wsa::ETIMEDOUT_;
    if (stack_->connectDelayMs_ < 0) {
      OpenSession(deviceId);
      return 0;
    }
    std::weak_ptr<SimSocketCore> weak = core_;
    SimIrdaSocket* self = this;
    QTimer::singleShot(stack_->connectDelayMs_, stack_->pump_.get(), [weak, self, deviceId] {
      std::shared_ptr<SimSocketCore> core = weak.lock();
      if (!core) return;  // the socket is gone, and self with it
      int code = self->Fail(SimIrdaOp::ConnectCompletion);
      if (!code && !(self->stack_ && self->stack_->Find(deviceId))) code = wsa::ETIMEDOUT_;
      if (!code) self->OpenSession(deviceId);
      core->events->IrdaConnectDone(code);
    });
    return wsa::EWOULDBLOCK_;
  }

  qint64 Send(const QByteArray& data, int& error) override {
    error = 0;
    if (!core_->sessionUp || !stack_) {
      error = wsa::ENOTCONN_;
      return -1;
    }
    if ((error = Fail(SimIrdaOp::Send))) return -1;
    stack_->hostWrites_.append(data);
    ++core_->unsent;
    stack_->maxUnsent_ = qMax(stack_->maxUnsent_, core_->unsent);
    std::weak_ptr<SimSocketCore> weak = core_;
    QTimer::singleShot(qMax(0, stack_->sendDelayMs_), stack_->pump_.get(), [weak, data] {
      std::shared_ptr<SimSocketCore> core = weak.lock();
      if (!core) return;
      --core->unsent;
      if (core->sessionUp && core->peer) core->peer->HostWrote(data);
      if (core->unsent == 0) core->events->IrdaSendDone();
    });
    return data.size();
  }

  QByteArray Receive(int& error) override {
    error = 0;
    QByteArray out;
    out.swap(core_->received);
    return out;
  }

  bool AllSent() const override { return core_->unsent == 0; }

 private:
  friend class SimIrdaStack;

  int Fail(SimIrdaOp op) {
    if (!stack_) return wsa::ENETDOWN_;
    return stack_->TakeError(op).value_or(0);
  }

  void OpenSession(quint32 deviceId) {
    const SimIrdaDevice* d = stack_->Find(deviceId);
    core_->sessionUp = true;
    core_->device = deviceId;
    core_->peer = d ? d->peer : nullptr;
    auto connection = std::make_unique<SimConnection>(stack_, core_);
    core_->connection = connection.get();
    stack_->connections_.push_back(std::move(connection));
    if (core_->peer) core_->peer->SessionOpened(core_->connection);
  }

  SimIrdaStack* stack_;
  std::shared_ptr<SimSocketCore> core_;
};

SimIrdaStack::SimIrdaStack() : pump_(std::make_unique<QObject>()) {}

SimIrdaStack::~SimIrdaStack() {
  for (SimIrdaSocket* s : sockets_) s->StackGone();
  for (auto& c : connections_) c->stack_ = nullptr;
}

std::unique_ptr<IrdaSocket> SimIrdaStack::CreateSocket(IrdaSocketEvents* events, int& error) {
  error = TakeError(SimIrdaOp::CreateSocket).value_or(0);
  if (error) return nullptr;
  ++socketsCreated_;
  return std::make_unique<SimIrdaSocket>(this, events);
}

void SimIrdaStack::AddDevice(const SimIrdaDevice& device) {
  RemoveDevice(device.deviceId);
  devices_.append(device);
}

void SimIrdaStack::RemoveDevice(quint32 id) {
  for (SimIrdaSocket* s : QList<SimIrdaSocket*>(sockets_))
    if (s->SessionUp() && s->SessionDevice() == id && s->Connection()) s->Connection()->Drop(wsa::ECONNRESET_, true);
  for (qsizetype i = devices_.size() - 1; i >= 0; --i)
    if (devices_[i].deviceId == id) devices_.removeAt(i);
}

void SimIrdaStack::ClearDevices() {
  while (!devices_.isEmpty()) RemoveDevice(devices_.first().deviceId);
}

void SimIrdaStack::InjectError(SimIrdaOp op, int code, int times) { errors_[op] = {code, times}; }

void SimIrdaStack::ClearErrors() { errors_.clear(); }

std::optional<int> SimIrdaStack::TakeError(SimIrdaOp op) {
  auto it = errors_.find(op);
  if (it == errors_.end()) return std::nullopt;
  const int code = it->second.first;
  if (it->second.second > 0 && --it->second.second == 0) errors_.erase(it);
  return code;
}

const SimIrdaDevice* SimIrdaStack::Find(quint32 id) const {
  for (const SimIrdaDevice& d : devices_)
    if (d.deviceId == id) return &d;
  return nullptr;
}

bool SimIrdaStack::SessionUp(quint32 id) const {
  for (SimIrdaSocket* s : sockets_)
    if (s->SessionUp() && s->SessionDevice() == id) return true;
  return false;
}

}  // namespace zelvo::sim
