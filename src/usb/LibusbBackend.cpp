#include "usb/LibusbBackend.h"

#include <libusb.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/Diagnostics.h"
#include "usb/PlatformUsbBackend.h"

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

class LibusbPipe : public UsbPipeFile {
 public:
  LibusbPipe(std::shared_ptr<LibusbBackend::OpenDevice> device, std::uint8_t address, bool interrupt)
      : device_(std::move(device)), address_(address), interrupt_(interrupt) {}

  int Read(std::uint8_t* data, int length, int* error) override {
    return Transfer(data, length, LibusbBackend::kReadTimeoutMs, error);
  }
  int Write(const std::uint8_t* data, int length, int* error) override {
    return Transfer(const_cast<std::uint8_t*>(data), length, LibusbBackend::kWriteTimeoutMs, error);
  }

 private:
  int Transfer(std::uint8_t* data, int length, int timeoutMs, int* error) {
    int done = 0;
    const int r = interrupt_
                      ? libusb_interrupt_transfer(device_->handle, address_, data, length, &done, timeoutMs)
                      : libusb_bulk_transfer(device_->handle, address_, data, length, &done, timeoutMs);
    // A time-out may still have moved some bytes: they count.
    if (r == 0 || r == LIBUSB_ERROR_TIMEOUT) {
      const bool isRead = (address_ & 0x80) != 0;
      if (r == 0 || isRead || done > 0) return done;
    }
    *error = LibusbBackend::ErrnoOf(r);
    return -1;
  }

  std::shared_ptr<LibusbBackend::OpenDevice> device_;
  std::uint8_t address_;
  bool interrupt_;
};

}  // namespace

LibusbBackend::LibusbBackend(QString devicesFile) : devices_file_(std::move(devicesFile)) {}

LibusbBackend::~LibusbBackend() {
  open_.clear();
  if (context_) libusb_exit(context_);
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
      if (type == LIBUSB_TRANSFER_TYPE_BULK || type == LIBUSB_TRANSFER_TYPE_INTERRUPT)
        file = std::make_unique<LibusbPipe>(device, ep.bEndpointAddress, type == LIBUSB_TRANSFER_TYPE_INTERRUPT);
      else
        *error = EOPNOTSUPP;
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

#ifndef _WIN32
UsbBackend& PlatformUsbBackend() {
  static LibusbBackend backend;
  return backend;
}
#endif

}  // namespace zelvo
