#pragma once
// TUSBDevice and its receive thread, TUSBDevThread.
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

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QUuid>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/CrossThreadCall.h"
#include "core/Events.h"
#include "usb/UsbBackend.h"
#include "usb/UsbConfigDescriptor.h"
#include "usb/UsbDevicePipe.h"

namespace zelvo {

// Packet size chosen for the pipes; the ordinal is the property value.
enum TPacketSize : std::uint8_t { szAuto = 0, sz64, sz128, sz256, sz512, sz1024 };

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
  // How long one pass of a main-thread wait sleeps at most; the receive thread
  // wakes it as soon as the awaited change happens.
  static constexpr int kMainWaitSliceMs = 50;

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
