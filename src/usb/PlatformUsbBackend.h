#pragma once
// The platform's USB backend (libusb, or SetupAPI and the dock driver on
// Windows). Internal to the USB layer: others go through CurrentUsbBackend().

#include "usb/UsbBackend.h"

namespace zelvo {

// Process-wide instance, made on first use and kept until exit.
UsbBackend& PlatformUsbBackend();

}  // namespace zelvo
