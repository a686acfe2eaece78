#pragma once
// Shared set-up of the USB tests: a simulated bus installed as the current
// backend and a scripted operator.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "sim/usb/SimUsbBackend.h"
#include "support/Pump.h"
#include "usb/USBPipe.h"
#include "usb/UsbChat.h"

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
};

using test::Eventually;

// A bound that only catches a wait that never ends; a stall given to a send
// that must fail at once lies beyond it.
inline constexpr int kHangMs = 30000;

// Waits until pred() holds (true) or ms have passed (false) without handling
// messages, for a thread that must get somewhere while the main thread is busy.
inline bool WaitedWithoutMessages(const std::function<bool()>& pred, int ms) {
  QDeadlineTimer deadline(ms);
  while (!pred()) {
    if (deadline.hasExpired()) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Destroys the device on a thread of its own and waits at most ms for the
// destruction to end, without handling messages (as a window closing does).
// False when it did not end: the destruction is then left to itself, so a
// deadlock fails the test instead of hanging the suite. The bound only catches
// a destruction that never ends.
inline bool DestroyedWithin(std::unique_ptr<TUSBDevice> device, int ms) {
  std::packaged_task<void()> destroy([dying = std::move(device)]() mutable { dying.reset(); });
  std::future<void> ended = destroy.get_future();
  std::thread destroyer(std::move(destroy));
  if (ended.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
    destroyer.detach();
    return false;
  }
  destroyer.join();
  return true;
}

// Descriptor bytes: configuration + one interface + the given raw endpoints.
inline QByteArray Descriptor(std::initializer_list<sim::SimEndpoint> endpoints) {
  return sim::BuildConfigDescriptor(std::vector<sim::SimEndpoint>(endpoints));
}

}  // namespace zelvo::testing
