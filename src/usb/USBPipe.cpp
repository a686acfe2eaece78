#include "usb/USBPipe.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <thread>

#include "core/Diagnostics.h"
#include "core/Dialogs.h"
#include "core/MessagePump.h"

namespace zelvo {

namespace {

// How long one pass of a main-thread wait sleeps at most; the receive thread
// wakes it as soon as the awaited change happens.
constexpr int kMainWaitSliceMs = 50;

QString N(int value) { return QString::number(value); }

}  // namespace

QString UsbErrorText(const UsbBackend& backend, int code) {
  return QStringLiteral("Error(") + N(code) + QStringLiteral(") - ") + backend.ErrorMessage(code);
}

// --- descriptor walk -------------------------------------------------------

DescriptorIndex IndexConfigDescriptor(const DescriptorBuffer& buffer) {
  DescriptorIndex index;
  const auto fail = [&index](const QString& problem) {
    if (index.problem.isEmpty()) index.problem = problem;
  };
  int total = buffer[2] | (buffer[3] << 8);
  if (total > kDescriptorBufferSize) {
    fail(QStringLiteral("total length %1 above %2").arg(total).arg(kDescriptorBufferSize));
    total = kDescriptorBufferSize;
  }
  int offset = buffer[0];
  if (offset == 0) {
    fail(QStringLiteral("configuration descriptor of length 0"));
    return index;
  }
  bool firstComplete = false;
  for (int k = 0; offset < total; ++k) {
    if (k >= DescriptorIndex::kSlots) {
      fail(QStringLiteral("more than %1 interfaces").arg(DescriptorIndex::kSlots));
      break;
    }
    const int length = buffer[offset];
    // The endpoint count (offset 4) must lie inside the descriptor and the
    // descriptor inside the total length.
    if (length < 5 || offset + length > total) {
      fail(QStringLiteral("bad interface descriptor at offset %1").arg(offset));
      break;
    }
    index.interfaces[k] = offset;
    const int declared = buffer[offset + 4];
    if (k == 0) index.firstInterfaceEndpointCount = declared;
    if (declared > DescriptorIndex::kSlots)
      fail(QStringLiteral("interface %1 declares %2 endpoints").arg(k).arg(declared));
    offset += length;
    index.endpoints.fill(-1);
    bool complete = true;
    for (int e = 0; e < declared; ++e) {
      const int elength = offset < total ? buffer[offset] : 0;
      if (elength < 7 || offset + elength > total) {
        fail(QStringLiteral("bad or missing endpoint descriptor %1 of interface %2 at offset %3")
                 .arg(e).arg(k).arg(offset));
        complete = false;
        break;
      }
      if (e < DescriptorIndex::kSlots) {
        index.endpoints[e] = offset;
        if (k == 0) index.firstInterfaceEndpoints[e] = offset;
      }
      offset += elength;
    }
    if (k == 0) firstComplete = complete;
    if (!complete) break;
  }
  index.usable = index.interfaces[0] >= 0 && firstComplete;
  if (index.interfaces[0] < 0) fail(QStringLiteral("no interface descriptor"));
  return index;
}

// --- TUSBPipe ---------------------------------------------------------------

TUSBPipe::TUSBPipe(TUSBDevice* owner, UsbBackend& backend)
    : QObject(owner), device_(owner), backend_(backend) {}

TUSBPipe::~TUSBPipe() { ClosePipe(); }

QString TUSBPipe::DeviceName() const {
  std::lock_guard lock(name_mutex_);
  return device_name_;
}

void TUSBPipe::SetDeviceName(const QString& path) {
  std::lock_guard lock(name_mutex_);
  device_name_ = path;
}

void TUSBPipe::SetPipeNumber(int n) {
  pipe_number_ = n;
  transfer_size_ = MaxPacketSize();
}

QByteArray TUSBPipe::EndpointDescriptor() const {
  return QByteArray(reinterpret_cast<const char*>(endpoint_descriptor_.data()),
                    static_cast<qsizetype>(endpoint_descriptor_.size()));
}

void TUSBPipe::SetEndpointDescriptor(const QByteArray& bytes) {
  endpoint_descriptor_.fill(0);
  const qsizetype n = std::min<qsizetype>(bytes.size(), endpoint_descriptor_.size());
  for (qsizetype i = 0; i < n; ++i) endpoint_descriptor_[i] = static_cast<std::uint8_t>(bytes[i]);
}

int TUSBPipe::PacketSizeForTransfers() const {
  const int size = MaxPacketSize();
  if (size <= 0) return 64;
  return std::min(size, kTransferBufferSize);
}

QString TUSBPipe::ErrorText() const { return UsbErrorText(backend_, last_error_); }

bool TUSBPipe::OpenAction() {
  if (!IsOpen()) {
    std::unique_ptr<UsbPipeFile> file = FOpenUSBDeviceFile(DeviceName(), PipeNumber());
    if (!file) {
      is_open_ = false;
      Diagnostic(QStringLiteral("TUSBPipe.OpenAction **ERROR** - FAILED TO OPEN Pipe ") + N(PipeNumber()));
    } else {
      // An input pipe that announces its arrivals lets the receive thread
      // sleep until there is something to read.
      const bool announces = IsInput() && device_ && file->AnnounceArrivals([device = device_] { device->InputArrived(); });
      std::lock_guard lock(io_mutex_);
      file_ = std::move(file);
      announces_arrivals_ = announces;
      is_open_ = true;
    }
  }
  return IsOpen();
}

std::unique_ptr<UsbPipeFile> TUSBPipe::FOpenUSBDeviceFile(const QString& devicePath, int n) {
  const QString path = PipePath(devicePath, n);
  int error = 0;
  std::unique_ptr<UsbPipeFile> file;
  try {
    file = backend_.OpenPipe(devicePath, n, &error);
  } catch (...) {
    file.reset();
    if (error == 0) error = EIO;
  }
  if (!file) {
    last_error_ = error;
    Raise(OnOpenError, this, n, error, path);
    QString line = QStringLiteral("TUSBPipe.FOpenUSBDeviceFile - Failed to open pipe ") + N(n) +
                   QStringLiteral(": \"") + path + QStringLiteral("\"");
    const QString text = ErrorText();
    if (!text.isEmpty()) line += QStringLiteral(", ") + text;
    Diagnostic(line);
  }
  return file;
}

void TUSBPipe::ClosePipe() {
  if (!IsOpen()) return;
  std::lock_guard lock(io_mutex_);  // waits for a transfer under way
  is_open_ = false;
  std::this_thread::yield();
  file_.reset();
}

int TUSBPipe::SendData(const QByteArray& data, int count) {
  const auto notOpen = [this] {
    last_error_ = kErrorNotOpen;
    OnPumpingError();
    Diagnostic(QStringLiteral("TUSBPipe.SendData **ERROR** - Pipe ") + N(PipeNumber()) + QStringLiteral(" not open!"));
    return -1;
  };
  if (!IsOpen()) return notOpen();
  // The previous bytes are still being written: wait for the mailbox, handling
  // messages meanwhile, as long as the receive thread can still empty it.
  const int stallMs = device_ ? device_->SendStallMs() : TUSBDevice::kSendStallMs;
  int waiting = OutputBufferCount();
  QDeadlineTimer stall(stallMs);
  while (OutputBufferCount() > 0) {
    if (!IsOpen()) return notOpen();  // closed under the wait (unplugged, disconnected)
    const int now = OutputBufferCount();
    if (now != waiting) {
      waiting = now;
      stall.setRemainingTime(stallMs);
    }
    const bool serviced = !device_ || device_->ServicesPipes();
    if (!serviced || stall.hasExpired()) {
      Diagnostic(QStringLiteral("TUSBPipe.SendData **ERROR** - Pipe ") + N(PipeNumber()) +
                 (serviced ? QStringLiteral(": no byte written for ") + N(stallMs) + QStringLiteral(" ms")
                           : QStringLiteral(": the device is not connected")) +
                 QStringLiteral(", ") + N(now) + QStringLiteral(" bytes still waiting, ") + N(count) +
                 QStringLiteral(" not sent!"));
      return -1;
    }
    if (device_) device_->ReleaseBlockedDelivery();
    WaitForMessages(static_cast<int>(std::clamp<qint64>(stall.remainingTime(), 1, kMainWaitSliceMs)));
  }
  if (!IsOpen()) return notOpen();
  count = std::clamp(count, 0, static_cast<int>(data.size()));
  {
    std::lock_guard lock(output_mutex_);
    output_buffer_ = data.left(count);
    output_count_ = count;
  }
  if (device_) device_->WakeThread();
  return count;
}

QByteArray TUSBPipe::ReadData() {
  std::lock_guard lock(input_mutex_);
  QByteArray data = std::move(input_buffer_);
  input_buffer_.clear();
  input_count_ = 0;
  return data;
}

int TUSBPipe::PullData() {
  QByteArray data;
  const int n = RecvData(data);
  if (n == 0) {
    const int waiting = InputBufferCount();
    if (waiting > 0) Raise(OnData, this, PipeNumber(), waiting);
  } else if (n > 0) {
    int count;
    {
      std::lock_guard lock(input_mutex_);
      input_buffer_.append(data);
      input_count_ += n;
      count = input_count_;
    }
    if (count >= InputTrigger()) Raise(OnData, this, PipeNumber(), count);
  } else {
    // Already reported through OnError where the read failed.
    Diagnostic(QStringLiteral("TUSBPipe.PullData **ERROR** - Pipe=") + N(PipeNumber()) + QStringLiteral(", RecvData=") + N(n));
  }
  return n;
}

int TUSBPipe::RecvData(QByteArray& data) {
  data.clear();
  if (!IsOpen()) {
    last_error_ = kErrorNotOpen;
    OnPumpingError();
    Diagnostic(QStringLiteral("TUSBPipe.RecvData **ERROR** - Pipe ") + N(PipeNumber()) + QStringLiteral(" not open!"));
    return -1;
  }
  QByteArray gathered;
  int reads = 0;
  int r = 0;
  do {
    QByteArray piece;
    r = FReadUSBDevFile(PacketSizeForTransfers(), piece);  // reports its own failure
    gathered.append(piece);
    ++reads;
  } while (gathered.size() <= kGatherLimit && r > 0 && reads < kMaxReadsPerService);
  if (gathered.size() > kGatherLimit || reads >= kMaxReadsPerService) {
    Diagnostic(QStringLiteral("TUSBPipe.RecvData - Pipe=") + N(PipeNumber()) + QStringLiteral(", Length/Packets=") +
               N(static_cast<int>(gathered.size())) + QStringLiteral("/") + N(reads) +
               QStringLiteral(" Length or packet count exceeded!"));
  }
  if (r < 0) {
    Diagnostic(QStringLiteral("TUSBPipe.RecvData - Pipe=") + N(PipeNumber()) + QStringLiteral(", n=") + N(r));
    return r;  // what was gathered before is dropped
  }
  data = gathered;
  return static_cast<int>(gathered.size());
}

int TUSBPipe::FReadUSBDevFile(int length, QByteArray& out) {
  out.clear();
  length = std::clamp(length, 0, kTransferBufferSize);
  int r = -1;
  int error = 0;
  std::exception_ptr raised;
  {
    std::lock_guard lock(io_mutex_);
    if (!file_) {
      error = kErrorNotOpen;
    } else {
      try {
        r = file_->Read(read_buffer_.data(), length, &error);
      } catch (...) {
        raised = std::current_exception();
        r = -1;
      }
      if (r >= 0) {
        r = std::min(r, length);
        out = QByteArray(reinterpret_cast<const char*>(read_buffer_.data()), r);
        return r;
      }
    }
  }
  last_error_ = error;
  QString line = QStringLiteral("TUSBPipe.FReadUSBDevFile Windows.ReadFile **ERROR** - Pipe=") + N(PipeNumber()) +
                 QStringLiteral(", Length=") + N(length);
  if (error != 0) line += QStringLiteral(", Error #") + N(error) + QStringLiteral(", ") + ErrorText();
  if (raised) line += QStringLiteral(", EXCEPTION - ") + ExceptionText(raised);
  Diagnostic(line);
  OnPumpingError();
  return -1;
}

int TUSBPipe::PushData() {
  QByteArray piece;
  bool last = false;
  {
    std::lock_guard lock(output_mutex_);
    const int c = output_count_;
    if (c <= 0) return 0;
    if (c > kOutputPiece) {
      piece = output_buffer_.left(kOutputPiece);
      output_buffer_ = output_buffer_.mid(kOutputPiece);
      output_count_ = c - kOutputPiece;
    } else {
      piece = output_buffer_.left(c);
      last = true;
    }
  }
  const int written = WriteData(piece, static_cast<int>(piece.size()));
  if (last) {
    output_count_ = 0;  // the mailbox is free again
    if (device_) device_->WakeMainThread();
  }
  return std::max(written, 0);
}

int TUSBPipe::WriteData(const QByteArray& data, int count) {
  if (!IsOpen()) return -1;
  count = std::clamp(count, 0, static_cast<int>(data.size()));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
  const int packet = PacketSizeForTransfers();
  int sent = 0;
  int r = 0;
  int empty = 0;
  while (sent < count && r >= 0) {
    const int chunk = std::min(packet, count - sent);
    r = FWriteUSBDeviceFile(bytes + sent, chunk);
    if (r > 0) {
      sent += std::min(r, chunk);
      empty = 0;
    } else if (r == 0 && ++empty >= kMaxEmptyWrites) {
      Diagnostic(QStringLiteral("TUSBPipe.WriteData - Pipe=") + N(PipeNumber()) + QStringLiteral(", nothing written after ") +
                 N(empty) + QStringLiteral(" tries, ") + N(count - sent) + QStringLiteral(" bytes dropped"));
      break;
    }
  }
  return sent;
}

int TUSBPipe::FWriteUSBDeviceFile(const std::uint8_t* data, int count) {
  count = std::clamp(count, 0, kTransferBufferSize);
  int r = -1;
  int error = 0;
  std::exception_ptr raised;
  {
    std::lock_guard lock(io_mutex_);
    if (!file_) {
      error = kErrorNotOpen;
    } else {
      std::copy(data, data + count, write_buffer_.begin());
      try {
        r = file_->Write(write_buffer_.data(), count, &error);
      } catch (...) {
        raised = std::current_exception();
        r = -1;
      }
      if (r >= 0) return std::min(r, count);
    }
  }
  last_error_ = error;
  QString line = QStringLiteral("TUSBPipe.FWriteUSBDeviceFile Windows.WriteFile **ERROR** - Pipe=") + N(PipeNumber()) +
                 QStringLiteral(", Length=") + N(count);
  if (error != 0) line += QStringLiteral(", Error #") + N(error) + QStringLiteral(", ") + ErrorText();
  if (raised) line += QStringLiteral("EXCEPTION ") + ExceptionText(raised);
  Diagnostic(line);
  OnPumpingError();
  return -1;
}

void TUSBPipe::OnPumpingError() {
  const int code = last_error_;
  Raise(OnError, this, PipeNumber(), code);
  Diagnostic(QStringLiteral("TUSBPipe.OnPumpingError - Pipe=") + N(PipeNumber()) + QStringLiteral(", ERROR ") + N(code) +
             QStringLiteral(", ") + ErrorText());
}

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
