// The window through a docking station: the dock chosen with the window's
// own controls, then whole uploads, with the real dock component over the
// simulated USB bus or over loopback TCP to a simulated network dock.

#include <gtest/gtest.h>

#include <QTimer>
#include <QUdpSocket>
#include <memory>

#include "app/WindowTestSupport.h"
#include "sim/dock/SimUsbDock.h"
#include "sim/dock/SimulatedWorld.h"
#include "sim/net/SimDockResponder.h"
#include "sim/usb/SimUsbBackend.h"
#include "support/Wine.h"

using namespace zelvo;
using namespace zelvo::upload_text;
using zelvo::test::RunUntil;

namespace {

constexpr const char* kUseUsbQuestion =
    "Do you want to use a dock connected to this computer via USB?\r\n\r\nSelect \"No\" if you want to select a "
    "Network dock.";
constexpr const char* kSelectOneDock = "Please select one dock from the drop down list.";

constexpr const char* kSlaveModeRefused = "SLV Error - Dock did not accept slave mode!";

class DockWorkflow : public test::WindowWorkflow {
 protected:
  ~DockWorkflow() override { CloseWindow(); }

  void Open(sim::SimVia via, const sim::SimInstrumentConfig& config, const sim::SimDockFaults& faults = {}) {
    sim::SimulationSetup setup;
    setup.via = via;
    setup.instrument = config;
    setup.dock.faults = faults;
    world_ = std::make_unique<sim::SimulatedWorld>(setup);
    QString error;
    ASSERT_TRUE(world_->Start(&error)) << qPrintable(error);
    if (world_->UsbBus()) world_->UsbBus()->SetReadTimeoutMs(2);
    // Without a simulated USB dock, a simulated bus with nothing on it: the
    // machine's own USB devices stay out of the test.
    else emptyBus_ = std::make_unique<ScopedUsbBackend>(&noDocks_);
    OpenWindow();
    form_->USBDevice1->SetConnectSettleMs(0);
    // The 100 ms pace of a network dock would make an upload last 40 s; the
    // pace itself is tested with the dock component.
    form_->KovaExpressDock1->SetTcpSendPauseMs(2);
  }

  // The operator reveals the dock controls, checks the box, answers Yes and
  // picks the first USB dock.
  void ChooseUsbDock() {
    form_->RevealDockControls();
    dialogs_.Expect(Prompt::UseUsbDock, QLatin1String(kUseUsbQuestion), MsgResult::Yes)
        .Expect(Prompt::SelectOneDock, QLatin1String(kSelectOneDock));
    form_->chkUseKovax->click();
    form_->cboUSBDocks->setCurrentIndex(0);
    form_->cboUSBDocksChange();
  }

  // A simulated dock answering the window's search on a loopback address
  // (the search is aimed there instead of the broadcast address).
  void AnswerSearchesAt(const QString& address, const QByteArray& name) {
    responder_ = std::make_unique<sim::SimDockResponder>(TPDockType::tpKovaExpress, name, QHostAddress(address));
    ASSERT_TRUE(responder_->Start()) << qPrintable(responder_->ErrorText());
    form_->DockEnumerator1->SetEnquiryAddress(address);
  }
  // The window could not listen for answers (another program holds the port).
  bool SearchCouldNotStart() const { return !form_->DockEnumerator1->Listening(); }

  // Checks the box (no USB dock: no question), types an address, then picks
  // the dock the search found, which overwrites it.
  void ChooseNetworkDock() {
    if (test::UnderWine())
      GTEST_SKIP() << "under Wine, which delivers a datagram sent from another loopback address than 127.0.0.1 "
                      "as from 127.0.0.1, so the dock found is not where it listens";
    form_->RevealDockControls();
    AnswerSearchesAt(world_->DockAddress(), "KovaExpress Simulated Dock");
    form_->chkUseKovax->click();
    if (SearchCouldNotStart()) GTEST_SKIP() << "the dock answer port is in use";
    form_->IpAddr->setText(QStringLiteral("10.1.2.3"));
    ASSERT_TRUE(RunUntil(clock_, [&] { return form_->cboNetDockList->count() == 1; }));
    EXPECT_EQ(form_->cboNetDockList->itemText(0), QStringLiteral("KovaExpress Simulated Dock"));
    form_->cboNetDockList->setCurrentIndex(0);
    form_->cboNetDockListChange();
    EXPECT_EQ(form_->IpAddr->text(), world_->DockAddress());
  }

  // The erase warning, the file and the upgrade question (messages with only
  // an OK button take no answer).
  void Upload(const QString& file) {
    dialogs_.Answer(MsgResult::OK).AnswerFile(file).Answer(MsgResult::Yes);
    form_->cbStart->click();
  }
  // The same declared.
  ScriptedDialogs& ExpectUpload(const QString& file, const QString& version) {
    return test::ExpectUpload(dialogs_, Prompt::PlaceInDock, file, version);
  }

  sim::SimDock& Dock() { return *world_->Dock(); }
  QStringList LcdCommands() const {
    QStringList lines;
    for (const QString& c : world_->Dock()->Commands())
      if (c.startsWith(QLatin1String("LCD"))) lines << c;
    return lines;
  }
  bool RebuiltEquals(const QString& file) { return world_->Instrument().RebuiltImage() == test::FileBytes(file); }

  std::unique_ptr<sim::SimulatedWorld> world_;
  sim::SimUsbBackend noDocks_;
  std::unique_ptr<ScopedUsbBackend> emptyBus_;
  std::unique_ptr<sim::SimDockResponder> responder_;
};

}  // namespace

TEST_F(DockWorkflow, TheWindowKeepsItsDockDefaults) {
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  TKovaExpressDock& dock = *form_->KovaExpressDock1;
  EXPECT_EQ(dock.USBDevice(), form_->USBDevice1);
  EXPECT_FALSE(dock.Enabled());
  EXPECT_EQ(dock.DockState(), TKovaExpressDock::TDockState::Cmd_Enq);
  EXPECT_EQ(dock.CommandTimeOut(), 3000);
  EXPECT_EQ(dock.TestResult(), TKovaExpressDock::TTestResult::NO_ERROR);
  EXPECT_EQ(dock.GasSupportField(), 0u);
  EXPECT_EQ(dock.DockOptionsField(), 0u);
  EXPECT_FALSE(form_->chkUseKovax->isVisible());
  EXPECT_EQ(form_->KelLink1->KovaExpressDock(), nullptr);
}

TEST_F(DockWorkflow, WholeNGUploadThroughAUsbDock) {
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  ChooseUsbDock();
  EXPECT_EQ(form_->cboUSBDocks->count(), 1);
  EXPECT_EQ(form_->cboUSBDocks->itemText(0), QStringLiteral("Kova Express Dock(USB) 1"));
  EXPECT_EQ(form_->USBDevice1->DeviceName(), world_->UsbDock()->Path());
  EXPECT_EQ(form_->KelLink1->KovaExpressDock(), form_->KovaExpressDock1);

  const QString file = files_.Make(true, "9.12");
  ExpectUpload(file, "9.12").Expect(Prompt::UploadCompleted, QLatin1String(kNGCompleted));
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_TRUE(RebuiltEquals(file));
  EXPECT_EQ(world_->Instrument().CountOf("WEP"), 391);
  EXPECT_EQ(world_->Instrument().CountOf("WAE"), 4);
  EXPECT_TRUE(world_->Instrument().Programmed());

  const QStringList log = Dock().Log();
  // Slave mode before the first instrument message; "PSS" 0 0 once online;
  // "DSC" after the program command's "ACKBYE".
  EXPECT_LT(log.indexOf(QStringLiteral("control SLV")), log.indexOf(QStringLiteral("data ENQ")));
  EXPECT_EQ(Dock().Commands().count(QString::fromLatin1("PSS\0\0", 5)), 1);
  EXPECT_GT(log.indexOf(QStringLiteral("control DSC")), log.indexOf(QStringLiteral("data PFM")));
  EXPECT_EQ(LcdCommands(), (QStringList{"LCD2Insert Instr    ", "LCD3   To Flash     ", "LCD2Loading Instr   ",
                                        "LCD3FLASH           ", "LCD0 FLASH Upload   ", "LCD1   Completed    "}));
  // The trace shows bare messages: no frame bytes on this path.
  const QString trace = debug_->Debug->toPlainText();
  EXPECT_TRUE(trace.startsWith(QStringLiteral("SND#ENQ#\nRCV#ACK#\nSND#WHO#")));
  EXPECT_TRUE(trace.contains(QStringLiteral("SND#PFM#\nRCV#ACKBYE#")));
}

// The docking message stays open while the technician docks the instrument;
// once the instrument is online it has done its work and closes, before the
// connection step asks anything.
TEST_F(DockWorkflow, TheDockingMessageClosesOnceTheInstrumentIsOnline) {
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  ChooseUsbDock();
  dialogs_.KeepClosableOpen = [&](const std::function<bool()>& closed) { RunUntil(clock_, closed); };
  const QString file = files_.Make(true, "9.12");
  ExpectUpload(file, "9.12").Expect(Prompt::UploadCompleted, QLatin1String(kNGCompleted));
  form_->cbStart->click();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_TRUE(RebuiltEquals(file));
  const std::vector<DialogCall>& calls = dialogs_.Calls();
  const auto placing = std::find_if(calls.begin(), calls.end(),
                                    [](const DialogCall& call) { return call.prompt == Prompt::PlaceInDock; });
  ASSERT_NE(placing, calls.end());
  EXPECT_EQ(placing->answer, QStringLiteral("closed"));
  ASSERT_GT(calls.end() - placing, 3);  // the file, the question, the completion
  for (auto call = placing + 1; call != calls.end(); ++call) EXPECT_EQ(call->openBeneath, 0) << qPrintable(call->text);
}

TEST_F(DockWorkflow, WholeClassicUploadThroughAUsbDock) {
  Open(sim::SimVia::UsbDock, {9, "7.61", "P", 0});
  ChooseUsbDock();
  const QString file = files_.Make(false, "7.62", 'P');
  ExpectUpload(file, "7.62").Expect(Prompt::UploadCompleted, QLatin1String(kDockCompleted));
  form_->cbStart->click();
  // The dock in use cannot be changed under the upload.
  ASSERT_TRUE(RunUntil(clock_, [&] { return form_->Session()->UploadInProgress(); }));
  EXPECT_FALSE(form_->cboUSBDocks->isEnabled());
  EXPECT_FALSE(form_->chkUseKovax->isEnabled());
  ASSERT_TRUE(Finished());
  EXPECT_TRUE(form_->cboUSBDocks->isEnabled());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_TRUE(RebuiltEquals(file));
  EXPECT_EQ(world_->Instrument().CountOf("WEP"), 521);
}

TEST_F(DockWorkflow, ClosingTheWindowReturnsAnEnabledDockToMasterMode) {
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  form_->KovaExpressDock1->SetEnabled(true);
  form_->KovaExpressDock1->ClearDeviceHalted();
  ASSERT_TRUE(form_->KovaExpressDock1->Enabled());
  form_->close();
  EXPECT_EQ(Dock().Commands(), (QStringList{"MST", "LCD0                ", "LCD1                "}));
}

TEST_F(DockWorkflow, WholeNGUploadThroughANetworkDock) {
  Open(sim::SimVia::NetDock, {9, "9.05", "A", 0});
  ChooseNetworkDock();
  if (IsSkipped()) return;
  EXPECT_EQ(dialogs_.Texts().first(),
            QStringLiteral("No docks connected to the USB bus were found, Please enter the address of remote dock, or "
                           "pick one from the list."));
  EXPECT_EQ(form_->KovaExpressDock1->USBDevice(), nullptr);
  EXPECT_TRUE(form_->IpAddr->isVisible());
  const QString file = files_.Make(true, "9.12");
  Upload(file);
  EXPECT_EQ(form_->KovaExpressDock1->EthernetAddress(), world_->DockAddress());
  ASSERT_TRUE(Finished());
  EXPECT_EQ(outcome_, UploadOutcome::Completed);
  EXPECT_TRUE(RebuiltEquals(file));
  EXPECT_EQ(dialogs_.Texts().last(), QLatin1String(kNGCompleted));
}

TEST_F(DockWorkflow, TwoUsbDocksGiveTwoItemsAndTheSecondPicksTheSecondPath) {
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  world_->UsbBus()->AddDock(tpKovaExpress);
  form_->RevealDockControls();
  dialogs_.Expect(Prompt::UseUsbDock, QLatin1String(kUseUsbQuestion), MsgResult::Yes)
      .Expect(Prompt::SelectOneDock, QLatin1String(kSelectOneDock));
  form_->chkUseKovax->click();
  ASSERT_EQ(form_->cboUSBDocks->count(), 2);
  EXPECT_EQ(form_->cboUSBDocks->itemText(0), QStringLiteral("Kova Express Dock(USB) 1"));
  EXPECT_EQ(form_->cboUSBDocks->itemText(1), QStringLiteral("Kova Express Dock(USB) 2"));
  const QStringList paths = form_->USBDevice1->DeviceList();
  ASSERT_EQ(paths.size(), 2);
  form_->cboUSBDocks->setCurrentIndex(1);
  form_->cboUSBDocksChange();
  EXPECT_EQ(form_->USBDevice1->DeviceName(), paths.at(1));
  EXPECT_EQ(form_->KovaExpressDock1->USBDevice(), form_->USBDevice1);
  EXPECT_FALSE(form_->KovaExpressDock1->Enabled());  // nothing is opened before Start

  // Checked again: the list shows the dock in use, not the first one.
  form_->chkUseKovax->click();
  dialogs_.Expect(Prompt::UseUsbDock, QLatin1String(kUseUsbQuestion), MsgResult::Yes)
      .Expect(Prompt::SelectOneDock, QLatin1String(kSelectOneDock));
  form_->chkUseKovax->click();
  ASSERT_EQ(form_->cboUSBDocks->count(), 2);
  EXPECT_EQ(form_->cboUSBDocks->currentIndex(), 1);
  EXPECT_EQ(form_->USBDevice1->DeviceName(), paths.at(1));
}

TEST_F(DockWorkflow, NoMeansANetworkDockAndEachCheckSearchesAgain) {
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  form_->RevealDockControls();
  AnswerSearchesAt(QStringLiteral("127.0.0.1"), "KovaExpress Bench 7");
  dialogs_.Answer(MsgResult::No);
  form_->chkUseKovax->click();
  if (SearchCouldNotStart()) GTEST_SKIP() << "the dock answer port is in use";
  EXPECT_EQ(dialogs_.Texts().last(), QStringLiteral("Please enter the remote dock address, or pick one from the list."));
  EXPECT_EQ(form_->KovaExpressDock1->USBDevice(), nullptr);
  EXPECT_TRUE(form_->IpAddr->isVisible());
  EXPECT_TRUE(form_->cboNetDockList->isVisible());
  EXPECT_TRUE(form_->lblNetwrkDocks->isVisible());
  EXPECT_EQ(form_->KelLink1->KovaExpressDock(), form_->KovaExpressDock1);
  ASSERT_TRUE(RunUntil(clock_, [&] { return form_->cboNetDockList->count() == 1; }));
  // The address in use is still the typed one: no listed dock shows as chosen.
  EXPECT_EQ(form_->cboNetDockList->currentIndex(), -1);

  // Cleared: the controls go, the link forgets the dock.
  form_->chkUseKovax->click();
  EXPECT_FALSE(form_->IpAddr->isVisible());
  EXPECT_FALSE(form_->cboNetDockList->isVisible());
  EXPECT_EQ(form_->KelLink1->KovaExpressDock(), nullptr);

  // Checked again: a new search, whose lists start empty, on the window too.
  form_->IpAddr->setText(QStringLiteral("127.0.0.1"));
  // (Its answer may already be in when the message shows.)
  dialogs_.OnCall = [&](const DialogCall& call) {
    if (call.prompt == Prompt::EnterDockAddress) {
      EXPECT_EQ(form_->cboNetDockList->count(), form_->DockEnumerator1->DockNames.size());
    }
  };
  dialogs_.Answer(MsgResult::No);
  form_->chkUseKovax->click();
  dialogs_.OnCall = nullptr;
  EXPECT_LE(form_->DockEnumerator1->DockNames.size(), 1);
  ASSERT_TRUE(RunUntil(clock_, [&] { return responder_->EnquiriesAnswered() == 2; }));
  zelvo::test::Settle();
  EXPECT_EQ(form_->DockEnumerator1->DockNames, QStringList{"KovaExpress Bench 7"});
  EXPECT_EQ(form_->DockEnumerator1->DockAddresses, QStringList{"127.0.0.1"});
  ASSERT_EQ(form_->cboNetDockList->count(), 1);
  EXPECT_EQ(form_->cboNetDockList->currentIndex(), 0);  // the dock at the address in use
  form_->cboNetDockList->setCurrentIndex(0);
  form_->cboNetDockListChange();
  EXPECT_EQ(form_->IpAddr->text(), QStringLiteral("127.0.0.1"));
}

// The answer port taken by another program: one message saying so, naming
// the port, and no offer of a list that cannot fill.
TEST_F(DockWorkflow, ASearchThatCannotStartSaysWhyOnce) {
  QUdpSocket holder;
  if (!holder.bind(QHostAddress::AnyIPv4, 6457))
    GTEST_SKIP() << "the dock answer port is in use elsewhere: " << qPrintable(holder.errorString());
  Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0});
  form_->RevealDockControls();
  dialogs_.Answer(MsgResult::No);
  form_->chkUseKovax->click();
  const QStringList texts = dialogs_.Texts();
  ASSERT_EQ(texts.size(), 2) << qPrintable(texts.join(QLatin1Char('\n')));
  EXPECT_EQ(texts.last(), QStringLiteral("Network Dock Search Error - UDP port 6457 is in use by another program! Please "
                                         "enter the remote dock address."));
  EXPECT_TRUE(form_->IpAddr->isVisible());
  EXPECT_EQ(form_->cboNetDockList->count(), 0);
}

// Faults of the dock and of the instrument in it: each run ends with the
// design's message, never as completed, and the window is ready to start again.
class DockFaults : public DockWorkflow {
 protected:
  // Every dialog declared has come, and nothing follows.
  void ExpectReadyAgain() {
    ASSERT_TRUE(RunUntil(clock_, [&] { return dialogs_.Pending().isEmpty(); }));
    zelvo::test::Settle();
    clock_.Advance(5000);
    zelvo::test::Settle();
    EXPECT_NE(outcome_, UploadOutcome::Completed);
    EXPECT_FALSE(world_->Instrument().Programmed());
    // A run that wrote pages says on its last screen that it did not complete.
    ExpectWaiting(form_->Session()->Result().pagesSent > 0 ? QStringLiteral("Flash Upload NOT Completed")
                                                           : QStringLiteral("Waiting"));
    EXPECT_FALSE(form_->Session()->UploadInProgress());
  }
  // The dock chosen; the dialogs up to the erase warning (OK) declared.
  ScriptedDialogs& OpenTheUsbDock(const sim::SimDockFaults& faults) {
    Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0}, faults);
    ChooseUsbDock();
    return dialogs_.Expect(Prompt::EraseWarning, MsgResult::OK);
  }
};

TEST_F(DockFaults, ADockThatStaysBusyIsGivenUpAfterTwentySlaveModeTries) {
  sim::SimDockFaults faults;
  faults.slaveBusyTimes = 25;
  OpenTheUsbDock(faults)
      .Expect(QLatin1String(kSlaveModeRefused))
      .Expect(Prompt::PlaceInDock)
      .Expect(Prompt::ConnectionTimeOut);
  form_->cbStart->click();
  ExpectReadyAgain();
  EXPECT_EQ(Dock().Commands().count(QStringLiteral("SLV")), 20);
  EXPECT_EQ(world_->Instrument().CountOf("ENQ"), 0);  // nothing reached the instrument
}

// The instrument taken out, or the dock unplugged, in the middle of the pages.
TEST_F(DockFaults, LosingTheInstrumentOrTheDockAbortsTheUpload) {
  sim::SimDockFaults removed, unplugged;
  removed.removeInstrumentAtPage = 100;
  unplugged.unplugAtPage = 50;
  for (const sim::SimDockFaults& faults : {removed, unplugged}) {
    SCOPED_TRACE(faults.unplugAtPage > 0 ? "unplugged" : "taken out");
    Open(sim::SimVia::UsbDock, {9, "9.05", "A", 0}, faults);
    ChooseUsbDock();
    ExpectUpload(files_.Make(true, "9.12"), "9.12").Expect(Prompt::UnexpectedDisconnect);
    form_->cbStart->click();
    ASSERT_TRUE(Finished());
    EXPECT_EQ(outcome_, UploadOutcome::UnexpectedDisconnect);
    EXPECT_LT(world_->Instrument().CountOf("WEP"), 391);
    ExpectReadyAgain();
    CloseWindow();
    world_.reset();
  }
}

TEST_F(DockFaults, ADockThatNeverAnswersEndsInTheConnectionTimeOut) {
  sim::SimDockFaults faults;
  faults.silentControl = true;
  // Every command waits out its 3 s timer inside Start: the clock moves on
  // while the test is held there.
  QTimer driver;
  QObject::connect(&driver, &QTimer::timeout, [&] { clock_.Advance(100); });
  OpenTheUsbDock(faults)
      .Expect(QLatin1String(kSlaveModeRefused))
      .Expect(Prompt::PlaceInDock)
      .Expect(Prompt::ConnectionTimeOut);
  driver.start(1);
  form_->cbStart->click();
  driver.stop();
  ExpectReadyAgain();
  EXPECT_EQ(world_->Instrument().CountOf("ENQ"), 0);
  // Slave mode is tried for the connect time-out (30 s of 3 s commands), not
  // twenty times over, then given up with the dock's message.
  EXPECT_LE(Dock().CountOf(QStringLiteral("SLV")), 11);
}

// The technician reads the message and docks the instrument in their own
// time: the connect time-out counts from the moment the message is closed.
TEST_F(DockFaults, TheConnectTimeOutCountsFromTheDockingMessage) {
  sim::SimDockFaults faults;
  faults.empty = true;
  dialogs_.OnCall = [&](const DialogCall& call) {
    if (call.prompt == Prompt::PlaceInDock) clock_.Advance(40000);
  };
  OpenTheUsbDock(faults).Expect(Prompt::PlaceInDock);
  form_->cbStart->click();
  dialogs_.OnCall = nullptr;
  clock_.Advance(29000);  // a time-out falling due fires inside the advance
  dialogs_.ExpectAllShown();  // the time-out not yet
  dialogs_.Expect(Prompt::ConnectionTimeOut);
  ASSERT_TRUE(RunUntil(clock_, [&] { return dialogs_.Pending().isEmpty(); }, 2000));
  ExpectReadyAgain();
}
