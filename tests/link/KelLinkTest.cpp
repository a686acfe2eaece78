// TKelLink over the simulated IrDA stack and a dock double; time is driven by
// a manual clock wherever a time-out is the subject.
#include <gtest/gtest.h>

#include <algorithm>

#include <QTimer>

#include "core/MessagePump.h"
#include "support/ScriptedDialogs.h"
#include "core/Timer.h"
#include "link/KelLink.h"
#include "link/SerialPort.h"
#include "LinkTestSupport.h"
#include "support/MemoryTransport.h"

using namespace zelvo;
using namespace zelvo::sim;
using zelvo::test::FakeDock;
using zelvo::test::FramePeer;
using zelvo::test::MemoryTransport;

namespace {

QByteArray H(const char* hex) { return QByteArray::fromHex(hex); }

SimIrdaDevice IrComm(quint32 id, SimIrdaPeer* peer) {
  SimIrdaDevice d;
  d.deviceId = id;
  d.name = "ZelvoPro";
  d.ircommParameters = NineWireParameters();
  d.peer = peer;
  return d;
}

// A link with every event recorded.
struct Recorder {
  QStringList events;
  QList<QByteArray> replies, debugSent, debugReceived;
  void Attach(TKelLink& link) {
    link.OnReceiveMsg = [this](QObject*, const QByteArray& d) { replies << d; events << "Receive"; };
    link.OnDebugSend = [this](QObject*, const QByteArray& d) { debugSent << d; events << "DebugSend"; };
    link.OnDebugReceive = [this](QObject*, const QByteArray& d) { debugReceived << d; };
    link.OnLinkUp = [this](QObject*, bool s) { events << (s ? "Up(true)" : "Up(false)"); };
    link.OnLinkDown = [this](QObject*, bool s) { events << (s ? "Down(true)" : "Down(false)"); };
    link.OnTimeOut = [this](QObject*, quint16 e) { events << QStringLiteral("TimeOut(%1)").arg(e); };
    link.OnIrError = [this](QObject*) { events << "IrError"; };
  }
};

struct IrdaLink : ::testing::Test {
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  SimIrdaStack stack;
  ScopedIrdaStack stackInstalled{&stack};
  FramePeer peer;
  Recorder rec;

  // A link past its start-up probe, its IrDA session up and reported.
  std::unique_ptr<TKelLink> ConnectedLink(ManualClock* clock = nullptr) {
    stack.AddDevice(IrComm(42, &peer));
    auto link = std::make_unique<TKelLink>();
    rec.Attach(*link);
    link->SetInstrumentType(TKelType::tpZelvoPro);
    if (clock) clock->Advance(100);
    link->SetConnected(true);
    EXPECT_TRUE(WaitUntil([&] { return rec.events.contains("Up(true)"); }, 5000));
    return link;
  }
};

}  // namespace

TEST_F(IrdaLink, CreationDefaultsAndStartupProbe) {
  ManualClock clock;
  TKelLink link;
  EXPECT_EQ(link.InstrumentType(), TKelType::tpKel0);
  EXPECT_EQ(link.RS232Port(), 1);
  EXPECT_EQ(link.RS232BaudRate(), 0);
  EXPECT_EQ(link.DefaultTimeOut(), 0);
  EXPECT_FALSE(link.Connected());
  EXPECT_TRUE(link.IrDASocketMode());
  EXPECT_FALSE(link.WholeFrameMode());
  EXPECT_EQ(link.MessageIndex(), '9');
  EXPECT_EQ(link.Logging(), TTraceLogState::tlOff);
  EXPECT_EQ(link.ComPort()->LogName(), "KelLink.Log");
  EXPECT_EQ(link.IrSocket()->BufSize(), 2048);
  EXPECT_EQ(link.IrSocket()->KelLink(), &link);
  EXPECT_TRUE(link.ReplyTimer()->Enabled());
  EXPECT_EQ(link.ReplyTimer()->Interval(), 100);
  clock.Advance(99);
  EXPECT_EQ(stack.Enumerations(), 0);
  clock.Advance(1);
  EXPECT_EQ(stack.Enumerations(), 1);
  EXPECT_FALSE(link.ReplyTimer()->Enabled());
  EXPECT_TRUE(link.IrSocket()->UseAnyDevice());
  EXPECT_TRUE(dialogs.Calls().empty());
}

TEST_F(IrdaLink, ProbeErrors) {
  ManualClock clock;
  {
    stack.InjectError(SimIrdaOp::Enumerate, 10050, 1);
    TKelLink link;
    clock.Advance(100);
    EXPECT_EQ(dialogs.Texts(),
              QStringList{"Error 10050 \"Network is down\" IrDA Transceiver disabled or not connected!"});
    EXPECT_TRUE(link.IrDASocketMode());
  }
  dialogs.Clear();
  {
    stack.InjectError(SimIrdaOp::Enumerate, 10060, 1);
    TKelLink link;
    clock.Advance(100);
    EXPECT_EQ(dialogs.Texts(), QStringList{"IrSock Error 10060 \"Connection timed out\""});
  }
  dialogs.Clear();
  {
    // With a dock the probe does not enumerate at all; errors later go to
    // OnIrError.
    FakeDock dock;
    stack.InjectError(SimIrdaOp::Enumerate, 10060);
    TKelLink link;
    rec.Attach(link);
    link.SetKovaExpressDock(&dock);
    clock.Advance(100);
    EXPECT_EQ(stack.Enumerations(), 2);
    link.SetKovaExpressDock(nullptr);
    link.OpenLink(0);
    EXPECT_TRUE(dialogs.Calls().empty());
    EXPECT_TRUE(rec.events.contains("IrError"));
    stack.ClearErrors();
  }
  {
    stack.InjectError(SimIrdaOp::CreateSocket, 10047, 1);
    TKelLink link;
    clock.Advance(100);
    EXPECT_FALSE(link.IrDASocketMode());
    EXPECT_TRUE(dialogs.Calls().empty());
  }
}

TEST_F(IrdaLink, ExchangeOfFramedMessages) {
  auto link = ConnectedLink();
  EXPECT_TRUE(link->Connected());
  EXPECT_TRUE(link->ThreadStarted());
  EXPECT_EQ(stack.LastServiceName(), "IrDA:IrCOMM");
  EXPECT_EQ(rec.events.count("Up(true)"), 1);
  peer.replies.push_back("ACK");
  link->SendMsg("ENQ", 5);
  EXPECT_EQ(rec.debugSent, QList<QByteArray>{H("E6454E51E7")});
  ASSERT_TRUE(WaitUntil([&] { return !rec.replies.isEmpty(); }, 5000));
  EXPECT_EQ(peer.writes, QList<QByteArray>{H("00E6454E51E7")});
  EXPECT_EQ(rec.replies, QList<QByteArray>{"ACK"});
  EXPECT_EQ(rec.debugReceived, QList<QByteArray>{H("E641434BE7")});
  EXPECT_FALSE(link->ReplyTimer()->Enabled());
  // Escapes on the way out.
  peer.replies.push_back(H("00E6E7E8"));
  link->SendMsg(H("41E742"), 5);
  ASSERT_TRUE(WaitUntil([&] { return rec.replies.size() == 2; }, 5000));
  EXPECT_EQ(peer.writes.last(), H("00E641E8C742E7"));
  EXPECT_EQ(rec.replies.last(), H("00E6E7E8"));
}

TEST_F(IrdaLink, LongFramesGoInPiecesEachAfterTheLastHasGone) {
  stack.SetSendDelay(2);
  auto link = ConnectedLink();
  const QByteArray message(98, 'p');  // wire form of 100 bytes
  link->SendMsg(message, 5);
  // SendMsg returned after the pieces were handed on one by one.
  ASSERT_TRUE(WaitUntil([&] { return peer.writes.size() == 3; }, 5000));
  EXPECT_EQ(stack.MaxUnsentWrites(), 1);
  EXPECT_EQ(peer.writes[0].size(), 41);
  EXPECT_EQ(peer.writes[1].size(), 41);
  EXPECT_EQ(peer.writes[2].size(), 21);
  for (const QByteArray& w : peer.writes) EXPECT_EQ(w.at(0), '\0');
  EXPECT_EQ(peer.messages, QList<QByteArray>{message});

  peer.writes.clear();
  link->SetWholeFrameMode(true);
  link->SendMsg(message, 5);
  ASSERT_TRUE(WaitUntil([&] { return peer.writes.size() == 1; }, 5000));
  EXPECT_EQ(peer.writes[0], QByteArray(1, '\0') + frame::Frame(message, false));
}

TEST_F(IrdaLink, PeerCloseTakesTheLinkDownThroughThePoll) {
  auto link = ConnectedLink();
  peer.connection->CloseFromPeer();
  ASSERT_TRUE(WaitUntil([&] { return rec.events.contains("Down(false)"); }, 5000));
  EXPECT_FALSE(link->Connected());
  dialogs.Clear();
  link->SendMsg("ENQ", 5);
  EXPECT_EQ(dialogs.Texts(), QStringList{"SendMsg Error - Not Connected!"});
}

TEST_F(IrdaLink, CloseLinkClosesTheSocket) {
  auto link = ConnectedLink();
  link->SetConnected(false);
  EXPECT_FALSE(link->Connected());
  EXPECT_FALSE(link->Disconnecting());
  EXPECT_EQ(peer.closed, 1);
  ASSERT_TRUE(WaitUntil([&] { return rec.events.contains("Down(false)"); }, 5000));
}

TEST_F(IrdaLink, OpenLinkWithoutDevices) {
  ManualClock clock;
  TKelLink link;
  rec.Attach(link);
  clock.Advance(100);
  // No time-out, timer stopped: one search, then back silently.
  link.OpenLink(0);
  EXPECT_EQ(stack.Enumerations(), 2);
  EXPECT_FALSE(link.Connected());
  EXPECT_TRUE(rec.events.isEmpty());
  // With a time-out the search goes on until it runs out.
  stack.OnEnumerate = [&] { clock.Advance(500); };
  link.OpenLink(2);
  EXPECT_EQ(rec.events, QStringList{"TimeOut(0)"});
  EXPECT_EQ(stack.Enumerations(), 2 + 4);
  // A device coming into range ends the search and is dialled.
  stack.OnEnumerate = [&] {
    if (stack.Enumerations() == 8) stack.AddDevice(IrComm(9, &peer));
  };
  link.OpenLink(30);
  EXPECT_EQ(stack.LastConnectedDevice(), 9u);
  EXPECT_EQ(link.IrDevices()->Count(), 1);
}

TEST_F(IrdaLink, OpenedBeforeTheStartupProbeStillComesUp) {
  stack.AddDevice(IrComm(42, &peer));
  TKelLink link;
  rec.Attach(link);
  link.SetInstrumentType(TKelType::tpZelvoPro);
  link.SetConnected(true);  // at once, long before 100 ms
  ASSERT_TRUE(WaitUntil([&] { return rec.events.contains("Up(true)"); }, 5000));
  EXPECT_EQ(stack.Enumerations(), 2);  // the probe's search, then the opening's
}

// --- the link's own rules, over an in-memory transport ----------------------

struct MemoryLink : ::testing::Test {
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  ManualClock clock;
  Recorder rec;

  // A link of the family over the transport, opened and reported up.
  std::unique_ptr<TKelLink> UpLink(MemoryTransport& transport, TKelType family = TKelType::tpZelvoPro) {
    auto link = std::make_unique<TKelLink>();
    rec.Attach(*link);
    link->SetInstrumentType(family);
    link->SetTransport(&transport);
    link->OpenLink(0);
    EXPECT_TRUE(WaitUntil([&] { return link->Connected() && rec.events.contains("Up(true)"); }, 5000));
    return link;
  }
};

TEST_F(MemoryLink, ReplyTimerRules) {
  MemoryTransport transport(TransportWire::IrdaSocket);
  auto link = UpLink(transport);
  link->SendMsg("ENQ", 5);
  EXPECT_EQ(link->ReplyTimer()->Interval(), 5000);
  clock.Advance(4999);
  EXPECT_FALSE(rec.events.contains("TimeOut(0)"));
  clock.Advance(1);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 1);
  EXPECT_FALSE(link->ReplyTimer()->Enabled());
  clock.Advance(60000);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 1);  // one report per exchange

  link->SendMsg("ENQ", -250);
  EXPECT_EQ(link->ReplyTimer()->Interval(), 250);
  clock.Advance(250);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 2);

  link->SendMsg("ENQ", 0);
  clock.Advance(10000000);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 2);

  // Re-enabling a stopped timer waits a full interval again.
  link->SendMsg("ENQ", 3);
  clock.Advance(3000);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 3);
  link->ReplyTimer()->SetEnabled(true);
  clock.Advance(2999);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 3);
  clock.Advance(1);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 4);

  // A write that stalls does not eat into the reply's time: the timer is
  // armed once the write has returned.
  transport.OnWrite = [&](const QByteArray&) { clock.Advance(7000); };
  link->SendMsg("ENQ", 5);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 4);
  clock.Advance(4999);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 4);
  clock.Advance(1);
  EXPECT_EQ(rec.events.count("TimeOut(0)"), 5);
}

// What the link writes on each kind of transport, and how it reads what
// comes back: one row per case.
TEST_F(MemoryLink, WhatEachTransportCarries) {
  struct Row {
    const char* what;
    TransportWire wire;
    TKelType family;
    QByteArray message, written, fed;
    QList<QByteArray> replies;
    QStringList shown;
  };
  const QByteArray framedAck = frame::Frame("ACK", false);
  const Row rows[] = {
      {"framed on IrDA: the control byte is dropped", TransportWire::IrdaSocket, TKelType::tpZelvoPro, "ENQ",
       H("E6454E51E7"), QByteArray(1, '\0') + framedAck, {"ACK"}, {}},
      {"framed on a serial port: no control byte", TransportWire::SerialPort, TKelType::tpZelvoPro, "ENQ",
       H("E6454E51E7"), framedAck, {"ACK"}, {}},
      {"framed with a sum", TransportWire::SerialPort, TKelType::tpKel5, "A", frame::Frame("A", true),
       frame::Frame("B", true), {"B"}, {}},
      {"framed with a wrong sum: nothing", TransportWire::SerialPort, TKelType::tpKel5, "A", frame::Frame("A", true),
       H("E642000000E7"), {}, {}},
      {"indexed on IrDA: the index checked", TransportWire::IrdaSocket, TKelType::tpKel7, "RDA?xx", "RDA0xx",
       "ACK0ok", {"ACK0ok"}, {}},
      {"indexed on IrDA: a wrong index", TransportWire::IrdaSocket, TKelType::tpKel7, "RDA?", "RDA0", "ACK5",
       {}, {"Incorrect Response Message Index!"}},
      {"indexed on IrDA: NAK", TransportWire::IrdaSocket, TKelType::tpKel7, "RDA?", "RDA0", "NAK", {},
       {"NAK - Instrument did not understand command!"}},
      {"indexed on IrDA: too short", TransportWire::IrdaSocket, TKelType::tpKel8, "RDA?", "RDA0", "AB", {},
       {"Message Response Too Short!"}},
      {"indexed on a serial port: as it comes", TransportWire::SerialPort, TKelType::tpKel7, "RDA?", "RDA0", "AB",
       {"AB"}, {}},
      {"plain", TransportWire::IrdaSocket, TKelType::tpKel2, "x", "x", "plain", {"plain"}, {}},
      {"a dock carries the bare message", TransportWire::Dock, TKelType::tpZelvoPro, "ENQ", "ENQ", "ACK9.12",
       {"ACK9.12"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    rec = Recorder();
    dialogs.Clear();
    MemoryTransport transport(row.wire);
    auto link = UpLink(transport, row.family);
    link->SendMsg(row.message, 5);
    EXPECT_EQ(transport.writes, QList<QByteArray>{row.written});
    EXPECT_EQ(rec.debugSent, QList<QByteArray>{row.written});
    const quint64 polls = link->PollCount();
    transport.Feed(row.fed);
    // Framed replies come through the poll cycle, the others at once.
    if (row.wire != TransportWire::Dock && frame::GroupOf(row.family) == frame::FrameGroup::Framed) {
      ASSERT_TRUE(WaitUntil([&] { return link->PollCount() > polls; }, 5000));
    }
    const bool answered = !row.replies.isEmpty() || !row.shown.isEmpty();
    EXPECT_EQ(rec.replies, row.replies);
    EXPECT_EQ(dialogs.Texts(), row.shown);
    EXPECT_EQ(link->ReplyTimer()->Enabled(), !answered);
  }
}

TEST_F(MemoryLink, IndexedMessagesCountOnEvenWhenRefused) {
  MemoryTransport transport(TransportWire::IrdaSocket);
  TKelLink link;
  rec.Attach(link);
  link.SetInstrumentType(TKelType::tpKel7);
  link.SetTransport(&transport);
  link.SendMsg("RDA?xx", 5);  // not connected: refused, the index advances anyway
  EXPECT_EQ(link.MessageIndex(), '0');
  EXPECT_EQ(dialogs.Texts(), QStringList{"SendMsg Error - Not Connected!"});
  link.OpenLink(0);
  for (int i = 0; i < 10; ++i) link.SendMsg("RDA?", 0);
  EXPECT_EQ(transport.writes.size(), 10);
  EXPECT_EQ(transport.writes.first(), "RDA1");
  EXPECT_EQ(transport.writes.last(), "RDA0");  // "9" wraps to "0"
}

TEST_F(MemoryLink, ADockReportsTheLinkAtOnceAndDropsDataBeforeTheInstrument) {
  MemoryTransport transport(TransportWire::Dock);
  transport.upOnOpen = false;
  TKelLink link;
  rec.Attach(link);
  link.SetTransport(&transport);
  link.OpenLink(30);
  EXPECT_TRUE(link.ReplyTimer()->Enabled());  // the connect time-out
  transport.Feed("early");
  EXPECT_TRUE(rec.replies.isEmpty());
  EXPECT_TRUE(link.ReplyTimer()->Enabled());  // not stopped by such data
  transport.Report(TransportState::Up);
  EXPECT_EQ(rec.events, QStringList{"Up(true)"});  // raised at once, not by a poll
  EXPECT_FALSE(link.ThreadStarted());
  transport.Report(TransportState::Down);
  EXPECT_EQ(rec.events, (QStringList{"Up(true)", "Down(false)"}));
}

// Through a dock only an awaited reply is taken, and no more of it than a
// reply can hold: what else a flooding dock sends is dropped, not gathered,
// and only the first of it is traced.
TEST_F(MemoryLink, ADocksDataNobodyAskedForIsDropped) {
  MemoryTransport transport(TransportWire::Dock);
  TKelLink link;
  rec.Attach(link);
  link.SetTransport(&transport);
  link.OpenLink(0);
  link.SendMsg("ENQ", 5);
  transport.Feed("ACK" + QByteArray(5000, 'x'));
  ASSERT_EQ(rec.replies.size(), 1);
  EXPECT_EQ(rec.replies[0].size(), 1024);
  for (int i = 0; i < 100; ++i) transport.Feed("ACK");
  EXPECT_EQ(rec.replies.size(), 1);
  EXPECT_EQ(rec.debugReceived, (QList<QByteArray>{rec.replies[0], "ACK"}));
  link.SendMsg("WHO", 5);
  transport.Feed("ACK9");
  EXPECT_EQ(rec.replies.size(), 2);
  EXPECT_EQ(rec.replies.last(), "ACK9");
}

// A dock that repeats its reports, and reports that come while a handler of
// the link waits nested: a repeated report changes nothing, and each report
// is raised after the handler running has returned, in order.
TEST_F(MemoryLink, ReportsAreRaisedOnceAndNeverInsideAHandler) {
  MemoryTransport transport(TransportWire::Dock);
  transport.upOnOpen = false;
  TKelLink link;
  rec.Attach(link);
  link.SetTransport(&transport);
  link.OpenLink(0);
  transport.Report(TransportState::Up);
  transport.Report(TransportState::Up);
  transport.Report(TransportState::Down);
  transport.Report(TransportState::Down);
  EXPECT_EQ(rec.events, (QStringList{"Up(true)", "Down(false)"}));

  rec.events.clear();
  int depth = 0, deepest = 0;
  const auto enter = [&](const QString& event, const std::function<void()>& inside) {
    ++depth;
    deepest = std::max(deepest, depth);
    rec.events << event;
    inside();  // as a nested wait would deliver it
    --depth;
  };
  // Each reply answers a question: a dock's data that nobody asked for is
  // not delivered.
  link.OnDebugSend = nullptr;
  const auto answered = [&](const QByteArray& reply) {
    link.SendMsg("ENQ", 0);
    transport.Feed(reply);
  };
  link.OnLinkUp = [&](QObject*, bool) {
    enter("Up", [&] {
      transport.Report(TransportState::Up);
      answered("ACK");
    });
  };
  link.OnReceiveMsg = [&](QObject*, const QByteArray& reply) {
    enter("Receive " + QString::fromLatin1(reply), [&] {
      if (reply == "ACK") answered("ACK9");
      if (reply == "ACK9") transport.Report(TransportState::Down);
    });
  };
  int downs = 0;
  link.OnLinkDown = [&](QObject*, bool) {
    enter("Down", [&] {
      if (++downs == 1) transport.Report(TransportState::Up);  // put in again
    });
  };
  transport.Report(TransportState::Up);
  EXPECT_EQ(rec.events, (QStringList{"Up", "Receive ACK", "Receive ACK9", "Down", "Up", "Receive ACK", "Receive ACK9",
                                     "Down"}));
  EXPECT_EQ(deepest, 1);
}

TEST_F(MemoryLink, AFailedOpenIsReportedOnceAndStartsNothing) {
  MemoryTransport transport(TransportWire::SerialPort);
  transport.openAs = TransportOpen::Failed;
  TKelLink link;
  int failures = 0;
  link.OnOpenFailed = [&](QObject*) { ++failures; };
  link.SetTransport(&transport);
  link.OpenLink(30);
  EXPECT_EQ(failures, 1);
  EXPECT_FALSE(link.ReplyTimer()->Enabled());
  EXPECT_FALSE(link.ThreadStarted());
}

TEST_F(MemoryLink, ClosingTakesTheLinkDownThroughThePoll) {
  MemoryTransport transport(TransportWire::IrdaSocket);
  auto link = UpLink(transport);
  transport.Report(TransportState::Closing);
  EXPECT_TRUE(link->Disconnecting());
  link->SendMsg("ENQ", 5);
  EXPECT_EQ(dialogs.Texts(), QStringList{"SendMsg Error - Not Connected!"});
  EXPECT_TRUE(transport.writes.isEmpty());
  link->CloseLink();
  EXPECT_EQ(transport.closes, 1);
  EXPECT_FALSE(link->Connected());
  EXPECT_FALSE(link->Disconnecting());
  ASSERT_TRUE(WaitUntil([&] { return rec.events.contains("Down(false)"); }, 5000));
}

TEST_F(MemoryLink, FreedInsideItsOwnHandlers) {
  // Inside a write, inside a reply, and with a poll hand-off still queued.
  for (int round = 0; round < 3; ++round) {
    MemoryTransport transport(TransportWire::IrdaSocket);
    auto link = UpLink(transport);
    if (round == 0) {
      transport.OnWrite = [&](const QByteArray&) { link.reset(); };
      TKelLink* raw = link.get();
      raw->SendMsg("ENQ", 5);
    } else if (round == 1) {
      link->OnReceiveMsg = [&](QObject*, const QByteArray&) { link.reset(); };
      transport.Feed(QByteArray(1, '\0') + frame::Frame("x", false));
      ASSERT_TRUE(WaitUntil([&] { return !link; }, 5000));
    } else {
      transport.Feed(QByteArray(1, '\0') + frame::Frame("x", false));
      ProcessMessages();
      link.reset();
      ProcessMessages();
    }
    EXPECT_FALSE(link);
  }
}

// --- docks ------------------------------------------------------------------

struct DockLink : ::testing::Test {
  ScriptedDialogs dialogs;
  ScopedDialogs dialogsInstalled{&dialogs};
  SimIrdaStack stack;
  ScopedIrdaStack stackInstalled{&stack};
  FakeDock dock;
  TKelLink link;
  Recorder rec;
  void SetUp() override {
    rec.Attach(link);
    link.SetInstrumentType(TKelType::tpZelvoPro);
    link.SetKovaExpressDock(&dock);
  }
};

TEST_F(DockLink, OpenRepeatsSlaveModeWhileBusyAndWiresTheEvents) {
  dock.busyAnswers = 2;
  link.SetConnected(true);
  EXPECT_EQ(dock.calls, (QStringList{"Enable", "ClearHalted", "SLV", "SLV", "SLV"}));
  EXPECT_FALSE(link.ThreadStarted());
  EXPECT_FALSE(link.Connected());
  EXPECT_FALSE(link.ReplyTimer()->Enabled() && link.ReplyTimer()->Interval() != 100);
  // Data before the instrument is there is dropped.
  Raise(dock.OnRcvUserData, &dock, QByteArray("early"));
  EXPECT_TRUE(rec.replies.isEmpty());
  Raise(dock.OnInstrumentConnected, &dock);
  EXPECT_TRUE(link.Connected());
  EXPECT_EQ(rec.events, QStringList{"Up(true)"});
  link.SendMsg("ENQ", 5);
  EXPECT_EQ(dock.sent, QList<QByteArray>{"ENQ"});  // bare: no frame
  EXPECT_EQ(rec.debugSent, QList<QByteArray>{"ENQ"});
  EXPECT_EQ(dock.calls.last(), "SendStr");
  EXPECT_TRUE(link.ReplyTimer()->Enabled());
  Raise(dock.OnRcvUserData, &dock, QByteArray("ACK"));
  EXPECT_EQ(rec.replies, QList<QByteArray>{"ACK"});
  EXPECT_FALSE(link.ReplyTimer()->Enabled());
  Raise(dock.OnInstrumentDisconnected, &dock);
  EXPECT_EQ(rec.events.last(), "Down(false)");
  EXPECT_TRUE(dialogs.Calls().empty());
}

// A dock with the instrument already in it reports it inside the slave-mode
// wait: the link comes up all the same, once the opening is done; the
// commands on the wire keep their order.
TEST_F(DockLink, AnInstrumentReportedInsideTheSlaveModeWaitIsNotLost) {
  dock.busyAnswers = 1;
  dock.duringSlaveMode = [&] { Raise(dock.OnInstrumentConnected, &dock); };
  link.SetConnected(true);
  EXPECT_EQ(dock.calls, (QStringList{"Enable", "ClearHalted", "SLV", "SLV"}));
  ProcessMessages();
  EXPECT_TRUE(link.Connected());
  EXPECT_EQ(rec.events, QStringList{"Up(true)"});
}

TEST_F(DockLink, SlaveModeRetryIsBounded) {
  dock.busyAnswers = -1;
  link.OpenLink(0);
  EXPECT_EQ(dock.calls.count("SLV"), TDockTransport::kMaxSlaveModeTries);
  EXPECT_EQ(dialogs.Texts(), QStringList{"SLV Error - Dock did not accept slave mode!"});
  // Its events are taken over all the same.
  EXPECT_TRUE(static_cast<bool>(dock.OnInstrumentConnected));
}

TEST_F(DockLink, ConnectTimeOutWhenTheInstrumentNeverComes) {
  // A dock that stays busy, and one that accepts slave mode but never reports
  // the instrument: both end in one connect time-out of the time given.
  for (int busy : {-1, 0}) {
    ManualClock clock;
    dialogs.Clear();
    rec = Recorder();
    rec.Attach(link);
    dock.calls.clear();
    dock.busyAnswers = busy;
    link.SetDefaultTimeOut(30);
    link.SetConnected(true);
    EXPECT_EQ(dock.calls.count("SLV"), busy < 0 ? TDockTransport::kMaxSlaveModeTries : 1);
    EXPECT_EQ(dialogs.Texts().size(), busy < 0 ? 1 : 0);
    // Stray data before the instrument is there is dropped and leaves the
    // time-out running.
    Raise(dock.OnRcvUserData, &dock, QByteArray("noise"));
    clock.Advance(29999);
    EXPECT_TRUE(rec.events.isEmpty());
    clock.Advance(1);
    EXPECT_EQ(rec.events, QStringList{"TimeOut(0)"}) << busy;
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(rec.replies.isEmpty());
  }
  // The instrument coming in time: up, and the first message's wait replaces
  // the connect time-out.
  ManualClock clock;
  rec = Recorder();
  rec.Attach(link);
  link.SetConnected(true);
  clock.Advance(10000);
  Raise(dock.OnInstrumentConnected, &dock);
  link.SendMsg("ENQ", 7);
  clock.Advance(6999);
  EXPECT_EQ(rec.events, (QStringList{"Up(true)", "DebugSend"}));
  clock.Advance(1);
  EXPECT_EQ(rec.events.last(), "TimeOut(0)");
}

// A message sent inside the wait before another goes to the dock (the
// release while a page waits its turn) overtakes it: the page is dropped,
// and the reply awaited is the release's.
TEST_F(DockLink, AMessageOvertakenInsideItsWaitIsDropped) {
  ManualClock clock;
  link.OpenLink(0);
  Raise(dock.OnInstrumentConnected, &dock);
  QTimer::singleShot(0, &dock, [&] { link.SendMsg("STB", 5); });
  link.SendMsg("WEP page", 30);
  EXPECT_EQ(dock.sent, QList<QByteArray>{"STB"});
  EXPECT_EQ(rec.debugSent, QList<QByteArray>{"STB"});
  clock.Advance(5000);
  EXPECT_EQ(rec.events.last(), "TimeOut(0)");
  link.SendMsg("ENQ", 7);  // and the next goes out as ever
  EXPECT_EQ(dock.sent.last(), "ENQ");
}

TEST_F(DockLink, MultiPortDockAsksOnce) {
  link.SetKovaExpressDock(nullptr);
  link.SetMPKovaExpressDock(&dock);
  dock.busyAnswers = -1;
  link.OpenLink(0);
  EXPECT_EQ(dock.calls.count("SLV"), 1);
  EXPECT_TRUE(dialogs.Calls().empty());
  FakeDock kova6;
  kova6.busyAnswers = 1;
  link.SetMPKovaExpressDock(nullptr);
  link.SetArvennaKova6Dock(&kova6);
  link.OpenLink(0);
  EXPECT_EQ(kova6.calls.count("SLV"), 2);
}

TEST_F(DockLink, CloseSendsDisconnectAfterTheHandlerReturns) {
  link.OpenLink(0);
  Raise(dock.OnInstrumentConnected, &dock);
  link.SetConnected(false);
  EXPECT_FALSE(dock.calls.contains("DSC"));
  EXPECT_TRUE(link.Connected());
  ProcessMessages();
  EXPECT_EQ(dock.calls.count("DSC"), 1);
  // A dock freed before the deferred command runs takes it with it.
  auto gone = std::make_unique<FakeDock>();
  link.SetKovaExpressDock(gone.get());
  link.CloseLink();
  gone.reset();
  ProcessMessages();
  link.SetKovaExpressDock(nullptr);
}

TEST_F(DockLink, SendWhileNotConnectedAndAfterTheLinkIsGone) {
  link.SendMsg("ENQ", 5);
  EXPECT_EQ(dialogs.Texts(), QStringList{"SendMsg Error - Not Connected!"});
  EXPECT_TRUE(dock.sent.isEmpty());
  {
    TKelLink shortLived;
    shortLived.SetKovaExpressDock(&dock);
    shortLived.OpenLink(0);
  }
  // The dock's events no longer lead to the freed link.
  Raise(dock.OnInstrumentConnected, &dock);
  Raise(dock.OnRcvUserData, &dock, QByteArray("late"));
}
