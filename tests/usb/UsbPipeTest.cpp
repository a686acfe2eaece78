// The receive thread and the pipes: gathering, output pieces, the mailbox,
// delivery to the main thread, and transfer failures.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTimer>
#include <cerrno>
#include <optional>

#include "usb/UsbTestSupport.h"

namespace zelvo::testing {
namespace {

class UsbPipeTest : public SimUsbTest {
 protected:
  // The pipe is read again and again, but at most once per idle cycle: over
  // the time ten more reads take, no more reads than idle cycles fit in it.
  // A timing check, kept: the pace is the receive thread's own wall-clock
  // wait, and a slower machine only makes fewer reads.
  static void ExpectIdlePace(const sim::SimUsbDevice& dock, int pipe) {
    QElapsedTimer timer;
    timer.start();
    const int before = dock.ReadCount(pipe);
    ASSERT_TRUE(Eventually([&] { return dock.ReadCount(pipe) >= before + 10; }, 30000));
    const int reads = dock.ReadCount(pipe) - before;
    const qint64 cycles = timer.elapsed() / TUSBDevice::kIdleCycleMs + 2;
    EXPECT_LE(reads, cycles) << "in " << timer.elapsed() << " ms";
  }

  // Connected and pumping dock device.
  std::unique_ptr<TUSBDevice> Pumping(const std::shared_ptr<sim::SimUsbDevice>& dock) {
    auto device = MakeDockDevice(dock);
    EXPECT_TRUE(device->Connect());
    device->SetHalted(false);
    return device;
  }
};

// One service gathers reads until it has more than 512 bytes or has read 11
// times; the rest comes with the next.
TEST_F(UsbPipeTest, AServiceGathersAtMost512BytesOrElevenReads) {
  const struct {
    int pipe, bytes, packetSize;
    QList<int> counts;
  } cases[] = {{1, 600, 64, {576, 24}}, {2, 13, 1, {11, 2}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    auto dock = backend.AddDock();
    auto device = MakeDockDevice(dock);
    QList<int> counts;
    QByteArray received;
    device->OnPipeData = [&](QObject*, int pipe, int count) {
      if (pipe != c.pipe) return;
      counts << count;
      received += device->Pipes(pipe)->ReadData();
    };
    QByteArray data;
    for (int i = 0; i < c.bytes; ++i) data.append(static_cast<char>(i * 7));
    dock->QueueData(c.pipe, data, c.packetSize);
    ASSERT_TRUE(device->Connect());
    device->SetHalted(false);
    ASSERT_TRUE(Eventually([&] { return received.size() == data.size(); }, 5000));
    EXPECT_EQ(counts, c.counts);
    EXPECT_TRUE(SameBytes(data, received));
  }
}

TEST_F(UsbPipeTest, UnreadBytesAreAnnouncedEveryCycleWithTheSameCount) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  QList<int> counts;
  device->OnPipeData = [&](QObject*, int pipe, int count) {
    if (pipe == 2) counts << count;  // never taken
  };
  dock->QueuePacket(2, "EVT12");
  ASSERT_TRUE(device->Connect());
  device->SetHalted(false);
  ASSERT_TRUE(Eventually([&] { return counts.size() >= 4; }, 5000));
  for (int count : counts) EXPECT_EQ(count, 5);
  EXPECT_EQ(device->Pipes(2)->InputBufferCount(), 5);
  EXPECT_EQ(device->Pipes(2)->ReadData(), QByteArray("EVT12"));
  EXPECT_EQ(device->Pipes(2)->InputBufferCount(), 0);
  EXPECT_TRUE(device->Pipes(2)->ReadData().isEmpty());
  EXPECT_EQ(device->Pipes(2)->InputBufferCount(), 0);
}

// Input nobody takes is held up to a limit and the rest dropped: the first
// bytes are kept whole, and once taken, new input is held again.
TEST_F(UsbPipeTest, InputNobodyTakesIsHeldUpToALimit) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  device->OnPipeData = [](QObject*, int, int) {};  // announced, never taken
  QByteArray flood(TUSBPipe::kMaxInputHeld + 5000, '\0');
  for (qsizetype i = 0; i < flood.size(); ++i) flood[i] = static_cast<char>(i * 13 + i / 251);
  dock->QueueData(2, flood, 64);
  ASSERT_TRUE(device->Connect());
  device->SetHalted(false);
  TUSBPipe* pipe = device->Pipes(2);
  ASSERT_TRUE(Eventually([&] { return dock->QueuedPackets(2) == 0; }, 60000));
  EXPECT_EQ(pipe->InputBufferCount(), TUSBPipe::kMaxInputHeld);
  EXPECT_TRUE(SameBytes(flood.left(TUSBPipe::kMaxInputHeld), pipe->ReadData()));
  dock->QueuePacket(2, "EVT12");
  ASSERT_TRUE(Eventually([&] { return pipe->InputBufferCount() == 5; }, 5000));
  EXPECT_EQ(pipe->ReadData(), QByteArray("EVT12"));
}

TEST_F(UsbPipeTest, InputTriggerHoldsBackSmallArrivals) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  device->Pipes(1)->SetInputTrigger(4);
  QList<int> counts;
  device->OnPipeData = [&](QObject*, int pipe, int count) {
    if (pipe == 1) counts << count;
  };
  ASSERT_TRUE(device->Connect());
  dock->QueuePacket(1, "ab");
  device->SetHalted(false);
  ASSERT_TRUE(Eventually([&] { return !counts.isEmpty(); }, 5000));
  // Below the trigger the new bytes are not announced; the next idle cycle
  // announces what is waiting.
  EXPECT_EQ(counts.front(), 2);
}

TEST_F(UsbPipeTest, A150ByteSendGoesOutAs64And64And22OverThreeCycles) {
  auto dock = backend.AddDock();
  QList<int> readsAtWrite;
  dock->OnHostWrite = [&](int pipe, const QByteArray&) {
    if (pipe == 0) readsAtWrite << dock->ReadCount(1);
  };
  auto device = Pumping(dock);
  QByteArray first(150, 'x');
  for (int i = 0; i < first.size(); ++i) first[i] = static_cast<char>(i);
  EXPECT_EQ(device->Pipes(0)->SendData(first), 150);
  // The second send waits until the last piece of the first was written.
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("tail!"), 5), 5);
  QList<int> sizes;
  for (const QByteArray& w : dock->Writes(0)) sizes << w.size();
  ASSERT_GE(sizes.size(), 3);
  EXPECT_EQ(sizes.mid(0, 3), (QList<int>{64, 64, 22}));
  ASSERT_TRUE(Eventually([&] { return dock->Writes(0).size() == 4; }, 5000));
  EXPECT_TRUE(SameBytes(first + "tail!", dock->Written(0)));
  // The input pipes were serviced between the pieces.
  ASSERT_GE(readsAtWrite.size(), 3);
  EXPECT_LT(readsAtWrite[0], readsAtWrite[1]);
  EXPECT_LT(readsAtWrite[1], readsAtWrite[2]);
  EXPECT_EQ(device->Pipes(0)->OutputBufferCount(), 0);
}

TEST_F(UsbPipeTest, PiecesAreWrittenInPacketSizedChunks) {
  auto dock = backend.AddDock(tpKovaExpress, 16);
  auto device = Pumping(dock);
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray(70, 'c')), 70);
  ASSERT_TRUE(Eventually([&] { return dock->Written(3).size() == 70; }, 5000));
  QList<int> sizes;
  for (const QByteArray& w : dock->Writes(3)) sizes << w.size();
  EXPECT_EQ(sizes, (QList<int>{16, 16, 16, 16, 6}));
}

TEST_F(UsbPipeTest, SendDataCountIsKeptInsideTheData) {
  auto dock = backend.AddDock();
  auto device = Pumping(dock);
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("DSC"), 100), 3);
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("ADC"), 2), 2);
  ASSERT_TRUE(Eventually([&] { return dock->Written(3) == "DSCAD"; }, 5000));
}

TEST_F(UsbPipeTest, DeliveryBlocksTheThreadOrIsQueued) {
  auto dock = backend.AddDock();
  for (bool queued : {false, true}) {
    SCOPED_TRACE(queued ? "UseWindowsMsgs" : "blocking");
    auto device = MakeDockDevice(dock);
    device->SetUseWindowsMsgs(queued);
    int debugCalls = 0;
    QStringList order;
    bool onMain = true;
    std::optional<bool> threadWentOn;
    device->DebugOnPipeData = [&](QObject*, int, int) {
      ++debugCalls;
      order << "debug";
    };
    ASSERT_TRUE(device->Connect());
    // Pipe 1 is read first: its data comes before pipe 2's first read of the
    // cycle, which a thread that waits for the handler makes only after it.
    const int readsBefore = dock->ReadCount(2);
    device->OnPipeData = [&](QObject*, int pipe, int count) {
      if (pipe != 1 || threadWentOn) return;
      order << "data";
      onMain = onMain && QThread::currentThread() == qApp->thread();
      const auto readOn = [&] { return dock->ReadCount(2) > readsBefore; };
      // Queued: the thread goes on meanwhile (the bound only catches one
      // that never does).
      threadWentOn = queued ? WaitedWithoutMessages(readOn, kHangMs) : readOn();
      EXPECT_EQ(device->Pipes(1)->ReadData().size(), count);
    };
    dock->QueuePacket(1, "hello");
    device->SetHalted(false);
    ASSERT_TRUE(Eventually([&] { return threadWentOn.has_value(); }, 30000));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(order.mid(0, 2), (QStringList{"debug", "data"}));
    EXPECT_GE(debugCalls, 1);
    EXPECT_EQ(*threadWentOn, queued);  // queued: it went on; blocking: it waited for the handler
  }
}

TEST_F(UsbPipeTest, SendingFromADataHandlerWhileTheMailboxIsBusyDoesNotDeadlock) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  int handled = 0;
  device->OnPipeData = [&](QObject*, int pipe, int) {
    if (pipe != 1) return;
    device->Pipes(1)->ReadData();
    // Two long messages: the second must wait for the first, which needs the
    // receive thread this notification is holding.
    EXPECT_EQ(device->Pipes(0)->SendData(QByteArray(200, 'a')), 200);
    EXPECT_EQ(device->Pipes(0)->SendData(QByteArray(10, 'b')), 10);
    ++handled;
  };
  ASSERT_TRUE(device->Connect());
  dock->QueuePacket(1, "go");
  device->SetHalted(false);
  ASSERT_TRUE(Eventually([&] { return handled == 1 && dock->Written(0).size() == 210; }, 5000));
}

TEST_F(UsbPipeTest, DisconnectFromADataHandlerEndsPromptly) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  bool done = false;
  bool closedByThen = false;
  device->OnPipeData = [&](QObject*, int pipe, int) {
    if (pipe != 1 || done) return;
    device->Pipes(1)->ReadData();
    EXPECT_FALSE(device->Disconnect());
    // Its wait ended because the thread closed the pipes, not because it ran out.
    closedByThen = !device->DisconnectRequested() && !device->IsConnected();
    done = true;
  };
  ASSERT_TRUE(device->Connect());
  dock->QueuePacket(1, "x");
  device->SetHalted(false);
  ASSERT_TRUE(Eventually([&] { return done; }, 30000));
  EXPECT_TRUE(closedByThen);
  EXPECT_EQ(dock->OpenPipeCount(), 0);
}

TEST_F(UsbPipeTest, WriteFailuresAndEmptyWritesEndThePiece) {
  auto dock = backend.AddDock();
  auto device = Pumping(dock);
  // The piece takes every one of the empty writes and is given up; the next
  // piece is written at once.
  dock->SetEmptyWrites(3, TUSBPipe::kMaxEmptyWrites);
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("LCD0Hello")), 9);
  // The mailbox is freed although nothing could be written.
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("x")), 1);
  ASSERT_TRUE(Eventually([&] { return !dock->Written(3).isEmpty(); }, 5000));
  EXPECT_EQ(dock->Written(3), "x");

  dock->FailWrites(0, EPIPE);
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("WHO")), 3);
  ASSERT_TRUE(Eventually([&] { return device->Pipes(0)->LastError() == EPIPE; }, 5000));
  ASSERT_TRUE(Eventually([&] { return device->Pipes(0)->OutputBufferCount() == 0; }, 5000));
  EXPECT_TRUE(device->IsConnected());  // still listed: nothing further
}

// --- how the receive thread waits -----------------------------------------

TEST_F(UsbPipeTest, AnIdleDeviceReadsAgainOnlyWhenSomethingArrives) {
  auto dock = backend.AddDock();
  auto device = Pumping(dock);
  ASSERT_TRUE(Eventually([&] { return dock->ReadCount(1) > 0 && dock->ReadCount(2) > 0; }, 5000));
  EXPECT_TRUE(device->Pipes(1)->AnnouncesArrivals());
  EXPECT_TRUE(device->Pipes(2)->AnnouncesArrivals());
  EXPECT_FALSE(device->Pipes(0)->AnnouncesArrivals());  // output pipes have nothing to announce
  // Each arrival costs the read that takes it, one that finds nothing more
  // and the next cycle's read; then the thread sleeps. The reads are counted
  // while the data handler holds the thread; the next packet goes once the
  // next cycle has read.
  QList<int> readsAtArrival;
  device->OnPipeData = [&](QObject*, int pipe, int) {
    if (pipe != 1) return;
    readsAtArrival << dock->ReadCount(1);
    device->Pipes(1)->ReadData();
  };
  for (int i = 1; i <= 4; ++i) {
    dock->QueuePacket(1, "ACK");
    ASSERT_TRUE(Eventually([&] { return readsAtArrival.size() == i && dock->ReadCount(1) == 3 * i + 1; }, 5000))
        << "arrivals " << readsAtArrival.size() << ", reads " << dock->ReadCount(1);
  }
  EXPECT_EQ(readsAtArrival, (QList<int>{3, 6, 9, 12}));
  // Bytes queued for sending wake it too.
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("DSC")), 3);
  ASSERT_TRUE(Eventually([&] { return dock->Written(3) == "DSC"; }, 5000));
}

TEST_F(UsbPipeTest, ReadsThatDoNotAnnounceArePacedByTheThread) {
  for (const int timeoutMs : {0, 5}) {
    SCOPED_TRACE(timeoutMs);
    backend.SetAnnounceArrivals(false);
    backend.SetReadTimeoutMs(timeoutMs);
    auto dock = backend.AddDock();
    auto device = Pumping(dock);
    EXPECT_FALSE(device->Pipes(1)->AnnouncesArrivals());
    ASSERT_TRUE(Eventually([&] { return dock->ReadCount(1) > 3; }, 5000));  // one read per cycle
    QByteArray received;
    ReceiveInto(*device, 1, received);
    // Found by the next cycle although nobody announced it.
    dock->QueuePacket(1, "NAK");
    ASSERT_TRUE(Eventually([&] { return received == "NAK"; }, 5000));
    // Reads that come back at once do not make the thread spin.
    ExpectIdlePace(*dock, 1);
  }
}

TEST_F(UsbPipeTest, AFailingReadIsRetriedAtTheIdlePaceNotInALoop) {
  auto dock = backend.AddDock();
  auto device = Pumping(dock);
  ASSERT_TRUE(Eventually([&] { return dock->ReadCount(2) > 0; }, 5000));
  dock->FailReads(2, EIO);  // announced once; every retry fails again
  ASSERT_TRUE(Eventually([&] { return dock->ReadCount(2) > 3; }, 5000));
  ExpectIdlePace(*dock, 2);
  EXPECT_TRUE(device->IsConnected());  // still listed
}

// --- SendData on a mailbox that does not empty --------------------------------

TEST_F(UsbPipeTest, SendDataGivesUpWhenTheDeviceIsNotConnected) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  device->SetSendStallMs(2 * kHangMs);
  dock->FailPipeOpen(2, EACCES);
  EXPECT_FALSE(device->Connect());  // pipe 0 open, nobody services it
  ASSERT_TRUE(device->Pipes(0)->IsOpen());
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("SLV")), 3);  // into the free mailbox
  // At once, not after the stall.
  const QDeadlineTimer hang(kHangMs);
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("WHO")), -1);
  EXPECT_FALSE(hang.hasExpired());
  EXPECT_TRUE(dock->Writes(0).isEmpty());
}

TEST_F(UsbPipeTest, SendDataWaitingWhenTheDockIsUnpluggedReturnsFailure) {
  auto dock = backend.AddDock();
  auto device = Pumping(dock);
  device->SetSendStallMs(2 * kHangMs);
  int removed = 0;
  device->OnDeviceRemoved = [&](QObject*) { ++removed; };
  dock->StallWrites(0, true);  // the dock takes nothing
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray(200, 'p')), 200);
  QTimer::singleShot(0, [&] { backend.Unplug(dock->Path()); });  // from inside the next send's wait
  const QDeadlineTimer hang(kHangMs);
  EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("WEP")), -1);
  EXPECT_FALSE(hang.hasExpired());  // ended by the unplug, not the stall
  // Raised by the failed write; the send checks again and gives up.
  ASSERT_TRUE(Eventually([&] { return removed >= 1; }, 5000));
  EXPECT_FALSE(device->IsConnected());
  EXPECT_TRUE(Eventually([&] { return dock->OpenPipeCount() == 0; }, 5000));  // the thread closes them
}

TEST_F(UsbPipeTest, SendDataOnAHaltedDeviceWaitsForProgressThenGivesUp) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  device->SetSendStallMs(150);
  ASSERT_TRUE(device->Connect());  // Halted: nothing is written
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("LCD0")), 4);
  // It waits, handling messages, then gives up.
  bool handledInTheWait = false;
  QTimer::singleShot(0, [&] { handledInTheWait = true; });
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("LCD1")), -1);
  EXPECT_TRUE(handledInTheWait);
  // Halted cleared while a send waits (by a handler run inside the wait): the
  // mailbox empties and the send goes through.
  QTimer::singleShot(0, [&] { device->SetHalted(false); });
  EXPECT_EQ(device->Pipes(3)->SendData(QByteArray("LCD1")), 4);
  ASSERT_TRUE(Eventually([&] { return dock->Written(3) == "LCD0LCD1"; }, 5000));
}

// Whichever step of a service finds a transfer failure, the pipe reports it
// through OnError once, with its number and the system error code.
TEST_F(UsbPipeTest, AFailedServiceRaisesOnErrorOnce) {
  struct Case {
    const char* what;
    const char* endpoint;  // the descriptor; its address tells the direction
    bool open;
    std::function<void(sim::SimUsbDevice&, int pipe)> fault;
    std::function<int(TUSBPipe&)> service;
    int result;
    int error;
  };
  const auto pull = [](TUSBPipe& pipe) { return pipe.PullData(); };
  const auto sendAndPush = [](TUSBPipe& pipe) {
    const int queued = pipe.SendData(QByteArray("WHO"));
    return queued < 0 ? queued : pipe.PushData();
  };
  const auto none = [](sim::SimUsbDevice&, int) {};
  const Case cases[] = {
      {"read fails", "0705810240000000", true, [](sim::SimUsbDevice& d, int n) { d.FailReads(n, EPROTO); }, pull, -1,
       EPROTO},
      {"read on a closed pipe", "0705810240000000", false, none, pull, -1, TUSBPipe::kErrorNotOpen},
      {"write fails", "0705010240000000", true, [](sim::SimUsbDevice& d, int n) { d.FailWrites(n, EPIPE); },
       sendAndPush, 0, EPIPE},
      {"send on a closed pipe", "0705010240000000", false, none, sendAndPush, -1, TUSBPipe::kErrorNotOpen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto dock = backend.AddDock();
    TUSBPipe pipe(nullptr, backend);
    pipe.SetDeviceName(dock->Path());
    pipe.SetEndpointDescriptor(QByteArray::fromHex(c.endpoint));
    pipe.SetPipeNumber(1);
    std::vector<std::pair<int, int>> reports;
    pipe.OnError = [&](QObject* sender, int n, int error) {
      EXPECT_EQ(sender, &pipe);
      reports.emplace_back(n, error);
    };
    if (c.open) {
      ASSERT_TRUE(pipe.OpenAction());
    }
    c.fault(*dock, 1);
    EXPECT_EQ(c.service(pipe), c.result);
    EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{1, c.error}}));
  }
}

TEST_F(UsbPipeTest, PipeFromAnEndpointDescriptor) {
  TUSBPipe pipe(nullptr, backend);
  EXPECT_FALSE(pipe.IsOpen());
  pipe.SetEndpointDescriptor(QByteArray::fromHex("0705820240000199"));
  pipe.SetPipeNumber(2);
  EXPECT_EQ(pipe.PipeNumber(), 2);
  EXPECT_TRUE(pipe.IsInput());
  EXPECT_EQ(pipe.MaxPacketSize(), 64);
  EXPECT_EQ(pipe.TransferSize(), 64);
  EXPECT_EQ(pipe.EndpointDescriptor(), QByteArray::fromHex("0705820240000199"));
  // Sizes outside the transfer buffers are kept inside them.
  pipe.SetEndpointDescriptor(QByteArray::fromHex("070502020000"));
  EXPECT_EQ(pipe.PacketSizeForTransfers(), 64);
  pipe.SetEndpointDescriptor(QByteArray::fromHex("07050202FFFF00"));
  EXPECT_EQ(pipe.PacketSizeForTransfers(), TUSBPipe::kTransferBufferSize);
  EXPECT_EQ(pipe.WriteData(QByteArray("x"), 1), -1);
  EXPECT_EQ(PipePath(QStringLiteral("dev"), 10), QStringLiteral("dev\\PIPE0A"));
}

}  // namespace
}  // namespace zelvo::testing
