// The link on its serial transports (the IrCOMM virtual port of a system
// without IrDA sockets, and the RS-232 port of family 1): handlers that free
// the link from inside a serial notification, and ports that cannot be opened.
#include <gtest/gtest.h>

#include <memory>

#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "core/Timer.h"
#include "link/KelLink.h"
#include "link/SerialOnlySystem.h"
#include "link/SerialPort.h"
#include "support/Pty.h"

using namespace zelvo;
using zelvo::test::Pty;

namespace {

struct SerialLink : ::testing::Test {
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  SerialOnlySystem system;

  void Install(const QString& device) {
    QString error;
    ASSERT_TRUE(system.Install(device, &error)) << error.toStdString();
  }
};

}  // namespace

TEST_F(SerialLink, ReceiveHandlerThatFreesTheLink) {
  // Plain and indexed families get their replies straight from the serial
  // port's notification; the handler may end the link there and then (the
  // sanitizer build sees any use of the freed port).
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  Install(pty.Slave());
  for (TKelType type : {TKelType::tpKel1, TKelType::tpKel2, TKelType::tpKel7}) {
    auto* link = new TKelLink;
    link->SetInstrumentType(type);
    link->SetRS232Port(4);  // family 1: the RS-232 port, here the same line
    link->SetRS232BaudRate(115200);
    bool freed = false;
    link->OnReceiveMsg = [&](QObject*, const QByteArray&) {
      freed = true;  // before the delete takes this handler with it
      delete link;
    };
    link->OnDebugReceive = link->OnReceiveMsg;  // whichever comes first
    link->OpenLink(0);
    ASSERT_TRUE(link->Connected()) << Ordinal(type);
    EXPECT_FALSE(link->IrDASocketMode());
    pty.Write("ACK0reply");
    ASSERT_TRUE(WaitUntil([&] { return freed; }, 5000)) << Ordinal(type);
    // Whatever the port still had queued for the freed link stays unheard.
    pty.Write("more");
    WaitForMessages(50);
    ProcessMessages();
  }
  EXPECT_TRUE(dialogs.Calls().empty());
}

TEST_F(SerialLink, IrCommPortThatCannotBeOpenedSaysWhyAndReportsItAtOnce) {
  ManualClock clock;
  Install(QStringLiteral("/nonexistent/zelvo-ircomm"));
  TKelLink link;
  link.SetInstrumentType(TKelType::tpZelvoPro);
  link.SetDefaultTimeOut(30);
  QStringList events;
  link.OnTimeOut = [&](QObject*, quint16 error) { events << QStringLiteral("TimeOut(%1)").arg(error); };
  link.OnLinkUp = [&](QObject*, bool) { events << "Up"; };
  link.OnOpenFailed = [&](QObject*) { events << "OpenFailed"; };
  link.SetConnected(true);
  EXPECT_FALSE(link.IrDASocketMode());
  EXPECT_FALSE(link.Connected());
  ASSERT_EQ(dialogs.Texts().size(), 1);
  EXPECT_TRUE(dialogs.Texts()[0].startsWith("Could not open the IrCOMM port /nonexistent/zelvo-ircomm: "))
      << dialogs.Texts()[0].toStdString();
  EXPECT_GT(dialogs.Texts()[0].size(), QStringLiteral("Could not open the IrCOMM port /nonexistent/zelvo-ircomm: ").size());
  // Told at once, once; no connect time-out follows a port that cannot open.
  EXPECT_EQ(events, QStringList{"OpenFailed"});
  clock.Advance(60000);
  EXPECT_EQ(events, QStringList{"OpenFailed"});
  EXPECT_FALSE(link.Connected());
}

TEST_F(SerialLink, IrCommPortThatOpensComesUpWithoutATimeOut) {
  ManualClock clock;
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  Install(pty.Slave());
  TKelLink link;
  link.SetInstrumentType(TKelType::tpZelvoPro);
  QStringList events;
  link.OnTimeOut = [&](QObject*, quint16) { events << "TimeOut"; };
  link.OnLinkUp = [&](QObject*, bool) {
    events << "Up";
    link.SendMsg("ENQ", 7);  // as the instrument protocol does: the reply wait takes over
  };
  link.OpenLink(30);
  ASSERT_TRUE(link.Connected());
  EXPECT_TRUE(link.ReplyTimer()->Enabled());
  EXPECT_EQ(link.ReplyTimer()->Interval(), 30000);
  ASSERT_TRUE(WaitUntil([&] { return events.contains("Up"); }, 5000));
  EXPECT_EQ(link.ReplyTimer()->Interval(), 7000);
  EXPECT_TRUE(dialogs.Calls().empty());
}
