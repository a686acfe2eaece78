#pragma once
// USB access layer under TUSBDevice.
//
// What the device component needs of a USB stack, whatever the platform:
//   - list the device paths of the present devices of one interface class;
//   - open a device path and read its configuration descriptor (with its
//     interface and endpoint descriptors) into a 256-byte buffer;
//   - open pipe n of a device (endpoint n of interface 0), read without
//     blocking for long (0 bytes when the endpoint has nothing to send) and
//     write.
//
// Idle reads come back in one of two ways. A backend that keeps a read pending
// on every input endpoint (libusb) answers at once and tells the receive
// thread when a transfer has completed, so the thread sleeps until then. A
// backend whose reads return at once without telling (the dock driver on
// Windows) or only after a short time-out leaves the pacing to the receive
// thread.
//
// Backends: libusb (Linux and others), the dock driver through SetupAPI and
// file handles (Windows), and the simulated dock device of the simulator.
// A process-wide current backend is used by every TUSBDevice created after it
// was installed; by default it is the platform backend.
//
// Error codes are the platform's system error codes (errno values on Linux,
// Win32 codes on Windows); ErrorMessage() gives their text.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace zelvo {

// Size of the buffer that receives the configuration descriptor.
inline constexpr int kDescriptorBufferSize = 256;
using DescriptorBuffer = std::array<std::uint8_t, kDescriptorBufferSize>;

// An open pipe. One thread uses it at a time (the owner serialises calls).
class UsbPipeFile {
 public:
  virtual ~UsbPipeFile() = default;  // closes the pipe

  // Reads one transfer of at most length bytes into data. Returns the count
  // (0 when nothing has arrived: at once for a pipe that announces arrivals,
  // else after at most the backend's short read time-out), or -1 with *error
  // set. Any thread; repeat calls are safe.
  virtual int Read(std::uint8_t* data, int length, int* error) = 0;
  // Writes length bytes. Returns the count written (0 is possible), or -1 with
  // *error set. Any thread; repeat calls are safe.
  virtual int Write(const std::uint8_t* data, int length, int* error) = 0;

  // Input pipes only. Asks to be told whenever Read has something new to
  // return (bytes or a failure): arrived is then called on any thread, never
  // after the pipe was destroyed, and must only wake the reader. Returns false
  // when the pipe cannot tell (the default); its reader then paces itself.
  // Called once, right after opening.
  virtual bool AnnounceArrivals(std::function<void()> arrived) {
    static_cast<void>(arrived);
    return false;
  }
};

class UsbBackend {
 public:
  virtual ~UsbBackend() = default;

  // Device paths of the present devices exposing the interface class, in a
  // stable order. Nothing when the enumeration cannot run at all (library or
  // class query unavailable). Any thread; repeat calls are safe.
  virtual std::optional<QStringList> ListDevices(const QUuid& interfaceClass) = 0;

  // Opens the device path and reads its configuration descriptor into buffer
  // (the rest of the buffer is left as it was). Returns 0 on success, else the
  // system error code; *opened tells whether the device could be opened at
  // all. The device is closed again before returning. Main thread in
  // practice; repeat calls are safe.
  virtual int ReadConfigDescriptor(const QString& devicePath, DescriptorBuffer& buffer,
                                   bool* opened) = 0;

  // Opens pipe n (endpoint n of interface 0) of the device. Returns the open
  // pipe, or nullptr with *error set. Any thread; a pipe may be opened again
  // after its previous file was destroyed.
  virtual std::unique_ptr<UsbPipeFile> OpenPipe(const QString& devicePath, int pipe,
                                                int* error) = 0;

  // The system's message text for an error code (no code, no punctuation
  // added). Any thread.
  virtual QString ErrorMessage(int code) const = 0;
};

// Pipe path, kept for diagnostics and errors: the device path followed by
// "\PIPE" and the pipe number as two upper-case hexadecimal digits.
QString PipePath(const QString& devicePath, int pipe);

// Error text for diagnostics: "Error(" code ") - " followed by the system's
// message text. Any thread.
QString UsbErrorText(const UsbBackend& backend, int code);

// The current backend (never null): the installed one, else the platform's.
UsbBackend& CurrentUsbBackend();
// Installs a backend (nullptr: back to the platform's) and returns the
// previously installed one. The caller keeps ownership and must keep it alive
// while devices created under it exist.
UsbBackend* SetUsbBackend(UsbBackend* backend);

// Installs a backend for the lifetime of a scope.
class ScopedUsbBackend {
 public:
  explicit ScopedUsbBackend(UsbBackend* backend) : previous_(SetUsbBackend(backend)) {}
  ~ScopedUsbBackend() { SetUsbBackend(previous_); }
  ScopedUsbBackend(const ScopedUsbBackend&) = delete;
  ScopedUsbBackend& operator=(const ScopedUsbBackend&) = delete;

 private:
  UsbBackend* previous_;
};

// Device kinds and their interface-class GUIDs.
enum TDeviceType : std::uint8_t {
  tpKovaExpress = 0,
  tpMPKovaExpress = 1,
  tpVessik = 2,
  tpArvennaKova6 = 3,
  tpDorrim = 4,
};

// Interface-class GUID of a device kind; ordinals above 4 take ordinal 4's.
QUuid DeviceTypeGuid(int deviceType);
// Name of a device kind ("tpKovaExpress"), for ordinals 0 to 4; else empty.
QString DeviceTypeName(int deviceType);
// GUID in the usual little-endian memory layout (16 bytes).
QByteArray GuidBytes(const QUuid& guid);
// GUID text in Windows notation, upper case, with braces.
QString GuidText(const QUuid& guid);

}  // namespace zelvo
