#include "usb/LibusbBackend.h"

#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "core/Diagnostics.h"
#include "usb/PlatformUsbBackend.h"
#include "usb/UsbDevicePipe.h"

namespace zelvo {

namespace {

// "1-1.4": bus, then the port chain, as the kernel names USB devices.
QString BusPosition(libusb_device* device) {
  std::uint8_t ports[8] = {};
  const int n = libusb_get_port_numbers(device, ports, sizeof ports);
  QStringList chain;
  for (int i = 0; i < n; ++i) chain << QString::number(ports[i]);
  if (chain.isEmpty()) chain << QStringLiteral("0");
  return QStringLiteral("%1-%2").arg(libusb_get_bus_number(device)).arg(chain.join(QLatin1Char('.')));
}

// Bus position named by a device path "usb:<position>#{GUID}"; empty when the
// path is not one of ours.
QString PositionOfPath(const QString& devicePath) {
  if (!devicePath.startsWith(QLatin1String("usb:"))) return {};
  const qsizetype hash = devicePath.indexOf(QLatin1Char('#'));
  if (hash < 0) return {};
  return devicePath.mid(4, hash - 4);
}

void PutLe16(DescriptorBuffer& buffer, int at, int value) {
  buffer[at] = static_cast<std::uint8_t>(value & 0xFF);
  buffer[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

// Rebuilds the configuration descriptor in the plain layout the device
// component walks: configuration, then each interface (alternate setting 0)
// directly followed by its endpoints; class-specific extras are left out.
// Stops at whatever no longer fits in the buffer.
void NormalisedConfig(const libusb_config_descriptor* config, DescriptorBuffer& buffer) {
  int at = 9;
  buffer[0] = 9;
  buffer[1] = LIBUSB_DT_CONFIG;
  buffer[4] = config->bNumInterfaces;
  buffer[5] = config->bConfigurationValue;
  buffer[6] = config->iConfiguration;
  buffer[7] = config->bmAttributes;
  buffer[8] = config->MaxPower;
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    if (config->interface[i].num_altsetting < 1) continue;
    const libusb_interface_descriptor& intf = config->interface[i].altsetting[0];
    if (at + 9 + 7 * intf.bNumEndpoints > kDescriptorBufferSize) break;
    const std::uint8_t head[9] = {9, LIBUSB_DT_INTERFACE, intf.bInterfaceNumber, intf.bAlternateSetting,
                                  intf.bNumEndpoints, intf.bInterfaceClass, intf.bInterfaceSubClass,
                                  intf.bInterfaceProtocol, intf.iInterface};
    std::memcpy(buffer.data() + at, head, 9);
    at += 9;
    for (int e = 0; e < intf.bNumEndpoints; ++e) {
      const libusb_endpoint_descriptor& ep = intf.endpoint[e];
      buffer[at] = 7;
      buffer[at + 1] = LIBUSB_DT_ENDPOINT;
      buffer[at + 2] = ep.bEndpointAddress;
      buffer[at + 3] = ep.bmAttributes;
      PutLe16(buffer, at + 4, ep.wMaxPacketSize);
      buffer[at + 6] = ep.bInterval;
      at += 7;
    }
  }
  PutLe16(buffer, 2, at);
}

}  // namespace

// One opened device with interface 0 claimed, shared by its open pipes.
struct LibusbBackend::OpenDevice {
  libusb_device_handle* handle = nullptr;
  bool claimed = false;
  ~OpenDevice() {
    if (!handle) return;
    if (claimed) libusb_release_interface(handle, 0);
    libusb_close(handle);
  }
};

namespace {

// errno value of a completed transfer's status.
int ErrnoOfStatus(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return 0;
    case LIBUSB_TRANSFER_TIMED_OUT: return ETIMEDOUT;
    case LIBUSB_TRANSFER_STALL: return EPIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return ENODEV;
    case LIBUSB_TRANSFER_OVERFLOW: return EOVERFLOW;
    case LIBUSB_TRANSFER_CANCELLED: return ECANCELED;
    default: return EIO;
  }
}

// An output endpoint: synchronous writes.
class LibusbOutPipe final : public UsbPipeFile {
 public:
  LibusbOutPipe(std::shared_ptr<LibusbBackend::OpenDevice> device, std::uint8_t address, bool interrupt)
      : device_(std::move(device)), address_(address), interrupt_(interrupt) {}

  int Read(std::uint8_t*, int, int* error) override {
    *error = EOPNOTSUPP;
    return -1;
  }

  int Write(const std::uint8_t* data, int length, int* error) override {
    int done = 0;
    auto* bytes = const_cast<std::uint8_t*>(data);  // libusb does not write to an output buffer
    const int r = interrupt_ ? libusb_interrupt_transfer(device_->handle, address_, bytes, length, &done,
                                                         LibusbBackend::kWriteTimeoutMs)
                             : libusb_bulk_transfer(device_->handle, address_, bytes, length, &done,
                                                    LibusbBackend::kWriteTimeoutMs);
    // A time-out that still moved some bytes counts as a short write.
    if (r == 0 || (r == LIBUSB_ERROR_TIMEOUT && done > 0)) return done;
    *error = LibusbBackend::ErrnoOf(r);
    return -1;
  }

 private:
  std::shared_ptr<LibusbBackend::OpenDevice> device_;
  std::uint8_t address_;
  bool interrupt_;
};

// An input endpoint with one read always pending (no time-out). Read hands
// over what the last completed read brought and submits the next; while the
// read is still pending it returns 0 at once. Completions run on the
// backend's event thread and are announced to the owner.
class LibusbInPipe final : public UsbPipeFile {
 public:
  LibusbInPipe(std::shared_ptr<LibusbBackend::OpenDevice> device, std::uint8_t address, bool interrupt,
               int packetSize)
      : state_(new State) {
    State& st = *state_;
    st.device = std::move(device);
    st.address = address;
    st.buffer.assign(static_cast<std::size_t>(std::max(packetSize, 1)), 0);
    st.transfer = libusb_alloc_transfer(0);
    if (!st.transfer) {
      st.error = ENOMEM;
      return;
    }
    if (interrupt)
      libusb_fill_interrupt_transfer(st.transfer, st.device->handle, address, st.buffer.data(),
                                     static_cast<int>(st.buffer.size()), &Completed, &st, 0);
    else
      libusb_fill_bulk_transfer(st.transfer, st.device->handle, address, st.buffer.data(),
                                static_cast<int>(st.buffer.size()), &Completed, &st, 0);
    std::lock_guard lock(st.mutex);
    st.Submit();
  }

  ~LibusbInPipe() override {
    State& st = *state_;
    bool cancel = false;
    {
      std::lock_guard lock(st.mutex);
      st.closing = true;
      cancel = st.inFlight;
    }
    if (cancel) libusb_cancel_transfer(st.transfer);
    std::unique_lock lock(st.mutex);
    if (!st.ended.wait_for(lock, std::chrono::seconds(2), [&st] { return !st.inFlight && !st.announcing; })) {
      // libusb still owns the transfer: leave it, and what it points to, behind.
      Diagnostic(QStringLiteral("LibusbBackend - a cancelled read did not end; its transfer is left behind"));
      lock.unlock();
      static_cast<void>(state_.release());
      return;
    }
    lock.unlock();
    if (st.transfer) libusb_free_transfer(st.transfer);
  }

  int Read(std::uint8_t* data, int length, int* error) override {
    State& st = *state_;
    std::lock_guard lock(st.mutex);
    if (st.error != 0) {
      *error = st.error;
      st.error = 0;
      if (st.gone) {
        st.error = ENODEV;  // nothing will ever come again
      } else {
        // A halted endpoint stalls every read until the halt is cleared.
        if (*error == EPIPE) libusb_clear_halt(st.device->handle, st.address);
        st.Submit();
      }
      return -1;
    }
    if (st.inFlight || !st.transfer) return 0;
    const int n = std::min(length, st.received - st.taken);
    if (n > 0) {
      std::copy_n(st.buffer.data() + st.taken, n, data);
      st.taken += n;
    }
    if (st.taken >= st.received) st.Submit();
    return std::max(n, 0);
  }

  int Write(const std::uint8_t*, int, int* error) override {
    *error = EOPNOTSUPP;
    return -1;
  }

  bool AnnounceArrivals(std::function<void()> arrived) override {
    std::lock_guard lock(state_->mutex);
    state_->arrived = std::move(arrived);
    return true;
  }

 private:
  struct State {
    std::shared_ptr<LibusbBackend::OpenDevice> device;
    libusb_transfer* transfer = nullptr;
    std::uint8_t address = 0;
    std::vector<std::uint8_t> buffer;
    std::mutex mutex;
    std::condition_variable ended;  // the pending read and its announcement are over
    std::function<void()> arrived;
    bool inFlight = false;
    bool announcing = false;
    bool closing = false;
    bool gone = false;  // the device has left the bus
    int received = 0;   // bytes of the last completed read
    int taken = 0;      // of those, handed over
    int error = 0;      // failure to report on the next Read

    // Under mutex. Starts the next read; a failure waits for the next Read.
    void Submit() {
      if (closing || gone || !transfer) return;
      received = taken = 0;
      const int r = libusb_submit_transfer(transfer);
      if (r == 0) {
        inFlight = true;
      } else {
        error = LibusbBackend::ErrnoOf(r);
        gone = r == LIBUSB_ERROR_NO_DEVICE;
      }
    }
  };

  // Event thread.
  static void LIBUSB_CALL Completed(libusb_transfer* transfer) {
    State& st = *static_cast<State*>(transfer->user_data);
    std::function<void()> arrived;
    {
      std::lock_guard lock(st.mutex);
      st.inFlight = false;
      if (st.closing) {
        st.ended.notify_all();
        return;
      }
      if (transfer->status == LIBUSB_TRANSFER_COMPLETED) {
        st.received = std::clamp(transfer->actual_length, 0, static_cast<int>(st.buffer.size()));
        st.taken = 0;
        if (st.received == 0) {  // a zero-length packet: nothing to hand over
          st.Submit();
          if (st.error == 0) return;
        }
      } else {
        st.error = ErrnoOfStatus(transfer->status);
        st.gone = transfer->status == LIBUSB_TRANSFER_NO_DEVICE;
      }
      st.announcing = true;
      arrived = st.arrived;
    }
    if (arrived) arrived();
    std::lock_guard lock(st.mutex);
    st.announcing = false;
    st.ended.notify_all();
  }

  std::unique_ptr<State> state_;
};

}  // namespace

LibusbBackend::LibusbBackend(QString devicesFile) : devices_file_(std::move(devicesFile)) {}

LibusbBackend::~LibusbBackend() {
  if (events_.joinable()) {
    stop_events_ = true;
    libusb_interrupt_event_handler(context_);
    events_.join();
  }
  open_.clear();
  if (context_) libusb_exit(context_);
}

void LibusbBackend::StartEventThread() {
  std::lock_guard lock(mutex_);
  if (events_.joinable() || !context_) return;
  events_ = std::thread([this, context = context_] {
    while (!stop_events_) {
      // Woken by completions and by the interrupt at destruction; the
      // time-out only bounds a wait that nothing ends.
      timeval tv{1, 0};
      const int r = libusb_handle_events_timeout_completed(context, &tv, nullptr);
      if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED && r != LIBUSB_ERROR_TIMEOUT)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // never spin on a broken context
    }
  });
}

void LibusbBackend::SetDevicesFile(const QString& path) {
  std::lock_guard lock(mutex_);
  devices_file_ = path;
}

QString LibusbBackend::DevicesFile() const {
  std::lock_guard lock(mutex_);
  return devices_file_.isEmpty() ? DefaultUsbDeviceIdsPath() : devices_file_;
}

libusb_context* LibusbBackend::Context() {
  std::lock_guard lock(mutex_);
  if (!context_) {
    const int r = libusb_init(&context_);
    if (r != 0) {
      context_ = nullptr;
      Diagnostic(QStringLiteral("LibusbBackend - libusb_init failed: %1").arg(QLatin1String(libusb_error_name(r))));
    }
  }
  return context_;
}

std::optional<QStringList> LibusbBackend::ListDevices(const QUuid& interfaceClass) {
  const QList<UsbId> ids = ReadUsbDeviceIds(DevicesFile()).value(interfaceClass);
  // No identifiers for this kind: no devices of it, nothing to ask the bus.
  if (ids.isEmpty()) return QStringList();
  libusb_context* context = Context();
  if (!context) return std::nullopt;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) return std::nullopt;
  QStringList paths;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    if (!ids.contains(UsbId{desc.idVendor, desc.idProduct})) continue;
    paths << QStringLiteral("usb:%1#%2").arg(BusPosition(list[i]), GuidText(interfaceClass));
  }
  libusb_free_device_list(list, 1);
  paths.sort();
  return paths;
}

std::shared_ptr<LibusbBackend::OpenDevice> LibusbBackend::Open(const QString& devicePath, int* error) {
  const QString position = PositionOfPath(devicePath);
  libusb_context* context = Context();
  if (position.isEmpty() || !context) {
    *error = ENOENT;
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  if (auto it = open_.find(position); it != open_.end())
    if (auto device = it->second.lock()) return device;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context, &list);
  if (count < 0) {
    *error = ErrnoOf(static_cast<int>(count));
    return nullptr;
  }
  std::shared_ptr<OpenDevice> opened;
  *error = ENOENT;
  for (ssize_t i = 0; i < count; ++i) {
    if (BusPosition(list[i]) != position) continue;
    auto device = std::make_shared<OpenDevice>();
    const int r = libusb_open(list[i], &device->handle);
    if (r != 0) {
      device->handle = nullptr;
      *error = ErrnoOf(r);
      break;
    }
    libusb_set_auto_detach_kernel_driver(device->handle, 1);
    opened = device;
    break;
  }
  libusb_free_device_list(list, 1);
  if (opened) open_[position] = opened;
  return opened;
}

int LibusbBackend::ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer, bool* opened) {
  int error = 0;
  std::shared_ptr<OpenDevice> device = Open(devicePath, &error);
  *opened = device != nullptr;
  if (!device) return error;
  libusb_config_descriptor* config = nullptr;
  const int r = libusb_get_active_config_descriptor(libusb_get_device(device->handle), &config);
  if (r != 0) return ErrnoOf(r);
  NormalisedConfig(config, buffer);
  libusb_free_config_descriptor(config);
  return 0;
}

std::unique_ptr<UsbPipeFile> LibusbBackend::OpenPipe(const QString& devicePath, int pipe, int* error) {
  std::shared_ptr<OpenDevice> device = Open(devicePath, error);
  if (!device) return nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!device->claimed) {
      const int r = libusb_claim_interface(device->handle, 0);
      if (r != 0) {
        *error = ErrnoOf(r);
        return nullptr;
      }
      device->claimed = true;
    }
  }
  libusb_config_descriptor* config = nullptr;
  int r = libusb_get_active_config_descriptor(libusb_get_device(device->handle), &config);
  if (r != 0) {
    *error = ErrnoOf(r);
    return nullptr;
  }
  std::unique_ptr<UsbPipeFile> file;
  *error = ENOENT;
  if (config->bNumInterfaces > 0 && config->interface[0].num_altsetting > 0) {
    const libusb_interface_descriptor& intf = config->interface[0].altsetting[0];
    if (pipe >= 0 && pipe < intf.bNumEndpoints) {
      const libusb_endpoint_descriptor& ep = intf.endpoint[pipe];
      const int type = ep.bmAttributes & 0x03;
      const bool interrupt = type == LIBUSB_TRANSFER_TYPE_INTERRUPT;
      if (type != LIBUSB_TRANSFER_TYPE_BULK && !interrupt) {
        *error = EOPNOTSUPP;
      } else if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
        StartEventThread();  // completes the pending reads
        // As the receive thread asks for it: a declared size of 0 counts as 64.
        const int packet = ep.wMaxPacketSize & 0x7FF;
        file = std::make_unique<LibusbInPipe>(device, ep.bEndpointAddress, interrupt, packet > 0 ? packet : 64);
      } else {
        file = std::make_unique<LibusbOutPipe>(device, ep.bEndpointAddress, interrupt);
      }
    }
  }
  libusb_free_config_descriptor(config);
  return file;
}

QString LibusbBackend::ErrorMessage(int code) const {
  return QString::fromStdString(std::generic_category().message(code));
}

int LibusbBackend::ErrnoOf(int libusbError) {
  switch (libusbError) {
    case LIBUSB_SUCCESS: return 0;
    case LIBUSB_ERROR_IO: return EIO;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    default: return EIO;
  }
}

const int TUSBPipe::kErrorNotOpen = EBADF;

UsbBackend& PlatformUsbBackend() {
  static LibusbBackend backend;
  return backend;
}

}  // namespace zelvo
