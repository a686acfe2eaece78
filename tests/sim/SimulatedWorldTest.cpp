// The simulation's setup text and the world it makes: several docks, each
// with its own instrument and faults.

#include <gtest/gtest.h>

#include <QTcpSocket>
#include <functional>

#include "sim/dock/SimNetDock.h"
#include "sim/dock/SimUsbDock.h"
#include "sim/dock/SimulatedWorld.h"
#include "sim/usb/SimUsbBackend.h"
#include "support/Pump.h"

using namespace zelvo;
using namespace zelvo::sim;

TEST(SimulationSetup, ReadsTheDocksAndTheItemsOfOneDock) {
  struct Row {
    const char* text;
    const char* error;  // how the message begins; nullptr: accepted
    std::function<void(const SimulationSetup&)> check;
  };
  const Row rows[] = {
      {"version=9.05,busy=2", nullptr,
       [](const SimulationSetup& s) {
         EXPECT_EQ(s.docks, 1);
         EXPECT_EQ(s.ForDock(1).instrument.version, "9.05");
         EXPECT_EQ(s.ForDock(1).dock.faults.slaveBusyTimes, 2);
       }},
      {"pfm-nak@1", nullptr, [](const SimulationSetup& s) { EXPECT_TRUE(s.ForDock(1).faults.pfmWithoutAckBye); }},
      // The number of docks may come after the items that name a dock.
      {"remove-at=20@2,docks=2,via=net-dock", nullptr,
       [](const SimulationSetup& s) {
         EXPECT_EQ(s.docks, 2);
         EXPECT_EQ(s.via, SimVia::NetDock);
         EXPECT_EQ(s.ForDock(1).dock.faults.removeInstrumentAtPage, -1);
         EXPECT_EQ(s.ForDock(2).dock.faults.removeInstrumentAtPage, 20);
         EXPECT_EQ(s.ForDock(2).docks, 1);
       }},
      // A dock's own item wins over the one for every dock, wherever it is.
      {"via=usb-dock,docks=3,version=8.5@2,version=9.05,busy=1,unplug-at=30@3,empty-dock@3,pfm-nak@1", nullptr,
       [](const SimulationSetup& s) {
         const SimulationSetup first = s.ForDock(1), second = s.ForDock(2), third = s.ForDock(3);
         EXPECT_EQ(first.instrument.version, "9.05");
         EXPECT_EQ(second.instrument.version, "8.5");
         EXPECT_EQ(third.instrument.version, "9.05");
         for (const SimulationSetup* one : {&first, &second, &third}) EXPECT_EQ(one->dock.faults.slaveBusyTimes, 1);
         EXPECT_TRUE(first.faults.pfmWithoutAckBye);
         EXPECT_FALSE(second.faults.pfmWithoutAckBye);
         EXPECT_EQ(third.dock.faults.unplugAtPage, 30);
         EXPECT_TRUE(third.dock.faults.empty);
         EXPECT_FALSE(second.dock.faults.empty);
         EXPECT_EQ(second.dock.faults.unplugAtPage, -1);
       }},
      {"via=net-dock,docks=16", nullptr, [](const SimulationSetup& s) { EXPECT_EQ(s.docks, 16); }},
      {"docks=3", "bad simulation option: docks=3 (several docks go with via=usb-dock or via=net-dock)", nullptr},
      {"via=irda,docks=2", "bad simulation option: docks=2 (several docks", nullptr},
      {"via=usb-dock,docks=0", "bad simulation option: docks=0", nullptr},
      {"via=usb-dock,docks=17", "bad simulation option: docks=17", nullptr},
      {"via=usb-dock,docks=two", "bad simulation option: docks=two", nullptr},
      // Every number within its range, which the refusal names.
      {"via=usb-dock,docks=2,delay=60001", "bad simulation option: delay=60001 (0 to 60000)", nullptr},
      {"via=usb-dock,docks=2,remove-at=65536@2", "bad simulation option: remove-at=65536@2 (0 to 65535)", nullptr},
      {"present-every=0", "bad simulation option: present-every=0 (1 to 3600000)", nullptr},
      {"via=usb-dock,docks=2,remove-at=5@3", "bad simulation option: remove-at=5@3 (the docks are 1 to 2)", nullptr},
      {"via=usb-dock,docks=2,remove-at=5@0", "bad simulation option: remove-at=5@0", nullptr},
      {"remove-at=5@2", "bad simulation option: remove-at=5@2", nullptr},
      {"via=usb-dock,docks=2,pfm-nak@x", "bad simulation option: pfm-nak@x", nullptr},
      {"via=usb-dock,docks=2,pfm-nak@", "bad simulation option: pfm-nak@", nullptr},
      {"via=usb-dock,docks=2,@2", "bad simulation option: @2", nullptr},
      {"via=usb-dock,docks=2,busy=x@2", "bad simulation option: busy=x@2", nullptr},
      {"via=usb-dock,docks=2,frobnicate@2", "bad simulation option: frobnicate@2", nullptr},
      {"via=net-dock@1", "bad simulation option: via=net-dock@1", nullptr},
      {"via=net-dock,docks=2@1", "bad simulation option: docks=2@1", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    SimulationSetup setup;
    QString error;
    const bool read = ParseSimulationSetup(QString::fromLatin1(row.text), setup, &error);
    if (!row.error) {
      ASSERT_TRUE(read) << error.toStdString();
      row.check(setup);
      continue;
    }
    EXPECT_FALSE(read);
    EXPECT_TRUE(error.startsWith(QLatin1String(row.error))) << error.toStdString();
  }
  EXPECT_TRUE(LooksLikeSimulationSetup(QStringLiteral("empty-dock@2")));
  EXPECT_FALSE(LooksLikeSimulationSetup(QStringLiteral("fw@2.bin")));
}

// Two docks, dock 2 with a fault of its own: each dock its own instrument,
// on an address of its own or as the n-th device on the bus.
TEST(SimulatedWorld, HoldsEveryDockWithItsOwnInstrumentAndFaults) {
  for (const char* via : {"net-dock", "usb-dock"}) {
    SCOPED_TRACE(via);
    SimulationSetup setup;
    QString error;
    ASSERT_TRUE(ParseSimulationSetup(QStringLiteral("via=%1,docks=2,remove-at=5@2").arg(via), setup, &error))
        << error.toStdString();
    SimulatedWorld world(setup);
    ASSERT_TRUE(world.Start(&error)) << error.toStdString();
    ASSERT_EQ(world.DockCount(), 2);
    EXPECT_EQ(world.Dock(2), nullptr);
    for (int index = 0; index < 2; ++index) {
      ASSERT_NE(world.Dock(index), nullptr);
      EXPECT_EQ(&world.Dock(index)->Instrument(), &world.Instrument(index));
    }
    EXPECT_NE(&world.Instrument(0), &world.Instrument(1));
    EXPECT_EQ(world.Dock(0)->Config().faults.removeInstrumentAtPage, -1);
    EXPECT_EQ(world.Dock(1)->Config().faults.removeInstrumentAtPage, 5);
    EXPECT_EQ(world.Dock(), world.Dock(0));

    if (world.Via() == SimVia::UsbDock) {
      ASSERT_NE(world.UsbDock(1), nullptr);
      EXPECT_EQ(&world.UsbDock(1)->Dock(), world.Dock(1));
      EXPECT_EQ(world.UsbBus()->ListDevices(DeviceTypeGuid(UsbDeviceTypeOf(SimDockKind::KovaExpress))),
                (QStringList{world.UsbDock(0)->Path(), world.UsbDock(1)->Path()}));
      continue;
    }
    EXPECT_EQ(world.UsbDock(0), nullptr);
    EXPECT_NE(world.DockAddress(0), world.DockAddress(1));
    // Each address reaches its own dock.
    for (int index = 0; index < 2; ++index) {
      QTcpSocket host;
      host.connectToHost(world.DockAddress(index), DockPortsOf(SimDockKind::KovaExpress).control);
      host.write("ADC");
      ASSERT_TRUE(test::Eventually([&] { return world.Dock(index)->CountOf(QStringLiteral("ADC")) == 1; }));
    }
    EXPECT_EQ(world.Dock(0)->CountOf(QStringLiteral("ADC")), 1);
  }
}
