#include "usb/UsbDevice.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>

#include "core/Diagnostics.h"
#include "core/Dialogs.h"
#include "core/MessagePump.h"

namespace zelvo {

// --- TUSBDevThread ----------------------------------------------------------

TUSBDevThread::TUSBDevThread(TUSBDevice* owner) : device_(owner) {}

TUSBDevThread::~TUSBDevThread() {
  device_->RequestStop();
  wait();
}

void TUSBDevThread::Execute() {
  TUSBDevice& d = *device_;
  using Clock = std::chrono::steady_clock;
  for (;;) {
    std::array<TUSBPipe*, TUSBDevice::kMaxPipes> pipes{};
    int count = 0;
    {
      // Not connected, or Halted: sleep until that changes or we are stopped.
      std::unique_lock lock(d.state_mutex_);
      d.state_cv_.wait(lock, [&d] { return d.stop_ || (d.connected_ && !d.halted_); });
      if (d.stop_) break;
      d.in_cycle_ = true;
      d.input_arrived_ = false;  // what arrives from now on is for this cycle or the next
      pipes = d.pipes_;
      count = d.pipe_count_;
    }
    const Clock::time_point start = Clock::now();
    const TUSBDevice::Cycle cycle = d.ThreadCall(pipes, count);
    if (d.disconnect_requested_) {
      d.ClosePipes();
      {
        std::lock_guard lock(d.state_mutex_);
        d.disconnect_requested_ = false;
        d.halted_ = true;
      }
      d.WakeMainThread();
    }
    {
      std::unique_lock lock(d.state_mutex_);
      d.in_cycle_ = false;
      d.state_cv_.notify_all();
      if (cycle.moved == 0) {
        // Nothing moved. When every input pipe announces its arrivals, sleep
        // until something arrives; otherwise (reads that come back at once,
        // failing reads, unread bytes to announce again) a cycle lasts at
        // least kIdleCycleMs. Bytes queued for sending, a disconnect and a
        // stop end the pause at once.
        const bool untilArrival = cycle.inputsAnnounce && !cycle.failed;
        const auto wake = [&d, untilArrival] {
          return d.stop_ || d.output_posted_ || d.disconnect_requested_ || (untilArrival && d.input_arrived_);
        };
        if (untilArrival && !cycle.unreadInput)
          d.state_cv_.wait(lock, wake);
        else
          d.state_cv_.wait_until(lock, start + std::chrono::milliseconds(TUSBDevice::kIdleCycleMs), wake);
      }
      d.output_posted_ = false;
    }
    std::this_thread::yield();
  }
}

// --- TUSBDevice -------------------------------------------------------------

TUSBDevice::TUSBDevice(QObject* owner)
    : QObject(owner),
      backend_(CurrentUsbBackend()),
      main_thread_calls_(this, QStringLiteral("TUSBDevice - EXCEPTION in an event handler - "),
                         [this] { NotifyStateWaiters(); }) {
  thread_ = std::make_unique<TUSBDevThread>(this);
  thread_->start();
}

TUSBDevice::~TUSBDevice() {
  RequestStop();
  // Joined before the object goes: until its end the thread must still know
  // itself, or a removal it is handling would wait for its own cycle.
  thread_->wait();
  thread_.reset();
  ClosePipes();
  FreePipes();
}

void TUSBDevice::RequestStop() {
  {
    std::lock_guard lock(state_mutex_);
    stop_ = true;
  }
  state_cv_.notify_all();
  main_thread_calls_.Stop();  // a notification waiting for the main thread is dropped
}

bool TUSBDevice::OnReceiveThread() const { return thread_ && QThread::currentThread() == thread_.get(); }

QString TUSBDevice::DeviceName() const {
  std::lock_guard lock(data_mutex_);
  return device_name_;
}

QStringList TUSBDevice::DeviceList() const {
  std::lock_guard lock(data_mutex_);
  return device_list_;
}

QUuid TUSBDevice::InterfaceGuid() const {
  std::lock_guard lock(data_mutex_);
  return interface_guid_;
}

void TUSBDevice::SetDeviceType(int deviceType) {
  device_type_ = static_cast<std::uint8_t>(deviceType);
  {
    std::lock_guard lock(data_mutex_);
    interface_guid_ = DeviceTypeGuid(device_type_);
  }
  RefreshDeviceList();
}

TPacketSize TUSBDevice::ReceiveBufferSize() const {
  switch (packet_size_) {
    case 64: return sz64;
    case 128: return sz128;
    case 256: return sz256;
    case 512: return sz512;
    case 1024: return sz1024;
    default: return szAuto;
  }
}

void TUSBDevice::SetReceiveBufferSize(int ordinal) {
  static const int kSizes[] = {0, 64, 128, 256, 512, 1024};
  ordinal &= 0x7F;
  if (ordinal > sz1024) return;
  packet_size_ = kSizes[ordinal];
  for (int i = 0; i < pipe_count_; ++i)
    if (TUSBPipe* pipe = pipes_[i]) pipe->SetTransferSize(packet_size_ ? packet_size_.load() : pipe->MaxPacketSize());
}

void TUSBDevice::SetHalted(bool halted) {
  {
    std::lock_guard lock(state_mutex_);
    halted_ = halted;
  }
  state_cv_.notify_all();
}

void TUSBDevice::SetConnected(bool connected) {
  {
    std::lock_guard lock(state_mutex_);
    connected_ = connected;
  }
  state_cv_.notify_all();
}

bool TUSBDevice::RefreshDeviceList() {
  const QUuid guid = InterfaceGuid();
  std::optional<QStringList> found;
  try {
    found = backend_.ListDevices(guid);
  } catch (...) {
    found.reset();
  }
  std::lock_guard lock(data_mutex_);
  device_list_ = found.value_or(QStringList());
  return found.has_value();
}

bool TUSBDevice::SetDeviceName(const QString& path) {
  if (IsConnected()) {
    // The pipes are in use (an upload, a send waiting for its mailbox): the
    // connected device stays chosen until it is disconnected.
    const QString connected = DeviceName();
    if (path == connected) return true;
    Diagnostic(QStringLiteral("TUSBDevice.SetDeviceName **ERROR** - connected to \"") + connected +
               QStringLiteral("\", \"") + path + QStringLiteral("\" not chosen!"));
    return false;
  }
  {
    std::lock_guard lock(data_mutex_);
    device_name_ = path;
  }
  if (!ReadDescriptors()) {
    ShowMessage(QStringLiteral("Device Info not found!"));
  } else if (index_.firstInterfaceEndpointCount > kMaxEndpoints) {
    ShowMessage(QStringLiteral("Error too many pipes!"));
  } else {
    CreatePipes();
    return true;
  }
  // The pipes of a previously chosen device do not belong to this one.
  ClosePipes();
  FreePipes();
  return false;
}

bool TUSBDevice::ReadDescriptors() {
  descriptor_.fill(0);
  index_ = DescriptorIndex();
  bool opened = false;
  int error = 0;
  try {
    error = backend_.ReadConfigDescriptor(DeviceName(), descriptor_, &opened);
  } catch (...) {
    if (error == 0) error = EIO;
  }
  if (!opened) {
    last_error_ = error;
    ShowMessage(QStringLiteral("Failed to open device"));
    return false;
  }
  if (error != 0) {
    last_error_ = error;
    Diagnostic(QStringLiteral("TUSBDevice.ReadDescriptors - descriptor request failed, ") + ErrorText());
    return false;
  }
  index_ = IndexConfigDescriptor(descriptor_);
  if (!index_.problem.isEmpty())
    Diagnostic(QStringLiteral("TUSBDevice.ReadDescriptors - malformed configuration descriptor: ") + index_.problem);
  return index_.usable;
}

void TUSBDevice::CreatePipes() {
  ClosePipes();
  FreePipes();
  const int count = std::min(index_.firstInterfaceEndpointCount, kMaxEndpoints);
  if (!index_.usable) return;
  const QString name = DeviceName();
  std::array<TUSBPipe*, kMaxPipes> made{};
  for (int i = 0; i < count; ++i) {
    auto* pipe = new TUSBPipe(this, backend_);
    pipe->SetDeviceName(name);
    const int at = index_.firstInterfaceEndpoints[i];
    QByteArray bytes;
    for (int b = 0; b < 8 && at + b < kDescriptorBufferSize; ++b) bytes.append(static_cast<char>(descriptor_[at + b]));
    pipe->SetEndpointDescriptor(bytes);
    pipe->SetPipeNumber(i);
    pipe->SetTransferSize(packet_size_ ? packet_size_.load() : pipe->MaxPacketSize());
    pipe->OnData = [this](QObject*, int n, int c) { HandlePipeData(n, c); };
    pipe->OnError = [this](QObject*, int n, int e) { HandlePipeError(n, e); };
    pipe->OnOpenError = [this](QObject*, int n, int e, const QString& p) { HandleOpenPipeError(n, e, p); };
    made[i] = pipe;
  }
  std::lock_guard lock(state_mutex_);
  pipes_ = made;
  pipe_count_ = count;
}

void TUSBDevice::ClosePipes() {
  if (pipe_count_ <= 0) return;
  SetConnected(false);
  // No new cycle starts now; let the current one end before closing under it.
  if (!OnReceiveThread()) WaitThreadOutsideCycle();
  for (int i = 0; i < pipe_count_; ++i)
    if (TUSBPipe* pipe = pipes_[i]) pipe->ClosePipe();
}

void TUSBDevice::FreePipes() {
  std::array<TUSBPipe*, kMaxPipes> old{};
  {
    std::lock_guard lock(state_mutex_);
    old = pipes_;
    pipes_.fill(nullptr);
    pipe_count_ = 0;
  }
  for (TUSBPipe* pipe : old) delete pipe;
}

TUSBPipe* TUSBDevice::Pipes(int n) const {
  if (n < 0 || n >= kMaxPipes || n >= pipe_count_) return nullptr;
  return pipes_[n];
}

bool TUSBDevice::Connect() {
  if (IsConnected()) {
    ShowMessage(QStringLiteral("USBDevice already Connected!"));
    return true;
  }
  if (pipe_count_ <= 0) {
    ShowMessage(QStringLiteral("Device has no pipes!"));
    return false;
  }
  SetHalted(true);
  int failures = 0;
  for (int i = 0; i < pipe_count_; ++i)
    if (!pipes_[i]->OpenAction()) ++failures;
  if (failures == 0) {
    ProcessMessages();
    if (connect_settle_ms_ > 0) QThread::msleep(static_cast<unsigned long>(connect_settle_ms_));
    SetConnected(true);
  }
  return IsConnected();
}

bool TUSBDevice::Disconnect() {
  if (IsConnected() && !disconnect_requested_) {
    {
      std::lock_guard lock(state_mutex_);
      halted_ = false;
      disconnect_requested_ = true;
    }
    state_cv_.notify_all();
    // On the receive thread the close follows at the end of its cycle.
    if (OnReceiveThread()) return disconnect_requested_;
    // The receive thread clears the connected flag before it closes the pipes
    // and clears the request after: the request is what tells the close is done.
    const QDeadlineTimer deadline(kDisconnectWaitMs);
    while (disconnect_requested_) {
      if (deadline.hasExpired()) return false;
      ReleaseBlockedDelivery();
      WaitForMessages(static_cast<int>(std::min<qint64>(deadline.remainingTime(), kMainWaitSliceMs)));
    }
  }
  return disconnect_requested_;
}

TUSBDevice::Cycle TUSBDevice::ThreadCall(const std::array<TUSBPipe*, kMaxPipes>& pipes, int count) {
  Cycle cycle;
  for (int i = 0; i < count; ++i) {
    if (stop_) break;
    if (disconnect_requested_) {
      Diagnostic(QStringLiteral("TUSBDevice.ThreadCall ***DISCONNECTING!***"));
      break;
    }
    TUSBPipe* pipe = pipes[i];
    if (!pipe) continue;
    if (pipe->IsInput()) {
      const int n = pipe->PullData();
      if (n < 0) cycle.failed = true;
      else cycle.moved += n;
      cycle.inputsAnnounce = cycle.inputsAnnounce && pipe->AnnouncesArrivals();
      cycle.unreadInput = cycle.unreadInput || pipe->InputBufferCount() > 0;
    } else {
      cycle.moved += pipe->PushData();
    }
  }
  return cycle;
}

void TUSBDevice::HandlePipeData(int pipe, int count) {
  last_pipe_ = pipe;
  last_count_ = count;
  if (!use_windows_msgs_) {
    main_thread_calls_.Run([this, pipe, count] { DeliverPipeData(pipe, count); });
  } else {
    // The posted notification message: handled from the message loop, with the
    // pipe and count stored at the time it runs.
    QMetaObject::invokeMethod(this, [this] { WndProc(kPipeDataMessage); }, Qt::QueuedConnection);
  }
}

void TUSBDevice::DeliverPipeData(int pipe, int count) {
  Raise(DebugOnPipeData, this, pipe, count);
  Raise(OnPipeData, this, pipe, count);
}

void TUSBDevice::WndProc(int message) {
  if (message != kPipeDataMessage) return;
  try {
    DeliverPipeData(last_pipe_, last_count_);
  } catch (...) {
    Diagnostic(QStringLiteral("TUSBDevice.WndProc EXCEPTION - ") + ExceptionText(std::current_exception()));
  }
}

void TUSBDevice::HandlePipeError(int pipe, int error) {
  // A removal already being handled: the pipes are about to close.
  if (disconnect_requested_) return;
  if (RefreshDeviceList()) {
    if (!DeviceList().contains(DeviceName())) {
      Disconnect();
      main_thread_calls_.Run([this] { Raise(OnDeviceRemoved, this); });
    }
    return;
  }
  last_pipe_ = pipe;
  last_error_ = error;
  main_thread_calls_.Run([this, pipe, error] { Raise(OnPipeError, this, pipe, error); });
}

void TUSBDevice::HandleOpenPipeError(int pipe, int error, const QString& path) {
  last_pipe_ = pipe;
  last_error_ = error;
  main_thread_calls_.Run([this, pipe, error, path] { Raise(OnOpenPipeError, this, pipe, error, path); });
}

// --- waiting for the receive thread on the main thread ----------------------

void TUSBDevice::ReleaseBlockedDelivery() { main_thread_calls_.Release(); }

// A notification of the receive thread was queued: a main-thread wait on
// state_cv_ runs it at once. Under the lock, so that a waiter between its
// check and its wait does not miss it.
void TUSBDevice::NotifyStateWaiters() {
  std::lock_guard lock(state_mutex_);
  state_cv_.notify_all();
}

void TUSBDevice::WaitThreadOutsideCycle() {
  ReleaseBlockedDelivery();
  std::unique_lock lock(state_mutex_);
  while (in_cycle_) {
    if (main_thread_calls_.HasPending()) {
      // The thread waits for us: run its notification here.
      lock.unlock();
      main_thread_calls_.RunPending();
      lock.lock();
      continue;
    }
    state_cv_.wait(lock);
  }
}

void TUSBDevice::WakeMainThread() {
  QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);
}

void TUSBDevice::InputArrived() {
  {
    std::lock_guard lock(state_mutex_);
    input_arrived_ = true;
  }
  state_cv_.notify_all();
}

bool TUSBDevice::ServicesPipes() const { return connected_ && !stop_; }

void TUSBDevice::WakeThread() {
  {
    std::lock_guard lock(state_mutex_);
    output_posted_ = true;
  }
  state_cv_.notify_all();
}

}  // namespace zelvo
