#pragma once
// TUSBPipe: one endpoint of the chosen USB device, opened as its own file.
//
// An input pipe collects received bytes in its input buffer until the owner
// takes them (ReadData); an output pipe has a one-slot mailbox that the owner
// fills (SendData) and the device's receive thread empties, 64 bytes a
// service. The receive thread services the pipes (PullData, PushData); a
// failed transfer is reported once, through OnError.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "usb/UsbBackend.h"

namespace zelvo {

using TOnPipeData = std::function<void(QObject* sender, int pipe, int count)>;
using TOnPipeError = std::function<void(QObject* sender, int pipe, int error)>;
using TOnOpenPipeError =
    std::function<void(QObject* sender, int pipe, int error, const QString& pipePath)>;

class TUSBDevice;

// One endpoint of the chosen device, opened as its own file.
class TUSBPipe : public QObject {
 public:
  static constexpr int kTransferBufferSize = 4096;  // one read, one write
  static constexpr int kGatherLimit = 512;           // no further read once exceeded
  static constexpr int kMaxReadsPerService = 11;
  // Input not taken yet is held up to this; what arrives beyond is dropped
  // (a real dock never sends that much unasked).
  static constexpr int kMaxInputHeld = 1024 * 1024;
  static constexpr int kOutputPiece = 64;            // bytes written per service
  static constexpr int kMaxEmptyWrites = 8;          // writes of 0 bytes before giving up a piece
  // Error code reported for a transfer on a pipe that is not open.
  // (the platform's invalid-handle code, defined beside the platform's backend).
  static const int kErrorNotOpen;

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
  int TransferFailed(const QString& what, int length, int error, const std::exception_ptr& raised,
                     const QString& exceptionLabel);

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
  bool input_dropped_ = false;  // said once until the held input is taken
  std::mutex output_mutex_;  // the one-slot mailbox
  QByteArray output_buffer_;
};

}  // namespace zelvo
