#include "usb/UsbConfigDescriptor.h"

namespace zelvo {

DescriptorIndex IndexConfigDescriptor(const DescriptorBuffer& buffer) {
  DescriptorIndex index;
  const auto fail = [&index](const QString& problem) {
    if (index.problem.isEmpty()) index.problem = problem;
  };
  int total = buffer[2] | (buffer[3] << 8);
  if (total > kDescriptorBufferSize) {
    fail(QStringLiteral("total length %1 above %2").arg(total).arg(kDescriptorBufferSize));
    total = kDescriptorBufferSize;
  }
  int offset = buffer[0];
  if (offset == 0) {
    fail(QStringLiteral("configuration descriptor of length 0"));
    return index;
  }
  bool firstComplete = false;
  for (int k = 0; offset < total; ++k) {
    if (k >= DescriptorIndex::kSlots) {
      fail(QStringLiteral("more than %1 interfaces").arg(DescriptorIndex::kSlots));
      break;
    }
    const int length = buffer[offset];
    // The endpoint count (offset 4) must lie inside the descriptor and the
    // descriptor inside the total length.
    if (length < 5 || offset + length > total) {
      fail(QStringLiteral("bad interface descriptor at offset %1").arg(offset));
      break;
    }
    index.interfaces[k] = offset;
    const int declared = buffer[offset + 4];
    if (k == 0) index.firstInterfaceEndpointCount = declared;
    if (declared > DescriptorIndex::kSlots)
      fail(QStringLiteral("interface %1 declares %2 endpoints").arg(k).arg(declared));
    offset += length;
    index.endpoints.fill(-1);
    bool complete = true;
    for (int e = 0; e < declared; ++e) {
      const int elength = offset < total ? buffer[offset] : 0;
      if (elength < 7 || offset + elength > total) {
        fail(QStringLiteral("bad or missing endpoint descriptor %1 of interface %2 at offset %3")
                 .arg(e).arg(k).arg(offset));
        complete = false;
        break;
      }
      if (e < DescriptorIndex::kSlots) {
        index.endpoints[e] = offset;
        if (k == 0) index.firstInterfaceEndpoints[e] = offset;
      }
      offset += elength;
    }
    if (k == 0) firstComplete = complete;
    if (!complete) break;
  }
  index.usable = index.interfaces[0] >= 0 && firstComplete;
  if (index.interfaces[0] < 0) fail(QStringLiteral("no interface descriptor"));
  return index;
}

}  // namespace zelvo
