#pragma once
// Shared set-up of the USB tests: a simulated bus installed as the current
// backend, a scripted operator and captured diagnostics.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <functional>

#include <memory>

#include "core/Diagnostics.h"
#include "core/MessagePump.h"
#include "core/ScriptedDialogs.h"
#include "sim/usb/SimUsbBackend.h"
#include "usb/USBPipe.h"

namespace zelvo::testing {

class SimUsbTest : public ::testing::Test {
 protected:
  SimUsbTest() { backend.SetReadTimeoutMs(5); }

  // A device of the dock's kind, with no settle pause after Connect.
  std::unique_ptr<TUSBDevice> MakeDevice() {
    auto device = std::make_unique<TUSBDevice>();
    device->SetConnectSettleMs(0);
    device->SetDeviceType(tpKovaExpress);
    return device;
  }

  // A device with the dock chosen (pipes created, closed).
  std::unique_ptr<TUSBDevice> MakeDockDevice(const std::shared_ptr<sim::SimUsbDevice>& dock) {
    auto device = MakeDevice();
    device->SetDeviceName(dock->Path());
    return device;
  }

  sim::SimUsbBackend backend;
  ScopedUsbBackend backendInstalled{&backend};
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  DiagnosticCapture diag;
};

// Waits, handling messages, until pred() holds (true) or ms have passed
// (false). The receive thread changes state without posting anything, so the
// condition is looked at again every few milliseconds.
inline bool Eventually(const std::function<bool()>& pred, int ms) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    WaitForMessages(5);
  }
  return true;
}

// Handles messages for ms milliseconds.
inline void Pump(int ms) { Eventually([] { return false; }, ms); }

// Descriptor bytes: configuration + one interface + the given raw endpoints.
inline QByteArray Descriptor(std::initializer_list<sim::SimEndpoint> endpoints) {
  return sim::BuildConfigDescriptor(std::vector<sim::SimEndpoint>(endpoints));
}

}  // namespace zelvo::testing
