// Whole uploads through the multi-port and the Kova6 dock: the real dock
// component of the kind, given to the link as the property of its kind, over
// a real USB device on the simulated bus with a simulated dock of the same
// kind and the simulated instrument in it.

#include <gtest/gtest.h>

#include <QHostAddress>
#include <QRegularExpression>
#include <memory>

#include "support/ScriptedDialogs.h"
#include "dock/ArvennaKova6Dock.h"
#include "dock/DockKinds.h"
#include "dock/MPKovaExpressDock.h"
#include "instrument/ZelvoPro.h"
#include "link/KelLink.h"
#include "session/UploadSession.h"
#include "sim/dock/SimNetDock.h"
#include "sim/dock/SimUsbDock.h"
#include "sim/usb/SimUsbBackend.h"
#include "support/Firmware.h"
#include "support/Pump.h"
#include "usb/USBPipe.h"

using namespace zelvo;
using namespace zelvo::upload_text;
using zelvo::test::RunUntil;

namespace {

class VariantUpload : public ::testing::TestWithParam<DockKind> {
 protected:
  VariantUpload() { bus_.SetReadTimeoutMs(2); }

  void Open(const sim::SimInstrumentConfig& config, const sim::SimDockFaults& faults = {}) {
    instrument_ = std::make_unique<sim::SimInstrument>(config);
    sim::SimDockConfig dockConfig;
    dockConfig.kind = GetParam();
    dockConfig.faults = faults;
    simDock_ = std::make_unique<sim::SimUsbDock>(bus_, *instrument_, dockConfig);
    device_ = std::make_unique<TUSBDevice>();
    device_->SetConnectSettleMs(0);
    dock_ = MakeDock(GetParam());
    dock_->SetUSBDevice(device_.get());
    dock_->SetCommandTimeOut(3000);
    ApplyDesignTimeValues(link_, zelvo_);
    AssignLinkDock(link_, GetParam(), dock_.get());
    for (TTimer* t : {&con_, &disc_}) t->SetInterval(100);
    lcd_.SetInterval(1000);
    session_ = std::make_unique<UploadSession>(&zelvo_, &link_, &con_, &disc_, &lcd_);
    session_->SetDock(dock_.get());
    session_->SetUseDock(true);
    session_->OnFinished = [this](UploadOutcome outcome) { outcome_ = outcome; };
    ASSERT_TRUE(RunUntil(clock_, [&] { return !link_.ReplyTimer()->Enabled(); }, 1000));
  }
  void Upload(const QString& file) {
    dialogs_.Answer(MsgResult::OK).AnswerFile(file).Answer(MsgResult::Yes);
    session_->cbStartClick();
  }
  bool Finished() { return RunUntil(clock_, [&] { return outcome_ != UploadOutcome::None; }); }
  bool RebuiltEquals(const QString& file) { return instrument_->RebuiltImage() == test::FileBytes(file); }
  sim::SimDock& SimDock() { return simDock_->Dock(); }

  ManualClock clock_;
  ScriptedDialogs dialogs_;
  ScopedDialogs installed_{&dialogs_};
  test::FirmwareFiles files_;
  sim::SimUsbBackend bus_;
  ScopedUsbBackend busInstalled_{&bus_};
  std::unique_ptr<sim::SimInstrument> instrument_;
  std::unique_ptr<sim::SimUsbDock> simDock_;
  std::unique_ptr<TUSBDevice> device_;
  std::unique_ptr<TDockProtocol> dock_;
  TKelLink link_;
  TZelvoPro zelvo_;
  TTimer con_, disc_, lcd_;
  std::unique_ptr<UploadSession> session_;
  UploadOutcome outcome_ = UploadOutcome::None;
};

std::string KindName(const ::testing::TestParamInfo<DockKind>& info) {
  return DockKindName(info.param).remove(QLatin1Char('-')).toStdString();
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Kinds, VariantUpload, ::testing::Values(DockKind::MultiPort, DockKind::Kova6), KindName);

TEST_P(VariantUpload, ClassicUploadThroughTheLink) {
  Open({9, "7.61", "P", 0});
  EXPECT_EQ(device_->DeviceType(), GetParam() == DockKind::MultiPort ? tpMPKovaExpress : tpArvennaKova6);
  const QString file = files_.Make(false, "7.62", 'P');
  Upload(file);
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_TRUE(RebuiltEquals(file));
  EXPECT_EQ(instrument_->CountOf("WEP"), 521);
  EXPECT_EQ(dialogs_.Texts().last(), QLatin1String(kDockCompleted));

  EXPECT_EQ(SimDock().CountOf(QStringLiteral("SLV")), 1);
  EXPECT_EQ(SimDock().DroppedDataBytes(), 0);  // nothing sent before slave mode
  EXPECT_TRUE(instrument_->Programmed());
  EXPECT_EQ(SimDock().CountOf(QStringLiteral("DSC")), 1);
  // Nothing asked of the dock while it answered something else (the Kova6
  // dock refuses that with a message).
  EXPECT_FALSE(dialogs_.Texts().contains(QStringLiteral("Can't Send, Pending Command!"))) << dialogs_.Texts().join('\n').toStdString();
  // The session asks for "PSS"; neither model has it, so nothing goes out.
  EXPECT_EQ(SimDock().CountOf(QStringLiteral("PSS")), 0);
  const QStringList lcd = SimDock().Commands().filter(QRegularExpression(QStringLiteral("^LCD")));
  EXPECT_EQ(lcd, (QStringList{"LCD2Insert Instr    ", "LCD3   To Flash     ", "LCD2Loading Instr   ",
                              "LCD3FLASH           ", "LCD0 FLASH Upload   ", "LCD1   Completed    "}));
}

TEST_P(VariantUpload, NGUploadPastABusyDock) {
  // The Kova6 dock is asked again while busy; the multi-port dock once only,
  // and a busy one never puts the instrument through.
  sim::SimDockFaults busy;
  busy.slaveBusyTimes = 2;
  Open({9, "9.05", "A", 0}, busy);
  const QString file = files_.Make(true, "9.12");
  Upload(file);
  if (GetParam() == DockKind::Kova6) {
    ASSERT_TRUE(Finished());
    EXPECT_EQ(SimDock().CountOf(QStringLiteral("SLV")), 3);
    EXPECT_EQ(outcome_, UploadOutcome::Completed);
    EXPECT_TRUE(RebuiltEquals(file));
    EXPECT_EQ(instrument_->CountOf("WAE"), 4);
    EXPECT_EQ(dialogs_.Texts().last(), QLatin1String(kNGCompleted));
  } else {
    // The instrument never comes online: the link's connect time-out ends it.
    ASSERT_TRUE(RunUntil(
        clock_, [&] { return dialogs_.Saw(Prompt::ConnectionTimeOut); }, 600000, 100));
    EXPECT_EQ(SimDock().CountOf(QStringLiteral("SLV")), 1);
    EXPECT_EQ(instrument_->CountOf("ENQ"), 0);
  }
}

TEST_P(VariantUpload, TheSimulatedDockReportsInTheKindsLayout) {
  Open({9, "9.05", "A", 0});
  dock_->SetEnabled(true);
  ASSERT_TRUE(dock_->Enabled());
  dock_->ClearDeviceHalted();
  std::vector<quint8> reading;
  std::vector<std::tuple<bool, bool, int>> battery;
  int inserted = 0;
  if (auto* multiPort = dynamic_cast<TMPKovaExpressDock*>(dock_.get())) {
    multiPort->OnGotGasReading = [&](QObject*, const TMPKovaExpressDock::TGasReading& r) {
      reading.assign(r.bytes.begin(), r.bytes.end());
    };
    multiPort->OnDeviceInserted = [&](QObject*) { ++inserted; };
    EXPECT_FALSE(SimDock().ReportBatteryStatus(false, 3000));
  }
  if (auto* kova6 = dynamic_cast<TArvennaKova6Dock*>(dock_.get())) {
    kova6->OnGotGasReading = [&](QObject*, const TArvennaKova6Dock::TGasReading& r) {
      reading.assign(r.bytes.begin(), r.bytes.end());
    };
    kova6->OnDeviceInserted = [&](QObject*, TArvennaKova6Dock::TInstState state) {
      if (state == TArvennaKova6Dock::TInstState::IS_WakingUp) ++inserted;
    };
    kova6->OnBatteryStatus = [&](QObject*, bool charging, bool charged, quint16 voltage) {
      battery.emplace_back(charging, charged, voltage);
    };
    EXPECT_TRUE(SimDock().ReportBatteryStatus(false, 3000));
  }
  const QByteArray sent("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E", 14);
  SimDock().ReportGasReading(sent);
  SimDock().RemoveInstrument();
  SimDock().InsertInstrument();
  const std::size_t size = GetParam() == DockKind::MultiPort ? 8 : 14;
  ASSERT_TRUE(RunUntil(clock_, [&] { return reading.size() == size && inserted == 1; }, 2000));
  // As the dock had it: the component turns the reversed bytes back.
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(reading.data()), static_cast<qsizetype>(size)), sent.left(size));
  if (GetParam() == DockKind::Kova6)
    EXPECT_EQ(battery, (std::vector<std::tuple<bool, bool, int>>{{true, false, 3000}}));
  else
    EXPECT_TRUE(battery.empty());
}

namespace {

// The link through a network dock of the kind: the simulated network dock
// listens on the kind's two ports of a loopback address of its own.
class VariantNetDock : public ::testing::TestWithParam<DockKind> {
 protected:
  bool Listen() {
    for (quint32 host = 1; host < 250; ++host) {
      QString error;
      if (netDock_.Listen(QHostAddress((127u << 24) | (77u << 16) | (13u << 8) | host), &error)) return true;
    }
    return false;
  }

  ManualClock clock_;
  ScriptedDialogs dialogs_;
  ScopedDialogs installed_{&dialogs_};
  sim::SimInstrument instrument_{sim::SimInstrumentConfig{9, "9.05", "A", 0}};
  sim::SimNetDock netDock_{instrument_, sim::SimDockConfig{GetParam(), {}}};
  std::unique_ptr<TDockProtocol> dock_ = MakeDock(GetParam());
  TKelLink link_;
  TZelvoPro zelvo_;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Kinds, VariantNetDock, ::testing::Values(DockKind::MultiPort, DockKind::Kova6), KindName);

TEST_P(VariantNetDock, TheInstrumentComesOnlineOverTheKindsPorts) {
  ASSERT_TRUE(Listen());
  ApplyDesignTimeValues(link_, zelvo_);
  dock_->SetEthernetAddress(netDock_.Address().toString());
  AssignLinkDock(link_, GetParam(), dock_.get());
  bool online = false;
  zelvo_.OnIsOnline = [&](QObject*, bool status) { online = status; };
  zelvo_.SetOnline(true);
  ASSERT_TRUE(RunUntil(clock_, [&] { return online; }));
  EXPECT_TRUE(netDock_.ControlConnected());
  EXPECT_TRUE(netDock_.DataConnected());
  EXPECT_EQ(dock_->TcpChannels().ControlSocket().Port(), QString::number(DockControlPort(GetParam())));
  EXPECT_EQ(netDock_.Dock().CountOf(QStringLiteral("SLV")), 1);
  EXPECT_GE(instrument_.CountOf("ENQ"), 1);
  EXPECT_TRUE(dialogs_.Texts().isEmpty());
}

TEST(VariantPrecedence, TheLinkTakesKovaExpressThenMultiPortThenKova6) {
  ManualClock clock;
  ScriptedDialogs dialogs;
  ScopedDialogs installed{&dialogs};
  sim::SimUsbBackend bus;
  bus.SetReadTimeoutMs(2);
  ScopedUsbBackend busInstalled{&bus};
  sim::SimInstrument instrument;
  const std::array<DockKind, 3> kinds = {DockKind::KovaExpress, DockKind::MultiPort, DockKind::Kova6};
  std::vector<std::unique_ptr<sim::SimUsbDock>> simDocks;
  std::vector<std::unique_ptr<TUSBDevice>> devices;
  std::vector<std::unique_ptr<TDockProtocol>> docks;
  for (DockKind kind : kinds) {
    simDocks.push_back(std::make_unique<sim::SimUsbDock>(bus, instrument, sim::SimDockConfig{kind, {}}));
    devices.push_back(std::make_unique<TUSBDevice>());
    devices.back()->SetConnectSettleMs(0);
    docks.push_back(MakeDock(kind));
    docks.back()->SetUSBDevice(devices.back().get());
    docks.back()->SetCommandTimeOut(3000);
  }
  TKelLink link;
  TZelvoPro zelvo;
  ApplyDesignTimeValues(link, zelvo);
  link.SetKovaExpressDock(docks[0].get());
  link.SetMPKovaExpressDock(docks[1].get());
  link.SetArvennaKova6Dock(docks[2].get());
  const auto slaveRequests = [&] {
    std::vector<int> counts;
    for (const auto& simDock : simDocks) counts.push_back(simDock->Dock().CountOf(QStringLiteral("SLV")));
    return counts;
  };
  const auto openAndClose = [&] {
    link.OpenLink(0);
    ASSERT_TRUE(RunUntil(clock, [&] { return link.Connected(); }, 5000));
    link.CloseLink();
    ASSERT_TRUE(RunUntil(clock, [&] { return !link.Connected(); }, 5000));
  };
  openAndClose();
  EXPECT_EQ(slaveRequests(), (std::vector<int>{1, 0, 0}));
  link.SetKovaExpressDock(nullptr);
  openAndClose();
  EXPECT_EQ(slaveRequests(), (std::vector<int>{1, 1, 0}));
  link.SetMPKovaExpressDock(nullptr);
  openAndClose();
  EXPECT_EQ(slaveRequests(), (std::vector<int>{1, 1, 1}));
  // Each dock on its own device kind found its own simulated dock.
  for (std::size_t i = 0; i < kinds.size(); ++i)
    EXPECT_EQ(devices[i]->DeviceName(), simDocks[i]->Path()) << qPrintable(DockKindName(kinds[i]));
}
