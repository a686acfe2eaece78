#include "usb/UsbDevicePipe.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <exception>
#include <thread>

#include "core/Diagnostics.h"
#include "core/Events.h"
#include "core/MessagePump.h"
#include "usb/UsbDevice.h"

namespace zelvo {

namespace {
QString N(int value) { return QString::number(value); }
}  // namespace

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
    const qint64 sliceMs = std::clamp<qint64>(stall.remainingTime(), 1, TUSBDevice::kMainWaitSliceMs);
    WaitForMessages(static_cast<int>(sliceMs));
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
  input_dropped_ = false;
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
    bool firstDrop = false;
    {
      std::lock_guard lock(input_mutex_);
      const int room = kMaxInputHeld - static_cast<int>(input_buffer_.size());
      input_buffer_.append(data.left(room));
      input_count_ = static_cast<int>(input_buffer_.size());
      count = input_count_;
      if (n > room) {
        firstDrop = !input_dropped_;
        input_dropped_ = true;
      }
    }
    if (firstDrop)
      Diagnostic(QStringLiteral("TUSBPipe.PullData - Pipe=") + N(PipeNumber()) + QStringLiteral(": more than ") +
                 N(kMaxInputHeld) + QStringLiteral(" bytes not taken, the rest dropped"));
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
  return TransferFailed(QStringLiteral("TUSBPipe.FReadUSBDevFile Windows.ReadFile"), length, error, raised,
                        QStringLiteral(", EXCEPTION - "));
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
  return TransferFailed(QStringLiteral("TUSBPipe.FWriteUSBDeviceFile Windows.WriteFile"), count, error, raised,
                        QStringLiteral("EXCEPTION "));
}

// A read or write that failed: its diagnostic line, then the one error report.
int TUSBPipe::TransferFailed(const QString& what, int length, int error, const std::exception_ptr& raised,
                             const QString& exceptionLabel) {
  last_error_ = error;
  QString line = what + QStringLiteral(" **ERROR** - Pipe=") + N(PipeNumber()) + QStringLiteral(", Length=") + N(length);
  if (error != 0) line += QStringLiteral(", Error #") + N(error) + QStringLiteral(", ") + ErrorText();
  if (raised) line += exceptionLabel + ExceptionText(raised);
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

}  // namespace zelvo
