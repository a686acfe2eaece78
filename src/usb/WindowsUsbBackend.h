#pragma once
// USB backend over the dock maker's Windows driver (Windows builds only).
//
// Enumeration through SetupAPI, loaded at run time from "SetupApi.dll" on
// first use (the library stays loaded); the device and each pipe are plain
// files opened for synchronous I/O; the configuration descriptor comes from
// the driver's I/O control code 0x00220000. The driver answers an idle read
// with 0 bytes at once; the receive thread paces such cycles itself.

#include "usb/UsbBackend.h"

namespace zelvo {

class WindowsUsbBackend : public UsbBackend {
 public:
  // Descriptor request: device type 0x22 (FILE_DEVICE_UNKNOWN), function 0,
  // METHOD_BUFFERED, FILE_ANY_ACCESS.
  static constexpr unsigned long kIoctlGetConfigDescriptor = 0x00220000;

  std::optional<QStringList> ListDevices(const QUuid& interfaceClass) override;
  int ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer, bool* opened) override;
  std::unique_ptr<UsbPipeFile> OpenPipe(const QString& devicePath, int pipe, int* error) override;
  QString ErrorMessage(int code) const override;
};

}  // namespace zelvo

