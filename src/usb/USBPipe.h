#pragma once
// USB device access: TUSBDevice, TUSBPipe, TUSBDevThread.
//
// A TUSBDevice finds the present devices of one device kind (DeviceType ->
// interface-class GUID -> DeviceList), opens the chosen one (writing
// DeviceName reads its configuration descriptor and creates one TUSBPipe per
// endpoint of its first interface), opens and closes all pipes together
// (Connect / Disconnect) and runs one receive thread, TUSBDevThread, that
// reads every input pipe and writes every output pipe in turn.
//
// What the dock uses:
//   DeviceType / SetDeviceType     device kind; setting it refreshes DeviceList
//   DeviceList, RefreshDeviceList  present devices of that kind
//   DeviceName / SetDeviceName     choose one (refused while connected)
//   Connect, Disconnect, IsConnected
//   Halted / SetHalted             Connect sets it; nothing moves until cleared
//   OnPipeData(Sender, Pipe, Count) bytes waiting on an input pipe (main thread)
//   Pipes(n)->SendData(bytes)      queue bytes on an output pipe
//   Pipes(n)->ReadData()           take every byte received on an input pipe
//
// Threads: everything here runs on the main thread except the receive-thread
// operations marked so. Events are always raised on the main thread; the
// receive thread hands them over by a blocking cross-thread call
// (UseWindowsMsgs false: it waits until the handlers have run) or a queued
// invocation (true). A main-thread wait on the receive thread (SendData on a
// busy pipe, Disconnect, choosing another device) lets a receive thread that
// is blocked on the very notification being handled go on, so nothing
// deadlocks; stopping the thread (destruction) aborts any such wait.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QUuid>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/CrossThreadCall.h"
#include "core/Events.h"
#include "usb/UsbBackend.h"

namespace zelvo {

using TOnPipeData = std::function<void(QObject* sender, int pipe, int count)>;
using TOnPipeError = std::function<void(QObject* sender, int pipe, int error)>;
using TOnOpenPipeError =
    std::function<void(QObject* sender, int pipe, int error, const QString& pipePath)>;

// Packet size chosen for the pipes; the ordinal is the property value.
enum TPacketSize : std::uint8_t { szAuto = 0, sz64, sz128, sz256, sz512, sz1024 };

// "Error(" code ") - " followed by the system's message text.
QString UsbErrorText(const UsbBackend& backend, int code);

class TUSBDevice;

// Index of a configuration descriptor: where each descriptor starts in the
// 256-byte buffer (-1: empty slot).
struct DescriptorIndex {
  static constexpr int kSlots = 9;
  std::array<int, kSlots> interfaces;  // interface descriptors, by interface number
  std::array<int, kSlots> endpoints;   // endpoints of the last interface walked
  std::array<int, kSlots> firstInterfaceEndpoints;  // endpoints of interface 0
  int firstInterfaceEndpointCount = 0;  // as declared by interface 0
  bool usable = false;  // interface 0 and all of its endpoints are in the buffer
  QString problem;      // what was wrong with the descriptor, if anything
  DescriptorIndex() {
    interfaces.fill(-1);
    endpoints.fill(-1);
    firstInterfaceEndpoints.fill(-1);
  }
};

// Walks the descriptor: configuration at offset 0, its total length at offset
// 2; then each interface followed by its endpoints. Never reads outside the
// buffer or writes outside the 9 + 9 slots, and always ends. A total length
// above 256 is cut to 256; interfaces beyond the ninth and endpoints beyond
// the ninth of an interface are passed over unrecorded.
DescriptorIndex IndexConfigDescriptor(const DescriptorBuffer& buffer);

// One endpoint of the chosen device, opened as its own file.
class TUSBPipe : public QObject {
 public:
  static constexpr int kTransferBufferSize = 4096;  // one read, one write
  static constexpr int kGatherLimit = 512;           // no further read once exceeded
  static constexpr int kMaxReadsPerService = 11;
  static constexpr int kOutputPiece = 64;            // bytes written per service
  static constexpr int kMaxEmptyWrites = 8;          // writes of 0 bytes before giving up a piece
  // Error code reported for a transfer on a pipe that is not open.
#ifdef _WIN32
  static constexpr int kErrorNotOpen = 6;  // ERROR_INVALID_HANDLE
#else
  static constexpr int kErrorNotOpen = EBADF;
#endif

  // owner may be null (tests); the backend must outlive the pipe.
  TUSBPipe(TUSBDevice* owner, UsbBackend& backend);
  ~TUSBPipe() override;

  QString DeviceName() const;
  void SetDeviceName(const QString& path);
  int PipeNumber() const { return pipe_number_; }
  // Stores n and sets TransferSize to the endpoint's maximum packet size.
  void SetPipeNumber(int n);
  bool IsInput() const { return (endpoint_descriptor_[2] & 0x80) != 0; }
  int InputTrigger() const { return input_trigger_; }
  void SetInputTrigger(int count) { input_trigger_ = count; }
  int InputBufferCount() const { return input_count_; }
  int OutputBufferCount() const { return output_count_; }
  bool IsOpen() const { return is_open_; }
  // The open pipe tells the receive thread when a read has something for it.
  bool AnnouncesArrivals() const { return is_open_ && announces_arrivals_; }
  int TransferSize() const { return transfer_size_; }
  void SetTransferSize(int size) { transfer_size_ = size; }
  // The 7-byte endpoint descriptor and the byte after it.
  QByteArray EndpointDescriptor() const;
  void SetEndpointDescriptor(const QByteArray& bytes);  // first 8 bytes, zero-filled
  // wMaxPacketSize as declared.
  int MaxPacketSize() const { return endpoint_descriptor_[4] | (endpoint_descriptor_[5] << 8); }
  // Request size used for transfers: the maximum packet size, kept inside the
  // 4096-byte transfer buffers (a declared size of 0 counts as 64).
  int PacketSizeForTransfers() const;
  int LastError() const { return last_error_; }
  QString ErrorText() const;

  TOnPipeData OnData;            // receive thread
  TOnPipeError OnError;          // receive thread, or main thread from SendData
  TOnOpenPipeError OnOpenError;  // the thread calling OpenAction

  // Opens the pipe unless already open; returns IsOpen.
  bool OpenAction();
  void ClosePipe();
  // Main thread. Waits while the previous bytes are still being written, then
  // hands the first count bytes of data to the receive thread. Returns count
  // (at most data's size), or -1 when the pipe is not open, or when the
  // previous bytes cannot be written: the pipe closed or the device stopped
  // being connected under the wait, or not one byte of them went out for
  // TUSBDevice::SendStallMs.
  int SendData(const QByteArray& data, int count);
  int SendData(const QByteArray& data) { return SendData(data, static_cast<int>(data.size())); }
  // Main thread. Takes every received byte.
  QByteArray ReadData();

  // Receive-thread operations; repeat calls are safe. A failed transfer is
  // reported once, through OnPumpingError, by the step that finds it.
  // Services an input pipe: returns the bytes read, or -1 when reading failed.
  int PullData();
  // Services an output pipe: returns the bytes written.
  int PushData();
  // Gathers up to 11 reads (stops once more than 512 bytes): returns their
  // count, or < 0 when the pipe is not open or a read failed (what was
  // gathered is dropped).
  int RecvData(QByteArray& data);
  // Writes count bytes in chunks of the packet size; bytes written or -1.
  int WriteData(const QByteArray& data, int count);
  // One read of at most length bytes: returns the count, or -1 (reported).
  int FReadUSBDevFile(int length, QByteArray& out);
  // One write of count bytes: returns the count written, or -1 (reported).
  int FWriteUSBDeviceFile(const std::uint8_t* data, int count);
  std::unique_ptr<UsbPipeFile> FOpenUSBDeviceFile(const QString& devicePath, int n);
  // The pipe's one error path: raises OnError (pipe, PipeNumber, LastError)
  // and writes the diagnostic, on the thread that found the failure.
  void OnPumpingError();

 private:
  TUSBDevice* device_;
  UsbBackend& backend_;
  std::atomic<int> pipe_number_{0};
  std::atomic<int> input_count_{0};
  std::atomic<int> output_count_{0};
  std::atomic<int> input_trigger_{0};
  std::array<std::uint8_t, 8> endpoint_descriptor_{};
  std::atomic<int> last_error_{0};
  std::atomic<int> transfer_size_{0};
  std::atomic<bool> is_open_{false};
  std::atomic<bool> announces_arrivals_{false};

  mutable std::mutex name_mutex_;
  QString device_name_;

  std::mutex io_mutex_;  // the pipe file and the transfer buffers
  std::unique_ptr<UsbPipeFile> file_;
  std::array<std::uint8_t, kTransferBufferSize> read_buffer_{};
  std::array<std::uint8_t, kTransferBufferSize> write_buffer_{};

  std::mutex input_mutex_;  // InputBuffer and its count
  QByteArray input_buffer_;
  std::mutex output_mutex_;  // the one-slot mailbox
  QByteArray output_buffer_;
};

class TUSBDevThread : public QThread {
 public:
  explicit TUSBDevThread(TUSBDevice* owner);
  ~TUSBDevThread() override;  // stops the thread and waits for its end

 protected:
  void run() override { Execute(); }
  virtual void Execute();

 private:
  TUSBDevice* device_;
};

class TUSBDevice : public QObject {
 public:
  static constexpr int kMaxPipes = 8;
  static constexpr int kMaxEndpoints = 7;
  static constexpr int kPipeDataMessage = 0x401;  // WM_USER + 1
  static constexpr int kDisconnectWaitMs = 5000;
  // Least time of a cycle that moved nothing, unless every input pipe
  // announces its arrivals (then the thread sleeps until one arrives).
  static constexpr int kIdleCycleMs = 5;
  // How long SendData waits for a mailbox whose bytes do not move at all.
  static constexpr int kSendStallMs = 10000;

  // Uses the backend current at construction for its whole life.
  explicit TUSBDevice(QObject* owner = nullptr);
  ~TUSBDevice() override;

  // Device path of the chosen device. Writing it reads the descriptor and
  // creates the pipes; the operator is told when that fails. While connected
  // the choice cannot change: another path is refused (false, and a
  // diagnostic) and the connected device keeps its pipes. Returns whether the
  // path is the chosen device with its pipes.
  QString DeviceName() const;
  bool SetDeviceName(const QString& path);

  TOnPipeData OnPipeData;
  TOnPipeData DebugOnPipeData;  // raised just before OnPipeData
  TOnPipeError OnPipeError;     // a pipe failed and the device list cannot be refreshed
  TOnOpenPipeError OnOpenPipeError;
  TNotifyEvent OnDeviceRemoved;  // the open device has gone from the bus

  TPacketSize ReceiveBufferSize() const;
  // Takes the ordinal (low seven bits); ordinals above 5 change nothing.
  void SetReceiveBufferSize(int ordinal);
  int PacketSize() const { return packet_size_; }

  QStringList DeviceList() const;  // any thread
  bool IsConnected() const { return connected_; }
  int DeviceType() const { return device_type_; }
  // Stores the kind (one byte), takes its class GUID (ordinals above 4 take
  // ordinal 4's) and refreshes DeviceList.
  void SetDeviceType(int deviceType);
  QUuid InterfaceGuid() const;
  bool UseWindowsMsgs() const { return use_windows_msgs_; }
  void SetUseWindowsMsgs(bool value) { use_windows_msgs_ = value; }
  // The object that receives posted pipe-data notifications.
  QObject* Handle() { return this; }

  bool Halted() const { return halted_; }
  void SetHalted(bool halted);
  bool DisconnectRequested() const { return disconnect_requested_; }

  // Rebuilds DeviceList; false when the enumeration could not run. Main or
  // receive thread.
  bool RefreshDeviceList();
  // Opens every pipe; true when connected. Leaves Halted set.
  bool Connect();
  // Asks the receive thread to close the pipes and waits for it; true only when
  // a disconnect was already pending.
  bool Disconnect();

  TUSBPipe* Pipes(int n) const;
  int PipeCount() const { return pipe_count_; }

  const DescriptorBuffer& Descriptor() const { return descriptor_; }
  const DescriptorIndex& Index() const { return index_; }
  UsbBackend& Backend() const { return backend_; }
  int LastError() const { return last_error_; }
  QString ErrorText() const { return UsbErrorText(backend_, last_error_); }

  // Pause after a successful Connect before the connection counts (500 ms).
  void SetConnectSettleMs(int ms) { connect_settle_ms_ = ms; }
  int SendStallMs() const { return send_stall_ms_; }
  void SetSendStallMs(int ms) { send_stall_ms_ = ms; }

  // Main thread, from inside a wait: the receive thread, blocked while its
  // data notification runs, goes on (its later notifications run from the
  // wait's message handling). Repeat calls are safe.
  void ReleaseBlockedDelivery();

  bool ReadDescriptors();
  void CreatePipes();
  void ClosePipes();
  void FreePipes();

 private:
  friend class TUSBPipe;
  friend class TUSBDevThread;
  // What one service of every pipe did.
  struct Cycle {
    int moved = 0;                // bytes read and written
    bool failed = false;          // a read failed
    bool inputsAnnounce = true;   // every input pipe announces its arrivals
    bool unreadInput = false;     // bytes wait that the owner has not taken
  };

  // Pipe event handlers.
  void HandlePipeData(int pipe, int count);  // receive thread
  void HandlePipeError(int pipe, int error);
  void HandleOpenPipeError(int pipe, int error, const QString& path);
  void DeliverPipeData(int pipe, int count);  // main thread
  void WndProc(int message);                  // main thread

  void WaitThreadOutsideCycle();      // main thread
  void NotifyStateWaiters();          // any thread
  void WakeMainThread();              // any thread
  void WakeThread();                  // any thread: bytes were queued for sending
  void InputArrived();                // any thread: an input pipe has something to read
  bool ServicesPipes() const;         // connected, and the thread is not stopping
  bool OnReceiveThread() const;
  void SetConnected(bool connected);
  void RequestStop();
  // One service of every pipe.
  Cycle ThreadCall(const std::array<TUSBPipe*, kMaxPipes>& pipes, int count);

  UsbBackend& backend_;
  std::atomic<int> last_pipe_{0};
  std::atomic<int> last_error_{0};
  std::atomic<int> last_count_{0};
  QString last_path_;

  mutable std::mutex data_mutex_;  // name, GUID, device list
  QString device_name_;
  QUuid interface_guid_;
  QStringList device_list_;

  DescriptorBuffer descriptor_{};
  DescriptorIndex index_;

  std::unique_ptr<TUSBDevThread> thread_;
  std::array<TUSBPipe*, kMaxPipes> pipes_{};
  std::atomic<int> pipe_count_{0};
  std::atomic<int> packet_size_{8};
  std::atomic<std::uint8_t> device_type_{0};
  std::atomic<bool> use_windows_msgs_{false};
  int connect_settle_ms_ = 500;
  std::atomic<int> send_stall_ms_{kSendStallMs};

  // Shared with the receive thread; changed under state_mutex_ so that the
  // thread's waits see every change.
  std::mutex state_mutex_;
  std::condition_variable state_cv_;
  std::atomic<bool> connected_{false};
  std::atomic<bool> halted_{false};
  std::atomic<bool> disconnect_requested_{false};
  std::atomic<bool> stop_{false};
  bool in_cycle_ = false;
  bool output_posted_ = false;
  bool input_arrived_ = false;

  // The receive thread's events, run on the main thread while it waits.
  CrossThreadCall main_thread_calls_;
};

}  // namespace zelvo
