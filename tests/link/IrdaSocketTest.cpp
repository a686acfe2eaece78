// TWIrCOMMSocket on the simulated stack: enumeration, IAS look-ups, dialling,
// failure names and data both ways.
#include <gtest/gtest.h>

#include <QtEndian>
#include <cstring>

#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "link/KelLink.h"
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

// A connect that ended in a time-out (the instrument moved out of range) must
// not fail the next connect: step 4 judges the queries of this connect.
TEST_F(IrCOMMSocket, ATimedOutConnectDoesNotSpoilTheNextOne) {
  FramePeer peer;
  stack.AddDevice(Device(1, false, true, &peer));
  socket.SetDeviceID(1);
  int connectResult = -1;
  socket.OnSessionConnected = [&](QObject*, quint16 e) { connectResult = e; };
  stack.InjectError(SimIrdaOp::ConnectCompletion, 10060, 1);
  socket.Connect();
  ASSERT_TRUE(WaitUntil([&] { return connectResult >= 0; }, 5000));
  ASSERT_EQ(connectResult, 10060);
  ASSERT_EQ(socket.LastError(), 10060);

  connectResult = -1;
  socket.Connect();
  ASSERT_TRUE(WaitUntil([&] { return connectResult >= 0; }, 5000));
  EXPECT_EQ(connectResult, 0);
  EXPECT_EQ(socket.State(), TSocketState::wsConnected);
  EXPECT_TRUE(errors.isEmpty()) << errors.join(", ").toStdString();
  socket.Close();

  // A query of this connect that times out still counts, even when the
  // 9-wire query after it succeeds.
  stack.InjectError(SimIrdaOp::IasQuery, 10060, 1);  // the IrLPT query
  socket.Connect();
  EXPECT_EQ(errors, (QStringList{"SupportsLPT", "Connect, No Supported Protocol!"}));
  EXPECT_EQ(socket.State(), TSocketState::wsOpened);
  socket.Close();
}

// 10054 and 10057 end the session inside the error path: the socket is
// closed, the state is closed and OnSessionClosed has been raised before
// OnError, so whoever owns the socket sees the connection gone.
TEST_F(IrCOMMSocket, ResetAndNotConnectedCloseTheSessionBeforeOnError) {
  for (const int code : {10054, 10057}) {
    SCOPED_TRACE(code);
    FramePeer peer;
    stack.ClearDevices();
    stack.AddDevice(Device(1, false, true, &peer));
    stack.SetConnectDelay(-1);
    socket.SetDeviceID(1);
    QStringList seen;
    socket.OnSessionClosed = [&](QObject* sender, quint16 e) {
      EXPECT_EQ(sender, &socket);
      seen << QStringLiteral("Closed(%1) open=%2").arg(e).arg(stack.SocketsOpen());
    };
    socket.OnError = [&](QObject*) {
      seen << QStringLiteral("Error(%1, %2) state=%3")
                  .arg(socket.LastErrorOperation())
                  .arg(socket.LastError())
                  .arg(static_cast<int>(socket.State()));
    };
    socket.Connect();
    ASSERT_EQ(socket.State(), TSocketState::wsConnected);
    stack.InjectError(SimIrdaOp::Send, code, 1);
    EXPECT_EQ(socket.SendText("\0ENQ"), -1);
    EXPECT_EQ(seen, (QStringList{QStringLiteral("Closed(%1) open=0").arg(code),
                                 QStringLiteral("Error(Send, %1) state=8").arg(code)}));
    EXPECT_EQ(socket.State(), TSocketState::wsClosed);
    EXPECT_EQ(peer.closed, 1);
    // Nothing is left open to spoil the next connect.
    seen.clear();
    socket.Connect();
    EXPECT_EQ(socket.State(), TSocketState::wsConnected);
    EXPECT_TRUE(seen.isEmpty()) << seen.join(", ").toStdString();
    socket.Close();
  }
}

TEST_F(IrCOMMSocket, OtherSendErrorsLeaveTheSessionUp) {
  FramePeer peer;
  stack.AddDevice(Device(1, false, true, &peer));
  stack.SetConnectDelay(-1);
  socket.SetDeviceID(1);
  int closed = 0;
  socket.OnSessionClosed = [&](QObject*, quint16) { ++closed; };
  socket.Connect();
  stack.InjectError(SimIrdaOp::Send, 10055, 1);  // no buffer space
  EXPECT_EQ(socket.SendText("x"), -1);
  EXPECT_EQ(errors, QStringList{"Send"});
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(socket.State(), TSocketState::wsConnected);
  socket.Close();
  EXPECT_EQ(closed, 1);
}

// A handler of OnSessionClosed may free the socket; the error path then stops.
TEST(IrCOMMSocketOwner, FreedInsideTheClosedNotificationOfAFatalError) {
  SimIrdaStack stack;
  ScopedIrdaStack installed{&stack};
  FramePeer peer;
  stack.AddDevice(Device(1, false, true, &peer));
  stack.SetConnectDelay(-1);
  auto socket = std::make_unique<TWIrCOMMSocket>();
  TWIrCOMMSocket* raw = socket.get();
  int errors = 0;
  raw->OnSessionClosed = [&](QObject*, quint16) { socket.reset(); };
  raw->OnError = [&](QObject*) { ++errors; };
  raw->SetDeviceID(1);
  raw->Connect();
  stack.InjectError(SimIrdaOp::Send, 10054, 1);
  raw->SendText("x");
  EXPECT_FALSE(socket);
  EXPECT_EQ(errors, 0);
}

// The link on top: a fatal send error on the IrDA socket takes the link down
// instead of leaving it connected for ever.
TEST(IrdaLinkSocket, AConnectionResetOnSendTakesTheLinkDown) {
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  SimIrdaStack stack;
  ScopedIrdaStack installed{&stack};
  FramePeer peer;
  stack.AddDevice(Device(42, false, true, &peer));
  TKelLink link;
  QStringList events;
  link.OnLinkUp = [&](QObject*, bool) { events << "Up"; };
  link.OnLinkDown = [&](QObject*, bool) { events << "Down"; };
  link.OnIrError = [&](QObject*) { events << "IrError"; };
  link.SetInstrumentType(TKelType::tpZelvoPro);
  link.SetConnected(true);
  ASSERT_TRUE(WaitUntil([&] { return events.contains("Up"); }, 5000));
  stack.InjectError(SimIrdaOp::Send, 10054, 1);
  link.SendMsg("ENQ", 5);
  ASSERT_TRUE(WaitUntil([&] { return events.contains("Down"); }, 5000));
  EXPECT_FALSE(link.Connected());
  EXPECT_EQ(events, (QStringList{"Up", "IrError", "Down"}));
  EXPECT_EQ(stack.SocketsOpen(), 0);
}

namespace {

// A stack whose sockets only record what the component asks of them.
class RecordingStack : public IrdaStack {
 public:
  QStringList calls;
  int lingerRefusal = 0;
  QString Name() const override { return QStringLiteral("recording"); }
  std::unique_ptr<IrdaSocket> CreateSocket(IrdaSocketEvents*, int&) override {
    return std::make_unique<Socket>(this);
  }

 private:
  struct Socket : IrdaSocket {
    explicit Socket(RecordingStack* s) : stack(s) {}
    int StartNotifications() override {
      stack->calls << "Notifications";
      return 0;
    }
    int SetModeOption(int option, int value) override {
      stack->calls << QStringLiteral("Mode(%1, %2)").arg(option).arg(value);
      return 0;
    }
    int SetLinger(bool on, int seconds) override {
      stack->calls << QStringLiteral("Linger(%1, %2)").arg(on).arg(seconds);
      return stack->lingerRefusal;
    }
    int EnumerateDevices(int, quint32& count, QList<IrdaDeviceEntry>&) override {
      count = 0;
      return 0;
    }
    int IasQuery(quint32, const QByteArray&, const QByteArray&, IasAttribute&) override { return 0; }
    int Connect(quint32, const QByteArray&) override { return 0; }
    qint64 Send(const QByteArray& data, int&) override { return data.size(); }
    QByteArray Receive(int&) override { return {}; }
    bool AllSent() const override { return true; }
    RecordingStack* stack;
  };
};

}  // namespace

TEST(IrCOMMSocketLinger, PublishedSettingsAreAppliedByCreateIrSocket) {
  RecordingStack stack;
  ScopedIrdaStack installed{&stack};
  TWIrCOMMSocket socket;
  int errors = 0;
  socket.OnError = [&](QObject*) { ++errors; };
  EXPECT_EQ(socket.LingerOnOff(), TSocketLingerOnOff::wsLingerOff);
  EXPECT_EQ(socket.LingerTimeout(), 0);
  ASSERT_TRUE(socket.CreateIrSocket());
  EXPECT_EQ(stack.calls, (QStringList{"Mode(21, 1)", "Linger(0, 0)", "Notifications"}));

  stack.calls.clear();
  socket.SetLingerOnOff(TSocketLingerOnOff::wsLingerOn);
  socket.SetLingerTimeout(7);
  ASSERT_TRUE(socket.CreateIrSocket());
  EXPECT_EQ(stack.calls, (QStringList{"Mode(21, 1)", "Linger(1, 7)", "Notifications"}));

  stack.calls.clear();
  socket.SetLingerOnOff(TSocketLingerOnOff::wsLingerNoSet);
  ASSERT_TRUE(socket.CreateIrSocket());
  EXPECT_EQ(stack.calls, (QStringList{"Mode(21, 1)", "Notifications"}));

  // A refused linger setting leaves a usable socket.
  stack.calls.clear();
  stack.lingerRefusal = 10042;
  socket.SetLingerOnOff(TSocketLingerOnOff::wsLingerOn);
  EXPECT_TRUE(socket.CreateIrSocket());
  EXPECT_EQ(stack.calls.last(), "Notifications");
  EXPECT_EQ(errors, 0);
  socket.Close();
}

// The Winsock records, byte by byte: the sizes the component passes and the
// field positions, whatever the platform structures' sizes.
TEST(IrdaRecords, IasQueryIsTheWhole1385ByteBuffer) {
  const QByteArray q = irda::EncodeIasQuery(0x11223344, "IrDA:IrCOMM", "Parameters");
  ASSERT_EQ(q.size(), 1385);
  EXPECT_EQ(q.left(4), QByteArray::fromHex("44332211"));
  EXPECT_EQ(q.mid(4, 12), QByteArray("IrDA:IrCOMM\0", 12));
  EXPECT_EQ(q.mid(68, 11), QByteArray("Parameters\0", 11));
  EXPECT_EQ(q.mid(324), QByteArray(1385 - 324, '\0'));
  // Names longer than their fields keep the terminating zero.
  const QByteArray cut = irda::EncodeIasQuery(1, QByteArray(100, 'c'), QByteArray(300, 'a'));
  ASSERT_EQ(cut.size(), 1385);
  EXPECT_EQ(cut.mid(4, 64), QByteArray(63, 'c') + '\0');
  EXPECT_EQ(cut.mid(68, 256), QByteArray(255, 'a') + '\0');
}

TEST(IrdaRecords, IasAnswersAreReadWithinTheBuffer) {
  auto answer = [](quint32 type, quint32 value, const QByteArray& bytes = {}, int size = 1385) {
    QByteArray q = irda::EncodeIasQuery(1, "IrLPT", "IrDA:IrLMP:LsapSel");
    qToLittleEndian(type, q.data() + 324);
    qToLittleEndian(value, q.data() + 328);
    q.replace(332, bytes.size(), bytes);
    q.resize(size);
    return q;
  };
  IasAttribute a = irda::DecodeIasQuery(answer(1, 2));
  EXPECT_EQ(a.type, irda::kIasAttribInt);
  EXPECT_EQ(a.integer, 2);
  a = irda::DecodeIasQuery(answer(2, 3, QByteArray::fromHex("000104")));
  EXPECT_EQ(a.type, irda::kIasAttribOctetSeq);
  EXPECT_EQ(a.octets, QByteArray::fromHex("000104"));
  a = irda::DecodeIasQuery(answer(2, 0xFFFFFFFF));  // a length beyond the field
  EXPECT_EQ(a.octets.size(), 1024);
  a = irda::DecodeIasQuery(answer(2, 1024, {}, 340));  // a buffer shorter than the field
  EXPECT_EQ(a.octets.size(), 8);
  a = irda::DecodeIasQuery(answer(3, 5, QByteArray("\0\0\0\0Zelvo", 9)));  // length, character set, text
  EXPECT_EQ(a.type, irda::kIasAttribStr);
  EXPECT_EQ(a.octets, "Zelvo");
  EXPECT_EQ(irda::DecodeIasQuery(answer(0, 0)).type, irda::kIasAttribNone);
  EXPECT_EQ(irda::DecodeIasQuery(answer(1, 2, {}, 331)).type, irda::kIasAttribNone);  // too short
  EXPECT_EQ(irda::DecodeIasQuery({}).type, irda::kIasAttribNone);
}

TEST(IrdaRecords, SocketAddressIs31Bytes) {
  const QByteArray a = irda::EncodeSocketAddress(0x0A0B0C0D, "IrDA:IrCOMM");
  EXPECT_EQ(a, QByteArray::fromHex("1A00" "0D0C0B0A") + QByteArray("IrDA:IrCOMM") + QByteArray(14, '\0'));
  const QByteArray cut = irda::EncodeSocketAddress(1, QByteArray(40, 's'));
  ASSERT_EQ(cut.size(), 31);
  EXPECT_EQ(cut.mid(6), QByteArray(24, 's') + '\0');
}

TEST(IrdaRecords, DeviceListEntriesWithinWhatWasFilled) {
  QByteArray list(irda::kDeviceListSize, '\0');
  ASSERT_EQ(list.size(), 294);
  for (int i = 0; i < 10; ++i) {
    char* e = list.data() + 4 + i * 29;
    qToLittleEndian<quint32>(100 + i, e);
    std::memset(e + 4, 'A' + i, 22);  // a full name, no terminating zero
    e[26] = 0x11;
    e[27] = 0x22;
    e[28] = static_cast<char>(0xFF);
  }
  qToLittleEndian<quint32>(2, list.data());
  quint32 count = 0;
  QList<IrdaDeviceEntry> entries = irda::DecodeDeviceList(list, 4 + 2 * 29, count);
  EXPECT_EQ(count, 2u);
  ASSERT_EQ(entries.size(), 2);
  EXPECT_EQ(entries[1].deviceId, 101u);
  EXPECT_EQ(entries[1].name, QByteArray(22, 'B'));
  EXPECT_EQ(entries[1].hints1, 0x11);
  EXPECT_EQ(entries[1].hints2, 0x22);
  EXPECT_EQ(entries[1].charSet, 0xFF);
  // More reported than the list holds: the count as reported, the entries
  // that are there.
  qToLittleEndian<quint32>(12, list.data());
  entries = irda::DecodeDeviceList(list, 294, count);
  EXPECT_EQ(count, 12u);
  EXPECT_EQ(entries.size(), 10);
  entries = irda::DecodeDeviceList(list, 4 + 29 + 10, count);  // one whole entry filled
  EXPECT_EQ(entries.size(), 1);
  EXPECT_TRUE(irda::DecodeDeviceList(list, 3, count).isEmpty());
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(irda::DecodeDeviceList(list, 100000, count).size() == 10);  // a length beyond the buffer
}
