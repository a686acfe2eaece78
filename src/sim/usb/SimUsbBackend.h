#pragma once
// Simulated USB bus with dock devices, for tests and the simulator.
//
// SimUsbBackend is a UsbBackend: install it (ScopedUsbBackend / SetUsbBackend)
// before creating a TUSBDevice. Its input pipes behave like the libusb
// backend's: a read is always pending, an idle read comes back at once with 0
// bytes, and every arrival (a queued packet, a read fault, the unplug) is
// announced to the host. Switched to timed reads, an idle read instead waits
// for the read time-out (a blocking driver) or returns at once unannounced
// (time-out 0, the Windows dock driver). Devices are added with an interface class and
// a configuration descriptor (any bytes, malformed ones included) and can be
// unplugged. Per pipe, the far side queues packets for the host to read and
// sees what the host wrote, either recorded or through a callback. Faults are
// named and set per device: a pipe that cannot be opened, reads or writes that
// fail, writes that move nothing, a descriptor request that fails, a device
// that cannot be opened.
//
// Everything here is thread-safe: the host side is called from the device's
// receive thread, the far side from the test or the simulated dock.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "usb/UsbBackend.h"

namespace zelvo::sim {

// One endpoint of a descriptor made by BuildConfigDescriptor.
struct SimEndpoint {
  std::uint8_t address = 0x81;  // bit 7 set: device to host (input pipe)
  std::uint16_t maxPacketSize = 64;
  std::uint8_t attributes = 0x02;  // bulk
};

// Configuration descriptor with one interface holding the given endpoints.
QByteArray BuildConfigDescriptor(const std::vector<SimEndpoint>& endpoints);
// The dock's layout: pipe 0 data out, 1 data in, 2 control in, 3 control out.
std::vector<SimEndpoint> DockEndpoints(std::uint16_t maxPacketSize = 64);

class SimUsbDevice {
 public:
  SimUsbDevice(QString path, QUuid interfaceClass, QByteArray descriptor);

  QString Path() const { return path_; }
  QUuid InterfaceClass() const { return interface_class_; }
  QByteArray Descriptor() const;
  // Bytes returned by the descriptor request (the first 256 are used).
  void SetDescriptor(const QByteArray& descriptor);

  // --- far side ---
  // One packet for the host's next read of the pipe.
  void QueuePacket(int pipe, const QByteArray& packet);
  // data cut into packets of packetSize bytes (the last may be shorter).
  void QueueData(int pipe, const QByteArray& data, int packetSize);
  int QueuedPackets(int pipe) const;
  // Called on the host's thread for every write, after it was recorded.
  std::function<void(int pipe, const QByteArray& bytes)> OnHostWrite;
  // Every write of the host, one entry per transfer.
  QList<QByteArray> Writes(int pipe) const;
  QByteArray Written(int pipe) const;  // all writes joined
  void ClearWrites();
  // Writes are recorded unless switched off (a long-running simulator uses
  // OnHostWrite instead).
  void SetRecordWrites(bool record);
  // Order of host transfers: "R<n>" for a read that returned data, "W<n>:<count>".
  QStringList Log() const;
  int ReadCount(int pipe) const;  // reads of the pipe, idle ones included
  bool IsPipeOpen(int pipe) const;
  int OpenPipeCount() const;

  // --- faults (errno values) ---
  void FailPipeOpen(int pipe, int error);  // 0 clears
  void FailReads(int pipe, int error);     // 0 clears
  void FailWrites(int pipe, int error);    // 0 clears
  void SetEmptyWrites(int pipe, int count);  // the next count writes move 0 bytes
  // Writes wait until released or the device is unplugged (a device that
  // does not take its data).
  void StallWrites(int pipe, bool stall);
  void FailOpen(int error);                // the device cannot be opened
  void FailDescriptor(int error);          // the descriptor request fails
  bool Unplugged() const;

  // Host side, used by the backend's pipe files.
  int HostRead(int pipe, std::uint8_t* data, int length, int timeoutMs, int* error);
  int HostWrite(int pipe, const std::uint8_t* data, int length, int* error);
  void HostOpened(int pipe, bool open);
  // Called, from the far side's thread, whenever the pipe's next read has
  // something new; nullptr stops it. Never runs after it was replaced.
  void HostAnnounce(int pipe, std::function<void()> arrived);

 private:
  friend class SimUsbBackend;
  void Unplug();

  struct Pipe {
    std::deque<QByteArray> packets;
    QList<QByteArray> writes;
    int reads = 0;
    int openCount = 0;
    int failOpen = 0;
    int failReads = 0;
    int failWrites = 0;
    int emptyWrites = 0;
    bool stallWrites = false;
  };
  Pipe& At(int pipe);  // under mutex_
  const Pipe* Find(int pipe) const;
  void Announce(int pipe);  // not under mutex_
  void AnnounceAll();

  const QString path_;
  const QUuid interface_class_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  QByteArray descriptor_;
  std::map<int, Pipe> pipes_;
  QStringList log_;
  bool record_writes_ = true;
  bool unplugged_ = false;
  int fail_open_ = 0;
  int fail_descriptor_ = 0;

  // Taken while an announcement runs and while one is replaced, so that none
  // runs after its pipe file has gone.
  std::mutex announce_mutex_;
  std::map<int, std::function<void()>> announcers_;
};

class SimUsbBackend : public UsbBackend {
 public:
  static constexpr int kDefaultReadTimeoutMs = 10;

  SimUsbBackend();
  ~SimUsbBackend() override;

  // Adds a device; path defaults to "sim:<n>#{GUID}".
  std::shared_ptr<SimUsbDevice> AddDevice(const QUuid& interfaceClass, const QByteArray& descriptor,
                                          const QString& path = {});
  // A dock of the given kind with the four dock pipes.
  std::shared_ptr<SimUsbDevice> AddDock(int deviceType = tpKovaExpress, std::uint16_t maxPacketSize = 64);
  std::shared_ptr<SimUsbDevice> Device(const QString& path) const;
  // Takes the device off the bus: it leaves every listing, open pipes fail
  // with ENODEV, new opens with ENOENT.
  void Unplug(const QString& path);

  // The enumeration cannot run at all (ListDevices gives nothing).
  void SetEnumerationAvailable(bool available);
  // Timed reads (false): an idle read waits ReadTimeoutMs before coming back
  // with 0 bytes, and nothing is announced. Default true: pending reads that
  // announce arrivals. Applies to pipes opened afterwards.
  void SetAnnounceArrivals(bool announce);
  bool AnnouncesArrivals() const;
  void SetReadTimeoutMs(int ms);
  int ReadTimeoutMs() const;
  int ListCount() const;  // enumerations so far

  std::optional<QStringList> ListDevices(const QUuid& interfaceClass) override;
  int ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer, bool* opened) override;
  std::unique_ptr<UsbPipeFile> OpenPipe(const QString& devicePath, int pipe, int* error) override;
  QString ErrorMessage(int code) const override;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<SimUsbDevice>> devices_;
  bool enumeration_ = true;
  bool announce_arrivals_ = true;
  int read_timeout_ms_ = kDefaultReadTimeoutMs;
  int next_ = 1;
  int lists_ = 0;
};

}  // namespace zelvo::sim
