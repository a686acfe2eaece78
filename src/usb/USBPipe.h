#pragma once
// USB device access: TUSBDevice with its receive thread TUSBDevThread
// (UsbDevice.h), its pipes TUSBPipe (UsbDevicePipe.h) and the configuration
// descriptor walk (UsbConfigDescriptor.h), over the USB backends
// (UsbBackend.h).

#include "usb/UsbConfigDescriptor.h"
#include "usb/UsbDevice.h"
#include "usb/UsbDevicePipe.h"
