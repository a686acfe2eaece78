// The USB configuration descriptor walk, directly and through a device that
// reads the descriptor from a simulated dock and makes its pipes.
//
// Input: the descriptor bytes as the device returns them (the first 256 are
// used, a shorter descriptor is zero-filled). Checked: every recorded offset
// lies inside the buffer and every recorded descriptor inside the total
// length; a usable index has interface 0 and all of its endpoints; the device
// makes exactly the pipes of interface 0 (at most its pipe limit), each with a
// full endpoint descriptor and a transfer size inside the buffers, or none and
// one message.

#include <memory>

#include "FuzzSupport.h"
#include "support/ScriptedDialogs.h"
#include "sim/usb/SimUsbBackend.h"
#include "usb/USBPipe.h"

using namespace zelvo;

namespace {

DescriptorBuffer BufferOf(const QByteArray& bytes) {
  DescriptorBuffer buffer{};
  for (qsizetype i = 0; i < bytes.size() && i < kDescriptorBufferSize; ++i)
    buffer[static_cast<size_t>(i)] = static_cast<std::uint8_t>(bytes[i]);
  return buffer;
}

void CheckSlot(int at, int total, int minimumLength, const DescriptorBuffer& buffer) {
  ZELVO_FUZZ_CHECK(at >= -1 && at < kDescriptorBufferSize);
  if (at < 0) return;
  ZELVO_FUZZ_CHECK(buffer[at] >= minimumLength && at + buffer[at] <= total);
}

void CheckIndex(const DescriptorBuffer& buffer) {
  const DescriptorIndex index = IndexConfigDescriptor(buffer);
  const int total = std::min(buffer[2] | (buffer[3] << 8), kDescriptorBufferSize);
  for (int at : index.interfaces) CheckSlot(at, total, 5, buffer);
  for (int at : index.endpoints) CheckSlot(at, total, 7, buffer);
  for (int at : index.firstInterfaceEndpoints) CheckSlot(at, total, 7, buffer);
  if (index.usable) {
    ZELVO_FUZZ_CHECK(index.interfaces[0] >= 0);
    const int n = std::min(index.firstInterfaceEndpointCount, DescriptorIndex::kSlots);
    for (int e = 0; e < n; ++e) ZELVO_FUZZ_CHECK(index.firstInterfaceEndpoints[e] >= 0);
  } else {
    ZELVO_FUZZ_CHECK(!index.problem.isEmpty());
  }
}

struct Bus {
  Bus() {
    installed = std::make_unique<ScopedUsbBackend>(&backend);
    dialogsInstalled = std::make_unique<ScopedDialogs>(&dialogs);
    dock = backend.AddDock();
    device = std::make_unique<TUSBDevice>();
    device->SetConnectSettleMs(0);
    device->SetDeviceType(tpKovaExpress);
  }
  sim::SimUsbBackend backend;
  ScriptedDialogs dialogs;
  std::unique_ptr<ScopedUsbBackend> installed;
  std::unique_ptr<ScopedDialogs> dialogsInstalled;
  std::shared_ptr<sim::SimUsbDevice> dock;
  std::unique_ptr<TUSBDevice> device;
};

void CheckDevice(const QByteArray& bytes) {
  static Bus* bus = new Bus;  // one bus for the whole run
  bus->dialogs.Clear();
  bus->dock->SetDescriptor(bytes);
  bus->device->SetDeviceName(bus->dock->Path());
  const int pipes = bus->device->PipeCount();
  ZELVO_FUZZ_CHECK(pipes >= 0 && pipes <= TUSBDevice::kMaxEndpoints);
  ZELVO_FUZZ_CHECK(bus->dialogs.Calls().size() <= 1);
  if (pipes == 0) return;
  const DescriptorIndex index = IndexConfigDescriptor(BufferOf(bytes));
  ZELVO_FUZZ_CHECK(index.usable && pipes == std::min(index.firstInterfaceEndpointCount, TUSBDevice::kMaxEndpoints));
  for (int i = 0; i < pipes; ++i) {
    const TUSBPipe* pipe = bus->device->Pipes(i);
    ZELVO_FUZZ_CHECK(pipe != nullptr);
    ZELVO_FUZZ_CHECK(pipe->EndpointDescriptor().size() == 8);
    ZELVO_FUZZ_CHECK(pipe->PacketSizeForTransfers() >= 1 && pipe->PacketSizeForTransfers() <= TUSBPipe::kTransferBufferSize);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Application();
  const QByteArray bytes = fuzz::Whole(data, size);
  CheckIndex(BufferOf(bytes));
  CheckDevice(bytes);
  return 0;
}
