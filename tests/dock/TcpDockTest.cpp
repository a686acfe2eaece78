// The Kova Express dock over TCP against real peers on loopback: the test
// plays the dock's far side on an address of its own (127.x.y.z), ports 5000
// (control) and 5001 (data). The command timer follows a manual clock; the
// connection and send waits are wall-clock, so the send pause is shortened
// except where the pause itself is checked.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

#include "support/ScriptedDialogs.h"
#include "core/Timer.h"
#include "dock/DockTestSupport.h"
#include "dock/DockWatch.h"
#include "dock/KovaExpressDock.h"

using namespace zelvo;
using zelvo::test::Eventually;
using zelvo::test::Settle;

namespace {

constexpr quint16 kControlPort = 5000;
constexpr quint16 kDataPort = 5001;
constexpr int kShortPauseMs = 2;

class TcpDock : public ::testing::Test {
 protected:
  TcpDock() {
    dock.SetCommandTimeOut(3000);
    dock.SetTcpSendPauseMs(kShortPauseMs);
    dock.OnDebugRcvControlData = [this](QObject*, const QByteArray& line) { debug << line; };
    dock.OnDebugSndControlData = [this](QObject*, const QByteArray& data) { sentControl << data; };
    dock.OnTCPConnected = [this](QObject*) { ++connected; };
    dock.OnTCPClosed = [this](QObject*) { ++closed; };
    dock.OnTCPError = [this](QObject*, int channel, int error, const QString& text) {
      errors << std::tuple<int, int, QString>{channel, error, text};
    };
    dock.OnRcvUserData = [this](QObject*, const QByteArray& data) { delivered << data; };
    // Every arrival on the data connection, before the size rule.
    TcpDockChannels& channels = dock.TcpChannels();
    channels.OnDataArrival = [this, inner = channels.OnDataArrival](const QByteArray& data) {
      dataArrivals << data;
      if (inner) inner(data);
    };
  }
  ~TcpDock() override {
    if (dock.Enabled()) dock.SetEnabled(false);
  }

  // Both ports listening and the dock enabled on them.
  void Open() {
    if (!far.Listen(kControlPort, kDataPort))
      GTEST_SKIP() << "ports 5000/5001 not to be had on loopback: " << qPrintable(far.whyNot);
    dock.SetEthernetAddress(far.address.toString());
    dock.SetEnabled(true);
    ASSERT_TRUE(dock.Enabled());
    ASSERT_TRUE(Eventually([&] { return far.control.Connected() && far.data.Connected(); }));
  }
  // Arrivals of the data connection as the dock saw them, waiting for n.
  bool DataArrivals(int n) { return Eventually([&] { return dataArrivals.size() >= n; }); }

  ManualClock clock;
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  test::LoopbackDock far;
  TKovaExpressDock dock;
  QList<QByteArray> debug, sentControl, delivered, dataArrivals;
  QList<std::tuple<int, int, QString>> errors;
  int connected = 0;
  int closed = 0;
};

}  // namespace

TEST_F(TcpDock, EnablingConnectsBothPortsOfTheAddressAndDisablingClosesThem) {
  Open();
  if (IsSkipped()) return;
  EXPECT_EQ(connected, 1);
  EXPECT_EQ(dock.TcpChannels().ControlSocket().Port(), QStringLiteral("5000"));
  EXPECT_EQ(dock.TcpChannels().DataSocket().Port(), QStringLiteral("5001"));
  EXPECT_EQ(dock.TcpChannels().ControlSocket().Addr(), far.address.toString());
  EXPECT_EQ(dock.TcpChannels().DataSocket().Addr(), far.address.toString());
  EXPECT_EQ(dock.TcpChannels().ControlSocket().FlushTimeout(), 60);
  EXPECT_EQ(dock.TcpChannels().DataSocket().FlushTimeout(), 60);

  dock.SetEnabled(false);
  EXPECT_FALSE(dock.Enabled());
  EXPECT_TRUE(Eventually([&] { return far.control.Closed() && far.data.Closed(); }));
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(errors.isEmpty());
  EXPECT_TRUE(dialogs.Texts().isEmpty());
}

TEST_F(TcpDock, ADockOnlyOnItsDataPortIsNeverEnabledAndItsDataConnectionIsClosed) {
  if (!far.Listen(kControlPort, kDataPort, false))
    GTEST_SKIP() << "port 5001 not to be had on loopback: " << qPrintable(far.whyNot);
  dock.SetEthernetAddress(far.address.toString());
  dock.SetEnabled(true);
  EXPECT_FALSE(dock.Enabled());
  EXPECT_EQ(connected, 0);
  // The data connection did come up, and is closed after the wait.
  ASSERT_TRUE(Eventually([&] { return far.data.accepted == 1; }));
  EXPECT_TRUE(Eventually([&] { return far.data.Closed(); }));
  EXPECT_EQ(dock.TcpChannels().DataSocket().State(), TSocketState::wsClosed);
  // Silently: nothing for the operator.
  EXPECT_TRUE(dialogs.Texts().isEmpty());

  // A command now names the address it would have gone to.
  EXPECT_FALSE(dock.SendDisconnect());
  EXPECT_EQ(dialogs.Texts(), QStringList{QStringLiteral("Send Error,TCP Dock not Enabled! Destination=") +
                                         far.address.toString() + QStringLiteral(" Message=DSC")});
  EXPECT_EQ(dock.CommandStatus(), TCommandStatus::csFailed);
  EXPECT_EQ(sentControl, QList<QByteArray>{"DSC"});
}

TEST_F(TcpDock, ACommandWhileNotEnabledShowsTheDestination) {
  dock.SetEthernetAddress(QStringLiteral("127.0.0.1"));
  // Never enabled: no connection has an address yet.
  EXPECT_FALSE(dock.SendCommand("LCD2Insert Instr    "));
  ASSERT_EQ(dialogs.Texts().size(), 1);
  EXPECT_EQ(dialogs.Texts().first(),
            QStringLiteral("Send Error,TCP Dock not Enabled! Destination=0.0.0.0 Message=LCD2Insert Instr    "));
  EXPECT_EQ(dock.CommandStatus(), TCommandStatus::csFailed);
  EXPECT_EQ(sentControl, QList<QByteArray>{"LCD2Insert Instr    "});
  // Data is refused with the dock's own text.
  EXPECT_FALSE(dock.SendStr("ENQ"));
  EXPECT_EQ(dialogs.Texts().last(), QStringLiteral("Send Error, Dock not Enabled!"));
  EXPECT_EQ(debug.last(), "  SendStr Result = False");
}

TEST_F(TcpDock, TheDockClosingItsControlConnectionClosesBoth) {
  Open();
  if (IsSkipped()) return;
  int disconnected = 0;
  int lost = 0;
  dock.OnInstrumentDisconnected = [&](QObject*) { ++disconnected; };
  dock.OnDockLost = [&](QObject*) {
    EXPECT_EQ(disconnected, 1);  // the instrument's report first
    ++lost;
  };
  far.control.Write("EVT1");
  ASSERT_TRUE(Eventually([&] { return debug.contains("EVT1"); }));

  far.control.client->close();
  ASSERT_TRUE(Eventually([&] { return closed > 0; }));
  EXPECT_TRUE(Eventually([&] { return far.data.Closed(); }));
  ProcessMessages();  // nothing more follows
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(dock.Enabled());
  EXPECT_EQ(dock.TcpChannels().ControlSocket().State(), TSocketState::wsClosed);
  EXPECT_EQ(dock.TcpChannels().DataSocket().State(), TSocketState::wsClosed);
  // The instrument in it has gone with it, once.
  EXPECT_EQ(disconnected, 1);
  EXPECT_GE(lost, 1);
  EXPECT_TRUE(dialogs.Texts().isEmpty());
}

TEST_F(TcpDock, ARefusedConnectIsReportedPerChannelThenAConnectIsTold) {
  // Nothing listens on the address yet.
  far.address = test::RandomLoopbackAddress();
  dock.SetEthernetAddress(far.address.toString());
  dock.SetEnabled(true);
  EXPECT_FALSE(dock.Enabled());
  EXPECT_EQ(connected, 0);
  const QString refused = QStringLiteral("Connection refused");
  std::sort(errors.begin(), errors.end());
  EXPECT_EQ(errors, (QList<std::tuple<int, int, QString>>{{0, 10061, refused}, {1, 10061, refused}}));
  EXPECT_EQ(dock.TcpChannels().ControlSocket().LastError(), 10061);
  EXPECT_TRUE(dialogs.Texts().isEmpty());

  // The same address, now listening.
  errors.clear();
  if (!far.control.Listen(far.address, kControlPort) || !far.data.Listen(far.address, kDataPort))
    GTEST_SKIP() << "ports 5000/5001 not to be had on " << qPrintable(far.address.toString());
  dock.SetEnabled(true);
  EXPECT_TRUE(dock.Enabled());
  EXPECT_EQ(connected, 1);
  EXPECT_TRUE(errors.isEmpty());
}

TEST_F(TcpDock, LongDataGoesInPiecesOf1024WithProgress) {
  Open();
  if (IsSkipped()) return;
  QList<std::pair<int, int>> progress;
  dock.OnFlashProgress = [&](QObject*, int total, int remain) { progress << std::pair{total, remain}; };
  QByteArray data(2048, '\0');
  for (int i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 256);
  EXPECT_TRUE(dock.SendStr(data));
  EXPECT_EQ(progress, (QList<std::pair<int, int>>{{2048, 1024}, {2048, 0}}));
  EXPECT_EQ(debug, (QList<QByteArray>{"  Have to break up the incomming data", "  SendStr Result = True"}));
  ASSERT_TRUE(Eventually([&] { return far.data.received.size() == 2048; }));
  EXPECT_EQ(far.data.received, data);

  // 1025 bytes: 1024, then the last one.
  progress.clear();
  debug.clear();
  far.data.received.clear();
  const QByteArray odd = QByteArray(1024, 'a') + 'Z';
  EXPECT_TRUE(dock.SendStr(odd));
  EXPECT_EQ(progress, (QList<std::pair<int, int>>{{1025, 1}, {1025, 0}}));
  EXPECT_EQ(debug.first(), "  Have to break up the incomming data");
  ASSERT_TRUE(Eventually([&] { return far.data.received.size() == 1025; }));
  EXPECT_EQ(far.data.received, odd);

  // Up to one piece: no progress, no debug line about pieces.
  progress.clear();
  debug.clear();
  far.data.received.clear();
  EXPECT_TRUE(dock.SendStr(QByteArray(1024, 'b')));
  EXPECT_TRUE(progress.isEmpty());
  EXPECT_EQ(debug, QList<QByteArray>{"  SendStr Result = True"});
  ASSERT_TRUE(Eventually([&] { return far.data.received.size() == 1024; }));
  EXPECT_TRUE(dock.DataSent());
  EXPECT_TRUE(dialogs.Texts().isEmpty());
}

TEST_F(TcpDock, EachSendKeepsTheDocksPaceOf100Ms) {
  EXPECT_EQ(TKovaExpressDock().TcpSendPauseMs(), 100);  // the component as built
  dock.SetTcpSendPauseMs(100);
  Open();
  if (IsSkipped()) return;
  // A timing check, kept: the pause is the dock's own wall-clock wait, and
  // only its length tells; a slower machine only makes it longer.
  QElapsedTimer wall;
  wall.start();
  EXPECT_TRUE(dock.SendStr("WEP"));
  EXPECT_GE(wall.elapsed(), 100);
  // Two pieces: a pause after each and one more at the end.
  wall.restart();
  EXPECT_TRUE(dock.SendStr(QByteArray(2048, 'p')));
  EXPECT_GE(wall.elapsed(), 300);
}

TEST_F(TcpDock, DataArrivalsOfTwoBytesAreDroppedAndLongerOnesDelivered) {
  Open();
  if (IsSkipped()) return;
  far.data.Write("OK");
  ASSERT_TRUE(DataArrivals(1));
  far.data.Write("ACK");
  ASSERT_TRUE(DataArrivals(2));
  far.data.Write("x");
  ASSERT_TRUE(DataArrivals(3));
  EXPECT_EQ(dataArrivals, (QList<QByteArray>{"OK", "ACK", "x"}));
  EXPECT_EQ(delivered, QList<QByteArray>{"ACK"});
}

TEST_F(TcpDock, ControlInputIsParsedOneInputPerArrival) {
  Open();
  if (IsSkipped()) return;
  QStringList events;
  dock.OnInstrumentConnected = [&](QObject*) { events << "connected"; };
  dock.OnDeviceInRange = [&](QObject*) { events << "in range"; };
  dock.OnGotGasReading = [&](QObject*, qint16 reading) { events << QStringLiteral("gas %1").arg(reading); };
  // Two reports in one arrival: one input, both reports in order.
  far.control.Write(QByteArray("EVT4EVT9\xFF\x9C", 10));
  ASSERT_TRUE(Eventually([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (QStringList{"in range", "gas -100"}));
  EXPECT_EQ(debug.first(), QByteArray("EVT4EVT9\xFF\x9C", 10));

  // A command and its reply with a report ahead of it.
  debug.clear();
  events.clear();
  far.control.reply = "EVT1ACK";
  EXPECT_TRUE(dock.SendDisconnect());
  EXPECT_EQ(far.control.received, "DSC");
  EXPECT_EQ(sentControl, QList<QByteArray>{"DSC"});
  EXPECT_EQ(events, QStringList{"connected"});
  EXPECT_EQ(dock.CommandStatus(), TCommandStatus::csAcked);
  EXPECT_TRUE(debug.contains("EVT1ACK"));
  EXPECT_TRUE(debug.contains("Instrument Connected Event"));

  // The LCD read-back over TCP.
  far.control.reply = "ACK FLASH Upload   more";
  QByteArray text;
  EXPECT_TRUE(dock.ReadLCDLine(0, &text));
  EXPECT_EQ(text, " FLASH Upload   ");
  EXPECT_EQ(far.control.arrivals.last(), "RLC0");
}

// What the dock sent is handed on in the order it arrived, across both
// connections: a removal reported right after the instrument's last reply,
// which a wait held back, comes after that reply (and after a loss of the
// dock likewise).
TEST_F(TcpDock, ReportsAndTheDocksLossWaitBehindDataHeldBackByAWait) {
  Open();
  if (IsSkipped()) return;
  QStringList order;
  dock.OnRcvUserData = [&](QObject*, const QByteArray& data) { order << "data " + ToText(data); };
  dock.OnInstrumentConnected = [&](QObject*) { order << "in the dock"; };
  dock.OnInstrumentDisconnected = [&](QObject*) { order << "gone"; };
  far.control.Write("EVT1");
  ASSERT_TRUE(Eventually([&] { return order.size() == 1; }));

  // During the command's wait: the instrument's reply on the data
  // connection, then, once the dock has read it, the removal and the
  // command's reply on the control connection.
  dock.OnDebugSndControlData = [&](QObject*, const QByteArray&) { far.data.Write("ACKBYE"); };
  TcpDockChannels& channels = dock.TcpChannels();
  channels.OnDataArrival = [&, inner = channels.OnDataArrival](const QByteArray& data) {
    if (inner) inner(data);
    far.control.Write("EVT2ACK");
  };
  EXPECT_TRUE(dock.SendDisconnect());
  ASSERT_TRUE(Eventually([&] { return order.size() == 3; }));
  EXPECT_EQ(order, (QStringList{"in the dock", "data ACKBYE", "gone"}));

  // The same with the dock closing its connections instead of reporting.
  far.control.Write("EVT1");
  ASSERT_TRUE(Eventually([&] { return order.size() == 4; }));
  channels.OnDataArrival = [&](const QByteArray&) { far.control.client->abort(); };
  dock.OnDebugSndControlData = [&](QObject*, const QByteArray&) { far.data.Write("ACK9.12"); };
  dock.SendDisconnect();
  ASSERT_TRUE(Eventually([&] { return order.size() == 6; }));
  EXPECT_EQ(order.mid(4), (QStringList{"data ACK9.12", "gone"}));
}

TEST_F(TcpDock, ArrivalsOfAnyContentNeverHurt) {
  Open();
  if (IsSkipped()) return;
  int events = 0;
  dock.OnInstrumentConnected = [&](QObject*) { ++events; };
  dock.OnInstrumentDisconnected = [&](QObject*) { ++events; };
  dock.OnDebugMessage = [&](QObject*, const QByteArray&) { ++events; };
  QRandomGenerator random(20261209);
  QByteArray sentData;
  const auto dataReceived = [&] {
    qsizetype n = 0;
    for (const QByteArray& a : dataArrivals) n += a.size();
    return n;
  };
  for (int round = 0; round < 40; ++round) {
    QByteArray bytes(random.bounded(1, 5000), '\0');
    for (char& c : bytes) c = static_cast<char>(random.bounded(256));
    // Markers in the noise, some cut off at the end.
    for (int i = 0; i < 5; ++i) {
      const qsizetype at = random.bounded(static_cast<int>(bytes.size()));
      const char* marker = i % 3 == 0 ? "EVT8\xFF" : i % 3 == 1 ? "EVT" : "ACK";
      bytes.replace(at, qMin<qsizetype>(qstrlen(marker), bytes.size() - at), marker);
    }
    far.control.Write(bytes);
    far.data.Write(bytes);
    sentData += bytes;
    // One round at a time: each arrives on its own.
    ASSERT_TRUE(Eventually([&] { return dataReceived() == sentData.size(); }));
  }
  // Everything that came on the data connection reached the dock unchanged.
  QByteArray seen;
  for (const QByteArray& a : dataArrivals) seen += a;
  EXPECT_EQ(seen, sentData);
  EXPECT_TRUE(dock.Enabled());
  // A command still ends: with its reply, or (when the noise left a report
  // waiting for its parameters, which take the reply in) with the command
  // time-out. The clock moves while the command waits.
  far.control.reply = "ACK";
  QTimer clockDriver;
  QObject::connect(&clockDriver, &QTimer::timeout, [&] { clock.Advance(50); });
  clockDriver.start(1);
  dock.SendDisconnect();
  clockDriver.stop();
  EXPECT_NE(dock.CommandStatus(), TCommandStatus::csPending);
  EXPECT_TRUE(dock.Enabled());
  EXPECT_EQ(far.control.arrivals.last(), "DSC");
}

// An enquiry ("ADC") tells whether the dock still answers on its control
// channel, whatever it answers; a dock that says nothing within the command
// time-out is silent; with another command waiting nothing is asked.
TEST_F(TcpDock, AnEnquiryTellsWhetherTheDockStillAnswers) {
  Open();
  if (IsSkipped()) return;
  int lost = 0;
  dock.OnDockLost = [&](QObject*) { ++lost; };
  struct Case {
    const char* name;
    QByteArray reply;
    DockAnswer answer;
  };
  for (const Case& c : {Case{"acknowledged", QByteArray("ACK\0\0\3\0\0\0\0\0", 11), DockAnswer::Answered},
                        Case{"refused", "NAK", DockAnswer::Answered}, Case{"silent", {}, DockAnswer::Silent}}) {
    SCOPED_TRACE(c.name);
    far.control.reply = c.reply;
    const int asked = static_cast<int>(far.control.arrivals.size());
    // The command time-out runs out while the enquiry waits.
    QTimer::singleShot(200, [&] { clock.Advance(3000); });
    EXPECT_EQ(dock.Enquire(), c.answer);
    ASSERT_TRUE(Eventually([&] { return far.control.arrivals.size() > asked; }));
    EXPECT_EQ(far.control.arrivals.last(), "ADC");
    Settle(250);  // the clock moved on
  }
  // Another command waits: it is not disturbed.
  far.control.reply.clear();
  const int asked = static_cast<int>(far.control.arrivals.size());
  QTimer::singleShot(0, [&] { EXPECT_EQ(dock.Enquire(), DockAnswer::Busy); });
  QTimer::singleShot(100, [&] { clock.Advance(3000); });
  EXPECT_FALSE(dock.SetLCDLineText(0, "waiting"));
  Settle(150);
  EXPECT_EQ(far.control.arrivals.size(), asked + 1);
  EXPECT_EQ(lost, 0);
  // Gone: unreachable, nothing asked.
  far.control.client->close();
  ASSERT_TRUE(Eventually([&] { return !dock.Enabled(); }));
  EXPECT_EQ(dock.Enquire(), DockAnswer::Unreachable);
  EXPECT_GE(lost, 1);
  EXPECT_TRUE(dialogs.Texts().isEmpty());
}

// The watch on an idle dock, in wall time with short intervals: a dock that
// answers is asked now and then and never taken for gone; one that falls
// silent, or whose connection is closed, is told gone once.
TEST(DockWatchTest, AnIdleDockIsAskedNowAndThenAndToldGoneOnceWhenItIsNot) {
  ScriptedDialogs dialogs;
  ScopedDialogs installed{&dialogs};
  struct Case {
    const char* name;
    bool falls_silent;  // else its connection is closed
    const char* why;
  };
  for (const Case& c : {Case{"silent", true, "it did not answer within 0.2 s"},
                        Case{"closed", false, "its connection was lost"}}) {
    SCOPED_TRACE(c.name);
    test::LoopbackDock far;
    if (!far.Listen(kControlPort, kDataPort)) GTEST_SKIP() << "ports 5000/5001 not to be had on loopback";
    far.control.reply = QByteArray("ACK\0\0\3\0\0\0\0\0", 11);
    TKovaExpressDock dock;
    dock.SetCommandTimeOut(200);
    dock.SetEthernetAddress(far.address.toString());
    dock.SetEnabled(true);
    ASSERT_TRUE(dock.Enabled());
    bool busy = false;
    QStringList lost;
    DockWatch watch(dock, [&] { return busy; }, 10);
    watch.OnLost = [&](const QString& why) { lost << why; };
    // Asked again and again while it answers.
    ASSERT_TRUE(Eventually([&] { return far.control.arrivals.size() >= 3; }, 10000));
    // Not while an instrument is talked to.
    busy = true;
    Settle(20);
    const qsizetype asked = far.control.arrivals.size();
    Settle(100);
    EXPECT_EQ(far.control.arrivals.size(), asked);
    busy = false;
    EXPECT_TRUE(lost.isEmpty());
    if (c.falls_silent)
      far.control.reply.clear();
    else
      far.control.client->close();
    ASSERT_TRUE(Eventually([&] { return !lost.isEmpty(); }, 10000));
    Settle(300);
    EXPECT_EQ(lost, QStringList{QLatin1String(c.why)});
    EXPECT_TRUE(watch.Lost());
    EXPECT_EQ(watch.Why(), QLatin1String(c.why));
    // Back: told again when it goes again.
    if (!c.falls_silent) continue;
    far.control.reply = QByteArray("ACK\0\0\3\0\0\0\0\0", 11);
    watch.Recovered();
    EXPECT_FALSE(watch.Lost());
    far.control.client->close();
    ASSERT_TRUE(Eventually([&] { return lost.size() == 2; }, 10000));
    EXPECT_EQ(lost.last(), "its connection was lost");
  }
  EXPECT_TRUE(dialogs.Texts().isEmpty());
}
