// TUSBDevice over the simulated bus: discovery, choosing a device, Connect /
// Disconnect, and the operator messages of each.

#include <QTimer>
#include <cerrno>

#include "usb/UsbTestSupport.h"

namespace zelvo::testing {
namespace {

using sim::SimEndpoint;

class UsbDeviceTest : public SimUsbTest {};

TEST_F(UsbDeviceTest, NoDockListsNothingAndConnectHasNoPipes) {
  auto device = MakeDevice();
  EXPECT_TRUE(device->RefreshDeviceList());
  EXPECT_TRUE(device->DeviceList().isEmpty());
  EXPECT_FALSE(device->Connect());
  EXPECT_EQ(dialogs.Texts(), QStringList{"Device has no pipes!"});
  EXPECT_FALSE(device->IsConnected());
}

TEST_F(UsbDeviceTest, DeviceTypeSelectsTheClassAndFillsTheList) {
  auto dock = backend.AddDock(tpKovaExpress);
  auto other = backend.AddDock(tpMPKovaExpress);
  auto dorrim = backend.AddDock(tpDorrim);
  TUSBDevice device;
  EXPECT_TRUE(device.DeviceList().isEmpty());  // nothing until a kind is set
  device.SetDeviceType(tpKovaExpress);
  EXPECT_EQ(device.DeviceList(), QStringList{dock->Path()});
  EXPECT_EQ(GuidBytes(device.InterfaceGuid()).toHex(' ').toUpper(),
            QByteArray("82 9A E2 6E 0F 69 D8 11 A0 41 00 30 BD 03 5F 12"));
  device.SetDeviceType(tpMPKovaExpress);
  EXPECT_EQ(device.DeviceList(), QStringList{other->Path()});
  // Ordinal 4 and anything above it search the class of ordinal 4.
  for (int kind : {4, 5, 9, 255}) {
    device.SetDeviceType(kind);
    EXPECT_EQ(device.DeviceType(), kind);
    EXPECT_EQ(device.InterfaceGuid(), QUuid::fromString(QStringLiteral("{2C831E0D-E8E9-476A-99F5-6954E3475E6B}")));
    EXPECT_EQ(device.DeviceList(), QStringList{dorrim->Path()});
  }
  EXPECT_TRUE(dialogs.Calls().empty());
}

TEST_F(UsbDeviceTest, RefreshWithoutEnumerationReportsFalseAndEmptiesTheList) {
  backend.AddDock();
  auto device = MakeDevice();
  ASSERT_EQ(device->DeviceList().size(), 1);
  backend.SetEnumerationAvailable(false);
  EXPECT_FALSE(device->RefreshDeviceList());
  EXPECT_TRUE(device->DeviceList().isEmpty());
}

TEST_F(UsbDeviceTest, ReceiveBufferSizeMapsOrdinalsAndSetsTransferSizes) {
  auto dock = backend.AddDock(tpKovaExpress, 32);
  TUSBDevice fresh;
  EXPECT_EQ(fresh.ReceiveBufferSize(), szAuto);  // constructed in code: 8 inside
  EXPECT_EQ(fresh.PacketSize(), 8);

  auto device = MakeDockDevice(dock);
  ASSERT_EQ(device->PipeCount(), 4);
  // PacketSize 8 at creation: pipes take it as their transfer size.
  EXPECT_EQ(device->Pipes(0)->TransferSize(), 8);
  device->SetReceiveBufferSize(sz256);
  EXPECT_EQ(device->ReceiveBufferSize(), sz256);
  EXPECT_EQ(device->Pipes(1)->TransferSize(), 256);
  device->SetReceiveBufferSize(0x80 | sz1024);  // only the low seven bits count
  EXPECT_EQ(device->ReceiveBufferSize(), sz1024);
  device->SetReceiveBufferSize(6);  // above sz1024: unchanged
  EXPECT_EQ(device->ReceiveBufferSize(), sz1024);
  device->SetReceiveBufferSize(szAuto);
  EXPECT_EQ(device->ReceiveBufferSize(), szAuto);
  EXPECT_EQ(device->Pipes(2)->TransferSize(), 32);  // automatic: the packet size
}

TEST_F(UsbDeviceTest, EightEndpointsAreTooManySevenMakeSevenPipes) {
  std::vector<SimEndpoint> eight;
  for (int i = 0; i < 8; ++i) eight.push_back({static_cast<std::uint8_t>(0x81 + i), 64, 2});
  auto big = backend.AddDevice(DeviceTypeGuid(tpKovaExpress), sim::BuildConfigDescriptor(eight));
  eight.pop_back();
  eight[3].address = 0x04;  // an output endpoint among them
  auto seven = backend.AddDevice(DeviceTypeGuid(tpKovaExpress), sim::BuildConfigDescriptor(eight));

  auto device = MakeDevice();
  device->SetDeviceName(big->Path());
  EXPECT_EQ(dialogs.Texts(), QStringList{"Error too many pipes!"});
  EXPECT_EQ(device->PipeCount(), 0);

  dialogs.Clear();
  device->SetDeviceName(seven->Path());
  EXPECT_TRUE(dialogs.Calls().empty());
  ASSERT_EQ(device->PipeCount(), 7);
  for (int i = 0; i < 7; ++i) {
    TUSBPipe* pipe = device->Pipes(i);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(pipe->PipeNumber(), i);
    EXPECT_EQ(pipe->DeviceName(), seven->Path());
    EXPECT_EQ(pipe->IsInput(), i != 3);
    EXPECT_EQ(pipe->MaxPacketSize(), 64);
    EXPECT_FALSE(pipe->IsOpen());
  }
  EXPECT_EQ(device->Pipes(7), nullptr);
  EXPECT_EQ(device->Pipes(-1), nullptr);

  // Choosing the unusable device again drops the pipes of the previous one.
  device->SetDeviceName(big->Path());
  EXPECT_EQ(device->PipeCount(), 0);
}

TEST_F(UsbDeviceTest, DeviceThatCannotBeOpenedOrDescribed) {
  auto dock = backend.AddDock();
  auto device = MakeDevice();
  dock->FailOpen(EACCES);
  device->SetDeviceName(dock->Path());
  EXPECT_EQ(dialogs.Texts(), (QStringList{"Failed to open device", "Device Info not found!"}));
  EXPECT_EQ(device->PipeCount(), 0);
  EXPECT_EQ(device->ErrorText(), QStringLiteral("Error(13) - Permission denied"));

  dialogs.Clear();
  dock->FailOpen(0);
  dock->FailDescriptor(EIO);
  device->SetDeviceName(dock->Path());
  EXPECT_EQ(dialogs.Texts(), QStringList{"Device Info not found!"});

  dialogs.Clear();
  device->SetDeviceName(QStringLiteral("sim:nowhere"));
  EXPECT_EQ(dialogs.Texts(), (QStringList{"Failed to open device", "Device Info not found!"}));
}

TEST_F(UsbDeviceTest, ConnectTwiceSaysAlreadyConnectedAndStaysHalted) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  EXPECT_TRUE(device->Connect());
  EXPECT_TRUE(device->IsConnected());
  EXPECT_TRUE(device->Halted());
  EXPECT_EQ(dock->OpenPipeCount(), 4);
  EXPECT_TRUE(device->Connect());
  EXPECT_EQ(dialogs.Texts(), QStringList{"USBDevice already Connected!"});
}

TEST_F(UsbDeviceTest, NothingIsReadUntilHaltedIsCleared) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  int events = 0;
  QByteArray received;
  device->OnPipeData = [&](QObject* sender, int pipe, int) {
    EXPECT_EQ(sender, device.get());
    ++events;
    received += device->Pipes(pipe)->ReadData();
  };
  dock->QueuePacket(1, "ENQ");
  ASSERT_TRUE(device->Connect());
  ProcessMessages();
  EXPECT_EQ(dock->ReadCount(1), 0);
  EXPECT_EQ(events, 0);

  device->SetHalted(false);
  EXPECT_TRUE(Eventually([&] { return received == "ENQ"; }, 5000));
  EXPECT_GE(events, 1);
}

TEST_F(UsbDeviceTest, PipeThatCannotOpenReportsItsFullPath) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  dock->FailPipeOpen(2, EACCES);
  int calls = 0;
  device->OnOpenPipeError = [&](QObject* sender, int pipe, int error, const QString& path) {
    ++calls;
    EXPECT_EQ(sender, device.get());
    EXPECT_EQ(pipe, 2);
    EXPECT_EQ(error, EACCES);
    EXPECT_EQ(path, dock->Path() + QStringLiteral("\\PIPE02"));
  };
  EXPECT_FALSE(device->Connect());
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(device->IsConnected());
  // The others opened and stay open.
  EXPECT_EQ(dock->OpenPipeCount(), 3);

  // Once the pipe can be opened, a new Connect opens only what is missing.
  dock->FailPipeOpen(2, 0);
  EXPECT_TRUE(device->Connect());
  EXPECT_EQ(dock->OpenPipeCount(), 4);
}

TEST_F(UsbDeviceTest, AnotherDeviceCannotBeChosenWhileConnected) {
  // Where the other entry is picked: between two exchanges, or from a handler
  // that runs while a send waits for the mailbox.
  for (const bool insideSendWait : {false, true}) {
    SCOPED_TRACE(insideSendWait ? "inside a send's wait" : "while pumping");
    auto dock = backend.AddDock();
    auto other = backend.AddDock();
    UsbChat chat;
    chat.Serve(*dock);
    auto device = MakeDockDevice(dock);
    ASSERT_TRUE(device->Connect());
    device->SetHalted(false);
    QList<TUSBPipe*> pipes;
    for (int n = 0; n < device->PipeCount(); ++n) pipes << device->Pipes(n);
    bool chosen = true;
    bool asked = false;
    const auto chooseOther = [&] {
      asked = true;
      chosen = device->SetDeviceName(other->Path());
    };
    if (insideSendWait) {
      dock->StallWrites(0, true);  // the first piece of the page stays in the write
      const QByteArray page(100, 'p');
      chat.Expect(0, page).Expect(0, "WEP");
      ASSERT_EQ(device->Pipes(0)->SendData(page), 100);
      QTimer::singleShot(0, [&] {
        dock->StallWrites(0, false);
        chooseOther();
      });
      EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("WEP")), 3);
    } else {
      chooseOther();
      // Picking the connected device again changes nothing.
      EXPECT_TRUE(device->SetDeviceName(dock->Path()));
    }
    ASSERT_TRUE(asked);
    EXPECT_FALSE(chosen);
    EXPECT_EQ(device->DeviceName(), dock->Path());
    EXPECT_TRUE(device->IsConnected());
    ASSERT_EQ(device->PipeCount(), pipes.size());
    for (int n = 0; n < pipes.size(); ++n) {
      EXPECT_EQ(device->Pipes(n), pipes[n]) << n;
      EXPECT_TRUE(device->Pipes(n)->IsOpen()) << n;
    }
    // The exchange goes on with the connected dock.
    QByteArray received;
    ReceiveInto(*device, 1, received);
    chat.Expect(0, "PFM", 1, "ACKBYE");
    EXPECT_EQ(device->Pipes(0)->SendData(QByteArray("PFM")), 3);
    EXPECT_TRUE(Eventually([&] { return received == "ACKBYE"; }, 30000)) << chat.Matched().message();
    EXPECT_TRUE(chat.Matched());
    EXPECT_TRUE(dialogs.Calls().empty());  // refused without a window

    // Once disconnected the other dock can be chosen.
    EXPECT_FALSE(device->Disconnect());
    EXPECT_TRUE(device->SetDeviceName(other->Path()));
    EXPECT_EQ(device->DeviceName(), other->Path());
    EXPECT_EQ(device->PipeCount(), 4);
  }
}

TEST_F(UsbDeviceTest, DisconnectClosesThePipesThroughTheThreadAndReconnects) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  ASSERT_TRUE(device->Connect());
  device->SetHalted(false);
  EXPECT_FALSE(device->Disconnect());  // no disconnect was pending
  EXPECT_FALSE(device->IsConnected());
  EXPECT_TRUE(device->Halted());
  EXPECT_FALSE(device->DisconnectRequested());
  EXPECT_EQ(dock->OpenPipeCount(), 0);
  // Disconnect of a closed device does nothing.
  EXPECT_FALSE(device->Disconnect());
  // Still halted from Connect: Disconnect clears Halted so the thread can act.
  ASSERT_TRUE(device->Connect());
  EXPECT_TRUE(device->Halted());
  EXPECT_FALSE(device->Disconnect());
  EXPECT_EQ(dock->OpenPipeCount(), 0);
  EXPECT_TRUE(dialogs.Calls().empty());
}

TEST_F(UsbDeviceTest, UnpluggingWhilePumpingRaisesDeviceRemovedOnce) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  int removed = 0;
  bool onMain = false;
  device->OnDeviceRemoved = [&](QObject* sender) {
    EXPECT_EQ(sender, device.get());
    onMain = QThread::currentThread() == qApp->thread();
    ++removed;
  };
  int pipeErrors = 0;
  device->OnPipeError = [&](QObject*, int, int) { ++pipeErrors; };
  ASSERT_TRUE(device->Connect());
  device->SetHalted(false);
  // Both input pipes read once; the thread then sleeps until the unplug is
  // announced to it.
  ASSERT_TRUE(Eventually([&] { return dock->ReadCount(1) > 0 && dock->ReadCount(2) > 0; }, 5000));
  backend.Unplug(dock->Path());
  EXPECT_TRUE(Eventually([&] { return removed > 0 && !device->IsConnected() && device->Halted(); }, 5000));
  ProcessMessages();  // the thread has stopped: anything more it raised is queued by now
  EXPECT_EQ(removed, 1);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(pipeErrors, 0);
  EXPECT_EQ(dock->OpenPipeCount(), 0);
  EXPECT_FALSE(device->DisconnectRequested());
  EXPECT_TRUE(device->DeviceList().isEmpty());
  // The read under way when the dock went failed: no such device.
  EXPECT_TRUE(device->Pipes(1)->LastError() == ENODEV || device->Pipes(2)->LastError() == ENODEV);
}

TEST_F(UsbDeviceTest, FailedTransferWhileStillListedChangesNothing) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  int removed = 0, pipeErrors = 0;
  device->OnDeviceRemoved = [&](QObject*) { ++removed; };
  device->OnPipeError = [&](QObject*, int, int) { ++pipeErrors; };
  QByteArray received;
  ReceiveInto(*device, 1, received);
  ASSERT_TRUE(device->Connect());
  dock->FailReads(2, EIO);
  const int lists = backend.ListCount();
  device->SetHalted(false);
  EXPECT_TRUE(Eventually([&] { return backend.ListCount() > lists; }, 5000));
  dock->FailReads(2, 0);
  // The exchange goes on: the failure has been dealt with.
  dock->QueuePacket(1, "ACK");
  ASSERT_TRUE(Eventually([&] { return received == "ACK"; }, 5000));
  EXPECT_TRUE(device->IsConnected());
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(pipeErrors, 0);
  EXPECT_EQ(device->Pipes(2)->LastError(), EIO);
}

TEST_F(UsbDeviceTest, FailedTransferWithoutEnumerationRaisesPipeError) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  int pipe = -1, error = 0;
  device->OnPipeError = [&](QObject* sender, int p, int e) {
    EXPECT_EQ(sender, device.get());
    pipe = p;
    error = e;
  };
  ASSERT_TRUE(device->Connect());
  backend.SetEnumerationAvailable(false);
  dock->FailReads(1, EPROTO);
  device->SetHalted(false);
  EXPECT_TRUE(Eventually([&] { return pipe >= 0; }, 5000));
  EXPECT_EQ(pipe, 1);
  EXPECT_EQ(error, EPROTO);
}

TEST_F(UsbDeviceTest, AFailedReadIsHandledOnce) {
  auto dock = backend.AddDock();
  auto device = MakeDockDevice(dock);
  ASSERT_TRUE(device->Connect());
  backend.SetEnumerationAvailable(false);  // every handled failure ends in OnPipeError
  std::vector<std::pair<int, int>> errors;
  device->OnPipeError = [&](QObject*, int pipe, int error) {
    errors.emplace_back(pipe, error);
    // The fault passes; what the dock sends next is read in a later cycle.
    dock->FailReads(1, 0);
    if (errors.size() == 1) dock->QueuePacket(1, "ACK");
  };
  QByteArray received;
  ReceiveInto(*device, 1, received);
  dock->FailReads(1, EPROTO);
  const int lists = backend.ListCount();
  device->SetHalted(false);
  // The bytes are read after the failed service of the pipe has ended.
  ASSERT_TRUE(Eventually([&] { return !received.isEmpty(); }, 30000));
  EXPECT_EQ(received, QByteArray("ACK"));
  EXPECT_EQ(errors, (std::vector<std::pair<int, int>>{{1, EPROTO}}));
  EXPECT_EQ(backend.ListCount() - lists, 1);  // one refresh of the device list
}

TEST_F(UsbDeviceTest, DestructionNeverWaitsForever) {
  // How the device stands when it is destroyed. From then on the main thread
  // handles no messages: whatever the receive thread handed to it stays queued.
  struct Case {
    const char* state;
    std::function<std::unique_ptr<TUSBDevice>(const std::shared_ptr<sim::SimUsbDevice>& dock)> prepare;
  };
  const auto pumping = [this](const std::shared_ptr<sim::SimUsbDevice>& dock) {
    auto device = MakeDockDevice(dock);
    device->OnPipeData = [](QObject*, int, int) { ADD_FAILURE() << "data delivered after destruction began"; };
    device->OnDeviceRemoved = [](QObject*) { ADD_FAILURE() << "removal raised after destruction began"; };
    EXPECT_TRUE(device->Connect());
    device->SetHalted(false);
    return device;
  };
  const Case cases[] = {
      {"never connected", [](const auto&) { return std::make_unique<TUSBDevice>(); }},
      {"connected, halted",
       [this](const auto& dock) {
         auto device = MakeDockDevice(dock);
         EXPECT_TRUE(device->Connect());
         return device;
       }},
      {"pumping, a data notification queued",
       [&](const auto& dock) {
         dock->QueuePacket(1, "data");
         auto device = pumping(dock);
         EXPECT_TRUE(WaitedWithoutMessages([&] { return dock->QueuedPackets(1) == 0; }, 30000));
         return device;
       }},
      {"unplugged while pumping, the removal notice queued",
       [&](const auto& dock) {
         auto device = pumping(dock);
         EXPECT_TRUE(Eventually([&] { return dock->ReadCount(1) > 0 && dock->ReadCount(2) > 0; }, 30000));
         backend.Unplug(dock->Path());
         // The receive thread has found the dock gone and is raising the removal.
         EXPECT_TRUE(WaitedWithoutMessages([&] { return device->DisconnectRequested(); }, 30000));
         return device;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    auto dock = backend.AddDock();
    EXPECT_TRUE(DestroyedWithin(c.prepare(dock), 30000)) << "the destruction did not end";
    ProcessMessages();  // what was queued for the device went with it
  }
}

}  // namespace
}  // namespace zelvo::testing
