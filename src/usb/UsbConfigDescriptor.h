#pragma once
// The configuration descriptor as the device returns it: the configuration
// descriptor at offset 0, its total length at offset 2, then each interface
// descriptor followed by its endpoint descriptors.

#include <QString>
#include <array>

#include "usb/UsbBackend.h"

namespace zelvo {

// Index of a configuration descriptor: where each descriptor starts in the
// 256-byte buffer (-1: empty slot).
struct DescriptorIndex {
  static constexpr int kSlots = 9;
  std::array<int, kSlots> interfaces;  // interface descriptors, by interface number
  std::array<int, kSlots> endpoints;   // endpoints of the last interface walked
  std::array<int, kSlots> firstInterfaceEndpoints;  // endpoints of interface 0
  int firstInterfaceEndpointCount = 0;  // as declared by interface 0
  bool usable = false;  // interface 0 and all of its endpoints are in the buffer
  QString problem;      // what was wrong with the descriptor, if anything
  DescriptorIndex() {
    interfaces.fill(-1);
    endpoints.fill(-1);
    firstInterfaceEndpoints.fill(-1);
  }
};

// Walks the descriptor: configuration at offset 0, its total length at offset
// 2; then each interface followed by its endpoints. Never reads outside the
// buffer or writes outside the 9 + 9 slots, and always ends. A total length
// above 256 is cut to 256; interfaces beyond the ninth and endpoints beyond
// the ninth of an interface are passed over unrecorded. Pure: any thread.
DescriptorIndex IndexConfigDescriptor(const DescriptorBuffer& buffer);

}  // namespace zelvo
