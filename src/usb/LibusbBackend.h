#pragma once
// USB backend over libusb-1.0 (Linux and others).
//
// A device kind's interface-class GUID stands for the VID:PID pairs listed for
// it in the identifiers file (UsbDeviceIds.h). Device paths name the bus
// position and the class, e.g.
//   usb:1-1.4#{6EE29A82-690F-11D8-A041-0030BD035F12}
// (bus 1, ports 1.4), stable while the dock stays in the same socket. Pipe n
// is endpoint n of interface 0, alternate setting 0.
//
// Every input pipe keeps one asynchronous read pending for as long as it is
// open; an event thread, started with the first input pipe, completes them
// and the pipe announces each completion to its owner. A read of an idle
// endpoint therefore returns 0 at once, and the receive thread sleeps until
// something arrives. Writes are synchronous, with a time-out of
// kWriteTimeoutMs.

#include <QString>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "usb/UsbBackend.h"
#include "usb/UsbDeviceIds.h"

struct libusb_context;

namespace zelvo {

class LibusbBackend : public UsbBackend {
 public:
  static constexpr int kWriteTimeoutMs = 1000;

  // devicesFile: the identifiers file; empty means DefaultUsbDeviceIdsPath(),
  // looked up again on every listing.
  explicit LibusbBackend(QString devicesFile = {});
  ~LibusbBackend() override;

  void SetDevicesFile(const QString& path);
  QString DevicesFile() const;  // the file in use now (may be empty)

  std::optional<QStringList> ListDevices(const QUuid& interfaceClass) override;
  int ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer,
                           bool* opened) override;
  std::unique_ptr<UsbPipeFile> OpenPipe(const QString& devicePath, int pipe, int* error) override;
  QString ErrorMessage(int code) const override;

  // errno value standing for a libusb error code.
  static int ErrnoOf(int libusbError);

  struct OpenDevice;

 private:
  libusb_context* Context();  // lazily initialised; nullptr when libusb is unusable
  std::shared_ptr<OpenDevice> Open(const QString& devicePath, int* error);
  void StartEventThread();    // once; runs until the backend is destroyed

  mutable std::mutex mutex_;
  QString devices_file_;
  libusb_context* context_ = nullptr;
  std::map<QString, std::weak_ptr<OpenDevice>> open_;  // by bus position
  std::thread events_;
  std::atomic<bool> stop_events_{false};
};

}  // namespace zelvo
