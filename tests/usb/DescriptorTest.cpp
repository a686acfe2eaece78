// The configuration descriptor walk: named regression inputs, then random
// buffers, directly and through a device choosing them.

#include <QRandomGenerator>

#include "usb/UsbTestSupport.h"

namespace zelvo::testing {
namespace {

using sim::SimEndpoint;

DescriptorBuffer BufferOf(const QByteArray& bytes) {
  DescriptorBuffer buffer{};
  for (qsizetype i = 0; i < bytes.size() && i < kDescriptorBufferSize; ++i)
    buffer[i] = static_cast<std::uint8_t>(bytes[i]);
  return buffer;
}

QByteArray Config(int total, int interfaces) {
  return QByteArray::fromHex("0902") + QByteArray(1, char(total & 0xFF)) + QByteArray(1, char(total >> 8)) +
         QByteArray(1, char(interfaces)) + QByteArray::fromHex("01008032");
}
QByteArray Interface(int number, int endpoints) {
  return QByteArray::fromHex("0904") + QByteArray(1, char(number)) + QByteArray(1, 0) +
         QByteArray(1, char(endpoints)) + QByteArray::fromHex("FF0000 00");
}
QByteArray Endpoint(int address) {
  return QByteArray::fromHex("0705") + QByteArray(1, char(address)) + QByteArray::fromHex("02400000");
}

// Every recorded offset lies inside the buffer.
void ExpectInside(const DescriptorIndex& index) {
  for (int at : index.interfaces) EXPECT_LT(at, kDescriptorBufferSize);
  for (int at : index.endpoints) EXPECT_LT(at, kDescriptorBufferSize);
  for (int at : index.firstInterfaceEndpoints) EXPECT_LT(at, kDescriptorBufferSize);
}

struct Case {
  const char* name;
  QByteArray bytes;
  bool usable;
  int declared;
};

TEST(DescriptorIndex, NamedInputs) {
  const QByteArray fourEndpoints = Interface(0, 4) + Endpoint(0x01) + Endpoint(0x81) + Endpoint(0x82) + Endpoint(0x02);
  QByteArray tenInterfaces;
  for (int i = 0; i < 10; ++i) tenInterfaces += Interface(i, 0);
  QByteArray twelveEndpoints = Interface(0, 12);
  for (int i = 0; i < 12; ++i) twelveEndpoints += Endpoint(0x81 + i);
  // The interface descriptor stretched so that its endpoint fills the last 7 bytes.
  QByteArray endpointAtTheEnd = Config(256, 1) + Interface(0, 1);
  endpointAtTheEnd[9] = char(240);
  endpointAtTheEnd += QByteArray(249 - endpointAtTheEnd.size(), '\0');
  endpointAtTheEnd += Endpoint(0x81);

  const std::vector<Case> cases = {
      {"dock", Config(9 + fourEndpoints.size(), 1) + fourEndpoints, true, 4},
      {"config length 0", QByteArray(1, 0) + Config(40, 1).mid(1) + fourEndpoints, false, 0},
      {"interface length 0", Config(40, 1) + QByteArray(9, 0), false, 0},
      {"endpoint length 0", Config(34, 1) + Interface(0, 2) + Endpoint(0x81) + QByteArray(7, 0), false, 2},
      {"endpoints missing", Config(25, 1) + Interface(0, 3) + Endpoint(0x81), false, 3},
      {"total above 256", Config(0xFFFF, 1) + fourEndpoints, true, 4},
      {"total 0", Config(0, 1) + fourEndpoints, false, 0},
      {"no interface", Config(9, 0), false, 0},
      {"ten interfaces", Config(9 + 90, 10) + tenInterfaces, true, 0},
      {"twelve endpoints", Config(9 + twelveEndpoints.size(), 1) + twelveEndpoints, true, 12},
      {"endpoint ends the buffer", endpointAtTheEnd, true, 1},
      {"all 0xFF", QByteArray(256, char(0xFF)), false, 255},
      {"all 0x01", QByteArray(256, char(0x01)), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DescriptorIndex index = IndexConfigDescriptor(BufferOf(c.bytes));
    EXPECT_EQ(index.usable, c.usable) << index.problem.toStdString();
    if (c.usable) {
      EXPECT_EQ(index.firstInterfaceEndpointCount, c.declared);
    }
    ExpectInside(index);
  }
}

TEST(DescriptorIndex, SlotsHoldNineAndEndpointsOfTheFirstInterfaceAreKept) {
  QByteArray twelve = Interface(0, 12);
  for (int i = 0; i < 12; ++i) twelve += Endpoint(0x81 + i);
  DescriptorIndex index = IndexConfigDescriptor(BufferOf(Config(9 + twelve.size(), 1) + twelve));
  for (int e = 0; e < DescriptorIndex::kSlots; ++e) EXPECT_EQ(index.endpoints[e], 18 + 7 * e);

  // Two interfaces: the endpoint slots end up with the second one's, the pipes
  // come from the first one's.
  const QByteArray two = Interface(0, 2) + Endpoint(0x01) + Endpoint(0x81) + Interface(1, 1) + Endpoint(0x83);
  index = IndexConfigDescriptor(BufferOf(Config(9 + two.size(), 2) + two));
  ASSERT_TRUE(index.usable);
  EXPECT_EQ(index.interfaces[1], 9 + 9 + 14);
  EXPECT_EQ(index.endpoints[0], 9 + 9 + 14 + 9);
  EXPECT_EQ(index.endpoints[1], -1);
  EXPECT_EQ(index.firstInterfaceEndpoints[0], 18);
  EXPECT_EQ(index.firstInterfaceEndpoints[1], 25);
}

TEST(DescriptorIndex, RandomBuffersStayInside) {
  QRandomGenerator random(20240611);
  for (int round = 0; round < 20000; ++round) {
    DescriptorBuffer buffer{};
    for (auto& b : buffer) b = static_cast<std::uint8_t>(random.bounded(256));
    // Plausible heads more often, so the walk gets deep.
    if (round % 2) {
      buffer[0] = 9;
      buffer[2] = static_cast<std::uint8_t>(random.bounded(256));
      buffer[3] = static_cast<std::uint8_t>(random.bounded(3));
      for (int at = 9; at < 256; at += 1 + random.bounded(12))
        buffer[at] = static_cast<std::uint8_t>(random.bounded(2) ? 7 : 9);
    }
    const DescriptorIndex index = IndexConfigDescriptor(buffer);
    ExpectInside(index);
    if (index.usable) {
      const int n = std::min(index.firstInterfaceEndpointCount, DescriptorIndex::kSlots);
      for (int e = 0; e < n; ++e) ASSERT_GE(index.firstInterfaceEndpoints[e], 0);
    }
  }
}

class DescriptorDeviceTest : public SimUsbTest {};

TEST_F(DescriptorDeviceTest, MalformedDescriptorsAreRefusedSafely) {
  auto dock = backend.AddDock();
  auto device = MakeDevice();
  const QList<QByteArray> bad = {
      QByteArray(), QByteArray(300, '\0'), QByteArray(256, char(0xFF)),
      Config(25, 1) + Interface(0, 3) + Endpoint(0x81),  // endpoints missing
  };
  for (const QByteArray& bytes : bad) {
    dialogs.Clear();
    dock->SetDescriptor(bytes);
    device->SetDeviceName(dock->Path());
    EXPECT_EQ(dialogs.Texts(), QStringList{"Device Info not found!"});
    EXPECT_EQ(device->PipeCount(), 0);
  }
}

TEST_F(DescriptorDeviceTest, RandomDescriptorsThroughTheDevice) {
  auto dock = backend.AddDock();
  auto device = MakeDevice();
  QRandomGenerator random(77);
  for (int round = 0; round < 400; ++round) {
    QByteArray bytes;
    if (round % 3 == 0) {
      std::vector<SimEndpoint> eps(random.bounded(10));
      for (auto& ep : eps) ep = {static_cast<std::uint8_t>(random.bounded(256)), static_cast<std::uint16_t>(random.bounded(70000)), 2};
      bytes = sim::BuildConfigDescriptor(eps);
      for (int flips = random.bounded(4); flips > 0; --flips)
        bytes[random.bounded(static_cast<int>(bytes.size()))] = static_cast<char>(random.bounded(256));
    } else {
      bytes.resize(random.bounded(400));
      for (auto& b : bytes) b = static_cast<char>(random.bounded(256));
    }
    dialogs.Clear();
    dock->SetDescriptor(bytes);
    device->SetDeviceName(dock->Path());
    ASSERT_LE(device->PipeCount(), TUSBDevice::kMaxEndpoints);
    ASSERT_LE(dialogs.Calls().size(), 1u);
    for (int i = 0; i < device->PipeCount(); ++i) {
      ASSERT_NE(device->Pipes(i), nullptr);
      EXPECT_EQ(device->Pipes(i)->EndpointDescriptor().size(), 8);
      EXPECT_GE(device->Pipes(i)->PacketSizeForTransfers(), 1);
      EXPECT_LE(device->Pipes(i)->PacketSizeForTransfers(), TUSBPipe::kTransferBufferSize);
    }
  }
}

TEST_F(DescriptorDeviceTest, FirstInterfaceMakesThePipes) {
  const QByteArray two = Interface(0, 2) + Endpoint(0x01) + Endpoint(0x81) + Interface(1, 1) + Endpoint(0x83);
  auto dock = backend.AddDevice(DeviceTypeGuid(tpKovaExpress), Config(9 + two.size(), 2) + two);
  auto device = MakeDockDevice(dock);
  ASSERT_EQ(device->PipeCount(), 2);
  EXPECT_FALSE(device->Pipes(0)->IsInput());
  EXPECT_EQ(device->Pipes(1)->EndpointDescriptor().at(2), char(0x81));
}

}  // namespace
}  // namespace zelvo::testing
