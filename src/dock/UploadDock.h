#pragma once
// What the upload session needs of a docking station: its address, enabling,
// the USB device's Halted flag, the LCD lines and "PSS".

#include <QByteArray>
#include <QString>

namespace zelvo {

class IUploadDock {
 public:
  virtual ~IUploadDock() = default;
  virtual void SetEthernetAddress(const QString& address) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // Clears Halted of the dock's USB device; false when the dock has none.
  virtual bool ClearUsbHalted() = 0;
  virtual bool SetLCDLineText(int line, const QByteArray& text) = 0;
  virtual bool SendPSS(int value1, int value2) = 0;
  // Stops waiting for the answer to the command in progress (it counts as
  // not answered); nothing when none is waiting.
  virtual void AbandonCommand() {}
};

}  // namespace zelvo
