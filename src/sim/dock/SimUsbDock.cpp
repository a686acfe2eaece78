#include "sim/dock/SimUsbDock.h"

#include <QMetaObject>
#include <QPointer>
#include <mutex>

#include "usb/UsbBackend.h"

namespace zelvo::sim {

namespace {
constexpr int kDataOut = 0;
constexpr int kDataIn = 1;
constexpr int kControlIn = 2;
constexpr int kControlOut = 3;
}  // namespace

int UsbDeviceTypeOf(SimDockKind kind) { return DockModelOf(kind).usbDeviceType; }

// The host writes from its receive thread; the dock lives on the main thread.
// The relay outlives the dock only to drop writes that arrive after it.
struct SimUsbDock::Relay {
  std::mutex mutex;
  QPointer<SimUsbDock> dock;

  void Forward(int pipe, const QByteArray& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!dock) return;
    QMetaObject::invokeMethod(
        dock.data(),
        [target = dock, pipe, bytes] {
          if (!target) return;
          if (pipe == kControlOut) target->dock_.ControlReceived(bytes);
          else if (pipe == kDataOut) target->dock_.DataReceived(bytes);
        },
        Qt::QueuedConnection);
  }
};

SimUsbDock::SimUsbDock(SimUsbBackend& bus, SimInstrument& instrument, SimDockConfig config, QObject* parent)
    : QObject(parent),
      bus_(bus),
      dock_(instrument, std::move(config), this),
      device_(bus.AddDock(UsbDeviceTypeOf(dock_.Config().kind), kMaxPacketSize)),
      relay_(std::make_shared<Relay>()) {
  relay_->dock = this;
  device_->SetRecordWrites(false);
  device_->OnHostWrite = [relay = relay_](int pipe, const QByteArray& bytes) { relay->Forward(pipe, bytes); };
  dock_.SendControl = [this](const QByteArray& input) { device_->QueueData(kControlIn, input, kMaxPacketSize); };
  dock_.SendData = [this](const QByteArray& reply) { device_->QueueData(kDataIn, reply, kMaxPacketSize); };
  dock_.GoAway = [this] { Unplug(); };
}

SimUsbDock::~SimUsbDock() {
  std::lock_guard<std::mutex> lock(relay_->mutex);
  relay_->dock = nullptr;
}

void SimUsbDock::Unplug() {
  if (!device_->Unplugged()) bus_.Unplug(device_->Path());
}

}  // namespace zelvo::sim
