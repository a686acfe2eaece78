#pragma once
// TWIrCOMMSocket: the socket component on the IrDA address family, dialling
// IrCOMM (9-wire) or IrLPT on a device found by EnumerateDevices.
// TIrdaDevicesInfo: the device list of one enumeration.
//
// Failures go through the socket's error path (LastError, then OnError) with
// the operation's failure name in LastErrorOperation().

#include <QByteArray>
#include <memory>
#include <vector>

#include "link/IrdaStack.h"
#include "net/WSocket.h"

namespace zelvo {

class TIrdaDeviceWrapper {
 public:
  explicit TIrdaDeviceWrapper(const IrdaDeviceEntry& entry) : Entry(entry) {}
  IrdaDeviceEntry Entry;
};

class TIrdaDevicesInfo {
 public:
  TIrdaDevicesInfo() = default;
  virtual ~TIrdaDevicesInfo() = default;
  TIrdaDevicesInfo(const TIrdaDevicesInfo&) = delete;
  TIrdaDevicesInfo& operator=(const TIrdaDevicesInfo&) = delete;

  // Appends a copy of entry.
  virtual void Add(const IrdaDeviceEntry& entry);
  int Count() const { return static_cast<int>(devices_.size()); }
  // Copies entry index out; false when there is no such entry.
  virtual bool GetDevice(int index, IrdaDeviceEntry& entry) const;

 private:
  std::vector<std::unique_ptr<TIrdaDeviceWrapper>> devices_;
};

// Linger on close: off (the platform's graceful close), on (wait at most
// LingerTimeout seconds for unsent output), or left as the platform has it.
enum class TSocketLingerOnOff : quint8 { wsLingerOff, wsLingerOn, wsLingerNoSet };

class TWIrCOMMSocket : public TWSocket, private IrdaSocketEvents {
 public:
  explicit TWIrCOMMSocket(QObject* owner = nullptr);
  ~TWIrCOMMSocket() override;

  // Opens a stream socket of the IrDA family in IrLPT mode, applies the
  // linger setting and registers for notifications. True when ready.
  virtual bool CreateIrSocket();
  virtual bool Set9WireMode();
  virtual bool SetLPTMode();
  virtual bool SetTinyTPMode();
  // IAS look-ups on a device.
  virtual bool Supports9Wire(quint32 deviceId);
  virtual bool SupportsLPT(quint32 deviceId);
  virtual bool SupportsTinyTP(quint32 deviceId);
  // Devices in range (all, or those offering IrLPT or IrCOMM); nullptr on
  // failure.
  std::unique_ptr<TIrdaDevicesInfo> EnumerateDevices();

  // Dials DeviceID: IrLPT when offered, else IrCOMM in 9-wire mode.
  void Connect() override;
  int SendText(const QByteArray& text) override;
  QByteArray ReceiveText() override;
  void Flush() override;
  bool AllSent() const override;

  int DeviceCount() const { return deviceCount_; }
  quint32 DeviceID() const { return deviceId_; }
  void SetDeviceID(quint32 id) { deviceId_ = id; }
  bool Is9WireCooked() const { return is9WireCooked_; }
  bool UseAnyDevice() const { return useAnyDevice_; }
  void SetUseAnyDevice(bool any) { useAnyDevice_ = any; }
  // Applied by the next CreateIrSocket.
  TSocketLingerOnOff LingerOnOff() const { return lingerOnOff_; }
  void SetLingerOnOff(TSocketLingerOnOff linger) { lingerOnOff_ = linger; }
  int LingerTimeout() const { return lingerTimeout_; }  // seconds
  void SetLingerTimeout(int seconds) { lingerTimeout_ = seconds; }
  // Service dialled by the last Connect ("IrLPT" or "IrDA:IrCOMM").
  QByteArray ServiceName() const { return serviceName_; }
  int AddressFamily() const { return irda::kAddressFamily; }
  IrdaStack* Stack() const { return stack_; }

  // "Parameters" of IrCOMM: a parameter 0x00 (service type) whose first value
  // byte has any of the bits 0x07 set. Walks the list without leaving it.
  static bool ParametersOffer9Wire(const QByteArray& parameters);

 private:
  bool SetMode(int option, const char* name);
  bool Query(const char* failureName, quint32 deviceId, const QByteArray& className, const QByteArray& attribute,
             IasAttribute& value);
  void DropSocket();
  void EndSession(int error) override;

  void IrdaConnectDone(int error) override;
  void IrdaReadable() override;
  void IrdaSendDone() override;
  void IrdaClosedByPeer(int error) override;

  IrdaStack* stack_;
  std::unique_ptr<IrdaSocket> socket_;
  int deviceCount_ = 0;
  quint32 deviceId_ = 0;
  bool is9WireCooked_ = false;
  bool useAnyDevice_ = false;
  QByteArray serviceName_;
  TSocketLingerOnOff lingerOnOff_ = TSocketLingerOnOff::wsLingerOff;
  int lingerTimeout_ = 0;
};

}  // namespace zelvo
