// The link over a pseudo-terminal standing in for the IrCOMM virtual port:
// no IrDA sockets (10047), the port found in the registry mirror, opened at
// 115200 baud, framed messages both ways.
#include <gtest/gtest.h>

#include <QSerialPortInfo>
#include <termios.h>

#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "link/KelLink.h"
#include "link/SerialPort.h"
#include "LinkTestSupport.h"
#include "support/Pty.h"

using namespace zelvo;
using zelvo::test::Pty;
using zelvo::test::TempMirror;

namespace {

QByteArray H(const char* hex) { return QByteArray::fromHex(hex); }

struct PtyLink : ::testing::Test {
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  sim::SimIrdaStack simulated;
  std::unique_ptr<ScopedIrdaStack> stack;
  Pty pty;
  std::unique_ptr<TempMirror> mirror;

  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    // The system's own stack when it has no IrDA (as on current kernels);
    // elsewhere the simulated one, refusing sockets the same way.
    int error = 0;
    std::unique_ptr<IrdaSocket> probe = PlatformIrdaStack().CreateSocket(nullptr, error);
    if (probe || error != 10047) {
      simulated.InjectError(sim::SimIrdaOp::CreateSocket, 10047);
      stack = std::make_unique<ScopedIrdaStack>(&simulated);
    }
    probe.reset();
    mirror = MirrorWithCom4(pty.Slave());
  }

  // The IrCOMM virtual port is COM4, and COM4 is the given line.
  static std::unique_ptr<TempMirror> MirrorWithCom4(const QString& line) {
    return std::make_unique<TempMirror>(
        "[Software\\Microsoft\\Windows\\CurrentVersion]\nVersion=4.0\n"
        "[Enum\\Infrared\\com\\Root&Infrared&0000]\nPortName=COM4\n"
        "[Ports]\nCOM4=" + line.toLocal8Bit() + "\n");
  }
};

}  // namespace

TEST_F(PtyLink, NoIrdaStackFallsBackToTheVirtualPort) {
  TKelLink link;
  link.SetInstrumentType(TKelType::tpZelvoPro);
  link.SetDefaultTimeOut(30);
  QList<QByteArray> replies;
  QStringList events;
  link.OnReceiveMsg = [&](QObject*, const QByteArray& d) { replies << d; };
  link.OnLinkUp = [&](QObject*, bool) { events << "Up"; };
  link.OnLinkDown = [&](QObject*, bool) { events << "Down"; };
  link.OnTimeOut = [&](QObject*, quint16) { events << "TimeOut"; };
  ASSERT_TRUE(WaitUntil([&] { return !link.IrDASocketMode(); }, 5000));
  EXPECT_EQ(link.IrCommPort(), 4);
  EXPECT_TRUE(dialogs.Calls().empty());

  link.SetConnected(true);
  ASSERT_TRUE(link.Connected());
  EXPECT_EQ(link.ComPort()->DeviceName(), pty.Slave());
  EXPECT_EQ(link.ComPort()->Baud(), 115200);
  EXPECT_EQ(pty.Speed(), static_cast<speed_t>(B115200));
  ASSERT_TRUE(WaitUntil([&] { return events.contains("Up"); }, 5000));

  link.SendMsg("ENQ", 5);
  EXPECT_EQ(pty.Read(5), H("E6454E51E7"));  // no control byte on a serial port
  pty.Write(H("E6414E") + "Q" + H("E7"));
  ASSERT_TRUE(WaitUntil([&] { return !replies.isEmpty(); }, 5000));
  EXPECT_EQ(replies.first(), "ANQ");
  EXPECT_FALSE(link.ReplyTimer()->Enabled());

  // A reply in two blocks, with an escaped end marker inside.
  link.SendMsg("WHO", 5);
  EXPECT_EQ(pty.Read(5), H("E657484FE7"));
  pty.Write(H("E65A45"));
  ProcessMessages();
  pty.Write(H("E8C7E7"));
  ASSERT_TRUE(WaitUntil([&] { return replies.size() == 2; }, 5000));
  EXPECT_EQ(replies.last(), H("5A45E7"));

  link.SetConnected(false);
  EXPECT_FALSE(link.Connected());
  ASSERT_TRUE(WaitUntil([&] { return events.contains("Down"); }, 5000));
  EXPECT_TRUE(events.indexOf("TimeOut") < 0);
}

TEST_F(PtyLink, GatheringBeyond1024BytesDropsTheExchangeSilently) {
  TKelLink link;
  link.SetInstrumentType(TKelType::tpZelvoPro);
  int timeOuts = 0;
  QList<QByteArray> replies;
  link.OnTimeOut = [&](QObject*, quint16) { ++timeOuts; };
  link.OnReceiveMsg = [&](QObject*, const QByteArray& d) { replies << d; };
  ASSERT_TRUE(WaitUntil([&] { return !link.IrDASocketMode(); }, 5000));
  link.OpenLink(0);
  ASSERT_TRUE(link.Connected());
  link.SendMsg("ENQ", 30);
  pty.Read(5);
  pty.Write(H("E6") + QByteArray(1100, 'a'));  // no end marker, too long
  ASSERT_TRUE(WaitUntil([&] { return !link.ReplyTimer()->Enabled(); }, 5000));
  EXPECT_TRUE(link.ReceiveBuffer().isEmpty() || link.ReceiveBuffer().size() <= 1024);
  EXPECT_EQ(timeOuts, 0);
  EXPECT_TRUE(replies.isEmpty());
}

TEST_F(PtyLink, LargeNotificationsLoseNothing) {
  // Family 1 talks over the RS-232 port; its replies are taken as they come.
  TKelLink link;
  link.SetInstrumentType(TKelType::tpKel1);
  link.SetRS232Port(4);
  link.SetRS232BaudRate(9600);
  QByteArray received;
  link.OnReceiveMsg = [&](QObject*, const QByteArray& d) { received += d; };
  link.OpenLink(0);
  ASSERT_TRUE(link.Connected());
  EXPECT_EQ(pty.Speed(), static_cast<speed_t>(B9600));
  link.SendMsg("DUMP", 5);
  EXPECT_EQ(pty.Read(4), "DUMP");  // plain: as it is
  QByteArray big;
  for (int i = 0; i < 10000; ++i) big.append(static_cast<char>(i * 7));
  pty.Write(big);
  ASSERT_TRUE(WaitUntil([&] { return received.size() >= big.size(); }, 10000));
  EXPECT_EQ(received, big);
  link.CloseLink();
  EXPECT_FALSE(link.Connected());
}

TEST_F(PtyLink, ALineThatHangsUpTakesTheLinkDownAtOnce) {
  // The instrument's end of the line goes (as an unplugged USB-serial adapter
  // hangs up its port) while a page waits for its acknowledgement: the link
  // goes down then, not when the reply time-out runs out.
  struct Case {
    const char* way;
    TKelType type;
  };
  for (const Case& c : {Case{"IrCOMM virtual port", TKelType::tpZelvoPro}, Case{"RS-232 port", TKelType::tpKel1}}) {
    SCOPED_TRACE(c.way);
    Pty line;
    ASSERT_TRUE(line.Ok());
    const std::unique_ptr<TempMirror> ports = MirrorWithCom4(line.Slave());
    TKelLink link;
    link.SetInstrumentType(c.type);
    link.SetRS232Port(4);
    link.SetRS232BaudRate(9600);
    QStringList events;
    link.OnLinkUp = [&](QObject*, bool) { events << "Up"; };
    link.OnLinkDown = [&](QObject*, bool) { events << "Down"; };
    link.OnTimeOut = [&](QObject*, quint16) { events << "TimeOut"; };
    link.OpenLink(0);
    ASSERT_TRUE(link.Connected());
    EXPECT_EQ(link.ComPort()->DeviceName(), line.Slave());
    ASSERT_TRUE(WaitUntil([&] { return events.contains("Up"); }, 30000));
    link.SendMsg("WEP", 60);
    EXPECT_FALSE(line.Read(3).isEmpty());
    line.Hangup();
    // The bound only catches a link that never notices; the reply time-out
    // (60 s) lies beyond it.
    EXPECT_TRUE(WaitUntil([&] { return events.contains("Down"); }, 30000)) << events.join(' ').toStdString();
    EXPECT_FALSE(link.Connected());
    EXPECT_FALSE(link.ComPort()->Open());
    EXPECT_EQ(events, (QStringList{"Up", "Down"}));
  }
  EXPECT_TRUE(dialogs.Calls().empty());
}

TEST_F(PtyLink, PortZeroAsksTheOperator) {
  TSerialPort port;
  port.SetComNumber(0);
  dialogs.AnswerPort({});  // cancel
  port.SetOpen(true);
  EXPECT_FALSE(port.Open());
  ASSERT_EQ(dialogs.Calls().size(), 1u);
  EXPECT_EQ(dialogs.Calls()[0].kind, DialogCall::Kind::SelectPort);
  dialogs.AnswerPort(pty.Slave());
  int opened = 0;
  port.OnPortOpen = [&](QObject*) { ++opened; };
  port.SetOpen(true);
  EXPECT_TRUE(port.Open());
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(port.DataBits(), 8);
  EXPECT_EQ(port.InSize(), 4096);
}

TEST_F(PtyLink, TraceLogIsWrittenOnlyWhenAsked) {
  QTemporaryDir dir;
  TSerialPort port;
  port.SetPortName(pty.Slave());
  port.SetLogName(dir.filePath("KelLink.Log"));
  port.SetOpen(true);
  ASSERT_TRUE(port.Open());
  port.PutString("off");
  port.SetLogging(TTraceLogState::tlOn);
  port.PutString("ENQ");
  port.SetLogging(TTraceLogState::tlDump);
  EXPECT_EQ(port.Logging(), TTraceLogState::tlOff);
  QFile log(dir.filePath("KelLink.Log"));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  const QByteArray text = log.readAll();
  EXPECT_TRUE(text.contains("T 45 4E 51"));
  EXPECT_FALSE(text.contains("6F 66 66"));
}
