// TWIrCOMMSocket on the simulated stack: enumeration, IAS look-ups, dialling,
// failure names and data both ways.
#include <gtest/gtest.h>

#include "core/MessagePump.h"
#include "link/WIrCOMMSocket.h"
#include "LinkTestSupport.h"

using namespace zelvo;
using namespace zelvo::sim;
using zelvo::test::FramePeer;

namespace {

SimIrdaDevice Device(quint32 id, bool lpt, bool nineWire, SimIrdaPeer* peer = nullptr) {
  SimIrdaDevice d;
  d.deviceId = id;
  d.name = "Zelvo " + QByteArray::number(id);
  if (lpt) d.irlptLsapSel = 2;
  if (nineWire) d.ircommParameters = NineWireParameters();
  d.peer = peer;
  return d;
}

struct Fixture : ::testing::Test {
  SimIrdaStack stack;
  ScopedIrdaStack installed{&stack};
  TWIrCOMMSocket socket;
  QStringList errors;
  void SetUp() override {
    socket.OnError = [this](QObject*) { errors << socket.LastErrorOperation(); };
  }
};

using IrCOMMSocket = Fixture;

}  // namespace

TEST(IrdaParameters, NineWireWalk) {
  using S = TWIrCOMMSocket;
  EXPECT_TRUE(S::ParametersOffer9Wire(QByteArray::fromHex("000104")));
  EXPECT_TRUE(S::ParametersOffer9Wire(QByteArray::fromHex("010101" "000101")));  // second parameter
  EXPECT_FALSE(S::ParametersOffer9Wire(QByteArray::fromHex("000108")));        // no bit of 0x07
  EXPECT_FALSE(S::ParametersOffer9Wire(QByteArray::fromHex("0001")));          // shorter than 3
  EXPECT_FALSE(S::ParametersOffer9Wire(QByteArray::fromHex("01FF00" "000104")));  // skipped past the end
  EXPECT_FALSE(S::ParametersOffer9Wire(QByteArray::fromHex("010100" "00")));   // length byte missing
  EXPECT_FALSE(S::ParametersOffer9Wire(QByteArray::fromHex("010100" "0005")));  // value beyond the end
  EXPECT_FALSE(S::ParametersOffer9Wire({}));
}

TEST_F(IrCOMMSocket, EnumerationKeepsOnlyDevicesWithIrLptOrIrComm) {
  stack.AddDevice(Device(1, false, false));
  stack.AddDevice(Device(2, true, false));
  stack.AddDevice(Device(3, false, true));
  auto list = socket.EnumerateDevices();
  ASSERT_TRUE(list);
  EXPECT_EQ(list->Count(), 2);
  EXPECT_EQ(socket.DeviceCount(), 2);
  IrdaDeviceEntry e;
  ASSERT_TRUE(list->GetDevice(0, e));
  EXPECT_EQ(e.deviceId, 2u);
  EXPECT_EQ(e.name, "Zelvo 2");
  EXPECT_FALSE(list->GetDevice(2, e));
  EXPECT_EQ(stack.SocketsOpen(), 0);  // the socket opened for the search is closed again
  socket.SetUseAnyDevice(true);
  EXPECT_EQ(socket.EnumerateDevices()->Count(), 3);
  EXPECT_TRUE(errors.isEmpty());
}

TEST_F(IrCOMMSocket, TenDevicesFailTheEnumeration) {
  for (quint32 i = 1; i <= 9; ++i) stack.AddDevice(Device(i, true, false));
  EXPECT_TRUE(socket.EnumerateDevices());
  stack.AddDevice(Device(10, true, false));
  EXPECT_FALSE(socket.EnumerateDevices());
  EXPECT_EQ(errors, QStringList{"Device enumeration failed (2)"});
}

TEST_F(IrCOMMSocket, FailureNamesOfTheErrorPath) {
  stack.InjectError(SimIrdaOp::CreateSocket, 10047, 1);
  EXPECT_FALSE(socket.EnumerateDevices());
  EXPECT_EQ(socket.LastError(), 10047);
  stack.InjectError(SimIrdaOp::Enumerate, 10050, 1);
  EXPECT_FALSE(socket.EnumerateDevices());
  EXPECT_EQ(socket.LastError(), 10050);
  stack.InjectError(SimIrdaOp::AsyncSelect, 10022, 1);
  EXPECT_FALSE(socket.CreateIrSocket());
  stack.InjectError(SimIrdaOp::SetLPTMode, 10042, 1);
  EXPECT_FALSE(socket.CreateIrSocket());
  EXPECT_FALSE(socket.Is9WireCooked());
  stack.InjectError(SimIrdaOp::Set9WireMode, 10042, 1);
  EXPECT_FALSE(socket.Set9WireMode());
  EXPECT_TRUE(socket.Is9WireCooked());
  stack.InjectError(SimIrdaOp::SetTinyTPMode, 10042, 1);
  EXPECT_FALSE(socket.SetTinyTPMode());
  stack.InjectError(SimIrdaOp::IasQuery, 10060, 3);
  EXPECT_FALSE(socket.SupportsLPT(1));
  EXPECT_FALSE(socket.Supports9Wire(1));
  EXPECT_FALSE(socket.SupportsTinyTP(1));
  EXPECT_EQ(errors, (QStringList{"Connect (socket)", "Device enumeration failed (1)", "WSAAsyncSelect", "SetLPTMode",
                                 "Set9WireMode", "SetTinyTPMode", "SupportsLPT", "Supports9Wire", "SupportsTinyTP"}));
}

TEST_F(IrCOMMSocket, ErrorWithoutHandlerThrows) {
  socket.OnError = nullptr;
  stack.InjectError(SimIrdaOp::CreateSocket, 10047, 1);
  EXPECT_THROW(socket.CreateIrSocket(), ESocketException);
}

TEST_F(IrCOMMSocket, IrLptIsPreferredAndIrCommDialledIn9WireMode) {
  FramePeer peer;
  stack.SetConnectDelay(-1);
  stack.AddDevice(Device(7, true, true, &peer));
  stack.AddDevice(Device(8, false, true, &peer));
  socket.SetDeviceID(7);
  int up = 0;
  socket.OnSessionConnected = [&](QObject*, quint16 e) { up += e == 0; };
  socket.Connect();
  EXPECT_EQ(socket.ServiceName(), "IrLPT");
  EXPECT_EQ(socket.State(), TSocketState::wsConnected);
  EXPECT_EQ(up, 1);
  // A second connect on the open socket.
  const int before = socket.LastError();
  socket.Connect();
  EXPECT_EQ(errors, QStringList{"Connect: Socket already in use"});
  EXPECT_EQ(socket.LastError(), before);
  socket.Close();
  EXPECT_EQ(peer.closed, 1);
  socket.SetDeviceID(8);
  socket.Connect();
  EXPECT_EQ(socket.ServiceName(), "IrDA:IrCOMM");
  EXPECT_TRUE(socket.Is9WireCooked());
  EXPECT_EQ(stack.LastServiceName(), "IrDA:IrCOMM");
  socket.Close();  // before the peer goes
  EXPECT_EQ(peer.closed, 2);
}

TEST_F(IrCOMMSocket, NoSupportedProtocol) {
  stack.AddDevice(Device(5, false, false));
  socket.SetDeviceID(5);
  socket.Connect();
  EXPECT_EQ(errors, QStringList{"Connect, No Supported Protocol!"});
  socket.Close();
  errors.clear();
  // The IAS query timing out counts the same.
  stack.AddDevice(Device(6, false, true));
  stack.InjectError(SimIrdaOp::IasQuery, 10060);
  socket.SetDeviceID(6);
  socket.Connect();
  EXPECT_EQ(errors.last(), "Connect, No Supported Protocol!");
  EXPECT_EQ(socket.LastError(), 10060);
}

TEST_F(IrCOMMSocket, RefusedConnectAndPendingConnects) {
  FramePeer peer;
  stack.AddDevice(Device(1, false, true, &peer));
  stack.InjectError(SimIrdaOp::Connect, 10061, 1);
  socket.SetDeviceID(1);
  socket.Connect();
  EXPECT_EQ(errors, QStringList{"Connect"});
  socket.Close();

  int connectResult = -1, closedResult = -1;
  socket.OnSessionConnected = [&](QObject*, quint16 e) { connectResult = e; };
  socket.OnSessionClosed = [&](QObject*, quint16 e) { closedResult = e; };
  stack.SetConnectDelay(5);
  socket.Connect();
  EXPECT_EQ(socket.State(), TSocketState::wsConnecting);
  ASSERT_TRUE(WaitUntil([&] { return connectResult >= 0; }, 5000));
  EXPECT_EQ(connectResult, 0);
  EXPECT_EQ(peer.opened, 1);
  socket.Close();
  EXPECT_EQ(closedResult, 0);

  connectResult = closedResult = -1;
  stack.InjectError(SimIrdaOp::ConnectCompletion, 10060, 1);
  socket.Connect();
  ASSERT_TRUE(WaitUntil([&] { return connectResult >= 0; }, 5000));
  EXPECT_EQ(connectResult, 10060);
  EXPECT_EQ(closedResult, 10060);
  EXPECT_EQ(socket.State(), TSocketState::wsClosed);
}

TEST_F(IrCOMMSocket, DataBothWaysAndPeerClose) {
  FramePeer peer;
  peer.replies.push_back("ACK");
  stack.SetConnectDelay(-1);
  stack.SetSendDelay(1);
  stack.AddDevice(Device(1, false, true, &peer));
  socket.SetDeviceID(1);
  QByteArray received;
  int closed = -1;
  socket.OnDataAvailable = [&](QObject*, quint16) { received += socket.ReceiveText(); };
  socket.OnSessionClosed = [&](QObject*, quint16 e) { closed = e; };
  socket.Connect();
  EXPECT_EQ(socket.SendText(QByteArray::fromHex("00E6454E51E7")), 6);
  EXPECT_FALSE(socket.AllSent());
  ASSERT_TRUE(WaitUntil([&] { return !received.isEmpty(); }, 5000));
  EXPECT_TRUE(socket.AllSent());
  EXPECT_EQ(peer.writes, QList<QByteArray>{QByteArray::fromHex("00E6454E51E7")});
  EXPECT_EQ(received, QByteArray::fromHex("00E641434BE7"));
  peer.connection->CloseFromPeer();
  ASSERT_TRUE(WaitUntil([&] { return closed >= 0; }, 5000));
  EXPECT_EQ(socket.State(), TSocketState::wsClosed);
  EXPECT_EQ(stack.SocketsOpen(), 0);
}
